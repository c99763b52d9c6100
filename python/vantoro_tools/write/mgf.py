"""RAW to MGF.

MGF holds fragment spectra for search engines: one entry per scan at the
MS levels asked for (MS2 by default) that has a peak list and a finite
precursor m/z other than 0. Scans whose precursor m/z is not finite or
negative are left out and counted in the warnings; those without one (0)
are left out like MS1 scans. A peak whose m/z or intensity is not finite
is left out of its entry, and a retention time whose seconds overflow is
left out of its header; both are counted.

Peaks are formatted many spectra at a time by Arrow's number formatting
(the shortest text that reads back as the same float64 m/z and float32
intensity), a batch on a thread pool while the next is read, and written
once per batch.
"""

from __future__ import annotations

import math
import os
from collections import deque
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING

from ..base.deps import missing
from ..base.paths import StrPath
from ..base.text import CONTROLS
from ..source.scans import PRECURSOR, PRECURSOR_NEGATIVE, PRECURSOR_NOT_FINITE, Scan, ScanSource, open_source
from .formats import MGF_MS_LEVELS, Pending, WriteOptions, Written, submit
from .output import atomic_path, hashed_file

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro convert --to mgf"
#: MS levels written unless others are asked for: fragment spectra.
DEFAULT_MS_LEVELS = MGF_MS_LEVELS
#: Peaks formatted at once (about 4 MB of text; three batches are held at most).
BATCH_PEAKS = 1 << 17


def one_line(text: str) -> str:
    """`text` with every character that could break its line replaced by "_"."""
    return CONTROLS.sub("_", text)


def mgf_header(scan: Scan, stem: str, warn: Callable[[str], None]) -> str | None:
    """The lines of `scan`'s entry before its peaks, or None when the scan
    does not go to MGF (no peak list, or no usable precursor m/z)."""
    if scan.mz is None:
        return None
    kind = scan.precursor
    if kind == PRECURSOR_NOT_FINITE:
        warn("left out of MGF: precursor m/z not finite")
        return None
    if kind == PRECURSOR_NEGATIVE:
        warn("left out of MGF: precursor m/z negative")
        return None
    if kind != PRECURSOR:  # none recorded: left out, as MS1 scans are
        return None
    precursor = scan.monomz
    # The trans-proteomic pipeline's form: stem.first.last.charge
    lines = [f"BEGIN IONS\nTITLE={stem}.{scan.number}.{scan.number}.{scan.charge}\nPEPMASS={precursor!r}\n"]
    seconds = scan.rt * 60.0
    if math.isfinite(seconds):
        lines.append(f"RTINSECONDS={seconds!r}\n")
    elif math.isfinite(scan.rt):
        warn("retention time beyond a double in seconds")
    else:
        warn("retention time not finite")
    if scan.charge > 0:
        lines.append(f"CHARGE={scan.charge}+\n")
    lines.append(f"SCANS={scan.number}\n")
    return "".join(lines)


class PeakText:
    """Peak lists gathered and formatted as "m/z intensity" lines in one go."""

    def __init__(self) -> None:
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        from ..base.arrow import strings, text_pool

        self.np, self.pa, self.pc = np, pa, pc
        self.pool = text_pool()
        # The separators as Arrow scalars taken from an array built from its
        # buffers: pa.scalar(" "), or a str handed to a compute function,
        # imports pandas where it is installed.
        text = strings([" ", "\n", ""])
        self.space, self.newline, self.nothing = text[0], text[1], text[2]
        self.entries: list[tuple[bytes, int]] = []  # header, peaks
        self.mz: list[NDArray[np.float64]] = []
        self.intensity: list[NDArray[np.float32]] = []
        self.peaks = 0

    def add(
        self, header: str, mz: NDArray[np.float64], intensity: NDArray[np.float32], warn: Callable[[str, int], None]
    ) -> None:
        """Adds one entry; its peaks whose m/z or intensity is not finite
        are left out and counted with `warn`."""
        np = self.np
        finite = np.isfinite(intensity)
        finite &= np.isfinite(mz)
        if not finite.all():
            warn("peaks left out of MGF: not finite", int(len(finite) - np.count_nonzero(finite)))
            mz, intensity = mz[finite], intensity[finite]
        self.entries.append((header.encode("utf-8", "replace"), len(mz)))
        self.mz.append(mz)
        self.intensity.append(intensity)
        self.peaks += len(mz)

    def take(self) -> Callable[[], list[bytes | memoryview]]:
        """The entries gathered so far, as a function that formats them
        (Arrow's compute functions release the GIL: it may run on another
        thread); starts a new batch."""
        entries, mz, intensity = self.entries, self.mz, self.intensity
        self.entries, self.mz, self.intensity, self.peaks = [], [], [], 0
        return lambda: self._format(entries, mz, intensity)

    def _format(
        self,
        entries: list[tuple[bytes, int]],
        mz_arrays: list[NDArray[np.float64]],
        intensity_arrays: list[NDArray[np.float32]],
    ) -> list[bytes | memoryview]:
        from ..base.arrow import numeric

        np, pa, pc = self.np, self.pa, self.pc
        if not entries:
            return []
        pool = self.pool
        mz = pc.cast(numeric(np.concatenate(mz_arrays)), pa.string(), memory_pool=pool)
        intensity = pc.cast(numeric(np.concatenate(intensity_arrays)), pa.string(), memory_pool=pool)
        lines = pc.binary_join_element_wise(mz, self.space, intensity, self.newline, self.nothing, memory_pool=pool)
        _, offsets_buffer, data_buffer = lines.buffers()
        offsets = np.frombuffer(offsets_buffer, np.int32, len(lines) + 1, lines.offset * 4)
        data = memoryview(data_buffer)
        parts: list[bytes | memoryview] = []
        line = 0
        for header, count in entries:
            parts += [header, data[offsets[line] : offsets[line + count]], b"END IONS\n\n"]
            line += count
        return parts


def write_mgf(raw: StrPath, dest: StrPath, *, on_scan: Callable[[], None] | None = None) -> int:
    """Writes the MS2 scans of `raw` that have a peak list and a precursor
    m/z to `dest` and returns how many were written. Raises LayoutError
    when the file fails the layout check."""
    return write_mgf_source(open_source(raw, on_scan=on_scan), [os.fspath(dest)], WriteOptions()).spectra


def write_mgf_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans of `source` at the MS levels asked for (MS2 by
    default) that have a peak list and a precursor m/z to `dests[0]`
    (TITLE, PEPMASS, RTINSECONDS, CHARGE, SCANS, then the peaks). The
    TITLE is one line whatever the file's name holds. The file appears
    under its name only when complete, its SHA-256 taken as it is written."""
    try:
        text = PeakText()
    except ImportError as exc:
        raise missing(exc.name or "pyarrow", PURPOSE, "convert") from exc
    levels = options.ms_levels or DEFAULT_MS_LEVELS
    stem = one_line(source.stem)
    written = Written(warnings=source.warnings)
    threads = options.thread_count
    with (
        atomic_path(dests[0]) as tmp,
        # The checksum in the writing thread, even with a core to spare: it
        # mostly waits for the pool's text, and hashes each slice it has just
        # written while it is in its core's cache (the dense file, measured:
        # 4.5 s and 7.8 CPU-s against 5.3 and 9.4 on a thread beside it).
        hashed_file(tmp, beside=False) as fh,
        ThreadPoolExecutor(threads, thread_name_prefix="vantoro-mgf") as executor,
    ):
        # Batches are formatted on the pool while the next is read, and
        # written in order; given one thread, each here as it fills.
        pool = executor if threads > 1 else None
        ahead = 2 if pool is not None else 0
        pending: deque[Pending[list[bytes | memoryview]]] = deque()
        # Every peak list is read, whatever its level: the layout check judges them all.
        for scan in source.scans():
            if scan.ms_level not in levels or scan.mz is None or scan.intensity is None:
                continue
            header = mgf_header(scan, stem, source.warn)
            if header is not None:
                text.add(header, scan.mz, scan.intensity, source.warn)
                written.spectra += 1
                if text.peaks >= BATCH_PEAKS:
                    pending.append(submit(pool, text.take()))
                    if len(pending) > ahead:
                        fh.writelines(pending.popleft().result())
        pending.append(submit(pool, text.take()))
        while pending:
            fh.writelines(pending.popleft().result())
    return written
