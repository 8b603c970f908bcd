// _byte_array, ModbusStatic and SlaveException: the protocol primitives.
#include "modbus/classes.hpp"
#include "modbus/crc16.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <cstring>

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

// ---- member tables ------------------------------------------------------------------

const FunctionSpec& byte_array_function() {
    static const FunctionSpec spec{.name = "_byte_array", .impl = byte_array, .params = {{"iterable", "_Iterable"}}};
    return spec;
}

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
