// What the files of ModbusTCPMaster share: state names, small helpers, member bodies.
#pragma once

#include "modbus/adu.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "modbus/master_settings.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <climits>
#include <cstdint>
#include <vector>

namespace brel::tcp {

// ---- names -----------------------------------------------------------------------------

inline PyObject* k_socket() { return BREL_STR("_ModbusTCPMaster__socket"); }
inline PyObject* k_station() { return BREL_STR("_ModbusTCPMaster__station"); }
inline PyObject* k_head_checker() { return BREL_STR("_ModbusTCPMaster__head_checker"); }
inline PyObject* k_protocol() { return BREL_STR("_ModbusTCPMaster__protocol"); }
inline PyObject* k_last_sent() { return BREL_STR("_ModbusTCPMaster__last_command_sent"); }
inline PyObject* k_last_received() { return BREL_STR("_ModbusTCPMaster__last_feedback_received"); }
inline PyObject* k_target_host() { return BREL_STR("_ModbusTCPMaster__target_host"); }
inline PyObject* k_query() { return BREL_STR("_ModbusTCPMaster__query"); }
inline PyObject* k_class() { return BREL_STR("ModbusTCPMaster"); }

// ---- helpers ---------------------------------------------------------------------------

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref empty_bytes() { return own(PyBytes_FromStringAndSize(nullptr, 0)); }
inline Ref make_int(long long v) { return own(PyLong_FromLongLong(v)); }

// The low 16 bits of an exact int, as (v >> 8) & 0xFF and v & 0xFF give them on the
// interpreter's unbounded integers (two's complement for negative values).
inline std::uint16_t low16(PyObject* v) {
    if (long long x; PyLong_CheckExact(v) && compact_int(v, x)) return static_cast<std::uint16_t>(x);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (x == -1 && PyErr_Occurred()) raise();
        return static_cast<std::uint16_t>(x);
    }
    Ref mask = make_int(0xFFFF);
    Ref low = own(PyNumber_And(v, mask.get()));
    return static_cast<std::uint16_t>(PyLong_AsLong(low.get()));
}

// An exact int equal to v; false when it does not even fit.
inline bool int_equals(PyObject* exact_int, long long v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    if (!overflow && x == -1 && PyErr_Occurred()) raise();
    return !overflow && x == v;
}

// value + 1, as the interpreter adds.
inline Ref successor(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow && v < LLONG_MAX && !(v == -1 && PyErr_Occurred())) return make_int(v + 1);
        PyErr_Clear();
    }
    Ref one = make_int(1);
    return own(PyNumber_Add(value, one.get()));
}

inline bool equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// prefix + str(self.__target_host) + suffix.
inline Ref host_message(PyObject* self, PyObject* prefix, PyObject* suffix = nullptr) {
    Ref host = getattr(self, k_target_host());
    Ref text = own(PyObject_Str(host.get()));
    Ref message = own(PyUnicode_Concat(prefix, text.get()));
    if (suffix) message = own(PyUnicode_Concat(message.get(), suffix));
    return message;
}

[[noreturn]] inline void raise_object(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    raise();
}

[[noreturn]] inline void raise_io(PyObject* self, PyObject* prefix) {
    Ref message = host_message(self, prefix);
    raise_object(builtins.IOError, message.get());
}

[[noreturn]] inline void raise_assertion(PyObject* message) { raise_object(builtins.AssertionError, message); }

inline void check_address(PyObject* v) { check_field(v, "address", modbus::kMaxAddress); }
inline void check_count_field(PyObject* v) { check_field(v, "count", modbus::kMaxAddress); }
inline void check_station(PyObject* v) { check_field(v, "station", 0xFF); }

// ModbusTCPMaster.<name> looked up in the module namespace now.
inline Ref class_member(PyObject* name) {
    Ref cls = global(k_class());
    return getattr(cls.get(), name);
}

// ---- tcp_late_binding.cpp: the fast paths' guard ----------------------------------------------

extern PyTypeObject* library_tcp_type;
bool plain_master(PyObject* self);
// True when self is a ModbusUDPMaster (or of a subclass): its transaction runs over datagrams.
bool datagram_master(PyObject* self) noexcept;
Ref query_of(PyObject* self, PyObject* command, PyObject* needed);

// ---- tcp_master.cpp: construction, properties, framing, the first operations -----------------

PyObject* timeout_keyword();
// The constructor's steps after the connection: the socket, station, transaction counter,
// protocol, record and peer in the instance.
void init_state(PyObject* self, PyObject* sock, PyObject* host, PyObject* port, PyObject* station);
Ref get_station(Args& a);
Ref get_protocol(Args& a);
Ref build_frame(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station, bool with_command);
Ref whole_query(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station);
Ref construct_header(Args& a);
Ref construct_whole_query_command(Args& a);
Ref construct_read_registers_command(Args& a);
Ref construct_read_coils_command(Args& a);
Ref construct_write_registers_command(Args& a);
Ref construct_write_coil_command(Args& a);
// The first value of self.<reader>(address, 1): the members that read one value.
Ref read_one(Args& a, PyObject* reader);

// ---- tcp_transaction.cpp: self.__query ----------------------------------------------------------

Ref query(Args& a);

// ---- tcp_data_model.cpp: codes 2, 4, 6, 15, 22, 23 and 43, typed values -------------------------

Ref read_input_registers(Args& a);
Ref read_input_register(Args& a);
Ref read_input_coils(Args& a);
Ref read_coil(Args& a);
Ref write_single_register(Args& a);
Ref write_coils(Args& a);
Ref mask_write_register(Args& a);
Ref read_write_registers(Args& a);
Ref read_device_identification(Args& a);
Ref read_int16(Args& a);
Ref read_32(Args& a);
Ref read_multi_32(Args& a);
Ref write_32(Args& a);
Ref write_multi_32(Args& a);
Ref read_values(Args& a);
Ref write_values(Args& a);
Ref diagnostics(Args& a);
Ref report_server_id(Args& a);
Ref read_file_record(Args& a);
Ref write_file_record(Args& a);
Ref read_fifo_queue(Args& a);
Ref execute(Args& a);
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code,
                 const char* returns = nullptr);

}  // namespace brel::tcp
