// Byte sequences of the RTU checks: a frame built with its CRC, and one whose CRC is spoiled.
#pragma once

#include "modbus/frames.hpp"

#include <cstdint>
#include <vector>

namespace rtu_bytes {

using Bytes = std::vector<std::uint8_t>;

// Station, PDU, CRC.
inline Bytes frame(std::uint8_t station, const Bytes& pdu) {
    Bytes out(pdu.size() + 3);
    out.resize(brel::modbus::rtu_frame(out.data(), station, pdu.data(), pdu.size()));
    return out;
}

inline Bytes with_bad_crc(Bytes b) {
    b.back() ^= 0x01;
    return b;
}

}  // namespace rtu_bytes
