"""The thin layer and the analyses against direct ctypes calls, hand-worked
values and certified reference data; release of library objects."""
import ctypes
import gc
import math

import numpy as np
import pytest
from conftest import DATA, ptr

import quelmar
from quelmar import core
from quelmar.analysis import amplification, melting, statistics


def test_record_layout_passes_the_probe():
    record = core.new_records(1)
    for name, value in [("max_slope_index", 1.1), ("amplification_ratio", 2.2), ("reserved0", 3.3),
                        ("baseline_step", 4.4), ("baseline_sd", 5.5), ("baseline_start", 1), ("baseline_end", 2),
                        ("reserved5", 3), ("low_signal", 1), ("no_growth", 0)]:
        record[name] = value
    eight = ["max_corrected_slope", "reserved1", "third_value", "raw_max", "reserved2", "reserved3",
             "baseline_slope", "reserved4"]
    for k, name in enumerate(eight):
        record[name] = k
    record["reserved6"] = [1, 0, 1, 0, 1, 0]
    assert core.RECORD_DTYPE.itemsize == 144
    assert core.test_fitting_result(record) == 0
    assert [record[n][0] for n in eight] == [2 * k for k in range(8)]
    assert (record["baseline_start"][0], record["baseline_end"][0], record["reserved5"][0]) == (2, 4, 6)
    assert list(record["reserved6"][0]) == [0, 1, 0, 1, 0, 1] and record["no_growth"][0] == 1


def test_amplification_identical_to_direct_calls(raw, reps384):
    _, plate = reps384
    wells, cycles = plate.shape
    result = amplification.analyze_amplification(plate)

    records = (ctypes.c_char * (144 * wells))()
    threshold = ctypes.c_double()
    assert raw.alg_calc_threshold(records, wells, ptr(plate), wells, cycles, ctypes.byref(threshold)) == 0
    curves, ct, sig = np.empty(wells * cycles), np.empty(wells), np.empty(wells)
    assert raw.alg_linear_batch_calc_ct(records, wells, threshold, ptr(plate), wells, cycles, ptr(curves),
                                        ptr(ct)) == 0
    assert raw.alg_sigmoid_batch_calc_ct(records, wells, cycles, ptr(sig)) == 0

    assert result.threshold == threshold.value == result.auto_threshold
    assert np.array_equal(result.ct_linear, ct, equal_nan=True)
    assert np.array_equal(result.ct_sigmoid, sig, equal_nan=True)
    assert np.array_equal(result.curves, curves.reshape(cycles, wells).T)
    assert result.records.tobytes() == bytes(records)
    assert np.isfinite(ct).sum() == 379 and not result.low_signal.any()
    assert quelmar.version() == "1.1.1" and quelmar.LIBRARY_PATH == core.LIBRARY_PATH
    # Records carry the baselines into a second analysis at a threshold of its own, and are copied.
    before = result.records.tobytes()
    again = amplification.analyze_amplification(plate, records=result.records, threshold=2 * result.threshold)
    assert result.records.tobytes() == before and np.array_equal(again.records["baseline_end"],
                                                                 result.records["baseline_end"])
    assert again.threshold == 2 * result.threshold and again.auto_threshold == result.threshold
    assert np.all(again.ct_linear > result.ct_linear)


def test_melting_identical_to_direct_call_and_finds_the_four_products(raw):
    table = np.loadtxt(DATA / "dyemelt.csv", delimiter=",", skiprows=1)
    t, f = np.ascontiguousarray(table[:, 0]), np.ascontiguousarray(table[:, 1])
    count, grid, deriv = ctypes.c_size_t(), ctypes.POINTER(ctypes.c_double)(), ctypes.POINTER(ctypes.c_double)()
    assert raw.alg_melting(t.size, ptr(t), ptr(f), ctypes.byref(count), ctypes.byref(grid), ctypes.byref(deriv)) == 0
    direct = np.ctypeslib.as_array(deriv, (count.value,)).copy()
    raw.alg_darray_release(ctypes.byref(grid))
    raw.alg_darray_release(ctypes.byref(deriv))

    m = melting.analyze_melt(t, f)
    assert np.array_equal(m.derivative, direct) and m.grid.size == 10 * t.size - 9
    assert np.allclose(m.tm, [77.2, 80.0, 82.3, 84.6], atol=0.2)
    assert np.all(m.height > 0) and np.all(2.3548 * m.width <= 5.0)


@pytest.mark.parametrize("call, expected", [
    (lambda: core.sigmoid_batch_calc_ct(_record(5000, 25, 0.5))[0], 25 - math.log(2 + math.sqrt(3)) / 0.5 - 1.5),
    (lambda: core.sigmoid_batch_calc_ct(_record(9.99, 25, 0.5))[0], math.nan),
    (lambda: core.sigmoid([1000, 20, 0.5], [20.0])[0], 500.0),
    (lambda: list(core.increasing(1.0, 0.5, 3)), [1.0, 1.5, 2.0]),
    (lambda: list(core.calc_sd((1,), [3, 20, 21, 22, 1, 2, 15, 16])[:4]),
     [5.5, math.sqrt(1.5), math.sqrt(0.25 + 1 / 3), 5.0]),
    (lambda: list(core.calc_rq((1, 0, 2, 0, 1), [5.5, 1.224744871391589, 0.7637626158259734, 5], 3.5)[3:7]),
     [0.25, 2 ** (-1.224744871391589 - 2), 2 ** (1.224744871391589 - 2), 2.0]),
])
def test_hand_worked_values(call, expected):
    assert np.allclose(call(), expected, rtol=1e-12, atol=0, equal_nan=True)


def _record(a, x0, k):
    r = core.new_records(1)
    r["sigmoid_amplitude"], r["sigmoid_midpoint"], r["sigmoid_steepness"] = a, x0, k
    return r


def test_standard_line_on_certified_norris_data():
    y, x = np.loadtxt(DATA / "nist_norris.csv", delimiter=",", skiprows=1).T
    slope, intercept, rms, r2 = core.calc_standard(x, y)
    assert slope == pytest.approx(1.00211681802045, rel=1e-12)
    assert intercept == pytest.approx(-0.262323073774029, rel=1e-10)
    assert r2 == pytest.approx(0.999993745883712, rel=1e-12)
    assert rms * math.sqrt(36 / 34) == pytest.approx(0.884796396144373, rel=1e-10)


def test_standard_curve_replicates_and_relative_quantity_worked_by_hand():
    q = np.array([10.0, 100, 1000, 1e4, 0.0])
    ct = 35 - np.log10(q[:4]) / math.log10(2)  # a perfect doubling: 100 %
    fit = statistics.standard_curve(q, np.append(ct, 20.0))  # the quantity 0 is left out
    assert fit.n == 4 and fit.efficiency == pytest.approx(100.0, abs=1e-9) and fit.quantity(ct[2]) == pytest.approx(1e3)
    sample = statistics.replicate_statistics([20, 21, 22], [[15, 16]])
    calibrator = statistics.replicate_statistics([20.0, 20.0, 20.0, 20.0], [[16.5, 16.5]])
    assert (sample.value, sample.n, sample.target[0], sample.genes[0][0]) == (5.5, 5, 21.0, 15.5)
    rq = statistics.relative_quantification(sample, calibrator, error_bar="sd")
    assert rq["ddct"] == 2.0 and rq["rq"] == 0.25 and rq["lower"] < 0.25 < rq["upper"]


def test_objects_are_released_on_scope_exit_and_by_the_finalizer():
    gc.collect()
    live = dict(core.live_objects)
    with core.GaussCoeff([1.0, 2.0], [70.0, 80.0], [0.5, 0.6]) as peaks:
        assert [list(a) for a in peaks.data()] == [[1.0, 2.0], [70.0, 80.0], [0.5, 0.6]]
        with peaks.filter((1.5, 10.0, 0.0)) as tall:
            assert list(tall.data()[1]) == [80.0]
    assert peaks.closed and tall.closed and peaks._handle.value is None
    with pytest.raises(ValueError):
        peaks.data()
    peaks.close()  # a second release is harmless

    handle = core.MgfHandle(np.arange(10.0), np.ones(10))
    box = handle._handle
    del handle
    gc.collect()
    assert box.value is None
    melting.analyze_melt(*np.loadtxt(DATA / "dyemelt.csv", delimiter=",", skiprows=1)[:, :2].T)
    assert dict(core.live_objects) == live


