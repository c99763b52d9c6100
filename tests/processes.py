"""Watching the processes a command starts, through /proc (Linux)."""

import os
import signal
import subprocess
import time


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    ppid = int(f.read().rsplit(b")", 1)[1].split()[1])
            except (OSError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except OSError:
        return False


def gone_within(pids, seconds):
    deadline = time.monotonic() + seconds
    while any(alive(p) for p in pids):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def default_sigint():
    """For Popen's preexec_fn: the child takes SIGINT as a terminal's Ctrl-C
    would reach it, even when this process was started with SIGINT ignored
    (as a shell does for background jobs); Python then keeps it ignored."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Processes:
    """Processes started for one test, each in a session of its own, all
    killed with their process groups at the end."""

    def __init__(self):
        self.started = []

    def start(self, argv, **kwargs):
        p = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self.started.append(p)
        return p

    def stop(self):
        for p in self.started:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for p in self.started:
            p.wait(timeout=10)
