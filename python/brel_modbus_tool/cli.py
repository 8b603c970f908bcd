"""brel-modbus: read, write, poll, scan and identify Modbus devices from a shell.

Exit status: 0 on success, 1 on a Modbus failure (time-out, exception answer, CRC error,
mismatched answer, connection), with a one-line reason on standard error, 2 for bad
arguments (argparse's convention); 3 when the command's libraries are missing (start.py).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import textwrap
import time
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from importlib import metadata
from typing import Any

import brel_modbus
from brel_modbus import ModbusError, ModbusStatic, SlaveException

from brel_modbus_tool.codec import (BIT_TABLES, GATEWAY_NO_ANSWER, MAX_READ_BITS, MAX_READ_REGISTERS,
                                    MAX_WRITE_BITS, MAX_WRITE_REGISTERS, ORDERS, TABLES,
                                    ArgumentProblem, Layout, error_kind, exception_name, failure_reason, parse_bit,
                                    parse_format, parse_register, parse_values, raw_hex, short_reason, shown,
                                    text_of)
from brel_modbus_tool.arguments import (TYPE_NUMBERS, Address, address_number, ranged, reference_number, seconds,
                                        table_name)
from brel_modbus_tool.connection import TARGETS, add_connection, connect
from brel_modbus_tool.output import Cell, Duration, Row, Writer, console_for, timestamp
from brel_modbus_tool.points import Point, explain_rows, load_learned, load_points, make_poller, save_learned
from brel_modbus_tool.reference import Reference, datasheet_hint, what
from brel_modbus_tool.stats import PollStats
from brel_modbus_tool.target import Link, OpenFailure, Target, parse_target

PROG = "brel-modbus"

EPILOG = TARGETS + """\
exit status:
  0  success
  1  a Modbus failure (time-out, exception answer, CRC error, mismatched answer,
     connection), with a one-line reason on standard error
  2  bad arguments

--address takes protocol addresses from 0; --reference (-r) counts from 1 as mbpoll's -r does,
and takes datasheet numbers: 40001 (or 400001) is holding register 0, 30001 input register 0,
10001 discrete input 0, 00001 coil 0. Short options follow mbpoll: -a station, -r reference,
-c count, -t table (or 0, 1, 3, 4), -b baud, -P parity, -o time-out, -l interval in ms, -1 once.
"""

# Exceptions that one request may raise: its failure, never a fault of the command (the library's
# family, the channel's and the socket's own OSErrors, and the errors a replaced step may raise).
MODBUS_ERRORS: tuple[type[BaseException], ...] = (
    ModbusError, SlaveException, OSError, ValueError, AssertionError)


class Failure(Exception):
    """A Modbus failure: exit status 1 with this one-line reason."""


ILLEGAL_DATA_ADDRESS = 2


def with_hint(exc: BaseException, reason: str, hint: str | None) -> str:
    """``reason``, and ``hint`` after it when the slave refused the address (exception code 2)."""
    if hint is not None and isinstance(exc, SlaveException) and exc.error_code == ILLEGAL_DATA_ADDRESS:
        return f"{reason}; {hint}"
    return reason


@contextlib.contextmanager
def modbus_call(station: int, timeout: float, hint: str | None = None) -> Iterator[None]:
    """Turn a failed request into a Failure that says why (and ``hint`` for a refused address)."""
    try:
        yield
    except MODBUS_ERRORS as exc:
        if isinstance(exc, ArgumentProblem):
            raise
        raise Failure(with_hint(exc, failure_reason(exc, station, timeout), hint)) from None


# ---- argument types ------------------------------------------------------------------------------------

class StationOnce(argparse.Action):
    """Stores the station; refuses a second one, which the short options of old (-s station,
    -a address) would give: ``-s 1 -a 100`` now names the station twice."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        earlier = getattr(namespace, "station_given", None)
        if earlier is not None:
            raise argparse.ArgumentError(self, f"the station is given twice ({earlier}, {option_string} {values}): "
                                               f"-a is the station (slave address), as in mbpoll; the first register "
                                               f"is --address A (from 0) or -r R (from 1)")
        setattr(namespace, self.dest, values)
        namespace.station_given = f"{option_string} {values}"


def parse_stations(text: str) -> list[int]:
    """Stations written as 1-247 or 1,3,10-12; each from 1 to 255."""
    stations: list[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            low = int(first)
            high = int(last) if dash else low
        except ValueError:
            raise ArgumentProblem(f"stations: write a list such as 1-247 or 1,3,10-12: {text!r}") from None
        if low > high:
            raise ArgumentProblem(f"stations: the range {part.strip()} runs backwards")
        if low < 1 or high > 255:
            raise ArgumentProblem(f"stations must be from 1 to 255 (0 is the broadcast address): {part.strip()}")
        stations.extend(s for s in range(low, high + 1) if s not in stations)
    return stations


# ---- the parser ----------------------------------------------------------------------------------------

def add_station(group: argparse._ArgumentGroup, low: int, station_help: str) -> None:
    group.add_argument("--station", "-a", "-s", type=ranged(low, 255), action=StationOnce, metavar="N",
                       help=f"{station_help} (default 1)")


def add_place(group: argparse._ArgumentGroup, tables: Sequence[str], what: str = "the first") -> None:
    group.add_argument("--table", "-t", type=table_name, choices=tables,
                       help=f"the data table: {', '.join(tables)}, or mbpoll's numbers "
                            f"({', '.join(n for n, t in TYPE_NUMBERS.items() if t in tables)}); default {tables[0]}")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--address", type=address_number, metavar="A",
                       help=f"{what} protocol address, from 0 (decimal or 0x hex)")
    where.add_argument("--reference", "-r", type=reference_number, metavar="R",
                       help=f"{what} reference, from 1 as mbpoll's -r (1 is address 0), or a datasheet number "
                            f"that names the table too: 40001 (or 400001) holding register 0, 30001 input register "
                            f"0, 10001 discrete input 0, 00001 coil 0")


def add_point(parser: argparse.ArgumentParser, tables: Sequence[str], station_help: str) -> None:
    group = parser.add_argument_group("what")
    add_station(group, 0, station_help)
    add_place(group, tables)
    group.add_argument("--format", "-f", metavar="F",
                       help="registers as typed values, struct-style: h H (16-bit), i I (32), q Q (64), "
                            "e f d (floats), Ns (N-byte string); e.g. 'f', '2f H', '8s'")
    group.add_argument("--order", type=str.upper, choices=ORDERS,
                       help="byte order of --format values (default ABCD, big-endian; CDAB word swap, "
                            "BADC byte swap, DCBA little-endian)")


def build_parser() -> argparse.ArgumentParser:
    try:
        version = metadata.version("brel_modbus")
    except metadata.PackageNotFoundError:   # pragma: no cover - run from a source tree
        version = "unknown"
    parser = argparse.ArgumentParser(
        prog=PROG, description="Read, write, poll, scan and identify Modbus devices (RTU and TCP).",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {version}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, run: Callable[[argparse.Namespace], int], timeout: float = 1.0,
                tail: str = "") -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=textwrap.fill(summary + tail, 80), epilog=EPILOG,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        add_connection(sub, timeout)
        sub.set_defaults(run=run, parser=sub)
        return sub

    read = command("read", "read registers or bits once", run_read)
    add_point(read, TABLES, "the station (slave address) 1 to 255")
    read.add_argument("--count", "-c", type=ranged(1, MAX_READ_BITS), default=1, metavar="C",
                      help="registers or bits to read; with --format, how many times the format repeats (default 1)")

    write = command("write", "write registers or coils", run_write,
                    tail=": one register with function code 6, several with 16 (and --format); one coil with 5, "
                         "several with 15; station 0 broadcasts on RTU")
    add_point(write, ("holding", "coil"), "the station 1 to 255, or 0 to broadcast (RTU)")
    write.add_argument("values", nargs="+", metavar="VALUE",
                       help="register values (0 to 65535, -32768 to -1, 0x hex), values of --format's codes, "
                            "or coil states (1/0, true/false, on/off)")

    poll = command("poll", "read the same registers or bits again and again, then show statistics", run_poll,
                   tail=": every --interval seconds until --rounds are done or Ctrl-C; then requests sent, "
                        "answered, errors by kind and round trips (p50, p99)")
    add_point(poll, TABLES, "the station (slave address) 1 to 255")
    poll.add_argument("--count", "-c", type=ranged(1, MAX_READ_BITS), default=1, metavar="C",
                      help="registers or bits to read; with --format, how many times the format repeats (default 1)")
    every = poll.add_mutually_exclusive_group()
    every.add_argument("--interval", "-i", type=seconds(zero=True), default=1.0, metavar="S",
                       help="seconds from one request to the next (default 1)")
    every.add_argument("-l", dest="interval", type=seconds(zero=True, unit="milliseconds", scale=1000),
                       metavar="MS", help="the same in milliseconds, as mbpoll's -l")
    rounds = poll.add_mutually_exclusive_group()
    rounds.add_argument("--rounds", "-n", type=ranged(1, 2**31), metavar="N",
                        help="stop after N polls (default: until Ctrl-C)")
    rounds.add_argument("-1", dest="rounds", action="store_const", const=1, help="poll once (--rounds 1)")
    poll.add_argument("--points", metavar="FILE",
                      help="poll the named points of a TOML or CSV file instead (name, station, table, address, "
                           "format, order, period), each at its own period, through brel_modbus.Poller")
    poll.add_argument("--learned", metavar="FILE",
                      help="with --points: start from what the poller learned of the devices (holes, block "
                           "limits) as kept in this JSON file, and keep it there when the poll ends")
    poll.add_argument("--explain", action="store_true",
                      help="with --points: when the poll ends, show the plan, what was learned and why")

    scan = command("scan", "find the stations that answer", run_scan, timeout=0.2,
                   tail=": one read per station; a station that answers with an exception is there too")
    scan.add_argument("--stations", default="1-247", metavar="LIST",
                      help="stations to try, e.g. 1-247 (default) or 1,3,10-12")
    add_place(scan.add_argument_group("what"), TABLES, what="the")

    info = command("info", "read the device identification (function 43/14) and server id (function 17)",
                   run_info, tail=": the basic, regular and extended objects the device offers, and the "
                                  "server id when the device reports one")
    add_station(info.add_argument_group("what"), 1, "the station (slave address) 1 to 255")
    return parser


# ---- shared steps --------------------------------------------------------------------------------------

def writer_for(args: argparse.Namespace) -> Writer:
    return Writer(args.output, sys.stdout)


def warn(text: str) -> None:
    sys.stderr.write(f"{PROG}: {text}\n")
    sys.stderr.flush()


def station_of(args: argparse.Namespace) -> int:
    return 1 if args.station is None else int(args.station)


def place(args: argparse.Namespace, tables: Sequence[str], default_address: int | None = None) -> tuple[str, int]:
    """The table and first address the command was given (--table with --address or
    --reference); a reference's note on standard error."""
    reference: Reference | None = args.reference
    if reference is not None:
        table, address = reference.place(args.table, tables[0])
        if table not in tables:
            raise ArgumentProblem(f"reference {reference.text} is {what(table, address)}; "
                                  f"this command takes {', '.join(tables)}")
        warn(reference.note(table, address))
        return table, address
    if args.address is None:
        if default_address is None:
            raise ArgumentProblem("--address or --reference is required (the first register or bit: --address from "
                                  "0, -r from 1; -a is the station, as in mbpoll)")
        return args.table or tables[0], default_address
    return args.table or tables[0], int(args.address)


def address_hint(args: argparse.Namespace, table: str) -> str | None:
    """The hint for a refused --address that looks like a datasheet number."""
    address = args.address
    return datasheet_hint(address.text, table) if isinstance(address, Address) else None


@dataclass(frozen=True)
class ReadRequest:
    """One read, checked: what ``read`` and ``poll`` send."""

    station: int
    table: str
    address: int
    count: int                 # registers or bits on the wire
    layout: Layout | None

    @property
    def bits(self) -> bool:
        return self.table in BIT_TABLES

    def describe(self) -> str:
        what = {"holding": "holding registers", "input": "input registers", "coil": "coils",
                "discrete": "discrete inputs"}[self.table]
        last = self.address + self.count - 1
        span = str(self.address) if last == self.address else f"{self.address}-{last}"
        return f"station {self.station}, {what} {span}"


def read_request(args: argparse.Namespace) -> ReadRequest:
    station = station_of(args)
    if station == 0:
        raise ArgumentProblem("station 0 is the broadcast address: no slave answers a read")
    table, address = place(args, TABLES)
    layout = None
    if table in BIT_TABLES:
        if args.format is not None or args.order is not None:
            raise ArgumentProblem(f"--format and --order apply to registers (holding, input), not to {table}")
        count = args.count
        limit = MAX_READ_BITS
    else:
        if args.order is not None and args.format is None:
            raise ArgumentProblem("--order needs --format")
        if args.format is not None:
            if args.count > MAX_READ_REGISTERS:
                raise ArgumentProblem(f"--count with --format repeats the format: at most {MAX_READ_REGISTERS}")
            layout = parse_format(args.format, args.order or "ABCD", args.count)
            count = layout.registers
        else:
            count = args.count
        limit = MAX_READ_REGISTERS
    if count > limit:
        raise ArgumentProblem(f"at most {limit} {'bits' if table in BIT_TABLES else 'registers'} in one read, "
                              f"asked for {count}")
    if address + count - 1 > 0xFFFF:
        raise ArgumentProblem(f"{count} from address {address} run past address 65535")
    return ReadRequest(station, table, address, count, layout)


def perform_read(link: Link, request: ReadRequest) -> tuple[list[str], list[Row]]:
    """Send ``request``; the columns and rows that show its answer."""
    address = request.address
    if request.bits:
        bits = link.read_bits(request.station, request.table, address, request.count)
        return ["address", "raw", "value"], [{"address": address + i, "raw": "1" if bit else "0", "value": bool(bit)}
                                             for i, bit in enumerate(bits)]
    layout = request.layout
    if layout is None:
        registers = link.read_registers(request.station, request.table, address, request.count)
        return ["address", "raw", "value"], [{"address": address + i, "raw": f"{r:04X}", "value": r}
                                             for i, r in enumerate(registers)]
    values, answered = link.read_values(request.station, request.table, address, layout.format, layout.order,
                                        layout.registers)
    raw = answered if answered is not None else ModbusStatic.encode_values(layout.format, values, layout.order)
    return ["address", "type", "raw", "value"], value_rows(layout, address, values, raw)


def value_rows(layout: Layout, address: int, values: Sequence[object], registers: Sequence[int]) -> list[Row]:
    """One row per value of ``layout``: its address, code, raw registers and value."""
    return [{"address": address + field.offset // 2, "type": f"{field.size}s" if field.code == "s" else field.code,
             "raw": raw_hex(list(registers[layout.words(field)])), "value": shown(value)}
            for field, value in zip(layout.fields, values, strict=True)]


def request_context(request: ReadRequest, moment: str) -> dict[str, Cell]:
    return {"timestamp": moment, "station": request.station, "table": request.table}


def request_extra(request: ReadRequest) -> dict[str, object]:
    extra: dict[str, object] = {"address": request.address, "bits" if request.bits else "registers": request.count}
    if request.layout is not None:
        extra.update(format=request.layout.format, order=request.layout.order)
    return extra


# ---- read ----------------------------------------------------------------------------------------------

def run_read(args: argparse.Namespace) -> int:
    request = read_request(args)
    writer = writer_for(args)
    with connect(args) as link, modbus_call(request.station, args.timeout, address_hint(args, request.table)):
        columns, rows = perform_read(link, request)
    writer.block(request.describe(), request_context(request, timestamp()), columns, rows,
                 extra=request_extra(request))
    return 0


# ---- write ---------------------------------------------------------------------------------------------

def run_write(args: argparse.Namespace) -> int:
    station = station_of(args)
    table, address = place(args, ("holding", "coil"))
    texts: list[str] = args.values
    rows: list[Row]
    if table == "coil":
        if args.format is not None or args.order is not None:
            raise ArgumentProblem("--format and --order apply to registers, not to coils")
        bits = [parse_bit(text) for text in texts]
        if len(bits) > MAX_WRITE_BITS:
            raise ArgumentProblem(f"at most {MAX_WRITE_BITS} coils in one write, got {len(bits)}")
        count = len(bits)
        rows = [{"address": address + i, "raw": "1" if b else "0", "value": b} for i, b in enumerate(bits)]
        columns = ["address", "raw", "value"]

        def send(link: Link) -> None:
            link.write_bits(station, address, bits)
    elif args.format is not None:
        layout = parse_format(args.format, args.order or "ABCD")
        values = parse_values(layout, texts)
        registers = ModbusStatic.encode_values(layout.format, values, layout.order)
        count = len(registers)
        if count > MAX_WRITE_REGISTERS:
            raise ArgumentProblem(f"at most {MAX_WRITE_REGISTERS} registers in one write, the values take {count}")
        columns = ["address", "type", "raw", "value"]
        rows = value_rows(layout, address, values, registers)

        def send(link: Link) -> None:
            link.write_values(station, address, layout.format, values, layout.order)
    else:
        if args.order is not None:
            raise ArgumentProblem("--order needs --format")
        registers = [parse_register(text) for text in texts]
        count = len(registers)
        if count > MAX_WRITE_REGISTERS:
            raise ArgumentProblem(f"at most {MAX_WRITE_REGISTERS} registers in one write, got {count}")
        columns = ["address", "raw", "value"]
        rows = [{"address": address + i, "raw": f"{r:04X}", "value": r} for i, r in enumerate(registers)]

        def send(link: Link) -> None:
            link.write_registers(station, address, registers)
    if address + count - 1 > 0xFFFF:
        raise ArgumentProblem(f"{count} from address {address} run past address 65535")
    writer = writer_for(args)
    with connect(args) as link:
        broadcast = station == 0 and link.broadcasts
        with modbus_call(station, args.timeout, address_hint(args, table)):
            send(link)
    what = "coils" if table == "coil" else "holding registers"
    title = (f"broadcast to every station (no answer awaited): {what} from {address}" if broadcast
             else f"station {station}: wrote {what} from {address}")
    writer.block(title, {"timestamp": timestamp(), "station": station, "table": table}, columns, rows,
                 key="written", extra={"address": address, "broadcast": broadcast})
    return 0


# ---- poll ----------------------------------------------------------------------------------------------

def pause_until(deadline: float) -> None:
    left = deadline - time.monotonic()
    if left > 0:
        time.sleep(left)


def run_poll(args: argparse.Namespace) -> int:
    if args.points is not None:
        return run_poll_points(args)
    if args.learned is not None or args.explain:
        raise ArgumentProblem(f"{'--learned' if args.learned is not None else '--explain'} goes with --points")
    request = read_request(args)
    hint = address_hint(args, request.table)
    writer = writer_for(args)
    stats = PollStats()
    with connect(args) as link:
        done = 0
        next_request = time.monotonic()
        try:
            while args.rounds is None or done < args.rounds:
                done += 1
                started = time.perf_counter()
                try:
                    columns, rows = perform_read(link, request)
                except MODBUS_ERRORS as exc:
                    stats.failure(error_kind(exc), time.perf_counter() - started)
                    reason = failure_reason(exc, request.station, args.timeout)
                    warn(f"{timestamp()} poll {done}: {with_hint(exc, reason, hint)}")
                    if isinstance(exc, SlaveException) and exc.error_code == ILLEGAL_DATA_ADDRESS:
                        hint = None   # said once is enough
                else:
                    elapsed = time.perf_counter() - started
                    stats.answer(elapsed)
                    moment = timestamp()
                    writer.block(f"poll {done} at {moment}, {request.describe()} ({elapsed * 1000:.1f} ms)",
                                 {**request_context(request, moment), "poll": done, Duration("round_trip"): elapsed},
                                 columns, rows, extra=request_extra(request))
                if args.rounds is not None and done >= args.rounds:
                    break
                next_request = max(next_request + args.interval, time.monotonic())
                pause_until(next_request)
        except KeyboardInterrupt:
            pass
    writer.summary("statistics", stats.figures(), "statistics", sys.stderr)
    if stats.answered == 0:
        raise Failure(f"no answer from station {request.station} to {stats.sent} requests "
                      f"({', '.join(sorted(stats.errors))})")
    return 0


def point_rows(points: dict[str, Point], result: dict[str, Any]) -> tuple[list[Row], Counter[str]]:
    rows: list[Row] = []
    kinds: Counter[str] = Counter()
    for name, value in result.items():
        point = points.get(name)
        row: dict[str, Cell] = {"name": name, "station": point.station if point else None,
                                "table": point.table if point else None, "address": point.address if point else None,
                                "value": None, "error": None}
        if isinstance(value, BaseException):
            kinds[error_kind(value)] += 1
            row["error"] = short_reason(value)
        else:
            kinds["value"] += 1
            row["value"] = " ".join(str(shown(v)) for v in value) if isinstance(value, list) else shown(value)
        rows.append(row)
    return rows, kinds


def run_poll_points(args: argparse.Namespace) -> int:
    given = [option for option, value in (("--station", args.station), ("--table", args.table),
                                          ("--address", args.address), ("--reference", args.reference),
                                          ("--format", args.format), ("--order", args.order)) if value is not None]
    if given or args.count != 1:
        raise ArgumentProblem(f"--points names its own stations, tables and addresses: leave out "
                              f"{', '.join(given) or '--count'}")
    points = load_points(args.points)
    if getattr(brel_modbus, "Poller", None) is None:
        raise ArgumentProblem("this build has no Poller: --points needs a brel_modbus with brel_modbus.Poller")
    target: Target = args.target_parsed
    stations = sorted({p.station for p in points})
    if target.tcp and len(stations) > 1:
        raise ArgumentProblem(f"over Modbus TCP the points must name one station (unit identifier), not "
                              f"{', '.join(map(str, stations))}")
    by_name = {p.name: p for p in points}
    learned = load_learned(args.learned) if args.learned is not None else None
    writer = writer_for(args)
    counts: Counter[str] = Counter()
    passes = 0
    with connect(args, stations[0]) as link:
        poller = make_poller(link.master, points, learned=learned)
        try:
            for result in poller.run():
                passes += 1
                rows, kinds = point_rows(by_name, dict(result))
                counts.update(kinds)
                moment = timestamp()
                writer.block(f"pass {passes} at {moment}", {"timestamp": moment, "pass": passes},
                             ["name", "station", "table", "address", "value", "error"], rows)
                if args.rounds is not None and passes >= args.rounds:
                    break
        except KeyboardInterrupt:
            pass
        figures: dict[str, Cell] = {"passes": passes, "values": counts.pop("value", 0)}
        figures.update(sorted(counts.items()))
        for station, row in sorted(dict(poller.stats).items()):
            for key, value in dict(row).items():
                if key == "last_success":
                    continue   # a time on the poller's own clock, of no use here
                name = f"station {station} {key}"
                figures[Duration(name) if key.startswith("rtt_") else name] = value   # rtt_p50, rtt_p99: seconds
        if args.learned is not None:
            save_learned(args.learned, dict(poller.learned))
        if args.explain:
            writer.block("plan, as learned", {"timestamp": timestamp()},
                         ["station", "table", "address", "count", "points", "why"],
                         explain_rows(list(poller.plan(learned=True)), dict(poller.learned)), key="plan",
                         extra={"learned": dict(poller.learned)})
    writer.summary("statistics", figures, "statistics", sys.stderr)
    if figures["values"] == 0:
        raise Failure(f"no value read in {passes} passes")
    return 0


# ---- scan ----------------------------------------------------------------------------------------------

def run_scan(args: argparse.Namespace) -> int:
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn

    stations = parse_stations(args.stations)
    table, address = place(args, TABLES, default_address=0)
    writer = writer_for(args)
    found: list[Row] = []
    tried = 0
    interrupted = False
    progress = Progress(TextColumn("scanning station {task.fields[station]}"), BarColumn(), MofNCompleteColumn(),
                        console=console_for(sys.stderr), transient=True, disable=not sys.stderr.isatty())
    with connect(args) as link, progress:
        task = progress.add_task("scan", total=len(stations), station=stations[0])
        try:
            for station in stations:
                progress.update(task, station=station)
                try:
                    data = link.read(station, table, address, 1)
                except SlaveException as exc:
                    if exc.error_code not in GATEWAY_NO_ANSWER:
                        found.append({"station": station, "value": None, "exception": exception_name(exc.error_code)})
                except MODBUS_ERRORS as exc:
                    kind = error_kind(exc)
                    if kind == "connection":
                        raise Failure(failure_reason(exc, station, args.timeout)) from None
                    if kind != "time-out":
                        progress.console.print(f"{PROG}: station {station}: "
                                               f"{failure_reason(exc, station, args.timeout)}", markup=False)
                else:
                    found.append({"station": station, "value": shown(data[0]), "exception": None})
                tried += 1
                progress.advance(task)
        except KeyboardInterrupt:   # Ctrl-C: the stations found so far, then status 130
            interrupted = True
    moment = timestamp()
    of = f"{tried} tried of {len(stations)}, interrupted" if interrupted else str(len(stations))
    writer.block(f"stations that answer: {len(found)} of {of} ({table} {address})",
                 {"timestamp": moment, "table": table, "address": address},
                 ["station", "value", "exception"], found, key="stations",
                 extra={"tried": tried, **({"interrupted": True} if interrupted else {})})
    if interrupted:
        warn(f"interrupted: {tried} of {len(stations)} stations tried")
        return 130
    if not found:
        raise Failure(f"no station answered ({args.stations})")
    return 0


# ---- info ----------------------------------------------------------------------------------------------

OBJECT_NAMES = {0: "VendorName", 1: "ProductCode", 2: "MajorMinorRevision", 3: "VendorUrl", 4: "ProductName",
                5: "ModelName", 6: "UserApplicationName"}


def object_name(object_id: int) -> str:
    if object_id in OBJECT_NAMES:
        return OBJECT_NAMES[object_id]
    return f"private 0x{object_id:02X}" if object_id >= 0x80 else f"reserved 0x{object_id:02X}"


def run_info(args: argparse.Namespace) -> int:
    station = station_of(args)
    objects: dict[int, bytes] | None = None
    refusal: SlaveException | None = None
    server_id: bytes | None = None
    with connect(args) as link, modbus_call(station, args.timeout):
        for read_code in (3, 2, 1):   # extended, regular, basic: the first the device grants
            try:
                objects = link.identification(station, read_code)
                break
            except SlaveException as exc:
                refusal = exc
        if objects is not None or refusal is not None:   # the device answers: does it report its id?
            try:
                server_id = link.server_id(station)
            except MODBUS_ERRORS:
                server_id = None   # many devices neither serve function 17 nor answer it
    if objects is None and server_id is None:
        code = refusal.error_code if refusal is not None else None
        raise Failure(f"no identification: station {station} refuses function 43/14 ({exception_name(code)})")
    rows: list[Row] = [{"id": f"0x{object_id:02X}", "name": object_name(object_id),
                        "value": text_of(value)}
                       for object_id, value in sorted((objects or {}).items())]
    shown_id = None if server_id is None else text_of(server_id)
    title = f"station {station} identification"
    if shown_id is not None and args.output == "table":
        title += f"\nserver id (function 17): {shown_id}"
    writer_for(args).block(title, {"timestamp": timestamp(), "station": station, "server_id": shown_id},
                           ["id", "name", "value"], rows, key="objects")
    return 0


# ---- entry ---------------------------------------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command_parser: argparse.ArgumentParser = args.parser
    try:
        args.target_parsed = parse_target(args.target)
        return int(args.run(args))
    except ArgumentProblem as exc:
        command_parser.error(str(exc))
    except (Failure, OpenFailure) as exc:
        warn(str(exc))
        return 1
    except KeyboardInterrupt:
        warn("interrupted")
        return 130
    except BrokenPipeError:   # the reader went away (| head): nothing more to say
        with contextlib.suppress(OSError):   # the interpreter's last flush of stdout must not fail again
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
