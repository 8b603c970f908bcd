// Building the module namespace: imports and bindings in a fixed order, and the hook for the library's names.
#pragma once

#include "module/ref.hpp"

#include <initializer_list>
#include <utility>

namespace brel {

// from <module> import <name> [as <bind>], ... (absolute import) into the namespace `ns`.
void import_from(PyObject* ns, const char* module, std::initializer_list<std::pair<const char*, const char*>> names);
// import <module> into `ns`.
void import_module(PyObject* ns, const char* module);
// ns[name] = value
void bind(PyObject* ns, const char* name, Ref value);

// The library's names, in their fixed order: defined by the library, not by the frame,
// and called by the exec step once the frame is ready (before __version__, bound last).
void fill_library_namespace(PyObject* ns);

}  // namespace brel
