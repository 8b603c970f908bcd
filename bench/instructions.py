"""Instructions per Modbus TCP call of brel_modbus, counted by callgrind.

    python bench/instructions.py                 # read_registers(0, 10), N = 1000 and 3000
    python bench/instructions.py --top 25        # and the client's top functions (inclusive)
    python bench/instructions.py --operation async_read10   # AsyncModbusTCPMaster, default loop

Starts the C slave (bench/build/slave, `make bench-tools`), then runs the client under
`valgrind --tool=callgrind` twice, with N1 and N2 calls on one connection (only the client
process is traced); instructions per call = (total(N2) - total(N1)) / (N2 - N1), so the
interpreter's start, the imports and the connection cancel out. Instruction counts do not
depend on the machine's load, unlike times.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import callgrind_top, callgrind_total, python_env, run_slave, unstripped  # noqa: E402


def async_client(port: int, calls: int) -> None:
    import asyncio

    import brel_modbus

    async def reads() -> None:
        async with brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, 5.0) as master:
            for _ in range(calls):
                await master.read_registers(0, 10)

    asyncio.run(reads())


def client(port: int, calls: int, operation: str) -> None:
    if operation == "async_read10":
        async_client(port, calls)
        return
    import brel_modbus

    master = brel_modbus.ModbusTCPMaster("127.0.0.1", port, 5.0)
    if operation == "read10":
        for _ in range(calls):
            master.read_registers(0, 10)
    elif operation == "write10":
        values = [3 * i + 7 for i in range(10)]
        for _ in range(calls):
            master.write_registers(100, values)
    elif operation == "coils100":
        for _ in range(calls):
            master.read_coils(0, 100)
    master.close()


def traced(port: int, calls: int, operation: str, out: Path, extra: list[str] | None = None,
           path: Path | None = None) -> int:
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *(extra or []), sys.executable,
           __file__, "--client", str(port), "--calls", str(calls), "--operation", operation]
    env = python_env()
    env["PYTHONHASHSEED"] = "0"   # the same dict layouts in every run
    if path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(path), env.get("PYTHONPATH")]))
    subprocess.run(cmd, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return callgrind_total(out)


# The member's outer frame only: a pattern that also matched the body inside it would toggle
# collection off again on entering the body.
TOGGLE = {"read10": "*retried<*::read_registers>*", "write10": "*retried<*::write_registers>*",
          "coils100": "*retried<*::read_coils>*", "async_read10": "*atcp::read_registers*"}


def top(port: int, calls: int, operation: str, out: Path, n: int) -> str:
    """The functions that cost most per call, inclusive: a third run that counts only inside
    the operation's C++ member (callgrind --toggle-collect), so the figures are per call. The
    installed module is stripped, so this run loads the build tree's copy."""
    path = unstripped()
    if path is None:
        return "no unstripped build of brel_modbus under build/: run `make install` first"
    traced(port, calls, operation, out, ["--collect-atstart=no", f"--toggle-collect={TOGGLE[operation]}"], path)
    return callgrind_top(out, calls, n)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--client", type=int, metavar="PORT", help=argparse.SUPPRESS)
    p.add_argument("--calls", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--operation", default="read10", choices=("read10", "write10", "coils100", "async_read10"))
    p.add_argument("--n1", type=int, default=1000)
    p.add_argument("--n2", type=int, default=3000)
    p.add_argument("--top", type=int, default=0, help="print the top functions by inclusive cost at N2")
    args = p.parse_args()
    if args.client is not None:
        client(args.client, args.calls, args.operation)
        return
    with run_slave(tcp=True, rtu=False) as slave, tempfile.TemporaryDirectory() as tmp:
        assert slave.tcp_port is not None
        first = traced(slave.tcp_port, args.n1, args.operation, Path(tmp, "cg.1"))
        second = traced(slave.tcp_port, args.n2, args.operation, Path(tmp, "cg.2"))
        per_call = (second - first) / (args.n2 - args.n1)
        print(f"{args.operation}: {first:,} instructions at N={args.n1}, {second:,} at N={args.n2}: "
              f"{per_call:,.0f} per call")
        if args.top:
            print(f"top functions, inclusive instructions per call, counted inside the member ({args.n1} calls):")
            print(top(slave.tcp_port, args.n1, args.operation, Path(tmp, "cg.3"), args.top))


if __name__ == "__main__":
    os.environ.setdefault("PYTHONDONTWRITEBYTECODE", "1")
    main()
