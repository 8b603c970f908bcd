"""The Modbus TCP master as the library documents it, for the fuzz target to compare with:
the whole request sent, the answer received until its header and then its declared
remainder have arrived (a closed connection is a receive time-out), the header and
assertion checks, and the decoding of each operation."""

from __future__ import annotations

import brel_modbus
from fuzz_support import ByteSource, Expected, mbap

PEER = str(("127.0.0.1", 1502))


def split(value: int) -> bytes:
    return bytes(((value >> 8) & 0xFF, value & 0xFF))


def field(value: int, what: str) -> None:
    """Addresses and counts are 16-bit fields on the line, never wrapped."""
    if not 0 <= value <= 0xFFFF:
        raise Expected(OverflowError, f"modbus: {what} out of range 0 to 65535: {value}")


class Model:
    def __init__(self, sock, station: int):
        self.sock, self.station = sock, station
        self.queries = 0
        self.answer = b""

    def receive_until(self, size: int) -> None:
        while len(self.answer) < size:
            piece = self.sock.recv(size - len(self.answer))     # TimeoutError passes on
            self.answer += piece
            if not piece:
                raise Expected(ConnectionError, "Connection closed by " + PEER)

    def query(self, pdu: bytes, length_needed):
        request = mbap(1, pdu, unit=self.station)
        self.queries += 1
        sent = 0
        while sent < len(request):
            sent += self.sock.send(request[sent:])
        try:
            self.receive_until(8)
        except TimeoutError as exc:
            raise Expected(TimeoutError, str(exc)) from None
        head = self.answer
        if head[:4] != request[:4] or head[6] != request[6]:
            raise Expected(OSError, "Received data header invalid from " + PEER)
        left = (head[4] << 8 | head[5]) - 2
        data = b""
        if left > 0:
            try:
                self.receive_until(8 + left)
            except TimeoutError as exc:
                raise Expected(TimeoutError, str(exc)) from None
            data = self.answer[8:]
        if left == 1 and head[7] == request[7] | 0x80:
            refusal = brel_modbus.TCPSlaveException(head[6], head[7], data[0])
            raise Expected(brel_modbus.TCPSlaveException, str(refusal))
        if length_needed is not None and left != length_needed:
            raise Expected(AssertionError, "Data length not match with needed")
        if head[7] != request[7]:
            raise Expected(AssertionError, "ModbusTCP error code: " + hex(head[7]))
        return data

    def read_coils(self, address, count):
        field(address, "address")
        field(count, "count")
        n = count // 8 + (1 if count % 8 else 0)
        data = self.query(bytes((1,)) + split(address) + split(count), n + 1)
        if not data:
            raise Expected(IndexError)
        if data[0] != n:
            raise Expected(AssertionError, "Feedback for reading coils invalid")
        result = []
        for byte in data[1:]:
            for bit in range(8):
                result.append(bool(byte >> bit & 1))
                if len(result) == count:
                    return result
        return result

    def read_registers(self, address, count):
        field(address, "address")
        field(count, "count")
        data = self.query(bytes((3,)) + split(address) + split(count), 2 * count + 1)
        if not data:
            raise Expected(IndexError)
        if data[0] != 2 * count:
            raise Expected(AssertionError, "Feedback for reading registers invalid")
        if len(data) - 1 < 2 * max(count, 0):
            raise Expected(IndexError)
        return [data[1 + 2 * i] << 8 | data[2 + 2 * i] for i in range(count)]

    def read_register(self, address):
        field(address, "address")
        return self.read_registers(address, 1)[0]

    def write_registers(self, address, values):
        field(address, "address")
        if len(values) > 127:
            raise Expected(ValueError, "bytes must be in range(0, 256)")
        pdu = bytes((0x10,)) + split(address) + split(len(values)) + bytes((2 * len(values),))
        data = self.query(pdu + b"".join(split(v) for v in values), 4)
        if len(data) < 4:
            raise Expected(IndexError)
        if (data[0] << 8 | data[1]) != address or (data[2] << 8 | data[3]) != len(values):
            raise Expected(AssertionError, f"Write registers to {PEER} failed.")

    def write_register(self, address, value):
        field(address, "address")
        self.write_registers(address, [value])

    def write_coil(self, address, value):
        field(address, "address")
        pdu = bytes((5,)) + split(address) + bytes((0xFF if value else 0, 0))
        data = self.query(pdu, 4)
        if len(data) < 2:
            raise Expected(IndexError)
        ok = (data[0] << 8 | data[1]) == address
        if ok and len(data) < 4:
            raise Expected(IndexError)
        if not (ok and data[2] == pdu[3] and data[3] == pdu[4]):
            raise Expected(AssertionError, f"Write coil address [{address}] to {PEER} failed.")


OPERATIONS = ["read_coils", "read_registers", "read_register", "write_registers", "write_register", "write_coil"]
SHAPES = {"read_coils": "ac", "read_registers": "ac", "read_register": "a", "write_registers": "aV",
          "write_register": "av", "write_coil": "ab"}


def decode_args(name: str, src: ByteSource, wide: bool) -> list:
    args = []
    for letter in SHAPES[name]:
        if letter == "a":
            args.append(src.uint(3) - (1 << 20) if wide else src.uint(2))
        elif letter == "c":
            args.append(src.uint(2) % 2100 - (16 if wide else 0))
        elif letter == "v":
            args.append(src.uint(3) - (1 << 20) if wide else src.uint(2))
        elif letter == "V":
            count, seed = src.u8() % (140 if wide else 128), src.uint(2)
            args.append([(seed * (k + 1) * 40503 + k) & 0xFFFF for k in range(count)])
        elif letter == "b":
            args.append(src.u8() & 1)
    return args
