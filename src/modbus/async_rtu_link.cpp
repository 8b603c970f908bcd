// AsyncMaster's link: the calls on one RTU line, and the asyncio protocol that drives them.
//
// One master keeps one link: a native record (in a capsule held by the master's dict and by
// its protocol object) of the event loop, the asyncio transport, an RtuQueue with the calls
// made, and what came back. Every member checks its arguments and builds its request frame
// at once, with the same code as Master (a bad argument raises at the call, before anything
// is queued), queues it and returns an asyncio Future for its result. The queue decides
// what happens next: one call on the line at a time, a write before the reads that wait,
// the silent interval after the line's last byte, the recovery quiet time after a call
// that ended without a sound answer. One loop timer per link is armed for the time the
// queue names (the deadline of the call on the line, or when the line is ready); each
// receive and each timer callback asks the queue for the end of the call on the line
// (received / expire), settles that call's future or drops it when its caller went away,
// and sends what may go next.
//
// Cancellation: a future cancelled while its call waits takes the call out of the queue;
// one cancelled on the line leaves it there, abandoned, until its answer is whole or its
// deadline passes, and the next call never takes that answer. The outcomes raise what
// Master raises, with its texts: SlaveException for a refusal, the CRC error, the
// mismatch and the time-out of rtu_steps.cpp.
//
// The line is, for now, a TCP connection to a serial server (`rtu+tcp://` or `socket://`):
// no silent interval is kept on it, as none is on Master's channel over TCP.
#include "modbus/async_rtu_link.hpp"
#include "channel/serial_channel.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/rtu_parts.hpp"
#include "modbus/traffic.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

namespace brel {
namespace artu {

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

PyObject* k_link() { return BREL_STR("_AsyncMaster__link"); }

PyObject* link_type = nullptr;  // the protocol class, made by the exec step
constexpr const char* kCapsule = "brel_modbus.async_rtu_link";

Ref bytes_of(const std::uint8_t* data, std::size_t size) {
    return own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

}  // namespace

Link& link_of(PyObject* self) {
    return atcp::capsule_link<Link>(self, k_link(), kCapsule, "AsyncMaster.__init__() was not called");
}

Link& new_link(PyObject* self) {
    Link& link = atcp::new_capsule_link<Link>(self, k_link(), BREL_STR("_AsyncMaster__protocol"), kCapsule, link_type);
    atcp::watch_master(link, self);
    return link;
}

Ref new_future(Link& link) {
    Ref future = atcp::loop_future(link, !link.calls.empty());
    if (link.device && !link.transport && !link.closed && !link.device_gone) open_line(link);  // watched on this loop
    return future;
}

void open_line(Link& link) {
    if (!link.device) {
        atcp::start_connecting(link);
        return;
    }
    if (link.transport || link.closed || link.device_gone) return;
    Ref fd = own(PyLong_FromLong(link.fd));
    Ref readable = getattr(link.protocol, BREL_STR("_readable"));
    call_method(link.loop.get(), BREL_STR("add_reader"), fd.get(), readable.get());
    link.transport = link.device_port;
}

void close_line(Link& link, PyObject* future) {
    if (!link.device) {
        atcp::close_connection(link, future);
        return;
    }
    if (link.transport) {
        Ref fd = own(PyLong_FromLong(link.fd));
        call_method(link.loop.get(), BREL_STR("remove_reader"), fd.get());
    }
    Ref protocol = Ref::borrow(link.protocol);
    Ref none = rtu::none();
    call_method(protocol.get(), BREL_STR("connection_lost"), none.get());
    channel::close(link.device.get());
    atcp::resolve(future, Py_None);
}

void fail_waiting(Link& link) {
    PyObject* error = PyErr_GetRaisedException();
    Ref held = own(error);
    std::vector<Ref> failing;
    for (auto it = link.calls.begin(); it != link.calls.end();) {
        if (it->first == link.queue.on_line()) {  // it ends there
            ++it;
            continue;
        }
        link.queue.cancel(it->first);
        failing.push_back(it->second.future);
        it = link.calls.erase(it);
    }
    std::vector<std::pair<Ref, Ref>> waiters;
    waiters.swap(link.connect_waiters);
    for (auto& w : waiters) failing.push_back(w.first);
    for (auto& f : failing)
        if (!atcp::done(f.get())) call_method(f.get(), BREL_STR("set_exception"), error);
}

namespace {

// ---- the end of a call ----------------------------------------------------------------------

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

// The error of the channel's own echo check (brel_linkkit's SerialEchoError), with its texts:
// nothing came back, the start of the frame and then nothing more, or other bytes.
[[noreturn]] void raise_echo_error(const std::vector<std::uint8_t>& frame, const std::vector<std::uint8_t>& echo) {
    std::string got;
    if (echo.empty())
        got = "nothing within the time-out";
    else if (echo.size() < frame.size() && std::equal(echo.begin(), echo.end(), frame.begin()))
        got = "only " + hex_of(echo) + " within the time-out";
    else
        got = hex_of(echo);
    const std::string text = "serial echo: expected " + hex_of(frame) + ", got " + got;
    Ref linkkit = own(PyImport_ImportModule("brel_linkkit.channel"));
    Ref type = getattr(linkkit.get(), BREL_STR("SerialEchoError"));
    Ref message = own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyErr_SetObject(type.get(), message.get());
    raise();
}

// The result of a call's end, or the exception Master raises for it.
Ref result_of(Link& link, const Call& c, const modbus::RtuOutcome& o) {
    PyObject* station = c.station.get();
    switch (o.end) {
        case modbus::RtuEnd::Done:
            break;
        case modbus::RtuEnd::Refused: {
            const auto& pdu = link.queue.answer();
            Ref refusal = BREL_GLOBAL("SlaveException");
            Ref code = rtu::small_int(pdu[0]);
            Ref error = rtu::small_int(o.exception_code);
            Ref exception = call(refusal.get(), station, code.get(), error.get());
            rtu::raise_object(exception.get());
        }
        case modbus::RtuEnd::CrcError:
            rtu::raise_crc_error(station);
        case modbus::RtuEnd::Mismatch:
            rtu::raise_mismatch(station);
        case modbus::RtuEnd::TimedOut:
            rtu::raise_timeout();
        case modbus::RtuEnd::Unanswered:  // a broadcast: a write is done, a read never answered
            if (c.decode != Decode::Confirm) rtu::raise_timeout();
            return rtu::none();
        case modbus::RtuEnd::EchoError:
            raise_echo_error(c.sent.frame, link.queue.echo());
    }
    const auto& pdu = link.queue.answer();  // function code, byte count, data
    Ref result;
    switch (c.decode) {
        case Decode::Confirm:
        case Decode::Replay:
            return rtu::none();
        case Decode::Registers:
            result = own(PyList_New(static_cast<Py_ssize_t>((pdu.size() - 2) / 2)));
            fill_registers(result.get(), pdu.data() + 2);
            switch (c.then) {
                case Call::Then::Registers:
                    break;
                case Call::Then::Signed16: {
                    Ref value = item(result.get(), 0);
                    return rtu::signed16_of(value.get());
                }
                case Call::Then::Join32:
                    return rtu::join32(result.get(), c.sign.get(), c.endian.get());
                case Call::Then::Join32All:
                    return rtu::join32_all(result.get(), c.count.get(), c.sign.get(), c.endian.get());
            }
            break;
        case Decode::Coils: {
            // count is an exact int (entry rule); one beyond a machine word is simply large.
            const long long bits = 8LL * pdu[1];
            int overflow = 0;
            long long wanted = PyLong_AsLongLongAndOverflow(c.count.get(), &overflow);
            if (overflow > 0 || wanted > bits) wanted = bits;
            if (overflow < 0 || wanted < 0) wanted = 0;
            result = own(PyList_New(static_cast<Py_ssize_t>(wanted)));
            fill_bits(result.get(), pdu.data() + 2);
            break;
        }
    }
    if (c.first) return item(result.get(), 0);
    return result;
}

void queue_call(Link& link, Call c, std::vector<std::uint8_t> frame, std::optional<std::size_t> expected,
                std::optional<modbus::AnswerRule> rule, bool open = false);

// A replayed call's answer came: its face runs again over every answer so far, and either
// ends or asks for its next request, which goes in the queue as a call of its own.
Ref replayed(Link& link, Call& c, const modbus::RtuOutcome& o) {
    c.last_unjudged = o.end == modbus::RtuEnd::CrcError && c.sent.open;
    if (o.end == modbus::RtuEnd::Unanswered) {
        c.answers.emplace_back();
    } else if (c.last_unjudged) {
        c.answers.push_back(link.queue.answer_frame());
    } else {
        result_of(link, c, o);  // raises for anything but a sound answer
        c.answers.push_back(link.queue.answer());
    }
    Asked asked;
    Ref result;
    try {
        result = replay(c, asked);
    } catch (const PyError&) {
        c.answers.pop_back();  // asked again, if at all, for a sound answer
        c.last_unjudged = false;
        throw;
    }
    if (result) return result;
    queue_call(link, std::move(c), std::move(asked.frame), asked.expected, asked.rule, asked.open);
    return Ref();
}

// The call of `o` ended: its future settled, or the call dropped when its caller went away.
void settle(Link& link, const modbus::RtuOutcome& o) {
    const auto& frame = link.queue.answer_frame();
    link.last_received =
        frame.empty() ? bytes_of(link.heard.data(), link.heard.size()) : bytes_of(frame.data(), frame.size());
    if (o.end == modbus::RtuEnd::EchoError) link.last_received = rtu::empty_bytes();  // no answer was read
    link.heard.clear();
    auto it = link.calls.find(o.id);
    if (it == link.calls.end()) return;
    Call c = std::move(it->second);
    link.calls.erase(it);
    if (o.abandoned || atcp::done(c.future.get())) return;
    // The trace's record of what came for the request, with how its exchange ended.
    const auto traced = [&](const char* outcome) {
        if (c.trace && c.sent.frame.size() > 1)
            trace_frame(c.trace.get(), "received", link.last_received.get(), c.sent.frame[0], c.sent.frame[1], outcome);
    };
    try {
        Ref result = c.decode == Decode::Replay && o.end != modbus::RtuEnd::Refused ? replayed(link, c, o)
                                                                                    : result_of(link, c, o);
        if (result) {
            traced(o.end == modbus::RtuEnd::Unanswered ? "broadcast" : "answer");
            atcp::resolve(c.future.get(), result.get());
        } else {
            traced("answer");  // the face asks for its next request
        }
    } catch (const PyError&) {
        traced(ending_outcome());
        // Sent again while it has retries left and the failure is worth it (never after a
        // refusal, nor for a broadcast), else its caller gets the exception.
        if (c.retries_left > 0 && o.end != modbus::RtuEnd::Unanswered && worth_retrying()) {
            PyErr_Clear();
            --c.retries_left;
            Asked again = c.sent;
            queue_call(link, std::move(c), std::move(again.frame), again.expected, again.rule, again.open);
            return;
        }
        atcp::fail_with_pending(c.future.get());
    }
}

// ---- sending ----------------------------------------------------------------------------------

void disarm(Link& link) {
    if (!link.timer) return;
    call_method(link.timer.get(), BREL_STR("cancel"));
    link.timer = Ref();
}

void arm_timer(Link& link, double at) {
    if (link.timer && link.timer_at == at) return;
    disarm(link);
    if (!std::isfinite(at)) return;  // no time-out: only the answer ends the call
    Ref delay = own(PyFloat_FromDouble(std::max(0.0, at - now())));
    Ref expire = getattr(link.protocol, BREL_STR("_expire"));
    link.timer = call_method(link.loop.get(), BREL_STR("call_later"), delay.get(), expire.get());
    link.timer_at = at;
}

// Sends what the queue says may go now, opening the connection first when it is not open.
void pump(Link& link) {
    for (;;) {
        const modbus::RtuNext n = link.queue.next(now());
        if (n.what == modbus::RtuNext::Do::Nothing) {
            disarm(link);
            return;
        }
        if (n.what == modbus::RtuNext::Do::Wait) {
            arm_timer(link, n.at);
            return;
        }
        if (!link.transport) {
            disarm(link);
            if (!link.closed) open_line(link);
            return;
        }
        Ref frame = bytes_of(n.frame->data(), n.frame->size());
        try {
            call_method(link.transport.get(), BREL_STR("write"), frame.get());
        } catch (const PyError&) {
            link.queue.unsent(n.id);  // nothing went out
            auto it = link.calls.find(n.id);
            if (it != link.calls.end()) {
                Ref future = it->second.future;
                link.calls.erase(it);
                atcp::fail_with_pending(future.get());
            } else {
                PyErr_Clear();
            }
            continue;
        }
        note_send(n.frame->front() == 0);  // station 0: a broadcast
        if (auto it = link.calls.find(n.id); it != link.calls.end() && it->second.trace)
            trace_frame(it->second.trace.get(), "sent", frame.get(), n.frame->at(0), n.frame->at(1), nullptr);
        link.last_sent = frame;
        link.last_received = tcp::empty_bytes();
        link.heard.clear();
        const bool broadcast = n.frame->front() == 0;
        if (auto o = link.queue.sent(n.id, now(), link.timeout)) {
            if (broadcast) link.queue.line().hold_until(now() + link.broadcast_delay);
            settle(link, *o);
        }
    }
}

// ---- the protocol object: asyncio's calls into the link ------------------------------------

Ref protocol_self(Args& a) { return Ref::borrow(a[0]); }

Ref connection_made(Args& a) {
    Link& link = link_of(a[0]);
    link.transport = Ref::borrow(a[1]);
    return rtu::none();
}

void take(Link& link, PyObject* received) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    Ref data = Ref::borrow(received);
    if (!PyBytes_Check(received)) data = own(PyBytes_FromObject(received));
    check(PyBytes_AsStringAndSize(data.get(), &bytes, &size));
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes);
    // What comes for the call on the line, after its echo.
    const std::size_t echo = std::min(link.queue.echo_left(), static_cast<std::size_t>(size));
    if (link.queue.busy()) link.heard.insert(link.heard.end(), p + echo, p + size);
    if (auto o = link.queue.received(p, static_cast<std::size_t>(size), now())) settle(link, *o);
    pump(link);
}

Ref data_received(Args& a) {
    take(link_of(a[0]), a[1]);
    return rtu::none();
}

// A device's descriptor is readable: what waits is read (without blocking: the port's
// time-out is 0) and taken as data_received takes it.
Ref readable(Args& a) {
    Link& link = link_of(a[0]);
    Ref data;
    try {
        Ref waiting = channel::in_waiting(link.device_port.get());
        Ref size = PyLong_AsLong(waiting.get()) > 0 ? waiting : rtu::small_int(1);
        data = channel::read(link.device_port.get(), size.get());
    } catch (const PyError&) {
        // The device went away (a pyserial port reports it so): it is no longer watched and
        // its channel is closed; the call on the line and the calls that wait fail with
        // ConnectionError. With reconnect on, the next call opens the device again; else
        // the master stays closed.
        PyErr_Clear();
        Ref fd = own(PyLong_FromLong(link.fd));
        call_method(link.loop.get(), BREL_STR("remove_reader"), fd.get());
        if (link.reconnect)
            link.device_gone = true;
        else
            link.closed = true;
        try {
            channel::close(link.device.get());
        } catch (const PyError&) {
            PyErr_Clear();  // a channel whose device is gone may fail to close: it is left all the same
        }
        Ref none = rtu::none();
        call_method(a[0], BREL_STR("connection_lost"), none.get());
        Ref message = atcp::closed_message(link);
        PyErr_SetObject(errors.connection_closed, message.get());
        fail_waiting(link);
        return rtu::none();
    }
    take(link, data.get());
    return rtu::none();
}

Ref eof_received(Args&) { return rtu::none(); }  // the transport closes itself

// The connection is gone: the call on the line fails with ConnectionError (or is dropped
// when abandoned); the calls that wait go out on the next connection.
Ref connection_lost(Args& a) {
    Link& link = link_of(a[0]);
    link.transport = Ref();
    if (auto o = link.queue.lost(now())) {
        link.last_received = bytes_of(link.heard.data(), link.heard.size());
        link.heard.clear();
        auto it = link.calls.find(o->id);
        if (it != link.calls.end()) {
            const Call c = std::move(it->second);
            link.calls.erase(it);
            if (!o->abandoned) {
                Ref message = atcp::closed_message(link);
                PyErr_SetObject(errors.connection_closed, message.get());
                if (c.trace && c.sent.frame.size() > 1)
                    trace_frame(c.trace.get(), "received", link.last_received.get(), c.sent.frame[0], c.sent.frame[1],
                                ending_outcome());
                atcp::fail_with_pending(c.future.get());
            }
        }
    }
    std::vector<Ref> waiters;
    waiters.swap(link.close_waiters);
    for (auto& w : waiters) atcp::resolve(w.get(), Py_None);
    if (!link.reconnect && !link.device && !link.closed) {  // nothing opens the connection again
        link.closed = true;
        Ref message = atcp::closed_message(link);
        PyErr_SetObject(errors.connection_closed, message.get());
        fail_waiting(link);
    }
    pump(link);
    return rtu::none();
}

Ref flow_control(Args&) { return rtu::none(); }

// The connecting task ended: send what waits, or fail it with the task's error.
Ref connected(Args& a) {
    Link& link = link_of(a[0]);
    const atcp::Opened opened = atcp::take_connection(link, a[1]);
    if (opened == atcp::Opened::Failed) fail_waiting(link);
    if (opened == atcp::Opened::Open) pump(link);
    return rtu::none();
}

// The timer: the call on the line ends when its deadline has passed; what may go, goes.
Ref expire(Args& a) {
    Link& link = link_of(a[0]);
    link.timer = Ref();
    if (auto o = link.queue.expire(now())) settle(link, *o);
    pump(link);
    return rtu::none();
}

// A future's done callback: a call cancelled while it waits leaves the queue; one on the
// line stays there, abandoned, until its end.
Ref settled(Args& a) {
    Link& link = link_of(a[0]);
    PyObject* future = a[1];
    if (call_method(future, BREL_STR("cancelled")).get() != Py_True) return rtu::none();
    for (auto it = link.calls.begin(); it != link.calls.end(); ++it) {
        if (it->second.future.get() != future) continue;
        link.queue.cancel(it->first);
        if (!link.queue.queued(it->first)) link.calls.erase(it);
        break;
    }
    pump(link);
    return rtu::none();
}

// The master was freed without close() (its calls keep it while they last): its line is
// closed, a device's descriptor no longer watched and its channel closed, a connection
// closed, and the link lets go of the loop's timer, so that nothing is left holding the link
// once the transport lets go of its protocol object.
Ref master_gone(Args& a) {
    Link& link = link_of(a[0]);
    atcp::quietly([&] { disarm(link); });
    if (link.device) {
        if (link.transport)
            atcp::quietly([&] {
                Ref fd = own(PyLong_FromLong(link.fd));
                call_method(link.loop.get(), BREL_STR("remove_reader"), fd.get());
            });
        atcp::quietly([&] { channel::close(link.device.get()); });
        link.transport = Ref();  // the device's port: closed with its channel
    }
    atcp::let_go(link);
    link.timer = Ref();
    return rtu::none();
}

}  // namespace

namespace {

void queue_call(Link& link, Call c, std::vector<std::uint8_t> frame, std::optional<std::size_t> expected,
                std::optional<modbus::AnswerRule> rule, bool open) {
    c.sent = {frame, expected, rule, open};
    const bool write = frame.size() > 1 && modbus::changes_device(frame[1]);
    const std::uint64_t id = link.queue.submit(std::move(frame), write, expected, rule, open);
    link.calls.emplace(id, std::move(c));
}

}  // namespace

Ref submit(PyObject* self, PyObject* frame, Call c, std::optional<std::size_t> expected,
           std::optional<modbus::AnswerRule> rule, bool open) {
    Link& link = link_of(self);
    Ref sent = rtu::bytes_of(frame);
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(sent.get()));
    std::vector<std::uint8_t> bytes(p, p + PyBytes_GET_SIZE(sent.get()));
    c.future = new_future(link);
    c.master = Ref::borrow(self);
    Ref future = c.future;
    if (atcp::refused_by_closed(link, future.get())) return future;
    const SettingsNow settings = settings_now(self);
    link.reconnect = settings.reconnect;
    if (link.device_gone && !link.closed) {
        try {
            open_device(link);
        } catch (const PyError&) {
            atcp::fail_with_pending(future.get());  // what opening it raised; the next call tries again
            return future;
        }
        link.device_gone = false;
        open_line(link);
    }
    c.retries_left = settings.retries;
    link.queue.set_recovery_delay(settings.recovery_set ? settings.recovery_delay : delay_of_timeout(link));
    if (PyObject* trace = trace_of(existing_settings(self))) c.trace = Ref::borrow(trace);
    Ref callback = getattr(link.protocol, BREL_STR("_settled"));
    call_method(future.get(), BREL_STR("add_done_callback"), callback.get());
    queue_call(link, std::move(c), std::move(bytes), expected, rule, open);
    pump(link);
    return future;
}

}  // namespace artu

void record_async_rtu_link_type(PyObject* type) noexcept { artu::link_type = type; }

const ClassSpec& async_rtu_link_class() {
    using namespace artu;
    static const ClassSpec spec{.name = "_AsyncRTULink",
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
                                    method("_settled", settled, {{"future"}}),
                                    method("_readable", readable),
                                    method("_master_gone", master_gone, {{"reference"}}),
                                }};
    return spec;
}

}  // namespace brel
