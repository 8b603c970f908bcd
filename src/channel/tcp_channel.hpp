// The library's own channel for RTU frames over a TCP connection (a serial server), as the master drives it.
//
// TcpChannel (src/modbus/tcp_channel.cpp) is the object create_serial_instance returns for
// an rtu+tcp:// port: read, write, in_waiting, is_open, close and timeout, like a serial
// port, over a connected socket. When the master's channel is exactly that class, its
// class unchanged and its instance shadowing neither read nor write, the calls of
// serial_channel.hpp run these bodies directly instead of through the interpreter; the
// bytes, results and errors are those of the members.
#pragma once

#include "module/ref.hpp"

namespace brel::tcp_channel {

struct Line;

// The channel's line when `channel` is the library's own TcpChannel as described above;
// nullptr otherwise (or when it has no line yet). Never raises.
Line* own_line(PyObject* channel) noexcept;

// The members' bodies, with the channel's lock taken.
Ref read(PyObject* channel, Line& line, Py_ssize_t size);
Ref write(PyObject* channel, Line& line, PyObject* data);
Ref in_waiting(PyObject* channel, Line& line);

// A time-out as the channel's timeout setter takes it, in seconds; its ValueError otherwise.
double checked_timeout(PyObject* value);

}  // namespace brel::tcp_channel
