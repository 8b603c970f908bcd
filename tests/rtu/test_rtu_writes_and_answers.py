"""Master: register and coil writes, and the validation of every answer."""

import array

import pytest

import brel_modbus
from brel_modbus import Master, SlaveException

from rtu_support import frame


def hexes(*frames):
    return [bytes.fromhex(f) for f in frames]


# ---- request bytes -----------------------------------------------------------------------------

@pytest.mark.parametrize("body, crc", [
    ("01 06 00 01 00 03", "98 0B"), ("01 10 00 01 00 02 04 00 0A 01 02", "92 30"),
    ("01 10 00 10 00 00 00", "0D 90"), ("01 05 00 03 FF 00", "7C 3A"), ("01 05 00 03 00 00", "3D CA"),
    ("01 10 00 01 00 02", "10 08"),
])
def test_reference_crc(body, crc):
    assert frame(body) == bytes.fromhex(body + crc)


@pytest.mark.parametrize("call, body", [
    (("write_register", 1, 1, 3), "01 06 00 01 00 03"),
    (("write_register", 1, 1, -1), "01 06 00 01 FF FF"),
    (("write_register", 1, 1, 65536 + 5), "01 06 00 01 00 05"),
    (("write_register", 2, 0xFFFF, 2**80 + 0x1234), "02 06 FF FF 12 34"),
    (("write_registers", 1, 1, [10, 258]), "01 10 00 01 00 02 04 00 0A 01 02"),
    (("write_registers", 1, 16, []), "01 10 00 10 00 00 00"),
    (("write_registers", 7, 16, (1, -2, 2**64 + 3)), "07 10 00 10 00 03 06 00 01 FF FE 00 03"),
    (("write_coil", 1, 3, True), "01 05 00 03 FF 00"),
    (("write_coil", 1, 3, 0), "01 05 00 03 00 00"),
    (("write_coil", 1, 3, None), "01 05 00 03 00 00"),
    (("write_coil", 1, 3, "x"), "01 05 00 03 FF 00"),
    (("write_coil", 255, 0xFFFF, [0]), "FF 05 FF FF FF 00"),
])
def test_write_request_bytes(master, channel, road, call, body):
    name, *args = call
    request = frame(body)
    answer = frame(request[:6].hex())
    channel.answer(answer)
    assert getattr(master, name)(*args) is None
    assert channel.exchange() == [("in_waiting",), ("write", request), ("read", 5), ("read", 3)]
    assert master.last_command_sent == request and master.last_feedback_received == answer
    assert channel.written_types == [(array.array, "B")]


@pytest.mark.parametrize("name", ["send_write_register_request", "send_write_registers_request",
                                  "send_write_coil_request"])
def test_senders_write_and_read_nothing(master, channel, name):
    value = [7] if "registers" in name else 7
    assert getattr(master, name)(2, 3, value) is None
    assert [c[0] for c in channel.calls] == ["in_waiting", "write"]
    assert master.MessageLastReceived == b""


def test_write_registers_limit(master, channel, road):
    channel.answer(frame("01 10 00 00 00 7F"))
    master.write_registers(1, 0, list(range(127)))
    (sent,) = channel.writes
    assert len(sent) == 263 and sent[4:7] == b"\x00\x7f\xfe" and sent[-4:-2] == b"\x00\x7e"
    channel.calls.clear()
    with pytest.raises(ValueError) as info:
        master.write_registers(1, 0, list(range(128)))
    assert str(info.value) == "modbus write registers: invalid argument: register count must be less than 128"
    assert channel.calls == [] and master.last_command_sent == sent


def test_write_registers_measures_and_iterates_once(master, channel):
    class Values:
        iterations = 0

        def __len__(self):
            return 2

        def __iter__(self):
            Values.iterations += 1
            return iter([0x0102, 0x0304])
    master.send_write_registers_request(1, 0, Values())
    assert Values.iterations == 1
    assert channel.writes == [frame("01 10 00 00 00 02 04 01 02 03 04")]


def test_function_codes_read_at_call_time(master, channel, monkeypatch):
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Write_Register", 0x46)
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Write_Coil", 0x45)
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Write_Registers", 0x50)
    master.send_write_register_request(1, 0, 1)
    master.send_write_coil_request(1, 0, 1)
    master.send_write_registers_request(1, 0, [1])
    assert [w[1] for w in channel.writes] == [0x46, 0x45, 0x50]


# ---- refusals before anything is written: the same error on both roads ----------------------------

REFUSED = [
    ("write_register", (256, 0, 0)),
    ("write_register", (-1, 0, 0)),
    ("write_register", (1.0, 0, 0)),
    ("write_register", (1, "0", 0)),
    ("write_register", (1, 0, 2.5)),
    ("write_registers", (1, 0, [1, None])),
    ("write_registers", (1, 0, (x for x in [1]))),
    ("write_registers", (300, 0, [1])),
    ("write_registers", (1, 0, 5)),
    ("write_coil", (1, 2**70 * 1.0, True)),
    ("write_coil", (1000, 0, True)),
]


def _refusal(master, channel, name, args):
    master.MessageLastSent, master.MessageLastReceived = b"\x01", b"\x02"
    with pytest.raises(Exception) as info:
        getattr(master, name)(*args)
    assert channel.calls == []
    assert (master.MessageLastSent, master.MessageLastReceived) == (b"\x01", b"\x02")
    return type(info.value), str(info.value)


@pytest.mark.parametrize("name, args", REFUSED)
def test_refusals_match_the_general_road(master, channel, monkeypatch, name, args):
    fast = _refusal(master, channel, name, args)
    from rtu_support import use_python_helpers
    with monkeypatch.context() as patch:
        use_python_helpers(patch)
        general = _refusal(master, channel, name, args)
    assert fast == general
    assert fast[0] in (OverflowError, TypeError)


def test_station_out_of_range_is_the_array_error(master, channel):
    with pytest.raises(OverflowError, match="unsigned byte integer is greater than maximum"):
        master.write_register(256, 0, 0)
    with pytest.raises(OverflowError, match="unsigned byte integer is less than minimum"):
        master.write_coil(-1, 0, 0)


def test_coil_truth_test_failure(master, channel, road):
    class Ambiguous:
        def __bool__(self):
            raise ValueError("no truth")
    with pytest.raises(ValueError, match="no truth"):
        master.write_coil(1, 0, Ambiguous())
    assert channel.calls == []


# ---- answers to writes ----------------------------------------------------------------------------

def test_silent_slave(master, channel):
    with pytest.raises(OSError) as info:
        master.write_register(1, 1, 3)
    assert type(info.value) is brel_modbus.ModbusTimeoutError
    assert info.value.args == ("modbus: read from slave timeout",)
    assert master.last_feedback_received == b""
    assert channel.reads == [5]


@pytest.mark.parametrize("answer", [bytes.fromhex("01 86 02 C3 A1"), bytes.fromhex("01 86 02 C3 A1 FF FF FF")])
def test_exception_answer(master, channel, answer):
    channel.answer(answer)
    with pytest.raises(SlaveException) as info:
        master.write_register(1, 1, 3)
    e = info.value
    assert (e.station, e.function_code, e.error_code) == (1, 6, 2)
    assert e.args == (1, 134, 2)
    assert str(e) == "modbus slave reports an exception. station: 1, function code: 6, error code: 2"
    assert channel.reads == [5]
    assert master.last_feedback_received == answer[:5]


def test_short_exception_answer_is_a_timeout(master, channel):
    channel.answer(bytes.fromhex("01 86 02 C3"))
    with pytest.raises(OSError, match="^modbus: read from slave timeout$"):
        master.write_register(1, 1, 3)


def test_write_answer_cut_after_six_bytes(master, channel):
    channel.answer(frame("01 06 00 01 00 03")[:6])
    with pytest.raises(OSError, match="^modbus: read from slave timeout$"):
        master.write_register(1, 1, 3)
    assert master.last_feedback_received == frame("01 06 00 01 00 03")[:6]
    assert channel.reads == [5, 3]


@pytest.mark.parametrize("station", [1, 0x22])
def test_write_answer_with_wrong_crc(master, channel, road, station):
    bad = bytearray(frame("05 06 00 01 00 03"))
    bad[-1] ^= 0x40
    channel.answer(bytes(bad))
    with pytest.raises(ValueError) as info:
        master.write_register(station, 1, 3)
    assert str(info.value) == f"modbus: message from slave with station {station} has crc error"
    assert master.last_feedback_received == bytes(bad)


def test_replaced_slave_exception_is_raised(master, channel, monkeypatch):
    class Refusal(Exception):
        pass
    monkeypatch.setattr(brel_modbus, "SlaveException", Refusal)
    channel.answer(frame("01 86 03"))
    with pytest.raises(Refusal) as info:
        master.write_register(1, 0, 0)
    assert info.value.args == (1, 0x86, 3)


# ---- __feedback_assistant and __check_crc ----------------------------------------------------------

def test_feedback_assistant_five_bytes(master, channel):
    channel.incoming += bytes.fromhex("01 03 02 00 0A FF")
    feedback = master._Master__feedback_assistant(1, 5)
    assert type(feedback) is array.array and feedback.typecode == "B"
    assert feedback.tolist() == [1, 3, 2, 0, 10]
    assert channel.reads == [5, 0]


def test_feedback_assistant_checks_crc_only_when_asked(master, channel):
    channel.incoming += bytes.fromhex("01 03 02 00 0A 00 00") * 2
    assert len(master._Master__feedback_assistant(1, 7)) == 7
    with pytest.raises(ValueError, match="station 9 has crc error"):
        master._Master__feedback_assistant(9, 7, check_crc=1)


@pytest.mark.parametrize("message, station, text", [
    (b"", 1, "station 1 has"),
    (b"\x01", "abc", "station abc has"),
    ([1, 2, 3, 4], None, "station None has"),
    (b"\xff\xff", 1, None),
    (frame("01 03 00 00 00 01"), 1, None),
    (list(frame("01 03 00 00 00 01")), 1, None),
    ((1, 2), (5, 6), "station (5, 6) has"),
])
def test_check_crc(message, station, text):
    if text is None:
        assert Master._Master__check_crc(message, station) is None
    else:
        with pytest.raises(ValueError) as info:
            Master._Master__check_crc(message, station)
        assert str(info.value) == f"modbus: message from slave with {text} crc error"


def test_check_crc_follows_a_replaced_crc_is_right(monkeypatch):
    verdicts = []
    monkeypatch.setattr(brel_modbus.ModbusStatic, "crc_is_right", staticmethod(lambda m: verdicts.append(m) or 0))
    with pytest.raises(ValueError):
        Master._Master__check_crc(b"\xff\xff", 1)
    assert verdicts == [b"\xff\xff"]


def test_overrides_are_honoured(channels):
    seen = []

    class Sub(Master):
        def send_write_register_request(self, station, address, value):
            seen.append(("send", station, address, value))

        def _Master__feedback_assistant(self, station, normal_msg_len, check_crc=False):
            seen.append(("answer", station, normal_msg_len, check_crc))
            return "dropped"

    assert Sub("x", 1, 1).write_register(4, 5, 6) is None
    assert seen == [("send", 4, 5, 6), ("answer", 4, 8, True)]
    assert channels[0].calls == []


def test_master_looked_up_for_check_crc(master, channel, monkeypatch):
    checked = []

    class Other:
        @staticmethod
        def _Master__check_crc(message, station):
            checked.append((bytes(message), station))
    monkeypatch.setattr(brel_modbus, "Master", Other)
    channel.answer(b"\x01\x06\x00\x01\x00\x03\x00\x00")
    master.write_register(1, 1, 3)
    assert checked == [(b"\x01\x06\x00\x01\x00\x03\x00\x00", 1)]


class Truthy:
    """A value no field check would take: only a replaced step knows what to make of it."""

    def __bool__(self):
        return True


@pytest.mark.parametrize("sender, call, written, answer, result", [
    ("send_write_register_request", ("write_register", 1, int("300"), 7.5), "01 06 01 2C 00 07", "01 06 01 2C 00 07",
     None),
    ("send_write_registers_request", ("write_registers", 1, int("300"), (7, 8)), "01 10 01 2C 00 02",
     "01 10 01 2C 00 02", None),
    ("send_write_coil_request", ("write_coil", 1, int("300"), Truthy()), "01 05 01 2C FF 00", "01 05 01 2C FF 00",
     None),
    ("send_read_registers_request", ("read_registers", 1, int("300"), int("1"), 3), "01 03 01 2C 00 01",
     "01 03 02 00 09", [9]),
    ("_Master__send_read_xx_coils_request", ("read_coils", 1, int("300"), int("3")), "01 01 01 2C 00 03",
     "01 01 01 05", [True, False, True]),
])
def test_a_replaced_sender_gets_the_callers_own_objects(master, channel, sender, call, written, answer, result):
    """Master's codes 1, 3, 5, 6 and 16 hand a replaced sender the very objects the caller
    passed, and judge the answer against the request it wrote."""
    member, *args = call
    seen = []

    def send(*given):
        seen.append(given)
        master._Master__write_message(bytearray(frame(written)))

    setattr(master, sender, send)
    channel.answer(frame(answer))
    assert getattr(master, member)(*args) == result
    assert len(seen) == 1
    assert all(got is passed for got, passed in zip(seen[0][:len(args)], args, strict=True))   # the code may follow
    assert channel.writes[-1] == frame(written)
