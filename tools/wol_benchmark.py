#!/usr/bin/python3
"""Benchmark of the Ct methods on the bundled dilution series and replicate
plate, with the measures of Ruijter et al. (2013) Methods 59:32:

    /usr/bin/python3 tools/wol_benchmark.py [BUILD_DIR]

Methods: the linear (threshold) Ct and the sigmoid Ct of QuelmarAlg, read
off a standard curve of the same Ct values; QuelmarAlgWol's Cq with N0 from
the target's mean efficiency (N0 = threshold / E^Cq) and from the standard
curve. Measures per dilution: SD of Cq, CV of N0 beside the Poisson floor
(1/sqrt(copies)), the fold between dilutions (truth 10), R^2 of log N0
against log copies, and the resolution: the smallest fold that triplicates
tell apart at p = 0.05 (two-sided t test, 4 degrees of freedom:
10^(2.776 * SD(log10 N0) * sqrt(2/3))). Not a timed test.
"""
import ctypes
import csv
import math
import os
import sys

import numpy as np

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
T_4DF = 2.776  # Student t, 4 degrees of freedom, two-sided 0.05


class Well(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in
                ("cq", "efficiency", "n0", "level", "slope", "plateau", "noise")] + \
               [(n, ctypes.c_int32) for n in ("ground_first", "ground_last", "window_first", "window_last", "reason",
                                              "in_mean", "still_rising", "baseline_stop", "baseline_steps",
                                              "ground_passes")]


class Target(ctypes.Structure):
    _fields_ = [(n, ctypes.c_double) for n in
                ("low", "high", "threshold", "plateau_median", "mean_efficiency", "efficiency_sd", "cv")] + \
               [(n, ctypes.c_int32) for n in ("wells", "amplified", "in_window", "in_mean", "stop", "steps",
                                              "r0", "r1", "r2", "r3")]


def read(name):
    with open(os.path.join(ROOT, "data", name)) as f:
        rows = list(csv.reader(f))
    return rows[0][1:], np.array([[float(x) for x in r[1:]] for r in rows[1:]]).T.copy()


def core_cts(lib, plate):
    wells, cycles = plate.shape
    records = (ctypes.c_char * (144 * wells))()
    threshold = ctypes.c_double()
    data = plate.ctypes.data_as(ctypes.c_void_p)
    assert lib.alg_calc_threshold(records, ctypes.c_size_t(wells), data, ctypes.c_size_t(wells),
                                  ctypes.c_size_t(cycles), ctypes.byref(threshold)) == 0
    curves = np.zeros(wells * cycles)
    linear, sigmoid = np.zeros(wells), np.zeros(wells)
    assert lib.alg_linear_batch_calc_ct(records, ctypes.c_size_t(wells), threshold, data, ctypes.c_size_t(wells),
                                        ctypes.c_size_t(cycles), curves.ctypes.data_as(ctypes.c_void_p),
                                        linear.ctypes.data_as(ctypes.c_void_p)) == 0
    assert lib.alg_sigmoid_batch_calc_ct(records, ctypes.c_size_t(wells), ctypes.c_size_t(0),
                                         sigmoid.ctypes.data_as(ctypes.c_void_p)) == 0
    return linear, sigmoid


def wol(lib, plate):
    wells, cycles = plate.shape
    targets = np.zeros(wells, dtype=np.int32)
    out, target = (Well * wells)(), (Target * 1)()
    assert lib.wol_analyse(plate.ctypes.data_as(ctypes.c_void_p), ctypes.c_size_t(wells), ctypes.c_size_t(cycles),
                           targets.ctypes.data_as(ctypes.c_void_p), ctypes.c_size_t(1), out, target) == 0
    return out, target[0]


def line(x, y):
    slope, intercept = np.polyfit(x, y, 1)
    r2 = np.corrcoef(x, y)[0, 1] ** 2
    return slope, intercept, r2


def dilution_table(name, cq, n0, groups, copies, efficiency):
    """Rows per dilution and the summary of one method."""
    ok = ~np.isnan(cq) & ~np.isnan(n0)
    x = np.log10(copies[ok])
    _, _, r2 = line(x, np.log10(n0[ok]))
    slope, _, _ = line(x, cq[ok])
    print(f"\n{name}: mean efficiency {efficiency:.4f}, standard curve efficiency {10 ** (-1 / slope):.4f} "
          f"(slope {slope:.3f}), R^2 of log N0 on log copies {r2:.4f}")
    print("| copies | n | SD Cq | CV N0 | Poisson | fold | log residual | resolution |")
    print("|---|---|---|---|---|---|---|---|")
    previous = None
    fit = np.polyfit(x, np.log10(n0[ok]), 1)
    for g in groups:
        sel = ok & (copies == g)
        n = n0[sel]
        mean_log = np.mean(np.log10(n))
        fold = f"{10 ** (previous - mean_log):.2f}" if previous is not None else ""
        previous = mean_log
        residual = mean_log - np.polyval(fit, math.log10(g))
        sd_log = np.std(np.log10(n), ddof=1)
        print(f"| {g:g} | {sel.sum()} | {np.std(cq[sel], ddof=1):.3f} | {100 * np.std(n, ddof=1) / np.mean(n):.1f} % "
              f"| {100 / math.sqrt(g):.1f} % | {fold} | {residual:+.3f} | {10 ** (T_4DF * sd_log * math.sqrt(2 / 3)):.2f} |")


def main():
    core = ctypes.CDLL(os.path.join(BUILD, "libQuelmarAlg.so"))
    second = ctypes.CDLL(os.path.join(BUILD, "libQuelmarAlgWol.so"))
    names, plate = read("dil4reps94.csv")
    copies = np.array([15000 / 10 ** (len(n.split("_")[0]) - 3) for n in names])
    groups = [15000, 1500, 150, 15]
    linear, sigmoid = core_cts(core, plate)
    wells, target = wol(second, plate)
    cq = np.array([w.cq for w in wells])
    print("## dil4reps94: 4 tenfold dilutions, 94 replicates each")
    for name, ct in (("linear Ct, standard curve", linear), ("sigmoid Ct, standard curve", sigmoid),
                     ("window-of-linearity Cq, standard curve", cq)):
        ok = ~np.isnan(ct)
        slope, intercept, _ = line(np.log10(copies[ok]), ct[ok])
        dilution_table(name, ct, 10 ** ((ct - intercept) / slope), groups, copies, 10 ** (-1 / slope))
    dilution_table("window-of-linearity Cq, N0 with the target's mean efficiency", cq,
                   np.array([w.n0 for w in wells]), groups, copies, target.mean_efficiency)

    names, plate = read("reps384.csv")
    linear, sigmoid = core_cts(core, plate)
    wells, target = wol(second, plate)
    print("\n## reps384: 379 replicates")
    print("| method | n | SD Cq | CV N0 | resolution | mean efficiency |")
    print("|---|---|---|---|---|---|")
    for name, ct, n0, e in (("linear Ct", linear, 2.0 ** -linear, float("nan")),
                            ("sigmoid Ct", sigmoid, 2.0 ** -sigmoid, float("nan")),
                            ("window-of-linearity Cq", np.array([w.cq for w in wells]),
                             np.array([w.n0 for w in wells]), target.mean_efficiency)):
        ok = ~np.isnan(ct) & ~np.isnan(n0)
        sd_log = np.std(np.log10(n0[ok]), ddof=1)
        print(f"| {name} | {ok.sum()} | {np.std(ct[ok], ddof=1):.3f} | "
              f"{100 * np.std(n0[ok], ddof=1) / np.mean(n0[ok]):.1f} % | "
              f"{10 ** (T_4DF * sd_log * math.sqrt(2 / 3)):.2f} | {e:.4f} |")


if __name__ == "__main__":
    main()
