"""The report's sections of the publication statistics: reference-gene
stability, the comparison of groups, inter-run calibration and the unknowns
of standard curves with their intervals. Each block returns HTML; the charts
are SVG written with :mod:`.svg`'s pieces, in the page's classes."""
import math
from html import escape

from . import svg
from .svg import Axes, Markup, tag

#: Charts of this section: a little lower than the curves.
HEIGHT = 280.0
#: Room above a bar for its significance mark, in doublings.
MARK_ROOM = 0.6


def _sentences(lines, cls="verdict"):
    return f'<ul class="{cls}">' + "".join(f"<li>{escape(x)}</li>" for x in lines) + "</ul>"


def _bars(values, labels, ylabel, limits=(), title="", colour=svg.PALETTE[0]):
    """Vertical bars from zero with dashed reference lines ``limits`` as (value, text) pairs."""
    top = max([v for v in values if math.isfinite(v)] + [b for b, _ in limits] + [0.0]) * 1.12 or 1.0
    margin = (svg.MARGIN[0], svg.MARGIN[1], svg.MARGIN[2], svg.MARGIN[3] + 30.0)
    axes = Axes((0.0, float(max(len(values), 1))), (0.0, top), height=HEIGHT, margin=margin)
    out = [axes.frame("", ylabel, xticks=[])]
    base = float(axes.y(0.0))
    for k, (v, label) in enumerate(zip(values, labels)):
        x = float(axes.x(k + 0.5))
        out.append(tag("text", label, class_="tick", text_anchor="end",
                       transform=f"translate({x:.1f} {axes.bottom + 12:.1f}) rotate(-25)"))
        if not math.isfinite(v):
            continue
        left, right = float(axes.x(k + 0.15)), float(axes.x(k + 0.85))
        y = float(axes.y(v))
        out.append(tag("rect", Markup(tag("title", f"{label}: {v:.3f}")), class_="bar", x=left, y=y,
                       width=right - left, height=base - y, fill=colour))
        out.append(tag("text", f"{v:.3f}", class_="tick", x=x, y=y - 3, text_anchor="middle"))
    for value, text in limits:
        y = float(axes.y(value))
        out.append(tag("line", class_="limit", x1=axes.left, x2=axes.right, y1=y, y2=y) +
                   tag("text", text, class_="limit", x=axes.right - 4, y=y - 3, text_anchor="end"))
    return svg.svg("".join(out), title or ylabel, height=HEIGHT)


# -- reference-gene stability -----------------------------------------------------------------

def references_block(result):
    """geNorm's M (stepwise) and V, NormFinder's stability, and the verdict in sentences."""
    homogeneous, heterogeneous = result.m_bounds
    order = list(reversed(result.ranking))  # least stable left, as geNorm draws its exclusion
    out = [_sentences(result.verdict)]
    figures = [_figure(_bars([result.m_excluded[x] for x in order], order, "geNorm M (when excluded)",
                             [(homogeneous, f"M {homogeneous:g}"), (heterogeneous, f"M {heterogeneous:g}")],
                             "geNorm stepwise M"),
                       f"geNorm's average expression stability M over {len(result.samples)} samples, each gene at the "
                       f"round of the stepwise exclusion it left (least stable left; the last pair shares the final "
                       f"M). Lines: the usual bounds for homogeneous ({homogeneous:g}) and heterogeneous "
                       f"({heterogeneous:g}) samples.")]
    if result.v:
        figures.append(_figure(_bars(list(result.v.values()), [f"V{n}/{n + 1}" for n in result.v],
                                     "pairwise variation V", [(result.v_cutoff, f"V {result.v_cutoff:g}")],
                                     "geNorm pairwise variation", colour=svg.PALETTE[2]),
                               f"Pairwise variation V(n/n+1) between the normalisation factors of the n and n+1 "
                               f"most stable genes; below {result.v_cutoff:g} the (n+1)-th gene adds nothing."))
    if result.normfinder:
        grouped = f"with groups {', '.join(result.groups)}" if len(result.groups) > 1 else "without groups"
        (a, b), value = result.best_pair
        figures.append(_figure(_bars([result.normfinder[x] for x in result.normfinder_ranking],
                                     list(result.normfinder_ranking), "NormFinder stability", (),
                                     "NormFinder stability", colour=svg.PALETTE[1]),
                               f"NormFinder's stability value {escape(grouped)} (log2 units; most stable left); best "
                               f"pair {escape(a)} and {escape(b)} ({value:.3f})."))
    out.append('<div class="figures">' + "".join(figures) + "</div>")
    if result.left_out:
        shown = result.left_out[:12]
        more = f" and {len(result.left_out) - len(shown)} more" if len(result.left_out) > len(shown) else ""
        out.append(f'<p class="note">Left out: {escape("; ".join(shown))}{more}.</p>')
    return "".join(out)


def _figure(picture, caption):
    return f'<figure class="chart stats">{picture}<figcaption>{caption}</figcaption></figure>'


# -- comparisons ------------------------------------------------------------------------------

def comparison_chart(result):
    """Per target, the fold change of each comparison as a bar from 1 on a log2 axis, its interval and mark."""
    rows = [r for r in result.rows if math.isfinite(r.log2_fold_change)]
    targets = list(dict.fromkeys(r.target for r in result.rows))
    pairs = list(dict.fromkeys((r.group_a, r.group_b) for r in result.rows))
    bounds = [v for r in rows for v in (r.log2_fold_change, math.log2(r.fold_low) if r.fold_low > 0 else math.nan,
                                        math.log2(r.fold_high) if r.fold_high > 0 else math.nan) if math.isfinite(v)]
    low, high = min(bounds + [0.0]) - svg.LOG2_PAD, max(bounds + [0.0]) + svg.LOG2_PAD + MARK_ROOM
    margin = (svg.MARGIN[0], svg.MARGIN[1], svg.MARGIN[2] + 16.0, svg.MARGIN[3] + 30.0)
    axes = Axes((0.0, float(max(len(targets), 1))), (low, high), margin=margin)
    yticks = [(float(v), f"{2.0 ** v:g}") for v in svg.ticks(low, high) if float(v).is_integer()]
    out = [axes.frame("", "fold change (log2 axis)", xticks=[], yticks=yticks)]
    width = svg.BARS_SHARE / max(len(pairs), 1)
    base = float(axes.y(0.0))
    for i, target in enumerate(targets):
        out.append(tag("text", target, class_="tick", text_anchor="end",
                       transform=f"translate({float(axes.x(i + 0.5)):.1f} {axes.bottom + 12:.1f}) rotate(-25)"))
    for r in rows:
        k = pairs.index((r.group_a, r.group_b))
        start = targets.index(r.target) + (1.0 - svg.BARS_SHARE) / 2
        left, right = float(axes.x(start + width * k)), float(axes.x(start + width * (k + 0.95)))
        top = float(axes.y(r.log2_fold_change))
        tip = (f"{r.target}: {r.group_b} over {r.group_a} {r.fold_change:.4g} ({svg.number(r.fold_low, 4)} to "
               f"{svg.number(r.fold_high, 4)}), p {r.p:.3g}, adjusted {r.p_adjusted:.3g}")
        out.append(tag("rect", Markup(tag("title", tip)), class_="bar", x=left, y=min(top, base), width=right - left,
                       height=abs(base - top), fill=svg.PALETTE[k % len(svg.PALETTE)]))
        mid = (left + right) / 2
        ends = [math.log2(v) for v in (r.fold_low, r.fold_high) if v > 0 and math.isfinite(v)]
        if len(ends) == 2:
            y0, y1 = float(axes.y(ends[0])), float(axes.y(ends[1]))
            out.append(tag("path", class_="errorbar", d=f"M{mid:.1f} {y0:.1f}V{y1:.1f}M{mid - 3:.1f} {y0:.1f}h6"
                                                        f"M{mid - 3:.1f} {y1:.1f}h6"))
        if r.significance:
            above = max(ends + [r.log2_fold_change, 0.0])
            out.append(tag("text", r.significance, class_="signif", x=mid, y=float(axes.y(above)) - 4,
                           text_anchor="middle"))
    out.append(tag("line", class_="one", x1=axes.left, x2=axes.right, y1=base, y2=base))
    x = axes.left
    for k, (a, b) in enumerate(pairs):
        name = f"{b} over {a}"
        out.append(tag("rect", x=x, y=4, width=10, height=10, fill=svg.PALETTE[k % len(svg.PALETTE)]) +
                   tag("text", name, class_="tick", x=x + 14, y=13))
        x += 24 + 6.5 * len(name)
    return svg.svg("".join(out), "fold changes between groups")


def comparison_block(result):
    how = result.adjustment_name
    family = "over the targets" if not result.anova else "over the targets (ANOVA) and over every pair of every target"
    lines = [f"{len(result.groups)} groups ({', '.join(result.groups)}), {result.replicates} replicates; log2 "
             f"normalised relative quantities; Welch's t-test"
             + (", one-way ANOVA" if result.anova else "") + f" and REST's randomisation test; p-values adjusted "
             f"{family} by {how}'s method; {result.level:.0%} intervals; marks * p < 0.05, ** p < 0.01, "
             f"*** p < 0.001 (adjusted Welch)."]
    lines += result.notes
    caption = (f"Fold change of every target (bars from 1 on a log2 axis) with its {result.level:.0%} confidence "
               f"interval and significance mark.")
    return _sentences(lines) + _figure(comparison_chart(result), caption)


# -- inter-run calibration --------------------------------------------------------------------

def calibration_block(rows, calibrators):
    lines = [f"Inter-run calibration (Hellemans et al. 2007) by {', '.join(calibrators)}: per run and target, the "
             f"calibrators' mean Cq against their mean over the runs gives the offset subtracted from every Cq of the "
             f"run; quantities are divided by the factor E^-offset (band: one standard error)."]
    table = [[escape(r.file), escape(r.run), escape(r.target), f"{r.offset:+.3f}", svg.number(r.se), f"{r.factor:.4f}",
              f"{svg.number(r.factor_low, 4)} to {svg.number(r.factor_high, 4)}", escape(r.calibrators)]
             for r in rows]
    head = ["file", "run", "target", "offset (cycles)", "SE", "factor", "factor band", "calibrators (wells, mean Cq)"]
    cells = "".join("<tr>" + "".join(f"<td>{c}</td>" for c in r) + "</tr>" for r in table)
    return (_sentences(lines) + '<table class="calibration"><thead><tr>' +
            "".join(f"<th>{escape(h)}</th>" for h in head) + f"</tr></thead><tbody>{cells}</tbody></table>")


# -- unknowns ---------------------------------------------------------------------------------

def unknowns_caption(fit, unknowns):
    """What a standard curve's unknowns rest on: the standards' range and the intervals."""
    level = f"{unknowns[0].level:.0%} " if unknowns else ""
    outside = sum(1 for u in unknowns if math.isfinite(u.quantity) and not u.inside)
    return (f" The standards span {fit.quantity_low:g} to {fit.quantity_high:g}; {len(unknowns)} unknown samples are "
            f"read off the line at their wells' mean Ct with a {level}inverse-prediction interval"
            f"{f', {outside} of them outside the range (extrapolated)' if outside else ''}.")
