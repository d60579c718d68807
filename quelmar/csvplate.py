"""Reader for plates as CSV: a header row of names, then one row per cycle or
temperature. The first column is the cycle number or the temperature, every
other column one well. A column named like a temperature (``T``, ``T0``,
``Temp``, ``Temperature1`` ...) starts a new axis for the columns after it,
as in files with one temperature column per dye."""
import csv
import re

import numpy as np

from .errors import ReaderError
from .plate import PlateFile, Well

_AXIS = re.compile(r"^(t|temp|temperature|cycle|cycles|cyc)[ ._]?\d*$", re.IGNORECASE)


def read_csv(path, kind="amplification"):
    """Read a CSV plate.

    Parameters
    ----------
    path : str or path-like
    kind : {"amplification", "melting"}
        Whether the axis columns hold cycles (one shared axis: the first
        column) or temperatures.

    Returns
    -------
    PlateFile

    Raises
    ------
    ReaderError
        On an empty file, a row of another length than the header, a value
        that is not a number, or a repeated cycle or temperature.
    """
    path = str(path)
    with open(path, newline="", encoding="utf-8-sig") as f:
        rows = [r for r in csv.reader(f) if any(cell.strip() for cell in r)]
    if len(rows) < 2 or len(rows[0]) < 2:
        raise ReaderError(path, "needs a header row and data rows with an axis column and at least one well")
    header = [h.strip() for h in rows[0]]
    values = np.empty((len(rows) - 1, len(header)))
    for i, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise ReaderError(path, f"line {i} has {len(row)} fields where the header has {len(header)}")
        for j, cell in enumerate(row):
            try:
                values[i - 2, j] = float(cell)
            except ValueError:
                raise ReaderError(path, f"line {i}, column {header[j]!r}: {cell!r} is not a number") from None
    axes = [0] + ([j for j in range(1, len(header)) if _AXIS.match(header[j])] if kind == "melting" else [])
    plate = PlateFile(path, "CSV")
    for j in range(len(header)):
        if j in axes:
            axis = values[:, j]
            if np.unique(axis).size != axis.size:
                raise ReaderError(path, f"column {header[j]!r} repeats a {'temperature' if kind == 'melting' else 'cycle'}")
            continue
        well = Well(header[j])
        if kind == "melting":
            well.melt_temperature, well.melt_fluor = axis, values[:, j].copy()
        else:
            well.cycles, well.fluor = axis, values[:, j].copy()
        plate.wells.append(well)
    if not plate.wells:
        raise ReaderError(path, "has no well columns")
    return plate
