"""Fuzz target: every read and write of Master and FixMaster against arbitrary slave
answers delivered in arbitrary pieces through a scripted channel.

Input: operation, flags, arguments, optional stale input, cut points, then the answer.
Flags: bit 0 the general road (the protocol helpers replaced by Python twins), bit 1
stale input before the request, bit 2 through a FixMaster, bit 3 low word first, bits 4
to 6 the number of cuts, bit 7 wide arguments (a station above 255, addresses and values
beyond 16 bits, out-of-range typed values).

Documented exceptions that may escape (everything else is a finding):
- every operation: OSError ("modbus: read from slave timeout", or the channel's own),
  SlaveException (an exception answer), ValueError (CRC error; an answer that does not
  match its request; more than 127 registers), OverflowError (a station outside 0..255
  in the request's byte array, an address or count outside 0..65535);
- typed writes: struct.error and OverflowError (a value the kind cannot hold).

After each operation, a read_registers on the same master and line: when the operation's
transaction did not end cleanly, the master reads the line quiet (what is left of the
answer) before the request; otherwise it drops only what waits. The channel's time-out,
changed for that wait, must be back as it was.
"""

from __future__ import annotations

import array
import struct

import fuzz_support as fs

with fs.instrumented():
    from fuzz_model_rtu import FIX_NAMES, OPERATIONS, SHAPES, Model, decode_args

import brel_modbus

SE = brel_modbus.SlaveException
ALLOWED = (OSError, SE, ValueError, OverflowError, IndexError, TypeError, struct.error)


class PythonHelpers:
    """_byte_array and the ModbusStatic helpers replaced by Python twins while inside."""

    def __enter__(self):
        s = brel_modbus.ModbusStatic
        self.saved = (brel_modbus._byte_array, s.__dict__["split_register"], s.__dict__["compound_register"],
                      s.__dict__["calculate_crc"], s.__dict__["crc_is_right"])
        crc, right = s.calculate_crc, s.crc_is_right
        brel_modbus._byte_array = lambda it: array.array("B", it)
        s.split_register = staticmethod(lambda v: ((v >> 8) & 0xFF, v & 0xFF))
        s.compound_register = staticmethod(lambda high, low: (high << 8) + low)
        s.calculate_crc = staticmethod(lambda x, beg=0, end=None: crc(x, beg, end))
        s.crc_is_right = staticmethod(lambda x: right(x))
        return self

    def __exit__(self, *exc):
        s = brel_modbus.ModbusStatic
        brel_modbus._byte_array = self.saved[0]
        s.split_register, s.compound_register, s.calculate_crc, s.crc_is_right = self.saved[1:]


def one_input(data: bytes) -> None:
    src = fs.ByteSource(data)
    name, call = OPERATIONS[src.u8() % len(OPERATIONS)]
    flags = src.u8()
    general, stale_input, fixed, endian = flags & 1, flags & 2, flags & 4, "<" if flags & 8 else ">"
    args = decode_args(name, src, wide=bool(flags & 0x80), endian=endian)
    stale = src.take(src.u8()) if stale_input else b""
    cuts = (flags >> 4) & 7
    cut_bytes = [src.u8() for _ in range(cuts)]
    answer = src.rest()
    pieces = fs.ByteSource(bytes(cut_bytes)).pieces(cuts, answer)
    use_fix = bool(fixed) and name in FIX_NAMES and endian == ">"

    made = []

    def factory(**kwargs):
        made.append(fs.PieceChannel(stale, pieces, **kwargs))
        return made[-1]

    brel_modbus.create_serial_instance = factory
    station, rest = args[0], args[1:]
    if use_fix:
        # FixMaster: no station, no word order (always high word first), and read_register
        # with the master's default function code.
        if SHAPES[name].endswith("e"):
            rest = rest[:-1]
        if name == "read_register":
            rest, args = rest[:-1], args[:-1] + [3]
        target = brel_modbus.FixMaster(station, "/dev/ttyFUZZ", 9600, 1.0)
        master = target.master
        operation = lambda: getattr(target, name)(*rest)      # noqa: E731
    else:
        master = target = brel_modbus.Master("/dev/ttyFUZZ", 9600, 1.0)
        operation = lambda: getattr(target, name)(*args)      # noqa: E731
    channel = made[0]
    # A delay no fuzz input outlasts: the wait for a quiet line always reads the line empty.
    master.recovery_delay = 60.0

    if general:
        with PythonHelpers():
            library = fs.outcome(operation)
    else:
        library = fs.outcome(operation)

    twin = fs.PieceChannel(stale, pieces)
    reference = Model(twin)
    model = fs.outcome(call, reference, *args)
    label = f"{'FixMaster' if use_fix else 'Master'}.{name}{tuple(args)!r}"
    fs.compare(label, ALLOWED, library, model)

    if channel.writes != twin.writes:
        raise fs.Mismatch(f"{label}: wrote {channel.writes!r}; expected {twin.writes!r}")
    sent = channel.writes[-1] if channel.writes else b""
    if master.last_command_sent != sent or target.last_command_sent != sent:
        raise fs.Mismatch(f"{label}: last_command_sent {master.last_command_sent!r}, on the line {sent!r}")
    if master.last_feedback_received != channel.received or channel.received != twin.received:
        raise fs.Mismatch(f"{label}: last_feedback_received {master.last_feedback_received!r}, "
                          f"read {channel.received!r}, expected {twin.received!r}")
    if target.last_command_sent_hex != " ".join(f"{b:02X}" for b in sent):
        raise fs.Mismatch(f"{label}: last_command_sent_hex {target.last_command_sent_hex!r}")
    if channel.writes and channel.stale:
        raise fs.Mismatch(f"{label}: stale input left unread: {channel.stale!r}")

    # The next call on the same line: after a transaction that did not end cleanly, what is
    # left of the answer is read away before the request; otherwise only what waits.
    library = fs.outcome(master.read_registers, 1, 0, 1)
    model = fs.outcome(reference.read_registers, 1, 0, 1)
    fs.compare(f"{label}, then read_registers(1, 0, 1)", ALLOWED, library, model)
    if channel.writes != twin.writes or channel.received != twin.received:
        raise fs.Mismatch(f"{label}, then read_registers: wrote {channel.writes!r}, read {channel.received!r}; "
                          f"expected {twin.writes!r}, {twin.received!r}")
    if channel.timeout != 1.0:
        raise fs.Mismatch(f"{label}: the channel's time-out left at {channel.timeout!r}")


if __name__ == "__main__":
    fs.main(one_input, "rtu")
