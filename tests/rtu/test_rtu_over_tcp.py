"""Master on an rtu+tcp:// port: RTU frames over TCP through the library's own TcpChannel.

The serial server is scripted here (a thread on 127.0.0.1 that reads each 8-byte request
and answers as told, hostile answers included); the pymodbus slave of conftest.py runs the
whole slave suite over rtu+tcp:// as well.
"""

from __future__ import annotations

import socket
import threading
import time

import pytest

import brel_linkkit
import brel_modbus
from brel_linkkit.channel import split_rtu_over_tcp

from rtu_support import STATION, frame

WAIT = 5.0   # bound of every wait of the server side
READ = frame("01 03 00 00 00 02")
ANSWER = frame("01 03 04 00 0A 00 0B")


class SerialServer:
    """A scripted serial server: script(conn, server) for each accepted connection in turn."""

    def __init__(self, *scripts):
        self.scripts = list(scripts)
        self.requests = []
        self.errors = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT)
        self.port = self.listener.getsockname()[1]
        self.url = f"rtu+tcp://127.0.0.1:{self.port}"
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for script in self.scripts:
                conn, _ = self.listener.accept()
                with conn:
                    conn.settimeout(WAIT)
                    script(conn, self)
        except Exception as exc:   # reported by stop()
            self.errors.append(exc)

    def request(self, conn, size=8):
        data = conn.recv(size, socket.MSG_WAITALL)
        if len(data) < size:
            raise ConnectionError(f"client closed after {data!r}")
        self.requests.append(data)
        return data

    def stop(self):
        self.thread.join(WAIT * 2)
        self.listener.close()
        assert not self.thread.is_alive(), "scripted server did not finish"
        assert not self.errors, self.errors


def answering(*answers):
    """A script that answers each request with the next of `answers` (bytes, or a list of
    pieces sent apart), then waits for the client to leave."""
    def script(conn, server):
        for answer in answers:
            server.request(conn)
            for piece in answer if isinstance(answer, list) else [answer]:
                conn.sendall(piece)
                time.sleep(0.01)
        conn.recv(1)   # the client's close (or the time-out)
    return script


def closing(*pieces):
    """A script that takes one request, sends `pieces` and closes the connection."""
    def script(conn, server):
        server.request(conn)
        for piece in pieces:
            conn.sendall(piece)
    return script


@pytest.fixture
def servers():
    made = []

    def start(*scripts):
        server = SerialServer(*scripts)
        made.append(server)
        return server

    yield start
    for server in made:
        server.stop()


@pytest.fixture(autouse=True)
def linkkit(monkeypatch):
    """The real factory (other tests replace the module's name)."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)


def test_the_port_opens_the_library_channel_without_pyserial(servers, monkeypatch):
    import serial

    def no_pyserial(*args, **kwargs):
        raise AssertionError("pyserial was asked to open a port")

    monkeypatch.setattr(serial, "serial_for_url", no_pyserial)
    server = servers(answering(ANSWER))
    with brel_modbus.Master(server.url, 19200, 1.0) as master:
        assert type(master.serial) is brel_modbus.TcpChannel
        assert master.serial.address == ("127.0.0.1", server.port)
        assert master.read_registers(STATION, 0, 2) == [10, 11]
        assert master.last_command_sent == READ
        assert master.last_feedback_received == ANSWER
    assert not master.serial.is_open
    assert server.requests == [READ]


def test_fix_master_over_tcp(servers):
    server = servers(answering(frame("07 06 00 05 01 02"), frame("07 03 02 01 02")))
    with brel_modbus.FixMaster(7, server.url, 9600, 1.0) as fix:
        fix.write_register(5, 0x0102)
        assert fix.read_register(5) == 0x0102
    assert server.requests == [frame("07 06 00 05 01 02"), frame("07 03 00 05 00 01")]


@pytest.mark.parametrize("road", ["direct", "through read and write"])
@pytest.mark.parametrize("answer, error, text", [
    (frame("01 03 04 00 0A 00 0B")[:-1] + b"\x00", ValueError, "crc error"),
    (frame("01 03 04 00 0A 00 0B")[:3], OSError, "read from slave timeout"),
    (frame("01 83 02"), brel_modbus.SlaveException, "error code: 2"),
    (b"\xff" * 9, ValueError, "crc error"),
], ids=["wrong CRC", "short answer", "exception answer", "garbage"])
def test_a_broken_answer_is_a_clear_error_and_the_next_call_works(servers, road, answer, error, text):
    server = servers(answering(answer, ANSWER))
    with brel_modbus.Master(server.url, 9600, 0.3) as master:
        master.recovery_delay = 0.05
        calls = []
        if road != "direct":   # the instance's own read and write: the interpreter's road
            channel = master.serial
            read, write = channel.read, channel.write
            channel.__dict__["read"] = lambda size: calls.append(("read", size)) or read(size)
            channel.__dict__["write"] = lambda data: calls.append(("write", bytes(data))) or write(data)
        with pytest.raises(error, match=text):
            master.read_registers(STATION, 0, 2)
        assert master.last_feedback_received == answer[:len(master.last_feedback_received)]
        assert master.read_registers(STATION, 0, 2) == [10, 11]
        assert master.last_feedback_received == ANSWER
    assert server.requests == [READ, READ]
    assert (("write", READ) in calls) == (road != "direct")


def test_an_answer_in_pieces_is_put_together(servers):
    pieces = [ANSWER[:1], ANSWER[1:4], ANSWER[4:6], ANSWER[6:]]
    server = servers(answering(pieces))
    with brel_modbus.Master(server.url, 9600, 1.0) as master:
        assert master.read_registers(STATION, 0, 2) == [10, 11]


def test_a_late_answer_is_not_taken_for_the_next_one(servers):
    late = frame("01 03 04 00 63 00 63")

    def script(conn, server):
        server.request(conn)
        time.sleep(0.4)            # after the master's time-out
        conn.sendall(late)
        server.request(conn)
        conn.sendall(ANSWER)
        conn.recv(1)

    server = servers(script)
    with brel_modbus.Master(server.url, 9600, 0.2) as master:
        with pytest.raises(OSError, match="read from slave timeout"):
            master.read_registers(STATION, 0, 2)
        assert master.last_feedback_received == b""
        time.sleep(0.3)            # the late answer is on its way
        assert master.read_registers(STATION, 0, 2) == [10, 11]


@pytest.mark.parametrize("pieces, error, text", [
    ((), ConnectionError, "Connection closed by \\('127.0.0.1', "),
    ((ANSWER[:3],), OSError, "read from slave timeout"),
], ids=["closed without an answer", "closed within the answer"])
def test_a_server_that_closes_is_reached_again_by_the_next_call(servers, pieces, error, text):
    server = servers(closing(*pieces), answering(ANSWER))
    with brel_modbus.Master(server.url, 9600, 1.0) as master:
        with pytest.raises(error, match=text):
            master.read_registers(STATION, 0, 2)
        assert master.last_feedback_received == b"".join(pieces)
        assert master.read_registers(STATION, 0, 2) == [10, 11]
        assert master.serial.is_open
    assert server.requests == [READ, READ]


def test_a_server_that_drops_an_idle_connection_costs_nothing(servers):
    dropped = threading.Event()

    def answer_once(conn, server):
        server.request(conn)
        conn.sendall(ANSWER)
        conn.shutdown(socket.SHUT_WR)
        dropped.set()

    server = servers(answer_once, answering(ANSWER))
    with brel_modbus.Master(server.url, 9600, 1.0) as master:
        assert master.read_registers(STATION, 0, 2) == [10, 11]
        assert dropped.wait(WAIT)
        time.sleep(0.05)   # the server's close on its way
        assert master.read_registers(STATION, 0, 2) == [10, 11]
    assert server.requests == [READ, READ]


def test_modbus_ascii_over_tcp(servers):
    def script(conn, server):
        server.request(conn, 17)                      # ':' 01 03 0000 0002 LRC CR LF
        conn.sendall(b":010304000A000BE3\r\n")        # 01 03 04 000A 000B, LRC E3
        conn.recv(1)

    server = servers(script)
    with brel_modbus.Master(server.url, 9600, 1.0, framing="ascii") as master:
        assert type(master.serial.line) is brel_modbus.TcpChannel
        assert master.read_registers(STATION, 0, 2) == [10, 11]
        assert master.last_feedback_received == ANSWER
    assert server.requests == [b":010300000002FA\r\n"]


def test_nothing_listening_fails_in_the_constructor():
    with socket.socket() as probe:   # a port that was free a moment ago
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with pytest.raises(ConnectionRefusedError):
        brel_modbus.Master(f"rtu+tcp://127.0.0.1:{port}", 9600, 1.0)


def test_channel_members(servers):
    def script(conn, server):
        server.request(conn, 3)
        conn.sendall(b"abcdef")
        conn.recv(1)

    server = servers(script)
    channel = brel_modbus.TcpChannel("127.0.0.1", server.port, 1.0)
    with channel:
        assert channel.write(bytearray(b"xyz")) == 3
        assert channel.read(2) == b"ab"
        assert channel.in_waiting == 4
        channel.timeout = 0
        assert channel.read(10) == b"cdef"
        assert channel.read() == b""
        with pytest.raises(ValueError, match="time-out"):
            channel.timeout = -1.0
        assert channel.timeout == 0.0
        assert channel.broadcast_delay == 0.1
    assert not channel.is_open
    channel.close()
    with pytest.raises(OSError, match="the channel is closed"):
        channel.read(1)
    assert server.requests == [b"xyz"]


def test_timeout_reaches_the_channel_as_a_float(servers):
    server = servers(answering())
    with brel_modbus.Master(server.url, 9600, 1) as master:
        master.timeout = 2
        assert master.serial.timeout == 2.0 and type(master.timeout) is float


@pytest.mark.parametrize("url, host, port", [
    ("rtu+tcp://127.0.0.1:502", "127.0.0.1", 502),
    ("rtu+tcp://localhost:4001", "localhost", 4001),
    ("rtu+tcp://[::1]:5020", "::1", 5020),
])
def test_url(url, host, port):
    assert split_rtu_over_tcp(url) == (host, port)


@pytest.mark.parametrize("url", ["rtu+tcp://127.0.0.1", "rtu+tcp://:502", "rtu+tcp://127.0.0.1:0",
                                 "rtu+tcp://127.0.0.1:70000", "rtu+tcp://127.0.0.1:x"])
def test_bad_url(url):
    with pytest.raises(ValueError, match="expected rtu\\+tcp://host:port"):
        brel_modbus.Master(url, 9600, 1.0)


@pytest.mark.parametrize("keywords, error, text", [
    ({"echo": True}, ValueError, "echo needs a serial line"),
    ({"rs485": True}, ValueError, "rs485 needs a serial line"),
    ({"low_latency": True}, ValueError, "low_latency needs a serial line"),
    ({"baud": 9600}, TypeError, "unexpected keyword argument 'baud'"),
])
def test_serial_only_keywords_are_refused(keywords, error, text):
    with pytest.raises(error, match=text):
        brel_modbus.Master("rtu+tcp://127.0.0.1:9", 9600, 1.0, **keywords)


def test_line_settings_are_taken(servers):
    server = servers(answering(ANSWER))
    with brel_modbus.Master(server.url, 9600, 1.0, parity="E", stopbits=1, bytesize=8) as master:
        assert master.read_registers(STATION, 0, 2) == [10, 11]
