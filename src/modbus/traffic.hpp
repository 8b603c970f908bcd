// The traffic trace: a record of each frame a master sends and receives, handed to the master's trace callable.
#pragma once

#include "modbus/master_settings.hpp"
#include "module/class_builder.hpp"

namespace brel {

// The master's trace callable (borrowed), nullptr when it has none: one look at settings
// the caller holds already, so a master without a trace pays for nothing more.
inline PyObject* trace_of(const MasterSettings* settings) noexcept {
    return settings ? settings->trace.get() : nullptr;
}

// Hands one TrafficRecord to `trace`: direction "sent" or "received", the frame's bytes (a
// bytes object or anything bytes() takes), the monotonic time now, the request's station and
// function code, and the outcome (nullptr for a request: None). Never fails and never
// changes a pending exception: an exception of the callable goes to sys.unraisablehook.
void trace_frame(PyObject* trace, const char* direction, PyObject* data, long station, long function,
                 const char* outcome) noexcept;

// The outcome of an exchange that ends now: the kind of the pending exception (its
// failure_name), "answer" when none is pending.
const char* ending_outcome() noexcept;

// The trace property of Master and ModbusTCPMaster: None or a callable of one record.
MemberSpec trace_member();

// Makes TrafficRecord and log_traffic and binds them (after the family of errors).
void bind_traffic(PyObject* ns);

}  // namespace brel
