// Members that every master has in the same form, written once: the context-manager
// pair and the hexadecimal views of the traffic record.
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

// retries: how many times a request that failed after it went out (a time-out, a broken
// connection, a damaged or mismatched answer) is sent again; never after a slave's
// refusal or a broadcast. 0 by default, at most kMaxRetries.
inline constexpr int kMaxRetries = 100;
MemberSpec retries_member();
// reconnect (TCP): open a new connection before the next request once the old one was
// found closed or broken. True by default.
MemberSpec reconnect_member();

}  // namespace brel
