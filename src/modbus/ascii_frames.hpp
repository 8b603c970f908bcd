// Modbus ASCII framing: the LRC, a frame's characters, and the decoding of one: plain C++.
//
// A frame is ':' (0x3A), then the station, the PDU and the LRC as upper-case hexadecimal
// pairs, then CR LF. The LRC is the two's complement of the 8-bit sum of the station and
// PDU bytes. A receiver takes a ':' anywhere as the start of a new frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brel::modbus {

inline constexpr std::uint8_t kAsciiStart = ':';
inline constexpr std::uint8_t kAsciiCr = '\r';
inline constexpr std::uint8_t kAsciiLf = '\n';
// ':' + 2 x (station + PDU + LRC) + CR LF: a frame's characters for `n` bytes of station and PDU.
constexpr std::size_t ascii_frame_size(std::size_t n) noexcept { return 1 + 2 * (n + 1) + 2; }

constexpr std::uint8_t lrc(const std::uint8_t* data, std::size_t n) noexcept {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(-sum);
}

// Writes the frame of `n` bytes (station and PDU) into `out` (ascii_frame_size(n) bytes).
constexpr std::size_t ascii_frame(std::uint8_t* out, const std::uint8_t* data, std::size_t n) noexcept {
    constexpr char digits[] = "0123456789ABCDEF";
    std::size_t at = 0;
    out[at++] = kAsciiStart;
    auto pair = [&](std::uint8_t b) {
        out[at++] = static_cast<std::uint8_t>(digits[b >> 4]);
        out[at++] = static_cast<std::uint8_t>(digits[b & 0x0F]);
    };
    for (std::size_t i = 0; i < n; ++i) pair(data[i]);
    pair(lrc(data, n));
    out[at++] = kAsciiCr;
    out[at++] = kAsciiLf;
    return at;
}

// The value of a hexadecimal digit (either case), -1 for any other character.
constexpr int hex_digit(std::uint8_t c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

enum class AsciiDecoded : std::uint8_t { Ok, BadHex, OddDigits, TooShort, WrongLrc };

// Decodes the characters between ':' and CR LF into `out` (room for n / 2 bytes): the
// station, the PDU and the LRC; `size` is their count. The LRC is checked last.
constexpr AsciiDecoded ascii_decode(const std::uint8_t* chars, std::size_t n, std::uint8_t* out,
                                    std::size_t& size) noexcept {
    size = 0;
    if (n % 2) return AsciiDecoded::OddDigits;
    for (std::size_t i = 0; i < n; i += 2) {
        const int high = hex_digit(chars[i]), low = hex_digit(chars[i + 1]);
        if (high < 0 || low < 0) return AsciiDecoded::BadHex;
        out[size++] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (size < 3) return AsciiDecoded::TooShort;  // station, function code, LRC at least
    return lrc(out, size - 1) == out[size - 1] ? AsciiDecoded::Ok : AsciiDecoded::WrongLrc;
}

// The standard's example: a read of 3 registers from 0x006B at station 0x11.
static_assert([] {
    const std::uint8_t request[] = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    std::uint8_t out[ascii_frame_size(sizeof request)] = {};
    const char expected[] = ":1103006B00037E\r\n";
    if (ascii_frame(out, request, sizeof request) != sizeof expected - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof expected; ++i)
        if (out[i] != static_cast<std::uint8_t>(expected[i])) return false;
    return true;
}());

}  // namespace brel::modbus
