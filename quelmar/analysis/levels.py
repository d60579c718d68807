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
    """

    cq: dict = field(default_factory=dict)
    groups: dict = field(default_factory=dict)
    left_out: list = field(default_factory=list)

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

    Raises
    ------
    ValueError
        When one sample is put in two groups (a well that names none takes its sample's).
    """
    out = Levels()
    wanted = set(genes)
    for w in wells:
        if w.target not in wanted or not is_sample(w):
            continue
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
    return out
