// Member tables turned into classes by type(name, (base,), dict) in class-body order (class_builder.hpp).
#include "module/class_builder.hpp"

#include "module/runtime.hpp"

#include <cstring>
#include <string>

namespace brel {
namespace {

// The function's own name: "_Box__step" in class Box is "__step".
const char* own_name(const char* cls, const char* key) {
    const std::size_t n = std::strlen(cls);
    if (key[0] == '_' && std::strncmp(key + 1, cls, n) == 0 && std::strncmp(key + 1 + n, "__", 2) == 0)
        return key + 1 + n;
    return key;
}

// The parameters with the reference's annotation where the table gives none (shown only:
// the reference's texts start with '~', so they carry no entry rule).
std::vector<ParamSpec> annotated(const char* cls, const char* key, const std::vector<ParamSpec>& params) {
    std::vector<ParamSpec> out = params;
    for (ParamSpec& p : out)
        if (!p.annotation) p.annotation = reference_annotation(cls, key, p.name);
    return out;
}

}  // namespace

Ref build_class(const ClassSpec& spec, PyObject* first_base, PyObject* last_base) {
    Ref dict = own(PyDict_New());
    Ref module = own(PyUnicode_FromString("brel_modbus"));
    check(PyDict_SetItemString(dict.get(), "__module__", module.get()));
    Ref qualname = own(PyUnicode_FromString(spec.name));
    check(PyDict_SetItemString(dict.get(), "__qualname__", qualname.get()));
    if (const char* class_doc = spec.doc ? spec.doc : reference_doc(spec.name, "")) {
        Ref doc = own(PyUnicode_FromString(class_doc));
        check(PyDict_SetItemString(dict.get(), "__doc__", doc.get()));
    }

    for (const MemberSpec& m : spec.members) {
        const char* name = own_name(spec.name, m.key);
        const char* doc = m.doc ? m.doc : reference_doc(spec.name, m.key);
        const char* returns = m.returns ? m.returns : reference_annotation(spec.name, m.key, "return");
        Ref value;
        switch (m.kind) {
            case Kind::Constant:
                value = own(PyLong_FromLongLong(m.constant));
                break;
            case Kind::Alias:
                value = Ref::borrow(PyDict_GetItemString(dict.get(), m.alias_of));
                if (!value) raise(PyExc_SystemError, "brel_modbus: alias of an unknown member");
                break;
            case Kind::Method:
            case Kind::StaticMethod: {
                FunctionSpec f{.name = name,
                               .impl = m.impl,
                               .params = annotated(spec.name, m.key, m.params),
                               .method = m.kind == Kind::Method,
                               .kwargs = m.kwargs,
                               .returns = returns,
                               .doc = doc,
                               .data = m.data};
                value = make_function(f, spec.name);
                if (m.kind == Kind::StaticMethod) value = call(builtins.staticmethod, value.get());
                break;
            }
            case Kind::Property: {
                Ref getter = make_function(
                    {.name = name, .impl = m.impl, .method = true, .returns = returns, .doc = doc, .data = m.data},
                    spec.name);
                if (m.setter) {
                    Ref setter = make_function({.name = name,
                                                .impl = m.setter,
                                                .params = annotated(spec.name, m.key, {{"value", m.setter_annotation}}),
                                                .method = true,
                                                .doc = doc,
                                                .data = m.data},
                                               spec.name);
                    value = call(builtins.property, getter.get(), setter.get());
                } else {
                    value = call(builtins.property, getter.get());
                }
                break;
            }
        }
        check(PyDict_SetItemString(dict.get(), m.key, value.get()));
    }

    Ref name = own(PyUnicode_FromString(spec.name));
    Ref base = first_base  ? Ref::borrow(first_base)
               : spec.base ? global(own(PyUnicode_FromString(spec.base)).get())
                           : Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    Ref bases = own(PyTuple_New(static_cast<Py_ssize_t>(1 + spec.more_bases.size() + (last_base ? 1 : 0))));
    PyTuple_SET_ITEM(bases.get(), 0, base.release());
    for (std::size_t i = 0; i < spec.more_bases.size(); ++i) {
        Ref more = global(own(PyUnicode_FromString(spec.more_bases[i])).get());
        PyTuple_SET_ITEM(bases.get(), static_cast<Py_ssize_t>(i + 1), more.release());
    }
    if (last_base) PyTuple_SET_ITEM(bases.get(), PyTuple_GET_SIZE(bases.get()) - 1, Py_NewRef(last_base));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), dict.get());
}

}  // namespace brel
