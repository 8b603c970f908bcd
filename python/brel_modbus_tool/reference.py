"""Reference numbers, as people bring them from other tools and datasheets, turned into a table
and a protocol address: mbpoll's 1-based ``-r`` and the datasheet's 40001 style.

A reference of 5 or 6 digits that starts with 0, 1, 3 or 4 is a datasheet number: the first
digit names the table (0 coils, 1 discrete inputs, 3 input registers, 4 holding registers),
the rest counts from 1 (40001 and 400001 are holding register 0, 00001 coil 0). Any other
reference counts from 1 in the table the command reads (``-r 1`` is address 0).
"""

from __future__ import annotations

from dataclasses import dataclass

from brel_modbus_tool.codec import ArgumentProblem

DATASHEET_TABLES = {"0": "coil", "1": "discrete", "3": "input", "4": "holding"}
WHAT = {"holding": "holding register", "input": "input register", "coil": "coil", "discrete": "discrete input"}
LAST_REFERENCE = 0x10000   # reference 65536 is address 65535


@dataclass(frozen=True)
class Reference:
    """A reference as typed: its text, the table its datasheet form names (None for a plain
    1-based reference) and its number from 1 within that table."""

    text: str
    table: str | None
    number: int

    @property
    def address(self) -> int:
        return self.number - 1

    def place(self, table: str | None, default: str) -> tuple[str, int]:
        """The table and protocol address read; ``table`` is the one the command was given
        (None when not given), ``default`` the command's own."""
        if self.table is None:
            return table or default, self.address
        if table is not None and table != self.table:
            plain = int(self.text) - 1
            raise ArgumentProblem(f"reference {self.text} is {WHAT[self.table]} {self.address} in datasheet numbering, "
                                  f"but --table says {table}: leave out --table, or write --address {plain} for "
                                  f"{WHAT[table]} {plain}")
        return self.table, self.address

    def note(self, table: str, address: int) -> str:
        """What was read, in one line: "reference 40001: holding register 0"."""
        return f"reference {self.text}: {what(table, address)}"


def what(table: str, address: int) -> str:
    """A table's item by its address: "holding register 0", "coil 7"."""
    return f"{WHAT[table]} {address}"


def looks_datasheet(text: str) -> bool:
    """Written as a datasheet number: 5 or 6 digits that start with 0, 1, 3 or 4."""
    return text.isascii() and text.isdigit() and len(text) in (5, 6) and text[0] in DATASHEET_TABLES


def parse_reference(text: str) -> Reference:
    """A reference as ``-r`` takes it; ArgumentProblem when it is none."""
    digits = text.strip()
    if not (digits.isascii() and digits.isdigit()):
        raise ArgumentProblem(f"reference {text!r}: write a number from 1 (-r 1 is address 0) or a datasheet "
                              f"number such as 40001")
    if looks_datasheet(digits):
        number = int(digits[1:])
        last = 9999 if len(digits) == 5 else LAST_REFERENCE
        if not 1 <= number <= last:
            first_digit = digits[0]
            raise ArgumentProblem(f"reference {digits}: datasheet numbers of {WHAT[DATASHEET_TABLES[first_digit]]}s "
                                  f"run from {first_digit}{1:0{len(digits) - 1}d} to {first_digit}{last}")
        return Reference(digits, DATASHEET_TABLES[digits[0]], number)
    number = int(digits)
    if not 1 <= number <= LAST_REFERENCE:
        raise ArgumentProblem(f"reference {digits}: must be from 1 to {LAST_REFERENCE} (-r 1 is address 0)")
    return Reference(digits, None, number)


def datasheet_hint(address_text: str, table: str) -> str | None:
    """For an address refused by a slave whose number as typed looks like a datasheet number
    (``--address 40001``): a hint that names the reference and the address meant; else None."""
    text = address_text.strip()
    if not looks_datasheet(text):
        return None
    try:
        reference = parse_reference(text)
    except ArgumentProblem:
        return None
    assert reference.table is not None
    other_table = "" if reference.table == table else f"--table {reference.table} "
    return (f"hint: {text} looks like a datasheet reference; try --reference {text} or "
            f"{other_table}--address {reference.address}")
