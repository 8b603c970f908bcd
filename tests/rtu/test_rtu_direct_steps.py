"""Master.read_registers reaches its steps (__read, __feedback_assistant, __write_message,
the request senders, __check_crc, the ModbusStatic helpers) through the instance, the
class and the module namespace as they stand at each call: a step replaced on the
instance or patched on a class after earlier reads is the one that runs."""

import array

import pytest

import brel_modbus
from brel_modbus import Master

from rtu_support import frame

ANSWER = frame("01 03 04 00 0A 01 02")
REQUEST = frame("01 03 00 00 00 02")


def test_instance_attribute_hides_the_reader(master, channel):
    channel.answer(ANSWER, ANSWER)
    assert master.read_registers(1, 0, 2) == [10, 258]   # the library's own steps first
    sizes = []
    own_read = master._Master__read

    def read(size=1):
        sizes.append(size)
        return own_read(size)

    master._Master__read = read
    assert master.read_registers(1, 0, 2) == [10, 258]
    assert sizes == [5, 0, 4]
    del master._Master__read
    channel.answer(ANSWER)
    assert master.read_registers(1, 0, 2) == [10, 258]
    assert sizes == [5, 0, 4]


def test_instance_attribute_hides_the_writer_and_the_sender(master, channel):
    written = []
    master._Master__write_message = lambda message: written.append((type(message), bytes(message)))
    with pytest.raises(OSError, match="read from slave timeout"):
        master.read_registers(1, 0, 2)       # nothing was written, so nothing answers
    assert written == [(array.array, REQUEST)]
    assert channel.writes == []

    del master._Master__write_message
    sent = []
    master.send_read_registers_request = lambda *args: sent.append(args)
    with pytest.raises(OSError, match="read from slave timeout"):
        master.read_registers(1, 0, 2, 4)
    assert sent == [(1, 0, 2, 4)]
    assert channel.writes == []


def test_feedback_assistant_on_the_instance(master, channel):
    heads = []

    def feedback_assistant(station, normal_msg_len, check_crc=False):
        heads.append((station, normal_msg_len, check_crc))
        return array.array("B", master._Master__read(5))

    master._Master__feedback_assistant = feedback_assistant
    channel.answer(ANSWER)
    assert master.read_registers(1, 0, 2) == [10, 258]
    assert heads == [(1, 5, False)]
    assert channel.reads == [5, 4]


def test_class_patches_after_a_read_take_effect(master, channel, monkeypatch):
    channel.answer(ANSWER, ANSWER, frame("01 03 04 00 0A 01 03"))
    assert master.read_registers(1, 0, 2) == [10, 258]
    statics = brel_modbus.ModbusStatic
    monkeypatch.setattr(statics, "compound_register", staticmethod(lambda high, low: (high, low)))
    assert master.read_registers(1, 0, 2) == [(0, 10), (1, 2)]
    monkeypatch.undo()
    checked = []
    monkeypatch.setattr(Master, "_Master__check_crc", staticmethod(lambda message, station: checked.append(
        (type(message), bytes(message), station))))
    assert master.read_registers(1, 0, 2) == [10, 259]   # the CRC no longer matches: only the patch judges
    assert checked == [(array.array, frame("01 03 04 00 0A 01 03"), 1)]


def test_byte_array_replaced_after_a_read(master, channel, monkeypatch):
    channel.answer(ANSWER, ANSWER)
    assert master.read_registers(1, 0, 2) == [10, 258]
    made = []

    def byte_array(iterable):
        made.append(bytes(iterable))
        return array.array("B", iterable)

    monkeypatch.setattr(brel_modbus, "_byte_array", byte_array)
    assert master.read_registers(1, 0, 2) == [10, 258]
    assert made == [REQUEST[:2], ANSWER[:5], b"", ANSWER[5:]]


def test_the_channel_sees_the_record_grow(channels):
    """Each read is on record before the next one starts."""
    seen = []
    m = Master("x", 1, 1)
    channel = channels[0]
    plain_read = channel.read

    def read(size):
        seen.append(m.last_feedback_received)
        return plain_read(size)

    channel.read = read
    channel.answer(ANSWER)
    assert m.read_registers(1, 0, 2) == [10, 258]
    assert seen == [b"", ANSWER[:5], ANSWER[:5]]
    assert m.last_feedback_received == ANSWER
