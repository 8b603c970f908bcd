// Members several classes have in the same form (shared_members.hpp): __enter__, __exit__ and the hex views.
#include "module/shared_members.hpp"

#include "module/runtime.hpp"

#include <map>
#include <string>

namespace brel {
namespace {

Ref enter(Args& a) { return Ref::borrow(a[0]); }

Ref exit_block(Args& a) {
    call_method(a[0], BREL_STR("close"));
    return Ref::borrow(Py_None);
}

// The property whose bytes a hex view formats; interned on first use.
struct HexSource {
    const char* name;
    mutable PyObject* interned = nullptr;
};

Ref hex_of(Args& a) {
    const auto& source = *static_cast<const HexSource*>(a.data);
    if (!source.interned) source.interned = intern_forever(source.name);
    Ref bytes = getattr(a[0], source.interned);
    return hex_text(bytes.get());
}

}  // namespace

MemberSpec enter_member() { return method("__enter__", enter); }

MemberSpec exit_member() { return method("__exit__", exit_block, {{"exc_type"}, {"exc_val"}, {"exc_tb"}}); }

MemberSpec hex_view(const char* key, const char* source) {
    // One record per source name, alive for the process (the classes are never rebuilt).
    static std::map<std::string, HexSource> sources;
    auto [it, added] = sources.try_emplace(source, HexSource{source});
    return with_data(property(key, hex_of, "str"), &it->second);
}

}  // namespace brel
