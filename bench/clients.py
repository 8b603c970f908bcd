"""The Python masters of the benchmark, each driven through its own public API.

Run one client in its own process (so its CPU time is its own):

    python bench/clients.py CLIENT TRANSPORT TARGET WORKLOADS CALLS WARMUP

CLIENT is one of CLIENTS below, TRANSPORT tcp (TARGET = port on 127.0.0.1) or rtu
(TARGET = tty path; 115200 baud 8N1, 1 s time-out). Output, one JSON line per workload,
the same as the C client's: calls, wall_ns (perf_counter), cpu_ns (process_time: user +
system of this process), user_ns and sys_ns (getrusage). A client that cannot be set up
or gives a wrong answer prints {"workload": ..., "error": ...} instead.
"""

from __future__ import annotations

import functools
import json
import resource
import struct
import sys
import time
from typing import Any
from collections.abc import Callable

import common
from common import (COIL_ADDRESS, COIL_COUNT, FLOAT_ADDRESS, READ_ADDRESS, READ_COUNT,
                    SLAVE_ID, WRITE_ADDRESS, WRITE_VALUES)

TIMEOUT = 1.0
BAUDRATE = 115200
_HIGH_WORD_FIRST = struct.Struct(">HH")
_FLOAT = struct.Struct(">f")


def _words_to_float(words: list[int]) -> float:
    return _FLOAT.unpack(_HIGH_WORD_FIRST.pack(words[0], words[1]))[0]


class Client:
    """One master on one slave: a callable per workload, and close()."""

    ops: dict[str, Callable[[], Any]]

    def close(self) -> None:
        pass


# ----------------------------------------------------------------------------- brel_modbus

class BrelTCP(Client):
    def __init__(self, port: str) -> None:
        import brel_modbus
        m = self.m = brel_modbus.ModbusTCPMaster("127.0.0.1", int(port), TIMEOUT, SLAVE_ID)
        read = m.read_registers
        self.ops = {
            "read10": functools.partial(read, READ_ADDRESS, READ_COUNT),
            "write10": functools.partial(m.write_registers, WRITE_ADDRESS, list(WRITE_VALUES)),
            "coils100": functools.partial(m.read_coils, COIL_ADDRESS, COIL_COUNT),
            # the TCP master has no typed reads: two registers, decoded here
            "float": lambda: _words_to_float(read(FLOAT_ADDRESS, 2)),
        }

    def close(self) -> None:
        self.m.close()


class BrelRTU(Client):
    def __init__(self, path: str) -> None:
        import brel_modbus
        m = self.m = brel_modbus.Master(path, BAUDRATE, TIMEOUT)
        self.ops = {
            "read10": functools.partial(m.read_registers, SLAVE_ID, READ_ADDRESS, READ_COUNT),
            "write10": functools.partial(m.write_registers, SLAVE_ID, WRITE_ADDRESS, list(WRITE_VALUES)),
            "coils100": functools.partial(m.read_coils, SLAVE_ID, COIL_ADDRESS, COIL_COUNT),
            "float": functools.partial(m.read_float, SLAVE_ID, FLOAT_ADDRESS),
        }

    def close(self) -> None:
        self.m.close()


class BrelFixRTU(Client):
    def __init__(self, path: str) -> None:
        import brel_modbus
        m = self.m = brel_modbus.FixMaster(SLAVE_ID, path, BAUDRATE, TIMEOUT)
        self.ops = {
            "read10": functools.partial(m.read_registers, READ_ADDRESS, READ_COUNT),
            "write10": functools.partial(m.write_registers, WRITE_ADDRESS, list(WRITE_VALUES)),
            "coils100": functools.partial(m.read_coils, COIL_ADDRESS, COIL_COUNT),
            "float": functools.partial(m.read_float, FLOAT_ADDRESS),
        }

    def close(self) -> None:
        self.m.close()


# ----------------------------------------------------------------------------- pymodbus

class _Pymodbus(Client):
    def _bind(self, c: Any) -> None:
        if not c.connect():
            raise ConnectionError("pymodbus could not connect")
        float32 = c.DATATYPE.FLOAT32
        convert = c.convert_from_registers

        def read10() -> list[int]:
            return c.read_holding_registers(READ_ADDRESS, count=READ_COUNT, device_id=SLAVE_ID).registers

        def write10() -> None:
            rr = c.write_registers(WRITE_ADDRESS, WRITE_VALUES, device_id=SLAVE_ID)
            if rr.isError():
                raise IOError(str(rr))

        def coils100() -> list[bool]:
            return c.read_coils(COIL_ADDRESS, count=COIL_COUNT, device_id=SLAVE_ID).bits

        def read_float() -> float:
            rr = c.read_holding_registers(FLOAT_ADDRESS, count=2, device_id=SLAVE_ID)
            return convert(rr.registers, float32)

        self.c = c
        self.ops = {"read10": read10, "write10": write10, "coils100": coils100, "float": read_float}

    def close(self) -> None:
        self.c.close()


class PymodbusTCP(_Pymodbus):
    def __init__(self, port: str) -> None:
        from pymodbus.client import ModbusTcpClient
        self._bind(ModbusTcpClient("127.0.0.1", port=int(port), timeout=TIMEOUT))


class PymodbusRTU(_Pymodbus):
    def __init__(self, path: str) -> None:
        from pymodbus.client import ModbusSerialClient
        self._bind(ModbusSerialClient(path, baudrate=BAUDRATE, timeout=TIMEOUT))


# ----------------------------------------------------------------------------- pyModbusTCP

class PyModbusTCP(Client):
    def __init__(self, port: str) -> None:
        from pyModbusTCP import utils
        from pyModbusTCP.client import ModbusClient
        c = self.c = ModbusClient(host="127.0.0.1", port=int(port), unit_id=SLAVE_ID, timeout=TIMEOUT)
        if not c.open():
            raise ConnectionError("pyModbusTCP could not connect")
        read = c.read_holding_registers
        decode, to_long = utils.decode_ieee, utils.word_list_to_long

        def write10() -> None:
            if not c.write_multiple_registers(WRITE_ADDRESS, WRITE_VALUES):
                raise IOError(f"pyModbusTCP write failed: {c.last_error_as_txt}")

        self.ops = {
            "read10": functools.partial(read, READ_ADDRESS, READ_COUNT),
            "write10": write10,
            "coils100": functools.partial(c.read_coils, COIL_ADDRESS, COIL_COUNT),
            "float": lambda: decode(to_long(read(FLOAT_ADDRESS, 2))[0]),
        }

    def close(self) -> None:
        self.c.close()


# ----------------------------------------------------------------------------- minimalmodbus

class MinimalmodbusRTU(Client):
    def __init__(self, path: str) -> None:
        import minimalmodbus
        ins = self.ins = minimalmodbus.Instrument(path, SLAVE_ID)
        ins.serial.baudrate = BAUDRATE
        ins.serial.timeout = TIMEOUT
        self.ops = {
            "read10": functools.partial(ins.read_registers, READ_ADDRESS, READ_COUNT, 3),
            "write10": functools.partial(ins.write_registers, WRITE_ADDRESS, list(WRITE_VALUES)),
            "coils100": functools.partial(ins.read_bits, COIL_ADDRESS, COIL_COUNT, 1),
            "float": functools.partial(ins.read_float, FLOAT_ADDRESS, 3),
        }

    def close(self) -> None:
        self.ins.serial.close()


CLIENTS: dict[tuple[str, str], type[Client]] = {
    ("brel_modbus", "tcp"): BrelTCP,
    ("brel_modbus", "rtu"): BrelRTU,
    ("brel_modbus FixMaster", "rtu"): BrelFixRTU,
    ("pymodbus", "tcp"): PymodbusTCP,
    ("pymodbus", "rtu"): PymodbusRTU,
    ("pyModbusTCP", "tcp"): PyModbusTCP,
    ("minimalmodbus", "rtu"): MinimalmodbusRTU,
}


def _error_text(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}".splitlines()[0][:160]


def measure(op: Callable[[], Any], calls: int, warmup: int) -> dict[str, float]:
    for _ in range(warmup):
        op()
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    c0 = time.process_time_ns()
    w0 = time.perf_counter_ns()
    for _ in range(calls):
        op()
    w1 = time.perf_counter_ns()
    c1 = time.process_time_ns()
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    return {
        "calls": calls,
        "wall_ns": w1 - w0,
        "cpu_ns": c1 - c0,
        "user_ns": round((r1.ru_utime - r0.ru_utime) * 1e9),
        "sys_ns": round((r1.ru_stime - r0.ru_stime) * 1e9),
    }


def main(argv: list[str]) -> int:
    if len(argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    name, transport, target, workloads, calls, warmup = argv
    emit = lambda rec: print(json.dumps(rec), flush=True)  # noqa: E731
    try:
        client = CLIENTS[(name, transport)](target)
    except Exception as exc:   # a library that cannot be set up is reported, not fatal
        for w in workloads.split(","):
            emit({"workload": w, "error": "setup: " + _error_text(exc)})
        return 0
    try:
        for w in workloads.split(","):
            op = client.ops[w]
            try:
                problem = common.check_result(w, op())
                if problem is None:
                    rec = measure(op, int(calls), int(warmup))
                    problem = common.check_result(w, op())   # still right after the run
                if problem is not None:
                    rec = {"error": problem}
            except Exception as exc:
                rec = {"error": _error_text(exc)}
            emit({"workload": w, **rec})
    finally:
        try:
            client.close()
        except Exception:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
