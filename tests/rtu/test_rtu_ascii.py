"""Master(..., framing="ascii"): Modbus ASCII through AsciiChannel, against a scripted line
(byte for byte, hostile answers) and pymodbus's ASCII framer on a pseudo-terminal pair."""

from __future__ import annotations

import pytest

import brel_modbus

from rtu_support import COILS, HOLDING, STATION, frame
from simulator import PtyRelay, make_context, start_serial_server


def lrc(data: bytes) -> int:
    """The test's own LRC: two's complement of the byte sum."""
    return -sum(data) & 0xFF


def ascii_frame(text: str) -> bytes:
    """':' + hex of the bytes and their LRC + CR LF: ascii_frame("11 03 06 02 2B")."""
    data = bytes.fromhex(text)
    return b":" + (data + bytes((lrc(data),))).hex().upper().encode() + b"\r\n"


@pytest.fixture
def line(channels):
    """A master framing ASCII on a scripted line: (master, line)."""
    master = brel_modbus.Master("/dev/ttyFAKE0", 9600, 1.0, framing="ascii")
    return master, channels[0]


# ---- byte for byte ------------------------------------------------------------------------------

def test_the_standards_example_read(line):
    # The serial line standard's example: station 0x11 reads 3 registers from 0x006B.
    master, channel = line
    channel.answer(ascii_frame("11 03 06 02 2B 00 00 00 64"))
    assert master.read_registers(0x11, 0x6B, 3) == [555, 0, 100]
    assert channel.writes == [b":1103006B00037E\r\n"]
    # the master's record keeps the frames as RTU frames: station, PDU, CRC
    assert master.last_command_sent == frame("11 03 00 6B 00 03")
    assert master.last_feedback_received == frame("11 03 06 02 2B 00 00 00 64")


@pytest.mark.parametrize("call, wire, answer", [
    (lambda m: m.write_register(0x11, 1, 3), b":110600010003E5\r\n", "11 06 00 01 00 03"),
    (lambda m: m.write_coil(1, 0xAC, True), b":010500ACFF004F\r\n", "01 05 00 AC FF 00"),
    (lambda m: m.write_registers(1, 1, [0x000A, 0x0102]), b":01100001000204000A0102DB\r\n", "01 10 00 01 00 02"),
    (lambda m: m.read_coils(4, 0x13, 0x25), b":040100130025C3\r\n", "04 01 05 CD 6B B2 0E 1B"),
])
def test_requests_on_the_wire(line, call, wire, answer):
    master, channel = line
    channel.answer(ascii_frame(answer))
    call(master)
    assert channel.writes == [wire]
    body = wire[1:-4]
    assert int(wire[-4:-2], 16) == lrc(bytes.fromhex(body.decode()))


def test_an_exception_answer(line):
    master, channel = line
    channel.answer(ascii_frame("01 83 02"))
    with pytest.raises(brel_modbus.SlaveException) as info:
        master.read_registers(1, 600, 2)
    assert (info.value.function_code, info.value.error_code) == (3, 2)


@pytest.mark.parametrize("answer, error, text", [
    (b":0103020007F4\r\n", ValueError, "modbus: message from slave with station 1 has lrc error"),
    (b":01030200G7F5\r\n", ValueError, "no hex digit"),
    (b":0103020007F\r\n", ValueError, "odd count of hex digits"),
    (b":0103020007F5\rX", ValueError, "CR but no LF"),
    (b":01\r\n", ValueError, "shorter than a station and a function code"),
    (b":0103020007", OSError, "modbus: read from slave timeout"),   # no CR LF: the frame never ends
    (b"", OSError, "modbus: read from slave timeout"),
], ids=["wrong LRC", "bad hex", "odd digits", "CR without LF", "too short", "no CR LF", "silence"])
def test_a_broken_frame_is_an_error_and_the_next_call_works(line, answer, error, text):
    master, channel = line
    good = ascii_frame("01 03 02 00 07")
    assert good == b":0103020007F3\r\n"
    channel.answer(answer, good)
    with pytest.raises(error, match=text):
        master.read_register(1, 0)
    assert master.last_feedback_received == b""   # nothing decoded
    channel.incoming.clear()   # what is left of the broken frame: stale input
    assert master.read_register(1, 0) == 7


@pytest.mark.parametrize("answer", [
    b"noise" + b":0103020007F3\r\n",         # characters before ':' are dropped
    b":01039999:0103020007F3\r\n",          # a ':' starts the frame again
    b":0103020007f3\r\n",                   # lower-case digits
], ids=["noise first", "restarted", "lower case"])
def test_what_still_makes_a_frame(line, answer):
    master, channel = line
    channel.answer(answer)
    assert master.read_register(1, 0) == 7


def test_a_pause_of_more_than_a_second_within_a_frame(channels):
    # The line's own time-out is 5 s; within a frame the channel waits at most 1 s per
    # character: the scripted line tells a read that found nothing after ':0103'.
    master = brel_modbus.Master("/dev/ttyFAKE0", 9600, 5.0, framing="ascii")
    channel = channels[0]
    channel.answer(b":0103")
    with pytest.raises(OSError, match="more than 1 s between two characters of the answer"):
        master.read_register(1, 0)
    assert ("timeout=", 1.0) in channel.calls
    assert channel.timeout == 5.0 and master.timeout == 5.0


def test_framing_is_the_masters_not_the_channels(channels):
    brel_modbus.Master("/dev/ttyFAKE0", 9600, 1.0, framing="rtu", parity="E")
    brel_modbus.Master("/dev/ttyFAKE0", 9600, 1.0, framing="ascii", parity="E")
    assert [c.opened for c in channels] == [{"port": "/dev/ttyFAKE0", "baudrate": 9600, "timeout": 1.0,
                                             "parity": "E"}] * 2
    with pytest.raises(ValueError, match="framing must be 'rtu' or 'ascii', not 'tcp'"):
        brel_modbus.Master("/dev/ttyFAKE0", 9600, 1.0, framing="tcp")
    assert len(channels) == 2   # refused before the channel is opened


def test_the_channel_underneath_and_its_members(line):
    master, channel = line
    assert isinstance(master.serial, brel_modbus.AsciiChannel) and master.serial.line is channel
    master.timeout = 2
    assert channel.timeout == 2.0
    master.close()
    assert not master.serial.is_open and ("close",) in channel.calls


# ---- pymodbus's ASCII framer on a pseudo-terminal pair ----------------------------------------

@pytest.fixture(scope="module")
def ascii_slave():
    relay = PtyRelay()
    try:
        server = start_serial_server(make_context(), relay.paths[0], ascii=True)
    except BaseException:
        relay.close()
        raise
    try:
        yield relay.paths[1]
    finally:
        server.stop()
        relay.close()


@pytest.fixture
def on_pty(ascii_slave, monkeypatch):
    import brel_linkkit

    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with brel_modbus.Master(ascii_slave, 19200, 1.0, framing="ascii") as master:
        yield master


def test_reads_and_writes_on_pymodbus(on_pty):
    assert on_pty.read_registers(STATION, 0, 10) == HOLDING[:10]
    assert on_pty.read_coils(STATION, 0, 12) == COILS[:12]
    on_pty.write_registers(STATION, 300, [1, 0xFFFF])
    on_pty.write_register(STATION, 302, 0xBEEF)
    assert on_pty.read_registers(STATION, 300, 3) == [1, 0xFFFF, 0xBEEF]
    on_pty.write_float(STATION, 310, 1234.5)
    assert on_pty.read_float(STATION, 310) == 1234.5
    with pytest.raises(brel_modbus.SlaveException):
        on_pty.read_registers(STATION, 600, 2)
    assert on_pty.read_register(STATION, 0) == HOLDING[0]


def test_fix_master_on_pymodbus(ascii_slave, monkeypatch):
    import brel_linkkit

    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with brel_modbus.FixMaster(STATION, ascii_slave, 19200, 1.0, framing="ascii") as fix:
        assert fix.read_registers(0, 3) == HOLDING[:3]
        assert isinstance(fix.master.serial, brel_modbus.AsciiChannel)
