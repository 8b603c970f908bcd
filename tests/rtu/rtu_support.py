"""Plain helpers of the Master tests: the reference CRC and frames, the scripted channel
(answers queued as bytes, each write moving the next one into the input, every call
recorded), the data the real slaves hold, and the switch to the general road of request
building."""

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


# ---- scripted channel ------------------------------------------------------------------

class FakeChannel:
    """The members the master uses, scripted and recorded."""

    def __init__(self, **opened):
        self.opened = opened              # the keywords the factory was called with
        self.calls = []                   # ("in_waiting",), ("read", n), ("write", bytes), ...
        self.written_types = []
        self.answers = []                 # bytes to arrive after each write, in order
        self.incoming = bytearray()       # received, not yet read
        self.open = True
        self.timeout_value = opened.get("timeout")

    def answer(self, *answers: bytes) -> None:
        self.answers.extend(answers)

    @property
    def in_waiting(self):
        self.calls.append(("in_waiting",))
        return len(self.incoming)

    def read(self, size):
        self.calls.append(("read", size))
        data = bytes(self.incoming[:size])
        del self.incoming[:size]
        return data

    def write(self, data):
        self.calls.append(("write", bytes(data)))
        self.written_types.append((type(data), getattr(data, "typecode", None)))
        if self.answers:
            self.incoming += self.answers.pop(0)
        return "ignored"

    @property
    def is_open(self):
        self.calls.append(("is_open",))
        return self.open

    def close(self):
        self.calls.append(("close",))
        self.open = False

    @property
    def timeout(self):
        return self.timeout_value

    @timeout.setter
    def timeout(self, value):
        self.calls.append(("timeout=", value))
        self.timeout_value = value

    # views of the record
    @property
    def writes(self):
        return [c[1] for c in self.calls if c[0] == "write"]

    @property
    def reads(self):
        return [c[1] for c in self.calls if c[0] == "read"]

    def exchange(self):
        """The calls without the property reads of is_open: the order on the line."""
        return [c for c in self.calls if c[0] in ("in_waiting", "read", "write")]


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
