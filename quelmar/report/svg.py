"""The report's pictures as SVG written directly: plate maps and charts in
which every well is its own element carrying ``data-well``, so that the
page's script can tie a plate-map cell to its curves and back.

Coordinates are written to a tenth of a pixel; the curves of the
amplification and melting charts are data the page's script draws
(:mod:`.curves`), each stored once. Colours are presentation attributes, never style attributes: the
page's content security policy allows no inline style but its own sheet.
"""
import math
from html import escape

import numpy as np

from . import curves as _curves

#: Chart size in SVG units (the page scales it to its column).
WIDTH, HEIGHT = 600.0, 330.0
#: Left, right, top and bottom margins around the plotting area.
MARGIN = (62.0, 14.0, 12.0, 42.0)
#: Most points drawn per curve: about one per pixel of the plotting area.
MAX_POINTS = 280
#: A log axis starts this far below the threshold and ends this far above the highest reading, as the
#: command's plots do.
LOG_DEPTH, LOG_TOP = 30.0, 2.0
#: A linear axis reaches this far above the highest value; melting charts further, for the peak marks.
HEADROOM, PEAK_HEADROOM = 1.05, 1.08
#: Margins of the standard curve around its points: decades of quantity, cycles.
QUANTITY_PAD, CT_PAD = 0.25, 1.0
#: Margin of the relative quantity axis around its values, in doublings.
LOG2_PAD = 0.3
#: Share of a sample's width taken by its bars.
BARS_SHARE = 0.8
#: Ticks wanted per axis.
TICKS = 6
#: Colour scale of Ct and Tm values (viridis, from dark to light).
SCALE = ("#440154", "#482878", "#3e4989", "#31688e", "#26828e", "#1f9e89", "#35b779", "#6ece58", "#b5de2b",
         "#fde725")
#: Wells without a value, and the text on dark and on light cells.
NO_VALUE, DARK_TEXT, LIGHT_TEXT = "#d9d9d9", "#111111", "#ffffff"
#: Target colours of the relative quantity bars (a qualitative palette).
PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22",
           "#17becf")


def attrs(**values):
    """SVG/HTML attributes, escaped; a trailing underscore is dropped, other underscores become dashes;
    None leaves an attribute out."""
    out = []
    for key, value in values.items():
        if value is None:
            continue
        name = key.rstrip("_").replace("_", "-")
        out.append(f'{name}="{escape(str(value), quote=True)}"')
    return " ".join(out)


def number(value, digits=3):
    """A value for an attribute or a label: fixed digits, empty for NaN."""
    return f"{value:.{digits}f}" if value is not None and math.isfinite(value) else ""


def tag(name, body=None, **values):
    """An element: attributes as for :func:`attrs`, floats written to a tenth; ``body`` escaped unless
    it is markup already (a :class:`Markup`)."""
    a = attrs(**{k: f"{v:.1f}" if isinstance(v, float) else v for k, v in values.items()})
    if body is None:
        return f"<{name} {a}/>"
    return f"<{name} {a}>{body if isinstance(body, Markup) else escape(str(body))}</{name}>"


class Markup(str):
    """Text that is markup already, not to be escaped again."""


# -- colours ---------------------------------------------------------------------------------

def _rgb(hex_colour):
    return tuple(int(hex_colour[i:i + 2], 16) for i in (1, 3, 5))


class ColourScale:
    """Values from ``low`` to ``high`` on :data:`SCALE`; NaN gets :data:`NO_VALUE`."""

    def __init__(self, values):
        finite = [v for v in values if math.isfinite(v)]
        self.empty = not finite
        self.low = min(finite) if finite else 0.0
        self.high = max(finite) if finite else 1.0

    def __call__(self, value):
        if not math.isfinite(value):
            return NO_VALUE
        share = 0.5 if self.high <= self.low else (value - self.low) / (self.high - self.low)
        at = min(max(share, 0.0), 1.0) * (len(SCALE) - 1)
        k = min(int(at), len(SCALE) - 2)
        a, b = _rgb(SCALE[k]), _rgb(SCALE[k + 1])
        mix = [round(x + (y - x) * (at - k)) for x, y in zip(a, b)]
        return "#%02x%02x%02x" % tuple(mix)

    @staticmethod
    def text_on(colour):
        r, g, b = _rgb(colour)
        return DARK_TEXT if 0.299 * r + 0.587 * g + 0.114 * b > 140 else LIGHT_TEXT

    def legend(self, unit, x, y, width=160.0):
        """A colour bar with its end values, at (x, y); only the unit when there is no value."""
        if self.empty:
            return tag("g", Markup(tag("text", f"no {unit}", x=x, y=y + 9)), class_="legend")
        step = width / len(SCALE)
        bars = "".join(tag("rect", x=x + k * step, y=y, width=step + 0.2, height=8, fill=c)
                       for k, c in enumerate(SCALE))
        return tag("g", Markup(bars + tag("text", f"{self.low:.2f}", x=x, y=y + 20) +
                               tag("text", f"{self.high:.2f} {unit}", x=x + width, y=y + 20, text_anchor="end")),
                   class_="legend")


# -- axes ----------------------------------------------------------------------------------------

def ticks(low, high, count=TICKS):
    """Round tick values (steps of 1, 2 or 5 times a power of ten) from low to high."""
    if not (math.isfinite(low) and math.isfinite(high)) or high <= low:
        return [low] if math.isfinite(low) else []
    raw = (high - low) / count
    magnitude = 10.0 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 5, 10) if m * magnitude >= raw)
    first = math.ceil(low / step - 1e-9)
    values = []
    k = first
    while k * step <= high + 1e-9 * step:
        values.append(round(k * step, 12))
        k += 1
    return values


SUPERSCRIPT = str.maketrans("-0123456789", "⁻⁰¹²³⁴⁵⁶⁷⁸⁹")
#: Powers of two written out in full (1/64 to 64); beyond, as 2 with a raised exponent.
WRITTEN_POWERS = 6


def power_of_two(exponent):
    """2^exponent for an axis: 4, 1, 1/8, or 2¹⁰ and 2⁻¹⁰ beyond :data:`WRITTEN_POWERS`."""
    k = int(round(exponent))
    if abs(k) > WRITTEN_POWERS:
        return "2" + str(k).translate(SUPERSCRIPT)
    return str(2 ** k) if k >= 0 else f"1/{2 ** -k}"


def log2_ticks(low, high, count=TICKS):
    """Whole exponents from low to high, every 1, 2, 5 or 10 doublings so that about ``count`` remain."""
    if not (math.isfinite(low) and math.isfinite(high)) or high < low:
        return []
    step = next((m for m in (1, 2, 5, 10, 20, 50) if (high - low) / m <= count), 100)
    return [float(k) for k in range(math.ceil(low / step) * step, math.floor(high) + 1, step)]


def tick_label(value):
    return f"{value:g}" if abs(value) < 1e5 else f"{value:.0e}"


class Axes:
    """A plotting area mapping data to SVG units (y up), with its frame, ticks and labels."""

    def __init__(self, x_range, y_range, width=WIDTH, height=HEIGHT, margin=MARGIN):
        self.width, self.height = width, height
        left, right, top, bottom = margin
        self.left, self.right, self.top, self.bottom = left, width - right, top, height - bottom
        (self.x0, self.x1), (self.y0, self.y1) = _widen(*x_range), _widen(*y_range)

    def x(self, v):
        return self.left + (np.asarray(v, dtype=float) - self.x0) / (self.x1 - self.x0) * (self.right - self.left)

    def y(self, v):
        return self.bottom - (np.asarray(v, dtype=float) - self.y0) / (self.y1 - self.y0) * (self.bottom - self.top)

    def path(self, xs, ys):
        """Path data through the points (non-finite points leave a gap), thinned to MAX_POINTS."""
        xs, ys = np.asarray(xs, dtype=float), np.asarray(ys, dtype=float)
        if xs.size > MAX_POINTS:
            keep = np.unique(np.linspace(0, xs.size - 1, MAX_POINTS).round().astype(int))
            xs, ys = xs[keep], ys[keep]
        px, py = self.x(xs), self.y(np.clip(ys, self.y0 - (self.y1 - self.y0), self.y1 + (self.y1 - self.y0)))
        parts, pen = [], "M"
        for a, b in zip(px, py):
            if not (math.isfinite(a) and math.isfinite(b)):
                pen = "M"
                continue
            parts.append(f"{pen}{a:.1f} {b:.1f}")
            pen = "L" if pen == "M" else ""
        return " ".join(parts)

    def frame(self, xlabel, ylabel, xticks=None, yticks=None):
        """The box, grid lines, tick labels and axis titles; ticks as (value, label) pairs."""
        out = [tag("rect", class_="area", x=self.left, y=self.top, width=self.right - self.left,
                   height=self.bottom - self.top)]
        xt = xticks if xticks is not None else [(v, tick_label(v)) for v in ticks(self.x0, self.x1)]
        yt = yticks if yticks is not None else [(v, tick_label(v)) for v in ticks(self.y0, self.y1)]
        for v, label in xt:
            if self.x0 <= v <= self.x1:
                x = float(self.x(v))
                out.append(tag("line", class_="grid", x1=x, x2=x, y1=self.top, y2=self.bottom) +
                           tag("text", label, class_="tick", x=x, y=self.bottom + 14, text_anchor="middle"))
        for v, label in yt:
            if self.y0 <= v <= self.y1:
                y = float(self.y(v))
                out.append(tag("line", class_="grid", x1=self.left, x2=self.right, y1=y, y2=y) +
                           tag("text", label, class_="tick", x=self.left - 5, y=y + 3.5, text_anchor="end"))
        middle = (self.top + self.bottom) / 2
        out.append(tag("text", xlabel, class_="label", x=(self.left + self.right) / 2, y=self.height - 6,
                       text_anchor="middle"))
        out.append(tag("text", ylabel, class_="label", transform=f"translate(14 {middle:.1f}) rotate(-90)",
                       text_anchor="middle"))
        return "".join(out)


def _widen(low, high):
    if not (math.isfinite(low) and math.isfinite(high)):
        return 0.0, 1.0
    if high > low:
        return float(low), float(high)
    return float(low) - 0.5, float(high) + 0.5


def svg(content, label, width=WIDTH, height=HEIGHT, **more):
    return tag("svg", Markup(content), viewBox=f"0 0 {width:g} {height:g}", role="img", aria_label=label, **more)


def view(name, content, shown):
    """One of a chart's alternative drawings, switched by the page's buttons."""
    return tag("g", Markup(content), class_="view" + ("" if shown else " off"), data_view=name)


def switch(views):
    """The buttons choosing among a chart's views: (name, label) pairs, the first shown."""
    return "".join(tag("button", label, type="button", data_show=name, aria_pressed="true" if k == 0 else "false")
                   for k, (name, label) in enumerate(views))


# -- amplification -----------------------------------------------------------------------------

def amplification(plate, colours, key):
    """Conditioned curves of one plate with the threshold, as a linear and a log view.

    ``colours``: per well, the plate map's; ``key``: the id of the curves' data (:mod:`.curves`), which
    the page's script draws into both views. Returns the SVG with its data, and its views as (name,
    label) pairs.
    """
    curves = np.asarray(plate.curves, dtype=float)
    cycles = np.asarray(plate.cycles, dtype=float)
    top = float(np.nanmax(curves)) if curves.size else 1.0
    low = float(np.nanmin(curves)) if curves.size else 0.0
    x_range = (float(cycles[0]), float(cycles[-1])) if cycles.size else (0.0, 1.0)
    linear = Axes(x_range, (min(low, 0.0), max(top, plate.threshold) * HEADROOM))
    chart = _curves.Chart()
    span = max(abs(top), abs(low), abs(plate.threshold)) or 1.0
    index = chart.shared(cycles, curves, [w.well for w in plate.wells], colours, [bool(w.flags) for w in plate.wells],
                         (_curves.pixel_steps(linear)[0], span * _curves.LOG_STEP))
    chart.view("linear", linear, index)
    views = [("linear", _curve_view(plate, linear, plate.threshold, None, "conditioned fluorescence"))]
    if plate.threshold > 0:
        floor = plate.threshold / LOG_DEPTH
        high = max(top, plate.threshold) * LOG_TOP
        axes = Axes(x_range, (math.log10(floor), math.log10(high)))
        decades = range(math.floor(math.log10(floor)), math.ceil(math.log10(high)) + 1)
        yticks = [(float(d), f"1e{d}" if abs(d) > 3 else f"{10.0 ** d:g}") for d in decades]
        chart.view("log", axes, index, log=True, floor=floor)
        views.append(("log", _curve_view(plate, axes, math.log10(plate.threshold), yticks,
                                         "conditioned fluorescence, log axis")))
    body = "".join(view(name, content, k == 0) for k, (name, content) in enumerate(views))
    picture = svg(body, f"amplification curves of {plate.label}", data_curves=key)
    return Markup(picture + chart.island(key)), [(n, n) for n, _ in views]


def _curve_view(plate, axes, threshold, yticks, ylabel):
    out = [axes.frame("cycle", ylabel + " (file units)", yticks=yticks), tag("g", Markup(""), class_="curves")]
    y = float(axes.y(threshold))
    out.append(tag("line", class_="threshold", x1=axes.left, x2=axes.right, y1=y, y2=y) +
               tag("text", f"threshold {plate.threshold:.4g}", class_="threshold", x=axes.right - 4, y=y - 4,
                   text_anchor="end"))
    return "".join(out)


# -- melting ------------------------------------------------------------------------------------

def melting(plate, colours, key):
    """-dF/dT of one plate: the analysis range without background, with the fitted Gaussians (shown for
    the highlighted well) and every peak, the main one as a triangle; and -dF/dT over all readings.
    The curves are data the page's script draws (see :func:`amplification`)."""
    curves = [c for c in plate.curves if not c.problem]
    grids = [c.grid for c in curves if c.grid.size]
    temps = [c.temperature for c in curves if c.temperature.size]
    chart, views = _curves.Chart(), []
    if grids:
        x_range = (min(float(g[0]) for g in grids), max(float(g[-1]) for g in grids))
        values = [v for c in curves for v in (c.conditioned, c.fitted) if v.size]
        axes = Axes(x_range, (min(0.0, min(float(np.nanmin(v)) for v in values)),
                              max(float(np.nanmax(v)) for v in values) * PEAK_HEADROOM))
        index = chart.own([(c.well, colours[c.well], bool(c.flags), c.grid, c.conditioned) for c in curves],
                          axes, _curves.pixel_steps(axes))
        chart.view("range", axes, index)
        chart.peaks(index, {c.well: [(k.tm, k.height, k.width) for k in c.peaks] for c in curves})
        out = [axes.frame("temperature (°C)", "-dF/dT, background removed"), tag("g", Markup(""), class_="curves")]
        out += [_peak(axes, peak, colours[c.well], c.well) for c in curves for peak in c.peaks]
        views.append(("range", "analysis range", "".join(out)))
    if temps:
        x_range = (min(float(t[0]) for t in temps), max(float(t[-1]) for t in temps))
        d = [c.derivative for c in curves if c.derivative.size]
        axes = Axes(x_range, (min(0.0, min(float(np.nanmin(v)) for v in d)),
                              max(float(np.nanmax(v)) for v in d) * HEADROOM))
        index = chart.own([(c.well, colours[c.well], bool(c.flags), c.temperature, c.derivative) for c in curves],
                          axes, _curves.pixel_steps(axes))
        chart.view("all", axes, index)
        views.append(("all", "all readings", axes.frame("temperature (°C)", "-dF/dT, all readings") +
                      tag("g", Markup(""), class_="curves")))
    body = "".join(view(name, content, k == 0) for k, (name, _, content) in enumerate(views))
    picture = svg(body, f"melting curves of {plate.label}", data_curves=key)
    return Markup(picture + chart.island(key)), [(n, label) for n, label, _ in views]


def _peak(axes, peak, colour, well):
    """A fitted peak at its Tm and height: the main one a triangle above it, the others a dot."""
    x, y = float(axes.x(peak.tm)), float(axes.y(peak.height))
    if peak.main:
        return tag("path", class_="peak main", d=f"M{x:.1f} {y - 1:.1f}l-4.5 -7h9z", fill=colour, data_well=well)
    return tag("circle", class_="peak", cx=x, cy=y, r=2.5, fill=colour, data_well=well)


# -- standard curve -----------------------------------------------------------------------------

def standard_curve(standard, colours):
    """Ct against log10 quantity: standards as circles, unknowns read off the line as crosses."""
    fit = standard.fit
    std = [w for w in standard.wells if w.role == "standard" and math.isfinite(w.ct) and w.quantity > 0]
    unknown = [w for w in standard.wells if w.role == "unknown" and math.isfinite(w.quantity) and w.quantity > 0]
    xs = [math.log10(w.quantity) for w in std + unknown]
    ys = [w.ct for w in std + unknown]
    axes = Axes((min(xs) - QUANTITY_PAD, max(xs) + QUANTITY_PAD), (min(ys) - CT_PAD, max(ys) + CT_PAD))
    out = [axes.frame("log10 quantity", f"{fit.ct_kind} Ct")]
    line_x = np.array([axes.x0, axes.x1])
    out.append(tag("path", class_="fitline", d=axes.path(line_x, fit.slope * line_x + fit.intercept)))
    for w in std:
        out.append(tag("circle", class_="point", cx=float(axes.x(math.log10(w.quantity))), cy=float(axes.y(w.ct)), r=4,
                       fill=colours.get(w.well, NO_VALUE), data_well=w.well))
    for w in unknown:
        x, y = float(axes.x(math.log10(w.quantity))), float(axes.y(w.ct))
        out.append(tag("path", class_="unknown", d=f"M{x - 4:.1f} {y - 4:.1f}l8 8m0 -8l-8 8", data_well=w.well))
    lines = (f"Ct = {fit.slope:.3f} log10 Q + {fit.intercept:.2f}",
             f"efficiency {fit.efficiency:.1f} %, R² {fit.r_squared:.4f}, n {fit.n}")
    out += [tag("text", t, class_="equation", x=axes.right - 6, y=axes.top + 16 * (k + 1), text_anchor="end")
            for k, t in enumerate(lines)]
    return svg("".join(out), f"standard curve of {standard.label}")


# -- relative quantities ------------------------------------------------------------------------

def relative_quantities(result):
    """RQ per sample and target as bars from 1 on a log2 axis, with the error bars."""
    rows = [r for r in result.rows if math.isfinite(r.rq) and r.rq > 0]
    samples = list(dict.fromkeys(r.sample for r in result.rows))
    targets = list(dict.fromkeys(r.target for r in result.rows))
    bounds = [math.log2(v) for r in rows for v in (r.rq, r.rq_low, r.rq_high) if math.isfinite(v) and v > 0]
    low, high = min(bounds + [0.0]) - LOG2_PAD, max(bounds + [0.0]) + LOG2_PAD
    margin = (MARGIN[0], MARGIN[1], MARGIN[2] + 16.0, MARGIN[3] + 30.0)
    axes = Axes((0.0, float(max(len(samples), 1))), (low, high), margin=margin)
    yticks = [(float(v), power_of_two(v)) for v in log2_ticks(low, high)]
    out = [axes.frame("", f"relative quantity (log2 axis), {result.error}", xticks=[], yticks=yticks)]
    width = BARS_SHARE / max(len(targets), 1)
    where = {s: i for i, s in enumerate(samples)}
    for i, sample in enumerate(samples):
        x = float(axes.x(i + 0.5))
        out.append(tag("text", sample, class_="tick", text_anchor="end",
                       transform=f"translate({x:.1f} {axes.bottom + 12:.1f}) rotate(-25)"))
    base = float(axes.y(0.0))
    for r in rows:
        k = targets.index(r.target)
        start = where[r.sample] + (1.0 - BARS_SHARE) / 2
        left, right = float(axes.x(start + width * k)), float(axes.x(start + width * (k + 0.95)))
        top = float(axes.y(math.log2(r.rq)))
        bounds = f" ({r.rq_low:.3g} to {r.rq_high:.3g})" if math.isfinite(r.rq_low) else " (no interval)"
        tip = f"{r.sample}, {r.target}: RQ {r.rq:.3g}{bounds}, n {r.n}{'; ' + ', '.join(r.flags) if r.flags else ''}"
        single = "single-well" in r.flags
        colour = PALETTE[k % len(PALETTE)]
        out.append(tag("rect", Markup(tag("title", tip)), class_="bar single" if single else "bar", x=left,
                       y=min(top, base), width=right - left, height=abs(base - top),
                       fill="none" if single else colour, stroke=colour if single else None,
                       data_flags=", ".join(r.flags) or None))
        if single:
            out.append(tag("text", "n=1", class_="single-label", x=(left + right) / 2, y=min(top, base) - 3,
                           text_anchor="middle"))
        if math.isfinite(r.rq_low) and math.isfinite(r.rq_high) and r.rq_low > 0:
            mid = (left + right) / 2
            y0, y1 = float(axes.y(math.log2(r.rq_low))), float(axes.y(math.log2(r.rq_high)))
            out.append(tag("path", class_="errorbar", d=f"M{mid:.1f} {y0:.1f}V{y1:.1f}M{mid - 3:.1f} {y0:.1f}h6"
                                                        f"M{mid - 3:.1f} {y1:.1f}h6"))
    out.append(tag("line", class_="one", x1=axes.left, x2=axes.right, y1=base, y2=base))
    x = axes.left
    for k, t in enumerate(targets):
        out.append(tag("rect", x=x, y=4, width=10, height=10, fill=PALETTE[k % len(PALETTE)]) +
                   tag("text", t, class_="tick", x=x + 14, y=13))
        x += 24 + 6.5 * len(t)
    return svg("".join(out), f"relative quantities {result.label}")
