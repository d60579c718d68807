"""The command's options and the analyses' settings, both ways: parsed
arguments into a checked :class:`~quelmar.analysis.settings.AnalysisSettings`,
and the analyses' messages, which name a setting by its field, into the
command's words, which name the option that sets it.
"""
import math

from ..analysis.settings import DEFAULT_CT, DEFAULT_EFFICIENCY, AnalysisSettings
from ..common.errors import InputError, Named, OptionError
from ..common.limits import Limits
from ..common.text import encodable
from ..reading.readers import AXIS_MAX
from ..reading.samplesheet import read_sample_sheet

#: How the command names each setting in a message: the option that sets it.
OPTION_WORDS = {"target": "--target", "threshold": "--threshold", "scale": "--scale", "max_ct": "--max-ct",
                "ct": "--ct", "samples": "a --samples sheet", "quantities": "--quantity", "melt_range": "--range",
                "max_fwhm": "--max-fwhm", "calibrator": "--calibrator", "reference": "--reference GENE[,GENE...]",
                "efficiency": "--efficiency", "error": "--error", "limits": "--limits", "exclude": "--exclude",
                "keep": "--keep", "compare": "--compare", "adjust": "--adjust", "irc": "--irc"}

#: What an option left unset means (for the report's table of settings).
DEFAULTS = {"target": "every target", "threshold": "each plate's own", "max_ct": "the last five cycles only",
            "samples": "none: the file's annotations", "quantity": "the file's quantities",
            "range": "chosen per well from its -dF/dT", "calibrator": "none: no relative quantities",
            "reference": "the file's targets of type ref",
            "exclude": "none: the file's and the sheet's exclusions", "keep": "none: every excluding flag excludes",
            "compare": "none: no tests between groups", "adjust": "holm", "irc": "none: each run on its own"}


def command_words(error):
    """The message of an error as the command says it: settings named by their options."""
    if isinstance(error, InputError):
        return error.worded(lambda setting: OPTION_WORDS.get(setting.name, setting.text))
    return str(error)


def parse_scale(text):
    """The --scale option: "auto" gives None, "none" 1.0, a positive number itself."""
    if text == "auto":
        return None
    if text == "none":
        return 1.0
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"--scale must be auto, none or a positive number, not {text!r}")
    return value


def _melt_range(text):
    """--range LO:HI in degrees, either end left out: (-inf, inf) for none."""
    if not text:
        return -math.inf, math.inf
    parts = text.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        return tuple(float(v) if v.strip() else d for v, d in zip(parts, (-math.inf, math.inf)))
    except ValueError:
        raise ValueError(f"--range {text!r}: expected LO:HI in degrees") from None


def _quantities(items):
    """--quantity NAME=Q, each repeated option one (name, quantity)."""
    quantities = []
    for item in items:
        name, _, q = item.partition("=")
        try:
            quantities.append((name, float(q)))
        except ValueError:
            raise ValueError(f"--quantity {item!r}: expected NAME=NUMBER") from None
    return tuple(quantities)


def _items(values):
    """Repeated options of comma-separated items, as one list without empty items."""
    return [item.strip() for value in values or () for item in value.split(",") if item.strip()]


def _excluded_wells(values):
    """--exclude WELL[:TARGET],...: (well, target) pairs, target "" for every target of the well."""
    pairs = []
    for item in _items(values):
        well, _, target = item.partition(":")
        if not well.strip():
            raise ValueError(f"--exclude {item!r}: expected WELL or WELL:TARGET")
        pairs.append((well.strip(), target.strip()))
    return tuple(pairs)


def _refused(settings, error):
    """A setting the analyses refused, in the command's words: --range and --quantity in the
    syntax the command reads them in, the others by their option's name."""
    named = next((p.name for p in error.parts if isinstance(p, Named)), None)
    if named == "melt_range":
        lo, hi = settings.melt_range
        if math.isnan(lo) or math.isnan(hi) or not lo < hi:
            return f"--range must be LO:HI with LO below HI, not {lo:g}:{hi:g}"
        return f"--range must lie within {-AXIS_MAX:g} to {AXIS_MAX:g} degrees, not {lo:g}:{hi:g}"
    if named == "quantities":
        bad = [(n, q) for n, q in settings.quantities if not n or not (math.isfinite(q) and q > 0)]
        if bad:
            return f"--quantity {bad[0][0]}={bad[0][1]!r}: expected NAME=Q with a positive quantity"
        return command_words(error)
    return command_words(error)


def _names(text):
    """A comma-separated list of names (genes, samples), blanks dropped."""
    return tuple(g.strip() for g in (text or "").split(",") if g.strip())


def settings_from(args):
    """The :class:`~quelmar.analysis.settings.AnalysisSettings` of parsed arguments, checked.

    Raises
    ------
    ValueError
        In the command's words, naming the option.
    """
    limits = Limits.from_env()  # a malformed QUELMAR_LIMITS is a ValueError naming it
    if getattr(args, "limits", None):
        try:
            limits = limits.parse(args.limits)
        except ValueError as e:
            raise ValueError(f"--limits: {e}") from None
    melt_range = _melt_range(getattr(args, "range", None))
    quantities = _quantities(getattr(args, "quantity", ()))
    sheet = read_sample_sheet(args.samples, limits=limits) if args.samples else None
    reference = _names(getattr(args, "reference", None))
    compare = tuple(g.strip() for g in args.compare.split(",")) if getattr(args, "compare", None) else ()
    irc = tuple(dict.fromkeys(_names(getattr(args, "irc", None)) + (sheet.calibrators() if sheet else ())))
    settings = AnalysisSettings(target=args.target, threshold=getattr(args, "threshold", None),
                                scale=parse_scale(getattr(args, "scale", "auto")), max_ct=getattr(args, "max_ct", None),
                                ct=getattr(args, "ct", DEFAULT_CT), samples=sheet, quantities=quantities,
                                melt_range=melt_range, max_fwhm=getattr(args, "max_fwhm", AnalysisSettings.max_fwhm),
                                calibrator=getattr(args, "calibrator", None), reference=reference,
                                efficiency=getattr(args, "efficiency", DEFAULT_EFFICIENCY),
                                error=getattr(args, "error", "ci95"), limits=limits,
                                exclude=_excluded_wells(getattr(args, "exclude", None)),
                                keep=tuple(dict.fromkeys(_items(getattr(args, "keep", None)))), compare=compare,
                                adjust=getattr(args, "adjust", "holm"), irc=irc)
    try:
        return settings.check()
    except OptionError as e:
        raise ValueError(_refused(settings, e)) from None


def settings_record(args):
    """The options given, by name, for the JSON header and the report."""
    skip = {"files", "out", "plot", "quiet", "jobs", "command", "argv"}

    def written(v):  # a path from the command line that is not UTF-8 is written with its bytes escaped
        return encodable(v) if isinstance(v, str) else [written(x) for x in v] if isinstance(v, list) else v
    return {k: written(v) for k, v in sorted(vars(args).items()) if k not in skip and v not in (None, [], "")}


def settings_table(given):
    """The report's table of settings: (option, the value given or None, what leaving it unset means)."""
    rows = []
    for name in sorted(set(given) | set(DEFAULTS)):
        value = given.get(name)
        shown = None if value is None else ", ".join(map(str, value)) if isinstance(value, list) else str(value)
        rows.append((f"--{name.replace('_', '-')}", shown, DEFAULTS.get(name, "")))
    return rows
