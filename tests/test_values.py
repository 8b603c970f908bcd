"""ModbusStatic.decode_values and encode_values: formats, byte orders, and the peers' codecs."""

import array
import math
import random
import re
import struct

import minimalmodbus
import pytest
from pymodbus.client import ModbusTcpClient

from brel_modbus import ModbusStatic

decode = ModbusStatic.decode_values
encode = ModbusStatic.encode_values
ORDERS = ["ABCD", "CDAB", "BADC", "DCBA"]
WORD_SWAPPED = {"CDAB", "DCBA"}
BYTE_SWAPPED = {"BADC", "DCBA"}


def layout(fmt):
    """(code, size) of each value of a format."""
    out = []
    for count, code in re.findall(r"(\d*)([hHiIqQefds])", fmt):
        n = int(count or 1)
        out += [("s", n)] if code == "s" else [(code, struct.calcsize(">" + code))] * n
    return out


def reference_registers(fmt, values, order):
    """struct's big-endian images, each value's registers reversed for word swap, every
    register's bytes swapped for byte swap."""
    image, wire, at = struct.pack(">" + fmt, *values), bytearray(), 0
    for code, size in layout(fmt):
        chunk = image[at:at + size]
        at += size
        if order in WORD_SWAPPED and code != "s" and size > 2:
            chunk = b"".join(chunk[i:i + 2] for i in reversed(range(0, size, 2)))
        wire += chunk
    if order in BYTE_SWAPPED:
        wire[0::2], wire[1::2] = wire[1::2], wire[0::2]
    return list(struct.unpack(f">{len(wire) // 2}H", wire))


def same(a, b):
    """Equal lists, item types included; NaN equals NaN."""
    return len(a) == len(b) and all(type(x) is type(y) and (x == y or x != x and y != y)
                                    for x, y in zip(a, b, strict=True))


@pytest.mark.parametrize("fmt, values, expected", [
    ("f", [123.456], {"ABCD": "42F6 E979", "CDAB": "E979 42F6", "BADC": "F642 79E9", "DCBA": "79E9 F642"}),
    ("i", [-2], {"ABCD": "FFFF FFFE", "CDAB": "FFFE FFFF", "BADC": "FFFF FEFF", "DCBA": "FEFF FFFF"}),
    ("Q", [0x1122334455667788], {"ABCD": "1122 3344 5566 7788", "CDAB": "7788 5566 3344 1122",
                                 "BADC": "2211 4433 6655 8877", "DCBA": "8877 6655 4433 2211"}),
    ("d", [1.0], {"ABCD": "3FF0 0000 0000 0000", "CDAB": "0000 0000 0000 3FF0",
                  "BADC": "F03F 0000 0000 0000", "DCBA": "0000 0000 0000 F03F"}),
    ("8s", [b"METER-01"], {"ABCD": "4D45 5445 522D 3031", "CDAB": "4D45 5445 522D 3031",
                           "BADC": "454D 4554 2D52 3130", "DCBA": "454D 4554 2D52 3130"}),
    ("h e", [-2, 1.0], {"ABCD": "FFFE 3C00", "CDAB": "FFFE 3C00", "BADC": "FEFF 003C", "DCBA": "FEFF 003C"}),
    ("H 3s 1s I", [0x0102, b"ab", b"c", 0x03040506],
     {"ABCD": "0102 6162 0063 0304 0506", "CDAB": "0102 6162 0063 0506 0304",
      "BADC": "0201 6261 6300 0403 0605", "DCBA": "0201 6261 6300 0605 0403"}),
])
@pytest.mark.parametrize("order", ORDERS)
def test_known_registers(fmt, values, expected, order):
    registers = [int(word, 16) for word in expected[order].split()]
    assert encode(fmt, values, order) == registers
    assert decode(registers, fmt, order) == list(struct.unpack(">" + fmt, struct.pack(">" + fmt, *values)))


def sample(code, rng, size=0):
    """A value for a code: range ends and random ints, floats of every bit pattern, strings of 0 to size bytes."""
    if code in "hHiIqQ":
        bits = 8 * struct.calcsize(code)
        low, high = (-(1 << bits - 1), (1 << bits - 1) - 1) if code.islower() else (0, (1 << bits) - 1)
        return rng.choice([low, high, 0, rng.randint(low, high)])
    if code in "efd":
        raw = rng.randbytes(struct.calcsize(code))
        return struct.unpack(">" + code, raw)[0]
    return rng.randbytes(rng.randrange(size + 1))


@pytest.mark.parametrize("code", list("hHiIqQefd") + ["1s", "4s", "5s"])
@pytest.mark.parametrize("order", ORDERS)
def test_round_trip_of_every_code(code, order):
    rng = random.Random(code + order)
    fmt = f"3{code}" if code[-1] != "s" else f"{code} {code}"
    for _ in range(200):
        values = [sample(c, rng, n) for c, n in layout(fmt)]
        registers = encode(fmt, values, order)
        assert registers == reference_registers(fmt, values, order)
        assert same(decode(registers, fmt, order), list(struct.unpack(">" + fmt, struct.pack(">" + fmt, *values))))


def straddles(fmt):
    """A value of two or more registers that starts inside a register."""
    at = 0
    for code, size in layout(fmt):
        if code != "s" and size > 2 and at % 2:
            return True
        at += size
    return False


def test_random_formats_against_struct():
    rng = random.Random(7)
    for _ in range(400):
        items = [f"{rng.randint(1, 3)}{rng.choice('hHiIqQefd')}" if rng.random() < 0.7 else f"{rng.randint(1, 6)}s"
                 for _ in range(rng.randint(1, 5))]
        fmt = " ".join(items) + (" 1s" if struct.calcsize(">" + " ".join(items)) % 2 else "")
        values = [sample(c, rng, n) for c, n in layout(fmt)]
        expected = list(struct.unpack(">" + fmt, struct.pack(">" + fmt, *values)))
        for order in ORDERS:
            if order in WORD_SWAPPED and straddles(fmt):
                with pytest.raises(ValueError, match="does not start on a register"):
                    encode(fmt, values, order)
                continue
            registers = encode(fmt, values, order)
            assert registers == reference_registers(fmt, values, order), (fmt, order)
            assert len(registers) == struct.calcsize(">" + fmt) // 2
            assert same(decode(registers, fmt, order), expected)


PYMODBUS = [("h", "INT16"), ("H", "UINT16"), ("i", "INT32"), ("I", "UINT32"), ("q", "INT64"), ("Q", "UINT64"),
            ("f", "FLOAT32"), ("d", "FLOAT64")]


@pytest.mark.parametrize("code, data_type", PYMODBUS)
@pytest.mark.parametrize("order, word_order", [("ABCD", "big"), ("CDAB", "little")])
def test_against_pymodbus(code, data_type, order, word_order):
    rng = random.Random(data_type + order)
    kind = ModbusTcpClient.DATATYPE[data_type]
    for _ in range(100):
        value = sample(code, rng)
        if code in "fd" and not math.isfinite(value):
            continue
        registers = ModbusTcpClient.convert_to_registers(value, kind, word_order=word_order)
        assert encode(code, [value], order) == registers
        assert same(decode(registers, code, order), [ModbusTcpClient.convert_from_registers(
            registers, kind, word_order=word_order)])


def wire_registers(raw):
    return list(struct.unpack(f">{len(raw) // 2}H", raw))


@pytest.mark.parametrize("constant, order", [
    (minimalmodbus.BYTEORDER_BIG, "ABCD"), (minimalmodbus.BYTEORDER_LITTLE, "DCBA"),
    (minimalmodbus.BYTEORDER_BIG_SWAP, "BADC"), (minimalmodbus.BYTEORDER_LITTLE_SWAP, "CDAB"),
])
@pytest.mark.parametrize("code", list("iIqQfd"))
def test_against_minimalmodbus(constant, order, code):
    rng = random.Random(f"{constant}{code}")
    registers = struct.calcsize(code) // 2
    for _ in range(100):
        value = sample(code, rng)
        if code in "fd":
            if not math.isfinite(value):
                continue
            raw = minimalmodbus._float_to_bytes(value, registers, constant)
            theirs = minimalmodbus._bytes_to_float(raw, registers, constant)
        else:
            raw = minimalmodbus._long_to_bytes(value, code.islower(), registers, constant)
            theirs = minimalmodbus._bytes_to_long(raw, code.islower(), registers, constant)
        assert encode(code, [value], order) == wire_registers(raw)
        assert same(decode(wire_registers(raw), code, order), [theirs])


@pytest.mark.parametrize("order, lsb_first", [("ABCD", False), ("CDAB", False), ("BADC", True), ("DCBA", True)])
def test_16_bit_against_minimalmodbus(order, lsb_first):
    for value in (-32768, -2, 0, 258, 32767):
        raw = minimalmodbus._num_to_two_bytes(value, 0, lsb_first, True)
        assert encode("h", [value], order) == wire_registers(raw)
        assert decode(wire_registers(raw), "h", order) == [value]


@pytest.mark.parametrize("code, value", [
    ("f", 3.4028234663852886e38), ("f", -3.402823567e38),  # rounds to the largest single
    ("e", 65504.0), ("e", 65519.99), ("e", -65519.0), ("e", 6e-8), ("d", 1.7976931348623157e308),
    ("f", math.inf), ("e", -math.inf), ("d", math.nan), ("f", -0.0), ("f", 2), ("d", True), ("d", 1 << 1000),
])
def test_float_edges_match_struct(code, value):
    expected = struct.unpack(">" + code, struct.pack(">" + code, value))[0]
    assert same(decode(encode(code, [value]), code), [expected])


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("registers", [
    [1, 2], (1, 2), array.array("H", [1, 2]), range(1, 3), iter([1, 2]), [True, Index(2)], b"\x01\x02",
])
def test_registers_any_sequence_of_ints(registers):
    assert decode(registers, "I") == [0x00010002]


def test_values_any_sequence_and_keywords():
    assert encode("H 2s", (Index(7), bytearray(b"z"))) == [7, 0x7A00]
    assert encode(values=iter([1.5]), order="DCBA", format="e") == encode("e", [1.5], "BADC")
    assert decode(order="CDAB", format="i", registers=[0xFFFE, 0xFFFF]) == [-2]
    assert encode("I", [0x10002]) == encode("I", [0x10002], "ABCD") == [1, 2]       # the default order


@pytest.mark.parametrize("fmt, text", [
    ("", "format: no values"),
    (" \t", "format: no values"),
    ("2f x", "format: unknown code 'x' at position 3"),
    ("B", "format: unknown code 'B' at position 0"),
    ("fé", "format: unknown code 'é' at position 1"),
    (">f", "format: '>' at position 0: the byte order goes in the order argument"),
    ("f 2", "format: the count at position 2 has no code after it"),
    ("2 f", "format: the count at position 0 has no code after it"),
    ("H 0H", "format: the count at position 2 is 0"),
    ("0s", "format: the count at position 0 is 0"),
    ("65536H", "format: more than 65535 registers"),
    ("99999999999999999999999f", "format: more than 65535 registers"),
    ("3s", "format: 3 bytes is not a whole number of registers"),
])
def test_format_errors(fmt, text):
    for call in (lambda: decode([0], fmt), lambda: encode(fmt, [0])):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == text


@pytest.mark.parametrize("order", ["CDAB", "DCBA"])
def test_word_order_refuses_values_across_registers(order):
    text = f"format: the 'i' value at byte 1 does not start on a register, as order '{order}' needs"
    with pytest.raises(ValueError, match=re.escape(text)):
        encode("1s i 1s", [b"a", 1, b"b"], order)
    with pytest.raises(ValueError, match=re.escape(text)):
        decode([0, 0, 0], "1s i 1s", order)
    # one register: word order has nothing to reverse, wherever the value starts
    same_bytes = {"CDAB": "ABCD", "DCBA": "BADC"}[order]
    assert encode("1s h 1s", [b"a", 1, b"b"], order) == encode("1s h 1s", [b"a", 1, b"b"], same_bytes)


@pytest.mark.parametrize("args, error, text", [
    (([0, 0], "f", "abcd"), ValueError, "order must be 'ABCD', 'CDAB', 'BADC' or 'DCBA', not 'abcd'"),
    ((5, "H"), TypeError, "registers must be a sequence of ints, not int"),
    (([1, 2], "H"), ValueError, "the format takes 1 register, got 2"),
    (([1], "2H"), ValueError, "the format takes 2 registers, got 1"),
    (([1.0], "H"), TypeError, "registers[0] must be an int, not float"),
    (([1, 65536], "I"), ValueError, "registers[1] is outside 0..65535"),
    (([-1], "H"), ValueError, "registers[0] is outside 0..65535"),
    (([0], b"H"), TypeError, "Argument 'format' has incorrect type (expected str, got bytes)"),
    (([0], "H", None), TypeError, "Argument 'order' has incorrect type (expected str, got NoneType)"),
])
def test_decode_errors(args, error, text):
    with pytest.raises(error) as info:
        decode(*args)
    assert str(info.value) == text


@pytest.mark.parametrize("args, error, text", [
    (("H", 5), TypeError, "values must be a sequence, not int"),
    (("2f I", [1, 2]), ValueError, "the format takes 3 values, got 2"),
    (("8s", b"abc"), ValueError, "the format takes 1 value, got 3"),
    (("H", [1.0]), TypeError, "values[0] for 'H' must be an int, not float"),
    (("H h", [1, 32768]), OverflowError, "values[1] for 'h' is outside -32768..32767"),
    (("H", [-1]), OverflowError, "values[0] for 'H' is outside 0..65535"),
    (("i", [1 << 31]), OverflowError, "values[0] for 'i' is outside -2147483648..2147483647"),
    (("I", [1 << 32]), OverflowError, "values[0] for 'I' is outside 0..4294967295"),
    (("q", [-(1 << 63) - 1]), OverflowError, "values[0] for 'q' is outside -9223372036854775808..9223372036854775807"),
    (("Q", [1 << 64]), OverflowError, "values[0] for 'Q' is outside 0..18446744073709551615"),
    (("f", ["1"]), TypeError, "values[0] for 'f' must be a float or an int, not str"),
    (("f", [3.5e38]), OverflowError, "values[0] for 'f' is too large"),
    (("e", [65520.0]), OverflowError, "values[0] for 'e' is too large"),
    (("d", [1 << 1024]), OverflowError, "values[0] for 'd' is too large"),
    (("4s", ["ab"]), TypeError, "values[0] for '4s' must be bytes or bytearray, not str"),
    (("H 4s", [1, b"abcde"]), ValueError, "values[1] is 5 bytes, longer than '4s'"),
    (("f", [1.0], "big"), ValueError, "order must be 'ABCD', 'CDAB', 'BADC' or 'DCBA', not 'big'"),
])
def test_encode_errors(args, error, text):
    with pytest.raises(error) as info:
        encode(*args)
    assert str(info.value) == text
