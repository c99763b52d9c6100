"""Remote outputs: outputs under a URL (s3://bucket/prefix/...) follow the
rules of local ones: an object is replaced only when vantoro wrote it from
the same input and it is unchanged since (its stamp object says so), or
with `overwrite`; an up-to-date output is skipped. An object is whole or
absent: the store makes an uploaded object visible only once its upload has
completed (a single PUT, or a multipart upload's completion), and the stamp
follows it."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from typing import Any

from ...base.urls import is_url, url_fs
from ..errors import OutputError, OutputExists
from .stamps import stamp_path


def _read_remote_stamp(dest: str) -> dict[str, Any] | None:
    fs, path = url_fs(stamp_path(dest))
    try:
        with fs.open(path, "rb") as f:
            stamp = json.loads(f.read())
    except (OSError, ValueError):
        return None
    return stamp if isinstance(stamp, dict) else None


def _remote_size(dest: str) -> int | None:
    fs, path = url_fs(dest)
    try:
        return int(fs.info(path)["size"])
    except (OSError, KeyError, ValueError):
        return None


def remote_up_to_date(dests: Sequence[str], source: Mapping[str, Any], options: Mapping[str, Any]) -> bool:
    """`up_to_date` for objects: each exists as vantoro wrote it from
    `source` (its record: location and identity) with these options."""
    for dest in dests:
        stamp = _read_remote_stamp(dest)
        if stamp is None or stamp.get("output") != [_remote_size(dest)]:
            return False
        if stamp.get("inputs") != [dict(source)] or stamp.get("options") != dict(options):
            return False
    return True


def remote_may_write(dests: Sequence[str], source: str, *, overwrite: bool = False) -> None:
    """`may_write` for objects: an existing object is replaced only when
    vantoro wrote it from `source` and it is unchanged since, or with
    `overwrite`; never the input itself."""
    for dest in dests:
        if dest == source:
            raise OutputExists(dest, f"the output {dest} is an input file")
        if overwrite or _remote_size(dest) is None:
            continue
        stamp = _read_remote_stamp(dest)
        mine = stamp is not None and stamp.get("output") == [_remote_size(dest)]
        if not mine or [r.get("path") for r in (stamp or {}).get("inputs", [])] != [source]:
            raise OutputExists(
                dest, f"{dest} exists and vantoro did not write it from this input (--overwrite replaces it)"
            )


def upload(
    local: str,
    dest: str,
    source: Mapping[str, Any] | None = None,
    options: Mapping[str, Any] | None = None,
    sha256: str | None = None,
) -> None:
    """Uploads the finished local file `local` as object `dest`, then its
    stamp (when `source` is given; with the file's SHA-256 when known).
    Raises OutputError naming `dest`."""
    fs, path = url_fs(dest)
    try:
        # The stamp first: a run stopped in between leaves a stamp that
        # vouches for no object, never an object without its stamp.
        if source is not None:
            stamp = {"inputs": [dict(source)], "options": dict(options or {}), "output": [os.path.getsize(local)]}
            if sha256 is not None:
                stamp["sha256"] = sha256
            with fs.open(url_fs(stamp_path(dest))[1], "wb") as f:
                f.write(json.dumps(stamp).encode())
        fs.put_file(local, path)
    except Exception as exc:  # any failure of the store or its client
        raise OutputError(dest, str(exc) or type(exc).__name__) from exc


def object_size(dest: str) -> int | None:
    """The size of a local file or an object, or None when there is none."""
    if is_url(dest):
        return _remote_size(dest)
    try:
        return os.path.getsize(dest)
    except OSError:
        return None
