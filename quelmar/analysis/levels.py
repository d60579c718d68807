"""What the publication statistics read from analysed wells: per sample and
gene the Cq values kept, the sample's group, and what was left out and why.

A well counts when it holds a sample (not a negative control, not a
standard), has a finite Cq and is not excluded; :func:`left_out` is the one
place that decides, so every statistic leaves out the same wells as the
relative quantities do.

A sample's log2 expression of a gene is -mean(Cq) * log2(E), E the gene's
amplification factor: the log2 of E^-Cq, the quantity relative to one
molecule at cycle zero up to a constant of the gene, which every statistic
here cancels.
"""
import math
from dataclasses import dataclass, field

from ..common import flags as _flags
from .inference import distributions as dist


def left_out(well, ct):
    """Why a well with this Ct is left out of the statistics ("" when it is kept): excluded (the file, the
    sheet, the user or an excluding flag said so, see :mod:`.exclusion`), or without a Ct.

    The one place that decides, for every statistic here and the unknowns of standard curves, as relative
    quantities decide.
    """
    if well.excluded:
        return well.excluded
    return "" if math.isfinite(ct) else "no Ct"


def kept(well, ct_kind):
    """Why a sample's well is left out of the statistics ("" when it is kept)."""
    return left_out(well, getattr(well, f"ct_{ct_kind}"))


def is_sample(well):
    """A well of a sample: not a negative control, not a standard, and named."""
    return bool(well.sample) and not _flags.is_negative_control(well.sample_type) \
        and well.sample_type.lower() != "std"


@dataclass
class Levels:
    """Per sample (in the order first met): per gene the kept Cq values; each sample's group.

    Attributes
    ----------
    cq : dict
        sample -> gene -> list of Cq.
    groups : dict
        sample -> group ("" without one).
    left_out : list of str
        "well target (why)" for every well of a sample not kept.
    pooled : list of str
        A sentence for every set of samples taken together as one biological replicate.
    """

    cq: dict = field(default_factory=dict)
    groups: dict = field(default_factory=dict)
    left_out: list = field(default_factory=list)
    pooled: list = field(default_factory=list)

    def mean(self, sample, gene):
        """The mean Cq of a sample's gene (NaN without a kept well)."""
        values = self.cq.get(sample, {}).get(gene, ())
        return math.fsum(values) / len(values) if values else math.nan

    def complete(self, genes):
        """The samples with a kept well of every gene."""
        return [s for s, per in self.cq.items() if all(per.get(g) for g in genes)]

    def log2(self, sample, gene, factor):
        """-mean(Cq) * log2(E) of a sample's gene."""
        return -self.mean(sample, gene) * dist.log2(factor)


def collect(wells, genes, ct_kind):
    """The :class:`Levels` of the sample wells of ``genes``.

    Samples of one group that name the same biological replicate (an RDML
    file's sample annotations) are one unit, "S1 + S2": counting them apart
    would count one animal or culture twice and make every test too sure.

    Raises
    ------
    ValueError
        When one sample is put in two groups (a well that names none takes its sample's).
    """
    out, replicates = Levels(), {}
    wanted = set(genes)
    for w in wells:
        if w.target not in wanted or not is_sample(w):
            continue
        if getattr(w, "biological_replicate", ""):
            replicates.setdefault(w.sample, w.biological_replicate)
        per = out.cq.setdefault(w.sample, {})
        group, known = w.group or "", out.groups.get(w.sample, "")
        if group and known and group != known:
            raise ValueError(f"sample {w.sample!r} is in two groups, {known!r} and {group!r}")
        out.groups[w.sample] = known or group  # a well that names no group leaves the sample's as it is
        why = kept(w, ct_kind)
        if why:
            out.left_out.append(f"{w.well} {w.target} ({why})")
            per.setdefault(w.target, [])
        else:
            per.setdefault(w.target, []).append(getattr(w, f"ct_{ct_kind}"))
    return _pool_replicates(out, replicates)


def _pool_replicates(levels, replicates):
    """The levels with the samples of each (group, biological replicate) made one; a sample without either
    stays itself."""
    units = {}
    for sample in levels.cq:
        group, replicate = levels.groups.get(sample, ""), replicates.get(sample, "")
        units.setdefault((group, replicate) if group and replicate else (sample,), []).append(sample)
    if all(len(members) == 1 for members in units.values()):
        return levels
    out = Levels(left_out=levels.left_out)
    for key, members in units.items():
        name = " + ".join(members)
        per = out.cq.setdefault(name, {})
        for sample in members:
            for gene, values in levels.cq[sample].items():
                per.setdefault(gene, []).extend(values)
        out.groups[name] = levels.groups.get(members[0], "")
        if len(members) > 1:
            out.pooled.append(f"samples {', '.join(members)} are one biological replicate ({key[1]!r} of group "
                              f"{key[0]!r}): their wells count as one sample")
    return out
