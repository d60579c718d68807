"""The report page: the HTML of each file's results, and the writer that puts
them into one self-contained file.

The page fetches nothing: its style sheet and script are inlined from the
package's ``report.css`` and ``report.js``, its pictures are SVG in the page,
and a content security policy allows only those two (by their SHA-256) and
no request at all. Tables travel as JSON in the page, each value written as
the CSV writer writes it, so the page's CSV download holds what ``--out``
would.
"""
import base64
import datetime
import hashlib
import json
import math
import os
import re
import tempfile
from html import escape
from importlib import resources
from string import Template

from ..common import flags as _flags
from ..common.positions import position, smallest_plate
from ..common.text import encodable
from ..results import REPORT_TABLES, QuantifyResult, text
from ..writing.writers import AtomicFile, naming
from . import maps, statistics, svg

#: Wells laid out in file order (no positions) fill rows of this many columns, or 24 for larger plates.
FILE_ORDER_COLUMNS = 12
#: Where the template is cut: the files' sections stream in between.
BODY_MARK = "<!-- files -->"
#: How the page's tables show a column (the CSV download keeps every digit): ("fixed", decimals) or
#: ("significant", digits).
DISPLAY = {**dict.fromkeys(("ct_linear", "ct_sigmoid", "file_cq", "ct", "delta_ct", "delta_delta_ct", "tm",
                            "range_low", "range_high"), ("fixed", 2)),
           **dict.fromkeys(("efficiency", "reference_efficiency", "slope", "width"), ("fixed", 3)),
           "intercept": ("fixed", 2), "r_squared": ("fixed", 4),
           **dict.fromkeys(("threshold", "quantity", "rq", "rq_low", "rq_high", "height", "scale"), ("significant", 4))}
#: The page's title names this many files at most.
TITLE_FILES = 3


def _asset(name):
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def _csp_hash(source):
    return "'sha256-" + base64.b64encode(hashlib.sha256(source.encode("utf-8")).digest()).decode("ascii") + "'"


def policy(style, script):
    """The content security policy: the page's own style sheet and script, nothing fetched."""
    return (f"default-src 'none'; style-src {_csp_hash(style)}; script-src {_csp_hash(script)}; "
            f"img-src data:; base-uri 'none'; form-action 'none'")


# -- plate positions -----------------------------------------------------------------------------

def layout(names, geometry=None):
    """Where each well of a plate is drawn.

    Returns
    -------
    (rows, columns, positions, labelled)
        ``positions`` one (row, column) per name, in order; ``labelled`` is
        False when the names are no plate positions (or repeat one) and the
        wells are laid out in file order instead.
    """
    places = [position(n) for n in names]
    if names and all(places):
        if len(set(places)) == len(places) and min(c for _, c in places) >= 0:
            rows = max(r for r, _ in places) + 1
            columns = max(c for _, c in places) + 1
            if geometry and geometry[0] >= rows and geometry[1] >= columns:
                return geometry[0], geometry[1], places, True
            rows, columns = smallest_plate(rows, columns)
            return rows, columns, places, True
    columns = FILE_ORDER_COLUMNS if len(names) <= 96 else 2 * FILE_ORDER_COLUMNS
    return max(1, math.ceil(len(names) / columns)), columns, [divmod(i, columns) for i in range(len(names))], False


# -- pieces --------------------------------------------------------------------------------------

def _dl(items):
    return "<dl>" + "".join(f"<dt>{escape(k)}</dt><dd>{v}</dd>" for k, v in items) + "</dl>"


def _table(head, rows, cls=""):
    """A static HTML table of already escaped cells."""
    heads = "".join(f"<th>{escape(h)}</th>" for h in head)
    out = [f'<table class="{cls}"><thead><tr>{heads}</tr></thead><tbody>']
    out += ["<tr>" + "".join(f"<td>{c}</td>" for c in r) + "</tr>" for r in rows]
    return "".join(out) + "</tbody></table>"


def _figure(picture, caption, views=(), cls="chart"):
    tools = f'<div class="views">{svg.switch(views)}</div>' if len(views) > 1 else ""
    return f'<figure class="{cls}">{tools}{picture}<figcaption>{caption}</figcaption></figure>'


class Tables:
    """The sortable tables of the page: each a JSON island and the box the script builds the table in.
    Also hands out the page's other element ids (:meth:`next`)."""

    def __init__(self):
        self.count = 0

    def next(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def block(self, title, columns, rows, filename):
        key = self.next("table")
        data = {"columns": list(columns), "rows": [[text(getattr(r, c)) if not isinstance(r, dict) else text(r[c])
                                                    for c in columns] for r in rows],
                "digits": {c: DISPLAY[c] for c in columns if c in DISPLAY}}
        # No "<" at all inside the script element: neither "</script>" nor "<!--" can end or bend it.
        island = json.dumps(data, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c")
        # A file name that is not UTF-8 escaped as JSON text: its escape's backslash escaped in turn.
        island = encodable(island, backslash="\\\\")
        return (f'<div class="table" {svg.attrs(data_source=key, data_file=filename)}>'
                f'<h4>{escape(title)} <span class="count">{len(rows)} rows</span></h4></div>'
                f'<script type="application/json" id="{key}">{island}</script>')


def _identity(w, run, quantity):
    """The data a cell carries of its well's identity, shown on hover and focus."""
    return dict(data_well=w.well, data_target=w.target, data_sample=w.sample, data_type=w.sample_type,
                data_run=run or None, data_quantity=svg.number(quantity, 6).rstrip("0").rstrip(".") or None,
                data_excluded=w.excluded or None)


def _aria(w, kind, what):
    identity = f"{w.well}, {w.sample or 'no sample'} ({w.sample_type or 'unkn'}, {kind}), {w.target}"
    flags = f"; flags {', '.join(w.flags)}" if w.flags else ""
    return f"{identity}: {what}{flags}{'; excluded: ' + w.excluded if w.excluded else ''}"


def _ct_cells(plate, chosen, positions):
    kinds = [maps.role(w.sample_type, w.quantity) for w in plate.wells]
    scale = maps.Scale(chosen, kinds, [maps.extreme(w.flags) for w in plate.wells],
                       [bool(w.excluded) for w in plate.wells])
    cells = []
    for k, (w, place) in enumerate(zip(plate.wells, positions)):
        data = dict(_identity(w, plate.run, w.quantity), data_ct=svg.number(chosen[k]),
                    data_ct_linear=svg.number(w.ct_linear), data_ct_sigmoid=svg.number(w.ct_sigmoid),
                    data_cq=svg.number(w.file_cq, 2), data_efficiency=svg.number(w.efficiency),
                    data_flags=", ".join(w.flags), aria_label=_aria(w, kinds[k], f"Ct {svg.number(chosen[k], 2) or 'none'}"))
        cells.append(maps.cell(w, place, chosen[k], kinds[k], maps.short_label(w.sample, w.sample_type, w.quantity),
                               scale, bool(w.flags), bool(w.excluded), data))
    return cells, scale


def _tm_cells(plate, positions, quantities):
    tm = [c.summary.tm for c in plate.curves]
    kinds = [maps.role(c.summary.sample_type, quantities.get(c.well, math.nan)) for c in plate.curves]
    scale = maps.Scale(tm, kinds, [maps.extreme(c.flags) for c in plate.curves],
                       [bool(c.summary.excluded) for c in plate.curves])
    cells = []
    for k, (curve, place) in enumerate(zip(plate.curves, positions)):
        s, q = curve.summary, quantities.get(curve.well, math.nan)
        peaks = ", ".join(f"{p.tm:.2f}" for p in curve.peaks)
        data = dict(_identity(s, plate.run, q), data_tm=svg.number(s.tm, 2), data_peaks=peaks,
                    data_flags=", ".join(s.flags), data_problem=curve.problem or None,
                    aria_label=_aria(s, kinds[k], f"Tm {svg.number(s.tm, 1) or 'none'}"))
        cells.append(maps.cell(s, place, s.tm, kinds[k], maps.short_label(s.sample, s.sample_type, q), scale,
                               bool(s.flags), bool(s.excluded), data))
    return cells, scale


def _where_cells_are(labelled):
    return "" if labelled else " Wells in file order: the file gives no plate positions."


def _map(cells, scale, positions, labelled, unit, missing, label):
    return maps.plate_map(cells, maps.crop(positions), labelled, maps.legend(scale, unit, missing), label)


def amplification_block(plate, geometry, standard, keys):
    """The plate map by Ct beside the curves, and the standard curve when the plate has one."""
    names = [w.well for w in plate.wells]
    _, _, positions, labelled = layout(names, geometry)
    ct = plate.ct()
    cells, scale = _ct_cells(plate, ct, positions)
    colours = [maps.curve_colour(c["fill"]) for c in cells]
    picture = _map(cells, scale, positions, labelled, f"{plate.ct_kind} Ct", "no Ct", f"plate map of {plate.label} by Ct")
    with_ct = int(sum(1 for v in ct if math.isfinite(v)))
    flagged = sum(1 for w in plate.wells if w.flags)
    excluded = sum(1 for w in plate.wells if w.excluded)
    out = [_figure(picture, f"Plate map by {plate.ct_kind} Ct: {len(plate.wells)} wells, {with_ct} with a Ct, "
                            f"{flagged} flagged, {excluded} excluded. Hover or focus a cell for the well's "
                            f"identity.{_where_cells_are(labelled)}", cls="map ct-map")]
    curves, views = svg.amplification(plate, colours, keys.next("curves"))
    out.append(_figure(curves, f"Amplification curves (conditioned, file units), threshold {plate.threshold:.4g}, "
                               f"scale {plate.scale:g}. Dashed: flagged wells.", views))
    if standard is not None:
        fit = standard.fit
        colour_of = {w.well: colours[k] for k, w in enumerate(plate.wells)}
        note = f' <strong class="warn">{escape(fit.warning)}</strong>' if fit.warning else ""
        left_out = f" Left out of the fit: {escape(', '.join(fit.excluded))}." if fit.excluded else ""
        out.append(_figure(svg.standard_curve(standard, colour_of),
                           f"Standard curve: Ct = {fit.slope:.4f} log10 Q + {fit.intercept:.3f}, efficiency "
                           f"{fit.efficiency:.1f} %, R² {fit.r_squared:.4f}, {fit.n} wells of {fit.quantities} "
                           f"quantities; circles standards, crosses unknowns read off the line."
                           f"{statistics.unknowns_caption(fit, standard.unknowns)}{left_out}{note}"))
    return "".join(out)


def melting_block(plate, geometry, quantities, keys):
    """The plate map by main Tm beside the melting curves."""
    _, _, positions, labelled = layout([c.well for c in plate.curves], geometry)
    cells, scale = _tm_cells(plate, positions, quantities)
    colours = {c.well: maps.curve_colour(x["fill"]) for c, x in zip(plate.curves, cells)}
    picture = _map(cells, scale, positions, labelled, "°C main Tm", "no peak",
                   f"plate map of {plate.label} by melting temperature")
    with_tm = sum(1 for c in plate.curves if math.isfinite(c.summary.tm))
    out = [_figure(picture, f"Plate map by main Tm: {len(plate.curves)} wells, {with_tm} with a main peak."
                            f"{_where_cells_are(labelled)}", cls="map tm-map")]
    curves, views = svg.melting(plate, colours, keys.next("curves"))
    out.append(_figure(curves, "Melting curves, -dF/dT: the analysis range with the background removed (every "
                               "peak marked, the main one by a triangle, the fitted Gaussians of the highlighted "
                               "well dashed), or over all readings.", views))
    return "".join(out)


# -- one file ----------------------------------------------------------------------------------

def run_block(result):
    """What the file is and what the instrument wrote, and the plates with their scale factors."""
    report = result.plates[0]
    items = [("file", escape(report.file)), ("SHA-256", f"<code>{report.sha256}</code>"),
             ("size", f"{report.size:,} bytes"), ("format", escape(report.format)),
             ("holds", escape(report.description))]
    for run, info in report.runs.items():
        prefix = f"run {run}: " if len(report.runs) > 1 else ""
        items += [(f"{prefix}instrument", escape(info.instrument or "not in the file")),
                  (f"{prefix}run date", escape(info.date or "not in the file"))]
        if info.software:
            items.append((f"{prefix}software", escape(info.software)))
        if run in result.geometry:
            items.append((f"{prefix}plate", escape(str(result.geometry[run]))))
    if not report.runs:
        items.append(("instrument, run date", "not in the file"))
    out = [_dl(items)]
    if report.amplification:
        rows = [[escape(p.label), str(len(p.wells)), f"{p.cycles[0]:g} to {p.cycles[-1]:g}", f"{p.scale:g}",
                 f"{p.threshold:.4g}", f"{p.auto_threshold:.4g}", p.ct_kind,
                 str(sum(1 for v in p.ct() if math.isfinite(v))), str(sum(1 for w in p.wells if w.flags))]
                for p in report.amplification]
        out.append(_table(["plate (run / target)", "wells", "cycles", "scale factor", "threshold (file units)",
                           "plate threshold", "Ct", "with Ct", "flagged"], rows, "plates"))
    if result.notes:
        out.append('<ul class="notes">' + "".join(f"<li>{escape(n)}</li>" for n in result.notes) + "</ul>")
    return "".join(out)


def plates_block(report, geometry, keys):
    """One section per run and target: its maps and pictures, tied together by the script."""
    melts = {(m.run, m.target): m for m in report.melts}
    plates = list(dict.fromkeys([(p.run, p.target) for p in report.amplification] + list(melts)))
    amps = {(p.run, p.target): p for p in report.amplification}
    out = []
    for key in plates:
        amp, melt = amps.get(key), melts.get(key)
        label = (amp or melt).label
        g = geometry.get(key[0])
        size = (g.rows, g.columns) if g is not None and g.rows else None
        parts = []
        if amp is not None:
            parts.append(amplification_block(amp, size, report.standards.get(amp.label), keys))
        if melt is not None:
            quantities = {w.well: w.quantity for w in amp.wells} if amp is not None else {}
            parts.append(melting_block(melt, size, quantities, keys))
        out.append(f'<section class="plate" data-scope="plate"><h3>{escape(label)}</h3>'
                   f'<div class="figures">{"".join(parts)}</div></section>')
    return "".join(out)


def quantities_block(result):
    rows = [r for r in result.rows if math.isfinite(r.rq)]
    caption = (f"Relative quantities {escape(result.label)}: {escape(result.method)}, {escape(result.error)} error "
               f"bars, efficiencies " + ", ".join(f"{escape(g)} {e:.3f}" for g, e in result.efficiencies.items()) +
               f". {len(rows)} of {len(result.rows)} rows have an RQ.")
    return _figure(svg.relative_quantities(result), caption, cls="chart rq")


def quality_block(report, tables, stem):
    """Every flag of the analyses run, counted (wells, and standard curves and relative quantities for the
    results' flags), explained, and listed per well."""
    analyses = (["amplification"] if report.amplification else []) + (["melting"] if report.melts else [])
    wells = [("amplification", w.well, w.run, w.target, w.sample, w.sample_type, w.flags)
             for p in report.amplification for w in p.wells]
    wells += [("melting", c.well, m.run, c.target, c.sample, c.summary.sample_type, c.flags)
              for m in report.melts for c in m.curves]
    results = [s.fit.flags for s in report.standards.values()]
    if report.quantities is not None:
        results += [r.flags for r in report.quantities.rows]
    if results:
        analyses.append("result")
    counts = _flags.count([w[-1] for w in wells] + results)
    rows = [[f"<code>{escape(f.name)}</code>", escape(f.analysis), str(counts.get(f.name, 0)), escape(f.explanation)]
            for f in _flags.VOCABULARY.values() if f.analysis in analyses]
    flagged = [dict(analysis=a, well=w, run=r, target=t, sample=s, sample_type=ty, flags=f)
               for a, w, r, t, s, ty, f in wells if f]
    out = [_table(["flag", "analysis", "wells or results", "what it means"], rows, "flags")]
    if flagged:
        columns = ("well", "run", "target", "sample", "sample_type", "analysis", "flags")
        out.append(tables.block("Flagged wells", columns, flagged, f"{stem}-flagged-wells.csv"))
    else:
        out.append('<p class="ok">No well is flagged.</p>')
    out.append(excluded_block(report, tables, stem))
    return "".join(out)


def excluded_block(report, tables, stem):
    """The wells left out of standard curves and relative quantities, each with its reasons."""
    seen, rows = set(), []
    wells = [w for p in report.amplification for w in p.wells] + [c.summary for m in report.melts for c in m.curves]
    for w in wells:
        key = (w.run, w.target, w.well)
        if w.excluded and key not in seen:
            seen.add(key)
            rows.append(dict(well=w.well, run=w.run, target=w.target, sample=w.sample, sample_type=w.sample_type,
                             excluded=w.excluded))
    if not rows:
        return '<p class="ok">No well is excluded.</p>'
    columns = ("well", "run", "target", "sample", "sample_type", "excluded")
    return tables.block("Excluded wells: left out of standard curves and relative quantities", columns, rows,
                        f"{stem}-excluded-wells.csv")


def file_section(result, index, tables):
    """The whole section of one analysed file."""
    report = result.plates[0]
    stem = os.path.splitext(os.path.basename(report.file))[0]
    out = [f'<section class="file" id="file{index}"><h2>{escape(os.path.basename(report.file))}</h2>',
           '<h3 class="part">Run</h3>', run_block(result)]
    if result.warnings:
        out.append('<ul class="warnings">' + "".join(f"<li>{escape(w)}</li>" for w in result.warnings) + "</ul>")
    out.append(plates_block(report, result.geometry, tables))
    if report.stability is not None:
        out += ['<h3 class="part">Reference genes</h3>', statistics.references_block(report.stability)]
    if report.quantities is not None:
        out += ['<h3 class="part">Relative quantities</h3>', quantities_block(report.quantities)]
        if report.quantities.comparison is not None:
            out += ['<h3 class="part">Comparison of groups</h3>',
                    statistics.comparison_block(report.quantities.comparison)]
    out += ['<h3 class="part">Quality</h3>', quality_block(report, tables, stem), '<h3 class="part">Tables</h3>']
    for name, columns in REPORT_TABLES.items():
        rows = result.tables.get(name)
        if rows:
            out.append(tables.block(name[0].upper() + name[1:], columns, rows, f"{stem}-{name.replace(' ', '-')}.csv"))
    out.append("</section>")
    return "".join(out)


def study_section(result, index, tables):
    """The section of a study: several runs joined by inter-run calibration, one table of their relative
    quantities and their comparison (or the note why there is none)."""
    out = [f'<section class="file study" id="file{index}"><h2>{escape(result.file)}</h2>']
    if result.notes:
        out.append('<ul class="notes">' + "".join(f"<li>{escape(n)}</li>" for n in result.notes) + "</ul>")
    if result.warnings:
        out.append('<ul class="warnings">' + "".join(f"<li>{escape(w)}</li>" for w in result.warnings) + "</ul>")
    if result.plates:
        q = result.plates[0]
        out += ['<h3 class="part">Inter-run calibration</h3>', statistics.calibration_block(q.calibration,
                                                                                           q.calibrators),
                '<h3 class="part">Relative quantities</h3>', quantities_block(q)]
        if q.comparison is not None:
            out += ['<h3 class="part">Comparison of groups</h3>', statistics.comparison_block(q.comparison)]
        out.append('<h3 class="part">Tables</h3>')
        for name, columns in REPORT_TABLES.items():
            rows = result.tables.get(name)
            if rows:
                out.append(tables.block(name[0].upper() + name[1:], columns, rows,
                                        f"study-{name.replace(' ', '-')}.csv"))
    out.append("</section>")
    return "".join(out)


# -- the page ----------------------------------------------------------------------------------

def header_block(header, files):
    """The command that made the page and every setting it used: the command's table of its
    settings, each (option, value given or None, what leaving it unset means)."""
    rows = [[f"<code>{escape(option)}</code>",
             escape(value) if value is not None else f'<span class="default">{escape(default)}</span>']
            for option, value, default in header.get("settings_table", ())]
    command = " ".join(_quote(a) for a in header.get("command_line", ()))
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    items = [("made", escape(now)), ("library", f"QuelmarAlg {escape(str(header.get('library_version', '')))}"),
             ("command", f"<code>{escape(command)}</code>")]
    nav = "".join(f'<li><a href="#file{k}">{escape(os.path.basename(f))}</a></li>' for k, f in enumerate(files, 1))
    return (_dl(items) + '<details class="settings"><summary>Settings</summary>' +
            _table(["option", "value"], rows, "settings") + "</details>" +
            (f'<nav><ol>{nav}</ol></nav>' if len(files) > 1 else ""))


def _quote(arg):
    return arg if re.fullmatch(r"[\w@%+=:,./-]+", arg or "-") else "'" + arg.replace("'", "'\\''") + "'"


class HtmlReport:
    """The page of a run, written as results arrive and renamed into place on :meth:`commit`.

    The writer protocol of :class:`quelmar.writing.writers.TableWriter`: ``add`` one
    :class:`~quelmar.results.FileResult` at a time (its HTML goes to a spool,
    so memory does not grow with the number of files), then ``commit`` or
    ``discard``.
    """

    def __init__(self, path, command, tables, header=None):
        self.path, self.header, self.files = path, dict(header or {}), []
        self.tables = Tables()
        self.out = AtomicFile(path)
        try:
            self.spool = tempfile.TemporaryFile("w+", encoding="utf-8")
        except BaseException:  # a stop, or a full disk: the caller never gets a writer to discard
            self.out.discard()
            raise

    def add(self, result):
        with naming(self.path):
            self.files.append(result.file)
            study = not result.plates or isinstance(result.plates[0], QuantifyResult)
            section = study_section if study else file_section
            # A file name that is not UTF-8 is written with its bytes escaped, as in every other output.
            self.spool.write(encodable(section(result, len(self.files), self.tables)))

    def commit(self):
        style, script = _asset("report.css"), _asset("report.js")
        head, tail = _asset("report.html").split(BODY_MARK)
        names = ", ".join(os.path.basename(f) for f in self.files[:TITLE_FILES])
        if len(self.files) > TITLE_FILES:
            names += f" and {len(self.files) - TITLE_FILES} more"
        values = dict(csp=escape(policy(style, script), quote=False),
                      title=escape(encodable(f"qPCR report: {names}")), style=style, script=script,
                      header=encodable(header_block(self.header, self.files)))
        with naming(self.path):
            f = self.out.file
            f.write(Template(head).substitute(values))
            self.spool.seek(0)
            for chunk in iter(lambda: self.spool.read(1 << 16), ""):
                f.write(chunk)
            self.spool.close()
            f.write(Template(tail).substitute(values))
        self.out.commit()

    def discard(self):
        self.out.discard()
        self.spool.close()
