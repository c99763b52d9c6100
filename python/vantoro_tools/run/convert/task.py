"""Converting one file: the task a batch gives each input, run in this
process, on a pool worker or on a Dask worker alike (`convert_one`,
`convert_task`; `convert_remote_task` for outputs under a URL), and
`convert_file`, one file converted on its own.

The input is opened and checked (refused by the layout check unless
`force`) and written through the output layer, each output stamped as it
is renamed into place; an input that changed while it was read gives no
output. What the ledger records of the attempt is taken where it ran
(`attempt_details`)."""

from __future__ import annotations

import contextlib
import os
import socket
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import replace
from typing import Any

from ...base.paths import StrPath, as_path, sha256_file
from ...base.urls import is_url
from ...source.raw import ChangedWhileRead
from ...source.scans import ScanSource, open_source
from ...write.formats import WriteOptions
from ...write.output import (
    DirectoryLock,
    OutputError,
    OutputExists,
    OutputGone,
    recording_digests,
    stamp_path,
    stamping,
    upload,
)
from ...write.registry import OutputFormat, output_format
from ..cluster import worker_name
from ..ledger import Ticket, write_record
from ..outcome import CONVERTED, UP_TO_DATE, Outcome
from ..policy import CONVERTS, attempt, failure
from ..storage import fetched, staging_dir
from .plan import check_options, input_record, plan, recorded_options, writer


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
        with stamping(paths, [source.path], recorded_options(fmt, options, force), writer(fmt)):
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
    with recording_digests() as digests:  # each output's SHA-256, taken as it was written
        outcome = _convert_one(raw, fmt, out_dir, options or WriteOptions(), force, on_progress, path_text)
    try:
        details = attempt_details(started, outcome.outputs, digests)
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


def attempt_details(started: int, outputs: Sequence[str], digests: Mapping[str, str] | None = None) -> dict[str, Any]:
    """What the ledger records of one attempt, taken where it ran: the host,
    the worker (the Dask worker's address, or the process), its start and
    end (nanoseconds since 1970), and each output's size and SHA-256.

    The SHA-256 is the one its writer took from the bytes as it wrote them
    (`digests`, by the output's absolute path: see `recording_digests`);
    an output whose writer took none (a zipped mzPeak archive, whose ZIP
    headers are written again after their member) is read back and hashed
    here. On a pool or a cluster this runs on the worker."""
    known = digests or {}

    def sha256(path: str) -> str:
        return known.get(os.path.abspath(path)) or sha256_file(path)

    return {
        "host": socket.gethostname(),
        "worker": worker_name(),
        "started_ns": started,
        "ended_ns": time.time_ns(),
        "outputs": [{"path": p, "size": os.path.getsize(p), "sha256": sha256(p)} for p in outputs],
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
    with held_directory(out):
        stop = plan(raw, fmt, out, options=options, force=force, overwrite=overwrite)
        if stop is not None and stop.status == UP_TO_DATE:
            return list(stop.outputs)
        if stop is not None:
            raise OutputExists(fmt.paths(raw, out)[0], stop.error or "exists")
        return _write(_open_source(raw, force, on_progress), fmt, out, options, force)[0]


def convert_task(
    raw: str,
    to: str,
    out_dir: str,
    options: WriteOptions | None = None,
    force: bool = False,
    ticket: Ticket | None = None,
) -> Outcome:
    """`convert_one` as a task for a process pool or a cluster, which writes
    the attempt's record in the batch's ledger where `ticket` says."""
    outcome = convert_one(raw, to, out_dir, options=options, force=force)
    return outcome if ticket is None else write_record(ticket, outcome, raw)


def convert_remote_task(
    location: str,
    to: str,
    out_url: str,
    options: WriteOptions | None = None,
    force: bool = False,
    scratch: str | None = None,
    ticket: Ticket | None = None,
) -> Outcome:
    """Converts `location` (a URL, fetched to scratch, or a local path) for
    outputs under `out_url`: written in scratch, then each uploaded whole,
    with its stamp; writes the attempt's record where `ticket` says. Scratch
    is removed however the task ends."""
    outcome = _convert_remote(location, to, out_url, options, force, scratch)
    return outcome if ticket is None else write_record(ticket, outcome, location)


def _convert_remote(
    location: str, to: str, out_url: str, options: WriteOptions | None, force: bool, scratch: str | None
) -> Outcome:
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
            digests = {o["path"]: o.get("sha256") for o in details.get("outputs", [])}
            recorded = recorded_options(fmt, options or WriteOptions(), force)
            for written, dest in zip(outcome.outputs, dests):
                upload(written, dest, record, recorded, digests.get(dest))
            return replace(outcome, outputs=tuple(dests), details={**details, "started_ns": started})
    except BaseException as exc:  # the store's failures, fetching or uploading
        return failure(location, exc, action=CONVERTS)


def _renamed(error: str | None, local: str, location: str) -> str | None:
    return error.replace(local, location) if error else None


@contextlib.contextmanager
def held_directory(out: str) -> Iterator[None]:
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
