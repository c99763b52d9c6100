"""QC metrics: a run's series for the people who look at a run before they
search it.

`run_qc(path)` reads one file in one walk (each trailer and peak list once)
and returns a picklable `RunQC`, so a pool of worker processes can compute
a batch; the functions below derive the report's series from it.
"""

from __future__ import annotations

import math
import os
import re
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ..base.deps import missing
from ..base.paths import StrPath, as_path, sha256_file
from ..base.text import file_text
from ..source.mzpeak import is_mzpeak, open_mzpeak
from ..source.raw import ChangedWhileRead
from ..source.scans import (
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
from .info import FileInfo, mzpeak_info

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro report"
#: chromatographic peak widths (seconds) whose sampling the report states
PEAK_WIDTHS = (10.0, 20.0, 30.0)
#: trailer keys shown by their own plots; every other varying key gets a table or plot
SHOWN_ELSEWHERE = frozenset({INJECTION_TIME, MASTER_SCAN, CHARGE_STATE, MONOISOTOPIC_MZ, PRECURSOR_MASS, MS_ORDER})
#: a varying numeric trailer field with more distinct values than this is plotted, not tabled
TABLE_LIMIT = 8
#: the most values a trailer field's table lists
TABLE_ROWS = 12
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


# -- series computed from a RunQC -------------------------------------------


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


#: the fewest runs among which a value can stand out
ODD_MIN_RUNS = 5
#: robust standard deviations from the median, and relative distance from it, beyond which a value stands out
ODD_SIGMAS = 3.5
ODD_RELATIVE = 0.10


def odd_cells(values: Sequence[float], *, log: bool = False) -> list[bool]:
    """Which values stand out of the batch: with at least ODD_MIN_RUNS
    finite values, those more than ODD_SIGMAS robust standard deviations
    (1.4826 × the median absolute deviation) from the median, on a log
    scale with `log`, that also differ from the median by more than
    ODD_RELATIVE of it: a spread of a few per cent is no outlier however
    tight the batch."""
    np = numpy_module()
    raw = np.asarray(values, dtype=float)
    ok = np.isfinite(raw) & ((raw > 0) if log else True)
    if ok.sum() < ODD_MIN_RUNS:
        return [False] * len(raw)
    scaled = np.log10(np.where(ok, raw, 1.0)) if log else raw
    median = float(np.median(scaled[ok]))
    mad = 1.4826 * float(np.median(np.abs(scaled[ok] - median)))
    centre = float(np.median(raw[ok]))
    out = []
    for v, s, good in zip(raw, scaled, ok):
        far = abs(s - median) > ODD_SIGMAS * mad if mad > 0 else s != median
        relative = abs(v - centre) > ODD_RELATIVE * abs(centre) if centre else v != 0
        out.append(bool(good and far and relative))
    return out


# -- QC metrics named by PSI-MS terms ------------------------------------------

#: A metric's value: a number, an n-tuple, or a table (column accession -> values).
MetricValue = int | float | list[float] | dict[str, list[Any]]


def _quartiles(values: NDArray[np.float64]) -> list[float]:
    np = numpy_module()
    return [float(v) for v in np.quantile(values, [0.25, 0.5, 0.75])]


def _sigma(values: NDArray[np.float64]) -> float:
    return float(numpy_module().std(values, ddof=1)) if len(values) > 1 else 0.0


def qc_metrics(run: RunQC) -> dict[str, MetricValue]:
    """The run's metrics that have a PSI-MS term, by accession, computed as
    the report computes its figures (a metric the run gives no value for is
    left out: no MS1 cycles, no MS2 scans)."""
    np = numpy_module()
    out: dict[str, MetricValue] = {}
    levels = scans_per_level(run)
    out["MS:4000059"] = levels.get(1, 0)
    out["MS:4000060"] = levels.get(2, 0)
    rt = run.rt[np.isfinite(run.rt)]
    if len(rt):
        out["MS:4000067"] = float(rt.max() - rt.min()) * 60.0
        out["MS:4000070"] = [float(rt.min()) * 60.0, float(rt.max()) * 60.0]
    for level, acc in ((1, "MS:4000099"), (2, "MS:4000100"), (3, "MS:4000101")):
        if level in levels:
            out[acc] = int(((run.ms_level == level) & (run.tic == 0)).sum())
    seconds = cycles(run).seconds
    if len(seconds):
        out["MS:4000192"] = float(np.median(seconds))
        if seconds.min() > 0:
            out["MS:4000065"] = 1.0 / float(seconds.min())
            out["MS:4000095"] = 1.0 / float(seconds.max())
    if len(run.tic):
        out["MS:4000204"] = float(run.tic.max())
        out["MS:4000202"] = float(run.base_peak.max())
    ms1 = run.ms_level == 1
    if ms1.any():
        out["MS:4000211"] = {"MS:1000285": run.tic[ms1].tolist(), "UO:0000010": (run.rt[ms1] * 60.0).tolist()}
    for level, (quartiles, mean, sigma) in (
        (1, ("MS:4000131", "MS:4000132", "MS:4000133")),
        (2, ("MS:4000136", "MS:4000137", "MS:4000138")),
    ):
        it = run.injection_time[(run.ms_level == level) & np.isfinite(run.injection_time)]
        if len(it):
            out[quartiles] = _quartiles(it)
            out[mean] = float(it.mean())
            out[sigma] = _sigma(it)
    charges = run.charge[run.ms_level == 2]
    if len(charges):
        counts = Counter(int(c) for c in charges.tolist())
        known = sorted(c for c in counts if c > 0)
        out["MS:4000063"] = {"MS:1000041": known, "UO:0000191": [counts[c] / len(charges) for c in known]}
        if counts.get(0):
            out["MS:4000064"] = {"MS:1000041": [0], "UO:0000191": [counts[0] / len(charges)]}
        stated = charges[charges > 0]
        if len(stated):
            out["MS:4000173"] = float(stated.mean())
            out["MS:4000175"] = float(np.median(stated))
        if counts.get(2):
            for z, acc in ((1, "MS:4000167"), (3, "MS:4000169"), (4, "MS:4000171")):
                out[acc] = counts.get(z, 0) / counts[2]
    return out


#: Variance the principal components kept for the runs' outlier scores explain.
PCA_VARIANCE = 0.9


def outlier_scores(runs: Sequence[RunQC]) -> list[float]:
    """Each run's outlier score among `runs`: its median Euclidean distance
    to every other run in the space of the principal components (those
    explaining PCA_VARIANCE of the variance) of the runs' single-value
    metrics, each scaled robustly (median and median absolute deviation,
    standard deviation where that is 0; metrics constant over the batch or
    missing in a run left out). All 0 when the runs do not differ; NaN for
    fewer than three runs."""
    np = numpy_module()
    if len(runs) < 3:
        return [math.nan] * len(runs)
    metrics = [qc_metrics(r) for r in runs]
    keys = [k for k in metrics[0] if all(isinstance(m.get(k), (int, float)) for m in metrics)]
    table = np.array([[m[k] for k in keys] for m in metrics], dtype=np.float64).reshape(len(runs), len(keys))
    table = table[:, np.isfinite(table).all(axis=0)]
    centre = np.median(table, axis=0)
    spread = 1.4826 * np.median(np.abs(table - centre), axis=0)
    spread = np.where(spread > 0, spread, table.std(axis=0))
    varying = spread > 0
    if not varying.any():
        return [0.0] * len(runs)
    scaled = (table[:, varying] - centre[varying]) / spread[varying]
    scaled -= scaled.mean(axis=0)
    _, singular, axes = np.linalg.svd(scaled, full_matrices=False)
    total = float((singular**2).sum())
    if total == 0:
        return [0.0] * len(runs)
    explained = np.cumsum(singular**2) / total
    kept = int(np.searchsorted(explained, PCA_VARIANCE) + 1)
    scores = scaled @ axes[:kept].T
    distances = np.sqrt(((scores[:, None, :] - scores[None, :, :]) ** 2).sum(axis=2))
    return [float(np.median(np.delete(row, i))) for i, row in enumerate(distances)]
