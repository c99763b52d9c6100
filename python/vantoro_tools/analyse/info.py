"""Header facts and file-level lists of RAW files (`vantoro info`)."""

from __future__ import annotations

import datetime as dt
import os
import textwrap
from collections.abc import Sequence
from dataclasses import dataclass

from ..base.paths import StrPath
from ..base.text import printable
from ..source.scans import RECORD, ScanSource


@dataclass(frozen=True)
class FileInfo:
    path: str
    version: int
    #: seconds since 1970 (UTC), as text, as the reader gives it
    creation_date: str
    num_scans: int
    #: scans whose peak list the reader finds
    scans_with_peaks: int
    status_log_labels: list[str]
    warnings: list[str]
    #: the layout check's verdict: "ok", or why vantoro cannot read the file meaningfully
    layout_check: str = "ok"

    @property
    def readable(self) -> bool:
        return self.layout_check == "ok"

    @property
    def created(self) -> dt.datetime | None:
        """The creation time, or None when it is outside what datetime holds."""
        try:
            return dt.datetime.fromtimestamp(int(self.creation_date), dt.timezone.utc)
        except (ValueError, OverflowError, OSError):
            return None

    def as_dict(self) -> dict[str, object]:
        created = self.created
        return {
            "file": self.path,
            "version": self.version,
            "creation_date": self.creation_date,
            "created_utc": created.strftime("%Y-%m-%dT%H:%M:%SZ") if created else None,
            "layout_check": self.layout_check,
            "num_scans": self.num_scans,
            "scans_with_peaks": self.scans_with_peaks,
            "status_log_labels": self.status_log_labels,
            "warnings": self.warnings,
        }


def file_info(path: StrPath, *, path_text: str | None = None) -> FileInfo:
    """Header facts, layout check, peak-list count, status-log labels and
    warnings of a RAW file. Needs no NumPy. Raises like `RawFileReader`.
    Each peak list is decoded once, for the count and the check together.
    Raises NotRawFileError for a file of another format version."""
    source = ScanSource(path, on_failure=RECORD, path_text=path_text)
    reader = source.reader
    with_peaks = sum(1 for scan in source.scans() if scan.has_peaks)
    return FileInfo(
        path=source.path,
        version=int(reader.version),
        creation_date=str(reader.creation_date),
        num_scans=int(reader.num_scans),
        scans_with_peaks=with_peaks,
        status_log_labels=[str(s) for s in reader.get_status_log_labels()],
        warnings=[str(s) for s in reader.get_error_logs()],
        layout_check=str(source.verdict),
    )


def format_info(infos: Sequence[FileInfo], width: int = 100) -> str:
    """A table of the files' facts, then each file's labels and warnings."""
    head = ("FILE", "VERSION", "CREATED (UTC)", "SCANS", "PEAK LISTS", "LABELS", "WARNINGS", "LAYOUT CHECK")
    rows = [head]
    for i in infos:
        created = i.created
        rows.append(
            (
                printable(os.path.basename(i.path)),
                str(i.version),
                created.strftime("%Y-%m-%d %H:%M:%S") if created else i.creation_date,
                str(i.num_scans),
                str(i.scans_with_peaks),
                str(len(i.status_log_labels)),
                str(len(i.warnings)),
                i.layout_check,
            )
        )
    widths = [max(len(r[c]) for r in rows) for c in range(len(head))]
    lines = [
        "  ".join(
            cell.ljust(w) if c < 3 or c == len(head) - 1 else cell.rjust(w)
            for c, (cell, w) in enumerate(zip(r, widths))
        ).rstrip()
        for r in rows
    ]
    for i in infos:
        if not (i.status_log_labels or i.warnings):
            continue
        lines += ["", printable(os.path.basename(i.path))]
        for title, items in (("status-log labels", i.status_log_labels), ("warnings", i.warnings)):
            if items:
                lines += textwrap.wrap(
                    f"{title}: " + "; ".join(map(printable, items)),
                    width,
                    initial_indent="  ",
                    subsequent_indent="    ",
                )
    return "\n".join(lines)
