"""What the readers return: the wells of a file with their curves, grouped into
plates of one run and one target."""
import math
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from ..common.errors import ReaderError


@dataclass
class Well:
    """One reaction's data for one target.

    Attributes
    ----------
    name : str
        Well position such as "A1" (RDML), or the column name (CSV).
    run, target, dye, sample, sample_type : str
        Empty where the file does not say.
    quantity : float
        The sample's quantity for this target, NaN where there is none.
    cq : float
        The file's own Cq, NaN where there is none.
    sheet_exclusion : Reason or False, optional
        What a sample sheet's exclude column says of the well, over the
        file's own (:mod:`quelmar.common.exclusion`): its reason, False when
        it keeps the well in, None when it says nothing.
    cycles, fluor : ndarray or None
        Amplification data points.
    melt_temperature, melt_fluor : ndarray or None
        Melting data points.
    quantity_unit : str
        The unit the file gives the quantity in (RDML: cop, fold, dil, nMol,
        ng, other), empty where it says none; a dilution is already turned
        into its relative quantity.
    group : str
        The biological group the sample belongs to (from a sample sheet or
        the file's sample annotations), empty where none.
    biological_replicate : str
        Which biological replicate of its group the sample is (from the
        file's sample annotations), empty where none.
    react : str
        The file's id of the reaction (RDML), empty where none.
    file_efficiency, file_tm : float
        The amplification efficiency and melting temperature the file gives
        the well (RDML 1.3's ``ampEff`` and ``meltTemp``), NaN where none.
    file_note : str
        The file's note on the well (RDML 1.3's ``note``).
    file_exclusion : tuple of str or None
        The file's exclusion of this well (RDML's ``<excl>``): None where the
        file does not exclude it, else the reasons it gives (several are
        separated by ``;`` in the file), an empty tuple where it gives none.
    """

    name: str
    run: str = ""
    target: str = ""
    dye: str = ""
    sample: str = ""
    sample_type: str = ""
    quantity: float = math.nan
    cq: float = math.nan
    sheet_exclusion: object = None
    cycles: Optional[np.ndarray] = None
    fluor: Optional[np.ndarray] = None
    melt_temperature: Optional[np.ndarray] = None
    melt_fluor: Optional[np.ndarray] = None
    quantity_unit: str = ""
    group: str = ""
    biological_replicate: str = ""
    react: str = ""
    file_efficiency: float = math.nan
    file_tm: float = math.nan
    file_note: str = ""
    file_exclusion: Optional[tuple] = None


@dataclass
class Group:
    """The wells of one run and one target: one plate for the amplification analysis."""

    run: str
    target: str
    wells: list
    show_run: bool = True

    @property
    def label(self):
        """"run / target", without the run when the file has only one."""
        return " / ".join(p for p in (self.run if self.show_run else "", self.target) if p) or "plate"

    def amplification(self):
        """Cycle numbers and a wells x cycles array of the wells that have amplification data."""
        wells = [w for w in self.wells if w.fluor is not None]
        if not wells:
            return np.empty(0), np.empty((0, 0)), []
        return wells[0].cycles, np.vstack([w.fluor for w in wells]), wells


@dataclass
class PlateFile:
    """A file's content: samples, targets, dyes, runs and the wells."""

    path: str
    format: str
    wells: list = field(default_factory=list)
    samples: dict = field(default_factory=dict)
    targets: dict = field(default_factory=dict)
    dyes: list = field(default_factory=list)
    runs: list = field(default_factory=list)

    def target_ids(self):
        return list(dict.fromkeys(w.target for w in self.wells))

    def resolve_target(self, name):
        """The target id meant by ``name``: an exact id, else the one id it starts."""
        ids = self.target_ids()
        if name in ids:
            return name
        hits = [t for t in ids if t.lower().startswith(name.lower())]
        if len(hits) == 1:
            return hits[0]
        known = ", ".join(repr(t) for t in ids if t) or "none"
        raise ReaderError(self.path, f"target {name!r} is {'ambiguous' if hits else 'not in the file'} "
                                     f"(targets: {known})")

    def groups(self, target=None):
        """Groups of wells by (run, target) in file order, optionally for one target."""
        wanted = None if target is None else self.resolve_target(target)
        out = {}
        for w in self.wells:
            if wanted is None or w.target == wanted:
                out.setdefault((w.run, w.target), []).append(w)
        several = len({w.run for w in self.wells}) > 1
        return [Group(run, tar, wells, several) for (run, tar), wells in out.items()]
