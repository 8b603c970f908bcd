"""Fuzz target: every read and write of ModbusTCPMaster against arbitrary server answers
delivered in arbitrary segments through a scripted socket, with sends that may take
only part of the request: coils, discrete inputs, holding and input registers, codes 5,
6, 15, 16, 22 and 23, device identification page by page, typed values of 16 and 32 bits
(either word order) and values of any format and byte order.

Input: operation, flags, arguments, optional send limit and station, cut points, then
the answer stream. Flags: bit 0 the connection closes after the last segment (else a
receive times out), bit 1 partial sends, bits 2 to 4 the number of cuts, bit 5 wide
arguments (addresses, counts, masks, codes and object ids out of range, too many values,
values their type cannot hold, objects of the wrong type), bit 6 a station set through
the property.

Documented exceptions that may escape (everything else is a finding):
- OSError (ConnectionError "Connection closed by ", "Received data header invalid from ",
  and the socket's TimeoutError);
- AssertionError (the answer checks; TCPSlaveException, also a SlaveException, for an
  exception answer);
- IndexError (an answer too short to decode);
- ValueError: more than 127 register values; a count, read_count or number of values
  outside the protocol's limits (125 registers, 2000 inputs, 1968 coils, 121 values to
  write with code 23, 62 and 61 32-bit values); a read_code outside 1..4; a format the
  codec refuses or of more registers than one request carries (125 read, 123 written), a
  bad order, a func_code other than 3 or 4, a number of values that does not fit the
  format, a string longer than its field;
- OverflowError: an address, count, mask or object id outside its field (0..65535,
  object id 0..255); a typed value its code cannot hold;
- TypeError: an endian that is no str; values that are no sequence (write_coils, the
  multi writes, write_values); a value of code 23 that is no int; a typed value of the
  wrong type.
"""

from __future__ import annotations

import fuzz_support as fs

with fs.instrumented():
    from fuzz_model_tcp import OPERATIONS, Model, decode_args

import brel_modbus

ALLOWED = (OSError, AssertionError, IndexError, ValueError, OverflowError, TypeError)


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

    # Device identification may take several requests: the records hold the last one and
    # what was received for it.
    if sock.sent != twin.sent or master.last_command_sent != model.request:
        raise fs.Mismatch(f"{label}: sent {sock.sent!r}, recorded {master.last_command_sent!r}, "
                          f"expected {twin.sent!r}, last {model.request!r}")
    if master.last_feedback_received != model.answer or sock.received != twin.received:
        raise fs.Mismatch(f"{label}: last_feedback_received {master.last_feedback_received!r}, "
                          f"expected {model.answer!r}; received {sock.received!r}, expected {twin.received!r}")
    if master._ModbusTCPMaster__head_checker != 1 + model.queries:
        raise fs.Mismatch(f"{label}: transaction counter {master._ModbusTCPMaster__head_checker}")
    if master.last_feedback_received_hex != " ".join(f"{b:02X}" for b in model.answer):
        raise fs.Mismatch(f"{label}: last_feedback_received_hex {master.last_feedback_received_hex!r}")


if __name__ == "__main__":
    fs.main(one_input, "tcp")
