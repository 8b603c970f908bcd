"""Poller against masters that answer from memory: class shape, entry checks, the plan's rules,
decoding, periods on a fake clock, failures and their figures, learned splits, run()."""

import math
import signal
import struct
import sys
import threading

import pytest

import brel_modbus

from brel_modbus import Poller, SlaveException
from poller_support import MASTERS, Clock, FakeMaster, Slaves, bit, register

TABLES = ["holding", "input", "coil", "discrete"]
STATS_KEYS = ["requests", "answers", "timeouts", "crc_errors", "mismatches", "slave_exceptions", "other_errors",
              "rtt_p50", "rtt_p99"]
FAILURE_KEYS = STATS_KEYS[2:7]
UNIT_UP = {"state": "up", "failures": 0, "last_success": None, "backoff": None, "max_gap": 16}


def poller(*points, slaves=None, clock=None, **options):
    """A Poller over a FakeMaster with `points` added: (name, station, table, address, [format, [order]])
    or dicts of add()'s keywords."""
    p = Poller(FakeMaster(slaves or Slaves()), clock=clock, **options)
    for point in points:
        if isinstance(point, dict):
            p.add(**point)
        else:
            p.add(*point)
    return p


# ---- the class ------------------------------------------------------------------------

def test_class_body_kinds_and_order():
    members = [k for k in Poller.__dict__ if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                      "__weakref__")]
    assert members == ["__init__", "add", "plan", "poll", "run", "stats", "master", "write", "learned"]
    for key in ("stats", "master"):
        assert type(Poller.__dict__[key]) is property and Poller.__dict__[key].fset is None
    assert Poller.__bases__ == (object,)
    assert Poller.__module__ == "brel_modbus"


def test_master_property_and_stats_before_any_pass():
    master = FakeMaster(Slaves())
    p = Poller(master)
    assert p.master is master and p.stats == {}
    p.add("a", 3, "holding", 0)
    p.add("b", 1, "coil", 0)
    fresh = dict.fromkeys(STATS_KEYS, 0) | {"rtt_p50": None, "rtt_p99": None} | UNIT_UP
    assert p.stats == {1: fresh, 3: fresh}
    assert list(p.stats) == [1, 3]


# ---- entry checks -----------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, error, text", [
    ((object(),), {}, TypeError, "master must be a Master, FixMaster or ModbusTCPMaster, not object"),
    ((FakeMaster(Slaves()),), {"max_gap": -1}, ValueError, "max_gap must not be negative: -1"),
    ((FakeMaster(Slaves()),), {"max_bit_gap": -5}, ValueError, "max_bit_gap must not be negative: -5"),
    ((FakeMaster(Slaves()),), {"max_gap": 1.5}, TypeError, "Argument 'max_gap' has incorrect type"),
    ((FakeMaster(Slaves()),), {"clock": 5}, TypeError, "clock must be callable or None, not int"),
    ((FakeMaster(Slaves()),), {"max_failures": 0}, ValueError, "max_failures must be at least 1: 0"),
    ((FakeMaster(Slaves()),), {"max_failures": -(2 ** 70)}, ValueError, "max_failures must be at least 1: -1180"),
    ((FakeMaster(Slaves()),), {"max_failures": 2.0}, TypeError, "Argument 'max_failures' has incorrect type"),
    ((FakeMaster(Slaves()),), {"max_backoff": 0}, ValueError, "max_backoff must be a positive number of seconds: 0.0"),
    ((FakeMaster(Slaves()),), {"max_backoff": math.inf}, ValueError, "max_backoff must be a positive number of"),
    ((FakeMaster(Slaves()),), {"max_backoff": math.nan}, ValueError, "max_backoff must be a positive number of"),
    ((FakeMaster(Slaves()),), {"max_backoff": "1"}, TypeError, "must be real number"),
])
def test_construction_refusals(args, kwargs, error, text):
    with pytest.raises(error) as info:
        Poller(*args, **kwargs)
    assert text in str(info.value)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"name": 5}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    ({"station": 1.0}, TypeError, "Argument 'station' has incorrect type"),
    ({"station": 256}, OverflowError, "modbus: station out of range 0 to 255: 256"),
    ({"station": 0}, ValueError, "station 0 is the broadcast address, which no slave answers"),
    ({"table": "holdings"}, ValueError, "table must be 'holding', 'input', 'coil' or 'discrete': 'holdings'"),
    ({"address": 65536}, OverflowError, "modbus: address out of range 0 to 65535: 65536"),
    ({"format": "x"}, ValueError, "format"),
    ({"format": "H", "order": "ABDC"}, ValueError, "ABDC"),
    ({"format": 3}, TypeError, "Argument 'format' has incorrect type"),
    ({"format": "126H"}, ValueError, "the format takes 126 registers, at most 125 can be read"),
    ({"address": 65535, "format": "f"}, ValueError, "a point of 2 registers at 65535 runs past address 65535"),
    ({"period": 0}, ValueError, "period must be a positive number of seconds: 0.0"),
    ({"period": math.nan}, ValueError, "period must be a positive number of seconds: nan"),
    ({"period": "1"}, TypeError, "must be real number"),
])
def test_add_refusals_leave_nothing_behind(kwargs, error, text):
    p = poller()
    point = {"name": "p", "station": 1, "table": "holding", "address": 0} | kwargs
    with pytest.raises(error) as info:
        p.add(**point)
    assert text in str(info.value)
    assert p.plan() == [] and p.stats == {}
    p.add("p", 1, "holding", 0)   # the name is still free
    assert p.plan() == [(1, "holding", 0, 1, ["p"])]


def test_names_are_unique():
    p = poller(("p", 1, "holding", 0))
    with pytest.raises(ValueError, match="a point named 'p' exists already"):
        p.add("p", 2, "coil", 5)
    assert p.plan() == [(1, "holding", 0, 1, ["p"])]


@pytest.mark.parametrize("table", ["coil", "discrete"])
def test_format_and_order_are_ignored_for_bits(table):
    p = poller(("b", 1, table, 7, "not a format", "nor an order"))
    assert p.plan() == [(1, table, 7, 1, ["b"])]


@pytest.mark.parametrize("kind", ["FixMaster", "ModbusTCPMaster"])
def test_a_single_station_master_takes_its_own_station_only(kind):
    master = MASTERS[kind](Slaves(), station=7)
    p = Poller(master)
    with pytest.raises(ValueError, match="station 8 is not the master's station 7 "):
        p.add("p", 8, "holding", 0)
    p.add("p", 7, "holding", 0)
    assert p.plan() == [(7, "holding", 0, 1, ["p"])]


@pytest.mark.parametrize("duration, error", [(-1, ValueError), (math.nan, ValueError), (math.inf, ValueError),
                                             ("1", TypeError)])
def test_run_refuses_a_bad_duration(duration, error):
    with pytest.raises(error):
        poller(("p", 1, "holding", 0)).run(duration)


# ---- the plan -------------------------------------------------------------------------------

H = "holding"


@pytest.mark.parametrize("points, options, plan", [
    # a gap of max_gap registers merges, one more does not
    ([("a", 1, H, 0), ("b", 1, H, 17)], {}, [(1, H, 0, 18, ["a", "b"])]),
    ([("a", 1, H, 0), ("b", 1, H, 18)], {}, [(1, H, 0, 1, ["a"]), (1, H, 18, 1, ["b"])]),
    ([("a", 1, H, 0), ("b", 1, H, 1), ("c", 1, H, 3)], {"max_gap": 0},
     [(1, H, 0, 2, ["a", "b"]), (1, H, 3, 1, ["c"])]),
    # the gap counts from the end of the widest point so far; overlapping points share registers
    ([("a", 1, H, 0, "d"), ("b", 1, H, 1), ("c", 1, H, 20)], {}, [(1, H, 0, 21, ["a", "b", "c"])]),
    ([("a", 1, H, 10, "f"), ("b", 1, H, 11)], {}, [(1, H, 10, 2, ["a", "b"])]),
    # 125 registers at most in one request
    ([("a", 1, H, 0), ("b", 1, H, 124)], {"max_gap": 200}, [(1, H, 0, 125, ["a", "b"])]),
    ([("a", 1, H, 0), ("b", 1, H, 125)], {"max_gap": 200}, [(1, H, 0, 1, ["a"]), (1, H, 125, 1, ["b"])]),
    ([("a", 1, H, 0), ("b", 1, H, 123, "f")], {"max_gap": 200}, [(1, H, 0, 125, ["a", "b"])]),
    ([("a", 1, H, 0), ("b", 1, H, 124, "f")], {"max_gap": 200}, [(1, H, 0, 1, ["a"]), (1, H, 124, 2, ["b"])]),
    # bits: max_bit_gap bits, 2000 at most
    ([("a", 1, "coil", 0), ("b", 1, "coil", 257)], {}, [(1, "coil", 0, 258, ["a", "b"])]),
    ([("a", 1, "coil", 0), ("b", 1, "coil", 258)], {}, [(1, "coil", 0, 1, ["a"]), (1, "coil", 258, 1, ["b"])]),
    ([("a", 1, "discrete", 0), ("b", 1, "discrete", 1999)], {"max_bit_gap": 5000},
     [(1, "discrete", 0, 2000, ["a", "b"])]),
    ([("a", 1, "discrete", 0), ("b", 1, "discrete", 2000)], {"max_bit_gap": 5000},
     [(1, "discrete", 0, 1, ["a"]), (1, "discrete", 2000, 1, ["b"])]),
    # never across stations, tables or periods; listed by station, table, address, period
    ([("d", 2, "discrete", 0), ("c", 2, "coil", 1), ("i", 2, "input", 1), ("h", 2, H, 1), ("x", 1, "coil", 9),
      {"name": "s", "station": 2, "table": H, "address": 0, "period": 0.5}],
     {}, [(1, "coil", 9, 1, ["x"]), (2, H, 0, 1, ["s"]), (2, H, 1, 1, ["h"]), (2, "input", 1, 1, ["i"]),
          (2, "coil", 1, 1, ["c"]), (2, "discrete", 0, 1, ["d"])]),
    # within a request: by address, then in the order added
    ([("c", 1, H, 5), ("a", 1, H, 2, "2H"), ("b", 1, H, 2), ("z", 1, H, 0)], {}, [(1, H, 0, 6, ["z", "a", "b", "c"])]),
])
def test_plan(points, options, plan):
    assert poller(*points, **options).plan() == plan


# ---- values ------------------------------------------------------------------------------

def words_of(station, table, address, count):
    return [register(station, table, a) for a in range(address, address + count)]


def big_endian(words):
    return b"".join(w.to_bytes(2, "big") for w in words)


@pytest.mark.parametrize("fmt", ["H", "h", "i", "I", "f", "d", "q", "e", "4s", "2H", "h f", "3e 2s"])
@pytest.mark.parametrize("table", ["holding", "input"])
def test_register_values(fmt, table):
    p = poller(("v", 4, table, 30, fmt), ("w", 4, table, 20))
    values = p.poll()
    layout = ">" + fmt.replace(" ", "")
    image = big_endian(words_of(4, table, 30, struct.calcsize(layout) // 2))
    expected = struct.unpack(layout, image)
    got = values["v"]
    if len(expected) == 1:   # one value: the value itself
        assert not isinstance(got, list)
        got = [got]
    assert struct.pack(layout, *got) == image   # by the bytes: a half float may be NaN
    assert values["w"] == register(4, table, 20)


def test_the_byte_order_is_the_points():
    p = poller(("v", 1, "holding", 3, "I", "CDAB"))
    low, high = words_of(1, "holding", 3, 2)
    assert p.poll()["v"] == (high << 16) + low


@pytest.mark.parametrize("table", ["coil", "discrete"])
def test_bit_values(table):
    addresses = [0, 3, 4, 200, 1999, 2100]
    p = poller(*[(f"b{a}", 5, table, a) for a in addresses])
    values = p.poll()
    assert values == {f"b{a}": bit(5, table, a) for a in addresses}
    assert all(type(v) is bool for v in values.values())


@pytest.mark.parametrize("kind", list(MASTERS))
@pytest.mark.parametrize("table", TABLES)
def test_every_master_is_read_through_its_own_members(kind, table):
    slaves = Slaves()
    master = FakeMaster(slaves) if kind == "Master" else MASTERS[kind](slaves, station=6)
    p = Poller(master)
    p.add("a", 6, table, 10)
    p.add("b", 6, table, 12)
    values = p.poll()
    assert slaves.requests == [(6, table, 10, 3)]
    make = bit if table in ("coil", "discrete") else register
    assert values == {"a": make(6, table, 10), "b": make(6, table, 12)}


# ---- periods ---------------------------------------------------------------------------------

def test_each_point_at_its_own_period():
    clock = Clock(100.0)
    slaves = Slaves()
    p = poller({"name": "fast", "station": 1, "table": H, "address": 0, "period": 1},
               {"name": "slow", "station": 1, "table": H, "address": 1, "period": 2.5},
               {"name": "bit", "station": 2, "table": "coil", "address": 0, "period": 2.5},
               slaves=slaves, clock=clock)
    assert len(p.plan()) == 3   # different periods are never merged
    seen = []
    for t in [100, 100.5, 101, 102, 102.5, 102.9, 103, 105.2]:
        clock.t = t
        seen.append(sorted(p.poll()))
    assert seen == [["bit", "fast", "slow"], [], ["fast"], ["fast"], ["bit", "slow"], [], ["fast"],
                    ["bit", "fast", "slow"]]
    assert len(slaves.requests) == 11


def test_a_point_added_later_joins_at_its_period():
    clock = Clock()
    p = poller(("a", 1, H, 0), clock=clock)
    assert sorted(p.poll()) == ["a"]
    p.add("b", 1, H, 1)            # same period: read with the next pass of that period
    p.add("c", 1, H, 2, period=5)  # a new period: due at once
    clock.t = 0.5
    assert sorted(p.poll()) == ["c"]
    clock.t = 1
    assert sorted(p.poll()) == ["a", "b"]


# ---- failures and figures ------------------------------------------------------------------------

def test_one_failed_request_never_stops_the_others():
    slaves = Slaves(silent={2})
    p = poller(("a", 1, H, 0), ("b", 2, H, 0), ("c", 2, H, 1), ("d", 3, "coil", 0), slaves=slaves)
    values = p.poll()
    assert values["a"] == register(1, H, 0) and values["d"] == bit(3, "coil", 0)
    assert isinstance(values["b"], OSError) and values["b"] is values["c"]
    assert str(values["b"]) == "modbus: read from slave timeout"
    assert [r[0] for r in slaves.requests] == [1, 2, 3]
    assert p.stats[2]["timeouts"] == 1 and p.stats[2]["answers"] == 0
    assert p.stats[1]["answers"] == p.stats[3]["answers"] == 1


@pytest.mark.parametrize("exc, key", [
    (brel_modbus.ModbusTimeoutError("modbus: read from slave timeout"), "timeouts"),
    (brel_modbus.ModbusTimeoutError("timed out"), "timeouts"),
    (TimeoutError("timed out"), "timeouts"),   # the socket layer's own, from a replaced step
    (brel_modbus.FrameError("modbus: message from slave with station 4 has crc error"), "crc_errors"),
    (brel_modbus.MismatchError("modbus: answer from slave with station 4 does not match the request"), "mismatches"),
    (brel_modbus.MismatchError("Data length not match with needed"), "mismatches"),
    (brel_modbus.MismatchError("Received data header invalid from ('127.0.0.1', 502)"), "mismatches"),
    (SlaveException(4, 0x83, 4), "slave_exceptions"),
    (brel_modbus.TCPSlaveException(4, 0x83, 4), "slave_exceptions"),
    # the kind is the class's: a built-in error with a library text is not the library's failure
    (ValueError("modbus: message from slave with station 4 has crc error"), "other_errors"),
    (IOError("modbus: read from slave timeout"), "other_errors"),
    (brel_modbus.ConnectionClosedError("Connection closed by ('127.0.0.1', 502)"), "other_errors"),
    (ConnectionResetError(104, "Connection reset by peer"), "other_errors"),
])
def test_failures_are_counted_by_kind(exc, key):
    slaves = Slaves()
    slaves.failures[4] = exc
    clock = Clock()
    # a unit that keeps failing is marked down after max_failures: here it stays up. A failure
    # ends the station's pass (its coil is not asked, and gets the same failure); an exception
    # answer is a refusal, not a failure, and the pass goes on
    p = poller(("a", 4, H, 0), ("b", 4, "coil", 0), ("c", 5, H, 0), slaves=slaves, clock=clock, max_failures=7)
    for t in range(3):
        clock.t = t
        values = p.poll()
        assert values["a"] is exc and values["b"] is exc and values["c"] == register(5, H, 0)
    sent = 6 if key == "slave_exceptions" else 3
    assert [r[0] for r in slaves.requests].count(4) == sent
    figures = p.stats[4]
    assert figures["requests"] == sent and figures[key] == sent
    assert figures["answers"] + sum(figures[k] for k in FAILURE_KEYS) == figures["requests"]
    # round trips are those the slave answered: refusals count, failures without an answer do not
    answered = key == "slave_exceptions"
    assert (figures["rtt_p50"] is not None) == answered
    other = p.stats[5]
    assert other["requests"] == other["answers"] == 3
    assert 0 <= other["rtt_p50"] <= other["rtt_p99"]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interruptions_are_not_caught(exc):
    slaves = Slaves()
    slaves.failures[1] = exc()
    p = poller(("a", 2, H, 0), ("b", 1, H, 0), slaves=slaves)
    with pytest.raises(exc):
        p.poll()
    # the interrupted request is neither answered nor failed: the figures still add up
    for station in (1, 2):
        figures = p.stats[station]
        assert figures["answers"] + sum(figures[k] for k in FAILURE_KEYS) == figures["requests"]
    assert p.stats[1]["requests"] == 0


def test_an_answer_of_the_wrong_size_fails_its_points():
    class Short(FakeMaster):
        def read_registers(self, station, address, count, func_code=3):
            return [1] * (count - 1)

        def read_coils(self, station, address, count):
            return [True] * (count - 1)

    p = Poller(Short(Slaves()))
    p.add("r", 1, H, 0)
    p.add("r2", 1, H, 3)
    p.add("c", 2, "coil", 0)
    p.add("c2", 2, "coil", 5)
    values = p.poll()
    assert str(values["r"]) == "Poller: the master answered 3 registers for 4 asked"
    assert str(values["c"]) == "Poller: the master answered 5 bits for 6 asked"
    assert values["r"] is values["r2"] and values["c"] is values["c2"]
    for station in (1, 2):
        assert p.stats[station]["other_errors"] == 1 and p.stats[station]["answers"] == 0


# ---- learning ----------------------------------------------------------------------------------------

def test_a_refused_merged_request_is_halved_once_and_for_all():
    # registers 10..14 do not exist: the request over 0..30 is refused once, then read in two
    slaves = Slaves(holes={(1, H, a) for a in range(10, 15)})
    clock = Clock()
    p = poller(*[(f"r{a}", 1, H, a) for a in (0, 5, 9, 20, 25, 30)], slaves=slaves, clock=clock)
    assert p.plan() == [(1, H, 0, 31, ["r0", "r5", "r9", "r20", "r25", "r30"])]
    values = p.poll()
    assert values == {f"r{a}": register(1, H, a) for a in (0, 5, 9, 20, 25, 30)}
    assert slaves.requests == [(1, H, 0, 31), (1, H, 0, 10), (1, H, 20, 11)]
    assert p.plan() == [(1, H, 0, 10, ["r0", "r5", "r9"]), (1, H, 20, 11, ["r20", "r25", "r30"])]
    clock.t = 1
    assert p.poll() == values
    assert slaves.requests[3:] == [(1, H, 0, 10), (1, H, 20, 11)]
    figures = p.stats[1]
    assert (figures["requests"], figures["answers"], figures["slave_exceptions"]) == (5, 4, 1)


@pytest.mark.parametrize("table", ["input", "discrete"])
def test_halving_goes_down_to_one_point_which_keeps_its_exception(table):
    slaves = Slaves(holes={(3, table, 6)})
    clock = Clock()
    addresses = [0, 2, 4, 6, 8, 10, 12, 14]
    p = poller(*[(f"p{a}", 3, table, a) for a in addresses], slaves=slaves, clock=clock)
    values = p.poll()
    assert isinstance(values.pop("p6"), SlaveException)
    make = bit if table == "discrete" else register
    assert values == {f"p{a}": make(3, table, a) for a in addresses if a != 6}
    # 0..14 refused, 0..6 refused, 4..6 refused, 6 refused alone
    refused = [r for r in slaves.requests if r[2] <= 6 < r[2] + r[3]]
    assert refused == [(3, table, 0, 15), (3, table, 0, 7), (3, table, 4, 3), (3, table, 6, 1)]
    plan = p.plan()
    assert (3, table, 6, 1, ["p6"]) in plan and len(plan) == 4
    before = len(slaves.requests)
    clock.t = 1
    again = p.poll()
    assert len(slaves.requests) - before == 4
    assert again["p6"].error_code == 2 and p.stats[3]["slave_exceptions"] == 5


@pytest.mark.parametrize("code, split", [(2, True), (3, True), (1, False), (4, False)])
def test_only_illegal_address_or_value_splits(code, split):
    slaves = Slaves(holes={(1, H, 5)})
    slaves.hole_code = code
    p = poller(("a", 1, H, 0), ("b", 1, H, 10), slaves=slaves)
    values = p.poll()
    if split:
        assert values == {"a": register(1, H, 0), "b": register(1, H, 10)}
        assert len(p.plan()) == 2
    else:
        assert values["a"] is values["b"] and values["a"].error_code == code
        assert len(p.plan()) == 1


def test_points_that_share_their_first_register_are_not_split():
    slaves = Slaves(holes={(1, H, 1)})
    p = poller(("a", 1, H, 0), ("b", 1, H, 0, "f"), slaves=slaves)
    values = p.poll()
    assert values["a"] is values["b"] and isinstance(values["a"], SlaveException)
    assert p.plan() == [(1, H, 0, 2, ["a", "b"])]
    assert len(slaves.requests) == 1


def test_a_cut_learned_for_one_period_leaves_other_periods_alone():
    slaves = Slaves(holes={(1, H, 5)})
    p = poller(("a", 1, H, 0), ("b", 1, H, 10),
               {"name": "c", "station": 1, "table": H, "address": 2, "period": 3},
               {"name": "d", "station": 1, "table": H, "address": 4, "period": 3}, slaves=slaves)
    p.poll()
    assert p.plan() == [(1, H, 0, 1, ["a"]), (1, H, 2, 3, ["c", "d"]), (1, H, 10, 1, ["b"])]


# ---- run() --------------------------------------------------------------------------------------------

def test_run_passes_on_the_clock_and_stops_after_the_duration():
    clock = Clock()
    p = poller({"name": "a", "station": 1, "table": H, "address": 0, "period": 1},
               {"name": "b", "station": 1, "table": H, "address": 1, "period": 2}, clock=clock)
    passes = []
    for values in p.run(duration=4):
        passes.append((clock.t, sorted(values)))
        clock.t += 1          # the caller brings the clock to the next slot: run() does not sleep
    assert passes == [(0, ["a", "b"]), (1, ["a"]), (2, ["a", "b"]), (3, ["a"]), (4, ["a", "b"])]


def test_passes_that_overrun_skip_the_slots_they_missed():
    # Each pass takes 13/128 s, over three slots of 1/32 s: the next pass starts at once, late,
    # and the slots it overran are not made up for (17 slots in 0.5 s, 6 passes).
    clock = Clock()
    slaves = Slaves(clock=clock, step=13 / 128)
    starts = []
    slaves.on_request = lambda: starts.append(clock.t)
    p = poller({"name": "a", "station": 1, "table": H, "address": 0, "period": 1 / 32}, slaves=slaves, clock=clock)
    assert len(list(p.run(duration=0.5))) == 6
    assert starts == [k * 13 / 128 for k in range(6)]


def test_run_without_points_ends_at_once():
    assert list(Poller(FakeMaster(Slaves())).run()) == []


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_ends_the_sleep_between_passes():
    slaves = Slaves()
    p = poller({"name": "a", "station": 1, "table": H, "address": 0, "period": 3}, slaves=slaves)
    main = threading.main_thread().ident
    passes = p.run(duration=4)
    next(passes)
    timer = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            next(passes)   # asleep until the slot 3 s on: the signal ends it before the second pass
    finally:
        timer.join()
    assert len(slaves.requests) == 1
    assert not any("poller_support" in str(entry.path) for entry in info.traceback)


def test_other_threads_run_while_run_sleeps():
    # With a switch interval longer than the test, the helper thread can only take the
    # interpreter lock when the poller lets it go of its own accord.
    counter = [0]
    stop = threading.Event()

    def helper():
        while not stop.is_set():
            counter[0] += 1
            stop.wait(0.001)

    slaves = Slaves()
    seen = []
    slaves.on_request = lambda: seen.append(counter[0])
    p = poller({"name": "a", "station": 1, "table": H, "address": 0, "period": 0.2}, slaves=slaves)
    interval = sys.getswitchinterval()
    thread = threading.Thread(target=helper)
    thread.start()
    sys.setswitchinterval(30)
    try:
        list(p.run(duration=0.3))   # passes at 0 and 0.2 s
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    assert len(seen) == 2 and seen[1] > seen[0]

