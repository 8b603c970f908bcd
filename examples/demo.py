"""brel_modbus in action against simulated slaves on this machine.

Starts pymodbus slaves (Modbus TCP on 127.0.0.1, RTU framing over TCP, RTU over a
pseudo-terminal pair), then polls and writes through Master, FixMaster and
ModbusTCPMaster, printing each value and the traffic of each exchange.
"""

from __future__ import annotations

import sys
from functools import partial
from pathlib import Path
from typing import Any
from collections.abc import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import brel_modbus  # noqa: E402
from simulator import SimulatedSlaves  # noqa: E402

BAUDRATE = 19200
TIMEOUT = 1.0


def show(master: Any, what: str, operation: Callable[[], Any]) -> Any:
    """Run one exchange and print its result and its traffic."""
    value = operation()
    shown = "" if value is None else f" = {value!r}"
    print(f"  {what}{shown}")
    print(f"      sent     {master.last_command_sent_hex}")
    print(f"      received {master.last_feedback_received_hex}")
    return value


def serial_master_tour(title: str, master: brel_modbus.Master, station: int) -> None:
    print(title)
    show(master, "holding registers 0..4", lambda: master.read_registers(station, 0, 5))
    show(master, "input registers 0..3", lambda: master.read_input_registers(station, 0, 4))
    show(master, "coils 0..9", lambda: master.read_coils(station, 0, 10))
    show(master, "discrete inputs 0..7", lambda: master.read_input_coils(station, 0, 8))
    show(master, "write coil 5 on", lambda: master.write_coil(station, 5, True))
    show(master, "coil 5", lambda: master.read_coil(station, 5))
    show(master, "write int16 -1234 at 200", lambda: master.write_int16(station, 200, -1234))
    show(master, "int16 at 200", lambda: master.read_int16(station, 200))
    for endian in ("<", ">"):
        show(master, f"write int32 -123456 at 210 ({endian})",
             partial(master.write_int32, station, 210, -123456, endian))
        show(master, f"int32 at 210 ({endian})", partial(master.read_int32, station, 210, endian))
        show(master, f"write uint32 3000000000 at 212 ({endian})",
             partial(master.write_uint32, station, 212, 3000000000, endian))
        show(master, f"uint32 at 212 ({endian})", partial(master.read_uint32, station, 212, endian))
        show(master, f"write float 21.5 at 214 ({endian})", partial(master.write_float, station, 214, 21.5, endian))
        show(master, f"float at 214 ({endian})", partial(master.read_float, station, 214, endian))
    show(master, "write floats at 220", lambda: master.write_multi_float(station, 220, [0.5, -1.25, 1e10]))
    show(master, "floats at 220", lambda: master.read_multi_float(station, 220, 3))
    try:
        master.read_registers(station, 1000, 2)
    except brel_modbus.SlaveException as e:
        print(f"  holding register 1000 refused: {e}")
        print(f"      received {master.last_feedback_received_hex}")


def main() -> int:
    with SimulatedSlaves() as slaves:
        station = slaves.station
        with brel_modbus.Master(slaves.serial_port, BAUDRATE, TIMEOUT) as master:
            serial_master_tour(f"Master, RTU over the pseudo-terminal {slaves.serial_port}", master, station)
        with brel_modbus.Master(slaves.rtu_url, BAUDRATE, TIMEOUT) as master:
            serial_master_tour(f"Master, RTU over TCP at {slaves.rtu_url}", master, station)

        with brel_modbus.FixMaster(station, slaves.serial_port, BAUDRATE, TIMEOUT) as fixed:
            print(f"FixMaster, station {fixed.station}, RTU over the pseudo-terminal")
            show(fixed, "write register 230 = 4321", lambda: fixed.write_register(230, 4321))
            show(fixed, "holding registers 228..231", lambda: fixed.read_registers(228, 4))
            show(fixed, "input registers 0..1 (function code 4)", lambda: fixed.read_registers(0, 2, 4))
            show(fixed, "write uint32 123456789 at 232", lambda: fixed.write_uint32(232, 123456789))
            show(fixed, "uint32 at 232", lambda: fixed.read_uint32(232))
            show(fixed, "float at 214", lambda: fixed.read_float(214))

        with brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, TIMEOUT, station) as tcp:
            print(f"ModbusTCPMaster, 127.0.0.1:{slaves.tcp_port}, unit {tcp.station}")
            show(tcp, "holding registers 0..4", lambda: tcp.read_registers(0, 5))
            show(tcp, "write registers 240..242", lambda: tcp.write_registers(240, [1, 2, 65535]))
            show(tcp, "holding register 242", lambda: tcp.read_register(242))
            show(tcp, "write coil 7 off", lambda: tcp.write_coil(7, False))
            show(tcp, "coils 0..9", lambda: tcp.read_coils(0, 10))
        print("all exchanges done; slaves stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
