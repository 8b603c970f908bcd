"""The operations reach self.__query, self.protocol and self.station as the interpreter
would, also after a call has run on the library's own members: an instance attribute,
a member replaced in the class, or a property replaced there, applies from the next call."""

import pytest

from brel_modbus import ModbusTCPMaster
from tcp_support import mbap

H = bytes.fromhex


def test_instance_attribute_shadows_the_query(connect):
    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    seen = []
    master._ModbusTCPMaster__query = lambda command, needed=None: seen.append((command, needed)) or b"\x02\x00\x09"
    assert master.read_registers(5, 1) == [9]
    assert seen == [(H("0300050001"), 3)]
    del master._ModbusTCPMaster__query
    sock.queue(mbap(2, H("0302000B")))
    assert master.read_registers(0, 1) == [11]


def test_query_replaced_in_the_class(connect, monkeypatch):
    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    own = ModbusTCPMaster.__dict__["_ModbusTCPMaster__query"]
    seen = []

    def query(self, command, length_needed=None):
        seen.append(command)
        return own(self, command, length_needed)

    monkeypatch.setattr(ModbusTCPMaster, "_ModbusTCPMaster__query", query)
    sock.queue(mbap(2, H("03020008")))
    assert master.read_registers(1, 1) == [8]
    assert seen == [H("0300010001")]
    monkeypatch.undo()
    sock.queue(mbap(3, H("03020009")))
    assert master.read_registers(2, 1) == [9]
    assert seen == [H("0300010001")]


@pytest.mark.parametrize("name, value, header", [
    ("station", 7, "000200000006070300000001"),
    ("protocol", 5, "000200050006010300000001"),
])
def test_property_replaced_in_the_class(connect, monkeypatch, name, value, header):
    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    monkeypatch.setattr(ModbusTCPMaster, name, property(lambda self: value))
    sock.queue(mbap(2, H("03020008")))      # unit 1, protocol 0: not this request's
    with pytest.raises(OSError, match="^Received data header invalid from "):
        master.read_registers(0, 1)
    assert master.last_command_sent == H(header)


@pytest.mark.parametrize("builder", ["construct_read_registers_command", "construct_whole_query_command",
                                     "construct_header"])
@pytest.mark.parametrize("where", ["class", "module name"])
def test_builder_replaced_after_a_call(connect, monkeypatch, builder, where):
    """A builder replaced in the class, or the module's name ModbusTCPMaster bound to another
    class, applies from the next call, also after calls that ran on the library's own."""
    import brel_modbus

    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    own = getattr(ModbusTCPMaster, builder)
    seen = []

    def replaced(*args):
        seen.append(args[0])
        return own(*args)

    if where == "class":
        monkeypatch.setattr(ModbusTCPMaster, builder, staticmethod(replaced))
    else:
        monkeypatch.setattr(brel_modbus, "ModbusTCPMaster",
                            type("Other", (ModbusTCPMaster,), {builder: staticmethod(replaced)}))
    sock.queue(mbap(2, H("03020008")))
    assert master.read_registers(1, 1) == [8]
    assert len(seen) == 1
    monkeypatch.undo()
    sock.queue(mbap(3, H("03020009")))
    assert master.read_registers(2, 1) == [9]
    assert len(seen) == 1
    assert master.last_command_sent == H("000300000006010300020001")


def test_instance_state_set_by_the_application_applies(monkeypatch):
    """After calls on the library's own road, state that application code writes into the
    instance is what the next call uses, and what a call writes is in the instance."""
    import socket
    import struct
    import threading

    import brel_modbus

    ours, slave = socket.socketpair()
    ours.settimeout(2.0)
    slave.settimeout(2.0)
    monkeypatch.setattr(brel_modbus, "_tcp_connect", lambda address, timeout=None: ours)
    master = ModbusTCPMaster("plc", 502, 2.0)
    requests = []

    def answer(count):
        for _ in range(count):
            request = slave.recv(300)
            requests.append(request)
            slave.sendall(request[:4] + struct.pack(">H", 5) + request[6:7] + H("03020007"))

    server = threading.Thread(target=answer, args=(2,))
    server.start()
    try:
        assert master.read_registers(0, 1) == [7]
        master._ModbusTCPMaster__protocol = 5
        master._ModbusTCPMaster__head_checker = 70000
        master._ModbusTCPMaster__station = 9
        assert master.read_registers(3, 1) == [7]
    finally:
        server.join()
    assert requests[1] == H("1170" "0005" "0006" "09" "0300030001")
    state = vars(master)
    assert state["_ModbusTCPMaster__head_checker"] == 70001
    assert state["_ModbusTCPMaster__last_command_sent"] == requests[1]
    assert state["_ModbusTCPMaster__last_feedback_received"] == H("117000050005" "09" "03020007")
    del master._ModbusTCPMaster__socket
    with pytest.raises(AttributeError, match="'ModbusTCPMaster' object has no attribute '_ModbusTCPMaster__socket'"):
        master.read_registers(0, 1)
    ours.close()
    slave.close()


# ---- socket.socket's methods replaced, and descriptors on the class ---------------------------------

def answering(conn, server):
    """Answers every request with one register holding 7, until the client closes."""
    try:
        while True:
            transaction, protocol, unit, pdu = server.request(conn)
            conn.sendall(mbap(transaction, H("03020007"), unit=unit, protocol=protocol))
    except ConnectionError:
        pass


@pytest.mark.parametrize("mode", ["count", "fail"])
@pytest.mark.parametrize("name", ["send", "sendall", "recv"])
def test_socket_methods_replaced_on_the_class_are_called(scripted_server, monkeypatch, name, mode):
    """After calls on the interpreter's own socket type, a send, sendall or recv replaced on
    socket.socket (a logger, a fault injector) is what the next call uses; once put back,
    the calls go on without it."""
    import socket

    server = scripted_server(answering, connections=1 if mode == "count" else 2)
    with ModbusTCPMaster("127.0.0.1", server.port, 2.0) as master:
        assert type(master.socket) is socket.socket
        for _ in range(2):
            assert master.read_registers(0, 1) == [7]
        own = getattr(socket.socket, name)
        calls = []

        def replaced(self, *args):
            if self is master.socket:       # the scripted server's sockets are of that type too
                calls.append(args)
                if mode == "fail":
                    raise ConnectionResetError(104, "injected")
            return own(self, *args)

        monkeypatch.setattr(socket.socket, name, replaced)
        if mode == "count":
            assert master.read_registers(0, 1) == [7]
        else:
            with pytest.raises(ConnectionResetError, match="injected"):
                master.read_registers(0, 1)
        assert calls
        monkeypatch.undo()
        calls.clear()
        assert master.read_registers(0, 1) == [7]
        assert calls == []
    assert server.stop() == []


def test_a_data_descriptor_over_the_state_is_asked_at_each_use(connect, monkeypatch):
    """A class attribute over the instance's private station that answers differently at
    each look-up, set after calls on the library's own road: each request carries what it
    answered for that request."""
    import itertools

    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    units = itertools.count(7)

    class Station:
        def __get__(self, instance, owner=None):
            return self if instance is None else next(units)

        def __set__(self, instance, value):
            raise AttributeError("read-only")

    monkeypatch.setattr(ModbusTCPMaster, "_ModbusTCPMaster__station", Station(), raising=False)
    sock.queue(mbap(2, H("03020008"), unit=7), mbap(3, H("03020009"), unit=8))
    assert master.read_registers(1, 1) == [8]
    assert master.read_registers(2, 1) == [9]
    assert [request[6] for request in sock.sent[-2:]] == [7, 8]
    monkeypatch.undo()
    sock.queue(mbap(4, H("0302000A")))
    assert master.read_registers(3, 1) == [10]
    assert sock.sent[-1][6] == 1


@pytest.mark.parametrize("builder, call, answer, result", [
    ("construct_read_coils_command", ("read_coils", 0, 3), "010105", [True, False, True]),
    ("construct_read_registers_command", ("read_registers", 2, 1), "03020007", [7]),
    ("construct_write_registers_command", ("write_registers", 4, [9]), "1000040001", None),
    ("construct_write_coil_command", ("write_coil", 4, True), "050004FF00", None),
])
def test_each_builder_replaced_in_the_class_builds_its_request(connect, monkeypatch, builder, call, answer, result):
    """Every builder step, replaced in the class after a call on the library's own road, is
    called by its operation with the operation's arguments, and only until it is put back."""
    master, sock = connect()
    name, *args = call
    sock.queue(mbap(1, H(answer)))
    assert getattr(master, name)(*args) == result
    own = getattr(ModbusTCPMaster, builder)
    seen = []

    def replaced(*given):
        seen.append(given)
        return own(*given)

    monkeypatch.setattr(ModbusTCPMaster, builder, staticmethod(replaced))
    sock.queue(mbap(2, H(answer)))
    assert getattr(master, name)(*args) == result
    assert seen == [tuple(args)]
    monkeypatch.undo()
    sock.queue(mbap(3, H(answer)))
    assert getattr(master, name)(*args) == result
    assert len(seen) == 1
    assert [request[7:] for request in sock.sent[-3:]] == [sock.sent[-1][7:]] * 3


def test_a_plain_class_value_under_a_state_name_does_not_hide_the_instance_state(connect, monkeypatch):
    master, sock = connect()
    sock.queue(mbap(1, H("03020007")))
    assert master.read_registers(0, 1) == [7]
    monkeypatch.setattr(ModbusTCPMaster, "_ModbusTCPMaster__station", 9, raising=False)
    sock.queue(mbap(2, H("03020008")))
    assert master.read_registers(1, 1) == [8]
    assert master.last_command_sent[6] == 1   # the instance's own station
    monkeypatch.undo()
    sock.queue(mbap(3, H("03020009")))
    assert master.read_registers(2, 1) == [9]


class Made(bytes):
    """A request a replaced builder made: not the library's own bytes object."""


@pytest.mark.parametrize("builder, call, made, feedback, needed, result", [
    ("construct_read_coils_command", ("read_coils", 0, 3), Made(H("0100000003")), H("0105"), 2,
     [True, False, True]),
    ("construct_read_registers_command", ("read_registers", 2, 2), Made(H("0300020002")), H("0400070008"), 5, [7, 8]),
    ("construct_read_registers_command", ("read_registers", 2, 2), Made(H("0300020002")), H("040007"), 5, IndexError),
    ("construct_write_registers_command", ("write_registers", 4, [9, 10]), Made(H("1000040002040009000A")),
     H("00040002"), 4, None),
    ("construct_write_registers_command", ("write_registers", 4, [9]), Made(H("100004000102000009")), H("00040002"), 4,
     AssertionError),
    # the state echoed is judged against the command the builder made, not against `value`
    ("construct_write_coil_command", ("write_coil", 4, True), [5, 0, 4, 0, 0], H("00040000"), 4, None),
    ("construct_write_coil_command", ("write_coil", 4, True), Made(H("050004FF00")), H("00040000"), 4, AssertionError),
    ("construct_write_coil_command", ("write_coil", 4, False), Made(H("050004FF00")), H("0004FF00"), 4, None),
])
def test_a_replaced_builders_request_reaches_the_query_as_made(connect, monkeypatch, builder, call, made, feedback,
                                                                 needed, result):
    """The object a replaced builder returns is what __query gets, with the length the
    operation needs, and the answer is judged against it and the caller's own arguments."""
    master, _ = connect()
    name, *args = call
    seen = []
    monkeypatch.setattr(ModbusTCPMaster, builder, staticmethod(lambda *given: seen.append(given) or made))
    queried = []
    master._ModbusTCPMaster__query = lambda command, length_needed=None: queried.append((command, length_needed)) or \
        feedback
    if isinstance(result, type):
        with pytest.raises(result):
            getattr(master, name)(*args)
    else:
        assert getattr(master, name)(*args) == result
    assert seen == [tuple(args)]
    assert len(queried) == 1 and queried[0][0] is made and queried[0][1] == needed
