// What keeps the module loadable beside an older C++ runtime than the one it was built with.
//
// From GCC 11 on, std::allocator<T>::allocate (inlined into every std::vector,
// std::unordered_map, ... of the module) throws through std::__throw_bad_array_new_length
// when asked for more than SIZE_MAX / sizeof(T) bytes. libstdc++ exports that function
// only from version 3.4.29 (GCC 11, the systems of glibc 2.34), which would make the
// module refuse to load on every older system. CMakeLists.txt links the module with
// --wrap of that symbol, so the module's calls land here instead: a hidden function of
// the module that throws the base class, std::bad_alloc, which the binding frame turns
// into MemoryError exactly as it would the derived std::bad_array_new_length.
#include <new>

extern "C" [[noreturn]] void __wrap__ZSt28__throw_bad_array_new_lengthv() { throw std::bad_alloc(); }
