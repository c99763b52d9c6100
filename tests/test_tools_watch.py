"""`vantoro watch` as it runs beside an instrument: a writer process writes
RAW files in chunks with pauses (some longer than the settle time), a
webhook receiver on 127.0.0.1 collects the notifications, and the watcher
runs as a process of its own, stopped by signals. Every process a test
starts is killed, with its process group, when the test ends."""

import datetime as dt
import json
import os
import signal
import sys
import time

import pytest

from builders import dense_orbitrap, qc_run, qc_series
from processes import Processes

pytest.importorskip("vantoro_tools")
for _name in ("numpy", "pyarrow", "isal", "deflate", "pybase64", "watchdog"):
    pytest.importorskip(_name)

from vantoro_tools.analyse.qc import run_qc
from vantoro_tools.report.history import add_runs, metric_rows, read_rows
from vantoro_tools.run.ledger import LEDGER_DIR, latest
from vantoro_tools.write.output import PART_SUFFIX, owner_tag, stamp_path

BIN = os.path.dirname(sys.executable)
SETTLE = 1.5

# A webhook: each POST's body one line of the log; the first answered 503,
# so that the watcher's retry is what delivers it.
RECEIVER = r"""
import http.server, os, sys
log, port_file = sys.argv[1], sys.argv[2]
seen = []
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        seen.append(body)
        if len(seen) == 1:
            self.send_response(503); self.end_headers(); return
        with open(log, "ab") as f:
            f.write(body.replace(b"\n", b" ") + b"\n")
        self.send_response(204); self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Hook)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.replace(port_file + ".tmp", port_file)
server.serve_forever()
"""

# Runs a plan: each step writes a file from a source in chunks, pausing
# after each, or renames one into place; logs each file's final mtime.
WRITER = r"""
import json, os, sys, time
plan, log = json.load(open(sys.argv[1])), sys.argv[2]
for step in plan:
    if step["do"] == "rename":
        os.rename(step["src"], step["dest"])
    else:
        data = open(step["src"], "rb").read()
        with open(step["dest"], "wb") as f:
            at = 0
            for end, pause in step["chunks"] + [[len(data), 0]]:
                f.write(data[at:end]); f.flush(); at = end
                time.sleep(pause)
    st = os.stat(step["dest"])
    with open(log, "a") as f:
        f.write(json.dumps({"dest": step["dest"], "src": step["src"], "mtime": st.st_mtime, "size": st.st_size}) + "\n")
"""


@pytest.fixture
def procs():
    started = Processes()
    yield started
    started.stop()


def receiver(procs, tmp_path):
    log, port_file = tmp_path / "hook.log", tmp_path / "hook.port"
    procs.start([sys.executable, "-c", RECEIVER, log, port_file])
    deadline = time.monotonic() + 20
    while not port_file.exists():
        assert time.monotonic() < deadline, "the receiver did not start"
        time.sleep(0.05)
    return f"http://127.0.0.1:{port_file.read_text()}/hook", log


def received(log):
    return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def started(tmp_path, name="watch"):
    """Waits until the watcher holds its output and watches (it says so)."""
    err = tmp_path / f"{name}.err"
    wait_for(lambda: err.exists() and " watching " in err.read_text(), 60, f"{name} to start")


def watcher(procs, tmp_path, folder, out, *extra, name="watch"):
    log = open(tmp_path / f"{name}.out", "ab")
    err = open(tmp_path / f"{name}.err", "ab")
    argv = [f"{BIN}/vantoro", "watch", folder, "--out", out, "--to", "mzml", "--settle", SETTLE, *extra]
    return procs.start(list(map(str, argv)), stdout=log, stderr=err)


def log_events(tmp_path, name="watch"):
    """The events of the watcher's log: `time kind json` per line."""
    lines = (tmp_path / f"{name}.out").read_text().splitlines()
    events = []
    for line in lines:
        stamp, kind, document = line.split(" ", 2)
        event = json.loads(document)
        assert (event["time"], event["event"]) == (stamp, kind)
        events.append(event)
    return events


def run_writer(procs, tmp_path, plan, name):
    (tmp_path / f"{name}.json").write_text(json.dumps(plan))
    writer = procs.start([sys.executable, "-c", WRITER, tmp_path / f"{name}.json", tmp_path / "written.log"])
    assert writer.wait(timeout=120) == 0


def chunked(src, dest, long_pause):
    """Writes `src` in 1 MiB chunks, pausing briefly, and once for `long_pause` at 3 MiB."""
    size = os.path.getsize(src)
    chunks = [[end, long_pause if end == 3 << 20 else 0.1] for end in range(1 << 20, size, 1 << 20)]
    return {"do": "write", "src": str(src), "dest": str(dest), "chunks": chunks}


def metrics_of(path):
    return {row["metric"]: row["value"] for row in metric_rows(run_qc(path), None)}


def canonical(event):
    return json.dumps(event, sort_keys=True)


def moment(iso):
    return dt.datetime.fromisoformat(iso.replace("Z", "+00:00")).timestamp()


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(timeout=10) == 128 + signal.SIGTERM


def ledger_rows(out):
    """The ledger's records, each once (a batch killed while merging may leave one twice)."""
    import pyarrow.parquet as pq

    rows = pq.read_table(out / LEDGER_DIR, columns=["batch", "seq", "input", "status"]).to_pylist()
    return list({(r["batch"], r["seq"]): r for r in rows}.values())


def no_partial_files(out):
    assert not [n for d, _, names in os.walk(out) for n in names if n.endswith(PART_SUFFIX)]


@pytest.mark.parametrize("mode", ["events", "poll"])
def test_runs_are_taken_once_finished_and_reported_once_per_content(procs, tmp_path, mode):
    series = qc_series(tmp_path / "made_orbitrap", count=11, wild=11)
    src = {os.path.basename(p): p for p in series}
    src["day_09_v2"] = qc_run(7, day=9, signal=1.01).write(tmp_path / "made_orbitrap" / "v2.raw")
    history = tmp_path / "history"
    add_runs(history, [run_qc(p, checksum=True) for p in series[:8]])
    folder, out = tmp_path / "instrument_orbitrap", tmp_path / "out"
    folder.mkdir()
    out.mkdir()
    (out / "theirs_orbitrap.mzML").write_text("a file vantoro did not write\n")
    made = tmp_path / "made_orbitrap"
    (made / "theirs_orbitrap.raw").write_bytes(open(series[0], "rb").read())
    url, hook = receiver(procs, tmp_path)
    extra = ["--poll", "0.3"] if mode == "poll" else []
    proc = watcher(
        procs, tmp_path, folder, out, "--qc-history", history, "--baseline-runs", 8, "--notify", url, "--stall", 0.1,
        *extra,
    )  # fmt: skip
    started(tmp_path)
    # A file cut short and left so; two runs, one paused longer than the
    # settle time while cut short; one whose output name is taken.
    (folder / "stuck_orbitrap.raw").write_bytes(open(series[0], "rb").read()[: 2 << 20])
    plan = [
        chunked(src["day_09_orbitrap.raw"], folder / "day_09_orbitrap.raw", SETTLE * 2),
        chunked(src["day_10_orbitrap.raw"], folder / "day_10_orbitrap.raw", 0.1),
        {"do": "rename", "src": str(made / "theirs_orbitrap.raw"), "dest": str(folder / "theirs_orbitrap.raw")},
    ]
    run_writer(procs, tmp_path, plan, "first")
    wait_for(lambda: len({e["run"] for e in received(hook) if e["event"] in ("done", "failed")}) == 3, 60, "3 runs")
    # day 09 written again (a new version), the wild run written, and one moved in.
    staged = tmp_path / "made_orbitrap" / "day_11_orbitrap.raw"
    plan = [
        chunked(src["day_09_v2"], folder / "day_09_orbitrap.raw", 0.1),
        {"do": "rename", "src": str(staged), "dest": str(folder / "day_11_orbitrap.raw")},
    ]
    run_writer(procs, tmp_path, plan, "second")
    wait_for(lambda: sum(e["event"] == "done" for e in received(hook)) == 4, 60, "the second round")
    wait_for(lambda: any(e["event"] == "stalled" for e in received(hook)), 30, "the stall")
    time.sleep(SETTLE * 2)  # anything more would have come by now
    stop(proc)

    got = received(hook)
    # Each event delivered once, the first one on a retry.
    assert sorted(map(canonical, got)) == sorted(map(canonical, log_events(tmp_path)))
    done = [e for e in got if e["event"] == "done"]
    assert sorted((e["name"], e["version"]) for e in done) == [
        ("day_09_orbitrap.raw", 1), ("day_09_orbitrap.raw", 2), ("day_10_orbitrap.raw", 1),
        ("day_11_orbitrap.raw", 1),
    ]  # fmt: skip
    # Each from the content it names, whole, after its last write.
    written = [json.loads(line) for line in (tmp_path / "written.log").read_text().splitlines()]
    contents = {("day_09_orbitrap.raw", 1): src["day_09_orbitrap.raw"], ("day_09_orbitrap.raw", 2): src["day_09_v2"]}
    for e in done:
        content = contents.get((e["name"], e["version"]), folder / e["name"])
        assert e["metrics"] == metrics_of(content), e["name"]
        last = [w["mtime"] for w in written if os.path.basename(w["dest"]) == e["name"]][e["version"] - 1]
        assert moment(e["time"]) >= last + SETTLE - 0.05, e["name"]
        assert e["run"] == str(folder / e["name"]) and e["outputs"] == [str(out / e["name"].replace(".raw", ".mzML"))]
    # The wild run breaks a rule, named as the report names it; nothing else does.
    rules = [e for e in got if e["event"] == "rule"]
    assert [e["name"] for e in rules] == ["day_11_orbitrap.raw"] and "1-3s" in rules[0]["rules"]
    assert rules[0]["metrics"]["total ion current maximum"]["rules"] == ["1-3s"]
    failed = [e for e in got if e["event"] == "failed"]
    assert [e["name"] for e in failed] == ["theirs_orbitrap.raw"] and "did not write" in failed[0]["reason"]
    stalled = [e for e in got if e["event"] == "stalled"]
    assert [e["run"] for e in stalled] == [str(folder / "stuck_orbitrap.raw")] and "truncated" in stalled[0]["text"]
    assert {e["event"] for e in got} == {"done", "rule", "failed", "stalled"}
    records = [json.loads(p.read_text()) for p in (out / LEDGER_DIR / "_events").iterdir()]
    assert sorted(map(canonical, (r["event"] for r in records))) == sorted(map(canonical, got))
    assert {r["delivery"]["status"] for r in records} == {"delivered"}
    assert sorted(r["delivery"]["attempts"] for r in records)[-2:] == [1, 2]  # the one answered 503 first
    for e in got:
        assert set(e) >= {"event", "time", "text"} and "\n" not in e["text"]

    # Outputs from the final contents; the ledger converted each content once.
    for name in ("day_09", "day_10", "day_11"):
        stamp = json.loads(open(stamp_path(out / f"{name}_orbitrap.mzML")).read())
        st = os.stat(folder / f"{name}_orbitrap.raw")
        assert stamp["inputs"][0]["facts"] == [st.st_size, st.st_mtime_ns]
    assert (out / "theirs_orbitrap.mzML").read_text() == "a file vantoro did not write\n"
    assert not (out / "stuck_orbitrap.mzML").exists()
    converted = sorted(os.path.basename(r["input"]) for r in ledger_rows(out) if r["status"] == "converted")
    assert converted == ["day_09_orbitrap.raw", "day_09_orbitrap.raw", "day_10_orbitrap.raw", "day_11_orbitrap.raw"]
    no_partial_files(out)
    # The history holds each run once, day 09 as it is now; its page names the run added last.
    by_run = {}
    for row in read_rows(history):
        by_run.setdefault(row["run"], set()).add(row["sha256"])
    assert len(by_run) == 11 and all(len(s) == 1 for s in by_run.values())
    assert len(os.listdir(history / "runs")) == 11
    page = (history / "report.html").read_text()
    assert "QC history: 11 runs" in page and "Last run added: <b>day_" in page


def test_killed_mid_conversion_the_restarted_watcher_does_each_file_once(procs, tmp_path):
    folder, out = tmp_path / "instrument_orbitrap", tmp_path / "out"
    folder.mkdir()
    staged = tmp_path / "staged_orbitrap"
    staged.mkdir()
    image = dense_orbitrap(20_000)
    names = [f"run_{k}_orbitrap.raw" for k in range(6)]
    for name in names:
        image.write(staged / name)
    url, hook = receiver(procs, tmp_path)
    first = watcher(procs, tmp_path, folder, out, "--notify", url, "-j", "1", name="first")
    started(tmp_path, "first")
    # A second watcher on the same output refuses, as a second batch does.
    second = watcher(procs, tmp_path, folder, out, "--poll", 1, name="second")
    assert second.wait(timeout=30) == 1 and "busy" in (tmp_path / "second.err").read_text()
    for name in names:
        os.rename(staged / name, folder / name)
    # Killed while a conversion is under way, some files done already.
    wait_for(lambda: len(log_events(tmp_path, "first")) >= 2, 60, "two files done")
    wait_for(lambda: any(n.endswith(PART_SUFFIX) for n in os.listdir(out)), 30, "a conversion under way")
    os.killpg(first.pid, signal.SIGKILL)
    first.wait(timeout=10)
    # As if killed while recording an event, too.
    host = owner_tag().split("@")[1]
    (out / LEDGER_DIR / "_events" / f".x-done.json.0badf00d.{first.pid}-1@{host}{PART_SUFFIX}").write_bytes(b"{")
    before = len(log_events(tmp_path, "first"))
    assert before < len(names)
    again = watcher(procs, tmp_path, folder, out, "--notify", url, name="again")
    wait_for(lambda: len(log_events(tmp_path, "first")) + len(log_events(tmp_path, "again")) >= len(names), 90, "all")
    time.sleep(SETTLE * 2)
    stopping = time.monotonic()
    stop(again)
    assert time.monotonic() - stopping < 5

    events = log_events(tmp_path, "first") + log_events(tmp_path, "again")
    assert sorted(e["name"] for e in events) == sorted(names) and {e["event"] for e in events} == {"done"}
    # Every notification, the first's undelivered too; delivery is at least
    # once: one the first watcher was killed sending, received but not yet
    # recorded, is sent again.
    wait_for(lambda: {e["name"] for e in received(hook)} == set(names), 30, "every notification")
    assert len(received(hook)) <= len(names) + 1
    ledger = latest(str(out))
    assert sorted(
        os.path.basename(k) for k, r in ledger.items() if r["status"] in ("converted", "up to date")
    ) == sorted(names)
    converted = [r["input"] for r in ledger_rows(out) if r["status"] == "converted"]
    assert len(converted) == len(set(converted)) == len(names)
    no_partial_files(out)
    sizes = {os.path.getsize(out / n.replace(".raw", ".mzML")) for n in names}
    assert len(sizes) == 1  # every output whole: the same input gives the same file
    # Once more, as cron would run it: nothing left to do, nothing done again.
    once = watcher(procs, tmp_path, folder, out, "--once", name="once")
    assert once.wait(timeout=60) == 0 and not log_events(tmp_path, "once")


def test_two_hundred_files_dropped_at_once_are_all_done(procs, tmp_path):
    folder, out, staged = tmp_path / "drop_orbitrap", tmp_path / "out", tmp_path / "staged_orbitrap"
    folder.mkdir()
    staged.mkdir()
    image = qc_run(3)
    names = [f"r{k:03d}_orbitrap.raw" for k in range(200)]
    for name in names:
        image.write(staged / name)
    sink = tmp_path / "commands.log"
    proc = watcher(procs, tmp_path, folder, out, "--notify-command", f"cat >> {sink}")
    started(tmp_path)
    for name in names:
        os.rename(staged / name, folder / name)
    wait_for(lambda: sink.exists() and len(sink.read_text().splitlines()) >= 200, 120, "200 notifications")
    stop(proc)
    events = [json.loads(line) for line in sink.read_text().splitlines()]
    assert sorted(e["name"] for e in events) == names and {e["event"] for e in events} == {"done"}
    assert sorted(n for n in os.listdir(out) if n.endswith(".mzML")) == [n.replace(".raw", ".mzML") for n in names]
    no_partial_files(out)


def test_low_space_holds_conversions_and_quiet_is_said_once(procs, tmp_path):
    folder, out = tmp_path / "quiet_orbitrap", tmp_path / "out"
    folder.mkdir()
    qc_run(1).write(folder / "waiting_orbitrap.raw")
    # A floor no disk meets, and half a minute of quiet: each said once, nothing converted.
    proc = watcher(procs, tmp_path, folder, out, "--poll", 0.2, "--min-free", "99.99%", "--quiet-hours", 0.0025)
    wait_for(lambda: {e["event"] for e in log_events(tmp_path)} >= {"low-space", "quiet"}, 60, "both events")
    time.sleep(SETTLE * 2)
    stop(proc)
    events = log_events(tmp_path)
    assert sorted(e["event"] for e in events) == ["low-space", "quiet"]
    low = next(e for e in events if e["event"] == "low-space")
    assert low["free"] < low["floor"] and "wait" in low["text"]
    assert not [n for n in os.listdir(out) if not n.startswith(".")]


def test_output_under_a_url_keeps_the_state_there(procs, tmp_path, monkeypatch):
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    log = open(tmp_path / "moto.log", "ab")
    moto = [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)]
    server = procs.start(moto, stdout=log, stderr=log)
    env = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing", "AWS_DEFAULT_REGION": "us-east-1"}
    for key, value in {**env, "AWS_ENDPOINT_URL": f"http://127.0.0.1:{port}"}.items():
        monkeypatch.setenv(key, value)
    import s3fs

    fs = s3fs.S3FileSystem(skip_instance_cache=True)
    wait_for(lambda: server.poll() is None and _made(fs, "out-bucket"), 60, "moto's server")
    folder = tmp_path / "s3_orbitrap"
    folder.mkdir()
    for k in range(2):
        qc_run(k).write(folder / f"r{k}_orbitrap.raw")
    out = "s3://out-bucket/runs"
    first = watcher(procs, tmp_path, folder, out, "--once", "--poll", 0.2, name="first")  # settled as it watches
    assert first.wait(timeout=120) == 0, (tmp_path / "first.err").read_text()
    assert sorted(e["name"] for e in log_events(tmp_path, "first")) == ["r0_orbitrap.raw", "r1_orbitrap.raw"]
    names = {p.rsplit("/", 1)[1] for p in fs.find("out-bucket/runs")}
    assert {"r0_orbitrap.mzML", "r1_orbitrap.mzML"} <= names and ".vantoro.lock" not in names
    assert len(fs.ls(f"out-bucket/runs/{LEDGER_DIR}/_events")) == 2
    # Started again, it reads what it did from the store: nothing is done twice.
    again = watcher(procs, tmp_path, folder, out, "--once", name="again")
    assert again.wait(timeout=120) == 0 and not log_events(tmp_path, "again")


def _made(fs, bucket):
    try:
        fs.mkdir(bucket)
        return True
    except Exception:
        return False


def test_notify_takes_only_web_addresses(tmp_path, capsys):
    from vantoro_tools.cli import main

    with pytest.raises(SystemExit) as stop:
        main(["watch", str(tmp_path), "--to", "mzml", "--out", str(tmp_path / "o"), "--notify", "file:///etc/passwd"])
    assert stop.value.code == 2 and "not an http:// or https:// address" in capsys.readouterr().err


@pytest.mark.skipif(sys.platform != "linux", reason="file names as bytes")
def test_a_name_that_is_not_utf8_fails_once_and_the_watch_goes_on(procs, tmp_path):
    folder = tmp_path / "in_orbitrap"
    folder.mkdir()
    qc_run(0).write(folder / "r0_orbitrap.raw")
    os.link(folder / "r0_orbitrap.raw", os.path.join(os.fsencode(folder), b"r\xff_orbitrap.raw"))
    for name, status in (("first", 1), ("again", 0)):  # a failure is said once
        done = watcher(procs, tmp_path, folder, tmp_path / "out", "--once", "--poll", 0.2, name=name)
        assert done.wait(timeout=120) == status, (tmp_path / f"{name}.err").read_text()
    assert sorted((e["event"], e["name"]) for e in log_events(tmp_path, "first")) == [
        ("done", "r0_orbitrap.raw"),
        ("failed", "r\udcff_orbitrap.raw"),
    ]
    assert not log_events(tmp_path, "again")
