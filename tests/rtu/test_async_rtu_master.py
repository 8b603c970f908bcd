"""AsyncMaster over a serial server on TCP (rtu+tcp:// and socket://).

Each coroutine is checked against the synchronous Master on the same pymodbus RTU slave
(results, exceptions and their texts, the record of the last transaction); hostile answers
come from a scripted serial server (a thread on 127.0.0.1 that reads each 8-byte request
and answers as told); cancellation is tried after each of the first event loop steps.
"""

from __future__ import annotations

import asyncio
import time

import pytest

import brel_linkkit
import brel_modbus
from simulator import HOLDING

from async_rtu_support import REGISTERS, WAIT, async_outcome, outcome
from rtu_support import STATION, frame


def holding(server, address, count):
    device = server.server.context[STATION]
    return server.call(device.getValues, 3, address, count)


# (member, arguments): each one runs on Master and on AsyncMaster against the same slave.
CASES = [
    ("read_registers", (STATION, 0, 4)),
    ("read_registers", (STATION, 0, 3, 4)),
    ("read_register", (STATION, 2)),
    ("read_register", (STATION, 2, 4)),
    ("read_input_registers", (STATION, 1, 3)),
    ("read_input_register", (STATION, 5)),
    ("read_coils", (STATION, 0, 11)),
    ("read_coils", (STATION, 3, 1)),
    ("read_input_coils", (STATION, 0, 9)),
    ("read_coil", (STATION, 2)),
    ("write_register", (STATION, 400, 1234)),
    ("write_register", (STATION, 401, -2)),
    ("write_registers", (STATION, 402, [1, 2, 65535])),
    ("write_coil", (STATION, 30, True)),
    ("write_coil", (STATION, 31, 0)),
    ("read_int16", (STATION, 9)),
    ("read_uint16", (STATION, 9)),
    ("write_int16", (STATION, 420, -300)),
    ("write_uint16", (STATION, 421, 300)),
    ("read_uint32", (STATION, 4)),
    ("read_int32", (STATION, 4, "<")),
    ("read_float", (STATION, 6)),
    ("read_multi_uint32", (STATION, 0, 3)),
    ("read_multi_int32", (STATION, 0, 2, "<")),
    ("read_multi_float", (STATION, 2, 2)),
    ("write_int32", (STATION, 422, -5)),
    ("write_uint32", (STATION, 424, 0x12345678, "<")),
    ("write_float", (STATION, 426, 21.5)),
    ("write_multi_int32", (STATION, 428, [1, -1])),
    ("write_multi_uint32", (STATION, 432, (7, 8), "<")),
    ("write_multi_float", (STATION, 436, [0.5, -2.25])),
    ("write_coils", (STATION, 32, [True, False, True])),
    ("mask_write_register", (STATION, 403, 0x00F0, 0x0005)),
    ("read_write_registers", (STATION, 0, 3, 404, [5, 6])),
    ("read_device_identification", (STATION,)),
    ("read_device_identification", (STATION, 4, 1)),
    ("read_values", (STATION, 0, "f I h", "CDAB")),
    ("read_values", (STATION, 1, "H", "ABCD", 4)),
    ("write_values", (STATION, 406, "f i", [21.5, -7], "CDAB")),
    ("read_exception_status", (STATION,)),
    ("diagnostics", (STATION, 0, b"\x12\x34")),
    ("get_comm_event_counter", (STATION,)),
    ("get_comm_event_log", (STATION,)),
    ("report_server_id", (STATION,)),
    ("read_fifo_queue", (STATION, 0)),
    ("execute", (STATION, 3, b"\x00\x00\x00\x02")),
    ("execute", (STATION, 3, b"\x00\x00\x00\x02", 5)),
    ("write_coils", (0, 36, [True])),               # a broadcast: no answer is due
    ("read_registers", (STATION, 60000, 4)),        # refused: illegal data address
    ("read_coils", (STATION, 65000, 8)),            # refused
    ("write_register", (STATION, 65000, 1)),        # refused
]


@pytest.mark.parametrize("member, args", CASES, ids=[f"{m}{a[1:]}" for m, a in CASES])
def test_each_member_as_master(url, server, member, args):
    # After a broadcast the next master (which does not know of it) waits the quiet time
    # the slaves are given: the pymodbus serial slave drops a request that comes sooner.
    quiet = brel_linkkit.channel.BROADCAST_DELAY * 1.5 if args[0] == 0 else 0
    with brel_modbus.Master(url, 19200, 1.0) as master:
        expected = outcome(lambda: getattr(master, member)(*args))
        record = (master.last_command_sent, master.last_feedback_received)
    time.sleep(quiet)

    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0) as rtu:
            got = await async_outcome(lambda: getattr(rtu, member)(*args))
            return got, (rtu.last_command_sent, rtu.last_feedback_received)

    got, got_record = asyncio.run(run())
    time.sleep(quiet)
    assert got == expected
    assert got_record == record
    assert record[0] and (record[1] or member.startswith("write") and args[0] == 0)


# Bad arguments raise at the call, before anything is queued, as on Master.
BAD = [
    ("read_registers", (STATION, 70000, 1)),
    ("read_registers", (STATION, 0, 70000)),
    ("read_registers", (STATION, 0, 1, 6)),
    ("read_registers", (256, 0, 1)),
    ("read_registers", (STATION, "0", 1)),
    ("read_register", (STATION, 0, 16)),
    ("read_coils", (STATION, -1, 1)),
    ("read_input_coils", (STATION, 0, 1.5)),
    ("write_register", (STATION, 70000, 1)),
    ("write_registers", (STATION, 0, [0] * 128)),
    ("write_register", (STATION, 0, "1")),
    ("write_coil", (300, 0, True)),
    ("write_coils", (STATION, 0, [])),
    ("read_int16", (STATION, "9")),
    ("read_uint32", (STATION, 0, 1)),
    ("read_multi_float", (STATION, 0, 40000)),
    ("write_uint32", (STATION, 0, -1)),
    ("write_float", (STATION, 0, "x")),
    ("write_multi_int32", (STATION, 0, [1, 2 ** 40])),
    ("write_multi_float", (STATION, 0, [0.0] * 64)),
    ("mask_write_register", (STATION, 0, 70000, 0)),
    ("read_write_registers", (STATION, 0, 200, 0, [1])),
    ("read_device_identification", (STATION, 5)),
    ("read_values", (STATION, 0, "x9")),
    ("read_values", (STATION, 0, "H", "ABCD", 1)),
    ("read_values", (263, 70000, "i")),                 # the address is judged before the station
    ("read_values", (263, 1, "i")),
    ("write_values", (STATION, 0, "H", [70000])),
    ("diagnostics", (STATION, 70000)),
    ("read_file_record", (STATION, [(1, 2)])),
    ("read_fifo_queue", (256, 0)),
    ("execute", (STATION, 128, b"")),
]


@pytest.mark.parametrize("member, args", BAD, ids=[f"{m}{a}" for m, a in BAD])
def test_bad_arguments_raise_at_the_call(url, member, args):
    with brel_modbus.Master(url, 19200, 1.0) as master:
        expected = outcome(lambda: getattr(master, member)(*args))
    assert expected[0] == "error"

    async def run():
        rtu = brel_modbus.AsyncMaster(url, 19200, 1.0)
        try:
            got = outcome(lambda: getattr(rtu, member)(*args))   # not awaited: it raises here
            return got, rtu.transport, rtu.last_command_sent
        finally:
            await rtu.close()

    got, transport, sent = asyncio.run(run())
    assert got == expected
    assert transport is None and sent == b""


def test_concurrent_callers_each_get_their_own_answer(url, server):
    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0) as rtu:
            calls = [rtu.read_registers(STATION, a, 3) for a in range(0, 60, 3)]
            calls += [rtu.read_coil(STATION, a) for a in range(10)]
            return await asyncio.gather(*calls)

    results = asyncio.run(run())
    assert results[:20] == [HOLDING[a:a + 3] for a in range(0, 60, 3)]
    with brel_modbus.Master(url, 19200, 1.0) as master:
        assert results[20:] == [master.read_coil(STATION, a) for a in range(10)]


def test_a_write_goes_before_the_reads_that_wait(url, server):
    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0) as rtu:
            await rtu.write_registers(STATION, 410, [1, 2, 3])
            first = rtu.read_registers(STATION, 410, 1)   # on the line at once, but for a silent interval
            waiting = [rtu.read_registers(STATION, 410 + i, 1) for i in range(3)]
            write = rtu.write_registers(STATION, 410, [7, 8, 9])
            return await asyncio.gather(first, *waiting, write)

    first, *waiting, written = asyncio.run(run())
    assert first == ([7] if url.startswith("/") else [1])   # a device's line waits its silent interval
    assert waiting == [[7], [8], [9]] and written is None


def test_cancelled_calls_leave_the_master_usable(url, server):
    """Cancel a read after each of the first event loop steps; the next call gets its own answer."""
    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0) as rtu:
            seen = []
            for steps in range(12):
                task = asyncio.ensure_future(rtu.read_registers(STATION, 0, 5))
                for _ in range(steps):
                    await asyncio.sleep(0)
                task.cancel()
                try:
                    seen.append(("value", await task))
                except asyncio.CancelledError:
                    seen.append(("cancelled",))
                address = 20 + steps
                assert await rtu.read_registers(STATION, address, 2) == HOLDING[address:address + 2]
            return seen

    seen = asyncio.run(run())
    assert ("cancelled",) in seen
    assert all(s == ("cancelled",) or s == ("value", HOLDING[:5]) for s in seen)


# ---- a scripted serial server --------------------------------------------------------------

HOSTILE = {
    "crc": REGISTERS[:-1] + bytes([REGISTERS[-1] ^ 1]),
    "station": frame("02 03 04 00 0A 00 0B"),
    "byte count": frame("01 03 02 00 0A"),
    "refusal": frame("01 83 02"),
    "refusal crc": frame("01 83 02")[:-1] + b"\x00",
    "short": REGISTERS[:6],
    "nothing": None,
}


@pytest.mark.parametrize("kind", HOSTILE)
def test_hostile_answers_as_master_then_a_sound_one(scripted, monkeypatch, kind):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    answer = HOSTILE[kind]
    sync = scripted(answer, REGISTERS)
    with brel_modbus.Master(sync.url, 19200, 0.2) as master:
        expected = outcome(lambda: master.read_registers(1, 0, 2))
        record = master.last_feedback_received
        assert master.read_registers(1, 0, 2) == [10, 11]
    served = scripted(answer, REGISTERS)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 0.2) as rtu:
            got = await async_outcome(lambda: rtu.read_registers(1, 0, 2))
            got_record = rtu.last_feedback_received
            return got, got_record, await rtu.read_registers(1, 0, 2)

    got, got_record, after = asyncio.run(run())
    assert expected[0] == "error"
    assert got == expected
    assert got_record == record
    assert after == [10, 11]


def test_an_abandoned_answer_is_never_taken_by_the_next_call(scripted):
    late = frame("01 03 04 00 01 00 02")
    served = scripted((0.15, late), REGISTERS)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 1.0) as rtu:
            first = asyncio.ensure_future(rtu.read_registers(1, 0, 2))
            await asyncio.sleep(0.05)           # on the line
            first.cancel()
            second = await rtu.read_registers(1, 0, 2)   # sent while the late answer is due, it would take it
            return first.cancelled(), second

    cancelled, second = asyncio.run(run())
    assert cancelled and second == [10, 11]
    assert [request for _, request in served.requests] == [frame("01 03 00 00 00 02")] * 2


def test_close_fails_waiting_calls_and_refuses_later_ones(url, server):
    async def run():
        rtu = brel_modbus.AsyncMaster(url, 19200, 1.0)
        calls = [asyncio.ensure_future(rtu.read_registers(STATION, a, 1)) for a in range(3)]
        await asyncio.sleep(0)
        await rtu.close()
        ended = await asyncio.gather(*calls, return_exceptions=True)
        later = await async_outcome(lambda: rtu.read_registers(STATION, 0, 1))
        return ended, later

    ended, later = asyncio.run(run())
    assert all(isinstance(e, ConnectionError) for e in ended)
    assert later[:2] == ("error", brel_modbus.MasterClosedError)


@pytest.mark.parametrize("port", ["rtu+tcp://127.0.0.1", "socket://:502", "rtu+tcp://127.0.0.1:http"])
def test_a_serial_server_without_its_port_is_refused(port):
    with pytest.raises(ValueError, match="serial server"):
        brel_modbus.AsyncMaster(port, 19200, 1.0)


def test_a_device_that_cannot_be_opened_fails_as_on_master(tmp_path, monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    missing = str(tmp_path / "ttyNONE")
    expected = outcome(lambda: brel_modbus.Master(missing, 19200, 1.0))
    assert expected[0] == "error"
    assert outcome(lambda: brel_modbus.AsyncMaster(missing, 19200, 1.0)) == expected


def test_a_port_without_a_descriptor_is_refused(monkeypatch):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with pytest.raises(ValueError, match="file descriptor"):
        brel_modbus.AsyncMaster("loop://", 19200, 1.0)


MASK_WRITE = frame("01 16 00 05 00 F0 00 0F")      # the echo of mask_write_register(1, 5, 0xF0, 0x0F)
MASK_HOSTILE = {
    "other address": frame("01 16 00 06 00 F0 00 0F"),
    "crc": MASK_WRITE[:-1] + bytes([MASK_WRITE[-1] ^ 1]),
    "refusal": frame("01 96 04"),
    "short": MASK_WRITE[:7],
}


@pytest.mark.parametrize("kind", MASK_HOSTILE)
def test_a_shared_operation_judges_hostile_answers_as_master(scripted, monkeypatch, kind):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    answer = MASK_HOSTILE[kind]
    sync = scripted(answer, MASK_WRITE, size=10)
    with brel_modbus.Master(sync.url, 19200, 0.2) as master:
        expected = outcome(lambda: master.mask_write_register(1, 5, 0xF0, 0x0F))
        master.mask_write_register(1, 5, 0xF0, 0x0F)
    served = scripted(answer, MASK_WRITE, size=10)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 0.2) as rtu:
            got = await async_outcome(lambda: rtu.mask_write_register(1, 5, 0xF0, 0x0F))
            return got, await rtu.mask_write_register(1, 5, 0xF0, 0x0F)

    got, after = asyncio.run(run())
    assert expected[0] == "error"
    assert got == expected and after is None


def length_of_count(so_far):
    """An answer's length read from its byte count, as a caller of execute() gives it."""
    return 1 if len(so_far) == 1 else (so_far[1] if len(so_far) == 2 else 0)


def test_an_answer_of_open_length_as_master(url):
    """A length given as a callable: the answer is judged once the line has gone quiet, with the
    result Master gives; a code of no public size rule without a length is refused at the call."""
    calls = [(STATION, 3, b"\x00\x00\x00\x03", length_of_count), (STATION, 0x41, b"\x01", 1),
             (STATION, 3, b"\xea\x60\x00\x01", length_of_count)]
    with brel_modbus.Master(url, 19200, 1.0) as master:
        expected = [outcome(lambda c=c: master.execute(*c)) for c in calls]
        refused = outcome(lambda: master.execute(STATION, 0x41, b""))

    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0) as rtu:
            got = [await async_outcome(lambda c=c: rtu.execute(*c)) for c in calls]
            return got, outcome(lambda: rtu.execute(STATION, 0x41, b"")), rtu.last_command_sent

    got, got_refused, sent = asyncio.run(run())
    assert expected[0] == ("value", bytes([6]) + b"".join(v.to_bytes(2, "big") for v in HOLDING[:3]))
    assert got == expected
    assert refused[:2] == ("error", ValueError) and got_refused == refused
    assert sent == frame("01 03 EA 60 00 01")


OPEN_ANSWERS = {
    "sound": frame("01 41 03 AA BB CC"),
    "refusal": frame("01 C1 01"),
    "shorter than its count": frame("01 41 04 AA BB CC"),
    "longer than its count": frame("01 41 02 AA BB CC"),
    "other code": frame("01 42 03 AA BB CC"),
    "other station": frame("02 41 03 AA BB CC"),
    "cut short": frame("01 41 03 AA BB CC")[:4],
    "without its last byte": frame("01 41 03 AA BB CC")[:-1],
    "crc": frame("01 41 03 AA BB CC")[:-1] + b"\x00",
    "crc, other station": frame("02 41 03 AA BB CC")[:-1] + b"\x00",
    "crc, longer than its count": frame("01 41 02 AA BB CC")[:-1] + b"\x00",
    "nothing": None,
}


def outcomes_on_both(scripted, answer, call, size, timeout=0.3):
    """call(master) on Master, then on AsyncMaster (awaited), each against its own scripted
    server that gives `answer` to a request of `size` bytes: (Master's outcome, AsyncMaster's)."""
    sync = scripted(answer, size=size)
    with brel_modbus.Master(sync.url, 19200, timeout) as master:
        expected = outcome(lambda: call(master))
    served = scripted(answer, size=size)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, timeout) as rtu:
            return await async_outcome(lambda: call(rtu))

    return expected, asyncio.run(run())


@pytest.mark.parametrize("kind", OPEN_ANSWERS)
def test_an_open_answer_judged_when_quiet_ends_as_on_master(scripted, monkeypatch, kind):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    expected, got = outcomes_on_both(scripted, OPEN_ANSWERS[kind],
                                     lambda m: m.execute(1, 0x41, b"\x01", length_of_count), size=5)
    assert got == expected
    assert expected[0] == ("value" if kind == "sound" else "error")


# Device identification answers, each judged by its head (station, function code) before
# the length its objects give.
IDENTIFICATION_ANSWERS = {
    "other code": frame("01 4E 00 00 00 00 2F 2F 65 78"),
    "other code, short": frame("01 4E 01"),
    "sound": frame("01 2B 0E 01 01 00 00 01 00 03 41 42 43"),
}


@pytest.mark.parametrize("kind", IDENTIFICATION_ANSWERS)
def test_a_device_identification_answer_is_judged_by_its_head_as_on_master(scripted, monkeypatch, kind):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    expected, got = outcomes_on_both(scripted, IDENTIFICATION_ANSWERS[kind],
                                     lambda m: m.read_device_identification(1, 1, 0), size=7)
    assert got == expected
    assert expected == (("value", {0: b"ABC"}) if kind == "sound" else
                        ("error", brel_modbus.MismatchError, "modbus: answer from slave with station 1 does not "
                         "match the request"))


@pytest.mark.parametrize("member, args", [("read_device_identification", (0, 1, 0)), ("read_registers", (0, 0, 2))])
def test_a_read_from_station_0_times_out_as_on_master(scripted, monkeypatch, member, args):
    """No slave answers a broadcast: a read of one ends in the time-out."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    expected, got = outcomes_on_both(scripted, None, lambda m: getattr(m, member)(*args),
                                     size=7 if member == "read_device_identification" else 8, timeout=0.2)
    assert expected == ("error", brel_modbus.ModbusTimeoutError, "modbus: read from slave timeout")
    assert got == expected


@pytest.mark.parametrize("retries", [0, 1, 2])
def test_retries_send_a_failed_request_again_as_master(scripted, monkeypatch, retries):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    script = (HOSTILE["crc"], HOSTILE["station"], REGISTERS, REGISTERS, REGISTERS)
    sync = scripted(*script)
    with brel_modbus.Master(sync.url, 19200, 0.2) as master:
        master.retries = retries
        expected = outcome(lambda: master.read_registers(1, 0, 2))
    served = scripted(*script)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 0.2) as rtu:
            rtu.retries = retries
            return await async_outcome(lambda: rtu.read_registers(1, 0, 2)), rtu.retries

    got, kept = asyncio.run(run())
    assert got == expected and kept == retries
    assert len(served.requests) == len(sync.requests) == min(retries, 2) + 1


TRACED = [("read_registers", (1, 0, 2), (REGISTERS,)), ("read_registers", (1, 0, 2), (HOSTILE["crc"],)),
          ("read_registers", (1, 0, 2), (HOSTILE["refusal"],)), ("read_registers", (1, 0, 2), (None,)),
          ("write_register", (0, 1, 7), ())]


@pytest.mark.parametrize("member, args, answers", TRACED, ids=["answer", "crc", "refusal", "nothing", "broadcast"])
def test_the_trace_tells_each_frame_as_master(scripted, monkeypatch, member, args, answers):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    sync = scripted(*answers)
    records = []
    with brel_modbus.Master(sync.url, 19200, 0.2) as master:
        master.trace = records.append
        expected = outcome(lambda: getattr(master, member)(*args))
    served = scripted(*answers)
    got_records = []

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 0.2) as rtu:
            rtu.trace = got_records.append
            return await async_outcome(lambda: getattr(rtu, member)(*args))

    assert asyncio.run(run()) == expected
    without_time = [(r.direction, r.data, r.station, r.function, r.outcome) for r in records]
    assert [(r.direction, r.data, r.station, r.function, r.outcome) for r in got_records] == without_time
    assert len(without_time) == 2


SETTINGS = [("recovery_delay", v) for v in (None, 0, 0.25, 3, -1, float("nan"), "1")] + \
    [("timeout", v) for v in (0.25, 2, 0, None, -1, "x", [1])]


@pytest.mark.parametrize("name, value", SETTINGS)
def test_a_setting_is_set_as_on_master(url, name, value):
    """The same checks and texts as Master's setter on the same port, the value read back, and
    the recovery delay that follows (the time-out while none was set)."""
    def settle(master):
        def set_and_get():
            setattr(master, name, value)
            return getattr(master, name)
        return getattr(master, name), outcome(set_and_get), master.recovery_delay

    with brel_modbus.Master(url, 19200, 0.5) as master:
        expected = settle(master)

    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 0.5) as rtu:
            return settle(rtu)

    assert asyncio.run(run()) == expected


def uvloop_or_skip():
    return pytest.importorskip("uvloop")


@pytest.mark.parametrize("loop_kind", ["asyncio", "uvloop"])
def test_a_cancelled_waiting_call_is_never_sent_and_time_outs_cancel_too(scripted, loop_kind):
    """A on the line answers late; B, cancelled while it waits, never goes out; C, bounded by
    wait_for, gives up while A's answer is due and is never sent either; D gets its own answer."""
    late = frame("01 03 04 00 01 00 02")
    served = scripted((0.2, late), REGISTERS)
    new_loop = uvloop_or_skip().new_event_loop if loop_kind == "uvloop" else asyncio.new_event_loop

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 1.0) as rtu:
            a = asyncio.ensure_future(rtu.read_registers(1, 0, 2))
            b = asyncio.ensure_future(rtu.read_registers(1, 0, 3))
            await asyncio.sleep(0.02)
            b.cancel()
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(rtu.read_registers(1, 0, 4), 0.05)
            d = await rtu.read_registers(1, 0, 2)
            return await a, b.cancelled(), d

    loop = new_loop()
    try:
        a, b_cancelled, d = loop.run_until_complete(asyncio.wait_for(run(), WAIT))
    finally:
        loop.close()
    assert (a, b_cancelled, d) == ([1, 2], True, [10, 11])
    assert [request for _, request in served.requests] == [frame("01 03 00 00 00 02")] * 2


@pytest.mark.parametrize("keywords, text", [({"framing": "ascii"}, "Master"), ({"framing": "x"}, "framing must be")])
def test_a_framing_other_than_rtu_is_refused(url, keywords, text):
    """Modbus ASCII is Master's; a wrong framing has Master's text."""
    with pytest.raises(ValueError, match=text):
        brel_modbus.AsyncMaster(url, 19200, 1.0, **keywords)


made = []   # every RtsSwitchingChannel


class RtsSwitchingChannel:
    """A channel that switches the transceiver by RTS itself (rs485_road "channel")."""

    rs485_road = "channel"

    def __init__(self, **keywords):
        self.port = self
        self.closed = False
        made.append(self)

    def fileno(self):
        return 0

    def close(self):
        self.closed = True


def test_rts_switched_by_the_channel_is_refused(monkeypatch):
    """The channel holds RTS until the frame has left the line with sleeps: not on the loop."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", RtsSwitchingChannel)
    made.clear()
    with pytest.raises(ValueError, match="rs485 with the channel switching RTS"):
        brel_modbus.AsyncMaster("/dev/ttyRS485", 19200, 1.0, rs485=True)
    assert len(made) == 1 and made[0].closed


def test_rtu_framing_is_taken(url, server):
    async def run():
        async with brel_modbus.AsyncMaster(url, 19200, 1.0, framing="rtu") as rtu:
            return await rtu.read_registers(STATION, 0, 2)

    assert asyncio.run(run()) == HOLDING[0:2]


def test_a_retried_shared_operation_judges_only_the_new_answer(scripted, monkeypatch):
    """A FIFO answer whose byte count disagrees with its count fails the operation's own check;
    the retry's sound answer is judged alone."""
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    script = (frame("01 18 00 04 00 02 00 01"), frame("01 18 00 06 00 02 00 01 00 02"))
    sync = scripted(*script, size=6)
    with brel_modbus.Master(sync.url, 19200, 0.2) as master:
        master.retries = 1
        expected = outcome(lambda: master.read_fifo_queue(1, 4))
    served = scripted(*script, size=6)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 0.2) as rtu:
            rtu.retries = 1
            return await async_outcome(lambda: rtu.read_fifo_queue(1, 4))

    assert expected == ("value", [1, 2])
    assert asyncio.run(run()) == expected
    assert len(served.requests) == 2


@pytest.mark.parametrize("delay", [0.15, 0.3])
def test_the_line_stays_quiet_after_a_broadcast(scripted, delay):
    served = scripted(None, REGISTERS)

    async def run():
        async with brel_modbus.AsyncMaster(served.url, 19200, 1.0, broadcast_delay=delay) as rtu:
            await rtu.write_register(0, 1, 7)
            return await rtu.read_registers(1, 0, 2)

    assert asyncio.run(run()) == [10, 11]
    (broadcast_at, _), (read_at, _) = served.requests
    assert read_at - broadcast_at >= delay * 0.9   # a lower bound only: the read waited the quiet time


@pytest.mark.parametrize("delay", [-1, "x"])
def test_a_broadcast_delay_below_0_is_refused(delay):
    with pytest.raises(ValueError, match="broadcast_delay"):
        brel_modbus.AsyncMaster("rtu+tcp://127.0.0.1:1", 19200, 1.0, broadcast_delay=delay)
