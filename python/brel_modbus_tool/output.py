"""Results on standard output in three forms: an aligned table for people, CSV and JSON for
scripts. CSV and JSON carry an ISO 8601 timestamp (local time with its UTC offset).

Each result is a block: a title and some context (station, table, ...) and rows of the same
columns. A table block prints as a rich table under its title; a CSV block as one line per
row, the context repeated in each (the header once per run); a JSON block as one object on
one line (JSON Lines when a command prints several, as ``poll`` does).

Times have one unit per form: milliseconds in a table, seconds in CSV and JSON, and the name
says which ("rtt_p50 ms", "rtt_p50_s"). A figure that is a time is named by a ``Duration``
and given in seconds; the writer does the rest.
"""

from __future__ import annotations

import csv
import json
import time
from collections.abc import Callable, Mapping, Sequence
from datetime import datetime
from typing import Any, TextIO

from rich import box
from rich.console import Console
from rich.table import Table
from rich.text import Text

FORMS = ("table", "csv", "json")

Cell = int | float | str | bool | None
Row = Mapping[str, Cell]


class Duration(str):
    """The name of a figure that is a time, given in seconds (or None)."""


def with_unit(form: str, name: str, value: Any) -> tuple[str, Any]:
    """A figure's name and value as ``form`` shows them: a Duration in milliseconds under
    "NAME ms" in a table, in seconds under "NAME_s" in CSV and JSON; anything else as it is."""
    if not isinstance(name, Duration):
        return name, value
    if form == "table":
        return f"{name} ms", None if value is None else round(float(value) * 1000, 3)
    return f"{name}_s", None if value is None else round(float(value), 6)


def timestamp(moment: datetime | None = None) -> str:
    """ISO 8601 local time with milliseconds and the UTC offset."""
    return (moment or datetime.now()).astimezone().isoformat(timespec="milliseconds")


def cell_text(value: object) -> str:
    """A cell as text: booleans as true/false, floats as Python writes them, None empty."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def console_for(stream: TextIO) -> Console:
    """A rich console on ``stream``; off a terminal wide enough that no table wraps."""
    terminal = stream.isatty()
    return Console(file=stream, highlight=False, width=None if terminal else 1000, soft_wrap=not terminal)


class Writer:
    """Blocks of rows on one stream, in one form."""

    def __init__(self, form: str, stream: TextIO) -> None:
        if form not in FORMS:
            raise ValueError(f"output form must be one of {', '.join(FORMS)}: {form!r}")
        self.form = form
        self.stream = stream
        self._console: Console | None = None
        self._csv = csv.writer(stream, lineterminator="\n")
        self._header: list[str] | None = None

    @property
    def console(self) -> Console:
        if self._console is None:
            self._console = console_for(self.stream)
        return self._console

    def _print(self, title: str, table: Table) -> None:
        """A title and its table; off a terminal without the padding that ends each line."""
        if self.stream.isatty():
            self.console.print(Text(title, style="bold"))
            self.console.print(table)
            return
        with self.console.capture() as captured:
            self.console.print(Text(title))
            self.console.print(table)
        self.stream.write("".join(line.rstrip() + "\n" for line in captured.get().splitlines()))

    def block(self, title: str, context: Mapping[str, Cell], columns: Sequence[str], rows: Sequence[Row],
              key: str = "values", extra: Mapping[str, object] | None = None) -> None:
        """One result: ``context`` (with its timestamp) and ``rows`` under ``key`` in JSON.
        ``extra`` goes to JSON only (figures a script may want, a table would not show)."""
        context = dict(with_unit(self.form, name, value) for name, value in context.items())
        rows = [dict(with_unit(self.form, name, value) for name, value in row.items()) for row in rows]
        columns = [with_unit(self.form, column, None)[0] for column in columns]
        if extra:
            extra = dict(with_unit(self.form, name, value) for name, value in extra.items())
        if self.form == "table":
            table = Table(box=box.SIMPLE_HEAD, pad_edge=False, show_edge=False)
            for column in columns:
                table.add_column(Text(column), justify="right" if column in ("address", "station", "id") else "left")
            for row in rows:
                table.add_row(*(Text(cell_text(row.get(column))) for column in columns))
            self._print(title, table)
        elif self.form == "csv":
            header = [*context.keys(), *columns]
            if header != self._header:
                self._csv.writerow(header)
                self._header = header
            for row in rows:
                self._csv.writerow([cell_text(v) for v in context.values()]
                                   + [cell_text(row.get(column)) for column in columns])
        else:
            document: dict[str, object] = {**context, key: [dict(row) for row in rows]}
            if extra:
                document.update(extra)
            self.stream.write(json.dumps(document, ensure_ascii=False) + "\n")
        self.stream.flush()

    def summary(self, title: str, figures: Mapping[str, Cell], key: str, stderr: TextIO) -> None:
        """Figures at the end of a run: a table of two columns, one JSON object under ``key``,
        or, beside CSV (whose lines all have one shape), text lines on ``stderr``."""
        figures = dict(with_unit(self.form, name, value) for name, value in figures.items())
        if self.form == "table":
            table = Table(box=box.SIMPLE_HEAD, pad_edge=False, show_edge=False, show_header=False)
            table.add_column()
            table.add_column(justify="right")
            for name, value in figures.items():
                table.add_row(Text(name), Text(cell_text(value)))
            self._print(title, table)
        elif self.form == "json":
            self.stream.write(json.dumps({key: dict(figures)}, ensure_ascii=False) + "\n")
        else:
            stderr.write(f"{title}: " + ", ".join(f"{name} {cell_text(v)}" for name, v in figures.items()) + "\n")
        self.stream.flush()


def frame_printer(stream: TextIO) -> Callable[[Any], None]:
    """A trace callable for a master (its ``trace``) that prints each frame on ``stream``: the
    seconds since it was made, the direction, the bytes in hex and, for an answer, the outcome:
    ``[  0.001204] sent     01 03 00 00 00 02 C4 0B``."""
    origin = time.monotonic()

    def show(record: Any) -> None:
        outcome = f"  ({record.outcome})" if record.outcome is not None else ""
        hex_bytes = record.data.hex(" ").upper()
        stream.write(f"[{record.time - origin:10.6f}] {record.direction:<8} {hex_bytes}{outcome}\n")
        stream.flush()

    return show
