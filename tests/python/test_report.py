"""The report command without a browser: what goes into the page, what is
refused, and the pieces the page is drawn with (the browser test opens the
pages themselves)."""
import base64
import hashlib
import io
import json
import math
import os
import re
import sys
from html.parser import HTMLParser

import pytest

from quelmar.analysis.settings import AnalysisSettings
from quelmar.command import jobs
from quelmar.command.cli import main
from quelmar.report import svg
from quelmar.report.page import layout
from synthetic import richards, write_plate, write_sheet

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STEPONE = os.path.join(ROOT, "data", "rdml", "stepone_std.rdml")
BIORAD = os.path.join(ROOT, "data", "rdml", "BioRad_384.rdml")
DYEMELT = os.path.join(ROOT, "data", "dyemelt.csv")


class Scripts(HTMLParser):
    """The page's <script> and <style> elements, as (type, text), as the browser's parser sees them."""

    def __init__(self, html):
        super().__init__()
        self.scripts, self.styles, self.policy, self._in = [], [], None, None
        self.feed(html)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.policy = attrs["content"] if attrs.get("http-equiv") == "Content-Security-Policy" else self.policy
        self._in = (tag, attrs.get("type"), []) if tag in ("script", "style") else self._in

    def handle_data(self, data):
        if self._in:
            self._in[2].append(data)

    def handle_endtag(self, tag):
        if self._in and tag == self._in[0]:
            (self.styles if tag == "style" else self.scripts).append((self._in[1], "".join(self._in[2])))
            self._in = None


def _report(tmp_path, *args, name="report.html"):
    out = tmp_path / name
    assert main(["report", *args, "--out", str(out), "-q"]) == 0
    return out.read_text(encoding="utf-8")


@pytest.mark.parametrize("names, geometry, expected", [
    (["A1", "A2", "H12"], None, (8, 12, True)),
    (["A1", "C8"], None, (6, 8, True)),                     # the smallest standard plate holding them
    (["A01", "P24"], None, (16, 24, True)),
    (["A1", "B2"], (16, 24), (16, 24, True)),               # the file's own geometry
    (["A1", "J1"], (8, 12), (16, 24, True)),                # a geometry the wells do not fit is not used
    (["A1", "a1"], None, (1, 12, False)),                   # one position twice: file order
    (["F15_1", "F15_2", "F15_3"], None, (1, 12, False)),
    ([f"w{k}" for k in range(130)], None, (6, 24, False)),
])
def test_wells_are_laid_out_at_their_plate_positions_or_in_file_order(names, geometry, expected):
    rows, columns, places, labelled = layout(names, geometry)
    assert (rows, columns, labelled) == expected
    assert len(set(places)) == len(names) and all(0 <= r < rows and 0 <= c < columns for r, c in places)
    if labelled:
        assert places[0] == (0, 0)


@pytest.mark.parametrize("low, high", [(0.0, 1.0), (17.3, 38.9), (-70.0, 260.0), (1e-3, 2e-3), (3.0, 3.0)])
def test_ticks_are_round_and_inside_the_range(low, high):
    values = svg.ticks(low, high)
    assert values and all(low - 1e-12 <= v <= high + 1e-12 for v in values)
    if high > low:
        steps = {round(b - a, 12) for a, b in zip(values, values[1:])}
        assert len(steps) == 1 and 2 <= len(values) <= 2 * svg.TICKS + 1
        step = steps.pop()
        assert round(step / 10.0 ** math.floor(math.log10(step)), 9) in (1.0, 2.0, 5.0)


def test_colour_scale_ends_and_missing_values():
    scale = svg.ColourScale([20.0, float("nan"), 30.0])
    assert (scale(20.0), scale(30.0), scale(float("nan"))) == (svg.SCALE[0], svg.SCALE[-1], svg.NO_VALUE)
    assert scale(10.0) == svg.SCALE[0] and scale(99.0) == svg.SCALE[-1]
    assert svg.ColourScale([5.0, 5.0])(5.0) == svg.ColourScale([0.0, 10.0])(5.0)


def test_the_page_allows_only_its_own_style_and_script_and_says_what_made_it(tmp_path):
    html = _report(tmp_path, STEPONE, "--max-ct", "35")
    page = Scripts(html)
    (_, style), = page.styles
    code = [s for kind, s in page.scripts if kind is None]
    assert len(code) == 1
    for source in (style, code[0]):
        digest = base64.b64encode(hashlib.sha256(source.encode()).digest()).decode()
        assert f"'sha256-{digest}'" in page.policy
    assert "default-src 'none'" in page.policy and "unsafe-inline" not in page.policy
    assert not re.search(r"(src|href)\s*=\s*[\"']?\s*(https?:)?//", html)
    with open(STEPONE, "rb") as f:
        assert hashlib.sha256(f.read()).hexdigest() in html
    assert "Applied Biosystems StepOne™ Instrument" in html and "2006-11-10T09:24:39.265" in html
    assert f"quelmar report {STEPONE} --max-ct 35 --out" in html and "<code>--max-ct</code></td><td>35.0" in html
    fit = jobs.standard(STEPONE, AnalysisSettings()).tables["fits"][0]
    assert f"efficiency {fit.efficiency:.1f} %, R² {fit.r_squared:.4f}" in html


def test_names_from_the_file_cannot_break_out_of_the_page(tmp_path):
    hostile = ['<script>alert(1)</script>', 'a"b\'c', 'x</script><!--<script>', 'é&amp;']
    plate = write_plate(tmp_path / "plate.csv", {f"A{k + 1}": richards(18 + k) for k in range(4)})
    sheet = write_sheet(tmp_path / "sheet.csv", [(f"A{k + 1}", name, "<b>T</b>", "unkn")
                                                 for k, name in enumerate(hostile)])
    html = _report(tmp_path, plate, "--samples", sheet)
    page = Scripts(html)
    assert html.count("<script") == len(page.scripts)
    islands = [json.loads(s) for kind, s in page.scripts if kind == "application/json"]
    samples = {row[islands[-1]["columns"].index("sample")] for row in islands[-1]["rows"]}
    assert samples == set(hostile)
    assert "<b>T</b>" not in html and "<script>alert" not in html


def test_what_a_file_cannot_have_is_a_note_and_standard_input_is_hashed_as_read(tmp_path, monkeypatch):
    html = _report(tmp_path, DYEMELT, "--calibrator", "x")
    assert "tm-map" in html and "ct-map" not in html
    assert "no relative quantities: the file holds no amplification data" in html
    assert html.count('class="cell"') == len(jobs.melt(DYEMELT, AnalysisSettings()).tables["wells"])
    data = open(STEPONE, "rb").read()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    html = _report(tmp_path, "-", "--calibrator", "x")  # read once, hashed and read as a plate
    assert hashlib.sha256(data).hexdigest() in html and f"{len(data):,} bytes" in html
    assert "<h2>&lt;stdin&gt;</h2>" in html and "Applied Biosystems StepOne™ Instrument" in html
    assert html.count('class="cell"') == 24 and "no relative quantities: no reference gene" in html


def test_relative_quantities_are_the_quantify_jobs_and_workers_give_the_same_page(tmp_path):
    html = _report(tmp_path, BIORAD, "--calibrator", "Placebo")
    rows = jobs.quantify(BIORAD, AnalysisSettings(calibrator="Placebo")).tables["quantities"]
    assert html.count('class="bar"') == sum(1 for r in rows if r.rq == r.rq)
    assert "Relative quantities against Placebo, reference Liver" in html
    one = _report(tmp_path, STEPONE, DYEMELT, name="one.html")
    two = _report(tmp_path, STEPONE, DYEMELT, "--jobs", "2", name="one.html")
    made = re.compile(r"<dt>made</dt><dd>[^<]*</dd>")
    assert made.sub("", one) == made.sub("", two).replace("--jobs 2 ", "") and one.count('<section class="file"') == 2
