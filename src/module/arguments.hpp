// Parameter tables and the one argument parser of the module.
//
// Every function and method declares its parameters once, as ParamSpec rows (name,
// annotation text, default). The entry rule of a parameter follows from its annotation:
// "int", "str", "bytes" and "_List[int]" (or "list[int]") demand exactly that type,
// "_Optional[int]" (or "int | None") None or exactly int, "float" converts; any other
// annotation checks nothing. A text that
// starts with '~' ("~int") is shown without it and checks nothing: the annotation of a
// parameter (or result) that takes what it always took.
#pragma once

#include "module/ref.hpp"

#include <cstdint>
#include <vector>

namespace brel {

enum class Rule : std::uint8_t { Any, Int, Str, Bytes, List, OptionalInt, Float };

// The entry rule that an annotation text carries (nullptr: no annotation).
Rule rule_for(const char* annotation) noexcept;
// The annotation as __annotations__ shows it: without a leading '~'.
inline const char* shown_annotation(const char* annotation) noexcept {
    return annotation && annotation[0] == '~' ? annotation + 1 : annotation;
}
// The type whose exact instances a rule accepts; nullptr for Any and Float.
PyTypeObject* rule_type(Rule rule) noexcept;

// A default value as declared in a parameter table; made into an object when the
// class (or function) is created.
struct Default {
    enum Kind : std::uint8_t { Required, None, Int, Str, Global, Bool, Float, Bytes } kind = Required;
    long long number = 0;
    // Str: the text (Bytes: its bytes, up to the NUL). Global: "Name.attr" looked up in the module namespace when the
    // class is created (the value is fixed from then on).
    const char* text = nullptr;
    double real = 0;  // Float
};

inline constexpr Default required{};
inline constexpr Default none_default{Default::None};
constexpr Default int_default(long long v) { return {Default::Int, v, nullptr}; }
constexpr Default bool_default(bool v) { return {Default::Bool, v ? 1 : 0, nullptr}; }
constexpr Default str_default(const char* s) { return {Default::Str, 0, s}; }
constexpr Default bytes_default(const char* s) { return {Default::Bytes, 0, s}; }
constexpr Default global_default(const char* dotted) { return {Default::Global, 0, dotted}; }
constexpr Default float_default(double v) { return {Default::Float, 0, nullptr, v}; }

struct ParamSpec {
    const char* name;
    const char* annotation = nullptr;
    Default value = required;
    bool keyword_only = false;  // given by keyword only (after the positional parameters)
};

inline constexpr int kMaxParams = 9;

// The run-time form of a parameter table, owned by a function object.
struct Signature {
    PyObject* names[kMaxParams] = {};  // interned, owned
    Rule rules[kMaxParams] = {};
    const char* name = "";         // the function's __name__, for messages
    int count = 0;                 // named parameters, self included
    int required = 0;              // leading parameters without default
    int positional = 0;            // leading parameters that may be given by position
    bool kwargs = false;           // collects extra keywords into a dict
    PyObject* defaults = nullptr;  // tuple for the last (count - required), owned by the function
};

// Parsed arguments: borrowed slots in parameter order, the float objects made by
// conversion, and the dict of extra keywords when the signature collects them.
struct Args {
    PyObject* v[kMaxParams];
    Ref converted[kMaxParams];
    Ref kwargs;
    const void* data = nullptr;  // the data pointer of the function being called
    PyObject* operator[](int i) const noexcept { return v[i]; }
};

// Binds (args, nargs, kwnames) to the parameters, raising the argument-count and
// keyword errors, converts floats in parameter order, then runs the exact-type tests
// in parameter order. Throws PyError with the interpreter's exception set.
void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
[[noreturn]] void raise_arg_type(const char* param, const char* expected, PyObject* given);
// The exact-type test of one rule on an already converted value.
void check_rule(Rule rule, PyObject* name, PyObject* value);
// "Expected %s, got %.200s" unless value is None or exactly of the rule's type.
void check_return(Rule rule, PyObject* value);

}  // namespace brel
