"""Every file vantoro writes goes through this layer: converted outputs,
plots, chromatograms, reports and the stamps beside them, from the command
and from the library alike.

- An output that is one of the inputs (the same file, also through a hard
  or symbolic link) is refused, whatever the options.
- An existing file is replaced only when vantoro wrote it from the same
  inputs and it is unchanged since (its stamp says so), or with
  `overwrite`.
- A file is written under a hidden temporary name in its directory and
  renamed when whole. The temporary name says which process writes it
  (host, process id and the process's start time), so a later run can
  remove the partial files of runs that died without ever touching those
  of a run that is still writing.
- An output directory is held by one run at a time (`DirectoryLock`), and
  so is an output prefix under a URL (`RemoteLock`).
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import threading
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any

from ..base.liveness import PART_SUFFIX as PART_SUFFIX
from ..base.liveness import host_tag, owner_tag, part_owner_alive, start_time
from ..base.paths import StrPath
from ..base.paths import sha256_file as sha256_file
from ..base.text import printable
from ..base.urls import is_url as is_url
from ..base.urls import url_fs as url_fs
from ..base.urls import url_identity as url_identity
from .errors import OutputBusy as OutputBusy
from .errors import OutputError as OutputError
from .errors import OutputExists as OutputExists
from .errors import OutputGone as OutputGone


def remove_dead_parts(directory: StrPath) -> list[str]:
    """Removes the partial files in `directory` whose writing process has
    died; returns their paths. Missing or unreadable directories are left
    alone."""
    removed: list[str] = []
    try:
        names = os.listdir(directory)
    except OSError:
        return removed
    for name in names:
        if name.endswith(PART_SUFFIX) and part_owner_alive(name) is False:
            path = os.path.join(os.fspath(directory), name)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
                removed.append(path)
    return removed


def _new_part(dest: str) -> str:
    """A new, empty partial file for `dest`, named for its writing process."""
    directory, name = os.path.split(os.path.abspath(dest))
    owner = owner_tag()
    while True:
        tmp = os.path.join(directory, f".{name}.{os.urandom(4).hex()}.{owner}{PART_SUFFIX}")
        try:
            # Created like any new file (mode 0666 less the umask), not 0600.
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return tmp
        except FileExistsError:
            continue
        except OSError as exc:
            raise OutputError(dest, exc) from exc


def check_writable(
    dest: StrPath,
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    writer: str | None = None,
) -> None:
    """Raises OutputError (OutputExists) when `dest` could not be written
    now: its directory missing or not writable, or `may_write` refusing it.
    For an output made after long work, checked before that work starts."""
    dest = os.fspath(dest)
    directory = os.path.dirname(os.path.abspath(dest))
    if not os.path.isdir(directory):
        raise OutputError(dest, "no such directory" if not os.path.lexists(directory) else "not a directory")
    may_write([dest], inputs, overwrite=overwrite, any_inputs=any_inputs, writer=writer)
    os.unlink(_new_part(dest))  # the directory takes a new file


#: The outputs this thread writes and what their stamps record (see `stamping`).
_stamping = threading.local()


@contextlib.contextmanager
def stamping(
    dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any], writer: str | None = None
) -> Iterator[None]:
    """While the block runs, each of `dests` that this thread writes through
    `atomic_path` gets its stamp just before it is renamed into place, so
    that an output is never seen whole without its stamp (a run killed in
    between leaves a stamp without its output, which vouches for nothing)."""
    pending = getattr(_stamping, "pending", {})
    mine = {os.path.abspath(d): (list(inputs), dict(options), writer) for d in dests}
    _stamping.pending = {**pending, **mine}
    try:
        yield
    finally:
        _stamping.pending = pending


@contextlib.contextmanager
def atomic_path(dest: StrPath) -> Iterator[str]:
    """Yields a temporary path in the directory of `dest` for the caller to
    write; renames it to `dest` when the block ends normally and removes it
    when the block raises (Ctrl-C and a stop signal included); an output of
    `stamping` is stamped just before. Raises OutputError naming `dest` when
    the temporary file cannot be created or renamed."""
    dest = os.fspath(dest)
    tmp = _new_part(dest)
    try:
        yield tmp
        stamp = getattr(_stamping, "pending", {}).get(os.path.abspath(dest))
        if stamp is not None:
            _write_stamp(dest, tmp, *stamp)
        try:
            os.replace(tmp, dest)
        except OSError as exc:
            raise OutputError(dest, exc) from exc
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


# -- what may be written ------------------------------------------------------

STAMP_SUFFIX = ".vantoro.json"


def stamp_path(dest: StrPath) -> str:
    """The hidden file beside `dest` that records what it was made from."""
    directory, name = os.path.split(os.fspath(dest))
    return os.path.join(directory, f".{name}{STAMP_SUFFIX}")


def _facts(path: str) -> list[int]:
    st = os.stat(path)
    return [st.st_size, st.st_mtime_ns]


def _read_stamp(dest: str) -> dict[str, Any] | None:
    try:
        with open(stamp_path(dest), encoding="utf-8") as f:
            stamp = json.load(f)
    except (OSError, ValueError):
        return None
    return stamp if isinstance(stamp, dict) else None


def _input_record(path: str) -> dict[str, Any]:
    if is_url(path):  # an object read through a local copy: named by its URL, known by its identity
        return {"path": path, "facts": url_identity(path)}
    return {"path": os.path.realpath(path), "facts": _facts(path)}


def _where(path: str) -> str:
    return path if is_url(path) else os.path.realpath(path)


def refuse_inputs(dests: Sequence[str], inputs: Sequence[str]) -> None:
    """Raises OutputExists when an output is one of the inputs."""
    for dest in dests:
        if not os.path.lexists(dest):
            continue
        for source in inputs:
            if is_url(source):
                continue  # a local output is never an object
            try:
                same = os.path.samefile(dest, source)
            except OSError:
                same = False
            if same:
                raise OutputExists(dest, f"the output {dest} is an input file")


def written_by(dest: str) -> str | None:
    """The command and format that wrote `dest`, as its stamp says, if any."""
    stamp = _read_stamp(dest)
    writer = None if stamp is None else stamp.get("writer")
    return writer if isinstance(writer, str) else None


def written_from(dest: str, inputs: Sequence[str] | None, writer: str | None = None) -> bool:
    """Whether vantoro wrote `dest` from these inputs (None: from any), as
    `writer` (the command and format; None: whichever), and it is unchanged
    since. A stamp from before stamps named their writer matches any."""
    stamp = _read_stamp(dest)
    if stamp is None:
        return False
    if writer is not None and stamp.get("writer", writer) != writer:
        return False
    try:
        unchanged = stamp.get("output") == _facts(dest)
    except OSError:
        return False
    if inputs is None:
        return unchanged
    wanted = sorted(_where(p) for p in inputs)
    return unchanged and sorted(str(r.get("path")) for r in stamp.get("inputs", [])) == wanted


def up_to_date(dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any]) -> bool:
    """Whether every output exists as vantoro wrote it from the inputs as
    they are now, with the same options: writing it again would give the
    same files."""
    try:
        current = [_input_record(p) for p in inputs]
    except OSError:
        return False
    for dest in dests:
        stamp = _read_stamp(dest)
        try:
            if stamp is None or stamp.get("output") != _facts(dest):
                return False
        except OSError:
            return False
        if stamp.get("inputs") != current or stamp.get("options") != dict(options):
            return False
    return True


def may_write(
    dests: Sequence[str],
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    writer: str | None = None,
) -> None:
    """Raises OutputExists unless every output of `dests` may be written:
    never over an input; over an existing file only when vantoro wrote it,
    as `writer` (the command and format that writes it now), from the same
    inputs (from any, with `any_inputs`: a report of another batch) and it
    is unchanged since, or with `overwrite`."""
    refuse_inputs(dests, inputs)
    for dest in dests:
        if os.path.lexists(dest) and not os.path.isfile(dest):  # a directory, a device, a FIFO: never replaced
            raise OutputExists(dest, f"{dest} is not a regular file; vantoro writes no output there")
    if overwrite:
        return
    for dest in dests:
        other = written_by(dest) if writer is not None and os.path.lexists(dest) else None
        if other is not None and other != writer:
            raise OutputExists(dest, f"{dest} exists, written by vantoro {other} (--overwrite replaces it)")
        if os.path.lexists(dest) and not written_from(dest, None if any_inputs else inputs):
            what = "it" if any_inputs else "it from this input"
            raise OutputExists(dest, f"{dest} exists and vantoro did not write {what} (--overwrite replaces it)")


def write_stamps(
    dests: Sequence[str], inputs: Sequence[str], options: Mapping[str, Any], writer: str | None = None
) -> None:
    """Records beside each finished output what it was made from, and by what."""
    for dest in dests:
        _write_stamp(dest, dest, inputs, options, writer)


def _write_stamp(
    dest: str, written: str, inputs: Sequence[str], options: Mapping[str, Any], writer: str | None
) -> None:
    """The stamp of `dest`, whose content is the file `written` (itself, or
    the temporary file about to be renamed to it: a rename keeps size and
    modification time)."""
    stamp: dict[str, Any] = {"inputs": [_input_record(p) for p in inputs], "options": dict(options)}
    stamp["output"] = _facts(written)
    if writer is not None:
        stamp["writer"] = writer
    with atomic_path(stamp_path(dest)) as tmp, open(tmp, "w", encoding="utf-8") as f:
        json.dump(stamp, f)


# -- one run per directory ------------------------------------------------------

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


@contextlib.contextmanager
def output_file(
    dest: StrPath,
    inputs: Sequence[str],
    *,
    overwrite: bool = False,
    any_inputs: bool = False,
    options: Mapping[str, Any] | None = None,
    writer: str | None = None,
) -> Iterator[str]:
    """The whole output layer for one file: its directory held, the output
    checked (`may_write`), a temporary path yielded for the caller to
    write, stamped and renamed to `dest` when the block ends normally."""
    dest = os.fspath(dest)
    with DirectoryLock(os.path.dirname(os.path.abspath(dest)), naming=dest):
        may_write([dest], inputs, overwrite=overwrite, any_inputs=any_inputs, writer=writer)
        with stamping([dest], inputs, options or {}, writer), atomic_path(dest) as tmp:
            yield tmp


# -- object storage -------------------------------------------------------------
# Outputs under a URL (s3://bucket/prefix/...) follow the same rules: an
# object is replaced only when vantoro wrote it from the same input and it
# is unchanged since (its stamp object says so), or with `overwrite`; an
# up-to-date output is skipped. An object is whole or absent: the store
# makes an uploaded object visible only once its upload has completed (a
# single PUT, or a multipart upload's completion), and the stamp follows it.


def _read_remote_stamp(dest: str) -> dict[str, Any] | None:
    fs, path = url_fs(stamp_path(dest))
    try:
        with fs.open(path, "rb") as f:
            stamp = json.loads(f.read())
    except (OSError, ValueError):
        return None
    return stamp if isinstance(stamp, dict) else None


def _remote_size(dest: str) -> int | None:
    fs, path = url_fs(dest)
    try:
        return int(fs.info(path)["size"])
    except (OSError, KeyError, ValueError):
        return None


def remote_up_to_date(dests: Sequence[str], source: Mapping[str, Any], options: Mapping[str, Any]) -> bool:
    """`up_to_date` for objects: each exists as vantoro wrote it from
    `source` (its record: location and identity) with these options."""
    for dest in dests:
        stamp = _read_remote_stamp(dest)
        if stamp is None or stamp.get("output") != [_remote_size(dest)]:
            return False
        if stamp.get("inputs") != [dict(source)] or stamp.get("options") != dict(options):
            return False
    return True


def remote_may_write(dests: Sequence[str], source: str, *, overwrite: bool = False) -> None:
    """`may_write` for objects: an existing object is replaced only when
    vantoro wrote it from `source` and it is unchanged since, or with
    `overwrite`; never the input itself."""
    for dest in dests:
        if dest == source:
            raise OutputExists(dest, f"the output {dest} is an input file")
        if overwrite or _remote_size(dest) is None:
            continue
        stamp = _read_remote_stamp(dest)
        mine = stamp is not None and stamp.get("output") == [_remote_size(dest)]
        if not mine or [r.get("path") for r in (stamp or {}).get("inputs", [])] != [source]:
            raise OutputExists(
                dest, f"{dest} exists and vantoro did not write it from this input (--overwrite replaces it)"
            )


def upload(
    local: str, dest: str, source: Mapping[str, Any] | None = None, options: Mapping[str, Any] | None = None
) -> None:
    """Uploads the finished local file `local` as object `dest`, then its
    stamp (when `source` is given). Raises OutputError naming `dest`."""
    fs, path = url_fs(dest)
    try:
        # The stamp first: a run stopped in between leaves a stamp that
        # vouches for no object, never an object without its stamp.
        if source is not None:
            stamp = {"inputs": [dict(source)], "options": dict(options or {}), "output": [os.path.getsize(local)]}
            with fs.open(url_fs(stamp_path(dest))[1], "wb") as f:
                f.write(json.dumps(stamp).encode())
        fs.put_file(local, path)
    except Exception as exc:  # any failure of the store or its client
        raise OutputError(dest, str(exc) or type(exc).__name__) from exc


def object_size(dest: str) -> int | None:
    """The size of a local file or an object, or None when there is none."""
    if is_url(dest):
        return _remote_size(dest)
    try:
        return os.path.getsize(dest)
    except OSError:
        return None
