"""Finding libQuelmarAlg and libQuelmarAlgWol and declaring the C prototypes
of their exports (32 and 3).

Each library is loaded on first use (:func:`library`, :func:`wol_library`),
never on import, so that the parts of the package that do not call it
(limits, readers, sample sheets, writers) work without a build. libQuelmarAlg
is looked up in this order, and the first that loads is used:

1. the path in the environment variable ``QUELMARALG_LIBRARY`` -- when it is
   set, it is the only place tried, so that a typo never silently falls back
   to another build;
2. the library inside the package, ``quelmar/libQuelmarAlg.so.1``, where a
   wheel carries it;
3. the checkout's build folder, ``<repo>/build/libQuelmarAlg.so``, found
   relative to this package;
4. the library directory recorded by ``cmake --install`` in
   ``quelmar/_installed_libdir.py``;
5. the system loader, by soname ``libQuelmarAlg.so.1``.

libQuelmarAlgWol the same way under its own names
(``QUELMARALG_WOL_LIBRARY``, ``libQuelmarAlgWol.so``,
``libQuelmarAlgWol.so.1``); when only ``QUELMARALG_LIBRARY`` is set, the
one place tried is beside that library, so that both come from one build.

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
WOL_ENV_VAR = "QUELMARALG_WOL_LIBRARY"
WOL_FILE = "libQuelmarAlgWol.so"
WOL_SONAME = WOL_FILE + ".1"
#: The folder of the package (a checkout's build folder is beside it).
PACKAGE = Path(__file__).resolve().parent.parent

#: (library, where it was loaded from) once loaded; None before the first use.
_loaded = None
_wol_loaded = None
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

#: The exports of libQuelmarAlgWol; the well and target records cross as void*.
WOL_PROTOTYPES = {
    "wol_last_error": (c_char_p, []),
    "wol_version": (c_char_p, []),
    "wol_analyse": (c_int, [_D, c_size_t, c_size_t, POINTER(c_int32), c_size_t, c_void_p, c_void_p]),
}


def _candidates():
    """(description, path or name) of every place to try for libQuelmarAlg, in order."""
    env = os.environ.get(ENV_VAR)
    if env:
        return [(f"{ENV_VAR}={env}", env)]
    return _places("libQuelmarAlg.so", SONAME)


def _wol_candidates():
    """(description, path or name) of every place to try for libQuelmarAlgWol, in order."""
    env = os.environ.get(WOL_ENV_VAR)
    if env:
        return [(f"{WOL_ENV_VAR}={env}", env)]
    core = os.environ.get(ENV_VAR)
    if core:
        return [(f"beside {ENV_VAR}={core}", os.path.join(os.path.dirname(os.path.abspath(core)), WOL_FILE))]
    return _places(WOL_FILE, WOL_SONAME)


def _places(filename, soname):
    places = []
    if (PACKAGE / soname).exists():
        places.append(("the library inside the package", str(PACKAGE / soname)))
    places.append(("the checkout's build folder", str(PACKAGE.parent / "build" / filename)))
    try:
        from .._installed_libdir import LIBDIR
    except ImportError:
        pass
    else:
        places.append(("the installed library", os.path.join(LIBDIR, soname)))
    places.append(("the system loader", soname))
    return places


def _declare(lib, prototypes=PROTOTYPES):
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def _first_that_loads(candidates, prototypes, hint):
    tried = []
    for description, where in candidates:
        if os.sep in where and not os.path.exists(where):
            tried.append(f"{where} ({description}: no such file)")
            continue
        try:
            return _declare(ctypes.CDLL(where), prototypes), where
        except (OSError, AttributeError) as error:
            tried.append(f"{where} ({description}: {error})")
    message = f"{hint} Tried: {'; '.join(tried)}"
    raise LibraryNotFoundError(message)


def load():
    """Load libQuelmarAlg and declare its prototypes.

    Returns
    -------
    (ctypes.CDLL, str)
        The library and the path or name it was loaded from.

    Raises
    ------
    LibraryNotFoundError
        When no candidate loads; the message names every place tried.
    """
    return _first_that_loads(_candidates(), PROTOTYPES,
                             "libQuelmarAlg not found; build it with `cmake -S . -B build && cmake --build build "
                             f"--target QuelmarAlg` or set {ENV_VAR}.")


def load_wol():
    """Load libQuelmarAlgWol and declare its prototypes, as :func:`load` does libQuelmarAlg."""
    return _first_that_loads(_wol_candidates(), WOL_PROTOTYPES,
                             "libQuelmarAlgWol not found; build it with `cmake -S . -B build && cmake --build build "
                             f"--target QuelmarAlgWol` or set {WOL_ENV_VAR}.")


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


def wol_library():
    """libQuelmarAlgWol, loaded and declared on the first call (:func:`load_wol`); the same one afterwards."""
    global _wol_loaded
    if _wol_loaded is None:
        with _LOADING:
            if _wol_loaded is None:
                _wol_loaded = load_wol()
    return _wol_loaded[0]


def wol_library_path():
    """The path or name libQuelmarAlgWol was loaded from (loading it first)."""
    wol_library()
    return _wol_loaded[1]
