"""Masters that answer from memory, for the Poller's tests: each is an instance of the library's
own master class (so the Poller takes it), with its public read members replaced. Every request
is recorded; stations can be silent or fail, addresses can be holes the slave refuses, and a
table can take no more than so many registers or bits in one read."""

from __future__ import annotations

import asyncio
import contextlib

import brel_modbus
from brel_modbus import SlaveException

CODES = {"holding": 3, "input": 4, "coil": 1, "discrete": 2}


def register(station, table, address):
    """The register a fake slave holds: different for every station, table and address."""
    return (station * 4099 + CODES[table] * 257 + address * 7) & 0xFFFF


def bit(station, table, address):
    return (station + CODES[table] + address) % 3 == 0


@contextlib.asynccontextmanager
async def time_limit(seconds):
    """asyncio.timeout(seconds) where the interpreter has it; before 3.11 the same limit made by
    cancelling the current task when the time has passed (TimeoutError, as asyncio.timeout)."""
    if hasattr(asyncio, "timeout"):
        async with asyncio.timeout(seconds):
            yield
        return
    task, fired = asyncio.current_task(), []
    handle = asyncio.get_running_loop().call_later(seconds, lambda: (fired.append(1), task.cancel()))
    try:
        yield
    except asyncio.CancelledError:
        if fired:
            raise TimeoutError from None
        raise
    finally:
        handle.cancel()


def run_on(loop, body):
    """Run the coroutine body() to its end on the given loop, then close the loop (asyncio.Runner
    with a loop factory, which only 3.11 and later have)."""
    try:
        return loop.run_until_complete(body())
    finally:
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


class Clock:
    """A clock that moves only when told."""

    def __init__(self, t=0.0):
        self.t = t

    def __call__(self):
        return self.t


class Slaves:
    """The fake slaves behind the fake masters."""

    def __init__(self, holes=(), silent=(), clock=None, step=0.0):
        self.requests = []            # (station, table, address, count), in order
        self.holes = set(holes)       # (station, table, address): refused with `hole_code`
        self.hole_code = 2
        self.silent = set(silent)     # stations whose requests time out
        self.failures = {}            # station -> exception raised for its requests
        self.limits = {}              # (station, table) -> most registers or bits one read may ask
        self.limit_code = 3           # ... refused beyond with this code
        self.clock, self.step = clock, step   # each request moves the clock on by `step`
        self.on_request = None
        self.memory = {}              # (station, table, address) -> what a write left there
        self.on_write = None

    def write(self, station, table, address, values):
        """A write of `values` (registers, or one coil's value) from `address`: recorded in
        `requests` as (station, "write " + table, address, values)."""
        if self.on_write:
            self.on_write()
        if station in self.failures:
            raise self.failures[station]
        if station in self.silent:
            raise IOError("modbus: read from slave timeout")
        values = list(values) if table == "holding" else [bool(values)]
        self.requests.append((station, "write " + table, address, values))
        for offset, value in enumerate(values):
            self.memory[(station, table, address + offset)] = value

    def answer(self, station, table, address, count):
        self.requests.append((station, table, address, count))
        if self.on_request:
            self.on_request()
        if self.clock is not None:
            self.clock.t += self.step
        if station in self.failures:
            raise self.failures[station]
        if station in self.silent:
            raise brel_modbus.ModbusTimeoutError("modbus: read from slave timeout")
        if count > self.limits.get((station, table), count):
            raise SlaveException(station, CODES[table] | 0x80, self.limit_code)
        if any((station, table, a) in self.holes for a in range(address, address + count)):
            raise SlaveException(station, CODES[table] | 0x80, self.hole_code)
        make = bit if table in ("coil", "discrete") else register
        return [self.memory.get((station, table, a), make(station, table, a)) for a in range(address, address + count)]


class FakeMaster(brel_modbus.Master):
    def __init__(self, slaves):   # no channel
        self.slaves = slaves

    def read_registers(self, station, address, count, func_code=3):
        return self.slaves.answer(station, {3: "holding", 4: "input"}[func_code], address, count)

    def read_input_registers(self, station, address, count):
        return self.slaves.answer(station, "input", address, count)

    def read_coils(self, station, address, count):
        return self.slaves.answer(station, "coil", address, count)

    def read_input_coils(self, station, address, count):
        return self.slaves.answer(station, "discrete", address, count)

    def write_registers(self, station, address, values):
        self.slaves.write(station, "holding", address, values)

    def write_coil(self, station, address, value):
        self.slaves.write(station, "coil", address, value)


class FakeTCPMaster(brel_modbus.ModbusTCPMaster):
    def __init__(self, slaves, station=1):   # no connection
        self.slaves = slaves
        self._ModbusTCPMaster__station = station

    def read_registers(self, address, count):
        return self.slaves.answer(self.station, "holding", address, count)

    def read_input_registers(self, address, count):
        return self.slaves.answer(self.station, "input", address, count)

    def read_coils(self, address, count):
        return self.slaves.answer(self.station, "coil", address, count)

    def read_input_coils(self, address, count):
        return self.slaves.answer(self.station, "discrete", address, count)

    def write_registers(self, address, values):
        self.slaves.write(self.station, "holding", address, values)

    def write_coil(self, address, value):
        self.slaves.write(self.station, "coil", address, value)


class FakeFixMaster(brel_modbus.FixMaster):
    """FixMaster has no read_input_coils: discrete inputs go through its .master."""

    def __init__(self, slaves, station=1):
        self.slaves = slaves
        self._FixMaster__master = FakeMaster(slaves)
        self._FixMaster__station = station

    def read_registers(self, address, count, func_code=3):
        return self.slaves.answer(self.station, {3: "holding", 4: "input"}[func_code], address, count)

    def read_coils(self, address, count):
        return self.slaves.answer(self.station, "coil", address, count)

    def write_registers(self, address, values):
        self.slaves.write(self.station, "holding", address, values)

    def write_coil(self, address, value):
        self.slaves.write(self.station, "coil", address, value)


MASTERS = {"Master": FakeMaster, "FixMaster": FakeFixMaster, "ModbusTCPMaster": FakeTCPMaster}
