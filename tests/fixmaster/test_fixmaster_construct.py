"""FixMaster construction: entry tests, what reaches Master, what is stored."""

import pytest

import brel_modbus
from brel_modbus import FixMaster


def incorrect(param, expected, got):
    return f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


def test_master_gets_port_baudrate_and_float_timeout_positionally(fake_master):
    fm = FixMaster(3, "/dev/ttyUSB0", 19200, 2)
    (master,) = fake_master.made
    assert master.init_args == ("/dev/ttyUSB0", 19200, 2.0)
    assert type(master.init_args[2]) is float
    assert master.init_kwargs == {}
    assert fm.master is master
    assert fm.__dict__ == {"_FixMaster__master": master, "_FixMaster__station": 3}


def test_timeout_converted_through_float_protocol(fake_master):
    class Seconds:
        def __float__(self):
            return 0.25

    FixMaster(1, "p", 9600, Seconds())
    assert fake_master.made[0].init_args[2] == 0.25


def test_extra_keywords_reach_master_in_call_order(fake_master):
    given = {"parity": "E", "stopbits": 2, "bytesize": 7}
    FixMaster(1, "p", 9600, 1.5, **given)
    received = fake_master.made[0].init_kwargs
    assert list(received.items()) == list(given.items())


def test_keyword_call_of_named_parameters(fake_master):
    fm = FixMaster(timeout=1, baudrate=4800, port="loop://", station=9, xonxoff=True)
    master = fake_master.made[0]
    assert master.init_args == ("loop://", 4800, 1.0)
    assert master.init_kwargs == {"xonxoff": True}
    assert fm.station == 9


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((True, "p", 9600, 1), TypeError, incorrect("station", "int", "bool")),
        ((1.0, "p", 9600, 1), TypeError, incorrect("station", "int", "float")),
        ((None, "p", 9600, 1), TypeError, incorrect("station", "int", "NoneType")),
        ((1, 3, 9600, 1), TypeError, incorrect("port", "str", "int")),
        ((1, b"p", 9600, 1), TypeError, incorrect("port", "str", "bytes")),
        ((1, "p", True, 1), TypeError, incorrect("baudrate", "int", "bool")),
        ((1, "p", None, 1), TypeError, incorrect("baudrate", "int", "NoneType")),
        # station, port and baudrate are tested in that order
        ((True, 3, None, 1), TypeError, incorrect("station", "int", "bool")),
        ((1, 3, None, 1), TypeError, incorrect("port", "str", "int")),
        # the float conversion comes before every type test
        ((True, 3, None, "x"), TypeError, "must be real number, not str"),
        ((True, 3, None, None), TypeError, "must be real number, not NoneType"),
    ],
)
def test_refused_arguments_construct_no_master(fake_master, args, exc, message):
    with pytest.raises(exc) as info:
        FixMaster(*args)
    assert str(info.value) == message
    assert fake_master.made == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: FixMaster(1, "p", 9600), "__init__() takes exactly 5 positional arguments (4 given)"),
        (lambda: FixMaster(1, "p", 9600, 1, 2), "__init__() takes exactly 5 positional arguments (6 given)"),
        (lambda: FixMaster(1, "p", 9600, 1, port="q"), "__init__() got multiple values for keyword argument 'port'"),
    ],
)
def test_argument_list_errors(fake_master, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert fake_master.made == []


def test_master_failure_passes_on_and_nothing_is_stored(fake_master):
    error = OSError(2, "could not open port")
    fake_master.fail_with = error
    fm = FixMaster.__new__(FixMaster)
    with pytest.raises(OSError) as info:
        fm.__init__(1, "p", 9600, 1)
    assert info.value is error
    assert fm.__dict__ == {}


def test_master_is_looked_up_at_each_construction(fake_master, monkeypatch):
    FixMaster(1, "a", 9600, 1)
    other = type("Other", (fake_master,), {"made": []})
    monkeypatch.setattr(brel_modbus, "Master", other)
    fm = FixMaster(2, "b", 9600, 1)
    assert type(fm.master) is other
    assert len(fake_master.made) == 1 and len(other.made) == 1


def test_missing_master_raises_name_error(monkeypatch):
    monkeypatch.delattr(brel_modbus, "Master")
    with pytest.raises(NameError, match="name 'Master' is not defined"):
        FixMaster(1, "p", 9600, 1)
