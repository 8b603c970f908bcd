"""AsyncModbusTCPMaster: every member against a pymodbus server, compared with ModbusTCPMaster
(results, exceptions, texts and the traffic record), and against scripted asyncio peers for
pipelining out of order, late answers, mismatches, closed connections, cancellation at
each event-loop step and concurrent callers. Every test runs on the default loop and on
uvloop, bounded by LIMIT."""

import asyncio
import inspect
import struct

import pytest

import brel_modbus
from brel_modbus import AsyncModbusTCPMaster, ModbusTCPMaster
from tcp_support import mbap

LIMIT = 10.0          # no test waits longer than this
TIMEOUT = 0.5         # the masters' time-out in the scripted tests


def loop_factories():
    factories = [pytest.param(asyncio.new_event_loop, id="asyncio")]
    try:
        import uvloop
    except ImportError:  # pragma: no cover - pinned in tests/requirements.txt
        return factories
    return factories + [pytest.param(uvloop.new_event_loop, id="uvloop")]


@pytest.fixture(params=loop_factories())
def run(request):
    """run(coroutine function) on a fresh loop of the parametrized kind, bounded by LIMIT."""
    def runner(body):
        loop = request.param()
        try:
            return loop.run_until_complete(asyncio.wait_for(body(), LIMIT))
        finally:
            loop.close()
    return runner


# ---- against pymodbus, compared with the synchronous master ---------------------------------------

# The pymodbus server with all four tables of the synchronous master's data-model tests.
import test_tcp_data_model_pymodbus as data_model_tests  # noqa: E402

server = data_model_tests.server


CASES = [
    ("write_registers", (10, [1, 2, 65535])), ("read_registers", (10, 3)), ("read_register", (11,)),
    ("write_register", (12, 7)), ("write_coil", (3, True)), ("write_coil", (4, "")), ("read_coils", (0, 10)),
    ("read_coil", (3,)), ("read_input_registers", (0, 5)), ("read_input_register", (4,)),
    ("read_input_coils", (0, 12)), ("write_single_register", (20, 0xBEEF)), ("read_int16", (20,)),
    ("read_uint16", (20,)), ("write_int16", (21, 65531)), ("write_uint16", (22, 9)),
    ("write_int32", (30, -123456)), ("read_int32", (30,)), ("write_uint32", (32, 3_000_000_000, "<")),
    ("read_uint32", (32, "<")), ("write_float", (34, 21.5)), ("read_float", (34,)),
    ("write_multi_float", (40, [0.5, -1.25])), ("read_multi_float", (40, 2)),
    ("write_multi_int32", (44, [-1, 7])), ("read_multi_int32", (44, 2)),
    ("write_multi_uint32", (48, [1, 2**32 - 1], "<")), ("read_multi_uint32", (48, 2, "<")),
    ("write_coils", (8, [True, False, True])), ("read_coils", (8, 3)),
    ("mask_write_register", (20, 0x00F2, 0x0025)), ("read_write_registers", (10, 3, 60, [9, 8])),
    ("read_values", (30, "i f")), ("read_values", (0, "2H", "ABCD", 4)), ("write_values", (70, "f h", [1.5, -2])),
    ("read_values", (70, "f h")), ("read_device_identification", ()), ("read_device_identification", (3,)),
    ("read_device_identification", (4, 0x81)), ("read_device_identification", (2, 0x80)),
    ("read_device_identification", (5,)),
    ("diagnostics", (0, b"\xA5\x37")), ("diagnostics", (0, bytes(range(200)))), ("diagnostics", (11,)),
    ("report_server_id", ()), ("read_file_record", ([(4, 1, 10)],)),
    ("write_file_record", ([(4, 7, [0x06AF, 0x04BE, 0x100D])],)), ("read_fifo_queue", (0,)),
    ("execute", (17, b"")), ("execute", (3, b"\x00\x00\x00\x02", 5)), ("execute", (3, b"\x00\x01\x00\x01")),
    ("execute", (3, b"\x00\x00\x00\x00")), ("diagnostics", (70000,)), ("execute", (3, "x")),
    ("read_file_record", ([(4, 1)],)),
    # exception answers: an address past the slave's table
    ("read_registers", (190, 20)), ("read_input_registers", (45, 10)), ("write_registers", (199, [1, 2, 3])),
    # refused before anything is sent
    ("read_registers", ("x", 1)), ("read_registers", (70000, 1)), ("read_input_registers", (0, 126)),
    ("write_registers", (0, (1, 2))), ("write_coils", (0, 5)), ("read_values", (0, "2Z")),
    ("read_values", (0, "H", "ABCD", 6)), ("write_multi_float", (0, [1.0] * 62)),
]


def outcome(call):
    try:
        return "result", call()
    except Exception as exc:  # compared, type and text
        return type(exc), str(exc)


@pytest.mark.parametrize("name, args", CASES, ids=[f"{n}{a}"[:60] for n, a in CASES])
def test_every_member_answers_as_the_synchronous_one(server, run, name, args):
    port = server.tcp_port
    with ModbusTCPMaster("127.0.0.1", port, 2.0) as sync:
        expected = outcome(lambda: getattr(sync, name)(*args))
        expected_record = sync.last_command_sent, sync.last_feedback_received

    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", port, 2.0) as master:
            kind, value = outcome(lambda: getattr(master, name)(*args))
            if kind == "result":
                kind, value = await awaited(value)
            return (kind, value), (master.last_command_sent, master.last_feedback_received)

    got, record = run(body)
    assert got == expected
    assert record == expected_record   # a fresh master: the same transaction identifier


async def awaited(future):
    try:
        return "result", await future
    except Exception as exc:
        return type(exc), str(exc)


def test_members_and_signatures_follow_the_synchronous_master():
    sync_members = [k for k in vars(ModbusTCPMaster) if not k.startswith("_") and not k.startswith("construct")
                    and k != "socket"]
    mine = [k for k in vars(AsyncModbusTCPMaster) if not k.startswith("_")]
    assert [k for k in mine if k in sync_members] == sync_members
    for key in sync_members:
        theirs, ours = vars(ModbusTCPMaster)[key], vars(AsyncModbusTCPMaster)[key]
        if callable(theirs) and key != "close":
            assert list(inspect.signature(ours).parameters) == list(inspect.signature(theirs).parameters), key
            assert [p.default for p in inspect.signature(ours).parameters.values()] == \
                [p.default for p in inspect.signature(theirs).parameters.values()], key
    assert str(inspect.signature(AsyncModbusTCPMaster)) == (
        "(host: 'str', port: 'int', timeout: 'float', station: 'int' = 1, *, max_in_flight: 'int' = 1, "
        "ssl_context: 'ssl.SSLContext | None' = None) -> 'None'")


@pytest.mark.parametrize("value", [0, 17, -1, 2**70])
def test_max_in_flight_is_refused_outside_1_to_16(value):
    with pytest.raises(ValueError, match="max_in_flight must be from 1 to 16"):
        AsyncModbusTCPMaster("127.0.0.1", 1, 1.0, max_in_flight=value)
    master = AsyncModbusTCPMaster("127.0.0.1", 1, 1.0)
    with pytest.raises(ValueError, match="max_in_flight must be from 1 to 16"):
        master.max_in_flight = value
    assert master.max_in_flight == 1


@pytest.mark.parametrize("args, error", [
    ((1, 1, 1.0), "Argument 'host' has incorrect type (expected str, got int)"),
    (("h", 1, 1.0, 1, 2), "__init__() takes at most 5 positional arguments (6 given)"),
])
def test_constructor_arguments(args, error):
    with pytest.raises(TypeError) as info:
        AsyncModbusTCPMaster(*args)
    assert str(info.value) == error


def test_a_bad_argument_raises_at_the_call_without_a_loop():
    master = AsyncModbusTCPMaster("127.0.0.1", 1, 1.0)
    with pytest.raises(TypeError, match="Argument 'count' has incorrect type"):
        master.read_registers(0, 1.0)
    with pytest.raises(RuntimeError, match="no running event loop"):
        master.read_registers(0, 1)


# ---- scripted asyncio peers -------------------------------------------------------------------


def registers_answer(transaction, unit, pdu):
    address, count = struct.unpack(">HH", pdu[1:5])
    data = b"".join(((address + i) & 0xFFFF).to_bytes(2, "big") for i in range(count))
    return mbap(transaction, bytes((pdu[0], len(data))) + data, unit=unit)


class Peer:
    """An asyncio server on 127.0.0.1 whose `script(reader, writer, peer)` serves each connection;
    every request read through `request()` is recorded."""

    def __init__(self, script):
        self.script = script
        self.requests = []
        self.connections = 0

    async def __aenter__(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc):
        self.server.close()

    async def _serve(self, reader, writer):
        self.connections += 1
        try:
            await self.script(reader, writer, self)
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def request(self, reader):
        head = await reader.readexactly(7)
        transaction, _, length, unit = struct.unpack(">HHHB", head)
        pdu = await reader.readexactly(length - 1)
        self.requests.append((transaction, unit, pdu))
        return transaction, unit, pdu


async def answer_all(reader, writer, peer):
    while True:
        writer.write(registers_answer(*await peer.request(reader)))


def test_pipelined_answers_in_reverse_order_reach_their_callers(run):
    async def reverse_fours(reader, writer, peer):
        while True:
            batch = [await peer.request(reader) for _ in range(4)]
            for request in reversed(batch):
                writer.write(registers_answer(*request))

    async def body():
        async with Peer(reverse_fours) as peer:
            master = AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=4)
            results = await asyncio.gather(*(master.read_registers(10 * i, 2) for i in range(12)))
            assert results == [[10 * i, 10 * i + 1] for i in range(12)]
            assert [p[2][2] for p in peer.requests] == [10 * i for i in range(12)]
            assert master.max_in_flight == 4
            await master.close()
    run(body)


def test_one_request_at_a_time_by_default(run):
    async def one_then_check(reader, writer, peer):
        while True:
            request = await peer.request(reader)
            # nothing else may come before this one is answered
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(reader.readexactly(1), 0.02)
            writer.write(registers_answer(*request))

    async def body():
        async with Peer(one_then_check) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                results = await asyncio.gather(*(master.read_register(i) for i in range(5)))
                assert results == list(range(5))
    run(body)


def test_a_write_goes_before_the_waiting_reads(run):
    async def body():
        async with Peer(answer_all) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                first = master.read_register(1)
                reads = [master.read_register(2), master.read_register(3)]
                write = master.write_single_register(9, 5)
                # the scripted peer answers a write as a read of one register: mismatched
                results = await asyncio.gather(first, *reads, write, return_exceptions=True)
                assert results[:3] == [1, 2, 3]
                assert isinstance(results[3], AssertionError)
                assert [p[2][0] for p in peer.requests] == [3, 6, 3, 3]
    run(body)


def test_late_answer_after_a_time_out_is_skipped(run):
    async def late_first(reader, writer, peer):
        first = await peer.request(reader)
        second = await peer.request(reader)        # sent once the first timed out
        writer.write(registers_answer(*first))     # late: skipped by its transaction identifier
        writer.write(registers_answer(*second))
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(late_first) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=2) as master:
                with pytest.raises(TimeoutError) as info:
                    await master.read_registers(1, 2)
                assert str(info.value) == "timed out"
                assert await master.read_registers(5, 2) == [5, 6]
                assert master.last_feedback_received == registers_answer(*peer.requests[1])
                # the master fell back to one in flight
                results = await asyncio.gather(*(master.read_register(i) for i in range(3)))
                assert results == [0, 1, 2]
    run(body)


@pytest.mark.parametrize("answer, error, text", [
    (lambda t, u, p: mbap(t + 7, b"\x03\x02\x00\x01", unit=u), OSError, "Received data header invalid from "),
    (lambda t, u, p: mbap(t, b"\x03\x04\x00\x01\x00\x02", unit=u), AssertionError,
     "Data length not match with needed"),
    (lambda t, u, p: mbap(t, b"\x04\x02\x00\x01", unit=u), AssertionError, "ModbusTCP error code: 0x4"),
    (lambda t, u, p: mbap(t, b"\x83\x02", unit=u), brel_modbus.TCPSlaveException, None),
])
def test_answers_that_do_not_fit_raise_as_the_synchronous_master(run, answer, error, text):
    async def script(reader, writer, peer):
        writer.write(answer(*await peer.request(reader)))
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(script) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                with pytest.raises(error) as info:
                    await master.read_registers(0, 1)
                if text:
                    assert str(info.value).startswith(text)
                if error is OSError:
                    assert str(info.value).endswith(str(("127.0.0.1", peer.port)))
                assert await master.read_registers(4, 1) == [4]
    run(body)


@pytest.mark.parametrize("name, args, pdu, expected", [
    ("read_input_coils", (0, 9), "0202FF01", [True] * 9),
    ("read_input_coils", (0, 9), "0202A500", [True, False, True, False, False, True, False, True, False]),
    ("read_input_coils", (0, 9), "0201FF00", "Feedback for reading coils invalid"),
    ("read_input_registers", (0, 2), "0404BEEF0102", [0xBEEF, 0x0102]),
    ("read_input_registers", (0, 2), "0403BEEF0102", "Feedback for reading registers invalid"),
    ("write_single_register", (1, 3), "0600010003", None),
    ("write_single_register", (1, 3), "0600010004", "Write register address [1] to "),
    ("write_single_register", (1, 3), "0600020003", "Write register address [1] to "),
    ("read_coils", (0, 9), "0102FF01", [True] * 9),
    ("read_coils", (0, 9), "0101FF00", "Feedback for reading coils invalid"),
    ("read_registers", (0, 2), "0304BEEF0102", [0xBEEF, 0x0102]),
    ("read_registers", (0, 2), "0303BEEF0102", "Feedback for reading registers invalid"),
    ("write_registers", (1, [3]), "1000010001", None),
    ("write_registers", (1, [3]), "1000010002", "Write registers to "),
    ("write_registers", (1, [3]), "1000020001", "Write registers to "),
    ("write_coil", (1, True), "050001FF00", None),
    ("write_coil", (1, True), "0500010000", "Write coil address [1] to "),
])
def test_reads_and_writes_judge_their_answers(run, name, args, pdu, expected):
    async def script(reader, writer, peer):
        transaction, unit, _ = await peer.request(reader)
        writer.write(mbap(transaction, bytes.fromhex(pdu), unit=unit))
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(script) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                if isinstance(expected, str):
                    with pytest.raises(AssertionError) as info:
                        await getattr(master, name)(*args)
                    assert str(info.value).startswith(expected)
                else:
                    assert await getattr(master, name)(*args) == expected
                assert peer.requests[0][2][:3] == bytes.fromhex(pdu)[:1] + args[0].to_bytes(2, "big")
                assert await master.read_registers(4, 1) == [4]   # still in step with the peer
    run(body)


def test_exception_answer_text_is_the_synchronous_one(run):
    async def body():
        async with Peer(lambda r, w, p: refuse(r, w, p)) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                with pytest.raises(brel_modbus.TCPSlaveException) as info:
                    await master.read_registers(0, 1)
                return str(info.value), peer.port

    async def refuse(reader, writer, peer):
        while True:
            transaction, unit, pdu = await peer.request(reader)
            writer.write(mbap(transaction, bytes((pdu[0] | 0x80, 2)), unit=unit))

    text, _ = run(body)
    assert text == str(brel_modbus.TCPSlaveException(1, 0x83, 2))


@pytest.mark.parametrize("reconnect", [True, False])
def test_a_closed_connection_and_the_next_call(run, reconnect):
    async def one_answer(reader, writer, peer):
        writer.write(registers_answer(*await peer.request(reader)))
        await writer.drain()
        await peer.request(reader)                 # then the peer closes without answering

    async def body():
        async with Peer(one_answer) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                master.reconnect = reconnect
                assert await master.read_registers(1, 1) == [1]
                with pytest.raises(ConnectionError) as info:
                    await master.read_registers(2, 1)
                assert str(info.value) == "Connection closed by " + str(("127.0.0.1", peer.port))
                if reconnect:
                    assert await master.read_registers(3, 1) == [3]
                    assert peer.connections == 2
                else:
                    with pytest.raises(ConnectionError):
                        await master.read_registers(3, 1)
                    assert peer.connections == 1
    run(body)


def test_retries_send_the_request_again_on_a_new_connection(run):
    async def close_first(reader, writer, peer):
        if peer.connections == 1:
            await peer.request(reader)
            return                                 # closes without answering
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(close_first) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                master.retries = 1
                assert await master.read_registers(6, 2) == [6, 7]
                assert [p[2] for p in peer.requests] == [b"\x03\x00\x06\x00\x02"] * 2
    run(body)


@pytest.mark.parametrize("in_flight", [1, 3])
@pytest.mark.parametrize("steps", range(8))
def test_cancelled_after_each_loop_step_leaves_the_master_usable(run, steps, in_flight):
    async def slow(reader, writer, peer):
        while True:
            request = await peer.request(reader)
            await asyncio.sleep(0.005)
            writer.write(registers_answer(*request))

    async def body():
        async with Peer(slow) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=in_flight) as master:
                for round_ in range(3):
                    task = asyncio.ensure_future(master.read_registers(round_, 2))
                    for _ in range(steps):
                        await asyncio.sleep(0)
                    task.cancel()
                    assert await master.read_registers(100 + round_, 2) == [100 + round_, 101 + round_]
                # cancelled by a time-out around the call the same
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(master.read_registers(40, 1), 0.001)
                assert await master.read_registers(50, 3) == [50, 51, 52]
    run(body)


@pytest.mark.parametrize("in_flight", [1, 4])
def test_concurrent_callers_each_get_their_own_answer(run, in_flight):
    async def body():
        async with Peer(answer_all) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=in_flight) as master:
                async def caller(k):
                    got = []
                    for i in range(10):
                        address = 1000 * k + 7 * i
                        got.append((address, await master.read_registers(address, 1 + i % 3)))
                    return got

                for calls in await asyncio.gather(*(caller(k) for k in range(8))):
                    for address, values in calls:
                        assert values == list(range(address, address + len(values)))
                assert len(peer.requests) == 80
    run(body)


def test_connect_close_and_refused_connection(run):
    async def body():
        async with Peer(answer_all) as peer:
            port = peer.port
            master = AsyncModbusTCPMaster("127.0.0.1", port, TIMEOUT)
            assert master.transport is None
            await master.connect()
            assert master.transport is not None
            await master.aclose()
            assert master.transport is None
            with pytest.raises(brel_modbus.MasterClosedError):   # as ModbusTCPMaster after close()
                await master.read_registers(0, 1)
        # the server is gone: nothing listens on the port now
        refused = AsyncModbusTCPMaster("127.0.0.1", port, TIMEOUT)
        with pytest.raises(ConnectionRefusedError):
            await refused.read_registers(0, 1)
        with pytest.raises(ConnectionRefusedError):
            await refused.connect()
    run(body)


def test_an_unknown_transaction_identifier_falls_back_to_one_in_flight_until_reconnected(run):
    async def script(reader, writer, peer):
        if peer.connections == 1:
            transaction, unit, pdu = await peer.request(reader)
            writer.write(mbap(transaction + 100, b"\x03\x02\x00\x01", unit=unit))    # nobody asked for this
            for _ in range(4):                                                      # then one at a time
                request = await peer.request(reader)
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(reader.readexactly(1), 0.02)
                writer.write(registers_answer(*request))
            await peer.request(reader)
            return                                                                  # closes unanswered
        batch = [await peer.request(reader) for _ in range(4)]                      # four at once again
        for request in reversed(batch):
            writer.write(registers_answer(*request))
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(script) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=4) as master:
                with pytest.raises(OSError, match="Received data header invalid from"):
                    await master.read_registers(0, 1)
                assert await asyncio.gather(*(master.read_register(i) for i in range(4))) == [0, 1, 2, 3]
                with pytest.raises(ConnectionError):
                    await master.read_register(9)
                assert await asyncio.gather(*(master.read_register(i) for i in range(4, 8))) == [4, 5, 6, 7]
                assert master.last_command_sent == mbap(peer.requests[-1][0], b"\x03\x00\x07\x00\x01")
                assert master.last_feedback_received == registers_answer(*peer.requests[-4])
    run(body)


def test_a_closed_master_is_freed(run):
    import gc
    import weakref

    async def body():
        async with Peer(answer_all) as peer:
            refs = []
            for i in range(5):
                master = AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT)
                assert await master.read_register(i) == i
                await master.close()
                # the master and its link's protocol object, which its transport held
                refs += [weakref.ref(master), weakref.ref(vars(master)["_AsyncModbusTCPMaster__protocol"])]
                del master
            gc.collect()
            assert [r() for r in refs] == [None] * 10
    run(body)


def test_a_cancelled_call_that_waits_is_never_sent(run):
    async def slow(reader, writer, peer):
        while True:
            request = await peer.request(reader)
            await asyncio.sleep(0.02)
            writer.write(registers_answer(*request))

    async def body():
        async with Peer(slow) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                first = master.read_register(1)
                waiting = asyncio.ensure_future(master.read_register(2))
                await asyncio.sleep(0)
                waiting.cancel()
                assert await first == 1
                assert await master.read_register(3) == 3
                assert [p[2][2] for p in peer.requests] == [1, 3]
    run(body)


def test_retries_after_a_time_out(run):
    async def ignore_first(reader, writer, peer):
        await peer.request(reader)                 # never answered
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(ignore_first) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, 0.1) as master:
                master.retries = 1
                assert await master.read_registers(8, 2) == [8, 9]
                assert [p[2] for p in peer.requests] == [b"\x03\x00\x08\x00\x02"] * 2
                assert peer.requests[0][0] != peer.requests[1][0]   # a new transaction identifier
    run(body)


def test_each_call_goes_to_the_station_of_its_moment(run):
    async def body():
        async with Peer(answer_all) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, 5) as master:
                calls = []
                for station in (7, 8, 9):
                    master.station = station
                    calls.append(master.read_register(station))   # queued behind the first
                assert await asyncio.gather(*calls) == [7, 8, 9]
                assert [p[1] for p in peer.requests] == [7, 8, 9]
                assert master.station == 9
    run(body)
