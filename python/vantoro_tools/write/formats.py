"""What every writer shares: the options it may be asked, what it reports
back, and the shape of a writer."""

from __future__ import annotations

import threading
from collections import Counter
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, Future
from dataclasses import dataclass, field
from typing import Any, Generic, Protocol, TypeVar

from ..base.cores import available_cores
from ..base.paths import file_digest
from ..source.scans import ScanSource

#: How mzML may store its binary arrays.
COMPRESSIONS = ("zlib", "numpress", "none")
#: The Parquet codecs an mzPeak archive may use, its default first.
MZPEAK_CODECS = ("zstd", "snappy", "lz4", "gzip", "brotli", "none")
#: The MS levels MGF holds unless asked for others: fragment spectra.
MGF_MS_LEVELS = frozenset({2})


@dataclass(frozen=True)
class WriteOptions:
    """What a writer may be asked beyond its input and outputs."""

    #: MS levels written; None: the format's default (`OutputFormat.ms_levels`).
    ms_levels: frozenset[int] | None = None
    #: mzML binary arrays: "zlib", "numpress" or "none"; mzPeak's Parquet
    #: codec. None: the format's default (`OutputFormat.default_compression`).
    compression: str | None = None
    #: Threads the writer keeps busy: 1 does all the work in the calling
    #: thread; None, one per core this process may use. The output's bytes
    #: do not depend on it.
    threads: int | None = None

    def __post_init__(self) -> None:
        t = self.threads
        if t is not None and (isinstance(t, bool) or not isinstance(t, int) or t < 1):
            raise ValueError(f"threads must be a whole number of at least 1, not {t!r}")

    @property
    def thread_count(self) -> int:
        """`threads`, with None resolved to the cores this process may use."""
        return self.threads if self.threads is not None else available_cores()


@dataclass
class Written:
    """What a writer wrote: the spectra (or scans) and, by kind, the values
    it left out because they were not finite or otherwise unusable."""

    spectra: int = 0
    warnings: Counter[str] = field(default_factory=Counter)


T = TypeVar("T")


T_co = TypeVar("T_co", covariant=True)


class Pending(Protocol[T_co]):
    """A result to come: a future, or one made already (`Ready`)."""

    def result(self) -> T_co: ...


class Ready(Generic[T]):
    """A result computed at once, its value or its exception given back by
    `result()` as a future's would be, without a future's lock and condition
    (the mzML writer makes one per spectrum when given one thread)."""

    __slots__ = ("_value", "_error")

    def __init__(self, fn: Callable[..., T], *args: Any):
        self._error: Exception | None = None
        try:
            self._value: T | None = fn(*args)
        except Exception as exc:  # raised again by result(), as from a pool
            self._value, self._error = None, exc

    def result(self) -> T:
        if self._error is not None:
            raise self._error
        return self._value  # type: ignore[return-value]


def submit(pool: Executor | None, fn: Callable[..., T], *args: Any) -> Pending[T]:
    """`fn(*args)` on `pool`, or, with no pool (a writer given one thread),
    run here and now: either way a result to come, so a writer has one shape."""
    if pool is not None:
        return pool.submit(fn, *args)
    return Ready(fn, *args)


class SourceDigest:
    """The digest (`algorithm`) of the file at `path`, computed on a thread
    of its own from the moment this is made, beside the conversion that
    reads the same file (hashlib releases the interpreter on each chunk).
    `close` (the end of a `with` block) gives it up and waits for the
    thread: a conversion that fails leaves none behind.
    A conversion with no core to spare (`beside` False: one of a batch's,
    one per core) computes it here and now instead: a thread would only
    take turns with it (a batch of run-like files to mzPeak, measured:
    some 3 ms more CPU per file, in the conversion's own thread)."""

    def __init__(self, path: str, algorithm: str = "sha1", chunk: int = 1 << 22, *, beside: bool = True):
        self._stop = threading.Event()
        self._future: Future[str] = Future()
        self._thread: threading.Thread | None = None
        if not beside:
            try:
                self._future.set_result(file_digest(path, algorithm, chunk=chunk))
            except Exception as exc:  # raised again by result(), as from the thread
                self._future.set_exception(exc)
            return
        self._thread = threading.Thread(
            target=self._run, args=(path, algorithm, chunk), name="vantoro-source-digest", daemon=True
        )
        self._thread.start()

    def _run(self, path: str, algorithm: str, chunk: int) -> None:
        try:
            self._future.set_result(file_digest(path, algorithm, chunk=chunk, stop=self._stop.is_set))
        except BaseException as exc:  # raised again by result()
            self._future.set_exception(exc)

    def done(self) -> bool:
        return self._future.done()

    def result(self) -> str:
        """The hex digest, once computed (waits for it)."""
        return self._future.result()

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> SourceDigest:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


#: writer(source, output paths, options) -> Written
Writer = Callable[[ScanSource, Sequence[str], WriteOptions], Written]
