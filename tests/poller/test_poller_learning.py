"""What the Poller learns of each device, against masters that answer from memory: a refusal is
told from a failure of the link or the unit, block limits are found by halving, and a unit that
stops answering is tried by one request per back-off while the others keep their periods."""

import math
import threading

import pytest

import brel_modbus

from brel_modbus import Poller, SlaveException
from poller_support import Clock, FakeMaster, Slaves, register

H = "holding"
TIMEOUT = "modbus: read from slave timeout"


def poller(*points, slaves, clock=None, **options):
    p = Poller(FakeMaster(slaves), clock=clock, **options)
    for point in points:
        p.add(*point)
    return p


def sent(slaves, station=None, since=0):
    return [r for r in slaves.requests[since:] if station is None or r[0] == station]


# ---- refusal or failure ---------------------------------------------------------------------------

@pytest.mark.parametrize("exc, key", [
    (brel_modbus.ModbusTimeoutError(TIMEOUT), "timeouts"),
    (brel_modbus.FrameError("modbus: message from slave with station 1 has crc error"), "crc_errors"),
    (brel_modbus.MismatchError("modbus: answer from slave with station 1 does not match the request"), "mismatches"),
    (ConnectionResetError(104, "Connection reset by peer"), "other_errors"),
    (SlaveException(1, 0x83, 10), "slave_exceptions"),
    (SlaveException(1, 0x83, 11), "slave_exceptions"),
])
def test_a_failure_of_the_link_or_unit_is_never_split(exc, key):
    slaves = Slaves()
    slaves.failures[1] = exc
    p = poller(("a", 1, H, 0), ("b", 1, H, 10), ("c", 1, H, 12), slaves=slaves, max_failures=9)
    values = p.poll()
    assert values == dict.fromkeys("abc", exc)
    assert slaves.requests == [(1, H, 0, 13)]
    assert p.plan() == [(1, H, 0, 13, ["a", "b", "c"])]
    figures = p.stats[1]
    assert (figures[key], figures["failures"], figures["state"]) == (1, 1, "up")


# A gateway that cannot reach the unit fails the unit's pass: its coil is not asked. Any other
# exception answer is a refusal, and the coil is asked too.
@pytest.mark.parametrize("code, failures, sent", [(10, 1, 1), (11, 1, 1), (1, 0, 2), (4, 0, 2), (6, 0, 2)])
def test_gateway_exceptions_count_against_the_unit_others_are_answers(code, failures, sent):
    slaves = Slaves()
    slaves.failures[1] = exc = SlaveException(1, 0x83, code)
    p = poller(("a", 1, H, 0), ("b", 1, "coil", 0), slaves=slaves)
    values = p.poll()
    assert values == {"a": exc, "b": exc} and len(slaves.requests) == sent
    figures = p.stats[1]
    assert figures["failures"] == failures and figures["slave_exceptions"] == sent
    assert figures["last_success"] is None


def test_an_answer_after_failures_starts_the_count_again():
    slaves = Slaves(silent={1})
    clock = Clock()
    p = poller(("a", 1, H, 0), ("b", 1, "coil", 0), slaves=slaves, clock=clock)
    p.poll()
    clock.t = 1
    p.poll()
    assert p.stats[1]["failures"] == 2  # one per pass
    slaves.silent.clear()
    clock.t = 2.5
    p.poll()
    assert p.stats[1] | {"rtt_p50": 0, "rtt_p99": 0} == {
        "requests": 4, "answers": 2, "timeouts": 2, "crc_errors": 0, "mismatches": 0, "slave_exceptions": 0,
        "other_errors": 0, "rtt_p50": 0, "rtt_p99": 0, "state": "up", "failures": 0, "last_success": 2.5,
        "backoff": None, "max_gap": 16}


# ---- block limits -------------------------------------------------------------------------------

def refusals(slaves, limit):
    return [r for r in slaves.requests if r[3] > limit]


@pytest.mark.parametrize("limit", [1, 5, 8, 50])
@pytest.mark.parametrize("code", [2, 3])
@pytest.mark.parametrize("table", ["input", "coil"])
def test_a_block_limit_is_learned_without_losing_a_point(limit, code, table):
    slaves = Slaves()
    slaves.limits[(1, table)] = limit
    slaves.limit_code = code
    clock = Clock()
    span = 100
    p = poller(*[(f"p{a}", 1, table, a) for a in range(span)], slaves=slaves, clock=clock)
    expected = p.poll()
    assert not any(isinstance(v, Exception) for v in expected.values()) and len(expected) == span
    assert p.stats[1]["state"] == "up"
    # the later passes may still narrow the bound down, never losing a point on the way
    for t in range(1, 12):
        clock.t = t
        assert p.poll() == expected
    assert len(refusals(slaves, limit)) <= math.ceil(math.log2(span))
    plan = p.plan()
    assert max(r[3] for r in plan) == limit and len(plan) == math.ceil(span / limit)
    before = len(slaves.requests)
    clock.t = 20
    assert p.poll() == expected
    assert len(slaves.requests) - before == len(plan)
    assert all(r[3] <= limit for r in slaves.requests[before:])


def test_a_refusal_of_a_size_already_read_is_a_hole_not_a_limit():
    # the device says "illegal value" for its hole too: a read of 31 went through before, so the
    # refused read of 11 is about its addresses
    slaves = Slaves(holes={(1, H, 105)})
    slaves.hole_code = 3
    clock = Clock()
    p = poller(("a", 1, H, 0), ("b", 1, H, 30), ("c", 1, H, 100), ("d", 1, H, 110), ("e", 1, H, 120),
               slaves=slaves, clock=clock, max_gap=30)
    assert [r[2:4] for r in p.plan()] == [(0, 31), (100, 21)]
    values = p.poll()
    assert values == {k: register(1, H, a) for k, a in zip("abcde", (0, 30, 100, 110, 120), strict=True)}
    assert [r[2:4] for r in p.plan()] == [(0, 31), (100, 1), (110, 11)]
    clock.t = 1
    before = len(slaves.requests)
    assert p.poll() == values
    assert [r[2:4] for r in slaves.requests[before:]] == [(0, 31), (100, 1), (110, 11)]


def test_a_point_wider_than_the_limit_is_read_alone_and_keeps_its_refusal():
    slaves = Slaves()
    slaves.limits[(1, H)] = 2
    p = poller(("a", 1, H, 0), ("b", 1, H, 1), ("wide", 1, H, 2, "q"), ("c", 1, H, 6), slaves=slaves)
    values = p.poll()
    assert isinstance(values.pop("wide"), SlaveException)
    assert values == {k: register(1, H, a) for k, a in zip("abc", (0, 1, 6), strict=True)}


# ---- dead units -----------------------------------------------------------------------------------

def test_a_dead_unit_is_tried_by_one_request_per_backoff_and_costs_the_others_nothing():
    slaves = Slaves(silent={2})
    clock = Clock()
    p = poller(("a", 1, H, 0), ("b", 2, H, 0), ("c", 2, H, 50), ("d", 2, "coil", 0), ("e", 3, "input", 7),
               slaves=slaves, clock=clock, max_backoff=4)
    for t in range(3):  # one time-out a pass, the unit's other requests not sent: down after three
        clock.t = t
        before = len(slaves.requests)
        first = p.poll()
        assert [r[0] for r in slaves.requests[before:]] == [1, 2, 3]
        assert first["c"] is first["b"] and first["d"] is first["b"]
    assert p.stats[2] | {"rtt_p50": 0, "rtt_p99": 0} == {
        "requests": 3, "answers": 0, "timeouts": 3, "crc_errors": 0, "mismatches": 0, "slave_exceptions": 0,
        "other_errors": 0, "rtt_p50": 0, "rtt_p99": 0, "state": "down", "failures": 3, "last_success": None,
        "backoff": 1.0, "max_gap": 16}
    last = first["d"]
    assert str(last) == TIMEOUT
    tries, backoffs = [], []
    for t in range(3, 15):
        clock.t = t
        before = len(slaves.requests)
        values = p.poll()
        assert values["a"] == register(1, H, 0) and values["e"] == register(3, "input", 7)
        assert all(isinstance(values[k], OSError) for k in "bcd")
        assert len(sent(slaves, 1, before)) == len(sent(slaves, 3, before)) == 1
        if sent(slaves, 2, before):
            tries.append(t)
            assert sent(slaves, 2, before) == [(2, H, 0, 1)]
        backoffs.append(p.stats[2]["backoff"])
    assert tries == [3, 5, 9, 13]
    assert backoffs == [2, 2, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4]
    assert p.stats[2]["state"] == "down" and p.stats[2]["failures"] == 7 and p.stats[2]["requests"] == 7
    assert p.stats[1]["state"] == "up" and p.stats[1]["last_success"] == 14

    # back: the try that is answered brings the unit up, and its other requests follow at once
    slaves.silent.clear()
    clock.t = 17
    before = len(slaves.requests)
    values = p.poll()
    assert sent(slaves, 2, before) == [(2, H, 0, 1), (2, H, 50, 1), (2, "coil", 0, 1)]
    assert values["b"] == register(2, H, 0) and values["c"] == register(2, H, 50)
    assert p.stats[2]["state"] == "up" and p.stats[2]["failures"] == 0
    assert p.stats[2]["last_success"] == 17 and p.stats[2]["backoff"] is None


@pytest.mark.parametrize("max_failures", [1, 2, 5])
def test_the_unit_goes_down_after_max_failures_in_a_row(max_failures):
    slaves = Slaves()
    slaves.failures[4] = SlaveException(4, 0x83, 11)
    clock = Clock()
    p = poller(*[(f"p{a}", 4, H, a * 100) for a in range(4)], slaves=slaves, clock=clock, max_failures=max_failures)
    for t in range(6):  # one failure a pass, however many requests the unit has
        clock.t = t
        p.poll()
        if p.stats[4]["state"] == "down":
            break
    assert p.stats[4]["failures"] == max_failures == p.stats[4]["requests"]
    assert p.stats[4]["backoff"] == 1.0


def test_the_first_backoff_is_the_units_shortest_period():
    slaves = Slaves(silent={2})
    clock = Clock()
    p = Poller(FakeMaster(slaves), clock=clock, max_failures=1)
    p.add("slow", 2, H, 0, period=10)
    p.add("fast", 2, H, 40, period=2.5)
    p.add("other", 3, H, 0, period=30)
    p.poll()
    assert p.stats[2]["backoff"] == 2.5 and p.stats[2]["state"] == "down"
    assert p.stats[3]["state"] == "up"


def test_an_interrupted_try_is_tried_again_at_the_next_pass():
    slaves = Slaves(silent={2})
    clock = Clock()
    p = poller(("a", 2, H, 0), slaves=slaves, clock=clock, max_failures=1)
    p.poll()
    slaves.silent.clear()
    slaves.failures[2] = KeyboardInterrupt()
    clock.t = 1
    with pytest.raises(KeyboardInterrupt):
        p.poll()
    del slaves.failures[2]
    clock.t = 1.5
    assert p.poll() == {"a": register(2, H, 0)}
    assert p.stats[2]["state"] == "up"


# ---- what was learned, kept -----------------------------------------------------------------------

def learning_poller(slaves, **options):
    p = poller(*[(f"h{a}", 1, H, a) for a in (0, 5, 9, 20, 25, 30)],
               *[(f"i{a}", 3, "input", a) for a in range(40)], slaves=slaves, **options)
    return p


def device():
    slaves = Slaves(holes={(1, H, a) for a in range(10, 15)})
    slaves.limits[(3, "input")] = 8
    return slaves


def test_what_was_learned_is_plain_data_that_a_new_poller_starts_from():
    import json

    slaves = device()
    clock = Clock()
    first = learning_poller(slaves, clock=clock)
    assert first.learned == {}
    values = first.poll()
    for t in range(1, 6):
        clock.t = t
        assert first.poll() == values
    learned = first.learned
    assert learned == {
        "1": {H: {"cuts": [20], "max_block": None, "largest_read": 0, "smallest_refused": None}},
        "3": {"input": {"cuts": [], "max_block": 8, "largest_read": 8, "smallest_refused": 9}},
    }
    kept = json.loads(json.dumps(learned))
    assert kept == learned
    again = Slaves(holes=slaves.holes)
    again.limits = dict(slaves.limits)
    second = learning_poller(again, learned=kept)
    assert second.plan() == first.plan()
    assert second.poll() == values
    assert len(again.requests) == len(first.plan()) and second.stats[1]["slave_exceptions"] == 0
    assert second.learned == learned


def test_plan_shows_the_learned_bound_and_cuts_beside_each_request():
    slaves = device()
    p = learning_poller(slaves)
    assert [r[5] for r in p.plan(learned=True)] == [{"max_block": None, "cut": None, "max_gap": 16}] * 2
    p.poll()
    plan = p.plan(learned=True)
    assert [r[:5] for r in plan] == p.plan()
    assert plan[0][5] == {"max_block": None, "cut": None, "max_gap": 16} and plan[0][2] == 0
    assert plan[1][5] == {"max_block": None, "cut": 20, "max_gap": 16} and plan[1][2] == 20
    most = p.learned["3"]["input"]["max_block"]
    assert 8 <= most < 40   # still narrowing down after one pass
    assert [r[5] for r in plan[2:]] == [{"max_block": most, "cut": None, "max_gap": 16}] * len(plan[2:])
    assert all(r[3] <= most for r in plan[2:]) and sum(r[3] for r in plan[2:]) == 40


def test_learned_cuts_apply_to_every_period():
    p = poller(("a", 1, H, 0), ("b", 1, H, 10), slaves=Slaves(),
               learned={1: {H: {"cuts": [5]}}})
    p.add("c", 1, H, 2, period=3)
    p.add("d", 1, H, 8, period=3)
    assert [r[2:4] for r in p.plan()] == [(0, 1), (2, 1), (8, 1), (10, 1)]


@pytest.mark.parametrize("learned, error, text", [
    ([], TypeError, "learned must be a dict (as Poller.learned gives) or None, not list"),
    ({"x": {}}, ValueError, "learned: 'x' is not a station (0 to 255)"),
    ({"256": {}}, ValueError, "learned: '256' is not a station (0 to 255)"),
    ({True: {}}, ValueError, "learned: True is not a station"),
    ({"1": []}, TypeError, "learned['1'] must be a dict of tables, not list"),
    ({"1": {"holdings": {}}}, ValueError, "learned['1']: 'holdings' is not 'holding', 'input', 'coil' or 'discrete'"),
    ({"1": {H: 5}}, TypeError, "learned['1']['holding'] must be a dict, not int"),
    ({"1": {H: {"cuts": 5}}}, TypeError, "learned['1']['holding'] cuts must be a list, not int"),
    ({"1": {H: {"cuts": [0]}}}, ValueError, "learned['1']['holding'] cuts must be an int from 1 to 65535: 0"),
    ({"1": {H: {"cuts": ["7"]}}}, ValueError, "cuts must be an int from 1 to 65535: '7'"),
    ({"1": {H: {"smallest_refused": 126}}}, ValueError, "smallest_refused must be an int from 2 to 125: 126"),
    ({"1": {"coil": {"largest_read": 2001}}}, ValueError, "largest_read must be an int from 0 to 2000: 2001"),
    ({"1": {H: {"largest_read": 2 ** 80}}}, ValueError, "largest_read must be an int from 0 to 125"),
])
def test_learned_is_checked_whole_before_the_poller_is_made(learned, error, text):
    with pytest.raises(error) as info:
        Poller(FakeMaster(Slaves()), learned=learned)
    assert text in str(info.value)


# ---- the gap it picks ----------------------------------------------------------------------------

class Line(FakeMaster):
    """Reads that take a fixed time per request plus a time per register."""

    def __init__(self, slaves, fixed, per_register):
        super().__init__(slaves)
        self.fixed, self.per_register = fixed, per_register

    def read_registers(self, station, address, count, func_code=3):
        threading.Event().wait(self.fixed + self.per_register * count)
        return super().read_registers(station, address, count, func_code)


@pytest.mark.parametrize("fixed, per_register, low, high", [
    (0.004, 0.0008, 2, 12),     # a slow serial line: a gap costs soon more than a request
    (0.004, 0.0, 40, 125),      # loopback TCP: a register costs nothing measurable
])
def test_max_gap_auto_follows_what_requests_and_registers_cost(fixed, per_register, low, high):
    slaves = Slaves()
    clock = Clock()
    p = Poller(Line(slaves, fixed, per_register), max_gap="auto", clock=clock)
    for a in (0, 3, 9, 12, 30, 31, 40, 70, 75, 100):
        p.add(f"r{a}", 1, H, a)
    assert p.stats[1]["max_gap"] == 16   # until reads of two sizes were measured
    for t in range(4):
        clock.t = t
        values = p.poll()
        assert values == {f"r{a}": register(1, H, a) for a in (0, 3, 9, 12, 30, 31, 40, 70, 75, 100)}
    gap = p.stats[1]["max_gap"]
    assert low <= gap <= high
    assert {r[5]["max_gap"] for r in p.plan(learned=True)} == {gap}
    # the plan merges across gaps up to the one measured, and no further
    plan = p.plan()
    for before, after in zip(plan, plan[1:], strict=False):
        assert after[2] - (before[2] + before[3]) > gap


@pytest.mark.parametrize("max_gap, error, text", [
    ("Auto", ValueError, "Poller: max_gap must be a number of registers or 'auto': 'Auto'"),
    (1.5, TypeError, "Argument 'max_gap' has incorrect type (expected int or 'auto', got float)"),
    (None, TypeError, "Argument 'max_gap' has incorrect type (expected int or 'auto', got NoneType)"),
])
def test_max_gap_is_a_number_or_auto(max_gap, error, text):
    with pytest.raises(error) as info:
        Poller(FakeMaster(Slaves()), max_gap=max_gap)
    assert text in str(info.value)
