"""Unknowns of a standard curve, one row per sample: the mean Cq of its kept
wells read off the line, with the inverse-prediction interval (see
:mod:`.inverse`), and whether it lies within the standards' range."""
import math
from dataclasses import dataclass

from .. import flags as _flags
from .inverse import CalibrationLineError, predict


@dataclass
class UnknownQuantity:
    """One row of ``standard``'s unknowns table: a sample of one run and target.

    Attributes
    ----------
    wells : int
        Wells averaged (with a Ct, not replicate outliers).
    ct : float
        Their mean Cq.
    quantity, quantity_low, quantity_high : float
        The quantity at the mean Cq and its confidence interval (NaN bounds when the line cannot bound it).
    inside : bool
        Whether the quantity lies within the standards' range.
    excluded : tuple of str
        Wells left out, as "well (why)".
    """

    sample: str
    target: str
    run: str
    wells: int
    ct: float
    quantity: float
    quantity_low: float
    quantity_high: float
    level: float
    inside: bool
    excluded: tuple
    note: str
    file: str


def unknown_quantities(rows, line, level, path):
    """Per sample of the ``role == "unknown"`` rows (StandardWell), its quantity and interval off ``line``."""
    samples = {}
    for w in rows:
        if w.role == "unknown" and w.sample:
            samples.setdefault(w.sample, []).append(w)
    out = []
    for sample, wells in samples.items():
        kept = [w.ct for w in wells if math.isfinite(w.ct) and _flags.REPLICATE_OUTLIER not in w.flags]
        excluded = tuple(f"{w.well} ({'no Ct' if not math.isfinite(w.ct) else _flags.REPLICATE_OUTLIER})"
                         for w in wells if not (math.isfinite(w.ct) and _flags.REPLICATE_OUTLIER not in w.flags))
        first = wells[0]
        if not kept:
            out.append(UnknownQuantity(sample, first.target, first.run, 0, math.nan, math.nan, math.nan, math.nan,
                                       level, False, excluded, "no well with a Ct", path))
            continue
        try:
            p = predict(line, kept, level)
        except CalibrationLineError as e:
            out.append(UnknownQuantity(sample, first.target, first.run, len(kept), math.fsum(kept) / len(kept),
                                       math.nan, math.nan, math.nan, level, False, excluded, str(e), path))
            continue
        low, high = p.interval if math.isfinite(p.low) else (math.nan, math.nan)
        note = "" if p.inside else "outside the standards' range: extrapolated"
        if not math.isfinite(p.low):
            note = "; ".join(n for n in (note, "the line's slope is not told from zero: no bounded interval") if n)
        out.append(UnknownQuantity(sample, first.target, first.run, p.k, math.fsum(kept) / len(kept), p.quantity,
                                   low, high, level, p.inside, excluded, note, path))
    return out

