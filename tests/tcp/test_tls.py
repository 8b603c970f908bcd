"""Modbus/TCP Security: ModbusTCPMaster(..., ssl_context=...) against pymodbus's TLS server and
scripted TLS peers, tls_context and certificate_role, with certificates made here by the
openssl command."""

from __future__ import annotations

import os
import pathlib
import shutil
import socket
import ssl

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster, certificate_role, tls_context

from tcp_support import WAIT, ScriptedServer, mbap
from tls_certs import ROLE_OID, Certificates, server_context

pytestmark = pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")


# ---- certificates ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    made = Certificates(tmp_path_factory.mktemp("certificates"))
    made.server = made.server_certificate()
    made.elsewhere = made.issue("elsewhere", "subjectAltName = DNS:device.invalid")
    made.untrusted = made.issue("untrusted", "subjectAltName = IP:127.0.0.1", ca="other_ca")
    made.operator = made.operator_certificate()
    made.printable = made.issue("printable", f"{ROLE_OID} = ASN1:PRINTABLESTRING:Engineer")
    made.number = made.issue("number", f"{ROLE_OID} = ASN1:INTEGER:7")
    return made


# ---- pymodbus's TLS server ------------------------------------------------------------------

@pytest.fixture(scope="module")
def pymodbus_tls(certs):
    from pymodbus.server import ModbusTlsServer
    from simulator import LoopServer, make_context

    server = LoopServer(lambda: ModbusTlsServer(make_context(), address=("127.0.0.1", 0),
                                                sslctx=server_context(certs.server, certs.ca),
                                                ignore_missing_devices=True)).start()
    try:
        yield server.tcp_port
    finally:
        server.stop()


def test_reads_and_writes_over_tls_with_mutual_authentication(certs, pymodbus_tls):
    context = tls_context(certs.ca, *certs.operator)
    with ModbusTCPMaster("127.0.0.1", pymodbus_tls, 2.0, ssl_context=context) as master:
        assert isinstance(master.socket, ssl.SSLSocket)
        assert master.socket.version() in ("TLSv1.2", "TLSv1.3")
        first = master.read_registers(0, 10)
        assert master.last_feedback_received[:9] == bytes.fromhex("00 01 00 00 00 17 01 03 14")
        master.write_registers(50, [1, 2, 3])
        assert master.read_registers(50, 3) == [1, 2, 3]
        master.write_coil(30, True)
        assert master.read_coil(30) is True
        assert master.read_registers(0, 10) == first


@pytest.mark.parametrize("make_context, reason", [
    (lambda c: tls_context(c.other_ca, *c.operator), "certificate verify failed"),
    (lambda c: tls_context(None, *c.operator), "certificate verify failed"),
], ids=["another CA", "the system's CAs"])
def test_a_server_certificate_not_trusted_fails_in_the_constructor(certs, pymodbus_tls, make_context, reason):
    with pytest.raises(ssl.SSLCertVerificationError, match=reason):
        ModbusTCPMaster("127.0.0.1", pymodbus_tls, 2.0, ssl_context=make_context(certs))


@pytest.fixture
def tls_servers(certs):
    """start(*scripts, certificate=certs.server, ca=None): a scripted TLS server on 127.0.0.1."""
    made = []

    def start(*scripts, certificate=None, ca=None, wrap=True):
        server = ScriptedTls(scripts, server_context(certificate or certs.server, ca) if wrap else None)
        made.append(server)
        return server

    yield start
    for server in made:
        assert not server.stop()


class ScriptedTls(ScriptedServer):
    """For each script in turn: accept a connection, make the TLS handshake (unless no
    context), run script(conn, server)."""

    def __init__(self, scripts, context):
        self.scripts, self.context, self.handshakes = scripts, context, 0
        super().__init__(None, len(scripts))

    def _run(self):
        for script in self.scripts:
            try:
                raw, _ = self.listener.accept()
                raw.settimeout(WAIT)
                conn = raw
                if self.context is not None:
                    conn = self.context.wrap_socket(raw, server_side=True)
                    self.handshakes += 1
                with conn:
                    script(conn, self)
            except (ssl.SSLError, ConnectionError):
                continue   # a handshake the client refused: the next connection
            except Exception as exc:   # reported by stop()
                self.errors.append(exc)
                return


def answer_registers(*values):
    def script(conn, server):
        while True:
            try:
                transaction, _, unit, _ = server.request(conn)
            except ConnectionError:
                return
            data = b"".join(v.to_bytes(2, "big") for v in values)
            conn.sendall(mbap(transaction, bytes((3, len(data))) + data, unit))
    return script


def test_the_host_name_is_checked(certs, tls_servers):
    server = tls_servers(answer_registers(1), certificate=certs.elsewhere)
    with pytest.raises(ssl.SSLCertVerificationError, match="mismatch"):
        ModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca))
    assert server.requests == []


def test_verify_false_takes_any_certificate(certs, tls_servers):
    server = tls_servers(answer_registers(7, 8), certificate=certs.untrusted)
    with ModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(verify=False)) as master:
        assert master.read_registers(0, 2) == [7, 8]


def test_a_server_that_wants_a_client_certificate(certs, tls_servers):
    server = tls_servers(answer_registers(1), answer_registers(5), ca=certs.ca)
    # Without one the server refuses: in the handshake (TLS 1.2), or (TLS 1.3, where the
    # client's handshake ends first) with its alert in answer to the first request.
    with pytest.raises(ssl.SSLError):
        with ModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca)) as master:
            master.read_registers(0, 1)
    with ModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca, *certs.operator)) as m:
        assert m.read_registers(0, 1) == [5]


def cut(conn, server):
    """A peer that closes at once (conn is the plain socket: no handshake)."""


def not_tls(conn, server):
    conn.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
    conn.recv(1024)


@pytest.mark.parametrize("script", [cut, not_tls], ids=["cut handshake", "not TLS"])
def test_a_broken_handshake_raises_ssl_error_before_any_request(certs, tls_servers, script):
    server = tls_servers(script, wrap=False)
    with pytest.raises(OSError) as info:
        ModbusTCPMaster("127.0.0.1", server.port, 2.0, ssl_context=tls_context(certs.ca))
    assert isinstance(info.value, (ssl.SSLError, ConnectionResetError))


def garbage_after_handshake(conn, server):
    server.request(conn)
    os.write(conn.fileno(), b"\x17\x03\x03\x00\x05garbage")   # a record no key made
    conn.recv(1)


def close_after_one_answer(conn, server):
    transaction, _, unit, _ = server.request(conn)
    conn.sendall(mbap(transaction, bytes.fromhex("03 02 00 01"), unit))


@pytest.mark.parametrize("first, answered", [
    (garbage_after_handshake, []),
    (close_after_one_answer, [1]),
], ids=["garbage after the handshake", "closed by the server"])
def test_the_next_call_makes_a_new_handshake(certs, tls_servers, first, answered):
    server = tls_servers(first, answer_registers(9))
    with ModbusTCPMaster("127.0.0.1", server.port, 1.0, ssl_context=tls_context(certs.ca)) as master:
        assert [master.read_register(0) for _ in answered] == answered
        # TLS tells a broken record, and a close without its alert, as ssl.SSLError
        with pytest.raises((ssl.SSLError, ConnectionError)):
            master.read_registers(0, 1)
        assert master.read_registers(0, 1) == [9]
        assert isinstance(master.socket, ssl.SSLSocket)
    assert server.handshakes == 2


def test_ssl_context_is_checked_before_connecting():
    with socket.socket() as probe:   # nothing listens there: a connection would be refused
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with pytest.raises(TypeError, match=r"Argument 'ssl_context' has incorrect type \(expected ssl.SSLContext, "
                                        r"got str\)"):
        ModbusTCPMaster("127.0.0.1", port, 1.0, ssl_context="tls")
    with pytest.raises(ConnectionRefusedError):
        ModbusTCPMaster("127.0.0.1", port, 1.0, 1, None)


# ---- tls_context ------------------------------------------------------------------------

def test_tls_context_checks_by_default(certs):
    context = tls_context(certs.ca)
    assert context.verify_mode == ssl.CERT_REQUIRED and context.check_hostname
    assert context.minimum_version == ssl.TLSVersion.TLSv1_2
    assert [c["subject"] for c in context.get_ca_certs()] == [((("commonName", "ca"),),)]


def test_tls_context_without_checks(certs):
    context = tls_context(verify=False)
    assert context.verify_mode == ssl.CERT_NONE and not context.check_hostname
    assert context.minimum_version == ssl.TLSVersion.TLSv1_2


@pytest.mark.parametrize("arguments, error", [
    ({"keyfile": "key.pem"}, ValueError),
    ({"cafile": "/nonexistent/ca.pem"}, OSError),
    ({"certfile": "/nonexistent/me.pem"}, OSError),
])
def test_tls_context_refuses(arguments, error):
    with pytest.raises(error):
        tls_context(**arguments)


# ---- certificate_role --------------------------------------------------------------------

@pytest.mark.parametrize("form", ["path", "pathlib", "PEM text", "PEM bytes", "DER bytes"])
def test_certificate_role_in_every_form(certs, form):
    path = certs.operator[0]
    pem = pathlib.Path(path).read_text()
    given = {"path": path, "pathlib": pathlib.Path(path), "PEM text": pem, "PEM bytes": pem.encode(),
             "DER bytes": ssl.PEM_cert_to_DER_cert(pem)}[form]
    assert certificate_role(given) == "Operator"


def test_certificate_role_of_a_der_file(certs, tmp_path):
    der = tmp_path / "operator.der"
    der.write_bytes(ssl.PEM_cert_to_DER_cert(pathlib.Path(certs.operator[0]).read_text()))
    assert certificate_role(der) == "Operator"


def test_certificate_role_absent_or_another_string_type(certs):
    assert certificate_role(certs.server[0]) is None
    assert certificate_role(certs.ca) is None
    assert certificate_role(certs.printable[0]) == "Engineer"


@pytest.mark.parametrize("cert, text", [
    (b"\x30\x03\x02\x01\x00", "not a DER certificate"),
    (b"not a certificate at all", "not a DER certificate"),
    (b"\x30\x82\xff\xff", "not a DER certificate"),
])
def test_certificate_role_of_no_certificate(cert, text):
    with pytest.raises(ValueError, match=text):
        certificate_role(cert)


def test_certificate_role_that_is_no_string(certs):
    with pytest.raises(ValueError, match="holds no string"):
        certificate_role(certs.number[0])


def test_the_module_exports_them_after_the_classes():
    names = [n for n in vars(brel_modbus) if not n.startswith("__")]
    assert names[names.index("ModbusUDPMaster"):][:3] == ["ModbusUDPMaster", "tls_context", "certificate_role"]
