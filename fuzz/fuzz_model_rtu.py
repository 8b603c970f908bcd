"""The serial master as the protocol describes it, for the fuzz target to compare with:
request frames, answer reading and validation, decoding, typed values. Plain Python; it
raises fuzz_support.Expected for every failure the library must report."""

from __future__ import annotations

import array
import struct

import brel_modbus
import fuzz_model_values as values_reference
from fuzz_model_checks import decoded_values, field, item_count, limit, reference, register_limit, split
from fuzz_support import ByteSource, Expected, with_crc

TIMEOUT = "modbus: read from slave timeout"
TOO_MANY = "modbus write registers: invalid argument: register count must be less than 128"


def crc_error(station) -> Expected:
    return Expected(ValueError, f"modbus: message from slave with station {station} has crc error")


def mismatch(station) -> Expected:
    return Expected(ValueError, f"modbus: answer from slave with station {station} does not match the request")








class Model:
    def __init__(self, channel):
        self.channel = channel
        self.request = b""
        # A request went out and its answer was not found sound (a refusal in a sound frame
        # and a broadcast count as sound): the next request waits for a quiet line first.
        self.unclean = False

    # -- the line
    def send(self, station: int, code: int, body: bytes) -> None:
        if not 0 <= station <= 255:
            raise Expected(OverflowError)
        frame = with_crc(bytes((station, code)) + body)
        if self.unclean:
            self.recover()
        if self.channel.in_waiting > 0:
            self.channel.read(self.channel.in_waiting)
        self.channel.write(array.array("B", frame))
        self.request = frame
        self.unclean = True

    def recover(self) -> None:
        """The wait for a quiet line, on a channel where time never runs out: what waits is
        read away, then one byte at a time (and what waits behind it) until a read of one
        byte finds nothing."""
        if self.channel.in_waiting > 0:
            self.channel.read(self.channel.in_waiting)
        while self.channel.read(1):
            if self.channel.in_waiting > 0:
                self.channel.read(self.channel.in_waiting)
        self.unclean = False

    def head(self, station) -> bytes:
        head = self.channel.read(5)
        if len(head) != 5:
            raise Expected(OSError, TIMEOUT)
        if head[1] >= 128:
            if not crc_right(head):          # noise is never a refusal
                raise crc_error(station)
            if head[0] != self.request[0] or head[1] != self.request[1] | 0x80:
                raise mismatch(station)
            self.unclean = False
            raise Expected(brel_modbus.SlaveException, str(brel_modbus.SlaveException(station, head[1], head[2])))
        return head

    def counted(self, station, byte_count: int) -> bytes:
        answer = self.head(station) + self.channel.read(0)
        answer += self.channel.read(answer[2])
        if len(answer) < 5 + answer[2]:
            raise Expected(OSError, TIMEOUT)
        if not crc_right(answer):
            raise crc_error(station)
        if answer[:2] != self.request[:2] or answer[2] != byte_count:
            raise mismatch(station)
        self.unclean = False
        return answer

    def confirm(self, station, size: int = 8) -> None:
        """The answer of a write: `size` bytes repeating the request's head."""
        if self.request[0] == 0:             # a broadcast: nobody answers
            self.unclean = False
            return
        answer = self.head(station) + self.channel.read(size - 5)
        if len(answer) != size:
            raise Expected(OSError, TIMEOUT)
        if not crc_right(answer):
            raise crc_error(station)
        if answer[:size - 2] != self.request[:size - 2]:
            raise mismatch(station)
        self.unclean = False

    def more(self, answer: bytes, size: int) -> bytes:
        data = self.channel.read(size)
        if len(data) < size:
            raise Expected(OSError, TIMEOUT)
        return answer + data

    # -- registers and coils
    def read_registers(self, station, address, count, code=3):
        if code in WRITING_CODES:
            raise Expected(ValueError, f"modbus: func_code {code} writes to the device; a read does not send it")
        field(address, "address")
        field(count, "count")
        self.send(station, code, split(address) + split(count))
        answer = self.counted(station, 2 * count)
        return [(answer[i] << 8) + answer[i + 1] for i in range(3, len(answer) - 2, 2)]

    def read_coils(self, station, address, count, code=1):
        field(address, "address")
        field(count, "count")
        self.send(station, code, split(address) + split(count))
        answer = self.counted(station, (count + 7) // 8)
        n = answer[2]
        bits = int.from_bytes(answer[3:3 + n], "little")
        return [bool(bits >> i & 1) for i in range(max(0, min(8 * n, count)))]

    def write_register(self, station, address, value):
        field(address, "address")
        self.send(station, 6, split(address) + split(value))
        self.confirm(station)

    def write_registers(self, station, address, values):
        if len(values) > 127:
            raise Expected(ValueError, TOO_MANY)
        field(address, "address")
        self.send(station, 16, split(address) + split(len(values)) + bytes((2 * len(values),))
                  + b"".join(split(v) for v in values))
        self.confirm(station)

    def write_coil(self, station, address, value):
        field(address, "address")
        self.send(station, 5, split(address) + bytes((255 if value else 0, 0)))
        self.confirm(station)

    # -- codes 15, 22, 23 and 43
    def write_coils(self, station, address, states):
        field(address, "address")
        item_count(len(states), 1968)
        field(station, "station", 0xFF)
        packed = bytearray((len(states) + 7) // 8)
        for i, on in enumerate(states):
            if on:
                packed[i // 8] |= 1 << (i % 8)
        self.send(station, 15, split(address) + split(len(states)) + bytes((len(packed),)) + packed)
        self.confirm(station)

    def mask_write_register(self, station, address, and_mask, or_mask):
        field(address, "address")
        field(and_mask, "and_mask")
        field(or_mask, "or_mask")
        field(station, "station", 0xFF)
        self.send(station, 22, split(address) + split(and_mask) + split(or_mask))
        self.confirm(station, 10)

    def read_write_registers(self, station, read_address, read_count, write_address, values):
        field(read_address, "read_address")
        field(read_count, "read_count")
        field(write_address, "write_address")
        limit(read_count, 125, "read_count")
        item_count(len(values), 121)
        field(station, "station", 0xFF)
        self.send(station, 23, split(read_address) + split(read_count) + split(write_address) + split(len(values))
                  + bytes((2 * len(values),)) + b"".join(split(v) for v in values))
        answer = self.counted(station, 2 * read_count)
        return [(answer[i] << 8) + answer[i + 1] for i in range(3, len(answer) - 2, 2)]

    def read_device_identification(self, station, read_code=1, object_id=0):
        limit(read_code, 4, "read_code")
        field(object_id, "object_id", 0xFF)
        field(station, "station", 0xFF)
        objects = {}
        while True:
            self.send(station, 43, bytes((0x0E, read_code, object_id)))
            answer = self.head(station) + self.channel.read(0)
            if answer[:4] != bytes((station, 43, 0x0E, read_code)):
                raise mismatch(station)
            answer = self.more(answer, 3)
            for _ in range(answer[7]):
                answer = self.more(answer, 2)
                answer = self.more(answer, answer[-1])
            answer = self.more(answer, 2)
            if not crc_right(answer):
                raise crc_error(station)
            self.unclean = False
            at = 8
            for _ in range(answer[7]):
                objects[answer[at]] = answer[at + 2:at + 2 + answer[at + 1]]
                at += 2 + answer[at + 1]
            if answer[5] != 0xFF or read_code == 4:
                return objects
            if answer[6] <= object_id:
                raise mismatch(station)
            object_id = answer[6]

    # -- values of any type
    def read_values(self, station, address, fmt, order="ABCD", code=3):
        fields = reference(values_reference.value_layout, fmt, order)
        n = sum(size for _, size in fields) // 2
        register_limit(n, 125, "read")
        if code not in (3, 4):
            raise Expected(ValueError, f"modbus: func_code must be 3 or 4: {code}")
        registers = self.read_registers(station, address, n, code)
        return reference(values_reference.decode_values, registers, fmt, order)

    def write_values(self, station, address, fmt, values, order="ABCD"):
        fields = reference(values_reference.value_layout, fmt, order)
        register_limit(sum(size for _, size in fields) // 2, 123, "written")
        self.write_registers(station, address, reference(values_reference.encode_values, fmt, values, order))

    # -- typed values
    def read_32(self, station, address, sign, endian):
        registers = self.read_registers(station, address, 2)
        if len(registers) != 2:
            raise Expected(ValueError)
        low, high = registers
        if endian == ">":
            low, high = high, low
        return struct.unpack(sign, struct.pack("HH", low, high))[0]

    def read_multi_32(self, station, address, count, sign, endian):
        registers = self.read_registers(station, address, 2 * count)
        values = []
        for i in range(count):
            if 2 * i + 1 >= len(registers):
                raise Expected(IndexError)
            low, high = registers[2 * i], registers[2 * i + 1]
            if endian == ">":
                low, high = high, low
            values.append(struct.unpack(sign, struct.pack("HH", low, high))[0])
        return values

    def words(self, value, sign, endian):
        try:
            low, high = struct.unpack("HH", struct.pack(sign, value))
            if sign == "f":
                # A finite value that rounds to an infinity is refused, not sent as one
                # (the standard-size packing makes that test).
                struct.pack("<f", value)
        except (struct.error, OverflowError) as exc:
            raise Expected(type(exc), str(exc)) from None
        return [high, low] if endian == ">" else [low, high]

    def one(self, values):
        if not values:
            raise Expected(IndexError)
        return values[0]


def crc_right(frame: bytes) -> bool:
    from fuzz_support import crc16

    crc = crc16(frame[:-2])
    return frame[-2] == crc & 0xFF and frame[-1] == crc >> 8


def _typed_reads():
    for sign, kind in (("I", "uint32"), ("i", "int32"), ("f", "float")):
        yield f"read_{kind}", (lambda m, s, a, e, sign=sign: m.read_32(s, a, sign, e))
        yield f"read_multi_{kind}", (lambda m, s, a, c, e, sign=sign: m.read_multi_32(s, a, c, sign, e))
        yield f"write_{kind}", (lambda m, s, a, v, e, sign=sign: m.write_registers(s, a, m.words(v, sign, e)))
        yield f"write_multi_{kind}", (lambda m, s, a, vs, e, sign=sign:
                                      m.write_registers(s, a, [w for v in vs for w in m.words(v, sign, e)]))


def _read_int16(m, s, a):
    value = m.one(m.read_registers(s, a, 1))
    return struct.unpack("h", struct.pack("H", value))[0]


# The function codes that change a device: no read sends one.
WRITING_CODES = (5, 6, 15, 16, 21, 22, 23)

OPERATIONS = [
    ("read_registers", lambda m, s, a, c, fc: m.read_registers(s, a, c, fc)),
    ("read_register", lambda m, s, a, fc: m.one(m.read_registers(s, a, 1, fc))),
    ("read_input_registers", lambda m, s, a, c: m.read_registers(s, a, c, 4)),
    ("read_input_register", lambda m, s, a: m.one(m.read_registers(s, a, 1, 4))),
    ("read_coils", lambda m, s, a, c: m.read_coils(s, a, c, 1)),
    ("read_input_coils", lambda m, s, a, c: m.read_coils(s, a, c, 2)),
    ("read_coil", lambda m, s, a: m.one(m.read_coils(s, a, 1, 1))),
    ("write_register", lambda m, s, a, v: m.write_register(s, a, v)),
    ("write_registers", lambda m, s, a, vs: m.write_registers(s, a, vs)),
    ("write_coil", lambda m, s, a, v: m.write_coil(s, a, v)),
    ("read_int16", _read_int16),
    ("read_uint16", lambda m, s, a: m.one(m.read_registers(s, a, 1))),
    ("write_int16", lambda m, s, a, v: m.write_register(s, a, v)),
    ("write_uint16", lambda m, s, a, v: m.write_register(s, a, v)),
    *_typed_reads(),
    ("write_coils", lambda m, s, a, vs: m.write_coils(s, a, vs)),
    ("mask_write_register", lambda m, s, a, x, y: m.mask_write_register(s, a, x, y)),
    ("read_write_registers", lambda m, s, a, c, w, vs: m.read_write_registers(s, a, c, w, vs)),
    ("read_device_identification", lambda m, s, code, first: m.read_device_identification(s, code, first)),
    ("read_values", lambda m, s, a, fmt, order, fc: m.read_values(s, a, fmt, order, fc)),
    ("write_values", lambda m, s, a, fmt, vs, order: m.write_values(s, a, fmt, vs, order)),
]

FIX_NAMES = {"write_register", "write_registers", "write_coil", "read_register", "read_registers", "read_coil",
             "read_coils", "read_int32", "read_uint32", "read_float", "write_int32", "write_uint32", "read_int16",
             "read_uint16", "write_int16", "write_uint16", "write_coils", "mask_write_register", "read_write_registers",
             "read_device_identification", "read_values", "write_values"}

# The arguments after the station, by operation.
SHAPES = {
    "read_registers": "ack", "read_register": "ak", "read_input_registers": "ac", "read_input_register": "a",
    "read_coils": "aC", "read_input_coils": "aC", "read_coil": "a", "write_register": "av",
    "write_registers": "aV", "write_coil": "ab", "read_int16": "a", "read_uint16": "a", "write_int16": "av",
    "write_uint16": "av",
    "write_coils": "aB", "mask_write_register": "axx", "read_write_registers": "anaW",
    "read_device_identification": "ro", "read_values": "aFOk", "write_values": "aFXO",
}

# Formats for the values members: mostly sound ones, now and then one the library refuses.
FORMATS = ("H", "h", "i", "I", "f", "e", "d", "q", "Q", "2H", "4s", "3s", "i 2s f", "h 8s d", "63d", "31d", "x",
           "", "H h i I q Q e f d 6s")
for _kind, _sign in (("uint32", "I"), ("int32", "i"), ("float", "f")):
    SHAPES[f"read_{_kind}"] = "ae"
    SHAPES[f"read_multi_{_kind}"] = "ame"
    SHAPES[f"write_{_kind}"] = "a" + _sign + "e"
    SHAPES[f"write_multi_{_kind}"] = "a" + _sign.upper() * 0 + "M" + _sign + "e"


def decode_args(name: str, src: ByteSource, wide: bool, endian: str) -> list:
    """The station, then the arguments of `name` as SHAPES lists them, read from the input."""
    args = [src.uint(2) % 301 if wide else src.u8()]
    shape = SHAPES[name]
    sign = None
    for i, letter in enumerate(shape):
        if letter == "a":
            args.append(src.uint(3) - (1 << 20) if wide else src.uint(2))
        elif letter == "c":
            args.append(src.u8() % 130)
        elif letter == "C":
            args.append(src.uint(2) % 2100 - (8 if wide else 0))
        elif letter == "k":   # wide: now and then a code that writes, which a read refuses
            args.append((3, 4, 3, 3, 5, 6, 16, 23)[src.u8() % (8 if wide else 4)])
        elif letter == "v":
            args.append(src.uint(3) - (1 << 20) if wide else src.uint(2))
        elif letter == "V":
            count, seed = src.u8() % (140 if wide else 128), src.uint(2)
            args.append([(seed * (k + 1) * 40503 + k) & 0xFFFF for k in range(count)])
        elif letter == "b":
            args.append(src.u8() & 1)
        elif letter == "m":
            args.append(src.u8() % 66)
        elif letter == "e":
            args.append(endian)
        elif letter == "M":
            sign = shape[i + 1]
            count = src.u8() % (66 if wide else 63)
            seed = src.uint(4)
            args.append([_typed_value(sign, seed * (k + 7), wide) for k in range(count)])
        elif letter in "Iif":
            if i > 0 and shape[i - 1] == "M":
                continue
            args.append(_typed_value(letter, src.uint(8), wide))
        elif letter == "B":
            args.append([src.u8() & 1 for _ in range(src.uint(2) % (2000 if wide else 40))])
        elif letter == "x":
            args.append(src.uint(3) - (1 << 20) if wide else src.uint(2))
        elif letter == "n":
            args.append(src.u8() % (130 if wide else 126))
        elif letter == "W":
            count, seed = src.u8() % (125 if wide else 122), src.uint(2)
            args.append([(seed * (k + 3) * 40503 + k) & 0xFFFF for k in range(count)])
        elif letter == "r":
            args.append(src.u8() % (6 if wide else 5))
        elif letter == "o":
            args.append(src.uint(2) % 300 if wide else src.u8())
        elif letter == "F":
            args.append(FORMATS[src.u8() % len(FORMATS)])
        elif letter == "O":
            pick = src.u8()
            args.append(("ABCD", "CDAB", "BADC", "DCBA")[pick % 4] if pick < 250 or not wide else "abcd")
        elif letter == "X":
            args.append(_values_for(args[-1], src, wide))
    return args


def _values_for(fmt: str, src: ByteSource, wide: bool) -> list:
    """Values that the format holds; in wide mode one of them may be replaced by a value its
    code cannot hold."""
    values = decoded_values(fmt, src)
    if wide and values and src.u8() % 4 == 0:
        values[src.u8() % len(values)] = 1 << 70
    return values


def _typed_value(sign: str, raw: int, wide: bool):
    raw &= (1 << 64) - 1
    if sign == "f":
        value = struct.unpack(">d", raw.to_bytes(8, "big"))[0]
        return value if wide else float(struct.unpack(">f", (raw & 0xFFFFFFFF).to_bytes(4, "big"))[0])
    if sign == "I":
        return raw % (1 << 33) - (1 << 31) if wide else raw & 0xFFFFFFFF
    return raw % (1 << 33) - (1 << 32) if wide else (raw & 0xFFFFFFFF) - (1 << 31)
