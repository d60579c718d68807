"""The quality flags: one vocabulary for every analysis, each flag with the
one-line explanation that tables, plots and reports show beside it.

A flag is a short lower-case name a lab can grep for. The amplification flags
are judged here, in one pass over a plate's wells (group by dictionary, never
a search per well); other analyses add their flags to the same table with
:func:`define`.
"""
import math
from dataclasses import dataclass

import numpy as np

#: Sample types of reactions that must not amplify (RDML's vocabulary): no
#: template, no amplification, no reverse transcription, no target present.
NEGATIVE_CONTROLS = frozenset({"ntc", "nac", "nrt", "ntp"})

#: A Ct later than this many cycles before the file's last cycle is late.
LATE_CT_CYCLES = 5.0
#: A replicate more than this many cycles from its group's median is an outlier ...
REPLICATE_TOLERANCE = 0.5
#: ... in groups of at least this many wells with a Ct (a median of two is their mean).
MIN_REPLICATES = 3
#: A well's efficiency more than this share away from its target's median is an outlier ...
EFFICIENCY_TOLERANCE = 0.05
#: ... when at least this many wells of the target have an efficiency.
MIN_EFFICIENCIES = 3


@dataclass(frozen=True)
class Flag:
    """One flag of the vocabulary.

    Attributes
    ----------
    name : str
        What the tables carry, e.g. "late-ct".
    explanation : str
        One sentence for a lab user.
    analysis : str
        "amplification" or "melting": the analysis that sets it.
    """

    name: str
    explanation: str
    analysis: str


#: Every flag, in the order tables and legends list them.
VOCABULARY = {}


def define(name, explanation, analysis):
    """Add a flag to the vocabulary (names are unique); returns its name."""
    if name in VOCABULARY and VOCABULARY[name] != Flag(name, explanation, analysis):
        raise ValueError(f"flag {name!r} is already defined otherwise")
    VOCABULARY[name] = Flag(name, explanation, analysis)
    return name


LOW_SIGNAL = define("low-signal", "The readings never reach the analysis' low-signal level (300 working units): "
                                  "too little fluorescence to read a curve.", "amplification")
NO_GROWTH = define("no-growth", "The curve rises by less than 4 % over the four cycles before its steepest "
                                "point: no amplification.", "amplification")
NTC_AMPLIFIED = define("ntc-amplified", "A negative control (ntc, nac, nrt, ntp) has a Ct: contamination, "
                                        "carry-over or primer dimer.", "amplification")
NO_CT = define("no-ct", "A sample or standard well has no Ct: the curve never crossed the threshold.",
               "amplification")
LATE_CT = define("late-ct", f"The Ct lies in the last {LATE_CT_CYCLES:g} cycles of the run, or past --max-ct: "
                            f"too close to the end to quantify reliably.", "amplification")
REPLICATE_OUTLIER = define("replicate-outlier", f"The Ct lies more than {REPLICATE_TOLERANCE:g} cycles from the "
                                                f"median of its replicates (same sample and target, at least "
                                                f"{MIN_REPLICATES} wells with a Ct); left out of relative quantities.",
                           "amplification")
EFFICIENCY_OUTLIER = define("efficiency-outlier", f"The well's PCR efficiency differs by more than "
                                                  f"{EFFICIENCY_TOLERANCE:.0%} from the median of its target's wells; "
                                                  f"left out of the target's mean efficiency.", "amplification")


def explain(name):
    """The explanation of a flag (KeyError for an unknown name)."""
    return VOCABULARY[name].explanation


def count(flag_lists):
    """Wells per flag, in vocabulary order, for an iterable of per-well flag tuples.

    Returns
    -------
    dict
        Only the flags that occur; a well with two flags counts under both.
    """
    seen = {}
    for flags in flag_lists:
        for f in flags:
            seen[f] = seen.get(f, 0) + 1
    order = list(VOCABULARY)
    return {f: seen[f] for f in sorted(seen, key=lambda f: order.index(f) if f in order else len(order))}


def is_negative_control(sample_type):
    return sample_type.strip().lower() in NEGATIVE_CONTROLS


def amplification_flags(wells, ct, last_cycle, *, low_signal, no_growth, efficiency=None, max_ct=None):
    """The flags of every well of one plate (one run and one target).

    Parameters
    ----------
    wells : sequence of :class:`~quelmar.plate.Well`
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
    negative = [is_negative_control(w.sample_type) for w in wells]
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
