"""What every writer shares: the options it may be asked, what it reports
back, and the shape of a writer."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from ..base.cores import available_cores
from ..source.scans import ScanSource

#: How mzML may store its binary arrays.
COMPRESSIONS = ("zlib", "numpress", "none")


@dataclass(frozen=True)
class WriteOptions:
    """What a writer may be asked beyond its input and outputs."""

    #: MS levels written; None: the format's default (`OutputFormat.ms_levels`).
    ms_levels: frozenset[int] | None = None
    #: mzML binary arrays: "zlib", "numpress" or "none".
    compression: str = "zlib"
    #: Threads the writer keeps busy: 1 does all the work in the calling
    #: thread; None, one per core this process may use. The output's bytes
    #: do not depend on it.
    threads: int | None = None

    def __post_init__(self) -> None:
        t = self.threads
        if t is not None and (isinstance(t, bool) or not isinstance(t, int) or t < 1):
            raise ValueError(f"threads must be a whole number of at least 1, not {t!r}")

    @property
    def thread_count(self) -> int:
        """`threads`, with None resolved to the cores this process may use."""
        return self.threads if self.threads is not None else available_cores()


@dataclass
class Written:
    """What a writer wrote: the spectra (or scans) and, by kind, the values
    it left out because they were not finite or otherwise unusable."""

    spectra: int = 0
    warnings: Counter[str] = field(default_factory=Counter)


#: writer(source, output paths, options) -> Written
Writer = Callable[[ScanSource, Sequence[str], WriteOptions], Written]
