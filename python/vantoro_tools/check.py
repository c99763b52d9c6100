"""Is a file one that vantoro reads meaningfully?

The reader answers every question about any file of 40 bytes or more: a
file outside its two layouts, or one cut short, answers zeros rather than
raising. This check decides, from what the reader's public members answer
and the file's size, whether those answers describe the file, and says why
not in one line. It runs in two parts:

- `LayoutCheck(path, reader)` judges the file as a whole (version, layout
  marker, size) at once, before any peak list is read;
- `LayoutCheck.scan(...)` then judges each scan that has a peak list as the
  caller walks them (retention times finite and not decreasing, m/z
  finite), so a conversion decodes each peak list once for both jobs.

`check_layout(path)` runs both parts over a whole file.
"""

from __future__ import annotations

import importlib.util
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .reading import KNOWN_VERSIONS, StrPath, read_peaks

if TYPE_CHECKING:
    from vantoro import RawFileReader

# The two layouts the reader knows, chosen by exact, case-sensitive text
# anywhere in the path.
SMALL_MARKER = "small.RAW"
ORBITRAP_MARKER = "orbitrap"

# Where the per-scan tables of each layout lie: first position and stride,
# and the bytes from each position that must be in the file.
SMALL_RT_START, SMALL_RT_STRIDE = 1481842, 72
ORBITRAP_RT_START, ORBITRAP_RT_STRIDE = 6464174, 88
RT_BYTES = 8
TRAILER_START, TRAILER_STRIDE = 6514414, 558
TRAILER_BYTES_V66 = 140  # the whole trailer block of a version-66 file
TRAILER_BYTES_OTHER = 76  # the diagnostic fields only
V57_DIAGNOSTICS_END, V57_DIAGNOSTICS_STRIDE = 1492201, 254


class LayoutError(ValueError):
    """The file opens, but vantoro cannot read it meaningfully."""


@dataclass(frozen=True)
class Verdict:
    """The outcome of the layout check: `reason` is one line, None when it passed."""

    reason: str | None = None
    layout: str | None = None  #: "orbitrap", "small" or None

    @property
    def ok(self) -> bool:
        return self.reason is None

    def __str__(self) -> str:
        return "ok" if self.reason is None else self.reason


def layout_of(path: str) -> str | None:
    """The layout the reader chooses for `path`: the small-file marker wins."""
    if SMALL_MARKER in path:
        return "small"
    if ORBITRAP_MARKER in path:
        return "orbitrap"
    return None


def tables_end(path: str, version: int, num_scans: int) -> int:
    """The file size that holds every per-scan table the layout reads for
    `num_scans` scans (0 without a layout marker)."""
    last = num_scans - 1
    ends = [0]
    if SMALL_MARKER in path:
        ends.append(SMALL_RT_START + SMALL_RT_STRIDE * last + RT_BYTES)
        if version == 57 and ORBITRAP_MARKER not in path:
            ends.append(V57_DIAGNOSTICS_END + V57_DIAGNOSTICS_STRIDE * last)
    elif ORBITRAP_MARKER in path:
        ends.append(ORBITRAP_RT_START + ORBITRAP_RT_STRIDE * last + RT_BYTES)
    if ORBITRAP_MARKER in path:
        block = TRAILER_BYTES_V66 if version == 66 else TRAILER_BYTES_OTHER
        ends.append(TRAILER_START + TRAILER_STRIDE * last + block)
    return max(ends)


class LayoutCheck:
    """The layout check of one open file. The whole-file verdict is known
    when constructed; `scan` adds each scan that has a peak list, in scan
    order, and `verdict` is the first failure found so far."""

    def __init__(self, path: StrPath, reader: RawFileReader, *, size: int | None = None):
        self.path = os.fspath(path)
        self.layout = layout_of(self.path)
        self._reason = self._whole_file(reader, os.path.getsize(self.path) if size is None else size)
        self._last_rt = -math.inf

    def _whole_file(self, reader: RawFileReader, size: int) -> str | None:
        version = int(reader.version)
        if version not in KNOWN_VERSIONS:
            return f"not a RAW file (format version {version}; vantoro reads 57 and 66)"
        if self.layout is None:
            return (f"no layout marker in the path ({ORBITRAP_MARKER!r} or {SMALL_MARKER!r}): "
                    "vantoro would read every scan as zeros")
        need = tables_end(self.path, version, int(reader.num_scans))
        if size < need:
            return f"truncated: {size:,} bytes, but its {self.layout} layout's scan tables need {need:,}"
        return None

    @property
    def verdict(self) -> Verdict:
        return Verdict(self._reason, self.layout)

    @property
    def ok(self) -> bool:
        return self._reason is None

    def fail(self, reason: str) -> None:
        if self._reason is None:
            self._reason = reason

    def scan(self, number: int, rt: float, mz: Sequence[float] | Any) -> str | None:
        """Judges scan `number` with peak list m/z `mz` (a NumPy array or a
        list) at retention time `rt`; returns the reason it fails, if any,
        and keeps the first failure as the verdict."""
        reason = None
        if not math.isfinite(rt):
            reason = f"scan {number}: retention time is {rt}"
        elif rt < self._last_rt:
            reason = f"scan {number}: retention time {rt:g} min is before the previous scan's {self._last_rt:g}"
        elif not _all_finite(mz):
            reason = f"scan {number}: peak list holds a non-finite m/z"
        if math.isfinite(rt):
            self._last_rt = max(self._last_rt, rt)
        if reason is not None:
            self.fail(reason)
        return reason


def _all_finite(values: Sequence[float] | Any) -> bool:
    if hasattr(values, "dtype"):
        import numpy as np

        return bool(np.isfinite(values).all())
    return all(map(math.isfinite, values))


def peak_mz(reader: RawFileReader) -> Callable[[int], Any]:
    """A function giving the m/z of a scan's peak list, or None when it has
    none: a NumPy array when NumPy is installed (the check is then one
    vectorised test), otherwise a list."""
    numpy = importlib.util.find_spec("numpy") is not None

    def mz(scan: int) -> Any:
        if not numpy:
            as_lists = reader.native_get_peaks(scan)
            return None if as_lists is None else as_lists[0]
        as_arrays = read_peaks(reader, scan)
        return None if as_arrays is None else as_arrays[0]

    return mz


def check_layout(path: StrPath, reader: RawFileReader | None = None) -> Verdict:
    """Whether vantoro reads `path` meaningfully, with the reason when not:
    the whole-file rules, then every scan that has a peak list. Raises
    like `RawFileReader` when the file cannot be opened."""
    from vantoro import RawFileReader

    if reader is None:
        reader = RawFileReader(os.fspath(path))
    check = LayoutCheck(path, reader)
    if not check.ok:
        return check.verdict
    mz = peak_mz(reader)
    for row in reader.list_spectra():
        number = int(row["scan_number"])
        found = mz(number)
        if found is not None and check.scan(number, float(row["rt"]), found) is not None:
            break
    return check.verdict
