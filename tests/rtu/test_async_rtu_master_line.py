"""AsyncMaster's line as Master has it: the timeout, serial and reconnect properties, a device
that goes away and comes back, a master dropped while its line is open, and an adapter that
echoes each request."""

from __future__ import annotations

import asyncio
import gc
import os
import socket
import weakref

import pytest

import brel_linkkit
import brel_modbus
from simulator import HOLDING, PtyRelay

from async_rtu_support import REGISTERS, WAIT, ScriptedPty, async_outcome, outcome
from rtu_support import STATION, frame


def serial_road(monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)


def test_a_new_timeout_bounds_the_next_call(scripted):
    served = scripted(None)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 30.0) as rtu:
            rtu.timeout = 0.05
            # A time-out of 30 s would outlast the bound of wait_for: the new one ends the call.
            return await asyncio.wait_for(async_outcome(lambda: rtu.read_registers(1, 0, 2)), WAIT)

    assert asyncio.run(run())[:2] == ("error", brel_modbus.ModbusTimeoutError)


def test_serial_is_the_channel_of_a_device_and_none_for_a_serial_server(url):
    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 0.5) as rtu:
            return rtu.serial, rtu.reconnect

    channel, reconnect = asyncio.run(run())
    assert reconnect is True
    if url.startswith("/"):
        assert isinstance(channel, brel_linkkit.SerialChannel) and channel.port.port == url
        assert not channel.is_open   # closed with the master
    else:
        assert channel is None


@pytest.mark.parametrize("reconnect", [True, False])
def test_a_device_that_goes_away_opens_again_on_the_next_call(pty_server, tmp_path, monkeypatch, reconnect):
    """The device's path names a line that hangs up, then nothing, then a live slave: with
    reconnect on, each call after the hang-up opens the path again (failing as Master's
    constructor does while nothing is there); with it off the master stays closed."""
    serial_road(monkeypatch)
    path = tmp_path / "ttyAM0"
    dead = PtyRelay()   # nobody answers on its other end
    os.symlink(dead.paths[1], path)
    expected_missing = None

    def point_at(target):
        path.unlink()
        os.symlink(target, path)

    async def run():
        nonlocal expected_missing
        rtu = brel_modbus.AsyncMaster(str(path), 19200, 2.0)
        rtu.reconnect = reconnect
        rtu.recovery_delay = 0   # no quiet time after the lost call: the line is a new one
        call = rtu.read_registers(STATION, 0, 2)
        await asyncio.sleep(0.05)
        dead.close()   # the line hangs up: the descriptor reads as gone
        ended = await async_outcome(lambda: call)
        point_at(tmp_path / "ttyNONE")
        expected_missing = outcome(lambda: brel_modbus.Master(str(path), 19200, 1.0))
        missing = await async_outcome(lambda: rtu.read_registers(STATION, 0, 2))
        point_at(pty_server[1])
        later = await async_outcome(lambda: rtu.read_registers(STATION, 0, 2))
        await rtu.close()
        return ended, missing, later

    try:
        ended, missing, later = asyncio.run(asyncio.wait_for(run(), WAIT))
    finally:
        dead.close()
    assert ended[:2] == ("error", brel_modbus.ConnectionClosedError)
    if reconnect:
        assert expected_missing[0] == "error"
        assert missing == expected_missing
        assert later == ("value", HOLDING[0:2])
    else:
        assert missing[:2] == later[:2] == ("error", brel_modbus.ConnectionClosedError)


def test_a_serial_server_connection_without_reconnect_stays_closed():
    """The serial server closes the connection after one answer: with reconnect on the next call
    opens a new one; with it off it fails with ConnectionError, as every later call does."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT)
    url = f"rtu+tcp://127.0.0.1:{listener.getsockname()[1]}"

    def served_once():
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(WAIT)
            conn.recv(8, socket.MSG_WAITALL)
            conn.sendall(REGISTERS)

    async def run(reconnect):
        rtu = brel_modbus.AsyncMaster(url, 19200, 1.0)
        rtu.reconnect = reconnect
        loop = asyncio.get_running_loop()
        serving = loop.run_in_executor(None, served_once)
        first = await rtu.read_registers(1, 0, 2)
        await serving
        for _ in range(50):   # the close reaches the master within a few loop steps
            if rtu.transport is None:
                break
            await asyncio.sleep(0.01)
        if reconnect:
            serving = loop.run_in_executor(None, served_once)
        second = await async_outcome(lambda: rtu.read_registers(1, 0, 2))
        if reconnect:
            await serving
        await rtu.close()
        return first, second

    try:
        on = asyncio.run(asyncio.wait_for(run(True), WAIT))
        off = asyncio.run(asyncio.wait_for(run(False), WAIT))
    finally:
        listener.close()
    assert on == ([10, 11], ("value", [10, 11]))
    assert off[0] == [10, 11]
    assert off[1][:2] == ("error", brel_modbus.ConnectionClosedError)


def test_a_dropped_connected_master_is_freed_with_its_line(url, server):
    """A master dropped without close() while its line is open: the master and its protocol
    object are freed by the collector, and the line is closed."""
    async def run():
        rtu = brel_modbus.AsyncMaster(url, 19200, 1.0)
        assert await rtu.read_registers(STATION, 0, 2) == HOLDING[0:2]
        assert await rtu.read_exception_status(STATION) is not None   # a replayed face's call too
        master, protocol = weakref.ref(rtu), weakref.ref(rtu._AsyncMaster__protocol)
        transport, channel = rtu.transport, rtu.serial
        del rtu
        gc.collect()
        for _ in range(20):   # the transport's close ends within a few loop steps
            await asyncio.sleep(0)
        gc.collect()
        closing = transport.is_closing() if hasattr(transport, "is_closing") else not channel.is_open
        return master() is None, protocol() is None, closing

    assert asyncio.run(asyncio.wait_for(run(), WAIT)) == (True, True, True)


GOOD = frame("01 03 04 00 0A 00 0B")   # the answer to read_registers(1, 0, 2)
REQUEST = frame("01 03 00 00 00 02")
ECHOES = {
    "sound": (True, GOOD),
    "in pieces": (REQUEST[:3], REQUEST[3:] + GOOD),
    "nothing": (None, None),
    "cut short": (REQUEST[:3], None),
    "other bytes": (REQUEST[:-1] + b"\x00", GOOD),
    "echo, then no answer": (True, None),
    "echo, then a refusal": (True, frame("01 83 02")),
}


@pytest.mark.parametrize("kind", ECHOES)
def test_an_echoing_adapter_as_master(monkeypatch, kind):
    """A line that echoes each request: the echo is read back and compared before the answer,
    with the channel's error and texts when it is not the request; then a sound exchange."""
    serial_road(monkeypatch)
    script = (ECHOES[kind], (True, GOOD))
    sync = ScriptedPty(*script)
    try:
        with brel_modbus.Master(sync.path, 19200, 0.2, echo=True) as master:
            expected = outcome(lambda: master.read_registers(1, 0, 2)), master.last_feedback_received
            assert master.read_registers(1, 0, 2) == [10, 11]
    finally:
        sync.stop()
    served = ScriptedPty(*script)

    async def run():
        async with brel_modbus.AsyncMaster(served.path, 19200, 0.2, echo=True) as rtu:
            got = await async_outcome(lambda: rtu.read_registers(1, 0, 2)), rtu.last_feedback_received
            return got, await rtu.read_registers(1, 0, 2)

    try:
        got, after = asyncio.run(asyncio.wait_for(run(), WAIT))
    finally:
        served.stop()
    assert got == expected
    assert after == [10, 11]
    assert expected[0][0] == ("value" if kind in ("sound", "in pieces") else "error")
    assert served.requests == [REQUEST] * 2
