// AsyncModbusTCPMaster's Python face: the TCP master's data model on an asyncio connection.
//
// One master keeps one link: a native record (in a capsule held by the master's dict and by
// its protocol object) of the event loop, the asyncio transport, the requests waiting to
// go out and those on the wire, and what came back. Every member checks its arguments
// and builds its request PDU at once, with the same code as ModbusTCPMaster (a bad
// argument raises at the call, before anything is queued), queues the request and returns
// an asyncio Future for its result. The link sends up to max_in_flight requests, each
// framed with the next transaction identifier, and the protocol's data_received hands what
// comes to the same TcpExchange as the synchronous master: the answer is matched to its
// request by transaction identifier, a late answer to a request that was cancelled or
// timed out is read whole and dropped, and the outcomes raise the same exceptions with
// the same texts. The answer's data part is then judged and decoded by the same halves
// as ModbusTCPMaster's members (tcp_master.cpp, tcp_data_model.cpp).
//
// Order: requests go out in the order they were made, but a write made while reads wait
// goes before those reads. Time-outs: one timer per link, armed for the earliest
// deadline of the requests on the wire. A time-out or an answer with an unknown
// transaction identifier makes the link send one request at a time until its
// connection is opened again. A cancelled call that is still waiting is never sent; one
// on the wire gives up its place at once (its answer, if it comes, is skipped).
#include "modbus/classes.hpp"
#include "modbus/operations.hpp"
#include "modbus/tcp_exchange.hpp"
#include "modbus/tcp_master_shared.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace brel {
namespace atcp {

using tcp::make_int;
using tcp::none;

inline constexpr long kMaxInFlight = 16;

// What the data part of an answer becomes.
enum class Decode : std::uint8_t {
    Coils,           // read_coils: bits, count of them
    Registers,       // read_registers: registers, count of them
    RuleRegisters,   // codes 4 and 23: registers checked against the request by its rule
    RuleBits,        // code 2: bits checked by its rule
    RegistersEcho,   // code 16: the address and quantity echoed
    CoilEcho,        // code 5: the address and value echoed
    Confirm,         // codes 6, 15, 22: the request repeated, by its rule
    Values,          // registers decoded by a layout
    Identification,  // code 43/14: one page into `count` (a dict), then the next page asked for
};

struct Request {
    Ref future;
    std::vector<std::uint8_t> pdu;    // function code first
    std::optional<long long> needed;  // data bytes after the function code the answer must declare
    Decode decode = Decode::Registers;
    bool first = false;  // the result is the first value only
    bool write = false;  // goes before waiting reads
    modbus::AnswerRule rule = modbus::AnswerRule::Echo;
    const char* fault = nullptr;  // the prefix of a failed write's text, or a failed read's text
    Ref count;                    // Coils: count; RegistersEcho: the values written
    Ref address;                  // the operation's address, as passed
    Ref command;                  // CoilEcho: the PDU as bytes
    std::optional<ValueLayout> layout;
    long retries_left = 0;
    // On the wire:
    std::vector<std::uint8_t> frame;  // MBAP header and PDU
    double deadline = 0;
};

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Link {
    Ref loop;
    Ref transport;   // while connected
    Ref protocol;    // the asyncio protocol object of this link
    Ref connecting;  // the task opening the connection
    Ref timer;       // the TimerHandle of the earliest deadline
    double timer_at = 0;
    std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, the value it gets once connected
    std::vector<Ref> close_waiters;
    std::deque<std::unique_ptr<Request>> waiting;
    std::vector<std::unique_ptr<Request>> in_flight;
    modbus::RecentRequests recent;
    std::vector<std::uint8_t> received;
    Ref target;  // (host, port)
    Ref host, port;
    Ref last_sent, last_received;
    double timeout = 1;
    long station = 1;
    long max_in_flight = 1;
    std::uint16_t next_transaction = 1;
    bool one_at_a_time = false;  // after a time-out or an unknown transaction identifier
    bool reconnect = true;
    bool closed = false;
};

// ---- the link of a master or of its protocol ------------------------------------------------

PyObject* k_link() { return BREL_STR("_AsyncModbusTCPMaster__link"); }
constexpr const char* kCapsule = "brel_modbus.async_tcp_link";

void drop_link(PyObject* capsule) { delete static_cast<Link*>(PyCapsule_GetPointer(capsule, kCapsule)); }

Link& link_of(PyObject* self) {
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
    if (!dict) raise();
    PyObject* capsule = PyDict_GetItemWithError(dict.get(), k_link());
    if (!capsule) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "AsyncModbusTCPMaster.__init__() was not called");
        raise();
    }
    auto* link = static_cast<Link*>(PyCapsule_GetPointer(capsule, kCapsule));
    if (!link) raise();
    return *link;
}

// ---- futures --------------------------------------------------------------------------------

bool done(PyObject* future) {
    Ref result = call_method(future, BREL_STR("done"));
    return result.get() == Py_True;
}

void resolve(PyObject* future, PyObject* value) {
    if (!done(future)) call_method(future, BREL_STR("set_result"), value);
}

// The pending exception handed to the future (and cleared).
void fail_with_pending(PyObject* future) {
    PyObject* error = PyErr_GetRaisedException();
    Ref held = own(error);
    if (!done(future)) call_method(future, BREL_STR("set_exception"), error);
}

void fail(PyObject* future, PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    fail_with_pending(future);
}

// ConnectionError "Connection closed by (host, port)", as the synchronous master says it.
Ref closed_message(Link& link) { return tcp::target_message(link.target.get(), BREL_STR("Connection closed by ")); }

// ---- the connection -----------------------------------------------------------------------

void pump(Link& link);

void start_connecting(Link& link) {
    if (link.connecting || link.transport) return;
    Ref opening = call_method(link.loop.get(), BREL_STR("create_connection"), link.protocol.get(), link.host.get(),
                              link.port.get());
    Ref asyncio = own(PyImport_ImportModule("asyncio"));
    Ref wait_for = getattr(asyncio.get(), BREL_STR("wait_for"));
    Ref timeout = own(PyFloat_FromDouble(link.timeout));
    Ref bounded = call(wait_for.get(), opening.get(), timeout.get());
    link.connecting = call_method(link.loop.get(), BREL_STR("create_task"), bounded.get());
    Ref callback = getattr(link.protocol.get(), BREL_STR("_connected"));
    call_method(link.connecting.get(), BREL_STR("add_done_callback"), callback.get());
}

// Every request waiting (and every connect()) fails with the pending exception.
void fail_waiting(Link& link) {
    PyObject* error = PyErr_GetRaisedException();
    Ref held = own(error);
    std::deque<std::unique_ptr<Request>> waiting;
    waiting.swap(link.waiting);
    std::vector<std::pair<Ref, Ref>> waiters;
    waiters.swap(link.connect_waiters);
    for (auto& r : waiting)
        if (!done(r->future.get())) call_method(r->future.get(), BREL_STR("set_exception"), error);
    for (auto& w : waiters)
        if (!done(w.first.get())) call_method(w.first.get(), BREL_STR("set_exception"), error);
}

// ---- sending ----------------------------------------------------------------------------------

void arm_timer(Link& link, double deadline) {
    if (link.timer && link.timer_at <= deadline) return;
    if (link.timer) call_method(link.timer.get(), BREL_STR("cancel"));
    Ref delay = own(PyFloat_FromDouble(std::max(0.0, deadline - now())));
    Ref expire = getattr(link.protocol.get(), BREL_STR("_expire"));
    link.timer = call_method(link.loop.get(), BREL_STR("call_later"), delay.get(), expire.get());
    link.timer_at = deadline;
}

void send(Link& link, std::unique_ptr<Request> r) {
    const std::uint16_t transaction = link.next_transaction++;
    const auto unit = static_cast<std::uint8_t>(link.station & 0xFF);
    r->frame.resize(modbus::kMbapSize + r->pdu.size());
    modbus::mbap_header(r->frame.data(), transaction, 0, static_cast<std::uint16_t>(r->pdu.size() + 1), unit);
    std::memcpy(r->frame.data() + modbus::kMbapSize, r->pdu.data(), r->pdu.size());
    // Input left from an earlier exchange is stale once nothing is on the wire.
    if (link.in_flight.empty()) link.received.clear();
    Ref frame = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r->frame.data()),
                                              static_cast<Py_ssize_t>(r->frame.size())));
    call_method(link.transport.get(), BREL_STR("write"), frame.get());
    note_send(false);
    link.last_sent = frame;
    link.last_received = tcp::empty_bytes();
    // Its answer is known when it comes, whenever that is.
    link.recent.remember(transaction, unit);
    r->deadline = now() + link.timeout;
    const double deadline = r->deadline;
    link.in_flight.push_back(std::move(r));
    arm_timer(link, deadline);
}

// A request on the wire whose caller went away no longer holds a place.
void drop_cancelled(Link& link) {
    std::erase_if(link.in_flight, [](const std::unique_ptr<Request>& r) { return done(r->future.get()); });
}

// Sends what may go now; opens the connection first when it is not open.
void pump(Link& link) {
    while (!link.waiting.empty()) {
        if (done(link.waiting.front()->future.get())) {
            link.waiting.pop_front();
            continue;
        }
        if (link.closed) {
            Ref message = closed_message(link);
            PyErr_SetObject(PyExc_ConnectionError, message.get());
            fail_waiting(link);
            return;
        }
        if (!link.transport) {
            start_connecting(link);
            return;
        }
        const std::size_t limit = link.one_at_a_time ? 1 : static_cast<std::size_t>(link.max_in_flight);
        if (link.in_flight.size() >= limit) drop_cancelled(link);
        if (link.in_flight.size() >= limit) return;
        std::unique_ptr<Request> r = std::move(link.waiting.front());
        link.waiting.pop_front();
        send(link, std::move(r));
    }
}

// ---- answers -----------------------------------------------------------------------------

Ref data_bytes(const modbus::TcpExchange& ex) {
    return own(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ex.data()), static_cast<Py_ssize_t>(ex.data_size())));
}

// The result of a sound answer's data part (raises what the synchronous members raise).
Ref decoded(Link& link, Request& r, PyObject* data) {
    const tcp::Peer peer{nullptr, link.target.get()};
    Ref result;
    switch (r.decode) {
        case Decode::Coils: {
            Ref byte_count = tcp::coil_byte_count(r.count.get());
            result = tcp::coils_answer(data, byte_count.get(), r.count.get());
            break;
        }
        case Decode::Registers:
            result = tcp::registers_answer(data, static_cast<long>(*r.needed - 1));
            break;
        case Decode::RuleRegisters:
        case Decode::RuleBits:
            if (!tcp::answers(r.pdu.data(), r.pdu.size(), r.rule, data)) {
                Ref message = own(PyUnicode_FromString(r.fault));
                tcp::raise_assertion(message.get());
            }
            if (r.decode == Decode::RuleRegisters) {
                result = tcp::registers_of(data);
            } else {
                const auto n = PyLong_AsSsize_t(r.count.get());
                result = own(PyList_New(n));
                fill_bits(result.get(), reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)) + 1);
            }
            break;
        case Decode::RegistersEcho:
            tcp::check_registers_echo(peer, data, r.address.get(), r.count.get());
            return none();
        case Decode::CoilEcho:
            tcp::check_coil_echo(peer, data, r.command.get(), r.address.get());
            return none();
        case Decode::Confirm:
            if (!tcp::answers(r.pdu.data(), r.pdu.size(), r.rule, data))
                tcp::raise_write_failed(peer, r.fault, r.address.get());
            return none();
        case Decode::Identification:
            break;  // next_page()
        case Decode::Values: {
            Ref registers = tcp::registers_answer(data, static_cast<long>(*r.needed - 1));
            const std::vector<std::uint16_t> words = register_words(registers.get(), r.layout->registers());
            result = decode_words(*r.layout, words.data(), words.size());
            break;
        }
    }
    if (r.first) return item(result.get(), 0);
    return result;
}

// A page of identification objects taken: the dict once every page is in, else nullptr
// and the request for the next page goes first.
Ref next_page(Link& link, std::unique_ptr<Request>& r, PyObject* data) {
    modbus::IdentificationPage page;
    tcp::identification_answer(r->pdu.data(), r->pdu.size(), data, [&](const std::uint8_t* answer, std::size_t size) {
        return ops::read_identification_page(r->count.get(), answer, size, page);
    });
    const std::uint8_t read_code = r->pdu[2], asked = r->pdu[3];
    if (read_code == 4 || !page.more_follows) return r->count;
    if (page.next_object <= asked) tcp::raise_no_progress(page.next_object, asked);
    r->pdu.resize(modbus::pdu_read_device_identification(r->pdu.data(), read_code, page.next_object));
    link.waiting.push_front(std::move(r));
    return Ref();
}

// Sets the exception an ended exchange stands for, as ModbusTCPMaster raises it.
void set_outcome_error(Link& link, modbus::TcpStep step, const modbus::TcpExchange& ex) {
    try {
        tcp::raise_outcome({nullptr, link.target.get()}, step, ex);
    } catch (const PyError&) {
    }
}

// A request failed with the pending exception: sent again while it has retries left and
// the failure is worth it, else its caller gets the exception.
void failed(Link& link, std::unique_ptr<Request> r) {
    if (r->retries_left > 0 && worth_retrying()) {
        PyErr_Clear();
        --r->retries_left;
        link.waiting.push_front(std::move(r));  // dropped there when its caller went away
        return;
    }
    fail_with_pending(r->future.get());
}

void finish(Link& link, std::unique_ptr<Request> r, modbus::TcpStep step, const modbus::TcpExchange& ex) {
    if (done(r->future.get())) return;  // cancelled: the answer is taken and dropped
    if (step != modbus::TcpStep::Done) {
        set_outcome_error(link, step, ex);
        failed(link, std::move(r));
        return;
    }
    try {
        Ref data = data_bytes(ex);
        if (r->decode == Decode::Identification) {
            PyObject* future = r->future.get();
            Ref held = r->future;
            if (Ref objects = next_page(link, r, data.get())) resolve(future, objects.get());
            return;
        }
        Ref result = decoded(link, *r, data.get());
        resolve(r->future.get(), result.get());
    } catch (const PyError&) {
        failed(link, std::move(r));
    }
}

// Judges what has come, answer by answer, each against the request on the wire that
// carries its transaction identifier (the oldest one when none does).
void take_answers(Link& link) {
    while (link.received.size() >= modbus::kTcpAnswerHead) {
        if (link.in_flight.empty()) {
            link.received.clear();  // nothing was asked: stray bytes
            return;
        }
        const std::uint8_t* head = link.received.data();
        auto it = std::find_if(link.in_flight.begin(), link.in_flight.end(), [&](const std::unique_ptr<Request>& r) {
            return modbus::mbap_same_ids(head, r->frame.data());
        });
        if (it == link.in_flight.end()) it = link.in_flight.begin();
        Request& r = **it;
        modbus::TcpExchange ex(link.recent);
        ex.begin(r.frame.data(), r.frame.size(), nullptr, r.needed);
        ex.buffer().append(link.received.data(), link.received.size());
        const modbus::TcpStep step = ex.step();
        if (step == modbus::TcpStep::Want) return;
        if (step == modbus::TcpStep::Skipped) {
            const std::size_t skipped = link.received.size() - ex.buffer().size();
            link.received.erase(link.received.begin(), link.received.begin() + static_cast<std::ptrdiff_t>(skipped));
            continue;
        }
        const std::size_t extent = ex.extent();
        link.last_received = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(link.received.data()),
                                                           static_cast<Py_ssize_t>(extent)));
        if (step == modbus::TcpStep::IdsMismatch) {
            // No request of ours: where the next answer starts is unknown.
            link.one_at_a_time = true;
            link.received.clear();
        } else {
            link.received.erase(link.received.begin(), link.received.begin() + static_cast<std::ptrdiff_t>(extent));
        }
        std::unique_ptr<Request> taken = std::move(*it);
        link.in_flight.erase(it);
        finish(link, std::move(taken), step, ex);
    }
}

// ---- the protocol object: asyncio's calls into the link ------------------------------------

Link& protocol_link(PyObject* protocol) { return link_of(protocol); }

Ref protocol_self(Args& a) { return Ref::borrow(a[0]); }

Ref connection_made(Args& a) {
    Link& link = protocol_link(a[0]);
    link.transport = Ref::borrow(a[1]);
    link.one_at_a_time = false;
    link.received.clear();
    return none();
}

Ref data_received(Args& a) {
    Link& link = protocol_link(a[0]);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    Ref data = Ref::borrow(a[1]);
    if (!PyBytes_Check(a[1])) data = own(PyBytes_FromObject(a[1]));
    check(PyBytes_AsStringAndSize(data.get(), &bytes, &size));
    link.received.insert(link.received.end(), bytes, bytes + size);
    take_answers(link);
    pump(link);
    return none();
}

Ref eof_received(Args&) { return none(); }  // the transport closes itself

Ref connection_lost(Args& a) {
    Link& link = protocol_link(a[0]);
    link.transport = Ref();
    link.received.clear();
    // Every request on the wire fails (or is sent again on the next connection).
    std::vector<std::unique_ptr<Request>> lost;
    lost.swap(link.in_flight);
    Ref message = closed_message(link);
    for (auto& r : lost) {
        if (done(r->future.get())) continue;
        PyErr_SetObject(PyExc_ConnectionError, message.get());
        failed(link, std::move(r));
    }
    std::vector<Ref> waiters;
    waiters.swap(link.close_waiters);
    for (auto& w : waiters) resolve(w.get(), Py_None);
    if (!link.closed && !link.reconnect && !link.waiting.empty()) {
        PyErr_SetObject(PyExc_ConnectionError, message.get());
        fail_waiting(link);
    }
    if (!link.reconnect) link.closed = true;  // nothing opens it again
    pump(link);
    return none();
}

Ref flow_control(Args&) { return none(); }

// The connecting task ended: send what waits, or fail it with the task's error.
Ref connected(Args& a) {
    Link& link = protocol_link(a[0]);
    Ref task = Ref::borrow(a[1]);
    link.connecting = Ref();
    if (call_method(task.get(), BREL_STR("cancelled")).get() == Py_True) {
        PyErr_SetString(PyExc_ConnectionError, "connecting was cancelled");
        fail_waiting(link);
        return none();
    }
    Ref error = call_method(task.get(), BREL_STR("exception"));
    if (error.get() != Py_None) {
        PyErr_SetRaisedException(Py_NewRef(error.get()));
        fail_waiting(link);
        return none();
    }
    if (link.closed && link.transport) {
        call_method(link.transport.get(), BREL_STR("close"));
        return none();
    }
    std::vector<std::pair<Ref, Ref>> waiters;
    waiters.swap(link.connect_waiters);
    for (auto& w : waiters) resolve(w.first.get(), w.second.get());
    pump(link);
    return none();
}

// The timer: each request past its deadline fails with TimeoutError "timed out".
Ref expire(Args& a) {
    Link& link = protocol_link(a[0]);
    link.timer = Ref();
    const double t = now();
    std::vector<std::unique_ptr<Request>> late;
    for (auto it = link.in_flight.begin(); it != link.in_flight.end();) {
        if ((*it)->deadline <= t) {
            late.push_back(std::move(*it));
            it = link.in_flight.erase(it);
        } else {
            ++it;
        }
    }
    if (!late.empty()) link.one_at_a_time = true;
    for (auto& r : late) {
        PyErr_SetString(PyExc_TimeoutError, "timed out");
        failed(link, std::move(r));
    }
    double next = 0;
    for (auto& r : link.in_flight)
        if (!next || r->deadline < next) next = r->deadline;
    if (next) arm_timer(link, next);
    pump(link);
    return none();
}

}  // namespace atcp

const ClassSpec& async_tcp_link_class() {
    using namespace atcp;
    static const ClassSpec spec{.name = "_AsyncTCPLink",
                                .members = {
                                    method("__call__", protocol_self),
                                    method("connection_made", connection_made, {{"transport"}}),
                                    method("data_received", data_received, {{"data"}}),
                                    method("eof_received", eof_received),
                                    method("connection_lost", connection_lost, {{"exc"}}),
                                    method("pause_writing", flow_control),
                                    method("resume_writing", flow_control),
                                    method("_connected", connected, {{"task"}}),
                                    method("_expire", expire),
                                }};
    return spec;
}

namespace atcp {

// ---- construction and the master's state ----------------------------------------------------

PyObject* link_type = nullptr;  // the protocol class, made by the exec step

void check_in_flight(PyObject* v) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) raise();
    if (overflow || n < 1 || n > kMaxInFlight) {
        PyErr_Format(PyExc_ValueError, "max_in_flight must be from 1 to %ld: %S", kMaxInFlight, v);
        raise();
    }
}

Ref init(Args& a) {
    PyObject *self = a[0], *host = a[1], *port = a[2], *timeout = a[3], *station = a[4], *in_flight = a[5];
    tcp::check_station(station);
    check_in_flight(in_flight);
    const double seconds = PyFloat_AsDouble(timeout);
    if (!(seconds > 0)) {
        PyErr_Format(PyExc_ValueError, "timeout must be above 0: %S", timeout);
        raise();
    }
    auto owned = std::make_unique<Link>();
    Link& link = *owned;
    Ref capsule = own(PyCapsule_New(owned.get(), kCapsule, drop_link));
    owned.release();
    link.host = Ref::borrow(host);
    link.port = Ref::borrow(port);
    link.target = own(PyTuple_Pack(2, host, port));
    link.timeout = seconds;
    link.station = PyLong_AsLong(station);
    link.max_in_flight = PyLong_AsLong(in_flight);
    link.last_sent = tcp::empty_bytes();
    link.last_received = tcp::empty_bytes();
    link.protocol = own(PyObject_CallNoArgs(link_type));
    setattr(link.protocol.get(), k_link(), capsule.get());
    setattr(self, k_link(), capsule.get());
    return none();
}

// The running loop, which the link keeps while it is connected.
PyObject* loop_for(Link& link) {
    static PyObject* running = [] {
        Ref events = own(PyImport_ImportModule("asyncio"));
        return getattr(events.get(), BREL_STR("get_running_loop")).release();
    }();
    Ref loop = own(PyObject_CallNoArgs(running));
    if (link.loop.get() != loop.get()) {
        if (link.transport || link.connecting || !link.in_flight.empty() || !link.waiting.empty())
            raise(PyExc_RuntimeError, "this master's connection belongs to another event loop");
        link.loop = loop;
    }
    return link.loop.get();
}

Ref new_future(Link& link) { return call_method(loop_for(link), BREL_STR("create_future")); }

// Queues a request (a write before the reads that wait) and returns its future.
Ref submit(PyObject* self, std::unique_ptr<Request> r) {
    Link& link = link_of(self);
    const SettingsNow settings = settings_now(self);
    link.reconnect = settings.reconnect;
    r->retries_left = settings.retries;
    r->future = new_future(link);
    Ref future = r->future;
    if (link.closed) {
        Ref message = closed_message(link);
        fail(future.get(), PyExc_ConnectionError, message.get());
        return future;
    }
    auto at = link.waiting.end();
    if (r->write)
        at = std::find_if(link.waiting.begin(), link.waiting.end(),
                          [](const std::unique_ptr<Request>& w) { return !w->write; });
    link.waiting.insert(at, std::move(r));
    pump(link);
    return future;
}

std::unique_ptr<Request> request_of(PyObject* pdu_bytes, Decode decode, std::optional<long long> needed) {
    auto r = std::make_unique<Request>();
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(pdu_bytes));
    r->pdu.assign(p, p + PyBytes_GET_SIZE(pdu_bytes));
    r->decode = decode;
    r->needed = needed;
    r->write = modbus::changes_device(r->pdu[0]);
    return r;
}

std::unique_ptr<Request> request_of(const std::uint8_t* pdu, std::size_t size, Decode decode,
                                    std::optional<long long> needed) {
    auto r = std::make_unique<Request>();
    r->pdu.assign(pdu, pdu + size);
    r->decode = decode;
    r->needed = needed;
    r->write = modbus::changes_device(r->pdu[0]);
    return r;
}

// ---- connection members -------------------------------------------------------------------

// A future that gets `value` once the connection is open, or the error of opening it.
Ref connected_future(PyObject* self, PyObject* value) {
    Link& link = link_of(self);
    Ref future = new_future(link);
    if (link.closed) {
        Ref message = closed_message(link);
        fail(future.get(), PyExc_ConnectionError, message.get());
    } else if (link.transport) {
        resolve(future.get(), value);
    } else {
        link.connect_waiters.emplace_back(future, Ref::borrow(value));
        start_connecting(link);
    }
    return future;
}

Ref connect(Args& a) { return connected_future(a[0], Py_None); }

Ref close(Args& a) {
    Link& link = link_of(a[0]);
    Ref future = new_future(link);
    if (MasterSettings* settings = settings_of(a[0])) settings->closed = true;
    link.closed = true;
    Ref message = closed_message(link);
    PyErr_SetObject(PyExc_ConnectionError, message.get());
    fail_waiting(link);
    if (link.connecting) call_method(link.connecting.get(), BREL_STR("cancel"));
    if (link.timer) {
        call_method(link.timer.get(), BREL_STR("cancel"));
        link.timer = Ref();
    }
    if (link.transport) {
        link.close_waiters.push_back(future);
        call_method(link.transport.get(), BREL_STR("close"));
    } else {
        resolve(future.get(), Py_None);
    }
    return future;
}

// __aenter__: the master itself, once connected.
Ref enter(Args& a) { return connected_future(a[0], a[0]); }

Ref exit_block(Args& a) { return close(a); }

// ---- properties ---------------------------------------------------------------------------

Ref get_timeout(Args& a) { return own(PyFloat_FromDouble(link_of(a[0]).timeout)); }
Ref get_station(Args& a) { return make_int(link_of(a[0]).station); }
Ref set_station(Args& a) {
    tcp::check_station(a[1]);
    link_of(a[0]).station = PyLong_AsLong(a[1]);
    return none();
}
Ref get_last_sent(Args& a) { return link_of(a[0]).last_sent; }
Ref get_last_received(Args& a) { return link_of(a[0]).last_received; }
Ref get_protocol(Args&) { return make_int(0); }
Ref get_max_in_flight(Args& a) { return make_int(link_of(a[0]).max_in_flight); }
Ref set_max_in_flight(Args& a) {
    check_in_flight(a[1]);
    link_of(a[0]).max_in_flight = PyLong_AsLong(a[1]);
    return none();
}
Ref get_transport(Args& a) {
    Link& link = link_of(a[0]);
    return link.transport ? link.transport : none();
}

// ---- the operations -------------------------------------------------------------------------

Ref read_coils_n(PyObject* self, PyObject* address, PyObject* count, bool first) {
    tcp::check_address(address);
    tcp::check_count_field(count);
    Ref pdu = tcp::two_field_pdu(1, address, count);
    const long n = PyLong_AsLong(count);
    auto r = request_of(pdu.get(), Decode::Coils, (n + 7) / 8 + 1);
    r->count = Ref::borrow(count);
    r->first = first;
    return submit(self, std::move(r));
}

Ref read_coils(Args& a) { return read_coils_n(a[0], a[1], a[2], false); }

Ref read_registers_n(PyObject* self, PyObject* address, PyObject* count, bool first) {
    tcp::check_address(address);
    tcp::check_count_field(count);
    Ref pdu = tcp::two_field_pdu(3, address, count);
    auto r = request_of(pdu.get(), Decode::Registers, 2 * PyLong_AsLong(count) + 1);
    r->first = first;
    return submit(self, std::move(r));
}

Ref read_registers(Args& a) { return read_registers_n(a[0], a[1], a[2], false); }

Ref read_register(Args& a) {
    Ref one = make_int(1);
    return read_registers_n(a[0], a[1], one.get(), true);
}

Ref write_registers_of(PyObject* self, PyObject* address, PyObject* values) {
    tcp::check_address(address);
    Ref pdu = tcp::write_registers_pdu(address, values);
    auto r = request_of(pdu.get(), Decode::RegistersEcho, 4);
    r->address = Ref::borrow(address);
    r->count = Ref::borrow(values);
    return submit(self, std::move(r));
}

Ref write_registers(Args& a) { return write_registers_of(a[0], a[1], a[2]); }

Ref write_register(Args& a) {
    tcp::check_address(a[1]);
    Ref values = own(PyList_New(1));
    PyList_SET_ITEM(values.get(), 0, Py_NewRef(a[2]));
    return write_registers_of(a[0], a[1], values.get());
}

Ref write_coil(Args& a) {
    PyObject *address = a[1], *value = a[2];
    tcp::check_address(address);
    Ref pdu = tcp::write_coil_pdu(address, value);
    auto r = request_of(pdu.get(), Decode::CoilEcho, 4);
    r->address = Ref::borrow(address);
    r->command = pdu;
    return submit(a[0], std::move(r));
}

Ref read_input_registers_n(PyObject* self, PyObject* address, PyObject* count, bool first) {
    tcp::check_address(address);
    const std::size_t n = tcp::limited_count(count, "count", modbus::kMaxReadRegisters);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kReadInputRegisters, tcp::low16(address), static_cast<std::uint16_t>(n));
    auto r = request_of(pdu, sizeof pdu, Decode::RuleRegisters, static_cast<long long>(1 + 2 * n));
    r->rule = modbus::AnswerRule::RegisterBytes;
    r->fault = "Feedback for reading registers invalid";
    r->first = first;
    return submit(self, std::move(r));
}

Ref read_input_registers(Args& a) { return read_input_registers_n(a[0], a[1], a[2], false); }

Ref read_input_register(Args& a) {
    Ref one = make_int(1);
    return read_input_registers_n(a[0], a[1], one.get(), true);
}

Ref read_input_coils(Args& a) {
    PyObject *address = a[1], *count = a[2];
    tcp::check_address(address);
    const std::size_t n = tcp::limited_count(count, "count", modbus::kMaxReadBits);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kReadDiscreteInputs, tcp::low16(address), static_cast<std::uint16_t>(n));
    auto r = request_of(pdu, sizeof pdu, Decode::RuleBits, static_cast<long long>(1 + (n + 7) / 8));
    r->rule = modbus::AnswerRule::BitBytes;
    r->fault = "Feedback for reading coils invalid";
    r->count = Ref::borrow(count);
    return submit(a[0], std::move(r));
}

Ref read_coil(Args& a) {
    Ref one = make_int(1);
    return read_coils_n(a[0], a[1], one.get(), true);
}

Ref write_single_register(Args& a) {
    PyObject *address = a[1], *value = a[2];
    tcp::check_address(address);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kWriteSingleRegister, tcp::low16(address), tcp::low16(value));
    auto r = request_of(pdu, sizeof pdu, Decode::Confirm, 4);
    r->rule = modbus::AnswerRule::Echo;
    r->fault = "Write register";
    r->address = Ref::borrow(address);
    return submit(a[0], std::move(r));
}

// The request an operation of operations.cpp makes, caught instead of sent: the operation
// builds it once for both masters, the asyncio master sends it later and judges its
// answer as ModbusTCPMaster's exchange does.
class CaughtRequest final : public ops::Exchange {
public:
    std::unique_ptr<Request> request;

    void confirm(ops::Pdu pdu, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault fault) override {
        request = request_of(pdu.data, pdu.size, Decode::Confirm, static_cast<long long>(answer_size - 1));
        request->rule = rule;
        request->fault = fault == ops::Fault::WriteCoils ? "Write coils" : "Mask write register";
    }
    Ref registers(ops::Pdu pdu, std::size_t count, ops::Fault) override {
        request = request_of(pdu.data, pdu.size, Decode::RuleRegisters, static_cast<long long>(1 + 2 * count));
        request->rule = modbus::AnswerRule::RegisterBytes;
        request->fault = "Feedback for reading registers invalid";
        request->write = true;  // it writes too
        return none();
    }
    // Not caught: code 43/14 is read page by page as the answers come (next_page).
    void page(ops::Pdu, const ops::PageReader&) override { raise(PyExc_SystemError, "pages are not caught"); }
    [[noreturn]] void no_progress(std::uint8_t, std::uint8_t) override {
        raise(PyExc_SystemError, "pages are not caught");
    }
    std::vector<std::uint16_t> read_words(PyObject*, std::size_t, PyObject*) override { return {}; }
    void write_list(PyObject* address, PyObject* registers) override {
        list_address = Ref::borrow(address);
        list = Ref::borrow(registers);
    }
    Ref list_address, list;
};

Ref submit_caught(PyObject* self, CaughtRequest& caught, PyObject* address) {
    caught.request->address = Ref::borrow(address);
    return submit(self, std::move(caught.request));
}

Ref write_coils(Args& a) {
    PyObject *self = a[0], *address = a[1];
    tcp::check_address(address);
    Ref states = items_of(a[2], "truth values");
    check_items(static_cast<std::size_t>(PyTuple_GET_SIZE(states.get())), modbus::kMaxWriteCoils);
    const std::vector<std::uint8_t> on = ops::truth_values(states.get());
    CaughtRequest caught;
    ops::write_coils(caught, tcp::low16(address), on);
    return submit_caught(self, caught, address);
}

Ref mask_write_register(Args& a) {
    PyObject *self = a[0], *address = a[1], *and_mask = a[2], *or_mask = a[3];
    tcp::check_address(address);
    check_field(and_mask, "and_mask", modbus::kMaxAddress);
    check_field(or_mask, "or_mask", modbus::kMaxAddress);
    CaughtRequest caught;
    ops::mask_write_register(caught, tcp::low16(address), tcp::low16(and_mask), tcp::low16(or_mask));
    return submit_caught(self, caught, address);
}

Ref read_write_registers(Args& a) {
    PyObject *self = a[0], *read_address = a[1], *read_count = a[2], *write_address = a[3], *values = a[4];
    tcp::check_address(read_address);
    const std::size_t n = tcp::limited_count(read_count, "read_count", modbus::kMaxReadWriteRead);
    tcp::check_address(write_address);
    const std::vector<std::uint16_t> words = tcp::written_words(values);
    CaughtRequest caught;
    ops::read_write_registers(caught, tcp::low16(read_address), static_cast<std::uint16_t>(n),
                              tcp::low16(write_address), words.data(), words.size());
    return submit_caught(self, caught, read_address);
}

Ref read_device_identification(Args& a) {
    PyObject *read_code = a[1], *object_id = a[2];
    const std::uint8_t code = identification_read_code(read_code);
    check_field(object_id, "object_id", 0xFF);
    std::uint8_t pdu[4];
    const std::size_t n =
        modbus::pdu_read_device_identification(pdu, code, static_cast<std::uint8_t>(tcp::low16(object_id)));
    auto r = request_of(pdu, n, Decode::Identification, std::nullopt);
    r->count = own(PyDict_New());
    return submit(a[0], std::move(r));
}

// ---- typed values ---------------------------------------------------------------------------

// The layout's registers read with `func_code` (3 or 4), decoded when they come.
Ref read_layout(PyObject* self, PyObject* address, const ValueLayout& layout, bool input, bool first) {
    const std::size_t n = layout.registers();
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, input ? modbus::kReadInputRegisters : modbus::kReadHoldingRegisters,
                           tcp::low16(address), static_cast<std::uint16_t>(n));
    auto r = request_of(pdu, sizeof pdu, Decode::Values, static_cast<long long>(1 + 2 * n));
    r->layout = layout;
    r->first = first;
    return submit(self, std::move(r));
}

// The values encoded by the layout, written with code 16.
Ref write_layout(PyObject* self, PyObject* address, const ValueLayout& layout, PyObject* values) {
    CaughtRequest caught;
    ops::write_values(caught, address, layout, values);
    return write_registers_of(self, address, caught.list.get());
}

using tcp::code_of;
using tcp::layout_of;
using tcp::order_of;

Ref read_int16(Args& a) {
    tcp::check_address(a[1]);
    return read_layout(a[0], a[1], layout_of(1, 'h', BREL_STR("ABCD")), false, true);
}

Ref read_32(Args& a) {
    tcp::check_address(a[1]);
    return read_layout(a[0], a[1], layout_of(1, code_of(a), order_of(a[2])), false, true);
}

Ref read_multi_32(Args& a) {
    tcp::check_address(a[1]);
    const std::size_t n = tcp::limited_count(a[2], "count", modbus::kMaxReadRegisters / 2);
    return read_layout(a[0], a[1], layout_of(n, code_of(a), order_of(a[3])), false, false);
}

Ref write_32(Args& a) {
    tcp::check_address(a[1]);
    Ref values = own(PyTuple_Pack(1, a[2]));
    return write_layout(a[0], a[1], layout_of(1, code_of(a), order_of(a[3])), values.get());
}

Ref write_multi_32(Args& a) {
    tcp::check_address(a[1]);
    Ref values = items_of(a[2], "numbers");
    const Py_ssize_t n = PyTuple_GET_SIZE(values.get());
    check_items(static_cast<std::size_t>(n), modbus::kMaxWriteRegisters / 2);
    return write_layout(a[0], a[1], layout_of(static_cast<std::size_t>(n), code_of(a), order_of(a[3])), values.get());
}

Ref read_values(Args& a) {
    PyObject *self = a[0], *address = a[1], *format = a[2], *order = a[3], *func_code = a[4];
    tcp::check_address(address);
    const ValueLayout layout = value_layout(format, order);
    check_registers(layout.registers(), modbus::kMaxReadRegisters, "read");
    check_register_read_code(func_code);
    return read_layout(self, address, layout, !tcp::int_equals(func_code, modbus::kReadHoldingRegisters), false);
}

Ref write_values(Args& a) {
    PyObject *self = a[0], *address = a[1], *format = a[2], *values = a[3], *order = a[4];
    tcp::check_address(address);
    const ValueLayout layout = value_layout(format, order);
    check_registers(layout.registers(), modbus::kMaxWriteRegisters, "written");
    return write_layout(self, address, layout, values);
}

MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code,
                 const char* returns = nullptr) {
    return tcp::typed(key, impl, std::move(middle), code, returns);
}

}  // namespace atcp

void record_async_link_type(PyObject* type) noexcept { atcp::link_type = type; }

// ---- member table -------------------------------------------------------------------------

const ClassSpec& async_tcp_master_class() {
    using namespace atcp;
    static const ClassSpec spec{
        .name = "AsyncModbusTCPMaster",
        .members = {
            method("__init__", init,
                   {{"host", "str"},
                    {"port", "int"},
                    {"timeout", "float"},
                    {"station", "int", int_default(1)},
                    {.name = "max_in_flight", .annotation = "int", .value = int_default(1), .keyword_only = true}}),
            method("connect", connect),
            method("close", close),
            alias("aclose", "close"),
            method("__aenter__", enter),
            method("__aexit__", exit_block, {{"exc_type"}, {"exc_val"}, {"exc_tb"}}),
            property("transport", get_transport),
            property("timeout", get_timeout),
            property("station", get_station, "int", set_station, "int"),
            property("max_in_flight", get_max_in_flight, "int", set_max_in_flight, "int"),
            property("last_command_sent", get_last_sent, "bytes"),
            property("last_feedback_received", get_last_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            property("protocol", get_protocol),
            method("read_coils", read_coils, {{"address", "int"}, {"count", "int"}}),
            method("read_registers", read_registers, {{"address", "int"}, {"count", "int"}}),
            method("read_register", read_register, {{"address", "int"}}),
            method("write_registers", write_registers, {{"address", "int"}, {"values", "list[int]"}}),
            method("write_register", write_register, {{"address", "int"}, {"value", "int"}}),
            method("write_coil", write_coil, {{"address", "int"}, {"value", "bool"}}),
            method("read_input_registers", read_input_registers, {{"address", "int"}, {"count", "int"}}),
            method("read_input_register", read_input_register, {{"address", "int"}}),
            method("read_input_coils", read_input_coils, {{"address", "int"}, {"count", "int"}}),
            method("read_coil", read_coil, {{"address", "int"}}),
            method("write_single_register", write_single_register, {{"address", "int"}, {"value", "int"}}),
            method("read_int16", read_int16, {{"address", "int"}}),
            alias("read_uint16", "read_register"),
            alias("write_int16", "write_register"),
            alias("write_uint16", "write_register"),
            typed("read_uint32", read_32, {}, "I"),
            typed("read_int32", read_32, {}, "i"),
            typed("read_float", read_32, {}, "f"),
            typed("read_multi_uint32", read_multi_32, {{"count", "int"}}, "I"),
            typed("read_multi_int32", read_multi_32, {{"count", "int"}}, "i"),
            typed("read_multi_float", read_multi_32, {{"count", "int"}}, "f"),
            typed("write_int32", write_32, {{"value"}}, "i"),
            typed("write_uint32", write_32, {{"value"}}, "I"),
            typed("write_float", write_32, {{"value"}}, "f"),
            typed("write_multi_int32", write_multi_32, {{"values"}}, "i"),
            typed("write_multi_uint32", write_multi_32, {{"values"}}, "I"),
            typed("write_multi_float", write_multi_32, {{"values"}}, "f"),
            method("write_coils", write_coils, {{"address", "int"}, {"values"}}),
            method("mask_write_register", mask_write_register,
                   {{"address", "int"}, {"and_mask", "int"}, {"or_mask", "int"}}),
            method("read_write_registers", read_write_registers,
                   {{"read_address", "int"}, {"read_count", "int"}, {"write_address", "int"}, {"values", "list[int]"}}),
            method("read_device_identification", read_device_identification,
                   {{"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}}),
            method("read_values", read_values,
                   {{"address", "int"},
                    {"format", "str"},
                    {"order", "str", str_default("ABCD")},
                    {"func_code", "int", int_default(3)}}),
            method("write_values", write_values,
                   {{"address", "int"}, {"format", "str"}, {"values"}, {"order", "str", str_default("ABCD")}}),
            retries_member(),
            reconnect_member(),
        }};
    return spec;
}

}  // namespace brel
