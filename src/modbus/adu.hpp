// The Modbus application data unit, transport-neutral: what each function code's
// request holds and how its answer must look to belong to that request. Plain C++
// without the interpreter; the RTU frame (station first, CRC last) and the TCP frame
// (MBAP header first) wrap the same PDU, so Master and ModbusTCPMaster share it.
//
// Adding a function code:
//   1. its request layout and answer check here (a builder into a caller's buffer and
//      an AnswerRule), with a static_assert or two on a known frame;
//   2. a row in each master's member table (rtu_master.cpp, tcp_master.cpp) and in
//      FixMaster's forwarding table (fixed_station_master.cpp);
//   3. the stub (stubs/brel_modbus.pyi), a guide example (docs/guide.md);
//   4. tests on both transports and against a real slave, and a fuzz seed.
#pragma once

#include "modbus/frames.hpp"

#include <cstddef>
#include <cstdint>

namespace brel::modbus {

inline constexpr std::uint8_t kExceptionFlag = 0x80;
inline constexpr std::uint16_t kMaxAddress = 0xFFFF;

// The head that every request of codes 1 to 6, 15 and 16 starts with: the station (or
// unit identifier), the function code and two 16-bit fields (address and count or value).
struct RequestHead {
    std::uint8_t station = 0;
    std::uint8_t code = 0;
    std::uint16_t first = 0;
    std::uint16_t second = 0;
};

// From the first six bytes of an RTU request (or the unit and PDU of a TCP one).
constexpr RequestHead request_head(const std::uint8_t* frame) noexcept {
    return {frame[0], frame[1], get16(frame + 2), get16(frame + 4)};
}

// How the answer to a request must look.
enum class AnswerRule : std::uint8_t {
    RegisterBytes,  // byte count, then 2 bytes per requested register (codes 3, 4, 23)
    BitBytes,       // byte count, then one byte per 8 requested bits (codes 1, 2)
    Echo,           // the request's two fields repeated (codes 5, 6, 15, 16)
};

// The byte count that a read answer must announce.
constexpr std::size_t expected_byte_count(AnswerRule rule, std::uint16_t count) noexcept {
    return rule == AnswerRule::BitBytes ? (static_cast<std::size_t>(count) + 7) / 8
                                        : 2 * static_cast<std::size_t>(count);
}

// An RTU answer, station first and CRC already checked, of at least 5 bytes (a read's
// head or an exception) or 8 (a write's echo): true when it answers `request`.
constexpr bool rtu_answer_matches(const RequestHead& request, AnswerRule rule, const std::uint8_t* answer,
                                  std::size_t size) noexcept {
    if (size < 5 || answer[0] != request.station) return false;
    if (answer[1] == (request.code | kExceptionFlag)) return size == 5;
    if (answer[1] != request.code) return false;
    if (rule == AnswerRule::Echo)
        return size == 8 && get16(answer + 2) == request.first && get16(answer + 4) == request.second;
    return answer[2] == expected_byte_count(rule, request.second) && size == 5 + static_cast<std::size_t>(answer[2]);
}

namespace detail {
inline constexpr std::uint8_t read_request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02};
inline constexpr std::uint8_t read_answer[] = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};
inline constexpr std::uint8_t wrong_station[] = {0x02, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};
inline constexpr std::uint8_t exception_answer[] = {0x01, 0x83, 0x02, 0xC0, 0xF1};
}  // namespace detail
static_assert(rtu_answer_matches(request_head(detail::read_request), AnswerRule::RegisterBytes, detail::read_answer,
                                 9));
static_assert(!rtu_answer_matches(request_head(detail::read_request), AnswerRule::RegisterBytes, detail::wrong_station,
                                  9));
static_assert(!rtu_answer_matches(request_head(detail::read_request), AnswerRule::BitBytes, detail::read_answer, 9));
static_assert(rtu_answer_matches(request_head(detail::read_request), AnswerRule::RegisterBytes,
                                 detail::exception_answer, 5));

}  // namespace brel::modbus
