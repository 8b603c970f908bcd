"""One master shared by several threads, against the simulated slaves (Modbus TCP, RTU
through a TCP serial server and RTU over a pseudo-terminal pair): each thread gets the
answer to its own request, every time."""

from __future__ import annotations

import threading

import pytest

import brel_linkkit
import brel_modbus
from simulator import HOLDING, STATION, SimulatedSlaves

THREADS = 4
ROUNDS = 40


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


def make(kind, slaves):
    if kind == "tcp":
        return brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0)
    port = slaves.serial_port if kind == "pty" else slaves.rtu_url
    if kind == "fixed":
        return brel_modbus.FixMaster(STATION, port, 19200, 2.0)
    return brel_modbus.Master(port, 19200, 2.0)


def reader(kind, master, index):
    """What one thread asks for: its own addresses and counts, so any mix-up shows."""
    def read(round_):
        address = 10 * index + round_ % 7
        count = 1 + (index + round_) % 5
        expected = HOLDING[address:address + count]
        if kind == "tcp":
            got = master.read_registers(address, count)
        elif kind == "fixed":
            got = master.read_registers(address, count)
        else:
            got = master.read_registers(STATION, address, count)
        return got, expected
    return read


@pytest.mark.parametrize("kind", ["tcp", "socket", "pty", "fixed"])
def test_threads_sharing_one_master_get_their_own_answers(slaves, monkeypatch, kind):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    wrong: list[tuple[int, list[int], list[int]]] = []
    errors: list[BaseException] = []
    start = threading.Barrier(THREADS)

    with make(kind, slaves) as master:
        def work(index):
            read = reader(kind, master, index)
            try:
                start.wait(10)
                for round_ in range(ROUNDS):
                    got, expected = read(round_)
                    if got != expected:
                        wrong.append((index, got, expected))
            except BaseException as exc:   # reported below, with the thread's own answers
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert not any(t.is_alive() for t in threads)
    assert errors == [] and wrong == []
