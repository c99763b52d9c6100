"""The output formats: for each, where it writes, what it needs, and its writer.

Everything that knows which formats exist reads this table: `convert`, the
command line and its help, the dependency check and the process pool's
preloaded modules. A writer is named, not imported, here: a command and
each of its workers import only the writer of the format they write (the
four writers' modules cost some 50 ms to import, measured).
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, replace
from functools import cache

from ..base.deps import missing
from ..base.paths import StrPath, stem
from ..source.mzpeak import MEMBERS
from ..source.scans import ScanSource
from .formats import COMPRESSIONS, MGF_MS_LEVELS, MZPEAK_CODECS, WriteOptions, Writer, Written


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
    #: "module:function" of this package: writer(source, output paths, options) -> Written
    writer: str
    ms_levels: frozenset[int] | None = None  #: default MS levels; None: all
    #: holds fragment spectra only: MS levels below 2 alone would write nothing
    fragments_only: bool = False
    #: what `--compression` may name for it, and its default
    compressions: tuple[str, ...] = COMPRESSIONS
    default_compression: str = "zlib"
    #: the format this one writes in another form (chosen by an option of
    #: its own, not by name)
    form_of: str | None = None

    def paths(self, raw: StrPath, out_dir: StrPath) -> list[str]:
        return [os.path.join(os.fspath(out_dir), p.format(stem=stem(raw))) for p in self.outputs]

    def check_packages(self) -> None:
        """Raises MissingDependency naming the first package that is not
        installed. Looks them up without importing them: with a pool or a
        cluster, this process converts nothing."""
        for package in self.packages:
            if sys.modules.get(package, ...) is None or importlib.util.find_spec(package) is None:
                raise missing(package, f"vantoro convert --to {self.name}", self.extra)

    def write(self, source: ScanSource, dests: Sequence[str], options: WriteOptions) -> Written:
        if options.compression is None:
            options = replace(options, compression=self.default_compression)
        return _writer(self.writer)(source, dests, options)

    @property
    def writer_module(self) -> str:
        return f"{__package__}.{self.writer.partition(':')[0]}"


@cache
def _writer(name: str) -> Writer:
    module, _, function = name.partition(":")
    found: Writer = getattr(importlib.import_module(f"{__package__}.{module}"), function)
    return found


FORMATS: dict[str, OutputFormat] = {
    f.name: f
    for f in [
        OutputFormat(
            "mzml",
            "indexed mzML, every scan with a peak list (PSI-MS terms)",
            outputs=("{stem}.mzML",),
            packages=("numpy", "isal", "deflate", "pybase64"),
            preload=("numpy", "isal.isal_zlib", "deflate", "pybase64"),
            extra="convert",
            writer="mzml.writer:write_mzml_source",
        ),
        OutputFormat(
            "mgf",
            "MGF for search engines: MS2 scans with a precursor m/z",
            outputs=("{stem}.mgf",),
            packages=("numpy", "pyarrow"),
            preload=("numpy", "pyarrow.compute"),
            extra="convert",
            writer="mgf:write_mgf_source",
            ms_levels=MGF_MS_LEVELS,
            fragments_only=True,
        ),
        OutputFormat(
            "parquet",
            "Parquet tables: DIR/scans (one row per scan) and DIR/peaks (one row per peak)",
            outputs=("scans/{stem}.parquet", "peaks/{stem}.parquet"),
            packages=("numpy", "pyarrow"),
            preload=("numpy", "pyarrow.parquet"),
            extra="convert",
            writer="parquet:write_parquet_source",
        ),
        OutputFormat(
            "mzpeak",
            "mzPeak (HUPO-PSI): Parquet tables in one uncompressed ZIP, DIR/<name>.mzpeak "
            "(--mzpeak-folder: the unpacked folder)",
            outputs=("{stem}.mzpeak",),
            packages=("numpy", "pyarrow"),
            preload=("numpy", "pyarrow.parquet"),
            extra="convert",
            writer="mzpeak:write_mzpeak_source",
            compressions=MZPEAK_CODECS,
            default_compression=MZPEAK_CODECS[0],
        ),
        OutputFormat(
            "mzpeak-folder",
            "mzPeak (HUPO-PSI) unpacked: the folder DIR/<name>.mzpeak of its members",
            outputs=tuple("{stem}.mzpeak/" + name for name, _, _ in MEMBERS),
            packages=("numpy", "pyarrow"),
            preload=("numpy", "pyarrow.parquet"),
            extra="convert",
            writer="mzpeak:write_mzpeak_source",
            compressions=MZPEAK_CODECS,
            default_compression=MZPEAK_CODECS[0],
            form_of="mzpeak",
        ),
    ]
}


def output_format(name: str) -> OutputFormat:
    try:
        return FORMATS[name]
    except KeyError:
        raise ValueError(f"unknown output format {name!r}; choose one of {', '.join(FORMATS)}") from None
