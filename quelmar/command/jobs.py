"""The jobs of the command, one input file at a time: read the file, run the
analyses of :mod:`quelmar.analysis`, return a typed
:class:`~quelmar.results.FileResult`.

Every job takes a path and an :class:`~quelmar.analysis.settings.AnalysisSettings`
and is what a worker process runs. Bad input raises
:class:`~quelmar.common.errors.InputError` (or the readers' and the library's
own errors), always naming the file.

The report's job runs the amplification once per plate and feeds the
standard curves and the relative quantities from it, which would otherwise
each repeat it. What another job would refuse of a file (relative quantities
the file cannot give, a degenerate standard curve, a melt where no well could
be analysed beside amplification data) leaves its section out with a note, so
that one page can hold several files; a file with melting curves only gets a
report of its melt.
"""
import hashlib
from dataclasses import replace

from ..analysis.examination import examine
from ..analysis.standard import standard_plates
from ..analysis.study import quantify_and_compare, quantify_study, stability_of, study_label, study_parts
from ..common.errors import InputError, Named, NotAPlate, ReaderError
from ..common.limits import default_limits, open_input
from ..reading.kinds import FileKind, guess_kind, read_plate
from ..results import FileResult, Finding, RunReport, StudyRun
from .options import command_words

#: The data each subcommand needs.
NEEDS = {"amplify": "amplification", "standard": "amplification", "quantify": "amplification",
         "references": "amplification", "melt": "melting"}
#: Subcommands that fit each kind of file.
FITS = {"amplification": ("amplify", "standard", "quantify", "references"), "melting": ("melt",),
        "both": ("amplify", "standard", "quantify", "references", "melt"), "none": ()}
#: Bytes read at a time for the report's checksum.
HASH_CHUNK = 1 << 20


# -- reading ---------------------------------------------------------------------

def refusal(kind, wanted):
    """Why a file of :class:`~quelmar.reading.kinds.FileKind` ``kind`` does not fit ``wanted``
    (one line without the file name), or None.

    ``wanted`` is a subcommand ("amplify", "melt", "standard", "quantify",
    or "report", which reads either kind) or the data it needs
    ("amplification", "melting"). No subcommand reads a file that is no plate.
    """
    if kind.name == "none":
        return f"{kind.description}; no subcommand reads it"
    needed = NEEDS.get(wanted, wanted)
    if needed not in ("amplification", "melting") or kind.name in (needed, "both"):
        return None
    fits = [f"`quelmar {c}`" for c in FITS[kind.name]]
    others = fits[0] if len(fits) == 1 else f"{', '.join(fits[:-1])} or {fits[-1]}"
    return f"holds {kind.content}, not {needed} data; {others} reads it"


def _require(kind, wanted):
    problem = refusal(kind, wanted)
    if problem is not None:
        raise ReaderError(kind.path, problem)


def read_checked(path, command, settings=None):
    """Read an input file for ``command`` (amplify, standard, quantify, melt, report).

    The one place the command opens an input: an RDML file or else a CSV
    plate, whose kind (cycles or temperatures) the file itself tells, read
    within ``settings.limits``. ``-`` is standard input, which only the main
    process can read (the caller sees to that); the plate is then named
    ``<stdin>``, as every message about it is. An input already open (a
    :class:`~quelmar.common.limits.Source`) is read as it is and left open. A file of
    the wrong kind, or no plate at all, is refused in one line that says what
    it looks like and which subcommand reads it. Then the sample sheet's
    annotations are laid over the file's. Returns the plate and its
    :class:`~quelmar.reading.kinds.FileKind`.
    """
    limits = settings.limits if settings is not None else None
    try:
        plate = read_plate(path, limits=limits)
    except NotAPlate as e:
        _require(FileKind(e.path, "none", e.problem), command)
        raise
    kind = guess_kind(plate)
    _require(kind, command)
    if settings is not None and settings.samples is not None:
        settings.samples.apply(plate)
    return plate, kind


def file_result(command, plate_file, plates, tables, warnings=(), notes=(), keep=False):
    """The :class:`FileResult` of one file, with what its reader noticed and did and its runs' plate geometry;
    with ``keep``, the file as read too."""
    return FileResult(command=command, file=plate_file.path, plates=plates, tables=tables, warnings=list(warnings),
                      notes=list(getattr(plate_file, "notes", ())) + list(notes),
                      geometry=dict(getattr(plate_file, "geometry", {})), source=plate_file if keep else None)


def _for_target(settings):
    return f" for target {settings.target!r}" if settings.target else ""


# -- the jobs ----------------------------------------------------------------------

def _melt_notes(path, examined, notes):
    """The melt's notes, and a note for a melt that could not be analysed beside the amplification."""
    notes += examined.notes
    if examined.melt_problem is not None:
        notes.append(f"no melting analysis: {command_words(examined.melt_problem).removeprefix(f'{path}: ')}")


def _amplified(path, command, settings, notes=None):
    """A file read for ``command`` and every plate of it analysed, judged with its melt when it has one;
    refused when it has no amplification data. Returns the file, its plates and the melt's warnings."""
    plate_file, _ = read_checked(path, command, settings)
    examined = examine(plate_file, settings)
    if not examined.amplification:
        raise InputError(f"{plate_file.path}: no amplification data{_for_target(settings)}")
    if notes is not None:
        _melt_notes(plate_file.path, examined, notes)
    return plate_file, examined.amplification


def amplify(path, settings):
    """``amplify``: threshold, linear, sigmoid and window Ct, efficiency, flags and exclusion per well."""
    notes = []
    plate_file, plates = _amplified(path, "amplify", settings, notes)
    return file_result("amplify", plate_file, plates, {"wells": [w for p in plates for w in p.wells]}, (), notes,
                       keep=settings.keep_source)


def melt(path, settings):
    """``melt``: every well's fitted melting peaks, its main peak and its flags (see :mod:`quelmar.analysis.melting`),
    judged with the file's amplification when it has one."""
    plate_file, _ = read_checked(path, "melt", settings)
    examined = examine(plate_file, settings, melt="required")
    plates = examined.melts
    curves = [c for p in plates for c in p.curves]
    return file_result("melt", plate_file, plates, {"peaks": [k for c in curves for k in c.peaks],
                                                 "wells": [c.summary for c in curves]}, examined.warnings,
                       examined.notes, keep=settings.keep_source)


def standard(path, settings):
    """``standard``: the standard curve per target, and every well's quantity read off it."""
    plate_file, plates = _amplified(path, "standard", settings)
    path = plate_file.path
    results, warnings = standard_plates(plates, settings.quantities)
    if not results:
        hint = "" if settings.quantities else " (give quantities with --quantity NAME=Q or a --samples sheet)"
        raise InputError(f"{path}: no wells with a quantity and a Ct{hint}")
    fitted = {id(r.amplification) for r in results}
    without = [p.label for p in plates if id(p) not in fitted]
    notes = [f"no standards (wells with a quantity) in {', '.join(without)}"] if without else []
    return file_result("standard", plate_file, results, {"wells": [w for r in results for w in r.wells],
                                                     "fits": [r.fit for r in results],
                                                     "unknowns": [u for r in results for u in r.unknowns]},
                       warnings, notes)


def quantify_tables(result):
    """The tables of relative quantities, with the comparison and the calibration when there are some."""
    tables = {"quantities": result.rows}
    if result.comparison is not None:
        tables["comparisons"] = result.comparison.rows
        if result.comparison.anova:
            tables["anova"] = result.comparison.anova
    if result.calibration:
        tables["calibration"] = result.calibration
    return tables


def quantify(path, settings):
    """``quantify``: relative quantities against a calibrator (see :mod:`quelmar.analysis.quantify`), and the
    comparison of groups when asked; with inter-run calibrators, the file's plates for the study."""
    # Every target is analysed: --target picks the targets reported, not the reference genes.
    plate_file, plates = _amplified(path, "quantify", replace(settings, target=None))
    if settings.irc:
        part = StudyRun(file=plate_file.path, targets=dict(plate_file.targets), plates=plates)
        return file_result("quantify", plate_file, [part], {})
    result, warnings = quantify_and_compare(plate_file.path, plate_file, plates, settings)
    notes = result.comparison.notes if result.comparison is not None else []
    return file_result("quantify", plate_file, [result], quantify_tables(result), warnings, notes)


def quantify_study_result(results, settings):
    """``quantify`` with inter-run calibrators: the files' plates joined into one study and one table."""
    parts = study_parts(results)
    result, warnings = quantify_study(parts, settings, settings.irc)
    notes = [f"{len(parts)} files, {len({(p.file, p.run) for part in parts for p in part.plates})} runs, brought "
             f"onto one scale by inter-run calibrators {', '.join(settings.irc)}"]
    if result.comparison is not None:
        notes += result.comparison.notes
    return FileResult(command="quantify", file=result.file, plates=[result], tables=quantify_tables(result),
                      warnings=[w for r in results for w in r.warnings] + warnings,
                      notes=[n for r in results for n in r.notes] + notes)


def references(path, settings):
    """``references``: geNorm's and NormFinder's stability of the reference genes (see
    :mod:`quelmar.analysis.references`)."""
    plate_file, plates = _amplified(path, "references", replace(settings, target=None))
    warnings = []
    result = stability_of(plate_file.path, plate_file, plates, settings, warnings)
    if result is None:
        raise InputError(f"{plate_file.path}: reference-gene stability needs two or more candidates: the file "
                         f"declares fewer targets of type ref; name them with ", Named("reference"))
    verdict = [Finding(text=line, file=plate_file.path) for line in result.verdict]
    return file_result("references", plate_file, [result], {"genes": result.genes_table, "pairs": result.pairs_table,
                                                         "verdict": verdict}, warnings)


# -- the report's job -----------------------------------------------------------------

def _digest(source):
    """SHA-256 and size of an open input, read from its first byte."""
    digest, size, stream = hashlib.sha256(), 0, source.stream()
    for chunk in iter(lambda: stream.read(HASH_CHUNK), b""):
        digest.update(chunk)
        size += len(chunk)
    return digest.hexdigest(), size


def report(path, settings):
    """``report``: a :class:`~quelmar.results.FileResult` whose one plate is a :class:`~quelmar.results.RunReport`.

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
        plate_file, kind = read_checked(source, "report", settings)
    path = plate_file.path
    warnings, notes = [], []
    amplification, standards, quantities, extra = [], {}, None, {}
    quantified = settings.calibrator or settings.compare
    every = replace(settings, target=None) if quantified or settings.irc else settings
    examined = examine(plate_file, every, melt="required" if kind.name == "melting" else "optional")
    warnings += examined.warnings
    _melt_notes(path, examined, notes)
    if kind.name in ("amplification", "both"):
        amplification, standards, quantities, extra = _report_amplification(path, plate_file, settings,
                                                                            examined.amplification, warnings, notes)
    elif quantified:
        _no_quantities(path, "the file holds no amplification data", warnings, notes)
    melts = _shown(examined.melts, plate_file, settings)
    if not (amplification or melts):
        raise InputError(f"{path}: no amplification or melting data{_for_target(settings)}")
    run = RunReport(file=path, sha256=sha256, size=size, format=plate_file.format, kind=kind.name,
                    description=kind.description, runs=plate_file.run_info, amplification=amplification,
                    standards=standards, melts=melts, quantities=quantities, **extra)
    return file_result("report", plate_file, [run], _report_tables(run), warnings, notes)


def _no_quantities(path, why, warnings, notes):
    notes.append(f"no relative quantities: {why}")
    warnings.append(f"{path}: no relative quantities: {why}")


def _shown(plates, plate_file, settings):
    """The plates of the target the report shows (all of them without --target)."""
    if not settings.target:
        return plates
    target = plate_file.resolve_target(settings.target)
    return [p for p in plates if p.target == target]


def _report_amplification(path, plate_file, settings, plates, warnings, notes):
    """The plates shown, their standard curves by label, the relative quantities (or None) with their
    comparison, and the reference genes' stability and the plates of a study (as RunReport's fields), from one
    amplification of every plate."""
    quantified = settings.calibrator or settings.compare
    shown = _shown(plates, plate_file, settings)
    standards, more = standard_plates(shown, settings.quantities, notes)
    warnings += more
    quantities, extra = None, {}
    if quantified and not settings.irc:
        try:
            quantities, more = quantify_and_compare(path, plate_file, plates, settings)
            warnings += more
        except InputError as e:
            _no_quantities(path, command_words(e).removeprefix(f"{path}: "), warnings, notes)
    try:
        extra["stability"] = stability_of(path, plate_file, plates, settings, warnings)
    except InputError as e:
        notes.append(f"no reference-gene stability: {command_words(e).removeprefix(f'{path}: ')}")
    if settings.irc:
        extra["study"] = StudyRun(file=path, targets=dict(plate_file.targets), plates=plates)
    return shown, {s.label: s for s in standards}, quantities, extra


def _report_tables(run):
    standards = list(run.standards.values())
    comparison = run.quantities.comparison if run.quantities is not None else None
    tables = {"amplification": [w for p in run.amplification for w in p.wells],
              "standard wells": [w for s in standards for w in s.wells],
              "standard curves": [s.fit for s in standards],
              "standard unknowns": [u for s in standards for u in s.unknowns],
              "relative quantities": run.quantities.rows if run.quantities is not None else [],
              "comparisons": comparison.rows if comparison is not None else [],
              "anova": comparison.anova if comparison is not None else [],
              "reference genes": run.stability.genes_table if run.stability is not None else [],
              "pairwise variation": run.stability.pairs_table if run.stability is not None else [],
              "melting wells": [c.summary for p in run.melts for c in p.curves],
              "melting peaks": [k for p in run.melts for c in p.curves for k in c.peaks]}
    return {name: rows for name, rows in tables.items() if rows}


def report_study(results, settings):
    """The report's last section with inter-run calibrators: every file's plates joined into one study, its
    calibration, relative quantities and comparison (a :class:`FileResult` whose plate is the QuantifyResult)."""
    parts = [r.plates[0].study for r in results if r.plates and getattr(r.plates[0], "study", None) is not None]
    if not parts:
        return None
    label = study_label(parts)
    try:
        result, warnings = quantify_study(parts, settings, settings.irc)
    except InputError as e:
        message = command_words(e)
        return FileResult(command="report", file=label, plates=[], tables={}, warnings=[message],
                          notes=[f"no study: {message.removeprefix(f'{label}: ')}"])
    notes = [f"{len(parts)} files brought onto one scale by inter-run calibrators {', '.join(settings.irc)}"]
    tables = {"relative quantities": result.rows, "inter-run calibration": result.calibration}
    if result.comparison is not None:
        tables.update({"comparisons": result.comparison.rows, "anova": result.comparison.anova})
    return FileResult(command="report", file=label, plates=[result], tables={k: v for k, v in tables.items() if v},
                      warnings=warnings, notes=notes)
