// Modbus frames as bytes: RTU requests and answer layout, the MBAP header and TCP
// PDUs. Plain C++ without the interpreter; callers own the buffers.
#pragma once

#include "modbus/crc16.hpp"

#include <cstddef>
#include <cstdint>

namespace brel::modbus {

inline constexpr std::size_t kRtuRequestSize = 8;  // station, code, two 16-bit fields, CRC
inline constexpr std::size_t kRtuHeadSize = 5;     // first read of every answer
inline constexpr std::size_t kRtuMaxWriteRegisters = 127;
inline constexpr std::size_t kMbapSize = 7;

constexpr void put16(std::uint8_t* out, std::uint16_t v) noexcept {
    out[0] = static_cast<std::uint8_t>(v >> 8);
    out[1] = static_cast<std::uint8_t>(v & 0xFF);
}
constexpr std::uint16_t get16(const std::uint8_t* in) noexcept {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

// Append the CRC of out[0, size) at out[size], low byte first; returns size + 2.
constexpr std::size_t close_rtu_frame(std::uint8_t* out, std::size_t size) noexcept {
    const std::uint16_t crc = crc16(out, size);
    out[size] = static_cast<std::uint8_t>(crc & 0xFF);
    out[size + 1] = static_cast<std::uint8_t>(crc >> 8);
    return size + 2;
}

// Station, code and two 16-bit fields: the read requests (codes 1 to 4) and the
// single-register write (code 6). Writes 8 bytes.
constexpr std::size_t rtu_two_fields(std::uint8_t* out, std::uint8_t station, std::uint8_t code, std::uint16_t first,
                                     std::uint16_t second) noexcept {
    out[0] = station;
    out[1] = code;
    put16(out + 2, first);
    put16(out + 4, second);
    return close_rtu_frame(out, 6);
}

// Single-coil write: 255 0 for on, 0 0 for off. Writes 8 bytes.
constexpr std::size_t rtu_write_coil(std::uint8_t* out, std::uint8_t station, std::uint8_t code, std::uint16_t address,
                                     bool on) noexcept {
    return rtu_two_fields(out, station, code, address, on ? 0xFF00 : 0x0000);
}

// Multiple-register write; out must hold 9 + 2 * count bytes, count <= 127.
constexpr std::size_t rtu_write_registers(std::uint8_t* out, std::uint8_t station, std::uint8_t code,
                                          std::uint16_t address, const std::uint16_t* values,
                                          std::size_t count) noexcept {
    out[0] = station;
    out[1] = code;
    put16(out + 2, address);
    put16(out + 4, static_cast<std::uint16_t>(count));
    out[6] = static_cast<std::uint8_t>(2 * count);
    for (std::size_t i = 0; i < count; ++i) put16(out + 7 + 2 * i, values[i]);
    return close_rtu_frame(out, 7 + 2 * count);
}

// Exception answer: function-code byte with bit 7 set.
constexpr bool rtu_is_exception(const std::uint8_t* head) noexcept { return head[1] >= 0x80; }

// MBAP header: transaction, protocol, length (PDU + unit identifier), unit.
constexpr void mbap_header(std::uint8_t* out, std::uint16_t transaction, std::uint16_t protocol, std::uint16_t length,
                           std::uint8_t unit) noexcept {
    put16(out, transaction);
    put16(out + 2, protocol);
    put16(out + 4, length);
    out[6] = unit;
}

// ---- Modbus TCP -------------------------------------------------------------------

inline constexpr std::size_t kTcpAnswerHead = 8;           // MBAP header and function code: first receive
inline constexpr std::size_t kTcpReadPduSize = 5;          // code, address, count
inline constexpr std::size_t kTcpCoilPduSize = 5;          // code, address, value field
inline constexpr std::size_t kTcpMaxWriteRegisters = 127;  // the byte count 2 * n must fit one byte

// Code and two 16-bit fields: the coil and register reads (codes 1 and 3). Writes 5 bytes.
constexpr void tcp_two_fields(std::uint8_t* out, std::uint8_t code, std::uint16_t first,
                              std::uint16_t second) noexcept {
    out[0] = code;
    put16(out + 1, first);
    put16(out + 3, second);
}

// Single-coil write: FF 00 for on, 00 00 for off. Writes 5 bytes.
constexpr void tcp_write_coil(std::uint8_t* out, std::uint8_t code, std::uint16_t address, bool on) noexcept {
    out[0] = code;
    put16(out + 1, address);
    out[3] = on ? 0xFF : 0x00;
    out[4] = 0x00;
}

// Head of a multiple-register write: code, address, quantity, byte count; the values
// follow at out + 6. count <= kTcpMaxWriteRegisters.
constexpr void tcp_write_registers_head(std::uint8_t* out, std::uint8_t code, std::uint16_t address,
                                        std::size_t count) noexcept {
    out[0] = code;
    put16(out + 1, address);
    put16(out + 3, static_cast<std::uint16_t>(count));
    out[5] = static_cast<std::uint8_t>(2 * count);
}

// The answer's transaction, protocol and unit identifiers equal the request's. Both
// spans hold at least 7 bytes; the length field is not compared.
constexpr bool mbap_same_ids(const std::uint8_t* answer, const std::uint8_t* request) noexcept {
    for (int i = 0; i < 4; ++i)
        if (answer[i] != request[i]) return false;
    return answer[6] == request[6];
}

// Bytes that follow the function code: the declared length less the unit identifier
// and the function code (negative for a declared length of 0 or 1).
constexpr long mbap_remaining(const std::uint8_t* answer) noexcept { return static_cast<long>(get16(answer + 4)) - 2; }

// Coil i of a bit-packed answer: bit i % 8 of data byte i / 8.
constexpr bool coil_bit(const std::uint8_t* data, std::size_t i) noexcept { return (data[i / 8] >> (i % 8)) & 1u; }

}  // namespace brel::modbus
