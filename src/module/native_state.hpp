// Native state kept beside each master object, not in its attribute dictionary (which
// holds exactly the master's documented attributes): the lock that makes whole
// transactions take turns, the master's settings (retries, reconnect, the RTU recovery
// delay and whether the serial line is clean), and one attachment that a class file
// defines for itself.
//
// An entry is made on first use and dropped by a weak-reference callback when the object
// goes. An object that cannot be weakly referenced has no entry: it is not locked and
// keeps the default settings.
#pragma once

#include "module/arguments.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brel {

struct NativeState;

// ---- the lock ---------------------------------------------------------------------------
//
// One reentrant lock per master, so that threads sharing a master take turns for whole
// transactions (request and answer) instead of interleaving their bytes. A thread that
// has to wait releases the interpreter lock while it waits, so the holder's I/O and
// other masters' transactions run on.

class ObjectLock {
public:
    explicit ObjectLock(PyObject* object);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    NativeState* state_ = nullptr;
};

// A member body run with self's lock held: `locked<impl>` in a member table.
template <Ref (*F)(Args&)>
Ref locked(Args& a) {
    ObjectLock lock(a[0]);
    return F(a);
}

// ---- settings ---------------------------------------------------------------------------

struct MasterSettings {
    long retries = 0;       // times a failed request is sent again
    bool reconnect = true;  // TCP: open a new connection after the old one broke
    bool broken = false;    // TCP: the connection was found closed or broken
    bool closed = false;    // closed by close(): never reopened
    // RTU: after a transaction that did not end cleanly, the next request waits until the
    // line has been quiet this long (recovery_set), or the channel's time-out (not set).
    double recovery_delay = 0;
    bool recovery_set = false;
    // RTU: a request went out and its answer was never found sound; since when (seconds
    // of the steady clock, at the end of that transaction).
    bool line_unclean = false;
    double unclean_since = 0;
};

// The settings of a master, made on first use; nullptr for an object without native state.
MasterSettings* settings_of(PyObject* object);
// The settings as they stand, defaults for an object that has none yet.
MasterSettings settings_now(PyObject* object);
// The settings of a master that has them already; nullptr otherwise. Makes nothing, so
// it never fails (for destructors).
MasterSettings* existing_settings(PyObject* object) noexcept;

// ---- an attachment ------------------------------------------------------------------------

// Whatever native state a class keeps for each of its objects beyond the settings: the
// class file derives its own kind from this.
class Attachment {
public:
    Attachment() = default;
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    virtual ~Attachment() = default;
};

// The object's attachment of kind T, made on first use (in place of one of another kind);
// nullptr for an object without native state.
Attachment* attachment_of(PyObject* object);
// Owned by the object's native state from now on; nullptr (and dropped) when it has none.
Attachment* attach(PyObject* object, std::unique_ptr<Attachment> attachment);
template <class T>
T* attached(PyObject* object) {
    if (auto* mine = dynamic_cast<T*>(attachment_of(object))) return mine;
    return static_cast<T*>(attach(object, std::make_unique<T>()));
}

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
