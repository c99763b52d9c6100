"""Control limits and Westgard-style rules over a metric's history: the
centre line and ±2 SD / ±3 SD limits from a baseline of runs, and the runs
whose values, in acquisition order, break a rule."""

from __future__ import annotations

import math
import statistics
from collections.abc import Sequence
from dataclasses import dataclass

#: The rules, each with what it means, in the order they are checked.
RULES = {
    "1-3s": "one value beyond 3 SD",
    "2-2s": "two values in a row beyond 2 SD on the same side",
    "R-4s": "two values in a row beyond 2 SD on opposite sides",
    "4-1s": "four values in a row beyond 1 SD on the same side",
    "10-x": "ten values in a row on the same side of the centre line",
}


@dataclass(frozen=True)
class Limits:
    """A metric's centre line and spread, from `n` baseline values."""

    centre: float
    sd: float
    n: int

    @property
    def usable(self) -> bool:
        """Whether the baseline gives limits at all: two values or more that vary."""
        return self.n >= 2 and self.sd > 0 and math.isfinite(self.sd)

    def z(self, value: float) -> float:
        return (value - self.centre) / self.sd if self.usable else math.nan


def limits(baseline: Sequence[float]) -> Limits:
    """Mean and sample standard deviation of the finite baseline values."""
    values = [v for v in baseline if math.isfinite(v)]
    if not values:
        return Limits(math.nan, math.nan, 0)
    sd = statistics.stdev(values) if len(values) > 1 else 0.0
    return Limits(statistics.fmean(values), sd, len(values))


def _same_side(zs: Sequence[float], beyond: float) -> bool:
    return all(z > beyond for z in zs) or all(z < -beyond for z in zs)


def broken_rules(values: Sequence[float], lim: Limits) -> list[list[str]]:
    """For each value, in acquisition order, the rules it breaks: it is the
    last value of the run of values a rule looks at. A value that is not
    finite breaks none and interrupts the runs of values."""
    out: list[list[str]] = []
    zs: list[float] = []
    for value in values:
        z = lim.z(value)
        if not math.isfinite(z):
            zs = []
            out.append([])
            continue
        zs.append(z)
        broken = []
        if abs(z) > 3:
            broken.append("1-3s")
        if len(zs) >= 2 and _same_side(zs[-2:], 2):
            broken.append("2-2s")
        if len(zs) >= 2 and ((zs[-2] > 2 and z < -2) or (zs[-2] < -2 and z > 2)):
            broken.append("R-4s")
        if len(zs) >= 4 and _same_side(zs[-4:], 1):
            broken.append("4-1s")
        if len(zs) >= 10 and _same_side(zs[-10:], 0):
            broken.append("10-x")
        out.append(broken)
    return out
