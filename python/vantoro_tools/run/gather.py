"""Reading many runs for the QC report, on worker processes when more than one."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

from ..analyse.qc import RunQC, run_qc
from ..source.raw import describe_failure
from .pool import refuse_reentry, run_pool
from .progress import advance, progress_bar


@dataclass(frozen=True)
class Gathered:
    runs: list[RunQC]
    failed: list[tuple[str, str]]  #: (input, why it could not be read)


def run_qc_with_checksum(path: str) -> RunQC:
    return run_qc(path, checksum=True)


def gather(
    paths: Sequence[str],
    *,
    jobs: int = 1,
    progress: bool = False,
    on_failure: Callable[[str, str], None] | None = None,
    checksum: bool = False,
) -> Gathered:
    """`run_qc` for every path (with each file's SHA-256 when `checksum`),
    on `jobs` worker processes when more than one, results in the order of
    `paths`."""
    task = run_qc_with_checksum if checksum else run_qc
    refuse_reentry("gather()")
    results: dict[str, RunQC] = {}
    failed: dict[str, str] = {}
    bar = progress_bar(len(paths), progress, unit="runs", minimum=2)

    def done(path: str, get: Callable[[], RunQC]) -> None:
        try:
            results[path] = get()
        except Exception as exc:  # reported; the other runs go on
            failed[path] = describe_failure(path, exc)
            if on_failure is not None:
                on_failure(path, failed[path])
        advance(bar, len(results) + len(failed), len(paths), "runs")

    try:
        if jobs <= 1 or len(paths) <= 1:
            for path in paths:
                done(path, lambda p=path: task(p))  # type: ignore[misc]
        else:
            run_pool(task, [(p, (p,)) for p in paths], min(jobs, len(paths)), done, preload=[__name__])
    finally:
        if bar is not None:
            bar.close()
    return Gathered([results[p] for p in paths if p in results], [(p, failed[p]) for p in paths if p in failed])
