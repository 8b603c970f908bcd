"""AsyncModbusTCPMaster's traffic trace against scripted asyncio peers: a "sent" record with
exactly the bytes written, a "received" record with exactly the bytes that came for that
request and how its exchange ended, a retry as one more pair, each record with its own
request's station and function however many requests are in flight."""

import asyncio
import logging
import time

import pytest

from brel_modbus import AsyncModbusTCPMaster, ModbusError, TrafficRecord, log_traffic
import test_async_tcp_master as scripted
from tcp_support import mbap
from test_async_tcp_master import TIMEOUT, Peer, answer_all, registers_answer

run = scripted.run   # the fixture: each test on the default loop and on uvloop


def refusal(transaction, unit, pdu):
    return mbap(transaction, bytes((pdu[0] | 0x80, 2)), unit=unit)


async def answers_then_closes(reader, writer, peer):
    writer.write(registers_answer(*await peer.request(reader))[:10])   # cut short, then closed


async def silent_then_answers(reader, writer, peer):
    await peer.request(reader)                     # never answered
    await answer_all(reader, writer, peer)


async def refuses(reader, writer, peer):
    while True:
        writer.write(refusal(*await peer.request(reader)))


# kind: (script, retries, outcome of each try, what came for each try)
KINDS = {
    "answer": (answer_all, 0, ["answer"], [registers_answer]),
    "refusal": (refuses, 1, ["refusal"], [refusal]),
    "timeout": (silent_then_answers, 0, ["timeout"], [None]),
    "retry": (silent_then_answers, 1, ["timeout", "answer"], [None, registers_answer]),
    "closed": (answers_then_closes, 0, ["connection closed"], [lambda *r: registers_answer(*r)[:10]]),
}


@pytest.mark.parametrize("kind", KINDS)
def test_the_trace_records_the_wire(run, kind):
    script, retries, outcomes, came = KINDS[kind]

    async def body():
        async with Peer(script) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, 9) as master:
                master.retries = retries
                records = []
                master.trace = records.append
                assert master.trace == records.append
                try:
                    result = await master.read_registers(4, 2)
                except (ModbusError, OSError) as exc:
                    result = exc
                return records, peer.requests, result

    records, requests, result = run(body)
    assert (result == [4, 5]) == (outcomes[-1] == "answer")
    assert len(requests) == len(outcomes)
    assert all(type(r) is TrafficRecord for r in records)
    assert [r.direction for r in records] == ["sent", "received"] * len(requests)
    assert [r.data for r in records[0::2]] == [mbap(t, pdu, unit=u) for t, u, pdu in requests]
    came_back = [make(*request) if make else b"" for make, request in zip(came, requests, strict=True)]
    assert [r.data for r in records[1::2]] == came_back
    assert [r.outcome for r in records] == [x for o in outcomes for x in (None, o)]
    assert {(r.station, r.function) for r in records} == {(9, 3)}
    times = [r.time for r in records]
    assert times == sorted(times) and abs(times[-1] - time.monotonic()) < 60


def test_each_record_carries_its_own_request_in_flight(run):
    async def reverse_threes(reader, writer, peer):
        while True:
            batch = [await peer.request(reader) for _ in range(3)]
            for request in reversed(batch):
                writer.write(registers_answer(*request) if request[2][0] == 3 else refusal(*request))

    async def body():
        async with Peer(reverse_threes) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT, max_in_flight=3) as master:
                records = []
                master.trace = records.append
                calls = []
                for station, read in ((5, master.read_registers), (6, master.read_input_registers),
                                      (7, master.read_registers)):
                    master.station = station
                    calls.append(read(station, 1))
                results = await asyncio.gather(*calls, return_exceptions=True)
                return records, results

    records, results = run(body)
    assert results[0] == [5] and results[2] == [7] and isinstance(results[1], ModbusError)
    sent = {r.data[:2]: r for r in records if r.direction == "sent"}
    received = [r for r in records if r.direction == "received"]
    assert [r.direction for r in records] == ["sent"] * 3 + ["received"] * 3
    assert [(r.station, r.function, r.outcome) for r in received] == [(7, 3, "answer"), (6, 4, "refusal"),
                                                                      (5, 3, "answer")]
    for r in received:
        request = sent[r.data[:2]]
        assert (request.station, request.function) == (r.station, r.function)
        assert r.data[6] == r.station and r.data[7] & 0x7F == r.function


def test_a_trace_changes_nothing(run, monkeypatch):
    """The same results and errors, and the same record of the traffic, with a trace, with one that
    raises (reported as unraisable), and without one."""
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)

    def failing(record):
        raise RuntimeError("the trace failed")

    def runs(trace):
        async def body():
            got = []
            for script in (answer_all, refuses, silent_then_answers):
                async with Peer(script) as peer:
                    async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                        master.trace = trace
                        try:
                            got.append(await master.read_registers(1, 2))
                        except Exception as exc:
                            got.append((type(exc), str(exc).replace(str(peer.port), "PORT")))
                        got.append(master.last_feedback_received)
            return got
        return run(body)

    plain = runs(None)
    assert runs([].append) == plain
    assert runs(failing) == plain
    assert len(reported) == 6 and all(type(r.exc_value) is RuntimeError for r in reported)


def test_trace_property_and_log_traffic(run, caplog):
    master = AsyncModbusTCPMaster("127.0.0.1", 1, TIMEOUT)
    assert master.trace is None
    with pytest.raises(TypeError, match=r"^trace must be None or a callable of one record, not int$"):
        master.trace = 5
    assert master.trace is None
    assert log_traffic(master) is None and callable(master.trace)

    async def body():
        async with Peer(answer_all) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                log_traffic(master)
                assert await master.read_registers(0, 1) == [0]
                return master.last_command_sent_hex, master.last_feedback_received_hex

    with caplog.at_level(logging.DEBUG, logger="brel_modbus"):
        sent_hex, received_hex = run(body)
    lines = [r.getMessage() for r in caplog.records if r.name == "brel_modbus"]
    assert len(lines) == 2
    assert lines[0].startswith(f"sent {sent_hex} (station 1, function 3, at ")
    assert lines[1].startswith(f"received {received_hex} (station 1, function 3, at ")
    assert lines[1].endswith("): answer")
