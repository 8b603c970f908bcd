// The function object that carries every function and method of the module.
//
// It behaves as an interpreter function does: a descriptor that binds to an instance,
// called through vectorcall, with __name__, __qualname__, __module__, __doc__,
// __annotations__ (strings), __defaults__, __dict__ and a __signature__ that
// inspect.signature() and help() read. The body is a C++ function that receives the
// parsed arguments.
#pragma once

#include "module/arguments.hpp"

#include <vector>

namespace brel {

// The body of a function: parsed arguments in, new reference out (or throw PyError).
// Args::data carries the FunctionSpec::data of the function being called, so one
// body can serve several members.
struct Args;
using Impl = Ref (*)(Args& args);

struct FunctionSpec {
    const char* name;  // __name__
    Impl impl;
    std::vector<ParamSpec> params = {};  // in order; "self" is not listed here
    bool method = false;                 // prepend "self"
    bool kwargs = false;                 // collect extra keywords
    const char* returns = nullptr;       // return annotation text
    const char* doc = nullptr;
    const void* data = nullptr;
};

// Make a function object; qualname_prefix is the class name (nullptr at module level).
Ref make_function(const FunctionSpec& spec, const char* qualname_prefix);

// True when `callable` is a function object of this module whose body is `impl`:
// the guard of the fast paths that skip the interpreter for our own members.
bool is_function_with(PyObject* callable, Impl impl) noexcept;
// True when `callable` is the function object that the library made for member `name`
// (its own name, "open_box") of class `owner`, as the member tables give
// them: unlike __name__ and __qualname__, these cannot be changed from Python. The
// guard for fast paths over members of another class file.
bool is_library_member(PyObject* callable, const char* owner, const char* name) noexcept;

// True when `object` is a function object of this module, whatever its body.
bool is_library_function(PyObject* object) noexcept;

// Ready the function type; called once by the exec step.
int ready_function_type() noexcept;

}  // namespace brel
