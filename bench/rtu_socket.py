"""Time per RTU read over a socket: Master on a socket:// URL to a real slave on 127.0.0.1.

    python bench/rtu_socket.py [ROUNDS] [CALLS] [--cpu N]

The slave is pymodbus's RTU-framed TCP server (examples/simulator.py) in a child process;
the client is brel_modbus.Master on ``socket://127.0.0.1:PORT`` through brel_linkkit.
Both are pinned to the same core (``--cpu``, default 1) so that every run has the same
placement. Each round makes CALLS reads of 10 holding registers from station 1; the
figures are the medians over the rounds of the wall time and of the client's CPU time
per call, in microseconds.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

SLAVE = """
import sys, time
sys.path.insert(0, {examples!r})
import simulator
server = simulator.start_tcp_server(simulator.make_context(), rtu_framing=True)
print(server.tcp_port, flush=True)
sys.stdin.read()   # until the client closes the pipe
server.stop()
"""


def main(argv: list[str]) -> None:
    cpu = 1
    if "--cpu" in argv:
        at = argv.index("--cpu")
        cpu = int(argv[at + 1])
        del argv[at:at + 2]
    rounds = int(argv[0]) if argv else 7
    calls = int(argv[1]) if len(argv) > 1 else 400
    cpu = min(cpu, os.cpu_count() - 1)
    os.sched_setaffinity(0, {cpu})
    slave = subprocess.Popen([sys.executable, "-c", SLAVE.format(examples=str(ROOT / "examples"))],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(slave.stdout.readline())
        import brel_modbus

        master = brel_modbus.Master(f"socket://127.0.0.1:{port}", 115200, 1.0)
        expected = master.read_registers(1, 0, 10)
        for _ in range(50):
            assert master.read_registers(1, 0, 10) == expected
        walls, cpus = [], []
        for _ in range(rounds):
            w0, c0 = time.perf_counter(), time.process_time()
            for _ in range(calls):
                master.read_registers(1, 0, 10)
            walls.append((time.perf_counter() - w0) / calls * 1e6)
            cpus.append((time.process_time() - c0) / calls * 1e6)
        master.close()
        print(f"rtu over socket, read 10: wall {statistics.median(walls):.1f} us/call, "
              f"client cpu {statistics.median(cpus):.1f} us/call "
              f"(rounds {rounds} x {calls}, cpu {cpu}; walls {[round(w, 1) for w in walls]})")
    finally:
        slave.stdin.close()
        slave.wait(timeout=15)


if __name__ == "__main__":
    main(sys.argv[1:])
