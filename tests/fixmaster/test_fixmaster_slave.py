"""FixMaster end to end against the simulated pymodbus slaves (RTU over a pty and over TCP)."""

import struct

import pytest

import brel_linkkit
import brel_modbus
from brel_modbus import FixMaster, SlaveException
from simulator import SimulatedSlaves


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


@pytest.fixture(params=["pty", "socket"])
def fixed(request, slaves, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    port = slaves.serial_port if request.param == "pty" else slaves.rtu_url
    with FixMaster(slaves.station, port, 19200, 1.0) as m:
        yield m


def words(value, fmt):
    """The two registers of a 32-bit value, high word first."""
    return list(struct.unpack(">HH", struct.pack(">" + fmt, value)))


@pytest.mark.parametrize("method, fmt, value", [
    ("int32", "i", -123456789), ("int32", "i", 2**31 - 1), ("uint32", "I", 4_000_000_000), ("uint32", "I", 1),
])
def test_32_bit_values_high_word_first_on_the_wire(fixed, slaves, method, fmt, value):
    getattr(fixed, "write_" + method)(300, value)
    assert slaves.holding(300, 2) == words(value, fmt)
    assert getattr(fixed, "read_" + method)(300) == value


def test_float_written_by_the_slave_is_read(fixed, slaves):
    slaves.set_holding(310, words(-2.5, "f"))
    assert fixed.read_float(310) == -2.5
    slaves.set_holding(310, words(0.1, "f"))
    assert fixed.read_float(310) == struct.unpack("f", struct.pack("f", 0.1))[0]


def test_registers_coils_and_sixteen_bit_values(fixed, slaves):
    fixed.write_registers(320, [1, 65535, 258])
    assert fixed.read_registers(320, 3) == [1, 65535, 258]
    assert slaves.holding(320, 3) == [1, 65535, 258]
    fixed.write_int16(323, -2)
    assert fixed.read_int16(323) == -2 and fixed.read_uint16(323) == 65534 and fixed.read_register(323) == 65534
    fixed.write_uint16(323, 65536 + 7)
    assert fixed.read_register(323) == 7
    assert fixed.read_registers(0, 2, 4) == [1000, 1001]        # input registers through function code 4
    fixed.write_coil(11, "on")
    assert fixed.read_coil(11) is True
    fixed.write_coil(11, 0)
    assert fixed.read_coils(10, 3)[1] is False
    assert fixed.last_command_sent_hex == fixed.master.last_command_sent_hex
    assert fixed.last_feedback_received_hex == fixed.master.last_feedback_received_hex


def test_station_change_reaches_the_wire(fixed):
    fixed.station = 9                        # nobody answers station 9
    fixed.timeout = 0.2
    with pytest.raises(OSError, match="^modbus: read from slave timeout$"):
        fixed.read_register(0)
    assert fixed.last_command_sent[0] == 9
    fixed.station = 1
    with pytest.raises(SlaveException) as info:
        fixed.read_registers(1000, 2)
    assert (info.value.station, info.value.function_code, info.value.error_code) == (1, 3, 2)
    assert fixed.read_registers(0, 1) == [3]
