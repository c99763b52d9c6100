"""The one runner of a command's files: each file's task run in this
process or on the local process pool, with a progress bar on a terminal,
and one rule for the pool's size. `info`, the report's and QC's gathering
and `convert` run through it; what a task's end means is `policy`'s."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from ..base.urls import is_url
from .pool import default_jobs, run_pool
from .progress import progress_bar

T = TypeVar("T")


def pool_size(jobs: int | None, tasks: int) -> int:
    """The worker processes for `tasks` tasks with `jobs` (None: every core
    this process may use): as many as there are tasks at most, one at least."""
    return max(1, min(jobs or default_jobs(), tasks))


def run_tasks(
    task: Callable[..., T],
    items: Sequence[tuple[str, tuple[Any, ...]]],
    done: Callable[[str, Callable[[], T]], None],
    *,
    jobs: int | None = 1,
    preload: Sequence[str] = (),
) -> None:
    """`task(*args)` for each (name, args) of `items`, `done(name, result)`
    called as each ends (`result()` gives its value or raises its error):
    in this process when the pool would have one worker, else on the pool."""
    workers = pool_size(jobs, len(items))
    if workers <= 1:
        for name, args in items:
            done(name, lambda args=args: task(*args))  # type: ignore[misc]
        return
    run_pool(task, items, workers, done, preload=preload)


@contextlib.contextmanager
def bar(total: int, enabled: bool, *, unit: str = "files", minimum: int = 2) -> Iterator[Any]:
    """The progress bar over `total` items (None when not shown), closed however the block ends."""
    shown = progress_bar(total, enabled, unit=unit, minimum=minimum)
    try:
        yield shown
    finally:
        if shown is not None:
            shown.close()


def read_local(location: str, read: Callable[[str, str | None], T], scratch: str | None = None) -> T:
    """`read(path, path_text)` of a file: a local path as it is (path_text
    None), or an object under a URL fetched to scratch, its layout judged by
    the URL."""
    if not is_url(location):
        return read(location, None)
    from .storage import fetched

    with fetched(location, scratch) as local:
        return read(local, location)
