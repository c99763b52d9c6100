"""Opening a RAW file through vantoro's public reader, and the one line
that says why a file could not be used."""

from __future__ import annotations

import os

from vantoro import RawFileReader

from ..base.paths import StrPath, as_path
from . import _native

#: The format versions whose layouts vantoro knows.
KNOWN_VERSIONS: tuple[int, ...] = _native.known_versions()
#: The reader's header: a file shorter than this cannot be opened.
HEADER_BYTES: int = _native.header_size()


class NotRawFileError(ValueError):
    """The file opens, but its header names no format version vantoro reads."""


class LayoutError(ValueError):
    """The file opens, but vantoro cannot read it meaningfully."""


class ChangedWhileRead(OSError):
    """The file changed while it was read (still being written?): what was
    read of it is not the file; nothing made from it is kept."""

    def __init__(self) -> None:
        super().__init__("changed while it was being read (still being written?); nothing was kept from it")


class LayoutMismatch(ValueError):
    """The path the reader opened selects other tables than the location
    the file was named by: what it reads would not be what was judged."""


def not_raw_reason(version: int) -> str:
    known = " and ".join(str(v) for v in KNOWN_VERSIONS)
    return f"not a RAW file (format version {version}; vantoro reads {known})"


def open_raw(path: StrPath) -> RawFileReader:
    """A reader for `path`. Raises the reader's `OSError` when the file cannot
    be read, and `NotRawFileError` when its format version is not one vantoro
    reads (the reader would answer zeros for every scan of such a file)."""
    reader = RawFileReader(as_path(path))
    version = int(reader.version)
    if version not in KNOWN_VERSIONS:
        raise NotRawFileError(not_raw_reason(version))
    return reader


def describe_failure(path: StrPath, exc: BaseException) -> str:
    """One line naming why `path` could not be used."""
    if isinstance(exc, (NotRawFileError, LayoutError, LayoutMismatch, ChangedWhileRead)):
        return str(exc)
    if isinstance(exc, FileNotFoundError):
        return "no such file"
    if isinstance(exc, PermissionError):
        return "permission denied"
    if isinstance(exc, OSError):
        return not_raw_file(path) or f"cannot be read ({exc})"
    return f"{type(exc).__name__}: {exc}"


def not_raw_file(path: StrPath) -> str | None:
    """Why the file at `path` cannot be a RAW file whatever the reader says
    (shorter than the header), or None."""
    try:
        if os.path.isfile(path) and os.path.getsize(path) < HEADER_BYTES:
            return f"not a RAW file (shorter than the {HEADER_BYTES}-byte header)"
    except (OSError, TypeError, ValueError):
        pass
    return None
