"""Converting RAW files, one at a time or many at once on a local process
pool or an existing Dask cluster."""

from __future__ import annotations

import importlib
import importlib.util
import multiprocessing
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass, replace
from multiprocessing.context import BaseContext
from typing import Any

from ._deps import missing
from .formats import FORMATS, WriteOptions, output_format
from .reading import ScanSource, StrPath, describe_failure

RAW_SUFFIX = ".raw"  # matched without regard to case: run.raw, run.RAW


class OutputError(OSError):
    """An output file or directory could not be written."""


class ClusterError(RuntimeError):
    """The Dask scheduler could not be reached."""


def default_jobs() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def output_paths(raw: StrPath, to: str, out_dir: StrPath) -> list[str]:
    """Where `convert_file` writes: DIR/<stem>.mzML, DIR/<stem>.mgf, or
    DIR/scans/<stem>.parquet and DIR/peaks/<stem>.parquet."""
    return output_format(to).paths(raw, out_dir)


def check_dependencies(to: str) -> None:
    """Raises MissingDependency when a package that `to` needs is not installed."""
    output_format(to).check_packages()


def convert_file(raw: StrPath, to: str, out_dir: StrPath, *,
                 on_progress: Callable[[float], None] | None = None,
                 options: WriteOptions | None = None, force: bool = False) -> list[str]:
    """Converts one RAW file to `to` ("mzml", "mgf" or "parquet") under
    `out_dir` (created if needed) and returns the paths written. Raises
    OSError or NotRawFileError when the file cannot be read, LayoutError
    when it fails the layout check (unless `force`), OutputError when an
    output cannot be written, and MissingDependency when a writer's
    package is missing. `on_progress` receives the fraction of the file
    done since its last call."""
    fmt = output_format(to)
    paths = fmt.paths(raw, out_dir)
    step = 0.0

    def on_scan() -> None:
        if on_progress is not None:
            on_progress(step)

    source = ScanSource(raw, force=force, on_scan=on_scan)  # the input's faults come first
    step = 1.0 / max(1, source.num_scans)
    try:
        for path in paths:
            os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        fmt.write(source, paths, options or WriteOptions())
    except OSError as exc:
        # The input is open and read without raising from here on.
        raise OutputError(f"cannot write to {os.fspath(out_dir)}: {exc.strerror or exc}") from exc
    return paths


@dataclass(frozen=True)
class Outcome:
    """What became of one input: the files written, or why none were."""

    source: str
    outputs: tuple[str, ...] = ()
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def convert_task(raw: str, to: str, out_dir: str,
                 on_progress: Callable[[float], None] | None = None) -> Outcome:
    """`convert_file` as a task for a process pool or a cluster: a failure
    of this file is returned, not raised."""
    try:
        return Outcome(raw, tuple(convert_file(raw, to, out_dir, on_progress=on_progress)))
    except OutputError as exc:
        return Outcome(raw, error=str(exc))
    except Exception as exc:  # noqa: BLE001  (any failure belongs to this file alone)
        return Outcome(raw, error=describe_failure(raw, exc))


def raw_files_in(directory: str) -> list[str]:
    """The *.raw files (any case) of `directory`, sorted by name."""
    return sorted(os.path.join(directory, n) for n in os.listdir(directory)
                  if n.lower().endswith(RAW_SUFFIX) and os.path.isfile(os.path.join(directory, n)))


def expand_inputs(inputs: Iterable[StrPath]) -> tuple[list[str], list[Outcome]]:
    """The RAW files named by `inputs`: files as given, directories as the
    *.raw files inside them (any case), sorted by name.
    Inputs that cannot be used come back as failed outcomes: an empty
    directory, and a file whose stem another input already has (its
    outputs would overwrite the other's)."""
    files: list[str] = []
    failed: list[Outcome] = []
    for item in inputs:
        path = os.fspath(item)
        if os.path.isdir(path):
            found = raw_files_in(path)
            if not found:
                failed.append(Outcome(path, error="directory holds no .raw files"))
            files += found
        else:
            files.append(path)
    stems: dict[str, str] = {}
    unique: list[str] = []
    for path in files:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in stems and os.path.abspath(path) == os.path.abspath(stems[stem]):
            continue  # named twice: converted once
        if stem in stems:
            failed.append(Outcome(path, error=f"same name stem as {stems[stem]}; not converted"))
            continue
        stems[stem] = path
        unique.append(path)
    return unique, failed


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, file=sys.stderr, dynamic_ncols=True, desc=f"0/{total} files",
                bar_format="{desc} {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]")


def convert_many(inputs: Iterable[StrPath], to: str, out_dir: StrPath, *, jobs: int | None = None,
                 dask_address: str | None = None, progress: bool = False,
                 on_outcome: Callable[[Outcome], None] | None = None) -> list[Outcome]:
    """Converts every RAW file that `inputs` names (see `expand_inputs`) and
    returns an Outcome for each: first the inputs that could not be used,
    then the files in input order.

    The files are converted in `jobs` processes (default: one per core this
    process may use; with one job or one file, in this process), or, with
    `dask_address`, as tasks on the Dask cluster whose scheduler listens
    there; its workers need vantoro installed and the same paths. Every file
    gets the same task, so the outputs do not depend on where it ran.
    `progress` shows a bar on standard error; `on_outcome` is called as each
    file finishes. Raises ClusterError when the scheduler cannot be reached."""
    output_paths("", to, out_dir)  # an unknown format fails before any work
    check_dependencies(to)
    files, failed = expand_inputs(inputs)
    out = os.path.abspath(os.fspath(out_dir))
    for outcome in failed:
        if on_outcome is not None:
            on_outcome(outcome)
    outcomes: dict[str, Outcome] = {}
    bar = _progress_bar(len(files), progress and bool(files))

    def finished(path: str, outcome: Outcome) -> None:
        # Tasks see absolute paths; outcomes name the file as the caller did.
        outcome = replace(outcome, source=path)
        outcomes[path] = outcome
        if on_outcome is not None:
            if bar is not None:
                with bar.external_write_mode(file=sys.stderr):
                    on_outcome(outcome)
            else:
                on_outcome(outcome)
        if bar is not None:
            bar.set_description_str(f"{len(outcomes)}/{len(files)} files", refresh=False)
            bar.update(1.0)

    workers = min(jobs or default_jobs(), len(files))
    try:
        if dask_address is not None:
            _run_dask(files, to, out, dask_address, finished)
        elif workers > 1:
            _run_pool(files, to, out, workers, finished)
        else:
            for path in files:
                # In this process the bar also moves scan by scan.
                done = 0.0

                def advance(step: float) -> None:
                    nonlocal done
                    if bar is not None and done + step < 1.0:
                        done += step
                        bar.update(step)

                outcome = convert_task(os.path.abspath(path), to, out, on_progress=advance)
                if bar is not None:
                    bar.update(-done)
                finished(path, outcome)
    finally:
        if bar is not None:
            bar.close()
    return failed + [outcomes[p] for p in files]


Finished = Callable[[str, Outcome], None]


def _run_pool(files: Sequence[str], to: str, out: str, workers: int, finished: Finished) -> None:
    # Workers are forks of a fresh server process, not of this process and
    # its threads. The server imports the writer's modules once (a module
    # that is not installed is passed over) for every worker to share; that
    # applies when this process starts its server, the first time.
    context: BaseContext = multiprocessing.get_context("spawn")
    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        forkserver.set_forkserver_preload([__name__, *FORMATS[to].preload])
        context = forkserver
    with ProcessPoolExecutor(workers, mp_context=context) as pool:
        futures = {pool.submit(convert_task, os.path.abspath(p), to, out): p for p in files}
        try:
            for future in as_completed(futures):
                finished(futures[future], _result(futures[future], future.result))
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def _run_dask(files: Sequence[str], to: str, out: str, address: str, finished: Finished) -> None:
    try:
        distributed = importlib.import_module("distributed")
    except ImportError as exc:
        raise missing("distributed", "vantoro convert --dask", "dask") from exc
    try:
        client = distributed.Client(address, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as exc:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {exc}") from exc
    with client:
        futures = {client.submit(convert_task, os.path.abspath(p), to, out, pure=False): p for p in files}
        try:
            for future in distributed.as_completed(list(futures), loop=client.loop):
                finished(futures[future], _result(futures[future], future.result))
        except BaseException:
            client.cancel(list(futures))
            raise


def _result(path: str, get: Callable[[], Any]) -> Outcome:
    """The task's outcome, or a failed one when the task itself could not run."""
    try:
        outcome = get()
    except Exception as exc:  # noqa: BLE001  (a lost worker fails this file only)
        return Outcome(path, error=f"task failed: {type(exc).__name__}: {exc}")
    return outcome if isinstance(outcome, Outcome) else Outcome(path, error=f"task returned {outcome!r}")
