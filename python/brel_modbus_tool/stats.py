"""The figures of a poll: requests sent, answers, failures by kind, round trips."""

from __future__ import annotations

import math
from collections import Counter

from brel_modbus_tool.output import Cell, Duration


def percentile(samples: list[float], p: float) -> float | None:
    """The nearest-rank ``p`` percentile (0 < p <= 100) of ``samples``; None without samples."""
    if not samples:
        return None
    ordered = sorted(samples)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


class PollStats:
    """Counts of one poll. An exception answer is an answer (it has a round trip) and an error."""

    def __init__(self) -> None:
        self.sent = 0
        self.answered = 0
        self.errors: Counter[str] = Counter()
        self.round_trips: list[float] = []   # seconds, of answered requests

    def answer(self, seconds: float) -> None:
        self.sent += 1
        self.answered += 1
        self.round_trips.append(seconds)

    def failure(self, kind: str, seconds: float) -> None:
        self.sent += 1
        self.errors[kind] += 1
        if kind.startswith("exception"):
            self.answered += 1
            self.round_trips.append(seconds)

    def figures(self) -> dict[str, Cell]:
        """Name -> figure, in the order people read them; round trips in seconds, named as durations."""
        result: dict[str, Cell] = {"sent": self.sent, "answered": self.answered,
                                   "errors": sum(self.errors.values())}
        for kind, count in sorted(self.errors.items()):
            result[kind] = count
        for p in (50, 99):
            value = percentile(self.round_trips, p)
            result[Duration(f"rtt_p{p}")] = value
        return result
