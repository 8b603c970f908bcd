// Native state kept beside an object: the lock and the attachments (native_state.hpp).
#include "module/native_state.hpp"

#include "module/runtime.hpp"

#include <pythread.h>

#include <memory>
#include <unordered_map>

namespace brel {

struct NativeState {
    PyThread_type_lock lock = nullptr;
    unsigned long owner = 0;  // thread holding the lock while depth > 0
    long depth = 0;
    PyObject* weakref = nullptr;  // owned; its callback removes the entry
    std::unique_ptr<Attachment> attachments[kAttachmentSlots];

    NativeState() = default;
    NativeState(const NativeState&) = delete;
    NativeState& operator=(const NativeState&) = delete;
    ~NativeState() {
        if (lock) PyThread_free_lock(lock);
        Py_XDECREF(weakref);
    }
};

namespace {

// Every access happens with the interpreter lock held.
std::unordered_map<PyObject*, NativeState*>& entries() {
    static auto* table = new std::unordered_map<PyObject*, NativeState*>();  // lives for the process
    return *table;
}

// The entry found last: a call looks its object up several times (lock, attachments).
LastObject<NativeState> last;

// The weak-reference callback: `key` is the address of the object that is going.
PyObject* forget(PyObject* key, PyObject*) {
    void* address = PyLong_AsVoidPtr(key);
    last.forget(address);
    auto& table = entries();
    auto it = table.find(static_cast<PyObject*>(address));
    if (it != table.end()) {
        NativeState* state = it->second;
        table.erase(it);
        // Nobody holds or waits for the lock: whoever did would keep the object alive.
        delete state;
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_native_state", forget, METH_O, nullptr};

NativeState* find(PyObject* object) noexcept {
    if (NativeState* state = last.find(object)) return state;
    auto& table = entries();
    auto it = table.find(object);
    if (it == table.end()) return nullptr;
    last.remember(object, it->second);
    return it->second;
}

NativeState* state_for(PyObject* object) {
    if (NativeState* state = find(object)) return state;
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(object))) return nullptr;
    Ref key = own(PyLong_FromVoidPtr(object));
    Ref callback = own(PyCFunction_New(&forget_def, key.get()));
    Ref weakref = own(PyWeakref_NewRef(object, callback.get()));
    auto state = std::make_unique<NativeState>();
    // An interpreter lock object, not std::mutex: std::mutex::try_lock binds to a symbol of
    // glibc 2.34, which would keep the wheel from older systems.
    state->lock = PyThread_allocate_lock();
    if (!state->lock) {
        PyErr_NoMemory();
        raise();
    }
    state->weakref = weakref.release();
    entries().emplace(object, state.get());
    return state.release();
}

}  // namespace

ObjectLock::ObjectLock(PyObject* object) {
    NativeState* state = state_for(object);
    if (!state) return;
    const unsigned long me = PyThread_get_thread_ident();
    if (state->depth > 0 && state->owner == me) {
        ++state->depth;
    } else {
        if (!PyThread_acquire_lock(state->lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(state->lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
        state->owner = me;
        state->depth = 1;
    }
    state_ = state;
}

ObjectLock::~ObjectLock() {
    if (!state_) return;
    if (--state_->depth == 0) {
        state_->owner = 0;
        PyThread_release_lock(state_->lock);
    }
}

Attachment* attachment_of(PyObject* object, std::size_t slot) noexcept {
    NativeState* state = find(object);
    return state ? state->attachments[slot].get() : nullptr;
}

Attachment* attach(PyObject* object, std::size_t slot, std::unique_ptr<Attachment> attachment) {
    NativeState* state = state_for(object);
    if (!state) return nullptr;
    state->attachments[slot] = std::move(attachment);
    return state->attachments[slot].get();
}

}  // namespace brel
