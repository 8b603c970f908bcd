"""ModbusTCPMaster over real sockets against a scripted server on 127.0.0.1: answers in
pieces, late answers, closed connections and answers with foreign identifiers."""

import socket
import time

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster
from tcp_support import WAIT, mbap, wait_readable

H = bytes.fromhex
TIMEOUT = 0.5


def answer_registers(req, values, transaction=None, protocol=None, unit=None):
    transaction_id, protocol_id, unit_id, pdu = req
    data = b"".join(v.to_bytes(2, "big") for v in values)
    return mbap(transaction_id if transaction is None else transaction, bytes([pdu[0], len(data)]) + data,
                unit=unit_id if unit is None else unit, protocol=protocol_id if protocol is None else protocol)


def connect_to(server, timeout=TIMEOUT):
    return ModbusTCPMaster("127.0.0.1", server.port, timeout)


def peer(server):
    return str(("127.0.0.1", server.port))


def test_answer_byte_by_byte(scripted_server):
    def script(conn, server):
        for values in ([1, 2, 3], [65535]):
            for byte in answer_registers(server.request(conn), values):
                conn.sendall(bytes([byte]))
                time.sleep(0.002)

    server = scripted_server(script)
    with connect_to(server) as master:
        assert master.read_registers(10, 3) == [1, 2, 3]
        assert master.read_register(11) == 65535
        assert master.last_feedback_received_hex == "00 02 00 00 00 05 01 03 02 FF FF"
    assert server.stop() == []
    assert [r[3] for r in server.requests] == [H("03000A0003"), H("03000B0001")]


def test_late_answer_is_discarded_before_the_next_request(scripted_server):
    def script(conn, server):
        late = server.request(conn)
        server.events["client gave up"].wait(WAIT)
        conn.sendall(answer_registers(late, [666]))          # the late answer to request 1
        conn.sendall(answer_registers(server.request(conn), [42]))

    server = scripted_server(script)
    with connect_to(server) as master:
        with pytest.raises(TimeoutError):
            master.read_register(0)
        assert master.last_feedback_received == b""
        server.events["client gave up"].set()
        assert wait_readable(master.socket)  # the late answer waits on the connection now
        assert master.read_register(1) == 42
        assert master.last_feedback_received == answer_registers((2, 0, 1, H("03")), [42])
    assert server.stop() == []


@pytest.mark.parametrize("retries, reconnect", [(0, True), (2, False), (100, True)])
def test_settings_and_the_abandoned_request_are_kept_side_by_side(scripted_server, retries, reconnect):
    """The master's settings and the requests it gave up on live beside it together: each
    keeps its value while the other is used."""
    def script(conn, server):
        late = server.request(conn)
        server.events["client gave up"].wait(WAIT)
        conn.sendall(answer_registers(late, [666]))
        conn.sendall(answer_registers(server.request(conn), [42]))

    server = scripted_server(script)
    with connect_to(server) as master:
        master.reconnect = reconnect
        with pytest.raises(TimeoutError):
            master.read_register(0)
        master.retries = retries
        server.events["client gave up"].set()
        assert wait_readable(master.socket)
        assert master.read_register(1) == 42
        assert (master.retries, master.reconnect) == (retries, reconnect)
    assert server.stop() == []


def test_repeated_answer_after_the_discard_is_skipped(scripted_server):
    """A slave's copy of an answer already taken, arriving after the request that follows
    it went out, is known by its identifiers, read whole and dropped."""
    def script(conn, server):
        first = server.request(conn)
        conn.sendall(answer_registers(first, [1]))
        second = server.request(conn)
        conn.sendall(answer_registers(first, [7, 8, 9]))    # a repeated answer to request 1
        conn.sendall(answer_registers(second, [2]))
        conn.sendall(answer_registers(server.request(conn), [3]))

    server = scripted_server(script)
    with connect_to(server) as master:
        assert master.read_register(0) == 1
        assert master.read_register(0) == 2
        assert master.last_feedback_received == answer_registers((2, 0, 1, H("03")), [2])
        assert master.read_register(0) == 3
    assert server.stop() == []


@pytest.mark.parametrize("field", ["transaction", "protocol", "unit"])
def test_answer_with_foreign_identifier(scripted_server, field):
    def script(conn, server):
        req = server.request(conn)
        wrong = {"transaction": req[0] + 1, "protocol": 1, "unit": req[2] + 1}
        conn.sendall(answer_registers(req, [5], **{field: wrong[field]}))

    server = scripted_server(script)
    with connect_to(server) as master:
        with pytest.raises(OSError) as info:
            master.read_register(0)
        assert type(info.value) is brel_modbus.MismatchError
        assert str(info.value) == "Received data header invalid from " + peer(server)
    assert server.stop() == []


@pytest.mark.parametrize("sent", [0, 5, 9])
def test_server_closes_mid_frame(scripted_server, sent):
    def script(conn, server):
        conn.sendall(answer_registers(server.request(conn), [1, 2])[:sent])
        conn.shutdown(socket.SHUT_WR)
        server.request(conn)                                 # the client does not give up

    server = scripted_server(script)
    with connect_to(server) as master:
        with pytest.raises(OSError) as info:
            master.read_registers(0, 2)
        assert type(info.value) is brel_modbus.ConnectionClosedError
        assert str(info.value) == "Connection closed by " + peer(server)
        assert master.last_feedback_received == answer_registers((1, 0, 1, H("03")), [1, 2])[:sent]
        master.reconnect = False                             # stay on the closed connection
        with pytest.raises(ConnectionError, match=r"^Connection closed by "):
            master.read_registers(0, 2)
    server.stop()


def test_answer_in_two_delayed_pieces_and_a_trailing_byte(scripted_server):
    def script(conn, server):
        frame = answer_registers(server.request(conn), [0x1234, 0x5678])
        conn.sendall(frame[:5])
        time.sleep(0.05)
        conn.sendall(frame[5:10])
        time.sleep(0.05)
        conn.sendall(frame[10:] + b"\xee")                   # one byte beyond the declared length
        conn.sendall(answer_registers(server.request(conn), [9]))

    server = scripted_server(script)
    with connect_to(server) as master:
        assert master.read_registers(0, 2) == [0x1234, 0x5678]
        assert master.read_register(0) == 9
    assert server.stop() == []


def test_write_over_a_real_socket(scripted_server):
    def script(conn, server):
        for _ in range(2):
            transaction, protocol, unit, pdu = server.request(conn)
            conn.sendall(mbap(transaction, pdu[:5], unit=unit, protocol=protocol))

    server = scripted_server(script)
    with connect_to(server) as master:
        master.write_registers(3, list(range(100)))
        master.write_coil(4, True)
    assert server.stop() == []
    assert server.requests[0][3] == H("1000030064C8") + b"".join(
        v.to_bytes(2, "big") for v in range(100))
    assert server.requests[1][3] == H("050004FF00")


def test_refused_connection_passes_the_socket_error():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    with pytest.raises(ConnectionRefusedError):
        ModbusTCPMaster("127.0.0.1", port, TIMEOUT)
