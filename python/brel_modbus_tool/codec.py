"""What the command reads from its arguments and shows of answers and failures.

Formats are the library's (struct-style codes, checked by ``ModbusStatic``); this module
only splits one into its fields, so that each value gets its address and raw registers, and
parses the text of values to write by the code of their field.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

from brel_linkkit import SerialEchoError
from brel_modbus import FrameError, MasterClosedError, MismatchError, ModbusStatic, ModbusTimeoutError, SlaveException

REGISTER_TABLES = ("holding", "input")
BIT_TABLES = ("coil", "discrete")
TABLES = REGISTER_TABLES + BIT_TABLES
ORDERS = ("ABCD", "CDAB", "BADC", "DCBA")

# Modbus limits of one request
MAX_READ_REGISTERS = 125
MAX_WRITE_REGISTERS = 123
MAX_READ_BITS = 2000
MAX_WRITE_BITS = 1968

_SIZES = {"h": 2, "H": 2, "e": 2, "i": 4, "I": 4, "f": 4, "q": 8, "Q": 8, "d": 8}
_INTEGER_CODES = frozenset("hHiIqQ")
_FLOAT_CODES = frozenset("efd")
_ITEM = re.compile(r"\s*(\d*)([hHiIqQefds])\s*")

EXCEPTION_NAMES = {
    1: "illegal function",
    2: "illegal data address",
    3: "illegal data value",
    4: "server device failure",
    5: "acknowledge",
    6: "server device busy",
    7: "negative acknowledge",
    8: "memory parity error",
    10: "gateway path unavailable",
    11: "gateway target device failed to respond",
}
# A gateway answers these for a station behind it that did not answer.
GATEWAY_NO_ANSWER = frozenset({10, 11})

Value = int | float | bytes


class ArgumentProblem(ValueError):
    """An argument the command cannot use (exit status 2)."""


@dataclass(frozen=True)
class Field:
    """One value of a format: its code, where its bytes start, and how many there are."""

    code: str
    offset: int
    size: int


@dataclass(frozen=True)
class Layout:
    """A format checked by the library and split into its fields."""

    format: str
    order: str
    fields: tuple[Field, ...]
    registers: int

    def words(self, field: Field) -> slice:
        """The registers (as a slice of the whole read) that hold the field."""
        return slice(field.offset // 2, (field.offset + field.size + 1) // 2)


def _library_refusal(text: str, order: str, registers: int) -> str | None:
    try:
        ModbusStatic.decode_values([0] * registers, text, order)
    except (ValueError, TypeError, OverflowError) as exc:
        return str(exc)
    return None


def parse_format(format: str, order: str = "ABCD", repeat: int = 1) -> Layout:
    """The layout of ``format`` repeated ``repeat`` times, in byte order ``order``.

    Raises ArgumentProblem with the library's own reason for a format or order it refuses.
    """
    if order not in ORDERS:
        raise ArgumentProblem(f"order must be one of {', '.join(ORDERS)}: {order!r}")
    text = " ".join([format] * repeat)
    fields: list[Field] = []
    offset = 0
    position = 0
    while position < len(text):
        match = _ITEM.match(text, position)
        if match is None:
            reason = _library_refusal(text, order, 0)
            raise ArgumentProblem(reason or f"format: cannot read {text[position:]!r} in {format!r}")
        count = int(match[1]) if match[1] else 1
        code = match[2]
        if code == "s":
            fields.append(Field("s", offset, count))
            offset += count
        else:
            for _ in range(count):
                fields.append(Field(code, offset, _SIZES[code]))
                offset += _SIZES[code]
        position = match.end()
    if not fields:
        raise ArgumentProblem(f"format: no value in {format!r}")
    registers = (offset + 1) // 2
    reason = _library_refusal(text, order, registers)
    if reason is not None:
        raise ArgumentProblem(reason)
    return Layout(text, order, tuple(fields), registers)


def parse_value(code: str, text: str) -> Value:
    """The value for a field of ``code`` written as ``text`` on the command line."""
    if code in _INTEGER_CODES:
        try:
            return int(text, 0)
        except ValueError:
            raise ArgumentProblem(f"{text!r} is not an integer (for {code!r})") from None
    if code in _FLOAT_CODES:
        try:
            return float(text)
        except ValueError:
            raise ArgumentProblem(f"{text!r} is not a number (for {code!r})") from None
    try:
        return text.encode("ascii")
    except UnicodeEncodeError:
        raise ArgumentProblem(f"{text!r} is not ASCII text (for a string field)") from None


def parse_values(layout: Layout, texts: list[str]) -> list[Value]:
    """The values to write in ``layout``, one text per field, checked by the library's encoder."""
    if len(texts) != len(layout.fields):
        raise ArgumentProblem(f"the format {layout.format!r} takes {len(layout.fields)} values, got {len(texts)}")
    values = [parse_value(field.code, text) for field, text in zip(layout.fields, texts, strict=True)]
    try:
        ModbusStatic.encode_values(layout.format, values, layout.order)
    except (ValueError, OverflowError, TypeError) as exc:
        raise ArgumentProblem(str(exc)) from None
    return values


def parse_register(text: str) -> int:
    """A raw register value: 0 to 65535 (decimal, 0x hex, 0b binary), or -32768 to -1 as 16-bit two's complement."""
    try:
        value = int(text, 0)
    except ValueError:
        raise ArgumentProblem(f"{text!r} is not a register value (an integer)") from None
    if not -0x8000 <= value <= 0xFFFF:
        raise ArgumentProblem(f"register value out of range -32768 to 65535: {text}")
    return value & 0xFFFF


_TRUE = frozenset({"1", "true", "on"})
_FALSE = frozenset({"0", "false", "off"})


def parse_bit(text: str) -> bool:
    """A coil value: 1, true, on or 0, false, off (any case)."""
    word = text.strip().lower()
    if word in _TRUE:
        return True
    if word in _FALSE:
        return False
    raise ArgumentProblem(f"{text!r} is not a coil value (1/0, true/false, on/off)")


def exception_name(code: object) -> str:
    """The Modbus name of an exception code ("illegal data address")."""
    if isinstance(code, int) and code in EXCEPTION_NAMES:
        return EXCEPTION_NAMES[code]
    return f"exception code {code}"


def text_of(data: bytes) -> str:
    """Bytes as one line of text: printable ASCII as it is, every other byte as \\xNN."""
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else f"\\x{b:02x}" for b in data)


def shown(value: object) -> int | float | str | bool | None:
    """A decoded value as the command shows it: strings as text, without their NUL padding."""
    if isinstance(value, bytes | bytearray):
        return text_of(bytes(value).rstrip(b"\0"))
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)   # "nan", "inf", "-inf": JSON has no such numbers
    if isinstance(value, bool | int | float | str) or value is None:
        return value
    return str(value)


def raw_hex(registers: list[int]) -> str:
    """Registers as the command shows them raw: 4 hex digits each, spaced."""
    return " ".join(f"{r:04X}" for r in registers)


# ---- failures ------------------------------------------------------------------------------------------

def error_kind(exc: BaseException) -> str:
    """What went wrong in one request: "time-out", "crc" (a damaged answer), "mismatch",
    "exception: <name>", "echo", "closed" (the master was closed), "connection", or "error" for
    anything else. Told by the class alone: the library's family of errors and the serial echo's."""
    if isinstance(exc, SlaveException):
        return f"exception: {exception_name(exc.error_code)}"
    if isinstance(exc, MasterClosedError):
        return "closed"
    if isinstance(exc, (ModbusTimeoutError, TimeoutError)):
        return "time-out"
    if isinstance(exc, FrameError):
        return "crc"
    if isinstance(exc, MismatchError):
        return "mismatch"
    if isinstance(exc, SerialEchoError):
        return "echo"
    if isinstance(exc, OSError):
        return "connection"
    return "error"


def short_reason(exc: BaseException) -> str:
    """What went wrong, without the station: "time-out", "exception 2 (illegal data address)",
    "crc: modbus: message from slave ... has crc error"."""
    kind = error_kind(exc)
    if isinstance(exc, SlaveException):
        return f"exception {exc.error_code} ({exception_name(exc.error_code)})"
    if kind == "time-out":
        return kind
    detail = " ".join(text for text in (type(exc).__name__ if kind in ("connection", "error") else "", str(exc))
                      if text)
    return f"{kind}: {detail}".replace("\n", " ")


def failure_reason(exc: BaseException, station: int, timeout: float) -> str:
    """One line that says why a request to ``station`` failed."""
    if isinstance(exc, SlaveException):
        return f"exception: station {station} answered function {exc.function_code} with {short_reason(exc)}"
    if error_kind(exc) == "time-out":
        return f"time-out: station {station} did not answer within {timeout:g} s"
    return short_reason(exc)
