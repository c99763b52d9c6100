"""Checksums of outputs taken from the bytes as they are written, never by
reading a file back.

- `Digester`: hashes the bytes handed to it, in order, each checksum on a
  thread of its own fed through a bounded queue (hashlib releases the
  interpreter for large updates, so another core hashes while this one
  writes); small pieces are gathered into large ones first.
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
from collections.abc import Iterator
from typing import Any

#: Bytes hashed at a time in the writing thread, by every algorithm in turn:
#: the first (or the file's write, just before) brings them into the core's
#: cache (2 MiB of L2 here), the others read them there. Measured (SHA-NI):
#: SHA-1 and SHA-256 hash bytes in L2 at about 1.9 GB/s, bytes from L3 or
#: memory at about 1.0. The dense file's mzML and MGF, measured: 256 KiB
#: slices 2-4 % faster, and cheaper, than 64 KiB or 1 MiB.
SLICE = 1 << 18
#: Bytes gathered before they go to the hashing threads. Each piece costs
#: a thread the interpreter's lock once (hashlib takes it back after
#: each update), which it may wait for while the writing thread runs
#: Python code: large pieces, few waits.
GATHER = 4 << 20
#: Bytes of each output hashed in the writing thread before the hashing
#: threads start: a thread and its hand-offs cost a small output more than
#: hashing it here (some 2 ms of 8 MiB).
INLINE = 8 << 20
#: Buffers of gathered bytes kept for the next Digester of this process
#: once one is closed: a new buffer costs clearing it and its page faults
#: (some 1.5 ms, more than hashing a small output).
SPARE = 4
#: Bytes objects this large go to the hashing threads as they are, uncopied.
PASS = 1 << 18
#: Pieces queued for each hashing thread at most (the buffers of gathered
#: bytes, one more than this, some 36 MiB at most).
QUEUE_PIECES = 8

_STOP = object()
_spare: list[bytearray] = []
_spare_lock = threading.Lock()


def _hash(digests: list[Any], data: Any) -> int:
    """`data` given to each of `digests`, `SLICE` bytes at a time, every
    digest in turn; answers its length."""
    view = memoryview(data).cast("B")
    if len(view) <= SLICE or len(digests) == 1:
        for digest in digests:
            digest.update(view)
        return len(view)
    for at in range(0, len(view), SLICE):
        piece = view[at : at + SLICE]
        for digest in digests:
            digest.update(piece)
    return len(view)


class _Gathered:
    """A buffer of gathered bytes, handed to every hashing thread; back to
    the free ones once the last has hashed it."""

    def __init__(self, buffer: bytearray, size: int, readers: int, free: queue.Queue[bytearray]):
        self.view = memoryview(buffer)[:size]
        self.buffer, self.readers, self.free = buffer, readers, free
        self.lock = threading.Lock()

    def done(self) -> None:
        with self.lock:
            self.readers -= 1
            last = self.readers == 0
        if last:
            self.view.release()
            self.free.put(self.buffer)


class _Lane:
    """One algorithm's hash and the thread that feeds it, in order, what
    its bounded queue receives."""

    def __init__(self, algorithm: str):
        self.digest = hashlib.new(algorithm)
        self.queue: queue.Queue[Any] = queue.Queue(QUEUE_PIECES)
        self.failed: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name=f"vantoro-digest-{algorithm}", daemon=True)

    @property
    def started(self) -> bool:
        return self.thread.ident is not None

    def _run(self) -> None:
        while True:
            item = self.queue.get()
            if item is _STOP:
                return
            try:
                if isinstance(item, _Gathered):
                    try:
                        self.digest.update(item.view)
                    finally:
                        item.done()
                elif callable(item):
                    item()
                else:
                    self.digest.update(item)
            except BaseException as exc:  # kept for the writing thread, which asks next
                self.failed = exc


class Digester:
    """Hashes (with each of `algorithms`) the bytes given to `update`, in
    order: the first `INLINE` bytes in the writing thread, as they come
    (a small output costs no thread), the rest beside it, each algorithm
    on a thread of its own (two checksums of one stream use two cores
    where they are free); all of it in the writing thread unless `beside`,
    `SLICE` bytes at a time, every algorithm in turn.
    A conversion with no core to spare (one of a batch's, one per core)
    is given `beside=False`: its hashing threads would only take turns
    with it, and the hand-offs cost more than they gave (a batch of 24
    mzML conversions on two Dask workers, measured: 15 % more CPU); so is
    a writer that mostly waits for its pool (mzML, MGF): it hashes each
    slice it has just written while the slice is in its core's cache.
    `hexdigest` waits for what was given so far.
    `close` (or the end of a `with` block) stops the threads, whatever
    they were doing: a failed write leaves no thread behind."""

    def __init__(self, *algorithms: str, beside: bool = True):
        self._lanes = {name: _Lane(name) for name in algorithms}
        self._active = list(self._lanes.values())
        # Bytes still hashed here before the threads start.
        self._inline = INLINE if beside else float("inf")
        if self._inline <= 0:
            self._start()
        self._buffer: bytearray | None = None  # being filled, `_filled` bytes so far
        self._filled = 0
        self._free: queue.Queue[bytearray] = queue.Queue()  # buffers hashed, to be filled again
        self._buffers = 0  # taken so far
        self._closed = False

    def _start(self) -> None:
        for lane in self._active:
            lane.thread.start()

    @property
    def here(self) -> bool:
        """Whether `update` hashes in the calling thread (for now)."""
        return self._inline > 0

    def update(self, data: Any) -> None:
        """Hashes `data` (bytes or any buffer) after what came before.
        Bytes of `PASS` or more are hashed as they are; anything else is
        copied into buffers of `GATHER` bytes, used again once hashed (and
        by the next Digester: `SPARE`): a read-only view may still be of
        memory its owner fills again once this returns (`io.BufferedWriter`
        hands its raw file such views of its own buffer), and a fresh copy
        would cost its page faults."""
        if self._inline > 0:
            if self._closed:
                raise ValueError("bytes given to a closed Digester")
            self._inline -= _hash([lane.digest for lane in self._active], data)
            if self._inline <= 0:
                self._start()
            return
        if isinstance(data, bytes) and len(data) >= PASS:
            self._send_gathered()
            self._put(data)
            return
        view = memoryview(data).cast("B")
        while view:
            if self._buffer is None:
                self._buffer, self._filled = self._take_buffer(), 0
            n = min(len(view), GATHER - self._filled)
            self._buffer[self._filled : self._filled + n] = view[:n]
            self._filled += n
            view = view[n:]
            if self._filled == GATHER:
                self._send_gathered()

    def _take_buffer(self) -> bytearray:
        try:
            return self._free.get_nowait()
        except queue.Empty:
            pass
        if self._buffers < QUEUE_PIECES + 1:
            self._buffers += 1
            with _spare_lock:
                if _spare:
                    return _spare.pop()
            return bytearray(GATHER)
        while True:  # all in use: one comes back once hashed
            try:
                return self._free.get(timeout=0.5)
            except queue.Empty:
                self._check()

    def _check(self) -> None:
        for lane in self._lanes.values():
            if lane.started and not lane.thread.is_alive():
                raise RuntimeError("a hashing thread has stopped")

    def _send_gathered(self) -> None:
        if self._buffer is not None and self._filled:
            self._put(_Gathered(self._buffer, self._filled, len(self._active), self._free))
            self._buffer = None

    def _put(self, item: Any) -> None:
        if self._closed:
            raise ValueError("bytes given to a closed Digester")
        for lane in self._active:
            lane.queue.put(item)

    def hexdigest(self, algorithm: str) -> str:
        """The digest (`algorithm`) of every byte given so far."""
        self._send_gathered()
        lane = self._lanes[algorithm]
        if self._closed:
            raise ValueError("a closed Digester")
        if not lane.started:  # hashed here, or left out (`only`) before the threads started
            return lane.digest.hexdigest()
        done = threading.Event()
        answer: list[str] = []

        def run() -> None:
            try:
                answer.append(lane.digest.hexdigest())
            finally:
                done.set()

        lane.queue.put(run)  # answered once what the lane was given before is hashed
        while not done.wait(0.5):
            self._check()
        if lane.failed is not None:
            raise lane.failed
        return answer[0]

    def only(self, algorithm: str) -> None:
        """Bytes given from now on go to `algorithm` alone."""
        self._send_gathered()
        self._active = [self._lanes[algorithm]]

    def close(self) -> None:
        """Stops the hashing threads (what was queued is dropped)."""
        if self._closed:
            return
        self._closed = True
        started = [lane for lane in self._lanes.values() if lane.started]
        for lane in started:
            while True:  # the queue emptied, so that the stop goes in even when it was full
                try:
                    lane.queue.get_nowait()
                except queue.Empty:
                    break
            lane.queue.put(_STOP)
        for lane in started:
            lane.thread.join()
        with _spare_lock:
            while len(_spare) < SPARE:
                try:
                    _spare.append(self._free.get_nowait())
                except queue.Empty:
                    break

    def __enter__(self) -> Digester:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class HashedFile(io.RawIOBase):
    """The file at `path`, created empty and written from its start; the
    SHA-256 of what was written is recorded for `atomic_path` when it is
    closed after a write that did not fail (`record_digest`). Not seekable:
    every byte reaches the file, and the checksum, in order."""

    def __init__(self, path: str, *, beside: bool = True):
        super().__init__()
        self.path = path
        self._file = open(path, "wb", buffering=0)  # closed by close()
        self._digester = Digester("sha256", beside=beside)
        self._pos = 0
        self.failed = False

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        # Hashed here: a slice at a time, just after the file's write has
        # brought it into this core's cache (a piece of several MiB would
        # have left it by the time it is hashed).
        step = SLICE if self._digester.here and len(view) > SLICE else len(view)
        for at in range(0, len(view), step or 1):
            piece = view[at : at + step]
            try:
                done = 0
                while done < len(piece):  # a raw file may write less than it is given
                    done += self._file.write(piece[done:]) or 0
            except BaseException:
                self.failed = True
                raise
            self._digester.update(data if step == len(view) else piece)
            self._pos += done
        return len(view)

    def tell(self) -> int:
        return self._pos

    def close(self) -> None:
        if self.closed:
            return
        try:
            if not self.failed:
                record_digest(self.path, self._digester.hexdigest("sha256"))
        finally:
            self._digester.close()
            self._file.close()
            super().close()


@contextlib.contextmanager
def hashed_file(path: str, buffering: int = 1 << 20, *, beside: bool = True) -> Iterator[Any]:
    """The file at `path` for the block, written through a `HashedFile`
    (behind a buffer of `buffering` bytes: an `io.BufferedWriter`; 0, the
    `HashedFile` itself); its checksum recorded only when the block ends
    normally, the file closed however it ends."""
    raw = HashedFile(path, beside=beside)
    f: Any = io.BufferedWriter(raw, buffering) if buffering else raw
    try:
        yield f
    except BaseException:
        raw.failed = True
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
