"""Instructions per in-memory RTU read, counted by callgrind: brel_modbus against the C-API floor.

    python bench/rtu_instructions.py              # Master.read_registers(1, 0, 10), N = 2000 and 6000
    python bench/rtu_instructions.py --top 25     # and brel_modbus's top functions (inclusive)

The read of bench/overhead.py: 10 holding registers from station 1 through the in-memory
channel (write() queues the canned answer, read(n) slices it), once through
brel_modbus.Master (the channel given to it by replacing create_serial_instance), once
through bench/build/rtu_floor (`make bench-tools`), once as the channel's own calls alone.
Each runs under `valgrind --tool=callgrind` twice, with N1 and N2 calls; instructions
per call = (total(N2) - total(N1)) / (N2 - N1), so the interpreter's start and the
imports cancel out. Counts do not depend on the machine's load, unlike times.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402
from overhead import READ10_ANSWER, MemoryChannel  # noqa: E402

SUBJECTS = ("brel_modbus", "C-API floor", "channel alone")


def run(subject: str, calls: int) -> None:
    station, address, count = common.SLAVE_ID, common.READ_ADDRESS, common.READ_COUNT
    if subject == "brel_modbus":
        import brel_modbus

        brel_modbus.create_serial_instance = lambda port, baudrate, timeout, **kw: MemoryChannel(READ10_ANSWER)
        master = brel_modbus.Master("memory", 115200, 1.0)
        op = master.read_registers
        args: tuple = (station, address, count)
    elif subject == "C-API floor":
        sys.path.insert(0, str(common.BUILD))
        import rtu_floor

        op = rtu_floor.read_registers
        args = (MemoryChannel(READ10_ANSWER), station, address, count)
    else:
        ch = MemoryChannel(READ10_ANSWER)
        request = READ10_ANSWER[:8]

        def op() -> None:
            _ = ch.in_waiting
            ch.write(request)
            ch.read(5)
            ch.read(0)
            ch.read(20)
        args = ()
    if subject != "channel alone" and op(*args) != common.EXPECTED_READ:
        raise SystemExit(f"{subject}: wrong result")
    for _ in range(calls):
        op(*args)


def traced(subject: str, calls: int, out: Path, extra: list[str] | None = None, path: Path | None = None) -> int:
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *(extra or []), sys.executable,
           __file__, "--subject", subject, "--calls", str(calls)]
    env = common.python_env()
    env["PYTHONHASHSEED"] = "0"   # the same dict layouts in every run
    if path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(path), env.get("PYTHONPATH")]))
    subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return common.callgrind_total(out)


def top(calls: int, out: Path, n: int) -> str:
    """brel_modbus's costliest functions per call, inclusive, counted only inside
    Master.read_registers's body (callgrind --toggle-collect). The installed module is
    stripped, so this run loads the build tree's copy (build/cp3*/, from `make install`)."""
    path = common.unstripped()
    if path is None:
        return "no unstripped build of brel_modbus under build/: run `make install` first"
    # the outer frame only: a pattern that also matched master_read_registers itself would
    # toggle collection off again on entering it
    toggle = "--toggle-collect=*retried<*master_read_registers>*"
    traced("brel_modbus", calls, out, ["--collect-atstart=no", toggle], path)
    return common.callgrind_top(out, calls, n)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--subject", choices=SUBJECTS, help=argparse.SUPPRESS)
    p.add_argument("--calls", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--n1", type=int, default=2000)
    p.add_argument("--n2", type=int, default=6000)
    p.add_argument("--top", type=int, default=0, help="print brel_modbus's top functions by inclusive cost")
    args = p.parse_args()
    if args.subject:
        run(args.subject, args.calls)
        return
    per_call = {}
    with tempfile.TemporaryDirectory() as tmp:
        for subject in SUBJECTS:
            first = traced(subject, args.n1, Path(tmp, "cg.1"))
            second = traced(subject, args.n2, Path(tmp, "cg.2"))
            per_call[subject] = (second - first) / (args.n2 - args.n1)
            print(f"{subject:<14} {per_call[subject]:>9,.0f} instructions per call "
                  f"({first:,} at N={args.n1}, {second:,} at N={args.n2})")
        print(f"brel_modbus / C-API floor: {per_call['brel_modbus'] / per_call['C-API floor']:.2f}")
        if args.top:
            print(f"top functions, inclusive instructions per call inside read_registers ({args.n1} calls):")
            print(top(args.n1, Path(tmp, "cg.3"), args.top))


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    main()
