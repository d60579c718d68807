"""Inter-run calibration (Hellemans et al. 2007, Genome Biol 8:R19).

The same samples (inter-run calibrators, IRCs) measured in every run show how
each run's quantities differ from the others' for a target: a different
threshold, instrument or reagent lot moves every Cq of the run by about the
same amount. Per run and target the calibration factor is the geometric mean
of the IRCs' quantities in that run, here taken relative to the geometric
mean over the runs, so that the factors of a study multiply to one; every
quantity of the run is divided by it. On the Cq scale that is one offset per
run and target: the mean of the IRCs' mean Cq in the run minus its mean over
the runs, subtracted from every Cq of the run. The factor is E^-offset.

The offset's standard error comes from the IRCs' replicate scatter in the
run: sqrt(sum_i s_i^2 / n_i) / k for k calibrators with n_i wells and
standard deviation s_i each (NaN when a calibrator has a single well).
"""
import math
from dataclasses import dataclass

from . import distributions as dist


class CalibrationError(ValueError):
    """A calibrator is missing from a run, or there is nothing to calibrate."""


@dataclass
class RunFactor:
    """The calibration of one run for one target.

    Attributes
    ----------
    run, target : str
    offset : float
        Cycles to subtract from every Cq of this run and target.
    se : float
        Standard error of the offset in cycles (NaN when a calibrator has one well only).
    factor : float
        The calibration factor E^-offset that the run's quantities are divided by.
    factor_low, factor_high : float
        The factor at offset +/- se (a one-standard-error band).
    calibrators : tuple of (str, int, float)
        Per calibrator: name, wells, mean Cq in this run.
    """

    run: str
    target: str
    offset: float
    se: float
    factor: float
    factor_low: float
    factor_high: float
    calibrators: tuple


def _mean(values):
    return math.fsum(values) / len(values)


def _variance(values):
    m = _mean(values)
    return math.fsum((v - m) * (v - m) for v in values) / (len(values) - 1)


def calibration_factors(cq, calibrators, efficiency=2.0):
    """The calibration of every run for one target.

    Parameters
    ----------
    cq : mapping of run -> mapping of calibrator -> sequence of float
        The calibrators' Cq values (wells) per run; runs in the order given.
    calibrators : sequence of str
        The calibrators every run must hold.
    efficiency : float
        The target's amplification factor E (2 is a doubling per cycle).

    Returns
    -------
    list of RunFactor
        One per run, in the order of ``cq``; target left empty for the caller.
    """
    if not calibrators:
        raise CalibrationError("no inter-run calibrator named")
    if len(cq) < 1:
        raise CalibrationError("no run to calibrate")
    means, ses, detail = {}, {}, {}
    for run, per in cq.items():
        rows, var = [], []
        for name in calibrators:
            values = [float(v) for v in per.get(name, ()) if math.isfinite(v)]
            if not values:
                raise CalibrationError(f"run {run!r} has no Cq for inter-run calibrator {name!r}: every calibrator "
                                       f"must be measured in every run")
            rows.append((name, len(values), _mean(values)))
            var.append(_variance(values) / len(values) if len(values) > 1 else math.nan)
        means[run] = _mean([m for _, _, m in rows])
        ses[run] = math.sqrt(math.fsum(var)) / len(var) if not any(math.isnan(v) for v in var) else math.nan
        detail[run] = tuple(rows)
    centre = _mean(list(means.values()))
    out = []
    for run in cq:
        offset = means[run] - centre
        se = ses[run]
        factor = dist.power(efficiency, -offset)
        low, high = dist.power(efficiency, -(offset + se)), dist.power(efficiency, -(offset - se))
        out.append(RunFactor(run, "", offset, se, factor, low, high, detail[run]))
    return out
