// Members that several classes have in the same form, written once: the context-manager pair and hex views.
#pragma once

#include "module/class_builder.hpp"

namespace brel {

// __enter__(self): the instance itself.
MemberSpec enter_member();
// __exit__(self, exc_type, exc_val, exc_tb): self.close() looked up on the instance; None,
// so an exception raised in the with block passes on.
MemberSpec exit_member();
// A read-only property `key` (returns str) giving the bytes of self.<source>, read through
// the instance, as upper-case hex pairs joined by one space.
MemberSpec hex_view(const char* key, const char* source);

}  // namespace brel
