"""The progress bar on standard error (tqdm, where installed)."""

from __future__ import annotations

import sys
from typing import Any


def progress_bar(total: int, enabled: bool, *, unit: str = "files", minimum: int = 1) -> Any:
    """A bar over `total` items, or None when not `enabled`, for fewer than
    `minimum` items, or without tqdm. Its description counts the items
    done; it moves only for work that is done."""
    if not enabled or total < minimum:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(
        total=total,
        file=sys.stderr,
        dynamic_ncols=True,
        desc=f"0/{total} {unit}",
        leave=False,
        bar_format="{desc} {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]",
    )


def advance(bar: Any, done: int, total: int, unit: str = "files", *, step: int = 1) -> None:
    """Moves the bar on by `step` items, `done` of `total` now done."""
    if bar is not None:
        bar.set_description_str(f"{done}/{total} {unit}", refresh=False)
        bar.update(float(step))
