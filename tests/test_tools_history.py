"""The QC history: `vantoro qc add` and `vantoro report --history`. Its
table read by DuckDB and pandas, its per-run mzQC files by the schema and
pymzqc, duplicates found by content, concurrent adds losing nothing, and
the control charts flagging a drift and a wild run, and nothing else."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from mzqc_check import schema_errors

from builders import qc_batch, qc_series

np = pytest.importorskip("numpy")
pytest.importorskip("pyarrow")
pytest.importorskip("vantoro_tools")
from vantoro_tools.analyse import control, qc
from vantoro_tools.cli import main
from vantoro_tools.report import history
from vantoro_tools.write.output import owner_tag


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    """40 daily runs, drifting from run 31 on, run 35 wild, all added to one history."""
    root = tmp_path_factory.mktemp("series")
    paths = qc_series(root / "runs", count=40, drift_from=31, wild=35)
    assert main(["qc", "add", str(root / "runs"), "--history", str(root / "hist"), "-q"]) == 0
    return paths, root / "hist"


def test_the_table_is_one_row_per_run_and_metric_for_duckdb_and_pandas(series):
    duckdb = pytest.importorskip("duckdb")
    pd = pytest.importorskip("pandas")
    paths, hist = series
    table = str(hist / history.TABLE)
    got = duckdb.sql(
        f"SELECT run, value FROM '{table}' WHERE accession = 'MS:4000059' ORDER BY acquired"  # number of MS1 spectra
    ).fetchall()
    assert [r for r, _ in got] == [os.path.basename(p) for p in paths]
    assert [v for _, v in got] == [qc.scans_per_level(qc.run_qc(p))[1] for p in paths]
    frame = pd.read_parquet(table)
    assert len(frame) == len(frame.drop_duplicates(["sha256", "accession"])) == 40 * frame.accession.nunique()
    tic = frame[frame.accession == "MS:4000204"].sort_values("acquired")
    assert tic.value.tolist()[:3] == [qc.summary_row(qc.run_qc(p))["max TIC"] for p in paths[:3]]
    mzqc_files = sorted(os.listdir(hist / history.RUNS))
    assert len(mzqc_files) == 40
    with open(hist / history.RUNS / mzqc_files[0], encoding="utf-8") as f:
        assert schema_errors(json.load(f)) == []


def test_the_charts_flag_the_drift_and_the_wild_run_and_nothing_before(series):
    _, hist = series
    runs = history.history_runs(history.read_rows(hist))
    charts = {c.accession: c for c in history.control_charts(runs, history.Baseline(runs=20))}
    for chart in charts.values():
        flagged = {i + 1 for i, broken in enumerate(chart.broken) if broken}
        assert not flagged & set(range(1, 31)), (chart.metric, flagged)
    tic = charts["MS:4000204"]  # total ion current maximum
    assert "1-3s" in tic.broken[35 - 1]
    wild_z = tic.limits.z(tic.values[35 - 1])
    assert wild_z < -3 and all(abs(tic.limits.z(v)) < abs(wild_z) / 3 for v in tic.values[:34] + tic.values[35:])
    # The injection times know nothing of the wild run: only the drift shows there.
    fill = charts["MS:4000132"]  # MS1 ion collection time mean
    assert {i + 1 for i, b in enumerate(fill.broken) if b} == set(range(34, 41))
    assert {"2-2s", "4-1s"} <= set(fill.broken[36 - 1]) and "10-x" in fill.broken[40 - 1]
    assert not charts["MS:4000059"].limits.usable  # the same method: the same number of MS1 spectra


def test_the_page_names_the_broken_rules(series, tmp_path):
    paths, hist = series
    out = tmp_path / "h.html"
    assert main(["report", "--history", str(hist), paths[-1], "-o", str(out), "-q"]) == 0
    text = out.read_text(encoding="utf-8")
    assert "Limits from the first 20 runs in acquisition order (20 runs)" in text
    assert "day_40_orbitrap.raw (new)" in text and "10-x" in text
    for k in range(1, 31):
        assert f'<td class="odd">day_{k:02d}_orbitrap.raw' not in text
    # A date range as the baseline.
    assert main(["report", "--history", str(hist), "-o", str(out), "--baseline-from", "2023-11-16",
                 "--baseline-to", "2023-11-25", "-q", "--overwrite"]) == 0  # fmt: skip
    assert "Limits from the runs acquired from 2023-11-16 to 2023-11-25 (10 runs)" in out.read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "values, broken",
    [
        ([0.0, 3.5], [[], ["1-3s"]]),
        ([2.5, 2.5], [[], ["2-2s"]]),
        ([2.5, -2.5], [[], ["R-4s"]]),
        ([1.5] * 4, [[], [], [], ["4-1s"]]),
        ([0.5] * 10, [[]] * 9 + [["10-x"]]),
        ([0.5] * 5 + [float("nan")] + [0.5] * 5, [[]] * 11),
    ],
)
def test_westgard_rules(values, broken):
    assert control.broken_rules(values, control.Limits(0.0, 1.0, 20)) == broken


def test_a_run_is_added_once_by_content(tmp_path, capsys):
    paths = qc_batch(tmp_path / "runs", count=2, odd=())
    copy = tmp_path / "again" / "renamed_orbitrap.raw"
    copy.parent.mkdir()
    shutil.copy(paths[0], copy)
    # The history's folder name need not be UTF-8.
    hist = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"hist\xff")) if sys.platform == "linux" else tmp_path / "h"
    assert main(["qc", "add", *paths, "--history", str(hist)]) == 0
    # What an add killed mid-write left goes with the next add.
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    owner = f"{dead.pid}-1@{owner_tag().split('@')[1]}"
    left = [os.path.join(hist, f".table.parquet.0badf00d.{owner}.part")]
    left.append(os.path.join(hist, history.RUNS, f".r.mzQC.0badf00d.{owner}.part"))
    for path in left:
        open(path, "wb").close()
    assert main(["qc", "add", str(copy), paths[1], "--history", str(hist)]) == 0
    assert "0 added, 2 up to date" in capsys.readouterr().err
    assert len({r["sha256"] for r in history.read_rows(hist)}) == 2
    assert not any(map(os.path.exists, left))


ADD = textwrap.dedent(
    """
    import sys
    from vantoro_tools.analyse.qc import run_qc
    from vantoro_tools.report import history
    runs = [run_qc(p, checksum=True) for p in sys.argv[2:]]
    print(sum(history.add_runs(sys.argv[1], runs)))
    """
)


def test_concurrent_adds_lose_nothing(tmp_path):
    paths = qc_batch(tmp_path / "runs", count=8, odd=())
    hist = str(tmp_path / "hist")
    procs = [
        subprocess.Popen([sys.executable, "-c", ADD, hist, *paths[k::4]], stdout=subprocess.PIPE, text=True)
        for k in range(4)
    ]
    added = [int(p.communicate(timeout=120)[0]) for p in procs]
    assert [p.returncode for p in procs] == [0] * 4 and sum(added) == 8
    rows = history.read_rows(hist)
    assert sorted({r["run"] for r in rows}) == sorted(os.path.basename(p) for p in paths)
    assert len(os.listdir(os.path.join(hist, history.RUNS))) == 8
    assert not [n for n in os.listdir(hist) if n.endswith(".part")]
