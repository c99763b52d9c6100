"""How many cores this process may run on."""

from __future__ import annotations

import os


def available_cores() -> int:
    """The cores this process may run on (its affinity where the system says it)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
