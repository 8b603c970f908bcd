"""The reference: docstrings in the stub and at run time, docs/api.md current, public annotations.

The documented interface keeps the module's and the first classes' runtime docstrings (None but for
ModbusTCPMaster's) and the annotations of their members exactly: the reference adds member docstrings
there, and public, complete annotations only to the members that came later."""

import ast
import inspect
import pydoc
import re
import sys
from pathlib import Path

import pytest

import brel_modbus

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import make_reference  # noqa: E402

STUB = ast.parse((ROOT / "stubs" / "brel_modbus.pyi").read_text(encoding="utf-8"))
CLASSES = [brel_modbus.ModbusStatic, brel_modbus.SlaveException, brel_modbus.Master, brel_modbus.FixMaster,
           brel_modbus.ModbusTCPMaster, brel_modbus.TCPSlaveException, brel_modbus.Poller]
PRIVATE_ALIASES = re.compile(r"\b_(List|Optional|Sequence|Iterable)\b")

# The docstrings that stay exactly as they are ("" is the class's own).
FIXED = {
    ('Master', 'read_register'): (
        '\n'
        '\t\t根据指定的功能码，从指定的从站读取指定地址的寄存器值。\n'
        '\t\t:param station: 从站地址\n'
        '\t\t:param address: 寄存器地址\n'
        '\t\t:param func_code: 功能码，默认为读取多个寄存器，3\n'
        '\t\t:return: 16 位寄存器值（无符号）\n'
        '\t\t'
    ),
    ('Master', 'read_registers'): (
        '\n'
        '\t\t根据指定的功能码，从指定的从站读取指定地址指定数量的寄存器值。\n'
        '\t\t:param station: 从站地址\n'
        '\t\t:param address: 寄存器地址\n'
        '\t\t:param count: 要读取的寄存器数量\n'
        '\t\t:param func_code: 功能码，默认为读取多个寄存器，3\n'
        '\t\t:return: 多个寄存器值（16位无符号整数）组成的列表\n'
        '\t\t'
    ),
    ('Master', 'read_input_register'): (
        '\n'
        '\t\t从指定的从站读取指定地址的“输入”寄存器值，只读取一个，使用确定的功能码 0x4\n'
        '\t\t:param station: 从站地址\n'
        '\t\t:param address: 寄存器地址\n'
        '\t\t:return: 16 位寄存器值（无符号）\n'
        '\t\t'
    ),
    ('Master', 'read_input_registers'): (
        '\n'
        '\t\t使用确定的功能码 0x4，从指定的从站读取指定地址指定数量的寄存器（输入寄存器）值。\n'
        '\t\t:param station: 从站地址\n'
        '\t\t:param address: 寄存器地址\n'
        '\t\t:param count: 要读取的寄存器数量\n'
        '\t\t:return: 多个寄存器值（16位无符号整数）组成的列表\n'
        '\t\t'
    ),
    ('Master', '_Master__write_message'): (
        '\n'
        '\t\t把组装好的报文写入到通道（如串口）。所有需要往通道写数据的函数都应该通过调用这个函数来执行写入。\n'
        '\t\t:param message: 组装好的报文\n'
        '\t\t:return: No return\n'
        '\t\t'
    ),
    ('FixMaster', 'read_registers'): (
        '\n'
        '\t\t根据指定的功能码，从预定的从站读取指定地址指定数量的寄存器值。\n'
        '\t\t:param address: 寄存器地址\n'
        '\t\t:param count: 要读取的寄存器数量\n'
        '\t\t:param func_code: 功能码，默认为读取多个寄存器，3\n'
        '\t\t:return: 多个寄存器值（16位无符号整数）组成的列表\n'
        '\t\t'
    ),
    ('ModbusTCPMaster', '_ModbusTCPMaster__query'): (
        '\n'
        '\t\t此函数根据提供的 command 构建出完整的查询报文。\n'
        '\t\t发送查询报文后接收应答报文，此函数执行基本的报文检验，确保收到的报文符合要求。\n'
        '\t\t函数只把有用的数据报文返回给调用者。\n'
        '\t\t'
    ),
    ('ModbusStatic', 'decode_values'): (
        'The values held by registers, as a format of struct codes de'
        'scribes them (h H i I q Q e f d, Ns).\n'
        '\n'
        "order is where each value's bytes sit: 'ABCD' (big-endian), "
        "'CDAB' (word swap), 'BADC' (byte\n"
        "swap) or 'DCBA' (little-endian). Ints come back as int, e f "
        'd as float, Ns as bytes.'
    ),
    ('ModbusStatic', 'encode_values'): (
        'The registers that hold values, one item per value of the fo'
        'rmat (h H i I q Q e f d, Ns).\n'
        '\n'
        'order as for decode_values. A string shorter than its field '
        'is padded with NUL bytes.'
    ),
    ('Poller', 'add'): (
        'Add a point: a value of `format` (registers) or one bit at `'
        "address` of `table` ('holding', 'input', 'coil', 'discrete')"
        ' of `station`, read every `period` seconds.'
    ),
    ('Poller', 'plan'): (
        'The requests a pass sends: (station, table, address, count, '
        '[names]).'
    ),
    ('Poller', 'poll'): (
        'One pass over every due request: name -> value, or the excep'
        "tion of the point's failed request."
    ),
    ('Poller', 'run'): (
        'An iterator of passes, each point at its own period, sleepin'
        'g between them; stops after `duration` seconds (None: never)'
        '.'
    ),
    ('ModbusTCPMaster', ''): (
        'Modbus 主站控制端，也叫客户端。'
    ),
    ('TCPSlaveException', ''): (
        'A Modbus TCP exception answer: a SlaveException that is also'
        ' an AssertionError.'
    ),
    ('Poller', ''): (
        'Reads many points of many stations with few requests: points'
        ' of one station, table and period are merged into one read w'
        'hile the gap between them is at most max_gap registers (max_'
        'bit_gap bits), within the Modbus limits.'
    ),
}


# The documented interface: the classes' runtime docstrings, and the exact __annotations__ of
# every member it lists (a property's getter and setter apart). "" is the module.
DOCUMENTED_DOCS = {
    "": None, "ModbusStatic": None, "SlaveException": None, "Master": None, "FixMaster": None,
    "ModbusTCPMaster": "Modbus 主站控制端，也叫客户端。",
}
DOCUMENTED_ANNOTATIONS = {
    'FixMaster.__enter__': {},
    'FixMaster.__exit__': {},
    'FixMaster.__init__': {'baudrate': 'int', 'port': 'str', 'station': 'int', 'timeout': 'float'},
    'FixMaster.close': {},
    'FixMaster.last_command_sent.fget': {'return': 'bytes'},
    'FixMaster.last_command_sent_hex.fget': {'return': 'str'},
    'FixMaster.last_feedback_received.fget': {'return': 'bytes'},
    'FixMaster.last_feedback_received_hex.fget': {'return': 'str'},
    'FixMaster.master.fget': {},
    'FixMaster.read_coil': {'address': 'int'},
    'FixMaster.read_coils': {'address': 'int', 'count': 'int'},
    'FixMaster.read_float': {},
    'FixMaster.read_int16': {},
    'FixMaster.read_int32': {'address': 'int'},
    'FixMaster.read_register': {'address': 'int'},
    'FixMaster.read_registers': {'address': 'int', 'count': 'int', 'func_code': 'int'},
    'FixMaster.read_uint16': {},
    'FixMaster.read_uint32': {'address': 'int'},
    'FixMaster.send_read_coils_request': {'address': 'int', 'count': 'int'},
    'FixMaster.send_read_registers_request': {'address': 'int', 'count': 'int', 'func_code': 'int'},
    'FixMaster.send_write_coil_request': {'address': 'int', 'value': 'int'},
    'FixMaster.send_write_register_request': {'address': 'int', 'value': 'int'},
    'FixMaster.send_write_registers_request': {'address': 'int', 'values': '_Sequence'},
    'FixMaster.serial.fget': {},
    'FixMaster.station.fget': {'return': 'int'},
    'FixMaster.station.fset': {'value': 'int'},
    'FixMaster.timeout.fget': {'return': 'float'},
    'FixMaster.timeout.fset': {'value': 'float'},
    'FixMaster.write_coil': {'address': 'int', 'value': 'bool'},
    'FixMaster.write_int16': {},
    'FixMaster.write_int32': {},
    'FixMaster.write_register': {'address': 'int', 'value': 'int'},
    'FixMaster.write_registers': {'address': 'int', 'values': '_Sequence'},
    'FixMaster.write_uint16': {},
    'FixMaster.write_uint32': {},
    'Master._Master__check_crc': {},
    'Master._Master__feedback_assistant': {},
    'Master._Master__read': {},
    'Master._Master__read_int32': {'address': 'int', 'endian': 'str', 'sign': 'str', 'station': 'int'},
    'Master._Master__read_multi_int32': {'count': 'int', 'endian': 'str', 'sign': 'str'},
    'Master._Master__read_xx_coils': {'code': 'int', 'count': 'int'},
    'Master._Master__send_read_xx_coils_request': {'code': 'int', 'count': 'int'},
    'Master._Master__send_read_xx_registers_request':
        {'address': 'int', 'code': 'int', 'count': 'int', 'station': 'int'},
    'Master._Master__write_int32': {'endian': 'str', 'sign': 'str'},
    'Master._Master__write_message': {},
    'Master._Master__write_multi_int32': {'endian': 'str', 'sign': 'str'},
    'Master.__enter__': {},
    'Master.__exit__': {},
    'Master.__init__': {'baudrate': 'int', 'port': 'str', 'timeout': 'float'},
    'Master.close': {},
    'Master.last_command_sent.fget': {'return': 'bytes'},
    'Master.last_command_sent_hex.fget': {'return': 'str'},
    'Master.last_feedback_received.fget': {'return': 'bytes'},
    'Master.last_feedback_received_hex.fget': {'return': 'str'},
    'Master.read_coil': {},
    'Master.read_coils': {},
    'Master.read_float': {'endian': 'str'},
    'Master.read_input_coils': {},
    'Master.read_input_register': {'address': 'int', 'station': 'int'},
    'Master.read_input_registers': {'address': 'int', 'count': 'int'},
    'Master.read_int16': {'address': 'int', 'station': 'int'},
    'Master.read_int32': {'endian': 'str'},
    'Master.read_multi_float': {'count': 'int', 'endian': 'str'},
    'Master.read_multi_int32': {'count': 'int', 'endian': 'str'},
    'Master.read_multi_uint32': {'count': 'int', 'endian': 'str'},
    'Master.read_register': {'address': 'int', 'func_code': 'int', 'station': 'int'},
    'Master.read_registers': {'address': 'int', 'count': 'int', 'func_code': 'int', 'station': 'int'},
    'Master.read_uint16': {'address': 'int', 'func_code': 'int', 'station': 'int'},
    'Master.read_uint32': {'endian': 'str'},
    'Master.send_read_coils_request': {},
    'Master.send_read_input_coils_request': {},
    'Master.send_read_input_registers_request': {},
    'Master.send_read_registers_request': {'func_code': 'int'},
    'Master.send_write_coil_request': {},
    'Master.send_write_register_request': {},
    'Master.send_write_registers_request': {},
    'Master.serial.fget': {},
    'Master.timeout.fget': {'return': 'float'},
    'Master.timeout.fset': {'value': 'float'},
    'Master.write_coil': {},
    'Master.write_float': {'endian': 'str'},
    'Master.write_int16': {},
    'Master.write_int32': {'endian': 'str'},
    'Master.write_multi_float': {'endian': 'str'},
    'Master.write_multi_int32': {'endian': 'str'},
    'Master.write_multi_uint32': {'endian': 'str'},
    'Master.write_register': {},
    'Master.write_registers': {},
    'Master.write_uint16': {},
    'Master.write_uint32': {'endian': 'str'},
    'ModbusStatic.calculate_crc': {},
    'ModbusStatic.compound_register': {},
    'ModbusStatic.crc_is_right': {},
    'ModbusStatic.split_register': {},
    'ModbusTCPMaster._ModbusTCPMaster__query':
        {'command': 'bytes', 'length_needed': '_Optional[int]', 'return': 'bytes'},
    'ModbusTCPMaster.__enter__': {},
    'ModbusTCPMaster.__exit__': {},
    'ModbusTCPMaster.__init__': {'host': 'str', 'port': 'int', 'station': 'int', 'timeout': 'float'},
    'ModbusTCPMaster.close': {},
    'ModbusTCPMaster.construct_header':
        {'command': 'bytes', 'head_checker': 'int', 'protocol': 'int', 'station': 'int'},
    'ModbusTCPMaster.construct_read_coils_command': {'address': 'int', 'count': 'int'},
    'ModbusTCPMaster.construct_read_registers_command': {'address': 'int', 'count': 'int'},
    'ModbusTCPMaster.construct_whole_query_command':
        {'command': 'bytes', 'head_checker': 'int', 'protocol': 'int', 'station': 'int'},
    'ModbusTCPMaster.construct_write_coil_command': {'address': 'int', 'value': 'bool'},
    'ModbusTCPMaster.construct_write_registers_command': {'address': 'int', 'values': '_List[int]'},
    'ModbusTCPMaster.last_command_sent.fget': {'return': 'bytes'},
    'ModbusTCPMaster.last_command_sent_hex.fget': {'return': 'str'},
    'ModbusTCPMaster.last_feedback_received.fget': {'return': 'bytes'},
    'ModbusTCPMaster.last_feedback_received_hex.fget': {'return': 'str'},
    'ModbusTCPMaster.protocol.fget': {'return': 'int'},
    'ModbusTCPMaster.read_coils': {'address': 'int', 'count': 'int', 'return': '_List[bool]'},
    'ModbusTCPMaster.read_register': {'address': 'int', 'return': 'int'},
    'ModbusTCPMaster.read_registers': {'address': 'int', 'count': 'int', 'return': '_List[int]'},
    'ModbusTCPMaster.socket.fget': {},
    'ModbusTCPMaster.station.fget': {'return': 'int'},
    'ModbusTCPMaster.station.fset': {'value': 'int'},
    'ModbusTCPMaster.timeout.fget': {},
    'ModbusTCPMaster.write_coil': {'address': 'int', 'value': 'bool'},
    'ModbusTCPMaster.write_register': {'address': 'int', 'value': 'int'},
    'ModbusTCPMaster.write_registers': {'address': 'int', 'values': '_List[int]'},
    'SlaveException.__init__': {},
    'SlaveException.__repr__': {},
    'SlaveException.__str__': {},
    '_byte_array': {'iterable': '_Iterable'},
}


def documented(owner, key):
    """Whether the documented interface fixes the member's annotations."""
    return any(name.split(".")[:2] == [owner, key] for name in DOCUMENTED_ANNOTATIONS)


def stub_classes():
    return {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def stub_members(node):
    """(name, docstring) of every member the stub declares in a class, setters left out."""
    for index, item in enumerate(node.body):
        if isinstance(item, ast.FunctionDef):
            if not any(ast.unparse(d).endswith(".setter") for d in item.decorator_list):
                yield item.name, ast.get_docstring(item)
        elif isinstance(item, ast.AnnAssign):
            following = node.body[index + 1] if index + 1 < len(node.body) else None
            doc = following.value.value if isinstance(following, ast.Expr) and isinstance(following.value,
                                                                                         ast.Constant) else None
            yield item.target.id, doc


def runtime_members():
    """(class, key, the object help() documents) for every function, static method and property."""
    for cls in CLASSES:
        for key, value in vars(cls).items():
            if isinstance(value, property):
                yield cls.__name__, key, value
            elif isinstance(value, staticmethod) or type(value).__name__ == "function":
                yield cls.__name__, key, getattr(cls, key)


def public(name):
    return not name.startswith("_") or name in ("__init__", "__enter__", "__exit__", "__str__")


def test_the_generated_reference_is_current():
    # docs/api.md and src/modbus/member_texts.inc are what tools/make_reference.py makes from the stub
    stale = [str(path) for path, text in make_reference.outputs().items() if path.read_text(encoding="utf-8") != text]
    assert not stale, "out of date (run python tools/make_reference.py): " + ", ".join(stale)
    assert make_reference.main(["--check"]) == 0


def test_a_changed_stub_changes_the_reference(tmp_path):
    stub = tmp_path / "brel_modbus.pyi"
    text = (ROOT / "stubs" / "brel_modbus.pyi").read_text(encoding="utf-8")
    stub.write_text(text.replace("Read one coil (function code 1).", "Read a coil."), encoding="utf-8")
    module_doc, classes, names = make_reference.read_stub(stub)
    api = make_reference.make_api(module_doc, classes, names)
    assert "Read a coil." in api and api != (ROOT / "docs" / "api.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("pointer, error", [("As Master.trace.", None), ("As Master.no_such_member.", ValueError),
                                            ("As FixMaster.trace.", ValueError)])
def test_a_member_that_points_to_another_takes_its_text(tmp_path, pointer, error):
    stub = tmp_path / "brel_modbus.pyi"
    text = (ROOT / "stubs" / "brel_modbus.pyi").read_text(encoding="utf-8")
    marker = "Example: master.trace = records.append"
    assert marker in text
    # Master's text changed once; ModbusTCPMaster.trace points to the pointer under test
    text = text.replace(marker, "Example: master.trace = print", 1)
    head, tcp, rest = text.partition("class ModbusTCPMaster")
    stub.write_text(head + tcp + rest.replace('"""As Master.trace."""', f'"""{pointer}"""', 1), encoding="utf-8")
    if error:
        with pytest.raises(error):
            make_reference.read_stub(stub)
        return
    _, classes, _ = make_reference.read_stub(stub)
    docs = {(c.name, m.name): m.doc for c in classes for m in c.members}
    assert docs["ModbusTCPMaster", "trace"] == docs["FixMaster", "trace"] == docs["Master", "trace"]
    assert docs["Master", "trace"].endswith("Example: master.trace = print")


def test_the_stub_documents_every_public_member():
    assert ast.get_docstring(STUB)
    classes = stub_classes()
    for cls in CLASSES:
        node = classes[cls.__name__]
        assert ast.get_docstring(node), cls.__name__
        documented = dict(stub_members(node))
        for name, doc in documented.items():
            assert doc, f"{cls.__name__}.{name} has no docstring in the stub"
        for key in vars(cls):
            if public(key) and key not in ("__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"):
                assert key in documented, f"{cls.__name__}.{key} is missing from the stub"


def test_every_member_has_a_runtime_docstring():
    for cls in CLASSES:
        if cls.__name__ not in DOCUMENTED_DOCS:
            assert inspect.getdoc(cls), cls.__name__
    missing = [f"{owner}.{key}" for owner, key, member in runtime_members() if not inspect.getdoc(member)]
    assert not missing
    # a property's setter says what its getter says
    for owner, key, member in runtime_members():
        if isinstance(member, property) and member.fset is not None:
            assert member.fset.__doc__ == member.fget.__doc__, f"{owner}.{key}"


@pytest.mark.parametrize("owner, key", list(FIXED), ids=lambda v: v or "class")
def test_fixed_docstrings_stay(owner, key):
    cls = getattr(brel_modbus, owner)
    if not key:
        assert cls.__doc__ == FIXED[owner, key]
        return
    value = vars(cls)[key]
    value = value.__func__ if isinstance(value, staticmethod) else value
    assert value.__doc__ == FIXED[owner, key]


def test_runtime_docstrings_are_the_stubs():
    stub_docs = {(cls, name): doc for cls, node in stub_classes().items() for name, doc in stub_members(node)}
    for key, doc in stub_docs.items():   # "As Class.member.": that member's text
        same = make_reference.SAME_AS.fullmatch(doc or "")
        if same:
            stub_docs[key] = stub_docs[same[1], same[2]]
    compared = 0
    for owner, key, member in runtime_members():
        if (owner, key) in FIXED or (owner, key) not in stub_docs:
            continue
        target = make_reference.ALIASES.get((owner, key))
        expected = stub_docs[owner, target] if target and (owner, target) not in FIXED else (
            FIXED.get((owner, target)) if target else stub_docs[owner, key])
        doc = member.__doc__ if isinstance(member, property) else member.__doc__
        assert doc == expected, f"{owner}.{key}"
        compared += 1
    assert compared > 140
    assert brel_modbus.Master.read_uint16.__doc__ == FIXED["Master", "read_register"]   # the same member


@pytest.mark.parametrize("owner", list(DOCUMENTED_DOCS), ids=lambda v: v or "module")
def test_documented_docstrings_of_module_and_classes(owner):
    target = getattr(brel_modbus, owner) if owner else brel_modbus
    assert target.__doc__ == DOCUMENTED_DOCS[owner]


@pytest.mark.parametrize("name", list(DOCUMENTED_ANNOTATIONS))
def test_documented_annotations(name):
    owner, _, rest = name.partition(".")
    if not rest:
        member = getattr(brel_modbus, owner)
    else:
        key, _, accessor = rest.partition(".")
        member = vars(getattr(brel_modbus, owner))[key]
        member = getattr(member, accessor) if accessor else getattr(member, "__func__", member)
    assert member.__annotations__ == DOCUMENTED_ANNOTATIONS[name]
    # the signature shows exactly those, in the texts of the table
    signature = inspect.signature(member)
    shown = {p.name: p.annotation for p in signature.parameters.values() if p.annotation is not p.empty}
    if signature.return_annotation is not signature.empty:
        shown["return"] = signature.return_annotation
    assert shown == DOCUMENTED_ANNOTATIONS[name]


def test_the_documented_table_covers_every_documented_member():
    # each member that the generator keeps free of the stub's annotations is in the table, and the reverse
    for owner, keys in make_reference.DOCUMENTED.items():
        for key in keys:
            assert documented(owner, key), f"{owner}.{key}"
    for name in DOCUMENTED_ANNOTATIONS:
        owner, _, rest = name.partition(".")
        key = rest.split(".")[0]
        assert not rest or key.startswith(f"_{owner}__") or key in make_reference.DOCUMENTED[owner], name


def test_unannotated_documented_parameters_take_anything():
    # Master.read_coil carries no annotation: a bool station passes the entry, a float address fails
    # where it always failed, not at an entry check
    assert str(inspect.signature(brel_modbus.Master.read_coil)) == "(self, station, address)"
    with pytest.raises(TypeError) as info:
        brel_modbus.Master.read_coil(object.__new__(brel_modbus.Master), 1, 2.0)
    assert "has incorrect type" not in str(info.value)


def annotated_members():
    """(name, function) of every member that came after the documented interface."""
    for owner, key, member in runtime_members():
        if documented(owner, key) or documented(owner, make_reference.ALIASES.get((owner, key))):
            continue   # an alias is the member it repeats
        if isinstance(member, property):
            yield from ((f"{owner}.{key}", f) for f in (member.fget, member.fset) if f is not None)
        else:
            yield f"{owner}.{key}", member


@pytest.mark.parametrize("name, member", list(annotated_members()), ids=lambda v: v if isinstance(v, str) else "")
def test_annotations_are_complete_and_public(name, member):
    signature = inspect.signature(member)
    assert not PRIVATE_ALIASES.search(str(signature)), str(signature)
    if not public(name.split(".")[1]):
        return
    for parameter in signature.parameters.values():
        if parameter.name != "self" and parameter.kind is not inspect.Parameter.VAR_KEYWORD:
            assert parameter.annotation is not inspect.Parameter.empty, f"{name}: {parameter.name}"
    setter = isinstance(vars(getattr(brel_modbus, name.split(".")[0])).get(name.split(".")[1]), property) and (
        "value" in signature.parameters)
    if not setter:
        assert signature.return_annotation is not inspect.Signature.empty, name
    assert not any(str(a).startswith("~") for a in member.__annotations__.values())


def test_help_shows_no_private_alias_for_the_later_members():
    for name, member in annotated_members():
        text = pydoc.render_doc(member, renderer=pydoc.plaintext)
        assert not PRIVATE_ALIASES.search(text), name
    for cls in (brel_modbus.TCPSlaveException, brel_modbus.Poller):
        assert not PRIVATE_ALIASES.search(pydoc.render_doc(cls, renderer=pydoc.plaintext)), cls.__name__
    text = pydoc.render_doc(brel_modbus.Master, renderer=pydoc.plaintext)
    assert "write_coils(self, station: 'int', address: 'int', values: 'Sequence[object]') -> 'None'" in text
    assert "read_coil(self, station, address)" in text   # documented: no annotation
    assert "Read one coil (function code 1)." in text


def test_shown_annotations_keep_the_entry_rules():
    # the annotation of ModbusTCPMaster.write_int32's value is shown only: a float passes the entry
    # and fails where it always failed, not at an entry check
    text = inspect.signature(brel_modbus.ModbusTCPMaster.write_int32)
    assert str(text) == "(self, address: 'int', value: 'int', endian: 'str' = '>') -> 'None'"
    with pytest.raises(Exception) as info:
        brel_modbus.ModbusTCPMaster.write_int32(object.__new__(brel_modbus.ModbusTCPMaster), 1, 2.5)
    assert "has incorrect type" not in str(info.value)


def test_every_public_name_is_in_the_guide_or_the_reference():
    text = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8") + (ROOT / "docs" / "api.md").read_text(
        encoding="utf-8")
    names = [n for n in dir(brel_modbus) if not n.startswith("_")]
    for cls in CLASSES:
        names += [f"{cls.__name__}.{k}" for k in vars(cls) if not k.startswith("_")]
    missing = [n for n in names if not re.search(r"\b" + re.escape(n.split(".")[-1]) + r"\b", text)
               or ("." in n and f"{n}" not in text)]
    assert not missing
