// FixMaster: a Master and one fixed station.
//
// FixMaster adds no protocol of its own. Its constructor makes a Master (looked up in
// the module namespace when called), and every forwarding method calls the wrapped
// master's method of the same name with the stored station in front of its own
// arguments. All forwarding methods share one body; each row of the member table
// carries, through its data pointer, the name of the method to call, how many
// arguments to pass on and whether the result is returned or dropped.
#include "modbus/classes.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

namespace brel {
namespace {

PyObject* master_key() { return BREL_STR("_FixMaster__master"); }
PyObject* station_key() { return BREL_STR("_FixMaster__station"); }

Ref wrapped(PyObject* self) { return getattr(self, master_key()); }

// ---- construction and state ----------------------------------------------------------

// FixMaster(station, port, baudrate, timeout, **kwargs). The parser has already
// converted timeout and tested station, port and baudrate.
Ref init(Args& a) {
    PyObject* self = a[0];
    Ref master_class = global(BREL_STR("Master"));
    PyObject* stack[] = {nullptr, a[2], a[3], a[4]};
    // a.kwargs is a dict of our own, filled by the parser: the caller's keywords are
    // passed on as a copy.
    PyObject* kwargs = PyDict_GET_SIZE(a.kwargs.get()) ? a.kwargs.get() : nullptr;
    Ref master =
        own(PyObject_VectorcallDict(master_class.get(), stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwargs));
    setattr(self, master_key(), master.get());
    setattr(self, station_key(), a[1]);
    return Ref::borrow(Py_None);
}

Ref get_master(Args& a) { return wrapped(a[0]); }

Ref get_serial(Args& a) { return getattr(wrapped(a[0]).get(), BREL_STR("serial")); }

// The traffic record belongs to the wrapped master; the frame tests the result.
Ref get_last_command_sent(Args& a) { return getattr(wrapped(a[0]).get(), BREL_STR("MessageLastSent")); }

Ref get_last_feedback_received(Args& a) { return getattr(wrapped(a[0]).get(), BREL_STR("MessageLastReceived")); }

Ref get_station(Args& a) { return getattr(a[0], station_key()); }

// value is exactly an int (tested by the parser), so a refused value keeps the old station.
Ref set_station(Args& a) {
    setattr(a[0], station_key(), a[1]);
    return Ref::borrow(Py_None);
}

Ref get_timeout(Args& a) { return getattr(wrapped(a[0]).get(), BREL_STR("timeout")); }

// value arrives converted to a float.
Ref set_timeout(Args& a) {
    setattr(wrapped(a[0]).get(), BREL_STR("timeout"), a[1]);
    return Ref::borrow(Py_None);
}

// A setting of the master (retries, recovery_delay, trace), read and set through it: the
// row's data is the attribute's name.
Ref get_forwarded(Args& a) {
    Ref name = own(PyUnicode_InternFromString(static_cast<const char*>(a.data)));
    return getattr(wrapped(a[0]).get(), name.get());
}

Ref set_forwarded(Args& a) {
    Ref name = own(PyUnicode_InternFromString(static_cast<const char*>(a.data)));
    setattr(wrapped(a[0]).get(), name.get(), a[1]);
    return Ref::borrow(Py_None);
}

MemberSpec forwarded_property(const char* name, const char* returns, const char* setter_annotation) {
    return with_data(property(name, get_forwarded, returns, set_forwarded, setter_annotation), name);
}

// ---- lifecycle -------------------------------------------------------------------------

Ref close(Args& a) {
    call_method(wrapped(a[0]).get(), BREL_STR("close"));
    return Ref::borrow(Py_None);
}

// ---- forwarding ------------------------------------------------------------------------

// What one forwarding member does: master.<method>(station, *args[:count]).
struct Forward {
    const char* method;                      // the wrapped master's method, looked up at each call
    int count;                               // arguments after self, passed on in order
    bool returns;                            // false: the method returns None whatever the master gave
    int code_at = -1;                        // the argument that is a read's function code, if any,
    void (*code_rule)(PyObject*) = nullptr;  // and its check, made before anything is sent
    mutable PyObject* name = nullptr;        // interned method name, made on first call
};

Ref forward(Args& a) {
    const auto& f = *static_cast<const Forward*>(a.data);
    if (!f.name) f.name = intern_forever(f.method);
    PyObject* self = a[0];
    if (f.code_rule) f.code_rule(a[1 + f.code_at]);
    // The station is read at each call, so a change through the setter applies next time.
    Ref station = getattr(self, station_key());
    Ref master = wrapped(self);
    PyObject* stack[2 + kMaxParams] = {nullptr, master.get(), station.get()};
    for (int i = 0; i < f.count; ++i) stack[3 + i] = a[1 + i];
    const std::size_t n = static_cast<std::size_t>(2 + f.count);
    Ref result = own(PyObject_VectorcallMethod(f.name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return f.returns ? result : Ref::borrow(Py_None);
}

// The table rows of the forwarding members, one per method, in class-body order.
const Forward send_write_coil_request{"send_write_coil_request", 2, false};
const Forward send_write_registers_request{"send_write_registers_request", 2, false};
const Forward send_write_register_request{"send_write_register_request", 2, false};
const Forward send_read_coils_request{"send_read_coils_request", 2, false};
const Forward send_read_registers_request{"send_read_registers_request", 3, false, 2, refuse_writing_code};
const Forward write_register{"write_register", 2, false};
const Forward write_registers{"write_registers", 2, false};
const Forward write_coil{"write_coil", 2, false};
const Forward read_register{"read_register", 1, true};
const Forward read_registers{"read_registers", 3, true, 2, refuse_writing_code};
const Forward read_coil{"read_coil", 1, true};
const Forward read_coils{"read_coils", 2, true};
const Forward read_int32{"read_int32", 1, true};
const Forward read_uint32{"read_uint32", 1, true};
const Forward read_float{"read_float", 1, true};
const Forward write_int32{"write_int32", 2, false};
const Forward write_uint32{"write_uint32", 2, false};
const Forward read_int16{"read_int16", 1, true};
const Forward read_uint16{"read_uint16", 1, true};
const Forward write_int16{"write_int16", 2, true};
const Forward write_uint16{"write_uint16", 2, true};
const Forward write_coils{"write_coils", 2, true};
const Forward mask_write_register{"mask_write_register", 3, true};
const Forward read_write_registers{"read_write_registers", 4, true};
const Forward read_device_identification{"read_device_identification", 2, true};
const Forward read_values{"read_values", 4, true};  // the master checks the code, after the format
const Forward write_values{"write_values", 4, true};
const Forward read_exception_status{"read_exception_status", 0, true};
const Forward diagnostics{"diagnostics", 2, true};
const Forward get_comm_event_counter{"get_comm_event_counter", 0, true};
const Forward get_comm_event_log{"get_comm_event_log", 0, true};
const Forward report_server_id{"report_server_id", 0, true};
const Forward read_file_record{"read_file_record", 1, true};
const Forward write_file_record{"write_file_record", 1, false};
const Forward read_fifo_queue{"read_fifo_queue", 1, true};
const Forward execute{"execute", 3, true};

MemberSpec forwarding(const Forward& f, std::vector<ParamSpec> params, const char* doc = nullptr) {
    if (params.size() != static_cast<std::size_t>(f.count))
        raise(PyExc_SystemError, "brel_modbus: forwarding row and parameter table disagree");
    return with_data(method(f.method, forward, std::move(params), nullptr, doc), &f);
}

constexpr ParamSpec address{"address", "int"};
constexpr ParamSpec plain_address{"address"};
constexpr ParamSpec int_value{"value", "int"};
constexpr ParamSpec plain_value{"value"};
constexpr ParamSpec values{"values", "_Sequence"};
constexpr ParamSpec count{"count", "int"};
constexpr ParamSpec func_code{"func_code", "int", global_default("ModbusStatic.FC_Read_Registers")};

const char* const read_registers_doc =
    "\n\t\t根据指定的功能码，从预定的从站读取指定地址指定数量的寄存器值。"
    "\n\t\t:param address: 寄存器地址"
    "\n\t\t:param count: 要读取的寄存器数量"
    "\n\t\t:param func_code: 功能码，默认为读取多个寄存器，3"
    "\n\t\t:return: 多个寄存器值（16位无符号整数）组成的列表"
    "\n\t\t";

}  // namespace

// ---- member table ----------------------------------------------------------------------

const ClassSpec& fix_master_class() {
    static const ClassSpec spec{
        .name = "FixMaster",
        .members = {
            {.key = "__init__",
             .kind = Kind::Method,
             .impl = init,
             .params = {{"station", "int"}, {"port", "str"}, {"baudrate", "int"}, {"timeout", "float"}},
             .kwargs = true},
            property("master", get_master),
            property("serial", get_serial),
            property("last_command_sent", get_last_command_sent, "bytes"),
            property("last_feedback_received", get_last_feedback_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            property("station", get_station, "int", set_station, "int"),
            method("close", close),
            enter_member(),
            exit_member(),
            property("timeout", get_timeout, "float", set_timeout, "float"),
            forwarding(send_write_coil_request, {address, int_value}),
            forwarding(send_write_registers_request, {address, values}),
            forwarding(send_write_register_request, {address, int_value}),
            forwarding(send_read_coils_request, {address, count}),
            forwarding(send_read_registers_request, {address, count, func_code}),
            forwarding(write_register, {address, int_value}),
            forwarding(write_registers, {address, values}),
            forwarding(write_coil, {address, {"value", "bool"}}),
            forwarding(read_register, {address}),
            forwarding(read_registers, {address, count, func_code}, read_registers_doc),
            forwarding(read_coil, {address}),
            forwarding(read_coils, {address, count}),
            forwarding(read_int32, {address}),
            forwarding(read_uint32, {address}),
            forwarding(read_float, {plain_address}),
            forwarding(write_int32, {plain_address, plain_value}),
            forwarding(write_uint32, {plain_address, plain_value}),
            forwarding(read_int16, {plain_address}),
            forwarding(read_uint16, {plain_address}),
            forwarding(write_int16, {plain_address, plain_value}),
            forwarding(write_uint16, {plain_address, plain_value}),
            // ---- beyond the first seven function codes: the Master's members, station fixed
            forwarding(write_coils, {address, {"values"}}),
            forwarding(mask_write_register, {address, {"and_mask", "int"}, {"or_mask", "int"}}),
            forwarding(read_write_registers,
                       {{"read_address", "int"}, {"read_count", "int"}, {"write_address", "int"}, {"values"}}),
            forwarding(read_device_identification,
                       {{"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}}),
            forwarding(read_values, {address,
                                     {"format", "str"},
                                     {"order", "str", str_default("ABCD")},
                                     {"func_code", "int", int_default(3)}}),
            forwarding(write_values, {address, {"format", "str"}, {"values"}, {"order", "str", str_default("ABCD")}}),
            forwarded_property("retries", "int", "int"),
            forwarded_property("recovery_delay", "float", "float | None"),
            // ---- the rest of the public function codes, and raw requests: the Master's, station fixed
            forwarding(read_exception_status, {}),
            forwarding(diagnostics, {{"sub_function", "int"}, {"data", "bytes", bytes_default("")}}),
            forwarding(get_comm_event_counter, {}),
            forwarding(get_comm_event_log, {}),
            forwarding(report_server_id, {}),
            forwarding(read_file_record, {{"requests"}}),
            forwarding(write_file_record, {{"requests"}}),
            forwarding(read_fifo_queue, {address}),
            forwarding(execute, {{"function_code", "int"}, {"data", "bytes"}, {"length", nullptr, none_default}}),
            forwarded_property("trace", "Callable[[TrafficRecord], object] | None",
                               "Callable[[TrafficRecord], object] | None"),
        }};
    return spec;
}

}  // namespace brel
