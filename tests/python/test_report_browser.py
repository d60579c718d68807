"""The report in a real browser: Chromium headless, driven through the DevTools
protocol over a pipe (``--remote-debugging-pipe``: NUL-separated JSON on file
descriptors 3 and 4, so no websocket client is needed).

Every bundled file gets a report, or is refused in one line; each page must
log no error, request nothing, hold one plate-map cell per well with the
analysis' values, tie cells and curves together under the mouse, the keyboard
and a click, and paint a picture.
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

from quelmar.analysis.settings import AnalysisSettings
from quelmar.command import jobs
from quelmar.command.cli import main
from quelmar.reading.kinds import guess_kind

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(BROWSER is None, reason="chromium is not installed (scripts/setup.sh installs it)")

#: Every bundled file, with the options its report is made with; nist_norris.csv is no plate.
FILES = {os.path.relpath(p, ROOT): [] for p in sorted(glob.glob(os.path.join(ROOT, "data", "*.csv")) +
                                                        glob.glob(os.path.join(ROOT, "data", "rdml", "*.rdml")))}
FILES["data/rdml/BioRad_384.rdml"] = ["--calibrator", "Placebo"]
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
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (ours, theirs)]
        for fd in (ours, theirs):
            os.close(fd)
        script = f'exec "$0" "$@" 3<&{high[0]} 4>&{high[1]} {high[0]}<&- {high[1]}>&-'
        self.process = subprocess.Popen(["bash", "-c", script, BROWSER, *FLAGS, f"--user-data-dir={profile}"],
                                        pass_fds=high, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in high:
            os.close(fd)
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

    def open(self, path):
        self.events.clear()
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        deadline = time.monotonic() + TIMEOUT
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._message(deadline))

    def js(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def mouse(self, kind, x, y):
        self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def click(self, x, y):
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.mouse(kind, x, y)

    def problems(self):
        """Console errors, uncaught exceptions and logged errors (a blocked request among them)."""
        self.js("1")  # let pending events arrive
        out = []
        for e in self.events:
            method, p = e.get("method"), e.get("params", {})
            if method == "Runtime.exceptionThrown":
                out.append(p["exceptionDetails"].get("text", "exception"))
            elif method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                out.append(str(p.get("args")))
            elif method == "Log.entryAdded" and p["entry"].get("level") == "error":
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
    folder, out = tmp_path_factory.mktemp("reports"), {}
    for name, options in FILES.items():
        page = folder / (os.path.basename(name).replace(".", "_") + ".html")
        status = main(["report", os.path.join(ROOT, name), *options, "--out", str(page), "-q"])
        out[name] = status, (str(page) if page.exists() else None)
    return out


def expected_cells(name):
    """Per plate map in page order, its kind ("ct" or "tm") and {well: value}, from the jobs."""
    path, maps = os.path.join(ROOT, name), []
    kind = guess_kind(path).name
    if kind in ("amplification", "both"):
        plates = jobs.amplify(path, AnalysisSettings()).plates
        maps += [("ct", {w.well: _fixed(c, 3) for w, c in zip(p.wells, p.ct())}) for p in plates]
    if kind in ("melting", "both"):
        plates = jobs.melt(path, AnalysisSettings()).plates
        maps += [("tm", {c.well: _fixed(c.summary.tm, 2) for c in m.curves}) for m in plates]
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
    assert (status, page is None) == ((2, True) if name in REFUSED else (0, False))
    if page is None:
        return
    html = open(page, encoding="utf-8").read()
    assert os.path.getsize(page) < 5_000_000 and "default-src 'none'" in html
    assert not any(f'{a}={q}{u}' in html for a in ("src", "href") for q in "\"'" for u in ("http", "//"))
    browser.open(page)
    assert browser.problems() == [] and [u for u in browser.requests() if not u.startswith("file://")] == []
    found = browser.js(CELLS_JS)
    wanted = expected_cells(name)
    assert len(found) == len(wanted)
    for kind, values in wanted:  # the plate maps of a kind come in the jobs' order
        cells = next(f for f in found if f["kind"] == kind and not f.get("seen"))
        cells["seen"] = True
        assert {c["well"]: c["value"] for c in cells["cells"]} == values and len(cells["cells"]) == len(values)
        assert all(c["tab"] == "0" and c["target"] is not None and (kind != "ct" or c["ct"]) for c in cells["cells"])
    picture = base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"])
    from PIL import Image
    assert len(Image.open(io.BytesIO(picture)).convert("RGB").getcolors(maxcolors=1 << 20)) >= MIN_COLOURS


STATE_JS = """(() => {{ const cell = document.querySelector({selector});
  const scope = cell.closest('[data-scope]'), well = cell.dataset.well;
  const mine = [...scope.querySelectorAll('[data-well="' + CSS.escape(well) + '"]')];
  const tip = document.getElementById('tip');
  return {{well, cell: [...cell.classList], curves: mine.filter(e => e.classList.contains('curve'))
           .map(e => [...e.classList]), others: scope.querySelectorAll('.curve.hl').length,
           tip: tip.hidden ? null : tip.textContent, focused: document.activeElement === cell,
           scope: [...scope.classList]}}; }})()"""


def _at(browser, selector):
    """The centre of an element, scrolled into view."""
    return browser.js(f"""(() => {{ const e = document.querySelector({json.dumps(selector)});
      e.scrollIntoView({{block: 'center'}}); const r = e.getBoundingClientRect();
      return [r.left + r.width / 2, r.top + r.height / 2]; }})()""")


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


def test_a_curve_lights_its_cell_and_a_log_view_a_sorted_table_and_its_csv(reports, browser, tmp_path):
    browser.open(reports["data/rdml/stepone_std.rdml"][1])
    x, y = browser.js("""(() => { const p = document.querySelector('.view:not(.off) .curve');
      p.scrollIntoView({block: 'center'}); const at = p.getPointAtLength(p.getTotalLength() * 0.85);
      const m = p.getScreenCTM(); return [at.x * m.a + at.y * m.c + m.e, at.x * m.b + at.y * m.d + m.f]; })()""")
    browser.mouse("mouseMoved", x, y)
    well = browser.js(f"document.elementFromPoint({x}, {y}).dataset.well")
    assert well and "hl" in _state(browser, f".ct-map .cell[data-well='{well}']")["cell"]
    browser.click(*_at(browser, "figure.chart button[data-show='log']"))
    assert browser.js("[...document.querySelector('figure.chart').querySelectorAll('.view')]"
                      ".map(v => v.dataset.view + (v.classList.contains('off') ? ':off' : ':on'))") == \
        ["linear:off", "log:on"]
    table = "div.table[data-file$='-amplification.csv']"
    browser.click(*_at(browser, f"{table} th:nth-child(8) button"))  # ct_linear
    column = browser.js(f"[...document.querySelectorAll(\"{table} tbody tr\")]"
                        ".map(r => r.cells[7].title || r.cells[7].textContent)")
    numbers = [float(v) for v in column if v]
    assert numbers == sorted(numbers) and column[len(numbers):] == [""] * (len(column) - len(numbers))
    browser.call("Browser.setDownloadBehavior", browser=True, behavior="allow", downloadPath=str(tmp_path),
                 eventsEnabled=True)
    browser.click(*_at(browser, f"{table} button.csv"))
    download, deadline = tmp_path / "stepone_std-amplification.csv", time.monotonic() + TIMEOUT
    while not download.exists() and time.monotonic() < deadline:
        browser.js("1")
        time.sleep(0.05)
    reference = tmp_path / "reference.csv"
    assert main(["amplify", os.path.join(ROOT, "data/rdml/stepone_std.rdml"), "--out", str(reference), "-q"]) == 0
    assert download.read_bytes() == reference.read_bytes()  # the page's CSV is the command's, byte for byte


IDENTITY_JS = """(() => { const map = document.querySelector('figure.ct-map');
  const cell = w => map.querySelector('.cell[data-well="' + w + '"]');
  const text = w => [...cell(w).querySelectorAll('text')].map(t => t.textContent);
  const chart = document.querySelector('svg[data-curves]');
  return {a1: text('A1'), a9: text('A9'), a9role: cell('A9').dataset.role, h9: text('H9'),
          a7marks: cell('A7').querySelectorAll('.x-mark').length, a7: cell('A7').dataset.excluded,
          curves: chart.querySelectorAll('.curve').length, views: chart.querySelectorAll('.view').length,
          fits: document.querySelectorAll('.tm-map ~ figure .fit, figure .fit').length,
          note: map.querySelector('.scale-note') && map.querySelector('.scale-note').textContent}; })()"""


def test_cells_say_what_each_well_is_and_the_keyboard_reads_an_exclusion(reports, browser):
    browser.open(reports["data/rdml/BioRad_qPCR_melt.rdml"][1])
    seen = browser.js(IDENTITY_JS)
    wells = {w.well: w for w in jobs.amplify(os.path.join(ROOT, "data/rdml/BioRad_qPCR_melt.rdml"),
                                              AnalysisSettings(target="EvaGreen")).tables["wells"]}
    shown = lambda w: [_fixed(wells[w].ct_window, 1)] if math.isfinite(wells[w].ct_window) else []  # noqa: E731
    assert seen["a1"] == ["Alm12"] + shown("A1") and seen["a9"] == ["NTC"] and seen["a9role"] == "control"
    assert seen["h9"] == ["NTC"] + shown("H9")  # a control shows its Ct, if any, outside the colour scale
    assert seen["a7marks"] == 1 and seen["a7"] == "flag: replicate-outlier"
    assert seen["curves"] == seen["views"] * 30 and seen["fits"] > 0  # drawn by the script from stored data
    # The scale leaves out every control with a Ct (here, by the window Ct, perhaps none) and the extremes.
    controls = [w for w in wells.values() if w.sample_type == "ntc" and math.isfinite(w.ct_window)]
    assert ("negative control" in seen["note"]) == bool(controls) and "out-of-line" in seen["note"]
    # Tab from A6 to A7: the tooltip names the well in full, and why it is excluded.
    browser.js("document.querySelector(\".ct-map .cell[data-well='A6']\").focus()")
    browser.call("Input.dispatchKeyEvent", type="keyDown", key="Tab", code="Tab", windowsVirtualKeyCode=9)
    browser.call("Input.dispatchKeyEvent", type="keyUp", key="Tab", code="Tab", windowsVirtualKeyCode=9)
    focused = _state(browser, ".ct-map .cell[data-well='A7']")
    assert focused["focused"] and "sample: katG 315" in focused["tip"] and "type: unkn" in focused["tip"]
    assert "excluded: flag: replicate-outlier" in focused["tip"] and "run: Amp Step 3_FAM" in focused["tip"]
    assert browser.problems() == []
