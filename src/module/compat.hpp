// The C API of CPython 3.12 on the older interpreters the module also builds for.
//
// Included by module/ref.hpp right after Python.h, so that every file of the module
// writes the 3.12 spelling and none needs a version test of its own. Each block below
// supplies, on the versions that lack them, the calls named in its heading, with the
// behaviour they have in 3.12; the last block reads an int's compact form where the
// interpreter has one.
#pragma once

#include <Python.h>

// PyFloat_Pack2/4/8 and PyFloat_Unpack2/4/8: public since 3.11; 3.10 has the same
// functions under a leading underscore, taking unsigned char.
#if PY_VERSION_HEX < 0x030B0000
inline int PyFloat_Pack2(double x, char* p, int le) {
    return _PyFloat_Pack2(x, reinterpret_cast<unsigned char*>(p), le);
}
inline int PyFloat_Pack4(double x, char* p, int le) {
    return _PyFloat_Pack4(x, reinterpret_cast<unsigned char*>(p), le);
}
inline int PyFloat_Pack8(double x, char* p, int le) {
    return _PyFloat_Pack8(x, reinterpret_cast<unsigned char*>(p), le);
}
inline double PyFloat_Unpack2(const char* p, int le) {
    return _PyFloat_Unpack2(reinterpret_cast<const unsigned char*>(p), le);
}
inline double PyFloat_Unpack4(const char* p, int le) {
    return _PyFloat_Unpack4(reinterpret_cast<const unsigned char*>(p), le);
}
inline double PyFloat_Unpack8(const char* p, int le) {
    return _PyFloat_Unpack8(reinterpret_cast<const unsigned char*>(p), le);
}
#endif

// Py_Version (the running interpreter's version as PY_VERSION_HEX encodes it): since
// 3.11. On 3.10 it is read from Py_GetVersion(), "3.10.13 (main, ...)"; the release
// level is taken as final, as only major and minor are compared.
#if PY_VERSION_HEX < 0x030B0000
namespace brel::compat {
inline unsigned long runtime_version() noexcept {
    unsigned long part[3] = {0, 0, 0};
    const char* s = Py_GetVersion();
    for (int i = 0; i < 3; ++i) {
        while (*s >= '0' && *s <= '9') part[i] = part[i] * 10 + static_cast<unsigned long>(*s++ - '0');
        if (*s != '.') break;
        ++s;
    }
    return (part[0] << 24) | (part[1] << 16) | (part[2] << 8) | 0xF0;
}
}  // namespace brel::compat
#define Py_Version (::brel::compat::runtime_version())
#endif

// PyErr_GetRaisedException and PyErr_SetRaisedException: since 3.12. Before, the error
// indicator holds a (type, value, traceback) triple: Get takes it over, normalised into
// one exception object that carries its traceback (NULL when no error is set); Set
// restores such an object as the indicator (NULL clears it), stealing the reference.
#if PY_VERSION_HEX < 0x030C0000
inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
    if (!exc) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyObject* traceback = PyException_GetTraceback(exc);  // new reference or NULL
    PyErr_Restore(type, exc, traceback);
}
#endif

namespace brel {

// The value of an exact int that fits in one machine word without asking the interpreter
// to convert it (3.12 on: the int's compact form); false when the slow conversion is needed.
inline bool compact_int(PyObject* exact_int, long long& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = PyUnstable_Long_CompactValue(number);
    return true;
#else
    (void)exact_int;
    (void)value;
    return false;
#endif
}

}  // namespace brel
