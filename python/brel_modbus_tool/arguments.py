"""The argparse types of the command's options: integers within bounds, times, addresses,
references, tables and parities."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from brel_modbus_tool.codec import ArgumentProblem
from brel_modbus_tool.output import FORMS
from brel_modbus_tool.reference import Reference, parse_reference


def _integer(text: str) -> int:
    try:
        return int(text, 10)
    except ValueError:
        return int(text, 0)


def ranged(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: an integer (decimal or 0x hex) from low to high."""
    def convert(text: str) -> int:
        try:
            value = _integer(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}: {text}")
        return value
    return convert


class Address(int):
    """A protocol address that remembers how it was typed (for the datasheet hint)."""

    text: str

    def __new__(cls, value: int, text: str) -> Address:
        address = super().__new__(cls, value)
        address.text = text
        return address


def address_number(text: str) -> Address:
    """An argparse type: a protocol address from 0 to 65535 (decimal or 0x hex)."""
    return Address(ranged(0, 0xFFFF)(text), text)


def reference_number(text: str) -> Reference:
    try:
        return parse_reference(text)
    except ArgumentProblem as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def seconds(zero: bool, unit: str = "seconds", scale: float = 1.0) -> Callable[[str], float]:
    """An argparse type: a time in ``unit`` (``scale`` of them make a second), above 0 (or
    from 0 when ``zero``); the value in seconds."""
    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            # -o was the output form before it became the time-out (as in mbpoll)
            hint = f" (-o is the time-out, as in mbpoll: the output form is --output {text})" if text in FORMS else ""
            raise argparse.ArgumentTypeError(f"not a number of {unit}: {text!r}{hint}") from None
        if not (value >= 0 if zero else value > 0) or value == float("inf"):
            raise argparse.ArgumentTypeError(f"must be a number of {unit} {'from 0' if zero else 'above 0'}: {text}")
        return value / scale
    return convert


# mbpoll's -t: 0 coils, 1 discrete inputs, 3 input registers, 4 holding registers
TYPE_NUMBERS = {"0": "coil", "1": "discrete", "3": "input", "4": "holding"}


def table_name(text: str) -> str:
    """An argparse type: a table by its name, or by mbpoll's -t number."""
    number, colon, kind = text.partition(":")
    if colon and number in TYPE_NUMBERS:
        raise argparse.ArgumentTypeError(f"-t {text}: the type of the values goes in --format: -t {number} "
                                         f"--format f for floats, i for 32-bit integers (and --order)")
    return TYPE_NUMBERS.get(text, text.lower())


PARITY_WORDS = {"none": "N", "even": "E", "odd": "O"}


def parity_letter(text: str) -> str:
    """An argparse type: N, E or O, or the words none, even and odd (as mbpoll writes them)."""
    return PARITY_WORDS.get(text.lower(), text.upper())
