// Master: the Modbus RTU master over a serial channel.
//
// The channel comes from create_serial_instance (looked up in the module namespace
// when a master is made). Every request goes out through __write_message and every
// answer byte comes in through __read; the members call each other through attribute
// lookup on the instance, so a subclass that overrides a step is honoured.
//
// Requests are built through _byte_array and the ModbusStatic helpers as looked up at
// call time. While those are still the library's own and the arguments are plain ints
// that fit, the frame is built in C++ (frames.hpp) in one go; otherwise the same steps
// run through the interpreter, which then raises its own errors (OverflowError for a
// station above 255, TypeError for a float address, ...). Both roads give the same
// bytes.
#include "channel/serial_channel.hpp"
#include "modbus/adu.hpp"
#include "modbus/classes.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "modbus/serial_line.hpp"
#include "binding/late_binding.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace brel {
namespace {

// ---- small helpers -----------------------------------------------------------------

Ref none() { return Ref::borrow(Py_None); }
Ref small_int(long v) { return own(PyLong_FromLong(v)); }
Ref empty_bytes() { return own(PyBytes_FromStringAndSize(nullptr, 0)); }

// self.name and self.name = value as generic attribute access does them: straight in
// the instance's __dict__ while the class looks attributes up the generic way and
// defines nothing of that name (so no descriptor comes first); through the interpreter
// otherwise, which also raises the errors.
Ref instance_dict(PyObject* self) {
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
    if (!dict) PyErr_Clear();
    return dict;
}

// The steps of Master: the members that the others reach through attribute look-up on
// the instance, each named once here with the library's body, and the attributes its
// steps keep in the instance's __dict__ (the channel and the record).
enum MasterStep : std::size_t { kSendReadRegisters, kSendReadXxRegisters, kWriteMessage, kFeedbackAssistant, kRead };
StepTable& master_steps();

// True when self.name is read (store: written) straight in the instance's __dict__.
bool plain_attribute(PyTypeObject* type, PyObject* name, bool store) {
    if (master_steps().kept(type, name)) return true;
    return (store ? type->tp_setattro == PyObject_GenericSetAttr : type->tp_getattro == PyObject_GenericGetAttr) &&
           !_PyType_Lookup(type, name);
}

Ref get_plain(PyObject* self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self);
    if (plain_attribute(type, name, false)) {
        if (Ref dict = instance_dict(self)) {
            if (PyObject* value = PyDict_GetItemWithError(dict.get(), name)) return Ref::borrow(value);
            if (PyErr_Occurred()) raise();
        }
    }
    return getattr(self, name);
}

// True when self.name = value is a store in the instance's __dict__.
bool plain_store(PyObject* self, PyObject* name) { return plain_attribute(Py_TYPE(self), name, true); }

void set_plain(PyObject* self, PyObject* name, PyObject* value) {
    if (plain_store(self, name)) {
        if (Ref dict = instance_dict(self)) {
            check(PyDict_SetItem(dict.get(), name, value));
            return;
        }
    }
    setattr(self, name, value);
}

Ref tunnel_of(PyObject* self) { return get_plain(self, BREL_STR("_Master__tunnel")); }

// self.MessageLastReceived, as the read steps take it.
Ref received_of(PyObject* self) { return get_plain(self, BREL_STR("MessageLastReceived")); }

// self.<name> = value for the record's names (MessageLastSent, MessageLastReceived), as
// the steps store them.
void set_record(PyObject* self, PyObject* name, PyObject* value) { set_plain(self, name, value); }

[[noreturn]] void raise_timeout() { raise(builtins.IOError, "modbus: read from slave timeout"); }

// `raise obj` as the interpreter does it.
[[noreturn]] void raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    else if (PyExceptionClass_Check(obj))
        PyErr_SetNone(obj);
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    raise();
}

bool truth(PyObject* v) { return check(PyObject_IsTrue(v)) != 0; }
bool compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompareBool(a, b, op)) != 0; }
Py_ssize_t length(PyObject* v) { return check_size(PyObject_Length(v)); }

// An exact int from 0 to 255: a frame byte as the fast road takes it.
bool as_byte(PyObject* v, std::uint8_t& out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || n < 0 || n > 255) return false;
    out = static_cast<std::uint8_t>(n);
    return true;
}

// An exact int that fits a machine word: its low 16 bits, two's complement for a
// negative value, as split_register gives them.
bool as_word(PyObject* v, std::uint16_t& out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<std::uint16_t>(n & 0xFFFF);
    return true;
}

// The value of an exact int within a range where the arithmetic and comparisons of the
// steps (lengths and byte values) are the same in C as in the interpreter.
bool small_int_value(PyObject* v, long long& out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    return !overflow && out > -(1LL << 40) && out < (1LL << 40);
}

// owner.name when it can be had; false (and no error set) otherwise.
bool attribute(PyObject* owner, PyObject* name, Ref& out) {
    out = Ref::steal_or_null(PyObject_GetAttr(owner, name));
    if (!out) PyErr_Clear();
    return static_cast<bool>(out);
}

// ---- the library's own steps, called directly ----------------------------------------------
//
// The members reach each other through attribute lookup on the instance. While the step
// looked up is the library's own (master_steps(): the class holds the library's body and
// the instance's __dict__ does not hide it), the body is called here directly, with the
// arguments and entry checks it would have had; otherwise the call goes through the
// interpreter as written. A subclass that overrides a step, or a step replaced on the
// class or the instance, is called as before.

// self.<step>(*args): `direct` while the step is the library's own.
template <class Direct, class... A>
Ref run_step(PyObject* self, MasterStep step, Direct&& direct, A... args) {
    if (master_steps().own(self, step)) return direct();
    return call_method(self, master_steps().name(step), args...);
}

// ---- transactions -------------------------------------------------------------------------
//
// An operation that reads an answer runs as one Transaction: it holds the master's lock
// from its request to the end of its answer, and it is where the single writer leaves
// the request it put on the line, so that the answer can be checked against the bytes
// that really went out (whichever road built them). The innermost transaction of this
// thread for the same master is the one a writer or reader sees.
//
// RTU has no transaction identifier: an answer that comes after its time-out looks like
// the answer to the next request. So a transaction whose request went out and whose
// answer was never found sound (a time-out, a CRC error, a mismatch, anything that failed
// on the way) leaves the line marked unclean, and the writer waits for a quiet line before
// the next request (recovery_delay). An answer found sound, a refusal in a sound frame,
// and a broadcast (which nobody answers) leave it clean.

struct Transaction {
    explicit Transaction(PyObject* master) : self(master), lock(master), outer(current) { current = this; }
    ~Transaction() {
        if (sent && !answered) {
            if (MasterSettings* settings = existing_settings(self)) {
                settings->line_unclean = true;
                settings->unclean_since = line::now();
            }
        }
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
    Transaction* outer;
    bool sent = false;            // the library's writer has sent a request in this transaction
    bool answered = false;        // and its answer was found sound (or none was due)
    modbus::RequestHead request;  // its station and the first bytes of its PDU

    static thread_local Transaction* current;
};
thread_local Transaction* Transaction::current = nullptr;

// The transaction's request was answered soundly (or was a broadcast): the line is clean.
void answered(Transaction& tx) noexcept {
    tx.answered = true;
    if (MasterSettings* settings = existing_settings(tx.self)) settings->line_unclean = false;
}

[[noreturn]] void raise_formatted(PyObject* type, PyObject* format, PyObject* station) {
    Ref values = own(PyTuple_Pack(1, station));
    Ref text = own(PyUnicode_Format(format, values.get()));
    PyErr_SetObject(type, text.get());
    raise();
}

[[noreturn]] void raise_mismatch(PyObject* station) {
    raise_formatted(builtins.ValueError,
                    BREL_STR("modbus: answer from slave with station %s does not match the request"), station);
}

// The first bytes of an answer (at most `room`) and its length, from a byte buffer or,
// for a buffer of another kind, item by item; false when an item is not a byte.
bool answer_head(PyObject* feedback, std::uint8_t* out, std::size_t room, std::size_t& size) {
    ByteView view;
    if (byte_view(feedback, view)) {
        size = static_cast<std::size_t>(view.size);
        std::copy_n(view.data, std::min(room, size), out);
        return true;
    }
    size = static_cast<std::size_t>(length(feedback));
    for (std::size_t i = 0; i < std::min(room, size); ++i) {
        Ref byte = item(feedback, static_cast<Py_ssize_t>(i));
        const long v = PyLong_Check(byte.get()) ? PyLong_AsLong(byte.get()) : -1;
        if (v == -1 && PyErr_Occurred()) PyErr_Clear();
        if (v < 0 || v > 255) return false;
        out[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

// ValueError unless the answer (CRC checked) answers the transaction's request. Nothing
// to compare with when the request did not go out through the library's own writer.
void check_answer(Transaction& tx, modbus::AnswerRule rule, PyObject* feedback, PyObject* station) {
    if (!tx.sent) return;
    std::uint8_t head[8];
    std::size_t size = 0;
    if (!answer_head(feedback, head, sizeof head, size) || size < 5 ||
        !modbus::rtu_answer_matches(tx.request, rule, head, size))
        raise_mismatch(station);
    answered(tx);
}

void check_answer(Transaction& tx, modbus::AnswerRule rule, const ByteView& answer, PyObject* station) {
    if (!tx.sent) return;
    if (!modbus::rtu_answer_matches(tx.request, rule, answer.data, static_cast<std::size_t>(answer.size)))
        raise_mismatch(station);
    answered(tx);
}

// ---- the protocol helpers as looked up at call time -------------------------------------

// _byte_array(data), straight to the array type while _byte_array is the library's own.
Ref to_byte_array(PyObject* data) {
    Ref function = BREL_GLOBAL("_byte_array");
    if (byte_array_is_ours(function.get())) return make_byte_array(data);
    return call(function.get(), data);
}

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

// A frame built in C++, as the byte array the writer expects.
Ref frame_array(const std::uint8_t* frame, std::size_t size) { return new_byte_array(frame, size); }

// The single reader, the single writer and the answer's head: the bodies that the
// direct calls reach, defined with the member table's other members below.
Ref master_read(Args& a);
Ref master_feedback_assistant(Args& a);
Ref master_write_message(Args& a);
Ref master_check_crc(Args& a);
void write_message_body(PyObject* self, PyObject* message);
Ref read_body(PyObject* self, PyObject* size);
Ref master_send_read_xx_registers_request(Args& a);
Ref master_send_read_registers_request(Args& a);

StepTable& master_steps() {
    static StepTable steps({{"send_read_registers_request", master_send_read_registers_request},
                            {"_Master__send_read_xx_registers_request", master_send_read_xx_registers_request},
                            {"_Master__write_message", locked<master_write_message>},
                            {"_Master__feedback_assistant", locked<master_feedback_assistant>},
                            {"_Master__read", locked<master_read>}},
                           {"_Master__tunnel", "MessageLastReceived", "MessageLastSent"});
    return steps;
}

// The lock that a member run as locked<...> takes, for a direct call of its body: none
// inside a transaction of this thread on the same master, which holds it already.
struct MemberLock {
    explicit MemberLock(PyObject* self) {
        if (!Transaction::of(self)) lock.emplace(self);
    }
    std::optional<ObjectLock> lock;
};

// self.__write_message(msg)
void write_message(PyObject* self, PyObject* msg) {
    run_step(
        self, kWriteMessage,
        [&] {
            MemberLock lock(self);
            write_message_body(self, msg);
            return none();
        },
        msg);
}

// self.__read(size)
Ref read_step(PyObject* self, PyObject* size) {
    return run_step(
        self, kRead,
        [&] {
            MemberLock lock(self);
            return read_body(self, size);
        },
        size);
}

// Station, code and two 16-bit fields: the read requests and the single-register write.
void send_two_fields(PyObject* self, const Protocol& p, PyObject* station, PyObject* code, PyObject* first,
                     PyObject* second) {
    std::uint8_t st, fc;
    std::uint16_t f1, f2;
    Ref msg;
    if (as_byte(station, st) && as_byte(code, fc) && as_word(first, f1) && as_word(second, f2) && p.own_helpers()) {
        std::uint8_t frame[modbus::kRtuRequestSize];
        msg = frame_array(frame, modbus::rtu_two_fields(frame, st, fc, f1, f2));
    } else {
        msg = p.start(station, code);
        p.extend_split(msg.get(), first);
        p.extend_split(msg.get(), second);
        p.close(msg.get());
    }
    write_message(self, msg.get());
}

// ---- answers ------------------------------------------------------------------------------

// Master.__check_crc(message, station), with Master looked up at call time.
void call_check_crc(PyObject* message, PyObject* station);

// Bytes kept in place up to the size of the longest RTU frame, on the heap beyond.
class ByteStore {
public:
    void clear() noexcept {
        size_ = 0;
        heap_.clear();
    }
    void append(const std::uint8_t* data, std::size_t n) {
        if (heap_.empty() && size_ + n <= sizeof inline_) {
            std::copy_n(data, n, inline_ + size_);
        } else {
            if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
            heap_.insert(heap_.end(), data, data + n);
        }
        size_ += n;
    }
    const std::uint8_t* data() const noexcept { return heap_.empty() ? inline_ : heap_.data(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::uint8_t inline_[modbus::kMaxPdu + 3];
    std::vector<std::uint8_t> heap_;
    std::size_t size_ = 0;
};

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

// Master.__check_crc(feedback, station), with Master looked up at call time.
void check_crc_step(Feedback& feedback, PyObject* station);
void feedback_assistant_body(PyObject* self, PyObject* station, PyObject* normal_msg_len, PyObject* check_crc,
                             Feedback& feedback);

// self.__feedback_assistant(station, normal_msg_len, check_crc): the answer as an object.
// `check_crc` is passed on only when it is not the default (False), as the callers wrote it.
Ref feedback_step(PyObject* self, PyObject* station, PyObject* normal_msg_len, PyObject* check_crc) {
    if (master_steps().own(self, kFeedbackAssistant)) {
        MemberLock lock(self);
        Feedback feedback;
        feedback_assistant_body(self, station, normal_msg_len, check_crc, feedback);
        return Ref::borrow(feedback.object());
    }
    if (check_crc == Py_False)
        return call_method(self, master_steps().name(kFeedbackAssistant), station, normal_msg_len);
    return call_method(self, master_steps().name(kFeedbackAssistant), station, normal_msg_len, check_crc);
}

// The answer of a read: the first five bytes through __feedback_assistant, then the
// byte count announced in byte 2 through __read, the length test and the CRC check.
struct Counted {
    Feedback feedback;
    Ref left_len;
};

void read_counted_answer(PyObject* self, PyObject* station, Counted& answer) {
    Ref five = small_int(5);
    if (master_steps().own(self, kFeedbackAssistant)) {
        MemberLock lock(self);
        feedback_assistant_body(self, station, five.get(), Py_False, answer.feedback);
    } else {
        answer.feedback.adopt(call_method(self, master_steps().name(kFeedbackAssistant), station, five.get()));
    }
    answer.left_len = answer.feedback.at(2);
    Ref extend = answer.feedback.extender();
    Ref rest = read_step(self, answer.left_len.get());
    answer.feedback.extend(rest.get(), extend);
    long long left = 0;
    if (small_int_value(answer.left_len.get(), left)) {  // len(feedback) < 5 + left_len, in C
        if (answer.feedback.count() < 5 + left) raise_timeout();
    } else {
        Ref have = own(PyLong_FromSsize_t(answer.feedback.count()));
        Ref need = own(PyNumber_Add(five.get(), answer.left_len.get()));
        if (compare(have.get(), need.get(), Py_LT)) raise_timeout();
    }
    check_crc_step(answer.feedback, station);
}

void check_answer(Transaction& tx, modbus::AnswerRule rule, Feedback& feedback, PyObject* station) {
    if (!tx.sent) return;
    ByteView bytes;
    if (feedback.plain() && feedback.view(bytes))
        check_answer(tx, rule, bytes, station);
    else
        check_answer(tx, rule, feedback.object(), station);
}

// ---- construction, record, lifecycle ------------------------------------------------------

Ref master_init(Args& a) {
    PyObject* self = a[0];
    Ref factory = global(BREL_STR("create_serial_instance"));
    Ref keywords = own(PyDict_New());
    check(PyDict_SetItem(keywords.get(), BREL_STR("port"), a[1]));
    check(PyDict_SetItem(keywords.get(), BREL_STR("baudrate"), a[2]));
    check(PyDict_SetItem(keywords.get(), BREL_STR("timeout"), a[3]));
    check(PyDict_Update(keywords.get(), a.kwargs.get()));
    Ref no_args = own(PyTuple_New(0));
    Ref tunnel = own(PyObject_Call(factory.get(), no_args.get(), keywords.get()));
    setattr(self, BREL_STR("_Master__tunnel"), tunnel.get());
    Ref empty = empty_bytes();
    setattr(self, BREL_STR("MessageLastSent"), empty.get());
    setattr(self, BREL_STR("MessageLastReceived"), empty.get());
    return none();
}

Ref master_serial(Args& a) { return tunnel_of(a[0]); }
Ref master_last_command_sent(Args& a) { return getattr(a[0], BREL_STR("MessageLastSent")); }
Ref master_last_feedback_received(Args& a) { return getattr(a[0], BREL_STR("MessageLastReceived")); }

Ref master_close(Args& a) {
    Ref tunnel = tunnel_of(a[0]);
    Ref open = channel::is_open(tunnel.get());
    if (truth(open.get())) channel::close(tunnel.get());
    return none();
}

Ref master_timeout(Args& a) {
    Ref tunnel = tunnel_of(a[0]);
    return channel::timeout(tunnel.get());
}

Ref master_set_timeout(Args& a) {
    Ref tunnel = tunnel_of(a[0]);
    channel::set_timeout(tunnel.get(), a[1]);
    return none();
}

// recovery_delay: the quiet time the writer waits for after a transaction that did not
// end cleanly; while no value was set (or after None), the channel's time-out as it stands.
Ref master_recovery_delay(Args& a) {
    const MasterSettings settings = settings_now(a[0]);
    if (settings.recovery_set) return own(PyFloat_FromDouble(settings.recovery_delay));
    Ref tunnel = tunnel_of(a[0]);
    return own(PyFloat_FromDouble(line::delay_of_timeout(tunnel.get())));
}

Ref master_set_recovery_delay(Args& a) {
    const bool follow_timeout = a[1] == Py_None;
    const double seconds = follow_timeout ? 0 : line::checked_delay(a[1]);
    MasterSettings* settings = settings_of(a[0]);
    if (!settings) raise(PyExc_TypeError, "this object keeps no settings");
    settings->recovery_set = !follow_timeout;
    settings->recovery_delay = seconds;
    return none();
}

// ---- writes ---------------------------------------------------------------------------------

Ref master_send_write_register_request(Args& a) {
    PyObject *self = a[0], *station = a[1], *address = a[2], *value = a[3];
    check_field(address, "address", modbus::kMaxAddress);
    Protocol p;
    Ref code = p.code(BREL_STR("FC_Write_Register"));
    send_two_fields(self, p, station, code.get(), address, value);
    return none();
}

Ref master_send_write_registers_request(Args& a) {
    PyObject *self = a[0], *station = a[1], *address = a[2], *values = a[3];
    const Py_ssize_t count = length(values);
    if (count > static_cast<Py_ssize_t>(modbus::kRtuMaxWriteRegisters))
        raise(builtins.ValueError, "modbus write registers: invalid argument: register count must be less than 128");
    check_field(address, "address", modbus::kMaxAddress);
    Protocol p;
    Ref code = p.code(BREL_STR("FC_Write_Registers"));
    Ref msg;
    std::uint8_t st, fc;
    std::uint16_t start;
    bool fast = (PyList_CheckExact(values) || PyTuple_CheckExact(values)) &&
                PySequence_Fast_GET_SIZE(values) == count && as_byte(station, st) && as_byte(code.get(), fc) &&
                as_word(address, start);
    std::uint16_t words[modbus::kRtuMaxWriteRegisters];
    for (Py_ssize_t i = 0; fast && i < count; ++i) fast = as_word(PySequence_Fast_ITEMS(values)[i], words[i]);
    if (fast && p.own_helpers()) {
        std::uint8_t frame[9 + 2 * modbus::kRtuMaxWriteRegisters];
        msg = frame_array(frame,
                          modbus::rtu_write_registers(frame, st, fc, start, words, static_cast<std::size_t>(count)));
    } else {
        msg = p.start(station, code.get());
        p.extend_split(msg.get(), address);
        Ref count_obj = own(PyLong_FromSsize_t(count));
        p.extend_split(msg.get(), count_obj.get());
        Ref byte_count = own(PyLong_FromSsize_t(2 * count));
        call_method(msg.get(), BREL_STR("append"), byte_count.get());
        Ref it = own(PyObject_GetIter(values));
        while (Ref value = Ref::steal_or_null(PyIter_Next(it.get()))) p.extend_split(msg.get(), value.get());
        if (PyErr_Occurred()) raise();
        p.close(msg.get());
    }
    write_message(self, msg.get());
    return none();
}

Ref master_send_write_coil_request(Args& a) {
    PyObject *self = a[0], *station = a[1], *address = a[2], *value = a[3];
    check_field(address, "address", modbus::kMaxAddress);
    Protocol p;
    Ref code = p.code(BREL_STR("FC_Write_Coil"));
    Ref msg;
    std::uint8_t st, fc;
    std::uint16_t where;
    if (as_byte(station, st) && as_byte(code.get(), fc) && as_word(address, where) && p.own_helpers()) {
        // The truth test is the first step that can run interpreter code, as on the
        // general road, where building the frame up to here cannot fail.
        const bool on = truth(value);
        std::uint8_t frame[modbus::kRtuRequestSize];
        msg = frame_array(frame, modbus::rtu_write_coil(frame, st, fc, where, on));
    } else {
        msg = p.start(station, code.get());
        p.extend_split(msg.get(), address);
        Ref state = small_int(truth(value) ? 255 : 0);
        Ref zero = small_int(0);
        Ref pair = own(PyTuple_Pack(2, state.get(), zero.get()));
        call_method(msg.get(), BREL_STR("extend"), pair.get());
        p.close(msg.get());
    }
    write_message(self, msg.get());
    return none();
}

// A request to station 0 is a broadcast, which no slave answers.
bool is_broadcast(const Transaction& tx, PyObject* station) {
    if (tx.sent) return tx.request.station() == 0;
    return PyLong_Check(station) && PyObject_RichCompareBool(station, Ref(small_int(0)).get(), Py_EQ) == 1;
}

// write_register, write_registers and write_coil: the sender looked up on the
// instance, then the 8-byte answer with its CRC checked and compared with the request
// (the echo of address and value or quantity). The answer is dropped. A broadcast is
// done once its frame is written.
Ref write_and_confirm(Args& a, PyObject* sender) {
    PyObject *self = a[0], *station = a[1];
    Transaction tx(self);
    call_method(self, sender, station, a[2], a[3]);
    if (is_broadcast(tx, station)) {
        answered(tx);
        return none();
    }
    Ref eight = small_int(8);
    Ref feedback = feedback_step(self, station, eight.get(), Py_True);
    check_answer(tx, modbus::AnswerRule::Echo, feedback.get(), station);
    return none();
}

Ref master_write_register(Args& a) { return write_and_confirm(a, BREL_STR("send_write_register_request")); }
Ref master_write_registers(Args& a) { return write_and_confirm(a, BREL_STR("send_write_registers_request")); }
Ref master_write_coil(Args& a) { return write_and_confirm(a, BREL_STR("send_write_coil_request")); }

// ---- register reads -------------------------------------------------------------------------

// The read requests: station, code, address, count.
void send_read_request(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code) {
    check_field(address, "address", modbus::kMaxAddress);
    check_field(count, "count", modbus::kMaxAddress);
    Protocol p;
    send_two_fields(self, p, station, code, address, count);
}

Ref master_send_read_xx_registers_request(Args& a) {
    send_read_request(a[0], a[1], a[2], a[3], a[4]);
    return none();
}

// self.__send_read_xx_registers_request(station, address, count, code)
Ref send_read_xx_registers(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code) {
    if (master_steps().own(self, kSendReadXxRegisters)) {
        // its entry rules, in parameter order
        check_rule(Rule::Int, BREL_STR("station"), station);
        check_rule(Rule::Int, BREL_STR("address"), address);
        check_rule(Rule::Int, BREL_STR("count"), count);
        check_rule(Rule::Int, BREL_STR("code"), code);
        send_read_request(self, station, address, count, code);
        return none();
    }
    return call_method(self, master_steps().name(kSendReadXxRegisters), station, address, count, code);
}

Ref master_send_read_registers_request(Args& a) {
    refuse_writing_code(a[4]);
    return send_read_xx_registers(a[0], a[1], a[2], a[3], a[4]);
}

// ModbusStatic.<name>, read at call time.
Ref function_code(PyObject* name) {
    Ref statics = BREL_GLOBAL("ModbusStatic");
    return getattr(statics.get(), name);
}

Ref master_send_read_input_registers_request(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Registers"));
    return send_read_xx_registers(a[0], a[1], a[2], a[3], code.get());
}

// The register values of a checked answer: bytes 3 and 4, 5 and 6, ... joined by
// ModbusStatic.compound_register while the index is below the length minus 2.
Ref decode_registers(PyObject* feedback) {
    const Py_ssize_t n = length(feedback);
    if (n - 2 <= 3) return own(PyList_New(0));
    Ref statics = BREL_GLOBAL("ModbusStatic");
    Ref compound = getattr(statics.get(), BREL_STR("compound_register"));
    if (is_library_member(compound.get(), "ModbusStatic", "compound_register")) {
        const Py_ssize_t count = (n - 4) / 2;
        Ref values = own(PyList_New(count));  // made before the view: nothing runs after it
        ByteView bytes;
        if (byte_view(feedback, bytes) && bytes.size == n) {
            fill_registers(values.get(), bytes.data + 3);
            return values;
        }
    }
    Ref values = own(PyList_New(0));
    for (Py_ssize_t idx = 3; idx < n - 2; idx += 2) {
        Ref high = item(feedback, idx);
        Ref low = item(feedback, idx + 1);
        Ref value = call(compound.get(), high.get(), low.get());
        check(PyList_Append(values.get(), value.get()));
    }
    return values;
}

// The register values of a checked answer kept by the reader.
Ref decode_registers(Feedback& feedback) {
    ByteView bytes;
    if (!feedback.plain() || !feedback.view(bytes)) return decode_registers(feedback.object());
    const Py_ssize_t n = bytes.size;
    if (n - 2 <= 3) return own(PyList_New(0));
    Ref statics = BREL_GLOBAL("ModbusStatic");
    static TypeVerdict compound_ours;
    if (!compound_ours.holds(statics.get(), {BREL_STR("compound_register")}, [&] {
            Ref compound = getattr(statics.get(), BREL_STR("compound_register"));
            return is_library_member(compound.get(), "ModbusStatic", "compound_register");
        }))
        return decode_registers(feedback.object());
    const Py_ssize_t count = (n - 4) / 2;
    Ref values = own(PyList_New(count));
    fill_registers(values.get(), bytes.data + 3);
    return values;
}

Ref master_read_registers(Args& a) {
    PyObject *self = a[0], *station = a[1];
    refuse_writing_code(a[4]);
    Transaction tx(self);
    if (master_steps().own(self, kSendReadRegisters)) {
        check_rule(Rule::Int, BREL_STR("func_code"), a[4]);  // its entry rule
        send_read_xx_registers(self, station, a[2], a[3], a[4]);
    } else {
        call_method(self, master_steps().name(kSendReadRegisters), station, a[2], a[3], a[4]);
    }
    Counted answer;
    read_counted_answer(self, station, answer);
    check_answer(tx, modbus::AnswerRule::RegisterBytes, answer.feedback, station);
    return decode_registers(answer.feedback);
}

Ref first_of(Ref list) { return item(list.get(), 0); }

Ref master_read_register(Args& a) {
    refuse_writing_code(a[3]);
    Ref one = small_int(1);
    return first_of(call_method(a[0], BREL_STR("read_registers"), a[1], a[2], one.get(), a[3]));
}

Ref master_read_input_registers(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Registers"));
    return call_method(a[0], BREL_STR("read_registers"), a[1], a[2], a[3], code.get());
}

Ref master_read_input_register(Args& a) {
    Ref one = small_int(1);
    return first_of(call_method(a[0], BREL_STR("read_input_registers"), a[1], a[2], one.get()));
}

// ---- coil reads ---------------------------------------------------------------------------------

Ref master_send_read_xx_coils_request(Args& a) {
    send_read_request(a[0], a[1], a[2], a[3], a[4]);
    return none();
}

Ref master_send_read_coils_request(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Coils"));
    return call_method(a[0], BREL_STR("_Master__send_read_xx_coils_request"), a[1], a[2], a[3], code.get());
}

Ref master_send_read_input_coils_request(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Coils"));
    return call_method(a[0], BREL_STR("_Master__send_read_xx_coils_request"), a[1], a[2], a[3], code.get());
}

// The coil states of a checked answer through the interpreter's operators, for an
// answer that is not a plain byte buffer.
Ref decode_coils_general(PyObject* feedback, PyObject* left_len, PyObject* count) {
    Ref three = small_int(3);
    Ref stop = own(PyNumber_Add(three.get(), left_len));
    Ref slice = own(PySlice_New(three.get(), stop.get(), nullptr));
    Ref used = own(PyObject_GetItem(feedback, slice.get()));
    Ref bits = small_int(0);
    Ref it = own(PyObject_GetIter(used.get()));
    long shift = 0;
    while (Ref byte = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref by = small_int(shift);
        Ref term = own(PyNumber_Lshift(byte.get(), by.get()));
        bits = own(PyNumber_InPlaceAdd(bits.get(), term.get()));
        shift += 8;
    }
    if (PyErr_Occurred()) raise();
    Ref eight = small_int(8);
    Ref all = own(PyNumber_Multiply(eight.get(), left_len));
    PyObject* smaller = compare(count, all.get(), Py_LT) ? count : all.get();
    Ref index = own(PyNumber_Index(smaller));
    const Py_ssize_t coil_count = check_size(PyNumber_AsSsize_t(index.get(), PyExc_OverflowError));
    Ref values = own(PyList_New(0));
    Ref one = small_int(1);
    for (Py_ssize_t i = 0; i < coil_count; ++i) {
        Ref at = own(PyLong_FromSsize_t(i));
        Ref mask = own(PyNumber_Lshift(one.get(), at.get()));
        Ref bit = own(PyNumber_And(bits.get(), mask.get()));
        check(PyList_Append(values.get(), truth(bit.get()) ? Py_True : Py_False));
    }
    return values;
}

Ref master_read_xx_coils(Args& a) {
    PyObject *self = a[0], *station = a[1], *count = a[3];
    Transaction tx(self);
    call_method(self, BREL_STR("_Master__send_read_xx_coils_request"), station, a[2], count, a[4]);
    Counted answer;
    read_counted_answer(self, station, answer);
    check_answer(tx, modbus::AnswerRule::BitBytes, answer.feedback, station);
    std::uint8_t n;
    if (as_byte(answer.left_len.get(), n) && answer.feedback.count() >= 5 + n) {
        // count is an exact int (entry rule); one beyond a machine word is simply large.
        int overflow = 0;
        long long wanted = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow > 0) wanted = 8LL * n;
        if (overflow < 0 || wanted < 0) wanted = 0;
        const Py_ssize_t coil_count = static_cast<Py_ssize_t>(wanted < 8LL * n ? wanted : 8LL * n);
        Ref values = own(PyList_New(coil_count));  // made before the view: nothing runs after it
        ByteView bytes;
        if (answer.feedback.view(bytes) && bytes.size >= 5 + n) {
            fill_bits(values.get(), bytes.data + 3);
            return values;
        }
    }
    return decode_coils_general(answer.feedback.object(), answer.left_len.get(), count);
}

Ref master_read_coils(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Coils"));
    return call_method(a[0], BREL_STR("_Master__read_xx_coils"), a[1], a[2], a[3], code.get());
}

Ref master_read_input_coils(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Coils"));
    return call_method(a[0], BREL_STR("_Master__read_xx_coils"), a[1], a[2], a[3], code.get());
}

Ref master_read_coil(Args& a) {
    Ref one = small_int(1);
    return first_of(call_method(a[0], BREL_STR("read_coils"), a[1], a[2], one.get()));
}

// ---- typed values ---------------------------------------------------------------------------------
//
// The conversions go through the module-level `struct` as looked up at call time:
// packing registers with "HH" (low word first) and unpacking with the value's format,
// or the reverse. While `struct` is the interpreter's own module, formats "I", "i" and
// "f" are converted here instead, with the results of a little-endian host on any host
// and the same errors, raised through the real struct.pack where one is due.

static_assert(std::numeric_limits<float>::is_iec559, "IEEE single precision expected");

// struct.pack, struct.unpack and struct.error as the interpreter's _struct module has
// them; pack is null when they cannot be had.
struct RealStruct {
    PyObject* pack = nullptr;
    PyObject* unpack = nullptr;
    PyObject* error = nullptr;
};

// Looked up on first use. No C++ static guard around the interpreter calls: the
// interpreter lock serialises callers, and a caller that finds the lookup under way
// simply takes the general road.
const RealStruct& real_struct() {
    static RealStruct real;
    static bool looked_up = false;
    if (looked_up) return real;
    looked_up = true;
    PyObject* pending = PyErr_GetRaisedException();
    Ref pack, unpack, error;
    if (Ref module = Ref::steal_or_null(PyImport_ImportModule("_struct"))) {
        pack = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "pack"));
        unpack = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "unpack"));
        error = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "error"));
    }
    PyErr_Clear();
    if (pack && unpack && error) real = {pack.release(), unpack.release(), error.release()};  // kept for good
    PyErr_SetRaisedException(pending);
    return real;
}

enum class Kind32 : std::uint8_t { Unsigned, Signed, Float, Other };

Kind32 kind_of(PyObject* sign) {
    if (!PyUnicode_Check(sign) || PyUnicode_GET_LENGTH(sign) != 1) return Kind32::Other;
    switch (PyUnicode_READ_CHAR(sign, 0)) {
        case 'I':
            return Kind32::Unsigned;
        case 'i':
            return Kind32::Signed;
        case 'f':
            return Kind32::Float;
        default:
            return Kind32::Other;
    }
}

// An int (or int subclass) within [lo, hi]: what struct takes without calling back.
bool int_within(PyObject* v, long long lo, long long hi, long long& out) {
    if (!PyLong_Check(v)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow && out >= lo && out <= hi;
}

bool as_ushort(PyObject* v, std::uint16_t& out) {
    long long n;
    if (!int_within(v, 0, 0xFFFF, n)) return false;
    out = static_cast<std::uint16_t>(n);
    return true;
}

// The 32-bit pattern as the value it encodes.
Ref decode32(Kind32 kind, std::uint32_t bits) {
    switch (kind) {
        case Kind32::Unsigned:
            return own(PyLong_FromUnsignedLong(bits));
        case Kind32::Signed:
            return own(PyLong_FromLong(static_cast<std::int32_t>(bits)));
        default: {
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return own(PyFloat_FromDouble(f));
        }
    }
}

// Python's `a, b = seq`, with the texts the library reports for a wrong count.
[[noreturn]] void raise_need_more(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    raise();
}

void unpack_two(PyObject* seq, Ref& first, Ref& second) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (n < 2) raise_need_more(n);
        first = Ref::borrow(PySequence_Fast_ITEMS(seq)[0]);
        second = Ref::borrow(PySequence_Fast_ITEMS(seq)[1]);
        return;
    }
    Ref it = own(PyObject_GetIter(seq));
    Ref* slots[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (PyErr_Occurred()) raise();
            raise_need_more(i);
        }
    }
    if (Ref extra = Ref::steal_or_null(PyIter_Next(it.get())))
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
}

// The module's `struct`, looked up once per conversion step.
class Struct {
public:
    Struct() : module_(BREL_GLOBAL("struct")) {
        const RealStruct& real = real_struct();
        Ref pack, unpack;
        genuine_ = real.pack && attribute(module_.get(), BREL_STR("pack"), pack) && pack.get() == real.pack &&
                   attribute(module_.get(), BREL_STR("unpack"), unpack) && unpack.get() == real.unpack;
    }

    // struct.unpack(sign, struct.pack("HH", low, high))[0]
    Ref join(PyObject* low, PyObject* high, PyObject* sign) const {
        if (!genuine_) {
            Ref package = pack(BREL_STR("HH"), low, high);
            return unpack_first(sign, package.get());
        }
        std::uint16_t words[2];
        if (!as_ushort(low, words[0]) || !as_ushort(high, words[1])) {
            // The real pack raises for what it refuses; what it takes (objects with
            // __index__) comes back in the host's order.
            Ref package = pack(BREL_STR("HH"), low, high);
            std::memcpy(words, PyBytes_AS_STRING(package.get()), sizeof words);
        }
        const Kind32 kind = kind_of(sign);
        if (kind != Kind32::Other) return decode32(kind, static_cast<std::uint32_t>(words[0] | (words[1] << 16)));
        Ref package = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words), sizeof words));
        return unpack_first(sign, package.get());
    }

    // low, high = struct.unpack("HH", struct.pack(sign, value))
    void split(PyObject* value, PyObject* sign, Ref& low, Ref& high) const {
        const Kind32 kind = kind_of(sign);
        std::uint32_t bits;
        if (genuine_ && kind != Kind32::Other) {
            if (kind == Kind32::Float) {
                bits = float_bits(value);
            } else {
                long long n;
                const bool fits = kind == Kind32::Unsigned ? int_within(value, 0, 0xFFFFFFFFLL, n)
                                                           : int_within(value, INT32_MIN, INT32_MAX, n);
                if (fits) {
                    bits = static_cast<std::uint32_t>(n);
                } else {
                    Ref package = pack(sign, value);  // raises struct.error as the real pack does
                    std::memcpy(&bits, PyBytes_AS_STRING(package.get()), sizeof bits);
                }
            }
            low = small_int(static_cast<long>(bits & 0xFFFF));
            high = small_int(static_cast<long>(bits >> 16));
            return;
        }
        Ref package = pack(sign, value);
        Ref unpack_function = getattr(module_.get(), BREL_STR("unpack"));
        Ref words = call(unpack_function.get(), BREL_STR("HH"), package.get());
        unpack_two(words.get(), low, high);
    }

    // struct.unpack("h", struct.pack("H", value))[0]
    Ref signed16(PyObject* value) const {
        if (!genuine_) {
            Ref package = pack(BREL_STR("H"), value);
            return unpack_first(BREL_STR("h"), package.get());
        }
        std::uint16_t word;
        if (!as_ushort(value, word)) {
            Ref package = pack(BREL_STR("H"), value);
            std::memcpy(&word, PyBytes_AS_STRING(package.get()), sizeof word);
        }
        return small_int(static_cast<std::int16_t>(word));
    }

private:
    template <class... A>
    Ref pack(PyObject* format, A... args) const {
        Ref function = getattr(module_.get(), BREL_STR("pack"));
        Ref package = call(function.get(), format, args...);
        if (genuine_ && !PyBytes_CheckExact(package.get())) raise(PyExc_SystemError, "struct.pack gave no bytes");
        return package;
    }

    Ref unpack_first(PyObject* format, PyObject* package) const {
        Ref function = getattr(module_.get(), BREL_STR("unpack"));
        Ref values = call(function.get(), format, package);
        return item(values.get(), 0);
    }

    // The single-precision encoding of value, as struct.pack("f", value) takes it, except
    // that a finite value too large for single precision raises OverflowError instead
    // of becoming an infinity.
    static std::uint32_t float_bits(PyObject* value) {
        const double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_SetString(real_struct().error, "required argument is not a float");
            raise();
        }
        // Halfway between FLT_MAX and 2**128 and beyond, rounding gives an infinity.
        if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp127)
            raise(PyExc_OverflowError, "float too large to pack with f format");
        const float f = static_cast<float>(d);
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }

    Ref module_;
    bool genuine_ = false;
};

bool high_word_first(PyObject* endian) { return PyUnicode_CompareWithASCIIString(endian, ">") == 0; }

Ref master_read_int16(Args& a) {
    Ref value = call_method(a[0], BREL_STR("read_register"), a[1], a[2]);
    return Struct().signed16(value.get());
}

Ref master_read_int32(Args& a) {
    PyObject *self = a[0], *sign = a[3], *endian = a[4];
    Ref two = small_int(2);
    Ref registers = call_method(self, BREL_STR("read_registers"), a[1], a[2], two.get());
    Ref low, high;
    unpack_two(registers.get(), low, high);
    if (high_word_first(endian)) std::swap(low, high);
    return Struct().join(low.get(), high.get(), sign);
}

Ref master_read_multi_int32(Args& a) {
    PyObject *self = a[0], *count = a[3], *sign = a[4], *endian = a[5];
    Ref two = small_int(2);
    Ref total = own(PyNumber_Multiply(two.get(), count));
    Ref registers = call_method(self, BREL_STR("read_registers"), a[1], a[2], total.get());
    // count is an exact int; one beyond a machine word runs until the registers end.
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow) n = overflow > 0 ? std::numeric_limits<long long>::max() : 0;
    const bool swap = high_word_first(endian);
    Ref values = own(PyList_New(0));
    std::optional<Struct> st;
    for (long long i = 0; i < n; ++i) {
        if (i > (PY_SSIZE_T_MAX - 1) / 2) raise(PyExc_IndexError, "list index out of range");
        Ref low = item(registers.get(), static_cast<Py_ssize_t>(2 * i));
        Ref high = item(registers.get(), static_cast<Py_ssize_t>(2 * i + 1));
        if (swap) std::swap(low, high);
        if (!st) st.emplace();
        Ref value = st->join(low.get(), high.get(), sign);
        check(PyList_Append(values.get(), value.get()));
    }
    return values;
}

Ref master_write_int32(Args& a) {
    PyObject *self = a[0], *value = a[3], *sign = a[4], *endian = a[5];
    Ref low, high;
    Struct().split(value, sign, low, high);
    if (high_word_first(endian)) std::swap(low, high);
    Ref registers = own(PyList_New(2));
    PyList_SET_ITEM(registers.get(), 0, low.release());
    PyList_SET_ITEM(registers.get(), 1, high.release());
    call_method(self, BREL_STR("write_registers"), a[1], a[2], registers.get());
    return none();
}

Ref master_write_multi_int32(Args& a) {
    PyObject *self = a[0], *values = a[3], *sign = a[4], *endian = a[5];
    const bool swap = high_word_first(endian);
    Ref registers = own(PyList_New(0));
    std::optional<Struct> st;
    Ref it = own(PyObject_GetIter(values));
    while (Ref value = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (!st) st.emplace();
        Ref low, high;
        st->split(value.get(), sign, low, high);
        if (swap) std::swap(low, high);
        check(PyList_Append(registers.get(), low.get()));
        check(PyList_Append(registers.get(), high.get()));
    }
    if (PyErr_Occurred()) raise();
    call_method(self, BREL_STR("write_registers"), a[1], a[2], registers.get());
    return none();
}

// The public 32-bit members: the private member with the value kind that `data` names.
PyObject* sign_of(const Args& a) {
    switch (*static_cast<const char*>(a.data)) {
        case 'I':
            return BREL_STR("I");
        case 'i':
            return BREL_STR("i");
        default:
            return BREL_STR("f");
    }
}

Ref master_read_32(Args& a) { return call_method(a[0], BREL_STR("_Master__read_int32"), a[1], a[2], sign_of(a), a[3]); }

Ref master_read_multi_32(Args& a) {
    return call_method(a[0], BREL_STR("_Master__read_multi_int32"), a[1], a[2], a[3], sign_of(a), a[4]);
}

Ref master_write_32(Args& a) {
    call_method(a[0], BREL_STR("_Master__write_int32"), a[1], a[2], a[3], sign_of(a), a[4]);
    return none();
}

Ref master_write_multi_32(Args& a) {
    call_method(a[0], BREL_STR("_Master__write_multi_int32"), a[1], a[2], a[3], sign_of(a), a[4]);
    return none();
}

// A public 32-bit member: station, address, the `middle` parameters, then endian.
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* sign) {
    std::vector<ParamSpec> params{{"station"}, {"address"}};
    params.insert(params.end(), middle.begin(), middle.end());
    params.push_back({"endian", "str", str_default(">")});
    MemberSpec m = method(key, impl, std::move(params));
    m.data = sign;
    return m;
}

// ---- the single reader, the answer check and the single writer ----------------------------------

Ref read_body(PyObject* self, PyObject* size) {
    Ref tunnel = tunnel_of(self);
    Ref data = channel::read(tunnel.get(), size);
    Ref before = received_of(self);
    Ref after;
    const bool both_bytes = PyBytes_CheckExact(before.get()) && PyBytes_CheckExact(data.get());
    if (both_bytes && PyBytes_GET_SIZE(data.get()) == 0 && plain_store(self, BREL_STR("MessageLastReceived")))
        return data;  // before + b"" is before itself, stored where it is
    if (both_bytes && PyBytes_GET_SIZE(before.get()) == 0)
        after = data;  // b"" + data is data itself
    else
        after = own(PyNumber_Add(before.get(), data.get()));
    set_record(self, BREL_STR("MessageLastReceived"), after.get());
    return data;
}

Ref master_read(Args& a) { return read_body(a[0], a[1]); }

void feedback_assistant_body(PyObject* self, PyObject* station, PyObject* normal_msg_len, PyObject* check_crc,
                             Feedback& feedback) {
    Ref five = small_int(5);
    Ref head = read_step(self, five.get());
    feedback.start(head.get());
    if (feedback.count() != 5) raise_timeout();
    Ref code = feedback.at(1);
    long long code_value = 0;
    const bool refused = small_int_value(code.get(), code_value) ? code_value >= 128 : [&] {
        Ref flag = small_int(128);
        return compare(code.get(), flag.get(), Py_GE);
    }();
    if (refused) {
        // Only a sound frame is a refusal by the slave: line noise is a CRC error. Within
        // an operation, the refusal must come from the station and for the function asked.
        check_crc_step(feedback, station);
        if (Transaction* tx = Transaction::of(self)) check_answer(*tx, modbus::AnswerRule::Echo, feedback, station);
        Ref exception_class = BREL_GLOBAL("SlaveException");
        Ref error = feedback.at(2);
        Ref exception = call(exception_class.get(), station, code.get(), error.get());
        raise_object(exception.get());
    }
    Ref extend = feedback.extender();
    long long expected = 0;
    const bool plain_len = small_int_value(normal_msg_len, expected);
    Ref rest_size =
        plain_len ? small_int(static_cast<long>(expected - 5)) : own(PyNumber_Subtract(normal_msg_len, five.get()));
    Ref rest = read_step(self, rest_size.get());
    feedback.extend(rest.get(), extend);
    if (plain_len) {  // len(feedback) != normal_msg_len, in C
        if (feedback.count() != expected) raise_timeout();
    } else {
        Ref have = own(PyLong_FromSsize_t(feedback.count()));
        if (compare(have.get(), normal_msg_len, Py_NE)) raise_timeout();
    }
    if (truth(check_crc)) check_crc_step(feedback, station);
}

Ref master_feedback_assistant(Args& a) {
    Feedback feedback;
    feedback_assistant_body(a[0], a[1], a[2], a[3], feedback);
    return Ref::borrow(feedback.object());
}

// bytes(message): straight from the buffer of a byte array of the interpreter's own kind.
Ref bytes_of(PyObject* message) {
    if (PyBytes_CheckExact(message)) return Ref::borrow(message);
    ByteView view;
    if (is_real_byte_array(message, view) || (PyByteArray_CheckExact(message) && byte_view(message, view)))
        return own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.data), view.size));
    return call(reinterpret_cast<PyObject*>(&PyBytes_Type), message);
}

Ref master_write_message(Args& a) {
    write_message_body(a[0], a[1]);
    return none();
}

// Before a request on a line left unclean: wait until it has been quiet for the recovery
// delay, reading away what arrives (unrecorded), so that a late answer to an earlier
// request is never taken for this one's.
void recover_line(PyObject* self, PyObject* tunnel) {
    MasterSettings* settings = existing_settings(self);
    if (!settings || !settings->line_unclean) return;
    const double delay = settings->recovery_set ? settings->recovery_delay : line::delay_of_timeout(tunnel);
    if (delay > 0) line::wait_for_quiet(tunnel, delay, settings->unclean_since);
    settings->line_unclean = false;
}

void write_message_body(PyObject* self, PyObject* message) {
    Ref tunnel = tunnel_of(self);
    recover_line(self, tunnel.get());
    Ref waiting = channel::in_waiting(tunnel.get());
    Ref zero = small_int(0);
    if (compare(waiting.get(), zero.get(), Py_GT)) {
        // Input left over from an earlier exchange is dropped unrecorded.
        Ref stale = channel::in_waiting(tunnel.get());
        channel::read(tunnel.get(), stale.get());
    }
    ByteView view;
    note_send(byte_view(message, view) && view.size > 0 && view.data[0] == 0);  // station 0: a broadcast
    channel::write(tunnel.get(), message);
    Ref sent = bytes_of(message);
    if (Transaction* tx = Transaction::of(self); tx && PyBytes_GET_SIZE(sent.get()) >= 4) {
        tx->request = modbus::request_head(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(sent.get())),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(sent.get())) - 2);
        tx->sent = true;
        tx->answered = false;
    }
    set_record(self, BREL_STR("MessageLastSent"), sent.get());
    Ref empty = empty_bytes();
    set_record(self, BREL_STR("MessageLastReceived"), empty.get());
}

void check_crc_of(PyObject* message, PyObject* station) {
    Ref statics = BREL_GLOBAL("ModbusStatic");
    Ref crc_is_right = getattr(statics.get(), BREL_STR("crc_is_right"));
    Ref verdict = is_library_member(crc_is_right.get(), "ModbusStatic", "crc_is_right")
                      ? crc_is_right_of(message)
                      : call(crc_is_right.get(), message);
    if (truth(verdict.get())) return;
    Ref values = own(PyTuple_Pack(1, station));
    Ref text =
        own(PyUnicode_Format(BREL_STR("modbus: message from slave with station %s has crc error"), values.get()));
    PyErr_SetObject(builtins.ValueError, text.get());
    raise();
}

Ref master_check_crc(Args& a) {
    check_crc_of(a[0], a[1]);
    return none();
}

void call_check_crc(PyObject* message, PyObject* station) {
    Ref master = BREL_GLOBAL("Master");
    Ref function = getattr(master.get(), BREL_STR("_Master__check_crc"));
    if (is_function_with(function.get(), master_check_crc)) {
        check_crc_of(message, station);
        return;
    }
    call(function.get(), message, station);
}

// ModbusStatic.crc_is_right(feedback) of an answer kept as bytes: while crc_is_right and
// calculate_crc are the library's own, the CRC is checked on the bytes; else null.
Ref crc_verdict_of_bytes(Feedback& feedback) {
    ByteView bytes;
    if (!feedback.plain() || !feedback.view(bytes) || bytes.size < 2) return nullptr;
    Ref statics = BREL_GLOBAL("ModbusStatic");
    static TypeVerdict crc_ours;
    if (!crc_ours.holds(statics.get(), {BREL_STR("crc_is_right"), BREL_STR("calculate_crc")}, [&] {
            Ref crc_is_right = getattr(statics.get(), BREL_STR("crc_is_right"));
            if (!is_library_member(crc_is_right.get(), "ModbusStatic", "crc_is_right")) return false;
            Ref crc_function = getattr(statics.get(), BREL_STR("calculate_crc"));
            return calculate_crc_is_ours(crc_function.get());
        }))
        return nullptr;
    return Ref::borrow(modbus::crc16_frame_ok(bytes.data, static_cast<std::size_t>(bytes.size)) ? Py_True : Py_False);
}

void check_crc_step(Feedback& feedback, PyObject* station) {
    Ref master = BREL_GLOBAL("Master");
    static TypeVerdict check_crc_ours;
    Ref function;
    if (!check_crc_ours.holds(master.get(), {BREL_STR("_Master__check_crc")}, [&] {
            function = getattr(master.get(), BREL_STR("_Master__check_crc"));
            return is_function_with(function.get(), master_check_crc);
        })) {
        call(function.get(), feedback.object(), station);
        return;
    }
    Ref verdict = crc_verdict_of_bytes(feedback);
    if (!verdict) {
        check_crc_of(feedback.object(), station);
        return;
    }
    if (truth(verdict.get())) return;
    Ref values = own(PyTuple_Pack(1, station));
    Ref text =
        own(PyUnicode_Format(BREL_STR("modbus: message from slave with station %s has crc error"), values.get()));
    PyErr_SetObject(builtins.ValueError, text.get());
    raise();
}

// ---- the rest of the data model: codes 15, 22, 23, 43 and values of any type ---------------------
//
// These members build their frames in C++ through the transport-neutral layer (adu.hpp)
// and run the same steps as the others, each looked up on the instance: the single
// writer, the answer's head through __feedback_assistant, the rest through __read. Their
// arguments are checked before anything is written.

std::uint8_t station_byte(PyObject* station) {
    return static_cast<std::uint8_t>(field_value(station, "station", 0xFF));
}
std::uint16_t address_field(PyObject* v, const char* what = "address") {
    return static_cast<std::uint16_t>(field_value(v, what, modbus::kMaxAddress));
}

// Station, PDU and CRC out through __write_message.
void send_pdu(PyObject* self, std::uint8_t station, const std::uint8_t* pdu, std::size_t n) {
    std::uint8_t frame[modbus::kMaxPdu + 3];
    write_message(self, frame_array(frame, modbus::rtu_frame(frame, station, pdu, n)).get());
}

// A write whose answer repeats the request's head: `size` bytes with their CRC, compared
// with the request. A broadcast is done once written.
void write_confirmed(PyObject* self, PyObject* station, const std::uint8_t* pdu, std::size_t n, long size,
                     modbus::AnswerRule rule) {
    Transaction tx(self);
    send_pdu(self, station_byte(station), pdu, n);
    if (is_broadcast(tx, station)) {
        answered(tx);
        return;
    }
    Ref expected = small_int(size);
    Ref feedback = feedback_step(self, station, expected.get(), Py_True);
    check_answer(tx, rule, feedback.get(), station);
}

Ref master_write_coils(Args& a) {
    PyObject *self = a[0], *station = a[1];
    const std::uint16_t address = address_field(a[2]);
    Ref items = items_of(a[3], "truth values");
    const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    check_items(count, modbus::kMaxWriteCoils);
    station_byte(station);
    bool on[modbus::kMaxWriteCoils];
    for (std::size_t i = 0; i < count; ++i) on[i] = truth(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
    std::uint8_t pdu[modbus::kMaxPdu];
    write_confirmed(self, station, pdu, modbus::pdu_write_coils(pdu, address, on, count), 8, modbus::AnswerRule::Echo);
    return none();
}

Ref master_mask_write_register(Args& a) {
    PyObject *self = a[0], *station = a[1];
    const std::uint16_t address = address_field(a[2]);
    const std::uint16_t and_mask = address_field(a[3], "and_mask");
    const std::uint16_t or_mask = address_field(a[4], "or_mask");
    station_byte(station);
    std::uint8_t pdu[8];
    write_confirmed(self, station, pdu, modbus::pdu_mask_write_register(pdu, address, and_mask, or_mask), 10,
                    modbus::AnswerRule::EchoMasks);
    return none();
}

// Register values as they go on the line: the low 16 bits, as every register write takes them.
std::uint16_t register_value(PyObject* value, Py_ssize_t i) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "values[%zd] must be an int, not %.200s", i, Py_TYPE(value)->tp_name);
        raise();
    }
    Ref mask = small_int(0xFFFF);
    Ref low = own(PyNumber_And(value, mask.get()));
    return static_cast<std::uint16_t>(PyLong_AsLong(low.get()));
}

Ref master_read_write_registers(Args& a) {
    PyObject *self = a[0], *station = a[1];
    const std::uint16_t read_address = address_field(a[2], "read_address");
    const std::uint16_t read_count = address_field(a[3], "read_count");
    const std::uint16_t write_address = address_field(a[4], "write_address");
    check_count(read_count, modbus::kMaxReadWriteRead, "read_count");
    Ref items = items_of(a[5], "ints");
    const std::size_t count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    check_items(count, modbus::kMaxReadWriteWrite);
    std::uint16_t words[modbus::kMaxReadWriteWrite];
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        words[i] = register_value(PyTuple_GET_ITEM(items.get(), at), at);
    }
    const std::uint8_t st = station_byte(station);
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t n = modbus::pdu_read_write_registers(pdu, read_address, read_count, write_address, words, count);
    Transaction tx(self);
    send_pdu(self, st, pdu, n);
    Counted answer;
    read_counted_answer(self, station, answer);
    check_answer(tx, modbus::AnswerRule::RegisterBytes, answer.feedback, station);
    return decode_registers(answer.feedback);
}

// self.__read(size) appended to `answer`, within the page's deadline; IOError when fewer
// bytes come or the deadline has passed.
void read_more(PyObject* self, line::ReadDeadline& deadline, std::vector<std::uint8_t>& answer, std::size_t size) {
    if (!deadline.before_read()) raise_timeout();
    Ref want = own(PyLong_FromSize_t(size));
    Ref data = read_step(self, want.get());
    if (!PyBytes_CheckExact(data.get())) data = own(PyBytes_FromObject(data.get()));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get()));
    const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    answer.insert(answer.end(), bytes, bytes + n);
    if (n < size) raise_timeout();
}

Ref master_read_device_identification(Args& a) {
    PyObject *self = a[0], *station = a[1];
    const std::uint8_t read_code = identification_read_code(a[2]);
    unsigned long object_id = field_value(a[3], "object_id", 0xFF);
    const std::uint8_t st = station_byte(station);
    Ref objects = own(PyDict_New());
    ObjectLock whole_conversation(self);
    for (;;) {
        Transaction tx(self);
        std::uint8_t pdu[4];
        send_pdu(self, st, pdu,
                 modbus::pdu_read_device_identification(pdu, static_cast<std::uint8_t>(read_code),
                                                        static_cast<std::uint8_t>(object_id)));
        // The whole page within one time-out of the request, however its pieces come:
        // each read waits only for what is left of it.
        Ref tunnel = tunnel_of(self);
        line::ReadDeadline deadline(tunnel.get());
        if (!deadline.before_read()) raise_timeout();
        Ref five = small_int(5);
        Ref head = feedback_step(self, station, five.get(), Py_False);
        std::vector<std::uint8_t> answer(5);
        std::size_t size = 0;
        if (!answer_head(head.get(), answer.data(), 5, size) || size != 5) raise_mismatch(station);
        // Station, code, MEI type and read code must be the request's before the rest is read.
        const std::uint8_t expected[] = {st, modbus::kEncapsulatedInterface, modbus::kMeiDeviceIdentification,
                                         static_cast<std::uint8_t>(read_code)};
        if (!std::equal(expected, expected + 4, answer.begin())) raise_mismatch(station);
        read_more(self, deadline, answer, 3);  // more follows, next object, number of objects
        for (std::size_t k = 0; k < answer[7]; ++k) {
            read_more(self, deadline, answer, 2);
            read_more(self, deadline, answer, answer[answer.size() - 1]);
        }
        read_more(self, deadline, answer, 2);
        deadline.restore();
        Ref frame = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(answer.data()),
                                                  static_cast<Py_ssize_t>(answer.size())));
        call_check_crc(frame.get(), station);
        modbus::IdentificationPage page;
        bool parsed = modbus::parse_identification(
            answer.data() + 1, answer.size() - 3, page, [&](std::uint8_t id, const std::uint8_t* value, std::size_t n) {
                Ref key = small_int(id);
                Ref bytes =
                    own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value), static_cast<Py_ssize_t>(n)));
                check(PyDict_SetItem(objects.get(), key.get(), bytes.get()));
            });
        if (!parsed || (tx.sent && !modbus::rtu_answer_matches(tx.request, modbus::AnswerRule::Identification,
                                                               answer.data(), answer.size())))
            raise_mismatch(station);
        answered(tx);
        if (!page.more_follows || read_code == 4) break;
        // The next page must start further on, or the conversation would never end.
        if (page.next_object <= object_id) raise_mismatch(station);
        object_id = page.next_object;
    }
    return objects;
}

// ---- values of any type --------------------------------------------------------------------------

Ref master_read_values(Args& a) {
    PyObject* self = a[0];
    const ValueLayout layout = value_layout(a[3], a[4]);
    const std::size_t n = layout.registers();
    check_registers(n, modbus::kMaxReadRegisters, "read");
    check_register_read_code(a[5]);
    Ref count = own(PyLong_FromSize_t(n));
    Ref registers = call_method(self, BREL_STR("read_registers"), a[1], a[2], count.get(), a[5]);
    const std::vector<std::uint16_t> words = register_words(registers.get(), n);
    return decode_words(layout, words.data(), words.size());
}

Ref word_list(const std::vector<std::uint16_t>& words) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (std::size_t i = 0; i < words.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), small_int(words[i]).release());
    return list;
}

Ref master_write_values(Args& a) {
    PyObject* self = a[0];
    const ValueLayout layout = value_layout(a[3], a[5]);
    check_registers(layout.registers(), modbus::kMaxWriteRegisters, "written");
    Ref registers = word_list(encode_to_words(layout, a[4]));
    call_method(self, BREL_STR("write_registers"), a[1], a[2], registers.get());
    return none();
}

// ---- documentation strings ------------------------------------------------------------------------

#define BREL_DOC_LINE "\n\t\t"

constexpr const char* write_message_doc = BREL_DOC_LINE
    "把组装好的报文写入到通道（如串口）。所有需要往通道写数据的函数都应该通过调用这个函数来执行写入。" BREL_DOC_LINE
    ":param message: 组装好的报文" BREL_DOC_LINE ":return: No return" BREL_DOC_LINE;

constexpr const char* read_register_doc = BREL_DOC_LINE
    "根据指定的功能码，从指定的从站读取指定地址的寄存器值。" BREL_DOC_LINE ":param station: 从站地址" BREL_DOC_LINE
    ":param address: 寄存器地址" BREL_DOC_LINE ":param func_code: 功能码，默认为读取多个寄存器，3" BREL_DOC_LINE
    ":return: 16 位寄存器值（无符号）" BREL_DOC_LINE;

constexpr const char* read_registers_doc = BREL_DOC_LINE
    "根据指定的功能码，从指定的从站读取指定地址指定数量的寄存器值。" BREL_DOC_LINE
    ":param station: 从站地址" BREL_DOC_LINE ":param address: 寄存器地址" BREL_DOC_LINE
    ":param count: 要读取的寄存器数量" BREL_DOC_LINE ":param func_code: 功能码，默认为读取多个寄存器，3" BREL_DOC_LINE
    ":return: 多个寄存器值（16位无符号整数）组成的列表" BREL_DOC_LINE;

constexpr const char* read_input_register_doc =
    BREL_DOC_LINE "从指定的从站读取指定地址的“输入”寄存器值，只读取一个，使用确定的功能码 0x4" BREL_DOC_LINE
                  ":param station: 从站地址" BREL_DOC_LINE ":param address: 寄存器地址" BREL_DOC_LINE
                  ":return: 16 位寄存器值（无符号）" BREL_DOC_LINE;

constexpr const char* read_input_registers_doc = BREL_DOC_LINE
    "使用确定的功能码 0x4，从指定的从站读取指定地址指定数量的寄存器（输入寄存器）值。" BREL_DOC_LINE
    ":param station: 从站地址" BREL_DOC_LINE ":param address: 寄存器地址" BREL_DOC_LINE
    ":param count: 要读取的寄存器数量" BREL_DOC_LINE ":return: 多个寄存器值（16位无符号整数）组成的列表" BREL_DOC_LINE;

#undef BREL_DOC_LINE

}  // namespace

// ---- member table ---------------------------------------------------------------------------------

const ClassSpec& master_class() {
    static const ClassSpec spec{
        .name = "Master",
        .members = {
            {.key = "__init__",
             .kind = Kind::Method,
             .impl = master_init,
             .params = {{"port", "str"}, {"baudrate", "int"}, {"timeout", "float"}},
             .kwargs = true},
            property("serial", master_serial),
            property("last_command_sent", master_last_command_sent, "bytes"),
            property("last_feedback_received", master_last_feedback_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            method("close", locked<master_close>),
            enter_member(),
            exit_member(),
            property("timeout", master_timeout, "float", master_set_timeout, "float"),
            method("write_register", retried<master_write_register>, {{"station"}, {"address"}, {"value"}}),
            method("write_registers", retried<master_write_registers>, {{"station"}, {"address"}, {"values"}}),
            method("send_write_register_request", master_send_write_register_request,
                   {{"station"}, {"address"}, {"value"}}),
            method("send_write_registers_request", master_send_write_registers_request,
                   {{"station"}, {"address"}, {"values"}}),
            method("write_coil", retried<master_write_coil>, {{"station"}, {"address"}, {"value"}}),
            method("send_write_coil_request", master_send_write_coil_request, {{"station"}, {"address"}, {"value"}}),
            method("read_register", master_read_register,
                   {{"station", "int"},
                    {"address", "int"},
                    {"func_code", "int", global_default("ModbusStatic.FC_Read_Registers")}},
                   nullptr, read_register_doc),
            method("read_registers", retried<master_read_registers>,
                   {{"station", "int"},
                    {"address", "int"},
                    {"count", "int"},
                    {"func_code", "int", global_default("ModbusStatic.FC_Read_Registers")}},
                   nullptr, read_registers_doc),
            method("read_input_register", master_read_input_register, {{"station", "int"}, {"address", "int"}}, nullptr,
                   read_input_register_doc),
            method("read_input_registers", master_read_input_registers,
                   {{"station"}, {"address", "int"}, {"count", "int"}}, nullptr, read_input_registers_doc),
            method("read_int16", master_read_int16, {{"station", "int"}, {"address", "int"}}),
            alias("read_uint16", "read_register"),
            alias("write_int16", "write_register"),
            alias("write_uint16", "write_register"),
            method("_Master__read_int32", master_read_int32,
                   {{"station", "int"}, {"address", "int"}, {"sign", "str"}, {"endian", "str"}}),
            typed("read_uint32", master_read_32, {}, "I"),
            typed("read_int32", master_read_32, {}, "i"),
            typed("read_float", master_read_32, {}, "f"),
            method("_Master__read_multi_int32", master_read_multi_int32,
                   {{"station"}, {"address"}, {"count", "int"}, {"sign", "str"}, {"endian", "str"}}),
            typed("read_multi_uint32", master_read_multi_32, {{"count", "int"}}, "I"),
            typed("read_multi_int32", master_read_multi_32, {{"count", "int"}}, "i"),
            typed("read_multi_float", master_read_multi_32, {{"count", "int"}}, "f"),
            method("_Master__write_int32", master_write_int32,
                   {{"station"}, {"address"}, {"value"}, {"sign", "str"}, {"endian", "str"}}),
            typed("write_int32", master_write_32, {{"value"}}, "i"),
            typed("write_uint32", master_write_32, {{"value"}}, "I"),
            typed("write_float", master_write_32, {{"value"}}, "f"),
            method("_Master__write_multi_int32", master_write_multi_int32,
                   {{"station"}, {"address"}, {"values"}, {"sign", "str"}, {"endian", "str"}}),
            typed("write_multi_int32", master_write_multi_32, {{"values"}}, "i"),
            typed("write_multi_uint32", master_write_multi_32, {{"values"}}, "I"),
            typed("write_multi_float", master_write_multi_32, {{"values"}}, "f"),
            method("_Master__send_read_xx_registers_request", master_send_read_xx_registers_request,
                   {{"station", "int"}, {"address", "int"}, {"count", "int"}, {"code", "int"}}),
            method("send_read_registers_request", master_send_read_registers_request,
                   {{"station"}, {"address"}, {"count"}, {"func_code", "int"}}),
            method("send_read_input_registers_request", master_send_read_input_registers_request,
                   {{"station"}, {"address"}, {"count"}}),
            method("read_coil", master_read_coil, {{"station"}, {"address"}}),
            method("_Master__read_xx_coils", retried<master_read_xx_coils>,
                   {{"station"}, {"address"}, {"count", "int"}, {"code", "int"}}),
            method("read_coils", master_read_coils, {{"station"}, {"address"}, {"count"}}),
            method("read_input_coils", master_read_input_coils, {{"station"}, {"address"}, {"count"}}),
            method("_Master__send_read_xx_coils_request", master_send_read_xx_coils_request,
                   {{"station"}, {"address"}, {"count", "int"}, {"code", "int"}}),
            method("send_read_coils_request", master_send_read_coils_request, {{"station"}, {"address"}, {"count"}}),
            method("send_read_input_coils_request", master_send_read_input_coils_request,
                   {{"station"}, {"address"}, {"count"}}),
            method("_Master__read", locked<master_read>, {{"size", nullptr, int_default(1)}}),
            method("_Master__feedback_assistant", locked<master_feedback_assistant>,
                   {{"station"}, {"normal_msg_len"}, {"check_crc", nullptr, bool_default(false)}}),
            method("_Master__write_message", locked<master_write_message>, {{"message"}}, nullptr, write_message_doc),
            static_method("_Master__check_crc", master_check_crc, {{"message"}, {"station"}}),
            // ---- beyond the first seven function codes
            method("write_coils", retried<master_write_coils>, {{"station", "int"}, {"address", "int"}, {"values"}},
                   "None"),
            method("mask_write_register", retried<master_mask_write_register>,
                   {{"station", "int"}, {"address", "int"}, {"and_mask", "int"}, {"or_mask", "int"}}, "None"),
            method("read_write_registers", retried<master_read_write_registers>,
                   {{"station", "int"},
                    {"read_address", "int"},
                    {"read_count", "int"},
                    {"write_address", "int"},
                    {"values"}},
                   "_List[int]"),
            method("read_device_identification", retried<master_read_device_identification>,
                   {{"station", "int"}, {"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}},
                   "dict[int, bytes]"),
            method("read_values", master_read_values,
                   {{"station", "int"},
                    {"address", "int"},
                    {"format", "str"},
                    {"order", "str", str_default("ABCD")},
                    {"func_code", "int", int_default(3)}},
                   "list"),
            method("write_values", master_write_values,
                   {{"station", "int"},
                    {"address", "int"},
                    {"format", "str"},
                    {"values"},
                    {"order", "str", str_default("ABCD")}},
                   "None"),
            retries_member(),
            property("recovery_delay", master_recovery_delay, "float", master_set_recovery_delay, "_Optional[float]"),
        }};
    return spec;
}

}  // namespace brel
