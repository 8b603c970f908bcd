"""A serial channel for Modbus RTU over pyserial.

``create_serial_instance`` opens a port through :func:`serial.serial_for_url`, so a
device path (``/dev/ttyUSB0``, ``COM3``), ``socket://host:port`` (RTU through a TCP
serial server), ``rfc2217://`` and ``loop://`` all work. Extra keywords (``bytesize``,
``parity``, ``stopbits``, ``xonxoff``, ...) go to pyserial unchanged.

``rtu+tcp://host:port`` is RTU through a TCP serial server as well, without pyserial: the
channel is ``brel_modbus.TcpChannel``, whose calls the master makes without the
interpreter, with no silent interval (the server times its own line) but with the
``broadcast_delay`` after a frame to station 0. The line's
settings (``bytesize``, ``parity``, ...) are taken and mean nothing there; ``echo``,
``rs485`` and ``low_latency`` need a serial line and raise ``ValueError``.

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

The serial line
---------------

``parity``, ``bytesize`` and ``stopbits`` keep pyserial's meaning and its default, 8N1
(8 data bits, no parity, 1 stop bit). The Modbus serial line's own default is 8E1 (even
parity); a line without parity uses 2 stop bits (8N2). The silent interval follows the
character's length.

``echo=False``: set it for a 2-wire RS-485 adapter whose receiver hears its own
transmitter. After each write the channel reads back as many bytes as it wrote (the
port's time-out counts from the moment the frame has left the port) and compares them
with the frame; the echo never reaches ``in_waiting`` nor ``read``, so the master sees
only the answer. A wrong echo raises ``OSError`` (``IOError``), with one of these texts::

    serial echo: expected 01 03 00 00 00 02 C4 0B, got nothing within the time-out
    serial echo: expected 01 03 00 00 00 02 C4 0B, got only 01 03 00 within the time-out
    serial echo: expected 01 03 00 00 00 02 C4 0B, got 01 03 00 00 00 02 C4 0C

(nothing came back; the start of the frame came back and then nothing more; other bytes
came back). Input left after a wrong echo is dropped by the master before its next request.

``rs485=False``: ``True`` or a :class:`serial.rs485.RS485Settings` for a transceiver whose
driver-enable pin follows RTS. The channel first asks the port's driver (pyserial's
``rs485_mode``: the ``TIOCSRS485`` request on Linux, RTS toggle control on Windows); when
the driver refuses, or the port is not a local serial device (``loop://``, ``socket://``,
``rfc2217://``), the channel drives RTS itself: ``rts_level_for_rx`` from the start, and for
each frame ``rts_level_for_tx``, ``delay_before_tx`` seconds of wait, the write, a wait
until the last byte has left the port (a character time per byte, slept and then spun
like the silent interval) and ``delay_before_rx`` seconds, then ``rts_level_for_rx`` again.
``loopback`` only reaches a driver. ``channel.rs485_road`` tells which road was taken:
``"driver"``, ``"channel"``, or ``None`` without ``rs485``. A port that refuses RTS as
well raises ``OSError`` when the channel is made (``rs485: ... refuses RTS ...``). The
channel's timing holds as well as the system's sleeps and the adapter's RTS requests do
(a USB adapter may send a frame later than it took it); a driver, or a transceiver that
switches by itself, does better.

``low_latency=False``: on Linux, ``True`` asks the device's driver for its low-latency
mode, as ``setserial /dev/ttyUSB0 low_latency`` does: the ``ASYNC_LOW_LATENCY`` flag
(0x2000) set through ``TIOCGSERIAL`` / ``TIOCSSERIAL`` on the port's descriptor and read
back. Linux's FTDI driver then sets its chip's latency timer to 1 ms (16 ms unless set
otherwise). A driver that refuses the request (a pseudo-terminal refuses it) raises
``OSError`` naming the port, the request and the reason::

    [Errno 25] low_latency: the driver of /dev/pts/3 refuses the low-latency mode (TIOCGSERIAL):
    Inappropriate ioctl for device

(one line), and so does a driver that takes the flag without keeping it (``... takes the
low-latency flag but does not keep it: it has no such mode``, as the CH340/CH341 driver
of recent kernels does), and a port that is not a serial device (``low_latency: loop://
is not an open serial device``). Other systems raise ``NotImplementedError``. ``False``
leaves the driver as it is.
"""

from __future__ import annotations

import errno
import os
import struct
import sys
import time
from typing import TYPE_CHECKING, Any, Literal, Protocol, cast

import serial
from serial.rs485 import RS485Settings

if TYPE_CHECKING:
    from brel_modbus import TcpChannel

if sys.platform != "win32":
    import fcntl
    import termios

_PosixSerial: Any
try:   # the POSIX port, whose descriptor is non-blocking; absent on Windows
    from serial.serialposix import Serial as _PosixSerial
except ImportError:   # pragma: no cover
    _PosixSerial = None

__all__ = ["BROADCAST_DELAY", "RTU_OVER_TCP", "SerialChannel", "character_time", "create_serial_instance",
           "request_low_latency", "silent_interval", "split_rtu_over_tcp"]

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


class _RtsPort(Port, Protocol):
    """A port with an RTS line (every pyserial port has the member)."""

    rts: bool


Rs485Road = Literal["driver", "channel"]


def _port_name(port: Any) -> str:
    name = getattr(port, "portstr", None)
    return str(name) if name is not None else repr(port)


def _rs485_settings(rs485: bool | RS485Settings | None) -> RS485Settings | None:
    """The settings that ``rs485`` asks for, None for none."""
    if isinstance(rs485, RS485Settings):
        return rs485
    if rs485 is None or rs485 is False:
        return None
    if rs485 is True:
        return RS485Settings()
    raise TypeError(f"rs485 must be True, False or a serial.rs485.RS485Settings, not {type(rs485).__name__}")


def _driver_takes_rs485(port: Port, settings: RS485Settings) -> bool:
    """Whether the port's driver switches the transceiver itself (pyserial's rs485_mode)."""
    if not isinstance(port, serial.Serial):   # loop://, socket://, rfc2217://: no driver to ask
        return False
    try:
        port.rs485_mode = settings
    except (ValueError, NotImplementedError, OSError):
        # pyserial keeps refused settings and would try them again at every change of a
        # setting (a new time-out included): take them back.
        port.rs485_mode = None
        return False
    return True


class SerialEchoError(OSError):
    """The adapter's echo of a frame on a two-wire line was not the frame ("serial echo: ...")."""


def _hex(data: bytes) -> str:
    return data.hex(" ").upper()


# The Linux serial_struct of TIOCGSERIAL / TIOCSSERIAL: int type, int line, unsigned int
# port, int irq, int flags, ...; 72 bytes on 64-bit systems, read and written back whole.
_SERIAL_STRUCT_SIZE = 128
_FLAGS_OFFSET = 16
ASYNC_LOW_LATENCY = 0x2000

# The ioctl call, replaceable by tests that play a driver.
_ioctl: Any = fcntl.ioctl if sys.platform != "win32" else None


def request_low_latency(port: Any) -> None:
    """Ask the driver of a serial device for its low-latency mode (Linux).

    Sets ``ASYNC_LOW_LATENCY`` in the device's serial_struct and reads it back; raises
    ``OSError`` naming the port when the driver refuses or does not keep the flag, or
    when ``port`` is not a serial device, and ``NotImplementedError`` on other systems.
    """
    name = _port_name(port)
    if not sys.platform.startswith("linux"):
        raise NotImplementedError(f"low_latency: only on Linux (the TIOCSSERIAL request), not on {sys.platform}")
    fd = port.fd if _PosixSerial is not None and isinstance(port, _PosixSerial) else None
    if fd is None:
        raise OSError(errno.ENOTTY, f"low_latency: {name} is not an open serial device")
    info = bytearray(_SERIAL_STRUCT_SIZE)
    kept = bytearray(_SERIAL_STRUCT_SIZE)
    request = "TIOCGSERIAL"
    try:
        _ioctl(fd, termios.TIOCGSERIAL, info)
        (flags,) = struct.unpack_from("i", info, _FLAGS_OFFSET)
        struct.pack_into("i", info, _FLAGS_OFFSET, flags | ASYNC_LOW_LATENCY)
        request = "TIOCSSERIAL"
        _ioctl(fd, termios.TIOCSSERIAL, info)
        request = "TIOCGSERIAL"
        _ioctl(fd, termios.TIOCGSERIAL, kept)
    except OSError as exc:
        raise OSError(exc.errno, f"low_latency: the driver of {name} refuses the low-latency mode ({request}): "
                                 f"{exc.strerror}") from exc
    if not struct.unpack_from("i", kept, _FLAGS_OFFSET)[0] & ASYNC_LOW_LATENCY:
        raise OSError(errno.EOPNOTSUPP, f"low_latency: the driver of {name} takes the low-latency flag "
                                        "but does not keep it: it has no such mode")


# The most that in_waiting moves off a port in one call.
MAX_PENDING = 1 << 16


class SerialChannel:
    """The members a Modbus master uses, over one open pyserial port.

    ``gap`` is the silent interval in seconds, ``char_time`` the time one character
    takes on the line (0 for a port without a line behind it), ``broadcast_delay`` the
    turnaround after a frame to station 0, ``echo`` and ``rs485`` as for
    :func:`create_serial_instance`.
    """

    def __init__(self, port: Port, gap: float, char_time: float = 0.0,
                 broadcast_delay: float = BROADCAST_DELAY, *, echo: bool = False,
                 rs485: bool | RS485Settings | None = False) -> None:
        if not broadcast_delay >= 0:
            raise ValueError(f"broadcast_delay must be a number of seconds, 0 or more: {broadcast_delay!r}")
        settings = _rs485_settings(rs485)
        self._port = port
        self._echo = bool(echo)
        self._rs485: RS485Settings | None = None   # settings the channel carries out itself
        self._rs485_road: Rs485Road | None = None
        if settings is not None:
            if _driver_takes_rs485(port, settings):
                self._rs485_road = "driver"
            else:
                try:
                    cast(_RtsPort, port).rts = settings.rts_level_for_rx   # listening until a frame goes out
                except OSError as exc:
                    raise OSError(exc.errno, f"rs485: {_port_name(port)} has no RS-485 mode in its driver and "
                                             f"refuses RTS: {exc.strerror}") from exc
                self._rs485 = settings
                self._rs485_road = "channel"
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
    def echo(self) -> bool:
        """Whether each frame written is read back and checked."""
        return self._echo

    @property
    def rs485_road(self) -> Rs485Road | None:
        """Who switches the RS-485 transceiver: "driver", "channel", or None (no rs485)."""
        return self._rs485_road

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
        settings = self._rs485
        written = self._send(frame) if settings is None else self._send_with_rts(frame, settings)
        if frame and frame[0] == 0:   # a broadcast: the slaves are busy carrying it out
            self._quiet_until = self._last_traffic + self._broadcast_delay
        if self._echo and frame:
            self._take_echo(frame)
        return written

    def _send(self, frame: bytes) -> int:
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
        return written

    def _send_with_rts(self, frame: bytes, settings: RS485Settings) -> int:
        """The frame sent with RTS at its transmit level until its last byte has left."""
        port = cast(_RtsPort, self._port)
        port.rts = settings.rts_level_for_tx
        try:
            if settings.delay_before_tx:
                self._wait_until(_monotonic() + settings.delay_before_tx)
            written = self._send(frame)
            self._wait_until(self._last_traffic + (settings.delay_before_rx or 0.0))
        finally:
            port.rts = settings.rts_level_for_rx
        return written

    def _take_echo(self, frame: bytes) -> None:
        """Read back the adapter's echo of ``frame``; OSError unless it is the frame."""
        left = self._last_traffic - _monotonic()
        if left > 0:   # the echo is whole only once the frame has left the port
            _sleep(left)
        echo = self._receive(len(frame))
        if echo == frame:
            return
        if not echo:
            got = "nothing within the time-out"
        elif len(echo) < len(frame) and frame.startswith(echo):
            got = f"only {_hex(echo)} within the time-out"
        else:
            got = _hex(echo)
        raise SerialEchoError(f"serial echo: expected {_hex(frame)}, got {got}")

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


RTU_OVER_TCP = "rtu+tcp://"

# What pyserial takes besides the port, baudrate and timeout: the line's settings, which
# mean nothing to a connection whose server keeps its own line.
_LINE_SETTINGS = frozenset({"bytesize", "parity", "stopbits", "xonxoff", "rtscts", "dsrdtr", "write_timeout",
                            "inter_byte_timeout", "exclusive"})


def split_rtu_over_tcp(port: str) -> tuple[str, int]:
    """The host and port of ``rtu+tcp://host:port`` (an IPv6 host in brackets)."""
    rest = port[len(RTU_OVER_TCP):]
    host, sep, number = rest.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not number.isdigit() or not 0 < int(number) < 65536:
        raise ValueError(f"expected rtu+tcp://host:port, got {port!r}")
    return host, int(number)


def _rtu_over_tcp(port: str, timeout: float, broadcast_delay: float, *, echo: bool, rs485: Any, low_latency: bool,
                  **kwargs: Any) -> TcpChannel:
    """The library's own channel for RTU frames over TCP, without pyserial."""
    for name, value in (("echo", echo), ("rs485", rs485), ("low_latency", low_latency)):
        if value:
            raise ValueError(f"{name} needs a serial line; {port} is a TCP connection")
    unknown = sorted(set(kwargs) - _LINE_SETTINGS)
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r} for {port}")
    host, number = split_rtu_over_tcp(port)
    from brel_modbus import TcpChannel   # the extension imports this module first

    return TcpChannel(host, number, float(timeout), float(broadcast_delay))


def create_serial_instance(port: str, baudrate: int, timeout: float, *, broadcast_delay: float = BROADCAST_DELAY,
                           echo: bool = False, rs485: bool | RS485Settings | None = False, low_latency: bool = False,
                           **kwargs: Any) -> SerialChannel | TcpChannel:
    """Open ``port`` (a device path or a pyserial URL) and return its channel.

    ``broadcast_delay``: seconds of silence after a frame to station 0. ``echo``: read
    back and check each frame (an adapter that hears itself). ``rs485``: ``True`` or an
    ``RS485Settings``: RTS switches the transceiver, by the driver or by the channel
    (``channel.rs485_road``). ``low_latency``: ask the driver for its low-latency mode
    (Linux). The module's docstring tells each one in full. The other keywords go to
    pyserial.
    """
    if not broadcast_delay >= 0:
        raise ValueError(f"broadcast_delay must be a number of seconds, 0 or more: {broadcast_delay!r}")
    _rs485_settings(rs485)   # a wrong type fails before the port is opened
    if isinstance(port, str) and port[:len(RTU_OVER_TCP)].lower() == RTU_OVER_TCP:
        return _rtu_over_tcp(port, timeout, broadcast_delay, echo=echo, rs485=rs485, low_latency=low_latency, **kwargs)
    opened: Any = serial.serial_for_url(port, baudrate=baudrate, timeout=timeout, **kwargs)
    try:
        if low_latency:
            request_low_latency(opened)
        shape = (opened.bytesize, opened.parity, opened.stopbits)
        return SerialChannel(opened, silent_interval(baudrate, *shape), character_time(baudrate, *shape),
                             broadcast_delay, echo=echo, rs485=rs485)
    except BaseException:
        opened.close()
        raise
