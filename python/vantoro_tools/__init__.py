"""Tools around vantoro's RawFileReader: file facts, conversion to mzML, MGF
and Parquet, batch runs on a process pool or a Dask cluster, chromatograms,
QC reports and spectrum plots. Every function takes `str` or
`os.PathLike` paths; the `vantoro` command (`vantoro_tools.cli`) is a thin
layer over them. Writers need the `convert` extra, Dask runs the `dask`
extra and plots the `plot` extra.

The package is layered, each layer importing only those below it:
`cli` > `run` > `report` > `write`, `analyse` > `source` > `base`."""

from .analyse.info import FileInfo, file_info, format_info
from .base.deps import MissingDependency
from .report.plot import plot_spectrum
from .run.convert import MeaninglessOptions, convert_file, convert_many, output_paths
from .run.info import info_many
from .run.inputs import collect_inputs
from .run.outcome import Outcome, Tally
from .run.pool import ScriptReentered
from .source.layout import Verdict
from .source.raw import LayoutError, NotRawFileError, open_raw
from .source.scans import Scan, check_layout, iter_scans, open_source, read_peaks
from .write.formats import WriteOptions
from .write.mgf import write_mgf
from .write.mzml.writer import write_mzml
from .write.output import OutputBusy, OutputError, OutputExists
from .write.parquet import write_parquet
from .write.registry import FORMATS, OutputFormat

__all__ = [
    "FORMATS",
    "FileInfo",
    "LayoutError",
    "MeaninglessOptions",
    "MissingDependency",
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
    "open_raw",
    "open_source",
    "output_paths",
    "plot_spectrum",
    "read_peaks",
    "write_mgf",
    "write_mzml",
    "write_parquet",
]
