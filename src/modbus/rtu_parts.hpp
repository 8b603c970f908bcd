// The RTU master's parts shared by its files: its steps, transactions, answers and small helpers.
//
// Master's members reach each other through attribute look-up on the instance; while a
// step looked up is the library's own (Master's step table, binding/late_binding.hpp)
// its body is called directly. A read or write runs as one Transaction; an answer is
// collected in a Feedback. The files: rtu_steps.cpp (these parts), rtu_master.cpp (the
// class: its Python face, its steps and its member table), rtu_typed.cpp (the 32-bit
// typed values over the module's `struct`), rtu_data_model.cpp (Master's exchange
// for the shared operations of operations.hpp: codes 1 to 8, 11, 12, 15 to 17, 20 to 24, 43,
// raw requests and values of any layout).
#pragma once

#include "binding/late_binding.hpp"
#include "channel/serial_channel.hpp"
#include "modbus/adu.hpp"
#include "modbus/byte_buffer.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/traffic.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "modbus/rtu_exchange.hpp"
#include "modbus/serial_line.hpp"
#include "modbus/master_settings.hpp"
#include "modbus/operations.hpp"
#include "module/attributes.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace brel::rtu {

struct Transaction;
struct Protocol;
class Feedback;
struct Counted;
enum MasterStep : std::size_t;

Ref none();
Ref small_int(long v);
Ref empty_bytes();
bool plain_attribute(PyTypeObject* type, PyObject* name, bool store);
Ref get_plain(PyObject* self, PyObject* name);
bool plain_store(PyObject* self, PyObject* name);
void set_plain(PyObject* self, PyObject* name, PyObject* value);
Ref tunnel_of(PyObject* self);
Ref received_of(PyObject* self);
void set_record(PyObject* self, PyObject* name, PyObject* value);
[[noreturn]] void raise_timeout();
[[noreturn]] void raise_object(PyObject* obj);
bool truth(PyObject* v);
bool compare(PyObject* a, PyObject* b, int op);
Py_ssize_t length(PyObject* v);
bool as_byte(PyObject* v, std::uint8_t& out);
bool as_word(PyObject* v, std::uint16_t& out);
bool small_int_value(PyObject* v, long long& out);
bool attribute(PyObject* owner, PyObject* name, Ref& out);
void answered(Transaction& tx) noexcept;
[[noreturn]] void raise_formatted(PyObject* type, PyObject* format, PyObject* station);
[[noreturn]] void raise_mismatch(PyObject* station);
// ValueError (a FrameError) "modbus: message from slave with station %s has crc error".
[[noreturn]] void raise_crc_error(PyObject* station);
bool answer_head(PyObject* feedback, std::uint8_t* out, std::size_t room, std::size_t& size);
// The judge of both RTU masters (judge_rtu_answer) on an answer whose CRC was checked.
bool answer_belongs(const Transaction& tx, modbus::AnswerRule rule, const std::uint8_t* answer, std::size_t size);
void check_answer(Transaction& tx, modbus::AnswerRule rule, PyObject* feedback, PyObject* station);
void check_answer(Transaction& tx, modbus::AnswerRule rule, const ByteView& answer, PyObject* station);
Ref to_byte_array(PyObject* data);
Ref frame_array(const std::uint8_t* frame, std::size_t size);
StepTable& master_steps();
void write_message(PyObject* self, PyObject* msg);
Ref read_step(PyObject* self, PyObject* size);
Ref two_fields_frame(const Protocol& p, PyObject* station, PyObject* code, PyObject* first, PyObject* second);
void send_two_fields(PyObject* self, const Protocol& p, PyObject* station, PyObject* code, PyObject* first,
                     PyObject* second);
Ref feedback_step(PyObject* self, PyObject* station, PyObject* normal_msg_len, PyObject* check_crc);
void read_counted_answer(PyObject* self, PyObject* station, Counted& answer);
void check_answer(Transaction& tx, modbus::AnswerRule rule, Feedback& feedback, PyObject* station);
// The framing keyword, taken out of the keywords for the channel: true for "ascii", false
// for "rtu" or none; ValueError for anything else.
bool ascii_framing(PyObject* kwargs);
Ref master_init(Args& a);
Ref master_serial(Args& a);
Ref master_last_command_sent(Args& a);
Ref master_last_feedback_received(Args& a);
Ref master_close(Args& a);
Ref master_timeout(Args& a);
Ref master_set_timeout(Args& a);
Ref master_recovery_delay(Args& a);
Ref master_set_recovery_delay(Args& a);
Ref write_registers_frame(PyObject* station, PyObject* address, PyObject* values);
Ref write_coil_frame(PyObject* station, PyObject* address, PyObject* value);
Ref master_send_write_register_request(Args& a);
Ref master_send_write_registers_request(Args& a);
Ref master_send_write_coil_request(Args& a);
bool is_broadcast(const Transaction& tx, PyObject* station);
// The bodies of codes 1 to 6 and 16 through Master's steps, run by Master's exchange for
// the carried operations (rtu_master.cpp); the faces are in rtu_data_model.cpp.
Ref write_through_steps(PyObject* self, PyObject* station, MasterStep sender, PyObject* address, PyObject* subject);
Ref read_registers_through_steps(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code);
Ref read_bits_through_steps(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code);
Ref master_write_register(Args& a);
Ref master_write_registers(Args& a);
Ref master_write_coil(Args& a);
void send_read_request(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code);
Ref master_send_read_xx_registers_request(Args& a);
Ref send_read_xx_registers(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code);
Ref master_send_read_registers_request(Args& a);
Ref function_code(PyObject* name);
Ref master_send_read_input_registers_request(Args& a);
Ref decode_registers(PyObject* feedback);
Ref decode_registers(Feedback& feedback);
Ref master_read_registers(Args& a);
Ref first_of(Ref list);
Ref master_read_register(Args& a);
Ref master_read_input_registers(Args& a);
Ref master_read_input_register(Args& a);
Ref master_send_read_xx_coils_request(Args& a);
Ref master_send_read_coils_request(Args& a);
Ref master_send_read_input_coils_request(Args& a);
Ref decode_coils_general(PyObject* feedback, PyObject* left_len, PyObject* count);
Ref master_read_xx_coils(Args& a);
Ref master_read_coils(Args& a);
Ref master_read_input_coils(Args& a);
Ref master_read_coil(Args& a);
Ref read_body(PyObject* self, PyObject* size);
Ref master_read(Args& a);
void feedback_assistant_body(PyObject* self, PyObject* station, PyObject* normal_msg_len, PyObject* check_crc,
                             Feedback& feedback);
Ref master_feedback_assistant(Args& a);
Ref bytes_of(PyObject* message);
Ref master_write_message(Args& a);
void recover_line(PyObject* self, PyObject* tunnel);
void write_message_body(PyObject* self, PyObject* message);
void check_crc_of(PyObject* message, PyObject* station);
Ref master_check_crc(Args& a);
void call_check_crc(PyObject* message, PyObject* station);
Ref crc_verdict_of_bytes(Feedback& feedback);
void check_crc_step(Feedback& feedback, PyObject* station);
// The typed values of rtu_typed.cpp, through the module's struct: a register as a signed
// 16-bit int; two registers as one 32-bit value of `sign` ("I", "i", "f"), the high word
// first for endian ">"; `count` of them; and the other way, a value's two registers and
// the registers of values.
Ref signed16_of(PyObject* value);
Ref join32(PyObject* registers, PyObject* sign, PyObject* endian);
Ref join32_all(PyObject* registers, PyObject* count, PyObject* sign, PyObject* endian);
Ref split32(PyObject* value, PyObject* sign, PyObject* endian);
Ref split32_all(PyObject* values, PyObject* sign, PyObject* endian);
PyObject* sign_of(const Args& a);
Ref master_read_int16(Args& a);
Ref master_read_int32(Args& a);
Ref master_read_multi_int32(Args& a);
Ref master_write_int32(Args& a);
Ref master_write_multi_int32(Args& a);
Ref master_read_32(Args& a);
Ref master_read_multi_32(Args& a);
Ref master_write_32(Args& a);
Ref master_write_multi_32(Args& a);
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* sign);
std::uint8_t station_byte(PyObject* station);
std::uint16_t address_field(PyObject* v, const char* what = "address");
void send_pdu(PyObject* self, std::uint8_t station, const std::uint8_t* pdu, std::size_t n);
void write_confirmed(PyObject* self, PyObject* station, const std::uint8_t* pdu, std::size_t n, long size,
                     modbus::AnswerRule rule);
// Master's faces of the shared operations over any exchange (rtu_data_model.cpp): the
// arguments checked in order, then the operation; the master_ members run them over
// Master's own exchange.
Ref write_coils_on(ops::Exchange& ex, Args& a);
Ref mask_write_register_on(ops::Exchange& ex, Args& a);
Ref read_write_registers_on(ops::Exchange& ex, Args& a);
Ref read_values_on(ops::Exchange& ex, Args& a);
Ref write_values_on(ops::Exchange& ex, Args& a);
Ref read_exception_status_on(ops::Exchange& ex, Args& a);
Ref diagnostics_on(ops::Exchange& ex, Args& a);
Ref get_comm_event_counter_on(ops::Exchange& ex, Args& a);
Ref get_comm_event_log_on(ops::Exchange& ex, Args& a);
Ref report_server_id_on(ops::Exchange& ex, Args& a);
Ref read_file_record_on(ops::Exchange& ex, Args& a);
Ref write_file_record_on(ops::Exchange& ex, Args& a);
Ref read_fifo_queue_on(ops::Exchange& ex, Args& a);
Ref execute_on(ops::Exchange& ex, Args& a);
Ref read_device_identification_on(ops::Exchange& ex, Args& a);
Ref master_write_coils(Args& a);
Ref master_mask_write_register(Args& a);
std::uint16_t register_value(PyObject* value, Py_ssize_t i);
Ref master_read_write_registers(Args& a);
Ref master_read_device_identification(Args& a);
Ref master_read_values(Args& a);
Ref master_write_values(Args& a);
Ref master_read_exception_status(Args& a);
Ref master_diagnostics(Args& a);
Ref master_get_comm_event_counter(Args& a);
Ref master_get_comm_event_log(Args& a);
Ref master_report_server_id(Args& a);
Ref master_read_file_record(Args& a);
Ref master_write_file_record(Args& a);
Ref master_read_fifo_queue(Args& a);
Ref master_execute(Args& a);

// The steps of Master: the members that the others reach through attribute look-up on
// the instance, each named once here with the library's body, and the attributes its
// steps keep in the instance's __dict__ (the channel and the record).
enum MasterStep : std::size_t {
    kSendReadRegisters,
    kSendReadXxRegisters,
    kWriteMessage,
    kFeedbackAssistant,
    kRead,
    kSendWriteRegister,
    kSendWriteRegisters,
    kSendWriteCoil,
    kSendReadXxCoils,
    kReadXxCoils,
    kReadInt32,
    kReadMultiInt32,
    kWriteInt32,
    kWriteMultiInt32,
};

// self.<step>(*args): `direct` while the step is the library's own.
template <class Direct, class... A>
Ref run_step(PyObject* self, MasterStep step, Direct&& direct, A... args) {
    if (master_steps().own(self, step)) return direct();
    return call_method(self, master_steps().name(step), args...);
}

struct Transaction;
// The trace's record of what came for the transaction's request (rtu_steps.cpp).
void trace_answer(const Transaction& tx) noexcept;

struct Transaction {
    explicit Transaction(PyObject* master) : self(master), lock(master), settings(settings_of(master)), outer(current) {
        current = this;
    }
    ~Transaction() {
        if (sent && !answered && settings) {
            settings->line_unclean = true;
            settings->unclean_since = line::now();
        }
        if (sent && settings && settings->trace) trace_answer(*this);
        current = outer;
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    static Transaction* of(PyObject* master) noexcept {
        for (Transaction* t = current; t; t = t->outer)
            if (t->self == master) return t;
        return nullptr;
    }

    PyObject* self;
    ObjectLock lock;
    MasterSettings* settings;  // the master's, nullptr for an object without native state
    Transaction* outer;
    bool sent = false;            // the library's writer has sent a request in this transaction
    bool answered = false;        // and its answer was found sound (or none was due)
    modbus::RequestHead request;  // its station and the first bytes of its PDU

    static thread_local Transaction* current;
};

// What a request builder reaches in the module namespace.
struct Protocol {
    Ref byte_array;  // _byte_array
    Ref statics;     // ModbusStatic

    Protocol() : byte_array(BREL_GLOBAL("_byte_array")), statics(BREL_GLOBAL("ModbusStatic")) {}

    Ref code(PyObject* name) const { return getattr(statics.get(), name); }

    // True when _byte_array, split_register and calculate_crc are the library's own:
    // then a frame may be built in C++ with the same bytes.
    bool own_helpers() const {
        static TypeVerdict helpers;
        return byte_array_is_ours(byte_array.get()) &&
               helpers.holds(statics.get(), {BREL_STR("split_register"), BREL_STR("calculate_crc")}, [&] {
                   Ref split, crc;
                   return attribute(statics.get(), BREL_STR("split_register"), split) &&
                          split_register_is_ours(split.get()) &&
                          attribute(statics.get(), BREL_STR("calculate_crc"), crc) && calculate_crc_is_ours(crc.get());
               });
    }

    // The general road, step by step as the interpreter runs it.
    Ref start(PyObject* station, PyObject* code) const {
        Ref pair = own(PyTuple_Pack(2, station, code));
        return call(byte_array.get(), pair.get());
    }
    void extend_split(PyObject* msg, PyObject* value) const {
        Ref extend = getattr(msg, BREL_STR("extend"));
        Ref split = getattr(statics.get(), BREL_STR("split_register"));
        Ref pair = call(split.get(), value);
        call(extend.get(), pair.get());
    }
    void close(PyObject* msg) const {
        Ref extend = getattr(msg, BREL_STR("extend"));
        Ref crc_function = getattr(statics.get(), BREL_STR("calculate_crc"));
        Ref crc = call(crc_function.get(), msg);
        call(extend.get(), crc.get());
    }
};

// The lock that a member run as locked<...> takes, for a direct call of its body: none
// inside a transaction of this thread on the same master, which holds it already.
struct MemberLock {
    explicit MemberLock(PyObject* self) {
        if (!Transaction::of(self)) lock.emplace(self);
    }
    std::optional<ObjectLock> lock;
};

// Bytes kept in place up to the size of the longest RTU frame, on the heap beyond.
using ByteStore = modbus::ByteBuffer<modbus::kMaxPdu + 3>;

// An answer as the readers collect it: the byte array that _byte_array makes of the
// first piece read, extended with _byte_array of each further piece. While _byte_array
// is the library's own over the interpreter's array type, the bytes stay here and the
// array is made only when code outside the library is handed it; otherwise every step
// goes through the interpreter on the objects themselves.
class Feedback {
public:
    // feedback = _byte_array(data)
    void start(PyObject* data) {
        bytes_.clear();
        object_ = nullptr;
        if (!absorb(data)) object_ = to_byte_array(data);
    }
    // feedback = whatever a __feedback_assistant of another kind returned
    void adopt(Ref object) {
        bytes_.clear();
        object_ = std::move(object);
    }
    // feedback.extend as looked up before the next piece is read (nothing to look up
    // for bytes kept here: the array type's extend cannot change).
    Ref extender() const { return object_ ? getattr(object_.get(), BREL_STR("extend")) : Ref(); }
    // extend(_byte_array(data))
    void extend(PyObject* data, const Ref& extend) {
        if (!object_) {
            if (absorb(data)) return;
            object_ = real_byte_array(bytes_.data(), bytes_.size());  // the array made of the pieces so far
        }
        Ref method = extend ? extend : getattr(object_.get(), BREL_STR("extend"));
        Ref piece = to_byte_array(data);
        call(method.get(), piece.get());
    }

    bool plain() const noexcept { return !object_; }
    // len(feedback)
    Py_ssize_t count() const { return object_ ? length(object_.get()) : static_cast<Py_ssize_t>(bytes_.size()); }
    // feedback[i]
    Ref at(Py_ssize_t i) {
        if (!object_ && i < static_cast<Py_ssize_t>(bytes_.size())) return small_int(bytes_.data()[i]);
        return item(object(), i);
    }
    // Its bytes, when it is (or is kept as) a byte buffer.
    bool view(ByteView& out) const {
        if (object_) return byte_view(object_.get(), out);
        out = {bytes_.data(), static_cast<Py_ssize_t>(bytes_.size())};
        return true;
    }
    // The array itself, made now if its bytes were kept here.
    PyObject* object() {
        if (!object_) object_ = real_byte_array(bytes_.data(), bytes_.size());
        return object_.get();
    }

private:
    // Appends the bytes of _byte_array(data) when that is the library's own over the
    // interpreter's array type; false (and nothing done) otherwise.
    bool absorb(PyObject* data) {
        static NamespaceVerdict ours;
        if (!ours.holds([] {
                Ref function = BREL_GLOBAL("_byte_array");
                return byte_array_is_ours(function.get()) && arrays_are_real();
            }))
            return false;
        if (PyBytes_CheckExact(data)) {
            bytes_.append(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
            return true;
        }
        Ref piece = make_byte_array(data);  // what the array type makes of any other object, errors included
        ByteView bytes;
        if (!byte_view(piece.get(), bytes)) raise(PyExc_SystemError, "brel_modbus: array(\"B\") without its bytes");
        bytes_.append(bytes.data, static_cast<std::size_t>(bytes.size));
        return true;
    }

    ByteStore bytes_;
    Ref object_;
};

// The answer of a read: the first five bytes through __feedback_assistant, then the
// byte count announced in byte 2 through __read, the length test and the CRC check.
struct Counted {
    Feedback feedback;
    Ref left_len;
};

}  // namespace brel::rtu
