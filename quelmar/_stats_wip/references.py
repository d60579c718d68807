"""Reference-gene stability of one set of analysed wells: geNorm and
NormFinder (see :mod:`.stability`) on the samples that have every candidate,
and what a lab should read from them, in plain sentences."""
import math
from dataclasses import dataclass

from . import stability
from .levels import collect

#: Below this many samples the stability values are too rough to choose genes by, and the verdict says so.
FEW_SAMPLES = 5


@dataclass
class ReferenceGene:
    """One row of ``references``: a candidate reference gene.

    Attributes
    ----------
    m : float
        geNorm's M among all the candidates.
    genorm_rank : int
        1 is most stable (the last pair share ranks 1 and 2).
    m_excluded : float
        M in the round of the stepwise exclusion the gene left (the last pair: their final M).
    normfinder : float
        NormFinder's stability value (NaN with fewer than three candidates).
    normfinder_rank : int
        1 is most stable (0 without a value).
    samples : int
        Samples with every candidate.
    """

    gene: str
    m: float
    genorm_rank: int
    m_excluded: float
    normfinder: float
    normfinder_rank: int
    samples: int
    groups: int
    file: str


@dataclass
class PairwiseVariation:
    """One row of ``references``' second table: geNorm's V_n/n+1."""

    pair: str
    genes: int
    v: float
    below_cutoff: bool
    file: str


@dataclass
class StabilityResult:
    """Everything ``references`` found for one file.

    Attributes
    ----------
    genes : tuple of str
        The candidates, in the caller's order.
    samples : tuple of str
        The samples used (with every candidate).
    groups : tuple of str
        NormFinder's groups ("" for none).
    left_out : list of str
        Samples without every candidate, and wells not kept.
    genorm, normfinder
        :class:`~.stability.GenormResult`, and :class:`~.stability.NormfinderResult` or None.
    verdict : list of str
        Plain sentences: bounds exceeded, the most stable pair or set.
    """

    file: str
    genes: tuple
    samples: tuple
    groups: tuple
    left_out: list
    genorm: object
    normfinder: object
    verdict: list
    genes_table: list
    pairs_table: list


def _names(genes):
    return ", ".join(genes[:-1]) + " and " + genes[-1] if len(genes) > 1 else genes[0]


def reference_stability(path, wells, genes, factors, ct_kind):
    """geNorm and NormFinder of the candidate reference ``genes`` over the samples of ``wells``.

    Parameters
    ----------
    wells : iterable of AmplificationWell
    genes : sequence of str
        Two or more candidates.
    factors : dict
        Gene -> amplification factor E.
    ct_kind : str

    Raises
    ------
    StabilityError
        Too few candidates or samples with every candidate.
    """
    genes = tuple(genes)
    levels = collect(wells, genes, ct_kind)
    samples = levels.complete(genes)
    left_out = [f"sample {s} (no Ct for {', '.join(g for g in genes if not per.get(g))})"
                for s, per in levels.cq.items() if s not in samples]
    left_out += [f"well {x}" for x in levels.left_out]
    matrix = [[levels.log2(s, g, factors[g]) for g in genes] for s in samples]
    if len(samples) < stability.MIN_SAMPLES:
        raise stability.StabilityError(f"{len(samples)} sample{'s' if len(samples) != 1 else ''} with a Ct for "
                                       f"every candidate ({', '.join(genes)}): stability needs at least "
                                       f"{stability.MIN_SAMPLES}")
    genorm = stability.genorm(matrix, genes)
    verdict, normfinder, groups = _genorm_verdict(genorm), None, ("",)
    if len(samples) < FEW_SAMPLES:
        verdict.append(f"only {len(samples)} samples with every candidate: too few to choose reference genes by "
                       f"(at least {FEW_SAMPLES} are needed for a rough judgement)")
    if len(genes) >= stability.MIN_GENES_NORMFINDER:
        labels = [levels.groups[s] for s in samples]
        named = [g for g in dict.fromkeys(labels)]
        usable = len(named) > 1 and all(labels.count(g) >= stability.MIN_SAMPLES for g in named)
        if len(named) > 1 and not usable:
            verdict.append(f"NormFinder without groups: each group needs at least {stability.MIN_SAMPLES} samples "
                           f"with every candidate")
        normfinder = stability.normfinder(matrix, genes, labels if usable else None)
        groups = normfinder.groups
        verdict.append(_normfinder_verdict(normfinder))
    else:
        verdict.append(f"NormFinder needs at least {stability.MIN_GENES_NORMFINDER} candidates")
    rank = {g: i + 1 for i, g in enumerate(genorm.ranking)}
    m_excluded = dict(zip(genorm.ranking, genorm.m_ranked))
    nf_rank = {g: i + 1 for i, g in enumerate(normfinder.ranking)} if normfinder else {}
    rows = [ReferenceGene(g, genorm.m[g], rank[g], m_excluded[g],
                          normfinder.stability[g] if normfinder else math.nan, nf_rank.get(g, 0), len(samples),
                          len(groups) if groups != ("",) else 0, path) for g in genorm.ranking]
    pairs = [PairwiseVariation(f"V{n}/{n + 1}", n, v, v < stability.V_CUTOFF, path) for n, v in genorm.v.items()]
    return StabilityResult(path, genes, tuple(samples), groups, left_out, genorm, normfinder, verdict, rows, pairs)


def _genorm_verdict(r):
    lines = [f"geNorm over {r.samples} samples: most stable pair {_names(r.best_pair)} (M {r.m_ranked[0]:.3f}); "
             f"from most to least stable {', '.join(r.ranking)}"]
    over_high = r.above(stability.M_HETEROGENEOUS)
    over_low = [g for g in r.above(stability.M_HOMOGENEOUS) if g not in over_high]
    if over_high:
        lines.append(f"M above {stability.M_HETEROGENEOUS:g}, the usual bound even for heterogeneous samples: "
                     f"{', '.join(f'{g} ({r.m[g]:.2f})' for g in over_high)}")
    if over_low:
        lines.append(f"M above {stability.M_HOMOGENEOUS:g}, the usual bound for homogeneous samples: "
                     f"{', '.join(f'{g} ({r.m[g]:.2f})' for g in over_low)}")
    if not over_high and not over_low:
        lines.append(f"every M is at most {stability.M_HOMOGENEOUS:g}, the usual bound for homogeneous samples")
    if r.v:
        n = r.optimal_count()
        chosen = r.ranking[:n]
        if n < len(r.genes):
            lines.append(f"V{n}/{n + 1} = {r.v[n]:.3f} is below {stability.V_CUTOFF:g}: the {n} most stable genes "
                         f"suffice ({_names(chosen)})")
        else:
            lines.append(f"no pairwise variation V is below {stability.V_CUTOFF:g}: use all {n} candidates, or "
                         f"look for more stable ones")
    return lines


def _normfinder_verdict(r):
    grouped = f"with {len(r.groups)} groups ({', '.join(r.groups)})" if len(r.groups) > 1 else "without groups"
    (a, b), value = r.best_pair
    best = r.ranking[0]
    return (f"NormFinder {grouped}: most stable gene {best} ({r.stability[best]:.3f}); best pair {a} and {b} "
            f"({value:.3f})")
