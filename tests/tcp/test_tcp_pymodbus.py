"""ModbusTCPMaster end to end against a pymodbus TCP server on 127.0.0.1."""

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster

PATTERN = [True, False, True, True, False, False, True, True]


@pytest.fixture
def master(pymodbus_server):
    with ModbusTCPMaster("127.0.0.1", pymodbus_server.port, 2) as m:
        yield m


def test_read_coils_and_registers(master):
    assert master.read_coils(0, 19) == (PATTERN * 3)[:19]
    assert master.read_coils(5, 3) == PATTERN[5:8]
    assert master.read_registers(0, 4) == [100, 101, 102, 103]
    assert master.read_register(63) == 163
    assert master.read_registers(0, 64) == list(range(100, 164))


def test_write_and_read_back(master):
    assert master.write_registers(10, [1, 0, 65535, -2]) is None
    assert master.read_registers(9, 6) == [109, 1, 0, 65535, 65534, 114]
    assert master.write_register(20, 4242) is None
    assert master.read_register(20) == 4242
    assert master.write_coil(0, False) is None
    assert master.write_coil(1, "on") is None
    assert master.read_coils(0, 3) == [False, True, True]


def test_changed_station_is_answered(master):
    master.station = 7
    assert master.read_register(1) == 101
    assert master.last_command_sent[6] == 7 and master.last_feedback_received[6] == 7
    assert master._ModbusTCPMaster__head_checker == 2


@pytest.mark.parametrize("method, args, code, error", [
    ("read_registers", (0, 0), 3, 3),
    ("read_coils", (0, 0), 1, 3),
    ("read_registers", (0, 126), 3, 2),
    ("read_registers", (60, 10), 3, 2),
    ("write_registers", (62, [1, 2, 3]), 16, 2),
    ("write_coil", (1000, True), 5, 2),
])
def test_exception_answers(master, method, args, code, error):
    with pytest.raises(brel_modbus.SlaveException) as info:
        getattr(master, method)(*args)
    assert isinstance(info.value, AssertionError)   # what the TCP master raised for a refusal before
    assert (info.value.station, info.value.function_code, info.value.error_code) == (1, code, error)
    assert master.last_feedback_received[7] == 0x80 | code
    assert master.read_register(0) == 100  # the connection stays in step


def test_closed_server(pymodbus_server, master):
    assert master.read_register(0) == 100
    pymodbus_server.shutdown()
    with pytest.raises(OSError) as info:
        master.read_register(0)
    assert type(info.value) is brel_modbus.ConnectionClosedError
    assert str(info.value) == "Connection closed by " + str(("127.0.0.1", pymodbus_server.port))
    assert master.last_feedback_received == b""
