"""brel_modbus in a plant, in a few minutes, against simulated slaves on this machine.

    python examples/demo.py [--traffic]

Starts pymodbus slaves (Modbus TCP on 127.0.0.1, and Modbus RTU on a pseudo-terminal
pair), then tells a short story: connect; read a meter's values in their real types and
byte order; a read the slave refuses; a write read back; a broadcast; a poller over a
register map with a hole; the same from the command line (`brel-modbus`). `--traffic` prints every
request and answer in hexadecimal; without it, traffic is shown only where it teaches
something.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import brel_modbus  # noqa: E402
from simulator import SPARSE_HOLDING, SPARSE_STATION, SimulatedSlaves  # noqa: E402

BAUDRATE = 19200
TIMEOUT = 1.0

# The Modbus exception codes a slave answers with, by name.
EXCEPTION_NAMES = {
    1: "illegal function", 2: "illegal data address", 3: "illegal data value", 4: "server device failure",
    5: "acknowledge", 6: "server device busy", 8: "memory parity error", 10: "gateway path unavailable",
    11: "gateway target device failed to respond",
}

# A meter's map, as its manual would give it: what, where, how it is encoded.
METER = [
    ("voltage L1-N", 300, "f", "CDAB", "V", 230.5),
    ("current L1", 302, "f", "CDAB", "A", 12.25),
    ("active energy", 304, "Q", "ABCD", "Wh", 1_234_567_890),
    ("serial number", 308, "8s", "ABCD", "", b"SN-00042"),
]


class Story:
    def __init__(self, traffic: bool) -> None:
        self.traffic = traffic

    def part(self, number: int, title: str) -> None:
        print(f"\n== {number}. {title} " + "=" * max(0, 60 - len(title)))

    def wire(self, master: Any, always: bool = False) -> None:
        """The last request and answer, in hex: (>) went to the slave, (<) came back."""
        if always or self.traffic:
            print(f"     (>) request  {master.last_command_sent_hex}")
            print(f"     (<) answer   {master.last_feedback_received_hex or '(none)'}")


def connect(story: Story, slaves: SimulatedSlaves) -> tuple[brel_modbus.Master, brel_modbus.ModbusTCPMaster]:
    story.part(1, "Connect")
    rtu = brel_modbus.Master(slaves.serial_port, BAUDRATE, TIMEOUT)
    line = rtu.serial.port
    print(f"Modbus RTU  : port {slaves.serial_port} (a pseudo-terminal standing in for /dev/ttyUSB0),")
    print(f"              {line.baudrate} baud, {line.bytesize}{line.parity}{line.stopbits:g}, "
          f"station {slaves.station}, time-out {TIMEOUT} s")
    tcp = brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, TIMEOUT, slaves.station)
    print(f"Modbus TCP  : 127.0.0.1:{slaves.tcp_port}, unit identifier {tcp.station}, time-out {tcp.timeout} s")
    print("Addresses are protocol addresses, 0-based: datasheet register 40301 is address 300.")
    return rtu, tcp


def meter(story: Story, rtu: brel_modbus.Master, station: int) -> None:
    story.part(2, "A meter's values, in their types and byte orders")
    # The simulated meter starts empty: put the values in, as the meter itself would.
    for _, address, fmt, order, _, value in METER:
        rtu.write_values(station, address, fmt, [value], order)
    for name, address, fmt, order, unit, _ in METER:
        (value,) = rtu.read_values(station, address, fmt, order)
        shown = value.decode() if isinstance(value, bytes) else str(value)
        print(f"  {name:<14} {shown:>14} {unit:<3} ({fmt!r} in order {order} at {address})")
    words = rtu.read_registers(station, 300, 2)
    print(f"  order CDAB: register 300 holds the low word {words[0]:#06x}, register 301 the high word "
          f"{words[1]:#06x};")
    (misread,) = brel_modbus.ModbusStatic.decode_values(words, "f", "ABCD")
    assert isinstance(misread, float)
    print(f"  read as ABCD the same registers would give {misread:.6g} V instead of 230.5 V")
    story.wire(rtu)


def refused(story: Story, rtu: brel_modbus.Master, station: int) -> None:
    story.part(3, "A read the slave refuses")
    try:
        rtu.read_registers(station, 1000, 2)
    except brel_modbus.SlaveException as e:
        print(f"  read of holding registers 1000..1001: refused with exception code {e.error_code}, "
              f"{EXCEPTION_NAMES.get(e.error_code, 'unknown')}")
        print(f"  (function code {e.function_code}, station {e.station}; the answer's function code has its "
              f"high bit set)")
        story.wire(rtu, always=True)


def write_read_back(story: Story, rtu: brel_modbus.Master, tcp: brel_modbus.ModbusTCPMaster, station: int) -> None:
    story.part(4, "A write, read back")
    rtu.write_register(station, 320, 0x1234)
    print("  RTU write_register(1, 320, 0x1234) — the slave echoes the request:")
    story.wire(rtu, always=True)
    print(f"  TCP read_register(320) = {tcp.read_register(320):#06x}   (the same datastore, over Modbus TCP)")
    story.wire(tcp)


def broadcast(story: Story, rtu: brel_modbus.Master, station: int) -> None:
    story.part(5, "A broadcast")
    rtu.write_coil(0, 30, True)
    print("  write_coil(0, 30, True): station 0 reaches every slave; none answers, so the call returns")
    print(f"  once the frame is out (answer: {rtu.last_feedback_received_hex or 'none'}), and the line stays "
          f"quiet {rtu.serial.broadcast_delay * 1000:.0f} ms")
    print(f"  read_coil({station}, 30) afterwards = {rtu.read_coil(station, 30)}")
    rtu.write_coil(station, 30, False)


def poller(story: Story, rtu: brel_modbus.Master, station: int) -> None:
    story.part(6, "Polling many points: merged reads, a hole in the map")
    poller = brel_modbus.Poller(rtu)
    poller.add("voltage", station, "holding", 300, "f", "CDAB")
    poller.add("current", station, "holding", 302, "f", "CDAB")
    poller.add("energy", station, "holding", 304, "Q")
    poller.add("flow", SPARSE_STATION, "holding", 2)
    poller.add("level", SPARSE_STATION, "holding", 8)
    poller.add("counter", SPARSE_STATION, "holding", 25)   # station 2 has nothing at 10..19
    poller.add("pump", station, "coil", 30)
    print(f"  {len(poller.plan())} requests for 7 points on 2 stations:")
    for request in poller.plan():
        print(f"    {request}")
    values = poller.poll()
    print(f"  station {SPARSE_STATION} refused the read over its hole (illegal data address); the poller split it")
    print(f"  within the same pass and keeps the split: {len(poller.plan())} requests from now on")
    for request in poller.plan():
        if request[0] == SPARSE_STATION:
            print(f"    {request}")
    assert not any(isinstance(value, Exception) for value in values.values())
    assert (values["flow"], values["level"], values["counter"]) == (SPARSE_HOLDING[2], SPARSE_HOLDING[8],
                                                                    SPARSE_HOLDING[25])
    print(f"  the pass: voltage {values['voltage']} V, energy {values['energy']} Wh, flow {values['flow']}, "
          f"level {values['level']}, counter {values['counter']}, pump {values['pump']}")
    for number, figures in sorted(poller.stats.items()):
        p50 = figures["rtt_p50"]
        rtt = "-" if p50 is None else f"{p50 * 1000:.1f} ms"
        print(f"  station {number}: {figures['requests']} requests, {figures['answers']} answers, "
              f"{figures['slave_exceptions']} refused, round trip p50 {rtt}")


def command_line(story: Story, slaves: SimulatedSlaves) -> None:
    story.part(7, "The same from the command line")
    target = f"tcp://127.0.0.1:{slaves.tcp_port}"
    for args in (["read", target, "-a", "1", "--address", "300", "-f", "2f", "--order", "CDAB"],
                 ["scan", target, "--stations", "1-3", "--timeout", "0.2"],
                 ["read", slaves.serial_port, "--parity", "N", "-a", "1", "--address", "1000", "-c", "2"]):
        shown = " ".join(f'"{a}"' if " " in a else a for a in args)
        print(f"  $ brel-modbus {shown}")
        done = subprocess.run([sys.executable, "-m", "brel_modbus_tool", *args], capture_output=True, text=True,
                              timeout=60)
        for line in (done.stdout + done.stderr).splitlines():
            print(f"    {line}")
        print(f"    (exit status {done.returncode})")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--traffic", action="store_true", help="print every request and answer in hex")
    args = parser.parse_args(argv)
    story = Story(args.traffic)
    with SimulatedSlaves() as slaves:
        station = slaves.station
        rtu, tcp = connect(story, slaves)
        with rtu, tcp:
            meter(story, rtu, station)
            refused(story, rtu, station)
            write_read_back(story, rtu, tcp, station)
            broadcast(story, rtu, station)
            poller(story, rtu, station)
        command_line(story, slaves)
    print("\nall parts done; slaves stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
