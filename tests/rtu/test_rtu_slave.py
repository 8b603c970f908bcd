"""Master against a real slave: a pymodbus 3.11 server with RTU framing, reached through
brel_linkkit over socket://127.0.0.1:PORT and over a pseudo-terminal pair."""

import time

import pytest

import brel_modbus

from rtu_support import COILS, DISCRETE, HOLDING, INPUT, STATION, frame


def test_read_holding_registers(rtu):
    assert rtu.read_registers(STATION, 0, 10) == HOLDING[:10]
    assert rtu.read_registers(STATION, 37, 63) == HOLDING[37:100]
    assert rtu.read_register(STATION, 99) == HOLDING[99]
    assert rtu.last_command_sent == frame("01 03 00 63 00 01")
    assert rtu.last_feedback_received == frame("01 03 02" + HOLDING[99].to_bytes(2, "big").hex())


def test_read_input_registers(rtu):
    assert rtu.read_input_registers(STATION, 0, 50) == INPUT
    assert rtu.read_input_register(STATION, 49) == INPUT[49]
    assert rtu.read_registers(STATION, 5, 3, 4) == INPUT[5:8]


@pytest.mark.parametrize("address, count", [(0, 1), (0, 8), (3, 9), (0, 30), (7, 23)])
def test_read_coils_and_discrete_inputs(rtu, address, count):
    assert rtu.read_coils(STATION, address, count) == COILS[address:address + count]
    assert rtu.read_input_coils(STATION, address, count) == DISCRETE[address:address + count]


def test_read_coil(rtu):
    assert [rtu.read_coil(STATION, a) for a in range(6)] == COILS[:6]


def test_write_registers_and_read_back(rtu, slave):
    rtu.write_register(STATION, 200, 0xBEEF)
    rtu.write_registers(STATION, 201, [1, 2, 65535, 0])
    assert rtu.read_registers(STATION, 200, 5) == [0xBEEF, 1, 2, 65535, 0]
    assert slave.holding(200, 5) == [0xBEEF, 1, 2, 65535, 0]
    rtu.write_register(STATION, 205, -2)
    rtu.write_registers(STATION, 206, list(range(1000, 1123)))
    assert rtu.read_registers(STATION, 205, 124) == [65534] + list(range(1000, 1123))
    assert rtu.last_feedback_received[:3] == b"\x01\x03\xf8"


@pytest.mark.parametrize("address", [30, 35, 39])
def test_write_coil_and_read_back(rtu, address):
    rtu.write_coil(STATION, address, True)
    assert rtu.read_coil(STATION, address) is True
    rtu.write_coil(STATION, address, 0)
    assert rtu.read_coils(STATION, address, 1) == [False]
    assert rtu.last_command_sent == frame(f"01 01 00 {address:02X} 00 01")


@pytest.mark.parametrize("call, function_code", [
    (lambda m: m.read_registers(STATION, 500, 2), 3),
    (lambda m: m.read_input_registers(STATION, 49, 2), 4),
    (lambda m: m.read_coils(STATION, 40, 1), 1),
    (lambda m: m.read_input_coils(STATION, 29, 5), 2),
    (lambda m: m.write_register(STATION, 500, 1), 6),
    (lambda m: m.write_registers(STATION, 499, [1, 2]), 16),
    (lambda m: m.write_coil(STATION, 40, True), 5),
])
def test_illegal_address_is_a_slave_exception(rtu, call, function_code):
    with pytest.raises(brel_modbus.SlaveException) as info:
        call(rtu)
    e = info.value
    assert (e.station, e.function_code, e.error_code) == (STATION, function_code, 2)
    assert rtu.last_feedback_received == frame(f"01 {0x80 | function_code:02X} 02")
    # the line is clean for the next exchange
    assert rtu.read_register(STATION, 0) == HOLDING[0]


def test_station_nobody_answers(slave, monkeypatch):
    import brel_linkkit
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with slave.master(timeout=0.3) as m:
        started = time.monotonic()
        with pytest.raises(OSError) as info:
            m.read_register(7, 0)
        waited = time.monotonic() - started
        assert str(info.value) == "modbus: read from slave timeout"
        assert m.last_feedback_received == b""
        assert waited < 5          # bounded by the channel's time-out, not hanging
        assert m.read_registers(STATION, 1, 2) == HOLDING[1:3]


def test_channel_and_record_through_linkkit(rtu, slave):
    assert rtu.serial.is_open
    rtu.timeout = 2
    assert rtu.timeout == 2.0
    rtu.read_input_coils(STATION, 0, 3)
    assert rtu.last_command_sent_hex == frame("01 02 00 00 00 03").hex(" ").upper()
    rtu.close()
    assert not rtu.serial.is_open
    rtu.close()


def test_broadcast_is_carried_out_and_not_waited_for(rtu, slave):
    # The slave answers nothing to station 0; the master returns once the frame is out,
    # and the channel keeps the line quiet before the next request.
    started = time.monotonic()
    assert rtu.write_registers(0, 230, [0x1111, 0x2222]) is None
    rtu.write_coil(0, 30, True)
    assert time.monotonic() - started < rtu.timeout    # no answer waited for
    assert rtu.last_feedback_received == b""
    assert rtu.read_registers(STATION, 230, 2) == [0x1111, 0x2222]
    assert rtu.read_coil(STATION, 30) is True
    rtu.write_coil(STATION, 30, COILS[30])
