"""The thin layer: one function per export of libQuelmarAlg.

Arrays go in as anything numpy turns into float64 and come back as new numpy
arrays. Every array handed to the library is a private C-contiguous float64
copy whose length is the one passed with it, so no length the library reads
can run past the caller's data, and the caller's arrays are never written
through, read-only or not. The per-well records (see :data:`RECORD_DTYPE`),
which the amplification functions update, are copied in, and copied back into
the caller's array only when the call succeeds: a failed call leaves them as
they were, and a read-only record array is refused. Arrays the library hands
out are copied into numpy and released at once. Peak sets and fit handles are
objects with ``close()``, usable as context managers, and released by a
finalizer when they are garbage collected.

The library is loaded by the first call (see :mod:`quelmar.binding._lib`).
A failed call raises a :class:`~quelmar.common.errors.QuelmarError` subclass chosen by
its result code, carrying the library's message for that call: the message is
kept in one place for the whole library, so every call and the reading of its
message happen under one lock. Bad arguments raise TypeError or ValueError
before any call.
"""
import operator
import threading
import weakref
from collections import Counter
from ctypes import byref, c_double, c_int32, c_size_t, c_void_p, POINTER

import numpy as np

from ..common.errors import LibraryFailure, from_code
from . import _lib


def __getattr__(name):
    """``LIB`` (the ctypes library) and ``LIBRARY_PATH`` (where it was found), loaded on first use."""
    if name == "LIB":
        return _lib.library()
    if name == "LIBRARY_PATH":
        return _lib.library_path()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

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
SIZE_MAX = 2 ** (8 * np.dtype(np.uintp).itemsize) - 1
INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1

#: Library objects alive per kind; a test looks here for leaks.
live_objects = Counter()

# One lock for every library call: the last-error text is the library's one
# shared message. Reentrant, so that a finalizer run by the garbage collector
# inside a call can take it; such a release is put off until the call's
# message has been read (a release resets the message).
_LOCK = threading.RLock()
_state = threading.local()
_deferred = []


def _call(function, *args):
    """Call an export under the lock and raise for a failure with its own message.

    Library objects among ``args`` are passed as their handles, read under the
    lock so that no other thread can release them in between.
    """
    with _LOCK:
        _state.busy = True
        try:
            code = function(*(a.handle if isinstance(a, _Object) else a for a in args))
            raw = _lib.library().get_last_error() if code != 0 else None
        finally:
            _state.busy = False
            _release_deferred()
    if code != 0:
        raise from_code(code, raw)


def _release_deferred():
    while _deferred:
        cls, handle = _deferred.pop()
        cls._release_now(handle)


def _real(value, name):
    """A float from a number; TypeError for anything else."""
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, not {value!r:.60}") from None


def _count(value, name, low=0, high=SIZE_MAX):
    """An integer within [low, high]; TypeError for a non-integer, ValueError out of range."""
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not low <= n <= high:
        raise ValueError(f"{name} must lie within {low} to {high}, not {n}")
    return n


def _numbers(values, name, ndim=1):
    """A new C-contiguous float64 array of ``values`` (never the caller's memory)."""
    try:
        a = np.asarray(values)
        if a.dtype.kind not in "biuf":
            if a.dtype.kind != "O":
                raise TypeError(f"{name} must hold real numbers, not {a.dtype}")
            a = a.astype(np.float64)
        if a.ndim > ndim:
            raise ValueError(f"{name} must have at most {ndim} dimension{'s' if ndim > 1 else ''}, "
                             f"not shape {a.shape}")
        return np.array(a, dtype=np.float64, order="C", copy=True, ndmin=ndim)
    except (TypeError, ValueError) as e:
        if str(e).startswith(name):
            raise
        kind = TypeError if isinstance(e, TypeError) else ValueError
        raise kind(f"{name} must be an array of real numbers ({e})") from None
    except MemoryError:
        raise LibraryFailure(f"{name}: out of memory copying the array") from None


def _in(values, name="values"):
    """A private float64 copy of values (1-D) and its pointer."""
    a = _numbers(values, name).reshape(-1)
    return a, a.ctypes.data_as(_DP)


def _out(n, name="result"):
    try:
        a = np.empty(n, dtype=np.float64)
    except (MemoryError, ValueError):
        raise LibraryFailure(f"{name}: out of memory for {n} values") from None
    return a, a.ctypes.data_as(_DP)


def _take(pointer, count):
    """Copy an array the library handed out, then give it back."""
    try:
        return np.ctypeslib.as_array(pointer, (count.value,)).copy() if pointer and count.value else np.empty(0)
    finally:
        with _LOCK:
            _lib.library().alg_darray_release(byref(pointer))


def new_records(wells):
    """Zeroed records, one per well: every baseline is then chosen afresh."""
    return np.zeros(_count(wells, "wells"), dtype=RECORD_DTYPE)


def _checked_records(records, wells, writes):
    """The caller's record array, checked: RECORD_DTYPE, 1-D, at least ``wells``
    entries, and writeable when the call writes them."""
    if not isinstance(records, np.ndarray) or records.dtype != RECORD_DTYPE:
        raise TypeError("records must be an array of RECORD_DTYPE (see new_records)")
    if records.ndim != 1 or records.size < wells:
        raise ValueError(f"records must be one-dimensional with at least {wells} entries, not shape {records.shape}")
    if writes and not records.flags.writeable:
        raise ValueError("records is read-only, and the call updates it: pass a writeable copy (records.copy())")
    return records


def _record_copy(records):
    """A private contiguous copy of checked records and its pointer."""
    private = np.array(records, dtype=RECORD_DTYPE, order="C", copy=True)
    return private, private.ctypes.data_as(c_void_p)


def _plate(plate):
    p = _numbers(plate, "plate", ndim=2)
    return p, p.ctypes.data_as(_DP)


def _peak_set(peaks, name="peaks"):
    if not isinstance(peaks, GaussCoeff):
        raise TypeError(f"{name} must be a GaussCoeff, not {type(peaks).__name__}")
    return peaks


# -- frame ---------------------------------------------------------------

def last_error():
    """The raw GBK bytes of the last failed call's message (``b""`` after a success).

    Shared by every thread; the exceptions of this module carry their own
    call's message, read under the lock.
    """
    with _LOCK:
        return _lib.library().get_last_error()


def version():
    """The library's version string."""
    with _LOCK:
        return _lib.library().version().decode("ascii")


def test_fitting_result(record):
    """Run the layout probe on one record (a RECORD_DTYPE array of size >= 1).

    The probe's rewritten fields are copied back into ``record`` whatever it
    returns (a probe that stops at a field leaves the fields before it rewritten).

    Returns
    -------
    int
        0 when every probed field held its expected value, 10 at the first that did not.
    """
    record = _checked_records(record, 1, writes=True)
    private, pointer = _record_copy(record[:1])
    with _LOCK:
        code = _lib.library().test_fitting_result(pointer)
    record[:1] = private
    return code


# -- smoothing and fitting -------------------------------------------------

def sample_data_fitting(data):
    """Value of the least-squares parabola through ``data`` (at x = 1..n) at its vertex, see the header."""
    a, p = _in(data, "data")
    result = c_double()
    _call(_lib.library().alg_sample_data_fitting, p, a.size, byref(result))
    return result.value


def run_smooth(data):
    """Three passes of the five-point running smooth; returns a new array."""
    a, p = _in(data, "data")
    _call(_lib.library().alg_run_smooth, p, a.size)
    return a


def super_smooth(data, half_window):
    """Centred moving average over +-half_window samples; returns a new array."""
    half_window = _count(half_window, "half_window", INT32_MIN, INT32_MAX)
    a, p = _in(data, "data")
    _call(_lib.library().alg_super_smooth, p, a.size, half_window)
    return a


def increasing(start, step, length):
    """The arithmetic sequence start, start + step, ... of ``length`` running sums."""
    start, step, length = _real(start, "start"), _real(step, "step"), _count(length, "length")
    out, p = _out(length)
    _call(_lib.library().alg_increasing, start, step, length, p)
    return out


# -- amplification ----------------------------------------------------------

def sigmoid(params, x):
    """The logistic A / (1 + exp(-k (x - x0))) at ``x``, with params = (A, x0, k)."""
    par, pp = _in(params, "params")
    if par.size < 3:
        raise ValueError("params must hold A, x0 and k")
    values, pv = _in(x, "x")
    _call(_lib.library().alg_sigmoid, pp, pv, values.size)
    return values


def sigmoid_batch_calc_ct(records):
    """Sigmoid Ct of every record from its fitted logistic (NaN for implausible fits)."""
    records = _checked_records(records, 0, writes=False)
    private, pr = _record_copy(records)
    ct, pc = _out(private.size)
    _call(_lib.library().alg_sigmoid_batch_calc_ct, pr, private.size, 0, pc)
    return ct


def calc_threshold(records, plate):
    """The plate threshold; fills the records.

    Parameters
    ----------
    records : ndarray of RECORD_DTYPE
        At least one per well, writeable; updated only when the call succeeds.
    plate : array_like, wells x cycles
        One curve per row.

    Returns
    -------
    float
    """
    p, pp = _plate(plate)
    records = _checked_records(records, p.shape[0], writes=True)
    private, pr = _record_copy(records)
    threshold = c_double()
    _call(_lib.library().alg_calc_threshold, pr, private.size, pp, p.shape[0], p.shape[1], byref(threshold))
    records[...] = private
    return threshold.value


def linear_batch_calc_ct(records, threshold, plate):
    """Linear Ct of every well at ``threshold``, and the conditioned curves.

    ``records`` (writeable, at least one per well) is updated only when the call succeeds.

    Returns
    -------
    curves : ndarray, wells x cycles
        The conditioned curves (the library's cycle-major output, transposed).
    ct : ndarray
        One Ct per record, NaN without a crossing.
    """
    threshold = _real(threshold, "threshold")
    p, pp = _plate(plate)
    records = _checked_records(records, p.shape[0], writes=True)
    private, pr = _record_copy(records)
    curves, pcurves = _out(p.size, "curves")
    ct, pc = _out(private.size, "ct")
    _call(_lib.library().alg_linear_batch_calc_ct, pr, private.size, threshold, pp, p.shape[0], p.shape[1], pcurves, pc)
    records[...] = private
    return curves.reshape(p.shape[1], p.shape[0]).T.copy(), ct


# -- interpolation -------------------------------------------------------------

def cubic_interpolation(x, y, xq):
    """Natural cubic spline through (x, y), evaluated at ``xq``."""
    xa, px = _in(x, "x")
    ya, py = _in(y, "y")
    if xa.size != ya.size:
        raise ValueError(f"x and y must have the same length, not {xa.size} and {ya.size}")
    qa, pq = _in(xq, "xq")
    yq, pyq = _out(qa.size)
    _call(_lib.library().alg_cubic_interpolation, px, py, xa.size, pq, pyq, qa.size)
    return yq


def interpolation_x(x, factor):
    """Evenly spaced grid from x[0] to x[-1] with ``factor`` - 1 extra points per interval."""
    factor = _count(factor, "factor")
    xa, px = _in(x, "x")
    out, po = _out(max(xa.size - 1, 0) * factor + 1)
    _call(_lib.library().alg_interpolation_x, px, xa.size, factor, po)
    return out


# -- melting -----------------------------------------------------------------

def melting(temperature, fluorescence):
    """-dF/dT on a grid ten times finer.

    Returns
    -------
    grid, derivative : ndarray
    """
    t, pt = _in(temperature, "temperature")
    f, pf = _in(fluorescence, "fluorescence")
    if t.size != f.size:
        raise ValueError(f"temperature and fluorescence must have the same length, not {t.size} and {f.size}")
    count, grid, derivative = c_size_t(), _DP(), _DP()
    try:
        _call(_lib.library().alg_melting, t.size, pt, pf, byref(count), byref(grid), byref(derivative))
        return _take(grid, count), _take(derivative, count)
    finally:
        _free(grid, derivative)


def _free(*pointers):
    """Give back arrays still held (after a failure, or one copy of two failing)."""
    with _LOCK:
        for pointer in pointers:
            if pointer:
                _lib.library().alg_darray_release(byref(pointer))


def melting_normalization(values):
    """Background removal of a melting curve; returns a new array."""
    a, p = _in(values)
    _call(_lib.library().alg_melting_normalization, p, a.size)
    return a


# -- peak decomposition ----------------------------------------------------------

class _Object:
    """A library object owned through a handle variable, released exactly once."""

    _kind = None

    def __init__(self, handle):
        self._handle = handle
        with _LOCK:
            live_objects[self._kind] += 1
        self._finalizer = weakref.finalize(self, type(self)._release, handle)

    @classmethod
    def _release(cls, handle):
        if getattr(_state, "busy", False):  # the collector, inside a call: after it
            _deferred.append((cls, handle))
            return
        cls._release_now(handle)

    @classmethod
    def _release_now(cls, handle):
        with _LOCK:
            getattr(_lib.library(), cls._RELEASE)(byref(handle))
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


def _new_set(create, *args):
    handle = c_void_p()
    _call(create, *args, byref(handle))
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
            _call(_lib.library().alg_create_gausscoeff, byref(_handle))
        super().__init__(_handle)
        if len(heights) or len(centres) or len(widths):
            self.set_data(heights, centres, widths)

    def set_data(self, heights, centres, widths):
        """Replace the three fields with copies of the given arrays (lengths may differ)."""
        (h, ph), (c, pc), (w, pw) = _in(heights, "heights"), _in(centres, "centres"), _in(widths, "widths")
        _call(_lib.library().alg_set_gausscoeff_data, self, h.size, ph, c.size, pc, w.size, pw)

    def data(self):
        """Copies of the fields.

        Returns
        -------
        heights, centres, widths : ndarray
        """
        counts = [c_size_t() for _ in range(3)]
        arrays = [_DP() for _ in range(3)]
        try:
            _call(_lib.library().alg_get_gausscoeff_data, self, *(byref(v) for pair in zip(counts, arrays) for v in pair))
            return tuple(_take(a, n) for a, n in zip(arrays, counts))
        finally:
            _free(*arrays)

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
        (xa, px), (ya, py) = _in(x, "x"), _in(y, "y")
        if options is None:
            options = (0.0, 0.0, _real(peak_width, "peak_width"), 0.0, 0.0)
        opts, po = _in(options, "options")
        if opts.size != 5:
            raise ValueError(f"options must hold five values, not {opts.size}")
        handle = c_void_p()
        _call(_lib.library().alg_mgf_create, px, xa.size, py, ya.size, po, byref(handle))
        super().__init__(handle)

    def multi_gauss(self, peaks):
        """The sum of the set's Gaussians at every temperature of the handle."""
        return self._curve(_lib.library().alg_mgf_multi_gauss, _peak_set(peaks))

    def _curve(self, function, peaks, *before):
        count, values = c_size_t(), _DP()
        try:
            _call(function, self, peaks, *before, byref(values), byref(count))
            return _take(values, count)
        finally:
            _free(values)

    def solve(self, peaks):
        """Refine the set in place by the damped least-squares fit to the handle's curve."""
        _call(_lib.library().alg_mgf_solve, self, _peak_set(peaks))

    def local_max_value_id(self):
        """Initial peaks of the handle's curve, as a new :class:`GaussCoeff`."""
        return _new_set(_lib.library().alg_mgf_local_max_value_id, self)

    def melting_stim_peak(self, peaks, background):
        """Synthetic melting curve at the peak centres over ``background`` (level, midpoint, steepness)."""
        bg, pb = _in(background, "background")
        if bg.size != 3:
            raise ValueError(f"background must hold three values (level, midpoint, steepness), not {bg.size}")
        return self._curve(_lib.library().alg_mgf_melting_stim_peak, _peak_set(peaks), pb)

    def melting_stimulate(self, peaks):
        """Synthetic melting curve on the handle's temperatures.

        Returns
        -------
        background : ndarray of 3
        values : ndarray
        """
        bg, pb = _out(3)
        return bg, self._curve(_lib.library().alg_mgf_melting_stimulate, _peak_set(peaks), pb)


def mgf_local_max_value_id_origin(x, y):
    """Initial peaks of a raw curve, all of width 1.7, as a new :class:`GaussCoeff`."""
    (xa, px), (ya, py) = _in(x, "x"), _in(y, "y")
    return _new_set(_lib.library().alg_mgf_local_max_value_id_origin, px, xa.size, py, ya.size)


def coeff_filter(limits, peaks):
    """A new :class:`GaussCoeff` of the peaks within ``limits`` = (min height, max FWHM, min FWHM)."""
    lim, pl = _in(limits, "limits")
    if lim.size != 3:
        raise ValueError(f"limits must hold three values (min height, max FWHM, min FWHM), not {lim.size}")
    return _new_set(_lib.library().alg_mgf_coeff_filter, pl, _peak_set(peaks))


# -- statistics -----------------------------------------------------------------

RQ_OPTIONS = 5


def _options(options):
    """RqOptions: up to five 32-bit integers, the rest zero."""
    try:
        values = [operator.index(v) for v in options]
    except TypeError:
        raise TypeError(f"options must be a sequence of up to {RQ_OPTIONS} integers, not {options!r:.60}") from None
    if len(values) > RQ_OPTIONS or not all(INT32_MIN <= v <= INT32_MAX for v in values):
        raise ValueError(f"options must be up to {RQ_OPTIONS} 32-bit integers, not {values!r:.60}")
    o = np.zeros(RQ_OPTIONS, dtype=np.int32)
    o[:len(values)] = values
    return o, o.ctypes.data_as(POINTER(c_int32))


def calc_sd(options, data):
    """Replicate statistics of packed data (see the header); ``options`` = RqOptions as up to 5 ints."""
    o, po = _options(options)
    d, pd = _in(data, "data")
    count, values = c_size_t(), _DP()
    try:
        _call(_lib.library().alg_calc_sd, po, pd, d.size, byref(values), byref(count))
        return _take(values, count)
    finally:
        _free(values)


def calc_rq(options, summary, calibrator):
    """Relative quantity from a summary of alg_calc_sd and a calibrator value.

    Returns
    -------
    ndarray of 7
        value, SD, SE, RQ, lower, upper, ddCt (NaN where the library writes nothing).
    """
    o, po = _options(options)
    calibrator = _real(calibrator, "calibrator")
    s, ps = _in(summary, "summary")
    out, pout = _out(7)
    out[:] = np.nan
    _call(_lib.library().alg_calc_rq, po, ps, s.size, calibrator, pout)
    return out


def calc_standard(x, y):
    """Least-squares line y = slope x + intercept: returns (slope, intercept, rms residual, R squared)."""
    (xa, px), (ya, py) = _in(x, "x"), _in(y, "y")
    out, pout = _out(4)
    _call(_lib.library().alg_calc_standard, px, xa.size, py, ya.size, pout)
    return tuple(float(v) for v in out)
