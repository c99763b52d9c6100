"""The QC report: a run's series for the people who look at a run before
they search it, and one self-contained HTML page for one run or a batch.

`run_qc(path)` reads one file in one walk (each trailer and peak list once)
and returns a picklable `RunQC`, so a pool of worker processes can compute
a batch; `report_html(runs)` turns any number of them into the page, whose
plots are drawn by a small script inlined in it (no network, no package).
"""

from __future__ import annotations

import datetime as dt
import html
import json
import math
import os
import re
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from importlib import resources
from typing import TYPE_CHECKING, Any

from ._deps import missing
from .atomic import OutputError, atomic_path
from .info import FileInfo
from .reading import StrPath, TrailerValue, open_raw, read_peaks
from .reading import ms_level as trailer_ms_level

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro report"
#: chromatographic peak widths (seconds) whose sampling the report states
PEAK_WIDTHS = (10.0, 20.0, 30.0)
#: trailer keys shown by their own plots; every other varying key gets a table or plot
SHOWN_ELSEWHERE = frozenset({"Ion Injection Time (ms)", "Master Scan Number", "Charge State",
                             "Monoisotopic M/Z", "Precursor Mass", "MS Order"})
#: a varying numeric trailer field with more distinct values than this is plotted, not tabled
TABLE_LIMIT = 8
#: the most values a trailer field's table lists
TABLE_ROWS = 12
# A maximum injection time in the instrument method: a key naming it (not a
# closing tag, not the end of a longer name), then a number.
_METHOD_MAX_IT = re.compile(
    r"(?<![/A-Za-z0-9])(?:max(?:imum)?[\s_.\-]*(?:ion[\s_\-]*)?inject(?:ion)?[\s_\-]*time|max[\s_\-]*it\b)",
    re.IGNORECASE)
_NUMBER_AFTER = re.compile(r"[^0-9<]{0,24}(?:<[^>]{0,40}>\s*)?([0-9]+(?:\.[0-9]+)?)")


def _numpy() -> Any:
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
    has_peaks: NDArray[np.bool_]
    tic: NDArray[np.float64]
    base_peak: NDArray[np.float64]
    base_peak_mz: NDArray[np.float64]  #: NaN without peaks
    #: every other trailer key: its value per scan (None where absent)
    trailer: dict[str, list[TrailerValue | None]] = field(default_factory=dict)

    @property
    def path(self) -> str:
        return self.info.path

    @property
    def name(self) -> str:
        return os.path.basename(self.info.path)

    @property
    def ok(self) -> bool:
        return self.verdict == "ok"


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


def run_qc(path: StrPath) -> RunQC:
    """Reads one run for the report: each scan's row, trailer and peak list
    once, the layout check over the same walk. Raises like `open_raw`."""
    from .check import LayoutCheck

    np = _numpy()
    path = os.fspath(path)
    reader = open_raw(path)
    check = LayoutCheck(path, reader)
    rows = reader.list_spectra()
    n = len(rows)
    level = np.ones(n, dtype=np.int64)
    has_peaks = np.zeros(n, dtype=bool)
    tic = np.zeros(n)
    base = np.zeros(n)
    base_mz = np.full(n, np.nan)
    trailer: dict[str, list[TrailerValue | None]] = {}
    for i, row in enumerate(rows):
        number = int(row["scan_number"])
        extra: dict[str, TrailerValue] = {k: v for k, v in reader.get_trailer_extra(number).items()
                                          if isinstance(v, (int, float, str))}
        level[i] = trailer_ms_level(extra)
        for key, value in extra.items():
            if key not in SHOWN_ELSEWHERE:
                trailer.setdefault(key, [None] * n)[i] = value
        found = read_peaks(reader, number)
        if found is None:
            continue
        mz, inten = found
        has_peaks[i] = True
        if check.ok:
            check.scan(number, float(row["rt"]), mz)
        if len(inten):
            tic[i] = float(inten.sum(dtype=np.float64))
            top = int(np.argmax(inten))
            base[i], base_mz[i] = float(inten[top]), float(mz[top])
    verdict = check.verdict
    return RunQC(
        info=FileInfo(path=path, version=int(reader.version), creation_date=str(reader.creation_date),
                      num_scans=int(reader.num_scans), scans_with_peaks=int(has_peaks.sum()),
                      status_log_labels=[str(s) for s in reader.get_status_log_labels()],
                      warnings=[str(s) for s in reader.get_error_logs()]),
        verdict=str(verdict), layout=verdict.layout,
        method_max_it=method_max_injection_times(str(reader.get_instrument_method(0))),
        scan=np.array([int(r["scan_number"]) for r in rows], dtype=np.int64),
        rt=np.array([float(r["rt"]) for r in rows], dtype=np.float64), ms_level=level,
        injection_time=np.array([float(r["injection_time"]) for r in rows], dtype=np.float64),
        master_scan=np.array([int(r["master_scan"]) for r in rows], dtype=np.int64),
        charge=np.array([int(r["charge"]) for r in rows], dtype=np.int64),
        monomz=np.array([float(r["monomz"]) for r in rows], dtype=np.float64),
        has_peaks=has_peaks, tic=tic, base_peak=base, base_peak_mz=base_mz, trailer=trailer)


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
        np = _numpy()
        if not len(self.seconds):
            return math.nan, math.nan
        median, longest = float(np.median(self.seconds)), float(self.seconds.max())
        return (width / median if median > 0 else math.inf), (width / longest if longest > 0 else math.inf)


def cycles(run: RunQC) -> Cycles:
    np = _numpy()
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
    chosen = (run.ms_level >= 2) & (run.monomz > 0) & _numpy().isfinite(run.monomz)
    return run.rt[chosen], run.monomz[chosen]


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


# -- the page -----------------------------------------------------------------

def _num(value: float, digits: int = 5) -> float | None:
    """A JSON-safe float with `digits` significant digits (None for NaN or infinity)."""
    if not math.isfinite(value):
        return None
    return float(f"{value:.{digits}g}")


def _nums(values: Iterable[float], digits: int = 5) -> list[float | None]:
    return [_num(float(v), digits) for v in values]


def _rt(values: Iterable[float]) -> list[float | None]:
    return [None if not math.isfinite(float(v)) else round(float(v), 4) for v in values]


def _value_text(value: TrailerValue | None) -> str:
    """A trailer value for a table: floats to 7 significant digits (a widened
    single-precision value shows as stored), control characters escaped."""
    if value is None:
        return "(absent)"
    if isinstance(value, float):
        return f"{value:.7g}"
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in str(value))


def _fmt(value: float | None, digits: int = 3) -> str:
    if value is None or not math.isfinite(value):
        return "–"
    return f"{value:.{digits}g}" if abs(value) < 1e5 else f"{value:.3e}"


class _Page:
    """Collects figure specifications (drawn by the inlined script) and HTML."""

    def __init__(self) -> None:
        self.figures: list[dict[str, Any]] = []
        self.parts: list[str] = []

    def add(self, text: str) -> None:
        self.parts.append(text)

    def figure(self, spec: dict[str, Any], wide: bool = False) -> None:
        self.figures.append(spec)
        cls = "fig wide" if wide else "fig"
        self.add(f'<div class="{cls}" data-fig="{len(self.figures) - 1}">'
                 f'<div class="ftitle">{html.escape(spec["title"])}</div></div>')


def _table(head: Sequence[str], rows: Iterable[Sequence[str]], classes: Sequence[Sequence[str]] = ()) -> str:
    out = ["<table><tr>", *(f"<th>{html.escape(h)}</th>" for h in head), "</tr>"]
    for r, row in enumerate(rows):
        out.append("<tr>")
        for c, cell in enumerate(row):
            cls = classes[r][c] if r < len(classes) and c < len(classes[r]) else ""
            out.append(f'<td class="{cls}">{html.escape(cell)}</td>' if cls else f"<td>{html.escape(cell)}</td>")
        out.append("</tr>")
    out.append("</table>")
    return "".join(out)


def summary_row(run: RunQC) -> dict[str, float | str]:
    """The comparison table's numbers for one run."""
    np = _numpy()
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
        "warnings": float(len(run.info.warnings)),
        "layout check": run.verdict,
    }


LOG_COLUMNS = frozenset({"max TIC"})


def _log(value: float) -> float:
    return math.log10(value) if value > 0 else math.nan


def odd_cells(values: Sequence[float]) -> list[bool]:
    """Which values stand out of the batch: more than 3.5 robust standard
    deviations (1.4826 × the median absolute deviation) from the median."""
    np = _numpy()
    arr = np.asarray(values, dtype=float)
    finite = arr[np.isfinite(arr)]
    if len(finite) < 3:
        return [False] * len(arr)
    median = float(np.median(finite))
    mad = 1.4826 * float(np.median(np.abs(finite - median)))
    if mad == 0:
        return [bool(np.isfinite(v) and v != median) for v in arr]
    return [bool(np.isfinite(v) and abs(v - median) > 3.5 * mad) for v in arr]


def _comparison(page: _Page, runs: Sequence[RunQC]) -> None:
    page.add('<section id="compare"><h2>Comparison of %d runs</h2>' % len(runs))
    rows = [summary_row(r) for r in runs]
    head = list(rows[0])
    numeric = [k for k in head if isinstance(rows[0][k], float)]
    # Intensities spread over decades: judged on a log scale.
    flags = {k: odd_cells([_log(float(r[k])) if k in LOG_COLUMNS else float(r[k]) for r in rows])
             for k in numeric}
    cells, classes = [], []
    for i, r in enumerate(rows):
        cells.append([str(v) if isinstance(v, str) else _fmt(v, 4) for v in r.values()])
        classes.append(["odd" if (k in flags and flags[k][i]) or (k == "layout check" and r[k] != "ok") else ""
                        for k in head])
    # Each run's name links to its section.
    table = _table(head, cells, classes)
    for i, run in enumerate(runs):
        name = html.escape(run.name)
        table = table.replace(f"<tr><td>{name}</td>", f'<tr><td><a href="#run{i}">{name}</a></td>', 1)
    page.add('<p class="note">Highlighted: a value far from the batch median (more than 3.5 robust '
             'standard deviations), or a failed layout check.</p>')
    page.add(f'<div class="tablewrap">{table}</div><div class="grid">')
    names = [r.name for r in runs]
    ms1 = [r.ms_level == 1 for r in runs]
    page.figure({"title": "TIC (MS1), every run", "type": "line", "x": "retention time (min)",
                 "y": "intensity", "series": [{"name": n, "x": _rt(r.rt[m]), "y": _nums(r.tic[m])}
                                              for n, r, m in zip(names, runs, ms1)]}, wide=True)
    page.figure({"title": "Base peak (MS1), every run", "type": "line", "x": "retention time (min)",
                 "y": "intensity", "series": [{"name": n, "x": _rt(r.rt[m]), "y": _nums(r.base_peak[m])}
                                              for n, r, m in zip(names, runs, ms1)]}, wide=True)
    cyc = [cycles(r) for r in runs]
    page.figure({"title": "Cycle time, every run", "type": "line", "x": "retention time (min)",
                 "y": "cycle time (s)", "series": [{"name": n, "x": _rt(c.rt[:-1]), "y": _nums(c.seconds)}
                                                   for n, c in zip(names, cyc)]})
    page.figure({"title": "MSn scans per MS1 cycle, every run", "type": "line", "step": True,
                 "x": "retention time (min)", "y": "MSn scans",
                 "series": [{"name": n, "x": _rt(c.rt), "y": c.msn.tolist()} for n, c in zip(names, cyc)]})
    page.add("</div></section>")


def _run_section(page: _Page, index: int, run: RunQC) -> None:
    np = _numpy()
    name = html.escape(run.name)
    page.add(f'<section id="run{index}"><h2>{name}</h2>')
    if not run.ok:
        page.add(f'<p class="bad">Layout check failed: {html.escape(run.verdict)}. '
                 'The values below may not describe the file.</p>')
    info = run.info
    created = info.created
    levels = scans_per_level(run)
    facts = [("file", info.path), ("format version", str(info.version)),
             ("created (UTC)", created.strftime("%Y-%m-%d %H:%M:%S") if created else info.creation_date),
             ("scans", str(info.num_scans)), ("scans with a peak list", str(info.scans_with_peaks)),
             ("scans per MS level", ", ".join(f"MS{k}: {v}" for k, v in levels.items())),
             ("layout", run.layout or "none"), ("layout check", run.verdict)]
    page.add('<div class="facts">' + _table(["fact", "value"], facts))
    for title, items in (("Status-log labels", info.status_log_labels), ("Warnings", info.warnings)):
        body = "".join(f"<li>{html.escape(_value_text(s))}</li>" if s.strip() else
                       "<li class='blank'>(blank)</li>" for s in items) or "<li class='none'>none</li>"
        page.add(f"<div><h4>{title} ({len(items)})</h4><ul>{body}</ul></div>")
    c = cycles(run)
    ppp = [(w, *c.points_per_peak(w)) for w in PEAK_WIDTHS]
    page.add(_table(["peak width", "points per peak (median cycle)", "(longest cycle)"],
                    [(f"{w:g} s", _fmt(a), _fmt(b)) for w, a, b in ppp]))
    varying, constant = varying_trailer(run)
    if constant:
        page.add(_table(["trailer field (same in every scan)", "value"],
                        [(k, _value_text(v)) for k, v in constant.items()]))
    page.add('</div><div class="grid">')

    ms1 = run.ms_level == 1
    x1 = _rt(run.rt[ms1])
    page.figure({"title": "TIC (MS1)", "type": "line", "x": "retention time (min)", "y": "intensity",
                 "series": [{"name": "TIC", "x": x1, "y": _nums(run.tic[ms1])}]})
    page.figure({"title": "Base peak (MS1)", "type": "line", "x": "retention time (min)", "y": "intensity",
                 "series": [{"name": "base peak", "x": x1, "y": _nums(run.base_peak[ms1]),
                             "extra": _nums(run.base_peak_mz[ms1], 7), "extraName": "m/z"}]})
    page.figure({"title": "Scans per MS level", "type": "bars", "x": "MS level", "y": "scans",
                 "series": [{"name": "scans", "x": list(levels), "y": list(levels.values())}],
                 "ticks": [[k, f"MS{k}"] for k in levels]})
    page.figure({"title": "MSn scans per MS1 cycle (top N reached)", "type": "line", "step": True,
                 "x": "retention time (min)", "y": "MSn scans",
                 "series": [{"name": "MSn per cycle", "x": _rt(c.rt), "y": c.msn.tolist()}]})
    page.figure({"title": "Cycle time", "type": "points", "x": "retention time (min)", "y": "seconds",
                 "series": [{"name": "cycle time", "x": _rt(c.rt[:-1]), "y": _nums(c.seconds)}],
                 "hlines": [{"y": _num(w / 10.0), "label": f"10 points per {w:g} s peak"} for w in PEAK_WIDTHS]})
    limits = injection_time_limits(run)
    page.figure({"title": "Injection time per MS level", "type": "points", "x": "retention time (min)",
                 "y": "ms", "series": [{"name": f"MS{k}", "x": _rt(run.rt[run.ms_level == k]),
                                        "y": _nums(run.injection_time[run.ms_level == k])} for k in levels],
                 "hlines": [{"y": _num(v), "label": f"MS{k} {how} {v:.3g} ms", "series": i}
                            for i, (k, (v, how)) in enumerate(limits.items())]})
    charges = precursor_charges(run)
    if charges:
        page.figure({"title": "Precursor charge states (MSn scans)", "type": "bars", "x": "charge",
                     "y": "scans", "series": [{"name": "scans", "x": list(charges), "y": list(charges.values())}],
                     "ticks": [[k, "none" if k == 0 else f"{k}+"] for k in charges]})
    else:
        _placeholder(page, "Precursor charge states", "No MSn scans.")
    prt, pmz = precursors(run)
    if len(pmz):
        hist, edges = np.histogram(pmz, bins=min(40, max(5, len(pmz) // 3)))
        page.figure({"title": "Precursor m/z histogram", "type": "hist", "x": "precursor m/z", "y": "MSn scans",
                     "series": [{"name": "scans", "x": _nums(edges, 7), "y": hist.tolist()}]})
        grid, xe, ye = np.histogram2d(prt, pmz, bins=(min(40, max(4, len(pmz) // 4)), 30))
        page.figure({"title": "Precursor m/z over retention time (density)", "type": "heat",
                     "x": "retention time (min)", "y": "precursor m/z",
                     "heat": {"x": _nums(xe, 7), "y": _nums(ye, 7), "z": grid.T.astype(int).tolist()},
                     "series": [{"name": "precursors", "x": _rt(prt), "y": _nums(pmz, 7)}]})
    else:
        _placeholder(page, "Precursors", "No MSn scan states a precursor m/z.")
    for key, values in varying.items():
        _trailer_field(page, run, key, values)
    page.add("</div></section>")


def _placeholder(page: _Page, title: str, text: str) -> None:
    page.add(f'<div class="fig empty"><div class="ftitle">{html.escape(title)}</div><p>{html.escape(text)}</p></div>')


def _trailer_field(page: _Page, run: RunQC, key: str, values: list[TrailerValue | None]) -> None:
    distinct = {v for v in values if v is not None}
    numeric = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in distinct)
    if numeric and len(distinct) > TABLE_LIMIT:
        series = []
        for level in scans_per_level(run):
            idx = [i for i in range(len(values)) if run.ms_level[i] == level and values[i] is not None]
            series.append({"name": f"MS{level}", "x": _rt(run.rt[idx]),
                           "y": _nums([float(values[i]) for i in idx])})  # type: ignore[arg-type]
        page.figure({"title": f"Trailer: {key}", "type": "points", "x": "retention time (min)", "y": key,
                     "series": series})
        return
    counts: Counter[tuple[int, TrailerValue | None]] = Counter(zip(run.ms_level.tolist(), values))
    levels = list(scans_per_level(run))
    keys = sorted(distinct, key=lambda v: (str(type(v)), v)) + ([None] if None in values else [])
    rows = [[_value_text(v), *(str(counts.get((lv, v), 0)) for lv in levels)]
            for v in keys[:TABLE_ROWS]]
    if len(keys) > TABLE_ROWS:
        rows.append([f"… {len(keys) - TABLE_ROWS} more values", *("" for _ in levels)])
    page.add(f'<div class="fig table"><div class="ftitle">Trailer: {html.escape(key)}</div>'
             + _table(["value", *(f"MS{lv} scans" for lv in levels)], rows) + "</div>")


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def report_html(runs: Sequence[RunQC], failed: Sequence[tuple[str, str]] = (), *,
                title: str = "vantoro QC report") -> str:
    """The report page for `runs` (and a list of inputs that could not be
    read, with why): one HTML text with its script, style and data inline."""
    from .version import tool_version

    page = _Page()
    now = dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    page.add(f"<header><h1>{html.escape(title)}</h1><p>{len(runs)} run(s), written {now} by vantoro "
             f"{html.escape(tool_version())}. Drag across a plot to zoom, double-click to reset; "
             "hover for values; click a legend entry to hide its line.</p>")
    if failed:
        page.add('<div class="bad"><h4>Not read</h4><ul>' + "".join(
            f"<li>{html.escape(p)}: {html.escape(why)}</li>" for p, why in failed) + "</ul></div>")
    if len(runs) > 1:
        page.add("<nav>" + " · ".join(f'<a href="#run{i}">{html.escape(r.name)}</a>'
                                      for i, r in enumerate(runs)) + "</nav>")
    page.add("</header>")
    if len(runs) > 1:
        _comparison(page, runs)
    for i, run in enumerate(runs):
        _run_section(page, i, run)
    # "<" escaped so that no text in the data can close the script element.
    data = json.dumps(page.figures, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">"
            f"<title>{html.escape(title)}</title><style>{_asset('report.css')}</style></head><body>"
            + "".join(page.parts)
            + f'<script type="application/json" id="qc-data">{data}</script>'
            + f"<script>{_asset('report.js')}</script></body></html>\n")


def write_report(runs: Sequence[RunQC], dest: StrPath, failed: Sequence[tuple[str, str]] = ()) -> int:
    """Writes the report to `dest` (whole or not at all) and returns its
    size in bytes. Raises OutputError when it cannot be written."""
    text = report_html(runs, failed).encode("utf-8")
    with atomic_path(dest) as tmp:
        try:
            with open(tmp, "wb") as f:
                f.write(text)
        except OSError as exc:
            raise OutputError(dest, exc) from exc
    return len(text)


@dataclass(frozen=True)
class Gathered:
    runs: list[RunQC]
    failed: list[tuple[str, str]]  #: (input, why it could not be read)


def gather(paths: Sequence[str], *, jobs: int = 1, progress: bool = False,
           on_failure: Callable[[str, str], None] | None = None) -> Gathered:
    """`run_qc` for every path, on `jobs` worker processes when more than
    one, results in the order of `paths`."""
    from .reading import describe_failure

    results: dict[str, RunQC] = {}
    failed: dict[str, str] = {}
    bar = _progress_bar(len(paths), progress)

    def done(path: str, get: Callable[[], RunQC]) -> None:
        try:
            results[path] = get()
        except Exception as exc:  # noqa: BLE001  (reported, the other runs go on)
            failed[path] = describe_failure(path, exc)
            if on_failure is not None:
                on_failure(path, failed[path])
        if bar is not None:
            bar.update(1)

    try:
        if jobs <= 1 or len(paths) <= 1:
            for path in paths:
                done(path, lambda p=path: run_qc(p))  # type: ignore[misc]
        else:
            from .batch import run_pool

            run_pool(run_qc, [(p, (p,)) for p in paths], min(jobs, len(paths)), done,
                     preload=[__name__])
    finally:
        if bar is not None:
            bar.close()
    return Gathered([results[p] for p in paths if p in results],
                    [(p, failed[p]) for p in paths if p in failed])


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled or total < 2:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="run", desc="vantoro report", leave=False)
