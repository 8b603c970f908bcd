"""AsyncPoller end to end: AsyncModbusTCPMaster and AsyncMaster (RTU through a TCP serial server)
on the simulated pymodbus slaves, values checked against the slaves' own tables, a hole learned
from the slave's refusals; and many AsyncModbusTCPMaster on the many-connection C slave with one
unit that never answers. Loopback only; every wait is bounded."""

import asyncio
import sys
from pathlib import Path

import pytest

from brel_modbus import AsyncMaster, AsyncModbusTCPMaster, AsyncPoller, ModbusTimeoutError
from poller_support import time_limit
from simulator import COILS, HOLDING, INPUT, SPARSE_HOLDING, SPARSE_STATION, STATION, SimulatedSlaves

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "bench"))
from common import MANY_SLAVE, run_many_slave  # noqa: E402

SILENT = 9   # no device answers this station


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


def rtu_url(slaves):
    return "rtu+tcp://" + slaves.rtu_url.removeprefix("socket://")


async def passes(poller, count):
    readings = []
    async with time_limit(20):
        for _ in range(count):
            readings.append(await poller.poll())
    return readings


def test_tcp_and_rtu_masters_side_by_side(slaves):
    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0, STATION) as tcp, \
                AsyncModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0, SPARSE_STATION) as sparse, \
                AsyncMaster(rtu_url(slaves), 19200, 2.0) as rtu:
            poller = AsyncPoller()
            poller.add(tcp, "t3", STATION, "holding", 3)
            poller.add(tcp, "t5", STATION, "holding", 5, "I")
            poller.add(tcp, "ti", STATION, "input", 7)
            poller.add(tcp, "tc", STATION, "coil", 11)
            # a hole at 10..19 between two points: refused, then learned
            poller.add(sparse, "s8", SPARSE_STATION, "holding", 8)
            poller.add(sparse, "s22", SPARSE_STATION, "holding", 22)
            poller.add(rtu, "r0", STATION, "holding", 0, period=0.001)
            poller.add(rtu, "r9", STATION, "input", 9, period=0.001)
            before = poller.plan()
            readings = await passes(poller, 1)
            return before, poller.plan(), readings, poller.stats, sparse

    before, after, [values], stats, sparse = asyncio.run(body())
    assert values == {"t3": HOLDING[3], "t5": (HOLDING[5] << 16) | HOLDING[6], "ti": INPUT[7], "tc": COILS[11],
                      "s8": SPARSE_HOLDING[8], "s22": SPARSE_HOLDING[22], "r0": HOLDING[0], "r9": INPUT[9]}
    assert [row[1:] for row in before if row[0] is sparse] == [(SPARSE_STATION, "holding", 8, 15, ["s8", "s22"])]
    assert [row[1:] for row in after if row[0] is sparse] == [(SPARSE_STATION, "holding", 8, 1, ["s8"]),
                                                               (SPARSE_STATION, "holding", 22, 1, ["s22"])]
    assert stats[sparse][SPARSE_STATION]["slave_exceptions"] == 1
    assert stats[sparse][SPARSE_STATION]["requests"] == 3


def test_a_silent_station_on_the_rtu_line_goes_down_and_the_others_keep_reading(slaves):
    async def body():
        async with AsyncMaster(rtu_url(slaves), 19200, 0.2) as rtu:
            poller = AsyncPoller(max_failures=1, max_backoff=3600.0)
            poller.add(rtu, "live", STATION, "holding", 1, period=0.001)
            poller.add(rtu, "dead", SILENT, "holding", 1, period=0.001)
            readings = []
            async with time_limit(20):
                async for values in poller.run():
                    readings.append(values)
                    if len(readings) == 4:
                        break
            return readings, poller.stats[rtu]

    readings, stats = asyncio.run(body())
    assert [r["live"] for r in readings] == [HOLDING[1]] * 4
    assert all(isinstance(r["dead"], ModbusTimeoutError) for r in readings)
    # down after its first time-out; tried again after each back-off (from its period, doubling)
    assert stats[SILENT]["state"] == "down" and 1 <= stats[SILENT]["timeouts"] <= 4
    assert stats[SILENT]["answers"] == 0 and stats[SILENT]["backoff"] >= 0.001
    assert stats[STATION]["answers"] == 4


@pytest.mark.skipif(not MANY_SLAVE.exists(), reason="the many-connection slave is not built (make bench-tools)")
def test_many_connections_with_a_dead_unit():
    units = range(1, 21)
    dead = 7

    async def body(port):
        masters = [AsyncModbusTCPMaster("127.0.0.1", port, 0.3, unit) for unit in units]
        poller = AsyncPoller(max_failures=1)
        for master in masters:
            poller.add(master, f"h{master.station}", master.station, "holding", master.station)
            poller.add(master, f"i{master.station}", master.station, "input", 2 * master.station, period=0.5)
        try:
            readings = await passes(poller, 1)
            return readings, poller.stats, masters
        finally:
            for master in masters:
                await master.close()

    with run_many_slave("--drop-unit", str(dead)) as slave:
        [values], stats, masters = asyncio.run(body(slave.port))
    for unit in units:
        if unit == dead:
            assert isinstance(values[f"h{unit}"], ModbusTimeoutError)
            assert values[f"i{unit}"] is values[f"h{unit}"]   # its input read not sent: the same time-out
        else:
            assert values[f"h{unit}"] == unit            # holding register a holds a
            assert values[f"i{unit}"] == 10000 + 2 * unit  # input register a holds a + 10000
    dead_figures = stats[masters[dead - 1]][dead]
    assert dead_figures["timeouts"] == dead_figures["requests"] == 1 and dead_figures["state"] == "down"
    assert all(stats[m][m.station]["answers"] == 2 for m in masters if m.station != dead)


def test_write_then_read_back_on_both_masters(slaves):
    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0, STATION) as tcp, \
                AsyncMaster(rtu_url(slaves), 19200, 2.0) as rtu:
            poller = AsyncPoller()
            poller.add(tcp, "setpoint", STATION, "holding", 310, "f")
            poller.add(rtu, "limit", STATION, "holding", 320, "i", "CDAB")
            try:
                await poller.write("setpoint", 21.5)
                await poller.write("limit", -70000)
                [values] = await passes(poller, 1)
                raw = await tcp.read_registers(310, 2), await tcp.read_registers(320, 2)
            finally:
                await tcp.write_registers(310, [0, 0, 0, 0])
                await tcp.write_registers(320, [0, 0])
            return values, raw

    values, raw = asyncio.run(body())
    assert values == {"setpoint": 21.5, "limit": -70000}
    assert raw == ([0x41AC, 0x0000], [(-70000 & 0xFFFF), (-70000 >> 16) & 0xFFFF])


@pytest.mark.skipif(not MANY_SLAVE.exists(), reason="the many-connection slave is not built (make bench-tools)")
def test_run_on_uvloop_with_a_dead_unit():
    uvloop = pytest.importorskip("uvloop")

    async def body(port):
        masters = [AsyncModbusTCPMaster("127.0.0.1", port, 0.2, unit) for unit in (1, 2, 3)]
        poller = AsyncPoller(max_failures=1)
        for master in masters:
            poller.add(master, f"h{master.station}", master.station, "holding", 4 + master.station, period=0.01)
        readings = []
        try:
            async with time_limit(20):
                async for values in poller.run(duration=0.5):
                    readings.append(values)
        finally:
            for master in masters:
                await master.close()
        return readings, poller.stats[masters[1]][2]

    with run_many_slave("--drop-unit", "2") as slave:
        readings, dead = uvloop.run(body(slave.port))
    live = [values for values in readings if "h2" not in values]
    assert len(live) >= 2 and all(values in ({"h1": 5}, {"h3": 7}) for values in live)
    assert all(isinstance(values["h2"], ModbusTimeoutError) for values in readings if "h2" in values)
    assert dead["state"] == "down" and dead["answers"] == 0
