"""One failure policy for every command and library function: what becomes
of an input when the work on it raises, or the worker that ran it is lost.

- A file the layout check refuses, and an output that may not be replaced,
  are refused; the refusal names the override.
- A file that is not a RAW file of a known layout (no such file, not
  readable, too short for a header, another format version) fails for good.
- An output that could not be written, an I/O error and a lost worker fail
  transiently: `--retry` tries them again.
- Any other error fails this input alone.
- Interruptions and a missing package end the command: `classify` leaves
  them to the caller."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from ..base.deps import MissingDependency
from ..base.urls import is_url
from ..source.raw import LayoutError, NotRawFileError, describe_failure, not_raw_file
from ..write.errors import OutputError, OutputExists
from .errors import UnsafeScratch
from .outcome import Outcome, failed, refused

#: What a command's `--force` does with a file the layout check refuses, by command.
CONVERTS, PLOTS, READS = "converts", "plots", "reads"

#: Exceptions that say a worker or its task went away, not that the file is bad.
_WORKER_LOST = frozenset(
    {
        "BrokenProcessPool",  # a pool worker died (killed, out of memory)
        "BrokenExecutor",
        "CancelledError",
        "KilledWorker",  # Dask gave up on a task whose workers kept dying
        "CommClosedError",
        "FutureCancelledError",
        "SchedulerLost",  # the cluster went away with the task
    }
)


def force_hint(reason: str, action: str | None) -> str:
    """`reason` with the override that takes such a file anyway, where the command has one."""
    return reason if action is None else f"{reason} (--force {action} it anyway)"


def layout_refused(source: str, reason: str, action: str | None = None) -> Outcome:
    """The outcome of a file the layout check refuses: the same line from every command."""
    return refused(source, force_hint(reason, action))


def worker_lost(exc: BaseException) -> bool:
    return any(t.__name__ in _WORKER_LOST for t in type(exc).__mro__)


def classify(
    source: str, exc: BaseException, *, action: str | None = None, path: str | None = None, one_output: bool = False
) -> Outcome | None:
    """The outcome of `source` whose work raised `exc` (`path`: the local
    file read for it, by default `source`; `action`: what the command's
    `--force` does; `one_output`: a command of one output, whose failure to
    write it is named by the output), or None when `exc` is not about this
    input alone (an interruption, a missing package): the caller raises it
    again."""
    local = source if path is None else path
    if one_output and isinstance(exc, OutputError):
        source = exc.path
    if isinstance(exc, (KeyboardInterrupt, SystemExit, GeneratorExit, MissingDependency, ImportError)):
        return None
    if worker_lost(exc):
        return failed(source, f"task failed: {type(exc).__name__}: {exc}", transient=True)
    if isinstance(exc, LayoutError):
        return layout_refused(source, str(exc), action)
    if isinstance(exc, (OutputExists, UnsafeScratch)):  # (this worker's scratch, whatever the others do)
        return refused(source, str(exc))
    if isinstance(exc, OutputError):
        return failed(source, str(exc), transient=True)
    if isinstance(exc, (NotRawFileError, FileNotFoundError, PermissionError, IsADirectoryError, NotADirectoryError)):
        return failed(source, describe_failure(local, exc))
    if isinstance(exc, OSError):
        # A file too short for a header is no RAW file, and never will be.
        return failed(source, describe_failure(local, exc), transient=not_raw_file(local) is None)
    if type(exc).__name__ == "PanicException":
        return failed(source, f"internal fault of the reader: {exc}")
    if isinstance(exc, ValueError):  # says what is wrong in its own words
        return failed(source, str(exc))
    if isinstance(exc, Exception) and is_url(source):  # any failure of the store or its client
        return failed(source, f"cannot be read ({str(exc) or type(exc).__name__})", transient=True)
    if isinstance(exc, Exception):
        return failed(source, describe_failure(local, exc))
    return None  # Stopped and other BaseExceptions end the command


def failure(source: str, exc: BaseException, **kwargs: Any) -> Outcome:
    """`classify` of `exc`, raised by the caller's work on `source`, in an
    `except` block: an exception that is not this input's own is raised again."""
    outcome = classify(source, exc, **kwargs)
    if outcome is None:
        raise exc
    return outcome


def task_outcome(path: str, result: Callable[[], Any]) -> Outcome:
    """A task's outcome, or the failed one when the task itself could not run (its worker was lost)."""
    outcome = attempt(path, result)
    return outcome if isinstance(outcome, Outcome) else failed(path, f"task returned {outcome!r}")


def attempt(
    source: str,
    work: Callable[[], Any],
    *,
    action: str | None = None,
    path: str | None = None,
    one_output: bool = False,
) -> Any:
    """`work()`, or the outcome `classify` gives for what it raised."""
    try:
        return work()
    except BaseException as exc:
        outcome = classify(source, exc, action=action, path=path, one_output=one_output)
        if outcome is None:
            raise
        return outcome
