// A master's settings and the retry of a failed request (master_settings.hpp): the retries and reconnect properties.
#include "modbus/master_settings.hpp"

#include "module/runtime.hpp"

namespace brel {

thread_local SendRecord send_record;

bool worth_retrying() {
    PyObject* error = PyErr_GetRaisedException();
    if (!error) return false;
    // The module's SlaveException as it stands (no error is raised by this look-up).
    PyObject* refusal = module_namespace ? PyDict_GetItemString(module_namespace, "SlaveException") : nullptr;
    const bool worth =
        !(refusal && PyErr_GivenExceptionMatches(error, refusal)) &&
        (PyErr_GivenExceptionMatches(error, PyExc_OSError) || PyErr_GivenExceptionMatches(error, PyExc_ValueError) ||
         PyErr_GivenExceptionMatches(error, PyExc_AssertionError));
    PyErr_SetRaisedException(error);
    return worth;
}

namespace {

Ref get_retries(Args& a) { return own(PyLong_FromLong(settings_now(a[0]).retries)); }

Ref set_retries(Args& a) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(a[1], &overflow);
    if (n == -1 && PyErr_Occurred()) raise();
    if (overflow || n < 0 || n > kMaxRetries) {
        PyErr_Format(PyExc_ValueError, "retries must be from 0 to %d: %S", kMaxRetries, a[1]);
        raise();
    }
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->retries = static_cast<long>(n);
    return Ref::borrow(Py_None);
}

Ref get_reconnect(Args& a) { return Ref::borrow(settings_now(a[0]).reconnect ? Py_True : Py_False); }

Ref set_reconnect(Args& a) {
    const int on = check(PyObject_IsTrue(a[1]));
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->reconnect = on != 0;
    return Ref::borrow(Py_None);
}

}  // namespace

MemberSpec retries_member() { return property("retries", get_retries, "int", set_retries, "int"); }

MemberSpec reconnect_member() { return property("reconnect", get_reconnect, "bool", set_reconnect, "bool"); }

}  // namespace brel
