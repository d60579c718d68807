"""Every setting of the analyses of one file, checked once before any file is
read, and the settings' own small languages (the efficiency choice, the error
bars).

A setting out of range raises :class:`~quelmar.common.errors.OptionError`
naming the setting by its field (``threshold must be a positive number``);
the command words the same error with its option (``--threshold``).
"""
import math
from dataclasses import dataclass, field
from typing import Optional

from ..common.errors import Named, OptionError
from ..common.flags import EXCLUDING
from ..common.limits import Limits
from ..reading.readers import AXIS_MAX
from .comparisons import ALL
from .inference.comparison import ADJUSTMENTS, HOLM
from .melting import MAX_FWHM, MIN_FWHM

#: Scale factors allowed: past them the readings' way back to file units overflows.
SCALE_RANGE = (1e-300, 1e300)
#: Amplification factors accepted as an efficiency: above 1 (no growth) and up to 3.
EFFICIENCY_LIMITS = (1.0, 3.0)
#: The error bars: (error bar, confidence, SD multiple) for the library's relative quantification.
ERROR_BARS = {"ci95": ("ci", 0.95, 1), "ci99": ("ci", 0.99, 1), "sd": ("sd", 0.95, 1), "2sd": ("sd", 0.95, 2)}
#: What the Ct setting may be: the library's threshold crossing and logistic, and the window of
#: linearity's Cq (libQuelmarAlgWol), the default: the most precise on the bundled plates and
#: files (docs/benchmark.md).
CT_KINDS = ("window", "linear", "sigmoid")
DEFAULT_CT = "window"
#: The default efficiency of relative quantities: each target's window-of-linearity mean.
DEFAULT_EFFICIENCY = "window"


@dataclass(frozen=True)
class EfficiencyChoice:
    """The parsed efficiency setting: ``source`` is "comparative", "fixed", "standard", "window",
    "wells" or "file"; ``values`` the fixed factors by target ("*" for every target)."""

    source: str
    values: dict = field(default_factory=dict)


def parse_efficiency(text):
    """Parse the efficiency setting: 2, standard, window, wells, file, E, or TARGET=E[,TARGET=E...].

    Raises
    ------
    OptionError
        When malformed, naming the setting ``efficiency``.
    """
    text = text.strip()
    if text in ("2", "2.0"):
        return EfficiencyChoice("comparative")
    if text in ("standard", "window", "wells", "file"):
        return EfficiencyChoice(text)
    values = {}
    for item in text.split(","):
        name, eq, number = item.rpartition("=")
        name = name.strip() if eq else "*"
        try:
            e = float(number)
        except ValueError:
            e = math.nan
        if not (math.isfinite(e) and EFFICIENCY_LIMITS[0] < e <= EFFICIENCY_LIMITS[1]) or not name:
            raise OptionError(Named("efficiency"),
                              f" {text!r}: expected 2, standard, window, wells, file, a factor E, or TARGET=E,... "
                              f"with each E above {EFFICIENCY_LIMITS[0]:g} and at most {EFFICIENCY_LIMITS[1]:g} (an "
                              f"amplification factor: 2 is a perfect doubling)")
        if name in values:
            raise OptionError(Named("efficiency"), f" {text!r}: {name!r} is given twice")
        values[name] = e
    return EfficiencyChoice("fixed", values)


@dataclass
class AnalysisSettings:
    """Every setting of the analyses of one file.

    Attributes
    ----------
    target : str, optional
        Only this target (an id, or the start of one).
    threshold : float, optional
        Linear Ct threshold in file units (default: the plate's own).
    scale : float, optional
        Working-unit factor (default: per plate, see :mod:`quelmar.analysis.units`).
    max_ct : float, optional
        A Ct past this is flagged late-ct.
    ct : str
        "window" (default), "linear" or "sigmoid": the Ct that flags, standard curves and relative
        quantities use.
    samples : SampleSheet, optional
        Annotations that override the file's (see :mod:`quelmar.reading.samplesheet`).
    quantities : tuple of (name, quantity)
        Standards named by well name (or its start).
    melt_range : (float, float)
        Temperatures where melting peaks are sought; (-inf, inf) lets each well's curve choose
        (see :func:`quelmar.analysis.melting.default_range`).
    max_fwhm : float
        The widest product peak, full width at half maximum in degrees.
    calibrator : str, optional
        The sample (or group) relative quantities are relative to.
    reference : tuple of str
        Reference genes (default: the file's targets of type ref).
    efficiency : str
        "window" (default), "2", "standard", "wells", "file", a number, or "TARGET=E,..." (see
        :func:`parse_efficiency`).
    error : str
        One of :data:`ERROR_BARS`: "ci95", "ci99", "sd" or "2sd".
    limits : Limits, optional
        What the readers may take in (default: :meth:`Limits.from_env`, read where the file is read).
    exclude : tuple of (str, str)
        Wells to leave out, as (well, target): a target of "" for every
        target of the well (see :mod:`quelmar.common.exclusion`).
    keep : tuple of str
        Flags of :data:`~quelmar.common.flags.EXCLUDING` that do not exclude a well.
    compare : tuple of str
        Groups (or, without a design, samples) whose normalised relative quantities are tested against each
        other, the first being the reference of every fold change; ``("all",)`` for every group of the design
        (see :mod:`quelmar.analysis.comparisons`).
    adjust : str
        How p-values are adjusted over the targets: "holm" or "bh" (Benjamini-Hochberg).
    irc : tuple of str
        Inter-run calibrators: samples measured in every run, which bring the runs onto one scale
        (see :mod:`quelmar.analysis.runs`).
    keep_source : bool
        Return each file as read beside its results, for an output that writes
        the input back with them (RDML).
    """

    target: Optional[str] = None
    threshold: Optional[float] = None
    scale: Optional[float] = None
    max_ct: Optional[float] = None
    ct: str = DEFAULT_CT
    samples: object = None
    quantities: tuple = ()
    melt_range: tuple = (-math.inf, math.inf)
    max_fwhm: float = MAX_FWHM
    calibrator: Optional[str] = None
    reference: tuple = ()
    efficiency: str = DEFAULT_EFFICIENCY
    error: str = "ci95"
    limits: Optional[Limits] = None
    exclude: tuple = ()
    keep: tuple = ()
    compare: tuple = ()
    adjust: str = HOLM
    irc: tuple = ()
    keep_source: bool = False

    def check(self):
        """Refuse values out of range (:class:`OptionError` naming the setting); returns the settings."""
        def positive(name, value):
            if value is not None and not (math.isfinite(value) and value > 0):
                raise OptionError(Named(name), f" must be a positive number, not {value!r}")
        positive("threshold", self.threshold)
        positive("max_ct", self.max_ct)
        positive("scale", self.scale)
        if self.scale is not None and not SCALE_RANGE[0] <= self.scale <= SCALE_RANGE[1]:
            raise OptionError(Named("scale"), f" must lie between {SCALE_RANGE[0]:g} and {SCALE_RANGE[1]:g}, "
                                              f"not {self.scale:g}")
        if self.ct not in CT_KINDS:
            raise OptionError(Named("ct"), f" must be window, linear or sigmoid, not {self.ct!r}")
        if not (math.isfinite(self.max_fwhm) and self.max_fwhm > MIN_FWHM):
            raise OptionError(Named("max_fwhm"), f" must be a width in degrees above {MIN_FWHM:g} (the narrowest "
                                                 f"peak kept), not {self.max_fwhm!r}")
        lo, hi = self.melt_range
        if math.isnan(lo) or math.isnan(hi) or not lo < hi:
            raise OptionError(Named("melt_range"), f" must run from a lower to a higher temperature, not "
                                                   f"({lo:g}, {hi:g})")
        if any(math.isfinite(v) and abs(v) > AXIS_MAX for v in (lo, hi)):
            raise OptionError(Named("melt_range"), f" must lie within {-AXIS_MAX:g} to {AXIS_MAX:g} degrees, "
                                                   f"not ({lo:g}, {hi:g})")
        for k, (name, q) in enumerate(self.quantities):
            if not name or not (math.isfinite(q) and q > 0):
                raise OptionError(Named("quantities"), f" ({name!r}, {q!r}): expected a well name and a positive "
                                                       f"quantity")
            if any(name == other for other, _ in self.quantities[:k]):
                raise OptionError(Named("quantities"), f" gives {name!r} two quantities")
        if self.error not in ERROR_BARS:
            raise OptionError(Named("error"), f" must be one of {', '.join(ERROR_BARS)}, not {self.error!r}")
        parse_efficiency(self.efficiency)
        for well, _ in self.exclude:
            if not well:
                raise OptionError(Named("exclude"), " names an empty well")
        for name in self.keep:
            if name not in EXCLUDING:
                raise OptionError(Named("keep"), f" {name!r}: only a flag that excludes a well can keep it "
                                                 f"({', '.join(EXCLUDING)})")
        if self.compare:
            names = tuple(self.compare)
            if names != (ALL,) and (len(names) < 2 or not all(names) or len(set(names)) != len(names)):
                raise OptionError(Named("compare"), f" {','.join(names)!r}: expected two or more different groups "
                                                    f"A,B[,C...], or all")
        if self.adjust not in ADJUSTMENTS:
            raise OptionError(Named("adjust"), f" must be one of {', '.join(ADJUSTMENTS)}, not {self.adjust!r}")
        if not all(self.irc) or len(set(self.irc)) != len(self.irc):
            raise OptionError(Named("irc"), f" {','.join(self.irc)!r}: expected different sample names")
        if self.limits is not None and not isinstance(self.limits, Limits):
            raise TypeError(f"limits must be a quelmar.common.limits.Limits, not {type(self.limits).__name__}")
        return self

