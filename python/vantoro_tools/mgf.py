"""RAW to MGF, written with pyteomics.

MGF holds fragment spectra for search engines: one entry per MS2 (or
higher) scan that has a peak list and a precursor m/z. MS1 scans, and MS2
scans whose precursor m/z is 0, are left out.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from ._deps import missing
from .atomic import atomic_path
from .formats import FORMATS, WriteOptions, Written
from .reading import Scan, ScanSource, StrPath

PURPOSE = "vantoro convert --to mgf"
# Shortest text that reads back as the same float64 m/z and float32 intensity.
FRAGMENT_FORMAT = "%.17g %.9g"


def mgf_entry(scan: Scan, stem: str) -> dict[str, Any] | None:
    """The pyteomics MGF entry of `scan`, or None when it does not go to MGF."""
    precursor = scan.precursor_mz
    if scan.mz is None or precursor is None:
        return None
    params: dict[str, Any] = {
        # The trans-proteomic pipeline's form: stem.first.last.charge
        "title": f"{stem}.{scan.number}.{scan.number}.{scan.charge}",
        "pepmass": precursor,
        "rtinseconds": scan.rt * 60.0,
        "scans": scan.number,
    }
    if scan.charge > 0:
        params["charge"] = scan.charge
    return {"m/z array": scan.mz, "intensity array": scan.intensity, "params": params}


def write_mgf(raw: StrPath, dest: StrPath, *, on_scan: Callable[[], None] | None = None) -> int:
    """Writes the MS2 scans of `raw` that have a peak list and a precursor
    m/z to `dest` and returns how many were written. Raises LayoutError
    when the file fails the layout check."""
    return write_mgf_source(ScanSource(raw, on_scan=on_scan), [os.fspath(dest)], WriteOptions()).spectra


def write_mgf_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans of `source` at the MS levels asked for (MS2 by
    default) that have a peak list and a precursor m/z to `dests[0]`
    (TITLE, PEPMASS, CHARGE, RTINSECONDS, SCANS, then the peaks). The file
    appears under its name only when complete."""
    try:
        from pyteomics import mgf
    except ImportError as exc:
        raise missing(exc.name or "pyteomics", PURPOSE, "convert") from exc
    levels = options.ms_levels or FORMATS["mgf"].ms_levels or frozenset()
    written = Written(warnings=source.warnings)

    def entries() -> Iterator[dict[str, Any]]:
        for scan in source.scans():
            entry = mgf_entry(scan, source.stem) if scan.ms_level in levels else None
            if entry is not None:
                written.spectra += 1
                yield entry

    with atomic_path(dests[0]) as tmp, open(tmp, "w", encoding="utf-8", newline="\n") as fh:
        mgf.write(entries(), output=fh, fragment_format=FRAGMENT_FORMAT, write_charges=False,
                  use_numpy=True)
    return written
