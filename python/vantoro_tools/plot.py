"""A scan's peak list as a stick spectrum (matplotlib)."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from ._deps import missing
from .atomic import OutputError, atomic_path
from .reading import ScanSource, StrPath

if TYPE_CHECKING:
    from matplotlib.figure import Figure

PURPOSE = "vantoro plot"
LABELLED_PEAKS = 5  # the most intense peaks get their m/z written above them


def plot_spectrum(raw: StrPath, scan: int, dest: StrPath | None = None, *, force: bool = False) -> Figure:
    """The peak list of `scan` as a stick spectrum, titled with the file,
    scan, retention time and, for MS2, the precursor. Saved to `dest` when
    given (format from its suffix, PNG by default). Raises ValueError when
    the scan has no peak list, LayoutError when the file fails the layout
    check (unless `force`), OutputError when `dest` cannot be written.
    Uses no pyplot state, so it works under any
    backend and in notebooks."""
    try:
        import numpy as np
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise missing(exc.name or "matplotlib", PURPOSE, "plot") from exc
    raw = os.fspath(raw)
    source = ScanSource(raw, force=force)
    found = next((s for s in source.scans(only=lambda n: n == scan)), None)
    if found is None or found.mz is None or found.intensity is None:
        raise ValueError(f"scan {scan} of {raw} has no peak list")
    mz, intensity = found.mz, found.intensity

    fig = Figure(figsize=(10, 4.5), layout="constrained")
    ax = fig.add_subplot()
    ax.vlines(mz, 0.0, intensity, linewidth=0.8, color="tab:blue")
    ax.axhline(0.0, linewidth=0.6, color="black")
    top = float(intensity.max()) if len(intensity) else 1.0
    ax.set_ylim(0.0, (top if top > 0 else 1.0) * 1.12)
    span = float(mz.max() - mz.min()) if len(mz) else 0.0
    pad = max(span * 0.03, 1.0)
    ax.set_xlim(float(mz.min()) - pad, float(mz.max()) + pad)
    for k in np.argsort(intensity)[::-1][:LABELLED_PEAKS]:
        ax.annotate(f"{mz[k]:.4f}", (float(mz[k]), float(intensity[k])), textcoords="offset points",
                    xytext=(0, 3), ha="center", fontsize=8)
    ax.set_xlabel("m/z")
    ax.set_ylabel("intensity")
    ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    title = f"{os.path.basename(raw)}   scan {scan}   RT {found.rt:.3f} min   MS{found.ms_level}"
    if found.precursor_mz is not None:
        title += f"   precursor m/z {found.precursor_mz:.4f}"
        if found.charge > 0:
            title += f", z={found.charge}"
    ax.set_title(title, fontsize=10)
    if dest is not None:
        suffix = os.path.splitext(os.fspath(dest))[1].lstrip(".").lower()
        with atomic_path(dest) as tmp:
            try:
                fig.savefig(tmp, format=suffix or "png", dpi=120)
            except OSError as exc:
                raise OutputError(dest, exc) from exc
    return fig
