"""Checksums of outputs taken from the bytes as they are written, never by
reading a file back.

- `Digester`: hashes the bytes handed to it, in order, on a thread of its
  own fed through a bounded queue (hashlib releases the interpreter for
  large updates, so a second core hashes while this one writes); small
  pieces are gathered into large ones first.
- `HashedFile`: a binary file, opened for writing, whose bytes go to a
  `Digester` on their way to the disk: what a writer writes through
  (directly, or as Arrow's `PythonFile`).
- `record_digest`: a writer that hashed an output's temporary file itself
  (the mzML writer, which writes its opening last) says so here.

`atomic_path` takes the SHA-256 of the temporary file it renames (when its
writer supplied one), hands it to the stamp and to `recording_digests`,
keyed by the output's path; an output whose writer supplied none has none
(the reader of the ledger hashes it then).
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import os
import queue
import threading
from collections.abc import Callable, Iterator
from typing import Any

#: Pieces smaller than this are gathered before they are hashed.
GATHER = 1 << 20
#: Pieces queued for the hashing thread at most: with pieces of about
#: `GATHER` bytes (or a writer's larger pages), some tens of MiB held.
QUEUE_PIECES = 16

_STOP = object()


class Digester:
    """Hashes (with each of `algorithms`) the bytes given to `update`, in
    order, on its own thread. `hexdigest` waits for what was given so far.
    `close` (or the end of a `with` block) stops the thread, whatever it
    was doing: a failed write leaves no thread behind."""

    def __init__(self, *algorithms: str):
        self.hashes = {name: hashlib.new(name) for name in algorithms}
        self._active = list(self.hashes.values())
        self._queue: queue.Queue[Any] = queue.Queue(QUEUE_PIECES)
        self._gathered = bytearray()
        self._failed: BaseException | None = None
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="vantoro-digest", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            if item is _STOP:
                return
            try:
                if callable(item):
                    item()
                else:
                    for digest in self._active:
                        digest.update(item)
            except BaseException as exc:  # kept for the writing thread, which asks next
                self._failed = exc

    def update(self, data: Any) -> None:
        """Hashes `data` (bytes or any buffer) after what came before. Any
        buffer but bytes is copied: a read-only view may still be of memory
        its owner fills again once this returns (`io.BufferedWriter` hands
        its raw file such views of its own buffer)."""
        n = len(data) if isinstance(data, (bytes, bytearray)) else memoryview(data).nbytes
        if n < GATHER // 4:
            self._gathered += data
            if len(self._gathered) >= GATHER:
                self._put(bytes(self._gathered))
                self._gathered.clear()
            return
        self._send_gathered()
        self._put(data if isinstance(data, bytes) else bytes(memoryview(data).cast("B")))

    def _send_gathered(self) -> None:
        if self._gathered:
            self._put(bytes(self._gathered))
            self._gathered.clear()

    def _put(self, item: Any) -> None:
        if self._closed:
            raise ValueError("bytes given to a closed Digester")
        self._queue.put(item)

    def _call(self, fn: Callable[[], Any]) -> Any:
        """`fn()` on the hashing thread, once everything given so far is hashed."""
        self._send_gathered()
        done = threading.Event()
        answer: list[Any] = []

        def run() -> None:
            try:
                answer.append(fn())
            finally:
                done.set()

        self._put(run)
        while not done.wait(0.5):
            if not self._thread.is_alive():
                raise RuntimeError("the hashing thread has stopped")
        if self._failed is not None:
            raise self._failed
        return answer[0] if answer else None

    def hexdigest(self, algorithm: str) -> str:
        """The digest (`algorithm`) of every byte given so far."""
        result: str = self._call(self.hashes[algorithm].hexdigest)
        return result

    def only(self, algorithm: str) -> None:
        """Bytes given from now on go to `algorithm` alone."""
        self._send_gathered()
        keep = self.hashes[algorithm]
        self._put(lambda: setattr(self, "_active", [keep]))

    def close(self) -> None:
        """Stops the hashing thread (what was queued is dropped)."""
        if self._closed:
            return
        self._closed = True
        while True:  # the queue emptied, so that the stop goes in even when it was full
            try:
                self._queue.get_nowait()
            except queue.Empty:
                break
        self._queue.put(_STOP)
        self._thread.join()

    def __enter__(self) -> Digester:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class HashedFile(io.RawIOBase):
    """The file at `path`, created empty and written from its start; the
    SHA-256 of what was written is recorded for `atomic_path` when it is
    closed after a write that did not fail (`record_digest`). Not seekable:
    every byte reaches the file, and the checksum, in order."""

    def __init__(self, path: str):
        super().__init__()
        self.path = path
        self._file = open(path, "wb", buffering=0)  # closed by close()
        self._digester = Digester("sha256")
        self._pos = 0
        self._failed = False

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        try:
            done = 0
            while done < len(view):  # a raw file may write less than it is given
                done += self._file.write(view[done:]) or 0
        except BaseException:
            self._failed = True
            raise
        self._digester.update(data)
        self._pos += done
        return done

    def tell(self) -> int:
        return self._pos

    def close(self) -> None:
        if self.closed:
            return
        try:
            if not self._failed:
                record_digest(self.path, self._digester.hexdigest("sha256"))
        finally:
            self._digester.close()
            self._file.close()
            super().close()


@contextlib.contextmanager
def hashed_file(path: str, buffering: int = 1 << 20) -> Iterator[Any]:
    """The file at `path` for the block, written through a `HashedFile`
    (behind a buffer of `buffering` bytes: an `io.BufferedWriter`; 0, the
    `HashedFile` itself); its checksum recorded only when the block ends
    normally, the file closed however it ends."""
    raw = HashedFile(path)
    f: Any = io.BufferedWriter(raw, buffering) if buffering else raw
    try:
        yield f
    except BaseException:
        raw._failed = True
        with contextlib.suppress(Exception):
            f.close()
        raw.close()
        raise
    f.close()


# -- what atomic_path learns ------------------------------------------------

_lock = threading.Lock()
#: Temporary files being written under atomic_path -> their SHA-256, once known.
_parts: dict[str, str | None] = {}
_recording = threading.local()


def record_digest(tmp: str, sha256: str) -> None:
    """The SHA-256 of the temporary file `tmp` (whole), as its writer
    computed it; kept for `atomic_path` when it writes `tmp`."""
    key = os.path.abspath(tmp)
    with _lock:
        if key in _parts:
            _parts[key] = sha256


def begin_part(tmp: str) -> None:
    with _lock:
        _parts[os.path.abspath(tmp)] = None


def end_part(tmp: str) -> str | None:
    """Forgets `tmp`; answers its recorded SHA-256, if any."""
    with _lock:
        return _parts.pop(os.path.abspath(tmp), None)


def note_written(dest: str, sha256: str | None) -> None:
    """`dest` renamed into place with content of SHA-256 `sha256`, for each
    `recording_digests` block of this thread."""
    if sha256 is None:
        return
    for digests in getattr(_recording, "stack", []):
        digests[os.path.abspath(dest)] = sha256


@contextlib.contextmanager
def recording_digests() -> Iterator[dict[str, str]]:
    """While the block runs, the SHA-256 of each output this thread writes
    through `atomic_path` (whose writer supplied one) is added to the
    yielded dict, keyed by the output's absolute path."""
    digests: dict[str, str] = {}
    stack = getattr(_recording, "stack", [])
    _recording.stack = [*stack, digests]
    try:
        yield digests
    finally:
        _recording.stack = stack
