"""Plots of the publication statistics (to join the command's plots)."""
import math
import os

import numpy as np


def comparison(results, note="", *, plt, panels, finish, title):
    """Per file, the fold change of every target and comparison as bars from 1 on a log2 axis, with the
    confidence interval and the significance mark above."""
    fig, axes = panels(len(results), 7.0, 4.5)
    for ax, c in zip(axes, results):
        targets = list(dict.fromkeys(r.target for r in c.rows))
        pairs = list(dict.fromkeys((r.group_a, r.group_b) for r in c.rows))
        width = 0.8 / max(len(pairs), 1)
        for k, pair in enumerate(pairs):
            rows = [r for r in c.rows if (r.group_a, r.group_b) == pair and math.isfinite(r.fold_change)]
            if not rows:
                continue
            x = np.array([targets.index(r.target) for r in rows]) - 0.4 + width * (k + 0.5)
            fc = np.array([r.fold_change for r in rows])
            low = np.array([r.fold_low if math.isfinite(r.fold_low) else r.fold_change for r in rows])
            high = np.array([r.fold_high if math.isfinite(r.fold_high) else r.fold_change for r in rows])
            ax.bar(x, fc - 1.0, width=width * 0.95, bottom=1.0, color=f"C{k % 10}", label=f"{pair[1]} over {pair[0]}")
            ax.errorbar(x, fc, yerr=[fc - low, high - fc], fmt="none", ecolor="black", elinewidth=0.8, capsize=2)
            for xi, top, r in zip(x, np.maximum(np.maximum(high, fc), 1.0), rows):
                ax.annotate(r.significance, (xi, top), textcoords="offset points", xytext=(0, 3), ha="center",
                            fontsize=9)
        ax.set_yscale("log", base=2)
        ax.axhline(1.0, color="0.3", linewidth=0.8)
        ax.margins(y=0.15)
        ax.set_xticks(range(len(targets)))
        ax.set_xticklabels(targets, rotation=30 if len(targets) > 4 else 0, ha="right" if len(targets) > 4 else
                           "center", fontsize=8)
        ax.set_ylabel(f"fold change (log2 axis), {c.level:.0%} interval")
        ax.set_title(f"{title(os.path.basename(c.file))}\n{c.replicates} replicates; * p < 0.05, ** < 0.01, "
                     f"*** < 0.001 ({c.adjustment}-adjusted)", fontsize=9)
        if pairs:
            ax.legend(fontsize=8)
    return finish(fig, note)


def references(results, note="", *, plt, panels, finish, title, bounds, cutoff):
    """Per file, geNorm's stepwise M (least stable left) and NormFinder's stability value."""
    fig, axes = panels(len(results), 7.0, 4.2)
    for ax, r in zip(axes, results):
        g = r.genorm
        order = list(reversed(g.ranking))
        m = dict(zip(g.ranking, g.m_ranked))
        x = np.arange(len(order))
        ax.bar(x - 0.2, [m[k] for k in order], width=0.38, color="C0", label="geNorm M (when excluded)")
        if r.normfinder is not None:
            ax.bar(x + 0.2, [r.normfinder.stability[k] for k in order], width=0.38, color="C1",
                   label="NormFinder stability")
        for b in bounds:
            ax.axhline(b, color="0.4", linestyle="--", linewidth=0.8)
        ax.set_xticks(x)
        ax.set_xticklabels(order, rotation=30 if len(order) > 4 else 0, ha="right" if len(order) > 4 else "center",
                           fontsize=8)
        vs = ", ".join(f"V{n}/{n + 1} {v:.3f}" for n, v in g.v.items())
        ax.set_title(f"{title(os.path.basename(r.file))}: {g.samples} samples\n{vs or 'two genes: no V'} "
                     f"(cut-off {cutoff:g})", fontsize=9)
        ax.legend(fontsize=8)
    return finish(fig, note)
