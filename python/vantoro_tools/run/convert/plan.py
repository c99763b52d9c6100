"""Planning a conversion: where a file's outputs go, what their stamps
record of the options and name as the writer, which options could only
give a meaningless output, and whether a file may be converted now
(`plan`, `plan_remote`): refused, skipped as up to date, or to be
converted. Planning reads no input: it asks about paths and stamps, and a
store about an object's identity."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from ...base.paths import StrPath
from ...base.urls import is_url, url_identity
from ...write.formats import WriteOptions
from ...write.output import OutputExists, may_write, remote_may_write, remote_up_to_date, up_to_date
from ...write.registry import OutputFormat, output_format
from ..errors import MeaninglessOptions
from ..outcome import UP_TO_DATE, Outcome
from ..policy import attempt, failure


def output_paths(raw: StrPath, to: str, out_dir: StrPath) -> list[str]:
    """Where `convert_file` writes: DIR/<stem>.mzML, DIR/<stem>.mgf, or
    DIR/scans/<stem>.parquet and DIR/peaks/<stem>.parquet."""
    return output_format(to).paths(raw, out_dir)


def recorded_options(fmt: OutputFormat, options: WriteOptions, force: bool) -> dict[str, Any]:
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
    if not overwrite and up_to_date(outputs, [raw], recorded_options(fmt, options, force)):
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
    if not overwrite and remote_up_to_date(outputs, record, recorded_options(fmt, options, force)):
        return Outcome(location, tuple(outputs), status=UP_TO_DATE)
    try:
        remote_may_write(outputs, str(record["path"]), overwrite=overwrite)
    except OutputExists as exc:
        return failure(location, exc)
    return None


def input_record(location: str) -> dict[str, Any]:
    """What an output's stamp records of its input: where it is and its identity now."""
    if is_url(location):
        return {"path": location, "facts": url_identity(location)}
    st = os.stat(location)
    return {"path": os.path.realpath(location), "facts": [st.st_size, st.st_mtime_ns]}


def ledger_options(to: str, options: WriteOptions | None = None, force: bool = False) -> dict[str, Any]:
    """What the stamps and the ledger record of a conversion's options (see `shows_done`)."""
    return recorded_options(output_format(to), options or WriteOptions(), force)
