"""Chromatograms as files: CSV, or an image drawn with matplotlib."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from ..analyse.chrom import Chromatograms, csv_text
from ..base.deps import missing
from ..base.paths import StrPath
from ..write.output import OutputError, may_write, output_file
from .plot import save_figure


def check_name(dest: StrPath | None) -> None:
    """Raises OutputError unless `dest` (None: standard output) names a .csv
    file or an image format matplotlib draws: refused before any reading."""
    if dest is None:
        return
    suffix = os.path.splitext(os.fspath(dest))[1].lstrip(".").lower()
    if suffix == "csv":
        return
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError as exc:
        raise missing(exc.name or "matplotlib", "vantoro chrom (images)", "plot") from exc
    kinds = FigureCanvasBase.get_supported_filetypes()
    if suffix not in kinds:
        raise OutputError(dest, "not a .csv or image name (chromatograms are written as .csv, .png, .svg, .pdf, ...)")


def write_chromatograms(
    c: Chromatograms,
    kinds: Sequence[str],
    dest: StrPath | None = None,
    title: str = "",
    *,
    inputs: Sequence[str] = (),
    overwrite: bool = False,
) -> None:
    """`kinds` ("tic", "bpc", "xic") of `c` as CSV on standard output
    (`dest` None), in a .csv file, or drawn to an image whose format its
    suffix names (matplotlib, the `plot` extra). `inputs` are the files the
    chromatograms come from, which the output may never replace. Raises
    OutputError when `dest` cannot be written (OutputExists when it may
    not be)."""
    if dest is None:
        sys.stdout.write(csv_text(c, kinds))
        return
    check_name(dest)
    may_write([os.fspath(dest)], inputs, overwrite=overwrite, writer="chrom")  # before any drawing
    suffix = os.path.splitext(os.fspath(dest))[1].lstrip(".").lower()
    if suffix == "csv":
        with output_file(dest, inputs, overwrite=overwrite, writer="chrom") as tmp:
            try:
                with open(tmp, "w", encoding="utf-8", newline="") as f:
                    f.write(csv_text(c, kinds))
            except OSError as exc:
                raise OutputError(dest, exc) from exc
        return
    try:
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise missing(exc.name or "matplotlib", "vantoro chrom (images)", "plot") from exc

    fig = Figure(figsize=(10, 2.6 * len(kinds) + 0.6), layout="constrained")
    axes = fig.subplots(len(kinds), 1, sharex=True, squeeze=False)[:, 0]
    level = "all scans" if c.ms_level is None else f"MS{c.ms_level}"
    for ax, kind in zip(axes, kinds):
        if kind == "tic":
            ax.plot(c.rt, c.tic, lw=1)
            ax.set_ylabel("TIC")
        elif kind == "bpc":
            ax.plot(c.rt, c.bpc, lw=1, color="tab:red")
            ax.set_ylabel("base peak")
        else:
            for t, row in zip(c.targets, c.xic):
                ax.plot(c.rt, row, lw=1, label=f"{t:.4f}")
            ax.set_ylabel(f"XIC ±{c.tolerance}")
            ax.legend(fontsize=8, ncol=4)
        ax.set_ylim(bottom=0)
        ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    axes[-1].set_xlabel("retention time (min)")
    axes[0].set_title(f"{title}   {level}".strip(), fontsize=10)
    save_figure(fig, dest, dpi=110, inputs=inputs, overwrite=overwrite)
