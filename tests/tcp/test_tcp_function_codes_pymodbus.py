"""ModbusTCPMaster on codes 8, 17, 20, 21 and 24 and raw requests against pymodbus's TCP server."""

import pytest

from brel_modbus import ModbusStatic, ModbusTCPMaster, TCPSlaveException
from simulator import IDENTITY

SERVER_ID = "-".join(IDENTITY[k] for k in (0, 1, 2)).encode() + b"\xFF"
DUMMY_RECORD = [int.from_bytes(b"SERVER DUMMY RECORD."[i:i + 2], "big") for i in range(0, 20, 2)]


@pytest.fixture
def plc(pymodbus_server):
    with ModbusTCPMaster("127.0.0.1", pymodbus_server.port, 2.0) as master:
        yield master


@pytest.mark.parametrize("name, args, result", [
    ("diagnostics", (ModbusStatic.DIAG_RETURN_QUERY_DATA, b"\xA5\x37"), b"\xA5\x37"),
    ("diagnostics", (ModbusStatic.DIAG_RETURN_QUERY_DATA, bytes(range(200))), bytes(range(200))),
    ("diagnostics", (ModbusStatic.DIAG_RETURN_BUS_MESSAGE_COUNT,), b"\x00\x00"),
    ("report_server_id", (), SERVER_ID),
    # pymodbus serves every record as the same 10 registers, whatever was asked: ask for 10
    ("read_file_record", ([(4, 1, 10)],), [DUMMY_RECORD]),
    ("write_file_record", ([(4, 7, [0x06AF, 0x04BE, 0x100D])],), None),
    ("execute", (17, b""), bytes((len(SERVER_ID),)) + SERVER_ID),
    ("execute", (ModbusStatic.FC_Read_Registers, b"\x00\x00\x00\x02", 5), b"\x04\x00\x64\x00\x65"),
    ("execute", (ModbusStatic.FC_Read_Registers, b"\x00\x01\x00\x01"), b"\x02\x00\x65"),
])
def test_codes_against_pymodbus(plc, name, args, result):
    assert getattr(plc, name)(*args) == result


def test_fifo_answer_of_pymodbus_is_refused(plc):
    # pymodbus 3.11 puts the byte count of the values where the standard has their number.
    with pytest.raises(AssertionError, match="Feedback for reading the FIFO queue invalid"):
        plc.read_fifo_queue(0)


def test_a_raw_refusal(plc):
    with pytest.raises(TCPSlaveException) as caught:
        plc.execute(ModbusStatic.FC_Read_Registers, b"\x00\x00\x00\x00")
    assert caught.value.args == (1, 0x83, 3)
