"""The installed distribution's version, written into outputs."""

from __future__ import annotations


def tool_version() -> str:
    # importlib.metadata costs some 13 ms to import (measured), paid only
    # by a command that asks for the version.
    from importlib import metadata

    try:
        return metadata.version("vantoro")
    except metadata.PackageNotFoundError:
        return "unknown"
