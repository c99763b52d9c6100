"""Batches on a real Dask cluster (a scheduler and workers started as
processes through Dask's own commands on 127.0.0.1), the ledger read back by
DuckDB, resuming and retrying. Every process a test starts is killed, with
its process group, when the test ends however it ends."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from builders import dense_orbitrap, small_v57
from processes import Processes, alive, descendants, gone_within

pytest.importorskip("vantoro_tools")
for _name in ("distributed", "pyarrow", "isal", "deflate", "pybase64", "s3fs", "duckdb"):
    pytest.importorskip(_name)
import duckdb

from vantoro_tools.run.ledger import LEDGER_DIR
from vantoro_tools.write.output import owner_tag, stamp_path

BIN = os.path.dirname(sys.executable)
FORMATS = ("parquet", "mgf", "mzml")


@pytest.fixture
def procs():
    started = Processes()
    yield started
    started.stop()


def start_cluster(procs, tmp_path, workers=2):
    """A scheduler and `workers` workers (one thread each, no nanny); the
    scheduler's address and the workers' processes."""
    info = tmp_path / "scheduler.json"
    log = open(tmp_path / "cluster.log", "ab")
    scheduler = procs.start(
        [f"{BIN}/dask", "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file", info],
        stdout=log,
        stderr=log,
    )
    deadline = time.monotonic() + 60
    while not info.exists() or not info.read_text().strip():
        assert time.monotonic() < deadline and scheduler.poll() is None, "the scheduler did not start"
        time.sleep(0.1)
    address = json.loads(info.read_text())["address"]
    started = [
        procs.start(
            [f"{BIN}/dask", "worker", address, "--nthreads", "1", "--no-nanny", "--no-dashboard"]
            + ["--host", "127.0.0.1", "--death-timeout", "5", "--name", f"w{k}"],
            stdout=log,
            stderr=log,
        )
        for k in range(workers)
    ]
    from distributed import Client

    with Client(address, timeout=30) as client:
        client.wait_for_workers(workers, timeout=60)
    return scheduler, address, started


def vantoro(*args, **kwargs):
    return subprocess.run([f"{BIN}/vantoro", *map(str, args)], capture_output=True, text=True, timeout=300, **kwargs)


def outputs(root):
    return {
        os.path.relpath(os.path.join(d, f), root): open(os.path.join(d, f), "rb").read()
        for d, dirs, names in os.walk(root)
        if not os.path.basename(d).startswith(".")
        for f in names
        if not f.startswith(".")
    }


def parts(root):
    return [f for _, _, names in os.walk(root) for f in names if f.endswith(".part")]


def final_states(out):
    return duckdb.sql(
        f"SELECT input, arg_max(status, recorded) AS status, count(*) AS records "
        f"FROM '{out}/{LEDGER_DIR}/*.parquet' GROUP BY input ORDER BY input"
    ).fetchall()


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """Six files big enough that a conversion takes a moment."""
    src = tmp_path_factory.mktemp("in")
    for k in range(6):
        dense_orbitrap(6000 + 500 * k).write(src / f"r{k}_orbitrap.raw")
    return src


@pytest.fixture(scope="module")
def local(batch, tmp_path_factory):
    out = tmp_path_factory.mktemp("local")
    for to in FORMATS:
        assert vantoro("convert", batch, "--to", to, "--out", out, "-q", "-j", "1").returncode == 0
    return outputs(out)


def test_cluster_writes_what_a_local_run_writes(procs, tmp_path, batch, local):
    _, address, _ = start_cluster(procs, tmp_path)
    out = tmp_path / "out"
    for to in FORMATS:
        run = vantoro("convert", batch, "--to", to, "--out", out, "-q", "--dask", address)
        assert run.returncode == 0, run.stderr
    assert outputs(out) == local and len(local) == 24
    workers = {w for (w,) in duckdb.sql(f"SELECT DISTINCT worker FROM '{out}/{LEDGER_DIR}/*.parquet'").fetchall()}
    assert len(workers) == 2  # both workers took files


def wait_for_part(out, pids, seconds=120):
    """The pid of one of `pids` once it writes a partial output."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for name in parts(out):
            pid = int(name.rsplit(".", 2)[-2].split("-")[0])
            if pid in pids:
                return pid
        time.sleep(0.01)
    raise AssertionError("no worker started writing")


@pytest.mark.parametrize("to", FORMATS)
def test_killed_worker_has_its_files_redone(procs, tmp_path, batch, local, to):
    _, address, workers = start_cluster(procs, tmp_path)
    out = tmp_path / "out"
    command = procs.start(
        [f"{BIN}/vantoro", "convert", batch, "--to", to, "--out", out, "-q", "--dask", address],
        stderr=subprocess.PIPE,
        text=True,
    )
    victim = wait_for_part(out, {w.pid for w in workers})
    os.kill(victim, signal.SIGKILL)
    _, err = command.communicate(timeout=300)
    assert command.returncode == 0, err
    want = {k: v for k, v in local.items() if k.endswith((".mgf", ".mzML")) or k.startswith(("scans", "peaks"))}
    want = {k: v for k, v in want.items() if {"parquet": "parquet", "mgf": ".mgf", "mzml": ".mzML"}[to] in k}
    assert outputs(out) == want and len(want) == 6 * (2 if to == "parquet" else 1)
    assert parts(out) == []  # the killed worker's partial files are gone
    assert [(s, n) for _, s, n in final_states(out)] == [("converted", 1)] * 6


def test_scheduler_gone_ends_the_command(procs, tmp_path, batch):
    scheduler, address, workers = start_cluster(procs, tmp_path)
    out = tmp_path / "out"
    command = procs.start(
        [f"{BIN}/vantoro", "convert", batch, "--to", "mzml", "--out", out, "-q", "--dask", address],
        stderr=subprocess.PIPE,
        text=True,
    )
    wait_for_part(out, {w.pid for w in workers})
    os.killpg(scheduler.pid, signal.SIGKILL)
    gone = time.monotonic()
    _, err = command.communicate(timeout=60)
    assert time.monotonic() - gone < 15
    assert command.returncode == 1
    lines = err.strip().splitlines()
    assert all(line.startswith("vantoro: ") for line in lines), err
    unfinished = {line.split(": ")[1] for line in lines if "scheduler" in line}
    # A worker may finish its task, and record it, after the command has said it was lost.
    finished = {r for r, s, _ in final_states(out) if s == "converted"}
    assert len(unfinished | finished) == 6 and unfinished - finished, err
    assert all(alive(p) is False for p in descendants(command.pid))
    assert gone_within([w.pid for w in workers], 30)  # workers without their scheduler end too


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """Three good files and one that fails the layout check."""
    src = tmp_path_factory.mktemp("mixed")
    for k in range(3):
        dense_orbitrap(2000 + k).write(src / f"m{k}_orbitrap.raw")
    small_v57().write(src / "no_marker.raw")
    return src


def test_ledger_resume_accounts_for_every_input_once(tmp_path, mixed):
    out = tmp_path / "out"
    summary = tmp_path / "summary.json"
    first = vantoro("convert", mixed, "--to", "mgf", "--out", out, "-q", "-j", "2", "--summary-json", summary)
    assert first.returncode == 1
    counts = json.loads(summary.read_text())["counts"]
    assert counts == {"converted": 3, "refused": 1}
    # An output lost since: the ledger and the outputs disagree, so it is redone.
    os.unlink(out / "m1_orbitrap.mgf")
    second = vantoro("convert", mixed, "--to", "mgf", "--out", out, "-q", "-j", "1", "--summary-json", summary)
    assert second.returncode == 1
    document = json.loads(summary.read_text())
    assert document["counts"] == {"converted": 1, "up to date": 2, "refused": 1}
    states = dict((os.path.basename(i), s) for i, s, _ in final_states(out))
    assert states == {
        "m0_orbitrap.raw": "up to date",
        "m1_orbitrap.raw": "converted",
        "m2_orbitrap.raw": "up to date",
        "no_marker.raw": "refused",
    }
    outputs_sha = duckdb.sql(
        f"SELECT o.sha256 FROM (SELECT unnest(outputs) AS o FROM '{out}/{LEDGER_DIR}/*.parquet' "
        f"WHERE input LIKE '%m1_orbitrap.raw' AND status = 'converted' ORDER BY recorded DESC LIMIT 1)"
    ).fetchall()[0][0]

    assert outputs_sha == hashlib.sha256((out / "m1_orbitrap.mgf").read_bytes()).hexdigest()


def test_retry_redoes_transient_failures_but_not_refusals(tmp_path, mixed):
    out = tmp_path / "out"
    out.mkdir()
    (out / "scans").write_text("a file where the scans directory belongs")  # every write fails
    run = vantoro("convert", mixed, "--to", "parquet", "--out", out, "-q", "-j", "2", "--retry", "2")
    assert run.returncode == 1
    assert len(run.stderr.strip().splitlines()) == 4  # one line per input, not per attempt
    records = duckdb.sql(
        f"SELECT regexp_extract(input, '[^/]+$') AS f, attempt, status, transient "
        f"FROM '{out}/{LEDGER_DIR}/*.parquet' ORDER BY f, attempt"
    ).fetchall()
    # The refused file is tried once; the others three times (1 + 2 retries), every attempt recorded.
    assert [r for r in records if r[0] == "no_marker.raw"] == [("no_marker.raw", 1, "refused", False)]
    for k in range(3):
        assert [(a, s, t) for f, a, s, t in records if f == f"m{k}_orbitrap.raw"] == [
            (1, "failed", True),
            (2, "failed", True),
            (3, "failed", True),
        ]


# -- object storage: moto's S3 server on 127.0.0.1 -----------------------------------


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def s3(procs, tmp_path, monkeypatch):
    """moto's standalone S3 server, and the environment that points s3fs at it."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    port = free_port()
    log = open(tmp_path / "moto.log", "ab")
    server = procs.start(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)], stdout=log, stderr=log
    )
    env = {
        "AWS_ACCESS_KEY_ID": "testing",
        "AWS_SECRET_ACCESS_KEY": "testing",
        "AWS_DEFAULT_REGION": "us-east-1",
        "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}",
    }
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    import s3fs

    deadline = time.monotonic() + 60
    while True:
        assert server.poll() is None and time.monotonic() < deadline, "moto's server did not start"
        try:
            fs = s3fs.S3FileSystem(skip_instance_cache=True)
            fs.mkdir("in-bucket")
            break
        except Exception:
            time.sleep(0.2)
    fs.mkdir("out-bucket")
    return fs


def objects(fs, prefix):
    return {path[len(prefix) + 1 :]: fs.cat_file(path) for path in fs.find(prefix) if "/." not in path[len(prefix) :]}


@pytest.mark.parametrize("to", FORMATS)
def test_s3_inputs_and_outputs(s3, tmp_path, batch, local, to):
    for name in sorted(os.listdir(batch))[:2]:
        s3.put_file(str(batch / name), f"in-bucket/runs/{name}")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    out = "s3://out-bucket/results"
    run = vantoro("convert", "s3://in-bucket/runs/", "--to", to, "--out", out, "-q", "-j", "2", "--scratch", scratch)
    assert run.returncode == 0, run.stderr
    suffix = {"parquet": ".parquet", "mgf": ".mgf", "mzml": ".mzML"}[to]
    want = {k: v for k, v in local.items() if k.endswith(suffix) and ("r0_" in k or "r1_" in k)}
    got = objects(s3, "out-bucket/results")
    for key, data in got.items():  # each stamp names its object's SHA-256, taken as the file was written
        stamp = json.loads(s3.cat_file(stamp_path(f"out-bucket/results/{key}")))
        assert stamp["sha256"] == hashlib.sha256(data).hexdigest()
    if to == "mzml":  # the source file's location is the folder it came from; the runs are the same
        assert all(b'location="s3://in-bucket/runs"' in v for v in got.values())
        got, want = ({k: v[v.index(b"<run ") : v.index(b"</run>")] for k, v in d.items()} for d in (got, want))
    assert got == want and len(want) == 2 * (2 if to == "parquet" else 1)
    assert os.listdir(scratch) == []  # every fetched file and staged output removed
    # Up to date: skipped; a foreign object is never replaced without --overwrite.
    again = vantoro("convert", "s3://in-bucket/runs/", "--to", to, "--out", out, "--scratch", scratch)
    assert again.returncode == 0 and "2 up to date" in again.stderr
    first = sorted(want)[0]
    s3.pipe_file(f"out-bucket/results/{first}", b"someone else's")
    s3.rm(f"out-bucket/results/.{os.path.basename(first)}.vantoro.json")
    kept = vantoro("convert", "s3://in-bucket/runs/", "--to", to, "--out", out, "-q", "--scratch", scratch)
    assert kept.returncode == 1 and "--overwrite" in kept.stderr
    assert s3.cat_file(f"out-bucket/results/{first}") == b"someone else's"
    states = duckdb.sql(
        f"SELECT input, arg_max(status, recorded) FROM read_parquet({[str(p) for p in ledger_files(s3, tmp_path)]}) "
        "GROUP BY input ORDER BY input"
    ).fetchall()
    assert [s for _, s in states] == ["refused", "up to date"]  # the final state of each input


@pytest.mark.parametrize("folder", [False, True])
def test_s3_mzpeak_outputs(s3, tmp_path, batch, folder):
    """mzPeak archives, zipped or unpacked, written to object storage as a
    local run writes them; only the source file's location differs."""
    import io
    import zipfile

    import pyarrow.parquet as pq

    name = sorted(os.listdir(batch))[0]
    s3.put_file(str(batch / name), f"in-bucket/runs/{name}")
    form = ["--mzpeak-folder"] if folder else []
    out, local = "s3://out-bucket/mzpeak", tmp_path / "local"
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    run = vantoro("convert", "s3://in-bucket/runs/", "--to", "mzpeak", *form, "--out", out, "-q", "--scratch", scratch)
    assert run.returncode == 0, run.stderr
    assert vantoro("convert", batch / name, "--to", "mzpeak", *form, "--out", local, "-q").returncode == 0
    got, want = objects(s3, "out-bucket/mzpeak"), outputs(local)
    assert sorted(got) == sorted(want) and len(want) == (8 if folder else 1)
    stem = name[: -len(".raw")]

    def members(found):
        if folder:
            return {os.path.basename(k): v for k, v in found.items()}
        with zipfile.ZipFile(io.BytesIO(found[f"{stem}.mzpeak"])) as z:
            return {n: z.read(n) for n in z.namelist()}

    got, want = members(got), members(want)
    assert sorted(got) == sorted(want)
    index = json.loads(got.pop("mzpeak_index.json"))
    (source,) = index["metadata"]["file_description"]["source_files"]
    assert source["location"] == "s3://in-bucket/runs"  # where it came from; the rest is the local run's
    for member, data in got.items():
        assert pq.read_table(io.BytesIO(data)).equals(pq.read_table(io.BytesIO(want[member]))), member


def ledger_files(fs, tmp_path):
    local = tmp_path / "ledger"
    fs.get(f"out-bucket/results/{LEDGER_DIR}/", str(local) + "/", recursive=True)
    return sorted(local.glob("*.parquet"))


def test_s3_failed_upload_leaves_no_object_and_no_scratch(s3, tmp_path, batch):
    name = sorted(os.listdir(batch))[0]
    s3.put_file(str(batch / name), f"in-bucket/runs/{name}")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    # No such bucket: the lock object cannot be written, so no file is converted (each fails, transiently).
    out = "s3://missing-bucket/results"
    run = vantoro(
        "convert", "s3://in-bucket/runs/", "--to", "mgf", "--out", out, "-q", "--retry", "1", "--scratch", scratch
    )
    assert run.returncode == 1
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1, run.stderr
    line = lines[0]
    assert line.startswith(f"vantoro: s3://in-bucket/runs/{name}: cannot write s3://missing-bucket/results/")
    assert os.listdir(scratch) == []
    assert s3.find("out-bucket") == []


# -- info at scale ----------------------------------------------------------------------


def test_info_on_the_pool_and_its_progress_on_a_terminal(tmp_path, mixed):
    import pty

    one, two = (vantoro("info", "--json", mixed, "-j", jobs) for jobs in (1, 2))
    assert one.returncode == two.returncode == 1  # the file without a layout marker
    assert json.loads(one.stdout) == json.loads(two.stdout) and len(json.loads(one.stdout)) == 4
    assert one.stderr == two.stderr
    # On a terminal, standard error shows the bar counting files.
    import fcntl
    import struct
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal 100 wide
    proc = subprocess.Popen(
        [f"{BIN}/vantoro", "info", str(mixed), "-j", "2"], stdout=subprocess.DEVNULL, stderr=follower, stdin=follower
    )
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    assert proc.wait(timeout=120) == 1
    os.close(leader)
    assert b"/4 files" in seen


# -- the ledger across many batches; one run per output prefix under a URL -------------


def ledger_names(out):
    return sorted(os.listdir(out / LEDGER_DIR))


def wait_for(predicate, seconds=120):
    deadline = time.monotonic() + seconds
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_ledger_compacted_across_batches_killed_and_resumed(procs, tmp_path, batch, mixed):
    import pyarrow as pa
    import pyarrow.parquet as pq

    from vantoro_tools.run.ledger import latest

    out = tmp_path / "out"
    src = tmp_path / "in"
    src.mkdir()
    for name in sorted(os.listdir(mixed)) + sorted(os.listdir(batch))[:3]:
        os.symlink((mixed if name.startswith(("m", "no_")) else batch) / name, src / name)
    # A first batch of the mixed files: its records merged into one file.
    assert (
        vantoro(
            "convert", *(src / n for n in os.listdir(mixed)), "--to", "mgf", "--out", out, "-q", "-j", "1"
        ).returncode
        == 1
    )
    (first,) = ledger_names(out)
    assert first.endswith(".parquet") and first.count("-") == 1
    # A batch killed mid-way: its record files are left as they were written.
    killed = procs.start([f"{BIN}/vantoro", "convert", src, "--to", "mgf", "--out", out, "-q", "-j", "1"])
    wait_for(lambda: any(n.endswith("-0000002.parquet") for n in ledger_names(out)))
    killed.kill()
    killed.wait()
    # The record being written when the batch was killed is a hidden partial file.
    records = [n for n in ledger_names(out) if n != first and not n.startswith(".")]
    assert records and all(n.count("-") == 2 for n in records)
    # As if it had been killed between writing its merged file and removing its record files.
    dying = records[0].rsplit("-", 1)[0]
    # And in the middle of writing a record.
    host = owner_tag().split("@")[1]
    (out / LEDGER_DIR / f".{dying}-0000009.parquet.0badf00d.{killed.pid}-1@{host}.part").write_bytes(b"PAR1")
    pq.write_table(
        pa.concat_tables([pq.read_table(out / LEDGER_DIR / n) for n in records]), out / LEDGER_DIR / f"{dying}.parquet"
    )
    # Resumed: the killed batch's files are tidied, every input accounted for once.
    resumed = vantoro("convert", src, "--to", "mgf", "--out", out, "-q", "-j", "1")
    assert resumed.returncode == 1  # the file without a layout marker, refused each time
    names = ledger_names(out)
    assert len(names) == 3 and all(n.count("-") == 1 for n in names) and f"{dying}.parquet" in names
    found = {os.path.basename(k): v["status"] for k, v in latest(str(out)).items()}
    assert set(found) == set(os.listdir(src))
    assert {n: found[n] for n in os.listdir(mixed)} == {
        n: ("refused" if n == "no_marker.raw" else "up to date") for n in os.listdir(mixed)
    }
    # Converted by the killed batch (then up to date) or by the resumed one.
    assert {found[n] for n in sorted(os.listdir(batch))[:3]} <= {"converted", "up to date"}
    # DuckDB over the directory agrees, each record once.
    rows = duckdb.sql(
        f"SELECT regexp_extract(input, '[^/]+$'), arg_max(status, recorded), count(*), count(DISTINCT (batch, seq)) "
        f"FROM '{out}/{LEDGER_DIR}/*.parquet' GROUP BY input"
    ).fetchall()
    assert {r[0]: r[1] for r in rows} == found
    assert all(total == distinct for _, _, total, distinct in rows)


def test_ledger_merges_many_batches_into_one_file(tmp_path):
    from vantoro_tools.run.ledger import MERGE_AT, Ledger, latest
    from vantoro_tools.run.outcome import Outcome, failed

    out = str(tmp_path)
    for b in range(MERGE_AT + 2):
        ledger = Ledger(out, {"format": "mgf"})
        for k in range(3):
            source = f"/in/f{k}.raw"
            outcome = failed(source, "broken", transient=True) if k == b % 3 else Outcome(source, ())
            ledger.record(outcome, source)
        ledger.close()
        assert len(ledger_names(tmp_path)) <= MERGE_AT
    assert len(ledger_names(tmp_path)) == 2  # all merged once, then one more batch
    found = {k: v["status"] for k, v in latest(out).items()}
    last = (MERGE_AT + 1) % 3
    assert found == {f"/in/f{k}.raw": "failed" if k == last else "converted" for k in range(3)}
    ((count,),) = duckdb.sql(f"SELECT count(*) FROM '{out}/{LEDGER_DIR}/*.parquet'").fetchall()
    assert count == 3 * (MERGE_AT + 2)


def lock_object(fs):
    try:
        return json.loads(fs.cat_file("out-bucket/results/.vantoro.lock"))
    except FileNotFoundError:
        return None


def test_s3_output_held_by_one_run(s3, procs, tmp_path, batch):
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    out = "s3://out-bucket/results"
    argv = [f"{BIN}/vantoro", "convert", batch, "--to", "mzml", "--out", out, "-q", "-j", "1", "--scratch", scratch]
    first = procs.start(argv, stderr=subprocess.PIPE, text=True)
    wait_for(lambda: lock_object(s3) is not None)
    os.kill(first.pid, signal.SIGSTOP)  # held while the second run tries
    assert lock_object(s3)["pid"] == first.pid
    busy = vantoro(*argv[1:])
    assert busy.returncode == 1 and first.poll() is None
    (line,) = busy.stderr.strip().splitlines()
    assert f"{out}: busy: another vantoro run (process {first.pid} on " in line and "batch 20" in line
    # Killed outright: its lock is left, and taken over by the next run on this host.
    first.kill()
    first.wait()
    assert lock_object(s3)["pid"] == first.pid
    again = vantoro(*argv[1:])
    assert again.returncode == 0, again.stderr
    assert lock_object(s3) is None  # released
    names = [os.path.basename(p) for p in s3.ls(f"out-bucket/results/{LEDGER_DIR}")]
    assert all(n.count("-") == 1 for n in names)  # the killed run's records merged too


def lock(**owner):
    return json.dumps({"host": "elsewhere", "pid": 7, "start": 1, **owner}).encode()


@pytest.mark.parametrize(
    "holder, busy",
    [
        (lock(refreshed=time.time() + 3600), True),
        (lock(refreshed=time.time() - 3600), False),  # expired
        (lock(), False),  # never refreshed
        (b"\x00 not a lock", False),  # no owner to ask
    ],
)
def test_s3_lock_left_by_another_host(s3, tmp_path, batch, holder, busy):
    s3.pipe_file("out-bucket/results/.vantoro.lock", holder)
    run = vantoro("convert", batch / "r0_orbitrap.raw", "--to", "mgf", "--out", "s3://out-bucket/results", "-q")
    assert run.returncode == int(busy)
    if busy:
        assert "busy: another vantoro run (process 7 on elsewhere)" in run.stderr
        assert s3.cat_file("out-bucket/results/.vantoro.lock") == holder  # left as it was
    else:
        assert run.stderr == "" and lock_object(s3) is None


def test_store_without_conditional_writes_says_so(tmp_path, mixed):
    from vantoro_tools.write.output import LockUnsupported, RemoteLock

    with pytest.raises(LockUnsupported, match="memory:// is not S3; this batch takes no lock"):
        RemoteLock("memory://out").__enter__()
    run = vantoro("convert", mixed / "m0_orbitrap.raw", "--to", "mgf", "--out", "memory://out", "-j", "1")
    assert run.returncode == 0
    assert run.stderr.splitlines()[0] == (
        "vantoro: cannot write memory://out: cannot lock: memory:// is not S3; "
        "this batch takes no lock: run one batch per output prefix at a time"
    )


def test_unreadable_ledger_file_neither_fails_the_batch_nor_hides_its_records(tmp_path):
    from vantoro_tools.run.ledger import Ledger, latest
    from vantoro_tools.run.outcome import Outcome

    (tmp_path / LEDGER_DIR).mkdir()
    (tmp_path / LEDGER_DIR / "20000101T000000Z-deadbeef-0000001.parquet").write_bytes(b"not parquet")
    ledger = Ledger(str(tmp_path), {"format": "mgf"})
    ledger.record(Outcome("/in/a.raw", ()), "/in/a.raw")
    ledger.close()  # the tidy-up cannot read that file: left for later, no error
    assert {k: v["status"] for k, v in latest(str(tmp_path)).items()} == {"/in/a.raw": "converted"}


def test_resume_reads_the_ledger_without_pandas(tmp_path):
    # A nanosecond timestamp becomes a Python object only through pandas: a
    # ledger read that needed it found nothing done where pandas is missing.
    code = f"""
import sys
sys.modules["pandas"] = None  # not installed
from vantoro_tools.run.ledger import Ledger, latest
from vantoro_tools.run.outcome import Outcome
ledger = Ledger({str(tmp_path)!r}, {{"format": "mgf"}})
ledger.record(Outcome("/in/a.raw", ()), "/in/a.raw")
ledger.close()
print({{k: v["status"] for k, v in latest({str(tmp_path)!r}).items()}})
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.stdout.strip() == "{'/in/a.raw': 'converted'}", run.stderr


def test_s3_inputs_read_with_the_layout_their_url_selects(s3, tmp_path, batch):
    """A marker only in a folder of the key, or only in the object's name:
    the outputs are those of the same files converted from a local folder."""
    plain = sorted(os.listdir(batch))[:2]
    here = tmp_path / "orbitrap_runs"
    here.mkdir()
    os.link(batch / plain[0], here / "d00.raw")
    os.link(batch / plain[1], here / plain[1])
    s3.put_file(str(batch / plain[0]), "in-bucket/orbitrap_in/d00.raw")
    s3.put_file(str(batch / plain[1]), f"in-bucket/runs/{plain[1]}")
    local_out = tmp_path / "local"
    assert vantoro("convert", here, "--to", "parquet", "--out", local_out, "-q").returncode == 0
    urls = ["s3://in-bucket/orbitrap_in/d00.raw", f"s3://in-bucket/runs/{plain[1]}"]
    # A scratch directory whose path holds a marker is refused before anything runs.
    marked = tmp_path / "orbitrap_scratch"
    marked.mkdir()
    refused = vantoro("convert", *urls, "--to", "parquet", "--out", "s3://out-bucket/t", "--scratch", marked)
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1, refused.stderr
    assert "--scratch or VANTORO_SCRATCH" in refused.stderr and not s3.exists("out-bucket/t")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    run = vantoro("convert", *urls, "--to", "parquet", "--out", "s3://out-bucket/t", "-q", "--scratch", scratch)
    assert run.returncode == 0, run.stderr
    assert objects(s3, "out-bucket/t") == outputs(local_out) and len(outputs(local_out)) == 4
    assert os.listdir(scratch) == []


def test_ledger_rows_written_without_arrow_read_back_by_arrow_and_duckdb(tmp_path):
    import pyarrow.parquet as pq

    from vantoro_tools.run.ledger import COLUMNS, schema
    from vantoro_tools.run.rows_parquet import parquet_bytes

    full = {name: None for name, _ in COLUMNS}
    rows = [
        {**full, "batch": "b", "seq": 1, "recorded": 1_700_000_000_123_456_789, "transient": False,
         "error": "é" * 300, "outputs": [{"path": "/o/a", "size": 3, "sha256": "ab"}, {"path": "/o/b"}]},
        {**full, "seq": -(2**63), "transient": True, "outputs": [], "error": ""},
        full,
    ]  # fmt: skip
    path = tmp_path / "rows.parquet"
    path.write_bytes(parquet_bytes(COLUMNS, rows))
    table = pq.read_table(path)
    assert table.schema == schema()
    moments = [name for name, kind in COLUMNS if kind == "timestamp"]
    for name in moments:
        table = table.set_column(table.schema.get_field_index(name), name, table.column(name).cast("int64"))
    want = [{**r, "outputs": None if r["outputs"] is None else
             [{"path": None, "size": None, "sha256": None, **o} for o in r["outputs"]]} for r in rows]  # fmt: skip
    assert table.to_pylist() == want
    assert duckdb.sql(f"SELECT seq, len(outputs), error FROM '{path}'").fetchall() == [
        (1, 2, "é" * 300),
        (-(2**63), 0, ""),
        (None, None, None),
    ]


def test_batch_command_imports_no_arrow_for_its_ledger(tmp_path, mixed):
    # Importing pyarrow costs the command more CPU than its whole bookkeeping of a batch.
    code = f"""
import sys
from vantoro_tools.cli import main
if __name__ == "__main__":
    for fmt in ("mgf", "mzml", "parquet"):
        main(["convert", {str(mixed)!r}, "--to", fmt, "--out", {str(tmp_path)!r} + "/" + fmt, "-q", "-j", "2"])
    print(sorted(m for m in ("pyarrow", "numpy") if m in sys.modules))
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.stdout.strip() == "[]", run.stderr
    for fmt in ("mgf", "mzml", "parquet"):
        ((count,),) = duckdb.sql(f"SELECT count(*) FROM '{tmp_path}/{fmt}/{LEDGER_DIR}/*.parquet'").fetchall()
        assert count == len(os.listdir(mixed))


def test_record_written_by_its_task_after_the_batch_ended_is_kept(tmp_path):
    from vantoro_tools.run.ledger import Ledger, latest, write_record
    from vantoro_tools.run.outcome import Outcome, failed

    out = str(tmp_path)
    ledger = Ledger(out, {"format": "mgf"})
    late = ledger.ticket()
    assert write_record(ledger.ticket(), Outcome("/in/b.raw", ()), "/in/b.raw").details.get("ledger_record")
    ledger.record(failed("/in/a.raw", "the Dask scheduler went away", transient=True), "/in/a.raw")
    ledger.close()
    write_record(late, Outcome("/in/a.raw", ()), "/in/a.raw")  # the worker went on and finished
    Ledger(out, {"format": "mgf"}).close()
    assert ledger_names(tmp_path) == [f"{ledger.batch}.parquet"]
    assert {k: v["status"] for k, v in latest(out).items()} == {"/in/a.raw": "converted", "/in/b.raw": "converted"}


@pytest.mark.skipif(sys.platform != "linux", reason="file names as bytes")
def test_names_that_are_not_utf8_are_recorded_not_fatal(tmp_path):
    from vantoro_tools.run.ledger import latest

    src = tmp_path / "in"
    src.mkdir()
    small_v57().write(src / "small.RAW")
    out = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"out\xff"))
    for status in ("converted", "up to date"):  # the second batch finds the first's outputs by its ledger
        done = vantoro("convert", src, "--to", "mgf", "--out", out, "-q")
        assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
        [(_, record)] = latest(out).items()
        assert record["status"] == status
        if status == "converted":
            assert record["outputs"][0]["path"].endswith("out\\xff/small.mgf")

    # An input the reader cannot name fails alone, in one line, and is recorded.
    unnamed = os.path.join(os.fsencode(src), b"r\xff_small.RAW")
    os.link(src / "small.RAW", unnamed)
    summary = tmp_path / "summary.json"
    done = vantoro("convert", src, "--to", "mgf", "--out", out, "-q", "--summary-json", summary)
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert latest(out)[str(src / "r\\xff_small.RAW")]["status"] == "failed"
    # The summary is UTF-8 JSON that gives the name back as Python holds it.
    assert os.fsdecode(unnamed) in [i["input"] for i in json.loads(summary.read_text(encoding="utf-8"))["inputs"]]
