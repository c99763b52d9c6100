"""RAW to MGF, written with pyteomics.

MGF holds fragment spectra for search engines: one entry per MS2 (or
higher) scan that has a peak list and a precursor m/z. MS1 scans, and MS2
scans whose precursor m/z is 0, are left out.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from typing import Any

from ._deps import missing
from .atomic import atomic_path
from .reading import Scan, StrPath, iter_scans, open_raw

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
    m/z to `dest` (TITLE, PEPMASS, CHARGE, RTINSECONDS, SCANS, then the
    peaks) and returns how many were written. `on_scan` is called once per
    scan of the file. The file appears under `dest` only when complete."""
    try:
        from pyteomics import mgf
    except ImportError as exc:
        raise missing(exc.name or "pyteomics", PURPOSE, "convert") from exc
    raw = os.fspath(raw)
    reader = open_raw(raw)
    stem = os.path.splitext(os.path.basename(raw))[0]
    written = 0

    def entries() -> Iterator[dict[str, Any]]:
        nonlocal written
        for scan in iter_scans(reader):
            if on_scan is not None:
                on_scan()
            entry = mgf_entry(scan, stem)
            if entry is not None:
                written += 1
                yield entry

    with atomic_path(dest) as tmp, open(tmp, "w", encoding="utf-8", newline="\n") as fh:
        mgf.write(entries(), output=fh, fragment_format=FRAGMENT_FORMAT, write_charges=False,
                  use_numpy=True)
    return written
