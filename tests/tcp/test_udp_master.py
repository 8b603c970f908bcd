"""ModbusUDPMaster against pymodbus's UDP server and a scripted UDP server that drops,
duplicates, reorders and forges datagrams."""

from __future__ import annotations

import socket
import struct
import threading

import pytest

import brel_modbus

from tcp_support import WAIT, mbap


# ---- pymodbus's UDP server ---------------------------------------------------------------

@pytest.fixture(scope="module")
def pymodbus_udp():
    from simulator import make_context, start_udp_server

    server = start_udp_server(make_context())
    server.port = server.udp_port
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def udp(pymodbus_udp):
    with brel_modbus.ModbusUDPMaster("127.0.0.1", pymodbus_udp.port, 1.0) as master:
        yield master


def test_the_class_is_the_tcp_masters_over_datagrams(udp, pymodbus_udp):
    assert isinstance(udp, brel_modbus.ModbusTCPMaster)
    assert udp.socket.type == socket.SOCK_DGRAM
    assert udp.socket.getpeername() == ("127.0.0.1", pymodbus_udp.port)
    assert udp.station == 1 and udp.timeout == 1.0


def test_reads_and_writes_on_pymodbus(udp):
    first = udp.read_registers(0, 10)
    assert udp.last_command_sent == mbap(1, bytes.fromhex("03 00 00 00 0A"))
    assert udp.last_feedback_received[:9] == bytes.fromhex("00 01 00 00 00 17 01 03 14")
    udp.write_registers(20, [1, 2, 0xFFFF])
    assert udp.read_registers(20, 3) == [1, 2, 0xFFFF]
    udp.write_register(23, 0xBEEF)
    assert udp.read_register(23) == 0xBEEF
    udp.write_coil(30, True)
    assert udp.read_coil(30) is True
    udp.write_float(60, 1234.5)
    assert udp.read_float(60) == 1234.5
    assert udp.read_registers(0, 10) == first
    assert udp.last_command_sent[:2] == (10).to_bytes(2, "big")   # one transaction id per request


def test_an_exception_answer_is_the_tcp_masters(udp):
    with pytest.raises(brel_modbus.TCPSlaveException) as info:
        udp.read_registers(9000, 2)
    assert (info.value.function_code, info.value.error_code) == (3, 2)
    assert udp.read_register(0) == udp.read_registers(0, 1)[0]


def test_a_poller_reads_through_it(udp):
    poller = brel_modbus.Poller(udp)
    poller.add("first", 1, "holding", 0)
    poller.add("pair", 1, "holding", 1, "HH")
    assert poller.plan() == [(1, "holding", 0, 3, ["first", "pair"])]
    assert poller.poll() == {"first": udp.read_register(0), "pair": udp.read_registers(1, 2)}


def test_station_is_checked_before_anything_is_made():
    with pytest.raises(OverflowError):
        brel_modbus.ModbusUDPMaster("127.0.0.1", 9, 1.0, 256)


# ---- a scripted UDP server ---------------------------------------------------------------

class DatagramServer:
    """Answers each request datagram with what script(request, server) returns: a list of
    (datagram, source) pairs, source None for the server's own socket, "other" for a
    socket on another port."""

    def __init__(self, script):
        self.script = script
        self.requests = []
        self.errors = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            while not self.stopping.is_set():
                try:
                    request, client = self.sock.recvfrom(1024)
                except TimeoutError:
                    continue
                self.requests.append(request)
                for datagram, source in self.script(request, self):
                    (self.other if source == "other" else self.sock).sendto(datagram, client)
        except Exception as exc:   # reported by stop()
            self.errors.append(exc)

    def stop(self):
        self.stopping.set()
        self.thread.join(WAIT)
        self.sock.close()
        self.other.close()
        assert not self.thread.is_alive() and not self.errors, self.errors


@pytest.fixture
def datagram_server():
    made = []

    def start(script):
        server = DatagramServer(script)
        made.append(server)
        return server

    yield start
    for server in made:
        server.stop()


def tid(request):
    return struct.unpack(">H", request[:2])[0]


def registers(transaction, *values, unit=1):
    return mbap(transaction, bytes((3, 2 * len(values))) + b"".join(v.to_bytes(2, "big") for v in values), unit)


def nth(request, server):
    return len(server.requests)


@pytest.mark.parametrize("script", [
    # a late answer to the earlier request first, then the answer
    lambda r, s: [(registers(tid(r) - 1, 99), None), (registers(tid(r), 7), None)],
    # an unknown transaction id, then the answer
    lambda r, s: [(registers(0xABCD, 99), None), (registers(tid(r), 7), None)],
    # the same answer from another port of the server's host, then from its own port
    lambda r, s: [(registers(tid(r), 99), "other"), (registers(tid(r), 7), None)],
    # a datagram declaring more than it carries, one too long, garbage, then the answer
    lambda r, s: [(registers(tid(r), 99)[:-1], None), (registers(tid(r), 99) + b"\0", None), (b"\x01\x02", None),
                  (registers(tid(r), 7), None)],
    # the answer twice: the duplicate waits until the next request and is dropped then
    lambda r, s: [(registers(tid(r), 7), None), (registers(tid(r), 7), None)],
], ids=["late answer first", "unknown id", "another port", "broken datagrams", "duplicate"])
def test_stray_datagrams_are_dropped_while_the_call_waits(datagram_server, script):
    server = datagram_server(script)
    with brel_modbus.ModbusUDPMaster("127.0.0.1", server.port, 1.0) as master:
        for transaction in (1, 2, 3):
            assert master.read_registers(5, 1) == [7]
            assert master.last_feedback_received == registers(transaction, 7)
    assert [tid(r) for r in server.requests] == [1, 2, 3]


def test_a_lost_datagram_times_out_and_the_next_call_works(datagram_server):
    server = datagram_server(lambda r, s: [] if nth(r, s) == 1 else [(registers(tid(r), 7), None)])
    with brel_modbus.ModbusUDPMaster("127.0.0.1", server.port, 0.2) as master:
        with pytest.raises(TimeoutError, match="timed out"):
            master.read_registers(5, 1)
        assert master.last_feedback_received == b""
        assert master.read_registers(5, 1) == [7]


def test_retries_send_a_lost_request_again(datagram_server):
    server = datagram_server(lambda r, s: [] if nth(r, s) == 1 else [(registers(tid(r), 7), None)])
    with brel_modbus.ModbusUDPMaster("127.0.0.1", server.port, 0.2) as master:
        master.retries = 1
        assert master.read_registers(5, 1) == [7]
    assert len(server.requests) == 2


def test_an_answer_out_of_order_is_not_taken(datagram_server):
    # The answer to request 1 comes only after request 2 was sent: request 1 times out,
    # and request 2 takes its own answer, not the late one.
    held = []

    def script(request, server):
        if nth(request, server) == 1:
            held.append(registers(tid(request), 1))
            return []
        return [(held.pop(), None), (registers(tid(request), 2), None)]

    server = datagram_server(script)
    with brel_modbus.ModbusUDPMaster("127.0.0.1", server.port, 0.2) as master:
        with pytest.raises(TimeoutError, match="timed out"):
            master.read_registers(5, 1)
        assert master.read_registers(5, 1) == [2]


def test_a_closed_port_is_refused():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:   # free a moment ago
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with brel_modbus.ModbusUDPMaster("127.0.0.1", port, 1.0) as master:
        with pytest.raises(ConnectionRefusedError):
            master.read_registers(0, 1)
        assert master.socket.type == socket.SOCK_DGRAM   # the same socket: nothing to reconnect
