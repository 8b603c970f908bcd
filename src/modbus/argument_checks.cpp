// The argument checks the masters share: fields, counts, codes and sequences, with the same texts on every master.
#include "modbus/adu.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <cstring>
#include <string>

namespace brel {

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

}  // namespace brel
