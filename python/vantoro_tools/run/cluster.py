"""Running the same per-file tasks on a Dask cluster."""

from __future__ import annotations

import contextlib
import importlib
import logging
import os
import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from ..base.deps import missing
from .errors import ClusterError as ClusterError
from .pool import Done

T = TypeVar("T")

#: How long a Dask scheduler gets to answer before the run fails.
CLUSTER_TIMEOUT = 2.0


class SchedulerLost(RuntimeError):
    """The Dask scheduler went away while tasks were still running."""


#: How long the client may be without its scheduler before the run ends, seconds.
SCHEDULER_GRACE = 3.0
#: How often the client looks at its tasks and its scheduler, seconds.
POLL = 0.1


def run_dask(task: Callable[..., T], items: Sequence[tuple[str, tuple[Any, ...]]], address: str, done: Done[T]) -> None:
    """Runs the same tasks on the Dask cluster whose scheduler is at
    `address`, each task once: a task whose worker dies is run again by the
    scheduler on another worker. Raises ClusterError, within a few seconds,
    when the scheduler cannot be reached, and SchedulerLost when it goes
    away for SCHEDULER_GRACE seconds while tasks remain (the tasks already
    reported through `done` are those finished)."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError as exc:
        raise missing("distributed", "vantoro convert --dask", "dask") from exc
    lost = False
    futures: dict[Any, str] = {}
    with _quiet_client():
        client = _connect(distributed, address)
        try:
            futures = {client.submit(task, *args, pure=False): name for name, args in items}
            # Set as each task ends (on a thread of the client's), so that
            # the loop wakes then rather than at its next poll.
            ended = threading.Event()
            for future in futures:
                future.add_done_callback(lambda _: ended.set())
            pending = dict(futures)
            away_since: float | None = None
            while pending:
                ended.clear()
                finished = [f for f in pending if f.done()]
                for future in finished:
                    if not future.cancelled():
                        done(pending.pop(future), future.result)
                # Only this client cancels its tasks, and only on its way
                # out: a task cancelled while the batch runs was cancelled
                # by the client losing its scheduler.
                if any(f.cancelled() for f in finished):
                    lost = True
                    raise SchedulerLost(f"the Dask scheduler at {address} went away")
                if finished:
                    continue
                if client.status == "running":
                    away_since = None
                elif away_since is None:
                    away_since = time.monotonic()
                elif time.monotonic() - away_since > SCHEDULER_GRACE:
                    lost = True
                    raise SchedulerLost(f"the Dask scheduler at {address} went away")
                ended.wait(POLL)
        except BaseException:
            if not lost:
                with contextlib.suppress(Exception):
                    client.cancel(list(futures), force=True)
            raise
        finally:
            with contextlib.suppress(Exception):
                client.close(timeout=1 if lost else 10)


@contextlib.contextmanager
def _quiet_client() -> Any:
    """Holds back the client's own log records while it runs: what befalls
    the batch (a lost scheduler, a failed task) is reported per file by the
    caller, and the client's lines would say it again in another voice. A
    run that ends in an error leaves the logger quiet: a client that lost
    its scheduler may still be giving up in its own thread once closed."""
    logger = logging.getLogger("distributed.client")
    level = logger.level
    logger.setLevel(logging.CRITICAL + 1)
    yield
    logger.setLevel(level)


def _connect(distributed: Any, address: str) -> Any:
    """A client of the scheduler at `address`, once it has answered an
    identity request. The request goes first, on a connection of its own
    with a bounded wait, so that a wrong address fails in seconds and
    leaves no half-made client behind to complain when collected."""

    # asyncio costs every command that may use a cluster some 20 ms to
    # import (measured), pool workers too: imported when one is used.
    import asyncio

    async def identity() -> None:
        comm = await distributed.comm.connect(address, timeout=CLUSTER_TIMEOUT)
        try:
            await comm.write({"op": "identity", "reply": True})
            await comm.read()
        finally:
            comm.abort()

    try:
        asyncio.run(asyncio.wait_for(identity(), CLUSTER_TIMEOUT + 0.5))
        return distributed.Client(address, set_as_default=False, timeout=2 * CLUSTER_TIMEOUT)
    except (OSError, TimeoutError, asyncio.TimeoutError, ValueError, TypeError) as exc:
        reason = str(exc).splitlines()[0] if str(exc) else f"no answer within {CLUSTER_TIMEOUT:g} s"
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {reason}") from None


def worker_name() -> str:
    """Who runs the current task: the Dask worker's address, or this process."""
    distributed = sys.modules.get("distributed")
    if distributed is not None:
        try:
            return str(distributed.get_worker().address)
        except ValueError:  # not in a Dask worker
            pass
    return f"pid {os.getpid()}"
