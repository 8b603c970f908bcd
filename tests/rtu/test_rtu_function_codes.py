"""Master and FixMaster on codes 7, 8, 11, 12, 17, 20, 21 and 24 and raw requests, over the
scripted channel: the standard's own example frames, hostile answers, the arguments refused
before anything is written, how execute finds the length of an answer."""

import pytest

import brel_modbus
from brel_modbus import FixMaster, ModbusStatic, SlaveException

from rtu_support import frame

MISMATCH = "modbus: answer from slave with station 17 does not match the request"
TIMEOUT = "modbus: read from slave timeout"

# member, arguments after the station, request PDU, answer PDU, result: the examples of the
# Modbus application protocol's function code sections (17's data is the device's own).
EXAMPLES = {
    "exception status": ("read_exception_status", (), "07", "07 6D", 0x6D),
    "return query data": ("diagnostics", (0, b"\xA5\x37"), "08 0000 A537", "08 0000 A537", b"\xA5\x37"),
    "bus message count": ("diagnostics", (ModbusStatic.DIAG_RETURN_BUS_MESSAGE_COUNT,), "08 000B 0000",
                          "08 000B 0123", b"\x01\x23"),
    "event counter": ("get_comm_event_counter", (), "0B", "0B FFFF 0108", (0xFFFF, 0x108)),
    "event log": ("get_comm_event_log", (), "0C", "0C 08 0000 0108 0121 2000", (0, 0x108, 0x121, b"\x20\x00")),
    "server id": ("report_server_id", (), "11", "11 05 42 52 45 4C FF", b"BREL\xFF"),
    "empty server id": ("report_server_id", (), "11", "11 00", b""),
    "file records": ("read_file_record", ([(4, 1, 2), (3, 9, 2)],),
                     "14 0E 06 0004 0001 0002 06 0003 0009 0002", "14 0C 05 06 0DFE 0020 05 06 33CD 0040",
                     [[0x0DFE, 0x0020], [0x33CD, 0x0040]]),
    "write file record": ("write_file_record", ([(4, 7, [0x06AF, 0x04BE, 0x100D])],),
                          "15 0D 06 0004 0007 0003 06AF 04BE 100D", "15 0D 06 0004 0007 0003 06AF 04BE 100D", None),
    "fifo": ("read_fifo_queue", (0x04DE,), "18 04DE", "18 0006 0002 01B8 1284", [0x01B8, 0x1284]),
    "empty fifo": ("read_fifo_queue", (1,), "18 0001", "18 0002 0000", []),
    "raw, own length": ("execute", (0x41, b"\x00", 3), "41 00", "41 01 02 03", b"\x01\x02\x03"),
    "raw, public code": ("execute", (3, bytes.fromhex("006B0003")), "03 006B 0003", "03 06 022B 0000 0064",
                         bytes.fromhex("06022B00000064")),
    "raw, code 8": ("execute", (8, bytes.fromhex("0000A537")), "08 0000 A537", "08 0000 A537",
                    bytes.fromhex("0000A537")),
}


def pdu(text):
    return bytes.fromhex(text.replace(" ", ""))


def rtu(text, station=0x11):
    return frame(f"{station:02X}" + text.replace(" ", ""))


@pytest.mark.parametrize("name, args, request_pdu, answer_pdu, result", EXAMPLES.values(), ids=EXAMPLES)
def test_the_standards_examples(master, channel, name, args, request_pdu, answer_pdu, result):
    channel.answer(rtu(answer_pdu))
    assert getattr(master, name)(0x11, *args) == result
    assert channel.writes == [rtu(request_pdu)]
    assert master.last_command_sent == rtu(request_pdu)
    assert master.last_feedback_received == rtu(answer_pdu)
    assert channel.incoming == b""  # nothing of the answer left, nothing read beyond it


@pytest.mark.parametrize("name, args, request_pdu, answer_pdu, result", EXAMPLES.values(), ids=EXAMPLES)
def test_fixmaster_sends_the_same(channels, name, args, request_pdu, answer_pdu, result):
    fm = FixMaster(0x11, "/dev/ttyFAKE0", 9600, 1)
    channels[0].answer(rtu(answer_pdu))
    assert getattr(fm, name)(*args) == result
    assert channels[0].writes == [rtu(request_pdu)]


# ---- answers that do not belong --------------------------------------------------------------

@pytest.mark.parametrize("name, args, answer, error, text", [
    ("read_exception_status", (), rtu("07 6D", 0x12), ValueError, "does not match"),
    ("read_exception_status", (), rtu("03 6D"), ValueError, MISMATCH),
    ("read_exception_status", (), rtu("07 6D")[:-1], OSError, TIMEOUT),
    ("read_exception_status", (), rtu("07 6D")[:-1] + b"\x00", ValueError, "crc error"),
    ("diagnostics", (0, b"\xA5\x37"), rtu("08 0001 A537"), ValueError, MISMATCH),   # another sub-function
    ("diagnostics", (0, b"\xA5\x37"), rtu("08 0000 A538"), ValueError, MISMATCH),   # not the data sent
    ("diagnostics", (0, b"\xA5\x37"), rtu("08 0000 A5"), OSError, TIMEOUT),        # shorter than the request
    ("diagnostics", (2,), rtu("08 0003 0000"), ValueError, MISMATCH),
    ("get_comm_event_counter", (), rtu("0B FFFF 01"), OSError, TIMEOUT),
    ("get_comm_event_log", (), rtu("0C 04 0000 0108"), ValueError, MISMATCH),     # byte count below 6
    ("get_comm_event_log", (), rtu("0C 47 " + "00" * 71), ValueError, MISMATCH),   # 65 events
    ("get_comm_event_log", (), rtu("0C 08 0000 0108 0121 20"), OSError, TIMEOUT),
    ("report_server_id", (), rtu("11 05 42 52 45"), OSError, TIMEOUT),
    ("read_file_record", ([(4, 1, 2)],), rtu("14 06 05 07 0DFE 0020"), ValueError, MISMATCH),  # reference type 7
    ("read_file_record", ([(4, 1, 2)],), rtu("14 08 07 06 0DFE 0020 0000"), ValueError, MISMATCH),  # 3 registers
    ("read_file_record", ([(4, 1, 2), (3, 9, 2)],), rtu("14 06 05 06 0DFE 0020"), ValueError, MISMATCH),
    ("write_file_record", ([(4, 7, [1])],), rtu("15 09 06 0004 0007 0001 0002"), ValueError, MISMATCH),
    ("write_file_record", ([(4, 7, [1])],), rtu("15 09 06 0004 0007 0001"), OSError, TIMEOUT),
    ("read_fifo_queue", (0x04DE,), rtu("18 0006 0003 01B8 1284"), ValueError, MISMATCH),  # counts disagree
    ("read_fifo_queue", (0x04DE,), rtu("18 0042 0020" + "0001" * 32), ValueError, MISMATCH),  # 32 values
    ("read_fifo_queue", (0x04DE,), rtu("18 0006 0002 01B8"), OSError, TIMEOUT),
    ("execute", (0x41, b"", 3), rtu("42 01 02 03"), ValueError, MISMATCH),
    ("execute", (0x41, b"", 3), rtu("41 01 02"), OSError, TIMEOUT),
    ("execute", (3, b"\x00\x00\x00\x01"), rtu("03 02 00"), OSError, TIMEOUT),
])
def test_answers_that_do_not_belong(master, channel, name, args, answer, error, text):
    channel.answer(answer)
    with pytest.raises(error, match=text):
        getattr(master, name)(0x11, *args)
    assert master.last_feedback_received == answer[:len(master.last_feedback_received)] != b""


@pytest.mark.parametrize("name, args, code", [
    ("read_exception_status", (), 0x87),
    ("diagnostics", (4,), None),
    ("diagnostics", (1,), 0x88),
    ("get_comm_event_counter", (), 0x8B),
    ("get_comm_event_log", (), 0x8C),
    ("report_server_id", (), 0x91),
    ("read_file_record", ([(4, 1, 2)],), 0x94),
    ("write_file_record", ([(4, 1, [2])],), 0x95),
    ("read_fifo_queue", (5,), 0x98),
    ("execute", (0x41, b"\x00", 1), 0xC1),
])
def test_exception_answers_raise_slave_exception(master, channel, name, args, code):
    if code is None:  # force listen only mode: nothing is awaited, so nothing is refused
        channel.answer(rtu("88 01"))
        assert master.diagnostics(0x11, *args) == b""
        assert channel.reads == [] and master.last_feedback_received == b""
        return
    channel.answer(rtu(f"{code:02X} 02"))
    with pytest.raises(SlaveException) as caught:
        getattr(master, name)(0x11, *args)
    assert caught.value.args == (0x11, code, 2)


def test_broadcast_reads_nothing(master, channel):
    assert master.write_file_record(0, [(1, 2, [3])]) is None
    assert master.execute(0, 0x41, b"\x01", 1) == b""
    assert master.read_exception_status(0) is None
    assert channel.reads == [] and len(channel.writes) == 3


# ---- how execute finds the length of an answer ----------------------------------------------

def test_a_callable_length_sees_the_answer_so_far(master, channel):
    seen = []

    def length(so_far):
        seen.append(so_far)
        return 1 if len(so_far) < 2 else 2 + so_far[1] - len(so_far)

    channel.answer(rtu("41 04 AA BB CC DD") + b"\x11")  # a stray byte after the frame
    assert master.execute(0x11, 0x41, b"\x00", length) == bytes.fromhex("04AABBCCDD")
    assert seen == [b"\x41", b"\x41\x04", bytes.fromhex("4104AABBCCDD")]
    assert bytes(channel.incoming) == b"\x11"


@pytest.mark.parametrize("returned, error, text", [
    ("1", TypeError, "length\\(\\) must return an int, not str"),
    (-1, ValueError, "length\\(\\) must return an int from 0 to 253: -1"),
    (254, ValueError, "from 0 to 253: 254"),
    (253, ValueError, MISMATCH),  # beyond the longest PDU
])
def test_a_callable_length_that_misleads(master, channel, returned, error, text):
    channel.answer(rtu("41 04 AA BB CC DD"))
    with pytest.raises(error, match=text):
        master.execute(0x11, 0x41, b"", lambda so_far: returned)


def test_an_answer_shorter_than_five_bytes_is_refused(master, channel):
    channel.answer(rtu("41") + rtu("41"))
    with pytest.raises(ValueError, match=MISMATCH):
        master.execute(0x11, 0x41, b"", lambda so_far: 0)


def test_retries_send_a_raw_request_again(master, channel):
    master.retries = 1
    good = rtu("41 01 02 03")
    channel.answer(good[:-1] + bytes((good[-1] ^ 1,)), good)
    assert master.execute(0x11, 0x41, b"", 3) == b"\x01\x02\x03"
    assert channel.writes == [rtu("41")] * 2


# ---- arguments refused before anything is written -------------------------------------------

@pytest.mark.parametrize("name, args, error, text", [
    ("read_exception_status", (256,), OverflowError, "station out of range 0 to 255"),
    ("diagnostics", (1, 0x10000), OverflowError, "sub_function out of range 0 to 65535"),
    ("diagnostics", (1, 0, "a5"), TypeError, "data"),
    ("diagnostics", (1, 0, bytes(251)), ValueError, "data must hold at most 250 bytes: 251"),
    ("diagnostics", (1, 0, bytearray(2)), TypeError, "data"),
    ("read_file_record", (1, []), ValueError, "at least one request"),
    ("read_file_record", (1, 5), TypeError, "values must be a sequence"),
    ("read_file_record", (1, [[4, 1, 2]]), TypeError, "requests\\[0\\] must be a tuple of 3 items, not list"),
    ("read_file_record", (1, [(4, 1)]), TypeError, "tuple of 3 items"),
    ("read_file_record", (1, [(4.0, 1, 2)]), TypeError, "requests\\[0\\]\\[0\\] must be an int, not float"),
    ("read_file_record", (1, [(0x10000, 1, 2)]), OverflowError, "file out of range 0 to 65535"),
    ("read_file_record", (1, [(1, 10000, 2)]), ValueError, "record must be from 0 to 9999: 10000"),
    ("read_file_record", (1, [(1, 1, 0)]), ValueError, "length must be from 1 to 121: 0"),
    ("read_file_record", (1, [(1, 1, 122)]), ValueError, "length must be from 1 to 121: 122"),
    ("read_file_record", (1, [(1, 1, "2")]), TypeError, "requests\\[0\\]\\[2\\] must be an int"),
    ("read_file_record", (1, [(1, 1, 1)] * 36), ValueError, "the requests take 252 bytes, at most 245"),
    ("read_file_record", (1, [(1, 1, 61), (1, 2, 60)]), ValueError, "take 246 bytes, at most 245"),
    ("write_file_record", (1, [(1, 1, [])]), ValueError, "length must be from 1 to 122: 0"),
    ("write_file_record", (1, [(1, 1, [0x10000])]), OverflowError, "value out of range 0 to 65535"),
    ("write_file_record", (1, [(1, 1, [1.5])]), TypeError, "values must be ints, not float"),
    ("write_file_record", (1, [(1, 1, [0] * 61), (1, 2, [0] * 61)]), ValueError, "take 258 bytes, at most 251"),
    ("read_fifo_queue", (1, -1), OverflowError, "address out of range 0 to 65535"),
    ("execute", (1, 0, b""), ValueError, "function_code must be from 1 to 127: 0"),
    ("execute", (1, 0x81, b""), ValueError, "function_code must be from 1 to 127: 129"),
    ("execute", (1, 256, b""), OverflowError, "function_code out of range 0 to 255"),
    ("execute", (1, 3, bytes(253)), ValueError, "data must hold at most 252 bytes: 253"),
    ("execute", (1, 0x41, b""), ValueError, "the answer length of function code 65 is not known: pass length"),
    ("execute", (1, 0x2B, b"\x0D"), ValueError, "function code 43 is not known"),
    ("execute", (1, 0x41, b"", 0), ValueError, "length must be from 1 on the serial line"),
    ("execute", (1, 0x41, b"", 253), OverflowError, "length out of range 0 to 252"),
    ("execute", (1, 0x41, b"", 2.0), TypeError, "length must be None, an int or a callable, not float"),
])
def test_arguments_refused_before_sending(master, channel, name, args, error, text):
    with pytest.raises(error, match=text):
        getattr(master, name)(*args)
    assert channel.writes == []


def test_a_file_read_of_the_largest_answer_is_sent(master, channel):
    # 121 registers: 2 + 242 bytes of answer data, the most one answer carries for one record
    channel.answer(rtu("14 F4 F3 06" + "0102" * 121))
    assert master.read_file_record(0x11, [(1, 9999, 121)]) == [[0x0102] * 121]
    assert channel.writes == [rtu("14 07 06 0001 270F 0079")]


def test_diagnostic_constants_are_the_standards():
    assert [getattr(ModbusStatic, n) for n in vars(ModbusStatic) if n.startswith("DIAG_")] == [
        0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20]
    assert brel_modbus.ModbusStatic.DIAG_CLEAR_OVERRUN_COUNTER_AND_FLAG == 0x14
