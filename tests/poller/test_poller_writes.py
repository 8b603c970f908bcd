"""Poller.write: a point's value written in its format and order, through the master's public
members, before any read still due, also while run() iterates in another thread."""

import struct
import threading

import pytest

from brel_modbus import Poller, SlaveException
from poller_support import MASTERS, Clock, FakeMaster, Slaves, register

H = "holding"


@pytest.mark.parametrize("kind", list(MASTERS))
@pytest.mark.parametrize("fmt, order, value, words", [
    ("H", "ABCD", 513, [513]),
    ("h", "ABCD", -2, [0xFFFE]),
    ("f", "ABCD", 21.5, list(struct.unpack(">2H", struct.pack(">f", 21.5)))),
    ("f", "CDAB", 21.5, list(struct.unpack(">2H", struct.pack(">f", 21.5)))[::-1]),
    ("I", "BADC", 0x01020304, [0x0201, 0x0403]),
    ("2h", "ABCD", [-1, 7], [0xFFFF, 7]),
    ("4s", "ABCD", b"ab", [0x6162, 0]),
])
def test_a_register_point_is_written_in_its_format_and_read_back(kind, fmt, order, value, words):
    slaves = Slaves()
    clock = Clock()
    p = Poller(MASTERS[kind](slaves), clock=clock)
    p.add("x", 1, H, 40, fmt, order)
    p.add("y", 1, H, 38)
    assert p.write("x", value) is None
    assert slaves.requests == [(1, "write holding", 40, words)]
    values = p.poll()
    expected = value + b"\0\0" if fmt == "4s" else value
    assert values == {"x": expected, "y": register(1, H, 38)}


@pytest.mark.parametrize("kind", list(MASTERS))
@pytest.mark.parametrize("value", [True, False, 1, 0])
def test_a_coil_point_is_written_with_its_value(kind, value):
    slaves = Slaves()
    p = Poller(MASTERS[kind](slaves))
    p.add("pump", 1, "coil", 3)
    p.write("pump", value)
    assert slaves.requests == [(1, "write coil", 3, [bool(value)])]
    assert p.poll() == {"pump": bool(value)}


@pytest.mark.parametrize("name, value, error, text", [
    ("nothing", 1, KeyError, "Poller.write: no point is named 'nothing'"),
    ("in", 1, ValueError, "Poller.write: 'in' is an input register, which cannot be written"),
    ("di", True, ValueError, "Poller.write: 'di' is a discrete input, which cannot be written"),
    ("u16", 65536, OverflowError, ""),
    ("u16", "1", TypeError, ""),
    ("pair", [1], ValueError, ""),
    ("pair", 5, TypeError, ""),
    (5, 1, TypeError, "Argument 'name' has incorrect type"),
])
def test_refused_writes_send_nothing(name, value, error, text):
    slaves = Slaves()
    p = Poller(FakeMaster(slaves))
    p.add("in", 1, "input", 0)
    p.add("di", 1, "discrete", 0)
    p.add("u16", 1, H, 0)
    p.add("pair", 1, H, 2, "2h")
    with pytest.raises(error) as info:
        p.write(name, value)
    assert text in str(info.value)
    assert slaves.requests == []


@pytest.mark.parametrize("exc", [IOError("modbus: read from slave timeout"), SlaveException(1, 0x90, 2)])
def test_a_write_raises_as_the_master_does(exc):
    slaves = Slaves()
    slaves.failures[1] = exc
    p = Poller(FakeMaster(slaves))
    p.add("a", 1, H, 0)
    with pytest.raises(type(exc)) as info:
        p.write("a", 5)
    assert info.value is exc


def test_a_write_goes_before_the_reads_still_due_in_a_pass_of_another_thread():
    slaves = Slaves()
    p = Poller(FakeMaster(slaves), max_gap=0)
    for a in range(0, 40, 10):
        p.add(f"r{a}", 1, H, a)
    p.add("setpoint", 2, H, 7, "f")
    entered = threading.Event()
    errors = []

    def write():
        try:
            p.write("setpoint", 1.5)
        except Exception as exc:   # shown by the assertion below
            errors.append(exc)

    def slow_write():
        entered.set()
        threading.Event().wait(0.05)   # the pass, if it did not wait, would send its next read now

    writer = threading.Thread(target=write)

    def first_read():
        if len(slaves.requests) == 1:
            slaves.on_write = slow_write
            writer.start()
            assert entered.wait(5)

    slaves.on_request = first_read
    results = []
    reader = threading.Thread(target=lambda: results.extend(p.run(duration=0)))
    reader.start()
    reader.join(10)
    writer.join(10)
    assert not errors and len(results) == 1
    kinds = [r[1] for r in slaves.requests]
    assert kinds == [H, "write holding", H, H, H, H]
    assert slaves.requests[1] == (2, "write holding", 7, list(struct.unpack(">2H", struct.pack(">f", 1.5))))
