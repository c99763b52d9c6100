"""Path arguments: what the library functions accept as one path or many."""

from __future__ import annotations

import os
from collections.abc import Iterable
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
