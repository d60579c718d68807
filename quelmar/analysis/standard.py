"""Standard curves of amplified plates: which wells are standards (a quantity
from the file, a sample sheet or the settings), the curve through them, and
the quantity of every unknown read off it: per well, and per sample at its
wells' mean Ct with an inverse-prediction interval (:mod:`.unknowns`).

Excluded standards (see :mod:`.exclusion`) and standards without a Ct are
left out of the fit, which names the excluded ones.
"""
import math

import numpy as np

from ..common import flags as _flags
from ..common.errors import InputError, Named
from ..results import StandardFit, StandardPlate, StandardWell
from .inference import distributions as dist
from .inference.inverse import MIN_STANDARDS, Line, line_through
from .statistics import standard_curve
from .unknowns import unknown_quantities

#: A standard curve outside these efficiencies (percent) or below this R² is worth a warning.
EFFICIENCY_RANGE = (90.0, 110.0)
MIN_R_SQUARED = 0.98
#: Confidence level of the unknowns' intervals.
LEVEL = 0.95


def _names(prefix, name):
    """Whether a quantity given for ``prefix`` is the well ``name``'s: the name itself, or it followed by a
    separator (std_1 for std)."""
    return name == prefix or (name.startswith(prefix) and not name[len(prefix)].isalnum())


def _assign(name, table, default):
    """The quantity the settings give the well's name (see :func:`check_quantities`), else the file's."""
    for prefix, q in table:
        if _names(prefix, name):
            return q
    return default


#: Wells named in a message about a quantity that names none.
SHOWN_WELLS = 12


def check_quantities(path, plates, quantities):
    """Refuse quantities that name no well of the file's plates, or a well that two of them name.

    Raises
    ------
    InputError
        Naming the setting ``quantities``.
    """
    names = list(dict.fromkeys(w.well for p in plates for w in p.wells))
    for prefix, _ in quantities:
        if not any(_names(prefix, n) for n in names):
            shown = ", ".join(names[:SHOWN_WELLS]) + (", ..." if len(names) > SHOWN_WELLS else "")
            raise InputError(f"{path}: ", Named("quantities"), f" {prefix!r} names no well of the file "
                                                               f"(wells: {shown})")
    for name in names:
        given = [prefix for prefix, _ in quantities if _names(prefix, name)]
        if len(given) > 1:
            raise InputError(f"{path}: well {name!r} has two quantities, for {given[0]!r} and {given[1]!r} in ",
                             Named("quantities"))


def fit_standard(plate, quantities=(), level=LEVEL):
    """The standard curve of one plate, the role and quantity of each well, and the unknowns per sample.

    Returns
    -------
    (StandardFit or None, list of StandardWell, list of UnknownQuantity)
        No fit (and no unknowns) when the plate has no standard (a well with a positive quantity).

    Raises
    ------
    InputError
        For a degenerate curve: fewer than two distinct quantities with a Ct, or a flat line.

    Excluded wells are left out of the curve, and an excluded unknown is given no quantity.
    """
    path, ct = plate.file, plate.ct()
    q = np.array([_assign(w.well, quantities, w.quantity) for w in plate.wells], dtype=float)
    negative = np.array([_flags.is_negative_control(w.sample_type) for w in plate.wells])
    standard = np.isfinite(q) & (q > 0) & ~negative
    if not standard.any():
        return None, _standard_wells(path, plate, ct, q, standard, negative, None), []
    included = np.array([w.included for w in plate.wells], dtype=bool)
    used = standard & np.isfinite(ct) & included
    distinct = np.unique(q[used])
    where = f"{path}: {plate.label}"
    if distinct.size < 2:
        left_out = int((standard & np.isfinite(ct) & ~included).sum())
        raise InputError(f"{where}: the standard curve needs at least two distinct quantities with a Ct "
                         f"(has {distinct.size}{': ' + format(distinct[0], 'g') if distinct.size else ''}"
                         f"{f'; {left_out} excluded standards left out' if left_out else ''})")
    fit = standard_curve(q[used], ct[used])
    if not (math.isfinite(fit.slope) and fit.slope != 0 and math.isfinite(fit.efficiency)):
        raise InputError(f"{where}: the standard curve is flat (slope {fit.slope:g}): the Ct does not follow "
                         f"the quantity")
    warning = []
    if not EFFICIENCY_RANGE[0] <= fit.efficiency <= EFFICIENCY_RANGE[1]:
        warning.append(f"efficiency {fit.efficiency:.1f} % outside {EFFICIENCY_RANGE[0]:g}-{EFFICIENCY_RANGE[1]:g} %")
    if not fit.r_squared >= MIN_R_SQUARED:
        warning.append(f"R² {fit.r_squared:.4f} below {MIN_R_SQUARED:g}")
    line = _line(q[used], ct[used], fit)
    left_out = tuple(f"{w.well} ({w.excluded})" for k, w in enumerate(plate.wells) if standard[k] and w.excluded)
    result = StandardFit(target=plate.target, run=plate.run, ct_kind=plate.ct_kind, slope=fit.slope,
                         intercept=fit.intercept, efficiency=fit.efficiency, r_squared=fit.r_squared, n=fit.n,
                         quantities=int(distinct.size), quantity_low=float(distinct[0]),
                         quantity_high=float(distinct[-1]), residual_sd=line.s, scale=plate.scale,
                         threshold=plate.threshold, warning="; ".join(warning),
                         flags=(_flags.NTC_IN_RUN,) if plate.contaminated else (), excluded=left_out, file=path)
    wells = _standard_wells(path, plate, ct, q, standard, negative, (fit, distinct))
    return result, wells, unknown_quantities(wells, line, level, path)


def _line(q, ct, fit):
    """What inverse prediction needs of the library's line; without a residual variance (two standards) its
    scatter is NaN and the unknowns get no interval."""
    x = [dist.log10(float(v)) for v in q]
    if len(x) < MIN_STANDARDS:
        mean = math.fsum(x) / len(x)
        return Line(fit.slope, fit.intercept, len(x), mean, math.fsum((v - mean) * (v - mean) for v in x), math.nan,
                    (min(x), max(x)), (float(min(ct)), float(max(ct))))
    return line_through(x, [float(v) for v in ct], fit.slope, fit.intercept)


def _standard_wells(path, plate, ct, q, standard, negative, fitted):
    rows = []
    for i, w in enumerate(plate.wells):
        role, quantity, note = "unknown", math.nan, ""
        if negative[i]:
            role = "control"
        elif standard[i]:
            role, quantity = "standard", float(q[i])
        elif fitted is not None and math.isfinite(ct[i]) and w.included:
            fit, distinct = fitted
            quantity = float(fit.quantity(ct[i]))
            if not distinct[0] <= quantity <= distinct[-1]:
                note = "outside the standards' range"
        rows.append(StandardWell(well=w.well, sample=w.sample, sample_type=w.sample_type, target=w.target,
                                 run=w.run, ct=float(ct[i]), quantity=quantity, role=role, flags=w.flags,
                                 excluded=w.excluded, note=note, file=path))
    return rows


def standard_plates(plates, quantities=(), problems=None):
    """The :class:`StandardPlate` of every plate with standards, and the warnings their curves give.

    A degenerate curve raises :class:`InputError`, or, given a list
    ``problems``, is told there and its plate passed over. Quantities that
    name no well, or a well twice, are refused (:func:`check_quantities`).
    """
    results, warnings = [], []
    if quantities and plates:
        check_quantities(plates[0].file, plates, quantities)
    for p in plates:
        try:
            fit, wells, unknowns = fit_standard(p, quantities)
        except InputError as e:
            if problems is None:
                raise
            problems.append(f"no standard curve: {e}")
            continue
        if fit is not None:
            results.append(StandardPlate(amplification=p, fit=fit, wells=wells, unknowns=unknowns))
            if fit.warning:
                warnings.append(f"{p.file}: {p.label}: {fit.warning}")
    return results, warnings
