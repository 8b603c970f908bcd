"""The brel-modbus command on the transports beyond Modbus TCP and RTU: udp://, rtu+tcp://,
--framing ascii and tls:// (with its certificate options), against the simulated slaves."""

from __future__ import annotations

import shutil

import pytest

from simulator import HOLDING, STATION, LoopServer, SimulatedSlaves
from test_cli import csv_rows, ok, one_line, run

NEW_ROADS = ["udp", "rtu+tcp", "ascii"]


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


def target(slaves, road):
    if road == "udp":
        return [f"udp://127.0.0.1:{slaves.udp_port}"]
    if road == "rtu+tcp":
        return [slaves.rtu_url.replace("socket://", "rtu+tcp://", 1)]
    return [slaves.ascii_port, "--parity", "N", "--framing", "ascii"]   # a pseudo-terminal refuses parity E


@pytest.mark.parametrize("road", NEW_ROADS)
def test_read_and_write_on_every_new_road(slaves, road):
    rows = csv_rows(ok("read", *target(slaves, road), "-s", STATION, "--address", 5, "-c", 4, "--output", "csv"))
    assert [int(r["value"]) for r in rows] == HOLDING[5:9]
    address = 470 + NEW_ROADS.index(road)
    ok("write", *target(slaves, road), "-s", STATION, "--address", address, 4242)
    assert slaves.holding(address, 1) == [4242]


@pytest.fixture(scope="module")
def tls_slave(slaves, tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("needs the openssl command")
    from pymodbus.server import ModbusTlsServer

    from tls_certs import Certificates, server_context

    certs = Certificates(tmp_path_factory.mktemp("cli-tls"))
    certificate = certs.server_certificate()
    certs.client = certs.operator_certificate()
    server = LoopServer(lambda: ModbusTlsServer(slaves.context, address=("127.0.0.1", 0),
                                                sslctx=server_context(certificate, certs.ca),
                                                ignore_missing_devices=True)).start()
    certs.target = f"tls://127.0.0.1:{server.tcp_port}"
    try:
        yield certs
    finally:
        server.stop()


def test_tls_with_certificates(tls_slave):
    certificate, key = tls_slave.client
    rows = csv_rows(ok("read", tls_slave.target, "--cafile", tls_slave.ca, "--certfile", certificate, "--keyfile",
                       key, "-s", STATION, "--address", 0, "-c", 3, "--output", "csv"))
    assert [int(r["value"]) for r in rows] == HOLDING[:3]


@pytest.mark.parametrize("options, says", [
    (lambda c: ["--cafile", c.other_ca, "--certfile", c.client[0], "--keyfile", c.client[1]],
     "certificate verify failed"),
    (lambda c: ["--cafile", "/nonexistent/ca.pem"], "No such file"),
], ids=["another CA", "no such CA file"])
def test_tls_failures_are_one_line(tls_slave, options, says):
    code, _, err = run("read", tls_slave.target, *options(tls_slave), "-s", STATION, "--address", 0)
    line = one_line(err)
    assert code == 1 and line.startswith(f"brel-modbus: connection: cannot connect to {tls_slave.target}")
    assert says in line


def test_insecure_takes_any_certificate(tls_slave):
    certificate, key = tls_slave.client
    rows = csv_rows(ok("read", tls_slave.target, "--insecure", "--certfile", certificate, "--keyfile", key,
                       "-s", STATION, "--address", 0, "-c", 1, "--output", "csv"))
    assert [int(r["value"]) for r in rows] == HOLDING[:1]
