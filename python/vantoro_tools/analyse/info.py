"""Header facts and file-level lists of RAW files and of the mzPeak
archives converted from them (`vantoro info`).

Quick by default: what opening a file and reading its header gives (format
version, creation date, scan count) and the whole-file layout verdict
(known version, layout marker, size), without reading a peak list or the
logs. `deep` adds what reads the whole file: each peak list (counted, and
each judged by the per-scan layout check), the status-log labels and the
warnings (the error log)."""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ..base.paths import StrPath, as_path
from ..base.text import printable
from ..source.layout import Verdict, judge_file
from ..source.mzpeak import RAW_SCANS, RAW_VERSION, is_mzpeak, open_mzpeak, source_parameter
from ..source.raw import open_raw
from ..source.scans import RECORD, ScanSource


@dataclass(frozen=True)
class FileInfo:
    path: str
    version: int
    #: seconds since 1970 (UTC), as text, as the reader gives it
    creation_date: str
    num_scans: int
    #: scans whose peak list the reader finds; None when not read (quick)
    scans_with_peaks: int | None = None
    #: None when not read (quick)
    status_log_labels: list[str] | None = None
    #: the error log's entries; None when not read (quick)
    warnings: list[str] | None = None
    #: the layout check's verdict: "ok", or why vantoro cannot read the file
    #: meaningfully; quick, the whole-file part of the check alone
    layout_check: str = "ok"
    #: whether the file passed the layout check
    layout_ok: bool = True

    @property
    def readable(self) -> bool:
        return self.layout_ok

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


def _verdict(verdict: Verdict) -> dict[str, Any]:
    return {"layout_check": str(verdict), "layout_ok": verdict.ok}


def file_info(path: StrPath, *, path_text: str | None = None, deep: bool = False) -> FileInfo:
    """Header facts and the whole-file layout verdict of a RAW file; with
    `deep` also its peak-list count, the layout check of each scan that has
    a peak list, its status-log labels and warnings. Needs no NumPy. Raises
    like `RawFileReader`, and NotRawFileError for a file of another format
    version. Deep, each peak list is decoded once, for the count and the
    check together. An mzPeak archive (see `mzpeak_info`) is read as well."""
    if is_mzpeak(path):
        return mzpeak_info(path, deep=deep)
    if not deep:
        file = as_path(path)
        reader = open_raw(file)
        version = int(reader.version)
        return FileInfo(
            path=file,
            version=version,
            creation_date=str(reader.creation_date),
            num_scans=int(reader.num_scans),
            **_verdict(judge_file(file if path_text is None else path_text, version, os.path.getsize(file))),
        )
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
        **_verdict(source.verdict),
    )


def mzpeak_info(path: StrPath, *, deep: bool = False) -> FileInfo:
    """The facts of the RAW file an mzPeak archive was converted from, as
    the archive keeps them (format version, creation date, scan count);
    `deep` also counts its spectra (the scans with a peak list) and reads
    every peak list back, the layout check failing where an archive holds
    other peaks than its metadata says. The RAW file's logs are not kept.
    Raises NotMzPeakError when `path` holds no mzPeak index."""
    with open_mzpeak(path) as archive:
        start = (archive.metadata.get("run") or {}).get("start_time")
        try:
            created = str(int(dt.datetime.strptime(str(start), "%Y-%m-%dT%H:%M:%S%z").timestamp()))
        except ValueError:
            created = ""
        version, scans = source_parameter(archive, RAW_VERSION), source_parameter(archive, RAW_SCANS)
        spectra = len(archive)
        with_peaks, verdict = None, "ok"
        if deep:
            with_peaks = 0
            for spectrum in archive:
                with_peaks += 1
                if len(spectrum["mz"]) != spectrum.get("number_of_peaks"):
                    verdict = (
                        f"spectrum {spectrum['id']} holds {len(spectrum['mz'])} peaks, its metadata says otherwise"
                    )
        return FileInfo(
            path=as_path(path),
            version=version if isinstance(version, int) else 0,
            creation_date=created,
            num_scans=scans if isinstance(scans, int) else spectra,
            scans_with_peaks=with_peaks,
            layout_check=verdict,
            layout_ok=verdict == "ok",
        )


def _count(value: int | list[str] | None) -> str:
    if value is None:
        return "-"
    return str(value if isinstance(value, int) else len(value))


def format_info(infos: Sequence[FileInfo], width: int = 100) -> str:
    """A table of the files' facts, then each file's labels and warnings.
    The peak-list, label and warning columns are left out where no file had
    them read (quick); a file without them among others that have them
    shows "-"."""
    deep = {
        "PEAK LISTS": any(i.scans_with_peaks is not None for i in infos),
        "LABELS": any(i.status_log_labels is not None for i in infos),
        "WARNINGS": any(i.warnings is not None for i in infos),
    }
    head = ("FILE", "VERSION", "CREATED (UTC)", "SCANS", *(k for k, shown in deep.items() if shown), "LAYOUT CHECK")
    rows = [head]
    for i in infos:
        created = i.created
        read = {"PEAK LISTS": i.scans_with_peaks, "LABELS": i.status_log_labels, "WARNINGS": i.warnings}
        rows.append(
            (
                printable(os.path.basename(i.path)),
                str(i.version),
                created.strftime("%Y-%m-%d %H:%M:%S") if created else i.creation_date,
                str(i.num_scans),
                *(_count(read[k]) for k, shown in deep.items() if shown),
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
    import textwrap  # only deep infos have labels or warnings to wrap; quick ones need not import it

    for i in infos:
        if not (i.status_log_labels or i.warnings):
            continue
        lines += ["", printable(os.path.basename(i.path))]
        for title, items in (("status-log labels", i.status_log_labels or []), ("warnings", i.warnings or [])):
            if items:
                lines += textwrap.wrap(
                    f"{title}: " + "; ".join(map(printable, items)),
                    width,
                    initial_indent="  ",
                    subsequent_indent="    ",
                )
    return "\n".join(lines)
