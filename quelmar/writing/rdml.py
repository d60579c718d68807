"""Results written back as RDML 1.3: the input's runs, samples, targets and
readings, with the analysed Cq, efficiency or melting temperature, the
exclusions and the notes of every well.

The file is a zip archive holding one document, ``rdml_data.xml``, valid
against the RDML 1.3 schema whatever the input's version (1.0 to 1.4, or a
CSV plate). What it holds, per data element (one reaction and target):

- ``cq``: the Ct the analysis judged (the plate's kind, linear or sigmoid),
  -1 where it found none ("not available"); a well the analysis did not
  read (another target than ``--target``) keeps the input's Cq;
- ``N0``, ``ampEffMet`` and ``ampEff``: the well's starting fluorescence
  (where the window of linearity gives one) and efficiency, where it has
  them; ``meltTemp``: its main melting temperature;
- ``excl``: the reasons the well is left out, where it is;
- ``note``: the well's quality flags, and the input's own Cq and note
  where it had them (the input's Cq is replaced, not lost);
- ``adp`` and ``mdp``: the readings as read, every number written so that
  it reads back to the same double.

The schema asks for some things the input may not have: a reaction id is a
number on the run's plate (computed from the well's position where the input
names wells by label), a target has a type and a dye, a sample type and a
quantity unit come from fixed lists, a run has a plate format, and no two
melting readings of one data element share a temperature (readings at one
temperature are merged into their mean, as the melt analysis does). Where
the input's text cannot be kept as it is (a character XML cannot hold, a
date that is no xs:dateTime, a sample type RDML does not know), the writer
says what it changed in ``notes``; a run's description names what wrote it.
"""
import math
import re
import zipfile
from dataclasses import dataclass, field

import numpy as np

from ..common import exclusion
from ..common.errors import OutputError
from ..common.positions import position, row_label, smallest_plate
from .writers import AtomicFile, naming

VERSION = "1.3"
NAMESPACE = "http://www.rdml.org"
MEMBER = "rdml_data.xml"
#: What RDML 1.3 accepts as a sample type, a target type, a quantity unit and a plate label.
SAMPLE_TYPES = ("unkn", "ntc", "nac", "std", "ntp", "nrt", "pos", "opt")
TARGET_TYPES = ("ref", "toi")
UNITS = ("cop", "fold", "dil", "nMol", "ng", "other")
LABELS = ("ABC", "123")
#: The schema's "not available" for a Cq.
CQ_NONE = -1.0
#: How the efficiency written beside each kind of Cq was found (RDML's free text ampEffMet): the window Cq's is
#: the well's own in its target's window of linearity, the others' the well's own steepest log-linear stretch.
_STRETCH = "the well's steepest log-linear stretch"
EFFICIENCY_METHODS = {"window": "the well's efficiency in its target's window of linearity", "linear": _STRETCH,
                      "sigmoid": _STRETCH}
#: RDML's names of the ways a Cq is found, by the analysis' Ct kind (and a threshold the user set).
CQ_METHODS = {"linear": "automated threshold and baseline settings",
              "manual": "manual threshold and baseline settings", "sigmoid": "other", "window": "other"}
#: Names given where the input has none (a CSV plate: its experiment, run, target and dye).
EXPERIMENT, RUN, TARGET, DYE = "experiment", "run", "target", "dye"
#: Characters XML 1.0 cannot hold in any form; each becomes U+FFFD.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
#: What text and attribute values escape; an attribute's white space too, which parsers would fold.
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})
_ATTRIBUTE_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "\t": "&#9;",
                                    "\n": "&#10;", "\r": "&#13;"})
_DATETIME = re.compile(r"^-?\d{4,}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d)?$")


@dataclass
class Analysed:
    """What an analysis found of one well.

    ``cq`` None keeps the input's Cq (the well was not analysed for it), NaN
    writes "not available"; ``excluded`` is the reasons the well is left out
    ("" when there are none to give), False for a well the analysis keeps in,
    None where the analysis does not say (the file's exclusion then stands).
    """

    cq: object = None
    efficiency: float = math.nan
    efficiency_method: str = ""
    n0: float = math.nan
    tm: float = math.nan
    excluded: object = None
    flags: tuple = ()
    cq_method: str = ""


@dataclass
class _Text:
    """The document as it is written, and what was changed to make it valid."""

    parts: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    replaced: int = 0

    def clean(self, value):
        value = str(value)
        cleaned, n = _NOT_XML.subn("\ufffd", value)
        self.replaced += n
        return cleaned

    def attr(self, value):
        return '"' + self.clean(value).translate(_ATTRIBUTE_ESCAPES) + '"'

    def text(self, value):
        return self.clean(value).translate(_TEXT_ESCAPES)

    def element(self, tag, value, indent, **attributes):
        attrs = "".join(f" {k}={self.attr(v)}" for k, v in attributes.items() if v is not None)
        self.parts.append(f"{' ' * indent}<{tag}{attrs}>{self.text(value)}</{tag}>\n")

    def empty(self, tag, indent, **attributes):
        attrs = "".join(f" {k}={self.attr(v)}" for k, v in attributes.items() if v is not None)
        self.parts.append(f"{' ' * indent}<{tag}{attrs}/>\n")

    def open(self, tag, indent, **attributes):
        attrs = "".join(f" {k}={self.attr(v)}" for k, v in attributes.items() if v is not None)
        self.parts.append(f"{' ' * indent}<{tag}{attrs}>\n")

    def close(self, tag, indent):
        self.parts.append(f"{' ' * indent}</{tag}>\n")


def number(value):
    """A double as text that reads back to the same double (and is an xs:float's lexical form)."""
    return repr(float(value))


def document(plate, analysed, description=""):
    """The RDML 1.3 document of a read file and what its analysis found.

    Parameters
    ----------
    plate : quelmar.reading.readers.PlateRead
        The file as read (its wells, samples, targets, dyes, runs and their geometry).
    analysed : dict
        (run, well, target) -> :class:`Analysed`; wells not in it keep the input's Cq.
    description : str
        Said in every run's description: what analysed it.

    Returns
    -------
    (str, list of str)
        The document's text and the notes on what was changed to make it valid RDML 1.3.
    """
    out = _Text()
    out.parts.append(f'<?xml version="1.0" encoding="UTF-8"?>\n<rdml version="{VERSION}" xmlns="{NAMESPACE}">\n')
    targets = _targets(plate)
    dyes = list(dict.fromkeys(list(plate.dyes) + [dye for _, dye, _ in targets.values()]))
    for dye in dyes:
        out.empty("dye", 1, id=dye)
    _samples(out, plate)
    for tid, (kind, dye, efficiency) in targets.items():
        out.open("target", 1, id=tid)
        out.element("type", kind, 2)
        if math.isfinite(efficiency):
            out.element("amplificationEfficiency", number(efficiency), 2)
        out.empty("dyeId", 2, id=dye)
        out.close("target", 1)
    _experiments(out, plate, analysed, description)
    out.parts.append("</rdml>\n")
    if out.replaced:
        out.notes.append(f"{out.replaced} character{'s' if out.replaced > 1 else ''} that XML cannot hold written "
                         f"as U+FFFD")
    return "".join(out.parts), out.notes


# -- samples and targets -----------------------------------------------------------------

def _target_id(well):
    return well.target or TARGET


def _sample_id(well):
    return well.sample or well.name


def _targets(plate):
    """Target id -> (type, dye, efficiency) of every target of the file and its wells."""
    out = {}
    for tid, info in plate.targets.items():
        kind = (info.get("type") or "").strip().lower()
        out[tid] = (kind if kind in TARGET_TYPES else "toi", info.get("dye") or DYE,
                    float(info.get("efficiency", math.nan)))
    for w in plate.wells:
        out.setdefault(_target_id(w), ("toi", w.dye or DYE, math.nan))
    return out


def _by_sample(plate):
    """Sample id -> its wells, the file's samples first (also those no well uses)."""
    out = {sid: [] for sid in plate.samples}
    for w in plate.wells:
        out.setdefault(_sample_id(w), []).append(w)
    return out


def _samples(out, plate):
    unknown_types = set()
    for sid, wells in _by_sample(plate).items():
        about = plate.samples.get(sid, {})
        out.open("sample", 1, id=sid)
        if about.get("description"):
            out.element("description", about["description"], 2)
        for prop, value in _annotations(about, wells).items():
            out.open("annotation", 2)
            out.element("property", prop, 3)
            out.element("value", value, 3)
            out.close("annotation", 2)
        for target, kind in _per_target(wells, lambda w: w.sample_type.strip().lower() or "unkn",
                                        (about.get("type") or "unkn").strip().lower()):
            if kind not in SAMPLE_TYPES:
                unknown_types.add(kind)
                kind = "unkn"
            out.element("type", kind, 2, targetId=target)
        quantities = _per_target([w for w in wells if math.isfinite(w.quantity)], lambda w: _quantity(about, w), None)
        for target, (value, unit) in quantities:
            out.open("quantity", 2, targetId=target)
            out.element("value", number(value), 3)
            out.element("unit", unit, 3)
            out.close("quantity", 2)
        out.close("sample", 1)
    if unknown_types:
        out.notes.append(f"sample types RDML does not know ({', '.join(sorted(unknown_types))}) written as unkn")


def _per_target(wells, value_of, default):
    """[(target id or None, value)]: one value for every target when the wells agree, else one per target."""
    values = {}
    for w in wells:
        values.setdefault(_target_id(w), value_of(w))
    if not values:
        return [] if default is None else [(None, default)]
    if len(set(values.values())) == 1:
        return [(None, next(iter(values.values())))]
    return list(values.items())


def _quantity(about, well):
    """The well's quantity as RDML writes it: the file's own value and unit where they give the well's quantity."""
    unit = well.quantity_unit if well.quantity_unit in UNITS else "other"
    stated = about.get("quantities", {})
    raw = stated.get(well.target, stated.get(None))
    if raw is not None and raw[1] == well.quantity_unit:
        value = raw[0]
        if (1.0 / value if unit == "dil" and value > 0 else value) == well.quantity:
            return value, unit
    return (1.0 / well.quantity if unit == "dil" else well.quantity), unit


def _annotations(about, wells):
    """The sample's annotations, with the group and replicate its wells now have (a sample sheet may set them)."""
    out = dict(about.get("annotations", {}))
    for key, default in (("group", "group"), ("biological_replicate", "biological replicate")):
        values = {getattr(w, key, "") for w in wells}
        if len(values) != 1 or not next(iter(values)):
            continue
        value = next(iter(values))
        prop = about.get(f"{key}_property") or default
        out[prop] = value
    return out


# -- experiments, runs and reactions -------------------------------------------------------

def _experiments(out, plate, analysed, description):
    runs = list(plate.runs) or [""]
    by_experiment = {}
    for run in runs:
        info = plate.run_info.get(run)
        by_experiment.setdefault(getattr(info, "experiment", "") or EXPERIMENT, []).append(run)
    for experiment, keys in by_experiment.items():
        out.open("experiment", 1, id=experiment)
        ids = [getattr(plate.run_info.get(k), "id", "") or k or RUN for k in keys]
        for key, rid in zip(keys, ids):
            _run(out, plate, key, rid if ids.count(rid) == 1 else (key or RUN), analysed, description)
        out.close("experiment", 1)


def _run(out, plate, key, rid, analysed, description):
    info = plate.run_info.get(key)
    wells = [w for w in plate.wells if w.run == key]
    reacts = {}
    for w in wells:
        reacts.setdefault(w.react or w.name, []).append(w)
    rows, columns, row_as, column_as, ids = _layout(out, rid, plate.geometry.get(key), info, reacts)
    methods = {a.cq_method for w in wells for a in [analysed.get((w.run, w.name, w.target))] if a is not None}
    out.open("run", 2, id=rid)
    if description:
        out.element("description", description, 3)
    if info is not None and info.instrument:
        out.element("instrument", info.instrument, 3)
    if info is not None and (info.software_name or info.software_version):
        out.open("dataCollectionSoftware", 3)
        out.element("name", info.software_name, 4)
        out.element("version", info.software_version, 4)
        out.close("dataCollectionSoftware", 3)
    if len(methods) == 1 and next(iter(methods)):
        out.element("cqDetectionMethod", next(iter(methods)), 3)
    out.open("pcrFormat", 3)
    out.element("rows", rows, 4)
    out.element("columns", columns, 4)
    out.element("rowLabel", row_as, 4)
    out.element("columnLabel", column_as, 4)
    out.close("pcrFormat", 3)
    if info is not None and info.date:
        if _DATETIME.match(info.date):
            out.element("runDate", info.date, 3)
        else:
            out.notes.append(f"run {rid!r}: its date {info.date!r} is not an xs:dateTime; left out")
    for (react, members), number_id in zip(reacts.items(), ids):
        out.open("react", 3, id=number_id)
        samples = list(dict.fromkeys(_sample_id(w) for w in members))
        if len(samples) > 1:
            out.notes.append(f"run {rid!r}, well {members[0].name}: its targets name samples "
                             f"{', '.join(map(repr, samples))}; a reaction holds one, {samples[0]!r} is written")
        out.empty("sample", 4, id=samples[0])
        for w in members:
            _data(out, w, analysed.get((w.run, w.name, w.target)))
        out.close("react", 3)
    out.close("run", 2)


def _layout(out, rid, geometry, info, reacts):
    """(rows, columns, row label, column label, reaction ids) that give the wells back their names."""
    names = [members[0].name for members in reacts.values()]
    keys = list(reacts)
    rows, columns = (geometry.rows, geometry.columns) if geometry is not None else (0, 0)
    row_as, column_as = (getattr(info, "row_label", ""), getattr(info, "column_label", ""))
    if row_as in LABELS and column_as in LABELS and rows and columns and all(k.isdigit() for k in keys):
        ids = [int(k) for k in keys]
        if all(0 < i <= rows * columns for i in ids) and \
                all(_label(i, columns, row_as, column_as) == n for i, n in zip(ids, names)):
            return rows, columns, row_as, column_as, ids
    places = [position(n) for n in names]
    if places and all(places):
        need = (max(r for r, _ in places) + 1, max(c for _, c in places) + 1)
        if not (rows >= need[0] and columns >= need[1]):
            rows, columns = smallest_plate(*need)
        return rows, columns, "ABC", "123", [r * columns + c + 1 for r, c in places]
    # A single column: RDML names each reaction by its number.
    numbers = [int(n) for n in names if n.isdigit() and len(n) <= 9 and int(n) > 0]
    if len(numbers) == len(names) and len(set(numbers)) == len(numbers):
        return max(numbers, default=1), 1, "123", "123", numbers
    out.notes.append(f"run {rid!r}: its well names are no plate positions; written as reactions 1 to "
                     f"{len(names)} in the file's order")
    return max(len(names), 1), 1, "123", "123", list(range(1, len(names) + 1))


def _label(index, columns, row_as, column_as):
    """The name RDML gives reaction ``index`` (from 1) of a plate ``columns`` wide."""
    r, c = divmod(index - 1, columns)
    row = str(r + 1) if row_as == "123" else row_label(r)
    column = row_label(c) if column_as == "ABC" else str(c + 1)
    return f"{row}{'-' if row_as == '123' and column_as != 'ABC' else ''}{column}"


def _data(out, well, found):
    out.open("data", 4)
    out.empty("tar", 5, id=_target_id(well))
    note = []
    if found is not None and found.cq is not None:
        cq = float(found.cq)
        out.element("cq", number(cq) if math.isfinite(cq) else number(CQ_NONE), 5)
        if math.isfinite(well.cq):
            note.append(f"input Cq {number(well.cq)}")
    elif math.isfinite(well.cq):
        out.element("cq", number(well.cq), 5)
    if found is not None and math.isfinite(found.n0):
        out.element("N0", number(found.n0), 5)
    if found is not None and math.isfinite(found.efficiency):
        out.element("ampEffMet", found.efficiency_method, 5)
        out.element("ampEff", number(found.efficiency), 5)
    if found is not None and math.isfinite(found.tm):
        out.element("meltTemp", number(found.tm), 5)
    excluded = _excluded(well, found)
    if excluded == "":
        out.empty("excl", 5)
    elif excluded is not None:
        out.element("excl", excluded, 5)
    if found is not None and found.flags:
        note.insert(0, "flags: " + ", ".join(found.flags))
    if well.file_note:
        note.append(f"input note: {well.file_note}")
    if note:
        out.element("note", "; ".join(note), 5)
    if well.fluor is not None:
        _points(out, "adp", "cyc", well.cycles, well.fluor)
    if well.melt_fluor is not None:
        _points(out, "mdp", "tmp", *_distinct(out, well, well.melt_temperature, well.melt_fluor))
    out.close("data", 4)


def _excluded(well, found):
    """The reasons the well is left out (None: it is not), the analysis' word first, else the file's."""
    if found is not None and found.excluded is not None:
        return None if found.excluded is False else found.excluded
    reasons = getattr(well, "file_exclusion", None)
    return None if reasons is None else "; ".join(reasons)


def _distinct(out, well, axis, reading):
    """Readings at one temperature (as RDML's single-precision numbers compare) merged into their mean."""
    key = np.asarray(axis, dtype=np.float32)
    if key.size < 2 or np.all(key[1:] != key[:-1]):
        return axis, reading
    starts = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    counts = np.diff(np.r_[starts, key.size])
    out.notes.append(f"run {well.run!r}, well {well.name}, target {well.target!r}: "
                     f"{int(key.size - starts.size)} melting readings at a temperature read before merged into "
                     f"their mean")
    return np.add.reduceat(axis, starts) / counts, np.add.reduceat(reading, starts) / counts


def _points(out, tag, axis_tag, axis, reading):
    inner = f"</{axis_tag}><fluor>"
    out.parts.extend(f"      <{tag}><{axis_tag}>{number(a)}{inner}{number(f)}</fluor></{tag}>\n"
                     for a, f in zip(axis.tolist(), reading.tolist()))


# -- the writer of the command's --out --------------------------------------------------------

class RdmlWriter:
    """``--out results.rdml``: one input file and its analysis as RDML 1.3, written on :meth:`commit`.

    Parameters
    ----------
    path : str
        Ends in .rdml.
    command : str
        "amplify" or "melt".
    tables : dict
        Unused (the writer's content is fixed); accepted as every writer is built.
    header : dict, optional
        ``library_version`` names what analysed the file in every run's description.
    """

    def __init__(self, path, command, tables=None, header=None):
        self.path, self.command, self.header = path, command, dict(header or {})
        self.result, self.notes = None, []
        self.out = AtomicFile(path, binary=True)

    def add(self, result):
        """Take the one :class:`~quelmar.results.FileResult` (with its ``source``, the file as read)."""
        if self.result is not None:
            raise OutputError(f"{self.path}: an RDML output holds one input file; give one FILE")
        if getattr(result, "source", None) is None:
            raise OutputError(f"{self.path}: {result.file} was not kept as read; it cannot be written as RDML")
        self.result = result

    def commit(self):
        if self.result is None:
            raise OutputError(f"{self.path}: no file was analysed")
        result = self.result
        version = self.header.get("library_version", "")
        description = (f"Analysed by quelmar {self.command} (QuelmarAlg {version}) from "
                       f"{result.source.path} ({result.source.format}); the readings are the input's")
        text, self.notes = document(result.source, analysed_wells(result), description)
        with naming(self.path):
            with zipfile.ZipFile(self.out.file, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr(MEMBER, text.encode("utf-8"))
        self.out.commit()

    def discard(self):
        self.out.discard()


def analysed_wells(result):
    """(run, well, target) -> :class:`Analysed` from the rows of an ``amplify`` or ``melt`` result."""
    found = {}
    if result.command == "amplify":
        for plate in result.plates:
            kind = plate.ct_kind
            manual = kind == "linear" and plate.threshold != plate.auto_threshold
            for row in plate.wells:
                efficiency = written_efficiency(row, kind)
                found[(row.run, row.well, row.target)] = Analysed(
                    cq=getattr(row, f"ct_{kind}"), efficiency=efficiency, n0=getattr(row, "n0", math.nan),
                    efficiency_method=EFFICIENCY_METHODS.get(kind, ""), flags=tuple(row.flags),
                    excluded=_row_excluded(row), cq_method=CQ_METHODS["manual" if manual else kind])
    elif result.command == "melt":
        for row in result.tables.get("wells", ()):
            found[(row.run, row.well, row.target)] = Analysed(tm=row.tm, flags=tuple(row.flags),
                                                              excluded=_row_excluded(row))
    return found


def written_efficiency(row, kind):
    """The efficiency written beside a well's Cq of ``kind``: its own in its target's window of linearity for
    the window Cq, its steepest log-linear stretch's for the others."""
    return getattr(row, "efficiency_window", math.nan) if kind == "window" else row.efficiency


def _row_excluded(row):
    """The analysis' word on a row's exclusion: its reasons, False when it keeps the well in, None when its
    results do not say."""
    excluded = getattr(row, "excluded", None)
    if not isinstance(excluded, str):
        return None
    if not excluded:
        return False
    # The file's own reasons go back as the file wrote them, so that a file
    # read and written again keeps its <excl> text; the others say where
    # they come from.
    reasons = (r.removeprefix(f"{exclusion.FILE}: ") if r != exclusion.FILE else ""
               for r in excluded.split(exclusion.SEPARATOR))
    return exclusion.SEPARATOR.join(r for r in reasons if r)
