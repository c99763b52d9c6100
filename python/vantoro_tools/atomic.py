"""Output files that appear under their final name only when complete.

A file is written under a hidden temporary name in its directory and
renamed when whole. The temporary name says which process writes it (host,
process id and the process's start time), so a later run can remove the
partial files of runs that died without ever touching those of a run that
is still writing.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import socket
from collections.abc import Iterator

from .reading import StrPath

PART_SUFFIX = ".part"
# .<final name>.<token>.<pid>-<start time>@<host>.part
_PART = re.compile(r"^\..+\.[0-9a-f]{8}\.(?P<pid>\d+)-(?P<start>\d+)@(?P<host>[\w.-]+)\.part$")


class OutputError(OSError):
    """An output file or directory could not be written; the message names it."""

    def __init__(self, path: StrPath, reason: str | BaseException):
        if isinstance(reason, OSError):
            reason = reason.strerror or str(reason)
        super().__init__(f"cannot write {os.fspath(path)}: {reason}")
        self.path = os.fspath(path)


def _host() -> str:
    return re.sub(r"[^\w.-]", "_", socket.gethostname()) or "host"


def _start_time(pid: int) -> int:
    """When process `pid` started, in clock ticks since boot (Linux), or 0
    where that is not known; -1 when there is no such process."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # The command name (field 2) may hold spaces and parentheses.
            return int(f.read().rsplit(b")", 1)[1].split()[19])
    except FileNotFoundError:
        return -1 if os.path.isdir("/proc/self") else _pid_alive(pid)
    except (OSError, ValueError, IndexError):
        return 0


def _pid_alive(pid: int) -> int:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return -1
    except OSError:
        pass
    return 0


def _owner_tag() -> str:
    pid = os.getpid()
    return f"{pid}-{max(0, _start_time(pid))}@{_host()}"


def part_owner_alive(name: str) -> bool | None:
    """Whether the process that writes partial file `name` is alive: None
    when `name` is no partial file of this package or was written on
    another host (its owner cannot be asked)."""
    match = _PART.match(name)
    if match is None or match["host"] != _host():
        return None
    pid, start = int(match["pid"]), int(match["start"])
    now = _start_time(pid)
    if now == -1:
        return False
    # The same process id with another start time is a new process.
    return now == 0 or start == 0 or now == start


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


@contextlib.contextmanager
def atomic_path(dest: StrPath) -> Iterator[str]:
    """Yields a temporary path in the directory of `dest` for the caller to
    write; renames it to `dest` when the block ends normally and removes it
    when the block raises (Ctrl-C and a stop signal included). Raises
    OutputError naming `dest` when the temporary file cannot be created or
    renamed."""
    dest = os.fspath(dest)
    directory, name = os.path.split(os.path.abspath(dest))
    owner = _owner_tag()
    while True:
        tmp = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.{owner}{PART_SUFFIX}")
        try:
            # Created like any new file (mode 0666 less the umask), not 0600.
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            break
        except FileExistsError:
            continue
        except OSError as exc:
            raise OutputError(dest, exc) from exc
    try:
        yield tmp
        try:
            os.replace(tmp, dest)
        except OSError as exc:
            raise OutputError(dest, exc) from exc
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
