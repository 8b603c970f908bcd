"""Every Python example of the user guide and of the package index page runs against the simulated slaves."""

import re
import shutil
from pathlib import Path

import pytest

from simulator import SimulatedSlaves

DOCS = Path(__file__).resolve().parent.parent / "docs"
GUIDE = DOCS / "guide.md"
INDEX_PAGE = DOCS / "pypi.md"   # the long description of the package


def python_blocks(path):
    return re.findall(r"```python\n(.*?)```", path.read_text(encoding="utf-8"), flags=re.S)


BLOCKS = python_blocks(GUIDE)


@pytest.fixture(scope="module")
def slaves(tmp_path_factory):
    with SimulatedSlaves() as running:
        if shutil.which("openssl") is None:
            running.tls = None
            yield running
            return
        running.tls = tls_slave(running, tmp_path_factory.mktemp("tls"))
        try:
            yield running
        finally:
            running.tls.stop()


def tls_slave(slaves, directory):
    """A pymodbus TLS server on the simulator's datastore, asking for a client certificate;
    its certificates in `files` under the guide's names."""
    from pymodbus.server import ModbusTlsServer
    from simulator import LoopServer
    from tls_certs import Certificates, server_context

    certs = Certificates(directory)
    server_certificate = certs.server_certificate()
    operator, key = certs.operator_certificate()
    server = LoopServer(lambda: ModbusTlsServer(slaves.context, address=("127.0.0.1", 0),
                                                sslctx=server_context(server_certificate, certs.ca),
                                                ignore_missing_devices=True)).start()
    server.files = {'"ca.pem"': repr(certs.ca), '"operator.pem"': repr(operator), '"operator.key"': repr(key)}
    return server


def localise(code, slaves):
    """The guide's device names, hosts, ports and files replaced by the simulator's."""
    if "ssl_context" in code:
        if slaves.tls is None:
            pytest.skip("needs the openssl command")
        for placeholder, actual in slaves.tls.files.items():
            code = code.replace(placeholder, actual)
        code = code.replace('"192.168.1.62", 802', f'"127.0.0.1", {slaves.tls.tcp_port}')
    replacements = {
        '"/dev/ttyUSB0"': repr(slaves.serial_port),
        # a pseudo-terminal refuses parity settings: this port goes to the RTU-over-TCP slave
        '"/dev/ttyUSB1"': repr(slaves.rtu_url),
        '"/dev/ttyUSB2"': repr(slaves.ascii_port),
        '"socket://192.168.1.50:4001"': repr(slaves.rtu_url),
        '"rtu+tcp://192.168.1.50:4001"': repr(slaves.rtu_url.replace("socket://", "rtu+tcp://", 1)),
        '"192.168.1.60", 502': f'"127.0.0.1", {slaves.tcp_port}',
        '"192.168.1.61", 502': f'"127.0.0.1", {slaves.udp_port}',
    }
    for placeholder, actual in replacements.items():
        code = code.replace(placeholder, actual)
    return code


def test_guide_has_examples():
    assert len(BLOCKS) >= 8


def run_example(slaves, capsys, path, index, block):
    code = localise(block, slaves)
    assert "ttyUSB" not in code and "192.168." not in code
    exec(compile(code, f"{path.name} example {index + 1}", "exec"), {"__name__": "guide_example"})
    out = capsys.readouterr().out
    if "print(" in code:
        assert out.strip(), "the example printed nothing"


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_guide_example_runs(slaves, index, capsys):
    run_example(slaves, capsys, GUIDE, index, BLOCKS[index])


def test_index_page_has_an_rtu_and_a_tcp_example():
    blocks = python_blocks(INDEX_PAGE)
    assert len(blocks) == 2 and "Master(" in blocks[0] and "ModbusTCPMaster(" in blocks[1]


@pytest.mark.parametrize("index", range(len(python_blocks(INDEX_PAGE))))
def test_index_page_example_runs(slaves, index, capsys):
    run_example(slaves, capsys, INDEX_PAGE, index, python_blocks(INDEX_PAGE)[index])
