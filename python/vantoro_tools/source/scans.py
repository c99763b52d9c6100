"""The one scan walker, and the rules about scans that every consumer
(writers, the layout check, info, chromatograms, QC) follows: which scans
have a peak list, a scan's MS level, its precursor, the trailer's keys."""

from __future__ import annotations

import importlib.util
import math
import os
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vantoro import RawFileReader

from ..base.paths import StrPath, as_path, stem
from . import _native
from .layout import LayoutCheck, LayoutError, Verdict, confirm_layout
from .raw import KNOWN_VERSIONS, NotRawFileError, not_raw_reason

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

TrailerValue = int | float | str

# The trailer's keys, as get_trailer_extra names them, and each one's type.
MS_ORDER = "MS Order"
MASTER_SCAN = "Master Scan Number"
CHARGE_STATE = "Charge State"
MONOISOTOPIC_MZ = "Monoisotopic M/Z"
INJECTION_TIME = "Ion Injection Time (ms)"
PRECURSOR_MASS = "Precursor Mass"
ISOLATION_WIDTH = "Isolation Width"
ACTIVATION_TYPE = "Activation Type"
COLLISION_ENERGY = "Collision Energy"
HCD_ENERGY = "HCD Energy eV"
#: Every key the reader may answer, in its order, with the type of its value.
TRAILER_KEYS: dict[str, type] = {
    INJECTION_TIME: float,
    MASTER_SCAN: int,
    CHARGE_STATE: int,
    MONOISOTOPIC_MZ: float,
    PRECURSOR_MASS: float,
    "Elapsed Scan Time (sec)": float,
    "Orbitrap Resolution": int,
    MS_ORDER: int,
    HCD_ENERGY: str,
    ACTIVATION_TYPE: str,
    COLLISION_ENERGY: float,
    ISOLATION_WIDTH: float,
    "AGC": str,
}

#: What a scan's precursor m/z is: none (an MS1 scan, or 0 recorded), usable,
#: or recorded but unusable.
NO_PRECURSOR, PRECURSOR, PRECURSOR_NOT_FINITE, PRECURSOR_NEGATIVE = "none", "ok", "not finite", "negative"


def ms_level(trailer: dict[str, TrailerValue]) -> int:
    """The trailer's "MS Order"; 1 where the trailer has none."""
    order = trailer.get(MS_ORDER)
    return order if isinstance(order, int) and order >= 1 else 1


def decimal(text: str) -> float | None:
    """The number `text` states in the reader's decimal grammar (ASCII digits,
    an optional sign, point and exponent, or inf/infinity/nan; no spaces,
    underscores or other digits), or None: the one rule for numbers in the
    file's text, whichever side reads them."""
    return _native.parse_decimal(text)


def trailer_number(trailer: dict[str, TrailerValue], key: str) -> float | None:
    """The trailer's field `key` as a number: a numeric field as it is, a
    text field read with `decimal`; None when absent or not a number."""
    value = trailer.get(key)
    if isinstance(value, str):
        return decimal(value)
    return float(value) if isinstance(value, (int, float)) else None


def precursor_kind(level: int, monomz: float) -> str:
    """What the monoisotopic m/z of a scan at MS `level` says of its precursor."""
    if level < 2 or monomz == 0:
        return NO_PRECURSOR
    if not math.isfinite(monomz):
        return PRECURSOR_NOT_FINITE
    return PRECURSOR_NEGATIVE if monomz < 0 else PRECURSOR


@dataclass(frozen=True)
class Scan:
    """One scan: its row of `list_spectra()`, its MS level, its trailer and,
    when asked for and present, its peak list."""

    number: int
    rt: float  #: retention time, minutes
    injection_time: float  #: milliseconds
    master_scan: int
    charge: int
    monomz: float
    ms_level: int
    trailer: dict[str, TrailerValue]
    mz: NDArray[np.float64] | None = None
    intensity: NDArray[np.float32] | None = None

    @classmethod
    def _of(cls, row: Any, level: int, trailer: dict[str, TrailerValue], found: tuple[Any, Any] | None) -> Scan:
        # The walker makes one per scan: its fields set at once, not one by
        # one through the frozen class's guarded setattr.
        scan = object.__new__(cls)
        scan.__dict__.update(
            number=row["scan_number"],
            rt=row["rt"],
            injection_time=row["injection_time"],
            master_scan=row["master_scan"],
            charge=row["charge"],
            monomz=row["monomz"],
            ms_level=level,
            trailer=trailer,
            mz=None if found is None else found[0],
            intensity=None if found is None else found[1],
        )
        return scan

    @property
    def has_peaks(self) -> bool:
        return self.mz is not None

    @property
    def precursor(self) -> str:
        """NO_PRECURSOR, PRECURSOR, PRECURSOR_NOT_FINITE or PRECURSOR_NEGATIVE."""
        return precursor_kind(self.ms_level, self.monomz)

    @property
    def precursor_mz(self) -> float | None:
        """The precursor m/z of an MS2 (or higher) scan that has a usable one."""
        return self.monomz if self.precursor == PRECURSOR else None


def read_peaks(reader: RawFileReader, scan: int) -> tuple[NDArray[np.float64], NDArray[np.float32]] | None:
    """The peak list of `scan` as float64 m/z and float32 intensity arrays
    (views of the reader's buffers, no copy), or None when it has none."""
    mz, intensity = reader.get_peaks(scan)
    # A peak list the reader finds holds more than ten peaks whose first m/z
    # lies above 50: the one-element zero arrays can only mean none.
    if len(mz) == 1:
        return None
    return mz, intensity


def _read_peak_lists(reader: RawFileReader, scan: int) -> tuple[Any, Any] | None:
    """The same as lists of floats, for where NumPy is not installed."""
    return reader.native_get_peaks(scan)


#: What the walker does with a scan that fails the layout check: raise
#: LayoutError, count it as a warning and go on, or only keep the verdict.
RAISE, WARN, RECORD = "raise", "warn", "record"
#: The warnings a forced file's line shows: the whole file failed the check
#: (once), and how many of its scans failed it.
FILE_FAILED, SCANS_FAILED = "layout check failed", "scans failing the layout check"


class ScanSource:
    """One RAW file opened once, its layout check, and its scans walked in
    order, each peak list decoded once for the check and the consumer
    together.

    The whole-file verdict is known at once. With `on_failure` RAISE (the
    default) a file or scan that fails the check raises LayoutError; with
    WARN the failures are counted under `warnings` (FILE_FAILED once for
    the whole file, SCANS_FAILED for each failing scan) and the walk goes
    on; with RECORD the first failure is kept as the verdict. Consumers
    count there what they leave out with `warn`. A file of a format
    version vantoro does not read raises NotRawFileError unless
    `refuse_unknown` is false (its verdict then says so).
    `path_text` is what the layout markers are read from (the file's path,
    or the URL a fetched file came from)."""

    def __init__(
        self,
        path: StrPath,
        *,
        on_failure: str = RAISE,
        path_text: str | None = None,
        on_scan: Callable[[], None] | None = None,
        reader: RawFileReader | None = None,
        refuse_unknown: bool = True,
    ):
        self.path = as_path(path)
        #: where the file is, as the user named it: its path, or the URL it was fetched from
        self.origin = self.path if path_text is None else path_text
        self.name = os.path.basename(self.origin)
        self.stem = stem(self.name)
        self.reader = RawFileReader(self.path) if reader is None else reader
        version = int(self.reader.version)
        if refuse_unknown and version not in KNOWN_VERSIONS:
            raise NotRawFileError(not_raw_reason(version))
        if path_text is not None:
            confirm_layout(self.path, path_text, version)
        self.check = LayoutCheck(self.origin, version, os.path.getsize(self.path))
        self.on_failure = on_failure
        self.on_scan = on_scan
        self.warnings: Counter[str] = Counter()
        #: scans walked for their peak lists, by MS level: with one found, and without
        self.found: Counter[int] = Counter()
        self.not_found: Counter[int] = Counter()
        self._failed(self.check.verdict.reason, FILE_FAILED)

    @property
    def num_scans(self) -> int:
        return int(self.reader.num_scans)

    @property
    def verdict(self) -> Verdict:
        return self.check.verdict

    def peak_lists(self, levels: frozenset[int] | None = None) -> tuple[int, int]:
        """Of the scans walked so far at `levels` (all by default), how many
        had a peak list and how many had none the reader could find."""

        def at_levels(counts: Counter[int]) -> int:
            return sum(n for level, n in counts.items() if levels is None or level in levels)

        return at_levels(self.found), at_levels(self.not_found)

    def warn(self, kind: str, count: int = 1) -> None:
        self.warnings[kind] += count

    def _failed(self, reason: str | None, kind: str) -> None:
        if reason is None or self.on_failure == RECORD:
            return
        if self.on_failure == RAISE:
            raise LayoutError(reason)
        self.warn(kind)

    def scans(
        self, *, peaks: bool = True, levels: frozenset[int] | None = None, only: Callable[[int], bool] | None = None
    ) -> Iterator[Scan]:
        """`walk` over this file, each peak list judged by the layout check."""
        judging = self.on_failure != RECORD or self.check.ok
        for scan in walk(self.reader, peaks=peaks, levels=levels, only=only, on_scan=self.on_scan):
            if peaks:
                (self.found if scan.mz is not None else self.not_found)[scan.ms_level] += 1
            if scan.mz is not None and judging:
                self._failed(self.check.scan(scan.number, scan.rt, scan.mz), SCANS_FAILED)
                judging = self.on_failure != RECORD or self.check.ok
            yield scan


def walk(
    reader: RawFileReader,
    *,
    peaks: bool = True,
    levels: frozenset[int] | None = None,
    only: Callable[[int], bool] | None = None,
    on_scan: Callable[[], None] | None = None,
) -> Iterator[Scan]:
    """Every scan of `reader` in order, or those at `levels` whose number
    `only` accepts, one at a time, with its peak list when `peaks` is true:
    a file's peak lists are never all held at once. Peak lists are NumPy
    arrays, or lists of floats where NumPy is not installed. `on_scan` is
    called before each scan is read."""
    fetch = read_peaks if importlib.util.find_spec("numpy") is not None else _read_peak_lists
    trailer_of = reader.get_trailer_extra
    for row in reader.list_spectra():
        number = row["scan_number"]
        if only is not None and not only(number):
            continue
        # A new dict of ints, floats and strs, one per call: kept as it is.
        trailer: dict[str, TrailerValue] = trailer_of(number)  # type: ignore[assignment]
        level = ms_level(trailer)
        if levels is not None and level not in levels:
            continue
        if on_scan is not None:
            on_scan()
        found = fetch(reader, number) if peaks else None
        yield Scan._of(row, level, trailer, found)


def open_source(path: StrPath, *, force: bool = False, **kwargs: Any) -> ScanSource:
    """A ScanSource that refuses a file failing the layout check (LayoutError),
    or with `force` counts its failures as warnings."""
    return ScanSource(path, on_failure=WARN if force else RAISE, **kwargs)


#: The walker under the name the library has always given it.
iter_scans = walk


def check_layout(path: StrPath, reader: RawFileReader | None = None) -> Verdict:
    """Whether vantoro reads `path` meaningfully, with the reason when not:
    the whole-file rules, then every scan that has a peak list. Raises
    like `RawFileReader` when the file cannot be opened."""
    source = ScanSource(path, on_failure=RECORD, reader=reader, refuse_unknown=False)
    if source.check.ok:
        for _ in source.scans():
            if not source.check.ok:
                break
    return source.verdict
