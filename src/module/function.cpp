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

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(self);
    try {
        Args parsed;
        parsed.data = f->data;
        parse(f->sig, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        Ref result = f->impl(parsed);
        check_return(f->returns, result.get());
        return result.release();
    } catch (const PyError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature_cache);
    Py_VISIT(f->sig.defaults);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature_cache);
    Py_CLEAR(f->sig.defaults);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    for (PyObject*& n : f->sig.names) Py_CLEAR(n);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Attribute access: plain object slots, with str-only setters for the two names.
template <std::size_t Offset>
PyObject* get_slot(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}
template <std::size_t Offset, bool StrOnly>
int set_slot(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr || (StrOnly && !PyUnicode_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    PyObject*& slot = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->sig.defaults;
    return Py_NewRef(d ? d : Py_None);
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// inspect.Signature built from the parameter table, made on first use.
PyObject* get_signature(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->signature_cache) return Py_NewRef(f->signature_cache);
    try {
        Ref inspect = own(PyImport_ImportModule("inspect"));
        Ref parameter = own(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = own(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref positional = own(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_keyword = own(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
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
                    check(PyDict_SetItemString(kw.get(), "default",
                                               PyTuple_GET_ITEM(f->sig.defaults, i - f->sig.required)));
            }
            if (PyObject* a = PyDict_GetItemWithError(f->annotations, name))
                check(PyDict_SetItemString(kw.get(), "annotation", a));
            else if (PyErr_Occurred())
                raise();
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
        f->signature_cache = own(PyObject_Call(signature.get(), args.get(), kw.get())).release();
        return Py_NewRef(f->signature_cache);
    } catch (const PyError&) {
        return nullptr;
    }
}

#define BREL_SLOT(field) offsetof(Function, field)
PyGetSetDef function_getset[] = {
    {"__name__", get_slot<BREL_SLOT(name)>, set_slot<BREL_SLOT(name), true>, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_slot<BREL_SLOT(qualname)>, set_slot<BREL_SLOT(qualname), true>, nullptr,
     const_cast<char*>("__qualname__")},
    {"__module__", get_slot<BREL_SLOT(module)>, set_slot<BREL_SLOT(module), false>, nullptr, nullptr},
    {"__doc__", get_slot<BREL_SLOT(doc)>, set_slot<BREL_SLOT(doc), false>, nullptr, nullptr},
    {"__annotations__", get_slot<BREL_SLOT(annotations)>, nullptr, nullptr, nullptr},
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

int ready_function_type() noexcept { return PyType_Ready(&function_type); }

bool is_function_with(PyObject* callable, Impl impl) noexcept {
    return Py_IS_TYPE(callable, &function_type) && as_function(callable)->impl == impl;
}

bool is_library_member(PyObject* callable, const char* owner, const char* name) noexcept {
    if (!Py_IS_TYPE(callable, &function_type)) return false;
    const Function* f = as_function(callable);
    return f->owner && std::string_view(f->owner) == owner && std::string_view(f->sig.name) == name;
}

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
            Ref text = own(PyUnicode_FromString(p.annotation));
            check(PyDict_SetItemString(annotations.get(), p.name, text.get()));
        }
    }
    if (spec.returns) {
        Ref text = own(PyUnicode_FromString(spec.returns));
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
    f->returns_text = spec.returns;
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
