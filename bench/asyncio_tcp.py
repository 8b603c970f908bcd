"""The asyncio master against its peers: client CPU per call, and pipelining against a slow slave.

    python bench/asyncio_tcp.py [--rounds N] [--calls N] [--sections one,pipeline]

one: the C slave (bench/build/slave, `make bench-tools`) on core 0, each client in its own
process on core 1, reading 10 holding registers in a loop: our ModbusTCPMaster, our
AsyncModbusTCPMaster on the default event loop and on uvloop, and pymodbus's
AsyncModbusTcpClient; the order of the clients rotates from round to round. Prints the
medians of the client CPU time per call (process_time) and the ratios the goals are
about.

pipeline: a slave that answers each request 5 ms after it came and serves every request
it has received at once (a Python asyncio slave, on core 0), read by one
AsyncModbusTCPMaster from 8 coroutines, with max_in_flight 1 and 4: requests per second.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import time

import common
from common import EXPECTED_READ, READ_ADDRESS, READ_COUNT, SLAVE_ID

PY = sys.executable
CLIENTS = ["brel sync", "brel asyncio", "brel uvloop", "pymodbus asyncio", "floor asyncio", "floor uvloop"]
SLAVE_CPU, CLIENT_CPU = 0, 1


def pin_client() -> None:
    os.sched_setaffinity(0, {CLIENT_CPU % os.cpu_count()})


# ---- the clients, each in its own process ------------------------------------------------------

def client(name: str, port: int, calls: int, warmup: int) -> dict:
    if name == "brel sync":
        import brel_modbus
        m = brel_modbus.ModbusTCPMaster("127.0.0.1", port, 1.0, SLAVE_ID)
        read = m.read_registers
        for _ in range(warmup):
            read(READ_ADDRESS, READ_COUNT)
        c0, w0 = time.process_time_ns(), time.perf_counter_ns()
        for _ in range(calls):
            last = read(READ_ADDRESS, READ_COUNT)
        c1, w1 = time.process_time_ns(), time.perf_counter_ns()
        m.close()
        assert last == EXPECTED_READ
        return {"cpu_ns": (c1 - c0) / calls, "wall_ns": (w1 - w0) / calls}

    import asyncio

    async def loop_body() -> dict:
        if name.startswith("floor"):
            # The event loop's own cost: a protocol that writes a fixed request and hands the
            # raw answer to a future once it is whole; no framing, no checks, no decoding.
            request = struct.pack(">HHHBBHH", 1, 0, 6, SLAVE_ID, 3, READ_ADDRESS, READ_COUNT)
            size = 9 + 2 * READ_COUNT

            class Floor(asyncio.Protocol):
                future: asyncio.Future | None = None
                buffer = b""

                def connection_made(self, transport):
                    self.transport = transport

                def data_received(self, data):
                    self.buffer += data
                    if len(self.buffer) >= size and self.future:
                        self.future.set_result(self.buffer)
                        self.buffer = b""

            loop = asyncio.get_running_loop()
            transport, proto = await loop.create_connection(Floor, "127.0.0.1", port)

            async def read() -> list[int]:
                proto.future = loop.create_future()
                transport.write(request)
                answer = await proto.future
                return list(struct.unpack(">10H", answer[9:]))

            async def close() -> None:
                transport.close()
        elif name.startswith("brel"):
            import brel_modbus
            m = brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, 1.0, SLAVE_ID)
            await m.connect()

            async def read() -> list[int]:
                return await m.read_registers(READ_ADDRESS, READ_COUNT)
            close = m.close
        else:
            from pymodbus.client import AsyncModbusTcpClient
            c = AsyncModbusTcpClient("127.0.0.1", port=port, timeout=1.0)
            await c.connect()

            async def read() -> list[int]:
                return (await c.read_holding_registers(READ_ADDRESS, count=READ_COUNT, device_id=SLAVE_ID)).registers

            async def close() -> None:
                c.close()
        for _ in range(warmup):
            await read()
        c0, w0 = time.process_time_ns(), time.perf_counter_ns()
        for _ in range(calls):
            last = await read()
        c1, w1 = time.process_time_ns(), time.perf_counter_ns()
        await close()
        assert last == EXPECTED_READ, last
        return {"cpu_ns": (c1 - c0) / calls, "wall_ns": (w1 - w0) / calls}

    if name.endswith("uvloop"):
        import uvloop
        loop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(loop_body())
    finally:
        loop.close()


# ---- the slow slave and the pipelining client --------------------------------------------------

SLOW_SLAVE = r"""
import asyncio, os, struct, sys
os.sched_setaffinity(0, {SLAVE_CPU})

async def serve(reader, writer):
    loop = asyncio.get_running_loop()
    try:
        while True:
            head = await reader.readexactly(7)
            transaction, _, length, unit = struct.unpack(">HHHB", head)
            pdu = await reader.readexactly(length - 1)
            address, count = struct.unpack(">HH", pdu[1:5])
            data = b"".join((address + i).to_bytes(2, "big") for i in range(count))
            answer = struct.pack(">HHHBBB", transaction, 0, len(data) + 3, unit, 3, len(data)) + data
            loop.call_later(0.005, writer.write, answer)
    except (asyncio.IncompleteReadError, ConnectionError):
        pass

async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

asyncio.run(main())
""".replace("SLAVE_CPU", str(SLAVE_CPU))


def pipeline_client(port: int, in_flight: int, seconds: float) -> dict:
    import asyncio

    import brel_modbus

    async def body() -> dict:
        m = brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, 1.0, max_in_flight=in_flight)
        await m.connect()
        done = 0
        end = time.perf_counter() + seconds

        async def worker(k: int) -> None:
            nonlocal done
            while time.perf_counter() < end:
                assert await m.read_registers(k, 2) == [k, k + 1]
                done += 1

        t0 = time.perf_counter()
        await asyncio.gather(*(worker(k) for k in range(8)))
        wall = time.perf_counter() - t0
        await m.close()
        return {"requests_per_s": done / wall}

    return asyncio.run(body())


# ---- the run -----------------------------------------------------------------------------------

def run_child(args: list[str], timeout: float) -> dict:
    p = subprocess.run([PY, __file__, *args], capture_output=True, text=True, timeout=timeout,
                       env=common.python_env(), preexec_fn=pin_client)
    if p.returncode != 0:
        return {"error": (p.stderr.strip().splitlines() or ["no output"])[-1][:200]}
    return json.loads(p.stdout.strip().splitlines()[-1])


def one_master(rounds: int, calls: int) -> list[str]:
    os.sched_setaffinity(0, {SLAVE_CPU})   # the slave inherits it
    figures: dict[str, list[float]] = {name: [] for name in CLIENTS}
    with common.run_slave(tcp=True, rtu=False) as slave:
        for r in range(rounds):
            order = CLIENTS[r % len(CLIENTS):] + CLIENTS[:r % len(CLIENTS)]
            for name in order:
                rec = run_child(["--client", name, str(slave.tcp_port), str(calls), str(calls // 10)], 120)
                if "error" in rec:
                    return [f"{name}: {rec['error']}"]
                figures[name].append(rec["cpu_ns"])
    med = {name: statistics.median(v) for name, v in figures.items()}
    out = [f"one master, read 10 holding registers, {rounds} rounds x {calls} calls, client CPU per call (median):"]
    for name in CLIENTS:
        out.append(f"  {name:18} {med[name] / 1000:7.1f} us")
    sync = med["brel sync"]
    for name in ("brel asyncio", "brel uvloop"):
        out.append(f"  {name} / brel sync = {med[name] / sync:.2f}x (goal <= 1.5x); "
                   f"/ pymodbus asyncio = {med[name] / med['pymodbus asyncio']:.2f}x (goal <= 0.33x)")
    for loop in ("asyncio", "uvloop"):
        out.append(f"  the {loop} loop's floor: {med['floor ' + loop] / 1000:.1f} us a call; brel {loop} above it: "
                   f"{(med['brel ' + loop] - med['floor ' + loop]) / 1000:.1f} us")
    return out


def pipeline(rounds: int, seconds: float) -> list[str]:
    slave = subprocess.Popen([PY, "-c", SLOW_SLAVE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(slave.stdout.readline())
        figures: dict[int, list[float]] = {1: [], 4: []}
        for _ in range(rounds):
            for in_flight in (1, 4):
                rec = run_child(["--pipeline", str(port), str(in_flight), str(seconds)], 60)
                if "error" in rec:
                    return [f"max_in_flight={in_flight}: {rec['error']}"]
                figures[in_flight].append(rec["requests_per_s"])
    finally:
        slave.stdin.close()
        slave.wait(10)
    one, four = statistics.median(figures[1]), statistics.median(figures[4])
    return [f"pipelining, a slave answering after 5 ms, 8 coroutines on one master, {rounds} rounds (median):",
            f"  max_in_flight=1 {one:8.1f} requests/s",
            f"  max_in_flight=4 {four:8.1f} requests/s  ({four / one:.2f}x; goal >= 3x)"]


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--client":
        name, port, calls, warmup = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
        print(json.dumps(client(name, port, calls, warmup)))
        return 0
    if len(sys.argv) > 1 and sys.argv[1] == "--pipeline":
        print(json.dumps(pipeline_client(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]))))
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--sections", default="one,pipeline")
    args = parser.parse_args()
    sections = args.sections.split(",")
    lines: list[str] = []
    if "one" in sections:
        lines += one_master(args.rounds, args.calls)
    if "pipeline" in sections:
        lines += pipeline(args.rounds, 1.0)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
