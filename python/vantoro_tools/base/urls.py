"""Locations named by URL (s3://bucket/key, through fsspec) rather than a
local path: telling them apart, their file system, an object's identity."""

from __future__ import annotations

from typing import Any

from .deps import missing


def is_url(text: str) -> bool:
    """Whether `text` names a location through fsspec (scheme://...) rather than a local path."""
    scheme, sep, _ = text.partition("://")
    return bool(sep) and scheme.isidentifier() and scheme != "file"


def url_fs(url: str) -> tuple[Any, str]:
    """The fsspec file system of `url` and the path within it. Credentials and
    endpoint come from the environment and fsspec's configuration."""
    try:
        import fsspec
    except ImportError as exc:
        raise missing("fsspec", f"reading or writing {url.partition('://')[0]}:// URLs", "s3") from exc
    try:
        fs, path = fsspec.core.url_to_fs(url)
    except ImportError as exc:
        raise missing(str(exc.name or "s3fs"), f"reading or writing {url.partition('://')[0]}:// URLs", "s3") from exc
    return fs, path


def url_identity(url: str) -> list[Any]:
    """What identifies an object as it is now: its size and its ETag (or modification time)."""
    fs, path = url_fs(url)
    info = fs.info(path)
    tag = info.get("ETag") or info.get("LastModified") or info.get("mtime")
    return [int(info.get("size") or 0), str(tag)]
