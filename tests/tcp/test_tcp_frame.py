"""ModbusTCPMaster: class shape, construction, properties, MBAP builders, entry checks."""

import inspect
import sys

import pytest

import brel_modbus
from brel_modbus import ModbusTCPMaster
from tcp_support import HOST, PORT, mbap

H = bytes.fromhex


def test_class_body_kinds_and_order():
    kinds = {
        "__init__": "f", "socket": "p", "close": "f", "__enter__": "f", "__exit__": "f", "timeout": "p",
        "station": "p", "last_command_sent": "p", "last_feedback_received": "p", "last_command_sent_hex": "p",
        "last_feedback_received_hex": "p", "protocol": "p", "construct_header": "s",
        "construct_whole_query_command": "s", "_ModbusTCPMaster__query": "f", "construct_read_registers_command": "s",
        "construct_read_coils_command": "s", "read_coils": "f", "read_registers": "f", "read_register": "f",
        "construct_write_registers_command": "s", "write_registers": "f", "write_register": "f",
        "construct_write_coil_command": "s", "write_coil": "f",
        "read_input_registers": "f", "read_input_register": "f", "read_input_coils": "f", "read_coil": "f",
        "write_single_register": "f", "read_int16": "f", "read_uint16": "f", "write_int16": "f", "write_uint16": "f",
        "read_uint32": "f", "read_int32": "f", "read_float": "f", "read_multi_uint32": "f", "read_multi_int32": "f",
        "read_multi_float": "f", "write_int32": "f", "write_uint32": "f", "write_float": "f",
        "write_multi_int32": "f", "write_multi_uint32": "f", "write_multi_float": "f", "write_coils": "f",
        "mask_write_register": "f", "read_write_registers": "f", "read_device_identification": "f",
        "read_values": "f", "write_values": "f", "retries": "p", "reconnect": "p",
        "diagnostics": "f", "report_server_id": "f", "read_file_record": "f", "write_file_record": "f",
        "read_fifo_queue": "f", "execute": "f", "trace": "p",
    }
    members = [k for k in ModbusTCPMaster.__dict__ if k not in ("__module__", "__qualname__", "__doc__", "__dict__",
                                                               "__weakref__")]
    assert members == list(kinds)
    for key, kind in kinds.items():
        value = ModbusTCPMaster.__dict__[key]
        expected = {"p": property, "s": staticmethod}.get(kind)
        if expected:
            assert type(value) is expected, key
        else:
            assert callable(value) and not isinstance(value, (property, staticmethod)), key
    assert ModbusTCPMaster.__bases__ == (object,)
    assert ModbusTCPMaster.__module__ == "brel_modbus"
    assert ModbusTCPMaster.__doc__ == "Modbus 主站控制端，也叫客户端。"
    assert ModbusTCPMaster.__dict__["station"].fset is not None
    for key in ("socket", "timeout", "last_command_sent", "protocol", "last_feedback_received_hex"):
        assert ModbusTCPMaster.__dict__[key].fset is None


@pytest.mark.parametrize("member, signature", [
    ("__init__", "(self, host: 'str', port: 'int', timeout: 'float', station: 'int' = 1, ssl_context=None)"),
    ("__exit__", "(self, exc_type, exc_val, exc_tb)"),
    ("construct_header", "(command: 'bytes', head_checker: 'int', protocol: 'int' = 0, station: 'int' = 1)"),
    ("construct_whole_query_command",
     "(command: 'bytes', head_checker: 'int', protocol: 'int' = 0, station: 'int' = 1)"),
    ("_ModbusTCPMaster__query", "(self, command: 'bytes', length_needed: '_Optional[int]' = None) -> 'bytes'"),
    ("read_coils", "(self, address: 'int', count: 'int') -> '_List[bool]'"),
    ("read_registers", "(self, address: 'int', count: 'int') -> '_List[int]'"),
    ("read_register", "(self, address: 'int') -> 'int'"),
    ("construct_write_registers_command", "(address: 'int', values: '_List[int]')"),
    ("write_coil", "(self, address: 'int', value: 'bool')"),
])
def test_signatures(member, signature):
    assert str(inspect.signature(getattr(ModbusTCPMaster, member))) == signature


def test_query_names_and_docstring():
    query = ModbusTCPMaster._ModbusTCPMaster__query
    assert query.__name__ == "__query"
    assert query.__qualname__ == "ModbusTCPMaster.__query"
    assert query.__doc__ == ("\n\t\t此函数根据提供的 command 构建出完整的查询报文。"
                             "\n\t\t发送查询报文后接收应答报文，此函数执行基本的报文检验，确保收到的报文符合要求。"
                             "\n\t\t函数只把有用的数据报文返回给调用者。\n\t\t")
    assert ModbusTCPMaster.read_coils.__doc__.startswith("Read count consecutive coils (function code 1).")


def test_construction_connects_through_module_name_and_sets_state(connect):
    master, sock = connect(timeout=2)
    (address, timeout, _), = connect.calls
    assert address == (HOST, PORT)
    assert type(timeout) is float and timeout == 2.0
    assert list(vars(master)) == [
        "_ModbusTCPMaster__socket", "_ModbusTCPMaster__station", "_ModbusTCPMaster__head_checker",
        "_ModbusTCPMaster__protocol", "_ModbusTCPMaster__last_command_sent",
        "_ModbusTCPMaster__last_feedback_received", "_ModbusTCPMaster__target_host"]
    assert master.socket is sock
    assert (master.station, master.protocol, master.timeout) == (1, 0, 2.0)
    assert master._ModbusTCPMaster__head_checker == 1
    assert master._ModbusTCPMaster__target_host == (HOST, PORT)
    assert (master.last_command_sent, master.last_feedback_received) == (b"", b"")
    assert (master.last_command_sent_hex, master.last_feedback_received_hex) == ("", "")
    assert connect(station=9)[0].station == 9


@pytest.mark.parametrize("args, message", [
    ((HOST, "502", 1.0), "Argument 'port' has incorrect type (expected int, got str)"),
    ((b"host", PORT, 1.0), "Argument 'host' has incorrect type (expected str, got bytes)"),
    ((HOST, True, 1.0), "Argument 'port' has incorrect type (expected int, got bool)"),
    ((HOST, PORT, 1.0, 2.0), "Argument 'station' has incorrect type (expected int, got float)"),
    ((HOST, PORT, None), "must be real number, not NoneType"),
    # the conversion of timeout comes before the type tests
    ((1, "x", "soon"), "must be real number, not str"),
])
def test_constructor_entry_checks_before_connecting(connect, args, message):
    with pytest.raises(TypeError) as info:
        ModbusTCPMaster(*args)
    assert str(info.value) == message
    assert connect.calls == []


def test_constructor_passes_connection_errors_unchanged(monkeypatch):
    error = ConnectionRefusedError(111, "Connection refused")

    def refuse(address, timeout=None):
        raise error

    monkeypatch.setattr(brel_modbus, "_tcp_connect", refuse)
    with pytest.raises(ConnectionRefusedError) as info:
        ModbusTCPMaster(HOST, PORT, 1)
    assert info.value is error


@pytest.mark.parametrize("args, expected", [
    ((H("030000000A"), 1), "00 01 00 00 00 06 01"),
    ((b"", 258, 7, 511), "01 02 00 07 00 01 FF"),
    ((b"", 65536), "00 00 00 00 00 01 01"),
    ((b"", -1, -2, -1), "FF FF FF FE 00 01 FF"),
    ((b"", 2 ** 100 + 0x1234, 2 ** 80 + 5, 2 ** 70 + 256), "12 34 00 05 00 01 00"),
    ((b"", -(2 ** 90) - 2), "FF FE 00 00 00 01 01"),
    ((bytes(300), 1), "00 01 00 00 01 2D 01"),
    ((bytes(70000), 1), "00 01 00 00 11 71 01"),  # the length field wraps too
])
def test_construct_header(args, expected):
    header = ModbusTCPMaster.construct_header(*args)
    assert type(header) is bytes
    assert header.hex(" ").upper() == expected
    assert ModbusTCPMaster.construct_whole_query_command(*args) == header + args[0]


def test_construct_whole_query_command_by_keyword():
    assert ModbusTCPMaster.construct_whole_query_command(
        station=1, protocol=0, head_checker=5, command=H("030000000A")) == H("00050000000601030000000A")


@pytest.mark.parametrize("kwargs, message", [
    (dict(command="03", head_checker=1), "Argument 'command' has incorrect type (expected bytes, got str)"),
    (dict(command=bytearray(3), head_checker=1),
     "Argument 'command' has incorrect type (expected bytes, got bytearray)"),
    (dict(command=b"", head_checker=True), "Argument 'head_checker' has incorrect type (expected int, got bool)"),
    (dict(command=b"", head_checker=1, protocol=None),
     "Argument 'protocol' has incorrect type (expected int, got NoneType)"),
    (dict(command=b"", head_checker=1, station=1.0), "Argument 'station' has incorrect type (expected int, got float)"),
])
@pytest.mark.parametrize("builder", ["construct_header", "construct_whole_query_command"])
def test_builder_entry_checks(builder, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(ModbusTCPMaster, builder)(**kwargs)
    assert str(info.value) == message


def test_whole_query_command_uses_the_header_builder_of_the_module_name(monkeypatch):
    class Marked(ModbusTCPMaster):
        @staticmethod
        def construct_header(command, head_checker, protocol=0, station=1):
            return b"<" + bytes([head_checker, protocol, station]) + b">"

    monkeypatch.setattr(brel_modbus, "ModbusTCPMaster", Marked)
    assert ModbusTCPMaster.construct_whole_query_command(b"\x03", 4, 5, 6) == b"<\x04\x05\x06>\x03"


@pytest.mark.parametrize("name", ["timeout", "protocol", "socket", "last_command_sent", "last_feedback_received",
                                  "last_command_sent_hex", "last_feedback_received_hex"])
def test_read_only_properties(connect, name):
    master, _ = connect()
    before = getattr(master, name)
    # The interpreter's own text for a property without setter; 3.10 words it differently.
    message = "has no setter" if sys.version_info >= (3, 11) else f"can't set attribute '{name}'"
    with pytest.raises(AttributeError, match=message):
        setattr(master, name, before)


def test_station_setter_checks_type_and_range(connect):
    master, sock = connect()
    master.station = 0x2C
    sock.queue(mbap(1, H("03020007"), unit=0x2C))
    assert master.read_registers(0, 1) == [7]
    assert sock.wire[6] == 0x2C
    for bad, name in ((True, "bool"), (3.0, "float"), (None, "NoneType")):
        with pytest.raises(TypeError, match=rf"^Argument 'value' has incorrect type \(expected int, got {name}\)$"):
            master.station = bad
    for bad in (256, 300, -1, 2**70):
        with pytest.raises(OverflowError, match=rf"^modbus: station out of range 0 to 255: {bad}$"):
            master.station = bad
    assert master.station == 0x2C


@pytest.mark.parametrize("attribute, prop, stored, message", [
    ("_ModbusTCPMaster__station", "station", "1", "Expected int, got str"),
    ("_ModbusTCPMaster__protocol", "protocol", 0.0, "Expected int, got float"),
    ("_ModbusTCPMaster__last_command_sent", "last_command_sent", bytearray(), "Expected bytes, got bytearray"),
    ("_ModbusTCPMaster__last_feedback_received", "last_feedback_received", [], "Expected bytes, got list"),
])
def test_getters_check_what_they_return(connect, attribute, prop, stored, message):
    master, _ = connect()
    setattr(master, attribute, None)
    assert getattr(master, prop) is None
    setattr(master, attribute, stored)
    with pytest.raises(TypeError) as info:
        getattr(master, prop)
    assert str(info.value) == message


def test_hex_properties_read_through_the_instance(connect):
    class Shown(ModbusTCPMaster):
        last_command_sent = property(lambda self: b"\x00\xab\x10")
        last_feedback_received = property(lambda self: [1, 255])

    master, _ = connect()
    master.__class__ = Shown
    assert master.last_command_sent_hex == "00 AB 10"
    assert master.last_feedback_received_hex == "01 FF"


def test_close_and_context_manager(connect):
    master, sock = connect()
    assert master.close() is None
    assert master.close() is None
    assert sock.close_calls == 2

    class Counted(ModbusTCPMaster):
        closes = 0

        def close(self):
            Counted.closes += 1

    master, sock = connect()
    master.__class__ = Counted
    with pytest.raises(KeyError):
        with master as entered:
            assert entered is master
            raise KeyError("inside")
    assert Counted.closes == 1 and sock.close_calls == 0
    assert master.__exit__(None, None, None) is None
