"""Every file vantoro writes goes through this layer: converted outputs,
plots, chromatograms, reports and the stamps beside them, from the command
and from the library alike.

- `parts`: a file is written under a hidden temporary name in its
  directory, named for the process that writes it, and renamed when whole.
- `stamps`: what each output was made from and by what, and so whether it
  is up to date and whether it may be written: never over an input; over
  an existing file only when vantoro wrote it from the same inputs and it
  is unchanged since, or with `overwrite`.
- `locks`: an output directory is held by one run at a time
  (`DirectoryLock`), and so is an output prefix under a URL (`RemoteLock`).
- `remote`: the same rules for outputs under a URL.
- `digests`: each output's SHA-256 taken from its bytes as they are
  written (`hashed_file`, `Digester`), for its stamp and the ledger
  (`recording_digests`).

`output_file` is all of it for one local file. Every name a caller needs
is importable from here.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from ...base.liveness import PART_SUFFIX, host_tag, owner_tag, part_owner_alive, start_time
from ...base.paths import StrPath, sha256_file
from ...base.urls import is_url, url_fs, url_identity
from ..errors import OutputBusy, OutputError, OutputExists, OutputGone
from .digests import Digester, HashedFile, hashed_file, record_digest, recording_digests
from .locks import LOCK_EXPIRY, LOCK_NAME, DirectoryLock, LockUnsupported, RemoteLock
from .parts import atomic_path, remove_dead_parts
from .remote import object_size, remote_may_write, remote_up_to_date, upload
from .stamps import (
    STAMP_SUFFIX,
    check_writable,
    may_write,
    refuse_inputs,
    stamp_path,
    stamping,
    up_to_date,
    write_stamps,
    written_by,
    written_from,
)

__all__ = [
    "LOCK_EXPIRY",
    "LOCK_NAME",
    "PART_SUFFIX",
    "STAMP_SUFFIX",
    "Digester",
    "DirectoryLock",
    "HashedFile",
    "LockUnsupported",
    "OutputBusy",
    "OutputError",
    "OutputExists",
    "OutputGone",
    "RemoteLock",
    "atomic_path",
    "check_writable",
    "hashed_file",
    "host_tag",
    "is_url",
    "may_write",
    "object_size",
    "output_file",
    "owner_tag",
    "part_owner_alive",
    "record_digest",
    "recording_digests",
    "refuse_inputs",
    "remote_may_write",
    "remote_up_to_date",
    "remove_dead_parts",
    "sha256_file",
    "stamp_path",
    "stamping",
    "start_time",
    "up_to_date",
    "upload",
    "url_fs",
    "url_identity",
    "write_stamps",
    "written_by",
    "written_from",
]


@contextlib.contextmanager
def output_file(
    dest: StrPath,
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    options: Mapping[str, Any] | None = None,
    writer: str | None = None,
) -> Iterator[str]:
    """The whole output layer for one file: its directory held, the output
    checked (`may_write`), a temporary path yielded for the caller to
    write, stamped and renamed to `dest` when the block ends normally."""
    dest = os.fspath(dest)
    with DirectoryLock(os.path.dirname(os.path.abspath(dest)), naming=dest):
        may_write([dest], inputs, overwrite=overwrite, any_inputs=any_inputs, writer=writer)
        with stamping([dest], inputs, options or {}, writer), atomic_path(dest) as tmp:
            yield tmp
