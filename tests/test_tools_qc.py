"""The QC report's series against independent computations from the
reader's own answers (list_spectra, get_trailer_extra, get_peaks), and the
`vantoro report` command."""

import os
import re
import signal
import subprocess
import sys
import time
from collections import Counter

import pytest

from builders import RawImage, dense_orbitrap, qc_batch, qc_run, small_v57
from processes import alive, default_sigint, descendants, gone_within

np = pytest.importorskip("numpy")
pytest.importorskip("vantoro_tools")
from vantoro import RawFileReader
from vantoro_tools.analyse import qc
from vantoro_tools.cli import main
from vantoro_tools.run.gather import gather


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    return qc_batch(tmp_path_factory.mktemp("batch"), count=6, odd=(5,))


@pytest.fixture(scope="module")
def runs(batch):
    return [qc.run_qc(p) for p in batch]


def test_per_scan_columns_and_facts(batch, runs):
    for path, run in zip(batch, runs):
        r = RawFileReader(path)
        rows = r.list_spectra()
        assert run.scan.tolist() == [row["scan_number"] for row in rows]
        assert run.rt.tolist() == [row["rt"] for row in rows]
        levels = [r.get_trailer_extra(n)["MS Order"] for n in run.scan.tolist()]
        assert run.ms_level.tolist() == levels
        assert qc.scans_per_level(run) == dict(sorted(Counter(levels).items()))
        peaks = [r.get_peaks(n) if r.native_get_peaks(n) is not None else None for n in run.scan.tolist()]
        assert run.has_peaks.tolist() == [p is not None for p in peaks]
        np.testing.assert_allclose(run.tic, [float(sum(p[1])) if p else 0.0 for p in peaks], rtol=1e-6)
        np.testing.assert_allclose(run.base_peak, [float(max(p[1])) if p else 0.0 for p in peaks])
        info = run.info
        assert (info.version, info.num_scans, info.creation_date) == (66, r.num_scans, r.creation_date)
        assert info.scans_with_peaks == sum(p is not None for p in peaks)
        assert (info.status_log_labels, info.warnings) == (r.get_status_log_labels(), r.get_error_logs())
        assert info.status_log_labels and run.verdict == "ok"
    assert [bool(run.info.warnings) for run in runs] == [k % 3 == 0 for k in range(1, 7)]


def test_cycles_follow_the_master_scan_chain(batch, runs):
    for path, run in zip(batch, runs):
        rows = RawFileReader(path).list_spectra()
        rt = {row["scan_number"]: row["rt"] for row in rows}
        ms1 = [row["scan_number"] for row in rows if row["master_scan"] == 0]
        # Each MSn scan's chain of masters ends at the MS1 scan of its cycle.
        master = {row["scan_number"]: row["master_scan"] for row in rows}

        def root(n):
            while master[n]:
                n = master[n]
            return n

        per_cycle = Counter(root(row["scan_number"]) for row in rows if row["master_scan"])
        c = qc.cycles(run)
        assert c.rt.tolist() == [rt[n] for n in ms1]
        assert c.msn.tolist() == [per_cycle[n] for n in ms1]
        np.testing.assert_allclose(c.seconds, [(rt[b] - rt[a]) * 60 for a, b in zip(ms1, ms1[1:])])
        median, longest = c.points_per_peak(20.0)
        assert median == pytest.approx(20.0 / np.median(c.seconds))
        assert longest == pytest.approx(20.0 / max(c.seconds)) and longest <= median


def test_charges_precursors_and_injection_limits(batch, runs):
    for path, run in zip(batch, runs):
        r = RawFileReader(path)
        msn = [row for row in r.list_spectra() if r.get_trailer_extra(row["scan_number"])["MS Order"] >= 2]
        assert qc.precursor_charges(run) == dict(sorted(Counter(row["charge"] for row in msn).items()))
        prt, pmz = qc.precursors(run)
        assert pmz.tolist() == [row["monomz"] for row in msn if row["monomz"] > 0]
        assert prt.tolist() == [row["rt"] for row in msn if row["monomz"] > 0]
        limits = qc.injection_time_limits(run)
        if run.method_max_it:  # even-numbered runs state 50 ms for MS1 and 54 ms for MSn
            assert limits == {
                1: (50.0, "method maximum"),
                2: (54.0, "method maximum"),
                **({3: (54.0, "method maximum")} if 3 in limits else {}),
            }
        else:
            for level, (value, how) in limits.items():
                assert how == "observed maximum"
                assert value == max(
                    row["injection_time"]
                    for row in r.list_spectra()
                    if r.get_trailer_extra(row["scan_number"])["MS Order"] == level
                )
    assert [bool(run.method_max_it) for run in runs] == [k % 2 == 0 for k in range(1, 7)]


@pytest.mark.parametrize(
    "text, found",
    [
        ("<MaxIT>50</MaxIT><MaxIT>54.5</MaxIT>", [50.0, 54.5]),
        ("Maximum Injection Time (ms) = 118", [118.0]),
        ('<Setting name="MaxIonInjectionTime" value="22"/>', [22.0]),
        ("max_inject_time: 35", [35.0]),
        ("<ResolutionMaxIT>x</ResolutionMaxIT><Injection>5</Injection>", []),
        ("", []),
    ],
)
def test_method_max_injection_times(text, found):
    assert qc.method_max_injection_times(text) == found


def test_varying_trailer_fields(runs):
    varying, constant = qc.varying_trailer(runs[0])
    assert {"Orbitrap Resolution", "Collision Energy", "Elapsed Scan Time (sec)"} <= set(varying)
    assert not set(varying) & set(constant) and not set(varying) & qc.SHOWN_ELSEWHERE
    res = varying["Orbitrap Resolution"]
    assert {v for v, level in zip(res, runs[0].ms_level) if level == 1} == {120000}


@pytest.mark.parametrize(
    "values, log, odd",
    [
        ([1.0, 1.1, 0.9, 1.0, 5.0], False, [False] * 4 + [True]),
        ([2.0, 2.0, 2.0, 2.0, 2.0, float("nan")], False, [False] * 6),
        ([1.0, 9.0, 1.0, 1.0], False, [False] * 4),  # too few runs to judge
        # A tight batch: 34.83 ms is many MADs but only 4 % from the median.
        ([36.1, 36.5, 36.6, 36.3, 34.83], False, [False] * 5),
        ([36.1, 36.5, 36.6, 36.3, 30.0], False, [False] * 4 + [True]),
        ([1e9, 1.2e9, 0.9e9, 1.1e9, 2e7], True, [False] * 4 + [True]),
    ],
)
def test_odd_cells(values, log, odd):
    assert qc.odd_cells(values, log=log) == odd


def test_report_command(batch, runs, tmp_path, capsys):
    folder = os.path.dirname(batch[0])
    out = tmp_path / "report.html"
    assert main(["report", folder, "-o", str(out), "-j", "2"]) == 0
    page = out.read_text(encoding="utf-8")
    assert "Comparison of 6 runs" in page and page.count("<section") == 7
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:)?//""", page)  # nothing to fetch
    # The odd run (slow cycles, weak spray) is highlighted in the comparison table.
    row = re.search(r'<tr><td><a href="#run4">run_05_orbitrap.raw</a>.*?</tr>', page).group(0)
    cells = re.findall(r"<td( class=\"odd\")?>([^<]*)</td>", row)
    head = re.findall(r"<th>([^<]*)</th>", page)[: len(cells) + 1][1:]
    flagged = {h for h, (odd, _) in zip(head, cells) if odd}
    assert {"cycle time s (median)", "max TIC"} <= flagged
    # One worker process or two: the same runs, in the order given.
    one = gather(batch, jobs=1).runs
    two = gather(batch, jobs=2).runs
    assert [r.path for r in two] == batch
    assert all(np.array_equal(a.tic, b.tic) and a.trailer == b.trailer for a, b in zip(one, two))
    assert capsys.readouterr().err.count("\n") == 1  # the summary line


def test_report_failures(batch, tmp_path, capsys, write_raw):
    bad = write_raw(RawImage().header(60), "in/v60.raw")
    marker = write_raw(small_v57(), "in/no_marker.raw")  # reads as zeros: fails the layout check
    good = write_raw(qc_run(2), "in/good_orbitrap.raw")
    out = tmp_path / "r.html"
    assert main(["report", bad, marker, good, "-o", str(out), "-q"]) == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0] == f"vantoro: {bad}: not a RAW file (format version 60; vantoro reads 57 and 66)"
    assert err[1].startswith(f"vantoro: {marker}: no layout marker")
    page = out.read_text(encoding="utf-8")
    assert "Not read" in page and "v60.raw" in page and "Layout check failed" in page
    if sys.platform == "linux":  # a name that is not UTF-8 is listed, not fatal
        unnamed = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"r\xff_orbitrap.raw"))
        os.link(good, unnamed)
        assert main(["report", unnamed, good, "-o", str(out), "-q"]) == 1
        assert "r\ufffd_orbitrap.raw" in out.read_text(encoding="utf-8")
        capsys.readouterr()

    # A run of MS1 scans only (version 57) gets notes instead of empty precursor plots.
    small = write_raw(small_v57(), "in/run_small.RAW")
    assert main(["report", small, good, small, "-o", str(out), "-q"]) == 0
    page = out.read_text(encoding="utf-8")
    assert page.count("<section") == 3 and "No MSn scans." in page and "No MSn scan states" in page

    # Nothing readable: no report at all. An unwritable output names the output.
    assert main(["report", bad, "-o", str(tmp_path / "none.html"), "-q"]) == 1
    assert not (tmp_path / "none.html").exists()
    dest = tmp_path / "missing" / "r.html"
    assert main(["report", good, "-o", str(dest), "-q"]) == 1
    assert capsys.readouterr().err.splitlines()[-1].startswith(f"vantoro: {dest}: cannot write")
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]
    # An input is never overwritten by the report.
    before = open(good, "rb").read()
    assert main(["report", good, "-o", good, "-q"]) == 1
    assert open(good, "rb").read() == before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_report_and_its_workers(tmp_path, signum, status):
    src = tmp_path / "runs"
    src.mkdir()
    first = dense_orbitrap(20000).write(src / "f0000_orbitrap.raw")
    for k in range(1, 2000):  # two thousand names of one dense file: a batch that takes a while
        os.link(first, src / f"f{k:04d}_orbitrap.raw")
    out = tmp_path / "report.html"
    proc = subprocess.Popen(
        [sys.executable, "-m", "vantoro_tools", "report", str(src), "-o", str(out), "-j", "2", "-q"],
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=default_sigint,
    )
    deadline = time.monotonic() + 60
    while len([p for p in descendants(proc.pid) if alive(p)]) < 3:  # the server and both workers
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
        time.sleep(0.02)
    workers = descendants(proc.pid)
    proc.send_signal(signum)
    assert proc.wait(timeout=10) == status
    assert gone_within(workers, 2.5)
    assert os.listdir(tmp_path) == ["runs"]  # no report, whole or partial
    assert "Traceback" not in proc.stderr.read()


HALF_SENT = """
import os, signal, struct, sys, time
from vantoro_tools.run.pool import run_pool

def task(k):
    # What a worker ended while sending its result leaves: part of a message.
    frame = sys._getframe()
    while frame.f_code.co_name != "_process_worker":
        frame = frame.f_back
    os.write(frame.f_locals["result_queue"]._writer.fileno(), struct.pack("!i", 1 << 20) + b"part")
    if sys.argv[1] == "lost":
        os._exit(9)
    os.kill(int(os.environ["VANTORO_POOL_COMMAND"]), signal.SIGINT)
    time.sleep(60)

if __name__ == "__main__":
    def done(name, result):
        try:
            result()
        except Exception as exc:
            print(name, type(exc).__name__)
    try:
        run_pool(task, [("a", (1,)), ("b", (2,))], 2, done)
    except KeyboardInterrupt:
        sys.exit(130)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the executor's pipe")
@pytest.mark.parametrize("how, status", [("stopped", 130), ("lost", 0)])
def test_a_worker_ended_while_sending_its_result_hangs_nothing(tmp_path, how, status):
    # The executor's thread waits for the rest of a half-sent result: a
    # stop must still end the command, and a lost worker fail its tasks.
    script = tmp_path / "half_sent.py"
    script.write_text(HALF_SENT)
    done = subprocess.run(
        [sys.executable, script, how], capture_output=True, text=True, timeout=30, preexec_fn=default_sigint
    )
    assert done.returncode == status, done.stderr
    if how == "lost":
        assert sorted(done.stdout.split()) == ["BrokenProcessPool"] * 2 + ["a", "b"]


@pytest.mark.parametrize(
    "raw, shown",
    [
        ("AGC         \x00", "AGC"),
        ("AGC         T", "AGC"),
        ("AGC\x00junk", "AGC"),
        ("  Spray current unstable ", "Spray current unstable"),
        ("Temp\x12 (C)", "Temp\ufffd (C)"),
        (" ", ""),
    ],
)
def test_file_text(raw, shown):
    from vantoro_tools.base.text import file_text

    assert file_text(raw) == shown


def test_report_shows_printable_text_and_tells_runs_apart(tmp_path):
    from vantoro_tools.base.paths import display_names

    paths = qc_batch(tmp_path / "a", count=2, odd=()) + qc_batch(tmp_path / "b", count=1, odd=())
    assert display_names(paths) == [os.path.join("a", "run_01_orbitrap.raw"), "run_02_orbitrap.raw",
                                    os.path.join("b", "run_01_orbitrap.raw")]  # fmt: skip
    out = tmp_path / "r.html"
    assert main(["report", *paths, "-o", str(out), "-q"]) == 0
    page = out.read_text(encoding="utf-8")
    assert "<h2>a/run_01_orbitrap.raw</h2>" in page and "<h2>b/run_01_orbitrap.raw</h2>" in page
    assert "\\x00" not in page and "(blank)" not in page and "AGC    " not in page
    run = qc.run_qc(paths[0])
    assert {v for v in run.trailer["AGC"] if v is not None} == {"AGC"}
