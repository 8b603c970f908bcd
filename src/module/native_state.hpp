// Native state kept beside an object, not in its attribute dictionary: a reentrant lock and a few attachments.
//
// The lock makes whole calls on one object take turns; the attachments hold whatever a
// class file keeps for each of its objects (each kind in its own slot). An entry is made
// on first use and dropped by a weak-reference callback when the object goes. An object
// that cannot be weakly referenced has no entry: it is not locked and has no attachments.
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
// One reentrant lock per object, so that threads sharing it take turns for whole calls
// instead of interleaving them. A thread that has to wait releases the interpreter lock
// while it waits, so the holder's work and other objects' calls run on.

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

// ---- attachments ------------------------------------------------------------------------

// Whatever native state a class keeps for each of its objects: each kind derives from
// this and names the slot it lives in (`static constexpr std::size_t kSlot`), one kind per
// slot, so that finding it needs no type test.
inline constexpr std::size_t kAttachmentSlots = 4;

class Attachment {
public:
    Attachment() = default;
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    virtual ~Attachment() = default;
};

// The object's attachment in `slot`, nullptr when there is none yet (makes nothing, so it
// never fails: for destructors).
Attachment* attachment_of(PyObject* object, std::size_t slot) noexcept;
// Owned by the object's native state from now on; nullptr (and dropped) when it has none.
Attachment* attach(PyObject* object, std::size_t slot, std::unique_ptr<Attachment> attachment);

// The object's attachment of kind T, made on first use; nullptr for an object without
// native state.
template <class T>
T* attached(PyObject* object) {
    static_assert(T::kSlot < kAttachmentSlots);
    if (Attachment* mine = attachment_of(object, T::kSlot)) return static_cast<T*>(mine);
    return static_cast<T*>(attach(object, T::kSlot, std::make_unique<T>()));
}
// The object's attachment of kind T if it has one; nullptr otherwise.
template <class T>
T* existing(PyObject* object) noexcept {
    return static_cast<T*>(attachment_of(object, T::kSlot));
}

}  // namespace brel
