"""Opening RAW files and walking their scans, through vantoro's public reader.

Everything the converters, `info` and `plot` know about a file comes from
here, as plain typed values.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Union

from vantoro import RawFileReader

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from .check import LayoutCheck

StrPath = Union[str, "os.PathLike[str]"]
TrailerValue = Union[int, float, str]

#: The format versions whose layouts vantoro knows.
KNOWN_VERSIONS = (57, 66)
#: The reader's header: a file shorter than this cannot be opened.
HEADER_BYTES = 40


class NotRawFileError(ValueError):
    """The file opens, but its header names no format version vantoro reads."""


def open_raw(path: StrPath) -> RawFileReader:
    """A reader for `path`. Raises the reader's `OSError` when the file cannot
    be read, and `NotRawFileError` when its format version is neither 57 nor
    66 (the reader would answer zeros for every scan of such a file)."""
    reader = RawFileReader(os.fspath(path))
    version = int(reader.version)
    if version not in KNOWN_VERSIONS:
        raise NotRawFileError(f"not a RAW file (format version {version}; vantoro reads 57 and 66)")
    return reader


def describe_failure(path: StrPath, exc: BaseException) -> str:
    """One line naming why `path` could not be used."""
    from .check import LayoutError

    if isinstance(exc, (NotRawFileError, LayoutError)):
        return str(exc)
    if isinstance(exc, FileNotFoundError):
        return "no such file"
    if isinstance(exc, PermissionError):
        return "permission denied"
    if isinstance(exc, OSError):
        try:
            if os.path.isfile(path) and os.path.getsize(path) < HEADER_BYTES:
                return f"not a RAW file (shorter than the {HEADER_BYTES}-byte header)"
        except OSError:
            pass
        return f"cannot be read ({exc})"
    return f"{type(exc).__name__}: {exc}"


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

    @property
    def has_peaks(self) -> bool:
        return self.mz is not None

    @property
    def precursor_mz(self) -> float | None:
        """The precursor m/z of an MS2 (or higher) scan that has one."""
        return self.monomz if self.ms_level >= 2 and self.monomz > 0 else None


def ms_level(trailer: dict[str, TrailerValue]) -> int:
    """The trailer's "MS Order"; 1 where the trailer has none."""
    order = trailer.get("MS Order")
    return order if isinstance(order, int) and order >= 1 else 1


def read_peaks(reader: RawFileReader, scan: int) -> tuple[NDArray[np.float64], NDArray[np.float32]] | None:
    """The peak list of `scan` as float64 m/z and float32 intensity arrays
    (views of the reader's buffers, no copy), or None when it has none."""
    mz, intensity = reader.get_peaks(scan)
    # get_peaks answers two one-element zero arrays for a scan without a
    # peak list; only then is the list form asked whether that is the case.
    if len(mz) == 1 and reader.native_get_peaks(scan) is None:
        return None
    return mz, intensity


def iter_scans(reader: RawFileReader, *, peaks: bool = True,
               only: Callable[[int], bool] | None = None) -> Iterator[Scan]:
    """Every scan of `reader` in order (or those whose number `only` accepts),
    one at a time, with its peak list when `peaks` is true: a file's peak
    lists are never all held at once."""
    for row in reader.list_spectra():
        number = int(row["scan_number"])
        if only is not None and not only(number):
            continue
        trailer: dict[str, TrailerValue] = {
            key: value for key, value in reader.get_trailer_extra(number).items()
            if isinstance(value, (int, float, str))}
        found = read_peaks(reader, number) if peaks else None
        yield Scan(
            number=number, rt=float(row["rt"]), injection_time=float(row["injection_time"]),
            master_scan=int(row["master_scan"]), charge=int(row["charge"]),
            monomz=float(row["monomz"]), ms_level=ms_level(trailer), trailer=trailer,
            mz=None if found is None else found[0], intensity=None if found is None else found[1],
        )


class ScanSource:
    """One input of a conversion: the file opened once, its layout check,
    and its scans walked once, each peak list decoded once for the check
    and the writer together.

    A scan with a peak list that fails the layout check raises LayoutError
    from `scans()`, unless `force` is set: then the scan is still given and
    its failure is counted under `warnings`. Writers count there what they
    leave out (a value that is not finite, say) with `warn`."""

    def __init__(self, path: StrPath, reader: RawFileReader | None = None, *,
                 check: LayoutCheck | None = None, force: bool = False,
                 on_scan: Callable[[], None] | None = None):
        from .check import LayoutCheck, LayoutError

        self.path = os.fspath(path)
        self.name = os.path.basename(self.path)
        self.stem = os.path.splitext(self.name)[0]
        self.reader = open_raw(self.path) if reader is None else reader
        self.check = LayoutCheck(self.path, self.reader) if check is None else check
        self.force = force
        self.on_scan = on_scan
        self.warnings: Counter[str] = Counter()
        if not self.check.ok:
            if not force:
                raise LayoutError(str(self.check.verdict))
            self.warn("layout check failed")

    @property
    def num_scans(self) -> int:
        return int(self.reader.num_scans)

    def warn(self, kind: str, count: int = 1) -> None:
        self.warnings[kind] += count

    def scans(self, *, peaks: bool = True, only: Callable[[int], bool] | None = None) -> Iterator[Scan]:
        """Every scan in order (or those whose number `only` accepts), as
        `iter_scans`, checked as described above."""
        from .check import LayoutError

        for scan in iter_scans(self.reader, peaks=peaks, only=only):
            if self.on_scan is not None:
                self.on_scan()
            if scan.mz is not None:
                reason = self.check.scan(scan.number, scan.rt, scan.mz)
                if reason is not None:
                    if not self.force:
                        raise LayoutError(reason)
                    self.warn("layout check failed")
            yield scan
