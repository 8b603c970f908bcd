"""Modbus/TCP Security on AsyncModbusTCPMaster(..., ssl_context=...): against pymodbus's TLS server
and scripted TLS peers, with certificates made by the openssl command; a failed handshake fails
the call (or connect()) with ssl.SSLError before any request is sent, and the master goes on."""

import shutil
import ssl

import pytest

import test_async_tcp_master as scripted
import test_tls
from brel_modbus import AsyncModbusTCPMaster, tls_context
from test_tls import ScriptedTls, answer_registers
from tls_certs import server_context

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")

# the fixtures: each test on the default loop and on uvloop; the certificates; pymodbus's TLS server
run = scripted.run
certs = test_tls.certs
pymodbus_tls = test_tls.pymodbus_tls


class FirstPlain(ScriptedTls):
    """Its first connection gets no handshake from the server side (the script runs on the
    plain socket), every later one a TLS handshake."""

    def _run(self):
        context, self.context = self.context, None
        first, *rest = self.scripts
        self.scripts = [first]
        super()._run()
        self.context, self.scripts = context, rest
        super()._run()


@pytest.fixture
def servers():
    made = []

    def start(server):
        made.append(server)
        return server

    yield start
    for server in made:
        assert not server.stop()


def test_reads_and_writes_over_tls_with_mutual_authentication(certs, pymodbus_tls, run):
    async def body():
        context = tls_context(certs.ca, *certs.operator)
        async with AsyncModbusTCPMaster("127.0.0.1", pymodbus_tls, 2.0, ssl_context=context) as master:
            assert master.transport.get_extra_info("ssl_object").version() in ("TLSv1.2", "TLSv1.3")
            await master.write_registers(60, [4, 5, 6])
            assert await master.read_registers(60, 3) == [4, 5, 6]
            assert master.last_feedback_received == bytes.fromhex("00 02 00 00 00 09 01 03 06 00 04 00 05 00 06")
            await master.write_coil(31, True)
            assert await master.read_coil(31) is True
    run(body)


@pytest.mark.parametrize("connect_first", [False, True], ids=["call", "connect"])
def test_an_untrusted_server_fails_the_call_before_any_request(certs, pymodbus_tls, run, connect_first):
    async def body():
        master = AsyncModbusTCPMaster("127.0.0.1", pymodbus_tls, 2.0, ssl_context=tls_context(certs.other_ca))
        for _ in range(2):   # and again on the next try: the context has not changed
            with pytest.raises(ssl.SSLCertVerificationError, match="certificate verify failed"):
                await (master.connect() if connect_first else master.read_registers(0, 1))
        assert master.transport is None and master.last_command_sent == b""
        await master.close()
        # the server serves a master whose context trusts it
        context = tls_context(certs.ca, *certs.operator)
        async with AsyncModbusTCPMaster("127.0.0.1", pymodbus_tls, 2.0, ssl_context=context) as trusted:
            assert len(await trusted.read_registers(0, 2)) == 2
    run(body)


def test_the_host_name_is_checked(certs, servers, run):
    server = servers(ScriptedTls([answer_registers(1)], server_context(certs.elsewhere, None)))

    async def body():
        master = AsyncModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca))
        with pytest.raises(ssl.SSLCertVerificationError, match="mismatch"):
            await master.read_registers(0, 1)
        assert master.last_command_sent == b""
        await master.close()
    run(body)
    assert server.requests == []


def cut(conn, server):
    """Closes at once: the client's handshake gets no answer."""


def not_tls(conn, server):
    conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
    conn.recv(1024)


@pytest.mark.parametrize("script", [cut, not_tls], ids=["cut handshake", "not TLS"])
def test_a_broken_handshake_fails_the_call_then_the_next_call_works(certs, servers, run, script):
    server = servers(FirstPlain([script, answer_registers(7, 8)], server_context(certs.server, None)))

    async def body():
        master = AsyncModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca))
        records = []
        master.trace = records.append
        with pytest.raises(ssl.SSLError) as info:
            await master.read_registers(0, 2)
        if script is cut:   # as the synchronous master's handshake tells it
            assert type(info.value) is ssl.SSLEOFError and info.value.errno == ssl.SSL_ERROR_EOF
            assert str(info.value).startswith("EOF occurred in violation of protocol")
        assert records == [] and master.last_command_sent == b""
        assert await master.read_registers(0, 2) == [7, 8]
        assert [r.direction for r in records] == ["sent", "received"]
        await master.close()
    run(body)
    assert server.requests[0][3] == b"\x03\x00\x00\x00\x02"
    assert server.handshakes == 1


def test_each_new_connection_makes_its_handshake(certs, servers, run):
    scripts = [test_tls.close_after_one_answer, answer_registers(9)]
    server = servers(ScriptedTls(scripts, server_context(certs.server, None)))

    async def body():
        async with AsyncModbusTCPMaster("127.0.0.1", server.port, 1.0, ssl_context=tls_context(certs.ca)) as master:
            assert await master.read_register(0) == 1
            with pytest.raises((ssl.SSLError, ConnectionError)):
                await master.read_register(0)
            assert await master.read_register(0) == 9
            assert master.transport.get_extra_info("ssl_object") is not None
    run(body)
    assert server.handshakes == 2


def test_ssl_context_is_checked_at_the_constructor():
    with pytest.raises(TypeError, match="ssl_context"):
        AsyncModbusTCPMaster("127.0.0.1", 1, 1.0, ssl_context="ca.pem")
    with pytest.raises(TypeError):
        AsyncModbusTCPMaster("127.0.0.1", 1, 1.0, 1, 1, None)   # keyword only
