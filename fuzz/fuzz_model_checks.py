"""The argument checks every master makes before it sends anything, as the fuzz models
expect them (the library keeps them in one place too): fields refused outside their range,
counts outside the limits of their function code, and the values reference's refusals as
the exception types the library raises."""

from __future__ import annotations

import fuzz_model_values as values_reference
from fuzz_support import ByteSource, Expected


def split(value: int) -> bytes:
    return bytes(((value >> 8) & 0xFF, value & 0xFF))


def field(value: int, what: str, top: int = 0xFFFF) -> int:
    """Addresses, counts and masks are fields on the line, never wrapped."""
    if not 0 <= value <= top:
        raise Expected(OverflowError, f"modbus: {what} out of range 0 to {top}: {value}")
    return value


def limit(n: int, high: int, what: str) -> None:
    if not 1 <= n <= high:
        raise Expected(ValueError, f"modbus: {what} must be from 1 to {high}: {n}")


def item_count(n: int, high: int) -> None:
    if not 1 <= n <= high:
        raise Expected(ValueError, f"modbus: values must hold from 1 to {high} items: {n}")


def register_limit(n: int, high: int, done: str) -> None:
    if n > high:
        raise Expected(ValueError, f"modbus: the format takes {n} registers, at most {high} can be {done}")


def sequence(values, what: str) -> tuple:
    """The items of a sequence; TypeError for an object that is none."""
    if not hasattr(values, "__iter__") and not hasattr(values, "__getitem__"):
        raise Expected(TypeError, f"values must be a sequence of {what}, not {type(values).__name__}")
    return tuple(values)


def reference(function, *args):
    """The values reference, its refusals as the exception types the library raises."""
    try:
        return function(*args)
    except (ValueError, TypeError, OverflowError) as exc:
        raise Expected(type(exc)) from None


def decoded_values(fmt: str, src: ByteSource) -> list:
    """Values that the format holds, decoded from registers of the input ([0] for a format
    the library refuses); a NaN becomes 0.0, since it never compares equal."""
    try:
        fields = values_reference.value_layout(fmt, "ABCD")
    except ValueError:
        return [0]
    registers = [src.uint(2) for _ in range(sum(size for _, size in fields) // 2)]
    values = values_reference.decode_values(registers, fmt, "ABCD")
    return [0.0 if isinstance(v, float) and v != v else v for v in values]
