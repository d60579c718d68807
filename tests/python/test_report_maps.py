"""The report's plate maps, curves and relative quantity axis without a
browser: what a cell says of its well, what the colour scale is made from,
the curves' data read back against the analysis, the axis of powers of two,
and the pages' sizes on large real runs."""
import json
import math
import re

import numpy as np
import pytest
from big_runs import melt_run

from quelmar.analysis.settings import AnalysisSettings
from quelmar.command import jobs
from quelmar.command.cli import main
from quelmar.report import curves, maps, svg

STEPONE = "data/rdml/stepone_std.rdml"
BIORAD = "data/rdml/BioRad_384.rdml"
MELT = "data/rdml/BioRad_qPCR_melt.rdml"


def _report(tmp_path, *args, name="report.html"):
    out = tmp_path / name
    assert main(["report", *args, "--out", str(out), "-q"]) == 0
    return out


def _islands(html):
    return {k: json.loads(v) for k, v in re.findall(r'<script type="application/json" id="(curves\d+)">(.*?)</script>',
                                                     html)}


# -- what a cell says ---------------------------------------------------------------------------

@pytest.mark.parametrize("sample, kind, quantity, role, label", [
    ("NTC_RNase P", "ntc", math.nan, "control", "NTC"),
    ("water", "nrt", math.nan, "control", "NRT"),
    ("STD_10000", "std", 10000.0, "standard", "1e4"),
    ("dil-2", "unkn", 2500.0, "standard", "2.5e3"),   # a quantity makes a standard
    ("std-5", "std", 625.0, "standard", "625"),
    ("liver-1", "unkn", math.nan, "sample", "liver-1"),
])
def test_a_cell_says_what_the_well_is(sample, kind, quantity, role, label):
    assert maps.role(kind, quantity) == role and maps.short_label(sample, kind, quantity) == label


@pytest.mark.parametrize("text, room, expected", [
    ("Placebo", 7, "Placebo"),
    ("Compound A", 7, "Com…d A"),
    ("Compound A/B", 7, "Com…A/B"),   # the end that tells a series apart stays
    ("x", 2, "x"), ("abcdef", 2, ""),
])
def test_labels_are_cut_in_the_middle(text, room, expected):
    assert maps.fitted(text, (room + 0.5) * maps.CHAR_WIDTH * 10.0, 10.0) == expected


def test_the_colour_scale_leaves_out_controls_and_wells_out_of_line():
    values = [20.0, 21.0, 22.0, 47.1, 35.0, 30.0, math.nan]
    roles = ["sample"] * 4 + ["control", "sample", "sample"]
    scale = maps.Scale(values, roles, [False, False, False, True, False, False, False],
                       [False, False, False, False, False, True, False])
    assert (scale.colours.low, scale.colours.high) == (20.0, 22.0)
    assert scale.fill(35.0, "control") == maps.CONTROL_FILL and scale.fill(47.1, "sample") == svg.SCALE[-1]
    assert scale.note() == "colour scale without 1 negative control and 2 excluded or out-of-line wells " \
                           "(drawn at its ends)"
    assert maps.Scale([20.0, 21.0], ["sample"] * 2, [False] * 2, [False] * 2).note() == ""


def test_each_map_covers_only_the_part_of_the_plate_its_wells_use(tmp_path):
    html = _report(tmp_path, BIORAD, "--calibrator", "Placebo").read_text()
    maps_html = re.findall(r'<figure class="map ct-map">(.*?)</figure>', html, flags=re.S)
    assert len(maps_html) == 4
    for figure in maps_html:
        columns = re.findall(r'<text class="tick"[^>]*text-anchor="middle">(\d+)</text>', figure)
        rows = re.findall(r'<text class="tick"[^>]*text-anchor="end">([A-Z]+)</text>', figure)
        # 12 wells of a 16 x 24 plate: four rows running on, three columns
        assert len(columns) == 3 and len(rows) == 4 and [ord(r) - ord(rows[0]) for r in rows] == [0, 1, 2, 3]
        assert 'class="empty"' not in figure
    # Cells carry their identity, and standards and controls their marks.
    html = _report(tmp_path, STEPONE, name="s.html").read_text()
    assert html.count('data-role="control"') == 3 and html.count('data-role="standard"') == 15
    assert html.count('class="std-mark"') == 15 + 1 and html.count('class="ctl-mark"') == 3 + 1  # and the legends'
    assert ">1e4</text>" in html and ">NTC</text>" in html and ">pop1…e P</text>" in html


def test_excluded_wells_are_marked_and_say_why(tmp_path):
    html = _report(tmp_path, STEPONE, "--exclude", "B2,A4").read_text()
    cells = re.findall(r'<g class="cell"[^>]*data-excluded="([^"]*)"', html)
    assert cells == ["user", "user"] and html.count('class="fill excluded"') == 2
    assert "Left out of the fit: B2 (user)." in html
    assert "Excluded wells: left out of standard curves and relative quantities" in html


# -- curves -----------------------------------------------------------------------------------

def _decode(d, q):
    return np.cumsum(d) * q


def test_curves_are_stored_once_and_read_back_within_their_step(tmp_path):
    html = _report(tmp_path, STEPONE).read_text()
    (key, chart), = _islands(html).items()
    assert set(chart["views"]) == {"linear", "log"} and {v["set"] for v in chart["views"].values()} == {0}
    assert f'data-curves="{key}"' in html and not re.search(r'class="curve[ "]', html)  # the script draws them
    plate = jobs.amplify(STEPONE, AnalysisSettings()).plates[0]
    data = chart["sets"][0]
    qx, qy = data["q"]
    assert np.allclose(_decode(data["x"], qx), plate.cycles, atol=qx / 2 + 1e-12)
    for series, well, row in zip(data["series"], plate.wells, plate.curves):
        assert series[0] == well.well and series[2] == int(bool(well.flags))
        assert np.max(np.abs(_decode(series[3], qy) - row)) <= qy / 2 * (1 + 1e-9)


def test_melt_curves_keep_what_a_pixel_shows_and_fits_are_the_librarys_gaussians(tmp_path):
    html = _report(tmp_path, MELT, "--target", "EvaGreen").read_text()
    chart = next(c for c in _islands(html).values() if "range" in c["views"])
    melt = jobs.melt(MELT, AnalysisSettings(target="EvaGreen")).plates[0]
    view, data = chart["views"]["range"], chart["sets"][chart["views"]["range"]["set"]]
    axes = svg.Axes(view["x"][:2], view["y"][:2])
    by_well = {s[0]: s for s in data["series"]}
    for c in melt.curves:
        if c.problem or not c.grid.size:
            continue
        s = by_well[c.well]
        x, y = _decode(s[4], data["q"][0]), _decode(s[3], data["q"][1])
        assert len(x) < len(c.grid) / 3  # a few dozen points of the library's fine grid
        assert _furthest(axes.x(c.grid), axes.y(c.conditioned), axes.x(x), axes.y(y)) < curves.TOLERANCE + 0.1
        peaks = chart["fits"]["peaks"].get(c.well, [])
        mine = sum(h * np.exp(-0.5 * ((c.grid - tm) / sd) ** 2) for tm, h, sd in peaks) if peaks else 0 * c.grid
        assert np.allclose(mine, c.fitted, atol=1e-6 * max(1.0, float(np.max(np.abs(c.fitted)))))


def _furthest(px, py, kx, ky):
    """The largest distance, in pixels, of the points (px, py) from the polyline (kx, ky)."""
    ax, ay, bx, by = kx[:-1], ky[:-1], kx[1:], ky[1:]
    dx, dy = bx - ax, by - ay
    length = np.maximum(dx * dx + dy * dy, 1e-18)
    t = np.clip(((px[:, None] - ax) * dx + (py[:, None] - ay) * dy) / length, 0.0, 1.0)
    return float(np.min(np.hypot(ax + t * dx - px[:, None], ay + t * dy - py[:, None]), axis=1).max())


def test_simplify_keeps_every_point_within_its_tolerance():
    rng = np.random.default_rng(5)
    x = np.linspace(0.0, 500.0, 3000)
    y = 100.0 * np.exp(-((x - 250.0) / 40.0) ** 2) + rng.normal(0.0, 0.05, x.size)
    keep = curves.simplify(x, y)
    assert keep[0] == 0 and keep[-1] == x.size - 1 and len(keep) < 300
    assert _furthest(x, y, x[keep], y[keep]) <= curves.TOLERANCE * (1 + 1e-9)


# -- relative quantities ----------------------------------------------------------------------

@pytest.mark.parametrize("exponent, label", [(0, "1"), (3, "8"), (-3, "1/8"), (6, "64"), (-6, "1/64"),
                                             (10, "2¹⁰"), (-10, "2⁻¹⁰")])
def test_rq_ticks_are_powers_of_two_as_fractions_or_exponents(exponent, label):
    assert svg.power_of_two(exponent) == label


def test_rq_ticks_stay_few_and_whole():
    assert svg.log2_ticks(-0.3, 2.6) == [0.0, 1.0, 2.0]
    wide = svg.log2_ticks(-12.4, 9.8)
    assert wide == [-10.0, -5.0, 0.0, 5.0] and all(float(t).is_integer() for t in wide)


def test_a_result_on_one_well_is_drawn_apart_without_an_interval(tmp_path):
    # Leave one Kidney well of Compound A: its RQ rests on one well.
    html = _report(tmp_path, BIORAD, "--calibrator", "Placebo", "--exclude", "B10,C10,D10").read_text()
    rows = jobs.quantify(BIORAD, AnalysisSettings(calibrator="Placebo", exclude=(("B10", ""), ("C10", ""),
                                                                                  ("D10", "")))).tables["quantities"]
    single = [r for r in rows if "single-well" in r.flags]
    assert single and all(math.isnan(r.rq_low) for r in single)
    assert html.count('class="bar single"') == len(single) and html.count(">n=1</text>") == len(single)
    assert "0.000976562" not in html


# -- sizes -----------------------------------------------------------------------------------

def test_pages_of_large_runs_stay_compact(tmp_path):
    one = melt_run(tmp_path / "run.rdml", wells=210)
    page = _report(tmp_path, one, name="one.html")
    assert page.stat().st_size <= 1_500_000
    ten = [melt_run(tmp_path / f"run{k}.rdml", wells=210, name=f"run{k}") for k in range(10)]
    page = _report(tmp_path, *ten, "--jobs", "2", name="ten.html")
    assert page.stat().st_size <= 8_000_000
    assert page.read_text().count('class="cell"') == 10 * 2 * 210
