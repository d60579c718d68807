"""Plots of the command's results (matplotlib, Agg backend: no display needed)."""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

FLAGGED = dict(color="0.6", linestyle="--", linewidth=0.8)


def _panels(n, width=6.0, height=4.2):
    columns = min(n, 2 if n <= 4 else 3)
    rows = math.ceil(n / columns)
    fig, axes = plt.subplots(rows, columns, figsize=(width * columns, height * rows), squeeze=False)
    for ax in axes.flat[n:]:
        ax.set_visible(False)
    return fig, axes.flat


def _save(fig, path):
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _title(plate):
    return plate["label"] if len(plate["label"]) <= 48 else plate["label"][:45] + "..."


def amplify(plates, path):
    """Conditioned curves (file units) with the threshold and each Ct marked; flagged wells grey and dashed."""
    fig, axes = _panels(len(plates))
    for ax, p in zip(axes, plates):
        r, cycles, scale = p["result"], p["cycles"], p["scale"]
        colours = plt.cm.viridis(np.linspace(0.0, 0.9, max(len(r.flags), 1)))
        for i, flags in enumerate(r.flags):
            curve = r.curves[i] / scale
            if flags:
                ax.plot(cycles, curve, **FLAGGED)
            else:
                ax.plot(cycles, curve, color=colours[i], linewidth=1.0)
            if math.isfinite(r.ct_linear[i]):
                ax.plot(r.ct_linear[i], p["threshold"], "o", markersize=3.5, color="black" if not flags else "0.5",
                        zorder=3)
        ax.axhline(p["threshold"], color="crimson", linewidth=1.0)
        finite = int(np.isfinite(r.ct_linear).sum())
        flagged = sum(1 for f in r.flags if f)
        ax.plot([], [], color="crimson", label=f"threshold {p['threshold']:.4g}")
        ax.plot([], [], "o", color="black", markersize=3.5, label=f"Ct ({finite} of {len(r.flags)} wells)")
        ax.plot([], [], label=f"flagged ({flagged})", **FLAGGED)
        ax.legend(loc="upper left", fontsize=8)
        ax.set_title(f"{_title(p)} (scale {p['scale']:g})", fontsize=9)
        ax.set_xlabel("cycle")
        ax.set_ylabel("conditioned fluorescence (file units)")
    _save(fig, path)


def melt(plates, path):
    """-dF/dT of each well (conditioned) with its fitted Gaussians (dashed) and Tm marks."""
    fig, axes = _panels(len(plates))
    for ax, p in zip(axes, plates):
        colours = plt.cm.tab10(np.arange(len(p["results"])) % 10)
        few = len(p["results"]) <= 8
        for (w, m), colour in zip(p["results"], colours):
            ax.plot(m.grid, m.conditioned, color=colour, linewidth=1.0, alpha=0.8, label=w.name if few else None)
            ax.plot(m.grid, m.fitted, color=colour, linewidth=0.9, linestyle="--")
            ax.plot(m.tm, m.height, "v", color=colour, markersize=5)
            if len(p["results"]) <= 6:
                for tm, h in zip(m.tm, m.height):
                    ax.annotate(f"{tm:.1f}", (tm, h), textcoords="offset points", xytext=(0, 5), ha="center",
                                fontsize=7)
        ax.plot([], [], color="0.3", label="-dF/dT, conditioned")
        ax.plot([], [], color="0.3", linestyle="--", label="fitted Gaussians")
        ax.plot([], [], "v", color="0.3", label="Tm")
        ax.margins(y=0.12)  # room for the Tm labels above the tallest peak
        ax.legend(loc="upper right", fontsize=7)
        ax.set_title(_title(p), fontsize=9)
        ax.set_xlabel("temperature (°C)")
        ax.set_ylabel("-dF/dT")
    _save(fig, path)


def standard(fits, path):
    """Ct against log10 quantity with the fitted line; efficiency and R² in the legend."""
    fig, axes = _panels(len(fits), 5.5, 4.2)
    for ax, p in zip(axes, fits):
        fit, x = p["fit"], np.log10(p["quantities"])
        ax.plot(x, p["ct"], "o", color="C0", markersize=5, label=f"wells ({fit.n})")
        line = np.linspace(x.min() - 0.2, x.max() + 0.2, 2)
        ax.plot(line, fit.slope * line + fit.intercept, color="crimson",
                label=f"Ct = {fit.slope:.3f} log10 Q + {fit.intercept:.2f}\n"
                      f"efficiency {fit.efficiency:.1f} %, R² {fit.r_squared:.4f}")
        ax.legend(fontsize=8)
        ax.set_title(_title(p), fontsize=9)
        ax.set_xlabel("log10 quantity")
        ax.set_ylabel("linear Ct")
    _save(fig, path)
