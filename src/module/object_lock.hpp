// One reentrant lock per master object, so that threads sharing a master take turns
// for whole transactions (request and answer) instead of interleaving their bytes.
//
// The locks live beside the objects, not in their attribute dictionaries: an entry is
// made on first use and dropped by a weak-reference callback when the object goes. A
// thread that has to wait for the lock releases the interpreter lock while it waits, so
// the holder's I/O and other masters' transactions run on. An object that cannot be
// weakly referenced is not locked.
#pragma once

#include "module/arguments.hpp"
#include "module/ref.hpp"

namespace brel {

struct ObjectLockEntry;

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
