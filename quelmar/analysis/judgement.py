"""Setting the quality flags of :mod:`quelmar.common.flags`: the
amplification flags of one plate and the melt flags of one run, each in one
pass over the wells (groups by dictionary, never a search per well)."""
import math

import numpy as np

from ..common import flags as _flags
from ..common.flags import (EFFICIENCY_OUTLIER, EFFICIENCY_TOLERANCE, EXTRA_PEAK, EXTRA_PEAK_SHARE, LATE_CT,
                            LATE_CT_CYCLES, LOW_SIGNAL, LOW_TM, LOW_TM_FLAG, MELT_FLAGS, MIN_EFFICIENCIES,
                            MIN_REPLICATES, NO_CT, NO_GROWTH, NO_PEAK, NTC_AMPLIFIED, NTC_PEAK, REPLICATE_OUTLIER,
                            REPLICATE_TOLERANCE, TM_OUTLIER, TM_OUTLIER_FLAG, TM_OUTLIER_WELLS)


def amplification_flags(wells, ct, last_cycle, *, low_signal, no_growth, efficiency=None, max_ct=None):
    """The flags of every well of one plate (one run and one target).

    Parameters
    ----------
    wells : sequence of :class:`~quelmar.reading.plate.Well`
        For their sample and sample type.
    ct : array_like
        The Ct the analysis reports, in the file's cycle numbers (NaN: none).
    last_cycle : float
        The file's last cycle number.
    low_signal, no_growth : array_like of bool
        The library's flags.
    efficiency : array_like, optional
        Per-well PCR efficiency (NaN: none).
    max_ct : float, optional
        A Ct past this is late as well.

    Returns
    -------
    list of tuple of str
        One tuple per well, in vocabulary order.
    """
    ct = np.asarray(ct, dtype=float)
    n = len(wells)
    found = [[] for _ in range(n)]
    negative = [_flags.is_negative_control(w.sample_type) for w in wells]
    late_after = last_cycle - LATE_CT_CYCLES if max_ct is None else min(last_cycle - LATE_CT_CYCLES, max_ct)
    for i in range(n):
        has_ct = math.isfinite(ct[i])
        if low_signal[i]:
            found[i].append(LOW_SIGNAL)
        if no_growth[i]:
            found[i].append(NO_GROWTH)
        if negative[i] and has_ct:
            found[i].append(NTC_AMPLIFIED)
        if not negative[i] and not has_ct:
            found[i].append(NO_CT)
        if has_ct and ct[i] > late_after:
            found[i].append(LATE_CT)
    for i in replicate_outliers(wells, ct, negative):
        found[i].append(REPLICATE_OUTLIER)
    if efficiency is not None:
        for i in efficiency_outliers(efficiency):
            found[i].append(EFFICIENCY_OUTLIER)
    return [tuple(f) for f in found]


def replicate_outliers(wells, ct, negative):
    """Indices of the wells more than REPLICATE_TOLERANCE cycles from their replicates' median.

    Replicates are the wells of one sample (named: a well without a sample has
    no replicates) that are not negative controls and have a Ct.
    """
    groups = {}
    for i, w in enumerate(wells):
        if w.sample and not negative[i] and math.isfinite(ct[i]):
            groups.setdefault(w.sample, []).append(i)
    out = []
    for members in groups.values():
        if len(members) >= MIN_REPLICATES:
            values = ct[members]
            median = float(np.median(values))
            out += [i for i, v in zip(members, values) if abs(v - median) > REPLICATE_TOLERANCE]
    return sorted(out)


def efficiency_outliers(efficiency):
    """Indices of the wells whose efficiency is more than EFFICIENCY_TOLERANCE away from the median."""
    e = np.asarray(efficiency, dtype=float)
    finite = np.isfinite(e)
    if finite.sum() < MIN_EFFICIENCIES:
        return []
    median = float(np.median(e[finite]))
    return [int(i) for i in np.flatnonzero(finite & (np.abs(e - median) > EFFICIENCY_TOLERANCE * median))]


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
    tms = {}
    for m, target, neg in zip(melts, targets, negative):
        if m.main >= 0 and not neg:
            tms.setdefault(target, []).append(m.main_tm)
    medians = {t: float(np.median(v)) for t, v in tms.items() if len(v) >= TM_OUTLIER_WELLS}
    for m, target, neg in zip(melts, targets, negative):
        on = set()
        if m.main < 0:
            on.add(NO_PEAK)
        else:
            if neg:
                on.add(NTC_PEAK)
            if np.any(np.delete(m.height, m.main) >= EXTRA_PEAK_SHARE * m.main_height):
                on.add(EXTRA_PEAK)
            if target in medians and abs(m.main_tm - medians[target]) > TM_OUTLIER:
                on.add(TM_OUTLIER_FLAG)
            if m.main_tm < LOW_TM:
                on.add(LOW_TM_FLAG)
        m.flags = tuple(f for f in MELT_FLAGS if f in on)
    return [m.flags for m in melts]
