// ModbusTCPMaster's Python face: construction, properties, framing, the first operations, the members.
//
// The transaction itself (self.__query) is in tcp_transaction.cpp, the codes beyond the
// first ones and the typed values in tcp_data_model.cpp, the fast paths' guard in
// tcp_late_binding.cpp; this file ends with the class's member table.
#include "modbus/classes.hpp"
#include "modbus/tcp_master_shared.hpp"
#include "modbus/traffic.hpp"
#include "modbus/tls.hpp"

#include <climits>
#include <cstring>
#include <vector>

namespace brel {
namespace tcp {

// ---- construction, properties, context manager ------------------------------------------

PyObject* timeout_keyword() {
    static PyObject* const names = [] {
        PyObject* t = PyTuple_Pack(1, BREL_STR("timeout"));
        if (!t) raise();
        return t;
    }();
    return names;
}

Ref init(Args& a) {
    PyObject *self = a[0], *host = a[1], *port = a[2], *timeout = a[3], *station = a[4], *ssl_context = a[5];
    check_station(station);
    tls::check_context(ssl_context);
    Ref connect = global(BREL_STR("_tcp_connect"));
    Ref address = own(PyTuple_Pack(2, host, port));
    PyObject* stack[] = {nullptr, address.get(), timeout};
    Ref sock =
        own(PyObject_Vectorcall(connect.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, timeout_keyword()));
    if (ssl_context != Py_None) {
        sock = tls::handshake(ssl_context, sock.get(), host);
        MasterSettings* settings = settings_of(self);
        if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
        settings->tls = Ref::borrow(ssl_context);
    }
    init_state(self, sock.get(), host, port, station);
    return none();
}

void init_state(PyObject* self, PyObject* sock, PyObject* host, PyObject* port, PyObject* station) {
    setattr(self, k_socket(), sock);
    setattr(self, k_station(), station);
    setattr(self, k_head_checker(), make_int(1).get());
    setattr(self, k_protocol(), make_int(0).get());
    Ref empty = empty_bytes();
    setattr(self, k_last_sent(), empty.get());
    setattr(self, k_last_received(), empty.get());
    Ref target = own(PyTuple_Pack(2, host, port));
    setattr(self, k_target_host(), target.get());
}

Ref get_socket(Args& a) { return getattr(a[0], k_socket()); }

Ref close_socket(Args& a) {
    if (MasterSettings* settings = settings_of(a[0])) settings->closed = true;  // never reopened
    Ref sock = getattr(a[0], k_socket());
    call_method(sock.get(), BREL_STR("close"));
    return none();
}

Ref get_timeout(Args& a) {
    Ref sock = getattr(a[0], k_socket());
    return getattr(sock.get(), BREL_STR("timeout"));
}

Ref get_station(Args& a) { return getattr(a[0], k_station()); }

Ref set_station(Args& a) {
    check_station(a[1]);
    setattr(a[0], k_station(), a[1]);
    return none();
}

Ref get_last_sent(Args& a) { return getattr(a[0], k_last_sent()); }
Ref get_last_received(Args& a) { return getattr(a[0], k_last_received()); }

Ref get_protocol(Args& a) { return getattr(a[0], k_protocol()); }

// ---- MBAP framing -------------------------------------------------------------------------

// Header and command in one buffer; `command` is exactly bytes, the three fields exact ints.
Ref build_frame(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station, bool with_command) {
    const Py_ssize_t n = PyBytes_GET_SIZE(command);
    const std::uint16_t transaction = low16(head_checker);
    const std::uint16_t proto = low16(protocol);
    const std::uint8_t unit = static_cast<std::uint8_t>(low16(station));
    Ref out = new_bytes(static_cast<Py_ssize_t>(modbus::kMbapSize) + (with_command ? n : 0));
    auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    modbus::mbap_header(p, transaction, proto, static_cast<std::uint16_t>(n + 1), unit);
    if (with_command && n) std::memcpy(p + modbus::kMbapSize, PyBytes_AS_STRING(command), static_cast<std::size_t>(n));
    return out;
}

Ref construct_header(Args& a) { return build_frame(a[0], a[1], a[2], a[3], false); }

// The header from ModbusTCPMaster.construct_header, then the command.
Ref whole_query(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station) {
    Ref header_builder = class_member(tcp_master_steps().name(kHeaderBuilder));
    if (is_function_with(header_builder.get(), construct_header))
        return build_frame(command, head_checker, protocol, station, true);
    Ref header = call(header_builder.get(), command, head_checker, protocol, station);
    return own(PyNumber_Add(header.get(), command));
}

Ref construct_whole_query_command(Args& a) { return whole_query(a[0], a[1], a[2], a[3]); }

// ---- PDUs ---------------------------------------------------------------------------------

Ref two_field_pdu(std::uint8_t code, PyObject* address, PyObject* count) {
    Ref out = new_bytes(modbus::kTcpReadPduSize);
    modbus::tcp_two_fields(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), code, low16(address),
                           low16(count));
    return out;
}

Ref construct_read_registers_command(Args& a) { return two_field_pdu(3, a[0], a[1]); }
Ref construct_read_coils_command(Args& a) { return two_field_pdu(1, a[0], a[1]); }

Ref write_registers_pdu(PyObject* address, PyObject* values) {
    const Py_ssize_t n = PyList_GET_SIZE(values);
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) plain = PyLong_CheckExact(PyList_GET_ITEM(values, i));
    if (plain) {
        if (n > static_cast<Py_ssize_t>(modbus::kTcpMaxWriteRegisters))
            raise(PyExc_ValueError, "bytes must be in range(0, 256)");
        Ref out = new_bytes(6 + 2 * n);
        auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        modbus::tcp_write_registers_head(p, 0x10, low16(address), static_cast<std::size_t>(n));
        // low16 runs no interpreter code, so the list cannot change under the loop.
        for (Py_ssize_t i = 0; i < n; ++i) modbus::put16(p + 6 + 2 * i, low16(PyList_GET_ITEM(values, i)));
        return out;
    }
    // Elements of other types: (v >> 8) & 0xFF and v & 0xFF as the interpreter computes
    // them, then the bytes constructor, with their errors.
    const std::uint16_t addr = low16(address);
    Ref items = own(PyList_New(0));
    const long head[] = {0x10,
                         addr >> 8,
                         addr & 0xFF,
                         static_cast<long>((n >> 8) & 0xFF),
                         static_cast<long>(n & 0xFF),
                         static_cast<long>(2 * n)};
    for (long v : head) check(PyList_Append(items.get(), make_int(v).get()));
    Ref eight = make_int(8);
    Ref mask = make_int(0xFF);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
        Ref value = Ref::borrow(PyList_GET_ITEM(values, i));
        Ref shifted = own(PyNumber_Rshift(value.get(), eight.get()));
        Ref high = own(PyNumber_And(shifted.get(), mask.get()));
        check(PyList_Append(items.get(), high.get()));
        Ref low = own(PyNumber_And(value.get(), mask.get()));
        check(PyList_Append(items.get(), low.get()));
    }
    return own(PyBytes_FromObject(items.get()));
}

Ref construct_write_registers_command(Args& a) { return write_registers_pdu(a[0], a[1]); }

Ref write_coil_pdu(PyObject* address, PyObject* value) {
    const std::uint16_t addr = low16(address);
    const bool on = check(PyObject_IsTrue(value)) != 0;
    Ref out = new_bytes(modbus::kTcpCoilPduSize);
    modbus::tcp_write_coil(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), 0x05, addr, on);
    return out;
}

Ref construct_write_coil_command(Args& a) { return write_coil_pdu(a[0], a[1]); }

// ModbusTCPMaster.<builder step>(first, second) looked up now; our own builder runs in C++
// (the operation's entry rules for these arguments are the builder's own).
template <class Build>
Ref command_from(PyObject* self, TcpMasterStep step, Build build, PyObject* first, PyObject* second) {
    if (plain_master(self)) return build(first, second);
    StepTable& steps = tcp_master_steps();
    Ref builder = class_member(steps.name(step));
    if (is_function_with(builder.get(), steps.impl(step))) return build(first, second);
    return call(builder.get(), first, second);
}

// ---- operations -----------------------------------------------------------------------------

// feedback[0] == value, as the interpreter compares (IndexError on an empty answer).
bool first_byte_is(PyObject* feedback, long value) {
    if (PyBytes_CheckExact(feedback) && PyBytes_GET_SIZE(feedback) > 0)
        return static_cast<std::uint8_t>(PyBytes_AS_STRING(feedback)[0]) == value;
    Ref first = item(feedback, 0);
    Ref expected = make_int(value);
    return equal(first.get(), expected.get());
}

// count as a list size to stop at; -1 when no list can reach it (count <= 0 or huge).
Py_ssize_t coil_target(PyObject* count) {
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow || c <= 0 || c > PY_SSIZE_T_MAX) return -1;
    return static_cast<Py_ssize_t>(c);
}

Ref read_coils(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    check_count_field(count);
    Ref command = command_from(
        self, kReadCoilsBuilder, [](PyObject* x, PyObject* y) { return two_field_pdu(1, x, y); }, address, count);
    TcpMasterExchange ex(self, address);
    return ops::carried_read_bits(ex, command.get(), address, count);
}

// Code 1: feedback[0] == the byte count, then the bits, count of them at most.
Ref coils_answer(PyObject* feedback_object, long byte_count, PyObject* count) {
    Ref feedback = Ref::borrow(feedback_object);
    Ref one = make_int(1);
    if (!first_byte_is(feedback.get(), byte_count)) raise_assertion(BREL_STR("Feedback for reading coils invalid"));

    const Py_ssize_t target = coil_target(count);
    if (PyBytes_CheckExact(feedback.get())) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback.get()));
        const Py_ssize_t bits = PyBytes_GET_SIZE(feedback.get()) > 1 ? 8 * (PyBytes_GET_SIZE(feedback.get()) - 1) : 0;
        const Py_ssize_t size = target >= 0 && target < bits ? target : bits;
        Ref result = own(PyList_New(size));
        fill_bits(result.get(), p + 1);
        return result;
    }
    // An answer of another type from a replaced query: decode item by item.
    Ref result = own(PyList_New(0));
    Ref rest = own(PySequence_GetSlice(feedback.get(), 1, PY_SSIZE_T_MAX));
    Ref it = own(PyObject_GetIter(rest.get()));
    while (Ref byte = Ref::steal_or_null(PyIter_Next(it.get()))) {
        for (int bit = 0; bit < 8; ++bit) {
            Ref shift = make_int(bit);
            Ref shifted = own(PyNumber_Rshift(byte.get(), shift.get()));
            Ref masked = own(PyNumber_And(shifted.get(), one.get()));
            check(PyList_Append(result.get(), check(PyObject_IsTrue(masked.get())) ? Py_True : Py_False));
            if (PyList_GET_SIZE(result.get()) == target) return result;
        }
    }
    if (PyErr_Occurred()) raise();
    return result;
}

Ref read_registers(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    check_count_field(count);
    Ref command = command_from(
        self, kReadRegistersBuilder, [](PyObject* x, PyObject* y) { return two_field_pdu(3, x, y); }, address, count);
    TcpMasterExchange ex(self, address);
    return ops::carried_read_registers(ex, command.get(), address, count);
}

// Code 3: feedback[0] == the byte count, then byte_count / 2 registers (IndexError when fewer came).
Ref registers_answer(PyObject* feedback_object, long byte_count) {
    Ref feedback = Ref::borrow(feedback_object);
    if (!first_byte_is(feedback.get(), byte_count)) raise_assertion(BREL_STR("Feedback for reading registers invalid"));

    const Py_ssize_t wanted = byte_count / 2;
    if (wanted == 0) return own(PyList_New(0));

    if (PyBytes_CheckExact(feedback.get())) {
        const Py_ssize_t available = PyBytes_GET_SIZE(feedback.get()) - 1;
        if (2 * wanted > available) raise(PyExc_IndexError, "index out of range");
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback.get())) + 1;
        Ref result = own(PyList_New(wanted));
        fill_registers(result.get(), p);
        return result;
    }
    Ref data = own(PySequence_GetSlice(feedback.get(), 1, PY_SSIZE_T_MAX));
    Ref eight = make_int(8);
    Ref result = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        Ref high = item(data.get(), 2 * i);
        Ref low = item(data.get(), 2 * i + 1);
        Ref shifted = own(PyNumber_Lshift(high.get(), eight.get()));
        Ref value = own(PyNumber_Or(shifted.get(), low.get()));
        check(PyList_Append(result.get(), value.get()));
    }
    return result;
}

// The first value of self.<reader>(address, 1): the members that read one value.
Ref read_one(Args& a, PyObject* reader) {
    check_address(a[1]);
    Ref one = make_int(1);
    Ref values = call_method(a[0], reader, a[1], one.get());
    return item(values.get(), 0);
}

Ref read_register(Args& a) { return read_one(a, BREL_STR("read_registers")); }

// (feedback[i] << 8) | feedback[i + 1].
Ref echo_word(PyObject* feedback, Py_ssize_t i) {
    if (PyBytes_CheckExact(feedback)) {
        if (PyBytes_GET_SIZE(feedback) < i + 2) raise(PyExc_IndexError, "index out of range");
        return make_int(modbus::get16(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback)) + i));
    }
    Ref high = item(feedback, i);
    Ref low = item(feedback, i + 1);
    Ref eight = make_int(8);
    Ref shifted = own(PyNumber_Lshift(high.get(), eight.get()));
    return own(PyNumber_Or(shifted.get(), low.get()));
}

Ref write_registers(Args& a) {
    PyObject *self = a[0], *address = a[1], *values = a[2];
    check_address(address);
    Ref command = command_from(self, kWriteRegistersBuilder, write_registers_pdu, address, values);
    TcpMasterExchange ex(self, address);
    ops::carried_write_registers(ex, command.get(), address, values);
    return none();
}

// Code 16: the echoed address == the caller's address and the echoed quantity == len(values).
void check_registers_echo(const Peer& peer, PyObject* feedback, PyObject* address, PyObject* values) {
    Ref fb_address = echo_word(feedback, 0);
    Ref fb_count = echo_word(feedback, 2);
    bool ok = equal(fb_address.get(), address);
    if (ok) {
        Ref n = own(PyLong_FromSsize_t(check_size(PyObject_Length(values))));
        ok = equal(fb_count.get(), n.get());
    }
    if (!ok) {
        Ref message = peer.message(BREL_STR("Write registers to "), BREL_STR(" failed."));
        raise_assertion(message.get());
    }
}

Ref write_register(Args& a) {
    check_address(a[1]);
    Ref values = own(PyList_New(1));
    PyList_SET_ITEM(values.get(), 0, Py_NewRef(a[2]));
    call_method(a[0], BREL_STR("write_registers"), a[1], values.get());
    return none();
}

Ref write_coil(Args& a) {
    PyObject *self = a[0], *address = a[1], *value = a[2];
    check_address(address);
    Ref command = command_from(self, kWriteCoilBuilder, write_coil_pdu, address, value);
    TcpMasterExchange ex(self, address);
    ops::carried_write_coil(ex, command.get(), address, value);
    return none();
}

// Code 5: the echoed address == the caller's address and the echoed state == the command's.
void check_coil_echo(const Peer& peer, PyObject* feedback, PyObject* command, PyObject* address) {
    Ref fb_address = echo_word(feedback, 0);
    bool success = equal(fb_address.get(), address);
    for (Py_ssize_t i = 2; success && i < 4; ++i) {
        Ref answer_byte = item(feedback, i);
        Ref command_byte = item(command, i + 1);
        success = equal(answer_byte.get(), command_byte.get());
    }
    if (!success) {
        Ref number = own(PyObject_Str(address));
        Ref prefix = own(PyUnicode_FromFormat("Write coil address [%U] to ", number.get()));
        Ref message = peer.message(prefix.get(), BREL_STR(" failed."));
        raise_assertion(message.get());
    }
}

Ref judge_carried(const Peer& peer, const ops::Carried& request, PyObject* feedback) {
    const long byte_count = static_cast<long>(request.needed) - 1;
    switch (request.check) {
        case ops::CarriedCheck::BitBytes:
            return coils_answer(feedback, byte_count, request.subject);
        case ops::CarriedCheck::RegisterBytes:
            return registers_answer(feedback, byte_count);
        case ops::CarriedCheck::RegistersEcho:
            check_registers_echo(peer, feedback, request.address, request.subject);
            break;
        case ops::CarriedCheck::CoilEcho:
            check_coil_echo(peer, feedback, request.command, request.address);
            break;
        case ops::CarriedCheck::RegisterEcho:
            raise(PyExc_SystemError, "code 6 is not carried over TCP");
    }
    return none();
}

constexpr const char* kQueryDoc =
    "\n\t\t此函数根据提供的 command 构建出完整的查询报文。"
    "\n\t\t发送查询报文后接收应答报文，此函数执行基本的报文检验，确保收到的报文符合要求。"
    "\n\t\t函数只把有用的数据报文返回给调用者。"
    "\n\t\t";

}  // namespace tcp

using namespace tcp;

// ---- member table -------------------------------------------------------------------------

const ClassSpec& tcp_master_class() {
    static const ClassSpec spec{
        .name = "ModbusTCPMaster",
        .doc = "Modbus 主站控制端，也叫客户端。",
        .members = {
            // ssl_context after the documented parameters, without an annotation so that the
            // documented annotations stay as they are
            method("__init__", init, target_params({{"ssl_context", nullptr, none_default}})),
            property("socket", get_socket),
            method("close", locked<close_socket>),
            enter_member(),
            exit_member(),
            property("timeout", get_timeout),
            property("station", get_station, "int", set_station, "int"),
            property("last_command_sent", get_last_sent, "bytes"),
            property("last_feedback_received", get_last_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            property("protocol", get_protocol, "int"),
            static_method("construct_header", construct_header,
                          {{"command", "bytes"},
                           {"head_checker", "int"},
                           {"protocol", "int", int_default(0)},
                           {"station", "int", int_default(1)}}),
            static_method("construct_whole_query_command", construct_whole_query_command,
                          {{"command", "bytes"},
                           {"head_checker", "int"},
                           {"protocol", "int", int_default(0)},
                           {"station", "int", int_default(1)}}),
            method("_ModbusTCPMaster__query", locked<query>,
                   {{"command", "bytes"}, {"length_needed", "_Optional[int]", none_default}}, "bytes", kQueryDoc),
            static_method("construct_read_registers_command", construct_read_registers_command,
                          {{"address", "int"}, {"count", "int"}}),
            static_method("construct_read_coils_command", construct_read_coils_command,
                          {{"address", "int"}, {"count", "int"}}),
            method("read_coils", retried<read_coils>, {{"address", "int"}, {"count", "int"}}, "_List[bool]"),
            method("read_registers", retried<read_registers>, {{"address", "int"}, {"count", "int"}}, "_List[int]"),
            method("read_register", read_register, {{"address", "int"}}, "int"),
            static_method("construct_write_registers_command", construct_write_registers_command,
                          {{"address", "int"}, {"values", "_List[int]"}}),
            method("write_registers", retried<write_registers>, {{"address", "int"}, {"values", "_List[int]"}}),
            method("write_register", write_register, {{"address", "int"}, {"value", "int"}}),
            static_method("construct_write_coil_command", construct_write_coil_command,
                          {{"address", "int"}, {"value", "bool"}}),
            method("write_coil", retried<write_coil>, {{"address", "int"}, {"value", "bool"}}),
            method("read_input_registers", retried<read_input_registers>, {{"address", "int"}, {"count", "int"}},
                   "list[int]"),
            method("read_input_register", read_input_register, {{"address", "int"}}, "int"),
            method("read_input_coils", retried<read_input_coils>, {{"address", "int"}, {"count", "int"}}, "list[bool]"),
            method("read_coil", read_coil, {{"address", "int"}}, "bool"),
            method("write_single_register", retried<write_single_register>, {{"address", "int"}, {"value", "int"}}),
            method("read_int16", read_int16, {{"address", "int"}}, "int"),
            alias("read_uint16", "read_register"),
            alias("write_int16", "write_register"),
            alias("write_uint16", "write_register"),
            typed("read_uint32", read_32, {}, "I", "int"),
            typed("read_int32", read_32, {}, "i", "int"),
            typed("read_float", read_32, {}, "f", "float"),
            typed("read_multi_uint32", read_multi_32, {{"count", "int"}}, "I", "list[int]"),
            typed("read_multi_int32", read_multi_32, {{"count", "int"}}, "i", "list[int]"),
            typed("read_multi_float", read_multi_32, {{"count", "int"}}, "f", "list[float]"),
            typed("write_int32", write_32, {{"value"}}, "i"),
            typed("write_uint32", write_32, {{"value"}}, "I"),
            typed("write_float", write_32, {{"value"}}, "f"),
            typed("write_multi_int32", write_multi_32, {{"values"}}, "i"),
            typed("write_multi_uint32", write_multi_32, {{"values"}}, "I"),
            typed("write_multi_float", write_multi_32, {{"values"}}, "f"),
            method("write_coils", retried<write_coils>, {{"address", "int"}, {"values"}}),
            method("mask_write_register", retried<mask_write_register>,
                   {{"address", "int"}, {"and_mask", "int"}, {"or_mask", "int"}}),
            method("read_write_registers", retried<read_write_registers>,
                   {{"read_address", "int"}, {"read_count", "int"}, {"write_address", "int"}, {"values", "list[int]"}},
                   "list[int]"),
            method("read_device_identification", retried<read_device_identification>,
                   {{"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}}, "dict[int, bytes]"),
            method("read_values", read_values,
                   {{"address", "int"},
                    {"format", "str"},
                    {"order", "str", str_default("ABCD")},
                    {"func_code", "int", int_default(3)}},
                   "list"),
            method("write_values", write_values,
                   {{"address", "int"}, {"format", "str"}, {"values"}, {"order", "str", str_default("ABCD")}}),
            retries_member(),
            reconnect_member(),
            // ---- the rest of the public function codes that Modbus TCP carries, and raw requests
            method("diagnostics", retried<diagnostics>, {{"sub_function", "int"}, {"data", "bytes", bytes_default("")}},
                   "bytes"),
            method("report_server_id", retried<report_server_id>, {}, "bytes"),
            method("read_file_record", retried<read_file_record>, {{"requests"}}, "list[list[int]]"),
            method("write_file_record", retried<write_file_record>, {{"requests"}}, "None"),
            method("read_fifo_queue", retried<read_fifo_queue>, {{"address", "int"}}, "list[int]"),
            method("execute", retried<execute>,
                   {{"function_code", "int"}, {"data", "bytes"}, {"length", nullptr, none_default}}, "bytes"),
            trace_member(),
        }};
    return spec;
}

}  // namespace brel
