"""Client CPU per read for RTU over TCP: Master on rtu+tcp:// and on socket://, AsyncMaster on
rtu+tcp:// (default event loop, and uvloop when installed), beside ModbusTCPMaster.

    python bench/rtu_tcp.py [ROUNDS] [CALLS] [--client-cpu N] [--slave-cpu M]
    perf stat --no-inherit -e task-clock python bench/rtu_tcp.py --only tcp|rtu+tcp|socket|async CALLS

One slave process serves two ports on 127.0.0.1: Modbus TCP (MBAP) and RTU frames over
TCP. It answers from a table of whole answers made once per distinct request, so that it
does as little as a slave can and the figures are the client's. The slave is pinned to
core M (default 0), the client to core N (default 1): different cores, the same placement
for every client. Each round makes CALLS reads of 10 holding registers from station 1
with each client in turn; the figures are the medians over the rounds of the client's CPU
time and of the wall time per call, in microseconds, and the ratio of each client's CPU
per call to ModbusTCPMaster's and to Master's on rtu+tcp://. AsyncMaster's reads are
awaited one after the other by one coroutine on an event loop kept for the whole run.

``--only CLIENT CALLS`` makes CALLS reads with one client and prints nothing: for a CPU
count of the client process alone (``perf stat --no-inherit``), where the scheduler's noise
of a shared machine weighs less; two counts with different CALLS give the cost per call
without the interpreter's start.
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time

SLAVE = r"""
import os, selectors, socket, struct, sys
os.sched_setaffinity(0, {{{cpu}}})

def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes((crc & 0xFF, crc >> 8))

registers = [1000 + i for i in range(200)]

def pdu_answer(pdu):
    code, address, count = struct.unpack(">BHH", pdu[:5])
    if code != 3 or address + count > len(registers):
        return bytes((code | 0x80, 2))
    return struct.pack(">BB%dH" % count, 3, 2 * count, *registers[address:address + count])

answers = {{}}
def rtu(frame):
    if frame not in answers:
        body = frame[:1] + pdu_answer(frame[1:-2])
        answers[frame] = body + crc16(body)
    return answers[frame]

def mbap(frame):
    key = frame[6:]
    if key not in answers:
        pdu = pdu_answer(frame[7:])
        answers[key] = struct.pack(">HB", len(pdu) + 1, frame[6]) + pdu
    return frame[:4] + answers[key]

sel = selectors.DefaultSelector()
listeners = {{}}
for kind in ("tcp", "rtu"):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen()
    listeners[s] = kind
    sel.register(s, selectors.EVENT_READ, kind)
    print(kind, s.getsockname()[1], flush=True)
sel.register(sys.stdin, selectors.EVENT_READ, "stdin")
while True:
    for key, _ in sel.select():
        if key.data == "stdin":
            sys.exit(0)
        if key.fileobj in listeners:
            conn, _ = key.fileobj.accept()
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sel.register(conn, selectors.EVENT_READ, key.data)
            continue
        frame = key.fileobj.recv(512)
        if not frame:
            sel.unregister(key.fileobj)
            key.fileobj.close()
            continue
        key.fileobj.sendall(rtu(frame) if key.data == "rtu" else mbap(frame))
"""


def option(argv: list[str], name: str, default: int) -> int:
    if name in argv:
        at = argv.index(name)
        value = int(argv[at + 1])
        del argv[at:at + 2]
        return value
    return default


def calls_of(read):
    """A client that makes `n` calls of `read` one after the other: the last result."""
    def run(n: int):
        for _ in range(n):
            last = read()
        return last
    return run


def event_loops() -> dict:
    """The default event loop and, when installed, uvloop's: one of each for the whole run."""
    import asyncio
    loops = {"asyncio": asyncio.new_event_loop()}
    try:
        import uvloop
    except ImportError:
        return loops
    loops["uvloop"] = uvloop.new_event_loop()
    return loops


def awaited_calls(loop, url: str):
    """A client that awaits `n` reads one after the other on AsyncMaster, on `loop`."""
    import brel_modbus

    async def opened():
        master = brel_modbus.AsyncMaster(url, 115200, 1.0)
        await master.connect()
        return master

    master = loop.run_until_complete(opened())

    async def reads(n: int):
        read = master.read_registers
        for _ in range(n):
            last = await read(1, 0, 10)
        return last

    def run(n: int):
        return loop.run_until_complete(reads(n))

    async def closed():
        await master.close()

    run.close = lambda: loop.run_until_complete(closed())
    return run


def main(argv: list[str]) -> None:
    only = None
    if "--only" in argv:
        at = argv.index("--only")
        only = argv[at + 1]
        del argv[at:at + 2]
    client_cpu = option(argv, "--client-cpu", 1)
    slave_cpu = option(argv, "--slave-cpu", 0)
    rounds = int(argv[0]) if argv else 9
    calls = int(argv[1]) if len(argv) > 1 else 2000
    slave = subprocess.Popen([sys.executable, "-c", SLAVE.format(cpu=slave_cpu)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        ports = dict(slave.stdout.readline().split() for _ in range(2))
        os.sched_setaffinity(0, {client_cpu})
        import brel_modbus

        rtu_url = f"rtu+tcp://127.0.0.1:{ports['rtu']}"
        tcp = brel_modbus.ModbusTCPMaster("127.0.0.1", int(ports["tcp"]), 1.0)
        own = brel_modbus.Master(rtu_url, 115200, 1.0)
        pyserial = brel_modbus.Master(f"socket://127.0.0.1:{ports['rtu']}", 115200, 1.0)
        clients = {
            "ModbusTCPMaster": calls_of(lambda: tcp.read_registers(0, 10)),
            "Master rtu+tcp://": calls_of(lambda: own.read_registers(1, 0, 10)),
            "Master socket://": calls_of(lambda: pyserial.read_registers(1, 0, 10)),
        }
        loops = event_loops()
        for name, loop in loops.items():
            clients[f"AsyncMaster {name}"] = awaited_calls(loop, rtu_url)
        if only is not None:
            chosen = {"tcp": "ModbusTCPMaster", "rtu+tcp": "Master rtu+tcp://", "socket": "Master socket://",
                      "async": "AsyncMaster asyncio"}[only]
            assert clients[chosen](int(argv[0]) if argv else 10000) is not None
            return
        expected = [1000 + i for i in range(10)]
        for run in clients.values():
            assert run(200) == expected
        cpus: dict[str, list[float]] = {name: [] for name in clients}
        walls: dict[str, list[float]] = {name: [] for name in clients}
        for _ in range(rounds):
            for name, run in clients.items():
                w0, c0 = time.perf_counter(), time.process_time()
                run(calls)
                walls[name].append((time.perf_counter() - w0) / calls * 1e6)
                cpus[name].append((time.process_time() - c0) / calls * 1e6)
        for master in (tcp, own, pyserial):
            master.close()
        for name, loop in loops.items():
            clients[f"AsyncMaster {name}"].close()
            loop.close()
        base = statistics.median(cpus["ModbusTCPMaster"])
        rtu_base = statistics.median(cpus["Master rtu+tcp://"])
        print(f"read 10 registers, {rounds} rounds x {calls} calls, client cpu {client_cpu}, slave cpu {slave_cpu}")
        for name in clients:
            cpu = statistics.median(cpus[name])
            print(f"  {name:22s} client cpu {cpu:6.1f} us/call ({cpu / base:4.2f}x, {cpu / rtu_base:4.2f}x Master "
                  f"rtu+tcp://)   wall {statistics.median(walls[name]):6.1f} us/call")
    finally:
        slave.stdin.close()
        slave.wait(timeout=15)


if __name__ == "__main__":
    main(sys.argv[1:])
