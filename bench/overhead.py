"""Library cost without I/O: a read through an in-memory channel, and the CRC-16.

    python bench/overhead.py ROUNDS [MAX_CALLS] [--inmemory]

In-memory read: the read of 10 holding registers from station 1 through a channel
object that answers at once (write() queues the canned answer, read(n) slices it).
brel_modbus gets it by replacing brel_modbus.create_serial_instance with a factory that
returns it; minimalmodbus takes it as its serial port. minimalmodbus's silent period
(it sleeps until 1.75 ms have passed since its last read) is switched off here, since
this figure is about the library's own work; brel_modbus's channel keeps its gap inside
brel_linkkit, which the in-memory channel replaces. "channel alone" is the fake channel's
own cost for one exchange (write, then reads of 5 and 20 bytes). "C-API floor" is the
same read through bench/build/rtu_floor (bench/c/rtu_floor.c, `make bench-tools`): the
same channel calls as the master's (in_waiting, write, reads of 5, 0 and 20 bytes), the
frame, CRC and checks in C, the list of ints made directly: the least the C API allows.
The ratios of brel_modbus to it and of minimalmodbus to brel_modbus, per round, close
the section (also printed to stderr); ``--inmemory`` skips the CRC section.

CRC-16: ModbusStatic.calculate_crc against pymodbus's FramerRTU.compute_CRC,
minimalmodbus's _calculate_crc and a plain table-driven C loop, called through ctypes
per CRC ("C via ctypes") and timed inside C ("C loop", no call overhead), on 8, 256 and
4096 random bytes. All results are checked equal first.

Output: JSON lines, per-call nanoseconds of every round.
"""

from __future__ import annotations

import ctypes
import itertools
import json
import random
import statistics
import sys
import time
from typing import Any
from collections.abc import Callable

import common

ANSWER_REGISTERS = common.EXPECTED_READ


def crc16(data: bytes) -> int:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu_frame(body: bytes) -> bytes:
    return body + crc16(body).to_bytes(2, "little")


READ10_ANSWER = rtu_frame(bytes([common.SLAVE_ID, 3, 2 * len(ANSWER_REGISTERS)])
                          + b"".join(v.to_bytes(2, "big") for v in ANSWER_REGISTERS))


class MemoryChannel:
    """A serial-like channel answering every request at once with one canned answer."""

    def __init__(self, answer: bytes) -> None:
        self._answer = answer
        self._pending = b""
        self.is_open = True
        self.timeout = 1.0
        self.port = "memory"
        self.baudrate = 115200

    @property
    def in_waiting(self) -> int:
        return len(self._pending)

    def write(self, data: Any) -> int:
        self._pending = self._answer
        return len(data)

    def read(self, size: int = 1) -> bytes:
        chunk = self._pending[:size]
        self._pending = self._pending[size:]
        return chunk

    def reset_input_buffer(self) -> None:
        self._pending = b""

    def reset_output_buffer(self) -> None:
        pass

    def flush(self) -> None:
        pass

    def open(self) -> None:
        self.is_open = True

    def close(self) -> None:
        self.is_open = False


def timed(op: Callable[[], Any], calls: int) -> tuple[float, float]:
    """Per-call wall and CPU nanoseconds of `calls` calls."""
    loop = itertools.repeat(None, calls)
    c0 = time.process_time_ns()
    w0 = time.perf_counter_ns()
    for _ in loop:
        op()
    w1 = time.perf_counter_ns()
    c1 = time.process_time_ns()
    return (w1 - w0) / calls, (c1 - c0) / calls


def in_memory_clients() -> dict[str, Callable[[], Callable[[], Any]]]:
    def channel_alone() -> Callable[[], Any]:
        ch = MemoryChannel(READ10_ANSWER)
        request = rtu_frame(bytes([1, 3, 0, 0, 0, 10]))

        def op() -> bytes:
            ch.write(request)
            return ch.read(5) + ch.read(20)
        return lambda: (op(), ANSWER_REGISTERS)[1]

    def brel() -> Callable[[], Any]:
        import brel_modbus
        brel_modbus.create_serial_instance = lambda port, baudrate, timeout, **kw: MemoryChannel(READ10_ANSWER)
        m = brel_modbus.Master("memory", 115200, 1.0)
        return lambda: m.read_registers(common.SLAVE_ID, common.READ_ADDRESS, common.READ_COUNT)

    def minimal() -> Callable[[], Any]:
        import minimalmodbus
        minimalmodbus._calculate_minimum_silent_period = lambda baudrate: 0.0
        ins = minimalmodbus.Instrument(MemoryChannel(READ10_ANSWER), common.SLAVE_ID)
        return lambda: ins.read_registers(common.READ_ADDRESS, common.READ_COUNT, 3)

    def floor() -> Callable[[], Any]:
        sys.path.insert(0, str(common.BUILD))
        try:
            import rtu_floor
        finally:
            sys.path.pop(0)
        ch = MemoryChannel(READ10_ANSWER)
        read = rtu_floor.read_registers
        return lambda: read(ch, common.SLAVE_ID, common.READ_ADDRESS, common.READ_COUNT)

    return {"channel alone": channel_alone, FLOOR: floor, "brel_modbus": brel, "minimalmodbus": minimal}


FLOOR = "C-API floor"
# (numerator, denominator) of the ratios that close the in-memory section
RATIOS = (("brel_modbus", FLOOR), ("minimalmodbus", "brel_modbus"))


def round_ratios(samples: dict[str, list[tuple[float, float]]], a: str, b: str) -> dict[str, list[float]]:
    """a's figure / b's, round by round (both measured in the same round), wall and cpu."""
    pairs = list(zip(samples[a], samples[b], strict=True))
    return {"wall": [x[0] / y[0] for x, y in pairs], "cpu": [x[1] / y[1] for x, y in pairs]}


def crc_functions() -> dict[str, Callable[[], Callable[[bytes], int]]]:
    def brel() -> Callable[[bytes], int]:
        import brel_modbus
        calc = brel_modbus.ModbusStatic.calculate_crc
        return calc  # (low, high), converted for the check below

    def pymodbus() -> Callable[[bytes], int]:
        from pymodbus.framer.rtu import FramerRTU
        return FramerRTU.compute_CRC

    def minimal() -> Callable[[bytes], int]:
        import minimalmodbus
        return minimalmodbus._calculate_crc

    def c_ctypes() -> Callable[[bytes], int]:
        lib = ctypes.CDLL(str(common.CRC_LIB))
        f = lib.bench_crc16
        f.argtypes = (ctypes.c_char_p, ctypes.c_size_t)
        f.restype = ctypes.c_uint16
        return lambda data: f(data, len(data))

    return {"brel_modbus": brel, "pymodbus": pymodbus, "minimalmodbus": minimal, "C via ctypes": c_ctypes}


def as_crc(name: str, result: Any) -> int:
    if name == "brel_modbus":
        low, high = result
        return low | (high << 8)
    if name == "pymodbus":      # the two CRC bytes as they go on the wire, read big-endian
        return ((result & 0xFF) << 8) | (result >> 8)
    if name == "minimalmodbus":
        return int.from_bytes(result, "little")
    return result


def calls_for(op: Callable[[], Any], budget_s: float = 0.04) -> int:
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in itertools.repeat(None, n):
            op()
        if time.perf_counter() - t0 >= budget_s / 4:
            return max(1, int(n * budget_s / max(time.perf_counter() - t0, 1e-9)))
        n *= 4


def main(argv: list[str]) -> int:
    inmemory_only = "--inmemory" in argv
    argv = [a for a in argv if a != "--inmemory"]
    rounds = int(argv[0]) if argv else 5
    calls = int(argv[1]) if len(argv) > 1 else 20000
    emit = lambda rec: print(json.dumps(rec), flush=True)  # noqa: E731

    ready: dict[str, Callable[[], Any]] = {}
    for name, make in in_memory_clients().items():
        try:
            op = make()
            problem = common.check_result("read10", op())
            if problem:
                raise AssertionError(problem)
            ready[name] = op
        except Exception as exc:
            emit({"section": "inmemory", "client": name, "error": f"{type(exc).__name__}: {exc}"[:160]})
    samples: dict[str, list[tuple[float, float]]] = {n: [] for n in ready}
    counts = {name: min(calls, calls_for(op, 0.25)) for name, op in ready.items()}
    for r in range(rounds):
        for name in itertools.islice(itertools.cycle(ready), r, r + len(ready)):
            op = ready[name]
            for _ in range(counts[name] // 10):
                op()
            samples[name].append(timed(op, counts[name]))
    for name, s in samples.items():
        emit({"section": "inmemory", "client": name, "calls": counts[name],
              "wall_ns": [w for w, _ in s], "cpu_ns": [c for _, c in s]})
    for a, b in RATIOS:
        if a in samples and b in samples:
            r = round_ratios(samples, a, b)
            emit({"section": "inmemory-ratio", "of": a, "to": b, **r})
            cpu = sorted(r["cpu"])
            print(f"in memory, read 10: {a} / {b} = {statistics.median(cpu):.2f} "
                  f"(cpu, median of {rounds} rounds, {cpu[0]:.2f}-{cpu[-1]:.2f})", file=sys.stderr)
    if inmemory_only:
        return 0

    rng = random.Random(7)
    sizes = (8, 256, 4096)
    payload = {n: rng.randbytes(n) for n in sizes}
    funcs: dict[str, Callable[[bytes], Any]] = {}
    for name, make in crc_functions().items():
        try:
            f = make()
            for n in sizes:
                got, want = as_crc(name, f(payload[n])), crc16(payload[n])
                if got != want:
                    raise AssertionError(f"CRC of {n} bytes: {got:#06x}, expected {want:#06x}")
            funcs[name] = f
        except Exception as exc:
            emit({"section": "crc", "impl": name, "error": f"{type(exc).__name__}: {exc}"[:160]})
    loop_ns = None
    if "C via ctypes" in funcs:
        lib = ctypes.CDLL(str(common.CRC_LIB))
        loop_ns = lib.bench_crc16_loop_ns
        loop_ns.argtypes = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_long)
        loop_ns.restype = ctypes.c_double
    for n in sizes:
        data = payload[n]
        counts = {name: calls_for(lambda f=f, data=data: f(data)) for name, f in funcs.items()}
        res: dict[str, list[float]] = {name: [] for name in funcs}
        if loop_ns:
            res["C loop"] = []
            iters = max(1000, int(2e7 / n))
        for _ in range(rounds):
            for name, f in funcs.items():
                res[name].append(timed(lambda f=f, data=data: f(data), counts[name])[0])
            if loop_ns:
                res["C loop"].append(loop_ns(data, n, iters) / iters)
        for name, s in res.items():
            emit({"section": "crc", "impl": name, "size": n, "ns": s})
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
