"""Setting the quality flags of :mod:`quelmar.common.flags`, each judged
against the run's own data: the amplification flags of every plate of a file
(:func:`amplification_flags`), the replicate flags once the wells that are
excluded for other reasons are known (:func:`replicate_flags`), the melt
flags of one run (:func:`melt_flags`) after the peaks too low for a product
are dropped (:func:`product_heights`). Groups are made by dictionary in one
pass over the wells, never by a search per well.
"""
import math
from dataclasses import dataclass

import numpy as np

from ..common import flags as _flags
from ..common.flags import (EFFICIENCY_FLOOR, EFFICIENCY_OUTLIER, EXTRA_PEAK, EXTRA_PEAK_SHARE, FLAT_PEAK_SHARE,
                            LARGE_GROUP, LATE_CT, LATE_CT_CYCLES, LATE_CT_SHARE, LATE_RISE, LATE_RISE_BASE,
                            LATE_RISE_CYCLES, LATE_RISE_NOISE, LATE_RISE_SHARE, LOW_SIGNAL, LOW_TM, LOW_TM_FLAG,
                            MAD_TO_SD, MELT_FLAGS, MIN_REPLICATES, NO_CT, NO_GROWTH, NO_PEAK, NTC_AMPLIFIED, NTC_PEAK,
                            OUTLIER_Z, PRODUCT_PEAK_SHARE, PRODUCT_RISE_SHARE, REPLICATE_OUTLIER, REPLICATE_SPREAD,
                            REPLICATE_SPREAD_Z, REPLICATE_TOLERANCE, REPLICATE_TOLERANCE_MAX, SPREAD_VALUES,
                            TM_OUTLIER, TM_OUTLIER_FLAG, TM_OUTLIER_WELLS)

#: Per group size, the median of a group's spread (its range once the value furthest from its median
#: is left out; for two values their difference) for normal scatter of SD 1. Two values: sqrt(2)
#: times the normal quartile; more: simulated on two million groups each (the test redoes it).
SPREAD_MEDIANS = {2: 0.9538725524, 3: 0.3607, 4: 0.9066, 5: 1.3348, 6: 1.6142, 7: 1.8586}
#: Fewest groups of replicates the target's replicate SD is measured on.
MIN_GROUPS = 3


# -- robust spread ---------------------------------------------------------------------------

def robust_outliers(values, least, *, min_values=SPREAD_VALUES):
    """Which finite values lie further than OUTLIER_Z robust SDs and further than ``least`` from their median.

    With fewer than ``min_values`` finite values the spread is not measured
    and ``least`` alone decides; with none, nothing is an outlier.
    """
    v = np.asarray(values, dtype=float)
    finite = np.isfinite(v)
    out = np.zeros(v.size, dtype=bool)
    if not finite.any():
        return out
    median = float(np.median(v[finite]))
    width = least
    if finite.sum() >= min_values:
        width = max(least, OUTLIER_Z * MAD_TO_SD * float(np.median(np.abs(v[finite] - median))))
    out[finite] = np.abs(v[finite] - median) > width
    return out


# -- amplification ----------------------------------------------------------------------------

@dataclass
class CurveMeasures:
    """What the amplification flags read of each well of a plate, beside its Ct (arrays in well order).

    Attributes
    ----------
    rise : ndarray
        How far the curve rose: the highest value of its conditioned curve,
        or the late excess where that is more (file units).
    late_excess, late_noise : ndarray
        How far the last reading stands above the line through the readings
        before the last :data:`~quelmar.common.flags.LATE_RISE_CYCLES`, and
        the scatter of those readings about that line, file units.
    rising : ndarray of bool
        Each of the last LATE_RISE_CYCLES readings is above the one before.
    to_midpoint : ndarray
        Cycles from the Ct to the fitted logistic's midpoint (its steepest rise).
    low_signal, no_growth : ndarray of bool
        The library's flags.
    """

    rise: np.ndarray
    late_excess: np.ndarray
    late_noise: np.ndarray
    rising: np.ndarray
    to_midpoint: np.ndarray
    low_signal: np.ndarray
    no_growth: np.ndarray


def late_rise_measures(readings):
    """The late-rise measures of :class:`CurveMeasures` of a wells x cycles array (file units)."""
    y = np.asarray(readings, dtype=float)
    wells, cycles = y.shape
    last = LATE_RISE_CYCLES
    start = max(0, cycles - last - LATE_RISE_BASE)
    base = y[:, start:cycles - last]
    if base.shape[1] < 3:
        nan = np.full(wells, np.nan)
        return nan, nan, np.zeros(wells, dtype=bool)
    x = np.arange(start, cycles - last, dtype=float)
    xc = x - x.mean()
    slope = (base - base.mean(axis=1, keepdims=True)) @ xc / float(xc @ xc)
    line = base.mean(axis=1, keepdims=True) + slope[:, None] * xc
    noise = np.sqrt(((base - line) ** 2).sum(axis=1) / (base.shape[1] - 2))
    at_end = base.mean(axis=1) + slope * (cycles - 1 - x.mean())
    rising = (np.diff(y[:, -last - 1:], axis=1) > 0).all(axis=1)
    return y[:, -1] - at_end, noise, rising


def reference_rises(plates):
    """The median rise of the amplified wells (sample or standard, with a Ct, growing) per run and dye.

    Returns
    -------
    dict
        (run, dye) -> median rise, and (run, dye, target) -> the plate's own
        where it has amplified wells (used when the dye's is missing).
    """
    pooled, own = {}, {}
    for p in plates:
        m, ct = p.measures, p.ct()
        for i, w in enumerate(p.wells):
            if (math.isfinite(ct[i]) and not _flags.is_negative_control(w.sample_type) and not m.no_growth[i]
                    and not m.low_signal[i] and math.isfinite(m.rise[i])):
                pooled.setdefault((p.run, p.dye), []).append(m.rise[i])
                own.setdefault((p.run, p.dye, p.target), []).append(m.rise[i])
    out = {k: float(np.median(v)) for k, v in pooled.items()}
    out.update({k: float(np.median(v)) for k, v in own.items()})
    return out


def late_after(cycles, to_midpoint, max_ct=None):
    """The Ct after which a well of a plate is late (see :data:`~quelmar.common.flags.LATE_CT_SHARE`).

    ``to_midpoint``: the cycles from Ct to the steepest rise of the plate's amplified wells.
    """
    cycles = np.asarray(cycles, dtype=float)
    span = max(LATE_CT_CYCLES, LATE_CT_SHARE * cycles.size)
    finite = np.asarray(to_midpoint, dtype=float)
    finite = finite[np.isfinite(finite)]
    if finite.size:
        span = max(span, float(np.median(finite)))
    after = float(cycles[-1]) - span
    return after if max_ct is None else min(after, max_ct)


def amplification_flags(plates, max_ct=None):
    """The amplification flags of every well of a file's plates, but the replicate flags.

    Parameters
    ----------
    plates : list of :class:`~quelmar.results.AmplificationPlate`
        With their ``measures`` (:class:`CurveMeasures`) and ``dye``; the
        flags judge the Ct of each plate's ``ct_kind``.
    max_ct : float, optional
        A Ct past this is late as well.

    Returns
    -------
    list of list of tuple of str
        Per plate, per well, the flags in vocabulary order.
    """
    references = reference_rises(plates)
    return [_plate_flags(p, references, max_ct) for p in plates]


def _plate_flags(plate, references, max_ct):
    m, ct = plate.measures, plate.ct()
    reference = references.get((plate.run, plate.dye), references.get((plate.run, plate.dye, plate.target), math.nan))
    negative = [_flags.is_negative_control(w.sample_type) for w in plate.wells]
    has_ct = np.isfinite(ct)
    # The threshold crossing as well: a curve it crosses rose before the run's end, whatever the Ct in use says.
    crossed = has_ct | np.isfinite(plate.ct("linear"))
    amplified = has_ct & ~np.asarray(negative) & ~m.no_growth & ~m.low_signal
    after = late_after(plate.cycles, m.to_midpoint[amplified], max_ct)
    late_rise = ~crossed & m.rising & (m.late_excess > LATE_RISE_NOISE * m.late_noise)
    if math.isfinite(reference):
        late_rise &= m.late_excess >= LATE_RISE_SHARE * reference
        product = m.rise >= PRODUCT_RISE_SHARE * reference
    else:  # nothing amplified in the run's dye to compare with: a growing curve with a Ct counts
        product = ~m.no_growth
    found = []
    for i in range(len(plate.wells)):
        on = set()
        if negative[i]:
            if (crossed[i] and product[i]) or late_rise[i]:
                on.add(NTC_AMPLIFIED)
        else:
            if m.low_signal[i]:
                on.add(LOW_SIGNAL)
            if m.no_growth[i]:
                on.add(NO_GROWTH)
            if not has_ct[i] and not late_rise[i]:
                on.add(NO_CT)
            if has_ct[i] and ct[i] > after:
                on.add(LATE_CT)
        if late_rise[i]:
            on.add(LATE_RISE)
        found.append(on)
    usable = ~np.asarray(negative) & np.array([w.included for w in plate.wells], dtype=bool)
    for i in efficiency_outliers([w.efficiency for w in plate.wells], usable):
        found[i].add(EFFICIENCY_OUTLIER)
    return [_flags.in_order(f) for f in found]


def efficiency_outliers(efficiency, usable=None):
    """Indices of the wells whose efficiency lies outside the target's robust spread (see the vocabulary).

    ``usable``: the wells that make the median and may be flagged (default: all).
    """
    e = np.asarray(efficiency, dtype=float)
    use = np.ones(e.size, dtype=bool) if usable is None else np.asarray(usable, dtype=bool)
    values = np.where(use, e, np.nan)
    finite = values[np.isfinite(values)]
    if finite.size < SPREAD_VALUES:
        return []
    least = EFFICIENCY_FLOOR * float(np.median(finite))
    return [int(i) for i in np.flatnonzero(robust_outliers(values, least))]


# -- replicates ---------------------------------------------------------------------------------

def replicate_groups(samples, ct, left_out):
    """Indices of the replicates of each named sample: wells with a Ct not left out, in well order."""
    groups = {}
    for i, sample in enumerate(samples):
        if sample and not left_out[i] and math.isfinite(ct[i]):
            groups.setdefault(sample, []).append(i)
    return list(groups.values())


def replicate_tolerance(groups, ct):
    """How far apart replicates of the plate may lie and still agree, in cycles.

    :data:`~quelmar.common.flags.REPLICATE_SPREAD_Z` times the target's
    replicate SD, bounded to REPLICATE_TOLERANCE .. REPLICATE_TOLERANCE_MAX.
    The SD is read off its small groups: each group's spread once its value
    furthest from the median is left out (one outlier does not widen it),
    over what that spread is for normal scatter of SD 1
    (:data:`SPREAD_MEDIANS`), and the median over the groups (a few spread
    groups do not move it). With fewer than MIN_GROUPS groups the least
    tolerance stands.
    """
    typical = [_spread(ct[g]) / SPREAD_MEDIANS[len(g)] for g in groups if len(g) in SPREAD_MEDIANS]
    if len(typical) < MIN_GROUPS:
        return REPLICATE_TOLERANCE
    sd = float(np.median(typical))
    return min(max(REPLICATE_SPREAD_Z * sd, REPLICATE_TOLERANCE), REPLICATE_TOLERANCE_MAX)


def _spread(values):
    """A group's range once its value furthest from its median is left out (two values: their difference)."""
    if values.size > 2:
        values = np.delete(values, int(np.argmax(np.abs(values - np.median(values)))))
    return float(values.max() - values.min())


def replicate_flags(samples, ct, left_out):
    """The replicate flags of a plate: index -> REPLICATE_OUTLIER or REPLICATE_SPREAD.

    Replicates are the wells of one named sample with a Ct, not ``left_out``
    (negative controls, excluded wells). A small group whose Ct lie further
    apart than :func:`replicate_tolerance` has one outlier when all the
    others agree and it lies beyond the tolerance from their median;
    otherwise every well of it has REPLICATE_SPREAD: three are never turned
    into one. A group of LARGE_GROUP or more wells is judged against its own
    median and robust spread.
    """
    ct = np.asarray(ct, dtype=float)
    groups = replicate_groups(samples, ct, left_out)
    tolerance = replicate_tolerance(groups, ct)
    out = {}
    for g in groups:
        values = ct[g]
        if len(g) >= LARGE_GROUP:
            out.update((g[k], REPLICATE_OUTLIER) for k in np.flatnonzero(robust_outliers(values, REPLICATE_TOLERANCE)))
            continue
        if len(g) < 2 or values.max() - values.min() <= tolerance:
            continue
        median = float(np.median(values))
        far = int(np.argmax(np.abs(values - median)))
        others = np.delete(values, far)
        if (len(g) >= MIN_REPLICATES and others.max() - others.min() <= tolerance
                and abs(values[far] - float(np.median(others))) > tolerance):
            out[g[far]] = REPLICATE_OUTLIER
        else:
            out.update((i, REPLICATE_SPREAD) for i in g)
    return out


# -- melting --------------------------------------------------------------------------------------

def product_heights(melts, sample_types, amplified=None):
    """Drop, in each well of one run and target, the peaks too low for a product; returns the reference height.

    The reference is the median main peak height of the target's amplified
    wells (samples and standards that amplified). A peak stays from
    PRODUCT_PEAK_SHARE of it, or FLAT_PEAK_SHARE in a well known not to have
    amplified. NaN (nothing dropped) when no well gives a reference: without
    amplification data the wells of a plate may be different dyes (a melt-only
    CSV), whose heights do not compare.

    Parameters
    ----------
    melts : sequence of :class:`~quelmar.analysis.melting.WellMelt`
    sample_types : sequence of str
    amplified : sequence of bool or None, optional
        Per well whether it amplified (None where unknown).
    """
    amplified = list(amplified) if amplified is not None else [None] * len(melts)
    negative = [_flags.is_negative_control(s) for s in sample_types]
    heights = [m.main_height for m, neg, a in zip(melts, negative, amplified) if m.main >= 0 and not neg and a]
    if not heights:
        return math.nan
    reference = float(np.median(heights))
    for m, a in zip(melts, amplified):
        share = FLAT_PEAK_SHARE if a is False else PRODUCT_PEAK_SHARE
        m.keep_peaks(m.height >= share * reference, reference)
    return reference


def melt_flags(melts, sample_types=None, targets=None):
    """Set the melt flags of the wells of one run (``flags`` of each result, in vocabulary order).

    Parameters
    ----------
    melts : sequence of :class:`~quelmar.analysis.melting.WellMelt`
    sample_types : sequence of str, optional
        Each well's sample type (RDML: unkn, ntc, nac, nrt, ntp, std, pos ...).
    targets : sequence of str, optional
        Each well's target; tm-outlier compares a well with the other wells of
        its target (all wells are one target without this).

    Returns
    -------
    list of tuple of str
        The flags of each well (also stored in the results).
    """
    n = len(melts)
    negative = [_flags.is_negative_control(s) for s in (sample_types if sample_types is not None else [""] * n)]
    targets = list(targets) if targets is not None else [""] * n
    outlier = _tm_outliers(melts, targets, negative)
    for k, (m, neg) in enumerate(zip(melts, negative)):
        on = set()
        if m.main < 0:
            if not neg:
                on.add(NO_PEAK)
        else:
            if neg:
                on.add(NTC_PEAK)
            if np.any(np.delete(m.height, m.main) >= EXTRA_PEAK_SHARE * m.main_height):
                on.add(EXTRA_PEAK)
            if outlier[k]:
                on.add(TM_OUTLIER_FLAG)
            if m.main_tm < LOW_TM:
                on.add(LOW_TM_FLAG)
        m.flags = tuple(f for f in MELT_FLAGS if f in on)
    return [m.flags for m in melts]


def _tm_outliers(melts, targets, negative):
    """Per well whether its main Tm lies outside its target's robust spread (negative controls never)."""
    members = {}
    for k, (m, target, neg) in enumerate(zip(melts, targets, negative)):
        if m.main >= 0 and not neg:
            members.setdefault(target, []).append(k)
    out = [False] * len(melts)
    for ks in members.values():
        if len(ks) >= TM_OUTLIER_WELLS:
            for k, far in zip(ks, robust_outliers([melts[k].main_tm for k in ks], TM_OUTLIER)):
                out[k] = bool(far)
    return out
