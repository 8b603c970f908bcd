"""Master and answers that come late. RTU answers carry no transaction identifier: an answer
that arrives after its time-out has the station, function code and byte count of the next
request's answer. So after a transaction that did not end cleanly the master waits, before
its next request, until the line has been quiet for `recovery_delay` (the time-out unless
set; 0 turns the wait off), and reads away what arrives meanwhile.

Also here: a device identification page is read within one time-out of its request,
however its pieces trickle in."""

from __future__ import annotations

import math
import os
import select
import threading
import time
import tty

import pytest

import brel_modbus
from brel_modbus import SlaveException

from rtu_support import frame

TIMEOUT_TEXT = "modbus: read from slave timeout"


def registers(*values: int) -> bytes:
    """The answer of station 1 to a read of len(values) holding registers."""
    data = b"".join(v.to_bytes(2, "big") for v in values)
    return frame(f"01 03 {len(data):02X} {data.hex()}")


# ---- a channel on a clock ---------------------------------------------------------------------

class TimedChannel:
    """A serial channel that models time: each write schedules the slave's answer for it
    (pieces, each `delay` seconds after the write) on the wall clock; read(n) waits up to the
    channel's time-out for n bytes to have arrived, and in_waiting counts what has.
    `chatter` schedules one byte every `chatter` seconds, up to 5 s after it was set."""

    def __init__(self, **opened):
        self.timeout = opened.get("timeout")
        self.scripts = []        # per write: [(delay, bytes), ...]
        self.scheduled = []      # [(arrival time, bytes), ...]
        self.incoming = bytearray()
        self.writes = []         # (time, bytes)
        self.timeouts_set = []
        self.chatter_until = 0.0

    def answer(self, *pieces):
        """The slave's answer to the next write not yet scripted: (delay, bytes) pieces."""
        self.scripts.append(list(pieces))

    def chatter(self, every):
        start = time.monotonic()
        self.chatter_until = start + 5.0
        self.scheduled += [(start + k * every, b"\x55") for k in range(1, int(5.0 / every))]

    def _arrive(self):
        now = time.monotonic()
        self.scheduled.sort(key=lambda piece: piece[0])
        while self.scheduled and self.scheduled[0][0] <= now:
            self.incoming += self.scheduled.pop(0)[1]

    @property
    def in_waiting(self):
        self._arrive()
        return len(self.incoming)

    def read(self, size):
        deadline = time.monotonic() + self.timeout
        while True:
            self._arrive()
            if len(self.incoming) >= size:
                break
            now = time.monotonic()
            if now >= deadline:
                break
            following = self.scheduled[0][0] if self.scheduled else math.inf
            time.sleep(max(0.0, min(deadline, following) - now))
        data = bytes(self.incoming[:size])
        del self.incoming[:size]
        return data

    def write(self, data):
        now = time.monotonic()
        self.writes.append((now, bytes(data)))
        if self.scripts:
            self.scheduled += [(now + delay, piece) for delay, piece in self.scripts.pop(0)]

    @property
    def is_open(self):
        return True

    def close(self):
        pass

    def __setattr__(self, name, value):
        if name == "timeout" and "timeouts_set" in self.__dict__:
            self.timeouts_set.append(value)
        object.__setattr__(self, name, value)


@pytest.fixture
def timed(monkeypatch):
    """A master on a TimedChannel with a 0.25 s time-out, and the channel."""
    made = []

    def factory(**kwargs):
        made.append(TimedChannel(**kwargs))
        return made[-1]

    monkeypatch.setattr(brel_modbus, "create_serial_instance", factory)
    master = brel_modbus.Master("/dev/ttyTIMED", 9600, 0.25)
    return master, made[0]


# ---- the late answer and the next call ---------------------------------------------------------

# recovery_delay: None keeps the default (the time-out), 0 turns the wait off.
@pytest.mark.parametrize("recovery, second", [(None, [222]), (0, [111])])
def test_a_late_answer_is_not_the_next_calls(timed, recovery, second):
    master, channel = timed
    if recovery is not None:
        master.recovery_delay = recovery
    channel.answer((0.35, registers(111)))          # 0.1 s after the time-out: during the next call
    channel.answer((0.2, registers(222)))
    with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
        master.read_registers(1, 0, 1)
    assert master.read_registers(1, 5, 1) == second
    assert channel.timeout == 0.25                  # put back after the wait


# retries = 1: the first request's late answer is waited out before the resend, and the
# resend's late answer before the next call. Without the wait the resend takes the first
# request's answer and the next call the resend's.
@pytest.mark.parametrize("recovery, first, second", [(None, None, [222]), (0, [111], [112])])
def test_a_retried_requests_late_answer_is_not_the_next_calls(timed, recovery, first, second):
    master, channel = timed
    master.retries = 1
    if recovery is not None:
        master.recovery_delay = recovery
    channel.answer((0.45, registers(111)))          # 0.2 s late
    channel.answer((0.35, registers(112)))          # 0.1 s late
    channel.answer((0.24, registers(222)))
    if first is None:
        with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
            master.read_registers(1, 0, 1)
    else:
        assert master.read_registers(1, 0, 1) == first
    assert len(channel.writes) == 2
    assert master.read_registers(1, 5, 1) == second


def test_the_wait_counts_the_quiet_time_since_the_failure(timed):
    """An application that calls again later than the delay pays nothing for the recovery."""
    master, channel = timed
    channel.answer()                                # no answer at all
    channel.answer((0.01, registers(7)))
    with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
        master.read_registers(1, 0, 1)
    failed = time.monotonic()
    time.sleep(0.3)
    assert master.read_registers(1, 0, 1) == [7]
    assert channel.writes[1][0] - failed < 0.3 + 0.2   # generous: not another 0.25 s of waiting
    assert channel.timeouts_set == []               # nothing left to wait for: no read at all


def test_a_line_that_never_falls_quiet_is_given_up_on(timed):
    master, channel = timed
    master.recovery_delay = 0.1
    channel.answer()
    channel.answer((0.01, registers(9)))
    with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
        master.read_registers(1, 0, 1)
    channel.chatter(0.02)                           # a byte every 20 ms for 5 s
    start = time.monotonic()
    try:                                            # the answer, or the chatter taken for it
        master.read_registers(1, 0, 1)
    except (OSError, ValueError):
        pass
    waited = channel.writes[1][0] - start
    assert 0.25 <= waited < 2.0                     # about 3 x 0.1 s, not until the chatter stops
    assert channel.timeout == 0.25


# ---- which endings leave the line unclean (a scripted channel: no time passes) -----------------

def recovered(channel, before):
    """True when the calls after index `before` include the recovery's read of one byte
    under a changed time-out."""
    calls = channel.calls[before:]
    return ("read", 1) in calls and any(c[0] == "timeout=" for c in calls)


GOOD = registers(10)


@pytest.mark.parametrize("first, answer, unclean", [
    (("read_registers", 1, 0, 1), b"", True),                                   # time-out
    (("read_registers", 1, 0, 1), GOOD[:-1] + bytes([GOOD[-1] ^ 1]), True),     # CRC error
    (("read_registers", 1, 0, 1), registers(10, 11), True),                     # another byte count
    (("read_registers", 1, 0, 1), frame("01 83 02"), False),                    # a refusal in a sound frame
    (("read_registers", 1, 0, 1), frame("01 83 02")[:-1] + b"\x00", True),      # noise with the flag set
    (("read_registers", 1, 0, 1), GOOD, False),
    (("write_register", 0, 1, 5), b"", False),                                  # a broadcast
    (("write_register", 1, 1, 5), b"", True),
    (("write_coils", 1, 0, [1]), frame("01 0F 00 00 00 01"), False),
    (("write_coils", 1, 0, [1]), frame("01 0F 00 00 00 02"), True),             # a wrong echo
    (("read_device_identification", 1), frame("01 2B 0E 01 01 00 00 01 00 01 41"), False),
    (("read_device_identification", 1), frame("01 2B 0E 01 01 00 00 01 00 05 41"), True),
    (("send_read_registers_request", 1, 0, 1, 3), GOOD, False),                 # only written
])
def test_what_leaves_the_line_unclean(master, channel, first, answer, unclean):
    channel.answer(answer, GOOD)
    name, *args = first
    try:
        getattr(master, name)(*args)
    except (OSError, ValueError, SlaveException):
        pass
    before = len(channel.calls)
    channel.incoming.clear()                        # what the first call left unread
    assert master.read_registers(1, 0, 1) == [10]
    assert recovered(channel, before) == unclean
    if unclean:
        calls = channel.calls[before:]
        assert calls[1:4] == [("timeout=", pytest.approx(1.0, abs=0.05)), ("read", 1), ("timeout=", 1)]
    assert channel.timeout == 1


def test_the_unclean_mark_lasts_until_the_next_request(master, channel):
    """A bare send_* request on an unclean line waits first, and leaves the line clean."""
    channel.answer(b"", b"", GOOD)
    with pytest.raises(OSError):
        master.read_registers(1, 0, 1)
    before = len(channel.calls)
    master.send_read_registers_request(1, 0, 1, 3)
    assert recovered(channel, before)
    before = len(channel.calls)
    assert master.read_registers(1, 0, 1) == [10]
    assert not recovered(channel, before)


# ---- the property ------------------------------------------------------------------------------

def test_recovery_delay_property(master, channel):
    assert master.recovery_delay == 1.0             # the time-out while nothing was set
    master.timeout = 0.3
    assert master.recovery_delay == 0.3
    master.recovery_delay = 2
    assert master.recovery_delay == 2.0 and type(master.recovery_delay) is float
    master.recovery_delay = 0
    assert master.recovery_delay == 0.0
    master.recovery_delay = None                    # back to following the time-out
    assert master.recovery_delay == 0.3
    master.recovery_delay = 0.5
    for bad, error in ((-0.1, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
                       ("1", TypeError), (True, TypeError), ([1], TypeError)):
        with pytest.raises(error, match="recovery_delay"):
            master.recovery_delay = bad
    assert master.recovery_delay == 0.5
    assert "recovery_delay" not in vars(master)
    channel.timeout_value = None                    # a channel that waits for ever: no recovery
    master.recovery_delay = None
    assert master.recovery_delay == 0.0


def test_fixmaster_forwards_recovery_delay(channels):
    fixed = brel_modbus.FixMaster(1, "/dev/ttyFAKE1", 9600, 0.7)
    assert fixed.recovery_delay == fixed.master.recovery_delay == 0.7
    fixed.recovery_delay = 0.2
    assert fixed.master.recovery_delay == 0.2
    with pytest.raises(ValueError, match="recovery_delay"):
        fixed.recovery_delay = -1
    fixed.recovery_delay = None
    assert fixed.master.recovery_delay == 0.7


# ---- a real slave on a pseudo-terminal that answers late ---------------------------------------

class LateSlave:
    """Station 1 on a pseudo-terminal (8N1): answers read-holding-registers requests in turn
    with the registers of `answers`, each after its delay."""

    def __init__(self, answers):
        self.answers = list(answers)      # [(delay, [values]), ...]
        self.master_fd, self.slave_fd = os.openpty()
        tty.setraw(self.slave_fd)
        self.path = os.ttyname(self.slave_fd)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        pending = b""
        deadline = time.monotonic() + 10
        while not self.stop.is_set() and time.monotonic() < deadline and self.answers:
            ready, _, _ = select.select([self.master_fd], [], [], 0.05)
            if ready:
                pending += os.read(self.master_fd, 256)
            while len(pending) >= 8 and self.answers:
                pending = pending[8:]
                delay, values = self.answers.pop(0)
                if self.stop.wait(delay):
                    return
                os.write(self.master_fd, registers(*values))

    def close(self):
        self.stop.set()
        self.thread.join(5)
        for fd in (self.master_fd, self.slave_fd):
            os.close(fd)


@pytest.mark.parametrize("recovery, second", [(None, [222]), (0, [111])])
def test_a_late_slave_on_a_pseudo_terminal(monkeypatch, recovery, second):
    import brel_linkkit

    monkeypatch.setattr(brel_modbus, "create_serial_instance", brel_linkkit.create_serial_instance)
    slave = LateSlave([(0.55, [111]), (0.0, [222])])
    try:
        with brel_modbus.Master(slave.path, 19200, 0.5) as master:
            if recovery is not None:
                master.recovery_delay = recovery
            with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
                master.read_registers(1, 0, 1)
            assert master.read_registers(1, 1, 1) == second
            assert master.timeout == 0.5
    finally:
        slave.close()


# ---- device identification within one time-out per page ----------------------------------------

def identification(objects, more=False, following=0):
    body = "".join(f"{k:02X} {len(v):02X} {v.hex()}" for k, v in objects.items())
    return frame(f"01 2B 0E 01 01 {'FF' if more else '00'} {following:02X} {len(objects):02X} {body}")


def trickled(answer, step):
    """The answer in the pieces the master reads it in, each `step` after the one before."""
    cuts = [5, 3]
    at = 8
    for _ in range(answer[7]):
        cuts += [2, answer[at + 1]]
        at += 2 + answer[at + 1]
    cuts.append(2)
    pieces, start = [], 0
    for k, n in enumerate(cuts):
        pieces.append(((k + 1) * step, answer[start:start + n]))
        start += n
    return pieces


def test_identification_trickled_past_one_time_out_fails_in_time(timed):
    master, channel = timed
    objects = {k: b"x" for k in range(40)}
    channel.answer(*trickled(identification(objects), 0.2))   # each piece 0.2 s after the last
    start = time.monotonic()
    with pytest.raises(OSError, match=f"^{TIMEOUT_TEXT}$"):
        master.read_device_identification(1, 1)
    assert time.monotonic() - start < 1.5           # one time-out (0.25 s), not 83 pieces x 0.2 s
    assert channel.timeout == 0.25


def test_identification_pages_in_pieces_within_the_time_out(timed):
    master, channel = timed
    first = identification({0: b"AB", 1: b"C"}, more=True, following=2)
    second = identification({2: b"D"})
    channel.answer(*trickled(first, 0.02))
    channel.answer(*trickled(second, 0.02))
    assert master.read_device_identification(1, 1) == {0: b"AB", 1: b"C", 2: b"D"}
    assert channel.timeout == 0.25
    # each read waits only for what is left of its page's time-out, put back after each page
    pages, page = [], []
    for seconds in channel.timeouts_set:
        if seconds == 0.25:
            pages.append(page)
            page = []
        else:
            page.append(seconds)
    assert len(pages) == 2 and page == []
    for page in pages:
        assert page and all(0 < t < 0.25 for t in page) and page == sorted(page, reverse=True)
