// The protocol primitives as the masters call them from C++: each does what the
// module-level function or ModbusStatic member of the same name does.
#pragma once

#include "module/ref.hpp"

#include <cstdint>

namespace brel {

// array.array("B", iterable), with `array` looked up in the module namespace.
Ref make_byte_array(PyObject* iterable);
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

}  // namespace brel
