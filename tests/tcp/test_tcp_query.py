"""ModbusTCPMaster.__query over the scripted socket: framing, counter, traffic record,
the failure table, and complete sends and receives."""

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster
from tcp_support import PEER, mbap

H = bytes.fromhex
PDU = H("030000000A")


def query(master, command=PDU, length_needed=None):
    return master._ModbusTCPMaster__query(command, length_needed)


def test_first_queries_frame_count_and_record(connect):
    master, sock = connect()
    sock.queue(mbap(1, H("03020102")), mbap(2, H("0302ABCD")))
    assert query(master) == H("020102")
    assert master.last_command_sent_hex == "00 01 00 00 00 06 01 03 00 00 00 0A"
    assert master.last_feedback_received == mbap(1, H("03020102"))
    assert query(master, length_needed=3) == H("02ABCD")
    assert sock.sent == [mbap(1, PDU), mbap(2, PDU)]
    assert master._ModbusTCPMaster__head_checker == 3
    assert sock.recv_sizes == [8, 3, 8, 3]


def test_transaction_identifier_wraps_only_on_the_wire(connect):
    master, sock = connect()
    master._ModbusTCPMaster__head_checker = 65535
    sock.queue(mbap(65535, H("0300")), mbap(0, H("0300")))
    query(master)
    query(master)
    assert sock.sent == [mbap(65535, PDU), mbap(0, PDU)]
    assert master._ModbusTCPMaster__head_checker == 65537


def test_station_and_protocol_are_read_through_the_instance(connect):
    class Other(ModbusTCPMaster):
        protocol = property(lambda self: 0x0102)
        station = property(lambda self: 0x1FE)

    master, sock = connect()
    master.__class__ = Other
    sock.queue(mbap(1, H("0300"), unit=0xFE, protocol=0x0102))
    assert query(master) == b"\x00"
    assert sock.wire == mbap(1, PDU, unit=0xFE, protocol=0x0102)


def test_builder_looked_up_under_the_module_name_each_call(connect, monkeypatch):
    class Framed(ModbusTCPMaster):
        @staticmethod
        def construct_whole_query_command(command, head_checker, protocol=0, station=1):
            return ModbusTCPMaster.construct_whole_query_command(command, head_checker + 100, protocol, station)

    master, sock = connect()
    monkeypatch.setattr(brel_modbus, "ModbusTCPMaster", Framed)
    sock.queue(mbap(101, H("0300")))
    query(master)
    assert sock.wire == mbap(101, PDU)
    assert master._ModbusTCPMaster__head_checker == 2


@pytest.mark.parametrize("attribute, value, message", [
    ("_ModbusTCPMaster__head_checker", "1", "Argument 'head_checker' has incorrect type (expected int, got str)"),
    ("_ModbusTCPMaster__station", True, "Expected int, got bool"),  # the getter's own check
])
def test_bad_state_fails_in_the_builder_and_changes_nothing(connect, attribute, value, message):
    master, sock = connect()
    setattr(master, attribute, value)
    with pytest.raises(TypeError) as info:
        query(master)
    assert str(info.value) == message
    assert master._ModbusTCPMaster__head_checker == (value if attribute.endswith("head_checker") else 1)
    assert (master.last_command_sent, sock.sent) == (b"", [])


@pytest.mark.parametrize("args, message", [
    ((bytearray(PDU),), "Argument 'command' has incorrect type (expected bytes, got bytearray)"),
    ((PDU, True), "Argument 'length_needed' has incorrect type (expected int, got bool)"),
    ((PDU, 3.0), "Argument 'length_needed' has incorrect type (expected int, got float)"),
])
def test_query_entry_checks(connect, args, message):
    master, sock = connect()
    with pytest.raises(TypeError) as info:
        master._ModbusTCPMaster__query(*args)
    assert str(info.value) == message
    assert sock.sent == [] and master._ModbusTCPMaster__head_checker == 1


# Each case: the segments the socket delivers, length_needed, the exception and its
# text, and what last_feedback_received holds afterwards.
FAILURES = {
    "closed before any byte": ([b""], None, ConnectionError, "Connection closed by " + PEER, b""),
    "nothing within the time-out": ([], None, TimeoutError, "timed out", b""),
    "closed inside the header": ([H("000100"), b""], None, ConnectionError, "Connection closed by " + PEER,
                                 H("000100")),
    "time-out inside the header": ([H("00010000")], None, TimeoutError, "timed out", H("00010000")),
    "other transaction": ([mbap(7, H("0302AABB"))], None, OSError, "Received data header invalid from " + PEER,
                          mbap(7, H("0302AABB"))[:8]),
    "other protocol": ([mbap(1, H("0302AABB"), protocol=1)], None, OSError,
                       "Received data header invalid from " + PEER, mbap(1, H("0302AABB"), protocol=1)[:8]),
    "other unit": ([mbap(1, H("0302AABB"), unit=2)], None, OSError, "Received data header invalid from " + PEER,
                   mbap(1, H("0302AABB"), unit=2)[:8]),
    "closed inside the data": ([mbap(1, H("0304AABB"), length=7), b""], None, ConnectionError,
                               "Connection closed by " + PEER, mbap(1, H("0304AABB"), length=7)),
    "time-out inside the data": ([mbap(1, H("0304AABB"), length=7)], None, TimeoutError, "timed out",
                                 mbap(1, H("0304AABB"), length=7)),
    "declared length differs": ([mbap(1, H("0302AABB"))], 4, AssertionError, "Data length not match with needed",
                                mbap(1, H("0302AABB"))),
    "exception answer, length 4": ([mbap(1, H("9002"))], 4, AssertionError, "Data length not match with needed",
                                   mbap(1, H("9002"))),
    "exception answer, any length": ([mbap(1, H("9002"))], None, AssertionError, "ModbusTCP error code: 0x90",
                                     mbap(1, H("9002"))),
    "exception answer, length 1": ([mbap(1, H("8302"))], 1, brel_modbus.TCPSlaveException,
                                   "modbus slave reports an exception. station: 1, function code: 3, error code: 2",
                                   mbap(1, H("8302"))),
    "other function code, long": ([mbap(1, H("0400"))], None, AssertionError, "ModbusTCP error code: 0x4",
                                  mbap(1, H("0400"))),
}


# Each failure above is raised as the family's class that stands for it, a subclass of the type named.
FAMILY = {TimeoutError: brel_modbus.ModbusTimeoutError, OSError: brel_modbus.MismatchError,
          ConnectionError: brel_modbus.ConnectionClosedError, AssertionError: brel_modbus.MismatchError,
          brel_modbus.TCPSlaveException: brel_modbus.TCPSlaveException}


@pytest.mark.parametrize("segments, needed, error, message, record", FAILURES.values(), ids=FAILURES)
def test_failure_table(connect, segments, needed, error, message, record):
    master, sock = connect()
    master.reconnect = False   # the follow-up below stays on this scripted socket
    master._ModbusTCPMaster__last_feedback_received = b"from an earlier answer"
    sock.queue(*segments)
    with pytest.raises(error) as info:
        query(master, length_needed=needed)
    assert type(info.value) is FAMILY[error] and isinstance(info.value, brel_modbus.ModbusError)
    assert str(info.value) == message
    assert master.last_feedback_received == record
    # the request went out and used up its identifier
    assert master.last_command_sent == sock.wire == mbap(1, PDU)
    assert master._ModbusTCPMaster__head_checker == 2
    # the instance stays usable
    sock.segments.clear()
    sock.queue(mbap(2, H("0300")))
    assert query(master) == b"\x00"


@pytest.mark.parametrize("length, needed, result", [
    (2, None, b""), (2, 0, b""), (1, None, b""), (1, -1, b""), (0, -2, b""),
    (1, 0, AssertionError), (0, None, b""), (0, 0, AssertionError),
])
def test_declared_length_of_two_or_less_reads_nothing_more(connect, length, needed, result):
    master, sock = connect()
    sock.queue(mbap(1, H("03"), length=length) + H("FFFF"))
    if result is AssertionError:
        with pytest.raises(AssertionError, match="^Data length not match with needed$"):
            query(master, length_needed=needed)
    else:
        assert query(master, length_needed=needed) == result
    assert sock.recv_sizes == [8]


def test_big_length_needed_is_compared_not_failed(connect):
    master, sock = connect()
    sock.queue(mbap(1, H("0300")))
    with pytest.raises(AssertionError, match="^Data length not match with needed$"):
        query(master, length_needed=2 ** 100)


def test_answer_in_many_segments_is_received_completely(connect):
    master, sock = connect()
    answer = mbap(1, H("0306000100020003"))
    sock.queue(answer[:1], answer[1:3], answer[3:8], answer[8:9], answer[9:12], answer[12:])
    assert query(master, length_needed=7) == H("06000100020003")
    assert sock.recv_sizes == [8, 7, 5, 7, 6, 3]
    assert master.last_feedback_received == answer


def test_partial_sends_are_completed(connect):
    master, sock = connect()
    sock.send_limit = 5
    sock.queue(mbap(1, H("0300")))
    query(master)
    assert sock.sent == [mbap(1, PDU)[:5], mbap(1, PDU)[5:10], mbap(1, PDU)[10:]]


def test_send_count_that_is_not_a_number_ends_the_send(connect):
    master, sock = connect()
    sock.send = lambda data: sock.sent.append(data)
    sock.queue(mbap(1, H("0300")))
    assert query(master) == b"\x00"
    assert sock.sent == [mbap(1, PDU)]


def test_send_after_close_fails_with_the_socket_error(connect):
    master, sock = connect()
    master.close()
    with pytest.raises(OSError) as info:
        query(master)
    assert info.value.errno == 9
    assert master.last_command_sent == mbap(1, PDU)
    assert master._ModbusTCPMaster__head_checker == 2


def test_bytes_after_the_declared_length_stay_unread_by_this_answer(connect):
    master, sock = connect()
    sock.queue(mbap(1, H("0302AABB")) + H("DEAD"))
    assert query(master) == H("02AABB")
    assert master.last_feedback_received == mbap(1, H("0302AABB"))
