// The operations written once for every master (operations.hpp): codes 1 to 8, 11, 12, 15 to 17, 20 to 24,
// 43/14, raw requests and values.
#include "modbus/operations.hpp"

#include "module/runtime.hpp"

#include <algorithm>
#include <cstring>

namespace brel::ops {

bool pdu_answers(Pdu request, modbus::AnswerRule rule, const std::uint8_t* answer, std::size_t size) {
    std::uint8_t head[8] = {};  // a station byte, then the request's PDU
    const std::size_t n = std::min(request.size, sizeof head - 1);
    std::memcpy(head + 1, request.data, n);
    return modbus::pdu_answer_matches(modbus::request_head(head, 1 + n), rule, answer, size);
}

Ref Exchange::bits(Pdu request, std::size_t count, Fault fault) {
    const AnswerShape shape{{modbus::SizeRule::Fixed, 2 + (count + 7) / 8}, {}};
    const auto answer = this->answer(
        request, shape,
        [&](const std::uint8_t* p, std::size_t got) {
            return pdu_answers(request, modbus::AnswerRule::BitBytes, p, got);
        },
        fault);
    if (answer.empty()) return Ref::borrow(Py_None);  // a broadcast
    Ref states = own(PyList_New(static_cast<Py_ssize_t>(count)));
    fill_bits(states.get(), answer.data() + 2);
    return states;
}

Ref Exchange::carried(const Carried&) { raise(PyExc_SystemError, "this master runs no step-made requests"); }

// ---- codes 1 to 6 and 16 carried with the caller's objects ----------------------------------------

namespace {

// The count of a read as the TCP masters have checked it (an int within 0..65535); 0 for
// what Master's steps have still to judge.
std::size_t count_of(PyObject* count) {
    if (!PyLong_Check(count)) return 0;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
    return overflow || n < 0 || n > 0xFFFF ? 0 : static_cast<std::size_t>(n);
}

}  // namespace

Ref carried_read_bits(Exchange& ex, PyObject* command, PyObject* address, PyObject* count, PyObject* code) {
    return ex.carried({command, CarriedCheck::BitBytes, address, count, (count_of(count) + 7) / 8 + 1, code});
}

Ref carried_read_registers(Exchange& ex, PyObject* command, PyObject* address, PyObject* count, PyObject* code) {
    return ex.carried({command, CarriedCheck::RegisterBytes, address, count, 2 * count_of(count) + 1, code});
}

void carried_write_registers(Exchange& ex, PyObject* command, PyObject* address, PyObject* values) {
    ex.carried({command, CarriedCheck::RegistersEcho, address, values, 4, nullptr});
}

void carried_write_coil(Exchange& ex, PyObject* command, PyObject* address, PyObject* value) {
    ex.carried({command, CarriedCheck::CoilEcho, address, value, 4, nullptr});
}

void carried_write_register(Exchange& ex, PyObject* address, PyObject* value) {
    ex.carried({nullptr, CarriedCheck::RegisterEcho, address, value, 4, nullptr});
}

// ---- codes 2, 4 and 6 and the rest, over checked fields ------------------------------------------

Ref read_registers(Exchange& ex, std::uint8_t code, std::uint16_t address, std::uint16_t count) {
    std::uint8_t pdu[5];
    const std::size_t n = modbus::pdu_two_fields(pdu, code, address, count);
    return ex.registers({pdu, n}, count, Fault::ReadRegisters);
}

Ref read_bits(Exchange& ex, std::uint8_t code, std::uint16_t address, std::uint16_t count) {
    std::uint8_t pdu[5];
    const std::size_t n = modbus::pdu_two_fields(pdu, code, address, count);
    return ex.bits({pdu, n}, count, Fault::ReadBits);
}

void write_register(Exchange& ex, std::uint16_t address, std::uint16_t value) {
    std::uint8_t pdu[5];
    const std::size_t n = modbus::pdu_two_fields(pdu, modbus::kWriteSingleRegister, address, value);
    ex.confirm({pdu, n}, 5, modbus::AnswerRule::Echo, Fault::WriteRegister);
}

void write_coils(Exchange& ex, std::uint16_t address, const std::vector<std::uint8_t>& on) {
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t n = modbus::pdu_write_coils(pdu, address, on, on.size());
    ex.confirm({pdu, n}, 5, modbus::AnswerRule::Echo, Fault::WriteCoils);
}

void mask_write_register(Exchange& ex, std::uint16_t address, std::uint16_t and_mask, std::uint16_t or_mask) {
    std::uint8_t pdu[7];
    const std::size_t n = modbus::pdu_mask_write_register(pdu, address, and_mask, or_mask);
    ex.confirm({pdu, n}, 7, modbus::AnswerRule::EchoMasks, Fault::MaskWriteRegister);
}

Ref read_write_registers(Exchange& ex, std::uint16_t read_address, std::uint16_t read_count,
                         std::uint16_t write_address, const std::uint16_t* words, std::size_t count) {
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t n = modbus::pdu_read_write_registers(pdu, read_address, read_count, write_address, words, count);
    return ex.registers({pdu, n}, read_count, Fault::ReadRegisters);
}

Ref read_device_identification(Exchange& ex, std::uint8_t read_code, std::uint8_t object_id) {
    Ref objects = own(PyDict_New());
    for (;;) {
        std::uint8_t pdu[4];
        const std::size_t n = modbus::pdu_read_device_identification(pdu, read_code, object_id);
        modbus::IdentificationPage page;
        ex.page({pdu, n}, [&](const std::uint8_t* answer, std::size_t size) {
            return read_identification_page(objects.get(), answer, size, page);
        });
        if (read_code == 4 || !page.more_follows) return objects;
        if (page.next_object <= object_id) ex.no_progress(page.next_object, object_id);
        object_id = page.next_object;
    }
}

bool read_identification_page(PyObject* objects, const std::uint8_t* answer, std::size_t size,
                              modbus::IdentificationPage& page) {
    return modbus::parse_identification(
        answer, size, page, [&](std::uint8_t id, const std::uint8_t* value, std::size_t length) {
            Ref key = own(PyLong_FromLong(id));
            Ref bytes =
                own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value), static_cast<Py_ssize_t>(length)));
            check(PyDict_SetItem(objects, key.get(), bytes.get()));
        });
}

// ---- answers of their own shape: codes 7, 8, 11, 12, 17, 20, 21, 24 and raw requests -----------

namespace {

Ref bytes_of(const std::uint8_t* p, std::size_t n) {
    return own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n)));
}

// The answer to a request of the standard's shape for its code, checked by `check`.
std::vector<std::uint8_t> standard_answer(Exchange& ex, const std::uint8_t* pdu, std::size_t n,
                                          const AnswerCheck& check, Fault fault) {
    return ex.answer({pdu, n}, AnswerShape{modbus::answer_size_of(pdu, n), {}}, check, fault);
}

// A request of the function code alone (7, 11, 12, 17), its answer checked by `check`.
std::vector<std::uint8_t> code_only(Exchange& ex, std::uint8_t code, const AnswerCheck& check, Fault fault) {
    std::uint8_t pdu[1];
    return standard_answer(ex, pdu, modbus::pdu_code_only(pdu, code), check, fault);
}

bool any_answer(const std::uint8_t*, std::size_t) { return true; }

Ref nothing() { return Ref::borrow(Py_None); }

}  // namespace

Ref read_exception_status(Exchange& ex) {
    const auto answer = code_only(ex, modbus::kReadExceptionStatus, any_answer, Fault::ExceptionStatus);
    if (answer.empty()) return nothing();  // a broadcast
    return own(PyLong_FromLong(answer[1]));
}

Ref diagnostics(Exchange& ex, std::uint16_t sub_function, const std::uint8_t* data, std::size_t n) {
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t size = modbus::pdu_diagnostics(pdu, sub_function, data, n);
    const auto answer = standard_answer(
        ex, pdu, size,
        [&](const std::uint8_t* p, std::size_t got) {
            return got == size && modbus::get16(p + 1) == sub_function &&
                   (sub_function != modbus::kDiagReturnQueryData || std::equal(p + 3, p + got, pdu + 3));
        },
        Fault::Diagnostics);
    if (answer.empty()) return bytes_of(nullptr, 0);
    return bytes_of(answer.data() + 3, answer.size() - 3);
}

Ref get_comm_event_counter(Exchange& ex) {
    const auto answer = code_only(ex, modbus::kGetCommEventCounter, any_answer, Fault::CommEventCounter);
    if (answer.empty()) return nothing();  // a broadcast
    return own(Py_BuildValue("(ii)", modbus::get16(answer.data() + 1), modbus::get16(answer.data() + 3)));
}

Ref get_comm_event_log(Exchange& ex) {
    const auto answer = code_only(ex, modbus::kGetCommEventLog, modbus::event_log_answer_ok, Fault::CommEventLog);
    if (answer.empty()) return nothing();  // a broadcast
    Ref events = bytes_of(answer.data() + 8, answer.size() - 8);
    return own(Py_BuildValue("(iiiO)", modbus::get16(answer.data() + 2), modbus::get16(answer.data() + 4),
                             modbus::get16(answer.data() + 6), events.get()));
}

Ref report_server_id(Exchange& ex) {
    const auto answer = code_only(
        ex, modbus::kReportServerId, [](const std::uint8_t*, std::size_t got) { return got >= 2; }, Fault::ServerId);
    if (answer.empty()) return nothing();  // a broadcast
    return bytes_of(answer.data() + 2, answer.size() - 2);
}

Ref read_file_record(Exchange& ex, const std::vector<modbus::FileRecord>& records) {
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t n = modbus::pdu_read_file_record(pdu, records.data(), records.size());
    const auto answer = standard_answer(
        ex, pdu, n,
        [&](const std::uint8_t* p, std::size_t got) {
            return modbus::file_record_answer_ok(p, got, records.data(), records.size());
        },
        Fault::ReadFileRecord);
    if (answer.empty()) return nothing();  // a broadcast
    Ref result = own(PyList_New(static_cast<Py_ssize_t>(records.size())));
    std::size_t at = 2;
    for (std::size_t k = 0; k < records.size(); ++k) {
        Ref values = own(PyList_New(records[k].length));
        fill_registers(values.get(), answer.data() + at + 2);
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), values.release());
        at += 2 + 2 * static_cast<std::size_t>(records[k].length);
    }
    return result;
}

void write_file_record(Exchange& ex, const std::vector<modbus::FileRecord>& records) {
    std::uint8_t pdu[modbus::kMaxPdu];
    const std::size_t n = modbus::pdu_write_file_record(pdu, records.data(), records.size());
    standard_answer(
        ex, pdu, n, [&](const std::uint8_t* p, std::size_t got) { return got == n && std::equal(p, p + n, pdu); },
        Fault::WriteFileRecord);
}

Ref read_fifo_queue(Exchange& ex, std::uint16_t address) {
    std::uint8_t pdu[3];
    const auto answer =
        standard_answer(ex, pdu, modbus::pdu_read_fifo_queue(pdu, address), modbus::fifo_answer_ok, Fault::FifoQueue);
    if (answer.empty()) return nothing();  // a broadcast
    Ref values = own(PyList_New(modbus::get16(answer.data() + 3)));
    fill_registers(values.get(), answer.data() + 5);
    return values;
}

AnswerShape raw_shape(const std::uint8_t* request, std::size_t size, PyObject* length) {
    AnswerShape shape{modbus::answer_size_of(request, size), {}};
    if (length == Py_None) return shape;
    if (PyLong_Check(length)) {
        shape.size = {modbus::SizeRule::Fixed, 1 + PyLong_AsSize_t(length)};
        return shape;
    }
    shape.size = {modbus::SizeRule::Fixed, 0};
    shape.more = [length](const std::uint8_t* pdu, std::size_t known) -> std::size_t {
        Ref so_far = bytes_of(pdu, known);
        Ref more = call(length, so_far.get());
        if (!PyLong_Check(more.get())) {
            PyErr_Format(PyExc_TypeError, "length() must return an int, not %.200s", Py_TYPE(more.get())->tp_name);
            raise();
        }
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(more.get(), &overflow);
        if (n == -1 && PyErr_Occurred()) raise();
        if (overflow || n < 0 || static_cast<unsigned long long>(n) > modbus::kMaxPdu) {
            PyErr_Format(PyExc_ValueError, "length() must return an int from 0 to %zu: %S", modbus::kMaxPdu,
                         more.get());
            raise();
        }
        return static_cast<std::size_t>(n);
    };
    return shape;
}

Ref execute(Exchange& ex, std::uint8_t code, const std::uint8_t* data, std::size_t n, PyObject* length) {
    std::uint8_t pdu[modbus::kMaxPdu];
    pdu[0] = code;
    if (n) std::memcpy(pdu + 1, data, n);
    const auto answer = ex.answer({pdu, 1 + n}, raw_shape(pdu, 1 + n, length), any_answer, Fault::Raw);
    if (answer.empty()) return bytes_of(nullptr, 0);
    return bytes_of(answer.data() + 1, answer.size() - 1);
}

Ref read_values(Exchange& ex, PyObject* address, const ValueLayout& layout, PyObject* func_code) {
    const std::vector<std::uint16_t> words = ex.read_words(address, layout.registers(), func_code);
    return decode_words(layout, words.data(), words.size());
}

void write_values(Exchange& ex, PyObject* address, const ValueLayout& layout, PyObject* values) {
    const std::vector<std::uint16_t> words = encode_to_words(layout, values);
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (std::size_t i = 0; i < words.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), own(PyLong_FromLong(words[i])).release());
    ex.write_list(address, list.get());
}

std::vector<std::uint8_t> truth_values(PyObject* items) {
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    std::vector<std::uint8_t> on(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        on[static_cast<std::size_t>(i)] = check(PyObject_IsTrue(PyTuple_GET_ITEM(items, i))) != 0;
    return on;
}

}  // namespace brel::ops
