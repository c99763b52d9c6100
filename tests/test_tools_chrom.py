"""Chromatograms against sums and maxima taken peak by peak from get_peaks,
and the `vantoro chrom` command."""

import csv
import io
import math

import pytest

from builders import CHAIN_BASE, orbitrap_v66, peak_block_v66, qc_run

np = pytest.importorskip("numpy")
pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.analyse.chrom import Tolerance, chromatograms
from vantoro_tools.cli import main


@pytest.fixture(scope="module")
def raw(tmp_path_factory):
    return qc_run(4).write(tmp_path_factory.mktemp("chrom") / "run_orbitrap.raw")


def expected(path, level, targets, half_width):
    """Scan by scan in plain Python: which scans, and their TIC, base peak and windows' sums."""
    r = RawFileReader(path)
    out = []
    for n in range(1, r.num_scans + 1):
        if level is not None and r.get_trailer_extra(n).get("MS Order", 1) != level:
            continue
        peaks = r.native_get_peaks(n)
        mz, inten = peaks if peaks is not None else ([], [])
        top = max(range(len(inten)), key=lambda k: (inten[k], -k)) if inten else None
        out.append(
            (
                n,
                r.get_rt(n),
                sum(inten),
                inten[top] if top is not None else 0.0,
                mz[top] if top is not None else math.nan,
                [sum(i for m, i in zip(mz, inten) if abs(m - t) <= half_width(t)) for t in targets],
            )
        )
    return out


@pytest.mark.parametrize("level", [1, 2, None])
@pytest.mark.parametrize(
    "tol, half_width", [("10ppm", lambda t: t * 10e-6), ("0.5Da", lambda t: 0.5), ("25 ppm", lambda t: t * 25e-6)]
)
def test_one_walk_matches_peak_by_peak_sums(raw, level, tol, half_width):
    # Targets on real peaks (one scan's m/z), between peaks, and outside every list.
    r = RawFileReader(raw)
    ref = next(
        n
        for n in range(1, r.num_scans + 1)
        if r.native_get_peaks(n) is not None and level in (None, r.get_trailer_extra(n)["MS Order"])
    )
    some = r.native_get_peaks(ref)[0]
    targets = [some[0], some[5], some[5] + 0.3, 30.0, 5000.0, some[-1]]
    c = chromatograms(raw, ms_level=level, targets=targets, tolerance=tol)
    want = expected(raw, level, targets, half_width)
    assert c.scan.tolist() == [w[0] for w in want]
    assert c.rt.tolist() == [w[1] for w in want]
    np.testing.assert_allclose(c.tic, [w[2] for w in want], rtol=1e-6)
    np.testing.assert_allclose(c.bpc, [w[3] for w in want], rtol=1e-6)
    np.testing.assert_allclose(c.bpc_mz, [w[4] for w in want], rtol=1e-6)  # NaN where no peaks
    assert c.xic.shape == (len(targets), len(want))
    np.testing.assert_allclose(c.xic.T, [w[5] for w in want], rtol=1e-6, atol=1e-3)
    assert c.xic[0].max() > 0 and c.xic[5].max() > 0 and not c.xic[3:5].any()
    if level == 2:  # some MS2 scans have no peak list
        assert (c.tic == 0).any() and np.isnan(c.bpc_mz).any()


def test_open_reader_and_exact_values(raw, tmp_path):
    r = RawFileReader(raw)
    assert chromatograms(r).tic.tolist() == chromatograms(raw).tic.tolist()
    img = orbitrap_v66(0, block_stride=12000)
    mz = [300.0, 300.004, 700.0, 900.0] + [1000.0 + k for k in range(10)]
    img.put(CHAIN_BASE, peak_block_v66(mz, [2.0, 3.0, 20.0, 1.0] + [1.0] * 10))
    path = img.write(tmp_path / "exact_orbitrap.raw")
    # 300.004 is 13.3 ppm from 300: inside 20 ppm, outside 10 ppm.
    c = chromatograms(path, ms_level=None, targets=[300.0, 300.0, 900.0], tolerance="20ppm")
    assert c.xic[:, 0].tolist() == [5.0, 5.0, 1.0]
    assert chromatograms(path, ms_level=None, targets=[300.0], tolerance="10ppm").xic[0, 0] == 2.0
    assert (c.tic[0], c.bpc[0], c.bpc_mz[0]) == (36.0, 20.0, 700.0)
    assert c.tic[1:].sum() == 0 and np.isnan(c.bpc_mz[1:]).all()


@pytest.mark.parametrize(
    "text, value, unit",
    [
        ("10ppm", 10.0, "ppm"),
        ("10 ppm", 10.0, "ppm"),
        ("0.02Da", 0.02, "Da"),
        ("0.02 da", 0.02, "Da"),
        ("5", 5.0, "ppm"),
        ("1e1ppm", 10.0, "ppm"),
    ],
)
def test_tolerance_parse(text, value, unit):
    assert Tolerance.parse(text) == Tolerance(value, unit)


@pytest.mark.parametrize("text", ["", "ppm", "-5ppm", "10 mDa", "nan", "10ppm5"])
def test_tolerance_rejects(text):
    with pytest.raises(ValueError):
        Tolerance.parse(text)


def test_chrom_command_csv_and_image(raw, tmp_path, capsys):
    assert main(["chrom", raw, "--tic", "--bpc", "--xic", "500,600.5", "--tol", "0.5Da"]) == 0
    rows = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    c = chromatograms(raw, targets=[500, 600.5], tolerance="0.5Da")
    assert list(rows[0]) == ["scan", "rt_min", "tic", "base_peak", "base_peak_mz", "xic_500", "xic_600.5"]
    assert [int(row["scan"]) for row in rows] == c.scan.tolist()
    np.testing.assert_allclose([float(row["tic"]) for row in rows], c.tic, rtol=1e-9)
    np.testing.assert_allclose([float(row["xic_600.5"]) for row in rows], c.xic[1], rtol=1e-9)

    out = tmp_path / "all.csv"
    assert main(["chrom", raw, "--ms-level", "all", "-o", str(out)]) == 0
    assert len(out.read_text().splitlines()) == 1 + RawFileReader(raw).num_scans
    pytest.importorskip("matplotlib")
    png = tmp_path / "c.png"
    assert main(["chrom", raw, "--bpc", "--xic", "500", "-o", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_chrom_command_failures_name_the_right_path(raw, tmp_path, capsys):
    missing = tmp_path / "gone.raw"
    assert main(["chrom", str(missing)]) == 1
    assert capsys.readouterr().err.strip() == f"vantoro: {missing}: no such file"
    dest = tmp_path / "no" / "such" / "dir" / "t.csv"
    assert main(["chrom", raw, "-o", str(dest)]) == 1
    assert capsys.readouterr().err.startswith(f"vantoro: {dest}: cannot write")
    with pytest.raises(SystemExit):
        main(["chrom", raw, "--xic", "500,abc"])
    capsys.readouterr()
    # Without a layout marker the reader answers zeros: no chromatogram, exit 1.
    unmarked = tmp_path / "plain.raw"
    unmarked.write_bytes(open(raw, "rb").read())
    assert main(["chrom", str(unmarked)]) == 1
    out = capsys.readouterr()
    assert out.out == "" and out.err.startswith(f"vantoro: {unmarked}: no layout marker in the path")


def test_intensities_not_finite_print_no_numpy_warning(tmp_path):
    # inf - inf in a scan's total, m/z near the float's limit: the commands
    # finish without NumPy's RuntimeWarning on the user's terminal.
    import warnings

    img = orbitrap_v66(0, block_stride=12000)
    mz = [100.0 + k for k in range(10)] + [1.7e308, 1.7e308]
    img.put(CHAIN_BASE, peak_block_v66(mz, [math.inf, -math.inf] + [1.0] * 10))
    path = img.write(tmp_path / "odd_orbitrap.raw")
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        assert main(["chrom", path, "-o", str(tmp_path / "c.csv"), "--xic", "150", "--ms-level", "2"]) == 0
        assert main(["report", path, "-o", str(tmp_path / "r.html"), "-q"]) == 0
    assert math.isnan(chromatograms(path, ms_level=None).tic[0])
