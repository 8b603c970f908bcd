// What the files of ModbusTCPMaster share: state names, small helpers, member bodies.
#pragma once

#include "modbus/adu.hpp"
#include "modbus/errors.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "modbus/tcp_exchange.hpp"
#include "modbus/master_settings.hpp"
#include "modbus/operations.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <climits>
#include <functional>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace brel::tcp {

// ---- names -----------------------------------------------------------------------------

// The instance's state, kept in its __dict__ under these names (the step table's kept names).
inline constexpr const char* kStateNames[] = {
    "_ModbusTCPMaster__socket",     "_ModbusTCPMaster__station",           "_ModbusTCPMaster__head_checker",
    "_ModbusTCPMaster__protocol",   "_ModbusTCPMaster__last_command_sent", "_ModbusTCPMaster__last_feedback_received",
    "_ModbusTCPMaster__target_host"};

inline PyObject* k_socket() { return BREL_STR(kStateNames[0]); }
inline PyObject* k_station() { return BREL_STR(kStateNames[1]); }
inline PyObject* k_head_checker() { return BREL_STR(kStateNames[2]); }
inline PyObject* k_protocol() { return BREL_STR(kStateNames[3]); }
inline PyObject* k_last_sent() { return BREL_STR(kStateNames[4]); }
inline PyObject* k_last_received() { return BREL_STR(kStateNames[5]); }
inline PyObject* k_target_host() { return BREL_STR(kStateNames[6]); }
inline PyObject* k_class() { return BREL_STR("ModbusTCPMaster"); }

// The steps of ModbusTCPMaster, in the order of its step table (tcp_late_binding.cpp): the
// members its other members reach through look-up, so that they can be replaced.
enum TcpMasterStep : std::size_t {
    kQueryStep,
    kProtocolProperty,
    kStationProperty,
    kHeaderBuilder,
    kWholeQueryBuilder,
    kReadRegistersBuilder,
    kReadCoilsBuilder,
    kWriteRegistersBuilder,
    kWriteCoilBuilder,
};

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

// prefix + str(target) + suffix.
inline Ref target_message(PyObject* target, PyObject* prefix, PyObject* suffix = nullptr) {
    Ref text = own(PyObject_Str(target));
    Ref message = own(PyUnicode_Concat(prefix, text.get()));
    if (suffix) message = own(PyUnicode_Concat(message.get(), suffix));
    return message;
}

// prefix + str(self.__target_host) + suffix.
inline Ref host_message(PyObject* self, PyObject* prefix, PyObject* suffix = nullptr) {
    Ref host = getattr(self, k_target_host());
    return target_message(host.get(), prefix, suffix);
}

// Whom the text of a failed answer names: self.__target_host looked up when it is needed,
// or a (host, port) given (the asyncio master's).
struct Peer {
    PyObject* self = nullptr;
    PyObject* target = nullptr;
    Ref message(PyObject* prefix, PyObject* suffix = nullptr) const {
        return target ? target_message(target, prefix, suffix) : host_message(self, prefix, suffix);
    }
};

[[noreturn]] inline void raise_object(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    raise();
}

// IOError (a MismatchError): prefix + the peer.
[[noreturn]] inline void raise_io(PyObject* self, PyObject* prefix) {
    Ref message = host_message(self, prefix);
    raise_object(family_or(errors.mismatch, builtins.IOError, PyExc_OSError), message.get());
}

// AssertionError for an answer that does not belong to the request (a MismatchError) or,
// with `family` errors.frame, for one that is malformed (a FrameError).
[[noreturn]] inline void raise_assertion(PyObject* message, PyObject* family = nullptr) {
    raise_object(family_or(family ? family : errors.mismatch, builtins.AssertionError, PyExc_AssertionError), message);
}

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
StepTable& tcp_master_steps();
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
Ref two_field_pdu(std::uint8_t code, PyObject* address, PyObject* count);
Ref write_registers_pdu(PyObject* address, PyObject* values);
Ref write_coil_pdu(PyObject* address, PyObject* value);
// The answer to a request of codes 1, 3, 5 or 16 its builder made, on the data part of the
// answer (what follows the function code), judged by the request's check against the
// caller's objects, for either front: the bits or registers read, None for a write.
Ref judge_carried(const Peer& peer, const ops::Carried& request, PyObject* feedback);

// ---- tcp_transaction.cpp: self.__query ----------------------------------------------------------

Ref query(Args& a);
// The exception of an exchange that ended without the data (any outcome but Done), naming
// the peer in the words of the TCP masters.
[[noreturn]] void raise_outcome(const Peer& peer, modbus::TcpStep step, const modbus::TcpExchange& exchange);

// ---- tcp_data_model.cpp: codes 2, 4, 6, 15, 22, 23 and 43, typed values -------------------------

// ModbusTCPMaster's exchange: each request through self.__query with the length its answer
// needs (the function code, the declared length and exception answers are checked there),
// then judged against the request: an answer that does not belong is AssertionError, in
// the operation's words.
class TcpMasterExchange final : public ops::Exchange {
public:
    // `address`: the operation's address, named in the texts of a failed write.
    TcpMasterExchange(PyObject* self, PyObject* address) : self_(self), address_(address) {}

    void confirm(ops::Pdu request, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault fault) override;
    Ref registers(ops::Pdu request, std::size_t count, ops::Fault fault) override;
    void page(ops::Pdu request, const ops::PageReader& read) override;
    [[noreturn]] void no_progress(std::uint8_t next, std::uint8_t asked) override;
    std::vector<std::uint8_t> answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                     ops::Fault fault) override;
    std::vector<std::uint16_t> read_words(PyObject* address, std::size_t n, PyObject* func_code) override;
    void write_list(PyObject* address, PyObject* registers) override;
    Ref carried(const ops::Carried& request) override;

private:
    PyObject* self_;
    PyObject* address_;
};

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
// The same faces over any exchange (the asyncio master replays them over its answers), and
// the judging of an answer of its own shape: what __query is asked for, then the answer's
// PDU from its data part, or AssertionError "Feedback for ... invalid".
Ref diagnostics_on(ops::Exchange& ex, Args& a);
Ref report_server_id_on(ops::Exchange& ex, Args& a);
Ref read_file_record_on(ops::Exchange& ex, Args& a);
Ref write_file_record_on(ops::Exchange& ex, Args& a);
Ref read_fifo_queue_on(ops::Exchange& ex, Args& a);
Ref execute_on(ops::Exchange& ex, Args& a);
// Codes 2 (`bits`) and 4: (address, count) checked in order, then the operation over `ex`.
Ref read_input_on(ops::Exchange& ex, PyObject* address, PyObject* count, bool bits);
// Code 6: (self, address, value) checked, then the operation over `ex`.
Ref write_single_register_on(ops::Exchange& ex, Args& a);
Ref needed_for(const ops::AnswerShape& shape);
std::vector<std::uint8_t> shaped_answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                        ops::Fault fault, PyObject* data);
// The data part of an answer against its request PDU, by `rule`; the registers of a checked
// read answer; "<prefix> address [N] to <peer> failed.".
bool answers(const std::uint8_t* request, std::size_t size, modbus::AnswerRule rule, PyObject* data);
Ref registers_of(PyObject* data);
[[noreturn]] void raise_write_failed(const Peer& peer, const char* prefix, PyObject* address);
// The prefix of the text of a failed write (codes 6, 15, 22) of `fault`.
const char* write_prefix(ops::Fault fault);
std::size_t limited_count(PyObject* count, const char* what, std::size_t top);
std::vector<std::uint16_t> written_words(PyObject* values);
// A code 43/14 answer's data part judged against its request and handed, function code
// first, to `read`; AssertionError "Feedback for reading device identification invalid"
// when it does not belong or `read` cannot parse it. The text of a page whose next object
// does not lie beyond the one asked for.
void identification_answer(const std::uint8_t* request, std::size_t size, PyObject* data,
                           const std::function<bool(const std::uint8_t*, std::size_t)>& read);
[[noreturn]] void raise_no_progress(std::uint8_t next, std::uint8_t asked);
// The typed members: the 32-bit members' endian as a byte order, n values of one format code
// as a layout, the member's format code (its Args::data).
PyObject* order_of(PyObject* endian);
// What a typed member does with its layout once its arguments are checked: ModbusTCPMaster
// runs it through its exchange now, the asyncio master queues its request. `first`: the
// first value alone.
class ValueRunner {
public:
    virtual Ref read(PyObject* address, const ValueLayout& layout, PyObject* func_code, bool first) = 0;
    virtual Ref write(PyObject* address, const ValueLayout& layout, PyObject* values) = 0;

protected:
    ~ValueRunner() = default;
};
// The typed members' faces, shared by both masters: the arguments checked in order, then `run`.
Ref read_int16_on(ValueRunner& run, Args& a);
Ref read_32_on(ValueRunner& run, Args& a);
Ref read_multi_32_on(ValueRunner& run, Args& a);
Ref write_32_on(ValueRunner& run, Args& a);
Ref write_multi_32_on(ValueRunner& run, Args& a);
Ref read_values_on(ValueRunner& run, Args& a);
Ref write_values_on(ValueRunner& run, Args& a);
ValueLayout layout_of(std::size_t n, char code, PyObject* order);
char code_of(const Args& a);
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code,
                 const char* returns = nullptr);

// The parameters of a TCP (or UDP) master's constructor: host, port, timeout, station = 1,
// then `more`.
inline std::vector<ParamSpec> target_params(std::initializer_list<ParamSpec> more = {}) {
    std::vector<ParamSpec> params{
        {"host", "str"}, {"port", "int"}, {"timeout", "float"}, {"station", "int", int_default(1)}};
    params.insert(params.end(), more);
    return params;
}

}  // namespace brel::tcp
