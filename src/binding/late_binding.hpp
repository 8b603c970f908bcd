// Late binding: the one place that decides whether a name, a class member or a step is still the library's own.
//
// The library looks things up at call time (a module-level name, a member on the
// instance, a helper on ModbusStatic), and where speed matters it runs its own C++ body
// directly while what was looked up is still its own. Whether that holds is answered here
// only, in one vocabulary:
//
// - a namespace verdict (NamespaceVerdict, RememberedGlobal, BREL_GLOBAL): a yes on what
//   the module namespace (and the dictionaries watched beside it, such as the array
//   module's) holds, kept while a dictionary watcher counts no change to them (3.12 on;
//   before, every look-up is made again);
// - a type verdict (TypeVerdict): a yes on a class, kept while its version tag is the
//   same (the interpreter gives a class a new tag whenever an attribute of it or of a
//   base is set or deleted), and only when every class entry the check read is steady
//   (steady_class_entry): the same object at every look-up;
// - a step table (StepTable, one per class): the class's steps, each a name and the
//   library's body, written once; a step is the library's own on an instance when the
//   class's type verdict vouches for every step and the instance's __dict__ hides none.
//
// Three mechanisms keep these yeses: the namespace watcher's count, the version tag, and
// an object's life (LastObject: a memo of one object, dropped by the weak-reference
// callback that runs when the object goes). Every version test of the interpreter
// outside compat.hpp is in this file pair.
#pragma once

#include "module/function.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace brel {

// The namespace of the recorded module (borrowed; defined with the runtime).
extern PyObject* module_namespace;
// A module-level name at call time: the module namespace, then the builtins (runtime).
Ref global(PyObject* name);

// ---- namespace verdicts -----------------------------------------------------------------
//
// From CPython 3.12 on the interpreter tells a dictionary's watchers of every change to
// it. The module namespace, and the dictionaries watched beside it, are watched by one
// watcher that counts their changes: a verdict on what they hold, taken when the count
// was c, still holds while the count is c. The count is 0 while they are not all watched
// (before 3.12, or when the interpreter has no watcher left): then no verdict may be kept
// and every look-up is made again.
inline std::uint64_t namespace_epoch() noexcept;
// Watches `dict` beside the module namespace; when it cannot be, namespace_epoch() is 0
// from then on. Any exception pending when it is called is left as it was.
void watch_beside_namespace(PyObject* dict) noexcept;

// A module-level name's value as global() finds it in the module namespace, remembered
// at a namespace epoch: while the epoch is the same the namespace still holds it.
struct RememberedGlobal {
    PyObject* value = nullptr;  // borrowed from the namespace
    std::uint64_t epoch = 0;    // 0: nothing remembered
};
// global(name), remembered in `memo` while the namespaces are unchanged.
inline Ref global(PyObject* name, RememberedGlobal& memo);

namespace detail {
extern std::uint64_t namespace_count;
extern PyObject* watched_namespace;
std::uint64_t watch_module_namespace() noexcept;
Ref global_looked_up(PyObject* name, RememberedGlobal& memo, std::uint64_t now);
}  // namespace detail

inline std::uint64_t namespace_epoch() noexcept {
    if (detail::watched_namespace != module_namespace) return detail::watch_module_namespace();
    return detail::namespace_count;
}

inline Ref global(PyObject* name, RememberedGlobal& memo) {
    const std::uint64_t now = namespace_epoch();
    if (now != 0 && memo.epoch == now) return Ref::borrow(memo.value);
    return detail::global_looked_up(name, memo, now);
}

// A yes on what the namespaces hold, remembered while they are unchanged.
class NamespaceVerdict {
public:
    // True when remembered, or when `check` (the look-ups themselves) says so now.
    template <class Check>
    bool holds(Check&& check) {
        const std::uint64_t now = namespace_epoch();
        if (now != 0 && at_ == now) return true;
        if (!check()) return false;
        if (namespace_epoch() == now) at_ = now;  // unless the check itself saw a change
        return true;
    }

private:
    std::uint64_t at_ = 0;
};

// ---- type verdicts ------------------------------------------------------------------------

// True when `entry`, a class's attribute as its dict holds it (_PyType_Lookup: no __get__
// asked), gives the same object at every look-up while the class is unchanged: a function
// object of this module, a staticmethod or property of the interpreter's own types around
// one, or a value that is no descriptor at all. Any other descriptor is asked through its
// __get__ at each use, so a verdict that read one is not remembered.
bool steady_class_entry(PyObject* entry);

// A yes on one class, remembered against its version tag. Only a class of the plain
// metatype is remembered (its attribute look-up is the interpreter's own), and only when
// each class entry that the check read under `names` is steady; a check that reads the
// class dict itself and takes only steady entries passes no names.
class TypeVerdict {
public:
    // True when `type` is the class remembered and its tag has not changed since.
    bool current(PyTypeObject* type) const noexcept {
        return type == type_ && tag_ != 0 && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
               type->tp_version_tag == tag_;
    }
    // Remembers `type` at its tag as it stands (nothing when it has no valid tag).
    void record(PyTypeObject* type) noexcept {
        type_ = type;
        tag_ = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }
    void forget() noexcept {
        type_ = nullptr;
        tag_ = 0;
    }

    // True when `cls` is the class remembered and unchanged since, or when `check` (the
    // look-ups as the general road makes them) says so now.
    template <class Check>
    bool holds(PyObject* cls, std::initializer_list<PyObject*> names, Check&& check) {
        const bool plain = PyType_CheckExact(cls);
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (plain && current(type)) return true;
        if (!check()) return false;
        forget();
        if (plain) {  // the tag as the look-ups left it
            for (PyObject* name : names)
                if (!steady_class_entry(_PyType_Lookup(type, name))) return true;  // a yes for this use only
            record(type);
        }
        return true;
    }
    template <class Check>
    bool holds(PyTypeObject* type, std::initializer_list<PyObject*> names, Check&& check) {
        return holds(reinterpret_cast<PyObject*>(type), names, static_cast<Check&&>(check));
    }

private:
    PyTypeObject* type_ = nullptr;  // compared, never dereferenced unless it is the class asked about
    unsigned int tag_ = 0;
};

// ---- step tables ----------------------------------------------------------------------------
//
// The steps of a class are the members that its other members reach through attribute
// look-up on the instance, so that a subclass, the class or the instance may replace
// them. A class's table names each step once, with the library's body for it. A step is
// the library's own on an instance when the class looks attributes up and stores them the
// generic way, holds the library's body under every step's name, defines none of the
// names the class keeps in the instance's __dict__ (`kept`), and the instance's __dict__
// holds none of the steps' names. Then the body may be called directly, with the entry
// checks it would have had; otherwise the call goes through the interpreter.

// How a step sits in the class: a function object, or the interpreter's staticmethod or
// property around one (the property's getter).
enum class StepKind : std::uint8_t { Method, Static, Property };

struct Step {
    const char* name;  // as it is looked up on the instance (private names mangled)
    Impl impl;         // the library's body, as the member table has it
    StepKind kind = StepKind::Method;
};

class StepTable {
public:
    StepTable(std::initializer_list<Step> steps, std::initializer_list<const char*> kept);

    // The interned name of step `i`.
    PyObject* name(std::size_t i) const noexcept { return names_[i]; }
    // The library's body of step `i`.
    Impl impl(std::size_t i) const noexcept { return impls_[i]; }
    std::size_t size() const noexcept { return count_; }

    // True when `type` holds the library's body under every step's name, looks attributes
    // up and stores them the generic way and defines none of the kept names; a type
    // verdict.
    bool plain_class(PyTypeObject* type);
    // True when self.<kept name> is read and stored straight in the instance's __dict__.
    bool kept(PyTypeObject* type, PyObject* name);
    // True when self.<step i> is the library's own body.
    bool own(PyObject* self, std::size_t i);

private:
    static constexpr std::size_t kMax = 16;
    std::size_t count_ = 0;
    std::size_t kept_count_ = 0;
    PyObject* names_[kMax] = {};
    Impl impls_[kMax] = {};
    StepKind kinds_[kMax] = {};
    PyObject* kept_[kMax] = {};
    TypeVerdict plain_;
};

// ---- methods ----------------------------------------------------------------------------------

// What self.<name> is, looked up as the interpreter looks up a method it is about to call
// (up to 3.12 without making a bound method and without turning the instance's attribute
// storage into a dict; from 3.13 on, where that look-up is internal, through the bound
// method):
// - Own: the library's function with body `impl`, found on the class and not shadowed;
// - Unbound: another function found on the class (`method`), to be called with self first;
// - Bound: anything else (`method`), to be called as it is.
enum class MethodFound { Own, Unbound, Bound };
MethodFound method_of(PyObject* self, PyObject* name, Impl impl, Ref& method);

// ---- objects ----------------------------------------------------------------------------------

// What was found for one object, kept until that object goes: the holder's weak-reference
// callback calls forget() with the object's address.
template <class T>
class LastObject {
public:
    T* find(PyObject* object) const noexcept { return object == object_ ? value_ : nullptr; }
    void remember(PyObject* object, T* value) noexcept {
        object_ = object;
        value_ = value;
    }
    void forget(const void* object) noexcept {
        if (object == object_) remember(nullptr, nullptr);
    }

private:
    const void* object_ = nullptr;  // compared, never dereferenced
    T* value_ = nullptr;
};

}  // namespace brel
