"""The report in a real browser: Chromium headless, driven through the DevTools
protocol over a pipe (``--remote-debugging-pipe``: NUL-separated JSON on file
descriptors 3 and 4, so no websocket client is needed).

Every bundled file gets a report, or is refused in one line; each page is
opened and must log no error, request nothing from the network, hold one
plate-map cell per well with the analysis' values, tie cells and curves
together under the mouse, the keyboard and a click, and paint a picture.
"""
import base64
import fcntl
import glob
import io
import json
import math
import os
import shutil
import subprocess
import time

import pytest

from quelmar import jobs
from quelmar.cli import main
from quelmar.jobs import Settings
from quelmar.kinds import guess_kind

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(BROWSER is None, reason="chromium is not installed (scripts/setup.sh installs it)")

#: Every bundled file, with the options its report is made with.
FILES = {os.path.relpath(p, ROOT): [] for p in sorted(glob.glob(os.path.join(ROOT, "data", "*.csv")) +
                                                        glob.glob(os.path.join(ROOT, "data", "rdml", "*.rdml")))}
FILES["data/rdml/BioRad_384.rdml"] = ["--calibrator", "Placebo"]
#: Files that are no plate: refused in one line.
REFUSED = {"data/nist_norris.csv"}
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--remote-debugging-pipe"]
TIMEOUT = 60.0
#: A picture of a report has at least this many colours (a blank or broken page has a handful).
MIN_COLOURS = 200


class Browser:
    """Chromium with the DevTools protocol on a pipe: one page, its events collected."""

    def __init__(self, profile):
        ours, self.commands = os.pipe()
        self.replies, theirs = os.pipe()
        # Moved above 3 and 4, so the shell's redirections cannot overwrite one with the other.
        ours_high, theirs_high = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (ours, theirs))
        os.close(ours)
        os.close(theirs)
        script = f'exec "$0" "$@" 3<&{ours_high} 4>&{theirs_high} {ours_high}<&- {theirs_high}>&-'
        self.process = subprocess.Popen(["bash", "-c", script, BROWSER, *FLAGS, f"--user-data-dir={profile}"],
                                        pass_fds=(ours_high, theirs_high), stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(ours_high)
        os.close(theirs_high)
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=1280, height=900, deviceScaleFactor=1, mobile=False)

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("the browser did not answer")
            chunk = os.read(self.replies, 1 << 16)
            if not chunk:
                raise EOFError("the browser closed its pipe")
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, browser=False, **params):
        self.next_id += 1
        message = dict(id=self.next_id, method=method, params=params)
        if self.session and not browser:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + TIMEOUT
        while True:
            m = self._message(deadline)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]
            self.events.append(m)

    def wait_for(self, method):
        deadline = time.monotonic() + TIMEOUT
        while True:
            for k, e in enumerate(self.events):
                if e.get("method") == method:
                    return self.events.pop(k)
            self.events.append(self._message(deadline))

    def open(self, path):
        self.events.clear()
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        self.wait_for("Page.loadEventFired")

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def mouse(self, kind, x, y):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def click(self, x, y):
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y)
        self.mouse("mouseReleased", x, y)

    def problems(self):
        """Console errors, uncaught exceptions and logged errors (a blocked request among them)."""
        self.js("1")  # let pending events arrive
        out = []
        for e in self.events:
            p = e.get("params", {})
            if e.get("method") == "Runtime.exceptionThrown":
                out.append(p["exceptionDetails"].get("text", "exception"))
            elif e.get("method") == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                out.append(str(p.get("args")))
            elif e.get("method") == "Log.entryAdded" and p["entry"].get("level") == "error":
                out.append(p["entry"].get("text", ""))
        return out

    def requests(self):
        return [e["params"]["request"]["url"] for e in self.events if e.get("method") == "Network.requestWillBeSent"]

    def close(self):
        try:
            self.call("Browser.close", browser=True)
        except (OSError, EOFError, RuntimeError, TimeoutError):
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.commands)
        os.close(self.replies)


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    b = Browser(tmp_path_factory.mktemp("profile"))
    yield b
    b.close()


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """Every bundled file's report, made once: path -> (exit status, page or None)."""
    folder = tmp_path_factory.mktemp("reports")
    out = {}
    for name, options in FILES.items():
        page = folder / (os.path.basename(name).replace(".", "_") + ".html")
        status = main(["report", os.path.join(ROOT, name), *options, "--out", str(page), "-q"])
        out[name] = status, (str(page) if page.exists() else None)
    return out


def expected_cells(name):
    """Per plate map, the cells the page must have: ("ct" or "tm", target) -> {well: value}, from the jobs."""
    path = os.path.join(ROOT, name)
    kind, maps = guess_kind(path).name, {}
    if kind in ("amplification", "both"):
        for p in jobs.amplify(path, Settings()).plates:
            maps[("ct", p.run, p.target)] = {w.well: _fixed(w.ct_linear, 3) for w in p.wells}
    if kind in ("melting", "both"):
        for m in jobs.melt(path, Settings()).plates:
            maps[("tm", m.run, m.target)] = {c.well: _fixed(c.summary.tm, 2) for c in m.curves}
    return maps


def _fixed(value, digits):
    return f"{value:.{digits}f}" if math.isfinite(value) else ""


CELLS_JS = """[...document.querySelectorAll('figure.map')].map(f => ({
  kind: f.classList.contains('ct-map') ? 'ct' : 'tm',
  cells: [...f.querySelectorAll('.cell')].map(c => ({well: c.dataset.well, target: c.dataset.target,
      value: f.classList.contains('ct-map') ? c.dataset.ct : c.dataset.tm, tab: c.getAttribute('tabindex'),
      ct: c.hasAttribute('data-ct')}))}))"""


@pytest.mark.parametrize("name", sorted(FILES))
def test_every_bundled_file_opens_cleanly_with_a_cell_per_well(name, reports, browser):
    status, page = reports[name]
    if name in REFUSED:
        assert status == 2 and page is None
        return
    assert status == 0
    html = open(page, encoding="utf-8").read()
    assert os.path.getsize(page) < 5_000_000
    assert "Content-Security-Policy" in html and "default-src 'none'" in html
    for attribute in ("src", "href"):
        assert f'{attribute}="http' not in html and f"{attribute}='http" not in html and f'{attribute}="//' not in html
    browser.open(page)
    assert browser.problems() == []
    assert [u for u in browser.requests() if not u.startswith("file://")] == []
    found = browser.js(CELLS_JS)
    wanted = expected_cells(name)
    assert len(found) == len(wanted)
    by_kind = {}
    for figure in found:
        by_kind.setdefault(figure["kind"], []).append(figure["cells"])
    for (kind, _, _), values in wanted.items():
        cells = by_kind[kind].pop(0)
        assert {c["well"]: c["value"] for c in cells} == values  # one cell per well, with the job's value
        assert len(cells) == len(values)
        assert all(c["tab"] == "0" and c["target"] is not None for c in cells)
        assert kind != "ct" or all(c["ct"] for c in cells)
    picture = base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"])
    from PIL import Image
    colours = Image.open(io.BytesIO(picture)).convert("RGB").getcolors(maxcolors=1 << 20)
    assert len(colours) >= MIN_COLOURS


CENTRE_JS = """(() => {{ const r = document.querySelector({selector}).getBoundingClientRect();
  return [r.left + r.width / 2, r.top + r.height / 2]; }})()"""
SCROLL_JS = "document.querySelector({selector}).scrollIntoView({{block: 'center'}})"
STATE_JS = """(() => {{ const cell = document.querySelector({selector});
  const scope = cell.closest('[data-scope]'), well = cell.dataset.well;
  const mine = [...scope.querySelectorAll('[data-well="' + CSS.escape(well) + '"]')];
  const tip = document.getElementById('tip');
  return {{well, cell: [...cell.classList], curves: mine.filter(e => e.classList.contains('curve'))
           .map(e => [...e.classList]), others: scope.querySelectorAll('.curve.hl').length,
           tip: tip.hidden ? null : tip.textContent, focused: document.activeElement === cell,
           scope: [...scope.classList]}}; }})()"""


def _at(browser, selector):
    browser.js(SCROLL_JS.format(selector=json.dumps(selector)))
    return browser.js(CENTRE_JS.format(selector=json.dumps(selector)))


def _state(browser, selector):
    return browser.js(STATE_JS.format(selector=json.dumps(selector)))


@pytest.mark.parametrize("name, selector", [
    ("data/rdml/stepone_std.rdml", ".ct-map .cell[data-well='A1']"),
    ("data/rdml/BioRad_qPCR_melt.rdml", ".tm-map .cell[data-well='A1']"),
])
def test_hover_focus_and_click_tie_a_cell_to_its_curves(name, selector, reports, browser):
    browser.open(reports[name][1])
    x, y = _at(browser, selector)
    browser.mouse("mouseMoved", x, y)
    hovered = _state(browser, selector)
    assert "hl" in hovered["cell"] and hovered["curves"] and all("hl" in c for c in hovered["curves"])
    assert hovered["others"] == len(hovered["curves"])  # only this well's curves light up
    assert hovered["tip"].startswith(hovered["well"]) and "sample" in hovered["tip"] and "flags" in hovered["tip"]
    browser.mouse("mouseMoved", 2, 2)
    assert _state(browser, selector)["tip"] is None and _state(browser, selector)["others"] == 0
    browser.js(f"document.querySelector({json.dumps(selector)}).focus()")
    focused = _state(browser, selector)
    assert focused["focused"] and focused["tip"].startswith(focused["well"]) and "hl" in focused["cell"]
    browser.click(x, y)
    picked = _state(browser, selector)
    assert "sel" in picked["cell"] and all("sel" in c for c in picked["curves"]) and "picked" in picked["scope"]
    assert browser.problems() == []


def test_a_curve_under_the_mouse_lights_its_cell(reports, browser):
    browser.open(reports["data/rdml/stepone_std.rdml"][1])
    x, y = browser.js("""(() => { const p = document.querySelector('.view:not(.off) .curve');
      p.scrollIntoView({block: 'center'}); const at = p.getPointAtLength(p.getTotalLength() * 0.85);
      const m = p.getScreenCTM(); return [at.x * m.a + at.y * m.c + m.e, at.x * m.b + at.y * m.d + m.f]; })()""")
    browser.mouse("mouseMoved", x, y)
    well = browser.js(f"document.elementFromPoint({x}, {y}).dataset.well")
    assert well
    cell = f".ct-map .cell[data-well='{well}']"
    assert "hl" in _state(browser, cell)["cell"]


def test_log_view_and_a_sorted_table_and_its_csv_download(reports, browser, tmp_path):
    browser.open(reports["data/rdml/stepone_std.rdml"][1])
    browser.click(*_at(browser, "figure.chart button[data-show='log']"))
    assert browser.js("[...document.querySelector('figure.chart').querySelectorAll('.view')]"
                      ".map(v => v.dataset.view + (v.classList.contains('off') ? ':off' : ':on'))") == \
        ["linear:off", "log:on"]
    header = "div.table[data-file$='-amplification.csv'] th:nth-child(8) button"  # ct_linear
    browser.click(*_at(browser, header))
    column = browser.js("[...document.querySelectorAll(\"div.table[data-file$='-amplification.csv'] tbody tr\")]"
                        ".map(r => r.cells[7].title || r.cells[7].textContent)")
    numbers = [float(v) for v in column if v]
    assert numbers == sorted(numbers) and column[len(numbers):] == [""] * (len(column) - len(numbers))
    browser.call("Browser.setDownloadBehavior", browser=True, behavior="allow", downloadPath=str(tmp_path),
                 eventsEnabled=True)
    browser.click(*_at(browser, "div.table[data-file$='-amplification.csv'] button.csv"))
    deadline = time.monotonic() + TIMEOUT
    while not (tmp_path / "stepone_std-amplification.csv").exists() and time.monotonic() < deadline:
        browser.js("1")
        time.sleep(0.05)
    reference = tmp_path / "reference.csv"
    assert main(["amplify", os.path.join(ROOT, "data/rdml/stepone_std.rdml"), "--out", str(reference), "-q"]) == 0
    # The page's CSV is the command's, byte for byte.
    assert (tmp_path / "stepone_std-amplification.csv").read_bytes() == reference.read_bytes()
