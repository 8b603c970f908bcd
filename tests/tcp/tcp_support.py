"""Fakes and servers for the ModbusTCPMaster tests (fixtures in conftest.py).

- ScriptedSocket: a socket double with only send, recv, close and timeout. Answers are
  queued as TCP segments; one recv returns at most one segment (or the part of it that
  was asked for). It is installed through brel_modbus._tcp_connect.
- delegating_class: a ModbusTCPMaster subclass whose builders call the library's own.
- ScriptedServer: a listening socket on 127.0.0.1 served by one thread that runs a
  script function per connection, with bounded waits everywhere.
- pymodbus_server: a real pymodbus TCP server on its own asyncio loop thread.
"""

import collections
import contextlib
import select
import socket
import struct
import threading

from brel_modbus import ModbusTCPMaster


HOST = "plc.example"
PORT = 1502
PEER = str((HOST, PORT))


def mbap(transaction, pdu, unit=1, protocol=0, length=None):
    """An MBAP frame: header, then the PDU (function code first)."""
    if length is None:
        length = len(pdu) + 1
    return struct.pack(">HHHB", transaction & 0xFFFF, protocol, length, unit) + bytes(pdu)


class ScriptedSocket:
    def __init__(self, timeout):
        self.timeout = timeout
        self.segments = collections.deque()  # bytes, or an exception instance to raise
        self.sent = []                        # the bytes of every send call
        self.recv_sizes = []
        self.close_calls = 0
        self.send_limit = None                # at most this many bytes taken per send

    def queue(self, *segments):
        self.segments.extend(segments)

    def send(self, data):
        if self.close_calls:
            raise OSError(9, "Bad file descriptor")
        data = bytes(data)
        taken = data if self.send_limit is None else data[: self.send_limit]
        self.sent.append(taken)
        return len(taken)

    def recv(self, size):
        self.recv_sizes.append(size)
        if not self.segments:
            raise TimeoutError("timed out")
        head = self.segments[0]
        if isinstance(head, BaseException):
            self.segments.popleft()
            raise head
        piece, rest = head[:size], head[size:]
        if rest:
            self.segments[0] = rest
        else:
            self.segments.popleft()
        return piece

    def close(self):
        self.close_calls += 1

    @property
    def wire(self):
        return b"".join(self.sent)


BUILDERS = ["construct_header", "construct_whole_query_command", "construct_read_registers_command",
            "construct_read_coils_command", "construct_write_registers_command", "construct_write_coil_command"]


def delegating_class():
    """A subclass of ModbusTCPMaster whose builders are Python functions that call the
    library's own: in the module namespace or as a master's class, it sends the operations
    down the general road."""
    body = {}
    for name in BUILDERS:
        original = getattr(ModbusTCPMaster, name)
        body[name] = staticmethod(lambda *args, _f=original, **kwargs: _f(*args, **kwargs))
    return type("Delegating", (ModbusTCPMaster,), body)


# ---- a scripted TCP server on 127.0.0.1 ----------------------------------------------------

WAIT = 5.0  # upper bound of every wait of the server side


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        piece = conn.recv(size - len(data))
        if not piece:
            raise ConnectionError("client closed")
        data += piece
    return data


def read_request(conn):
    """One MBAP request from the client: (transaction, protocol, unit, pdu)."""
    head = read_exactly(conn, 7)
    transaction, protocol, length, unit = struct.unpack(">HHHB", head)
    return transaction, protocol, unit, read_exactly(conn, length - 1)


class ScriptedServer:
    """Runs script(conn, server) for each accepted connection, one at a time."""

    def __init__(self, script, connections=1):
        self.script = script
        self.connections = connections
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(WAIT)
        self.port = self.listener.getsockname()[1]
        self.requests = []
        self.errors = []
        self.events = collections.defaultdict(threading.Event)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for _ in range(self.connections):
                conn, _ = self.listener.accept()
                with conn:
                    conn.settimeout(WAIT)
                    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self.script(conn, self)
        except Exception as exc:  # reported by stop()
            self.errors.append(exc)

    def request(self, conn):
        req = read_request(conn)
        self.requests.append(req)
        return req

    def stop(self):
        self.thread.join(WAIT * 2)
        self.listener.close()
        alive = self.thread.is_alive()
        assert not alive, "scripted server did not finish"
        return self.errors


def wait_readable(sock, limit=WAIT):
    """Wait (bounded) until bytes wait on sock; the test side's view of the stream."""
    readable, _, _ = select.select([sock], [], [], limit)
    return bool(readable)


# ---- a real pymodbus server ---------------------------------------------------------------------

class PymodbusServer:
    """A pymodbus TCP server answering every unit identifier, coils and registers only."""

    def __init__(self):
        from pymodbus.constants import ExcCodes
        from pymodbus.datastore import ModbusDeviceContext, ModbusSequentialDataBlock, ModbusServerContext
        from simulator import start_tcp_server

        class Block(ModbusSequentialDataBlock):
            # Modbus requires a quantity of at least 1 (exception code 3 otherwise);
            # pymodbus 3.11.4 answers a read of 0 coils or registers with empty data.
            def getValues(self, address, count=1):
                if count < 1:
                    return ExcCodes.ILLEGAL_VALUE
                return super().getValues(address, count)

        # The datastore adds 1 to every protocol address: blocks start at 1 so that
        # protocol address 0 is their first value.
        self.coils = Block(1, [True, False, True, True, False, False, True, True] * 4)
        self.registers = Block(1, list(range(100, 164)))
        device = ModbusDeviceContext(co=self.coils, hr=self.registers)
        self.server = start_tcp_server(ModbusServerContext(devices=device, single=True))
        self.port = self.server.tcp_port

    def shutdown(self):
        """Stop serving: the connections close and the port stops accepting."""
        self.server.stop()

    stop = shutdown


@contextlib.contextmanager
def scripted_servers():
    """start(script, connections=1) -> a ScriptedServer; every one is closed afterwards."""
    made = []

    def start(script, connections=1):
        server = ScriptedServer(script, connections)
        made.append(server)
        return server

    try:
        yield start
    finally:
        for server in made:
            server.listener.close()
            server.thread.join(WAIT * 2)
