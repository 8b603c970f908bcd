"""Typed values against the real pymodbus slave, cross-checked with pymodbus's own client:
what Master writes, pymodbus reads back, and the other way round, in both word orders."""

import math
import struct

import pytest

from rtu_support import STATION, TYPED_BASE


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


SAMPLES = {
    "float": ([10.0, 0.1, -1.5e-40, 3.4028234663852886e38, -0.0, 123456.789], f32),
    "int32": ([-2, 2**31 - 1, -2**31, 0x12345678, 65536, -65537], int),
    "uint32": ([4294967294, 0, 65538, 0x12345678, 2**32 - 1, 1], int),
}
WORD_ORDER = {">": "big", "<": "little"}


@pytest.fixture
def peer(slave, rtu):
    """pymodbus's own client on the same slave (the pseudo-terminal is shared in turn:
    neither side reads while the other one works)."""
    from pymodbus import FramerType
    from pymodbus.client import ModbusSerialClient, ModbusTcpClient

    if slave.kind in ("socket", "rtu+tcp"):
        client = ModbusTcpClient("127.0.0.1", port=slave.tcp_port, framer=FramerType.RTU, timeout=2, retries=0)
    else:
        client = ModbusSerialClient(slave.port, framer=FramerType.RTU, baudrate=19200, timeout=2, retries=0)
    assert client.connect()
    try:
        yield client
    finally:
        client.close()


def peer_read(peer, address, count):
    answer = peer.read_holding_registers(address, count=count, device_id=STATION)
    assert not answer.isError(), answer
    return answer.registers


def peer_write(peer, address, registers):
    answer = peer.write_registers(address, registers, device_id=STATION)
    assert not answer.isError(), answer


def same(a, b):
    return a == b and math.copysign(1, a) == math.copysign(1, b) if isinstance(a, float) else a == b


@pytest.mark.parametrize("endian", [">", "<"])
@pytest.mark.parametrize("kind", ["float", "int32", "uint32"])
def test_single_values_both_ways(rtu, peer, kind, endian):
    values, expect = SAMPLES[kind]
    data_type = getattr(peer.DATATYPE, kind.upper() if kind != "float" else "FLOAT32")
    ours, theirs = TYPED_BASE, TYPED_BASE + 2
    for value in values:
        getattr(rtu, f"write_{kind}")(STATION, ours, value, endian)
        seen = peer.convert_from_registers(peer_read(peer, ours, 2), data_type, word_order=WORD_ORDER[endian])
        assert same(seen, expect(value))
        assert same(getattr(rtu, f"read_{kind}")(STATION, ours, endian), expect(value))

        peer_write(peer, theirs, peer.convert_to_registers(value, data_type, word_order=WORD_ORDER[endian]))
        assert same(getattr(rtu, f"read_{kind}")(STATION, theirs, endian), expect(value))


@pytest.mark.parametrize("endian", [">", "<"])
@pytest.mark.parametrize("kind", ["float", "int32", "uint32"])
def test_multi_values_both_ways(rtu, peer, kind, endian):
    values, expect = SAMPLES[kind]
    values = values * 5                                           # 30 values, 60 registers
    data_type = getattr(peer.DATATYPE, kind.upper() if kind != "float" else "FLOAT32")
    ours, theirs = TYPED_BASE + 10, TYPED_BASE + 80
    getattr(rtu, f"write_multi_{kind}")(STATION, ours, values, endian)
    seen = peer.convert_from_registers(peer_read(peer, ours, 60), data_type, word_order=WORD_ORDER[endian])
    assert all(same(a, expect(b)) for a, b in zip(seen, values, strict=True))

    peer_write(peer, theirs, peer.convert_to_registers(list(reversed(values)), data_type,
                                                       word_order=WORD_ORDER[endian]))
    back = getattr(rtu, f"read_multi_{kind}")(STATION, theirs, 30, endian)
    assert all(same(a, expect(b)) for a, b in zip(back, reversed(values), strict=True))


@pytest.mark.parametrize("endian, registers", [(">", [0x1234, 0x5678]), ("<", [0x5678, 0x1234])])
def test_word_order_on_the_wire(rtu, peer, slave, endian, registers):
    rtu.write_uint32(STATION, TYPED_BASE + 150, 0x12345678, endian)
    assert peer_read(peer, TYPED_BASE + 150, 2) == registers
    assert slave.holding(TYPED_BASE + 150, 2) == registers
    rtu.write_float(STATION, TYPED_BASE + 152, 10.0, endian)
    assert peer_read(peer, TYPED_BASE + 152, 2) == ([0x4120, 0] if endian == ">" else [0, 0x4120])


def test_sixteen_bit_values(rtu, peer):
    rtu.write_int16(STATION, TYPED_BASE + 156, -2)
    rtu.write_uint16(STATION, TYPED_BASE + 157, 65535)
    assert peer_read(peer, TYPED_BASE + 156, 2) == [65534, 65535]
    assert rtu.read_int16(STATION, TYPED_BASE + 156) == -2
    assert rtu.read_uint16(STATION, TYPED_BASE + 157) == 65535
    peer_write(peer, TYPED_BASE + 158, peer.convert_to_registers(-32768, peer.DATATYPE.INT16))
    assert rtu.read_int16(STATION, TYPED_BASE + 158) == -32768
