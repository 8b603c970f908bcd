"""Leak checks: every public operation, on its success path and on each failure path,
run many times over in-memory fakes; traced memory, resident size, interpreter blocks,
live objects and the reference counts of the objects involved must stay flat.

The count is BREL_LEAK_COUNT (make leak: 100,000; make leak-ci: 10,000); a plain test
run uses a smaller default that still shows a leak of one object per call."""

from __future__ import annotations

import itertools
import struct
import sys
import tracemalloc

import pytest

import brel_modbus
from rel_support import Gauge, count_from_env, mbap, pdu_answer, rtu_answer, with_crc

COUNT = count_from_env("BREL_LEAK_COUNT", 2000)
WARM_UP = max(200, COUNT // 20)

# Allowed growth over the whole run, far below one object per call.
LIMITS = {"objects": 100, "blocks": 400, "traced": 96 * 1024, "resident": 8 * 1024 * 1024}
ASAN = any("libasan" in line for line in open("/proc/self/maps"))   # its quarantine holds freed memory


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


# ---- fakes --------------------------------------------------------------------------------

class Channel:
    """A serial channel whose slave answers every request at once, as `mode` says."""

    def __init__(self, mode="ok", **_):
        self.mode = mode
        self.pending = b""
        self.timeout = 1.0
        self.is_open = True
        self.cache = {}

    @property
    def in_waiting(self):
        return len(self.pending)

    def read(self, size):
        data, self.pending = self.pending[:size], self.pending[size:]
        return data

    def write(self, data):
        request = bytes(data)
        answer = self.cache.get(request)
        if answer is None:
            answer = self.cache[request] = self.answer_to(request)
        self.pending = answer

    def answer_to(self, request):
        mode = self.mode
        if mode == "silent":
            return b""
        if mode == "exception":
            return with_crc(bytes((request[0], request[1] | 0x80, 2)))
        if mode == "zero":
            return with_crc(bytes((request[0], request[1], 0)))
        if mode == "three":        # three registers whatever was asked
            return with_crc(bytes((request[0], request[1], 6, 0, 1, 0, 2, 0, 3)))
        answer = rtu_answer(request)
        if mode == "crc":
            return answer[:-1] + bytes([answer[-1] ^ 0xFF])
        if mode == "short":
            return answer[:6]
        return answer

    def close(self):
        self.is_open = False


class Socket:
    """A connected socket whose server answers every request at once, as `mode` says."""

    def __init__(self, mode="ok"):
        self.mode = mode
        self.pending = b""
        self.timeout = 1.0
        self.cache = {}

    def send(self, data):
        key = bytes(data[2:])
        answer = self.cache.get(key)
        if answer is None:
            answer = self.cache[key] = self.answer_to(bytes(data))
        transaction = (int.from_bytes(data[:2], "big") + (self.mode == "foreign")) & 0xFFFF
        self.pending = transaction.to_bytes(2, "big") + answer[2:]
        return len(data)

    def answer_to(self, request):
        transaction, protocol, _, unit = struct.unpack(">HHHB", request[:7])
        pdu = request[7:]
        mode = self.mode
        if mode == "exception":
            return mbap(transaction, bytes((pdu[0] | 0x80, 2)), unit=unit)
        if mode == "echo":         # a write echo with another address
            return mbap(transaction, bytes((pdu[0], 0xAB, 0xCD, 0, 1)), unit=unit)
        if pdu[0] in (1, 2, 3, 4):
            address, count = struct.unpack(">HH", pdu[1:5])
            size = 2 * count if pdu[0] in (3, 4) else (count + 7) // 8
            return mbap(transaction, bytes((pdu[0], size)) + bytes((address + i) & 0xFF for i in range(size)),
                        unit=unit)
        return mbap(transaction, pdu_answer(pdu), unit=unit, protocol=protocol)

    def recv(self, size):
        if self.mode == "timeout":
            raise TimeoutError("timed out")
        if self.mode == "closed":
            return b""
        data, self.pending = self.pending[:size], self.pending[size:]
        return data

    def close(self):
        pass


def serial_master(monkeypatch, mode="ok"):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", lambda **kw: Channel(mode, **kw))
    return brel_modbus.Master("/dev/ttyFAKE", 9600, 1.0)


def fix_master(monkeypatch, mode="ok"):
    monkeypatch.setattr(brel_modbus, "create_serial_instance", lambda **kw: Channel(mode, **kw))
    return brel_modbus.FixMaster(1, "/dev/ttyFAKE", 9600, 1.0)


def tcp_master(monkeypatch, mode="ok"):
    monkeypatch.setattr(brel_modbus, "_tcp_connect", lambda address, timeout=None: Socket(mode))
    return brel_modbus.ModbusTCPMaster("127.0.0.1", 1502, 1.0)


# ---- the operations ---------------------------------------------------------------------------

SE = brel_modbus.SlaveException
TIMEOUT = OSError
CRC = ValueError
VALUES = [1, 2, 3, 65535]
FLOATS = [0.5, -2.25, 1e10]
BIG = 2 ** 70

# name: (factory, mode, operation on the object, exception expected or None)
MASTER_OK = {
    "read_register": lambda m: m.read_register(1, 2),
    "read_registers": lambda m: m.read_registers(1, 2, 5),
    "read_registers_fc4": lambda m: m.read_registers(1, 2, 5, 4),
    "read_input_register": lambda m: m.read_input_register(1, 2),
    "read_input_registers": lambda m: m.read_input_registers(1, 2, 5),
    "read_coil": lambda m: m.read_coil(1, 3),
    "read_coils": lambda m: m.read_coils(1, 3, 19),
    "read_input_coils": lambda m: m.read_input_coils(1, 3, 19),
    "write_register": lambda m: m.write_register(1, 2, 300),
    "write_registers": lambda m: m.write_registers(1, 2, VALUES),
    "write_registers_tuple": lambda m: m.write_registers(1, 2, tuple(VALUES)),
    "write_coil": lambda m: m.write_coil(1, 2, True),
    "send_read_registers_request": lambda m: m.send_read_registers_request(1, 2, 3, 3),
    "send_read_input_registers_request": lambda m: m.send_read_input_registers_request(1, 2, 3),
    "send_read_coils_request": lambda m: m.send_read_coils_request(1, 2, 3),
    "send_read_input_coils_request": lambda m: m.send_read_input_coils_request(1, 2, 3),
    "send_write_register_request": lambda m: m.send_write_register_request(1, 2, 3),
    "send_write_registers_request": lambda m: m.send_write_registers_request(1, 2, VALUES),
    "send_write_coil_request": lambda m: m.send_write_coil_request(1, 2, 0),
    "read_int16": lambda m: m.read_int16(1, 2),
    "read_uint16": lambda m: m.read_uint16(1, 2),
    "read_int32": lambda m: m.read_int32(1, 2),
    "read_uint32": lambda m: m.read_uint32(1, 2, "<"),
    "read_float": lambda m: m.read_float(1, 2),
    "read_multi_int32": lambda m: m.read_multi_int32(1, 2, 3),
    "read_multi_uint32": lambda m: m.read_multi_uint32(1, 2, 3, "<"),
    "read_multi_float": lambda m: m.read_multi_float(1, 2, 3),
    "write_int16": lambda m: m.write_int16(1, 2, -2),
    "write_uint16": lambda m: m.write_uint16(1, 2, 65535),
    "write_int32": lambda m: m.write_int32(1, 2, -5),
    "write_uint32": lambda m: m.write_uint32(1, 2, 4000000000, "<"),
    "write_float": lambda m: m.write_float(1, 2, 0.1),
    "write_multi_int32": lambda m: m.write_multi_int32(1, 2, [-1, 2, -3]),
    "write_multi_uint32": lambda m: m.write_multi_uint32(1, 2, (1, 2, 3)),
    "write_multi_float": lambda m: m.write_multi_float(1, 2, FLOATS),
    "write_coils": lambda m: m.write_coils(1, 2, [True, 0, 1] * 7),
    "mask_write_register": lambda m: m.mask_write_register(1, 2, 0xF0F0, 0x0F0F),
    "read_write_registers": lambda m: m.read_write_registers(1, 2, 5, 3, VALUES),
    "read_device_identification": lambda m: m.read_device_identification(1),
    "read_values": lambda m: m.read_values(1, 2, "d 2h 6s", "DCBA"),
    "write_values": lambda m: m.write_values(1, 2, "f q 4s", [0.5, -BIG // 2**30, b"ab"], "CDAB"),
    "write_coils-broadcast": lambda m: m.write_coils(0, 2, [1]),
    "properties": lambda m: (m.last_command_sent, m.last_feedback_received, m.last_command_sent_hex,
                             m.last_feedback_received_hex, m.serial, m.timeout),
    "timeout_setter": lambda m: setattr(m, "timeout", 2),
    "with_block": lambda m: m.__exit__(None, None, None) if m.__enter__() is m else None,
}

MASTER_FAIL = [
    # (name, mode, operation, exception)
    ("read_registers-timeout", "silent", lambda m: m.read_registers(1, 2, 5), TIMEOUT),
    ("read_registers-short", "short", lambda m: m.read_registers(1, 2, 5), TIMEOUT),
    ("read_registers-exception", "exception", lambda m: m.read_registers(1, 2, 5), SE),
    ("read_registers-crc", "crc", lambda m: m.read_registers(1, 2, 5), CRC),
    ("read_registers-bad-station", "ok", lambda m: m.read_registers(True, 2, 5), TypeError),
    ("read_registers-station-256", "ok", lambda m: m.read_registers(256, 2, 5), OverflowError),
    ("read_register-mismatch", "zero", lambda m: m.read_register(1, 2), ValueError),
    ("read_coils-timeout", "silent", lambda m: m.read_coils(1, 2, 5), TIMEOUT),
    ("read_coils-exception", "exception", lambda m: m.read_coils(1, 2, 5), SE),
    ("read_coils-crc", "crc", lambda m: m.read_coils(1, 2, 5), CRC),
    ("read_coils-bad-count", "ok", lambda m: m.read_coils(1, 2, 5.0), TypeError),
    ("read_coil-mismatch", "zero", lambda m: m.read_coil(1, 2), ValueError),
    ("read_input_coils-crc", "crc", lambda m: m.read_input_coils(1, 2, 5), CRC),
    ("write_register-timeout", "silent", lambda m: m.write_register(1, 2, 3), TIMEOUT),
    ("write_register-short", "short", lambda m: m.write_register(1, 2, 3), TIMEOUT),
    ("write_register-exception", "exception", lambda m: m.write_register(1, 2, 3), SE),
    ("write_register-crc", "crc", lambda m: m.write_register(1, 2, 3), CRC),
    ("write_register-bad-value", "ok", lambda m: m.write_register(1, 2, "x"), TypeError),
    ("write_registers-128", "ok", lambda m: m.write_registers(1, 2, [0] * 128), ValueError),
    ("write_registers-exception", "exception", lambda m: m.write_registers(1, 2, VALUES), SE),
    ("write_registers-crc", "crc", lambda m: m.write_registers(1, 2, VALUES), CRC),
    ("write_registers-bad-item", "ok", lambda m: m.write_registers(1, 2, [1, 2.5]), TypeError),
    ("write_coil-timeout", "silent", lambda m: m.write_coil(1, 2, 1), TIMEOUT),
    ("write_coil-station-300", "ok", lambda m: m.write_coil(300, 2, 1), OverflowError),
    ("write_coil-exception", "exception", lambda m: m.write_coil(1, 2, 1), SE),
    ("send_read_registers_request-big", "ok", lambda m: m.send_read_registers_request(1, BIG, 1, 3), OverflowError),
    ("write_register-broadcast", "ok", lambda m: m.write_register(0, 2, 3), None),
    ("read_int16-timeout", "silent", lambda m: m.read_int16(1, 2), TIMEOUT),
    ("read_int32-three", "three", lambda m: m.read_int32(1, 2), ValueError),
    ("read_float-crc", "crc", lambda m: m.read_float(1, 2), CRC),
    ("read_float-bad-endian", "ok", lambda m: m.read_float(1, 2, b">"), TypeError),
    ("read_multi_float-short-list", "three", lambda m: m.read_multi_float(1, 2, 3), ValueError),
    ("read_multi_int32-exception", "exception", lambda m: m.read_multi_int32(1, 2, 3), SE),
    ("write_uint32-negative", "ok", lambda m: m.write_uint32(1, 2, -1), struct.error),
    ("write_float-huge", "ok", lambda m: m.write_float(1, 2, 1e300), OverflowError),
    ("write_int32-timeout", "silent", lambda m: m.write_int32(1, 2, 5), TIMEOUT),
    ("write_multi_float-64", "ok", lambda m: m.write_multi_float(1, 2, [0.0] * 64), ValueError),
    ("write_multi_int32-bad-item", "ok", lambda m: m.write_multi_int32(1, 2, [1, "x"]), struct.error),
    ("write_multi_uint32-crc", "crc", lambda m: m.write_multi_uint32(1, 2, [1, 2]), CRC),
    ("timeout_setter-bad", "ok", lambda m: setattr(m, "timeout", "x"), TypeError),
    ("write_coils-exception", "exception", lambda m: m.write_coils(1, 2, [1, 0]), SE),
    ("write_coils-none", "ok", lambda m: m.write_coils(1, 2, []), ValueError),
    ("mask_write_register-crc", "crc", lambda m: m.mask_write_register(1, 2, 3, 4), CRC),
    ("read_write_registers-mismatch", "three", lambda m: m.read_write_registers(1, 2, 2, 3, [1]), ValueError),
    ("read_device_identification-exception", "exception", lambda m: m.read_device_identification(1), SE),
    ("read_device_identification-timeout", "silent", lambda m: m.read_device_identification(1, 3), TIMEOUT),
    ("read_values-bad-format", "ok", lambda m: m.read_values(1, 2, "2x"), ValueError),
    ("read_values-timeout", "silent", lambda m: m.read_values(1, 2, "I"), TIMEOUT),
    ("write_values-overflow", "ok", lambda m: m.write_values(1, 2, "2H", [1, BIG]), OverflowError),
    ("read_registers-retried", "silent", lambda m: setattr(m, "retries", 2) or m.read_registers(1, 2, 5), TIMEOUT),
    ("write_coils-retried-crc", "crc", lambda m: setattr(m, "retries", 1) or m.write_coils(1, 2, [1]), CRC),
    ("init-bad-port", "ok", lambda m: brel_modbus.Master(3, 9600, 1), TypeError),
]

FIX_OK = {
    "send_write_coil_request": lambda f: f.send_write_coil_request(2, 1),
    "send_write_registers_request": lambda f: f.send_write_registers_request(2, VALUES),
    "send_write_register_request": lambda f: f.send_write_register_request(2, 3),
    "send_read_coils_request": lambda f: f.send_read_coils_request(2, 3),
    "send_read_registers_request": lambda f: f.send_read_registers_request(2, 3),
    "write_register": lambda f: f.write_register(2, 3),
    "write_registers": lambda f: f.write_registers(2, VALUES),
    "write_coil": lambda f: f.write_coil(2, "on"),
    "read_register": lambda f: f.read_register(2),
    "read_registers": lambda f: f.read_registers(2, 4, 4),
    "read_coil": lambda f: f.read_coil(2),
    "read_coils": lambda f: f.read_coils(2, 9),
    "read_int32": lambda f: f.read_int32(2),
    "read_uint32": lambda f: f.read_uint32(2),
    "read_float": lambda f: f.read_float(2),
    "write_int32": lambda f: f.write_int32(2, -7),
    "write_uint32": lambda f: f.write_uint32(2, 7),
    "read_int16": lambda f: f.read_int16(2),
    "read_uint16": lambda f: f.read_uint16(2),
    "write_int16": lambda f: f.write_int16(2, -3),
    "write_uint16": lambda f: f.write_uint16(2, 3),
    "write_coils": lambda f: f.write_coils(2, [True, False]),
    "read_values": lambda f: f.read_values(2, "i", "CDAB"),
    "read_device_identification": lambda f: f.read_device_identification(),
    "properties": lambda f: (f.master, f.serial, f.last_command_sent, f.last_feedback_received,
                             f.last_command_sent_hex, f.last_feedback_received_hex, f.station, f.timeout),
    "setters": lambda f: (setattr(f, "station", 1), setattr(f, "timeout", 1.5)),
    "with_block": lambda f: f.__exit__(None, None, None) if f.__enter__() is f else None,
}

FIX_FAIL = [
    ("read_registers-timeout", "silent", lambda f: f.read_registers(2, 3), TIMEOUT),
    ("read_registers-exception", "exception", lambda f: f.read_registers(2, 3), SE),
    ("read_coils-crc", "crc", lambda f: f.read_coils(2, 3), CRC),
    ("write_register-bad-address", "ok", lambda f: f.write_register(True, 3), TypeError),
    ("write_registers-crc", "crc", lambda f: f.write_registers(2, VALUES), CRC),
    ("read_float-timeout", "silent", lambda f: f.read_float(2), TIMEOUT),
    ("write_uint32-negative", "ok", lambda f: f.write_uint32(2, -1), struct.error),
    ("station-bad", "ok", lambda f: setattr(f, "station", None), TypeError),
    ("init-bad-station", "ok", lambda f: brel_modbus.FixMaster(True, "/dev/ttyFAKE", 9600, 1), TypeError),
]

TCP_OK = {
    "read_coils": lambda t: t.read_coils(3, 19),
    "read_registers": lambda t: t.read_registers(3, 10),
    "read_register": lambda t: t.read_register(3),
    "write_registers": lambda t: t.write_registers(3, VALUES),
    "write_register": lambda t: t.write_register(3, 65535),
    "write_coil": lambda t: t.write_coil(3, True),
    "construct_header": lambda t: t.construct_header(b"\x03\x00\x00\x00\x0a", 70000, 1, 300),
    "construct_whole_query_command": lambda t: t.construct_whole_query_command(b"\x03\x00\x00\x00\x0a", 5),
    "construct_read_registers_command": lambda t: t.construct_read_registers_command(BIG, -1),
    "construct_read_coils_command": lambda t: t.construct_read_coils_command(1, 2),
    "construct_write_registers_command": lambda t: t.construct_write_registers_command(1, VALUES),
    "construct_write_coil_command": lambda t: t.construct_write_coil_command(1, ""),
    "read_input_registers": lambda t: t.read_input_registers(3, 10),
    "read_input_coils": lambda t: t.read_input_coils(3, 19),
    "write_single_register": lambda t: t.write_single_register(3, 65535),
    "read_float": lambda t: t.read_float(3, "<"),
    "write_multi_int32": lambda t: t.write_multi_int32(3, [-1, 5]),
    "write_coils": lambda t: t.write_coils(3, [1, 0, 1] * 5),
    "mask_write_register": lambda t: t.mask_write_register(3, 0xFF00, 0x00FF),
    "read_write_registers": lambda t: t.read_write_registers(3, 4, 5, VALUES),
    "read_device_identification": lambda t: t.read_device_identification(2),
    "read_values": lambda t: t.read_values(3, "2f 4s", "BADC", 4),
    "write_values": lambda t: t.write_values(3, "e Q", [1.5, 2**63], "DCBA"),
    "properties": lambda t: (t.socket, t.timeout, t.station, t.protocol, t.last_command_sent,
                             t.last_feedback_received, t.last_command_sent_hex, t.last_feedback_received_hex),
    "station_setter": lambda t: setattr(t, "station", 1),
    "with_block": lambda t: t.__exit__(None, None, None) if t.__enter__() is t else None,
}

TCP_FAIL = [
    ("read_registers-timeout", "timeout", lambda t: t.read_registers(3, 10), TimeoutError),
    ("read_registers-closed", "closed", lambda t: t.read_registers(3, 10), OSError),
    ("read_registers-foreign", "foreign", lambda t: t.read_registers(3, 10), OSError),
    ("read_registers-exception", "exception", lambda t: t.read_registers(3, 10), AssertionError),
    ("read_coils-exception", "exception", lambda t: t.read_coils(3, 10), AssertionError),
    ("read_coils-timeout", "timeout", lambda t: t.read_coils(3, 10), TimeoutError),
    ("write_registers-echo", "echo", lambda t: t.write_registers(3, VALUES), AssertionError),
    ("write_registers-128", "ok", lambda t: t.write_registers(3, [0] * 128), ValueError),
    ("write_registers-tuple", "ok", lambda t: t.write_registers(3, (1, 2)), TypeError),
    ("write_registers-float-item", "ok", lambda t: t.write_registers(3, [1.5]), TypeError),
    ("write_coil-echo", "echo", lambda t: t.write_coil(3, 1), AssertionError),
    ("write_register-closed", "closed", lambda t: t.write_register(3, 1), OSError),
    ("construct_header-str", "ok", lambda t: t.construct_header("x", 1), TypeError),
    ("init-bad-port", "ok", lambda t: brel_modbus.ModbusTCPMaster("h", "1", 1), TypeError),
    ("read_input_registers-exception", "exception", lambda t: t.read_input_registers(3, 2), SE),
    ("write_coils-echo", "echo", lambda t: t.write_coils(3, [1]), AssertionError),
    ("read_device_identification-timeout", "timeout", lambda t: t.read_device_identification(), TimeoutError),
    ("read_values-bad-order", "ok", lambda t: t.read_values(3, "f", "ABDC"), ValueError),
    ("write_values-wrong-count", "ok", lambda t: t.write_values(3, "2f", [1.0]), ValueError),
    ("read_write_registers-closed", "closed", lambda t: t.read_write_registers(3, 1, 3, [1]), OSError),
    ("read_registers-closed-reconnect-retried", "closed",
     lambda t: setattr(t, "retries", 1) or t.read_registers(3, 10), ConnectionError),
]

# Poller over each master, its clock one second on at every reading: every point is due at every
# pass. Against refusals the first passes cut the requests down to one per point; from then on
# the state no longer changes.
POINTS = [("holding", 0, "H"), ("holding", 3, "f"), ("holding", 20, "4s"), ("input", 10, "2h"), ("coil", 1, "H"),
          ("coil", 9, "H"), ("discrete", 30, "H")]


def poller(master_factory):
    def make(monkeypatch, mode="ok"):
        p = brel_modbus.Poller(master_factory(monkeypatch, mode), clock=itertools.count().__next__)
        for i, (table, address, fmt) in enumerate(POINTS):
            p.add(f"p{i}", 1, table, address, fmt)
        return p
    return make


POLLER_OK = {
    "poll": lambda p: p.poll(),
    "plan": lambda p: p.plan(),
    "stats": lambda p: p.stats,
    "run": lambda p: next(p.run(5)),
    "master": lambda p: p.master,
}

POLLER_FAIL = [
    ("poll-exception", "exception", lambda p: p.poll()["p0"], None),
    ("poll-silent", "silent", lambda p: p.poll()["p1"], None),
    ("poll-crc", "crc", lambda p: p.poll()["p4"], None),
    ("run-silent", "silent", lambda p: next(p.run()), None),
    ("add-twice", "ok", lambda p: p.add("p0", 1, "holding", 0), ValueError),
    ("add-bad-table", "ok", lambda p: p.add("new", 1, "holdings", 0), ValueError),
    ("add-bad-format", "ok", lambda p: p.add("new", 1, "holding", 0, "2x"), ValueError),
    ("add-bad-period", "ok", lambda p: p.add("new", 1, "holding", 0, period=-1), ValueError),
    ("run-bad-duration", "ok", lambda p: p.run(-1), ValueError),
    ("init-bad-master", "ok", lambda p: brel_modbus.Poller(p), TypeError),
]

S = brel_modbus.ModbusStatic
FRAME = bytes.fromhex("01 03 00 00 00 01 84 0A")
STATIC = [
    ("split_register", lambda: S.split_register(BIG + 258), None),
    ("compound_register", lambda: S.compound_register(BIG, 2), None),
    ("calculate_crc-bytes", lambda: S.calculate_crc(FRAME, 1, -2), None),
    ("calculate_crc-list", lambda: S.calculate_crc(list(FRAME) + [-1, 70000]), None),
    ("calculate_crc-str", lambda: S.calculate_crc("123456789"), None),
    ("crc_is_right", lambda: S.crc_is_right(FRAME), None),
    ("crc_is_right-list", lambda: S.crc_is_right(list(FRAME)), None),
    ("byte_array", lambda: brel_modbus._byte_array(FRAME), None),
    ("slave_exception", lambda: str(brel_modbus.SlaveException(1, 0x83, 2)) + repr(SE(1, 2, 3)), None),
    ("split_register-str", lambda: S.split_register("x"), TypeError),
    ("calculate_crc-unsliceable", lambda: S.calculate_crc(5), TypeError),
    ("calculate_crc-float-element", lambda: S.calculate_crc([1.5]), TypeError),
    ("calculate_crc-bad-bounds", lambda: S.calculate_crc(FRAME, "a"), TypeError),
    ("crc_is_right-no-length", lambda: S.crc_is_right(5), TypeError),
    ("byte_array-overflow", lambda: brel_modbus._byte_array([1, 256]), OverflowError),
    ("slave_exception-bad-code", lambda: SE(1, "x", 2), TypeError),
    ("slave_exception-bad-text", lambda: str(SE(1, 2, "x")), TypeError),
]


def cases():
    for name, op in MASTER_OK.items():
        yield f"Master.{name}", serial_master, "ok", op, None
    for name, mode, op, exc in MASTER_FAIL:
        yield f"Master.{name}", serial_master, mode, op, exc
    for name, op in FIX_OK.items():
        yield f"FixMaster.{name}", fix_master, "ok", op, None
    for name, mode, op, exc in FIX_FAIL:
        yield f"FixMaster.{name}", fix_master, mode, op, exc
    for name, op in TCP_OK.items():
        yield f"ModbusTCPMaster.{name}", tcp_master, "ok", op, None
    for name, mode, op, exc in TCP_FAIL:
        yield f"ModbusTCPMaster.{name}", tcp_master, mode, op, exc
    for kind, factory in (("Master", serial_master), ("FixMaster", fix_master), ("ModbusTCPMaster", tcp_master)):
        for name, op in POLLER_OK.items():
            yield f"Poller({kind}).{name}", poller(factory), "ok", op, None
        for name, mode, op, exc in POLLER_FAIL:
            if kind == "ModbusTCPMaster" and mode in ("silent", "crc"):
                mode = "timeout" if mode == "silent" else "foreign"
            yield f"Poller({kind}).{name}", poller(factory), mode, op, exc
    yield "Master.__init__+close", None, "ok", "serial_init", None
    yield "FixMaster.__init__+close", None, "ok", "fix_init", None
    yield "ModbusTCPMaster.__init__+close", None, "ok", "tcp_init", None


CASES = list(cases())


def repeat(function, count, expected):
    if expected is None:
        for _ in range(count):
            function()
    else:
        for _ in range(count):
            try:
                function()
            except expected:
                pass
            else:
                raise AssertionError(f"{expected.__name__} was not raised")


def assert_flat(run, watched):
    """Warm up, then measure `run` over COUNT iterations."""
    run(WARM_UP)
    before = Gauge()                  # collects first: cycles left by earlier tests are gone
    refs = [sys.getrefcount(obj) for obj in watched]
    run(COUNT)
    growth = Gauge().growth_since(before)
    assert [sys.getrefcount(obj) for obj in watched] == refs
    limits = dict(LIMITS)
    if ASAN:
        del limits["resident"]
    over = {k: v for k, v in growth.items() if k in limits and v > limits[k]}
    assert not over, f"grew over {COUNT} calls: {growth}"


@pytest.mark.parametrize("name, factory, mode, operation, expected", CASES, ids=[c[0] for c in CASES])
def test_operation_leaves_memory_flat(monkeypatch, name, factory, mode, operation, expected):
    if factory is None:       # construction and closing, over fakes
        monkeypatch.setattr(brel_modbus, "create_serial_instance", lambda **kw: Channel("ok", **kw))
        monkeypatch.setattr(brel_modbus, "_tcp_connect", lambda address, timeout=None: Socket())
        make = {
            "serial_init": lambda: brel_modbus.Master("/dev/ttyFAKE", 9600, 1, parity="N"),
            "fix_init": lambda: brel_modbus.FixMaster(1, "/dev/ttyFAKE", 9600, 1),
            "tcp_init": lambda: brel_modbus.ModbusTCPMaster("127.0.0.1", 1502, 1),
        }[operation]

        def once():
            with make():
                pass

        assert_flat(lambda n: repeat(once, n, None), [brel_modbus.Master, brel_modbus.FixMaster])
        return

    target = factory(monkeypatch, mode)
    watched = [target, VALUES, FLOATS, BIG]
    if isinstance(target, brel_modbus.Master):
        watched.append(target.serial)
    if isinstance(target, brel_modbus.Poller):
        watched.append(target.master)
    assert_flat(lambda n: repeat(lambda: operation(target), n, expected), watched)


@pytest.mark.parametrize("name, operation, expected", STATIC, ids=[c[0] for c in STATIC])
def test_protocol_helper_leaves_memory_flat(name, operation, expected):
    assert_flat(lambda n: repeat(operation, n, expected), [FRAME, BIG, S])


def test_the_general_road_leaves_memory_flat(monkeypatch):
    """Requests built and answers decoded through replaced helpers, step by step."""
    from rtu_support import use_python_helpers

    use_python_helpers(monkeypatch)
    master = serial_master(monkeypatch)

    def mixed():
        master.read_registers(1, 2, 5)
        master.read_coils(1, 3, 11)
        master.write_registers(1, 2, VALUES)
        master.write_coil(1, 2, True)
        master.write_float(1, 2, 0.5)

    assert_flat(lambda n: repeat(mixed, n, None), [master, master.serial, VALUES])
