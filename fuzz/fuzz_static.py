"""Fuzz target: arbitrary arguments (ints of any size, bools, None, floats, bytes, byte
arrays, lists, tuples, strings, arrays) to the protocol helpers _byte_array,
ModbusStatic.split_register, compound_register, calculate_crc and crc_is_right, to
SlaveException and its text, and to the TCP header builders; each is compared with the
algorithm written out in Python here.

Documented exceptions that may escape: TypeError (operands or bounds the interpreter's
operators refuse, the entry rules of the header builders), OverflowError (an element
outside 0..255 for a byte array), ValueError (what the array constructor refuses).
"""

from __future__ import annotations

import array
import struct

import fuzz_support as fs

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
]


def normal(result):
    """Arrays compared by type code and items."""
    if isinstance(result, array.array):
        return (result.typecode, result.tolist())
    return result


def one_input(data: bytes) -> None:
    src = fs.ByteSource(data)
    name, library, reference, arity = CASES[src.u8() % len(CASES)]
    args = [value(src) for _ in range(arity)]
    if name in ("calculate_crc", "crc_is_right") and src.u8() & 1:      # a frame that carries its CRC
        body = src.take(src.u8() % 40)
        args[0] = fs.with_crc(body)
    got = fs.outcome(library, *args)
    want = fs.outcome(reference, *args)
    label = f"{name}{tuple(args)!r}"
    if got[0] == "raised" and not isinstance(got[1], ALLOWED):
        raise fs.Mismatch(f"{label}: undocumented {type(got[1]).__name__}: {got[1]}")
    if got[0] != want[0]:
        raise fs.Mismatch(f"{label}: {got!r}, written out: {want!r}")
    if got[0] == "ok" and not fs.same_value(normal(got[1]), normal(want[1])):
        raise fs.Mismatch(f"{label}: returned {got[1]!r}; expected {want[1]!r}")
    if got[0] == "raised" and type(got[1]) is not type(want[1]):
        raise fs.Mismatch(f"{label}: raised {type(got[1]).__name__}: {got[1]}; "
                          f"expected {type(want[1]).__name__}: {want[1]}")


if __name__ == "__main__":
    fs.main(one_input, "static")
