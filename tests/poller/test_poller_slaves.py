"""Poller end to end against the simulated pymodbus slaves: Modbus TCP, RTU through a TCP serial
server and RTU over a pseudo-terminal pair; values checked against the slaves' own tables, the
requests counted by the slave's answers and the Poller's figures."""

import struct

import pytest

import brel_linkkit
import brel_modbus
from brel_modbus import FixMaster, Master, ModbusTCPMaster, Poller
from poller_support import Clock
from simulator import (COILS, DISCRETE, HOLDING, INPUT, SPARSE_COILS, SPARSE_HOLDING, SPARSE_STATION, STATION,
                       SimulatedSlaves)

SILENT = 9   # no device answers this station


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


@pytest.fixture(autouse=True)
def real_channel(monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)


def make(kind, slaves, station=STATION, timeout=2.0):
    if kind == "tcp":
        return ModbusTCPMaster("127.0.0.1", slaves.tcp_port, timeout, station)
    port = slaves.serial_port if kind == "pty" else slaves.rtu_url
    if kind == "fixed":
        return FixMaster(station, port, 19200, timeout)
    return Master(port, 19200, timeout)


KINDS = ["tcp", "socket", "pty", "fixed"]


def words_to(fmt, words):
    values = struct.unpack(">" + fmt, b"".join(w.to_bytes(2, "big") for w in words))
    return values[0] if len(values) == 1 else list(values)


@pytest.mark.parametrize("kind", KINDS)
def test_values_of_every_table_in_few_requests(slaves, kind):
    points = [("flow", "holding", 0, "H"), ("temp", "holding", 3, "h"), ("level", "holding", 5, "f"),
              ("total", "holding", 12, "I"), ("pair", "holding", 30, "2H"), ("far", "holding", 90, "H"),
              ("in0", "input", 1, "H"), ("in1", "input", 10, "i"), ("c2", "coil", 2, None), ("c39", "coil", 39, None),
              ("d0", "discrete", 0, None), ("d28", "discrete", 28, None)]
    with make(kind, slaves) as master:
        p = Poller(master)
        for name, table, address, fmt in points:
            p.add(name, STATION, table, address, fmt or "H")
        assert [r[1:4] for r in p.plan()] == [("holding", 0, 32), ("holding", 90, 1), ("input", 1, 11),
                                              ("coil", 2, 38), ("discrete", 0, 29)]
        values = p.poll()
    expected = {}
    for name, table, address, fmt in points:
        if table == "holding":
            expected[name] = words_to(fmt, HOLDING[address:address + struct.calcsize(fmt) // 2])
        elif table == "input":
            expected[name] = words_to(fmt, INPUT[address:address + struct.calcsize(fmt) // 2])
        else:
            expected[name] = (COILS if table == "coil" else DISCRETE)[address]
    assert values == expected
    assert p.stats[STATION] | {"rtt_p50": None, "rtt_p99": None, "last_success": None} == {
        "requests": 5, "answers": 5, "timeouts": 0, "crc_errors": 0, "mismatches": 0, "slave_exceptions": 0,
        "other_errors": 0, "rtt_p50": None, "rtt_p99": None, "state": "up", "failures": 0, "last_success": None,
        "backoff": None, "max_gap": 16}
    assert p.stats[STATION]["last_success"] is not None
    assert 0 < p.stats[STATION]["rtt_p50"] <= p.stats[STATION]["rtt_p99"]


@pytest.mark.parametrize("kind", ["tcp", "socket"])
def test_requests_at_the_read_limit(slaves, kind):
    # 100 points 5 registers apart: 125 registers a request at most
    with make(kind, slaves) as master:
        p = Poller(master)
        for a in range(0, 500, 5):
            p.add(f"r{a}", STATION, "holding", a)
        assert [(r[2], r[3]) for r in p.plan()] == [(0, 121), (125, 121), (250, 121), (375, 121)]
        assert p.poll() == {f"r{a}": HOLDING[a] for a in range(0, 500, 5)}


@pytest.mark.parametrize("kind", ["tcp", "socket", "pty"])
def test_a_hole_costs_one_refused_request_once(slaves, kind):
    # registers 10..19 and coils 8..15 of the sparse station do not exist: one merged request over
    # each hole is refused once; from then on two requests read around it
    clock = Clock()
    holding = [0, 4, 9, 20, 29]
    coils = [0, 7, 16, 23]
    with make(kind, slaves, SPARSE_STATION) as master:
        p = Poller(master, clock=clock)
        for a in holding:
            p.add(f"r{a}", SPARSE_STATION, "holding", a)
        for a in coils:
            p.add(f"c{a}", SPARSE_STATION, "coil", a)
        assert len(p.plan()) == 2
        expected = {f"r{a}": SPARSE_HOLDING[a] for a in holding} | {f"c{a}": SPARSE_COILS[a] for a in coils}
        assert p.poll() == expected
        figures = p.stats[SPARSE_STATION]
        assert (figures["requests"], figures["answers"], figures["slave_exceptions"]) == (6, 4, 2)
        assert [r[1:4] for r in p.plan()] == [("holding", 0, 10), ("holding", 20, 10), ("coil", 0, 8),
                                              ("coil", 16, 8)]
        clock.t = 1
        assert p.poll() == expected
        figures = p.stats[SPARSE_STATION]
        assert (figures["requests"], figures["answers"], figures["slave_exceptions"]) == (10, 8, 2)


@pytest.mark.parametrize("kind", ["socket", "pty"])
def test_a_silent_station_while_the_others_answer(slaves, kind):
    with make(kind, slaves, timeout=0.2) as master:
        p = Poller(master)
        p.add("a", STATION, "holding", 0)
        p.add("lost", SILENT, "holding", 0)
        p.add("lost_bit", SILENT, "coil", 0)
        p.add("s", SPARSE_STATION, "holding", 20, "I")
        values = p.poll()
    assert values["a"] == HOLDING[0]
    assert values["s"] == (SPARSE_HOLDING[20] << 16) + SPARSE_HOLDING[21]
    for name in ("lost", "lost_bit"):
        assert isinstance(values[name], OSError) and str(values[name]) == "modbus: read from slave timeout"
    # the time-out ends the silent station's pass: its coil is not asked, and gets the same failure
    assert values["lost_bit"] is values["lost"]
    assert p.stats[SILENT]["timeouts"] == 1 and p.stats[SILENT]["answers"] == 0
    assert p.stats[SILENT]["rtt_p50"] is None
    assert p.stats[STATION]["answers"] == p.stats[SPARSE_STATION]["answers"] == 1


def test_a_point_with_a_long_period_is_not_read_again_before_its_time(slaves):
    clock = Clock()
    with make("tcp", slaves) as master:
        p = Poller(master, clock=clock)
        p.add("fast", STATION, "holding", 0, period=1)
        p.add("slow", STATION, "holding", 1, period=10)
        seen = []
        for t in (0, 1, 10):
            clock.t = t
            seen.append(p.poll())
    assert seen == [{"fast": HOLDING[0], "slow": HOLDING[1]}, {"fast": HOLDING[0]},
                    {"fast": HOLDING[0], "slow": HOLDING[1]}]
    assert p.stats[STATION]["requests"] == p.stats[STATION]["answers"] == 5
