"""The installed distribution's version, written into outputs."""

from __future__ import annotations

from importlib import metadata


def tool_version() -> str:
    try:
        return metadata.version("vantoro")
    except metadata.PackageNotFoundError:
        return "unknown"
