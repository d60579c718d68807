"""Finding libQuelmarAlg and declaring the C prototypes of its 32 exports.

The library is loaded on first use (:func:`library`), never on import, so
that the parts of the package that do not call it (limits, readers, sample
sheets, writers) work without a build. It is looked up in this order, and
the first that loads is used:

1. the path in the environment variable ``QUELMARALG_LIBRARY`` -- when it is
   set, it is the only place tried, so that a typo never silently falls back
   to another build;
2. the checkout's build folder, ``<repo>/build/libQuelmarAlg.so``, found
   relative to this package;
3. the library directory recorded by ``cmake --install`` in
   ``quelmar/_installed_libdir.py``;
4. the system loader, by soname ``libQuelmarAlg.so.1``.

When none loads, one :class:`~quelmar.common.errors.LibraryNotFoundError`
names every place tried, and the next use tries again.
"""
import ctypes
import os
import threading
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_size_t, c_void_p
from pathlib import Path

from ..common.errors import LibraryNotFoundError

ENV_VAR = "QUELMARALG_LIBRARY"
SONAME = "libQuelmarAlg.so.1"
#: The folder of the package (a checkout's build folder is beside it).
PACKAGE = Path(__file__).resolve().parent.parent

#: (library, where it was loaded from) once loaded; None before the first use.
_loaded = None
_LOADING = threading.Lock()

_D = POINTER(c_double)
_DD = POINTER(_D)
_SZ = POINTER(c_size_t)
_H = POINTER(c_void_p)  # address of an opaque handle variable

# name: (restype, argtypes). Records, GaussCoeff and MgfHandle cross as void*.
PROTOTYPES = {
    "get_last_error": (c_char_p, []),
    "version": (c_char_p, []),
    "alg_darray_release": (c_int, [_DD]),
    "test_fitting_result": (c_int, [c_void_p]),
    "alg_sample_data_fitting": (c_int, [_D, c_size_t, _D]),
    "alg_run_smooth": (c_int, [_D, c_size_t]),
    "alg_super_smooth": (c_int, [_D, c_size_t, c_int]),
    "alg_increasing": (c_int, [c_double, c_double, c_size_t, _D]),
    "alg_sigmoid": (c_int, [_D, _D, c_size_t]),
    "alg_sigmoid_batch_calc_ct": (c_int, [c_void_p, c_size_t, c_size_t, _D]),
    "alg_calc_threshold": (c_int, [c_void_p, c_size_t, _D, c_size_t, c_size_t, _D]),
    "alg_linear_batch_calc_ct": (c_int, [c_void_p, c_size_t, c_double, _D, c_size_t, c_size_t, _D, _D]),
    "alg_cubic_interpolation": (c_int, [_D, _D, c_size_t, _D, _D, c_size_t]),
    "alg_interpolation_x": (c_int, [_D, c_size_t, c_size_t, _D]),
    "alg_melting": (c_int, [c_size_t, _D, _D, _SZ, _DD, _DD]),
    "alg_melting_normalization": (c_int, [_D, c_size_t]),
    "alg_create_gausscoeff": (c_int, [_H]),
    "alg_gausscoeff_release": (c_int, [_H]),
    "alg_set_gausscoeff_data": (c_int, [c_void_p, c_size_t, _D, c_size_t, _D, c_size_t, _D]),
    "alg_get_gausscoeff_data": (c_int, [c_void_p, _SZ, _DD, _SZ, _DD, _SZ, _DD]),
    "alg_mgf_create": (c_int, [_D, c_size_t, _D, c_size_t, _D, _H]),
    "alg_mgf_release": (c_int, [_H]),
    "alg_mgf_multi_gauss": (c_int, [c_void_p, c_void_p, _DD, _SZ]),
    "alg_mgf_solve": (c_int, [c_void_p, c_void_p]),
    "alg_mgf_local_max_value_id": (c_int, [c_void_p, _H]),
    "alg_mgf_local_max_value_id_origin": (c_int, [_D, c_size_t, _D, c_size_t, _H]),
    "alg_mgf_melting_stim_peak": (c_int, [c_void_p, c_void_p, _D, _DD, _SZ]),
    "alg_mgf_melting_stimulate": (c_int, [c_void_p, c_void_p, _D, _DD, _SZ]),
    "alg_mgf_coeff_filter": (c_int, [_D, c_void_p, _H]),
    "alg_calc_sd": (c_int, [POINTER(c_int32), _D, c_size_t, _DD, _SZ]),
    "alg_calc_rq": (c_int, [POINTER(c_int32), _D, c_size_t, c_double, _D]),
    "alg_calc_standard": (c_int, [_D, c_size_t, _D, c_size_t, _D]),
}


def _candidates():
    """(description, path or name) of every place to try, in order."""
    env = os.environ.get(ENV_VAR)
    if env:
        return [(f"{ENV_VAR}={env}", env)]
    places = [("the checkout's build folder", str(PACKAGE.parent / "build" / "libQuelmarAlg.so"))]
    try:
        from .._installed_libdir import LIBDIR
    except ImportError:
        pass
    else:
        places.append(("the installed library", os.path.join(LIBDIR, SONAME)))
    places.append(("the system loader", SONAME))
    return places


def _declare(lib):
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def load():
    """Load the library and declare its prototypes.

    Returns
    -------
    (ctypes.CDLL, str)
        The library and the path or name it was loaded from.

    Raises
    ------
    LibraryNotFoundError
        When no candidate loads; the message names every place tried.
    """
    tried = []
    for description, where in _candidates():
        if os.sep in where and not os.path.exists(where):
            tried.append(f"{where} ({description}: no such file)")
            continue
        try:
            return _declare(ctypes.CDLL(where)), where
        except (OSError, AttributeError) as error:
            tried.append(f"{where} ({description}: {error})")
    raise LibraryNotFoundError(
        "libQuelmarAlg not found; build it with `cmake -S . -B build && cmake --build build --target QuelmarAlg` "
        f"or set {ENV_VAR}. Tried: " + "; ".join(tried))


def library():
    """The library, loaded and declared on the first call (:func:`load`); the same one afterwards."""
    if _loaded is None:
        _load_once()
    return _loaded[0]


def library_path():
    """The path or name the library was loaded from (loading it first)."""
    if _loaded is None:
        _load_once()
    return _loaded[1]


def _load_once():
    global _loaded
    with _LOADING:
        if _loaded is None:
            _loaded = load()
