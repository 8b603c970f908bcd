// The quiet line and the deadline of an answer in pieces, over the serial channel (serial_line.hpp).
#include "modbus/serial_line.hpp"

#include "channel/serial_channel.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace brel::line {

double now() noexcept {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double delay_of_timeout(PyObject* channel) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    double seconds = 0;
    if (PyObject* timeout = PyObject_GetAttr(channel, BREL_STR("timeout"))) {
        if (timeout != Py_None && !PyBool_Check(timeout)) seconds = PyFloat_AsDouble(timeout);
        Py_DECREF(timeout);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

double checked_delay(PyObject* value) {
    if (PyBool_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "recovery_delay must be a number of seconds or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "recovery_delay must be a number of seconds or None, not %.200s",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    if (!std::isfinite(seconds) || seconds < 0) {
        PyErr_Format(PyExc_ValueError, "recovery_delay must be a finite number of seconds, 0 or more: %R", value);
        raise();
    }
    return seconds;
}

TimeoutChange::TimeoutChange(PyObject* channel) : channel_(channel) {
    old_ = Ref::steal_or_null(PyObject_GetAttr(channel, BREL_STR("timeout")));
    if (!old_) PyErr_Clear();
}

TimeoutChange::~TimeoutChange() {
    if (!changed_) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyObject_SetAttr(channel_, BREL_STR("timeout"), old_.get()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

void TimeoutChange::set(double seconds) {
    if (!old_) return;
    Ref value = own(PyFloat_FromDouble(seconds));
    changed_ = true;
    channel::set_timeout(channel_, value.get());
}

void TimeoutChange::restore() {
    if (!changed_) return;
    changed_ = false;
    channel::set_timeout(channel_, old_.get());
}

void wait_for_quiet(PyObject* channel, double delay, double quiet_since) {
    TimeoutChange timeout(channel);
    if (!timeout.usable()) return;
    const double start = now();
    const double give_up = start + kRecoveryBound * delay;
    quiet_since = std::min(quiet_since, start);
    Ref one = own(PyLong_FromLong(1));
    Ref zero = own(PyLong_FromLong(0));
    // What waits unread arrived after the line was last known quiet: read away, and the
    // quiet time starts again.
    auto drop_waiting = [&] {
        Ref waiting = channel::in_waiting(channel);
        if (check(PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT)) == 0) return false;
        channel::read(channel, waiting.get());
        return true;
    };
    if (drop_waiting()) quiet_since = now();
    double set_to = -1;
    for (;;) {
        const double t = now();
        double left = quiet_since + delay - t;
        if (left <= 0 || t >= give_up) break;
        left = std::min(left, give_up - t);
        if (std::fabs(left - set_to) > 0.001) {  // a millisecond either way is the same wait
            timeout.set(left);
            set_to = left;
        }
        Ref data = channel::read(channel, one.get());
        if (check_size(PyObject_Length(data.get())) == 0) break;  // quiet for what was left
        drop_waiting();
        quiet_since = now();
    }
    timeout.restore();
}

ReadDeadline::ReadDeadline(PyObject* channel) : change_(channel) {
    if (!change_.usable()) return;
    PyObject* old = change_.old();
    if (old == Py_None || PyBool_Check(old)) return;
    const double seconds = PyFloat_AsDouble(old);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    if (!std::isfinite(seconds) || seconds <= 0) return;
    deadline_ = now() + seconds;
    active_ = true;
}

bool ReadDeadline::before_read() {
    if (!active_) return true;
    const double left = deadline_ - now();
    if (left <= 0) return false;
    change_.set(left);
    return true;
}

}  // namespace brel::line
