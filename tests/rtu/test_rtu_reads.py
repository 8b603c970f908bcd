"""Master: register reads and coil reads over the scripted channel."""

import pytest

import brel_modbus
from brel_modbus import Master, SlaveException

from rtu_support import frame


# ---- registers ---------------------------------------------------------------------------------

@pytest.mark.parametrize("call, request_body, answer, result", [
    (("read_registers", 1, 0, 2), "01 03 00 00 00 02", frame("01 03 04 00 0A 01 02"), [10, 258]),
    (("read_registers", 1, 0, 1), "01 03 00 00 00 01", frame("01 03 02 FF FE"), [65534]),
    (("read_registers", 1, 0, 0), "01 03 00 00 00 00", frame("01 03 00"), []),
    (("read_registers", 2, 0xFFFF, 1, 0x41), "02 41 FF FF 00 01", frame("02 41 02 80 00"), [0x8000]),
    (("read_register", 1, 0x10), "01 03 00 10 00 01", frame("01 03 02 12 34"), 0x1234),
    (("read_register", 1, 0x10, 4), "01 04 00 10 00 01", frame("01 04 02 12 34"), 0x1234),
    (("read_input_register", 1, 0x10), "01 04 00 10 00 01", frame("01 04 02 00 07"), 7),
    (("read_input_registers", 9, 3, 2), "09 04 00 03 00 02", frame("09 04 04 00 07 FF FF"), [7, 65535]),
])
def test_register_reads(master, channel, road, call, request_body, answer, result):
    name, *args = call
    channel.answer(answer)
    values = getattr(master, name)(*args)
    assert values == result
    assert all(type(v) is int for v in (values if isinstance(values, list) else [values]))
    left = answer[2]
    assert channel.exchange() == [("in_waiting",), ("write", frame(request_body)), ("read", 5), ("read", 0),
                                  ("read", left)]
    assert master.last_command_sent == frame(request_body) and master.last_feedback_received == answer


def test_read_input_register_exact_request(master, channel):
    channel.answer(frame("01 04 02 00 01"))
    master.read_input_register(1, 0x10)
    assert channel.writes == [bytes.fromhex("01 04 00 10 00 01 30 0F")]


def test_read_registers_exact_request(master, channel):
    channel.answer(frame("01 03 04 00 0A 01 02"))
    master.read_registers(1, 0, 2)
    assert channel.writes == [bytes.fromhex("01 03 00 00 00 02 C4 0B")]


@pytest.mark.parametrize("call, param, got", [
    (("read_registers", True, 0, 1), "station", "bool"),
    (("read_registers", 1, 0, 1, None), "func_code", "NoneType"),
    (("read_register", 1, 2.0), "address", "float"),
    (("read_input_registers", True, 0, 1), "station", "bool"),     # tested by read_registers
    (("read_input_registers", 1, 0, "1"), "count", "str"),
    (("read_input_register", 1, True), "address", "bool"),
    (("send_read_registers_request", 1, 0, 1, 3.0), "func_code", "float"),
    (("_Master__send_read_xx_registers_request", 1, 0, False, 3), "count", "bool"),
])
def test_register_entry_tests(master, channel, call, param, got):
    name, *args = call
    with pytest.raises(TypeError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected int, got {got})"
    assert channel.calls == []


def test_send_read_input_registers_request_passes_any_station(master, channel):
    with pytest.raises(TypeError, match="Argument 'station'"):
        master.send_read_input_registers_request(True, 0, 1)
    assert channel.calls == []


@pytest.mark.parametrize("station, error", [(256, OverflowError), (-1, OverflowError)])
def test_station_out_of_range(master, channel, station, error):
    with pytest.raises(error):
        master.read_registers(station, 0, 1)
    with pytest.raises(OverflowError):
        master.read_registers(1, 0, 1, 300)
    assert channel.calls == []


@pytest.mark.parametrize("answer, reads", [
    (b"", [5]),
    (bytes.fromhex("01 03 04 00"), [5]),
    (frame("01 03 04 00 0A 01 02")[:5], [5, 0, 4]),
    (frame("01 03 04 00 0A 01 02")[:8], [5, 0, 4]),
])
def test_register_answer_cut_short(master, channel, road, answer, reads):
    channel.answer(answer)
    with pytest.raises(OSError) as info:
        master.read_registers(1, 0, 2)
    assert str(info.value) == "modbus: read from slave timeout"
    assert master.last_feedback_received == answer
    assert channel.reads == reads


def test_register_answer_corrupted(master, channel, road):
    bad = bytearray(frame("01 03 04 00 0A 01 02"))
    bad[4] ^= 1
    channel.answer(bytes(bad))
    with pytest.raises(ValueError) as info:
        master.read_registers(17, 0, 2)
    assert str(info.value) == "modbus: message from slave with station 17 has crc error"


def test_register_exception_answer(master, channel):
    channel.answer(frame("01 83 02") + b"\x00\x00")
    with pytest.raises(SlaveException) as info:
        master.read_registers(1, 0, 2)
    assert info.value.args == (1, 131, 2)
    assert (info.value.station, info.value.function_code, info.value.error_code) == (1, 3, 2)
    assert channel.reads == [5]


def test_func_code_default_fixed_at_class_creation(master, channel, monkeypatch):
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Read_Registers", 0x44)
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Read_Input_Registers", 0x55)
    channel.answer(frame("01 03 02 00 01"), frame("01 55 02 00 01"))
    master.read_register(1, 0)
    master.read_input_register(1, 0)
    assert [w[1] for w in channel.writes] == [3, 0x55]
    assert Master.read_registers.__defaults__ == (3,)


def test_reads_go_through_overridden_steps(channels):
    calls = []

    class Sub(Master):
        def read_registers(self, station, address, count, func_code=3):
            calls.append((station, address, count, func_code))
            return [count * 100, 0]

    sub = Sub("x", 1, 1)
    assert sub.read_register(1, 2) == 100
    assert sub.read_input_register(5, 6) == 100
    assert sub.read_input_registers(7, 8, 3) == [300, 0]
    assert calls == [(1, 2, 1, 3), (5, 6, 1, 4), (7, 8, 3, 4)]


def test_request_sender_override_is_honoured(channels):
    class Sub(Master):
        def send_read_registers_request(self, station, address, count, func_code):
            self._Master__write_message(bytes([station, func_code]))

    sub = Sub("x", 1, 1)
    channels[0].answer(frame("01 03 02 00 05"))
    assert sub.read_registers(1, 0, 1, 7) == [5]
    assert channels[0].writes == [b"\x01\x07"]


def test_list_feedback_from_an_override(channels):
    class Sub(Master):
        def _Master__feedback_assistant(self, station, normal_msg_len, check_crc=False):
            return list(self._Master__read(5))

    sub = Sub("x", 1, 1)
    channels[0].answer(frame("01 03 04 00 0A 01 02"), frame("01 01 02 05 02"))
    assert sub.read_registers(1, 0, 2) == [10, 258]
    assert sub.read_coils(1, 0, 10) == [True, False, True, False, False, False, False, False, False, True]


# ---- coils -----------------------------------------------------------------------------------

@pytest.mark.parametrize("call, request_body, answer, result", [
    (("read_coils", 1, 0, 10), "01 01 00 00 00 0A", frame("01 01 02 05 02"),
     [True, False, True, False, False, False, False, False, False, True]),
    (("read_input_coils", 0x11, 0xC4, 0x16), "11 02 00 C4 00 16", frame("11 02 03 AC DB 35"),
     [False, False, True, True, False, True, False, True, True, True, False, True, True, False, True, True,
      True, False, True, False, True, True]),
    (("read_coil", 1, 7), "01 01 00 07 00 01", frame("01 01 01 01"), True),
    (("read_coil", 1, 7), "01 01 00 07 00 01", frame("01 01 01 FE"), False),
    (("read_coils", 1, 0, 3), "01 01 00 00 00 03", frame("01 01 01 FD"), [True, False, True]),
    (("read_coils", 1, 0, 0), "01 01 00 00 00 00", frame("01 01 00"), []),
    (("read_coils", 1, 0xFFF0, 16), "01 01 FF F0 00 10", frame("01 01 02 01 80"), [True] + [False] * 14 + [True]),
    (("read_coils", True, 0, 1), "01 01 00 00 00 01", frame("01 01 01 00"), [False]),
])
def test_coil_reads(master, channel, road, call, request_body, answer, result):
    name, *args = call
    channel.answer(answer)
    values = getattr(master, name)(*args)
    assert values == result
    assert all(v is True or v is False for v in (values if isinstance(values, list) else [values]))
    assert channel.exchange() == [("in_waiting",), ("write", frame(request_body)), ("read", 5), ("read", 0),
                                  ("read", answer[2])]


def test_coil_exact_requests(master, channel):
    channel.answer(frame("01 01 02 05 02"), frame("11 02 03 AC DB 35"))
    assert master.read_coils(1, 0, 10)[0] is True
    master.read_input_coils(0x11, 0xC4, 0x16)
    assert channel.writes == [bytes.fromhex("01 01 00 00 00 0A BC 0D"), bytes.fromhex("11 02 00 C4 00 16 BA A9")]


def test_coil_answer_from_the_example(master, channel):
    channel.answer(bytes.fromhex("01 01 02 05 02 3B 6D"))
    assert master.read_coils(1, 0, 10) == [True, False, True, False, False, False, False, False, False, True]


@pytest.mark.parametrize("call, param, got", [
    (("read_coils", 1, 0, True), "count", "bool"),
    (("read_input_coils", 1, 0, 1.0), "count", "float"),
    (("_Master__read_xx_coils", 1, 0, 1, None), "code", "NoneType"),
    (("send_read_coils_request", 1, 0, False), "count", "bool"),
    (("_Master__send_read_xx_coils_request", 1, 0, 1, "1"), "code", "str"),
])
def test_coil_entry_tests(master, channel, call, param, got):
    name, *args = call
    with pytest.raises(TypeError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected int, got {got})"
    assert channel.calls == []


@pytest.mark.parametrize("station, address, error", [(256, 0, OverflowError), (None, 0, TypeError),
                                                     (1, "0", TypeError), (1, 0.5, TypeError)])
def test_coil_request_refusals(master, channel, road, station, address, error):
    with pytest.raises(error):
        master.read_coils(station, address, 1)
    assert channel.calls == []


@pytest.mark.parametrize("answer, error, text", [
    (frame("01 81 02"), SlaveException, "modbus slave reports an exception. station: 1, function code: 1, "
                                        "error code: 2"),
    (frame("01 82 03")[:4], OSError, "modbus: read from slave timeout"),
    (frame("01 01 02 05 02")[:6], OSError, "modbus: read from slave timeout"),
    (frame("01 01 02 05 02")[:-1] + b"\x00", ValueError, "modbus: message from slave with station 1 has crc error"),
])
def test_coil_answer_failures(master, channel, answer, error, text):
    channel.answer(answer)
    with pytest.raises(error) as info:
        master.read_coils(1, 0, 10)
    assert str(info.value) == text
    assert master.last_feedback_received == answer


def test_coil_function_codes_read_at_call_time(master, channel, monkeypatch):
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Read_Coils", 0x21)
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Read_Input_Coils", 0x22)
    master.send_read_coils_request(1, 0, 1)
    master.send_read_input_coils_request(1, 0, 1)
    assert [w[1] for w in channel.writes] == [0x21, 0x22]


def test_stale_input_is_dropped_before_a_read(master, channel):
    channel.incoming += b"\x55\x66"
    channel.answer(frame("01 03 02 00 09"))
    assert master.read_register(1, 0) == 9
    assert channel.exchange()[:3] == [("in_waiting",), ("in_waiting",), ("read", 2)]
    assert master.last_feedback_received == frame("01 03 02 00 09")
