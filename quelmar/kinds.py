"""What a file is, decided once beside the readers: RDML or CSV by its content,
and amplification data, melting data, both, or no plate at all by what it holds.

The command reads each file with :func:`read_plate` and asks :func:`guess_kind`
whether the subcommand fits, so that ``melt`` on a file of cycles, or
``amplify`` on a table that is no plate, is refused in one line naming what
the file looks like and which subcommand fits it.
"""
import zipfile
from dataclasses import dataclass

import numpy as np

from . import _xml
from .csvplate import read_csv
from .errors import NotAPlate, ReaderError
from .limits import default_limits, open_input
from .rdml import read_rdml

#: The data each subcommand needs.
NEEDS = {"amplify": "amplification", "standard": "amplification", "quantify": "amplification", "melt": "melting"}
#: Subcommands that fit each kind of file.
FITS = {"amplification": ("amplify", "standard", "quantify"), "melting": ("melt",),
        "both": ("amplify", "standard", "quantify", "melt"), "none": ()}
_RDML_SUFFIXES = (".rdml", ".rdm", ".xml")


def read_plate(path, kind=None, *, limits=None):
    """Read an RDML or CSV file, telling them apart by content.

    A zip archive or an XML document (a byte-order mark allowed) is RDML, as
    is any file named ``.rdml``, ``.rdm`` or ``.xml``; anything else is read as CSV.
    The input is opened once: standard input (``-``) is read once into a
    bounded buffer, and nothing of it is lost to telling the format.

    Parameters
    ----------
    path : str, path-like or quelmar.limits.Source
        A regular file, ``-`` for standard input, or an input already open
        (which is left open).
    kind : {None, "amplification", "melting"}
        For CSV files: what the axis columns hold (None: decided from the file).
    limits : quelmar.limits.Limits, optional
        Default: :meth:`~quelmar.limits.Limits.from_env`.

    Returns
    -------
    quelmar.readers.PlateRead

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

    @property
    def fits(self):
        """The subcommands that read this kind of file."""
        return FITS[self.name]

    def refusal(self, wanted):
        """Why the file does not fit ``wanted`` (one line without the file name), or None.

        ``wanted`` is a subcommand ("amplify", "melt", "standard", "quantify",
        or "report", which reads either kind) or the data it needs
        ("amplification", "melting"). No subcommand reads a file that is no plate.
        """
        if self.name == "none":
            return f"{self.description}; no subcommand reads it"
        needed = NEEDS.get(wanted, wanted)
        if needed not in ("amplification", "melting") or self.name in (needed, "both"):
            return None
        fits = [f"`quelmar {c}`" for c in self.fits]
        others = fits[0] if len(fits) == 1 else f"{', '.join(fits[:-1])} or {fits[-1]}"
        return f"holds {self.content}, not {needed} data; {others} reads it"

    def require(self, wanted):
        """Raise a ReaderError naming the file when it does not fit ``wanted`` (see :meth:`refusal`)."""
        problem = self.refusal(wanted)
        if problem is not None:
            raise ReaderError(self.path, problem)


def guess_kind(plate, *, limits=None):
    """What a file holds: amplification data, melting data, both, or no plate.

    Parameters
    ----------
    plate : PlateFile, str or path-like
        A file read by :func:`read_plate` (or either reader), or a path to read.
    limits : quelmar.limits.Limits, optional
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
