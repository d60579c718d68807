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


@pytest.mark.parametrize("max_ct, extra", [(None, {}), ("25", {"B5": {"late-ct"}, "B1": {"ntc-amplified", "late-ct"}})])
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


@pytest.mark.parametrize("ct, samples, expected", [
    ([20.0, 20.1, 19.9, 21.0], "aaaa", [3]),            # the median of four is 20.05
    ([20.0, 20.6, 21.2], "aaa", [0, 2]),                # a spread group: both ends
    ([20.0, 25.0], "aa", []),                           # two replicates: no median to trust
    ([20.0, 20.1, 25.0, 30.0, 30.1, 35.0], "aaabbb", [2, 5]),
    ([20.0, np.nan, 20.1, 24.0], "aaaa", [3]),          # a well without Ct is no replicate
    ([20.0, 20.1, 24.0], "", []),                       # unnamed samples are not replicates
])
def test_replicate_outliers(ct, samples, expected):
    from quelmar.reading.plate import Well
    wells = [Well(f"W{i}", sample=samples[i] if samples else "") for i in range(len(ct))]
    assert judgement.replicate_outliers(wells, np.array(ct), [False] * len(ct)) == expected


@pytest.mark.parametrize("efficiency, expected", [
    ([2.0, 1.98, 2.01, 1.80], [3]),
    ([2.0, 1.95, 1.9], []),             # 5 % of the median 1.95 is 0.0975
    ([2.0, np.nan, 1.5], []),           # two values: too few
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
