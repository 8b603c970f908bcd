// Modbus frames as bytes: the RTU frame (station, PDU, CRC) and the MBAP header around
// the PDUs that adu.hpp lays out once per function code. Plain C++ without the
// interpreter; callers own the buffers.
#pragma once

#include "modbus/adu.hpp"
#include "modbus/crc16.hpp"

#include <cstddef>
#include <cstdint>

namespace brel::modbus {

inline constexpr std::size_t kRtuRequestSize = 8;  // station, code, two 16-bit fields, CRC
inline constexpr std::size_t kRtuHeadSize = 5;     // first read of every answer
inline constexpr std::size_t kRtuMaxWriteRegisters = 127;
inline constexpr std::size_t kMbapSize = 7;

// ---- Modbus RTU: station, PDU, CRC ----------------------------------------------------

// The read requests (codes 1 to 4) and the single-register write (code 6). Writes 8 bytes.
constexpr std::size_t rtu_two_fields(std::uint8_t* out, std::uint8_t station, std::uint8_t code, std::uint16_t first,
                                     std::uint16_t second) noexcept {
    out[0] = station;
    return close_rtu_frame(out, 1 + pdu_two_fields(out + 1, code, first, second));
}

// Single-coil write. Writes 8 bytes.
constexpr std::size_t rtu_write_coil(std::uint8_t* out, std::uint8_t station, std::uint8_t code, std::uint16_t address,
                                     bool on) noexcept {
    out[0] = station;
    return close_rtu_frame(out, 1 + pdu_write_coil(out + 1, code, address, on));
}

// Multiple-register write; out must hold 9 + 2 * count bytes, count <= 127.
constexpr std::size_t rtu_write_registers(std::uint8_t* out, std::uint8_t station, std::uint8_t code,
                                          std::uint16_t address, const std::uint16_t* values,
                                          std::size_t count) noexcept {
    out[0] = station;
    return close_rtu_frame(out, 1 + pdu_write_registers(out + 1, code, address, values, count));
}

// Exception answer: function-code byte with bit 7 set.
constexpr bool rtu_is_exception(const std::uint8_t* head) noexcept { return head[1] >= kExceptionFlag; }

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

// A TCP request is the PDU itself behind the MBAP header.
constexpr void tcp_two_fields(std::uint8_t* out, std::uint8_t code, std::uint16_t first,
                              std::uint16_t second) noexcept {
    pdu_two_fields(out, code, first, second);
}
constexpr void tcp_write_coil(std::uint8_t* out, std::uint8_t code, std::uint16_t address, bool on) noexcept {
    pdu_write_coil(out, code, address, on);
}
constexpr void tcp_write_registers_head(std::uint8_t* out, std::uint8_t code, std::uint16_t address,
                                        std::size_t count) noexcept {
    pdu_write_registers_head(out, code, address, count);
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
