"""Converting RAW files, one at a time or many at once on a local process
pool or an existing Dask cluster.

No file is lost: an output that is an input is refused; an existing
output is replaced only with `overwrite`, and skipped as up to date when a
stamp beside it shows it was converted from this input as it is now, with
the same options. A file that fails the layout check is refused unless
`force` is given."""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import replace
from typing import Any

from .atomic import OutputError, atomic_path, remove_dead_parts
from .batch import (UP_TO_DATE, ClusterError, Outcome, collect_inputs, default_jobs, failed, refused,
                    run_dask, run_pool, stop_on_sigterm, task_outcome)
from .check import LayoutError
from .formats import OutputFormat, WriteOptions, output_format
from .reading import ScanSource, StrPath, describe_failure

__all__ = ["ClusterError", "Outcome", "OutputError", "OutputExists", "collect_inputs", "convert_file",
           "convert_many", "convert_one", "default_jobs", "output_paths", "plan"]


class OutputExists(OutputError):
    """An output exists that this conversion may not replace."""


def output_paths(raw: StrPath, to: str, out_dir: StrPath) -> list[str]:
    """Where `convert_file` writes: DIR/<stem>.mzML, DIR/<stem>.mgf, or
    DIR/scans/<stem>.parquet and DIR/peaks/<stem>.parquet."""
    return output_format(to).paths(raw, out_dir)


def check_dependencies(to: str) -> None:
    """Raises MissingDependency when a package that `to` needs is not installed."""
    output_format(to).check_packages()


# -- what a conversion may write ---------------------------------------------

def stamp_path(raw: StrPath, fmt: OutputFormat, out_dir: StrPath) -> str:
    """The hidden file beside the outputs that records what they were made from."""
    stem = os.path.splitext(os.path.basename(os.fspath(raw)))[0]
    return os.path.join(os.fspath(out_dir), f".{stem}.{fmt.name}.vantoro.json")


def _facts(path: str) -> list[int]:
    st = os.stat(path)
    return [st.st_size, st.st_mtime_ns]


def _stamp(raw: str, fmt: OutputFormat, outputs: Sequence[str], options: WriteOptions,
           force: bool) -> dict[str, Any]:
    return {"input": os.path.realpath(raw), "input_facts": _facts(raw), "format": fmt.name,
            "options": {"ms_levels": sorted(options.ms_levels) if options.ms_levels else None,
                        "compression": options.compression, "force": force},
            "outputs": {os.path.basename(p): _facts(p) for p in outputs}}


def _is_up_to_date(raw: str, fmt: OutputFormat, outputs: Sequence[str], out_dir: str,
                   options: WriteOptions, force: bool) -> bool:
    try:
        with open(stamp_path(raw, fmt, out_dir), encoding="utf-8") as f:
            return bool(json.load(f) == _stamp(raw, fmt, outputs, options, force))
    except (OSError, ValueError):
        return False


def plan(raw: str, fmt: OutputFormat, out_dir: str, *, options: WriteOptions, force: bool = False,
         overwrite: bool = False, inputs: Sequence[str] = ()) -> Outcome | None:
    """Why `raw` must not be converted now, as an outcome (refused, or
    skipped as up to date), or None when it may be. Reads no file: only
    asks the file system about paths."""
    outputs = fmt.paths(raw, out_dir)
    existing = [p for p in outputs if os.path.lexists(p)]
    for p in existing:
        for source in {raw, *inputs}:
            try:
                same = os.path.samefile(p, source)
            except OSError:
                same = False
            if same:
                return refused(raw, f"the output {p} is an input file; not converted")
    if not existing or overwrite:
        return None
    if len(existing) == len(outputs) and _is_up_to_date(raw, fmt, outputs, out_dir, options, force):
        return Outcome(raw, tuple(outputs), status=UP_TO_DATE)
    return refused(raw, f"{existing[0]} exists and was not converted from this file as it is now "
                        "(--overwrite replaces it)")


# -- converting one file -------------------------------------------------------

def _write(source: ScanSource, fmt: OutputFormat, out_dir: str, options: WriteOptions,
           force: bool) -> tuple[list[str], dict[str, int]]:
    paths = fmt.paths(source.path, out_dir)
    before = _facts(source.path)
    for path in paths:
        directory = os.path.dirname(path) or "."
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as exc:
            raise OutputError(directory, exc) from exc
    try:
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
        raise OSError("changed while it was being converted; its outputs were removed")
    stamp = _stamp(source.path, fmt, paths, options, force)
    with atomic_path(stamp_path(source.path, fmt, out_dir)) as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump(stamp, f)
    return paths, dict(written.warnings)


def _open_source(raw: str, force: bool, on_progress: Callable[[float], None] | None) -> ScanSource:
    """The input opened and checked, passing `on_progress` each scan's share of the file."""
    step = 0.0

    def on_scan() -> None:
        if on_progress is not None:
            on_progress(step)

    source = ScanSource(raw, force=force, on_scan=on_scan)
    step = 1.0 / max(1, source.num_scans)
    return source


def convert_one(raw: str, to: str, out_dir: str, *, options: WriteOptions | None = None,
                force: bool = False, on_progress: Callable[[float], None] | None = None) -> Outcome:
    """Converts `raw` (already planned: see `plan`) and says what became of
    it: converted, refused by the layout check, or failed. Raises only
    MissingDependency and interruptions."""
    fmt = output_format(to)
    try:
        source = _open_source(raw, force, on_progress)
        paths, warnings = _write(source, fmt, out_dir, options or WriteOptions(), force)
    except LayoutError as exc:
        return refused(raw, f"{exc} (--force converts it anyway)")
    except OutputError as exc:
        return failed(raw, str(exc))
    except ImportError:
        raise
    except Exception as exc:  # noqa: BLE001  (any failure belongs to this file alone)
        return failed(raw, describe_failure(raw, exc))
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        return failed(raw, f"internal fault of the reader: {exc}")
    return Outcome(raw, tuple(paths), warnings=warnings)


def convert_file(raw: StrPath, to: str, out_dir: StrPath, *,
                 on_progress: Callable[[float], None] | None = None,
                 options: WriteOptions | None = None, force: bool = False,
                 overwrite: bool = False) -> list[str]:
    """Converts one RAW file to `to` ("mzml", "mgf" or "parquet") under
    `out_dir` (created if needed) and returns the output paths; outputs
    that are up to date are not written again. Raises OSError or
    NotRawFileError when the file cannot be read, LayoutError when it fails
    the layout check (unless `force`), OutputExists when an output exists
    that may not be replaced (see `plan`; `overwrite` replaces it),
    OutputError when an output cannot be written, and MissingDependency
    when a writer's package is missing. `on_progress` receives the fraction
    of the file done since its last call."""
    raw, out = os.fspath(raw), os.fspath(out_dir)
    fmt = output_format(to)
    options = options or WriteOptions()
    stop = plan(raw, fmt, out, options=options, force=force, overwrite=overwrite)
    if stop is not None and stop.status == UP_TO_DATE:
        return list(stop.outputs)
    if stop is not None:
        raise OutputExists(fmt.paths(raw, out)[0], stop.error or "exists")
    return _write(_open_source(raw, force, on_progress), fmt, out, options, force)[0]


def convert_task(raw: str, to: str, out_dir: str, options: WriteOptions | None = None,
                 force: bool = False) -> Outcome:
    """`convert_one` as a task for a process pool or a cluster."""
    return convert_one(raw, to, out_dir, options=options, force=force)


# -- converting many -----------------------------------------------------------

def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, file=sys.stderr, dynamic_ncols=True, desc=f"0/{total} files",
                bar_format="{desc} {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]")


def _unique_stems(files: Sequence[str]) -> tuple[list[str], list[Outcome]]:
    """Each file once; a file whose stem another has already is refused,
    since its outputs would replace the other's."""
    stems: dict[str, str] = {}
    unique: list[str] = []
    problems: list[Outcome] = []
    for path in files:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in stems and os.path.abspath(path) == os.path.abspath(stems[stem]):
            continue  # named twice: converted once
        if stem in stems:
            problems.append(refused(path, f"same name stem as {stems[stem]}; not converted"))
            continue
        stems[stem] = path
        unique.append(path)
    return unique, problems


def convert_many(inputs: Iterable[StrPath], to: str, out_dir: StrPath, *, jobs: int | None = None,
                 dask_address: str | None = None, progress: bool = False,
                 on_outcome: Callable[[Outcome], None] | None = None,
                 options: WriteOptions | None = None, force: bool = False,
                 overwrite: bool = False) -> list[Outcome]:
    """Converts every RAW file that `inputs` names (see `collect_inputs`)
    and returns an Outcome for each: first the inputs that could not be
    used or may not be converted now (refused, up to date), then the files
    converted, in input order.

    The files are converted in `jobs` processes (default: one per core this
    process may use; with one job or one file, in this process), or, with
    `dask_address`, as tasks on the Dask cluster whose scheduler listens
    there; its workers need vantoro installed and the same paths. Every file
    gets the same task, so the outputs do not depend on where it ran.
    `progress` shows a bar on standard error; `on_outcome` is called as each
    file finishes. SIGTERM, like Ctrl-C, stops the run: workers end, their
    partial files are removed, and Stopped (KeyboardInterrupt) is raised.
    Raises ClusterError when the scheduler cannot be reached."""
    fmt = output_format(to)
    fmt.check_packages()
    options = options or WriteOptions()
    found, problems = collect_inputs(inputs)
    files, twice = _unique_stems(found)
    problems += twice
    out = os.path.abspath(os.fspath(out_dir))
    if os.path.exists(out) and not os.path.isdir(out):
        problems += [failed(f, str(OutputError(out, "not a directory"))) for f in files]
        files = []
    todo = []
    for path in files:
        stop = plan(os.path.abspath(path), fmt, out, options=options, force=force, overwrite=overwrite,
                    inputs=[os.path.abspath(f) for f in found])
        if stop is None:
            todo.append(path)
        else:
            problems.append(replace(stop, source=path))
    for directory in {os.path.dirname(p) for p in fmt.paths("x", out)}:
        remove_dead_parts(directory)
    for outcome in problems:
        if on_outcome is not None:
            on_outcome(outcome)
    outcomes: dict[str, Outcome] = {}
    bar = _progress_bar(len(todo), progress and bool(todo))

    def finished(path: str, outcome: Outcome) -> None:
        # Tasks see absolute paths; outcomes name the file as the caller did.
        outcome = replace(outcome, source=path,
                          error=outcome.error.replace(outcome.source, path) if outcome.error else None)
        outcomes[path] = outcome
        if on_outcome is not None:
            if bar is not None:
                with bar.external_write_mode(file=sys.stderr):
                    on_outcome(outcome)
            else:
                on_outcome(outcome)
        if bar is not None:
            bar.set_description_str(f"{len(outcomes)}/{len(todo)} files", refresh=False)
            bar.update(1.0)

    items = [(p, (os.path.abspath(p), to, out, options, force)) for p in todo]
    workers = min(jobs or default_jobs(), len(todo))
    try:
        with stop_on_sigterm():
            if dask_address is not None:
                run_dask(convert_task, items, dask_address,
                         lambda path, result: finished(path, task_outcome(path, result)))
            elif workers > 1:
                run_pool(convert_task, items, workers,
                         lambda path, result: finished(path, task_outcome(path, result)),
                         preload=[__name__, *fmt.preload])
            else:
                for path, args in items:
                    # In this process the bar also moves scan by scan.
                    done = 0.0

                    def advance(step: float) -> None:
                        nonlocal done
                        if bar is not None and done + step < 1.0:
                            done += step
                            bar.update(step)

                    outcome = convert_one(*args[:3], options=options, force=force, on_progress=advance)
                    if bar is not None:
                        bar.update(-done)
                    finished(path, outcome)
    finally:
        if bar is not None:
            bar.close()
    return problems + [outcomes[p] for p in todo]
