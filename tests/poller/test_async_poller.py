"""AsyncPoller against asyncio masters that answer from memory: its checks, what it learns (the
same requests as Poller on the same slaves), dead stations, masters read side by side, run()
and cancellation. The clock of the event loop is moved by hand where periods matter."""

import asyncio
import inspect

import pytest

import brel_modbus
from brel_modbus import AsyncMaster, AsyncModbusTCPMaster, AsyncPoller, Poller, SlaveException
from poller_support import Clock, FakeMaster, Slaves, bit, register, run_on, time_limit

H = "holding"


class FakeAsyncMaster(AsyncMaster):
    """An AsyncMaster whose reads are answered by `slaves` at once, or held back (their futures
    kept in `held`) while `hold` is set."""

    def __init__(self, slaves, hold=False, later=False):   # no line
        self.slaves = slaves
        self.hold = hold
        self.held = []
        self.later = later   # answered on the loop's next step rather than at once

    def _future(self, station, table, address, count):
        future = asyncio.get_running_loop().create_future()
        if self.hold:
            self.held.append(future)
            return future

        def settle():
            if future.cancelled():
                return
            try:
                future.set_result(self.slaves.answer(station, table, address, count))
            except Exception as exc:
                future.set_exception(exc)

        if self.later:
            asyncio.get_running_loop().call_soon(settle)
        else:
            settle()
        return future

    def read_registers(self, station, address, count, func_code=3):
        return self._future(station, H, address, count)

    def read_input_registers(self, station, address, count):
        return self._future(station, "input", address, count)

    def read_coils(self, station, address, count):
        return self._future(station, "coil", address, count)

    def read_input_coils(self, station, address, count):
        return self._future(station, "discrete", address, count)

    def _written(self, station, table, address, values):
        future = asyncio.get_running_loop().create_future()
        self.slaves.write(station, table, address, values)
        future.set_result(None)
        return future

    def write_registers(self, station, address, values):
        return self._written(station, H, address, values)

    def write_coil(self, station, address, value):
        return self._written(station, "coil", address, value)


class FakeAsyncTCPMaster(AsyncModbusTCPMaster):
    def __init__(self, slaves, station=1):   # no connection
        self.slaves = slaves
        self._station = station

    station = property(lambda self: self._station)

    def read_registers(self, address, count):
        future = asyncio.get_running_loop().create_future()
        future.set_result(self.slaves.answer(self._station, H, address, count))
        return future


class ClockLoop(asyncio.SelectorEventLoop):
    """An event loop whose clock moves only when the test says so (no timer is used by the tests
    that run on it)."""

    def __init__(self, clock):
        super().__init__()
        self.clock = clock

    def time(self):
        return self.clock.t


def on_clock(clock, body):
    return run_on(ClockLoop(clock), body)


def poll_once(poller):
    async def body():
        return await poller.poll()

    return asyncio.run(body())


def same(a, b):
    """Values of two pollers alike: equal values, exceptions of one type and arguments."""
    assert a.keys() == b.keys()
    for name in a:
        if isinstance(a[name], BaseException):
            assert type(a[name]) is type(b[name]) and a[name].args == b[name].args, name
        else:
            assert a[name] == b[name], name


# ---- the class and its checks -------------------------------------------------------------

def shape(function):
    return [(p.name, p.kind.name, p.annotation, p.default) for p in inspect.signature(function).parameters.values()]


def test_signatures():
    empty = inspect.Parameter.empty
    assert shape(AsyncPoller) == [("max_gap", "POSITIONAL_OR_KEYWORD", "int | str", 16),
                                  ("max_bit_gap", "POSITIONAL_OR_KEYWORD", "int", 256),
                                  ("max_failures", "KEYWORD_ONLY", "int", 3),
                                  ("max_backoff", "KEYWORD_ONLY", "float", 60.0),
                                  ("learned", "KEYWORD_ONLY", "list | None", None)]
    assert shape(AsyncPoller.add) == [
        ("self", "POSITIONAL_OR_KEYWORD", empty, empty),
        ("master", "POSITIONAL_OR_KEYWORD", "AsyncMaster | AsyncModbusTCPMaster", empty),
        ("name", "POSITIONAL_OR_KEYWORD", "str", empty), ("station", "POSITIONAL_OR_KEYWORD", "int", empty),
        ("table", "POSITIONAL_OR_KEYWORD", "str", empty), ("address", "POSITIONAL_OR_KEYWORD", "int", empty),
        ("format", "POSITIONAL_OR_KEYWORD", "str", "H"), ("order", "POSITIONAL_OR_KEYWORD", "str", "ABCD"),
        ("period", "POSITIONAL_OR_KEYWORD", "float", 1.0)]
    assert shape(AsyncPoller.run)[1:] == [("duration", "POSITIONAL_OR_KEYWORD", "float | None", None)]


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((-1,), {}, ValueError, "AsyncPoller: max_gap must not be negative: -1"),
    ((16, -2), {}, ValueError, "AsyncPoller: max_bit_gap must not be negative: -2"),
    ((), {"max_failures": 0}, ValueError, "AsyncPoller: max_failures must be at least 1: 0"),
    ((), {"max_backoff": 0.0}, ValueError, "AsyncPoller: max_backoff must be a positive number of seconds: 0.0"),
    ((16, 256, 3), {}, TypeError, None),
    (("x",), {}, ValueError, "AsyncPoller: max_gap must be a number of registers or 'auto': 'x'"),
    ((1.5,), {}, TypeError, "Argument 'max_gap' has incorrect type (expected int or 'auto', got float)"),
    ((), {"learned": {}}, TypeError,
     "AsyncPoller: learned must be a list (as AsyncPoller.learned gives) or None, not dict"),
    ((), {"learned": [None]}, TypeError, "AsyncPoller: learned[0] must be a dict (as Poller.learned gives), not None"),
    ((), {"learned": [{}, []]}, TypeError,
     "AsyncPoller: learned[1] must be a dict (as Poller.learned gives) or None, not list"),
    ((), {"learned": [{}, {"x": {}}]}, ValueError, "AsyncPoller: learned[1]: 'x' is not a station (0 to 255)"),
    ((), {"learned": [{"1": {H: {"cuts": [0]}}}]}, ValueError,
     "AsyncPoller: learned[0]['1']['holding'] cuts must be an int from 1 to 65535: 0"),
    ((), {"learned": [{"1": {"coil": {"largest_read": 2001}}}]}, ValueError,
     "AsyncPoller: learned[0]['1']['coil'] largest_read must be an int from 0 to 2000: 2001"),
])
def test_constructor_checks(args, kwargs, error, text):
    with pytest.raises(error) as caught:
        AsyncPoller(*args, **kwargs)
    if text:
        assert str(caught.value) == text


@pytest.mark.parametrize("args, error, text", [
    (("a", 1, "holding", 0), ValueError, "AsyncPoller.add: a point named 'a' exists already"),
    (("b", 0, "holding", 0), ValueError,
     "AsyncPoller.add: station 0 is the broadcast address, which no slave answers"),
    (("b", 256, "holding", 0), OverflowError, "modbus: station out of range 0 to 255: 256"),
    (("b", 1, "table", 0), ValueError,
     "AsyncPoller.add: table must be 'holding', 'input', 'coil' or 'discrete': 'table'"),
    (("b", 1, "holding", 65536), OverflowError, "modbus: address out of range 0 to 65535: 65536"),
    (("b", 1, "holding", 65535, "I"), ValueError,
     "AsyncPoller.add: a point of 2 registers at 65535 runs past address 65535"),
    (("b", 1, "holding", 0, "H", "ABCD", 0.0), ValueError,
     "AsyncPoller.add: period must be a positive number of seconds: 0.0"),
    (("b", 1, "holding", 0, "Z"), ValueError, None),
])
def test_add_checks_before_taking_the_point(args, error, text):
    poller = AsyncPoller()
    master = FakeAsyncMaster(Slaves())
    poller.add(master, "a", 1, "holding", 0)
    with pytest.raises(error) as caught:
        poller.add(master, *args)
    if text:
        assert str(caught.value) == text
    assert [row[5] for row in poller.plan()] == [["a"]]


def test_add_takes_asyncio_masters_only_and_tcp_masters_their_own_station():
    poller = AsyncPoller()
    with pytest.raises(TypeError, match="AsyncPoller.add: master must be an AsyncMaster or AsyncModbusTCPMaster, "
                                        "not FakeMaster"):
        poller.add(FakeMaster(Slaves()), "a", 1, "holding", 0)
    with pytest.raises(ValueError, match=r"AsyncPoller.add: station 2 is not the master's station 3 \(a "
                                         r"FakeAsyncTCPMaster reads its own station only\)"):
        poller.add(FakeAsyncTCPMaster(Slaves(), 3), "a", 2, "holding", 0)
    with pytest.raises(ValueError, match="AsyncPoller.run: duration must be None or a number of seconds from 0"):
        poller.run(-1)
    assert poller.plan() == []


# ---- one pass over many masters ------------------------------------------------------------

def test_poll_merges_each_masters_points_and_reads_them_all():
    a, b = Slaves(), Slaves()
    ma, mb, mt = FakeAsyncMaster(a), FakeAsyncMaster(b), FakeAsyncTCPMaster(b, 5)
    poller = AsyncPoller()
    poller.add(ma, "x", 1, H, 10)
    poller.add(ma, "y", 1, H, 14, "I")
    poller.add(ma, "c", 1, "coil", 3)
    poller.add(mb, "z", 2, H, 10)
    poller.add(mb, "d", 2, "discrete", 7)
    poller.add(mt, "t", 5, H, 1)
    assert poller.plan() == [(ma, 1, H, 10, 6, ["x", "y"]), (ma, 1, "coil", 3, 1, ["c"]),
                             (mb, 2, H, 10, 1, ["z"]), (mb, 2, "discrete", 7, 1, ["d"]), (mt, 5, H, 1, 1, ["t"])]

    values = poll_once(poller)
    assert values == {"x": register(1, H, 10), "y": (register(1, H, 14) << 16) | register(1, H, 15),
                      "c": bit(1, "coil", 3), "z": register(2, H, 10), "d": bit(2, "discrete", 7),
                      "t": register(5, H, 1)}
    assert a.requests == [(1, H, 10, 6), (1, "coil", 3, 1)]
    # mb and mt read side by side: each in its own order, the two interleaved
    assert [r for r in b.requests if r[0] == 2] == [(2, H, 10, 1), (2, "discrete", 7, 1)]
    assert [r for r in b.requests if r[0] == 5] == [(5, H, 1, 1)]
    assert b.requests.index((5, H, 1, 1)) < 2
    assert poll_once(AsyncPoller()) == {}


@pytest.mark.parametrize("holes, limits, code", [
    ({(1, H, 13)}, {}, 2),                     # a hole between two points
    ({(1, H, a) for a in range(20, 24)}, {}, 2),
    ((), {(1, H): 5}, 3),                      # a block limit, refused as an illegal value
    ((), {(1, H): 8}, 2),                      # ... or as an illegal address
    ({(1, H, 3)}, {(1, H): 10}, 3),
])
def test_learns_as_poller_does(holes, limits, code):
    # The same points over the same slaves: the same requests, pass after pass, the same values.
    points = [(f"p{a}", 1, H, a) for a in (0, 2, 3, 6, 9, 12, 13, 17, 20, 22, 25, 30)]
    blocking, awaiting = Slaves(holes=holes), Slaves(holes=holes)
    for slaves in (blocking, awaiting):
        slaves.limits = dict(limits)
        slaves.limit_code = code
    clock = Clock()
    sync = Poller(FakeMaster(blocking), clock=clock)
    poller = AsyncPoller()
    master = FakeAsyncMaster(awaiting)
    for point in points:
        sync.add(*point)
        poller.add(master, *point)

    async def passes():
        for _ in range(3):
            same(sync.poll(), await poller.poll())
            assert awaiting.requests == blocking.requests
            clock.t += 1.0

    on_clock(clock, passes)
    assert len(blocking.requests) > 3   # something was refused and learned
    assert [row[1:] for row in poller.plan()] == [row[:4] + (row[4],) for row in sync.plan()]
    measured = ("rtt_p50", "rtt_p99")   # round trips of two different masters
    counted = {s: {k: v for k, v in row.items() if k not in measured} for s, row in poller.stats[master].items()}
    assert counted == {s: {k: v for k, v in row.items() if k not in measured} for s, row in sync.stats.items()}


@pytest.mark.parametrize("exc", [brel_modbus.ModbusTimeoutError("modbus: read from slave timeout"),
                                 SlaveException(2, 0x83, 10), SlaveException(2, 0x83, 11)])
def test_a_dead_station_is_tried_by_one_request_per_backoff(exc):
    slaves = Slaves()
    slaves.failures[2] = exc
    master = FakeAsyncMaster(slaves)
    poller = AsyncPoller(0, max_failures=2, max_backoff=4.0)
    poller.add(master, "live", 1, H, 0)
    for address in (0, 50, 100):   # three requests of the dead station
        poller.add(master, f"dead{address}", 2, H, address)
    clock = Clock()
    tried = {}

    async def passes():
        for t in range(12):
            clock.t = float(t)
            before = len(slaves.requests)
            values = await poller.poll()
            tried[t] = sum(1 for r in slaves.requests[before:] if r[0] == 2)
            assert values["live"] == register(1, H, 0)
            assert all(values[f"dead{a}"] is exc for a in (0, 50, 100))

    on_clock(clock, passes)
    # a failure ends the station's pass (its other requests are not sent): one failure a pass,
    # down after the second pass, then one request at t = 2, 4, 8 (back-off 1, 2, 4, the most)
    assert tried == {0: 1, 1: 1, 2: 1, 3: 0, 4: 1, 5: 0, 6: 0, 7: 0, 8: 1, 9: 0, 10: 0, 11: 0}
    stats = poller.stats[master]
    assert stats[1]["requests"] == stats[1]["answers"] == 12
    assert stats[2]["state"] == "down" and stats[2]["backoff"] == 4.0
    assert stats[2]["requests"] == 5 and stats[2]["answers"] == 0 and stats[2]["last_success"] is None


# ---- side by side ------------------------------------------------------------------------

def slow_and_fast():
    """A poller of two masters, one point each: one whose requests are held back, one that answers."""
    slow, fast = FakeAsyncMaster(Slaves(), hold=True), FakeAsyncMaster(Slaves())
    poller = AsyncPoller()
    poller.add(slow, "s", 1, H, 0, period=0.001)
    poller.add(fast, "f", 1, H, 0, period=0.001)
    return poller, slow, fast


def test_a_master_held_up_delays_no_other_masters_readings():
    poller, slow, fast = slow_and_fast()

    async def body():
        readings = []
        steps = poller.run()
        async with time_limit(10):
            async for values in steps:
                readings.append(values)
                if len(readings) == 5:
                    break
        held = list(slow.held)
        await steps.aclose()
        await asyncio.sleep(0)
        return readings, held

    readings, held = asyncio.run(body())
    assert readings == [{"f": register(1, H, 0)}] * 5
    assert len(held) == 1 and held[0].cancelled()   # the slow master's one request, cancelled at the end


def test_cancelled_poll_cancels_the_requests_under_way_and_counts_nothing():
    poller, slow, fast = slow_and_fast()

    async def body():
        task = asyncio.ensure_future(poller.poll())
        for _ in range(5):
            await asyncio.sleep(0)
        assert len(slow.held) == 1 and not task.done()
        with pytest.raises(RuntimeError, match="AsyncPoller.poll: a pass of this poller is under way"):
            poller.poll()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(0)   # the future's callbacks run
        assert slow.held[0].cancelled()
        slow.hold = False
        await asyncio.sleep(0.01)   # past the period of the fast master's point, read before the cancel
        return await poller.poll()

    assert asyncio.run(body()) == {"s": register(1, H, 0), "f": register(1, H, 0)}
    figures = poller.stats[slow][1]
    assert figures["requests"] == figures["answers"] == 1


def test_run_with_a_duration_of_zero_gives_one_reading_per_master_then_stops():
    masters = [FakeAsyncMaster(Slaves()) for _ in range(3)]
    poller = AsyncPoller()
    for n, master in enumerate(masters):
        poller.add(master, f"m{n}", n + 1, H, n)

    async def body():
        return [values async for values in poller.run(duration=0)]

    readings = asyncio.run(body())
    assert sorted(readings, key=lambda v: next(iter(v))) == [{f"m{n}": register(n + 1, H, n)} for n in range(3)]


def test_cancelling_the_task_of_run_ends_the_run():
    slow = FakeAsyncMaster(Slaves(), hold=True)
    poller = AsyncPoller()
    poller.add(slow, "s", 1, H, 0)

    async def body():
        async def consume():
            async for _ in poller.run():
                pass

        task = asyncio.ensure_future(consume())
        for _ in range(5):
            await asyncio.sleep(0)
        assert len(slow.held) == 1
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(0)   # the future's callbacks run
        assert slow.held[0].cancelled()
        slow.hold = False
        return await poller.poll()   # the run is over: a pass may start

    assert asyncio.run(body()) == {"s": register(1, H, 0)}


def test_write_goes_through_the_points_master_in_its_format():
    slaves = Slaves()
    one, other = FakeAsyncMaster(Slaves()), FakeAsyncMaster(slaves)
    poller = AsyncPoller()
    poller.add(one, "x", 1, H, 0)
    poller.add(other, "level", 3, H, 10, "f", "CDAB")
    poller.add(other, "pump", 3, "coil", 4)
    poller.add(other, "temp", 3, "input", 2)

    async def body():
        assert await poller.write("level", 1.5) is None
        await poller.write("pump", True)
        return await poller.poll()

    values = asyncio.run(body())
    # 1.5 is 0x3FC00000: its words swapped (CDAB)
    assert slaves.requests[:2] == [(3, "write holding", 10, [0x0000, 0x3FC0]), (3, "write coil", 4, [True])]
    assert values["level"] == 1.5 and values["pump"] is True
    assert one.slaves.requests == [(1, H, 0, 1)]   # nothing written through the other master


@pytest.mark.parametrize("name, value, error, text", [
    ("nothing", 1, KeyError, "\"AsyncPoller.write: no point is named 'nothing'\""),
    ("temp", 1, ValueError, "AsyncPoller.write: 'temp' is an input register, which cannot be written"),
    ("level", "high", TypeError, None),
])
def test_write_checks_before_sending(name, value, error, text):
    slaves = Slaves()
    master = FakeAsyncMaster(slaves)
    poller = AsyncPoller()
    poller.add(master, "level", 3, H, 10, "f")
    poller.add(master, "temp", 3, "input", 2)
    with pytest.raises(error) as caught:
        poller.write(name, value)
    if text:
        assert str(caught.value) == text
    assert slaves.requests == []


@pytest.mark.parametrize("steps", range(12))
def test_poll_cancelled_after_any_number_of_loop_steps_leaves_the_poller_sound(steps):
    slaves = Slaves(holes={(1, H, 5)}, silent={2})
    masters = [FakeAsyncMaster(slaves, later=True) for _ in range(3)]
    poller = AsyncPoller(max_failures=2)
    for n, master in enumerate(masters):
        for address in (0, 3, 5, 8, 40):
            poller.add(master, f"m{n}.{address}", 1, H, address, period=1e-9)
        poller.add(master, f"m{n}.silent", 2, H, 0, period=1e-9)

    async def body():
        task = asyncio.ensure_future(poller.poll())
        for _ in range(steps):
            await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        await asyncio.sleep(0)
        return await poller.poll()

    values = asyncio.run(body())
    for n in range(3):
        for address in (0, 3, 8, 40):
            assert values[f"m{n}.{address}"] == register(1, H, address)
        assert isinstance(values[f"m{n}.5"], SlaveException)
        assert isinstance(values[f"m{n}.silent"], brel_modbus.ModbusTimeoutError)
    for master in masters:
        for figures in poller.stats[master].values():
            assert figures["requests"] == (figures["answers"] + figures["timeouts"] + figures["slave_exceptions"]
                                           + figures["other_errors"])


def test_an_empty_poller_runs_out_at_once():
    async def body():
        return [values async for values in AsyncPoller().run()]

    assert asyncio.run(body()) == []


def test_an_interrupt_raised_by_a_master_ends_the_poll_and_the_next_one_runs():
    slaves = Slaves()
    first, second = FakeAsyncMaster(slaves), FakeAsyncMaster(slaves)
    poller = AsyncPoller()
    poller.add(first, "a", 1, H, 0, period=1e-9)
    poller.add(second, "b", 2, H, 0, period=1e-9)
    second.read_registers = lambda *args: (_ for _ in ()).throw(KeyboardInterrupt)

    async def body():
        with pytest.raises(KeyboardInterrupt):
            poller.poll()
        del second.read_registers
        await asyncio.sleep(0)
        return await poller.poll()

    assert asyncio.run(body()) == {"a": register(1, H, 0), "b": register(2, H, 0)}
    assert poller.stats[second][2]["requests"] == 1   # the interrupted request is not counted


# ---- what was learned, kept ----------------------------------------------------------------

def learning_points():
    """A meter with a hole on station 1 of one master, an inverter that reads 8 registers at most
    on station 3 of another: (slaves, points) of each."""
    meter = Slaves(holes={(1, H, a) for a in range(10, 15)})
    inverter = Slaves()
    inverter.limits[(3, "input")] = 8
    return [(meter, [(f"h{a}", 1, H, a) for a in (0, 5, 9, 20, 25, 30)]),
            (inverter, [(f"i{a}", 3, "input", a) for a in range(40)])]


def test_what_was_learned_is_one_plain_dict_per_master_as_poller_gives_it():
    import json

    devices = learning_points()
    clock = Clock()
    poller = AsyncPoller()
    masters = [FakeAsyncMaster(slaves) for slaves, _ in devices]
    syncs = []
    for slaves, _ in devices:
        twin = Slaves(holes=slaves.holes)
        twin.limits = dict(slaves.limits)
        syncs.append(Poller(FakeMaster(twin), clock=clock))
    for master, sync, (_, points) in zip(masters, syncs, devices, strict=True):
        for point in points:
            poller.add(master, *point)
            sync.add(*point)
    assert poller.learned == [{}, {}]

    async def passes():
        for _ in range(6):
            values = await poller.poll()
            for sync in syncs:
                expected = sync.poll()
                same(expected, {name: values[name] for name in expected})
            clock.t += 1.0
        return values

    values = on_clock(clock, passes)
    learned = poller.learned
    assert learned == [sync.learned for sync in syncs]
    assert learned[0] and learned[1]   # a cut on the meter, a bound on the inverter
    kept = json.loads(json.dumps(learned))
    assert kept == learned

    # a new poller starts from it: no refusal, one request per planned read
    again = AsyncPoller(learned=kept)
    assert again.learned == kept   # kept for the masters to come
    fresh = [(Slaves(holes=slaves.holes), points) for slaves, points in devices]
    for (slaves, _), (old, _) in zip(fresh, devices, strict=True):
        slaves.limits = dict(old.limits)
    new_masters = [FakeAsyncMaster(slaves) for slaves, _ in fresh]
    for master, (_, points) in zip(new_masters, fresh, strict=True):
        for point in points:
            again.add(master, *point)
    assert [row[1:] for row in again.plan()] == [row[1:] for row in poller.plan()]
    same(poll_once(again), values)
    for master, (slaves, _) in zip(new_masters, fresh, strict=True):
        assert len(slaves.requests) == sum(1 for row in again.plan() if row[0] is master)
        assert all(row["slave_exceptions"] == 0 for row in again.stats[master].values())
    assert again.learned == learned


def test_learned_given_for_more_masters_than_were_added_is_kept():
    kept = [{"1": {H: {"cuts": [5], "max_block": None, "largest_read": 0, "smallest_refused": None}}},
            {"2": {"coil": {"cuts": [], "max_block": 4, "largest_read": 4, "smallest_refused": 5}}}]
    poller = AsyncPoller(learned=kept)
    master = FakeAsyncMaster(Slaves())
    poller.add(master, "a", 1, H, 0)
    poller.add(master, "b", 1, H, 10)
    assert [row[3:5] for row in poller.plan()] == [(0, 1), (10, 1)]   # cut at 5
    assert poller.learned == kept


# ---- the gap it picks ----------------------------------------------------------------------

class Line(FakeAsyncMaster):
    """Reads that take, on the loop's clock, a fixed time per request plus a time per register."""

    def __init__(self, slaves, clock, fixed, per_register):
        super().__init__(slaves)
        self.clock, self.fixed, self.per_register = clock, fixed, per_register

    def read_registers(self, station, address, count, func_code=3):
        self.clock.t += self.fixed + self.per_register * count
        return super().read_registers(station, address, count, func_code)


AUTO_POINTS = (0, 3, 9, 12, 30, 31, 40, 70, 75, 100)


@pytest.mark.parametrize("fixed, per_register, gap", [
    (8.5, 1.0, 8),      # a gap of 8 registers costs less than a request, one of 9 more
    (2.5, 1.0, 2),      # a slow line: short gaps only
    (4.0, 0.0, 125),    # a register costs nothing measurable: any gap the read limit allows
])
def test_max_gap_auto_follows_the_round_trips_of_the_master(fixed, per_register, gap):
    slaves = Slaves()
    clock = Clock()
    master = Line(slaves, clock, fixed, per_register)
    poller = AsyncPoller(max_gap="auto")
    for a in AUTO_POINTS:
        poller.add(master, f"r{a}", 1, H, a)
    assert poller.stats[master][1]["max_gap"] == 16   # until reads were measured

    async def passes():
        gaps = []
        for t in range(5):
            clock.t = 1000.0 * t
            values = await poller.poll()
            assert values == {f"r{a}": register(1, H, a) for a in AUTO_POINTS}
            gaps.append(poller.stats[master][1]["max_gap"])
        return gaps

    gaps = on_clock(clock, passes)
    assert gaps[0] == 16   # until reads of two sizes were measured three times each
    assert gaps[-1] == gap
    # the plan merges across gaps up to the one measured, and no further
    plan = poller.plan()
    for before, after in zip(plan, plan[1:], strict=False):
        assert after[3] - (before[3] + before[4]) > gap
    for row in plan:
        inside = sorted(a for a in AUTO_POINTS if row[3] <= a < row[3] + row[4])
        assert all(b - a - 1 <= gap for a, b in zip(inside, inside[1:], strict=False))


def test_a_fixed_gap_does_not_follow_the_round_trips():
    clock = Clock()
    master = Line(Slaves(), clock, 8.5, 1.0)
    poller = AsyncPoller(max_gap=16)
    for a in AUTO_POINTS:
        poller.add(master, f"r{a}", 1, H, a)
    plan = poller.plan()

    async def passes():
        for t in range(5):
            clock.t = 1000.0 * t
            await poller.poll()

    on_clock(clock, passes)
    assert poller.plan() == plan and poller.stats[master][1]["max_gap"] == 16
