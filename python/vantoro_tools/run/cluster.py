"""Running the same per-file tasks on a Dask cluster."""

from __future__ import annotations

import asyncio
import importlib
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

from ..base.deps import missing
from .pool import Done

T = TypeVar("T")

#: How long a Dask scheduler gets to answer before the run fails.
CLUSTER_TIMEOUT = 2.0


class ClusterError(RuntimeError):
    """The Dask scheduler could not be reached."""


def run_dask(task: Callable[..., T], items: Sequence[tuple[str, tuple[Any, ...]]], address: str, done: Done[T]) -> None:
    """Runs the same tasks on the Dask cluster whose scheduler is at
    `address`. Raises ClusterError, within a few seconds, when it cannot be
    reached."""
    try:
        distributed = importlib.import_module("distributed")
    except ImportError as exc:
        raise missing("distributed", "vantoro convert --dask", "dask") from exc
    client = _connect(distributed, address)
    with client:
        futures = {client.submit(task, *args, pure=False): name for name, args in items}
        try:
            for future in distributed.as_completed(list(futures), loop=client.loop):
                done(futures[future], future.result)
        except BaseException:
            client.cancel(list(futures), force=True)
            raise


def _connect(distributed: Any, address: str) -> Any:
    """A client of the scheduler at `address`, once it has answered an
    identity request. The request goes first, on a connection of its own
    with a bounded wait, so that a wrong address fails in seconds and
    leaves no half-made client behind to complain when collected."""

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
