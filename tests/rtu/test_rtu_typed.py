"""Master: typed values (16-bit signed, 32-bit unsigned, signed and float) over the
scripted channel, on the native road and through a replaced `struct`."""

import inspect
import math
import struct
import types

import pytest

import brel_modbus
from brel_modbus import Master

from rtu_support import frame


def regs_answer(*registers, station=1):
    body = b"".join(r.to_bytes(2, "big") for r in registers)
    return frame(f"{station:02X} 03 {len(body):02X} {body.hex()}")


def written_registers(request):
    """The register values of a write-multiple request."""
    assert request[1] == 0x10
    count = request[6] // 2
    return [int.from_bytes(request[7 + 2 * i:9 + 2 * i], "big") for i in range(count)]


def f32(value):
    """value rounded to single precision, the test's own reference (explicit byte order)."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def pattern_float(bits):
    return struct.unpack("<f", bits.to_bytes(4, "little"))[0]


@pytest.fixture(params=["native", "wrapped"])
def struct_road(request, monkeypatch):
    """The real struct module, or a stand-in that forwards to it (no native path)."""
    if request.param == "wrapped":
        monkeypatch.setattr(brel_modbus, "struct", types.SimpleNamespace(pack=struct.pack, unpack=struct.unpack,
                                                                         error=struct.error))
    return request.param


# ---- members -----------------------------------------------------------------------------------

def test_aliases_are_the_same_objects():
    d = Master.__dict__
    assert d["read_uint16"] is d["read_register"]
    assert d["write_int16"] is d["write_register"] is d["write_uint16"]
    assert Master.read_uint16.__name__ == "read_register"
    assert Master.write_uint16.__qualname__ == "Master.write_register"


@pytest.mark.parametrize("key, signature", [
    ("read_int16", "(self, station: 'int', address: 'int')"),
    ("_Master__read_int32", "(self, station: 'int', address: 'int', sign: 'str', endian: 'str')"),
    ("read_float", "(self, station, address, endian: 'str' = '>')"),
    ("_Master__read_multi_int32", "(self, station, address, count: 'int', sign: 'str', endian: 'str')"),
    ("read_multi_uint32", "(self, station, address, count: 'int', endian: 'str' = '>')"),
    ("_Master__write_int32", "(self, station, address, value, sign: 'str', endian: 'str')"),
    ("write_int32", "(self, station, address, value, endian: 'str' = '>')"),
    ("_Master__write_multi_int32", "(self, station, address, values, sign: 'str', endian: 'str')"),
    ("write_multi_float", "(self, station, address, values, endian: 'str' = '>')"),
])
def test_typed_signatures(key, signature):
    assert str(inspect.signature(getattr(Master, key))) == signature


# ---- reads ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, registers, expected", [
    (("read_float", 1, 0), (0x4120, 0x0000), 10.0),
    (("read_float", 1, 0, "<"), (0x4120, 0x0000), pattern_float(0x4120)),
    (("read_float", 1, 0), (0x3DCC, 0xCCCD), 0.10000000149011612),
    (("read_float", 1, 0), (0x8000, 0x0001), pattern_float(0x80000001)),
    (("read_float", 1, 0), (0xFF80, 0x0000), -math.inf),
    (("read_int32", 1, 0), (0xFFFF, 0xFFFE), -2),
    (("read_uint32", 1, 0), (0xFFFF, 0xFFFE), 4294967294),
    (("read_uint32", 1, 0), (0x0001, 0x0002), 65538),
    (("read_uint32", 1, 0, "<"), (0x0001, 0x0002), 131073),
    (("read_int32", 1, 0, "<"), (0x0000, 0x8000), -2**31),
    (("read_uint32", 1, 0, ""), (0x0001, 0x0002), 131073),
    (("read_uint32", 1, 0, "big"), (0x0001, 0x0002), 131073),
    (("read_uint32", 1, 0, ">>"), (0x0001, 0x0002), 131073),
    (("_Master__read_int32", 1, 0, "i", ">"), (0x7FFF, 0xFFFF), 2**31 - 1),
    (("read_int16", 1, 0), (65534,), -2),
    (("read_int16", 1, 0), (32768,), -32768),
    (("read_int16", 1, 0), (32767,), 32767),
    (("read_int16", 1, 0), (0,), 0),
    (("read_uint16", 1, 0), (65534,), 65534),
    (("read_multi_float", 1, 0, 3), (0x4120, 0, 0xC120, 0, 0x3F80, 0), [10.0, -10.0, 1.0]),
    (("read_multi_int32", 1, 0, 2, "<"), (0xFFFE, 0xFFFF, 5, 0), [-2, 5]),
    (("read_multi_uint32", 1, 0, 2), (0, 1, 0, 2), [1, 2]),
    (("read_multi_float", 1, 0, 0), (), []),
])
def test_typed_reads(master, channel, struct_road, call, registers, expected):
    name, *args = call
    channel.answer(regs_answer(*registers))
    result = getattr(master, name)(*args)
    assert result == expected and type(result) is type(expected)
    if isinstance(expected, list):
        assert all(type(v) is type(expected[0]) for v in result)
    if isinstance(expected, float):
        assert math.copysign(1, result) == math.copysign(1, expected)


@pytest.mark.parametrize("name, count, request_count", [
    ("read_float", None, 2), ("read_int16", None, 1), ("read_multi_float", 3, 6), ("read_multi_uint32", 0, 0),
])
def test_typed_read_requests(master, channel, name, count, request_count):
    channel.answer(regs_answer(*([0] * request_count)))
    args = (1, 0x20) if count is None else (1, 0x20, count)
    getattr(master, name)(*args)
    assert channel.writes == [frame(f"01 03 00 20 {request_count:04X}")]


@pytest.mark.parametrize("count", [2**63, 2**15, -1])
def test_multi_count_beyond_the_count_field(master, channel, count):
    with pytest.raises(OverflowError, match="^modbus: count out of range 0 to 65535: "):
        master.read_multi_int32(1, 0, count)
    assert channel.writes == []


def test_float_denormal_keeps_its_bits(master, channel):
    channel.answer(regs_answer(0x4120, 0x0000))
    value = master.read_float(1, 0, "<")
    assert value != 0 and abs(value - 2.3362e-41) < 1e-45
    assert struct.pack("<f", value) == (0x4120).to_bytes(4, "little")


def test_nan_read(master, channel):
    channel.answer(regs_answer(0x7FC0, 0x0001))
    assert math.isnan(master.read_float(1, 0))


@pytest.mark.parametrize("call, registers", [
    (("read_float", 1, 0), (1,)), (("read_float", 1, 0), ()), (("read_float", 1, 0), (1, 2, 3)),
    (("read_multi_uint32", 1, 0, 2), (1, 2, 3)), (("read_int16", 1, 0), (1, 2)),
])
def test_typed_read_on_a_wrong_register_count(master, channel, struct_road, call, registers):
    name, *args = call
    channel.answer(regs_answer(*registers))
    with pytest.raises(ValueError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == "modbus: answer from slave with station 1 does not match the request"


@pytest.mark.parametrize("registers, outcome", [
    ([0x4120, 0], 10.0),
    ([1], "need more than 1 value to unpack"),
    ([], "need more than 0 values to unpack"),
    ([1, 2, 3], "too many values to unpack (expected 2)"),
])
def test_read_int32_unpacks_any_iterable(channels, registers, outcome):
    class Sub(Master):
        def read_registers(self, station, address, count, func_code=3):
            return iter(registers)

    sub = Sub("x", 1, 1)
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            sub.read_float(1, 0)
        assert str(info.value) == outcome
    else:
        assert sub.read_float(1, 0) == outcome


@pytest.mark.parametrize("call, param, expected, got", [
    (("read_float", 1, 0, b">"), "endian", "str", "bytes"),
    (("read_float", True, 0), "station", "int", "bool"),
    (("read_int16", 1, 0.0), "address", "int", "float"),
    (("read_multi_float", 1, 0, 2.0), "count", "int", "float"),
    (("read_multi_int32", 1, 0, 2, None), "endian", "str", "NoneType"),
    (("_Master__read_int32", 1, 0, b"f", ">"), "sign", "str", "bytes"),
    (("write_float", 1, 0, 1.0, 0), "endian", "str", "int"),
    (("_Master__write_multi_int32", 1, 0, [1], None, ">"), "sign", "str", "NoneType"),
])
def test_typed_entry_tests(master, channel, call, param, expected, got):
    name, *args = call
    with pytest.raises(TypeError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert channel.calls == []


# ---- writes ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, registers", [
    (("write_uint32", 1, 0, 258), [0, 258]),
    (("write_uint32", 1, 0, 258, "<"), [258, 0]),
    (("write_int32", 1, 0, -2), [0xFFFF, 0xFFFE]),
    (("write_int32", 1, 0, -2**31), [0x8000, 0]),
    (("write_uint32", 1, 0, 2**32 - 1, "x"), [0xFFFF, 0xFFFF]),
    (("write_uint32", 1, 0, True), [0, 1]),
    (("write_float", 1, 0, 0.1), [0x3DCC, 0xCCCD]),
    (("write_float", 1, 0, 10), [0x4120, 0x0000]),
    (("write_float", 1, 0, -0.0), [0x8000, 0x0000]),
    (("write_float", 1, 0, 1e-45), [0x0000, 0x0001]),
    (("write_float", 1, 0, 1e-46), [0x0000, 0x0000]),
    (("write_float", 1, 0, math.inf), [0x7F80, 0x0000]),
    (("write_float", 1, 0, 3.4028235e38), [0x7F7F, 0xFFFF]),
    (("write_float", 1, 0, float.fromhex("0x1.fffffefffffffp127")), [0x7F7F, 0xFFFF]),
    (("write_float", 1, 0, 2**24 + 1), [0x4B80, 0x0000]),
    (("write_multi_uint32", 1, 0, [1, 2]), [0, 1, 0, 2]),
    (("write_multi_int32", 1, 0, lambda: (x for x in (-1, 1)), "<"), [0xFFFF, 0xFFFF, 1, 0]),
    (("write_multi_float", 1, 0, []), []),
    (("write_multi_float", 1, 0, range(3)), [0, 0, 0x3F80, 0, 0x4000, 0]),
    (("_Master__write_int32", 1, 0, 7, "I", ">"), [0, 7]),
])
def test_typed_writes(master, channel, struct_road, call, registers):
    name, *args = call
    args = [arg() if isinstance(arg, types.FunctionType) else arg for arg in args]   # a fresh generator
    channel.answer(frame(f"01 10 00 00 {len(registers):04X}"))
    assert getattr(master, name)(*args) is None
    (request,) = channel.writes
    assert written_registers(request) == registers
    assert channel.reads == [5, 3]


def test_write_float_read_back(master, channel):
    channel.answer(frame("01 10 00 00 00 02"))
    master.write_float(1, 0, 0.1)
    channel.answer(regs_answer(*written_registers(channel.writes[0])))
    assert master.read_float(1, 0) == 0.10000000149011612 == f32(0.1)


@pytest.mark.parametrize("call, error", [
    (("write_uint32", 1, 0, -1), struct.error),
    (("write_uint32", 1, 0, 2**32), struct.error),
    (("write_int32", 1, 0, 2**31), struct.error),
    (("write_int32", 1, 0, 1.5), struct.error),
    (("write_uint32", 1, 0, "7"), struct.error),
    (("write_float", 1, 0, "7"), struct.error),
    (("write_float", 1, 0, None), struct.error),
    (("write_float", 1, 0, 2**1024), struct.error),
    (("write_multi_int32", 1, 0, [1, 2, 2**40]), struct.error),
    (("write_multi_float", 1, 0, [1.0, "x"]), struct.error),
    (("_Master__write_int32", 1, 0, 1, "h", ">"), struct.error),
    (("write_multi_int32", 1, 0, 5), TypeError),
])
def test_unpackable_values_write_nothing(master, channel, struct_road, call, error):
    name, *args = call
    with pytest.raises(error) as info:
        getattr(master, name)(*args)
    assert channel.calls == []
    if error is struct.error and name != "_Master__write_int32":
        sign = {"uint32": "I", "int32": "i", "float": "f"}[name.rsplit("_", 1)[1]]
        value = args[2][-1] if isinstance(args[2], list) else args[2]
        with pytest.raises(struct.error) as reference:
            struct.pack(sign, value)
        assert str(info.value) == str(reference.value)


@pytest.mark.parametrize("value", [1e39, -1e39, float.fromhex("0x1.ffffffp127"), 2**200, 3.5e38])
def test_float_too_large_for_single_precision(master, channel, value):
    with pytest.raises(OverflowError) as info:
        master.write_float(1, 0, value)
    assert str(info.value) == "float too large to pack with f format"
    if isinstance(value, float):   # what struct's standard-size "f" says of the same value
        with pytest.raises(OverflowError) as reference:
            struct.pack("<f", value)
        assert str(info.value) == str(reference.value)
    with pytest.raises(OverflowError):
        master.write_multi_float(1, 0, [1.0, value])
    assert channel.calls == []


def test_float_conversion_calls_float_once(master, channel, struct_road):
    calls = []

    class Number:
        def __float__(self):
            calls.append(1)
            return 0.5
    channel.answer(frame("01 10 00 00 00 02"))
    master.write_float(1, 0, Number())
    assert calls == [1] and written_registers(channel.writes[0]) == [0x3F00, 0]


def test_float_conversion_error_is_struct_error(master, channel):
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("no")
    with pytest.raises(struct.error, match="required argument is not a float"):
        master.write_float(1, 0, Broken())


@pytest.mark.parametrize("count, outcome", [(63, 126), (64, ValueError)])
def test_multi_write_limits(master, channel, count, outcome):
    channel.answer(frame("01 10 00 00 00 7E"))
    if outcome is ValueError:
        with pytest.raises(ValueError) as info:
            master.write_multi_int32(1, 0, range(count))
        assert str(info.value) == \
            "modbus write registers: invalid argument: register count must be less than 128"
        assert channel.calls == []
    else:
        master.write_multi_int32(1, 0, range(count))
        (request,) = channel.writes
        assert request[4:7] == bytes((0, outcome, 2 * outcome))
        assert written_registers(request)[-2:] == [0, count - 1]


@pytest.mark.parametrize("call, body", [
    (("write_int16", 1, 0, -2), "01 06 00 00 FF FE"),
    (("write_uint16", 1, 0, 65535 + 1), "01 06 00 00 00 00"),
    (("write_uint16", 1, 0, 65535), "01 06 00 00 FF FF"),
])
def test_sixteen_bit_writes(master, channel, call, body):
    name, *args = call
    channel.answer(frame(body))
    getattr(master, name)(*args)
    assert channel.writes == [frame(body)]


# ---- late binding ------------------------------------------------------------------------------------

def test_struct_looked_up_at_call_time(master, channel, monkeypatch):
    seen = []

    class Recorder:
        @staticmethod
        def pack(fmt, *values):
            seen.append(("pack", fmt, values))
            return struct.pack(fmt, *values)

        @staticmethod
        def unpack(fmt, package):
            seen.append(("unpack", fmt, package))
            return struct.unpack(fmt, package)

    monkeypatch.setattr(brel_modbus, "struct", Recorder)
    channel.answer(regs_answer(0x4120, 0), frame("01 10 00 00 00 02"), regs_answer(65534))
    assert master.read_float(1, 0) == 10.0
    master.write_uint32(1, 0, 258, "<")
    assert master.read_int16(1, 0) == -2
    assert [(s[0], s[1]) for s in seen] == [("pack", "HH"), ("unpack", "f"), ("pack", "I"), ("unpack", "HH"),
                                            ("pack", "H"), ("unpack", "h")]
    assert seen[0][2] == (0, 0x4120)


def test_replaced_struct_decides(master, channel, monkeypatch):
    """A struct with other byte order rules gives its own results: nothing is cached."""
    big = types.SimpleNamespace(pack=lambda fmt, *v: struct.pack(">" + fmt, *v),
                                unpack=lambda fmt, p: struct.unpack(">" + fmt, p))
    monkeypatch.setattr(brel_modbus, "struct", big)
    channel.answer(regs_answer(0x0001, 0x0002))
    assert master.read_uint32(1, 0, "<") == 65538


def test_typed_values_use_overridden_register_members(channels):
    log = []

    class Sub(Master):
        def read_registers(self, station, address, count, func_code=3):
            log.append(("read", station, address, count, func_code))
            return [0, 1] * (count // 2)

        def read_register(self, station, address, func_code=3):
            log.append(("read1", station, address))
            return 40000

        def write_registers(self, station, address, values):
            log.append(("write", station, address, values))

    sub = Sub("x", 1, 1)
    assert sub.read_uint32(2, 3) == 1
    assert sub.read_multi_uint32(2, 3, 2, "<") == [65536, 65536]
    assert sub.read_int16(4, 5) == 40000 - 65536
    sub.write_float(6, 7, 1.0)
    sub.write_multi_uint32(6, 7, [1])
    assert log == [("read", 2, 3, 2, 3), ("read", 2, 3, 4, 3), ("read1", 4, 5), ("write", 6, 7, [0x3F80, 0]),
                   ("write", 6, 7, [0, 1])]
    assert channels[0].calls == []


@pytest.mark.parametrize("registers", [(True, 2), (0x4120, False)])
def test_register_values_of_int_subclasses(channels, struct_road, registers):
    class Sub(Master):
        def read_registers(self, station, address, count, func_code=3):
            return list(registers)

    expected = struct.unpack("<I", struct.pack("<HH", registers[1], registers[0]))[0]
    assert Sub("x", 1, 1).read_uint32(1, 0) == expected


@pytest.mark.parametrize("registers", [(70000, 0), (-1, 0), (1.0, 0)])
def test_register_values_struct_refuses(channels, struct_road, registers):
    class Sub(Master):
        def read_registers(self, station, address, count, func_code=3):
            return list(registers)

    with pytest.raises(struct.error) as info:
        Sub("x", 1, 1).read_uint32(1, 0, "<")
    with pytest.raises(struct.error) as reference:
        struct.pack("HH", *registers)
    assert str(info.value) == str(reference.value)
