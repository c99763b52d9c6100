"""Path arguments: what the library functions accept as one path or many."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from typing import Union

StrPath = Union[str, "os.PathLike[str]"]


def as_path(value: object, what: str = "path") -> str:
    """`value` (a str or an os.PathLike) as a str path; TypeError otherwise."""
    if isinstance(value, (str, os.PathLike)):
        path = os.fspath(value)
        if isinstance(path, str):
            return path
    raise TypeError(f"{what} must be a str or os.PathLike, not {type(value).__name__}")


def as_paths(value: StrPath | Iterable[StrPath], what: str = "inputs") -> list[str]:
    """One path (a str or os.PathLike) or an iterable of them, as a list of
    str paths: a single string is one path, never its characters."""
    if isinstance(value, (str, os.PathLike)):
        return [as_path(value, what)]
    if isinstance(value, (bytes, bytearray)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be a path or an iterable of paths, not {type(value).__name__}")
    return [as_path(item, f"each of {what}") for item in value]


def stem(path: StrPath) -> str:
    """The file name without its last suffix: what every output is named after."""
    return os.path.splitext(os.path.basename(os.fspath(path)))[0]


def file_digest(
    path: StrPath, algorithm: str = "sha256", *, chunk: int = 1 << 20, stop: Callable[[], bool] | None = None
) -> str:
    """The hex digest (hashlib's `algorithm`) of a file's content, read in
    one streaming pass into one buffer; hashlib releases the GIL on each
    chunk, so it may run beside other work. Gives up, answering "", once
    `stop()` is true."""
    import hashlib  # some 3 ms to import (measured): paid only where a checksum is asked for

    digest = hashlib.new(algorithm)
    with open(os.fspath(path), "rb", buffering=0) as f:
        view = memoryview(bytearray(chunk))
        while n := f.readinto(view):
            if stop is not None and stop():
                return ""
            digest.update(view[:n])
    return digest.hexdigest()


def sha256_file(path: StrPath, chunk: int = 1 << 20) -> str:
    """The SHA-256 of a file's content, read in one streaming pass."""
    return file_digest(path, "sha256", chunk=chunk)


def display_names(paths: Iterable[StrPath]) -> list[str]:
    """A name for each path: its file name, or where two paths share one, the
    shortest trailing part of each that tells them apart (`a/run.raw`,
    `b/run.raw`); the same path twice keeps the same name."""
    parts = [os.path.normpath(os.path.abspath(os.fspath(p))).split(os.sep) for p in paths]
    depth = [1] * len(parts)
    while True:
        names = [os.sep.join(p[-d:]) for p, d in zip(parts, depth)]
        owners: dict[str, set[str]] = {}
        for name, p in zip(names, parts):
            owners.setdefault(name, set()).add(os.sep.join(p))
        clash = [i for i, n in enumerate(names) if len(owners[n]) > 1 and depth[i] < len(parts[i])]
        if not clash:
            return names
        for i in clash:
            depth[i] += 1
