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
from dataclasses import dataclass, replace

from .. import jobs
from ..errors import QuelmarError
from ..limits import default_limits, open_input
from ..quantify import quantify_file
from ..results import (AmplificationWell, MeltPeak, MeltWell, RelativeQuantity, StandardFit, StandardWell,
                       columns_of)

#: The tables of a report, in the order the page shows them, with their rows' columns.
TABLES = {"amplification": columns_of(AmplificationWell), "standard wells": columns_of(StandardWell),
          "standard curves": columns_of(StandardFit), "relative quantities": columns_of(RelativeQuantity),
          "melting wells": columns_of(MeltWell), "melting peaks": columns_of(MeltPeak)}
#: Bytes read at a time for the checksum.
HASH_CHUNK = 1 << 20


@dataclass
class RunReport:
    """Everything the page shows of one input file besides what every result carries (notes, geometry).

    Attributes
    ----------
    file : str
    sha256 : str
    size : int
        Bytes.
    format, kind, description : str
        As read ("RDML 1.1", "CSV"), what the file holds and in words (see :func:`quelmar.kinds.guess_kind`).
    runs : dict
        Run id -> :class:`~quelmar.readers.RunInfo`: what the instrument wrote (RDML).
    amplification : list of AmplificationPlate
    standards : dict
        Plate label -> StandardPlate, for the plates with standards.
    melts : list of MeltPlate
    quantities : QuantifyResult, optional
    """

    file: str
    sha256: str
    size: int
    format: str
    kind: str
    description: str
    runs: dict
    amplification: list
    standards: dict
    melts: list
    quantities: object


def _digest(source):
    """SHA-256 and size of an open input, read from its first byte."""
    digest, size, stream = hashlib.sha256(), 0, source.stream()
    for chunk in iter(lambda: stream.read(HASH_CHUNK), b""):
        digest.update(chunk)
        size += len(chunk)
    return digest.hexdigest(), size


# -- the analyses ------------------------------------------------------------------------------

def analyse_file(path, settings):
    """The report of one file: a :class:`~quelmar.results.FileResult` whose one plate is a :class:`RunReport`.

    The input is opened once (standard input is read once): its bytes are
    hashed, and the same bytes read as a plate.

    Raises
    ------
    ReaderError
        For a file that is no plate (one line saying what it looks like).
    InputError
        For a file without data for ``--target``.
    """
    with open_input(path, default_limits(settings.limits)) as source:
        sha256, size = _digest(source)
        plate_file, kind = jobs.read_checked(source, "report", settings)
    path = plate_file.path
    warnings, notes = [], []
    amplification, standards, quantities = [], {}, None
    if kind.name in ("amplification", "both"):
        amplification, standards, quantities = _amplification(path, plate_file, settings, warnings, notes)
    elif settings.calibrator:
        _no_quantities(path, "the file holds no amplification data", warnings, notes)
    melts = _melt(plate_file, settings, warnings, notes, alone=not amplification) \
        if kind.name in ("melting", "both") else []
    if not (amplification or melts):
        raise jobs.InputError(f"{path}: no amplification or melting data"
                              f"{f' for target {settings.target!r}' if settings.target else ''}")
    report = RunReport(path, sha256, size, plate_file.format, kind.name, kind.description, plate_file.run_info,
                       amplification, standards, melts, quantities)
    return jobs.file_result("report", plate_file, [report], _tables(report), warnings, notes)


def _no_quantities(path, why, warnings, notes):
    notes.append(f"no relative quantities: {why}")
    warnings.append(f"{path}: no relative quantities: {why}")


def _amplification(path, plate_file, settings, warnings, notes):
    """The plates shown, their standard curves by label and the relative quantities (or None), from one
    amplification of every plate.

    What the other jobs would refuse (a degenerate standard curve, relative
    quantities the file cannot give) leaves its section out with a note.
    """
    every = replace(settings, target=None) if settings.calibrator else settings
    plates = shown = jobs.amplify_plates(plate_file, every)
    if settings.target and settings.calibrator:
        target = plate_file.resolve_target(settings.target)
        shown = [p for p in plates if p.target == target]
    standards, more = jobs.standard_plates(shown, settings.quantities, notes)
    warnings += more
    quantities = None
    if settings.calibrator:
        try:
            quantities, more = quantify_file(path, plate_file, plates, settings)
            warnings += more
        except jobs.InputError as e:
            _no_quantities(path, str(e).removeprefix(f"{path}: "), warnings, notes)
    return shown, {s.label: s for s in standards}, quantities


def _melt(plate_file, settings, warnings, notes, alone):
    """The melting analysis of the job; a file where no well could be analysed keeps the rest
    unless the melt is all it has (``alone``)."""
    try:
        melts, more, told = jobs.melt_plates(plate_file, settings)
    except QuelmarError as e:
        if alone:
            raise
        notes.append(f"no melting analysis: {e}")
        return []
    warnings += more
    notes += told
    return melts


def _tables(report):
    standards = list(report.standards.values())
    tables = {"amplification": [w for p in report.amplification for w in p.wells],
              "standard wells": [w for s in standards for w in s.wells],
              "standard curves": [s.fit for s in standards],
              "relative quantities": report.quantities.rows if report.quantities is not None else [],
              "melting wells": [c.summary for p in report.melts for c in p.curves],
              "melting peaks": [k for p in report.melts for c in p.curves for k in c.peaks]}
    return {name: rows for name, rows in tables.items() if rows}


#: What an option left unset means in a report (for the settings table).
DEFAULTS = {"target": "every target", "threshold": "each plate's own", "max_ct": "the last five cycles only",
            "samples": "none: the file's annotations", "quantity": "the file's quantities",
            "range": "chosen per well from its -dF/dT", "calibrator": "none: no relative quantities",
            "reference": "the file's targets of type ref"}
