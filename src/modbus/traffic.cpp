// The traffic trace (traffic.hpp): the record type, the trace property, and log_traffic.
#include "modbus/traffic.hpp"

#include "modbus/errors.hpp"
#include "module/function.hpp"
#include "module/namespace.hpp"
#include "module/runtime.hpp"

#include <chrono>
#include <string>

namespace brel {
namespace {

PyTypeObject* record_type = nullptr;  // owned; lives for the process

PyStructSequence_Field record_fields[] = {
    {"direction", "'sent' or 'received'"},
    {"data", "the frame's bytes as they went out or came in"},
    {"time", "seconds of the monotonic clock (time.monotonic) when the record was made"},
    {"station", "the request's station (unit identifier on Modbus TCP)"},
    {"function", "the request's function code"},
    {"outcome",
     "None for a request; for an answer 'answer', 'refusal', 'timeout', 'frame', 'mismatch', "
     "'connection closed', 'master closed', 'broadcast' or 'other'"},
    {nullptr, nullptr},
};

PyStructSequence_Desc record_desc = {
    "brel_modbus.TrafficRecord",
    "One frame of a master's traffic, as its trace callable gets it: (direction, data, time, station, "
    "function, outcome).",
    record_fields,
    6,
};

Ref make_record(const char* direction, PyObject* data, long station, long function, const char* outcome) {
    Ref record = own(PyStructSequence_New(record_type));
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    Ref bytes = PyBytes_CheckExact(data) ? Ref::borrow(data) : own(PyBytes_FromObject(data));
    PyObject* items[] = {PyUnicode_FromString(direction), bytes.release(),
                         PyFloat_FromDouble(now),         PyLong_FromLong(station),
                         PyLong_FromLong(function),       outcome ? PyUnicode_FromString(outcome) : Py_NewRef(Py_None)};
    for (Py_ssize_t i = 0; i < 6; ++i) {
        if (!items[i]) {
            for (Py_ssize_t j = i + 1; j < 6; ++j) Py_XDECREF(items[j]);
            raise();
        }
        PyStructSequence_SetItem(record.get(), i, items[i]);
    }
    return record;
}

Ref get_trace(Args& a) {
    PyObject* trace = trace_of(existing_settings(a[0]));
    return Ref::borrow(trace ? trace : Py_None);
}

Ref set_trace(Args& a) {
    PyObject* value = a[1];
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_Format(PyExc_TypeError, "trace must be None or a callable of one record, not %.200s",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->trace = value == Py_None ? Ref() : Ref::borrow(value);
    return Ref::borrow(Py_None);
}

// "01 03 00 00" as the hexadecimal properties show bytes.
Ref hex_text(PyObject* data) {
    static const char digits[] = "0123456789ABCDEF";
    char* chars = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data, &chars, &size) < 0) raise();
    std::string text;
    text.reserve(static_cast<std::size_t>(size) * 3);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(chars[i]);
        if (i) text.push_back(' ');
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// _log_record(logger, record): logger.debug of one record, as log_traffic installs it.
Ref log_record(Args& a) {
    PyObject *logger = a[0], *record = a[1];
    Ref debug_level = own(PyLong_FromLong(10));  // logging.DEBUG
    Ref enabled = call_method(logger, BREL_STR("isEnabledFor"), debug_level.get());
    if (!PyObject_IsTrue(enabled.get())) return Ref::borrow(Py_None);
    Ref direction = item(record, 0);
    Ref data = item(record, 1);
    Ref time = item(record, 2);
    Ref station = item(record, 3);
    Ref function = item(record, 4);
    Ref outcome = item(record, 5);
    Ref hex = hex_text(data.get());
    Ref format = own(PyUnicode_FromString(outcome.get() == Py_None ? "%s %s (station %s, function %s, at %.6f)"
                                                                   : "%s %s (station %s, function %s, at %.6f): %s"));
    if (outcome.get() == Py_None)
        call_method(logger, BREL_STR("debug"), format.get(), direction.get(), hex.get(), station.get(), function.get(),
                    time.get());
    else
        call_method(logger, BREL_STR("debug"), format.get(), direction.get(), hex.get(), station.get(), function.get(),
                    time.get(), outcome.get());
    return Ref::borrow(Py_None);
}

Ref log_record_function() {
    static const FunctionSpec spec{.name = "_log_record", .impl = log_record, .params = {{"logger"}, {"record"}}};
    return make_function(spec, nullptr);
}

// log_traffic(master, logger=None): master.trace = a callable that logs each record at DEBUG on
// `logger`, or on logging.getLogger("brel_modbus").
Ref log_traffic(Args& a) {
    PyObject *master = a[0], *logger = a[1];
    Ref chosen = Ref::borrow(logger);
    if (logger == Py_None) {
        Ref logging = own(PyImport_ImportModule("logging"));
        Ref name = own(PyUnicode_FromString("brel_modbus"));
        chosen = call_method(logging.get(), BREL_STR("getLogger"), name.get());
    }
    Ref functools = own(PyImport_ImportModule("functools"));
    Ref partial = getattr(functools.get(), BREL_STR("partial"));
    Ref body = log_record_function();
    Ref trace = call(partial.get(), body.get(), chosen.get());
    setattr(master, BREL_STR("trace"), trace.get());
    return Ref::borrow(Py_None);
}

}  // namespace

void trace_frame(PyObject* trace, const char* direction, PyObject* data, long station, long function,
                 const char* outcome) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        Ref record = make_record(direction, data, station, function, outcome);
        call(trace, record.get());
    } catch (const PyError&) {
        PyErr_WriteUnraisable(trace);
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

const char* ending_outcome() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (!pending) return "answer";
    const FailureKind kind = failure_kind(pending);
    PyErr_SetRaisedException(pending);
    return failure_name(kind);
}

MemberSpec trace_member() {
    return property("trace", get_trace, "Callable[[TrafficRecord], object] | None", set_trace,
                    "Callable[[TrafficRecord], object] | None");
}

void bind_traffic(PyObject* ns) {
    if (!record_type) {
        record_type = PyStructSequence_NewType(&record_desc);
        if (!record_type) raise();
    }
    bind(ns, "TrafficRecord", Ref::borrow(reinterpret_cast<PyObject*>(record_type)));
    static const FunctionSpec spec{
        .name = "log_traffic",
        .impl = log_traffic,
        .params = {{"master", "~Master | FixMaster | ModbusTCPMaster | AsyncModbusTCPMaster"},
                   {"logger", "~logging.Logger | None", none_default}},
        .returns = "~None",
        .doc =
            "Log the traffic of master: set its trace to a callable that logs each record at DEBUG level on\n"
            "logger, or on logging.getLogger(\"brel_modbus\") when logger is None: the direction, the frame\n"
            "in hexadecimal as last_command_sent_hex shows it, the station, the function code, the\n"
            "monotonic time and, for an answer, the outcome."};
    bind(ns, "log_traffic", build_function(spec));
}

}  // namespace brel
