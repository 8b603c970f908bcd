"""Type stubs, type checking and introspection."""

import inspect
import pydoc
import subprocess
import sys
from pathlib import Path

import pytest

import brel_modbus

ROOT = Path(__file__).resolve().parent.parent
CLASSES = [brel_modbus.ModbusStatic, brel_modbus.SlaveException, brel_modbus.Master, brel_modbus.FixMaster,
           brel_modbus.ModbusTCPMaster, brel_modbus.Poller]


def run(*args, cwd):
    proc = subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)
    return proc.returncode, proc.stdout + proc.stderr


def test_stubs_match_the_module(tmp_path):
    # From an empty folder, so that the installed module and its installed stubs are compared.
    code, out = run("mypy.stubtest", "brel_modbus", "--allowlist", str(ROOT / "stubs" / "allowlist.txt"),
                    cwd=tmp_path)
    assert code == 0, out


def test_examples_and_linkkit_type_check():
    code, out = run("mypy", cwd=ROOT)
    assert code == 0, out


def members():
    for cls in CLASSES:
        for key, value in vars(cls).items():
            if isinstance(value, property):
                for accessor in (value.fget, value.fset):
                    if accessor is not None:
                        yield f"{cls.__name__}.{key}", accessor
            elif isinstance(value, staticmethod) or type(value).__name__ == "function":
                yield f"{cls.__name__}.{key}", getattr(cls, key)


@pytest.mark.parametrize("name, member", list(members()), ids=lambda v: v if isinstance(v, str) else "")
def test_every_member_has_a_signature(name, member):
    signature = inspect.signature(member)
    annotations = member.__annotations__
    for parameter in signature.parameters.values():
        assert parameter.annotation == annotations.get(parameter.name, inspect.Parameter.empty)
    assert signature.return_annotation == annotations.get("return", inspect.Signature.empty)


def help_signature(function):
    """The signature as help() lays it out in a class: on one line up to 3.12; from 3.13 on, one
    that would pass 80 columns has a line per parameter (inside the class's " |  " margin)."""
    signature = inspect.signature(function)
    if sys.version_info < (3, 13):
        return str(signature)
    return signature.format(max_width=80 - len(function.__name__)).replace("\n", "\n |  ")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_help_lists_methods_with_parameters(cls):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for key, value in vars(cls).items():
        if type(value).__name__ == "function" and not key.startswith("_" + cls.__name__):
            shown = key if value.__name__ == key else f"{key} = {value.__name__}"   # an alias
            assert f"{shown}{help_signature(value)}" in text, key
    if cls is brel_modbus.Master:
        assert "根据指定的功能码，从指定的从站读取指定地址的寄存器值。" in text
        assert "read_uint16 = read_register(self, station: 'int', address: 'int', func_code: 'int' = 3)" in text
