"""What the subcommands share: message lines, argument types, the progress
switch."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import TypeVar

from ..base.text import line, message

T = TypeVar("T", int, float)


def say(text: str) -> None:
    """One line on standard error, its control characters escaped."""
    print(line(text), file=sys.stderr)


def fail(path: str, reason: str) -> None:
    """The line that says why `path` was not handled."""
    print(message(path, reason), file=sys.stderr)


def named_twice(paths: list[tuple[str, str | None]]) -> str | None:
    """The line that refuses a command naming one path for two of its
    options (`paths`: each option and the path it names, None where not
    given), or None: one command never writes one file twice."""
    import os

    seen: dict[str, str] = {}
    for option, path in paths:
        if path is None:
            continue
        key = os.path.realpath(path)
        if key in seen:
            return f"{path}: named by both {seen[key]} and {option}; give each its own path"
        seen[key] = option
    return None


def show_progress(args: argparse.Namespace) -> bool:
    return not getattr(args, "quiet", False) and sys.stderr.isatty()


def bounded(convert: Callable[[str], T], noun: str, low: int, *, inclusive: bool = True) -> Callable[[str], T]:
    """An argument type: `convert(text)`, which must be at least `low`
    (more than `low`, not `inclusive`) and finite."""

    def parse(text: str) -> T:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {noun}: {text!r}") from None
        if not (value >= low if inclusive else value > low) or value == float("inf"):
            raise argparse.ArgumentTypeError(f"must be {'at least' if inclusive else 'more than'} {low}")
        return value

    return parse


positive = bounded(int, "whole number", 1)
non_negative = bounded(int, "whole number", 0)


# The options several subcommands share, each declared here once.


def add_overwrite(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--overwrite", action="store_true", help="replace an existing file vantoro did not write (never an input file)"
    )


def add_force(parser: argparse.ArgumentParser, help: str) -> None:
    """--force: what the command does with a file that fails the layout check."""
    parser.add_argument("--force", action="store_true", help=help)


def add_jobs(parser: argparse.ArgumentParser, help: str, default: int | None = None) -> None:
    parser.add_argument("--jobs", "-j", type=positive, default=default, metavar="N", help=help)


def add_quiet(parser: argparse.ArgumentParser, *, summary: bool = True) -> None:
    parser.add_argument(
        "--quiet", "-q", action="store_true", help="no progress bar or summary" if summary else "no progress bar"
    )
