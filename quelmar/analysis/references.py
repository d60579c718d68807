"""Reference-gene stability of one set of analysed wells: geNorm and
NormFinder (see :mod:`.inference.stability`) over the samples that have every
candidate, and what a lab should read from them, in plain sentences."""
import math

from ..common.errors import InputError
from ..results import PairwiseVariation, ReferenceGene, StabilityResult
from .inference import stability
from .inference.stability import StabilityError
from .levels import collect

#: Below this many samples the stability values are too rough to choose genes by, and the verdict says so.
FEW_SAMPLES = 5


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

    Returns
    -------
    StabilityResult

    Raises
    ------
    InputError
        Too few candidates or samples with every candidate, naming the file.
    """
    genes = tuple(genes)
    try:
        levels = collect(wells, genes, ct_kind)
    except ValueError as e:
        raise InputError(f"{path}: {e}") from None
    samples = levels.complete(genes)
    left_out = [f"sample {s} (no Ct for {', '.join(g for g in genes if not per.get(g))})"
                for s, per in levels.cq.items() if s not in samples]
    left_out += [f"well {x}" for x in levels.left_out]
    matrix = [[levels.log2(s, g, factors[g]) for g in genes] for s in samples]
    if len(samples) < stability.MIN_SAMPLES:
        raise InputError(f"{path}: {len(samples)} sample{'s' if len(samples) != 1 else ''} with a Ct for every "
                         f"candidate reference gene ({', '.join(genes)}): stability needs at least "
                         f"{stability.MIN_SAMPLES}")
    try:
        genorm = stability.genorm(matrix, genes)
    except StabilityError as e:
        raise InputError(f"{path}: {e}") from None
    verdict, normfinder = _genorm_verdict(genorm), None
    verdict += levels.pooled
    if len(samples) < FEW_SAMPLES:
        verdict.append(f"only {len(samples)} samples with every candidate: too few to choose reference genes by "
                       f"(at least {FEW_SAMPLES} are needed for a rough judgement)")
    if len(genes) >= stability.MIN_GENES_NORMFINDER:
        normfinder = _normfinder(matrix, genes, [levels.groups[s] for s in samples], verdict)
    else:
        verdict.append(f"NormFinder needs at least {stability.MIN_GENES_NORMFINDER} candidates")
    groups = normfinder.groups if normfinder else ("",)
    rank = {g: i + 1 for i, g in enumerate(genorm.ranking)}
    m_excluded = dict(zip(genorm.ranking, genorm.m_ranked))
    nf_rank = {g: i + 1 for i, g in enumerate(normfinder.ranking)} if normfinder else {}
    rows = [ReferenceGene(gene=g, m=genorm.m[g], genorm_rank=rank[g], m_excluded=m_excluded[g],
                          normfinder=normfinder.stability[g] if normfinder else math.nan,
                          normfinder_rank=nf_rank.get(g, 0), samples=len(samples),
                          groups=len(groups) if groups != ("",) else 0, file=path) for g in genorm.ranking]
    pairs = [PairwiseVariation(pair=f"V{n}/{n + 1}", genes=n, v=v, below_cutoff=v < stability.V_CUTOFF, file=path)
             for n, v in genorm.v.items()]
    return StabilityResult(file=path, genes=genes, samples=tuple(samples), groups=groups, left_out=left_out,
                           ranking=genorm.ranking, m_excluded=m_excluded, v=dict(genorm.v),
                           normfinder=dict(normfinder.stability) if normfinder else {},
                           normfinder_ranking=normfinder.ranking if normfinder else (),
                           best_pair=normfinder.best_pair if normfinder else None, verdict=verdict,
                           genes_table=rows, pairs_table=pairs,
                           m_bounds=(stability.M_HOMOGENEOUS, stability.M_HETEROGENEOUS), v_cutoff=stability.V_CUTOFF)


def _normfinder(matrix, genes, labels, verdict):
    """NormFinder with the design's groups when each has enough samples, else without; its sentence."""
    named = list(dict.fromkeys(labels))
    usable = len(named) > 1 and "" not in named and all(labels.count(g) >= stability.MIN_SAMPLES for g in named)
    if len(named) > 1 and not usable:
        verdict.append(f"NormFinder without groups: each group needs at least {stability.MIN_SAMPLES} samples with "
                       f"every candidate, and every sample a group")
    r = stability.normfinder(matrix, genes, labels if usable else None)
    below = [g for g in genes if min(r.intragroup[g]) < 0.0]
    if below:
        verdict.append(f"NormFinder's variance estimate falls below zero for {', '.join(below)} (too few samples, "
                       f"or a gene far steadier than the others): taken as zero")
    grouped = f"with {len(r.groups)} groups ({', '.join(r.groups)})" if len(r.groups) > 1 else "without groups"
    (a, b), value = r.best_pair
    best = r.ranking[0]
    verdict.append(f"NormFinder {grouped}: most stable gene {best} ({r.stability[best]:.3f}); best pair {a} and {b} "
                   f"({value:.3f})")
    return r


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
        if n < len(r.genes):
            lines.append(f"V{n}/{n + 1} = {r.v[n]:.3f} is below {stability.V_CUTOFF:g}: the {n} most stable genes "
                         f"suffice ({_names(r.ranking[:n])})")
        else:
            lines.append(f"no pairwise variation V is below {stability.V_CUTOFF:g}: use all {n} candidates, or "
                         f"look for more stable ones")
    return lines
