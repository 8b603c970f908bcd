// Waits on the serial channel beyond single reads: the quiet line an RTU master waits for
// after a transaction that did not end cleanly, and the deadline of an answer read in
// several pieces. Both work through the channel members the master uses anyway (read,
// in_waiting, timeout): the channel's time-out is set for a read and put back after.
#pragma once

#include "modbus/rtu_exchange.hpp"
#include "module/ref.hpp"

namespace brel::line {

// Seconds of the steady clock.
double now() noexcept;

// The channel's time-out as a recovery delay: a finite positive number of seconds, else 0
// (None, no `timeout` member, anything that is no number). Never raises.
double delay_of_timeout(PyObject* channel) noexcept;

// The value given to `recovery_delay`, checked: a finite number of seconds, 0 or more.
// TypeError for a bool or anything that is no number, ValueError for a negative, NaN or
// infinite one.
double checked_delay(PyObject* value);

// The longest recovery wait, as a multiple of the delay (rtu_exchange.hpp).
using modbus::kRecoveryBound;

// Waits until the channel has received nothing for `delay` seconds, counted from
// `quiet_since` (steady-clock seconds, when the line was last known quiet) while nothing
// waits unread, and reads away whatever arrives meanwhile; at most kRecoveryBound * delay.
// A read that returns nothing is taken as a quiet line (a read waits the time-out it was
// given). Nothing happens on a channel whose `timeout` cannot be read.
void wait_for_quiet(PyObject* channel, double delay, double quiet_since);

// The channel's time-out, changed for a while: put back by restore(), or by the
// destructor when an error left the scope (the error is kept).
class TimeoutChange {
public:
    explicit TimeoutChange(PyObject* channel);
    ~TimeoutChange();
    TimeoutChange(const TimeoutChange&) = delete;
    TimeoutChange& operator=(const TimeoutChange&) = delete;

    // False when the channel's `timeout` could not be read: then set() does nothing.
    bool usable() const noexcept { return static_cast<bool>(old_); }
    // The time-out as it was, or null.
    PyObject* old() const noexcept { return old_.get(); }
    void set(double seconds);
    void restore();

private:
    PyObject* channel_;
    Ref old_;
    bool changed_ = false;
};

// A deadline of one channel time-out for the reads of an answer. Before each read,
// before_read() sets the channel's time-out to what is left of it, or returns false when
// nothing is left. No deadline (the reads keep the channel's own time-out) when that is
// not a positive number.
class ReadDeadline {
public:
    explicit ReadDeadline(PyObject* channel);
    bool before_read();
    void restore() { change_.restore(); }

private:
    TimeoutChange change_;
    double deadline_ = 0;
    bool active_ = false;
};

}  // namespace brel::line
