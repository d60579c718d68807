"""Bringing imported plates into the amplification analysis' working range.

The amplification analysis works with fixed levels set for raw instrument
readings, which run from a few thousand to a few tens of thousands: a
threshold of at least 100, curves that never reach 300 flagged low-signal,
baseline noise above 200 (early cycles) or 2000 (plateau) evened out, fitted
logistics with a plateau below 10 refused. Exported files often hold
normalised or baseline-subtracted values (0 to 0.2, 0.6 to 2.8, -70 to 260);
fed as they are, every well is flagged low-signal and almost none gets a Ct.

The rule: one factor per plate (one run and target), a power of ten, chosen
so that the plate's largest absolute reading lands between 10^3.5 and 10^4.5,
i.e. ``10 ** round(log10(1e4 / max|reading|))``. Why so:

- Ct by threshold crossing does not depend on the unit once the threshold is
  the plate's own (noise, step or curve level) rather than the floor of 100;
  on the bundled RDML files the Ct values stop moving once the largest
  reading passes about 3,000, and stay put to about 100,000.
- The largest reading, not the rise of the curves, is measured, so a plate of
  empty wells is not blown up until its noise looks like amplification.
- Plates already in raw units (largest reading 3,162 to 31,622, as in the
  bundled CSV files) get the factor 1 and are analysed exactly as read.
- A power of ten only moves the decimal point, so scaled readings and the
  factor stay easy to read back.
"""
import math

import numpy as np

TARGET_LEVEL = 1e4
#: The largest power of ten a double holds.
MAX_EXPONENT = 308


def plate_scale(curves):
    """The scale factor of a plate (see the module docstring).

    Parameters
    ----------
    curves : array_like
        All readings of the plate.

    Returns
    -------
    float
        A power of ten; 1.0 for a plate without a finite non-zero reading.

    Raises
    ------
    ValueError
        When the readings are so small (below about 1e-304) that the factor
        itself would overflow.
    """
    values = np.abs(np.asarray(curves, dtype=float))
    values = values[np.isfinite(values)]
    top = float(values.max()) if values.size else 0.0
    if top == 0.0:
        return 1.0
    exponent = round(math.log10(TARGET_LEVEL) - math.log10(top))
    if exponent > MAX_EXPONENT:
        raise ValueError(f"the largest reading, {top:g}, is too small to bring into the working range")
    return 10.0 ** exponent

