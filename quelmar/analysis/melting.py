"""Melting analysis of real instrument files: even grids from what the
instrument wrote, an analysis range chosen from the curve, the main Tm of each
well, and the melt quality flags.

The library's melting derivative takes evenly spaced, ascending readings: it
scales the derivative by the step between two readings and replaces the first
five degrees by a straight line. Instruments that read during the ramp write
uneven steps (0.03 to 0.4 degrees), a few readings out of order where the block
settles, repeated temperatures, or a falling ramp. The steps here:

1. :func:`even_grid` sorts the readings, merges repeated temperatures and, when
   the steps are uneven or outside 0.1 to 1 degree, resamples the curve with
   the library's natural cubic spline at the median step bounded to that range.
2. :func:`melt_derivative` extends the readings below the first one by five
   degrees along the line of their first degree, so that the library's start
   correction replaces the extension and no measured reading, and takes -dF/dT.
3. :func:`default_range` chooses where peaks are sought: inside the first and
   last degree, and above the low-temperature background (a slope or a hump of
   the derivative wider than any product's peak).
4. :func:`fit_peaks` removes the background with the library's normalization,
   fits Gaussians with the library's peak fit and keeps the peaks a product
   could make; the tallest is the well's main peak.
5. :func:`quelmar.analysis.judgement.melt_flags` sets the melt quality flags
   of a plate.

:func:`melt_plates` runs these steps on every well of a read file.
:func:`analyze_melt` is the plain road for readings already even: the
library's derivative, background removal and peak fit, nothing chosen.
"""
import math
from dataclasses import dataclass

import numpy as np

from ..binding import core
from ..common.errors import InputError, QuelmarError
from ..results import MeltCurve, MeltPeak, MeltPlate, MeltWell
from . import exclusion
from .judgement import melt_flags, product_heights

# -- even grids ---------------------------------------------------------------------

#: Bounds of the grid step, degrees. Below 0.1 the library's smoothing, which
#: reaches a few readings, would no longer smooth; above 1 degree it would
#: flatten peaks a few degrees wide.
MIN_STEP, MAX_STEP = 0.1, 1.0
#: Steps that differ from their median by no more than this share count as even
#: (instruments write temperatures to a thousandth of a degree).
EVEN_TOLERANCE = 0.02
#: Temperatures closer than this (degrees) are one temperature read twice.
REPEAT_GAP = 1e-6
#: Readings are averaged in bins of this share of the grid step before the
#: spline, so that near-coincident readings cannot make it swing.
BIN_SHARE = 0.5
#: Fewest distinct temperatures a melting curve is analysed from.
MIN_READINGS = 8
#: Readings per melting curve analysed at most: the smoothing sums each point's window afresh (its
#: bits stay those of the plain sum), so at a fixed span its cost grows with the square of their number.
MAX_MELT_READINGS = 20000
#: Widest span of temperatures, degrees, taken for a melting curve (which bounds the grid).
MAX_SPAN = 150.0

# -- derivative and range --------------------------------------------------------------

#: Degrees at the start that the library's derivative replaces by a line.
START_CORRECTION = 5.0
#: Degrees of readings whose straight line continues the curve below its first reading.
LEAD_FIT = 1.0
#: Extra readings added past each end: the reach of the library's filters, in readings.
FILTER_REACH = 8
#: Degrees at each end where the derivative is not trusted (filters run out of data there).
EDGE = 1.0
#: Gain of the derivative's three passes of the library's kernel, whose weights sum to 1.1.
KERNEL_GAIN = 1.1 ** 3
#: Width at half prominence that the library's smoothing adds to any maximum, in grid steps
#: (measured on synthetic curves at 0.125 to 1 degree steps: 1.18 degrees wide peaks come out
#: 6.4 wide at 1 degree steps, 3.3 at 0.5, 1.4 at 0.125).
BROADENING = 6.2
#: A maximum of the derivative wider than this at half its prominence (degrees, the smoothing's
#: broadening taken out) is background: no single product melts over so many degrees.
BROAD_FWHM = 5.0
#: A maximum less prominent than this share of the derivative's span is ripple: it does not
#: place the range ...
MIN_RELIEF = 0.03
#: ... unless it stands for a melt of this share of the fluorescence (a product on a background
#: forty times its height; the late products of the bundled BioRad plate make 0.3 %).
MIN_STRUCTURE = 1e-3
#: A derivative that varies by less than this share of its size is flat (a straight fall, the
#: filters' ripple at its ends): its maxima are not products, and their relief places nothing;
#: only the melt a maximum stands for (MIN_STRUCTURE) still can.
FLAT_SPAN = 1e-3
#: Narrowest range, degrees, that peaks are sought in.
MIN_RANGE = 3.0

# -- peaks -------------------------------------------------------------------------------

#: Expected standard deviation of a product's peak, degrees (the library's width estimate).
PEAK_WIDTH = 0.5
#: Half-width, degrees, of the moving average over -dF/dT before the fit.
SMOOTH = 0.25
#: Maxima, and fitted peaks, lower than this share of the tallest value are ripple.
MIN_HEIGHT = 0.10
#: Plausible full widths at half maximum of a product's peak, degrees, as fitted at fine steps.
#: Peaks on the slope that the normalization leaves under them come out wider than they are:
#: products read at 1 degree steps measure up to 7 to 8 degrees, background humps 15 and more.
MIN_FWHM, MAX_FWHM = 0.3, 8.0
#: Full width at half maximum that the library's smoothing adds to a fitted peak, in grid
#: steps (added in quadrature to MAX_FWHM; measured on synthetic curves at 0.125 to 1 degree).
FIT_BROADENING = 5.0
#: Most maxima fitted together (the tallest): the fit's cost grows with the cube of their number.
MAX_CANDIDATES = 8
#: Smallest melt a peak must stand for: the fluorescence its Gaussian loses, as a share of
#: the well's fluorescence at the peak. Flat traces give ripples far below it.
MIN_DROP = 5e-3
#: FWHM of a Gaussian over its standard deviation.
FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))
#: Area of a Gaussian over its height times its FWHM.
GAUSS_AREA = math.sqrt(2.0 * math.pi) / FWHM_PER_SIGMA

@dataclass
class MeltSettings:
    """What the melt analysis of one well may be told.

    Attributes
    ----------
    range : (float, float) or None
        Temperatures to seek peaks in; None chooses them per well (:func:`default_range`).
    max_fwhm : float
        Widest full width at half maximum of a product's peak, degrees.
    """

    range: tuple = None
    max_fwhm: float = MAX_FWHM


@dataclass
class Grid:
    """Readings on an even, ascending temperature grid (see :func:`even_grid`).

    Attributes
    ----------
    temperature, fluorescence : ndarray
    step : float
        The grid step, degrees.
    resampled : bool
        Whether the fluorescence was interpolated onto new temperatures.
    note : str
        What was done to the readings, "" when they were used as read.
    """

    temperature: np.ndarray
    fluorescence: np.ndarray
    step: float
    resampled: bool
    note: str


def _merge(t, f, labels):
    """Means of t and f over runs of equal labels (labels ascending)."""
    starts = np.flatnonzero(np.r_[True, labels[1:] != labels[:-1]])
    counts = np.diff(np.r_[starts, labels.size])
    return np.add.reduceat(t, starts) / counts, np.add.reduceat(f, starts) / counts


def _count(n, noun):
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _ordered(t, f, notes):
    """Finite readings by rising temperature, each temperature once (the mean of its readings)."""
    finite = np.isfinite(t) & np.isfinite(f)
    if not finite.all():
        notes.append(f"{_count(int((~finite).sum()), 'reading')} without a value left out")
        t, f = t[finite], f[finite]
    rises, falls = int((np.diff(t) > 0).sum()), int((np.diff(t) < 0).sum())
    if falls > rises:
        notes.append("falling ramp reversed")
        rises, falls = falls, rises
    if falls:
        notes.append(f"{_count(falls, 'reading')} out of order sorted")
    order = np.argsort(t, kind="stable")
    t, f = t[order], f[order]
    if t.size:
        labels = np.r_[0, np.cumsum(np.diff(t) > REPEAT_GAP)]
        if labels[-1] + 1 < t.size:
            notes.append(f"{_count(int(t.size - labels[-1] - 1), 'repeated temperature')} merged")
            t, f = _merge(t, f, labels)
    return t, f


def _check(t):
    if t.size < MIN_READINGS:
        raise ValueError(f"{_count(t.size, 'distinct temperature')}: a melting curve needs at least {MIN_READINGS}")
    if t[-1] - t[0] > MAX_SPAN:
        raise ValueError(f"temperatures span {t[-1] - t[0]:.4g} °C, more than a melting curve's {MAX_SPAN:g}")


def even_grid(temperature, fluorescence, *, step_bounds=(MIN_STEP, MAX_STEP)):
    """The readings sorted, repeats merged and, where needed, resampled onto an even grid.

    Readings whose steps are even (within :data:`EVEN_TOLERANCE`) and within
    ``step_bounds`` are used as read. Others are resampled at their median step
    bounded to ``step_bounds``: readings closer than half that step are
    averaged first, then the library's natural cubic spline through them is
    evaluated on the grid.

    Parameters
    ----------
    temperature, fluorescence : array_like
        One reading per temperature, in any order. Pairs with a value that is
        not finite are left out.
    step_bounds : (float, float)
        Bounds of the grid step, degrees.

    Returns
    -------
    Grid

    Raises
    ------
    ValueError
        For arrays of different lengths, fewer than :data:`MIN_READINGS`
        distinct temperatures, or temperatures spanning more than :data:`MAX_SPAN`.
    """
    t, f = np.asarray(temperature, dtype=float).ravel(), np.asarray(fluorescence, dtype=float).ravel()
    if t.size != f.size:
        raise ValueError(f"{t.size} temperatures but {f.size} fluorescence values")
    notes = []
    t, f = _ordered(t, f, notes)
    _check(t)
    steps = np.diff(t)
    median = float(np.median(steps))
    lo, hi = step_bounds
    even = bool(np.all(np.abs(steps - median) <= EVEN_TOLERANCE * median))
    slack = 1.0 + EVEN_TOLERANCE  # 0.1 degree steps written to two decimals are within the bounds
    if even and lo / slack <= median <= hi * slack:
        return Grid(t, f, median, False, "; ".join(notes))
    step = min(max(median, lo), hi)
    bt, bf = _merge(t, f, np.floor((t - t[0]) / (BIN_SHARE * step)).astype(np.int64))
    if bt.size < t.size:
        notes.append(f"{_count(t.size - bt.size, 'reading')} closer than {BIN_SHARE * step:.3g} °C averaged")
    _check(bt)
    grid = bt[0] + step * np.arange(int(math.floor((bt[-1] - bt[0]) / step + 1e-9)) + 1)
    values = core.cubic_interpolation(bt, bf, grid)
    spread = f"steps {steps.min():.3g} to {steps.max():.3g} °C" if not even else f"step {median:.3g} °C"
    notes.append(f"resampled onto {step:.3g} °C steps by cubic spline ({t.size} readings, {spread})")
    return Grid(grid, values, step, True, "; ".join(notes))


def melt_derivative(grid):
    """-dF/dT of an even grid by the library, the start correction kept off the readings.

    The readings are extended below the first one by :data:`START_CORRECTION`
    degrees and :data:`FILTER_REACH` steps along the straight line through
    their first :data:`LEAD_FIT` degree, and past the last one by
    :data:`FILTER_REACH` steps along the line through their last degree; the
    library's five-degree start correction and its filters' ends then fall on
    the extension. Only the part over the readings is returned.

    Parameters
    ----------
    grid : Grid

    Returns
    -------
    temperature, derivative : ndarray
        The library's grid, ten points per step, and -dF/dT per degree on it.
    """
    t, f, s = grid.temperature, grid.fluorescence, grid.step
    before = int(math.ceil(START_CORRECTION / s)) + FILTER_REACH
    low = t - t[0] <= LEAD_FIT
    high = t[-1] - t <= LEAD_FIT
    lead_t = t[0] - s * np.arange(before, 0, -1)
    tail_t = t[-1] + s * np.arange(1, FILTER_REACH + 1)
    lead_f = _line(t[low], f[low], lead_t)
    tail_f = _line(t[high], f[high], tail_t)
    temperature, derivative = core.melting(np.r_[lead_t, t, tail_t], np.r_[lead_f, f, tail_f])
    keep = (temperature >= t[0] - 0.05 * s) & (temperature <= t[-1] + 0.05 * s)
    return temperature[keep], derivative[keep]


def _line(t, f, at):
    """The least-squares line through (t, f), at ``at`` (at least two points are used)."""
    if t.size < 2:
        return np.full(at.size, f[0] if f.size else 0.0)
    slope, intercept = np.polyfit(t - t[0], f, 1)
    return intercept + slope * (at - t[0])


# -- the analysis range ----------------------------------------------------------------


@dataclass
class Maximum:
    """A local maximum of -dF/dT: where, how high, how prominent, and how wide at half its
    prominence as drawn (``extent``) and with the smoothing's broadening taken out (``width``)."""

    index: int
    temperature: float
    value: float
    prominence: float
    extent: float
    width: float

    @property
    def melt(self):
        """The fluorescence that a Gaussian of this prominence and extent stands for."""
        return self.prominence * self.extent * GAUSS_AREA / KERNEL_GAIN


def maxima(temperature, derivative, step):
    """Local maxima with their prominence and their width at half prominence.

    The prominence is the height above the higher of the two lowest points
    between the maximum and the nearest higher value on each side (or the
    end); the width is measured at half that height and the broadening of the
    library's smoothing (:data:`BROADENING` steps) taken out.
    """
    d = derivative
    rising = np.r_[False, d[1:] > d[:-1]]
    falling = np.r_[d[:-1] >= d[1:], False]
    found = []
    for i in np.flatnonzero(rising & falling):
        higher_left = np.flatnonzero(d[:i] > d[i])
        higher_right = np.flatnonzero(d[i + 1:] > d[i])
        a = higher_left[-1] + 1 if higher_left.size else 0
        b = i + higher_right[0] if higher_right.size else d.size - 1
        prominence = d[i] - max(d[a:i + 1].min(), d[i:b + 1].min())
        half = d[i] - 0.5 * prominence
        below_left = np.flatnonzero(d[a:i] < half)
        below_right = np.flatnonzero(d[i:b + 1] < half)
        left = temperature[a + below_left[-1]] if below_left.size else temperature[a]
        right = temperature[i + below_right[0]] if below_right.size else temperature[b]
        extent = float(right - left)
        width = math.sqrt(max(extent ** 2 - (BROADENING * step) ** 2, 0.0))
        found.append(Maximum(int(i), float(temperature[i]), float(d[i]), float(prominence), extent, width))
    return found


def default_range(temperature, derivative, step, level=None):
    """The temperatures where peaks are sought, chosen from the curve.

    The first and last :data:`EDGE` degree are left out. Product-like maxima
    are those no wider than :data:`BROAD_FWHM` at half their prominence that
    stand out: by :data:`MIN_RELIEF` of the derivative's span, or by a melt of
    :data:`MIN_STRUCTURE` of the fluorescence (``level``), which a product
    on a steep background still makes. Below the most prominent of them, the
    range starts above the last broader maximum (a hump of background), at
    the lowest point before the first product-like maximum: a falling
    background or a hump below the products is left out, primer dimers and
    several products stay in. A curve without a product-like maximum keeps
    the whole range.

    Parameters
    ----------
    temperature, derivative : ndarray
        The library's grid and -dF/dT.
    step : float
        The step of the readings.
    level : ndarray, optional
        The fluorescence on the grid.

    Returns
    -------
    (float, float)
    """
    lo, hi = temperature[0] + EDGE, temperature[-1] - EDGE
    inside = (temperature >= lo) & (temperature <= hi)
    if inside.sum() < 3:
        return lo, hi
    t, d = temperature[inside], derivative[inside]
    f = np.abs(level[inside]) if level is not None else np.full(t.size, np.inf)
    span = float(d.max() - d.min())
    relief = span > FLAT_SPAN * float(np.abs(d).max())
    found = maxima(t, d, step)
    narrow = [m for m in found if m.width <= BROAD_FWHM and
              ((relief and m.prominence >= MIN_RELIEF * span) or m.melt >= MIN_STRUCTURE * f[m.index])]
    if not narrow:
        return lo, hi
    top = max(narrow, key=lambda m: m.prominence)
    broad = [m.index for m in found if m.width > BROAD_FWHM and m.index < top.index]
    start = broad[-1] if broad else 0
    first = next(m for m in narrow if m.index > start)
    valley = start + int(np.argmin(d[start:first.index + 1]))
    return float(t[valley]), hi


# -- peaks ----------------------------------------------------------------------------------


@dataclass
class WellMelt:
    """The melt of one well (see :func:`analyze_well`).

    Attributes
    ----------
    temperature, derivative : ndarray
        The library's fine grid over the readings and -dF/dT on it.
    range : (float, float)
        Where peaks were sought; ``range_chosen`` says whether from the curve.
    conditioned, fitted : ndarray
        Over the range (``temperature[in_range]``): -dF/dT smoothed and freed of
        its background, and the sum of the fitted Gaussians.
    tm, height, width : ndarray
        The accepted peaks by rising Tm: centre, height on the conditioned
        curve, standard deviation.
    main : int
        Index of the main peak (the tallest), -1 without one.
    step : float
        The grid step of the readings, degrees.
    note : str
        How the readings were made even ("" when they were used as read).
    resampled : bool
        Whether the readings were interpolated onto new temperatures.
    problem : str
        Why the curve could not be analysed ("" when it was).
    flags : tuple of str
        Set by :func:`~quelmar.analysis.judgement.melt_flags`.
    """

    temperature: np.ndarray
    derivative: np.ndarray
    range: tuple
    range_chosen: bool
    conditioned: np.ndarray
    fitted: np.ndarray
    tm: np.ndarray
    height: np.ndarray
    width: np.ndarray
    main: int
    step: float
    note: str
    resampled: bool = False
    problem: str = ""
    flags: tuple = ()

    @property
    def in_range(self):
        return (self.temperature >= self.range[0]) & (self.temperature <= self.range[1])

    @property
    def main_tm(self):
        return float(self.tm[self.main]) if self.main >= 0 else math.nan

    @property
    def main_height(self):
        return float(self.height[self.main]) if self.main >= 0 else math.nan

    def keep_peaks(self, keep, reference):
        """Keep only the peaks marked in ``keep``, say in ``note`` which were dropped as too low for a
        product (against ``reference``, the height of the target's products), and draw the rest again."""
        keep = np.asarray(keep, dtype=bool)
        if keep.all():
            return
        dropped = ", ".join(f"{t:.1f} °C ({h:.3g} high)" for t, h in zip(self.tm[~keep], self.height[~keep]))
        told = f"too low for a product (the target's are {reference:.3g} high): {dropped}"
        self.note = "; ".join(n for n in (self.note, told) if n)
        self.tm, self.height, self.width = self.tm[keep], self.height[keep], self.width[keep]
        self.main = int(np.argmax(self.height)) if self.height.size else -1
        self.fitted = _gaussians(self.temperature[self.in_range], self.conditioned, self.tm, self.height, self.width)


def fit_peaks(temperature, derivative, level, step, *, max_fwhm=MAX_FWHM):
    """Gaussian peaks of one stretch of -dF/dT by the library's normalization and peak fit.

    Parameters
    ----------
    temperature, derivative : ndarray
        The stretch to fit (at least :data:`MIN_RANGE` degrees).
    level : ndarray
        The well's fluorescence at each temperature, to judge a peak's melt by.
    step : float
        The grid step of the readings: the smoothing broadens peaks by
        :data:`FIT_BROADENING` steps, which the width limit allows for.
    max_fwhm : float

    Returns
    -------
    conditioned, fitted, tm, height, width : ndarray
    """
    dx = (temperature[-1] - temperature[0]) / (temperature.size - 1)
    conditioned = core.melting_normalization(core.super_smooth(derivative, round(SMOOTH / dx)))
    empty = np.empty(0)
    top = float(conditioned.max(initial=0.0))
    if not top > 0.0 or temperature.size <= 2 * int(PEAK_WIDTH * 1.3 / dx) + 2:
        return conditioned, np.zeros_like(conditioned), empty, empty, empty
    floor = MIN_HEIGHT * top
    widest = math.hypot(max_fwhm, FIT_BROADENING * step)
    # A seed wider than the stretch itself is no peak but a slope's ripple (a straight fall of
    # fluorescence gives seeds thousands of degrees wide), and the fit cannot start from it.
    span = float(temperature[-1] - temperature[0])
    with core.MgfHandle(temperature, conditioned, peak_width=PEAK_WIDTH) as handle, \
            handle.local_max_value_id() as found, \
            found.filter((floor, span, 0.0)) as candidates, \
            _tallest(candidates, MAX_CANDIDATES) as start:
        handle.solve(start)
        with start.filter((floor, widest, MIN_FWHM)) as peaks:
            height, tm, width = peaks.data()
    keep = (tm >= temperature[0]) & (tm <= temperature[-1])
    drop = height * width * math.sqrt(2.0 * math.pi) / KERNEL_GAIN
    at = np.abs(np.interp(tm, temperature, level))
    keep &= drop >= MIN_DROP * at
    order = np.argsort(tm[keep], kind="stable")
    tm, height, width = tm[keep][order], height[keep][order], width[keep][order]
    return conditioned, _gaussians(temperature, conditioned, tm, height, width), tm, height, width


def _gaussians(temperature, conditioned, tm, height, width):
    """The sum of the peaks' Gaussians over the stretch, by the library (zeros without a peak)."""
    if not tm.size:
        return np.zeros_like(conditioned)
    with core.MgfHandle(temperature, conditioned) as handle, core.GaussCoeff(height, tm, width) as kept:
        return handle.multi_gauss(kept)


def _tallest(peaks, count):
    """A new set of the ``count`` tallest peaks of a set, in their order."""
    height, centre, width = peaks.data()
    keep = np.sort(np.argsort(-height, kind="stable")[:count])
    return core.GaussCoeff(height[keep], centre[keep], width[keep])


def analyze_well(temperature, fluorescence, settings=None):
    """The melt of one well: even grid, -dF/dT, range, peaks, main peak.

    Parameters
    ----------
    temperature, fluorescence : array_like
        The readings as the instrument wrote them.
    settings : MeltSettings, optional

    Returns
    -------
    WellMelt
        A curve that cannot be analysed (too few readings, a range too narrow,
        a failed fit) gives a result without peaks whose ``problem`` says why.
    """
    settings = settings or MeltSettings()
    chosen = settings.range is None
    try:
        grid = even_grid(temperature, fluorescence)
    except ValueError as e:
        nothing = np.empty(0)
        return WellMelt(nothing, nothing, (math.nan, math.nan), chosen, nothing, nothing, nothing, nothing,
                        nothing, -1, math.nan, "", problem=str(e))
    t, d = melt_derivative(grid)
    level = np.interp(t, grid.temperature, grid.fluorescence)
    lo, hi = default_range(t, d, grid.step, level) if chosen else settings.range
    lo, hi = max(lo, float(t[0])), min(hi, float(t[-1]))
    inside = (t >= lo) & (t <= hi)

    def unanalysed(problem):
        flat, empty = np.zeros(int(inside.sum())), np.empty(0)
        return WellMelt(t, d, (lo, hi), chosen, flat, flat, empty, empty, empty, -1, grid.step, grid.note,
                        grid.resampled, problem)

    if hi - lo < MIN_RANGE or inside.sum() < 4:
        return unanalysed(f"the range {lo:.1f} to {hi:.1f} °C is too narrow to seek peaks in")
    try:
        conditioned, fitted, tm, height, width = fit_peaks(t[inside], d[inside], level[inside], grid.step,
                                                           max_fwhm=settings.max_fwhm)
    except QuelmarError as e:
        return unanalysed(f"the peak fit failed ({e.english})")
    main = int(np.argmax(height)) if height.size else -1
    return WellMelt(t, d, (lo, hi), chosen, conditioned, fitted, tm, height, width, main, grid.step, grid.note,
                    grid.resampled)


# -- the wells of a read file ---------------------------------------------------------------

def _melt_readings(path, well):
    t, f = np.asarray(well.melt_temperature, dtype=float), np.asarray(well.melt_fluor, dtype=float)
    if t.size > MAX_MELT_READINGS:
        raise InputError(f"{path}: well {well.name}: {t.size} melting readings; at most {MAX_MELT_READINGS} "
                         f"are analysed per well")
    return t, f


def _melt_curve(path, w, m):
    """The rows and the drawn curves of one well's :class:`WellMelt`."""
    peaks = [MeltPeak(well=w.name, sample=w.sample, target=w.target, run=w.run, peak=k + 1, tm=float(m.tm[k]),
                      height=float(m.height[k]), width=float(m.width[k]), main=k == m.main, file=path)
             for k in range(m.tm.size)]
    lo, hi = m.range
    summary = MeltWell(well=w.name, sample=w.sample, sample_type=w.sample_type, target=w.target, run=w.run,
                       tm=m.main_tm, height=m.main_height, peaks=len(peaks), flags=m.flags, excluded="",
                       range_low=float(lo),
                       range_high=float(hi), range="chosen" if m.range_chosen else "given",
                       step=round(float(m.step), 6), resampled=m.resampled,
                       note="; ".join(n for n in (m.note, m.problem) if n), file=path)
    return MeltCurve(well=w.name, sample=w.sample, target=w.target, temperature=m.temperature,
                     derivative=m.derivative, grid=m.temperature[m.in_range], conditioned=m.conditioned,
                     fitted=m.fitted, peaks=peaks, summary=summary, problem=m.problem)


def melt_plates(plate_file, settings, amplified=None):
    """Analyse the melting curves of every plate (run and target) of a read file.

    Peaks too low for a product are dropped (:func:`~.judgement.product_heights`)
    before the flags are set.

    Parameters
    ----------
    plate_file : quelmar.reading.plate.PlateFile
    settings : quelmar.analysis.settings.AnalysisSettings
        Read: target, melt_range, max_fwhm, exclude, keep.
    amplified : dict, optional
        (run, target, well) -> whether the well amplified, from the same
        file's amplification; the products' height is then measured on the
        wells that amplified.

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
    options = MeltSettings(range=given, max_fwhm=settings.max_fwhm)
    plates, warnings, notes = [], [], []
    requested = exclusion.requested(plate_file, settings.exclude)
    for group in plate_file.groups(settings.target):
        wells = [w for w in group.wells if w.melt_fluor is not None]
        if not wells:
            continue
        melts = [analyze_well(*_melt_readings(path, w), options) for w in wells]
        types = [w.sample_type for w in wells]
        product_heights(melts, types, [(amplified or {}).get((w.run, w.target, w.name)) for w in wells])
        melt_flags(melts, types, [w.target for w in wells])
        curves = [_melt_curve(path, w, m) for w, m in zip(wells, melts)]
        plates.append(MeltPlate(file=path, run=group.run, target=group.target, label=group.label, curves=curves,
                                given=[exclusion.given(w, requested) for w in wells]))
        resampled = [c for c in curves if c.summary.resampled]
        if resampled:
            notes.append(f"{group.label}: {len(resampled)} of {len(curves)} wells' readings resampled onto even "
                         f"steps (first: {resampled[0].well}: {resampled[0].summary.note})")
        without = [c for c in curves if c.problem]
        if without:
            warnings.append(f"{path}: {group.label}: {len(without)} of {len(curves)} wells not analysed "
                            f"(first: {without[0].well}: {without[0].problem})")
    if not plates:
        raise InputError(f"{path}: no melting data{f' for target {settings.target!r}' if settings.target else ''}")
    curves = [c for p in plates for c in p.curves]
    failed = [c for c in curves if c.problem]
    if len(failed) == len(curves):
        raise InputError(f"{path}: no peak in any of {len(curves)} wells ({len(failed)} could not be analysed) - "
                         f"{failed[0].well}: {failed[0].problem}")
    if not any(c.peaks for c in curves):
        warnings.append(f"{path}: no melting peak in any of {len(curves)} wells")
    exclusion.settle((), plates, settings.keep)
    return plates, warnings, notes


# -- the plain road: even readings, nothing chosen ------------------------------------------


@dataclass
class MeltResult:
    """Result of :func:`analyze_melt`.

    Attributes
    ----------
    grid : ndarray
        The temperature grid, ten times finer than the readings.
    derivative : ndarray
        -dF/dT on the grid.
    conditioned : ndarray
        The derivative smoothed and freed of its background: the curve the peaks were fitted to.
    tm, height, width : ndarray
        Centre (melting temperature), height and standard deviation of each fitted peak.
    fitted : ndarray
        The sum of the fitted Gaussians on the grid.
    """

    grid: np.ndarray
    derivative: np.ndarray
    conditioned: np.ndarray
    tm: np.ndarray
    height: np.ndarray
    width: np.ndarray
    fitted: np.ndarray


def analyze_melt(temperature, fluorescence, *, peak_width=0.5, smooth=0.25, min_height=0.10, fwhm=(0.3, 5.0)):
    """Melting peaks of one curve: -dF/dT, peak detection, multi-Gaussian fit, filter.

    Parameters
    ----------
    temperature, fluorescence : array_like
        The readings, temperatures ascending and evenly spaced.
    peak_width : float, default 0.5
        Expected standard deviation of a product peak, in degrees; sets where
        the initial width of a peak is judged.
    smooth : float, default 0.25
        Half-width in degrees of the moving average applied to -dF/dT. Uneven
        temperature steps leave a ripple in the derivative that splits one peak
        into two close maxima; a quarter degree merges them without shifting peaks.
    min_height : float, default 0.10
        Maxima, and fitted peaks, lower than this share of the tallest value
        are ripple or left-over background, not products.
    fwhm : (float, float), default (0.3, 5.0)
        Plausible full widths at half maximum of a product peak, in degrees.

    Returns
    -------
    MeltResult

    Raises
    ------
    ValueError
        For readings that are not numbers, temperatures that do not ascend (see
        :func:`even_grid` for readings as instruments write them), more than
        :data:`MAX_MELT_READINGS` readings (the smoothing's cost grows with the square of their
        number at a fixed span), or a parameter out of its range.
    """
    temperature, fluorescence = _even_readings(temperature, fluorescence)
    _melt_parameters(peak_width, smooth, min_height, fwhm)
    grid, derivative = core.melting(temperature, fluorescence)
    step = (grid[-1] - grid[0]) / (grid.size - 1)
    conditioned = core.melting_normalization(core.super_smooth(derivative, round(smooth / step)))
    floor = min_height * max(float(conditioned.max(initial=0.0)), 0.0)
    with core.MgfHandle(grid, conditioned, peak_width=peak_width) as handle, \
            handle.local_max_value_id() as maxima, \
            maxima.filter((floor, math.inf, 0.0)) as candidates:
        handle.solve(candidates)
        with candidates.filter((floor, fwhm[1], fwhm[0])) as peaks:
            height, tm, width = peaks.data()
            fitted = handle.multi_gauss(peaks)
    return MeltResult(grid, derivative, conditioned, tm, height, width, fitted)


#: Fewest readings the library's melting derivative takes.
MIN_DERIVATIVE_READINGS = 4


def _even_readings(temperature, fluorescence):
    """The readings of :func:`analyze_melt` as float arrays, refused in its terms where the library
    would name one of its own arguments or say nothing. Uneven steps are taken as they are: on
    readings as uneven as instruments write them (the bundled dye melt's 0.09 to 0.4 degree steps)
    the peaks still come out where they are."""
    t, f = (np.array(v, dtype=float).ravel() for v in (temperature, fluorescence))
    if t.size != f.size:
        raise ValueError(f"{t.size} temperatures but {f.size} fluorescence values")
    if t.size < MIN_DERIVATIVE_READINGS:
        raise ValueError(f"{_count(t.size, 'reading')}: the melting derivative needs at least "
                         f"{MIN_DERIVATIVE_READINGS}")
    if t.size > MAX_MELT_READINGS:
        raise ValueError(f"{t.size} readings: at most {MAX_MELT_READINGS} are analysed (the smoothing's cost grows "
                         f"with the square of their number); put them on a coarser grid with "
                         f"quelmar.analysis.melting.even_grid")
    for name, values in (("temperature", t), ("fluorescence", f)):
        bad = ~np.isfinite(values)
        if bad.any():
            k = int(np.argmax(bad))
            raise ValueError(f"{name} reading {k + 1} is not a finite number ({values[k]!r})")
    steps = np.diff(t)
    if not (steps > 0).all():
        k = int(np.argmax(steps <= 0))
        raise ValueError(f"temperatures must ascend, and {t[k + 1]:g} follows {t[k]:g} (reading {k + 2}); "
                         f"quelmar.analysis.melting.even_grid sorts readings and merges repeated temperatures")
    return t, f


def _melt_parameters(peak_width, smooth, min_height, fwhm):
    """The parameters of :func:`analyze_melt`, refused where the library would find no peak without a word."""
    def number(name, value):
        try:
            return float(value)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be a real number, not {value!r:.60}") from None
    peak_width, smooth, min_height = (number(n, v) for n, v in (("peak_width", peak_width), ("smooth", smooth),
                                                                ("min_height", min_height)))
    if not (math.isfinite(peak_width) and peak_width > 0):
        raise ValueError(f"peak_width must be a positive number of degrees, not {peak_width!r}")
    if not (math.isfinite(smooth) and smooth >= 0):
        raise ValueError(f"smooth must be zero or a positive number of degrees, not {smooth!r}")
    if not (math.isfinite(min_height) and 0 <= min_height < 1):
        raise ValueError(f"min_height must be a share from 0 up to 1, not {min_height!r}")
    try:
        low, high = (number("fwhm", v) for v in fwhm)
    except (TypeError, ValueError):
        raise TypeError(f"fwhm must be two numbers (narrowest, widest), not {fwhm!r:.60}") from None
    if not (math.isfinite(low) and low >= 0 and high > low):
        raise ValueError(f"fwhm must run from a width of zero or more to a wider one (infinity allowed), "
                         f"not {fwhm!r:.60}")
