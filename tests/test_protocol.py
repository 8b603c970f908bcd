"""ModbusStatic, _byte_array and SlaveException."""

import array
import random

import pytest

import brel_modbus
from brel_modbus import ModbusStatic, SlaveException


def reference_crc(values):
    """Bit-by-bit CRC-16/MODBUS on unbounded integers."""
    crc = 0xFFFF
    for v in values:
        crc ^= v
        for _ in range(8):
            bit = crc & 1
            crc >>= 1
            if bit:
                crc ^= 0xA001
    return crc & 0xFF, crc >> 8


@pytest.mark.parametrize(
    "frame, beg, end, expected",
    [
        ("010300000001", 0, None, (0x84, 0x0A)),
        ("010600010003", 0, None, (0x98, 0x0B)),
        ("313233343536373839", 0, None, (0x37, 0x4B)),
        ("AA010300000001BB", 1, 7, (0x84, 0x0A)),
        ("AA010300000001BB", 1, -1, (0x84, 0x0A)),
        ("", 0, None, (0xFF, 0xFF)),
        ("0102", 5, None, (0xFF, 0xFF)),       # start past the end: empty
        ("0102", 2, 0, (0xFF, 0xFF)),          # stop before start: empty
        ("010300000001", -100, 100, (0x84, 0x0A)),  # clipped bounds
        ("010300000001", None, None, (0x84, 0x0A)),
    ],
)
@pytest.mark.parametrize("kind", ["bytes", "bytearray", "array", "list", "tuple", "memoryview", "str"])
def test_calculate_crc_known_values(frame, beg, end, expected, kind):
    raw = bytes.fromhex(frame)
    data = {
        "bytes": raw,
        "bytearray": bytearray(raw),
        "array": array.array("B", raw),
        "list": list(raw),
        "tuple": tuple(raw),
        "memoryview": memoryview(raw),
        "str": raw.decode("latin-1"),
    }[kind]
    assert ModbusStatic.calculate_crc(data, beg, end) == expected
    assert ModbusStatic.calculate_crc(string=data, end=end, beg=beg) == expected


def test_calculate_crc_fast_and_general_roads_agree():
    rng = random.Random(1234)
    for _ in range(300):
        raw = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 40)))
        beg = rng.choice([None, 0, rng.randrange(-50, 50)])
        end = rng.choice([None, rng.randrange(-50, 50)])
        want = reference_crc(list(raw)[beg:end])
        for data in (raw, bytearray(raw), array.array("B", raw), list(raw), raw.decode("latin-1")):
            assert ModbusStatic.calculate_crc(data, beg, end) == want, (raw, beg, end, type(data))


@pytest.mark.parametrize(
    "values, expected",
    [
        ([-1], (0, -1)),                       # the register leaves 16 bits and is not masked
        ([70000], reference_crc([70000])),
        ([1 << 80, 5], reference_crc([1 << 80, 5])),   # beyond machine integers
        ([-(1 << 70)], reference_crc([-(1 << 70)])),
        ([True, 3], reference_crc([1, 3])),
        ([0x10FFFF], reference_crc([0x10FFFF])),
    ],
)
def test_calculate_crc_unbounded_integers(values, expected):
    assert ModbusStatic.calculate_crc(values) == expected


def test_calculate_crc_str_uses_code_points():
    text = "a\u20ac\U0001F600z"
    assert ModbusStatic.calculate_crc(text) == reference_crc([ord(c) for c in text])
    assert ModbusStatic.calculate_crc(text, 1, 3) == reference_crc([ord(c) for c in text[1:3]])


class Index:
    def __index__(self):
        return 1


def test_calculate_crc_index_objects_as_bounds():
    raw = bytes.fromhex("AA010300000001BB")
    assert ModbusStatic.calculate_crc(raw, Index(), -1) == (0x84, 0x0A)
    assert ModbusStatic.calculate_crc("\xaa\x01\x03\x00\x00\x00\x01\xbb", Index(), 7) == (0x84, 0x0A)


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((12,), TypeError, "'int' object is unsliceable"),
        ((None,), TypeError, "'NoneType' object is unsliceable"),
        ((b"\x01", "a"), TypeError, "slice indices must be integers or None or have an __index__ method"),
        (("ab", 1.5), TypeError, "slice indices must be integers or None or have an __index__ method"),
        (([1.5],), TypeError, "unsupported operand type(s) for ^=: 'int' and 'float'"),
        ((["a"],), TypeError, "unsupported operand type(s) for ^=: 'int' and 'str'"),
    ],
)
def test_calculate_crc_errors_are_the_interpreters(args, error, text):
    with pytest.raises(error) as info:
        ModbusStatic.calculate_crc(*args)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "data, expected",
    [
        (bytes.fromhex("01030000000184 0A".replace(" ", "")), True),
        (b"\xff\xff", True),
        (b"", False),
        (b"\x01", False),
        ([0xFF], False),
        (bytes.fromhex("0103000000018400"), False),
        (bytes.fromhex("0103000000010A84"), False),    # CRC bytes swapped
        ([1, 3, 0, 0, 0, 1, 0x84, 0x0A], True),
        ("\x01\x03\x00\x00\x00\x01\x84\x0a", False),  # one-character strings never equal ints
    ],
)
def test_crc_is_right(data, expected):
    assert ModbusStatic.crc_is_right(data) is expected


def test_crc_is_right_detects_every_single_byte_change():
    frame = bytearray.fromhex("0103000000 01840A".replace(" ", ""))
    for i in range(len(frame)):
        damaged = bytearray(frame)
        damaged[i] ^= 0x10
        assert ModbusStatic.crc_is_right(bytes(damaged)) is False


def test_crc_is_right_errors():
    with pytest.raises(TypeError, match="has no len"):
        ModbusStatic.crc_is_right(5)


def test_crc_is_right_looks_up_calculate_crc_at_call_time(monkeypatch):
    calls = []

    def fake(string, beg=0, end=None):
        calls.append((beg, end))
        return (1, 2)

    monkeypatch.setattr(ModbusStatic, "calculate_crc", staticmethod(fake))
    assert ModbusStatic.crc_is_right(b"\x09\x01\x02") is True
    assert calls == [(0, 1)]


def test_crc_is_right_returns_the_deciding_comparison():
    class Odd:
        def __eq__(self, other):
            return "yes" if other == 0x84 else ""

    frame = [1, 3, 0, 0, 0, 1, Odd(), Odd()]
    # low byte decides "yes" (truthy), then the high byte comparison decides ""
    assert ModbusStatic.crc_is_right(frame) == ""


@pytest.mark.parametrize(
    "value, expected",
    [(258, (1, 2)), (-1, (255, 255)), (0x12345, (0x23, 0x45)), (1 << 90 | 0x0102, (1, 2)), (True, (0, 1))],
)
def test_split_register(value, expected):
    assert ModbusStatic.split_register(value) == expected


@pytest.mark.parametrize(
    "high, low, expected",
    [(1, 2, 258), (1, 256, 512), (-1, 0, -256), (1 << 70, 1, (1 << 78) + 1), (1, 2.5, 258.5)],
)
def test_compound_register(high, low, expected):
    assert ModbusStatic.compound_register(high, low) == expected


def test_register_helper_errors():
    with pytest.raises(TypeError):
        ModbusStatic.split_register("1")
    with pytest.raises(TypeError):
        ModbusStatic.compound_register(1.0, 2)


def test_modbus_static_attributes_in_order():
    names = [n for n in vars(ModbusStatic) if not n.startswith("__")]
    assert names == [
        "FC_Read_Coils", "FC_Read_Input_Coils", "FC_Read_Registers", "FC_Read_Input_Registers",
        "FC_Write_Coil", "FC_Write_Register", "FC_Write_Registers", "Default_Timeout",
        "split_register", "compound_register", "calculate_crc", "crc_is_right",
        "decode_values", "encode_values",
        # the diagnostics sub-functions
        "DIAG_RETURN_QUERY_DATA", "DIAG_RESTART_COMMUNICATIONS_OPTION", "DIAG_RETURN_DIAGNOSTIC_REGISTER",
        "DIAG_CHANGE_ASCII_INPUT_DELIMITER", "DIAG_FORCE_LISTEN_ONLY_MODE",
        "DIAG_CLEAR_COUNTERS_AND_DIAGNOSTIC_REGISTER",
        "DIAG_RETURN_BUS_MESSAGE_COUNT", "DIAG_RETURN_BUS_COMMUNICATION_ERROR_COUNT",
        "DIAG_RETURN_BUS_EXCEPTION_ERROR_COUNT", "DIAG_RETURN_SERVER_MESSAGE_COUNT",
        "DIAG_RETURN_SERVER_NO_RESPONSE_COUNT", "DIAG_RETURN_SERVER_NAK_COUNT", "DIAG_RETURN_SERVER_BUSY_COUNT",
        "DIAG_RETURN_BUS_CHARACTER_OVERRUN_COUNT", "DIAG_CLEAR_OVERRUN_COUNTER_AND_FLAG",
    ]
    assert [getattr(ModbusStatic, n) for n in names[:8]] == [1, 2, 3, 4, 5, 6, 16, 1]
    for n in names[8:14]:
        assert isinstance(vars(ModbusStatic)[n], staticmethod)
    assert ModbusStatic().calculate_crc(b"") == (255, 255)


def test_byte_array():
    assert brel_modbus._byte_array(b"\x01\xff") == array.array("B", [1, 255])
    assert brel_modbus._byte_array(iterable=(1, 2)) == array.array("B", [1, 2])
    with pytest.raises(OverflowError):
        brel_modbus._byte_array([1, 2, 256])
    with pytest.raises(OverflowError):
        brel_modbus._byte_array([-1])


def test_byte_array_looks_up_array_at_call_time(monkeypatch):
    class FakeArrayModule:
        @staticmethod
        def array(code, items):
            return ("fake", code, list(items))

    monkeypatch.setattr(brel_modbus, "array", FakeArrayModule)
    assert brel_modbus._byte_array([7]) == ("fake", "B", [7])


def test_slave_exception():
    e = SlaveException(1, 0x83, 2)
    assert (e.station, e.function_code, e.error_code) == (1, 3, 2)
    assert e.args == (1, 0x83, 2)
    text = "modbus slave reports an exception. station: 1, function code: 3, error code: 2"
    assert str(e) == repr(e) == text
    assert isinstance(e, Exception)
    k = SlaveException(station=1, function_code=0x83, error_code=2)
    assert k.args == () and str(k) == text
    assert SlaveException(1, 0x1FF, 0).function_code == 0x7F
    assert SlaveException(1, 3, 0).function_code == 3
    e.station = 9
    assert "station: 9," in str(e)
    e.error_code = 2.9
    assert str(e).endswith("error code: 2")
    e.error_code = "x"
    with pytest.raises(TypeError):
        str(e)
    with pytest.raises(TypeError):
        SlaveException(1, "x", 2)
    with pytest.raises(SlaveException):
        raise SlaveException(1, 0x81, 1)
    assert SlaveException.__repr__ is SlaveException.__str__
    assert SlaveException.__bases__ == (Exception,)
