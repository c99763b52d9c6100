"""Optional dependencies: each command names the package it misses."""

from __future__ import annotations


class MissingDependency(ImportError):
    """An optional package that a command needs is not installed."""


def missing(package: str, purpose: str, extra: str) -> MissingDependency:
    """The error to raise when `package` (or a module of it), needed for
    `purpose`, fails to import."""
    return MissingDependency(f"{purpose} needs {package.split('.')[0]}: pip install 'vantoro[{extra}]'")
