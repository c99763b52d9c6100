"""The QC report opened in headless Chromium with the network cut off: no
console message or script error, no request leaving the page, every figure
drawn with marks in it. A screenshot of each report is kept under
build/report/ (or $VANTORO_ARTIFACTS) for a person to look at."""

import functools
import json
import os
import re
import shutil
import subprocess
import time
from html.parser import HTMLParser

import pytest

from builders import qc_batch, qc_series

pytest.importorskip("numpy")
pytest.importorskip("vantoro_tools")
from vantoro_tools.cli import main

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="needs Debian's chromium")
ARTIFACTS = os.environ.get("VANTORO_ARTIFACTS") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "report"
)
FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--hide-scrollbars",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-default-apps",
    "--disable-extensions",
    "--disable-features=Translate,MediaRouter",
    # Whatever the page asks for goes to a dead proxy (and, where it can be had, into a
    # network namespace without interfaces): nothing reaches the network.
    "--proxy-server=127.0.0.1:9",
    "--enable-logging=stderr",
    "--v=0",
]
CONSOLE = re.compile(r'CONSOLE[^\]]*\] "(.*)", source: (\S+)')


@functools.cache
def no_network_prefix():
    try:
        ok = (
            subprocess.run(["unshare", "-n", "true"], capture_output=True, timeout=10, env=browser_env()).returncode
            == 0
        )
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    return ["unshare", "-n"] if ok else []


def browser_env():
    """This process's environment less what instruments it (the sanitizer
    run preloads its runtimes): the browser is not under test."""
    drop = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {k: v for k, v in os.environ.items() if k not in drop}


class Visit:
    """What one headless load of a page showed: its DOM after the scripts
    ran, its console messages, and the requests it started."""

    def __init__(self, page, work, *, screenshot=None):
        url = "file://" + os.path.abspath(page)
        netlog = os.path.join(work, "net.json")
        cmd = [
            *no_network_prefix(),
            CHROMIUM,
            *FLAGS,
            f"--user-data-dir={os.path.join(work, 'profile')}",
            f"--log-net-log={netlog}",
            "--virtual-time-budget=15000",
        ]
        start = time.perf_counter()
        done = subprocess.run([*cmd, "--dump-dom", url], capture_output=True, text=True, timeout=120, env=browser_env())
        self.seconds = time.perf_counter() - start
        assert done.returncode == 0, done.stderr[-2000:]
        self.dom = done.stdout
        self.console = [m.group(1) for m in CONSOLE.finditer(done.stderr) if m.group(2).startswith(url)]
        self.requests = page_requests(netlog)
        if screenshot is not None:
            shot = subprocess.run(
                [*cmd, "--window-size=1400,2400", f"--screenshot={screenshot}", url],
                capture_output=True,
                text=True,
                timeout=120,
                env=browser_env(),
            )
            assert shot.returncode == 0, shot.stderr[-2000:]
        parser = _Tags()
        parser.feed(self.dom)
        self.body, self.figures = parser.body, parser.figures


def page_requests(netlog):
    """URLs of the requests the page started (the browser's own, with no
    origin, left out) from Chromium's network log."""
    with open(netlog, encoding="utf-8") as f:
        text = f.read()
    if not text.rstrip().endswith("}"):  # a log cut short still lists its events
        text = text.rstrip().rstrip(",") + "]}"
    log = json.loads(text)
    start_job = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    starts = [e.get("params", {}) for e in log["events"] if e["type"] == start_job]
    return [p["url"] for p in starts if "url" in p and p.get("initiator") != "not an origin"]


class _Tags(HTMLParser):
    def __init__(self):
        super().__init__()
        self.body, self.figures = {}, []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "body":
            self.body = attrs
        elif "data-fig" in attrs:
            self.figures.append(attrs)


# Drags across the first figure, hovers over a point of it, then double-clicks it,
# and records what the figure showed after each step.
INTERACT = """<script>
(function () {
  var fig = document.querySelector("[data-fig]"), c = fig.querySelector("canvas"), r = c.getBoundingClientRect();
  function at(type, x, y, target) {
    (target || c).dispatchEvent(new MouseEvent(type, {clientX: r.left + x, clientY: r.top + y, bubbles: true}));
  }
  var out = document.body.dataset;
  at("mousedown", 120, 40); at("mousemove", 320, 150); at("mouseup", 320, 150, window);
  out.afterDrag = fig.dataset.zoomed;
  var tip = fig.querySelector(".tip"), shown = "";
  for (var x = 70; x < r.width - 20 && !shown; x += 3)
    for (var y = 10; y < r.height - 30 && !shown; y += 6) {
      at("mousemove", x, y);
      if (tip.style.display === "block") shown = tip.textContent;
    }
  out.hover = shown;
  at("dblclick", 200, 100);
  out.afterReset = fig.dataset.zoomed;
})();
</script>"""


def test_zoom_hover_and_reset(tmp_path):
    paths = qc_batch(tmp_path / "runs", count=2)
    out = tmp_path / "report.html"
    assert main(["report", *paths, "-o", str(out), "-q"]) == 0
    page = tmp_path / "interact.html"
    page.write_text(out.read_text(encoding="utf-8").replace("</body>", INTERACT + "</body>"), encoding="utf-8")
    visit = Visit(str(page), str(tmp_path))
    assert visit.console == [] and visit.body.get("data-errors") == "0"
    assert (visit.body.get("data-after-drag"), visit.body.get("data-after-reset")) == ("1", "0")
    # The first figure is the TIC of every run: the tip names a run, its time and intensity.
    assert re.fullmatch(
        r"run_0[12]_orbitrap\.raw\nretention time \(min\): [0-9.]+\nintensity \(a\.u\.\): .+",
        visit.body.get("data-hover", ""),
    ), visit.body.get("data-hover")


def test_the_checks_see_a_page_that_reaches_out(tmp_path):
    page = tmp_path / "leaky.html"
    page.write_text(
        '<html><body><img src="http://example.invalid/a.png"><script>'
        'fetch("https://example.invalid/b").catch(function () {});'
        'console.log("hello"); null.x;</script></body></html>'
    )
    visit = Visit(str(page), str(tmp_path))
    assert sorted(visit.requests) == ["http://example.invalid/a.png", "https://example.invalid/b"]
    assert visit.console[0] == "hello" and len(visit.console) == 2  # the log, then the TypeError


@pytest.mark.parametrize("runs", [1, 20])
def test_report_opens_offline_with_every_figure_drawn(runs, tmp_path):
    paths = qc_batch(tmp_path / "runs", count=runs, odd=(13,))
    out = tmp_path / f"report-{runs}.html"
    start = time.perf_counter()
    assert main(["report", *(paths if runs == 1 else [str(tmp_path / "runs")]), "-o", str(out), "-q"]) == 0
    build = time.perf_counter() - start
    os.makedirs(ARTIFACTS, exist_ok=True)
    shot = os.path.join(ARTIFACTS, f"report-{runs}-run{'s' if runs > 1 else ''}.png")
    visit = Visit(str(out), str(tmp_path), screenshot=shot)

    assert visit.console == []
    assert visit.requests == []
    assert visit.body.get("data-errors") == "0"
    assert len(visit.figures) >= 9 * runs + (4 if runs > 1 else 0)
    assert visit.body.get("data-figures") == visit.body.get("data-drawn") == str(len(visit.figures))
    assert all(int(f.get("data-points", "0")) > 0 for f in visit.figures)
    with open(shot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    metrics = {
        "runs": runs,
        "report_bytes": out.stat().st_size,
        "build_seconds": round(build, 2),
        "render_ms": int(visit.body["data-render-ms"]),
        "ready_ms": int(visit.body["data-ready-ms"]),
        "headless_load_seconds": round(visit.seconds, 2),
        "figures": len(visit.figures),
    }
    with open(os.path.join(ARTIFACTS, f"report-{runs}-metrics.json"), "w") as f:
        json.dump(metrics, f, indent=1)
    print(metrics)


def test_history_page_opens_offline_with_every_figure_drawn(tmp_path):
    pytest.importorskip("pyarrow")
    paths = qc_series(tmp_path / "runs", count=40)
    hist = str(tmp_path / "hist")
    assert main(["qc", "add", *paths[:38], "--history", hist, "-q"]) == 0
    out = tmp_path / "history.html"
    assert main(["report", "--history", hist, *paths[38:], "-o", str(out), "-q"]) == 0
    os.makedirs(ARTIFACTS, exist_ok=True)
    shot = os.path.join(ARTIFACTS, "report-history.png")
    visit = Visit(str(out), str(tmp_path), screenshot=shot)
    assert visit.console == [] and visit.requests == []
    assert visit.body.get("data-errors") == "0"
    assert len(visit.figures) >= 6 + 2 * 9  # the varying metrics' control charts, then the two new runs
    assert visit.body.get("data-figures") == visit.body.get("data-drawn") == str(len(visit.figures))
    assert all(int(f.get("data-points", "0")) > 0 for f in visit.figures)
    assert "day_40_orbitrap.raw (new)" in visit.dom
