"""Poller against one call per point: 500 points over 10 stations of the simulated slave.

    python bench/poller.py [--rounds N] [--passes N] [--point-passes N] [--fake-passes N] [--quick]

The slave is pymodbus's RTU server of examples/simulator.py on a pseudo-terminal pair, in a
child process (so that its work is not in our CPU time), serving stations 1 to 10 from one
server context. Each client reads the same 500 points (50 a station: 30 holding registers of
formats H, h, f, I and i, 10 input registers, 5 coils, 5 discrete inputs) once a pass:

  brel_modbus Poller          Poller over Master: the merged requests of its plan
  brel_modbus per point       Master.read_values / read_coils / read_input_coils, a call a point
  pymodbus per point          ModbusSerialClient, a call a point, convert_from_registers
  minimalmodbus per point     an Instrument a station, a call a point

Before timing, every client's values are compared with the Poller's. Per round (the order of
the clients rotates) each client runs its passes; wall (perf_counter) and CPU (process_time)
per pass, medians over the rounds. Requests per pass: the Poller's from its figures, the
others' one per point.

Then the Poller's own work: passes over a Master whose read members answer at once from lists
made beforehand, the CPU per pass less the fake master's own calls, against the wall time of a
pass on the slave.
"""

from __future__ import annotations

import argparse
import itertools
import os
import platform
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from importlib import metadata
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

STATIONS = range(1, 11)
BAUDRATE = 115200
TIMEOUT = 1.0
HOLDING_FORMATS = ["H", "h", "f", "I", "i"]


def register(station: int, table: str, address: int) -> int:
    """What the slave holds: distinct for every station, table and address (never a NaN float)."""
    return (station * 1000 + (7 if table == "holding" else 3) * address) & 0xFFFF


def bit(station: int, table: str, address: int) -> bool:
    return (station + address + (table == "coil")) % 3 == 0


def points() -> list[tuple[str, int, str, int, str]]:
    """(name, station, table, address, format): 50 points a station."""
    out = []
    for s in STATIONS:
        for i in range(20):          # 0..39, each point two registers apart
            out.append((f"s{s}h{i}", s, "holding", 2 * i, HOLDING_FORMATS[i % 5]))
        for i in range(10):          # 200..229, three apart
            out.append((f"s{s}g{i}", s, "holding", 200 + 3 * i, "H" if i % 2 else "i"))
        for i in range(10):
            out.append((f"s{s}i{i}", s, "input", 5 * i, "H" if i % 3 else "h"))
        for i in range(5):
            out.append((f"s{s}c{i}", s, "coil", 10 * i, "H"))
        for i in range(5):
            out.append((f"s{s}d{i}", s, "discrete", 7 * i, "H"))
    return out


# ---------------------------------------------------------------------------- the slave

def serve() -> None:
    """The child process: the RTU server on one end of a pty pair; prints the other end's path,
    serves until stdin closes."""
    from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusServerContext
    from simulator import PtyRelay, start_serial_server

    def device(s: int) -> Any:
        # pymodbus adds 1 to every protocol address: the blocks start at 1
        return ModbusDeviceContext(
            hr=ModbusSequentialDataBlock(1, [register(s, "holding", a) for a in range(300)]),
            ir=ModbusSequentialDataBlock(1, [register(s, "input", a) for a in range(100)]),
            co=ModbusSequentialDataBlock(1, [bit(s, "coil", a) for a in range(100)]),
            di=ModbusSequentialDataBlock(1, [bit(s, "discrete", a) for a in range(100)]),
        )

    context = ModbusServerContext(devices={s: device(s) for s in STATIONS}, single=False)
    relay = PtyRelay()
    server = start_serial_server(context, relay.paths[0], BAUDRATE)
    print(relay.paths[1], flush=True)
    try:
        sys.stdin.read()
    finally:
        server.stop()
        relay.close()


def start_slave() -> tuple[subprocess.Popen[str], str]:
    proc = subprocess.Popen([sys.executable, __file__, "--serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    assert proc.stdout is not None
    path = proc.stdout.readline().strip()
    if not path:
        raise RuntimeError(f"the slave did not start (exit {proc.wait()})")
    return proc, path


# ---------------------------------------------------------------------------- the clients

Pass = Callable[[], dict[str, Any]]


def brel_poller(path: str) -> tuple[Pass, Callable[[], int], Callable[[], None]]:
    import brel_modbus
    master = brel_modbus.Master(path, BAUDRATE, TIMEOUT)
    poller = brel_modbus.Poller(master, clock=itertools.count(0, 1000).__next__)   # every point due each pass
    for name, s, table, address, fmt in points():
        poller.add(name, s, table, address, fmt)

    def requests() -> int:
        return sum(f["requests"] for f in poller.stats.values())
    return poller.poll, requests, master.close


def brel_per_point(path: str) -> tuple[Pass, Callable[[], None]]:
    import brel_modbus
    m = brel_modbus.Master(path, BAUDRATE, TIMEOUT)
    ops: list[tuple[str, Callable[[], Any]]] = []
    for name, s, table, address, fmt in points():
        if table in ("holding", "input"):
            code = 3 if table == "holding" else 4
            ops.append((name, lambda s=s, a=address, f=fmt, c=code: m.read_values(s, a, f, "ABCD", c)[0]))
        elif table == "coil":
            ops.append((name, lambda s=s, a=address: m.read_coils(s, a, 1)[0]))
        else:
            ops.append((name, lambda s=s, a=address: m.read_input_coils(s, a, 1)[0]))
    return (lambda: {name: op() for name, op in ops}), m.close


def pymodbus_per_point(path: str) -> tuple[Pass, Callable[[], None]]:
    from pymodbus.client import ModbusSerialClient
    c = ModbusSerialClient(path, baudrate=BAUDRATE, timeout=TIMEOUT)
    if not c.connect():
        raise ConnectionError("pymodbus could not connect")
    types = {"h": c.DATATYPE.INT16, "f": c.DATATYPE.FLOAT32, "I": c.DATATYPE.UINT32, "i": c.DATATYPE.INT32}
    convert = c.convert_from_registers

    def checked(rr: Any) -> Any:
        if rr.isError():
            raise OSError(str(rr))
        return rr

    ops: list[tuple[str, Callable[[], Any]]] = []
    for name, s, table, address, fmt in points():
        if table in ("holding", "input"):
            read = c.read_holding_registers if table == "holding" else c.read_input_registers
            count = 2 if fmt in "fIi" else 1
            if fmt == "H":
                ops.append((name, lambda r=read, a=address, s=s: checked(r(a, count=1, device_id=s)).registers[0]))
            else:
                ops.append((name, lambda r=read, a=address, s=s, n=count, t=types[fmt]:
                            convert(checked(r(a, count=n, device_id=s)).registers, t)))
        else:
            read = c.read_coils if table == "coil" else c.read_discrete_inputs
            ops.append((name, lambda r=read, a=address, s=s: checked(r(a, count=1, device_id=s)).bits[0]))
    return (lambda: {name: op() for name, op in ops}), c.close


def minimalmodbus_per_point(path: str) -> tuple[Pass, Callable[[], None]]:
    import minimalmodbus
    instruments = {s: minimalmodbus.Instrument(path, s) for s in STATIONS}   # one shared port
    port = instruments[1].serial
    assert port is not None
    port.baudrate, port.timeout = BAUDRATE, TIMEOUT
    ops: list[tuple[str, Callable[[], Any]]] = []
    for name, s, table, address, fmt in points():
        ins = instruments[s]
        code = {"holding": 3, "input": 4, "coil": 1, "discrete": 2}[table]
        if table in ("coil", "discrete"):
            ops.append((name, lambda i=ins, a=address, c=code: bool(i.read_bit(a, c))))
        elif fmt in "Hh":
            ops.append((name, lambda i=ins, a=address, c=code, sg=fmt == "h": i.read_register(a, 0, c, sg)))
        elif fmt == "f":
            ops.append((name, lambda i=ins, a=address, c=code: i.read_float(a, c)))
        else:
            ops.append((name, lambda i=ins, a=address, c=code, sg=fmt == "i": i.read_long(a, c, sg)))
    return (lambda: {name: op() for name, op in ops}), port.close


# ---------------------------------------------------------------------------- the poller's own work

def poller_own_cpu(passes: int) -> dict[str, float]:
    """CPU per pass of Poller.poll() over a Master that answers at once, and of the fake's own
    calls for the same requests, in microseconds."""
    import brel_modbus

    class InstantMaster(brel_modbus.Master):
        def __init__(self) -> None:   # no channel: answers from lists made beforehand
            self.answers: dict[tuple[str, int, int, int], list[Any]] = {}

        def answer(self, table: str, station: int, address: int, count: int) -> list[Any]:
            key = (table, station, address, count)
            found = self.answers.get(key)
            if found is None:
                make = bit if table in ("coil", "discrete") else register
                found = self.answers[key] = [make(station, table, a) for a in range(address, address + count)]
            return found

        def read_registers(self, station: int, address: int, count: int, func_code: int = 3) -> list[Any]:
            return self.answer("holding", station, address, count)

        def read_input_registers(self, station: int, address: int, count: int) -> list[Any]:
            return self.answer("input", station, address, count)

        def read_coils(self, station: int, address: int, count: int) -> list[Any]:
            return self.answer("coil", station, address, count)

        def read_input_coils(self, station: int, address: int, count: int) -> list[Any]:
            return self.answer("discrete", station, address, count)

    master = InstantMaster()
    poller = brel_modbus.Poller(master, clock=itertools.count(0, 1000).__next__)
    for name, s, table, address, fmt in points():
        poller.add(name, s, table, address, fmt)
    poller.poll()    # warm-up: the answers are made
    method = {"holding": master.read_registers, "input": master.read_input_registers, "coil": master.read_coils,
              "discrete": master.read_input_coils}
    calls = [(method[table], s, a, n) for s, table, a, n, _ in poller.plan()]

    def fake_alone() -> None:
        for read, s, a, n in calls:
            read(s, a, n)

    def cpu_per_pass(work: Callable[[], Any]) -> float:
        start = time.process_time_ns()
        for _ in range(passes):
            work()
        return (time.process_time_ns() - start) / passes / 1000

    poll = cpu_per_pass(poller.poll)
    fake = cpu_per_pass(fake_alone)
    return {"poll_us": poll, "fake_us": fake, "own_us": poll - fake, "requests": len(calls)}


# ---------------------------------------------------------------------------- the run

def measure(run_pass: Pass, passes: int) -> tuple[list[float], list[float]]:
    walls, cpus = [], []
    for _ in range(passes):
        w0, c0 = time.perf_counter(), time.process_time()
        run_pass()
        walls.append(time.perf_counter() - w0)
        cpus.append(time.process_time() - c0)
    return walls, cpus


def same_values(got: dict[str, Any], want: dict[str, Any]) -> str | None:
    if set(got) != set(want):
        return f"names differ: {sorted(set(got) ^ set(want))[:5]}"
    wrong = [n for n in want if got[n] != want[n]]
    return f"{len(wrong)} values differ, e.g. {wrong[0]}: {got[wrong[0]]!r} != {want[wrong[0]]!r}" if wrong else None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--passes", type=int, default=10, help="Poller passes a round")
    parser.add_argument("--point-passes", type=int, default=2, help="passes a round of the one-call-a-point clients")
    parser.add_argument("--fake-passes", type=int, default=3000, help="passes over the instant master")
    parser.add_argument("--quick", action="store_true", help="1 round, few passes: checks the harness")
    args = parser.parse_args()
    if args.serve:
        serve()
        return
    if args.quick:
        args.rounds, args.passes, args.point_passes, args.fake_passes = 1, 2, 1, 200

    started = time.monotonic()
    load_start = os.getloadavg()[0]
    proc, path = start_slave()
    results: dict[str, dict[str, list[float]]] = {}
    requests: dict[str, float] = {}
    try:
        poll, poller_requests, close_poller = brel_poller(path)
        reference = poll()                      # everything is read; the values every client must give
        errors = [n for n, v in reference.items() if isinstance(v, BaseException)]
        if errors:
            raise RuntimeError(f"the Poller failed on {errors[:5]}: {reference[errors[0]]!r}")
        clients: dict[str, tuple[Pass, int]] = {"brel_modbus Poller": (poll, args.passes)}
        closers = [close_poller]
        for label, make in (("brel_modbus per point", brel_per_point), ("pymodbus per point", pymodbus_per_point),
                            ("minimalmodbus per point", minimalmodbus_per_point)):
            run_pass, close = make(path)
            closers.append(close)
            wrong = same_values(run_pass(), reference)
            if wrong:
                raise RuntimeError(f"{label}: {wrong}")
            clients[label] = (run_pass, args.point_passes)
            requests[label] = len(reference)
        names = list(clients)
        for r in range(args.rounds):
            for label in names[r % len(names):] + names[:r % len(names)]:
                run_pass, passes = clients[label]
                before = poller_requests() if label == "brel_modbus Poller" else 0
                walls, cpus = measure(run_pass, passes)
                if label == "brel_modbus Poller":
                    requests[label] = (poller_requests() - before) / passes
                entry = results.setdefault(label, {"wall": [], "cpu": []})
                entry["wall"].append(statistics.median(walls))
                entry["cpu"].append(statistics.median(cpus))
        for close in closers:
            close()
    finally:
        assert proc.stdin is not None
        proc.stdin.close()
        proc.wait(30)
    own = poller_own_cpu(args.fake_passes)

    poller_wall = statistics.median(results["brel_modbus Poller"]["wall"])
    print(f"brel_modbus Poller benchmark: {len(reference)} points over {len(STATIONS)} stations, Modbus RTU on a "
          f"pty pair at {BAUDRATE} baud settings (a pty ignores the rate)")
    print(f"  slave: pymodbus {metadata.version('pymodbus')} RTU server (examples/simulator.py) in a child process; "
          f"minimalmodbus {metadata.version('minimalmodbus')}")
    print(f"  {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()};"
          f" load average {load_start:.2f} at start, {os.getloadavg()[0]:.2f} at end")
    print(f"  medians over {args.rounds} rounds of the per-round medians; the Poller {args.passes} passes a round, "
          f"the others {args.point_passes}")
    print()
    print(f"  {'client':<26}{'requests/pass':>14}{'wall ms/pass':>14}{'cpu ms/pass':>13}{'requests ÷':>12}"
          f"{'wall ÷':>9}")
    for label in names:
        wall = statistics.median(results[label]["wall"])
        cpu = statistics.median(results[label]["cpu"])
        base_requests = requests["brel_modbus Poller"]
        print(f"  {label:<26}{requests[label]:>14.0f}{1000 * wall:>14.1f}{1000 * cpu:>13.1f}"
              f"{requests[label] / base_requests:>12.1f}{wall / poller_wall:>9.1f}")
    print("  (requests ÷, wall ÷: this row's figure over the Poller's)")
    print()
    print(f"The Poller's own work, over a Master that answers at once ({args.fake_passes} passes, "
          f"{own['requests']:.0f} requests a pass):")
    print(f"  Poller.poll() {own['poll_us']:.0f} us CPU a pass; the fake master's own calls {own['fake_us']:.0f} us; "
          f"the Poller's own work {own['own_us']:.0f} us a pass")
    print(f"  = {100 * own['own_us'] / 1e6 / poller_wall:.2f} % of a pass's wall time on the slave "
          f"({1000 * poller_wall:.1f} ms); {100 * own['poll_us'] / 1e6 / poller_wall:.2f} % with the fake's calls")
    print(f"total run time {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
