"""The data-model members against libmodbus's own slave (bench/c/slave.c, built with
`make bench-tools`, which installs Debian's libmodbus-dev): a slave that no one here
wrote, over RTU on a pseudo-terminal. libmodbus answers function codes 1 to 6, 15, 16, 22
and 23 (not 43)."""

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
