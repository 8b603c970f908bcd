"""A serial channel for Modbus RTU over pyserial.

``create_serial_instance`` opens a port through :func:`serial.serial_for_url`, so a
device path (``/dev/ttyUSB0``, ``COM3``), ``socket://host:port`` (RTU through a TCP
serial server), ``rfc2217://`` and ``loop://`` all work. Extra keywords (``bytesize``,
``parity``, ``stopbits``, ``xonxoff``, ...) go to pyserial unchanged.

The channel keeps the RTU silent interval between frames: before each write it waits
until 3.5 character times (1.75 ms above 19200 baud) have passed since the last byte
it wrote or read, as RS-485 slaves need to find the start of a frame.
"""

from __future__ import annotations

import time
from typing import Any, Protocol

import serial

__all__ = ["SerialChannel", "create_serial_instance", "silent_interval"]


def silent_interval(baudrate: int, bytesize: int = 8, parity: str = serial.PARITY_NONE,
                    stopbits: float = serial.STOPBITS_ONE) -> float:
    """The RTU inter-frame gap in seconds: 3.5 character times, 1.75 ms above 19200 baud."""
    if baudrate > 19200:
        return 0.00175
    bits = 1 + bytesize + (0 if parity == serial.PARITY_NONE else 1) + stopbits
    return 3.5 * bits / baudrate


class Port(Protocol):
    """What the channel uses of a pyserial port (every pyserial transport has it)."""

    @property
    def in_waiting(self) -> int: ...
    @property
    def is_open(self) -> bool: ...
    timeout: float | None

    def read(self, size: int = 1) -> bytes: ...
    def write(self, data: bytes, /) -> int | None: ...
    def flush(self) -> None: ...
    def close(self) -> None: ...


class SerialChannel:
    """The members a Modbus master uses, over one open pyserial port."""

    def __init__(self, port: Port, gap: float) -> None:
        self._port = port
        self._gap = gap
        self._pending = bytearray()   # bytes taken off the port by in_waiting, not yet read
        self._last_traffic = 0.0

    @property
    def port(self) -> Any:
        """The pyserial port underneath."""
        return self._port

    @property
    def silent_interval(self) -> float:
        return self._gap

    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read.

        Some pyserial transports (``socket://``) only say whether anything is
        readable; the bytes are moved into the channel until the port reports none,
        so the count is exact on every transport.
        """
        n = self._port.in_waiting
        while n:
            chunk = self._port.read(n)
            if not chunk:
                break
            self._pending += chunk
            self._last_traffic = time.monotonic()
            n = self._port.in_waiting
        return len(self._pending)

    def read(self, size: int = 1) -> bytes:
        """Up to ``size`` bytes; fewer when the time-out runs out first."""
        if self._pending:
            data = bytes(self._pending[:size])
            del self._pending[:size]
            if len(data) < size:
                data += self._port.read(size - len(data))
        else:
            data = self._port.read(size)
        if data:
            self._last_traffic = time.monotonic()
        return data

    def write(self, data: Any) -> int:
        """Send a whole frame after the silent interval; returns the byte count."""
        wait = self._last_traffic + self._gap - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        frame = bytes(data)
        written = self._port.write(frame)
        self._port.flush()
        self._last_traffic = time.monotonic()
        return len(frame) if written is None else written

    @property
    def is_open(self) -> bool:
        return bool(self._port.is_open)

    def close(self) -> None:
        self._port.close()

    @property
    def timeout(self) -> float | None:
        return self._port.timeout

    @timeout.setter
    def timeout(self, value: float | None) -> None:
        self._port.timeout = value

    def __repr__(self) -> str:
        return f"SerialChannel({self.port.portstr!r}, baudrate={self.port.baudrate})"


def create_serial_instance(port: str, baudrate: int, timeout: float, **kwargs: Any) -> SerialChannel:
    """Open ``port`` (a device path or a pyserial URL) and return its channel."""
    opened: Any = serial.serial_for_url(port, baudrate=baudrate, timeout=timeout, **kwargs)
    gap = silent_interval(baudrate, opened.bytesize, opened.parity, opened.stopbits)
    return SerialChannel(opened, gap)
