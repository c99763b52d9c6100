"""The companion's guarantees on a bad day, from every command and from the
library alike: no input or foreign file is written over, one run per output
directory, workers that end with their command, a script without the main
guard, arguments that say what is wrong, Ctrl-C in a terminal, and names
that cannot fake a line."""

import contextlib
import os
import pty
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from builders import dense_orbitrap, orbitrap_varied
from processes import default_sigint, descendants, gone_within

pytest.importorskip("vantoro_tools")
np = pytest.importorskip("numpy")
from vantoro_tools import LayoutError, MeaninglessOptions, OutputBusy, OutputExists, WriteOptions, convert_many
from vantoro_tools.analyse.chrom import chromatograms
from vantoro_tools.cli import main

VANTORO = [sys.executable, "-m", "vantoro_tools"]
CONVERT = ("pyarrow", "isal", "deflate", "pybase64")  # what the converters need
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


@pytest.fixture
def raw(tmp_path):
    return orbitrap_varied().write(tmp_path / "run_orbitrap.raw")


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """Eight names of one dense file: a batch that takes a few seconds."""
    src = tmp_path_factory.mktemp("batch")
    first = dense_orbitrap(20000).write(src / "f00_orbitrap.raw")
    for k in range(1, 8):
        os.link(first, src / f"f{k:02d}_orbitrap.raw")
    return src


def visible(root):
    return sorted(f for _, _, names in os.walk(root) for f in names if not f.startswith("."))


def converters():
    for name in CONVERT:
        pytest.importorskip(name)


def wait_for_part(out, proc, seconds=60):
    deadline = time.monotonic() + seconds
    while not (out.exists() and any(f.endswith(".part") for _, _, fs in os.walk(out) for f in fs)):
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
        time.sleep(0.02)


@pytest.mark.parametrize(
    "argv",
    [
        ["plot", "{raw}", "2", "-o", "{raw}"],
        ["chrom", "{raw}", "-o", "{raw}"],
        ["report", "{raw}", "-o", "{other}", "-q"],
        ["plot", "{raw}", "2", "-o", "{other}"],
        ["chrom", "{raw}", "-o", "{other}"],
    ],
)
def test_no_command_writes_over_an_input_or_a_foreign_file(raw, tmp_path, capsys, argv):
    if argv[0] in ("plot", "chrom"):
        pytest.importorskip("matplotlib")  # the output is drawn: its suffix names no CSV
    other = orbitrap_varied(seed=2).write(tmp_path / "other.raw")
    before = {p: open(p, "rb").read() for p in (raw, other)}
    args = [a.format(raw=raw, other=other) for a in argv]
    assert main(args) == 1
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and ("is an input file" in err or "vantoro did not write it" in err)
    assert all(open(p, "rb").read() == data for p, data in before.items())
    if args[-1] == other:  # a file that is no input is replaced when asked to
        assert main([*args, "--overwrite"]) == 0 and open(other, "rb").read() != before[other]


def test_the_library_writes_over_nothing_either(raw, tmp_path):
    pytest.importorskip("matplotlib")
    from vantoro_tools.analyse.qc import run_qc
    from vantoro_tools.report.page import write_report
    from vantoro_tools.report.plot import plot_spectrum

    before = open(raw, "rb").read()
    with pytest.raises(OutputExists, match="is an input file"):
        plot_spectrum(raw, 2, raw)
    with pytest.raises(OutputExists, match="is an input file"):
        write_report([run_qc(raw)], raw, overwrite=True)
    assert open(raw, "rb").read() == before
    png = tmp_path / "s.png"
    plot_spectrum(raw, 2, png)
    plot_spectrum(raw, 3, png)  # its own output, from the same input: replaced
    assert [f for f in os.listdir(tmp_path) if f.endswith(".part")] == []


@linux_only
def test_one_run_per_output_directory(batch, tmp_path):
    converters()
    out = tmp_path / "out"
    first = subprocess.Popen(
        [*VANTORO, "convert", str(batch), "--to", "mzml", "--compression", "zlib", "--out", str(out), "-j", "1"],
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for_part(out, first)
    second = subprocess.run(
        [*VANTORO, "convert", str(batch), "--to", "mzml", "--compression", "none", "--out", str(out), "-j", "1"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert second.returncode == 1
    assert second.stderr.startswith(f"vantoro: cannot write {out}: busy: another vantoro run (process {first.pid} ")
    assert len(second.stderr.splitlines()) == 1
    assert first.wait(timeout=120) == 0
    assert (
        first.stderr.read().splitlines()[-1]
        == f"vantoro: 8 converted, 0 up to date, 0 refused, 0 failed; output in {out}"
    )
    mzml = open(out / "f03_orbitrap.mzML", "rb").read()
    assert b"zlib compression" in mzml and b"no compression" not in mzml
    with pytest.raises(OutputBusy):  # the library holds the directory the same way
        from vantoro_tools.write.output import DirectoryLock

        with DirectoryLock(out):
            convert_many(batch / "f00_orbitrap.raw", "mgf", out)
    # The lock goes with its holder: the directory is free again.
    assert main(["convert", str(batch / "f00_orbitrap.raw"), "--to", "mgf", "--out", str(out), "-q"]) == 0


@linux_only
def test_a_killed_command_not_yet_reaped_ends_its_workers(batch, tmp_path):
    converters()
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [*VANTORO, "convert", str(batch), "--to", "parquet", "--out", str(out), "-j", "2", "-q"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    wait_for_part(out, proc)
    workers = descendants(proc.pid)
    os.kill(proc.pid, signal.SIGKILL)  # a zombie until reaped below
    assert gone_within(workers, 2.5)
    proc.communicate(timeout=10)  # the workers held its pipes: they are closed


def test_a_script_without_the_main_guard_fails_at_once_in_one_line(batch, tmp_path):
    converters()
    script = tmp_path / "convert_all.py"
    script.write_text(
        textwrap.dedent(f"""\
        from vantoro_tools import convert_many
        outcomes = convert_many([{str(batch)!r}], "parquet", {str(tmp_path / "out")!r}, jobs=2)
        print(len(outcomes), "outcomes")
        """)
    )
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert run.returncode != 0
    lines = run.stderr.strip().splitlines()
    assert lines[-1].startswith("vantoro_tools.run.pool.ScriptReentered: the batch ran again in a worker process")
    assert 'if __name__ == "__main__":' in lines[-1]
    assert "BrokenProcessPool" not in run.stderr and "outcomes" not in run.stdout


def test_library_arguments_say_what_is_wrong(raw, tmp_path):
    converters()
    assert len(convert_many(str(os.path.dirname(raw)), "parquet", tmp_path / "o", jobs=1)) == 1  # one path
    for bad in (-1, "-1ppm"):
        with pytest.raises(ValueError, match="tolerance"):
            chromatograms(raw, tolerance=bad)
    with pytest.raises(TypeError, match="tolerance"):
        chromatograms(raw, tolerance=[10])
    with pytest.raises(TypeError, match="inputs"):
        convert_many(42, "mgf", tmp_path / "o")
    with pytest.raises(ValueError, match="jobs"):
        convert_many(raw, "mgf", tmp_path / "o", jobs=0)
    unmarked = orbitrap_varied().write(tmp_path / "sample01.raw")
    with pytest.raises(LayoutError, match="no layout marker"):
        chromatograms(unmarked)
    with pytest.raises(MeaninglessOptions, match="MGF holds fragment spectra"):
        convert_many(raw, "mgf", tmp_path / "o", options=WriteOptions(ms_levels=frozenset({1})))


def test_mgf_of_ms1_alone_is_refused_not_written_empty(raw, tmp_path, capsys):
    converters()
    assert main(["convert", raw, "--to", "mgf", "--ms-levels", "1", "--out", str(tmp_path / "o")]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == ["vantoro: MGF holds fragment spectra (MS2 and up): MS levels 1 would write no spectrum"]
    assert not (tmp_path / "o").exists()


def test_names_are_escaped_in_every_line(tmp_path, capsys):
    converters()
    odd = orbitrap_varied().write(tmp_path / "x\nvantoro: 1 converted.raw")  # no layout marker: refused
    assert main(["convert", odd, "--to", "mgf", "--out", str(tmp_path / "o")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 2 and err.startswith(f"vantoro: {tmp_path}/x\\nvantoro: 1 converted.raw: no layout")
    assert main(["info", odd]) == 1
    assert "x\\nvantoro: 1 converted.raw" in capsys.readouterr().out


@linux_only
def test_ctrl_c_in_a_terminal_prints_one_line(batch, tmp_path):
    converters()
    out = tmp_path / "out"
    leader, follower = pty.openpty()  # standard error is a terminal: the bar shows
    proc = subprocess.Popen(
        [*VANTORO, "convert", str(batch), "--to", "parquet", "--out", str(out), "-j", "2"],
        stderr=follower,
        start_new_session=True,
        preexec_fn=default_sigint,
    )
    os.close(follower)
    shown = b""
    while not (out.exists() and sum(f.endswith(".part") for _, _, fs in os.walk(out) for f in fs) >= 2):
        if select.select([leader], [], [], 0.05)[0]:
            with contextlib.suppress(OSError):  # EIO once the command has ended
                shown += os.read(leader, 65536)
        assert proc.poll() is None, shown
    os.killpg(proc.pid, signal.SIGINT)  # as a terminal's Ctrl-C reaches the whole group
    assert proc.wait(timeout=10) == 130
    while select.select([leader], [], [], 0.2)[0]:
        try:
            shown += os.read(leader, 65536)
        except OSError:
            break
    os.close(leader)
    text = shown.decode(errors="replace").replace("\r", "\n")
    lines = [line for line in text.splitlines() if line.startswith("vantoro:")]
    assert lines == ["vantoro: interrupted"], text
    assert "task failed" not in text and "8/8" not in text
    assert [f for _, _, fs in os.walk(out) for f in fs if f.endswith(".part")] == []


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_a_stop_that_lands_in_a_callback_is_not_lost(capsys):
    """A signal handled inside a weakref callback (as the import system's
    are) cannot raise there: the stop comes again and unwinds the task."""
    import weakref

    from vantoro_tools.run.errors import Stopped
    from vantoro_tools.run.pool import stop_on_sigterm

    def callback(_):
        os.kill(os.getpid(), signal.SIGTERM)
        for _ in range(100_000):  # the handler runs here, in the callback
            pass

    class Thing:
        pass

    with pytest.raises(Stopped), stop_on_sigterm():
        thing = Thing()
        ref = weakref.ref(thing, callback)
        del thing
        time.sleep(5)  # the stop ends it
    assert ref() is None and capsys.readouterr().err == ""
