// Member tables -> classes. A class file ends with one ClassSpec whose members are
// listed in class-body order; build_class turns it into type(name, (base,), dict).
#pragma once

#include "module/function.hpp"

#include <vector>

namespace brel {

enum class Kind : std::uint8_t { Method, StaticMethod, Property, Alias, Constant };

struct MemberSpec {
    const char* key;  // class-dictionary key, "_Box__step" for private members
    Kind kind;
    Impl impl = nullptr;                 // method, static method, property getter
    std::vector<ParamSpec> params = {};  // without "self"
    const char* returns = nullptr;       // return annotation text
    const char* doc = nullptr;
    bool kwargs = false;
    Impl setter = nullptr;  // property setter, called as (self, value)
    const char* setter_annotation = nullptr;
    const char* alias_of = nullptr;  // Alias: key of the member it repeats
    long long constant = 0;          // Constant: an int class attribute
    const void* data = nullptr;      // handed to the body as Args::data
};

inline MemberSpec method(const char* key, Impl impl, std::vector<ParamSpec> params = {}, const char* returns = nullptr,
                         const char* doc = nullptr) {
    return {
        .key = key, .kind = Kind::Method, .impl = impl, .params = std::move(params), .returns = returns, .doc = doc};
}
// A member whose body is handed `data` as Args::data (one body serving several rows).
inline MemberSpec with_data(MemberSpec member, const void* data) {
    member.data = data;
    return member;
}
inline MemberSpec static_method(const char* key, Impl impl, std::vector<ParamSpec> params,
                                const char* returns = nullptr) {
    return {.key = key, .kind = Kind::StaticMethod, .impl = impl, .params = std::move(params), .returns = returns};
}
inline MemberSpec property(const char* key, Impl getter, const char* returns = nullptr, Impl setter = nullptr,
                           const char* setter_annotation = nullptr) {
    return {.key = key,
            .kind = Kind::Property,
            .impl = getter,
            .returns = returns,
            .setter = setter,
            .setter_annotation = setter_annotation};
}
inline MemberSpec alias(const char* key, const char* of) { return {.key = key, .kind = Kind::Alias, .alias_of = of}; }
inline MemberSpec constant(const char* key, long long value) {
    return {.key = key, .kind = Kind::Constant, .constant = value};
}

struct ClassSpec {
    const char* name;
    const char* base = nullptr;                // a builtin exception class name, or nullptr for object
    std::vector<const char*> more_bases = {};  // further bases, looked up as `base` is
    const char* doc = nullptr;
    std::vector<MemberSpec> members = {};
};

// The class of a table; `first_base`, when given, stands in for the table's `base` (a class
// made by the exec step that is not yet in the namespace).
// `last_base`, when given, is one more base after the table's.
Ref build_class(const ClassSpec& spec, PyObject* first_base = nullptr, PyObject* last_base = nullptr);

// The reference text of a member ("" as key: of the class itself), or nullptr. build_class
// gives it to every member, and to the class, whose table gives no docstring. The script leaves
// out the classes whose docstring the documented interface fixes as None. Defined in
// src/modbus/member_docs.cpp over the rows tools/make_reference.py makes from the stub.
const char* reference_doc(const char* owner, const char* key) noexcept;
// The reference's annotation of parameter `param` ("return": the result) of a member, as an
// annotation text that is shown only ("~int"), or nullptr; nullptr for every member whose
// annotations the documented interface fixes. Defined beside reference_doc.
const char* reference_annotation(const char* owner, const char* key, const char* param) noexcept;

// Module-level function (no class prefix in its qualified name); one without a docstring
// of its own gets the reference's (owner "": the module).
inline Ref build_function(const FunctionSpec& spec) {
    if (spec.doc) return make_function(spec, nullptr);
    FunctionSpec documented = spec;
    documented.doc = reference_doc("", spec.name);
    return make_function(documented, nullptr);
}

}  // namespace brel
