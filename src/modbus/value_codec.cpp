// Typed values in registers for the masters and ModbusStatic: formats and orders checked, values encoded and decoded.
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <cstring>
#include <string>

namespace brel {

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

}  // namespace brel
