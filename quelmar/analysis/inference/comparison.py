"""Tests between groups on log-scale expression: Welch's t-test (and its
Satterthwaite form for a difference made of several independent means),
one-way ANOVA with pairwise Welch comparisons, a randomisation test in the
manner of REST (Pfaffl et al. 2002, Nucleic Acids Res 30:e36), and p-values
adjusted over a family of tests (Holm, or Benjamini-Hochberg).

Values are log2 quantities, so a difference of means d is a log2 fold change
and 2^d the fold change; its interval is 2^(d +/- t se). Every sum is exact
(math.fsum) and every distribution function comes from
:mod:`.distributions`, so the same data give the same p-values everywhere.
"""
import math
from dataclasses import dataclass
from itertools import combinations, product

from . import distributions as dist

#: Relabellings enumerated in full up to this many; past it, drawn at random.
EXACT_LIMIT = 20000
#: Random relabellings drawn when there are too many to enumerate (as REST 2009 draws).
DRAWS = 10000
#: The generator's fixed seed, so a run is reproducible bit for bit.
SEED = 0x5EED_2002
#: A relabelled statistic counts as extreme when within this relative distance of the observed one:
#: sums in another order may differ from a tie in the last bits.
TIE_TOLERANCE = 1e-9
#: Confidence level of intervals unless asked otherwise.
LEVEL = 0.95
HOLM, BH = "holm", "bh"
ADJUSTMENTS = {HOLM: "Holm", BH: "Benjamini-Hochberg"}


class ComparisonError(ValueError):
    """Too few values for the test asked for."""


def _mean(values):
    return math.fsum(values) / len(values)


def _variance(values):
    m = _mean(values)
    return math.fsum((v - m) * (v - m) for v in values) / (len(values) - 1)


@dataclass
class Difference:
    """A difference of means (log2 units) with its Welch-Satterthwaite test.

    Attributes
    ----------
    estimate : float
        The difference (group B minus group A): the log2 fold change.
    se : float
        Its standard error.
    df : float
        Satterthwaite's degrees of freedom (fractional).
    t, p : float
        The statistic and its two-sided p-value (NaN when the standard error is zero).
    low, high : float
        The confidence interval of the difference at ``level``.
    level : float
    """

    estimate: float
    se: float
    df: float
    t: float
    p: float
    low: float
    high: float
    level: float

    @property
    def fold_change(self):
        return dist.pow2(self.estimate)

    @property
    def fold_interval(self):
        return dist.pow2(self.low), dist.pow2(self.high)


def satterthwaite(terms, level=LEVEL):
    """The difference sum(w * mean(values)) over independent samples, tested against zero.

    Parameters
    ----------
    terms : sequence of (float, sequence of float)
        (weight, values) per independent sample; each needs two values or more.
    level : float

    Returns
    -------
    Difference
        With one term of weight 1 for group B and one of weight -1 for group A this is Welch's t-test.
    """
    estimate_parts, variance_parts = [], []
    for weight, values in terms:
        values = [float(v) for v in values]
        if len(values) < 2:
            raise ComparisonError(f"a group has {len(values)} value{'s' if len(values) != 1 else ''}: a test needs "
                                  f"at least two per group")
        estimate_parts.append(weight * _mean(values))
        variance_parts.append((weight * weight * _variance(values) / len(values), len(values) - 1))
    estimate = math.fsum(estimate_parts)
    var = math.fsum(v for v, _ in variance_parts)
    if not var > 0.0:
        return Difference(estimate, 0.0, math.nan, math.nan, math.nan, math.nan, math.nan, level)
    df = var * var / math.fsum(v * v / nu for v, nu in variance_parts if v > 0.0)
    se = math.sqrt(var)
    t = estimate / se
    half = dist.t_quantile(level, df) * se
    return Difference(estimate, se, df, t, dist.t_two_sided(t, df), estimate - half, estimate + half, level)


def welch(a, b, level=LEVEL):
    """Welch's t-test of mean(b) - mean(a)."""
    return satterthwaite([(1.0, b), (-1.0, a)], level)


@dataclass
class Anova:
    """One-way analysis of variance.

    Attributes
    ----------
    f, p : float
    df_between, df_within : int
    ss_between, ss_within : float
    """

    f: float
    p: float
    df_between: int
    df_within: int
    ss_between: float
    ss_within: float


def anova(groups):
    """One-way ANOVA of two or more groups (each a sequence of values, at least two groups with a value)."""
    groups = [[float(v) for v in g] for g in groups]
    if len(groups) < 2 or any(not g for g in groups):
        raise ComparisonError("ANOVA needs at least two groups, each with a value")
    n = sum(len(g) for g in groups)
    if n - len(groups) < 1:
        raise ComparisonError("ANOVA needs more values than groups")
    grand = math.fsum(v for g in groups for v in g) / n
    means = [_mean(g) for g in groups]
    ss_between = math.fsum(len(g) * (m - grand) * (m - grand) for g, m in zip(groups, means))
    ss_within = math.fsum((v - m) * (v - m) for g, m in zip(groups, means) for v in g)
    df1, df2 = len(groups) - 1, n - len(groups)
    if not ss_within > 0.0:
        return Anova(math.nan, math.nan, df1, df2, ss_between, ss_within)
    f = (ss_between / df1) / (ss_within / df2)
    return Anova(f, dist.f_sf(f, df1, df2), df1, df2, ss_between, ss_within)


def pairwise(groups, names, level=LEVEL, method=HOLM):
    """Welch's t-test for every pair of groups, p-values adjusted over the pairs.

    Returns
    -------
    list of ((name_a, name_b), Difference, adjusted p)
        Differences are name_b minus name_a, pairs in the order of ``names``.
    """
    pairs = [((names[i], names[j]), welch(groups[i], groups[j], level)) for i, j in combinations(range(len(groups)), 2)]
    adjusted = adjust([d.p for _, d in pairs], method)
    return [(names_, d, q) for (names_, d), q in zip(pairs, adjusted)]


def adjust(p_values, method=HOLM):
    """p-values adjusted for multiple testing; NaN stays NaN and is not counted.

    ``holm``: Holm's step-down (controls the family-wise error rate under any
    dependence). ``bh``: Benjamini and Hochberg's step-up (controls the false
    discovery rate for independent or positively dependent tests).
    """
    if method not in ADJUSTMENTS:
        raise ValueError(f"adjustment must be one of {', '.join(ADJUSTMENTS)}, not {method!r}")
    p = [float(v) for v in p_values]
    index = sorted((i for i in range(len(p)) if not math.isnan(p[i])), key=lambda i: (p[i], i))
    m = len(index)
    out = [math.nan] * len(p)
    if method == HOLM:
        running = 0.0
        for rank, i in enumerate(index):
            running = max(running, min(1.0, (m - rank) * p[i]))
            out[i] = running
    else:
        running = 1.0
        for rank in range(m - 1, -1, -1):
            i = index[rank]
            running = min(running, m * p[i] / (rank + 1))
            out[i] = min(running, 1.0)
    return out


class _SplitMix64:
    """A small generator with a published, fixed output sequence (Steele et al. 2014), unlike any library's."""

    MASK = (1 << 64) - 1

    def __init__(self, seed):
        self.state = seed & self.MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & self.MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & self.MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & self.MASK
        return z ^ (z >> 31)

    def below(self, n):
        """A uniform integer in [0, n): Lemire's multiply-and-shift, rejecting the few values that would bias it."""
        mask = self.MASK
        while True:
            self.state = state = (self.state + 0x9E3779B97F4A7C15) & mask
            z = ((state ^ (state >> 30)) * 0xBF58476D1CE4E5B9) & mask
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
            m = (z ^ (z >> 31)) * n
            low = m & mask
            if low >= n or low >= ((1 << 64) - n) % n:
                return m >> 64


@dataclass
class Randomisation:
    """A randomisation test's result.

    Attributes
    ----------
    estimate : float
        The observed statistic: sum over blocks of weight * (mean of B - mean of A).
    p : float
        Two-sided: the share of relabellings at least as extreme (exact), or (count + 1) / (draws + 1).
    relabellings : int
        How many were counted.
    exact : bool
        True when every relabelling was enumerated.
    """

    estimate: float
    p: float
    relabellings: int
    exact: bool


def randomisation_test(blocks, draws=DRAWS, seed=SEED, exact_limit=EXACT_LIMIT):
    """Randomisation test of a difference between two groups, REST's way.

    Within each block the values are reallocated at random between the groups,
    keeping each group's size; the statistic is recomputed; the p-value is how
    often it is at least as far from zero as the observed one. With one block
    of biological samples (each sample's normalised log2 quantity) this is the
    classical two-sample randomisation test; with one block per gene (wells of
    the target and of each reference gene) each gene's values are reallocated
    on their own, as REST reallocates Cq values.

    Parameters
    ----------
    blocks : sequence of (float, sequence of float, sequence of float)
        (weight, values in A, values in B); each group needs a value.
    draws : int
        Random relabellings when there are more than ``exact_limit``.
    seed : int
    exact_limit : int
        Up to this many relabellings, every one is counted.
    """
    blocks = [(float(w), [float(v) for v in a], [float(v) for v in b]) for w, a, b in blocks]
    if not blocks or any(not a or not b for _, a, b in blocks):
        raise ComparisonError("a randomisation test needs values in both groups")
    # A relabelling of a block is known by the sum of its A group alone: with T the block's total,
    # mean(B) - mean(A) = T / n_B - S_A (1 / n_A + 1 / n_B). Sums run in a fixed order (exact enough: the
    # tie tolerance covers their last bits), which keeps the ten thousand draws quick.
    pooled, offset, slope = [], [], []
    for w, a, b in blocks:
        values = a + b
        pooled.append((values, len(a)))
        offset.append(w * sum(values) / len(b))
        slope.append(w * (1.0 / len(a) + 1.0 / len(b)))
    observed = math.fsum(w * (_mean(b) - _mean(a)) for w, a, b in blocks)
    bound = abs(sum(c - d * sum(a) for c, d, (_, a, _) in zip(offset, slope, blocks))) * (1.0 - TIE_TOLERANCE)
    total = 1
    for values, n_a in pooled:
        total *= math.comb(len(values), n_a)
        if total > exact_limit:
            break
    if total <= exact_limit:
        parts = [[c - d * sum(values[i] for i in chosen) for chosen in combinations(range(len(values)), n_a)]
                 for c, d, (values, n_a) in zip(offset, slope, pooled)]
        count = seen = 0
        for joint in product(*parts):
            seen += 1
            count += abs(sum(joint)) >= bound
        return Randomisation(observed, count / seen, seen, True)
    rng = _SplitMix64(seed)
    orders = [list(values) for values, _ in pooled]
    totals = [sum(values) for values, _ in pooled]
    count = 0
    for _ in range(draws):
        statistic = 0.0
        for order, total_sum, (_, n_a), c, d in zip(orders, totals, pooled, offset, slope):
            # A partial Fisher-Yates shuffle puts a uniformly random group in front, whatever the order before;
            # the smaller group is drawn, and A's sum is the rest when that is B.
            drawn = min(n_a, len(order) - n_a)
            for i in range(drawn):
                j = i + rng.below(len(order) - i)
                order[i], order[j] = order[j], order[i]
            front = sum(order[:drawn])
            statistic += c - d * (front if drawn == n_a else total_sum - front)
        count += abs(statistic) >= bound
    return Randomisation(observed, (count + 1) / (draws + 1), draws, False)
