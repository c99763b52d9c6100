"""Which process writes a file: the owner tag that partial files and
scratch directories carry (host, process id and the process's start time),
and whether that owner is still alive, so that a later run removes what
dead runs left without touching what a live one writes."""

from __future__ import annotations

import os
import re

PART_SUFFIX = ".part"
# .<final name>.<token>.<pid>-<start time>@<host>.part
_PART = re.compile(r"^\..+\.[0-9a-f]{8}\.(?P<pid>\d+)-(?P<start>\d+)@(?P<host>[\w.-]+)\.part$")


def host_tag() -> str:
    import socket  # some 3 ms to import (measured): paid by a command that writes

    return re.sub(r"[^\w.-]", "_", socket.gethostname()) or "host"


def start_time(pid: int) -> int:
    """When process `pid` started, in clock ticks since boot (Linux), or 0
    where that is not known; -1 when there is no such process or it has ended."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            # The command name (field 2) may hold spaces and parentheses.
            fields = f.read().rsplit(b")", 1)[1].split()
        # A zombie (killed, not yet reaped by its parent) writes nothing any more.
        return -1 if fields[0] in (b"Z", b"X") else int(fields[19])
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


#: This process's tag, once known, by process id (a forked child makes its own).
_owner: dict[int, str] = {}


def owner_tag() -> str:
    """This process's tag. Reading /proc for it costs a process with threads
    about a millisecond (measured), and a batch names a partial file per
    output and ledger record: it is read once per process."""
    pid = os.getpid()
    tag = _owner.get(pid)
    if tag is None:
        tag = _owner[pid] = f"{pid}-{max(0, start_time(pid))}@{host_tag()}"
    return tag


def part_owner_alive(name: str) -> bool | None:
    """Whether the process that writes partial file `name` is alive: None
    when `name` is no partial file of this package or was written on
    another host (its owner cannot be asked)."""
    match = _PART.match(name)
    if match is None or match["host"] != host_tag():
        return None
    pid, start = int(match["pid"]), int(match["start"])
    now = start_time(pid)
    if now == -1:
        return False
    # The same process id with another start time is a new process.
    return now == 0 or start == 0 or now == start
