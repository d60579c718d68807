"""Misuse of the Python API that must end in a clean exception (or a correct
result), never in a read or write outside the caller's arrays.

The pytest suite runs these against the library in use; run directly, this
file runs them against the AddressSanitizer build, where a binding that
passed a wrong length or wrote through a read-only buffer is caught:

    /usr/bin/python3 tests/python/api_misuse.py --asan build-asan

It loads ``build-asan/libQuelmarAlg.so`` through QUELMARALG_LIBRARY with the
compiler's libasan preloaded, runs every case and exits 0 only when each ended
as expected and AddressSanitizer stayed silent; with no such build it says so
and exits 0 (``--require`` makes that an error).
"""
import mmap
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))


def sanitizer_library(build):
    path = Path(build)
    if not path.is_absolute():
        path = ROOT / path
    return path / "libQuelmarAlg.so"


def run_under_asan(build, timeout=300):
    """Run this file against the AddressSanitizer build; returns the completed process."""
    # libstdc++ is preloaded too: the sanitizer finds the real __cxa_throw only
    # in a library loaded before it starts, and Python itself is C.
    preload = [subprocess.run(["gcc", f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
               for name in ("libasan.so", "libstdc++.so.6")]
    env = dict(os.environ, QUELMARALG_LIBRARY=str(sanitizer_library(build)), LD_PRELOAD=" ".join(preload),
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:exitcode=99",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    return subprocess.run([sys.executable, __file__], env=env, capture_output=True, text=True, timeout=timeout)


def launch(argv):
    """Run the cases against the sanitizer build, from a process that loads no library itself."""
    build = argv[argv.index("--asan") + 1]
    if not sanitizer_library(build).exists():
        print(f"api_misuse: no sanitizer build at {sanitizer_library(build)}")
        return 1 if "--require" in argv else 0
    done = run_under_asan(build)
    sys.stdout.write(done.stdout)
    sys.stderr.write(done.stderr[-20000:])
    return done.returncode


if __name__ == "__main__" and "--asan" in sys.argv:  # before the imports below load the usual library
    sys.exit(launch(sys.argv[1:]))

import numpy as np  # noqa: E402

from quelmar import core  # noqa: E402
from quelmar.binding import wol  # noqa: E402
from quelmar.common.errors import InvalidArgumentError, LibraryFailure, OutOfRangeError  # noqa: E402

WELLS, CYCLES = 6, 40


def plate():
    """A small plate of logistic curves with a little noise (fixed seed)."""
    rng = np.random.default_rng(7)
    cycles = np.arange(1, CYCLES + 1)
    midpoints = 18 + 2 * np.arange(WELLS)
    curves = 1000 + 20000 / (1 + np.exp(-0.8 * (cycles[None, :] - midpoints[:, None])))
    return curves + rng.normal(0, 5, curves.shape)


def melt_handle():
    x = np.linspace(60, 90, 61)
    return core.MgfHandle(x, np.exp(-(x - 75) ** 2 / 2) + 0.5 * np.exp(-(x - 82) ** 2 / 2))


def frozen_records(n):
    """Records in an immutable bytes object: np.frombuffer gives a read-only view."""
    return np.frombuffer(bytes(core.new_records(n).tobytes()), dtype=core.RECORD_DTYPE)


def _stim_peak(background):
    with melt_handle() as h, h.local_max_value_id() as peaks:
        return h.melting_stim_peak(peaks, background)


def _with_handle(call):
    with melt_handle() as h:
        return call(h)


def _threshold_into(records):
    before = records.tobytes()
    try:
        core.calc_threshold(records, plate())
    finally:
        assert records.tobytes() == before, "a refused call changed the records"


def _memmap_records():
    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / "records.bin"
        path.write_bytes(core.new_records(WELLS).tobytes())
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            records = np.frombuffer(m, dtype=core.RECORD_DTYPE)
            try:
                _threshold_into(records)
            except ValueError as e:  # only its text: its traceback holds the view, which must go before the map
                refused = str(e)
            else:
                refused = None
            del records
        assert path.read_bytes() == core.new_records(WELLS).tobytes()
        if refused:
            raise ValueError(refused)


def _readonly_sigmoid_records():
    records = core.new_records(WELLS)
    core.calc_threshold(records, plate())
    frozen = np.frombuffer(records.tobytes(), dtype=core.RECORD_DTYPE)
    assert np.array_equal(core.sigmoid_batch_calc_ct(frozen), core.sigmoid_batch_calc_ct(records), equal_nan=True)


def _strided_records():
    """Every other record of a larger array: filled as a contiguous array would be, the others untouched."""
    big = core.new_records(2 * WELLS)
    view = big[::2]
    threshold = core.calc_threshold(view, plate())
    alone = core.new_records(WELLS)
    assert threshold == core.calc_threshold(alone, plate())
    assert view.tobytes() == alone.tobytes() and not big[1::2].tobytes().strip(b"\0")
    curves, ct = core.linear_batch_calc_ct(view, threshold, plate())
    assert np.array_equal(ct, core.linear_batch_calc_ct(alone, threshold, plate())[1], equal_nan=True)


def _strided_plate():
    wide = np.repeat(plate(), 2, axis=1)[:, ::2]  # a non-contiguous view of the same numbers
    a, b = core.new_records(WELLS), core.new_records(WELLS)
    assert not wide.flags.c_contiguous and core.calc_threshold(a, wide) == core.calc_threshold(b, plate())


def _failure_leaves_records():
    records, readings = core.new_records(1), np.full((1, 8), 500.0)
    records["baseline_start"] = 3
    before = records.tobytes()
    try:
        core.calc_threshold(records, readings)
    finally:
        assert records.tobytes() == before and np.array_equal(readings, np.full((1, 8), 500.0))


def _readonly_input():
    data = np.frombuffer(np.linspace(0, 1, 50).tobytes(), dtype=np.float64)
    smoothed = core.run_smooth(data)
    assert not data.flags.writeable and smoothed.flags.writeable
    assert np.array_equal(data, np.linspace(0, 1, 50)) and np.array_equal(smoothed, core.run_smooth(data.copy()))


def _closed_set(h):
    peaks = h.local_max_value_id()
    peaks.close()
    h.multi_gauss(peaks)


#: (name, call, the exception it must raise or None).
CASES = [
    ("melting_stim_peak with one background value", lambda: _stim_peak([1.0]), ValueError),
    ("melting_stim_peak with four background values", lambda: _stim_peak([1.0, 2, 3, 4]), ValueError),
    ("melting_stim_peak with three background values", lambda: _stim_peak([0.5, 70.0, 1.0]), None),
    ("calc_threshold into records in bytes (np.frombuffer)", lambda: _threshold_into(frozen_records(WELLS)),
     ValueError),
    ("calc_threshold into a read-only memory map", _memmap_records, ValueError),
    ("sigmoid Ct of read-only records", _readonly_sigmoid_records, None),
    ("calc_threshold and linear Ct into every other record", _strided_records, None),
    ("calc_threshold of a non-contiguous plate", _strided_plate, None),
    ("a failed calc_threshold leaves the records as they were", _failure_leaves_records, OutOfRangeError),
    ("run_smooth of a read-only buffer", _readonly_input, None),
    ("records of float64", lambda: core.calc_threshold(np.zeros(WELLS * 18), plate()), TypeError),
    ("records of the other byte order", lambda: core.calc_threshold(
        core.new_records(WELLS).astype(core.RECORD_DTYPE.newbyteorder(">")), plate()), TypeError),
    ("records fewer than the wells", lambda: core.calc_threshold(core.new_records(WELLS - 1), plate()), ValueError),
    ("records two-dimensional", lambda: core.calc_threshold(core.new_records(WELLS).reshape(2, -1), plate()),
     ValueError),
    ("layout probe on read-only records", lambda: core.test_fitting_result(frozen_records(1)), ValueError),
    ("a plate of text", lambda: core.calc_threshold(core.new_records(1), [["a", "b", "c"]]), TypeError),
    ("a plate of complex numbers", lambda: core.calc_threshold(core.new_records(WELLS), plate() + 1j), TypeError),
    ("a three-dimensional plate", lambda: core.calc_threshold(core.new_records(WELLS), plate()[None]), ValueError),
    ("a ragged plate", lambda: core.calc_threshold(core.new_records(2), [[1.0, 2.0], [3.0]]), ValueError),
    ("a threshold that is an array", lambda: core.linear_batch_calc_ct(core.new_records(WELLS), np.ones(2), plate()),
     TypeError),
    ("x and y of different lengths", lambda: core.cubic_interpolation([1, 2, 3, 4], [1, 2, 3], [1.5]), ValueError),
    ("melting curves of different lengths", lambda: core.melting(np.arange(10.0), np.arange(9.0)), ValueError),
    ("coeff_filter with two limits", lambda: core.coeff_filter((0.1, 5.0), core.GaussCoeff()), ValueError),
    ("a fit handle given as a peak set", lambda: _with_handle(lambda h: h.multi_gauss(h)), TypeError),
    ("coeff_filter of a fit handle", lambda: _with_handle(lambda h: core.coeff_filter((0.1, 5.0, 0.3), h)), TypeError),
    ("a released peak set", lambda: _with_handle(_closed_set), ValueError),
    ("fit handle options of four", lambda: core.MgfHandle([1.0, 2, 3], [1.0, 2, 3], options=(0, 0, 0.5, 0)),
     ValueError),
    ("statistics options of six", lambda: core.calc_sd((1, 0, 0, 0, 0, 0), [3, 20, 21, 22, 1, 2, 15, 16]),
     ValueError),
    ("statistics options past 32 bits", lambda: core.calc_sd((2 ** 40,), [3, 20, 21, 22, 1, 2, 15, 16]), ValueError),
    ("statistics options of floats", lambda: core.calc_sd((1.5,), [3, 20, 21, 22, 1, 2, 15, 16]), TypeError),
    ("a summary of two values", lambda: core.calc_rq((1, 0, 1, 0, 1), [5.5, 1.2], 3.5), InvalidArgumentError),
    ("sigmoid parameters of two", lambda: core.sigmoid([1.0, 2.0], [1.0]), ValueError),
    ("a negative length", lambda: core.increasing(0.0, 1.0, -1), ValueError),
    ("a length past memory", lambda: core.increasing(0.0, 1.0, 2 ** 60), LibraryFailure),
    ("a negative number of records", lambda: core.new_records(-1), ValueError),
    ("a length of 2.5", lambda: core.increasing(0.0, 1.0, 2.5), TypeError),
    ("a length of zero", lambda: core.increasing(0.0, 1.0, 0), InvalidArgumentError),
    ("a negative refinement factor", lambda: core.interpolation_x([1.0, 2, 3], -1), ValueError),
    ("a refinement factor past memory", lambda: core.interpolation_x([1.0, 2, 3], 2 ** 62), LibraryFailure),
    ("a half window past 32 bits", lambda: core.super_smooth([1.0, 2, 3], 2 ** 31), ValueError),
    ("a start that is text", lambda: core.increasing("zero", 1.0, 3), TypeError),
    ("peak fields from read-only arrays", lambda: core.GaussCoeff(*(np.frombuffer(np.ones(3).tobytes())
                                                                    for _ in range(3))).close(), None),
    # libQuelmarAlgWol: every length checked before the call, the library's own refusals by code.
    ("window: a plate of one dimension", lambda: wol.analyse(np.ones(20)), ValueError),
    ("window: a plate of text", lambda: wol.analyse([["a"] * 20]), TypeError),
    ("window: targets of another length", lambda: wol.analyse(np.ones((3, 20)), [0, 0]), ValueError),
    ("window: targets that are fractions", lambda: wol.analyse(np.ones((2, 20)), [0.5, 1.0]), TypeError),
    ("window: targets past 32 bits", lambda: wol.analyse(np.ones((1, 20)), [2 ** 40]), ValueError),
    ("window: a target past the count", lambda: wol.analyse(np.ones((2, 20)), [0, 3], 2), OutOfRangeError),
    ("window: a negative target", lambda: wol.analyse(np.ones((2, 20)), [0, -1], 2), OutOfRangeError),
    ("window: a negative target count", lambda: wol.analyse(np.ones((2, 20)), [0, 0], -1), ValueError),
    ("window: no target", lambda: wol.analyse(np.ones((2, 20)), [0, 0], 0), InvalidArgumentError),
    ("window: a target count past memory", lambda: wol.analyse(np.ones((1, 20)), [0], 2 ** 60), LibraryFailure),
    ("window: eleven cycles", lambda: wol.analyse(np.ones((2, 11))), InvalidArgumentError),
    ("window: no wells", lambda: wol.analyse(np.ones((0, 20))), None),
    ("window: NaN readings", lambda: wol.analyse(np.full((2, 20), np.nan)), None),
    ("window: a read-only plate", lambda: wol.analyse(np.frombuffer(np.ones(40).tobytes()).reshape(2, 20)), None),
]


def run_all():
    """Every case; returns the list of problems (empty when all ended as expected)."""
    problems = []
    for name, call, expected in CASES:
        try:
            call()
        except Exception as e:  # noqa: BLE001 - each case states the one type it must raise
            if expected is None or type(e) is not expected:
                problems.append(f"{name}: raised {type(e).__name__}: {e}")
        else:
            if expected is not None:
                problems.append(f"{name}: raised nothing, expected {expected.__name__}")
    return problems


def main():
    problems = run_all()
    for p in problems:
        print(p)
    print(f"api_misuse: {len(CASES)} cases against {core.LIBRARY_PATH} and {wol.library_path()}, {len(problems)} "
          f"ended otherwise than expected")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
