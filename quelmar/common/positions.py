"""Plate positions: well labels such as A1, H12 or AF48, their rows and
columns, and the standard plate sizes.

Rows are letters counted on past Z as AA, AB ... (plates of more than 26
rows); columns are numbers from 1, written with or without leading zeros
(A01 is A1). Row and column indices here count from 0.
"""
import re

#: A well named like a plate position: a row of one or two letters, a column number.
WELL_POSITION = re.compile(r"^([A-Za-z]{1,2})0*(\d{1,3})$")

#: Standard plate sizes: wells -> (rows, columns).
STANDARD_PLATES = {6: (2, 3), 12: (3, 4), 24: (4, 6), 48: (6, 8), 96: (8, 12), 384: (16, 24), 1536: (32, 48)}


def row_label(index):
    """0 -> A, 25 -> Z, 26 -> AA, as plates of more than 26 rows count on."""
    label = ""
    index += 1
    while index:
        index, r = divmod(index - 1, 26)
        label = chr(65 + r) + label
    return label


def row_index(letters):
    """A -> 0, Z -> 25, AA -> 26: the inverse of :func:`row_label`."""
    index = 0
    for c in letters.upper():
        index = index * 26 + ord(c) - 64
    return index - 1


def position(name):
    """(row, column) of a well label, both from 0 (A1 -> (0, 0)); None for a name that is no position."""
    m = WELL_POSITION.match(name)
    return (row_index(m.group(1)), int(m.group(2)) - 1) if m else None


def well_key(name):
    """A well name for matching: plate positions upper-cased without leading zeros (a01 -> A1)."""
    name = name.strip()
    m = WELL_POSITION.match(name)
    return f"{m.group(1).upper()}{m.group(2)}" if m else name


def smallest_plate(rows, columns):
    """The smallest standard plate with at least these rows and columns, else exactly these."""
    fits = [rc for rc in STANDARD_PLATES.values() if rc[0] >= rows and rc[1] >= columns]
    return min(fits, key=lambda rc: rc[0] * rc[1]) if fits else (rows, columns)
