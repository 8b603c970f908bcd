"""ModbusTCPMaster's data model end to end against a pymodbus TCP server with all four
tables and an identity, cross-checked with pymodbus's own client."""

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster

INPUTS = [(37 * i + 11) & 0xFFFF for i in range(50)]
DISCRETE = [i % 3 == 0 for i in range(30)]
IDENTITY = {0: "brel", 1: "BM-1", 2: "1.2", 3: "https://example.invalid", 4: "meter", 5: "M", 6: "test",
            0x80: b"a" * 100, 0x81: b"b" * 100, 0x82: b"c" * 40}   # more than one answer holds


@pytest.fixture(scope="module")
def server():
    from pymodbus import FramerType, ModbusDeviceIdentification
    from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusServerContext
    from pymodbus.server import ModbusTcpServer
    from simulator import LoopServer, wait_until_accepting

    # The datastore adds 1 to every protocol address: blocks start at 1.
    device = ModbusDeviceContext(hr=ModbusSequentialDataBlock(1, [0] * 200), ir=ModbusSequentialDataBlock(1, INPUTS),
                                 co=ModbusSequentialDataBlock(1, [False] * 64),
                                 di=ModbusSequentialDataBlock(1, DISCRETE))
    context = ModbusServerContext(devices=device, single=True)
    identity = ModbusDeviceIdentification(info=IDENTITY)
    running = LoopServer(lambda: ModbusTcpServer(context, framer=FramerType.SOCKET, identity=identity,
                                                 address=("127.0.0.1", 0))).start()
    wait_until_accepting(running.tcp_port)
    yield running
    running.stop()


@pytest.fixture
def peers(server):
    from pymodbus.client import ModbusTcpClient

    client = ModbusTcpClient("127.0.0.1", port=server.tcp_port, timeout=2)
    assert client.connect()
    with ModbusTCPMaster("127.0.0.1", server.tcp_port, 2.0) as master:
        yield master, client
    client.close()


@pytest.mark.parametrize("word_order", ["big", "little"])
@pytest.mark.parametrize("kind, datatype, value", [
    ("float", "FLOAT32", 21.5), ("int32", "INT32", -123456), ("uint32", "UINT32", 3_000_000_000),
    ("multi_float", "FLOAT32", [0.5, -1.25, 3e38]), ("multi_int32", "INT32", [-1, 2**31 - 1]),
    ("multi_uint32", "UINT32", [0, 2**32 - 1, 65536]),
])
def test_32_bit_members_agree_with_pymodbus(peers, kind, datatype, value, word_order):
    master, client = peers
    dtype, endian = client.DATATYPE[datatype], ">" if word_order == "big" else word_order   # any other: low first
    count = (len(value),) if isinstance(value, list) else ()
    registers = 2 * (count or (1,))[0]
    getattr(master, "write_" + kind)(40, value, endian)
    written = client.read_holding_registers(40, count=registers).registers
    assert client.convert_from_registers(written, dtype, word_order=word_order) == pytest.approx(value, rel=1e-7)
    client.write_registers(50, client.convert_to_registers(value, dtype, word_order=word_order))
    assert getattr(master, "read_" + kind)(50, *count, endian) == client.convert_from_registers(
        client.read_holding_registers(50, count=registers).registers, dtype, word_order=word_order)


@pytest.mark.parametrize("format, order, datatype, word_order, value", [
    ("d", "CDAB", "FLOAT64", "little", 1 / 3), ("q", "ABCD", "INT64", "big", -(2**40) - 5),
    ("Q", "CDAB", "UINT64", "little", 2**64 - 2), ("h", "ABCD", "INT16", "big", -2),
])
def test_read_values_and_write_values_agree_with_pymodbus(peers, format, order, datatype, word_order, value):
    master, client = peers
    dtype = client.DATATYPE[datatype]
    master.write_values(80, format, [value], order)
    written = client.read_holding_registers(80, count=dtype.value[1]).registers
    assert client.convert_from_registers(written, dtype, word_order=word_order) == value
    assert master.read_values(80, format, order) == [value]
    if format == "h":
        assert master.read_int16(80) == value and master.read_uint16(80) == value & 0xFFFF


def test_inputs_and_the_new_codes_agree_with_pymodbus(peers):
    master, client = peers
    assert master.read_input_registers(0, 50) == client.read_input_registers(0, count=50).registers == INPUTS
    assert master.read_input_register(49) == INPUTS[49]
    assert master.read_values(2, "2H", "ABCD", 4) == INPUTS[2:4]
    assert master.read_input_coils(0, 30) == client.read_discrete_inputs(0, count=30).bits[:30] == DISCRETE
    pattern = [i % 5 in (0, 3) for i in range(21)]
    master.write_coils(3, pattern)
    assert client.read_coils(3, count=21).bits[:21] == pattern and master.read_coil(6) is True
    master.write_single_register(60, -1)
    assert client.read_holding_registers(60, count=1).registers == [0xFFFF]
    client.write_register(60, 0x1234)
    master.mask_write_register(60, 0x00F2, 0x0025)
    masked = (0x1234 & 0x00F2) | (0x0025 & ~0x00F2 & 0xFFFF)
    assert client.read_holding_registers(60, count=1).registers == [masked]
    assert master.read_write_registers(60, 3, 61, [7, 70000]) == [masked, 7, 70000 & 0xFFFF]
    assert client.read_holding_registers(61, count=2).registers == [7, 70000 & 0xFFFF]
    with pytest.raises(brel_modbus.TCPSlaveException) as info:
        master.read_input_registers(45, 10)                      # beyond the table
    assert (info.value.function_code, info.value.error_code) == (4, 2)


def test_device_identification(peers):
    master, client = peers
    basic = client.read_device_information(read_code=1).information
    assert master.read_device_identification() == basic == {i: IDENTITY[i].encode() for i in range(3)}
    before = master._ModbusTCPMaster__head_checker
    extended = master.read_device_identification(3)
    assert extended == {i: v if isinstance(v, bytes) else v.encode() for i, v in IDENTITY.items()}
    assert master._ModbusTCPMaster__head_checker - before > 1   # the slave answered in pages
    assert master.read_device_identification(4, 0x81) == {0x81: IDENTITY[0x81]}
