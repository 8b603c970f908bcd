"""ModbusTCPMaster after its connection breaks: the call that finds the connection closed
raises ConnectionError naming the peer, the next call opens a new connection first (unless
`reconnect` is off or the master was closed); with `retries` the failed request itself is
sent again, on the new connection. Against scripted servers; tests/reliability has a real
pymodbus server that restarts."""

import struct

import pytest

import brel_modbus
from tcp_support import mbap

TIMEOUT = 0.5


def registers(request):
    transaction, protocol, unit, pdu = request
    address, count = struct.unpack(">HH", pdu[1:5])
    data = b"".join((address + i).to_bytes(2, "big") for i in range(count))
    return mbap(transaction, bytes((3, len(data))) + data, unit=unit, protocol=protocol)


def serve(answered, connections):
    """Each connection answers `answered` requests, then closes (an idle PLC)."""
    def script(conn, server):
        for _ in range(answered):
            conn.sendall(registers(server.request(conn)))
    return script, connections


def peer(server):
    return str(("127.0.0.1", server.port))


def test_the_next_call_reconnects(scripted_server):
    server = scripted_server(*serve(1, 2))
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        assert master.reconnect is True
        assert master.read_registers(5, 2) == [5, 6]
        first = master.socket
        with pytest.raises(ConnectionError) as info:
            master.read_registers(5, 2)
        # The peer's close, seen as the end of the stream or, when the request met the closed
        # socket first, as its reset: both a ConnectionError, an IOError.
        assert isinstance(info.value, IOError)
        if type(info.value) is ConnectionError:
            assert str(info.value) == "Connection closed by " + peer(server)
        assert master.socket is first                      # nothing is done behind the caller's back
        assert master.read_registers(7, 1) == [7]          # a new connection, the same time-out
        assert master.socket is not first and master.timeout == TIMEOUT
        assert first.fileno() == -1                        # the old one closed
    server.stop()


def test_no_reconnect_when_switched_off(scripted_server):
    server = scripted_server(*serve(1, 1))
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        master.reconnect = False
        master.read_registers(0, 1)
        for _ in range(2):
            with pytest.raises(ConnectionError):
                master.read_registers(0, 1)
    server.stop()


def test_a_closed_master_is_not_reopened(scripted_server):
    server = scripted_server(*serve(1, 1))
    master = brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT)
    master.read_registers(0, 1)
    master.close()
    with pytest.raises(OSError):
        master.read_registers(0, 1)
    assert master.socket.fileno() == -1
    server.stop()


@pytest.mark.parametrize("retries, succeeds", [(0, False), (1, True), (3, True)])
def test_retries_send_the_request_again_on_the_new_connection(scripted_server, retries, succeeds):
    server = scripted_server(*serve(1, 2))
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        master.retries = retries
        master.read_registers(0, 1)
        if succeeds:
            assert master.read_registers(9, 2) == [9, 10]
        else:
            with pytest.raises(ConnectionError):
                master.read_registers(9, 2)
    server.stop()


def test_time_outs_and_mismatches_are_retried_refusals_are_not(scripted_server):
    def script(conn, server):
        server.request(conn)                                        # 1: no answer, a time-out
        server.request(conn)
        conn.sendall(mbap(0x4444, bytes((3, 2, 0, 1))))             # 2: a stranger answers
        conn.sendall(registers(server.request(conn)))               # 3: the answer
        request = server.request(conn)
        conn.sendall(mbap(request[0], bytes((0x83, 2))))            # 4: a refusal, not retried

    server = scripted_server(script)
    with brel_modbus.ModbusTCPMaster("127.0.0.1", server.port, TIMEOUT) as master:
        master.retries = 3
        assert master.read_registers(3, 1) == [3]
        with pytest.raises(brel_modbus.SlaveException):
            master.read_registers(3, 1)
        assert master._ModbusTCPMaster__head_checker == 5         # 3 attempts, then 1
    server.stop()
