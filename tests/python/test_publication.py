"""The publication statistics on analysed wells: which wells count, the
design read from groups, a study of two runs with a planted offset, and
unknowns off a standard curve; each checked against values built into the
synthetic wells, not recomputed through the package."""
import html
import math
import random

import numpy as np
import pytest

from quelmar.analysis import comparisons as grp
from quelmar.analysis import runs
from quelmar.analysis.inference.inverse import fit_line
from quelmar.analysis.references import reference_stability
from quelmar.analysis.unknowns import unknown_quantities
from quelmar.common.errors import InputError
from quelmar.results import AmplificationPlate, AmplificationWell, StandardWell


def _well(name, sample, target, ct, group="", flags=(), sample_type="unkn", run="r1", file="run.rdml", excluded=""):
    return AmplificationWell(well=name, sample=sample, sample_type=sample_type, target=target, run=run,
                             threshold=100.0, scale=1.0, ct_linear=ct, ct_sigmoid=ct, efficiency=math.nan,
                             flags=tuple(flags), excluded=excluded, file_cq=math.nan, quantity=math.nan, group=group,
                             file=file)


def _plates(wells):
    by = {}
    for w in wells:
        by.setdefault((w.file, w.run, w.target), []).append(w)
    return [AmplificationPlate(file=f, run=r, target=t, label=t, scale=1.0, threshold=100.0, auto_threshold=100.0,
                               cycles=np.arange(1.0, 41.0), curves=np.zeros((len(ws), 40)), ct_kind="linear", wells=ws)
            for (f, r, t), ws in by.items()]


def _design(seed=1, effect=1.0, per_group=5, groups=("ctl", "trt"), wells_per_sample=2):
    """Samples with a random input amount; target T up by ``effect`` cycles' worth in all but the first group."""
    rng = random.Random(seed)
    out = []
    for gi, g in enumerate(groups):
        for k in range(per_group):
            sample, amount = f"{g}{k}", rng.uniform(-3, 3)
            levels = {"R1": 18.0, "R2": 24.0, "T": 27.0 - (effect * gi)}
            for gene, base in levels.items():
                for rep in range(wells_per_sample):
                    out.append(_well(f"{sample}-{gene}-{rep}", sample, gene,
                                     base + amount + rng.gauss(0, 0.15 if gene != "T" else 0.3), g))
    return out


def test_references_leave_out_controls_standards_and_outliers_and_name_them():
    wells = _design()
    wells += [_well("N1", "water", "R1", 35.0, sample_type="ntc"), _well("S1", "std1", "R1", 15.0, sample_type="std"),
              _well("X1", "ctl0", "R1", 40.0, flags=("replicate-outlier",), excluded="replicate-outlier"), _well("X2", "ctl1", "R2", math.nan)]
    r = reference_stability("run.rdml", wells, ["R1", "R2", "T"], dict.fromkeys(["R1", "R2", "T"], 2.0), "linear")
    assert set(r.samples) == {f"{g}{k}" for g in ("ctl", "trt") for k in range(5)}
    assert "well X1 R1 (replicate-outlier)" in r.left_out and "well X2 R2 (no Ct)" in r.left_out
    assert r.groups == ("ctl", "trt")  # NormFinder takes the design's groups
    assert r.ranking[-1] == "T" and r.normfinder_ranking[-1] == "T"
    assert any("NormFinder with 2 groups" in v for v in r.verdict)
    assert [row.gene for row in r.genes_table] == list(r.ranking)


def test_references_need_two_samples_with_every_candidate():
    wells = [_well("A1", "s1", "R1", 20.0), _well("A2", "s1", "R2", 21.0), _well("A3", "s2", "R1", 20.0)]
    with pytest.raises(InputError, match="1 sample with a Ct for every candidate"):
        reference_stability("run.rdml", wells, ["R1", "R2"], {"R1": 2.0, "R2": 2.0}, "linear")


def test_a_sample_in_two_groups_is_refused():
    wells = [_well("A1", "s1", "R1", 20.0, "a"), _well("A2", "s1", "R2", 21.0, "b")]
    with pytest.raises(InputError, match="sample 's1' is in two groups, 'a' and 'b'"):
        reference_stability("run.rdml", wells, ["R1", "R2"], {"R1": 2.0, "R2": 2.0}, "linear")


def test_two_groups_give_the_planted_fold_change_and_swapping_inverts_it():
    wells = _design(effect=2.0, per_group=6)
    factors = dict.fromkeys(["T", "R1", "R2"], 2.0)
    ab = grp.compare_groups("run.rdml", wells, ["T"], ["R1", "R2"], factors, "linear", ("ctl", "trt"))
    ba = grp.compare_groups("run.rdml", wells, ["T"], ["R1", "R2"], factors, "linear", ("trt", "ctl"))
    row, back = ab.rows[0], ba.rows[0]
    assert row.replicates == "biological" and (row.n_a, row.n_b) == (6, 6)
    assert row.log2_fold_change == pytest.approx(2.0, abs=0.4) and row.fold_low < 4 < row.fold_high
    assert row.p < 1e-4 and row.significance == "***"
    assert back.fold_change == pytest.approx(1 / row.fold_change, rel=1e-12) and back.p == row.p
    assert row.p_randomisation == pytest.approx(2 / 924)  # only the two extreme splits of 12 samples into 6 + 6
    assert row.randomisations == 924


def test_three_groups_give_an_anova_and_every_pair():
    wells = _design(effect=1.5, groups=("a", "b", "c"), per_group=4)
    factors = dict.fromkeys(["T", "R1", "R2"], 2.0)
    r = grp.compare_groups("run.rdml", wells, ["T"], ["R1", "R2"], factors, "linear", ("all",))
    assert r.groups == ("a", "b", "c") and len(r.anova) == 1 and r.anova[0].p < 0.01
    assert [(x.group_a, x.group_b) for x in r.rows] == [("a", "b"), ("a", "c"), ("b", "c")]
    assert r.rows[1].log2_fold_change == pytest.approx(3.0, abs=0.5)
    assert all(x.p_adjusted >= x.p for x in r.rows)


def test_without_a_design_two_samples_are_compared_through_their_wells():
    wells = [_well(f"{s}{g}{k}", s, g, ct + 0.05 * k) for s, shift in (("a", 0.0), ("b", 1.0))
             for g, ct in (("T", 25.0 + shift), ("R1", 18.0)) for k in range(3)]
    r = grp.compare_groups("run.rdml", wells, ["T"], ["R1"], {"T": 2.0, "R1": 2.0}, "linear", ("a", "b"))
    row = r.rows[0]
    assert r.replicates == row.replicates == "technical" and "technical replicates" in r.notes[0]
    assert row.log2_fold_change == pytest.approx(-1.0, abs=1e-12)  # T one cycle later in b: half as much
    with pytest.raises(InputError, match="more than two samples"):
        grp.compare_groups("run.rdml", wells + [_well("c1", "c", "T", 20.0)], ["T"], ["R1"],
                           {"T": 2.0, "R1": 2.0}, "linear", ("a", "b", "c"))


def test_a_loading_difference_of_the_reference_does_not_hide_the_targets_change():
    # b loaded with a quarter as much: every gene 2 cycles later, and T one cycle more (half as much). Each
    # sample's target wells lie apart from the other's, so only the two extreme of C(8, 4) reallocations of
    # the target's wells are as far apart as observed.
    wells = [_well(f"{s}{g}{k}", s, g, ct + loading + 0.03 * k) for s, loading, change in (("a", 0.0, 0.0),
                                                                                             ("b", 2.0, 1.0))
             for g, ct in (("T", 25.0 + change), ("R1", 18.0)) for k in range(4)]
    row = grp.compare_groups("run.rdml", wells, ["T"], ["R1"], {"T": 2.0, "R1": 2.0}, "linear", ("a", "b")).rows[0]
    assert row.log2_fold_change == pytest.approx(-1.0, abs=1e-12)
    assert row.randomisations == 70 and row.p_randomisation == pytest.approx(2 / 70)


def test_groups_that_are_not_there_are_named():
    with pytest.raises(InputError, match="group 'x' is not in the file"):
        grp.compare_groups("run.rdml", _design(), ["T"], ["R1"], dict.fromkeys(["T", "R1"], 2.0), "linear",
                           ("ctl", "x"))


def test_interrun_calibration_recovers_a_planted_offset_in_a_two_run_study():
    rng = random.Random(3)
    planted = 1.3  # every Cq of run 2 later by this
    wells = []
    for run, shift in (("plate1", 0.0), ("plate2", planted)):
        for sample, base in (("irc1", 22.0), ("irc2", 26.0), (f"only-{run}", 24.0), ("both", 25.0)):
            for k in range(3):
                wells.append(_well(f"{run}{sample}{k}", sample, "T", base + shift + rng.gauss(0, 0.03),
                                   run=run, file=f"{run}.rdml"))
    calibrated, rows = runs.calibrate(_plates(wells), ["irc1", "irc2"], {"T": 2.0}, "linear")
    by_run = {r.run: r for r in rows}
    assert by_run["plate2"].offset - by_run["plate1"].offset == pytest.approx(planted, abs=0.06)
    assert by_run["plate1"].factor / by_run["plate2"].factor == pytest.approx(2 ** planted, rel=0.05)
    moved = {(w.run, w.sample): w.ct_linear for p in calibrated for w in p.wells if w.well.endswith("0")}
    assert moved["plate2", "both"] == pytest.approx(moved["plate1", "both"], abs=0.1)
    with pytest.raises(InputError, match="target 'T': run 'plate1 of plate1.rdml' has no Cq"):
        runs.calibrate(_plates([w for w in wells if not (w.run == "plate1" and w.sample == "irc2")]),
                       ["irc1", "irc2"], {"T": 2.0}, "linear")
    with pytest.raises(InputError, match="'nowhere' is in no file"):
        runs.calibrate(_plates(wells), ["nowhere"], {"T": 2.0}, "linear")


def test_unknowns_are_averaged_per_sample_and_flagged_outside_the_range():
    x = [2.0, 2.0, 3.0, 3.0, 4.0, 4.0]
    line = fit_line(x, [38.0 - 3.3 * v + e for v, e in zip(x, (0.05, -0.05, 0.02, -0.02, 0.04, -0.04))])

    def row(well, sample, ct, flags=()):
        return StandardWell(well=well, sample=sample, sample_type="unkn", target="T", run="r", ct=ct,
                            quantity=math.nan, role="unknown", flags=tuple(flags), excluded=",".join(flags), note="",
                            file="f")
    rows = [row("A1", "u", 38.0 - 3.3 * 3.5 - 0.1), row("A2", "u", 38.0 - 3.3 * 3.5 + 0.1),
            row("A3", "u", 20.0, ("replicate-outlier",)), row("B1", "far", 38.0 - 3.3 * 6), row("B2", "none", math.nan)]
    got = {u.sample: u for u in unknown_quantities(rows, line, 0.95, "f")}
    u = got["u"]
    assert u.wells == 2 and u.excluded == ("A3 (replicate-outlier)",) and u.inside
    assert math.log10(u.quantity) == pytest.approx((u.ct - line.intercept) / line.slope, rel=1e-12)
    assert u.quantity_low < u.quantity < u.quantity_high
    assert not got["far"].inside and "extrapolated" in got["far"].note
    assert got["none"].wells == 0 and math.isnan(got["none"].quantity)


def test_the_report_and_the_plots_draw_every_comparison_with_its_mark():
    from quelmar.report import statistics as section
    from quelmar.writing import plots
    wells = _design(effect=1.5, groups=("a", "b", "c"), per_group=4)
    r = grp.compare_groups("run.rdml", wells, ["T"], ["R1", "R2"], dict.fromkeys(["T", "R1", "R2"], 2.0), "linear",
                           ("all",))
    chart = section.comparison_chart(r)
    assert chart.count('class="bar"') == 3 and chart.count('class="errorbar"') == 3
    assert chart.count('class="signif"') == sum(1 for x in r.rows if x.significance)
    assert "a, b, c" in section.comparison_block(r) and "Holm" in section.comparison_block(r)
    fig = plots.quantify([type("Q", (), {"comparison": r})()])
    assert len(fig.axes[0].patches) == 3
    plots.plt.close(fig)


def test_the_report_draws_genorms_bounds_and_the_verdict():
    from quelmar.report import statistics as section
    from quelmar.writing import plots
    r = reference_stability("run.rdml", _design(), ["R1", "R2", "T"], dict.fromkeys(["R1", "R2", "T"], 2.0), "linear")
    block = section.references_block(r)
    assert block.count('class="limit"') == 2 * 3  # M 0.5 and 1 (line and label), V 0.15
    assert all(html.escape(line) in block for line in r.verdict)
    fig = plots.references([r])
    assert len(fig.axes[0].patches) == 2 * 3  # M and NormFinder's value per gene
    plots.plt.close(fig)
