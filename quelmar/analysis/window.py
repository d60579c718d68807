"""The window-of-linearity analysis of one plate, through libQuelmarAlgWol
(:mod:`quelmar.binding.wol`): per well its Cq, its own efficiency in the
window and why it has none; per target (a plate is one) the mean efficiency
of its wells, their spread and the threshold.

The library fits each well's baseline (keeps the zero of readings whose
baseline the instrument removed), reads each well against its own plateau (against the target's
median plateau where most wells still rise at the run's end), places one
window per target, one decade of the signal where the wells' efficiencies
agree best, and reads the Cq at the window's top.
"""
from dataclasses import dataclass

import numpy as np

from ..binding import wol

MIN_CYCLES = wol.MIN_CYCLES


@dataclass
class WindowResult:
    """Result of :func:`analyze_window`; per-well arrays in well order, cycles counted from 1 over the readings.

    Attributes
    ----------
    cq, efficiency : ndarray
        Each well's Cq at the threshold and its own efficiency in the window (NaN without).
    reason : list of str
        Why a well has no Cq ("" when it has one), see :data:`quelmar.binding.wol.REASONS`.
    in_mean : ndarray of bool
        Whether the well's efficiency enters the target's mean.
    mean_efficiency, efficiency_sd : float
        The target's mean efficiency and the SD of the wells in it (NaN without them).
    wells_in_mean : int
    threshold : float
        The Cq threshold, in the units of the readings.
    common_plateau : bool
        Whether every well was read against the target's median plateau.
    baseline_kept : bool
        Whether the readings came with their baseline removed (the instrument's), which every well keeps.
    """

    cq: np.ndarray
    efficiency: np.ndarray
    reason: list
    in_mean: np.ndarray
    mean_efficiency: float
    efficiency_sd: float
    wells_in_mean: int
    threshold: float
    common_plateau: bool
    baseline_kept: bool


def analyze_window(curves):
    """The window-of-linearity analysis of one target's wells (wells x cycles, at least 12 cycles)."""
    wells, targets = wol.analyse(curves)
    t = targets[0]
    return WindowResult(cq=wells["cq"].copy(), efficiency=wells["efficiency"].copy(),
                        reason=[wol.REASONS.get(int(r), f"reason {int(r)}") for r in wells["reason"]],
                        in_mean=wells["in_mean"] != 0, mean_efficiency=float(t["mean_efficiency"]),
                        efficiency_sd=float(t["efficiency_sd"]), wells_in_mean=int(t["in_mean"]),
                        threshold=float(t["threshold"] * t["plateau_median"]),
                        common_plateau=bool(t["common_plateau"]), baseline_kept=bool(t["baseline_kept"]))
