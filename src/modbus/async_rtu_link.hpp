// What AsyncMaster's files share: a call, the link of a master and the calls on it.
#pragma once

#include "modbus/async_tcp_link.hpp"
#include "modbus/rtu_queue.hpp"

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace brel::artu {

// What the PDU of a sound answer becomes.
enum class Decode : std::uint8_t {
    Registers,  // codes 3 and 4 (and any code read as registers): the registers
    Coils,      // codes 1 and 2: `count` bits at most
    Confirm,    // writes: None once the echo is judged
    Replay,     // a face of Master's (rtu_data_model.cpp) replayed over the answers so far
};

// A face of Master's over any exchange.
using Face = Ref (*)(ops::Exchange& ex, Args& a);

// The next request a replayed face asks for: its frame and how its answer is judged.
struct Asked {
    std::vector<std::uint8_t> frame;
    std::optional<std::size_t> expected;
    std::optional<modbus::AnswerRule> rule;
    bool open = false;  // its length only the face can tell: judged once the line is quiet
};

// A call made and not yet settled: its future and what its result needs.
struct Call {
    Ref future;
    Ref station;  // as passed: the texts of its errors name it
    Ref count;    // Coils: as passed
    Decode decode = Decode::Registers;
    bool first = false;  // the result is the first value only
    // Registers: what the registers then become (rtu_typed.cpp's typed values).
    enum class Then : std::uint8_t { Registers, Signed16, Join32, Join32All } then = Then::Registers;
    Ref sign, endian;       // Join32, Join32All
    long retries_left = 0;  // the master's retries when the call was made
    Ref trace;              // the master's trace callable when the call was made, or empty
    Asked sent;             // its request as it was queued: sent again on a retry
    Ref master;             // the master lives while its call does
    // Replay: the face, its arguments (self first), the answers' PDUs so far (empty: none was due).
    Face face = nullptr;
    Ref arguments;
    std::vector<std::vector<std::uint8_t>> answers;
    // The last answer is a whole frame whose CRC failed (an open answer): the face reads its
    // length over it, as Master reads an answer piece by piece, before it is a CRC error.
    bool last_unjudged = false;
};

// The face of `c` over its answers so far: its result, or nullptr when it asks for one more
// request (then in `asked`).
Ref replay(Call& c, Asked& asked);

struct Link : atcp::Connection {
    Ref timer;  // the TimerHandle of next(t).at
    double timer_at = 0;
    modbus::RtuQueue queue;
    std::map<std::uint64_t, Call> calls;  // by the queue's id
    std::vector<std::uint8_t> heard;      // what came for the call on the line
    Ref last_sent, last_received;
    // A device path: the channel create_serial_instance opened, its pyserial port (the
    // "transport" the frames are written to while it is watched) and descriptor.
    Ref device, device_port;
    int fd = -1;
    Ref device_keywords;         // what create_serial_instance was given: a device that went away opens again with them
    bool reconnect = true;       // the master's reconnect at its last call
    bool no_timeout = false;     // timeout set to None: an answer is awaited without end
    bool device_gone = false;    // the device went away: it opens again on the next call when reconnect is on
    bool pyserial_url = false;   // socket://: the port Master would open with pyserial
    double broadcast_delay = 0;  // the quiet line after a broadcast, in seconds
};

// The recovery delay while none was set: the time-out, as on Master (0 for None or 0).
inline double delay_of_timeout(const Link& link) noexcept {
    return std::isfinite(link.timeout) && link.timeout > 0 ? link.timeout : 0;
}

// ---- async_rtu_link.cpp -------------------------------------------------------------------------

// The link of a master (or of its protocol object); RuntimeError before __init__.
Link& link_of(PyObject* self);
// A new link, held by self and by its new protocol object.
Link& new_link(PyObject* self);
// A future of the running loop, which the link keeps while it is connected.
Ref new_future(Link& link);
// Opens the device again with the keywords it was first opened with (async_rtu_master.cpp):
// its channel, port and descriptor; raises what opening it raises.
void open_device(Link& link);
// Opens the line: a device's descriptor watched by the loop, or the connection to a serial
// server opened; nothing when it is open or opening.
void open_line(Link& link);
// The line is closed (close()): a device's descriptor is no longer watched, its channel closed.
void close_line(Link& link, PyObject* future);
// Every call not on the line (and every connect()) fails with the pending exception.
void fail_waiting(Link& link);
// Queues the request `frame` (a byte array or bytes: station first, CRC last) with what
// its answer must be, sends what may go; the call's future.
Ref submit(PyObject* self, PyObject* frame, Call call, std::optional<std::size_t> expected,
           std::optional<modbus::AnswerRule> rule, bool open = false);

// The quiet time after the last byte of an answer of open length on a line without a silent
// interval of its own (a serial server over TCP, whose pieces of one frame come close together).
inline constexpr double kOpenQuiet = 0.02;

}  // namespace brel::artu
