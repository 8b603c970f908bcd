"""Master.retries: a request that fails after it went out (a time-out, a CRC error, an
answer that does not match) is sent again, up to `retries` times; a refusal by the slave,
a broadcast and a refused argument never are."""

import select
import socket
import threading

import pytest

import brel_modbus
from brel_modbus import SlaveException

from rtu_support import frame

GOOD = frame("01 03 04 00 0A 01 02")
FAILURES = {
    "time-out": b"",
    "crc": GOOD[:-1] + bytes([GOOD[-1] ^ 1]),
    "mismatch": frame("02 03 04 00 0A 01 02"),
    "cut short": GOOD[:6],
}


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("retries, failures", [(1, 1), (3, 3), (3, 1)])
def test_failures_are_retried(master, channel, failure, retries, failures):
    master.retries = retries
    channel.answer(*([FAILURES[failure]] * failures), GOOD)
    assert master.read_registers(1, 0, 2) == [10, 258]
    assert channel.writes == [frame("01 03 00 00 00 02")] * (failures + 1)
    assert master.last_feedback_received == GOOD          # the record of the last attempt


@pytest.mark.parametrize("failure", FAILURES)
def test_the_last_failure_is_raised(master, channel, failure):
    master.retries = 2
    channel.answer(*[FAILURES[failure]] * 3)
    with pytest.raises((OSError, ValueError)):
        master.read_registers(1, 0, 2)
    assert len(channel.writes) == 3


@pytest.mark.parametrize("call, answers, writes, error", [
    (("read_registers", 1, 0, 2), [frame("01 83 02")], 1, SlaveException),      # the slave refused
    (("write_register", 0, 1, 5), [], 1, None),                                  # a broadcast
    (("read_registers", 1, 70000, 2), [], 0, OverflowError),                     # never sent
    (("write_coils", 1, 0, []), [], 0, ValueError),
])
def test_what_is_never_retried(master, channel, call, answers, writes, error):
    master.retries = 5
    channel.answer(*answers)
    name, *args = call
    if error is None:
        assert getattr(master, name)(*args) is None
    else:
        with pytest.raises(error):
            getattr(master, name)(*args)
    assert len(channel.writes) == writes


@pytest.mark.parametrize("call, good", [
    (("write_register", 1, 1, 3), frame("01 06 00 01 00 03")),
    (("write_coils", 1, 0, [1]), frame("01 0F 00 00 00 01")),
    (("read_coils", 1, 0, 8), frame("01 01 01 FF")),
    (("read_float", 1, 0), frame("01 03 04 41 20 00 00")),
    (("read_device_identification", 1), frame("01 2B 0E 01 01 00 00 01 00 01 41")),
])
def test_every_operation_retries(master, channel, call, good):
    master.retries = 1
    channel.answer(b"", good)
    name, *args = call
    getattr(master, name)(*args)
    assert len(channel.writes) == 2


def test_retries_property(master, channels):
    assert master.retries == 0
    master.retries = 4
    assert master.retries == 4
    for bad, error in ((-1, ValueError), (101, ValueError), (True, TypeError), (1.0, TypeError)):
        with pytest.raises(error):
            master.retries = bad
    assert master.retries == 4
    assert "retries" not in vars(master)
    fixed = brel_modbus.FixMaster(1, "/dev/ttyFAKE1", 9600, 1)
    fixed.retries = 2
    assert fixed.retries == fixed.master.retries == 2


class CorruptingRelay:
    """Between a master and a real RTU slave reached over TCP: the first answer arrives with
    one byte flipped (a CRC error), every later one unchanged."""

    def __init__(self, target_port):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(5)
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
        flipped = False
        with client, server:
            while True:
                ready, _, _ = select.select([client, server], [], [], 5)
                if not ready:
                    return
                source, sink = (client, server) if client in ready else (server, client)
                data = source.recv(4096)
                if not data:
                    return
                if source is server and not flipped:
                    data, flipped = bytes([data[0]]) + bytes([data[1] ^ 0x40]) + data[2:], True
                sink.sendall(data)


def test_a_damaged_answer_of_a_real_slave_is_asked_for_again(monkeypatch):
    import brel_linkkit
    from simulator import HOLDING, STATION, SimulatedSlaves

    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    with SimulatedSlaves() as slaves:
        relay = CorruptingRelay(int(slaves.rtu_url.rsplit(":", 1)[1]))
        with brel_modbus.Master(f"socket://127.0.0.1:{relay.port}", 19200, 1.0) as master:
            master.retries = 1
            assert master.read_registers(STATION, 0, 4) == HOLDING[:4]
        relay.listener.close()
