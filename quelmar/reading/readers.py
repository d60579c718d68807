"""What the RDML and CSV readers share: the plate they return with what they
noticed, the plate geometry, the checks every reading passes, and the rules by
which a column of numbers is taken for cycles or temperatures."""
import math
import re
from dataclasses import dataclass, field

import numpy as np

from .plate import PlateFile

#: Readings are refused outside these magnitudes (zero aside): past them the
#: power of ten that brings a plate into the analyses' range overflows.
READING_MAX = 1e304
READING_MIN = 1e-304
#: Cycle numbers and temperatures are refused past this magnitude.
AXIS_MAX = 1e6

#: Where melting temperatures lie, in degrees Celsius, and the largest median
#: step between readings that still reads as a melt rather than a table.
MELT_LOW, MELT_HIGH = 30.0, 105.0
MELT_MAX_STEP = 2.0
#: The share of steps of exactly one that makes integers a cycle count.
CONSECUTIVE_SHARE = 0.9
#: Fewer rows than this are too few to tell an axis by its values.
AXIS_MIN_ROWS = 3

_CYCLE_NAME = re.compile(r"^\s*cyc(le)?s?(\s*(number|no\.?|nr\.?|#))?[ ._-]?\d*\s*$", re.IGNORECASE)
_TEMPERATURE_NAME = re.compile(r"^\s*(t|tmp|temp|temperature)[ ._-]?\d*\s*(\(?\s*(°|deg)?\s*c\s*\)?)?\s*$",
                               re.IGNORECASE)


@dataclass
class Geometry:
    """The plate layout of one run.

    Attributes
    ----------
    rows, columns : int
        0 when unknown.
    how : str
        How it was found, e.g. "pcrFormat's rows and columns".
    """

    rows: int
    columns: int
    how: str

    def __str__(self):
        if not self.rows:
            return f"plate size unknown ({self.how})"
        return f"{self.rows} x {self.columns} plate ({self.how})"


@dataclass
class RunInfo:
    """What an RDML file says of one run ("" where it says nothing).

    ``experiment`` and ``id`` are the run's experiment and its id as the file
    gives them (the plate's key of a run may be renamed to keep it apart);
    ``row_label`` and ``column_label`` how pcrFormat labels rows and columns
    ("ABC" or "123"); ``software`` the name and version of the software that
    collected the data, also kept apart as ``software_name`` and
    ``software_version``.
    """

    instrument: str = ""
    date: str = ""
    software: str = ""
    experiment: str = ""
    id: str = ""
    row_label: str = ""
    column_label: str = ""
    software_name: str = ""
    software_version: str = ""


@dataclass
class PlateRead(PlateFile):
    """A :class:`~quelmar.reading.plate.PlateFile` with what the reader inferred and noticed.

    Attributes
    ----------
    geometry : dict
        Run id -> :class:`Geometry` (RDML only).
    notes : list of str
        Things the reader did that a user should know: readings sorted into
        order, a run renamed because its id repeats an earlier one.
    run_info : dict
        Run id -> :class:`RunInfo` (RDML only).
    """

    geometry: dict = field(default_factory=dict)
    notes: list = field(default_factory=list)
    run_info: dict = field(default_factory=dict)


def axis_noun(kind):
    return "cycle" if kind == "amplification" else "temperature"


def sort_axis(axis):
    """The stable order that sorts ``axis`` ascending (None when it already
    is), and its first repeated value (None when none repeats): the caller
    decides whether a repeat is refused.

    Returns
    -------
    (order or None, repeated value or None)
    """
    order = np.argsort(axis, kind="stable")
    ordered = axis[order]
    same = np.flatnonzero(np.diff(ordered) == 0)
    repeated = float(ordered[same[0]]) if same.size else None
    return (None if np.array_equal(order, np.arange(axis.size)) else order), repeated


def bad_reading(value):
    """Why a fluorescence reading is refused, or None."""
    if not math.isfinite(value):
        return "is not a finite number"
    magnitude = abs(value)
    if magnitude > READING_MAX or 0.0 < magnitude < READING_MIN:
        return f"lies outside the readings' range (zero, or {READING_MIN:g} to {READING_MAX:g} in magnitude)"
    return None


def bad_axis(value):
    """Why a cycle number or temperature is refused, or None."""
    if not math.isfinite(value):
        return "is not a finite number"
    if abs(value) > AXIS_MAX:
        return f"lies outside {-AXIS_MAX:g} to {AXIS_MAX:g}"
    return None


def first_bad(values, check):
    """Index and reason of the first value of an array that ``check`` refuses, or (None, None).

    Whole arrays are screened at once; only a suspect one is walked value by value.
    """
    a = np.asarray(values, dtype=float)
    if check is bad_reading:
        magnitude = np.abs(a)
        suspect = ~np.isfinite(a) | (magnitude > READING_MAX) | ((magnitude > 0) & (magnitude < READING_MIN))
    else:
        suspect = ~np.isfinite(a) | (np.abs(a) > AXIS_MAX)
    hits = np.flatnonzero(suspect)
    if not hits.size:
        return None, None
    i = int(hits[0])
    return i, check(float(a[i]))


@dataclass
class Axis:
    """What a column of numbers looks like.

    Attributes
    ----------
    kind : str or None
        "amplification" (cycle numbers), "melting" (temperatures) or None (neither).
    description : str
        One line, e.g. "'Cycles' 1 to 45, counting by one".
    """

    kind: object
    description: str


def classify_axis(values, name=""):
    """Whether a column holds cycle numbers, temperatures or neither.

    Cycle numbers are integers that count up by one (a few gaps allowed, in
    any order); temperatures lie within about 30-105 degrees in small steps
    (uneven, out of order or descending allowed). A column named like one of
    them (``Cycle``, ``T0``, ``Temperature``) is held to that one's rule; an
    unnamed column of integers counting by one inside the melting range and not
    starting at 0 or 1 is taken for temperatures.

    Parameters
    ----------
    values : array_like
        The column, finite numbers.
    name : str
        The column's header.

    Returns
    -------
    Axis
    """
    v = np.asarray(values, dtype=float)
    head = f"column {name!r}: " if name else ""
    if v.size == 0:
        return Axis(None, f"{head}no values")
    u = np.unique(v)
    lo, hi = float(u[0]), float(u[-1])
    steps = np.diff(u)
    integral = bool(np.all(v == np.rint(v)))
    consecutive = steps.size > 0 and float(np.mean(steps == 1.0)) >= CONSECUTIVE_SHARE
    median_step = float(np.median(steps)) if steps.size else 0.0
    in_melt_range = MELT_LOW <= lo and hi <= MELT_HIGH
    melt_like = in_melt_range and 0.0 < median_step <= MELT_MAX_STEP and v.size >= AXIS_MIN_ROWS
    span = f"{v.size} values from {lo:g} to {hi:g}"
    as_cycles = Axis("amplification", f"{head}cycles {lo:g} to {hi:g} ({v.size} readings)")
    as_temperatures = Axis("melting", f"{head}temperatures {lo:.4g} to {hi:.4g} °C "
                                      f"({v.size} readings, median step {median_step:.3g} °C)")
    neither = Axis(None, f"{head}{span}, neither cycle numbers (integers counting up by one) nor temperatures "
                         f"(steps of at most {MELT_MAX_STEP:g} °C within {MELT_LOW:g}-{MELT_HIGH:g} °C)")
    if _CYCLE_NAME.match(name):
        return as_cycles if integral else Axis(None, f"{head}{span}, not all integers as cycle numbers are")
    if _TEMPERATURE_NAME.match(name):
        return as_temperatures if melt_like else Axis(None, f"{head}{span}, not temperatures "
                                                            f"(steps of at most {MELT_MAX_STEP:g} °C within "
                                                            f"{MELT_LOW:g}-{MELT_HIGH:g} °C)")
    if v.size < AXIS_MIN_ROWS:
        return Axis(None, f"{head}{span}: too few rows to tell cycles from temperatures")
    if integral and consecutive and (lo <= 1 or not in_melt_range):
        return as_cycles
    if melt_like:
        return as_temperatures
    if integral and consecutive:
        return as_cycles
    return neither


def is_axis_name(name):
    """Whether a header names a cycle or temperature column (a new axis in melting layouts)."""
    return bool(_CYCLE_NAME.match(name) or _TEMPERATURE_NAME.match(name))
