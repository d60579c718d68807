"""PCR efficiency of each well from the log-linear phase of its curve.

In the exponential phase every cycle multiplies the product by the same
factor E (2 for a perfect doubling), so log10 of the baseline-corrected
readings rises on a straight line of slope log10(E). The window of linearity
(Ramakers et al. 2003, Neurosci Lett 339:62; Ruijter et al. 2009, Nucleic
Acids Res 37:e45) is the run of consecutive readings on which that line holds
best: here every run of 4 to 6 consecutive cycles that

- ends no later than the steepest rise of the curve (past it the reaction
  slows down and the slope falls), and
- lies wholly above a floor of 3 % of the reading at the steepest rise
  (lower down, what is left after subtracting the baseline is mostly noise,
  which on a log scale bends the line),

is fitted by least squares, and the window with the highest R² wins (a
longer one on a tie). E = 10^slope.

The readings are the raw ones minus the well's baseline, the median of the
readings in the baseline window the library chose (its record's
``baseline_start`` to ``baseline_end``). The library's conditioned curve is not
used: it replaces the baseline cycles by a synthetic doubling ramp and
smooths the rest, either of which would bias the slope.

Everything runs on whole plates at once (one pass per window length and
start), so the cost is linear in wells and cycles.
"""
import numpy as np

WINDOW_POINTS = (4, 5, 6)
FLOOR_SHARE = 0.03


def baselines(readings, start, end):
    """Median of each well's readings from cycle index start - 1 to end - 1 (1-based, inclusive).

    NaN for a well whose window is empty or out of range.
    """
    readings = np.asarray(readings, dtype=float)
    wells, cycles = readings.shape
    index = np.arange(cycles)
    start = np.asarray(start, dtype=np.int64) - 1
    end = np.asarray(end, dtype=np.int64) - 1
    inside = (index >= start[:, None]) & (index <= end[:, None])
    values = np.where(inside, readings, np.nan)
    out = np.full(wells, np.nan)
    some = inside.any(axis=1)
    if some.any():
        out[some] = np.nanmedian(values[some], axis=1)
    return out


def well_efficiencies(readings, baseline, usable=None):
    """Per-well PCR efficiency from the window of linearity (see the module docstring).

    Parameters
    ----------
    readings : array_like, wells x cycles
        Readings in ascending cycle order, one cycle apart.
    baseline : array_like
        Each well's baseline level (same units).
    usable : array_like of bool, optional
        Wells to analyse (others get NaN): those that amplified.

    Returns
    -------
    ndarray
        E per well, NaN where no window qualifies.
    """
    raw = np.asarray(readings, dtype=float)
    wells, cycles = raw.shape
    result = np.full(wells, np.nan)
    if cycles < min(WINDOW_POINTS) + 1 or wells == 0:
        return result
    y = raw - np.asarray(baseline, dtype=float)[:, None]
    top = np.argmax(np.diff(raw, axis=1), axis=1) + 1  # upper reading of the steepest rise
    floor = FLOOR_SHARE * y[np.arange(wells), top]
    ok_wells = np.isfinite(floor) & (floor > 0)
    if usable is not None:
        ok_wells &= np.asarray(usable, dtype=bool)
    valid = ok_wells[:, None] & np.isfinite(y) & (y > floor[:, None])
    ly = np.log10(np.where(valid, y, 1.0))
    # Running sums with a leading zero: the sum over readings a .. b-1 is c[:, b] - c[:, a].
    zero = np.zeros((wells, 1))
    bad = np.concatenate([zero, np.cumsum(~valid, axis=1)], axis=1)
    sum_y = np.concatenate([zero, np.cumsum(ly, axis=1)], axis=1)
    sum_yy = np.concatenate([zero, np.cumsum(ly * ly, axis=1)], axis=1)
    sum_iy = np.concatenate([zero, np.cumsum(ly * np.arange(cycles), axis=1)], axis=1)
    best_r2 = np.full(wells, -np.inf)
    best_slope = np.full(wells, np.nan)
    for n in WINDOW_POINTS:
        # Within a window x runs 0 .. n-1; the slope does not depend on where x starts.
        sx, sxx = n * (n - 1) / 2.0, (n - 1) * n * (2 * n - 1) / 6.0
        ssxx = sxx - sx * sx / n
        for s in range(cycles - n + 1):
            e = s + n
            clean = (bad[:, e] - bad[:, s] == 0) & (e - 1 <= top)
            if not clean.any():
                continue
            sy = sum_y[:, e] - sum_y[:, s]
            sxy = sum_iy[:, e] - sum_iy[:, s] - s * sy
            ssxy = sxy - sx * sy / n
            ssyy = sum_yy[:, e] - sum_yy[:, s] - sy * sy / n
            slope = ssxy / ssxx
            with np.errstate(divide="ignore", invalid="ignore"):
                r2 = np.where(ssyy > 0, ssxy * ssxy / (ssxx * ssyy), 0.0)
            better = clean & (slope > 0) & (r2 >= best_r2)
            best_r2 = np.where(better, r2, best_r2)
            best_slope = np.where(better, slope, best_slope)
    found = np.isfinite(best_slope)
    result[found] = 10.0 ** best_slope[found]
    return result


def target_efficiency(efficiency, outlier):
    """Mean efficiency of a target's wells, leaving out NaN and the outliers (NaN when none is left)."""
    e = np.asarray(efficiency, dtype=float)
    keep = np.isfinite(e) & ~np.asarray(outlier, dtype=bool)
    return float(e[keep].mean()) if keep.any() else float("nan")
