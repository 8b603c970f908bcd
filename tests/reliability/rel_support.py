"""Shared helpers of the reliability tests: counts, memory gauges, RTU frames and a raw
RTU server on 127.0.0.1.

The frame helpers, the scripted TCP server and the pymodbus slaves already exist beside
the other tests and in examples/; they are imported from there, not copied.
"""

from __future__ import annotations

import gc
import os
import pathlib
import socket
import sys
import time
import tracemalloc

ROOT = pathlib.Path(__file__).resolve().parents[2]
for folder in (ROOT / "examples", ROOT / "tests" / "rtu", ROOT / "tests" / "tcp"):
    if str(folder) not in sys.path:
        sys.path.append(str(folder))

from rtu_support import crc16  # noqa: E402
from simulator import (  # noqa: E402
    HOLDING, LoopServer, PtyRelay, SimulatedSlaves, make_context, start_serial_server, start_tcp_server,
)
from tcp_support import WAIT, ScriptedServer, mbap, read_exactly, read_request, scripted_servers  # noqa: E402

__all__ = [
    "HOLDING", "LoopServer", "PtyRelay", "SimulatedSlaves", "ScriptedServer", "WAIT", "crc16", "make_context",
    "mbap", "read_exactly", "read_request", "scripted_servers", "start_serial_server", "start_tcp_server",
]


def count_from_env(name: str, default: int) -> int:
    """An iteration count: the environment variable if set (make leak, make soak), else the default."""
    return int(os.environ.get(name, default))


# ---- RTU frames ---------------------------------------------------------------------------

def with_crc(data: bytes) -> bytes:
    crc = crc16(data)
    return bytes(data) + bytes((crc & 0xFF, crc >> 8))


def read_rtu_request(conn: socket.socket) -> bytes:
    """One RTU request as a master sends it: 8 bytes, or 9 + 2n for function code 16."""
    head = read_exactly(conn, 7)
    rest = read_exactly(conn, head[6] + 2) if head[1] == 16 else read_exactly(conn, 1)
    return head + rest


def rtu_answer(request: bytes) -> bytes:
    """The normal answer of a well-behaved slave whose register i holds i and whose coil i is on for odd i."""
    station, code = request[0], request[1]
    address, count = int.from_bytes(request[2:4], "big"), int.from_bytes(request[4:6], "big")
    if code in (3, 4):
        data = b"".join(((address + i) & 0xFFFF).to_bytes(2, "big") for i in range(count))
        return with_crc(bytes((station, code, len(data))) + data)
    if code in (1, 2):
        bits = [(address + i) % 2 == 1 for i in range(count)]
        data = bytes(sum(1 << j for j, on in enumerate(bits[k:k + 8]) if on) for k in range(0, count, 8))
        return with_crc(bytes((station, code, len(data))) + data)
    pdu = pdu_answer(request[1:-2])
    return with_crc(bytes((station,)) + pdu)


IDENTIFICATION = {0: b"brel", 1: b"SIM", 2: b"1.0"}


def pdu_answer(pdu: bytes) -> bytes:
    """The answer PDU to a write (15, 16, 5, 6: the echo of address and value or quantity;
    22: the echo of address and masks), a read/write (23, registers holding their address)
    or a read device identification (43/14: the basic objects on one page)."""
    code = pdu[0]
    if code == 23:
        address, count = int.from_bytes(pdu[1:3], "big"), int.from_bytes(pdu[3:5], "big")
        data = b"".join(((address + i) & 0xFFFF).to_bytes(2, "big") for i in range(count))
        return bytes((23, len(data))) + data
    if code == 43:
        objects = b"".join(bytes((k, len(v))) + v for k, v in IDENTIFICATION.items())
        return bytes((43, 0x0E, pdu[2], 0x01, 0, 0, len(IDENTIFICATION))) + objects
    if code == 22:
        return pdu[:7]
    return pdu[:5]


def rtu_url(server: ScriptedServer) -> str:
    return f"socket://127.0.0.1:{server.port}"


def free_port() -> int:
    """A port on 127.0.0.1 where nothing listens (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- memory gauges ----------------------------------------------------------------------------

def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Gauge:
    """Memory and live objects at one moment: traced heap, resident size, interpreter
    blocks and the objects the collector knows of."""

    def __init__(self) -> None:
        gc.collect()
        self.traced = tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0
        self.resident = resident_bytes()
        self.blocks = sys.getallocatedblocks()
        self.objects = len(gc.get_objects())

    def growth_since(self, before: Gauge) -> dict[str, int]:
        return {
            "traced": self.traced - before.traced,
            "resident": self.resident - before.resident,
            "blocks": self.blocks - before.blocks,
            "objects": self.objects - before.objects,
        }


def elapsed(function, *args, **kwargs):
    """(exception or None, seconds) of one call."""
    start = time.monotonic()
    try:
        function(*args, **kwargs)
    except BaseException as exc:  # returned to the test, which judges it
        return exc, time.monotonic() - start
    return None, time.monotonic() - start


# ---- pymodbus slaves in a child process ---------------------------------------------------------

CHILD = """
import json, sys
sys.path.insert(0, sys.argv[1])
from simulator import SimulatedSlaves
with SimulatedSlaves() as slaves:
    print(json.dumps({"tcp_port": slaves.tcp_port, "rtu_url": slaves.rtu_url,
                      "serial_port": slaves.serial_port}), flush=True)
    sys.stdin.read()          # until the parent closes the pipe
"""


class ChildSlaves:
    """The simulated pymodbus slaves (TCP, RTU over TCP, RTU over a pty pair) served by a
    child process, so that the memory of this process is the master's alone."""

    def __enter__(self) -> ChildSlaves:
        import json
        import select
        import subprocess

        self.process = subprocess.Popen([sys.executable, "-c", CHILD, str(ROOT / "examples")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 60)
        if not ready:
            self.__exit__()
            raise RuntimeError("the slave process did not start")
        line = self.process.stdout.readline()
        if not line:
            self.__exit__()
            raise RuntimeError("the slave process ended at start")
        info = json.loads(line)
        self.tcp_port, self.rtu_url, self.serial_port = info["tcp_port"], info["rtu_url"], info["serial_port"]
        return self

    def __exit__(self, *exc: object) -> None:
        import subprocess

        self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        self.process.stdout.close()
