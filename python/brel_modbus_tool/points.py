"""Points files for ``brel-modbus poll --points``: many named values, each read at its own period.

TOML, one ``[[point]]`` table per point::

    [[point]]
    name = "voltage"
    station = 1
    table = "holding"        # holding, input, coil, discrete
    address = 0
    format = "f"             # registers only; default "H"
    order = "CDAB"           # default "ABCD"
    period = 0.5             # seconds; default 1.0

CSV, with a header row naming the columns (``name,station,table,address`` required,
``format,order,period`` optional; an empty cell takes the default; a row whose first cell
starts with ``#`` is a comment).

Every point is checked before anything is sent; all problems are reported together, each
with the file and the point (TOML) or line (CSV) it comes from.
"""

from __future__ import annotations

import csv
import json
import math
import os
import sys
import tempfile
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import brel_modbus

from brel_modbus_tool.codec import BIT_TABLES, MAX_READ_REGISTERS, TABLES, ArgumentProblem, parse_format

if sys.version_info >= (3, 11):   # noqa: UP036 - tomli where 3.10 lacks tomllib
    import tomllib
else:   # pragma: no cover
    import tomli as tomllib

COLUMNS = ("name", "station", "table", "address", "format", "order", "period")
REQUIRED = ("name", "station", "table", "address")
DEFAULT_FORMAT = "H"
DEFAULT_ORDER = "ABCD"
DEFAULT_PERIOD = 1.0


@dataclass(frozen=True)
class Point:
    """One value to poll."""

    name: str
    station: int
    table: str
    address: int
    format: str = DEFAULT_FORMAT
    order: str = DEFAULT_ORDER
    period: float = DEFAULT_PERIOD


class PointsProblem(ArgumentProblem):
    """A points file that cannot be used, with every reason found."""

    def __init__(self, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.problems = problems


def _integer(value: object, what: str, low: int, high: int) -> int:
    if isinstance(value, str):
        text = value.strip()
        try:
            value = int(text, 10)
        except ValueError:
            try:
                value = int(text, 0)
            except ValueError:
                raise ValueError(f"{what} must be an integer: {text!r}") from None
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{what} must be an integer: {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be from {low} to {high}: {value}")
    return value


def _period(value: object) -> float:
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            raise ValueError(f"period must be a number of seconds: {value!r}") from None
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise ValueError(f"period must be a number of seconds: {value!r}")
    try:
        seconds = float(value)
    except OverflowError:   # an int beyond any float: not shown, it may be thousands of digits
        raise ValueError("period is too large to be a number of seconds") from None
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"period must be a positive number of seconds: {value!r}")
    return seconds


def _text(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise ValueError(f"{what} must be text: {value!r}")
    return value.strip()


def make_point(fields: Mapping[str, object]) -> Point:
    """A checked point from a row or table of a points file; ValueError with the first reason."""
    unknown = sorted(set(fields) - set(COLUMNS))
    if unknown:
        raise ValueError(f"unknown field{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} "
                         f"(the fields are {', '.join(COLUMNS)})")
    missing = [key for key in REQUIRED if fields.get(key) in (None, "")]
    if missing:
        raise ValueError(f"missing {', '.join(missing)}")
    name = _text(fields["name"], "name")
    if not name:
        raise ValueError("name must not be empty")
    station = _integer(fields["station"], "station", 1, 255)
    table = _text(fields["table"], "table").lower()
    if table not in TABLES:
        raise ValueError(f"table must be one of {', '.join(TABLES)}: {table!r}")
    address = _integer(fields["address"], "address", 0, 0xFFFF)
    period = _period(fields["period"]) if fields.get("period") not in (None, "") else DEFAULT_PERIOD
    given_format = fields.get("format") not in (None, "")
    given_order = fields.get("order") not in (None, "")
    if table in BIT_TABLES:
        if given_format or given_order:
            raise ValueError(f"format and order apply to registers (holding, input), not to a {table}")
        return Point(name, station, table, address, period=period)
    format = _text(fields["format"], "format") if given_format else DEFAULT_FORMAT
    order = _text(fields["order"], "order").upper() if given_order else DEFAULT_ORDER
    layout = parse_format(format, order)   # ArgumentProblem is a ValueError: the library's reason
    if layout.registers > MAX_READ_REGISTERS:
        raise ValueError(f"the format takes {layout.registers} registers, at most {MAX_READ_REGISTERS} in one read")
    if address + layout.registers - 1 > 0xFFFF:
        raise ValueError(f"{layout.registers} registers from address {address} run past 65535")
    return Point(name, station, table, address, format, order, period)


def _collect(entries: Iterable[tuple[str, Mapping[str, object]]], problems: list[str] | None = None) -> list[Point]:
    points: list[Point] = []
    problems = list(problems or [])
    seen: dict[str, str] = {}
    for where, fields in entries:
        try:
            point = make_point(fields)
        except ValueError as exc:
            problems.append(f"{where}: {exc}")
            continue
        if point.name in seen:
            problems.append(f"{where}: the name {point.name!r} is taken already ({seen[point.name]})")
            continue
        seen[point.name] = where
        points.append(point)
    if problems:
        raise PointsProblem(problems)
    if not points:
        raise PointsProblem(["no point in the file"])
    return points


def parse_toml(text: str, source: str = "points.toml") -> list[Point]:
    try:
        document = tomllib.loads(text)
    except ValueError as exc:   # TOMLDecodeError, or an integer too long to convert
        raise PointsProblem([f"{source}: not TOML: {exc}"]) from None
    extra = sorted(set(document) - {"point"})
    if extra:
        raise PointsProblem([f"{source}: unknown key {', '.join(extra)}: write one [[point]] table per point"])
    tables: Any = document.get("point", [])
    if not isinstance(tables, list) or not all(isinstance(t, dict) for t in tables):
        raise PointsProblem([f"{source}: 'point' must be an array of tables ([[point]])"])

    def entries() -> Iterable[tuple[str, Mapping[str, object]]]:
        for index, table in enumerate(tables, 1):
            label = f" ({table['name']!r})" if isinstance(table.get("name"), str) else ""
            yield f"{source}, point {index}{label}", table

    return _collect(entries())


def parse_csv(text: str, source: str = "points.csv") -> list[Point]:
    reader = csv.reader(text.splitlines())
    header: list[str] | None = None
    rows: list[tuple[str, Mapping[str, object]]] = []
    problems: list[str] = []
    for row in reader:
        if not any(cell.strip() for cell in row) or row[0].lstrip().startswith("#"):
            continue
        where = f"{source} line {reader.line_num}"
        if header is None:
            header = [cell.strip().lower() for cell in row]
            unknown = [name for name in header if name not in COLUMNS]
            missing = [name for name in REQUIRED if name not in header]
            if unknown or missing or len(set(header)) != len(header):
                raise PointsProblem([f"{where}: the header must name the columns {', '.join(REQUIRED)} "
                                     f"(and optionally format, order, period), each once: {', '.join(row)}"])
            continue
        if len(row) > len(header):
            problems.append(f"{where}: {len(row)} cells, the header names {len(header)} columns")
            continue
        rows.append((where, {key: cell.strip() for key, cell in zip(header, row, strict=False)}))
    if header is None:
        raise PointsProblem([f"{source}: empty: the first row must name the columns"])
    return _collect(rows, problems)


def load_points(path: str) -> list[Point]:
    """The points of a .toml or .csv file; PointsProblem with every reason it cannot be used."""
    file = Path(path)
    kind = file.suffix.lower()
    if kind not in (".toml", ".csv"):
        raise PointsProblem([f"{path}: a points file ends in .toml or .csv"])
    try:
        text = file.read_text(encoding="utf-8-sig")
    except (OSError, UnicodeDecodeError) as exc:
        raise PointsProblem([f"{path}: cannot read: {exc}"]) from None
    return parse_toml(text, path) if kind == ".toml" else parse_csv(text, path)


class NoPoller(ArgumentProblem):
    """This build of brel_modbus has no Poller."""


def make_poller(master: Any, points: list[Point], max_gap: int = 16, learned: dict[str, Any] | None = None) -> Any:
    """A ``brel_modbus.Poller`` over ``master`` with every point added, starting from ``learned``
    (what a poller learned before) when given."""
    poller_class = getattr(brel_modbus, "Poller", None)
    if poller_class is None:
        raise NoPoller("this build has no Poller: --points needs a brel_modbus with brel_modbus.Poller")
    if learned is None:
        poller = poller_class(master, max_gap=max_gap)
    else:
        try:
            poller = poller_class(master, max_gap=max_gap, learned=learned)
        except (ValueError, TypeError) as exc:
            raise ArgumentProblem(f"--learned: {exc}") from None
    for point in points:
        try:
            if point.table in BIT_TABLES:
                poller.add(point.name, point.station, point.table, point.address, period=point.period)
            else:
                poller.add(point.name, point.station, point.table, point.address, point.format, point.order,
                           point.period)
        except (ValueError, OverflowError, TypeError) as exc:
            raise PointsProblem([f"point {point.name!r}: {exc}"]) from None
    return poller



def load_learned(path: str) -> dict[str, Any] | None:
    """What a poller learned, as kept in a JSON file by ``save_learned``; None when there is no
    such file yet. ArgumentProblem when it cannot be read or is no JSON object."""
    try:
        with open(path, encoding="utf-8") as file:
            text = file.read()
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise ArgumentProblem(f"--learned {path}: {exc.strerror or exc}") from None
    try:
        learned = json.loads(text)
    except ValueError as exc:
        raise ArgumentProblem(f"--learned {path}: not JSON: {exc}") from None
    if not isinstance(learned, dict):
        raise ArgumentProblem(f"--learned {path}: a JSON object is expected, not {type(learned).__name__}")
    return learned


def save_learned(path: str, learned: dict[str, Any]) -> None:
    """Keep ``learned`` in ``path`` as JSON, replacing the file whole (never half written)."""
    folder = os.path.dirname(os.path.abspath(path))
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=folder, prefix=".learned-", suffix=".json",
                                     delete=False) as file:
        json.dump(learned, file, indent=2, sort_keys=True)
        file.write("\n")
    os.replace(file.name, path)


def explain_rows(plan: list[tuple[Any, ...]], learned: dict[str, Any]) -> list[dict[str, Any]]:
    """One row per request of ``plan(learned=True)``: what it reads, and why it is cut there."""
    rows = []
    for station, table, address, count, names, why in plan:
        reasons = []
        if why.get("cut") is not None:
            reasons.append(f"a refused read found a hole before {why['cut']}")
        if why.get("max_block") is not None:
            bound = learned.get(str(station), {}).get(table, {})
            refused = bound.get("smallest_refused")
            reasons.append(f"reads of {refused} refused, at most {why['max_block']} planned" if refused else
                           f"at most {why['max_block']} planned")
        rows.append({"station": station, "table": table, "address": address, "count": count,
                     "points": " ".join(names), "why": "; ".join(reasons) or "merged by the gap"})
    return rows
