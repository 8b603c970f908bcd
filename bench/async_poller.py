"""AsyncPoller over many devices, some of them dead: does a dead unit cost the live ones anything?

    python bench/async_poller.py                         # 1000 devices, 10 % dead, 0.5 s time-out
    python bench/async_poller.py --devices 200 --passes 20 --timeout 0.2
    python bench/async_poller.py --quick                 # checks the harness (~10 s)

Each device is one AsyncModbusTCPMaster connection to the many-connection slave
(bench/c/many_slave.c: epoll, one process), pinned to one core; the poller runs in this
process, pinned to the other. Every device has three points (holding registers 0 and 9, one
request of 10 registers; holding register 100, a second request), all of one period
(--period, 1 s), and poll() is called at each period's slot: every pass is a full pass, and a
unit that is down is retried after its back-off (from one period, doubling up to 60 s).
The slave started with --drop-unit U never answers unit U: the dead devices are the ones that
address unit U (the live ones address unit 1).

Two runs side by side, one after the other on a fresh slave each: all devices live, and the
same number of devices with --dead of them dead. Figures: the median pass time of the live
run; for the dead run the first pass (every dead device times out), then the median and the
longest pass after --warm passes, and how many of those passes included a retry of a dead
unit (a pass with one waits for its time-out). Goal: every pass, the first included, no
longer than 1.1 x the live median plus one time-out (a time-out ends a unit's pass: its
other read is not sent). Results go to the terminal and to
bench/build/async-poller-last.txt.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
from scale import OPEN_BATCH, raise_nofile  # noqa: E402

import brel_modbus  # noqa: E402

DEAD_UNIT = 99


async def run_passes(port: int, devices: int, dead: int, passes: int, timeout: float,
                     period: float) -> list[tuple[float, int]]:
    """(seconds, requests sent to dead units) of each pass."""
    masters = [brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, timeout, DEAD_UNIT if i < dead else 1)
               for i in range(devices)]
    for first in range(0, devices, OPEN_BATCH):
        await asyncio.gather(*(m.connect() for m in masters[first:first + OPEN_BATCH]))
    poller = brel_modbus.AsyncPoller()
    for i, master in enumerate(masters):
        poller.add(master, f"d{i}.a", master.station, "holding", 0, period=period)
        poller.add(master, f"d{i}.b", master.station, "holding", 9, period=period)
        poller.add(master, f"d{i}.c", master.station, "holding", 100, period=period)
    dead_masters = masters[:dead]
    figures = []
    loop = asyncio.get_running_loop()
    first_slot = loop.time()
    try:
        for n in range(passes):
            await asyncio.sleep(max(0.0, first_slot + n * period - loop.time()))
            before = sum(poller.stats[m][DEAD_UNIT]["requests"] for m in dead_masters)
            start = time.perf_counter()
            values = await poller.poll()
            seconds = time.perf_counter() - start
            tried = sum(poller.stats[m][DEAD_UNIT]["requests"] for m in dead_masters) - before
            for i in range(dead, devices):   # many_slave: holding register a holds a
                if (values[f"d{i}.a"], values[f"d{i}.b"], values[f"d{i}.c"]) != (0, 9, 100):
                    raise SystemExit(f"device {i}: wrong values {values[f'd{i}.a']!r}, {values[f'd{i}.b']!r}")
            for i in range(dead):
                if not isinstance(values[f"d{i}.a"], brel_modbus.ModbusTimeoutError):
                    raise SystemExit(f"dead device {i} read {values[f'd{i}.a']!r}")
            figures.append((seconds, tried))
    finally:
        for master in masters:
            await master.close()
    return figures


def measure(devices: int, dead: int, passes: int, timeout: float, period: float) -> list[tuple[float, int]]:
    with common.run_many_slave("--drop-unit", str(DEAD_UNIT), cpu=0) as slave:
        return asyncio.run(run_passes(slave.port, devices, dead, passes, timeout, period))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--devices", type=int, default=1000)
    ap.add_argument("--dead", type=float, default=0.10, help="share of the devices that never answer")
    ap.add_argument("--passes", type=int, default=30)
    ap.add_argument("--period", type=float, default=1.0, help="seconds between passes")
    ap.add_argument("--warm", type=int, default=10, help="passes left out of the steady figures")
    ap.add_argument("--timeout", type=float, default=0.5)
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    if args.quick:
        args.devices, args.passes, args.warm, args.timeout, args.period = 100, 12, 4, 0.2, 0.3
    raise_nofile()
    if hasattr(os, "sched_setaffinity") and len(os.sched_getaffinity(0)) > 1:
        os.sched_setaffinity(0, {1})
    dead = round(args.devices * args.dead)

    live = measure(args.devices, 0, args.passes, args.timeout, args.period)
    with_dead = measure(args.devices, dead, args.passes, args.timeout, args.period)
    live_median = statistics.median(s for s, _ in live[args.warm:])
    steady = with_dead[args.warm:]
    steady_median = statistics.median(s for s, _ in steady)
    longest = max(s for s, _ in steady)
    retried = sum(1 for _, tried in steady if tried)
    bound = 1.1 * live_median + args.timeout
    first = with_dead[0][0]
    longest_of_all = max(s for s, _ in with_dead)
    lines = [
        f"AsyncPoller, {args.devices} devices (one connection each), {dead} dead, time-out {args.timeout} s, "
        f"{args.passes} passes every {args.period} s ({args.warm} warm-up), "
        f"brel_modbus {brel_modbus.__version__}",
        f"  all live: median pass {live_median * 1e3:.1f} ms",
        f"  {dead} dead: first pass {first * 1e3:.1f} ms "
        "(every dead unit times out once: its second read is not sent)",
        f"  {dead} dead, steady: median pass {steady_median * 1e3:.1f} ms "
        f"({steady_median / live_median:.2f}x live), longest {longest * 1e3:.1f} ms, "
        f"{retried} of {len(steady)} passes retried a dead unit",
        f"  goal: every pass, the first included, <= 1.1 x live + one time-out = {bound * 1e3:.1f} ms: "
        f"longest {longest_of_all * 1e3:.1f} ms, {'met' if longest_of_all <= bound else 'NOT met'}",
    ]
    text = "\n".join(lines)
    print(text)
    out = Path(__file__).resolve().parent / "build" / "async-poller-last.txt"
    out.parent.mkdir(exist_ok=True)
    out.write_text(text + "\n")


if __name__ == "__main__":
    main()
