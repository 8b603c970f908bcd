"""Soak: mixed transactions against the pymodbus slaves, RTU over a pseudo-terminal pair
and Modbus TCP, every answer checked against a model of the slave's datastore; no
error of any kind is expected, and the memory of this process must stay flat.

The slaves run in a child process. The count per line is BREL_SOAK_COUNT (make soak:
100,000; make soak-ci: 10,000); a plain test run uses a smaller default."""

from __future__ import annotations

import random
import struct
import tracemalloc

import pytest

import brel_linkkit
import brel_modbus
from rel_support import ChildSlaves, Gauge, count_from_env

COUNT = count_from_env("BREL_SOAK_COUNT", 1000)
WARM_UP = min(1000, max(100, COUNT // 10))
LIMITS = {"objects": 500, "blocks": 5000, "traced": 512 * 1024, "resident": 16 * 1024 * 1024}
# Under AddressSanitizer (make sanitize preloads it; found as test_leaks.py finds it) freed
# memory is held in its quarantine, so the resident set grows by design; the other gauges still
# hold, and make soak-ci measures the resident set on the normal build.
if any("libasan" in line for line in open("/proc/self/maps")):
    LIMITS["resident"] = float("inf")

# What the simulated slaves hold at start (examples/simulator.py).
HOLDING = [(7 * i + 3) & 0xFFFF for i in range(100)] + [0] * 400
INPUT = [1000 + i for i in range(50)]
COILS = [bool((i * 5) % 3) for i in range(40)]
DISCRETE = [i % 4 == 0 for i in range(30)]


@pytest.fixture(scope="module")
def slaves():
    with ChildSlaves() as running:
        yield running


class Model:
    """The datastore as the master's writes leave it."""

    def __init__(self):
        self.holding = list(HOLDING)
        self.coils = list(COILS)


def words(fmt, value):
    """The two registers of a 32-bit value, high word first."""
    return list(struct.unpack(">HH", struct.pack(">" + fmt, value)))


def rtu_transaction(master, model, rng):
    kind = rng.randrange(14)
    address = rng.randrange(0, 440)
    if kind == 0:
        value = rng.randrange(65536)
        master.write_register(1, address, value)
        model.holding[address] = value
    elif kind == 1:
        values = [rng.randrange(65536) for _ in range(rng.randrange(1, 40))]
        master.write_registers(1, address, values)
        model.holding[address:address + len(values)] = values
    elif kind == 2:
        count = rng.randrange(1, 60)
        assert master.read_registers(1, address, count) == model.holding[address:address + count]
    elif kind == 3:
        assert master.read_register(1, address) == model.holding[address]
    elif kind == 4:
        coil = rng.randrange(40)
        state = rng.random() < 0.5
        master.write_coil(1, coil, state)
        model.coils[coil] = state
    elif kind == 5:
        start = rng.randrange(40)
        count = rng.randrange(1, 41 - start)
        assert master.read_coils(1, start, count) == model.coils[start:start + count]
    elif kind == 6:
        coil = rng.randrange(40)
        assert master.read_coil(1, coil) is model.coils[coil]
    elif kind == 7:
        start = rng.randrange(50)
        count = rng.randrange(1, 51 - start)
        assert master.read_input_registers(1, start, count) == INPUT[start:start + count]
    elif kind == 8:
        start = rng.randrange(30)
        count = rng.randrange(1, 31 - start)
        assert master.read_input_coils(1, start, count) == DISCRETE[start:start + count]
    elif kind == 9:
        value = struct.unpack("f", struct.pack("f", rng.uniform(-1e6, 1e6)))[0]
        master.write_float(1, address, value)
        model.holding[address:address + 2] = words("f", value)
        assert master.read_float(1, address) == value
    elif kind == 10:
        values = [rng.randrange(-2**31, 2**31) for _ in range(rng.randrange(1, 20))]
        master.write_multi_int32(1, address, values)
        model.holding[address:address + 2 * len(values)] = [w for v in values for w in words("i", v)]
        assert master.read_multi_int32(1, address, len(values)) == values
    elif kind == 11:
        expected = struct.unpack(">I", struct.pack(">HH", *model.holding[address:address + 2]))[0]
        assert master.read_uint32(1, address) == expected
    elif kind == 12:
        register = model.holding[address]
        assert master.read_int16(1, address) == (register - 65536 if register >= 32768 else register)
    else:
        count = rng.randrange(1, 8)
        floats = [struct.unpack(">f", struct.pack(">HH", *model.holding[address + 2 * i:address + 2 * i + 2]))[0]
                  for i in range(count)]
        got = master.read_multi_float(1, address, count)
        assert [repr(x) for x in got] == [repr(x) for x in floats]     # NaN patterns compare by text


def tcp_transaction(master, model, rng):
    kind = rng.randrange(6)
    address = rng.randrange(0, 440)
    if kind == 0:
        values = [rng.randrange(65536) for _ in range(rng.randrange(1, 60))]
        master.write_registers(address, values)
        model.holding[address:address + len(values)] = values
    elif kind == 1:
        value = rng.randrange(65536)
        master.write_register(address, value)
        model.holding[address] = value
    elif kind == 2:
        count = rng.randrange(1, 60)
        assert master.read_registers(address, count) == model.holding[address:address + count]
    elif kind == 3:
        assert master.read_register(address) == model.holding[address]
    elif kind == 4:
        coil = rng.randrange(40)
        state = rng.random() < 0.5
        master.write_coil(coil, state)
        model.coils[coil] = state
    else:
        start = rng.randrange(40)
        count = rng.randrange(1, 41 - start)
        assert master.read_coils(start, count) == model.coils[start:start + count]


def soak(master, transaction, model, seed):
    rng = random.Random(seed)
    for _ in range(WARM_UP):
        transaction(master, model, rng)
    tracemalloc.start()
    try:
        before = Gauge()
        for _ in range(COUNT - WARM_UP):
            transaction(master, model, rng)
        growth = Gauge().growth_since(before)
    finally:
        tracemalloc.stop()
    over = {k: v for k, v in growth.items() if v > LIMITS[k]}
    assert not over, f"grew over {COUNT} transactions: {growth}"
    print(f"\nsoak {type(master).__name__}: {COUNT} transactions, no error; growth after warm-up {growth}")


def test_soak_rtu_over_pty_then_tcp(slaves, monkeypatch):
    """One datastore behind both lines: the model carries over from RTU to TCP."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    model = Model()
    with brel_modbus.Master(slaves.serial_port, 115200, 2.0) as master:
        soak(master, rtu_transaction, model, seed=8)
    with brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0) as master:
        soak(master, tcp_transaction, model, seed=9)
