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

import asyncio
import contextlib
import os
import select
import socket
import threading
import tty

import pytest

import brel_modbus

from rtu_support import COILS, DISCRETE, HOLDING, INPUT, STATION, use_python_helpers


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

def make_context():
    from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusServerContext

    # The device context adds 1 to every protocol address: a block that starts at 1
    # holds protocol address 0 in its first value.
    device = ModbusDeviceContext(
        hr=ModbusSequentialDataBlock(1, HOLDING + [0] * 400),   # 0..499
        ir=ModbusSequentialDataBlock(1, list(INPUT)),
        co=ModbusSequentialDataBlock(1, list(COILS)),
        di=ModbusSequentialDataBlock(1, list(DISCRETE)),
    )
    return ModbusServerContext(devices={STATION: device}, single=False)


class LoopServer:
    """A pymodbus server made and served on its own event loop thread."""

    def __init__(self, make_server):
        self._make_server = make_server
        self.loop = asyncio.new_event_loop()
        self.server = None
        self._ready = threading.Event()
        self._error = None
        self._thread = threading.Thread(target=self._run, name="pymodbus-slave", daemon=True)

    def _run(self):
        asyncio.set_event_loop(self.loop)

        async def start():
            self.server = self._make_server()
            await self.server.serve_forever(background=True)

        try:
            self.loop.run_until_complete(asyncio.wait_for(start(), 10))
        except BaseException as exc:  # reported to the starting thread
            self._error = exc
            self._ready.set()
            return
        self._ready.set()
        self.loop.run_forever()
        self.loop.run_until_complete(self.loop.shutdown_asyncgens())
        self.loop.close()

    def start(self):
        self._thread.start()
        if not self._ready.wait(15):
            raise RuntimeError("pymodbus server did not start")
        if self._error is not None:
            raise RuntimeError(f"pymodbus server failed to start: {self._error!r}")
        return self

    def call(self, function, *args, timeout=5):
        """Run function(*args) on the server's loop and return its result."""
        async def run():
            return function(*args)
        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(timeout)

    def stop(self):
        if self.loop.is_running():
            with contextlib.suppress(Exception):
                asyncio.run_coroutine_threadsafe(self.server.shutdown(), self.loop).result(5)
            self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)


def wait_until_accepting(port, limit=50):
    for _ in range(limit):
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return
        threading.Event().wait(0.1)
    raise RuntimeError(f"nothing accepts on 127.0.0.1:{port}")


class PtyRelay:
    """Two pseudo-terminals joined back to back: bytes written to one slave device are
    read from the other. A relay thread copies between the two master sides."""

    def __init__(self):
        self.master_a, self.slave_a = os.openpty()
        self.master_b, self.slave_b = os.openpty()
        for fd in (self.slave_a, self.slave_b):
            tty.setraw(fd)   # no echo, no line editing, no CR/LF translation
        self.paths = (os.ttyname(self.slave_a), os.ttyname(self.slave_b))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._relay, name="pty-relay", daemon=True)
        self._thread.start()

    def _relay(self):
        route = {self.master_a: self.master_b, self.master_b: self.master_a}
        while not self._stop.is_set():
            ready, _, _ = select.select(list(route), [], [], 0.05)
            for fd in ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:       # the other side is being closed
                    self._stop.wait(0.01)
                    continue
                os.write(route[fd], data)

    def close(self):
        self._stop.set()
        self._thread.join(5)
        for fd in (self.master_a, self.slave_a, self.master_b, self.slave_b):
            with contextlib.suppress(OSError):
                os.close(fd)


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
    from pymodbus import FramerType
    from pymodbus.server import ModbusTcpServer

    context = make_context()
    server = LoopServer(lambda: ModbusTcpServer(context, framer=FramerType.RTU, address=("127.0.0.1", 0),
                                                ignore_missing_devices=True)).start()
    port = server.call(lambda: server.server.transport.sockets[0].getsockname()[1])
    wait_until_accepting(port)
    return Slave("socket", f"socket://127.0.0.1:{port}", server, tcp_port=port), None


def start_pty_slave():
    from pymodbus import FramerType
    from pymodbus.server import ModbusSerialServer

    relay = PtyRelay()
    context = make_context()
    try:
        server = LoopServer(lambda: ModbusSerialServer(context, framer=FramerType.RTU, port=relay.paths[0],
                                                       baudrate=19200, ignore_missing_devices=True)).start()
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
