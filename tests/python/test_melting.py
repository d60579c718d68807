"""The melt analysis: synthetic melts of known Tm on even, uneven, out-of-order
and falling grids, the range chosen above a background, the flags of a
constructed plate, and the bundled melts."""
import csv
import json
import math

import numpy as np
import pytest
from conftest import DATA

from quelmar import flags, melting
from quelmar.csvplate import read_csv
from quelmar.melting import Settings, analyze_well, even_grid, judge, melt_derivative
from quelmar.rdml import read_rdml

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

@pytest.mark.parametrize("t", [np.arange(60.0, 90.001, 0.5), np.round(np.arange(60.0, 90.001, 0.1), 2),
                               np.arange(60.0, 90.001, 1.0)])
def test_even_readings_are_used_as_read(t):
    g = even_grid(t, melt(t, [PRODUCT]))
    assert not g.resampled and g.note == "" and g.step == pytest.approx(t[1] - t[0])
    assert np.array_equal(g.temperature, t) and np.array_equal(g.fluorescence, melt(t, [PRODUCT]))


@pytest.mark.parametrize("order, note", [
    (lambda t: t[::-1], "falling ramp reversed"),
    (lambda t: t[[0, 3, 1, 2] + list(range(4, t.size))], "1 reading out of order sorted"),
    (lambda t: np.r_[t[:5], t[4], t[5:]], "1 repeated temperature merged"),
])
def test_readings_sorted_and_merged_without_resampling(order, note):
    t = np.arange(60.0, 70.001, 0.5)
    g = even_grid(order(t), order(2.0 * t))
    assert note in g.note and not g.resampled
    assert np.array_equal(g.temperature, t) and np.allclose(g.fluorescence, 2.0 * t)


def test_uneven_readings_resampled_onto_an_even_grid_through_the_spline():
    t = _uneven()
    g = even_grid(t, 1000.0 - 7.0 * t)  # a natural cubic spline reproduces a line
    steps = np.diff(g.temperature)
    assert g.resampled and "resampled onto" in g.note and "out of order" in g.note
    assert np.allclose(steps, g.step, rtol=0, atol=1e-9) and melting.MIN_STEP <= g.step <= melting.MAX_STEP
    assert g.step == pytest.approx(np.median(np.diff(np.sort(t))), rel=1e-12)
    assert np.allclose(g.fluorescence, 1000.0 - 7.0 * g.temperature, rtol=0, atol=1e-9)


@pytest.mark.parametrize("step, expected", [(0.03, 0.1), (2.0, 1.0)])
def test_steps_outside_the_bounds_are_brought_inside(step, expected):
    t = np.arange(50.0, 95.001, step)
    g = even_grid(t, 5.0 * t)
    assert g.resampled and g.step == expected and np.allclose(g.fluorescence, 5.0 * g.temperature)


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
        assert m.main == -1 and problem in m.problem and judge([m]) == [("no-peak",)]


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
    assert judge([m]) == [("extra-peak",)]


def test_one_degree_steps_place_the_tm_within_a_quarter_degree():
    t = np.arange(35.0, 95.001, 1.0)
    assert analyze_well(t, melt(t, [PRODUCT])).main_tm == pytest.approx(82.0, abs=0.25)


@pytest.mark.parametrize("tm", [63.0, 92.5])
def test_peaks_two_degrees_from_either_end_are_found(tm):
    t = np.arange(61.0, 94.501, 0.25)
    assert analyze_well(t, melt(t, [(tm, 0.8, 200.0)])).main_tm == pytest.approx(tm, abs=0.05)


# -- the range --------------------------------------------------------------------------

def test_the_default_range_leaves_a_background_hump_out():
    t = np.arange(35.0, 95.001, 0.5)
    hump = (55.0, 8.0, 400.0)  # wider than any product and twice as tall
    f = melt(t, [hump, PRODUCT])
    m = analyze_well(t, f)
    assert m.range_chosen and 65.0 < m.range[0] < 78.0 and m.range[1] == pytest.approx(94.0)
    assert m.main_tm == pytest.approx(82.0, abs=0.1) and judge([m]) == [()]
    whole = analyze_well(t, f, Settings(range=(36.0, 94.0)))
    assert not whole.range_chosen and whole.main_tm != pytest.approx(82.0, abs=1.0)


def test_a_product_on_a_falling_background_many_times_its_height_is_found():
    t = np.arange(55.0, 95.001, 0.5)
    f = melt(t, [(85.0, 1.0, 100.0)], background=10000.0, decay=6.0)  # -dF/dT at 56 is 35 times the peak
    m = analyze_well(t, f)
    assert 80.0 < m.range[0] < 84.0 and m.main_tm == pytest.approx(85.0, abs=0.5)  # the slope pulls it down
    assert analyze_well(t, f, Settings(range=(56.0, 94.0))).main == -1


def test_flat_traces_give_no_peak():
    t = np.arange(35.0, 95.001, 0.5)
    rng = np.random.default_rng(7)
    traces = [2800.0 + 0.02 * (t - 60.0) ** 2 + rng.normal(0.0, 0.3, t.size) for _ in range(6)]
    traces.append(2800.0 - 3.0 * t + 2.0 * np.sin(t / 4.0))
    melts = [analyze_well(t, f) for f in traces]
    assert judge(melts, ["ntc"] * len(melts)) == [("no-peak",)] * len(melts)


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
        ("ntc", [(72.0, 0.8, 80.0)], ["ntc-peak", "tm-outlier", "low-tm"]),
        ("ntc", [], ["no-peak"]),
        ("nrt", [(82.1, 1.0, 150.0)], ["ntc-peak"]),
    ]
    melts = [analyze_well(t, melt(t, products)) for _, products, _ in wells]
    assert judge(melts, [w[0] for w in wells]) == [tuple(w[2]) for w in wells]
    assert melts[4].tm == pytest.approx([82.0, 87.0], abs=0.05) and melts[4].main == 0


def test_each_target_is_judged_against_its_own_median():
    t = np.arange(60.0, 95.001, 0.25)
    tms = [80.0, 80.2, 80.4, 86.0, 86.2, 87.5]
    melts = [analyze_well(t, melt(t, [(tm, 1.0, 200.0)])) for tm in tms]
    assert judge(melts, targets=list("aaabbb")) == [()] * 5 + [("tm-outlier",)]
    assert judge(melts[:5], targets=list("aaabb")) == [()] * 5  # two wells make no median
    assert set(melting.FLAGS) <= set(flags.VOCABULARY) and flags.VOCABULARY["low-tm"].analysis == "melting"


# -- the bundled melts ----------------------------------------------------------------------

def _bundled_rdml():
    plate = read_rdml(DATA / "rdml" / "BioRad_qPCR_melt.rdml")
    out = {}
    for g in plate.groups():
        wells = [w for w in g.wells if w.melt_fluor is not None]
        melts = [analyze_well(w.melt_temperature, w.melt_fluor) for w in wells]
        judge(melts, [w.sample_type for w in wells])
        out[g.target] = list(zip(wells, melts))
    return out


def test_bundled_rdml_melts_meet_the_target():
    groups = _bundled_rdml()
    amplified = [m for w, m in groups["EvaGreen"] if math.isfinite(w.cq)]
    in_range = [m for m in amplified if 70.0 <= m.main_tm <= 95.0]
    assert len(amplified) == 26 and len(in_range) >= 0.9 * len(amplified)
    for target in ("Cy5", "Cy5-2", "Cy5-2_rr"):  # no well amplified: no peak goes without a flag
        assert all(m.flags for w, m in groups[target])
    negatives = [m for w, m in groups["EvaGreen"] if not math.isfinite(w.cq)]
    assert all(m.flags for m in negatives)


def test_dyemelt_peaks_where_the_products_melt():
    plate = read_csv(DATA / "dyemelt.csv", "melting")
    eva = next(w for w in plate.wells if w.name == "EvaGreen")
    m = analyze_well(eva.melt_temperature, eva.melt_fluor)
    assert "resampled onto 0.125 °C steps" in m.note
    assert m.tm == pytest.approx([77.3, 80.1, 82.4, 84.7], abs=0.15) and m.main_tm == pytest.approx(84.7, abs=0.15)


# -- the command ---------------------------------------------------------------------------

def test_melt_command_peak_rows_summary_and_json(tmp_path, capsys):
    from quelmar.cli import main
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
    assert d10["flags"] == "ntc-peak,tm-outlier,low-tm" and d10["range"] == "chosen"
    doc = json.loads(both.read_text())
    assert {"peaks", "wells"} <= set(doc) and set(melting.FLAGS) <= set(doc["flags"])
    assert {w["range"] for w in doc["wells"]} == {"given"} and min(w["range_low"] for w in doc["wells"]) == 70.0
    assert (tmp_path / "m.png").read_bytes()[:4] == b"\x89PNG" and capsys.readouterr().err == ""


def test_melt_command_on_uneven_readings_and_the_help(tmp_path, capsys):
    from quelmar.cli import main
    t = _uneven()
    with open(tmp_path / "lc.csv", "w") as f:
        f.write("Temp,A1,A2\n" + "".join(f"{a},{b},{c}\n" for a, b, c in
                                          zip(t, melt(t, [PRODUCT]), melt(t, [DIMER], background=900.0))))
    assert main(["melt", str(tmp_path / "lc.csv"), "--quiet"]) == 0
    out = capsys.readouterr().out
    lines = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith("A")}
    assert "2 wells, 2 resampled onto even steps" in out and lines["A2"][-1] == "low-tm"
    assert float(lines["A1"][1]) == pytest.approx(82.0, abs=0.05)
    assert float(lines["A2"][1]) == pytest.approx(74.0, abs=0.1)
    assert main(["flags"]) == 0 and "low-tm" in capsys.readouterr().out
    assert main(["melt", "--help"]) == 0
    assert "low-temperature background" in " ".join(capsys.readouterr().out.split())
    assert main(["amplify", str(DATA / "rdml" / "stepone_std.rdml"), "--log", "--plot", str(tmp_path / "a.png"),
                 "--quiet"]) == 0


def _csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


BUNDLED_KINDS = {"dyemelt.csv": "melting", "reps384.csv": "amplification", "dil4reps94.csv": "amplification",
                 "nist_norris.csv": "none", "rdml/BioRad_qPCR_melt.rdml": "both", "rdml/BioRad_384.rdml":
                 "amplification", "rdml/test_rdml.rdml": "amplification", "rdml/lc96_bACTXY.rdml": "amplification",
                 "rdml/stepone_std.rdml": "amplification"}


@pytest.mark.parametrize("name", BUNDLED_KINDS)
def test_a_subcommand_refuses_a_file_of_the_wrong_kind_in_one_line(name, capsys):
    from quelmar.cli import main
    kind = BUNDLED_KINDS[name]
    for command, needs, other in (("amplify", "amplification", "`quelmar melt`"),
                                  ("melt", "melting", "`quelmar amplify`")):
        if kind in (needs, "both"):
            continue
        assert main([command, str(DATA / name), "-q"]) == 2
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and name.split("/")[-1] in err
        assert ("no subcommand reads it" if kind == "none" else f"not {needs} data") in err
        assert kind == "none" or other in err


def test_repeated_temperatures_pass_the_readers_and_are_merged(tmp_path):
    import zipfile
    from quelmar.cli import main
    t = np.r_[np.arange(60.0, 95.001, 0.25), 70.0, 80.0]  # two temperatures read twice
    f = melt(t, [PRODUCT])
    mdp = "".join(f"<mdp><tmp>{a}</tmp><fluor>{b}</fluor></mdp>" for a, b in zip(t, f))
    doc = ('<rdml version="1.2" xmlns="http://www.rdml.org"><sample id="s"><type>unkn</type></sample>'
           '<target id="T"><type>toi</type><dyeId id="FAM"/></target><experiment id="e"><run id="r"><react id="1">'
           f'<sample id="s"/><data><tar id="T"/>{mdp}</data></react></run></experiment></rdml>')
    with zipfile.ZipFile(tmp_path / "lc.rdml", "w") as z:
        z.writestr("rdml_data.xml", doc)
    (tmp_path / "lc.csv").write_text("Temp,A1\n" + "".join(f"{a},{b}\n" for a, b in zip(t, f)))
    for name in ("lc.rdml", "lc.csv"):
        out = tmp_path / f"{name}.json"
        assert main(["melt", str(tmp_path / name), "--out", str(out), "-q"]) == 0
        well = json.loads(out.read_text())["wells"][0]
        assert "2 repeated temperatures merged" in well["note"] and well["tm"] == pytest.approx(82.0, abs=0.05)
