"""The module as the interpreter sees it: start-up, namespace, function objects, argument rules."""

import importlib
import importlib.metadata
import inspect
import socket
import struct
import subprocess
import sys
import textwrap
import typing

import pytest

import brel_linkkit
import brel_modbus
from brel_modbus import ModbusStatic


def run_python(code, *flags):
    """Run code in a fresh interpreter; returns its stdout (fails the test on a non-zero exit)."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_namespace_in_order():
    # In a fresh interpreter: other tests remove and restore module attributes.
    names = run_python("import brel_modbus; print(*vars(brel_modbus))").split()
    assert names[-1] == "__version__"   # bound after every other name
    assert [n for n in names if not n.startswith("__")] == [
        "create_serial_instance", "array", "_tcp_connect", "struct", "_Iterable", "_List", "_Optional", "_Sequence",
        "_byte_array", "ModbusStatic", "SlaveException", "Master", "FixMaster", "ModbusTCPMaster", "TCPSlaveException",
        "Poller", "AsyncModbusTCPMaster", "ModbusError", "ModbusTimeoutError", "FrameError", "MismatchError",
        "ConnectionClosedError", "MasterClosedError", "TrafficRecord", "log_traffic",
        "TcpChannel", "ModbusUDPMaster", "tls_context", "certificate_role", "AsciiChannel", "AsyncMaster",
        "AsyncPoller"]
    assert brel_modbus.create_serial_instance is brel_linkkit.create_serial_instance
    assert brel_modbus._tcp_connect is socket.create_connection
    assert brel_modbus.struct is struct
    assert (brel_modbus._Iterable, brel_modbus._List, brel_modbus._Optional, brel_modbus._Sequence) == (
        typing.Iterable, typing.List, typing.Optional, typing.Sequence)
    assert brel_modbus.__doc__ is None
    assert not hasattr(brel_modbus, "__all__")


def test_version_comes_from_the_installed_metadata():
    version = importlib.metadata.version("brel_modbus")
    assert brel_modbus.__version__ == version
    assert type(brel_modbus.__version__) is str and version[0].isdigit()


@pytest.mark.parametrize("name, doc", [("ModbusStatic", None), ("SlaveException", None), ("Master", None),
                                       ("FixMaster", None), ("ModbusTCPMaster", "Modbus 主站控制端，也叫客户端。"),
                                       ("Poller", "Reads many points of many stations with few requests: points of "
                                                  "one station, table and period are merged into one read while the "
                                                  "gap between them is at most max_gap registers (max_bit_gap bits), "
                                                  "within the Modbus limits.")])
def test_classes(name, doc):
    cls = getattr(brel_modbus, name)
    assert type(cls) is type
    assert cls.__module__ == "brel_modbus"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__doc__ == doc


def test_import_twice_and_reload_keep_every_object():
    before = dict(vars(brel_modbus))
    ModbusStatic.FC_Read_Coils = 99
    try:
        assert importlib.import_module("brel_modbus") is brel_modbus
        assert importlib.reload(brel_modbus) is brel_modbus
        for name in ("_byte_array", "ModbusStatic", "SlaveException", "Master", "FixMaster", "ModbusTCPMaster",
                     "Poller"):
            assert getattr(brel_modbus, name) is before[name]
        assert ModbusStatic.FC_Read_Coils == 99
    finally:
        ModbusStatic.FC_Read_Coils = 1


def test_failed_start_up_is_forgotten_and_retried():
    out = run_python("""
        import sys, types
        sys.modules["brel_linkkit"] = None
        try:
            import brel_modbus
        except ModuleNotFoundError as e:
            print("missing", type(e).__name__)
        sys.modules["brel_linkkit"] = types.ModuleType("brel_linkkit")
        try:
            import brel_modbus
        except ImportError as e:
            print("name", e)
        del sys.modules["brel_linkkit"]
        import brel_modbus
        print("ok", brel_modbus.ModbusStatic.FC_Write_Registers)
    """)
    assert out.splitlines() == ["missing ModuleNotFoundError", "name cannot import name create_serial_instance",
                                "ok 16"]


def test_failed_start_up_keeps_no_reference_of_its_own():
    # The builtins looked up by a start that failed are let go when the next start looks them up
    # again: afterwards `hex` has as many references as after a single start.
    code = """
        import sys
        before = sys.getrefcount(hex)
        if {fail}:
            sys.modules["brel_linkkit"] = None
            try:
                import brel_modbus
            except ImportError:
                pass
            del sys.modules["brel_linkkit"]
        import brel_modbus
        print(sys.getrefcount(hex) - before)
    """
    assert run_python(code.format(fail=True)) == run_python(code.format(fail=False))


def test_from_import_binds_an_already_loaded_submodule():
    out = run_python("""
        import sys, types
        pkg = types.ModuleType("brel_linkkit")
        pkg.__path__ = []
        sub = types.ModuleType("brel_linkkit.create_serial_instance")
        sys.modules["brel_linkkit"] = pkg
        sys.modules["brel_linkkit.create_serial_instance"] = sub
        import brel_modbus
        print(brel_modbus.create_serial_instance is sub)
    """)
    assert out.strip() == "True"


def test_entry_points_and_reinitialisation_refused():
    out = run_python("""
        import ctypes, brel_modbus
        lib = ctypes.PyDLL(brel_modbus.__file__)
        for name in ("PyInit_brel_modbus", "PyInit___init__"):
            getattr(lib, name).restype = ctypes.c_void_p
        d1, d2 = lib.PyInit_brel_modbus(), lib.PyInit___init__()
        print(d1 == d2 and d1 is not None)
        api = ctypes.pythonapi
        api.PyModule_New.restype = ctypes.py_object
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        other = api.PyModule_New(b"brel_modbus")
        try:
            api.PyModule_ExecDef(other, d1)
        except RuntimeError as e:
            print(e)
        print(api.PyModule_ExecDef(brel_modbus, d1))
    """)
    assert out.splitlines() == [
        "True",
        "Module 'brel_modbus' has already been imported. Re-initialisation is not supported.",
        "0",
    ]


def test_second_interpreter_refused():
    out = run_python(r"""
        import brel_modbus
        try:
            import _interpreters as interpreters  # 3.13 on: a legacy interpreter shares the GIL
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters  # 3.10 to 3.12
            interp = interpreters.create(isolated=False)
        interpreters.run_string(interp, "try:\n import brel_modbus\nexcept ImportError as e:\n print(e)")
    """)
    assert out.strip() == ("Interpreter change detected - this module can only be loaded into one interpreter "
                           "per process.")


@pytest.mark.parametrize("flags, expected", [((), "True"), (("-O",), "False")])
def test_assertion_switch_follows_debug(flags, expected):
    # The switch itself is observed through the TCP master's checks; here only __debug__ is read.
    out = run_python("import brel_modbus; print(__debug__)", *flags)
    assert out.strip() == expected


def test_function_object_attributes():
    f = ModbusStatic.calculate_crc
    assert f.__name__ == "calculate_crc"
    assert f.__qualname__ == "ModbusStatic.calculate_crc"
    assert f.__module__ == "brel_modbus"
    assert f.__doc__.startswith("The CRC-16/MODBUS of string[beg:end]")
    assert f.__defaults__ == (0, None)
    assert f.__annotations__ == {}
    assert str(inspect.signature(f)) == "(string, beg=0, end=None)"
    assert "calculate_crc" in repr(f)
    f.__dict__["note"] = 1
    assert f.note == 1
    b = brel_modbus._byte_array
    assert b.__qualname__ == "_byte_array" and b.__annotations__ == {"iterable": "_Iterable"}
    assert str(inspect.signature(b)) == "(iterable: '_Iterable')"
    init = brel_modbus.SlaveException.__init__
    assert str(inspect.signature(init)) == "(self, station, function_code, error_code)"
    e = brel_modbus.SlaveException(1, 2, 3)
    assert str(inspect.signature(e.__str__)) == "()"
    assert e.__str__.__self__ is e and e.__str__.__func__ is brel_modbus.SlaveException.__str__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ModbusStatic.calculate_crc(), "calculate_crc() takes at least 1 positional argument (0 given)"),
        (lambda: ModbusStatic.calculate_crc(1, 2, 3, 4),
         "calculate_crc() takes at most 3 positional arguments (4 given)"),
        (lambda: ModbusStatic.calculate_crc(beg=1), "calculate_crc() takes at least 1 positional argument (0 given)"),
        (lambda: ModbusStatic.calculate_crc(b"", x=1), "calculate_crc() got an unexpected keyword argument 'x'"),
        (lambda: ModbusStatic.calculate_crc(b"", string=b""),
         "calculate_crc() got multiple values for keyword argument 'string'"),
        (lambda: ModbusStatic.compound_register(1),
         "compound_register() takes exactly 2 positional arguments (1 given)"),
        (lambda: ModbusStatic.compound_register(low=1),
         "compound_register() takes exactly 2 positional arguments (0 given)"),
        (lambda: ModbusStatic.compound_register(1, 2, 3),
         "compound_register() takes exactly 2 positional arguments (3 given)"),
        (lambda: ModbusStatic.split_register(1, 2, value=3),
         "split_register() takes exactly 1 positional argument (2 given)"),
        (lambda: brel_modbus.SlaveException(1, 2), "__init__() takes exactly 4 positional arguments (3 given)"),
        (lambda: brel_modbus.SlaveException(1, 2, 3, error_code=4),
         "__init__() got multiple values for keyword argument 'error_code'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    assert ModbusStatic.compound_register(low=2, high=1) == 258
    assert ModbusStatic.calculate_crc(b"\xaa\x01\x03\x00\x00\x00\x01", end=None, beg=1) == (0x84, 0x0A)
    # an equal but not identical keyword string is found as well
    key = "".join(["hi", "gh"])
    assert ModbusStatic.compound_register(**{key: 1, "low": 0}) == 256


def test_non_string_keyword_refused():
    with pytest.raises(TypeError, match="keywords must be strings"):
        ModbusStatic.split_register(**{1: 2})


@pytest.mark.skipif(sys.platform != "linux", reason="ELF symbol versions")
def test_the_module_needs_no_newer_c_library_than_the_wheels_promise():
    # The wheels are tagged manylinux_2_28: a symbol of a newer glibc or libstdc++ (one that an
    # inline header function pulls in, such as __libc_single_threaded behind std::shared_ptr)
    # makes the module fail to load there. Caught here, before the wheel's own check.
    import re
    import shutil

    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("no objdump")
    dump = subprocess.run([objdump, "-T", brel_modbus.__file__], capture_output=True, text=True, check=True).stdout
    too_new = sorted({f"{lib}_{version}" for lib, version in re.findall(r"\((GLIBC|GLIBCXX)_([\d.]+)\)", dump)
                      if tuple(map(int, version.split("."))) > {"GLIBC": (2, 28), "GLIBCXX": (3, 4, 25)}[lib]})
    assert not too_new, too_new
