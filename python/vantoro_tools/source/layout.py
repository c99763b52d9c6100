"""Is a file one that vantoro reads meaningfully?

The reader answers every question about any file of 40 bytes or more: a
file outside its two layouts, or one cut short, answers zeros rather than
raising. This check decides whether those answers describe the file, and
says why not in one line. It runs in two parts:

- the whole file (known version, layout marker, a size that holds every
  per-scan table its layout reads), judged by the native core from the
  format's own figures, before any peak list is read;
- each scan that has a peak list, as the scan walker reaches it
  (retention times finite and not decreasing, m/z finite), so a
  conversion decodes each peak list once for both jobs.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from . import _native
from .raw import LayoutError, LayoutMismatch, not_raw_reason

__all__ = ["LayoutCheck", "LayoutError", "LayoutMismatch", "Verdict", "confirm_layout", "judge_file", "selects_layout"]

MARKERS: dict[str, str] = _native.markers()


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


def judge_file(path_text: str, version: int, size: int) -> Verdict:
    """The whole-file verdict of a file of `size` bytes and format `version`
    whose path (or URL) is `path_text`: the layout markers are read from it."""
    kind, layout, need, _ = _native.judge(path_text, version, size)
    if kind == "unknown_version":
        return Verdict(not_raw_reason(version))
    if kind == "no_marker":
        markers = " or ".join(repr(MARKERS[k]) for k in ("orbitrap", "small"))
        return Verdict(f"no layout marker in the path ({markers}): vantoro would read every scan as zeros")
    if kind == "truncated":
        return Verdict(f"truncated: {size:,} bytes, but its {layout} layout's scan tables need {need:,}", layout)
    return Verdict(None, layout)


def selects_layout(path_text: str) -> bool:
    """Whether `path_text` holds a layout marker. A directory whose path
    does lends its layout to every file below it."""
    return bool(_native.plan(path_text, _native.known_versions()[0]))


def confirm_layout(opened: str, named: str, version: int) -> None:
    """Raises LayoutMismatch when the reader, which takes its tables from
    the path it opened (`opened`), would read other tables than those of
    the location the file was named by (`named`), which the verdict
    judges: a fetched copy whose path gained or lost a marker."""
    if opened == named or _native.plan(opened, version) == _native.plan(named, version):
        return
    reads, selects = (_layout_words(text, version) for text in (opened, named))
    if reads == selects:  # one layout, but the other marker's tables too, or not
        reads, selects = f"other tables of {reads}", "its own"
    raise LayoutMismatch(f"its local copy would be read with {reads} where its name selects {selects}; not read")


def _layout_words(path_text: str, version: int) -> str:
    layout = _native.judge(path_text, version, 0)[1]
    return f"the {layout} layout" if layout else "no layout"


class LayoutCheck:
    """The layout check of one open file. The whole-file verdict is known
    when constructed; `scan` adds each scan that has a peak list, in scan
    order, and `verdict` is the first failure found so far."""

    def __init__(self, path_text: str, version: int, size: int):
        first = judge_file(path_text, version, size)
        self.layout = first.layout
        self._reason = first.reason
        self._last_rt = -math.inf

    @property
    def verdict(self) -> Verdict:
        return Verdict(self._reason, self.layout)

    @property
    def ok(self) -> bool:
        return self._reason is None

    def scan(self, number: int, rt: float, mz: Sequence[float] | Any) -> str | None:
        """Judges scan `number` with peak list m/z `mz` (a NumPy array or a
        list) at retention time `rt`; returns the reason it fails, if any,
        and keeps the first failure as the verdict."""
        if rt >= self._last_rt and math.isfinite(rt) and _all_finite(mz):
            self._last_rt = rt
            return None
        reason = None
        if not math.isfinite(rt):
            reason = f"scan {number}: retention time is {rt}"
        elif rt < self._last_rt:
            reason = f"scan {number}: retention time {rt:g} min is before the previous scan's {self._last_rt:g}"
        elif not _all_finite(mz):
            reason = f"scan {number}: peak list holds a non-finite m/z"
        if math.isfinite(rt):
            self._last_rt = max(self._last_rt, rt)
        if reason is not None and self._reason is None:
            self._reason = reason
        return reason


def _all_finite(values: Sequence[float] | Any) -> bool:
    if hasattr(values, "dtype"):
        import numpy as np

        # Value by value: a sum would be as fast, but one that overflows
        # prints NumPy's RuntimeWarning on the user's terminal.
        return bool(np.isfinite(values).all())
    return all(map(math.isfinite, values))
