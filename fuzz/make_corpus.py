"""Write the seed corpus: real answers of the pymodbus slaves of examples/simulator.py
(Modbus RTU through socket:// and Modbus TCP), captured from the library's own traffic
record, each wrapped in the input layout of its fuzz target. Normal answers and
exception answers (an address the slave does not have) for every operation.

    .venv/bin/python fuzz/make_corpus.py      # rewrites fuzz/corpus/{rtu,tcp,static,frames,async}
    .venv/bin/python fuzz/make_corpus.py --tcp-hand   # adds the seeds of TCP_HAND_ARGS to corpus/tcp only
    .venv/bin/python fuzz/make_corpus.py --async      # rewrites corpus/async from corpus/tcp and corpus/rtu
"""

from __future__ import annotations

import hashlib
import pathlib
import shutil
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

import brel_linkkit  # noqa: E402
import brel_modbus  # noqa: E402
from fuzz_model_rtu import OPERATIONS as RTU_OPERATIONS, SHAPES as RTU_SHAPES  # noqa: E402
from fuzz_model_tcp import OPERATIONS as TCP_OPERATIONS, SHAPES as TCP_SHAPES  # noqa: E402
from simulator import SimulatedSlaves  # noqa: E402


def encode_rtu_args(name: str, args: list) -> bytes:
    """The inverse of fuzz_model_rtu.decode_args for narrow arguments."""
    out = bytes((args[0],))
    rest = iter(args[1:])
    shape = RTU_SHAPES[name]
    for i, letter in enumerate(shape):
        if letter in "av":
            out += next(rest).to_bytes(2, "big")
        elif letter in "cm":
            out += bytes((next(rest),))
        elif letter == "C":
            out += next(rest).to_bytes(2, "big")
        elif letter == "k":
            out += bytes(((3, 4).index(next(rest)),))
        elif letter == "b":
            out += bytes((next(rest),))
        elif letter == "V":
            next(rest)
            out += bytes((3,)) + (1).to_bytes(2, "big")     # three values from seed 1
        elif letter == "M":
            next(rest)
            out += bytes((2,)) + (5).to_bytes(4, "big")
        elif letter in "Iif" and not (i and shape[i - 1] == "M"):
            next(rest)
            out += (0x40490FDB if letter == "f" else 1234567).to_bytes(8, "big")
        elif letter == "e":
            next(rest)
    return out


RTU_ARGS = {"a": 10, "c": 4, "C": 12, "k": 3, "v": 513, "b": 1, "m": 2}


def rtu_call_args(name: str, address: int) -> list:
    """Arguments that encode_rtu_args can carry, as decode_args gives them back."""
    from fuzz_model_rtu import decode_args
    from fuzz_support import ByteSource

    args = [1]
    shape = RTU_SHAPES[name]
    for i, letter in enumerate(shape):
        if letter in "Iif" and i and shape[i - 1] == "M":
            continue
        args.append(address if letter == "a" else ">" if letter == "e" else [0] if letter in "VM"
                    else 0.0 if letter in "Iif" else RTU_ARGS[letter])
    return decode_args(name, ByteSource(encode_rtu_args(name, args)), wide=False, endian=">")


def value_seeds() -> list[bytes]:
    """Inputs of fuzz_static.py's decode_values and encode_values cases (11 and 12): each
    format's items as code and count bytes, the order, then the registers of known values."""
    codes = "hHiIqQefds"
    seeds = []
    examples = [  # (items as (code, count or None), order index in ABCD CDAB BADC DCBA, registers)
        ([("f", None)], 0, [0x42F6, 0xE979]),
        ([("i", None)], 1, [0xFFFE, 0xFFFF]),
        ([("Q", None)], 2, [0x2211, 0x4433, 0x6655, 0x8877]),
        ([("s", 8)], 3, [0x454D, 0x4554, 0x2D52, 0x3130]),
        ([("e", 2), ("s", 3), ("s", 1), ("h", None)], 3, [0x003C, 0x00C0, 0x6261, 0x6300, 0xFEFF]),
    ]
    for case in (11, 12):
        for items, order, registers in examples:
            out = bytes((case, 1, len(items) - 1))
            for code, count in items:
                out += bytes((codes.index(code), 0 if count is None else 132 + count))
            out += bytes((1, order, 1)) + b"".join(r.to_bytes(2, "big") for r in registers) + bytes((3, 3))
            seeds.append(out)
    return seeds


# The members beyond the first seven function codes: their arguments as decode_args reads
# them (station first), written out by hand.
def _u16(*values: int) -> bytes:
    return b"".join(v.to_bytes(2, "big") for v in values)


HAND_ARGS = {
    "write_coils": [bytes((1,)) + _u16(20, 10) + bytes((1, 0, 1, 1, 0, 0, 1, 1, 1, 0)),
                    bytes((1,)) + _u16(60000, 2) + bytes((1, 1))],
    "mask_write_register": [bytes((1,)) + _u16(300, 0x00F2, 0x0025), bytes((1,)) + _u16(60000, 0, 0)],
    "read_write_registers": [bytes((1,)) + _u16(0) + bytes((3,)) + _u16(301) + bytes((2,)) + _u16(7),
                             bytes((1,)) + _u16(60000) + bytes((3,)) + _u16(301) + bytes((2,)) + _u16(7)],
    "read_device_identification": [bytes((1, 1, 0)), bytes((1, 2, 0)), bytes((1, 3, 0)), bytes((1, 4, 0x80)),
                                   bytes((1, 4, 0x40))],
    "read_values": [bytes((1,)) + _u16(10) + bytes((i, order, 0)) for i, order in ((2, 1), (6, 3), (12, 2), (13, 0))]
    + [bytes((1,)) + _u16(60000) + bytes((0, 0, 0))],
    "write_values": [bytes((1,)) + _u16(320) + bytes((4,)) + _u16(0x42F6, 0xE979) + bytes((1,)),
                     bytes((1,)) + _u16(320) + bytes((12,)) + _u16(1, 2, 0x4142, 3, 4) + bytes((3,))],
}


def hand_seeds(master, corpus: pathlib.Path) -> None:
    from fuzz_model_rtu import decode_args
    from fuzz_support import ByteSource

    for index, (name, _) in enumerate(RTU_OPERATIONS):
        for encoded in HAND_ARGS.get(name, []):
            args = decode_args(name, ByteSource(encoded), wide=False, endian=">")
            try:
                getattr(master, name)(*args)
            except brel_modbus.SlaveException:
                pass
            answer = master.last_feedback_received
            save(corpus / "rtu", bytes((index, 0)) + encoded + answer)
            save(corpus / "frames", master.last_command_sent + answer)


# The TCP members beyond the first seven function codes: their arguments as
# fuzz_model_tcp.decode_args reads them (narrow), written out by hand; each first one
# also goes in cut into segments with partial sends.
_ENDIAN = {">": bytes((0,)), "<": bytes((1,))}
TCP_HAND_ARGS = {
    "read_input_registers": [_u16(0) + bytes((5,)), _u16(60000) + bytes((5,))],
    "read_input_register": [_u16(3), _u16(60000)],
    "read_input_coils": [_u16(0, 12), _u16(60000, 12)],
    "read_coil": [_u16(4), _u16(60000)],
    "write_single_register": [_u16(320, 513), _u16(60000, 1)],
    "read_int16": [_u16(10), _u16(60000)],
    "read_uint16": [_u16(10), _u16(60000)],
    "write_int16": [_u16(330, 0xFFFE), _u16(60000, 1)],
    "write_uint16": [_u16(330, 0xFFFE), _u16(60000, 1)],
    "write_coils": [_u16(20, 10, 0x5A5A), _u16(60000, 2, 1)],
    "mask_write_register": [_u16(300, 0x00F2, 0x0025), _u16(60000, 0, 0)],
    "read_write_registers": [_u16(0) + bytes((3,)) + _u16(301) + bytes((2,)) + _u16(7),
                             _u16(60000) + bytes((3,)) + _u16(301) + bytes((2,)) + _u16(7)],
    "read_device_identification": [bytes((1, 0)), bytes((2, 0)), bytes((3, 0)), bytes((3, 3)), bytes((4, 0x80)),
                                   bytes((4, 0x40)), bytes((2, 0x80))],
    # formats by their index in fuzz_model_tcp.FORMATS, the order, the function code
    "read_values": [_u16(10) + bytes((12, 1, 0)), _u16(10) + bytes((13, 3, 0)), _u16(0) + bytes((9, 0, 1)),
                    _u16(20) + bytes((4, 2, 0)), _u16(0) + bytes((19, 0, 0)), _u16(60000) + bytes((0, 0, 0))],
    "write_values": [_u16(320) + bytes((4,)) + _u16(0x42F6, 0xE979) + bytes((1,)),
                     _u16(320) + bytes((12,)) + _u16(1, 2, 0x4142, 3, 4) + bytes((3,)),
                     _u16(60000) + bytes((0,)) + _u16(1) + bytes((0,))],
}
for _kind, _code in (("uint32", "I"), ("int32", "i"), ("float", "f")):
    _value = (0x40490FDB if _code == "f" else 1234567).to_bytes(8, "big")
    TCP_HAND_ARGS[f"read_{_kind}"] = [_u16(10) + _ENDIAN[">"], _u16(20) + _ENDIAN["<"], _u16(60000) + _ENDIAN[">"]]
    TCP_HAND_ARGS[f"read_multi_{_kind}"] = [_u16(10) + bytes((3,)) + _ENDIAN[">"],
                                            _u16(20) + bytes((2,)) + _ENDIAN["<"],
                                            _u16(60000) + bytes((2,)) + _ENDIAN[">"]]
    TCP_HAND_ARGS[f"write_{_kind}"] = [_u16(340) + _value + _ENDIAN[">"], _u16(340) + _value + _ENDIAN["<"],
                                       _u16(60000) + _value + _ENDIAN[">"]]
    TCP_HAND_ARGS[f"write_multi_{_kind}"] = [_u16(340) + bytes((3,)) + (5).to_bytes(4, "big") + _ENDIAN[">"],
                                             _u16(60000) + bytes((2,)) + (5).to_bytes(4, "big") + _ENDIAN["<"]]


def tcp_hand_seeds(master, corpus: pathlib.Path, frames: bool = True) -> int:
    """The seeds of TCP_HAND_ARGS from the slave's answers, and one of identification paged
    over two answers of the slave (the first marked as followed by more, from object 0x80
    on). Returns how many were written."""
    from fuzz_model_tcp import decode_args
    from fuzz_support import ByteSource

    written = 0
    for index, name in enumerate(TCP_OPERATIONS):
        for k, encoded in enumerate(TCP_HAND_ARGS.get(name, [])):
            args = decode_args(name, ByteSource(encoded), wide=False)
            master._ModbusTCPMaster__head_checker = 1
            try:
                getattr(master, name)(*args)
            except brel_modbus.TCPSlaveException:
                pass
            answer = master.last_feedback_received
            written += save(corpus / "tcp", bytes((index, 0)) + encoded + answer)
            if k == 0:
                written += save(corpus / "tcp", bytes((index, 0x0A)) + encoded + bytes((3, 3, 6)) + answer)
            if frames:
                save(corpus / "frames", master.last_command_sent + answer)
    pages = []
    for first in (0, 0x80):
        master._ModbusTCPMaster__head_checker = 1 + len(pages)
        master.read_device_identification(3, first)
        pages.append(bytearray(master.last_feedback_received))
    pages[0][11:13] = bytes((0xFF, 0x80))           # more follows, next object 0x80
    index = TCP_OPERATIONS.index("read_device_identification")
    written += save(corpus / "tcp", bytes((index, 0)) + bytes((3, 0)) + pages[0] + pages[1])
    return written


def save(folder: pathlib.Path, data: bytes) -> int:
    path = folder / hashlib.sha1(data).hexdigest()[:16]
    new = not path.exists()
    path.write_bytes(data)
    return int(new)


def async_seeds(corpus: pathlib.Path) -> int:
    """corpus/async: the seeds of corpus/tcp and corpus/rtu, each behind the byte that picks
    its side in fuzz_async.py (0 TCP, 1 RTU). Returns how many there are."""
    shutil.rmtree(corpus / "async", ignore_errors=True)
    (corpus / "async").mkdir(parents=True)
    for side, name in enumerate(("tcp", "rtu")):
        for path in sorted((corpus / name).iterdir()):
            save(corpus / "async", bytes((side,)) + path.read_bytes())
    return len(list((corpus / "async").iterdir()))


def tcp_hand_only() -> None:
    """Only the seeds of TCP_HAND_ARGS, added to corpus/tcp; nothing else is rewritten."""
    corpus = HERE / "corpus"
    with SimulatedSlaves() as slaves, brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 1.0) as master:
        written = tcp_hand_seeds(master, corpus, frames=False)
    print(f"tcp: {written} new seeds, {len(list((corpus / 'tcp').iterdir()))} in all")


def main() -> None:
    corpus = HERE / "corpus"
    for name in ("rtu", "tcp", "static", "frames"):
        shutil.rmtree(corpus / name, ignore_errors=True)
        (corpus / name).mkdir(parents=True)
    brel_modbus.create_serial_instance = brel_linkkit.create_serial_instance
    with SimulatedSlaves() as slaves:
        with brel_modbus.Master(slaves.rtu_url, 115200, 1.0) as master:
            hand_seeds(master, corpus)
            for index, (name, _) in enumerate(RTU_OPERATIONS):
                if name in HAND_ARGS:
                    continue
                for address in (10, 60000):                 # held, and not held: an exception answer
                    args = rtu_call_args(name, address)
                    try:
                        getattr(master, name)(*args)
                    except brel_modbus.SlaveException:
                        pass
                    answer = master.last_feedback_received
                    head = bytes((index, 0)) + encode_rtu_args(name, args)
                    save(corpus / "rtu", head + answer)
                    save(corpus / "frames", master.last_command_sent + answer)
                    if address == 10:
                        save(corpus / "rtu", bytes((index, 0x24)) + head[2:] + bytes((4, 200)) + answer)
        with brel_modbus.ModbusTCPMaster("127.0.0.1", slaves.tcp_port, 1.0) as master:
            tcp_hand_seeds(master, corpus)
            for index, name in enumerate(TCP_OPERATIONS):
                if name in TCP_HAND_ARGS:
                    continue
                for address in (10, 60000):
                    args = {"ac": [address, 12], "a": [address], "aV": [address, [1, 2, 3]], "av": [address, 513],
                            "ab": [address, 1]}[TCP_SHAPES[name]]
                    master._ModbusTCPMaster__head_checker = 1
                    try:
                        getattr(master, name)(*args)
                    except AssertionError:
                        pass
                    encoded = address.to_bytes(2, "big")
                    shape = TCP_SHAPES[name]
                    if shape == "ac":
                        encoded += (12).to_bytes(2, "big")
                    elif shape == "aV":
                        encoded += bytes((3,)) + (1).to_bytes(2, "big")
                    elif shape == "av":
                        encoded += (513).to_bytes(2, "big")
                    elif shape == "ab":
                        encoded += bytes((1,))
                    answer = master.last_feedback_received
                    save(corpus / "tcp", bytes((index, 0)) + encoded + answer)
                    save(corpus / "frames", master.last_command_sent + answer)
                    save(corpus / "tcp", bytes((index, 0x0A)) + encoded + bytes((3, 3, 6)) + answer)
    # The helpers: a real frame of each kind, as bytes, list and str arguments.
    for case in range(11):
        for kind in (5, 7, 8, 10):
            save(corpus / "static", bytes((case, kind, 8)) + struct.pack(">HH", 0x0103, 0x0000) + b"\x00\x01\x84\x0a")
        save(corpus / "static", bytes((case, 1, 1)) + bytes(range(20)))
    for seed in value_seeds():
        save(corpus / "static", seed)
    async_seeds(corpus)
    print({name: len(list((corpus / name).iterdir())) for name in ("rtu", "tcp", "static", "frames", "async")})


if __name__ == "__main__":
    if sys.argv[1:] == ["--tcp-hand"]:
        tcp_hand_only()
    elif sys.argv[1:] == ["--async"]:
        print(f"async: {async_seeds(HERE / 'corpus')} seeds")
    else:
        main()
