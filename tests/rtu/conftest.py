"""Fakes and real slaves for the Master tests.

Plain helpers (reference CRC, frames, the slaves' data) live in rtu_support.py.

* ``FakeChannel``: a scripted serial channel. Answers are queued as bytes; each write
  moves the next queued answer into the input, where the following reads find it.
  Every member call is recorded in ``calls``. Installed by replacing
  ``brel_modbus.create_serial_instance``.
* ``slave``: a pymodbus 3.11 server with RTU framing, reached either through
  ``socket://127.0.0.1:PORT`` or over a pair of pseudo-terminals joined by a relay
  thread. Each server runs on its own event loop thread and is shut down from it.
"""

from __future__ import annotations

import pytest

import brel_modbus

from rtu_support import STATION, use_python_helpers
from simulator import PtyRelay, make_context, start_serial_server, start_tcp_server


# ---- scripted channel ------------------------------------------------------------------

class FakeChannel:
    """The members the master uses, scripted and recorded."""

    def __init__(self, **opened):
        self.opened = opened              # the keywords the factory was called with
        self.calls = []                   # ("in_waiting",), ("read", n), ("write", bytes), ...
        self.written_types = []
        self.answers = []                 # bytes to arrive after each write, in order
        self.incoming = bytearray()       # received, not yet read
        self.open = True
        self.timeout_value = opened.get("timeout")

    def answer(self, *answers: bytes) -> None:
        self.answers.extend(answers)

    @property
    def in_waiting(self):
        self.calls.append(("in_waiting",))
        return len(self.incoming)

    def read(self, size):
        self.calls.append(("read", size))
        data = bytes(self.incoming[:size])
        del self.incoming[:size]
        return data

    def write(self, data):
        self.calls.append(("write", bytes(data)))
        self.written_types.append((type(data), getattr(data, "typecode", None)))
        if self.answers:
            self.incoming += self.answers.pop(0)
        return "ignored"

    @property
    def is_open(self):
        self.calls.append(("is_open",))
        return self.open

    def close(self):
        self.calls.append(("close",))
        self.open = False

    @property
    def timeout(self):
        return self.timeout_value

    @timeout.setter
    def timeout(self, value):
        self.calls.append(("timeout=", value))
        self.timeout_value = value

    # views of the record
    @property
    def writes(self):
        return [c[1] for c in self.calls if c[0] == "write"]

    @property
    def reads(self):
        return [c[1] for c in self.calls if c[0] == "read"]

    def exchange(self):
        """The calls without the property reads of is_open: the order on the line."""
        return [c for c in self.calls if c[0] in ("in_waiting", "read", "write")]


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


def start_socket_slave():
    server = start_tcp_server(make_context(), rtu_framing=True)
    port = server.tcp_port
    return Slave("socket", f"socket://127.0.0.1:{port}", server, tcp_port=port), None


def start_pty_slave():
    relay = PtyRelay()
    try:
        server = start_serial_server(make_context(), relay.paths[0])
    except BaseException:
        relay.close()
        raise
    return Slave("pty", relay.paths[1], server), relay


@pytest.fixture(scope="module", params=["socket", "pty"])
def slave(request):
    slave, relay = start_socket_slave() if request.param == "socket" else start_pty_slave()
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
