// The socket streams of ModbusTCPMaster: the descriptor road and the socket object road.
#include "modbus/tcp_socket_streams.hpp"

#include "binding/late_binding.hpp"
#include "modbus/errors.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#endif

namespace brel {
namespace {

Ref make_int(long long v) { return own(PyLong_FromLongLong(v)); }

// ---- the socket object --------------------------------------------------------------------

// True when bytes (or the end of the stream) wait on `fd`, without blocking.
bool readable_now(PyObject* sock, long fd) {
#if defined(_WIN32)
    Ref select_module = own(PyImport_ImportModule("select"));
    Ref readers = own(PyList_New(1));
    PyList_SET_ITEM(readers.get(), 0, Py_NewRef(sock));
    Ref nothing = own(PyList_New(0));
    Ref zero = make_int(0);
    Ref ready =
        call_method(select_module.get(), BREL_STR("select"), readers.get(), nothing.get(), nothing.get(), zero.get());
    Ref first = item(ready.get(), 0);
    (void)fd;
    return check_size(PyObject_Length(first.get())) > 0;
#else
    (void)sock;
    pollfd p{static_cast<int>(fd), POLLIN, 0};
    const int rc = ::poll(&p, 1, 0);
    return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
#endif
}

inline constexpr long kDiscardChunk = 4096;
inline constexpr int kDiscardRounds = 256;  // at most 1 MiB of stale input per request

// True when a TLS socket holds decrypted bytes not yet read (its pending()), which its
// descriptor no longer shows; false for any socket without pending().
bool tls_pending(PyObject* sock) {
    PyObject* raw = PyObject_GetAttr(sock, BREL_STR("pending"));
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return false;
    }
    Ref pending = own(raw);
    Ref count = call(pending.get());
    return PyLong_Check(count.get()) && PyObject_IsTrue(count.get()) == 1;
}

// True when `sock` is a TLS socket (ssl.SSLSocket; none exists before ssl is imported).
bool is_tls_socket(PyObject* sock) {
    Ref ssl = Ref::steal_or_null(PyImport_GetModule(BREL_STR("ssl")));
    if (!ssl) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    Ref type = getattr(ssl.get(), BREL_STR("SSLSocket"));
    return check(PyObject_IsInstance(sock, type.get())) == 1;
}

// Drop the application data a TLS socket already has. Its descriptor may be readable with
// no data for the application (a session ticket after the handshake): its recv would then
// wait, so the socket is read without waiting (time-out 0) until it has nothing more.
void discard_stale_tls_input(PyObject* sock) {
    Ref old = getattr(sock, BREL_STR("timeout"));
    Ref zero = own(PyFloat_FromDouble(0.0));
    call_method(sock, BREL_STR("settimeout"), zero.get());
    Ref recv = getattr(sock, BREL_STR("recv"));
    Ref chunk = make_int(kDiscardChunk);
    Ref ssl = own(PyImport_ImportModule("ssl"));
    Ref want_read = getattr(ssl.get(), BREL_STR("SSLWantReadError"));
    try {
        for (int round = 0; round < kDiscardRounds; ++round) {
            Ref stale = Ref::steal_or_null(PyObject_CallOneArg(recv.get(), chunk.get()));
            if (!stale) {
                // Nothing more to read now: done; any other error passes on.
                if (!PyErr_ExceptionMatches(want_read.get()) && !PyErr_ExceptionMatches(PyExc_BlockingIOError)) raise();
                PyErr_Clear();
                break;
            }
            if (check_size(PyObject_Length(stale.get())) == 0) break;  // the server has closed
        }
    } catch (const PyError&) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!Ref::steal_or_null(PyObject_CallMethodOneArg(sock, BREL_STR("settimeout"), old.get()))) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        throw;
    }
    call_method(sock, BREL_STR("settimeout"), old.get());
}

// Drop whatever already waits on the connection: a late answer to a request that timed
// out, or bytes beyond a declared length. Done only when the socket object can tell
// its file descriptor; a closed socket (fileno -1) is left to fail in its send.
void discard_stale_input(PyObject* sock) {
    if (is_tls_socket(sock)) {
        discard_stale_tls_input(sock);
        return;
    }
    PyObject* raw = PyObject_GetAttr(sock, BREL_STR("fileno"));
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    Ref fileno = own(raw);
    Ref fd_object = call(fileno.get());
    if (!PyLong_Check(fd_object.get())) return;
    int overflow = 0;
    const long long fd = PyLong_AsLongLongAndOverflow(fd_object.get(), &overflow);
    if (overflow || fd < 0 || fd > INT_MAX) {
        PyErr_Clear();
        return;
    }
    if (!readable_now(sock, static_cast<long>(fd))) return;
    Ref recv = getattr(sock, BREL_STR("recv"));
    Ref chunk = make_int(kDiscardChunk);
    for (int round = 0; round < kDiscardRounds; ++round) {
        Ref stale = call(recv.get(), chunk.get());
        if (check_size(PyObject_Length(stale.get())) == 0) return;  // the server has closed
        if (!readable_now(sock, static_cast<long>(fd))) return;
    }
}

// ---- the interpreter's socket type ---------------------------------------------------------

PyObject* interpreter_socket_type() {
    static PyObject* const type = [] {
        Ref module = own(PyImport_ImportModule("socket"));
        return own(PyObject_GetAttrString(module.get(), "socket")).release();  // kept for the process
    }();
    return type;
}

// The interpreter's C socket type (_socket.socket), which socket.socket extends and whose
// methods the direct road runs as system calls.
PyTypeObject* c_socket_type() {
    static PyTypeObject* const type = [] {
        Ref module = own(PyImport_ImportModule("_socket"));
        Ref found = own(PyObject_GetAttrString(module.get(), "socket"));
        if (!PyType_Check(found.get())) raise(PyExc_SystemError, "brel_modbus: _socket.socket is no type");
        return reinterpret_cast<PyTypeObject*>(found.release());  // kept for the process
    }();
    return type;
}

// The C socket type's own method descriptor `name` (borrowed), nullptr when it has none.
PyObject* c_socket_method(PyObject* name) { return _PyType_Lookup(c_socket_type(), name); }

// True when `type`'s member `name`, as its class dict holds it (no __get__ asked), is the
// C socket type's own method.
bool own_socket_member(PyTypeObject* type, PyObject* name) {
    PyObject* ours = c_socket_method(name);
    return ours && _PyType_Lookup(type, name) == ours;
}

// The socket's sendall when the socket is one of the interpreter's (socket.socket or a
// subclass) and its sendall is not the C socket type's own: a replacement (on the class or
// the instance) is called as it is; null otherwise.
Ref replaced_sendall(PyObject* sock) {
    if (!PyObject_TypeCheck(sock, c_socket_type())) return nullptr;
    Ref method = getattr(sock, BREL_STR("sendall"));
    PyObject* ours = c_socket_method(BREL_STR("sendall"));
    if (ours && Py_IS_TYPE(ours, &PyMethodDescr_Type) && PyCFunction_Check(method.get()) &&
        PyCFunction_GET_SELF(method.get()) == sock &&
        reinterpret_cast<PyCFunctionObject*>(method.get())->m_ml ==
            reinterpret_cast<PyMethodDescrObject*>(ours)->d_method)
        return nullptr;
    return method;
}

// Hand `data` to the socket's send until all of it is out, as sendall does. A send that
// reports no progress (or no count at all) ends the loop: a socket in time-out mode
// raises rather than report that.
// A socket of the interpreter's whose sendall was replaced gets the request through that.
void send_all(PyObject* sock, PyObject* data) {
    if (Ref sendall = replaced_sendall(sock)) {
        call(sendall.get(), data);
        return;
    }
    Ref send = getattr(sock, BREL_STR("send"));
    Ref sent = call(send.get(), data);
    Py_ssize_t size;
    if (PyBytes_CheckExact(data)) {
        size = PyBytes_GET_SIZE(data);
    } else {
        size = PyObject_Length(data);
        if (size < 0) {
            PyErr_Clear();
            return;
        }
    }
    Py_ssize_t done = 0;
    for (;;) {
        if (!PyLong_Check(sent.get())) return;
        const Py_ssize_t n = PyLong_AsSsize_t(sent.get());
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
        if (n <= 0) return;
        done += n;
        if (done >= size) return;
        Ref rest = PyBytes_CheckExact(data)
                       ? own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + done, size - done))
                       : own(PySequence_GetSlice(data, done, size));
        sent = call(send.get(), rest.get());
    }
}

}  // namespace

// ---- the general road ------------------------------------------------------------------------
//
// On this road too the whole answer must arrive within the connection's time-out, counted
// from the end of the send: each receive waits at most that long by itself, and a slave
// that trickles its bytes (or declares a length it never sends) must not keep the caller
// for longer. Unbounded when the socket has no positive time-out.

StreamStatus SocketObjectStream::send(const Outgoing& request) {
    try {
        discard_stale_input(sock_);
        send_all(sock_, request.object);
        out_ = true;
        bounded_ = answer_deadline(sock_, deadline_);
        return {};
    } catch (const PyError&) {
        return {StreamEnd::Raised};
    }
}

bool answer_deadline(PyObject* sock, std::chrono::steady_clock::time_point& deadline) {
    Ref timeout = Ref::steal_or_null(PyObject_GetAttr(sock, BREL_STR("timeout")));
    if (!timeout || !(PyFloat_Check(timeout.get()) || PyLong_Check(timeout.get()))) {
        PyErr_Clear();
        return false;
    }
    const double seconds = PyFloat_AsDouble(timeout.get());
    if (PyErr_Occurred()) PyErr_Clear();
    if (!(seconds > 0) || seconds > 2e6) return false;
    deadline = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    return true;
}

// Before a receive that follows an earlier one of the same answer: wait for input only
// while the deadline allows, in the interpreter's select (which lets other threads run)
// when the socket tells its descriptor, else by looking at the clock.
void SocketObjectStream::wait_for_more() const {
    if (!bounded_) return;
    const double left = std::chrono::duration<double>(deadline_ - std::chrono::steady_clock::now()).count();
    const int fd = PyObject_AsFileDescriptor(sock_);
    if (fd < 0) {
        PyErr_Clear();
        if (left <= 0) raise(errors.timeout, "timed out");
        return;
    }
    if (readable_now(sock_, fd) || tls_pending(sock_)) return;
    if (left <= 0) raise(errors.timeout, "timed out");
    Ref select_module = own(PyImport_ImportModule("select"));
    Ref readers = own(PyList_New(1));
    PyList_SET_ITEM(readers.get(), 0, Py_NewRef(sock_));
    Ref nothing = own(PyList_New(0));
    Ref wait = own(PyFloat_FromDouble(left));
    Ref ready =
        call_method(select_module.get(), BREL_STR("select"), readers.get(), nothing.get(), nothing.get(), wait.get());
    Ref first = item(ready.get(), 0);
    if (check_size(PyObject_Length(first.get())) == 0) raise(errors.timeout, "timed out");
}

// One recv of at most `need - buffer.size()` bytes (never more than the answer needs, so
// nothing beyond it is taken off the stream); every receive but the first of an answer
// waits within the deadline first. The socket's TimeoutError passes on, as Raised.
StreamStatus SocketObjectStream::receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t) {
    try {
        if (!first_) wait_for_more();
        first_ = false;
        if (!recv_) recv_ = getattr(sock_, BREL_STR("recv"));
        Ref want = own(PyLong_FromSize_t(need - buffer.size()));
        Ref piece = call(recv_.get(), want.get());
        Py_buffer view;
        check(PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE));
        const std::size_t n = static_cast<std::size_t>(view.len);
        try {
            buffer.append(view.buf, n);
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        if (n == 0) return {StreamEnd::Closed};
        return {};
    } catch (const PyError&) {
        return {StreamEnd::Raised};
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {StreamEnd::Raised};
    }
}

#if !defined(_WIN32)
namespace {

// ---- the direct road: the interpreter's own socket type ------------------------------------
//
// A socket made by socket.create_connection is exactly socket.socket, in time-out mode: its
// descriptor is non-blocking and each send or receive waits at most the time-out. For such
// a socket the transaction runs as system calls on the descriptor, the way the socket
// object runs them itself (poll with the interpreter lock released, then the call), with
// the same exceptions: TimeoutError "timed out" and OSError from errno. Two things make it
// cheaper than calling send and recv through the interpreter: stale input is dropped with
// non-blocking receives in the same release of the interpreter lock as the send and the
// receives; each receive takes whatever has arrived (normally the whole answer) instead of
// exactly the 8 header bytes. Bytes beyond the declared length are dropped there, as the
// drop before the next request would drop them.
//
// The road is taken only while socket.socket's send, sendall and recv are the C socket
// type's own: one replaced on the class (logging, fault injection) sends the transaction
// down the general road, which calls them through the interpreter.

// The C functions behind socket.socket's fileno() and gettimeout(), and whether its send,
// sendall and recv are the C socket type's own; taken from what the class holds, and used
// while the type is unchanged (its version tag): no Python call per transaction, and a
// replaced fileno or gettimeout on socket.socket is still called as the socket's own, a
// replaced send, sendall or recv takes the general road.
struct SocketMethods {
    PyCFunction fileno = nullptr;
    PyCFunction gettimeout = nullptr;
    bool own_io = false;
};

PyCFunction no_argument_method(PyTypeObject* type, PyObject* name) {
    if (!own_socket_member(type, name)) return nullptr;
    PyObject* found = c_socket_method(name);
    if (!Py_IS_TYPE(found, &PyMethodDescr_Type)) return nullptr;
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
    constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
    return (def->ml_flags & kCallFlags) == METH_NOARGS ? def->ml_meth : nullptr;
}

// socket.socket's own methods as they stand.
const SocketMethods& socket_methods() {
    static SocketMethods methods;
    static TypeVerdict taken;  // socket.socket as it stood when `methods` was taken
    auto* type = reinterpret_cast<PyTypeObject*>(interpreter_socket_type());
    if (!taken.current(type)) {
        methods.fileno = no_argument_method(type, BREL_STR("fileno"));
        methods.gettimeout = no_argument_method(type, BREL_STR("gettimeout"));
        methods.own_io = own_socket_member(type, BREL_STR("send")) && own_socket_member(type, BREL_STR("sendall")) &&
                         own_socket_member(type, BREL_STR("recv"));
        taken.record(type);
    }
    return methods;
}

// What stopped I/O done without the interpreter lock: nothing (kIoDone), the time-out, the
// peer's close, or an errno value (EINTR: run the signal handlers, then go
// on).
inline constexpr int kIoDone = 0;
inline constexpr int kIoTimedOut = -1;
inline constexpr int kIoClosed = -2;

}  // namespace

bool DescriptorStream::open(PyObject* sock) {
    if (Py_TYPE(sock) != reinterpret_cast<PyTypeObject*>(interpreter_socket_type())) return false;
    const SocketMethods& found = socket_methods();
    if (!found.own_io) return false;
    const SocketMethods* methods = found.fileno && found.gettimeout ? &found : nullptr;
    Ref timeout = methods ? own(methods->gettimeout(sock, nullptr)) : getattr(sock, BREL_STR("timeout"));
    if (!PyFloat_CheckExact(timeout.get())) return false;
    const double seconds = PyFloat_AS_DOUBLE(timeout.get());
    if (!(seconds > 0) || seconds > 2e6) return false;
    if (methods) {
        Ref number = own(methods->fileno(sock, nullptr));
        fd_ = PyLong_Check(number.get()) ? static_cast<int>(PyLong_AsLong(number.get())) : -1;
    } else {
        fd_ = PyObject_AsFileDescriptor(sock);
    }
    if (fd_ < 0) {
        PyErr_Clear();
        return false;
    }
    timeout_ms_ = static_cast<int>(seconds * 1000.0 + 0.999);
    return true;
}

// Kept for the first receive: the drop of stale input and the send go with it.
StreamStatus DescriptorStream::send(const Outgoing& request) {
    request_ = request.bytes;
    request_size_ = request.size;
    sent_ = 0;
    drain_ = true;
    return {};
}

// Receives until `buffer` holds at least `need` bytes, each receive asking for up to `room`
// bytes in all; before that, drops stale input and sends what is left of the request. All
// of it with the interpreter lock released once.
StreamStatus DescriptorStream::receive(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) {
    if (!drain_ && request_out() && buffer.size() >= need) return {};  // already here: no release
    // Room for all that the receives may ask for, made now: nothing allocates without the lock.
    const std::size_t most = std::max(need, room);
    try {
        if (most > buffer.size()) buffer.reserve(most - buffer.size());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {StreamEnd::Raised};
    }
    for (;;) {
        int outcome;
        Py_BEGIN_ALLOW_THREADS
        outcome = run(buffer, need, room);
        Py_END_ALLOW_THREADS
        switch (outcome) {
            case kIoDone:
                return {};
            case kIoTimedOut:
                return {StreamEnd::TimedOut};
            case kIoClosed:
                return {StreamEnd::Closed};
            case EINTR:
                if (PyErr_CheckSignals() < 0) return {StreamEnd::Raised};
                break;  // a handler that does not raise: go on
            default:
                return {StreamEnd::Failed, outcome};
        }
    }
}

// Wait for `events` at most `ms` milliseconds: kIoDone, kIoTimedOut or errno.
int DescriptorStream::wait(short events, int ms) const noexcept {
    pollfd p{fd_, events, 0};
    const int rc = ::poll(&p, 1, ms);
    if (rc > 0) return kIoDone;
    return rc == 0 ? kIoTimedOut : errno;
}

// Runs without the interpreter lock: no Python here.
int DescriptorStream::run(modbus::AnswerBuffer& buffer, std::size_t need, std::size_t room) noexcept {
    if (drain_) {
        drain_ = false;
        char sink[4096];
        for (int round = 0; round < kDiscardRounds; ++round) {
            // Nothing waiting, the peer has closed, or an error the send will meet: stop.
            if (::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
        }
    }
    while (sent_ < request_size_) {
        const ssize_t n = ::send(fd_, request_ + sent_, request_size_ - sent_, MSG_NOSIGNAL);
        if (n >= 0) {
            sent_ += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int waited = wait(POLLOUT, timeout_ms_)) return waited;
        } else {
            return errno;
        }
    }
    if (!deadline_set_) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
        deadline_set_ = true;
    }
    while (buffer.size() < need) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
        if (const int waited = wait(POLLIN, static_cast<int>(std::max<long long>(0, left.count())))) return waited;
        const std::size_t want = need - buffer.size();
        const std::size_t ask = room > buffer.size() ? std::max(want, room - buffer.size()) : want;
        const ssize_t n = ::recv(fd_, buffer.tail(), ask, 0);  // receive() made the room
        if (n > 0) {
            buffer.commit(static_cast<std::size_t>(n));
        } else if (n == 0) {
            return kIoClosed;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno;
        }
    }
    return kIoDone;
}
#endif

}  // namespace brel
