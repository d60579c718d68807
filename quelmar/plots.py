"""Plots of the command's typed results (matplotlib, Agg backend: no display needed).

Each function takes the plates of :mod:`quelmar.results` (one panel each)
and returns the figure; :func:`quelmar.writers.save_figure` writes it (or a
report embeds it). ``note`` is a line above the panels.
"""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402
import numpy as np  # noqa: E402

FLAGGED = dict(color="0.6", linestyle="--", linewidth=0.8)
MAX_TITLE = 48


def _panels(n, width=6.0, height=4.2):
    n = max(n, 1)  # an empty picture still has a frame to say so in
    columns = min(n, 2 if n <= 4 else 3)
    rows = math.ceil(n / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(width * columns, height * rows), squeeze=False)
    for ax in axes.flat[n:]:
        ax.set_visible(False)
    return fig, axes.flat


def _finish(fig, note):
    if note:
        fig.suptitle(note, fontsize=9)
    fig.tight_layout()
    return fig


def _title(label):
    return label if len(label) <= MAX_TITLE else label[:MAX_TITLE - 3] + "..."


def amplify(plates, note=""):
    """Conditioned curves (file units) with the threshold and each linear Ct; flagged wells grey and dashed.

    The legend counts the wells with a Ct, the wells drawn as flagged, and each flag.
    """
    fig, axes = _panels(len(plates))
    for ax, p in zip(axes, plates):
        # One collection per style: a plate of 20,000 wells draws in a moment.
        flagged = np.array([bool(w.flags) for w in p.wells], dtype=bool)
        ct = np.array([w.ct_linear for w in p.wells], dtype=float)
        segments = np.stack([np.broadcast_to(p.cycles, p.curves.shape), p.curves], axis=-1)
        colours = plt.cm.viridis(np.linspace(0.0, 0.9, max(len(p.wells), 1)))
        ax.add_collection(LineCollection(segments[~flagged], colors=colours[~flagged], linewidths=1.0))
        ax.add_collection(LineCollection(segments[flagged], colors=FLAGGED["color"], linewidths=FLAGGED["linewidth"],
                                         linestyles=FLAGGED["linestyle"]))
        ax.autoscale_view()
        has_ct = np.isfinite(ct)
        ax.plot(ct[has_ct & ~flagged], np.full(int((has_ct & ~flagged).sum()), p.threshold), "o", markersize=3.5,
                color="black", zorder=3)
        ax.plot(ct[has_ct & flagged], np.full(int((has_ct & flagged).sum()), p.threshold), "o", markersize=3.5,
                color="0.5", zorder=3)
        with_ct, flagged = int(has_ct.sum()), int(flagged.sum())
        ax.axhline(p.threshold, color="crimson", linewidth=1.0)
        ax.plot([], [], color="crimson", label=f"threshold {p.threshold:.4g}")
        ax.plot([], [], "o", color="black", markersize=3.5, label=f"Ct ({with_ct} of {len(p.wells)} wells)")
        ax.plot([], [], label=f"flagged ({flagged} wells)", **FLAGGED)
        for name, k in p.flag_counts().items():
            ax.plot([], [], " ", label=f"  {name}: {k}")
        ax.legend(loc="upper left", fontsize=7)
        ax.set_title(f"{_title(p.label)} (scale {p.scale:g})", fontsize=9)
        ax.set_xlabel("cycle")
        ax.set_ylabel("conditioned fluorescence (file units)")
    return _finish(fig, note)


def melt(plates, note=""):
    """-dF/dT of each well (conditioned) with its fitted Gaussians (dashed) and Tm marks."""
    fig, axes = _panels(len(plates))
    for ax, p in zip(axes, plates):
        curves = [c for c in p.curves if not c.problem]
        colours = plt.cm.tab10(np.arange(len(curves)) % 10)
        few = len(curves) <= 8
        for c, colour in zip(curves, colours):
            ax.plot(c.grid, c.conditioned, color=colour, linewidth=1.0, alpha=0.8, label=c.well if few else None)
            ax.plot(c.grid, c.fitted, color=colour, linewidth=0.9, linestyle="--")
            tm = [k.tm for k in c.peaks]
            height = [k.height for k in c.peaks]
            ax.plot(tm, height, "v", color=colour, markersize=5)
            if len(curves) <= 6:
                for t, h in zip(tm, height):
                    ax.annotate(f"{t:.1f}", (t, h), textcoords="offset points", xytext=(0, 5), ha="center",
                                fontsize=7)
        ax.plot([], [], color="0.3", label="-dF/dT, conditioned")
        ax.plot([], [], color="0.3", linestyle="--", label="fitted Gaussians")
        ax.plot([], [], "v", color="0.3", label="Tm")
        if len(curves) < len(p.curves):
            ax.plot([], [], " ", label=f"not analysed: {len(p.curves) - len(curves)} wells")
        ax.margins(y=0.12)  # room for the Tm labels above the tallest peak
        ax.legend(loc="upper right", fontsize=7)
        ax.set_title(_title(p.label), fontsize=9)
        ax.set_xlabel("temperature (°C)")
        ax.set_ylabel("-dF/dT")
    return _finish(fig, note)


def standard(plates, note=""):
    """Ct against log10 quantity with the fitted line; the unknowns placed on it."""
    plates = [p for p in plates if p.fit is not None]
    fig, axes = _panels(len(plates), 5.5, 4.2)
    for ax, p in zip(axes, plates):
        fit = p.fit
        std = [w for w in p.wells if w.role == "standard" and math.isfinite(w.ct)]
        unknown = [w for w in p.wells if w.role == "unknown" and math.isfinite(w.quantity)]
        x = np.log10([w.quantity for w in std])
        ax.plot(x, [w.ct for w in std], "o", color="C0", markersize=5, label=f"standards ({len(std)})")
        if unknown:
            ax.plot(np.log10([w.quantity for w in unknown]), [w.ct for w in unknown], "x", color="C2", markersize=6,
                    label=f"unknowns ({len(unknown)})")
        everything = np.concatenate([x, np.log10([w.quantity for w in unknown])]) if unknown else x
        line = np.linspace(everything.min() - 0.2, everything.max() + 0.2, 2)
        ax.plot(line, fit.slope * line + fit.intercept, color="crimson",
                label=f"Ct = {fit.slope:.3f} log10 Q + {fit.intercept:.2f}\n"
                      f"efficiency {fit.efficiency:.1f} %, R² {fit.r_squared:.4f}")
        ax.legend(fontsize=8)
        ax.set_title(_title(p.label) + (f"\n{fit.warning}" if fit.warning else ""), fontsize=9,
                     color="firebrick" if fit.warning else "black")
        ax.set_xlabel("log10 quantity")
        ax.set_ylabel(f"{fit.ct_kind} Ct")
    return _finish(fig, note)


def quantify(results, note=""):
    """Relative quantity per sample and target as bars from 1 on a log2 axis, with the error bars."""
    fig, axes = _panels(len(results), 7.0, 4.5)
    for ax, q in zip(axes, results):
        samples = list(dict.fromkeys(r.sample for r in q.rows))
        targets = list(dict.fromkeys(r.target for r in q.rows))
        width = 0.8 / max(len(targets), 1)
        where = {s: i for i, s in enumerate(samples)}
        for k, target in enumerate(targets):
            rows = [r for r in q.rows if r.target == target and math.isfinite(r.rq) and r.rq > 0]
            if not rows:
                continue
            x = np.array([where[r.sample] for r in rows]) - 0.4 + width * (k + 0.5)
            rq = np.array([r.rq for r in rows])
            low = np.array([r.rq_low if math.isfinite(r.rq_low) else r.rq for r in rows])
            high = np.array([r.rq_high if math.isfinite(r.rq_high) else r.rq for r in rows])
            ax.bar(x, rq - 1.0, width=width * 0.95, bottom=1.0, color=f"C{k % 10}", label=target)
            ax.errorbar(x, rq, yerr=[rq - low, high - rq], fmt="none", ecolor="black", elinewidth=0.8, capsize=2)
        ax.set_yscale("log", base=2)
        ax.axhline(1.0, color="0.3", linewidth=0.8)
        ax.set_xticks(range(len(samples)))
        ax.set_xticklabels(samples, rotation=30 if len(samples) > 4 else 0, ha="right" if len(samples) > 4 else
                           "center", fontsize=8)
        ax.set_ylabel(f"relative quantity (log2 axis), {q.error} error bars")
        ax.set_title(f"{_title(q.file.rsplit('/', 1)[-1])}\n{_title(q.label)}", fontsize=9)
        if targets:
            ax.legend(fontsize=8)
    return _finish(fig, note)
