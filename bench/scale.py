"""Many connections from one asyncio process, and pipelining on one connection.

    python bench/scale.py                                  # 1000 and 100 connections, 5 s per client
    python bench/scale.py --connections 1000 --seconds 10
    python bench/scale.py --clients pymodbus,brel-to-thread
    python bench/scale.py --sections pipeline
    python bench/scale.py --loops asyncio,uvloop           # each client on both event loops
    python bench/scale.py --quick                          # checks the harness (~30 s)

Scale: the many-connection slave (bench/c/many_slave.c: epoll, one process) is pinned to
one core and every client runs in a fresh process pinned to the other. The client opens
N connections (N = --connections, default 1000 and 100), reads 10 holding registers once
on each (checked), samples its resident set, then each connection reads 10 holding
registers at 0 in a loop, every answer checked, until the time is up. Figures:
requests per second of all connections together, client CPU per request (the process's
user + system time over the timed loop / requests), memory per connection (resident set
after the connections were opened and used once, less before, / N) and the slave's CPU
over the loop (near 100 % means the slave, not the client, was the limit).

Pipelining: one connection to the slave with --delay-ms 5 (every answer leaves 5 ms
after its request came), requests kept 1 and 4 in flight for --pipeline-seconds.

Clients: see CLIENTS and PIPELINE_CLIENTS below; a row whose library does not have the
class (AsyncModbusTCPMaster) is left out. Event loops: --loops, asyncio's default loop
and/or uvloop (when it is installed; its rows are n/a otherwise). Results go to the
terminal and to bench/build/scale-last.txt and bench/build/scale-last.json.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import resource
import struct
import subprocess
import sys
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import common  # noqa: E402

ADDRESS, COUNT = 0, 10
EXPECTED = list(range(ADDRESS, ADDRESS + COUNT))    # many_slave: holding register a holds a
PIPELINE_DELAY_MS = 5
OPEN_BATCH = 100          # connections opened at once


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raise_nofile() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


# ---- the clients: open a connection, read 10 registers, close it ----------------------------
# Each row is (open(port) -> connection, read(connection) -> list of 10 registers,
# close(connection)), all coroutines; the harness checks every answer against EXPECTED.

Open = Callable[[int], Awaitable[Any]]
Read = Callable[[Any], Awaitable[Any]]
Close = Callable[[Any], Awaitable[None]]


def pymodbus_client(connections: int) -> tuple[Open, Read, Close]:
    from pymodbus.client import AsyncModbusTcpClient

    async def open_(port: int) -> Any:
        client = AsyncModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
        if not await client.connect():
            raise ConnectionError("pymodbus could not connect")
        return client

    async def read(client: Any) -> Any:
        return (await client.read_holding_registers(ADDRESS, count=COUNT, device_id=1)).registers

    async def close(client: Any) -> None:
        client.close()

    return open_, read, close


def brel_thread_client(own_pool: bool) -> Callable[[int], tuple[Open, Read, Close]]:
    """The synchronous ModbusTCPMaster under asyncio through a thread per call: the
    default executor of asyncio.to_thread (min(32, cores + 4) threads), or, with own_pool,
    a pool of one thread per connection. Called in the running loop."""

    def make(connections: int) -> tuple[Open, Read, Close]:
        import brel_modbus

        if own_pool:
            from concurrent.futures import ThreadPoolExecutor

            asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(max_workers=connections))

        async def open_(port: int) -> Any:
            return await asyncio.to_thread(brel_modbus.ModbusTCPMaster, "127.0.0.1", port, 5.0)

        async def read(master: Any) -> Any:
            return await asyncio.to_thread(master.read_registers, ADDRESS, COUNT)

        async def close(master: Any) -> None:
            master.close()

        return open_, read, close

    return make


def brel_async_client(connections: int) -> tuple[Open, Read, Close]:
    import brel_modbus

    async def open_(port: int) -> Any:
        master = brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, 5.0)
        return await master.__aenter__()

    async def read(master: Any) -> Any:
        return await master.read_registers(ADDRESS, COUNT)

    async def close(master: Any) -> None:
        await master.close()

    return open_, read, close


class TidMatcher:
    """Modbus TCP with no library: reads of holding registers matched to their answers by
    transaction identifier, any number in flight. The floor of an asyncio client, and the
    stand-in for pipelining; RawConnection and RawProtocol carry the bytes."""

    def __init__(self) -> None:
        self.waiting: dict[int, asyncio.Future[bytes]] = {}
        self.tid = 0

    def send(self, data: bytes) -> None:
        raise NotImplementedError

    def answered(self, tid: int, pdu: bytes) -> None:
        future = self.waiting.pop(tid, None)
        if future is not None and not future.done():
            future.set_result(pdu)

    def lost(self, exc: BaseException | None) -> None:
        for future in self.waiting.values():
            if not future.done():
                future.set_exception(ConnectionError(f"connection lost: {exc!r}"))

    async def read_registers(self, address: int, count: int) -> list[int]:
        self.tid = (self.tid + 1) & 0xFFFF
        future = asyncio.get_running_loop().create_future()
        self.waiting[self.tid] = future
        self.send(struct.pack(">HHHBBHH", self.tid, 0, 6, 1, 3, address, count))
        pdu = await asyncio.wait_for(future, 5.0)
        if pdu[0] != 3 or pdu[1] != 2 * count:
            raise AssertionError(f"unexpected answer {pdu.hex()}")
        return list(struct.unpack(f">{count}H", pdu[2:]))


class RawConnection(TidMatcher):
    """Over an asyncio stream, with a task that reads the answers."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        super().__init__()
        self.reader, self.writer = reader, writer
        self.task = asyncio.get_running_loop().create_task(self.receive())

    @classmethod
    async def open(cls, port: int) -> RawConnection:
        return cls(*await asyncio.open_connection("127.0.0.1", port))

    def send(self, data: bytes) -> None:
        self.writer.write(data)

    async def receive(self) -> None:
        try:
            while True:
                head = await self.reader.readexactly(7)
                tid, _, length, _ = struct.unpack(">HHHB", head)
                self.answered(tid, await self.reader.readexactly(length - 1))
        except (asyncio.IncompleteReadError, ConnectionError) as e:
            self.lost(e)

    async def close(self) -> None:
        self.task.cancel()
        self.writer.close()


class RawProtocol(TidMatcher, asyncio.Protocol):
    """Over an asyncio protocol (no stream reader): the cheapest asyncio road."""

    def __init__(self) -> None:
        super().__init__()
        self.buffer = bytearray()
        self.transport: asyncio.Transport | None = None

    @classmethod
    async def open(cls, port: int) -> RawProtocol:
        _, protocol = await asyncio.get_running_loop().create_connection(cls, "127.0.0.1", port)
        return protocol

    def send(self, data: bytes) -> None:
        assert self.transport is not None
        self.transport.write(data)

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport   # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        buffer = self.buffer
        buffer += data
        while len(buffer) >= 7:
            end = 6 + (buffer[4] << 8 | buffer[5])
            if len(buffer) < end:
                break
            self.answered(buffer[0] << 8 | buffer[1], bytes(buffer[7:end]))
            del buffer[:end]

    def connection_lost(self, exc: Exception | None) -> None:
        self.lost(exc)

    async def close(self) -> None:
        if self.transport is not None:
            self.transport.close()


def raw_client(kind: type[RawConnection] | type[RawProtocol]) -> Callable[[int], tuple[Open, Read, Close]]:
    def make(connections: int) -> tuple[Open, Read, Close]:
        async def read(conn: TidMatcher) -> Any:
            return await conn.read_registers(ADDRESS, COUNT)

        async def close(conn: RawConnection | RawProtocol) -> None:
            await conn.close()

        return kind.open, read, close

    return make


# name -> (row title, factory); the row for our asyncio master appears when the library has it
CLIENTS: dict[str, tuple[str, Callable[[int], tuple[Open, Read, Close]]]] = {
    "raw-protocol": ("asyncio protocol, raw MBAP (no library)", raw_client(RawProtocol)),
    "raw": ("asyncio streams, raw MBAP (no library)", raw_client(RawConnection)),
    "brel-async": ("brel_modbus AsyncModbusTCPMaster", brel_async_client),
    "pymodbus": ("pymodbus AsyncModbusTcpClient", pymodbus_client),
    "brel-to-thread": ("brel_modbus ModbusTCPMaster, asyncio.to_thread", brel_thread_client(False)),
    "brel-threads": ("brel_modbus ModbusTCPMaster, to_thread, 1 thread/conn", brel_thread_client(True)),
}


def has_async_master() -> bool:
    import brel_modbus

    return hasattr(brel_modbus, "AsyncModbusTCPMaster")


def available_clients() -> list[str]:
    return [name for name in CLIENTS if name != "brel-async" or has_async_master()]


# ---- one scale run, in a child process --------------------------------------------------------

async def scale_child(name: str, port: int, connections: int, seconds: float) -> dict[str, Any]:
    open_, read, close = CLIENTS[name][1](connections)
    rss0 = rss_bytes()
    conns: list[Any] = []
    for start in range(0, connections, OPEN_BATCH):
        conns += await asyncio.gather(*(open_(port) for _ in range(start, min(connections, start + OPEN_BATCH))))
    for got in await asyncio.gather(*(read(c) for c in conns)):
        if got != EXPECTED:
            raise AssertionError(f"wrong answer {got!r:.80}")
    rss1 = rss_bytes()

    counts = [0] * connections
    stop_at = 0.0

    async def loop(i: int, conn: Any) -> None:
        n = 0
        while time.monotonic() < stop_at:
            got = await read(conn)
            if got != EXPECTED:
                raise AssertionError(f"wrong answer {got!r:.80}")
            n += 1
        counts[i] = n

    t0, c0 = time.perf_counter(), time.process_time()
    stop_at = time.monotonic() + seconds
    results = await asyncio.gather(*(loop(i, c) for i, c in enumerate(conns)), return_exceptions=True)
    wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    errors = [r for r in results if isinstance(r, BaseException)]
    await asyncio.gather(*(close(c) for c in conns), return_exceptions=True)
    requests = sum(counts)
    return {"client": name, "connections": connections, "requests": requests, "wall_s": wall, "cpu_s": cpu,
            "rps": requests / wall, "cpu_us_per_request": cpu / requests * 1e6 if requests else None,
            "kib_per_connection": (rss1 - rss0) / connections / 1024, "errors": len(errors),
            "first_error": repr(errors[0])[:160] if errors else None}


# ---- pipelining: one connection, k requests in flight ------------------------------------------

PipeRead = Callable[[int], Awaitable[Any]]
PipeSetup = Callable[[int], Awaitable[tuple[PipeRead, Callable[[], Awaitable[None]]]]]


async def pipeline_raw(port: int) -> tuple[PipeRead, Callable[[], Awaitable[None]]]:
    conn = await RawConnection.open(port)

    async def read(address: int) -> list[int]:
        return await conn.read_registers(address, COUNT)

    return read, conn.close


def pipeline_brel_async(in_flight: int) -> PipeSetup:
    async def setup(port: int) -> tuple[PipeRead, Callable[[], Awaitable[None]]]:
        import brel_modbus

        master = brel_modbus.AsyncModbusTCPMaster("127.0.0.1", port, 5.0, max_in_flight=in_flight)
        await master.__aenter__()

        async def read(address: int) -> Any:
            return await master.read_registers(address, COUNT)

        return read, master.close

    return setup


async def pipeline_pymodbus(port: int) -> tuple[PipeRead, Callable[[], Awaitable[None]]]:
    from pymodbus.client import AsyncModbusTcpClient

    client = AsyncModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
    if not await client.connect():
        raise ConnectionError("pymodbus could not connect")

    async def read(address: int) -> Any:
        return (await client.read_holding_registers(address, count=COUNT, device_id=1)).registers

    async def close() -> None:
        client.close()

    return read, close


# name -> (row title, setup(port) -> (read(address), close), callers kept in flight); caller i
# reads at 10 * i, so an answer handed to the wrong caller shows
PIPELINE_CLIENTS: dict[str, tuple[str, PipeSetup, int]] = {
    "raw-1": ("asyncio streams, raw MBAP, 1 in flight", pipeline_raw, 1),
    "raw-4": ("asyncio streams, raw MBAP, 4 in flight", pipeline_raw, 4),
    "brel-async-1": ("brel_modbus AsyncModbusTCPMaster, max_in_flight=1", pipeline_brel_async(1), 1),
    "brel-async-4": ("brel_modbus AsyncModbusTCPMaster, max_in_flight=4", pipeline_brel_async(4), 4),
    "pymodbus-1": ("pymodbus AsyncModbusTcpClient, 1 caller", pipeline_pymodbus, 1),
    "pymodbus-4": ("pymodbus AsyncModbusTcpClient, 4 callers", pipeline_pymodbus, 4),
}


def available_pipeline_clients() -> list[str]:
    return [name for name in PIPELINE_CLIENTS if not name.startswith("brel-async") or has_async_master()]


async def pipeline_child(name: str, port: int, seconds: float) -> dict[str, Any]:
    _, setup, callers = PIPELINE_CLIENTS[name]
    read, close = await setup(port)
    if await read(ADDRESS) != EXPECTED:
        raise AssertionError("wrong answer")
    counts = [0] * callers
    stop_at = time.monotonic() + seconds

    async def caller(i: int) -> None:
        address = COUNT * i
        expected = list(range(address, address + COUNT))
        while time.monotonic() < stop_at:
            got = await read(address)
            if got != expected:
                raise AssertionError(f"wrong answer {got!r:.80}")
            counts[i] += 1

    t0 = time.perf_counter()
    results = await asyncio.gather(*(caller(i) for i in range(callers)), return_exceptions=True)
    wall = time.perf_counter() - t0
    await close()
    errors = [r for r in results if isinstance(r, BaseException)]
    return {"client": name, "in_flight": callers, "requests": sum(counts), "wall_s": wall,
            "rps": sum(counts) / wall, "errors": len(errors), "first_error": repr(errors[0])[:160] if errors else None}


def run_on(loop: str, main: Awaitable[dict[str, Any]]) -> dict[str, Any]:
    if loop == "uvloop":
        import uvloop

        return uvloop.run(main)   # type: ignore[no-any-return]
    return asyncio.run(main)   # type: ignore[arg-type]


def child_main(argv: list[str]) -> None:
    """--child LOOP scale NAME PORT CONNECTIONS SECONDS | --child LOOP pipeline NAME PORT SECONDS:
    one JSON line."""
    raise_nofile()
    loop, kind, name, port = argv[0], argv[1], argv[2], int(argv[3])
    if kind == "scale":
        result = run_on(loop, scale_child(name, port, int(argv[4]), float(argv[5])))
    else:
        result = run_on(loop, pipeline_child(name, port, float(argv[4])))
    print(json.dumps(result), flush=True)


# ---- the parent: slave, child processes, table -----------------------------------------------

def run_child(args: list[str], cpu: int, timeout: float) -> dict[str, Any]:
    cmd = [sys.executable, __file__, "--child", *args]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=common.python_env(),
                           preexec_fn=lambda: os.sched_setaffinity(0, {cpu}))
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    for line in p.stdout.splitlines():
        if line.startswith("{"):
            return json.loads(line)
    tail = (p.stderr.strip().splitlines() or ["no output"])[-1]
    return {"error": f"exit {p.returncode}: {tail[:160]}"}


def fmt(x: float | None, digits: int = 1) -> str:
    if x is None:
        return "n/a"
    return f"{x:,.0f}" if x >= 1000 else f"{x:.{digits}f}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--connections", default="1000,100", help="comma-separated connection counts")
    ap.add_argument("--seconds", type=float, default=5.0, help="timed loop per client and count")
    ap.add_argument("--pipeline-seconds", type=float, default=3.0)
    ap.add_argument("--clients", default=None, help=f"comma-separated, of {', '.join(CLIENTS)}")
    ap.add_argument("--sections", default="scale,pipeline")
    ap.add_argument("--loops", default="asyncio", help="comma-separated, of asyncio, uvloop")
    ap.add_argument("--quick", action="store_true", help="100 and 10 connections, 1 s each")
    opts = ap.parse_args()
    if opts.quick:
        opts.connections, opts.seconds, opts.pipeline_seconds = "100,10", 1.0, 1.0
    counts = [int(n) for n in opts.connections.split(",")]
    names = opts.clients.split(",") if opts.clients else available_clients()
    for name in names:
        if name not in CLIENTS:
            sys.exit(f"unknown client {name!r}; known: {', '.join(CLIENTS)}")
    sections = opts.sections.split(",")
    loops = opts.loops.split(",")
    for loop in loops:
        if loop not in ("asyncio", "uvloop"):
            sys.exit(f"unknown event loop {loop!r}: asyncio or uvloop")
    ncpu = os.cpu_count() or 1
    slave_cpu, client_cpu = (0, 1) if ncpu > 1 else (0, 0)
    lines = [f"# scale: {platform.node()}, {ncpu} cores ({platform.processor() or platform.machine()}), "
             f"Python {platform.python_version()}; slave pinned to cpu {slave_cpu}, client to cpu {client_cpu}"]
    record: dict[str, Any] = {"scale": [], "pipeline": []}

    def say(line: str) -> None:
        print(line, flush=True)
        lines.append(line)

    say(lines[0])
    if "scale" in sections:
        with common.run_many_slave(cpu=slave_cpu) as slave:
            say(f"\n## {', '.join(map(str, counts))} connections, each reading 10 holding registers in a loop, "
                f"{opts.seconds:g} s per client")
            say(f"{'client':<64} {'conns':>6} {'req/s':>9} {'cpu us/req':>11} {'KiB/conn':>9} "
                f"{'slave cpu':>10} {'vs pymodbus':>12}")
            for n in counts:
                for loop in loops:
                    rows: dict[str, dict[str, Any]] = {}
                    for name in names:
                        s0 = common.process_cpu_seconds(slave.pid)
                        r = run_child([loop, "scale", name, str(slave.port), str(n), str(opts.seconds)], client_cpu,
                                      timeout=opts.seconds * 4 + 120)
                        r["slave_cpu_share"] = (common.process_cpu_seconds(slave.pid) - s0) / r["wall_s"] \
                            if "wall_s" in r else None
                        r.update(client=name, connections=n, loop=loop)
                        rows[name] = r
                        record["scale"].append(r)
                    base = rows.get("pymodbus", {}).get("rps")
                    for name, r in rows.items():
                        title = CLIENTS[name][0] + ("" if loop == "asyncio" else f" [{loop}]")
                        if "error" in r:
                            say(f"{title:<64} {n:>6} n/a: {r['error']}")
                            continue
                        vs = f"{r['rps'] / base:.2f}x" if base else "n/a"
                        share = f"{100 * r['slave_cpu_share']:.0f} %"
                        say(f"{title:<64} {n:>6} {fmt(r['rps']):>9} {fmt(r['cpu_us_per_request']):>11} "
                            f"{fmt(r['kib_per_connection']):>9} {share:>10} {vs:>12}")
                        if r["errors"]:
                            say(f"    {r['errors']} connections failed, first: {r['first_error']}")
                    ours = rows.get("brel-async", {}).get("rps")
                    if ours and n >= 1000:
                        say(f"    goal for AsyncModbusTCPMaster at {n} connections [{loop}]: >= 20,000 req/s "
                            f"({'met' if ours >= 20000 else 'missed'}), >= 3x pymodbus "
                            f"({'met' if base and ours >= 3 * base else 'missed'})")
    if "pipeline" in sections:
        with common.run_many_slave("--delay-ms", str(PIPELINE_DELAY_MS), cpu=slave_cpu) as slave:
            say(f"\n## one connection, slave answers {PIPELINE_DELAY_MS} ms after each request, "
                f"{opts.pipeline_seconds:g} s per row")
            say(f"{'client':<64} {'req/s':>9} {'vs 1 in flight':>15}")
            for loop in loops:
                rows = {}
                for name in available_pipeline_clients():
                    r = run_child([loop, "pipeline", name, str(slave.port), str(opts.pipeline_seconds)], client_cpu,
                                  timeout=opts.pipeline_seconds * 4 + 60)
                    r.update(client=name, loop=loop)
                    rows[name] = r
                    record["pipeline"].append(r)
                for name, r in rows.items():
                    title = PIPELINE_CLIENTS[name][0] + ("" if loop == "asyncio" else f" [{loop}]")
                    if "error" in r:
                        say(f"{title:<64} n/a: {r['error']}")
                        continue
                    one = rows.get(name[:-1] + "1", {}).get("rps")
                    vs = f"{r['rps'] / one:.2f}x" if one else "n/a"
                    say(f"{title:<64} {fmt(r['rps']):>9} {vs:>15}")
                    if r["errors"]:
                        say(f"    {r['errors']} callers failed, first: {r['first_error']}")
                one, four = (rows.get(f"brel-async-{k}", {}).get("rps") for k in (1, 4))
                if one and four:
                    say(f"    goal for AsyncModbusTCPMaster [{loop}]: max_in_flight=4 >= 3x max_in_flight=1 "
                        f"({'met' if four >= 3 * one else 'missed'})")
    common.BUILD.mkdir(exist_ok=True)
    (common.BUILD / "scale-last.txt").write_text("\n".join(lines) + "\n")
    (common.BUILD / "scale-last.json").write_text(json.dumps(record, indent=1))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(sys.argv[2:])
    else:
        main()
