"""What a file is, decided once beside the readers: RDML or CSV by its content,
and amplification data, melting data, both, or no plate at all by what it holds.

:func:`read_plate` reads either, and :func:`guess_kind` says in one line what
the file looks like, so that a caller can refuse a file that does not hold
the data it needs (the command names the subcommand that fits it).
"""
import zipfile
from dataclasses import dataclass

import numpy as np

from ..common.errors import NotAPlate
from ..common.limits import default_limits, open_input
from . import _xml
from .csvplate import read_csv
from .rdml import read_rdml

_RDML_SUFFIXES = (".rdml", ".rdm", ".xml")


def read_plate(path, kind=None, *, limits=None):
    """Read an RDML or CSV file, telling them apart by content.

    A zip archive or an XML document (a byte-order mark allowed) is RDML, as
    is any file named ``.rdml``, ``.rdm`` or ``.xml``; anything else is read as CSV.
    The input is opened once: standard input (``-``) is read once into a
    bounded buffer, and nothing of it is lost to telling the format.

    Parameters
    ----------
    path : str, bytes, path-like or quelmar.common.limits.Source
        A regular file, ``-`` for standard input, or an input already open
        (which is left open).
    kind : {None, "amplification", "melting"}
        For CSV files: what the axis columns hold (None: decided from the file).
    limits : quelmar.common.limits.Limits, optional
        Default: :meth:`~quelmar.common.limits.Limits.from_env`.

    Returns
    -------
    quelmar.reading.readers.PlateRead

    Raises
    ------
    NotAPlate
        For a CSV table whose first column holds neither cycles nor temperatures.
    ReaderError
        For anything else that cannot be read, or a limit passed.
    """
    with open_input(path, default_limits(limits)) as source:
        if _is_rdml(source):
            return read_rdml(source)
        return read_csv(source, kind)


def _is_rdml(source):
    if source.name.lower().endswith(_RDML_SUFFIXES):
        return True
    if _xml.looks_like_xml(source.head()):
        return True
    try:
        return zipfile.is_zipfile(source.stream())
    except OSError:
        return False


@dataclass
class FileKind:
    """What a file holds.

    Attributes
    ----------
    path : str
    name : str
        "amplification", "melting", "both" or "none".
    description : str
        One line on what the file looks like: its format, plate geometry and data.
    content : str
        The data part of the description alone.
    """

    path: str
    name: str
    description: str
    content: str = ""


def guess_kind(plate, *, limits=None):
    """What a file holds: amplification data, melting data, both, or no plate.

    Parameters
    ----------
    plate : PlateFile, str or path-like
        A file read by :func:`read_plate` (or either reader), or a path to read.
    limits : quelmar.common.limits.Limits, optional
        For reading a path.

    Returns
    -------
    FileKind

    Raises
    ------
    ReaderError
        When a path cannot be read at all (a table that is no plate gives the
        kind "none" instead).
    """
    if not hasattr(plate, "wells"):
        try:
            plate = read_plate(plate, limits=limits)
        except NotAPlate as e:
            return FileKind(e.path, "none", e.problem)
    amplification = [w for w in plate.wells if w.fluor is not None]
    melting = [w for w in plate.wells if w.melt_fluor is not None]
    parts = [_describe(amplification, "cycles", lambda w: w.cycles, ""),
             _describe(melting, "temperatures", lambda w: w.melt_temperature, " °C")]
    name = {(True, True): "both", (True, False): "amplification", (False, True): "melting",
            (False, False): "none"}[bool(amplification), bool(melting)]
    what = "; ".join(p for p in parts if p) or "no amplification or melting readings"
    return FileKind(plate.path, name, f"{_format(plate)}: {what}", what)


RUNS_SHOWN = 2


def _format(plate):
    runs = list(getattr(plate, "geometry", {}).items())
    where = ", ".join(f"run {run!r}: {g}" if len(runs) > 1 else str(g) for run, g in runs[:RUNS_SHOWN])
    if len(runs) > RUNS_SHOWN:
        where += f" and {len(runs) - RUNS_SHOWN} more runs"
    return f"{plate.format}{f', {where}' if where else ''}"


def _describe(wells, noun, axis_of, unit):
    if not wells:
        return ""
    axes = [axis_of(w) for w in wells]
    lo, hi = min(float(a[0]) for a in axes if a.size), max(float(a[-1]) for a in axes if a.size)
    steps = np.concatenate([np.diff(a) for a in axes])
    step = f", median step {float(np.median(steps)):.3g}{unit}" if noun == "temperatures" and steps.size else ""
    counts = sorted({a.size for a in axes})
    per_well = f"{counts[0]}" if len(counts) == 1 else f"{counts[0]} to {counts[-1]}"
    kind = "amplification" if noun == "cycles" else "melting"
    return (f"{kind} data of {len(wells)} well{'s' if len(wells) > 1 else ''}, {noun} {lo:.4g} to {hi:.4g}{unit}"
            f" ({per_well} readings per well{step})")
