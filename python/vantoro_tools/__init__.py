"""Tools around vantoro's RawFileReader: file facts, conversion to mzML, MGF
and Parquet, batch runs on a process pool or a Dask cluster, and spectrum
plots. Every function takes `str` or `os.PathLike` paths; the `vantoro`
command (`vantoro_tools.cli`) is a thin layer over them. Writers need the
`convert` extra, Dask runs the `dask` extra and plots the `plot` extra."""

from ._deps import MissingDependency
from .check import LayoutError, Verdict, check_layout
from .convert import Outcome, convert_file, convert_many, expand_inputs, output_paths
from .formats import FORMATS, OutputFormat, WriteOptions
from .info import FileInfo, file_info, format_info
from .mgf import write_mgf
from .mzml import write_mzml
from .parquet import write_parquet
from .plot import plot_spectrum
from .reading import NotRawFileError, Scan, iter_scans, open_raw, read_peaks

__all__ = [
    "FORMATS", "FileInfo", "LayoutError", "MissingDependency", "NotRawFileError", "Outcome",
    "OutputFormat", "Scan", "Verdict", "WriteOptions", "check_layout", "convert_file", "convert_many", "expand_inputs", "file_info", "format_info", "iter_scans",
    "open_raw", "output_paths", "plot_spectrum", "read_peaks", "write_mgf", "write_mzml",
    "write_parquet",
]
