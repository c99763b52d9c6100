"""The QC history as `vantoro watch` keeps it: each run added in place of
an earlier content of its file, the control rules the runs break, the
history's page written again after each run, and the metrics an event
names. The watcher (in `run`) is handed one of these by the command, so
that running files and reporting on them stay apart."""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Sequence
from typing import Any

from ..analyse.qc import RunQC, qc_metrics
from ..analyse.qc.terms import METRICS, NAMES
from .history import Baseline, add_runs, control_charts, history_runs, metric_rows, read_rows
from .page import HistoryView, write_report

#: The page, in the history's folder.
PAGE = "report.html"
#: The metrics an event's line names, when the run has them.
KEY_METRICS = ("MS:4000059", "MS:4000060", "MS:4000067")
_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)  # no row's time is read here


def number(value: float) -> str:
    return f"{value:.4g}"


class WatchedHistory:
    """The history at `directory`, its control limits from its first `baseline_runs` runs."""

    def __init__(self, directory: str, baseline_runs: int = 20):
        self.directory = directory
        self.baseline = Baseline(runs=baseline_runs)

    def add(self, runs: Sequence[RunQC]) -> None:
        """Adds `runs`, each in place of an earlier content of its file.
        Raises OutputError or OSError when the history cannot be written."""
        add_runs(self.directory, list(runs), replace=True)

    def broken(self, runs: dict[str, RunQC]) -> dict[str, dict[str, dict[str, Any]]]:
        """For each run, the metrics on which it breaks a control rule: the
        value, the limits and the rules, as the report's control charts show them."""
        history = history_runs(read_rows(self.directory))
        charts = control_charts(history, self.baseline)
        index = {r.sha256: i for i, r in enumerate(history)}
        found: dict[str, dict[str, dict[str, Any]]] = {}
        for path, run in runs.items():
            i = index.get(str(run.sha256))
            if i is None:
                continue
            for chart in charts:
                if chart.broken[i]:
                    found.setdefault(path, {})[chart.metric] = {
                        "accession": chart.accession,
                        "value": chart.values[i],
                        "unit": chart.unit,
                        "mean": chart.limits.centre,
                        "sd": chart.limits.sd,
                        "z": round(chart.limits.z(chart.values[i]), 3),
                        "rules": list(chart.broken[i]),
                    }
        return found

    def write_page(self, last: RunQC) -> None:
        """The page written again: its control charts, the run added last
        marked new and shown in full. Raises OutputError or OSError."""
        charts = control_charts(history_runs(read_rows(self.directory), [last]), self.baseline)
        view = HistoryView(charts, self.baseline, self.directory, os.path.basename(last.path))
        write_report([last], os.path.join(self.directory, PAGE), history=view)

    @staticmethod
    def metrics(run: RunQC) -> dict[str, float]:
        """The run's single-value metrics by name, as the history's rows hold them."""
        return {row["metric"]: row["value"] for row in metric_rows(run, _EPOCH)}

    @staticmethod
    def summary(run: RunQC) -> str:
        """The key metrics of a run, for a line a person reads."""
        values = qc_metrics(run)
        parts = []
        for acc in KEY_METRICS:
            value = values.get(acc)
            if isinstance(value, (int, float)):
                unit = NAMES.get(METRICS[acc][4] or "", "")
                shown = f" {unit}" if unit and unit != "count unit" else ""
                parts.append(f"{METRICS[acc][0]} {number(float(value))}{shown}")
        return ", ".join(parts) or "QC added"
