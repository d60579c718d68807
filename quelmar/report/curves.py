"""The report's curves as data that the page's script draws: each curve is
stored once, whatever views show it (an amplification curve on a linear and
on a log axis), in whole steps of a twentieth of a pixel, each number the
difference from the one before; long curves keep only the points a pixel can
show (Ramer, Douglas and Peucker's simplification of a polyline).

A 210-well run with amplification and melt takes a few hundred kilobytes
this way, where SVG paths for every view took over two megabytes.

The data of one chart is a JSON object::

    {"views": {NAME: {"set": K, "log": bool, "floor": F, "x": [x0, x1, left, right],
                      "y": [y0, y1, top, bottom]}},
     "sets": [{"q": [qx, qy], "x": [...] or null,
               "series": [[well, colour, flagged, [y...], [x...] or absent], ...]}],
     "fits": {"set": K, "peaks": {well: [[tm, height, sd], ...]}}}

A value is its whole number of steps times the set's ``q``; ``x`` shared by a
set's series, or each series' own. A view maps values to the chart's units
(a log view takes log10 of the values, none below ``floor``).
"""
import json
import math

import numpy as np

#: Values are written in steps of this share of a pixel of the chart that draws them ...
SUBPIXEL = 1.0 / 20.0
#: ... but an amplification curve, also drawn on a log axis, in steps of this share of its span, so
#: that the readings a few times above the log axis' floor keep their shape.
LOG_STEP = 1e-5
#: A point is left out where the line through the points kept around it passes within this many pixels.
TOLERANCE = 0.25
#: Curves with at most this many points are kept whole (an amplification curve).
SHORT = 80


def simplify(px, py, tolerance=TOLERANCE):
    """Indices of the points of a polyline (in pixels) to keep: Ramer-Douglas-Peucker, the ends always."""
    n = len(px)
    if n <= 2:
        return np.arange(n)
    keep = np.zeros(n, dtype=bool)
    keep[0] = keep[-1] = True
    stack = [(0, n - 1)]
    while stack:
        a, b = stack.pop()
        if b - a < 2:
            continue
        dx, dy = px[b] - px[a], py[b] - py[a]
        length = math.hypot(dx, dy)
        xs, ys = px[a + 1:b] - px[a], py[a + 1:b] - py[a]
        distance = np.abs(dx * ys - dy * xs) / length if length > 0 else np.hypot(xs, ys)
        k = int(np.argmax(distance))
        if distance[k] > tolerance:
            keep[a + 1 + k] = True
            stack += [(a, a + 1 + k), (a + 1 + k, b)]
    return np.flatnonzero(keep)


def differences(steps):
    """Whole steps as the first one and the differences after it."""
    steps = np.asarray(steps, dtype=np.int64)
    return [int(v) for v in np.diff(steps, prepend=0)]


def steps(values, q):
    return np.round(np.asarray(values, dtype=float) / q).astype(np.int64)


class Chart:
    """The data of one chart: its views and its sets of curves (see the module docstring)."""

    def __init__(self):
        self.views, self.sets, self.fits = {}, [], None

    def view(self, name, axes, index, log=False, floor=None):
        """A view drawing set ``index`` on ``axes`` (:class:`quelmar.report.svg.Axes`)."""
        entry = {"set": index, "log": log, "x": [axes.x0, axes.x1, axes.left, axes.right],
                 "y": [axes.y0, axes.y1, axes.top, axes.bottom]}
        if floor is not None:
            entry["floor"] = floor
        self.views[name] = entry

    def shared(self, x, curves, wells, colours, flagged, q):
        """A set of curves over one x (rows of ``curves``); returns its index."""
        qx, qy = q
        series = [[w, c, int(f), differences(steps(y, qy))] for w, c, f, y in zip(wells, colours, flagged, curves)]
        self.sets.append({"q": [qx, qy], "x": differences(steps(x, qx)), "series": series})
        return len(self.sets) - 1

    def own(self, items, axes, q):
        """A set of curves each over its own x: items of (well, colour, flagged, x, y), simplified at the
        pixels of ``axes``; returns its index."""
        qx, qy = q
        series = []
        for well, colour, flagged, x, y in items:
            x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
            finite = np.isfinite(x) & np.isfinite(y)
            x, y = x[finite], y[finite]
            if x.size > SHORT:
                keep = simplify(axes.x(x), axes.y(y))
                x, y = x[keep], y[keep]
            series.append([well, colour, int(flagged), differences(steps(y, qy)), differences(steps(x, qx))])
        self.sets.append({"q": [qx, qy], "x": None, "series": series})
        return len(self.sets) - 1

    def peaks(self, index, peaks):
        """Fitted Gaussians drawn over set ``index``'s curves: {well: [(tm, height, sd), ...]}."""
        self.fits = {"set": index, "peaks": {w: [[round(float(v), 6) for v in p] for p in ps]
                                             for w, ps in peaks.items() if ps}}

    def island(self, key):
        """The chart's data as a script element the page's script reads (no "<" inside, so nothing can end it)."""
        data = {"views": self.views, "sets": self.sets}
        if self.fits:
            data["fits"] = self.fits
        text = json.dumps(data, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")
        return f'<script type="application/json" id="{key}">{text}</script>'


def pixel_steps(axes):
    """The (qx, qy) of values drawn on ``axes``: SUBPIXEL of a pixel on each axis."""
    return ((axes.x1 - axes.x0) / (axes.right - axes.left) * SUBPIXEL,
            (axes.y1 - axes.y0) / (axes.bottom - axes.top) * SUBPIXEL)
