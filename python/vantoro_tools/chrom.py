"""Chromatograms: total ion current, base peak and extracted ion currents.

Every function walks the scans of one MS level once and decodes each peak
list once; all the values it gives come from that one walk. The arrays have
one entry per scan of the chosen level, in scan order; a scan without a
peak list counts as empty (intensity 0, base-peak m/z NaN).
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Union

from ._deps import missing
from .reading import StrPath, ms_level as trailer_ms_level, open_raw

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from vantoro import RawFileReader

PURPOSE = "vantoro chrom"
ReaderOrPath = Union["RawFileReader", StrPath]


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
    def parse(cls, text: str) -> Tolerance:
        """"10ppm", "10 ppm", "0.02Da", "0.02 da"; a bare number is ppm."""
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


def _level(reader: RawFileReader, scan: int) -> int:
    extra = reader.get_trailer_extra(scan)
    return trailer_ms_level({k: v for k, v in extra.items() if isinstance(v, (int, float, str))})


def _numpy() -> object:
    try:
        import numpy
    except ImportError as exc:
        raise missing("numpy", PURPOSE, "numpy") from exc
    return numpy


def chromatograms(raw: ReaderOrPath, *, ms_level: int | None = 1,
                  targets: Sequence[float] = (), tolerance: Tolerance | str = "10ppm") -> Chromatograms:
    """TIC, base peak and, for each of `targets`, the summed intensity of
    the peaks within `tolerance`, over the scans of `ms_level` (None for
    every scan), in one walk over the peak lists. `raw` is a path or an
    open reader. Raises like `open_raw` for a path that cannot be read."""
    _numpy()
    import numpy as np

    tol = Tolerance.parse(tolerance) if isinstance(tolerance, str) else tolerance
    from vantoro import RawFileReader

    reader = raw if isinstance(raw, RawFileReader) else open_raw(raw)
    target_mz = np.asarray(targets, dtype=np.float64).reshape(-1)
    if not np.isfinite(target_mz).all():
        raise ValueError("XIC targets must be finite m/z values")
    half = tol.half_width(target_mz)
    windows = _Windows(target_mz - half, target_mz + half)

    # The MS level lives in each scan's trailer: only a level filter reads it,
    # and only the scans of that level have their peak list decoded.
    rows = [row for row in reader.list_spectra()
            if ms_level is None or _level(reader, int(row["scan_number"])) == ms_level]
    count = len(rows)
    bpc = np.zeros(count)
    bpc_mz = np.full(count, np.nan)
    # Per scan, the sums between consecutive window bounds (the disjoint
    # case) or the total and each window's sum (overlapping windows); the
    # rest is done for all scans at once after the walk.
    width = len(windows.keys)
    pieces = np.zeros((count, width if windows.disjoint else len(target_mz) + 1))
    bounds = np.zeros((count, width), dtype=np.intp)
    has_targets = len(target_mz) > 0
    # Reused from scan to scan, so that the order test and the sums allocate nothing.
    in_order = np.empty(0, dtype=bool)
    work = np.empty(0)
    reduceat, get_peaks = np.add.reduceat, reader.get_peaks
    for j, row in enumerate(rows):
        scan = int(row["scan_number"])
        mz, inten = get_peaks(scan)
        # Two one-element zero arrays may also be a scan without a peak list.
        if len(mz) == 1 and reader.native_get_peaks(scan) is None:
            continue  # zeros; bounds all 0 make every piece empty
        # Only the windows need the m/z in order; the TIC and base peak do not.
        if has_targets and len(mz) > 1:
            if len(in_order) < len(mz) - 1:
                in_order = np.empty(len(mz) - 1, dtype=bool)
            ordered = in_order[:len(mz) - 1]
            if not np.greater_equal(mz[1:], mz[:-1], out=ordered).all():
                order = np.argsort(mz, kind="stable")
                mz, inten = mz[order], inten[order]
        top = int(inten.argmax())
        bpc[j] = inten[top]
        bpc_mz[j] = mz[top]
        if windows.disjoint:
            b = mz.searchsorted(windows.keys)  # non-decreasing, b[0] == 0
            bounds[j] = b
            # The intensities in double precision with one 0 after them, so
            # that every bound (at most len(inten)) indexes an element;
            # reduceat then gives the sum from each bound to the next (to
            # the end for the last) straight into the scan's row.
            n = len(inten)
            if len(work) <= n:
                work = np.empty(n + 1)
            padded = work[:n + 1]
            padded[:n] = inten
            padded[n] = 0.0
            reduceat(padded, b, out=pieces[j])
        else:
            pieces[j, 0] = inten.sum(dtype=np.float64)
            pieces[j, 1:] = _window_sums(mz, inten, windows.low, windows.high)
    xic = np.empty((len(target_mz), count))
    if windows.disjoint:
        # reduceat gives the single value at a bound for an empty piece (a bound equal to the next).
        pieces[:, :-1][bounds[:, :-1] == bounds[:, 1:]] = 0.0
        tic = pieces.sum(axis=1)
        xic[windows.order] = pieces[:, 1::2].T
    else:
        tic = pieces[:, 0].copy()
        xic[windows.order] = pieces[:, 1:].T
    return Chromatograms(
        ms_level=ms_level, scan=np.array([int(r["scan_number"]) for r in rows], dtype=np.int64),
        rt=np.array([float(r["rt"]) for r in rows], dtype=np.float64), tic=tic, bpc=bpc, bpc_mz=bpc_mz,
        targets=target_mz, xic=xic, tolerance=tol)


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


def _window_sums(mz: NDArray[np.float64], intensity: NDArray[np.float32],
                 low: NDArray[np.float64], high: NDArray[np.float64]) -> NDArray[np.float64]:
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


def tic(raw: ReaderOrPath, ms_level: int | None = 1) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Retention times (minutes) and total ion current of the scans of `ms_level`."""
    c = chromatograms(raw, ms_level=ms_level)
    return c.rt, c.tic


def bpc(raw: ReaderOrPath, ms_level: int | None = 1
        ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Retention times, base-peak intensities and base-peak m/z."""
    c = chromatograms(raw, ms_level=ms_level)
    return c.rt, c.bpc, c.bpc_mz


def xic(raw: ReaderOrPath, targets: Sequence[float], tolerance: Tolerance | str = "10ppm",
        ms_level: int | None = 1) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Retention times and, per target m/z, the summed intensity within
    `tolerance`: an array of shape (len(targets), scans)."""
    c = chromatograms(raw, ms_level=ms_level, targets=targets, tolerance=tolerance)
    return c.rt, c.xic


def _csv(c: Chromatograms, kinds: Sequence[str]) -> str:
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


def write_chromatograms(c: Chromatograms, kinds: Sequence[str], dest: StrPath | None = None,
                        title: str = "") -> None:
    """`kinds` ("tic", "bpc", "xic") of `c` as CSV on standard output
    (`dest` None), in a .csv file, or drawn to an image whose format its
    suffix names (matplotlib, the `plot` extra). Raises OutputError when
    `dest` cannot be written."""
    import os
    import sys

    from .atomic import OutputError, atomic_path

    if dest is None:
        sys.stdout.write(_csv(c, kinds))
        return
    suffix = os.path.splitext(os.fspath(dest))[1].lstrip(".").lower()
    if suffix == "csv":
        with atomic_path(dest) as tmp:
            try:
                with open(tmp, "w", encoding="utf-8", newline="") as f:
                    f.write(_csv(c, kinds))
            except OSError as exc:
                raise OutputError(dest, exc) from exc
        return
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise missing(exc.name or "matplotlib", "vantoro chrom (images)", "plot") from exc
    from .plot import save_figure

    fig = Figure(figsize=(10, 2.6 * len(kinds) + 0.6), layout="constrained")
    axes = fig.subplots(len(kinds), 1, sharex=True, squeeze=False)[:, 0]
    level = "all scans" if c.ms_level is None else f"MS{c.ms_level}"
    for ax, kind in zip(axes, kinds):
        if kind == "tic":
            ax.plot(c.rt, c.tic, lw=1)
            ax.set_ylabel("TIC")
        elif kind == "bpc":
            ax.plot(c.rt, c.bpc, lw=1, color="tab:red")
            ax.set_ylabel("base peak")
        else:
            for t, row in zip(c.targets, c.xic):
                ax.plot(c.rt, row, lw=1, label=f"{t:.4f}")
            ax.set_ylabel(f"XIC ±{c.tolerance}")
            ax.legend(fontsize=8, ncol=4)
        ax.set_ylim(bottom=0)
        ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    axes[-1].set_xlabel("retention time (min)")
    axes[0].set_title(f"{title}   {level}".strip(), fontsize=10)
    save_figure(fig, dest, dpi=110)
