// Typed values in registers: struct-style formats and the four byte orders. Plain C++
// without the interpreter; callers own the buffers.
//
// A format lists values as Python's struct module does, without a byte-order prefix and
// without padding codes:
//   h H   16-bit integer, signed and unsigned      (1 register)
//   i I   32-bit integer, signed and unsigned      (2 registers)
//   q Q   64-bit integer, signed and unsigned      (4 registers)
//   e f d IEEE 754 half, single, double precision  (1, 2, 4 registers)
//   Ns    one string of N bytes
// A decimal count written directly before a code repeats it ("2f" is two floats); before
// s it is the length of the one string ("8s" is one 8-byte value). Whitespace may separate
// items. A format holds at least one byte, at most kMaxFormatRegisters registers, and fills
// a whole number of registers: "3s" is refused, "3s 1s" is two registers.
//
// The image of a value is its bytes, most significant first (A, B, C, D for 32 bits). The
// order names where those bytes sit in the registers, each register written high byte
// first. The float 123.456 is 0x42F6E979:
//
//   order  registers    what manuals call it
//   ABCD   42F6 E979    big-endian, the Modbus convention (the default)
//   CDAB   E979 42F6    word swap: low word first, each word big-endian
//   BADC   F642 79E9    byte swap: high word first, the two bytes of each word swapped
//   DCBA   79E9 F642    little-endian
//
// Word order is a property of each value: CDAB and DCBA reverse the registers of each
// value of two or four registers, so a 16-bit value reads the same in ABCD and CDAB, and in
// BADC and DCBA; strings keep their bytes in order. Such a value must start on a register
// (an even byte offset of the format) under CDAB and DCBA, else the format is refused for
// that order (check_order). Byte swapping is a property of the registers: BADC and DCBA
// swap the two bytes of every register, strings included; where a string of odd length
// shares a register with the next value, that register is swapped like any other.
//
// decode: registers -> words_to_image -> each value read from its image.
// encode: each value written to its image -> image_to_words -> registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace brel::modbus {

inline constexpr std::size_t kMaxFormatRegisters = 65535;

enum class ByteOrder : std::uint8_t { ABCD, CDAB, BADC, DCBA };

constexpr bool swaps_words(ByteOrder order) noexcept { return order == ByteOrder::CDAB || order == ByteOrder::DCBA; }
constexpr bool swaps_bytes(ByteOrder order) noexcept { return order == ByteOrder::BADC || order == ByteOrder::DCBA; }

// The order named by its four letters, exactly as above; false for any other text.
constexpr bool parse_byte_order(std::string_view text, ByteOrder& out) noexcept {
    constexpr std::string_view names[] = {"ABCD", "CDAB", "BADC", "DCBA"};
    for (std::size_t i = 0; i < 4; ++i) {
        if (text == names[i]) {
            out = static_cast<ByteOrder>(i);
            return true;
        }
    }
    return false;
}

constexpr const char* byte_order_name(ByteOrder order) noexcept {
    constexpr const char* names[] = {"ABCD", "CDAB", "BADC", "DCBA"};
    return names[static_cast<std::size_t>(order)];
}

// Bytes of one value of a numeric code; 0 for 's' and for anything that is not a code.
constexpr std::size_t code_size(char code) noexcept {
    switch (code) {
        case 'h':
        case 'H':
        case 'e':
            return 2;
        case 'i':
        case 'I':
        case 'f':
            return 4;
        case 'q':
        case 'Q':
        case 'd':
            return 8;
        default:
            return 0;
    }
}

constexpr bool is_float_code(char code) noexcept { return code == 'e' || code == 'f' || code == 'd'; }
constexpr bool is_signed_code(char code) noexcept { return code == 'h' || code == 'i' || code == 'q'; }

// One item of a format: a code and its count.
struct Field {
    char code = 0;
    std::size_t count = 0;  // the repeat count; for 's' the byte length of its one value

    constexpr std::size_t values() const noexcept { return code == 's' ? 1 : count; }
    constexpr std::size_t value_size() const noexcept { return code == 's' ? count : code_size(code); }
    constexpr std::size_t bytes() const noexcept { return values() * value_size(); }
};

enum class FormatFault : std::uint8_t {
    None,
    Empty,             // no item at all
    UnknownCode,       // position, code: a character that is neither a code, a digit nor space
    OrderPrefix,       // position, code: one of < > ! = @
    CountWithoutCode,  // position: a count not directly followed by a code
    ZeroCount,         // position: a count of 0
    TooLarge,          // more than kMaxFormatRegisters registers
    OddSize,           // bytes: not a whole number of registers
    Misaligned,        // position (byte offset), code: a value that word order cannot place
};

struct FormatCheck {
    FormatFault fault = FormatFault::None;
    std::size_t position = 0;
    char code = 0;
    std::size_t bytes = 0;  // the format's size when it parsed that far
    constexpr bool ok() const noexcept { return fault == FormatFault::None; }
};

// Parses text item by item, calling emit(Field) for each; the size in bytes comes back in
// FormatCheck::bytes. Positions count characters from 0.
template <class Emit>
constexpr FormatCheck parse_format(std::string_view text, Emit&& emit) {
    constexpr std::size_t max_bytes = 2 * kMaxFormatRegisters;
    FormatCheck result;
    bool any = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        std::size_t count = 1;
        if (c >= '0' && c <= '9') {
            count = 0;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
                count = 10 * count + static_cast<std::size_t>(text[i] - '0');
                if (count > max_bytes) return {FormatFault::TooLarge, start, 0, result.bytes};
            }
            if (i == text.size() || text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))
                return {FormatFault::CountWithoutCode, start, 0, result.bytes};
        }
        const char code = text[i];
        if (code == '<' || code == '>' || code == '!' || code == '=' || code == '@')
            return {FormatFault::OrderPrefix, i, code, result.bytes};
        if (code != 's' && code_size(code) == 0) return {FormatFault::UnknownCode, i, code, result.bytes};
        if (count == 0) return {FormatFault::ZeroCount, start, code, result.bytes};
        const Field field{code, count};
        result.bytes += field.bytes();
        if (result.bytes > max_bytes) return {FormatFault::TooLarge, start, code, result.bytes};
        emit(field);
        any = true;
        ++i;
    }
    if (!any) return {FormatFault::Empty, 0, 0, 0};
    if (result.bytes % 2) return {FormatFault::OddSize, 0, 0, result.bytes};
    return result;
}

// A parsed format.
struct Format {
    std::vector<Field> fields;
    std::size_t bytes = 0;
    std::size_t values = 0;
    std::size_t registers() const noexcept { return bytes / 2; }
};

inline FormatCheck parse_format(std::string_view text, Format& out) {
    out = Format{};
    const FormatCheck check = parse_format(text, [&](const Field& f) {
        out.fields.push_back(f);
        out.values += f.values();
    });
    out.bytes = check.bytes;
    return check;
}

// Calls f(offset, size, code) for each value, in format order; offsets are in bytes.
template <class F>
constexpr void for_each_value(std::span<const Field> fields, F&& f) {
    std::size_t offset = 0;
    for (const Field& field : fields) {
        for (std::size_t k = 0; k < field.values(); ++k) {
            f(offset, field.value_size(), field.code);
            offset += field.value_size();
        }
    }
}

// Under CDAB and DCBA, each value of two or four registers must start on a register.
constexpr FormatCheck check_order(std::span<const Field> fields, ByteOrder order) {
    FormatCheck result;
    if (!swaps_words(order)) return result;
    for_each_value(fields, [&](std::size_t offset, std::size_t size, char code) {
        if (result.ok() && code != 's' && size > 2 && offset % 2) result = {FormatFault::Misaligned, offset, code, 0};
    });
    return result;
}

// Calls f(image_index, register_index, high) for every byte of the format: byte
// image_index of the images sits in register register_index, in its high byte or its low.
template <class F>
constexpr void for_each_byte(std::span<const Field> fields, ByteOrder order, F&& f) {
    const bool words = swaps_words(order), bytes = swaps_bytes(order);
    for_each_value(fields, [&](std::size_t offset, std::size_t size, char code) {
        const bool reverse = words && code != 's' && size > 2;
        for (std::size_t t = 0; t < size; ++t) {
            // the byte's place in the message: the value's registers in reverse when reversed
            const std::size_t at = offset + (reverse ? size - 2 - (t & ~std::size_t{1}) + (t & 1) : t);
            f(offset + t, at / 2, (at % 2 == 0) != bytes);
        }
    });
}

// Registers to the images of the values, one after the other: image holds the format's
// bytes, words its registers. The format has passed check_order for this order.
constexpr void words_to_image(std::span<const Field> fields, ByteOrder order, const std::uint16_t* words,
                              std::uint8_t* image) noexcept {
    for_each_byte(fields, order, [&](std::size_t i, std::size_t w, bool high) {
        image[i] = static_cast<std::uint8_t>(high ? words[w] >> 8 : words[w] & 0xFF);
    });
}

// The inverse of words_to_image.
constexpr void image_to_words(std::span<const Field> fields, ByteOrder order, const std::uint8_t* image,
                              std::uint16_t* words, std::size_t registers) noexcept {
    for (std::size_t w = 0; w < registers; ++w) words[w] = 0;
    for_each_byte(fields, order, [&](std::size_t i, std::size_t w, bool high) {
        words[w] = static_cast<std::uint16_t>(words[w] | (high ? image[i] << 8 : image[i]));
    });
}

// Big-endian unsigned integer of size bytes (1 to 8), and its store.
constexpr std::uint64_t load_be(const std::uint8_t* in, std::size_t size) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = v << 8 | in[i];
    return v;
}
constexpr void store_be(std::uint8_t* out, std::size_t size, std::uint64_t v) noexcept {
    for (std::size_t i = size; i-- > 0; v >>= 8) out[i] = static_cast<std::uint8_t>(v & 0xFF);
}

// The two's-complement value of the low size bytes of v.
constexpr std::int64_t sign_extend(std::uint64_t v, std::size_t size) noexcept {
    const unsigned bits = static_cast<unsigned>(8 * size);
    if (bits >= 64) return static_cast<std::int64_t>(v);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>((v ^ sign) - sign);
}

namespace values_example {
// The table above, checked by the compiler.
constexpr bool float_in(ByteOrder order, std::uint16_t first, std::uint16_t second) {
    const Field field[] = {{'f', 1}};
    const std::uint8_t image[4] = {0x42, 0xF6, 0xE9, 0x79};
    std::uint16_t words[2] = {};
    image_to_words(field, order, image, words, 2);
    std::uint8_t back[4] = {};
    words_to_image(field, order, words, back);
    return words[0] == first && words[1] == second && load_be(back, 4) == 0x42F6E979;
}
static_assert(float_in(ByteOrder::ABCD, 0x42F6, 0xE979) && float_in(ByteOrder::CDAB, 0xE979, 0x42F6) &&
              float_in(ByteOrder::BADC, 0xF642, 0x79E9) && float_in(ByteOrder::DCBA, 0x79E9, 0xF642));
}  // namespace values_example

}  // namespace brel::modbus
