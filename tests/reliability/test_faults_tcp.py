"""ModbusTCPMaster over real connections to misbehaving servers on 127.0.0.1: a scripted
server for the faults, a pymodbus server stopped and started again.

Every fault must end in the documented exception within the time-out plus a margin
(a bound, not a speed target), and the next request on a healthy line must succeed."""

from __future__ import annotations

import socket
import struct
import threading
import time

import pytest

import brel_modbus
from rel_support import (
    LoopServer, WAIT, elapsed, free_port, make_context, mbap, scripted_servers,
)

TIMEOUT = 0.5
MARGIN = 1.0


@pytest.fixture
def servers():
    with scripted_servers() as start:
        yield start


def answer(request):
    """A healthy server: register i holds i; writes are echoed."""
    transaction, protocol, unit, pdu = request
    code = pdu[0]
    if code == 3:
        address, count = struct.unpack(">HH", pdu[1:5])
        data = b"".join(((address + i) & 0xFFFF).to_bytes(2, "big") for i in range(count))
        return mbap(transaction, bytes((3, len(data))) + data, unit=unit, protocol=protocol)
    if code == 1:
        address, count = struct.unpack(">HH", pdu[1:5])
        bits = [(address + i) % 2 == 1 for i in range(count)]
        data = bytes(sum(1 << j for j, on in enumerate(bits[k:k + 8]) if on) for k in range(0, count, 8))
        return mbap(transaction, bytes((1, len(data))) + data, unit=unit, protocol=protocol)
    return mbap(transaction, pdu[:5], unit=unit, protocol=protocol)   # 5 and 16 echo


def peer(port):
    return str(("127.0.0.1", port))


# ---- faults on a connection that stays up --------------------------------------------------------

def silent(conn, request):
    pass


def garbage(conn, request):
    conn.sendall(bytes.fromhex("DE AD BE EF 13 37 C0 FF EE 00 11 22 33 44 55"))


def foreign_transaction(conn, request):
    conn.sendall(answer((request[0] + 7, *request[1:])))


def length_65535(conn, request):
    conn.sendall(mbap(request[0], bytes((3, 0x7E)) + bytes(20), unit=request[2], length=65535))


def length_65535_trickled(conn, request):
    """The header at once, then one byte at a time, each well inside the time-out."""
    conn.sendall(mbap(request[0], bytes((3,)), unit=request[2], length=65535))
    for _ in range(12):
        conn.sendall(b"\x00")
        time.sleep(TIMEOUT / 4)


def header_trickled(conn, request):
    for byte in answer(request)[:7]:
        conn.sendall(bytes([byte]))
        time.sleep(TIMEOUT / 3)


def single_bytes(conn, request):
    for byte in answer(request):
        conn.sendall(bytes([byte]))
        time.sleep(0.002)


def late(conn, request):
    time.sleep(TIMEOUT + 0.3)
    conn.sendall(answer(request))


def exception_answer(conn, request):
    conn.sendall(mbap(request[0], bytes((request[3][0] | 0x80, 2)), unit=request[2]))


OPERATIONS = {
    "read_registers": ((10, 3), [10, 11, 12]),
    "read_coils": ((3, 4), [True, False, True, False]),
    "write_registers": ((5, [1, 2]), None),
    "write_coil": ((6, True), None),
}

# (fault, operation, exception type, text or None; "{peer}" stands for the server's address)
LINE_FAULTS = [
    (silent, "read_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (silent, "write_coil", brel_modbus.ModbusTimeoutError, "timed out"),
    (garbage, "read_registers", brel_modbus.MismatchError, "Received data header invalid from {peer}"),
    (garbage, "write_registers", brel_modbus.MismatchError, "Received data header invalid from {peer}"),
    (foreign_transaction, "read_coils", brel_modbus.MismatchError, "Received data header invalid from {peer}"),
    (length_65535, "read_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (length_65535_trickled, "read_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (header_trickled, "read_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (late, "read_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (late, "write_registers", brel_modbus.ModbusTimeoutError, "timed out"),
    (exception_answer, "read_registers", brel_modbus.TCPSlaveException,
     "modbus slave reports an exception. station: 1, function code: 3, error code: 2"),
    (exception_answer, "write_coil", brel_modbus.TCPSlaveException,
     "modbus slave reports an exception. station: 1, function code: 5, error code: 2"),
    (single_bytes, "read_registers", None, None),
    (single_bytes, "write_coil", None, None),
]


@pytest.mark.parametrize("fault, operation, kind, text", LINE_FAULTS,
                         ids=[f"{f.__name__}-{op}" for f, op, *_ in LINE_FAULTS])
def test_fault_then_healthy_request_on_the_same_connection(servers, fault, operation, kind, text):
    done = threading.Event()

    def script(conn, server):
        fault(conn, server.request(conn))
        done.set()
        conn.sendall(answer(server.request(conn)))           # healthy from here on
        conn.sendall(answer(server.request(conn)))

    server = servers(script)
    args, expected = OPERATIONS[operation]
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        error, seconds = elapsed(getattr(master, operation), *args)
        if kind is None:
            assert error is None
        else:
            assert type(error) is kind and str(error) == text.format(peer=peer(server.port))
        assert seconds < TIMEOUT + MARGIN
        assert done.wait(WAIT)
        time.sleep(0.05)                                     # whatever the fault still sent has arrived
        assert getattr(master, operation)(*args) == expected
        assert master.read_registers(200, 2) == [200, 201]
    assert server.stop() == []


# ---- faults that take the connection down: a new master on a healthy line must succeed -----------

def healthy(servers):
    def script(conn, server):
        conn.sendall(answer(server.request(conn)))

    return servers(script)


def test_server_not_started(servers):
    port = free_port()
    error, seconds = elapsed(brel_modbus.ModbusTCPMaster, "127.0.0.1", port, TIMEOUT)
    assert isinstance(error, ConnectionRefusedError)
    assert seconds < TIMEOUT + MARGIN
    server = healthy(servers)
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        assert master.read_registers(1, 2) == [1, 2]
    assert server.stop() == []


@pytest.mark.parametrize("sent_before_close", [0, 5, 10])
def test_server_closes_mid_frame(servers, sent_before_close):
    first = []

    def script(conn, server):
        request = server.request(conn)
        if first:
            conn.sendall(answer(request))
            return
        first.append(request)
        conn.sendall(answer(request)[:sent_before_close])

    server = servers(script, connections=2)
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        error, seconds = elapsed(master.read_registers, 0, 4)     # 8 + 9 bytes expected
        assert type(error) is brel_modbus.ConnectionClosedError
        assert str(error) == f"Connection closed by {peer(server.port)}"
        assert seconds < TIMEOUT + MARGIN
        assert master.last_feedback_received == answer(first[0])[:sent_before_close]
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        assert master.read_registers(0, 4) == [0, 1, 2, 3]
    assert server.stop() == []


def pymodbus_server(context, port):
    from pymodbus import FramerType
    from pymodbus.server import ModbusTcpServer

    return LoopServer(lambda: ModbusTcpServer(context, framer=FramerType.SOCKET, address=("127.0.0.1", port),
                                              ignore_missing_devices=True)).start()


def test_server_stopped_and_restarted_between_requests():
    context = make_context()
    port = free_port()
    server = pymodbus_server(context, port)
    try:
        with brel_modbus.ModbusTCPMaster("127.0.0.1", port, TIMEOUT) as master:
            master.write_registers(400, [7, 8])
            server.stop()
            error, seconds = elapsed(master.read_registers, 400, 2)
            assert isinstance(error, ConnectionError)        # reset, broken pipe or "Connection closed by"
            assert seconds < TIMEOUT + MARGIN
            server = pymodbus_server(context, port)
            assert master.read_registers(400, 2) == [7, 8]    # the same master, on a new connection
            server.stop()
            server = pymodbus_server(context, port)
            master.retries = 1                               # now the failed call itself goes through
            assert master.read_registers(400, 2) == [7, 8]
    finally:
        server.stop()


def test_trickling_socket_without_file_descriptor_is_bounded_too(monkeypatch):
    """A socket object that cannot tell its descriptor: the deadline is checked between receives."""
    class Trickling:
        timeout = TIMEOUT

        def __init__(self):
            self.request = b""

        def send(self, data):
            self.request += bytes(data)
            return len(data)

        def recv(self, size):
            time.sleep(TIMEOUT / 5)
            if len(self.request) >= 7:     # the header of the answer, then zeros forever
                head, self.request = self.request[:7], b""
                return (head[:4] + b"\xff\xff" + head[6:7] + b"\x03")[:size]
            return b"\x00"

        def close(self):
            pass

    monkeypatch.setattr(brel_modbus, "_tcp_connect", lambda address, timeout=None: Trickling())
    master = brel_modbus.ModbusTCPMaster("127.0.0.1", 1502, TIMEOUT)
    error, seconds = elapsed(master.read_registers, 0, 2)
    assert type(error) is brel_modbus.ModbusTimeoutError and str(error) == "timed out"
    assert seconds < TIMEOUT + MARGIN


class SocketSubclass(socket.socket):
    """Not exactly socket.socket: the master drives it through its Python methods."""


def subclass_connect(address, timeout=None):
    plain = socket.create_connection(address, timeout=timeout)
    sock = SocketSubclass(fileno=plain.detach())
    sock.settimeout(timeout)
    return sock


@pytest.mark.parametrize("fault", [length_65535, length_65535_trickled, header_trickled, late, single_bytes],
                         ids=lambda f: f.__name__)
def test_faults_bounded_on_a_socket_driven_through_its_methods(servers, monkeypatch, fault):
    monkeypatch.setattr(brel_modbus, "_tcp_connect", subclass_connect)
    done = threading.Event()

    def script(conn, server):
        fault(conn, server.request(conn))
        done.set()
        conn.sendall(answer(server.request(conn)))

    server = servers(script)
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        assert type(master.socket) is SocketSubclass
        error, seconds = elapsed(master.read_registers, 10, 3)
        assert (error is None) if fault is single_bytes else (type(error) is brel_modbus.ModbusTimeoutError)
        assert seconds < TIMEOUT + MARGIN
        assert done.wait(WAIT)
        time.sleep(0.05)
        assert master.read_registers(200, 2) == [200, 201]
    assert server.stop() == []
