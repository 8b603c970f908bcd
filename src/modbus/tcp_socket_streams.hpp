// The two streams of a ModbusTCPMaster's socket: the descriptor road and the socket object road.
//
// A socket made by socket.create_connection is exactly socket.socket in time-out mode: for
// it the transaction runs as system calls on its descriptor (DescriptorStream). Any other
// socket object (a subclass, a replacement through _tcp_connect, socket.socket with its
// send, sendall or recv replaced on the class) is driven through its own methods
// (SocketObjectStream), with the same errors and the same deadline.
#pragma once

#include "modbus/tcp_stream.hpp"

#include <chrono>
#include <cstddef>

namespace brel {

// The deadline of an answer, counted from now: the socket's time-out (its `timeout`
// attribute) when that is a positive number of seconds; false (no deadline) otherwise.
bool answer_deadline(PyObject* sock, std::chrono::steady_clock::time_point& deadline);

// What a stream driven through the socket object's own methods keeps (SocketObjectStream here,
// UdpStream for a datagram socket): the socket, its recv, whether the request is out, and the
// answer's deadline.
class SocketMethodStream : public TcpStream {
public:
    explicit SocketMethodStream(PyObject* sock) noexcept : sock_(sock) {}
    bool request_out() const noexcept final { return out_; }

protected:
    ~SocketMethodStream() = default;

    PyObject* sock_;  // borrowed: the caller holds it
    Ref recv_;
    bool out_ = false;
    bool bounded_ = false;  // deadline_ is set: the socket has a time-out
    std::chrono::steady_clock::time_point deadline_{};
};

// Through the socket object's send (or its replaced sendall) and recv, one receive call per
// piece; stale input is dropped through recv when the socket tells its descriptor.
class SocketObjectStream final : public SocketMethodStream {
public:
    using SocketMethodStream::SocketMethodStream;
    StreamStatus send(const Outgoing& request) override;
    StreamStatus receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) override;

private:
    void wait_for_more() const;

    bool first_ = true;  // no receive yet for this answer
};

#if !defined(_WIN32)
// System calls on the descriptor of exactly socket.socket, the way the socket object runs
// them itself (poll with the interpreter lock released, then the call), with the lock
// released once per receive for the drop of stale input, the send and the wait.
class DescriptorStream final : public TcpStream {
public:
    // True when `sock` can be driven directly: exactly socket.socket with its own send,
    // sendall and recv, open, time-out > 0.
    bool open(PyObject* sock);
    StreamStatus send(const Outgoing& request) override;
    bool request_out() const noexcept override { return sent_ >= request_size_; }
    StreamStatus receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) override;

private:
    int wait(short events, int ms) const noexcept;
    int run(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) noexcept;

    int fd_ = -1;
    int timeout_ms_ = 0;
    // The request still to go out, and whether stale input is still to be dropped before it:
    // done by the first receive, in the same release of the interpreter lock.
    const std::uint8_t* request_ = nullptr;
    std::size_t request_size_ = 0;
    std::size_t sent_ = 0;
    bool drain_ = false;
    // The whole answer must arrive within the time-out, counted from the end of the send, so
    // that a slave trickling its bytes cannot keep the caller for longer.
    bool deadline_set_ = false;
    std::chrono::steady_clock::time_point deadline_{};
};
#endif

}  // namespace brel
