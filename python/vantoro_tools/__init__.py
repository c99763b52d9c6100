"""Tools around vantoro's RawFileReader: file facts, conversion to mzML, MGF
and Parquet, batch runs on a process pool or a Dask cluster, and spectrum
plots. Every function takes `str` or `os.PathLike` paths; the `vantoro`
command (`vantoro_tools.cli`) is a thin layer over them. Writers need the
`convert` extra, Dask runs the `dask` extra and plots the `plot` extra."""

from ._deps import MissingDependency
from .check import LayoutError, Verdict, check_layout
from .batch import Outcome, Report, collect_inputs
from .convert import OutputError, OutputExists, convert_file, convert_many, output_paths
from .formats import FORMATS, OutputFormat, WriteOptions
from .info import FileInfo, file_info, format_info, info_many
from .mgf import write_mgf
from .mzml import write_mzml
from .parquet import write_parquet
from .plot import plot_spectrum
from .reading import NotRawFileError, Scan, iter_scans, open_raw, read_peaks

__all__ = [
    "FORMATS", "FileInfo", "LayoutError", "MissingDependency", "NotRawFileError", "Outcome",
    "OutputError", "OutputExists", "OutputFormat", "Report", "Scan", "Verdict", "WriteOptions",
    "check_layout", "collect_inputs", "convert_file", "info_many", "convert_many", "file_info", "format_info", "iter_scans",
    "open_raw", "output_paths", "plot_spectrum", "read_peaks", "write_mgf", "write_mzml",
    "write_parquet",
]
