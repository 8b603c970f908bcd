// ModbusTCPMaster's fast paths' guard: are self, its class and the module's name still ours.
#include "binding/late_binding.hpp"
#include "modbus/classes.hpp"
#include "modbus/tcp_master_shared.hpp"

namespace brel {
namespace tcp {

// ---- the fast paths' guard ----------------------------------------------------------------
//
// The operations call self.__query and the builders of ModbusTCPMaster (looked up in the
// module namespace), and the transaction reads the properties protocol and station, all
// through the interpreter so that subclasses, replaced members and instance attributes
// apply. When self is exactly the library's class, the module's name ModbusTCPMaster still
// refers to it and its class dict still holds the library's own members, the result of
// those look-ups is known beforehand: then the C++ is called directly.

PyTypeObject* library_tcp_type = nullptr;  // owned; lives for the process

// The class dict's entry `name` (borrowed), nullptr when there is none.
PyObject* class_entry(PyObject* dict, PyObject* name) {
    PyObject* entry = PyDict_GetItemWithError(dict, name);
    if (!entry && PyErr_Occurred()) raise();
    return entry;
}

// A property of the interpreter's own type whose getter is the library's `getter`.
bool own_property(PyObject* dict, PyObject* name, Impl getter) {
    PyObject* entry = class_entry(dict, name);
    if (!entry || !Py_IS_TYPE(entry, &PyProperty_Type)) return false;
    Ref fget = getattr(entry, BREL_STR("fget"));
    return is_function_with(fget.get(), getter);
}

// A static method of the interpreter's own type around the library's `impl`.
bool own_static(PyObject* dict, const char* name, Impl impl) {
    Ref key = own(PyUnicode_InternFromString(name));
    PyObject* entry = class_entry(dict, key.get());
    if (!entry || !Py_IS_TYPE(entry, &PyStaticMethod_Type)) return false;
    Ref function = getattr(entry, BREL_STR("__func__"));
    return is_function_with(function.get(), impl);
}

// The instance's state, which the plain road reads and writes straight in the instance
// dict: a data descriptor of the class under one of these names would come first.
bool state_names_free(PyObject* dict) {
    for (PyObject* name :
         {k_socket(), k_station(), k_head_checker(), k_protocol(), k_last_sent(), k_last_received(), k_target_host()}) {
        PyObject* entry = class_entry(dict, name);
        if (entry && Py_TYPE(entry)->tp_descr_set) return false;
    }
    return true;
}

// The class dict's entries the fast paths stand on, checked as they are now: __query, the
// properties protocol and station, the builders, and no data descriptor over the
// instance's state. Each is the library's own function object, or the interpreter's
// staticmethod or property around one, whose look-up gives the same at every use: so the
// verdict may be remembered against the class's version tag.
bool own_members(PyTypeObject* type) {
    PyObject* dict = type->tp_dict;
    if (!dict || !state_names_free(dict)) return false;
    PyObject* entry = class_entry(dict, k_query());
    return entry && is_function_with(entry, locked<query>) && own_property(dict, BREL_STR("protocol"), get_protocol) &&
           own_property(dict, BREL_STR("station"), get_station) &&
           own_static(dict, "construct_header", construct_header) &&
           own_static(dict, "construct_whole_query_command", construct_whole_query_command) &&
           own_static(dict, "construct_read_registers_command", construct_read_registers_command) &&
           own_static(dict, "construct_read_coils_command", construct_read_coils_command) &&
           own_static(dict, "construct_write_registers_command", construct_write_registers_command) &&
           own_static(dict, "construct_write_coil_command", construct_write_coil_command);
}

// True when `self` is exactly the library's ModbusTCPMaster with its own members, and the
// module's name ModbusTCPMaster refers to that class. The class dict is checked again only
// when the type's version tag has changed since the last check (any change to the class
// dict gives the type a new tag), or on every call while the type has no valid tag.
// (Comparing the class dict's entries on every call instead costs ~130 more instructions
// per read_registers call.)
bool plain_master(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type != library_tcp_type || type->tp_getattro != PyObject_GenericGetAttr) return false;
    // The module's name, looked up again only after the namespace changed (3.12 on; on every
    // call before).
    static NamespaceVerdict named_ours;
    if (!named_ours.holds([&] {
            PyObject* named = module_namespace ? PyDict_GetItemWithError(module_namespace, k_class()) : nullptr;
            if (!named && PyErr_Occurred()) raise();
            return named == reinterpret_cast<PyObject*>(type);
        }))
        return false;
    // The class's members, checked again only when its version tag changes (own_members
    // accepts only entries whose look-up gives the same at every use).
    static TypeVerdict members_ours;
    return members_ours.holds(type, {}, [&] { return own_members(type); });
}

// self.__query(command, needed): the C++ transaction directly when the interpreter would
// call the library's own member (self exactly the library's class, the member neither
// replaced in the class nor shadowed by an instance attribute) and the arguments pass its
// entry rules as they stand (bytes; int or None); else through the interpreter, with its
// argument checks and errors. The instance's attribute is looked up the way the
// interpreter looks up a method to call it (method_of).
Ref query_of(PyObject* self, PyObject* command, PyObject* needed) {
    if (PyBytes_CheckExact(command) && (needed == Py_None || PyLong_CheckExact(needed)) && plain_master(self)) {
        auto direct = [&] {
            Args a;
            a.v[0] = self;
            a.v[1] = command;
            a.v[2] = needed;
            return locked<query>(a);
        };
        Ref method;
        switch (method_of(self, k_query(), locked<query>, method)) {
            case MethodFound::Own:
                return direct();
            case MethodFound::Unbound:
                return call(method.get(), self, command, needed);
            case MethodFound::Bound:
                break;
        }
        return call(method.get(), command, needed);
    }
    return call_method(self, k_query(), command, needed);
}
}  // namespace tcp

void record_tcp_master_type(PyObject* type) noexcept {
    if (!PyType_Check(type)) return;
    Py_XSETREF(tcp::library_tcp_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
}

}  // namespace brel
