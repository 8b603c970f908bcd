// Owning references to interpreter objects, and the error convention of the module.
//
// Class code holds every new reference in a Ref; nothing outside this file spells out
// Py_DECREF. A failing C API call is turned into a thrown PyError (the interpreter's
// error indicator is already set); every function that the interpreter calls runs its
// body through guarded(), which turns whatever was thrown into the interpreter's
// exception and returns NULL or -1.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/compat.hpp"  // the 3.12 C API on 3.10 and 3.11

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace brel {

// Thrown only after an interpreter exception has been set.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// Set an exception and throw.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Take over a new reference; a NULL result means the call failed: throw.
    static Ref steal(PyObject* p) {
        if (!p) raise();
        return Ref(p, 0);
    }
    // Take over a new reference that may legitimately be NULL (no error set).
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p, 0); }
    // Add a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p, 0);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    Ref(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Shorthand for Ref::steal: own(PyLong_FromLong(1)).
inline Ref own(PyObject* p) { return Ref::steal(p); }

// Throw when a C API call reports failure through -1.
inline int check(int rc) {
    if (rc < 0) raise();
    return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n == -1 && PyErr_Occurred()) raise();
    return n;
}

// Sets the interpreter's exception for the C++ exception being handled: a PyError keeps
// the one already set, std::bad_alloc is MemoryError, anything else SystemError. Call
// only from a catch block.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "brel_modbus: error reported without an exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "brel_modbus: unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "brel_modbus: unexpected C++ exception of unknown type");
    }
}

// The boundary between the interpreter and C++. Runs body() and returns its result; when
// body throws, sets the interpreter's exception and returns the C API's failure value:
// NULL for a pointer result, -1 for an int. No exception leaves a guarded function.
//     PyObject* slot(PyObject* self) noexcept { return guarded([&] { ...; return r.release(); }); }
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_pointer_v<Result> || std::is_same_v<Result, int>, "a C API result: pointer or int");
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
    }
    if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else
        return -1;
}

}  // namespace brel
