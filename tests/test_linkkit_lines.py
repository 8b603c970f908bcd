"""brel_linkkit: the serial line options (echo, rs485, low_latency) on pseudo-terminals.

The test plays the adapter and the slave on the other end of a pty pair: it reads each
request and writes what an echoing adapter and a slave would send back.
"""

import errno
import os
import struct
import sys
import termios
import threading
import time

import pytest
import serial
from serial.rs485 import RS485Settings

import brel_modbus
from brel_linkkit import SerialChannel, create_serial_instance
from brel_linkkit import channel as linkkit
from brel_linkkit.channel import character_time, silent_interval

pytestmark = pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")


def with_crc(body: bytes) -> bytes:
    crc = 0xFFFF
    for byte in body:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return body + bytes((crc & 0xFF, crc >> 8))


REQUEST = bytes.fromhex("01 03 00 00 00 02 C4 0B")     # station 1, holding registers 0 and 1
ANSWER = with_crc(bytes.fromhex("01 03 04 00 0A 00 14"))   # 10, 20
TIMEOUT = 0.3


@pytest.fixture
def pty_pair():
    """The device path of a pseudo-terminal and the descriptor of its other end."""
    other, device = os.openpty()
    yield os.ttyname(device), other
    os.close(other)
    os.close(device)


def take(fd, size, seconds=2.0):
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < size and time.monotonic() < deadline:
        data += os.read(fd, size - len(data))
    return data


def serve(fd, *replies):
    """Answer requests on fd in a thread: for each reply, read one request and write the
    reply's pieces, a (seconds, bytes) piece after waiting that long. The requests read
    are in the thread's `requests`."""
    def run():
        for reply in replies:
            thread.requests.append(take(fd, len(REQUEST)))
            for piece in reply:
                delay, data = piece if isinstance(piece, tuple) else (0, piece)
                time.sleep(delay)
                os.write(fd, data)

    thread = threading.Thread(target=run, daemon=True)
    thread.requests = []
    thread.start()
    return thread


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors in /proc")


# ---- echo ---------------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "reply",
    [
        [REQUEST, (0.02, ANSWER)],                   # the echo, then the slave's answer
        [REQUEST + ANSWER],                          # both in one piece
        [REQUEST[:3], (0.05, REQUEST[3:] + ANSWER)],  # the echo split, its rest coming later
    ],
    ids=["echo-then-answer", "one-piece", "split-echo"],
)
def test_echo_is_taken_before_the_answer(pty_pair, reply):
    name, other = pty_pair
    channel = create_serial_instance(name, 19200, TIMEOUT, echo=True)
    try:
        assert channel.echo is True
        slave = serve(other, reply)
        assert channel.write(bytearray(REQUEST)) == len(REQUEST)
        deadline = time.monotonic() + 2
        while channel.in_waiting < len(ANSWER) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert channel.in_waiting == len(ANSWER)
        assert channel.read(len(ANSWER) + 4) == ANSWER
        slave.join(2)
        assert slave.requests == [REQUEST]
    finally:
        channel.close()


def test_echo_is_told_from_input_already_waiting(pty_pair):
    # Bytes that arrived before the write (and were counted) are not the echo: they stay
    # for the reader, ahead of the answer.
    name, other = pty_pair
    channel = create_serial_instance(name, 19200, TIMEOUT, echo=True)
    try:
        os.write(other, b"\xee\xee")
        deadline = time.monotonic() + 2
        while channel.in_waiting < 2 and time.monotonic() < deadline:
            time.sleep(0.005)
        serve(other, [REQUEST, ANSWER])
        channel.write(REQUEST)
        assert channel.read(2 + len(ANSWER)) == b"\xee\xee" + ANSWER
    finally:
        channel.close()


def test_echo_time_out_counts_from_the_end_of_the_frame(pty_pair):
    # At 600 baud the request takes 133 ms on the line and its echo is whole only then;
    # the 100 ms time-out starts when the frame has left the port.
    name, other = pty_pair
    channel = create_serial_instance(name, 600, 0.1, echo=True)
    try:
        slave = serve(other, [(0.12, REQUEST)])
        assert channel.write(REQUEST) == len(REQUEST)
        slave.join(2)
        assert channel.in_waiting == 0
    finally:
        channel.close()


@pytest.mark.parametrize(
    "reply, text, waits",
    [
        (b"", "serial echo: expected 01 03 00 00 00 02 C4 0B, got nothing within the time-out", True),
        (REQUEST[:3], "serial echo: expected 01 03 00 00 00 02 C4 0B, got only 01 03 00 within the time-out", True),
        (REQUEST[:7] + b"\x0c", "serial echo: expected 01 03 00 00 00 02 C4 0B, got 01 03 00 00 00 02 C4 0C", False),
        # an adapter that does not echo, with echo=True: the answer is taken for the echo
        (ANSWER, "serial echo: expected 01 03 00 00 00 02 C4 0B, got " + ANSWER[:8].hex(" ").upper(), False),
    ],
    ids=["missing", "short", "wrong", "answer-only"],
)
def test_wrong_echo_raises(pty_pair, reply, text, waits):
    name, other = pty_pair
    channel = create_serial_instance(name, 19200, TIMEOUT, echo=True)
    try:
        serve(other, [reply] if reply else [])
        start = time.monotonic()
        with pytest.raises(OSError) as caught:
            channel.write(REQUEST)
        assert str(caught.value) == text
        if waits:   # the echo is waited for during the time-out
            assert time.monotonic() - start >= TIMEOUT
    finally:
        channel.close()


def test_master_with_echo_sees_only_the_answer(pty_pair, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", create_serial_instance)
    name, other = pty_pair
    slave = serve(other,
                  [REQUEST, (0.01, ANSWER)],
                  [REQUEST[:7] + b"\xff", ANSWER],           # a damaged echo; the answer comes anyway
                  [REQUEST, (0.01, ANSWER)])
    with brel_modbus.Master(name, 19200, 1, echo=True) as master:
        assert master.serial.echo is True
        assert master.read_registers(1, 0, 2) == [10, 20]
        assert master.last_command_sent == REQUEST
        assert master.last_feedback_received == ANSWER
        with pytest.raises(IOError) as caught:
            master.read_registers(1, 0, 2)
        assert str(caught.value) == "serial echo: expected 01 03 00 00 00 02 C4 0B, got 01 03 00 00 00 02 C4 FF"
        time.sleep(0.05)   # the answer to the failed request arrives and is left waiting
        assert master.read_registers(1, 0, 2) == [10, 20]    # stale input dropped before the request
        assert master.last_feedback_received == ANSWER
    slave.join(2)
    assert slave.requests == [REQUEST] * 3


# ---- rs485 --------------------------------------------------------------------------------------

class RtsRecordingSerial(serial.Serial):
    """A POSIX port that records every RTS change and every write with its time. A
    pseudo-terminal has no RTS line: the change is recorded instead of being asked for."""

    def __init__(self, *args, **kwargs):
        self.events = []
        super().__init__(*args, **kwargs)

    def _update_rts_state(self):
        self.events.append((time.monotonic(), "rts", self._rts_state))

    def write(self, data):
        self.events.append((time.monotonic(), "write", bytes(data)))
        return super().write(data)


class DriverRs485Serial(RtsRecordingSerial):
    """A port whose driver switches the transceiver itself (accepts TIOCSRS485)."""

    driver_settings = None

    def _set_rs485_mode(self, settings):
        self.driver_settings = settings


def recording_channel(name, port_class, baudrate, rs485):
    port = port_class(name, baudrate, timeout=TIMEOUT)
    return port, SerialChannel(port, silent_interval(baudrate), character_time(baudrate), rs485=rs485)


@pytest.mark.parametrize(
    "rs485, tx, rx, before_tx, before_rx",
    [
        (True, True, False, 0.0, 0.0),
        (RS485Settings(), True, False, 0.0, 0.0),
        (RS485Settings(rts_level_for_tx=False, rts_level_for_rx=True), False, True, 0.0, 0.0),
        (RS485Settings(delay_before_tx=0.01, delay_before_rx=0.005), True, False, 0.01, 0.005),
    ],
    ids=["true", "defaults", "inverted", "delays"],
)
def test_channel_drives_rts_when_the_driver_refuses(pty_pair, rs485, tx, rx, before_tx, before_rx):
    name, other = pty_pair
    baudrate = 9600
    port, channel = recording_channel(name, RtsRecordingSerial, baudrate, rs485)
    try:
        assert channel.rs485_road == "channel"        # a pseudo-terminal refuses TIOCSRS485
        assert port.events[-1][1:] == ("rts", rx)      # listening from the start
        assert port.rs485_mode is None                 # the refused settings were taken back...
        channel.timeout = 0.2                          # ...so a new setting reaches the port
        assert port.timeout == 0.2
        for _ in range(2):
            port.events.clear()
            assert channel.write(REQUEST) == len(REQUEST)
            (t_on, *on), (t_write, *write), (t_off, *off) = port.events
            assert (on, write, off) == (["rts", tx], ["write", REQUEST], ["rts", rx])
            assert t_write - t_on >= before_tx
            # RTS drops once the last byte has left the port: a character time per byte
            assert t_off - t_write >= len(REQUEST) * character_time(baudrate) + before_rx
            assert take(other, len(REQUEST)) == REQUEST
    finally:
        channel.close()


def test_driver_rs485_leaves_rts_to_the_driver(pty_pair):
    name, other = pty_pair
    settings = RS485Settings(delay_before_rx=0.001)
    port, channel = recording_channel(name, DriverRs485Serial, 9600, settings)
    try:
        assert channel.rs485_road == "driver"
        assert port.driver_settings is settings
        port.events.clear()
        channel.write(REQUEST)
        assert [kind for _, kind, _ in port.events] == ["write"]
        assert take(other, len(REQUEST)) == REQUEST
    finally:
        channel.close()


@pytest.mark.parametrize(
    "rs485, road, rts",
    [(False, None, True), (None, None, True), (True, "channel", False),
     (RS485Settings(rts_level_for_tx=False, rts_level_for_rx=True), "channel", True)],
)
def test_rs485_road_on_a_loop(rs485, road, rts):
    # loop:// has no driver to ask: the channel drives its RTS (pyserial opens with RTS on)
    channel = create_serial_instance("loop://", 19200, 0.1, rs485=rs485)
    try:
        assert channel.rs485_road == road
        assert channel.port.rts is rts
        channel.write(REQUEST)
        assert channel.port.rts is rts
        assert channel.read(len(REQUEST)) == REQUEST    # loop:// hears itself; without echo=True, so does read
    finally:
        channel.close()


@needs_proc
def test_rs485_on_a_port_without_rts(pty_pair):
    name, _ = pty_pair
    before = open_descriptors()
    with pytest.raises(OSError) as caught:
        create_serial_instance(name, 19200, TIMEOUT, rs485=True)
    assert caught.value.errno == errno.ENOTTY
    assert str(caught.value) == (f"[Errno {errno.ENOTTY}] rs485: {name} has no RS-485 mode in its driver and refuses "
                                 f"RTS: {os.strerror(errno.ENOTTY)}")
    assert open_descriptors() == before               # the port was closed


@pytest.mark.parametrize("bad", ["yes", 1, RS485Settings])
def test_rs485_refuses_other_values(pty_pair, bad):
    name, _ = pty_pair
    with pytest.raises(TypeError, match="^rs485 must be True, False or a serial.rs485.RS485Settings, not "):
        create_serial_instance(name, 19200, TIMEOUT, rs485=bad)


# ---- low_latency --------------------------------------------------------------------------------

@needs_proc
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the request is Linux's")
def test_low_latency_refused_by_a_pseudo_terminal(pty_pair, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", create_serial_instance)
    name, _ = pty_pair
    before = open_descriptors()
    with pytest.raises(OSError) as caught:
        brel_modbus.Master(name, 19200, TIMEOUT, low_latency=True)
    assert caught.value.errno == errno.ENOTTY
    assert str(caught.value) == (f"[Errno {errno.ENOTTY}] low_latency: the driver of {name} refuses the low-latency "
                                 f"mode (TIOCGSERIAL): {os.strerror(errno.ENOTTY)}")
    assert open_descriptors() == before


@pytest.mark.parametrize("url", ["loop://"])
def test_low_latency_needs_a_serial_device(url):
    with pytest.raises(OSError, match=f"^\\[Errno {errno.ENOTTY}\\] low_latency: {url} is not an open serial device$"):
        create_serial_instance(url, 19200, 0.1, low_latency=True)


class FakeDriver:
    """The TIOCGSERIAL / TIOCSSERIAL requests of a serial driver: it keeps the flags it is
    given, or drops the low-latency one, or refuses to set them."""

    def __init__(self, flags, keeps=True, set_error=None):
        self.flags = flags
        self.keeps = keeps
        self.set_error = set_error
        self.requests = []

    def __call__(self, fd, request, buffer):
        self.requests.append(request)
        if request == termios.TIOCGSERIAL:
            buffer[:] = bytes(len(buffer))
            struct.pack_into("i", buffer, 16, self.flags)
        elif request == termios.TIOCSSERIAL:
            if self.set_error is not None:
                raise OSError(self.set_error, os.strerror(self.set_error))
            flags = struct.unpack_from("i", buffer, 16)[0]
            self.flags = flags if self.keeps else flags & ~linkkit.ASYNC_LOW_LATENCY
        else:
            raise AssertionError(f"unexpected request {request:#x}")
        return 0


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the request is Linux's")
def test_low_latency_sets_the_flag_and_keeps_the_others(pty_pair, monkeypatch):
    name, other = pty_pair
    driver = FakeDriver(flags=0x0040 | 0x10000000)
    monkeypatch.setattr(linkkit, "_ioctl", driver)
    channel = create_serial_instance(name, 19200, TIMEOUT, low_latency=True)
    try:
        assert driver.flags == 0x2040 | 0x10000000
        assert driver.requests == [termios.TIOCGSERIAL, termios.TIOCSSERIAL, termios.TIOCGSERIAL]
        channel.write(REQUEST)
        assert take(other, len(REQUEST)) == REQUEST
    finally:
        channel.close()


@needs_proc
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the request is Linux's")
@pytest.mark.parametrize(
    "driver, text",
    [
        (FakeDriver(0, keeps=False), "[Errno {e}] low_latency: the driver of {name} takes the low-latency flag but "
                                     "does not keep it: it has no such mode"),
        (FakeDriver(0, set_error=errno.EPERM), "[Errno {e}] low_latency: the driver of {name} refuses the "
                                               "low-latency mode (TIOCSSERIAL): Operation not permitted"),
    ],
    ids=["dropped", "not-permitted"],
)
def test_low_latency_refused_by_a_driver(pty_pair, monkeypatch, driver, text):
    name, _ = pty_pair
    monkeypatch.setattr(linkkit, "_ioctl", driver)
    before = open_descriptors()
    with pytest.raises(OSError) as caught:
        create_serial_instance(name, 19200, TIMEOUT, low_latency=True)
    code = errno.EOPNOTSUPP if driver.set_error is None else errno.EPERM
    assert str(caught.value) == text.format(e=code, name=name)
    assert open_descriptors() == before


@needs_proc
def test_low_latency_elsewhere_than_linux(pty_pair, monkeypatch):
    name, _ = pty_pair
    monkeypatch.setattr(sys, "platform", "darwin")
    before = open_descriptors()
    with pytest.raises(NotImplementedError, match="^low_latency: only on Linux \\(the TIOCSSERIAL request\\), "
                                                  "not on darwin$"):
        create_serial_instance(name, 19200, TIMEOUT, low_latency=True)
    assert open_descriptors() == before
