// _byte_array, ModbusStatic and SlaveException: the protocol primitives.
#include "modbus/classes.hpp"
#include "modbus/crc16.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <cstring>
#include <string>

namespace brel {
namespace {

// ---- _byte_array ---------------------------------------------------------------

Ref byte_array(Args& a) { return make_byte_array(a[0]); }

// ---- ModbusStatic ----------------------------------------------------------------

Ref split_register(Args& a) { return split_register_of(a[0]); }

Ref compound_register(Args& a) {
    PyObject *high = a[0], *low = a[1];
    if (PyLong_CheckExact(high) && PyLong_CheckExact(low)) {
        int overflow_high = 0, overflow_low = 0;
        const long long h = PyLong_AsLongLongAndOverflow(high, &overflow_high);
        const long long l = PyLong_AsLongLongAndOverflow(low, &overflow_low);
        if (!overflow_high && !overflow_low && h >= -(1LL << 40) && h < (1LL << 40) && l >= -(1LL << 61) &&
            l < (1LL << 61))
            return own(PyLong_FromLongLong(h * 256 + l));
    }
    Ref eight = own(PyLong_FromLong(8));
    Ref shifted = own(PyNumber_Lshift(high, eight.get()));
    return own(PyNumber_Add(shifted.get(), low));
}

Ref calculate_crc(Args& a) { return calculate_crc_of(a[0], a[1], a[2]); }

Ref crc_is_right(Args& a) { return crc_is_right_of(a[0]); }

// ---- SlaveException --------------------------------------------------------------

Ref slave_exception_init(Args& a) {
    PyObject* self = a[0];
    setattr(self, BREL_STR("station"), a[1]);
    Ref mask = own(PyLong_FromLong(0x7F));
    Ref code = own(PyNumber_And(a[2], mask.get()));
    setattr(self, BREL_STR("function_code"), code.get());
    setattr(self, BREL_STR("error_code"), a[3]);
    return Ref::borrow(Py_None);
}

Ref slave_exception_str(Args& a) {
    PyObject* self = a[0];
    Ref station = getattr(self, BREL_STR("station"));
    Ref code = getattr(self, BREL_STR("function_code"));
    Ref error = getattr(self, BREL_STR("error_code"));
    Ref values = own(PyTuple_Pack(3, station.get(), code.get(), error.get()));
    return own(PyUnicode_Format(
        BREL_STR("modbus slave reports an exception. station: %d, function code: %d, error code: %d"), values.get()));
}

}  // namespace

// ---- shared with the masters -------------------------------------------------------

Ref make_byte_array(PyObject* iterable) {
    Ref array_module = global(BREL_STR("array"));
    Ref array_type = getattr(array_module.get(), BREL_STR("array"));
    return call(array_type.get(), BREL_STR("B"), iterable);
}

namespace {

// The interpreter's array module, its array type and a one-byte array("B") to copy
// from; type is null when they cannot be had.
struct RealArray {
    PyObject* module = nullptr;
    PyObject* type = nullptr;
    PyObject* one = nullptr;
};

// Looked up on first use and kept for the process. No C++ static guard around the
// interpreter calls: the interpreter lock serialises callers, and one that finds the
// look-up under way takes the type call instead.
const RealArray& real_array() {
    static RealArray real;
    static bool looked_up = false;
    if (looked_up) return real;
    looked_up = true;
    PyObject* pending = PyErr_GetRaisedException();
    Ref module, type, one;
    if ((module = Ref::steal_or_null(PyImport_ImportModule("array"))) &&
        (type = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "array"))) && PyType_Check(type.get())) {
        Ref zero = Ref::steal_or_null(PyBytes_FromStringAndSize("", 1));
        if (zero) one = Ref::steal_or_null(PyObject_CallFunction(type.get(), "sO", "B", zero.get()));
    }
    PyErr_Clear();
    if (one && Py_TYPE(one.get())->tp_as_sequence && Py_TYPE(one.get())->tp_as_sequence->sq_repeat) {
        real = {module.release(), type.release(), one.release()};
        watch_beside_namespace(PyModule_GetDict(real.module));  // where arrays_are_real() finds the type
    }
    PyErr_SetRaisedException(pending);
    return real;
}

// True when the module's `array` is the interpreter's array module holding its array type.
bool arrays_found_real(const RealArray& real) {
    PyObject* module = PyDict_GetItemWithError(module_namespace, BREL_STR("array"));  // borrowed
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (module != real.module || !Py_IS_TYPE(module, &PyModule_Type)) return false;
    PyObject* type = PyDict_GetItemWithError(PyModule_GetDict(module), BREL_STR("array"));
    if (!type) PyErr_Clear();
    return type == real.type;
}

}  // namespace

// A yes is remembered while the module namespace and the array module's dict are unchanged.
bool arrays_are_real() {
    const RealArray& real = real_array();
    if (!real.type || !module_namespace) return false;
    static NamespaceVerdict found_real;
    return found_real.holds([&] { return arrays_found_real(real); });
}

bool is_real_byte_array(PyObject* obj, ByteView& view) noexcept {
    const RealArray& real = real_array();
    return real.type && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(real.type) && byte_view(obj, view);
}

Ref real_byte_array(const std::uint8_t* data, std::size_t size) {
    const RealArray& real = real_array();
    if (!real.type) {
        Ref bytes = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
        Ref array_module = own(PyImport_ImportModule("array"));
        Ref array_type = getattr(array_module.get(), BREL_STR("array"));
        return call(array_type.get(), BREL_STR("B"), bytes.get());
    }
    // The array type's own repeat makes an array of that size in one allocation; the
    // bytes then go in through its buffer.
    Ref made = own(PySequence_Repeat(real.one, static_cast<Py_ssize_t>(size)));
    if (size == 0) return made;
    Py_buffer buffer;
    check(PyObject_GetBuffer(made.get(), &buffer, PyBUF_WRITABLE));
    std::memcpy(buffer.buf, data, size);
    PyBuffer_Release(&buffer);
    return made;
}

Ref new_byte_array(const std::uint8_t* data, std::size_t size) {
    if (arrays_are_real()) return real_byte_array(data, size);
    Ref bytes = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    return make_byte_array(bytes.get());
}

Ref split_register_of(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) {
            Ref low = own(PyLong_FromLong(static_cast<long>(v & 0xFF)));
            Ref high = own(PyLong_FromLong(static_cast<long>((v >> 8) & 0xFF)));
            return own(PyTuple_Pack(2, high.get(), low.get()));
        }
        PyErr_Clear();
    }
    Ref mask = own(PyLong_FromLong(0xFF));
    Ref eight = own(PyLong_FromLong(8));
    Ref low = own(PyNumber_And(value, mask.get()));
    Ref shifted = own(PyNumber_Rshift(value, eight.get()));
    Ref high = own(PyNumber_And(shifted.get(), mask.get()));
    return own(PyTuple_Pack(2, high.get(), low.get()));
}

Ref crc_pair(long long crc) {
    Ref low = own(PyLong_FromLongLong(crc & 0xFF));
    Ref high = own(PyLong_FromLongLong(crc >> 8));
    return own(PyTuple_Pack(2, low.get(), high.get()));
}

bool byte_view(PyObject* obj, ByteView& view) {
    if (PyBytes_CheckExact(obj)) {
        view = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)), PyBytes_GET_SIZE(obj)};
        return true;
    }
    if (PyByteArray_CheckExact(obj)) {
        view = {reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj)), PyByteArray_GET_SIZE(obj)};
        return true;
    }
    if (std::strcmp(Py_TYPE(obj)->tp_name, "array.array") == 0) {
        Py_buffer buffer;
        if (PyObject_GetBuffer(obj, &buffer, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return false;
        }
        const bool bytes = buffer.itemsize == 1 && buffer.format && std::strcmp(buffer.format, "B") == 0;
        // The array's storage does not move while no Python code runs.
        view = {static_cast<const std::uint8_t*>(buffer.buf), buffer.len};
        PyBuffer_Release(&buffer);
        return bytes;
    }
    return false;
}

namespace {

// A slice bound that is None or exactly an int, as slicing would clip it.
bool slice_bound(PyObject* bound, Py_ssize_t none_value, Py_ssize_t& out) {
    if (bound == Py_None) {
        out = none_value;
        return true;
    }
    if (!PyLong_CheckExact(bound)) return false;
    out = PyNumber_AsSsize_t(bound, nullptr);
    return true;
}

// Fold one interpreter object into the CRC register kept as an object.
Ref fold_object(Ref crc, PyObject* element) {
    Ref one = own(PyLong_FromLong(1));
    Ref poly = own(PyLong_FromLong(0xA001));
    crc = own(PyNumber_InPlaceXor(crc.get(), element));
    for (int bit = 0; bit < 8; ++bit) {
        Ref bit0 = own(PyNumber_And(crc.get(), one.get()));
        crc = own(PyNumber_InPlaceRshift(crc.get(), one.get()));
        if (check(PyObject_IsTrue(bit0.get()))) crc = own(PyNumber_InPlaceXor(crc.get(), poly.get()));
    }
    return crc;
}

// Elements of an arbitrary iterable: machine integers while they fit, interpreter
// objects once one does not, so that every result matches the interpreter's own
// unbounded arithmetic.
Ref crc_of_items(PyObject* items) {
    long long crc = 0xFFFF;
    Ref crc_obj;  // set while the register is held as an object
    Ref it = own(PyObject_GetIter(items));
    while (Ref element = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (!crc_obj && PyLong_CheckExact(element.get())) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(element.get(), &overflow);
            if (!overflow && v > -(1LL << 62) && v < (1LL << 62)) {
                crc = modbus::crc16_fold_wide(crc, v);
                continue;
            }
        }
        if (!crc_obj) crc_obj = own(PyLong_FromLongLong(crc));
        crc_obj = fold_object(std::move(crc_obj), element.get());
        if (PyLong_CheckExact(crc_obj.get())) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(crc_obj.get(), &overflow);
            if (!overflow && v > -(1LL << 62) && v < (1LL << 62)) {
                crc = v;
                crc_obj = nullptr;
            }
        }
    }
    if (PyErr_Occurred()) raise();
    if (!crc_obj) return crc_pair(crc);
    Ref mask = own(PyLong_FromLong(0xFF));
    Ref eight = own(PyLong_FromLong(8));
    Ref low = own(PyNumber_And(crc_obj.get(), mask.get()));
    Ref high = own(PyNumber_Rshift(crc_obj.get(), eight.get()));
    return own(PyTuple_Pack(2, low.get(), high.get()));
}

}  // namespace

Ref calculate_crc_of(PyObject* string, PyObject* beg, PyObject* end) {
    Py_ssize_t start, stop;
    const bool plain_bounds = slice_bound(beg, 0, start) && slice_bound(end, PY_SSIZE_T_MAX, stop);
    ByteView bytes;
    if (plain_bounds && byte_view(string, bytes)) {
        PySlice_AdjustIndices(bytes.size, &start, &stop, 1);
        if (stop < start) stop = start;
        return crc_pair(modbus::crc16(bytes.data + start, static_cast<std::size_t>(stop - start)));
    }
    Ref source = Ref::borrow(string);
    if (PyUnicode_Check(string)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(string);
        if (plain_bounds) {
            // The code points of the selected characters, without the list.
            PySlice_AdjustIndices(n, &start, &stop, 1);
            const int kind = PyUnicode_KIND(string);
            const void* data = PyUnicode_DATA(string);
            long long crc = 0xFFFF;
            for (Py_ssize_t i = start; i < stop; ++i) crc = modbus::crc16_fold_wide(crc, PyUnicode_READ(kind, data, i));
            return crc_pair(crc);
        }
        source = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(source.get(), i,
                            own(PyLong_FromLong(static_cast<long>(PyUnicode_READ_CHAR(string, i)))).release());
    }
    PyMappingMethods* mapping = Py_TYPE(source.get())->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(source.get())->tp_name);
        raise();
    }
    Ref slice = own(PySlice_New(beg, end, Py_None));
    Ref selected = own(mapping->mp_subscript(source.get(), slice.get()));
    return crc_of_items(selected.get());
}

bool calculate_crc_is_ours(PyObject* callable) noexcept { return is_function_with(callable, calculate_crc); }
bool split_register_is_ours(PyObject* callable) noexcept { return is_function_with(callable, split_register); }
bool byte_array_is_ours(PyObject* callable) noexcept { return is_function_with(callable, byte_array); }

Ref crc_is_right_of(PyObject* string) {
    const Py_ssize_t n = check_size(PyObject_Length(string));
    const Py_ssize_t end = n - 2;
    if (end < 0) return Ref::borrow(Py_False);
    Ref cls = global(BREL_STR("ModbusStatic"));
    Ref crc_function = getattr(cls.get(), BREL_STR("calculate_crc"));
    ByteView bytes;
    if (calculate_crc_is_ours(crc_function.get()) && byte_view(string, bytes) && bytes.size == n)
        return Ref::borrow(modbus::crc16_frame_ok(bytes.data, static_cast<std::size_t>(n)) ? Py_True : Py_False);
    Ref zero = own(PyLong_FromLong(0));
    Ref end_obj = own(PyLong_FromSsize_t(end));
    Ref crc = call(crc_function.get(), string, zero.get(), end_obj.get());
    Ref low = item(crc.get(), 0);
    Ref last_but_one = item(string, end);
    Ref verdict = own(PyObject_RichCompare(low.get(), last_but_one.get(), Py_EQ));
    if (!check(PyObject_IsTrue(verdict.get()))) return verdict;
    Ref high = item(crc.get(), 1);
    Ref last = item(string, end + 1);
    return own(PyObject_RichCompare(high.get(), last.get(), Py_EQ));
}

namespace {

Ref decode_values(Args& a) {
    const ValueLayout layout = value_layout(a[1], a[2]);
    const std::vector<std::uint16_t> words = register_words(a[0], layout.registers());
    return decode_words(layout, words.data(), words.size());
}

Ref encode_values(Args& a) {
    const std::vector<std::uint16_t> words = encode_to_words(a[0], a[1], a[2]);
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (std::size_t i = 0; i < words.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), own(PyLong_FromLong(words[i])).release());
    return list;
}

}  // namespace

// ---- answers into results ------------------------------------------------------------------

void fill_registers(PyObject* list, const std::uint8_t* data) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* value = PyLong_FromLong(modbus::get16(data + 2 * i));
        if (!value) raise();
        PyList_SET_ITEM(list, i, value);
    }
}

void fill_bits(PyObject* list, const std::uint8_t* data) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        PyList_SET_ITEM(list, i, Py_NewRef(modbus::coil_bit(data, static_cast<std::size_t>(i)) ? Py_True : Py_False));
}

// ---- member tables ------------------------------------------------------------------

const FunctionSpec& byte_array_function() {
    static const FunctionSpec spec{.name = "_byte_array", .impl = byte_array, .params = {{"iterable", "_Iterable"}}};
    return spec;
}

namespace {

MemberSpec with_doc(MemberSpec member, const char* doc) {
    member.doc = doc;
    return member;
}

const char* const decode_values_doc =
    "The values held by registers, as a format of struct codes describes them (h H i I q Q e f d, Ns).\n\n"
    "order is where each value's bytes sit: 'ABCD' (big-endian), 'CDAB' (word swap), 'BADC' (byte\n"
    "swap) or 'DCBA' (little-endian). Ints come back as int, e f d as float, Ns as bytes.";
const char* const encode_values_doc =
    "The registers that hold values, one item per value of the format (h H i I q Q e f d, Ns).\n\n"
    "order as for decode_values. A string shorter than its field is padded with NUL bytes.";

}  // namespace

const ClassSpec& modbus_static_class() {
    static const ClassSpec spec{
        .name = "ModbusStatic",
        .members = {
            constant("FC_Read_Coils", 1),
            constant("FC_Read_Input_Coils", 2),
            constant("FC_Read_Registers", 3),
            constant("FC_Read_Input_Registers", 4),
            constant("FC_Write_Coil", 5),
            constant("FC_Write_Register", 6),
            constant("FC_Write_Registers", 16),
            constant("Default_Timeout", 1),
            static_method("split_register", split_register, {{"value"}}),
            static_method("compound_register", compound_register, {{"high"}, {"low"}}),
            static_method("calculate_crc", calculate_crc,
                          {{"string"}, {"beg", nullptr, int_default(0)}, {"end", nullptr, none_default}}),
            static_method("crc_is_right", crc_is_right, {{"string"}}),
            with_doc(
                static_method(
                    "decode_values", decode_values,
                    {{"registers", "Sequence[int]"}, {"format", "str"}, {"order", "str", str_default("ABCD")}}, "list"),
                decode_values_doc),
            with_doc(static_method("encode_values", encode_values,
                                   {{"format", "str"},
                                    {"values", "Sequence[int | float | bytes | bytearray]"},
                                    {"order", "str", str_default("ABCD")}},
                                   "list[int]"),
                     encode_values_doc),
            // the sub-functions of diagnostics (code 8), in the standard's words
            constant("DIAG_RETURN_QUERY_DATA", 0x00),
            constant("DIAG_RESTART_COMMUNICATIONS_OPTION", 0x01),
            constant("DIAG_RETURN_DIAGNOSTIC_REGISTER", 0x02),
            constant("DIAG_CHANGE_ASCII_INPUT_DELIMITER", 0x03),
            constant("DIAG_FORCE_LISTEN_ONLY_MODE", 0x04),
            constant("DIAG_CLEAR_COUNTERS_AND_DIAGNOSTIC_REGISTER", 0x0A),
            constant("DIAG_RETURN_BUS_MESSAGE_COUNT", 0x0B),
            constant("DIAG_RETURN_BUS_COMMUNICATION_ERROR_COUNT", 0x0C),
            constant("DIAG_RETURN_BUS_EXCEPTION_ERROR_COUNT", 0x0D),
            constant("DIAG_RETURN_SERVER_MESSAGE_COUNT", 0x0E),
            constant("DIAG_RETURN_SERVER_NO_RESPONSE_COUNT", 0x0F),
            constant("DIAG_RETURN_SERVER_NAK_COUNT", 0x10),
            constant("DIAG_RETURN_SERVER_BUSY_COUNT", 0x11),
            constant("DIAG_RETURN_BUS_CHARACTER_OVERRUN_COUNT", 0x12),
            constant("DIAG_CLEAR_OVERRUN_COUNTER_AND_FLAG", 0x14),
        }};
    return spec;
}

const ClassSpec& slave_exception_class() {
    static const ClassSpec spec{
        .name = "SlaveException",
        .base = "Exception",
        .members = {
            method("__init__", slave_exception_init, {{"station"}, {"function_code"}, {"error_code"}}),
            method("__str__", slave_exception_str),
            alias("__repr__", "__str__"),
        }};
    return spec;
}

// The exception answer of a Modbus TCP slave: a SlaveException (unit identifier,
// function code and exception code of the answer) that is also an AssertionError, the
// kind of error the TCP master raised for it before it said what the slave said.
const ClassSpec& tcp_slave_exception_class() {
    static const ClassSpec spec{
        .name = "TCPSlaveException",
        .base = "SlaveException",
        .second_base = "AssertionError",
        .doc = "A Modbus TCP exception answer: a SlaveException that is also an AssertionError.",
        .members = {}};
    return spec;
}

}  // namespace brel
