"""FixMaster forwarding: station first, arguments in order, method by name, results."""

import pytest

import brel_modbus

# method, arguments, the call expected on the wrapped master (after the station),
# whether the master's result is returned (otherwise None is).
FORWARDS = [
    ("send_write_coil_request", (1, 0xFF00), (1, 0xFF00), False),
    ("send_write_registers_request", (2, [1, 2]), (2, [1, 2]), False),
    ("send_write_register_request", (3, 4), (3, 4), False),
    ("send_read_coils_request", (4, 8), (4, 8), False),
    ("send_read_registers_request", (5, 2), (5, 2, 3), False),
    ("write_register", (6, 7), (6, 7), False),
    ("write_registers", (7, [8, 9, 10]), (7, [8, 9, 10]), False),
    ("write_coil", (8, True), (8, True), False),
    ("read_register", (9,), (9,), True),
    ("read_registers", (10, 3), (10, 3, 3), True),
    ("read_coil", (11,), (11,), True),
    ("read_coils", (12, 16), (12, 16), True),
    ("read_int32", (13,), (13,), True),
    ("read_uint32", (14,), (14,), True),
    ("read_float", (15,), (15,), True),
    ("write_int32", (16, -5), (16, -5), False),
    ("write_uint32", (17, 5), (17, 5), False),
    ("read_int16", (18,), (18,), True),
    ("read_uint16", (19,), (19,), True),
    ("write_int16", (20, -2), (20, -2), True),
    ("write_uint16", (21, 65534), (21, 65534), True),
    ("write_coils", (22, [1, 0]), (22, [1, 0]), True),
    ("mask_write_register", (23, 0xF0, 0x0F), (23, 0xF0, 0x0F), True),
    ("read_write_registers", (24, 2, 25, [1]), (24, 2, 25, [1]), True),
    ("read_device_identification", (), (1, 0), True),
    ("read_values", (26, "f"), (26, "f", "ABCD", 3), True),
    ("write_values", (27, "H", [1], "DCBA"), (27, "H", [1], "DCBA"), True),
    ("read_exception_status", (), (), True),
    ("diagnostics", (0,), (0, b""), True),
    ("get_comm_event_counter", (), (), True),
    ("get_comm_event_log", (), (), True),
    ("report_server_id", (), (), True),
    ("read_file_record", ([(4, 1, 2)],), ([(4, 1, 2)],), True),
    ("write_file_record", ([(4, 7, [1, 2])],), ([(4, 7, [1, 2])],), False),
    ("read_fifo_queue", (0x4DE,), (0x4DE,), True),
    ("execute", (0x41, b"\x00"), (0x41, b"\x00", None), True),
]


@pytest.mark.parametrize("name, args, forwarded, returns", FORWARDS, ids=[row[0] for row in FORWARDS])
def test_forwards_station_first_to_method_of_same_name(fm, name, args, forwarded, returns):
    result = getattr(fm, name)(*args)
    assert fm.master.calls == [(name, (5, *forwarded), {})]
    assert result == (("result of", name) if returns else None)


def test_every_method_of_the_class_is_covered():
    methods = [k for k, v in brel_modbus.FixMaster.__dict__.items()
               if callable(v) and not k.startswith("__") and k != "close"]
    assert methods == [row[0] for row in FORWARDS]


@pytest.mark.parametrize(
    "name, kwargs, forwarded",
    [
        ("read_registers", {"count": 2, "address": 0}, (0, 2, 3)),
        ("read_registers", {"address": 0, "count": 2, "func_code": 4}, (0, 2, 4)),
        ("send_read_registers_request", {"func_code": 4, "count": 1, "address": 7}, (7, 1, 4)),
        ("write_coil", {"value": 0, "address": 3}, (3, 0)),
        ("write_uint16", {"value": 1, "address": 2}, (2, 1)),
    ],
)
def test_keyword_arguments_are_forwarded_positionally(fm, name, kwargs, forwarded):
    getattr(fm, name)(**kwargs)
    assert fm.master.calls == [(name, (5, *forwarded), {})]


def test_read_registers_with_input_register_code(fm):
    fm.read_registers(0, 2, 4)
    assert fm.master.calls == [("read_registers", (5, 0, 2, 4), {})]


def test_func_code_default_fixed_when_class_was_created(fm, monkeypatch):
    monkeypatch.setattr(brel_modbus.ModbusStatic, "FC_Read_Registers", 4)
    fm.read_registers(0, 1)
    fm.send_read_registers_request(0, 1)
    assert [call[1][-1] for call in fm.master.calls] == [3, 3]


def test_station_change_applies_to_next_call(fm):
    fm.write_register(1, 3)
    fm.station = 7
    fm.write_register(1, 3)
    fm.station = 300  # not range-tested here: the master's frame building refuses it
    fm.read_coil(0)
    assert fm.master.calls == [
        ("write_register", (5, 1, 3), {}),
        ("write_register", (7, 1, 3), {}),
        ("read_coil", (300, 0), {}),
    ]


def test_method_is_looked_up_on_the_master_at_call_time(fm):
    assert fm.read_float(1) == ("result of", "read_float")
    fm.master.read_float = lambda station, address: ("patched", station, address)
    assert fm.read_float(1) == ("patched", 5, 1)


def test_stored_master_and_station_are_read_at_each_call(fm, fake_master):
    other = fake_master("q", 9600, 1.0)
    fm.__dict__["_FixMaster__master"] = other
    fm.__dict__["_FixMaster__station"] = 11
    fm.read_int16(2)
    assert other.calls == [("read_int16", (11, 2), {})]
    assert fm.master is other


def test_errors_of_the_master_pass_on_unchanged(fm):
    error = OSError("modbus: read from slave timeout")

    def failing(*args):
        raise error

    fm.master.read_registers = failing
    with pytest.raises(OSError) as info:
        fm.read_registers(0, 2)
    assert info.value is error


def test_missing_master_method_raises_attribute_error(fm):
    fm.__dict__["_FixMaster__master"] = object()
    with pytest.raises(AttributeError, match="read_coils"):
        fm.read_coils(0, 1)


def incorrect(param, got):
    return f"Argument '{param}' has incorrect type (expected int, got {got})"


# Calls refused on entry: nothing reaches the master.
REFUSED = [
    ("send_write_coil_request", (True, 1), "address", "bool"),
    ("send_write_coil_request", (1, True), "value", "bool"),
    ("send_write_registers_request", (1.0, [1]), "address", "float"),
    ("send_write_register_request", (1, None), "value", "NoneType"),
    ("send_read_coils_request", (1, "8"), "count", "str"),
    ("send_read_registers_request", (1, 2, 3.0), "func_code", "float"),
    ("write_register", (1, True), "value", "bool"),
    ("write_register", (None, True), "address", "NoneType"),
    ("write_registers", (True, [1]), "address", "bool"),
    ("write_coil", (True, 1), "address", "bool"),
    ("read_register", (True,), "address", "bool"),
    ("read_registers", (1, True), "count", "bool"),
    ("read_registers", (1, 2, None), "func_code", "NoneType"),
    ("read_registers", (True, None, None), "address", "bool"),
    ("read_coil", ("1",), "address", "str"),
    ("read_coils", (1, 2.0), "count", "float"),
    ("read_int32", (True,), "address", "bool"),
    ("read_uint32", (1.0,), "address", "float"),
]


@pytest.mark.parametrize("name, args, param, got", REFUSED)
def test_entry_tests_refuse_before_forwarding(fm, name, args, param, got):
    with pytest.raises(TypeError) as info:
        getattr(fm, name)(*args)
    assert str(info.value) == incorrect(param, got)
    assert fm.master.calls == []


# Parameters annotated "bool", "_Sequence" or not at all: passed on as given.
UNCHECKED = [
    ("write_coil", (1, "on")),
    ("write_coil", (1, 1)),
    ("write_registers", (1, (1, 2))),
    ("send_write_registers_request", (1, range(3))),
    ("read_float", (True,)),
    ("write_int32", (1.5, "x")),
    ("write_uint32", (None, None)),
    ("read_int16", ("1",)),
    ("read_uint16", (True,)),
    ("write_int16", (True, 1.5)),
    ("write_uint16", (None, True)),
]


@pytest.mark.parametrize("name, args", UNCHECKED)
def test_unchecked_parameters_are_forwarded_as_given(fm, name, args):
    getattr(fm, name)(*args)
    ((called, forwarded, _),) = fm.master.calls
    assert called == name
    assert forwarded[0] == 5
    assert all(a is b for a, b in zip(forwarded[1:], args, strict=True))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda fm: brel_modbus.FixMaster.read_register(fm),
         "read_register() takes exactly 2 positional arguments (1 given)"),
        (lambda fm: fm.read_registers(1), "read_registers() takes at least 3 positional arguments (2 given)"),
        (lambda fm: fm.read_registers(1, 2, 3, 4), "read_registers() takes at most 4 positional arguments (5 given)"),
        (lambda fm: fm.write_int16(1), "write_int16() takes exactly 3 positional arguments (2 given)"),
        (lambda fm: fm.read_coil(1, unit=2), "read_coil() got an unexpected keyword argument 'unit'"),
        (lambda fm: fm.read_coil(1, address=2), "read_coil() got multiple values for keyword argument 'address'"),
        (lambda fm: fm.close(1), "close() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_list_errors(fm, call, message):
    with pytest.raises(TypeError) as info:
        call(fm)
    assert str(info.value) == message
    assert fm.master.calls == []
