"""The amplification analysis: the plate threshold, the linear and sigmoid
Ct and the library's flags of a plate on numpy arrays
(:func:`analyze_amplification`), and every plate of a read file with its
per-well efficiency, its window-of-linearity Cq, efficiency and N0
(:mod:`quelmar.analysis.window`) and quality flags, as typed results
(:func:`amplify_plates`).

Ct values come back in the file's own cycle numbers (:func:`to_file_cycles`),
thresholds and curves in the file's own units: each plate is brought into the
analysis' working range by the power of ten of :mod:`quelmar.analysis.units`
and back again.
"""
import math
from dataclasses import dataclass, field

import numpy as np

from ..binding import core
from ..common.errors import InputError, Named, OptionError, ThresholdBelowCurves
from ..results import AmplificationPlate, AmplificationWell
from . import exclusion
from .efficiency import baselines, well_efficiencies
from .judgement import CurveMeasures, amplification_flags, late_rise_measures
from .units import plate_scale
from .window import MIN_CYCLES as WINDOW_MIN_CYCLES
from .window import analyze_window

#: Cycles an amplification curve needs: the library's baseline ends at the tenth reading at the earliest.
MIN_CYCLES = 10
#: The largest working reading analysed (the auto scale brings a plate's largest near 1e4).
WORKING_MAX = 1e100


@dataclass
class AmplificationResult:
    """Result of :func:`analyze_amplification`; per-well arrays are in well order.

    Attributes
    ----------
    threshold : float
        The threshold the linear Ct was read at.
    auto_threshold : float
        The plate threshold the library chose (equal to ``threshold`` unless one was given).
    ct_linear, ct_sigmoid : ndarray
        Ct by threshold crossing and from the fitted logistic (NaN where there is none).
    amplitude, midpoint, steepness : ndarray
        The fitted logistic A / (1 + exp(-k (cycle - x0))) of each conditioned curve.
    low_signal, no_growth : ndarray of bool
        The library's quality flags.
    curves : ndarray, wells x cycles
        The conditioned curves the linear Ct was read from.
    records : ndarray of RECORD_DTYPE
        Pass as ``records=`` to the next call to keep the chosen baseline windows.
    """

    threshold: float
    auto_threshold: float
    ct_linear: np.ndarray
    ct_sigmoid: np.ndarray
    curves: np.ndarray
    records: np.ndarray
    amplitude: np.ndarray = field(init=False)
    midpoint: np.ndarray = field(init=False)
    steepness: np.ndarray = field(init=False)
    low_signal: np.ndarray = field(init=False)
    no_growth: np.ndarray = field(init=False)

    def __post_init__(self):
        r = self.records
        self.amplitude, self.midpoint, self.steepness = (r[f"sigmoid_{n}"].copy() for n in
                                                         ("amplitude", "midpoint", "steepness"))
        self.low_signal, self.no_growth = r["low_signal"] != 0, r["no_growth"] != 0

    @property
    def flags(self):
        """Per well: "" or the flags joined by ",", e.g. "low-signal,no-growth"."""
        return [",".join(name for name, on in (("low-signal", low), ("no-growth", none)) if on)
                for low, none in zip(self.low_signal, self.no_growth)]


def analyze_amplification(curves, *, threshold=None, records=None):
    """Plate threshold, linear and sigmoid Ct of a plate.

    Parameters
    ----------
    curves : array_like, wells x cycles
        Readings of each well, in the analysis' working units (see :mod:`quelmar.analysis.units`).
    threshold : float, optional
        Read the linear Ct at this threshold instead of the plate threshold.
        The logistic fits, and so the sigmoid Ct, do not depend on it.
    records : ndarray of RECORD_DTYPE, optional
        Records of an earlier call, whose baseline windows are then reused. They
        are copied, not changed. Default: zeroed records (windows chosen afresh).

    Returns
    -------
    AmplificationResult
        Every Ct lies within the readings (1 to the number of cycles) or is NaN: the library
        extends a curve's first or last segment to the threshold, which is no crossing.

    Raises
    ------
    OptionError
        For a threshold that is not a positive number;
        :class:`~quelmar.common.errors.ThresholdBelowCurves` for one below where the curves
        start (every crossing would come before the first reading).
    """
    plate = np.array(curves, dtype=np.float64, order="C", ndmin=2)
    if threshold is not None:
        threshold = _positive_threshold(threshold)
    _check_readings(plate)
    wells = plate.shape[0]
    records = core.new_records(wells) if records is None else np.array(records, dtype=core.RECORD_DTYPE)
    auto = core.calc_threshold(records, plate)
    used = auto if threshold is None else threshold
    conditioned, ct_linear = core.linear_batch_calc_ct(records, used, plate)
    ct_sigmoid = core.sigmoid_batch_calc_ct(records)
    ct_linear, ct_sigmoid = (_within_readings(ct[:wells], plate.shape[1]) for ct in (ct_linear, ct_sigmoid))
    if threshold is not None and _all_before_start(ct_linear, conditioned, threshold):
        raise ThresholdBelowCurves(threshold, auto)
    return AmplificationResult(used, auto, ct_linear, ct_sigmoid, conditioned, records)


def _positive_threshold(value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"threshold must be a real number, not {value!r:.60}") from None
    if not (math.isfinite(value) and value > 0):
        raise OptionError(Named("threshold"), f" must be a positive number, not {value!r}")
    return value


def _check_readings(plate):
    """Curves the library can take, refused here in their own words (the library's would name a
    matrix or a vector): at least one well of MIN_CYCLES readings, every reading a number."""
    if plate.ndim != 2 or plate.shape[0] == 0:
        raise ValueError(f"curves must be wells x cycles with at least one well, not shape {plate.shape}")
    if plate.shape[1] < MIN_CYCLES:
        raise ValueError(f"curves hold {plate.shape[1]} readings per well; the amplification analysis needs at "
                         f"least {MIN_CYCLES}")
    bad = ~np.isfinite(plate)
    if bad.any():
        well, cycle = np.argwhere(bad)[0]
        raise ValueError(f"curves: well {well} has a reading that is not a finite number ({plate[well, cycle]!r} "
                         f"at reading {cycle + 1})")


def _within_readings(ct, readings):
    """Ct values outside 1 to ``readings`` made NaN: extensions of a curve, not crossings."""
    ct = np.array(ct, dtype=float)
    with np.errstate(invalid="ignore"):
        ct[~((ct >= 1.0) & (ct <= readings))] = np.nan
    return ct


def _all_before_start(ct, conditioned, threshold):
    """No well crosses ``threshold`` within the readings, and some start above it."""
    return not np.isfinite(ct).any() and bool((conditioned[:, 0] > threshold).any())


# -- the plates of a read file -----------------------------------------------------

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


def measure_plates(plate_file, settings):
    """Every plate (run and target) of a read file analysed, its wells not yet judged.

    Parameters
    ----------
    plate_file : quelmar.reading.plate.PlateFile
    settings : quelmar.analysis.settings.AnalysisSettings
        Read: target, scale, threshold, ct, exclude.

    Returns
    -------
    list of AmplificationPlate
        With the Ct, efficiency and :class:`~.judgement.CurveMeasures` of each
        well, the reasons to exclude it that no flag gives, and no flags.
    """
    requested = exclusion.requested(plate_file, settings.exclude)
    plates = (_measure(plate_file.path, group, settings, requested) for group in plate_file.groups(settings.target))
    return [p for p in plates if p is not None]


def amplify_plates(plate_file, settings):
    """Analyse every plate (run and target) of a read file and judge its wells.

    Parameters
    ----------
    plate_file : quelmar.reading.plate.PlateFile
    settings : quelmar.analysis.settings.AnalysisSettings
        Read: target, scale, threshold, ct, max_ct, exclude, keep.

    Returns
    -------
    list of AmplificationPlate
        Each well with its flags and whether it is excluded (see
        :mod:`.exclusion`); :func:`quelmar.analysis.examination.examine` also
        weighs the melt.
    """
    plates = measure_plates(plate_file, settings)
    for p, flags in zip(plates, amplification_flags(plates, settings.max_ct)):
        for w, f in zip(p.wells, flags):
            w.flags = f
    exclusion.settle(plates, (), settings.keep)
    return plates


def _working(path, group, curves, settings):
    """The plate in working units: its scale, readings and threshold; readings too large refused."""
    scale = plate_scale(curves) if settings.scale is None else settings.scale
    with np.errstate(over="ignore"):  # found below, and said in one line
        working = curves * scale
        threshold = None if settings.threshold is None else settings.threshold * scale
    peak = float(np.abs(working).max(initial=0.0))
    if not peak <= WORKING_MAX:  # squares and sums of them would overflow and the fits go astray
        raise InputError(f"{path}: {group.label}: at scale {scale:g} the readings reach {peak:.3g}; the analysis "
                         f"takes readings up to {WORKING_MAX:g}")
    if threshold is not None and not math.isfinite(threshold):
        raise OptionError(f"{path}: {group.label}: ", Named("threshold"),
                          f" {settings.threshold:g} overflows at scale {scale:g}")
    return scale, working, threshold


def _measure(path, group, settings, requested):
    """One plate's numbers (see :func:`measure_plates`); None for a group without amplification data."""
    cycles, curves, wells = group.amplification()
    if not wells:
        return None
    if cycles.size < MIN_CYCLES:
        raise InputError(f"{path}: {group.label}: {cycles.size} cycle{'s' if cycles.size != 1 else ''}; the "
                         f"amplification analysis needs at least {MIN_CYCLES}")
    cycles, curves = _ordered(path, group, np.asarray(cycles, dtype=float), np.asarray(curves, dtype=float), wells)
    scale, working, threshold = _working(path, group, curves, settings)
    try:
        r = analyze_amplification(working, threshold=threshold)
    except ThresholdBelowCurves as e:  # said in file units
        raise ThresholdBelowCurves(settings.threshold, e.auto / scale, f"{path}: {group.label}: ") from None
    ct_linear, ct_sigmoid = to_file_cycles(r.ct_linear, cycles), to_file_cycles(r.ct_sigmoid, cycles)
    window = _window(working, cycles, scale)
    usable = np.isfinite(ct_linear) & ~r.low_signal & ~r.no_growth
    base = baselines(working, r.records["baseline_start"], r.records["baseline_end"])
    efficiency = well_efficiencies(working, base, usable)
    chosen = {"linear": ct_linear, "sigmoid": ct_sigmoid, "window": window["ct"]}[settings.ct]
    conditioned = r.curves / scale
    excess, noise, rising = late_rise_measures(curves)
    # A curve that rises at the very end may have its baseline reach into the rise, which lowers its
    # conditioned curve: its last reading's excess over the line before it measures the rise as well.
    rise = np.fmax(np.nanmax(conditioned, axis=1, initial=-np.inf), excess)
    measures = CurveMeasures(rise=rise, late_excess=excess,
                             late_noise=noise, rising=rising,
                             to_midpoint=to_file_cycles(r.midpoint, cycles) - chosen,
                             low_signal=r.low_signal, no_growth=r.no_growth)
    given = [exclusion.given(w, requested) for w in wells]
    threshold_file = r.threshold / scale
    rows = [AmplificationWell(well=w.name, sample=w.sample, sample_type=w.sample_type, target=w.target, run=w.run,
                              threshold=threshold_file, scale=scale, ct_linear=float(ct_linear[i]),
                              ct_sigmoid=float(ct_sigmoid[i]), ct_window=float(window["ct"][i]),
                              efficiency=float(efficiency[i]), efficiency_window=float(window["efficiency"][i]),
                              n0=float(window["n0"][i]), target_efficiency=window["mean"],
                              target_efficiency_sd=window["sd"], window_note=window["note"][i], flags=(),
                              excluded=exclusion.excluded(given[i], ()), file_cq=float(w.cq),
                              quantity=float(w.quantity), group=w.group,
                              biological_replicate=w.biological_replicate, file=path)
            for i, w in enumerate(wells)]
    return AmplificationPlate(file=path, run=group.run, target=group.target, label=group.label, scale=scale,
                              threshold=threshold_file, auto_threshold=r.auto_threshold / scale, cycles=cycles,
                              curves=conditioned, ct_kind=settings.ct, wells=rows, given=given,
                              dye=wells[0].dye, measures=measures, window_threshold=window["threshold"],
                              window_efficiency=window["mean"], window_efficiency_sd=window["sd"],
                              window_wells=window["in_mean"], window_baseline_kept=window["kept"])


def _window(working, cycles, scale):
    """The window-of-linearity results of one plate in file cycles and units: Cq, each well's
    efficiency, N0 = threshold / E^Cq with the target's mean efficiency, why a well has none,
    the target's mean efficiency, its SD, its wells and the threshold, and whether the readings'
    removed baseline was kept."""
    wells = working.shape[0]
    if cycles.size < WINDOW_MIN_CYCLES:
        nan = np.full(wells, np.nan)
        return dict(ct=nan, efficiency=nan, n0=nan, note=[f"fewer than {WINDOW_MIN_CYCLES} cycles"] * wells,
                    mean=math.nan, sd=math.nan, in_mean=0, threshold=math.nan, kept=False)
    w = analyze_window(working)
    inside = _within_readings(w.cq, cycles.size)  # as every Ct: within the run, or none
    notes = [r or "the Cq lies outside the run" if math.isnan(c) and not math.isnan(q) else r
             for r, c, q in zip(w.reason, inside, w.cq)]
    ct = to_file_cycles(inside, cycles)
    threshold = w.threshold / scale
    with np.errstate(over="ignore", invalid="ignore"):
        n0 = threshold / w.mean_efficiency ** ct
    return dict(ct=ct, efficiency=w.efficiency, n0=n0, note=notes, mean=w.mean_efficiency, sd=w.efficiency_sd,
                in_mean=w.wells_in_mean, threshold=threshold, kept=w.baseline_kept)
