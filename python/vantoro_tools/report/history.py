"""The QC history: a folder that keeps each run's metrics, one mzQC file per
run (`runs/`) and one columnar table (`metrics.parquet`: one row per run and
single-value metric) that DuckDB and pandas read directly; and the control
charts drawn from it.

Adding holds the folder (a lock, waited for while another add holds it),
reads the table again under the lock, skips a run whose file content
(SHA-256) is already there, and writes each file under a temporary name,
renamed when whole: concurrent adds lose nothing and a stopped add leaves
the history as it was."""

from __future__ import annotations

import contextlib
import datetime as dt
import math
import os
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass, field
from typing import Any

from ..analyse.control import Limits, broken_rules, limits
from ..analyse.qc import RunQC, qc_metrics
from ..analyse.qc.terms import METRICS, NAMES
from ..base.deps import missing
from ..base.paths import StrPath, sha256_file, stem
from ..base.urls import is_url
from ..write.output import DirectoryLock, OutputBusy, OutputError, atomic_path, remove_dead_parts
from .mzqc import mzqc_document, mzqc_text

TABLE = "metrics.parquet"
RUNS = "runs"
#: how long an add waits for another add to finish, seconds
LOCK_WAIT = 30.0
PURPOSE = "the QC history"
COLUMNS = ("run", "path", "sha256", "acquired", "added", "accession", "metric", "unit", "value")


def pyarrow_modules() -> Any:
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError as exc:
        raise missing("pyarrow", PURPOSE, "qc") from exc
    return pyarrow


@contextmanager
def held(directory: str, wait: float = LOCK_WAIT) -> Iterator[None]:
    """The history folder held by this process, waiting up to `wait` seconds
    for another add to finish."""
    deadline = time.monotonic() + wait
    while True:
        try:
            lock = DirectoryLock(directory).__enter__()
            break
        except OutputBusy:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.05)
    try:
        # The table, or a run's mzQC, an add was writing when it was killed.
        remove_dead_parts(directory)
        remove_dead_parts(os.path.join(directory, RUNS))
        yield
    finally:
        lock.__exit__(None, None, None)


class HistoryError(ValueError):
    """A history folder that cannot be used as it is (its table missing or
    unreadable): the message says what is wrong, and nothing is changed."""


def check_history(directory: StrPath) -> None:
    """Raises OutputError when `directory` cannot hold a history, HistoryError
    when the history there is damaged: refused before anything is written."""
    if os.path.lexists(directory) and not os.path.isdir(directory):
        raise OutputError(directory, "not a directory")
    # Whether the table is gone is told under the lock alone: an add
    # writes the runs' files before the table.
    if os.path.lexists(os.path.join(directory, TABLE)):
        read_rows(directory)


def read_rows(directory: StrPath) -> list[dict[str, Any]]:
    """The history table's rows (none for a new history). Raises
    HistoryError when the table is gone from a history that has runs, or
    cannot be read as the history's table."""
    directory = os.fspath(directory)
    path = os.path.join(directory, TABLE)
    if not os.path.lexists(path):
        try:
            kept = [n for n in os.listdir(os.path.join(directory, RUNS)) if n.endswith(".mzQC")]
        except OSError:
            kept = []
        if kept:
            raise HistoryError(
                f"{directory}: its table {TABLE} is gone but {RUNS}/ holds {len(kept)} run(s); "
                f"nothing changed (restore {TABLE}, or keep a new history elsewhere)"
            )
        return []
    pa = pyarrow_modules()
    try:
        with open(path, "rb") as f:  # opened here: Arrow takes a path as UTF-8 only, a folder's name need not be
            table = pa.parquet.read_table(f)
        missing_columns = [c for c in COLUMNS if c not in table.column_names]
        if missing_columns:
            raise ValueError(f"no column {missing_columns[0]!r}")
        return list(table.to_pylist())
    except (OSError, ValueError, pa.ArrowException) as exc:
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise HistoryError(f"{path}: cannot be read as a QC history table ({reason}); nothing changed") from None


def _write_rows(directory: str, rows: list[dict[str, Any]]) -> None:
    pa = pyarrow_modules()
    schema = pa.schema(
        [
            ("run", pa.string()),
            ("path", pa.string()),
            ("sha256", pa.string()),
            ("acquired", pa.timestamp("s", tz="UTC")),
            ("added", pa.timestamp("s", tz="UTC")),
            ("accession", pa.string()),
            ("metric", pa.string()),
            ("unit", pa.string()),
            ("value", pa.float64()),
        ]
    )
    table = pa.Table.from_pylist(rows, schema=schema)
    dest = os.path.join(directory, TABLE)
    with atomic_path(dest) as tmp, open(tmp, "wb") as f:
        pa.parquet.write_table(table, f)


def metric_rows(run: RunQC, added: dt.datetime) -> list[dict[str, Any]]:
    """The table's rows of one run: its single-value metrics."""
    rows = []
    for acc, value in qc_metrics(run).items():
        if isinstance(value, (int, float)):
            unit = METRICS[acc][4]
            rows.append(
                {
                    "run": os.path.basename(run.path),
                    "path": run.path if is_url(run.path) else os.path.abspath(run.path),
                    "sha256": run.sha256,
                    "acquired": run.info.created,
                    "added": added,
                    "accession": acc,
                    "metric": METRICS[acc][0],
                    "unit": NAMES.get(unit, "") if unit else "",
                    "value": float(value),
                }
            )
    return rows


def add_runs(
    directory: StrPath, runs: Sequence[RunQC], *, wait: float = LOCK_WAIT, replace: bool = False
) -> list[bool]:
    """Records `runs` in the history at `directory` (made when missing): for
    each run, whether it was added (False: its file's content is already
    there). Each run's SHA-256 is computed when it has none. With `replace`,
    a run added takes the place of the rows and mzQC file of an earlier
    content of the same file (its path): a run written again."""
    directory = os.fspath(directory)
    check_history(directory)
    try:
        os.makedirs(os.path.join(directory, RUNS), exist_ok=True)
    except OSError as exc:
        raise OutputError(os.path.join(directory, RUNS), exc) from exc
    digests = [r.sha256 or sha256_file(r.path) for r in runs]
    added_now = dt.datetime.now(dt.timezone.utc).replace(microsecond=0)
    with held(directory, wait):
        rows = read_rows(directory)
        known = {r["sha256"] for r in rows}
        result = []
        written: list[str] = []
        gone: list[str] = []
        for run, digest in zip(runs, digests):
            if digest in known:
                result.append(False)
                continue
            run.sha256 = digest
            known.add(digest)
            name = f"{stem(run.path)}-{digest[:12]}.mzQC"
            dest = os.path.join(directory, RUNS, name)
            text = mzqc_text(mzqc_document([run], sha256={run.path: digest}, names=[os.path.basename(run.path)]))
            with _writing(dest, written):
                with atomic_path(dest) as tmp, open(tmp, "w", encoding="utf-8") as f:
                    f.write(text)
            if replace:
                path = os.path.abspath(run.path)
                earlier = {r["sha256"] for r in rows if r["path"] == path and r["sha256"] != digest}
                rows = [r for r in rows if r["sha256"] not in earlier]
                known -= earlier
                gone += [os.path.join(directory, RUNS, f"{stem(run.path)}-{sha[:12]}.mzQC") for sha in earlier]
            rows.extend(metric_rows(run, added_now))
            result.append(True)
        if any(result):
            with _writing(os.path.join(directory, TABLE), written):
                _write_rows(directory, rows)
        for path in gone:  # once the table no longer names them
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
    return result


@contextmanager
def _writing(dest: str, written: list[str]) -> Iterator[None]:
    """Writes `dest` for an add that wrote `written` before: when it cannot
    be written (a full disk, say), those are removed again and OutputError
    names it, so that a failed add leaves the history as it was."""
    try:
        yield
    except OSError as exc:
        for path in written:
            with suppress(OSError):
                os.unlink(path)
        if isinstance(exc, OutputError):
            raise
        raise OutputError(dest, exc) from exc
    written.append(dest)


# -- control charts -------------------------------------------------------------


@dataclass(frozen=True)
class Baseline:
    """Which runs set the limits: the first `runs` in acquisition order, or
    those acquired from `start` to `end` (inclusive days)."""

    runs: int | None = 20
    start: dt.date | None = None
    end: dt.date | None = None

    def describe(self) -> str:
        if self.start is not None or self.end is not None:
            return f"the runs acquired from {self.start or 'the first'} to {self.end or 'the last'}"
        return f"the first {self.runs} runs in acquisition order"

    def chosen(self, acquired: Sequence[dt.datetime | None]) -> list[bool]:
        if self.start is not None or self.end is not None:
            return [
                a is not None
                and (self.start is None or a.date() >= self.start)
                and (self.end is None or a.date() <= self.end)
                for a in acquired
            ]
        n = self.runs or 0
        return [i < n for i in range(len(acquired))]


@dataclass
class Chart:
    """One metric over the runs of the history, in acquisition order."""

    accession: str
    metric: str
    unit: str
    runs: list[str]
    acquired: list[dt.datetime | None]
    values: list[float]
    baseline: list[bool]
    new: list[bool]
    limits: Limits
    broken: list[list[str]] = field(default_factory=list)


@dataclass(frozen=True)
class HistoryRun:
    run: str
    sha256: str
    acquired: dt.datetime | None
    values: dict[str, float]
    new: bool


def history_runs(rows: Sequence[dict[str, Any]], new: Sequence[RunQC] = ()) -> list[HistoryRun]:
    """The runs of the table, and the `new` runs not in it yet, in acquisition order."""
    by_sha: dict[str, HistoryRun] = {}
    new_sha = {r.sha256 for r in new}
    for row in rows:
        sha = row["sha256"]
        if sha not in by_sha:
            by_sha[sha] = HistoryRun(row["run"], sha, row["acquired"], {}, sha in new_sha)
        by_sha[sha].values[row["accession"]] = row["value"]
    for run in new:
        if run.sha256 not in by_sha:
            values = {r["accession"]: r["value"] for r in metric_rows(run, dt.datetime.now(dt.timezone.utc))}
            by_sha[str(run.sha256)] = HistoryRun(
                os.path.basename(run.path), str(run.sha256), run.info.created, values, True
            )
    far = dt.datetime.max.replace(tzinfo=dt.timezone.utc)
    return sorted(by_sha.values(), key=lambda r: (r.acquired or far, r.run))


def control_charts(runs: Sequence[HistoryRun], baseline: Baseline) -> list[Chart]:
    """One chart per single-value metric: limits from the baseline runs,
    the rules each run breaks."""
    chosen = baseline.chosen([r.acquired for r in runs])
    charts = []
    for acc, term in METRICS.items():
        if not any(acc in r.values for r in runs):
            continue
        values = [r.values.get(acc, math.nan) for r in runs]
        lim = limits([v for v, b in zip(values, chosen) if b])
        unit = term[4]
        chart = Chart(
            acc,
            term[0],
            NAMES.get(unit, "") if unit else "",
            [r.run for r in runs],
            [r.acquired for r in runs],
            values,
            chosen,
            [r.new for r in runs],
            lim,
        )
        chart.broken = broken_rules(values, lim)
        charts.append(chart)
    return charts
