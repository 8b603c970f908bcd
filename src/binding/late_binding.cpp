// Late binding: the namespace watcher, the steadiness of class entries and the step tables.
#include "binding/late_binding.hpp"

#include "module/attributes.hpp"
#include "module/runtime.hpp"

namespace brel {

// ---- namespace verdicts -----------------------------------------------------------------

namespace detail {
std::uint64_t namespace_count = 0;
PyObject* watched_namespace = nullptr;  // compared with module_namespace, never dereferenced
}  // namespace detail

namespace {

#if PY_VERSION_HEX >= 0x030C0000
int namespace_watcher = -1;    // -1: not added yet; -2: none to be had
bool namespaces_whole = true;  // false once a dict could not be watched: the count stays 0

// Any change at all, of any name (or of the whole dict: key null), counts: the watched
// dicts change rarely, so there is nothing to gain from sorting their names here.
int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    if (namespaces_whole) ++detail::namespace_count;
    return 0;
}

void watch_namespace_dict(PyObject* dict) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (namespace_watcher == -1) {
        namespace_watcher = PyDict_AddWatcher(namespace_changed);
        if (namespace_watcher < 0) namespace_watcher = -2;
    }
    if (namespace_watcher < 0 || !dict || PyDict_Watch(namespace_watcher, dict) < 0) namespaces_whole = false;
    // nothing judged before the watch is kept (the count never comes back to a value it had)
    detail::namespace_count = namespaces_whole ? detail::namespace_count + 1 : 0;
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}
#endif

}  // namespace

namespace detail {

std::uint64_t watch_module_namespace() noexcept {
    watched_namespace = module_namespace;
#if PY_VERSION_HEX >= 0x030C0000
    if (module_namespace) watch_namespace_dict(module_namespace);
    return module_namespace ? namespace_count : 0;
#else
    return 0;
#endif
}

Ref global_looked_up(PyObject* name, RememberedGlobal& memo, std::uint64_t now) {
    if (now != 0) {
        if (PyObject* v = PyDict_GetItemWithError(module_namespace, name)) {
            memo = {v, now};
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) raise();
    }
    return global(name);
}

}  // namespace detail

void watch_beside_namespace(PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    watch_namespace_dict(dict);
#else
    (void)dict;
#endif
}

// ---- type verdicts ------------------------------------------------------------------------

bool steady_class_entry(PyObject* entry) {
    if (!entry || is_library_function(entry) || !Py_TYPE(entry)->tp_descr_get) return true;
    const bool wrapper = Py_IS_TYPE(entry, &PyStaticMethod_Type) || Py_IS_TYPE(entry, &PyProperty_Type);
    if (!wrapper) return false;
    Ref inner =
        Ref::steal_or_null(PyObject_GetAttrString(entry, Py_IS_TYPE(entry, &PyProperty_Type) ? "fget" : "__func__"));
    if (!inner) PyErr_Clear();
    return inner && is_library_function(inner.get());
}

// ---- step tables ----------------------------------------------------------------------------

StepTable::StepTable(std::initializer_list<Step> steps, std::initializer_list<const char*> kept) {
    if (steps.size() > kMax || kept.size() > kMax) raise(PyExc_SystemError, "brel_modbus: step table too long");
    for (const Step& step : steps) {
        names_[count_] = intern_forever(step.name);
        kinds_[count_] = step.kind;
        impls_[count_++] = step.impl;
    }
    for (const char* name : kept) kept_[kept_count_++] = intern_forever(name);
}

namespace {
// True when `found`, a class's entry as its dict holds it, is the library's `impl` sitting
// as `kind` says: each of these gives the same object at every look-up (steady_class_entry).
bool holds_body(PyObject* found, Impl impl, StepKind kind) {
    if (!found) return false;
    switch (kind) {
        case StepKind::Method:
            return is_function_with(found, impl);
        case StepKind::Static:
        case StepKind::Property: {
            const bool property = kind == StepKind::Property;
            if (!Py_IS_TYPE(found, property ? &PyProperty_Type : &PyStaticMethod_Type)) return false;
            Ref inner = getattr(found, property ? BREL_STR("fget") : BREL_STR("__func__"));
            return is_function_with(inner.get(), impl);
        }
    }
    return false;
}
}  // namespace

bool StepTable::plain_class(PyTypeObject* type) {
    // The check reads the class dict itself and takes only the library's own functions.
    return plain_.holds(type, {}, [&] {
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
        for (std::size_t i = 0; i < count_; ++i) {
            PyObject* found = _PyType_Lookup(type, names_[i]);  // borrowed
            if (!holds_body(found, impls_[i], kinds_[i])) return false;
        }
        for (std::size_t i = 0; i < kept_count_; ++i)
            if (_PyType_Lookup(type, kept_[i])) return false;
        return true;
    });
}

bool StepTable::kept(PyTypeObject* type, PyObject* name) {
    for (std::size_t i = 0; i < kept_count_; ++i)
        if (kept_[i] == name) return plain_class(type);
    return false;
}

namespace {
// True when self's __dict__ holds `name` (an object without a __dict__ hides nothing).
bool instance_has(PyObject* self, PyObject* name) {
    Ref dict = instance_dict(self);
    return dict && check(PyDict_Contains(dict.get(), name)) != 0;
}
}  // namespace

bool StepTable::own(PyObject* self, std::size_t i) {
    PyTypeObject* type = Py_TYPE(self);
    if (plain_class(type)) return !instance_has(self, names_[i]);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, names_[i]);  // borrowed
    return holds_body(found, impls_[i], kinds_[i]) && !instance_has(self, names_[i]);
}

// ---- methods ------------------------------------------------------------------------------

MethodFound method_of(PyObject* self, PyObject* name, Impl impl, Ref& method) {
#if PY_VERSION_HEX < 0x030D0000
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(self, name, &found);
    method = own(found);
    if (unbound) return is_function_with(method.get(), impl) ? MethodFound::Own : MethodFound::Unbound;
#else
    method = getattr(self, name);
    if (PyMethod_Check(method.get()) && PyMethod_GET_SELF(method.get()) == self &&
        is_function_with(PyMethod_GET_FUNCTION(method.get()), impl))
        return MethodFound::Own;
#endif
    return MethodFound::Bound;
}

}  // namespace brel
