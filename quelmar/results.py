"""Typed results of the command's analyses: what the table writers (text, CSV,
JSON), the plots and the HTML report all read.

Each analysis of one input file returns a :class:`FileResult`: its plates
(what pictures are drawn from, one per run and target, or one per file for
relative quantities) and its tables (name -> list of rows). A row is a
dataclass whose fields, in the order declared here, are the columns of its
table; every record is made by keyword, so that the order of the columns is
said here alone. Per-well flags are tuples of names from
:mod:`quelmar.common.flags`. Numbers stay floats with NaN for "none";
the writers turn NaN into an empty cell (CSV) or null (JSON).

Ct values and cycles are in the file's own cycle numbers; thresholds and
curves in the file's own fluorescence units (the working scale is reported
beside them).
"""
import math
from dataclasses import dataclass, field, fields
from typing import Optional

import numpy as np

from .common import flags as _flags

NAN = math.nan


# -- amplification ---------------------------------------------------------------

@dataclass(kw_only=True)
class AmplificationWell:
    """One row of ``amplify``: one reaction and target.

    Attributes
    ----------
    ct_linear, ct_sigmoid : float
        The library's Ct by threshold crossing and from the fitted logistic.
    ct_window : float
        The window-of-linearity Cq (libQuelmarAlgWol), NaN where ``window_note`` says why not.
    efficiency : float
        The well's efficiency from its own steepest log-linear stretch.
    efficiency_window : float
        The well's own efficiency in its target's window of linearity.
    n0 : float
        threshold / E^Cq with the target's mean window efficiency E: fluorescence at
        cycle 0, in the file's units.
    target_efficiency, target_efficiency_sd : float
        The target's mean window efficiency (over the wells in its mean) and their SD.
    excluded : str
        "" for a well that standard curves and relative quantities use, else
        its reasons (:func:`quelmar.common.exclusion.describe`).
    group, biological_replicate : str
        The sample's group and which biological replicate of it the sample
        is (a sample sheet's or the file's annotations), "" where none.
    """

    well: str
    sample: str
    sample_type: str
    target: str
    run: str
    threshold: float
    scale: float
    ct_linear: float
    ct_sigmoid: float
    ct_window: float = NAN
    efficiency: float
    efficiency_window: float = NAN
    n0: float = NAN
    target_efficiency: float = NAN
    target_efficiency_sd: float = NAN
    window_note: str = ""
    flags: tuple
    excluded: str
    file_cq: float
    quantity: float
    group: str
    biological_replicate: str = ""
    file: str

    @property
    def included(self):
        return not self.excluded


@dataclass(kw_only=True)
class AmplificationPlate:
    """The wells of one run and target, analysed together.

    Attributes
    ----------
    label : str
        "run / target", without the run when the file has only one.
    threshold : float
        The threshold of the linear Ct, in file units.
    auto_threshold : float
        The plate threshold the library chose, in file units.
    cycles : ndarray
        The file's cycle numbers, ascending.
    curves : ndarray, wells x cycles
        The conditioned curves, in file units.
    ct_kind : str
        Which Ct the flags judged: "linear", "sigmoid" or "window".
    given : list of tuple of Reason
        Per well, the reasons to exclude it that do not come from its flags
        (the file's, the sample sheet's, the user's); ``excluded`` of each
        row adds those of its flags.
    dye : str
        The wells' dye ("" where the file does not say).
    measures : :class:`quelmar.analysis.judgement.CurveMeasures`, optional
        What the flags read of each curve besides its Ct.
    contaminated : tuple of str
        The negative controls of the plate that amplified or melted like a
        product: every result from the plate carries ntc-in-run.
    window_threshold : float
        The window-of-linearity Cq threshold, in file units.
    window_efficiency, window_efficiency_sd : float
        The target's mean window efficiency and the SD of the wells in it.
    window_wells : int
        Wells in that mean.
    window_baseline_kept : bool
        Whether the readings came with the instrument's baseline removed, which the window analysis kept.
    """

    file: str
    run: str
    target: str
    label: str
    scale: float
    threshold: float
    auto_threshold: float
    cycles: np.ndarray
    curves: np.ndarray
    ct_kind: str
    wells: list
    given: list = field(default_factory=list)
    dye: str = ""
    measures: object = None
    contaminated: tuple = ()
    window_threshold: float = NAN
    window_efficiency: float = NAN
    window_efficiency_sd: float = NAN
    window_wells: int = 0
    window_baseline_kept: bool = False

    def ct(self, kind=None):
        """The Ct of every well (the plate's kind unless given), as an array."""
        name = f"ct_{kind or self.ct_kind}"
        return np.array([getattr(w, name) for w in self.wells], dtype=float)

    def flag_counts(self):
        return _flags.count(w.flags for w in self.wells)


# -- melting ---------------------------------------------------------------------

@dataclass(kw_only=True)
class MeltPeak:
    """One row of ``melt``: one fitted peak of a well's -dF/dT; ``main`` marks the product's (the tallest)."""

    well: str
    sample: str
    target: str
    run: str
    peak: int
    tm: float
    height: float
    width: float
    main: bool
    file: str


@dataclass(kw_only=True)
class MeltWell:
    """One row of ``melt --summary``: a well's main peak, its peak count and its flags.

    Attributes
    ----------
    tm, height : float
        The main peak's (NaN without one).
    peaks : int
        Peaks fitted in the range.
    excluded : str
        Why the well is left out of standard curves and relative quantities ("" when it is not).
    range_low, range_high : float
        Where peaks were sought; ``range`` says "chosen" (from the curve) or "given".
    step : float
        The even grid step the readings were analysed on, degrees.
    resampled : bool
        Whether the readings were interpolated onto that grid; ``note`` says how,
        and why a well could not be analysed.
    """

    well: str
    sample: str
    sample_type: str
    target: str
    run: str
    tm: float
    height: float
    peaks: int
    flags: tuple
    excluded: str
    range_low: float
    range_high: float
    range: str
    step: float
    resampled: bool
    note: str
    file: str


@dataclass(kw_only=True)
class MeltCurve:
    """One well's melting analysis: what the plots draw.

    Attributes
    ----------
    temperature, derivative : ndarray
        -dF/dT over the readings (empty when ``problem`` says why there is none).
    grid, conditioned, fitted : ndarray
        Over the analysis range: the background-free curve the peaks were
        fitted to, and the sum of the fitted Gaussians.
    peaks : list of MeltPeak
    summary : MeltWell
    """

    well: str
    sample: str
    target: str
    temperature: np.ndarray
    derivative: np.ndarray
    grid: np.ndarray
    conditioned: np.ndarray
    fitted: np.ndarray
    peaks: list
    summary: "MeltWell"
    problem: str = ""

    @property
    def flags(self):
        return self.summary.flags

    @property
    def tm(self):
        return self.summary.tm


@dataclass(kw_only=True)
class MeltPlate:
    """The melting curves of one run and target; ``given`` holds per well the reasons to exclude it that
    no flag gives (as :class:`AmplificationPlate`'s)."""

    file: str
    run: str
    target: str
    label: str
    curves: list
    given: list = field(default_factory=list)

    def flag_counts(self):
        return _flags.count(c.flags for c in self.curves)


# -- standard curve --------------------------------------------------------------

@dataclass(kw_only=True)
class StandardFit:
    """The standard curve of one run and target: Ct = slope * log10(quantity) + intercept.

    Attributes
    ----------
    n, quantities : int
        Standard wells in the fit, and their distinct quantities.
    quantity_low, quantity_high : float
        The standards' range: unknowns outside it are extrapolated.
    residual_sd : float
        The scatter of the standards about the line, sqrt(SSE / (n - 2)) in cycles (NaN below three wells).
    flags : tuple
        ntc-in-run when a negative control of the plate amplified.
    excluded : tuple of str
        Every standard left out of the fit, as "well (why)".
    """

    target: str
    run: str
    ct_kind: str
    slope: float
    intercept: float
    efficiency: float
    r_squared: float
    n: int
    quantities: int
    quantity_low: float
    quantity_high: float
    residual_sd: float
    scale: float
    threshold: float
    warning: str
    flags: tuple
    excluded: tuple
    file: str


@dataclass(kw_only=True)
class StandardWell:
    """One row of ``standard``: a well with its quantity, given (standards) or read off the curve.

    ``role`` is "standard", "unknown" or "control"; ``note`` says when an
    unknown lies outside the standards' range. An excluded well (``excluded``
    says why) is left out of the curve, and an excluded unknown is given no
    quantity.
    """

    well: str
    sample: str
    sample_type: str
    target: str
    run: str
    ct: float
    quantity: float
    role: str
    flags: tuple
    excluded: str
    note: str
    file: str

    @property
    def included(self):
        return not self.excluded


@dataclass(kw_only=True)
class StandardPlate:
    """A plate with its standard curve (None when it has no standards), its wells, and its unknowns per sample
    (:class:`UnknownQuantity`, defined below)."""

    amplification: AmplificationPlate
    fit: Optional[StandardFit]
    wells: list
    unknowns: list = field(default_factory=list)

    @property
    def label(self):
        return self.amplification.label


# -- relative quantities ----------------------------------------------------------

@dataclass(kw_only=True)
class RelativeQuantity:
    """One row of ``quantify``: a target's quantity in a sample (or group) relative to the calibrator.

    Attributes
    ----------
    n, n_reference : int
        Values used for the target and for the reference genes (wells, or
        samples when a group is pooled).
    delta_ct : float
        The target's mean Ct minus the reference genes' combined mean Ct.
    delta_delta_ct : float
        The sample's delta_ct minus the calibrator's.
    rq, rq_low, rq_high : float
        Relative quantity and its error bounds.
    efficiency : float
        The target's amplification factor (2: doubling per cycle).
    reference_efficiency : tuple of float
        Each reference gene's.
    flags : tuple of str
        The result's flags (:mod:`quelmar.common.flags`: single-well,
        replicate-spread, ntc-in-run).
    excluded : tuple of str
        Every well left out, as "well target (why)".
    pooled : tuple of str
        The samples of a group (empty for a single sample).
    note : str
        Why a value is missing, when one is.
    """

    sample: str
    target: str
    n: int
    n_reference: int
    delta_ct: float
    delta_delta_ct: float
    rq: float
    rq_low: float
    rq_high: float
    efficiency: float
    reference: tuple
    reference_efficiency: tuple
    calibrator: str
    method: str
    error: str
    flags: tuple
    excluded: tuple
    pooled: tuple
    note: str
    file: str


@dataclass(kw_only=True)
class QuantifyResult:
    """The relative quantities of one file, with the plates their Ct came from.

    ``references`` are the reference genes, ``method`` "comparative" or
    "efficiency-corrected", ``efficiencies`` the amplification factor used per
    gene (targets and reference genes).
    """

    file: str
    calibrator: str
    references: tuple
    method: str
    error: str
    rows: list
    plates: list
    efficiencies: dict
    comparison: Optional["ComparisonResult"] = None
    calibration: list = field(default_factory=list)
    calibrators: tuple = ()

    @property
    def label(self):
        return f"against {self.calibrator}, reference {' + '.join(self.references)}"


@dataclass(kw_only=True)
class StudyRun:
    """What one file gives a study of several runs before they are calibrated onto one scale.

    Attributes
    ----------
    targets : dict
        Target id -> what the file says of it (its ``type``: ref or toi).
    plates : list of AmplificationPlate
        Every plate of the file.
    """

    file: str
    targets: dict
    plates: list


# -- reference-gene stability ----------------------------------------------------

@dataclass(kw_only=True)
class ReferenceGene:
    """One row of ``references``: a candidate reference gene.

    Attributes
    ----------
    m : float
        geNorm's M among all the candidates.
    genorm_rank : int
        1 is most stable (the last pair of the stepwise exclusion share ranks 1 and 2).
    m_excluded : float
        M in the round of the stepwise exclusion the gene left (the last pair: their final M).
    normfinder : float
        NormFinder's stability value (NaN with fewer than three candidates).
    normfinder_rank : int
        1 is most stable (0 without a value).
    samples : int
        Samples with every candidate.
    groups : int
        NormFinder's groups (0: none).
    """

    gene: str
    m: float
    genorm_rank: int
    m_excluded: float
    normfinder: float
    normfinder_rank: int
    samples: int
    groups: int
    file: str


@dataclass(kw_only=True)
class PairwiseVariation:
    """One row of ``references``' second table: geNorm's V(n/n+1)."""

    pair: str
    genes: int
    v: float
    below_cutoff: bool
    file: str


@dataclass(kw_only=True)
class StabilityResult:
    """Everything ``references`` found for one file.

    Attributes
    ----------
    genes : tuple of str
        The candidates, as given.
    samples : tuple of str
        The samples used (those with every candidate).
    groups : tuple of str
        NormFinder's groups (``("",)``: none).
    left_out : list of str
        Samples without every candidate, and wells not kept.
    ranking : tuple of str
        geNorm's, most stable first; ``m_excluded`` each gene's M when it left.
    v : dict
        n -> V(n/n+1).
    normfinder : dict
        Gene -> NormFinder's stability value (empty with fewer than three candidates);
        ``normfinder_ranking`` most stable first, ``best_pair`` ((gene, gene), value) or None.
    verdict : list of str
        Plain sentences: bounds exceeded, the most stable pair or set.
    m_bounds, v_cutoff : the bounds the verdict reads M and V against.
    """

    file: str
    genes: tuple
    samples: tuple
    groups: tuple
    left_out: list
    ranking: tuple
    m_excluded: dict
    v: dict
    normfinder: dict
    normfinder_ranking: tuple
    best_pair: Optional[tuple]
    verdict: list
    genes_table: list
    pairs_table: list
    m_bounds: tuple
    v_cutoff: float

    @property
    def label(self):
        return f"reference genes {', '.join(self.genes)}"


@dataclass(kw_only=True)
class Finding:
    """One sentence of what the stability values say (a row of ``references``' verdict)."""

    text: str
    file: str


# -- comparisons between groups ---------------------------------------------------

@dataclass(kw_only=True)
class GroupComparison:
    """One row of a comparison: a target's fold change of group B over group A and its tests.

    Attributes
    ----------
    n_a, n_b : int
        Biological replicates (samples) per group, or the target's wells for technical replicates.
    replicates : str
        "biological" or "technical".
    log2_fold_change, fold_change, fold_low, fold_high : float
        B over A, with its confidence interval.
    t, df, p : float
        Welch's (Satterthwaite's) test; ``p_adjusted`` over the family of tests.
    p_randomisation, p_randomisation_adjusted : float
        REST's randomisation test, over ``randomisations`` relabellings.
    significance : str
        ``***``, ``**``, ``*`` or ``ns`` from ``p_adjusted``.
    """

    target: str
    group_a: str
    group_b: str
    n_a: int
    n_b: int
    replicates: str
    log2_fold_change: float
    fold_change: float
    fold_low: float
    fold_high: float
    t: float
    df: float
    p: float
    p_adjusted: float
    p_randomisation: float
    p_randomisation_adjusted: float
    randomisations: int
    significance: str
    note: str
    file: str


@dataclass(kw_only=True)
class GroupAnova:
    """One row of the ANOVA of three or more groups: one target."""

    target: str
    groups: str
    n: str
    f: float
    df_between: int
    df_within: int
    p: float
    p_adjusted: float
    significance: str
    note: str
    file: str


@dataclass(kw_only=True)
class ComparisonResult:
    """The comparison of the groups of one file (or study).

    Attributes
    ----------
    groups : tuple of str
        The groups compared; the first is group A of every two-group fold change.
    replicates : str
        "biological" (samples in groups) or "technical" (two samples through their wells).
    adjustment : str
        "holm" or "bh"; ``adjustment_name`` in words.
    level : float
        Confidence level of the fold changes' intervals.
    rows : list of GroupComparison
    anova : list of GroupAnova
    notes : list of str
    """

    file: str
    groups: tuple
    replicates: str
    adjustment: str
    adjustment_name: str
    level: float
    rows: list
    anova: list
    notes: list = field(default_factory=list)

    @property
    def label(self):
        return f"{', '.join(self.groups)} ({self.replicates} replicates)"


# -- inter-run calibration --------------------------------------------------------

@dataclass(kw_only=True)
class RunCalibration:
    """One row of the calibration table: a run's factor for a target.

    Attributes
    ----------
    efficiency : float
        The target's amplification factor E.
    offset, se : float
        Cycles subtracted from every Cq of the run and target, and its standard error.
    factor, factor_low, factor_high : float
        The calibration factor E^-offset that quantities are divided by, at offset +/- se.
    calibrators : str
        "name (wells, mean Cq)" of every calibrator in this run.
    """

    file: str
    run: str
    target: str
    efficiency: float
    offset: float
    se: float
    factor: float
    factor_low: float
    factor_high: float
    calibrators: str


# -- unknowns of a standard curve ---------------------------------------------------

@dataclass(kw_only=True)
class UnknownQuantity:
    """One row of ``standard``'s unknowns: a sample of one run and target read off the curve.

    Attributes
    ----------
    wells : int
        Wells averaged (with a Ct, not replicate outliers).
    ct : float
        Their mean Ct.
    quantity, quantity_low, quantity_high : float
        The quantity at the mean Ct and its inverse-prediction interval at ``level``
        (NaN bounds when the line cannot bound it).
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


# -- the report of one file ---------------------------------------------------------

@dataclass(kw_only=True)
class RunReport:
    """Everything the report page shows of one input file besides what every result carries (notes, geometry).

    Attributes
    ----------
    file : str
    sha256 : str
    size : int
        Bytes.
    format, kind, description : str
        As read ("RDML 1.1", "CSV"), what the file holds and in words
        (see :func:`quelmar.reading.kinds.guess_kind`).
    runs : dict
        Run id -> :class:`~quelmar.reading.readers.RunInfo`: what the instrument wrote (RDML).
    amplification : list of AmplificationPlate
    standards : dict
        Plate label -> StandardPlate, for the plates with standards.
    melts : list of MeltPlate
    quantities : QuantifyResult, optional
        With its comparison of groups when one was asked for.
    stability : StabilityResult, optional
        When the file has two or more reference genes (declared, or named by the settings).
    study : StudyRun, optional
        Every plate of the file, for a study of several runs joined by inter-run calibration.
    """

    file: str
    sha256: str
    size: int
    format: str
    kind: str
    description: str
    runs: dict
    amplification: list
    standards: dict
    melts: list
    quantities: Optional[QuantifyResult]
    stability: Optional[StabilityResult] = None
    study: Optional[StudyRun] = None


# -- one file ---------------------------------------------------------------------

@dataclass(kw_only=True)
class FileResult:
    """Everything one analysis made of one file.

    Attributes
    ----------
    command : str
        The analysis ("amplify", "melt", ...).
    file : str
    plates : list
        What the plots draw: AmplificationPlate, MeltPlate, StandardPlate or QuantifyResult.
    tables : dict
        Table name -> list of rows; the first table is the command's main one.
    warnings : list of str
        Shown once the whole run has succeeded.
    notes : list of str
        What the reader and the analysis did that a user should know: readings
        sorted into order, a run renamed because its id repeats, melts resampled.
    geometry : dict
        Run id -> :class:`~quelmar.reading.readers.Geometry`, for files that say (RDML).
    source : PlateRead, optional
        The file as read, readings and all, where the settings ask for it
        (an RDML output writes it back); None otherwise.
    """

    command: str
    file: str
    plates: list
    tables: dict
    warnings: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    geometry: dict = field(default_factory=dict)
    source: object = None

    def flag_counts(self):
        """Wells per flag over every table row that has flags."""
        return _flags.count(r.flags for rows in self.tables.values() for r in rows if hasattr(r, "flags"))


def columns_of(row_type):
    """The column names of a row type, in field order."""
    return tuple(f.name for f in fields(row_type))

#: The tables of a report, in the order the page shows them, with their rows' columns.
REPORT_TABLES = {"amplification": columns_of(AmplificationWell), "standard wells": columns_of(StandardWell),
                 "standard curves": columns_of(StandardFit), "standard unknowns": columns_of(UnknownQuantity),
                 "relative quantities": columns_of(RelativeQuantity), "comparisons": columns_of(GroupComparison),
                 "anova": columns_of(GroupAnova), "inter-run calibration": columns_of(RunCalibration),
                 "reference genes": columns_of(ReferenceGene), "pairwise variation": columns_of(PairwiseVariation),
                 "melting wells": columns_of(MeltWell), "melting peaks": columns_of(MeltPeak)}


def cell(value):
    """A value as JSON understands it: NaN and infinities become None, tuples lists, numpy scalars Python ones."""
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return value if math.isfinite(value) else None
    if isinstance(value, (np.integer, np.bool_)):
        return value.item()
    if isinstance(value, (tuple, list)):
        return [cell(v) for v in value]
    return value


def text(value, digits=None):
    """A value as a CSV or table cell: NaN empty, tuples joined by commas, floats in full, or to
    ``digits`` decimals, or by a format such as ".3g" (for values of any size)."""
    if isinstance(value, (float, np.floating)):
        value = float(value)
        if not math.isfinite(value):
            return "" if math.isnan(value) else ("inf" if value > 0 else "-inf")
        if digits is None:
            return repr(value)
        return format(value, digits) if isinstance(digits, str) else f"{value:.{digits}f}"
    if isinstance(value, (tuple, list)):
        return ",".join(text(v, digits) for v in value)
    return str(value)
