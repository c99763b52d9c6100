"""Chromatograms: total ion current, base peak and extracted ion currents.

Every function walks the scans of one MS level once and decodes each peak
list once; all the values it gives come from that one walk. The arrays have
one entry per scan of the chosen level, in scan order; a scan without a
peak list counts as empty (intensity 0, base-peak m/z NaN).
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vantoro import RawFileReader

from ..base.deps import missing
from ..base.paths import StrPath, as_path
from ..source.scans import ScanSource, open_source, walk

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro chrom"
#: A path (checked like the command checks it), an open ScanSource, or an
#: open reader (taken as it is).
Source = StrPath | ScanSource | RawFileReader


@dataclass(frozen=True)
class Tolerance:
    """A window around a target m/z: `value` ppm of the target, or `value` Da."""

    value: float
    unit: str = "ppm"  #: "ppm" or "Da"

    def __post_init__(self) -> None:
        if self.unit not in ("ppm", "Da"):
            raise ValueError(f"tolerance unit must be ppm or Da, not {self.unit!r}")
        if not (self.value >= 0 and self.value < float("inf")):
            raise ValueError(f"tolerance must be a finite number of at least 0, not {self.value}")

    @classmethod
    def of(cls, value: Tolerance | str | float) -> Tolerance:
        """A Tolerance as given, parsed from text, or a number of ppm."""
        if isinstance(value, Tolerance):
            return value
        if isinstance(value, str):
            return cls.parse(value)
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return cls(float(value))
        raise TypeError(
            f"tolerance must be a Tolerance, a text such as '10ppm' or a number of ppm, not {type(value).__name__}"
        )

    @classmethod
    def parse(cls, text: str) -> Tolerance:
        """ "10ppm", "10 ppm", "0.02Da", "0.02 da"; a bare number is ppm."""
        m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*(ppm|da|Da|DA)?\s*", text)
        if m is None:
            raise ValueError(f"not a tolerance: {text!r} (e.g. 10ppm or 0.02Da)")
        unit = "ppm" if m.group(2) is None or m.group(2) == "ppm" else "Da"
        return cls(float(m.group(1)), unit)

    def half_width(self, targets: NDArray[np.float64]) -> NDArray[np.float64]:
        return targets * (self.value * 1e-6) if self.unit == "ppm" else targets * 0.0 + self.value

    def __str__(self) -> str:
        return f"{self.value:g} {self.unit}"


@dataclass(frozen=True)
class Chromatograms:
    """One walk's chromatograms over the scans of `ms_level` (None: every scan)."""

    ms_level: int | None
    scan: NDArray[np.int64]  #: scan numbers
    rt: NDArray[np.float64]  #: retention times, minutes
    tic: NDArray[np.float64]  #: sum of each peak list's intensities
    bpc: NDArray[np.float64]  #: the largest intensity of each peak list
    bpc_mz: NDArray[np.float64]  #: its m/z (NaN for a scan without peaks)
    targets: NDArray[np.float64]  #: the XIC targets, m/z, as given
    xic: NDArray[np.float64]  #: shape (len(targets), len(scan)): intensity within tolerance
    tolerance: Tolerance


def _numpy() -> object:
    try:
        import numpy
    except ImportError as exc:
        raise missing("numpy", PURPOSE, "numpy") from exc
    return numpy


def chromatograms(
    raw: Source,
    *,
    ms_level: int | None = 1,
    targets: Sequence[float] = (),
    tolerance: Tolerance | str | float = "10ppm",
    force: bool = False,
) -> Chromatograms:
    """TIC, base peak and, for each of `targets`, the summed intensity of
    the peaks within `tolerance` (a Tolerance, a text such as "10ppm" or
    "0.02Da", or a number of ppm), over the scans of `ms_level` (None for
    every scan), in one walk over the peak lists. `raw` is a path, checked
    as the command checks it (LayoutError when it fails, unless `force`),
    or a source or reader already open. Raises like `RawFileReader` for a
    path that cannot be read, ValueError or TypeError for bad arguments."""
    _numpy()
    import numpy as np

    tol = Tolerance.of(tolerance)
    if ms_level is not None and (isinstance(ms_level, bool) or not isinstance(ms_level, int) or ms_level < 1):
        raise ValueError(f"ms_level must be an MS level of 1 or more, or None for every scan, not {ms_level!r}")
    try:
        target_mz = np.asarray(targets, dtype=np.float64).reshape(-1)
    except (TypeError, ValueError):
        raise TypeError(f"targets must be a sequence of m/z values, not {targets!r}") from None
    if not np.isfinite(target_mz).all():
        raise ValueError("XIC targets must be finite m/z values")
    if isinstance(raw, ScanSource):
        scans = raw.scans(levels=None if ms_level is None else frozenset({ms_level}))
    elif isinstance(raw, RawFileReader):
        scans = walk(raw, levels=None if ms_level is None else frozenset({ms_level}))
    else:
        source = open_source(as_path(raw, "raw"), force=force)
        scans = source.scans(levels=None if ms_level is None else frozenset({ms_level}))
    half = tol.half_width(target_mz)
    windows = _Windows(target_mz - half, target_mz + half)

    # Per scan, the sums between consecutive window bounds (the disjoint
    # case) or the total and each window's sum (overlapping windows); the
    # rest is done for all scans at once after the walk. The MS level lives
    # in each scan's trailer: only the scans of that level have their peak
    # list decoded.
    width = len(windows.keys) if windows.disjoint else len(target_mz) + 1
    numbers: list[int] = []
    times: list[float] = []
    bpc: list[float] = []
    bpc_mz: list[float] = []
    pieces: list[Any] = []
    bounds: list[Any] = []
    no_bounds = np.zeros(len(windows.keys), dtype=np.intp)
    has_targets = len(target_mz) > 0
    # Reused from scan to scan, so that the order test and the sums allocate nothing.
    in_order = np.empty(0, dtype=bool)
    work = np.empty(0)
    reduceat = np.add.reduceat
    # Intensities that are not finite make sums that are not (inf - inf is
    # NaN): expected, and no NumPy warning for the user's terminal.
    with np.errstate(invalid="ignore", over="ignore"):
        for scan in scans:
            numbers.append(scan.number)
            times.append(scan.rt)
            row = np.zeros(width)
            pieces.append(row)
            mz, inten = scan.mz, scan.intensity
            if mz is None or inten is None:
                bpc.append(0.0)
                bpc_mz.append(math.nan)
                bounds.append(no_bounds)  # bounds all 0 make every piece empty
                continue
            # Only the windows need the m/z in order; the TIC and base peak do not.
            if has_targets and len(mz) > 1:
                if len(in_order) < len(mz) - 1:
                    in_order = np.empty(len(mz) - 1, dtype=bool)
                ordered = in_order[: len(mz) - 1]
                if not np.greater_equal(mz[1:], mz[:-1], out=ordered).all():
                    order = np.argsort(mz, kind="stable")
                    mz, inten = mz[order], inten[order]
            top = int(inten.argmax())
            bpc.append(float(inten[top]))
            bpc_mz.append(float(mz[top]))
            if windows.disjoint:
                b = mz.searchsorted(windows.keys)  # non-decreasing, b[0] == 0
                bounds.append(b)
                # The intensities in double precision with one 0 after them, so
                # that every bound (at most len(inten)) indexes an element;
                # reduceat then gives the sum from each bound to the next (to
                # the end for the last) straight into the scan's row.
                n = len(inten)
                if len(work) <= n:
                    work = np.empty(n + 1)
                padded = work[: n + 1]
                padded[:n] = inten
                padded[n] = 0.0
                reduceat(padded, b, out=row)
            else:
                row[0] = inten.sum(dtype=np.float64)
                row[1:] = _window_sums(mz, inten, windows.low, windows.high)
        count = len(numbers)
        piece_table = np.array(pieces).reshape(count, width)
        xic = np.empty((len(target_mz), count))
        if windows.disjoint:
            bound_table = np.array(bounds, dtype=np.intp).reshape(count, width)
            # reduceat gives the single value at a bound for an empty piece (a bound equal to the next).
            piece_table[:, :-1][bound_table[:, :-1] == bound_table[:, 1:]] = 0.0
            tic = piece_table.sum(axis=1)
            xic[windows.order] = piece_table[:, 1::2].T
        else:
            tic = piece_table[:, 0].copy()
            xic[windows.order] = piece_table[:, 1:].T
    return Chromatograms(
        ms_level=ms_level,
        scan=np.array(numbers, dtype=np.int64),
        rt=np.array(times, dtype=np.float64),
        tic=tic,
        bpc=np.array(bpc, dtype=np.float64),
        bpc_mz=np.array(bpc_mz, dtype=np.float64),
        targets=target_mz,
        xic=xic,
        tolerance=tol,
    )


class _Windows:
    """The XIC windows [low[k], high[k]] (m/z, inclusive), and how to sum a
    peak list's intensities within each of them and in all.

    The windows are taken in m/z order. Where they do not overlap (the usual
    case), one binary search of all their bounds at once (sorted keys, so
    each search starts where the last ended) and one `add.reduceat` pass
    over the intensities give every window's sum and, adding up all the
    pieces between the bounds, the total as well."""

    def __init__(self, low: NDArray[np.float64], high: NDArray[np.float64]):
        import numpy as np

        self.order = np.argsort(low, kind="stable")
        self.low, self.high = low[self.order], high[self.order]
        # Searching the next float above high on the left side is searching high on the right side.
        keys = np.empty(2 * len(low) + 1)
        keys[0] = -np.inf
        keys[1::2], keys[2::2] = self.low, np.nextafter(self.high, np.inf)
        self.keys = keys
        self.disjoint = bool((np.diff(keys) >= 0).all())


def _window_sums(
    mz: NDArray[np.float64], intensity: NDArray[np.float32], low: NDArray[np.float64], high: NDArray[np.float64]
) -> NDArray[np.float64]:
    """The summed intensity of the peaks with low[k] <= m/z <= high[k], for
    every k, windows that may overlap: two binary searches per window, then
    one `add.reduceat` pass over the window bounds, interleaved (the sums
    between windows that it also gives are dropped)."""
    import numpy as np

    lo = np.searchsorted(mz, low, "left")
    hi = np.searchsorted(mz, high, "right")
    bounds = np.empty(2 * len(lo), dtype=np.intp)
    bounds[0::2], bounds[1::2] = lo, hi
    # A trailing 0 makes a bound at the end of the list a valid index.
    padded = np.concatenate([intensity, np.zeros(1, dtype=intensity.dtype)])
    sums: NDArray[np.float64] = np.add.reduceat(padded, bounds, dtype=np.float64)[0::2]
    sums[hi <= lo] = 0.0  # reduceat gives the single value at lo for an empty window
    return sums


def tic(raw: Source, ms_level: int | None = 1) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Retention times (minutes) and total ion current of the scans of `ms_level`."""
    c = chromatograms(raw, ms_level=ms_level)
    return c.rt, c.tic


def bpc(raw: Source, ms_level: int | None = 1) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Retention times, base-peak intensities and base-peak m/z."""
    c = chromatograms(raw, ms_level=ms_level)
    return c.rt, c.bpc, c.bpc_mz


def xic(
    raw: Source, targets: Sequence[float], tolerance: Tolerance | str = "10ppm", ms_level: int | None = 1
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Retention times and, per target m/z, the summed intensity within
    `tolerance`: an array of shape (len(targets), scans)."""
    c = chromatograms(raw, ms_level=ms_level, targets=targets, tolerance=tolerance)
    return c.rt, c.xic


def csv_text(c: Chromatograms, kinds: Sequence[str]) -> str:
    """`kinds` ("tic", "bpc", "xic") of `c` as CSV: scan, retention time, then one column per series."""
    head = ["scan", "rt_min"]
    cols: list[Sequence[float]] = [c.scan.tolist(), c.rt.tolist()]
    if "tic" in kinds:
        head.append("tic")
        cols.append(c.tic.tolist())
    if "bpc" in kinds:
        head += ["base_peak", "base_peak_mz"]
        cols += [c.bpc.tolist(), c.bpc_mz.tolist()]
    if "xic" in kinds:
        head += [f"xic_{t:.6g}" for t in c.targets]
        cols += [row.tolist() for row in c.xic]
    lines = [",".join(head)]
    for i in range(len(c.scan)):
        lines.append(",".join(f"{col[i]:.10g}" if isinstance(col[i], float) else str(col[i]) for col in cols))
    return "\n".join(lines) + "\n"
