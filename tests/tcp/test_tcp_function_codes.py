"""ModbusTCPMaster on codes 8, 17, 20, 21 and 24 and raw requests, over the scripted socket:
the standard's example PDUs, answers that do not belong, arguments refused before sending;
the serial-line-only codes are not members."""

import pytest

from brel_modbus import ModbusStatic, ModbusTCPMaster, TCPSlaveException
from tcp_support import mbap


def pdu(text):
    return bytes.fromhex(text.replace(" ", ""))


EXAMPLES = {
    "return query data": ("diagnostics", (0, b"\xA5\x37"), "08 0000 A537", "08 0000 A537", b"\xA5\x37"),
    "clear counters": ("diagnostics", (ModbusStatic.DIAG_CLEAR_COUNTERS_AND_DIAGNOSTIC_REGISTER,), "08 000A 0000",
                       "08 000A 0000", b"\x00\x00"),
    "server id": ("report_server_id", (), "11", "11 03 07 00 FF", b"\x07\x00\xFF"),
    "file records": ("read_file_record", ([(4, 1, 2), (3, 9, 2)],),
                     "14 0E 06 0004 0001 0002 06 0003 0009 0002", "14 0C 05 06 0DFE 0020 05 06 33CD 0040",
                     [[0x0DFE, 0x0020], [0x33CD, 0x0040]]),
    "write file record": ("write_file_record", ([(4, 7, [0x06AF, 0x04BE, 0x100D])],),
                          "15 0D 06 0004 0007 0003 06AF 04BE 100D", "15 0D 06 0004 0007 0003 06AF 04BE 100D", None),
    "fifo": ("read_fifo_queue", (0x04DE,), "18 04DE", "18 0006 0002 01B8 1284", [0x01B8, 0x1284]),
    "raw, MBAP length": ("execute", (0x41, b"\x01"), "41 01", "41 01 02 03 04", b"\x01\x02\x03\x04"),
    "raw, no data": ("execute", (0x41, b"", 0), "41", "41", b""),
    "raw, own length": ("execute", (0x41, b"", 2), "41", "41 AA BB", b"\xAA\xBB"),
    "raw, callable": ("execute", (0x41, b"", lambda so_far: 1 if len(so_far) < 2 else 2 + so_far[1] - len(so_far)),
                      "41", "41 02 AA BB", b"\x02\xAA\xBB"),
    "raw, public code": ("execute", (17, b""), "11", "11 02 07 FF", b"\x02\x07\xFF"),
}


@pytest.mark.parametrize("name, args, request_pdu, answer_pdu, result", EXAMPLES.values(), ids=EXAMPLES)
def test_the_standards_examples(connect, name, args, request_pdu, answer_pdu, result):
    master, sock = connect(station=7)
    sock.queue(mbap(1, pdu(answer_pdu), unit=7))
    assert getattr(master, name)(*args) == result
    assert sock.wire == mbap(1, pdu(request_pdu), unit=7)
    assert master.last_feedback_received == mbap(1, pdu(answer_pdu), unit=7)


def invalid(what):
    return f"Feedback for {what} invalid"


@pytest.mark.parametrize("name, args, answer_pdu, text", [
    ("diagnostics", (0, b"\xA5\x37"), "08 0001 A537", invalid("diagnostics")),
    ("diagnostics", (0, b"\xA5\x37"), "08 0000 A536", invalid("diagnostics")),
    ("diagnostics", (0, b"\xA5\x37"), "08 0000 A5", "Data length not match with needed"),
    ("report_server_id", (), "11 04 07 00 FF", invalid("reporting the server id")),   # one byte short
    ("report_server_id", (), "11 02 07 00 FF", invalid("reporting the server id")),   # one byte over
    ("read_file_record", ([(4, 1, 2)],), "14 06 05 07 0DFE 0020", invalid("reading file records")),
    ("read_file_record", ([(4, 1, 2)],), "14 06 05 06 0DFE 00", invalid("reading file records")),
    ("read_file_record", ([(4, 1, 1)],), "14 06 05 06 0DFE 0020", invalid("reading file records")),
    ("write_file_record", ([(4, 7, [1])],), "15 09 06 0004 0007 0001 0002", invalid("writing file records")),
    ("read_fifo_queue", (1,), "18 0004 0002 01B8 1284", invalid("reading the FIFO queue")),
    ("read_fifo_queue", (1,), "18 0042 0020" + "0001" * 32, invalid("reading the FIFO queue")),
    ("execute", (0x41, b"", 3), "41 01 02", "Data length not match with needed"),
    ("execute", (0x41, b"", lambda so_far: 2 - len(so_far)), "41 01 02", invalid("the request")),
    ("execute", (3, b"\x00\x00\x00\x01"), "03 02 00 01 00", invalid("the request")),
    ("execute", (0x41, b""), "42 01", "ModbusTCP error code: 0x42"),
])
def test_answers_that_do_not_belong(connect, name, args, answer_pdu, text):
    master, sock = connect()
    sock.queue(mbap(1, pdu(answer_pdu)))
    with pytest.raises(AssertionError, match=text):
        getattr(master, name)(*args)


@pytest.mark.parametrize("name, args, code", [
    ("diagnostics", (1,), 0x88),
    ("report_server_id", (), 0x91),
    ("read_file_record", ([(4, 1, 2)],), 0x94),
    ("write_file_record", ([(4, 1, [2])],), 0x95),
    ("read_fifo_queue", (5,), 0x98),
    ("execute", (0x41, b""), 0xC1),
])
def test_exception_answers(connect, name, args, code):
    master, sock = connect(station=3)
    sock.queue(mbap(1, bytes((code, 1)), unit=3))
    with pytest.raises(TCPSlaveException) as caught:
        getattr(master, name)(*args)
    assert caught.value.args == (3, code, 1)


@pytest.mark.parametrize("name, args, error, text", [
    ("diagnostics", (-1,), OverflowError, "sub_function out of range 0 to 65535"),
    ("diagnostics", (0, bytes(251)), ValueError, "at most 250 bytes"),
    ("read_file_record", ([(1, 10000, 1)],), ValueError, "record must be from 0 to 9999"),
    ("write_file_record", ([(1, 1, [-1])],), OverflowError, "value out of range 0 to 65535"),
    ("read_fifo_queue", (0x10000,), OverflowError, "address out of range 0 to 65535"),
    ("execute", (0, b""), ValueError, "function_code must be from 1 to 127"),
    ("execute", (3, "x"), TypeError, "data"),
    ("execute", (0x41, b"", -1), OverflowError, "length out of range 0 to 252"),
    ("execute", (0x41, b"", "2"), TypeError, "length must be None, an int or a callable, not str"),
])
def test_arguments_refused_before_sending(connect, name, args, error, text):
    master, sock = connect()
    with pytest.raises(error, match=text):
        getattr(master, name)(*args)
    assert sock.sent == []


@pytest.mark.parametrize("name", ["read_exception_status", "get_comm_event_counter", "get_comm_event_log"])
def test_serial_line_only_codes_are_not_members(name):
    assert not hasattr(ModbusTCPMaster, name)


@pytest.mark.parametrize("name, args, answer_pdu, result", [
    ("report_server_id", (), "11 02 07 FF", b"\x07\xFF"),
    ("execute", (0x41, b"\x01"), "41 09", b"\x09"),
    ("write_file_record", ([(1, 2, [3])],), "15 09 06 0001 0002 0001 0003", None),
])
def test_retries_send_again_on_a_new_connection(scripted_server, name, args, answer_pdu, result):
    connections = []

    def script(conn, server):
        connections.append(conn)
        transaction, protocol, unit, _ = server.request(conn)
        if len(connections) == 2:   # the first connection closes without an answer
            conn.sendall(mbap(transaction, pdu(answer_pdu), unit=unit, protocol=protocol))

    server = scripted_server(script, 2)
    with ModbusTCPMaster("127.0.0.1", server.port, 0.5) as master:
        master.retries = 1
        assert getattr(master, name)(*args) == result
    server.stop()
    assert [request[3][0] for request in server.requests] == [pdu(answer_pdu)[0]] * 2
