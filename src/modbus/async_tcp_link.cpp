// AsyncModbusTCPMaster's link: its requests, the asyncio protocol that feeds their answers to the exchange.
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
// as ModbusTCPMaster's members (tcp_master.cpp, tcp_data_model.cpp). The members and
// their table are in async_tcp_master.cpp.
//
// Order: requests go out in the order they were made, but a write made while reads wait
// goes before those reads. Time-outs: one timer per link, armed for the earliest
// deadline of the requests on the wire. A time-out or an answer with an unknown
// transaction identifier makes the link send one request at a time until its
// connection is opened again. A cancelled call that is still waiting is never sent; one
// on the wire gives up its place at once (its answer, if it comes, is skipped).
//
// TLS: with an ssl_context the connection is opened by create_connection(ssl=...,
// server_hostname=host), so the handshake is part of opening and a failed one fails the
// calls that wait for it. The trace: a request keeps its master's trace callable from the
// moment of its call; send() gives its "sent" record, and the end of its exchange (an
// answer judged, a time-out, the connection lost) its "received" record.
#include "modbus/async_tcp_link.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/operations.hpp"
#include "modbus/tcp_exchange.hpp"
#include "modbus/traffic.hpp"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace brel {
namespace atcp {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- the link of a master or of its protocol ------------------------------------------------

PyObject* k_link() { return BREL_STR("_AsyncModbusTCPMaster__link"); }

PyObject* link_type = nullptr;  // the protocol class, made by the exec step
constexpr const char* kCapsule = "brel_modbus.async_tcp_link";

Link& link_of(PyObject* self) {
    return capsule_link<Link>(self, k_link(), kCapsule, "AsyncModbusTCPMaster.__init__() was not called");
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
Ref closed_message(Connection& link) {
    return tcp::target_message(link.target.get(), BREL_STR("Connection closed by "));
}

void fail_shut(PyObject* future) {
    Ref error = own(PyObject_CallFunction(errors.master_closed, "is", EBADF, std::strerror(EBADF)));
    fail(future, errors.master_closed, error.get());
}

bool refused_by_closed(Connection& link, PyObject* future) {
    if (link.shut) {
        fail_shut(future);
    } else if (link.closed) {
        Ref message = closed_message(link);
        fail(future, errors.connection_closed, message.get());
    } else {
        return false;
    }
    return true;
}

// ---- the connection -----------------------------------------------------------------------

void pump(Link& link);

void start_connecting(Connection& link) {
    if (link.connecting || link.transport) return;
    // With a TLS context the handshake is part of opening: a failed one fails the calls that
    // wait, before any request goes out.
    Ref create = getattr(link.loop.get(), BREL_STR("create_connection"));
    Ref args = own(PyTuple_Pack(3, link.protocol, link.host.get(), link.port.get()));
    Ref keywords;
    if (link.ssl_context) {
        keywords = own(PyDict_New());
        check(PyDict_SetItem(keywords.get(), BREL_STR("ssl"), link.ssl_context.get()));
        check(PyDict_SetItem(keywords.get(), BREL_STR("server_hostname"), link.host.get()));
    }
    Ref opening = own(PyObject_Call(create.get(), args.get(), keywords.get()));
    Ref asyncio = own(PyImport_ImportModule("asyncio"));
    Ref wait_for = getattr(asyncio.get(), BREL_STR("wait_for"));
    Ref timeout = own(PyFloat_FromDouble(link.timeout));
    Ref bounded = call(wait_for.get(), opening.get(), timeout.get());
    link.connecting = call_method(link.loop.get(), BREL_STR("create_task"), bounded.get());
    link.opening = std::move(opening);
    Ref callback = getattr(link.protocol, BREL_STR("_connected"));
    call_method(link.connecting.get(), BREL_STR("add_done_callback"), callback.get());
}

Ref connected_future(Connection& link, Ref future, PyObject* value) {
    if (refused_by_closed(link, future.get())) return future;
    if (link.transport) {
        resolve(future.get(), value);
    } else {
        link.connect_waiters.emplace_back(future, Ref::borrow(value));
        start_connecting(link);
    }
    return future;
}

void close_connection(Connection& link, PyObject* future) {
    if (link.connecting) call_method(link.connecting.get(), BREL_STR("cancel"));
    if (link.transport) {
        link.close_waiters.push_back(Ref::borrow(future));
        call_method(link.transport.get(), BREL_STR("close"));
    } else {
        resolve(future, Py_None);
    }
}

void watch_master(Connection& link, PyObject* master) {
    Ref gone = getattr(link.protocol, BREL_STR("_master_gone"));
    link.master_ref = own(PyWeakref_NewRef(master, gone.get()));
}

void let_go(Connection& link) {
    link.closed = true;
    link.shut = true;
    if (link.connecting) quietly([&] { call_method(link.connecting.get(), BREL_STR("cancel")); });
    if (link.transport) quietly([&] { call_method(link.transport.get(), BREL_STR("close")); });
    link.transport = Ref();
    link.connecting = Ref();
    // The weak reference holds its callback, a method of the protocol object, which holds the
    // link: a cycle the collector cannot see through the link's capsule. When the collector
    // freed the master, the reference keeps its callback after calling it, so it goes here.
    // (This runs inside that callback; the interpreter does not touch the reference after it.)
    link.master_ref = Ref();
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

// ---- the trace ------------------------------------------------------------------------------

// What the trace tells of a request: its callable (empty: no trace), unit identifier and function code.
struct Traced {
    Ref trace;
    long station = -1;
    long function = -1;

    explicit Traced(const Request& r) : trace(r.trace), station(r.unit), function(r.pdu.empty() ? -1 : r.pdu[0]) {}

    void sent(PyObject* frame) const noexcept {
        if (trace) trace_frame(trace.get(), "sent", frame, station, function, nullptr);
    }
    // What came for the request (null: nothing) and how its exchange ended: the pending
    // exception's kind, or "answer".
    void received(PyObject* data) const noexcept {
        if (!trace) return;
        trace_frame(trace.get(), "received", data ? data : tcp::empty_bytes().get(), station, function,
                    ending_outcome());
    }
};

// ---- sending ----------------------------------------------------------------------------------

void arm_timer(Link& link, double deadline) {
    if (link.timer && link.timer_at <= deadline) return;
    if (link.timer) call_method(link.timer.get(), BREL_STR("cancel"));
    Ref delay = own(PyFloat_FromDouble(std::max(0.0, deadline - now())));
    Ref expire = getattr(link.protocol, BREL_STR("_expire"));
    link.timer = call_method(link.loop.get(), BREL_STR("call_later"), delay.get(), expire.get());
    link.timer_at = deadline;
}

void send(Link& link, std::unique_ptr<Request> r) {
    const std::uint16_t transaction = link.next_transaction++;
    const std::uint8_t unit = r->unit;
    r->frame.resize(modbus::kMbapSize + r->pdu.size());
    modbus::mbap_header(r->frame.data(), transaction, 0, static_cast<std::uint16_t>(r->pdu.size() + 1), unit);
    std::memcpy(r->frame.data() + modbus::kMbapSize, r->pdu.data(), r->pdu.size());
    // Input left from an earlier exchange is stale once nothing is on the wire.
    if (link.in_flight.empty()) link.received.clear();
    Ref frame = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r->frame.data()),
                                              static_cast<Py_ssize_t>(r->frame.size())));
    try {
        call_method(link.transport.get(), BREL_STR("write"), frame.get());
    } catch (const PyError&) {
        fail_with_pending(r->future.get());  // nothing went out
        return;
    }
    note_send(false);
    if (r->trace) Traced(*r).sent(frame.get());
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
            PyErr_SetObject(errors.connection_closed, message.get());
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

// A request of codes 1, 3, 5 or 16 as the operation carried it.
ops::Carried carried_of(const Request& r) {
    return {r.command.get(), r.check, r.address.get(), r.count.get(), static_cast<std::size_t>(*r.needed), nullptr};
}

// The result of a sound answer's data part (raises what the synchronous members raise).
Ref decoded(Link& link, Request& r, PyObject* data) {
    const tcp::Peer peer{nullptr, link.target.get()};
    Ref result;
    switch (r.decode) {
        case Decode::Carried:
            result = tcp::judge_carried(peer, carried_of(r), data);
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
        case Decode::Confirm:
            if (!tcp::answers(r.pdu.data(), r.pdu.size(), r.rule, data))
                tcp::raise_write_failed(peer, r.fault, r.address.get());
            return none();
        case Decode::Identification:
        case Decode::Replay:
            break;  // next_page(), replay()
        case Decode::Values: {
            const ops::Carried read{nullptr, ops::CarriedCheck::RegisterBytes,    nullptr,
                                    nullptr, static_cast<std::size_t>(*r.needed), nullptr};
            Ref registers = tcp::judge_carried(peer, read, data);
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

std::vector<std::uint8_t> Replay::answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                         ops::Fault fault) {
    if (next_ < answers_.size()) return tcp::shaped_answer(request, shape, check, fault, answers_[next_++].get());
    pdu.assign(request.data, request.data + request.size);
    Ref length = tcp::needed_for(shape);
    if (length.get() != Py_None) needed = PyLong_AsLongLong(length.get());
    throw Caught{};
}

Ref replay(Request& r) {
    Args a;
    const Py_ssize_t n = PyTuple_GET_SIZE(r.arguments.get());
    for (Py_ssize_t i = 0; i < n && i < kMaxParams; ++i) a.v[i] = PyTuple_GET_ITEM(r.arguments.get(), i);
    Replay exchange(r.answers);
    try {
        return r.face(exchange, a);
    } catch (const Caught&) {
        r.pdu = std::move(exchange.pdu);
        r.needed = exchange.needed;
        return Ref();
    }
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
    const Traced traced(*r);
    Ref came = link.last_received;  // the answer as it came
    if (step != modbus::TcpStep::Done) {
        set_outcome_error(link, step, ex);
        traced.received(came.get());
        failed(link, std::move(r));
        return;
    }
    try {
        Ref data = data_bytes(ex);
        if (r->decode == Decode::Replay) {
            r->answers.push_back(data);
            Ref result;
            try {
                result = replay(*r);
            } catch (const PyError&) {
                r->answers.pop_back();  // sent again, if at all, for a sound answer
                throw;
            }
            traced.received(came.get());
            if (result) {
                resolve(r->future.get(), result.get());
            } else {
                link.waiting.push_front(std::move(r));  // the face asks for one more answer
            }
            return;
        }
        if (r->decode == Decode::Identification) {
            PyObject* future = r->future.get();
            Ref held = r->future;
            Ref objects = next_page(link, r, data.get());
            traced.received(came.get());
            if (objects) resolve(future, objects.get());
            return;
        }
        Ref result = decoded(link, *r, data.get());
        traced.received(came.get());
        resolve(r->future.get(), result.get());
    } catch (const PyError&) {
        traced.received(came.get());
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
            link.received.drop_front(skipped);
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
            link.received.drop_front(extent);
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
    link.received.append(bytes, static_cast<std::size_t>(size));
    take_answers(link);
    pump(link);
    return none();
}

Ref eof_received(Args&) { return none(); }  // the transport closes itself

Ref connection_lost(Args& a) {
    Link& link = protocol_link(a[0]);
    link.transport = Ref();
    // Every request on the wire fails (or is sent again on the next connection). What came
    // of an answer cut short belongs to the request of its transaction identifier (or to
    // the oldest), as the trace tells it.
    std::vector<std::unique_ptr<Request>> lost;
    lost.swap(link.in_flight);
    const Request* cut = nullptr;
    Ref partial;
    if (!link.received.empty() && !lost.empty()) {
        cut = lost.front().get();
        for (const auto& r : lost)
            if (link.received.size() >= 2 && std::memcmp(link.received.data(), r->frame.data(), 2) == 0) cut = r.get();
        partial = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(link.received.data()),
                                                static_cast<Py_ssize_t>(link.received.size())));
    }
    link.received.clear();
    Ref message = closed_message(link);
    for (auto& r : lost) {
        if (done(r->future.get())) continue;
        PyErr_SetObject(errors.connection_closed, message.get());
        if (r->trace) Traced(*r).received(r.get() == cut ? partial.get() : nullptr);
        failed(link, std::move(r));
    }
    std::vector<Ref> waiters;
    waiters.swap(link.close_waiters);
    for (auto& w : waiters) resolve(w.get(), Py_None);
    if (!link.closed && !link.reconnect && !link.waiting.empty()) {
        PyErr_SetObject(errors.connection_closed, message.get());
        fail_waiting(link);
    }
    if (!link.reconnect) link.closed = true;  // nothing opens it again
    pump(link);
    return none();
}

Ref flow_control(Args&) { return none(); }

// The master was freed without close(). Its calls keep it while they last, so none is left:
// the timer and the connection are let go.
Ref master_gone(Args& a) {
    Link& link = protocol_link(a[0]);
    if (link.timer) quietly([&] { call_method(link.timer.get(), BREL_STR("cancel")); });
    link.timer = Ref();
    let_go(link);
    return none();
}

// The error of a TLS connection that could not be opened. A peer that closed the connection
// in the handshake is ssl.SSLEOFError, as the synchronous master's handshake tells it (asyncio
// tells it as a ConnectionResetError, which is kept as the cause).
Ref handshake_error(PyObject* error) {
    if (!PyErr_GivenExceptionMatches(error, PyExc_ConnectionResetError)) return Ref::borrow(error);
    Ref ssl = own(PyImport_ImportModule("ssl"));
    Ref type = getattr(ssl.get(), BREL_STR("SSLEOFError"));
    Ref code = getattr(ssl.get(), BREL_STR("SSL_ERROR_EOF"));
    Ref text =
        own(PyUnicode_FromString("EOF occurred in violation of protocol: the peer closed the connection "
                                 "in the TLS handshake"));
    Ref eof = call(type.get(), code.get(), text.get());
    PyException_SetCause(eof.get(), Py_NewRef(error));
    PyException_SetContext(eof.get(), Py_NewRef(error));
    return eof;
}

Opened take_connection(Connection& link, PyObject* task) {
    link.connecting = Ref();
    // A task cancelled before its first step never started the coroutine: closed here, it is
    // not reported as never awaited. One that ran has finished, and close() does nothing.
    if (Ref opening = std::move(link.opening)) quietly([&] { call_method(opening.get(), BREL_STR("close")); });
    if (call_method(task, BREL_STR("cancelled")).get() == Py_True) {
        PyErr_SetString(PyExc_ConnectionError, "connecting was cancelled");
        return Opened::Failed;
    }
    Ref error = call_method(task, BREL_STR("exception"));
    if (error.get() != Py_None) {
        if (link.ssl_context) error = handshake_error(error.get());
        PyErr_SetRaisedException(Py_NewRef(error.get()));
        return Opened::Failed;
    }
    if (link.closed && link.transport) {
        call_method(link.transport.get(), BREL_STR("close"));
        return Opened::Closed;
    }
    std::vector<std::pair<Ref, Ref>> waiters;
    waiters.swap(link.connect_waiters);
    for (auto& w : waiters) resolve(w.first.get(), w.second.get());
    return Opened::Open;
}

// The connecting task ended: send what waits, or fail it with the task's error.
Ref connected(Args& a) {
    Link& link = protocol_link(a[0]);
    const Opened opened = take_connection(link, a[1]);
    if (opened == Opened::Failed) fail_waiting(link);
    if (opened == Opened::Open) pump(link);
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
        PyErr_SetString(errors.timeout, "timed out");
        if (r->trace) Traced(*r).received(nullptr);
        failed(link, std::move(r));
    }
    double next = 0;
    for (auto& r : link.in_flight)
        if (!next || r->deadline < next) next = r->deadline;
    if (next) arm_timer(link, next);
    pump(link);
    return none();
}

// ---- the queue --------------------------------------------------------------------------------

Ref loop_future(Connection& link, bool busy) {
    static PyObject* running = [] {
        Ref events = own(PyImport_ImportModule("asyncio"));
        return getattr(events.get(), BREL_STR("get_running_loop")).release();
    }();
    Ref loop = own(PyObject_CallNoArgs(running));
    if (link.loop.get() != loop.get()) {
        if (busy || link.transport || link.connecting)
            raise(PyExc_RuntimeError, "this master's connection belongs to another event loop");
        link.loop = loop;
    }
    return call_method(link.loop.get(), BREL_STR("create_future"));
}

Ref new_future(Link& link) { return loop_future(link, !link.in_flight.empty() || !link.waiting.empty()); }

// Queues a request (a write before the reads that wait) and returns its future.
Ref submit(PyObject* self, std::unique_ptr<Request> r) {
    Link& link = link_of(self);
    const SettingsNow settings = settings_now(self);
    link.reconnect = settings.reconnect;
    r->retries_left = settings.retries;
    r->unit = static_cast<std::uint8_t>(link.station & 0xFF);  // the station at the call, whenever it goes
    r->master = Ref::borrow(self);
    if (PyObject* trace = trace_of(existing_settings(self))) r->trace = Ref::borrow(trace);
    r->future = new_future(link);
    Ref future = r->future;
    if (refused_by_closed(link, future.get())) return future;
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

Link& new_link(PyObject* self) {
    Link& link =
        new_capsule_link<Link>(self, k_link(), BREL_STR("_AsyncModbusTCPMaster__protocol"), kCapsule, link_type);
    watch_master(link, self);
    return link;
}

}  // namespace atcp

void record_async_link_type(PyObject* type) noexcept { atcp::link_type = type; }

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
                                    method("_master_gone", master_gone, {{"reference"}}),
                                }};
    return spec;
}

}  // namespace brel
