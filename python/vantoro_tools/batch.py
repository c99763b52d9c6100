"""What every command shares when it handles many files: gathering the
inputs, one outcome per input, the report that counts them and owns the
exit status, and running one task per file on a local process pool or a
Dask cluster, stopping cleanly on a signal."""

from __future__ import annotations

import contextlib
import ctypes
import importlib
import multiprocessing
import os
import signal
import stat
import sys
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from dataclasses import dataclass, field
from multiprocessing.context import BaseContext
from typing import Any, TypeVar

from ._deps import missing
from .reading import StrPath

T = TypeVar("T")

RAW_SUFFIX = ".raw"  # matched without regard to case: run.raw, run.RAW

#: What became of an input.
CONVERTED, UP_TO_DATE, REFUSED, FAILED, READ = "converted", "up to date", "refused", "failed", "read"


class ClusterError(RuntimeError):
    """The Dask scheduler could not be reached."""


class Stopped(BaseException):
    """SIGTERM (or SIGINT in a worker) asked this process to stop."""

    def __init__(self, signum: int):
        super().__init__(f"stopped by signal {signum}")
        self.signum = signum


@dataclass(frozen=True)
class Outcome:
    """What became of one input: its status, the files written, why none
    were, and the values left out of its outputs by kind."""

    source: str
    outputs: tuple[str, ...] = ()
    error: str | None = None
    status: str = CONVERTED
    warnings: dict[str, int] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return self.status not in (REFUSED, FAILED)

    def line(self) -> str | None:
        """The line standard error shows for this input, if any."""
        if self.error is not None:
            return f"vantoro: {self.source}: {self.error}"
        if self.warnings:
            counted = ", ".join(f"{n} {kind}" for kind, n in sorted(self.warnings.items()))
            return f"vantoro: {self.source}: {self.status}, with warnings: {counted}"
        return None


def failed(source: str, error: str) -> Outcome:
    return Outcome(source, error=error, status=FAILED)


def refused(source: str, error: str) -> Outcome:
    return Outcome(source, error=error, status=REFUSED)


@dataclass
class Report:
    """Counts the outcomes of one command, prints each one's line as it
    comes, and gives the summary line and the exit status: 0 when every
    input was handled, 1 when any was refused or failed."""

    verb: str = CONVERTED
    print_lines: bool = True
    counts: Counter[str] = field(default_factory=Counter)
    outcomes: list[Outcome] = field(default_factory=list)

    def add(self, outcome: Outcome) -> None:
        self.outcomes.append(outcome)
        self.counts[outcome.status] += 1
        line = outcome.line()
        if self.print_lines and line is not None:
            print(line, file=sys.stderr)

    @property
    def exit_status(self) -> int:
        return 1 if self.counts[REFUSED] or self.counts[FAILED] else 0

    def summary(self) -> str:
        statuses = [self.verb, UP_TO_DATE, REFUSED, FAILED] if self.verb == CONVERTED \
            else [self.verb, REFUSED, FAILED]
        warned = sum(1 for o in self.outcomes if o.warnings)
        text = ", ".join(f"{self.counts[s]} {s}" for s in statuses)
        return text + (f"; {warned} with warnings" if warned else "")


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def collect_inputs(inputs: Iterable[StrPath]) -> tuple[list[str], list[Outcome]]:
    """The RAW files named by `inputs`, and an outcome for each input that
    cannot be used. A file is taken as given (opening it tells whether it
    can be read). A directory gives its entries named *.raw in any case,
    sorted by name; an entry so named that is not a regular file (a
    directory, a FIFO, a broken link) fails on its own line, and so do a
    directory that cannot be listed and one that holds no RAW file."""
    files: list[str] = []
    problems: list[Outcome] = []
    for item in inputs:
        path = os.fspath(item)
        if not os.path.isdir(path):
            files.append(path)
            continue
        try:
            names = sorted(n for n in os.listdir(path) if n.lower().endswith(RAW_SUFFIX))
        except OSError as exc:
            problems.append(failed(path, f"cannot list the directory: {exc.strerror or exc}"))
            continue
        for name in names:
            entry = os.path.join(path, name)
            try:
                mode = os.stat(entry).st_mode
            except FileNotFoundError:
                problems.append(failed(entry, "broken symbolic link"))
                continue
            except OSError as exc:
                problems.append(failed(entry, f"cannot be read ({exc.strerror or exc})"))
                continue
            if stat.S_ISREG(mode):
                files.append(entry)
            else:
                problems.append(failed(entry, f"{_kind(mode)}, not a RAW file"))
        if not names:
            problems.append(failed(path, "directory holds no .raw files"))
    return files, problems


def default_jobs() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


# -- stopping ---------------------------------------------------------------

def _raise_stopped(signum: int, frame: Any) -> None:
    raise Stopped(signum)


@contextlib.contextmanager
def stop_on_sigterm() -> Iterator[None]:
    """SIGTERM raises Stopped in this (main) thread for the block's
    duration, so partial outputs are removed as the stack unwinds, as on
    Ctrl-C. Elsewhere than the main thread nothing is changed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_stopped)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


_in_task = False


def _worker_stop(signum: int, frame: Any) -> None:
    # In a task: unwind it (its partial files go), then the task exits the
    # process. Between tasks: nothing to clean up.
    if _in_task:
        raise Stopped(signum)
    os._exit(128 + signum)


def _watch_parent(parent: int) -> None:
    while True:
        time.sleep(0.2)
        try:
            os.kill(parent, 0)
        except ProcessLookupError:
            os.kill(os.getpid(), signal.SIGTERM)
            return
        except OSError:
            pass


def _worker_init(parent: int) -> None:
    """Set-up of each pool worker: SIGTERM and SIGINT stop it cleanly, and
    so does the death of the command that started it (SIGKILL included),
    noticed through the parent-death signal and a watch on its process."""
    signal.signal(signal.SIGTERM, _worker_stop)
    signal.signal(signal.SIGINT, _worker_stop)
    if sys.platform.startswith("linux"):
        with contextlib.suppress(OSError, AttributeError):
            PR_SET_PDEATHSIG = 1
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    threading.Thread(target=_watch_parent, args=(parent,), daemon=True, name="parent-watch").start()


def run_in_worker(task: Callable[..., T], *args: Any) -> T:
    """Runs `task` in a pool worker so that a stop signal ends the worker
    once the task's partial files are gone."""
    global _in_task
    _in_task = True
    try:
        return task(*args)
    except Stopped as exc:
        sys.stderr.flush()
        os._exit(128 + exc.signum)
    finally:
        _in_task = False


# -- running tasks ----------------------------------------------------------

#: Called with a task's name and a function that gives its result or raises its error.
Done = Callable[[str, Callable[[], T]], None]
#: How long stopped workers get to remove their partial files before they are killed.
STOP_GRACE = 1.5


def run_pool(task: Callable[..., T], items: Sequence[tuple[str, tuple[Any, ...]]], workers: int,
             done: Done[T], preload: Sequence[str] = ()) -> None:
    """Runs `task(*args)` for each (name, args) of `items` on `workers`
    processes, calling `done(name, result)` as each ends (`result()` gives
    the task's value or raises its error).

    SIGINT and SIGTERM are only noted while the pool runs, so that they
    never interrupt the executor in its own bookkeeping (a lock left held
    there hangs the process at exit); at the next check, within a fraction
    of a second, the pending tasks are cancelled, the workers are stopped
    (SIGTERM, then SIGKILL after STOP_GRACE seconds), and KeyboardInterrupt
    or Stopped is raised. Any other exception stops the pool the same way."""
    # Workers are forks of a fresh server process, not of this process and
    # its threads. The server imports `preload` once for all workers; that
    # applies when this process starts its server, the first time.
    context: BaseContext = multiprocessing.get_context("spawn")
    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        forkserver.set_forkserver_preload([__name__, *preload])
        context = forkserver
    caught: list[int] = []
    previous: dict[int, Any] = {}
    if threading.current_thread() is threading.main_thread():
        for stop in (signal.SIGINT, signal.SIGTERM):
            if signal.getsignal(stop) is not signal.SIG_IGN:
                previous[stop] = signal.signal(stop, lambda n, frame: caught.append(n))
    pool = ProcessPoolExecutor(workers, mp_context=context, initializer=_worker_init,
                               initargs=(os.getpid(),))
    try:
        futures: dict[Future[T], str] = {}
        for name, args in items:
            if caught:
                break
            futures[pool.submit(run_in_worker, task, *args)] = name
        pending = set(futures)
        while pending and not caught:
            finished, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
            for future in finished:
                done(futures[future], future.result)
        if caught:
            raise KeyboardInterrupt if caught[0] == signal.SIGINT else Stopped(caught[0])
    except BaseException:
        # Calls still buffered for the stopped workers must not hold this
        # process at exit, waiting to be written to a pipe nobody reads.
        queue = getattr(pool, "_call_queue", None)
        if queue is not None:
            queue.cancel_join_thread()
        _stop_pool(pool)
        raise
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    pool.shutdown(wait=True)


def _stop_pool(pool: ProcessPoolExecutor) -> None:
    processes = list(getattr(pool, "_processes", {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for p in processes:
        with contextlib.suppress(Exception):
            p.terminate()
    deadline = time.monotonic() + STOP_GRACE
    for p in processes:
        p.join(max(0.0, deadline - time.monotonic()))
    for p in processes:
        if p.is_alive():
            p.kill()
            p.join(1.0)


def task_outcome(path: str, result: Callable[[], Any]) -> Outcome:
    """A convert task's outcome, or a failed one when the task itself could not run."""
    try:
        outcome = result()
    except Exception as exc:  # noqa: BLE001  (a lost worker fails this file only)
        return failed(path, f"task failed: {type(exc).__name__}: {exc}")
    return outcome if isinstance(outcome, Outcome) else failed(path, f"task returned {outcome!r}")


#: How long a Dask scheduler gets to answer before the run fails.
CLUSTER_TIMEOUT = 2.0


def run_dask(task: Callable[..., T], items: Sequence[tuple[str, tuple[Any, ...]]], address: str,
             done: Done[T]) -> None:
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
