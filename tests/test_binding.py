"""The binding frame under abuse: attribute deletion, reference cycles, the collector's clear step
and C++ exceptions at the interpreter boundary. Each case runs in a fresh interpreter, so that a
crash fails the test instead of ending the run, and so that classes can be taken apart freely."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

# Functions of each kind: method, static method, module-level, special method, property getter.
FUNCTIONS = [
    "brel_modbus.Master.read_registers",
    "brel_modbus.ModbusStatic.__dict__['calculate_crc'].__func__",
    "brel_modbus._byte_array",
    "brel_modbus.ModbusTCPMaster.__enter__",
    "brel_modbus.Master.__dict__['last_command_sent_hex'].fget",
]


def run_python(code, env=None):
    """Run code in a fresh interpreter; returns its stdout (fails the test on a non-zero exit)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                          env=env)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr}"
    return proc.stdout


@pytest.mark.parametrize("function", FUNCTIONS)
def test_attribute_deletion_as_for_a_python_function(function):
    # The same operations on a plain Python function give the expected outcomes.
    out = run_python(f"""
        import brel_modbus

        def plain():
            pass

        def outcomes(f):
            seen = []
            for attr in ("__doc__", "__module__", "__name__", "__qualname__"):
                try:
                    delattr(f, attr)
                    seen.append(repr(getattr(f, attr)))
                except TypeError as e:
                    seen.append(str(e))
                marker = "text" if attr in ("__name__", "__qualname__") else object()
                setattr(f, attr, marker)
                seen.append(getattr(f, attr) is marker)
            return seen

        ours, theirs = outcomes({function}), outcomes(plain)
        print(ours == theirs)
        print(*ours, sep="\\n")
    """)
    assert out.splitlines() == ["True", "None", "True", "None", "True", "__name__ must be set to a string object",
                                "True", "__qualname__ must be set to a string object", "True"]


# Ways a function can end up in a reference cycle; `f` is a function taken out of its class.
CYCLES = {
    "__dict__": "f.me = f",
    "__doc__": "f.__doc__ = [f]",
    "__module__": "f.__module__ = [f]",
    "__annotations__": "f.__annotations__['station'] = [f]",
    # the cached signature holds the annotation after the dict has dropped it
    "signature": "f.__annotations__['station'] = [f]; f.__signature__; del f.__annotations__['station']",
    "__name__": "f.__name__ = Text('read_registers'); f.__name__.f = f",
    "__qualname__": "f.__qualname__ = Text('Master.read_registers'); f.__qualname__.f = f",
}


@pytest.mark.parametrize("route", CYCLES.values(), ids=CYCLES.keys())
def test_cycle_through_a_function_attribute_is_collected(route):
    out = run_python(f"""
        import gc, weakref, brel_modbus

        class Text(str):
            pass

        f = brel_modbus.Master.__dict__["read_registers"]
        del brel_modbus.Master.read_registers
        {route}
        alive = weakref.ref(f)
        del f
        gc.collect()
        print(alive() is None)
    """)
    assert out.strip() == "True"


CLEAR = textwrap.dedent("""
    import ctypes, inspect, brel_modbus

    class Text(str):
        pass

    api = ctypes.pythonapi
    api.PyType_GetSlot.restype = ctypes.c_void_p
    api.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]
    Py_tp_clear = 51

    def clear(f):
        # What the collector does to a member of a cycle that other members still reach.
        ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(api.PyType_GetSlot(type(f), Py_tp_clear))(f)

    def state(f):
        sig = inspect.signature(f)
        return [f.__name__, f.__qualname__, repr(f).split(" at ")[0], f.__defaults__,
                [(p.name, p.default) for p in sig.parameters.values()], [{calls}]]
""")


@pytest.mark.parametrize("function, calls", [
    ("brel_modbus.ModbusStatic.calculate_crc",
     "f(b'\\x01\\x03'), f(b'\\x01\\x03', 1), f(b'\\x01\\x03', end=1), f(string=b'\\x01', beg=0, end=None)"),
    ("brel_modbus.ModbusStatic.compound_register", "f(1, 2), f(low=2, high=1)"),
    ("brel_modbus._byte_array", "f([1, 2]), f(iterable=(3,))"),
    ("brel_modbus.SlaveException.__str__", "f(brel_modbus.SlaveException(1, 2, 3))"),
], ids=["calculate_crc", "compound_register", "_byte_array", "SlaveException.__str__"])
def test_function_usable_after_clear(function, calls):
    out = run_python(CLEAR.format(calls=calls) + textwrap.dedent(f"""
        f = {function}
        before = state(f)
        f.note = [f]
        f.__doc__ = "text"
        f.__module__ = "elsewhere"
        clear(f)
        print(state(f) == before, before[0] != "")
        print(f.__doc__, f.__module__, f.__dict__, f.__annotations__)
        try:
            f(*range(9))
        except TypeError as e:
            print("TypeError")
    """))
    assert out.splitlines() == ["True True", "None None {} {}", "TypeError"]


def test_str_subclass_names_replaced_by_clear():
    # A str subclass instance is how a cycle passes through __name__ or __qualname__: clear
    # drops it for an empty str, as the interpreter's own function type does.
    out = run_python(CLEAR.format(calls="f(1, 2)") + textwrap.dedent("""
        f = brel_modbus.ModbusStatic.compound_register
        f.__name__, f.__qualname__ = Text("n"), Text("q")
        clear(f)
        print(repr(f.__name__), repr(f.__qualname__), repr(f).startswith("<function  at "), f(1, 2))
    """))
    assert out.split() == ["''", "''", "True", "258"]


# ---- C++ exceptions at the boundary ------------------------------------------------------------
#
# A replacement operator new, preloaded into the child interpreter, throws once when armed:
# std::bad_alloc, a std::runtime_error, or an object of no exception class.

FAULT_SOURCE = r"""
#include <cstdlib>
#include <new>
#include <stdexcept>

extern "C" {
int fault_mode = 0;  // 0 off; 1 std::bad_alloc; 2 std::runtime_error; 3 an int
int fault_hits = 0;
}

void* operator new(std::size_t n) {
    if (const int mode = fault_mode) {
        fault_mode = 0;  // once: the exception itself may allocate
        ++fault_hits;
        if (mode == 1) throw std::bad_alloc();
        if (mode == 2) throw std::runtime_error("injected fault");
        throw 42;
    }
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
"""

FAULTS = [(1, "MemoryError"),
          (2, "SystemError brel_modbus: unexpected C++ exception: injected fault"),
          (3, "SystemError brel_modbus: unexpected C++ exception of unknown type")]


@pytest.fixture(scope="module")
def fault_library(tmp_path_factory):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's allocator comes first in the preload list and keeps operator new")
    compiler = shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler to build the fault injector")
    folder = tmp_path_factory.mktemp("fault")
    (folder / "fault.cpp").write_text(FAULT_SOURCE)
    library = folder / "libfault.so"
    subprocess.run([compiler, "-std=c++17", "-O1", "-shared", "-fPIC", "-o", str(library), str(folder / "fault.cpp")],
                   check=True, timeout=120)
    return str(library)


def run_with_faults(library, code):
    env = dict(os.environ, LD_PRELOAD=library)
    return run_python(f"import ctypes\nfault = ctypes.CDLL({library!r})\n" + textwrap.dedent(code), env=env)


@pytest.mark.parametrize("mode, expected", FAULTS)
def test_exception_while_the_module_starts(fault_library, mode, expected):
    out = run_with_faults(fault_library, f"""
        import importlib.util
        ctypes.PyDLL(importlib.util.find_spec("brel_modbus").origin)  # static initialisers run unarmed
        ctypes.c_int.in_dll(fault, "fault_mode").value = {mode}
        try:
            import brel_modbus
        except BaseException as e:
            print(type(e).__name__, e)
        print(ctypes.c_int.in_dll(fault, "fault_hits").value)
        import brel_modbus  # the failed start is forgotten
        print(brel_modbus.ModbusStatic.compound_register(1, 2))
    """)
    assert [line.rstrip() for line in out.splitlines()] == [expected, "1", "258"]


@pytest.mark.parametrize("mode, expected", FAULTS)
def test_exception_inside_a_call(fault_library, mode, expected):
    # A TCP answer longer than the stack buffer moves to the heap: the armed allocation fails
    # inside ModbusTCPMaster.read_registers, below the function object's vectorcall.
    out = run_with_faults(fault_library, f"""
        import socket, struct, threading, brel_modbus

        ours, slave = socket.socketpair()
        ours.settimeout(5.0)
        brel_modbus._tcp_connect = lambda address, timeout=None: ours
        master = brel_modbus.ModbusTCPMaster("plc", 502, 5.0)

        slave.settimeout(5.0)

        def answer():
            for body in (bytes([3, 2, 0, 5]), bytes([3]) + bytes(999)):   # a normal answer, then a long one
                request = slave.recv(300)
                slave.sendall(request[:4] + struct.pack(">H", 1 + len(body)) + request[6:7] + body)

        thread = threading.Thread(target=answer)
        thread.start()
        assert master.read_registers(0, 1) == [5]   # the first call makes what a call keeps (its lock)
        ctypes.c_int.in_dll(fault, "fault_mode").value = {mode}
        try:
            master.read_registers(0, 1)
        except BaseException as e:
            print(type(e).__name__, e)
        thread.join()
        print(ctypes.c_int.in_dll(fault, "fault_hits").value)
    """)
    assert [line.rstrip() for line in out.splitlines()] == [expected, "1"]
