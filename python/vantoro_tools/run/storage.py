"""RAW files under URLs (s3://bucket/prefix/, through fsspec and s3fs):
listing them, and fetching one to local scratch space for the reader, which
takes a path. Scratch holds one file per running task and is removed on
every way out of the task; scratch left by a process that was killed
outright is removed by the next batch on the same host.

The reader takes a file's layout from the path it opens, so a fetched copy
keeps the object's whole path (bucket and key) below its scratch directory,
and a scratch directory whose own path holds a layout marker is refused:
the copy then selects the same tables as the URL the user named."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator

from ..base.liveness import PART_SUFFIX, owner_tag, part_owner_alive
from ..base.urls import is_url, url_fs
from ..source.layout import MARKERS, selects_layout
from .errors import UnsafeScratch
from .outcome import Outcome, failed

__all__ = ["is_url", "list_raw", "fetched", "staging_dir", "check_scratch", "remove_dead_scratch", "SCRATCH_PREFIX"]

RAW_SUFFIX = ".raw"
#: Scratch directories: .vantoro-scratch.<token>.<pid>-<start>@<host>.part, like partial outputs.
SCRATCH_PREFIX = ".vantoro-scratch"


# `shutil` and `tempfile` cost some 3 ms to import (measured): every command
# lists its inputs through this module, only those that fetch objects need them.
def _tempdir() -> str:
    import tempfile

    return tempfile.gettempdir()


def _remove_tree(directory: str) -> None:
    import shutil

    shutil.rmtree(directory, ignore_errors=True)


def list_raw(url: str) -> tuple[list[str], list[Outcome]]:
    """The RAW objects a URL names: the object itself, or the *.raw objects
    under a prefix, sorted; a failure to list is an outcome of its own."""
    fs, path = url_fs(url)
    scheme = url.partition("://")[0]
    try:
        if fs.isfile(path):
            return [url], []
        names = sorted(p for p in fs.ls(path, detail=False) if p.lower().endswith(RAW_SUFFIX))
    except Exception as exc:  # any failure of the store or its client (an endpoint that is down)
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        return [], [failed(url, f"cannot list: {reason}")]
    if not names:
        return [], [failed(url, "holds no .raw objects")]
    return [f"{scheme}://{n.lstrip('/')}" for n in names], []


def scratch_root(scratch: str | None) -> str:
    return scratch or os.environ.get("VANTORO_SCRATCH") or _tempdir()


def _staging_path(root: str, token: str) -> str:
    # Named as partial outputs are, so that its owner's death can be told.
    return os.path.join(root, f"{SCRATCH_PREFIX}.{token}.{owner_tag()}{PART_SUFFIX}")


def check_scratch(scratch: str | None = None) -> None:
    """Raises UnsafeScratch when a file fetched into scratch would be read
    with another layout than its URL selects: the path of its staging
    directory (the scratch root, this host's name) holds a layout marker."""
    root = scratch_root(scratch)
    # The token is hexadecimal: no marker can be made of it.
    if selects_layout(_staging_path(root, "0" * 8)):
        import socket

        markers = " or ".join(repr(m) for m in MARKERS.values())
        raise UnsafeScratch(
            f"scratch directory {root}: its path (or this host's name, {socket.gethostname()}) holds a layout "
            f"marker ({markers}), so every fetched file would be read with that layout; set --scratch or "
            "VANTORO_SCRATCH to a directory whose path holds none"
        )


@contextlib.contextmanager
def staging_dir(scratch: str | None = None) -> Iterator[str]:
    """A private directory in scratch, removed when the block ends, however it ends."""
    directory = _staging_path(scratch_root(scratch), os.urandom(4).hex())
    os.mkdir(directory, 0o700)
    try:
        yield directory
    finally:
        _remove_tree(directory)


@contextlib.contextmanager
def fetched(url: str, scratch: str | None = None) -> Iterator[str]:
    """A local copy of object `url`, under its whole path (bucket and key)
    in a scratch directory that is removed when the block ends, however it
    ends. Raises UnsafeScratch (see `check_scratch`), and OSError
    (transient) when the object cannot be fetched or scratch has no room
    for it."""
    root = scratch_root(scratch)
    check_scratch(scratch)
    fs, path = url_fs(url)
    try:
        size = int(fs.info(path).get("size") or 0)
    except FileNotFoundError:
        raise
    except Exception as exc:  # any failure of the store or its client
        raise OSError(f"cannot fetch {url}: {exc}") from exc
    import shutil

    free = shutil.disk_usage(root).free
    if size > free:
        raise OSError(f"no room in scratch {root} for {size} bytes ({free} free)")
    with staging_dir(scratch) as directory:
        local = os.path.join(directory, *_local_parts(path))
        try:
            os.makedirs(os.path.dirname(local), exist_ok=True)
            fs.get_file(path, local)
        except Exception as exc:  # any failure of the store or its client
            if isinstance(exc, OSError):
                raise
            raise OSError(f"cannot fetch {url}: {exc}") from exc
        yield local


def _local_parts(path: str) -> list[str]:
    """The folders and name of an object's path as local path parts: empty
    parts dropped, and "." and ".." (which would leave the scratch
    directory) spelled out; none of these can hold a layout marker."""
    return [p.replace(".", "%2E") if p in (".", "..") else p for p in path.split("/") if p]


def remove_dead_scratch(scratch: str | None = None) -> list[str]:
    """Removes the scratch directories of processes on this host that have died."""
    root = scratch_root(scratch)
    removed = []
    with contextlib.suppress(OSError):
        for name in os.listdir(root):
            if name.startswith(SCRATCH_PREFIX + ".") and part_owner_alive(name) is False:
                _remove_tree(os.path.join(root, name))
                removed.append(name)
    return removed
