// The reference texts that the class builder gives members without a docstring of their own.
//
// The rows come from member_texts.inc, made by tools/make_reference.py from
// stubs/brel_modbus.pyi: edit the stub, then run the script.
#include "module/class_builder.hpp"

#include <cstring>

namespace brel {
namespace {

bool same(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }

struct ReferenceText {
    const char* owner;  // class name; "" for the module
    const char* key;    // member key; "" for the class (or module) itself
    const char* text;
};

constexpr ReferenceText texts[] = {
#define BREL_REFERENCE_TEXTS
#include "modbus/member_texts.inc"
#undef BREL_REFERENCE_TEXTS
};

struct ReferenceAnnotation {
    const char* owner;
    const char* key;
    const char* param;  // "return": the result
    const char* text;   // shown only: starts with '~'
};

constexpr ReferenceAnnotation annotations[] = {
#define BREL_REFERENCE_ANNOTATIONS
#include "modbus/member_texts.inc"
#undef BREL_REFERENCE_ANNOTATIONS
};

}  // namespace

const char* reference_annotation(const char* owner, const char* key, const char* param) noexcept {
    for (const ReferenceAnnotation& a : annotations)
        if (same(a.owner, owner) && same(a.key, key) && same(a.param, param)) return a.text;
    return nullptr;
}

const char* reference_doc(const char* owner, const char* key) noexcept {
    for (const ReferenceText& t : texts)
        if (same(t.owner, owner) && same(t.key, key)) return t.text;
    return nullptr;
}

}  // namespace brel
