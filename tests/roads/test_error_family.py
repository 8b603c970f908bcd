"""The family of errors: every failure a master meets is an instance of its family class and of
the type the library raised for it before, with the same text; arguments refused before sending
stay plain Python errors; a closed ModbusTCPMaster says so and never reconnects."""

from __future__ import annotations

import socket
import subprocess
import sys

import pytest

import brel_modbus
from brel_modbus import (
    ConnectionClosedError, FixMaster, FrameError, Master, MasterClosedError, MismatchError, ModbusError,
    ModbusTCPMaster, ModbusTimeoutError, SlaveException, TCPSlaveException)
from roads_support import HOST, PORT

PEER = str((HOST, PORT))
TIMEOUT = "modbus: read from slave timeout"
CRC = "modbus: message from slave with station 1 has crc error"
MISMATCH = "modbus: answer from slave with station 1 does not match the request"
REFUSED = "modbus slave reports an exception. station: 1, function code: 3, error code: 2"

# answer kind of the slave model -> (family class, the type raised before, text)
RTU_FAULTS = {
    "silent": (ModbusTimeoutError, OSError, TIMEOUT),
    "short": (ModbusTimeoutError, OSError, TIMEOUT),
    "crc": (FrameError, ValueError, CRC),
    "station": (MismatchError, ValueError, MISMATCH),
    "code": (MismatchError, ValueError, MISMATCH),
    "refused": (SlaveException, Exception, REFUSED),
}
TCP_FAULTS = {
    "silent": (ModbusTimeoutError, TimeoutError, "timed out"),
    "short": (ConnectionClosedError, ConnectionError, "Connection closed by " + PEER),
    "unit": (MismatchError, OSError, "Received data header invalid from " + PEER),
    "transaction": (MismatchError, OSError, "Received data header invalid from " + PEER),
    "code": (MismatchError, AssertionError, "ModbusTCP error code: 0x4"),
    "length": (MismatchError, AssertionError, "Data length not match with needed"),
    "refused": (TCPSlaveException, AssertionError, REFUSED),
}


def check(error, family, former, text):
    assert type(error) is family
    assert isinstance(error, former)
    # SlaveException keeps Exception as its only base; every other failure is a ModbusError.
    assert isinstance(error, ModbusError) is (family is not SlaveException)
    assert str(error) == text


@pytest.mark.parametrize("retries", [0, 2])
@pytest.mark.parametrize("kind", RTU_FAULTS)
@pytest.mark.parametrize("cls", [Master, FixMaster])
def test_rtu_failures(rtu_channels, cls, kind, retries):
    master = Master("/dev/ttyFAKE0", 9600, 1) if cls is Master else FixMaster(1, "/dev/ttyFAKE0", 9600, 1)
    rtu_channels[0].kind = kind
    inner = master if cls is Master else master.master
    inner.retries = retries
    with pytest.raises((ModbusError, SlaveException)) as info:
        master.read_registers(0, 2) if cls is FixMaster else master.read_registers(1, 0, 2)
    check(info.value, *RTU_FAULTS[kind])
    refused = kind == "refused"
    assert len(rtu_channels[0].writes) == 1 + (0 if refused else retries)   # a refusal is never sent again


@pytest.mark.parametrize("kind", TCP_FAULTS)
def test_tcp_failures(tcp_sockets, kind):
    master = ModbusTCPMaster(HOST, PORT, 1.5)
    master.reconnect = False
    tcp_sockets[0].kind = kind
    with pytest.raises(ModbusError) as info:
        master.read_registers(0, 2)
    check(info.value, *TCP_FAULTS[kind])


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.read_registers(1, 65536, 1), OverflowError, None),
    (lambda m: m.write_registers(1, 0, [0] * 128), ValueError,
     "modbus write registers: invalid argument: register count must be less than 128"),
    (lambda m: m.read_registers("1", 0, 1), TypeError, None),
    (lambda m: m.read_values(1, 0, "126H"), ValueError,
     "modbus: the format takes 126 registers, at most 125 can be read"),
])
def test_arguments_refused_before_sending_stay_plain(rtu_channels, call, error, text):
    master = Master("/dev/ttyFAKE0", 9600, 1)
    with pytest.raises(error) as info:
        call(master)
    assert not isinstance(info.value, ModbusError)
    assert text is None or str(info.value) == text
    assert rtu_channels[0].writes == []


def test_tcp_master_closed_on_its_socket_object(tcp_sockets):
    master = ModbusTCPMaster(HOST, PORT, 1.5)
    assert len(master.read_registers(0, 1)) == 1
    master.close()
    with pytest.raises(MasterClosedError) as info:
        master.read_registers(0, 1)
    assert isinstance(info.value, OSError) and info.value.errno == 9
    assert str(info.value) == "[Errno 9] Bad file descriptor"
    assert len(tcp_sockets) == 1   # never reconnected


def test_tcp_master_closed_on_a_real_socket(monkeypatch):
    """The descriptor road: a real connection to a loopback listener, closed by close()."""
    connects = []

    def counting(address, timeout=None):
        connects.append(address)
        return socket.create_connection(address, timeout=timeout)

    monkeypatch.setattr(brel_modbus, "_tcp_connect", counting)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        port = listener.getsockname()[1]
        master = ModbusTCPMaster("127.0.0.1", port, 0.5)
        peer, _ = listener.accept()
        with peer:
            assert master.reconnect
            master.close()
            for _ in range(2):
                with pytest.raises(MasterClosedError) as info:
                    master.write_register(0, 1)
                assert isinstance(info.value, OSError) and info.value.errno == 9
                assert str(info.value) == "[Errno 9] Bad file descriptor"
    assert connects == [("127.0.0.1", port)]


def test_a_replaced_builtin_is_what_is_raised():
    """The module looks up IOError once when it starts: a replaced one is what a time-out raises."""
    script = (
        "import builtins\n"
        "class Mine(OSError): pass\n"
        "builtins.IOError = Mine\n"
        "import brel_modbus\n"
        "class Silent:\n"
        "    is_open = True; timeout = 0.1; in_waiting = 0\n"
        "    def read(self, n): return b''\n"
        "    def write(self, data): return len(data)\n"
        "brel_modbus.create_serial_instance = lambda **k: Silent()\n"
        "try:\n"
        "    brel_modbus.Master('x', 9600, 0.1).read_registers(1, 0, 1)\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "Mine modbus: read from slave timeout", done.stderr
