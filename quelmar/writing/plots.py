"""Plots of the command's typed results (matplotlib, Agg backend: no display needed).

Each function takes the plates of :mod:`quelmar.results` (one panel each)
and returns the figure; :func:`quelmar.writing.writers.save_figure` writes it (or a
report embeds it). ``note`` is a line above the panels.
"""
import math
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402
import numpy as np  # noqa: E402

from ..common.text import printable  # noqa: E402

MAX_TITLE = 48
#: Plates of at most this many wells get a key naming every well.
MAX_KEY = 12
#: Flagged wells are dashed; on plates too large for a key, in the colour of their first flag
#: (flags not listed here are grey).
FLAG_COLOURS = {"no-peak": "0.6", "ntc-peak": "crimson", "extra-peak": "darkorange", "tm-outlier": "purple",
                "low-tm": "saddlebrown", "ntc-amplified": "crimson", "late-ct": "darkorange",
                "replicate-outlier": "purple", "efficiency-outlier": "teal", "no-ct": "0.6", "low-signal": "0.6",
                "no-growth": "0.6"}
#: A log axis starts this far below the threshold (the noise of the baseline is not worth a decade).
LOG_DEPTH = 30.0


def _style(flags, colour, keyed):
    """Line style of a well: solid in its own colour, dashed when flagged; without a key, a flagged
    well takes the colour of its first flag, since its own could not be looked up anyway."""
    if not flags:
        return dict(color=colour, linewidth=1.0)
    return dict(color=colour if keyed else FLAG_COLOURS.get(flags[0], "0.6"), linestyle="--", linewidth=0.9)


def _flag_key(ax, counts, flagged, keyed):
    """Legend entries for the flagged wells and each flag's count: the wells with the flag, as the
    tables count them (a well with two flags counts under both, and is drawn in its first flag's
    colour when there is no well key)."""
    how = "" if keyed else ", each in the colour of its first flag"
    ax.plot([], [], label=f"flagged ({flagged} wells{how})", color="0.3", linestyle="--", linewidth=0.9)
    for name, k in counts.items():
        if keyed:
            ax.plot([], [], " ", label=f"  {name}: {k}")
        else:
            ax.plot([], [], label=f"  {name}: {k}", color=FLAG_COLOURS.get(name, "0.6"), linestyle="--",
                    linewidth=0.9)


def _literal(text):
    """A name drawn as it is: matplotlib reads text between two ``$`` as mathematics (where an unknown
    command ends the drawing), and reads ``\\$`` as a plain ``$``. A control character is drawn as its
    escape, as the terminal shows it: no font has a glyph for it, and matplotlib's warning about the
    missing glyph would carry the character itself to the terminal."""
    return printable(text).replace("$", "\\$")


def _key(well, sample, flags, tm=math.nan):
    """A well's entry in a key: well, sample, main Tm and flags."""
    text = f"{well} {sample}" if sample and sample != well else well
    text += f" {tm:.1f}" if math.isfinite(tm) else ""
    return _literal(text + (f" [{', '.join(flags)}]" if flags else ""))


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
    return _literal(label if len(label) <= MAX_TITLE else label[:MAX_TITLE - 3] + "...")


def _titles(plates):
    """Each plate's label, after its file's name when the plates come from several files."""
    files = [os.path.basename(p.file) for p in plates]
    return [_title(f"{f}: {p.label}" if len(set(files)) > 1 else p.label) for f, p in zip(files, plates)]


def amplify(plates, note="", log=False):
    """Conditioned curves (file units) with the threshold and each linear Ct.

    Flagged wells are dashed; a plate of at most :data:`MAX_KEY` wells names
    every well and its flags in its key, a larger one draws a flagged well in
    the colour of its first flag. The legend counts the wells with a Ct and
    each flag. ``log`` draws a logarithmic fluorescence axis from
    :data:`LOG_DEPTH` times below the threshold.
    """
    fig, axes = _panels(len(plates))
    for ax, p, title in zip(axes, plates, _titles(plates)):
        flagged = np.array([bool(w.flags) for w in p.wells], dtype=bool)
        ct = np.array([w.ct_linear for w in p.wells], dtype=float)
        colours = plt.cm.viridis(np.linspace(0.0, 0.9, max(len(p.wells), 1)))
        keyed = len(p.wells) <= MAX_KEY
        if keyed:
            for i, w in enumerate(p.wells):
                ax.plot(p.cycles, p.curves[i], label=_key(w.well, w.sample, w.flags),
                        **_style(w.flags, colours[i], True))
        else:
            _collections(ax, p.cycles, p.curves, [w.flags for w in p.wells], colours)
        has_ct = np.isfinite(ct)
        for where, colour in ((has_ct & ~flagged, "black"), (has_ct & flagged, "0.5")):
            ax.plot(ct[where], np.full(int(where.sum()), p.threshold), "o", markersize=3.5, color=colour, zorder=3)
        ax.axhline(p.threshold, color="crimson", linewidth=1.0)
        ax.plot([], [], color="crimson", label=f"threshold {p.threshold:.4g}")
        grey = ", grey when flagged" if (has_ct & flagged).any() else ""
        ax.plot([], [], "o", color="black", markersize=3.5,
                label=f"Ct ({int(has_ct.sum())} of {len(p.wells)} wells{grey})")
        _flag_key(ax, p.flag_counts(), int(flagged.sum()), keyed)
        if log and p.threshold > 0:
            top = float(np.nanmax(p.curves)) if p.curves.size else p.threshold
            ax.set_yscale("log", nonpositive="mask")
            ax.set_ylim(p.threshold / LOG_DEPTH, max(top, p.threshold) * 2.0)
        ax.legend(loc="upper left", fontsize=7, ncol=2 if keyed and len(p.wells) > 6 else 1)
        ax.set_title(f"{title} (scale {p.scale:g})", fontsize=9)
        ax.set_xlabel("cycle")
        ax.set_ylabel("conditioned fluorescence (file units" + (", log axis)" if log else ")"))
    return _finish(fig, note)


def _collections(ax, x, curves, flags, colours):
    """Curves drawn as one collection per style: a plate of 20,000 wells draws in a moment."""
    segments = np.stack([np.broadcast_to(x, curves.shape), curves], axis=-1)
    first = np.array([f[0] if f else "" for f in flags])
    plain = first == ""
    ax.add_collection(LineCollection(segments[plain], colors=colours[plain], linewidths=1.0))
    for name in dict.fromkeys(first[~plain]):
        style = _style((name,), None, False)
        ax.add_collection(LineCollection(segments[first == name], colors=style["color"],
                                         linewidths=style["linewidth"], linestyles=style["linestyle"]))
    ax.autoscale_view()


def melt(plates, note=""):
    """-dF/dT of each well, one panel per run and target, with its peaks.

    Each curve is drawn in full over its readings, faint outside the range its
    peaks were sought in; the main peak is a filled triangle at its Tm,
    further peaks hollow ones. Flagged wells are dashed; a plate of at most
    :data:`MAX_KEY` wells names every well, its main Tm and its flags in its
    key, a larger one draws a flagged well in the colour of its first flag
    (as collections, so that large plates draw quickly). The title gives the
    median main Tm and its spread.
    """
    fig, axes = _panels(len(plates))
    for ax, p, title in zip(axes, plates, _titles(plates)):
        curves = [c for c in p.curves if c.temperature.size]
        colours = plt.cm.tab10(np.arange(len(curves)) % 10)
        keyed = len(curves) <= MAX_KEY
        styles = [_style(c.flags, colour, keyed) for c, colour in zip(curves, colours)]
        inside = [(c.temperature >= c.summary.range_low) & (c.temperature <= c.summary.range_high) for c in curves]
        if keyed:
            for c, style, i in zip(curves, styles, inside):
                ax.plot(c.temperature, c.derivative, alpha=0.3, **style)
                ax.plot(c.temperature[i], c.derivative[i], label=_key(c.well, c.sample, c.flags, c.tm), **style)
        else:
            _melt_collections(ax, curves, styles, inside)
        marks = [(k.tm, float(np.interp(k.tm, c.temperature, c.derivative)), k.main, style["color"])
                 for c, style in zip(curves, styles) for k in c.peaks]
        for main in (True, False):
            chosen = [m for m in marks if m[2] == main]
            if chosen:
                ax.scatter([m[0] for m in chosen], [m[1] for m in chosen], marker="v", s=30 if main else 18,
                           c=[m[3] for m in chosen] if main else "none",
                           edgecolors=[m[3] for m in chosen], zorder=3)
        ax.plot([], [], "v", color="0.3", label="main Tm")
        ax.plot([], [], "v", color="0.3", markerfacecolor="none", label="other peaks")
        ax.plot([], [], color="0.3", alpha=0.3, label="outside the analysis range")
        _flag_key(ax, p.flag_counts(), sum(bool(c.flags) for c in curves), keyed)
        if len(curves) < len(p.curves):
            ax.plot([], [], " ", label=f"not analysed: {len(p.curves) - len(curves)} wells")
        ax.legend(loc="upper left", fontsize=7, ncol=2 if keyed and len(curves) > 6 else 1)
        tms = [c.tm for c in curves if math.isfinite(c.tm)]
        spread = (f"\nmain Tm {np.median(tms):.2f} °C, median of {len(tms)} wells ({min(tms):.1f} to {max(tms):.1f})"
                  if tms else "\nno main peak")
        ax.set_title(title + spread, fontsize=9)
        ax.set_xlabel("temperature (°C)")
        ax.set_ylabel("-dF/dT (file units per °C)")
    return _finish(fig, note)


def _melt_collections(ax, curves, styles, inside):
    """Melting curves as a few collections: faint in full, then the analysed part per line style."""
    whole = [np.column_stack([c.temperature, c.derivative]) for c in curves]
    ax.add_collection(LineCollection(whole, colors=[s["color"] for s in styles], linewidths=0.8, alpha=0.3))
    for dashed in (False, True):
        chosen = [(w[i], s) for w, s, i in zip(whole, styles, inside) if ("linestyle" in s) == dashed]
        if chosen:
            ax.add_collection(LineCollection([w for w, _ in chosen], colors=[s["color"] for _, s in chosen],
                                             linewidths=chosen[0][1]["linewidth"],
                                             linestyles="--" if dashed else "-"))
    ax.autoscale_view()


def standard(plates, note=""):
    """Ct against log10 quantity with the fitted line; the unknowns placed on it."""
    plates = [p for p in plates if p.fit is not None]
    fig, axes = _panels(len(plates), 5.5, 4.2)
    for ax, p, title in zip(axes, plates, _titles([p.amplification for p in plates])):
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
        ax.set_title(title + (f"\n{fit.warning}" if fit.warning else ""), fontsize=9,
                     color="firebrick" if fit.warning else "black")
        ax.set_xlabel("log10 quantity")
        ax.set_ylabel(f"{fit.ct_kind} Ct")
    return _finish(fig, note)


def quantify(results, note=""):
    """Relative quantity per sample and target as bars from 1 on a log2 axis, with the error bars; the
    fold changes and their significance marks instead when groups were compared."""
    compared = [q.comparison for q in results if q.comparison is not None]
    if compared:
        return comparison(compared, note)
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
            ax.bar(x, rq - 1.0, width=width * 0.95, bottom=1.0, color=f"C{k % 10}", label=_literal(target))
            ax.errorbar(x, rq, yerr=[rq - low, high - rq], fmt="none", ecolor="black", elinewidth=0.8, capsize=2)
        _log2_axis(ax)
        ax.axhline(1.0, color="0.3", linewidth=0.8)
        _category_axis(ax, samples)
        ax.set_ylabel(f"relative quantity (log2 axis), {q.error} error bars")
        ax.set_title(f"{_title(os.path.basename(q.file))}\n{_title(q.label)}", fontsize=9)
        if targets:
            ax.legend(fontsize=8)
    return _finish(fig, note)


#: Below this ratio of a log2 axis' ends, powers of two alone leave it with one tick or none: it gets
#: eighths of each doubling too.
NARROW_LOG2 = 4.0


#: Category labels beyond this many are slanted so that long names do not overlap.
SLANT_ABOVE = 4


def _category_axis(ax, names):
    """One tick per name along x, the names drawn as they are."""
    ax.set_xticks(range(len(names)))
    slanted = len(names) > SLANT_ABOVE
    ax.set_xticklabels([_literal(n) for n in names], rotation=30 if slanted else 0,
                       ha="right" if slanted else "center", fontsize=8)


def _log2_axis(ax):
    """A log2 axis of ratios labelled as plain numbers (0.5, 1, 1.25), readable however narrow."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter
    ax.set_yscale("log", base=2)
    low, high = ax.get_ylim()
    if low > 0 and high / low < NARROW_LOG2:
        ax.yaxis.set_major_locator(LogLocator(base=2, subs=np.arange(1.0, 2.0, 0.125)))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:.4g}"))
    ax.yaxis.set_minor_formatter(NullFormatter())


def comparison(results, note=""):
    """Per file, the fold change of every target and comparison as bars from 1 on a log2 axis, with the
    confidence interval and the significance mark above."""
    fig, axes = _panels(len(results), 7.0, 4.5)
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
            ax.bar(x, fc - 1.0, width=width * 0.95, bottom=1.0, color=f"C{k % 10}",
                   label=_literal(f"{pair[1]} over {pair[0]}"))
            ax.errorbar(x, fc, yerr=[fc - low, high - fc], fmt="none", ecolor="black", elinewidth=0.8, capsize=2)
            for xi, top, r in zip(x, np.maximum(np.maximum(high, fc), 1.0), rows):
                ax.annotate(r.significance, (xi, top), textcoords="offset points", xytext=(0, 3), ha="center",
                            fontsize=9)
        ax.margins(y=0.15)
        _log2_axis(ax)
        ax.axhline(1.0, color="0.3", linewidth=0.8)
        _category_axis(ax, targets)
        ax.set_ylabel(f"fold change (log2 axis), {c.level:.0%} interval")
        ax.set_title(f"{_title(os.path.basename(c.file))}: {c.replicates} replicates\n* p < 0.05, ** < 0.01, "
                     f"*** < 0.001 ({c.adjustment_name}-adjusted Welch)", fontsize=9)
        if pairs:
            ax.legend(fontsize=8)
    return _finish(fig, note)


def references(results, note=""):
    """Per file, geNorm's M when each gene left the stepwise exclusion (least stable left) beside
    NormFinder's stability value, with geNorm's usual bounds on M dashed."""
    fig, axes = _panels(len(results), 7.0, 4.2)
    for ax, r in zip(axes, results):
        order = list(reversed(r.ranking))
        x = np.arange(len(order))
        ax.bar(x - 0.2, [r.m_excluded[k] for k in order], width=0.38, color="C0", label="geNorm M (when excluded)")
        if r.normfinder:
            ax.bar(x + 0.2, [r.normfinder[k] for k in order], width=0.38, color="C1", label="NormFinder stability")
        for b in r.m_bounds:
            ax.axhline(b, color="0.4", linestyle="--", linewidth=0.8)
        _category_axis(ax, order)
        vs = ", ".join(f"V{n}/{n + 1} {v:.3f}" for n, v in r.v.items())
        ax.set_title(f"{_title(os.path.basename(r.file))}: {len(r.samples)} samples\n{vs or 'two genes: no V'} "
                     f"(cut-off {r.v_cutoff:g})", fontsize=9)
        ax.legend(fontsize=8)
    return _finish(fig, note)
