"""Locks: an output directory is held by one run at a time
(`DirectoryLock`, an advisory lock on a hidden file in it), and so is an
output prefix under a URL (`RemoteLock`, a lock object created only if
absent, refreshed while the run lasts). A second run is refused with
OutputBusy, naming the run that holds the lock; a store that cannot hold a
lock says so with LockUnsupported."""

from __future__ import annotations

import contextlib
import errno
import json
import os
import threading
import time
from collections.abc import Mapping
from typing import IO, Any

from ...base.liveness import host_tag, start_time
from ...base.paths import StrPath
from ...base.text import printable
from ...base.urls import url_fs
from ..errors import OutputBusy, OutputError

LOCK_NAME = ".vantoro.lock"


class DirectoryLock:
    """Holds an output directory for one run: an advisory lock on a hidden
    file in it, released when the block ends or the process dies however
    it dies (the system drops the lock with its last descriptor), so a dead
    holder's lock is simply taken. Raises OutputBusy when another run holds
    it, naming that run's process. The lock file is removed on release; a
    run that locked a file removed meanwhile tries again on the new one."""

    def __init__(self, directory: StrPath, *, naming: StrPath | None = None):
        self.directory = os.fspath(directory) or "."
        self.path = os.path.join(self.directory, LOCK_NAME)
        #: what an error that is not about the lock names: the output the caller writes
        self.naming = self.directory if naming is None else os.fspath(naming)
        self._file: IO[str] | None = None

    def __enter__(self) -> DirectoryLock:
        try:
            import fcntl
        except ImportError:  # not POSIX: no advisory locks to take
            return self
        while True:
            try:
                f = open(self.path, "a+", encoding="utf-8")
            except OSError as exc:
                raise OutputError(self.naming, exc) from exc
            try:
                fcntl.flock(f.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                f.seek(0)
                holder = f.read(200).strip()
                f.close()
                raise OutputBusy(
                    self.directory,
                    "busy: another vantoro run "
                    + (f"(process {printable(holder)}) " if holder else "")
                    + "writes there; try again when it has finished",
                ) from None
            try:
                current = os.stat(self.path)
            except FileNotFoundError:
                current = None
            if current is not None and os.path.samestat(current, os.fstat(f.fileno())):
                break
            f.close()  # its holder removed it on release: lock the file that is there now
        # Who holds it, for the line a second run shows; on a full disk the lock holds without it.
        with contextlib.suppress(OSError):
            f.seek(0)
            f.truncate()
            f.write(f"{os.getpid()} on {host_tag()}\n")
            f.flush()
        self._file = f
        return self

    def __exit__(self, *exc: object) -> None:
        if self._file is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.path)
            with contextlib.suppress(OSError):  # a holder note left unwritten (a full disk)
                self._file.close()  # closing releases the lock
            self._file = None


class LockUnsupported(OutputError):
    """The store under an output URL cannot create an object only if it is absent: no lock can be taken there."""


#: Seconds after its last refresh when a lock object left by a run on another host is taken over.
LOCK_EXPIRY = 120.0


class RemoteLock:
    """Holds an output prefix under a URL for one run, as `DirectoryLock` holds
    a directory: a lock object (`PREFIX/.vantoro.lock`) created only if
    absent (a conditional PUT, `If-None-Match: *`, which S3 and moto honour),
    naming its owner (host, process, the process's start time, batch, since
    when). A thread rewrites it every `expiry / 4` seconds, each time only
    if it is still the object it wrote (`If-Match` on its ETag). A lock
    object not rewritten for `expiry` seconds, or whose owner ran on this
    host and has died, is taken over, again conditionally, so that of two
    runs taking it over one wins. Released (removed, when it is still this
    run's) when the block ends, however it ends; a run killed outright
    leaves it until it expires, or until the next run on its host.

    Raises OutputBusy when another run holds it, naming that run, and
    LockUnsupported when the store cannot create an object only if absent:
    a store that is not S3 (through s3fs), or one that ignores the
    condition (tried once on each lock: a second conditional PUT must fail).
    Clocks of the hosts that share a prefix are taken to agree within a
    fraction of `expiry`."""

    def __init__(self, url: str, *, batch: str | None = None, expiry: float = LOCK_EXPIRY):
        self.url = url.rstrip("/") + "/" + LOCK_NAME
        self.prefix = url
        self.batch, self.expiry = batch, expiry
        self.fs: Any = None
        self.where = ""
        self.etag: str | None = None
        self.since = 0.0
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def _owner(self) -> bytes:
        pid = os.getpid()
        return json.dumps(
            {
                "host": host_tag(),
                "pid": pid,
                "start": max(0, start_time(pid)),
                "batch": self.batch,
                "since": self.since,
                "refreshed": time.time(),
            }
        ).encode()

    def _put(self, **condition: str) -> str:
        bucket, key, _ = self.fs.split_path(self.where)
        reply = self.fs.call_s3("put_object", Bucket=bucket, Key=key, Body=self._owner(), **condition)
        return str(reply.get("ETag", ""))

    def __enter__(self) -> RemoteLock:
        self.fs, self.where = url_fs(self.url)
        if not hasattr(self.fs, "call_s3"):
            raise LockUnsupported(self.prefix, f"cannot lock: {self.url.partition(':')[0]}:// is not S3; {_UNLOCKED}")
        self.since = time.time()
        for _ in range(10):
            try:
                self.etag = self._put(IfNoneMatch="*")
                break
            except FileExistsError:
                pass
            except Exception as exc:  # any failure of the store or its client
                raise _lock_failure(self.prefix, exc) from exc
            if self._take_over():
                break
        else:  # taken over by others each time, or a store that refuses If-Match
            raise OutputError(self.url, "the lock object of a run that has ended could not be taken over")
        try:
            probe = self._put(IfNoneMatch="*")
        except FileExistsError:
            pass  # the store honours the condition
        except Exception as exc:
            self._release()
            raise _lock_failure(self.prefix, exc) from exc
        else:
            self.etag = probe
            self._release()
            raise LockUnsupported(self.prefix, f"cannot lock: the store ignores If-None-Match; {_UNLOCKED}")
        self._stop.clear()
        self._thread = threading.Thread(target=self._refresh, name="vantoro-lock", daemon=True)
        self._thread.start()
        return self

    def _take_over(self) -> bool:
        """Takes the lock object over when its owner is gone; raises OutputBusy when it is not."""
        try:
            tag = str(self.fs.info(self.where, refresh=True).get("ETag", ""))
            text = self.fs.cat_file(self.where)
        except FileNotFoundError:
            return False  # released meanwhile: create it again
        except Exception as exc:  # any failure of the store or its client
            raise _lock_failure(self.prefix, exc) from exc
        try:
            holder = json.loads(text)
        except ValueError:
            holder = None
        if not isinstance(holder, dict):
            holder = {}  # no owner to ask, never refreshed: taken over
        if not self._gone(holder):
            who = f"process {holder.get('pid')} on {holder.get('host')}"
            if holder.get("batch"):
                who += f", batch {holder['batch']}"
            if isinstance(holder.get("since"), (int, float)):
                who += time.strftime(", since %Y-%m-%d %H:%M:%S UTC", time.gmtime(holder["since"]))
            raise OutputBusy(
                self.prefix,
                f"busy: another vantoro run ({printable(who)}) writes there; try again when it has finished "
                f"(a lock not refreshed for {self.expiry:.0f} s is taken over)",
            )
        try:
            self.etag = self._put(IfMatch=tag)
        except FileNotFoundError:
            return False
        except OSError:
            return False  # another run took it over first, or refreshed it: look again
        return True

    def _gone(self, holder: Mapping[str, Any]) -> bool:
        refreshed = holder.get("refreshed")
        if not isinstance(refreshed, (int, float)) or time.time() - refreshed > self.expiry:
            return True
        pid, start = holder.get("pid"), holder.get("start")
        if holder.get("host") != host_tag() or not isinstance(pid, int) or not isinstance(start, int):
            return False
        now = start_time(pid)
        return now == -1 or (now > 0 and start > 0 and now != start)

    def _refresh(self) -> None:
        while not self._stop.wait(self.expiry / 4):
            try:
                self.etag = self._put(IfMatch=self.etag or "")
            except Exception:  # the store away for a while: tried again at the next beat
                continue

    def _release(self) -> None:
        with contextlib.suppress(Exception):
            if str(self.fs.info(self.where, refresh=True).get("ETag", "")) == self.etag:
                self.fs.rm_file(self.where)
        self.etag = None

    def __exit__(self, *exc: object) -> None:
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            self._thread = None
        if self.etag is not None:
            self._release()


_UNLOCKED = "this batch takes no lock: run one batch per output prefix at a time"


def _lock_failure(prefix: str, exc: BaseException) -> OutputError:
    if isinstance(exc, OSError) and exc.errno in (errno.ENOSYS, errno.EINVAL):
        # NotImplemented or a refused header: the store has no conditional writes
        return LockUnsupported(prefix, f"cannot lock: the store refuses If-None-Match ({exc}); {_UNLOCKED}")
    return OutputError(prefix.rstrip("/") + "/" + LOCK_NAME, str(exc) or type(exc).__name__)
