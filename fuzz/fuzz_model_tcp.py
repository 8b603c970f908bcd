"""The Modbus TCP master as the library documents it, for the fuzz target to compare with:
the whole request sent, the answer received until its header and then its declared
remainder have arrived (a closed connection is a receive time-out), an answer to one of
the master's recent requests (the last RECENT_KEPT sent, answered or not) read whole and
dropped while the master waits for its own, the header and assertion checks, and the
decoding of each operation: the first seven function codes,
input registers and discrete inputs, codes 6, 15, 22, 23 and 43 / 14 (page by page),
and typed values of 16 and 32 bits and of any format."""

from __future__ import annotations

import struct

import brel_modbus
import fuzz_model_values as values_reference
from fuzz_model_checks import decoded_values, field, item_count, limit, reference, register_limit, sequence, split
from fuzz_support import ByteSource, Expected, mbap

PEER = str(("127.0.0.1", 1502))
IDENTIFICATION = "Feedback for reading device identification invalid"
INT_RANGE = {"i": "-2147483648..2147483647", "I": "0..4294967295"}
RECENT_KEPT = 16        # the master's recent requests whose answers are known when they come again
MAX_PDU = 253




def limited(count: int, what: str, top: int) -> None:
    """A count beyond its 16-bit field, then one outside the protocol's limit."""
    field(count, what)
    limit(count, top, what)




def endian_order(endian) -> str:
    """The 32-bit members' endian: ">" is the high word first, any other text the low word."""
    if not isinstance(endian, str):
        raise Expected(TypeError, f"Argument 'endian' has incorrect type (expected str, got {type(endian).__name__})")
    return "ABCD" if endian == ">" else "CDAB"



def registers_of(data: bytes) -> list:
    return [data[1 + 2 * i] << 8 | data[2 + 2 * i] for i in range((len(data) - 1) // 2)]


def counted(data: bytes, byte_count: int) -> bool:
    """A read answer: the byte count the request calls for, then exactly that many bytes."""
    return len(data) >= 1 and data[0] == byte_count and len(data) == 1 + data[0]


class Model:
    def __init__(self, sock, station: int):
        self.sock, self.station = sock, station
        self.queries = 0
        self.request = b""          # the last request sent
        self.answer = b""           # what was received for it
        self.recent = []            # (transaction, unit) of the recent requests, oldest first

    def receive_until(self, size: int) -> None:
        while len(self.answer) < size:
            piece = self.sock.recv(size - len(self.answer))     # TimeoutError passes on
            self.answer += piece
            if not piece:
                raise Expected(ConnectionError, "Connection closed by " + PEER)

    def query(self, pdu: bytes, length_needed):
        request = mbap(self.queries + 1, pdu, unit=self.station)
        self.queries += 1
        self.request, self.answer = request, b""
        sent = 0
        while sent < len(request):
            sent += self.sock.send(request[sent:])
        try:
            return self.exchange(request, length_needed)
        finally:
            self.recent = (self.recent + [(request[0] << 8 | request[1], request[6])])[-RECENT_KEPT:]

    def is_late(self, head: bytes, request: bytes) -> bool:
        """An answer to one of the recent requests, with this request's protocol and a length
        an answer can have."""
        length = head[4] << 8 | head[5]
        return (head[2:4] == request[2:4] and 2 <= length <= MAX_PDU + 1
                and (head[0] << 8 | head[1], head[6]) in self.recent)

    def exchange(self, request: bytes, length_needed):
        try:
            self.receive_until(8)
            ids = request[:4] + request[6:7]
            while self.answer[:4] + self.answer[6:7] != ids and self.is_late(self.answer, request):
                whole = 6 + (self.answer[4] << 8 | self.answer[5])
                try:
                    self.receive_until(whole)
                except (TimeoutError, Expected):
                    self.answer = b""           # nothing of it was this request's
                    raise
                self.answer = self.answer[whole:]
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

    @staticmethod
    def one(values: list):
        if not values:
            raise Expected(IndexError)
        return values[0]

    def failed(self, what: str, address: int) -> Expected:
        return Expected(AssertionError, f"{what} address [{address}] to {PEER} failed.")

    # -- the first seven function codes
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

    # -- codes 2 and 4, and the single reads through the instance
    def read_input_registers(self, address, count):
        field(address, "address")
        limited(count, "count", 125)
        data = self.query(bytes((4,)) + split(address) + split(count), 1 + 2 * count)
        if not counted(data, 2 * count):
            raise Expected(AssertionError, "Feedback for reading registers invalid")
        return registers_of(data)

    def read_input_register(self, address):
        field(address, "address")
        return self.one(self.read_input_registers(address, 1))

    def read_input_coils(self, address, count):
        field(address, "address")
        limited(count, "count", 2000)
        n = (count + 7) // 8
        data = self.query(bytes((2,)) + split(address) + split(count), 1 + n)
        if not counted(data, n):
            raise Expected(AssertionError, "Feedback for reading coils invalid")
        return [bool(data[1 + i // 8] >> (i % 8) & 1) for i in range(count)]

    def read_coil(self, address):
        field(address, "address")
        return self.one(self.read_coils(address, 1))

    # -- codes 6, 15, 22, 23 and 43
    def write_single_register(self, address, value):
        field(address, "address")
        pdu = bytes((6,)) + split(address) + split(value)
        if self.query(pdu, 4) != pdu[1:]:
            raise self.failed("Write register", address)

    def write_coils(self, address, states):
        field(address, "address")
        states = sequence(states, "truth values")
        item_count(len(states), 1968)
        packed = bytearray((len(states) + 7) // 8)
        for i, on in enumerate(states):
            if on:
                packed[i // 8] |= 1 << (i % 8)
        pdu = bytes((15,)) + split(address) + split(len(states)) + bytes((len(packed),)) + packed
        if self.query(pdu, 4) != pdu[1:5]:
            raise self.failed("Write coils", address)

    def mask_write_register(self, address, and_mask, or_mask):
        field(address, "address")
        field(and_mask, "and_mask")
        field(or_mask, "or_mask")
        pdu = bytes((22,)) + split(address) + split(and_mask) + split(or_mask)
        if self.query(pdu, 6) != pdu[1:]:
            raise self.failed("Mask write register", address)

    def read_write_registers(self, read_address, read_count, write_address, values):
        field(read_address, "address")
        limited(read_count, "read_count", 125)
        field(write_address, "address")
        item_count(len(values), 121)
        for i, v in enumerate(values):
            if not isinstance(v, int):
                raise Expected(TypeError, f"values[{i}] must be an int, not {type(v).__name__}")
        pdu = (bytes((23,)) + split(read_address) + split(read_count) + split(write_address) + split(len(values))
               + bytes((2 * len(values),)) + b"".join(split(v) for v in values))
        data = self.query(pdu, 1 + 2 * read_count)
        if not counted(data, 2 * read_count):
            raise Expected(AssertionError, "Feedback for reading registers invalid")
        return registers_of(data)

    def read_device_identification(self, read_code=1, object_id=0):
        if not 1 <= read_code <= 4:
            raise Expected(ValueError, f"modbus: read_code must be from 1 to 4: {read_code}")
        field(object_id, "object_id", 0xFF)
        objects = {}
        first = object_id
        while True:
            data = self.query(bytes((0x2B, 0x0E, read_code, first)), None)
            # MEI type, read code, conformity, more follows, next object, number of objects
            if len(data) < 6 or data[0] != 0x0E or data[1] != read_code:
                raise Expected(AssertionError, IDENTIFICATION)
            at = 6
            for _ in range(data[5]):
                if len(data) - at < 2 or len(data) - at - 2 < data[at + 1]:
                    raise Expected(AssertionError, IDENTIFICATION)
                objects[data[at]] = data[at + 2:at + 2 + data[at + 1]]
                at += 2 + data[at + 1]
            if at != len(data):
                raise Expected(AssertionError, IDENTIFICATION)
            if read_code == 4 or data[3] != 0xFF:
                return objects
            if data[4] <= first:
                raise Expected(AssertionError, f"{IDENTIFICATION}: next object id {data[4]} does not follow {first}")
            first = data[4]

    # -- typed values, read and written through the instance's read_registers,
    #    read_input_registers and write_registers
    def read_int16(self, address):
        field(address, "address")
        return reference(values_reference.decode_values, self.read_registers(address, 1), "h", "ABCD")[0]

    def read_32(self, code, address, endian):
        order = endian_order(endian)
        field(address, "address")
        return reference(values_reference.decode_values, self.read_registers(address, 2), "1" + code, order)[0]

    def read_multi_32(self, code, address, count, endian):
        order = endian_order(endian)
        field(address, "address")
        limited(count, "count", 62)
        return reference(values_reference.decode_values, self.read_registers(address, 2 * count), f"{count}{code}",
                         order)

    def typed_words(self, code, values, order):
        """The registers of 32-bit values, with the texts of a value its code cannot hold."""
        for i, v in enumerate(values):
            if code == "f":
                if not isinstance(v, (int, float)):
                    raise Expected(TypeError, f"values[{i}] for 'f' must be a float or an int, not {type(v).__name__}")
                try:
                    struct.pack(">f", float(v))
                except OverflowError:
                    raise Expected(OverflowError, f"values[{i}] for 'f' is too large") from None
            elif not isinstance(v, int):
                raise Expected(TypeError, f"values[{i}] for '{code}' must be an int, not {type(v).__name__}")
            elif not (-(1 << 31) if code == "i" else 0) <= v < (1 << 31 if code == "i" else 1 << 32):
                raise Expected(OverflowError, f"values[{i}] for '{code}' is outside {INT_RANGE[code]}")
        return reference(values_reference.encode_values, f"{len(values)}{code}", values, order)

    def write_32(self, code, address, value, endian):
        order = endian_order(endian)
        field(address, "address")
        self.write_registers(address, self.typed_words(code, [value], order))

    def write_multi_32(self, code, address, values, endian):
        order = endian_order(endian)
        field(address, "address")
        values = sequence(values, "numbers")
        item_count(len(values), 61)
        self.write_registers(address, self.typed_words(code, values, order))

    def read_values(self, address, fmt, order="ABCD", func_code=3):
        field(address, "address")
        fields = reference(values_reference.value_layout, fmt, order)
        n = sum(size for _, size in fields) // 2
        register_limit(n, 125, "read")
        if func_code not in (3, 4):
            raise Expected(ValueError, f"modbus: func_code must be 3 or 4: {func_code}")
        registers = self.read_registers(address, n) if func_code == 3 else self.read_input_registers(address, n)
        return reference(values_reference.decode_values, registers, fmt, order)

    def write_values(self, address, fmt, values, order="ABCD"):
        field(address, "address")
        fields = reference(values_reference.value_layout, fmt, order)
        n = sum(size for _, size in fields) // 2
        register_limit(n, 123, "written")
        self.write_registers(address, reference(values_reference.encode_values, fmt, values, order))

    # the aliases
    read_uint16 = read_register
    write_int16 = write_register
    write_uint16 = write_register


def _typed_members():
    for code, kind in (("I", "uint32"), ("i", "int32"), ("f", "float")):
        setattr(Model, f"read_{kind}", lambda self, a, e=">", code=code: self.read_32(code, a, e))
        setattr(Model, f"read_multi_{kind}", lambda self, a, c, e=">", code=code: self.read_multi_32(code, a, c, e))
        setattr(Model, f"write_{kind}", lambda self, a, v, e=">", code=code: self.write_32(code, a, v, e))
        setattr(Model, f"write_multi_{kind}",
                lambda self, a, vs, e=">", code=code: self.write_multi_32(code, a, vs, e))


_typed_members()

# New members go at the end: an input names its operation by index.
OPERATIONS = ["read_coils", "read_registers", "read_register", "write_registers", "write_register", "write_coil",
              "read_input_registers", "read_input_register", "read_input_coils", "read_coil", "write_single_register",
              "read_int16", "read_uint16", "write_int16", "write_uint16",
              "read_uint32", "read_int32", "read_float", "read_multi_uint32", "read_multi_int32", "read_multi_float",
              "write_int32", "write_uint32", "write_float", "write_multi_int32", "write_multi_uint32",
              "write_multi_float", "write_coils", "mask_write_register", "read_write_registers",
              "read_device_identification", "read_values", "write_values"]

# The arguments of each operation, a letter each (decode_args reads them).
SHAPES = {"read_coils": "ac", "read_registers": "ac", "read_register": "a", "write_registers": "aV",
          "write_register": "av", "write_coil": "ab",
          "read_input_registers": "an", "read_input_register": "a", "read_input_coils": "aC", "read_coil": "a",
          "write_single_register": "av", "read_int16": "a", "read_uint16": "a", "write_int16": "av",
          "write_uint16": "av", "write_coils": "aB", "mask_write_register": "axx", "read_write_registers": "anaW",
          "read_device_identification": "ro", "read_values": "aFOk", "write_values": "aFXO"}
for _kind, _code in (("uint32", "I"), ("int32", "i"), ("float", "f")):
    SHAPES[f"read_{_kind}"] = "ae"
    SHAPES[f"read_multi_{_kind}"] = "ame"
    SHAPES[f"write_{_kind}"] = "a" + _code + "e"
    SHAPES[f"write_multi_{_kind}"] = "aM" + _code + "e"

# Formats for the values members: mostly sound ones, now and then one the library refuses
# (none, an unknown code, too many registers to read or to write, an odd size).
FORMATS = ("H", "h", "i", "I", "f", "e", "d", "q", "Q", "2H", "4s", "3s", "i 2s f", "h 8s d", "63d", "31d", "x",
           "", "H h i I q Q e f d 6s", "125H", "124H", "e i", "2e 3s 1s h")
ORDERS = ("ABCD", "CDAB", "BADC", "DCBA")
ENDIANS = (">", "<", ">", "<", "", "=", "big", b">")


def decode_args(name: str, src: ByteSource, wide: bool) -> list:
    """The arguments of `name` as SHAPES lists them, read from the input. With `wide`, a
    byte before each number says whether it goes beyond what the line or the protocol
    allows (one in four), so that every later check is reached too; lists may hold too
    many values, values their type cannot hold, or objects of the wrong type."""

    def number(narrow, broad):
        return broad() if wide and src.u8() < 64 else narrow()

    args = []
    shape = SHAPES[name]
    for i, letter in enumerate(shape):
        if letter in "ax":
            args.append(number(lambda: src.uint(2), lambda: src.uint(3) - (1 << 20)))
        elif letter == "v":     # a value is wrapped to 16 bits, whatever its size
            args.append(number(lambda: src.uint(3) - (1 << 20), lambda: (src.uint(3) - (1 << 23)) << 60 | src.u8())
                        if wide else src.uint(2))
        elif letter == "c":
            args.append(src.uint(2) % 2100 - (16 if wide else 0))
        elif letter == "V":
            count, seed = src.u8() % (140 if wide else 128), src.uint(2)
            args.append([(seed * (k + 1) * 40503 + k) & 0xFFFF for k in range(count)])
        elif letter == "b":
            args.append(src.u8() & 1)
        elif letter == "n":
            args.append(number(lambda: src.u8() % 127, lambda: src.uint(3) % 66000 - 8))
        elif letter == "C":
            args.append(number(lambda: src.uint(2) % 2002, lambda: src.uint(3) % 66000 - 8))
        elif letter == "m":
            args.append(number(lambda: src.u8() % 64, lambda: src.uint(3) % 66000 - 8))
        elif letter == "e":
            args.append(number(lambda: ENDIANS[src.u8() % 2], lambda: ENDIANS[src.u8() % len(ENDIANS)]))
        elif letter == "r":
            args.append(number(lambda: src.u8() % 5, lambda: src.uint(2) % 300 - 8))
        elif letter == "o":
            args.append(number(lambda: src.u8(), lambda: src.uint(2) % 300 - 8))
        elif letter == "k":
            args.append(number(lambda: (3, 4)[src.u8() % 2], lambda: (0, 5, 16, -3)[src.u8() % 4]))
        elif letter == "B":
            count, seed = src.uint(2) % (2000 if wide else 40), src.uint(2)
            states = [(seed >> (k % 16) ^ k // 16) & 1 for k in range(count)]
            args.append(7 if wide and seed % 16 == 0 else states)
        elif letter == "W":
            count, seed = src.u8() % (125 if wide else 122), src.uint(2)
            values = [(seed * (k + 3) * 40503 + k) & 0xFFFF for k in range(count)]
            if wide and values:
                pick = src.u8()
                values[pick % len(values)] = (-pick, 1 << 16 + pick % 60, "2", pick)[pick % 4]
            args.append(values)
        elif letter == "F":
            args.append(FORMATS[src.u8() % len(FORMATS)])
        elif letter == "O":
            pick = src.u8()
            args.append(ORDERS[pick % 4] if pick < 250 or not wide else "abcd")
        elif letter == "X":
            args.append(_values_for(args[-1], src, wide))
        elif letter in "Iif":
            if i and shape[i - 1] == "M":
                continue
            args.append(_typed_value(letter, src.uint(8), wide))
        elif letter == "M":
            code = shape[i + 1]
            count, seed = src.u8() % (66 if wide else 63), src.uint(4)
            values = [_typed_value(code, seed * (k + 7), wide) for k in range(count)]
            if wide and seed % 8 == 0:
                args.append(seed)                               # no sequence at all
            elif wide and values and seed % 8 == 1:
                values[seed % len(values)] = "x"                # a value of no number type
                args.append(values)
            else:
                args.append(values)
    return args


def _values_for(fmt: str, src: ByteSource, wide: bool) -> list:
    """Values that the format holds, decoded from registers of the input; in wide mode one
    of them may be replaced by a value its code cannot hold or of the wrong type, or one
    dropped."""
    values = decoded_values(fmt, src)
    if wide and values:
        pick = src.u8()
        if pick % 4 == 0:
            values[pick % len(values)] = (1 << 70, "x", b"toolongforanyfield", 2.5)[pick // 4 % 4]
        elif pick % 4 == 1:
            values.pop()
    return values


def _typed_value(code: str, raw: int, wide: bool):
    raw &= (1 << 64) - 1
    if code == "f":
        if wide:
            value = struct.unpack(">d", raw.to_bytes(8, "big"))[0]
            return "x" if raw % 61 == 0 else 1 << 1100 if raw % 61 == 1 else value
        return float(struct.unpack(">f", (raw & 0xFFFFFFFF).to_bytes(4, "big"))[0])
    if wide and raw % 61 == 1:
        return (1 << 70) - raw
    if code == "I":
        return raw % (1 << 33) - (1 << 31) if wide else raw & 0xFFFFFFFF
    return raw % (1 << 33) - (1 << 32) if wide else (raw & 0xFFFFFFFF) - (1 << 31)
