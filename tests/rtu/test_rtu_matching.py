"""Master: every answer belongs to its request (station, function code, byte count,
echo), exception answers count only with a right CRC, a broadcast returns once written,
and addresses and counts are refused outside their 16-bit fields, never wrapped."""

import pytest

import brel_modbus
from brel_modbus import SlaveException

from rtu_support import frame

MISMATCH = "modbus: answer from slave with station {} does not match the request"


@pytest.mark.parametrize("call, answer", [
    (("read_registers", 1, 0, 2), frame("02 03 04 00 0A 01 02")),     # another station
    (("read_registers", 1, 0, 2), frame("01 04 04 00 0A 01 02")),     # another function
    (("read_registers", 1, 0, 1), frame("01 03 04 00 01 00 02")),     # more registers than asked
    (("read_registers", 1, 0, 2), frame("01 03 03 00 0A 01")),        # odd: would decode a CRC byte
    (("read_registers", 1, 0, 200), frame("01 03 00")),               # none of 200
    (("read_register", 1, 0), frame("01 03 00")),
    (("read_input_registers", 9, 3, 2), frame("09 03 04 00 07 FF FF")),
    (("read_float", 1, 0), frame("01 03 02 00 07")),
    (("read_coils", 1, 0, 20), frame("01 01 01 81")),                 # 1 byte for 20 coils
    (("read_coils", 1, 0, 3), frame("01 01 02 FF FF")),
    (("read_coils", 1, 0, 8), frame("01 01 00")),
    (("read_input_coils", 1, 0, 8), frame("01 01 01 FF")),
    (("read_coil", 1, 7), frame("07 01 01 01")),
    (("read_coils", True, 0, 8), frame("02 01 01 00")),               # the station as the caller gave it
    (("write_register", 1, 1, 3), frame("09 06 00 01 00 03")),
    (("write_register", 1, 1, 3), frame("01 06 12 34 00 03")),
    (("write_register", 1, 1, 3), frame("01 06 00 01 00 04")),
    (("write_register", 1, 1, 3), frame("01 10 00 01 00 03")),
    (("write_registers", 1, 1, [1, 2]), frame("01 10 00 01 00 01")),
    (("write_coil", 1, 3, True), frame("01 05 00 03 00 00")),
    (("write_float", 1, 0, 1.0), frame("01 10 00 00 00 01")),
    (("read_registers", 1, 0, 2), frame("02 83 02")),                 # a refusal by another station
    (("read_registers", 1, 0, 2), frame("01 84 02")),                 # ... or of another function
    (("write_coil", 1, 3, True), frame("01 86 02")),
])
def test_answer_must_match_its_request(master, channel, road, call, answer):
    name, *args = call
    channel.answer(answer)
    with pytest.raises(ValueError) as info:
        getattr(master, name)(*args)
    assert type(info.value) is brel_modbus.MismatchError
    assert str(info.value) == MISMATCH.format(args[0])
    assert master.last_feedback_received == answer


def test_fixmaster_answers_are_matched(channels):
    fixed = brel_modbus.FixMaster(5, "/dev/ttyFAKE0", 9600, 1)
    channels[0].answer(frame("06 03 02 00 01"), frame("05 03 02 00 01"))
    with pytest.raises(ValueError, match=f"^{MISMATCH.format(5)}$"):
        fixed.read_register(0)
    assert fixed.read_register(0) == 1


@pytest.mark.parametrize("call, code", [
    (("read_registers", 1, 0, 2), 0x83), (("read_input_coils", 1, 0, 8), 0x82), (("write_register", 1, 1, 3), 0x86),
    (("write_registers", 1, 1, [3]), 0x90),
])
def test_exception_answer_counts_only_with_a_right_crc(master, channel, road, call, code):
    name, *args = call
    noise = frame(f"01 {code:02X} 02")[:3] + b"\x00\x00"
    channel.answer(noise, frame(f"01 {code:02X} 02"))
    with pytest.raises(ValueError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == "modbus: message from slave with station 1 has crc error"
    with pytest.raises(SlaveException) as info:
        getattr(master, name)(*args)
    assert info.value.args == (1, code, 2)


def test_private_steps_called_directly_keep_their_behaviour(master, channel):
    # No request to compare with: the answer's station and function are not looked at.
    channel.answer(frame("07 04 02 00 05"), frame("07 83 02"), frame("07 83 02")[:3] + b"\x00\x00")
    master.send_read_registers_request(1, 0, 1, 3)
    assert bytes(master._Master__feedback_assistant(1, 7, True)) == frame("07 04 02 00 05")
    master.send_read_registers_request(1, 0, 1, 3)
    with pytest.raises(SlaveException) as info:
        master._Master__feedback_assistant(1, 5)
    assert info.value.args == (1, 0x83, 2)
    master.send_read_registers_request(1, 0, 1, 3)
    with pytest.raises(ValueError, match="has crc error"):   # but noise is never a refusal
        master._Master__feedback_assistant(1, 5)


@pytest.mark.parametrize("call, body", [
    (("write_register", 0, 1, 5), "00 06 00 01 00 05"),
    (("write_registers", 0, 1, [1, 2]), "00 10 00 01 00 02 04 00 01 00 02"),
    (("write_coil", 0, 3, True), "00 05 00 03 FF 00"),
    (("write_float", 0, 0, 1.0), "00 10 00 00 00 02 04 3F 80 00 00"),
    (("write_multi_int32", 0, 4, [-1]), "00 10 00 04 00 02 04 FF FF FF FF"),
    (("write_int16", 0, 4, -1), "00 06 00 04 FF FF"),
])
def test_broadcast_returns_once_written(master, channel, road, call, body):
    name, *args = call
    channel.answer(b"")
    assert getattr(master, name)(*args) is None
    assert channel.exchange() == [("in_waiting",), ("write", frame(body))]
    assert master.last_command_sent == frame(body) and master.last_feedback_received == b""


def test_fixmaster_broadcast(channels):
    with brel_modbus.FixMaster(0, "/dev/ttyFAKE0", 9600, 1) as everyone:
        everyone.write_coil(3, False)
        everyone.write_uint32(8, 7)
        assert [c[0] for c in channels[0].exchange()] == ["in_waiting", "write"] * 2


@pytest.mark.parametrize("call, what, value", [
    (("write_register", 1, 65636, 7), "address", 65636),       # would have written register 100
    (("write_register", 1, -1, 7), "address", -1),
    (("write_registers", 1, 65536, [1]), "address", 65536),
    (("write_coil", 1, 2**70, True), "address", 2**70),
    (("read_registers", 1, 0, 65536), "count", 65536),
    (("read_registers", 1, -1, 1), "address", -1),
    (("read_input_registers", 1, 70000, 1), "address", 70000),
    (("read_coils", 1, 0, -5), "count", -5),
    (("read_input_coils", 1, 65536, 1), "address", 65536),
    (("read_coil", 1, 65536), "address", 65536),
    (("send_read_registers_request", 1, 0, 2**16, 3), "count", 65536),
    (("send_write_coil_request", 1, -3, True), "address", -3),
    (("read_float", 1, 65536), "address", 65536),
    (("read_multi_float", 1, 0, 40000), "count", 80000),
    (("write_multi_float", 1, -2, [1.0]), "address", -2),
])
def test_fields_out_of_range_are_refused(master, channel, road, call, what, value):
    name, *args = call
    with pytest.raises(OverflowError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"modbus: {what} out of range 0 to 65535: {value}"
    assert channel.calls == []


# ---- integer-like fields: judged by their value, never wrapped ------------------------------

class Index:
    """An integer-like object that is not an int (as numpy's integers are)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __str__(self):
        return str(self.value)


def integer_kinds():
    kinds = [Index]
    try:
        import numpy
    except ImportError:   # the range tests then run with Index alone
        return kinds
    return [*kinds, numpy.int64, numpy.int32]


X = object()   # where the integer-like argument goes

INTEGER_LIKE_CALLS = [
    (("write_register", 1, X, 5), "address"),
    (("write_registers", 1, X, [1]), "address"),
    (("write_coil", 1, X, True), "address"),
    (("write_float", 1, X, 1.0), "address"),
    (("write_uint32", 1, X, 7), "address"),
    (("write_multi_float", 1, X, [1.0]), "address"),
    (("read_coils", 1, X, 1), "address"),
    (("read_input_coils", 1, X, 1), "address"),
    (("read_coil", 1, X), "address"),
    (("send_write_register_request", 1, X, 5), "address"),
    (("send_read_coils_request", 1, X, 1), "address"),
    (("send_write_coil_request", 1, X, False), "address"),
]


@pytest.mark.parametrize("kind", integer_kinds())
@pytest.mark.parametrize("value", [70000, -1])
@pytest.mark.parametrize("call, what", INTEGER_LIKE_CALLS)
def test_integer_like_fields_out_of_range_are_refused(master, channel, road, call, what, kind, value):
    # Before: numpy.int64(70000) wrote register 4464 and numpy.int64(-1) register 65535.
    name, *args = call
    args = [kind(value) if a is X else a for a in args]
    with pytest.raises(OverflowError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"modbus: {what} out of range 0 to 65535: {value}"
    assert channel.calls == []


@pytest.mark.parametrize("kind", integer_kinds()[1:])   # numpy's: ModbusStatic takes them
def test_integer_like_fields_within_range_go_out(master, channel, road, kind):
    master.send_write_register_request(1, kind(65535), 5)
    master.send_read_coils_request(1, kind(100), 2000)
    assert channel.writes == [frame("01 06 FF FF 00 05"), frame("01 01 00 64 07 D0")]


# ---- a read never writes -------------------------------------------------------------------

WRITING_CODES = [5, 6, 15, 16, 21, 22, 23]


@pytest.mark.parametrize("code", WRITING_CODES)
@pytest.mark.parametrize("call", [
    ("read_registers", 1, 100, 1),
    ("read_register", 1, 100),
    ("read_uint16", 1, 100),
    ("send_read_registers_request", 1, 100, 1),
])
def test_register_reads_refuse_codes_that_change_the_device(master, channel, road, call, code):
    name, *args = call
    with pytest.raises(ValueError) as info:
        getattr(master, name)(*args, code)
    assert str(info.value) == f"modbus: func_code {code} writes to the device; a read does not send it"
    assert channel.calls == []


@pytest.mark.parametrize("code", [1, 2, 65, 100])
def test_register_reads_send_other_codes_as_given(master, channel, road, code):
    master.send_read_registers_request(1, 100, 1, code)
    assert channel.writes == [frame(f"01 {code:02X} 00 64 00 01")]


@pytest.mark.parametrize("code", [*WRITING_CODES, 1, 2, 43])
def test_read_values_takes_only_the_register_read_codes(master, channel, code):
    # Before: read_values(1, 100, "H", func_code=6) sent 01 06 00 64 00 01 and set register 100.
    with pytest.raises(ValueError) as info:
        master.read_values(1, 100, "H", func_code=code)
    assert str(info.value) == f"modbus: func_code must be 3 or 4: {code}"
    assert channel.calls == []


@pytest.mark.parametrize("call", [
    ("read_registers", 100, 1, 6),
    ("send_read_registers_request", 100, 1, 16),
    ("read_values", 100, "H", "ABCD", 6),
])
def test_fixmaster_reads_never_write(channels, call):
    name, *args = call
    with brel_modbus.FixMaster(1, "/dev/ttyFAKE0", 9600, 1) as fixed:
        with pytest.raises(ValueError):
            getattr(fixed, name)(*args)
    assert channels[0].writes == []
