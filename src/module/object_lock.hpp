// Native state kept beside each master object: one reentrant lock per master object, so that threads sharing a master
// take turns for whole transactions (request and answer) instead of interleaving their bytes.
//
// The locks live beside the objects, not in their attribute dictionaries: an entry is
// made on first use and dropped by a weak-reference callback when the object goes. A
// thread that has to wait for the lock releases the interpreter lock while it waits, so
// the holder's I/O and other masters' transactions run on. An object that cannot be
// weakly referenced is not locked.
#pragma once

#include "module/arguments.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brel {

struct ObjectLockEntry;

// What a TCP master remembers of its requests that ended without their answer (a time-out,
// a broken answer): their transaction and unit identifiers, so that their answers, should
// they still come, are recognised and dropped. The most recent few are kept.
struct AbandonedRequest {
    std::uint16_t transaction;
    std::uint8_t unit;
};
inline constexpr std::size_t kAbandonedKept = 16;

// The master's abandoned requests, oldest first (empty for an object without native
// state); remember() adds one, forget() removes one whose answer has come.
std::vector<AbandonedRequest> abandoned_requests(PyObject* object);
void remember_abandoned(PyObject* object, AbandonedRequest request);
bool forget_abandoned(PyObject* object, std::uint16_t transaction, std::uint8_t unit);

class ObjectLock {
public:
    explicit ObjectLock(PyObject* object);
    ~ObjectLock();
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

private:
    ObjectLockEntry* entry_ = nullptr;
};

// A member body run with self's lock held: `locked<impl>` in a member table.
template <Ref (*F)(Args&)>
Ref locked(Args& a) {
    ObjectLock lock(a[0]);
    return F(a);
}

}  // namespace brel
