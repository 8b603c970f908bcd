"""brel_linkkit: the serial channel over pyserial."""

import os
import socket
import threading
import time

import pytest
import serial

from brel_linkkit import SerialChannel, create_serial_instance
from brel_linkkit.channel import character_time, silent_interval


@pytest.mark.parametrize(
    "baudrate, options, expected",
    [
        (9600, {}, 3.5 * 10 / 9600),
        (9600, {"parity": serial.PARITY_EVEN}, 3.5 * 11 / 9600),
        (9600, {"stopbits": serial.STOPBITS_TWO, "parity": serial.PARITY_ODD}, 3.5 * 12 / 9600),
        (19200, {}, 3.5 * 10 / 19200),
        (38400, {}, 0.00175),
        (115200, {"parity": serial.PARITY_EVEN}, 0.00175),
    ],
)
def test_silent_interval(baudrate, options, expected):
    assert silent_interval(baudrate, **options) == pytest.approx(expected)
    channel = create_serial_instance(port="loop://", baudrate=baudrate, timeout=0.1, **options)
    try:
        assert channel.silent_interval == pytest.approx(expected)
        for key, value in options.items():
            assert getattr(channel.port, key) == value
    finally:
        channel.close()


def test_loop_channel_members():
    channel = create_serial_instance(port="loop://", baudrate=19200, timeout=0.05)
    assert channel.is_open
    assert channel.timeout == 0.05
    channel.timeout = 0.2
    assert channel.port.timeout == 0.2
    assert channel.write(bytearray(b"\x01\x03\x00")) == 3
    assert channel.in_waiting == 3
    assert channel.read(2) == b"\x01\x03"
    assert channel.read(5) == b"\x00"          # the rest, then the time-out
    assert channel.read(0) == b""
    channel.close()
    assert not channel.is_open


class RecordingPort:
    """A pyserial-like port that records when frames go out."""

    def __init__(self):
        self.sent = []
        self.is_open = True
        self.timeout = 1.0
        self.in_waiting = 0

    def write(self, data):
        self.sent.append((time.monotonic(), bytes(data)))
        return len(data)

    def flush(self):
        pass

    def read(self, size):
        return b"\x00" * size


def test_frames_are_separated_by_the_silent_interval():
    port = RecordingPort()
    channel = SerialChannel(port, gap=0.05)
    channel.write(b"\x01")
    channel.read(1)
    channel.write(b"\x02")
    channel.write(b"\x03")
    (t1, _), (t2, _), (t3, _) = port.sent
    assert t2 - t1 >= 0.05 and t3 - t2 >= 0.05
    assert [frame for _, frame in port.sent] == [b"\x01", b"\x02", b"\x03"]


@pytest.mark.parametrize(
    "baudrate, options, bits",
    [(9600, {}, 10), (9600, {"parity": serial.PARITY_EVEN}, 11), (115200, {"stopbits": serial.STOPBITS_TWO}, 11)],
)
def test_character_time(baudrate, options, bits):
    assert character_time(baudrate, **options) == pytest.approx(bits / baudrate)


def test_silent_interval_counts_from_the_end_of_an_unanswered_frame():
    # A broadcast gets no answer: the next frame waits until the last one has left the
    # port (a character time per byte) and then the silent interval.
    port = RecordingPort()
    channel = SerialChannel(port, gap=0.02, char_time=0.01)
    channel.write(b"\x00\x06\x00\x01")
    channel.write(b"\x01")
    (t1, _), (t2, _) = port.sent
    assert t2 - t1 >= 4 * 0.01 + 0.02


@pytest.mark.parametrize("delay", [0.0, 0.03, None])
def test_broadcast_keeps_the_line_quiet(delay):
    port = RecordingPort()
    channel = SerialChannel(port, gap=0.001) if delay is None else SerialChannel(port, 0.001, 0.0, delay)
    wanted = 0.1 if delay is None else delay
    assert channel.broadcast_delay == wanted
    channel.write(b"\x00\x06\x00\x01\x00\x05")    # station 0: nobody answers
    channel.write(b"\x01\x03")
    (t1, _), (t2, _) = port.sent
    assert t2 - t1 >= max(wanted, 0.001)


@pytest.mark.parametrize("bad", [-0.1, float("nan")])
def test_broadcast_delay_refuses_negative(bad):
    with pytest.raises(ValueError, match="broadcast_delay must be a number of seconds, 0 or more"):
        create_serial_instance("loop://", 9600, 0.1, broadcast_delay=bad)


def test_master_passes_broadcast_delay_to_the_channel(monkeypatch):
    import brel_modbus

    monkeypatch.setattr(brel_modbus, "create_serial_instance", create_serial_instance)
    with brel_modbus.Master("loop://", 9600, 0.1, broadcast_delay=0.25) as master:
        assert master.serial.broadcast_delay == 0.25


@pytest.fixture
def pty_channel():
    """A channel on the device end of a pseudo-terminal pair, and the descriptor of the
    other end, which plays the slave."""
    other, device = os.openpty()
    channel = create_serial_instance(port=os.ttyname(device), baudrate=115200, timeout=0.3)
    yield channel, other
    channel.close()
    os.close(other)
    os.close(device)


def take(fd, size, seconds=2.0):
    """Up to size bytes from fd, waiting at most `seconds`."""
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < size and time.monotonic() < deadline:
        data += os.read(fd, size - len(data))
    return data


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")
def test_device_channel_reads_and_writes(pty_channel):
    channel, other = pty_channel
    assert channel.write(bytearray(b"\x01\x03\x00\x00\x00\x01\x84\x0a")) == 8
    assert take(other, 8) == b"\x01\x03\x00\x00\x00\x01\x84\x0a"
    assert channel.read(0) == b""
    os.write(other, b"\x01\x03\x02")
    threading.Timer(0.05, os.write, args=(other, b"\x00\x2a\x38\x5b")).start()
    assert channel.read(7) == b"\x01\x03\x02\x00\x2a\x38\x5b"   # what is there, then the rest
    os.write(other, b"\xaa\xbb")
    assert channel.read(5) == b"\xaa\xbb"                              # the time-out ends the read
    assert channel.read(1) == b""
    os.write(other, b"\x10\x20\x30")
    deadline = time.monotonic() + 2
    while channel.in_waiting < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert channel.in_waiting == 3
    assert channel.read(2) == b"\x10\x20" and channel.read(2) == b"\x30"


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")
@pytest.mark.parametrize("call", [lambda c: c.read(1), lambda c: c.read(0), lambda c: c.write(b"\x01")])
def test_device_channel_closed(pty_channel, call):
    channel, _ = pty_channel
    channel.close()
    assert not channel.is_open
    with pytest.raises(serial.PortNotOpenError):
        call(channel)


@pytest.fixture
def tcp_peer():
    """A connected pair: a listening socket on 127.0.0.1 and the server side of the connection."""
    server = socket.create_server(("127.0.0.1", 0))
    port = server.getsockname()[1]
    accepted = {}

    def accept():
        server.settimeout(5)
        accepted["conn"], _ = server.accept()

    thread = threading.Thread(target=accept)
    thread.start()
    channel = create_serial_instance(port=f"socket://127.0.0.1:{port}", baudrate=115200, timeout=0.5)
    thread.join(5)
    conn = accepted["conn"]
    yield channel, conn
    channel.close()
    conn.close()
    server.close()


def test_in_waiting_counts_every_waiting_byte_over_socket(tcp_peer):
    channel, conn = tcp_peer
    conn.sendall(b"\x10\x20\x30\x40\x50")
    deadline = time.monotonic() + 2
    while channel.in_waiting < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert channel.in_waiting == 5
    assert channel.read(channel.in_waiting) == b"\x10\x20\x30\x40\x50"
    assert channel.in_waiting == 0
    channel.write(b"\x01\x02")
    conn.settimeout(2)
    assert conn.recv(10) == b"\x01\x02"


def test_read_joins_waiting_bytes_and_later_ones(tcp_peer):
    channel, conn = tcp_peer
    conn.sendall(b"\x01\x02")
    deadline = time.monotonic() + 2
    while channel.in_waiting < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    threading.Timer(0.05, conn.sendall, args=(b"\x03",)).start()
    assert channel.read(3) == b"\x01\x02\x03"


class FloodingPort(RecordingPort):
    """A port that always has more bytes waiting: a slave that never falls silent."""

    def __init__(self):
        super().__init__()
        self.in_waiting = 100


def test_in_waiting_returns_on_a_line_that_never_falls_silent():
    from brel_linkkit.channel import MAX_PENDING

    channel = SerialChannel(FloodingPort(), gap=0.0)
    waiting = channel.in_waiting
    assert MAX_PENDING <= waiting < MAX_PENDING + 100
    assert channel.read(waiting) == b"\x00" * waiting
