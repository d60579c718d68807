"""Which wells the results leave out, and why (the model is
:mod:`quelmar.common.exclusion`).

Reasons that do not come from flags are fixed once a file is read: the
file's own, the sample sheet's (already laid over the file's by the reader's
caller) and the user's list (:func:`requested`). Flags add theirs when they
are set (:func:`excluded`), so a well's state follows its flags wherever
they change.
"""
from ..common import exclusion as _exclusion
from ..common.errors import InputError, Named
from ..common.flags import EXCLUDING
from ..common.positions import well_key


def requested(plate_file, exclude):
    """The wells the user excludes, as a set of ``id`` of the file's :class:`~quelmar.reading.plate.Well`.

    Parameters
    ----------
    exclude : tuple of (str, str)
        (well, target) pairs; an empty target stands for every target of the
        well, in every run.

    Raises
    ------
    InputError
        For a well (or well and target) the file does not have: a misspelt
        well would otherwise be quietly analysed.
    """
    if not exclude:
        return set()
    by_name = {}
    for w in plate_file.wells:
        by_name.setdefault(well_key(w.name), []).append(w)
    chosen = set()
    for name, target in exclude:
        wells = by_name.get(well_key(name), [])
        if target:
            wanted = plate_file.resolve_target(target)
            wells = [w for w in wells if w.target == wanted]
        if not wells:
            what = f"well {name!r}" + (f" with target {target!r}" if target else "")
            raise InputError(f"{plate_file.path}: ", Named("exclude"), f" names {what}, which is not in the file")
        chosen.update(id(w) for w in wells)
    return chosen


def given(well, requested_ids):
    """The reasons of one well that no flag gives: the file's or the sheet's, and the user's."""
    reasons = [well.exclusion] if well.exclusion is not None else []
    if id(well) in requested_ids:
        reasons.append(_exclusion.Reason(_exclusion.USER))
    return tuple(reasons)


def flag_reasons(flags, keep=()):
    """The reasons a well's flags give: those of :data:`~quelmar.common.flags.EXCLUDING` not kept."""
    return tuple(_exclusion.Reason(_exclusion.FLAG, f) for f in flags if f in EXCLUDING and f not in keep)


def excluded(given_reasons, flags, keep=()):
    """The ``excluded`` cell of a well: "" when it is included, else every reason."""
    return _exclusion.describe(tuple(given_reasons) + flag_reasons(flags, keep))
