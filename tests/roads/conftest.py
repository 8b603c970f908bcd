"""Fixtures of the roads tests: the scripted channel and socket that answer from the slave model,
installed through brel_modbus.create_serial_instance and brel_modbus._tcp_connect."""

import pytest

import brel_modbus
from roads_support import AnsweringChannel, AnsweringSocket


@pytest.fixture
def rtu_channels(monkeypatch):
    made = []

    def factory(**kwargs):
        made.append(AnsweringChannel(**kwargs))
        return made[-1]

    monkeypatch.setattr(brel_modbus, "create_serial_instance", factory)
    return made


@pytest.fixture
def tcp_sockets(monkeypatch):
    made = []

    def connect(address, timeout=None):
        made.append(AnsweringSocket(timeout))
        return made[-1]

    monkeypatch.setattr(brel_modbus, "_tcp_connect", connect)
    return made
