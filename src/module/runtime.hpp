// What the module's code reaches at call time: the module namespace, the builtins
// looked up when the module starts, the assertion switch, interned names and the
// calling helpers.
#pragma once

#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace brel {

// The namespace of the recorded module (borrowed: the module lives for the process).
extern PyObject* module_namespace;
// The assertion switch: the truth of __debug__ when the module was executed.
extern bool assertions_enabled;

// Builtins looked up once by the exec step.
struct Builtins {
    PyObject* staticmethod = nullptr;
    PyObject* property = nullptr;
    PyObject* range = nullptr;
    PyObject* ValueError = nullptr;
    PyObject* IOError = nullptr;
    PyObject* enumerate = nullptr;
    PyObject* AssertionError = nullptr;
    PyObject* hex = nullptr;
};
extern Builtins builtins;

// A module-level name at call time: the module namespace, then the builtins,
// else NameError "name '%U' is not defined".
Ref global(PyObject* name);

// An interned string that lives for the process; throws on failure.
PyObject* intern_forever(const char* text);

}  // namespace brel

// The interned str for a literal, made once per use site.
#define BREL_STR(text)                                                   \
    ([]() -> PyObject* {                                                 \
        static PyObject* const interned_ = ::brel::intern_forever(text); \
        return interned_;                                                \
    }())

// global("name") remembered at this use site while the namespaces are unchanged (the
// namespace verdicts are in binding/late_binding.hpp, included below for the files that
// use this macro).
#define BREL_GLOBAL(text)                             \
    ([]() -> ::brel::Ref {                            \
        static ::brel::RememberedGlobal memo_;        \
        return ::brel::global(BREL_STR(text), memo_); \
    }())

#include "binding/late_binding.hpp"

namespace brel {

inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) { check(PyObject_SetAttr(obj, name, value)); }

// callable(*args) through vectorcall.
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*args): looked up on the instance, so overrides in subclasses and
// instance attributes are honoured.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* stack[] = {nullptr, self, static_cast<PyObject*>(args)...};
    return own(
        PyObject_VectorcallMethod(name, stack + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj[i] as the interpreter evaluates it for a non-negative index.
Ref item(PyObject* obj, Py_ssize_t i);

// A new bytes object of `size` bytes to fill in place.
inline Ref new_bytes(Py_ssize_t size) { return own(PyBytes_FromStringAndSize(nullptr, size)); }

// Each byte as two upper-case hex digits, joined with single spaces: "01 06 00 10".
Ref hex_text(PyObject* bytes);

}  // namespace brel
