"""The installed distribution's version, written into outputs."""

from __future__ import annotations

import functools


@functools.cache
def tool_version() -> str:
    """Looked up once per process: each lookup scans the installed distributions (30 ms)."""
    # importlib.metadata costs some 13 ms to import (measured), paid only
    # by a command that asks for the version.
    from importlib import metadata

    try:
        return metadata.version("vantoro")
    except metadata.PackageNotFoundError:
        return "unknown"
