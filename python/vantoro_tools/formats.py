"""The output formats: for each, where it writes, what it needs, and its writer.

Everything that knows which formats exist reads this table: `convert`, the
command line and its help, the dependency check and the process pool's
preloaded modules.
"""

from __future__ import annotations

import importlib
import os
import sys
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from ._deps import missing

if TYPE_CHECKING:
    from .reading import ScanSource


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
Writer = Callable[["ScanSource", Sequence[str], WriteOptions], Written]


@dataclass(frozen=True)
class OutputFormat:
    name: str
    summary: str  #: one line for the command's help and the docs
    #: output paths relative to the output directory, "{stem}" standing for the input's stem
    outputs: tuple[str, ...]
    #: packages the writer imports (looked up before any work, named when missing)
    packages: tuple[str, ...]
    #: modules a worker process imports once before its first file
    preload: tuple[str, ...]
    extra: str
    writer: str  #: "module:function" in this package, imported when first used
    ms_levels: frozenset[int] | None = None  #: default MS levels; None: all

    def paths(self, raw: str | os.PathLike[str], out_dir: str | os.PathLike[str]) -> list[str]:
        stem = os.path.splitext(os.path.basename(os.fspath(raw)))[0]
        return [os.path.join(os.fspath(out_dir), p.format(stem=stem)) for p in self.outputs]

    def check_packages(self) -> None:
        """Raises MissingDependency naming the first package that is not
        installed. Looks them up without importing them: with a pool or a
        cluster, this process converts nothing."""
        import importlib.util

        for package in self.packages:
            if sys.modules.get(package, ...) is None or importlib.util.find_spec(package) is None:
                raise missing(package, f"vantoro convert --to {self.name}", self.extra)

    def write(self, source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
        module, function = self.writer.split(":")
        write: Writer = getattr(importlib.import_module(f"{__package__}.{module}"), function)
        return write(source, dests, options)


FORMATS: dict[str, OutputFormat] = {f.name: f for f in [
    OutputFormat(
        "mzml", "indexed mzML, every scan with a peak list (PSI-MS terms)",
        outputs=("{stem}.mzML",), packages=("numpy", "psims", "isal", "pybase64"),
        preload=("numpy", "isal.isal_zlib", "pybase64", "vantoro_tools.mzml_terms"), extra="convert",
        writer="mzml:write_mzml_source"),
    OutputFormat(
        "mgf", "MGF for search engines: MS2 scans with a precursor m/z",
        outputs=("{stem}.mgf",), packages=("numpy", "pyarrow"),
        preload=("numpy", "pyarrow.compute"), extra="convert", writer="mgf:write_mgf_source",
        ms_levels=frozenset({2})),
    OutputFormat(
        "parquet", "Parquet tables: DIR/scans (one row per scan) and DIR/peaks (one row per peak)",
        outputs=("scans/{stem}.parquet", "peaks/{stem}.parquet"), packages=("numpy", "pyarrow"),
        preload=("numpy", "pyarrow.parquet"), extra="convert",
        writer="parquet:write_parquet_source"),
]}


def output_format(name: str) -> OutputFormat:
    try:
        return FORMATS[name]
    except KeyError:
        raise ValueError(f"unknown output format {name!r}; choose one of {', '.join(FORMATS)}") from None
