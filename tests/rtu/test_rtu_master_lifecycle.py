"""Master: construction, the class as Python sees it, the traffic record, the single
reader and writer, closing, the context manager and the time-out."""

import array
import inspect

import pytest

import brel_modbus
from brel_modbus import Master


BEFORE_TYPED = [
    "__init__", "serial", "last_command_sent", "last_feedback_received", "last_command_sent_hex",
    "last_feedback_received_hex", "close", "__enter__", "__exit__", "timeout",
    "write_register", "write_registers", "send_write_register_request", "send_write_registers_request",
    "write_coil", "send_write_coil_request", "read_register", "read_registers", "read_input_register",
    "read_input_registers",
]
TYPED = [
    "read_int16", "read_uint16", "write_int16", "write_uint16",
    "_Master__read_int32", "read_uint32", "read_int32", "read_float", "_Master__read_multi_int32",
    "read_multi_uint32", "read_multi_int32", "read_multi_float", "_Master__write_int32", "write_int32",
    "write_uint32", "write_float", "_Master__write_multi_int32", "write_multi_int32", "write_multi_uint32",
    "write_multi_float",
]
AFTER_TYPED = [
    "_Master__send_read_xx_registers_request", "send_read_registers_request",
    "send_read_input_registers_request", "read_coil", "_Master__read_xx_coils", "read_coils", "read_input_coils",
    "_Master__send_read_xx_coils_request", "send_read_coils_request", "send_read_input_coils_request",
    "_Master__read", "_Master__feedback_assistant", "_Master__write_message", "_Master__check_crc",
    # beyond the first seven function codes
    "write_coils", "mask_write_register", "read_write_registers", "read_device_identification", "read_values",
    "write_values", "retries", "recovery_delay",
    # the rest of the public function codes, and raw requests
    "read_exception_status", "diagnostics", "get_comm_event_counter", "get_comm_event_log", "report_server_id",
    "read_file_record", "write_file_record", "read_fifo_queue", "execute",
]


def test_class_body_order_and_nothing_else():
    members = [k for k in Master.__dict__ if k not in ("__module__", "__qualname__", "__dict__", "__weakref__",
                                                     "__doc__")]
    assert members == BEFORE_TYPED + TYPED + AFTER_TYPED
    assert Master.__bases__ == (object,)
    assert Master.__module__ == "brel_modbus" and Master.__doc__ is None


@pytest.mark.parametrize("key, kind", [
    ("serial", property), ("timeout", property), ("last_command_sent_hex", property),
    ("_Master__check_crc", staticmethod), ("_Master__read", None), ("read_coils", None),
])
def test_member_kinds(key, kind):
    value = Master.__dict__[key]
    if kind is None:
        assert callable(value) and not isinstance(value, (property, staticmethod))
    else:
        assert type(value) is kind


def test_writable_properties():
    writable = [k for k, v in Master.__dict__.items() if isinstance(v, property) and v.fset is not None]
    assert writable == ["timeout", "retries", "recovery_delay"]


@pytest.mark.parametrize("key, name, signature", [
    ("__init__", "__init__", "(self, port: 'str', baudrate: 'int', timeout: 'float', **kwargs)"),
    ("read_register", "read_register", "(self, station: 'int', address: 'int', func_code: 'int' = 3)"),
    ("read_registers", "read_registers",
     "(self, station: 'int', address: 'int', count: 'int', func_code: 'int' = 3)"),
    ("read_input_registers", "read_input_registers", "(self, station, address: 'int', count: 'int')"),
    ("send_read_registers_request", "send_read_registers_request",
     "(self, station, address, count, func_code: 'int')"),
    ("_Master__send_read_xx_registers_request", "__send_read_xx_registers_request",
     "(self, station: 'int', address: 'int', count: 'int', code: 'int')"),
    ("_Master__read_xx_coils", "__read_xx_coils", "(self, station, address, count: 'int', code: 'int')"),
    ("_Master__read", "__read", "(self, size=1)"),
    ("_Master__feedback_assistant", "__feedback_assistant", "(self, station, normal_msg_len, check_crc=False)"),
    ("_Master__write_message", "__write_message", "(self, message)"),
    ("_Master__check_crc", "__check_crc", "(message, station)"),
    ("write_registers", "write_registers", "(self, station, address, values)"),
    ("__exit__", "__exit__", "(self, exc_type, exc_val, exc_tb)"),
])
def test_signatures_and_names(key, name, signature):
    function = getattr(Master, key)
    assert str(inspect.signature(function)) == signature
    assert function.__name__ == name
    assert function.__qualname__ == f"Master.{name}"


def test_defaults_are_exact_objects():
    assert Master._Master__feedback_assistant.__defaults__ == (False,)
    assert Master._Master__feedback_assistant.__defaults__[0] is False
    assert Master._Master__read.__defaults__ == (1,)


def test_property_annotations():
    d = Master.__dict__
    assert d["last_command_sent"].fget.__annotations__ == {"return": "bytes"}
    assert d["last_feedback_received_hex"].fget.__annotations__ == {"return": "str"}
    assert d["timeout"].fget.__annotations__ == {"return": "float"}
    assert d["timeout"].fset.__annotations__ == {"value": "float"}


def _doc(*lines):
    return "\n\t\t" + "\n\t\t".join(lines) + "\n\t\t"


@pytest.mark.parametrize("member, text", [
    ("_Master__write_message", _doc(
        "把组装好的报文写入到通道（如串口）。所有需要往通道写数据的函数都应该通过调用这个函数来执行写入。",
        ":param message: 组装好的报文", ":return: No return")),
    ("read_register", _doc(
        "根据指定的功能码，从指定的从站读取指定地址的寄存器值。", ":param station: 从站地址",
        ":param address: 寄存器地址", ":param func_code: 功能码，默认为读取多个寄存器，3",
        ":return: 16 位寄存器值（无符号）")),
    ("read_registers", _doc(
        "根据指定的功能码，从指定的从站读取指定地址指定数量的寄存器值。", ":param station: 从站地址",
        ":param address: 寄存器地址", ":param count: 要读取的寄存器数量",
        ":param func_code: 功能码，默认为读取多个寄存器，3", ":return: 多个寄存器值（16位无符号整数）组成的列表")),
    ("read_input_register", _doc(
        "从指定的从站读取指定地址的“输入”寄存器值，只读取一个，使用确定的功能码 0x4", ":param station: 从站地址",
        ":param address: 寄存器地址", ":return: 16 位寄存器值（无符号）")),
    ("read_input_registers", _doc(
        "使用确定的功能码 0x4，从指定的从站读取指定地址指定数量的寄存器（输入寄存器）值。",
        ":param station: 从站地址", ":param address: 寄存器地址", ":param count: 要读取的寄存器数量",
        ":return: 多个寄存器值（16位无符号整数）组成的列表")),
    ("read_coils", "Read count consecutive coils (function code 1).\n\nExample: master.read_coils(1, 0, 10)"),
    ("write_register", "Write one holding register (function code 6) and check the echo.\n\n"
                       "Args: value, sent as its low 16 bits.\nExample: master.write_register(1, 200, 1234)"),
    ("_Master__read", "Read up to size bytes from the channel, waiting at most the time-out."),
])
def test_docstrings(member, text):
    assert getattr(Master, member).__doc__ == text


# ---- construction ------------------------------------------------------------------------

def test_factory_gets_keywords_in_order_and_float_timeout(channels):
    m = Master("/dev/ttyUSB3", 19200, 2, stopbits=2, parity="E")
    (ch,) = channels
    assert list(ch.opened.items()) == [("port", "/dev/ttyUSB3"), ("baudrate", 19200), ("timeout", 2.0),
                                       ("stopbits", 2), ("parity", "E")]
    assert type(ch.opened["timeout"]) is float
    assert m.serial is ch
    assert m.__dict__ == {"_Master__tunnel": ch, "MessageLastSent": b"", "MessageLastReceived": b""}


def test_keywords_by_name(channels):
    Master(timeout=0.5, baudrate=9600, port="COM3")
    assert list(channels[0].opened.items()) == [("port", "COM3"), ("baudrate", 9600), ("timeout", 0.5)]


@pytest.mark.parametrize("args, error, text", [
    (("/dev/x", True, 1), TypeError, "Argument 'baudrate' has incorrect type (expected int, got bool)"),
    ((3, 9600, 1), TypeError, "Argument 'port' has incorrect type (expected str, got int)"),
    ((3, None, "soon"), TypeError, "must be real number, not str"),
    (("/dev/x", 9600.0, 1), TypeError, "Argument 'baudrate' has incorrect type (expected int, got float)"),
    (("/dev/x", 9600), TypeError, "__init__() takes exactly 4 positional arguments (3 given)"),
])
def test_constructor_refusals_call_no_factory(channels, args, error, text):
    with pytest.raises(error) as info:
        Master(*args)
    assert str(info.value) == text
    assert channels == []


def test_factory_failure_passes_out(monkeypatch):
    def factory(**kwargs):
        raise PermissionError(13, "Permission denied")
    monkeypatch.setattr(brel_modbus, "create_serial_instance", factory)
    with pytest.raises(PermissionError):
        Master("/dev/ttyS0", 9600, 1)


def test_factory_looked_up_at_each_construction(monkeypatch, channels):
    Master("a", 1, 1)
    seen = []
    monkeypatch.setattr(brel_modbus, "create_serial_instance", lambda **kw: seen.append(kw) or "chan")
    assert Master("b", 2, 3).serial == "chan"
    assert seen == [{"port": "b", "baudrate": 2, "timeout": 3.0}] and len(channels) == 1


# ---- record and hex views ------------------------------------------------------------------

def test_new_master_record(master):
    assert master.last_command_sent == b"" and master.last_feedback_received == b""
    assert master.last_command_sent_hex == "" and master.last_feedback_received_hex == ""


def test_record_after_short_answer(master, channel):
    channel.answer(bytes.fromhex("01 05 00"))
    with pytest.raises(OSError, match="^modbus: read from slave timeout$"):
        master.write_coil(1, 3, True)
    assert master.last_command_sent_hex == "01 05 00 03 FF 00 7C 3A"
    assert master.last_feedback_received_hex == "01 05 00"
    assert master.last_feedback_received == b"\x01\x05\x00"


@pytest.mark.parametrize("value, expected", [
    (None, None), ("text", TypeError("Expected bytes, got str")),
    (bytearray(b"\x01"), TypeError("Expected bytes, got bytearray")),
])
def test_traffic_properties_check_their_result(master, value, expected):
    master.MessageLastSent = value
    master.MessageLastReceived = value
    for name in ("last_command_sent", "last_feedback_received"):
        if isinstance(expected, Exception):
            with pytest.raises(TypeError) as info:
                getattr(master, name)
            assert str(info.value) == str(expected)
        else:
            assert getattr(master, name) is None


def test_hex_views_go_through_the_properties(master):
    class Sub(Master):
        @property
        def last_command_sent(self):
            return b"\x0a\xff\x00"
    sub = Sub("x", 1, 1)
    assert sub.last_command_sent_hex == "0A FF 00"
    master.MessageLastReceived = bytes(range(0, 256, 17))
    assert master.last_feedback_received_hex == "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"


# ---- __read and __write_message --------------------------------------------------------------

def test_read_appends_and_returns(master, channel):
    channel.incoming += b"\x01\x02\x03"
    assert master._Master__read() == b"\x01"
    assert master._Master__read(5) == b"\x02\x03"
    assert master.MessageLastReceived == b"\x01\x02\x03"
    assert channel.reads == [1, 5]


def test_read_failure_keeps_record(master, channel, monkeypatch):
    master.MessageLastReceived = b"\x07"

    def broken(size):
        raise OSError(5, "I/O error")
    monkeypatch.setattr(channel, "read", broken)
    with pytest.raises(OSError):
        master._Master__read(3)
    assert master.MessageLastReceived == b"\x07"


def test_write_message_discards_stale_input_unrecorded(master, channel):
    channel.incoming += b"\xAA\xBB\xCC"
    master.MessageLastReceived = b"\x01"
    msg = array.array("B", [1, 2, 3])
    assert master._Master__write_message(msg) is None
    assert channel.calls == [("in_waiting",), ("in_waiting",), ("read", 3), ("write", b"\x01\x02\x03")]
    assert master.MessageLastSent == b"\x01\x02\x03" and master.MessageLastReceived == b""
    assert channel.written_types == [(array.array, "B")]


def test_write_message_without_stale_input_reads_nothing(master, channel):
    master._Master__write_message(array.array("B", [9]))
    assert channel.calls == [("in_waiting",), ("write", b"\x09")]


@pytest.mark.parametrize("stage", ["in_waiting", "write"])
def test_write_message_failure_keeps_records(master, channel, monkeypatch, stage):
    master.MessageLastSent, master.MessageLastReceived = b"\x01", b"\x02"

    class Broken(type(channel)):
        @property
        def in_waiting(self):
            if stage == "in_waiting":
                raise OSError("gone")
            return 0

        def write(self, data):
            raise OSError("gone")
    channel.__class__ = Broken
    with pytest.raises(OSError, match="gone"):
        master._Master__write_message(array.array("B", [5]))
    assert (master.MessageLastSent, master.MessageLastReceived) == (b"\x01", b"\x02")


# ---- close, with, timeout ------------------------------------------------------------------

def test_close_only_when_open(master, channel):
    master.close()
    master.close()
    assert [c for c in channel.calls if c[0] == "close"] == [("close",)]
    assert channel.calls == [("is_open",), ("close",), ("is_open",)]


def test_context_manager_closes_once_and_propagates(master, channel):
    with pytest.raises(KeyError):
        with master as bound:
            assert bound is master
            raise KeyError("inside")
    assert channel.calls.count(("close",)) == 1
    assert master.__exit__(None, None, None) is None


def test_exit_uses_the_instance_close(channels):
    closed = []

    class Sub(Master):
        def close(self):
            closed.append(self)
    with Sub("x", 1, 1) as sub:
        pass
    assert closed == [sub] and channels[0].calls == []


@pytest.mark.parametrize("value, stored", [(2, 2.0), (0.25, 0.25), (True, 1.0)])
def test_timeout_setter_converts_to_float(master, channel, value, stored):
    master.timeout = value
    assert channel.calls == [("timeout=", stored)] and type(channel.timeout_value) is float
    assert master.timeout == stored


def test_timeout_getter_returns_channel_value_unchanged(master, channel):
    channel.timeout_value = "whatever the channel says"
    assert master.timeout == "whatever the channel says"
    with pytest.raises(TypeError, match="must be real number, not str"):
        master.timeout = "1"
    assert channel.calls == []
