"""Which wells the results leave out, and why (the model is
:mod:`quelmar.common.exclusion`).

Reasons that do not come from flags are fixed once a file is read: the
file's own, the sample sheet's (already laid over the file's by the reader's
caller) and the user's list (:func:`requested`). Flags add theirs when they
are set (:func:`excluded`), so a well's state follows its flags wherever
they change. :func:`settle` weighs a well's amplification and melt together:
a well excluded for either is nobody's replicate, and both its rows say why.
"""
from ..common import exclusion as _exclusion
from ..common import flags as _flags
from ..common.errors import InputError, Named
from ..common.flags import EXCLUDING, REPLICATE_OUTLIER, REPLICATE_SPREAD
from ..common.positions import well_key
from .judgement import replicate_flags


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
    """The reasons of one well that no flag gives: the sheet's, or else the file's (RDML ``<excl>``), and the
    user's."""
    sheet = well.sheet_exclusion
    if sheet is None:
        reasons = list(_exclusion.from_file(well.file_exclusion))
    else:
        reasons = [sheet] if sheet else []
    if id(well) in requested_ids:
        reasons.append(_exclusion.Reason(_exclusion.USER))
    return tuple(reasons)


def flag_reasons(flags, keep=()):
    """The reasons a well's flags give: those of :data:`~quelmar.common.flags.EXCLUDING` not kept."""
    return tuple(_exclusion.Reason(_exclusion.FLAG, f) for f in flags if f in EXCLUDING and f not in keep)


def excluded(given_reasons, flags, keep=()):
    """The ``excluded`` cell of a well: "" when it is included, else every reason."""
    return _exclusion.describe(tuple(given_reasons) + flag_reasons(flags, keep))


_REPLICATE = (REPLICATE_OUTLIER, REPLICATE_SPREAD)


def settle(plates, melts, keep=()):
    """The replicate flags of every amplification plate, the ``excluded`` of every row, amplification and melt,
    and each plate's ``contaminated`` controls.

    A well is the same well in both analyses (run, target and name): the
    reasons of its melt flags exclude its amplification row and the other
    way round. Replicates are judged once the other reasons are known, so an
    excluded well is nobody's replicate. Running it again gives the same
    result.

    Parameters
    ----------
    plates : list of :class:`~quelmar.results.AmplificationPlate`
        Judged (:func:`~.judgement.amplification_flags`), with their ``given`` reasons.
    melts : list of :class:`~quelmar.results.MeltPlate`
        With their flags and ``given`` reasons.
    keep : tuple of str
        Flags that do not exclude.
    """
    melted = {(m.run, c.target, c.well): flag_reasons(c.flags, keep) for m in melts for c in m.curves}
    amplified = {}
    for p in plates:
        keys = [(p.run, w.target, w.well) for w in p.wells]
        for w in p.wells:
            w.flags = tuple(f for f in w.flags if f not in _REPLICATE)
        left_out = [_flags.is_negative_control(w.sample_type) or bool(g) or bool(melted.get(k))
                    for w, g, k in zip(p.wells, p.given, keys)]
        found = replicate_flags([w.sample for w in p.wells], p.ct(), left_out)
        for i, (w, g, k) in enumerate(zip(p.wells, p.given, keys)):
            if i in found:
                w.flags = _flags.in_order(w.flags + (found[i],))
            amplified[k] = flag_reasons(w.flags, keep)
            w.excluded = _exclusion.describe(tuple(g) + amplified[k] + melted.get(k, ()))
    for m in melts:
        for c, g in zip(m.curves, m.given):
            k = (m.run, c.target, c.well)
            c.summary.excluded = _exclusion.describe(tuple(g) + melted[k] + amplified.get(k, ()))
    peaks = {(m.run, c.target, c.well) for m in melts for c in m.curves if _flags.NTC_PEAK in c.flags}
    for p in plates:
        p.contaminated = tuple(w.well for w in p.wells
                               if _flags.NTC_AMPLIFIED in w.flags or (p.run, w.target, w.well) in peaks)
