"""The Poller's learning and its own gap against fixed gaps, on five simulated device maps.

    python bench/poller_maps.py [--passes N] [--scale S] [--quick]

Each map is served by a Master whose read members answer from a model of the device (holes,
a largest read, units that do not answer) and of the line: a read costs a fixed time (the
device's turnaround, the silent intervals of RTU, or a TCP round trip on loopback) plus the
bytes of the request and of its answer at the line's rate. Lines: Modbus RTU at 9,600 and
115,200 baud (11 bits a byte, 3.5 characters of silence before each frame, 2 ms of device
turnaround) and Modbus TCP on loopback (0.25 ms a request, bytes free).

Settings: fixed gaps 0, 8, 16, 50 and 125 registers (the fill settings of Telegraf's
`max_insert` optimisation: neighbouring fields merged into one request while the registers
between them are at most the fill, up to 125 a request) and `max_gap="auto"`. Every setting
keeps the Poller's learning (holes, block limits, units that are down): what is compared is
the gap. A pass is every point due once (a fake clock one period on per pass).

Figures per map, line and setting, over the passes after the first (the learning pass):
requests a pass and the modelled time of a pass (the sum of the model's costs of the
requests sent, time-outs included), both as means; and whether any valid point was not read
in any pass (a point in a hole, or of a dead unit, is not valid). `auto` must measure the
costs, so its reads also sleep for the modelled time, times --scale on the serial lines (the
gap depends only on the ratio of the two costs, which the scale keeps; TCP's 0.25 ms is slept
whole, as scaled down it would drown in the fake master's own Python work); the fixed
settings do not sleep.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import sys
import threading
import time
from dataclasses import dataclass, field
from importlib import metadata

import brel_modbus
from brel_modbus import SlaveException

CODES = {"holding": 3, "input": 4, "coil": 1, "discrete": 2}
GAPS: list[int | str] = [0, 8, 16, 50, 125, "auto"]
TIMEOUT = 1.0   # seconds, the time-out of a unit that does not answer


@dataclass(frozen=True)
class Line:
    name: str
    fixed: float      # seconds a request, bytes aside
    per_byte: float   # seconds a byte on the wire, both ways


def rtu(baud: int) -> Line:
    byte = 11 / baud
    return Line(f"RTU {baud:,} baud", 2 * 3.5 * byte + 0.002, byte)


LINES = [rtu(9600), rtu(115200), Line("TCP loopback", 0.00025, 0.0)]


@dataclass
class Device:
    """Units with what they hold and refuse."""
    points: list[tuple[str, int, str, int, str]]          # name, unit, table, address, format
    holes: set[tuple[int, str, int]] = field(default_factory=set)   # (unit, table, address): refused, code 2
    limits: dict[tuple[int, str], int] = field(default_factory=dict)   # (unit, table): most a read, else code 3
    dead: set[int] = field(default_factory=set)           # units that never answer

    def valid(self, name: str) -> bool:
        _, unit, table, address, fmt = next(p for p in self.points if p[0] == name)
        width = {"H": 1, "h": 1, "f": 2, "I": 2}[fmt] if table in ("holding", "input") else 1
        in_hole = any((unit, table, a) in self.holes for a in range(address, address + width))
        return unit not in self.dead and not in_hole


def meter() -> Device:
    """A power meter: blocks of 2 to 12 registers scattered over 0..700, one unit."""
    points = []
    for start, n in [(0, 6), (20, 4), (34, 2), (60, 12), (100, 4), (118, 6), (150, 2), (200, 8), (230, 2),
                     (300, 10), (340, 4), (400, 2), (500, 12), (560, 6), (700, 2)]:
        for k in range(0, n, 2):
            points.append((f"m{start + k}", 1, "holding", start + k, "f"))
    return Device(points)


def inverter() -> Device:
    """A solar inverter that refuses any read of more than 8 registers (exception 3)."""
    points = [(f"i{a}", 1, "input", a, "H") for a in range(0, 60, 2)]
    points += [(f"h{a}", 1, "holding", a, "I") for a in range(100, 140, 4)]
    return Device(points, limits={(1, "input"): 8, (1, "holding"): 8})


def plc() -> Device:
    """A PLC whose registers exist in ranges only: reads that touch the holes are refused (code 2)."""
    ranges = [(0, 10), (16, 30), (40, 44), (50, 80), (96, 100), (120, 160)]
    holes = {(1, "holding", a) for a in range(0, 200) if not any(lo <= a < hi for lo, hi in ranges)}
    points = [(f"r{a}", 1, "holding", a, "H") for lo, hi in ranges for a in range(lo, hi, 3)]
    points += [(f"c{a}", 1, "coil", a, "H") for a in range(0, 64, 5)]
    return Device(points, holes=holes)


def gateway() -> Device:
    """A gateway with 10 units (6 registers and 2 coils each); units 4 and 8 do not answer."""
    points = []
    for unit in range(1, 11):
        points += [(f"u{unit}r{a}", unit, "holding", a, "H") for a in (0, 1, 2, 10, 11, 30)]
        points += [(f"u{unit}c{a}", unit, "coil", a, "H") for a in (0, 4)]
    return Device(points, dead={4, 8})


def drive() -> Device:
    """A motor drive that reads one register at a time only (exception 3 for more)."""
    points = [(f"d{a}", 1, "holding", a, "H") for a in range(0, 24, 2)]
    points += [(f"p{a}", 1, "input", a, "h") for a in range(0, 10)]
    return Device(points, limits={(1, "holding"): 1, (1, "input"): 1})


MAPS = {"meter, scattered blocks": meter, "inverter, reads of 8 at most": inverter, "PLC with holes": plc,
        "gateway, 10 units, 2 dead": gateway, "drive, one register a read": drive}


class ModelMaster(brel_modbus.Master):
    """Answers from the device model; each read adds its modelled cost to `spent`, and sleeps
    for it times `scale` when `scale` is not 0."""

    def __init__(self, device: Device, line: Line, scale: float) -> None:   # no channel
        self.device, self.line, self.scale = device, line, scale
        self.spent = 0.0

    def _cost(self, seconds: float) -> None:
        self.spent += seconds
        if self.scale:
            threading.Event().wait(seconds * self.scale)

    def _read(self, unit: int, table: str, address: int, count: int) -> list[int] | list[bool]:
        d, line = self.device, self.line
        if unit in d.dead:
            self._cost(8 * line.per_byte + TIMEOUT)
            raise OSError("modbus: read from slave timeout")
        bits = table in ("coil", "discrete")
        refused = count > d.limits.get((unit, table), count) or any(
            (unit, table, a) in d.holes for a in range(address, address + count))
        answer = 5 if refused else 5 + (math.ceil(count / 8) if bits else 2 * count)
        self._cost(line.fixed + (8 + answer) * line.per_byte)
        if refused:
            code = 3 if count > d.limits.get((unit, table), count) else 2
            raise SlaveException(unit, CODES[table] | 0x80, code)
        if bits:
            return [(unit + a) % 3 == 0 for a in range(address, address + count)]
        return [(unit * 1000 + a) & 0xFFFF for a in range(address, address + count)]

    def read_registers(self, station: int, address: int, count: int, func_code: int = 3) -> list[int]:
        return self._read(station, "holding" if func_code == 3 else "input", address, count)

    def read_input_registers(self, station: int, address: int, count: int) -> list[int]:
        return self._read(station, "input", address, count)

    def read_coils(self, station: int, address: int, count: int) -> list[bool]:
        return self._read(station, "coil", address, count)

    def read_input_coils(self, station: int, address: int, count: int) -> list[bool]:
        return self._read(station, "discrete", address, count)


@dataclass
class Result:
    requests: float       # a pass, mean after the first
    seconds: float        # modelled, a pass, mean after the first
    lost: int             # valid points without a value, all passes
    gap: int              # the gap at the end


def run(device: Device, line: Line, gap: int | str, passes: int, scale: float, live_only: bool = False) -> Result:
    if live_only:
        device = Device([p for p in device.points if p[1] not in device.dead], device.holes, device.limits)
    # TCP's round trip is short enough to sleep whole: scaled down, it would drown in the
    # fake's own Python work, which grows with the registers
    master = ModelMaster(device, line, (1.0 if line.per_byte == 0 else scale) if gap == "auto" else 0.0)
    now = [0.0]
    poller = brel_modbus.Poller(master, max_gap=gap, clock=lambda: now[0])
    for name, unit, table, address, fmt in device.points:
        if table in ("coil", "discrete"):
            poller.add(name, unit, table, address)
        else:
            poller.add(name, unit, table, address, fmt)
    valid = {p[0] for p in device.points if device.valid(p[0])}
    lost = 0
    requests, seconds = [], []
    for k in range(passes):
        before_requests = sum(f["requests"] for f in poller.stats.values())
        before = master.spent
        values = poller.poll()
        lost += sum(1 for name in valid if isinstance(values.get(name), BaseException) or name not in values)
        if k:
            requests.append(sum(f["requests"] for f in poller.stats.values()) - before_requests)
            seconds.append(master.spent - before)
        now[0] += 1.0
    stats = next(iter(poller.stats.values()))
    return Result(sum(requests) / len(requests), sum(seconds) / len(seconds), lost, stats["max_gap"])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--passes", type=int, default=40, help="passes per map, line and setting (default 40)")
    parser.add_argument("--scale", type=float, default=0.25,
                        help="auto's reads sleep the modelled time times this (default 0.25)")
    parser.add_argument("--quick", action="store_true", help="8 passes, scale 0.1: checks the harness")
    args = parser.parse_args()
    if args.quick:
        args.passes, args.scale = 8, 0.1
    started = time.monotonic()
    print(f"Poller gap benchmark: 5 device maps x 3 lines x gaps {', '.join(map(str, GAPS))}; "
          f"{args.passes} passes each, the first (learning) left out of the means")
    print(f"  brel_modbus {metadata.version('brel_modbus')}, {platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}; load average {os.getloadavg()[0]:.2f} at start; "
          f"auto's sleeps at scale {args.scale}")
    worst = 0.0
    lost_any = 0
    for map_name, make in MAPS.items():
        device = make()
        print(f"\n{map_name} ({len(device.points)} points)")
        print(f"  {'line':<20} " + "  ".join(f"{('gap ' + str(g)):>14}" for g in GAPS) + "   auto ÷ best fixed")
        for line in LINES:
            results = {g: run(device, line, g, args.passes, args.scale) for g in GAPS}
            best = min(results[g].seconds for g in GAPS if g != "auto")
            ratio = results["auto"].seconds / best
            worst = max(worst, ratio)
            lost_any += sum(r.lost for r in results.values())
            cells = "  ".join(f"{r.requests:5.1f} {r.seconds * 1000:7.1f}ms" for r in results.values())
            print(f"  {line.name:<20} {cells}   {ratio:.3f} (auto gap {results['auto'].gap})")
            if device.dead:
                live = run(device, line, 16, args.passes, 0.0, live_only=True)
                dead_units = len(device.dead)
                tries = results["auto"].seconds - live.seconds
                print(f"  {'':<20} live units alone at gap 16: {live.seconds * 1000:.1f} ms a pass; the "
                      f"{dead_units} dead units cost {tries * 1000:.1f} ms a pass on average with auto "
                      f"({tries / TIMEOUT:.3f} time-outs a pass)")
    print(f"\ncells: requests a pass, modelled ms a pass (means over passes 2..{args.passes})")
    print(f"worst auto ÷ best fixed: {worst:.3f}; valid points without a value in any pass: {lost_any}")
    print(f"total run time {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
