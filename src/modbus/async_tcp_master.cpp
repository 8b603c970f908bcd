// AsyncModbusTCPMaster's Python face: the TCP master's data model for asyncio, each member a Future.
//
// Every member checks its arguments and builds its request PDU at the call, with the same
// code as ModbusTCPMaster (a bad argument raises there, before anything is queued), and
// hands it to the master's link (async_tcp_link.cpp), which sends it, judges its answer
// with the same exchange and decoders as the synchronous master and settles the Future it
// returns. This file ends with the class's member table.
#include "modbus/async_tcp_link.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/operations.hpp"
#include "modbus/tls.hpp"
#include "modbus/traffic.hpp"

#include <algorithm>
#include <cstring>

namespace brel {
namespace atcp {

// ---- construction -------------------------------------------------------------------------------

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
    PyObject *self = a[0], *host = a[1], *port = a[2], *timeout = a[3], *station = a[4], *in_flight = a[5],
             *ssl_context = a[6];
    tcp::check_station(station);
    check_in_flight(in_flight);
    tls::check_context(ssl_context);
    const double seconds = PyFloat_AsDouble(timeout);
    if (!(seconds > 0)) {
        PyErr_Format(PyExc_ValueError, "timeout must be above 0: %S", timeout);
        raise();
    }
    Link& link = new_link(self);
    link.host = Ref::borrow(host);
    link.port = Ref::borrow(port);
    link.target = own(PyTuple_Pack(2, host, port));
    link.timeout = seconds;
    link.station = PyLong_AsLong(station);
    link.max_in_flight = PyLong_AsLong(in_flight);
    if (ssl_context != Py_None) link.ssl_context = Ref::borrow(ssl_context);
    link.last_sent = tcp::empty_bytes();
    link.last_received = tcp::empty_bytes();
    return none();
}
// ---- connection members -------------------------------------------------------------------

Ref connect(Args& a) {
    Link& link = link_of(a[0]);
    return connected_future(link, new_future(link), Py_None);
}

Ref close(Args& a) {
    Link& link = link_of(a[0]);
    Ref future = new_future(link);
    if (MasterSettings* settings = settings_of(a[0])) settings->closed = true;
    link.closed = true;
    link.shut = true;
    Ref message = closed_message(link);
    PyErr_SetObject(errors.connection_closed, message.get());
    fail_waiting(link);
    if (link.timer) {
        call_method(link.timer.get(), BREL_STR("cancel"));
        link.timer = Ref();
    }
    close_connection(link, future.get());
    return future;
}

// __aenter__: the master itself, once connected.
Ref enter(Args& a) {
    Link& link = link_of(a[0]);
    return connected_future(link, new_future(link), a[0]);
}

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

// The request an operation of operations.cpp makes, caught instead of sent: the operation
// builds it once for both masters, the asyncio master sends it later and judges its
// answer as ModbusTCPMaster's exchange does.
class CaughtRequest final : public ops::Exchange {
public:
    std::unique_ptr<Request> request;

    void confirm(ops::Pdu pdu, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault fault) override {
        request = request_of(pdu.data, pdu.size, Decode::Confirm, static_cast<long long>(answer_size - 1));
        request->rule = rule;
        request->fault = tcp::write_prefix(fault);
    }
    Ref registers(ops::Pdu pdu, std::size_t count, ops::Fault) override {
        request = request_of(pdu.data, pdu.size, Decode::RuleRegisters, static_cast<long long>(1 + 2 * count));
        request->rule = modbus::AnswerRule::RegisterBytes;
        request->fault = "Feedback for reading registers invalid";
        return none();
    }
    Ref bits(ops::Pdu pdu, std::size_t count, ops::Fault) override {
        request = request_of(pdu.data, pdu.size, Decode::RuleBits, static_cast<long long>(1 + (count + 7) / 8));
        request->rule = modbus::AnswerRule::BitBytes;
        request->fault = "Feedback for reading coils invalid";
        request->count = own(PyLong_FromSize_t(count));
        return none();
    }
    // Not caught: code 43/14 is read page by page as the answers come (next_page).
    void page(ops::Pdu, const ops::PageReader&) override { raise(PyExc_SystemError, "pages are not caught"); }
    [[noreturn]] void no_progress(std::uint8_t, std::uint8_t) override {
        raise(PyExc_SystemError, "pages are not caught");
    }
    std::vector<std::uint8_t> answer(ops::Pdu, const ops::AnswerShape&, const ops::AnswerCheck&, ops::Fault) override {
        raise(PyExc_SystemError, "answers of their own shape are not caught");
    }
    std::vector<std::uint16_t> read_words(PyObject*, std::size_t, PyObject*) override { return {}; }
    Ref carried(const ops::Carried& c) override {
        request = request_of(c.command, Decode::Carried, static_cast<long long>(c.needed));
        request->check = c.check;
        request->command = Ref::borrow(c.command);
        request->address = Ref::borrow(c.address);
        request->count = Ref::borrow(c.subject ? c.subject : Py_None);
        return none();
    }
    void write_list(PyObject* address, PyObject* registers) override {
        list_address = Ref::borrow(address);
        list = Ref::borrow(registers);
    }
    Ref list_address, list;
};

// Codes 1 (read_coils, ops::carried_read_bits) and 3 (read_registers, ops::carried_read_registers):
// the request built as ModbusTCPMaster's own builder builds it, carried with the caller's
// arguments.
template <std::uint8_t Code, Ref (*Read)(ops::Exchange&, PyObject*, PyObject*, PyObject*, PyObject*)>
Ref read_carried(PyObject* self, PyObject* address, PyObject* count, bool first) {
    tcp::check_address(address);
    tcp::check_count_field(count);
    Ref pdu = tcp::two_field_pdu(Code, address, count);
    CaughtRequest caught;
    Read(caught, pdu.get(), address, count, nullptr);
    caught.request->first = first;
    return submit(self, std::move(caught.request));
}

constexpr auto read_coils_n = read_carried<modbus::kReadCoils, ops::carried_read_bits>;
constexpr auto read_registers_n = read_carried<modbus::kReadHoldingRegisters, ops::carried_read_registers>;

Ref write_registers_of(PyObject* self, PyObject* address, PyObject* values) {
    tcp::check_address(address);
    Ref pdu = tcp::write_registers_pdu(address, values);
    CaughtRequest caught;
    ops::carried_write_registers(caught, pdu.get(), address, values);
    return submit(self, std::move(caught.request));
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
    CaughtRequest caught;
    ops::carried_write_coil(caught, pdu.get(), address, value);
    return submit(a[0], std::move(caught.request));
}

Ref submit_caught(PyObject* self, CaughtRequest& caught, PyObject* address) {
    caught.request->address = Ref::borrow(address);
    return submit(self, std::move(caught.request));
}

Ref read_input_registers_n(PyObject* self, PyObject* address, PyObject* count, bool first) {
    CaughtRequest caught;
    tcp::read_input_on(caught, address, count, false);
    caught.request->first = first;
    return submit(self, std::move(caught.request));
}

// The two faces of a read of `count` items: the list (read_coils(address, count)) and its
// first item alone (read_coil(address)).
using ReadN = Ref (*)(PyObject* self, PyObject* address, PyObject* count, bool first);

template <ReadN Read>
Ref read_many(Args& a) {
    return Read(a[0], a[1], a[2], false);
}

template <ReadN Read>
Ref read_one(Args& a) {
    Ref one = make_int(1);
    return Read(a[0], a[1], one.get(), true);
}

Ref read_input_coils(Args& a) {
    CaughtRequest caught;
    tcp::read_input_on(caught, a[1], a[2], true);
    return submit(a[0], std::move(caught.request));
}

Ref write_single_register(Args& a) {
    CaughtRequest caught;
    tcp::write_single_register_on(caught, a);
    return submit_caught(a[0], caught, a[1]);
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

// ---- codes 8, 17, 20, 21, 24 and raw requests: the synchronous faces, replayed ----------------------

// A face and how many arguments it takes (self first): the member's Args::data.
struct Replayed {
    Face face;
    int arguments;
};

Ref replayed(Args& a) {
    const auto& member = *static_cast<const Replayed*>(a.data);
    auto r = std::make_unique<Request>();
    r->face = member.face;
    r->arguments = own(PyTuple_New(member.arguments));
    for (int i = 0; i < member.arguments; ++i) PyTuple_SET_ITEM(r->arguments.get(), i, Py_NewRef(a[i]));
    if (replay(*r)) raise(PyExc_SystemError, "a replayed face asked for no answer");  // checks the arguments
    r->decode = Decode::Replay;
    r->write = modbus::changes_device(r->pdu[0]);
    return submit(a[0], std::move(r));
}

MemberSpec replayed_member(const char* key, const Replayed& member, std::vector<ParamSpec> params) {
    return with_data(method(key, replayed, std::move(params)), &member);
}

constexpr Replayed kDiagnostics{tcp::diagnostics_on, 3};
constexpr Replayed kReportServerId{tcp::report_server_id_on, 1};
constexpr Replayed kReadFileRecord{tcp::read_file_record_on, 2};
constexpr Replayed kWriteFileRecord{tcp::write_file_record_on, 2};
constexpr Replayed kReadFifoQueue{tcp::read_fifo_queue_on, 2};
constexpr Replayed kExecute{tcp::execute_on, 4};

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

// The asyncio master's way with a typed member's layout: its request queued.
class QueuedValues final : public tcp::ValueRunner {
public:
    explicit QueuedValues(PyObject* self) : self_(self) {}
    Ref read(PyObject* address, const ValueLayout& layout, PyObject* func_code, bool first) override {
        return read_layout(self_, address, layout, !tcp::int_equals(func_code, modbus::kReadHoldingRegisters), first);
    }
    Ref write(PyObject* address, const ValueLayout& layout, PyObject* values) override {
        return write_layout(self_, address, layout, values);
    }

private:
    PyObject* self_;
};

template <Ref (*Face)(tcp::ValueRunner&, Args&)>
Ref queued_values(Args& a) {
    QueuedValues run(a[0]);
    return Face(run, a);
}

Ref read_int16(Args& a) { return queued_values<tcp::read_int16_on>(a); }
Ref read_32(Args& a) { return queued_values<tcp::read_32_on>(a); }
Ref read_multi_32(Args& a) { return queued_values<tcp::read_multi_32_on>(a); }
Ref write_32(Args& a) { return queued_values<tcp::write_32_on>(a); }
Ref write_multi_32(Args& a) { return queued_values<tcp::write_multi_32_on>(a); }
Ref read_values(Args& a) { return queued_values<tcp::read_values_on>(a); }
Ref write_values(Args& a) { return queued_values<tcp::write_values_on>(a); }

MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code,
                 const char* returns = nullptr) {
    return tcp::typed(key, impl, std::move(middle), code, returns);
}

}  // namespace atcp

// ---- member table -------------------------------------------------------------------------

const ClassSpec& async_tcp_master_class() {
    using namespace atcp;
    static const ClassSpec spec{
        .name = "AsyncModbusTCPMaster",
        .members = {
            method("__init__", init,
                   tcp::target_params(
                       {{.name = "max_in_flight", .annotation = "int", .value = int_default(1), .keyword_only = true},
                        {.name = "ssl_context", .value = none_default, .keyword_only = true}})),
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
            method("read_coils", read_many<read_coils_n>, {{"address", "int"}, {"count", "int"}}),
            method("read_registers", read_many<read_registers_n>, {{"address", "int"}, {"count", "int"}}),
            method("read_register", read_one<read_registers_n>, {{"address", "int"}}),
            method("write_registers", write_registers, {{"address", "int"}, {"values", "list[int]"}}),
            method("write_register", write_register, {{"address", "int"}, {"value", "int"}}),
            method("write_coil", write_coil, {{"address", "int"}, {"value", "bool"}}),
            method("read_input_registers", read_many<read_input_registers_n>, {{"address", "int"}, {"count", "int"}}),
            method("read_input_register", read_one<read_input_registers_n>, {{"address", "int"}}),
            method("read_input_coils", read_input_coils, {{"address", "int"}, {"count", "int"}}),
            method("read_coil", read_one<read_coils_n>, {{"address", "int"}}),
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
            replayed_member("diagnostics", kDiagnostics,
                            {{"sub_function", "int"}, {"data", "bytes", bytes_default("")}}),
            replayed_member("report_server_id", kReportServerId, {}),
            replayed_member("read_file_record", kReadFileRecord, {{"requests"}}),
            replayed_member("write_file_record", kWriteFileRecord, {{"requests"}}),
            replayed_member("read_fifo_queue", kReadFifoQueue, {{"address", "int"}}),
            replayed_member("execute", kExecute,
                            {{"function_code", "int"}, {"data", "bytes"}, {"length", nullptr, none_default}}),
            trace_member(),
        }};
    return spec;
}

}  // namespace brel
