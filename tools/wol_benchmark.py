#!/usr/bin/python3
"""Benchmark of the Ct methods on the bundled dilution series (dil4reps94,
and lievens1, held out: never used to tune the method), replicate plate and
RDML files, with the measures of Ruijter et al. (2013) Methods
59:32:

    /usr/bin/python3 tools/wol_benchmark.py [BUILD_DIR]

Methods: the linear (threshold) Ct and the sigmoid Ct of QuelmarAlg, read
off a standard curve of the same Ct values; QuelmarAlgWol's Cq with N0 from
the target's mean efficiency (N0 = threshold / E^Cq) and from the standard
curve. Measures per dilution: SD of Cq, CV of N0 beside the Poisson floor
(1/sqrt(copies)), the fold between dilutions (truth 10, or 5 on lievens1), R^2 of log N0
against log copies, and the resolution: the smallest fold that triplicates
tell apart at p = 0.05 (two-sided t test, 4 degrees of freedom:
10^(2.776 * SD(log10 N0) * sqrt(2/3))).

On the RDML files (real instrument exports, already normalised or with the
baseline removed by the instrument) against the instrument's own Cq: the
median over replicate groups of the replicate SD, the correlation r over the
wells that both give a number (over the whole file, and within targets,
each target's mean taken out, since every method puts its threshold per
target somewhere else), and each target's mean efficiency beside the one
the file stores. Replicates are the wells of one run, target, sample, sample
type and quantity, negative controls left out; in BioRad_qPCR_melt.rdml the
same sample names stand in rows A, D and H for three amounts the file does
not name (their instrument Cq lie 10 to 20 cycles apart), so there a
replicate group is also one row. Not a timed test.
"""
import csv
import math
import os
import re
import sys
import xml.etree.ElementTree as ET
import zipfile

import numpy as np

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
os.environ.setdefault("QUELMARALG_LIBRARY", os.path.join(BUILD, "libQuelmarAlg.so"))
sys.path.insert(0, ROOT)

import quelmar  # noqa: E402  (after the library path is set)
from quelmar.analysis.units import plate_scale  # noqa: E402
from quelmar.binding import wol as wol_binding  # noqa: E402  (QuelmarAlgWol, found beside QuelmarAlg)

T_4DF = 2.776  # Student t, 4 degrees of freedom, two-sided 0.05
NEGATIVE = {"ntc", "nac", "ntp", "nrt"}
ROW_REPLICATES = {"BioRad_qPCR_melt.rdml"}


def read_csv(name):
    with open(os.path.join(ROOT, "data", name)) as f:
        rows = list(csv.reader(f))
    return rows[0][1:], np.array([[float(x) for x in r[1:]] for r in rows[1:]]).T.copy()


def core_cts(plate):
    """Linear and sigmoid Ct of QuelmarAlg, on the plate scaled as the toolkit scales it."""
    result = quelmar.analyze_amplification(plate * plate_scale(plate))
    return np.asarray(result.ct_linear), np.asarray(result.ct_sigmoid)


def wol(plate):
    """QuelmarAlgWol's records of a plate of one target: the wells' and the target's."""
    wells, targets = wol_binding.analyse(plate)
    return wells, targets[0]


def line(x, y):
    slope, intercept = np.polyfit(x, y, 1)
    r2 = np.corrcoef(x, y)[0, 1] ** 2
    return slope, intercept, r2


def dilution_table(name, cq, n0, groups, copies, efficiency, step, poisson):
    """Rows per dilution and the summary of one method; `step` is the true fold between dilutions."""
    ok = ~np.isnan(cq) & ~np.isnan(n0)
    x = np.log10(copies[ok])
    _, _, r2 = line(x, np.log10(n0[ok]))
    slope, _, _ = line(x, cq[ok])
    print(f"\n{name}: mean efficiency {efficiency:.4f}, standard curve efficiency {10 ** (-1 / slope):.4f} "
          f"(slope {slope:.3f}), R^2 of log N0 on log copies {r2:.4f}, wells without a number {(~ok).sum()}")
    print(f"| {'copies' if poisson else 'amount'} | n | SD Cq | CV N0 | Poisson | fold (truth {step:g}) | log residual "
          "| resolution |")
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
        floor = f"{100 / math.sqrt(g):.1f} %" if poisson else ""
        print(f"| {g:g} | {sel.sum()} | {np.std(cq[sel], ddof=1):.3f} | {100 * np.std(n, ddof=1) / np.mean(n):.1f} % "
              f"| {floor} | {fold} | {residual:+.3f} | {10 ** (T_4DF * sd_log * math.sqrt(2 / 3)):.2f} |")


def dilution_plate(title, plate, copies, groups, step, poisson):
    """Every method's table on one plate of a dilution series."""
    linear, sigmoid = core_cts(plate)
    wells, target = wol(plate)
    cq = wells["cq"]
    print(title)
    for name, ct in (("linear Ct, standard curve", linear), ("sigmoid Ct, standard curve", sigmoid),
                     ("window-of-linearity Cq, standard curve", cq)):
        ok = ~np.isnan(ct)
        slope, intercept, _ = line(np.log10(copies[ok]), ct[ok])
        dilution_table(name, ct, 10 ** ((ct - intercept) / slope), groups, copies, 10 ** (-1 / slope), step, poisson)
    dilution_table("window-of-linearity Cq, N0 with the target's mean efficiency", cq, wells["n0"], groups, copies,
                   target["mean_efficiency"], step, poisson)


def plates():
    names, plate = read_csv("dil4reps94.csv")
    copies = np.array([15000 / 10 ** (len(n.split("_")[0]) - 3) for n in names])
    dilution_plate("## dil4reps94: 4 tenfold dilutions, 94 replicates each", plate, copies, [15000, 1500, 150, 15],
                   10, True)

    names, plate = read_csv("reps384.csv")
    linear, sigmoid = core_cts(plate)
    wells, target = wol(plate)
    print("\n## reps384: 379 replicates")
    print("| method | n | without a number | SD Cq | CV N0 | resolution | mean efficiency |")
    print("|---|---|---|---|---|---|---|")
    for name, ct, n0, e in (("linear Ct", linear, 2.0 ** -linear, float("nan")),
                            ("sigmoid Ct", sigmoid, 2.0 ** -sigmoid, float("nan")),
                            ("window-of-linearity Cq", wells["cq"], wells["n0"], target["mean_efficiency"])):
        ok = ~np.isnan(ct) & ~np.isnan(n0)
        sd_log = np.std(np.log10(n0[ok]), ddof=1)
        print(f"| {name} | {ok.sum()} | {(~ok).sum()} | {np.std(ct[ok], ddof=1):.3f} | "
              f"{100 * np.std(n0[ok], ddof=1) / np.mean(n0[ok]):.1f} % | "
              f"{10 ** (T_4DF * sd_log * math.sqrt(2 / 3)):.2f} | {e:.4f} |")

    # Held out: never used to choose the method's rules or constants. The copy
    # numbers are not known; amounts are relative to the most dilute (1).
    names, plate = read_csv("lievens1.csv")
    amounts = np.array([5.0 ** (5 - int(n[1:].split(".")[0])) for n in names])
    print("\n## lievens1 (held out): 5 fivefold dilutions, 18 replicates each; amounts relative to the most dilute")
    dilution_plate("", plate, amounts, [625, 125, 25, 5, 1], 5, False)


def stored_efficiencies(path):
    """Target id -> the amplification efficiency the file stores (as E, 2 = doubling), where it stores one."""
    out = {}
    with zipfile.ZipFile(path) as z:
        for member in z.namelist():
            if not member.endswith(".xml"):
                continue
            root = ET.fromstring(z.read(member))
            for target in root.iter():
                if not target.tag.endswith("}target") and target.tag != "target":
                    continue
                for child in target:
                    if child.tag.split("}")[-1] == "amplificationEfficiency" and child.text:
                        value = float(child.text)
                        # Some instruments write percent (93.9), others E (2.03); 0 is none.
                        if value > 0:
                            out[target.get("id")] = 1 + value / 100 if value > 3 else value
    return out


def replicate_groups(name, wells):
    groups = {}
    for i, w in enumerate(wells):
        if w.sample_type in NEGATIVE:
            continue
        row = re.match(r"[A-Za-z]*", w.name).group(0) if name in ROW_REPLICATES else ""
        key = (w.run, w.target, w.sample, w.sample_type, None if math.isnan(w.quantity) else w.quantity, row)
        groups.setdefault(key, []).append(i)
    return [g for g in groups.values() if len(g) >= 2]


def median_sd(values, groups):
    sds = [np.nanstd(values[g], ddof=1) for g in groups if np.isfinite(values[g]).sum() >= 2]
    return (float(np.median(sds)) if sds else float("nan")), len(sds)


def rdml_files():
    print("\n## RDML files against the instrument's Cq")
    print("\nWells with amplification data; with a number from the window of linearity (new), from the instrument,"
          " from both. Median replicate SD (groups with two numbers or more); r over the wells with both.\n")
    print("| file | wells | new / instrument / both | median replicate SD: new / instrument / sigmoid / linear "
          "(groups) | r | r within targets |")
    print("|---|---|---|---|---|---|")
    efficiencies = []
    folder = os.path.join(ROOT, "data", "rdml")
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".rdml"):
            continue
        path = os.path.join(folder, name)
        stored = stored_efficiencies(path)
        all_wells, cq, linear, sigmoid, ins = [], [], [], [], []
        within_new, within_ins = [], []
        for group in quelmar.read_rdml(path).groups():
            _, curves, wells = group.amplification()
            if not wells:
                continue
            results, target = wol(curves)
            new = results["cq"]
            lin, sig = core_cts(curves)
            own = np.array([w.cq for w in wells])
            all_wells += wells
            cq += list(new)
            linear += list(lin)
            sigmoid += list(sig)
            ins += list(own)
            both = np.isfinite(new) & np.isfinite(own)
            if both.sum() >= 2:
                within_new += list(new[both] - new[both].mean())
                within_ins += list(own[both] - own[both].mean())
            if target["in_window"] > 0:
                efficiencies.append((name, group.label, target, stored.get(group.target)))
        cq, linear, sigmoid, ins = (np.array(v) for v in (cq, linear, sigmoid, ins))
        if not np.isfinite(ins).any():
            continue
        groups = replicate_groups(name, all_wells)
        sd_new, n_groups = median_sd(cq, groups)
        both = np.isfinite(cq) & np.isfinite(ins)
        r = np.corrcoef(cq[both], ins[both])[0, 1] if both.sum() > 2 else float("nan")
        r_within = np.corrcoef(within_new, within_ins)[0, 1] if len(within_new) > 2 else float("nan")
        print(f"| {name} | {len(all_wells)} | {np.isfinite(cq).sum()} / {np.isfinite(ins).sum()} / {both.sum()} | "
              f"{sd_new:.3f} / {median_sd(ins, groups)[0]:.3f} / {median_sd(sigmoid, groups)[0]:.3f} / "
              f"{median_sd(linear, groups)[0]:.3f} ({n_groups}) | {r:.4f} | {r_within:.4f} |")
    print("\nPer target: the mean efficiency of the window of linearity (SD, wells in the mean / in the window),"
          " and the efficiency the file stores.\n")
    print("| file | target | mean efficiency | SD | wells | stored |")
    print("|---|---|---|---|---|---|")
    for name, label, t, e in efficiencies:
        print(f"| {name} | {label} | {t['mean_efficiency']:.4f} | {t['efficiency_sd']:.4f} | {t['in_mean']} / "
              f"{t['in_window']} | "
              f"{'' if e is None else f'{e:.4f}'} |")


def main():
    plates()
    rdml_files()


if __name__ == "__main__":
    main()
