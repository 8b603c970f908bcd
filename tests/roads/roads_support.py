"""The harness of the two-roads contract: a slave model that answers every request the
masters send (normally or with one chosen fault), the scripted channel and socket that
deliver those answers, the ways a master is sent down the general road, and the record
of one call that both roads must share.

The scripted channel and socket are the ones of tests/rtu and tests/tcp, imported from
there and extended only by the answering step.
"""

from __future__ import annotations

import pathlib
import struct
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parents[2]
for folder in (ROOT / "examples", ROOT / "tests" / "rtu", ROOT / "tests" / "tcp"):
    if str(folder) not in sys.path:
        sys.path.append(str(folder))

import brel_modbus  # noqa: E402
from brel_modbus import FixMaster, Master, ModbusStatic, ModbusTCPMaster  # noqa: E402
from rtu_support import FakeChannel, crc16, use_python_helpers  # noqa: E402
from tcp_support import HOST, PORT, ScriptedSocket, delegating_class, mbap  # noqa: E402

# ---- the slave model ------------------------------------------------------------------------

DEVICE_OBJECTS = {0: b"brel", 1: b"BM-1", 2: b"V1.0", 0x81: b"private"}


def registers(count: int, seed: int) -> bytes:
    """count register values, different for each register and each seed."""
    return b"".join(struct.pack(">H", (seed * 0x0101 + i * 0x1357) & 0xFFFF) for i in range(count))


def answer_pdu(request: bytes) -> bytes:
    """The normal answer of a slave to a request PDU (function code first)."""
    code = request[0]
    if code in (1, 2):
        count = struct.unpack(">H", request[3:5])[0]
        size = (count + 7) // 8
        return bytes((code, size)) + bytes((0xA5 + i * 0x11) & 0xFF for i in range(size))
    if code in (3, 4):
        count = struct.unpack(">H", request[3:5])[0]
        return bytes((code, 2 * count)) + registers(count, code)
    if code in (5, 6, 22):
        return request
    if code in (15, 16):
        return request[:5]
    if code == 23:
        count = struct.unpack(">H", request[3:5])[0]
        return bytes((code, 2 * count)) + registers(count, 23)
    if code == 43:
        read_code, first = request[2], request[3]
        chosen = [first] if read_code == 4 else [k for k in DEVICE_OBJECTS if k >= first and k < 3]
        body = b"".join(bytes((k, len(DEVICE_OBJECTS[k]))) + DEVICE_OBJECTS[k] for k in chosen)
        return bytes((43, 14, read_code, 0x81, 0, 0, len(chosen))) + body
    if code in (8, 21):
        return request
    if code == 7:
        return bytes((7, 0x6D))
    if code == 11:
        return bytes.fromhex("0BFFFF0108")
    if code == 12:
        return bytes.fromhex("0C08000001080121 2000".replace(" ", ""))
    if code == 17:
        return bytes((17, 5)) + b"BREL\xFF"
    if code == 20:
        records = [struct.unpack(">H", request[at + 5:at + 7])[0] for at in range(2, len(request), 7)]
        body = b"".join(bytes((1 + 2 * n, 6)) + registers(n, 20) for n in records)
        return bytes((20, len(body))) + body
    if code == 24:
        return bytes.fromhex("1800060002") + registers(2, 24)
    if code == 0x41:  # a code of the device's own: two bytes of data
        return bytes((0x41, 0xAA, 0xBB))
    return bytes((code | 0x80, 1))


# The answers of the contract: what the slave does with each request.
ANSWERS = ["normal", "refused", "crc", "short", "station", "code", "silent"]
TCP_ANSWERS = ["normal", "refused", "short", "unit", "transaction", "code", "length", "silent"]


def with_crc(data: bytes) -> bytes:
    crc = crc16(data)
    return data + bytes((crc & 0xFF, crc >> 8))


def rtu_answer(request: bytes, kind: str) -> bytes:
    """What arrives on the line after the RTU request frame `request`."""
    station, pdu = request[0], request[1:-2]
    normal = answer_pdu(pdu)
    if kind == "normal":
        return with_crc(bytes((station,)) + normal)
    if kind == "refused":
        return with_crc(bytes((station, pdu[0] | 0x80, 2)))
    if kind == "crc":
        whole = with_crc(bytes((station,)) + normal)
        return whole[:-1] + bytes((whole[-1] ^ 0x5A,))
    if kind == "short":
        return with_crc(bytes((station,)) + normal)[:-1]
    if kind == "station":
        return with_crc(bytes(((station + 1) & 0xFF,)) + normal)
    if kind == "code":
        return with_crc(bytes((station, normal[0] ^ 0x07)) + normal[1:])
    assert kind == "silent", kind
    return b""


def tcp_answer(request: bytes, kind: str) -> list[bytes]:
    """The segments the TCP slave sends after the MBAP request `request`."""
    transaction, protocol, _, unit = struct.unpack(">HHHB", request[:7])
    pdu = request[7:]
    normal = answer_pdu(pdu)
    if kind == "normal":
        return [mbap(transaction, normal, unit, protocol)]
    if kind == "refused":
        return [mbap(transaction, bytes((pdu[0] | 0x80, 2)), unit, protocol)]
    if kind == "short":
        return [mbap(transaction, normal, unit, protocol)[:-1], b""]
    if kind == "unit":
        return [mbap(transaction, normal, (unit + 1) & 0xFF, protocol)]
    if kind == "transaction":
        return [mbap(transaction + 0x100, normal, unit, protocol)]
    if kind == "code":
        return [mbap(transaction, bytes((normal[0] ^ 0x07,)) + normal[1:], unit, protocol)]
    if kind == "length":
        return [mbap(transaction, normal, unit, protocol, length=len(normal))]
    assert kind == "silent", kind
    return []


class AnsweringChannel(FakeChannel):
    """The scripted channel, whose answer to each written frame comes from the slave model."""

    kind = "normal"

    def write(self, data):
        self.answer(rtu_answer(bytes(data), self.kind))
        return super().write(data)


class AnsweringSocket(ScriptedSocket):
    """The scripted socket, whose answer to each request sent comes from the slave model."""

    kind = "normal"

    def send(self, data):
        taken = super().send(data)
        self.queue(*tcp_answer(bytes(data), self.kind))
        return taken


# ---- the general road: three ways -------------------------------------------------------------
#
# Each replacement gives the same answers as the library's own member it replaces (it calls
# it), so the master must behave exactly as on the fast road.

def calls_super(made, name):
    """A method that calls super()'s `name`, for the subclass that made[0] will hold."""
    def step(self, *args, **kwargs):
        return getattr(super(made[0], self), name)(*args, **kwargs)
    step.__name__ = name
    return step


def steps_of(cls):
    """The names of cls's methods and static methods (not its properties nor dunders)."""
    return [name for name, entry in vars(cls).items()
            if not (name.startswith("__") and name.endswith("__"))
            and (callable(entry) or isinstance(entry, staticmethod))]


def overriding_subclass(cls):
    """A subclass of cls that overrides every step with one that calls the library's own,
    and its properties with properties that read (and write) through the library's own."""
    body = {"__module__": __name__}
    made = []
    for name, entry in vars(cls).items():
        if name.startswith("__") and name.endswith("__"):
            continue
        if isinstance(entry, staticmethod):
            body[name] = staticmethod(lambda *args, _f=entry.__func__, **kwargs: _f(*args, **kwargs))
        elif isinstance(entry, property):
            body[name] = property(
                lambda self, _p=entry: _p.__get__(self, type(self)),
                None if entry.fset is None else (lambda self, value, _p=entry: _p.__set__(self, value)))
        elif callable(entry):
            body[name] = calls_super(made, name)
    made.append(type(f"Overriding{cls.__name__}", (cls,), body))
    return made[0]


def wrap_on_instance(obj, names):
    """Hide each step of obj under an instance attribute that calls the bound step."""
    for name in names:
        bound = getattr(obj, name)
        setattr(obj, name, lambda *args, _b=bound, **kwargs: _b(*args, **kwargs))


class TwinStatic(ModbusStatic):
    """ModbusStatic with every helper replaced by a Python function calling the library's."""


def _twin(name):
    own = getattr(ModbusStatic, name)
    return staticmethod(lambda *args, **kwargs: own(*args, **kwargs))


for _name in ("split_register", "compound_register", "calculate_crc", "crc_is_right", "decode_values",
              "encode_values"):
    setattr(TwinStatic, _name, _twin(_name))

STRUCT_TWIN = types.SimpleNamespace(pack=lambda *args: struct.pack(*args), unpack=lambda *args: struct.unpack(*args),
                                    error=struct.error)

# Roads per class: "fast" is the library's own everything; every other road is general.
RTU_ROADS = ["fast", "module:helpers", "module:ModbusStatic", "module:struct", "class", "instance"]
FIX_ROADS = ["fast", "module:helpers", "module:Master", "class", "instance"]
TCP_ROADS = ["fast", "module:ModbusTCPMaster", "class", "instance"]


def take_road(road, monkeypatch, cls):
    """Apply the module-namespace part of `road`; return the class to make the master of."""
    if road == "module:helpers":
        use_python_helpers(monkeypatch)
    elif road == "module:ModbusStatic":
        monkeypatch.setattr(brel_modbus, "ModbusStatic", TwinStatic)
    elif road == "module:struct":
        monkeypatch.setattr(brel_modbus, "struct", STRUCT_TWIN)
    elif road == "module:Master":
        monkeypatch.setattr(brel_modbus, "Master", overriding_subclass(Master))
    elif road == "module:ModbusTCPMaster":
        monkeypatch.setattr(brel_modbus, "ModbusTCPMaster", delegating_class())
    elif road == "class":
        return overriding_subclass(cls)
    return cls


# ---- one call, recorded ---------------------------------------------------------------------

def outcome(call):
    """What a call gave: its result (type and repr, so True and 1 differ) or its exception."""
    try:
        result = call()
    except Exception as exc:  # every exception is part of the contract
        return ("raised", type(exc), str(exc), exc.args)
    return ("returned", type(result), repr(result))


def record(value):
    return type(value), bytes(value) if isinstance(value, (bytes, bytearray)) else value


__all__ = [
    "ANSWERS", "FIX_ROADS", "HOST", "PORT", "RTU_ROADS", "TCP_ANSWERS", "TCP_ROADS", "AnsweringChannel",
    "AnsweringSocket", "FixMaster", "Master", "ModbusTCPMaster", "outcome", "record", "rtu_answer", "steps_of",
    "take_road", "tcp_answer", "with_crc", "wrap_on_instance",
]
