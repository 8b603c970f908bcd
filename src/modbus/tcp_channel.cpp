// TcpChannel: RTU frames over a TCP connection to a serial server, the channel of an rtu+tcp:// port.
//
// brel_linkkit's create_serial_instance returns one for a port "rtu+tcp://host:port", so a
// Master (or FixMaster) carries its RTU frames over TCP without pyserial: the master's
// steps, checks and record are those of a serial line, only the channel differs. It has
// what the master uses of a channel (read, write, in_waiting, is_open, close, timeout) with
// a serial port's meaning: read(size) returns up to `size` bytes, fewer when the time-out
// runs out; write sends the whole frame at once. There is no silent interval: TCP keeps
// frames apart by itself, and the serial server times the line behind it. After a
// broadcast (a frame to station 0) the next frame waits `broadcast_delay` seconds, as on a
// serial line: the slaves behind the server are carrying it out.
//
// The connection lives in the channel's native state (a Line): the socket object made by
// socket.create_connection, kept non-blocking and driven with system calls on its
// descriptor (poll, then send or recv, with the interpreter lock released), and the bytes
// received but not yet read. A server that closes the connection (or a connection that
// fails) makes the read that meets it raise ConnectionError "Connection closed by " and
// the peer (or the OSError of errno) when it has no bytes to return, and later reads find
// nothing; in_waiting only takes note. The next write connects again, so a server that
// drops an idle connection costs nothing. Only close() ends
// the channel for good.
#if defined(_WIN32)
#include <winsock2.h>  // before anything that may bring in windows.h
#include <ws2tcpip.h>
#endif

#include "channel/tcp_channel.hpp"

#include "binding/late_binding.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "module/native_state.hpp"
#include "module/attributes.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace brel::tcp_channel {
namespace {

// ---- the system calls, as each system spells them ---------------------------------------------
//
// The socket is non-blocking (setblocking(False)): a send or receive that cannot go on at
// once ends with "would block", and poll waits for it.

#if defined(_WIN32)
using Transferred = int;
int socket_error() noexcept { return WSAGetLastError(); }
bool would_block(int error) noexcept { return error == WSAEWOULDBLOCK; }
int poll_one(int fd, short events, int ms) noexcept {
    WSAPOLLFD p{static_cast<SOCKET>(fd), events, 0};
    return WSAPoll(&p, 1, ms);
}
Transferred receive_some(int fd, std::uint8_t* into, std::size_t n) noexcept {
    return ::recv(static_cast<SOCKET>(fd), reinterpret_cast<char*>(into),
                  static_cast<int>(std::min<std::size_t>(n, 1 << 30)), 0);
}
Transferred send_some(int fd, const std::uint8_t* bytes, std::size_t n) noexcept {
    return ::send(static_cast<SOCKET>(fd), reinterpret_cast<const char*>(bytes),
                  static_cast<int>(std::min<std::size_t>(n, 1 << 30)), 0);
}
void no_delay(int fd) noexcept {
    const BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}
void set_error(int error) { PyErr_SetExcFromWindowsErr(PyExc_OSError, error); }
constexpr int kInterrupted = WSAEINTR;
#else
using Transferred = ssize_t;
int socket_error() noexcept { return errno; }
bool would_block(int error) noexcept { return error == EAGAIN || error == EWOULDBLOCK; }
int poll_one(int fd, short events, int ms) noexcept {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms);
}
Transferred receive_some(int fd, std::uint8_t* into, std::size_t n) noexcept { return ::recv(fd, into, n, 0); }
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is an error, not a signal
#else
constexpr int kSendFlags = 0;  // the interpreter ignores SIGPIPE
#endif
Transferred send_some(int fd, const std::uint8_t* bytes, std::size_t n) noexcept {
    return ::send(fd, bytes, n, kSendFlags);
}
void no_delay(int fd) noexcept {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
void set_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
}
constexpr int kInterrupted = EINTR;
#endif

}  // namespace

// A receive takes at least this much of what has arrived, so that an answer comes in one
// system call and its pieces are then read from here.
inline constexpr std::size_t kReceiveChunk = 4096;
// The most that one read or in_waiting takes off the connection: a server that never falls
// silent cannot keep a call.
inline constexpr std::size_t kMostTaken = std::size_t{1} << 16;

// An allocator whose resize leaves the new bytes as they are: the receive writes them, so
// making room costs no fill.
template <class T>
struct NoFill : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoFill<U>;
    };
    NoFill() = default;
    template <class U>
    NoFill(const NoFill<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};

struct Line final : Attachment {
    static constexpr std::size_t kSlot = 2;

    Ref sock;     // the socket object: it owns the descriptor
    Ref address;  // (host, port), for connecting again and for messages
    int fd = -1;
    double timeout = 0;  // seconds a read waits, 0: only what has arrived
    double broadcast_delay = 0;
    std::chrono::steady_clock::time_point quiet_until{};  // no frame before this (after a broadcast)
    bool closed = false;                                  // close() was called: nothing opens it again
    bool lost = false;  // the server closed the connection or it failed: connect before the next write
    std::vector<std::uint8_t, NoFill<std::uint8_t>> pending;  // received, not yet read: [head, size)
    std::size_t head = 0;

    std::size_t waiting() const noexcept { return pending.size() - head; }
};

namespace {

Ref none() { return Ref::borrow(Py_None); }

PyTypeObject* library_channel_type = nullptr;  // owned; lives for the process
PyObject* own_read = nullptr;                  // the class dict's entries as built (borrowed from it)
PyObject* own_write = nullptr;
PyObject* own_in_waiting = nullptr;
TypeVerdict unchanged;  // the class still holds them

Line& line_of(PyObject* self) {
    Line* line = existing<Line>(self);
    if (!line || !line->sock) raise(PyExc_OSError, "rtu+tcp: the channel was never connected");
    return *line;
}

[[noreturn]] void raise_closed() { raise(errors.master_closed, "rtu+tcp: the channel is closed"); }

[[noreturn]] void raise_lost(Line& line) {
    Ref text = own(PyUnicode_FromFormat("Connection closed by %S", line.address.get()));
    PyErr_SetObject(errors.connection_closed, text.get());
    raise();
}

[[noreturn]] void raise_errno(Line& line, int error) {
    line.lost = true;
    set_error(error);
    raise();
}

// Connects to line.address (socket.create_connection, waiting at most the time-out when
// there is one) and makes the socket non-blocking, with Nagle's delay off.
void connect(Line& line) {
    Ref module = own(PyImport_ImportModule("socket"));
    Ref create = getattr(module.get(), BREL_STR("create_connection"));
    Ref wait = line.timeout > 0 ? own(PyFloat_FromDouble(line.timeout)) : none();
    Ref sock = call(create.get(), line.address.get(), wait.get());
    Ref no = Ref::borrow(Py_False);
    call_method(sock.get(), BREL_STR("setblocking"), no.get());
    const int fd = PyObject_AsFileDescriptor(sock.get());
    if (fd < 0) raise();
    no_delay(fd);
    if (line.sock) {
        Ref old = std::move(line.sock);
        Ref closed = Ref::steal_or_null(PyObject_CallMethodNoArgs(old.get(), BREL_STR("close")));
        if (!closed) PyErr_Clear();
    }
    line.sock = std::move(sock);
    line.fd = fd;
    line.lost = false;
    line.pending.clear();
    line.head = 0;
}

// What stopped I/O done without the interpreter lock: nothing, the time-out, the peer's
// close, or an errno value.
inline constexpr int kDone = 0;
inline constexpr int kTimedOut = -1;
inline constexpr int kClosed = -2;

using Clock = std::chrono::steady_clock;

int wait_for(int fd, short events, Clock::time_point deadline, bool bounded) noexcept {
    int ms = -1;
    if (bounded) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return kTimedOut;
        ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    const int rc = poll_one(fd, events, ms);
    if (rc > 0) return kDone;
    return rc == 0 ? kTimedOut : socket_error();
}

// Receives into line.pending[end, ...) until `have` reaches `want` bytes or the deadline
// passes (the interpreter lock released: the room was made before); returns the outcome
// and leaves in `end` where the bytes received stop.
int receive(Line& line, std::size_t& end, std::size_t want, Clock::time_point deadline, bool wait) noexcept {
    std::size_t have = end - line.head;
    while (have < want && end < line.pending.size()) {
        // Waiting first: right after a request its answer is not there yet.
        if (wait) {
            if (const int waited = wait_for(line.fd, POLLIN, deadline, true)) return waited;
        }
        const Transferred n = receive_some(line.fd, line.pending.data() + end, line.pending.size() - end);
        if (n > 0) {
            end += static_cast<std::size_t>(n);
            have += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return kClosed;
        if (const int error = socket_error(); !would_block(error)) return error;
        if (!wait) break;
    }
    return kDone;
}

// Takes what has arrived, and with `wait` waits for more until `want` bytes wait unread or
// the time-out runs out. Meeting the peer's close or a failure marks the connection lost;
// a wait raises it when nothing is left unread (the bytes are read first otherwise).
void fill(Line& line, std::size_t want, bool wait) {
    if (line.lost) return;
    if (line.head > 0) {
        line.pending.erase(line.pending.begin(), line.pending.begin() + static_cast<std::ptrdiff_t>(line.head));
        line.head = 0;
    }
    const std::size_t missing = want - std::min(want, line.waiting());
    const std::size_t room = std::max(std::min(missing, kMostTaken), kReceiveChunk);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(line.timeout));
    const bool report = wait;
    wait = wait && line.timeout > 0;
    for (;;) {
        int outcome;
        std::size_t end = line.pending.size();
        line.pending.resize(end + room);
        if (wait) {
            Py_BEGIN_ALLOW_THREADS
            outcome = receive(line, end, want, deadline, true);
            Py_END_ALLOW_THREADS
        } else {  // receives that never block: no need to let other threads run meanwhile
            outcome = receive(line, end, want, deadline, false);
        }
        line.pending.resize(end);
        if (outcome == kInterrupted) {
            if (PyErr_CheckSignals() < 0) raise();
            continue;
        }
        if (outcome == kDone || outcome == kTimedOut) return;
        line.lost = true;
        if (!report || line.waiting() > 0) return;
        if (outcome == kClosed) raise_lost(line);
        raise_errno(line, outcome);
    }
}

Ref take(Line& line, std::size_t size) {
    const std::size_t n = std::min(size, line.waiting());
    Ref out = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(line.pending.data() + line.head),
                                            static_cast<Py_ssize_t>(n)));
    line.head += n;
    if (line.head == line.pending.size()) {
        line.pending.clear();
        line.head = 0;
    }
    return out;
}

// Sends the rest of `bytes` from `sent` on (kept up to date), waiting for room at most the time-out (without end when
// there is none).
int send_all(int fd, const std::uint8_t* bytes, std::size_t size, std::size_t& sent, double timeout) noexcept {
    const bool bounded = timeout > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    while (sent < size) {
        const Transferred n = send_some(fd, bytes + sent, size - sent);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (const int error = socket_error(); would_block(error)) {
            if (const int waited = wait_for(fd, POLLOUT, deadline, bounded)) return waited;
        } else {
            return error;
        }
    }
    return kDone;
}

}  // namespace

// ---- what the master calls -------------------------------------------------------------------

Line* own_line(PyObject* channel) noexcept {
    PyTypeObject* type = Py_TYPE(channel);
    if (type != library_channel_type) return nullptr;
    if (!unchanged.current(type)) {
        if (_PyType_Lookup(type, BREL_STR("read")) != own_read ||
            _PyType_Lookup(type, BREL_STR("write")) != own_write ||
            _PyType_Lookup(type, BREL_STR("in_waiting")) != own_in_waiting)
            return nullptr;
        unchanged.record(type);
    }
    // read and write are no data descriptors: the instance's __dict__ would come first.
    const Ref dict = instance_dict(channel);
    if (!dict || PyDict_GetItemWithError(dict.get(), BREL_STR("read")) ||
        PyDict_GetItemWithError(dict.get(), BREL_STR("write")) || PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    Line* line = existing<Line>(channel);
    return line && line->sock ? line : nullptr;
}

Ref read(PyObject* channel, Line& line, Py_ssize_t size) {
    ObjectLock lock(channel);
    if (line.closed) raise_closed();
    const auto want = static_cast<std::size_t>(std::max<Py_ssize_t>(size, 0));
    if (want == 0) return own(PyBytes_FromStringAndSize(nullptr, 0));
    if (line.waiting() < want) fill(line, want, true);
    return take(line, want);
}

Ref write(PyObject* channel, Line& line, PyObject* data) {
    ObjectLock lock(channel);
    if (line.closed) raise_closed();
    Py_buffer view;
    Ref bytes;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        bytes = call(reinterpret_cast<PyObject*>(&PyBytes_Type), data);
        check(PyObject_GetBuffer(bytes.get(), &view, PyBUF_SIMPLE));
    }
    const auto size = static_cast<std::size_t>(view.len);
    const bool broadcast = size > 0 && static_cast<const std::uint8_t*>(view.buf)[0] == 0;
    int outcome = kDone;
    try {
        if (line.lost) connect(line);
        if (Clock::now() < line.quiet_until) {
            const Clock::time_point until = line.quiet_until;
            Py_BEGIN_ALLOW_THREADS
            std::this_thread::sleep_until(until);
            Py_END_ALLOW_THREADS
        }
        const auto* bytes = static_cast<const std::uint8_t*>(view.buf);
        // A frame normally fits the socket's buffer at once: the lock is released only
        // when the send has to wait for room.
        std::size_t sent = 0;
        const Transferred n = size ? send_some(line.fd, bytes, size) : 0;
        if (n >= 0) {
            sent = static_cast<std::size_t>(n);
        } else if (const int error = socket_error(); !would_block(error) && error != kInterrupted) {
            outcome = error;
        }
        while (outcome == kDone && sent < size) {
            Py_BEGIN_ALLOW_THREADS
            outcome = send_all(line.fd, bytes, size, sent, line.timeout);
            Py_END_ALLOW_THREADS
            if (outcome != kInterrupted) break;
            outcome = kDone;
            if (PyErr_CheckSignals() < 0) raise();
        }
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    if (outcome == kTimedOut) raise(errors.timeout, "timed out");
    if (outcome != kDone) raise_errno(line, outcome);
    if (broadcast)
        line.quiet_until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(line.broadcast_delay));
    return own(PyLong_FromSize_t(size));
}

Ref in_waiting(PyObject* channel, Line& line) {
    ObjectLock lock(channel);
    if (line.closed) raise_closed();
    fill(line, kMostTaken, false);
    return own(PyLong_FromSize_t(line.waiting()));
}

// ---- the class ------------------------------------------------------------------------------

double checked_timeout(PyObject* value) {
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) raise();
    if (!std::isfinite(seconds) || seconds < 0)
        raise(PyExc_ValueError, "rtu+tcp: the time-out must be a finite number of seconds, 0 or more");
    return seconds;
}

namespace {

Ref init(Args& a) {
    PyObject *self = a[0], *host = a[1], *port = a[2];
    const double timeout = checked_timeout(a[3]);
    const double broadcast_delay = PyFloat_AsDouble(a[4]);
    if (broadcast_delay == -1.0 && PyErr_Occurred()) raise();
    if (!std::isfinite(broadcast_delay) || broadcast_delay < 0)
        raise(PyExc_ValueError, "rtu+tcp: broadcast_delay must be a finite number of seconds, 0 or more");
    ObjectLock lock(self);
    Line* line = attached<Line>(self);
    if (!line) raise(PyExc_TypeError, "rtu+tcp: this object keeps no native state");
    if (line->sock) raise(PyExc_RuntimeError, "rtu+tcp: the channel is connected already");
    line->address = own(PyTuple_Pack(2, host, port));
    line->timeout = timeout;
    line->broadcast_delay = broadcast_delay;
    connect(*line);
    return none();
}

Ref member_read(Args& a) {
    PyObject* size = a[1];
    const Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) raise();
    return read(a[0], line_of(a[0]), n);
}

Ref member_write(Args& a) { return write(a[0], line_of(a[0]), a[1]); }
Ref member_in_waiting(Args& a) { return in_waiting(a[0], line_of(a[0])); }

Ref member_is_open(Args& a) {
    Line* line = existing<Line>(a[0]);
    return Ref::borrow(line && line->sock && !line->closed ? Py_True : Py_False);
}

Ref member_close(Args& a) {
    ObjectLock lock(a[0]);
    Line* line = existing<Line>(a[0]);
    if (!line || !line->sock || line->closed) return none();
    line->closed = true;
    line->pending.clear();
    line->head = 0;
    call_method(line->sock.get(), BREL_STR("close"));
    return none();
}

Ref member_timeout(Args& a) { return own(PyFloat_FromDouble(line_of(a[0]).timeout)); }

Ref member_set_timeout(Args& a) {
    const double seconds = checked_timeout(a[1]);
    ObjectLock lock(a[0]);
    line_of(a[0]).timeout = seconds;
    return none();
}

Ref member_address(Args& a) { return line_of(a[0]).address; }
Ref member_broadcast_delay(Args& a) { return own(PyFloat_FromDouble(line_of(a[0]).broadcast_delay)); }

}  // namespace

const ClassSpec& tcp_channel_class() {
    static const ClassSpec spec{.name = "TcpChannel",
                                .members = {
                                    method("__init__", init,
                                           {{"host", "str"},
                                            {"port", "int"},
                                            {"timeout", "float"},
                                            {"broadcast_delay", "float", float_default(0.1)}}),
                                    method("read", member_read, {{"size", "int", int_default(1)}}, "bytes"),
                                    method("write", member_write, {{"data"}}, "int"),
                                    property("in_waiting", member_in_waiting, "int"),
                                    property("is_open", member_is_open, "bool"),
                                    method("close", member_close),
                                    property("timeout", member_timeout, "float", member_set_timeout, "float"),
                                    property("address", member_address, "tuple"),
                                    property("broadcast_delay", member_broadcast_delay, "float"),
                                    enter_member(),
                                    exit_member(),
                                }};
    return spec;
}

void record_tcp_channel_type(PyObject* type) {
    Py_XSETREF(library_channel_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
    auto* t = library_channel_type;
    own_read = _PyType_Lookup(t, BREL_STR("read"));
    own_write = _PyType_Lookup(t, BREL_STR("write"));
    own_in_waiting = _PyType_Lookup(t, BREL_STR("in_waiting"));
    unchanged.forget();
}

}  // namespace brel::tcp_channel
