"""The quality flags: one vocabulary for every analysis, declared whole
here, each flag with the one-line explanation that tables, plots and reports
show beside it, and whether it excludes a well.

A flag is a short lower-case name a lab can grep for. The levels its
explanation quotes are here too, so that the words and the rule cannot
drift apart; :mod:`quelmar.analysis.judgement` sets the flags.

The levels are set against each run's own data rather than in fixed bands:
a well is judged against the other wells of its target (or of its dye) in
the same run, by their median and a robust spread (the median absolute
deviation times :data:`MAD_TO_SD`, which is the standard deviation for
normal scatter), with a least width below which a difference does not
matter in practice. They were checked on the bundled real runs, where no
flag fires on more than 15 % of a healthy target's wells.
"""
from dataclasses import dataclass

#: Sample types of reactions that must not amplify (RDML's vocabulary): no
#: template, no amplification, no reverse transcription, no target present.
NEGATIVE_CONTROLS = frozenset({"ntc", "nac", "nrt", "ntp"})

#: The median absolute deviation times this is the standard deviation of normal scatter.
MAD_TO_SD = 1.4826
#: A value further than this many robust standard deviations from its median is an outlier
#: (Iglewicz and Hoaglin's modified z-score of 3.5).
OUTLIER_Z = 3.5

# -- amplification -------------------------------------------------------------------------

#: A Ct in the last cycles of the run is late: the last this many cycles at least ...
LATE_CT_CYCLES = 5.0
#: ... or this share of the run's cycles, whichever is more; or later than the target's own
#: wells could cross the threshold and still reach their steepest rise before the run ends.
LATE_CT_SHARE = 0.15
#: A rise counts as a product's from this share of the rise of the run's amplified wells of the
#: same dye (their median): smaller rises are drift, crosstalk or noise crossing a threshold.
PRODUCT_RISE_SHARE = 0.10
#: A curve without a Ct rises late when its last reading stands above the line through the
#: readings before its last LATE_RISE_CYCLES by this share of the amplified wells' rise ...
LATE_RISE_SHARE = 0.05
#: ... and by this many times the scatter of those readings about their line ...
LATE_RISE_NOISE = 10.0
#: ... and each of its last this many readings is higher than the one before.
LATE_RISE_CYCLES = 4
#: Readings before the last LATE_RISE_CYCLES whose straight line is the baseline of a late rise.
LATE_RISE_BASE = 12

#: Replicates (same sample and target, in one run) agree within this many cycles at least ...
REPLICATE_TOLERANCE = 0.5
#: ... or this many times the target's replicate standard deviation in the run ...
REPLICATE_SPREAD_Z = 4.0
#: ... but never beyond this many cycles (a fourfold difference is never agreement).
REPLICATE_TOLERANCE_MAX = 2.0
#: A single outlier is named only in a group of at least this many wells with a Ct, when the others agree.
MIN_REPLICATES = 3
#: Groups of at least this many wells are judged against their own median and robust spread.
LARGE_GROUP = 8

#: A robust spread is measured on at least this many values; with fewer only the least width applies.
SPREAD_VALUES = 5
#: A well's efficiency differs from its target's median by more than OUTLIER_Z robust standard
#: deviations and by more than this share of the median, when SPREAD_VALUES wells of the target
#: have an efficiency.
EFFICIENCY_FLOOR = 0.03

# -- melting ---------------------------------------------------------------------------------

#: A melting peak is a product's only from this share of the main peak height of its target's
#: amplified wells (their median) ...
PRODUCT_PEAK_SHARE = 0.2
#: ... and, in a well that did not amplify, from this share: a flat trace's ripple can be a few
#: tenths of a product's height, a product that did not show in the amplification is rare.
FLAT_PEAK_SHARE = 0.5
#: A second melting peak at least this share of the main peak's height is an extra product. Heights
#: are read on the conditioned curve, where the normalization has lowered a small peak by as much
#: as a tall one: a primer dimer a third as tall as its product comes out a sixth to a fifth.
EXTRA_PEAK_SHARE = 0.15
#: A main Tm further than OUTLIER_Z robust standard deviations, and further than this (degrees),
#: from the median of its target's wells is another product ...
TM_OUTLIER = 1.0
#: ... among at least this many wells of the target with a main peak (with fewer than SPREAD_VALUES,
#: TM_OUTLIER alone).
TM_OUTLIER_WELLS = 3
#: Main Tm below this (degrees) is typical of primer dimers.
LOW_TM = 75.0


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
        What it judges: "amplification" or "melting" (a well), "result" (a
        standard curve or a relative quantity).
    excludes : bool
        Whether the flag leaves the well out of standard curves and relative
        quantities (see :mod:`quelmar.common.exclusion`), unless the user keeps it.
    """

    name: str
    explanation: str
    analysis: str
    excludes: bool = False


def _vocabulary(*flags):
    names = [f.name for f in flags]
    if len(set(names)) != len(names):
        raise ValueError(f"a flag is declared twice: {names}")
    return {f.name: f for f in flags}


LOW_SIGNAL, NO_GROWTH, NTC_AMPLIFIED, NO_CT, LATE_RISE, LATE_CT = (
    "low-signal", "no-growth", "ntc-amplified", "no-ct", "late-rise", "late-ct")
REPLICATE_OUTLIER, REPLICATE_SPREAD, EFFICIENCY_OUTLIER = "replicate-outlier", "replicate-spread", "efficiency-outlier"
NO_PEAK, NTC_PEAK, EXTRA_PEAK, TM_OUTLIER_FLAG, LOW_TM_FLAG = "no-peak", "ntc-peak", "extra-peak", "tm-outlier", "low-tm"
SINGLE_WELL, NTC_IN_RUN = "single-well", "ntc-in-run"

_AMPLIFICATION, _MELTING, _RESULT = "amplification", "melting", "result"
_ROBUST = f"{OUTLIER_Z:g} robust standard deviations (median absolute deviation x {MAD_TO_SD})"

#: Every flag, in the order tables and legends list them.
VOCABULARY = _vocabulary(
    Flag(LOW_SIGNAL, "The readings never reach the analysis' low-signal level (300 working units): too little "
                     "fluorescence to read a curve. Not set on negative controls.", _AMPLIFICATION),
    Flag(NO_GROWTH, "The curve rises by less than 4 % over the four cycles before its steepest point: no "
                    "amplification. Not set on negative controls, which should not grow.", _AMPLIFICATION),
    Flag(NTC_AMPLIFIED, f"A negative control (ntc, nac, nrt, ntp) amplified: a Ct (or a threshold crossing) with a "
                        f"rise of at least "
                        f"{PRODUCT_RISE_SHARE:.0%} of the run's amplified wells of its dye, or a late rise; "
                        f"contamination, carry-over or primer dimer. Marks its target's results in the run.",
         _AMPLIFICATION),
    Flag(NO_CT, "A sample or standard well has no Ct of the kind in use (the window of linearity's says why in "
                "window_note), nor rises late.", _AMPLIFICATION),
    Flag(LATE_RISE, f"No Ct and no threshold crossing, but the curve rises in its last {LATE_RISE_CYCLES} cycles, by at "
                    f"least "
                    f"{LATE_RISE_SHARE:.0%} of the run's amplified wells' rise and {LATE_RISE_NOISE:g} times its "
                    f"own noise: amplification too late to cross the threshold.", _AMPLIFICATION),
    Flag(LATE_CT, f"The Ct lies in the last {LATE_CT_SHARE:.0%} of the run's cycles (at least the last "
                  f"{LATE_CT_CYCLES:g}), later than the target's wells need to reach their steepest rise before "
                  f"the run ends, or past --max-ct: too close to the end to quantify reliably.", _AMPLIFICATION),
    Flag(REPLICATE_OUTLIER, f"The one Ct of its replicates (same sample, target and run) that disagrees with the "
                            f"others, which agree among themselves: within {REPLICATE_TOLERANCE:g} cycles, or "
                            f"{REPLICATE_SPREAD_Z:g} times the target's replicate SD in the run, at most "
                            f"{REPLICATE_TOLERANCE_MAX:g}; in groups of {LARGE_GROUP} or more, beyond {_ROBUST} of "
                            f"the group. Excludes the well.", _AMPLIFICATION, excludes=True),
    Flag(REPLICATE_SPREAD, "The replicates disagree and no single well is to blame: all are kept, and their "
                           "results carry the spread.", _AMPLIFICATION),
    Flag(EFFICIENCY_OUTLIER, f"The well's PCR efficiency lies beyond {_ROBUST} of its target's wells' median, and "
                             f"more than {EFFICIENCY_FLOOR:.0%} from it; left out of the target's mean efficiency.",
         _AMPLIFICATION),
    Flag(NO_PEAK, f"No melting peak that a product could make: none in the analysis range at least "
                  f"{PRODUCT_PEAK_SHARE:.0%} as tall as the target's amplified wells' ({FLAT_PEAK_SHARE:.0%} in a "
                  f"well that did not amplify). Not set on negative controls.", _MELTING),
    Flag(NTC_PEAK, "A negative control (ntc, nac, nrt, ntp) has a melting peak of a product's height: "
                   "contamination, or primer dimer when its Tm is low. Marks its target's results in the run.",
         _MELTING),
    Flag(EXTRA_PEAK, f"A second melting peak of a product's height is at least {EXTRA_PEAK_SHARE:.0%} as tall as "
                     f"the main one, both measured with the background removed: a non-specific product or primer "
                     f"dimer.", _MELTING),
    Flag(TM_OUTLIER_FLAG, f"The main Tm lies beyond {_ROBUST} of its target's wells' median and more than "
                          f"{TM_OUTLIER:g} °C from it (negative controls left out): another product. Excludes the "
                          f"well.", _MELTING, excludes=True),
    Flag(LOW_TM_FLAG, f"The main Tm lies below {LOW_TM:g} °C, typical of primer dimers.", _MELTING),
    Flag(SINGLE_WELL, "The result rests on one well of the sample, of a reference gene or of the calibrator: "
                      "it carries no interval.", _RESULT),
    Flag(NTC_IN_RUN, "A negative control of the target (or of a reference gene) amplified or melted like a "
                     "product in the same run: the result may include contamination.", _RESULT),
)
#: The melt flags in the order tables list them.
MELT_FLAGS = tuple(name for name, f in VOCABULARY.items() if f.analysis == _MELTING)
#: The amplification flags in the order tables list them.
AMPLIFICATION_FLAGS = tuple(name for name, f in VOCABULARY.items() if f.analysis == _AMPLIFICATION)
#: The flags that exclude a well (see :mod:`quelmar.common.exclusion`).
EXCLUDING = tuple(name for name, f in VOCABULARY.items() if f.excludes)


def explain(name):
    """The explanation of a flag (KeyError for an unknown name)."""
    return VOCABULARY[name].explanation


def in_order(names):
    """Flag names in vocabulary order, each once."""
    wanted = set(names)
    return tuple(n for n in VOCABULARY if n in wanted)


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
