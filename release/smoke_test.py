"""The installed wheel at work, away from the source tree.

`make wheels` (release/build_wheel.sh) runs this in a fresh venv that holds the repaired wheel, pyserial and
pymodbus (for the simulated slaves only), from a folder that holds this file and a copy
of examples/simulator.py and nothing else. It checks that brel_modbus and brel_linkkit
come from the venv, that their type information came along, and reads holding registers
over Modbus TCP and over RTU framing through a TCP serial server.
"""

from __future__ import annotations

import importlib.metadata
import platform
import sys
import sysconfig
from pathlib import Path

import brel_linkkit
import brel_modbus
from simulator import HOLDING, SimulatedSlaves

SOURCE_TREE = Path(sys.argv[1]).resolve()


def check_installation() -> None:
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (brel_modbus, brel_linkkit):
        where = Path(module.__file__ or "").resolve()
        assert where.is_relative_to(site), f"{module.__name__} from {where}, not from {site}"
    assert not any(Path(p or ".").resolve() == SOURCE_TREE for p in sys.path), sys.path
    for stub in ("brel_modbus.pyi", "brel_modbus-stubs/__init__.pyi", "brel_linkkit/py.typed"):
        assert (site / stub).is_file(), f"{stub} is not installed"
    # The library pulls pyserial alone: the command's libraries come only with the [cli] extra.
    always = [r for r in importlib.metadata.requires("brel_modbus") or [] if "extra ==" not in r]
    assert [r.split(">")[0] for r in always] == ["pyserial"], always
    installed = {d.metadata["Name"].lower() for d in importlib.metadata.distributions()}
    assert not installed & {"rich", "tomli"}, f"{installed & {'rich', 'tomli'}} came with the library"
    version = importlib.metadata.version("brel_modbus")
    assert brel_modbus.__version__ == version, (brel_modbus.__version__, version)
    print(f"brel_modbus {version} from {Path(brel_modbus.__file__ or '').name} on {platform.machine()}")


def check_reads() -> None:
    with SimulatedSlaves() as slaves:
        with brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 2.0) as plc:
            got = plc.read_registers(0, 5)
            assert got == HOLDING[:5], got
            print(f"Modbus TCP            read_registers(0, 5) = {got}")
        with brel_modbus.Master(slaves.rtu_url, 19200, 2.0) as master:
            got = master.read_registers(slaves.station, 0, 5)
            assert got == HOLDING[:5], got
            print(f"RTU over TCP ({slaves.rtu_url})  read_registers(1, 0, 5) = {got}")


if __name__ == "__main__":
    check_installation()
    check_reads()
    print("smoke test passed")
