"""The melt analysis: synthetic melts of known Tm on even, uneven, out-of-order
and falling grids, the range chosen above a background, the flags of a
constructed plate, and the bundled melts."""
import csv
import json
import math

import numpy as np
import pytest
from conftest import DATA

from quelmar.analysis.judgement import melt_flags
from quelmar.analysis.melting import MeltSettings, analyze_well, even_grid, melt_derivative
from quelmar.common import flags
from quelmar.reading.csvplate import read_csv
from quelmar.reading.rdml import read_rdml

_erfc = np.vectorize(math.erfc)


def melt(t, products, background=1500.0, decay=25.0, offset=300.0):
    """Fluorescence of products (Tm, sigma, peak height of -dF/dT) melting over a dye
    background that fades exponentially; -dF/dT of each product is a Gaussian."""
    t = np.asarray(t, dtype=float)
    f = offset + background * np.exp(-(t - 60.0) / decay)
    for tm, sigma, height in products:
        f = f + height * sigma * math.sqrt(2 * math.pi) * 0.5 * _erfc((t - tm) / (sigma * math.sqrt(2)))
    return f


PRODUCT, DIMER = (82.0, 1.0, 200.0), (74.0, 0.8, 60.0)


def _uneven(seed=3):
    """A LightCycler-like ramp: steps of 0.03 to 0.4 degree, three readings out of order at the start."""
    t = 60.0 + np.cumsum(np.random.default_rng(seed).uniform(0.03, 0.4, 320))
    t = t[t <= 95.0]
    t[[1, 2, 3]] = t[[3, 1, 2]]
    return t


GRIDS = {
    "even 0.25": np.arange(60.0, 95.001, 0.25),
    "even 0.5": np.arange(60.0, 95.001, 0.5),
    "uneven, out of order": _uneven(),
    "falling 0.2": np.arange(95.0, 59.999, -0.2),
    "repeats": np.repeat(np.arange(60.0, 95.001, 0.2), 2),
    "dense 0.03": np.arange(60.0, 95.001, 0.03),
}


# -- even grids --------------------------------------------------------------------------

def _line(t):
    return 1000.0 - 7.0 * np.asarray(t)  # a natural cubic spline reproduces a line


_HALVES = np.arange(60.0, 70.001, 0.5)


@pytest.mark.parametrize("t, resampled, note, step", [
    (np.arange(60.0, 90.001, 0.5), False, "", 0.5),                      # even: used as read
    (np.round(np.arange(60.0, 90.001, 0.1), 2), False, "", 0.1),         # written to two decimals
    (np.arange(60.0, 90.001, 1.0), False, "", 1.0),
    (_HALVES[::-1], False, "falling ramp reversed", 0.5),
    (_HALVES[[0, 3, 1, 2] + list(range(4, _HALVES.size))], False, "1 reading out of order sorted", 0.5),
    (np.r_[_HALVES[:5], _HALVES[4], _HALVES[5:]], False, "1 repeated temperature merged", 0.5),
    (_uneven(), True, "resampled onto", float(np.median(np.diff(np.sort(_uneven()))))),
    (np.arange(50.0, 95.001, 0.03), True, "resampled onto 0.1 °C", 0.1),  # steps brought within the bounds
    (np.arange(50.0, 95.001, 2.0), True, "resampled onto 1 °C", 1.0),
])
def test_readings_on_an_even_grid(t, resampled, note, step):
    g = even_grid(t, _line(t))
    assert g.resampled == resampled and note in g.note and (note or g.note == "") and g.step == pytest.approx(step)
    assert np.allclose(np.diff(g.temperature), g.step, rtol=0, atol=1e-9)
    assert np.allclose(g.fluorescence, _line(g.temperature), rtol=0, atol=1e-9)
    if not resampled:
        assert np.array_equal(g.temperature, np.unique(t))


@pytest.mark.parametrize("t, f, problem", [
    (np.arange(7.0), np.arange(7.0), "7 distinct temperatures"),
    (np.r_[np.full(20, 60.0)], np.arange(20.0), "1 distinct temperature"),
    (np.linspace(0, 1000, 20), np.arange(20.0), "span 1000"),
    (np.arange(10.0), np.arange(9.0), "10 temperatures but 9"),
])
def test_curves_that_are_not_melts_are_refused_or_reported(t, f, problem):
    with pytest.raises(ValueError, match=problem):
        even_grid(t, f)
    if t.size == f.size:
        m = analyze_well(t, f)
        assert m.main == -1 and problem in m.problem and melt_flags([m]) == [("no-peak",)]


def test_the_start_correction_falls_on_the_extension_not_on_the_readings():
    t = np.arange(60.0, 80.001, 0.5)
    temperature, derivative = melt_derivative(even_grid(t, 1000.0 - 20.0 * t))
    assert temperature[0] == pytest.approx(60.0) and temperature[-1] == pytest.approx(80.0)
    # -dF/dT = 20 through three passes of a kernel summing to 1.1, from the first reading on
    assert np.allclose(derivative, 20.0 * 1.1 ** 3, rtol=2e-4)


# -- Tm on any grid ----------------------------------------------------------------------

@pytest.mark.parametrize("name", GRIDS)
def test_tm_recovered_whatever_the_grid(name):
    t = GRIDS[name]
    m = analyze_well(t, melt(t, [PRODUCT, DIMER]))
    assert m.main_tm == pytest.approx(82.0, abs=0.05), m.problem
    assert m.tm == pytest.approx([74.0, 82.0], abs=0.15)
    assert melt_flags([m]) == [("extra-peak",)]


@pytest.mark.parametrize("t, tm, tolerance", [
    (np.arange(35.0, 95.001, 1.0), 82.0, 0.25),    # coarse steps: the peak is a few readings wide
    (np.arange(61.0, 94.501, 0.25), 63.0, 0.05),   # two degrees from either end
    (np.arange(61.0, 94.501, 0.25), 92.5, 0.05),
])
def test_tm_recovered_at_coarse_steps_and_near_the_ends(t, tm, tolerance):
    assert analyze_well(t, melt(t, [(tm, 0.8, 200.0)])).main_tm == pytest.approx(tm, abs=tolerance)


# -- the range --------------------------------------------------------------------------

def test_the_default_range_leaves_a_background_hump_out():
    t = np.arange(35.0, 95.001, 0.5)
    hump = (55.0, 8.0, 400.0)  # wider than any product and twice as tall
    f = melt(t, [hump, PRODUCT])
    m = analyze_well(t, f)
    assert m.range_chosen and 65.0 < m.range[0] < 78.0 and m.range[1] == pytest.approx(94.0)
    assert m.main_tm == pytest.approx(82.0, abs=0.1) and melt_flags([m]) == [()]
    whole = analyze_well(t, f, MeltSettings(range=(36.0, 94.0)))
    assert not whole.range_chosen and whole.main_tm != pytest.approx(82.0, abs=1.0)


def test_a_product_on_a_falling_background_many_times_its_height_is_found():
    t = np.arange(55.0, 95.001, 0.5)
    f = melt(t, [(85.0, 1.0, 100.0)], background=10000.0, decay=6.0)  # -dF/dT at 56 is 35 times the peak
    m = analyze_well(t, f)
    assert 80.0 < m.range[0] < 84.0 and m.main_tm == pytest.approx(85.0, abs=0.5)  # the slope pulls it down
    assert analyze_well(t, f, MeltSettings(range=(56.0, 94.0))).main == -1


def test_flat_traces_give_no_peak():
    t = np.arange(35.0, 95.001, 0.5)
    rng = np.random.default_rng(7)
    traces = [2800.0 + 0.02 * (t - 60.0) ** 2 + rng.normal(0.0, 0.3, t.size) for _ in range(6)]
    traces.append(2800.0 - 3.0 * t + 2.0 * np.sin(t / 4.0))
    traces += [2800.0 - 3.0 * t, np.full(t.size, 900.0)]  # a straight fall: the filters' ripple is no product
    melts = [analyze_well(t, f) for f in traces]
    assert [m.main for m in melts] == [-1] * len(melts)
    # A flat negative control is what it should be: no peak and no flag; a flat sample has no product.
    assert melt_flags(melts, ["ntc"] * len(melts)) == [()] * len(melts)
    assert melt_flags(melts, ["unkn"] * len(melts)) == [("no-peak",)] * len(melts)
    assert [m.problem for m in melts] == [""] * len(melts) and melts[-2].range == pytest.approx((36.0, 94.0))


# -- flags ----------------------------------------------------------------------------------

def test_flags_of_a_constructed_plate():
    t = np.arange(60.0, 95.001, 0.25)
    wells = [  # (sample type, products, expected flags)
        ("unkn", [(82.0, 1.0, 200.0)], []),
        ("unkn", [(82.2, 1.0, 180.0)], []),
        ("unkn", [(81.9, 1.0, 220.0)], []),
        ("unkn", [(83.6, 1.0, 200.0)], ["tm-outlier"]),
        ("unkn", [(82.0, 1.0, 200.0), (87.0, 1.0, 90.0)], ["extra-peak"]),
        ("unkn", [(82.0, 1.0, 200.0), (87.0, 1.0, 30.0)], []),
        ("ntc", [(72.0, 0.8, 80.0)], ["ntc-peak", "low-tm"]),  # controls make no median and are no outlier
        ("ntc", [], []),
        ("nrt", [(82.1, 1.0, 150.0)], ["ntc-peak"]),
    ]
    melts = [analyze_well(t, melt(t, products)) for _, products, _ in wells]
    assert melt_flags(melts, [w[0] for w in wells]) == [tuple(w[2]) for w in wells]
    assert melts[4].tm == pytest.approx([82.0, 87.0], abs=0.05) and melts[4].main == 0


def test_each_target_is_judged_against_its_own_median():
    t = np.arange(60.0, 95.001, 0.25)
    tms = [80.0, 80.2, 80.4, 86.0, 86.2, 87.5]
    melts = [analyze_well(t, melt(t, [(tm, 1.0, 200.0)])) for tm in tms]
    assert melt_flags(melts, targets=list("aaabbb")) == [()] * 5 + [("tm-outlier",)]
    assert melt_flags(melts[:5], targets=list("aaabb")) == [()] * 5  # two wells make no median
    assert set(flags.MELT_FLAGS) <= set(flags.VOCABULARY) and flags.VOCABULARY["low-tm"].analysis == "melting"


# -- the bundled melts ----------------------------------------------------------------------

def _bundled_rdml():
    plate = read_rdml(DATA / "rdml" / "BioRad_qPCR_melt.rdml")
    out = {}
    for g in plate.groups():
        wells = [w for w in g.wells if w.melt_fluor is not None]
        melts = [analyze_well(w.melt_temperature, w.melt_fluor) for w in wells]
        melt_flags(melts, [w.sample_type for w in wells])
        out[g.target] = list(zip(wells, melts))
    return out


def test_bundled_rdml_melts_meet_the_target():
    groups = _bundled_rdml()
    amplified = [m for w, m in groups["EvaGreen"] if math.isfinite(w.cq)]
    in_range = [m for m in amplified if 70.0 <= m.main_tm <= 95.0]
    assert len(amplified) == 26 and len(in_range) >= 0.9 * len(amplified)
    for target in ("Cy5", "Cy5-2", "Cy5-2_rr"):  # no well amplified: no peak, every sample flagged for it
        assert all(m.main < 0 and (m.flags == ("no-peak",) or w.sample_type == "ntc") for w, m in groups[target])
    assert all(m.main < 0 for w, m in groups["EvaGreen"] if not math.isfinite(w.cq))  # flat traces


def test_dyemelt_peaks_where_the_products_melt():
    plate = read_csv(DATA / "dyemelt.csv", "melting")
    eva = next(w for w in plate.wells if w.name == "EvaGreen")
    m = analyze_well(eva.melt_temperature, eva.melt_fluor)
    assert "resampled onto 0.125 °C steps" in m.note
    assert m.tm == pytest.approx([77.3, 80.1, 82.4, 84.7], abs=0.15) and m.main_tm == pytest.approx(84.7, abs=0.15)


# -- the command ---------------------------------------------------------------------------

def test_melt_command_peak_rows_summary_and_json(tmp_path, capsys):
    from quelmar.command.cli import main
    rdml = str(DATA / "rdml" / "BioRad_qPCR_melt.rdml")
    peaks, wells, both = tmp_path / "peaks.csv", tmp_path / "wells.csv", tmp_path / "melt.json"
    assert main(["melt", rdml, "--target", "Eva", "--out", str(peaks), "--quiet"]) == 0
    assert main(["melt", rdml, "--target", "Eva", "--summary", "--out", str(wells), "--quiet"]) == 0
    assert main(["melt", rdml, "--range", "70:", "--out", str(both), "--plot", str(tmp_path / "m.png")]) == 0
    rows, summary = _csv(peaks), _csv(wells)
    assert len(summary) == 30 and {"well", "sample", "target", "tm", "height", "peaks", "flags"} <= set(summary[0])
    mains = [r for r in rows if r["main"] == "True"]
    assert [(r["well"], r["tm"]) for r in mains] == [(r["well"], r["tm"]) for r in summary if r["tm"]]
    assert sum(int(r["peaks"]) for r in summary) == len(rows)
    d10 = next(r for r in summary if r["well"] == "D10")
    assert d10["flags"] == "ntc-peak,low-tm" and d10["range"] == "chosen"
    doc = json.loads(both.read_text())
    assert {"peaks", "wells"} <= set(doc) and set(flags.MELT_FLAGS) <= set(doc["flags"])
    assert {w["range"] for w in doc["wells"]} == {"given"} and min(w["range_low"] for w in doc["wells"]) == 70.0
    assert (tmp_path / "m.png").read_bytes()[:4] == b"\x89PNG" and capsys.readouterr().err == ""
    assert main(["melt", "--help"]) == 0
    assert "low-temperature background" in " ".join(capsys.readouterr().out.split())


def _csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))
