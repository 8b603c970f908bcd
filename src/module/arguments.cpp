// The one argument parser: parameter tables applied to a call, with the argument-error texts (arguments.hpp).
#include "module/arguments.hpp"

#include <algorithm>
#include <cstring>

namespace brel {

Rule rule_for(const char* annotation) noexcept {
    if (!annotation || annotation[0] == '~') return Rule::Any;
    struct Row {
        const char* text;
        Rule rule;
    };
    static constexpr Row rows[] = {
        {"int", Rule::Int},
        {"str", Rule::Str},
        {"bytes", Rule::Bytes},
        {"_List[int]", Rule::List},
        {"list[int]", Rule::List},
        {"_Optional[int]", Rule::OptionalInt},
        {"int | None", Rule::OptionalInt},
        {"float", Rule::Float},
    };
    for (const Row& row : rows)
        if (std::strcmp(row.text, annotation) == 0) return row.rule;
    return Rule::Any;
}

PyTypeObject* rule_type(Rule rule) noexcept {
    switch (rule) {
        case Rule::Int:
        case Rule::OptionalInt:
            return &PyLong_Type;
        case Rule::Str:
            return &PyUnicode_Type;
        case Rule::Bytes:
            return &PyBytes_Type;
        case Rule::List:
            return &PyList_Type;
        default:
            return nullptr;
    }
}

void raise_arg_type(const char* param, const char* expected, PyObject* given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
                 Py_TYPE(given)->tp_name);
    raise();
}

void check_rule(Rule rule, PyObject* name, PyObject* value) {
    PyTypeObject* type = rule_type(rule);
    if (!type || Py_IS_TYPE(value, type)) return;
    if (rule == Rule::OptionalInt && value == Py_None) return;
    raise_arg_type(PyUnicode_AsUTF8(name), type->tp_name, value);
}

void check_return(Rule rule, PyObject* value) {
    PyTypeObject* type = rule_type(rule);
    if (!type || value == Py_None || Py_IS_TYPE(value, type)) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    raise();
}

namespace {

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t found) {
    const bool exact = sig.required == sig.count;
    Py_ssize_t expected;
    const char* bound;
    if (found < sig.required) {
        expected = sig.required;
        bound = "at least";
    } else {
        expected = sig.positional;
        bound = "at most";
    }
    if (exact && sig.positional == sig.count) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, bound,
                 expected, expected == 1 ? "" : "s", found);
    raise();
}

// 1 when equal, 0 when not, throws on a comparison error.
bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_Check(b) || PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
    return PyUnicode_Compare(a, b) == 0;
}

// The value passed under `name`, or nullptr: identity first, then equality.
PyObject* keyword_value(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i)
        if (same_name(name, PyTuple_GET_ITEM(kwnames, i))) return kwvalues[i];
    return nullptr;
}

// The full pass over the keywords once the named lookups left some unmatched.
void bind_remaining_keywords(const Signature& sig, PyObject* kwnames, PyObject* const* kwvalues, Py_ssize_t nargs,
                             Args& out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = kwvalues[k];
        int slot = -1;
        for (int i = static_cast<int>(nargs); i < sig.count && slot < 0; ++i)
            if (sig.names[i] == key) slot = i;
        if (slot < 0 && !PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            raise();
        }
        for (int i = static_cast<int>(nargs); i < sig.count && slot < 0; ++i)
            if (same_name(sig.names[i], key)) slot = i;
        if (slot >= 0) {
            out.v[slot] = value;
            continue;
        }
        for (int i = 0; i < nargs; ++i) {
            if (same_name(sig.names[i], key)) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
                raise();
            }
        }
        if (!out.kwargs) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            raise();
        }
        check(PyDict_SetItem(out.kwargs.get(), key, value));
    }
}

}  // namespace

void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
    if (nargs > sig.positional) raise_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.v[i] = args[i];
    for (int i = static_cast<int>(nargs); i < sig.count; ++i) out.v[i] = nullptr;
    if (sig.kwargs) out.kwargs = own(PyDict_New());

    if (!kwnames) {
        if (nargs < sig.required) raise_count(sig, nargs);
    } else {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t unmatched = PyTuple_GET_SIZE(kwnames);
        for (int i = static_cast<int>(nargs); i < sig.required; ++i) {
            PyObject* value = keyword_value(kwnames, kwvalues, sig.names[i]);
            if (!value) raise_count(sig, i);
            out.v[i] = value;
            --unmatched;
        }
        for (int i = std::max(static_cast<int>(nargs), sig.required); i < sig.count && unmatched > 0; ++i) {
            if (PyObject* value = keyword_value(kwnames, kwvalues, sig.names[i])) {
                out.v[i] = value;
                --unmatched;
            }
        }
        if (unmatched > 0) bind_remaining_keywords(sig, kwnames, kwvalues, nargs, out);
    }
    for (int i = sig.required; i < sig.count; ++i)
        if (!out.v[i]) out.v[i] = PyTuple_GET_ITEM(sig.defaults, i - sig.required);

    for (int i = 0; i < sig.count; ++i) {
        if (sig.rules[i] != Rule::Float || PyFloat_CheckExact(out.v[i])) continue;
        const double d = PyFloat_AsDouble(out.v[i]);
        if (d == -1.0 && PyErr_Occurred()) raise();
        out.converted[i] = own(PyFloat_FromDouble(d));
        out.v[i] = out.converted[i].get();
    }
    for (int i = 0; i < sig.count; ++i) check_rule(sig.rules[i], sig.names[i], out.v[i]);
}

}  // namespace brel
