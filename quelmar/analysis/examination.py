"""A read file examined whole: its amplification and its melt, judged
together, so that every well has one state wherever it is shown.

The order matters and is fixed here: the amplification's numbers and flags
first; then the melt, whose products' height is measured on the wells that
amplified; then the replicates, once the wells excluded for other reasons
(the file, a sample sheet, the user, a melt showing another product) are
known; and last every row's ``excluded``.
"""
import math
from dataclasses import dataclass, field
from typing import Optional

from ..common.errors import QuelmarError
from ..common.flags import LATE_RISE, NO_GROWTH, NTC_AMPLIFIED, is_negative_control
from . import exclusion
from .amplification import measure_plates
from .judgement import amplification_flags
from .melting import melt_plates

#: What to do with the melt: leave it ("off"), analyse it when the file has one and note a failure
#: ("optional"), or require it ("required": a failure is the caller's).
MELT_MODES = ("off", "optional", "required")


@dataclass
class Examined:
    """The judged analyses of one file.

    Attributes
    ----------
    amplification : list of AmplificationPlate
    melts : list of MeltPlate
    warnings, notes : list of str
        The melt's.
    melt_problem : QuelmarError, optional
        Why an optional melt could not be analysed (the plates then stand without it).
    """

    amplification: list
    melts: list
    warnings: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    melt_problem: Optional[QuelmarError] = None


def has_melt(plate_file, target=None):
    """Whether the file (the target's wells, when named) has melting curves."""
    wanted = None if target is None else plate_file.resolve_target(target)
    return any(w.melt_fluor is not None and (wanted is None or w.target == wanted) for w in plate_file.wells)


def examine(plate_file, settings, melt="optional"):
    """Amplify every plate of a file, melt its wells (see :data:`MELT_MODES`) and judge them together.

    Parameters
    ----------
    plate_file : quelmar.reading.plate.PlateFile
    settings : quelmar.analysis.settings.AnalysisSettings

    Returns
    -------
    Examined
    """
    plates = measure_plates(plate_file, settings)
    for p, flags in zip(plates, amplification_flags(plates, settings.max_ct)):
        for w, f in zip(p.wells, flags):
            w.flags = f
    result = Examined(plates, [])
    if melt != "off" and (melt == "required" or has_melt(plate_file, settings.target)):
        amplified = {(p.run, w.target, w.well): _amplified(w, ct) for p in plates for w, ct in zip(p.wells, p.ct())}
        try:
            result.melts, result.warnings, result.notes = melt_plates(plate_file, settings, amplified)
        except QuelmarError as e:
            if melt == "required":
                raise
            result.melt_problem = e
    exclusion.settle(plates, result.melts, settings.keep)
    return result


def _amplified(well, ct):
    """Whether a judged well amplified: a negative control when flagged so, any other with a growing Ct or a
    late rise."""
    if is_negative_control(well.sample_type):
        return NTC_AMPLIFIED in well.flags
    return (math.isfinite(ct) and NO_GROWTH not in well.flags) or LATE_RISE in well.flags
