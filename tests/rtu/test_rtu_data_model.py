"""Master and FixMaster beyond the first seven function codes: write coils (15), mask
write (22), read/write registers (23), read device identification (43/14), and values
of any type in any byte order; over the scripted channel and against the real slaves."""

import inspect

import pytest

import brel_modbus
from brel_modbus import Master, SlaveException

from rtu_support import HOLDING, STATION, frame

MISMATCH = "modbus: answer from slave with station {} does not match the request"


# ---- exact bytes -------------------------------------------------------------------------------

@pytest.mark.parametrize("call, request_body, answer, result", [
    # the standard's examples: coils 20..29 (address 19) set to CD 01; mask write of register 4
    (("write_coils", 0x11, 19, [1, 0, 1, 1, 0, 0, 1, 1, 1, 0]), "11 0F 00 13 00 0A 02 CD 01",
     frame("11 0F 00 13 00 0A"), None),
    (("write_coils", 1, 0, [True]), "01 0F 00 00 00 01 01 01", frame("01 0F 00 00 00 01"), None),
    (("write_coils", 1, 0, [0] * 9), "01 0F 00 00 00 09 02 00 00", frame("01 0F 00 00 00 09"), None),
    (("mask_write_register", 0x11, 4, 0x00F2, 0x0025), "11 16 00 04 00 F2 00 25", frame("11 16 00 04 00 F2 00 25"),
     None),
    (("read_write_registers", 0x11, 3, 6, 14, [0x00FF, 0x00FF, 0x00FF]),
     "11 17 00 03 00 06 00 0E 00 03 06 00 FF 00 FF 00 FF",
     frame("11 17 0C 00 FE 0A CD 00 01 00 03 00 0D 00 FF"), [0xFE, 0x0ACD, 1, 3, 0x0D, 0xFF]),
    (("read_write_registers", 1, 0, 1, 0, [-1]), "01 17 00 00 00 01 00 00 00 01 02 FF FF",
     frame("01 17 02 FF FF"), [0xFFFF]),
    (("read_device_identification", 1), "01 2B 0E 01 00",
     frame("01 2B 0E 01 01 00 00 02 00 03 41 42 43 01 01 58"), {0: b"ABC", 1: b"X"}),
    (("read_device_identification", 1, 4, 0x80), "01 2B 0E 04 80",
     frame("01 2B 0E 04 83 00 00 01 80 02 68 69"), {0x80: b"hi"}),
    (("read_values", 1, 2, "f", "CDAB"), "01 03 00 02 00 02", frame("01 03 04 E9 79 42 F6"),
     [pytest.approx(123.456, rel=1e-7)]),
    (("read_values", 1, 2, "h 2s", "BADC", 4), "01 04 00 02 00 02", frame("01 04 04 FE FF 62 61"), [-2, b"ab"]),
    (("write_values", 1, 9, "I", [0x11223344], "DCBA"), "01 10 00 09 00 02 04 44 33 22 11",
     frame("01 10 00 09 00 02"), None),
])
def test_requests_and_answers(master, channel, call, request_body, answer, result):
    name, *args = call
    channel.answer(answer)
    assert getattr(master, name)(*args) == result
    assert channel.writes == [frame(request_body)]
    assert master.last_feedback_received == answer


def test_identification_follows_more_follows(master, channel):
    channel.answer(frame("01 2B 0E 02 02 FF 03 02 00 01 41 01 01 42"),
                   frame("01 2B 0E 02 02 00 00 01 03 02 43 44"))
    assert master.read_device_identification(1, 2) == {0: b"A", 1: b"B", 3: b"CD"}
    assert channel.writes == [frame("01 2B 0E 02 00"), frame("01 2B 0E 02 03")]


@pytest.mark.parametrize("answer", [
    frame("01 2B 0E 02 02 FF 00 01 00 01 41"),      # more follows, but from where it started
    frame("02 2B 0E 01 01 00 00 00"),               # another station
    frame("01 2B 0E 02 01 00 00 00"),               # another read code
    frame("01 2B 0D 01 01 00 00 00"),               # another MEI type
])
def test_identification_answers_that_do_not_fit(master, channel, answer):
    channel.answer(answer)
    with pytest.raises(ValueError, match=f"^{MISMATCH.format(1)}$"):
        master.read_device_identification(1, 1 if answer[3] == 2 and answer[4] == 1 else answer[3])
    assert len(channel.writes) == 1


def test_identification_exception_and_noise(master, channel):
    channel.answer(frame("01 AB 01"), frame("01 2B 0E 01 01 00 00 01 00 01 41")[:-1] + b"\x00")
    with pytest.raises(SlaveException) as info:
        master.read_device_identification(1)
    assert (info.value.function_code, info.value.error_code) == (43, 1)
    with pytest.raises(ValueError, match="has crc error"):
        master.read_device_identification(1)


@pytest.mark.parametrize("call, answer", [
    (("write_coils", 1, 0, [1, 1]), frame("01 0F 00 00 00 03")),
    (("write_coils", 1, 0, [1, 1]), frame("01 0F 00 01 00 02")),
    (("mask_write_register", 1, 4, 1, 2), frame("01 16 00 04 00 01 00 03")),
    (("read_write_registers", 1, 0, 2, 0, [1]), frame("01 17 02 00 01")),
    (("read_write_registers", 1, 0, 1, 0, [1]), frame("01 03 02 00 01")),
    (("read_values", 1, 0, "I"), frame("01 03 02 00 01")),
])
def test_answers_must_match(master, channel, call, answer):
    name, *args = call
    channel.answer(answer)
    with pytest.raises(ValueError, match=f"^{MISMATCH.format(1)}$"):
        getattr(master, name)(*args)


@pytest.mark.parametrize("call, error, text", [
    (("write_coils", 1, 0, []), ValueError, "modbus: values must hold from 1 to 1968 items: 0"),
    (("write_coils", 1, 0, [0] * 1969), ValueError, "modbus: values must hold from 1 to 1968 items: 1969"),
    (("write_coils", 1, 65536, [1]), OverflowError, "modbus: address out of range 0 to 65535: 65536"),
    (("write_coils", 256, 0, [1]), OverflowError, "modbus: station out of range 0 to 255: 256"),
    (("write_coils", 1, 0, 5), TypeError, "values must be a sequence of truth values, not int"),
    (("mask_write_register", 1, 0, 65536, 0), OverflowError, "modbus: and_mask out of range 0 to 65535: 65536"),
    (("mask_write_register", 1, 0, 0, -1), OverflowError, "modbus: or_mask out of range 0 to 65535: -1"),
    (("read_write_registers", 1, 0, 0, 0, [1]), ValueError, "modbus: read_count must be from 1 to 125: 0"),
    (("read_write_registers", 1, 0, 126, 0, [1]), ValueError, "modbus: read_count must be from 1 to 125: 126"),
    (("read_write_registers", 1, 0, 1, 0, [1] * 122), ValueError, "modbus: values must hold from 1 to 121 items: 122"),
    (("read_write_registers", 1, 0, 1, 0, []), ValueError, "modbus: values must hold from 1 to 121 items: 0"),
    (("read_write_registers", 1, 0, 1, 0, [1, 1.5]), TypeError, "values[1] must be an int, not float"),
    (("read_device_identification", 1, 0), ValueError, "modbus: read_code must be from 1 to 4: 0"),
    (("read_device_identification", 1, 5), ValueError, "modbus: read_code must be from 1 to 4: 5"),
    (("read_device_identification", 1, 1, 256), OverflowError, "modbus: object_id out of range 0 to 255: 256"),
    (("read_values", 1, 0, "63d"), ValueError, "modbus: the format takes 252 registers, at most 125 can be read"),
    (("read_values", 1, 0, "f", "dcba"), ValueError, None),
    (("write_values", 1, 0, "31d", [0.0] * 31), ValueError,
     "modbus: the format takes 124 registers, at most 123 can be written"),
    (("write_values", 1, 0, "H", [65536]), OverflowError, None),
    (("write_values", 1, 0, "2H", [1]), ValueError, None),
    (("read_values", True, 0, "H"), TypeError, "Argument 'station' has incorrect type (expected int, got bool)"),
])
def test_arguments_refused_before_anything_is_written(master, channel, call, error, text):
    name, *args = call
    with pytest.raises(error) as info:
        getattr(master, name)(*args)
    if text is not None:
        assert str(info.value) == text
    assert channel.calls == []


@pytest.mark.parametrize("call, body", [
    (("write_coils", 0, 3, [1, 0]), "00 0F 00 03 00 02 01 01"),
    (("mask_write_register", 0, 3, 0xFF00, 0x0001), "00 16 00 03 FF 00 00 01"),
    (("write_values", 0, 3, "e", [1.0]), "00 10 00 03 00 01 02 3C 00"),
])
def test_broadcasts(master, channel, call, body):
    name, *args = call
    assert getattr(master, name)(*args) is None
    assert channel.exchange() == [("in_waiting",), ("write", frame(body))]


@pytest.mark.parametrize("name, signature", [
    ("write_coils",
     "(self, station: 'int', address: 'int', values: 'Sequence[object]') -> 'None'"),
    ("mask_write_register",
     "(self, station: 'int', address: 'int', and_mask: 'int', or_mask: 'int') -> 'None'"),
    ("read_write_registers",
     "(self, station: 'int', read_address: 'int', read_count: 'int', write_address: 'int', "
     "values: 'Sequence[int]') -> 'list[int]'"),
    ("read_device_identification",
     "(self, station: 'int', read_code: 'int' = 1, object_id: 'int' = 0) -> 'dict[int, bytes]'"),
    ("read_values",
     "(self, station: 'int', address: 'int', format: 'str', order: 'str' = 'ABCD', "
     "func_code: 'int' = 3) -> 'list'"),
    ("write_values",
     "(self, station: 'int', address: 'int', format: 'str', values: 'Sequence[Any]', "
     "order: 'str' = 'ABCD') -> 'None'"),
])
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(Master, name))) == signature
    fixed = str(inspect.signature(getattr(brel_modbus.FixMaster, name)))
    assert fixed.split(" -> ")[0] == signature.split(" -> ")[0].replace("station: 'int', ", "")


def test_new_members_follow_the_others():
    keys = list(Master.__dict__)
    assert keys.index("write_coils") > keys.index("_Master__check_crc")
    assert keys[keys.index("write_coils"):keys.index("write_values") + 1] == [
        "write_coils", "mask_write_register", "read_write_registers", "read_device_identification", "read_values",
        "write_values"]


def test_fixmaster_forwards_with_its_station(channels):
    fixed = brel_modbus.FixMaster(7, "/dev/ttyFAKE0", 9600, 1)
    channels[0].answer(frame("07 0F 00 01 00 02"), frame("07 03 04 00 00 00 05"))
    assert fixed.write_coils(1, [1, 1]) is None
    assert fixed.read_values(9, "i") == [5]
    assert channels[0].writes == [frame("07 0F 00 01 00 02 01 03"), frame("07 03 00 09 00 02")]


# ---- against the real slaves -------------------------------------------------------------------

def test_write_coils_and_mask_write_on_a_real_slave(rtu):
    rtu.write_coils(STATION, 20, [True, False, True, True, False])
    assert rtu.read_coils(STATION, 20, 5) == [True, False, True, True, False]
    rtu.write_coils(STATION, 20, [False] * 5)
    rtu.write_register(STATION, 400, 0x1234)
    rtu.mask_write_register(STATION, 400, 0x00F2, 0x0025)
    assert rtu.read_register(STATION, 400) == (0x1234 & 0x00F2) | (0x0025 & ~0x00F2 & 0xFFFF)


def test_read_write_registers_on_a_real_slave(rtu):
    assert rtu.read_write_registers(STATION, 0, 3, 401, [9, 8]) == HOLDING[:3]
    assert rtu.read_registers(STATION, 401, 2) == [9, 8]


def test_device_identification_of_a_real_slave(rtu):
    from simulator import IDENTITY

    basic = rtu.read_device_identification(STATION)
    assert basic == {k: IDENTITY[k].encode() for k in (0, 1, 2)}
    assert rtu.read_device_identification(STATION, 4, 0x80) == {0x80: IDENTITY[0x80].encode()}


@pytest.mark.parametrize("order", ["ABCD", "CDAB", "BADC", "DCBA"])
def test_values_round_trip_on_a_real_slave(rtu, slave, order):
    values = [-2, 3_000_000_000, 1.5, -2.0**40, b"meter-01", 65535]
    rtu.write_values(STATION, 420, "i I f d 8s H", values, order)
    assert rtu.read_values(STATION, 420, "i I f d 8s H", order) == values
    words = slave.holding(420, 15)      # straight from the slave's datastore
    assert brel_modbus.ModbusStatic.decode_values(words, "i I f d 8s H", order) == values
    if order in ("ABCD", "CDAB"):         # the peer's own decoding of what is on the slave
        from pymodbus.client import ModbusTcpClient as Peer

        kinds = Peer.DATATYPE
        word_order = "big" if order == "ABCD" else "little"
        spans = [(0, 2, kinds.INT32), (2, 4, kinds.UINT32), (4, 6, kinds.FLOAT32), (6, 10, kinds.FLOAT64),
                 (14, 15, kinds.UINT16)]
        peer = [Peer.convert_from_registers(words[a:b], kind, word_order=word_order) for a, b, kind in spans]
        assert peer == [values[0], values[1], values[2], values[3], values[5]]
