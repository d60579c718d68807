"""Relative quantities worked by hand: the comparative Ct method with one and
two reference genes, an efficiency-corrected ratio, a pooled group and the
exclusions, each recomputed here from the Ct values with the statistics
module and Student's t, not through the package."""
import math
import statistics as st

import numpy as np
import pytest

from quelmar.analysis.exclusion import excluded
from quelmar.analysis.quantify import quantify_file
from quelmar.analysis.settings import AnalysisSettings, parse_efficiency
from quelmar.common.errors import QuelmarError
from quelmar.reading.plate import PlateFile, Well
from quelmar.results import AmplificationPlate, AmplificationWell

T975 = {4: 2.776445105, 7: 2.364624252}  # two-sided 95 % Student t by degrees of freedom


def _run(values, calibrator="cal", refs=("R",), flags=None, groups=None, window=None, stated=None, **options):
    """values: {target: {sample: [ct, ...]}}; flags: {(target, sample, k): flags}; groups: {sample: group};
    window: {target: [(window mean efficiency, wells in it) per run]}; stated: {target: the efficiency the
    file states}. The Ct are linear ones, and the comparative method unless ``efficiency`` says otherwise."""
    plate_file = PlateFile("run.rdml", "RDML", targets={t: {"type": "ref" if t in refs else "toi",
                                                            "efficiency": (stated or {}).get(t, math.nan),
                                                            "stated_efficiency": (stated or {}).get(t, math.nan)}
                                                        for t in values})
    plates = []
    for target, by_sample in values.items():
        wells = [(s, ct, (flags or {}).get((target, s, k), ())) for s, cts in by_sample.items()
                 for k, ct in enumerate(cts)]
        rows = [AmplificationWell(well=f"{target}{k + 1}", sample=s, sample_type="unkn", target=target, run="r",
                                  threshold=100.0, scale=1.0, ct_linear=ct, ct_sigmoid=math.nan, efficiency=math.nan,
                                  flags=f, excluded=excluded((), f), file_cq=math.nan, quantity=math.nan, group=(groups or {}).get(s, ""),
                                  file="run.rdml")
                for k, (s, ct, f) in enumerate(wells)]
        plate_file.wells += [Well(r.well, target=target, sample=r.sample) for r in rows]
        for run, (e, n) in enumerate((window or {}).get(target, [(math.nan, 0)])):
            plates.append(AmplificationPlate(file="run.rdml", run=f"r{run}", target=target, label=target, scale=1.0,
                                             threshold=100.0, auto_threshold=100.0, cycles=np.arange(1.0, 41.0),
                                             curves=np.zeros((len(rows), 40)), ct_kind="linear",
                                             wells=rows if run == 0 else [], window_efficiency=e, window_wells=n))
    settings = AnalysisSettings(calibrator=calibrator, **{"ct": "linear", "efficiency": "2", **options})
    result, _ = quantify_file("run.rdml", plate_file, plates, settings.check())
    return {(r.sample, r.target): r for r in result.rows}


def _se(values):
    return st.stdev(values) / math.sqrt(len(values))


def _comparative(sample, cal, refs, df):
    """ddCt, RQ and 95 % bounds, with the reference genes combined as the mean of their means."""
    def delta(d):
        return st.mean(d["T"]) - st.mean(st.mean(d[r]) for r in refs)
    ddct = delta(sample) - delta(cal)
    se = math.sqrt(_se(sample["T"]) ** 2 + sum(_se(sample[r]) ** 2 for r in refs) / len(refs))
    e = T975[df] * se
    return ddct, 2 ** -ddct, 2 ** -(ddct + e), 2 ** -(ddct - e)


CAL = {"T": [20.1, 20.3, 20.2], "R": [15.0, 15.2, 15.1], "R2": [24.0, 24.3, 24.1]}
SAMPLE = {"T": [22.0, 22.4, 22.3], "R": [15.3, 15.1, 15.2], "R2": [24.2, 24.6, 24.3]}


@pytest.mark.parametrize("refs, df", [(("R",), 4), (("R", "R2"), 7)])
def test_comparative_ct_method_with_one_and_two_reference_genes(refs, df):
    genes = ("T",) + refs
    rows = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in genes}, refs=refs)
    ddct, rq, low, high = _comparative(SAMPLE, CAL, refs, df)
    row = rows[("s", "T")]
    assert row.delta_delta_ct == pytest.approx(ddct, rel=1e-12)
    assert (row.rq, row.rq_low, row.rq_high) == pytest.approx((rq, low, high), rel=1e-9)
    assert row.delta_ct == pytest.approx(st.mean(SAMPLE["T"]) - st.mean(st.mean(SAMPLE[r]) for r in refs), rel=1e-12)
    assert (row.n, row.n_reference, row.method, row.reference) == (3, 3 * len(refs), "comparative", refs)
    assert rows[("cal", "T")].rq == 1.0 and rows[("cal", "T")].delta_delta_ct == 0.0


def test_efficiency_corrected_ratio():
    e_t, e_r = 1.9, 1.95
    rows = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, efficiency=f"T={e_t},R={e_r}")

    def ratio(d):
        return st.geometric_mean([e_t ** -c for c in d["T"]]) / st.geometric_mean([e_r ** -c for c in d["R"]])
    rq = ratio(SAMPLE) / ratio(CAL)
    se_log = math.sqrt(_se([-c * math.log10(e_t) for c in SAMPLE["T"]]) ** 2 +
                       _se([-c * math.log10(e_r) for c in SAMPLE["R"]]) ** 2)
    factor = (10 ** se_log) ** T975[4]
    row = rows[("s", "T")]
    assert (row.rq, row.rq_low, row.rq_high) == pytest.approx((rq, rq / factor, rq * factor), rel=1e-9)
    assert (row.method, row.efficiency, row.reference_efficiency) == ("efficiency-corrected", e_t, (e_r,))
    # The efficiencies the file states are the same ratios as those given.
    stated = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, efficiency="file",
                  stated={"T": e_t, "R": e_r})[("s", "T")]
    assert (stated.rq, stated.rq_low, stated.rq_high, stated.efficiency) == (row.rq, row.rq_low, row.rq_high, e_t)
    # A perfect doubling for both genes is the comparative method's RQ.
    twos = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, efficiency="2.0001")
    assert twos[("s", "T")].rq == pytest.approx(2 ** -_comparative(SAMPLE, CAL, ("R",), 4)[0], rel=1e-3)


def test_the_window_efficiency_is_each_targets_mean_pooled_over_its_runs():
    # T in two runs: 10 wells at 1.90 and 30 at 1.98 give 1.96; R in one run at 1.95.
    window = {"T": [(1.90, 10), (1.98, 30)], "R": [(1.95, 12)]}
    rows = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, window=window, efficiency="window")
    same = _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, efficiency="T=1.96,R=1.95")
    row = rows[("s", "T")]
    assert (row.efficiency, row.reference_efficiency, row.method) == (pytest.approx(1.96), (1.95,),
                                                                     "efficiency-corrected")
    assert row.rq == pytest.approx(same[("s", "T")].rq, rel=1e-12)
    with pytest.raises(QuelmarError, match="target 'R' has no well in a window of linearity"):
        _run({g: {"cal": CAL[g], "s": SAMPLE[g]} for g in ("T", "R")}, window={"T": window["T"]},
             efficiency="window")


def test_a_group_pools_the_means_of_its_samples():
    # Two wells per sample and gene; three samples per group.
    values = {"T": {}, "R": {}}
    cts = {"a": (20.0, 20.2, 15.0, 15.1), "b": (20.5, 20.3, 15.2, 15.0), "c": (19.9, 20.1, 14.9, 15.1),
           "d": (22.0, 22.2, 15.1, 15.0), "e": (22.6, 22.4, 15.3, 15.2), "f": (21.8, 22.0, 14.8, 15.0)}
    for s, (t1, t2, r1, r2) in cts.items():
        values["T"][s], values["R"][s] = [t1, t2], [r1, r2]
    groups = dict(a="ctrl", b="ctrl", c="ctrl", d="treated", e="treated", f="treated")
    rows = _run(values, calibrator="ctrl", groups=groups)
    assert set(rows) == {("ctrl", "T"), ("treated", "T")}

    def means(members, gene, k):
        return [st.mean(cts[s][k:k + 2]) for s in members]
    ctrl = {"T": means("abc", "T", 0), "R": means("abc", "R", 2)}
    treated = {"T": means("def", "T", 0), "R": means("def", "R", 2)}
    ddct, rq, low, high = _comparative(treated, ctrl, ("R",), 4)
    row = rows[("treated", "T")]
    assert (row.rq, row.rq_low, row.rq_high) == pytest.approx((rq, low, high), rel=1e-9)
    assert (row.n, row.n_reference, row.pooled) == (3, 3, ("d", "e", "f"))


def test_outliers_and_wells_without_ct_are_left_out_and_named():
    values = {"T": {"cal": CAL["T"], "s": SAMPLE["T"] + [26.0, math.nan]}, "R": {"cal": CAL["R"], "s": SAMPLE["R"]}}
    rows = _run(values, flags={("T", "s", 3): ("replicate-outlier",)})
    row = rows[("s", "T")]
    assert row.excluded == ("T7 T (flag: replicate-outlier)", "T8 T (no Ct)")
    assert row.n == 3 and row.rq == pytest.approx(_comparative(SAMPLE, CAL, ("R",), 4)[1], rel=1e-12)


def test_rows_without_a_value_or_a_confidence_interval_say_why():
    rows = _run({"T": {"cal": [20.0], "s": [21.0]}, "R": {"cal": [15.0], "s": [15.0]}})
    row = rows[("s", "T")]
    assert row.rq == 0.5 and math.isnan(row.rq_low) and "needs 4 to 97" in row.note
    assert row.flags == ("single-well",) and "one well of T, R: no interval" in row.note
    sd = _run({"T": {"cal": [20.0], "s": [21.0]}, "R": {"cal": [15.0], "s": [15.0]}}, error="sd")[("s", "T")]
    # One value each has no scatter: no interval rather than one of zero width.
    assert sd.rq == 0.5 and math.isnan(sd.rq_low) and math.isnan(sd.rq_high) and sd.flags == ("single-well",)
    # The sample on one well, the calibrator on three: still one well, still no interval.
    one = _run({"T": {"cal": [20.0, 20.1, 19.9], "s": [21.0]}, "R": {"cal": [15.0] * 3, "s": [15.0, 15.1]}},
               error="sd")[("s", "T")]
    assert math.isnan(one.rq_low) and one.flags == ("single-well",) and "one well of T" in one.note
    rows = _run({"T": {"cal": [20.0, 20.1], "s": [math.nan]}, "U": {"cal": [21.0], "s": [20.0], "x": [20.0]},
                 "R": {"cal": [15.0, 15.1], "s": [15.0]}})
    assert math.isnan(rows[("s", "T")].rq) and rows[("s", "T")].note == "no Ct for T"
    assert rows[("s", "U")].rq == pytest.approx(2 ** 0.95)
    assert ("x", "T") not in rows and rows[("x", "U")].note == "no well of R"  # x was not measured for T
    rows = _run({"T": {"cal": [math.nan], "s": [20.0]}, "U": {"cal": [21.0], "s": [20.0]},
                 "R": {"cal": [15.0], "s": [15.0]}})
    assert rows[("s", "T")].note == "the calibrator has no Ct for T" and rows[("s", "U")].rq == 2.0


@pytest.mark.parametrize("values, options, problem", [
    ({"T": {"x": [20.0]}, "R": {"x": [15.0]}}, {}, "calibrator 'cal' is not a sample of the file (x)"),
    ({"T": {"cal": [20.0]}, "U": {"cal": [15.0]}}, {}, "no reference gene: the file declares no target of type ref"),
    ({"T": {"cal": [20.0]}, "R": {"cal": [15.0]}}, {"efficiency": "Q=1.9"}, "efficiency names 'Q'"),
    ({"T": {"cal": [20.0]}, "R": {"cal": [15.0]}}, {"efficiency": "standard"}, "target 'T' has no standard curve"),
    ({"T": {"cal": [20.0]}, "R": {"cal": [15.0]}}, {"efficiency": "wells"}, "no well of target 'T' has an efficiency"),
    ({"T": {"cal": [20.0]}, "R": {"cal": [15.0]}}, {"efficiency": "file", "stated": {"T": 1.9}},
     "efficiency file: target 'R' has no amplification efficiency in the file; a factor per cycle above 1 and at "
     "most 3, or a percentage from 50 to 200, is needed"),
    ({"T": {"cal": [20.0]}, "R": {"cal": [15.0]}}, {"efficiency": "file", "stated": {"T": 1.9, "R": 0.95}},
     "efficiency file: target 'R' states the efficiency 0.95; a factor"),
    ({"T": {"cal": [math.nan], "s": [20.0]}, "R": {"cal": [15.0], "s": [15.0]}}, {},
     "no relative quantity can be computed (e.g. cal, T: no Ct for T)"),
    ({"T": {"cal": [20.0]}, "R": {"s": [15.0]}}, {}, "(e.g. cal, T: no well of R)"),
])
def test_refusals_name_the_file(values, options, problem):
    with pytest.raises(QuelmarError) as caught:
        _run(values, **options)
    assert str(caught.value).startswith("run.rdml: ") and problem in str(caught.value)


def test_a_group_named_like_a_sample_in_no_group_is_refused_not_pooled():
    """Pooled, the unit "s" would hold group s (sample a) and sample s: one row for two things."""
    values = {"T": {"cal": [20.0], "a": [21.0], "s": [24.0]}, "R": {"cal": [15.0], "a": [15.0], "s": [15.0]}}
    with pytest.raises(QuelmarError, match="group 's' has the name of a sample in no group"):
        _run(values, groups={"a": "s", "cal": "cal"})
    # A group named like one of its own samples holds nothing else: allowed.
    rows = _run(values, groups={"a": "g", "s": "s", "cal": "cal"})
    assert rows[("s", "T")].rq == pytest.approx(2 ** -4.0) and rows[("g", "T")].rq == pytest.approx(0.5)


@pytest.mark.parametrize("text, parsed", [
    ("2", ("comparative", {})), ("standard", ("standard", {})), ("wells", ("wells", {})), ("file", ("file", {})),
    ("1.95", ("fixed", {"*": 1.95})), ("GAPDH=1.9, ACTB=2.05", ("fixed", {"GAPDH": 1.9, "ACTB": 2.05})),
    ("a=b=1.9", ("fixed", {"a=b": 1.9})),
] + [(text, None) for text in ["1", "0.9", "3.5", "nan", "inf", "x", "G=", "=1.9", "G=1.9,G=1.8", ""]])
def test_efficiency_option(text, parsed):
    if parsed is None:
        with pytest.raises(ValueError, match="^efficiency '"):
            parse_efficiency(text)
    else:
        assert (parse_efficiency(text).source, parse_efficiency(text).values) == parsed
