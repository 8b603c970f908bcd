// CRC-16/MODBUS: initial value 0xFFFF, reflected polynomial 0xA001, no final XOR.
// Plain C++; the frame is carried low byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brel::modbus {

inline constexpr std::array<std::uint16_t, 256> crc16_table = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t[i] = static_cast<std::uint16_t>(crc);
    }
    return t;
}();

// Continue a CRC over more bytes (start with 0xFFFF).
constexpr std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16_table[(crc ^ data[i]) & 0xFFu]);
    return crc;
}

constexpr std::uint16_t crc16(const std::uint8_t* data, std::size_t size) noexcept {
    return crc16_update(0xFFFF, data, size);
}

// One element folded in bit by bit, for values that are not bytes (code points,
// integers outside 0..255). Signed, because the interpreter's integers are: a
// negative element leaves the register negative, as arithmetic shifts keep it.
constexpr std::int64_t crc16_fold_wide(std::int64_t crc, std::int64_t element) noexcept {
    crc ^= element;
    for (int bit = 0; bit < 8; ++bit) {
        const bool bit0 = crc & 1;
        crc >>= 1;
        if (bit0) crc ^= 0xA001;
    }
    return crc;
}

// True when the last two bytes of a frame are the CRC of the rest, low byte first.
constexpr bool crc16_frame_ok(const std::uint8_t* frame, std::size_t size) noexcept {
    if (size < 2) return false;
    const std::uint16_t crc = crc16(frame, size - 2);
    return frame[size - 2] == (crc & 0xFF) && frame[size - 1] == (crc >> 8);
}


namespace detail {
inline constexpr std::uint8_t crc16_check_input[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
}
static_assert(crc16(detail::crc16_check_input, 9) == 0x4B37, "CRC-16/MODBUS check value");

}  // namespace brel::modbus
