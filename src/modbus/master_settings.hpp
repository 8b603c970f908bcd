// A master's settings (retries, reconnect, recovery delay, the line's state) and the retry of a failed request.
#pragma once

#include "module/class_builder.hpp"
#include "module/native_state.hpp"

namespace brel {

// ---- settings ---------------------------------------------------------------------------
//
// Kept beside each master in its native state (module/native_state.hpp), not in its
// attribute dictionary, which holds exactly the master's documented attributes.

struct MasterSettings final : Attachment {
    static constexpr std::size_t kSlot = 0;

    long retries = 0;       // times a failed request is sent again
    bool reconnect = true;  // TCP: open a new connection after the old one broke
    bool broken = false;    // TCP: the connection was found closed or broken
    bool closed = false;    // closed by close(): never reopened
    Ref tls;                // TCP: the ssl_context each connection is wrapped with; null for plain TCP
    // RTU: after a transaction that did not end cleanly, the next request waits until the
    // line has been quiet this long (recovery_set), or the channel's time-out (not set).
    double recovery_delay = 0;
    bool recovery_set = false;
    // RTU: a request went out and its answer was never found sound; since when (seconds
    // of the steady clock, at the end of that transaction).
    bool line_unclean = false;
    double unclean_since = 0;
    // The traffic trace: a callable given each TrafficRecord (traffic.hpp), or empty.
    Ref trace;
};

// The settings of a master, made on first use; nullptr for an object without native state.
inline MasterSettings* settings_of(PyObject* object) { return attached<MasterSettings>(object); }
// The settings of a master that has them already; nullptr otherwise. Makes nothing, so
// it never fails (for destructors).
inline MasterSettings* existing_settings(PyObject* object) noexcept { return existing<MasterSettings>(object); }
// The settings as they stand, defaults for an object that has none yet.
struct SettingsNow {
    long retries = 0;
    bool reconnect = true;
    double recovery_delay = 0;
    bool recovery_set = false;
};
inline SettingsNow settings_now(PyObject* object) noexcept {
    const MasterSettings* s = existing_settings(object);
    if (!s) return {};
    return {s->retries, s->reconnect, s->recovery_delay, s->recovery_set};
}

// retries: how many times a request that failed after it went out (a time-out, a broken
// connection, a damaged or mismatched answer) is sent again; never after a slave's
// refusal or a broadcast. 0 by default, at most kMaxRetries.
inline constexpr int kMaxRetries = 100;
MemberSpec retries_member();
// reconnect (TCP): open a new connection before the next request once the old one was
// found closed or broken. True by default.
MemberSpec reconnect_member();

// ---- retries ----------------------------------------------------------------------------
//
// Every request the masters put on the line is counted here (per thread), so that a
// retry can tell a failure after the request went out from a refusal of the arguments
// before anything was sent.

struct SendRecord {
    unsigned long sends = 0;
    bool broadcast = false;  // the last request went to every station: never sent again
};
extern thread_local SendRecord send_record;

inline void note_send(bool broadcast) noexcept {
    ++send_record.sends;
    send_record.broadcast = broadcast;
}

// True when the pending exception may go away on a second try: a time-out, a broken
// connection, a damaged or mismatched answer (OSError, ValueError, AssertionError); never
// a refusal by the slave (SlaveException) or anything else.
bool worth_retrying();

// A member body sent again, up to the master's `retries` times, when it fails after its
// request went out and worth_retrying() says so: `retried<impl>` in a member table.
template <Ref (*F)(Args&)>
Ref retried(Args& a) {
    long left = settings_now(a[0]).retries;
    for (;;) {
        const unsigned long before = send_record.sends;
        try {
            return F(a);
        } catch (const PyError&) {
            if (left <= 0 || send_record.sends == before || send_record.broadcast || !worth_retrying()) throw;
            --left;
            PyErr_Clear();
        }
    }
}

}  // namespace brel
