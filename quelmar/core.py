"""The thin layer: one function per export of libQuelmarAlg.

Arrays go in as anything numpy turns into float64 and come back as new numpy
arrays; the caller's arrays are never written, except the per-well records
(see :data:`RECORD_DTYPE`), which the amplification functions update in place
just as the C interface does. Arrays the library hands out are copied into
numpy and released at once. Peak sets and fit handles are objects with
``close()``, usable as context managers, and released by a finalizer when they
are garbage collected. A failed call raises a :class:`~quelmar.errors.QuelmarError`
subclass chosen by its result code.
"""
import weakref
from collections import Counter
from ctypes import byref, c_double, c_int32, c_size_t, c_void_p, POINTER

import numpy as np

from . import _lib
from .errors import from_code

LIB, LIBRARY_PATH = _lib.load()

#: The 144-byte ``FittingResult`` record of the amplification exports.
RECORD_DTYPE = np.dtype({
    "names": ["max_slope_index", "amplification_ratio", "reserved0", "baseline_step", "max_corrected_slope",
              "reserved1", "third_value", "raw_max", "reserved2", "reserved3", "baseline_slope", "reserved4",
              "baseline_start", "baseline_end", "reserved5", "sigmoid_amplitude", "sigmoid_midpoint",
              "sigmoid_steepness", "baseline_sd", "low_signal", "no_growth", "reserved6"],
    "formats": ["<f8"] * 12 + ["<i2"] * 3 + ["<f8"] * 4 + ["u1", "u1", ("u1", 6)],
    "offsets": [8 * k for k in range(12)] + [96, 98, 100, 104, 112, 120, 128, 136, 137, 138],
    "itemsize": 144,
})

_DP = POINTER(c_double)

#: Library objects alive per kind; a test looks here for leaks.
live_objects = Counter()


def _check(code):
    if code != 0:
        raise from_code(code, LIB.get_last_error())


def _in(values):
    """A contiguous float64 copy of values (1-D) and its pointer."""
    a = np.array(values, dtype=np.float64, order="C").ravel()
    return a, a.ctypes.data_as(_DP)


def _out(n):
    a = np.empty(n, dtype=np.float64)
    return a, a.ctypes.data_as(_DP)


def _take(pointer, count):
    """Copy an array the library handed out, then give it back."""
    try:
        return np.ctypeslib.as_array(pointer, (count.value,)).copy() if pointer and count.value else np.empty(0)
    finally:
        LIB.alg_darray_release(byref(pointer))


def new_records(wells):
    """Zeroed records, one per well: every baseline is then chosen afresh."""
    return np.zeros(wells, dtype=RECORD_DTYPE)


def _records(records, wells):
    if not isinstance(records, np.ndarray) or records.dtype != RECORD_DTYPE or not records.flags.c_contiguous:
        raise TypeError("records must be a C-contiguous array of RECORD_DTYPE (see new_records)")
    if records.ndim != 1 or records.size < wells:
        raise ValueError(f"records must be one-dimensional with at least {wells} entries")
    return records.ctypes.data_as(c_void_p)


def _plate(plate):
    p = np.array(plate, dtype=np.float64, order="C", ndmin=2)
    if p.ndim != 2:
        raise ValueError("plate must be a wells x cycles array")
    return p, p.ctypes.data_as(_DP)


# -- frame ---------------------------------------------------------------

def last_error():
    """The raw GBK bytes of the last failed call's message (``b""`` after a success)."""
    return LIB.get_last_error()


def version():
    """The library's version string."""
    return LIB.version().decode("ascii")


def test_fitting_result(record):
    """Run the layout probe on one record (a RECORD_DTYPE array of size 1), in place.

    Returns
    -------
    int
        0 when every probed field held its expected value, 10 at the first that did not.
    """
    return LIB.test_fitting_result(_records(record, 1))


# -- smoothing and fitting -------------------------------------------------

def sample_data_fitting(data):
    """Value of the least-squares parabola through ``data`` (at x = 1..n) at its vertex, see the header."""
    a, p = _in(data)
    result = c_double()
    _check(LIB.alg_sample_data_fitting(p, a.size, byref(result)))
    return result.value


def run_smooth(data):
    """Three passes of the five-point running smooth; returns a new array."""
    a, p = _in(data)
    _check(LIB.alg_run_smooth(p, a.size))
    return a


def super_smooth(data, half_window):
    """Centred moving average over +-half_window samples; returns a new array."""
    a, p = _in(data)
    _check(LIB.alg_super_smooth(p, a.size, int(half_window)))
    return a


def increasing(start, step, length):
    """The arithmetic sequence start, start + step, ... of ``length`` running sums."""
    out, p = _out(length)
    _check(LIB.alg_increasing(start, step, length, p))
    return out


# -- amplification ----------------------------------------------------------

def sigmoid(params, x):
    """The logistic A / (1 + exp(-k (x - x0))) at ``x``, with params = (A, x0, k)."""
    par, pp = _in(params)
    if par.size < 3:
        raise ValueError("params must hold A, x0 and k")
    values, pv = _in(x)
    _check(LIB.alg_sigmoid(pp, pv, values.size))
    return values


def sigmoid_batch_calc_ct(records):
    """Sigmoid Ct of every record from its fitted logistic (NaN for implausible fits)."""
    pr = _records(records, 0)
    ct, pc = _out(records.size)
    _check(LIB.alg_sigmoid_batch_calc_ct(pr, records.size, 0, pc))
    return ct


def calc_threshold(records, plate):
    """The plate threshold; fills the records (updated in place, also on failure up to the failing well).

    Parameters
    ----------
    records : ndarray of RECORD_DTYPE
        At least one per well.
    plate : array_like, wells x cycles
        One curve per row.

    Returns
    -------
    float
    """
    p, pp = _plate(plate)
    pr = _records(records, p.shape[0])
    threshold = c_double()
    _check(LIB.alg_calc_threshold(pr, records.size, pp, p.shape[0], p.shape[1], byref(threshold)))
    return threshold.value


def linear_batch_calc_ct(records, threshold, plate):
    """Linear Ct of every well at ``threshold``, and the conditioned curves.

    Returns
    -------
    curves : ndarray, wells x cycles
        The conditioned curves (the library's cycle-major output, transposed).
    ct : ndarray
        One Ct per record, NaN without a crossing.
    """
    p, pp = _plate(plate)
    pr = _records(records, p.shape[0])
    curves, pcurves = _out(p.size)
    ct, pc = _out(records.size)
    _check(LIB.alg_linear_batch_calc_ct(pr, records.size, threshold, pp, p.shape[0], p.shape[1], pcurves, pc))
    return curves.reshape(p.shape[1], p.shape[0]).T.copy(), ct


# -- interpolation -------------------------------------------------------------

def cubic_interpolation(x, y, xq):
    """Natural cubic spline through (x, y), evaluated at ``xq``."""
    xa, px = _in(x)
    ya, py = _in(y)
    if xa.size != ya.size:
        raise ValueError("x and y must have the same length")
    qa, pq = _in(xq)
    yq, pyq = _out(qa.size)
    _check(LIB.alg_cubic_interpolation(px, py, xa.size, pq, pyq, qa.size))
    return yq


def interpolation_x(x, factor):
    """Evenly spaced grid from x[0] to x[-1] with ``factor`` - 1 extra points per interval."""
    xa, px = _in(x)
    out, po = _out(max(xa.size - 1, 0) * factor + 1)
    _check(LIB.alg_interpolation_x(px, xa.size, factor, po))
    return out


# -- melting -----------------------------------------------------------------

def melting(temperature, fluorescence):
    """-dF/dT on a grid ten times finer.

    Returns
    -------
    grid, derivative : ndarray
    """
    t, pt = _in(temperature)
    f, pf = _in(fluorescence)
    if t.size != f.size:
        raise ValueError("temperature and fluorescence must have the same length")
    count, grid, derivative = c_size_t(), _DP(), _DP()
    _check(LIB.alg_melting(t.size, pt, pf, byref(count), byref(grid), byref(derivative)))
    return _take(grid, count), _take(derivative, count)


def melting_normalization(values):
    """Background removal of a melting curve; returns a new array."""
    a, p = _in(values)
    _check(LIB.alg_melting_normalization(p, a.size))
    return a


# -- peak decomposition ----------------------------------------------------------

class _Object:
    """A library object owned through a handle variable, released exactly once."""

    _kind = None

    def __init__(self, handle):
        self._handle = handle
        live_objects[self._kind] += 1
        self._finalizer = weakref.finalize(self, type(self)._release, handle)

    @classmethod
    def _release(cls, handle):
        getattr(LIB, cls._RELEASE)(byref(handle))
        live_objects[cls._kind] -= 1

    @property
    def closed(self):
        return not self._handle

    def close(self):
        """Release the library object now (harmless when already released)."""
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def handle(self):
        if not self._handle:
            raise ValueError(f"{self._kind} is already released")
        return self._handle


def _new_set(create):
    handle = c_void_p()
    _check(create(byref(handle)))
    return GaussCoeff(_handle=handle)


class GaussCoeff(_Object):
    """A set of Gaussian peaks (heights, centres, widths) owned by the library.

    Parameters
    ----------
    heights, centres, widths : array_like, optional
        Initial fields; the set starts empty without them.
    """

    _kind, _RELEASE = "GaussCoeff", "alg_gausscoeff_release"

    def __init__(self, heights=(), centres=(), widths=(), *, _handle=None):
        if _handle is None:
            _handle = c_void_p()
            _check(LIB.alg_create_gausscoeff(byref(_handle)))
        super().__init__(_handle)
        if len(heights) or len(centres) or len(widths):
            self.set_data(heights, centres, widths)

    def set_data(self, heights, centres, widths):
        """Replace the three fields with copies of the given arrays (lengths may differ)."""
        (h, ph), (c, pc), (w, pw) = _in(heights), _in(centres), _in(widths)
        _check(LIB.alg_set_gausscoeff_data(self.handle, h.size, ph, c.size, pc, w.size, pw))

    def data(self):
        """Copies of the fields.

        Returns
        -------
        heights, centres, widths : ndarray
        """
        counts = [c_size_t() for _ in range(3)]
        arrays = [_DP() for _ in range(3)]
        _check(LIB.alg_get_gausscoeff_data(self.handle, *(byref(v) for pair in zip(counts, arrays) for v in pair)))
        return tuple(_take(a, n) for a, n in zip(arrays, counts))

    def filter(self, limits):
        """A new set of the peaks with height > limits[0] and limits[2] <= FWHM <= limits[1]."""
        return coeff_filter(limits, self)


class MgfHandle(_Object):
    """A fit handle over a melting peak curve (temperatures ``x``, values ``y``).

    Parameters
    ----------
    x, y : array_like
    peak_width : float, default 0.5
        Expected width of a melting peak in degrees (the only option read).
    options : sequence of 5 floats, optional
        All five MgfOptions fields; overrides ``peak_width``.
    """

    _kind, _RELEASE = "MgfHandle", "alg_mgf_release"

    def __init__(self, x, y, *, peak_width=0.5, options=None):
        (xa, px), (ya, py) = _in(x), _in(y)
        opts, po = _in(options if options is not None else (0.0, 0.0, peak_width, 0.0, 0.0))
        if opts.size != 5:
            raise ValueError("options must hold five values")
        handle = c_void_p()
        _check(LIB.alg_mgf_create(px, xa.size, py, ya.size, po, byref(handle)))
        super().__init__(handle)

    def multi_gauss(self, peaks):
        """The sum of the set's Gaussians at every temperature of the handle."""
        count, values = c_size_t(), _DP()
        _check(LIB.alg_mgf_multi_gauss(self.handle, peaks.handle, byref(values), byref(count)))
        return _take(values, count)

    def solve(self, peaks):
        """Refine the set in place by the damped least-squares fit to the handle's curve."""
        _check(LIB.alg_mgf_solve(self.handle, peaks.handle))

    def local_max_value_id(self):
        """Initial peaks of the handle's curve, as a new :class:`GaussCoeff`."""
        return _new_set(lambda out: LIB.alg_mgf_local_max_value_id(self.handle, out))

    def melting_stim_peak(self, peaks, background):
        """Synthetic melting curve at the peak centres over ``background`` (level, midpoint, steepness)."""
        bg, pb = _in(background)
        count, values = c_size_t(), _DP()
        _check(LIB.alg_mgf_melting_stim_peak(self.handle, peaks.handle, pb, byref(values), byref(count)))
        return _take(values, count)

    def melting_stimulate(self, peaks):
        """Synthetic melting curve on the handle's temperatures.

        Returns
        -------
        background : ndarray of 3
        values : ndarray
        """
        bg, pb = _out(3)
        count, values = c_size_t(), _DP()
        _check(LIB.alg_mgf_melting_stimulate(self.handle, peaks.handle, pb, byref(values), byref(count)))
        return bg, _take(values, count)


def mgf_local_max_value_id_origin(x, y):
    """Initial peaks of a raw curve, all of width 1.7, as a new :class:`GaussCoeff`."""
    (xa, px), (ya, py) = _in(x), _in(y)
    return _new_set(lambda out: LIB.alg_mgf_local_max_value_id_origin(px, xa.size, py, ya.size, out))


def coeff_filter(limits, peaks):
    """A new :class:`GaussCoeff` of the peaks within ``limits`` = (min height, max FWHM, min FWHM)."""
    lim, pl = _in(limits)
    if lim.size < 3:
        raise ValueError("limits must hold three values")
    return _new_set(lambda out: LIB.alg_mgf_coeff_filter(pl, peaks.handle, out))


# -- statistics -----------------------------------------------------------------

def _options(options):
    o = np.zeros(5, dtype=np.int32)
    o[:len(options)] = options
    return o, o.ctypes.data_as(POINTER(c_int32))


def calc_sd(options, data):
    """Replicate statistics of packed data (see the header); ``options`` = RqOptions as up to 5 ints."""
    o, po = _options(options)
    d, pd = _in(data)
    count, values = c_size_t(), _DP()
    _check(LIB.alg_calc_sd(po, pd, d.size, byref(values), byref(count)))
    return _take(values, count)


def calc_rq(options, summary, calibrator):
    """Relative quantity from a summary of alg_calc_sd and a calibrator value.

    Returns
    -------
    ndarray of 7
        value, SD, SE, RQ, lower, upper, ddCt (NaN where the library writes nothing).
    """
    o, po = _options(options)
    s, ps = _in(summary)
    out, pout = _out(7)
    out[:] = np.nan
    _check(LIB.alg_calc_rq(po, ps, s.size, calibrator, pout))
    return out


def calc_standard(x, y):
    """Least-squares line y = slope x + intercept: returns (slope, intercept, rms residual, R squared)."""
    (xa, px), (ya, py) = _in(x), _in(y)
    out, pout = _out(4)
    _check(LIB.alg_calc_standard(px, xa.size, py, ya.size, pout))
    return tuple(float(v) for v in out)
