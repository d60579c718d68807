"""How stable candidate reference genes are across samples: geNorm's M and
pairwise variation V (Vandesompele et al. 2002, Genome Biol 3:research0034)
and NormFinder's stability value (Andersen et al. 2004, Cancer Res 64:5245).

Both work on log2 expression: per sample and gene, -Cq * log2(E) (E the
gene's amplification factor), any constant per gene being irrelevant. Each
row is one sample with a value for every gene; a sample missing a gene is
left out before these functions are called (geNorm and NormFinder both need
complete data), so a whole sample's level - how much material went in - drops
out: adding a constant to every value of a sample changes no result here.

geNorm: V_jk is the standard deviation (n - 1) over the samples of the log2
ratio of genes j and k; M_j is the mean of V_jk over the other genes. The
least stable gene (highest M) is dropped and M recomputed among the rest,
until two remain; they are the most stable pair. V_n/n+1 is the standard
deviation of log2(NF_n / NF_n+1), NF_n being the geometric mean of the n
most stable genes: below 0.15 an (n + 1)-th gene adds nothing.

NormFinder: the model y_igj = a_ig + b_gj + e_igj (gene i, group g, sample
j), e_igj of variance s2_ig. Per group the residuals
r_igj = y_igj - mean_j(y_ig.) - mean_i(y_.gj) + mean(y_.g.) give
s2_ig = sum_j r_igj^2 / ((n_g - 1)(1 - 2/k)), and the unbiased
sigma2_ig = s2_ig - sum_i s2_ig / (k (k - 1)) (k genes). Without groups the
stability value is sigma_i, the gene's own standard deviation once the
samples' levels are removed. With groups, the gene's group means, centred
over genes and groups, give d_ig; their spread beyond what sigma2_ig / n_g
explains gives gamma2 = sum d_ig^2 / ((k - 1)(G - 1)) - sum (sigma2_ig / n_g) / (k G)
(at least 0). Each d_ig is shrunk towards zero by gamma2 / (gamma2 + sigma2_ig / n_g),
with the shrunk value's variance v_ig = gamma2 (sigma2_ig / n_g) / (gamma2 + sigma2_ig / n_g),
and the stability value is the mean over groups of
|d_ig shrunk| + sqrt(sigma2_ig / n_g + v_ig): the systematic error the gene
brings into a comparison between groups, plus one standard deviation of its
random error. A pair of genes is judged the same way on their average.
gamma2 takes the unbiased sigma2_ig as they are; where one falls below zero
(few samples, or a gene far steadier than the rest), the gene's own terms
take it as zero.
"""
import math
from dataclasses import dataclass, field

#: geNorm's usual upper bounds on M: homogeneous samples (cell lines, one tissue) and heterogeneous ones.
M_HOMOGENEOUS, M_HETEROGENEOUS = 0.5, 1.0
#: Below this pairwise variation V_n/n+1, an (n + 1)-th reference gene adds nothing.
V_CUTOFF = 0.15
#: NormFinder's residual variance needs k - 2 > 0; geNorm needs two genes.
MIN_GENES_GENORM, MIN_GENES_NORMFINDER = 2, 3
#: A standard deviation needs two samples; a group's variance too.
MIN_SAMPLES = 2


class StabilityError(ValueError):
    """The data cannot give the stability measure asked for (too few genes or samples)."""


def _mean(values):
    return math.fsum(values) / len(values)


def _sd(values):
    """Sample standard deviation (n - 1); exact sums make it independent of the order of summation."""
    m = _mean(values)
    return math.sqrt(math.fsum((v - m) * (v - m) for v in values) / (len(values) - 1))


def _check(matrix, genes, minimum):
    if len(genes) < minimum:
        raise StabilityError(f"{len(genes)} reference gene{'s' if len(genes) != 1 else ''}: the measure needs at "
                             f"least {minimum}")
    if len(matrix) < MIN_SAMPLES:
        raise StabilityError(f"{len(matrix)} sample{'s' if len(matrix) != 1 else ''} with every reference gene: "
                             f"the measure needs at least {MIN_SAMPLES}")
    for row in matrix:
        if len(row) != len(genes) or not all(math.isfinite(v) for v in row):
            raise StabilityError("every sample needs a finite value for every gene")
    if len(set(genes)) != len(genes):
        raise StabilityError("a gene is named twice")


@dataclass
class GenormStep:
    """One round of geNorm's stepwise exclusion: the genes still in and their M."""

    genes: tuple
    m: tuple

    @property
    def worst(self):
        """The gene dropped after this round (highest M; the first listed on a tie)."""
        return self.genes[max(range(len(self.m)), key=lambda i: (self.m[i], -i))]


@dataclass
class GenormResult:
    """geNorm on one set of samples.

    Attributes
    ----------
    genes : tuple of str
        The genes in the caller's order.
    m : dict
        Gene -> M among all the genes.
    steps : list of GenormStep
        The stepwise exclusion, all genes first, two genes last.
    ranking : tuple of str
        Most stable first: the last pair (tied), then the genes in reverse order of exclusion.
    m_ranked : tuple of float
        Per gene of ``ranking``, its M in the round it left (the last pair: their common final M).
    v : dict
        n -> V_n/n+1 for n = 2 .. len(genes) - 1.
    samples : int
    """

    genes: tuple
    m: dict
    steps: list
    ranking: tuple
    m_ranked: tuple
    v: dict
    samples: int

    @property
    def best_pair(self):
        return self.ranking[:2]

    def optimal_count(self, cutoff=V_CUTOFF):
        """The fewest most-stable genes whose V_n/n+1 is below the cutoff (all genes when none is)."""
        for n in sorted(self.v):
            if self.v[n] < cutoff:
                return n
        return len(self.genes)

    def above(self, bound):
        """Genes whose M (among all genes) exceeds ``bound``, least stable first."""
        return tuple(sorted((g for g in self.genes if self.m[g] > bound), key=lambda g: -self.m[g]))


def pairwise_variation(matrix, j, k):
    """V_jk: the standard deviation of the log2 ratio of genes j and k over the samples."""
    return _sd([row[j] - row[k] for row in matrix])


def _m_values(matrix, columns):
    """M of each of ``columns`` among those columns."""
    v = {}
    for a in range(len(columns)):
        for b in range(a + 1, len(columns)):
            v[a, b] = v[b, a] = pairwise_variation(matrix, columns[a], columns[b])
    return tuple(math.fsum(v[a, b] for b in range(len(columns)) if b != a) / (len(columns) - 1)
                 for a in range(len(columns)))


def genorm(matrix, genes):
    """geNorm's M per gene, its stepwise ranking and the pairwise variations V_n/n+1.

    Parameters
    ----------
    matrix : sequence of sequence of float
        One row per sample, one log2 expression value per gene (see the module's note).
    genes : sequence of str

    Returns
    -------
    GenormResult
    """
    genes = tuple(genes)
    matrix = [list(map(float, row)) for row in matrix]
    _check(matrix, genes, MIN_GENES_GENORM)
    columns = list(range(len(genes)))
    steps = []
    while True:
        m = _m_values(matrix, columns)
        steps.append(GenormStep(tuple(genes[c] for c in columns), m))
        if len(columns) == 2:
            break
        worst = max(range(len(m)), key=lambda i: (m[i], -i))
        del columns[worst]
    ranking = list(steps[-1].genes)
    m_ranked = [steps[-1].m[0], steps[-1].m[1]]
    for step in reversed(steps[:-1]):
        ranking.append(step.worst)
        m_ranked.append(max(step.m))
    order = [genes.index(g) for g in ranking]
    v = {}
    for n in range(2, len(genes)):
        nf_n = [_mean([row[c] for c in order[:n]]) for row in matrix]
        nf_next = [_mean([row[c] for c in order[:n + 1]]) for row in matrix]
        v[n] = _sd([a - b for a, b in zip(nf_n, nf_next)])
    return GenormResult(genes, dict(zip(genes, steps[0].m)), steps, tuple(ranking), tuple(m_ranked), v, len(matrix))


@dataclass
class NormfinderResult:
    """NormFinder on one set of samples.

    Attributes
    ----------
    genes : tuple of str
    stability : dict
        Gene -> stability value (lower is more stable).
    groups : tuple of str
        The groups, in the order first met (one group: ``("",)`` when none was given).
    intragroup : dict
        Gene -> per group, the estimated variance sigma2_ig (log2 units squared; may be slightly negative).
    intergroup : dict
        Gene -> per group, the shrunk group difference d_ig (zeros without groups).
    gamma2 : float
        The spread of the true group differences (NaN without groups).
    best_pair : tuple
        ((gene, gene), stability) of the most stable pair, or None with fewer than two genes.
    ranking : tuple of str
        Most stable first.
    samples : int
    """

    genes: tuple
    stability: dict
    groups: tuple
    intragroup: dict
    intergroup: dict
    gamma2: float
    best_pair: tuple
    ranking: tuple = field(init=False)
    samples: int = 0

    def __post_init__(self):
        self.ranking = tuple(sorted(self.genes, key=lambda g: (self.stability[g], self.genes.index(g))))


def _intragroup(rows, k):
    """sigma2_ig of one group's rows (samples x genes), the unbiased estimates."""
    n = len(rows)
    gene_mean = [_mean([r[i] for r in rows]) for i in range(k)]
    sample_mean = [_mean(r) for r in rows]
    grand = _mean(gene_mean)
    s2 = []
    for i in range(k):
        residuals = [r[i] - gene_mean[i] - sample_mean[j] + grand for j, r in enumerate(rows)]
        ss = math.fsum(e * e for e in residuals)
        s2.append(ss / ((n - 1) * (1.0 - 2.0 / k)))
    total = math.fsum(s2)
    return [s - total / (k * (k - 1)) for s in s2], gene_mean


def normfinder(matrix, genes, groups=None):
    """NormFinder's stability value per gene, with groups when given.

    Parameters
    ----------
    matrix : sequence of sequence of float
        One row per sample, one log2 expression value per gene.
    genes : sequence of str
    groups : sequence of str, optional
        The group of each sample; each group needs at least two samples.

    Returns
    -------
    NormfinderResult
    """
    genes = tuple(genes)
    matrix = [list(map(float, row)) for row in matrix]
    _check(matrix, genes, MIN_GENES_NORMFINDER)
    k = len(genes)
    labels = [""] * len(matrix) if groups is None else [str(g) for g in groups]
    if len(labels) != len(matrix):
        raise StabilityError("one group per sample")
    names = tuple(dict.fromkeys(labels))
    members = {g: [row for row, label in zip(matrix, labels) if label == g] for g in names}
    small = [g for g in names if len(members[g]) < MIN_SAMPLES]
    if small:
        raise StabilityError(f"group {small[0]!r} has {len(members[small[0]])} sample: NormFinder needs at least "
                             f"{MIN_SAMPLES} per group")
    sigma2, means = {}, {}
    for g in names:
        sigma2[g], means[g] = _intragroup(members[g], k)
    if len(names) == 1:
        g = names[0]
        stability = {genes[i]: math.sqrt(max(sigma2[g][i], 0.0)) for i in range(k)}
        pair = _best_pair(genes, lambda i, j: math.sqrt(max(sigma2[g][i] + sigma2[g][j], 0.0) / 4.0))
        return NormfinderResult(genes, stability, names, {genes[i]: (sigma2[g][i],) for i in range(k)},
                                {genes[i]: (0.0,) for i in range(k)}, math.nan, pair, samples=len(matrix))
    n_groups = len(names)
    gene_over_groups = [_mean([means[g][i] for g in names]) for i in range(k)]
    group_over_genes = {g: _mean(means[g]) for g in names}
    grand = _mean(list(group_over_genes.values()))
    d = {(i, g): means[g][i] - gene_over_groups[i] - group_over_genes[g] + grand for i in range(k) for g in names}
    tau = {(i, g): sigma2[g][i] / len(members[g]) for i in range(k) for g in names}
    gamma2 = (math.fsum(v * v for v in d.values()) / ((k - 1) * (n_groups - 1))
              - math.fsum(tau.values()) / (k * n_groups))
    gamma2 = max(gamma2, 0.0)
    shrunk, spread = {}, {}
    for key, value in d.items():
        t = max(tau[key], 0.0)
        total = gamma2 + t
        shrunk[key] = value * gamma2 / total if total > 0.0 else 0.0
        spread[key] = gamma2 * t / total if total > 0.0 else 0.0

    def rho(i):
        return _mean([abs(shrunk[i, g]) + math.sqrt(max(tau[i, g], 0.0) + spread[i, g]) for g in names])

    def rho_pair(i, j):
        return _mean([abs(shrunk[i, g] + shrunk[j, g]) / 2.0
                      + math.sqrt(max(tau[i, g] + tau[j, g], 0.0) / 4.0 + (spread[i, g] + spread[j, g]) / 4.0)
                      for g in names])

    stability = {genes[i]: rho(i) for i in range(k)}
    return NormfinderResult(genes, stability, names, {genes[i]: tuple(sigma2[g][i] for g in names) for i in range(k)},
                            {genes[i]: tuple(shrunk[i, g] for g in names) for i in range(k)}, gamma2,
                            _best_pair(genes, rho_pair), samples=len(matrix))


def _best_pair(genes, measure):
    best = None
    for i in range(len(genes)):
        for j in range(i + 1, len(genes)):
            value = measure(i, j)
            if best is None or value < best[1]:
                best = ((genes[i], genes[j]), value)
    return best
