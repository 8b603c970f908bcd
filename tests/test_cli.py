"""The installed brel-modbus command, run as a subprocess against the simulated slaves: Modbus
TCP, RTU through a TCP serial server (socket://) and RTU on a pseudo-terminal pair."""

from __future__ import annotations

import csv
import importlib.util
import io
import json
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import threading
from importlib import metadata
from pathlib import Path

import pytest

import brel_modbus
from brel_modbus import ModbusStatic
from simulator import (COILS, DISCRETE, HOLDING, IDENTITY, INPUT, SPARSE_HOLDING, SPARSE_STATION, STATION,
                       SimulatedSlaves)

SCRIPT = Path(sys.executable).with_name("brel-modbus")
ENTRIES = {"script": [str(SCRIPT)], "module": [sys.executable, "-m", "brel_modbus_tool"]}
ROADS = ["tcp", "rtu-tcp", "pty"]
WAIT = 60


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


def target(slaves, road):
    """The command's TARGET and line options for one road to the simulated slave."""
    if road == "tcp":
        return [f"tcp://127.0.0.1:{slaves.tcp_port}"]
    if road == "rtu-tcp":
        return [slaves.rtu_url]
    return [slaves.serial_port, "--parity", "N"]   # a pseudo-terminal refuses parity settings


def run(*args, entry="script", cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}   # the installed package, nothing else
    proc = subprocess.run([*ENTRIES[entry], *map(str, args)], capture_output=True, text=True, timeout=WAIT, env=env,
                          cwd=cwd or Path(__file__).parent)
    return proc.returncode, proc.stdout, proc.stderr


def ok(*args, entry="script"):
    code, out, err = run(*args, entry=entry)
    assert code == 0, err
    return out


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def one_line(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    return lines[0]


def tcp_master(slaves):
    return brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0)


# ---- read ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("road", ROADS)
def test_read_registers_in_csv(slaves, road, entry):
    out = ok("read", *target(slaves, road), "--station", STATION, "--address", 5, "--count", 4, "--output", "csv",
             entry=entry)
    rows = csv_rows(out)
    assert [int(r["address"]) for r in rows] == [5, 6, 7, 8]
    assert [int(r["value"]) for r in rows] == HOLDING[5:9]
    assert [int(r["raw"], 16) for r in rows] == HOLDING[5:9]
    assert {r["station"] for r in rows} == {str(STATION)} and {r["table"] for r in rows} == {"holding"}


@pytest.mark.parametrize("table, data", [("input", INPUT), ("coil", COILS), ("discrete", DISCRETE)])
@pytest.mark.parametrize("road", ROADS)
def test_read_every_table_in_json(slaves, road, table, data):
    document = json.loads(ok("read", *target(slaves, road), "-s", STATION, "-t", table, "--address", 2, "-c", 6,
                             "--output", "json"))
    assert document["table"] == table and document["station"] == STATION
    assert [v["address"] for v in document["values"]] == list(range(2, 8))
    assert [v["value"] for v in document["values"]] == data[2:8]


@pytest.mark.parametrize("road", ROADS)
def test_read_table_is_aligned_for_people(slaves, road):
    out = ok("read", *target(slaves, road), "-s", STATION, "--address", 9, "-c", 3)
    lines = out.splitlines()
    assert lines[0] == "station 1, holding registers 9-11"
    header = lines[1].split()
    assert header == ["address", "raw", "value"]
    body = [line.split() for line in lines[3:]]
    assert body == [[str(a), f"{HOLDING[a]:04X}", str(HOLDING[a])] for a in range(9, 12)]
    # the columns line up: each raw value starts under the header's "raw"
    assert {line.index(cells[1]) for line, cells in zip(lines[3:], body, strict=True)} == {lines[1].index("raw")}


@pytest.mark.parametrize("order", ["ABCD", "CDAB", "BADC", "DCBA"])
@pytest.mark.parametrize("format, values", [
    ("f I 4s", [21.5, 3_000_000_000, b"PLC1"]),
    ("h q d", [-2, -5_000_000_000, 1.0e-300]),
    ("e H", [1.5, 65535]),
])
def test_read_typed_values_in_every_order(slaves, format, values, order):
    registers = ModbusStatic.encode_values(format, values, order)
    slaves.set_holding(200, registers)
    document = json.loads(ok("read", f"tcp://127.0.0.1:{slaves.tcp_port}", "-s", STATION, "--address", 200,
                             "-f", format, "--order", order, "--output", "json"))
    decoded = ModbusStatic.decode_values(registers, format, order)
    expected = [v.rstrip(b"\0").decode() if isinstance(v, bytes) else v for v in decoded]
    assert [v["value"] for v in document["values"]] == expected
    assert document["format"] == format and document["order"] == order
    # each value's raw registers, from its own address on
    joined = " ".join(v["raw"] for v in document["values"]).split()
    assert [int(word, 16) for word in joined] == registers
    items = format.split()   # one value per item in these formats
    starts = [200 + len(ModbusStatic.encode_values(" ".join(items[:i]), values[:i], order)) if i else 200
              for i in range(len(items))]
    assert [v["address"] for v in document["values"]] == starts


@pytest.mark.parametrize("road", ROADS)
def test_read_format_repeated_by_count(slaves, road):
    registers = ModbusStatic.encode_values("3f", [0.5, -1.25, 100.0], "CDAB")
    slaves.set_holding(220, registers)
    out = ok("read", *target(slaves, road), "-s", STATION, "--address", 220, "-f", "f", "--order", "cdab", "-c", 3,
             "--output", "csv")
    rows = csv_rows(out)
    assert [(int(r["address"]), r["type"], float(r["value"])) for r in rows] == [
        (220, "f", 0.5), (222, "f", -1.25), (224, "f", 100.0)]


# ---- mbpoll's options, references ------------------------------------------------------------------------

@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("kind, table, data", [("4", "holding", HOLDING), ("3", "input", INPUT), ("0", "coil", COILS),
                                               ("1", "discrete", DISCRETE)])
def test_mbpoll_options_read_what_mbpoll_reads(slaves, road, kind, table, data):
    # mbpoll -a 1 -r 4 -c 3 -t KIND: station 1, three values from reference 4 (address 3)
    code, out, err = run("read", *target(slaves, road), "-a", STATION, "-r", 4, "-c", 3, "-t", kind, "-o", 2,
                         "--output", "json")
    assert code == 0, err
    document = json.loads(out)
    assert document["table"] == table and document["station"] == STATION
    assert [(v["address"], v["value"]) for v in document["values"]] == [(a, data[a]) for a in (3, 4, 5)]
    what = {"holding": "holding register", "input": "input register", "coil": "coil", "discrete": "discrete input"}
    assert one_line(err) == f"brel-modbus: reference 4: {what[table]} 3"


@pytest.mark.parametrize("reference, table, address, data", [
    ("40006", "holding", 5, HOLDING), ("400006", "holding", 5, HOLDING), ("30003", "input", 2, INPUT),
    ("10005", "discrete", 4, DISCRETE), ("00004", "coil", 3, COILS), ("000004", "coil", 3, COILS),
])
@pytest.mark.parametrize("road", ["tcp", "pty"])
def test_datasheet_references_name_table_and_address(slaves, road, reference, table, address, data):
    code, out, err = run("read", *target(slaves, road), "--reference", reference, "-c", 3, "--output", "csv")
    assert code == 0, err
    rows = csv_rows(out)
    assert {r["table"] for r in rows} == {table} and {r["station"] for r in rows} == {"1"}   # station 1 unless told
    assert [int(r["address"]) for r in rows] == [address, address + 1, address + 2]
    assert [r["value"] for r in rows] == [str(v).lower() for v in data[address:address + 3]]
    what = {"holding": "holding register", "input": "input register", "coil": "coil", "discrete": "discrete input"}
    assert one_line(err) == f"brel-modbus: reference {reference}: {what[table]} {address}"


@pytest.mark.parametrize("road", ROADS)
def test_write_by_reference(slaves, road):
    address = 460 + ROADS.index(road)
    slaves.set_holding(address, [0])
    ok("write", *target(slaves, road), "-r", 40001 + address, 777)
    assert slaves.holding(address, 1) == [777]
    with tcp_master(slaves) as master:
        master.write_coil(30 + ROADS.index(road), False)
        ok("write", *target(slaves, road), "-r", f"{31 + ROADS.index(road):05d}", "on")   # 00031: coil 30
        assert master.read_coil(30 + ROADS.index(road)) is True


@pytest.mark.parametrize("args, tail", [
    (["--address", 40001], "; hint: 40001 looks like a datasheet reference; try --reference 40001 or --address 0"),
    (["--address", 40108, "-c", 2], "; hint: 40108 looks like a datasheet reference; try --reference 40108 or "
                                    "--address 107"),
    (["--address", 30001], "; hint: 30001 looks like a datasheet reference; try --reference 30001 or --table "
                           "input --address 0"),
    (["--address", 1000], " (illegal data address)"),   # no datasheet number: no hint
])
def test_a_refused_address_like_a_datasheet_number_gets_a_hint(slaves, args, tail):
    code, out, err = run("read", *target(slaves, "tcp"), *args)
    assert code == 1 and out == ""
    line = one_line(err)
    assert line.startswith("brel-modbus: exception: station 1 answered function 3 with exception 2 "
                           "(illegal data address)") and line.endswith(tail)


def test_a_write_and_a_poll_hint_too(slaves):
    code, out, err = run("write", *target(slaves, "rtu-tcp"), "--address", 40001, 5)
    assert code == 1 and one_line(err).endswith("try --reference 40001 or --address 0")
    code, out, err = run("poll", *target(slaves, "tcp"), "--address", 40001, "-i", 0, "-n", 3)
    assert code == 0   # an exception answer is an answer
    assert err.count("illegal data address") == 3 and err.count("hint: 40001 looks like") == 1   # said once


@pytest.mark.parametrize("road", ["tcp", "pty"])
@pytest.mark.parametrize("command", [["read", "--address", 0, "-c", 2], ["info"]])
def test_station_1_unless_told(slaves, road, command):
    out = ok(command[0], *target(slaves, road), *command[1:], "--output", "json")
    assert json.loads(out)["station"] == 1


def test_poll_once_every_few_milliseconds(slaves):
    out = ok("poll", *target(slaves, "tcp"), "-r", 1, "-c", 2, "-l", 5, "-1", "--output", "json")
    lines = json_lines(out)
    assert [line["poll"] for line in lines[:-1]] == [1] and lines[-1]["statistics"]["sent"] == 1
    assert [v["value"] for v in lines[0]["values"]] == HOLDING[0:2]


@pytest.mark.parametrize("form", ["table", "csv"])
def test_poll_times_carry_their_unit(slaves, form):
    code, out, err = run("poll", *target(slaves, "tcp"), "--address", 0, "-i", 0, "-n", 2, "--output", form)
    assert code == 0, err
    if form == "csv":   # seconds, as in JSON
        rows = csv_rows(out)
        assert all(0 < float(r["round_trip_s"]) < 1 for r in rows)   # within the time-out: seconds, not ms
        figures = dict(item.rsplit(" ", 1) for item in err.strip().split(": ", 1)[1].split(", "))
        assert 0 < float(figures["rtt_p50_s"]) <= float(figures["rtt_p99_s"]) < 1
    else:               # milliseconds, for people
        figures = dict(line.rsplit(None, 1) for line in out.split("statistics\n", 1)[1].splitlines()
                       if len(line.split()) >= 2)
        assert set(figures) >= {"rtt_p50 ms", "rtt_p99 ms"} and float(figures["rtt_p50 ms"]) > 0
        assert not any("round trip" in name for name in figures)


@pytest.mark.parametrize("where", ["127.0.0.1:{port}", "localhost:{port}"])
def test_a_bare_host_and_port_is_modbus_tcp(slaves, where):
    document = json.loads(ok("read", where.format(port=slaves.tcp_port), "--address", 2, "-c", 2, "--output", "json"))
    assert [v["value"] for v in document["values"]] == HOLDING[2:4]


def test_a_file_named_like_a_host_is_the_file(slaves, tmp_path):
    (tmp_path / "localhost").write_text("")
    code, out, err = run("read", "localhost", "--address", 0, cwd=tmp_path)
    assert code == 1
    assert one_line(err).startswith("brel-modbus: connection: cannot open localhost (19200 baud, 8E1): ")
    code, out, err = run("read", f"tcp://localhost:{slaves.tcp_port}", "--address", 0, cwd=tmp_path)
    assert code == 0, err


@pytest.mark.parametrize("parity", ["E", "even"])
def test_a_parity_the_port_refuses_says_which_opens(slaves, parity):
    ok("read", slaves.serial_port, "-P", "none", "--address", 0)   # opened once: from now on the pty refuses E
    code, out, err = run("read", slaves.serial_port, "-P", parity, "--address", 0)
    assert code == 1 and out == ""
    assert one_line(err) == (f"brel-modbus: connection: cannot open {slaves.serial_port} (19200 baud, 8E1): "
                             f"[Errno 22] Invalid argument; the port refuses parity E: try --parity N")


# ---- write ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("texts, registers", [
    (["1234"], [1234]),
    (["0x10", "-1", "65535", "7"], [0x10, 0xFFFF, 0xFFFF, 7]),
])
def test_write_registers(slaves, road, texts, registers):
    address = 300 + 10 * ROADS.index(road)
    slaves.set_holding(address, [0] * 4)
    out = ok("write", *target(slaves, road), "-s", STATION, "--address", address, *texts, "--output", "csv")
    assert slaves.holding(address, len(registers)) == registers
    assert [int(r["value"]) for r in csv_rows(out)] == registers


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("order", ["ABCD", "DCBA"])
def test_write_typed_values(slaves, road, order):
    address = 340 + 20 * ROADS.index(road)
    out = ok("write", *target(slaves, road), "-s", STATION, "--address", address, "-f", "f I h 6s", "--order", order,
             "-2.5", "4000000000", "-7", "METER", "--output", "json")
    registers = slaves.holding(address, 8)
    assert ModbusStatic.decode_values(registers, "f I h 6s", order) == [-2.5, 4_000_000_000, -7, b"METER\0"]
    written = json.loads(out)["written"]
    assert [w["value"] for w in written] == [-2.5, 4_000_000_000, -7, "METER"]
    assert " ".join(w["raw"] for w in written).split() == [f"{r:04X}" for r in registers]


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("texts, bits", [(["on"], [True]), (["1", "off", "TRUE", "false", "0"],
                                                             [True, False, True, False, False])])
def test_write_coils(slaves, road, texts, bits):
    address = 10 + 6 * ROADS.index(road)
    with tcp_master(slaves) as master:
        master.write_coils(address, [not b for b in bits])
        ok("write", *target(slaves, road), "-s", STATION, "-t", "coil", "--address", address, *texts)
        assert master.read_coils(address, len(bits)) == bits


@pytest.mark.parametrize("road", ["rtu-tcp", "pty"])
def test_write_to_station_0_broadcasts_on_rtu(slaves, road):
    address = 450 + ROADS.index(road)
    slaves.set_holding(address, [0])
    out = ok("write", *target(slaves, road), "-s", 0, "--address", address, 4321, "--broadcast-delay", 0.01,
             "--output", "json")
    document = json.loads(out)
    assert document["broadcast"] is True and document["station"] == 0
    assert slaves.holding(address, 1) == [4321]   # carried out, though nobody answered


# ---- poll ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("road", ROADS)
def test_poll_rounds_then_statistics_in_json(slaves, road):
    out = ok("poll", *target(slaves, road), "-s", STATION, "--address", 0, "-c", 2, "--interval", 0.01, "--rounds", 3,
             "--output", "json")
    lines = json_lines(out)
    polls, statistics = lines[:-1], lines[-1]["statistics"]
    assert [p["poll"] for p in polls] == [1, 2, 3]
    assert all([v["value"] for v in p["values"]] == HOLDING[0:2] for p in polls)
    assert statistics["sent"] == statistics["answered"] == 3 and statistics["errors"] == 0
    trips = sorted(p["round_trip_s"] for p in polls)   # seconds in JSON, named so
    assert statistics["rtt_p50_s"] == trips[1] and statistics["rtt_p99_s"] == trips[2]


@pytest.mark.parametrize("form", ["table", "csv"])
def test_poll_in_table_and_csv(slaves, form):
    code, out, err = run("poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "-s", STATION, "-t", "coil", "--address", 0,
                         "-c", 3, "-i", 0, "-n", 2, "--output", form)
    assert code == 0, err
    if form == "csv":
        rows = csv_rows(out)
        assert [(r["poll"], r["value"]) for r in rows] == [
            (str(p), str(b).lower()) for p in (1, 2) for b in COILS[0:3]]
        assert "sent 2, answered 2, errors 0" in err     # the figures beside CSV go to stderr
    else:
        assert out.count("poll ") == 2
        figures = dict(line.rsplit(None, 1) for line in out.split("statistics\n", 1)[1].splitlines()
                       if len(line.split()) >= 2)
        assert figures["sent"] == "2" and figures["answered"] == "2"


def test_poll_counts_failures_by_kind(slaves):
    code, out, err = run("poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "-s", STATION, "--address", 1000, "-i", 0,
                         "-n", 2, "--output", "json")
    statistics = json_lines(out)[-1]["statistics"]
    assert statistics["exception: illegal data address"] == 2
    assert statistics["answered"] == 2 and statistics["sent"] == 2   # an exception answer is an answer
    assert code == 0
    assert err.count("illegal data address") == 2


@pytest.mark.parametrize("road", ["tcp", "pty"])
def test_poll_of_a_silent_station_fails_with_time_outs(slaves, road):
    code, out, err = run("poll", *target(slaves, road), "-s", 9, "--address", 0, "-i", 0, "-n", 2, "--timeout", 0.1,
                         "--output", "json")
    assert code == 1
    assert json_lines(out)[-1]["statistics"]["time-out"] == 2
    assert err.strip().splitlines()[-1] == "brel-modbus: no answer from station 9 to 2 requests (time-out)"


def test_poll_stops_on_ctrl_c_with_statistics(slaves):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.Popen([str(SCRIPT), "poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "-s", "1", "--address", "0",
                             "-i", "0.02", "--output", "json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], WAIT)
        assert ready, "no poll within the wait"
        first = proc.stdout.readline()
        assert json.loads(first)["poll"] == 1
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=WAIT)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(WAIT)
    assert proc.returncode == 0, err
    lines = [json.loads(first), *json_lines(rest)]
    statistics = lines[-1]["statistics"]
    assert statistics["sent"] == statistics["answered"] >= len(lines) - 1 >= 1


# ---- scan ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("road", ROADS)
def test_scan_finds_the_stations_there(slaves, road):
    code, out, err = run("scan", *target(slaves, road), "--stations", "1-3", "--timeout", 0.1, "--output", "json")
    assert code == 0, err
    document = json.loads(out)
    assert document["stations"] == [{"station": 1, "value": HOLDING[0], "exception": None},
                                    {"station": SPARSE_STATION, "value": SPARSE_HOLDING[0], "exception": None}]
    assert document["tried"] == 3
    assert err == ""   # no progress bar off a terminal


def test_scan_in_table_and_with_another_table(slaves):
    out = ok("scan", *target(slaves, "rtu-tcp"), "--stations", "3,1", "-t", "discrete", "--address", 4,
             "--timeout", 0.1)
    lines = out.splitlines()
    assert lines[0] == "stations that answer: 1 of 2 (discrete 4)"
    assert lines[3].split() == ["1", str(DISCRETE[4]).lower()]


def test_scan_counts_an_exception_answer_as_present(slaves):
    code, out, err = run("scan", *target(slaves, "tcp"), "--stations", "1", "--address", 9999, "--timeout", 0.1,
                         "--output", "csv")
    assert code == 0, err
    assert csv_rows(out) == [{"timestamp": csv_rows(out)[0]["timestamp"], "table": "holding", "address": "9999",
                              "station": "1", "value": "", "exception": "illegal data address"}]


class LoopbackSlave:
    """A scripted Modbus TCP slave on 127.0.0.1: ``answer(unit, pdu)`` gives the PDU of the
    answer, or None for silence. One connection at a time, stopped when the block ends."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.05)
        self.port = self.server.getsockname()[1]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(WAIT)
        self.server.close()

    def answer(self, unit, pdu):
        raise NotImplementedError

    def serve(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.server.accept()
            except TimeoutError:
                continue
            with conn:
                conn.settimeout(0.05)
                while not self.stop.is_set():
                    try:
                        header = conn.recv(7, socket.MSG_WAITALL)
                    except TimeoutError:
                        continue
                    except OSError:
                        break
                    if len(header) < 7:
                        break
                    transaction, _, length, unit = struct.unpack(">HHHB", header)
                    pdu = conn.recv(length - 1, socket.MSG_WAITALL)
                    reply = self.answer(unit, pdu)
                    if reply is not None:
                        conn.sendall(struct.pack(">HHHB", transaction, 0, len(reply) + 1, unit) + reply)


class HalfSilentSlave(LoopbackSlave):
    """Units 1 and 2 answer a read of holding registers with their number; any other unit
    is silent, and ``silence`` is set when one is asked."""

    def __init__(self):
        super().__init__()
        self.silence = threading.Event()

    def answer(self, unit, pdu):
        if unit in (1, 2):
            return struct.pack(">BBH", 3, 2, unit)
        self.silence.set()
        return None


@pytest.mark.parametrize("form", ["json", "csv"])
def test_scan_stopped_by_ctrl_c_shows_the_stations_found(form):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    with HalfSilentSlave() as slave:
        proc = subprocess.Popen([str(SCRIPT), "scan", f"127.0.0.1:{slave.port}", "--stations", "1-20", "-o", "5",
                                 "--output", form], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=env)
        try:
            assert slave.silence.wait(WAIT), "the scan never reached a silent station"
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=WAIT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(WAIT)
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == "brel-modbus: interrupted: 2 of 20 stations tried"
    if form == "json":
        document = json.loads(out)
        assert document["stations"] == [{"station": 1, "value": 1, "exception": None},
                                         {"station": 2, "value": 2, "exception": None}]
        assert document["tried"] == 2 and document["interrupted"] is True
    else:
        assert [(r["station"], r["value"]) for r in csv_rows(out)] == [("1", "1"), ("2", "2")]


def test_scan_with_nobody_there_fails(slaves):
    code, out, err = run("scan", *target(slaves, "tcp"), "--stations", "5-6", "--timeout", 0.1, "--output", "json")
    assert code == 1
    assert json.loads(out)["stations"] == []
    assert one_line(err) == "brel-modbus: no station answered (5-6)"


class RefusingSlave(LoopbackSlave):
    """Answers every request with one exception code."""

    def __init__(self, code):
        super().__init__()
        self.code = code

    def answer(self, unit, pdu):
        return bytes((pdu[0] | 0x80, self.code))


@pytest.mark.parametrize("code, present", [(6, True), (11, False), (10, False)])
def test_scan_of_a_gateway(code, present):
    with RefusingSlave(code) as slave:
        result, out, err = run("scan", f"tcp://127.0.0.1:{slave.port}", "--stations", "1-2", "--output", "json")
    stations = json.loads(out)["stations"]
    if present:   # a busy device is there
        assert result == 0 and [s["exception"] for s in stations] == ["server device busy"] * 2
    else:         # a gateway that says the station behind it is silent
        assert result == 1 and stations == []


# ---- info ----------------------------------------------------------------------------------------------

NAMES = {0: "VendorName", 1: "ProductCode", 2: "MajorMinorRevision", 3: "VendorUrl", 4: "ProductName",
         5: "ModelName", 6: "UserApplicationName"}


@pytest.mark.parametrize("road", ROADS)
def test_info_names_every_object(slaves, road):
    document = json.loads(ok("info", *target(slaves, road), "-s", STATION, "--output", "json"))
    objects = {int(o["id"], 16): (o["name"], o["value"]) for o in document["objects"]}
    # what the device holds, read through the library (pymodbus shares identity objects between
    # the servers of one process, so other tests' objects may be there too)
    with tcp_master(slaves) as master:
        held = master.read_device_identification(3)
    assert IDENTITY.items() <= {i: v.decode() for i, v in held.items()}.items()
    assert objects == {i: (NAMES[i] if i < 0x80 else f"private 0x{i:02X}", v.decode()) for i, v in held.items()}


@pytest.mark.parametrize("form", ["table", "csv"])
def test_info_for_people_and_spreadsheets(slaves, form):
    out = ok("info", *target(slaves, "tcp"), "-s", STATION, "--output", form)
    if form == "csv":
        assert [(r["id"], r["name"], r["value"]) for r in csv_rows(out)][:2] == [
            ("0x00", "VendorName", IDENTITY[0]), ("0x01", "ProductCode", IDENTITY[1])]
    else:
        assert out.splitlines()[0] == "station 1 identification"
        assert "VendorUrl" in out and IDENTITY[3] in out


SERVER_ID = "-".join(IDENTITY[k] for k in (0, 1, 2)) + "\\xff"   # pymodbus's report, as the command shows it


@pytest.mark.parametrize("road", ROADS)
def test_info_shows_the_server_id(slaves, road):
    document = json.loads(ok("info", *target(slaves, road), "-s", STATION, "--output", "json"))
    assert document["server_id"] == SERVER_ID
    table = ok("info", *target(slaves, road), "-s", STATION)
    assert table.splitlines()[:2] == ["station 1 identification", f"server id (function 17): {SERVER_ID}"]


class IdentitySlave(LoopbackSlave):
    """Answers function 17 with `server_id` (or refuses it when None), 43/14 with one
    object (or refuses it when `objects` is false), and refuses everything else."""

    def __init__(self, server_id, objects):
        super().__init__()
        self.server_id, self.objects = server_id, objects

    def answer(self, unit, pdu):
        if pdu[0] == 17 and self.server_id is not None:
            return bytes((17, len(self.server_id))) + self.server_id
        if pdu[0] == 43 and self.objects:
            return bytes((43, 14, pdu[2], 0x01, 0, 0, 1, 0, 3)) + b"ACME"[:3]
        return bytes((pdu[0] | 0x80, 1))


@pytest.mark.parametrize("server_id, objects, shown, rows", [
    (b"\x2A\xFFM-7", False, "*\\xffM-7", []),                    # no identification: the id alone
    (None, True, None, [("0x00", "VendorName", "ACM")]),           # no id: the identification alone
    (b"\x2A\xFF", True, "*\\xff", [("0x00", "VendorName", "ACM")]),
])
def test_info_of_a_device_that_serves_one_of_the_two(server_id, objects, shown, rows):
    with IdentitySlave(server_id, objects) as slave:
        out = ok("info", f"tcp://127.0.0.1:{slave.port}", "-s", 1, "--output", "json")
    document = json.loads(out)
    assert document["server_id"] == shown
    assert [(o["id"], o["name"], o["value"]) for o in document["objects"]] == rows


def test_info_of_a_device_that_refuses():
    with RefusingSlave(1) as slave:
        code, out, err = run("info", f"tcp://127.0.0.1:{slave.port}", "-s", 1)
    assert code == 1 and out == ""
    assert one_line(err) == "brel-modbus: no identification: station 1 refuses function 43/14 (illegal function)"


# ---- failures ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("road", ROADS)
def test_an_exception_answer_is_named(slaves, road):
    code, out, err = run("read", *target(slaves, road), "-s", STATION, "--address", 1000, "-c", 2)
    assert code == 1 and out == ""
    assert one_line(err) == ("brel-modbus: exception: station 1 answered function 3 with exception 2 "
                             "(illegal data address)")


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("command", [["read", "--address", 0], ["write", "--address", 480, "1"], ["info"]])
def test_a_silent_station_times_out(slaves, road, command):
    code, out, err = run(command[0], *target(slaves, road), "-s", 9, "--timeout", 0.1, *command[1:])
    assert code == 1 and out == ""
    assert one_line(err) == "brel-modbus: time-out: station 9 did not answer within 0.1 s"


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]


@pytest.mark.parametrize("where, says", [
    (lambda: f"tcp://127.0.0.1:{free_port()}", "connection: cannot connect to tcp://127.0.0.1:"),
    (lambda: "/dev/brel-no-such-port", "connection: cannot open /dev/brel-no-such-port (19200 baud, 8E1): "),
    (lambda: f"socket://127.0.0.1:{free_port()}", "connection: cannot open socket://127.0.0.1:"),
])
@pytest.mark.parametrize("command", [["read", "-s", 1, "--address", 0], ["scan", "--stations", "1"]])
def test_an_unreachable_target_fails_in_one_line(where, says, command):
    code, out, err = run(command[0], where(), *command[1:])
    assert code == 1 and out == ""
    assert one_line(err).startswith("brel-modbus: " + says)


TCP = "tcp://127.0.0.1:1"


@pytest.mark.parametrize("args, says", [
    ([], "the following arguments are required: COMMAND"),
    (["read"], "the following arguments are required: TARGET"),
    (["read", TCP, "-s", 1, "-a", 0], "the station is given twice (-s 1, -a 0): -a is the station"),
    (["read", TCP, "-s", 1], "--address or --reference is required"),
    (["read", TCP, "-s", 0, "--address", 0], "station 0 is the broadcast address"),
    (["read", TCP, "-s", 1, "--address", 70000], "argument --address: must be from 0 to 65535: 70000"),
    (["read", TCP, "-s", 1, "--address", 0, "-t", "flags"], "argument --table/-t: invalid choice: 'flags'"),
    (["read", TCP, "-s", 1, "--address", 0, "-c", 126], "at most 125 registers in one read, asked for 126"),
    (["read", TCP, "-s", 1, "--address", 65535, "-c", 2], "2 from address 65535 run past address 65535"),
    (["read", TCP, "-s", 1, "--address", 0, "-f", "2x"], "format: unknown code"),
    (["read", TCP, "-s", 1, "--address", 0, "-f", "64d"], "at most 125"),
    (["read", TCP, "-s", 1, "--address", 0, "--order", "CDAB"], "--order needs --format"),
    (["read", TCP, "-s", 1, "--address", 0, "-t", "coil", "-f", "H"], "--format and --order apply to registers"),
    (["read", TCP, "-s", 1, "--address", 0, "--timeout", 0],
     "argument --timeout/-o: must be a number of seconds above 0"),
    (["read", "my_plc:502", "-s", 1, "--address", 0], "'my_plc:502' is neither a serial port, a URL nor a host"),
    (["read", "tcp://host:99999", "-s", 1, "--address", 0], "bad Modbus TCP target"),
    (["read", TCP, "-s", 1, "--address", 0, "--parity", "X"], "argument --parity/-P: invalid choice: 'X'"),
    (["write", TCP, "-s", 1, "--address", 0], "the following arguments are required: VALUE"),
    (["write", TCP, "-s", 1, "--address", 0, "70000"], "register value out of range -32768 to 65535: 70000"),
    (["write", TCP, "-s", 1, "--address", 0, "-t", "coil", "maybe"], "'maybe' is not a coil value"),
    (["write", TCP, "-s", 1, "--address", 0, "-f", "2H", "1"], "the format '2H' takes 2 values, got 1"),
    (["write", TCP, "-s", 1, "--address", 0, "-f", "H", "70000"], "values[0] for 'H' is outside 0..65535"),
    (["write", TCP, "-s", 1, "--address", 0, *["1"] * 124], "at most 123 registers in one write, got 124"),
    (["write", TCP, "-r", 30001, "1"], "reference 30001 is input register 0; this command takes holding, coil"),
    (["read", TCP, "-t", "holding", "-r", 10001], "reference 10001 is discrete input 0 in datasheet numbering"),
    (["read", TCP, "-r", 40000], "argument --reference/-r: reference 40000: datasheet numbers of holding registers"),
    (["poll", TCP, "-s", 1, "--address", 0, "--interval=-1"], "argument --interval/-i: must be a number of seconds"),
    (["poll", TCP, "-s", 1, "--points", "p.toml"], "--points names its own stations"),
    (["scan", TCP, "--stations", "0-3"], "stations must be from 1 to 255 (0 is the broadcast address)"),
    (["info", TCP, "-o", "json"], "(-o is the time-out, as in mbpoll: the output form is --output json)"),
    (["info", TCP, "-s", 0], "argument --station/-a/-s: must be from 1 to 255: 0"),
])
def test_bad_arguments_exit_2_with_a_clear_message(args, says):
    code, out, err = run(*args)
    assert code == 2 and out == ""
    assert err.startswith("usage: brel-modbus")
    last = err.strip().splitlines()[-1]
    assert last.startswith("brel-modbus") and ": error: " in last and says in last


# ---- help, points, imports -------------------------------------------------------------------------------

@pytest.mark.parametrize("entry", ENTRIES)
def test_help_tells_commands_targets_and_exit_codes(entry):
    out = ok("--help", entry=entry)
    for word in ("read", "write", "poll", "scan", "info", "tcp://host[:port]", "socket://host:port",
                 "exit status", "2  bad arguments"):
        assert word in out
    read_help = " ".join(ok("read", "--help", entry=entry).split())   # as one line, whatever the wrapping
    assert "default E, even: the Modbus serial line's default" in read_help
    assert "--baud" in read_help and "--broadcast-delay" in read_help and "--rs485" in read_help


def test_version():
    assert ok("--version").split() == ["brel-modbus", metadata.version("brel_modbus")]


@pytest.mark.skipif(hasattr(brel_modbus, "Poller"), reason="this build has a Poller")
def test_points_without_a_poller_says_so(tmp_path, slaves):
    points = tmp_path / "points.csv"
    points.write_text("name,station,table,address\nlevel,1,holding,0\n")
    code, out, err = run("poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--points", points)
    assert code == 2 and out == ""
    assert err.strip().splitlines()[-1].endswith("this build has no Poller: --points needs a brel_modbus with "
                                                 "brel_modbus.Poller")


@pytest.mark.skipif(not hasattr(brel_modbus, "Poller"), reason="this build has no Poller")
@pytest.mark.parametrize("road", ROADS)
def test_points_through_the_poller(tmp_path, slaves, road):
    registers = ModbusStatic.encode_values("f", [230.5], "CDAB")
    slaves.set_holding(490, registers)
    points = tmp_path / "points.toml"
    points.write_text(textwrap.dedent("""\
        [[point]]
        name = "voltage"
        station = 1
        table = "holding"
        address = 490
        format = "f"
        order = "CDAB"
        period = 0.05

        [[point]]
        name = "first input"
        station = 1
        table = "input"
        address = 0

        [[point]]
        name = "coil 1"
        station = 1
        table = "coil"
        address = 1
        period = 0.05
        """))
    out = ok("poll", *target(slaves, road), "--points", points, "--rounds", 2, "--output", "json")
    passes = json_lines(out)[:-1]
    assert len(passes) == 2
    first = {row["name"]: row["value"] for row in passes[0]["values"]}
    assert first == {"voltage": 230.5, "first input": INPUT[0], "coil 1": COILS[1]}
    assert json_lines(out)[-1]["statistics"]["values"] >= 3


def test_the_library_does_not_import_the_command_s_libraries():
    code = ("import sys, brel_modbus, brel_linkkit; "
            "loaded = sorted(m for m in sys.modules if m.split('.')[0] in ('rich', 'brel_modbus_tool', 'tomllib')); "
            "print(loaded)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=WAIT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("library", ["rich", "tomli"])
def test_without_the_command_s_libraries_one_line_says_what_to_install(tmp_path, entry, library):
    if library == "tomli" and sys.version_info >= (3, 11):
        pytest.skip("the command reads TOML with tomllib from 3.11 on")
    # a module of that name that fails as a missing one does, found before site-packages
    (tmp_path / f"{library}.py").write_text(
        f"raise ModuleNotFoundError(\"No module named '{library}'\", name='{library}')\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    proc = subprocess.run([*ENTRIES[entry], "read", "tcp://127.0.0.1:1", "-a", "1"], capture_output=True,
                          text=True, timeout=WAIT, env=env, cwd=tmp_path)
    assert proc.returncode == 3
    assert proc.stdout == ""
    assert proc.stderr == (f"brel-modbus: the command needs {library}, which is not installed: "
                           "pip install 'brel_modbus[cli]'\n")


def test_the_library_requires_pyserial_alone_and_the_command_s_libraries_come_with_cli():
    requires = metadata.requires("brel_modbus") or []
    always = [r for r in requires if "extra ==" not in r]
    with_cli = sorted(r.split(";")[0].split(">")[0].strip() for r in requires if 'extra == "cli"' in r)
    assert [r.split(">")[0] for r in always] == ["pyserial"], requires
    assert with_cli == ["rich", "tomli"], requires
    assert not [r for r in requires if "==" in r.split(";")[0]], requires   # no published pins


def test_shipped_with_types():
    spec = importlib.util.find_spec("brel_modbus_tool")
    folder = Path(spec.origin).parent
    assert (folder / "py.typed").exists() and (folder / "cli.py").exists()
