// The stream a Modbus TCP exchange runs over: sends a request, receives answer bytes.
//
// A stream moves bytes and nothing else; the exchange (modbus/tcp_exchange.hpp) judges
// them. It drops what is left on the connection from earlier transactions before it sends
// a request, sends all of it, and receives within one deadline for the whole answer,
// counted from the end of the send. Its calls end with a status: the caller raises the
// errors (time-out, the peer's close, errno, or an exception the stream's own Python
// calls left set).
#pragma once

#include "modbus/tcp_exchange.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace brel {

enum class StreamEnd : std::uint8_t {
    Ok,
    TimedOut,  // the deadline passed
    Closed,    // the peer closed the connection
    Failed,    // a system call failed: the status holds errno
    Raised,    // a Python exception is set
};

struct StreamStatus {
    StreamEnd end = StreamEnd::Ok;
    int error = 0;  // Failed: errno
};

// A request as the stream gets it: its bytes when it is bytes (else null), and the object
// it was built as (a replaced builder may make another kind).
struct Outgoing {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    PyObject* object = nullptr;  // borrowed
};

class TcpStream {
public:
    // Drops input left from earlier transactions, then sends all of `request`. A stream may
    // do both within its first receive (the descriptor stream does, so that the interpreter
    // lock is released once for the drop, the send and the wait).
    virtual StreamStatus send(const Outgoing& request) = 0;
    // True once all of the request is out: a failure before that sent nothing for it.
    virtual bool request_out() const noexcept = 0;
    // Receives into `buffer` until it holds `need` bytes, asking for at most `room` in all
    // (which may take bytes beyond the answer: the caller sees them). May end Ok earlier,
    // once some bytes came: the caller asks again.
    virtual StreamStatus receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) = 0;

protected:
    ~TcpStream() = default;
};

}  // namespace brel
