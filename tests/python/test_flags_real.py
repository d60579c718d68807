"""The quality flags on the bundled real runs: counted per kind, with bounds
rather than pinned lists, against what the runs are known to hold (the
instruments' own Cq, which wells are controls, which channels never
amplified)."""
import collections
import math
from dataclasses import replace

import numpy as np
import pytest

from quelmar.analysis import judgement
from quelmar.analysis.settings import AnalysisSettings
from quelmar.command import jobs
from quelmar.reading.samplesheet import read_sample_sheet

RDML = "data/rdml/"
#: Targets whose assay worked on the run: no flag may fire on more than 15 % of their wells.
HEALTHY = {
    RDML + "BioRad_384.rdml": ("Brain", "Liver", "Kidney", "GAPDH"),
    RDML + "stepone_std.rdml": ("RNase P",),
    RDML + "test_rdml.rdml": ("HPRT1", "CDKN1B", "BCL2", "PGK1"),
    RDML + "lc96_bACTXY.rdml": ("FAM@bACT", "Cy5@IPC"),
    "data/dil4reps94.csv": ("",),
    "data/reps384.csv": ("",),
}
MOST = 0.15


def _wells(path, settings=None):
    return jobs.amplify(path, settings or AnalysisSettings()).tables["wells"]


def _shares(rows):
    """Per target: (wells, {flag: wells with it})."""
    out = collections.defaultdict(lambda: [0, collections.Counter()])
    for r in rows:
        out[r.target][0] += 1
        out[r.target][1].update(r.flags)
    return out


@pytest.mark.parametrize("path", sorted(HEALTHY))
def test_no_flag_fires_on_more_than_15_percent_of_a_healthy_targets_wells(path):
    shares = _shares(_wells(path))
    for target in HEALTHY[path]:
        n, counts = shares[target]
        for flag, k in counts.items():
            assert k <= MOST * n, (target, flag, k, n)


@pytest.mark.parametrize("path, prefix", [("data/dil4reps94.csv", "F"), ("data/reps384.csv", "")])
def test_named_replicates_of_the_dilution_plates_scatter_without_flags(path, prefix, tmp_path):
    # 94 replicates of each dilution (379 of one): 15 copies scatter by 0.4 cycles, which is Poisson's
    # noise, not an outlier; the 0.5-cycle rule used to flag 26 of them.
    rows = _wells(path)
    sheet = tmp_path / "sheet.csv"
    sheet.write_text("well,sample,target,type\n" + "".join(
        f"{r.well},{r.well.split('_')[0] if prefix else 'one'},,unkn\n" for r in rows))
    named = _wells(path, replace(AnalysisSettings(), samples=read_sample_sheet(str(sheet))))
    counts = collections.Counter(f for r in named for f in r.flags)
    assert counts["replicate-outlier"] <= 4 and counts["replicate-spread"] == 0
    assert sum(1 for r in named if r.flags) <= 0.03 * len(named)


def test_the_replicate_rule_on_the_instruments_cq():
    # The same rule on the Cq each instrument wrote: within 15 % on every healthy target.
    for path, targets in HEALTHY.items():
        if not path.endswith(".rdml"):
            continue
        for p in jobs.amplify(path, AnalysisSettings()).plates:
            if p.target not in targets:
                continue
            cq = np.array([w.file_cq for w in p.wells])
            found = judgement.replicate_flags([w.sample for w in p.wells], cq,
                                              [w.sample_type.lower() in ("ntc", "nac", "nrt", "ntp") for w in p.wells])
            assert len(found) <= MOST * len(p.wells), (path, p.target, found)


def test_biorad_melt_run_controls_and_channels():
    path = RDML + "BioRad_qPCR_melt.rdml"
    amplified = {(r.target, r.well): r for r in _wells(path)}
    melted = {(r.target, r.well): r for r in jobs.melt(path, AnalysisSettings()).tables["wells"]}
    controls = [k for k, r in amplified.items() if r.sample_type == "ntc"]
    assert len(controls) == 12
    for key in controls:
        a, m = amplified[key], melted[key]
        rose = math.isfinite(a.file_cq)  # the instrument saw a rise: H9, H10 and D10 of EvaGreen
        assert ("ntc-amplified" in a.flags) == rose, key
        if not rose:  # a flat trace: no flag, no peak, no main Tm
            assert a.flags == () and m.flags == () and m.peaks == 0 and math.isnan(m.tm), key
    # D10 rises in its last cycles only (instrument Cq 39.3, no Ct at the threshold): still seen.
    assert {"ntc-amplified", "late-rise"} <= set(amplified[("EvaGreen", "D10")].flags)
    assert {k for k, m in melted.items() if "ntc-peak" in m.flags} == {("EvaGreen", "D10"), ("EvaGreen", "H9")}
    # The Cy5 channels never amplified: no well has a peak or a main Tm.
    assert all(m.peaks == 0 and math.isnan(m.tm) for (t, _), m in melted.items() if t != "EvaGreen")
    # EvaGreen's Tm differ by row by two degrees (the block, not the product): no tm-outlier.
    eva = [m for (t, _), m in melted.items() if t == "EvaGreen"]
    assert not any("tm-outlier" in m.flags for m in eva)
    assert sum(1 for m in eva if m.flags) <= 4


def test_lc96_empty_wells_are_not_controls_that_amplified():
    # 80 wells per dye without an assay (type ntp): crosstalk of 0.2 to 0.5 % of the dye's products.
    rows = _wells(RDML + "lc96_bACTXY.rdml")
    empty = [r for r in rows if "@" in r.target and len(r.target.split("@")[1]) > 20]
    assert len(empty) == 320 and not any(r.flags for r in empty)
    assert sum(1 for r in rows if r.flags) <= 16


def test_flags_before_and_after_on_the_bundled_runs():
    # The figures of the recalibration: wells flagged per file, an upper bound each.
    bounds = {"BioRad_384.rdml": 6, "stepone_std.rdml": 0, "test_rdml.rdml": 2, "lc96_bACTXY.rdml": 16}
    for name, most in bounds.items():
        rows = _wells(RDML + name)
        assert sum(1 for r in rows if r.flags) <= most, name
