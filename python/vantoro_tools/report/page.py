"""The QC report page: one self-contained HTML file for one run or a batch,
whose plots are drawn by a small script inlined in it (no network, no
package) from the figure descriptions the page carries as JSON."""

from __future__ import annotations

import datetime as dt
import html
import json
import math
from collections import Counter
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any

from ..analyse.control import RULES
from ..analyse.qc import (
    LOG_COLUMNS,
    ODD_MIN_RUNS,
    ODD_RELATIVE,
    ODD_SIGMAS,
    PEAK_WIDTHS,
    TABLE_LIMIT,
    TABLE_ROWS,
    Cycles,
    RunQC,
    cycles,
    injection_time_limits,
    numpy_module,
    odd_cells,
    precursor_charges,
    precursors,
    scans_per_level,
    summary_row,
    varying_trailer,
)
from ..base.paths import StrPath, display_names
from ..base.text import file_text, readable
from ..base.version import tool_version
from ..source.scans import TrailerValue
from ..write.output import OutputError, output_file
from .history import Baseline, Chart


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
    return file_text(str(value))


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
        self.add(
            f'<div class="{cls}" data-fig="{len(self.figures) - 1}">'
            f'<div class="ftitle">{html.escape(spec["title"])}</div></div>'
        )


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


def _comparison(page: _Page, runs: Sequence[RunQC], names: Sequence[str]) -> None:
    page.add(f'<section id="compare"><h2>Comparison of {len(runs)} runs</h2>')
    rows = [{**summary_row(r), "run": name} for r, name in zip(runs, names)]
    head = list(rows[0])
    numeric = [k for k in head if isinstance(rows[0][k], float)]
    # Intensities spread over decades: judged on a log scale.
    flags = {k: odd_cells([float(r[k]) for r in rows], log=k in LOG_COLUMNS) for k in numeric}
    cells, classes = [], []
    for i, (r, run) in enumerate(zip(rows, runs)):
        cells.append([str(v) if isinstance(v, str) else _fmt(v, 4) for v in r.values()])
        classes.append(
            ["odd" if (k in flags and flags[k][i]) or (k == "layout check" and not run.ok) else "" for k in head]
        )
    # Each run's name links to its section.
    table = _table(head, cells, classes)
    for i, name in enumerate(names):
        name = html.escape(name)
        table = table.replace(f"<tr><td>{name}</td>", f'<tr><td><a href="#run{i}">{name}</a></td>', 1)
    page.add(
        f'<p class="note">Highlighted: a failed layout check, and with {ODD_MIN_RUNS} runs or more a value far '
        f"from the batch median: more than {ODD_SIGMAS:g} robust standard deviations (1.4826 × the median "
        f"absolute deviation; for intensities on a log scale) and more than {ODD_RELATIVE:.0%} of the median "
        "away from it.</p>"
    )
    page.add(f'<div class="tablewrap">{table}</div><div class="grid">')
    ms1 = [r.ms_level == 1 for r in runs]
    page.figure(
        {
            "title": "TIC (MS1), every run",
            "type": "line",
            "x": "retention time (min)",
            "y": "intensity (a.u.)",
            "series": [{"name": n, "x": _rt(r.rt[m]), "y": _nums(r.tic[m])} for n, r, m in zip(names, runs, ms1)],
        },
        wide=True,
    )
    page.figure(
        {
            "title": "Base peak (MS1), every run",
            "type": "line",
            "x": "retention time (min)",
            "y": "intensity (a.u.)",
            "series": [{"name": n, "x": _rt(r.rt[m]), "y": _nums(r.base_peak[m])} for n, r, m in zip(names, runs, ms1)],
        },
        wide=True,
    )
    cyc = [cycles(r) for r in runs]
    page.figure(
        {
            "title": "Cycle time, every run",
            "type": "line",
            "x": "retention time (min)",
            "y": "cycle time (s)",
            "series": [{"name": n, "x": _rt(c.rt[:-1]), "y": _nums(c.seconds)} for n, c in zip(names, cyc)],
        }
    )
    page.figure(
        {
            "title": "MSn scans per MS1 cycle, every run",
            "type": "line",
            "step": True,
            "x": "retention time (min)",
            "y": "MSn scans (count)",
            "series": [{"name": n, "x": _rt(c.rt), "y": c.msn.tolist()} for n, c in zip(names, cyc)],
        }
    )
    page.add("</div></section>")


def _run_section(page: _Page, index: int, run: RunQC, label: str) -> None:
    """One run's part of the page: its facts, then a grid of its charts (its
    chromatograms, how it was acquired, its precursors) and of the trailer
    fields that vary from scan to scan."""
    page.add(f'<section id="run{index}"><h2>{html.escape(label)}</h2>')
    if not run.ok:
        page.add(
            f'<p class="bad">Layout check failed: {html.escape(run.verdict)}. '
            "The values below may not describe the file.</p>"
        )
    levels = scans_per_level(run)
    cycle = cycles(run)
    varying, constant = varying_trailer(run)
    _run_facts(page, run, levels, cycle, constant)
    page.add('<div class="grid">')
    _chromatogram_charts(page, run)
    _acquisition_charts(page, run, levels, cycle)
    _precursor_charts(page, run)
    for key, values in varying.items():
        _trailer_field(page, run, key, values)
    page.add("</div></section>")


def _run_facts(
    page: _Page, run: RunQC, levels: dict[int, int], cycle: Cycles, constant: dict[str, TrailerValue]
) -> None:
    """The facts of a run: the file, its scans and layout and the check's
    verdict; its status-log labels and warnings; points per chromatographic
    peak; the trailer fields that are the same in every scan."""
    info = run.info
    created = info.created
    facts = [
        ("file", info.path),
        ("format version", str(info.version)),
        ("created (UTC)", created.strftime("%Y-%m-%d %H:%M:%S") if created else info.creation_date),
        ("scans", str(info.num_scans)),
        ("scans with a peak list", str(info.scans_with_peaks)),
        ("scans without one the reader finds", str(info.num_scans - (info.scans_with_peaks or 0))),
        ("scans per MS level", ", ".join(f"MS{k}: {v}" for k, v in levels.items())),
        ("layout", run.layout or "none"),
        ("layout check", run.verdict),
    ]
    page.add('<div class="facts">' + _table(["fact", "value"], facts))
    for title, found in (("Status-log labels", info.status_log_labels), ("Warnings", info.warnings)):
        items = [t for t in (file_text(s) for s in found or ()) if t]  # blank ones left out
        body = "".join(f"<li>{html.escape(t)}</li>" for t in items) or "<li class='none'>none</li>"
        page.add(f"<div><h4>{title} ({len(items)})</h4><ul>{body}</ul></div>")
    ppp = [(w, *cycle.points_per_peak(w)) for w in PEAK_WIDTHS]
    page.add(
        _table(
            ["peak width", "points per peak (median cycle)", "(longest cycle)"],
            [(f"{w:g} s", _fmt(a), _fmt(b)) for w, a, b in ppp],
        )
    )
    if constant:
        page.add(
            _table(["trailer field (same in every scan)", "value"], [(k, _value_text(v)) for k, v in constant.items()])
        )
    page.add("</div>")


def _chromatogram_charts(page: _Page, run: RunQC) -> None:
    """The total ion current and the base peak of the MS1 scans."""
    ms1 = run.ms_level == 1
    x1 = _rt(run.rt[ms1])
    page.figure(
        {
            "title": "TIC (MS1)",
            "type": "line",
            "x": "retention time (min)",
            "y": "intensity (a.u.)",
            "series": [{"name": "TIC", "x": x1, "y": _nums(run.tic[ms1])}],
        }
    )
    page.figure(
        {
            "title": "Base peak (MS1)",
            "type": "line",
            "x": "retention time (min)",
            "y": "intensity (a.u.)",
            "series": [
                {
                    "name": "base peak",
                    "x": x1,
                    "y": _nums(run.base_peak[ms1]),
                    "extra": _nums(run.base_peak_mz[ms1], 7),
                    "extraName": "m/z",
                }
            ],
        }
    )


def _acquisition_charts(page: _Page, run: RunQC, levels: dict[int, int], cycle: Cycles) -> None:
    """How the run was acquired: scans per MS level, MSn scans per cycle,
    cycle time, and injection time per MS level with its limits."""
    page.figure(
        {
            "title": "Scans per MS level",
            "type": "bars",
            "x": "MS level",
            "y": "scans (count)",
            "series": [{"name": "scans", "x": list(levels), "y": list(levels.values())}],
            "ticks": [[k, f"MS{k}"] for k in levels],
        }
    )
    page.figure(
        {
            "title": "MSn scans per MS1 cycle (top N reached)",
            "type": "line",
            "step": True,
            "x": "retention time (min)",
            "y": "MSn scans (count)",
            "series": [{"name": "MSn per cycle", "x": _rt(cycle.rt), "y": cycle.msn.tolist()}],
        }
    )
    page.figure(
        {
            "title": "Cycle time",
            "type": "points",
            "x": "retention time (min)",
            "y": "cycle time (s)",
            "series": [{"name": "cycle time", "x": _rt(cycle.rt[:-1]), "y": _nums(cycle.seconds)}],
            "hlines": [{"y": _num(w / 10.0), "label": f"10 points per {w:g} s peak"} for w in PEAK_WIDTHS],
        }
    )
    limits = injection_time_limits(run)
    page.figure(
        {
            "title": "Injection time per MS level",
            "type": "points",
            "x": "retention time (min)",
            "y": "injection time (ms)",
            "series": [
                {
                    "name": f"MS{k}",
                    "x": _rt(run.rt[run.ms_level == k]),
                    "y": _nums(run.injection_time[run.ms_level == k]),
                }
                for k in levels
            ],
            "hlines": [
                {"y": _num(v), "label": f"MS{k} {how} {v:.3g} ms", "series": i}
                for i, (k, (v, how)) in enumerate(limits.items())
            ],
        }
    )


def _precursor_charts(page: _Page, run: RunQC) -> None:
    """The precursors of the MSn scans: their charge states, and their m/z
    as a histogram and over retention time."""
    np = numpy_module()
    charges = precursor_charges(run)
    if charges:
        page.figure(
            {
                "title": "Precursor charge states (MSn scans)",
                "type": "bars",
                "x": "charge",
                "y": "scans (count)",
                "series": [{"name": "scans", "x": list(charges), "y": list(charges.values())}],
                "ticks": [[k, "none" if k == 0 else f"{k}+"] for k in charges],
            }
        )
    else:
        _placeholder(page, "Precursor charge states", "No MSn scans.")
    prt, pmz = precursors(run)
    if len(pmz):
        hist, edges = np.histogram(pmz, bins=min(40, max(5, len(pmz) // 3)))
        page.figure(
            {
                "title": "Precursor m/z histogram",
                "type": "hist",
                "x": "precursor m/z (Th)",
                "y": "MSn scans (count)",
                "series": [{"name": "scans", "x": _nums(edges, 7), "y": hist.tolist()}],
            }
        )
        grid, xe, ye = np.histogram2d(prt, pmz, bins=(min(40, max(4, len(pmz) // 4)), 30))
        page.figure(
            {
                "title": "Precursor m/z over retention time (density)",
                "type": "heat",
                "x": "retention time (min)",
                "y": "precursor m/z (Th)",
                "heat": {"x": _nums(xe, 7), "y": _nums(ye, 7), "z": grid.T.astype(int).tolist()},
                "series": [{"name": "precursors", "x": _rt(prt), "y": _nums(pmz, 7)}],
            }
        )
    else:
        _placeholder(page, "Precursors", "No MSn scan states a precursor m/z.")


def _placeholder(page: _Page, title: str, text: str) -> None:
    page.add(f'<div class="fig empty"><div class="ftitle">{html.escape(title)}</div><p>{html.escape(text)}</p></div>')


def _trailer_field(page: _Page, run: RunQC, key: str, values: list[TrailerValue | None]) -> None:
    distinct = {v for v in values if v is not None}
    numeric = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in distinct)
    if numeric and len(distinct) > TABLE_LIMIT:
        series = []
        for level in scans_per_level(run):
            idx = [i for i in range(len(values)) if run.ms_level[i] == level and values[i] is not None]
            series.append({"name": f"MS{level}", "x": _rt(run.rt[idx]), "y": _nums([float(values[i]) for i in idx])})  # type: ignore[arg-type]
        page.figure(
            {"title": f"Trailer: {key}", "type": "points", "x": "retention time (min)", "y": key, "series": series}
        )
        return
    counts: Counter[tuple[int, TrailerValue | None]] = Counter(zip(run.ms_level.tolist(), values))
    levels = list(scans_per_level(run))
    keys = sorted(distinct, key=lambda v: (str(type(v)), v)) + ([None] if None in values else [])
    rows = [[_value_text(v), *(str(counts.get((lv, v), 0)) for lv in levels)] for v in keys[:TABLE_ROWS]]
    if len(keys) > TABLE_ROWS:
        rows.append([f"… {len(keys) - TABLE_ROWS} more values", *("" for _ in levels)])
    page.add(
        f'<div class="fig table"><div class="ftitle">Trailer: {html.escape(key)}</div>'
        + _table(["value", *(f"MS{lv} scans" for lv in levels)], rows)
        + "</div>"
    )


@dataclass(frozen=True)
class HistoryView:
    """What the report shows of a QC history: its control charts and how
    their limits were set."""

    charts: Sequence[Chart]
    baseline: Baseline
    directory: str
    #: the run added last, which the page names (a page kept current as runs arrive)
    last: str | None = None


def _history(page: _Page, view: HistoryView) -> None:
    charts = view.charts
    count = len(charts[0].runs) if charts else 0
    page.add(f'<section id="history"><h2>QC history: {count} runs in {html.escape(view.directory)}</h2>')
    if view.last is not None:
        page.add(f'<p id="last-run">Last run added: <b>{html.escape(view.last)}</b>.</p>')
    if not charts:
        page.add('<p class="note">The history holds no run yet.</p></section>')
        return
    first = charts[0]
    in_baseline = sum(first.baseline)
    rules = "; ".join(f"<b>{k}</b>: {html.escape(v)}" for k, v in RULES.items())
    page.add(
        f'<p class="note">Limits from {html.escape(view.baseline.describe())} ({in_baseline} runs): the centre '
        "line is their mean, the limits lie 2 and 3 sample standard deviations (SD) from it. Every run, in "
        f"acquisition order, is checked against these Westgard-style rules: {rules}. The runs given to this "
        "report are drawn as new runs. A metric that does not vary over the baseline has no limits and no chart.</p>"
    )
    start = min((a for a in first.acquired if a is not None), default=None)
    # One row per run that breaks a rule: each metric it breaks them on, with the rules.
    flagged: dict[int, list[str]] = {}
    for chart in charts:
        for i, broken in enumerate(chart.broken):
            if broken:
                flagged.setdefault(i, []).append(f"{chart.metric}: {', '.join(broken)}")
    if flagged:
        rows = [
            (
                first.runs[i] + (" (new)" if first.new[i] else ""),
                a.strftime("%Y-%m-%d %H:%M") if (a := first.acquired[i]) else "unknown",
                "; ".join(found),
            )
            for i, found in sorted(flagged.items())
        ]
        page.add(
            f"<h4>Runs that break a rule ({len(rows)})</h4>"
            + '<div class="tablewrap">'
            + _table(["run", "acquired (UTC)", "metric: rules broken"], rows, [["odd"] * 3 for _ in rows])
            + "</div>"
        )
    else:
        page.add("<p>No run breaks a rule.</p>")
    constant = [c.metric for c in charts if not c.limits.usable]
    if constant:
        page.add(
            '<p class="note">No limits (the same value in every baseline run): '
            + html.escape(", ".join(constant))
            + ".</p>"
        )
    page.add('<div class="grid">')
    origin = start.strftime("%Y-%m-%d") if start else "the first run"
    for chart in charts:
        if chart.limits.usable:
            _control_chart(page, chart, start, origin)
    page.add("</div></section>")


def _control_chart(page: _Page, chart: Chart, start: dt.datetime | None, origin: str) -> None:
    days = [
        (a - start).total_seconds() / 86400.0 if a is not None and start is not None else float(i)
        for i, a in enumerate(chart.acquired)
    ]
    groups: dict[str, list[int]] = {"baseline": [], "later runs": [], "new runs": [], "breaks a rule": []}
    for i in range(len(days)):
        if chart.broken[i]:
            groups["breaks a rule"].append(i)
        elif chart.new[i]:
            groups["new runs"].append(i)
        elif chart.baseline[i]:
            groups["baseline"].append(i)
        else:
            groups["later runs"].append(i)
    lim = chart.limits
    shown = [name for name, idx in groups.items() if idx]
    series = [
        {
            "name": name,
            "x": _nums([days[i] for i in idx], 7),
            "y": _nums([chart.values[i] for i in idx], 7),
            "labels": [chart.runs[i] + (": " + ", ".join(chart.broken[i]) if chart.broken[i] else "") for i in idx],
        }
        for name, idx in groups.items()
        if idx
    ]
    page.figure(
        {
            "title": f"{chart.metric} ({chart.accession})",
            "type": "points",
            "x": f"acquired (days since {origin})",
            "y": chart.unit or chart.metric,
            "fit": True,
            "series": series,
            "colors": [{"baseline": 0, "later runs": 5, "new runs": 2, "breaks a rule": 1}[name] for name in shown],
            "hlines": [
                {"y": _num(lim.centre + k * lim.sd, 7), "label": label, "kind": kind}
                for k, label, kind in (
                    (3, "+3 SD", "limit"),
                    (2, "+2 SD", "warn"),
                    (0, "mean", "centre"),
                    (-2, "−2 SD", "warn"),
                    (-3, "−3 SD", "limit"),
                )
            ],
        },
        wide=False,
    )


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath("assets").joinpath(name).read_text(encoding="utf-8")


def report_html(
    runs: Sequence[RunQC],
    failed: Sequence[tuple[str, str]] = (),
    *,
    title: str = "vantoro QC report",
    history: HistoryView | None = None,
) -> str:
    """The report page for `runs` (and a list of inputs that could not be
    read, with why): one HTML text with its script, style and data inline."""
    page = _Page()
    now = dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    page.add(
        f"<header><h1>{html.escape(title)}</h1><p>{len(runs)} run(s), written {now} by vantoro "
        f"{html.escape(tool_version())}. Drag across a plot to zoom, double-click to reset; "
        "hover for values; click a legend entry to hide its line.</p>"
    )
    if failed:
        page.add(
            '<div class="bad"><h4>Not read</h4><ul>'
            + "".join(f"<li>{html.escape(p)}: {html.escape(why)}</li>" for p, why in failed)
            + "</ul></div>"
        )
    names = display_names(r.path for r in runs)
    if len(runs) > 1:
        page.add(
            "<nav>" + " · ".join(f'<a href="#run{i}">{html.escape(n)}</a>' for i, n in enumerate(names)) + "</nav>"
        )
    page.add("</header>")
    if history is not None:
        _history(page, history)
    if len(runs) > 1:
        _comparison(page, runs, names)
    for i, (run, name) in enumerate(zip(runs, names)):
        _run_section(page, i, run, name)
    # "<" escaped so that no text in the data can close the script element.
    data = json.dumps(page.figures, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; '
        "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">"
        f"<title>{html.escape(title)}</title><style>{_asset('report.css')}</style></head><body>"
        + "".join(page.parts)
        + f'<script type="application/json" id="qc-data">{data}</script>'
        + f"<script>{_asset('report.js')}</script></body></html>\n"
    )


#: What the stamp of a report names as its writer.
WRITER = "report"


def write_report(
    runs: Sequence[RunQC],
    dest: StrPath,
    failed: Sequence[tuple[str, str]] = (),
    *,
    overwrite: bool = False,
    history: HistoryView | None = None,
) -> int:
    """Writes the report to `dest` through the output layer (never over one
    of the runs, nor over a file vantoro did not write unless `overwrite`;
    whole or not at all) and returns its size in bytes.
    Raises OutputError when it cannot be written."""
    text = readable(report_html(runs, failed, history=history)).encode("utf-8")
    inputs = [run.path for run in runs] + [path for path, _ in failed]
    with output_file(dest, inputs, overwrite=overwrite, any_inputs=True, writer=WRITER) as tmp:
        try:
            with open(tmp, "wb") as f:
                f.write(text)
        except OSError as exc:
            raise OutputError(dest, exc) from exc
    return len(text)
