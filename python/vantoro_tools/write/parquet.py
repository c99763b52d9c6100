"""RAW to two Parquet tables, written with pyarrow.

The scans table has one row per scan: the `list_spectra()` columns, the
number of peaks of the scan's peak list (0 when it has none) and one typed
column per trailer field, named as the trailer names it. The peaks table
has one row per peak: scan number, m/z (float64) and intensity (float32).
Both start with a `file` column holding the RAW file's name, so the files
of a folder converted into one directory read as one dataset.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

from ..base.deps import missing
from ..base.paths import StrPath
from ..source.scans import TRAILER_KEYS, ScanSource, open_source
from .formats import WriteOptions, Written
from .output import atomic_path, hashed_file

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

PURPOSE = "vantoro convert --to parquet"

SCAN_COLUMNS = [
    ("file", "string"),
    ("scan_number", "uint32"),
    ("rt", "float64"),
    ("injection_time", "float64"),
    ("master_scan", "int64"),
    ("charge", "int64"),
    ("monomz", "float64"),
    ("peak_count", "int64"),
]
# Every field get_trailer_extra may answer, in its order, with its type: a
# column is there (null where a scan lacks the field) whatever the file
# holds, so the tables of many files share one schema.
TRAILER_COLUMNS = [(key, {int: "int64", float: "float64", str: "string"}[kind]) for key, kind in TRAILER_KEYS.items()]
#: Peaks gathered before a row group of the peaks table is written.
ROW_GROUP_PEAKS = 1 << 20
#: Bytes of Parquet's small writes gathered before they go to the file
#: (pages as large pass straight through).
WRITE_BUFFER = 1 << 18


def write_parquet(
    raw: StrPath, scans_dest: StrPath, peaks_dest: StrPath, *, on_scan: Callable[[], None] | None = None
) -> int:
    """Writes the scans table of `raw` to `scans_dest` and its peaks table
    to `peaks_dest`; returns the scans written. Raises LayoutError when the
    file fails the layout check."""
    return write_parquet_source(
        open_source(raw, on_scan=on_scan), [os.fspath(scans_dest), os.fspath(peaks_dest)], WriteOptions()
    ).spectra


def write_parquet_source(source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
    """Writes the scans table of `source` to `dests[0]` and its peaks
    table to `dests[1]` (the scans at the MS levels asked for; all by
    default). Peak lists are read scan by scan and written in row groups
    of about a million peaks, straight from their arrays. Each file
    appears under its name only when complete, its SHA-256 taken as it
    is written."""
    try:
        import numpy as np
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError as exc:
        raise missing(exc.name or "pyarrow", PURPOSE, "convert") from exc
    from ..base.arrow import buffered_sink, numeric, strings, writer_pool

    def column(values: Sequence[Any], kind: str) -> Any:
        if kind == "string":
            return strings([v if isinstance(v, str) else None for v in values])
        if None not in values:
            return numeric(np.array(values, kind))
        valid = np.array([v is not None for v in values], np.bool_)
        return numeric(np.array([0 if v is None else v for v in values], kind), valid)

    name = source.name
    scans_dest, peaks_dest = dests
    levels = options.ms_levels
    # Written without the arrow schema or pandas metadata: plain Parquet
    # types, and bytes that depend on the data only.
    plain: dict[str, Any] = {"store_schema": False, "memory_pool": writer_pool()}
    # The file name is one dictionary entry, in memory and in the file.
    file_type = pa.dictionary(pa.int32(), pa.string())
    peak_schema = pa.schema(
        [("file", file_type), ("scan_number", pa.uint32()), ("mz", pa.float64()), ("intensity", pa.float32())]
    )
    file_dictionary = strings([name])

    # Per scan, a tuple of its values (SCAN_COLUMNS' order, less `file`) and
    # one of its trailer fields (TRAILER_KEYS' order), made into columns at the end.
    scan_rows: list[tuple[Any, ...]] = []
    trailer_rows: list[tuple[Any, ...]] = []
    pending: list[tuple[int, NDArray[np.float64], NDArray[np.float32]]] = []
    pending_peaks = 0

    def flush(writer: Any) -> None:
        nonlocal pending_peaks
        if not pending:
            return
        lengths = [len(mz) for _, mz, _ in pending]
        n = sum(lengths)
        table = pa.Table.from_arrays(
            [
                pa.DictionaryArray.from_arrays(numeric(np.zeros(n, np.int32)), file_dictionary),
                numeric(np.repeat(np.array([s for s, _, _ in pending], np.uint32), lengths)),
                numeric(np.concatenate([mz for _, mz, _ in pending])),
                numeric(np.concatenate([i for _, _, i in pending])),
            ],
            schema=peak_schema,
        )
        writer.write_table(table, row_group_size=n)
        pending.clear()
        pending_peaks = 0

    @contextlib.contextmanager
    def hashed_sink(tmp: str) -> Iterator[Any]:
        # Parquet's small writes gathered in Arrow's buffer, then hashed on
        # their way to the file (the output layer's `hashed_file`).
        with (
            hashed_file(tmp, buffering=0, beside=options.thread_count > 1) as f,
            buffered_sink(f, WRITE_BUFFER) as sink,
        ):
            yield sink

    with atomic_path(peaks_dest) as peaks_tmp, atomic_path(scans_dest) as scans_tmp:
        # Dictionary encoding where values repeat; m/z and intensity split
        # into byte streams, which compress better than whole floats.
        with (
            hashed_sink(peaks_tmp) as peaks_sink,
            pq.ParquetWriter(
                peaks_sink,
                peak_schema,
                use_dictionary=["file", "scan_number"],
                column_encoding={"mz": "BYTE_STREAM_SPLIT", "intensity": "BYTE_STREAM_SPLIT"},
                **plain,
            ) as writer,
        ):
            for scan in source.scans():
                if levels is not None and scan.ms_level not in levels:
                    continue
                count = 0
                if scan.mz is not None and scan.intensity is not None:
                    count = len(scan.mz)
                    pending.append((scan.number, scan.mz, scan.intensity))
                    pending_peaks += count
                    if pending_peaks >= ROW_GROUP_PEAKS:
                        flush(writer)
                scan_rows.append(
                    (scan.number, scan.rt, scan.injection_time, scan.master_scan, scan.charge, scan.monomz, count)
                )
                trailer_rows.append(tuple(map(scan.trailer.get, TRAILER_KEYS)))
            flush(writer)
        n = len(scan_rows)
        columns = SCAN_COLUMNS + TRAILER_COLUMNS
        values = [
            [name] * n,
            *_transposed(scan_rows, len(SCAN_COLUMNS) - 1),
            *_transposed(trailer_rows, len(TRAILER_COLUMNS)),
        ]
        arrays = [column(v, kind) for v, (_, kind) in zip(values, columns, strict=True)]
        table = pa.Table.from_arrays(arrays, names=[col for col, _ in columns])
        with (
            hashed_sink(scans_tmp) as scans_sink,
            pq.ParquetWriter(scans_sink, table.schema, use_dictionary=["file"], **plain) as writer,
        ):
            writer.write_table(table)
    return Written(n, source.warnings)


def _transposed(rows: list[tuple[Any, ...]], width: int) -> list[tuple[Any, ...]]:
    """The columns of `rows`, each `width` values wide."""
    return list(zip(*rows)) if rows else [()] * width
