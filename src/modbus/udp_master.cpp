// ModbusUDPMaster: ModbusTCPMaster's data model over UDP, one datagram per request and per answer.
//
// The class derives from ModbusTCPMaster and adds only its constructor: every operation,
// the MBAP framing, the transaction counter, the record, retries and the typed values are
// the TCP master's, and its transaction runs over the datagram stream (udp_stream.hpp)
// instead of the connection's. The socket is a UDP socket connected to the slave, so that
// the system drops datagrams from any other address or port; its time-out bounds each
// answer. There is no connection to lose: a refused datagram (the slave's port closed)
// raises ConnectionRefusedError and the next request goes out on the same socket.
#include "modbus/classes.hpp"
#include "modbus/tcp_master_shared.hpp"

namespace brel {
namespace tcp {
namespace {

PyTypeObject* library_udp_type = nullptr;  // owned; lives for the process

// A UDP socket connected to (host, port): the first address getaddrinfo gives, with the
// time-out set.
Ref udp_connect(PyObject* host, PyObject* port, PyObject* timeout) {
    Ref module = own(PyImport_ImportModule("socket"));
    Ref dgram = getattr(module.get(), BREL_STR("SOCK_DGRAM"));
    Ref any_family = own(PyLong_FromLong(0));
    Ref found = call_method(module.get(), BREL_STR("getaddrinfo"), host, port, any_family.get(), dgram.get());
    Ref first = item(found.get(), 0);  // (family, type, proto, canonname, sockaddr)
    Ref family = item(first.get(), 0);
    Ref type = item(first.get(), 1);
    Ref proto = item(first.get(), 2);
    Ref address = item(first.get(), 4);
    Ref socket_type = getattr(module.get(), BREL_STR("socket"));
    Ref sock = call(socket_type.get(), family.get(), type.get(), proto.get());
    try {
        call_method(sock.get(), BREL_STR("settimeout"), timeout);
        call_method(sock.get(), BREL_STR("connect"), address.get());
    } catch (const PyError&) {
        PyObject* pending = PyErr_GetRaisedException();
        if (!Ref::steal_or_null(PyObject_CallMethodNoArgs(sock.get(), BREL_STR("close")))) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        throw;
    }
    return sock;
}

Ref udp_init(Args& a) {
    PyObject *self = a[0], *host = a[1], *port = a[2], *timeout = a[3], *station = a[4];
    check_station(station);
    Ref sock = udp_connect(host, port, timeout);
    init_state(self, sock.get(), host, port, station);
    return none();
}

}  // namespace

bool datagram_master(PyObject* self) noexcept { return library_udp_type && PyObject_TypeCheck(self, library_udp_type); }

}  // namespace tcp

const ClassSpec& udp_master_class() {
    static const ClassSpec spec{.name = "ModbusUDPMaster",
                                .base = "ModbusTCPMaster",
                                .members = {
                                    method("__init__", tcp::udp_init, tcp::target_params()),
                                }};
    return spec;
}

void record_udp_master_type(PyObject* type) noexcept {
    if (!PyType_Check(type)) return;
    Py_XSETREF(tcp::library_udp_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
}

}  // namespace brel
