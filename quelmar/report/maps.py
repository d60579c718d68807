"""Plate maps: one cell per well at its position, saying what the well is
(a short sample label where it fits, a mark for standards and controls), its
value where it fits, rounded, and whether it is flagged or excluded; the
full identity is in the cell's data, which the page's script shows on hover
and on keyboard focus.

Each map covers only the rows and columns its wells use. Its colour scale
is made from the wells that mean something together: negative controls and
flagged wells are left out of it (drawn at its ends when beyond them), and
the legend says how many.
"""
import math

from ..common import flags as _flags
from ..common.positions import row_label
from .svg import NO_VALUE, ColourScale, Markup, number, svg, tag

#: Widest cell of a plate map, and the plate map's width in SVG units.
CELL_MAX, MAP_WIDTH = 46.0, 470.0
#: Room the row and column labels take left of and above the cells.
LEFT, TOP = 22.0, 16.0
#: Cells at least this wide hold a label above the value; smaller ones the value alone.
TWO_LINES = 26.0
#: Share of a cell's side the flag mark in its corner and the role mark in the other span.
CORNER = 0.3
#: Width of a character as a share of the font size (system sans-serif, digits and letters).
CHAR_WIDTH = 0.58
#: Fill of negative controls: out of the colour scale whatever their value.
CONTROL_FILL = "#eef1f4"
#: Values in cells to this many decimals.
CELL_DIGITS = 1
#: The legend's height under the cells, and the least width of a map that holds it.
LEGEND_HEIGHT, LEGEND_WIDTH = 46.0, 440.0


def role(sample_type, quantity=math.nan):
    """"control" (ntc, nac, nrt, ntp), "standard" (std, or a positive quantity) or "sample"."""
    if _flags.is_negative_control(sample_type):
        return "control"
    if sample_type.strip().lower() == "std" or (math.isfinite(quantity) and quantity > 0):
        return "standard"
    return "sample"


def compact_quantity(q):
    """A quantity in few characters: 625, 2.5e3, 1e4."""
    if not math.isfinite(q):
        return ""
    if q >= 1000:
        mantissa, exponent = f"{q:.1e}".split("e")
        return f"{float(mantissa):g}e{int(exponent)}"
    return f"{q:.3g}"


def short_label(sample, sample_type, quantity):
    """What a cell says the well is: the control's type, the standard's quantity, or the sample."""
    kind = role(sample_type, quantity)
    if kind == "control":
        return sample_type.strip().upper()
    if kind == "standard" and math.isfinite(quantity):
        return compact_quantity(quantity)
    return sample


def fitted(text, width, font):
    """``text`` cut to what fits in ``width`` at ``font``: an ellipsis in the middle keeps both ends,
    where names of one series differ ("Compound A", "Compound A/B")."""
    room = int(width / (CHAR_WIDTH * font))
    if len(text) <= room:
        return text
    if room < 3:
        return ""
    head = room // 2
    return text[:head] + "…" + text[len(text) - (room - 1 - head):]


def crop(places):
    """The rows and columns the wells use: (first row, first column, rows, columns)."""
    rows = [r for r, _ in places]
    columns = [c for _, c in places]
    return min(rows), min(columns), max(rows) - min(rows) + 1, max(columns) - min(columns) + 1


#: Flags that say a well's value is out of line with its target's: such wells do not set the colour
#: scale (a replicate-spread or efficiency-outlier well's Ct still does).
EXTREME = frozenset({_flags.LATE_CT, _flags.LATE_RISE, _flags.REPLICATE_OUTLIER, _flags.TM_OUTLIER_FLAG,
                     _flags.LOW_TM_FLAG})
#: Fill of a curve whose cell has no colour of the scale (a control, a well without a value).
GREY_CURVE = "#8d969e"


def extreme(flags):
    return bool(EXTREME.intersection(flags))


def curve_colour(fill):
    """A curve's colour: its cell's, but a visible grey for the pale fills of controls and missing values."""
    return GREY_CURVE if fill in (CONTROL_FILL, NO_VALUE) else fill


class Scale:
    """The colour scale of a map: made from the included samples and standards whose value is not
    flagged as out of line (:data:`EXTREME`), all values clamped to its ends; ``left_out`` counts the
    wells with a value left out of it."""

    def __init__(self, values, roles, flagged, excluded):
        finite = [math.isfinite(v) for v in values]
        clean = [v for v, f, r, bad, out in zip(values, finite, roles, flagged, excluded)
                 if f and r != "control" and not bad and not out]
        usable = [v for v, f, r in zip(values, finite, roles) if f and r != "control"]
        self.controls = sum(1 for f, r in zip(finite, roles) if f and r == "control")
        self.left_out = len(usable) - len(clean) if len(clean) >= 2 else 0
        self.colours = ColourScale(clean if len(clean) >= 2 else usable)

    def fill(self, value, kind):
        return CONTROL_FILL if kind == "control" else self.colours(value)

    def note(self):
        """What the scale leaves out, in words ("" when nothing)."""
        parts = []
        if self.controls:
            parts.append(f"{self.controls} negative control{'s' if self.controls != 1 else ''}")
        if self.left_out:
            parts.append(f"{self.left_out} excluded or out-of-line well{'s' if self.left_out != 1 else ''} "
                         f"(drawn at its ends)")
        return "colour scale without " + " and ".join(parts) if parts else ""


def cell(well, position, value, kind, label, scale, flagged, excluded, data):
    """One cell's description for :func:`plate_map`."""
    r, c = position
    return dict(row=r, column=c, fill=scale.fill(value, kind), role=kind, label=label, flagged=flagged,
                excluded=excluded, text=number(value, CELL_DIGITS), data=data)


def plate_map(cells, box, labelled, legend, label):
    """A plate map over ``box`` (first row, first column, rows, columns) of the plate: one focusable
    cell per well, empty positions drawn faintly, the legend under it."""
    row0, column0, rows, columns = box
    size = min(CELL_MAX, (MAP_WIDTH - LEFT - 2.0) / max(columns, 1))
    out = []
    if labelled:
        out += [tag("text", column0 + c + 1, class_="tick", x=LEFT + (c + 0.5) * size, y=11, text_anchor="middle")
                for c in range(columns)]
        out += [tag("text", row_label(row0 + r), class_="tick", x=LEFT - 5, y=TOP + (r + 0.5) * size + 3,
                    text_anchor="end") for r in range(rows)]
    taken = {(x["row"] - row0, x["column"] - column0) for x in cells}
    out += [tag("rect", class_="empty", x=LEFT + c * size + 1, y=TOP + r * size + 1, width=size - 2, height=size - 2)
            for r in range(rows) for c in range(columns) if (r, c) not in taken]
    for x in cells:
        out.append(_cell(x, LEFT + (x["column"] - column0) * size, TOP + (x["row"] - row0) * size, size))
    out.append(tag("g", Markup(legend), transform=f"translate(0 {TOP + size * rows + 12:.1f})"))
    return svg("".join(out), label, max(LEFT + size * columns + 4.0, LEGEND_WIDTH), TOP + size * rows + 12.0 + LEGEND_HEIGHT)


def _cell(x, left, top, size):
    inner = size - 2.0
    classes = "fill" + (" excluded" if x["excluded"] else "")
    body = [tag("rect", class_=classes, x=left + 1, y=top + 1, width=inner, height=inner, fill=x["fill"])]
    corner = size * CORNER
    if x["role"] == "standard":
        body.append(tag("path", class_="std-mark", d=f"M{left + 1:.1f} {top + 1:.1f}h{corner:.1f}l{-corner:.1f} "
                                                     f"{corner:.1f}z"))
    elif x["role"] == "control":
        body.append(tag("circle", class_="ctl-mark", cx=left + 1 + corner / 2, cy=top + 1 + corner / 2, r=corner / 3))
    if x["flagged"]:
        body.append(tag("path", class_="mark", d=f"M{left + size - 1 - corner:.1f} {top + 1:.1f}h{corner:.1f}"
                                                 f"v{corner:.1f}z"))
    if x["excluded"]:
        body.append(tag("path", class_="x-mark", d=f"M{left + 3:.1f} {top + 3:.1f}l{inner - 4:.1f} {inner - 4:.1f}"
                                                   f"m0 {4 - inner:.1f}l{4 - inner:.1f} {inner - 4:.1f}"))
    ink = ColourScale.text_on(x["fill"]) if not x["excluded"] else "#111111"
    value_font = max(6.0, min(10.5, size / 3.3))
    value = x["text"] if len(x["text"]) * CHAR_WIDTH * value_font <= inner - 1 else ""
    if size >= TWO_LINES:
        label_font = max(6.0, min(9.0, size / 4.2))
        label = fitted(x["label"], inner - 2, label_font)
        if label:
            body.append(tag("text", label, class_="label-text", x=left + size / 2, y=top + size * 0.42,
                            text_anchor="middle", font_size=label_font, fill=ink))
        if value:
            body.append(tag("text", value, x=left + size / 2, y=top + size * 0.8, text_anchor="middle",
                            font_size=value_font, fill=ink))
    elif value:
        body.append(tag("text", value, x=left + size / 2, y=top + size / 2 + value_font / 3, text_anchor="middle",
                        font_size=value_font, fill=ink))
    return tag("g", Markup("".join(body)), class_="cell", tabindex=0, role="button", data_role=x["role"],
               **x["data"])


def legend(scale, unit, missing):
    """Under a plate map: the colour bar, the marks, and what the colour scale leaves out."""
    key = [tag("rect", x=190, y=0, width=10, height=10, fill=NO_VALUE), tag("text", missing, x=204, y=9),
           tag("path", class_="mark", d="M262 0h8v8z"), tag("text", "flagged", x=274, y=9),
           tag("path", class_="x-mark", d="M318 1l8 8m0 -8l-8 8"), tag("text", "excluded", x=330, y=9),
           tag("path", class_="std-mark", d="M380 0h8l-8 8z"), tag("text", "standard", x=392, y=9),
           tag("circle", class_="ctl-mark", cx=214, cy=28, r=3.5), tag("text", "negative control", x=222, y=31)]
    note = scale.note()
    if note:
        key.append(tag("text", note, class_="scale-note", x=0, y=42))
    return scale.colours.legend(unit, 0, 0) + tag("g", Markup("".join(key)), class_="key")
