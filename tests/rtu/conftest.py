"""Fakes and real slaves for the Master tests.

Plain helpers (reference CRC, frames, the scripted channel, the slaves' data) live in
rtu_support.py.

* ``channels``: every ``FakeChannel`` (rtu_support.py) made by the replaced
  ``brel_modbus.create_serial_instance``.
* ``slave``: a pymodbus 3.11 server with RTU framing, reached through
  ``socket://127.0.0.1:PORT`` (pyserial), through ``rtu+tcp://127.0.0.1:PORT`` (the
  library's own TcpChannel) or over a pair of pseudo-terminals joined by a relay
  thread. Each server runs on its own event loop thread and is shut down from it.
* AsyncMaster's: ``server`` (a pymodbus RTU slave over TCP), ``pty_server`` (one on a
  pseudo-terminal pair), ``url`` (the port of a slave over each road) and ``scripted``
  (serial servers that answer as told, async_rtu_support.py).
"""

from __future__ import annotations

import pytest

import brel_linkkit
import brel_modbus

from rtu_support import STATION, FakeChannel, use_python_helpers
from async_rtu_support import ScriptedServer
from simulator import PtyRelay, make_context, start_serial_server, start_tcp_server


@pytest.fixture
def channels(monkeypatch):
    """Every FakeChannel made by the replaced create_serial_instance, in order."""
    made = []

    def factory(**kwargs):
        channel = FakeChannel(**kwargs)
        made.append(channel)
        return channel

    monkeypatch.setattr(brel_modbus, "create_serial_instance", factory)
    return made


@pytest.fixture
def master(channels):
    return brel_modbus.Master("/dev/ttyFAKE0", 9600, 1)


@pytest.fixture
def channel(master, channels):
    return channels[0]


@pytest.fixture(params=["fast", "general"])
def road(request, monkeypatch):
    """Run a test on both roads: the library's own helpers, and Python twins of them."""
    if request.param == "general":
        use_python_helpers(monkeypatch)
    return request.param


# ---- real slaves -------------------------------------------------------------------------

class Slave:
    """A running pymodbus RTU slave and how a Master reaches it."""

    def __init__(self, kind, port, server, tcp_port=None):
        self.kind = kind
        self.port = port            # what Master gets as `port`
        self.server = server
        self.tcp_port = tcp_port

    def master(self, timeout=1.0):
        return brel_modbus.Master(self.port, 19200, timeout)

    def holding(self, address, count):
        """Holding registers straight from the slave's datastore."""
        device = self.server.server.context[STATION]
        return self.server.call(device.getValues, 3, address, count)

    def set_holding(self, address, values):
        device = self.server.server.context[STATION]
        self.server.call(device.setValues, 3, address, list(values))


def start_socket_slave(scheme="socket"):
    server = start_tcp_server(make_context(), rtu_framing=True)
    port = server.tcp_port
    return Slave(scheme, f"{scheme}://127.0.0.1:{port}", server, tcp_port=port), None


def start_pty_slave():
    relay = PtyRelay()
    try:
        server = start_serial_server(make_context(), relay.paths[0])
    except BaseException:
        relay.close()
        raise
    return Slave("pty", relay.paths[1], server), relay


@pytest.fixture(scope="module", params=["socket", "rtu+tcp", "pty"])
def slave(request):
    slave, relay = start_pty_slave() if request.param == "pty" else start_socket_slave(request.param)
    try:
        yield slave
    finally:
        slave.server.stop()
        if relay is not None:
            relay.close()


@pytest.fixture
def rtu(slave, monkeypatch):
    """A Master on the real slave, through brel_linkkit, closed after the test."""
    import brel_linkkit

    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with slave.master() as m:
        yield m


# ---- AsyncMaster's slaves ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def server():
    server = start_tcp_server(make_context(), rtu_framing=True)
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="module")
def pty_server():
    """A pymodbus RTU slave on one end of a pair of pseudo-terminals; the other end's path."""
    relay = PtyRelay()
    try:
        server = start_serial_server(make_context(), relay.paths[0])
        try:
            yield server, relay.paths[1]
        finally:
            server.stop()
    finally:
        relay.close()


@pytest.fixture(params=["rtu+tcp", "socket", "pty"])
def url(request, server, monkeypatch):
    """The port of a slave: a serial server over TCP, or a pseudo-terminal (a device path)."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    if request.param == "pty":
        return request.getfixturevalue("pty_server")[1]
    return f"{request.param}://127.0.0.1:{server.tcp_port}"


@pytest.fixture
def scripted():
    made = []

    def start(*answers, size=8):
        s = ScriptedServer(*answers, size=size)
        made.append(s)
        return s

    yield start
    for s in made:
        s.stop()
