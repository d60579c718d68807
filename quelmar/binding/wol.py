"""The thin layer over libQuelmarAlgWol: the window-of-linearity analysis.

One function per export (:func:`analyse`, :func:`last_error`,
:func:`version`), like :mod:`quelmar.binding.core` for libQuelmarAlg: every
array handed to the library is a private C-contiguous copy of exactly the
length passed with it, the result records are allocated here to the counts
passed, and every length is checked before the call, so that no length the
library reads can run past the data. The library is loaded by the first call
(see :mod:`quelmar.binding._lib`). A failed call raises the
:class:`~quelmar.common.errors.QuelmarError` subclass of its result code with
this library's own message, read under this library's lock (its last-error
text is its own, apart from libQuelmarAlg's).
"""
import operator
import threading
from ctypes import POINTER, c_double, c_int32, c_void_p

import numpy as np

from ..common.errors import LibraryFailure, from_code
from . import _lib

#: The 96-byte ``WolWell`` record, one per well.
WELL_DTYPE = np.dtype({
    "names": ["cq", "efficiency", "n0", "baseline_level", "baseline_slope", "plateau", "noise", "ground_first",
              "ground_last", "window_first", "window_last", "reason", "in_mean", "still_rising", "baseline_stop",
              "baseline_steps", "ground_passes"],
    "formats": ["<f8"] * 7 + ["<i4"] * 10,
    "offsets": [8 * k for k in range(7)] + [56 + 4 * k for k in range(10)],
    "itemsize": 96,
})

#: The 96-byte ``WolTarget`` record, one per target.
TARGET_DTYPE = np.dtype({
    "names": ["window_low", "window_high", "threshold", "plateau_median", "mean_efficiency", "efficiency_sd",
              "window_cv", "wells", "amplified", "in_window", "in_mean", "window_stop", "window_steps",
              "common_plateau", "baseline_kept", "reserved"],
    "formats": ["<f8"] * 7 + ["<i4"] * 8 + [("<i4", 2)],
    "offsets": [8 * k for k in range(7)] + [56 + 4 * k for k in range(8)] + [88],
    "itemsize": 96,
})

#: Why a well has no Cq (``WolWell.reason``), as the toolkit names it; "" when it has one.
REASONS = {0: "", 1: "bad readings", 2: "no amplification", 3: "no ground phase", 4: "early plateau",
           5: "outside the window", 6: "no plateau"}

#: The fewest readings a well needs (the library refuses fewer).
MIN_CYCLES = 12

_D = POINTER(c_double)
_LOCK = threading.Lock()


def last_error():
    """The raw GBK bytes of this library's last failed call's message (``b""`` after a success)."""
    with _LOCK:
        return _lib.wol_library().wol_last_error()


def version():
    """The library's version string."""
    with _LOCK:
        return _lib.wol_library().wol_version().decode("ascii")


def _plate(plate):
    try:
        a = np.asarray(plate)
        if a.dtype.kind not in "biuf":
            raise TypeError(f"plate must hold real numbers, not {a.dtype}")
        if a.ndim != 2:
            raise ValueError(f"plate must be wells x cycles (two dimensions), not shape {a.shape}")
        return np.array(a, dtype=np.float64, order="C", copy=True)
    except MemoryError:
        raise LibraryFailure("plate: out of memory copying the array") from None


def _targets(targets, wells):
    if targets is None:
        return np.zeros(wells, dtype=np.int32)
    t = np.asarray(targets)
    if t.dtype.kind not in "biu":
        raise TypeError(f"targets must be whole numbers, not {t.dtype}")
    if t.shape != (wells,):
        raise ValueError(f"targets must hold one index per well ({wells}), not shape {t.shape}")
    if t.size and not (t.min() >= np.iinfo(np.int32).min and t.max() <= np.iinfo(np.int32).max):
        raise ValueError("targets must be indices within the 32-bit range")
    return np.array(t, dtype=np.int32, order="C", copy=True)


def analyse(plate, targets=None, target_count=None):
    """Analyse a plate by the window of linearity (``wol_analyse``).

    Parameters
    ----------
    plate : array_like, wells x cycles
        Readings, raw or with a baseline already removed; NaN readings give
        their well the reason "bad readings".
    targets : array_like of int, optional
        The target index of each well (default: one target for all).
    target_count : int, optional
        How many targets there are (default: the largest index + 1, at least 1).

    Returns
    -------
    (ndarray of WELL_DTYPE, ndarray of TARGET_DTYPE)
        One record per well and one per target. Cycles in the records count
        the readings from 1.

    Raises
    ------
    TypeError, ValueError
        For arrays of the wrong kind or shape, before any call.
    InvalidArgumentError
        For fewer than :data:`MIN_CYCLES` cycles (the library's refusal).
    OutOfRangeError
        For a target index outside 0 .. target_count - 1.
    """
    p = _plate(plate)
    wells, cycles = p.shape
    t = _targets(targets, wells)
    if target_count is None:
        target_count = max(int(t.max()) + 1, 1) if t.size else 1
    try:
        target_count = operator.index(target_count)
    except TypeError:
        raise TypeError(f"target_count must be an integer, not {type(target_count).__name__}") from None
    if target_count < 0:
        raise ValueError(f"target_count must not be negative, not {target_count}")
    try:
        out_wells = np.zeros(wells, dtype=WELL_DTYPE)
        out_targets = np.zeros(target_count, dtype=TARGET_DTYPE)
    except (MemoryError, ValueError):
        raise LibraryFailure(f"out of memory for {wells} well and {target_count} target records") from None
    lib = _lib.wol_library()
    with _LOCK:
        code = lib.wol_analyse(p.ctypes.data_as(_D), wells, cycles, t.ctypes.data_as(POINTER(c_int32)), target_count,
                               out_wells.ctypes.data_as(c_void_p), out_targets.ctypes.data_as(c_void_p))
        raw = lib.wol_last_error() if code != 0 else None
    if code != 0:
        raise from_code(code, raw)
    return out_wells, out_targets


def library_path():
    """The path or name libQuelmarAlgWol was loaded from (loading it first)."""
    return _lib.wol_library_path()
