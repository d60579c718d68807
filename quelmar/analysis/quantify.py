"""Relative quantification of one file: every target of interest in every
sample (or group), normalised to the reference genes and relative to a
calibrator sample, through the library's replicate statistics and relative
quantification.

The comparative Ct method (efficiency 2): per sample, the Ct values of the
target and of each reference gene go to the library's replicate statistics
(Ct kind), which give delta Ct = target mean - the reference genes' combined
mean (the mean of their means) with its SD and SE; the library's relative
quantification then gives ddCt = delta Ct - the calibrator's delta Ct,
RQ = 2^-ddCt and the error bounds.

Efficiency-corrected ratios (any other efficiency E: by default each
target's window-of-linearity mean, or fixed, from the file's standard curves,
the wells' mean, or as the file states it per target): each Ct becomes a
relative quantity E^-Ct with its own gene's E, and the library's quantity
statistics give the ratio of the target's geometric mean to the reference
genes' combined mean (the mean of their geometric means), and RQ = that ratio
over the calibrator's, with the bounds as factors.

Left out, and named in the row's ``excluded``: excluded wells, with their
reasons (see :mod:`quelmar.common.exclusion`), and wells without a finite Ct.
A row's ``flags``: single-well when its target or a reference gene rests on
one value in the sample or the calibrator (it then has no interval),
replicate-spread when the sample's replicates disagree, ntc-in-run when a
negative control of one of its genes amplified in a run its values come from. Negative controls and standards get no row,
nor does a sample for a target it was not measured for (some files name
their samples per target); a file where no row gets a quantity is refused.
With a sample sheet's group column, the samples of a group are pooled: each
sample's replicate wells are averaged first, and the samples' means are the
values whose statistics give the group's RQ and error bars (biological, not
technical, variation).
"""
import math
from dataclasses import dataclass, field

import numpy as np

from ..common import flags as _flags
from ..common.errors import InputError, Named, OutOfRangeError
from ..results import QuantifyResult, RelativeQuantity
from ..reading.rdml import FOLD_MAX, PERCENT_RANGE
from .settings import EFFICIENCY_LIMITS, ERROR_BARS, parse_efficiency
from .standard import EFFICIENCY_RANGE, MIN_R_SQUARED, fit_standard
from .statistics import relative_quantification, replicate_statistics, standard_curve

COMPARATIVE, CORRECTED = "comparative", "efficiency-corrected"
#: The Student-t table of the library covers this many values (N - 2 degrees of freedom).
CI_VALUES = (4, 97)


def _fail(path, *problem):
    return InputError(f"{path}: ", *problem)


def declared_references(plate_file):
    """The targets a file declares as reference genes (RDML's type ref)."""
    return [t for t, info in plate_file.targets.items() if info.get("type", "").lower() == "ref"]


def reference_genes(path, plate_file, targets, names):
    """The reference genes: those named (exact ids or unambiguous starts), else the file's targets of type ref."""
    if names:
        genes = [plate_file.resolve_target(n) for n in names]
    else:
        genes = declared_references(plate_file)
        if not genes:
            raise _fail(path, "no reference gene: the file declares no target of type ref; name them with ",
                        Named("reference", "the reference setting"))
    missing = [g for g in genes if g not in targets]
    if missing:
        raise _fail(path, f"reference gene {missing[0]!r} has no amplification data")
    return list(dict.fromkeys(genes))


def efficiencies(path, choice, genes, plates, warnings=None, declared=None):
    """The amplification factor of every gene (target or reference) for this choice.

    ``declared`` is the file's targets (id -> their ``efficiency`` and
    ``stated_efficiency``), for the choice "file". Standard curves outside 90-110 % or
    below R² 0.98 add a line to ``warnings``.
    """
    if choice.source == "comparative":
        return dict.fromkeys(genes, 2.0)
    if choice.source == "file":
        return {g: _from_file(path, g, (declared or {}).get(g, {})) for g in genes}
    if choice.source == "fixed":
        unknown = [t for t in choice.values if t != "*" and t not in genes]
        if unknown:
            raise _fail(path, Named("efficiency"), f" names {unknown[0]!r}, which is not a target of the file "
                                                   f"(targets: {', '.join(genes)})")
        return {g: choice.values.get(g, choice.values.get("*", 2.0)) for g in genes}
    out = {}
    for g in genes:
        mine = [p for p in plates if p.target == g]
        if choice.source == "standard":
            out[g] = _from_standards(path, g, mine, warnings)
        elif choice.source == "window":
            out[g] = _from_window(path, g, mine)
        else:
            out[g] = _from_wells(path, g, mine)
    return out


def _from_standards(path, gene, plates, warnings):
    """E from the target's standard curve, pooled over the file's runs (the standards each run's fit keeps)."""
    q, ct = [], []
    for p in plates:
        _, wells, _ = fit_standard(p)
        used = [w for w in wells if w.role == "standard" and math.isfinite(w.ct) and w.included]
        q += [w.quantity for w in used]
        ct += [w.ct for w in used]
    if len(set(q)) < 2:
        raise _fail(path, Named("efficiency"), f" standard: target {gene!r} has no standard curve (standards of at "
                                               f"least two quantities with a Ct)")
    fit = standard_curve(q, ct)
    e = 1.0 + fit.efficiency / 100.0
    if not (math.isfinite(e) and EFFICIENCY_LIMITS[0] < e <= EFFICIENCY_LIMITS[1]):
        raise _fail(path, Named("efficiency"), f" standard: the standard curve of target {gene!r} gives efficiency "
                                               f"{fit.efficiency:.1f} % (slope {fit.slope:.4g}), not an amplification")
    if warnings is not None and (not EFFICIENCY_RANGE[0] <= fit.efficiency <= EFFICIENCY_RANGE[1]
                                 or not fit.r_squared >= MIN_R_SQUARED):
        warnings.append(f"{path}: the standard curve of {gene} gives efficiency {fit.efficiency:.1f} % "
                        f"with R² {fit.r_squared:.4f}")
    return e


def _from_file(path, gene, target):
    e, stated = target.get("efficiency", math.nan), target.get("stated_efficiency", math.nan)
    if math.isfinite(e) and EFFICIENCY_LIMITS[0] < e <= EFFICIENCY_LIMITS[1]:
        return e
    said = f"states the efficiency {stated:g}" if math.isfinite(stated) and stated != 0.0 else \
        "has no amplification efficiency in the file"
    raise _fail(path, Named("efficiency"), f" file: target {gene!r} {said}; a factor per cycle above "
                                           f"{EFFICIENCY_LIMITS[0]:g} and at most {FOLD_MAX:g}, or a percentage "
                                           f"from {PERCENT_RANGE[0]:g} to {PERCENT_RANGE[1]:g}, is needed")


def _from_window(path, gene, plates):
    """The target's window-of-linearity mean: the mean of its wells' window efficiencies that enter
    their plate's mean, pooled over the file's runs (one run: the library's target mean)."""
    e, n = 0.0, 0
    for p in plates:
        if p.window_wells > 0 and math.isfinite(p.window_efficiency):
            e += p.window_efficiency * p.window_wells
            n += p.window_wells
    if n == 0:
        raise _fail(path, Named("efficiency"), f" window: target {gene!r} has no well in a window of linearity")
    return e / n


def _from_wells(path, gene, plates):
    e = [w.efficiency for p in plates for w in p.wells
         if math.isfinite(w.efficiency) and _flags.EFFICIENCY_OUTLIER not in w.flags and w.included]
    if not e:
        raise _fail(path, Named("efficiency"), f" wells: no well of target {gene!r} has an efficiency")
    return float(np.mean(e))


@dataclass
class _Unit:
    """A sample or a group: per gene, per member sample, the Ct values kept; and what was left out."""

    name: str
    values: dict = field(default_factory=dict)
    excluded: dict = field(default_factory=dict)
    samples: list = field(default_factory=list)
    marks: dict = field(default_factory=dict)
    runs: dict = field(default_factory=dict)

    def marked(self, genes, contaminated):
        """The result flags the unit's wells of these genes give: replicate-spread, ntc-in-run."""
        found = set()
        for g in genes:
            if _flags.REPLICATE_SPREAD in self.marks.get(g, ()):
                found.add(_flags.REPLICATE_SPREAD)
            if any((run, g) in contaminated for run in self.runs.get(g, ())):
                found.add(_flags.NTC_IN_RUN)
        return found

    def series(self, gene, pooled):
        """The values of a gene: the wells' Ct, or each member sample's mean Ct when pooled."""
        per_sample = self.values.get(gene, {})
        if pooled:
            return [float(np.mean(v)) for v in per_sample.values() if v]
        return [c for v in per_sample.values() for c in v]


def _sample_wells(plates, genes):
    """The wells that count towards relative quantities: named samples of the genes, no controls or standards."""
    return [w for p in plates if p.target in genes for w in p.wells
            if w.sample and not _flags.is_negative_control(w.sample_type) and w.sample_type.lower() != "std"]


def _collect(plates, genes, ct_kind):
    """Units by name, in file order, and whether the wells are pooled into groups.

    A unit keeps per gene the Ct of its included wells with one, what was
    left out and why, the runs its values come from and the flags they carry.
    """
    wells = _sample_wells(plates, genes)
    pooled = any(w.group for w in wells)
    units = {}
    for w in wells:
        name = (w.group or w.sample) if pooled else w.sample
        unit = units.get(name)
        if unit is None:
            unit = units[name] = _Unit(name)
        if w.sample not in unit.samples:
            unit.samples.append(w.sample)
        ct = getattr(w, f"ct_{ct_kind}")
        why = w.excluded or ("no Ct" if not math.isfinite(ct) else "")
        per_sample = unit.values.setdefault(w.target, {}).setdefault(w.sample, [])
        if why:
            unit.excluded.setdefault(w.target, []).append(f"{w.well} {w.target} ({why})")
        else:
            per_sample.append(ct)
            unit.runs.setdefault(w.target, set()).add(w.run)
            unit.marks.setdefault(w.target, set()).update(w.flags)
    return units, pooled


def _group_named_like_a_sample(wells):
    """A group's name that is also the name of a sample in no group, or None: pooled, both would be
    one row."""
    groups = {w.group for w in wells if w.group}
    return next((w.sample for w in wells if not w.group and w.sample in groups), None)


def quantify_file(path, plate_file, plates, settings):
    """Relative quantities of one analysed file.

    Parameters
    ----------
    plates : list of AmplificationPlate
        Every plate of the file, with the Ct kind of ``settings.ct``.

    Returns
    -------
    (QuantifyResult, list of str)
        The result and its warnings.
    """
    targets = list(dict.fromkeys(p.target for p in plates))
    refs = reference_genes(path, plate_file, targets, settings.reference)
    wanted = [plate_file.resolve_target(settings.target)] if settings.target else targets
    of_interest = [t for t in wanted if t not in refs]
    if not of_interest:
        raise _fail(path, "no target to quantify besides the reference genes " + ", ".join(refs))
    units, pooled = _collect(plates, of_interest + refs, settings.ct)
    clash = _group_named_like_a_sample(_sample_wells(plates, of_interest + refs)) if pooled else None
    if clash:
        raise _fail(path, f"group {clash!r} has the name of a sample in no group; its row would pool the two. "
                          f"Name them apart in ", Named("samples", "the sample sheet"))
    if not units:
        raise _fail(path, "no named samples to quantify (a CSV plate needs ", Named("samples", "a sample sheet"), ")")
    # A target measured only on standards or controls has no sample to report.
    measured = {g for u in units.values() for g in u.values}
    of_interest = [t for t in of_interest if t in measured]
    if not of_interest:
        raise _fail(path, "no sample has a target to quantify besides the reference genes " + ", ".join(refs))
    choice = parse_efficiency(settings.efficiency)
    warnings = []
    factor = efficiencies(path, choice, of_interest + refs, plates, warnings, plate_file.targets)
    if settings.calibrator not in units:
        known = list(units)
        raise _fail(path, f"calibrator {settings.calibrator!r} is not a {'group' if pooled else 'sample'} of the "
                          f"file ({', '.join(known[:12])}{', ...' if len(known) > 12 else ''})")
    method = COMPARATIVE if choice.source == "comparative" else CORRECTED
    bars = ERROR_BARS[settings.error]
    calibrator = units[settings.calibrator]
    # A sample gets a row for each target it was measured for (a file may name its samples per target).
    contaminated = {(p.run, p.target) for p in plates if p.contaminated}
    rows = [_row(path, unit, calibrator, target, refs, factor, pooled, method, bars, settings, contaminated)
            for unit in units.values() for target in of_interest if target in unit.values]
    if not any(math.isfinite(r.rq) for r in rows):
        example = next((r for r in rows if r.note), rows[0])
        raise _fail(path, f"no relative quantity can be computed (e.g. {example.sample}, {example.target}: "
                          f"{example.note}): a row needs Ct values of its target and of {' and '.join(refs)}, in "
                          f"its {'group' if pooled else 'sample'} and in the calibrator; ",
                    Named("samples", "a sample sheet"), " can say which wells belong to one sample")
    result = QuantifyResult(file=path, calibrator=settings.calibrator, references=tuple(refs), method=method,
                            error=settings.error, rows=rows, plates=plates,
                            efficiencies={g: factor[g] for g in of_interest + refs})
    return result, warnings


def _row(path, unit, calibrator, target, refs, factor, pooled, method, bars, settings, contaminated):
    genes = [target] + refs
    excluded = tuple(x for g in genes for x in unit.excluded.get(g, ()))
    marks = unit.marked(genes, contaminated) | (calibrator.marked(genes, contaminated) - {_flags.REPLICATE_SPREAD})
    target_values = unit.series(target, pooled)
    ref_values = [unit.series(r, pooled) for r in refs]
    row = RelativeQuantity(sample=unit.name, target=target, n=len(target_values),
                           n_reference=sum(len(v) for v in ref_values), delta_ct=math.nan, delta_delta_ct=math.nan,
                           rq=math.nan, rq_low=math.nan, rq_high=math.nan, efficiency=factor[target],
                           reference=tuple(refs), reference_efficiency=tuple(factor[r] for r in refs),
                           calibrator=settings.calibrator, method=method, error=settings.error,
                           flags=_flags.in_order(marks), excluded=excluded,
                           pooled=tuple(unit.samples) if pooled else (), note="", file=path)
    missing = _missing(unit, genes, pooled)
    cal_missing = _missing(calibrator, genes, pooled)
    if missing or cal_missing:
        row.note = missing or f"the calibrator has {cal_missing}"
        return row
    single = [g for g in genes for u in (unit, calibrator) if len(u.series(g, pooled)) == 1]
    stats = replicate_statistics(target_values, ref_values, kind="ct")
    cal_stats = replicate_statistics(calibrator.series(target, pooled), [calibrator.series(r, pooled) for r in refs],
                                     kind="ct")
    row.delta_ct = stats.value
    row.delta_delta_ct = stats.value - cal_stats.value
    if method == COMPARATIVE:
        kind, sample, cal = "ct", stats, cal_stats
    else:
        kind = "quantity"
        sample = _quantities(target_values, ref_values, factor[target], [factor[r] for r in refs])
        cal = _quantities(calibrator.series(target, pooled), [calibrator.series(r, pooled) for r in refs],
                          factor[target], [factor[r] for r in refs])
    error_bar, confidence, multiple = bars
    try:
        rq = relative_quantification(sample, cal, kind=kind, error_bar=error_bar, confidence=confidence,
                                     sd_multiple=multiple)
        row.rq_low, row.rq_high = rq.lower, rq.upper
    except OutOfRangeError:  # the t table covers 4 to 97 values
        rq = relative_quantification(sample, cal, kind=kind, error_bar="sd", sd_multiple=multiple)
        row.note = (f"{sample.n} values: a confidence interval needs {CI_VALUES[0]} to {CI_VALUES[1]} "
                    f"(target and reference wells together)")
    row.rq = rq.rq
    if method == COMPARATIVE:
        row.delta_delta_ct = rq.ddct
    if single:  # one value has no scatter: any interval would be made up
        row.rq_low = row.rq_high = math.nan
        row.flags = _flags.in_order(row.flags + (_flags.SINGLE_WELL,))
        row.note = "; ".join(n for n in (row.note, f"one {'sample' if pooled else 'well'} of "
                                                  f"{', '.join(dict.fromkeys(single))}: no interval") if n)
    return row


def _missing(unit, genes, pooled):
    """What a unit lacks of the genes: "no well of R; no Ct for T", or ""."""
    none = [g for g in genes if g not in unit.values]
    empty = [g for g in genes if g in unit.values and not unit.series(g, pooled)]
    return "; ".join(f"{what} {', '.join(g)}" for what, g in (("no well of", none), ("no Ct for", empty)) if g)


def _quantities(target_values, ref_values, e_target, e_refs):
    """Library quantity statistics of E^-Ct values, each gene with its own E."""
    return replicate_statistics([e_target ** -c for c in target_values],
                                [[e ** -c for c in v] for v, e in zip(ref_values, e_refs)], kind="quantity")
