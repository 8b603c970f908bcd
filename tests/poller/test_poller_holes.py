"""How many requests the Poller spends finding holes, against a pymodbus slave over Modbus TCP whose
holding registers and coils are sparse: every read the slave is asked for is counted on the slave."""

import math

import pytest

from brel_modbus import ModbusTCPMaster, Poller, SlaveException
from poller_support import Clock
from simulator import start_tcp_server

STATION = 1


@pytest.fixture(scope="module")
def slave():
    from pymodbus.datastore import ModbusDeviceContext, ModbusServerContext, ModbusSparseDataBlock

    class Counted(ModbusSparseDataBlock):
        """A sparse block that records every read asked of it as (address, count)."""

        def __init__(self):
            super().__init__({1: 0})
            self.reads = []

        def fill(self, addresses, value):
            # keys are protocol address + 1, as the device context adds 1
            self.values = {a + 1: value(a) for a in addresses}
            self.reads.clear()

        def getValues(self, address, count=1):  # noqa: N802 (pymodbus's name)
            self.reads.append((address - 1, count))
            return super().getValues(address, count)

    holding, coils = Counted(), Counted()
    device = ModbusDeviceContext(hr=holding, co=coils)
    server = start_tcp_server(ModbusServerContext(devices={STATION: device}, single=False))
    try:
        yield server, holding, coils
    finally:
        server.stop()


def uneven():
    """16 registers whose gaps narrow towards the end (5, 4, 3, 2 registers before points 4, 7, 10 and
    12): a cut that follows the widest gap in the middle half of the points would keep three
    quarters on one side, time and again."""
    addresses, a = [], 0
    for k in range(16):
        a += {4: 5, 7: 4, 10: 3, 12: 2}.get(k, 0)
        addresses.append(a)
        a += 1
    return addresses


def bound(addresses):
    """The refused requests cut while finding one hole, at most: log2 of the registers from the first
    point's first register to the last point's (never more than the registers asked)."""
    return math.ceil(math.log2(max(addresses) - min(addresses) + 1))


def value_of(table, address):
    return address % 3 == 0 if table == "coil" else (address * 37 + 11) & 0xFFFF


def three_passes(slave, table, addresses, holes):
    """The points at `addresses` polled three times from the slave with `holes`: the reads asked
    in each pass and the values of the first."""
    server, holding, coils = slave
    block = coils if table == "coil" else holding
    block.fill(sorted(set(range(min(addresses), max(addresses) + 1)) - set(holes)), lambda a: value_of(table, a))
    clock = Clock()
    passes = []
    with ModbusTCPMaster("127.0.0.1", server.tcp_port, 5.0, STATION) as master:
        p = Poller(master, clock=clock)
        for a in addresses:
            p.add(f"p{a}", STATION, table, a)
        assert len(p.plan()) == 1
        for t in range(3):
            clock.t = t
            before = len(block.reads)
            values = p.poll()
            passes.append(block.reads[before:])
            if t == 0:
                first = values
    return passes, first


CASES = [pytest.param("holding", uneven(), hole, id=f"uneven-{hole}") for hole in uneven()] + [
    pytest.param("holding", list(range(125)), hole, id=f"125-{hole}") for hole in (0, 1, 61, 62, 63, 64, 100, 124)] + [
    pytest.param("coil", list(range(2000)), hole, id=f"2000-bits-{hole}") for hole in (0, 999, 1024, 1999)]


@pytest.mark.parametrize("table, addresses, hole", CASES)
def test_a_point_in_a_hole_is_found_within_log2_extra_requests(slave, table, addresses, hole):
    passes, values = three_passes(slave, table, addresses, [hole])
    bad = values.pop(f"p{hole}")
    assert isinstance(bad, SlaveException) and bad.error_code == 2
    assert values == {f"p{a}": value_of(table, a) for a in addresses if a != hole}
    # The first pass sends what the learned plan sends, plus the refused requests it cut.
    extra = len(passes[0]) - len(passes[1])
    assert 0 < extra <= bound(addresses)
    assert passes[2] == passes[1]
    assert passes[1].count((hole, 1)) == 1


@pytest.mark.parametrize("holes", [(3, 90), (0, 124), (10, 11, 12), (5, 40, 70, 120)])
def test_several_holes_cost_log2_each(slave, holes):
    addresses = list(range(125))
    passes, values = three_passes(slave, "holding", addresses, holes)
    assert all(isinstance(values.pop(f"p{h}"), SlaveException) for h in holes)
    assert values == {f"p{a}": value_of("holding", a) for a in addresses if a not in holes}
    extra = len(passes[0]) - len(passes[1])
    assert 0 < extra <= len(holes) * bound(addresses)
    assert passes[2] == passes[1]


def test_a_hole_between_points_is_cut_at_the_gap_with_one_refusal(slave):
    # blocks of 10 registers around an unmapped stretch that holds no point
    addresses = [*range(0, 10), *range(14, 24)]
    passes, values = three_passes(slave, "holding", addresses, range(10, 14))
    assert values == {f"p{a}": value_of("holding", a) for a in addresses}
    assert passes[0] == [(0, 24), (0, 10), (14, 10)]
    assert passes[1] == [(0, 10), (14, 10)]
