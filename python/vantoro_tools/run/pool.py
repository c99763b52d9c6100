"""The local process pool: one task per file on worker processes, stopping
cleanly on a signal, with workers that end with the command however it
ends. Built on `concurrent.futures` and `multiprocessing`; three
attributes of the executor are read where present, so that a worker that
ended while sending a result cannot hang the command (`_end_results`)."""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Collection, Iterator, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from ..base.cores import available_cores
from ..base.text import line
from .errors import Stopped as Stopped

# `multiprocessing`, `concurrent.futures`, `ctypes` and `tempfile` cost a
# command some 20 ms to import (measured): they are imported where a pool
# starts or runs, not by every command that may start one.
if TYPE_CHECKING:
    from concurrent.futures import Future, ProcessPoolExecutor
    from multiprocessing.context import BaseContext
    from multiprocessing.process import BaseProcess


T = TypeVar("T")

#: Called with a task's name and a function that gives its result or raises its error.
Done = Callable[[str, Callable[[], T]], None]
#: How long stopped workers get to remove their partial files before they are killed.
STOP_GRACE = 1.5
#: How long the pool may go on unbroken once one of its workers has ended
#: before the executor is taken to be stuck on that worker's half-sent result.
LOST_GRACE = 2.0
#: How long a stop waits for the executor's own thread once the workers have ended.
MANAGER_GRACE = 5.0
#: How long after a stop lost in a callback the signal comes again, seconds.
STOP_AGAIN = 0.01
#: How often a worker looks whether its command is still alive, seconds.
PARENT_POLL = 0.2
#: The exit status of a pool worker that was asked, while importing the
#: caller's script, to start another batch.
REENTERED_EXIT = 86
#: Set in the environment of this process's pool workers: the pid of the
#: command that started the pool.
POOL_ENV = "VANTORO_POOL_COMMAND"


class ScriptReentered(RuntimeError):
    """A batch call ran while a worker process imported the caller's script."""


def reentry_message(call: str) -> str:
    return (
        f"{call} ran again in a worker process that imports your script; put the call under "
        '`if __name__ == "__main__":` (worker processes import the script that started them)'
    )


def _reentry_note(command: int) -> str:
    """The file by which the workers of command `command` tell it that they
    ended for that reason (they die before any result could say so)."""
    import tempfile

    return os.path.join(tempfile.gettempdir(), f"vantoro-reentered-{command}")


def refuse_reentry(call: str) -> None:
    """Ends a worker process at once when `call` (a batch function) runs
    while the worker imports the caller's script, as a script without the
    main guard does in every worker: the batch would otherwise start again
    in each worker. A worker of this package's pool ends quietly, leaving a
    note for its command, which raises ScriptReentered once; any other
    process prints the one line that says what to do."""
    main = sys.modules.get("__mp_main__")
    if getattr(main, "__name__", None) != "__mp_main__":
        return  # the first process: multiprocessing names its main module __main__
    command = os.environ.get(POOL_ENV, "")
    if command.isdigit():
        with contextlib.suppress(OSError), open(_reentry_note(int(command)), "w"):
            pass
    else:
        print(line(reentry_message(call)), file=sys.stderr)
    raise SystemExit(REENTERED_EXIT)


def default_jobs() -> int:
    """The cores this process may run on: the default number of jobs."""
    return available_cores()


# -- stopping ---------------------------------------------------------------


def _raise_stopped(signum: int, frame: Any) -> None:
    raise Stopped(signum)


def _stop_again(unraisable: Any) -> None:
    """A stop that a signal handler raised where Python cannot raise (in a
    weakref callback or a finaliser that the signal interrupted, such as
    the import system's) would only be printed, and the task go on: the
    signal is sent again a moment later, from another thread, for its
    handler to run once the callback has returned, where it unwinds the
    task (should it land in a callback again, the same follows)."""
    exc = unraisable.exc_value
    if isinstance(exc, (Stopped, KeyboardInterrupt)):
        signum = exc.signum if isinstance(exc, Stopped) else signal.SIGINT
        again = threading.Timer(STOP_AGAIN, os.kill, (os.getpid(), signum))
        again.daemon = True
        again.start()
    else:
        _previous_hook(unraisable)


_previous_hook = sys.unraisablehook


def _stops_are_never_lost() -> None:
    global _previous_hook
    if sys.unraisablehook is not _stop_again:
        _previous_hook, sys.unraisablehook = sys.unraisablehook, _stop_again


@contextlib.contextmanager
def stop_on_sigterm() -> Iterator[None]:
    """SIGTERM raises Stopped in this (main) thread for the block's
    duration, so partial outputs are removed as the stack unwinds, as on
    Ctrl-C. Elsewhere than the main thread nothing is changed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_stopped)
    hook = sys.unraisablehook
    _stops_are_never_lost()
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
        sys.unraisablehook = hook


_in_task = False


def _worker_stop(signum: int, frame: Any) -> None:
    # In a task: unwind it (its partial files go), then the task exits the
    # process. Between tasks: nothing to clean up.
    if _in_task:
        raise Stopped(signum)
    os._exit(128 + signum)


def process_gone(pid: int) -> bool:
    """Whether process `pid` has ended: no such process, or a zombie that
    has ended but is not yet reaped by its parent."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # The state follows the command name, which may hold spaces and parentheses.
            return f.read().rsplit(b")", 1)[1].split()[0] in (b"Z", b"X")
    except FileNotFoundError:
        return os.path.isdir("/proc/self") or _no_such_process(pid)
    except (OSError, IndexError):
        return _no_such_process(pid)


def _no_such_process(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        pass
    return False


def _watch_parent(parent: int) -> None:
    while not process_gone(parent):
        time.sleep(PARENT_POLL)
    os.kill(os.getpid(), signal.SIGTERM)


def _worker_init(parent: int) -> None:
    """Set-up of each pool worker. SIGTERM stops it cleanly; SIGINT is left
    to the command, which stops its workers itself (a Ctrl-C reaches the
    whole process group). The command's death ends the worker too, SIGKILL
    included: through the parent-death signal and a watch on the command's
    process that counts an unreaped zombie as dead."""
    signal.signal(signal.SIGTERM, _worker_stop)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _stops_are_never_lost()
    if sys.platform.startswith("linux"):
        import ctypes

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


def _context(preload: Sequence[str]) -> BaseContext:
    # Workers are forks of a fresh server process, not of this process and
    # its threads. The server imports `preload` once for all workers; that
    # applies when this process starts its server, the first time.
    import multiprocessing

    os.environ[POOL_ENV] = str(os.getpid())  # inherited by the server and so by every worker
    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        # What this module imports only when a pool runs, the workers need at once.
        forkserver.set_forkserver_preload([__name__, "concurrent.futures.process", "ctypes", *preload])
        return forkserver
    return multiprocessing.get_context("spawn")


def prestart(preload: Sequence[str] = ()) -> None:
    """Starts the workers' server process now (where workers are forks of
    one), so that it imports `preload` while this process still prepares
    the tasks: a pool started later finds it ready. Measured on a batch of
    eight short conversions, the pool's start took 0.14 s of the command's
    1.9 s without it."""
    if _context(preload).get_start_method() == "forkserver":
        from multiprocessing import forkserver

        forkserver.ensure_running()


def run_pool(
    task: Callable[..., T],
    items: Sequence[tuple[str, tuple[Any, ...]]],
    workers: int,
    done: Done[T],
    preload: Sequence[str] = (),
) -> None:
    """Runs `task(*args)` for each (name, args) of `items` on `workers`
    processes, calling `done(name, result)` as each ends (`result()` gives
    the task's value or raises its error).

    SIGINT and SIGTERM are only noted while the pool runs, so that they
    never interrupt the executor in its own bookkeeping (a lock left held
    there hangs the process at exit); at the next check, within a fraction
    of a second, the pending tasks are cancelled, no further result is
    taken, the workers are stopped (SIGTERM, then SIGKILL after STOP_GRACE
    seconds), and KeyboardInterrupt or Stopped is raised. Any other
    exception stops the pool the same way. Raises ScriptReentered when the
    workers ended because they were asked to start a batch of their own."""
    import multiprocessing
    from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
    from concurrent.futures.process import BrokenProcessPool

    caught: list[int] = []
    previous: dict[int, Any] = {}
    if threading.current_thread() is threading.main_thread():
        for stop in (signal.SIGINT, signal.SIGTERM):
            if signal.getsignal(stop) is not signal.SIG_IGN:
                previous[stop] = signal.signal(stop, lambda n, frame: caught.append(n))
    before = set(multiprocessing.active_children())
    with contextlib.suppress(FileNotFoundError):
        os.unlink(_reentry_note(os.getpid()))
    pool = ProcessPoolExecutor(workers, mp_context=_context(preload), initializer=_worker_init, initargs=(os.getpid(),))
    results: Any = getattr(pool, "_result_queue", None)  # kept: shutdown() drops it
    manager: threading.Thread | None = None
    seen: set[BaseProcess] = set()
    try:
        futures: dict[Future[T], str] = {}
        for name, args in items:
            if caught:
                break
            futures[pool.submit(run_in_worker, task, *args)] = name
        manager = getattr(pool, "_executor_manager_thread", None)  # started by the first submit
        pending = set(futures)
        lost_since: float | None = None
        while pending and not caught:
            finished, pending = wait(pending, timeout=0.2, return_when=FIRST_COMPLETED)
            if caught:
                break  # a stop signal came while waiting: results from now on are not the tasks' own
            for future in finished:
                if isinstance(future.exception(), BrokenProcessPool):
                    _raise_if_reentered()
                done(futures[future], future.result)
            # A worker that ended breaks the pool at once, unless it ended
            # while sending a result: the executor then waits for the rest.
            seen.update(_workers(pool, before))
            if pending and lost_since is None and _any_ended(seen):
                lost_since = time.monotonic()
            elif pending and lost_since is not None and time.monotonic() - lost_since > LOST_GRACE:
                _end_workers(seen)
                _end_results(results, manager)  # the pool breaks: every pending task fails as lost
                lost_since = float("inf")
        if caught:
            raise KeyboardInterrupt if caught[0] == signal.SIGINT else Stopped(caught[0])
    except BaseException as exc:
        seen.update(_workers(pool, before))
        _stop_pool(pool, seen, results, manager)
        if isinstance(exc, BrokenProcessPool):  # the pool broke while tasks were still submitted
            _raise_if_reentered()
        raise
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        with contextlib.suppress(FileNotFoundError):  # a note of a second worker, stopped since
            os.unlink(_reentry_note(os.getpid()))
    pool.shutdown(wait=True)


def _workers(pool: ProcessPoolExecutor, before: set[BaseProcess]) -> list[BaseProcess]:
    """The pool's workers: the executor's own list, which keeps one that
    ended until the executor has seen it end, or else this process's
    children that were not there before the pool."""
    import multiprocessing

    processes = getattr(pool, "_processes", None)
    if isinstance(processes, dict):
        return list(processes.values())
    return [p for p in multiprocessing.active_children() if p not in before]


def _any_ended(workers: Collection[BaseProcess]) -> bool:
    """Whether one of `workers` has ended, seen by its sentinel alone: its
    exit status is left to be read by the executor's thread (two threads
    reading one worker's status from the fork server race for it)."""
    from multiprocessing.connection import wait as ready

    try:
        return bool(ready([p.sentinel for p in workers], 0))
    except (ValueError, OSError):  # a worker closed or not started: the executor's own to judge
        return False


def _raise_if_reentered() -> None:
    try:
        os.unlink(_reentry_note(os.getpid()))
    except FileNotFoundError:
        return
    raise ScriptReentered(reentry_message("the batch")) from None  # the broken pool says nothing more


def _stop_pool(
    pool: ProcessPoolExecutor, workers: Collection[BaseProcess], results: Any, manager: threading.Thread | None
) -> None:
    """Cancels what is pending and ends the workers (`_end_workers`), then
    the executor's own thread (`_end_results`)."""
    pool.shutdown(wait=False, cancel_futures=True)
    if _end_workers(workers):
        _end_results(results, manager)


def _end_workers(workers: Collection[BaseProcess]) -> bool:
    """Ends the workers: SIGTERM, so that each removes its partial files,
    then SIGKILL after STOP_GRACE seconds. Whether all have ended."""
    for p in workers:
        with contextlib.suppress(Exception):
            p.terminate()
    deadline = time.monotonic() + STOP_GRACE
    for p in workers:
        p.join(max(0.0, deadline - time.monotonic()))
    for p in workers:
        if p.is_alive():
            p.kill()
            p.join(1.0)
    return not any(p.is_alive() for p in workers)


def _end_results(results: Any, manager: threading.Thread | None) -> None:
    """Ends the executor's own thread once every worker has ended. A worker
    that ended in the middle of sending a result left part of a message in
    the results pipe, and the thread would wait for the rest for ever, and
    this process's exit with it: this process holds the pipe's other end,
    which is closed here, so the thread reads the pipe's end and ends as for
    a broken pool. It is waited for, so that it has closed its wake-up pipe
    before this process exits: the executor's exit handler, writing to that
    pipe while the thread closed it, printed a "Bad file descriptor"
    traceback."""
    writer = getattr(results, "_writer", None)
    if writer is not None:
        with contextlib.suppress(OSError):
            writer.close()
    if manager is not None:
        manager.join(MANAGER_GRACE)
