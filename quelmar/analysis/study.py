"""The publication statistics around relative quantities: the comparison of
groups that follows a file's relative quantities, the stability of its
reference genes, and a study of several runs (files) brought onto one scale
by inter-run calibration, which gives one table of relative quantities.
"""
from dataclasses import replace

from ..common.errors import InputError, Named
from ..results import StudyRun
from .comparisons import ALL, compare_groups
from .quantify import declared_references, efficiencies, quantify_file, reference_genes
from .levels import is_sample
from .references import reference_stability
from .runs import calibrate
from .settings import parse_efficiency

#: Confidence level of the fold changes' intervals, by the error bars asked for (95 % unless 99 %).
LEVELS = {"ci99": 0.99}
LEVEL = 0.95


def level_of(settings):
    return LEVELS.get(settings.error, LEVEL)


def with_calibrator(settings, plates):
    """The settings with a calibrator: the one given, else the first group compared (the reference of the fold
    changes), so that a comparison needs no calibrator of its own."""
    if settings.calibrator or not settings.compare:
        return settings
    if settings.compare != (ALL,):
        return replace(settings, calibrator=settings.compare[0])
    first = next((w.group for p in plates for w in p.wells if w.group), "")
    return replace(settings, calibrator=first) if first else settings


def compare(path, plates, quantified, settings):
    """The comparison of ``settings.compare`` over the targets and reference genes of ``quantified``."""
    targets = list(dict.fromkeys(r.target for r in quantified.rows))
    wells = [w for p in plates for w in p.wells]
    return compare_groups(path, wells, targets, quantified.references, quantified.efficiencies, settings.ct,
                          settings.compare, settings.adjust, level_of(settings))


def quantify_and_compare(path, plate_file, plates, settings):
    """Relative quantities (:func:`~.quantify.quantify_file`) and, when asked, the comparison of groups.

    Returns
    -------
    (QuantifyResult, list of str)
    """
    if settings.compare == (ALL,) and not any(w.group for p in plates for w in p.wells):
        raise InputError(f"{path}: comparing all groups needs a design: groups in a sample sheet's group column or "
                         f"in the file")
    settings = with_calibrator(settings, plates)
    if not settings.calibrator:
        raise InputError(f"{path}: relative quantities need ", Named("calibrator", "a calibrator"),
                         " (or a comparison of groups, whose first group is the reference)")
    result, warnings = quantify_file(path, plate_file, plates, settings)
    if settings.compare:
        result.comparison = compare(path, plates, result, settings)
    return result, warnings


def stability_of(path, plate_file, plates, settings, warnings=None):
    """geNorm and NormFinder of the file's reference genes (named by the settings, else declared), or None
    when there are fewer than two."""
    targets = list(dict.fromkeys(p.target for p in plates))
    names = settings.reference
    wells = [w for p in plates for w in p.wells]
    dropped = []
    if not names:
        # A file may declare as ref a target no sample was measured for (the dye channels of empty wells).
        sampled = {w.target for w in wells if is_sample(w)}
        declared = [g for g in declared_references(plate_file) if g in targets]
        dropped = [g for g in declared if g not in sampled]
        if len(declared) - len(dropped) < 2:
            return None
    genes = [g for g in reference_genes(path, plate_file, targets, names) if g not in dropped]
    if len(genes) < 2:
        return None
    factors = efficiencies(path, parse_efficiency(settings.efficiency), genes, plates, warnings)
    result = reference_stability(path, wells, genes, factors, settings.ct)
    if dropped:
        result.left_out.insert(0, f"declared reference genes without a sample: {', '.join(dropped)}")
    return result


class _Study:
    """The files of a study seen as one: their targets and what each says of them."""

    def __init__(self, path, parts):
        self.path = path
        self.targets = {}
        for part in parts:
            for name, info in part.targets.items():
                self.targets.setdefault(name, info)
        self.ids = list(dict.fromkeys(p.target for part in parts for p in part.plates))

    def resolve_target(self, name):
        if name in self.ids:
            return name
        hits = [t for t in self.ids if t.lower().startswith(name.lower())]
        if len(hits) == 1:
            return hits[0]
        raise InputError(f"{self.path}: target {name!r} is {'ambiguous' if hits else 'in no file'} (targets: "
                         f"{', '.join(repr(t) for t in self.ids) or 'none'})")


def study_label(parts):
    return f"study of {len(parts)} file{'s' if len(parts) != 1 else ''}"


def quantify_study(parts, settings, calibrators):
    """Relative quantities of several runs joined by inter-run calibration: one table.

    Parameters
    ----------
    parts : list of StudyRun
        Each file's plates, in the order given.
    calibrators : tuple of str
        The inter-run calibrator samples.

    Returns
    -------
    (QuantifyResult, list of str)
        With its ``calibration`` rows, and its comparison when asked.
    """
    label = study_label(parts)
    study = _Study(label, parts)
    plates = [p for part in parts for p in part.plates]
    warnings = []
    factors = efficiencies(label, parse_efficiency(settings.efficiency), study.ids, plates, warnings)
    try:
        calibrated, rows = calibrate(plates, list(calibrators), factors, settings.ct)
    except InputError as e:
        raise InputError(f"{label}: {e}") from None
    result, more = quantify_and_compare(label, study, calibrated, settings)
    result.calibration, result.calibrators = rows, tuple(calibrators)
    return result, warnings + more


def study_parts(results):
    """The :class:`StudyRun` of each per-file result, in order."""
    return [p for r in results for p in r.plates if isinstance(p, StudyRun)]
