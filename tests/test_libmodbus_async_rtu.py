"""AsyncMaster against libmodbus's own slave (bench/c/slave.c, built with `make bench-tools`)
over RTU on a pseudo-terminal: registers and coils read and written, concurrent callers, and
the slave's refusals, each result checked against the slave's table (bench/c/layout.h) and
against what the synchronous Master gets from the same slave."""

from __future__ import annotations

import asyncio
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
INPUT = [2000 + i for i in range(1000)]
COILS = [i % 3 == 0 for i in range(1000)]
DISCRETE = [i % 2 == 0 for i in range(1000)]
WAIT = 10.0   # bound of each run on the loop


@pytest.fixture(scope="module")
def slave():
    with run_slave(tcp=False, rtu=True) as running:
        yield running


@pytest.fixture
def port(slave, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    return slave.pty_path


def on_loop(port, body):
    """body(rtu) run on a new AsyncMaster over `port`, within WAIT seconds."""
    async def run():
        async with brel_modbus.AsyncMaster(port, 115200, 1.0) as rtu:
            return await body(rtu)

    return asyncio.run(asyncio.wait_for(run(), WAIT))


READS = [
    ("read_registers", (1, 0, 10), HOLDING[0:10]),
    ("read_registers", (1, 990, 10), HOLDING[990:1000]),
    ("read_registers", (1, 5, 3, 4), INPUT[5:8]),
    ("read_register", (1, 7), HOLDING[7]),
    ("read_input_registers", (1, 100, 125), INPUT[100:225]),
    ("read_input_register", (1, 3), INPUT[3]),
    ("read_coils", (1, 0, 100), COILS[0:100]),
    ("read_coils", (1, 3, 13), COILS[3:16]),
    ("read_coil", (1, 9), COILS[9]),
    ("read_input_coils", (1, 1, 17), DISCRETE[1:18]),
]


@pytest.mark.parametrize("member, args, table", READS, ids=[f"{m}{a[1:]}" for m, a, _ in READS])
def test_reads_give_the_slaves_table_as_master(port, member, args, table):
    async def body(rtu):
        return await getattr(rtu, member)(*args)

    got = on_loop(port, body)
    with brel_modbus.Master(port, 115200, 1.0) as master:
        assert getattr(master, member)(*args) == table
    assert got == table


WRITES = [
    ("write_register", (1, 300, 0xBEEF), "read_registers", (1, 300, 1), [0xBEEF]),
    ("write_registers", (1, 310, [1, 2, 3, 65535]), "read_registers", (1, 310, 4), [1, 2, 3, 65535]),
    ("write_coil", (1, 400, True), "read_coils", (1, 399, 3), [COILS[399], True, COILS[401]]),
    ("write_coil", (1, 402, False), "read_coils", (1, 402, 1), [False]),
    ("write_coils", (1, 410, [True, False, True, True]), "read_coils", (1, 410, 4), [True, False, True, True]),
]


@pytest.mark.parametrize("member, args, reader, read_args, after", WRITES,
                         ids=[f"{m}{a[1:2]}" for m, a, *_ in WRITES])
def test_writes_reach_the_slave(port, member, args, reader, read_args, after):
    async def body(rtu):
        return await getattr(rtu, member)(*args)

    assert on_loop(port, body) is None
    with brel_modbus.Master(port, 115200, 1.0) as master:
        assert getattr(master, reader)(*read_args) == after


def test_concurrent_callers_each_get_their_own_answer(port):
    async def body(rtu):
        calls = [rtu.read_registers(1, a, 2) for a in range(0, 40, 2)]
        calls += [rtu.read_coils(1, a, 5) for a in range(500, 520, 5)]
        calls.append(rtu.write_registers(1, 320, [7, 8]))
        return await asyncio.gather(*calls)

    results = on_loop(port, body)
    assert results[:20] == [HOLDING[a:a + 2] for a in range(0, 40, 2)]
    assert results[20:24] == [COILS[a:a + 5] for a in range(500, 520, 5)]
    assert results[24] is None


REFUSED = [("read_registers", (1, 999, 2), 3, 2), ("write_register", (1, 1000, 1), 6, 2),
           ("read_coils", (1, 995, 10), 1, 2), ("write_coils", (1, 999, [True, True]), 15, 2)]


@pytest.mark.parametrize("member, args, code, error", REFUSED, ids=[m for m, *_ in REFUSED])
def test_refusals_are_slave_exceptions_as_on_master(port, member, args, code, error):
    with brel_modbus.Master(port, 115200, 1.0) as master, pytest.raises(brel_modbus.SlaveException) as expected:
        getattr(master, member)(*args)

    async def body(rtu):
        with pytest.raises(brel_modbus.SlaveException) as info:
            await getattr(rtu, member)(*args)
        return info.value, await rtu.read_register(1, 8)   # the master goes on

    refusal, after = on_loop(port, body)
    assert (refusal.function_code, refusal.error_code) == (code, error)
    assert str(refusal) == str(expected.value)
    assert after == HOLDING[8]
