// The calls the RTU master makes on its serial channel: the object that
// brel_linkkit's create_serial_instance returns. The master needs nothing else of it.
// Every member is looked up on the channel at each call, so any object with these
// members serves (a pyserial port, a test double, an application's own transport).
// The library's own TcpChannel is driven directly while it is unchanged (tcp_channel.hpp).
#pragma once

#include "channel/tcp_channel.hpp"
#include "module/runtime.hpp"

namespace brel::channel {

// channel.read(size): at most `size` bytes; fewer when its time-out runs out.
inline Ref read(PyObject* channel, PyObject* size) {
    if (tcp_channel::Line* line = tcp_channel::own_line(channel); line && PyLong_CheckExact(size)) {
        const Py_ssize_t n = PyLong_AsSsize_t(size);
        if (n >= 0) return tcp_channel::read(channel, *line, n);
        PyErr_Clear();
    }
    return call_method(channel, BREL_STR("read"), size);
}
// channel.write(frame): the result is not used.
inline void write(PyObject* channel, PyObject* frame) {
    if (tcp_channel::Line* line = tcp_channel::own_line(channel)) {
        tcp_channel::write(channel, *line, frame);
        return;
    }
    call_method(channel, BREL_STR("write"), frame);
}
// channel.in_waiting: received bytes not yet read.
inline Ref in_waiting(PyObject* channel) {
    if (tcp_channel::Line* line = tcp_channel::own_line(channel)) return tcp_channel::in_waiting(channel, *line);
    return getattr(channel, BREL_STR("in_waiting"));
}
inline Ref is_open(PyObject* channel) { return getattr(channel, BREL_STR("is_open")); }
inline void close(PyObject* channel) { call_method(channel, BREL_STR("close")); }
inline Ref timeout(PyObject* channel) { return getattr(channel, BREL_STR("timeout")); }
inline void set_timeout(PyObject* channel, PyObject* value) { setattr(channel, BREL_STR("timeout"), value); }

}  // namespace brel::channel
