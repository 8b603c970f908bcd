"""ModbusTCPMaster coil and register operations over the scripted socket."""

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster
from tcp_support import PEER, delegating_class, mbap

H = bytes.fromhex
COILS_19 = [True, False, True, True, False, False, True, True, True, True, False, True, False, True, True, False,
            True, False, True]


class Recorded(ModbusTCPMaster):
    """Records the arguments of every __query call (reached through the instance)."""

    def _ModbusTCPMaster__query(self, command, length_needed=None):
        self.queries.append((command, length_needed))
        return ModbusTCPMaster._ModbusTCPMaster__query(self, command, length_needed)


@pytest.fixture
def recorded(connect):
    def make():
        master, sock = connect()
        master.__class__ = Recorded
        master.queries = []
        return master, sock
    return make


# operation, arguments, request PDU, length_needed, answer PDU, result
OPERATIONS = {
    "coils 19 at 19": ("read_coils", (19, 19), "0100130013", 4, "0103CD6B05", COILS_19),
    "coils 10": ("read_coils", (0, 10), "010000000A", 3, "0102CD01", COILS_19[:8] + [True, False]),
    "coils 8": ("read_coils", (0, 8), "0100000008", 2, "0101FF", [True] * 8),
    "coils 9": ("read_coils", (0, 9), "0100000009", 3, "0102FF00", [True] * 8 + [False]),
    "coils 0": ("read_coils", (0, 0), "0100000000", 1, "0100", []),
    "registers": ("read_registers", (0x6B, 3), "03006B0003", 7, "0306022B00000064", [555, 0, 100]),
    "registers 0": ("read_registers", (1, 0), "0300010000", 1, "0300", []),
    "register": ("read_register", (5,), "0300050001", 3, "0302FFFE", 0xFFFE),
    "last address": ("read_registers", (0xFFFF, 1), "03FFFF0001", 3, "03020001", [1]),
    "write registers": ("write_registers", (1, [10, 258]), "10000100020400 0A0102", 4, "1000010002", None),
    "write register": ("write_register", (2, 258), "1000020001020102", 4, "1000020001", None),
    "register values wrap": ("write_registers", (0, [-1, 65536 + 7]), "1000000002 04FFFF0007", 4, "1000000002", None),
    "coil on": ("write_coil", (0xAC, True), "0500ACFF00", 4, "0500ACFF00", None),
    "coil off": ("write_coil", (0xAC, False), "0500AC0000", 4, "0500AC0000", None),
    "coil 0": ("write_coil", (0xAC, 0), "0500AC0000", 4, "0500AC0000", None),
    "coil None": ("write_coil", (0xAC, None), "0500AC0000", 4, "0500AC0000", None),
    "coil empty text": ("write_coil", (0xAC, ""), "0500AC0000", 4, "0500AC0000", None),
    "coil text": ("write_coil", (0xAC, "off"), "0500ACFF00", 4, "0500ACFF00", None),
}


@pytest.mark.parametrize("name, args, pdu, needed, answer, result", OPERATIONS.values(), ids=OPERATIONS)
def test_operations(recorded, name, args, pdu, needed, answer, result):
    master, sock = recorded()
    sock.queue(mbap(1, H(answer)))
    assert getattr(master, name)(*args) == result
    request = H(pdu.replace(" ", ""))
    assert master.queries[-1] == (request, needed)
    assert sock.wire == mbap(1, request)


def test_read_register_goes_through_read_registers_and_write_register_through_write_registers(connect):
    calls = []

    class Routed(ModbusTCPMaster):
        def read_registers(self, address, count):
            calls.append(("read_registers", address, count))
            return [41, 42]

        def write_registers(self, address, values):
            calls.append(("write_registers", address, values))
            return "ignored"

    master, sock = connect()
    master.__class__ = Routed
    assert master.read_register(7) == 41
    assert master.write_register(8, 9) is None
    assert calls == [("read_registers", 7, 1), ("write_registers", 8, [9])]
    assert sock.sent == []


def test_read_register_checks_its_result(connect):
    class Odd(ModbusTCPMaster):
        def read_registers(self, address, count):
            return ["7"]

    master, _ = connect()
    master.__class__ = Odd
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        master.read_register(0)


def test_write_registers_limits(connect):
    master, sock = connect()
    sock.queue(mbap(1, H("100000007F")))
    assert master.write_registers(0, list(range(127))) is None
    assert sock.wire[7 + 5] == 254
    with pytest.raises(ValueError, match=r"^bytes must be in range\(0, 256\)$"):
        master.write_registers(0, list(range(128)))
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for >>: 'float' and 'int'$"):
        master.write_registers(0, [1, 2.5])
    with pytest.raises(TypeError, match=r"^Argument 'values' has incorrect type \(expected list, got tuple\)$"):
        master.write_registers(0, (1, 2))
    assert len(sock.sent) == 1 and master._ModbusTCPMaster__head_checker == 2


@pytest.mark.parametrize("values, expected", [
    ([True, False, 3], "0001 0000 0003"),
    ([-2, 2 ** 70 + 0x102], "FFFE 0102"),
])
def test_register_values_of_other_kinds(values, expected):
    command = ModbusTCPMaster.construct_write_registers_command(9, values)
    n = len(values)
    assert command == bytes([0x10, 0, 9, 0, n, 2 * n]) + H(expected.replace(" ", ""))


@pytest.mark.parametrize("method, args, name", [
    ("read_coils", (1, True), "count"), ("read_coils", (1.0, 1), "address"),
    ("read_registers", (None, 1), "address"),
    ("read_register", ("1",), "address"), ("write_register", (1, 2.0), "value"),
    ("write_coil", (False, True), "address"),
    ("construct_read_coils_command", (1, "2"), "count"), ("construct_write_coil_command", (b"1", 1), "address"),
])
def test_entry_checks_send_nothing(connect, method, args, name):
    master, sock = connect()
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got "):
        getattr(master, method)(*args)
    assert sock.sent == []


# operation, arguments, answer PDU, message (the peer text is appended where needed)
ASSERTIONS = {
    "coil byte count wrong": ("read_coils", (0, 9), "0103FF0100", "Data length not match with needed"),
    "coil count field": ("read_coils", (0, 9), "0101FF01", "Feedback for reading coils invalid"),
    "register count field": ("read_registers", (0, 2), "030300010002", "Feedback for reading registers invalid"),
    "register address echo": ("write_registers", (1, [5]), "1000020001", "Write registers to " + PEER + " failed."),
    "register quantity echo": ("write_register", (1, 5), "1000010002", "Write registers to " + PEER + " failed."),
    "address echo": ("write_registers", (1, [5]), "1000020001", "Write registers to " + PEER + " failed."),
    "coil address echo": ("write_coil", (0xAC, True), "0500ADFF00", "Write coil address [172] to " + PEER + " failed."),
    "coil value echo": ("write_coil", (0xAC, True), "0500AC0000", "Write coil address [172] to " + PEER + " failed."),
    "coil pad echo": ("write_coil", (0xAC, False), "0500AC0001", "Write coil address [172] to " + PEER + " failed."),
    "exception to another code": ("read_registers", (0, 1), "8402", "Data length not match with needed"),
    "exception code without its byte": ("read_registers", (0, 0), "83", "Data length not match with needed"),
}


@pytest.mark.parametrize("name, args, answer, message", ASSERTIONS.values(), ids=ASSERTIONS)
def test_checks_raise_assertion_errors(connect, name, args, answer, message):
    master, sock = connect()
    sock.queue(mbap(1, H(answer)))
    with pytest.raises(AssertionError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == message
    assert master.last_feedback_received == mbap(1, H(answer))


def test_short_coil_answer_is_never_decoded(connect):
    master, sock = connect()
    # The answer promises 3 data bytes; 2 arrive, then the server closes.
    sock.queue(mbap(1, H("0102FF01"))[:-1], b"")
    with pytest.raises(ConnectionError, match=r"^Connection closed by \('plc\.example', 1502\)$"):
        master.read_coils(0, 9)


# The two roads: builders reached under the module name may be our own (built in C++)
# or replaced (called through the interpreter, delegating_class in tcp_support.py);
# bytes, results and errors are the same.


ROADS = [
    ("read_coils", (19, 19), "0103CD6B05"),
    ("read_registers", (-1, 2), "030400010002"),
    ("write_registers", (3, [1, -1, 2 ** 64]), "1000030003"),
    ("write_registers", (3, [1.5]), None),
    ("write_registers", (3, [0] * 128), None),
    ("write_register", (2 ** 40, 7), "1000000001"),
    ("write_coil", (4, "x"), "050004FF00"),
    ("read_registers", (0, 1), "8302"),
]


@pytest.mark.parametrize("name, args, answer", ROADS)
def test_fast_and_interpreted_roads_agree(connect, monkeypatch, name, args, answer):
    outcomes = []
    for replace in (False, True):
        if replace:
            monkeypatch.setattr(brel_modbus, "ModbusTCPMaster", delegating_class())
        master, sock = connect()
        if answer is not None:
            sock.queue(mbap(1, H(answer)))
        try:
            outcome = getattr(master, name)(*args)
        except Exception as exc:
            outcome = (type(exc), str(exc))
        outcomes.append((outcome, sock.wire, master.last_feedback_received))
    assert outcomes[0] == outcomes[1]


# ---- ranges and refusals ---------------------------------------------------------------------

@pytest.mark.parametrize("name, args, what, value", [
    ("read_registers", (65536 + 2, 1), "address", 65538),      # would have read register 2
    ("read_registers", (0, 65536), "count", 65536),
    ("read_register", (-1,), "address", -1),
    ("read_coils", (0, -3), "count", -3),
    ("read_coils", (2**70, 1), "address", 2**70),
    ("write_registers", (65537, [5]), "address", 65537),
    ("write_register", (-2, 5), "address", -2),
    ("write_coil", (65536, True), "address", 65536),
])
def test_fields_out_of_range_are_refused_before_sending(connect, name, args, what, value):
    master, sock = connect()
    with pytest.raises(OverflowError) as info:
        getattr(master, name)(*args)
    assert str(info.value) == f"modbus: {what} out of range 0 to 65535: {value}"
    assert sock.sent == [] and master._ModbusTCPMaster__head_checker == 1


@pytest.mark.parametrize("station", [256, -1, 2**64])
def test_station_out_of_range_is_refused_before_connecting(connect, station):
    with pytest.raises(OverflowError, match=rf"^modbus: station out of range 0 to 255: {station}$"):
        ModbusTCPMaster("plc.example", 1502, 1.5, station)
    assert connect.calls == []


@pytest.mark.parametrize("name, args, answer", [
    ("read_registers", (0, 1), "8302"), ("read_coils", (0, 4), "8104"), ("write_registers", (0, [1]), "9006"),
    ("write_coil", (0, True), "8501"), ("write_register", (0, 7), "900B"), ("read_register", (9,), "8302"),
])
def test_exception_answers_say_what_the_slave_said(connect, name, args, answer):
    master, sock = connect(station=9)
    sock.queue(mbap(1, H(answer), unit=9))
    with pytest.raises(brel_modbus.SlaveException) as info:
        getattr(master, name)(*args)
    error = info.value
    assert type(error) is brel_modbus.TCPSlaveException and isinstance(error, AssertionError)
    assert (error.station, error.function_code, error.error_code) == (9, H(answer)[0] & 0x7F, H(answer)[1])
    assert error.args == (9, H(answer)[0], H(answer)[1])
    assert master.last_feedback_received == mbap(1, H(answer), unit=9)


def test_tcp_slave_exception_class():
    cls = brel_modbus.TCPSlaveException
    assert cls.__mro__[1:5] == (brel_modbus.SlaveException, AssertionError, brel_modbus.ModbusError, Exception)
    assert cls.__module__ == "brel_modbus" and cls.__qualname__ == "TCPSlaveException"
    assert str(cls(1, 0x83, 2)) == "modbus slave reports an exception. station: 1, function code: 3, error code: 2"
