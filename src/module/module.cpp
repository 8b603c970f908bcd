// The extension module: multi-phase initialisation, one interpreter per process,
// one initialisation per process, and the namespace built in a fixed order.
#include "modbus/classes.hpp"
#include "module/function.hpp"
#include "module/runtime.hpp"

namespace brel {
namespace {

// Process-wide state: the first interpreter's ID (never reset) and the module
// object once its exec step has begun (forgotten again if that step fails).
std::int64_t recorded_interpreter = -1;
PyObject* recorded_module = nullptr;

int check_single_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
        return current == -1 ? -1 : 0;
    }
    if (recorded_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return -1;
    }
    return 0;
}

// Copy spec.<from> into the module namespace as <to>; a missing attribute is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal_or_null(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    if (allow_none || value.get() != Py_None) check(PyDict_SetItemString(ns, to, value.get()));
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    return guarded([&] {
        check(check_single_interpreter());
        if (recorded_module) return Py_NewRef(recorded_module);
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* ns = PyModule_GetDict(module.get());  // borrowed
        if (!ns) raise();
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

void check_runtime_version() {
    const unsigned long v = Py_Version;
    const int major = static_cast<int>(v >> 24), minor = static_cast<int>((v >> 16) & 0xFF);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char message[200];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                      PY_MINOR_VERSION, "brel_modbus", "does not match", major, minor);
        check(PyErr_WarnEx(nullptr, message, 1));
    }
}

void read_assertion_switch() {
    Ref debug = own(PyObject_GetItem(PyEval_GetBuiltins(), BREL_STR("__debug__")));
    assertions_enabled = check(PyObject_IsTrue(debug.get())) != 0;
}

void look_up_builtins() {
    struct Row {
        const char* name;
        PyObject** slot;
    };
    const Row rows[] = {
        {"staticmethod", &builtins.staticmethod},
        {"property", &builtins.property},
        {"range", &builtins.range},
        {"ValueError", &builtins.ValueError},
        {"IOError", &builtins.IOError},
        {"enumerate", &builtins.enumerate},
        {"AssertionError", &builtins.AssertionError},
        {"hex", &builtins.hex},
    };
    PyObject* b = PyEval_GetBuiltins();
    for (const Row& row : rows) {
        PyObject* name = intern_forever(row.name);
        PyObject* value = PyDict_GetItemWithError(b, name);
        if (!value) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            raise();
        }
        Py_XSETREF(*row.slot, Py_NewRef(value));  // kept for the life of the process
    }
}

// from <module> import <name> [as <bind>], ... (absolute import)
void import_from(PyObject* ns, const char* module, std::initializer_list<std::pair<const char*, const char*>> names) {
    Ref fromlist = own(PyList_New(0));
    for (const auto& [name, bind] : names) {
        Ref n = own(PyUnicode_FromString(name));
        check(PyList_Append(fromlist.get(), n.get()));
    }
    Ref module_name = own(PyUnicode_FromString(module));
    Ref imported = own(PyImport_ImportModuleLevelObject(module_name.get(), ns, nullptr, fromlist.get(), 0));
    for (const auto& [name, bind] : names) {
        Ref n = own(PyUnicode_FromString(name));
        Ref value = Ref::steal_or_null(PyObject_GetAttr(imported.get(), n.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
            // A submodule of that dotted name that is already loaded is bound instead.
            Ref full = own(PyUnicode_FromFormat("%s.%s", module, name));
            value = Ref::steal_or_null(PyImport_GetModule(full.get()));
            if (!value) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
                raise();
            }
        }
        check(PyDict_SetItemString(ns, bind, value.get()));
    }
}

void import_module(PyObject* ns, const char* module) {
    Ref name = own(PyUnicode_FromString(module));
    Ref imported = own(PyImport_ImportModuleLevelObject(name.get(), ns, nullptr, nullptr, 0));
    check(PyDict_SetItemString(ns, module, imported.get()));
}

void bind(PyObject* ns, const char* name, Ref value) { check(PyDict_SetItemString(ns, name, value.get())); }

// The version of the installed distribution, from its metadata: importlib.metadata's
// version("brel_modbus"). None when no distribution of that name is installed (a build
// tree imported in place).
Ref distribution_version() {
#ifdef BREL_VERSION
    // The build knows the package's version: no metadata to read at every import.
    return own(PyUnicode_FromString(BREL_VERSION));
#else
    Ref metadata = own(PyImport_ImportModule("importlib.metadata"));
    Ref version = Ref::steal_or_null(PyObject_CallMethod(metadata.get(), "version", "s", "brel_modbus"));
    if (version) return version;
    Ref not_found = own(PyObject_GetAttrString(metadata.get(), "PackageNotFoundError"));
    if (!PyErr_ExceptionMatches(not_found.get())) raise();
    PyErr_Clear();
    return Ref::borrow(Py_None);
#endif
}

// The exec step proper: the namespace in its fixed order.
void fill_namespace(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);  // borrowed
    if (!ns) raise();
    module_namespace = ns;
    check_runtime_version();
    read_assertion_switch();
    look_up_builtins();
    if (ready_function_type() < 0) raise();

    import_from(ns, "brel_linkkit", {{"create_serial_instance", "create_serial_instance"}});
    import_module(ns, "array");
    import_from(ns, "socket", {{"create_connection", "_tcp_connect"}});
    import_module(ns, "struct");
    import_from(ns, "typing", {{"Iterable", "_Iterable"}, {"List", "_List"}, {"Optional", "_Optional"}});
    import_from(ns, "typing", {{"Sequence", "_Sequence"}});
    bind(ns, "_byte_array", build_function(byte_array_function()));
    bind(ns, "ModbusStatic", build_class(modbus_static_class()));
    bind(ns, "SlaveException", build_class(slave_exception_class()));
    bind(ns, "Master", build_class(master_class()));
    bind(ns, "FixMaster", build_class(fix_master_class()));
    Ref tcp_master = build_class(tcp_master_class());
    record_tcp_master_type(tcp_master.get());
    bind(ns, "ModbusTCPMaster", std::move(tcp_master));
    bind(ns, "TCPSlaveException", build_class(tcp_slave_exception_class()));
    bind(ns, "Poller", build_class(poller_class()));
    bind(ns, "__version__", distribution_version());  // last: after every name above
}

int exec_module(PyObject* module) noexcept {
    if (recorded_module) {
        if (recorded_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'brel_modbus' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    recorded_module = Py_NewRef(module);
    const int rc = guarded([&] {
        fill_namespace(module);
        return 0;
    });
    if (rc < 0) {
        // Forgotten, so that a later import starts afresh.
        module_namespace = nullptr;
        Py_CLEAR(recorded_module);
    }
    return rc;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brel_modbus",  // m_name
    nullptr,        // no docstring
    0,              // no per-module state
    nullptr,        // no functions in the definition: the exec step makes them
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brel

extern "C" {
PyMODINIT_FUNC PyInit_brel_modbus(void) { return PyModuleDef_Init(&brel::module_def); }
// The same entry under the name an interpreter looks for when the module is
// loaded as a package's __init__.
PyMODINIT_FUNC PyInit___init__(void) { return PyInit_brel_modbus(); }
}
