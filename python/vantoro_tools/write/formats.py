"""What every writer shares: the options it may be asked, what it reports
back, and the shape of a writer."""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

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


@dataclass
class Written:
    """What a writer wrote: the spectra (or scans) and, by kind, the values
    it left out because they were not finite or otherwise unusable."""

    spectra: int = 0
    warnings: Counter[str] = field(default_factory=Counter)


#: writer(source, output paths, options) -> Written
Writer = Callable[[ScanSource, Sequence[str], WriteOptions], Written]
