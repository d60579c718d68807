"""The library's statistics on numpy arrays: standard curves, replicate
statistics and relative quantification."""
import math
from dataclasses import dataclass

import numpy as np

from ..binding import core


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

    Raises
    ------
    ValueError
        For a value that is not a finite number (a well without a Ct is left out, not passed as
        NaN), or a quantity that is not positive.
    """
    kind_code = _kind(kind)
    target = _replicates(target, "target", kind)
    references = [_replicates(gene, f"reference gene {j + 1}", kind) for j, gene in enumerate(references)]
    packed = [len(target), *target, len(references)]
    for gene in references:
        packed += [len(gene), *gene]
    s = core.calc_sd((kind_code,), packed)
    triple = lambda i: tuple(float(v) for v in s[i:i + 3])  # noqa: E731
    return ReplicateStats(float(s[0]), float(s[1]), float(s[2]), int(s[3]), triple(4), triple(7),
                          [triple(10 + 3 * j) for j in range(len(references))], s)


def _replicates(values, name, kind):
    """One gene's values as floats; the library would average a NaN into every statistic."""
    values = np.array(values, dtype=float).ravel()
    bad = ~np.isfinite(values) | ((values <= 0) if kind == "quantity" else False)
    if bad.any():
        k = int(np.argmax(bad))
        what = "a positive number" if kind == "quantity" else "a finite number (leave out a well without a Ct)"
        raise ValueError(f"{name}: value {k + 1} is not {what}: {values[k]!r}")
    return values.tolist()


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
