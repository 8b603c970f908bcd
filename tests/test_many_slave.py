"""The many-connection Modbus TCP slave of the scale benchmark (bench/c/many_slave.c, built
with `make bench-tools`) against our ModbusTCPMaster, pymodbus's client and raw sockets:
its table, exception answers, framing over split and joined reads, many connections at
once, and its --reverse, --delay-ms and --drop-unit options. Loopback only; every wait is
bounded."""

from __future__ import annotations

import selectors
import socket
import struct
import sys
import threading
import time
from pathlib import Path

import pytest

import brel_modbus

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
from common import MANY_SLAVE, run_many_slave  # noqa: E402

pytestmark = pytest.mark.skipif(not MANY_SLAVE.exists(),
                                reason="the many-connection slave is not built (make bench-tools)")

TABLE_SIZE = 10000   # holding register a holds a, input register a holds a + TABLE_SIZE


def holding(address, count):
    return [address + i for i in range(count)]


def inputs(address, count):
    return [TABLE_SIZE + address + i for i in range(count)]


def frame(tid, pdu, unit=1):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def read_pdu(fc, address, count):
    return struct.pack(">BHH", fc, address, count)


def read_answer(tid, fc, address, count, unit=1):
    values = holding(address, count) if fc == 3 else inputs(address, count)
    return frame(tid, struct.pack(f">BB{count}H", fc, 2 * count, *values), unit)


def exception_answer(tid, fc, code, unit=1):
    return frame(tid, bytes([fc | 0x80, code]), unit)


def recv_exactly(sock, n, timeout=5.0):
    """n bytes from sock, or fewer when the peer closed; fails when they do not come in time."""
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            break
        data += part
    return data


def nothing_within(sock, seconds):
    sel = selectors.DefaultSelector()
    sel.register(sock, selectors.EVENT_READ)
    try:
        return not sel.select(seconds)
    finally:
        sel.close()


@pytest.fixture(scope="module")
def port():
    with run_many_slave() as slave:
        yield slave.port


@pytest.fixture
def raw(port):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        yield sock


# ---- the table through the masters ----------------------------------------------------------

@pytest.mark.parametrize("address, count", [(0, 1), (0, 10), (1234, 125), (TABLE_SIZE - 3, 3)])
def test_brel_reads(port, address, count):
    with brel_modbus.ModbusTCPMaster("127.0.0.1", port, 2.0) as plc:
        assert plc.read_registers(address, count) == holding(address, count)
        assert plc.read_input_registers(address, count) == inputs(address, count)


def test_brel_writes_are_echoed(port):
    with brel_modbus.ModbusTCPMaster("127.0.0.1", port, 2.0) as plc:
        plc.write_single_register(320, 0x1234)
        plc.write_register(321, 7)
        plc.write_registers(100, list(range(123)))
        assert plc.last_feedback_received[7:] == bytes([16, 0, 100, 0, 123])


@pytest.mark.parametrize("call, fc, code", [
    (lambda plc: plc.read_registers(TABLE_SIZE - 1, 2), 3, 2),
    (lambda plc: plc.read_input_registers(TABLE_SIZE, 1), 4, 2),
    (lambda plc: plc.write_registers(TABLE_SIZE - 2, [1, 2, 3]), 16, 2),
    (lambda plc: plc.write_single_register(TABLE_SIZE, 1), 6, 2),
    (lambda plc: plc.read_coils(0, 8), 1, 1),
])
def test_brel_exception_answers(port, call, fc, code):
    with brel_modbus.ModbusTCPMaster("127.0.0.1", port, 2.0) as plc:
        with pytest.raises(brel_modbus.TCPSlaveException) as info:
            call(plc)
        assert (info.value.function_code, info.value.error_code) == (fc, code)
        assert plc.read_registers(5, 2) == [5, 6]   # the connection goes on


def test_pymodbus_client(port):
    from pymodbus.client import ModbusTcpClient

    client = ModbusTcpClient("127.0.0.1", port=port, timeout=2, retries=0)
    assert client.connect()
    try:
        assert client.read_holding_registers(40, count=10, device_id=3).registers == holding(40, 10)
        assert client.read_input_registers(7, count=2, device_id=3).registers == inputs(7, 2)
        assert not client.write_registers(500, [9, 8, 7], device_id=3).isError()
        assert not client.write_register(501, 65535, device_id=3).isError()
        answer = client.read_holding_registers(TABLE_SIZE, count=1, device_id=3)
        assert answer.isError() and answer.exception_code == 2
    finally:
        client.close()


# ---- exception answers that the masters do not let through: raw requests --------------------

@pytest.mark.parametrize("pdu, answer_pdu", [
    (read_pdu(3, 0, 0), bytes([0x83, 3])),
    (read_pdu(4, 0, 126), bytes([0x84, 3])),
    (read_pdu(3, 0, 125) + b"\x00", bytes([0x83, 3])),                  # one byte too many
    (struct.pack(">BHHB", 16, 0, 2, 3) + b"\x00" * 3, bytes([0x90, 3])),  # byte count not 2 x count
    (struct.pack(">BHHB", 16, 0, 0, 0), bytes([0x90, 3])),                # no register
    (b"\x06\x00\x01", bytes([0x86, 3])),
    (b"\x2b\x0e\x01\x00", bytes([0xAB, 1])),
    (b"\x81", bytes([0x81, 1])),
])
def test_raw_exception_answers(raw, pdu, answer_pdu):
    raw.sendall(frame(77, pdu, unit=9))
    expected = frame(77, answer_pdu, unit=9)
    assert recv_exactly(raw, len(expected)) == expected


# ---- framing ----------------------------------------------------------------------------------

def test_pipelined_frames_in_one_send(raw):
    # more frames than a connection holds unanswered: the rest wait in the socket
    requests, expected = [], b""
    for tid in range(60):
        fc, address, count = (3, tid * 11, 1 + tid % 125) if tid % 3 else (4, tid, 2)
        requests.append(frame(tid, read_pdu(fc, address, count), unit=tid % 7))
        expected += read_answer(tid, fc, address, count, unit=tid % 7)
    requests.append(frame(60, b"\x05\x00\x00\xff\x00"))
    expected += exception_answer(60, 5, 1)
    raw.sendall(b"".join(requests))
    assert recv_exactly(raw, len(expected)) == expected


@pytest.mark.parametrize("split", [1, 5, 6, 7, 9, 11])
def test_half_sent_frame(raw, split):
    request = frame(0xBEEF, read_pdu(3, 17, 4))
    raw.sendall(request[:split])
    assert nothing_within(raw, 0.05)
    raw.sendall(request[split:] + request[:split])   # the rest, and the start of the next one
    expected = read_answer(0xBEEF, 3, 17, 4)
    assert recv_exactly(raw, len(expected)) == expected
    raw.sendall(request[split:])
    assert recv_exactly(raw, len(expected)) == expected


@pytest.mark.parametrize("header", [
    struct.pack(">HHHB", 1, 1, 6, 1),        # protocol identifier not 0
    struct.pack(">HHHB", 1, 0, 0, 1),        # length 0
    struct.pack(">HHHB", 1, 0, 1, 1),        # no function code
    struct.pack(">HHHB", 1, 0, 255, 1),      # one byte beyond the largest PDU
    struct.pack(">HHHB", 1, 0, 0xFFFF, 1),
    b"GET / HTTP/1.1\r\n\r\n",
])
def test_bad_header_closes_that_connection_only(port, raw, header):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as other:
        raw.sendall(header + b"\x03\x00\x00\x00\x01")
        try:
            assert recv_exactly(raw, 1) == b""
        except ConnectionResetError:
            pass
        other.sendall(frame(2, read_pdu(3, 8, 1)))
        expected = read_answer(2, 3, 8, 1)
        assert recv_exactly(other, len(expected)) == expected


# ---- many connections -------------------------------------------------------------------------

def test_200_raw_connections_answer_by_answer(port):
    conns, rounds = 200, 5
    socks = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(conns)]
    try:
        for r in range(rounds):
            expected = {}
            for i, sock in enumerate(socks):
                tid, address, count = (r << 8) | (i & 0xFF), (i * 37 + r) % 9000, 1 + (i + r) % 50
                fc = 3 if (i + r) % 2 else 4
                sock.sendall(frame(tid, read_pdu(fc, address, count), unit=i % 256))
                expected[sock] = read_answer(tid, fc, address, count, unit=i % 256)
            for sock in socks:
                assert recv_exactly(sock, len(expected[sock])) == expected[sock]
    finally:
        for sock in socks:
            sock.close()


def test_200_masters_on_threads(port):
    masters = [brel_modbus.ModbusTCPMaster("127.0.0.1", port, 5.0, station=i % 256) for i in range(200)]
    errors = []
    start = threading.Barrier(len(masters))

    def work(i, plc):
        try:
            start.wait(timeout=10)
            for k in range(20):
                address, count = (i * 13 + k) % 9000, 1 + (i + k) % 30
                got = plc.read_registers(address, count) if k % 2 else plc.read_input_registers(address, count)
                want = holding(address, count) if k % 2 else inputs(address, count)
                if got != want:
                    errors.append((i, k, got[:4]))
        except Exception as e:   # noqa: BLE001 - reported below, with the master's number
            errors.append((i, repr(e)))

    threads = [threading.Thread(target=work, args=(i, plc)) for i, plc in enumerate(masters)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        assert not any(t.is_alive() for t in threads)
        assert errors == []
    finally:
        for plc in masters:
            plc.close()


# ---- options --------------------------------------------------------------------------------

def test_reverse_answers_pending_requests_last_first():
    with run_many_slave("--reverse") as slave:
        with socket.create_connection(("127.0.0.1", slave.port), timeout=5) as sock:
            sock.sendall(b"".join(frame(tid, read_pdu(3, tid, 2)) for tid in range(1, 5)))
            expected = b"".join(read_answer(tid, 3, tid, 2) for tid in range(4, 0, -1))
            assert recv_exactly(sock, len(expected)) == expected
        # one request at a time comes back as it went
        with brel_modbus.ModbusTCPMaster("127.0.0.1", slave.port, 2.0) as plc:
            assert [plc.read_registers(a, 3) for a in range(5)] == [holding(a, 3) for a in range(5)]


def test_delay_holds_each_answer_without_holding_the_others():
    delay = 0.3
    with run_many_slave("--delay-ms", str(int(delay * 1000))) as slave:
        port = slave.port
        socks = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(20)]
        try:
            for i, sock in enumerate(socks):
                sock.sendall(frame(i, read_pdu(3, i, 1)))
            assert nothing_within(socks[-1], delay / 3)
            started = time.monotonic()
            for i, sock in enumerate(socks):
                assert recv_exactly(sock, 11) == read_answer(i, 3, i, 1)
            # one delay for all of them together, not one after the other (20 x 0.3 s)
            assert time.monotonic() - started < 5 * delay
        finally:
            for sock in socks:
                sock.close()


def test_dropped_unit_times_out_and_others_are_answered():
    with run_many_slave("--drop-unit", "7") as slave:
        port = slave.port
        with brel_modbus.ModbusTCPMaster("127.0.0.1", port, 0.2, station=7) as dead:
            with pytest.raises(TimeoutError):
                dead.read_registers(0, 1)
        with brel_modbus.ModbusTCPMaster("127.0.0.1", port, 2.0, station=8) as alive:
            assert alive.read_registers(3, 2) == [3, 4]
        with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
            # on one connection: the dead unit's request is skipped, the next is answered
            sock.sendall(frame(1, read_pdu(3, 0, 1), unit=7) + frame(2, read_pdu(3, 9, 1), unit=6))
            assert recv_exactly(sock, 11) == read_answer(2, 3, 9, 1, unit=6)
            assert nothing_within(sock, 0.1)


def test_stops_on_sigterm():
    with run_many_slave() as slave:
        port = slave.port
        sock = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        # the slave is gone: the open connection was closed and nobody listens any more
        assert recv_exactly(sock, 1) == b""
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
    finally:
        sock.close()


# ---- the scale benchmark's own clients (bench/scale.py) ------------------------------------------

@pytest.fixture(scope="module")
def scale():
    import scale

    return scale


@pytest.mark.parametrize("name", ["raw-protocol", "raw", "pymodbus", "brel-to-thread"])
def test_scale_clients_check_every_answer(scale, port, name):
    import asyncio

    result = asyncio.run(scale.scale_child(name, port, 20, 0.2))
    assert (result["errors"], result["first_error"]) == (0, None)
    assert result["requests"] >= 20 and result["connections"] == 20


@pytest.mark.parametrize("name", ["raw-1", "raw-4"])
def test_scale_pipeline_matches_reversed_answers(scale, name):
    import asyncio

    # with --reverse the answers of requests that are due together come back last first
    with run_many_slave("--delay-ms", "2", "--reverse") as slave:
        result = asyncio.run(scale.pipeline_child(name, slave.port, 0.3))
    assert (result["errors"], result["first_error"]) == (0, None)
    assert result["requests"] > 0 and result["in_flight"] == int(name[-1])


def test_scale_lists_the_asyncio_master_when_the_library_has_it(scale, monkeypatch):
    monkeypatch.delattr(brel_modbus, "AsyncModbusTCPMaster", raising=False)
    assert "brel-async" not in scale.available_clients()
    assert not any(n.startswith("brel-async") for n in scale.available_pipeline_clients())
    monkeypatch.setattr(brel_modbus, "AsyncModbusTCPMaster", object, raising=False)
    assert "brel-async" in scale.available_clients()
    assert {"brel-async-1", "brel-async-4"} <= set(scale.available_pipeline_clients())


@pytest.mark.parametrize("options", [(), ("--delay-ms", "20"), ("--delay-ms", "1", "--reverse")])
def test_requests_before_the_peer_shuts_down_are_answered(options):
    # more requests than a connection holds unanswered, then the peer shuts down its side
    with run_many_slave(*options) as slave, socket.create_connection(("127.0.0.1", slave.port), timeout=5) as sock:
        sock.sendall(b"".join(frame(tid, read_pdu(3, tid, 1)) for tid in range(40)) + frame(40, read_pdu(3, 0, 1))[:9])
        sock.shutdown(socket.SHUT_WR)
        answers = recv_exactly(sock, 40 * 11 + 1)
        assert len(answers) == 40 * 11   # the half frame at the end is never answered: closed
        tids = sorted(struct.unpack_from(">H", answers, 11 * i)[0] for i in range(40))
        assert tids == list(range(40))
        assert sorted(answers[11 * i:11 * i + 11] for i in range(40)) == sorted(
            read_answer(tid, 3, tid, 1) for tid in range(40))
