"""Shared fixtures. The tests use the library the package finds by its normal
lookup; without one they stop with the lookup's message instead of skipping."""
import ctypes
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "data"
sys.path.insert(0, str(ROOT))

try:
    from quelmar import core
    core.LIBRARY_PATH  # loaded on first use: here, so that a missing library stops the run at once
except Exception as error:  # numpy missing, or LibraryNotFoundError from the lookup
    pytest.exit(f"quelmar cannot be imported: {error}", returncode=3)


@pytest.fixture(scope="session")
def raw():
    """The library through ctypes alone, with prototypes declared here, apart from the package's."""
    lib = ctypes.CDLL(core.LIBRARY_PATH)
    D, Z, V = ctypes.POINTER(ctypes.c_double), ctypes.c_size_t, ctypes.c_void_p
    lib.alg_calc_threshold.argtypes = [V, Z, D, Z, Z, D]
    lib.alg_linear_batch_calc_ct.argtypes = [V, Z, ctypes.c_double, D, Z, Z, D, D]
    lib.alg_sigmoid_batch_calc_ct.argtypes = [V, Z, Z, D]
    lib.alg_melting.argtypes = [Z, D, D, ctypes.POINTER(Z), ctypes.POINTER(D), ctypes.POINTER(D)]
    lib.alg_darray_release.argtypes = [ctypes.POINTER(D)]
    lib.alg_calc_standard.argtypes = [D, Z, D, Z, D]
    return lib


def ptr(a):
    return a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))


@pytest.fixture(scope="session")
def reps384():
    """The bundled 384-well plate as (cycles, wells x cycles)."""
    table = np.loadtxt(DATA / "reps384.csv", delimiter=",", skiprows=1)
    return table[:, 0], np.ascontiguousarray(table[:, 1:].T)
