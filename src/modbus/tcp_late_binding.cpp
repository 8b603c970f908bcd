// ModbusTCPMaster's step table and the fast paths' guard: are self, its class and the module's name still ours.
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
// apply: these are the class's steps, named once in its step table. When self is exactly
// the library's class, the module's name ModbusTCPMaster still refers to it and the class
// still holds the library's own steps, the result of those look-ups is known beforehand:
// then the C++ is called directly.

PyTypeObject* library_tcp_type = nullptr;  // owned; lives for the process

// The steps of ModbusTCPMaster (their order is TcpMasterStep's) and the names of the state
// the plain road reads and writes straight in the instance dict: a descriptor of the class
// under one of those would come first.
StepTable& tcp_master_steps() {
    static StepTable steps({{"_ModbusTCPMaster__query", locked<query>},
                            {"protocol", get_protocol, StepKind::Property},
                            {"station", get_station, StepKind::Property},
                            {"construct_header", construct_header, StepKind::Static},
                            {"construct_whole_query_command", construct_whole_query_command, StepKind::Static},
                            {"construct_read_registers_command", construct_read_registers_command, StepKind::Static},
                            {"construct_read_coils_command", construct_read_coils_command, StepKind::Static},
                            {"construct_write_registers_command", construct_write_registers_command, StepKind::Static},
                            {"construct_write_coil_command", construct_write_coil_command, StepKind::Static}},
                           {kStateNames[0], kStateNames[1], kStateNames[2], kStateNames[3], kStateNames[4],
                            kStateNames[5], kStateNames[6]});
    return steps;
}

// True when `self` is exactly the library's ModbusTCPMaster with its own steps, and the
// module's name ModbusTCPMaster refers to that class. The class is checked again only when
// its version tag has changed since the last check (the step table's type verdict), or on
// every call while the type has no valid tag.
bool plain_master(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type != library_tcp_type) return false;
    // The module's name, looked up again only after the namespace changed (3.12 on; on every
    // call before).
    static NamespaceVerdict named_ours;
    if (!named_ours.holds([&] {
            PyObject* named = module_namespace ? PyDict_GetItemWithError(module_namespace, k_class()) : nullptr;
            if (!named && PyErr_Occurred()) raise();
            return named == reinterpret_cast<PyObject*>(type);
        }))
        return false;
    return tcp_master_steps().plain_class(type);
}

// self.__query(command, needed): the C++ transaction directly when the interpreter would
// call the library's own member (self exactly the library's class, the member neither
// replaced in the class nor shadowed by an instance attribute) and the arguments pass its
// entry rules as they stand (bytes; int or None); else through the interpreter, with its
// argument checks and errors.
Ref query_of(PyObject* self, PyObject* command, PyObject* needed) {
    StepTable& steps = tcp_master_steps();
    if (PyBytes_CheckExact(command) && (needed == Py_None || PyLong_CheckExact(needed)) && plain_master(self) &&
        steps.own(self, kQueryStep)) {
        Args a;
        a.v[0] = self;
        a.v[1] = command;
        a.v[2] = needed;
        return locked<query>(a);
    }
    return call_method(self, steps.name(kQueryStep), command, needed);
}
}  // namespace tcp

void record_tcp_master_type(PyObject* type) noexcept {
    if (!PyType_Check(type)) return;
    Py_XSETREF(tcp::library_tcp_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
}

}  // namespace brel
