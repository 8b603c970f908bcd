// The function object that carries every function and method of the module (function.hpp).
#include "module/function.hpp"

#include "module/runtime.hpp"

#include <cstddef>
#include <new>
#include <string_view>

namespace brel {
namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* signature_cache;
    Signature sig;
    Rule returns;
    const char* returns_text;
    Impl impl;
    const void* data;
    const char* owner;  // the class named in the member table; nullptr at module level
};

extern PyTypeObject function_type;

// The empty str that clearing puts in place of a str subclass name; made with the type.
PyObject* empty_name = nullptr;

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&] {
        Function* f = as_function(self);
        Args parsed;
        parsed.data = f->data;
        parse(f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        Ref result = f->impl(parsed);
        if (!result) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "brel_modbus: a function body returned no value");
            raise();
        }
        check_return(f->returns, result.get());
        return result.release();
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    return guarded([&] {
        if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
        return PyMethod_New(self, obj);
    });
}

// What the collector may see and break. Every field that can hold an arbitrary object is
// visited: __dict__, __annotations__ (a dict anyone can fill), __module__ and __doc__
// (settable to anything), the cached signature (it holds the annotations), and __name__
// and __qualname__ (a str subclass instance can refer back to the function). The
// defaults are visited too, although they are ints, floats, bools, str and None fixed when the
// function is made.
int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature_cache);
    Py_VISIT(f->sig.defaults);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    return 0;
}

// The collector may clear a function that other members of a dying cycle still call or
// print, so clearing leaves everything a call and repr() read: the parameter names and
// defaults (interned str and immutable values, no cycle can pass through them) stay, and
// __name__ and __qualname__ stay set, as an empty str when they held a str subclass
// instance (the only way a cycle passes through them). The readers of the fields
// cleared here treat NULL as absent.
int function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature_cache);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    if (!PyUnicode_CheckExact(f->name)) Py_SETREF(f->name, Py_NewRef(empty_name));
    if (!PyUnicode_CheckExact(f->qualname)) Py_SETREF(f->qualname, Py_NewRef(empty_name));
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->sig.defaults);
    for (PyObject*& n : f->sig.names) Py_CLEAR(n);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    return guarded([&] { return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self); });
}

// Attribute access: plain object slots.
template <std::size_t Offset>
PyObject*& slot_at(PyObject* self) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
}
// A slot read as None when it is empty (deleted, or cleared by the collector).
template <std::size_t Offset>
PyObject* get_slot(PyObject* self, void*) noexcept {
    return guarded([&] {
        PyObject* v = slot_at<Offset>(self);
        return Py_NewRef(v ? v : Py_None);
    });
}
// __module__ and __doc__: any object; deleting leaves None, as for a Python function.
template <std::size_t Offset>
int set_any(PyObject* self, PyObject* value, void*) noexcept {
    return guarded([&] {
        Py_XSETREF(slot_at<Offset>(self), Py_XNewRef(value));
        return 0;
    });
}
// __name__ and __qualname__: a str, never deleted. The closure is the attribute's name.
template <std::size_t Offset>
int set_text(PyObject* self, PyObject* value, void* closure) noexcept {
    return guarded([&] {
        if (value == nullptr || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
            raise();
        }
        Py_SETREF(slot_at<Offset>(self), Py_NewRef(value));
        return 0;
    });
}

// The annotations dict, made again (empty) if the collector cleared it.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    return guarded([&] {
        Function* f = as_function(self);
        if (!f->annotations) f->annotations = own(PyDict_New()).release();
        return Py_NewRef(f->annotations);
    });
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return guarded([&] {
        PyObject* d = as_function(self)->sig.defaults;
        return Py_NewRef(d ? d : Py_None);
    });
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// inspect.Signature built from the parameter table, made on first use.
Ref make_signature(Function* f) {
    Ref inspect = own(PyImport_ImportModule("inspect"));
    Ref parameter = own(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = own(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref positional = own(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_keyword = own(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
    // Held here: the calls below run Python code, which may replace f->annotations.
    Ref annotations = Ref::borrow(f->annotations);
    Ref params = own(PyList_New(0));
    for (int i = 0; i <= f->sig.count; ++i) {
        Ref kw = own(PyDict_New());
        PyObject* name;
        if (i == f->sig.count) {
            if (!f->sig.kwargs) break;
            name = BREL_STR("kwargs");
            check(PyDict_SetItemString(kw.get(), "kind", var_keyword.get()));
        } else {
            name = f->sig.names[i];
            check(PyDict_SetItemString(kw.get(), "kind", positional.get()));
            if (i >= f->sig.required)
                check(
                    PyDict_SetItemString(kw.get(), "default", PyTuple_GET_ITEM(f->sig.defaults, i - f->sig.required)));
        }
        if (annotations) {
            if (PyObject* a = PyDict_GetItemWithError(annotations.get(), name))
                check(PyDict_SetItemString(kw.get(), "annotation", a));
            else if (PyErr_Occurred())
                raise();
        }
        check(PyDict_SetItemString(kw.get(), "name", name));
        Ref empty = own(PyTuple_New(0));
        Ref p = own(PyObject_Call(parameter.get(), empty.get(), kw.get()));
        check(PyList_Append(params.get(), p.get()));
    }
    Ref kw = own(PyDict_New());
    if (f->returns_text) {
        Ref text = own(PyUnicode_FromString(f->returns_text));
        check(PyDict_SetItemString(kw.get(), "return_annotation", text.get()));
    }
    Ref args = own(PyTuple_Pack(1, params.get()));
    return own(PyObject_Call(signature.get(), args.get(), kw.get()));
}

PyObject* get_signature(PyObject* self, void*) noexcept {
    return guarded([&] {
        Function* f = as_function(self);
        if (!f->signature_cache) {
            Ref made = make_signature(f);
            if (!f->signature_cache) f->signature_cache = made.release();  // unless made meanwhile
        }
        return Py_NewRef(f->signature_cache);
    });
}

#define BREL_SLOT(field) offsetof(Function, field)
PyGetSetDef function_getset[] = {
    {"__name__", get_slot<BREL_SLOT(name)>, set_text<BREL_SLOT(name)>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_slot<BREL_SLOT(qualname)>, set_text<BREL_SLOT(qualname)>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__module__", get_slot<BREL_SLOT(module)>, set_any<BREL_SLOT(module)>, nullptr, nullptr},
    {"__doc__", get_slot<BREL_SLOT(doc)>, set_any<BREL_SLOT(doc)>, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef BREL_SLOT

PyTypeObject function_type = [] {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "brel_modbus.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

// The object that a declared default stands for.
Ref make_default(const Default& d) {
    switch (d.kind) {
        case Default::None:
            return Ref::borrow(Py_None);
        case Default::Int:
            return own(PyLong_FromLongLong(d.number));
        case Default::Bool:
            return Ref::borrow(d.number ? Py_True : Py_False);
        case Default::Str:
            return own(PyUnicode_FromString(d.text));
        case Default::Float:
            return own(PyFloat_FromDouble(d.real));
        case Default::Bytes:
            return own(PyBytes_FromString(d.text));
        case Default::Global: {
            std::string_view dotted(d.text);
            const auto dot = dotted.find('.');
            Ref owner = global(own(PyUnicode_FromStringAndSize(d.text, dot)).get());
            return own(PyObject_GetAttrString(owner.get(), d.text + dot + 1));
        }
        case Default::Required:
            break;
    }
    raise(PyExc_SystemError, "brel_modbus: parameter without default");
}

}  // namespace

int ready_function_type() noexcept {
    if (!empty_name && !(empty_name = PyUnicode_New(0, 0))) return -1;  // kept for the process
    return PyType_Ready(&function_type);
}

bool is_function_with(PyObject* callable, Impl impl) noexcept {
    return Py_IS_TYPE(callable, &function_type) && as_function(callable)->impl == impl;
}

bool is_library_member(PyObject* callable, const char* owner, const char* name) noexcept {
    if (!Py_IS_TYPE(callable, &function_type)) return false;
    const Function* f = as_function(callable);
    return f->owner && std::string_view(f->owner) == owner && std::string_view(f->sig.name) == name;
}

bool is_library_function(PyObject* object) noexcept { return Py_IS_TYPE(object, &function_type); }

Ref make_function(const FunctionSpec& spec, const char* qualname_prefix) {
    std::vector<ParamSpec> params;
    if (spec.method) params.push_back({"self"});
    params.insert(params.end(), spec.params.begin(), spec.params.end());
    if (params.size() > static_cast<std::size_t>(kMaxParams))
        raise(PyExc_SystemError, "brel_modbus: too many parameters");

    Ref annotations = own(PyDict_New());
    Ref defaults;
    int required = 0;
    std::vector<Ref> default_values;
    for (const ParamSpec& p : params) {
        if (p.value.kind == Default::Required) {
            if (!default_values.empty()) raise(PyExc_SystemError, "brel_modbus: required parameter after default");
            ++required;
        } else {
            default_values.push_back(make_default(p.value));
        }
        if (p.annotation) {
            Ref text = own(PyUnicode_FromString(shown_annotation(p.annotation)));
            check(PyDict_SetItemString(annotations.get(), p.name, text.get()));
        }
    }
    if (spec.returns) {
        Ref text = own(PyUnicode_FromString(shown_annotation(spec.returns)));
        check(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    if (!default_values.empty()) {
        defaults = own(PyTuple_New(static_cast<Py_ssize_t>(default_values.size())));
        for (std::size_t i = 0; i < default_values.size(); ++i)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), default_values[i].release());
    }

    Ref name = own(PyUnicode_InternFromString(spec.name));
    Ref qualname = qualname_prefix ? own(PyUnicode_FromFormat("%s.%s", qualname_prefix, spec.name)) : name;
    Ref doc = spec.doc ? own(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    Ref module = own(PyUnicode_InternFromString("brel_modbus"));

    Function* f = PyObject_GC_New(Function, &function_type);
    if (!f) raise();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->signature_cache = nullptr;
    f->sig = Signature{};
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    // Only int, str and bytes results are tested on the way out.
    f->returns = rule_for(spec.returns) == Rule::List ? Rule::Any : rule_for(spec.returns);
    f->returns_text = shown_annotation(spec.returns);
    f->impl = spec.impl;
    f->data = spec.data;
    f->owner = qualname_prefix;
    Ref result = own(reinterpret_cast<PyObject*>(f));  // owns f from here on
    f->sig.name = spec.name;
    f->sig.count = static_cast<int>(params.size());
    f->sig.required = required;
    f->sig.kwargs = spec.kwargs;
    f->sig.defaults = defaults.release();
    for (std::size_t i = 0; i < params.size(); ++i) {
        f->sig.names[i] = own(PyUnicode_InternFromString(params[i].name)).release();
        f->sig.rules[i] = rule_for(params[i].annotation);
    }
    PyObject_GC_Track(f);
    return result;
}

}  // namespace brel
