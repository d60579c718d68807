"""The publication statistics, checked against what does not share their
code: closed forms of Student's t, SciPy (an independent implementation,
used only here), the library's generated t table, exact rational arithmetic
worked by hand, NIST's certified regression, and properties the methods
promise (a sample's level drops out, swapping groups inverts a fold change,
a planted run offset is recovered)."""
import math
import random
import re
from fractions import Fraction
from pathlib import Path

import pytest

from quelmar.analysis.inference import comparison as cmp
from quelmar.analysis.inference import distributions as dist
from quelmar.analysis.inference import interrun, inverse, stability

ROOT = Path(__file__).resolve().parents[2]
try:
    from scipy import stats as scipy_stats
except ImportError:  # the checks against SciPy are skipped, the others run
    scipy_stats = None
needs_scipy = pytest.mark.skipif(scipy_stats is None, reason="Debian's python3-scipy is the independent check")


def _close(a, b, rel):
    return abs(a - b) <= rel * abs(b)


# -- distributions ---------------------------------------------------------------------

@pytest.mark.parametrize("x", [1e-300, 1e-8, 0.3, 0.999999, 1.0, 1.000001, 2.0, 10.0, 1e5, 1e300])
def test_log_and_exp_agree_with_the_platform_to_a_few_ulp(x):
    assert abs(dist.log(x) - math.log(x)) <= 4 * math.ulp(math.log(x)) + 1e-300
    y = math.log(x) / 2
    assert abs(dist.exp(y) - math.exp(y)) <= 4 * math.ulp(math.exp(y))


def test_special_values_of_the_elementary_functions():
    assert dist.log(0.0) == -math.inf and math.isnan(dist.log(-1.0)) and dist.log(math.inf) == math.inf
    assert dist.exp(1000.0) == math.inf and dist.exp(-1000.0) == 0.0 and dist.exp(0.0) == 1.0
    assert dist.pow2(10.0) == 1024.0 and dist.pow2(-3.0) == 0.125 and dist.log2(8.0) == 3.0
    for x in (0.5, 1.0, 3.7, 20.0, 171.5):
        assert _close(dist.lgamma(x), math.lgamma(x), 1e-13) or abs(dist.lgamma(x) - math.lgamma(x)) < 1e-14


@pytest.mark.parametrize("t", [0.0, 0.1, 1.0, 2.5, 12.7, 300.0])
def test_t_tails_match_their_closed_forms_at_one_and_two_degrees_of_freedom(t):
    # 1 - 2 atan(t) / pi and 1 - t / sqrt(2 + t^2), written without their cancellation at large t.
    cauchy = 1.0 if t == 0 else 2.0 / math.pi * math.atan(1.0 / t)
    root = math.sqrt(2.0 + t * t)
    assert _close(dist.t_two_sided(t, 1.0), cauchy, 1e-13)
    assert _close(dist.t_two_sided(t, 2.0), 2.0 / (root * (root + t)), 1e-12)
    assert dist.t_two_sided(-t, 2.0) == dist.t_two_sided(t, 2.0)


def test_f_with_one_numerator_degree_is_the_square_of_t():
    for t, df in [(0.7, 3.0), (2.2, 11.5), (4.0, 40.0)]:
        assert _close(dist.f_sf(t * t, 1.0, df), dist.t_two_sided(t, df), 1e-12)


@needs_scipy
def test_t_and_f_tails_against_scipy():
    rng = random.Random(7)
    for _ in range(400):
        df = math.exp(rng.uniform(-0.5, 6.0))
        t = rng.uniform(-25.0, 25.0)
        assert _close(dist.t_two_sided(t, df), 2.0 * scipy_stats.t.sf(abs(t), df), 1e-10)
        d1, d2, f = math.exp(rng.uniform(0.0, 4.0)), math.exp(rng.uniform(0.0, 6.0)), math.exp(rng.uniform(-4, 4))
        assert _close(dist.f_sf(f, d1, d2), scipy_stats.f.sf(f, d1, d2), 1e-10)


def _t_table():
    """The library's table of two-sided critical values: {df: (values by level, published?)}."""
    text = (ROOT / "src/statistics/t_table.cpp").read_text()
    rows = {}
    for body, df, mark in re.findall(r"\{([0-9., ]+)\},\s*// df (\d+)(, as published)?", text):
        rows[int(df)] = ([float(v) for v in body.split(",")], bool(mark))
    return rows


def test_t_quantiles_reproduce_the_librarys_table():
    levels = (0.95, 0.97, 0.99, 0.995, 0.997, 0.999)
    rows = _t_table()
    assert len(rows) == 94
    for df, (values, published) in rows.items():
        for level, expected in zip(levels, values):
            # The published rows are rounded off (up to 2.4e-8 from the quantile at df 95); the others are exact.
            assert _close(dist.t_quantile(level, df), expected, 5e-8 if published else 1e-13), (df, level)


def test_quantile_inverts_the_tail_at_fractional_degrees_of_freedom():
    for df in (1.3, 2.5, 7.77, 250.0):
        for level in (0.5, 0.9, 0.95, 0.999):
            assert _close(dist.t_two_sided(dist.t_quantile(level, df), df), 1.0 - level, 1e-12)


def test_bad_arguments_are_refused():
    for call in (lambda: dist.t_two_sided(1.0, 0.0), lambda: dist.t_quantile(1.0, 5.0),
                 lambda: dist.f_sf(1.0, -1.0, 2.0), lambda: dist.lgamma(0.0)):
        with pytest.raises(ValueError):
            call()


# -- reference-gene stability -----------------------------------------------------------

# Three genes, four samples: A and B move together, C differs.
HAND = [[0, 0, 0], [1, 1, 0], [2, 2, 0], [3, 3, 3]]


def test_genorm_worked_by_hand():
    r = stability.genorm(HAND, "ABC")
    v_ac = math.sqrt(11 / 12)  # A - C = 0, 1, 2, 0: squares about 0.75 sum to 2.75, over 3
    assert r.m["A"] == pytest.approx(v_ac / 2, rel=1e-15) and r.m["B"] == pytest.approx(v_ac / 2, rel=1e-15)
    assert r.m["C"] == pytest.approx(v_ac, rel=1e-15)
    assert r.ranking == ("A", "B", "C") and r.best_pair == ("A", "B")
    assert r.m_ranked == pytest.approx((0.0, 0.0, v_ac))
    # NF2 - NF3 = (A - C) / 3 here.
    assert r.v == {2: pytest.approx(v_ac / 3, rel=1e-15)}
    assert r.above(stability.M_HOMOGENEOUS) == ("C",)
    assert r.optimal_count() == 3


def _cq_matrix(seed, samples=12, sds=(0.1, 0.2, 0.4, 0.8), groups=None, shift=None):
    """log2 expression: a random level per sample, plus per gene its own noise (and a group shift)."""
    rng = random.Random(seed)
    rows = []
    for s in range(samples):
        level = rng.uniform(-5, 5)
        row = [level + 3.0 * i + rng.gauss(0.0, sd) for i, sd in enumerate(sds)]
        if shift and groups and groups[s] == shift[0]:
            row[shift[1]] += shift[2]
        rows.append(row)
    return rows


def test_a_sample_level_changes_no_stability_value():
    groups = ["a"] * 6 + ["b"] * 6
    rows = _cq_matrix(3)
    moved = [[v + 7.25 * (s % 3) - 2.0 for v in row] for s, row in enumerate(rows)]
    for before, after in [(stability.genorm(rows, "ABCD"), stability.genorm(moved, "ABCD"))]:
        assert after.ranking == before.ranking
        assert all(after.m[g] == pytest.approx(before.m[g], rel=1e-12) for g in "ABCD")
        assert all(after.v[n] == pytest.approx(before.v[n], rel=1e-12) for n in before.v)
    for g in (None, groups):
        before, after = stability.normfinder(rows, "ABCD", g), stability.normfinder(moved, "ABCD", g)
        assert all(after.stability[x] == pytest.approx(before.stability[x], rel=1e-10) for x in "ABCD")
        assert after.best_pair[0] == before.best_pair[0]


def test_the_order_of_the_genes_changes_nothing():
    rows = _cq_matrix(5)
    r = stability.genorm(rows, "ABCD")
    swapped = stability.genorm([[row[3], row[1], row[0], row[2]] for row in rows], "DBAC")
    assert swapped.ranking[2:] == r.ranking[2:] and set(swapped.best_pair) == set(r.best_pair)
    assert all(swapped.m[g] == pytest.approx(r.m[g], rel=1e-14) for g in "ABCD")


def test_genorm_ranks_genes_by_their_noise_and_v_grows_with_a_noisy_gene():
    r = stability.genorm(_cq_matrix(11, samples=200), "ABCD")
    assert r.ranking[2:] == ("C", "D") and set(r.best_pair) == {"A", "B"}
    assert r.v[3] > r.v[2]


def test_normfinder_intragroup_variance_worked_in_exact_arithmetic():
    rows = [[1, 2, 4], [2, 2, 3], [0, 3, 5], [4, 1, 2]]
    k, n = 3, len(rows)
    f = [[Fraction(v) for v in r] for r in rows]
    gene = [sum(r[i] for r in f) / n for i in range(k)]
    sample = [sum(r) / k for r in f]
    grand = sum(gene) / k
    s2 = [sum((f[j][i] - gene[i] - sample[j] + grand) ** 2 for j in range(n)) / ((n - 1) * (1 - Fraction(2, k)))
          for i in range(k)]
    sigma2 = [s - sum(s2) / (k * (k - 1)) for s in s2]
    r = stability.normfinder(rows, "XYZ")
    for i, g in enumerate("XYZ"):
        assert r.intragroup[g][0] == pytest.approx(float(sigma2[i]), rel=1e-14)
        assert r.stability[g] == pytest.approx(math.sqrt(max(float(sigma2[i]), 0.0)), rel=1e-14)


def test_normfinder_variances_are_unbiased():
    sds = (0.1, 0.2, 0.3, 0.5, 0.8)
    k, n, repeats = len(sds), 20, 300
    total = [0.0] * k
    for seed in range(repeats):
        r = stability.normfinder(_cq_matrix(seed, samples=n, sds=sds), "ABCDE")
        total = [t + r.intragroup[g][0] for t, g in zip(total, "ABCDE")]
    spread = sum(sd * sd for sd in sds) / (k * (k - 2))  # what the centring over genes adds to each s2
    for t, sd in zip(total, sds):
        tolerance = 4 * (sd * sd + spread) * math.sqrt(2 / (n - 1)) / math.sqrt(repeats)
        assert t / repeats == pytest.approx(sd * sd, abs=tolerance)
    r = stability.normfinder(_cq_matrix(21, samples=2000, sds=sds), "ABCDE")
    assert r.ranking == tuple("ABCDE") and r.best_pair[0] == ("A", "B")


def test_normfinder_with_groups_finds_the_gene_that_moves_between_them():
    groups = ["ctl"] * 40 + ["trt"] * 40
    rows = _cq_matrix(8, samples=80, sds=(0.2, 0.2, 0.2, 0.2), groups=groups, shift=("trt", 1, 1.5))
    r = stability.normfinder(rows, "ABCD", groups)
    assert r.ranking[-1] == "B" and r.gamma2 > 0
    # Centred over genes, the shift of 1.5 in one of four genes shows as +/- 1.5 * 3/4 / 2 in its group effect.
    assert r.intergroup["B"][1] == pytest.approx(1.5 * 0.75 / 2, abs=0.1)
    assert "B" not in r.best_pair[0]


def test_stability_refuses_what_it_cannot_measure():
    with pytest.raises(stability.StabilityError, match="at least 3"):
        stability.normfinder([[1, 2], [2, 3]], "AB")
    with pytest.raises(stability.StabilityError, match="at least 2"):
        stability.genorm([[1, 2, 3]], "ABC")
    with pytest.raises(stability.StabilityError, match="group 'b' has 1"):
        stability.normfinder(HAND, "ABC", ["a", "a", "a", "b"])
    with pytest.raises(stability.StabilityError, match="finite"):
        stability.genorm([[1, math.nan], [2, 3]], "AB")


# -- tests between groups -------------------------------------------------------------

A, B = [1.0, 2.0, 3.0, 4.0], [2.0, 4.0, 6.0, 8.0, 10.0]


def test_welch_worked_by_hand():
    d = cmp.welch(A, B)
    var = (5 / 3) / 4 + 10 / 5  # s_a^2 / n_a + s_b^2 / n_b
    df = var ** 2 / (((5 / 3) / 4) ** 2 / 3 + (10 / 5) ** 2 / 4)
    assert d.estimate == 3.5 and d.se == pytest.approx(math.sqrt(var), rel=1e-15)
    assert d.df == pytest.approx(df, rel=1e-14) and d.t == pytest.approx(3.5 / math.sqrt(var), rel=1e-14)
    assert d.fold_change == pytest.approx(2 ** 3.5, rel=1e-14)


@needs_scipy
def test_welch_and_anova_against_scipy():
    rng = random.Random(4)
    for _ in range(30):
        a = [rng.gauss(0, 1) for _ in range(rng.randint(2, 9))]
        b = [rng.gauss(0.8, 2) for _ in range(rng.randint(2, 9))]
        c = [rng.gauss(-0.5, 1) for _ in range(rng.randint(2, 9))]
        d = cmp.welch(a, b)
        ref = scipy_stats.ttest_ind(b, a, equal_var=False)
        assert d.t == pytest.approx(ref.statistic, rel=1e-12) and d.p == pytest.approx(ref.pvalue, rel=1e-9)
        lo, hi = scipy_stats.t.interval(0.95, d.df, loc=d.estimate, scale=d.se)
        assert d.low == pytest.approx(lo, rel=1e-8, abs=1e-12) and d.high == pytest.approx(hi, rel=1e-8, abs=1e-12)
        f = cmp.anova([a, b, c])
        ref = scipy_stats.f_oneway(a, b, c)
        assert f.f == pytest.approx(ref.statistic, rel=1e-12) and f.p == pytest.approx(ref.pvalue, rel=1e-9)


def test_anova_worked_by_hand():
    # Means 2, 5, 8 of three values each; within-group squares 2 per group.
    r = cmp.anova([[1, 2, 3], [4, 5, 6], [7, 8, 9]])
    assert (r.ss_between, r.ss_within, r.df_between, r.df_within) == (54.0, 6.0, 2, 6)
    assert r.f == 27.0
    assert r.p == pytest.approx((1 + 27 * 2 / 6) ** -3, rel=1e-12)  # F(2, 6): P(F > f) = (1 + 2f/6)^-3


def test_swapping_the_groups_inverts_the_fold_change():
    ab, ba = cmp.welch(A, B), cmp.welch(B, A)
    assert ba.estimate == -ab.estimate and ba.p == ab.p
    assert ba.fold_change == pytest.approx(1 / ab.fold_change, rel=1e-14)
    assert ba.fold_interval[0] == pytest.approx(1 / ab.fold_interval[1], rel=1e-12)
    r1, r2 = cmp.randomisation_test([(1.0, A, B)]), cmp.randomisation_test([(1.0, B, A)])
    assert r2.estimate == -r1.estimate and r2.p == r1.p


@pytest.mark.parametrize("method, expected", [
    ("holm", [0.03, 0.06, 0.06, 0.02, math.nan]),
    ("bh", [0.02, 0.04, 0.04, 0.02, math.nan]),
])
def test_adjusted_p_values_worked_by_hand(method, expected):
    # Holm: sorted 0.005, 0.01, 0.03, 0.04 times 4, 3, 2, 1 = 0.02, 0.03, 0.06, 0.04 -> running maximum.
    # BH: times 4/1, 4/2, 4/3, 4/4 = 0.02, 0.02, 0.04, 0.04 -> running minimum from the top.
    got = cmp.adjust([0.01, 0.04, 0.03, 0.005, math.nan], method)
    assert got[:4] == pytest.approx(expected[:4], rel=1e-15) and math.isnan(got[4])


def test_exact_randomisation_counts_every_relabelling():
    # 1, 2 | 3, 4, 5: of the ten ways to pick two for A, the mean differences at least 2.5 apart are
    # {1,2} (+2.5) and {4,5} (-2.5).
    r = cmp.randomisation_test([(1.0, [1, 2], [3, 4, 5])])
    assert r.exact and r.relabellings == 10 and r.estimate == 2.5 and r.p == pytest.approx(0.2)


def test_drawn_relabellings_are_reproducible_and_near_the_exact_p():
    rng = random.Random(9)
    a = [rng.gauss(0, 1) for _ in range(8)]
    b = [rng.gauss(1, 1) for _ in range(8)]
    exact = cmp.randomisation_test([(1.0, a, b)])
    drawn = cmp.randomisation_test([(1.0, a, b)], draws=5000, exact_limit=10)
    assert exact.exact and not drawn.exact
    assert drawn == cmp.randomisation_test([(1.0, a, b)], draws=5000, exact_limit=10)
    assert abs(drawn.p - exact.p) < 4 * math.sqrt(exact.p * (1 - exact.p) / 5000) + 1e-3


def test_too_few_values_are_refused():
    with pytest.raises(cmp.ComparisonError, match="at least two"):
        cmp.welch([1.0], [2.0, 3.0])
    with pytest.raises(cmp.ComparisonError):
        cmp.anova([[1.0, 2.0]])
    flat = cmp.welch([1.0, 1.0], [2.0, 2.0])
    assert math.isnan(flat.p) and flat.estimate == 1.0


# -- inter-run calibration ------------------------------------------------------------

def test_interrun_factors_recover_a_planted_plate_offset():
    rng = random.Random(2)
    planted = 1.7
    irc = {"run1": {}, "run2": {}}
    for name, level in (("irc1", 22.0), ("irc2", 27.5), ("irc3", 30.1)):
        irc["run1"][name] = [level + rng.gauss(0, 0.02) for _ in range(3)]
        irc["run2"][name] = [level + planted + rng.gauss(0, 0.02) for _ in range(3)]
    one, two = interrun.calibration_factors(irc, ["irc1", "irc2", "irc3"], efficiency=1.95)
    assert two.offset - one.offset == pytest.approx(planted, abs=0.05)
    assert one.offset == pytest.approx(-two.offset, rel=1e-12)
    assert 0 < one.se < 0.05
    # Quantities are divided by the factor: run 2's, 1.95^1.7 times lower, come back up.
    assert one.factor / two.factor == pytest.approx(1.95 ** (two.offset - one.offset), rel=1e-12)
    assert one.factor_low < one.factor < one.factor_high


def test_a_calibrator_missing_from_a_run_is_named():
    with pytest.raises(interrun.CalibrationError, match="run 'b' has no Cq for inter-run calibrator 'x'"):
        interrun.calibration_factors({"a": {"x": [20.0]}, "b": {"y": [20.0]}}, ["x"])
    single = interrun.calibration_factors({"a": {"x": [20.0]}, "b": {"x": [21.0]}}, ["x"])
    assert math.isnan(single[0].se) and single[1].offset == 0.5


# -- inverse prediction ---------------------------------------------------------------

def test_the_line_fit_reproduces_nists_certified_norris_values():
    rows = [line.split(",") for line in (ROOT / "data/nist_norris.csv").read_text().splitlines()[1:]]
    y, x = [float(r[0]) for r in rows], [float(r[1]) for r in rows]
    fit = inverse.fit_line(x, y)
    assert fit.slope == pytest.approx(1.00211681802045, rel=1e-12)
    assert fit.intercept == pytest.approx(-0.262323073774029, rel=1e-10)
    assert fit.s == pytest.approx(0.884796396144373, rel=1e-12)


def test_inverse_prediction_worked_by_hand():
    # x = 1..5, y = 40 - 3.3 x with residuals +/-0.1: xbar 3, Sxx 10.
    x = [1, 2, 3, 4, 5]
    y = [40 - 3.3 * v + e for v, e in zip(x, (0.1, -0.1, 0.0, 0.1, -0.1))]
    line = inverse.fit_line(x, y)
    s2 = sum((b - line.intercept - line.slope * a) ** 2 for a, b in zip(x, y)) / 3
    p = inverse.predict(line, [line.intercept + line.slope * 4.2] * 2)
    assert p.x == pytest.approx(4.2, rel=1e-13) and p.k == 2 and p.inside
    t = 3.182446305  # df 3, 95 %
    g = t * t * s2 / (line.slope ** 2 * 10)
    centre = 3 + 1.2 / (1 - g)
    half = t * math.sqrt(s2) / (abs(line.slope) * (1 - g)) * math.sqrt(1.2 ** 2 / 10 + (1 - g) * (1 / 2 + 1 / 5))
    assert p.low == pytest.approx(centre - half, rel=1e-8) and p.high == pytest.approx(centre + half, rel=1e-8)
    # More wells, a narrower interval; farther from the middle, a wider one.
    assert inverse.predict(line, [line.intercept + line.slope * 4.2] * 6).high < p.high
    middle = inverse.predict(line, [line.intercept + line.slope * 3.0] * 2)
    assert middle.high - middle.low < p.high - p.low
    assert not inverse.predict(line, [line.intercept + line.slope * 6.0]).inside


def test_a_line_that_cannot_be_told_from_flat_has_no_interval():
    line = inverse.fit_line([1, 2, 3, 4], [30.0, 31.0, 28.5, 29.0])
    p = inverse.predict(line, [29.5])
    assert math.isnan(p.low) and math.isnan(p.high)
    with pytest.raises(inverse.CalibrationLineError, match="at least 3"):
        inverse.fit_line([1, 2], [3, 4])


# -- more properties ---------------------------------------------------------------------

def test_pinned_bits_of_the_distribution_functions():
    # IEEE operations alone, in a fixed order: these bits are the same on every platform and Python. A change
    # here changes published p-values and intervals, so it must be deliberate.
    assert dist.t_quantile(0.95, 4.0).hex() == "0x1.63628d9efb5d9p+1"
    assert dist.t_two_sided(2.0, 7.3).hex() == "0x1.57d28f2bb731ep-4"
    assert dist.f_sf(3.0, 2.0, 6.0) == pytest.approx((1 + 3.0 * 2 / 6) ** -3, rel=1e-14)
    assert dist.exp(1.0).hex() == "0x1.5bf0a8b14576ap+1"  # one ulp above e: deterministic, not correctly rounded


def test_normfinder_with_groups_worked_in_exact_arithmetic():
    # Two groups of three samples, three genes; the model's estimates written out with fractions.
    rows = [[1, 2, 4], [2, 2, 3], [0, 3, 5], [4, 1, 2], [3, 2, 2], [5, 0, 1]]
    groups = ["a", "a", "a", "b", "b", "b"]
    k, names = 3, ("a", "b")
    f = [[Fraction(v) for v in r] for r in rows]
    member = {g: [r for r, x in zip(f, groups) if x == g] for g in names}
    sigma2, mean = {}, {}
    for g in names:
        rs = member[g]
        n = len(rs)
        gene = [sum(r[i] for r in rs) / n for i in range(k)]
        sample = [sum(r) / k for r in rs]
        grand = sum(gene) / k
        s2 = [sum((rs[j][i] - gene[i] - sample[j] + grand) ** 2 for j in range(n)) / ((n - 1) * (1 - Fraction(2, k)))
              for i in range(k)]
        sigma2[g] = [s - sum(s2) / (k * (k - 1)) for s in s2]
        mean[g] = gene
    over_groups = [sum(mean[g][i] for g in names) / 2 for i in range(k)]
    over_genes = {g: sum(mean[g]) / k for g in names}
    grand = sum(over_genes.values()) / 2
    d = {(i, g): mean[g][i] - over_groups[i] - over_genes[g] + grand for i in range(k) for g in names}
    raw = {(i, g): sigma2[g][i] / 3 for i in range(k) for g in names}
    # The spread of the group effects takes the unbiased variances as they are; a gene's own terms take a
    # negative one as zero.
    gamma2 = max(sum(v * v for v in d.values()) / ((k - 1) * 1) - sum(raw.values()) / (k * 2), 0)
    tau = {key: max(v, 0) for key, v in raw.items()}
    r = stability.normfinder(rows, "XYZ", groups)
    assert r.gamma2 == pytest.approx(float(gamma2), rel=1e-13)
    for i, gene in enumerate("XYZ"):
        rho = []
        for g in names:
            shrink = gamma2 / (gamma2 + tau[i, g])
            spread = gamma2 * tau[i, g] / (gamma2 + tau[i, g])
            rho.append(abs(float(d[i, g] * shrink)) + math.sqrt(float(tau[i, g] + spread)))
        assert r.stability[gene] == pytest.approx(sum(rho) / 2, rel=1e-12)
        assert r.intergroup[gene][1] == pytest.approx(float(d[i, "b"] * gamma2 / (gamma2 + tau[i, "b"])), rel=1e-12)


def test_randomisation_over_blocks_counts_every_joint_relabelling():
    # Block one: 0 | 1 (two ways), block two, weight -1: 0, 0 | 2 (three ways); six joint relabellings.
    r = cmp.randomisation_test([(1.0, [0.0], [1.0]), (-1.0, [0.0, 0.0], [2.0])])
    # statistics: (+1 or -1) - (2 or -1): observed 1 - 2 = -1; joint values -1, 2, 2, -3, 0, 0 -> |.| >= 1: 4 of 6
    assert r.exact and r.relabellings == 6 and r.estimate == -1.0 and r.p == pytest.approx(4 / 6)


def test_inverse_prediction_intervals_cover_the_truth_as_often_as_they_say():
    rng = random.Random(12)
    x = [2.0, 2.0, 3.0, 3.0, 4.0, 4.0, 5.0, 5.0]
    trials, covered = 1500, 0
    for _ in range(trials):
        line = inverse.fit_line(x, [38.0 - 3.3 * v + rng.gauss(0.0, 0.2) for v in x])
        truth = rng.uniform(2.0, 5.0)
        p = inverse.predict(line, [38.0 - 3.3 * truth + rng.gauss(0.0, 0.2) for _ in range(2)])
        covered += p.low <= truth <= p.high
    # 95 % nominal; the binomial spread over 1500 trials is 0.6 %.
    assert covered / trials == pytest.approx(0.95, abs=0.02)


def test_welch_intervals_cover_the_true_difference_as_often_as_they_say():
    rng = random.Random(13)
    trials, covered = 2000, 0
    for _ in range(trials):
        a = [rng.gauss(0.0, 1.0) for _ in range(4)]
        b = [rng.gauss(1.0, 3.0) for _ in range(7)]
        d = cmp.welch(a, b, level=0.9)
        covered += d.low <= 1.0 <= d.high
    assert covered / trials == pytest.approx(0.9, abs=0.025)


def test_the_randomisation_generator_is_splitmix64():
    # The published reference sequence of SplitMix64 from seed 1234567; draws below n take the high bits of
    # each output times n, so the draws are the same on every platform and Python.
    g = cmp._SplitMix64(1234567)
    assert [g.next() for _ in range(5)] == [6457827717110365317, 3203168211198807973, 9817491932198370423,
                                            4593380528125082431, 16408922859458223821]
    a, b = cmp._SplitMix64(99), cmp._SplitMix64(99)
    assert [a.below(1000) for _ in range(20)] == [(b.next() * 1000) >> 64 for _ in range(20)]


def test_a_line_through_two_standards_reads_unknowns_without_an_interval():
    line = inverse.line_through([1.0, 3.0, 3.0], [30.0, 23.4, 23.4], -3.3, 33.3)
    two = inverse.Line(-3.3, 33.3, 2, 2.0, 2.0, math.nan, (1.0, 3.0), (23.4, 30.0))
    p = inverse.predict(two, [26.7])
    assert p.x == pytest.approx(2.0) and p.inside and math.isnan(p.low) and math.isnan(p.high)
    assert line.s < 1e-14 and inverse.predict(line, [26.7]).low == pytest.approx(2.0)  # no scatter: a point
