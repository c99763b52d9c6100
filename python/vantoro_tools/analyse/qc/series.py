"""A run's series for the report, derived from its `RunQC`: scans per MS
level, the MS1 cycles and the points they give a chromatographic peak,
injection time limits, the precursors and their charges, the trailer
fields that vary, and the run's row of a batch's comparison table."""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ...source.scans import TrailerValue
from .reading import RunQC, numpy_module

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

#: chromatographic peak widths (seconds) whose sampling the report states
PEAK_WIDTHS = (10.0, 20.0, 30.0)
#: a varying numeric trailer field with more distinct values than this is plotted, not tabled
TABLE_LIMIT = 8
#: the most values a trailer field's table lists
TABLE_ROWS = 12


def scans_per_level(run: RunQC) -> dict[int, int]:
    return {int(k): int(v) for k, v in sorted(Counter(run.ms_level.tolist()).items())}


@dataclass(frozen=True)
class Cycles:
    """The MS1 cycles of a run: each MS1 scan starts one, which lasts until
    the next MS1 scan."""

    rt: NDArray[np.float64]  #: each MS1 scan's retention time, minutes
    msn: NDArray[np.int64]  #: MSn scans (level 2 and up) before the next MS1 scan or the end
    seconds: NDArray[np.float64]  #: cycle time; one fewer than `rt` (the last cycle has no end)

    def points_per_peak(self, width: float) -> tuple[float, float]:
        """Points across a chromatographic peak `width` seconds wide: at the
        median cycle time, and at the longest (the worst case)."""
        np = numpy_module()
        if not len(self.seconds):
            return math.nan, math.nan
        median, longest = float(np.median(self.seconds)), float(self.seconds.max())
        return (width / median if median > 0 else math.inf), (width / longest if longest > 0 else math.inf)


def cycles(run: RunQC) -> Cycles:
    np = numpy_module()
    ms1 = np.flatnonzero(run.ms_level == 1)
    msn_positions = np.flatnonzero(run.ms_level >= 2)
    # MSn scans counted from each MS1 scan's position to the next one's.
    ends = np.append(ms1[1:], len(run.ms_level))
    msn = np.searchsorted(msn_positions, ends) - np.searchsorted(msn_positions, ms1)
    return Cycles(rt=run.rt[ms1], msn=msn.astype(np.int64), seconds=np.diff(run.rt[ms1]) * 60.0)


def injection_time_limits(run: RunQC) -> dict[int, tuple[float, str]]:
    """Per MS level, the maximum injection time to mark and where it comes
    from: the method's (the n-th stated value for level n, a single stated
    value for every level) or else the largest observed."""
    limits: dict[int, tuple[float, str]] = {}
    stated = run.method_max_it
    for level in scans_per_level(run):
        if stated:
            limits[level] = (stated[min(level, len(stated)) - 1], "method maximum")
        else:
            values = run.injection_time[run.ms_level == level]
            limits[level] = (float(values.max()) if len(values) else 0.0, "observed maximum")
    return limits


def precursor_charges(run: RunQC) -> dict[int, int]:
    """MSn scans per precursor charge (0: the file states none)."""
    return {int(k): int(v) for k, v in sorted(Counter(run.charge[run.ms_level >= 2].tolist()).items())}


def precursors(run: RunQC) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Retention time and m/z of the MSn scans that state a precursor."""
    chosen = numpy_module().isfinite(run.precursor_mz)
    return run.rt[chosen], run.precursor_mz[chosen]


def varying_trailer(run: RunQC) -> tuple[dict[str, list[TrailerValue | None]], dict[str, TrailerValue]]:
    """The trailer keys whose value differs between scans, and those with one value in every scan."""
    varying: dict[str, list[TrailerValue | None]] = {}
    constant: dict[str, TrailerValue] = {}
    for key, values in run.trailer.items():
        distinct = set(values)
        if len(distinct) > 1:
            varying[key] = values
        elif values and values[0] is not None:
            constant[key] = values[0]
    return varying, constant


def summary_row(run: RunQC) -> dict[str, float | str]:
    """The comparison table's numbers for one run."""
    np = numpy_module()
    c = cycles(run)
    levels = scans_per_level(run)
    charges = precursor_charges(run)
    msn_total = sum(charges.values())
    ms1 = run.ms_level == 1
    msn = run.ms_level >= 2
    created = run.info.created
    return {
        "run": run.name,
        "created (UTC)": created.strftime("%Y-%m-%d %H:%M") if created else run.info.creation_date,
        "scans": float(run.info.num_scans),
        "MS1": float(levels.get(1, 0)),
        "MSn": float(sum(v for k, v in levels.items() if k >= 2)),
        "MSn per cycle (median)": float(np.median(c.msn)) if len(c.msn) else math.nan,
        "cycle time s (median)": float(np.median(c.seconds)) if len(c.seconds) else math.nan,
        "points per 20 s peak": c.points_per_peak(20.0)[0],
        "max TIC": float(run.tic.max()) if len(run.tic) else math.nan,
        "MS1 inj. time ms (median)": float(np.median(run.injection_time[ms1])) if ms1.any() else math.nan,
        "MSn inj. time ms (median)": float(np.median(run.injection_time[msn])) if msn.any() else math.nan,
        "charge 2 %": 100.0 * charges.get(2, 0) / msn_total if msn_total else math.nan,
        "warnings": float(len(run.info.warnings or ())),
        "layout check": run.verdict,
    }


LOG_COLUMNS = frozenset({"max TIC"})
