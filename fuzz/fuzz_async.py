"""Fuzz target: the asyncio masters against the synchronous ones, answer for answer.

AsyncModbusTCPMaster and AsyncMaster judge every answer with the code of ModbusTCPMaster
and Master. Each input runs one operation on the synchronous master against a slave's
answer delivered in pieces (a scripted socket or channel), and the same operation on the
asyncio master, whose connection (opened by the loop's create_connection, socket:// for
RTU) gets the same pieces through data_received. Both must give the same result, or raise
the same exception type with the same args, and send the same request; the asyncio side
must never hang, and no exception may go unretrieved on its loop.

Input: one byte whose bit 0 picks RTU (else TCP), then the input of fuzz_tcp.py or
fuzz_rtu.py (the same layout, so their seeds serve here with that byte in front). On RTU
the general road, stale input and FixMaster are left to fuzz_rtu.py: those flags are read
and left aside.

The loop is a small one of this file: callbacks run in order, and a timer runs only when
nothing else is ready and every piece has been delivered, so a time-out is never taken
before the answer has come, however busy the machine. The asyncio masters measure their
deadlines on the monotonic clock, so the loop waits out the real time-out.
"""

from __future__ import annotations

import asyncio
import collections
import heapq
import struct
import time
from asyncio import events

import fuzz_support as fs

with fs.instrumented():
    import fuzz_model_rtu as rtu_model
    import fuzz_model_tcp as tcp_model

import brel_modbus

TIMEOUT = 0.001         # AsyncModbusTCPMaster's time-out, waited out for real
# AsyncMaster's: over TCP an answer of open length (device identification) ends after 20 ms
# without a byte, which must come before the time-out, however late the loop delivers.
RTU_TIMEOUT = 0.05
ALLOWED = (OSError, brel_modbus.SlaveException, AssertionError, IndexError, ValueError, OverflowError, TypeError,
           struct.error)
TCP_NAMES = [n for n in tcp_model.OPERATIONS if hasattr(brel_modbus.AsyncModbusTCPMaster, n)]
RTU_NAMES = [n for n, _ in rtu_model.OPERATIONS if hasattr(brel_modbus.AsyncMaster, n)]


class PieceTransport(asyncio.Transport):
    """The asyncio side of a connection whose peer answers in `pieces`: writes are recorded;
    the loop delivers the pieces once a request has gone out, then the end of the stream
    (the connection closed, or silence)."""

    def __init__(self, protocol, pieces, closes_at_end: bool):
        super().__init__()
        self.protocol, self.pieces, self.closes_at_end = protocol, collections.deque(pieces), closes_at_end
        self.writes: list[bytes] = []
        self.closed = False

    def write(self, data) -> None:
        if self.closed:
            raise fs.Mismatch("written after close")
        self.writes.append(bytes(data))

    def deliver(self) -> bool:
        """The next event of the peer, when one is due: False when there is none."""
        if self.closed or not self.writes:
            return False
        if self.pieces:
            self.protocol.data_received(self.pieces.popleft())
            return True
        if self.closes_at_end:
            self.closes_at_end = False
            if not self.protocol.eof_received():
                self.close()
            return True
        return False

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            protocol, self.protocol = self.protocol, None      # as asyncio's transports let go
            protocol.connection_lost(None)

    def is_closing(self) -> bool:
        return self.closed

    def get_extra_info(self, name, default=None):
        return {"peername": ("127.0.0.1", 1502), "socket": None}.get(name, default)


class PieceLoop:
    """Just what asyncio's futures and tasks, wait_for and the masters ask of a loop."""

    def __init__(self, pieces, closes_at_end: bool):
        self.ready: collections.deque = collections.deque()
        self.timers: list = []
        self.pieces, self.closes_at_end = pieces, closes_at_end
        self.transport: PieceTransport | None = None
        self.errors: list = []

    def time(self) -> float:
        return time.monotonic()

    def call_soon(self, callback, *args, context=None):
        handle = asyncio.Handle(callback, args, self, context)
        self.ready.append(handle)
        return handle

    def call_later(self, delay, callback, *args, context=None):
        return self.call_at(self.time() + delay, callback, *args, context=context)

    def call_at(self, when, callback, *args, context=None):
        handle = asyncio.TimerHandle(when, callback, args, self, context)
        heapq.heappush(self.timers, (when, id(handle), handle))
        return handle

    def _timer_handle_cancelled(self, handle) -> None:
        pass

    def create_future(self):
        return asyncio.Future(loop=self)

    def create_task(self, coro, *, name=None, context=None):
        return asyncio.Task(coro, loop=self, name=name, context=context)

    def get_debug(self) -> bool:
        return False

    def is_closed(self) -> bool:
        return False

    def is_running(self) -> bool:
        return True

    def call_exception_handler(self, context) -> None:
        self.errors.append(context)

    async def create_connection(self, factory, host=None, port=None, **_):
        protocol = factory()
        self.transport = PieceTransport(protocol, self.pieces, self.closes_at_end)
        protocol.connection_made(self.transport)
        return self.transport, protocol

    def step(self) -> bool:
        """One callback, piece or timer; False when nothing at all is left to happen."""
        if self.ready:
            handle = self.ready.popleft()
            if not handle.cancelled():
                handle._run()
            return True
        if self.transport is not None and self.transport.deliver():
            return True
        while self.timers:
            when, _, handle = heapq.heappop(self.timers)
            if handle.cancelled():
                continue
            while (left := when - time.monotonic()) > 0:
                time.sleep(left)
            handle._run()
            return True
        return False

    def run(self, coroutine):
        events._set_running_loop(self)
        try:
            task = self.create_task(coroutine)
            while not task.done():
                if not self.step():
                    raise fs.Mismatch("the asyncio master hangs: nothing is left to happen and its call waits")
            while self.ready:        # what the call left behind (its closing) runs out
                self.step()
            return task.result()
        finally:
            events._set_running_loop(None)
            # A timer still armed (the master's own, for an answer that came) would fire later
            # on a loop that goes on; here it is dropped with everything it holds.
            self.timers.clear()
            self.ready.clear()


async def run_async(make_master, name: str, args: list):
    """("call", exception) when the call itself refused its arguments; else ("ok", result) or
    ("raised", exception) of awaiting it; and the master, closed."""
    master = make_master()
    try:
        try:
            future = getattr(master, name)(*args)
        except Exception as exc:  # judged by the caller
            return ("call", exc), master
        try:
            return ("ok", await future), master
        except Exception as exc:  # judged by the caller
            return ("raised", exc), master
    finally:
        await master.close()


def judge(label: str, sync, asynchronous, sent_by_sync: bool) -> None:
    """The same result, or an exception of the same type with the same args; an argument
    the synchronous master refuses before sending, the asyncio one refuses at the call."""
    kind, value = asynchronous
    if kind != "ok" and not isinstance(value, ALLOWED):
        raise fs.Mismatch(f"{label}: undocumented {type(value).__name__}: {value}") from value
    if (kind == "call") == sent_by_sync:
        raise fs.Mismatch(f"{label}: the asyncio call {'refused' if kind == 'call' else 'took'} "
                          f"what the synchronous master {'sent' if sent_by_sync else 'refused'}: {value!r}")
    if kind == "call":
        kind = "raised"
    sync_kind, sync_value = sync
    if sync_kind != kind:
        raise fs.Mismatch(f"{label}: asyncio {kind} {value!r}; synchronous {sync_kind} {sync_value!r}")
    if kind == "ok":
        if not fs.same_value(value, sync_value):
            raise fs.Mismatch(f"{label}: asyncio returned {value!r}; synchronous {sync_value!r}")
    elif type(value) is not type(sync_value) or value.args != sync_value.args:
        raise fs.Mismatch(f"{label}: asyncio raised {type(value).__name__}{value.args!r}; "
                          f"synchronous {type(sync_value).__name__}{sync_value.args!r}")


def tcp_input(src: fs.ByteSource):
    name = TCP_NAMES[src.u8() % len(TCP_NAMES)]
    flags = src.u8()
    args = tcp_model.decode_args(name, src, wide=bool(flags & 0x20))
    if flags & 2:
        src.u8()            # a partial send: the synchronous target's concern
    station = src.u8() if flags & 0x40 else 1
    cuts = (flags >> 2) & 7
    cut_source = fs.ByteSource(src.take(cuts))
    pieces = cut_source.pieces(cuts, src.rest())
    closes = bool(flags & 1)

    sock = fs.PieceSocket(pieces, closes, 0)
    brel_modbus._tcp_connect = lambda address, timeout=None: sock
    master = brel_modbus.ModbusTCPMaster("127.0.0.1", 1502, 1.0)
    master.station = station
    sync = fs.outcome(getattr(master, name), *args)
    # Several requests (device identification page by page) take the stream as the
    # synchronous master read it, each read a piece: bytes of a later answer that came
    # before its request was sent are stale to the asyncio master (a slave answers only
    # what it was asked), while the synchronous one finds them waiting on its socket.
    if name == "read_device_identification":
        pieces = [*sock.chunks, *sock.pieces]

    def make():
        return brel_modbus.AsyncModbusTCPMaster("127.0.0.1", 1502, TIMEOUT, station)

    return name, args, sync, make, pieces, closes, sock.sent, master


def rtu_input(src: fs.ByteSource):
    name = RTU_NAMES[src.u8() % len(RTU_NAMES)]
    flags = src.u8()
    args = rtu_model.decode_args(name, src, wide=bool(flags & 0x80), endian="<" if flags & 8 else ">")
    if flags & 2:
        src.take(src.u8())  # stale input: fuzz_rtu.py's concern
    cuts = (flags >> 4) & 7
    cut_source = fs.ByteSource(src.take(cuts))
    answer = src.rest()
    pieces = cut_source.pieces(cuts, answer)

    # Master's time-out runs for each read, AsyncMaster's for the whole answer: a pause
    # between pieces would end a read of one and not the other. The synchronous master
    # gets the answer without a pause (one piece); the asyncio one in its pieces, all
    # before its time-out. At the end of the stream the line is silent: both time out.
    # Station 0 is a broadcast, which no slave answers: AsyncMaster does not listen for an
    # answer (a read ends in the time-out, a write once sent), while Master reads whatever
    # comes. What is promised is Master's outcome when nothing comes.
    if args[0] == 0:
        answer = b""
    channel = fs.PieceChannel(b"", [answer] if answer else [])
    brel_modbus.create_serial_instance = lambda **kwargs: channel
    master = brel_modbus.Master("/dev/ttyFUZZ", 9600, 1.0)
    sync = fs.outcome(getattr(master, name), *args)

    def make():
        return brel_modbus.AsyncMaster("socket://127.0.0.1:1502", 9600, RTU_TIMEOUT)

    return name, args, sync, make, pieces, False, b"".join(channel.writes), master


def one_input(data: bytes) -> None:
    src = fs.ByteSource(data)
    rtu = src.u8() & 1
    name, args, sync, make, pieces, closes, sent, master = (rtu_input if rtu else tcp_input)(src)
    label = f"{'AsyncMaster' if rtu else 'AsyncModbusTCPMaster'}.{name}{tuple(args)!r}"
    loop = PieceLoop(pieces, closes)
    asynchronous, amaster = loop.run(run_async(make, name, args))
    judge(label, sync, asynchronous, bool(sent))
    if loop.errors:
        raise fs.Mismatch(f"{label}: left on the loop: {loop.errors!r}")
    written = b"".join(loop.transport.writes) if loop.transport else b""
    if written != sent or amaster.last_command_sent != master.last_command_sent:
        raise fs.Mismatch(f"{label}: asyncio sent {written!r}, recorded {amaster.last_command_sent!r}; "
                          f"synchronous {sent!r}, {master.last_command_sent!r}")
    if asynchronous[0] == "ok" and amaster.last_feedback_received != master.last_feedback_received:
        raise fs.Mismatch(f"{label}: asyncio last_feedback_received {amaster.last_feedback_received!r}; "
                          f"synchronous {master.last_feedback_received!r}")


if __name__ == "__main__":
    fs.main(one_input, "async")
