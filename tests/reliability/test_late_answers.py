"""ModbusTCPMaster and answers that come late or twice: an answer to one of the master's
recent requests (one that timed out, or one already answered), arriving while the master
waits for the answer to its next request, is recognised by its transaction identifier,
read whole and dropped, and bytes that follow a whole answer are dropped before the next
request; the next request gets its own answer. Any other stranger on the line keeps its
error."""

from __future__ import annotations

import select
import socket
import struct
import threading
import time

import pytest

import brel_modbus
from rel_support import WAIT, mbap, scripted_servers
from simulator import HOLDING, SimulatedSlaves

TIMEOUT = 0.5


def registers(request):
    """The answer of a server whose register i holds 1000 + i."""
    transaction, protocol, unit, pdu = request
    address, count = struct.unpack(">HH", pdu[1:5])
    data = b"".join((1000 + address + i).to_bytes(2, "big") for i in range(count))
    return mbap(transaction, bytes((3, len(data))) + data, unit=unit, protocol=protocol)


@pytest.fixture
def servers():
    with scripted_servers() as start:
        yield start


class PlainSocket(socket.socket):
    """Not exactly socket.socket: the master talks to it through its send and recv."""


@pytest.fixture(params=["direct", "general"])
def connect(request, monkeypatch):
    def make(port):
        if request.param == "general":
            def opened(address, timeout=None):
                sock = PlainSocket(socket.AF_INET, socket.SOCK_STREAM)
                sock.settimeout(timeout)
                sock.connect(address)
                return sock
            monkeypatch.setattr(brel_modbus, "_tcp_connect", opened)
        return brel_modbus.ModbusTCPMaster("127.0.0.1", port, TIMEOUT)
    return make


def send_in_pieces(conn, data, pieces):
    step = max(1, len(data) // pieces)
    for k in range(0, len(data), step):
        conn.sendall(data[k:k + step])
        time.sleep(0.002)


@pytest.mark.parametrize("late, pieces", [(1, 1), (1, 4), (3, 1), (3, 5)])
def test_late_answers_are_skipped(servers, connect, late, pieces):
    """`late` requests time out; their answers come, in pieces, after the next request."""
    def script(conn, server):
        waiting = [server.request(conn) for _ in range(late + 1)]   # the last one is answered in time
        for request in waiting:
            send_in_pieces(conn, registers(request), pieces)
        conn.sendall(registers(server.request(conn)))

    server = servers(script)
    with connect(server.port) as master:
        for k in range(late):
            with pytest.raises(TimeoutError):
                master.read_registers(10 * k, 2)
        assert master.read_registers(100, 3) == [1100, 1101, 1102]
        assert master.last_feedback_received == registers((late + 1, 0, 1, bytes((3, 0, 100, 0, 3))))
        assert master.read_registers(7, 1) == [1007]        # and the line stays in step
    assert server.stop() == []


@pytest.mark.parametrize("stranger, text", [
    (lambda request: mbap(0x7777, bytes((3, 2, 0, 1))), "Received data header invalid from "),   # unknown id
    (lambda request: mbap(1, bytes((3, 2, 0, 1)), protocol=5), "Received data header invalid from "),
    (lambda request: mbap(1, bytes((3, 2, 0, 1)), unit=9), "Received data header invalid from "),
    (lambda request: mbap(1, bytes((3, 2, 0, 1)), length=400), "Received data header invalid from "),
])
def test_other_strangers_keep_their_error(servers, connect, stranger, text):
    def script(conn, server):
        first = server.request(conn)                 # times out
        second = server.request(conn)
        conn.sendall(stranger(first) + registers(second))

    server = servers(script)
    with connect(server.port) as master:
        with pytest.raises(TimeoutError):
            master.read_registers(0, 1)
        with pytest.raises(OSError) as info:
            master.read_registers(0, 1)
        assert str(info.value) == text + str(("127.0.0.1", server.port))
    server.stop()


def test_a_copy_of_a_refused_answer_is_skipped(servers, connect):
    """A request that got its answer, even one the master refused, stays among the recent
    ones: a copy of that answer later is read whole and dropped."""
    def script(conn, server):
        first = server.request(conn)
        conn.sendall(mbap(first[0], bytes((3, 4, 0, 1, 0, 2))))     # two registers for one asked
        second = server.request(conn)
        conn.sendall(mbap(first[0], bytes((3, 2, 0, 1))) + registers(second))

    server = servers(script)
    with connect(server.port) as master:
        with pytest.raises(AssertionError):
            master.read_registers(0, 1)
        assert master.read_registers(0, 1) == [1000]
    assert server.stop() == []


# ---- copies of answers already taken, and stray bytes after an answer ----------------------------

@pytest.mark.parametrize("back, pieces", [(1, 1), (1, 3), (3, 1), (3, 4)])
def test_a_copy_of_an_answered_request_is_skipped(servers, connect, back, pieces):
    """Three requests answered in time; the slave then sends again the answer of the one
    `back` requests before, after the fourth request went out, and then the fourth's."""
    def script(conn, server):
        answered = []
        for _ in range(3):
            answered.append(registers(server.request(conn)))
            conn.sendall(answered[-1])
        fourth = server.request(conn)
        send_in_pieces(conn, answered[-back], pieces)
        conn.sendall(registers(fourth))
        conn.sendall(registers(server.request(conn)))

    server = servers(script)
    with connect(server.port) as master:
        for k in range(3):
            assert master.read_registers(10 * k, 2) == [1000 + 10 * k, 1001 + 10 * k]
        assert master.read_registers(100, 3) == [1100, 1101, 1102]
        assert master.last_feedback_received == registers((4, 0, 1, bytes((3, 0, 100, 0, 3))))
        assert master.read_registers(7, 1) == [1007]        # and the line stays in step
    assert server.stop() == []


@pytest.mark.parametrize("stray", [
    b"\xff",
    b"junk bytes",
    "head",          # the first five bytes of the answer again
    "copy",          # the whole answer again
    bytes(300),
], ids=["one byte", "text", "part of a copy", "whole copy", "300 zeros"])
def test_bytes_after_a_whole_answer_are_dropped(servers, connect, stray):
    """Bytes that come after a whole answer, in a segment of their own after a pause, once
    the master has taken that answer: the next call gets its own answer."""
    sent = threading.Event()

    def script(conn, server):
        answer = registers(server.request(conn))
        conn.sendall(answer)
        time.sleep(0.05)
        conn.sendall({"head": answer[:5], "copy": answer}.get(stray, stray))
        sent.set()
        conn.sendall(registers(server.request(conn)))
        conn.sendall(registers(server.request(conn)))

    server = servers(script)
    with connect(server.port) as master:
        assert master.read_registers(0, 2) == [1000, 1001]
        assert sent.wait(WAIT)
        assert select.select([master.socket], [], [], WAIT)[0]    # the stray bytes wait on the line
        assert master.read_registers(5, 1) == [1005]
        assert master.last_feedback_received == registers((2, 0, 1, bytes((3, 0, 5, 0, 1))))
        assert master.read_registers(6, 1) == [1006]
    assert server.stop() == []


@pytest.mark.parametrize("stranger", [
    lambda second: mbap(second[0], bytes((3, 2, 0, 1)), protocol=5),     # this request's, wrong protocol
    lambda second: mbap(1, bytes((3, 2, 0, 1)), unit=9),                 # an answered request's id, wrong unit
    lambda second: mbap(1, bytes((3, 2, 0, 1)), protocol=5),             # ... wrong protocol
    lambda second: mbap(1, bytes((3, 2, 0, 1)), length=400),             # ... a length no answer has
    lambda second: mbap(0x7777, bytes((3, 2, 0, 1))),                    # an id never used
], ids=["this request, protocol", "answered, unit", "answered, protocol", "answered, length", "unknown"])
def test_strangers_after_an_answered_request_raise_at_once(servers, connect, stranger):
    """Only the identifiers of a recent request, with the request's protocol and unit and a
    length an answer can have, are skipped; any other header is refused as soon as it comes
    (nothing follows it: waiting would end in a time-out)."""
    def script(conn, server):
        conn.sendall(registers(server.request(conn)))
        conn.sendall(stranger(server.request(conn)))

    server = servers(script)
    with connect(server.port) as master:
        assert master.read_registers(0, 1) == [1000]
        with pytest.raises(OSError) as info:
            master.read_registers(0, 1)
        assert type(info.value) is brel_modbus.MismatchError
        assert str(info.value) == "Received data header invalid from " + str(("127.0.0.1", server.port))
    assert server.stop() == []


# ---- a real slave behind a relay that holds back the first answer ----------------------------------

class DelayingRelay:
    """Forwards one client to a server; the first answer is held back for `delay`
    seconds and every later answer queues behind it, as a slow slave's would. Requests
    pass at once."""

    def __init__(self, target_port, delay):
        self.delay = delay
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT)
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.stop = threading.Event()
        self.threads = [threading.Thread(target=self._run, daemon=True)]
        self.threads[0].start()

    def _pipe(self, source, sink, delay):
        release = None
        while not self.stop.is_set():
            if not select.select([source], [], [], 0.05)[0]:
                continue
            data = source.recv(4096)
            if not data:
                return
            if delay:
                release = release or time.monotonic() + delay
                time.sleep(max(0.0, release - time.monotonic()))
            sink.sendall(data)

    def _run(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target_port), timeout=WAIT)
        up = threading.Thread(target=self._pipe, args=(client, server, 0.0), daemon=True)
        up.start()
        self._pipe(server, client, self.delay)
        up.join(WAIT)
        client.close()
        server.close()

    def close(self):
        self.stop.set()
        self.threads[0].join(WAIT)
        self.listener.close()


def test_one_time_out_then_every_answer_right_on_a_real_slave():
    with SimulatedSlaves() as slaves:
        relay = DelayingRelay(slaves.tcp_port, delay=0.3)
        try:
            with brel_modbus.ModbusTCPMaster("127.0.0.1", relay.port, 0.2) as master:
                with pytest.raises(TimeoutError):
                    master.read_registers(0, 2)
                for address in range(1, 20):
                    assert master.read_registers(address, 3) == HOLDING[address:address + 3]
        finally:
            relay.close()
