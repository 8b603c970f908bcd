"""Master on codes 7, 8, 11, 12, 17, 20, 21 and 24 and raw requests against pymodbus's RTU
slave, through socket:// and over a pseudo-terminal pair."""

import pytest

from brel_modbus import ModbusStatic, SlaveException
from simulator import IDENTITY

from rtu_support import STATION

SERVER_ID = "-".join(IDENTITY[k] for k in (0, 1, 2)).encode() + b"\xFF"  # what pymodbus reports: run on
DUMMY_RECORD = [int.from_bytes(b"SERVER DUMMY RECORD."[i:i + 2], "big") for i in range(0, 20, 2)]


@pytest.mark.parametrize("name, args, result", [
    ("read_exception_status", (), 0),
    ("diagnostics", (ModbusStatic.DIAG_RETURN_QUERY_DATA, b"\x12\x34\x56"), b"\x12\x34\x56"),
    ("diagnostics", (ModbusStatic.DIAG_RETURN_DIAGNOSTIC_REGISTER,), b"\x00\x00"),
    ("diagnostics", (ModbusStatic.DIAG_CLEAR_COUNTERS_AND_DIAGNOSTIC_REGISTER,), b"\x00\x00"),
    ("get_comm_event_counter", (), (0, 0)),
    ("get_comm_event_log", (), (0, 0, 0, b"")),
    ("report_server_id", (), SERVER_ID),
    # pymodbus serves every record as the same 10 registers, whatever was asked: ask for 10
    ("read_file_record", ([(1, 2, 10), (3, 9999, 10)],), [DUMMY_RECORD, DUMMY_RECORD]),
    ("write_file_record", ([(1, 2, [0x1234, 0x5678]), (2, 0, [1])],), None),
    ("execute", (17, b""), bytes((len(SERVER_ID),)) + SERVER_ID),
])
def test_codes_against_the_slave(rtu, name, args, result):
    assert getattr(rtu, name)(STATION, *args) == result
    assert rtu.last_feedback_received[:2] == bytes((STATION, rtu.last_command_sent[1]))


def test_a_raw_read_is_the_registers(rtu, slave):
    registers = slave.holding(3, 2)
    answer = rtu.execute(STATION, ModbusStatic.FC_Read_Registers, b"\x00\x03\x00\x02")
    assert answer == bytes((4,)) + b"".join(r.to_bytes(2, "big") for r in registers)


def test_fifo_answer_of_pymodbus_is_refused(rtu):
    # pymodbus 3.11 puts the byte count of the values where the standard has their number
    # (its 4 values answer with FIFO count 8): the master says the answer does not match.
    with pytest.raises(ValueError, match="does not match the request"):
        rtu.read_fifo_queue(STATION, 0)
    assert rtu.read_exception_status(STATION) == 0  # and the line is sound again


def test_a_refusal_comes_as_slave_exception(rtu):
    with pytest.raises(SlaveException) as caught:
        rtu.execute(STATION, ModbusStatic.FC_Read_Registers, b"\xFF\xF0\x00\x7D")
    assert caught.value.args[:2] == (STATION, 0x83)
