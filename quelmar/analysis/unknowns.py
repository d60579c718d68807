"""Unknowns of a standard curve, one row per sample: the mean Cq of its kept
wells read off the line, with the inverse-prediction interval (see
:mod:`.inverse`), and whether it lies within the standards' range."""
import math

from ..results import UnknownQuantity
from .inference.inverse import MIN_STANDARDS, CalibrationLineError, predict
from .levels import left_out


def unknown_quantities(rows, line, level, path):
    """Per sample of the ``role == "unknown"`` rows (StandardWell), its quantity and interval off ``line``."""
    samples = {}
    for w in rows:
        if w.role == "unknown" and w.sample:
            samples.setdefault(w.sample, []).append(w)
    out = []
    for sample, wells in samples.items():
        why = [left_out(w, w.ct) for w in wells]
        kept = [w.ct for w, reason in zip(wells, why) if not reason]
        excluded = tuple(f"{w.well} ({reason})" for w, reason in zip(wells, why) if reason)
        first = wells[0]
        if not kept:
            out.append(_row(sample, first, 0, math.nan, math.nan, math.nan, math.nan, level, False, excluded,
                            "no well with a Ct", path))
            continue
        try:
            p = predict(line, kept, level)
        except CalibrationLineError as e:
            out.append(_row(sample, first, len(kept), math.fsum(kept) / len(kept), math.nan, math.nan, math.nan,
                            level, False, excluded, str(e), path))
            continue
        low, high = p.interval if math.isfinite(p.low) else (math.nan, math.nan)
        note = "" if p.inside else "outside the standards' range: extrapolated"
        if not math.isfinite(p.low):
            why = (f"{line.n} standards in the fit: an interval needs at least {MIN_STANDARDS}"
                   if line.n < MIN_STANDARDS or not math.isfinite(line.s)
                   else "the line's slope is not told from zero: no bounded interval")
            note = "; ".join(n for n in (note, why) if n)
        out.append(_row(sample, first, p.k, math.fsum(kept) / len(kept), p.quantity, low, high, level, p.inside,
                        excluded, note, path))
    return out


def _row(sample, first, wells, ct, quantity, low, high, level, inside, excluded, note, path):
    return UnknownQuantity(sample=sample, target=first.target, run=first.run, wells=wells, ct=ct, quantity=quantity,
                           quantity_low=low, quantity_high=high, level=level, inside=inside, excluded=excluded,
                           note=note, file=path)

