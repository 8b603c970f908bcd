"""The parts of the brel-modbus command on their own: formats and values, targets, points
files, statistics, and the code that feeds a Poller (with a stand-in Poller: the real one
is exercised in test_cli.py when the build has it)."""

from __future__ import annotations

import io
import json
import random
import re
import textwrap

import pytest

import brel_modbus
from brel_linkkit import SerialEchoError
from brel_modbus import ModbusStatic, SlaveException
from brel_modbus_tool import cli
from brel_modbus_tool.codec import (ArgumentProblem, error_kind, parse_bit, parse_format, parse_register,
                                    parse_values, shown)
from brel_modbus_tool.points import NoPoller, Point, PointsProblem, load_points, make_poller, parse_csv, parse_toml
from brel_modbus_tool.output import Duration, Writer
from brel_modbus_tool.reference import datasheet_hint, parse_reference
from brel_modbus_tool.stats import PollStats, percentile
from brel_modbus_tool.target import LineSettings, Link, Target, open_link, parse_target
from simulator import SimulatedSlaves

# ---- formats and values --------------------------------------------------------------------------------

FORMATS = ["H", "h 2H", "f I 4s", "q d", "e H i", "3s 1s f", "2f h 8s Q", "10s"]


@pytest.mark.parametrize("order", ["ABCD", "CDAB", "BADC", "DCBA"])
@pytest.mark.parametrize("format", FORMATS)
def test_each_field_decodes_alone_as_in_the_whole(format, order):
    try:
        layout = parse_format(format, order)
    except ArgumentProblem as exc:   # the library refuses a string that splits a register under word swaps
        assert order in ("CDAB", "DCBA") and "does not start on a register" in str(exc)
        return
    rng = random.Random(format + order)
    registers = [rng.randrange(0x10000) for _ in range(layout.registers)]
    whole = ModbusStatic.decode_values(registers, format, order)
    assert len(whole) == len(layout.fields)
    for field, value in zip(layout.fields, whole, strict=True):
        if field.code == "s" or field.offset % 2:
            continue   # strings and values inside a register decode only in their context
        alone = ModbusStatic.decode_values(registers[layout.words(field)], field.code, order)
        assert alone == [value] or (value != value and alone[0] != alone[0])   # NaN is not equal to itself


@pytest.mark.parametrize("format, repeat", [("f", 3), ("H 2s", 2), ("q", 1)])
def test_a_repeated_format_takes_as_many_registers_as_the_library_says(format, repeat):
    layout = parse_format(format, "ABCD", repeat)
    values = ModbusStatic.decode_values([0] * layout.registers, layout.format)
    assert len(values) == len(layout.fields)
    with pytest.raises(ValueError):
        ModbusStatic.decode_values([0] * (layout.registers - 1), layout.format)


@pytest.mark.parametrize("format, order, says", [
    ("", "ABCD", "no value"), ("  ", "ABCD", "no value"), ("H x", "ABCD", "unknown code 'x'"),
    ("3s", "ABCD", "whole number of registers"), ("H", "WXYZ", "order must be one of"),
    ("1s i 1s", "DCBA", "does not start on a register"),
])
def test_refused_formats(format, order, says):
    with pytest.raises(ArgumentProblem, match=says):
        parse_format(format, order)


@pytest.mark.parametrize("format, texts, expected", [
    ("H h", ["0x1F", "-3"], [31, -3]),
    ("f d e", ["1.5", "-2e3", "inf"], [1.5, -2000.0, float("inf")]),
    ("i 6s", ["-100000", "ABC"], [-100000, b"ABC"]),
    ("Q", ["0b101"], [5]),
])
def test_values_are_parsed_by_their_field(format, texts, expected):
    values = parse_values(parse_format(format), texts)
    assert values == expected
    # what was parsed is what the library writes and reads back
    registers = ModbusStatic.encode_values(format, values)
    decoded = ModbusStatic.decode_values(registers, format)
    assert [shown(v) for v in decoded] == [shown(v) for v in expected]


@pytest.mark.parametrize("format, texts, says", [
    ("H", ["1", "2"], "takes 1 values, got 2"), ("H", ["65536"], "outside 0..65535"),
    ("h", ["1.5"], "is not an integer"), ("f", ["abc"], "is not a number"), ("4s", ["é"], "not ASCII"),
    ("4s", ["TOO LONG"], r"values\[0\] is 8 bytes, longer than '4s'"),
])
def test_values_that_do_not_fit(format, texts, says):
    with pytest.raises(ArgumentProblem, match=says):
        parse_values(parse_format(format), texts)


@pytest.mark.parametrize("text, register", [("0", 0), ("65535", 0xFFFF), ("-1", 0xFFFF), ("-32768", 0x8000),
                                            ("0x7FFF", 0x7FFF), ("1_000", 1000)])
def test_register_values(text, register):
    assert parse_register(text) == register


@pytest.mark.parametrize("text", ["65536", "-32769", "1.0", "", "one"])
def test_register_values_refused(text):
    with pytest.raises(ArgumentProblem):
        parse_register(text)


@pytest.mark.parametrize("text, bit", [("1", True), ("ON", True), ("True", True), (" on ", True),
                                       ("0", False), ("off", False), ("FALSE", False)])
def test_coil_values(text, bit):
    assert parse_bit(text) is bit


@pytest.mark.parametrize("text", ["2", "yes", "", "o"])
def test_coil_values_refused(text):
    with pytest.raises(ArgumentProblem, match="not a coil value"):
        parse_bit(text)


@pytest.mark.parametrize("value, text", [(b"AB\0\0", "AB"), (b"\x01\\", "\\x01\\x5c"), (b"a\0b", "a\\x00b"),
                                         (float("nan"), "nan"), (float("-inf"), "-inf"), (7, 7), (True, True)])
def test_values_as_shown(value, text):
    assert shown(value) == text


@pytest.mark.parametrize("exc, kind", [
    (SlaveException(1, 3, 2), "exception: illegal data address"),
    (SlaveException(1, 3, 11), "exception: gateway target device failed to respond"),
    (brel_modbus.TCPSlaveException(1, 3, 99), "exception: exception code 99"),
    (brel_modbus.ModbusTimeoutError("modbus: read from slave timeout"), "time-out"),
    (TimeoutError("timed out"), "time-out"),
    (brel_modbus.FrameError("modbus: message from slave with station 1 has crc error"), "crc"),
    (brel_modbus.MismatchError("modbus: answer from slave with station 1 does not match the request"), "mismatch"),
    (brel_modbus.MismatchError("Data length not match with needed"), "mismatch"),
    (brel_modbus.MismatchError("Received data header invalid from ('127.0.0.1', 502)"), "mismatch"),
    (SerialEchoError("serial echo: expected 01 03, got nothing within the time-out"), "echo"),
    (brel_modbus.MasterClosedError(9, "Bad file descriptor"), "closed"),
    (ConnectionResetError(104, "Connection reset by peer"), "connection"),
    (brel_modbus.ConnectionClosedError("Connection closed by ('127.0.0.1', 502)"), "connection"),
    # the class tells, not the text: a built-in error with a library text is no Modbus failure kind
    (ValueError("modbus: message from slave with station 1 has crc error"), "error"),
    (OSError("modbus: read from slave timeout"), "connection"),
    (RuntimeError("?"), "error"),
])
def test_failures_by_kind(exc, kind):
    assert error_kind(exc) == kind


# ---- targets -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, target, shown_as", [
    ("tcp://plc.local", Target(True, "plc.local", 502), "tcp://plc.local:502"),
    ("tcp://10.0.0.5:1502", Target(True, "10.0.0.5", 1502), "tcp://10.0.0.5:1502"),
    ("TCP://[::1]:5020/", Target(True, "::1", 5020), "tcp://[::1]:5020"),
    ("/dev/ttyUSB0", Target(False, "/dev/ttyUSB0"), "/dev/ttyUSB0"),
    ("COM12", Target(False, "COM12"), "COM12"),
    ("socket://gw:4001", Target(False, "socket://gw:4001"), "socket://gw:4001"),
    ("rfc2217://gw:2217", Target(False, "rfc2217://gw:2217"), "rfc2217://gw:2217"),
    ("loop://", Target(False, "loop://"), "loop://"),
    # a host name or an IP address without tcp:// is Modbus TCP too
    ("localhost", Target(True, "localhost", 502), "tcp://localhost:502"),
    ("localhost:5020", Target(True, "localhost", 5020), "tcp://localhost:5020"),
    ("127.0.0.1", Target(True, "127.0.0.1", 502), "tcp://127.0.0.1:502"),
    ("127.0.0.1:1502", Target(True, "127.0.0.1", 1502), "tcp://127.0.0.1:1502"),
    ("::1", Target(True, "::1", 502), "tcp://[::1]:502"),
    ("[::1]:5020", Target(True, "::1", 5020), "tcp://[::1]:5020"),
    ("com3", Target(False, "com3"), "com3"),   # a COM name is a serial port, though written like a host
    ("tls://plc.local", Target(True, "plc.local", 802, "tls"), "tls://plc.local:802"),
    ("TLS://[::1]:8020", Target(True, "::1", 8020, "tls"), "tls://[::1]:8020"),
    ("udp://gw", Target(True, "gw", 502, "udp"), "udp://gw:502"),
    ("udp://10.0.0.5:1502", Target(True, "10.0.0.5", 1502, "udp"), "udp://10.0.0.5:1502"),
    ("rtu+tcp://gw:4001", Target(False, "rtu+tcp://gw:4001"), "rtu+tcp://gw:4001"),
])
def test_targets(text, target, shown_as):
    assert parse_target(text) == target
    assert str(target) == shown_as


@pytest.mark.parametrize("text, says", [
    ("", "empty"), ("tcp://", "bad Modbus TCP target"), ("tcp://h:70000", "bad Modbus TCP target"),
    ("tcp://h:x", "bad Modbus TCP target"), ("tcp://h/path", "write tcp://host"), ("tcp://h:0", "port 0"),
    ("plc_1:502", "neither a serial port, a URL nor a host: write tcp://host:port"),
    ("localhost:0", "the port must be from 1 to 65535"), ("127.0.0.1:65536", "the port must be from 1 to 65535"),
    ("[::1]:", "the port must be from 1 to 65535"),
    ("tls://", "bad Modbus/TCP Security target"), ("udp://h:0", "port 0"), ("udp://h/x", "write udp://host"),
])
def test_targets_refused(text, says):
    with pytest.raises(ArgumentProblem, match=re.escape(says)):
        parse_target(text)


def test_an_existing_file_named_like_a_host_is_the_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert parse_target("localhost").tcp
    (tmp_path / "localhost").write_text("")
    assert parse_target("localhost") == Target(False, "localhost")
    assert parse_target("tcp://localhost") == Target(True, "localhost", 502)   # the host, said so


def test_line_settings_reach_the_channel_only_when_asked():
    assert LineSettings().keywords() == {"parity": "E", "stopbits": 1, "bytesize": 8}
    settings = LineSettings(parity="N", stopbits=2, echo=True, rs485=True, low_latency=True, broadcast_delay=0.25)
    assert settings.keywords() == {"parity": "N", "stopbits": 2, "bytesize": 8, "echo": True, "rs485": True,
                                   "low_latency": True, "broadcast_delay": 0.25}
    assert settings.shape() == "8N2" and LineSettings(stopbits=1.5).shape() == "8E1.5"


class Recorded:
    """A master whose read_values returns fixed values and leaves a fixed answer in its record."""

    def __init__(self, answer):
        self.last_feedback_received = answer
        self.station = 1
        self.calls = []

    def read_values(self, *args):
        self.calls.append(args)
        return [0.5]


@pytest.mark.parametrize("tcp, answer, registers", [
    (False, bytes.fromhex("01 03 04 3F 00 00 00 AA BB"), [0x3F00, 0x0000]),          # RTU: data, then the CRC
    (True, bytes.fromhex("00 07 00 00 00 07 01 03 04 3F 00 00 00"), [0x3F00, 0x0000]),  # TCP: data at the end
    (False, bytes.fromhex("01 03 02 3F 00 AA BB"), None),                              # not two registers' worth
    (True, b"", None),
])
def test_raw_registers_come_from_the_answer_on_record(tcp, answer, registers):
    link = Link(Target(tcp, "here", 502), Recorded(answer))
    values, raw = link.read_values(1, "input", 10, "f", "ABCD", 2)
    assert values == [0.5] and raw == registers
    assert link.master.calls == [(10, "f", "ABCD", 4) if tcp else (1, 10, "f", "ABCD", 4)]


@pytest.mark.parametrize("text, stations", [("1-3", [1, 2, 3]), ("5", [5]), ("3,1-2,2", [3, 1, 2]),
                                            ("250-255", list(range(250, 256)))])
def test_station_lists(text, stations):
    assert cli.parse_stations(text) == stations


@pytest.mark.parametrize("text, says", [("9-3", "runs backwards"), ("all", "write a list such as 1-247"),
                                         ("0-3", "0 is the broadcast address"), ("250-256", "from 1 to 255")])
def test_station_lists_refused(text, says):
    with pytest.raises(ArgumentProblem, match=says):
        cli.parse_stations(text)


# ---- references ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, table, placed", [
    ("1", None, ("holding", 0)), ("100", "input", ("input", 99)), ("65536", "coil", ("coil", 65535)),
    ("20001", None, ("holding", 20000)),          # 5 digits, but no table starts with 2: counted from 1
    ("40001", None, ("holding", 0)), ("49999", None, ("holding", 9998)), ("400001", None, ("holding", 0)),
    ("465536", None, ("holding", 65535)), ("30001", None, ("input", 0)), ("300010", None, ("input", 9)),
    ("10001", None, ("discrete", 0)), ("00001", None, ("coil", 0)), ("000017", None, ("coil", 16)),
    ("40108", "holding", ("holding", 107)),         # the table given agrees with the number
])
def test_references(text, table, placed):
    assert parse_reference(text).place(table, "holding") == placed


@pytest.mark.parametrize("text, table, says", [
    ("0", None, "reference 0: must be from 1 to 65536"), ("65537", None, "must be from 1 to 65536"),
    ("40000", None, "datasheet numbers of holding registers run from 40001 to 49999"),
    ("400000", None, "run from 400001 to 465536"), ("365537", None, "input registers run from 300001 to 365536"),
    ("00000", None, "coils run from 00001 to 09999"), ("4e4", None, "write a number from 1"),
    ("-1", None, "write a number from 1"), ("", None, "write a number from 1"),
    ("10001", "holding", "reference 10001 is discrete input 0 in datasheet numbering, but --table says holding: "
                         "leave out --table, or write --address 10000 for holding register 10000"),
])
def test_references_refused(text, table, says):
    with pytest.raises(ArgumentProblem, match=re.escape(says)):
        parse_reference(text).place(table, "holding")


@pytest.mark.parametrize("text, table, hint", [
    ("40001", "holding", "hint: 40001 looks like a datasheet reference; try --reference 40001 or --address 0"),
    ("40108", "holding", "try --reference 40108 or --address 107"),
    ("30010", "holding", "try --reference 30010 or --table input --address 9"),
    ("01000", "coil", "try --reference 01000 or --address 999"),
    ("4000", "holding", None), ("20001", "holding", None), ("0x9C41", "holding", None),
    ("40000", "holding", None),   # no datasheet number: nothing to suggest
])
def test_a_datasheet_like_address_gets_a_hint(text, table, hint):
    said = datasheet_hint(text, table)
    assert said == hint if hint is None or hint.startswith("hint:") else hint in said


@pytest.mark.parametrize("argv, expected", [
    (["read", "localhost", "-a", "7", "-r", "5", "-c", "3", "-t", "3", "-b", "9600", "-P", "even", "-o", "0.5"],
     {"station": 7, "count": 3, "table": "input", "baud": 9600, "parity": "E", "timeout": 0.5}),
    (["read", "localhost", "-t", "0", "-P", "none"], {"station": None, "table": "coil", "parity": "N"}),
    (["read", "localhost", "-t", "1", "-P", "Odd"], {"table": "discrete", "parity": "O"}),
    (["read", "localhost", "-t", "4", "-s", "3"], {"table": "holding", "station": 3}),
    (["poll", "localhost", "-l", "250", "-1"], {"interval": 0.25, "rounds": 1}),
    (["poll", "localhost", "-i", "0.5", "-n", "4"], {"interval": 0.5, "rounds": 4}),
    (["scan", "localhost", "-t", "1", "-r", "10005"], {"table": "discrete"}),
    (["info", "localhost", "-a", "9"], {"station": 9}),
])
def test_short_options_mean_what_they_mean_in_mbpoll(argv, expected):
    args = cli.build_parser().parse_args(argv)
    assert {key: getattr(args, key) for key in expected} == expected


@pytest.mark.parametrize("argv, says", [
    (["read", "localhost", "-t", "4:float"], "-t 4:float: the type of the values goes in --format: -t 4 --format f"),
    (["read", "localhost", "-t", "2"], "argument --table/-t: invalid choice: '2'"),
    (["write", "localhost", "-t", "3", "1"], "argument --table/-t: invalid choice: 'input'"),
    (["read", "localhost", "-r", "1", "--address", "0"], "argument --address: not allowed with argument --reference"),
    (["poll", "localhost", "-l", "100", "-i", "1"], "argument --interval/-i: not allowed with argument -l"),
    (["poll", "localhost", "-1", "-n", "3"], "argument --rounds/-n: not allowed with argument -1"),
    (["poll", "localhost", "-l", "soon"], "argument -l: not a number of milliseconds: 'soon'"),
    (["read", "localhost", "-a", "1", "-a", "2"], "the station is given twice (-a 1, -a 2)"),
])
def test_short_options_refused(argv, says, capsys):
    with pytest.raises(SystemExit) as exited:
        cli.build_parser().parse_args(argv)
    assert exited.value.code == 2
    assert says in capsys.readouterr().err


# ---- points files --------------------------------------------------------------------------------------

TOML = textwrap.dedent("""\
    [[point]]
    name = "voltage"
    station = 2
    table = "input"
    address = 0x10
    format = "f"
    order = "cdab"
    period = 0.5

    [[point]]
    name = "run"
    station = 1
    table = "coil"
    address = 7
    period = 2
    """)

CSV = textwrap.dedent("""\
    # a comment line
    name,station,table,address,format,order,period
    voltage,2,input,0x10,f,CDAB,0.5

    run,1,coil,7,,,2
    """)

EXPECTED = [Point("voltage", 2, "input", 16, "f", "CDAB", 0.5), Point("run", 1, "coil", 7, "H", "ABCD", 2.0)]


@pytest.mark.parametrize("suffix, text", [(".toml", TOML), (".csv", CSV), (".CSV", CSV.replace(",period", ",Period"))])
def test_points_files(tmp_path, suffix, text):
    path = tmp_path / f"points{suffix}"
    path.write_text(text, encoding="utf-8")
    assert load_points(str(path)) == EXPECTED


def test_points_take_their_defaults():
    assert parse_csv("name,station,table,address\nlevel,1,holding,3\n") == [Point("level", 1, "holding", 3)]


@pytest.mark.parametrize("row, says", [
    ("x,0,holding,0,,,", "points.csv line 2: station must be from 1 to 255: 0"),
    ("x,1,holding,65536,,,", "address must be from 0 to 65535: 65536"),
    ("x,1,flags,0,,,", "table must be one of holding, input, coil, discrete: 'flags'"),
    ("x,1,holding,0,Z,,", "format: unknown code 'Z'"),
    ("x,1,holding,0,H,XYZW,", "order must be one of ABCD, CDAB, BADC, DCBA"),
    ("x,1,holding,0,,,0", "period must be a positive number of seconds"),
    ("x,1,holding,0,,,soon", "period must be a number of seconds"),
    ("x,1,holding,65535,I,,", "2 registers from address 65535 run past 65535"),
    ("x,1,holding,0,64d,,", "the format takes 256 registers, at most 125 in one read"),
    ("x,1,coil,0,H,,", "format and order apply to registers (holding, input), not to a coil"),
    (",1,holding,0,,,", "missing name"),
    ("x,one,holding,0,,,", "station must be an integer: 'one'"),
    ("x,1,holding,0,,,,extra", "points.csv line 2: 8 cells, the header names 7 columns"),
])
def test_bad_points_in_csv(row, says):
    with pytest.raises(PointsProblem) as caught:
        parse_csv("name,station,table,address,format,order,period\n" + row + "\n")
    assert caught.value.problems == [says] or says in caught.value.problems[0]


def test_every_bad_point_is_reported_with_its_line():
    text = "name,station,table,address\na,1,holding,0\nb,1,holding,-1\na,1,coil,0\nc,300,input,0\n"
    with pytest.raises(PointsProblem) as caught:
        parse_csv(text, "plant.csv")
    assert caught.value.problems == [
        "plant.csv line 3: address must be from 0 to 65535: -1",
        "plant.csv line 4: the name 'a' is taken already (plant.csv line 2)",
        "plant.csv line 5: station must be from 1 to 255: 300",
    ]


@pytest.mark.parametrize("text, says", [
    ("[[point]]\nname = 'a'\nstation = 1\ntable = 'holding'\naddress = true\n",
     "points.toml, point 1 ('a'): address must be an integer: True"),
    ("[[point]]\nname = 'a'\nstation = 1\ntable = 'holding'\naddress = 0\nperiod = 'fast'\n",
     "period must be a number of seconds"),
    ("[[point]]\nname = 'a'\nstation = 1\ntable = 'holding'\naddress = 0\nadress = 1\n", "unknown field adress"),
    ("[[point]]\nname = 'a'\ntable = 'holding'\n", "missing station, address"),
    ("[[point]]\nname = 7\nstation = 1\ntable = 'holding'\naddress = 0\n", "name must be text: 7"),
    ("[points]\n", "unknown key points: write one [[point]] table per point"),
    ("point = 3\n", "'point' must be an array of tables"),
    ("[[point]\n", "not TOML"),
    ("", "no point in the file"),
    ("[[point]]\nname = 'a'\nstation = 1\ntable = 'holding'\naddress = 0\nperiod = 1" + "0" * 400 + "\n",
     "point 1 ('a'): period is too large to be a number of seconds"),
    ("[[point]]\nname = 'a'\nstation = 1" + "0" * 5000 + "\ntable = 'holding'\naddress = 0\n",
     "not TOML: Exceeds the limit (4300"),   # the text goes on differently on 3.10
])
def test_bad_points_in_toml(text, says):
    with pytest.raises(PointsProblem) as caught:
        parse_toml(text)
    assert says in str(caught.value)


@pytest.mark.parametrize("name, text, says", [
    ("points.txt", "", "a points file ends in .toml or .csv"),
    ("missing.csv", None, "cannot read"),
    ("header.csv", "name,station,table\n", "the header must name the columns name, station, table, address"),
    ("twice.csv", "name,name,station,table,address\n", "each once"),
    ("empty.csv", "\n\n", "empty: the first row must name the columns"),
])
def test_unusable_points_files(tmp_path, name, text, says):
    path = tmp_path / name
    if text is not None:
        path.write_text(text)
    with pytest.raises(PointsProblem, match=says):
        load_points(str(path))


# ---- feeding a Poller ----------------------------------------------------------------------------------

class StandInPoller:
    """Takes what the command gives a brel_modbus.Poller and hands back passes made ahead."""

    made: list[StandInPoller] = []
    passes: list[dict[str, object]] = []

    def __init__(self, master, max_gap=16):
        self.master = master
        self.max_gap = max_gap
        self.added: list[tuple[tuple[object, ...], dict[str, object]]] = []
        StandInPoller.made.append(self)

    def add(self, *args, **kwargs):
        if args[0] == "refused":
            raise ValueError("Poller.add: station 0 is the broadcast address, which no slave answers")
        self.added.append((args, kwargs))

    def run(self, duration=None):
        assert duration is None
        yield from self.passes

    @property
    def stats(self):
        return {2: {"requests": len(self.passes), "answers": len(self.passes) - 1, "timeouts": 1, "rtt_p50": 0.002}}


@pytest.fixture
def stand_in(monkeypatch):
    monkeypatch.setattr(brel_modbus, "Poller", StandInPoller, raising=False)
    StandInPoller.made = []
    return StandInPoller


def test_points_go_to_the_poller_as_its_add_takes_them(stand_in):
    master = object()
    poller = make_poller(master, EXPECTED)
    assert poller.master is master and poller.max_gap == 16
    assert poller.added == [(("voltage", 2, "input", 16, "f", "CDAB", 0.5), {}),
                            (("run", 1, "coil", 7), {"period": 2.0})]   # a bit has no format


def test_a_point_the_poller_refuses_is_a_points_problem(stand_in):
    with pytest.raises(PointsProblem, match="point 'refused': Poller.add: station 0"):
        make_poller(object(), [Point("refused", 1, "holding", 0)])


def test_without_a_poller_the_points_say_so(monkeypatch):
    monkeypatch.delattr(brel_modbus, "Poller", raising=False)
    with pytest.raises(NoPoller, match="this build has no Poller"):
        make_poller(object(), EXPECTED)


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


@pytest.mark.parametrize("road", ["tcp", "rtu-tcp"])
def test_poll_points_through_a_poller(stand_in, slaves, tmp_path, capsys, road):
    points = tmp_path / "points.csv"
    points.write_text("name,station,table,address,format\nflow,2,holding,4,2H\nrun,2,coil,3,\n")
    stand_in.passes = [{"flow": [1, 2], "run": True}, {"flow": SlaveException(2, 3, 2), "run": TimeoutError()},
                       {"flow": [3, 4]}]
    where = f"tcp://127.0.0.1:{slaves.tcp_port}" if road == "tcp" else slaves.rtu_url
    code = cli.main(["poll", where, "--points", str(points), "--rounds", "2", "--output", "json"])
    out, err = capsys.readouterr()
    assert code == 0, err
    poller = stand_in.made[-1]
    assert type(poller.master) is (brel_modbus.ModbusTCPMaster if road == "tcp" else brel_modbus.Master)
    if road == "tcp":
        assert poller.master.station == 2   # the unit identifier the points name
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line["pass"] for line in lines[:-1]] == [1, 2]   # --rounds stops the passes
    first, second = ({row["name"]: (row["value"], row["error"]) for row in line["values"]} for line in lines[:2])
    assert first == {"flow": ("1 2", None), "run": (True, None)}
    assert second == {"flow": (None, "exception 2 (illegal data address)"), "run": (None, "time-out")}
    statistics = lines[-1]["statistics"]
    assert statistics["passes"] == 2 and statistics["values"] == 2
    assert statistics["exception: illegal data address"] == 1 and statistics["time-out"] == 1
    assert statistics["station 2 timeouts"] == 1 and statistics["station 2 rtt_p50_s"] == 0.002


def test_poll_points_times_in_a_table_are_milliseconds(stand_in, slaves, tmp_path, capsys):
    points = tmp_path / "points.csv"
    points.write_text("name,station,table,address\nflow,2,holding,4\n")
    stand_in.passes = [{"flow": 7}]
    code = cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--points", str(points)])
    out, err = capsys.readouterr()
    assert code == 0, err
    figures = dict(line.rsplit(None, 1) for line in out.split("statistics\n", 1)[1].splitlines()
                   if len(line.split()) >= 2)
    assert figures["station 2 rtt_p50 ms"] == "2.0"   # the poller's 0.002 s
    assert "station 2 rtt_p50" not in figures and "station 2 timeouts" in figures


def test_poll_points_with_no_value_fails(stand_in, slaves, tmp_path, capsys):
    points = tmp_path / "points.toml"
    points.write_text("[[point]]\nname = 'p'\nstation = 1\ntable = 'input'\naddress = 0\n")
    stand_in.passes = [{"p": TimeoutError()}]
    code = cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--points", str(points), "--output", "csv"])
    out, err = capsys.readouterr()
    assert code == 1
    assert out.splitlines()[1].endswith(",p,1,input,0,,time-out")
    assert err.splitlines()[-1] == "brel-modbus: no value read in 1 passes"


def test_points_with_a_huge_period_exit_2_with_a_message(tmp_path, capsys):
    points = tmp_path / "points.toml"
    points.write_text("[[point]]\nname = 'p'\nstation = 1\ntable = 'input'\naddress = 0\nperiod = 1" + "0" * 400)
    with pytest.raises(SystemExit) as exited:
        cli.main(["poll", "tcp://127.0.0.1:9", "--points", str(points)])
    assert exited.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith("period is too large to be a number of seconds")


def test_points_of_several_stations_need_a_serial_target(stand_in, slaves, tmp_path, capsys):
    points = tmp_path / "points.csv"
    points.write_text("name,station,table,address\na,1,holding,0\nb,2,holding,0\n")
    with pytest.raises(SystemExit) as exited:
        cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--points", str(points)])
    assert exited.value.code == 2
    assert "over Modbus TCP the points must name one station (unit identifier), not 1, 2" in capsys.readouterr().err
    assert stand_in.made == []   # refused before anything was opened


def test_connection_settings_reach_the_master(slaves):
    with open_link(Target(True, "127.0.0.1", slaves.tcp_port), 0.7, retries=3, station=5) as link:
        assert (link.master.retries, link.master.station, link.master.timeout) == (3, 5, 0.7)
    line = LineSettings(baudrate=9600, parity="O", stopbits=2, bytesize=7, broadcast_delay=0.3)
    with open_link(Target(False, slaves.rtu_url), 0.4, retries=1, line=line) as link:
        port = link.master.serial.port
        assert (port.baudrate, port.parity, port.stopbits, port.bytesize) == (9600, "O", 2, 7)
        assert link.master.serial.broadcast_delay == 0.3 and link.master.retries == 1


# ---- statistics ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("samples, p, expected", [
    ([], 50, None), ([4.0], 99, 4.0), (list(range(1, 101)), 50, 50), (list(range(1, 101)), 99, 99),
    ([5, 1, 3], 50, 3), ([5, 1, 3], 99, 5), ([2, 1], 50, 1),
])
def test_percentiles_by_nearest_rank(samples, p, expected):
    assert percentile([float(s) for s in samples], p) == expected


@pytest.mark.parametrize("form, name, value", [("table", "rtt_p50 ms", "1.5"), ("csv", "rtt_p50_s", "0.0015"),
                                               ("json", "rtt_p50_s", 0.0015)])
def test_a_time_is_named_with_its_unit(form, name, value, capsys):
    out = io.StringIO()
    err = io.StringIO()
    writer = Writer(form, out)
    writer.block("poll", {"poll": 1, Duration("round_trip"): 0.0025}, ["address", Duration("waited")],
                 [{"address": 0, Duration("waited"): 0.5}])
    writer.summary("statistics", {"sent": 1, Duration("rtt_p50"): 0.0015, Duration("rtt_p99"): None}, "statistics",
                   err)
    text = out.getvalue()
    if form == "json":
        block, summary = (json.loads(line) for line in text.splitlines())
        assert block["round_trip_s"] == 0.0025 and block["values"] == [{"address": 0, "waited_s": 0.5}]
        assert summary["statistics"] == {"sent": 1, name: value, "rtt_p99_s": None}
    elif form == "csv":
        assert text.splitlines() == ["poll,round_trip_s,address,waited_s", "1,0.0025,0,0.5"]
        assert err.getvalue() == f"statistics: sent 1, {name} {value}, rtt_p99_s \n"
    else:
        lines = text.split("statistics\n")[1].splitlines()
        figures = {line.rsplit(None, 1)[0]: line.rsplit(None, 1)[1] for line in lines if len(line.split()) > 2}
        assert figures == {name: value}
        assert "waited ms" in text and "500.0" in text


def test_poll_statistics_count_exception_answers_as_answers():
    stats = PollStats()
    stats.answer(0.001)
    stats.failure("time-out", 1.0)
    stats.failure("exception: illegal data address", 0.003)
    figures = stats.figures()
    assert (figures["sent"], figures["answered"], figures["errors"]) == (3, 2, 2)
    assert figures["time-out"] == 1 and figures["exception: illegal data address"] == 1
    assert figures["rtt_p50"] == 0.001 and figures["rtt_p99"] == 0.003   # time-outs have no round trip
