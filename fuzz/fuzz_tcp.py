"""Fuzz target: every read and write of ModbusTCPMaster against arbitrary server answers
delivered in arbitrary segments through a scripted socket, with sends that may take
only part of the request.

Input: operation, flags, arguments, optional send limit and station, cut points, then
the answer stream. Flags: bit 0 the connection closes after the last segment (else a
receive times out), bit 1 partial sends, bits 2 to 4 the number of cuts, bit 5 wide
arguments (addresses beyond 16 bits, negative counts, more than 127 values), bit 6 a
station set through the property.

Documented exceptions that may escape (everything else is a finding): OSError ("Receive
timeout from ", "Received data header invalid from ", and the socket's TimeoutError),
AssertionError (the answer checks; TCPSlaveException, also a SlaveException, for an
exception answer), IndexError (an answer too short to decode), ValueError for more than
127 register values, and OverflowError for an address or count outside 0..65535.
"""

from __future__ import annotations

import fuzz_support as fs

with fs.instrumented():
    from fuzz_model_tcp import OPERATIONS, Model, decode_args

import brel_modbus

ALLOWED = (OSError, AssertionError, IndexError, ValueError, OverflowError)


def one_input(data: bytes) -> None:
    src = fs.ByteSource(data)
    name = OPERATIONS[src.u8() % len(OPERATIONS)]
    flags = src.u8()
    args = decode_args(name, src, wide=bool(flags & 0x20))
    send_limit = 1 + src.u8() % 16 if flags & 2 else 0
    station = src.u8() if flags & 0x40 else 1
    cuts = (flags >> 2) & 7
    cut_source = fs.ByteSource(src.take(cuts))
    answer = src.rest()
    pieces = cut_source.pieces(cuts, answer)

    sock = fs.PieceSocket(pieces, bool(flags & 1), send_limit)
    brel_modbus._tcp_connect = lambda address, timeout=None: sock
    master = brel_modbus.ModbusTCPMaster("127.0.0.1", 1502, 1.0)
    if flags & 0x40:
        master.station = station
    library = fs.outcome(getattr(master, name), *args)

    twin = fs.PieceSocket(pieces, bool(flags & 1), send_limit)
    model = Model(twin, station)
    expected = fs.outcome(getattr(model, name), *args)
    label = f"ModbusTCPMaster.{name}{tuple(args)!r}"
    fs.compare(label, ALLOWED, library, expected)

    if sock.sent != twin.sent or master.last_command_sent != twin.sent:
        raise fs.Mismatch(f"{label}: sent {sock.sent!r}, recorded {master.last_command_sent!r}, "
                          f"expected {twin.sent!r}")
    if master.last_feedback_received != sock.received or sock.received != twin.received:
        raise fs.Mismatch(f"{label}: last_feedback_received {master.last_feedback_received!r}, "
                          f"received {sock.received!r}, expected {twin.received!r}")
    if master._ModbusTCPMaster__head_checker != 1 + model.queries:
        raise fs.Mismatch(f"{label}: transaction counter {master._ModbusTCPMaster__head_checker}")
    if master.last_feedback_received_hex != " ".join(f"{b:02X}" for b in sock.received):
        raise fs.Mismatch(f"{label}: last_feedback_received_hex {master.last_feedback_received_hex!r}")


if __name__ == "__main__":
    fs.main(one_input, "tcp")
