"""Reading a run for QC: `run_qc(path)` reads one file in one walk (each
trailer and peak list once, the layout check over the same walk) into a
picklable `RunQC`, so that a pool of worker processes can read a batch;
a file that changed while it was read is refused. An mzPeak archive
vantoro wrote is read too (`mzpeak_qc`), from its spectra's metadata."""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ...base.deps import missing
from ...base.paths import StrPath, as_path, sha256_file
from ...base.text import file_text
from ...source.mzpeak import is_mzpeak, open_mzpeak
from ...source.raw import ChangedWhileRead
from ...source.scans import (
    CHARGE_STATE,
    INJECTION_TIME,
    MASTER_SCAN,
    MONOISOTOPIC_MZ,
    MS_ORDER,
    PRECURSOR_MASS,
    RECORD,
    ScanSource,
    TrailerValue,
)
from ..info import FileInfo, mzpeak_info

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro report"
#: trailer keys shown by their own plots; every other varying key gets a table or plot
SHOWN_ELSEWHERE = frozenset({INJECTION_TIME, MASTER_SCAN, CHARGE_STATE, MONOISOTOPIC_MZ, PRECURSOR_MASS, MS_ORDER})
# A maximum injection time in the instrument method: a key naming it (not a
# closing tag, not the end of a longer name), then a number.
_METHOD_MAX_IT = re.compile(
    r"(?<![/A-Za-z0-9])(?:max(?:imum)?[\s_.\-]*(?:ion[\s_\-]*)?inject(?:ion)?[\s_\-]*time|max[\s_\-]*it\b)",
    re.IGNORECASE,
)
_NUMBER_AFTER = re.compile(r"[^0-9<]{0,24}(?:<[^>]{0,40}>\s*)?([0-9]+(?:\.[0-9]+)?)")


def numpy_module() -> Any:
    try:
        import numpy
    except ImportError as exc:
        raise missing("numpy", PURPOSE, "report") from exc
    return numpy


@dataclass
class RunQC:
    """One run's facts and per-scan columns, as read; the series of the
    report are computed from them by the functions below."""

    info: FileInfo  #: the file's facts, status-log labels and warnings
    verdict: str  #: the layout check's verdict: "ok" or the reason
    layout: str | None
    layout_ok: bool  #: whether the run passed the layout check
    #: maximum injection times the instrument method states, in the order stated
    method_max_it: list[float]
    # Per-scan columns, in scan order.
    scan: NDArray[np.int64]
    rt: NDArray[np.float64]  #: minutes
    ms_level: NDArray[np.int64]
    injection_time: NDArray[np.float64]  #: ms
    master_scan: NDArray[np.int64]
    charge: NDArray[np.int64]
    monomz: NDArray[np.float64]
    precursor_mz: NDArray[np.float64]  #: NaN where the scan has no usable precursor
    has_peaks: NDArray[np.bool_]
    tic: NDArray[np.float64]
    base_peak: NDArray[np.float64]
    base_peak_mz: NDArray[np.float64]  #: NaN without peaks
    #: every other trailer key: its value per scan (None where absent)
    trailer: dict[str, list[TrailerValue | None]] = field(default_factory=dict)
    sha256: str | None = None  #: the file's SHA-256, when asked for

    @property
    def path(self) -> str:
        return self.info.path

    @property
    def name(self) -> str:
        return os.path.basename(self.info.path)

    @property
    def ok(self) -> bool:
        return self.layout_ok


def method_max_injection_times(method: str) -> list[float]:
    """The maximum injection times (ms) an instrument method's text states,
    in order: a key such as "MaxIT", "Maximum Injection Time (ms)" or
    <MaxIonInjectionTime>, followed closely by its number."""
    found = []
    for key in _METHOD_MAX_IT.finditer(method):
        number = _NUMBER_AFTER.match(method, key.end())
        if number is not None:
            found.append(float(number.group(1)))
    return found


def run_qc(path: StrPath, *, path_text: str | None = None, checksum: bool = False) -> RunQC:
    """Reads one run for the report: each scan's row, trailer and peak list
    once, the layout check over the same walk; with `checksum` also the
    file's SHA-256 (one more streaming read). Raises like `RawFileReader`,
    and NotRawFileError for a file of another format version. An mzPeak
    archive is read as well (`mzpeak_qc`)."""
    np = numpy_module()
    if is_mzpeak(path):
        return mzpeak_qc(path, checksum=checksum)
    before = _facts(as_path(path))
    source = ScanSource(as_path(path), on_failure=RECORD, path_text=path_text)
    reader = source.reader
    n = int(reader.num_scans)
    columns: dict[str, list[Any]] = {
        k: []
        for k in (
            "scan",
            "rt",
            "ms_level",
            "injection_time",
            "master_scan",
            "charge",
            "monomz",
            "precursor_mz",
            "has_peaks",
            "tic",
            "base_peak",
            "base_peak_mz",
        )
    }
    trailer: dict[str, list[TrailerValue | None]] = {}
    # Intensities that are not finite make a total that is not (inf - inf
    # is NaN): expected, and no NumPy warning for the user's terminal.
    with np.errstate(invalid="ignore", over="ignore"):
        for i, scan in enumerate(source.scans()):
            for key, value in scan.trailer.items():
                if key not in SHOWN_ELSEWHERE:
                    # Text fields as a person reads them: padding and stray bytes gone.
                    trailer.setdefault(key, [None] * n)[i] = file_text(value) if isinstance(value, str) else value
            tic, base, base_mz = 0.0, 0.0, math.nan
            if scan.mz is not None and scan.intensity is not None and len(scan.intensity):
                tic = float(scan.intensity.sum(dtype=np.float64))
                top = int(np.argmax(scan.intensity))
                base, base_mz = float(scan.intensity[top]), float(scan.mz[top])
            precursor = scan.precursor_mz
            for key, value in (
                ("scan", scan.number),
                ("rt", scan.rt),
                ("ms_level", scan.ms_level),
                ("injection_time", scan.injection_time),
                ("master_scan", scan.master_scan),
                ("charge", scan.charge),
                ("monomz", scan.monomz),
                ("precursor_mz", math.nan if precursor is None else precursor),
                ("has_peaks", scan.has_peaks),
                ("tic", tic),
                ("base_peak", base),
                ("base_peak_mz", base_mz),
            ):
                columns[key].append(value)
    verdict = source.verdict
    ints = ("scan", "ms_level", "master_scan", "charge")
    arrays = {
        k: np.array(v, dtype=np.int64 if k in ints else bool if k == "has_peaks" else np.float64)
        for k, v in columns.items()
    }
    sha256 = sha256_file(source.path) if checksum else None
    try:
        changed = _facts(source.path) != before
    except OSError:
        changed = True
    if changed:  # what was read is not the file: a run still being written
        raise ChangedWhileRead()
    return RunQC(
        info=FileInfo(
            path=source.path,
            version=int(reader.version),
            creation_date=str(reader.creation_date),
            num_scans=n,
            scans_with_peaks=int(arrays["has_peaks"].sum()),
            status_log_labels=[str(s) for s in reader.get_status_log_labels()],
            warnings=[str(s) for s in reader.get_error_logs()],
        ),
        verdict=str(verdict),
        layout=verdict.layout,
        layout_ok=verdict.ok,
        method_max_it=method_max_injection_times(str(reader.get_instrument_method(0))),
        trailer=trailer,
        sha256=sha256,
        **arrays,
    )


def mzpeak_qc(path: StrPath, *, checksum: bool = False) -> RunQC:
    """`run_qc` of an mzPeak archive converted by vantoro: its spectra (the
    RAW file's scans that had a peak list) with their metadata and the
    trailer fields the archive keeps, read without their peak lists (the
    totals and base peaks are in the metadata). The RAW file's logs and
    instrument method are not kept: none are shown. With `checksum`, the
    SHA-256 of the archive (a ZIP; None for a folder)."""
    np = numpy_module()
    info = mzpeak_info(path)
    with open_mzpeak(path) as archive:
        spectra = list(archive.spectra(peaks=False))
    n = len(spectra)

    def number(value: Any, default: float = math.nan) -> float:
        return default if value is None else float(value)

    def scan_of(text: Any) -> int:
        found = re.fullmatch(r"scan=(\d+)", str(text or ""))
        return int(found.group(1)) if found else 0

    trailer: dict[str, list[TrailerValue | None]] = {}
    for i, s in enumerate(spectra):
        for key, value in s["trailer"].items():
            if key not in SHOWN_ELSEWHERE and isinstance(value, (int, float, str)):
                trailer.setdefault(key, [None] * n)[i] = file_text(value) if isinstance(value, str) else value
    columns = {
        "scan": [scan_of(s["id"]) for s in spectra],
        "rt": [number(s["time"]) for s in spectra],
        "ms_level": [s["ms_level"] or 1 for s in spectra],
        "injection_time": [number(s["injection_time"]) for s in spectra],
        "master_scan": [scan_of(s.get("precursor_id")) for s in spectra],
        "charge": [s["charge"] or 0 for s in spectra],
        "monomz": [number(s["precursor_mz"], 0.0) for s in spectra],
        "precursor_mz": [number(s["precursor_mz"]) for s in spectra],
        "has_peaks": [True] * n,
        "tic": [number(s["total_ion_current"]) for s in spectra],
        "base_peak": [number(s["base_peak_intensity"], 0.0) for s in spectra],
        "base_peak_mz": [number(s["base_peak_mz"]) for s in spectra],
    }
    ints = ("scan", "ms_level", "master_scan", "charge")
    arrays = {
        k: np.array(v, dtype=np.int64 if k in ints else bool if k == "has_peaks" else np.float64)
        for k, v in columns.items()
    }
    return RunQC(
        info=FileInfo(
            path=info.path,
            version=info.version,
            creation_date=info.creation_date,
            num_scans=info.num_scans,
            scans_with_peaks=n,
            status_log_labels=[],
            warnings=[],
        ),
        verdict=info.layout_check,
        layout=None,
        layout_ok=info.layout_ok,
        method_max_it=[],
        trailer=trailer,
        sha256=sha256_file(info.path) if checksum and not os.path.isdir(info.path) else None,
        **arrays,
    )


def _facts(path: str) -> tuple[int, int]:
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns
