"""Each output's SHA-256, taken as it is written (never read back), as the
ledger and the stamps record it; the mzML
file checksum computed the same way, whether the opening hashed first was
the one finally written or not."""

import hashlib
import json
import os
import sys
import threading

import pytest

from builders import orbitrap_run, orbitrap_varied
from mzml_check import assert_valid_mzml

pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("psims")
from vantoro_tools.cli import main
from vantoro_tools.run.ledger import LEDGER_DIR
from vantoro_tools.write.mzml import writer as mzml_writer
from vantoro_tools.write.output import Digester, stamp_path


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    src = tmp_path_factory.mktemp("in")
    orbitrap_varied().write(src / "gaps_orbitrap.raw")  # every fourth scan without a peak list
    orbitrap_run(1).write(src / "run_orbitrap.raw")  # every scan with one
    return src


@pytest.mark.parametrize(
    "to, extra",
    [
        ("mzml", []),
        ("mzml", ["--ms-levels", "2"]),  # the count hashed first is wrong: read back once
        ("mgf", []),
        ("parquet", []),
        ("mzpeak", []),
        ("mzpeak", ["--mzpeak-folder"]),
    ],
)
def test_ledger_and_stamps_hold_the_digest_of_each_file_on_disk(inputs, tmp_path, monkeypatch, to, extra):
    from vantoro_tools.run.convert import task

    def read_back(path):
        raise AssertionError(f"{path} read back for its checksum")

    monkeypatch.setattr(task, "sha256_file", read_back)
    out = tmp_path / "out"
    assert main(["convert", str(inputs), "--to", to, "--out", str(out), "-q", "-j", "1", *extra]) == 0
    rows = pq.read_table(out / LEDGER_DIR).to_pylist()
    outputs = [o for row in rows for o in row["outputs"]]
    assert len(rows) == 2 and outputs
    for o in outputs:  # the unpacked archive: one output per member
        assert o["sha256"] == sha256(o["path"])
        with open(stamp_path(o["path"])) as f:
            stamp = json.load(f)
        assert stamp.get("sha256") == o["sha256"]
        if to == "mzml":
            assert_valid_mzml(o["path"])


@pytest.mark.parametrize("catch_up", [False, True])  # the held body hashed here, or beside
@pytest.mark.parametrize("known_after", [None, 300])  # writes before the source's SHA-1 is known
@pytest.mark.parametrize("hold", [1 << 14, 1 << 30])
def test_mzml_body_held_until_the_source_hash_is_known(inputs, tmp_path, monkeypatch, hold, known_after, catch_up):
    """The source's SHA-1 known only at the end, or midway: the body is held
    up to `hold` bytes, then the writer waits for it (small), or all held
    (large), and hashed as written once it is known, in the writing thread
    or by a catch-up thread that the writer waits for whenever it falls
    64 KiB behind; the checksums come out the same as when it is known
    first, and nothing is read back."""
    from vantoro_tools.write.formats import SourceDigest
    from vantoro_tools.write.output import recording_digests

    if catch_up:
        monkeypatch.setattr(mzml_writer, "CATCH_UP", 0)
        monkeypatch.setattr(mzml_writer, "LAG", 1 << 16)

    asked = []

    def done(self):
        asked.append(1)
        return known_after is not None and len(asked) > known_after

    monkeypatch.setattr(mzml_writer, "HOLD", hold)
    monkeypatch.setattr(SourceDigest, "done", done)
    reads = []
    monkeypatch.setattr(mzml_writer, "_read_back", lambda *a: reads.append(a))  # must not be needed
    dest = str(tmp_path / "run.mzML")
    with recording_digests() as digests:
        assert mzml_writer.write_mzml(inputs / "run_orbitrap.raw", dest) == 145
    assert not reads and digests == {os.path.abspath(dest): sha256(dest)}
    assert_valid_mzml(dest)
    assert not [t for t in threading.enumerate() if t.name == "vantoro-mzml-catch-up"]


def test_mzml_catch_up_thread_stopped_when_the_conversion_fails(inputs, tmp_path, monkeypatch):
    from vantoro_tools.source import scans
    from vantoro_tools.write.formats import SourceDigest

    # The source's SHA-1 taken as known only just before the walk fails:
    # the catch-up thread starts with most of the body still to hash.
    monkeypatch.setattr(mzml_writer, "CATCH_UP", 0)
    asked = []
    monkeypatch.setattr(SourceDigest, "done", lambda self: asked.append(1) or len(asked) > 100)
    started = []
    real = mzml_writer._CatchUp

    def catch_up(*args):
        started.append(real(*args))
        return started[-1]

    def failing(self):
        for scan in walk(self):
            if len(asked) > 100:
                raise OSError("disk gone")
            yield scan

    walk = scans.ScanSource.scans
    monkeypatch.setattr(mzml_writer, "_CatchUp", catch_up)
    monkeypatch.setattr(scans.ScanSource, "scans", failing)
    with pytest.raises(OSError, match="disk gone"):
        mzml_writer.write_mzml(inputs / "run_orbitrap.raw", tmp_path / "run.mzML")
    # Stopped by the writer (not merely done), and ended.
    assert started and all(c.stopped and not c.thread.is_alive() for c in started)
    assert not os.path.exists(tmp_path / "run.mzML")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a thread's own priority is Linux's")
def test_run_behind_lowers_only_the_calling_thread():
    from vantoro_tools.base.cores import run_behind

    main = os.getpriority(os.PRIO_PROCESS, threading.get_native_id())
    seen = []

    def pool_thread():
        run_behind()
        seen.append(os.getpriority(os.PRIO_PROCESS, threading.get_native_id()))

    t = threading.Thread(target=pool_thread)
    t.start()
    t.join()
    assert seen == [min(19, main + 5)]
    assert os.getpriority(os.PRIO_PROCESS, threading.get_native_id()) == main


@pytest.mark.parametrize("inline", [0, 1 << 20, 64 << 20])  # threads from the start, midway, never
def test_digester_hashes_in_order_what_it_was_given_even_when_the_buffer_changes(monkeypatch, inline):
    from vantoro_tools.write.output import digests

    monkeypatch.setattr(digests, "INLINE", inline)
    buffer = bytearray(b"c" * 300_000)
    pieces = [b"a" * 10, bytearray(b"b" * (1 << 20)), memoryview(buffer).toreadonly(), b"d" * (3 << 20), b"e"]
    with Digester("sha1", "sha256") as digester:
        for piece in pieces:
            digester.update(piece)
            # A writer's buffer filled again at once, also behind a read-only view.
            if isinstance(piece, bytearray):
                piece[:] = b"x" * len(piece)
            elif isinstance(piece, memoryview):
                buffer[:] = b"y" * len(buffer)
        whole = b"a" * 10 + b"b" * (1 << 20) + b"c" * 300_000 + b"d" * (3 << 20) + b"e"
        assert digester.hexdigest("sha1") == hashlib.sha1(whole).hexdigest()
        digester.only("sha256")
        digester.update(b"tail")
        assert digester.hexdigest("sha256") == hashlib.sha256(whole + b"tail").hexdigest()
        assert digester.hexdigest("sha1") == hashlib.sha1(whole).hexdigest()
