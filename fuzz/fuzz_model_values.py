"""Typed values written out over the struct module: the reference that the fuzz targets
compare ModbusStatic.decode_values, encode_values and the masters' read_values and
write_values with. Each function raises the exception type the library documents for
what it refuses (ValueError, TypeError, OverflowError), without its text."""

from __future__ import annotations

import struct

ORDERS = ("ABCD", "CDAB", "BADC", "DCBA")
SPACE = " \t\n\v\f\r"
MAX_BYTES = 2 * 65535


def value_fields(fmt):
    """(code, size) of each value of a format; ValueError for a format the library refuses."""
    fields, total, i = [], 0, 0
    while i < len(fmt):
        if fmt[i] in SPACE:
            i += 1
            continue
        count = None
        while i < len(fmt) and "0" <= fmt[i] <= "9":
            count = 10 * (count or 0) + int(fmt[i])
            i += 1
            if count > MAX_BYTES:
                raise ValueError("too large")
        if i == len(fmt) or fmt[i] not in "hHiIqQefds":
            raise ValueError("no code")
        code = fmt[i]
        i += 1
        count = 1 if count is None else count
        if count == 0:
            raise ValueError("count 0")
        size = count if code == "s" else struct.calcsize(">" + code)
        total += size if code == "s" else size * count
        if total > MAX_BYTES:
            raise ValueError("too large")
        fields += [(code, size)] * (1 if code == "s" else count)
    if not fields or total % 2:
        raise ValueError("no values, or not whole registers")
    return fields


def value_layout(fmt, order):
    if type(fmt) is not str or type(order) is not str:
        raise TypeError("entry rule")
    fields = value_fields(fmt)
    if order not in ORDERS:
        raise ValueError("order")
    at = 0
    for code, size in fields:
        if order in ("CDAB", "DCBA") and code != "s" and size > 2 and at % 2:
            raise ValueError("not on a register")
        at += size
    return fields


def reverse_words(data, fields, order):
    """CDAB and DCBA: the registers of each value of two or four registers in reverse."""
    out, at = bytearray(), 0
    for code, size in fields:
        chunk = data[at:at + size]
        at += size
        if order in ("CDAB", "DCBA") and code != "s" and size > 2:
            chunk = b"".join(chunk[k:k + 2] for k in range(size - 2, -1, -2))
        out += chunk
    return bytes(out)


def swap_bytes(data, order):
    """BADC and DCBA: the two bytes of every register swapped."""
    out = bytearray(data)
    if order in ("BADC", "DCBA"):
        out[0::2], out[1::2] = out[1::2], out[0::2]
    return bytes(out)


def items_of(sequence, what):
    try:
        return tuple(sequence)
    except TypeError:
        raise TypeError(what) from None


def decode_values(registers, fmt, order="ABCD"):
    fields = value_layout(fmt, order)
    words = items_of(registers, "registers")
    if len(words) != sum(size for _, size in fields) // 2:
        raise ValueError("register count")
    for w in words:
        if not isinstance(w, int):
            raise TypeError("register type")
        if not 0 <= w <= 0xFFFF:
            raise ValueError("register range")
    image = reverse_words(swap_bytes(b"".join(w.to_bytes(2, "big") for w in words), order), fields, order)
    out, at = [], 0
    for code, size in fields:
        chunk = image[at:at + size]
        at += size
        out.append(chunk if code == "s" else struct.unpack(">" + code, chunk)[0])
    return out


def encode_values(fmt, values, order="ABCD"):
    fields = value_layout(fmt, order)
    values = items_of(values, "values")
    if len(values) != len(fields):
        raise ValueError("value count")
    image = b""
    for v, (code, size) in zip(values, fields, strict=True):
        if code == "s":
            if not isinstance(v, (bytes, bytearray)):
                raise TypeError("string type")
            if len(v) > size:
                raise ValueError("string length")
            image += bytes(v).ljust(size, b"\0")
        elif code in "efd":
            if not isinstance(v, (int, float)):
                raise TypeError("float type")
            image += struct.pack(">" + code, float(v))      # OverflowError when too large
        else:
            if not isinstance(v, int):
                raise TypeError("int type")
            bits = 8 * size
            low, high = (-(1 << bits - 1), (1 << bits - 1) - 1) if code.islower() else (0, (1 << bits) - 1)
            if not low <= v <= high:
                raise OverflowError("int range")
            image += v.to_bytes(size, "big", signed=code.islower())
    wire = swap_bytes(reverse_words(image, fields, order), order)
    return [int.from_bytes(wire[k:k + 2], "big") for k in range(0, len(wire), 2)]


