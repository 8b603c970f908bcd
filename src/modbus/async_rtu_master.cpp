// AsyncMaster's Python face: the RTU master's data model for asyncio, each member a Future.
//
// Every member checks its arguments and builds its request frame at the call, with the same
// code as Master (the same bytes, and a bad argument raises the same error there, before
// anything is queued), and hands it to the master's link (async_rtu_link.cpp), which sends
// it when the line allows, judges its answer with the same RTU exchange as the synchronous
// master and settles the Future it returns. This file ends with the class's member table.
#include "modbus/async_rtu_link.hpp"
#include "channel/tcp_channel.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/rtu_parts.hpp"

#include <cmath>
#include <string>
#include <string_view>

namespace brel {
namespace artu {

namespace {

// ---- construction -------------------------------------------------------------------------------

// The host and port of `rtu+tcp://host:port` or `socket://host:port` (a pyserial URL's
// options after `?` are left aside); ValueError for any other port.
std::optional<std::pair<Ref, Ref>> serial_server(PyObject* port) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(port, &size);
    if (!text) raise();
    std::string_view url(text, static_cast<std::size_t>(size));
    std::string_view rest;
    bool server = false;
    for (std::string_view scheme : {"rtu+tcp://", "socket://"}) {
        if (url.substr(0, scheme.size()) != scheme) continue;
        rest = url.substr(scheme.size());
        server = true;
    }
    if (!server) return std::nullopt;
    rest = rest.substr(0, rest.find('?'));
    std::string_view host, number;
    if (rest.size() > 1 && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close != std::string_view::npos && rest.substr(close + 1, 1) == ":") {
            host = rest.substr(1, close - 1);
            number = rest.substr(close + 2);
        }
    } else if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        number = rest.substr(colon + 1);
    }
    long value = -1;
    if (!number.empty() && number.size() <= 5 && number.find_first_not_of("0123456789") == std::string_view::npos)
        value = std::stol(std::string(number));
    if (host.empty() || value < 0 || value > 65535) {
        PyErr_Format(PyExc_ValueError,
                     "AsyncMaster reaches its line through a serial server: "
                     "expected \"rtu+tcp://<host>:<port>\" or \"socket://<host>:<port>\", not %R",
                     port);
        raise();
    }
    Ref h = own(PyUnicode_FromStringAndSize(host.data(), static_cast<Py_ssize_t>(host.size())));
    return std::pair<Ref, Ref>{h, rtu::small_int(value)};
}

// A device path: the channel opened as Master opens it (create_serial_instance, looked up in
// the module namespace), with a time-out of 0 so that reads never block; its pyserial port
// must have a descriptor for the loop to watch.
void first_open(Link& link, PyObject* port, PyObject* baudrate, PyObject* kwargs) {
    Ref keywords = own(PyDict_New());
    Ref zero = own(PyFloat_FromDouble(0));
    check(PyDict_SetItem(keywords.get(), BREL_STR("port"), port));
    check(PyDict_SetItem(keywords.get(), BREL_STR("baudrate"), baudrate));
    check(PyDict_SetItem(keywords.get(), BREL_STR("timeout"), zero.get()));
    if (kwargs) check(PyDict_Update(keywords.get(), kwargs));
    link.device_keywords = keywords;
    open_device(link);
}

}  // namespace

void open_device(Link& link) {
    PyObject* port = PyDict_GetItemWithError(link.device_keywords.get(), BREL_STR("port"));
    if (!port) raise();
    Ref factory = global(BREL_STR("create_serial_instance"));
    Ref no_args = own(PyTuple_New(0));
    link.device = own(PyObject_Call(factory.get(), no_args.get(), link.device_keywords.get()));
    Ref gap, quiet;
    if (rtu::attribute(link.device.get(), BREL_STR("broadcast_delay"), quiet))
        link.broadcast_delay = PyFloat_AsDouble(quiet.get());
    if (rtu::attribute(link.device.get(), BREL_STR("silent_interval"), gap))
        link.queue.line().set_silent_interval(PyFloat_AsDouble(gap.get()));
    if (PyErr_Occurred()) raise();
    if (!rtu::attribute(link.device.get(), BREL_STR("port"), link.device_port)) link.device_port = link.device;
    Ref fd;
    if (rtu::attribute(link.device_port.get(), BREL_STR("fileno"), fd))
        fd = Ref::steal_or_null(PyObject_CallNoArgs(fd.get()));
    if (!fd) PyErr_Clear();
    // A transceiver whose direction the channel switches by RTS is the channel's own writing:
    // it holds RTS until the frame has left the line with sleeps, which the loop must not do;
    // here frames go straight to the port (a driver's RS-485 mode switches it by itself). An
    // adapter's echo is read back by the queue: the request's bytes before the answer.
    Ref echo, road;
    if (rtu::attribute(link.device.get(), BREL_STR("rs485_road"), road) && PyUnicode_Check(road.get()) &&
        PyUnicode_CompareWithASCIIString(road.get(), "channel") == 0) {
        channel::close(link.device.get());
        raise(PyExc_ValueError,
              "AsyncMaster does not take rs485 with the channel switching RTS: its frames go straight to the "
              "port (a driver's RS-485 mode is fine)");
    }
    // A byte's time on the line, at most: the silent interval is 3.5 of them (or more).
    if (rtu::attribute(link.device.get(), BREL_STR("echo"), echo) && rtu::truth(echo.get()))
        link.queue.set_echo(link.queue.line().silent_interval() / 3.5);
    if (!fd || !PyLong_Check(fd.get())) {
        channel::close(link.device.get());
        PyErr_Format(PyExc_ValueError, "AsyncMaster needs a port with a file descriptor for the event loop: %R", port);
        raise();
    }
    link.fd = static_cast<int>(PyLong_AsLong(fd.get()));
}

namespace {

Ref init(Args& a) {
    PyObject *self = a[0], *port = a[1], *timeout = a[3];
    // Modbus ASCII is Master's (through an AsciiChannel): here frames are RTU's.
    if (rtu::ascii_framing(a.kwargs.get()))
        raise(PyExc_ValueError, "AsyncMaster speaks RTU: for framing=\"ascii\" use Master");
    const auto server = serial_server(port);
    const double seconds = PyFloat_AsDouble(timeout);
    if (!(seconds > 0)) {
        PyErr_Format(PyExc_ValueError, "timeout must be above 0: %S", timeout);
        raise();
    }
    Link& link = new_link(self);
    link.timeout = seconds;
    if (server) {
        // broadcast_delay as the channel of a serial server takes it; the others mean nothing there.
        PyObject* quiet = a.kwargs ? PyDict_GetItemWithError(a.kwargs.get(), BREL_STR("broadcast_delay")) : nullptr;
        if (!quiet && PyErr_Occurred()) raise();
        Ref kept = quiet ? Ref::borrow(quiet) : [] {
            Ref linkkit = own(PyImport_ImportModule("brel_linkkit.channel"));
            return getattr(linkkit.get(), BREL_STR("BROADCAST_DELAY"));
        }();
        link.broadcast_delay = PyFloat_AsDouble(kept.get());
        if (PyErr_Occurred() || !(link.broadcast_delay >= 0)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "broadcast_delay must be a number of seconds, 0 or more: %R", kept.get());
            raise();
        }
        link.pyserial_url = PyUnicode_Tailmatch(port, BREL_STR("socket://"), 0, PY_SSIZE_T_MAX, -1) == 1;
        link.host = server->first;
        link.port = server->second;
        link.target = own(PyTuple_Pack(2, server->first.get(), server->second.get()));
    } else {
        link.target = Ref::borrow(port);
        first_open(link, port, a[2], a.kwargs.get());
    }
    // As on Master, a call that ended without a sound answer is followed by a line quiet for
    // the time-out; over TCP no silent interval is kept, and an answer of open length ends
    // after kOpenQuiet without a byte (on a device, after the silent interval).
    link.queue.set_recovery_delay(seconds);
    if (server || link.queue.line().silent_interval() <= 0) link.queue.set_open_quiet(kOpenQuiet);
    link.last_sent = rtu::empty_bytes();
    link.last_received = rtu::empty_bytes();
    return rtu::none();
}

// ---- connection members -------------------------------------------------------------------

Ref connect(Args& a) {
    Link& link = link_of(a[0]);
    return atcp::connected_future(link, new_future(link), Py_None);
}

Ref close(Args& a) {
    Link& link = link_of(a[0]);
    Ref future = new_future(link);
    link.closed = true;
    link.shut = true;
    Ref message = atcp::closed_message(link);
    PyErr_SetObject(errors.connection_closed, message.get());
    fail_waiting(link);
    close_line(link, future.get());
    return future;
}

Ref enter(Args& a) {
    Link& link = link_of(a[0]);
    return atcp::connected_future(link, new_future(link), a[0]);
}

Ref exit_block(Args& a) { return close(a); }

// ---- properties ---------------------------------------------------------------------------

// timeout: None while answers are awaited without end (as a pyserial port's None).
Ref get_timeout(Args& a) {
    const Link& link = link_of(a[0]);
    return link.no_timeout ? rtu::none() : own(PyFloat_FromDouble(link.timeout));
}

// The setter checks the value as Master's channel on the same port checks it, with its texts:
// a device's own channel (its time-out set and put back to 0, which keeps its reads from
// blocking), pyserial's for socket://, the TCP channel's for rtu+tcp://. The call on the line
// keeps the deadline it was sent with.
Ref set_timeout(Args& a) {
    Link& link = link_of(a[0]);
    PyObject* value = a[1];
    if (link.device) {
        setattr(link.device.get(), BREL_STR("timeout"), value);
        Ref zero = own(PyFloat_FromDouble(0));
        setattr(link.device.get(), BREL_STR("timeout"), zero.get());
    } else if (link.pyserial_url) {
        Ref serial = own(PyImport_ImportModule("serial"));
        Ref unopened = call_method(serial.get(), BREL_STR("Serial"));
        setattr(unopened.get(), BREL_STR("timeout"), value);
    } else {
        tcp_channel::checked_timeout(value);
    }
    const double seconds = value == Py_None ? HUGE_VAL : PyFloat_AsDouble(value);
    if (PyErr_Occurred()) raise();
    link.timeout = seconds;
    link.no_timeout = value == Py_None;
    return rtu::none();
}

// serial: the channel of a device, as Master's; None for a serial server, whose connection
// is the transport.
Ref get_serial(Args& a) {
    Link& link = link_of(a[0]);
    return link.device ? link.device : rtu::none();
}
Ref get_last_sent(Args& a) { return link_of(a[0]).last_sent; }
Ref get_last_received(Args& a) { return link_of(a[0]).last_received; }
// recovery_delay: as on Master, the time-out while no value was set (or after None).
Ref get_recovery_delay(Args& a) {
    const SettingsNow settings = settings_now(a[0]);
    return own(PyFloat_FromDouble(settings.recovery_set ? settings.recovery_delay : delay_of_timeout(link_of(a[0]))));
}

Ref get_transport(Args& a) {
    Link& link = link_of(a[0]);
    return link.transport ? link.transport : rtu::none();
}

// ---- the operations -------------------------------------------------------------------------

// The whole answer's size when the function code's size rule cannot tell it from the
// answer (a code of no public rule read as registers or coils): `data` bytes after the
// station, code and byte count, and the CRC.
std::optional<std::size_t> open_size(PyObject* code, std::size_t data) {
    std::uint8_t c = 0;
    if (rtu::as_byte(code, c)) {
        const std::uint8_t pdu[1] = {c};
        const auto rule = modbus::answer_size_of(pdu, 1).rule;
        if (rule != modbus::SizeRule::Open && rule != modbus::SizeRule::Nothing) return std::nullopt;
    }
    return 5 + data;
}

// The read of `count` registers or coils at `address` with `code`, as Master sends it.
Ref read_request(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code, Decode decode,
                 bool first) {
    check_field(address, "address", modbus::kMaxAddress);
    check_field(count, "count", modbus::kMaxAddress);
    rtu::Protocol p;
    Ref frame = rtu::two_fields_frame(p, station, code, address, count);
    const std::size_t n = PyLong_AsSize_t(count);
    const bool registers = decode == Decode::Registers;
    Call c;
    c.station = Ref::borrow(station);
    c.count = Ref::borrow(count);
    c.decode = decode;
    c.first = first;
    return submit(self, frame.get(), std::move(c), open_size(code, registers ? 2 * n : (n + 7) / 8),
                  registers ? modbus::AnswerRule::RegisterBytes : modbus::AnswerRule::BitBytes);
}

Ref read_registers_with(Args& a, PyObject* count, PyObject* code, bool first) {
    check_rule(Rule::Int, BREL_STR("func_code"), code);
    return read_request(a[0], a[1], a[2], count, code, Decode::Registers, first);
}

Ref read_registers(Args& a) {
    refuse_writing_code(a[4]);
    return read_registers_with(a, a[3], a[4], false);
}

Ref read_register(Args& a) {
    refuse_writing_code(a[3]);
    Ref one = rtu::small_int(1);
    return read_registers_with(a, one.get(), a[3], true);
}

Ref read_input_registers(Args& a) {
    Ref code = rtu::function_code(BREL_STR("FC_Read_Input_Registers"));
    return read_registers_with(a, a[3], code.get(), false);
}

Ref read_input_register(Args& a) {
    Ref code = rtu::function_code(BREL_STR("FC_Read_Input_Registers"));
    Ref one = rtu::small_int(1);
    return read_registers_with(a, one.get(), code.get(), true);
}

Ref read_coils_with(Args& a, PyObject* count, PyObject* code_name, bool first) {
    check_rule(Rule::Int, BREL_STR("count"), count);
    Ref code = rtu::function_code(code_name);
    check_rule(Rule::Int, BREL_STR("code"), code.get());
    return read_request(a[0], a[1], a[2], count, code.get(), Decode::Coils, first);
}

Ref read_coils(Args& a) { return read_coils_with(a, a[3], BREL_STR("FC_Read_Coils"), false); }
Ref read_input_coils(Args& a) { return read_coils_with(a, a[3], BREL_STR("FC_Read_Input_Coils"), false); }
Ref read_coil(Args& a) {
    Ref one = rtu::small_int(1);
    return read_coils_with(a, one.get(), BREL_STR("FC_Read_Coils"), true);
}

// ---- typed values in registers, as rtu_typed.cpp makes them -------------------------------------

// The read of `count` holding registers, which become what `then` says (Join32All: `values` of them).
Ref read_typed(PyObject* self, PyObject* station, PyObject* address, PyObject* count, Call::Then then,
               PyObject* sign = nullptr, PyObject* endian = nullptr, PyObject* values = nullptr) {
    check_rule(Rule::Int, BREL_STR("station"), station);
    check_rule(Rule::Int, BREL_STR("address"), address);
    Ref code = rtu::function_code(BREL_STR("FC_Read_Registers"));
    check_field(address, "address", modbus::kMaxAddress);
    check_field(count, "count", modbus::kMaxAddress);
    rtu::Protocol p;
    Ref frame = rtu::two_fields_frame(p, station, code.get(), address, count);
    Call c;
    c.station = Ref::borrow(station);
    c.count = Ref::borrow(values ? values : count);
    c.then = then;
    if (sign) c.sign = Ref::borrow(sign);
    if (endian) c.endian = Ref::borrow(endian);
    return submit(self, frame.get(), std::move(c), open_size(code.get(), 2 * PyLong_AsSize_t(count)),
                  modbus::AnswerRule::RegisterBytes);
}

Ref read_int16(Args& a) {
    Ref one = rtu::small_int(1);
    return read_typed(a[0], a[1], a[2], one.get(), Call::Then::Signed16);
}

Ref read_32(Args& a) {
    Ref two = rtu::small_int(2);
    return read_typed(a[0], a[1], a[2], two.get(), Call::Then::Join32, rtu::sign_of(a), a[3]);
}

Ref read_multi_32(Args& a) {
    Ref two = rtu::small_int(2);
    Ref total = own(PyNumber_Multiply(two.get(), a[3]));
    return read_typed(a[0], a[1], a[2], total.get(), Call::Then::Join32All, rtu::sign_of(a), a[4], a[3]);
}

// A write whose answer is its 8-byte echo (codes 5, 6 and 16), judged as Master judges it.
Ref confirmed_write(PyObject* self, PyObject* station, Ref frame) {
    Call c;
    c.station = Ref::borrow(station);
    c.decode = Decode::Confirm;
    return submit(self, frame.get(), std::move(c), 8, modbus::AnswerRule::Echo);
}

Ref write_register(Args& a) {
    check_field(a[2], "address", modbus::kMaxAddress);
    rtu::Protocol p;
    Ref code = p.code(BREL_STR("FC_Write_Register"));
    return confirmed_write(a[0], a[1], rtu::two_fields_frame(p, a[1], code.get(), a[2], a[3]));
}

Ref write_32(Args& a) {
    Ref registers = rtu::split32(a[3], rtu::sign_of(a), a[4]);
    return confirmed_write(a[0], a[1], rtu::write_registers_frame(a[1], a[2], registers.get()));
}

Ref write_multi_32(Args& a) {
    Ref registers = rtu::split32_all(a[3], rtu::sign_of(a), a[4]);
    return confirmed_write(a[0], a[1], rtu::write_registers_frame(a[1], a[2], registers.get()));
}

Ref write_registers(Args& a) { return confirmed_write(a[0], a[1], rtu::write_registers_frame(a[1], a[2], a[3])); }
Ref write_coil(Args& a) { return confirmed_write(a[0], a[1], rtu::write_coil_frame(a[1], a[2], a[3])); }

// ---- codes 7, 8, 11, 12, 15, 17, 20 to 24, 43, raw requests and values: Master's faces, replayed ------

// An exchange for Master's faces: it hands the face the answers that came, in order, and
// when the face asks for one more, keeps its request (`asked`) and stops the face by
// throwing Caught. Run at the call (no answers: the arguments are checked and the first
// request is caught) and again as each answer comes. The answers were judged by the
// queue's exchange already (CRC, station, code, the request's rule); what is left is the
// face's own check, whose failure is Master's mismatch.
class RtuReplay final : public ops::Exchange {
public:
    RtuReplay(const Call& c, Asked& asked)
        : answers_(c.answers),
          station_(PyTuple_GET_ITEM(c.arguments.get(), 1)),
          asked_(asked),
          last_unjudged_(c.last_unjudged) {}

    void confirm(ops::Pdu request, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault) override {
        if (!next()) ask(request, answer_size + 3, rule);
    }
    Ref registers(ops::Pdu request, std::size_t, ops::Fault) override {
        const auto* pdu = next();
        if (!pdu) ask(request, std::nullopt, modbus::AnswerRule::RegisterBytes);
        return registers_of(*pdu);
    }
    void page(ops::Pdu request, const ops::PageReader& read) override {
        const auto* pdu = next();
        if (!pdu) ask(request, std::nullopt, modbus::AnswerRule::Identification);
        if (pdu->empty()) rtu::raise_timeout();  // a broadcast: nothing answers a read
        if (!read(pdu->data(), pdu->size())) rtu::raise_mismatch(station_);
    }
    [[noreturn]] void no_progress(std::uint8_t, std::uint8_t) override { rtu::raise_mismatch(station_); }
    std::vector<std::uint8_t> answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                     ops::Fault) override {
        const bool open = shape.more || shape.size.rule == modbus::SizeRule::Open;
        const bool unjudged = last_unjudged_ && next_ + 1 == answers_.size();
        if (const auto* frame = unjudged ? next() : nullptr) {
            // A whole frame whose CRC failed: Master, reading the length piece by piece, waits
            // for more than came (its time-out) or checks the CRC of the bytes the length covers.
            if ((*frame)[0] != rtu::station_byte(station_) || (*frame)[1] != request.data[0])
                rtu::raise_mismatch(station_);  // Master's check of the first five bytes
            std::vector<std::uint8_t> body(frame->begin() + 1, frame->end());
            const std::size_t length = shape.more ? read_length(shape, body) : body.size() - 2;
            if (length + 3 > frame->size()) rtu::raise_timeout();
            if (length + 3 == frame->size() || !modbus::crc16_frame_ok(frame->data(), length + 3))
                rtu::raise_crc_error(station_);
            body.resize(length);
            if (!check(body.data(), body.size())) rtu::raise_mismatch(station_);
            return body;
        }
        if (const auto* pdu = next()) {
            if (pdu->empty()) return *pdu;  // a broadcast
            // An open answer came whole once the line was quiet: its length as the face reads
            // it must be what came. Master reads it piece by piece: a shorter answer is its
            // time-out, a longer one its CRC error (the bytes after the length taken as the CRC).
            if (open && shape.more) {
                const std::size_t length = read_length(shape, *pdu);
                if (length > pdu->size()) rtu::raise_timeout();
                if (length < pdu->size()) rtu::raise_crc_error(station_);
            }
            if (!check(pdu->data(), pdu->size())) rtu::raise_mismatch(station_);
            return *pdu;
        }
        // The queue's exchange knows the sizes of the public codes; a length given as a number
        // fixes the answer's size; an answer of open length (a length given as a callable, or a
        // code of no public size rule without one) is judged once the line has gone quiet.
        const modbus::AnswerSize standard = modbus::answer_size_of(request.data, request.size);
        std::optional<std::size_t> expected;
        if (shape.size.rule == modbus::SizeRule::Fixed && !shape.more &&
            (standard.rule != modbus::SizeRule::Fixed || standard.fixed != shape.size.fixed))
            expected = shape.size.fixed + 3;
        ask(request, expected, std::nullopt, open);
    }
    std::vector<std::uint16_t> read_words(PyObject* address, std::size_t n, PyObject* func_code) override {
        if (const auto* pdu = next()) {
            Ref registers = registers_of(*pdu);
            return register_words(registers.get(), n);
        }
        Ref count = own(PyLong_FromSize_t(n));
        // As Master's read_registers: the address and count fields before the station.
        check_field(address, "address", modbus::kMaxAddress);
        check_field(count.get(), "count", modbus::kMaxAddress);
        rtu::Protocol p;
        Ref frame = rtu::two_fields_frame(p, station_, func_code, address, count.get());
        ask_frame(frame.get(), std::nullopt, modbus::AnswerRule::RegisterBytes);
    }
    void write_list(PyObject* address, PyObject* registers) override {
        if (next()) return;
        Ref frame = rtu::write_registers_frame(station_, address, registers);
        ask_frame(frame.get(), 8, modbus::AnswerRule::Echo);
    }

private:
    const std::vector<std::uint8_t>* next() { return next_ < answers_.size() ? &answers_[next_++] : nullptr; }

    Ref registers_of(const std::vector<std::uint8_t>& pdu) {
        if (pdu.size() < 2) rtu::raise_timeout();  // a broadcast: nothing answers a read
        Ref values = own(PyList_New(static_cast<Py_ssize_t>((pdu.size() - 2) / 2)));
        fill_registers(values.get(), pdu.data() + 2);
        return values;
    }

    [[noreturn]] void ask(ops::Pdu request, std::optional<std::size_t> expected, std::optional<modbus::AnswerRule> rule,
                          bool open = false) {
        std::uint8_t frame[modbus::kMaxPdu + 3];
        const std::size_t n = modbus::rtu_frame(frame, rtu::station_byte(station_), request.data, request.size);
        asked_ = {std::vector<std::uint8_t>(frame, frame + n), expected, rule, open};
        throw atcp::Caught{};
    }

    // The PDU's length as `shape` reads it from the PDU `pdu` (the face's length callable asked
    // for more bytes after each piece, as Master asks it); beyond the PDU when it wants more
    // than came.
    std::size_t read_length(const ops::AnswerShape& shape, const std::vector<std::uint8_t>& pdu) {
        std::size_t known = 1;
        while (const std::size_t more = shape.more_after(pdu.data(), known)) {
            if (more > modbus::kMaxPdu - known) rtu::raise_mismatch(station_);
            known += more;
            if (known > pdu.size()) break;
        }
        return known;
    }
    [[noreturn]] void ask_frame(PyObject* frame, std::optional<std::size_t> expected,
                                std::optional<modbus::AnswerRule> rule) {
        Ref bytes = rtu::bytes_of(frame);
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
        asked_ = {std::vector<std::uint8_t>(p, p + PyBytes_GET_SIZE(bytes.get())), expected, rule};
        throw atcp::Caught{};
    }

    const std::vector<std::vector<std::uint8_t>>& answers_;
    std::size_t next_ = 0;
    PyObject* station_;
    Asked& asked_;
    bool last_unjudged_;
};

// A face and how many arguments it takes (self first): the member's Args::data.
struct Replayed {
    Face face;
    int arguments;
};

Ref replayed(Args& a) {
    const auto& member = *static_cast<const Replayed*>(a.data);
    Call c;
    c.decode = Decode::Replay;
    c.station = Ref::borrow(a[1]);
    c.face = member.face;
    c.arguments = own(PyTuple_New(member.arguments));
    for (int i = 0; i < member.arguments; ++i) PyTuple_SET_ITEM(c.arguments.get(), i, Py_NewRef(a[i]));
    Asked asked;
    if (replay(c, asked)) raise(PyExc_SystemError, "a replayed face asked for no request");  // checks the arguments
    Ref frame = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(asked.frame.data()),
                                              static_cast<Py_ssize_t>(asked.frame.size())));
    return submit(a[0], frame.get(), std::move(c), asked.expected, asked.rule, asked.open);
}

MemberSpec replayed_member(const char* key, const Replayed& member, std::vector<ParamSpec> params) {
    return with_data(method(key, replayed, std::move(params)), &member);
}

constexpr Replayed kWriteCoils{rtu::write_coils_on, 4};
constexpr Replayed kMaskWriteRegister{rtu::mask_write_register_on, 5};
constexpr Replayed kReadWriteRegisters{rtu::read_write_registers_on, 6};
constexpr Replayed kReadDeviceIdentification{rtu::read_device_identification_on, 4};
constexpr Replayed kReadValues{rtu::read_values_on, 6};
constexpr Replayed kWriteValues{rtu::write_values_on, 6};
constexpr Replayed kReadExceptionStatus{rtu::read_exception_status_on, 2};
constexpr Replayed kDiagnostics{rtu::diagnostics_on, 4};
constexpr Replayed kGetCommEventCounter{rtu::get_comm_event_counter_on, 2};
constexpr Replayed kGetCommEventLog{rtu::get_comm_event_log_on, 2};
constexpr Replayed kReportServerId{rtu::report_server_id_on, 2};
constexpr Replayed kReadFileRecord{rtu::read_file_record_on, 3};
constexpr Replayed kWriteFileRecord{rtu::write_file_record_on, 3};
constexpr Replayed kReadFifoQueue{rtu::read_fifo_queue_on, 3};
constexpr Replayed kExecute{rtu::execute_on, 5};

}  // namespace

Ref replay(Call& c, Asked& asked) {
    Args a;
    const Py_ssize_t n = PyTuple_GET_SIZE(c.arguments.get());
    for (Py_ssize_t i = 0; i < n && i < kMaxParams; ++i) a.v[i] = PyTuple_GET_ITEM(c.arguments.get(), i);
    RtuReplay exchange(c, asked);
    try {
        return c.face(exchange, a);
    } catch (const atcp::Caught&) {
        return Ref();
    }
}

}  // namespace artu

// ---- member table -------------------------------------------------------------------------

const ClassSpec& async_rtu_master_class() {
    using namespace artu;
    static const ClassSpec spec{
        .name = "AsyncMaster",
        .members = {
            {.key = "__init__",
             .kind = Kind::Method,
             .impl = init,
             .params = {{"port", "str"}, {"baudrate", "int"}, {"timeout", "float"}},
             .kwargs = true},
            method("connect", connect),
            method("close", close),
            alias("aclose", "close"),
            method("__aenter__", enter),
            method("__aexit__", exit_block, {{"exc_type"}, {"exc_val"}, {"exc_tb"}}),
            property("transport", get_transport),
            property("last_command_sent", get_last_sent, "bytes"),
            property("last_feedback_received", get_last_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            property("timeout", get_timeout, "float", set_timeout, "float"),
            method("write_register", write_register, {{"station"}, {"address"}, {"value"}}),
            method("write_registers", write_registers, {{"station"}, {"address"}, {"values"}}),
            method("write_coil", write_coil, {{"station"}, {"address"}, {"value"}}),
            method("read_register", read_register,
                   {{"station", "int"},
                    {"address", "int"},
                    {"func_code", "int", global_default("ModbusStatic.FC_Read_Registers")}}),
            method("read_registers", read_registers,
                   {{"station", "int"},
                    {"address", "int"},
                    {"count", "int"},
                    {"func_code", "int", global_default("ModbusStatic.FC_Read_Registers")}}),
            method("read_input_register", read_input_register, {{"station", "int"}, {"address", "int"}}),
            method("read_input_registers", read_input_registers, {{"station"}, {"address", "int"}, {"count", "int"}}),
            method("read_int16", read_int16, {{"station", "int"}, {"address", "int"}}),
            alias("read_uint16", "read_register"),
            alias("write_int16", "write_register"),
            alias("write_uint16", "write_register"),
            rtu::typed("read_uint32", read_32, {}, "I"),
            rtu::typed("read_int32", read_32, {}, "i"),
            rtu::typed("read_float", read_32, {}, "f"),
            rtu::typed("read_multi_uint32", read_multi_32, {{"count", "int"}}, "I"),
            rtu::typed("read_multi_int32", read_multi_32, {{"count", "int"}}, "i"),
            rtu::typed("read_multi_float", read_multi_32, {{"count", "int"}}, "f"),
            rtu::typed("write_int32", write_32, {{"value"}}, "i"),
            rtu::typed("write_uint32", write_32, {{"value"}}, "I"),
            rtu::typed("write_float", write_32, {{"value"}}, "f"),
            rtu::typed("write_multi_int32", write_multi_32, {{"values"}}, "i"),
            rtu::typed("write_multi_uint32", write_multi_32, {{"values"}}, "I"),
            rtu::typed("write_multi_float", write_multi_32, {{"values"}}, "f"),
            method("read_coil", read_coil, {{"station"}, {"address"}}),
            method("read_coils", read_coils, {{"station"}, {"address"}, {"count"}}),
            method("read_input_coils", read_input_coils, {{"station"}, {"address"}, {"count"}}),
            replayed_member("write_coils", kWriteCoils, {{"station", "int"}, {"address", "int"}, {"values"}}),
            replayed_member("mask_write_register", kMaskWriteRegister,
                            {{"station", "int"}, {"address", "int"}, {"and_mask", "int"}, {"or_mask", "int"}}),
            replayed_member("read_write_registers", kReadWriteRegisters,
                            {{"station", "int"},
                             {"read_address", "int"},
                             {"read_count", "int"},
                             {"write_address", "int"},
                             {"values"}}),
            replayed_member(
                "read_device_identification", kReadDeviceIdentification,
                {{"station", "int"}, {"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}}),
            replayed_member("read_values", kReadValues,
                            {{"station", "int"},
                             {"address", "int"},
                             {"format", "str"},
                             {"order", "str", str_default("ABCD")},
                             {"func_code", "int", int_default(3)}}),
            replayed_member("write_values", kWriteValues,
                            {{"station", "int"},
                             {"address", "int"},
                             {"format", "str"},
                             {"values"},
                             {"order", "str", str_default("ABCD")}}),
            retries_member(),
            property("recovery_delay", get_recovery_delay, "float", rtu::master_set_recovery_delay, "float | None"),
            replayed_member("read_exception_status", kReadExceptionStatus, {{"station", "int"}}),
            replayed_member("diagnostics", kDiagnostics,
                            {{"station", "int"}, {"sub_function", "int"}, {"data", "bytes", bytes_default("")}}),
            replayed_member("get_comm_event_counter", kGetCommEventCounter, {{"station", "int"}}),
            replayed_member("get_comm_event_log", kGetCommEventLog, {{"station", "int"}}),
            replayed_member("report_server_id", kReportServerId, {{"station", "int"}}),
            replayed_member("read_file_record", kReadFileRecord, {{"station", "int"}, {"requests"}}),
            replayed_member("write_file_record", kWriteFileRecord, {{"station", "int"}, {"requests"}}),
            replayed_member("read_fifo_queue", kReadFifoQueue, {{"station", "int"}, {"address", "int"}}),
            replayed_member(
                "execute", kExecute,
                {{"station", "int"}, {"function_code", "int"}, {"data", "bytes"}, {"length", nullptr, none_default}}),
            trace_member(),
            property("serial", get_serial),
            reconnect_member(),
        }};
    return spec;
}

}  // namespace brel
