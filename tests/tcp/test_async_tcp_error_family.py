"""The family of errors through AsyncModbusTCPMaster: each failure is an instance of its family
class and of the type ModbusTCPMaster raises for it, with the same text, against scripted
asyncio peers; the trace names the same outcome; a call after close() is the master's misuse,
a connection the peer closed is not."""

import asyncio

import pytest

import test_async_tcp_master as scripted
from brel_modbus import (
    AsyncModbusTCPMaster, ConnectionClosedError, MasterClosedError, MismatchError, ModbusError, ModbusTimeoutError,
    TCPSlaveException)
from tcp_support import mbap
from test_async_tcp_master import TIMEOUT, Peer, answer_all, registers_answer

run = scripted.run   # the fixture: each test on the default loop and on uvloop

REFUSED = "modbus slave reports an exception. station: 1, function code: 3, error code: 2"
HEADER = "Received data header invalid from "
CLOSED = "Connection closed by "


def answer_pdu(transaction, unit, pdu):
    return registers_answer(transaction, unit, pdu)[7:]


# fault -> (the answer's segments for (transaction, unit, pdu), None: close the connection;
#           family class, the type raised before, text (the peer's address appended when it ends
#           with "by " or "from "), the trace's outcome)
FAULTS = {
    "silent": (lambda t, u, p: [], ModbusTimeoutError, TimeoutError, "timed out", "timeout"),
    "short": (lambda t, u, p: [registers_answer(t, u, p)[:-1], None], ConnectionClosedError, ConnectionError,
              CLOSED, "connection closed"),
    "unit": (lambda t, u, p: [mbap(t, answer_pdu(t, u, p), unit=u + 1)], MismatchError, OSError, HEADER,
             "mismatch"),
    "transaction": (lambda t, u, p: [mbap(t + 0x100, answer_pdu(t, u, p), unit=u)], MismatchError, OSError, HEADER,
                    "mismatch"),
    "code": (lambda t, u, p: [mbap(t, b"\x04" + answer_pdu(t, u, p)[1:], unit=u)], MismatchError, AssertionError,
             "ModbusTCP error code: 0x4", "mismatch"),
    "length": (lambda t, u, p: [mbap(t, answer_pdu(t, u, p), unit=u, length=len(answer_pdu(t, u, p)))], MismatchError,
               AssertionError, "Data length not match with needed", "mismatch"),
    "refused": (lambda t, u, p: [mbap(t, b"\x83\x02", unit=u)], TCPSlaveException, AssertionError, REFUSED,
                "refusal"),
}


def check(error, family, former, text, peer):
    assert type(error) is family
    assert isinstance(error, former) and isinstance(error, ModbusError)
    if text.endswith(("by ", "from ")):
        text += str(("127.0.0.1", peer.port))
    assert str(error) == text


@pytest.mark.parametrize("kind", FAULTS)
def test_each_failure_is_of_its_family_and_its_former_type(run, kind):
    segments, family, former, text, outcome = FAULTS[kind]

    async def script(reader, writer, peer):
        for segment in segments(*await peer.request(reader)):
            if segment is None:
                return
            writer.write(segment)
        await answer_all(reader, writer, peer)

    async def body():
        async with Peer(script) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                master.reconnect = False
                records = []
                master.trace = records.append
                with pytest.raises(ModbusError) as info:
                    await master.read_registers(0, 2)
                check(info.value, family, former, text, peer)
                assert [r.outcome for r in records] == [None, outcome]
    run(body)


def test_a_call_after_close_is_a_closed_master(run):
    """As ModbusTCPMaster after close(): MasterClosedError, the socket's OSError errno 9; a call
    waiting when close() came and a connection the peer closed are closed connections."""
    async def silent(reader, writer, peer):
        while True:
            await peer.request(reader)

    async def body():
        async with Peer(silent) as peer:
            master = AsyncModbusTCPMaster("127.0.0.1", peer.port, 5.0)
            await master.connect()
            waiting = asyncio.ensure_future(master.read_registers(0, 1))
            await asyncio.sleep(0)
            await master.close()
            with pytest.raises(ConnectionClosedError) as info:
                await waiting
            check(info.value, ConnectionClosedError, ConnectionError, CLOSED, peer)
            for call in (lambda: master.read_registers(0, 1), lambda: master.write_register(0, 1), master.connect,
                         master.__aenter__):
                with pytest.raises(MasterClosedError) as info:
                    await call()
                check(info.value, MasterClosedError, OSError, "[Errno 9] Bad file descriptor", peer)
                assert info.value.errno == 9 and not isinstance(info.value, ConnectionError)
            assert peer.connections == 1   # never reconnected
            assert len(peer.requests) <= 1
    run(body)


def test_a_connection_the_peer_closed_is_no_closed_master(run):
    async def closes(reader, writer, peer):
        await peer.request(reader)

    async def body():
        async with Peer(closes) as peer:
            async with AsyncModbusTCPMaster("127.0.0.1", peer.port, TIMEOUT) as master:
                master.reconnect = False
                for _ in range(2):   # the call that met it, then the next one
                    with pytest.raises(ConnectionClosedError) as info:
                        await master.read_registers(0, 1)
                    check(info.value, ConnectionClosedError, ConnectionError, CLOSED, peer)
    run(body)
