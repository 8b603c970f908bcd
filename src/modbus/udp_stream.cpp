// The datagram stream of ModbusUDPMaster (udp_stream.hpp).
#include "modbus/udp_stream.hpp"

#include "modbus/frames.hpp"
#include "modbus/tcp_socket_streams.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace brel {
namespace {

// The largest datagram taken: bigger than any Modbus answer, so a longer one is seen
// whole and dropped rather than cut to an answer's size.
inline constexpr long kLargestDatagram = 1 << 16;
inline constexpr int kStaleRounds = 256;  // stale datagrams dropped before one request, at most

Ref receive_one(PyObject* recv) {
    Ref size = own(PyLong_FromLong(kLargestDatagram));
    return call(recv, size.get());
}

// What waiting for a datagram ended with.
enum class Wait { Ready, TimedOut, Signal };

// Waits until a datagram (or an error) waits on `fd`, at most `ms` (-1: without end), with
// the interpreter lock released.
Wait wait_readable(int fd, int ms) {
#if defined(_WIN32)
    (void)fd;
    (void)ms;
    return Wait::Ready;  // the socket's own time-out bounds its recv
#else
    int rc;
    pollfd p{fd, POLLIN, 0};
    Py_BEGIN_ALLOW_THREADS
    rc = ::poll(&p, 1, ms);
    Py_END_ALLOW_THREADS
    if (rc > 0) return Wait::Ready;
    if (rc == 0) return Wait::TimedOut;
    return errno == EINTR ? Wait::Signal : Wait::Ready;  // an error shows in the recv
#endif
}

}  // namespace

StreamStatus UdpStream::send(const Outgoing& request) {
    try {
        fd_ = PyObject_AsFileDescriptor(sock_);
        if (fd_ < 0) PyErr_Clear();
        recv_ = getattr(sock_, BREL_STR("recv"));
        // Datagrams left from earlier requests (late answers, duplicates) go first.
        for (int round = 0; fd_ >= 0 && round < kStaleRounds && wait_readable(fd_, 0) == Wait::Ready; ++round)
            receive_one(recv_.get());
        Ref sent = call_method(sock_, BREL_STR("send"), request.object);
        out_ = true;
        if (request.bytes && request.size >= 4) {
            std::memcpy(ids_, request.bytes, 4);
            have_ids_ = true;
        }
        bounded_ = answer_deadline(sock_, deadline_);
        return {};
    } catch (const PyError&) {
        return {StreamEnd::Raised};
    }
}

// A whole MBAP frame of this request: the declared length that of the datagram, the
// transaction and protocol identifiers the request's.
bool UdpStream::matches(const std::uint8_t* datagram, std::size_t size) const noexcept {
    if (size < modbus::kMbapSize + 1) return false;
    const std::size_t declared = (static_cast<std::size_t>(datagram[4]) << 8) | datagram[5];
    if (declared + 6 != size) return false;
    return !have_ids_ || std::memcmp(datagram, ids_, 4) == 0;
}

StreamStatus UdpStream::receive(modbus::AnswerBuffer& buffer, std::size_t, std::size_t) {
    // One datagram is the whole answer: asked again, the answer it gave was not enough.
    if (buffer.size() > 0) return {StreamEnd::TimedOut};
    try {
        for (;;) {
            // Stray datagrams keep coming in no longer than the deadline allows.
            if (bounded_ && std::chrono::steady_clock::now() >= deadline_) return {StreamEnd::TimedOut};
            if (fd_ >= 0) {
                int ms = -1;
                if (bounded_) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
                    ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
                }
                const Wait waited = wait_readable(fd_, ms);
                if (waited == Wait::TimedOut) return {StreamEnd::TimedOut};
                if (waited == Wait::Signal) {
                    if (PyErr_CheckSignals() < 0) return {StreamEnd::Raised};
                    continue;
                }
            }
            Ref datagram = receive_one(recv_.get());
            Py_buffer view;
            check(PyObject_GetBuffer(datagram.get(), &view, PyBUF_SIMPLE));
            const auto* bytes = static_cast<const std::uint8_t*>(view.buf);
            const auto size = static_cast<std::size_t>(view.len);
            const bool taken = matches(bytes, size);
            try {
                if (taken) buffer.append(bytes, size);
            } catch (...) {
                PyBuffer_Release(&view);
                throw;
            }
            PyBuffer_Release(&view);
            if (taken) return {};
        }
    } catch (const PyError&) {
        return {StreamEnd::Raised};
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {StreamEnd::Raised};
    }
}

}  // namespace brel
