"""The analyses a qPCR host runs, on numpy arrays: amplification, melting,
standard curves, replicate statistics and relative quantification."""
import math
from dataclasses import dataclass, field

import numpy as np

from . import core


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
        Readings of each well, in the analysis' working units (see :mod:`quelmar.units`).
    threshold : float, optional
        Read the linear Ct at this threshold instead of the plate threshold.
        The logistic fits, and so the sigmoid Ct, do not depend on it.
    records : ndarray of RECORD_DTYPE, optional
        Records of an earlier call, whose baseline windows are then reused. They
        are copied, not changed. Default: zeroed records (windows chosen afresh).

    Returns
    -------
    AmplificationResult
    """
    plate = np.array(curves, dtype=np.float64, order="C", ndmin=2)
    wells = plate.shape[0]
    records = core.new_records(wells) if records is None else np.array(records, dtype=core.RECORD_DTYPE)
    auto = core.calc_threshold(records, plate)
    used = auto if threshold is None else float(threshold)
    conditioned, ct_linear = core.linear_batch_calc_ct(records, used, plate)
    ct_sigmoid = core.sigmoid_batch_calc_ct(records)
    return AmplificationResult(used, auto, ct_linear[:wells], ct_sigmoid[:wells], conditioned, records)


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
    """
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


@dataclass
class StandardCurve:
    """A standard curve Ct = slope * log10(quantity) + intercept.

    Attributes
    ----------
    slope, intercept, r_squared, rms_residual : float
    efficiency : float
        Amplification efficiency in percent, (10^(-1/slope) - 1) * 100; NaN for a flat line.
    n : int
        Number of (quantity, Ct) pairs used.
    """

    slope: float
    intercept: float
    rms_residual: float
    r_squared: float
    efficiency: float
    n: int

    def quantity(self, ct):
        """Quantity read off the curve for a Ct (array_like)."""
        return 10.0 ** ((np.asarray(ct, dtype=float) - self.intercept) / self.slope)


def standard_curve(quantities, ct):
    """Fit the standard curve of wells with known quantities.

    Pairs whose Ct is not finite or whose quantity is not positive are left out.

    Parameters
    ----------
    quantities, ct : array_like
        One quantity and one Ct per well.

    Returns
    -------
    StandardCurve
    """
    q, c = np.asarray(quantities, dtype=float), np.asarray(ct, dtype=float)
    if q.shape != c.shape:
        raise ValueError("quantities and ct must have the same length")
    keep = np.isfinite(c) & np.isfinite(q) & (q > 0)
    slope, intercept, rms, r2 = core.calc_standard(np.log10(q[keep]), c[keep])
    # A flat line (equal Ct for every quantity) has no efficiency, and says so with NaN.
    efficiency = (10.0 ** (-1.0 / slope) - 1.0) * 100.0 if slope != 0.0 and math.isfinite(slope) else math.nan
    return StandardCurve(slope, intercept, rms, r2, float(efficiency), int(keep.sum()))


@dataclass
class ReplicateStats:
    """Replicate statistics of one sample (see :func:`replicate_statistics`).

    Attributes
    ----------
    value, sd, se : float
        Target minus combined reference (Ct values), or their ratio with SD and
        SE as factors (quantities).
    n : int
        Number of values read.
    target, reference : (mean, sd, se)
        The target and the combined reference genes.
    genes : list of (mean, sd, se)
        Each reference gene.
    summary : ndarray
        The library's full summary, to pass to :func:`relative_quantification`.
    """

    value: float
    sd: float
    se: float
    n: int
    target: tuple
    reference: tuple
    genes: list
    summary: np.ndarray


def replicate_statistics(target, references, *, kind="ct"):
    """Summarise the replicates of a target gene and its reference genes for one sample.

    Parameters
    ----------
    target : array_like
        Replicate values of the target gene.
    references : sequence of array_like
        Replicate values of each reference gene.
    kind : {"ct", "quantity"}, default "ct"
        Ct values are averaged; quantities are summarised on log10 with geometric means.

    Returns
    -------
    ReplicateStats
    """
    packed = [len(target), *target, len(references)]
    for gene in references:
        packed += [len(gene), *gene]
    s = core.calc_sd((_kind(kind),), packed)
    triple = lambda i: tuple(float(v) for v in s[i:i + 3])  # noqa: E731
    return ReplicateStats(float(s[0]), float(s[1]), float(s[2]), int(s[3]), triple(4), triple(7),
                          [triple(10 + 3 * j) for j in range(len(references))], s)


_CONFIDENCE = (0.95, 0.97, 0.99, 0.995, 0.997, 0.999)


def _kind(kind):
    if kind not in ("ct", "quantity"):
        raise ValueError("kind must be 'ct' or 'quantity'")
    return 1 if kind == "ct" else 2


def relative_quantification(sample, calibrator, *, kind="ct", error_bar="ci", confidence=0.95, sd_multiple=1):
    """Relative quantity of a sample against a calibrator, with error bounds.

    Parameters
    ----------
    sample, calibrator : ReplicateStats
        The sample's and the calibrator's statistics.
    kind : {"ct", "quantity"}, default "ct"
        Ct values give RQ = 2^-ddCt; quantities give the ratio of the two values.
    error_bar : {"ci", "sd"}, default "ci"
        A Student-t confidence interval, or ``sd_multiple`` standard deviations.
    confidence : float, default 0.95
        One of 0.95, 0.97, 0.99, 0.995, 0.997, 0.999.
    sd_multiple : int, default 1

    Returns
    -------
    RqResult
        Also readable by key (``r["rq"]``), as earlier versions returned a dict.
    """
    if confidence not in _CONFIDENCE:
        raise ValueError(f"confidence must be one of {_CONFIDENCE}")
    if error_bar not in ("ci", "sd"):
        raise ValueError("error_bar must be 'ci' or 'sd'")
    k = _kind(kind)
    options = (k, k, 1 if error_bar == "ci" else 2, _CONFIDENCE.index(confidence), int(sd_multiple))
    r = core.calc_rq(options, sample.summary, calibrator.value)
    return RqResult(*(float(v) for v in r))


@dataclass
class RqResult:
    """Result of :func:`relative_quantification`.

    Attributes
    ----------
    value, sd, se : float
        The sample's summary (delta Ct or ratio, with SD and SE).
    rq, lower, upper : float
        Relative quantity and its error bounds.
    ddct : float
        delta delta Ct (NaN for quantities).
    """

    value: float
    sd: float
    se: float
    rq: float
    lower: float
    upper: float
    ddct: float

    def __getitem__(self, key):
        return getattr(self, key)
