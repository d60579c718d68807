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
with Satterthwaite's degrees of freedom, and randomised by reallocating the
target's wells, each normalised by its sample's reference mean; the p-value
then speaks of the measurement, not of the biology, and the rows say so.

The p-values of two groups are adjusted over the targets; an ANOVA's over the
targets, and the pairwise comparisons' over every pair of every target (one
family), by Holm's method unless Benjamini-Hochberg's is asked for. The
significance mark reads Welch's adjusted p-value.
"""
import math
from itertools import combinations

from ..common.errors import InputError
from ..results import ComparisonResult, GroupAnova, GroupComparison
from .inference import comparison as cmp
from .inference import distributions as dist
from .levels import collect

BIOLOGICAL, TECHNICAL = "biological", "technical"
#: Adjusted p-value below each bound -> its mark; "ns" otherwise.
MARKS = ((0.001, "***"), (0.01, "**"), (0.05, "*"))
ALL = "all"


def mark(p):
    """The significance mark of an adjusted p-value."""
    if math.isnan(p):
        return ""
    for bound, text in MARKS:
        if p < bound:
            return text
    return "ns"


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
    InputError
        Groups that are not in the file, or cannot be compared; naming the file.
    """
    genes = list(targets) + [r for r in refs if r not in targets]
    try:
        levels = collect(wells, genes, ct_kind)
    except ValueError as e:
        raise InputError(f"{path}: {e}") from None
    design = any(levels.groups.values())
    known = list(dict.fromkeys(levels.groups.values())) if design else list(levels.cq)
    if names == (ALL,):
        if not design:
            raise InputError(f"{path}: comparing all groups needs a design: groups in a sample sheet's group column "
                             f"or in the file")
        names = tuple(known)
    missing = [n for n in names if n not in known]
    if missing:
        what = "group" if design else "sample"
        raise InputError(f"{path}: {what} {missing[0]!r} is not in the file ({what}s: {', '.join(known[:12])}"
                         f"{', ...' if len(known) > 12 else ''})")
    if len(names) < 2:
        raise InputError(f"{path}: a comparison needs at least two groups (the design has {', '.join(names)})")
    if not design and len(names) > 2:
        raise InputError(f"{path}: more than two samples can be compared only as groups of biological replicates "
                         f"(a sample sheet's group column)")
    result = ComparisonResult(file=path, groups=tuple(names), replicates=BIOLOGICAL if design else TECHNICAL,
                              adjustment=adjustment, adjustment_name=cmp.ADJUSTMENTS[adjustment], level=level,
                              rows=[], anova=[])
    result.notes += levels.pooled
    if not design:
        result.notes.append(f"no groups of biological replicates: {names[0]} and {names[1]} are compared through "
                            f"their wells (technical replicates); the p-values say whether the measurements differ, "
                            f"not whether the biology does")
    for target in targets:
        if design:
            per_group = {g: _nrq(levels, target, refs, factors, g) for g in names}
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
    return GroupComparison(target=target, group_a=a, group_b=b, n_a=n_a, n_b=n_b, replicates=replicates,
                           log2_fold_change=nan, fold_change=nan, fold_low=nan, fold_high=nan, t=nan, df=nan, p=nan,
                           p_adjusted=nan, p_randomisation=nan, p_randomisation_adjusted=nan, randomisations=0,
                           significance="", note=note, file=path)


def _row(path, target, a, b, n_a, n_b, replicates, d, r):
    low, high = d.fold_interval
    note = "" if not math.isnan(d.p) else "no variation within the groups: no t-test"
    return GroupComparison(target=target, group_a=a, group_b=b, n_a=n_a, n_b=n_b, replicates=replicates,
                           log2_fold_change=d.estimate, fold_change=d.fold_change, fold_low=low, fold_high=high,
                           t=d.t, df=d.df, p=d.p, p_adjusted=math.nan, p_randomisation=r.p,
                           p_randomisation_adjusted=math.nan, randomisations=r.relabellings, significance="",
                           note=note, file=path)


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
        anova = GroupAnova(target=target, groups=", ".join(names), n=sizes, f=r.f, df_between=r.df_between,
                           df_within=r.df_within, p=r.p, p_adjusted=math.nan, significance="", note=note, file=path)
    else:
        anova = GroupAnova(target=target, groups=", ".join(names), n=sizes, f=math.nan, df_between=0, df_within=0,
                           p=math.nan, p_adjusted=math.nan, significance="",
                           note="too few samples with the target and every reference gene", file=path)
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
    return _row(path, target, a, b, n_a, n_b, TECHNICAL, cmp.satterthwaite(terms, level),
                cmp.randomisation_test([_normalised_wells(wells, target, refs, factors, a, b)], draws, seed))


def _normalised_wells(wells, target, refs, factors, a, b):
    """The target's wells of both samples as log2 NRQ, each against its own sample's reference mean: one block.

    Wells of different genes are not paired, so REST's reallocation of a sample's values together is not
    possible; reallocating each gene's wells on its own would test that no gene differs, and a loading
    difference of the reference genes alone would then hide a real change of the target. The reference
    means stay with their samples.
    """
    def log2_nrq(sample):
        ref = math.fsum(dist.log2(factors[r]) * _mean(wells[sample, r]) for r in refs) / len(refs)
        return [ref - dist.log2(factors[target]) * c for c in wells[sample, target]]
    return 1.0, log2_nrq(a), log2_nrq(b)


def _mean(values):
    return math.fsum(values) / len(values)


def _adjust(rows, method):
    for key in ("p", "p_randomisation"):
        adjusted = cmp.adjust([getattr(r, key) for r in rows], method)
        for r, q in zip(rows, adjusted):
            setattr(r, key + "_adjusted", q)
    for r in rows:
        r.significance = mark(r.p_adjusted)
