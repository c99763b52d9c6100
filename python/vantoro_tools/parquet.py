"""RAW to two Parquet tables, written with pyarrow.

The scans table has one row per scan: the `list_spectra()` columns, the
number of peaks of the scan's peak list (0 when it has none) and one typed
column per trailer field, named as the trailer names it. The peaks table
has one row per peak: scan number, m/z (float64) and intensity (float32).
Both start with a `file` column holding the RAW file's name, so the files
of a folder converted into one directory read as one dataset.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from ._deps import missing
from .atomic import atomic_path
from .formats import WriteOptions, Written
from .reading import ScanSource, StrPath

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro convert --to parquet"

SCAN_COLUMNS = [("file", "string"), ("scan_number", "uint32"), ("rt", "float64"),
                ("injection_time", "float64"), ("master_scan", "int64"), ("charge", "int64"),
                ("monomz", "float64"), ("peak_count", "int64")]
# Every field get_trailer_extra may answer, in its order, with its type: a
# column is there (null where a scan lacks the field) whatever the file
# holds, so the tables of many files share one schema.
TRAILER_COLUMNS = [
    ("Ion Injection Time (ms)", "float64"), ("Master Scan Number", "int64"),
    ("Charge State", "int64"), ("Monoisotopic M/Z", "float64"), ("Precursor Mass", "float64"),
    ("Elapsed Scan Time (sec)", "float64"), ("Orbitrap Resolution", "int64"), ("MS Order", "int64"),
    ("HCD Energy eV", "string"), ("Activation Type", "string"), ("Collision Energy", "float64"),
    ("Isolation Width", "float64"), ("AGC", "string"),
]
PEAK_COLUMNS = [("file", "string"), ("scan_number", "uint32"), ("mz", "float64"),
                ("intensity", "float32")]
#: Peaks gathered before a row group of the peaks table is written.
ROW_GROUP_PEAKS = 1 << 20


def write_parquet(raw: StrPath, scans_dest: StrPath, peaks_dest: StrPath, *,
                  on_scan: Callable[[], None] | None = None) -> int:
    """Writes the scans table of `raw` to `scans_dest` and its peaks table
    to `peaks_dest`; returns the scans written. Raises LayoutError when the
    file fails the layout check."""
    return write_parquet_source(ScanSource(raw, on_scan=on_scan),
                                [os.fspath(scans_dest), os.fspath(peaks_dest)], WriteOptions()).spectra


def write_parquet_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans table of `source` to `dests[0]` and its peaks
    table to `dests[1]`. Peak lists are read scan by scan and written in
    row groups of about a million peaks. Each file appears under its name
    only when complete."""
    try:
        import numpy as np
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise missing(exc.name or "pyarrow", PURPOSE, "convert") from exc

    def schema(columns: list[tuple[str, str]]) -> Any:
        return pa.schema([(col, getattr(pa, kind)()) for col, kind in columns])

    name = source.name
    scans_dest, peaks_dest = dests
    levels = options.ms_levels
    # Written without the arrow schema or pandas metadata: plain Parquet
    # types, and bytes that depend on the data only.
    plain: dict[str, Any] = {"store_schema": False}
    # In memory the file name is one dictionary entry, not a string per
    # peak; in the file it is a plain string column.
    peak_schema = schema(PEAK_COLUMNS).set(0, pa.field("file", pa.dictionary(pa.int32(), pa.string())))
    file_dictionary = pa.array([name], pa.string())

    rows: dict[str, list[Any]] = {col: [] for col, _ in SCAN_COLUMNS + TRAILER_COLUMNS}
    pending: list[tuple[int, NDArray[np.float64], NDArray[np.float32]]] = []

    def flush(writer: Any) -> None:
        if not pending:
            return
        lengths = [len(mz) for _, mz, _ in pending]
        n = sum(lengths)
        table = pa.table([
            pa.DictionaryArray.from_arrays(pa.array(np.zeros(n, np.int32)), file_dictionary),
            pa.array(np.repeat(np.array([s for s, _, _ in pending], np.uint32), lengths)),
            pa.array(np.concatenate([mz for _, mz, _ in pending])),
            pa.array(np.concatenate([i for _, _, i in pending])),
        ], schema=peak_schema)
        writer.write_table(table, row_group_size=n)
        pending.clear()

    with atomic_path(peaks_dest) as peaks_tmp, atomic_path(scans_dest) as scans_tmp:
        # Dictionary encoding only where values repeat: m/z and intensity
        # would fill a dictionary and fall back from it.
        with pq.ParquetWriter(peaks_tmp, peak_schema, use_dictionary=["file", "scan_number"],
                              **plain) as writer:
            for scan in source.scans():
                if levels is not None and scan.ms_level not in levels:
                    continue
                count = 0
                if scan.mz is not None and scan.intensity is not None:
                    count = len(scan.mz)
                    pending.append((scan.number, scan.mz, scan.intensity))
                    if sum(len(mz) for _, mz, _ in pending) >= ROW_GROUP_PEAKS:
                        flush(writer)
                for col, value in (("file", name), ("scan_number", scan.number), ("rt", scan.rt),
                                   ("injection_time", scan.injection_time),
                                   ("master_scan", scan.master_scan), ("charge", scan.charge),
                                   ("monomz", scan.monomz), ("peak_count", count)):
                    rows[col].append(value)
                for col, _ in TRAILER_COLUMNS:
                    rows[col].append(scan.trailer.get(col))
            flush(writer)
        scan_schema = schema(SCAN_COLUMNS + TRAILER_COLUMNS)
        table = pa.table([pa.array(rows[f.name], f.type) for f in scan_schema], schema=scan_schema)
        pq.write_table(table, scans_tmp, **plain)
    return Written(len(rows["file"]), source.warnings)
