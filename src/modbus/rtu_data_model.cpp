// The RTU master's codes 15, 22, 23, 43 and values of any layout, over its steps.
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
// These members build their frames in C++ through the transport-neutral layer (adu.hpp)
// and run the same steps as the others, each looked up on the instance: the single
// writer, the answer's head through __feedback_assistant, the rest through __read. Their
// arguments are checked before anything is written.

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

}  // namespace brel::rtu
