// ModbusTCPMaster's transaction (self.__query): the exchange driven over the socket's stream.
//
// The stream is handled soundly: a request is sent in full even when the socket takes
// it in pieces, an answer is received until its header and then its declared remainder
// have arrived (a short answer is never decoded), and input left over from an earlier
// transaction is dropped before every request, on both roads, so that a late answer or
// stray bytes cannot desynchronise the connection. An answer that comes while the master
// waits for the next one and carries the identifiers of one of the master's recent
// requests (a late answer to a request that timed out, a slave's duplicate of an answer
// already taken) is read whole and dropped (modbus/tcp_exchange.hpp).
#include "modbus/tcp_exchange.hpp"
#include "modbus/tcp_master_shared.hpp"
#include "modbus/traffic.hpp"
#include "modbus/tcp_socket_streams.hpp"
#include "modbus/tls.hpp"
#include "modbus/udp_stream.hpp"
#include "module/attributes.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <optional>

namespace brel::tcp {
namespace {

// The transaction's state is read and written as the interpreter would through the
// instance: on the plain road (the library's own class, which defines none of these names,
// so no descriptor can intercept them) straight in the instance dict, else through the
// attribute protocol (module/attributes.hpp).

using modbus::AnswerBuffer;

const char* chars(const std::uint8_t* p) { return reinterpret_cast<const char*>(p); }

// The answer's identifiers against the request's: bytes 0 to 3 and byte 6.
bool same_ids(const std::uint8_t* head, PyObject* request) {
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 7)
        return modbus::mbap_same_ids(head, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(request)));
    // A request built by a replaced builder: compare as the interpreter would.
    Ref answer_ids = own(PyBytes_FromStringAndSize(chars(head), 4));
    Ref request_ids = own(PySequence_GetSlice(request, 0, 4));
    if (!equal(answer_ids.get(), request_ids.get())) return false;
    Ref answer_unit = make_int(head[6]);
    Ref request_unit = item(request, 6);
    return equal(answer_unit.get(), request_unit.get());
}

// fc_code == request[7].
bool same_code(std::uint8_t code, PyObject* request) {
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 8)
        return static_cast<std::uint8_t>(PyBytes_AS_STRING(request)[7]) == code;
    Ref request_code = item(request, 7);
    Ref answer_code = make_int(code);
    return equal(answer_code.get(), request_code.get());
}

// fc_code == request[7] | 0x80: an exception answer to the request.
bool is_exception_to(std::uint8_t code, PyObject* request) {
    if (code < 0x80) return false;
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 8)
        return (static_cast<std::uint8_t>(PyBytes_AS_STRING(request)[7]) | 0x80) == code;
    Ref request_code = item(request, 7);
    if (!PyLong_Check(request_code.get())) return false;
    const long c = PyLong_AsLong(request_code.get());
    if (c == -1 && PyErr_Occurred()) raise();
    return c >= 0 && c < 0x80 && (c | 0x80) == code;
}

// Sets the exception a stream's status stands for: TimeoutError "timed out", ConnectionError
// naming the peer, OSError from errno, or the one the stream left set.
void set_stream_error(PyObject* self, const StreamStatus& status) {
    switch (status.end) {
        case StreamEnd::TimedOut:
            PyErr_SetString(errors.timeout, "timed out");
            return;
        case StreamEnd::Closed: {
            Ref message = host_message(self, BREL_STR("Connection closed by "));
            PyErr_SetObject(errors.connection_closed, message.get());
            return;
        }
        case StreamEnd::Failed:
            errno = status.error;
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        default:
            return;
    }
}

// The socket layer's own failures, as the family's: its TimeoutError a ModbusTimeoutError and,
// once close() was called, its OSError (a bad file descriptor) a MasterClosedError, each with
// the same arguments, so the same errno and text.
void in_family(bool closed) {
    Ref raised = Ref::steal_or_null(PyErr_GetRaisedException());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
    PyObject* family = type == PyExc_TimeoutError        ? errors.timeout
                       : closed && type == PyExc_OSError ? errors.master_closed
                                                         : nullptr;
    if (family) {
        Ref args = Ref::steal_or_null(PyObject_GetAttrString(raised.get(), "args"));
        Ref same = args ? Ref::steal_or_null(PyObject_Call(family, args.get(), nullptr)) : Ref();
        if (same) {
            Ref traceback = Ref::steal_or_null(PyException_GetTraceback(raised.get()));
            if (traceback) PyException_SetTraceback(same.get(), traceback.get());
            raised = std::move(same);
        } else {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(raised.release());
}

[[noreturn]] void raise_stream(PyObject* self, const StreamStatus& status) {
    set_stream_error(self, status);
    raise();
}

// The comparisons with a request that is not bytes of a whole frame (a replaced builder's),
// made as the interpreter makes them.
class ObjectRequest final : public modbus::RequestJudge {
public:
    explicit ObjectRequest(PyObject* request) : request_(request) {}
    bool same_ids(const std::uint8_t* head) const override { return tcp::same_ids(head, request_); }
    bool same_code(std::uint8_t code) const override { return tcp::same_code(code, request_); }
    bool refused_by(std::uint8_t code) const override { return is_exception_to(code, request_); }

private:
    PyObject* request_;
};

// The master's recent requests, kept in its native state.
struct TcpNative final : Attachment {
    static constexpr std::size_t kSlot = 1;
    modbus::RecentRequests recent;
};

// The length of data an operation asks __query for, for the exchange: none for None, and
// one that never matches for an int beyond 64 bits.
std::optional<long long> needed_length(PyObject* length_needed) {
    if (length_needed == Py_None) return std::nullopt;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(length_needed, &overflow);
    if (overflow) return LLONG_MAX;
    if (n == -1 && PyErr_Occurred()) raise();
    return n;
}

// A new connection to the same peer, with the time-out of the old one, in place of a
// connection that was found closed or broken.
void reopen(PyObject* self) {
    Ref old = getattr(self, k_socket());
    Ref timeout = getattr(old.get(), BREL_STR("timeout"));
    if (Ref closer = Ref::steal_or_null(PyObject_GetAttr(old.get(), BREL_STR("close")))) {
        if (!Ref::steal_or_null(PyObject_CallNoArgs(closer.get()))) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    Ref connect = global(BREL_STR("_tcp_connect"));
    Ref address = getattr(self, k_target_host());
    PyObject* stack[] = {nullptr, address.get(), timeout.get()};
    Ref sock =
        own(PyObject_Vectorcall(connect.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, timeout_keyword()));
    if (const MasterSettings* settings = existing_settings(self); settings && settings->tls) {
        Ref host = item(address.get(), 0);
        sock = tls::handshake(settings->tls.get(), sock.get(), host.get());
    }
    setattr(self, k_socket(), sock.get());
}

// self.<property> (protocol, station). When plain_master() has found the property to be the
// library's own, the attribute behind it is read here as its getter reads it; a value the
// getter's return check would refuse goes through the property, for its error.
Ref property_value(PyObject* self, const DirectAttributes& attributes, bool plain, PyObject* property_name,
                   PyObject* attribute) {
    if (plain) {
        Ref value = attributes.get(attribute);
        if (PyLong_CheckExact(value.get()) || value.get() == Py_None) return value;
    }
    return getattr(self, property_name);
}

// What the trace tells of a request: its unit identifier and function code, and whether it went out.
struct TracedRequest {
    long station = -1;
    long function = -1;
    bool sent = false;
};

Ref query_once(PyObject* self, PyObject* command, PyObject* length_needed, PyObject* trace, TracedRequest& traced) {
    const bool plain = plain_master(self);
    Ref builder = plain ? Ref() : class_member(tcp_master_steps().name(kWholeQueryBuilder));
    const DirectAttributes attributes(self, plain);
    Ref head_checker = attributes.get(k_head_checker());
    Ref protocol = property_value(self, attributes, plain, tcp_master_steps().name(kProtocolProperty), k_protocol());
    Ref station = property_value(self, attributes, plain, tcp_master_steps().name(kStationProperty), k_station());
    const bool ours = plain || is_function_with(builder.get(), construct_whole_query_command);
    Ref query_cmd;
    if (ours && PyLong_CheckExact(head_checker.get()) && PyLong_CheckExact(protocol.get()) &&
        PyLong_CheckExact(station.get())) {
        query_cmd = plain ? build_frame(command, head_checker.get(), protocol.get(), station.get(), true)
                          : whole_query(command, head_checker.get(), protocol.get(), station.get());
    } else {
        if (!builder) builder = class_member(tcp_master_steps().name(kWholeQueryBuilder));
        query_cmd = call(builder.get(), command, head_checker.get(), protocol.get(), station.get());
    }

    Ref next = successor(head_checker.get());
    attributes.set(k_head_checker(), next.get());
    attributes.set(k_last_sent(), query_cmd.get());

    Ref sock = attributes.get(k_socket());
    Ref empty = empty_bytes();
    const bool bytes = PyBytes_CheckExact(query_cmd.get());
    const ObjectRequest judge(query_cmd.get());
    std::optional<modbus::RecentRequests> unkept;  // a master without native state keeps none
    modbus::RecentRequests* recent = nullptr;
    if (TcpNative* native = attached<TcpNative>(self)) recent = &native->recent;
    if (!recent) recent = &unkept.emplace();
    modbus::TcpExchange exchange(*recent);
    exchange.begin(bytes ? reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(query_cmd.get())) : nullptr,
                   bytes ? static_cast<std::size_t>(PyBytes_GET_SIZE(query_cmd.get())) : 0, &judge,
                   needed_length(length_needed));
    AnswerBuffer& answer = exchange.buffer();
    // The stream: datagrams for a ModbusUDPMaster; else the descriptor itself for exactly
    // socket.socket, or the socket object.
    SocketObjectStream general(sock.get());
    std::optional<UdpStream> datagrams;
    if (!plain && datagram_master(self)) datagrams.emplace(sock.get());
#if !defined(_WIN32)
    DescriptorStream direct;
    TcpStream& stream = datagrams                          ? static_cast<TcpStream&>(*datagrams)
                        : bytes && direct.open(sock.get()) ? static_cast<TcpStream&>(direct)
                                                           : general;
#else
    TcpStream& stream = datagrams ? static_cast<TcpStream&>(*datagrams) : general;
#endif
    note_send(false);
    Outgoing outgoing{nullptr, 0, query_cmd.get()};
    if (bytes) {
        outgoing.bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(query_cmd.get()));
        outgoing.size = static_cast<std::size_t>(PyBytes_GET_SIZE(query_cmd.get()));
    }
    if (const StreamStatus sent = stream.send(outgoing); sent.end != StreamEnd::Ok) raise_stream(self, sent);
    if (trace) {
        traced.sent = true;
        if (bytes && outgoing.size >= 8) {
            traced.station = outgoing.bytes[6];
            traced.function = outgoing.bytes[7];
        }
        trace_frame(trace, "sent", query_cmd.get(), traced.station, traced.function, nullptr);
    }
    if (stream.request_out()) attributes.set(k_last_received(), empty.get());  // nothing came for it yet
    // The record shows what came for this request: each piece as it arrives, all that came
    // on a failure (nothing of an answer being skipped), and at the end the answer itself.
    std::size_t recorded = SIZE_MAX;
    auto record = [&](std::size_t n) {
        Ref shown = own(PyBytes_FromStringAndSize(chars(answer.data()), static_cast<Py_ssize_t>(n)));
        attributes.set(k_last_received(), shown.get());
        recorded = n;
    };
    modbus::TcpStep step;
    try {
        while ((step = exchange.step()) == modbus::TcpStep::Want || step == modbus::TcpStep::Skipped) {
            if (step == modbus::TcpStep::Skipped) {
                record(answer.size());
                continue;
            }
            const StreamStatus got = stream.receive(answer, exchange.wanted(), exchange.room());
            if (got.end != StreamEnd::Ok) {
                if (stream.request_out()) {
                    // All that came shows in the record (nothing of an answer being skipped).
                    PyObject* pending = PyErr_GetRaisedException();
                    try {
                        record(exchange.skipping() ? 0 : answer.size());
                    } catch (const PyError&) {
                        PyErr_Clear();
                    }
                    PyErr_SetRaisedException(pending);
                }
                raise_stream(self, got);
            }
            record(answer.size());
        }
    } catch (...) {
        // Its answer may still come: know it when it does.
        if (stream.request_out()) exchange.settle();
        throw;
    }
    exchange.settle();
    if (recorded != exchange.extent()) record(exchange.extent());

    switch (step) {
        case modbus::TcpStep::Done:
            if (!exchange.data_size()) return empty;
            return own(
                PyBytes_FromStringAndSize(chars(exchange.data()), static_cast<Py_ssize_t>(exchange.data_size())));
        default:
            raise_outcome({self}, step, exchange);
    }
}

}  // namespace

// The exception of an exchange that ended without the data (any outcome but Done).
[[noreturn]] void raise_outcome(const Peer& peer, modbus::TcpStep step, const modbus::TcpExchange& exchange) {
    switch (step) {
        case modbus::TcpStep::Refused: {
            // The slave refused: say what it said, as a SlaveException that existing
            // `except AssertionError` handlers still catch.
            Ref exception_class = global(BREL_STR("TCPSlaveException"));
            Ref unit = make_int(exchange.unit());
            Ref code = make_int(exchange.code());
            Ref error = make_int(exchange.refusal());
            Ref exception = call(exception_class.get(), unit.get(), code.get(), error.get());
            raise_object(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        }
        case modbus::TcpStep::IdsMismatch: {
            Ref message = peer.message(BREL_STR("Received data header invalid from "));
            raise_object(family_or(errors.mismatch, builtins.IOError, PyExc_OSError), message.get());
        }
        case modbus::TcpStep::LengthMismatch:
            raise_assertion(BREL_STR("Data length not match with needed"));
        default: {
            Ref message =
                own(PyUnicode_FromFormat("ModbusTCP error code: 0x%x", static_cast<unsigned>(exchange.code())));
            raise_assertion(message.get());
        }
    }
}

namespace {

// The trace's record of what came for a request that went out: the record of the answer
// (last_feedback_received) and the outcome, the pending exception's kind or "answer".
void trace_received(PyObject* self, PyObject* trace, const TracedRequest& traced) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    Ref received = Ref::steal_or_null(PyObject_GetAttr(self, k_last_received()));
    if (!received || !PyBytes_Check(received.get()))
        received = Ref::steal_or_null(PyBytes_FromStringAndSize(nullptr, 0));
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (received) trace_frame(trace, "received", received.get(), traced.station, traced.function, ending_outcome());
}

}  // namespace

Ref query(Args& a) {
    PyObject *self = a[0], *command = a[1], *length_needed = a[2];
    MasterSettings* settings = settings_of(self);
    if (settings && settings->broken && settings->reconnect && !settings->closed) {
        reopen(self);
        settings->broken = false;
    }
    PyObject* trace = trace_of(settings);
    TracedRequest traced;
    try {
        Ref data = query_once(self, command, length_needed, trace, traced);
        if (trace) trace_received(self, trace, traced);
        return data;
    } catch (const PyError&) {
        // A connection found closed or broken is replaced before the next request (not
        // this one: a request is never sent again by the reconnection itself).
        // A datagram socket has no connection to lose; a TLS connection that failed its
        // protocol (garbage from the peer) is as good as broken.
        if (settings && !datagram_master(self) &&
            (PyErr_ExceptionMatches(PyExc_ConnectionError) || (settings->tls && tls::error_pending())))
            settings->broken = true;
        in_family(settings && settings->closed);
        if (trace && traced.sent) trace_received(self, trace, traced);
        throw;
    }
}

}  // namespace brel::tcp
