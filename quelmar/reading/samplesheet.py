"""Sample sheets: what each well holds, for files that do not say (CSV plates)
or say it wrongly.

A sample sheet is a CSV file with a header row and one row per well:

========  ========================================================================
well      the well, as the file names it (A1, or a CSV column name); A01 is A1
sample    the sample in the well
target    the target (gene) measured; for files that name targets (RDML), the
          row applies to that target of the well, or to all its targets when empty
type      the sample type: unkn, std, ntc, nac, nrt, ntp, pos or opt (empty: unkn)
quantity  optional: the known quantity of a standard
group     optional: the biological group the sample belongs to; relative
          quantities are then pooled per group
exclude   optional: leave the well out of standard curves and relative
          quantities: yes (or x, 1) or the reason in words; no keeps in a well
          the file excludes (see :mod:`quelmar.common.exclusion`)
irc       optional: yes (or 1, x, true) marks the row's sample, which the row
          must name, as an inter-run calibrator, measured in every run of a study
========  ========================================================================

Column names are case-insensitive; other columns are refused (a misspelt
"quantity" must not be silently ignored). A non-empty cell overrides what the
file says; an empty one keeps it. Every row must match a well of the file, and
no well may be matched by two rows.

The sheet is UTF-8 text (a byte-order mark allowed), read as a stream within
the limits: a sheet of more rows than ``limits.wells`` (one per well, or per
well and target) or with a line longer than ``limits.line_bytes`` is refused
as soon as it shows it.
"""
import csv
import math
from dataclasses import dataclass

from ..common import exclusion
from ..common.errors import ReaderError
from ..common.limits import default_limits, open_input, over_problem
from .csvplate import Undecodable, text_lines
from ..common.positions import well_key

REQUIRED = ("well", "sample", "target", "type")
OPTIONAL = ("quantity", "group", "exclude", "irc")
#: What the irc column may say: marked, or not.
MARKED, UNMARKED = ("yes", "y", "true", "1", "x"), ("", "no", "n", "false", "0")
TYPES = ("unkn", "std", "ntc", "nac", "nrt", "ntp", "pos", "opt")


@dataclass(frozen=True)
class SheetRow:
    line: int
    well: str
    sample: str
    target: str
    type: str
    quantity: float
    group: str
    exclude: object = None  # None: the file's word stands; False: kept in; else the exclusion's Reason
    irc: bool = False


@dataclass(frozen=True)
class SampleSheet:
    """A read sample sheet; :meth:`apply` lays it over a read file."""

    path: str
    rows: tuple

    def calibrators(self):
        """The samples the sheet marks as inter-run calibrators, in the order first met."""
        return tuple(dict.fromkeys(row.sample for row in self.rows if row.irc))

    def apply(self, plate):
        """Override the annotations of the wells of a :class:`~quelmar.reading.plate.PlateFile` in place.

        Raises
        ------
        ReaderError
            Naming the sheet and the file, for a row that matches no well or a
            well that two rows match.
        """
        by_well = {}
        for w in plate.wells:
            by_well.setdefault(well_key(w.name), []).append(w)
        # Every match is found before any well changes, so the order of the rows does not matter.
        matched_by, changes = {}, []
        for row in self.rows:
            wells = [w for w in by_well.get(well_key(row.well), ())
                     if not row.target or not w.target or w.target == row.target]
            if not wells:
                where = f"well {row.well!r}" + (f" with target {row.target!r}" if row.target and
                                                 well_key(row.well) in by_well else "")
                raise ReaderError(self.path, f"line {row.line}: {where} is not in {plate.path}")
            for w in wells:
                first = matched_by.setdefault(id(w), row.line)
                if first != row.line:
                    raise ReaderError(self.path, f"lines {first} and {row.line} both describe well {w.name}"
                                                 f"{' target ' + repr(w.target) if w.target else ''} of {plate.path}")
                changes.append((w, row))
        for w, row in changes:
            _override(w, row)


def _override(well, row):
    if row.sample:
        well.sample = row.sample
    if row.target and not well.target:
        well.target = row.target
    if row.type:
        well.sample_type = row.type
    if not math.isnan(row.quantity):
        well.quantity = row.quantity
    if row.group:
        well.group = row.group
    if row.exclude is not None:
        well.sheet_exclusion = row.exclude


def read_sample_sheet(path, *, limits=None):
    """Read and check a sample sheet (see the module docstring).

    Like a plate, the sheet is read only from a regular file or ``-``
    (standard input), within ``limits`` (default: :meth:`~quelmar.common.limits.Limits.from_env`).

    Raises
    ------
    ReaderError
        Naming the sheet and the line: a missing or unknown column, a type not
        in RDML's list, a quantity that is not a positive number, a well listed
        twice for the same target; or a file that cannot be read, or is past a limit.
    """
    with open_input(path, default_limits(limits)) as source:
        return _sheet(source.name, _records(source))


def _records(source):
    """(line number, cells) of every record with a non-empty cell, read as a stream: a sheet is one row
    per well (and target), so one of more rows than ``limits.wells`` is refused as soon as it has them,
    as is a line longer than ``limits.line_bytes``."""
    limits = source.limits
    reader = csv.reader(text_lines(source, "utf-8-sig"))
    records = 0
    try:
        for cells in reader:
            if not any(c.strip() for c in cells):
                continue
            records += 1
            if records > limits.wells + 1:  # the header, then the wells
                raise ReaderError(source.name, over_problem(f"the number of rows (more than {limits.wells:,})",
                                                            f"{limits.wells:,}", "wells"))
            yield reader.line_num, cells
    except Undecodable:
        raise ReaderError(source.name, "is not UTF-8 text") from None
    except csv.Error as e:
        raise ReaderError(source.name, f"is not a CSV file (line {reader.line_num}: {e})") from None


def _sheet(path, records):
    numbered = iter(records)
    header = next(numbered, None)
    if header is None:
        raise ReaderError(path, "is empty: a sample sheet needs a header row (well, sample, target, type)")
    header = [h.strip().lower() for h in header[1]]
    missing = [c for c in REQUIRED if c not in header]
    if missing:
        raise ReaderError(path, f"has no column {', '.join(missing)} (columns: well, sample, target, type, "
                                f"optional quantity, group, exclude, irc)")
    unknown = [h for h in header if h not in REQUIRED + OPTIONAL]
    if unknown:
        raise ReaderError(path, f"has an unknown column {unknown[0]!r} (known: {', '.join(REQUIRED + OPTIONAL)})")
    repeated = [h for h in header if header.count(h) > 1]
    if repeated:
        raise ReaderError(path, f"has the column {repeated[0]!r} twice")
    rows, seen = [], {}
    for number, cells in numbered:
        if len(cells) != len(header):
            raise ReaderError(path, f"line {number} has {len(cells)} fields where the header has {len(header)}")
        row = _row(path, number, dict(zip(header, (c.strip() for c in cells))))
        for key in _keys(row):
            if key in seen:
                raise ReaderError(path, f"lines {seen[key]} and {number} both describe well {row.well!r}"
                                        f"{' target ' + repr(row.target) if row.target else ''}")
            seen[key] = number
        rows.append(row)
    if not rows:
        raise ReaderError(path, "has a header but no wells")
    return SampleSheet(path, tuple(rows))


def _keys(row):
    """What a row claims: its (well, target), and the whole well when no target is named."""
    well = well_key(row.well)
    return [(well, "*"), (well, row.target)] if not row.target else [(well, row.target)]


def _row(path, number, cells):
    if not cells["well"]:
        raise ReaderError(path, f"line {number}: the well is empty")
    kind = cells["type"].lower()
    if kind and kind not in TYPES:
        raise ReaderError(path, f"line {number}: type {cells['type']!r} is not one of {', '.join(TYPES)}")
    quantity = math.nan
    text = cells.get("quantity", "")
    if text:
        try:
            quantity = float(text)
        except ValueError:
            quantity = math.nan
        if not (math.isfinite(quantity) and quantity > 0):
            raise ReaderError(path, f"line {number}: quantity {text!r} is not a positive number")
    mark = cells.get("irc", "").lower()
    if mark not in MARKED + UNMARKED:
        raise ReaderError(path, f"line {number}: irc {cells['irc']!r} is neither yes nor no")
    if mark in MARKED and not cells["sample"]:
        raise ReaderError(path, f"line {number}: an inter-run calibrator (irc) needs its sample named")
    return SheetRow(number, cells["well"], cells["sample"], cells["target"], kind, quantity, cells.get("group", ""),
                    exclusion.from_sheet(cells.get("exclude", "")), mark in MARKED)
