"""Run every comparison of the benchmark in one run and print the table.

    python bench/run.py [--rounds N] [--quick] [--sections tcp,rtu,overhead]

Starts the C slave (Modbus TCP on 127.0.0.1 and RTU on a pty), then for each round runs
every client in its own process on every workload (the order of the clients rotates from
round to round), then the in-memory and CRC comparisons. Prints medians over the rounds
and ratios; writes the raw figures to bench/build/last-run.json and the table to
bench/build/last-run.txt.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from importlib import metadata
from typing import Any

import common
from common import WORKLOAD_TITLES, WORKLOADS

PY = sys.executable
BREL = "brel_modbus"
C_FACTOR = 5          # the C clients make this many times the Python clients' calls

# (name, kind) in table order; kind "c" runs bench/build/client, "py" bench/clients.py
TCP_CLIENTS = [("floor (C)", "c"), ("libmodbus (C)", "c"), (BREL, "py"), ("pymodbus", "py"),
               ("pyModbusTCP", "py")]
RTU_CLIENTS = [("floor (C)", "c"), ("libmodbus (C)", "c"), (BREL, "py"), (BREL + " FixMaster", "py"),
               ("pymodbus", "py"), ("minimalmodbus", "py")]

# Each library's own default inter-frame handling on the serial line.
RTU_GAP = {
    "floor (C)": ("none", "writes at once; reads until the whole answer is in"),
    "libmodbus (C)": ("none", "writes at once; select() then read() for each part of the answer"),
    BREL: ("1.75 ms", "brel_linkkit waits until 1.75 ms (3.5 chars, 1.75 ms above 19200 baud) "
                      "have passed since the last byte before each write"),
    BREL + " FixMaster": ("1.75 ms", "as brel_modbus (same Master and channel underneath)"),
    "pymodbus": ("poll 1ms", "no gap before a write; polls in_waiting every 1 ms until it stops growing"),
    "minimalmodbus": ("1.75 ms", "sleeps until 1.75 ms have passed since its last read; "
                                 "resets both buffers before each request"),
}


def client_command(name: str, kind: str, transport: str, target: str, calls: int, warmup: int) -> list[str]:
    workloads = ",".join(WORKLOADS)
    if kind == "c":   # cheap per call: more calls keep their rounds long enough to measure
        impl = "floor" if name.startswith("floor") else "libmodbus"
        return [str(common.CLIENT), impl, transport, target, workloads, str(C_FACTOR * calls), str(C_FACTOR * warmup)]
    return [PY, str(common.BENCH / "clients.py"), name, transport, target, workloads, str(calls), str(warmup)]


def run_json_lines(cmd: list[str], timeout: float) -> tuple[list[dict[str, Any]], str | None]:
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=common.python_env())
    except subprocess.TimeoutExpired:
        return [], f"timed out after {timeout:.0f} s"
    recs = []
    for line in p.stdout.splitlines():
        if line.startswith("{"):
            recs.append(json.loads(line))
    if p.returncode != 0 or not recs:
        tail = (p.stderr.strip().splitlines() or ["no output"])[-1]
        return recs, f"exit {p.returncode}: {tail[:160]}"
    return recs, None


def med(xs: list[float]) -> float:
    return statistics.median(xs)


def fmt(x: float | None, digits: int = 1) -> str:
    if x is None:
        return "n/a"
    if x >= 1000:
        return f"{x:,.0f}"
    return f"{x:.{digits}f}"


def rfmt(x: float) -> str:
    return f"{x:.0f}" if x >= 100 else f"{x:.1f}" if x >= 10 else f"{x:.2f}" if x >= 0.01 else f"{x:.4f}"


def ratio(a: float | None, b: float | None) -> str:
    return "n/a" if a is None or b is None or b == 0 else rfmt(a / b)


class Results:
    def __init__(self) -> None:
        # (transport, client, workload) -> list of (wall_ns per call, cpu_ns per call)
        self.samples: dict[tuple[str, str, str], list[tuple[float, float]]] = {}
        self.errors: dict[tuple[str, str, str], str] = {}
        self.overhead: list[dict[str, Any]] = []

    def add(self, transport: str, client: str, recs: list[dict[str, Any]], error: str | None) -> None:
        seen = set()
        for r in recs:
            key = (transport, client, r["workload"])
            seen.add(r["workload"])
            if "error" in r:
                self.errors.setdefault(key, r["error"])
            else:
                self.samples.setdefault(key, []).append((r["wall_ns"] / r["calls"], r["cpu_ns"] / r["calls"]))
        for w in WORKLOADS:
            if w not in seen:
                self.errors.setdefault((transport, client, w), error or "no result")

    def paired_ratio(self, transport: str, a: str, b: str, workload: str, idx: int) -> float | None:
        """Median over the rounds of a's figure / b's figure in the same round (idx 0 wall, 1 cpu).

        Both were measured within one round, so drift of the machine between rounds
        (other builds on a shared machine) cancels out of the ratio.
        """
        sa = self.samples.get((transport, a, workload))
        sb = self.samples.get((transport, b, workload))
        if not sa or not sb:
            return None
        if len(sa) != len(sb):   # a round failed for one of them: fall back to the medians
            return med([x[idx] for x in sa]) / med([x[idx] for x in sb])
        return med([x[idx] / y[idx] for x, y in zip(sa, sb, strict=True)])

    def medians(self, transport: str, client: str, workload: str) -> tuple[float, float, float] | None:
        s = self.samples.get((transport, client, workload))
        if not s:
            return None
        walls = [w for w, _ in s]
        spread = (max(walls) - min(walls)) / med(walls) * 100
        return med(walls) / 1000, med([c for _, c in s]) / 1000, spread   # microseconds


def transport_tables(res: Results, transport: str, clients: list[tuple[str, str]], calls: int,
                     rounds: int, out: list[str]) -> None:
    names = [n for n, _ in clients]
    width = max(len(n) for n in names) + 2
    rtu = transport == "rtu"
    for w in WORKLOADS:
        out.append("")
        out.append(f"{'Modbus RTU' if rtu else 'Modbus TCP'}, {WORKLOAD_TITLES[w]}")
        head = (f"  {'client':<{width}}{'wall us':>9}{'calls/s':>9}{'cpu us':>8}{'spread':>7}"
                f"{'wall/floor':>11}{'cpu/floor':>10}{'brel÷ wall':>11}{'brel÷ cpu':>10}")
        if rtu:
            head += f"  {'inter-frame':<10}"
        out.append(head)
        for name in names:
            m = res.medians(transport, name, w)
            gap = f"  {RTU_GAP[name][0]:<10}" if rtu else ""
            if m is None:
                err = res.errors.get((transport, name, w), "no result")
                out.append(f"  {name:<{width}}{'n/a':>9}  ({err}){gap}")
                continue
            wall, cpu, spread = m
            pr = lambda a, b, i, w=w: ratio(res.paired_ratio(transport, a, b, w, i), 1.0)  # noqa: E731
            out.append(
                f"  {name:<{width}}{fmt(wall):>9}{1e6 / wall:>9,.0f}{fmt(cpu):>8}{spread:>6.0f}%"
                f"{pr(name, 'floor (C)', 0):>11}{pr(name, 'floor (C)', 1):>10}"
                f"{pr(BREL, name, 0):>11}{pr(BREL, name, 1):>10}{gap}")
    if rtu:
        out.append("")
        out.append("  inter-frame handling, each library's default:")
        for name in names:
            out.append(f"    {name}: {RTU_GAP[name][1]}")


def tcp_goals(res: Results, out: list[str]) -> None:
    """brel_modbus against the C floor client on the TCP read of 10 registers, per round:
    client CPU (brel / floor, goal at most 1.10) and call rate (floor wall / brel wall, that
    is brel's calls per second / the floor's, goal at least 0.95)."""
    a = res.samples.get(("tcp", BREL, "read10"))
    b = res.samples.get(("tcp", "floor (C)", "read10"))
    out.append("")
    out.append("== Goals against the C floor client, Modbus TCP read 10 registers (per-round ratios) ==")
    if not a or not b or len(a) != len(b):
        out.append("  n/a (a round is missing for one of the two clients)")
        return
    for title, values, goal, at_most in (
            ("client CPU, brel_modbus / floor", [x[1] / y[1] for x, y in zip(a, b, strict=True)], 1.10, True),
            ("call rate, brel_modbus / floor", [y[0] / x[0] for x, y in zip(a, b, strict=True)], 0.95, False)):
        m = med(values)
        met = m <= goal if at_most else m >= goal
        out.append(f"  {title:<34}{m:>6.2f}  (range {min(values):.2f}-{max(values):.2f}; goal "
                   f"{'<=' if at_most else '>='} {goal:.2f}: {'met' if met else 'NOT met'})")
    out.append("  user instructions per call: `python bench/instructions.py` (goal <= 4,000)")


def paired(a: list[float] | None, b: list[float] | None) -> str:
    """Median of per-round ratios a/b (rounds interleave the implementations)."""
    if not a or not b:
        return "n/a"
    if len(a) != len(b):
        return ratio(med(a), med(b))
    return rfmt(med([x / y for x, y in zip(a, b, strict=True)]))


def overhead_tables(res: Results, out: list[str]) -> None:
    mem = {r["client"]: r for r in res.overhead if r.get("section") == "inmemory"}
    crc = [r for r in res.overhead if r.get("section") == "crc"]
    if mem:
        out.append("")
        out.append("Without I/O: read 10 holding registers through an in-memory channel")
        out.append(f"  {'client':<16}{'wall ns':>10}{'cpu ns':>10}{'less channel':>14}{'brel÷ wall':>11}"
                   f"{'brel÷ cpu':>10}{'calls':>9}")
        med_of = {n: (med(r["wall_ns"]), med(r["cpu_ns"])) for n, r in mem.items() if "wall_ns" in r}
        chan = med_of.get("channel alone")
        brel = mem.get(BREL, {})
        for name in ("channel alone", "C-API floor", BREL, "minimalmodbus"):
            if name not in mem:
                continue
            if name not in med_of:
                out.append(f"  {name:<16}{'n/a':>10}  ({mem[name]['error']})")
                continue
            wall, cpu = med_of[name]
            less = "" if name == "channel alone" or not chan else fmt(wall - chan[0], 0)
            out.append(f"  {name:<16}{fmt(wall, 0):>10}{fmt(cpu, 0):>10}{less:>14}"
                       f"{paired(brel.get('wall_ns'), mem[name]['wall_ns']):>11}"
                       f"{paired(brel.get('cpu_ns'), mem[name]['cpu_ns']):>10}"
                       f"{mem[name]['calls']:>9}")
        out.append("  (minimalmodbus's 1.75 ms silent period switched off; \"less channel\" subtracts "
                   "the fake channel's own cost)")
        for r in res.overhead:
            if r.get("section") == "inmemory-ratio":
                cpu = sorted(r["cpu"])
                out.append(f"  {r['of']} / {r['to']}: {rfmt(med(cpu))} cpu (rounds {rfmt(cpu[0])}-{rfmt(cpu[-1])}), "
                           f"{rfmt(med(r['wall']))} wall")
    if crc:
        out.append("")
        out.append("CRC-16/MODBUS, nanoseconds per call (Python loop included except for \"C loop\")")
        impls = list(dict.fromkeys(r["impl"] for r in crc))
        sizes = sorted({r["size"] for r in crc if "size" in r})
        out.append(f"  {'implementation':<16}" + "".join(f"{f'{s} B':>11}{'brel÷':>8}" for s in sizes))
        by = {(r["impl"], r.get("size")): r for r in crc}
        for impl in impls:
            errs = [r for r in crc if r["impl"] == impl and "error" in r]
            if errs:
                out.append(f"  {impl:<16}{'n/a':>11}  ({errs[0]['error']})")
                continue
            row = f"  {impl:<16}"
            for s in sizes:
                r = by.get((impl, s))
                b = by.get((BREL, s))
                v = med(r["ns"]) if r else None
                row += f"{fmt(v):>11}{paired(b and b.get('ns'), r and r['ns']):>8}"
            out.append(row)


def versions() -> str:
    parts = [f"Python {platform.python_version()}"]
    for pkg in ("pymodbus", "minimalmodbus", "pyModbusTCP", "pyserial"):
        try:
            parts.append(f"{pkg} {metadata.version(pkg)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{pkg} missing")
    try:
        lm = subprocess.run(["pkg-config", "--modversion", "libmodbus"], capture_output=True, text=True).stdout.strip()
        parts.append(f"libmodbus {lm or '?'}")
    except OSError:
        pass
    return ", ".join(parts)


def machine() -> str:
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name")), "?")
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--quick", action="store_true", help="2 rounds, fewer calls: checks the harness")
    ap.add_argument("--sections", default="tcp,rtu,overhead")
    ap.add_argument("--tcp-calls", type=int, default=2000)
    ap.add_argument("--rtu-calls", type=int, default=300)
    ap.add_argument("--memory-calls", type=int, default=50000,
                    help="most calls a round through the in-memory channel (fewer for slow clients)")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.tcp_calls, args.rtu_calls, args.memory_calls = 2, 300, 60, 3000
    sections = set(args.sections.split(","))
    if not common.CLIENT.exists():
        sys.exit(f"{common.CLIENT} is missing: build it with `make bench-tools`")

    res = Results()
    started = time.time()
    load0 = os.getloadavg()
    plan = []
    if "tcp" in sections:
        plan.append(("tcp", TCP_CLIENTS, args.tcp_calls, max(20, args.tcp_calls // 10)))
    if "rtu" in sections:
        plan.append(("rtu", RTU_CLIENTS, args.rtu_calls, max(10, args.rtu_calls // 10)))
    if plan:
        with common.run_slave(tcp="tcp" in sections, rtu="rtu" in sections) as slave:
            for r in range(args.rounds):
                print(f"round {r + 1}/{args.rounds} ...", file=sys.stderr, flush=True)
                for transport, clients, calls, warmup in plan:
                    target = str(slave.tcp_port) if transport == "tcp" else str(slave.pty_path)
                    k = r % len(clients)
                    for name, kind in clients[k:] + clients[:k]:
                        cmd = client_command(name, kind, transport, target, calls, warmup)
                        recs, err = run_json_lines(cmd, timeout=120)
                        res.add(transport, name, recs, err)
    if "overhead" in sections:
        print("in-memory and CRC ...", file=sys.stderr, flush=True)
        recs, err = run_json_lines([PY, str(common.BENCH / "overhead.py"), str(args.rounds), str(args.memory_calls)],
                                   timeout=600)
        res.overhead = recs
        if err:
            res.overhead.append({"section": "error", "error": err})

    out = [f"brel_modbus benchmark: medians of {args.rounds} rounds, each client in its own process",
           f"  {machine()}; load average {load0[0]:.2f} at start, {os.getloadavg()[0]:.2f} at end",
           f"  {versions()}",
           "  wall/cpu: microseconds per call; cpu = the client process's user + system time;",
           "  spread = (max - min) / median of the wall figures; x/floor = this row / the floor;",
           "  brel÷ = brel_modbus's figure / this row's (below 1: brel_modbus takes less);",
           "  ratios are medians of per-round ratios (both sides measured in the same round)"]
    for transport, clients, calls, _ in plan:
        out.append("")
        where = "127.0.0.1" if transport == "tcp" else "a pty pair at 115200 baud settings (a pty ignores the rate)"
        out.append(f"== Modbus {transport.upper()} on {where}, C slave on libmodbus; "
                   f"{calls} calls a round ({C_FACTOR * calls} for the C clients) ==")
        transport_tables(res, transport, clients, calls, args.rounds, out)
    if res.overhead:
        out.append("")
        out.append("== Library overhead without I/O ==")
        overhead_tables(res, out)
        for r in res.overhead:
            if r.get("section") == "error":
                out.append(f"  overhead run failed: {r['error']}")
    if "tcp" in sections:
        tcp_goals(res, out)
    out.append("")
    out.append(f"total run time {time.time() - started:.0f} s")
    text = "\n".join(out)
    print(text)
    common.BUILD.mkdir(exist_ok=True)
    (common.BUILD / "last-run.txt").write_text(text + "\n")
    raw = {"samples": {"|".join(k): v for k, v in res.samples.items()},
           "errors": {"|".join(k): v for k, v in res.errors.items()},
           "overhead": res.overhead, "args": vars(args)}
    (common.BUILD / "last-run.json").write_text(json.dumps(raw, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
