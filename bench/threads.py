"""Threads that add throughput: N threads, each with its own ModbusTCPMaster connection.

    python bench/threads.py                      # 1, 2, 4 and 16 threads, 5 rounds
    python bench/threads.py --rounds 3 --seconds 0.5
    python bench/threads.py --quick              # checks the harness (~5 s)

Starts the C slave with --fork (each connection served by a process of its own, as a
multi-core server would), then, per round and per thread count, runs a fresh process in
which every thread opens its connection, checks one answer against the slave's table,
waits for the others and calls read_registers(0, 10) until a common deadline. The figure
is all threads' calls divided by the time from the common start to the last thread's end.
For reference, the C floor client runs the same read in 1 process and in 2 processes at
once. The order of the configurations rotates from round to round; ratios to 1 thread are
taken within each round, then the median over the rounds (spread = (max - min) / median).

Goals: 2 threads at least 1.4x the calls per second of 1 thread; 16 threads never below 1.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402

THREADS = (1, 2, 4, 16)
GOALS = {2: 1.4, 16: 1.0}


def client(port: int, threads: int, seconds: float) -> None:
    """One configuration: print {"calls": total, "wall_s": elapsed} as JSON."""
    import threading
    import time

    import brel_modbus

    masters = [brel_modbus.ModbusTCPMaster("127.0.0.1", port, 5.0) for _ in range(threads)]
    for master in masters:
        problem = common.check_result("read10", master.read_registers(common.READ_ADDRESS, common.READ_COUNT))
        if problem:
            sys.exit(problem)
    counts = [0] * threads
    ends = [0.0] * threads
    start = threading.Barrier(threads + 1)
    deadline = [0.0]

    def work(i: int) -> None:
        read = masters[i].read_registers
        start.wait()
        stop = deadline[0]
        n = 0
        while True:
            for _ in range(50):
                read(common.READ_ADDRESS, common.READ_COUNT)
            n += 50
            if time.perf_counter() >= stop:
                break
        counts[i] = n
        ends[i] = time.perf_counter()

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    begin = time.perf_counter()
    deadline[0] = begin + seconds
    start.wait()
    for w in workers:
        w.join()
    for master in masters:
        master.close()
    print(json.dumps({"calls": sum(counts), "wall_s": max(ends) - begin}))


def run_python(port: int, threads: int, seconds: float) -> float:
    out = subprocess.run([sys.executable, __file__, "--client", str(port), "--threads", str(threads),
                          "--seconds", str(seconds)], check=True, capture_output=True, text=True,
                         env=common.python_env()).stdout
    r = json.loads(out.strip().splitlines()[-1])
    return r["calls"] / r["wall_s"]


def run_floor(port: int, processes: int, calls: int) -> float:
    """The C floor client in `processes` processes at once: their calls per second, summed."""
    cmd = [str(common.CLIENT), "floor", "tcp", str(port), "read10", str(calls), str(calls // 10)]
    procs = [subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True) for _ in range(processes)]
    rate = 0.0
    for p in procs:
        out, _ = p.communicate()
        r = json.loads(out.strip().splitlines()[-1])
        if "error" in r:
            raise RuntimeError(f"floor client: {r['error']}")
        rate += r["calls"] / (r["wall_ns"] / 1e9)
    return rate


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--client", type=int, metavar="PORT", help=argparse.SUPPRESS)
    p.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--seconds", type=float, default=1.0, help="timed run per configuration")
    p.add_argument("--quick", action="store_true", help="2 rounds of 0.2 s: checks the harness")
    args = p.parse_args()
    if args.client is not None:
        client(args.client, args.threads, args.seconds)
        return
    if args.quick:
        args.rounds, args.seconds = 2, 0.2
    for tool in (common.SLAVE, common.CLIENT):
        if not tool.exists():
            sys.exit(f"{tool} is missing: build it with `make bench-tools`")

    configs = [("brel", n) for n in THREADS] + [("floor", 1), ("floor", 2)]
    rates: dict[tuple[str, int], list[float]] = {c: [] for c in configs}
    with common.run_slave(tcp=True, rtu=False, fork=True) as slave:
        assert slave.tcp_port is not None
        floor_calls = max(2000, int(25000 * args.seconds))
        for r in range(args.rounds):
            order = configs[r % len(configs):] + configs[:r % len(configs)]
            for kind, n in order:
                if kind == "brel":
                    rates[(kind, n)].append(run_python(slave.tcp_port, n, args.seconds))
                else:
                    rates[(kind, n)].append(run_floor(slave.tcp_port, n, floor_calls))

    def spread(values: list[float]) -> float:
        m = statistics.median(values)
        return (max(values) - min(values)) / m if m else 0.0

    cores = os.cpu_count()
    lines = [f"Threads, each with its own connection to the forking C slave ({cores} cores), "
             f"read 10 registers; {args.rounds} rounds of {args.seconds:g} s",
             f"{'configuration':<28}{'calls/s':>10}{'spread':>8}{'x 1 thread':>12}{'range':>14}"]
    verdicts = []
    for kind, n in configs:
        values = rates[(kind, n)]
        base = rates[(kind, 1)]
        ratios = [v / b for v, b in zip(values, base, strict=True)]
        name = f"brel_modbus, {n} thread{'s' if n > 1 else ''}" if kind == "brel" else \
            f"floor (C), {n} process{'es' if n > 1 else ''}"
        lines.append(f"{name:<28}{statistics.median(values):>10,.0f}{spread(values):>8.0%}"
                     f"{statistics.median(ratios):>12.2f}{min(ratios):>7.2f}-{max(ratios):<6.2f}")
        if kind == "brel" and n in GOALS:
            got = statistics.median(ratios)
            verdicts.append(f"goal: {n} threads >= {GOALS[n]:.1f}x 1 thread: {got:.2f}x "
                            f"({'met' if got >= GOALS[n] else 'NOT met'})")
    text = "\n".join(lines + verdicts)
    print(text)
    common.BUILD.mkdir(exist_ok=True)
    (common.BUILD / "last-threads.txt").write_text(text + "\n")


if __name__ == "__main__":
    main()
