"""The installed distribution's version, written into outputs."""

from __future__ import annotations

import functools
from importlib import metadata


@functools.cache
def tool_version() -> str:
    """Looked up once per process: each lookup scans the installed distributions (30 ms)."""
    try:
        return metadata.version("vantoro")
    except metadata.PackageNotFoundError:
        return "unknown"
