// Master: the Modbus RTU master over a serial channel, its Python face, its steps and its member table.
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

// ---- the steps ---------------------------------------------------------------------------------
//
// The members that the others reach through attribute look-up on the instance, each with
// the library's body, and the attributes the steps keep in the instance's __dict__ (the
// channel and the record). The order is that of MasterStep.

StepTable& master_steps() {
    static StepTable steps({{"send_read_registers_request", master_send_read_registers_request},
                            {"_Master__send_read_xx_registers_request", master_send_read_xx_registers_request},
                            {"_Master__write_message", locked<master_write_message>},
                            {"_Master__feedback_assistant", locked<master_feedback_assistant>},
                            {"_Master__read", locked<master_read>},
                            {"send_write_register_request", master_send_write_register_request},
                            {"send_write_registers_request", master_send_write_registers_request},
                            {"send_write_coil_request", master_send_write_coil_request},
                            {"_Master__send_read_xx_coils_request", master_send_read_xx_coils_request},
                            {"_Master__read_xx_coils", retried<master_read_xx_coils>},
                            {"_Master__read_int32", master_read_int32},
                            {"_Master__read_multi_int32", master_read_multi_int32},
                            {"_Master__write_int32", master_write_int32},
                            {"_Master__write_multi_int32", master_write_multi_int32}},
                           {"_Master__tunnel", "MessageLastReceived", "MessageLastSent"});
    return steps;
}

// ---- construction, record, lifecycle ------------------------------------------------------

bool ascii_framing(PyObject* kwargs) {
    PyObject* framing = kwargs ? PyDict_GetItemWithError(kwargs, BREL_STR("framing")) : nullptr;
    if (!framing) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    Ref kept = Ref::borrow(framing);
    check(PyDict_DelItem(kwargs, BREL_STR("framing")));
    if (PyUnicode_Check(kept.get()) && PyUnicode_CompareWithASCIIString(kept.get(), "rtu") == 0) return false;
    if (PyUnicode_Check(kept.get()) && PyUnicode_CompareWithASCIIString(kept.get(), "ascii") == 0) return true;
    PyErr_Format(builtins.ValueError, "framing must be 'rtu' or 'ascii', not %R", kept.get());
    raise();
}

Ref master_init(Args& a) {
    PyObject* self = a[0];
    // framing="ascii" is the master's, not the channel's: its frames go through an AsciiChannel.
    const bool ascii = ascii_framing(a.kwargs.get());
    Ref factory = global(BREL_STR("create_serial_instance"));
    Ref keywords = own(PyDict_New());
    check(PyDict_SetItem(keywords.get(), BREL_STR("port"), a[1]));
    check(PyDict_SetItem(keywords.get(), BREL_STR("baudrate"), a[2]));
    check(PyDict_SetItem(keywords.get(), BREL_STR("timeout"), a[3]));
    check(PyDict_Update(keywords.get(), a.kwargs.get()));
    Ref no_args = own(PyTuple_New(0));
    Ref tunnel = own(PyObject_Call(factory.get(), no_args.get(), keywords.get()));
    if (ascii) {
        Ref ascii_class = global(BREL_STR("AsciiChannel"));
        tunnel = call(ascii_class.get(), tunnel.get());
    }
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
    const SettingsNow settings = settings_now(a[0]);
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

// The request frame of code 16 (its checks first), as send_write_registers_request writes it.
Ref write_registers_frame(PyObject* station, PyObject* address, PyObject* values) {
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
    return msg;
}

Ref master_send_write_registers_request(Args& a) {
    Ref msg = write_registers_frame(a[1], a[2], a[3]);
    write_message(a[0], msg.get());
    return none();
}

// The request frame of code 5 (its checks first), as send_write_coil_request writes it.
Ref write_coil_frame(PyObject* station, PyObject* address, PyObject* value) {
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
    return msg;
}

Ref master_send_write_coil_request(Args& a) {
    Ref msg = write_coil_frame(a[1], a[2], a[3]);
    write_message(a[0], msg.get());
    return none();
}

// A request to station 0 is a broadcast, which no slave answers.
bool is_broadcast(const Transaction& tx, PyObject* station) {
    if (tx.sent) return tx.request.station() == 0;
    return PyLong_Check(station) && PyObject_RichCompareBool(station, Ref(small_int(0)).get(), Py_EQ) == 1;
}

// Codes 5, 6 and 16 through Master's exchange (rtu_data_model.cpp): the sender looked up on
// the instance and given the caller's objects, then the 8-byte answer with its CRC checked
// and compared with the request (the echo of address and value or quantity). The answer is
// dropped. A broadcast is done once its frame is written.
Ref write_through_steps(PyObject* self, PyObject* station, MasterStep sender, PyObject* address, PyObject* subject) {
    Transaction tx(self);
    call_method(self, master_steps().name(sender), station, address, subject);
    if (is_broadcast(tx, station)) {
        answered(tx);
        return none();
    }
    Ref eight = small_int(8);
    Ref feedback = feedback_step(self, station, eight.get(), Py_True);
    check_answer(tx, modbus::AnswerRule::Echo, feedback.get(), station);
    return none();
}

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

// Codes 3 and 4 through Master's exchange: the sender step given the caller's objects, the
// counted answer through the steps, its registers.
Ref read_registers_through_steps(PyObject* self, PyObject* station, PyObject* address, PyObject* count,
                                 PyObject* code) {
    Transaction tx(self);
    if (master_steps().own(self, kSendReadRegisters)) {
        check_rule(Rule::Int, BREL_STR("func_code"), code);  // its entry rule
        send_read_xx_registers(self, station, address, count, code);
    } else {
        call_method(self, master_steps().name(kSendReadRegisters), station, address, count, code);
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
    return call_method(a[0], master_steps().name(kSendReadXxCoils), a[1], a[2], a[3], code.get());
}

Ref master_send_read_input_coils_request(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Coils"));
    return call_method(a[0], master_steps().name(kSendReadXxCoils), a[1], a[2], a[3], code.get());
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

// Codes 1 and 2 through Master's exchange: the sender step given the caller's objects, the
// counted answer through the steps, at most count states.
Ref read_bits_through_steps(PyObject* self, PyObject* station, PyObject* address, PyObject* count, PyObject* code) {
    Transaction tx(self);
    call_method(self, master_steps().name(kSendReadXxCoils), station, address, count, code);
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
    return call_method(a[0], master_steps().name(kReadXxCoils), a[1], a[2], a[3], code.get());
}

Ref master_read_input_coils(Args& a) {
    Ref code = function_code(BREL_STR("FC_Read_Input_Coils"));
    return call_method(a[0], master_steps().name(kReadXxCoils), a[1], a[2], a[3], code.get());
}

Ref master_read_coil(Args& a) {
    Ref one = small_int(1);
    return first_of(call_method(a[0], BREL_STR("read_coils"), a[1], a[2], one.get()));
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
    Transaction* tx = Transaction::of(self);
    if (tx && PyBytes_GET_SIZE(sent.get()) >= 4) {
        tx->request = modbus::request_head(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(sent.get())),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(sent.get())) - 2);
        tx->sent = true;
        tx->answered = false;
    }
    if (PyObject* trace = trace_of(tx ? tx->settings : existing_settings(self))) {
        const auto* frame = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(sent.get()));
        const Py_ssize_t n = PyBytes_GET_SIZE(sent.get());
        trace_frame(trace, "sent", sent.get(), n > 0 ? frame[0] : -1, n > 1 ? frame[1] : -1, nullptr);
    }
    set_record(self, BREL_STR("MessageLastSent"), sent.get());
    Ref empty = empty_bytes();
    set_record(self, BREL_STR("MessageLastReceived"), empty.get());
}

Ref master_check_crc(Args& a) {
    check_crc_of(a[0], a[1]);
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

}  // namespace brel::rtu

namespace brel {

// ---- member table ---------------------------------------------------------------------------------

const ClassSpec& master_class() {
    using namespace rtu;
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
                   "list[int]"),
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
            property("recovery_delay", master_recovery_delay, "float", master_set_recovery_delay, "float | None"),
            // ---- the rest of the public function codes, and raw requests
            method("read_exception_status", retried<master_read_exception_status>, {{"station", "int"}}, "int"),
            method("diagnostics", retried<master_diagnostics>,
                   {{"station", "int"}, {"sub_function", "int"}, {"data", "bytes", bytes_default("")}}, "bytes"),
            method("get_comm_event_counter", retried<master_get_comm_event_counter>, {{"station", "int"}},
                   "tuple[int, int]"),
            method("get_comm_event_log", retried<master_get_comm_event_log>, {{"station", "int"}},
                   "tuple[int, int, int, bytes]"),
            method("report_server_id", retried<master_report_server_id>, {{"station", "int"}}, "bytes"),
            method("read_file_record", retried<master_read_file_record>, {{"station", "int"}, {"requests"}},
                   "list[list[int]]"),
            method("write_file_record", retried<master_write_file_record>, {{"station", "int"}, {"requests"}}, "None"),
            method("read_fifo_queue", retried<master_read_fifo_queue>, {{"station", "int"}, {"address", "int"}},
                   "list[int]"),
            method("execute", retried<master_execute>,
                   {{"station", "int"}, {"function_code", "int"}, {"data", "bytes"}, {"length", nullptr, none_default}},
                   "bytes"),
            trace_member(),
        }};
    return spec;
}

}  // namespace brel
