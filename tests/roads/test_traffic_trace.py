"""The traffic trace: each request gives a "sent" record with exactly the bytes written, and a
"received" record with exactly the bytes that came for it and how the exchange ended; a retry
is one more pair; the trace never changes what a call returns or raises."""

from __future__ import annotations

import logging
import time

import pytest

import brel_modbus
from brel_modbus import FixMaster, Master, ModbusTCPMaster, TrafficRecord, log_traffic
from roads_support import HOST, PORT, AnsweringSocket, rtu_answer, tcp_answer

RTU_OUTCOMES = {"normal": "answer", "refused": "refusal", "silent": "timeout", "crc": "frame",
                "station": "mismatch"}
TCP_OUTCOMES = {"normal": "answer", "refused": "refusal", "silent": "timeout", "unit": "mismatch",
                "short": "connection closed"}


def rtu_master(cls):
    return Master("/dev/ttyFAKE0", 9600, 1) if cls is Master else FixMaster(1, "/dev/ttyFAKE0", 9600, 1)


def read(master):
    return master.read_registers(0, 2) if isinstance(master, FixMaster) else master.read_registers(1, 0, 2)


def outcome(call):
    try:
        return ("returned", call())
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def check_pairs(records, wire, answers, outcome_text, station, function):
    """records alternate sent / received; the sent bytes are those written, the received ones
    those the slave put on the line for that request."""
    assert all(type(r) is TrafficRecord for r in records)
    assert [r.direction for r in records] == ["sent", "received"] * len(wire)
    assert [r.data for r in records[0::2]] == wire
    assert [r.data for r in records[1::2]] == answers
    assert [r.outcome for r in records] == [None, outcome_text] * len(wire)
    assert {(r.station, r.function) for r in records} == {(station, function)}
    times = [r.time for r in records]
    assert times == sorted(times) and abs(times[-1] - time.monotonic()) < 60


@pytest.mark.parametrize("retries", [0, 2])
@pytest.mark.parametrize("kind", RTU_OUTCOMES)
@pytest.mark.parametrize("cls", [Master, FixMaster])
def test_rtu_trace_records_the_wire(rtu_channels, cls, kind, retries):
    master = rtu_master(cls)
    channel = rtu_channels[0]
    channel.kind = kind
    master.retries = retries
    records = []
    master.trace = records.append
    assert master.trace == records.append
    if kind == "normal":
        assert len(read(master)) == 2
    else:
        pytest.raises((brel_modbus.ModbusError, brel_modbus.SlaveException), read, master)
    tries = 1 if kind in ("normal", "refused") else 1 + retries
    wire = channel.writes
    assert len(wire) == tries
    answers = [rtu_answer(frame, kind)[: 5 if kind == "refused" else None] for frame in wire]
    check_pairs(records, wire, answers, RTU_OUTCOMES[kind], 1, 3)


@pytest.mark.parametrize("retries", [0, 1])
@pytest.mark.parametrize("kind", TCP_OUTCOMES)
def test_tcp_trace_records_the_wire(tcp_sockets, monkeypatch, kind, retries):
    monkeypatch.setattr(AnsweringSocket, "kind", kind)   # a new connection's slave too
    master = ModbusTCPMaster(HOST, PORT, 1.5)
    master.retries = retries
    records = []
    master.trace = records.append
    result = outcome(lambda: master.read_registers(0, 2))
    assert (result[0] == "returned") == (kind == "normal")
    wire = [data for sock in tcp_sockets for data in sock.sent]
    tries = 1 if kind in ("normal", "refused") else 1 + retries
    assert len(wire) == tries
    # what the slave sent for each request, as far as the master read it: a header that is not
    # the request's ends the exchange after its 8 bytes, and the rest of that answer is what the
    # next request reads first
    stream = b"".join(b"".join(tcp_answer(frame, kind)) for frame in wire)
    received = [r.data for r in records[1::2]]
    assert b"".join(received) == stream[: len(b"".join(received))]
    answers = [b"".join(tcp_answer(frame, kind))[: 8 if kind == "unit" else None] for frame in wire]
    if retries and kind == "unit":
        answers = [answers[0], stream[8:16]]
    check_pairs(records, wire, answers, TCP_OUTCOMES[kind], 1, 3)


def test_a_trace_changes_nothing(rtu_channels, tcp_sockets, monkeypatch):
    """Same results and errors with a trace, with one that raises (reported as unraisable), without."""
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)

    def failing(record):
        raise RuntimeError("the trace failed")

    def runs(trace):
        results = []
        for kind in ("normal", "refused", "silent"):
            m = rtu_master(Master)
            rtu_channels[-1].kind = kind
            t = ModbusTCPMaster(HOST, PORT, 1.5)
            tcp_sockets[-1].kind = kind
            m.trace = t.trace = trace
            results += [outcome(lambda m=m: read(m)), outcome(lambda t=t: t.read_registers(0, 2)),
                        m.last_feedback_received, t.last_feedback_received]
        return results

    plain = runs(None)
    assert runs([].append) == plain
    assert runs(failing) == plain
    assert len(reported) == 12 and all(type(r.exc_value) is RuntimeError for r in reported)


def test_trace_property(rtu_channels, tcp_sockets):
    for master in (rtu_master(Master), rtu_master(FixMaster), ModbusTCPMaster(HOST, PORT, 1.5)):
        assert master.trace is None
        with pytest.raises(TypeError, match=r"^trace must be None or a callable of one record, not int$"):
            master.trace = 5
        assert master.trace is None
        master.trace = print
        assert master.trace is print
        master.trace = None
        assert master.trace is None
    fix = rtu_master(FixMaster)
    fix.trace = print
    assert fix.master.trace is print   # FixMaster's is its Master's


def test_log_traffic(rtu_channels, tcp_sockets, caplog):
    caplog.set_level(logging.DEBUG)
    m = rtu_master(Master)
    assert log_traffic(m) is None and callable(m.trace)
    rtu_channels[0].kind = "refused"
    with pytest.raises(brel_modbus.SlaveException):
        read(m)
    mine = logging.getLogger("test.traffic")
    t = ModbusTCPMaster(HOST, PORT, 1.5)
    log_traffic(t, mine)
    t.read_registers(0, 2)
    lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
    assert [(n, level) for n, level, _ in lines] == [("brel_modbus", 10)] * 2 + [("test.traffic", 10)] * 2
    texts = [text.split(" (")[0] for _, _, text in lines]
    assert texts == ["sent " + m.last_command_sent_hex, "received " + m.last_feedback_received_hex,
                     "sent " + t.last_command_sent_hex, "received " + t.last_feedback_received_hex]
    assert lines[1][2].endswith(": refusal") and lines[3][2].endswith(": answer")
    assert "(station 1, function 3, at " in lines[0][2]


def test_a_broadcast_and_a_request_alone(rtu_channels):
    """A broadcast awaits nothing: its received record is empty; a request-only member sends one record."""
    master = rtu_master(Master)
    records = []
    master.trace = records.append
    master.write_register(0, 1, 5)
    master.send_read_registers_request(1, 0, 2, 3)
    wire = rtu_channels[0].writes
    assert [(r.direction, r.data, r.station, r.function, r.outcome) for r in records] == [
        ("sent", wire[0], 0, 6, None), ("received", b"", 0, 6, "broadcast"), ("sent", wire[1], 1, 3, None)]
