"""The quality flags: one vocabulary for every analysis, declared whole
here, each flag with the one-line explanation that tables, plots and reports
show beside it.

A flag is a short lower-case name a lab can grep for. The levels its
explanation quotes are here too, so that the words and the rule cannot
drift apart; :mod:`quelmar.analysis.judgement` sets the flags.
"""
from dataclasses import dataclass

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
#: A second melting peak at least this share of the main peak's height is an extra product. Heights
#: are read on the conditioned curve, where the normalization has lowered a small peak by as much
#: as a tall one: a primer dimer a third as tall as its product comes out a sixth to a fifth.
EXTRA_PEAK_SHARE = 0.15
#: Main Tm further than this (degrees) from the median of its target's wells is an outlier ...
TM_OUTLIER = 1.0
#: ... among at least this many wells of the target with a main peak.
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
        "amplification" or "melting": the analysis that sets it.
    """

    name: str
    explanation: str
    analysis: str


def _vocabulary(*flags):
    names = [f.name for f in flags]
    if len(set(names)) != len(names):
        raise ValueError(f"a flag is declared twice: {names}")
    return {f.name: f for f in flags}


LOW_SIGNAL, NO_GROWTH, NTC_AMPLIFIED, NO_CT, LATE_CT, REPLICATE_OUTLIER, EFFICIENCY_OUTLIER = (
    "low-signal", "no-growth", "ntc-amplified", "no-ct", "late-ct", "replicate-outlier", "efficiency-outlier")
NO_PEAK, NTC_PEAK, EXTRA_PEAK, TM_OUTLIER_FLAG, LOW_TM_FLAG = "no-peak", "ntc-peak", "extra-peak", "tm-outlier", "low-tm"

_AMPLIFICATION, _MELTING = "amplification", "melting"

#: Every flag, in the order tables and legends list them.
VOCABULARY = _vocabulary(
    Flag(LOW_SIGNAL, "The readings never reach the analysis' low-signal level (300 working units): too little "
                     "fluorescence to read a curve.", _AMPLIFICATION),
    Flag(NO_GROWTH, "The curve rises by less than 4 % over the four cycles before its steepest point: no "
                    "amplification.", _AMPLIFICATION),
    Flag(NTC_AMPLIFIED, "A negative control (ntc, nac, nrt, ntp) has a Ct: contamination, carry-over or primer "
                        "dimer.", _AMPLIFICATION),
    Flag(NO_CT, "A sample or standard well has no Ct: the curve never crossed the threshold.", _AMPLIFICATION),
    Flag(LATE_CT, f"The Ct lies in the last {LATE_CT_CYCLES:g} cycles of the run, or past --max-ct: too close to "
                  f"the end to quantify reliably.", _AMPLIFICATION),
    Flag(REPLICATE_OUTLIER, f"The Ct lies more than {REPLICATE_TOLERANCE:g} cycles from the median of its "
                            f"replicates (same sample and target, at least {MIN_REPLICATES} wells with a Ct); left "
                            f"out of relative quantities.", _AMPLIFICATION),
    Flag(EFFICIENCY_OUTLIER, f"The well's PCR efficiency differs by more than {EFFICIENCY_TOLERANCE:.0%} from the "
                             f"median of its target's wells; left out of the target's mean efficiency.",
         _AMPLIFICATION),
    Flag(NO_PEAK, "No melting peak that a product could make lies in the analysis range.", _MELTING),
    Flag(NTC_PEAK, "A negative control (ntc, nac, nrt, ntp) has a melting peak: contamination, or primer dimer "
                   "when its Tm is low.", _MELTING),
    Flag(EXTRA_PEAK, f"A second melting peak is at least {EXTRA_PEAK_SHARE:.0%} as tall as the main one, both "
                     f"measured with the background removed: a non-specific product or primer dimer.", _MELTING),
    Flag(TM_OUTLIER_FLAG, f"The main Tm lies more than {TM_OUTLIER:g} °C from the median of its target's wells "
                          f"(at least {TM_OUTLIER_WELLS} with a peak, negative controls left out).", _MELTING),
    Flag(LOW_TM_FLAG, f"The main Tm lies below {LOW_TM:g} °C, typical of primer dimers.", _MELTING),
)
#: The melt flags in the order tables list them.
MELT_FLAGS = tuple(name for name, f in VOCABULARY.items() if f.analysis == _MELTING)


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


