"""The analyses of the command, one input file at a time: read the file, run
the analysis, return a typed :class:`~quelmar.results.FileResult`.

Every function here takes a path and a :class:`Settings` and is what a worker
process runs; the HTML report calls the same functions. Bad input raises
:class:`InputError` (or the readers' and the library's own errors), always
naming the file.
"""
import math
from dataclasses import dataclass, replace
from typing import Optional

import numpy as np

from . import flags as _flags
from . import kinds, melting
from .analysis import analyze_amplification, standard_curve
from .efficiency import baselines, well_efficiencies
from .errors import QuelmarError
from .limits import Limits
from .readers import AXIS_MAX
from .results import (AmplificationPlate, AmplificationWell, FileResult, MeltCurve, MeltPeak, MeltPlate, MeltWell,
                      StandardFit, StandardPlate, StandardWell)
from .units import plate_scale

#: Cycles an amplification curve needs: the library's baseline ends at the tenth reading at the earliest.
MIN_CYCLES = 10
#: Readings per melting curve above which the peak fit would take minutes.
MAX_MELT_READINGS = 20000
#: The narrowest product peak kept, full width at half maximum in degrees.
MIN_FWHM = melting.MIN_FWHM
#: --scale factors allowed: past them the readings' way back to file units overflows.
SCALE_RANGE = (1e-300, 1e300)
#: The largest working reading analysed (the auto scale brings a plate's largest near 1e4).
WORKING_MAX = 1e100
#: A standard curve outside these efficiencies (percent) or below this R² is worth a warning.
EFFICIENCY_RANGE = (90.0, 110.0)
MIN_R_SQUARED = 0.98


class InputError(QuelmarError):
    """Bad input found by the command's analyses; the message names the file."""


@dataclass
class Settings:
    """Every option of the analyses, checked once before any file is read.

    Attributes
    ----------
    target : str, optional
        Only this target (an id, or the start of one).
    threshold : float, optional
        Linear Ct threshold in file units (default: the plate's own).
    scale : float, optional
        Working-unit factor (default: per plate, see :mod:`quelmar.units`).
    max_ct : float, optional
        A Ct past this is flagged late-ct.
    ct : str
        "linear" or "sigmoid": the Ct that flags, standard curves and relative quantities use.
    samples : SampleSheet, optional
        Annotations that override the file's (see :mod:`quelmar.samplesheet`).
    quantities : tuple of (name, quantity)
        Standards named on the command line.
    melt_range : (float, float)
        Temperatures where melting peaks are sought; (-inf, inf) lets each well's curve choose
        (see :func:`quelmar.melting.default_range`).
    max_fwhm : float
        The widest product peak, full width at half maximum in degrees.
    calibrator : str, optional
        The sample (or group) relative quantities are relative to.
    reference : tuple of str
        Reference genes (default: the file's targets of type ref).
    efficiency : str
        "2", "standard", "wells", a number, or "TARGET=E,..." (see :mod:`quelmar.quantify`).
    error : str
        "ci95", "ci99", "sd" or "2sd".
    limits : Limits, optional
        What the readers may take in (default: :meth:`Limits.from_env`, read where the file is read).
    """

    target: Optional[str] = None
    threshold: Optional[float] = None
    scale: Optional[float] = None
    max_ct: Optional[float] = None
    ct: str = "linear"
    samples: object = None
    quantities: tuple = ()
    melt_range: tuple = (-math.inf, math.inf)
    max_fwhm: float = melting.MAX_FWHM
    calibrator: Optional[str] = None
    reference: tuple = ()
    efficiency: str = "2"
    error: str = "ci95"
    limits: Optional[Limits] = None

    def check(self):
        """Refuse values out of range (ValueError naming the option)."""
        def positive(option, value):
            if value is not None and not (math.isfinite(value) and value > 0):
                raise ValueError(f"{option} must be a positive number, not {value!r}")
        positive("--threshold", self.threshold)
        positive("--max-ct", self.max_ct)
        positive("--scale", self.scale)
        if self.scale is not None and not SCALE_RANGE[0] <= self.scale <= SCALE_RANGE[1]:
            raise ValueError(f"--scale must lie between {SCALE_RANGE[0]:g} and {SCALE_RANGE[1]:g}, not {self.scale:g}")
        if self.ct not in ("linear", "sigmoid"):
            raise ValueError(f"--ct must be linear or sigmoid, not {self.ct!r}")
        if not (math.isfinite(self.max_fwhm) and self.max_fwhm > MIN_FWHM):
            raise ValueError(f"--max-fwhm must be a width in degrees above {MIN_FWHM:g} (the narrowest peak kept), "
                             f"not {self.max_fwhm!r}")
        lo, hi = self.melt_range
        if math.isnan(lo) or math.isnan(hi) or not lo < hi:
            raise ValueError(f"--range must be LO:HI with LO below HI, not {lo:g}:{hi:g}")
        if any(math.isfinite(v) and abs(v) > AXIS_MAX for v in (lo, hi)):
            raise ValueError(f"--range must lie within {-AXIS_MAX:g} to {AXIS_MAX:g} degrees, not {lo:g}:{hi:g}")
        for name, q in self.quantities:
            if not name or not (math.isfinite(q) and q > 0):
                raise ValueError(f"--quantity {name}={q!r}: expected NAME=Q with a positive quantity")
        if self.error not in ERROR_BARS:
            raise ValueError(f"--error must be one of {', '.join(ERROR_BARS)}, not {self.error!r}")
        from .quantify import parse_efficiency
        parse_efficiency(self.efficiency)
        if self.limits is not None and not isinstance(self.limits, Limits):
            raise TypeError(f"limits must be a quelmar.limits.Limits, not {type(self.limits).__name__}")
        return self


#: --error: (error bar, confidence, SD multiple) for the library's relative quantification.
ERROR_BARS = {"ci95": ("ci", 0.95, 1), "ci99": ("ci", 0.99, 1), "sd": ("sd", 0.95, 1), "2sd": ("sd", 0.95, 2)}


# -- reading -------------------------------------------------------------------

def read_plate(path, command, settings=None):
    """:func:`read_checked`'s plate alone."""
    return read_checked(path, command, settings)[0]


def read_checked(path, command, settings=None):
    """Read an input file for ``command`` (amplify, standard, quantify, melt, report).

    The one place the command opens an input: an RDML file or else a CSV
    plate, whose kind (cycles or temperatures) the file itself tells, read
    within ``settings.limits``. ``-`` is standard input, which only the main
    process can read (the caller sees to that); the plate is then named
    ``<stdin>``, as every message about it is. An input already open (a
    :class:`~quelmar.limits.Source`) is read as it is and left open. A file of
    the wrong kind, or no plate at all, is refused in one line that says what
    it looks like and which subcommand reads it. Then the sample sheet's
    annotations are laid over the file's. Returns the plate and its
    :class:`~quelmar.kinds.FileKind`.
    """
    from .errors import NotAPlate
    limits = settings.limits if settings is not None else None
    try:
        plate = kinds.read_plate(path, limits=limits)
    except NotAPlate as e:
        kinds.FileKind(e.path, "none", e.problem).require(command)
        raise
    kind = kinds.guess_kind(plate)
    kind.require(command)
    if settings is not None and settings.samples is not None:
        settings.samples.apply(plate)
    return plate, kind


def file_result(command, plate_file, plates, tables, warnings=(), notes=()):
    """The :class:`FileResult` of one file, with what its reader noticed and did and its runs' plate geometry."""
    return FileResult(command, plate_file.path, plates, tables, list(warnings),
                      notes=list(getattr(plate_file, "notes", ())) + list(notes),
                      geometry=dict(getattr(plate_file, "geometry", {})))


def _nothing(path, what, settings):
    target = f" for target {settings.target!r}" if settings.target else ""
    return InputError(f"{path}: no {what}{target}")


# -- amplification ---------------------------------------------------------------

def to_file_cycles(ct, cycles):
    """Ct values counted 1, 2, ... over the readings, in the file's own cycle numbers.

    The library counts readings from 1; the file may count from 0, from 101,
    or in uneven steps. Between readings the cycle is interpolated, outside
    them extrapolated with the first or last step.
    """
    ct = np.asarray(ct, dtype=float)
    cycles = np.asarray(cycles, dtype=float)
    n = cycles.size
    steps = np.diff(cycles)
    if n < 2 or np.all(steps == 1.0):
        return ct if n == 0 or cycles[0] == 1.0 else ct + (cycles[0] - 1.0)
    out = np.interp(ct, np.arange(1.0, n + 1.0), cycles)
    out = np.where(ct < 1.0, cycles[0] + (ct - 1.0) * steps[0], out)
    return np.where(ct > n, cycles[-1] + (ct - n) * steps[-1], out)


def _ordered(path, group, cycles, curves, wells):
    """Readings in ascending cycle order; repeated cycles and non-numbers refused."""
    if cycles.size and np.any(np.diff(cycles) <= 0):
        order = np.argsort(cycles, kind="stable")
        cycles, curves = cycles[order], curves[:, order]
        if np.any(np.diff(cycles) == 0):
            repeated = cycles[np.flatnonzero(np.diff(cycles) == 0)[0]]
            raise InputError(f"{path}: {group.label}: cycle {repeated:g} appears twice")
    if not np.isfinite(cycles).all():
        raise InputError(f"{path}: {group.label}: a cycle number is not a finite number")
    bad = ~np.isfinite(curves).all(axis=1)
    if bad.any():
        raise InputError(f"{path}: {group.label}: well {wells[int(np.argmax(bad))].name} has a reading that is "
                         f"not a finite number")
    return cycles, curves


def amplify_plates(plate_file, settings):
    """Analyse every plate (run and target) of a read file.

    Returns
    -------
    list of AmplificationPlate
    """
    path, plates = plate_file.path, []
    for group in plate_file.groups(settings.target):
        cycles, curves, wells = group.amplification()
        if not wells:
            continue
        if cycles.size < MIN_CYCLES:
            raise InputError(f"{path}: {group.label}: {cycles.size} cycle{'s' if cycles.size != 1 else ''}; the "
                             f"amplification analysis needs at least {MIN_CYCLES}")
        cycles, curves = _ordered(path, group, np.asarray(cycles, dtype=float), np.asarray(curves, dtype=float),
                                  wells)
        scale = plate_scale(curves) if settings.scale is None else settings.scale
        with np.errstate(over="ignore"):  # found below, and said in one line
            working = curves * scale
            threshold = None if settings.threshold is None else settings.threshold * scale
        peak = float(np.abs(working).max(initial=0.0))
        if not peak <= WORKING_MAX:  # squares and sums of them would overflow and the fits go astray
            raise InputError(f"{path}: {group.label}: at scale {scale:g} the readings reach {peak:.3g}; the analysis "
                             f"takes readings up to {WORKING_MAX:g}")
        if threshold is not None and not math.isfinite(threshold):
            raise InputError(f"{path}: {group.label}: --threshold {settings.threshold:g} overflows at scale {scale:g}")
        r = analyze_amplification(working, threshold=threshold)
        ct_linear, ct_sigmoid = to_file_cycles(r.ct_linear, cycles), to_file_cycles(r.ct_sigmoid, cycles)
        usable = np.isfinite(ct_linear) & ~r.low_signal & ~r.no_growth
        base = baselines(working, r.records["baseline_start"], r.records["baseline_end"])
        efficiency = well_efficiencies(working, base, usable)
        chosen = ct_linear if settings.ct == "linear" else ct_sigmoid
        flags = _flags.amplification_flags(wells, chosen, float(cycles[-1]), low_signal=r.low_signal,
                                           no_growth=r.no_growth, efficiency=efficiency, max_ct=settings.max_ct)
        threshold_file = r.threshold / scale
        rows = [AmplificationWell(w.name, w.sample, w.sample_type, w.target, w.run, threshold_file, scale,
                                  float(ct_linear[i]), float(ct_sigmoid[i]), float(efficiency[i]), flags[i],
                                  float(w.cq), float(w.quantity), w.group, path)
                for i, w in enumerate(wells)]
        plates.append(AmplificationPlate(path, group.run, group.target, group.label, scale, threshold_file,
                                         r.auto_threshold / scale, cycles, r.curves / scale, settings.ct, rows))
    return plates


def _amplified(path, command, settings):
    """A file read for ``command`` and every plate of it analysed; refused when it has none."""
    plate_file = read_plate(path, command, settings)
    plates = amplify_plates(plate_file, settings)
    if not plates:
        raise _nothing(plate_file.path, "amplification data", settings)
    return plate_file, plates


def amplify(path, settings):
    """``amplify``: threshold, linear and sigmoid Ct, efficiency and flags per well."""
    plate_file, plates = _amplified(path, "amplify", settings)
    return file_result("amplify", plate_file, plates, {"wells": [w for p in plates for w in p.wells]})


# -- melting -----------------------------------------------------------------------

def _melt_readings(path, well):
    t, f = np.asarray(well.melt_temperature, dtype=float), np.asarray(well.melt_fluor, dtype=float)
    if t.size > MAX_MELT_READINGS:
        raise InputError(f"{path}: well {well.name}: {t.size} melting readings; at most {MAX_MELT_READINGS} "
                         f"are analysed per well")
    return t, f


def _melt_curve(path, w, m):
    """The rows and the drawn curves of one well's :class:`~quelmar.melting.WellMelt`."""
    peaks = [MeltPeak(w.name, w.sample, w.target, w.run, k + 1, float(m.tm[k]), float(m.height[k]),
                      float(m.width[k]), k == m.main, path) for k in range(m.tm.size)]
    lo, hi = m.range
    summary = MeltWell(w.name, w.sample, w.sample_type, w.target, w.run, m.main_tm, m.main_height, len(peaks),
                       m.flags, float(lo), float(hi), "chosen" if m.range_chosen else "given", round(float(m.step), 6),
                       m.resampled, "; ".join(n for n in (m.note, m.problem) if n), path)
    return MeltCurve(w.name, w.sample, w.target, m.temperature, m.derivative, m.temperature[m.in_range],
                     m.conditioned, m.fitted, peaks, summary, m.problem)


def melt_plates(plate_file, settings):
    """Analyse the melting curves of every plate (run and target) of a read file.

    Returns
    -------
    (list of MeltPlate, warnings, notes)

    Raises
    ------
    InputError
        When the file has no melting data (for ``settings.target``), or no well could be analysed.
    """
    path = plate_file.path
    lo, hi = settings.melt_range
    given = None if (lo, hi) == (-math.inf, math.inf) else (lo, hi)
    options = melting.Settings(range=given, max_fwhm=settings.max_fwhm)
    plates, warnings, notes = [], [], []
    for group in plate_file.groups(settings.target):
        wells = [w for w in group.wells if w.melt_fluor is not None]
        if not wells:
            continue
        melts = [melting.analyze_well(*_melt_readings(path, w), options) for w in wells]
        melting.judge(melts, [w.sample_type for w in wells], [w.target for w in wells])
        curves = [_melt_curve(path, w, m) for w, m in zip(wells, melts)]
        plates.append(MeltPlate(path, group.run, group.target, group.label, curves))
        resampled = [c for c in curves if c.summary.resampled]
        if resampled:
            notes.append(f"{group.label}: {len(resampled)} of {len(curves)} wells' readings resampled onto even "
                         f"steps (first: {resampled[0].well}: {resampled[0].summary.note})")
        without = [c for c in curves if c.problem]
        if without:
            warnings.append(f"{path}: {group.label}: {len(without)} of {len(curves)} wells not analysed "
                            f"(first: {without[0].well}: {without[0].problem})")
    if not plates:
        raise _nothing(path, "melting data", settings)
    curves = [c for p in plates for c in p.curves]
    failed = [c for c in curves if c.problem]
    if len(failed) == len(curves):
        raise InputError(f"{path}: no peak in any of {len(curves)} wells ({len(failed)} could not be analysed) - "
                         f"{failed[0].well}: {failed[0].problem}")
    if not any(c.peaks for c in curves):
        warnings.append(f"{path}: no melting peak in any of {len(curves)} wells")
    return plates, warnings, notes


def melt(path, settings):
    """``melt``: every well's fitted melting peaks, its main peak and its flags (see :mod:`quelmar.melting`)."""
    plate_file = read_plate(path, "melt", settings)
    plates, warnings, notes = melt_plates(plate_file, settings)
    curves = [c for p in plates for c in p.curves]
    return file_result("melt", plate_file, plates, {"peaks": [k for c in curves for k in c.peaks],
                                                 "wells": [c.summary for c in curves]}, warnings, notes)


# -- standard curve ------------------------------------------------------------------

def _assign(name, table, default):
    """The quantity --quantity gives the well's name (or the name followed by a separator), else the file's."""
    for prefix, q in table:
        if name == prefix or (name.startswith(prefix) and not name[len(prefix)].isalnum()):
            return q
    return default


def fit_standard(plate, quantities=()):
    """The standard curve of one plate and the role and quantity of each well.

    Returns
    -------
    (StandardFit or None, list of StandardWell)
        No fit when the plate has no standard (a well with a positive quantity).

    Raises
    ------
    InputError
        For a degenerate curve: fewer than two distinct quantities with a Ct, or a flat line.
    """
    path, ct = plate.file, plate.ct()
    q = np.array([_assign(w.well, quantities, w.quantity) for w in plate.wells], dtype=float)
    negative = np.array([_flags.is_negative_control(w.sample_type) for w in plate.wells])
    standard = np.isfinite(q) & (q > 0) & ~negative
    if not standard.any():
        return None, _standard_wells(path, plate, ct, q, standard, negative, None)
    used = standard & np.isfinite(ct)
    distinct = np.unique(q[used])
    where = f"{path}: {plate.label}"
    if distinct.size < 2:
        raise InputError(f"{where}: the standard curve needs at least two distinct quantities with a Ct "
                         f"(has {distinct.size}{': ' + format(distinct[0], 'g') if distinct.size else ''})")
    fit = standard_curve(q[used], ct[used])
    if not (math.isfinite(fit.slope) and fit.slope != 0 and math.isfinite(fit.efficiency)):
        raise InputError(f"{where}: the standard curve is flat (slope {fit.slope:g}): the Ct does not follow "
                         f"the quantity")
    warning = []
    if not EFFICIENCY_RANGE[0] <= fit.efficiency <= EFFICIENCY_RANGE[1]:
        warning.append(f"efficiency {fit.efficiency:.1f} % outside {EFFICIENCY_RANGE[0]:g}-{EFFICIENCY_RANGE[1]:g} %")
    if not fit.r_squared >= MIN_R_SQUARED:
        warning.append(f"R² {fit.r_squared:.4f} below {MIN_R_SQUARED:g}")
    result = StandardFit(plate.target, plate.run, plate.ct_kind, fit.slope, fit.intercept, fit.efficiency,
                         fit.r_squared, fit.n, int(distinct.size), plate.scale, plate.threshold, "; ".join(warning),
                         path)
    return result, _standard_wells(path, plate, ct, q, standard, negative, (fit, distinct))


def _standard_wells(path, plate, ct, q, standard, negative, fitted):
    rows = []
    for i, w in enumerate(plate.wells):
        role, quantity, note = "unknown", math.nan, ""
        if negative[i]:
            role = "control"
        elif standard[i]:
            role, quantity = "standard", float(q[i])
        elif fitted is not None and math.isfinite(ct[i]):
            fit, distinct = fitted
            quantity = float(fit.quantity(ct[i]))
            if not distinct[0] <= quantity <= distinct[-1]:
                note = "outside the standards' range"
        rows.append(StandardWell(w.well, w.sample, w.sample_type, w.target, w.run, float(ct[i]), quantity, role,
                                 w.flags, note, path))
    return rows


def standard_plates(plates, quantities=(), problems=None):
    """The :class:`StandardPlate` of every plate with standards, and the warnings their curves give.

    A degenerate curve raises :class:`InputError`, or, given a list
    ``problems``, is told there and its plate passed over.
    """
    results, warnings = [], []
    for p in plates:
        try:
            fit, wells = fit_standard(p, quantities)
        except InputError as e:
            if problems is None:
                raise
            problems.append(f"no standard curve: {e}")
            continue
        if fit is not None:
            results.append(StandardPlate(p, fit, wells))
            if fit.warning:
                warnings.append(f"{p.file}: {p.label}: {fit.warning}")
    return results, warnings


def standard(path, settings):
    """``standard``: the standard curve per target, and every well's quantity read off it."""
    plate_file, plates = _amplified(path, "standard", settings)
    path = plate_file.path
    results, warnings = standard_plates(plates, settings.quantities)
    if not results:
        hint = "" if settings.quantities else " (give quantities with --quantity NAME=Q or a --samples sheet)"
        raise InputError(f"{path}: no wells with a quantity and a Ct{hint}")
    fitted = {id(r.amplification) for r in results}
    without = [p.label for p in plates if id(p) not in fitted]
    notes = [f"no standards (wells with a quantity) in {', '.join(without)}"] if without else []
    return file_result("standard", plate_file, results, {"wells": [w for r in results for w in r.wells],
                                                     "fits": [r.fit for r in results]}, warnings, notes)


def quantify(path, settings):
    """``quantify``: relative quantities against a calibrator (see :mod:`quelmar.quantify`)."""
    from .quantify import quantify_file
    # Every target is analysed: --target picks the targets reported, not the reference genes.
    plate_file, plates = _amplified(path, "quantify", replace(settings, target=None))
    result, warnings = quantify_file(plate_file.path, plate_file, plates, settings)
    return file_result("quantify", plate_file, [result], {"quantities": result.rows}, warnings)
