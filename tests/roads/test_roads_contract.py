"""The two roads as a contract: every operation of Master, FixMaster and ModbusTCPMaster,
run once with everything still the library's own (the fast road) and once with a step,
helper or module name replaced by an equivalent (the general road: through the module
namespace, through a subclass that calls super, through an attribute on the instance),
against the same answers of a slave model, gives the same bytes on the wire, the same
result or the same exception (type, text, arguments) and the same traffic record.

The table reads operation x answer x road; see roads_support.py for the answers and the
replacements."""

from __future__ import annotations

import pytest

import brel_modbus
from roads_support import (
    ANSWERS, FIX_ROADS, HOST, PORT, RTU_ROADS, TCP_ANSWERS, TCP_ROADS, AnsweringChannel, AnsweringSocket, FixMaster,
    Master, ModbusTCPMaster, outcome, record, rtu_answer, steps_of, take_road, with_crc, wrap_on_instance,
)

# ---- the operations --------------------------------------------------------------------------
#
# (member, arguments after the station). Every row runs against every answer unless it
# sends nothing that is answered (then only "normal" and "silent" apply).

SHARED = [
    ("read_coils", (2, 10)),
    ("read_coils", (0, 1)),
    ("read_input_coils", (2, 19)),
    ("read_coil", (3,)),
    ("read_registers", (4, 3)),
    ("read_register", (5,)),
    ("read_input_registers", (6, 2)),
    ("read_input_register", (7,)),
    ("write_register", (8, 0x1234)),
    ("write_registers", (9, [1, 2, 65535])),
    ("write_coil", (10, True)),
    ("write_coil", (10, 0)),
    ("write_coils", (11, [True, False, True, True, False, False, True, True, True])),
    ("mask_write_register", (12, 0xF0F0, 0x0101)),
    ("read_write_registers", (13, 2, 14, [7, 8])),
    ("read_device_identification", ()),
    ("read_device_identification", (4, 0x81)),
    ("read_values", (20, "hfI")),
    ("read_values", (20, "hI", "CDAB", 4)),
    ("write_values", (21, "hf", [-2, 1.5])),
    ("read_int16", (22,)),
    ("read_uint16", (22,)),
    ("write_int16", (23, -5)),
    ("write_uint16", (23, 5)),
    ("read_int32", (24,)),
    ("read_uint32", (24,)),
    ("read_float", (24,)),
    ("write_int32", (25, -7)),
    ("write_uint32", (25, 7)),
    ("write_float", (25, 2.5)),
    ("diagnostics", (0, b"\xA5\x37")),
    ("diagnostics", (11,)),
    ("report_server_id", ()),
    ("read_file_record", ([(4, 1, 2), (3, 9, 3)],)),
    ("write_file_record", ([(4, 7, [1, 2, 3])],)),
    ("read_fifo_queue", (0x4DE,)),
    ("execute", (0x41, b"\x01", 2)),
    ("execute", (0x41, b"", lambda so_far: 3 - len(so_far))),
    ("execute", (3, b"\x00\x04\x00\x03")),
]

# The codes of the serial line only: Master and FixMaster.
SERIAL_ONLY = [
    ("read_exception_status", ()),
    ("get_comm_event_counter", ()),
    ("get_comm_event_log", ()),
]

# Master and ModbusTCPMaster: the byte order and the multi-value members.
WITH_ENDIAN = [
    ("read_int32", (24, "<")),
    ("read_float", (24, "<")),
    ("write_float", (25, 2.5, "<")),
    ("read_multi_int32", (26, 3)),
    ("read_multi_uint32", (26, 2)),
    ("read_multi_float", (26, 2, "<")),
    ("write_multi_int32", (27, [1, -1])),
    ("write_multi_uint32", (27, [1, 2], "<")),
    ("write_multi_float", (27, [1.5, -2.25])),
]

SENDS = [
    ("send_write_register_request", (8, 5)),
    ("send_write_registers_request", (9, [1, 2])),
    ("send_write_coil_request", (10, 1)),
    ("send_read_registers_request", (4, 3, 3)),
    ("send_read_coils_request", (2, 10)),
]

REQUEST = with_crc(bytes.fromhex("01 03 00 00 00 02"))  # what the steps below are handed

MASTER_ONLY = [  # full arguments
    ("read_registers", (1, 4, 3, 4)),
    ("read_register", (1, 5, 4)),
    ("read_uint16", (1, 5, 4)),
    ("send_read_input_registers_request", (1, 6, 2)),
    ("send_read_input_coils_request", (1, 2, 10)),
    ("_Master__read_int32", (1, 24, "i", ">")),
    ("_Master__read_multi_int32", (1, 26, 2, "I", "<")),
    ("_Master__write_int32", (1, 25, 2.5, "f", ">")),
    ("_Master__write_multi_int32", (1, 27, [3, -3], "i", "<")),
    ("_Master__send_read_xx_registers_request", (1, 4, 3, 3)),
    ("_Master__read_xx_coils", (1, 2, 10, 2)),
    ("_Master__send_read_xx_coils_request", (1, 2, 10, 1)),
    ("_Master__write_message", (REQUEST,)),
]

# Steps that read an answer nobody asked for here: the answer to REQUEST is on the line
# before the call.
PRELOADED = [
    ("_Master__read", (5,)),
    ("_Master__read", (9,)),
    ("_Master__feedback_assistant", (1, 9, True)),
    ("_Master__feedback_assistant", (1, 9)),
]

CHECK_CRC = [
    ("_Master__check_crc", (with_crc(bytes.fromhex("01 03 02 00 0A")), 1)),
    ("_Master__check_crc", (with_crc(bytes.fromhex("01 03 02 00 0A"))[:-1] + b"\x00", 1)),
    ("_Master__check_crc", (b"\x01", 7)),
]

FIX_ONLY = [
    ("read_registers", (4, 3, 4)),
    ("send_read_registers_request", (4, 3, 4)),
]

TCP_ONLY = [
    ("read_registers", (0, 125)),
    ("write_single_register", (8, 77)),
    ("write_registers", (9, [-1, 2 ** 16 + 3])),
    ("write_coil", (10, "x")),
    ("construct_whole_query_command", (b"\x03\x00\x00\x00\x01", 7, 0, 3)),
    ("construct_read_registers_command", (4, 3)),
    ("construct_write_coil_command", (10, None)),
]


def quiet(name):
    """The rows that send nothing a slave answers."""
    return name.startswith(("send_", "_Master__send_", "_Master__check_crc", "construct_"))


def table(rows, answers, roads):
    return [pytest.param(name, args, answer, road, id=f"{name}{list(args)}-{answer}-{road}")
            for name, args in rows
            for answer in (["normal", "silent"] if quiet(name) else answers)
            for road in roads if road != "fast"]


MASTER_ROWS = [(n, (1, *a)) for n, a in SHARED + WITH_ENDIAN + SENDS + SERIAL_ONLY] + MASTER_ONLY + CHECK_CRC
FIX_ROWS = [(n, a) for n, a in SHARED + SERIAL_ONLY if hasattr(FixMaster, n)] + FIX_ONLY + [
    (n, a[:-1] if n == "send_read_registers_request" else a) for n, a in SENDS if hasattr(FixMaster, n)]
TCP_ROWS = SHARED + WITH_ENDIAN + TCP_ONLY


# ---- one run ---------------------------------------------------------------------------------

@pytest.fixture
def rtu_channels(monkeypatch):
    made = []

    def factory(**kwargs):
        made.append(AnsweringChannel(**kwargs))
        return made[-1]

    monkeypatch.setattr(brel_modbus, "create_serial_instance", factory)
    return made


@pytest.fixture
def tcp_sockets(monkeypatch):
    made = []

    def connect(address, timeout=None):
        made.append(AnsweringSocket(timeout))
        return made[-1]

    monkeypatch.setattr(brel_modbus, "_tcp_connect", connect)
    return made


def rtu_run(made, cls, road, answer, name, args, preload=False):
    """Make a master of cls (Master or FixMaster) on the channel, call name(*args): the record."""
    made.clear()
    master = cls("/dev/ttyFAKE0", 9600, 1) if cls is not FixMaster and not issubclass(cls, FixMaster) \
        else cls(1, "/dev/ttyFAKE0", 9600, 1)
    inner = master.master if isinstance(master, FixMaster) else master
    if road == "instance":
        wrap_on_instance(master, steps_of(FixMaster if inner is not master else Master))
        if inner is not master:
            wrap_on_instance(inner, steps_of(Master))
    channel = made[0]
    channel.kind = answer
    if preload:
        channel.incoming += rtu_answer(REQUEST, answer)
    result = outcome(lambda: getattr(master, name)(*args))
    return {
        "result": result,
        "wire": channel.writes,
        "written": channel.written_types,
        "line": channel.exchange(),
        "sent": record(inner.last_command_sent),
        "received": record(inner.last_feedback_received),
        "record": (record(inner.MessageLastSent), record(inner.MessageLastReceived)),
        "channels": len(made),
    }


def tcp_run(made, cls, road, answer, name, args):
    made.clear()
    master = cls(HOST, PORT, 1.5)
    if road == "instance":
        wrap_on_instance(master, steps_of(ModbusTCPMaster))
    for sock in made:
        sock.kind = answer
    result = outcome(lambda: getattr(master, name)(*args))
    return {
        "result": result,
        "wire": [sock.sent for sock in made],
        "received sizes": [sock.recv_sizes for sock in made],
        "closed": [sock.close_calls for sock in made],
        "sent": record(master.last_command_sent),
        "received": record(master.last_feedback_received),
        "transaction": master._ModbusTCPMaster__head_checker,
    }


def both_roads(run, monkeypatch, cls, road):
    fast = run(cls, "fast")
    general = run(take_road(road, monkeypatch, cls), road)
    return fast, general


# ---- the contract ----------------------------------------------------------------------------

@pytest.mark.parametrize("name, args, answer, road", table(MASTER_ROWS, ANSWERS, RTU_ROADS)
                         + table(PRELOADED, ANSWERS, RTU_ROADS))
def test_master_roads_agree(rtu_channels, monkeypatch, name, args, answer, road):
    preload = (name, args) in PRELOADED
    fast, general = both_roads(lambda cls, r: rtu_run(rtu_channels, cls, r, answer, name, args, preload),
                               monkeypatch, Master, road)
    assert general == fast


@pytest.mark.parametrize("name, args, answer, road", table(FIX_ROWS, ANSWERS, FIX_ROADS))
def test_fixmaster_roads_agree(rtu_channels, monkeypatch, name, args, answer, road):
    fast, general = both_roads(lambda cls, r: rtu_run(rtu_channels, cls, r, answer, name, args),
                               monkeypatch, FixMaster, road)
    assert general == fast


@pytest.mark.parametrize("name, args, answer, road", table(TCP_ROWS, TCP_ANSWERS, TCP_ROADS))
def test_tcp_master_roads_agree(tcp_sockets, monkeypatch, name, args, answer, road):
    fast, general = both_roads(lambda cls, r: tcp_run(tcp_sockets, cls, r, answer, name, args),
                               monkeypatch, ModbusTCPMaster, road)
    assert general == fast


# The normal answer is taken on the fast road by every operation that reads or writes: the
# cases above compare working calls, not only failures.
@pytest.mark.parametrize("cls, name, args", [(Master, n, a) for n, a in MASTER_ROWS + PRELOADED]
                         + [(FixMaster, n, a) for n, a in FIX_ROWS] + [(ModbusTCPMaster, n, a) for n, a in TCP_ROWS])
def test_the_normal_answer_is_taken(rtu_channels, tcp_sockets, cls, name, args):
    if cls is ModbusTCPMaster:
        result = tcp_run(tcp_sockets, cls, "fast", "normal", name, args)["result"]
    else:
        result = rtu_run(rtu_channels, cls, "fast", "normal", name, args, (name, args) in PRELOADED)["result"]
    assert result[0] == "returned" or (name, args) == CHECK_CRC[1] or (name, args) == CHECK_CRC[2], result
