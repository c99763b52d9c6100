"""The `vantoro` command on a bad day: files it cannot read meaningfully are
refused, no file is ever replaced or lost, every input is accounted for,
and signals stop the command and its workers cleanly."""

import gc
import math
import os
import signal
import socket
import subprocess
import sys
import time
import warnings

import pytest

from builders import (
    CHAIN_BASE,
    RT_ORBI_START,
    RT_ORBI_STRIDE,
    dense_orbitrap,
    orbitrap_varied,
    peak_block_v66,
    small_v57,
)
from processes import default_sigint, descendants, gone_within

pytest.importorskip("vantoro_tools")
from vantoro_tools.cli import main
from vantoro_tools.run.ledger import LEDGER_DIR
from vantoro_tools.write.output import atomic_path, remove_dead_parts

pytest.importorskip("pyarrow")


def visible_files(root):
    return sorted(
        os.path.relpath(os.path.join(d, f), root)
        for d, _, names in os.walk(root)
        if LEDGER_DIR not in d
        for f in names
        if not f.startswith(".")
    )


def all_files(root):
    """Every file but the ledger's records (which account for refusals too)."""
    return sorted(f for d, _, names in os.walk(root) if LEDGER_DIR not in d for f in names)


def bad_rt(value, scan):
    img = orbitrap_varied()
    return img.f64(RT_ORBI_START + RT_ORBI_STRIDE * (scan - 1), value)


def bad_mz():
    mz = [100.0 + j for j in range(30)]
    mz[7] = math.inf
    return orbitrap_varied().put(CHAIN_BASE, peak_block_v66(mz, [1.0] * 30))


def truncated(path):
    small_v57().write(path)
    os.truncate(path, os.path.getsize(path) // 2)
    return str(path)


@pytest.mark.parametrize(
    "name, make, reason",
    [
        (
            "sample01.raw",
            lambda p: orbitrap_varied().write(p),
            "no layout marker in the path ('orbitrap' or 'small.RAW'): vantoro would read every scan as zeros",
        ),
        ("half.small.RAW", truncated, "truncated: 752,069 bytes, but its small layout's scan tables need 1,504,139"),
        ("nan_orbitrap.raw", lambda p: bad_rt(math.nan, 3).write(p), "scan 3: retention time is nan"),
        (
            "back_orbitrap.raw",
            lambda p: bad_rt(0.1, 10).write(p),
            "scan 10: retention time 0.1 min is before the previous scan's 4.5",
        ),
        ("inf_orbitrap.raw", lambda p: bad_mz().write(p), "scan 1: peak list holds a non-finite m/z"),
    ],
)
def test_layout_check_refuses_and_force_converts(tmp_path, capfd, name, make, reason):
    raw = make(tmp_path / name)
    out = tmp_path / "out"
    # Refused by the writers' walk too (a scan's reason): one line each, and
    # nothing from Arrow about the streams given up (captured at the file
    # descriptor, where Arrow writes).
    for to in ("parquet", "mzpeak"):
        assert main(["convert", str(raw), "--to", to, "--out", str(out)]) == 1
        gc.collect()
        err = capfd.readouterr().err.splitlines()
        assert err == [
            f"vantoro: {raw}: {reason} (--force converts it anyway)",
            f"vantoro: 0 converted, 0 up to date, 1 refused, 0 failed; output in {out}",
        ]
        assert not out.exists() or all_files(out) == []

    for flags in ([], ["--deep"]):
        finds = bool(flags) or not reason.startswith("scan ")  # quick info reads no peak list
        assert main(["info", str(raw), "--json", *flags]) == (1 if finds else 0)
        captured = capfd.readouterr()
        assert f'"layout_check": "{reason if finds else "ok"}"' in captured.out
        assert captured.err == (f"vantoro: {raw}: {reason}\n" if finds else "")

    assert main(["convert", str(raw), "--to", "parquet", "--out", str(out), "--force"]) == 0
    # One count: the whole file failed, or how many of its scans did.
    counted = "1 scans failing the layout check" if reason.startswith("scan ") else "1 layout check failed"
    assert capfd.readouterr().err.splitlines()[0] == f"vantoro: {raw}: converted, with warnings: {counted}"
    assert len(visible_files(out)) == 2


def test_the_layout_check_on_extreme_m_z(tmp_path):
    # m/z whose sum overflows are all finite: no false refusal, and no
    # NumPy warning on the user's terminal.
    np = pytest.importorskip("numpy")
    from vantoro_tools.source.layout import LayoutCheck

    raw = orbitrap_varied().write(tmp_path / "x_orbitrap.raw")
    check = LayoutCheck(raw, 66, os.path.getsize(raw))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert check.scan(1, 0.5, np.array([1.7e308, 1.7e308])) is None
    assert check.scan(2, 0.5, np.array([1.7e308, -1.7e308, math.inf])) == "scan 2: peak list holds a non-finite m/z"
    earlier = check.scan(3, 0.4, np.array([math.nan]))
    assert earlier == "scan 3: retention time 0.4 min is before the previous scan's 0.5"
    assert check.verdict.reason == "scan 2: peak list holds a non-finite m/z"


@pytest.mark.parametrize("link", ["same", "hard", "symbolic"])
def test_an_output_that_is_an_input_is_refused(tmp_path, capsys, link):
    raw = orbitrap_varied().write(tmp_path / "x_orbitrap.mgf")
    before = open(raw, "rb").read()
    src = raw
    if link != "same":
        src = str(tmp_path / "in" / "x_orbitrap.raw")
        os.mkdir(tmp_path / "in")
        (os.link if link == "hard" else os.symlink)(raw, src)
    assert main(["convert", src, "--to", "mgf", "--out", str(tmp_path), "-q", "--overwrite"]) == 1
    assert (
        capsys.readouterr().err
        == f"vantoro: {src}: the output {tmp_path / 'x_orbitrap.mgf'} is an input file; not converted\n"
    )
    assert open(raw, "rb").read() == before


def test_existing_outputs_are_kept_unless_up_to_date_or_overwritten(tmp_path, capsys, write_raw):
    first = write_raw(orbitrap_varied(seed=1), "a/run_orbitrap.raw")
    other = write_raw(orbitrap_varied(seed=2), "b/run_orbitrap.raw")
    out = tmp_path / "out"
    mgf = out / "run_orbitrap.mgf"

    def convert(path, *flags):
        status = main(["convert", path, "--to", "mgf", "--out", str(out), *flags])
        return status, capsys.readouterr().err.splitlines()

    assert convert(first) == (0, [f"vantoro: 1 converted, 0 up to date, 0 refused, 0 failed; output in {out}"])
    made = mgf.read_bytes()
    assert convert(first) == (0, [f"vantoro: 0 converted, 1 up to date, 0 refused, 0 failed; output in {out}"])
    refusal = f"vantoro: {other}: {mgf} exists and vantoro did not write it from this input (--overwrite replaces it)"
    status, err = convert(other)
    assert (status, err[0]) == (1, refusal) and mgf.read_bytes() == made
    # The same input changed since, or other options: its own output, written again.
    os.utime(first, ns=(0, 0))
    assert convert(first)[1][0].startswith("vantoro: 1 converted") and mgf.read_bytes() == made
    assert convert(first, "--ms-levels", "2,3")[1][0].startswith("vantoro: 1 converted")
    # An output changed since vantoro wrote it is vantoro's no more.
    mgf.write_bytes(b"edited")
    assert convert(first)[0] == 1 and mgf.read_bytes() == b"edited"
    assert convert(other, "--overwrite")[0] == 0 and mgf.read_bytes() != made
    assert visible_files(out) == ["run_orbitrap.mgf"]


def test_every_input_is_accounted_for(tmp_path, capsys, monkeypatch, write_raw):
    good = write_raw(orbitrap_varied(), "in/good_orbitrap.raw")
    os.symlink(tmp_path / "gone", tmp_path / "in" / "dangling.raw")
    os.mkfifo(tmp_path / "in" / "fifo.RAW")
    os.mkdir(tmp_path / "in" / "sub.raw")
    os.mkdir(tmp_path / "locked")
    os.mkdir(tmp_path / "empty")
    real_listdir = os.listdir

    def listdir(path="."):
        if os.fspath(path) == str(tmp_path / "locked"):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real_listdir(path)

    monkeypatch.setattr(os, "listdir", listdir)
    inputs = [str(tmp_path / "in"), str(tmp_path / "locked"), str(tmp_path / "empty")]
    expected = sorted(
        [
            f"vantoro: {tmp_path / 'in' / 'dangling.raw'}: broken symbolic link",
            f"vantoro: {tmp_path / 'in' / 'fifo.RAW'}: a FIFO, not a RAW file",
            f"vantoro: {tmp_path / 'in' / 'sub.raw'}: a directory, not a RAW file",
            f"vantoro: {tmp_path / 'locked'}: cannot list the directory: Permission denied",
            f"vantoro: {tmp_path / 'empty'}: directory holds no .raw files",
        ]
    )
    assert main(["convert", *inputs, "--to", "parquet", "--out", str(tmp_path / "out")]) == 1
    err = capsys.readouterr().err.splitlines()
    assert sorted(err[:-1]) == expected
    assert err[-1].startswith("vantoro: 1 converted, 0 up to date, 0 refused, 5 failed;")
    assert main(["info", *inputs]) == 1
    captured = capsys.readouterr()
    assert sorted(captured.err.splitlines()) == expected
    assert os.path.basename(good) in captured.out
    assert main(["info", str(tmp_path / "empty")]) == 1


def test_errors_name_the_right_file(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    raw = orbitrap_varied().write(tmp_path / "r_orbitrap.raw")
    png = tmp_path / "missing_dir" / "x.png"
    assert main(["plot", raw, "3", "-o", str(png)]) == 1
    assert capsys.readouterr().err == f"vantoro: {png}: cannot write {png}: No such file or directory\n"


def test_an_input_changed_during_conversion_leaves_no_output(tmp_path):
    from vantoro_tools import convert_file

    raw = orbitrap_varied().write(tmp_path / "r_orbitrap.raw")
    calls = []

    def shrink(step):
        calls.append(step)
        if len(calls) == 50:
            os.truncate(raw, CHAIN_BASE + 12000 * 40)

    with pytest.raises(OSError, match="changed while it was being read"):
        convert_file(raw, "parquet", tmp_path / "out", on_progress=shrink)
    assert all_files(tmp_path / "out") == []


def test_dead_partial_files_go_and_live_ones_stay(tmp_path):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    with atomic_path(tmp_path / "live.mgf") as live:
        own = os.path.basename(live)
        pid_part = f".{os.getpid()}-"
        stale = own.replace(pid_part, f".{dead.pid}-").replace("live.mgf", "dead.mgf")
        (tmp_path / stale).write_bytes(b"partial")
        (tmp_path / "notes.part").write_bytes(b"not ours")
        assert remove_dead_parts(tmp_path) == [str(tmp_path / stale)]
        assert sorted(os.listdir(tmp_path)) == sorted([own, "notes.part"])


# -- signals -----------------------------------------------------------------


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """Twenty names of one dense file: a batch that takes a while."""
    pytest.importorskip("numpy")
    src = tmp_path_factory.mktemp("batch")
    first = dense_orbitrap(20000).write(src / "f00_orbitrap.raw")
    for k in range(1, 20):
        os.link(first, src / f"f{k:02d}_orbitrap.raw")
    return src


def start_batch(batch, out):
    cmd = [
        sys.executable,
        "-m",
        "vantoro_tools",
        "convert",
        str(batch),
        "--to",
        "parquet",
        "--out",
        str(out),
        "-j",
        "2",
        "-q",
    ]
    proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    deadline = time.monotonic() + 120
    # Started for real: both workers are converting, each writing a partial file.
    while len([f for f in all_files(out) if f.endswith(".part")] if out.exists() else []) < 2:
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
        time.sleep(0.02)
    workers = descendants(proc.pid)
    assert len(workers) >= 2
    return proc, workers


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_command_and_its_workers(batch, tmp_path, signum, status):
    out = tmp_path / "out"
    proc, workers = start_batch(batch, out)
    proc.send_signal(signum)
    t0 = time.monotonic()
    assert proc.wait(timeout=10) == status
    assert gone_within(workers, max(0.0, 2.0 - (time.monotonic() - t0)) + 0.5)
    assert [f for f in all_files(out) if f.endswith(".part")] == []
    assert len(visible_files(out)) < 40  # the rest of the batch was cancelled
    assert "Traceback" not in proc.stderr.read()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_workers_of_a_killed_command_exit_and_the_next_run_cleans_up(batch, tmp_path):
    out = tmp_path / "out"
    proc, workers = start_batch(batch, out)
    proc.kill()
    proc.wait()
    assert gone_within(workers, 2.5)
    # Whatever the killed run left half-written is removed by the next run.
    assert (
        main(["convert", str(batch / "f00_orbitrap.raw"), "--to", "parquet", "--out", str(out), "-q", "--overwrite"])
        == 0
    )
    assert [f for f in all_files(out) if f.endswith(".part")] == []


def test_an_unreachable_scheduler_fails_fast_in_one_line(tmp_path):
    pytest.importorskip("distributed")
    raw = orbitrap_varied().write(tmp_path / "r_orbitrap.raw")
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()  # accepts, never answers
    script = (
        "import sys, time, distributed; from vantoro_tools.cli import main\n"
        "t = time.monotonic(); status = main(sys.argv[1:])\n"
        "print(status, time.monotonic() - t)\n"
    )
    for address in (f"tcp://127.0.0.1:{silent.getsockname()[1]}", "tcp://127.0.0.1:notaport"):
        run = subprocess.run(
            [
                sys.executable,
                "-c",
                script,
                "convert",
                raw,
                "--to",
                "mgf",
                "--out",
                str(tmp_path / "o"),
                "--dask",
                address,
            ],
            capture_output=True,
            text=True,
            timeout=60,
        )
        status, seconds = run.stdout.split()
        assert status == "2" and float(seconds) < 5
        assert run.stderr.startswith(f"vantoro: cannot reach the Dask scheduler at {address}: ")
        assert len(run.stderr.splitlines()) == 1
    silent.close()
