"""Reader for plates as CSV: a header row of names, then one row per cycle or
temperature. The first column is the cycle number or the temperature, every
other column one well. In melting data a column named like a temperature
(``T``, ``T0``, ``Temp``, ``Temperature1`` ...) starts a new axis for the
columns after it, as in files with one temperature column per dye.

Whether the file holds cycles or temperatures is read from the first column
(its name, else its values: see :func:`quelmar.reading.readers.classify_axis`) unless
the caller says. Rows are sorted by their cycle or temperature when the file
lists them in another order (a note says so); a repeated cycle is refused, a
repeated temperature kept for the melt analysis to merge.

The text is UTF-8 (a byte-order mark allowed), UTF-16 with a byte-order mark,
or else read as Latin-1; the delimiter is the comma, else the tab or the
semicolon the header uses. The file is read as a stream within
:class:`~quelmar.common.limits.Limits`.
"""
import codecs
import csv
import itertools
import re
from array import array

import numpy as np

from ..common.errors import NotAPlate, ReaderError
from ..common.limits import CHUNK, default_limits, open_input, over_problem
from .plate import Well
from .readers import PlateRead, axis_noun, bad_axis, bad_reading, classify_axis, first_bad, is_axis_name, sort_axis

KINDS = ("amplification", "melting")
_EOL = re.compile(r"\r\n|\r|\n")
_BOMS = ((codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))
_FALLBACK = "latin-1"
_NAMES_SHOWN = 4


def read_csv(path, kind=None, *, limits=None):
    """Read a CSV plate: as :func:`quelmar.reading.kinds.read_plate`, the file taken for CSV.

    ``kind`` says whether the axis columns hold cycles (one shared axis: the
    first column) or temperatures; None decides from the first column and
    raises :class:`~quelmar.common.errors.NotAPlate` when it is neither. Besides the
    limits, an empty file, a row of another length than the header, a value
    that is not a finite number and a repeated cycle raise
    :class:`~quelmar.common.errors.ReaderError` (a temperature read twice is kept for
    the melt analysis to merge).
    """
    if kind not in (None,) + KINDS:
        raise ValueError(f"kind must be None, 'amplification' or 'melting', not {kind!r}")
    with open_input(path, default_limits(limits)) as source:
        header, values, lines = _table(source)
    return _plate(source.name, header, values, lines, kind)


# -- text to a table of numbers ------------------------------------------------------

class Undecodable(Exception):
    """The text is not in the encoding it is read in."""


def _table(source):
    """(header, rows x columns array, the file line of each row)."""
    head = source.head(4)
    declared = next((encoding for bom, encoding in _BOMS if head.startswith(bom)), None)
    try:
        return _parse(source, declared or "utf-8")
    except Undecodable:
        if declared:
            raise ReaderError(source.name, f"is not {declared} text, although its byte-order mark says so") from None
        return _parse(source, _FALLBACK)


def text_lines(source, encoding):
    """The lines of the text, ends kept; a line longer than the limit is refused."""
    decoder = codecs.getincrementaldecoder(encoding)()
    limit, stream, pending, number = source.limits.line_bytes, source.stream(), "", 0
    while True:
        chunk = stream.read(CHUNK)
        final = not chunk
        try:
            text = pending + decoder.decode(chunk, final=final)
        except UnicodeDecodeError:
            raise Undecodable from None
        start, pos = 0, max(len(pending) - 1, 0)
        while True:
            end = _EOL.search(text, pos)
            if end is None or (not final and end.end() == len(text) and end.group() == "\r"):
                break  # a "\r" at the end may be the first half of "\r\n"
            number += 1
            if end.start() - start > limit:
                raise ReaderError(source.name, over_problem(f"line {number}", f"{limit:,} characters", "line"))
            yield text[start:end.end()]
            start = pos = end.end()
        pending = text[start:]
        if len(pending) > limit:
            raise ReaderError(source.name, over_problem(f"line {number + 1}", f"{limit:,} characters", "line"))
        if final:
            if pending:
                yield pending
            return


def _delimiter(line):
    return next((d for d in ",\t;" if d in line), ",")


def _parse(source, encoding):
    name, limits = source.name, source.limits
    lines, seen = text_lines(source, encoding), []
    for line in lines:  # the delimiter is the header's
        seen.append(line)
        if line.strip():
            break
    reader = csv.reader(itertools.chain(seen, lines), delimiter=_delimiter(seen[-1] if seen else ""))
    header, cells, rows, width = None, array("d"), array("l"), 0
    try:
        for row in reader:
            if not any(cell.strip() for cell in row):
                continue
            if header is None:
                header, width = [h.strip() for h in row], len(row)
                if width < 2:
                    break
                if width > 2 * limits.wells:
                    raise ReaderError(name, over_problem(f"the number of columns ({width:,})",
                                                         f"{2 * limits.wells:,}", "wells"))
                continue
            line = reader.line_num
            if len(row) != width:
                raise ReaderError(name, f"line {line} has {len(row)} fields where the header has {width}")
            for j, cell in enumerate(row):
                try:
                    cells.append(float(cell))
                except ValueError:
                    raise ReaderError(name, f"line {line}, column {header[j][:40]!r}: {cell[:40]!r} is not a number") \
                        from None
            rows.append(line)
            if len(cells) > limits.readings:
                raise ReaderError(name, over_problem("the number of readings", f"{limits.readings:,}", "readings"))
    except csv.Error as e:
        raise ReaderError(name, _csv_problem(reader.line_num, e)) from None
    if header is None or not rows or width < 2:
        raise ReaderError(name, "needs a header row and data rows with an axis column and at least one well")
    values = np.frombuffer(cells, dtype=np.float64).reshape(len(rows), width)
    return header, values, np.frombuffer(rows, dtype=rows.typecode)


def _csv_problem(line, error):
    text = str(error)
    if "field larger than field limit" in text:
        return f"line {line} has a field longer than {csv.field_size_limit():,} characters"
    if "NUL" in text:
        return f"line {line} holds a NUL byte (a binary file?)"
    return f"line {line}: {text}"


# -- the table to wells ------------------------------------------------------------------

def _plate(name, header, values, lines, kind):
    if kind is None:
        axis = classify_axis(values[:, 0], header[0])
        if axis.kind is None:
            shown = ", ".join(repr(h) for h in header[:_NAMES_SHOWN]) + (", ..." if len(header) > _NAMES_SHOWN else "")
            raise NotAPlate(name, f"not a plate: a table of {values.shape[0]} rows and {len(header)} columns "
                                  f"({shown}); {axis.description}")
        kind = axis.kind
    axes = [0] + ([j for j in range(1, len(header)) if is_axis_name(header[j])] if kind == "melting" else [])
    plate = PlateRead(name, "CSV")
    for j in range(len(header)):
        check = bad_axis if j in axes else bad_reading
        i, why = first_bad(values[:, j], check)
        if i is not None:
            raise ReaderError(name, f"line {lines[i]}, column {header[j][:40]!r}: {float(values[i, j])!r} {why}")
    for k, j in enumerate(axes):
        stop = axes[k + 1] if k + 1 < len(axes) else len(header)
        _axis_group(plate, header, values, j, stop, kind)
    if not plate.wells:
        raise ReaderError(name, "has no well columns")
    return plate


def _axis_group(plate, header, values, j, stop, kind):
    """The wells of columns j+1 .. stop-1 on the axis in column j, sorted by it."""
    axis = values[:, j]
    order, repeated = sort_axis(axis)
    # An instrument that reads twice at one temperature is kept: the melt analysis merges them.
    if repeated is not None and kind != "melting":
        raise ReaderError(plate.path, f"column {header[j]!r} repeats a {axis_noun(kind)} ({repeated:g})")
    if order is not None:
        plate.notes.append(f"the rows were sorted by column {header[j]!r}: the file lists them out of "
                           f"{axis_noun(kind)} order")
        axis = axis[order]
    else:
        axis = axis.copy()
    for c in range(j + 1, stop):
        well = Well(header[c])
        readings = values[:, c] if order is None else values[order, c]
        if kind == "melting":
            well.melt_temperature, well.melt_fluor = axis, readings.copy()
        else:
            well.cycles, well.fluor = axis, readings.copy()
        plate.wells.append(well)
