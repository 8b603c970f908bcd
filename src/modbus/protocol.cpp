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

// ---- typed values ---------------------------------------------------------------------

namespace {

// "1 register", "2 registers".
const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

[[noreturn]] void raise_format_fault(const modbus::FormatCheck& check, PyObject* format, modbus::ByteOrder order) {
    using modbus::FormatFault;
    const std::size_t at = check.position;
    switch (check.fault) {
        case FormatFault::Empty:
            raise(PyExc_ValueError, "format: no values");
        case FormatFault::UnknownCode:
        case FormatFault::OrderPrefix: {
            // the character as the caller wrote it (the parser sees one byte per character)
            Ref character =
                own(PyUnicode_Substring(format, static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(at) + 1));
            if (check.fault == FormatFault::UnknownCode)
                PyErr_Format(PyExc_ValueError, "format: unknown code %R at position %zu", character.get(), at);
            else
                PyErr_Format(PyExc_ValueError, "format: %R at position %zu: the byte order goes in the order argument",
                             character.get(), at);
            raise();
        }
        case FormatFault::CountWithoutCode:
            PyErr_Format(PyExc_ValueError, "format: the count at position %zu has no code after it", at);
            raise();
        case FormatFault::ZeroCount:
            PyErr_Format(PyExc_ValueError, "format: the count at position %zu is 0", at);
            raise();
        case FormatFault::TooLarge:
            PyErr_Format(PyExc_ValueError, "format: more than %zu registers", modbus::kMaxFormatRegisters);
            raise();
        case FormatFault::OddSize:
            PyErr_Format(PyExc_ValueError, "format: %zu bytes is not a whole number of registers", check.bytes);
            raise();
        case FormatFault::Misaligned:
            PyErr_Format(PyExc_ValueError,
                         "format: the '%c' value at byte %zu does not start on a register, as order '%s' needs",
                         check.code, at, modbus::byte_order_name(order));
            raise();
        case FormatFault::None:
            break;
    }
    raise(PyExc_SystemError, "brel_modbus: format fault without a cause");
}

modbus::Format parse_format_object(PyObject* format) {
    if (!PyUnicode_Check(format)) raise_arg_type("format", "str", format);
    modbus::Format parsed;
    modbus::FormatCheck check;
    if (PyUnicode_IS_ASCII(format)) {
        check = modbus::parse_format({PyUnicode_AsUTF8(format), static_cast<std::size_t>(PyUnicode_GET_LENGTH(format))},
                                     parsed);
    } else {
        // One byte per character, so that positions count characters: anything beyond
        // ASCII becomes a byte that is no code.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(format);
        std::string text(static_cast<std::size_t>(n), '\x80');
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(format, i);
            if (c < 0x80) text[static_cast<std::size_t>(i)] = static_cast<char>(c);
        }
        check = modbus::parse_format(text, parsed);
    }
    if (!check.ok()) raise_format_fault(check, format, modbus::ByteOrder::ABCD);
    return parsed;
}

// An int object for a value or a register: ints as they are, other objects through
// __index__; nullptr (no error set) for objects that have no __index__.
Ref as_index(PyObject* v) {
    if (PyLong_CheckExact(v)) return Ref::borrow(v);
    if (!PyIndex_Check(v)) return nullptr;
    return own(PyNumber_Index(v));
}

}  // namespace

std::vector<std::uint16_t> register_words(PyObject* registers, std::size_t expected) {
    if (!Py_TYPE(registers)->tp_iter && !PySequence_Check(registers)) {
        PyErr_Format(PyExc_TypeError, "registers must be a sequence of ints, not %.200s", Py_TYPE(registers)->tp_name);
        raise();
    }
    Ref items = own(PySequence_Tuple(registers));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (static_cast<std::size_t>(n) != expected) {
        PyErr_Format(PyExc_ValueError, "the format takes %zu register%s, got %zd", expected, plural(expected), n);
        raise();
    }
    std::vector<std::uint16_t> words(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        Ref index = as_index(item);
        if (!index) {
            PyErr_Format(PyExc_TypeError, "registers[%zd] must be an int, not %.200s", i, Py_TYPE(item)->tp_name);
            raise();
        }
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) raise();
        if (overflow || v < 0 || v > 0xFFFF) {
            PyErr_Format(PyExc_ValueError, "registers[%zd] is outside 0..65535", i);
            raise();
        }
        words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(v);
    }
    return words;
}

namespace {

const char* int_range(char code) {
    switch (code) {
        case 'h':
            return "-32768..32767";
        case 'H':
            return "0..65535";
        case 'i':
            return "-2147483648..2147483647";
        case 'I':
            return "0..4294967295";
        case 'q':
            return "-9223372036854775808..9223372036854775807";
        default:
            return "0..18446744073709551615";
    }
}

// The two's-complement bits of an int value of an integer code, or false when the code
// cannot hold it.
bool int_bits(PyObject* index, char code, std::uint64_t& out) {
    const std::size_t bits = 8 * modbus::code_size(code);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (v == -1 && PyErr_Occurred()) raise();
    if (overflow > 0 && code == 'Q') {
        const unsigned long long u = PyLong_AsUnsignedLongLong(index);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise();
            PyErr_Clear();
            return false;
        }
        out = u;
        return true;
    }
    if (overflow) return false;
    if (modbus::is_signed_code(code)) {
        if (bits < 64 && (v < -(1LL << (bits - 1)) || v >= (1LL << (bits - 1)))) return false;
    } else if (v < 0 || (bits < 64 && v >= (1LL << bits))) {
        return false;
    }
    out = static_cast<std::uint64_t>(v);
    return true;
}

// Value i of a field with code `code` written to its image; every check of the value.
void encode_one(PyObject* v, Py_ssize_t i, const modbus::Field& field, std::uint8_t* image) {
    const char code = field.code;
    if (code == 's') {
        if (!PyBytes_Check(v) && !PyByteArray_Check(v)) {
            PyErr_Format(PyExc_TypeError, "values[%zd] for '%zus' must be bytes or bytearray, not %.200s", i,
                         field.count, Py_TYPE(v)->tp_name);
            raise();
        }
        const Py_ssize_t n = PyBytes_Check(v) ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v);
        const char* data = PyBytes_Check(v) ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
        if (static_cast<std::size_t>(n) > field.count) {
            PyErr_Format(PyExc_ValueError, "values[%zd] is %zd bytes, longer than '%zus'", i, n, field.count);
            raise();
        }
        std::memcpy(image, data, static_cast<std::size_t>(n));
        std::memset(image + n, 0, field.count - static_cast<std::size_t>(n));
        return;
    }
    if (modbus::is_float_code(code)) {
        const PyNumberMethods* number = Py_TYPE(v)->tp_as_number;
        if (!PyFloat_Check(v) && !PyIndex_Check(v) && !(number && number->nb_float)) {
            PyErr_Format(PyExc_TypeError, "values[%zd] for '%c' must be a float or an int, not %.200s", i, code,
                         Py_TYPE(v)->tp_name);
            raise();
        }
        const double d = PyFloat_AsDouble(v);
        int rc = 0;
        if (d == -1.0 && PyErr_Occurred())
            rc = -1;  // an int beyond every float
        else if (code == 'e')
            rc = PyFloat_Pack2(d, reinterpret_cast<char*>(image), 0);
        else if (code == 'f')
            rc = PyFloat_Pack4(d, reinterpret_cast<char*>(image), 0);
        else
            rc = PyFloat_Pack8(d, reinterpret_cast<char*>(image), 0);
        if (rc < 0) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise();
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "values[%zd] for '%c' is too large", i, code);
            raise();
        }
        return;
    }
    Ref index = as_index(v);
    if (!index) {
        PyErr_Format(PyExc_TypeError, "values[%zd] for '%c' must be an int, not %.200s", i, code, Py_TYPE(v)->tp_name);
        raise();
    }
    std::uint64_t bits = 0;
    if (!int_bits(index.get(), code, bits)) {
        PyErr_Format(PyExc_OverflowError, "values[%zd] for '%c' is outside %s", i, code, int_range(code));
        raise();
    }
    modbus::store_be(image, modbus::code_size(code), bits);
}

// The object for one value read from its image.
Ref decode_one(const std::uint8_t* image, std::size_t size, char code) {
    const char* p = reinterpret_cast<const char*>(image);
    switch (code) {
        case 's':
            return own(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(size)));
        case 'e':
        case 'f':
        case 'd': {
            const double d = code == 'e'   ? PyFloat_Unpack2(p, 0)
                             : code == 'f' ? PyFloat_Unpack4(p, 0)
                                           : PyFloat_Unpack8(p, 0);
            if (d == -1.0 && PyErr_Occurred()) raise();
            return own(PyFloat_FromDouble(d));
        }
        case 'Q':
            return own(PyLong_FromUnsignedLongLong(modbus::load_be(image, size)));
        default: {
            const std::uint64_t bits = modbus::load_be(image, size);
            if (modbus::is_signed_code(code)) return own(PyLong_FromLongLong(modbus::sign_extend(bits, size)));
            return own(PyLong_FromUnsignedLongLong(bits));
        }
    }
}

// A sequence as a tuple, with the text of a non-iterable object's TypeError.
Ref value_items(PyObject* values) {
    if (!Py_TYPE(values)->tp_iter && !PySequence_Check(values)) {
        PyErr_Format(PyExc_TypeError, "values must be a sequence, not %.200s", Py_TYPE(values)->tp_name);
        raise();
    }
    return own(PySequence_Tuple(values));
}

}  // namespace

ValueLayout value_layout(PyObject* format, PyObject* order) {
    ValueLayout layout;
    layout.format = parse_format_object(format);
    if (!PyUnicode_Check(order)) raise_arg_type("order", "str", order);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_IS_ASCII(order) ? PyUnicode_AsUTF8AndSize(order, &size) : nullptr;
    if (!text || !modbus::parse_byte_order({text, static_cast<std::size_t>(size)}, layout.order)) {
        PyErr_Format(PyExc_ValueError, "order must be 'ABCD', 'CDAB', 'BADC' or 'DCBA', not %.50R", order);
        raise();
    }
    const modbus::FormatCheck check = modbus::check_order(layout.format.fields, layout.order);
    if (!check.ok()) raise_format_fault(check, format, layout.order);
    return layout;
}

std::size_t format_registers(PyObject* format) { return parse_format_object(format).registers(); }

Ref decode_words(const ValueLayout& layout, const std::uint16_t* words, std::size_t n) {
    const modbus::Format& format = layout.format;
    if (n != format.registers()) {
        PyErr_Format(PyExc_ValueError, "the format takes %zu register%s, got %zu", format.registers(),
                     plural(format.registers()), n);
        raise();
    }
    std::vector<std::uint8_t> image(format.bytes);
    modbus::words_to_image(format.fields, layout.order, words, image.data());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(format.values)));
    Py_ssize_t i = 0;
    modbus::for_each_value(format.fields, [&](std::size_t offset, std::size_t size, char code) {
        PyList_SET_ITEM(list.get(), i++, decode_one(image.data() + offset, size, code).release());
    });
    return list;
}

Ref decode_words(const std::uint16_t* words, std::size_t n, PyObject* format, PyObject* order) {
    return decode_words(value_layout(format, order), words, n);
}

std::vector<std::uint16_t> encode_to_words(const ValueLayout& layout, PyObject* values) {
    const modbus::Format& format = layout.format;
    Ref items = value_items(values);
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (static_cast<std::size_t>(n) != format.values) {
        PyErr_Format(PyExc_ValueError, "the format takes %zu value%s, got %zd", format.values, plural(format.values),
                     n);
        raise();
    }
    std::vector<std::uint8_t> image(format.bytes);
    Py_ssize_t i = 0;
    std::size_t offset = 0;
    for (const modbus::Field& field : format.fields) {
        for (std::size_t k = 0; k < field.values(); ++k, ++i) {
            encode_one(PyTuple_GET_ITEM(items.get(), i), i, field, image.data() + offset);
            offset += field.value_size();
        }
    }
    std::vector<std::uint16_t> words(format.registers());
    modbus::image_to_words(format.fields, layout.order, image.data(), words.data(), words.size());
    return words;
}

std::vector<std::uint16_t> encode_to_words(PyObject* format, PyObject* values, PyObject* order) {
    return encode_to_words(value_layout(format, order), values);
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

// ---- argument checks shared by the masters ---------------------------------------------

namespace {

// The value of an int when it lies within 0..top; -1 otherwise.
long long within(PyObject* an_int, unsigned long top) {
    int overflow = 0;
    long long v;
    if (!(PyLong_CheckExact(an_int) && compact_int(an_int, v))) {
        v = PyLong_AsLongLongAndOverflow(an_int, &overflow);
        if (v == -1 && PyErr_Occurred()) raise();
    }
    return overflow || v < 0 || static_cast<unsigned long long>(v) > top ? -1 : v;
}

[[noreturn]] void raise_out_of_range(const char* what, unsigned long top, PyObject* shown) {
    PyErr_Format(PyExc_OverflowError, "modbus: %s out of range 0 to %lu: %S", what, top, shown);
    raise();
}

}  // namespace

void check_field(PyObject* value, const char* what, unsigned long top) {
    if (PyLong_Check(value)) {
        field_value(value, what, top);
    } else if (PyIndex_Check(value)) {
        // Judged by the integer the frame builders would take from it (and wrap).
        Ref index = own(PyNumber_Index(value));
        if (within(index.get(), top) < 0) raise_out_of_range(what, top, value);
    }
}

unsigned long field_value(PyObject* exact_int, const char* what, unsigned long top) {
    const long long v = within(exact_int, top);
    if (v < 0) raise_out_of_range(what, top, exact_int);
    return static_cast<unsigned long>(v);
}

void refuse_writing_code(PyObject* func_code) {
    int overflow = 0;
    const long long code = PyLong_AsLongLongAndOverflow(func_code, &overflow);
    if (code == -1 && PyErr_Occurred()) raise();
    if (!overflow && modbus::changes_device(code)) {
        PyErr_Format(PyExc_ValueError, "modbus: func_code %S writes to the device; a read does not send it", func_code);
        raise();
    }
}

void check_register_read_code(PyObject* func_code) {
    int overflow = 0;
    const long long code = PyLong_AsLongLongAndOverflow(func_code, &overflow);
    if (code == -1 && PyErr_Occurred()) raise();
    if (overflow || (code != modbus::kReadHoldingRegisters && code != modbus::kReadInputRegisters)) {
        PyErr_Format(PyExc_ValueError, "modbus: func_code must be 3 or 4: %S", func_code);
        raise();
    }
}

void check_count(std::size_t n, std::size_t high, const char* what) {
    if (n < 1 || n > high) {
        PyErr_Format(PyExc_ValueError, "modbus: %s must be from 1 to %zu: %zu", what, high, n);
        raise();
    }
}

void check_items(std::size_t n, std::size_t high) {
    if (n < 1 || n > high) {
        PyErr_Format(PyExc_ValueError, "modbus: values must hold from 1 to %zu items: %zu", high, n);
        raise();
    }
}

void check_registers(std::size_t n, std::size_t high, const char* done) {
    if (n > high) {
        PyErr_Format(PyExc_ValueError, "modbus: the format takes %zu registers, at most %zu can be %s", n, high, done);
        raise();
    }
}

std::uint8_t identification_read_code(PyObject* exact_int) {
    int overflow = 0;
    const long long code = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    if (code == -1 && PyErr_Occurred()) raise();
    if (overflow || code < 1 || code > 4) {
        PyErr_Format(PyExc_ValueError, "modbus: read_code must be from 1 to 4: %S", exact_int);
        raise();
    }
    return static_cast<std::uint8_t>(code);
}

Ref items_of(PyObject* values, const char* what) {
    if (!Py_TYPE(values)->tp_iter && !PySequence_Check(values)) {
        PyErr_Format(PyExc_TypeError, "values must be a sequence of %s, not %.200s", what, Py_TYPE(values)->tp_name);
        raise();
    }
    return own(PySequence_Tuple(values));
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
