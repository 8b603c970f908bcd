// What the module reaches at call time: its namespace, the builtins, interned names (runtime.hpp).
#include "module/runtime.hpp"

namespace brel {

PyObject* module_namespace = nullptr;
bool assertions_enabled = true;
Builtins builtins;

Ref global(PyObject* name) {
    if (module_namespace) {
        if (PyObject* v = PyDict_GetItemWithError(module_namespace, name)) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    }
    PyObject* v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref item(PyObject* obj, Py_ssize_t i) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return own(PySequence_GetItem(obj, i));
    Ref key = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(obj, key.get()));
}

PyObject* intern_forever(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) raise();
    return s;
}

// The general road of hex_text: format(b, "02X") for each item, joined with " ".
static Ref hex_text_general(PyObject* items) {
    Ref it = own(PyObject_GetIter(items));
    Ref parts = own(PyList_New(0));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref piece = own(PyObject_Format(item.get(), BREL_STR("02X")));
        check(PyList_Append(parts.get(), piece.get()));
    }
    if (PyErr_Occurred()) raise();
    return own(PyUnicode_Join(BREL_STR(" "), parts.get()));
}

Ref hex_text(PyObject* bytes) {
    if (!PyBytes_CheckExact(bytes)) return hex_text_general(bytes);
    const char* digits = "0123456789ABCDEF";
    const Py_ssize_t n = PyBytes_GET_SIZE(bytes);
    if (n > PY_SSIZE_T_MAX / 3) raise(PyExc_OverflowError, "bytes object too large to show in hex");
    const auto* src = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    Ref text = own(PyUnicode_New(n ? 3 * n - 1 : 0, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) *out++ = ' ';
        *out++ = static_cast<Py_UCS1>(digits[src[i] >> 4]);
        *out++ = static_cast<Py_UCS1>(digits[src[i] & 15]);
    }
    return text;
}

}  // namespace brel
