#!/usr/bin/python3
"""The melt road of bench/road_inputs.h done with numpy and SciPy, timed per well.

The peer a Python developer would write for the same job, on the same
synthetic well (71 readings every 0.5 degree from 60 to 95, two logistic
transitions at 78 and 86 degrees):

- -dF/dT as the library forms it, vectorised: the 7-weight kernel filter,
  SciPy's natural cubic spline onto a grid ten times finer, the filter again,
  central differences, negation, the filter a third time, the scale to
  degrees, the straight line over the first five degrees and the 61-point
  moving average;
- the strict local maxima of -dF/dT (scipy.signal.find_peaks) with the
  library's width estimate from the curve 1.3 window widths away;
- the sum of Gaussians fitted by scipy.optimize.least_squares with
  method="lm" (MINPACK's Levenberg-Marquardt) from those starting values,
  its Jacobian by finite differences (MINPACK's forward differences: one
  evaluation per parameter where the library takes two), the residual
  evaluated by numpy for all peaks and points at once, and tolerances of
  1e-6 like the library's;
- the filter: height above 0, full width at half maximum 0.5 to 5 degrees.

The timed part starts from the readings in numpy arrays and ends with the
kept peaks, as bench_roads times the library from the readings in memory to
the kept coefficients; imports and interpreter start are not timed. numpy's
threads are held to one (the library runs on one thread). Each figure is the
median over rounds of the thread's CPU time per well, the clock bench_roads
reads.

    melting_scipy.py [--seconds S] [--json]
"""
import argparse
import json
import os
import sys
import time

for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import numpy as np  # noqa: E402
import scipy  # noqa: E402
from scipy.interpolate import CubicSpline  # noqa: E402
from scipy.optimize import least_squares  # noqa: E402
from scipy.signal import find_peaks  # noqa: E402

MELT_KERNEL = np.array([0.05, 0.15, 0.2, 0.3, 0.2, 0.15, 0.05])
GRID_FACTOR = 10
START_SPAN = 5.0  # degrees replaced by a straight line
START_HALF_WINDOW = 30  # fine grid points either side
PEAK_WIDTH = 1.0
WINDOW_SCALE = 1.3
FWHM_FACTOR = 2.3548
FILTER = (0.0, 5.0, 0.5)  # min height, max FWHM, min FWHM
TOLERANCE = 1e-6
ROUND_SECONDS = 0.05
FEWEST_ROUNDS = 5


def synthetic_well():
    t = 60.0 + 0.5 * np.arange(71)
    f = 200.0 + 600.0 / (1.0 + np.exp((t - 78.0) / 0.8)) + 400.0 / (1.0 + np.exp((t - 86.0) / 0.9))
    return t, f


def kernel_filter(d):
    """The padded 7-weight correlation of the library's melting filter."""
    h = len(MELT_KERNEL) // 2
    left = max(d[h - 1], d[:h].mean())
    right = max(d[-1], d[len(d) - 2 * h:len(d) - h].mean())
    padded = np.concatenate((np.full(h, left), d, np.full(h + 1, right)))
    return np.correlate(padded, MELT_KERNEL, mode="valid")[:len(d)]


def moving_average(v, w):
    c = np.concatenate(([0.0], np.cumsum(v)))
    i = np.arange(len(v))
    lo = np.maximum(i - w, 0)
    hi = np.minimum(i + w + 1, len(v))
    return (c[hi] - c[lo]) / (hi - lo)


def melting_derivative(t, f):
    f1 = kernel_filter(f)
    grid = np.linspace(t[0], t[-1], GRID_FACTOR * len(t) - GRID_FACTOR + 1)
    r = kernel_filter(CubicSpline(t, f1, bc_type="natural")(grid))
    d = np.empty_like(r)
    d[1:-1] = (r[2:] - r[:-2]) * 0.5
    d[0], d[-1] = d[1], d[-2]
    d = kernel_filter(-d) * (GRID_FACTOR / (t[3] - t[2]))
    step = (t[3] - t[2]) / GRID_FACTOR
    k = int(START_SPAN / step)
    start = (d[:k].mean() + d[k]) * 0.5
    d[:k] = np.arange(k) * (step * (d[k] - start) / START_SPAN) + start
    return grid, moving_average(d, START_HALF_WINDOW)


def starting_peaks(x, y):
    idx, _ = find_peaks(y)
    w = int(PEAK_WIDTH * WINDOW_SCALE / (x[3] - x[2]))
    params = []
    for i in idx:
        a, b = y[i], x[i]
        lo, hi = i - w, i + w
        if lo <= 0:
            r, d = y[hi], x[hi] - x[i]
        else:
            d = x[i] - x[lo]
            r = (y[hi] + y[lo]) * 0.5 if hi < len(x) else y[lo]
        if r < 1e-8:
            r = 0.6
        if r > a:
            r = a * 0.8
        sigma = d / np.sqrt(abs(np.log(abs(r / a)) * -2.0)) or 1.6
        params += [a, b, sigma]
    return np.array(params)


def residual(p, x, y):
    a, b, c = p[0::3, None], p[1::3, None], p[2::3, None]
    return (a * np.exp(-((x - b) ** 2) / (2.0 * c * c))).sum(axis=0) - y


def melt_road(t, f):
    """Readings to kept peaks: (centres, evaluations of the residual)."""
    x, y = melting_derivative(t, f)
    p0 = starting_peaks(x, y)
    fit = least_squares(residual, p0, method="lm", args=(x, y), xtol=TOLERANCE, ftol=TOLERANCE, gtol=TOLERANCE)
    a, b, c = fit.x[0::3], fit.x[1::3], fit.x[2::3]
    fwhm = c * FWHM_FACTOR
    keep = (a > FILTER[0]) & (FILTER[1] >= fwhm) & (fwhm >= FILTER[2])
    return b[keep], fit.nfev


def time_road(seconds):
    t, f = synthetic_well()
    clock = time.thread_time
    start = clock()
    melt_road(t, f)
    once = max(clock() - start, 1e-7)
    repeats = max(1, int(ROUND_SECONDS / once))
    times = []
    begun = clock()
    while len(times) < FEWEST_ROUNDS or clock() - begun < seconds:
        start = clock()
        for _ in range(repeats):
            melt_road(t, f)
        times.append((clock() - start) / repeats)
    times.sort()
    return times[len(times) // 2], len(times), repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="timing budget (default 3)")
    parser.add_argument("--json", action="store_true", help="one JSON object instead of text")
    args = parser.parse_args()
    centres, nfev = melt_road(*synthetic_well())
    seconds, rounds, repeats = time_road(args.seconds)
    found = "%d peaks at %s" % (len(centres), " ".join("%.3f" % c for c in centres))
    versions = "numpy %s, SciPy %s" % (np.__version__, scipy.__version__)
    if args.json:
        print(json.dumps({"seconds": seconds, "rounds": rounds, "repeats": repeats, "found": found,
                          "evaluations": int(nfev), "versions": versions}))
    else:
        print("melt road, SciPy peer (%s): median thread CPU time per well over %d rounds of %d" %
              (versions, rounds, repeats))
        print("  %-12s %10.3f us  %s, %d residual evaluations" % ("scipy", seconds * 1e6, found, nfev))
    return 0


if __name__ == "__main__":
    sys.exit(main())
