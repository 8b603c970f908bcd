"""Shared pieces of the benchmark: paths, the workloads, the C slave launcher."""

from __future__ import annotations

import contextlib
import os
import select
import subprocess
import sys
import time
from pathlib import Path
from typing import NamedTuple
from collections.abc import Iterator

BENCH = Path(__file__).resolve().parent
BUILD = BENCH / "build"
SLAVE = BUILD / "slave"
CLIENT = BUILD / "client"
MANY_SLAVE = BUILD / "many_slave"
CRC_LIB = BUILD / "libbenchcrc.so"

# The slave's table and the workloads; bench/c/layout.h holds the same.
SLAVE_ID = 1
READ_ADDRESS, READ_COUNT = 0, 10
WRITE_ADDRESS, WRITE_VALUES = 100, [3 * i + 7 for i in range(10)]
COIL_ADDRESS, COIL_COUNT = 0, 100
FLOAT_ADDRESS, FLOAT_VALUE = 200, 1234.5

EXPECTED_READ = [1000 + READ_ADDRESS + i for i in range(READ_COUNT)]
EXPECTED_COILS = [(COIL_ADDRESS + i) % 3 == 0 for i in range(COIL_COUNT)]

WORKLOADS = ("read10", "write10", "coils100", "float")
WORKLOAD_TITLES = {
    "read10": "read 10 holding registers (FC 3)",
    "write10": "write 10 registers (FC 16)",
    "coils100": "read 100 coils (FC 1)",
    "float": "read one float (2 registers, FC 3, decoded)",
}


def check_result(workload: str, value: object) -> str | None:
    """None when a workload's result is what the slave holds, else what is wrong."""
    if workload == "read10":
        ok = list(value) == EXPECTED_READ  # type: ignore[arg-type]
    elif workload == "coils100":
        ok = [bool(b) for b in list(value)[:COIL_COUNT]] == EXPECTED_COILS  # type: ignore[arg-type]
    elif workload == "float":
        ok = value == FLOAT_VALUE
    else:
        ok = True   # writes are checked by the library against the slave's echo
    return None if ok else f"wrong result for {workload}: {value!r:.120}"


class Slave(NamedTuple):
    tcp_port: int | None
    pty_path: str | None


@contextlib.contextmanager
def run_slave(tcp: bool = True, rtu: bool = True, timeout: float = 5.0, fork: bool = False) -> Iterator[Slave]:
    """Start the C slave, yield where it serves, stop it afterwards. With fork, each TCP
    connection is served by a process of its own.

    The slave stops by itself when its stdin pipe closes, so it cannot outlive us.
    """
    if not SLAVE.exists():
        sys.exit(f"{SLAVE} is missing: build it with `make bench-tools`")
    args = [str(SLAVE)] + (["--tcp", "0"] if tcp else []) + (["--rtu"] if rtu else []) + (["--fork"] if fork else [])
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    try:
        port, path = None, None
        deadline = time.monotonic() + timeout
        assert proc.stdout is not None
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
                raise RuntimeError("the C slave did not start in time")
            line = proc.stdout.readline().decode()   # unbuffered: select() sees what is left
            if not line:
                raise RuntimeError(f"the C slave exited with {proc.wait()}")
            word, _, rest = line.strip().partition(" ")
            if word == "tcp":
                port = int(rest)
            elif word == "rtu":
                path = rest
            elif word == "ready":
                break
        yield Slave(port, path)
    finally:
        if proc.stdin:
            proc.stdin.close()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class ManySlave(NamedTuple):
    port: int
    pid: int


def process_cpu_seconds(pid: int) -> float:
    """User + system time of a running process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def run_many_slave(*options: str, port: int = 0, cpu: int | None = None, timeout: float = 5.0) -> Iterator[ManySlave]:
    """Start the many-connection slave (bench/c/many_slave.c) on 127.0.0.1 with the given
    options (--delay-ms N, --reverse, --drop-unit U), pinned to cpu when given; yield its
    port and process id and stop it with SIGTERM afterwards (it also stops when this
    process dies)."""
    if not MANY_SLAVE.exists():
        sys.exit(f"{MANY_SLAVE} is missing: build it with `make bench-tools`")
    proc = subprocess.Popen([str(MANY_SLAVE), str(port), *options], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    try:
        if cpu is not None:
            os.sched_setaffinity(proc.pid, {cpu})
        assert proc.stdout is not None
        found = None
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
                raise RuntimeError("the many-connection slave did not start in time")
            line = proc.stdout.readline().decode()
            if not line:
                raise RuntimeError(f"the many-connection slave exited with {proc.wait()}")
            word, _, rest = line.strip().partition(" ")
            if word == "tcp":
                found = int(rest)
            elif word == "ready" and found is not None:
                break
        yield ManySlave(found, proc.pid)
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def python_env() -> dict[str, str]:
    """Environment for child Python processes: no bytecode writing, unbuffered."""
    env = dict(os.environ)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env["PYTHONUNBUFFERED"] = "1"
    return env


def callgrind_total(out: Path) -> int:
    """The instruction total of a callgrind output file."""
    for line in out.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {out}")


def callgrind_top(out: Path, calls: int, n: int) -> str:
    """The n costliest functions of a callgrind output file, inclusive, per call."""
    import re
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)], check=True,
                          capture_output=True, text=True).stdout
    rows: list[str] = []
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)$", line)
        if not m:
            continue
        name = re.sub(r"\s*\[[^\]]*\]$", "", m.group(3))
        name = re.sub(r"^[^:]*/", "", name).replace("(anonymous namespace)::", "")
        rows.append(f"{int(m.group(1).replace(',', '')) / calls:>9,.0f}  {m.group(2):>6}%  {name[:150]}")
        if len(rows) == n:
            break
    return "\n".join(rows)


def unstripped() -> Path | None:
    """The build tree's copy of the installed module: the same object with its symbols."""
    import sysconfig
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted((BENCH.parent / "build").glob(f"cp3*/brel_modbus{suffix}"), key=lambda p: p.stat().st_mtime)
    return found[-1].parent if found else None
