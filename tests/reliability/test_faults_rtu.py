"""Master over real connections to misbehaving slaves: RTU framing through socket:// to a
raw RTU server on 127.0.0.1, and RTU over a pseudo-terminal pair to a pymodbus slave.

Every fault must end in the documented exception within the time-out plus a margin
(a bound, not a speed target), and the next request on a healthy line must succeed."""

from __future__ import annotations

import threading
import time

import pytest

import brel_linkkit
import brel_modbus
from rel_support import (
    HOLDING, PtyRelay, WAIT, elapsed, free_port, make_context, read_rtu_request, rtu_answer,
    rtu_url, start_serial_server, with_crc, scripted_servers,
)

TIMEOUT = 0.5
MARGIN = 1.0          # generous: the bound is what counts
CRC_TEXT = "modbus: message from slave with station 1 has crc error"
TIMEOUT_TEXT = "modbus: read from slave timeout"


@pytest.fixture(autouse=True)
def real_channels(monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)


@pytest.fixture
def servers():
    with scripted_servers() as start:
        yield start


def open_master(server):
    master = brel_modbus.Master(rtu_url(server), 115200, TIMEOUT)
    # After a fault the next request waits for a quiet line; a short wait keeps these tests
    # quick (the wait itself is tested in tests/rtu/test_rtu_late_answers.py).
    master.recovery_delay = 0.1
    return master


# ---- faults on a line that stays up: the same master must succeed next ----------------------

def flip_last(frame: bytes) -> bytes:
    return frame[:-1] + bytes([frame[-1] ^ 0x5A])


def silent(conn, request):
    pass


def crc_damaged(conn, request):
    conn.sendall(flip_last(rtu_answer(request)))


def garbage_with_exception_flag(conn, request):
    conn.sendall(bytes.fromhex("01 F3 9C 00 11 22 33"))


def garbage_short_for_its_count(conn, request):
    conn.sendall(bytes.fromhex("C7 2E 40 13 37 00 FF 80 00 01 02 03"))   # count 0x40, 9 data bytes


def byte_count_255(conn, request):
    conn.sendall(bytes((request[0], request[1], 255)) + bytes(range(40)))


def single_bytes(conn, request):
    for byte in rtu_answer(request):
        conn.sendall(bytes([byte]))
        time.sleep(0.002)


def late(conn, request):
    time.sleep(TIMEOUT + 0.3)
    conn.sendall(rtu_answer(request))


def trickle(conn, request):
    """One byte at a time, each well inside the time-out, never enough for the answer."""
    for byte in bytes((request[0], request[1], 200)) + bytes(9):
        conn.sendall(bytes([byte]))
        time.sleep(TIMEOUT / 4)


# (fault, operation, exception type, text or None, reads that may each wait a time-out)
LINE_FAULTS = [
    (silent, "read_registers", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (silent, "write_register", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (crc_damaged, "read_registers", brel_modbus.FrameError, CRC_TEXT, 0),
    (crc_damaged, "write_registers", brel_modbus.FrameError, CRC_TEXT, 0),
    (crc_damaged, "read_coils", brel_modbus.FrameError, CRC_TEXT, 0),
    # line noise with the exception flag set is a CRC error, never a refusal by the slave
    (garbage_with_exception_flag, "read_registers", brel_modbus.FrameError,
     "modbus: message from slave with station 1 has crc error", 0),
    (garbage_short_for_its_count, "read_registers", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (garbage_short_for_its_count, "write_coil", brel_modbus.FrameError, CRC_TEXT,
     0),                                                  # 8 bytes are all a write waits for
    (byte_count_255, "read_registers", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (byte_count_255, "read_input_coils", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (late, "read_registers", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (late, "write_coil", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 1),
    (trickle, "read_registers", brel_modbus.ModbusTimeoutError, TIMEOUT_TEXT, 2),
    (single_bytes, "read_registers", None, None, 0),
    (single_bytes, "write_registers", None, None, 0),
]

OPERATIONS = {
    "read_registers": ((1, 10, 3), [10, 11, 12]),
    "read_input_coils": ((1, 3, 4), [True, False, True, False]),
    "read_coils": ((1, 0, 3), [False, True, False]),
    "write_register": ((1, 5, 77), None),
    "write_registers": ((1, 5, [1, 2, 3]), None),
    "write_coil": ((1, 6, True), None),
}


@pytest.mark.parametrize("fault, operation, kind, text, waits", LINE_FAULTS,
                         ids=[f"{f.__name__}-{op}" for f, op, *_ in LINE_FAULTS])
def test_fault_then_healthy_request_on_the_same_line(servers, fault, operation, kind, text, waits):
    done = threading.Event()

    def script(conn, server):
        fault(conn, read_rtu_request(conn))
        done.set()
        conn.sendall(rtu_answer(read_rtu_request(conn)))     # healthy from here on
        conn.sendall(rtu_answer(read_rtu_request(conn)))

    server = servers(script)
    args, expected = OPERATIONS[operation]
    with open_master(server) as master:
        error, seconds = elapsed(getattr(master, operation), *args)
        if kind is None:
            assert error is None
        else:
            assert type(error) is kind and str(error) == text
        assert seconds < max(waits, 1) * TIMEOUT + MARGIN
        assert done.wait(WAIT)
        time.sleep(0.05)                                     # whatever the fault still sent has arrived
        assert getattr(master, operation)(*args) == expected
        assert master.read_registers(1, 200, 2) == [200, 201]
    assert server.stop() == []


def test_late_answer_never_reaches_the_record_of_the_next_exchange(servers):
    def script(conn, server):
        late(conn, read_rtu_request(conn))
        conn.sendall(rtu_answer(read_rtu_request(conn)))

    server = servers(script)
    with open_master(server) as master:
        with pytest.raises(OSError, match=TIMEOUT_TEXT):
            master.read_registers(1, 0, 2)
        time.sleep(0.5)
        assert master.read_registers(1, 7, 1) == [7]
        assert master.last_feedback_received == rtu_answer(with_crc(bytes.fromhex("01 03 00 07 00 01")))
    assert server.stop() == []


# ---- faults that take the line down: a fresh master on a healthy line must succeed -------------

def healthy_server(servers):
    def script(conn, server):
        conn.sendall(rtu_answer(read_rtu_request(conn)))

    return servers(script)


def test_slave_not_started(servers):
    error, seconds = elapsed(brel_modbus.Master, f"socket://127.0.0.1:{free_port()}", 115200, TIMEOUT)
    assert isinstance(error, OSError)                        # pyserial's SerialException is one
    assert seconds < TIMEOUT + MARGIN
    server = healthy_server(servers)
    with open_master(server) as master:
        assert master.read_registers(1, 3, 2) == [3, 4]
    assert server.stop() == []


@pytest.mark.parametrize("sent_before_close", [0, 3, 6])
def test_server_closes_mid_frame(servers, sent_before_close):
    def script(conn, server):
        request = read_rtu_request(conn)
        if server.requests:                                  # the second connection is healthy
            conn.sendall(rtu_answer(request))
            return
        server.requests.append(request)
        conn.sendall(rtu_answer(request)[:sent_before_close])

    server = servers(script, connections=2)
    with open_master(server) as master:
        error, seconds = elapsed(master.read_registers, 1, 0, 4)
    assert isinstance(error, OSError)                        # the timeout text, or the channel's own error
    assert seconds < TIMEOUT + MARGIN
    with open_master(server) as master:
        assert master.read_registers(1, 0, 4) == [0, 1, 2, 3]
    assert server.stop() == []


def test_pty_slave_stopped_and_restarted_between_requests():
    relay = PtyRelay()
    context = make_context()
    slave = start_serial_server(context, relay.paths[0])
    try:
        with brel_modbus.Master(relay.paths[1], 19200, TIMEOUT) as master:
            assert master.read_registers(1, 0, 3) == HOLDING[:3]
            slave.stop()
            error, seconds = elapsed(master.read_registers, 1, 0, 3)
            assert type(error) is brel_modbus.ModbusTimeoutError and str(error) == TIMEOUT_TEXT
            assert seconds < TIMEOUT + MARGIN
            slave = start_serial_server(context, relay.paths[0])
            master.write_register(1, 4, 4321)
            assert master.read_registers(1, 3, 2) == [HOLDING[3], 4321]
    finally:
        slave.stop()
        relay.close()
