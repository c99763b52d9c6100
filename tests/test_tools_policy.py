"""Bad days, each met with one line, the right exit status and no harm: a
path named twice, an output another command wrote, a run killed between an
output and its stamp, files QC must refuse as convert does, a damaged
history, files that are never worth a retry, places that cannot be
written, objects under s3:// URLs (moto's S3 server on 127.0.0.1). Each
runs `vantoro` as a process on real files. CI runs them with the batch
tests, whose packages and fixtures they share."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from builders import qc_run, small_v57

for _name in ("vantoro_tools", "pyarrow", "matplotlib", "duckdb", "s3fs", "moto"):
    pytest.importorskip(_name)
from test_tools_batch import free_port, procs, s3  # noqa: F401  (moto's S3 server and its fixtures)

BIN = os.path.dirname(sys.executable)


def vantoro(*args, **kwargs):
    return subprocess.run([f"{BIN}/vantoro", *map(str, args)], capture_output=True, text=True, timeout=300, **kwargs)


def lines(run):
    """The command's standard error, which never holds a traceback."""
    assert "Traceback" not in run.stderr, run.stderr
    return run.stderr.splitlines()


def files(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, names in os.walk(root) for f in names)


def test_one_path_once_and_outputs_replaced_only_by_their_writer(tmp_path, write_raw):
    raw = write_raw(qc_run(1), "in/a_orbitrap.raw")
    out = tmp_path / "out"
    assert vantoro("convert", raw, "--to", "mzml", "--out", out, "-q").returncode == 0
    mzml = out / "a_orbitrap.mzML"
    before = mzml.read_bytes()
    page = tmp_path / "r.html"

    twice = vantoro("report", raw, "-o", page, "--mzqc", page, "-q")
    assert twice.returncode == 2 and lines(twice) == [
        f"vantoro: {page}: named by both -o and --mzqc; give each its own path"
    ]
    assert not page.exists()

    # The mzML convert wrote from this very input is no report's, no mzQC's, no chromatogram's to replace.
    for argv in (["report", raw, "-o", page, "--mzqc", mzml], ["report", raw, "-o", mzml]):
        run = vantoro(*argv, "-q")
        assert run.returncode == 1
        assert f"{mzml} exists, written by vantoro convert --to mzml (--overwrite replaces it)" in run.stderr
        assert len(lines(run)) == 1
        assert mzml.read_bytes() == before
    chrom = vantoro("chrom", raw, "-o", mzml)  # nor a chromatogram's: no image format of that name
    assert chrom.returncode == 1 and lines(chrom) == [
        f"vantoro: {mzml}: cannot write {mzml}: not a .csv or image name (chromatograms are written as .csv, .png, "
        ".svg, .pdf, ...)"
    ]
    csv = tmp_path / "c.csv"
    assert vantoro("chrom", raw, "-o", csv).returncode == 0
    assert vantoro("plot", raw, "3", "-o", csv).returncode == 1 and csv.read_text().startswith("scan,rt_min")
    # Its own outputs it replaces; another's only with --overwrite.
    assert vantoro("report", raw, "-o", page, "-q").returncode == 0
    assert vantoro("report", raw, "-o", page, "--mzqc", mzml, "-q", "--overwrite").returncode == 0
    assert json.loads(mzml.read_text())["mzQC"]["runQualities"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="SIGKILL at a chosen moment")
def test_killed_between_output_and_stamp_a_rerun_accepts_its_output(tmp_path, write_raw):
    raw = write_raw(qc_run(2), "in/b_orbitrap.raw")
    out = tmp_path / "out"
    # The command killed outright the moment its output is renamed into place.
    script = tmp_path / "killed.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, signal, sys
            real = os.replace
            def replace(src, dst):
                real(src, dst)
                if str(dst).endswith(".mzML"):
                    os.kill(os.getpid(), signal.SIGKILL)
            os.replace = replace
            from vantoro_tools.cli import main
            sys.exit(main(sys.argv[1:]))
            """
        )
    )
    killed = subprocess.run(
        [sys.executable, script, "convert", raw, "--to", "mzml", "--out", out, "-q", "-j", "1"], timeout=300
    )
    assert killed.returncode == -signal.SIGKILL and (out / "b_orbitrap.mzML").exists()
    again = vantoro("convert", raw, "--to", "mzml", "--out", out, "-j", "1")
    assert again.returncode == 0, again.stderr
    assert lines(again)[-1].startswith("vantoro: 0 converted, 1 up to date, 0 refused, 0 failed")


def test_qc_refuses_what_convert_refuses_with_the_same_line(tmp_path, write_raw):
    marker = write_raw(small_v57(), "in/no_marker.raw")  # no layout marker: every scan would read as zeros
    good = write_raw(qc_run(3), "in/good_orbitrap.raw")
    convert = vantoro("convert", marker, "--to", "mgf", "--out", tmp_path / "out", "-q")
    qc = vantoro("qc", "add", marker, "--history", tmp_path / "h", "-q")
    assert convert.returncode == qc.returncode == 1
    assert lines(convert) == [lines(qc)[0] + " (--force converts it anyway)"]
    assert not (tmp_path / "h" / "metrics.parquet").exists()

    # The mzQC holds the runs measured, never the zeros of a refused one; none measured, none written.
    mzqc = tmp_path / "m.mzQC"
    assert vantoro("report", marker, good, "-o", tmp_path / "r.html", "--mzqc", mzqc, "-q").returncode == 1
    labels = [q["metadata"]["label"] for q in json.loads(mzqc.read_text())["mzQC"]["runQualities"]]
    assert labels == ["good_orbitrap.raw"]
    alone = vantoro("report", marker, "-o", tmp_path / "r2.html", "--mzqc", tmp_path / "m2.mzQC", "-q")
    assert (
        alone.returncode == 1 and f"{tmp_path / 'm2.mzQC'}: not written: no run passed the layout check" in alone.stderr
    )
    assert not (tmp_path / "m2.mzQC").exists()


def test_a_file_still_growing_is_refused_by_qc_and_convert(tmp_path, write_raw):
    raw = write_raw(qc_run(4, stride=60000), "in/growing_orbitrap.raw")
    grower = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, time\nf = open(sys.argv[1], 'ab', buffering=0)\nwhile True:\n    f.write(b'\\0' * 64)\n"
            "    time.sleep(0.001)",
            raw,
        ]
    )
    try:
        qc = vantoro("qc", "add", raw, "--history", tmp_path / "h", "-q")
        convert = vantoro("convert", raw, "--to", "mgf", "--out", tmp_path / "out", "-q", "-j", "1")
    finally:
        grower.kill()
        grower.wait()
    reason = f"vantoro: {raw}: changed while it was being read (still being written?); nothing was kept from it"
    assert (qc.returncode, lines(qc)) == (1, [reason])
    assert (convert.returncode, lines(convert)) == (1, [reason])
    assert not (tmp_path / "h" / "metrics.parquet").exists()
    assert [f for f in files(tmp_path / "out") if not f.startswith(".vantoro-ledger")] == []


def test_a_damaged_history_is_named_in_one_line_and_left_alone(tmp_path, write_raw):
    first, second = write_raw(qc_run(5), "in/first_orbitrap.raw"), write_raw(qc_run(6), "in/second_orbitrap.raw")
    history = tmp_path / "h"
    assert vantoro("qc", "add", first, "--history", history, "-q").returncode == 0
    table = history / "metrics.parquet"
    kept = table.read_bytes()
    runs = files(history / "runs")

    table.unlink()  # deleted: adding would start a new table that forgets the runs kept
    gone = vantoro("qc", "add", second, "--history", history, "-q")
    assert gone.returncode == 1
    assert lines(gone) == [
        f"vantoro: {history}: its table metrics.parquet is gone but runs/ holds 1 run(s); nothing changed "
        "(restore metrics.parquet, or keep a new history elsewhere)"
    ]
    assert files(history / "runs") == runs and not table.exists()

    table.write_bytes(kept[: len(kept) // 2])  # garbled
    for argv in (
        ["qc", "add", second, "--history", history],
        ["report", "-o", tmp_path / "r.html", "--history", history],
    ):
        run = vantoro(*argv, "-q")
        assert run.returncode == 1
        assert len(lines(run)) == 1 and "cannot be read as a QC history table" in run.stderr
        assert table.read_bytes() == kept[: len(kept) // 2] and files(history / "runs") == runs

    onto_file = vantoro("qc", "add", second, "--history", first, "-q")
    assert onto_file.returncode == 1 and lines(onto_file) == [f"vantoro: cannot write {first}: not a directory"]


def test_a_file_that_is_no_raw_file_is_never_retried(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    (src / "tiny_orbitrap.raw").write_bytes(b"\x01" * 39)
    summary = tmp_path / "s.json"
    run = vantoro(
        "convert", src, "--to", "mgf", "--out", tmp_path / "out", "-q", "--retry", "3", "--summary-json", summary
    )
    assert run.returncode == 1
    (entry,) = json.loads(summary.read_text())["inputs"]
    assert entry["status"] == "failed" and entry["attempts"] == 1
    assert entry["error"].startswith("not a RAW file (shorter than the")


# -- objects under s3:// URLs: moto's S3 server on 127.0.0.1 ------------------------


def test_info_report_and_qc_read_objects_as_convert_does(s3, tmp_path, write_raw):  # noqa: F811
    raw = write_raw(qc_run(7), "in/r7_orbitrap.raw")
    s3.put(raw, "in-bucket/runs/r7_orbitrap.raw")
    url = "s3://in-bucket/runs/r7_orbitrap.raw"

    local, remote = vantoro("info", raw, "--json"), vantoro("info", "s3://in-bucket/runs/", "--json")
    assert local.returncode == remote.returncode == 0, remote.stderr
    (mine,), (theirs,) = json.loads(local.stdout), json.loads(remote.stdout)
    assert theirs.pop("file") == url and mine.pop("file") == raw and theirs == mine
    # The marker only in a folder of the key: judged and read alike.
    s3.put(raw, "in-bucket/orbitrap_runs/d00.raw")
    folder = vantoro("info", "s3://in-bucket/orbitrap_runs/d00.raw", "--json", "--deep")
    deep = vantoro("info", raw, "--json", "--deep")
    assert folder.returncode == deep.returncode == 0, folder.stderr
    (mine,), (theirs,) = json.loads(deep.stdout), json.loads(folder.stdout)
    assert theirs.pop("file") != mine.pop("file") and theirs == mine

    mzqc = {}
    for name, source in (("local", raw), ("remote", url)):
        run = vantoro("report", source, "-o", tmp_path / f"{name}.html", "--mzqc", tmp_path / f"{name}.mzQC", "-q")
        assert run.returncode == 0, run.stderr
        (quality,) = json.loads((tmp_path / f"{name}.mzQC").read_text())["mzQC"]["runQualities"]
        mzqc[name] = {m["accession"]: m.get("value") for m in quality["qualityMetrics"]}
    assert mzqc["remote"] == mzqc["local"]

    added = vantoro("qc", "add", url, "--history", tmp_path / "h", "-q")
    assert added.returncode == 0, added.stderr
    import pyarrow.parquet as pq

    assert set(pq.read_table(tmp_path / "h" / "metrics.parquet").column("path").to_pylist()) == {url}
    again = vantoro("qc", "add", raw, "--history", tmp_path / "h")  # the same content: known already
    assert again.returncode == 0 and "0 added, 1 up to date" in again.stderr


def test_objects_to_a_local_output_and_a_store_that_is_down(s3, tmp_path, write_raw, monkeypatch):  # noqa: F811
    raw = write_raw(qc_run(8), "in/r8_orbitrap.raw")
    s3.put(raw, "in-bucket/r8_orbitrap.raw")
    local_out = vantoro("convert", "s3://in-bucket/", "--to", "mgf", "--out", tmp_path / "out")
    assert local_out.returncode == 2
    assert lines(local_out) == ["vantoro: inputs under a URL are converted to outputs under a URL (--out s3://...)"]
    assert not (tmp_path / "out").exists()

    monkeypatch.setenv("AWS_ENDPOINT_URL", f"http://127.0.0.1:{free_port()}")  # nothing listens there
    for argv in (
        ["info", "s3://in-bucket/r8_orbitrap.raw"],
        ["convert", "s3://in-bucket/", "--to", "mgf", "--out", "s3://out-bucket/x/"],
    ):
        down = vantoro(*argv, "-q")
        assert down.returncode == 1
        assert lines(down)[0].startswith(f"vantoro: {argv[1]}: cannot list: Could not connect to the endpoint URL")


# -- places that cannot be written: tmpfs mounts read-only or full (as root) ---------


@contextlib.contextmanager
def mounted(path, options):
    """A tmpfs mounted at `path` with `options`; the test is skipped where mounting is not allowed."""
    path.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path], capture_output=True).returncode != 0:
        pytest.skip("mounting a tmpfs needs root")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path], check=True)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="tmpfs mounts")
def test_unwritable_places_are_one_line_each_and_checked_before_the_work(tmp_path, write_raw):
    raw = write_raw(qc_run(9), "in/c_orbitrap.raw")
    with mounted(tmp_path / "ro", "ro,size=1m") as ro:
        for argv in (
            ["convert", raw, "--to", "mgf", "--out", ro],
            ["convert", raw, "--to", "mgf", "--out", ro / "sub"],
            ["report", raw, "-o", ro / "r.html"],
            ["chrom", raw, "-o", ro / "c.csv"],
        ):
            run = vantoro(*argv, "-q") if argv[0] != "chrom" else vantoro(*argv)
            assert run.returncode == 1 and len(lines(run)) == 1 and "Read-only file system" in run.stderr

        # --summary-json is checked before any file is converted.
        for place, reason in (
            (tmp_path / "missing" / "s.json", "no such directory"),
            (ro / "s.json", "Read-only file system"),
            ("/dev/full", "is not a regular file"),
            (raw, "is an input file"),
        ):
            run = vantoro("convert", raw, "--to", "mgf", "--out", tmp_path / "out", "-q", "--summary-json", place)
            assert run.returncode == 1 and len(lines(run)) == 1 and reason in run.stderr
            assert not (tmp_path / "out").exists()
        forced = vantoro(
            "convert", raw, "--to", "mgf", "--out", tmp_path / "out", "--summary-json", "/dev/full", "--overwrite"
        )
        assert forced.returncode == 1 and not (tmp_path / "out").exists()  # a device is never replaced

    history = tmp_path / "full" / "h"
    with mounted(tmp_path / "full", "size=256k") as full:
        assert vantoro("qc", "add", raw, "--history", history, "-q").returncode == 0
        before = files(history)
        filler = full / "filler"
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        with contextlib.suppress(OSError):
            while True:
                os.write(fd, b"\0" * 4096)
        os.close(fd)
        other = write_raw(qc_run(10), "in/d_orbitrap.raw")
        run = vantoro("qc", "add", other, "--history", history, "-q")
        assert run.returncode == 1
        assert lines(run) == [lines(run)[0]] and "No space left on device" in run.stderr
        assert files(history) == before  # nothing half-added


def test_a_closed_pipe_and_numpy_say_nothing(tmp_path, write_raw):
    raw = write_raw(qc_run(11), "in/e_orbitrap.raw")
    head = subprocess.run(
        f"'{BIN}/vantoro' info {' '.join(['e_orbitrap.raw'] * 3000)} | head -1",
        shell=True,
        capture_output=True,
        text=True,
        cwd=os.path.dirname(raw),
    )
    assert head.stdout.startswith("FILE") and head.stderr == ""

    # A forced file whose m/z are not finite: numpress writes them without a NumPy line.
    from test_tools_trust import bad_mz

    forced = bad_mz().write(tmp_path / "inf_orbitrap.raw")
    run = vantoro(
        "convert", forced, "--to", "mzml", "--compression", "numpress", "--out", tmp_path / "o", "--force", "-q"
    )
    assert run.returncode == 0 and lines(run) == [
        f"vantoro: {forced}: converted, with warnings: 1 scans failing the layout check"
    ]


# -- guarantees a review found untested -----------------------------------------------


def ledger_rows(out):
    import duckdb

    from vantoro_tools.run.ledger import LEDGER_DIR

    return duckdb.sql(
        f"SELECT regexp_extract(input, '[^/]+$') AS f, attempt, status, input_sha256, error "
        f"FROM '{out}/{LEDGER_DIR}/*.parquet' ORDER BY f, attempt"
    ).fetchall()


def test_hash_inputs_and_a_ledger_that_cannot_be_written(tmp_path, write_raw):
    import hashlib

    raw = write_raw(qc_run(12), "in/f_orbitrap.raw")
    out = tmp_path / "out"
    assert vantoro("convert", raw, "--to", "mgf", "--out", out, "-q", "--hash-inputs").returncode == 0
    ((_, _, status, digest, _),) = ledger_rows(out)
    assert status == "converted" and digest == hashlib.sha256(open(raw, "rb").read()).hexdigest()
    assert vantoro("convert", raw, "--to", "mgf", "--out", tmp_path / "plain", "-q").returncode == 0
    assert ledger_rows(tmp_path / "plain")[0][3] is None  # hashed only when asked

    blocked = tmp_path / "blocked"
    blocked.mkdir()
    (blocked / ".vantoro-ledger").write_text("a file where the ledger's folder belongs")
    run = vantoro("convert", raw, "--to", "mgf", "--out", blocked)
    assert run.returncode == 0 and (blocked / "f_orbitrap.mgf").exists()  # the output is whole and stamped
    assert lines(run)[0] == f"vantoro: {raw}: converted, with warnings: 1 ledger record not written"
    again = vantoro("convert", raw, "--to", "mgf", "--out", blocked)
    assert again.returncode == 0 and "0 converted, 1 up to date" in again.stderr


def test_an_output_removed_after_it_was_written_is_no_conversion(tmp_path, write_raw):
    raw = write_raw(qc_run(13), "in/g_orbitrap.raw")
    out = tmp_path / "out"
    script = tmp_path / "removing.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, sys
            real = os.replace
            def replace(src, dst):
                real(src, dst)
                if str(dst).endswith(".mgf"):
                    os.unlink(dst)  # gone the moment it was whole
            os.replace = replace
            from vantoro_tools.cli import main
            sys.exit(main(sys.argv[1:]))
            """
        )
    )
    argv = [sys.executable, script, "convert", raw, "--to", "mgf", "--out", out, "-q", "-j", "1", "--retry", "1"]
    run = subprocess.run(argv, capture_output=True, text=True, timeout=300)
    assert run.returncode == 1 and len(lines(run)) == 1
    assert lines(run)[0].startswith(f"vantoro: {raw}: output gone after writing: ")
    assert [(a, s) for _, a, s, _, _ in ledger_rows(out)] == [(1, "failed"), (2, "failed")]  # transient: tried again


def test_retry_jobs_and_threads_are_validated(tmp_path, write_raw):
    from vantoro_tools import WriteOptions, convert_many

    raw = write_raw(qc_run(14), "in/h_orbitrap.raw")
    for option, value in (("--retry", "-1"), ("--retry", "x"), ("--jobs", "0"), ("--jobs", "1.5")):
        run = vantoro("convert", raw, "--to", "mgf", "--out", tmp_path / "out", option, value)
        assert run.returncode == 2 and f"argument {option}" in run.stderr
    for bad in (0, -1, True, 1.5, "2"):
        with pytest.raises(ValueError, match="threads must be a whole number of at least 1"):
            WriteOptions(threads=bad)
    for kwargs in ({"retry": -1}, {"retry": True}, {"jobs": 0}, {"jobs": False}):
        with pytest.raises(ValueError, match="must be a whole number"):
            convert_many(raw, "mgf", tmp_path / "out", **kwargs)
    assert not (tmp_path / "out").exists()


def test_no_room_in_scratch_fails_the_file_and_leaves_scratch_empty(s3, tmp_path, write_raw):  # noqa: F811
    raw = write_raw(qc_run(15, stride=60000), "in/big_orbitrap.raw")
    s3.put(raw, "in-bucket/big_orbitrap.raw")
    with mounted(tmp_path / "scratch", "size=64k") as scratch:
        run = vantoro(
            "convert", "s3://in-bucket/", "--to", "mgf", "--out", "s3://out-bucket/o/", "--scratch", scratch, "-q"
        )
        assert run.returncode == 1 and len(lines(run)) == 1
        assert "no room in scratch" in run.stderr
        assert os.listdir(scratch) == []
    assert not s3.exists("out-bucket/o/big_orbitrap.mgf")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="SIGKILL at a chosen moment")
def test_killed_after_an_upload_a_rerun_accepts_its_object(s3, tmp_path, write_raw):  # noqa: F811
    raw = write_raw(qc_run(16), "in/k_orbitrap.raw")
    s3.put(raw, "in-bucket/k_orbitrap.raw")
    script = tmp_path / "killed.py"
    script.write_text(
        textwrap.dedent(
            """
            import os, signal, sys
            import s3fs
            real = s3fs.S3FileSystem.put_file
            def put_file(self, local, remote, *args, **kwargs):
                real(self, local, remote, *args, **kwargs)
                if str(remote).endswith(".mgf"):
                    os.kill(os.getpid(), signal.SIGKILL)  # the object up, whatever comes next never runs
            s3fs.S3FileSystem.put_file = put_file
            from vantoro_tools.cli import main
            sys.exit(main(sys.argv[1:]))
            """
        )
    )
    argv = ["convert", "s3://in-bucket/", "--to", "mgf", "--out", "s3://out-bucket/o/", "-q", "-j", "1"]
    killed = subprocess.run([sys.executable, script, *argv], timeout=300)
    assert killed.returncode == -signal.SIGKILL and s3.exists("out-bucket/o/k_orbitrap.mgf")
    again = vantoro(*argv[:-3], "-j", "1")
    assert again.returncode == 0, again.stderr
    assert "0 converted, 1 up to date" in again.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="watches /proc")
@pytest.mark.parametrize("command", ["info", "report"])
def test_a_lost_pool_worker_fails_its_files_transiently_in_one_line_each(tmp_path, command):
    from builders import qc_batch
    from processes import descendants

    runs = qc_batch(tmp_path / "in", count=40)
    argv = [f"{BIN}/vantoro", command, *runs, "-j", "2"]
    argv += ["--deep"] if command == "info" else ["-o", str(tmp_path / "r.html"), "-q"]
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    workers = []
    while not workers and proc.poll() is None and time.monotonic() < deadline:
        # The pool's workers: the command's grandchildren (children of the fork server).
        workers = [w for c in descendants(proc.pid) if c != proc.pid for w in descendants(c)]
        time.sleep(0.005)
    if not workers:
        proc.kill()
    assert workers, "the command ended before a worker could be killed"
    os.kill(workers[0], signal.SIGKILL)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 1 and "Traceback" not in err, err
    lost = [line for line in err.splitlines() if ": task failed: " in line]
    assert lost and all(line.startswith("vantoro: ") for line in lost)
    assert all(line.split(": task failed: ")[0][len("vantoro: ") :] in runs for line in lost)
