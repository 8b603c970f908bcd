// Master's exchange over its steps and its faces of the shared operations: codes 1 to 8, 11, 12, 15 to 17, 20 to
// 24, 43, raw requests, values.
#include "modbus/operations.hpp"
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

// ---- the rest of the data model: codes 15, 22, 23, 43 and values of any type ---------------------
//
// These members check their arguments before anything is written, then run the shared
// operation (operations.hpp) over Master's exchange: the same steps as the others, each
// looked up on the instance: the single writer, the answer's head through
// __feedback_assistant, the rest through __read.

std::uint8_t station_byte(PyObject* station) {
    return static_cast<std::uint8_t>(field_value(station, "station", 0xFF));
}
std::uint16_t address_field(PyObject* v, const char* what) {
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

// ---- Master's exchange: one request PDU through its steps ----------------------------------------

namespace {

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

// Each request as one Transaction: station, PDU and CRC out through __write_message, the
// answer's head through __feedback_assistant, the rest through __read, checked against
// the request that went out; every fault is ValueError naming the station.
class MasterExchange final : public ops::Exchange {
public:
    MasterExchange(PyObject* self, PyObject* station) : self_(self), station_(station) {}

    void confirm(ops::Pdu request, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault) override {
        write_confirmed(self_, station_, request.data, request.size, static_cast<long>(answer_size + 3), rule);
    }

    Ref registers(ops::Pdu request, std::size_t, ops::Fault) override {
        Transaction tx(self_);
        send_pdu(self_, station_byte(station_), request.data, request.size);
        Counted answer;
        read_counted_answer(self_, station_, answer);
        check_answer(tx, modbus::AnswerRule::RegisterBytes, answer.feedback, station_);
        return decode_registers(answer.feedback);
    }

    void page(ops::Pdu request, const ops::PageReader& read) override {
        Transaction tx(self_);
        const std::uint8_t st = station_byte(station_);
        send_pdu(self_, st, request.data, request.size);
        // The whole page within one time-out of the request, however its pieces come:
        // each read waits only for what is left of it.
        Ref tunnel = tunnel_of(self_);
        line::ReadDeadline deadline(tunnel.get());
        // Station, code, MEI type and read code must be the request's before the rest is read.
        const std::uint8_t expected[] = {st, request.data[0], request.data[1], request.data[2]};
        std::vector<std::uint8_t> answer = first_five(deadline, expected, 4);
        read_more(self_, deadline, answer, 3);  // more follows, next object, number of objects
        for (std::size_t k = 0; k < answer[7]; ++k) {
            read_more(self_, deadline, answer, 2);
            read_more(self_, deadline, answer, answer[answer.size() - 1]);
        }
        read_more(self_, deadline, answer, 2);
        deadline.restore();
        check_crc(answer);
        const bool parsed = read(answer.data() + 1, answer.size() - 3);
        if (!parsed ||
            (tx.sent && !answer_belongs(tx, modbus::AnswerRule::Identification, answer.data(), answer.size())))
            raise_mismatch(station_);
        answered(tx);
    }

    [[noreturn]] void no_progress(std::uint8_t, std::uint8_t) override { raise_mismatch(station_); }

    std::vector<std::uint8_t> answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                     ops::Fault) override {
        Transaction tx(self_);
        const std::uint8_t st = station_byte(station_);
        send_pdu(self_, st, request.data, request.size);
        if (is_broadcast(tx, station_) || shape.size.rule == modbus::SizeRule::Nothing) {
            answered(tx);
            return {};
        }
        // The whole answer within one time-out of the request, however its pieces come.
        Ref tunnel = tunnel_of(self_);
        line::ReadDeadline deadline(tunnel.get());
        const std::uint8_t expected[] = {st, request.data[0]};
        std::vector<std::uint8_t> answer = first_five(deadline, expected, 2);
        // The PDU's first `known` bytes are its own (not the CRC): station, PDU and CRC
        // take known + 3 bytes, and the shortest frame read is five.
        std::size_t known = 1;
        while (const std::size_t more = shape.more_after(answer.data() + 1, known)) {
            if (more > modbus::kMaxPdu - known) raise_mismatch(station_);
            known += more;
            if (answer.size() < known + 3) read_more(self_, deadline, answer, known + 3 - answer.size());
        }
        deadline.restore();
        if (answer.size() != known + 3) raise_mismatch(station_);
        check_crc(answer);
        std::vector<std::uint8_t> pdu(answer.begin() + 1, answer.end() - 2);
        if (!check(pdu.data(), pdu.size())) raise_mismatch(station_);
        answered(tx);
        return pdu;
    }

    std::vector<std::uint16_t> read_words(PyObject* address, std::size_t n, PyObject* func_code) override {
        Ref count = own(PyLong_FromSize_t(n));
        Ref registers = call_method(self_, BREL_STR("read_registers"), station_, address, count.get(), func_code);
        return register_words(registers.get(), n);
    }

    void write_list(PyObject* address, PyObject* registers) override {
        call_method(self_, BREL_STR("write_registers"), station_, address, registers);
    }

    // The caller's objects handed to Master's sender steps as they came.
    Ref carried(const ops::Carried& c) override {
        switch (c.check) {
            case ops::CarriedCheck::BitBytes:
                return read_bits_through_steps(self_, station_, c.address, c.subject, c.code);
            case ops::CarriedCheck::RegisterBytes:
                return read_registers_through_steps(self_, station_, c.address, c.subject, c.code);
            case ops::CarriedCheck::RegistersEcho:
                return write_through_steps(self_, station_, kSendWriteRegisters, c.address, c.subject);
            case ops::CarriedCheck::CoilEcho:
                return write_through_steps(self_, station_, kSendWriteCoil, c.address, c.subject);
            case ops::CarriedCheck::RegisterEcho:
                break;
        }
        return write_through_steps(self_, station_, kSendWriteRegister, c.address, c.subject);
    }

private:
    // The answer's first five bytes through __feedback_assistant (an exception answer is
    // raised there), which must begin with the n bytes `expected`.
    std::vector<std::uint8_t> first_five(line::ReadDeadline& deadline, const std::uint8_t* expected, std::size_t n) {
        if (!deadline.before_read()) raise_timeout();
        Ref five = small_int(5);
        Ref head = feedback_step(self_, station_, five.get(), Py_False);
        std::vector<std::uint8_t> answer(5);
        std::size_t size = 0;
        if (!answer_head(head.get(), answer.data(), 5, size) || size != 5) raise_mismatch(station_);
        if (!std::equal(expected, expected + n, answer.begin())) raise_mismatch(station_);
        return answer;
    }

    // The CRC of a whole answer frame, through Master.__check_crc.
    void check_crc(const std::vector<std::uint8_t>& answer) {
        Ref frame = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(answer.data()),
                                                  static_cast<Py_ssize_t>(answer.size())));
        call_check_crc(frame.get(), station_);
    }

    PyObject* self_;
    PyObject* station_;
};

}  // namespace

// ---- codes 1 to 6 and 16: the caller's objects carried to Master's steps ------------------------

Ref master_write_register(Args& a) {
    MasterExchange ex(a[0], a[1]);
    ops::carried_write_register(ex, a[2], a[3]);
    return none();
}

Ref master_write_registers(Args& a) {
    MasterExchange ex(a[0], a[1]);
    ops::carried_write_registers(ex, nullptr, a[2], a[3]);
    return none();
}

Ref master_write_coil(Args& a) {
    MasterExchange ex(a[0], a[1]);
    ops::carried_write_coil(ex, nullptr, a[2], a[3]);
    return none();
}

Ref master_read_registers(Args& a) {
    refuse_writing_code(a[4]);
    MasterExchange ex(a[0], a[1]);
    return ops::carried_read_registers(ex, nullptr, a[2], a[3], a[4]);
}

// Master.__read_xx_coils(station, address, count, code), a step of read_coils and read_input_coils.
Ref master_read_xx_coils(Args& a) {
    MasterExchange ex(a[0], a[1]);
    return ops::carried_read_bits(ex, nullptr, a[2], a[3], a[4]);
}

// ---- the faces: arguments checked in order, then the shared operation ----------------------------

Ref write_coils_on(ops::Exchange& ex, Args& a) {
    const std::uint16_t address = address_field(a[2]);
    Ref items = items_of(a[3], "truth values");
    check_items(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())), modbus::kMaxWriteCoils);
    station_byte(a[1]);
    const std::vector<std::uint8_t> on = ops::truth_values(items.get());
    ops::write_coils(ex, address, on);
    return none();
}

Ref mask_write_register_on(ops::Exchange& ex, Args& a) {
    const std::uint16_t address = address_field(a[2]);
    const std::uint16_t and_mask = address_field(a[3], "and_mask");
    const std::uint16_t or_mask = address_field(a[4], "or_mask");
    station_byte(a[1]);
    ops::mask_write_register(ex, address, and_mask, or_mask);
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

Ref read_write_registers_on(ops::Exchange& ex, Args& a) {
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
    station_byte(a[1]);
    return ops::read_write_registers(ex, read_address, read_count, write_address, words, count);
}

Ref read_device_identification_on(ops::Exchange& ex, Args& a) {
    const std::uint8_t read_code = identification_read_code(a[2]);
    const unsigned long object_id = field_value(a[3], "object_id", 0xFF);
    station_byte(a[1]);
    return ops::read_device_identification(ex, read_code, static_cast<std::uint8_t>(object_id));
}

Ref read_values_on(ops::Exchange& ex, Args& a) {
    const ValueLayout layout = value_layout(a[3], a[4]);
    check_registers(layout.registers(), modbus::kMaxReadRegisters, "read");
    check_register_read_code(a[5]);
    return ops::read_values(ex, a[2], layout, a[5]);
}

Ref write_values_on(ops::Exchange& ex, Args& a) {
    const ValueLayout layout = value_layout(a[3], a[5]);
    check_registers(layout.registers(), modbus::kMaxWriteRegisters, "written");
    ops::write_values(ex, a[2], layout, a[4]);
    return none();
}

// ---- codes 7, 8, 11, 12, 17, 20, 21, 24 and raw requests: arguments, station, then the operation ------

Ref read_exception_status_on(ops::Exchange& ex, Args& a) {
    station_byte(a[1]);
    return ops::read_exception_status(ex);
}

Ref diagnostics_on(ops::Exchange& ex, Args& a) {
    const auto sub_function = static_cast<std::uint16_t>(field_value(a[2], "sub_function", modbus::kMaxAddress));
    check_diagnostics_data(a[3]);
    station_byte(a[1]);
    return ops::diagnostics(ex, sub_function, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[3])),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(a[3])));
}

Ref get_comm_event_counter_on(ops::Exchange& ex, Args& a) {
    station_byte(a[1]);
    return ops::get_comm_event_counter(ex);
}

Ref get_comm_event_log_on(ops::Exchange& ex, Args& a) {
    station_byte(a[1]);
    return ops::get_comm_event_log(ex);
}

Ref report_server_id_on(ops::Exchange& ex, Args& a) {
    station_byte(a[1]);
    return ops::report_server_id(ex);
}

Ref read_file_record_on(ops::Exchange& ex, Args& a) {
    const std::vector<modbus::FileRecord> records = file_records(a[2], nullptr);
    station_byte(a[1]);
    return ops::read_file_record(ex, records);
}

Ref write_file_record_on(ops::Exchange& ex, Args& a) {
    std::vector<std::uint16_t> words;
    const std::vector<modbus::FileRecord> records = file_records(a[2], &words);
    station_byte(a[1]);
    ops::write_file_record(ex, records);
    return none();
}

Ref read_fifo_queue_on(ops::Exchange& ex, Args& a) {
    const std::uint16_t address = address_field(a[2]);
    station_byte(a[1]);
    return ops::read_fifo_queue(ex, address);
}

Ref execute_on(ops::Exchange& ex, Args& a) {
    const std::uint8_t code = check_raw_request(a[2], a[3], a[4], true);
    station_byte(a[1]);
    return ops::execute(ex, code, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[3])),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(a[3])), a[4]);
}

// ---- Master's members: the faces over its exchange -------------------------------------------------

namespace {

Ref on_master(Args& a, Ref (*face)(ops::Exchange&, Args&)) {
    MasterExchange ex(a[0], a[1]);
    return face(ex, a);
}

}  // namespace

Ref master_write_coils(Args& a) { return on_master(a, write_coils_on); }
Ref master_mask_write_register(Args& a) { return on_master(a, mask_write_register_on); }
Ref master_read_write_registers(Args& a) { return on_master(a, read_write_registers_on); }
Ref master_read_values(Args& a) { return on_master(a, read_values_on); }
Ref master_write_values(Args& a) { return on_master(a, write_values_on); }
Ref master_read_exception_status(Args& a) { return on_master(a, read_exception_status_on); }
Ref master_diagnostics(Args& a) { return on_master(a, diagnostics_on); }
Ref master_get_comm_event_counter(Args& a) { return on_master(a, get_comm_event_counter_on); }
Ref master_get_comm_event_log(Args& a) { return on_master(a, get_comm_event_log_on); }
Ref master_report_server_id(Args& a) { return on_master(a, report_server_id_on); }
Ref master_read_file_record(Args& a) { return on_master(a, read_file_record_on); }
Ref master_write_file_record(Args& a) { return on_master(a, write_file_record_on); }
Ref master_read_fifo_queue(Args& a) { return on_master(a, read_fifo_queue_on); }
Ref master_execute(Args& a) { return on_master(a, execute_on); }

Ref master_read_device_identification(Args& a) {
    ObjectLock whole_conversation(a[0]);  // every page, as one conversation
    return on_master(a, read_device_identification_on);
}

}  // namespace brel::rtu
