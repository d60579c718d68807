"""Tests between groups of samples on their normalised relative quantities.

Per sample and target, the normalised relative quantity on the log2 scale is
log2 NRQ = -mean(Cq_T) log2(E_T) + mean over the reference genes r of
mean(Cq_r) log2(E_r): the target's quantity over the geometric mean of the
reference genes' (Hellemans et al. 2007). The difference of two groups' mean
log2 NRQ is the log2 fold change of group B over group A.

With a design (samples in groups: a sample sheet's group column, or the
file's own annotations), each sample is one biological replicate: two groups
are compared by Welch's t-test and by REST's randomisation test, more by a
one-way ANOVA and Welch's t-test for every pair. Without one, two samples
can still be compared, but only through their wells, technical replicates:
the difference of the target's and the reference genes' well means, tested
with Satterthwaite's degrees of freedom, and randomised per gene; the p-value
then speaks of the measurement, not of the biology, and the rows say so.

The p-values of two groups are adjusted over the targets; an ANOVA's over the
targets, and the pairwise comparisons' over every pair of every target (one
family), by Holm's method unless Benjamini-Hochberg's is asked for. The
significance mark reads Welch's adjusted p-value.
"""
import math
from dataclasses import dataclass, field
from itertools import combinations

from . import comparison as cmp
from . import distributions as dist
from .levels import collect

BIOLOGICAL, TECHNICAL = "biological", "technical"
#: Adjusted p-value below each bound -> its mark; "ns" otherwise.
MARKS = ((0.001, "***"), (0.01, "**"), (0.05, "*"))
ALL = "all"


class DesignError(ValueError):
    """The groups named cannot be compared (unknown, too few)."""


@dataclass
class GroupComparison:
    """One row of a comparison: a target's fold change of group B over group A and its tests.

    Attributes
    ----------
    n_a, n_b : int
        Biological replicates (samples) per group, or the target's wells for technical replicates.
    replicates : str
        "biological" or "technical".
    log2_fold_change, fold_change, fold_low, fold_high : float
        B over A, with its confidence interval.
    t, df, p : float
        Welch's (Satterthwaite's) test; ``p_adjusted`` over the family (see the module).
    p_randomisation, p_randomisation_adjusted : float
        REST's randomisation test; ``randomisations`` counted (every one when ``exact``).
    significance : str
        ``***``, ``**``, ``*`` or ``ns`` from ``p_adjusted``.
    """

    target: str
    group_a: str
    group_b: str
    n_a: int
    n_b: int
    replicates: str
    log2_fold_change: float
    fold_change: float
    fold_low: float
    fold_high: float
    t: float
    df: float
    p: float
    p_adjusted: float
    p_randomisation: float
    p_randomisation_adjusted: float
    randomisations: int
    significance: str
    note: str
    file: str


@dataclass
class GroupAnova:
    """One row of the ANOVA of three or more groups: one target."""

    target: str
    groups: str
    n: str
    f: float
    df_between: int
    df_within: int
    p: float
    p_adjusted: float
    significance: str
    note: str
    file: str


@dataclass
class ComparisonResult:
    """The comparison of one file (or study).

    Attributes
    ----------
    groups : tuple of str
        The groups compared; the first is the reference (A) of every fold change in a two-group comparison.
    replicates : str
    adjustment : str
        "holm" or "bh".
    level : float
        Confidence level of the fold changes' intervals.
    rows : list of GroupComparison
    anova : list of GroupAnova
    values : dict
        (target, group) -> the log2 NRQ of its samples (biological replicates only), for plots.
    notes : list of str
    """

    file: str
    groups: tuple
    replicates: str
    adjustment: str
    level: float
    rows: list
    anova: list
    values: dict = field(default_factory=dict)
    notes: list = field(default_factory=list)


def mark(p):
    """The significance mark of an adjusted p-value."""
    if math.isnan(p):
        return ""
    for bound, text in MARKS:
        if p < bound:
            return text
    return "ns"


def parse_groups(text):
    """--compare: "A,B[,C...]" or "all" -> tuple of names (ValueError when malformed)."""
    names = tuple(n.strip() for n in text.split(","))
    if names == (ALL,):
        return names
    if len(names) < 2 or not all(names) or len(set(names)) != len(names):
        raise ValueError(f"--compare {text!r}: expected two or more different groups A,B[,C...] or 'all'")
    return names


def compare_groups(path, wells, targets, refs, factors, ct_kind, names, adjustment=cmp.HOLM, level=cmp.LEVEL,
                   draws=cmp.DRAWS, seed=cmp.SEED):
    """Compare the groups ``names`` for every target.

    Parameters
    ----------
    wells : list of AmplificationWell
    targets, refs : sequence of str
        Targets of interest and reference genes.
    factors : dict
        Gene -> amplification factor E.
    names : tuple of str
        Groups (a design) or samples (none), at least two; ``("all",)`` for every group of the design.

    Returns
    -------
    ComparisonResult

    Raises
    ------
    DesignError
    """
    genes = list(targets) + [r for r in refs if r not in targets]
    levels = collect(wells, genes, ct_kind)
    design = any(levels.groups.values())
    known = list(dict.fromkeys(levels.groups.values())) if design else list(levels.cq)
    if names == (ALL,):
        if not design:
            raise DesignError("--compare all needs a design: groups in a sample sheet's group column or in the file")
        names = tuple(known)
    missing = [n for n in names if n not in known]
    if missing:
        what = "group" if design else "sample"
        raise DesignError(f"{what} {missing[0]!r} is not in the file ({what}s: {', '.join(known[:12])}"
                          f"{', ...' if len(known) > 12 else ''})")
    if len(names) < 2:
        raise DesignError(f"a comparison needs at least two groups (the design has {', '.join(names)})")
    if not design and len(names) > 2:
        raise DesignError("more than two samples can be compared only as groups of biological replicates (a sample "
                          "sheet's group column)")
    result = ComparisonResult(path, tuple(names), BIOLOGICAL if design else TECHNICAL, adjustment, level, [], [])
    if not design:
        result.notes.append(f"no groups of biological replicates: {names[0]} and {names[1]} are compared through "
                            f"their wells (technical replicates); the p-values say whether the measurements differ, "
                            f"not whether the biology does")
    for target in targets:
        if design:
            per_group = {g: _nrq(levels, target, refs, factors, g) for g in names}
            for g in names:
                result.values[target, g] = per_group[g]
            if len(names) == 2:
                result.rows.append(_two_groups(path, target, names, per_group, level, draws, seed))
            else:
                anova, pairs = _many_groups(path, target, names, per_group, level, draws, seed)
                result.anova.append(anova)
                result.rows += pairs
        else:
            result.rows.append(_technical(path, target, names, levels, refs, factors, level, draws, seed))
    _adjust(result.rows, adjustment)
    if result.anova:
        for a, q in zip(result.anova, cmp.adjust([a.p for a in result.anova], adjustment)):
            a.p_adjusted, a.significance = q, mark(q)
    return result


def _nrq(levels, target, refs, factors, group):
    """The log2 NRQ of every sample of a group with the target and every reference gene."""
    samples = [s for s, g in levels.groups.items() if g == group]
    out = []
    for s in levels.complete([target] + list(refs)):
        if s in samples:
            ref = math.fsum(levels.log2(s, r, factors[r]) for r in refs) / len(refs)
            out.append(levels.log2(s, target, factors[target]) - ref)
    return out


def _empty_row(path, target, a, b, n_a, n_b, replicates, note):
    nan = math.nan
    return GroupComparison(target, a, b, n_a, n_b, replicates, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, 0,
                           "", note, path)


def _row(path, target, a, b, n_a, n_b, replicates, d, r):
    low, high = d.fold_interval
    note = "" if not math.isnan(d.p) else "no variation within the groups: no t-test"
    return GroupComparison(target, a, b, n_a, n_b, replicates, d.estimate, d.fold_change, low, high, d.t, d.df, d.p,
                           math.nan, r.p, math.nan, r.relabellings, "", note, path)


def _two_groups(path, target, names, per_group, level, draws, seed):
    a, b = names
    va, vb = per_group[a], per_group[b]
    if len(va) < 2 or len(vb) < 2:
        return _empty_row(path, target, a, b, len(va), len(vb), BIOLOGICAL,
                          "each group needs at least two samples with the target and every reference gene")
    return _row(path, target, a, b, len(va), len(vb), BIOLOGICAL, cmp.welch(va, vb, level),
                cmp.randomisation_test([(1.0, va, vb)], draws, seed))


def _many_groups(path, target, names, per_group, level, draws, seed):
    sizes = ", ".join(str(len(per_group[g])) for g in names)
    usable = [g for g in names if per_group[g]]
    note = ""
    if len(usable) >= 2 and sum(len(per_group[g]) for g in usable) > len(usable):
        r = cmp.anova([per_group[g] for g in usable])
        if len(usable) < len(names):
            note = f"without {', '.join(g for g in names if g not in usable)} (no sample with every gene)"
        anova = GroupAnova(target, ", ".join(names), sizes, r.f, r.df_between, r.df_within, r.p, math.nan, "", note,
                           path)
    else:
        anova = GroupAnova(target, ", ".join(names), sizes, math.nan, 0, 0, math.nan, math.nan, "",
                           "too few samples with the target and every reference gene", path)
    pairs = [_two_groups(path, target, (a, b), per_group, level, draws, seed) for a, b in combinations(names, 2)]
    return anova, pairs


def _technical(path, target, names, levels, refs, factors, level, draws, seed):
    a, b = names
    genes = [target] + [r for r in refs if r != target]
    wells = {(s, g): levels.cq.get(s, {}).get(g, []) for s in names for g in genes}
    n_a, n_b = len(wells[a, target]), len(wells[b, target])
    short = [f"{s} {g}" for s in names for g in genes if len(wells[s, g]) < 2]
    if short:
        return _empty_row(path, target, a, b, n_a, n_b, TECHNICAL,
                          f"each gene needs at least two wells with a Ct in both samples (not {', '.join(short)})")
    weights = {target: -dist.log2(factors[target])}
    for r in refs:
        weights[r] = weights.get(r, 0.0) + dist.log2(factors[r]) / len(refs)
    terms = [(w, wells[b, g]) for g, w in weights.items()] + [(-w, wells[a, g]) for g, w in weights.items()]
    blocks = [(w, wells[a, g], wells[b, g]) for g, w in weights.items()]
    return _row(path, target, a, b, n_a, n_b, TECHNICAL, cmp.satterthwaite(terms, level),
                cmp.randomisation_test(blocks, draws, seed))


def _adjust(rows, method):
    for key in ("p", "p_randomisation"):
        adjusted = cmp.adjust([getattr(r, key) for r in rows], method)
        for r, q in zip(rows, adjusted):
            setattr(r, key + "_adjusted", q)
    for r in rows:
        r.significance = mark(r.p_adjusted)
