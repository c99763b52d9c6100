"""Converting RAW files, one at a time or many at once on a local process
pool or an existing Dask cluster.

No file is lost: every output goes through the output layer (never over an
input, never over a file vantoro did not write from the same input unless
`overwrite`, whole or not at all, one run per output directory); an output
that is up to date (its stamp shows it was converted from this input as it
is now, with the same options) is skipped. A file that fails the layout
check is refused unless `force` is given."""

from __future__ import annotations

import contextlib
import os
import socket
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import replace
from typing import Any

from ..base.paths import StrPath, as_path
from ..source.raw import ChangedWhileRead
from ..source.scans import ScanSource, open_source
from ..write.formats import WriteOptions
from ..write.output import (
    DirectoryLock,
    LockUnsupported,
    OutputBusy,
    OutputError,
    OutputExists,
    OutputGone,
    RemoteLock,
    is_url,
    may_write,
    remote_may_write,
    remote_up_to_date,
    remove_dead_parts,
    sha256_file,
    stamp_path,
    stamping,
    up_to_date,
    upload,
    url_identity,
)
from ..write.registry import OutputFormat, output_format
from .cluster import SchedulerLost, run_dask, worker_name
from .errors import MeaninglessOptions as MeaninglessOptions
from .inputs import collect_inputs, unique_stems
from .ledger import Ledger, latest, shows_done
from .outcome import CONVERTED, FAILED, UP_TO_DATE, Outcome, failed
from .policy import CONVERTS, attempt, failure, task_outcome
from .pool import default_jobs, prestart, refuse_reentry, stop_on_sigterm
from .progress import advance, progress_bar
from .runner import pool_size, run_tasks
from .storage import check_scratch, fetched, remove_dead_scratch, staging_dir


def output_paths(raw: StrPath, to: str, out_dir: StrPath) -> list[str]:
    """Where `convert_file` writes: DIR/<stem>.mzML, DIR/<stem>.mgf, or
    DIR/scans/<stem>.parquet and DIR/peaks/<stem>.parquet."""
    return output_format(to).paths(raw, out_dir)


def _options(fmt: OutputFormat, options: WriteOptions, force: bool) -> dict[str, Any]:
    """What the stamps record of a conversion's options."""
    return {
        "format": fmt.name,
        "ms_levels": sorted(options.ms_levels) if options.ms_levels else None,
        "compression": options.compression or fmt.default_compression,
        "force": force,
    }


def writer(fmt: OutputFormat) -> str:
    """What a conversion's stamps name as its writer: only it replaces the outputs."""
    return f"convert --to {fmt.name}"


def check_options(fmt: OutputFormat, options: WriteOptions) -> None:
    """Raises MeaninglessOptions for options that could only give a meaningless output."""
    levels = options.ms_levels if options.ms_levels is not None else fmt.ms_levels
    if levels is not None and fmt.fragments_only and max(levels) < 2:
        raise MeaninglessOptions(
            f"{fmt.name.upper()} holds fragment spectra (MS2 and up): MS levels "
            f"{', '.join(map(str, sorted(levels)))} would write no spectrum"
        )


def plan(
    raw: str,
    fmt: OutputFormat,
    out_dir: str,
    *,
    options: WriteOptions,
    force: bool = False,
    overwrite: bool = False,
    inputs: Iterable[str] = (),
) -> Outcome | None:
    """Why `raw` must not be converted now, as an outcome (refused, or
    skipped as up to date), or None when it may be. Reads no file: only
    asks the file system about paths and stamps."""
    outputs = fmt.paths(raw, out_dir)
    sources = list(dict.fromkeys([raw, *inputs]))
    try:
        may_write(outputs, sources, overwrite=True)  # an input is never an output
    except OutputExists as exc:
        return failure(raw, OutputExists(exc.path, f"{exc}; not converted"))
    if not overwrite and up_to_date(outputs, [raw], _options(fmt, options, force)):
        return Outcome(raw, tuple(outputs), status=UP_TO_DATE)
    try:
        may_write(outputs, [raw], overwrite=overwrite, writer=writer(fmt))
    except OutputExists as exc:
        return failure(raw, exc)
    return None


def plan_remote(
    location: str,
    fmt: OutputFormat,
    out_url: str,
    *,
    options: WriteOptions,
    force: bool = False,
    overwrite: bool = False,
) -> Outcome | None:
    """`plan` for outputs under a URL."""
    outputs = fmt.paths(location, out_url)
    record = attempt(location, lambda: input_record(location))
    if isinstance(record, Outcome):
        return record
    if not overwrite and remote_up_to_date(outputs, record, _options(fmt, options, force)):
        return Outcome(location, tuple(outputs), status=UP_TO_DATE)
    try:
        remote_may_write(outputs, str(record["path"]), overwrite=overwrite)
    except OutputExists as exc:
        return failure(location, exc)
    return None


# -- converting one file -------------------------------------------------------


def _facts(path: str) -> tuple[int, int]:
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


def _write(
    source: ScanSource, fmt: OutputFormat, out_dir: str, options: WriteOptions, force: bool
) -> tuple[list[str], dict[str, int], tuple[int, int]]:
    paths = fmt.paths(source.path, out_dir)
    before = _facts(source.path)
    for path in paths:
        directory = os.path.dirname(path) or "."
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as exc:
            raise OutputError(directory, exc) from exc
    try:
        # Each output stamped as it is renamed into place: never whole without its stamp.
        with stamping(paths, [source.path], _options(fmt, options, force), writer(fmt)):
            written = fmt.write(source, paths, options)
    except OutputError:
        raise
    except OSError as exc:
        # The reader raises nothing once the file is open: an OSError here
        # comes from writing.
        raise OutputError(out_dir, exc) from exc
    # The reader opens the file again for each peak list: a file changed or
    # removed meanwhile would have given wrong or missing spectra.
    try:
        changed = _facts(source.path) != before
    except OSError:
        changed = True
    if changed:
        for path in paths:
            os.unlink(path)
            with contextlib.suppress(OSError):
                os.unlink(stamp_path(path))
        raise ChangedWhileRead()
    levels = options.ms_levels if options.ms_levels is not None else fmt.ms_levels
    return paths, dict(written.warnings), source.peak_lists(levels)


def _open_source(
    raw: str, force: bool, on_progress: Callable[[float], None] | None, path_text: str | None = None
) -> ScanSource:
    """The input opened and checked (its layout judged by `path_text`, the
    URL a fetched file came from, or its path), passing `on_progress` each
    scan's share of the file."""
    step = 0.0

    def on_scan() -> None:
        if on_progress is not None:
            on_progress(step)

    source = open_source(raw, force=force, on_scan=on_scan, path_text=path_text)
    step = 1.0 / max(1, source.num_scans)
    return source


def convert_one(
    raw: str,
    to: str,
    out_dir: str,
    *,
    options: WriteOptions | None = None,
    force: bool = False,
    on_progress: Callable[[float], None] | None = None,
    path_text: str | None = None,
) -> Outcome:
    """Converts `raw` (already planned: see `plan`) and says what became of
    it: converted, refused by the layout check, or failed. Raises only
    MissingDependency and interruptions."""
    fmt = output_format(to)
    started = time.time_ns()
    outcome = _convert_one(raw, fmt, out_dir, options or WriteOptions(), force, on_progress, path_text)
    try:
        details = attempt_details(started, outcome.outputs)
    except OSError as exc:  # an output gone already: not done
        outcome, details = failure(raw, OutputGone(raw, str(exc))), {}
    return replace(outcome, details=details)


def _convert_one(
    raw: str,
    fmt: OutputFormat,
    out_dir: str,
    options: WriteOptions,
    force: bool,
    on_progress: Callable[[float], None] | None,
    path_text: str | None = None,
) -> Outcome:
    def work() -> Outcome:
        source = _open_source(raw, force, on_progress, path_text)
        paths, warnings, spectra = _write(source, fmt, out_dir, options, force)
        return Outcome(raw, tuple(paths), warnings=warnings, spectra=spectra)

    outcome: Outcome = attempt(raw, work, action=CONVERTS)
    return outcome


def attempt_details(started: int, outputs: Sequence[str]) -> dict[str, Any]:
    """What the ledger records of one attempt, taken where it ran: the host,
    the worker (the Dask worker's address, or the process), its start and
    end (nanoseconds since 1970), and each output's size and SHA-256.

    Each output is hashed once it is whole, read back from the page cache
    where it has just been written: SHA-256 is the cost (1.6 GB/s here),
    not the read, and the mzML writer writes its opening last, over room
    left at the start, so the bytes cannot be hashed as they are written.
    On a pool or a cluster this runs on the worker, beside the conversion."""
    return {
        "host": socket.gethostname(),
        "worker": worker_name(),
        "started_ns": started,
        "ended_ns": time.time_ns(),
        "outputs": [{"path": p, "size": os.path.getsize(p), "sha256": sha256_file(p)} for p in outputs],
    }


def convert_file(
    raw: StrPath,
    to: str,
    out_dir: StrPath,
    *,
    on_progress: Callable[[float], None] | None = None,
    options: WriteOptions | None = None,
    force: bool = False,
    overwrite: bool = False,
) -> list[str]:
    """Converts one RAW file to `to` ("mzml", "mgf" or "parquet") under
    `out_dir` (created if needed) and returns the output paths; outputs
    that are up to date are not written again. Raises OSError or
    NotRawFileError when the file cannot be read, LayoutError when it fails
    the layout check (unless `force`), OutputExists when an output exists
    that may not be replaced (see `plan`; `overwrite` replaces it),
    OutputBusy when another run writes into `out_dir`, OutputError when an
    output cannot be written, ValueError for options that would write
    nothing, and MissingDependency when a writer's package is missing.
    `on_progress` receives the fraction of the file done since its last
    call."""
    raw, out = as_path(raw, "raw"), as_path(out_dir, "out_dir")
    fmt = output_format(to)
    options = options or WriteOptions()
    check_options(fmt, options)
    fmt.check_packages()
    with _held(out):
        stop = plan(raw, fmt, out, options=options, force=force, overwrite=overwrite)
        if stop is not None and stop.status == UP_TO_DATE:
            return list(stop.outputs)
        if stop is not None:
            raise OutputExists(fmt.paths(raw, out)[0], stop.error or "exists")
        return _write(_open_source(raw, force, on_progress), fmt, out, options, force)[0]


def convert_task(raw: str, to: str, out_dir: str, options: WriteOptions | None = None, force: bool = False) -> Outcome:
    """`convert_one` as a task for a process pool or a cluster."""
    return convert_one(raw, to, out_dir, options=options, force=force)


def input_record(location: str) -> dict[str, Any]:
    """What an output's stamp records of its input: where it is and its identity now."""
    if is_url(location):
        return {"path": location, "facts": url_identity(location)}
    st = os.stat(location)
    return {"path": os.path.realpath(location), "facts": [st.st_size, st.st_mtime_ns]}


def convert_remote_task(
    location: str,
    to: str,
    out_url: str,
    options: WriteOptions | None = None,
    force: bool = False,
    scratch: str | None = None,
) -> Outcome:
    """Converts `location` (a URL, fetched to scratch, or a local path) for
    outputs under `out_url`: written in scratch, then each uploaded whole,
    with its stamp. Scratch is removed however the task ends."""
    fmt = output_format(to)
    started = time.time_ns()
    try:
        record = input_record(location)
        with contextlib.ExitStack() as stack:
            local = stack.enter_context(fetched(location, scratch)) if is_url(location) else location
            staging = stack.enter_context(staging_dir(scratch))
            outcome = convert_one(local, to, staging, options=options, force=force, path_text=location)
            outcome = replace(outcome, source=location, error=_renamed(outcome.error, local, location))
            if outcome.status != CONVERTED:
                return outcome
            dests = fmt.paths(location, out_url)
            details = dict(outcome.details)
            details["outputs"] = [{**o, "path": d} for o, d in zip(details.get("outputs", []), dests)]
            for written, dest in zip(outcome.outputs, dests):
                upload(written, dest, record, _options(fmt, options or WriteOptions(), force))
            return replace(outcome, outputs=tuple(dests), details={**details, "started_ns": started})
    except BaseException as exc:  # the store's failures, fetching or uploading
        return failure(location, exc, action=CONVERTS)


def _renamed(error: str | None, local: str, location: str) -> str | None:
    return error.replace(local, location) if error else None


# -- converting many -----------------------------------------------------------


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
    ledger = Ledger(out, _options(fmt, options, force), hash_inputs=hash_inputs)
    # The output held for this run, then the ledger merged before it is let go.
    with contextlib.ExitStack() as held:
        if not remote:
            held.enter_context(_held(out))
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
            prestart(preload=[__name__, *fmt.preload])
        batch = _Batch(fmt, out, ledger, options=options, force=force, on_outcome=on_outcome, scratch=scratch)
        return batch.run(
            found, problems, jobs=jobs, dask_address=dask_address, progress=progress, overwrite=overwrite, retry=retry
        )


def _workers(jobs: int | None, files: int) -> int:
    """The processes a batch of `files` runs on with `jobs` (by default,
    every core): one per file, as many at once as there are jobs."""
    return pool_size(jobs, files)


@contextlib.contextmanager
def _held(out: str) -> Iterator[None]:
    """The output directory, created if needed and held for this run; one
    created here and left empty is removed again."""
    created = not os.path.isdir(out)
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise OutputError(out, exc) from exc
    try:
        with DirectoryLock(out):
            yield
    finally:
        if created:
            with contextlib.suppress(OSError):
                os.rmdir(out)  # only when empty


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

    def report(self, path: str, outcome: Outcome, location: str | None = None) -> None:
        """Records `outcome` and tells the caller: the input's final outcome."""
        attempt = self.attempts.get(path, 1)
        if not self.ledger.record(outcome, self.location(path) if location is None else location, attempt=attempt):
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
        stamp_options = _options(fmt, self.options, self.force)
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
            if stop is not None and stop.status == UP_TO_DATE and location in done_before:
                if not shows_done(done_before[location], location, stamp_options):
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

    def _finished(self, path: str, outcome: Outcome, retry: int) -> None:
        # Tasks see absolute paths; outcomes name the file as the caller did.
        location = outcome.source
        outcome = replace(
            outcome, source=path, error=outcome.error.replace(outcome.source, path) if outcome.error else None
        )
        if outcome.status == FAILED and outcome.transient and self.attempts.get(path, 1) <= retry:
            attempt = self.attempts.get(path, 1)
            self.ledger.record(outcome, location, attempt=attempt)
            self.again.append(path)
            return
        self.report(path, outcome, location)
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

        def done(path: str, result: Callable[[], Outcome]) -> None:
            self._finished(path, task_outcome(self.location(path), result), retry)

        if dask_address is not None:
            try:
                run_dask(task, items, dask_address, done)
            except SchedulerLost as exc:
                for path in todo:
                    if path not in self.final and path not in self.again:
                        self.report(path, failure(path, exc))
            return
        if workers > 1 or self.remote:
            run_tasks(task, items, done, jobs=workers, preload=[__name__, *fmt.preload])
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
            self._finished(path, outcome, retry)


# -- a batch inside a longer hold ----------------------------------------------


def ledger_options(to: str, options: WriteOptions | None = None, force: bool = False) -> dict[str, Any]:
    """What the stamps and the ledger record of a conversion's options (see `shows_done`)."""
    return _options(output_format(to), options or WriteOptions(), force)


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
    ledger = Ledger(out, _options(fmt, options, force), hash_inputs=hash_inputs)
    with contextlib.closing(ledger):
        if dask_address is None and _workers(jobs, len(files)) > 1:
            prestart(preload=[__name__, *fmt.preload])
        batch = _Batch(fmt, out, ledger, options=options, force=force, on_outcome=on_outcome, scratch=scratch)
        return batch.run(
            list(files), [], jobs=jobs, dask_address=dask_address, progress=False, overwrite=overwrite, retry=retry
        )
