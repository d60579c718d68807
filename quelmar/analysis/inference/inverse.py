"""Unknowns read off a standard curve with a confidence interval (inverse
prediction, as in Draper and Smith, Applied Regression Analysis, 3rd ed.,
section 3.2).

The line Cq = a + b x (x = log10 quantity) is fitted to the n standards by
least squares; s^2 = SSE / (n - 2). An unknown measured in k wells with mean
Cq y0 lies at x0 = (y0 - a) / b. Its interval holds every x whose predicted
Cq is compatible with y0:
(y0 - a - b x)^2 <= t^2 s^2 (1/k + 1/n + (x - xbar)^2 / Sxx), with t the
two-sided Student-t critical value on n - 2 degrees of freedom. With
g = t^2 s^2 / (b^2 Sxx) < 1 the bounds are
xbar + (x0 - xbar) / (1 - g) +/- t s / (|b| (1 - g)) sqrt((x0 - xbar)^2 / Sxx + (1 - g)(1/k + 1/n));
with g >= 1 the slope is not told from zero at this level and there is no
bounded interval. The interval is not symmetric about x0, and widens as y0
moves away from the standards' mean.
"""
import math
from dataclasses import dataclass

from . import distributions as dist

#: A line needs three standards for a residual variance.
MIN_STANDARDS = 3
LEVEL = 0.95


class CalibrationLineError(ValueError):
    """The standards cannot give a line with a residual variance."""


@dataclass
class Line:
    """A least-squares line Cq = intercept + slope * x with what inverse prediction needs."""

    slope: float
    intercept: float
    n: int
    x_mean: float
    sxx: float
    s: float
    x_range: tuple
    y_range: tuple


def fit_line(x, y):
    """Least-squares line of y on x (exact sums; at least three points and two distinct x)."""
    x, y = [float(v) for v in x], [float(v) for v in y]
    if len(x) != len(y):
        raise CalibrationLineError("one Cq per quantity")
    n = len(x)
    if n < MIN_STANDARDS:
        raise CalibrationLineError(f"{n} standards: an interval needs at least {MIN_STANDARDS}")
    xm, ym = math.fsum(x) / n, math.fsum(y) / n
    sxx = math.fsum((v - xm) * (v - xm) for v in x)
    if not sxx > 0.0:
        raise CalibrationLineError("the standards have one quantity only")
    sxy = math.fsum((u - xm) * (v - ym) for u, v in zip(x, y))
    slope = sxy / sxx
    intercept = ym - slope * xm
    sse = math.fsum((v - intercept - slope * u) * (v - intercept - slope * u) for u, v in zip(x, y))
    return Line(slope, intercept, n, xm, sxx, math.sqrt(sse / (n - 2)), (min(x), max(x)), (min(y), max(y)))


def line_through(x, y, slope, intercept):
    """The :class:`Line` of a fit made elsewhere (the library's), with its residual scatter from these points."""
    x, y = [float(v) for v in x], [float(v) for v in y]
    n = len(x)
    if n < MIN_STANDARDS:
        raise CalibrationLineError(f"{n} standards: an interval needs at least {MIN_STANDARDS}")
    xm = math.fsum(x) / n
    sxx = math.fsum((v - xm) * (v - xm) for v in x)
    if not sxx > 0.0:
        raise CalibrationLineError("the standards have one quantity only")
    residuals = [v - intercept - slope * u for u, v in zip(x, y)]
    s = math.sqrt(math.fsum(e * e for e in residuals) / (n - 2))
    return Line(slope, intercept, n, xm, sxx, s, (min(x), max(x)), (min(y), max(y)))


@dataclass
class Prediction:
    """An unknown's position on the line.

    Attributes
    ----------
    x, low, high : float
        log10 quantity and its interval (NaN bounds when the interval is unbounded).
    k : int
        Wells averaged.
    inside : bool
        Whether x lies within the standards' range of x.
    """

    x: float
    low: float
    high: float
    k: int
    inside: bool

    @property
    def quantity(self):
        return dist.pow10(self.x)

    @property
    def interval(self):
        return dist.pow10(self.low), dist.pow10(self.high)


def predict(line, cq, level=LEVEL):
    """The log10 quantity of an unknown from its wells' Cq values (their mean), with its interval."""
    values = [float(v) for v in cq if math.isfinite(v)]
    if not values:
        raise CalibrationLineError("the unknown has no Cq")
    if line.slope == 0.0:
        raise CalibrationLineError("the line is flat")
    k = len(values)
    y0 = math.fsum(values) / k
    x0 = (y0 - line.intercept) / line.slope
    inside = line.x_range[0] <= x0 <= line.x_range[1]
    if line.n < MIN_STANDARDS or not math.isfinite(line.s):
        return Prediction(x0, math.nan, math.nan, k, inside)  # no residual variance: no interval
    t = dist.t_quantile(level, line.n - 2)
    ts = t * line.s
    g = ts * ts / (line.slope * line.slope * line.sxx)
    if not g < 1.0:
        return Prediction(x0, math.nan, math.nan, k, inside)
    base = 1.0 / k + 1.0 / line.n
    centre = line.x_mean + (x0 - line.x_mean) / (1.0 - g)
    dx = x0 - line.x_mean
    half = ts / (abs(line.slope) * (1.0 - g)) * math.sqrt(dx * dx / line.sxx + (1.0 - g) * base)
    return Prediction(x0, centre - half, centre + half, k, inside)
