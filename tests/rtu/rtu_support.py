"""Plain helpers of the Master tests: the reference CRC and frames, the data the real
slaves hold, and the switch to the general road of request building."""

from __future__ import annotations

import array

import brel_modbus


# ---- frames --------------------------------------------------------------------------

def crc16(data: bytes) -> int:
    """CRC-16/MODBUS, bit by bit: the test's own reference."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(text: str) -> bytes:
    """Hex text plus its CRC, low byte first: frame("01 03 02 00 0A")."""
    data = bytes.fromhex(text)
    crc = crc16(data)
    return data + bytes((crc & 0xFF, crc >> 8))


# ---- the general road ----------------------------------------------------------------------

def use_python_helpers(monkeypatch):
    """Replace _byte_array and the ModbusStatic helpers with pure-Python twins, which
    sends a master down the general road: requests built step by step through the
    interpreter, answers decoded through compound_register and crc_is_right calls."""
    statics = brel_modbus.ModbusStatic
    calculate_crc = statics.calculate_crc
    crc_is_right = statics.crc_is_right

    def byte_array(iterable):
        return array.array("B", iterable)

    def split_register(value):
        low = value & 0xFF
        return (value >> 8) & 0xFF, low

    def compound_register(high, low):
        return (high << 8) + low

    monkeypatch.setattr(brel_modbus, "_byte_array", byte_array)
    monkeypatch.setattr(statics, "split_register", staticmethod(split_register))
    monkeypatch.setattr(statics, "compound_register", staticmethod(compound_register))
    monkeypatch.setattr(statics, "calculate_crc", staticmethod(lambda s, beg=0, end=None: calculate_crc(s, beg, end)))
    monkeypatch.setattr(statics, "crc_is_right", staticmethod(lambda s: crc_is_right(s)))


# ---- what the real slaves hold ------------------------------------------------------------

from simulator import COILS, DISCRETE, HOLDING, INPUT, STATION  # noqa: E402,F401  the slaves' datastore
TYPED_BASE = 340                                          # free holding registers 340..499
