"""Why a well is left out: the reasons a well is excluded from the results,
where each comes from, and how they are written.

A well (one reaction and target) is included unless something says
otherwise. What can say so, in the order the reasons are listed:

- ``file``: the file's own exclusion (RDML ``<excl>``, with its text);
- ``sheet``: the ``exclude`` column of a sample sheet, which overrides the
  file either way (``no`` takes a well the file excludes back in);
- ``user``: the user's list of wells (the command's ``--exclude``);
- ``flag``: a quality flag that decides exclusion
  (:data:`quelmar.common.flags.EXCLUDING`), unless the user keeps wells with
  that flag (the command's ``--keep``).

An excluded well stays in every table, with its reasons; standard curves,
relative quantities and the report's statistics use only included wells.
"""
from dataclasses import dataclass

FILE, SHEET, USER, FLAG = "file", "sheet", "user", "flag"
#: Every source of a reason, in the order reasons are listed, with what it means.
SOURCES = {FILE: "the file's own exclusion (RDML <excl>)", SHEET: "the sample sheet's exclude column",
           USER: "named by the user (--exclude)", FLAG: "a quality flag that excludes the well"}
#: Between two reasons in a table cell. Never a comma: the file's own text may hold one.
SEPARATOR = "; "

#: Sample sheet cells that keep a well in (any other non-empty cell excludes it) ...
SHEET_KEEP = frozenset({"no", "n", "false", "0", "keep", "include", "included"})
#: ... and cells that exclude it without saying why.
SHEET_YES = frozenset({"yes", "y", "true", "1", "x", "exclude", "excluded"})


@dataclass(frozen=True)
class Reason:
    """One reason a well is excluded: its source (one of :data:`SOURCES`) and what it says.

    ``detail`` is the file's or the sheet's own text (may be empty), or the
    flag's name; empty for the user's.
    """

    source: str
    detail: str = ""

    def __post_init__(self):
        if self.source not in SOURCES:
            raise ValueError(f"unknown source of an exclusion: {self.source!r}")

    def __str__(self):
        return f"{self.source}: {self.detail}" if self.detail else self.source


def ordered(reasons):
    """Reasons in source order, each once."""
    order = list(SOURCES)
    return tuple(sorted(dict.fromkeys(reasons), key=lambda r: order.index(r.source)))


def describe(reasons):
    """The table cell of a well's reasons: "" for an included well, else e.g. "file: bubble; flag: tm-outlier"."""
    return SEPARATOR.join(str(r) for r in ordered(reasons))


def from_sheet(cell):
    """What a sample sheet's exclude cell says.

    Returns
    -------
    None, False or Reason
        None for an empty cell (the file's own exclusion stands), False for a
        cell that keeps the well in, else the sheet's reason (its text, or
        none when the cell only says yes).
    """
    text = " ".join(cell.split())
    if not text:
        return None
    if text.lower() in SHEET_KEEP:
        return False
    return Reason(SHEET, "" if text.lower() in SHEET_YES else text)


def from_file(reasons):
    """The reasons of a file's own exclusion (the reader's tuple of its texts, empty when it gives none), or
    () for a well the file does not exclude (None)."""
    if reasons is None:
        return ()
    return tuple(Reason(FILE, " ".join(r.split())) for r in reasons) or (Reason(FILE),)
