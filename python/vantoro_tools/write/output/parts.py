"""Partial files: an output is written under a hidden temporary name in its
directory and renamed into place when whole, so that no file ever looks
whole but is not. The temporary name says which process writes it (host,
process id and the process's start time), so a later run can remove the
partial files of runs that died without ever touching those of a run that
is still writing."""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterator, Mapping

from ...base.liveness import PART_SUFFIX, owner_tag, part_owner_alive
from ...base.paths import StrPath
from ..errors import OutputError
from .digests import begin_part, end_part, note_written


def remove_dead_parts(directory: StrPath) -> list[str]:
    """Removes the partial files in `directory` whose writing process has
    died; returns their paths. Missing or unreadable directories are left
    alone."""
    removed: list[str] = []
    try:
        names = os.listdir(directory)
    except OSError:
        return removed
    for name in names:
        if name.endswith(PART_SUFFIX) and part_owner_alive(name) is False:
            path = os.path.join(os.fspath(directory), name)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
                removed.append(path)
    return removed


def new_part(dest: str) -> str:
    """A new, empty partial file for `dest`, named for its writing process."""
    directory, name = os.path.split(os.path.abspath(dest))
    owner = owner_tag()
    while True:
        tmp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.{owner}{PART_SUFFIX}")
        try:
            # Created like any new file (mode 0666 less the umask), not 0600.
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return tmp
        except FileExistsError:
            continue
        except OSError as exc:
            raise OutputError(dest, exc) from exc


#: What this thread does to some of its outputs just before they are renamed into place (see `finishing`).
_finishing = threading.local()


@contextlib.contextmanager
def finishing(steps: Mapping[str, Callable[[str, str, str | None], None]]) -> Iterator[None]:
    """While the block runs, `atomic_path` of each output in `steps` (by
    its absolute path) calls the output's step with the output, its whole
    temporary file and that file's SHA-256 when its writer recorded one
    (`record_digest`; else None), just before renaming the one to the
    other (a stamp written there: see `stamping`)."""
    pending = getattr(_finishing, "pending", {})
    _finishing.pending = {**pending, **steps}
    try:
        yield
    finally:
        _finishing.pending = pending


@contextlib.contextmanager
def atomic_path(dest: StrPath) -> Iterator[str]:
    """Yields a temporary path in the directory of `dest` for the caller to
    write; renames it to `dest` when the block ends normally and removes it
    when the block raises (Ctrl-C and a stop signal included); the step of
    an output of `finishing` runs just before. The SHA-256 its writer
    recorded for the temporary file (`record_digest`), if any, goes to that
    step and to `recording_digests`. Raises OutputError naming `dest` when
    the temporary file cannot be created or renamed."""
    dest = os.fspath(dest)
    tmp = new_part(dest)
    begin_part(tmp)
    try:
        yield tmp
        sha256 = end_part(tmp)
        step = getattr(_finishing, "pending", {}).get(os.path.abspath(dest))
        if step is not None:
            step(dest, tmp, sha256)
        try:
            os.replace(tmp, dest)
        except OSError as exc:
            raise OutputError(dest, exc) from exc
        note_written(dest, sha256)
    except BaseException:
        end_part(tmp)
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
