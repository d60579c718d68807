"""Several runs brought onto one scale by inter-run calibration (see
:mod:`.inference.interrun`): per target, every run's Cq values are moved by its
calibration offset, so that the same sample gives the same quantity in every
run, and relative quantities, tests and tables treat the runs as one study.
"""
from dataclasses import replace

from ..common.errors import InputError
from ..results import RunCalibration
from .inference.interrun import CalibrationError, calibration_factors
from .levels import is_sample, kept


def calibrate(plates, calibrators, factors, ct_kind):
    """Every plate's wells with their Cq values calibrated, and the calibration per run and target.

    Parameters
    ----------
    plates : list of AmplificationPlate
        Any number of files and runs; a run is (file, run id).
    calibrators : sequence of str
        The inter-run calibrator samples; each must have a kept well of each target in each of its runs.
    factors : dict
        Target -> amplification factor E.

    Returns
    -------
    (list of AmplificationPlate, list of RunCalibration)

    Raises
    ------
    InputError
        A calibrator missing from a run, or named but in no run at all.
    """
    present = {w.sample for p in plates for w in p.wells}
    absent = [c for c in calibrators if c not in present]
    if absent:
        raise InputError(f"inter-run calibrator {absent[0]!r} is in no file")
    by_target = {}
    for p in plates:
        by_target.setdefault(p.target, {}).setdefault((p.file, p.run), []).append(p)
    offsets, rows = {}, []
    for target, runs in by_target.items():
        # A run is named by its id and file in messages; the pair is the key back.
        label = {run: f"{run[1]} of {run[0]}" for run in runs}
        cq = {}
        for run, mine in runs.items():
            per = cq.setdefault(label[run], {})
            for p in mine:
                for w in p.wells:
                    if w.sample in calibrators and is_sample(w) and not kept(w, ct_kind):
                        per.setdefault(w.sample, []).append(getattr(w, f"ct_{ct_kind}"))
        try:
            found = calibration_factors(cq, list(calibrators), factors[target])
        except CalibrationError as e:
            raise InputError(f"target {target!r}: {e}") from None
        for (file, run_id), f in zip(runs, found):
            offsets[file, run_id, target] = f.offset
            detail = "; ".join(f"{name} ({n}, {mean:.3f})" for name, n, mean in f.calibrators)
            rows.append(RunCalibration(file=file, run=run_id, target=target, efficiency=factors[target],
                                       offset=f.offset, se=f.se, factor=f.factor, factor_low=f.factor_low,
                                       factor_high=f.factor_high, calibrators=detail))
    out = []
    for p in plates:
        shift = offsets[p.file, p.run, p.target]
        # Every kind of Ct moves: the offset is the run's, whichever Ct measured it.
        wells = [replace(w, ct_linear=w.ct_linear - shift, ct_sigmoid=w.ct_sigmoid - shift,
                         ct_window=w.ct_window - shift) for w in p.wells]
        out.append(replace(p, wells=wells))
    return out, rows
