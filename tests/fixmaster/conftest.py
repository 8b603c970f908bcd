"""Fakes for the FixMaster tests: a recording Master installed in the module namespace."""

import pytest

import brel_modbus


class RecordingMaster:
    """Stands in for brel_modbus.Master: records its construction and every call.

    Any method name that the class does not define is answered by a recorder, which
    appends (name, args, kwargs) to `calls` and returns ("result of", name), a value
    that is never None, so that dropped results show.
    """

    made = None  # list of instances, set per test by the fixture
    fail_with = None  # exception raised by the constructor when set

    def __init__(self, *args, **kwargs):
        if self.fail_with is not None:
            raise self.fail_with
        self.init_args = args
        self.init_kwargs = kwargs
        self.calls = []
        self.serial = object()
        self.MessageLastSent = b""
        self.MessageLastReceived = b""
        self.timeout_value = args[2] if len(args) > 2 else None
        self.made.append(self)

    @property
    def timeout(self):
        return self.timeout_value

    @timeout.setter
    def timeout(self, value):
        self.calls.append(("timeout=", (value,), {}))
        self.timeout_value = value

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def recorder(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return ("result of", name)

        recorder.__name__ = name
        return recorder


@pytest.fixture
def fake_master(monkeypatch):
    """The recording Master class, installed as brel_modbus.Master."""
    cls = type("RecordingMaster", (RecordingMaster,), {"made": [], "fail_with": None})
    monkeypatch.setattr(brel_modbus, "Master", cls)
    return cls


@pytest.fixture
def fm(fake_master):
    """A FixMaster for station 5 over a recording Master."""
    return brel_modbus.FixMaster(5, "/dev/ttyS0", 9600, 1)
