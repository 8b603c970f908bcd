// The Modbus application data unit, transport-neutral: what each function code's
// request holds and how its answer must look to belong to that request. Plain C++
// without the interpreter; the RTU frame (station first, CRC last) and the TCP frame
// (MBAP header first) wrap the same PDU, so Master and ModbusTCPMaster share it.
//
// Adding a function code:
//   1. its request layout and answer check here (a builder into a caller's buffer and
//      an AnswerRule), with a static_assert or two on a known frame;
//   2. one operation in operations.cpp over the masters' Exchange;
//   3. per class, a face that checks the arguments and calls the operation, a row in its
//      member table (rtu_master.cpp, tcp_master.cpp) and in FixMaster's forwarding table
//      (fixed_station_master.cpp);
//   4. the stub (stubs/brel_modbus.pyi), a guide example (docs/guide.md);
//   5. tests on both transports and against a real slave, and a fuzz seed.
#pragma once

#include "modbus/crc16.hpp"

#include <cstddef>
#include <cstdint>

namespace brel::modbus {

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

// ---- function codes and limits ------------------------------------------------------

enum FunctionCode : std::uint8_t {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteSingleRegister = 6,
    kReadExceptionStatus = 7,
    kDiagnostics = 8,
    kGetCommEventCounter = 11,
    kGetCommEventLog = 12,
    kWriteMultipleCoils = 15,
    kWriteMultipleRegisters = 16,
    kReportServerId = 17,
    kReadFileRecord = 20,
    kWriteFileRecord = 21,
    kMaskWriteRegister = 22,
    kReadWriteRegisters = 23,
    kReadFifoQueue = 24,
    kEncapsulatedInterface = 43,
};
inline constexpr std::uint8_t kMeiDeviceIdentification = 0x0E;  // the MEI type of code 43

// The public function codes that change what a device holds: a read member never sends one.
constexpr bool changes_device(long long code) noexcept {
    switch (code) {
        case kWriteSingleCoil:
        case kWriteSingleRegister:
        case kWriteMultipleCoils:
        case kWriteMultipleRegisters:
        case kWriteFileRecord:
        case kMaskWriteRegister:
        case kReadWriteRegisters:
            return true;
        default:
            return false;
    }
}

inline constexpr std::uint8_t kExceptionFlag = 0x80;
inline constexpr std::uint16_t kMaxAddress = 0xFFFF;
inline constexpr std::size_t kMaxReadRegisters = 125;
inline constexpr std::size_t kMaxWriteRegisters = 123;
inline constexpr std::size_t kMaxReadBits = 2000;
inline constexpr std::size_t kMaxWriteCoils = 1968;
inline constexpr std::size_t kMaxReadWriteRead = 125;
inline constexpr std::size_t kMaxReadWriteWrite = 121;
inline constexpr std::size_t kMaxPdu = 253;
inline constexpr std::uint16_t kDiagReturnQueryData = 0x0000;  // code 8: the answer echoes the data
inline constexpr std::uint16_t kDiagForceListenOnly = 0x0004;  // code 8: the device does not answer
inline constexpr std::uint8_t kFileReferenceType = 6;          // codes 20 and 21: the only reference type
inline constexpr std::uint16_t kMaxFileRecord = 9999;          // codes 20 and 21: record numbers 0..9999
inline constexpr std::size_t kMaxFileReadBytes = 0xF5;         // code 20: byte count of request and answer
inline constexpr std::size_t kMaxFileWriteBytes = 0xFB;        // code 21: byte count of the request
inline constexpr std::size_t kMaxFifoCount = 31;               // code 24: values in one queue
inline constexpr std::size_t kMaxEventLog = 64;                // code 12: event bytes in one answer

// ---- requests: the PDU, function code first ---------------------------------------------

// Codes 1 to 4 (address, count) and 6 (address, value): the code and two 16-bit fields.
// 5 bytes.
constexpr std::size_t pdu_two_fields(std::uint8_t* out, std::uint8_t code, std::uint16_t first,
                                     std::uint16_t second) noexcept {
    out[0] = code;
    put16(out + 1, first);
    put16(out + 3, second);
    return 5;
}

// Code 5: address, then FF 00 for on, 00 00 for off. 5 bytes.
constexpr std::size_t pdu_write_coil(std::uint8_t* out, std::uint8_t code, std::uint16_t address, bool on) noexcept {
    return pdu_two_fields(out, code, address, on ? 0xFF00 : 0x0000);
}

// Code 16, its head: address, quantity, byte count; the values follow at out + 6.
constexpr std::size_t pdu_write_registers_head(std::uint8_t* out, std::uint8_t code, std::uint16_t address,
                                               std::size_t count) noexcept {
    out[0] = code;
    put16(out + 1, address);
    put16(out + 3, static_cast<std::uint16_t>(count));
    out[5] = static_cast<std::uint8_t>(2 * count);
    return 6;
}

// Code 16 whole: out holds 6 + 2 * count bytes, count <= 127 (the byte count is one byte).
constexpr std::size_t pdu_write_registers(std::uint8_t* out, std::uint8_t code, std::uint16_t address,
                                          const std::uint16_t* values, std::size_t count) noexcept {
    pdu_write_registers_head(out, code, address, count);
    for (std::size_t i = 0; i < count; ++i) put16(out + 6 + 2 * i, values[i]);
    return 6 + 2 * count;
}

// Code 15: address, quantity, byte count, the states packed 8 to a byte (first coil in bit 0).
// out holds 6 + (count + 7) / 8 bytes; count <= kMaxWriteCoils.
template <class States>
constexpr std::size_t pdu_write_coils(std::uint8_t* out, std::uint16_t address, const States& on,
                                      std::size_t count) noexcept {
    const std::size_t bytes = (count + 7) / 8;
    out[0] = kWriteMultipleCoils;
    put16(out + 1, address);
    put16(out + 3, static_cast<std::uint16_t>(count));
    out[5] = static_cast<std::uint8_t>(bytes);
    for (std::size_t i = 0; i < bytes; ++i) out[6 + i] = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (on[i]) out[6 + i / 8] = static_cast<std::uint8_t>(out[6 + i / 8] | (1u << (i % 8)));
    return 6 + bytes;
}

// Code 22: address, AND mask, OR mask. 7 bytes.
constexpr std::size_t pdu_mask_write_register(std::uint8_t* out, std::uint16_t address, std::uint16_t and_mask,
                                              std::uint16_t or_mask) noexcept {
    out[0] = kMaskWriteRegister;
    put16(out + 1, address);
    put16(out + 3, and_mask);
    put16(out + 5, or_mask);
    return 7;
}

// Code 23: read address and quantity, write address, quantity, byte count and values.
// out holds 10 + 2 * count bytes; count <= kMaxReadWriteWrite.
constexpr std::size_t pdu_read_write_registers(std::uint8_t* out, std::uint16_t read_address, std::uint16_t read_count,
                                               std::uint16_t write_address, const std::uint16_t* values,
                                               std::size_t count) noexcept {
    out[0] = kReadWriteRegisters;
    put16(out + 1, read_address);
    put16(out + 3, read_count);
    put16(out + 5, write_address);
    put16(out + 7, static_cast<std::uint16_t>(count));
    out[9] = static_cast<std::uint8_t>(2 * count);
    for (std::size_t i = 0; i < count; ++i) put16(out + 10 + 2 * i, values[i]);
    return 10 + 2 * count;
}

// Code 43, MEI type 14: read device identification code (1 basic, 2 regular, 3 extended,
// 4 one object) and the object to start from. 4 bytes.
constexpr std::size_t pdu_read_device_identification(std::uint8_t* out, std::uint8_t read_code,
                                                     std::uint8_t object_id) noexcept {
    out[0] = kEncapsulatedInterface;
    out[1] = kMeiDeviceIdentification;
    out[2] = read_code;
    out[3] = object_id;
    return 4;
}

// Codes 7, 11, 12 and 17: the function code alone. 1 byte.
constexpr std::size_t pdu_code_only(std::uint8_t* out, std::uint8_t code) noexcept {
    out[0] = code;
    return 1;
}

// Code 8: sub-function and data; no data sends 00 00, the data field of every standard
// sub-function. out holds 3 + max(n, 2) bytes; n <= kMaxPdu - 3.
constexpr std::size_t pdu_diagnostics(std::uint8_t* out, std::uint16_t sub_function, const std::uint8_t* data,
                                      std::size_t n) noexcept {
    out[0] = kDiagnostics;
    put16(out + 1, sub_function);
    if (n == 0) {
        put16(out + 3, 0);
        return 5;
    }
    for (std::size_t i = 0; i < n; ++i) out[3 + i] = data[i];
    return 3 + n;
}

// Code 24: the FIFO pointer address. 3 bytes.
constexpr std::size_t pdu_read_fifo_queue(std::uint8_t* out, std::uint16_t address) noexcept {
    out[0] = kReadFifoQueue;
    put16(out + 1, address);
    return 3;
}

// One sub-request of codes 20 and 21: file, record and record length in registers
// (for code 21, `words` holds the length's values).
struct FileRecord {
    std::uint16_t file = 0;
    std::uint16_t record = 0;
    std::uint16_t length = 0;
    const std::uint16_t* words = nullptr;
};

// Code 20: byte count, then 7 bytes per sub-request (reference type, file, record,
// length). out holds 2 + 7 * n bytes; 7 * n <= kMaxFileReadBytes.
constexpr std::size_t pdu_read_file_record(std::uint8_t* out, const FileRecord* records, std::size_t n) noexcept {
    out[0] = kReadFileRecord;
    out[1] = static_cast<std::uint8_t>(7 * n);
    std::uint8_t* at = out + 2;
    for (std::size_t k = 0; k < n; ++k, at += 7) {
        at[0] = kFileReferenceType;
        put16(at + 1, records[k].file);
        put16(at + 3, records[k].record);
        put16(at + 5, records[k].length);
    }
    return 2 + 7 * n;
}

// The request data of code 21: 7 bytes and the values for each sub-request.
constexpr std::size_t file_write_bytes(const FileRecord* records, std::size_t n) noexcept {
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < n; ++k) bytes += 7 + 2 * static_cast<std::size_t>(records[k].length);
    return bytes;
}

// Code 21: byte count, then per sub-request the 7 bytes of code 20 and the values.
// out holds 2 + file_write_bytes(records, n) bytes, which is at most kMaxFileWriteBytes.
constexpr std::size_t pdu_write_file_record(std::uint8_t* out, const FileRecord* records, std::size_t n) noexcept {
    out[0] = kWriteFileRecord;
    out[1] = static_cast<std::uint8_t>(file_write_bytes(records, n));
    std::uint8_t* at = out + 2;
    for (std::size_t k = 0; k < n; ++k) {
        at[0] = kFileReferenceType;
        put16(at + 1, records[k].file);
        put16(at + 3, records[k].record);
        put16(at + 5, records[k].length);
        for (std::size_t i = 0; i < records[k].length; ++i) put16(at + 7 + 2 * i, records[k].words[i]);
        at += 7 + 2 * static_cast<std::size_t>(records[k].length);
    }
    return static_cast<std::size_t>(at - out);
}

// An RTU frame of a PDU: station, the PDU, the CRC. out holds n + 3 bytes.
constexpr std::size_t rtu_frame(std::uint8_t* out, std::uint8_t station, const std::uint8_t* pdu,
                                std::size_t n) noexcept {
    out[0] = station;
    for (std::size_t i = 0; i < n; ++i) out[1 + i] = pdu[i];
    return close_rtu_frame(out, 1 + n);
}

// ---- answers: do they belong to the request? ------------------------------------------------

// How the answer to a request must look.
enum class AnswerRule : std::uint8_t {
    RegisterBytes,   // byte count, then 2 bytes per register of the request's count (3, 4, 23)
    BitBytes,        // byte count, then one byte per 8 bits of the request's count (1, 2)
    Echo,            // the request's address and value or quantity repeated (5, 6, 15, 16)
    EchoMasks,       // address and both masks repeated (22)
    Identification,  // MEI type and read device identification code repeated (43 / 14)
};

// The first bytes of a request that its answer is checked against: for RTU the station
// and then the PDU, for TCP the unit identifier and then the PDU.
struct RequestHead {
    std::uint8_t bytes[8] = {};
    std::size_t size = 0;

    constexpr std::uint8_t station() const noexcept { return bytes[0]; }
    constexpr std::uint8_t code() const noexcept { return bytes[1]; }
    constexpr std::uint16_t field(std::size_t i) const noexcept { return get16(bytes + 2 + 2 * i); }
};

constexpr RequestHead request_head(const std::uint8_t* frame, std::size_t size) noexcept {
    RequestHead head;
    head.size = size < sizeof head.bytes ? size : sizeof head.bytes;
    for (std::size_t i = 0; i < head.size; ++i) head.bytes[i] = frame[i];
    return head;
}

// The byte count that a read answer must announce for `count` registers or bits.
constexpr std::size_t expected_byte_count(AnswerRule rule, std::uint16_t count) noexcept {
    return rule == AnswerRule::BitBytes ? (static_cast<std::size_t>(count) + 7) / 8
                                        : 2 * static_cast<std::size_t>(count);
}

// An exception answer to `code`: the code with its high bit set, then the exception code.
constexpr bool is_exception_to(std::uint8_t code, const std::uint8_t* pdu, std::size_t size) noexcept {
    return size == 2 && pdu[0] == (code | kExceptionFlag);
}

// The answer's PDU (function code first, no station, no CRC) against the request's head
// (station first): true when it answers that request, normally or with an exception.
constexpr bool pdu_answer_matches(const RequestHead& request, AnswerRule rule, const std::uint8_t* pdu,
                                  std::size_t size) noexcept {
    if (size < 2 || request.size < 2) return false;
    if (is_exception_to(request.code(), pdu, size)) return true;
    if (pdu[0] != request.code()) return false;
    const std::uint8_t* req = request.bytes + 1;  // the request's PDU
    switch (rule) {
        case AnswerRule::RegisterBytes:
        case AnswerRule::BitBytes:
            return request.size >= 6 && pdu[1] == expected_byte_count(rule, request.field(1)) &&
                   size == 2 + static_cast<std::size_t>(pdu[1]);
        case AnswerRule::Echo:
            return request.size >= 6 && size == 5 && get16(pdu + 1) == request.field(0) &&
                   get16(pdu + 3) == request.field(1);
        case AnswerRule::EchoMasks:
            return request.size >= 8 && size == 7 && get16(pdu + 1) == request.field(0) &&
                   get16(pdu + 3) == request.field(1) && get16(pdu + 5) == get16(req + 5);
        case AnswerRule::Identification:
            return request.size >= 4 && size >= 7 && pdu[1] == req[1] && pdu[2] == req[2];
    }
    return false;
}

// An RTU answer, station first and CRC last (already checked): true when it answers `request`.
constexpr bool rtu_answer_matches(const RequestHead& request, AnswerRule rule, const std::uint8_t* answer,
                                  std::size_t size) noexcept {
    return size >= 5 && request.size >= 2 && answer[0] == request.station() &&
           pdu_answer_matches(request, rule, answer + 1, size - 3);
}

// ---- answers of any length: how many bytes belong to the answer ------------------------------

// How the length of an answer PDU is found from its first bytes.
enum class SizeRule : std::uint8_t {
    Fixed,           // `fixed` bytes, function code included
    CountByte,       // the code, a byte count, that many bytes (1 to 4, 12, 17, 20, 23)
    CountWord,       // the code, a 16-bit byte count, that many bytes (24)
    Identification,  // code 43/14's head and its objects
    Open,            // not known from the bytes: the transport's frame tells (MBAP length)
    Nothing,         // no answer comes (code 8 force listen only mode)
};

struct AnswerSize {
    SizeRule rule = SizeRule::Open;
    std::size_t fixed = 0;
};

// How many more bytes the answer PDU needs beyond its first `known` (function code first);
// 0 when the answer is whole (or the rule does not say).
constexpr std::size_t answer_more(AnswerSize size, const std::uint8_t* pdu, std::size_t known) noexcept {
    auto upto = [known](std::size_t total) { return total > known ? total - known : 0; };
    switch (size.rule) {
        case SizeRule::Fixed:
            return upto(size.fixed);
        case SizeRule::CountByte:
            return known < 2 ? upto(2) : upto(2 + static_cast<std::size_t>(pdu[1]));
        case SizeRule::CountWord:
            return known < 3 ? upto(3) : upto(3 + static_cast<std::size_t>(get16(pdu + 1)));
        case SizeRule::Identification: {
            if (known < 7) return upto(7);
            std::size_t at = 7;
            for (std::size_t k = 0; k < pdu[6]; ++k) {
                if (known < at + 2) return upto(at + 2);
                at += 2 + static_cast<std::size_t>(pdu[at + 1]);
            }
            return upto(at);
        }
        case SizeRule::Open:
        case SizeRule::Nothing:
            return 0;
    }
    return 0;
}

// The size rule of the answer to a request PDU of a public function code; Open for a
// code whose answer length the standard leaves to the device.
constexpr AnswerSize answer_size_of(const std::uint8_t* request, std::size_t size) noexcept {
    switch (request[0]) {
        case kReadCoils:
        case kReadDiscreteInputs:
        case kReadHoldingRegisters:
        case kReadInputRegisters:
        case kGetCommEventLog:
        case kReportServerId:
        case kReadFileRecord:
        case kReadWriteRegisters:
            return {SizeRule::CountByte};
        case kWriteSingleCoil:
        case kWriteSingleRegister:
        case kWriteMultipleCoils:
        case kWriteMultipleRegisters:
        case kGetCommEventCounter:
            return {SizeRule::Fixed, 5};
        case kReadExceptionStatus:
            return {SizeRule::Fixed, 2};
        case kMaskWriteRegister:
            return {SizeRule::Fixed, 7};
        case kDiagnostics:
            if (size >= 3 && get16(request + 1) == kDiagForceListenOnly) return {SizeRule::Nothing};
            return {SizeRule::Fixed, size};
        case kWriteFileRecord:
            return {SizeRule::Fixed, size};
        case kReadFifoQueue:
            return {SizeRule::CountWord};
        case kEncapsulatedInterface:
            if (size >= 2 && request[1] == kMeiDeviceIdentification) return {SizeRule::Identification};
            return {};
        default:
            return {};
    }
}

// Code 20's answer against its request: a byte count, then for each sub-request in order
// its length byte (1 + 2 * record length), reference type 6 and the registers.
constexpr bool file_record_answer_ok(const std::uint8_t* pdu, std::size_t size, const FileRecord* records,
                                     std::size_t n) noexcept {
    if (size < 2 || size != 2 + static_cast<std::size_t>(pdu[1])) return false;
    std::size_t at = 2;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t length = 1 + 2 * static_cast<std::size_t>(records[k].length);
        if (size - at < 1 + length || pdu[at] != length || pdu[at + 1] != kFileReferenceType) return false;
        at += 1 + length;
    }
    return at == size;
}

// Code 24's answer: a byte count of 2 + 2 * the FIFO count, the count at most 31.
constexpr bool fifo_answer_ok(const std::uint8_t* pdu, std::size_t size) noexcept {
    if (size < 5) return false;
    const std::size_t count = get16(pdu + 3);
    return count <= kMaxFifoCount && get16(pdu + 1) == 2 + 2 * count && size == 5 + 2 * count;
}

// Code 12's answer: a byte count of 6 + the events, status, event count, message count,
// at most 64 event bytes.
constexpr bool event_log_answer_ok(const std::uint8_t* pdu, std::size_t size) noexcept {
    return size >= 8 && pdu[1] >= 6 && pdu[1] <= 6 + kMaxEventLog && size == 2 + static_cast<std::size_t>(pdu[1]);
}

// ---- read device identification -----------------------------------------------------------

// The head of one answer of code 43 / 14: 2B 0E, read code, conformity, more follows,
// next object id, number of objects; the objects (id, length, value) follow.
struct IdentificationPage {
    std::uint8_t conformity = 0;
    bool more_follows = false;
    std::uint8_t next_object = 0;
    std::uint8_t objects = 0;
};
inline constexpr std::size_t kIdentificationHead = 7;

// Walks the objects of an answer PDU, calling on_object(id, value, length) for each.
// False when the PDU is too short for its head, an object runs past the end, or bytes
// are left over after the announced objects.
template <class OnObject>
constexpr bool parse_identification(const std::uint8_t* pdu, std::size_t size, IdentificationPage& page,
                                    OnObject&& on_object) {
    if (size < kIdentificationHead) return false;
    page.conformity = pdu[3];
    page.more_follows = pdu[4] == 0xFF;
    page.next_object = pdu[5];
    page.objects = pdu[6];
    std::size_t at = kIdentificationHead;
    for (std::size_t k = 0; k < page.objects; ++k) {
        if (size - at < 2 || size - at - 2 < pdu[at + 1]) return false;
        on_object(pdu[at], pdu + at + 2, static_cast<std::size_t>(pdu[at + 1]));
        at += 2 + static_cast<std::size_t>(pdu[at + 1]);
    }
    return at == size;
}

namespace detail {
inline constexpr std::uint8_t read_request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02};
inline constexpr std::uint8_t read_answer[] = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};
inline constexpr std::uint8_t wrong_station[] = {0x02, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};
inline constexpr std::uint8_t exception_answer[] = {0x01, 0x83, 0x02, 0xC0, 0xF1};
inline constexpr std::uint8_t mask_request[] = {0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25};
inline constexpr std::uint8_t mask_answer[] = {0x01, 0x16, 0x00, 0x04, 0x00, 0xF2, 0x00, 0x25, 0x66, 0xE2};
constexpr bool coils_example() {
    // The standard's example: coils 20..29 set to CD 01.
    constexpr bool on[] = {1, 0, 1, 1, 0, 0, 1, 1, 1, 0};
    std::uint8_t out[8] = {};
    const std::size_t n = pdu_write_coils(out, 19, on, 10);
    return n == 8 && out[0] == 0x0F && out[3] == 0 && out[4] == 10 && out[5] == 2 && out[6] == 0xCD && out[7] == 0x01;
}
// The standard's own examples of codes 8, 12, 20, 21 and 24.
inline constexpr std::uint8_t diagnostics_request[] = {0x08, 0x00, 0x00, 0xA5, 0x37};
inline constexpr std::uint8_t event_log_answer[] = {0x0C, 0x08, 0x00, 0x00, 0x01, 0x08, 0x01, 0x21, 0x20, 0x00};
inline constexpr std::uint8_t file_answer[] = {0x14, 0x0C, 0x05, 0x06, 0x0D, 0xFE, 0x00,
                                               0x20, 0x05, 0x06, 0x33, 0xCD, 0x00, 0x40};
inline constexpr std::uint8_t fifo_answer[] = {0x18, 0x00, 0x06, 0x00, 0x02, 0x01, 0xB8, 0x12, 0x84};
constexpr bool file_read_example() {
    constexpr FileRecord records[] = {{4, 1, 2}, {3, 9, 2}};
    constexpr std::uint8_t expected[] = {0x14, 0x0E, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00,
                                         0x02, 0x06, 0x00, 0x03, 0x00, 0x09, 0x00, 0x02};
    std::uint8_t out[16] = {};
    if (pdu_read_file_record(out, records, 2) != 16) return false;
    for (std::size_t i = 0; i < 16; ++i)
        if (out[i] != expected[i]) return false;
    return file_record_answer_ok(file_answer, sizeof file_answer, records, 2) &&
           !file_record_answer_ok(file_answer, sizeof file_answer, records, 1);
}
constexpr bool file_write_example() {
    constexpr std::uint16_t words[] = {0x06AF, 0x04BE, 0x100D};
    const FileRecord records[] = {{4, 7, 3, words}};
    constexpr std::uint8_t expected[] = {0x15, 0x0D, 0x06, 0x00, 0x04, 0x00, 0x07, 0x00,
                                         0x03, 0x06, 0xAF, 0x04, 0xBE, 0x10, 0x0D};
    std::uint8_t out[15] = {};
    if (pdu_write_file_record(out, records, 1) != 15) return false;
    for (std::size_t i = 0; i < 15; ++i)
        if (out[i] != expected[i]) return false;
    return true;
}
// How many bytes a rule reads in all, from the first byte on, for a whole answer.
constexpr std::size_t walked(AnswerSize size, const std::uint8_t* pdu) {
    std::size_t known = 1;
    while (std::size_t more = answer_more(size, pdu, known)) known += more;
    return known;
}
}  // namespace detail
constexpr auto head_of(const std::uint8_t (&frame)[6]) { return request_head(frame, 6); }
static_assert(rtu_answer_matches(head_of(detail::read_request), AnswerRule::RegisterBytes, detail::read_answer, 9));
static_assert(!rtu_answer_matches(head_of(detail::read_request), AnswerRule::RegisterBytes, detail::wrong_station, 9));
static_assert(!rtu_answer_matches(head_of(detail::read_request), AnswerRule::BitBytes, detail::read_answer, 9));
static_assert(rtu_answer_matches(head_of(detail::read_request), AnswerRule::RegisterBytes, detail::exception_answer,
                                 5));
static_assert(rtu_answer_matches(request_head(detail::mask_request, 8), AnswerRule::EchoMasks, detail::mask_answer,
                                 10));
static_assert(detail::coils_example());
static_assert(detail::file_read_example());
static_assert(detail::file_write_example());
static_assert(detail::walked(answer_size_of(detail::file_answer, 16), detail::file_answer) == 14);
static_assert(detail::walked(answer_size_of(detail::event_log_answer, 1), detail::event_log_answer) == 10);
static_assert(detail::walked(answer_size_of(detail::fifo_answer, 3), detail::fifo_answer) == 9);
static_assert(detail::walked(answer_size_of(detail::diagnostics_request, 5), detail::diagnostics_request) == 5);
static_assert(event_log_answer_ok(detail::event_log_answer, 10));
static_assert(fifo_answer_ok(detail::fifo_answer, 9) && !fifo_answer_ok(detail::fifo_answer, 8));

}  // namespace brel::modbus
