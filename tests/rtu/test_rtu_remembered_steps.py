"""What Master.read_registers finds in the master's __dict__, in its class and in the
module namespace may be remembered from one call to the next. Every change made after
earlier reads, between calls or by the channel between two steps, is seen at the next
step; once undone, the reads go on as before."""

import array
import types

import pytest

import brel_modbus
from brel_modbus import Master

from rtu_support import frame

ANSWER = frame("01 03 04 00 0A 01 02")
REQUEST = frame("01 03 00 00 00 02")
VALUES = [10, 258]


def reads(master, channel, n=3):
    """n plain reads: whatever the steps remember is taken by then."""
    channel.answer(*[ANSWER] * n)
    for _ in range(n):
        assert master.read_registers(1, 0, 2) == VALUES


def fresh(name):
    """The same text as a new str object, not the interned name."""
    return "".join(list(name))


STEPS = ["send_read_registers_request", "_Master__send_read_xx_registers_request", "_Master__write_message",
         "_Master__feedback_assistant", "_Master__read"]


@pytest.mark.parametrize("how", ["setattr", "dict item", "vars update"])
@pytest.mark.parametrize("name", STEPS)
def test_a_step_hidden_after_reads_runs_then_goes(master, channel, name, how):
    reads(master, channel)
    own = getattr(master, name)
    called = []

    def step(*args):
        called.append(args)
        return own(*args)

    if how == "setattr":
        setattr(master, name, step)
    elif how == "dict item":
        master.__dict__[fresh(name)] = step
    else:
        vars(master).update({fresh(name): step})
    reads(master, channel, 2)
    assert len(called) >= 2
    del master.__dict__[name]
    called.clear()
    reads(master, channel, 2)
    assert called == []
    assert channel.writes == [REQUEST] * 7


def test_another_dict_given_while_the_old_one_is_held(master, channel):
    reads(master, channel)
    sizes = []
    own_read = master._Master__read
    old = master.__dict__
    master.__dict__ = dict(old, _Master__read=lambda size=1: (sizes.append(size), own_read(size))[1])
    reads(master, channel, 1)
    assert sizes == [5, 0, 4]
    master.__dict__ = old
    reads(master, channel, 1)
    assert sizes == [5, 0, 4]


def test_two_masters_in_turn_one_with_a_hidden_reader(channels):
    plain, hiding = Master("a", 1, 1), Master("b", 1, 1)
    sizes = []
    own_read = hiding._Master__read
    for _ in range(3):
        reads(plain, channels[0], 1)
        hiding._Master__read = lambda size=1: (sizes.append(size), own_read(size))[1]
        reads(hiding, channels[1], 1)
        del hiding._Master__read
        reads(hiding, channels[1], 1)
    assert sizes == [5, 0, 4] * 3
    assert len(channels[0].writes) == 3 and len(channels[1].writes) == 6


def test_the_channel_replaced_after_reads(master, channel, channels):
    reads(master, channel)
    Master("y", 1, 1)
    other = channels[1]
    master._Master__tunnel = other
    reads(master, other, 1)
    assert other.writes == [REQUEST]
    assert channel.writes == [REQUEST] * 3
    master.__dict__[fresh("_Master__tunnel")] = channel
    reads(master, channel, 1)
    assert channel.writes == [REQUEST] * 4
    assert other.writes == [REQUEST]


@pytest.mark.parametrize("how", ["setattr", "dict item"])
def test_the_record_changed_by_the_channel_between_reads(channels, how):
    m = Master("x", 1, 1)
    channel = channels[0]
    reads(m, channel)
    plain_read = channel.read

    def read(size):
        data = plain_read(size)
        if size == 4:   # the last read of the answer: the record is taken again after it
            if how == "setattr":
                m.MessageLastReceived = b"!"
            else:
                m.__dict__[fresh("MessageLastReceived")] = b"!"
        return data

    channel.read = read
    reads(m, channel, 1)
    assert m.last_feedback_received == b"!" + ANSWER[5:]
    del channel.read
    reads(m, channel, 1)
    assert m.last_feedback_received == ANSWER


def test_the_record_deleted_by_the_channel_between_reads(channels):
    m = Master("x", 1, 1)
    channel = channels[0]
    reads(m, channel)
    plain_read = channel.read

    def read(size):
        data = plain_read(size)
        if size == 4:
            del m.MessageLastReceived
        return data

    channel.read = read
    channel.answer(ANSWER)
    with pytest.raises(AttributeError, match="MessageLastReceived"):
        m.read_registers(1, 0, 2)
    del channel.read
    reads(m, channel, 1)
    assert m.last_feedback_received == ANSWER


def test_the_reader_patched_on_the_class_after_reads(master, channel, monkeypatch):
    reads(master, channel)
    sizes = []
    own_read = Master.__dict__["_Master__read"]

    def read(self, size=1):
        sizes.append(size)
        return own_read(self, size)

    monkeypatch.setattr(Master, "_Master__read", read)
    reads(master, channel, 1)
    assert sizes == [5, 0, 4]
    monkeypatch.undo()
    reads(master, channel, 1)
    assert sizes == [5, 0, 4]


def test_the_record_made_a_property_of_the_class_after_reads(master, channel, monkeypatch):
    reads(master, channel)
    stored = []
    record = property(lambda self: stored[-1] if stored else b"", lambda self, value: stored.append(value))
    monkeypatch.setattr(Master, "MessageLastReceived", record, raising=False)
    reads(master, channel, 1)
    assert stored == [b"", ANSWER[:5], ANSWER[:5], ANSWER]   # each read adds to the record it finds
    monkeypatch.undo()
    reads(master, channel, 1)
    assert master.last_feedback_received == ANSWER
    assert len(stored) == 4


class CountingArray(array.array):
    made = 0

    def __new__(cls, *args):
        CountingArray.made += 1
        return super().__new__(cls, *args)


@pytest.mark.parametrize("where", ["module namespace", "array module"])
def test_the_array_type_replaced_after_reads(master, channel, monkeypatch, where):
    reads(master, channel)
    CountingArray.made = 0
    if where == "module namespace":
        monkeypatch.setattr(brel_modbus, "array", types.SimpleNamespace(array=CountingArray))
    else:
        monkeypatch.setattr(array, "array", CountingArray)
    reads(master, channel, 1)
    assert channel.written_types[-1] == (CountingArray, "B")
    assert CountingArray.made >= 4        # the request, then the answer's three pieces
    monkeypatch.undo()
    CountingArray.made = 0
    reads(master, channel, 1)
    assert channel.written_types[-1] == (array.array, "B")
    assert CountingArray.made == 0


def test_byte_array_deleted_after_reads_then_put_back(master, channel, monkeypatch):
    reads(master, channel)
    monkeypatch.delattr(brel_modbus, "_byte_array")
    channel.answer(ANSWER)
    with pytest.raises(NameError, match="name '_byte_array' is not defined"):
        master.read_registers(1, 0, 2)
    assert channel.writes == [REQUEST] * 3
    monkeypatch.undo()
    channel.answers.clear()
    reads(master, channel, 1)
    assert channel.writes == [REQUEST] * 4


# ---- descriptors of the application's on the classes ---------------------------------------------

class Turning:
    """A class attribute whose __get__ gives the library's own member for its first `first`
    look-ups and a counting stand-in for it after that."""

    def __init__(self, own, first):
        self.own, self.first, self.looked_up, self.calls = own, first, 0, 0

    def stand_in(self, *args):
        self.calls += 1
        return self.own(*args)

    def __get__(self, instance, owner=None):
        self.looked_up += 1
        if self.looked_up <= self.first:
            return self.own
        return self.stand_in if instance is None else types.MethodType(self.stand_in, instance)


@pytest.mark.parametrize("owner, name", [
    ("ModbusStatic", "calculate_crc"),        # the request's CRC and the answer's check
    ("ModbusStatic", "split_register"),       # the request's fields
    ("ModbusStatic", "crc_is_right"),         # the answer's check
    ("ModbusStatic", "compound_register"),    # the answer's values
    ("Master", "_Master__check_crc"),
])
@pytest.mark.parametrize("first", [1, 3])
def test_a_descriptor_on_a_class_is_asked_at_each_use(master, channel, monkeypatch, owner, name, first):
    """Its first answers are the library's own member, so a verdict taken then would stand
    on nothing: the stand-in it gives later runs."""
    reads(master, channel)
    cls = getattr(brel_modbus, owner)
    own = getattr(cls, name)
    turning = Turning(own, first)
    monkeypatch.setattr(cls, name, turning)
    reads(master, channel, 4)
    assert turning.calls > 0
    assert channel.writes[-1] == REQUEST
    monkeypatch.undo()
    reads(master, channel, 1)



@pytest.mark.parametrize("name, call, answer, result", [
    ("send_write_coil_request", ("write_coil", 1, 10, True), "01 05 00 0A FF 00", None),
    ("send_write_register_request", ("write_register", 1, 10, 7), "01 06 00 0A 00 07", None),
    ("send_write_registers_request", ("write_registers", 1, 10, [7]), "01 10 00 0A 00 01", None),
    ("_Master__send_read_xx_coils_request", ("read_coils", 1, 0, 3), "01 01 01 05", [True, False, True]),
    ("_Master__read_xx_coils", ("read_input_coils", 1, 0, 3), "01 02 01 05", [True, False, True]),
    ("_Master__read_int32", ("read_int32", 1, 0), "01 03 04 00 0A 01 02", 0x000A0102),
    ("_Master__write_int32", ("write_uint32", 1, 0, 0x000A0102), "01 10 00 00 00 02", None),
])
def test_a_step_replaced_in_the_class_after_reads_runs_then_goes(master, channel, monkeypatch, name, call, answer,
                                                                 result):
    """Each step of Master's table, replaced in the class once reads have run on the library's
    own road, is called by its member; the other members keep their bytes and results
    meanwhile, and once it is put back nothing calls the replacement."""
    reads(master, channel)
    own = getattr(Master, name)
    called = []

    def step(*args):
        called.append(args[1:])
        return own(*args)

    monkeypatch.setattr(Master, name, step)
    member, *args = call
    channel.answer(frame(answer))
    assert getattr(master, member)(*args) == result
    assert len(called) == 1 and called[0][0] == 1   # the station first
    sent = channel.writes[3:]
    reads(master, channel, 2)
    monkeypatch.undo()
    channel.answer(frame(answer))
    assert getattr(master, member)(*args) == result
    assert len(called) == 1
    reads(master, channel, 2)
    assert len(sent) == 1
    assert channel.writes == [REQUEST] * 3 + sent + [REQUEST] * 2 + sent + [REQUEST] * 2   # the same bytes both ways
