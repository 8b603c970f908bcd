"""FixMaster properties, lifecycle and what the interpreter shows of the class."""

import inspect

import pytest

import brel_modbus
from brel_modbus import FixMaster


def test_master_and_serial(fm, fake_master):
    assert fm.master is fake_master.made[0]
    assert fm.serial is fm.master.serial
    fm.master.serial = channel = object()
    assert fm.serial is channel


@pytest.mark.parametrize("prop, attribute", [("last_command_sent", "MessageLastSent"),
                                             ("last_feedback_received", "MessageLastReceived")])
@pytest.mark.parametrize("value", [b"", b"\x01\x06\x00\x10", None])
def test_traffic_read_from_master_attributes(fm, prop, attribute, value):
    setattr(fm.master, attribute, value)
    assert getattr(fm, prop) is value


@pytest.mark.parametrize("prop, attribute", [("last_command_sent", "MessageLastSent"),
                                             ("last_feedback_received", "MessageLastReceived")])
@pytest.mark.parametrize("value, name",
                         [(bytearray(b"\x01"), "bytearray"), ("01", "str"), (memoryview(b""), "memoryview")])
def test_traffic_other_than_bytes_refused(fm, prop, attribute, value, name):
    setattr(fm.master, attribute, value)
    with pytest.raises(TypeError) as info:
        getattr(fm, prop)
    assert str(info.value) == f"Expected bytes, got {name}"


@pytest.mark.parametrize(
    "data, text",
    [(b"", ""), (b"\x00", "00"), (b"\x01\x06\x00\x10\x00\xff", "01 06 00 10 00 FF"),
     (bytes(range(0xA, 0x100, 0x55)), "0A 5F B4")],
)
def test_hex_views(fm, data, text):
    fm.master.MessageLastSent = data
    fm.master.MessageLastReceived = data[:1]
    assert fm.last_command_sent_hex == text
    assert fm.last_feedback_received_hex == text[:2]


def test_hex_views_follow_own_properties():
    class Logged(FixMaster):
        last_command_sent = property(lambda self: b"\xab\xcd")
        last_feedback_received = property(lambda self: bytearray(b"\x0f"))

    fm = Logged.__new__(Logged)
    assert fm.last_command_sent_hex == "AB CD"
    assert fm.last_feedback_received_hex == "0F"


def test_hex_view_of_missing_record(fm):
    fm.master.MessageLastSent = None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        fm.last_command_sent_hex


def test_station_setter(fm):
    assert fm.station == 5
    fm.station = 7
    assert fm.station == 7
    assert fm.__dict__["_FixMaster__station"] == 7


@pytest.mark.parametrize("value, name", [(7.0, "float"), (None, "NoneType"), (True, "bool"), ("7", "str")])
def test_station_setter_refuses_and_keeps_old_station(fm, value, name):
    with pytest.raises(TypeError) as info:
        fm.station = value
    assert str(info.value) == f"Argument 'value' has incorrect type (expected int, got {name})"
    assert fm.station == 5


def test_station_getter_checks_stored_value(fm):
    fm.__dict__["_FixMaster__station"] = 5.0
    with pytest.raises(TypeError, match="^Expected int, got float$"):
        fm.station


def test_timeout_reads_and_sets_master_timeout(fm):
    assert fm.timeout == 1.0
    fm.timeout = 3
    assert fm.master.calls == [("timeout=", (3.0,), {})]
    assert type(fm.master.timeout_value) is float
    assert fm.timeout == 3.0


def test_timeout_setter_conversion_failure_changes_nothing(fm):
    with pytest.raises(TypeError, match="must be real number, not str"):
        fm.timeout = "fast"
    assert fm.master.calls == []
    assert fm.timeout == 1.0


def test_close_forwards_and_returns_none(fm):
    assert fm.close() is None
    assert fm.master.calls == [("close", (), {})]


def test_context_manager_closes_on_leaving(fm):
    with fm as bound:
        assert bound is fm
        assert fm.master.calls == []
    assert fm.master.calls == [("close", (), {})]


def test_exception_in_block_propagates_after_close(fm):
    with pytest.raises(KeyError):
        with fm:
            raise KeyError("boom")
    assert fm.master.calls == [("close", (), {})]


def test_exit_calls_close_of_the_instance(fake_master):
    closed = []

    class Tracked(FixMaster):
        def close(self):
            closed.append(self)
            return "ignored"

    fm = Tracked(1, "p", 9600, 1)
    assert fm.__exit__(None, None, None) is None
    assert closed == [fm]
    assert fm.master.calls == []


def test_class_shape():
    assert FixMaster.__bases__ == (object,)
    assert not issubclass(FixMaster, brel_modbus.Master)
    assert FixMaster.__module__ == "brel_modbus"
    assert FixMaster.__doc__ is None
    members = [k for k in FixMaster.__dict__ if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert members[:13] == ["__init__", "master", "serial", "last_command_sent", "last_feedback_received",
                            "last_command_sent_hex", "last_feedback_received_hex", "station", "close",
                            "__enter__", "__exit__", "timeout", "send_write_coil_request"]
    kinds = {k: type(v).__name__ for k, v in FixMaster.__dict__.items()}
    assert [k for k, v in kinds.items() if v == "property"] == [
        "master", "serial", "last_command_sent", "last_feedback_received", "last_command_sent_hex",
        "last_feedback_received_hex", "station", "timeout", "retries", "recovery_delay", "trace"]
    assert FixMaster.master.fset is None and FixMaster.station.fset is not None


def test_typed_16_bit_methods_are_their_own():
    names = ("read_register", "read_uint16", "write_register", "write_int16", "write_uint16")
    functions = [FixMaster.__dict__[n] for n in names]
    assert len({id(f) for f in functions}) == 5
    assert [f.__name__ for f in functions] == list(names)


@pytest.mark.parametrize(
    "name, signature, annotations",
    [
        ("__init__", "(self, station: 'int', port: 'str', baudrate: 'int', timeout: 'float', **kwargs)",
         {"station": "int", "port": "str", "baudrate": "int", "timeout": "float"}),
        ("read_registers", "(self, address: 'int', count: 'int', func_code: 'int' = 3)",
         {"address": "int", "count": "int", "func_code": "int"}),
        ("write_coil", "(self, address: 'int', value: 'bool')", {"address": "int", "value": "bool"}),
        ("write_registers", "(self, address: 'int', values: '_Sequence')", {"address": "int", "values": "_Sequence"}),
        ("read_float", "(self, address)", {}),
        ("write_uint16", "(self, address, value)", {}),
        ("__exit__", "(self, exc_type, exc_val, exc_tb)", {}),
    ],
)
def test_signatures(name, signature, annotations):
    function = FixMaster.__dict__[name]
    assert str(inspect.signature(function)) == signature
    assert function.__annotations__ == annotations
    assert function.__name__ == name
    assert function.__qualname__ == "FixMaster." + name


def test_property_annotations():
    assert FixMaster.station.fget.__annotations__ == {"return": "int"}
    assert FixMaster.station.fset.__annotations__ == {"value": "int"}
    assert FixMaster.timeout.fget.__annotations__ == {"return": "float"}
    assert FixMaster.timeout.fset.__annotations__ == {"value": "float"}
    assert FixMaster.last_feedback_received.fget.__annotations__ == {"return": "bytes"}
    assert FixMaster.last_command_sent_hex.fget.__annotations__ == {"return": "str"}
    assert FixMaster.serial.fget.__qualname__ == "FixMaster.serial"


def test_defaults():
    assert FixMaster.read_registers.__defaults__ == (3,)
    assert FixMaster.send_read_registers_request.__defaults__ == (3,)
    assert FixMaster.read_register.__defaults__ is None


def test_read_registers_doc():
    assert FixMaster.read_registers.__doc__ == (
        "\n\t\t根据指定的功能码，从预定的从站读取指定地址指定数量的寄存器值。"
        "\n\t\t:param address: 寄存器地址"
        "\n\t\t:param count: 要读取的寄存器数量"
        "\n\t\t:param func_code: 功能码，默认为读取多个寄存器，3"
        "\n\t\t:return: 多个寄存器值（16位无符号整数）组成的列表"
        "\n\t\t"
    )
    assert FixMaster.read_register.__doc__ == "Read one holding register (function code 3)."
