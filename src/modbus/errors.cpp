// The library's family of errors and the kind of failure an exception reports (errors.hpp).
#include "modbus/errors.hpp"

#include "module/class_builder.hpp"
#include "module/namespace.hpp"
#include "module/runtime.hpp"

namespace brel {

ErrorFamily errors;

namespace {

struct Member {
    const char* name;
    PyObject* ErrorFamily::* slot;
    std::vector<const char*> more_bases;
};

// In the order the namespace binds them.
const std::vector<Member>& members() {
    static const std::vector<Member> table{
        {"ModbusTimeoutError", &ErrorFamily::timeout, {"TimeoutError"}},
        {"FrameError", &ErrorFamily::frame, {"ValueError", "AssertionError"}},
        {"MismatchError", &ErrorFamily::mismatch, {"OSError", "ValueError", "AssertionError"}},
        {"ConnectionClosedError", &ErrorFamily::connection_closed, {"ConnectionError"}},
        {"MasterClosedError", &ErrorFamily::master_closed, {"OSError"}},
    };
    return table;
}

void keep(PyObject*& slot, Ref made) { Py_XSETREF(slot, made.release()); }

bool is(PyObject* exc, PyObject* cls) noexcept { return cls && PyErr_GivenExceptionMatches(exc, cls); }

}  // namespace

void make_error_family() {
    keep(errors.base, build_class({.name = "ModbusError", .base = "Exception"}));
    for (const Member& m : members())
        keep(errors.*m.slot, build_class({.name = m.name, .more_bases = m.more_bases}, errors.base));
}

void record_refusal_class(PyObject* type) noexcept { Py_XSETREF(errors.refusal, Py_NewRef(type)); }

void bind_error_family(PyObject* ns) {
    bind(ns, "ModbusError", Ref::borrow(errors.base));
    for (const Member& m : members()) bind(ns, m.name, Ref::borrow(errors.*m.slot));
}

FailureKind failure_kind(PyObject* exc) noexcept {
    if (!exc) return FailureKind::Other;
    // The module's SlaveException as it stands, and the library's own.
    PyObject* refusal = module_namespace ? PyDict_GetItemString(module_namespace, "SlaveException") : nullptr;
    if (is(exc, errors.refusal) || (refusal && PyExceptionClass_Check(refusal) && is(exc, refusal)))
        return FailureKind::Refusal;
    if (is(exc, errors.master_closed)) return FailureKind::MasterClosed;
    if (is(exc, errors.timeout) || is(exc, PyExc_TimeoutError)) return FailureKind::Timeout;
    if (is(exc, errors.connection_closed)) return FailureKind::ConnectionClosed;
    if (is(exc, errors.frame)) return FailureKind::Frame;
    if (is(exc, errors.mismatch)) return FailureKind::Mismatch;
    return FailureKind::Other;
}

const char* failure_name(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::Timeout:
            return "timeout";
        case FailureKind::Frame:
            return "frame";
        case FailureKind::Mismatch:
            return "mismatch";
        case FailureKind::Refusal:
            return "refusal";
        case FailureKind::ConnectionClosed:
            return "connection closed";
        case FailureKind::MasterClosed:
            return "master closed";
        default:
            return "other";
    }
}

}  // namespace brel
