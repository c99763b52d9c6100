"""Tools around vantoro's RawFileReader: file facts, conversion to mzML, MGF
and Parquet, batch runs on a process pool or a Dask cluster, chromatograms,
QC reports and spectrum plots. Every function takes `str` or
`os.PathLike` paths; the `vantoro` command (`vantoro_tools.cli`) is a thin
layer over them. Writers need the `convert` extra, Dask runs the `dask`
extra and plots the `plot` extra.

The package is layered, each layer importing only those below it:
`cli` > `run` > `report` > `write`, `analyse` > `source` > `base`.

The names below are imported when first used, so that `import
vantoro_tools` (and the `vantoro` command, which starts with it) costs
only what the caller uses."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .analyse.info import FileInfo, file_info, format_info
    from .base.deps import MissingDependency
    from .report.plot import plot_spectrum
    from .run.convert import convert_file, convert_many, output_paths
    from .run.errors import MeaninglessOptions
    from .run.info import info_many
    from .run.inputs import collect_inputs
    from .run.outcome import Outcome, Tally
    from .run.pool import ScriptReentered
    from .source.layout import Verdict
    from .source.mzpeak import MzPeakArchive, NotMzPeakError, open_mzpeak
    from .source.raw import LayoutError, NotRawFileError, open_raw
    from .source.scans import Scan, check_layout, iter_scans, open_source, read_peaks
    from .write.errors import OutputBusy, OutputError, OutputExists
    from .write.formats import WriteOptions
    from .write.mgf import write_mgf
    from .write.mzml.writer import write_mzml
    from .write.mzpeak import write_mzpeak
    from .write.parquet import write_parquet
    from .write.registry import FORMATS, OutputFormat

#: Each public name and the module (relative to this package) that defines it.
_WHERE = {
    "FORMATS": ".write.registry",
    "FileInfo": ".analyse.info",
    "LayoutError": ".source.raw",
    "MeaninglessOptions": ".run.errors",
    "MissingDependency": ".base.deps",
    "MzPeakArchive": ".source.mzpeak",
    "NotMzPeakError": ".source.mzpeak",
    "NotRawFileError": ".source.raw",
    "Outcome": ".run.outcome",
    "OutputBusy": ".write.errors",
    "OutputError": ".write.errors",
    "OutputExists": ".write.errors",
    "OutputFormat": ".write.registry",
    "Scan": ".source.scans",
    "ScriptReentered": ".run.pool",
    "Tally": ".run.outcome",
    "Verdict": ".source.layout",
    "WriteOptions": ".write.formats",
    "check_layout": ".source.scans",
    "collect_inputs": ".run.inputs",
    "convert_file": ".run.convert",
    "convert_many": ".run.convert",
    "file_info": ".analyse.info",
    "format_info": ".analyse.info",
    "info_many": ".run.info",
    "iter_scans": ".source.scans",
    "open_mzpeak": ".source.mzpeak",
    "open_raw": ".source.raw",
    "open_source": ".source.scans",
    "output_paths": ".run.convert",
    "plot_spectrum": ".report.plot",
    "read_peaks": ".source.scans",
    "write_mgf": ".write.mgf",
    "write_mzpeak": ".write.mzpeak",
    "write_mzml": ".write.mzml.writer",
    "write_parquet": ".write.parquet",
}

__all__ = [
    "FORMATS",
    "FileInfo",
    "LayoutError",
    "MeaninglessOptions",
    "MissingDependency",
    "MzPeakArchive",
    "NotMzPeakError",
    "NotRawFileError",
    "Outcome",
    "OutputBusy",
    "OutputError",
    "OutputExists",
    "OutputFormat",
    "Scan",
    "ScriptReentered",
    "Tally",
    "Verdict",
    "WriteOptions",
    "check_layout",
    "collect_inputs",
    "convert_file",
    "convert_many",
    "file_info",
    "format_info",
    "info_many",
    "iter_scans",
    "open_mzpeak",
    "open_raw",
    "open_source",
    "output_paths",
    "plot_spectrum",
    "read_peaks",
    "write_mgf",
    "write_mzml",
    "write_mzpeak",
    "write_parquet",
]


def __getattr__(name: str) -> Any:
    """A public name, imported from its module the first time it is asked for."""
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(where, __name__), name)
    globals()[name] = value  # later uses find it directly
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
