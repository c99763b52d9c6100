"""`file_info` over many inputs, one outcome each."""

from __future__ import annotations

from collections.abc import Callable, Iterable

from ..analyse.info import FileInfo, file_info
from ..base.paths import StrPath
from ..source.raw import describe_failure
from .inputs import collect_inputs
from .outcome import READ, Outcome, failed, refused


def info_many(
    inputs: StrPath | Iterable[StrPath], on_outcome: Callable[[Outcome], None] | None = None
) -> list[FileInfo]:
    """`file_info` of every RAW file that `inputs` names (see
    `collect_inputs`), in order. `on_outcome` hears of each input: read,
    refused by the layout check (its facts are still given) or failed."""
    files, problems = collect_inputs(inputs)
    outcomes = list(problems)
    infos = []
    for path in files:
        try:
            info = file_info(path)
        except Exception as exc:  # reported; the other files go on
            outcomes.append(failed(path, describe_failure(path, exc)))
            continue
        infos.append(info)
        outcomes.append(Outcome(path, status=READ) if info.readable else refused(path, info.layout_check))
    if on_outcome is not None:
        for outcome in outcomes:
            on_outcome(outcome)
    return infos
