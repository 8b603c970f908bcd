#include "module/object_lock.hpp"

#include <pythread.h>

#include <memory>
#include <unordered_map>

namespace brel {

struct ObjectLockEntry {
    PyThread_type_lock lock = nullptr;
    unsigned long owner = 0;  // thread holding the lock while depth > 0
    long depth = 0;
    PyObject* weakref = nullptr;              // owned; its callback removes the entry
    std::vector<AbandonedRequest> abandoned;  // oldest first, at most kAbandonedKept

    ObjectLockEntry() = default;
    ObjectLockEntry(const ObjectLockEntry&) = delete;
    ObjectLockEntry& operator=(const ObjectLockEntry&) = delete;
    ~ObjectLockEntry() {
        if (lock) PyThread_free_lock(lock);
        Py_XDECREF(weakref);
    }
};

namespace {

// Every access happens with the interpreter lock held.
std::unordered_map<PyObject*, ObjectLockEntry*>& entries() {
    static auto* table = new std::unordered_map<PyObject*, ObjectLockEntry*>();  // lives for the process
    return *table;
}

// The weak-reference callback: `key` is the address of the object that is going.
PyObject* forget(PyObject* key, PyObject*) {
    void* address = PyLong_AsVoidPtr(key);
    auto& table = entries();
    auto it = table.find(static_cast<PyObject*>(address));
    if (it != table.end()) {
        ObjectLockEntry* entry = it->second;
        table.erase(it);
        // Nobody holds or waits for the lock: whoever did would keep the object alive.
        delete entry;
    }
    Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_lock", forget, METH_O, nullptr};

ObjectLockEntry* entry_for(PyObject* object) {
    auto& table = entries();
    if (auto it = table.find(object); it != table.end()) return it->second;
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(object))) return nullptr;
    Ref key = own(PyLong_FromVoidPtr(object));
    Ref callback = own(PyCFunction_New(&forget_def, key.get()));
    Ref weakref = own(PyWeakref_NewRef(object, callback.get()));
    auto entry = std::make_unique<ObjectLockEntry>();
    entry->lock = PyThread_allocate_lock();
    if (!entry->lock) {
        PyErr_NoMemory();
        raise();
    }
    entry->weakref = weakref.release();
    table.emplace(object, entry.get());
    return entry.release();
}

}  // namespace

std::vector<AbandonedRequest> abandoned_requests(PyObject* object) {
    auto& table = entries();
    auto it = table.find(object);
    return it == table.end() ? std::vector<AbandonedRequest>{} : it->second->abandoned;
}

void remember_abandoned(PyObject* object, AbandonedRequest request) {
    ObjectLockEntry* entry = entry_for(object);
    if (!entry) return;
    auto& list = entry->abandoned;
    if (list.size() == kAbandonedKept) list.erase(list.begin());
    list.push_back(request);
}

bool forget_abandoned(PyObject* object, std::uint16_t transaction, std::uint8_t unit) {
    auto& table = entries();
    auto it = table.find(object);
    if (it == table.end()) return false;
    auto& list = it->second->abandoned;
    for (auto r = list.begin(); r != list.end(); ++r) {
        if (r->transaction == transaction && r->unit == unit) {
            list.erase(r);
            return true;
        }
    }
    return false;
}

ObjectLock::ObjectLock(PyObject* object) {
    ObjectLockEntry* entry = entry_for(object);
    if (!entry) return;
    const unsigned long me = PyThread_get_thread_ident();
    if (entry->depth > 0 && entry->owner == me) {
        ++entry->depth;
    } else {
        if (!PyThread_acquire_lock(entry->lock, NOWAIT_LOCK)) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(entry->lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        }
        entry->owner = me;
        entry->depth = 1;
    }
    entry_ = entry;
}

ObjectLock::~ObjectLock() {
    if (!entry_) return;
    if (--entry_->depth == 0) {
        entry_->owner = 0;
        PyThread_release_lock(entry_->lock);
    }
}

}  // namespace brel
