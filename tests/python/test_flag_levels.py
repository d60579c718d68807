"""Each calibrated flag on constructed runs, on both sides of its level (on
the threshold-crossing Ct, whose place on these curves is plain): a
negative control's rise against the run's products, a late rise the
threshold misses, a late Ct against the run's length and the target, a melt
peak against the target's products, a Tm against the target's spread, and
the marks a result takes from its controls."""
import math

import numpy as np
import pytest
from synthetic import CYCLES, richards, write_plate, write_sheet
from test_melting import melt

from quelmar.analysis import judgement
from quelmar.analysis.melting import analyze_well
from quelmar.analysis.settings import AnalysisSettings
from quelmar.command import jobs
from quelmar.common import flags
from quelmar.reading.samplesheet import read_sample_sheet

PLATEAU = 8000.0
SAMPLES = {f"A{k}": 24.0 + 0.5 * k for k in range(1, 7)}  # six samples that amplify, plateau 8000


def _amplify(tmp_path, extra, types=None, names=None, threshold=None):
    """Six amplifying samples plus ``extra`` {well: readings}; returns rows by well."""
    columns = {w: richards(x0, noise=3.0, seed=k) for k, (w, x0) in enumerate(SAMPLES.items())}
    columns.update(extra)
    csv = write_plate(tmp_path / "plate.csv", columns)
    rows = [(w, (names or {}).get(w, f"s{w}"), "T", (types or {}).get(w, "unkn")) for w in columns]
    sheet = write_sheet(tmp_path / "sheet.csv", rows)
    result = jobs.amplify(csv, AnalysisSettings(samples=read_sample_sheet(sheet), threshold=threshold, ct="linear"))
    return {r.well: r for r in result.tables["wells"]}


@pytest.mark.parametrize("share, flagged", [(0.06, False), (0.16, True)])
def test_a_control_amplifies_from_a_tenth_of_the_runs_rise(tmp_path, share, flagged):
    # A control crossing the threshold with 6 % of the products' rise is crosstalk; with 16 % it is product.
    control = richards(26.0, plateau=share * PLATEAU, noise=0.5, seed=9)
    rows = _amplify(tmp_path, {"B1": control}, types={"B1": "ntc"}, threshold=150.0)
    assert math.isfinite(rows["B1"].ct_linear)
    assert ("ntc-amplified" in rows["B1"].flags) == flagged
    assert "late-ct" not in rows["B1"].flags  # a control is judged by whether it amplified, not when


@pytest.mark.parametrize("x0, ct, expected, control", [
    (42.0, True, {"late-ct"}, {"ntc-amplified"}),              # a late Ct: a control's rise is a product's
    (43.5, False, {"late-rise"}, {"ntc-amplified", "late-rise"}),  # no Ct, but its last readings rise
    (45.0, False, {"no-ct"}, set()),                            # the rise is too small to tell from noise
])
def test_a_rise_in_the_last_cycles_is_seen_without_a_ct(tmp_path, x0, ct, expected, control):
    late = richards(x0, noise=2.0, seed=4)
    rows = _amplify(tmp_path, {"B2": late, "B3": late.copy()}, types={"B3": "ntc"})
    assert math.isfinite(rows["B2"].ct_linear) == ct
    assert set(rows["B2"].flags) == expected and set(rows["B3"].flags) == control


def test_late_rise_measures_line_and_noise():
    flat = np.vstack([100.0 + 0.5 * CYCLES, 100.0 + 0.5 * CYCLES + np.r_[np.zeros(36), [8.0, 16.0, 32.0, 64.0]]])
    excess, noise, rising = judgement.late_rise_measures(flat)
    assert excess == pytest.approx([0.0, 64.0], abs=1e-9) and noise == pytest.approx([0.0, 0.0], abs=1e-9)
    assert list(rising) == [True, True]  # a drift rises too: the excess over its line tells them apart


@pytest.mark.parametrize("cycles, to_midpoint, after", [
    (40, [3.0, 3.0], 34.0),      # 15 % of 40 cycles
    (45, [3.0], 38.25),          # a 45-cycle run: 39.3 is late
    (30, [], 25.0),              # at least the last five
    (40, [8.0, 7.0, 9.0], 32.0),  # the target's curves need 8 cycles from the threshold to their steepest rise
])
def test_late_ct_is_relative_to_the_run_and_the_target(cycles, to_midpoint, after):
    assert judgement.late_after(np.arange(1.0, cycles + 1.0), to_midpoint) == pytest.approx(after)
    assert judgement.late_after(np.arange(1.0, cycles + 1.0), to_midpoint, max_ct=20.0) == 20.0


def test_late_ct_on_a_plate(tmp_path):
    rows = _amplify(tmp_path, {"B4": richards(36.0), "B5": richards(39.0)})
    assert "late-ct" not in rows["A6"].flags
    assert "late-ct" in rows["B5"].flags
    late = judgement.late_after(CYCLES, [])
    assert ("late-ct" in rows["B4"].flags) == (rows["B4"].ct_linear > late)


# -- melting ---------------------------------------------------------------------------------

T = np.arange(60.0, 95.001, 0.25)


def _melts(heights):
    return [analyze_well(T, melt(T, [(82.0, 1.0, h)])) for h in heights]


@pytest.mark.parametrize("height, amplified, kept", [
    (50.0, True, True), (30.0, True, False),     # 20 % of the products' 200: 40
    (110.0, False, True), (90.0, False, False),  # a well that did not amplify: 50 %, 100
])
def test_a_peak_counts_from_a_products_height(height, amplified, kept):
    melts = _melts([200.0, 190.0, 210.0, height])
    amplified_heights = [m.main_height for m, a in zip(melts, [True, True, True, amplified]) if a]
    reference = judgement.product_heights(melts, ["unkn"] * 4, [True, True, True, amplified])
    assert reference == pytest.approx(np.median(amplified_heights))  # the median of the wells that amplified
    assert (melts[3].main >= 0) == kept
    if not kept:
        assert math.isnan(melts[3].main_tm) and not melts[3].fitted.any() and "too low for a product" in melts[3].note
        assert judgement.melt_flags(melts, ["unkn"] * 4)[3] == ("no-peak",)


def test_without_amplification_no_height_is_compared():
    melts = _melts([200.0, 10.0])
    assert math.isnan(judgement.product_heights(melts, ["unkn", "unkn"])) and melts[1].main >= 0


def test_a_control_never_sets_the_products_height():
    melts = _melts([200.0, 2000.0])
    judgement.product_heights(melts, ["unkn", "ntc"], [True, True])
    assert judgement.melt_flags(melts, ["unkn", "ntc"]) == [(), ("ntc-peak",)]


@pytest.mark.parametrize("spread, off, flagged", [
    (0.05, 1.3, True),    # a tight target: 1.3 degrees off is another product
    (0.05, 0.9, False),   # within the least width of 1 degree
    (0.8, 2.5, False),    # a target whose Tm vary by row: 2.5 degrees is within 3.5 robust SD
    (0.8, 4.0, True),
])
def test_tm_outlier_against_the_targets_spread(spread, off, flagged):
    tms = 82.0 + spread * np.array([-1.0, -0.5, 0.0, 0.5, 1.0, -0.7, 0.7, 0.2])
    melts = [analyze_well(T, melt(T, [(tm, 1.0, 200.0)])) for tm in list(tms) + [82.0 + off]]
    found = judgement.melt_flags(melts, ["unkn"] * len(melts))
    assert ("tm-outlier" in found[-1]) == flagged and not any(found[:-1])
    assert flags.VOCABULARY["tm-outlier"].excludes


# -- results -----------------------------------------------------------------------------------

def test_a_control_that_amplified_marks_its_targets_results(tmp_path):
    columns = {"A1": richards(22.0), "A2": richards(22.05), "A3": richards(21.95),       # calibrator, T
               "A4": richards(24.0), "A5": richards(24.05), "A6": richards(23.95),      # sample, T
               "B1": richards(18.0), "B2": richards(18.05), "B3": richards(17.95),      # calibrator, R
               "B4": richards(18.0), "B5": richards(18.05), "B6": richards(17.95),      # sample, R
               "C1": richards(30.0), "C2": richards(None)}                             # controls of T and R
    sheet = [(w, s, t, "unkn") for w, s, t in [("A1", "cal", "T"), ("A2", "cal", "T"), ("A3", "cal", "T"),
                                               ("A4", "s", "T"), ("A5", "s", "T"), ("A6", "s", "T"),
                                               ("B1", "cal", "R"), ("B2", "cal", "R"), ("B3", "cal", "R"),
                                               ("B4", "s", "R"), ("B5", "s", "R"), ("B6", "s", "R")]]
    sheet += [("C1", "water", "T", "ntc"), ("C2", "water", "R", "ntc")]
    csv = write_plate(tmp_path / "p.csv", columns)
    settings = AnalysisSettings(samples=read_sample_sheet(write_sheet(tmp_path / "s.csv", sheet)),
                                calibrator="cal", reference=("R",), ct="linear", efficiency="2")
    rows = {r.sample: r for r in jobs.quantify(csv, settings).tables["quantities"]}
    assert rows["s"].flags == ("ntc-in-run",) and rows["s"].rq == pytest.approx(0.25, rel=0.05)
    assert not math.isnan(rows["s"].rq_low)  # marked, not removed


def test_a_control_that_amplified_marks_the_standard_curve(tmp_path):
    columns = {f"A{k + 1}": richards(20.0 + 3.32 * k) for k in range(4)}
    columns.update({"B1": richards(31.0), "B2": richards(None)})
    sheet = [(f"A{k + 1}", f"std{k}", "T", "std", 10.0 ** (6 - k)) for k in range(4)]
    csv = write_plate(tmp_path / "p.csv", columns)
    for control, marked in (("ntc", True), ("unkn", False)):
        rows = sheet + [("B1", "water", "T", control, ""), ("B2", "water", "T", "ntc", "")]
        settings = AnalysisSettings(samples=read_sample_sheet(write_sheet(tmp_path / "s.csv", rows,
                                                                          "well,sample,target,type,quantity")),
                                    ct="linear")
        fit, = jobs.standard(csv, settings).tables["fits"]
        assert fit.flags == (("ntc-in-run",) if marked else ()) and fit.n == 4
