"""Fixtures of the ModbusTCPMaster tests: the scripted socket installed through
brel_modbus._tcp_connect, the scripted TCP server and a real pymodbus server."""

import pytest

import brel_modbus
from tcp_support import HOST, PORT, PymodbusServer, ScriptedSocket, scripted_servers


@pytest.fixture
def connect(monkeypatch):
    """connect(station=None) -> (master, scripted socket); records the _tcp_connect calls."""
    calls = []

    def fake_connect(address, timeout=None):
        sock = ScriptedSocket(timeout)
        calls.append((address, timeout, sock))
        return sock

    monkeypatch.setattr(brel_modbus, "_tcp_connect", fake_connect)

    def make(station=None, timeout=1.5):
        if station is None:
            master = brel_modbus.ModbusTCPMaster(HOST, PORT, timeout)
        else:
            master = brel_modbus.ModbusTCPMaster(HOST, PORT, timeout, station)
        return master, calls[-1][2]

    make.calls = calls
    return make


@pytest.fixture
def scripted_server():
    with scripted_servers() as start:
        yield start


@pytest.fixture
def pymodbus_server():
    server = PymodbusServer()
    yield server
    server.stop()
