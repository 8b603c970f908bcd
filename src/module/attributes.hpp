// Instance attributes read and written straight in the instance's __dict__, the one way the library does it.
//
// `self.name` and `self.name = value` go straight to the instance's __dict__ when the caller
// has found that nothing can come between (the class looks attributes up the generic way
// and defines no descriptor of those names): the interpreter would do the same there. In
// every other case, and for a name the dict does not hold (for its error), they go through
// the attribute protocol.
#pragma once

#include "module/runtime.hpp"

namespace brel {

// The instance's own __dict__; null, and no error set, for an object without one.
inline Ref instance_dict(PyObject* self) {
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
    if (!dict) PyErr_Clear();
    return dict;
}

class DirectAttributes {
public:
    // `direct`: the caller's finding that the instance's __dict__ may be used directly.
    DirectAttributes(PyObject* self, bool direct) : self_(self) {
        if (direct) dict_ = instance_dict(self);
    }
    Ref get(PyObject* name) const {
        if (dict_) {
            if (PyObject* value = PyDict_GetItemWithError(dict_.get(), name)) return Ref::borrow(value);
            if (PyErr_Occurred()) raise();
        }
        return getattr(self_, name);
    }
    void set(PyObject* name, PyObject* value) const {
        if (dict_) {
            check(PyDict_SetItem(dict_.get(), name, value));
            return;
        }
        setattr(self_, name, value);
    }

private:
    PyObject* self_;
    Ref dict_;
};

}  // namespace brel
