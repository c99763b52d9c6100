"""The errors of the output layer (`output`), apart from it so that the
command knows them without importing what writing needs."""

from __future__ import annotations

import os

from ..base.paths import StrPath


class OutputError(OSError):
    """An output file or directory could not be written; the message names it."""

    def __init__(self, path: StrPath, reason: str | BaseException):
        if isinstance(reason, OSError):
            reason = reason.strerror or str(reason)
        super().__init__(f"cannot write {os.fspath(path)}: {reason}")
        self.path = os.fspath(path)


class OutputGone(OutputError):
    """An output removed or cut once written, before its attempt was recorded: not done."""

    def __init__(self, path: StrPath, reason: str):
        OSError.__init__(self, f"output gone after writing: {reason}")
        self.path = os.fspath(path)


class OutputExists(OutputError):
    """An output exists that may not be replaced (or is one of the inputs)."""

    def __init__(self, path: StrPath, reason: str):
        OSError.__init__(self, reason)
        self.path = os.fspath(path)


class OutputBusy(OutputError):
    """Another run holds the output directory."""
