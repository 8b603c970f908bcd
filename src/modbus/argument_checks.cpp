// The argument checks the masters share: fields, counts, codes and sequences, with the same texts on every master.
#include "modbus/adu.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

std::vector<modbus::FileRecord> file_records(PyObject* requests, std::vector<std::uint16_t>* store) {
    const bool writing = store != nullptr;
    Ref items = items_of(requests, writing ? "(file, record, values) tuples" : "(file, record, length) tuples");
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n < 1) raise(PyExc_ValueError, "modbus: requests must hold at least one request");
    std::vector<modbus::FileRecord> records(static_cast<std::size_t>(n));
    std::vector<std::size_t> starts;
    std::size_t request_bytes = 0, answer_bytes = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* one = PyTuple_GET_ITEM(items.get(), k);
        if (!PyTuple_Check(one) || PyTuple_GET_SIZE(one) != 3) {
            PyErr_Format(PyExc_TypeError, "requests[%zd] must be a tuple of 3 items, not %.200s", k,
                         Py_TYPE(one)->tp_name);
            raise();
        }
        modbus::FileRecord& r = records[static_cast<std::size_t>(k)];
        for (int f = 0; f < 2; ++f) {
            PyObject* v = PyTuple_GET_ITEM(one, f);
            if (!PyLong_Check(v)) {
                PyErr_Format(PyExc_TypeError, "requests[%zd][%d] must be an int, not %.200s", k, f,
                             Py_TYPE(v)->tp_name);
                raise();
            }
        }
        r.file = static_cast<std::uint16_t>(field_value(PyTuple_GET_ITEM(one, 0), "file", modbus::kMaxAddress));
        r.record = static_cast<std::uint16_t>(field_value(PyTuple_GET_ITEM(one, 1), "record", modbus::kMaxAddress));
        if (r.record > modbus::kMaxFileRecord) {
            PyErr_Format(PyExc_ValueError, "modbus: record must be from 0 to %u: %u", modbus::kMaxFileRecord,
                         static_cast<unsigned>(r.record));
            raise();
        }
        PyObject* third = PyTuple_GET_ITEM(one, 2);
        std::size_t length;
        if (writing) {
            Ref values = items_of(third, "ints");
            length = static_cast<std::size_t>(PyTuple_GET_SIZE(values.get()));
            starts.push_back(store->size());
            for (std::size_t i = 0; i < length; ++i) {
                PyObject* v = PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i));
                if (!PyLong_Check(v)) {
                    PyErr_Format(PyExc_TypeError, "requests[%zd] values must be ints, not %.200s", k,
                                 Py_TYPE(v)->tp_name);
                    raise();
                }
                store->push_back(static_cast<std::uint16_t>(field_value(v, "value", 0xFFFF)));
            }
        } else {
            if (!PyLong_Check(third)) {
                PyErr_Format(PyExc_TypeError, "requests[%zd][2] must be an int, not %.200s", k,
                             Py_TYPE(third)->tp_name);
                raise();
            }
            length = field_value(third, "length", modbus::kMaxAddress);
        }
        check_count(length, writing ? (modbus::kMaxFileWriteBytes - 7) / 2 : (modbus::kMaxFileReadBytes - 2) / 2,
                    "length");
        r.length = static_cast<std::uint16_t>(length);
        request_bytes += writing ? 7 + 2 * length : 7;
        answer_bytes += 2 + 2 * length;
    }
    const std::size_t top = writing ? modbus::kMaxFileWriteBytes : modbus::kMaxFileReadBytes;
    if (request_bytes > top || (!writing && answer_bytes > top)) {
        PyErr_Format(PyExc_ValueError, "modbus: the requests take %zu bytes, at most %zu fit in one PDU",
                     writing ? request_bytes : std::max(request_bytes, answer_bytes), top);
        raise();
    }
    if (writing)
        for (std::size_t k = 0; k < records.size(); ++k) records[k].words = store->data() + starts[k];
    return records;
}

void check_diagnostics_data(PyObject* exact_bytes) {
    const Py_ssize_t n = PyBytes_GET_SIZE(exact_bytes);
    if (n > static_cast<Py_ssize_t>(modbus::kMaxPdu - 3)) {
        PyErr_Format(PyExc_ValueError, "modbus: data must hold at most %zu bytes: %zd", modbus::kMaxPdu - 3, n);
        raise();
    }
}

std::uint8_t check_raw_request(PyObject* function_code, PyObject* data, PyObject* length, bool serial) {
    const unsigned long code = field_value(function_code, "function_code", 0xFF);
    if (code < 1 || code >= modbus::kExceptionFlag) {
        PyErr_Format(PyExc_ValueError, "modbus: function_code must be from 1 to 127: %S", function_code);
        raise();
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(data);
    constexpr std::size_t top = modbus::kMaxPdu - 1;
    if (n > static_cast<Py_ssize_t>(top)) {
        PyErr_Format(PyExc_ValueError, "modbus: data must hold at most %zu bytes: %zd", top, n);
        raise();
    }
    if (PyLong_Check(length)) {
        const unsigned long size = field_value(length, "length", top);
        if (serial && size == 0) raise(PyExc_ValueError, "modbus: length must be from 1 on the serial line");
    } else if (length != Py_None && !PyCallable_Check(length)) {
        PyErr_Format(PyExc_TypeError, "length must be None, an int or a callable, not %.200s",
                     Py_TYPE(length)->tp_name);
        raise();
    }
    if (serial && length == Py_None) {
        std::uint8_t head[3] = {static_cast<std::uint8_t>(code), 0, 0};
        const std::size_t known = std::min<std::size_t>(static_cast<std::size_t>(n), 2);
        std::memcpy(head + 1, PyBytes_AS_STRING(data), known);
        if (modbus::answer_size_of(head, 1 + static_cast<std::size_t>(n)).rule == modbus::SizeRule::Open) {
            PyErr_Format(PyExc_ValueError, "modbus: the answer length of function code %lu is not known: pass length",
                         code);
            raise();
        }
    }
    return static_cast<std::uint8_t>(code);
}

}  // namespace brel
