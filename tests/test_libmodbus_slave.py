"""The data-model members against libmodbus's own slave (bench/c/slave.c, built with
`make bench-tools`, which installs Debian's libmodbus-dev): a slave that no one here
wrote, over RTU on a pseudo-terminal and over TCP. libmodbus answers function codes 1 to 6,
15, 16, 17, 22 and 23 (not 43), and any other code with exception 1 (illegal function)."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

import brel_linkkit
import brel_modbus

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
from common import SLAVE, run_slave  # noqa: E402

pytestmark = pytest.mark.skipif(not SLAVE.exists(), reason="the libmodbus slave is not built (make bench-tools)")

HOLDING = [1000 + i for i in range(1000)]   # bench/c/layout.h
COILS = [i % 3 == 0 for i in range(1000)]


@pytest.fixture(scope="module")
def slave():
    with run_slave(tcp=True, rtu=True) as running:
        yield running


@pytest.fixture
def rtu(slave, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with brel_modbus.FixMaster(1, slave.pty_path, 115200, 1.0) as master:
        yield master


def test_write_coils(rtu):
    rtu.write_coils(500, [True, False, True] * 7)
    assert rtu.read_coils(500, 21) == [True, False, True] * 7
    assert rtu.read_coils(521, 3) == COILS[521:524]


def test_mask_write_register(rtu):
    rtu.write_register(600, 0x1234)
    rtu.mask_write_register(600, 0x00F2, 0x0025)
    assert rtu.read_register(600) == (0x1234 & 0x00F2) | (0x0025 & ~0x00F2 & 0xFFFF)


def test_read_write_registers(rtu):
    assert rtu.read_write_registers(0, 4, 610, [11, 12, 13]) == HOLDING[:4]
    assert rtu.read_registers(610, 3) == [11, 12, 13]
    # libmodbus writes before it reads: the answer shows the new values
    assert rtu.read_write_registers(610, 2, 611, [99]) == [11, 99]


@pytest.mark.parametrize("order", ["ABCD", "CDAB", "BADC", "DCBA"])
def test_values(rtu, order):
    rtu.write_values(620, "d i 4s", [-1.25e-3, -7, b"kWh"], order)
    assert rtu.read_values(620, "d i 4s", order) == [-1.25e-3, -7, b"kWh\x00"]


def test_refusals_are_slave_exceptions(rtu):
    with pytest.raises(brel_modbus.SlaveException) as info:
        rtu.write_coils(999, [True, True])
    assert (info.value.function_code, info.value.error_code) == (15, 2)
    with pytest.raises(brel_modbus.SlaveException) as info:
        rtu.read_write_registers(999, 2, 0, [1])
    assert (info.value.function_code, info.value.error_code) == (23, 2)


# ---- report server id and raw requests ------------------------------------------------------

# libmodbus reports its own id (180), the run indicator on, then "LMB" and its version.
def is_libmodbus_id(data):
    return data[:2] == b"\xB4\xFF" and data[2:5] == b"LMB" and data[5:6].isdigit()


@pytest.fixture(params=["rtu", "tcp"])
def any_master(request, slave, rtu):
    if request.param == "rtu":
        yield rtu
        return
    with brel_modbus.ModbusTCPMaster("127.0.0.1", slave.tcp_port, 1.0, 1) as master:
        yield master


def test_report_server_id(any_master):
    data = any_master.report_server_id()
    assert is_libmodbus_id(data)
    assert any_master.execute(17, b"") == bytes((len(data),)) + data


def test_raw_requests(any_master):
    assert any_master.execute(3, b"\x00\x02\x00\x03") == b"\x06" + b"".join(
        v.to_bytes(2, "big") for v in HOLDING[2:5])
    # a crafted byte count: 2 registers announced, one register's bytes counted and sent
    with pytest.raises(brel_modbus.SlaveException) as info:
        any_master.execute(16, bytes.fromhex("0064 0002 02 0001"), 4)
    assert (info.value.function_code, info.value.error_code) == (16, 3)
    assert any_master.read_registers(100, 2) == HOLDING[100:102]


@pytest.mark.parametrize("code", [0x41, 0x64, 0x7F])
def test_an_unknown_code_is_illegal_function(any_master, code):
    # no data: libmodbus's RTU side cannot tell the length of a request of a code it does
    # not know, and takes what follows the code as the CRC
    with pytest.raises(brel_modbus.SlaveException) as info:
        any_master.execute(code, b"", 1)
    assert (info.value.function_code, info.value.error_code) == (code, 1)
    assert any_master.read_register(7) == HOLDING[7]
