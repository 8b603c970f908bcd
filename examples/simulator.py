"""Simulated Modbus slaves on this machine, for the demo, the guide and the tests.

``SimulatedSlaves`` starts pymodbus servers that share one datastore:

* Modbus TCP on 127.0.0.1 (``tcp_port``),
* Modbus RTU framing over TCP on 127.0.0.1 (``rtu_url``, a ``socket://`` URL, as a
  TCP serial server offers it),
* Modbus RTU over a pair of pseudo-terminals (``serial_port``, a device path),
* Modbus over UDP on 127.0.0.1 (``udp_port``),
* Modbus ASCII over a second pair of pseudo-terminals (``ascii_port``),

each on its own asyncio loop thread, and stops them when the ``with`` block ends.

The datastore serves two stations. ``STATION`` holds contiguous tables (``HOLDING``,
``INPUT``, ``COILS``, ``DISCRETE``). ``SPARSE_STATION`` holds registers and coils with holes,
as many real devices do: pymodbus's sparse data block answers only the addresses it holds,
and refuses a read that touches any other with exception code 2 (illegal data address).
Its holding registers are ``SPARSE_HOLDING`` (protocol addresses 0..9 and 20..29, nothing at
10..19), its coils ``SPARSE_COILS`` (0..7 and 16..23). A write adds the address it writes (a
broadcast to station 0 reaches this station too, and must not fail here): nothing writes into
the holes.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import select
import socket
import threading
import time
import tty
from typing import Any
from collections.abc import Callable

STATION = 1
HOLDING = [(7 * i + 3) & 0xFFFF for i in range(100)] + [0] * 400   # protocol addresses 0..499
INPUT = [1000 + i for i in range(50)]                              # 0..49
COILS = [bool((i * 5) % 3) for i in range(40)]                     # 0..39
DISCRETE = [i % 4 == 0 for i in range(30)]                         # 0..29
WAIT = 10.0   # bound of every start and stop step, seconds

SPARSE_STATION = 2
SPARSE_HOLDING = {a: 500 + a for a in [*range(0, 10), *range(20, 30)]}     # protocol address -> value
SPARSE_COILS = {a: a % 3 == 0 for a in [*range(0, 8), *range(16, 24)]}


# What the simulated device says of itself (function code 43, read device identification):
# the basic objects 0 to 2, regular ones 3 to 6 and one private extended object.
IDENTITY = {0x00: "brel_modbus", 0x01: "SIM-1", 0x02: "1.0", 0x03: "https://example.invalid/sim",
            0x04: "Simulated meter", 0x05: "M-1", 0x06: "demo", 0x80: "serial 0001"}


def make_identity() -> Any:
    from pymodbus.pdu.device import ModbusDeviceIdentification

    return ModbusDeviceIdentification(info=dict(IDENTITY))


def make_sparse_device() -> Any:
    """The device with holes: holding registers and coils only at the addresses of
    SPARSE_HOLDING and SPARSE_COILS; input registers and discrete inputs 0..9."""
    from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusSparseDataBlock

    # Keys are protocol address + 1, as for the sequential blocks below.
    return ModbusDeviceContext(
        hr=ModbusSparseDataBlock({a + 1: v for a, v in SPARSE_HOLDING.items()}),
        ir=ModbusSequentialDataBlock(1, [0] * 10),
        co=ModbusSparseDataBlock({a + 1: v for a, v in SPARSE_COILS.items()}),
        di=ModbusSequentialDataBlock(1, [False] * 10),
    )


def make_context(station: int = STATION) -> Any:
    """A datastore with holding and input registers, coils and discrete inputs at `station`,
    and the device with holes at SPARSE_STATION (unless `station` is that one)."""
    from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusServerContext

    # The device context adds 1 to every protocol address: a block that starts at 1
    # holds protocol address 0 in its first value.
    device = ModbusDeviceContext(
        hr=ModbusSequentialDataBlock(1, list(HOLDING)),
        ir=ModbusSequentialDataBlock(1, list(INPUT)),
        co=ModbusSequentialDataBlock(1, list(COILS)),
        di=ModbusSequentialDataBlock(1, list(DISCRETE)),
    )
    devices = {station: device}
    if station != SPARSE_STATION:
        devices[SPARSE_STATION] = make_sparse_device()
    return ModbusServerContext(devices=devices, single=False)


class LoopServer:
    """A pymodbus server made and served on its own event loop thread."""

    def __init__(self, make_server: Callable[[], Any]) -> None:
        self._make_server = make_server
        self.loop = asyncio.new_event_loop()
        self.server: Any = None
        self._ready = threading.Event()
        self._error: BaseException | None = None
        self.udp_port = 0   # set by start_udp_server
        self._thread = threading.Thread(target=self._run, name="pymodbus-slave", daemon=True)

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)

        async def start() -> None:
            self.server = self._make_server()
            await self.server.serve_forever(background=True)

        try:
            self.loop.run_until_complete(asyncio.wait_for(start(), WAIT))
        except BaseException as exc:  # reported to the starting thread
            self._error = exc
            self._ready.set()
            return
        self._ready.set()
        self.loop.run_forever()
        self.loop.run_until_complete(self.loop.shutdown_asyncgens())
        self.loop.close()

    def start(self) -> LoopServer:
        self._thread.start()
        if not self._ready.wait(WAIT):
            raise RuntimeError("pymodbus server did not start")
        if self._error is not None:
            raise RuntimeError(f"pymodbus server failed to start: {self._error!r}")
        return self

    def call(self, function: Callable[..., Any], *args: Any) -> Any:
        """Run function(*args) on the server's loop and return its result."""
        async def run() -> Any:
            return function(*args)
        return asyncio.run_coroutine_threadsafe(run(), self.loop).result(WAIT)

    @property
    def tcp_port(self) -> int:
        return int(self.call(lambda: self.server.transport.sockets[0].getsockname()[1]))

    def stop(self) -> None:
        if self.loop.is_running():
            with contextlib.suppress(Exception):
                asyncio.run_coroutine_threadsafe(self.server.shutdown(), self.loop).result(WAIT)
            self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(WAIT)


def wait_until_accepting(port: int, host: str = "127.0.0.1") -> None:
    deadline = time.monotonic() + WAIT
    while True:
        try:
            socket.create_connection((host, port), timeout=0.5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class PtyRelay:
    """Two pseudo-terminals joined back to back: bytes written to one slave device are
    read from the other. A relay thread copies between the two master sides."""

    def __init__(self) -> None:
        self.master_a, self.slave_a = os.openpty()
        self.master_b, self.slave_b = os.openpty()
        for fd in (self.slave_a, self.slave_b):
            tty.setraw(fd)   # no echo, no line editing, no CR/LF translation
        self.paths = (os.ttyname(self.slave_a), os.ttyname(self.slave_b))
        self._stop = threading.Event()
        self._closed = False
        self._thread = threading.Thread(target=self._relay, name="pty-relay", daemon=True)
        self._thread.start()

    def _relay(self) -> None:
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

    def close(self) -> None:
        """Stops the relay and closes the four descriptors, once: a second call does nothing
        (their numbers may belong to others by then)."""
        self._stop.set()
        self._thread.join(WAIT)
        if self._closed:
            return
        self._closed = True
        for fd in (self.master_a, self.slave_a, self.master_b, self.slave_b):
            with contextlib.suppress(OSError):
                os.close(fd)


def start_tcp_server(context: Any, rtu_framing: bool = False) -> LoopServer:
    """A pymodbus TCP server on 127.0.0.1 and a free port, Modbus TCP or RTU framing."""
    from pymodbus import FramerType
    from pymodbus.server import ModbusTcpServer

    framer = FramerType.RTU if rtu_framing else FramerType.SOCKET
    # On RTU framing station 0 is a broadcast, carried out and never answered.
    server = LoopServer(lambda: ModbusTcpServer(context, framer=framer, address=("127.0.0.1", 0),
                                                ignore_missing_devices=True, broadcast_enable=rtu_framing,
                                                identity=make_identity())).start()
    wait_until_accepting(server.tcp_port)
    return server


def start_udp_server(context: Any) -> LoopServer:
    """A pymodbus UDP server on 127.0.0.1 and a free port, MBAP framed; its port in ``udp_port``."""
    from pymodbus import FramerType
    from pymodbus.server import ModbusUdpServer

    server = LoopServer(lambda: ModbusUdpServer(context, framer=FramerType.SOCKET, address=("127.0.0.1", 0),
                                                ignore_missing_devices=True, identity=make_identity())).start()
    server.udp_port = int(server.call(lambda: server.server.transport.get_extra_info("sockname")[1]))
    return server


def start_serial_server(context: Any, port: str, baudrate: int = 19200, ascii: bool = False) -> LoopServer:
    """A pymodbus RTU (or, with ``ascii``, Modbus ASCII) server on a serial device (one end of a PtyRelay)."""
    from pymodbus import FramerType
    from pymodbus.server import ModbusSerialServer

    framer = FramerType.ASCII if ascii else FramerType.RTU
    return LoopServer(lambda: ModbusSerialServer(context, framer=framer, port=port, baudrate=baudrate,
                                                 ignore_missing_devices=True, broadcast_enable=True,
                                                 identity=make_identity())).start()


class SimulatedSlaves:
    """Modbus TCP, RTU over TCP and RTU over a pty pair, one shared datastore."""

    def __init__(self, station: int = STATION) -> None:
        self.station = station
        self.context = make_context(station)
        self._servers: list[LoopServer] = []
        self._relay: PtyRelay | None = None
        self._ascii_relay: PtyRelay | None = None
        self.tcp_port = 0
        self.rtu_url = ""
        self.serial_port = ""
        self.udp_port = 0
        self.ascii_port = ""

    def __enter__(self) -> SimulatedSlaves:
        try:
            tcp = start_tcp_server(self.context)
            self._servers.append(tcp)
            self.tcp_port = tcp.tcp_port
            rtu = start_tcp_server(self.context, rtu_framing=True)
            self._servers.append(rtu)
            self.rtu_url = f"socket://127.0.0.1:{rtu.tcp_port}"
            self._relay = PtyRelay()
            self._servers.append(start_serial_server(self.context, self._relay.paths[0]))
            self.serial_port = self._relay.paths[1]
            udp = start_udp_server(self.context)
            self._servers.append(udp)
            self.udp_port = udp.udp_port
            self._ascii_relay = PtyRelay()
            self._servers.append(start_serial_server(self.context, self._ascii_relay.paths[0], ascii=True))
            self.ascii_port = self._ascii_relay.paths[1]
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        for server in reversed(self._servers):
            server.stop()
        self._servers.clear()
        for relay in (self._relay, self._ascii_relay):
            if relay is not None:
                relay.close()
        self._relay = self._ascii_relay = None

    def holding(self, address: int, count: int) -> list[int]:
        """Holding registers straight from the datastore."""
        device = self.context[self.station]
        return list(self._servers[0].call(device.getValues, 3, address, count))

    def set_holding(self, address: int, values: list[int]) -> None:
        device = self.context[self.station]
        self._servers[0].call(device.setValues, 3, address, list(values))
