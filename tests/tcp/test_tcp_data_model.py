"""ModbusTCPMaster's data model over the scripted socket: the requests on the wire, the
checks of every answer, refusals before sending, identification paging, typed values."""

import struct

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster
from tcp_support import PEER, mbap

H = bytes.fromhex


class Recorded(ModbusTCPMaster):
    def _ModbusTCPMaster__query(self, command, length_needed=None):
        self.queries.append((command, length_needed))
        return ModbusTCPMaster._ModbusTCPMaster__query(self, command, length_needed)


@pytest.fixture
def master(connect):
    m, sock = connect()
    m.__class__, m.queries = Recorded, []
    return m, sock


# member, arguments, request PDU, length_needed, answer PDU, result (examples of the Modbus standard where it has one)
OPERATIONS = {
    "input registers": ("read_input_registers", (8, 1), "0400080001", 3, "0402000A", [10]),
    "input register": ("read_input_register", (0xFFFF,), "04FFFF0001", 3, "0402FFFF", 0xFFFF),
    "discrete inputs": ("read_input_coils", (196, 22), "0200C40016", 4, "0203ACDB35",
                        [bool(byte >> i & 1) for byte in H("ACDB35") for i in range(8)][:22]),
    "coil": ("read_coil", (19,), "0100130001", 2, "010101", True),
    "single register": ("write_single_register", (1, 3), "0600010003", 4, "0600010003", None),
    "single register wraps": ("write_single_register", (1, -2), "060001FFFE", 4, "060001FFFE", None),
    "coils": ("write_coils", (19, [1, 0, "on", 1, 0, None, 1, 1, 1, 0]), "0F0013000A02CD01", 4, "0F0013000A", None),
    "mask": ("mask_write_register", (4, 0xF2, 0x25), "16000400F20025", 6, "16000400F20025", None),
    "read write": ("read_write_registers", (3, 6, 14, [0xFF, 0xFF, 0x100FF]), "17000300060 00E00030600FF00FF00FF",
                   13, "170C00FE0ACD00010003000D00FF", [0xFE, 0xACD, 1, 3, 0xD, 0xFF]),
    "identification": ("read_device_identification", (), "2B0E0100", None,
                       "2B0E018100000300034142430104444546470203312E30", {0: b"ABC", 1: b"DEFG", 2: b"1.0"}),
    "one object": ("read_device_identification", (4, 0x81), "2B0E0481", None, "2B0E0481FF8201810158", {0x81: b"X"}),
    "uint16": ("read_uint16", (5,), "0300050001", 3, "0302FFFE", 0xFFFE),
}


@pytest.mark.parametrize("name, args, pdu, needed, answer, result", OPERATIONS.values(), ids=OPERATIONS)
def test_requests_and_results(master, name, args, pdu, needed, answer, result):
    m, sock = master
    sock.queue(mbap(1, H(answer)))
    assert getattr(m, name)(*args) == result
    request = H(pdu.replace(" ", ""))
    assert m.queries == [(request, needed)] and sock.wire == mbap(1, request)


def test_typed_members_read_and_write_through_the_instance(connect):
    calls = []

    class Routed(ModbusTCPMaster):
        def read_registers(self, address, count):
            calls.append(("read_registers", address, count))
            return [0x4049, 0x0FDB][:count] if count < 3 else ["x"] * count

        def read_input_registers(self, address, count):
            calls.append(("read_input_registers", address, count))
            return [7] * count

        def write_registers(self, address, values):
            calls.append(("write_registers", address, values))

    m, sock = connect()
    m.__class__ = Routed
    assert m.read_float(3) == struct.unpack(">f", H("40490FDB"))[0] and m.read_int16(4) == 0x4049
    assert m.read_values(5, "2H", "DCBA", 4) == [0x700, 0x700] and m.read_input_register(6) == 7
    m.write_float(8, 1.5, "<")
    m.write_values(9, "h", [-1])
    assert calls == [("read_registers", 3, 2), ("read_registers", 4, 1), ("read_input_registers", 5, 2),
                     ("read_input_registers", 6, 1), ("write_registers", 8, [0, 0x3FC0]),
                     ("write_registers", 9, [0xFFFF])]
    with pytest.raises(TypeError, match=r"^registers\[0\] must be an int, not str$"):
        m.read_multi_int32(0, 2)
    assert sock.sent == []


WRITE = "Write register address [1] to " + PEER + " failed."
ASSERTIONS = {
    "register byte count": ("read_input_registers", (0, 2), "040300010002", "Feedback for reading registers invalid"),
    "register length": ("read_input_registers", (0, 2), "04020001", "Data length not match with needed"),
    "input byte count": ("read_input_coils", (0, 9), "0201FF00", "Feedback for reading coils invalid"),
    "register value echo": ("write_single_register", (1, 3), "0600010004", WRITE),
    "register address echo": ("write_single_register", (1, 3), "0600020003", WRITE),
    "coils quantity echo": ("write_coils", (19, [1] * 10), "0F00130009", f"Write coils address [19] to {PEER} failed."),
    "mask echo": ("mask_write_register", (4, 0xF2, 0x25), "16000400F20026",
                  f"Mask write register address [4] to {PEER} failed."),
    "read write byte count": ("read_write_registers", (0, 2, 0, [1]), "170300010002",
                              "Feedback for reading registers invalid"),
}
IDENTIFICATION = "Feedback for reading device identification invalid"
for name, answer in [("read code", "2B0E0281000000"), ("MEI type", "2B0D0181000000"), ("head short", "2B0E01810000"),
                     ("object past the end", "2B0E018100000100054142"), ("bytes left over", "2B0E018100000041")]:
    ASSERTIONS["identification " + name] = ("read_device_identification", (1,), answer, IDENTIFICATION)


@pytest.mark.parametrize("name, args, answer, message", ASSERTIONS.values(), ids=ASSERTIONS)
def test_answers_that_do_not_belong_raise_assertion_errors(master, name, args, answer, message):
    m, sock = master
    sock.queue(mbap(1, H(answer)))
    with pytest.raises(AssertionError) as info:
        getattr(m, name)(*args)
    # a malformed identification answer is a FrameError, any other that does not belong a MismatchError
    family = brel_modbus.FrameError if message == IDENTIFICATION else brel_modbus.MismatchError
    assert str(info.value) == message and type(info.value) is family


@pytest.mark.parametrize("name, args, code", [
    ("read_input_registers", (0, 1), 4), ("read_input_coils", (0, 1), 2), ("write_single_register", (0, 1), 6),
    ("write_coils", (0, [1]), 15), ("mask_write_register", (0, 1, 2), 22), ("read_write_registers", (0, 1, 0, [1]), 23),
    ("read_device_identification", (), 43), ("read_values", (0, "f"), 3), ("write_multi_float", (0, [1.0]), 16),
])
def test_exception_answers(connect, name, args, code):
    m, sock = connect(station=5)
    sock.queue(mbap(1, bytes([code | 0x80, 3]), unit=5))
    with pytest.raises(brel_modbus.TCPSlaveException) as info:
        getattr(m, name)(*args)
    assert (info.value.station, info.value.function_code, info.value.error_code) == (5, code, 3)


# member, arguments, exception type, message
REFUSALS = [
    ("read_input_registers", (0, 126), ValueError, "modbus: count must be from 1 to 125: 126"),
    ("read_input_registers", (0, 65536), OverflowError, "modbus: count out of range 0 to 65535: 65536"),
    ("read_input_coils", (0, 2001), ValueError, "modbus: count must be from 1 to 2000: 2001"),
    ("read_input_register", (65536,), OverflowError, "modbus: address out of range 0 to 65535: 65536"),
    ("write_single_register", (70000, 1), OverflowError, "modbus: address out of range 0 to 65535: 70000"),
    ("write_single_register", (1, 2.0), TypeError, "Argument 'value' has incorrect type (expected int, got float)"),
    ("write_coils", (0, [True] * 1969), ValueError, "modbus: values must hold from 1 to 1968 items: 1969"),
    ("write_coils", (0, 7), TypeError, "values must be a sequence of truth values, not int"),
    ("mask_write_register", (0, 0x10000, 0), OverflowError, "modbus: and_mask out of range 0 to 65535: 65536"),
    ("read_write_registers", (0, 126, 0, [1]), ValueError, "modbus: read_count must be from 1 to 125: 126"),
    ("read_write_registers", (0, 1, 0, [0] * 122), ValueError, "modbus: values must hold from 1 to 121 items: 122"),
    ("read_write_registers", (0, 1, 65536, [1]), OverflowError, "modbus: address out of range 0 to 65535: 65536"),
    ("read_write_registers", (0, 1, 0, [1, "2"]), TypeError, "values[1] must be an int, not str"),
    ("read_device_identification", (0,), ValueError, "modbus: read_code must be from 1 to 4: 0"),
    ("read_device_identification", (1, 256), OverflowError, "modbus: object_id out of range 0 to 255: 256"),
    ("read_multi_float", (0, 63), ValueError, "modbus: count must be from 1 to 62: 63"),
    ("write_multi_int32", (0, [0] * 62), ValueError, "modbus: values must hold from 1 to 61 items: 62"),
    ("write_uint32", (0, -1), OverflowError, "values[0] for 'I' is outside 0..4294967295"),
    ("write_float", (0, "x"), TypeError, "values[0] for 'f' must be a float or an int, not str"),
    ("read_float", (0, b">"), TypeError, "Argument 'endian' has incorrect type (expected str, got bytes)"),
    ("read_values", (0, "126H"), ValueError, "modbus: the format takes 126 registers, at most 125 can be read"),
    ("write_values", (0, "124H", [0] * 124), ValueError,
     "modbus: the format takes 124 registers, at most 123 can be written"),
    ("read_values", (0, "H", "ABCD", 5), ValueError, "modbus: func_code must be 3 or 4: 5"),
    ("read_values", (0, "H", "abcd"), ValueError, "order must be 'ABCD', 'CDAB', 'BADC' or 'DCBA', not 'abcd'"),
    ("write_values", (-1, "H", [1]), OverflowError, "modbus: address out of range 0 to 65535: -1"),
]


@pytest.mark.parametrize("name, args, error, message", REFUSALS)
def test_refusals_send_nothing(connect, name, args, error, message):
    m, sock = connect()
    with pytest.raises(error) as info:
        getattr(m, name)(*args)
    assert type(info.value) is error and str(info.value) == message
    assert sock.sent == [] and m._ModbusTCPMaster__head_checker == 1


def identification_page(code, more, next_id, objects):
    body = b"".join(bytes([i, len(v)]) + v for i, v in objects.items())
    return H("2B0E") + bytes([code, 0x83, 0xFF if more else 0, next_id, len(objects)]) + body


def test_identification_follows_more_follows(master):
    m, sock = master
    sock.queue(mbap(1, identification_page(3, True, 0x80, {0: b"V", 6: b"app"})),
               mbap(2, identification_page(3, True, 0x82, {0x80: b"p" * 200, 0x81: b""})),
               mbap(3, identification_page(3, False, 0, {0x82: b"q"})))
    assert m.read_device_identification(3, 0) == {0: b"V", 6: b"app", 0x80: b"p" * 200, 0x81: b"", 0x82: b"q"}
    assert [command for command, _ in m.queries] == [H("2B0E0300"), H("2B0E0380"), H("2B0E0382")]


@pytest.mark.parametrize("start, next_id", [(0, 0), (5, 3), (0x90, 0x90)])
def test_identification_that_does_not_advance_is_refused(master, start, next_id):
    m, sock = master
    sock.queue(*[mbap(i, identification_page(2, True, next_id, {start: b"x"})) for i in (1, 2)])
    with pytest.raises(AssertionError) as info:
        m.read_device_identification(2, start)
    assert str(info.value) == ("Feedback for reading device identification invalid: "
                               f"next object id {next_id} does not follow {start}")
    assert len(m.queries) == 1
