"""Converting many files (`convert_many`): the output directory or URL
prefix held for the batch, each input planned, the files to convert run
in this process, on a local process pool or on a Dask cluster, transient
failures tried again, and every attempt recorded in the ledger; and one
such batch for a caller that holds the output itself across many batches
(`convert_held`, as a watcher does)."""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Sequence
from dataclasses import replace
from typing import Any

from ...base.paths import StrPath, as_path
from ...base.urls import is_url
from ...write.formats import WriteOptions
from ...write.output import LockUnsupported, OutputBusy, OutputError, RemoteLock, remove_dead_parts
from ...write.registry import OutputFormat, output_format
from ..cluster import SchedulerLost, run_dask
from ..errors import MeaninglessOptions
from ..inputs import collect_inputs, unique_stems
from ..ledger import Ledger, Ticket, latest, shows_done
from ..outcome import FAILED, UP_TO_DATE, Outcome, failed
from ..policy import failure, task_outcome
from ..pool import default_jobs, prestart, refuse_reentry, stop_on_sigterm
from ..progress import advance, progress_bar
from ..rows_parquet import stored_text
from ..runner import pool_size, run_tasks
from ..storage import check_scratch, remove_dead_scratch
from .plan import check_options, plan, plan_remote, recorded_options
from .task import convert_one, convert_remote_task, convert_task, held_directory


def convert_many(
    inputs: StrPath | Iterable[StrPath],
    to: str,
    out_dir: StrPath,
    *,
    jobs: int | None = None,
    dask_address: str | None = None,
    progress: bool = False,
    on_outcome: Callable[[Outcome], None] | None = None,
    options: WriteOptions | None = None,
    force: bool = False,
    overwrite: bool = False,
    retry: int = 0,
    hash_inputs: bool = False,
    scratch: str | None = None,
) -> list[Outcome]:
    """Converts every RAW file that `inputs` (a path, or an iterable of
    paths) names (see `collect_inputs`) and returns an Outcome for each: first the inputs that could not be
    used or may not be converted now (refused, up to date), then the files
    converted, in input order.

    The conversion uses `jobs` cores (default: every core this process may
    use): as many files at once on worker processes, each given the cores
    left over as threads (with one job or one file, in this process), or, with
    `dask_address`, as tasks on the Dask cluster whose scheduler listens
    there; its workers need vantoro installed and the same paths. Every file
    gets the same task, so the outputs do not depend on where it ran.
    `progress` shows a bar on standard error; `on_outcome` is called as each
    file finishes.

    Every attempt is recorded in the ledger under `out_dir` (see
    `run.ledger`; `hash_inputs` adds each input's SHA-256). An input is
    skipped as up to date only when its outputs' stamps and its latest
    ledger record agree (or the ledger has none of it). A transient failure
    (an I/O error, a lost worker) is tried again up to `retry` times; a
    file refused by the layout check never is. The final outcomes carry
    the batch's id and the attempt count in `details`.

    Inputs and `out_dir` may be URLs (s3://bucket/prefix/, through fsspec;
    credentials and endpoint from the environment): each input is fetched
    to `scratch` (default: $VANTORO_SCRATCH or the temporary directory),
    one file per running task under its whole path (so the reader takes the
    layout its URL selects; a scratch directory whose path holds a layout
    marker raises UnsafeScratch), and each output uploaded whole with its
    stamp, under the same rules as local outputs. Inputs under a URL need
    `out_dir` under a URL.

    SIGTERM, like Ctrl-C, stops the run: workers end, their
    partial files are removed, and Stopped (KeyboardInterrupt) is raised.
    Raises ClusterError when the scheduler cannot be reached, OutputBusy
    when another run writes into `out_dir`, ValueError or TypeError for bad
    arguments, and ScriptReentered when worker processes, importing the
    caller's script, were asked to start the batch again (the call belongs
    under `if __name__ == "__main__":`)."""
    refuse_reentry("convert_many()")
    fmt = output_format(to)
    options = options or WriteOptions()
    check_options(fmt, options)
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a whole number of at least 1, not {jobs!r}")
    if isinstance(retry, bool) or not isinstance(retry, int) or retry < 0:
        raise ValueError(f"retry must be a whole number of at least 0, not {retry!r}")
    fmt.check_packages()
    found, problems = collect_inputs(inputs)
    out = as_path(out_dir, "out_dir")
    remote = is_url(out)
    if any(is_url(f) for f in found):
        check_scratch(scratch)  # before anything runs; each task checks its own host's again
    if not remote:
        if any(is_url(f) for f in found):
            raise MeaninglessOptions("inputs under a URL are converted to outputs under a URL (--out s3://...)")
        out = os.path.abspath(out)
        if os.path.exists(out) and not os.path.isdir(out):
            return _not_written(found, problems, OutputError(out, "not a directory"), on_outcome)
    ledger = Ledger(out, recorded_options(fmt, options, force), hash_inputs=hash_inputs)
    # The output held for this run, then the ledger merged before it is let go.
    with contextlib.ExitStack() as held:
        if not remote:
            held.enter_context(held_directory(out))
        else:
            try:
                _lock_url(held, out, ledger.batch)
            except OutputBusy:
                raise
            except OutputError as exc:  # the store refused the lock object: it takes no output either
                return _not_written(found, problems, exc, on_outcome, transient=True)
        held.enter_context(contextlib.closing(ledger))
        if dask_address is None and _workers(jobs, len(found)) > 1:
            # Its imports overlap the planning of the batch.
            prestart(preload=[__name__, *fmt.preload, fmt.writer_module])
        batch = _Batch(fmt, out, ledger, options=options, force=force, on_outcome=on_outcome, scratch=scratch)
        return batch.run(
            found, problems, jobs=jobs, dask_address=dask_address, progress=progress, overwrite=overwrite, retry=retry
        )


def _workers(jobs: int | None, files: int) -> int:
    """The processes a batch of `files` runs on with `jobs` (by default,
    every core): one per file, as many at once as there are jobs."""
    return pool_size(jobs, files)


class UnlockedOutput(UserWarning):
    """A batch into a URL whose store cannot hold a lock: nothing keeps a second run out."""


def _lock_url(held: contextlib.ExitStack, out: str, batch: str) -> None:
    """The output prefix `out` held for this run, until `held` closes; where
    the store cannot hold a lock, an UnlockedOutput warning says so and the
    batch runs without one, as before there was a lock. Raises OutputBusy,
    or OutputError when the store refuses the lock object."""
    try:
        held.enter_context(RemoteLock(out, batch=batch))
    except LockUnsupported as exc:
        warnings.warn(str(exc), UnlockedOutput, stacklevel=4)


def _not_written(
    found: list[str],
    problems: list[Outcome],
    error: OutputError,
    on_outcome: Callable[[Outcome], None] | None,
    *,
    transient: bool = False,
) -> list[Outcome]:
    """The outcomes of a batch whose output cannot be written at all: each file failed with `error`."""
    files, twice = unique_stems(found)
    outcomes = problems + twice + [failed(f, str(error), transient=transient) for f in files]
    for outcome in outcomes:
        if on_outcome is not None:
            on_outcome(outcome)
    return outcomes


class _Batch:
    """One `convert_many` once its output directory is held: the ledger
    records every attempt; each input's final outcome is reported once."""

    def __init__(
        self,
        fmt: OutputFormat,
        out: str,
        ledger: Ledger,
        *,
        options: WriteOptions,
        force: bool,
        on_outcome: Callable[[Outcome], None] | None,
        scratch: str | None = None,
    ):
        self.fmt, self.out, self.ledger = fmt, out, ledger
        self.remote, self.scratch = is_url(out), scratch
        self.options, self.force = options, force
        self.on_outcome = on_outcome
        self.bar: Any = None
        self.attempts: dict[str, int] = {}
        self.final: dict[str, Outcome] = {}
        self.again: list[str] = []

    def report(self, path: str, outcome: Outcome, location: str | None = None, recorded: bool | None = None) -> None:
        """Records `outcome` (unless it is `recorded` already, True, or could
        not be, False) and tells the caller: the input's final outcome."""
        attempt = self.attempts.get(path, 1)
        if recorded is None:
            where = self.location(path) if location is None else location
            recorded = self.ledger.record(outcome, where, attempt=attempt)
        if not recorded:
            outcome = replace(outcome, warnings={**outcome.warnings, "ledger record not written": 1})
        outcome = replace(outcome, details={**outcome.details, "batch": self.ledger.batch, "attempt": attempt})
        self.final[path] = outcome
        if self.on_outcome is not None:
            if self.bar is not None:
                with self.bar.external_write_mode(file=sys.stderr):
                    self.on_outcome(outcome)
            else:
                self.on_outcome(outcome)

    def run(
        self,
        found: list[str],
        problems: list[Outcome],
        *,
        jobs: int | None,
        dask_address: str | None,
        progress: bool,
        overwrite: bool,
        retry: int,
    ) -> list[Outcome]:
        fmt, out = self.fmt, self.out
        files, twice = unique_stems(found)
        problems += twice
        todo = []
        done_before = latest(out)
        stamp_options = recorded_options(fmt, self.options, self.force)
        # Every input, so that none is planned as another's output: once, not once per file.
        inputs = [] if self.remote else [os.path.abspath(f) for f in found]
        for path in files:
            location = self.location(path)
            if self.remote:
                stop = plan_remote(location, fmt, out, options=self.options, force=self.force, overwrite=overwrite)
            else:
                stop = plan(
                    location,
                    fmt,
                    out,
                    options=self.options,
                    force=self.force,
                    overwrite=overwrite,
                    inputs=inputs,
                )
            record = done_before.get(stored_text(location))
            if stop is not None and stop.status == UP_TO_DATE and record is not None:
                if not shows_done(record, location, stamp_options):
                    stop = None  # the stamps say done, the ledger does not: converted again
            if stop is None:
                todo.append(path)
            else:
                problems.append(replace(stop, source=path))
        self.clean_up()
        early = [o.source for o in problems]
        for outcome in problems:
            self.report(outcome.source, outcome)
        self.bar = progress_bar(len(todo), progress)
        self.count, self.total = 0, len(todo)
        try:
            with stop_on_sigterm():
                pending = todo
                while pending:
                    self.again = []
                    self._round(pending, jobs, dask_address, retry)
                    pending = self.again
                    for path in pending:
                        self.attempts[path] = self.attempts.get(path, 1) + 1
        finally:
            if self.bar is not None:
                self.bar.close()
            # Partial files of workers that died (a killed Dask worker's) go too.
            self.clean_up()
        return [self.final[p] for p in early] + [self.final[p] for p in todo]

    def location(self, path: str) -> str:
        """An input as the tasks see it: a URL, or an absolute path."""
        return path if is_url(path) else os.path.abspath(path)

    def clean_up(self) -> None:
        """Removes the partial files, and scratch, of processes on this host that died."""
        if self.remote:
            remove_dead_scratch(self.scratch)
            return
        for directory in {os.path.dirname(p) for p in self.fmt.paths("x", self.out)}:
            remove_dead_parts(directory)

    def _finished(self, path: str, outcome: Outcome, retry: int, ticket: Ticket) -> None:
        # Tasks see absolute paths; outcomes name the file as the caller did.
        location = outcome.source
        outcome, recorded = self.ledger.take(ticket, outcome, location)
        outcome = replace(
            outcome, source=path, error=outcome.error.replace(outcome.source, path) if outcome.error else None
        )
        if outcome.status == FAILED and outcome.transient and self.attempts.get(path, 1) <= retry:
            self.again.append(path)
            return
        self.report(path, outcome, location, recorded)
        self.count += 1
        advance(self.bar, self.count, self.total)

    def _round(self, todo: list[str], jobs: int | None, dask_address: str | None, retry: int) -> None:
        fmt, out, force = self.fmt, self.out, self.force
        # `jobs` cores: as many files at once, each conversion given the
        # cores left over; a Dask task has its worker thread alone.
        budget = jobs or default_jobs()
        workers = _workers(jobs, len(todo))
        threads = 1 if dask_address is not None else max(1, budget // workers)
        options = replace(self.options, threads=threads)
        task: Callable[..., Outcome] = convert_task
        items: list[tuple[str, tuple[Any, ...]]] = [
            (p, (self.location(p), fmt.name, out, options, force)) for p in todo
        ]
        if self.remote:
            task = convert_remote_task
            items = [(p, (*args, self.scratch)) for p, args in items]
        # Each attempt's record: written by its task where it runs, or here.
        tickets = {p: self.ledger.ticket(self.attempts.get(p, 1)) for p in todo}

        def done(path: str, result: Callable[[], Outcome]) -> None:
            self._finished(path, task_outcome(self.location(path), result), retry, tickets[path])

        if dask_address is not None or workers > 1 or self.remote:
            items = [(p, (*args, tickets[p])) for p, args in items]

        if dask_address is not None:
            try:
                run_dask(task, items, dask_address, done)
            except SchedulerLost as exc:
                for path in todo:
                    if path not in self.final and path not in self.again:
                        self.report(path, failure(path, exc))
            return
        if workers > 1 or self.remote:
            run_tasks(task, items, done, jobs=workers, preload=[__name__, *fmt.preload, fmt.writer_module])
            return
        bar = self.bar
        for path, args in items:
            # In this process the bar also moves scan by scan.
            moved = 0.0

            def scan_done(step: float) -> None:
                nonlocal moved
                if bar is not None and moved + step < 1.0:
                    moved += step
                    bar.update(step)

            outcome = convert_one(*args[:3], options=options, force=force, on_progress=scan_done)
            if bar is not None:
                bar.update(-moved)
            self._finished(path, outcome, retry, tickets[path])


def convert_held(
    files: Sequence[str],
    to: str,
    out: str,
    *,
    jobs: int | None = None,
    dask_address: str | None = None,
    on_outcome: Callable[[Outcome], None] | None = None,
    options: WriteOptions | None = None,
    force: bool = False,
    overwrite: bool = False,
    retry: int = 0,
    hash_inputs: bool = False,
    scratch: str | None = None,
) -> list[Outcome]:
    """One batch of `convert_many` for a caller that holds `out` itself
    (an absolute directory or a URL, held by `DirectoryLock` or `RemoteLock`)
    across many batches, as a watcher does between its rounds: `files`, RAW
    files each named once, are converted under the same rules and recorded
    in the ledger under `out` as a batch of their own."""
    fmt = output_format(to)
    options = options or WriteOptions()
    check_options(fmt, options)
    fmt.check_packages()
    ledger = Ledger(out, recorded_options(fmt, options, force), hash_inputs=hash_inputs)
    with contextlib.closing(ledger):
        if dask_address is None and _workers(jobs, len(files)) > 1:
            prestart(preload=[__name__, *fmt.preload, fmt.writer_module])
        batch = _Batch(fmt, out, ledger, options=options, force=force, on_outcome=on_outcome, scratch=scratch)
        return batch.run(
            list(files), [], jobs=jobs, dask_address=dask_address, progress=False, overwrite=overwrite, retry=retry
        )
