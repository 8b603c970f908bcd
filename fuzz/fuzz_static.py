"""Fuzz target: arbitrary arguments (ints of any size, bools, None, floats, bytes, byte
arrays, lists, tuples, strings, arrays) to the protocol helpers _byte_array,
ModbusStatic.split_register, compound_register, calculate_crc and crc_is_right, to
SlaveException and its text, and to the TCP header builders; each is compared with the
algorithm written out in Python here.

ModbusStatic.decode_values and encode_values get arbitrary formats (mostly made of codes,
sometimes any text), orders and registers, and values decoded from those registers, some
replaced by arbitrary ones; both are compared with a model built on the struct module, and
what decodes must encode to the same registers again (except a NaN of 'e' or 'f', whose
payload the interpreter's float conversion does not keep: there the values must survive a
second round).

Documented exceptions that may escape: TypeError (operands or bounds the interpreter's
operators refuse, the entry rules of the header builders, a value or register of the wrong
type), OverflowError (an element outside 0..255 for a byte array, a value its code cannot
hold), ValueError (what the array constructor refuses; a bad format or order, a register
outside 0..65535, a count of registers or values that does not fit the format, a string
longer than its field).
"""

from __future__ import annotations

import array
import struct

import fuzz_support as fs
from fuzz_model_values import ORDERS, decode_values, encode_values, value_fields

import brel_modbus

S = brel_modbus.ModbusStatic
SE = brel_modbus.SlaveException
TCP = brel_modbus.ModbusTCPMaster
ALLOWED = (TypeError, OverflowError, ValueError)
TEXT = "modbus slave reports an exception. station: %d, function code: %d, error code: %d"


def value(src: fs.ByteSource):
    kind = src.u8() % 13
    if kind == 0:
        return src.u8() - 128
    if kind == 1:
        return (src.uint(9) - (1 << 71)) * (1 + src.u8())
    if kind == 2:
        return bool(src.u8() & 1)
    if kind == 3:
        return None
    if kind == 4:
        return struct.unpack(">d", src.take(8).ljust(8, b"\0"))[0]
    if kind == 5:
        return src.take(src.u8() % 24)
    if kind == 6:
        return bytearray(src.take(src.u8() % 24))
    if kind == 7:
        return [src.uint(2) - (0x100 if src.u8() & 1 else 0) for _ in range(src.u8() % 12)]
    if kind == 8:
        return "".join(chr(src.uint(3) % 0x110000) for _ in range(src.u8() % 10)).encode(
            "utf-8", "surrogatepass").decode("utf-8", "replace")
    if kind == 9:
        return tuple(src.u8() for _ in range(src.u8() % 12))
    if kind == 10:
        return array.array("B", src.take(src.u8() % 24))
    if kind == 11:
        return [value(src) for _ in range(src.u8() % 4)]
    return src.uint(2)


# ---- the algorithms written out ---------------------------------------------------------------

def split_register(v):
    low = v & 0xFF
    return (v >> 8) & 0xFF, low


def compound_register(high, low):
    return (high << 8) + low


def calculate_crc(string, beg=0, end=None):
    crc = 0xFFFF
    if isinstance(string, str):
        string = [ord(c) for c in string]
    for element in string[beg:end]:
        crc ^= element
        for _ in range(8):
            bit0 = crc & 1
            crc >>= 1
            if bit0:
                crc ^= 0xA001
    return crc & 0xFF, crc >> 8


def crc_is_right(string):
    end = len(string) - 2
    if end < 0:
        return False
    crc = calculate_crc(string, 0, end)
    return crc[0] == string[end] and crc[1] == string[end + 1]


def slave_exception(station, code, error):
    code = code & 0x7F
    return (station, code, error), TEXT % (station, code, error)


def library_slave_exception(station, code, error):
    e = SE(station, code, error)
    return (e.station, e.function_code, e.error_code), str(e)


def construct_header(command, head_checker, protocol=0, station=1):
    if type(command) is not bytes:
        raise TypeError("command")
    for v in (head_checker, protocol, station):
        if type(v) is not int:
            raise TypeError("field")
    length = len(command) + 1
    return bytes(((head_checker >> 8) & 0xFF, head_checker & 0xFF, (protocol >> 8) & 0xFF, protocol & 0xFF,
                  (length >> 8) & 0xFF, length & 0xFF, station & 0xFF))


def whole_query(command, head_checker, protocol=0, station=1):
    return construct_header(command, head_checker, protocol, station) + command


def byte_array(x):
    return array.array("B", x)


# ---- typed values: the reference in fuzz_model_values.py ------------------------------------------

def format_text(src: fs.ByteSource) -> str:
    """Mostly codes with counts, sometimes a stray character, sometimes any text."""
    if src.u8() % 8 == 0:
        return src.take(src.u8() % 16).decode("latin-1")
    items = []
    for _ in range(1 + src.u8() % 5):
        b = src.u8()
        code = "hHiIqQefds"[b % 10] if b < 240 else "xB>0 \xe9"[b % 6]
        count = src.u8()
        items.append(("" if count < 128 else str(count % 12) if count < 252 else str(src.uint(3))) + code)
    return (" " if src.u8() & 1 else "").join(items)


def values_input(name: str, src: fs.ByteSource) -> None:
    fmt = format_text(src)
    pick = src.u8()
    order = ORDERS[pick % 4] if pick < 240 else ("abcd", "", "ABCDA", "DCAB", None, b"ABCD")[pick % 6]
    if src.u8() % 16 == 0:
        fmt = value(src)
    try:
        fields = value_fields(fmt) if type(fmt) is str else []
    except ValueError:
        fields = []
    count = sum(size for _, size in fields) // 2 if fields else src.u8() % 8
    registers = [src.uint(2) for _ in range(count)]
    damage = src.u8()
    if damage % 8 == 0:
        registers = registers[:-1] if damage & 8 else registers + [src.uint(2)]
    elif damage % 8 == 1 and registers:
        registers[src.u8() % len(registers)] = (value(src), 0x10000, -1)[src.u8() % 3]
    elif damage % 8 == 2:
        registers = value(src)
    registers = tuple(registers) if damage & 0x10 and isinstance(registers, list) else registers
    label = f"{name}({registers!r}, {fmt!r}, {order!r})"
    if name == "decode_values":
        got = fs.outcome(S.decode_values, registers, fmt, order)
        check_outcome(label, got, fs.outcome(decode_values, registers, fmt, order))
        if got[0] != "ok":
            return
        again = fs.outcome(S.encode_values, fmt, got[1], order)        # the round trip
        if again[0] != "ok":
            raise fs.Mismatch(f"encode of {label}: {again!r}")
        nan = any(isinstance(v, float) and v != v and code in "ef" for v, (code, _) in zip(got[1], fields, strict=True))
        if not nan:
            check_outcome(f"encode of {label}", again, ("ok", [int(w) for w in registers]))
        check_outcome(f"values again of {label}", fs.outcome(S.decode_values, again[1], fmt, order), got)
        return
    decoded = fs.outcome(decode_values, registers, fmt, order)
    values = list(decoded[1]) if decoded[0] == "ok" else value(src)
    damage = src.u8()
    if damage % 6 == 0 and isinstance(values, list) and values:
        at = src.u8() % len(values)
        values[at] = (value(src), 1 << 64, -(1 << 63) - 1, 1e300, 70000.0, b"x" * 9)[src.u8() % 6]
    elif damage % 6 == 1 and isinstance(values, list):
        values = values[:-1] if damage & 8 else values + [0]
    label = f"encode_values({fmt!r}, {values!r}, {order!r})"
    check_outcome(label, fs.outcome(S.encode_values, fmt, values, order), fs.outcome(encode_values, fmt, values, order))


def check_outcome(label, got, want):
    if got[0] == "raised" and not isinstance(got[1], ALLOWED):
        raise fs.Mismatch(f"{label}: undocumented {type(got[1]).__name__}: {got[1]}")
    if got[0] != want[0]:
        raise fs.Mismatch(f"{label}: {got!r}, written out: {want!r}")
    if got[0] == "ok" and not fs.same_value(got[1], want[1]):
        raise fs.Mismatch(f"{label}: returned {got[1]!r}; expected {want[1]!r}")
    if got[0] == "raised" and type(got[1]) is not type(want[1]):
        raise fs.Mismatch(f"{label}: raised {type(got[1]).__name__}: {got[1]}; "
                          f"expected {type(want[1]).__name__}: {want[1]}")


CASES = [
    ("split_register", S.split_register, split_register, 1),
    ("compound_register", S.compound_register, compound_register, 2),
    ("calculate_crc", S.calculate_crc, calculate_crc, 1),
    ("calculate_crc", S.calculate_crc, calculate_crc, 2),
    ("calculate_crc", S.calculate_crc, calculate_crc, 3),
    ("crc_is_right", S.crc_is_right, crc_is_right, 1),
    ("_byte_array", brel_modbus._byte_array, byte_array, 1),
    ("SlaveException", library_slave_exception, slave_exception, 3),
    ("construct_header", TCP.construct_header, construct_header, 2),
    ("construct_header", TCP.construct_header, construct_header, 4),
    ("construct_whole_query_command", TCP.construct_whole_query_command, whole_query, 4),
    ("decode_values", S.decode_values, decode_values, 0),      # arguments made by values_input
    ("encode_values", S.encode_values, encode_values, 0),
]


def normal(result):
    """Arrays compared by type code and items."""
    if isinstance(result, array.array):
        return (result.typecode, result.tolist())
    return result


def one_input(data: bytes) -> None:
    src = fs.ByteSource(data)
    name, library, reference, arity = CASES[src.u8() % len(CASES)]
    if name in ("decode_values", "encode_values"):
        values_input(name, src)
        return
    args = [value(src) for _ in range(arity)]
    if name in ("calculate_crc", "crc_is_right") and src.u8() & 1:      # a frame that carries its CRC
        body = src.take(src.u8() % 40)
        args[0] = fs.with_crc(body)
    got = fs.outcome(library, *args)
    want = fs.outcome(reference, *args)
    check_outcome(f"{name}{tuple(args)!r}", (got[0], normal(got[1])), (want[0], normal(want[1])))


if __name__ == "__main__":
    fs.main(one_input, "static")
