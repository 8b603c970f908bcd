#include "module/shared_members.hpp"

#include "module/native_state.hpp"
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

Ref get_retries(Args& a) { return own(PyLong_FromLong(settings_now(a[0]).retries)); }

Ref set_retries(Args& a) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(a[1], &overflow);
    if (n == -1 && PyErr_Occurred()) raise();
    if (overflow || n < 0 || n > kMaxRetries) {
        PyErr_Format(PyExc_ValueError, "retries must be from 0 to %d: %S", kMaxRetries, a[1]);
        raise();
    }
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->retries = static_cast<long>(n);
    return Ref::borrow(Py_None);
}

Ref get_reconnect(Args& a) { return Ref::borrow(settings_now(a[0]).reconnect ? Py_True : Py_False); }

Ref set_reconnect(Args& a) {
    const int on = check(PyObject_IsTrue(a[1]));
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->reconnect = on != 0;
    return Ref::borrow(Py_None);
}

}  // namespace

MemberSpec retries_member() { return property("retries", get_retries, "int", set_retries, "int"); }

MemberSpec reconnect_member() { return property("reconnect", get_reconnect, "bool", set_reconnect, "bool"); }

MemberSpec enter_member() { return method("__enter__", enter); }

MemberSpec exit_member() { return method("__exit__", exit_block, {{"exc_type"}, {"exc_val"}, {"exc_tb"}}); }

MemberSpec hex_view(const char* key, const char* source) {
    // One record per source name, alive for the process (the classes are never rebuilt).
    static std::map<std::string, HexSource> sources;
    auto [it, added] = sources.try_emplace(source, HexSource{source});
    MemberSpec m = property(key, hex_of, "str");
    m.data = &it->second;
    return m;
}

}  // namespace brel
