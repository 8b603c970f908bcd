// The operations written once for every master (operations.hpp): codes 15, 22, 23, 43/14 and values of any layout.
#include "modbus/operations.hpp"

#include "module/runtime.hpp"

namespace brel::ops {

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
