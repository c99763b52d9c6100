"""Stamps: the hidden file beside each output that records what it was made
from (its inputs, where they are and their size and time or identity, and
the options) and by what (the writer: the command and format), and what
they decide:

- whether an output is up to date, so that writing it again would give the
  same file (`up_to_date`);
- whether a file may be written (`may_write`): never over an input (the
  same file, also through a hard or symbolic link), whatever the options;
  over an existing file only when vantoro wrote it, as the same writer,
  from the same inputs and it is unchanged since, or with `overwrite`.

An output written through `atomic_path` under `stamping` gets its stamp
just before it is renamed into place, with the output's SHA-256 when its
writer computed it as it wrote."""

from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from ...base.paths import StrPath
from ...base.urls import is_url, url_identity
from ..errors import OutputError, OutputExists
from .parts import atomic_path, finishing, new_part

STAMP_SUFFIX = ".vantoro.json"


def stamp_path(dest: StrPath) -> str:
    """The hidden file beside `dest` that records what it was made from."""
    directory, name = os.path.split(os.fspath(dest))
    return os.path.join(directory, f".{name}{STAMP_SUFFIX}")


def _facts(path: str) -> list[int]:
    st = os.stat(path)
    return [st.st_size, st.st_mtime_ns]


def _read_stamp(dest: str) -> dict[str, Any] | None:
    try:
        with open(stamp_path(dest), encoding="utf-8") as f:
            stamp = json.load(f)
    except (OSError, ValueError):
        return None
    return stamp if isinstance(stamp, dict) else None


def _input_record(path: str) -> dict[str, Any]:
    if is_url(path):  # an object read through a local copy: named by its URL, known by its identity
        return {"path": path, "facts": url_identity(path)}
    return {"path": os.path.realpath(path), "facts": _facts(path)}


def _where(path: str) -> str:
    return path if is_url(path) else os.path.realpath(path)


def refuse_inputs(dests: Sequence[str], inputs: Sequence[str]) -> None:
    """Raises OutputExists when an output is one of the inputs."""
    for dest in dests:
        if not os.path.lexists(dest):
            continue
        for source in inputs:
            if is_url(source):
                continue  # a local output is never an object
            try:
                same = os.path.samefile(dest, source)
            except OSError:
                same = False
            if same:
                raise OutputExists(dest, f"the output {dest} is an input file")


def written_by(dest: str) -> str | None:
    """The command and format that wrote `dest`, as its stamp says, if any."""
    stamp = _read_stamp(dest)
    writer = None if stamp is None else stamp.get("writer")
    return writer if isinstance(writer, str) else None


def written_from(dest: str, inputs: Sequence[str] | None, writer: str | None = None) -> bool:
    """Whether vantoro wrote `dest` from these inputs (None: from any), as
    `writer` (the command and format; None: whichever), and it is unchanged
    since. A stamp from before stamps named their writer matches any."""
    stamp = _read_stamp(dest)
    if stamp is None:
        return False
    if writer is not None and stamp.get("writer", writer) != writer:
        return False
    try:
        unchanged = stamp.get("output") == _facts(dest)
    except OSError:
        return False
    if inputs is None:
        return unchanged
    wanted = sorted(_where(p) for p in inputs)
    return unchanged and sorted(str(r.get("path")) for r in stamp.get("inputs", [])) == wanted


def up_to_date(dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any]) -> bool:
    """Whether every output exists as vantoro wrote it from the inputs as
    they are now, with the same options: writing it again would give the
    same files."""
    try:
        current = [_input_record(p) for p in inputs]
    except OSError:
        return False
    for dest in dests:
        stamp = _read_stamp(dest)
        try:
            if stamp is None or stamp.get("output") != _facts(dest):
                return False
        except OSError:
            return False
        if stamp.get("inputs") != current or stamp.get("options") != dict(options):
            return False
    return True


def may_write(
    dests: Sequence[str],
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    writer: str | None = None,
) -> None:
    """Raises OutputExists unless every output of `dests` may be written:
    never over an input; over an existing file only when vantoro wrote it,
    as `writer` (the command and format that writes it now), from the same
    inputs (from any, with `any_inputs`: a report of another batch) and it
    is unchanged since, or with `overwrite`."""
    refuse_inputs(dests, inputs)
    for dest in dests:
        if os.path.lexists(dest) and not os.path.isfile(dest):  # a directory, a device, a FIFO: never replaced
            raise OutputExists(dest, f"{dest} is not a regular file; vantoro writes no output there")
    if overwrite:
        return
    for dest in dests:
        other = written_by(dest) if writer is not None and os.path.lexists(dest) else None
        if other is not None and other != writer:
            raise OutputExists(dest, f"{dest} exists, written by vantoro {other} (--overwrite replaces it)")
        if os.path.lexists(dest) and not written_from(dest, None if any_inputs else inputs):
            what = "it" if any_inputs else "it from this input"
            raise OutputExists(dest, f"{dest} exists and vantoro did not write {what} (--overwrite replaces it)")


def check_writable(
    dest: StrPath,
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    writer: str | None = None,
) -> None:
    """Raises OutputError (OutputExists) when `dest` could not be written
    now: its directory missing or not writable, or `may_write` refusing it.
    For an output made after long work, checked before that work starts."""
    dest = os.fspath(dest)
    directory = os.path.dirname(os.path.abspath(dest))
    if not os.path.isdir(directory):
        raise OutputError(dest, "no such directory" if not os.path.lexists(directory) else "not a directory")
    may_write([dest], inputs, overwrite=overwrite, any_inputs=any_inputs, writer=writer)
    os.unlink(new_part(dest))  # the directory takes a new file


@contextlib.contextmanager
def stamping(
    dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any], writer: str | None = None
) -> Iterator[None]:
    """While the block runs, each of `dests` that this thread writes through
    `atomic_path` gets its stamp just before it is renamed into place, so
    that an output is never seen whole without its stamp (a run killed in
    between leaves a stamp without its output, which vouches for nothing)."""
    made_from, made_with = list(inputs), dict(options)

    def stamp(dest: str, written: str, sha256: str | None) -> None:
        _write_stamp(dest, written, made_from, made_with, writer, sha256)

    with finishing({os.path.abspath(d): stamp for d in dests}):
        yield


def write_stamps(
    dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any], writer: str | None = None
) -> None:
    """Records beside each finished output what it was made from, and by what."""
    for dest in dests:
        _write_stamp(dest, dest, inputs, options, writer)


def _write_stamp(
    dest: str,
    written: str,
    inputs: Sequence[str],
    options: Mapping[str, Any],
    writer: str | None,
    sha256: str | None = None,
) -> None:
    """The stamp of `dest`, whose content is the file `written` (itself, or
    the temporary file about to be renamed to it: a rename keeps size and
    modification time), with its SHA-256 when its writer computed it."""
    stamp: dict[str, Any] = {"inputs": [_input_record(p) for p in inputs], "options": dict(options)}
    stamp["output"] = _facts(written)
    if writer is not None:
        stamp["writer"] = writer
    if sha256 is not None:
        stamp["sha256"] = sha256
    with atomic_path(stamp_path(dest)) as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump(stamp, f)
