"""Gathering the inputs of a command: the files named, and the *.raw files
(and *.mzpeak archives, for the commands that read them) of the
directories named; each input that cannot be used becomes an outcome of
its own."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Sequence

from ..base.paths import StrPath, as_paths, stem
from ..base.urls import is_url
from ..source.mzpeak import SUFFIX as MZPEAK_SUFFIX
from ..source.mzpeak import is_mzpeak
from .outcome import Outcome, failed, refused
from .storage import list_raw

RAW_SUFFIX = ".raw"  # matched without regard to case: run.raw, run.RAW


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def collect_inputs(inputs: StrPath | Iterable[StrPath], *, mzpeak: bool = False) -> tuple[list[str], list[Outcome]]:
    """The RAW files named by `inputs` (one path, or an iterable of paths),
    and an outcome for each input that cannot be used. A file is taken as given (opening it tells whether it
    can be read). A directory gives its entries named *.raw in any case,
    sorted by name; an entry so named that is not a regular file (a
    directory, a FIFO, a broken link) fails on its own line, and so do a
    directory that cannot be listed and one that holds no RAW file. With
    `mzpeak`, mzPeak archives count as RAW files do: a directory named
    *.mzpeak is one archive (unpacked), and a directory's *.mzpeak entries,
    files or folders, are among its inputs."""
    suffixes = (RAW_SUFFIX, MZPEAK_SUFFIX) if mzpeak else (RAW_SUFFIX,)
    files: list[str] = []
    problems: list[Outcome] = []
    for path in as_paths(inputs):
        if is_url(path):
            listed, failures = list_raw(path)
            files += listed
            problems += failures
            continue
        if not os.path.isdir(path) or (mzpeak and is_mzpeak(path)):
            files.append(path)
            continue
        try:
            names = sorted(n for n in os.listdir(path) if n.lower().endswith(suffixes))
        except OSError as exc:
            problems.append(failed(path, f"cannot list the directory: {exc.strerror or exc}"))
            continue
        for name in names:
            entry = os.path.join(path, name)
            try:
                mode = os.stat(entry).st_mode
            except FileNotFoundError:
                problems.append(failed(entry, "broken symbolic link"))
                continue
            except OSError as exc:
                problems.append(failed(entry, f"cannot be read ({exc.strerror or exc})"))
                continue
            if stat.S_ISREG(mode) or (mzpeak and stat.S_ISDIR(mode) and is_mzpeak(name)):
                files.append(entry)
            else:
                problems.append(failed(entry, f"{_kind(mode)}, not a RAW file"))
        if not names:
            problems.append(failed(path, "directory holds no .raw files"))
    return files, problems


def unique_stems(files: Sequence[str]) -> tuple[list[str], list[Outcome]]:
    """Each file once; a file whose stem another has already is refused,
    since its outputs would replace the other's."""
    stems: dict[str, str] = {}
    unique: list[str] = []
    problems: list[Outcome] = []
    for path in files:
        name = stem(path)
        if name in stems and os.path.abspath(path) == os.path.abspath(stems[name]):
            continue  # named twice: converted once
        if name in stems:
            problems.append(refused(path, f"same name stem as {stems[name]}; not converted"))
            continue
        stems[name] = path
        unique.append(path)
    return unique, problems
