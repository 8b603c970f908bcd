"""AsyncModbusTCPMaster against libmodbus's own slave (bench/c/slave.c, `make bench-tools`),
compared with ModbusTCPMaster call by call, and pipelined: libmodbus reads one request at a
time from its socket, so requests sent before their answers are served in order."""

from __future__ import annotations

import asyncio
import sys
from pathlib import Path

import pytest

from brel_modbus import AsyncModbusTCPMaster, ModbusTCPMaster

BENCH = Path(__file__).resolve().parent.parent.parent / "bench"
sys.path.insert(0, str(BENCH))
from common import SLAVE, run_slave  # noqa: E402

pytestmark = pytest.mark.skipif(not SLAVE.exists(), reason="the libmodbus slave is not built (make bench-tools)")

HOLDING = [1000 + i for i in range(1000)]   # bench/c/layout.h


@pytest.fixture(scope="module")
def port():
    with run_slave(tcp=True, rtu=False) as running:
        yield running.tcp_port


CASES = [
    ("read_registers", (0, 10)), ("read_input_registers", (5, 3)), ("read_coils", (0, 20)),
    ("read_input_coils", (3, 9)), ("write_registers", (700, [1, 2, 3])), ("read_registers", (700, 3)),
    ("write_single_register", (710, 77)), ("write_coil", (700, True)), ("write_coils", (701, [True, False] * 4)),
    ("read_coils", (700, 9)), ("mask_write_register", (710, 0x00F2, 0x0025)), ("read_register", (710,)),
    ("read_write_registers", (0, 4, 720, [11, 12])), ("write_values", (730, "d i 4s", [-1.25e-3, -7, b"kWh"])),
    ("read_values", (730, "d i 4s")), ("report_server_id", ()), ("diagnostics", (0, b"\x12\x34")),
    ("read_device_identification", ()), ("read_registers", (990, 20)),
]


def outcome(value):
    return ("result", value) if not isinstance(value, BaseException) else (type(value), str(value))


@pytest.mark.parametrize("name, args", CASES, ids=[f"{n}{a}"[:50] for n, a in CASES])
def test_members_answer_as_the_synchronous_master(port, name, args):
    with ModbusTCPMaster("127.0.0.1", port, 2.0) as sync:
        try:
            expected = outcome(getattr(sync, name)(*args))
        except Exception as exc:
            expected = outcome(exc)

    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", port, 2.0) as master:
            results = await asyncio.gather(getattr(master, name)(*args), return_exceptions=True)
            return outcome(results[0])

    assert asyncio.run(asyncio.wait_for(body(), 10)) == expected


def test_pipelined_reads(port):
    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", port, 2.0, max_in_flight=8) as master:
            results = await asyncio.gather(*(master.read_registers(7 * i, 1 + i % 5) for i in range(40)))
            for i, values in enumerate(results):
                assert values == HOLDING[7 * i:7 * i + 1 + i % 5]
    asyncio.run(asyncio.wait_for(body(), 10))
