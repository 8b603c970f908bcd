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

// ---- the namespaces, watched ---------------------------------------------------------
//
// From CPython 3.12 on the interpreter tells a dictionary's watchers of every change to
// it. The module namespace, and the dictionaries watched beside it (the array module's),
// are watched by one watcher that counts their changes: a verdict on what they hold,
// taken when the count was c, still holds while the count is c. The count is 0 while they
// are not all watched (before 3.12, or when the interpreter has no watcher left): then no
// verdict may be kept and every look-up is made again.
inline std::uint64_t namespace_epoch() noexcept;
// Watches `dict` beside the module namespace; when it cannot be, namespace_epoch() is 0
// from then on. Any exception pending when it is called is left as it was.
void watch_beside_namespace(PyObject* dict) noexcept;

// A module-level name's value as global() finds it in the module namespace, remembered
// at a namespace epoch: while the epoch is the same the namespace still holds it.
struct RememberedGlobal {
    PyObject* value = nullptr;  // borrowed from the namespace
    std::uint64_t epoch = 0;    // 0: nothing remembered
};
// global(name), remembered in `memo` while the namespaces are unchanged.
inline Ref global(PyObject* name, RememberedGlobal& memo);

namespace detail {
// What namespace_epoch() reads: the count (0 while the namespaces are not all watched) and
// the module namespace it counts for; watch_module_namespace() starts the watch of a
// module namespace not yet watched and returns the count.
extern std::uint64_t namespace_count;
extern PyObject* watched_namespace;
std::uint64_t watch_module_namespace() noexcept;
Ref global_looked_up(PyObject* name, RememberedGlobal& memo, std::uint64_t now);
}  // namespace detail

inline std::uint64_t namespace_epoch() noexcept {
    if (detail::watched_namespace != module_namespace) return detail::watch_module_namespace();
    return detail::namespace_count;
}

inline Ref global(PyObject* name, RememberedGlobal& memo) {
    const std::uint64_t now = namespace_epoch();
    if (now != 0 && memo.epoch == now) return Ref::borrow(memo.value);
    return detail::global_looked_up(name, memo, now);
}

// A yes on what the namespaces hold, remembered while they are unchanged.
class NamespaceVerdict {
public:
    // True when remembered, or when `check` (the look-ups themselves) says so now.
    template <class Check>
    bool holds(Check&& check) {
        const std::uint64_t now = namespace_epoch();
        if (now != 0 && at_ == now) return true;
        if (!check()) return false;
        if (namespace_epoch() == now) at_ = now;  // unless the check itself saw a change
        return true;
    }

private:
    std::uint64_t at_ = 0;
};

// An interned string that lives for the process; throws on failure.
PyObject* intern_forever(const char* text);

}  // namespace brel

// The interned str for a literal, made once per use site.
#define BREL_STR(text)                                                   \
    ([]() -> PyObject* {                                                 \
        static PyObject* const interned_ = ::brel::intern_forever(text); \
        return interned_;                                                \
    }())

// global("name") remembered at this use site while the namespaces are unchanged.
#define BREL_GLOBAL(text)                             \
    ([]() -> ::brel::Ref {                            \
        static ::brel::RememberedGlobal memo_;        \
        return ::brel::global(BREL_STR(text), memo_); \
    }())

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
