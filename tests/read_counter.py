"""Count of the bytes this process reads, from /proc/self/io."""

import os

AVAILABLE = os.path.exists("/proc/self/io")

# The counter covers every read of the process, not only the reader's. On
# its own the interpreter reads nothing during these calls, but a tool that
# runs inside the process adds reads of its own: valgrind, whose thread lock
# is a pipe, reads one byte per system call (about 110 bytes for a call that
# makes 70 reads). Exact counts are therefore checked as
#     expected <= read <= expected + NOISE
# with a margin that covers such a tool and stays below the smallest
# difference the checks tell apart (140 bytes of a trailer record against
# the whole 558-byte record).
NOISE = 256


def rchar():
    """The read-byte counter, and the bytes this reading itself adds to it
    (the value is taken before the read is counted)."""
    fd = os.open("/proc/self/io", os.O_RDONLY)
    try:
        text = os.read(fd, 4096)
    finally:
        os.close(fd)
    line = next(l for l in text.split(b"\n") if l.startswith(b"rchar"))
    return int(line.split()[1]), len(text)


def bytes_read(fn):
    """fn's result and the number of bytes the process read while running it."""
    before, cost = rchar()
    result = fn()
    after, _ = rchar()
    return result, after - before - cost
