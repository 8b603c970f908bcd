"""A serial channel for Modbus RTU over pyserial.

``create_serial_instance`` opens a port through :func:`serial.serial_for_url`, so a
device path (``/dev/ttyUSB0``, ``COM3``), ``socket://host:port`` (RTU through a TCP
serial server), ``rfc2217://`` and ``loop://`` all work. Extra keywords (``bytesize``,
``parity``, ``stopbits``, ``xonxoff``, ...) go to pyserial unchanged.

The channel keeps the RTU silent interval between frames: before each write it waits
until 3.5 character times (1.75 ms above 19200 baud) have passed since the line last
carried a byte, as RS-485 slaves need to find the start of a frame. The line's last
byte is the last one read, or the last one of the last frame written, which leaves the
port a character time per byte after the write. The port is not asked to drain its
output (tcdrain): that costs a system call per frame, and many USB adapters answer it
before the bytes have left anyway.

After a broadcast (a frame to station 0, which no slave answers) the channel keeps the
line quiet for ``broadcast_delay`` seconds (100 ms unless told otherwise) before the next
frame, so that every slave has carried out the broadcast and is listening again.

On a POSIX device the channel makes the system calls itself where pyserial would add
work of its own: a write goes out with one ``os.write``, a read takes what has already
arrived with one ``os.read``, and only a read that has to wait goes through pyserial.
"""

from __future__ import annotations

import os
import time
from typing import Any, Protocol, cast

import serial

_PosixSerial: Any
try:   # the POSIX port, whose descriptor is non-blocking; absent on Windows
    from serial.serialposix import Serial as _PosixSerial
except ImportError:   # pragma: no cover
    _PosixSerial = None

__all__ = ["BROADCAST_DELAY", "SerialChannel", "character_time", "create_serial_instance", "silent_interval"]

# Seconds of silence after a broadcast before the next frame goes out.
BROADCAST_DELAY = 0.1

_monotonic = time.monotonic
_sleep = time.sleep

# The wait for the silent interval sleeps until shortly before its end and spins the
# rest, since a sleep ends late (timer slack and scheduling: 50 to 100 us on Linux).
# How early the sleep ends follows the lateness of the sleeps seen: a step up after a
# sleep that ended late, a third of a step down after one that did not, which settles
# where three sleeps in four end early enough; one long delay moves it by one step.
_EARLY_START = 0.0001
_EARLY_STEP = 0.000003
_EARLY_MAX = 0.0002   # never spin longer than this


def silent_interval(baudrate: int, bytesize: int = 8, parity: str = serial.PARITY_NONE,
                    stopbits: float = serial.STOPBITS_ONE) -> float:
    """The RTU inter-frame gap in seconds: 3.5 character times, 1.75 ms above 19200 baud."""
    if baudrate > 19200:
        return 0.00175
    return 3.5 * character_time(baudrate, bytesize, parity, stopbits)


def character_time(baudrate: int, bytesize: int = 8, parity: str = serial.PARITY_NONE,
                   stopbits: float = serial.STOPBITS_ONE) -> float:
    """Seconds one character takes on the line: start bit, data bits, parity, stop bits."""
    bits = 1 + bytesize + (0 if parity == serial.PARITY_NONE else 1) + stopbits
    return bits / baudrate


class Port(Protocol):
    """What the channel uses of a pyserial port (every pyserial transport has it)."""

    @property
    def in_waiting(self) -> int: ...
    @property
    def is_open(self) -> bool: ...
    timeout: float | None

    def read(self, size: int = 1) -> bytes: ...
    def write(self, data: bytes, /) -> int | None: ...
    def close(self) -> None: ...


class _Device(Port, Protocol):
    """A POSIX device port: its non-blocking descriptor besides."""

    fd: int


# The most that in_waiting moves off a port in one call.
MAX_PENDING = 1 << 16


class SerialChannel:
    """The members a Modbus master uses, over one open pyserial port.

    ``gap`` is the silent interval in seconds, ``char_time`` the time one character
    takes on the line (0 for a port without a line behind it), ``broadcast_delay`` the
    turnaround after a frame to station 0.
    """

    def __init__(self, port: Port, gap: float, char_time: float = 0.0,
                 broadcast_delay: float = BROADCAST_DELAY) -> None:
        if not broadcast_delay >= 0:
            raise ValueError(f"broadcast_delay must be a number of seconds, 0 or more: {broadcast_delay!r}")
        self._port = port
        self._gap = gap
        self._char_time = char_time
        self._broadcast_delay = float(broadcast_delay)
        self._quiet_until = 0.0       # no frame before this moment (monotonic seconds)
        self._pending = bytearray()   # bytes taken off the port by in_waiting, not yet read
        self._last_traffic = 0.0      # when the line last carried a byte (monotonic seconds)
        self._early = _EARLY_START    # how long before the end of the gap the sleep ends
        # a POSIX device port, whose descriptor the channel may use directly
        self._device = cast(_Device, port) if _PosixSerial is not None and type(port) is _PosixSerial else None

    @property
    def port(self) -> Any:
        """The pyserial port underneath."""
        return self._port

    @property
    def silent_interval(self) -> float:
        return self._gap

    @property
    def broadcast_delay(self) -> float:
        """Seconds the line stays quiet after a broadcast."""
        return self._broadcast_delay

    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read.

        Some pyserial transports (``socket://``) only say whether anything is
        readable; the bytes are moved into the channel until the port reports none,
        so the count is exact on every transport. A line that never falls silent is
        taken in at most ``MAX_PENDING`` bytes at a time, so the call always returns.
        """
        n = self._port.in_waiting
        while n and len(self._pending) < MAX_PENDING:
            chunk = self._port.read(n)
            if not chunk:
                break
            self._pending += chunk
            self._last_traffic = _monotonic()
            n = self._port.in_waiting
        return len(self._pending)

    def read(self, size: int = 1) -> bytes:
        """Up to ``size`` bytes; fewer when the time-out runs out first."""
        if self._pending:
            data = bytes(self._pending[:size])
            del self._pending[:size]
            if len(data) < size:
                data += self._receive(size - len(data))
        else:
            data = self._receive(size)
        if data:
            self._last_traffic = _monotonic()
        return data

    def _receive(self, size: int) -> bytes:
        device = self._device
        if device is None or not device.is_open or type(size) is not int:
            return self._port.read(size)
        if size <= 0:
            return b""
        try:
            data = os.read(device.fd, size)   # what has arrived; the descriptor never blocks
        except OSError:
            # nothing yet (EAGAIN), or a fault, which pyserial's read reports in its words
            return device.read(size)
        if len(data) == size:
            return data
        if not data:
            return device.read(size)
        return data + device.read(size - len(data))

    def write(self, data: Any) -> int:
        """Send a whole frame after the silent interval; returns the byte count."""
        deadline = max(self._last_traffic + self._gap, self._quiet_until)
        if _monotonic() < deadline:
            self._wait_until(deadline)
        frame = bytes(data)
        device = self._device
        written: int
        if device is not None and device.is_open and frame:
            try:
                written = os.write(device.fd, frame)
            except OSError:
                written = 0   # full (EAGAIN) or a fault: pyserial's write waits or reports it
            if written < len(frame):
                written += device.write(frame[written:]) or 0
        else:
            result = self._port.write(frame)
            written = len(frame) if result is None else result
        # The frame leaves the port one character time per byte after it was queued.
        queued = max(_monotonic(), self._last_traffic)
        self._last_traffic = queued + len(frame) * self._char_time
        if frame and frame[0] == 0:   # a broadcast: the slaves are busy carrying it out
            self._quiet_until = self._last_traffic + self._broadcast_delay
        return written

    def _wait_until(self, deadline: float) -> None:
        """Return at ``deadline`` (monotonic seconds), not before: sleep, then spin."""
        early = self._early
        left = deadline - _monotonic()
        if left > early:
            _sleep(left - early)
            if _monotonic() > deadline:   # woke after the deadline: wake earlier
                self._early = min(early + _EARLY_STEP, _EARLY_MAX)
            else:
                self._early = max(early - _EARLY_STEP / 3, 0.0)
        while _monotonic() < deadline:
            pass

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


def create_serial_instance(port: str, baudrate: int, timeout: float, *, broadcast_delay: float = BROADCAST_DELAY,
                           **kwargs: Any) -> SerialChannel:
    """Open ``port`` (a device path or a pyserial URL) and return its channel.

    ``broadcast_delay``: seconds of silence after a frame to station 0. The other
    keywords go to pyserial.
    """
    if not broadcast_delay >= 0:
        raise ValueError(f"broadcast_delay must be a number of seconds, 0 or more: {broadcast_delay!r}")
    opened: Any = serial.serial_for_url(port, baudrate=baudrate, timeout=timeout, **kwargs)
    shape = (opened.bytesize, opened.parity, opened.stopbits)
    return SerialChannel(opened, silent_interval(baudrate, *shape), character_time(baudrate, *shape), broadcast_delay)
