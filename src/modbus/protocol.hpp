// The protocol primitives as the masters call them from C++: each does what the
// module-level function or ModbusStatic member of the same name does.
#pragma once

#include "modbus/adu.hpp"
#include "modbus/values.hpp"
#include "module/ref.hpp"

#include <cstdint>
#include <vector>

namespace brel {

// array.array("B", iterable), with `array` looked up in the module namespace.
Ref make_byte_array(PyObject* iterable);
// True when the module's `array` is the interpreter's array module and its `array` the
// array type: then array.array("B", ...) is what real_byte_array makes.
bool arrays_are_real();
// An array("B") of the interpreter's array type holding data[0, size), made without
// the type call.
Ref real_byte_array(const std::uint8_t* data, std::size_t size);
// array.array("B", bytes(data[0, size))) with the module's `array` as it stands:
// real_byte_array while arrays_are_real(), the call through the interpreter otherwise.
Ref new_byte_array(const std::uint8_t* data, std::size_t size);
// True for an array of exactly the interpreter's array type with type code "B"; `view`
// then holds its bytes.
struct ByteView;
bool is_real_byte_array(PyObject* obj, ByteView& view) noexcept;
// ModbusStatic.split_register(value): (high, low).
Ref split_register_of(PyObject* value);
// ModbusStatic.calculate_crc(string, beg, end): (low, high).
Ref calculate_crc_of(PyObject* string, PyObject* beg, PyObject* end);
// ModbusStatic.crc_is_right(string).
Ref crc_is_right_of(PyObject* string);
// True when `callable` is the library's own member of that name: the guards of the
// fast paths that build frames in C++ instead of calling through the interpreter.
bool calculate_crc_is_ours(PyObject* callable) noexcept;
bool split_register_is_ours(PyObject* callable) noexcept;
bool byte_array_is_ours(PyObject* callable) noexcept;

// The (low, high) tuple of a CRC register.
Ref crc_pair(long long crc);

// Contiguous unsigned bytes of a bytes, bytearray or array("B") object; false for
// anything else. Valid until interpreter code runs again.
struct ByteView {
    const std::uint8_t* data = nullptr;
    Py_ssize_t size = 0;
};
bool byte_view(PyObject* obj, ByteView& view);

// ---- answers into results ------------------------------------------------------------------
// Fill `list`, a new list of n items, from an answer's data: the big-endian 16-bit registers
// data[0, 2n) as ints, or the bits of data, least significant first, as True/False. Nothing
// here runs interpreter code, so a view of the data stays valid.
void fill_registers(PyObject* list, const std::uint8_t* data);
void fill_bits(PyObject* list, const std::uint8_t* data);

// ---- argument checks shared by the masters ------------------------------------------------
// Every field is refused outside its range before anything is sent, never wrapped; the
// texts are the same on every master.

// An int outside 0..top: OverflowError "modbus: <what> out of range 0 to <top>: <value>".
// Any integer-like object (one with __index__: numpy integers, IntEnum members, ...) is
// judged by its integer value; other objects are left to the frame builders.
void check_field(PyObject* value, const char* what, unsigned long top);
// check_field for an exact int, and its value.
unsigned long field_value(PyObject* exact_int, const char* what, unsigned long top);
// The function code of a register read: a code that changes the device (5, 6, 15, 16, 21,
// 22, 23) is refused with ValueError before anything is sent; any other goes out as given.
void refuse_writing_code(PyObject* func_code);
// The function code of a read of typed values: 3 or 4, ValueError otherwise.
void check_register_read_code(PyObject* func_code);
// A count within 1..high, the limit of its function code: ValueError otherwise.
void check_count(std::size_t n, std::size_t high, const char* what);
// The number of values to write within 1..high: ValueError otherwise.
void check_items(std::size_t n, std::size_t high);
// A format of at most `high` registers (`done`: "read" or "written"): ValueError otherwise.
void check_registers(std::size_t n, std::size_t high, const char* done);
// The read device identification code of an exact int: 1 to 4, ValueError otherwise.
std::uint8_t identification_read_code(PyObject* exact_int);
// The items of a sequence as a tuple, taken once; TypeError "values must be a sequence of
// <what>, not <type>" for an object that is none.
Ref items_of(PyObject* values, const char* what);

// The sub-requests of a file record read (`words` null) or write: a sequence of
// (file, record, length) or (file, record, values) with file 0..65535, record 0..9999 and
// 1 or more registers each, within the byte counts of one request and its answer. The
// written values, 0..65535 each, are kept in `store`, which the records point into.
std::vector<modbus::FileRecord> file_records(PyObject* requests, std::vector<std::uint16_t>* store);
// The data of a diagnostics request: at most 250 bytes.
void check_diagnostics_data(PyObject* exact_bytes);
// A raw request: the function code (1 to 127), the data (at most 252 bytes) and `length`
// (None, an int from 0 to 252 or a callable). `serial`: the answer must carry at least one
// byte and be known in length from its bytes (RTU has no frame length).
std::uint8_t check_raw_request(PyObject* function_code, PyObject* data, PyObject* length, bool serial);

// ---- typed values (modbus/values.hpp) ---------------------------------------------------
// What ModbusStatic.decode_values and encode_values do, for the masters' read and write
// operations: make the layout first (every check of format and order, before any I/O),
// then the registers it counts are read or written.

// A format and a byte order, both checked: ValueError for a bad format, an order other
// than "ABCD", "CDAB", "BADC" or "DCBA", or a value the order cannot place; TypeError
// when either is not a str.
struct ValueLayout {
    modbus::Format format;
    modbus::ByteOrder order = modbus::ByteOrder::ABCD;
    std::size_t registers() const noexcept { return format.registers(); }
};
ValueLayout value_layout(PyObject* format, PyObject* order);
// The registers of a sequence, each an int in 0..65535 (TypeError, ValueError otherwise);
// ValueError unless it holds `expected` of them.
std::vector<std::uint16_t> register_words(PyObject* registers, std::size_t expected);
// The list of values held by n registers; ValueError unless n is the layout's count.
Ref decode_words(const ValueLayout& layout, const std::uint16_t* words, std::size_t n);
Ref decode_words(const std::uint16_t* words, std::size_t n, PyObject* format, PyObject* order);
// The registers that hold a sequence of values, one item per value of the format; every
// value is checked before the registers are made.
std::vector<std::uint16_t> encode_to_words(const ValueLayout& layout, PyObject* values);
std::vector<std::uint16_t> encode_to_words(PyObject* format, PyObject* values, PyObject* order);

}  // namespace brel
