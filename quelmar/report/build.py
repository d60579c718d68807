"""What a report holds of one input file: the file itself (name, SHA-256, what
the instrument wrote about the run) and the results of every analysis its data
allow, run through :mod:`quelmar.jobs` in a worker like any other job.

Which analyses run:

- amplification, when the file holds amplification data;
- melting, when it holds melting data;
- the standard curve of each plate with standards (wells with a quantity);
- relative quantities, when a calibrator is given (``--calibrator``) and the
  reference genes are known (``--reference``, or the file's targets of type ref).

The amplification analysis runs once per plate and feeds the standard curves
and the relative quantities, which would otherwise each repeat it. A file that
is no plate is refused in one line; a file that holds only melting curves gets
a report of its melt.
"""
import hashlib
import os
import zipfile
from xml.parsers import expat
from dataclasses import dataclass, field, replace

from .. import jobs
from ..errors import NotAPlate, QuelmarError, ReaderError
from ..kinds import guess_kind, read_plate
from ..results import (AmplificationWell, FileResult, MeltPeak, MeltWell, RelativeQuantity, StandardFit, StandardPlate,
                       StandardWell, columns_of)

#: The tables of a report, in the order the page shows them, with their rows' columns.
TABLES = {"amplification": columns_of(AmplificationWell), "standard wells": columns_of(StandardWell),
          "standard curves": columns_of(StandardFit), "relative quantities": columns_of(RelativeQuantity),
          "melting wells": columns_of(MeltWell), "melting peaks": columns_of(MeltPeak)}
#: Bytes read at a time for the checksum.
HASH_CHUNK = 1 << 20


@dataclass
class RunInfo:
    """What an RDML file says of one run (empty where it says nothing)."""

    run: str
    instrument: str = ""
    date: str = ""
    software: str = ""
    geometry: str = ""


@dataclass
class RunReport:
    """Everything the page shows of one input file.

    Attributes
    ----------
    file : str
    sha256 : str
    size : int
        Bytes.
    format, kind : str
        As read ("RDML 1.1", "CSV") and what the file holds (see :func:`quelmar.kinds.guess_kind`).
    runs : list of RunInfo
    geometry : dict
        Run id -> (rows, columns) of the plate, where the file says or the reader inferred it.
    amplification : list of AmplificationPlate
    standards : dict
        Plate label -> StandardPlate, for the plates with standards.
    melts : list of MeltPlate
    quantities : QuantifyResult, optional
    notes : list of str
        What the reader did, and why a section is missing.
    """

    file: str
    sha256: str
    size: int
    format: str
    kind: str
    description: str
    runs: list
    geometry: dict
    amplification: list = field(default_factory=list)
    standards: dict = field(default_factory=dict)
    melts: list = field(default_factory=list)
    quantities: object = None
    notes: list = field(default_factory=list)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(HASH_CHUNK), b""):
            digest.update(chunk)
    return digest.hexdigest()


# -- what the instrument wrote ------------------------------------------------------------

class _RunFields:
    """Expat handlers keeping, of each run, its instrument, date and data collection software."""

    RUN = ("rdml", "experiment", "run")
    FIELDS = {"instrument": "instrument", "runDate": "date"}
    SOFTWARE = ("name", "version")

    def __init__(self, path):
        self.path, self.stack, self.runs, self.buffer = path, [], [], None

    def start(self, tag, attributes):
        local = tag.rpartition("}")[2]
        self.stack.append(local)
        where = tuple(self.stack)
        if where == self.RUN:
            self.runs.append(RunInfo(attributes.get("id", "")))
        elif where[:3] == self.RUN and (where[3:] in ((f,) for f in self.FIELDS) or
                                        where[3:] in (("dataCollectionSoftware", f) for f in self.SOFTWARE)):
            self.buffer = []

    def end(self, _tag):
        local = self.stack.pop()
        if self.buffer is None:
            return
        value, self.buffer = " ".join("".join(self.buffer).split()), None
        if local in self.FIELDS:
            setattr(self.runs[-1], self.FIELDS[local], value)
        elif value:
            self.runs[-1].software = f"{self.runs[-1].software} {value}".strip()

    def text(self, data):
        if self.buffer is not None:
            self.buffer.append(data)

    def doctype(self, *_):
        raise ReaderError(self.path, "has a document type declaration (<!DOCTYPE>); RDML needs none")


def run_fields(path):
    """The :class:`RunInfo` of every run of an RDML file, in file order.

    Only called on a file the RDML reader has already read within its limits
    (so of a bounded size, and without a document type declaration).
    """
    handler = _RunFields(path)

    def parse(stream):
        parser = expat.ParserCreate(namespace_separator="}")
        parser.StartElementHandler, parser.EndElementHandler = handler.start, handler.end
        parser.CharacterDataHandler = handler.text
        parser.StartDoctypeDeclHandler = parser.EntityDeclHandler = handler.doctype
        parser.buffer_text = True
        try:
            parser.ParseFile(stream)
        except expat.ExpatError as e:
            raise ReaderError(path, f"is not well-formed XML ({e})") from None
        handler.stack = []
    if zipfile.is_zipfile(path):
        with zipfile.ZipFile(path) as z:
            names = [n for n in z.namelist() if n.lower().endswith(".xml")]
            for name in (["rdml_data.xml"] if "rdml_data.xml" in names else names):
                with z.open(name) as member:
                    parse(member)
    else:
        with open(path, "rb") as f:
            parse(f)
    return handler.runs


# -- the analyses ------------------------------------------------------------------------------

def analyse_file(path, settings):
    """The report of one file: a :class:`~quelmar.results.FileResult` whose one plate is a :class:`RunReport`.

    Raises
    ------
    ReaderError
        For a file that is no plate (one line saying what it looks like).
    InputError
        For a file without data for ``--target``, or relative quantities asked for and impossible.
    """
    path = str(path)
    plate_file, kind = _read(path, settings)
    warnings, notes = [], []
    report = RunReport(path, sha256(path), os.path.getsize(path), plate_file.format, kind.name, kind.description,
                       [], {})
    if kind.name in ("amplification", "both"):
        _amplification(report, plate_file, settings, warnings)
    elif settings.calibrator:
        notes.append("no relative quantities: the file holds no amplification data")
    if kind.name in ("melting", "both"):
        warnings += _melt(report, path, settings)
    report.notes = list(plate_file.notes) + notes + report.notes
    report.geometry = {run: (g.rows, g.columns) for run, g in plate_file.geometry.items() if g.rows}
    if plate_file.format.startswith("RDML"):
        try:
            report.runs = run_fields(path)
        except (ReaderError, ValueError, LookupError) as e:  # an encoding expat cannot read: the rest stands
            report.notes.append(f"the runs' instrument and date could not be read: {e}")
    for info in report.runs:
        g = plate_file.geometry.get(info.run)
        info.geometry = str(g) if g is not None else ""
    if not (report.amplification or report.melts):
        raise jobs.InputError(f"{path}: no amplification or melting data"
                              f"{f' for target {settings.target!r}' if settings.target else ''}")
    return FileResult("report", path, [report], _tables(report), warnings)


def _read(path, settings):
    """The file, read once (its format and, for CSV, what its columns hold, told by content), and its kind."""
    try:
        plate_file = read_plate(path)
    except NotAPlate as e:
        raise ReaderError(path, f"{e.problem}; there is nothing to report") from None
    if settings.samples is not None:
        settings.samples.apply(plate_file)
    kind = guess_kind(plate_file)
    if kind.name == "none":
        raise ReaderError(path, f"{kind.description}; there is nothing to report")
    return plate_file, kind


def _amplification(report, plate_file, settings, warnings):
    """Amplification once per plate; standard curves and relative quantities from the same plates."""
    path = report.file
    every = replace(settings, target=None) if settings.calibrator else settings
    plates = jobs.amplify_plates(path, plate_file, every)
    shown = plates
    if settings.target and settings.calibrator:
        target = plate_file.resolve_target(settings.target)
        shown = [p for p in plates if p.target == target]
    report.amplification = shown
    for p in shown:
        try:
            fit, wells = jobs.fit_standard(path, p, settings.quantities)
        except jobs.InputError as e:  # a degenerate curve: the rest of the report stands
            report.notes.append(f"no standard curve: {e}")
            continue
        if fit is not None:
            report.standards[p.label] = StandardPlate(p, fit, wells)
            if fit.warning:
                warnings.append(f"{path}: {p.label}: {fit.warning}")
    declared = [t for t, info in plate_file.targets.items() if info.get("type", "").lower() == "ref"]
    if settings.calibrator and not (settings.reference or declared):
        report.notes.append("no relative quantities: the file declares no reference gene (no target of type ref); "
                            "name them with --reference GENE[,GENE...]")
    elif settings.calibrator:
        from ..quantify import quantify_file
        report.quantities, more = quantify_file(path, plate_file, plates, settings)
        warnings += more


def _melt(report, path, settings):
    """The melting analysis through its job; a file where no well could be analysed keeps the rest."""
    try:
        result = jobs.melt(path, settings)
    except QuelmarError as e:
        if not report.amplification:
            raise
        report.notes.append(f"no melting analysis: {e}")
        return []
    report.melts = result.plates
    return result.warnings


def _tables(report):
    standards = list(report.standards.values())
    tables = {"amplification": [w for p in report.amplification for w in p.wells],
              "standard wells": [w for s in standards for w in s.wells],
              "standard curves": [s.fit for s in standards],
              "relative quantities": report.quantities.rows if report.quantities is not None else [],
              "melting wells": [c.summary for p in report.melts for c in p.curves],
              "melting peaks": [k for p in report.melts for c in p.curves for k in c.peaks]}
    return {name: rows for name, rows in tables.items() if rows}


def describe_default(name):
    """What an option left unset means in a report (for the settings table)."""
    return DEFAULTS.get(name, "")


DEFAULTS = {"target": "every target", "threshold": "each plate's own", "max_ct": "the last five cycles only",
            "samples": "none: the file's annotations", "quantity": "the file's quantities",
            "range": "chosen per well from its -dF/dT", "calibrator": "none: no relative quantities",
            "reference": "the file's targets of type ref"}
