"""Output files that appear under their final name only when complete."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator

from .reading import StrPath


@contextlib.contextmanager
def atomic_path(dest: StrPath) -> Iterator[str]:
    """Yields a temporary path in the directory of `dest` for the caller to
    write; renames it to `dest` when the block ends normally and removes it
    when the block raises (Ctrl-C included). The temporary name is hidden
    and ends in ".part", so an interrupted run never leaves a file that
    looks whole under the final name."""
    dest = os.fspath(dest)
    directory, name = os.path.split(os.path.abspath(dest))
    while True:
        tmp = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.part")
        try:
            # Created like any new file (mode 0666 less the umask), not 0600.
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            break
        except FileExistsError:
            continue
    try:
        yield tmp
        os.replace(tmp, dest)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
