"""A scan's peak list as a stick spectrum (matplotlib)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, cast

from ..base.deps import missing
from ..base.paths import StrPath, as_path
from ..source.scans import open_source
from ..write.output import OutputError, output_file

if TYPE_CHECKING:
    from matplotlib.figure import Figure

PURPOSE = "vantoro plot"
LABELLED_PEAKS = 5  # the most intense peaks get their m/z written above them, room permitting
X_FROM = ("data", "zero")


def plot_spectrum(
    raw: StrPath,
    scan: int,
    dest: StrPath | None = None,
    *,
    force: bool = False,
    relative: bool = False,
    x_from: str = "data",
    labels: int = LABELLED_PEAKS,
    overwrite: bool = False,
) -> Figure:
    """The peak list of `scan` as a stick spectrum, titled with the file,
    scan, retention time and, for MSn, the precursor, which is also marked
    on the m/z axis. The `labels` most intense peaks get their m/z written
    above them, except where a label would overlap another. `relative`
    draws intensities as a percentage of the base peak; the m/z axis starts
    at the data (`x_from` "data", never below 0) or at 0 ("zero"). Saved to
    `dest` when given (format from its suffix, PNG by default). Raises
    ValueError when the scan has no peak list, LayoutError when the file
    fails the layout check (unless `force`), OutputError when `dest` cannot
    be written (OutputExists when it is the input, or a file vantoro did
    not write, unless `overwrite`). Uses no pyplot state, so it works under
    any backend and in notebooks."""
    if x_from not in X_FROM:
        raise ValueError(f"x_from must be one of {', '.join(X_FROM)}, not {x_from!r}")
    if isinstance(scan, bool) or not isinstance(scan, int):
        raise TypeError(f"scan must be an int, not {type(scan).__name__}")
    if isinstance(labels, bool) or not isinstance(labels, int):
        raise TypeError(f"labels must be an int, not {type(labels).__name__}")
    try:
        import numpy as np
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as exc:
        raise missing(exc.name or "matplotlib", PURPOSE, "plot") from exc
    raw = as_path(raw, "raw")
    source = open_source(raw, force=force)
    found = next((s for s in source.scans(only=lambda n: n == scan)), None)
    if found is None or found.mz is None or found.intensity is None:
        raise ValueError(f"scan {scan} has no peak list")
    mz = np.asarray(found.mz, dtype=np.float64)
    intensity = np.asarray(found.intensity, dtype=np.float64)
    # A peak whose m/z or intensity is not finite has no place on the axes
    # (and would set their limits): left out, and said so in the title.
    finite = np.isfinite(mz) & np.isfinite(intensity)
    left_out = len(mz) - int(np.count_nonzero(finite))
    if left_out:
        mz, intensity = mz[finite], intensity[finite]
    top = float(intensity.max()) if len(intensity) else 0.0
    if relative:
        intensity = intensity * (100.0 / top) if top > 0 else intensity
    ymax = float(intensity.max()) if len(intensity) else 0.0
    ymax = ymax if ymax > 0 else 1.0

    fig = Figure(figsize=(10, 4.5), layout="constrained")
    canvas = FigureCanvasAgg(fig)  # a renderer to measure the labels with
    ax = fig.add_subplot()
    ax.vlines(mz, 0.0, intensity, linewidth=0.8, color="tab:blue")
    ax.axhline(0.0, linewidth=0.6, color="black")
    ax.set_ylim(0.0, ymax * 1.15)
    precursor = found.precursor_mz
    ends = [float(mz.min()), float(mz.max())] if len(mz) else []
    if precursor is not None:
        ends.append(precursor)
    lo, hi = (min(ends), max(ends)) if ends else (0.0, 100.0)
    pad = max((hi - lo) * 0.03, 1.0)
    ax.set_xlim(0.0 if x_from == "zero" else max(0.0, lo - pad), hi + pad)
    if precursor is not None:
        text = f"precursor {precursor:.4f}" + (f" ({found.charge}+)" if found.charge > 0 else "")
        ax.axvline(precursor, color="tab:red", linestyle="--", linewidth=1.0)
        ax.plot([precursor], [ymax * 1.13], marker="v", color="tab:red", markersize=8)
        ax.annotate(
            text,
            (precursor, ymax * 1.1),
            textcoords="offset points",
            xytext=(4, 0),
            ha="left",
            va="center",
            fontsize=8,
            color="tab:red",
        )
    _label_peaks(fig, cast(Any, canvas).get_renderer(), ax, mz, intensity, labels)
    ax.set_xlabel("m/z")
    ax.set_ylabel("relative intensity (%)" if relative else "intensity")
    if not relative:
        ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    title = f"{os.path.basename(raw)}   scan {scan}   RT {found.rt:.3f} min   MS{found.ms_level}"
    if precursor is not None:
        title += f"   precursor m/z {precursor:.4f}"
        if found.charge > 0:
            title += f", z={found.charge}"
    if left_out:
        title += f"\n{left_out} of {len(finite)} peaks not drawn: m/z or intensity not finite"
    ax.set_title(title, fontsize=10)
    if dest is not None:
        save_figure(fig, dest, inputs=[raw], overwrite=overwrite)
    return fig


def save_figure(
    fig: Figure, dest: StrPath, dpi: int = 120, *, inputs: Sequence[str] = (), overwrite: bool = False
) -> None:
    """Saves `fig` to `dest` through the output layer (never over one of
    `inputs`, nor over a file vantoro did not write unless `overwrite`),
    whole or not at all, in the format its suffix names (PNG by default).
    Raises OutputError when it cannot be written."""
    suffix = os.path.splitext(os.fspath(dest))[1].lstrip(".").lower()
    with output_file(dest, inputs, overwrite=overwrite, writer="plot") as tmp:
        try:
            fig.savefig(tmp, format=suffix or "png", dpi=dpi)
        except OSError as exc:
            raise OutputError(dest, exc) from exc


def _label_peaks(fig: Figure, renderer: Any, ax: Any, mz: Any, intensity: Any, count: int) -> None:
    """Writes the m/z above the most intense peaks, most intense first,
    leaving out a label that would overlap one already written (or the
    precursor's) or stick out of the axes."""
    import numpy as np

    if count <= 0 or not len(mz):
        return
    engine = fig.get_layout_engine()
    if engine is not None:
        engine.execute(fig)  # the axes' final position
    frame = ax.get_window_extent(renderer)
    taken = [t.get_window_extent(renderer) for t in ax.texts]
    written = 0
    xlo, xhi = ax.get_xlim()
    for k in np.argsort(intensity, kind="stable")[::-1]:
        if written >= count:
            break
        if not xlo <= mz[k] <= xhi:
            continue
        label = ax.annotate(
            f"{mz[k]:.4f}",
            (float(mz[k]), float(intensity[k])),
            textcoords="offset points",
            xytext=(0, 3),
            ha="center",
            fontsize=8,
        )
        box = label.get_window_extent(renderer)
        inside = box.x0 >= frame.x0 and box.x1 <= frame.x1 and box.y1 <= frame.y1
        if not inside or any(box.overlaps(other) for other in taken):
            label.remove()
            continue
        taken.append(box)
        written += 1
