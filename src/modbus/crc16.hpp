// CRC-16/MODBUS: initial value 0xFFFF, reflected polynomial 0xA001, no final XOR.
// Plain C++; the frame is carried low byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brel::modbus {

// Slicing by 8: crc16_tables[0] is the byte-at-a-time table; crc16_tables[k][b] is the
// CRC contribution of byte b followed by k zero bytes, so eight bytes fold in with eight
// independent look-ups instead of a chain of eight.
inline constexpr std::array<std::array<std::uint16_t, 256>, 8> crc16_tables = [] {
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        t[0][i] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu]);
    return t;
}();

inline constexpr const std::array<std::uint16_t, 256>& crc16_table = crc16_tables[0];

// Continue a CRC over more bytes (start with 0xFFFF).
constexpr std::uint16_t crc16_update(std::uint16_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    const auto& t = crc16_tables;
    for (; size >= 8; data += 8, size -= 8) {
        const unsigned c = crc ^ (data[0] | (data[1] << 8));
        crc = static_cast<std::uint16_t>(t[7][c & 0xFFu] ^ t[6][c >> 8] ^ t[5][data[2]] ^ t[4][data[3]] ^
                                         t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]]);
    }
    for (std::size_t i = 0; i < size; ++i) crc = static_cast<std::uint16_t>((crc >> 8) ^ t[0][(crc ^ data[i]) & 0xFFu]);
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
inline constexpr std::uint8_t crc16_check_twice[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9',
                                                     '1', '2', '3', '4', '5', '6', '7', '8', '9'};
}  // namespace detail
static_assert(crc16(detail::crc16_check_input, 9) == 0x4B37, "CRC-16/MODBUS check value");
// The eight-byte steps agree with the byte-at-a-time loop ("123456789" twice).
static_assert(
    crc16(detail::crc16_check_twice, 18) ==
        [] {
            std::uint16_t crc = 0xFFFF;
            for (std::uint8_t b : detail::crc16_check_twice)
                crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16_table[(crc ^ b) & 0xFFu]);
            return crc;
        }(),
    "slicing by 8 matches the byte-at-a-time CRC");

}  // namespace brel::modbus
