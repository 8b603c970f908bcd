// The RTU master's shared parts: attribute access, the step dispatch, transactions, answers.
#include "modbus/rtu_parts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace brel::rtu {

// ---- small helpers -----------------------------------------------------------------

Ref none() { return Ref::borrow(Py_None); }
Ref small_int(long v) { return own(PyLong_FromLong(v)); }
Ref empty_bytes() { return own(PyBytes_FromStringAndSize(nullptr, 0)); }

// self.name and self.name = value as generic attribute access does them: straight in
// the instance's __dict__ (module/attributes.hpp) while the class looks attributes up the
// generic way and defines nothing of that name (so no descriptor comes first); through the
// interpreter otherwise, which also raises the errors.

// True when self.name is read (store: written) straight in the instance's __dict__.
bool plain_attribute(PyTypeObject* type, PyObject* name, bool store) {
    if (master_steps().kept(type, name)) return true;
    return (store ? type->tp_setattro == PyObject_GenericSetAttr : type->tp_getattro == PyObject_GenericGetAttr) &&
           !_PyType_Lookup(type, name);
}

Ref get_plain(PyObject* self, PyObject* name) {
    return DirectAttributes(self, plain_attribute(Py_TYPE(self), name, false)).get(name);
}

// True when self.name = value is a store in the instance's __dict__.
bool plain_store(PyObject* self, PyObject* name) { return plain_attribute(Py_TYPE(self), name, true); }

void set_plain(PyObject* self, PyObject* name, PyObject* value) {
    DirectAttributes(self, plain_store(self, name)).set(name, value);
}

Ref tunnel_of(PyObject* self) { return get_plain(self, BREL_STR("_Master__tunnel")); }

// self.MessageLastReceived, as the read steps take it.
Ref received_of(PyObject* self) { return get_plain(self, BREL_STR("MessageLastReceived")); }

// self.<name> = value for the record's names (MessageLastSent, MessageLastReceived), as
// the steps store them.
void set_record(PyObject* self, PyObject* name, PyObject* value) { set_plain(self, name, value); }

[[noreturn]] void raise_timeout() {
    raise(family_or(errors.timeout, builtins.IOError, PyExc_OSError), "modbus: read from slave timeout");
}

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

thread_local Transaction* Transaction::current = nullptr;

void trace_answer(const Transaction& tx) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    Ref received;
    try {
        received = received_of(tx.self);  // all that came for the request (MessageLastReceived)
    } catch (const PyError&) {
        PyErr_Clear();
    }
    if (!received) received = Ref::steal_or_null(PyBytes_FromStringAndSize(nullptr, 0));
    PyErr_SetRaisedException(pending);
    if (!received) return;
    const char* outcome = !pending && send_record.broadcast ? "broadcast" : ending_outcome();
    trace_frame(trace_of(tx.settings), "received", received.get(), tx.request.station(), tx.request.code(), outcome);
}

// The transaction's request was answered soundly (or was a broadcast): the line is clean.
void answered(Transaction& tx) noexcept {
    tx.answered = true;
    if (tx.settings) tx.settings->line_unclean = false;
}

[[noreturn]] void raise_formatted(PyObject* type, PyObject* format, PyObject* station) {
    Ref values = own(PyTuple_Pack(1, station));
    Ref text = own(PyUnicode_Format(format, values.get()));
    PyErr_SetObject(type, text.get());
    raise();
}

[[noreturn]] void raise_mismatch(PyObject* station) {
    raise_formatted(family_or(errors.mismatch, builtins.ValueError, PyExc_ValueError),
                    BREL_STR("modbus: answer from slave with station %s does not match the request"), station);
}

[[noreturn]] void raise_crc_error(PyObject* station) {
    raise_formatted(family_or(errors.frame, builtins.ValueError, PyExc_ValueError),
                    BREL_STR("modbus: message from slave with station %s has crc error"), station);
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

// The judge of both RTU masters on an answer whose CRC the steps have checked already.
bool answer_belongs(const Transaction& tx, modbus::AnswerRule rule, const std::uint8_t* answer, std::size_t size) {
    return modbus::rtu_answer_belongs(modbus::judge_rtu_answer(tx.request, rule, answer, size, false));
}

// ValueError unless the answer (CRC checked) answers the transaction's request. Nothing
// to compare with when the request did not go out through the library's own writer.
void check_answer(Transaction& tx, modbus::AnswerRule rule, PyObject* feedback, PyObject* station) {
    if (!tx.sent) return;
    std::uint8_t head[8];
    std::size_t size = 0;
    if (!answer_head(feedback, head, sizeof head, size) || !answer_belongs(tx, rule, head, size))
        raise_mismatch(station);
    answered(tx);
}

void check_answer(Transaction& tx, modbus::AnswerRule rule, const ByteView& answer, PyObject* station) {
    if (!tx.sent) return;
    if (!answer_belongs(tx, rule, answer.data, static_cast<std::size_t>(answer.size))) raise_mismatch(station);
    answered(tx);
}

// ---- the protocol helpers as looked up at call time -------------------------------------

// _byte_array(data), straight to the array type while _byte_array is the library's own.
Ref to_byte_array(PyObject* data) {
    Ref function = BREL_GLOBAL("_byte_array");
    if (byte_array_is_ours(function.get())) return make_byte_array(data);
    return call(function.get(), data);
}

// A frame built in C++, as the byte array the writer expects.
Ref frame_array(const std::uint8_t* frame, std::size_t size) { return new_byte_array(frame, size); }

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

// Station, code and two 16-bit fields: the read requests and the single-register write,
// built on the fast road or step by step as the interpreter runs it (with its errors).
Ref two_fields_frame(const Protocol& p, PyObject* station, PyObject* code, PyObject* first, PyObject* second) {
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
    return msg;
}

void send_two_fields(PyObject* self, const Protocol& p, PyObject* station, PyObject* code, PyObject* first,
                     PyObject* second) {
    Ref msg = two_fields_frame(p, station, code, first, second);
    write_message(self, msg.get());
}

// ---- answers ------------------------------------------------------------------------------

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

// ---- the CRC of an answer, through ModbusStatic.crc_is_right and Master.__check_crc as looked up now ----

void check_crc_of(PyObject* message, PyObject* station) {
    Ref statics = BREL_GLOBAL("ModbusStatic");
    Ref crc_is_right = getattr(statics.get(), BREL_STR("crc_is_right"));
    Ref verdict = is_library_member(crc_is_right.get(), "ModbusStatic", "crc_is_right")
                      ? crc_is_right_of(message)
                      : call(crc_is_right.get(), message);
    if (truth(verdict.get())) return;
    raise_crc_error(station);
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
    raise_crc_error(station);
}

}  // namespace brel::rtu
