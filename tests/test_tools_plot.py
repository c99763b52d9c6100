"""`vantoro plot`'s spectrum: precursor mark, labels that do not overlap,
relative intensities, the m/z axis."""

import math
import warnings

import pytest

from builders import CHAIN_BASE, orbitrap_v66, peak_block_v66, qc_run

pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.cli import main


@pytest.fixture(scope="module")
def raw(tmp_path_factory):
    return qc_run(2).write(tmp_path_factory.mktemp("plot") / "run_orbitrap.raw")


def scan_of_level(raw, level):
    r = RawFileReader(raw)
    return next(
        n
        for n in range(1, r.num_scans + 1)
        if r.native_get_peaks(n) is not None
        and r.get_trailer_extra(n)["MS Order"] == level
        and (level == 1 or r.get_monoisotopic_mz(n) > 0)
    )


@pytest.mark.parametrize("level", [1, 2])
@pytest.mark.parametrize("relative, x_from", [(False, "data"), (True, "zero")])
def test_spectrum(raw, level, relative, x_from):
    pytest.importorskip("matplotlib")
    from vantoro_tools.report.plot import plot_spectrum

    scan = scan_of_level(raw, level)
    r = RawFileReader(raw)
    mz, intensity = r.get_peaks(scan)
    fig = plot_spectrum(raw, scan, relative=relative, x_from=x_from, labels=300)
    ax = fig.axes[0]
    sticks = ax.collections[0].get_segments()
    tops = [seg[1][1] for seg in sticks]
    assert max(tops) == pytest.approx(100.0 if relative else float(intensity.max()), rel=1e-6)
    lo, hi = ax.get_xlim()
    assert lo == 0.0 if x_from == "zero" else 0.0 <= lo < float(mz.min())
    assert hi > float(mz.max())
    precursor = r.get_monoisotopic_mz(scan)
    marked = [line for line in ax.get_lines() if list(line.get_xdata()) in ([precursor, precursor], [precursor])]
    assert bool(marked) == (level == 2)
    # Every label inside the axes and apart from every other one; many of the 300 asked for are left out.
    renderer = fig.canvas.get_renderer()
    boxes = [t.get_window_extent(renderer) for t in ax.texts]
    frame = ax.get_window_extent(renderer)
    assert 3 <= len(boxes) < min(300, len(mz)) - 5
    assert all(b.x0 >= frame.x0 and b.x1 <= frame.x1 for b in boxes)
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1 :])


def test_plot_options_and_unwritable_output(raw, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png = tmp_path / "s.png"
    assert main(["plot", raw, "1", "-o", str(png), "--relative", "--x-from", "zero", "--labels", "3"]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    dest = tmp_path / "gone" / "s.png"
    assert main(["plot", raw, "1", "-o", str(dest)]) == 1
    assert capsys.readouterr().err.startswith(f"vantoro: {dest}: cannot write")


@pytest.mark.parametrize("relative", [False, True])
def test_peaks_not_finite_are_left_out_and_said(tmp_path, relative):
    # inf and -inf set no axis limit and scale nothing: the finite peaks
    # drawn as they are, the others counted in the title.
    pytest.importorskip("matplotlib")
    from vantoro_tools.report.plot import plot_spectrum

    img = orbitrap_v66(0, block_stride=12000)
    img.put(
        CHAIN_BASE, peak_block_v66([100.0 + k for k in range(12)], [math.inf, -math.inf, math.nan, 8.0] + [1.0] * 8)
    )
    path = img.write(tmp_path / "odd_orbitrap.raw")
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        ax = plot_spectrum(path, 1, relative=relative).axes[0]
    tops = sorted(seg[1][1] for seg in ax.collections[0].get_segments())
    assert tops == ([12.5] * 8 + [100.0] if relative else [1.0] * 8 + [8.0])
    assert ax.get_ylim()[1] > tops[-1]
    assert "3 of 12 peaks not drawn" in ax.get_title()
