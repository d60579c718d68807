"""Quality flags on constructed plates, the per-well efficiency on curves of
known efficiency, and the legend of the amplification plot counting what
it claims."""
import json

import numpy as np
import pytest
from synthetic import richards, write_plate, write_sheet

from quelmar.analysis import judgement
from quelmar.analysis.amplification import analyze_amplification
from quelmar.analysis.efficiency import baselines, well_efficiencies
from quelmar.analysis.settings import AnalysisSettings
from quelmar.command.cli import main
from quelmar.command.jobs import amplify
from quelmar.common import flags
from quelmar.writing import plots

# well: (sample, type, curve midpoint or None for no amplification)
PLATE = {
    "A1": ("S1", "unkn", 22.0), "A2": ("S1", "unkn", 22.1), "A3": ("S1", "unkn", 21.95),
    "A4": ("S1", "unkn", 24.5),                      # two cycles behind its replicates
    "B1": ("water", "ntc", 30.0),                    # a negative control that amplifies
    "B2": ("water", "ntc", None),                    # one that does not
    "B3": ("S2", "unkn", 41.0),                      # Ct in the last five cycles
    "B4": ("S3", "unkn", None),                      # a sample without Ct
    "B5": ("S4", "std", 30.0),                       # late only past --max-ct 25
}
NEW = {"ntc-amplified", "no-ct", "late-ct", "replicate-outlier"}
EXPECTED = {"A4": {"replicate-outlier"}, "B1": {"ntc-amplified"}, "B3": {"late-ct"}, "B4": {"no-ct"}}


@pytest.fixture
def plate(tmp_path):
    csv = write_plate(tmp_path / "plate.csv", {w: richards(x0) for w, (_, _, x0) in PLATE.items()})
    sheet = write_sheet(tmp_path / "sheet.csv", [(w, s, "T", t) for w, (s, t, _) in PLATE.items()])
    return csv, sheet


@pytest.mark.parametrize("max_ct, extra", [(None, {}), ("25", {"B5": {"late-ct"}})])
def test_flags_on_a_constructed_plate(plate, tmp_path, max_ct, extra):
    csv, sheet = plate
    out = tmp_path / "ct.json"
    assert main(["amplify", csv, "--samples", sheet, "--ct", "linear", "--out", str(out), "-q"] +
                (["--max-ct", max_ct] if max_ct else [])) == 0
    document = json.loads(out.read_text())
    expected = {**EXPECTED, **extra}
    assert {r["well"]: set(r["flags"]) & NEW for r in document["wells"]} == {w: expected.get(w, set()) for w in PLATE}
    assert list(document["flags"]) == list(flags.VOCABULARY) and all(document["flags"].values())


def test_legend_counts_what_it_claims(plate):
    csv, sheet = plate
    from quelmar.reading.samplesheet import read_sample_sheet
    result = amplify(csv, AnalysisSettings(samples=read_sample_sheet(sheet)))
    p = result.plates[0]
    texts = [t.get_text() for t in plots.amplify(result.plates).axes[0].get_legend().get_texts()]
    with_ct = sum(np.isfinite(w.ct_linear) for w in p.wells)
    flagged = sum(bool(w.flags) for w in p.wells)
    assert f"Ct ({with_ct} of {len(p.wells)} wells, grey when flagged)" in texts
    assert f"flagged ({flagged} wells)" in texts
    for name, k in flags.count(w.flags for w in p.wells).items():
        assert f"  {name}: {k}" in texts
    assert flagged == len({w.well for w in p.wells if w.flags}) >= 4


O, S = "replicate-outlier", "replicate-spread"


@pytest.mark.parametrize("ct, samples, expected", [
    ([20.0, 20.1, 19.9, 21.0], "aaaa", {3: O}),           # the others agree within 0.5: one outlier
    ([20.0, 20.6, 21.2], "aaa", {0: S, 1: S, 2: S}),       # no two agree: three are never made one
    ([20.0, 20.45, 20.3], "aaa", {}),                      # within the least tolerance
    ([20.0, 25.0], "aa", {0: S, 1: S}),                    # two that disagree: which is wrong is unknown
    ([20.0, 20.1, 25.0, 30.0, 30.1, 35.0], "aaabbb", {2: O, 5: O}),
    ([20.0, np.nan, 20.1, 24.0], "aaaa", {3: O}),          # a well without Ct is no replicate
    ([20.0, 20.1, 24.0], "", {}),                          # unnamed samples are not replicates
    ([30.14, 31.25, 32.64], "aaa", {0: S, 1: S, 2: S}),    # a real case that once became n = 1
])
def test_replicate_flags(ct, samples, expected):
    names = list(samples) if samples else [""] * len(ct)
    assert judgement.replicate_flags(names, ct, [False] * len(ct)) == expected


def test_replicate_tolerance_follows_the_runs_own_scatter():
    # Eight triplicates scattered by 0.3 cycles: four SD is about 1.2 cycles of tolerance.
    rng = np.random.default_rng(0)
    ct = list(np.concatenate([20.0 + 2 * g + rng.normal(0.0, 0.3, 3) for g in range(8)]))
    names = [str(g) for g in range(8) for _ in range(3)]
    tolerance = judgement.replicate_tolerance(judgement.replicate_groups(names, np.array(ct), [False] * 24),
                                              np.array(ct))
    assert 0.8 < tolerance < 2.0
    # A ninth group with a well 1 cycle off agrees at that scatter; one 2.5 cycles off is told apart.
    for far, expected in ((1.0, {}), (2.5, {26: O})):
        assert judgement.replicate_flags(names + ["n"] * 3, ct + [40.0, 40.1, 40.0 + far], [False] * 27) == expected
    # An outlier in most groups does not widen the tolerance: the spread leaves each group's furthest out.
    quads = [20.49, 20.11, 21.21, 20.37, 21.43, 21.18, 20.44, 21.44, 22.43, 20.55, 21.59, 21.28]
    found = judgement.replicate_flags(["P", "A", "B"] * 4, quads, [False] * 12)
    assert found == {1: O, 8: O}
    # Left out (a control, an excluded well): no one's replicate.
    assert judgement.replicate_flags(list("aaa"), [20.0, 20.1, 24.0], [False, False, True]) == {}


@pytest.mark.parametrize("size", sorted(judgement.SPREAD_MEDIANS))
def test_spread_medians_are_those_of_normal_scatter(size):
    x = np.sort(np.random.default_rng(size).normal(0.0, 1.0, (400_000, size)), axis=1)
    if size > 2:  # the furthest from the median is the lowest or the highest value
        median = np.median(x, axis=1)
        low_far = median - x[:, 0] > x[:, -1] - median
        x = np.where(low_far[:, None], x[:, 1:], x[:, :-1])
    assert np.median(x[:, -1] - x[:, 0]) == pytest.approx(judgement.SPREAD_MEDIANS[size], rel=0.01)
    group = np.array([20.0, 20.3, 23.0, 19.9][:size])
    assert judgement._spread(group) == pytest.approx(0.3 if size == 2 else 0.4 if size > 3 else 0.3)


def test_a_large_group_is_judged_against_its_own_spread():
    rng = np.random.default_rng(3)
    poisson_like = list(32.0 + rng.normal(0.0, 0.4, 94))  # 15 copies: ordinary scatter of 0.4 cycles
    assert judgement.replicate_flags(["x"] * 94, poisson_like, [False] * 94) == {}
    tight = list(20.0 + rng.normal(0.0, 0.05, 20)) + [20.8]
    assert judgement.replicate_flags(["x"] * 21, tight, [False] * 21) == {20: O}


@pytest.mark.parametrize("efficiency, expected", [
    ([2.0, 1.98, 2.01, 1.80], []),                          # four values: too few for a spread
    ([1.90, 1.91, 1.89, 1.92, 1.90, 1.70], [5]),            # far beyond a tight spread
    ([1.80, 1.82, 1.85, 1.84, 1.81, 1.86, 1.83], []),       # within 3 % of the median
    ([1.50, 1.70, 1.90, 2.10, 1.60, 2.00, 1.45], []),       # a noisy target: nothing stands out
    ([1.90, 1.91, np.nan, 1.92, 1.90, 1.89, 1.60], [6]),
])
def test_efficiency_outliers(efficiency, expected):
    assert judgement.efficiency_outliers(efficiency) == expected


@pytest.mark.parametrize("base, plateau", [(500.0, 8000.0), (-40.0, 2500.0), (3000.0, 30000.0)])
def test_efficiency_of_curves_of_known_efficiency(base, plateau):
    truth = np.array([1.7, 1.8, 1.9, 2.0, 1.85])
    curves = np.array([richards(26 + k, e, plateau, base) for k, e in enumerate(truth)])
    r = analyze_amplification(curves * (10000 / plateau))
    found = well_efficiencies(curves, baselines(curves, r.records["baseline_start"], r.records["baseline_end"]))
    assert np.allclose(found, truth, atol=0.005)


def test_efficiency_needs_a_rising_curve():
    flat = np.vstack([richards(None), np.full(40, 100.0), richards(25)])
    e = well_efficiencies(flat, np.array([500.0, 100.0, 500.0]), usable=[True, True, False])
    assert np.isnan(e).all()
