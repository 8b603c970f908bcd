// The stream of a ModbusUDPMaster's socket: one datagram per request and per answer.
//
// A request goes out as one datagram. An answer is one datagram: the first that arrives
// within the deadline carrying a whole MBAP frame (its declared length that of the
// datagram) with the request's transaction identifier and protocol is handed to the
// exchange whole; every other one (a late answer to an earlier request, a duplicate, a
// truncated or foreign datagram) is dropped and the wait goes on until the deadline. The
// socket is connected, so the system drops datagrams from any other address or port.
#pragma once

#include "modbus/tcp_socket_streams.hpp"

#include <cstddef>
#include <cstdint>

namespace brel {

class UdpStream final : public SocketMethodStream {
public:
    using SocketMethodStream::SocketMethodStream;
    StreamStatus send(const Outgoing& request) override;
    StreamStatus receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) override;

private:
    bool matches(const std::uint8_t* datagram, std::size_t size) const noexcept;

    int fd_ = -1;               // the socket's descriptor for waiting, -1 when it tells none
    std::uint8_t ids_[4] = {};  // the request's transaction and protocol identifiers
    bool have_ids_ = false;
};

}  // namespace brel
