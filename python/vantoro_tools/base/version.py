"""The installed distribution's version, written into outputs."""

from __future__ import annotations

import functools


@functools.cache
def tool_version() -> str:
    """The version the wheel was built with; where the package runs from a
    source tree, looked up in the installed distributions."""
    try:
        from .._version import __version__

        return __version__
    except ImportError:
        pass
    # importlib.metadata costs some 13 ms to import (measured), and each
    # lookup scans the installed distributions (30 ms).
    from importlib import metadata

    try:
        return metadata.version("vantoro")
    except metadata.PackageNotFoundError:
        return "unknown"
