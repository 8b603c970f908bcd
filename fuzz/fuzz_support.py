"""What the fuzz targets share: the input reader, the scripted channel and socket that
deliver a slave's answer in pieces, the reference frames, and the two drivers (atheris,
or a plain replay-and-mutate loop that needs nothing but the interpreter).

Each target checks the library against a reference model that runs the same answer
through an identical fake: the result, or the exception type and text, must agree, and
the request must have gone out whole, byte for byte, exactly once."""

from __future__ import annotations

import argparse
import array
import os
import pathlib
import random
import struct
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


class Expected(Exception):
    """The outcome the reference model predicts: an exception type and its text (None: any text)."""

    def __init__(self, kind, text=None):
        super().__init__(kind, text)
        self.kind, self.text = kind, text


class Mismatch(AssertionError):
    """The library and the reference model disagree: a finding."""


# ---- reading the fuzzer's bytes -------------------------------------------------------------

class ByteSource:
    """Consumes the input front to back; past its end every number is 0."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def u8(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def uint(self, size: int) -> int:
        return int.from_bytes(self.take(size).ljust(size, b"\0"), "big")

    def take(self, size: int) -> bytes:
        out = self.data[self.pos:self.pos + size]
        self.pos += len(out)
        return out

    def rest(self) -> bytes:
        out = self.data[self.pos:]
        self.pos = len(self.data)
        return out

    def pieces(self, count: int, answer: bytes) -> list[bytes]:
        """The answer cut at `count` points read from the input (each a length of 1 to 256)."""
        cuts, out, at = [self.u8() + 1 for _ in range(count)], [], 0
        for cut in cuts:
            if at >= len(answer):
                break
            out.append(answer[at:at + cut])
            at += cut
        if at < len(answer):
            out.append(answer[at:])
        return out


# ---- CRC and frames, written here from the protocol ---------------------------------------------

def _table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = _table()


def crc16(data) -> int:
    crc = 0xFFFF
    for byte in data:
        crc = (crc >> 8) ^ CRC_TABLE[(crc ^ byte) & 0xFF]
    return crc


def with_crc(data: bytes) -> bytes:
    crc = crc16(data)
    return bytes(data) + bytes((crc & 0xFF, crc >> 8))


def mbap(transaction: int, pdu: bytes, unit: int = 1, protocol: int = 0, length: int | None = None) -> bytes:
    length = len(pdu) + 1 if length is None else length
    return struct.pack(">HHHB", transaction & 0xFFFF, protocol & 0xFFFF, length & 0xFFFF, unit & 0xFF) + pdu


# ---- fakes --------------------------------------------------------------------------------------

class PieceChannel:
    """A serial channel. Before the request is written, `stale` waits as input; after it,
    the answer arrives in pieces, and a read that would run past the end of a piece
    returns short, as a read does when the slave pauses longer than the time-out."""

    def __init__(self, stale: bytes, pieces: list[bytes], **_):
        self.stale = stale
        self.pieces = list(pieces)
        self.writes: list[bytes] = []
        self.received = b""               # answer bytes handed out after the write
        self.timeout = 1.0
        self.is_open = True

    @property
    def in_waiting(self) -> int:
        return len(self.stale) if not self.writes else sum(map(len, self.pieces[:1]))

    def read(self, size: int) -> bytes:
        if not isinstance(size, int) or size < 0:
            raise ValueError(f"read size {size!r}")
        if not self.writes:
            data, self.stale = self.stale[:size], self.stale[size:]
            return data
        if size == 0 or not self.pieces:
            return b""
        piece = self.pieces[0]
        data = piece[:size]
        if len(data) < size or len(data) == len(piece):
            self.pieces.pop(0)
        else:
            self.pieces[0] = piece[size:]
        self.received += data
        return data

    def write(self, data) -> None:
        if not (isinstance(data, array.array) and data.typecode == "B"):
            raise Mismatch(f"written as {type(data).__name__}")
        self.writes.append(bytes(data))

    def close(self) -> None:
        self.is_open = False


class PieceSocket:
    """A connected socket whose server answers in segments; once they are used up a receive
    times out, or sees the connection closed. A send may take only part of the data."""

    def __init__(self, pieces: list[bytes], closed_at_end: bool, send_limit: int, timeout: float = 1.0):
        self.pieces = list(pieces)
        self.closed_at_end = closed_at_end
        self.send_limit = send_limit
        self.sent = b""
        self.send_calls = 0
        self.received = b""
        self.chunks: list[bytes] = []     # each receive's data, in order
        self.timeout = timeout

    def send(self, data) -> int:
        self.send_calls += 1
        if self.send_calls > 1000:
            raise Mismatch("send called again and again")
        data = bytes(data)
        taken = data[:self.send_limit] if self.send_limit else data
        self.sent += taken
        return len(taken)

    def recv(self, size: int) -> bytes:
        if not isinstance(size, int) or size <= 0:
            raise Mismatch(f"recv size {size!r}")
        if not self.pieces:
            if self.closed_at_end:
                return b""
            raise TimeoutError("timed out")
        piece = self.pieces[0]
        data, rest = piece[:size], piece[size:]
        if rest:
            self.pieces[0] = rest
        else:
            self.pieces.pop(0)
        self.received += data
        self.chunks.append(data)
        return data

    def close(self) -> None:
        pass


# ---- comparing outcomes ----------------------------------------------------------------------

def same_value(a, b) -> bool:
    """Equal, and of the same types; floats by their bits (NaN included)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("d", a) == struct.pack("d", b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b, strict=False))
    return a == b


def outcome(function, *args):
    """("ok", result) or ("raised", exception) of one call."""
    try:
        return "ok", function(*args)
    except Expected as exc:
        return "expected", exc
    except Exception as exc:  # judged by the caller
        return "raised", exc


def compare(name: str, allowed: tuple, library, model) -> None:
    """The library's outcome against the model's; only `allowed` exception types may escape."""
    lib_kind, lib_value = library
    model_kind, model_value = model
    if lib_kind == "raised" and not isinstance(lib_value, allowed):
        raise Mismatch(f"{name}: undocumented {type(lib_value).__name__}: {lib_value}") from lib_value
    if model_kind == "raised":          # the model failed where the library cannot be judged
        raise Mismatch(f"{name}: the model raised {model_value!r}") from model_value
    if model_kind == "ok":
        if lib_kind != "ok":
            raise Mismatch(f"{name}: raised {type(lib_value).__name__}: {lib_value}; expected {model_value!r}")
        if not same_value(lib_value, model_value):
            raise Mismatch(f"{name}: returned {lib_value!r}; expected {model_value!r}")
        return
    if lib_kind != "raised":
        raise Mismatch(f"{name}: returned {lib_value!r}; expected {model_value.kind.__name__}: {model_value.text}")
    # The library's error family: a class of brel_modbus that is also the expected built-in type.
    kind = type(lib_value)
    same_kind = kind is model_value.kind or (kind.__module__ == "brel_modbus" and issubclass(kind, model_value.kind))
    if not same_kind or (model_value.text is not None and str(lib_value) != model_value.text):
        raise Mismatch(f"{name}: raised {type(lib_value).__name__}: {lib_value}; "
                       f"expected {model_value.kind.__name__}: {model_value.text}")


def instrumented():
    """atheris's coverage instrumentation for the modules imported inside, when atheris drives."""
    import contextlib

    if "--replay" in sys.argv:
        return contextlib.nullcontext()
    import atheris

    return atheris.instrument_imports()


# ---- drivers --------------------------------------------------------------------------------

def mutate(rng: random.Random, data: bytes, pool: list[bytes]) -> bytes:
    out = bytearray(data)
    for _ in range(rng.randrange(1, 5)):
        choice = rng.randrange(6)
        if choice == 0 and out:
            out[rng.randrange(len(out))] = rng.randrange(256)
        elif choice == 1 and out:
            out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
        elif choice == 2:
            out.insert(rng.randrange(len(out) + 1), rng.randrange(256))
        elif choice == 3 and out:
            del out[rng.randrange(len(out))]
        elif choice == 4 and pool:
            other = rng.choice(pool)
            cut = rng.randrange(len(out) + 1)
            out[cut:] = other[rng.randrange(len(other) + 1):]
        elif out:
            at = rng.randrange(len(out))
            out[at] = rng.choice((0, 1, 0x7F, 0x80, 0xFF, out[at] + 1 & 0xFF))
    return bytes(out)


def replay(one_input, corpus: list[pathlib.Path], seconds: float, runs: int, seed: int) -> int:
    """Every corpus file, then mutations of them until the time or the run count is used up."""
    pool = []
    for folder in corpus:
        for path in sorted(folder.iterdir()) if folder.is_dir() else [folder]:
            data = path.read_bytes()
            one_input(data)
            pool.append(data)
    rng = random.Random(seed)
    done, deadline = len(pool), time.monotonic() + seconds
    while (runs and done < runs) or (not runs and time.monotonic() < deadline):
        one_input(mutate(rng, rng.choice(pool) if pool else b"", pool))
        done += 1
    return done


def main(one_input, name: str) -> None:
    """`--replay` runs the plain driver (used under the sanitizers); otherwise atheris takes
    the remaining arguments, as libFuzzer does (corpus folders, -max_total_time=, -runs=)."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--replay", action="store_true")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=0)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("BREL_FUZZ_SEED", "1")))
    known, rest = parser.parse_known_args(sys.argv[1:])
    if known.replay:
        folders = [pathlib.Path(p) for p in rest if not p.startswith("-")] or [HERE / "corpus" / name]
        start = time.monotonic()
        done = replay(one_input, folders, known.seconds, known.runs, known.seed)
        print(f"{name}: {done} inputs replayed and mutated in {time.monotonic() - start:.1f} s, no finding")
        return
    import atheris

    atheris.instrument_all()        # coverage of the target and its reference model
    atheris.Setup([sys.argv[0], *rest], one_input)
    atheris.Fuzz()
