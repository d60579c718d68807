"""The ``quelmar`` command: amplification, melting, standard curves and relative
quantities of RDML and CSV files, as a table, CSV or JSON, and plots.

Every subcommand is one entry of :func:`commands`: its name and help, the
options it adds, the job run on each file (:mod:`quelmar.command.jobs`), the
columns of its tables, its plot and its text table. The rest is shared: the
files are analysed one at a time (or in ``--jobs`` worker processes), the
typed results streamed to the writers, the outputs renamed into place only
when every file has succeeded, and any failure reported as one line naming
the file, with exit status 2.
"""
import argparse
import contextlib
import functools
import os
import sys
import time
import warnings
from dataclasses import dataclass, replace

# Only what every start needs is imported here: the analyses, their results and writers (numpy, the
# library) are imported by the subcommand that runs, so that `quelmar flags` and --help start at once.
from ..common import signals
from ..common.errors import QuelmarError
from ..common.flags import EXCLUDING, VOCABULARY
from ..common.limits import STDIN, STDIN_NAME
from ..common.text import encodable, printable
from . import stopping
from .stopping import Terminated, terminable

PROG = "quelmar"
#: Panels in one picture; past this the plot shows the first plates and says so.
MAX_PANELS = 24
MAX_JOBS = 64
#: What the text of ``references`` lists of the samples and wells left out, at most.
MAX_LEFT_OUT = 6
EPILOG_WIDTH = 76

EPILOG = """\
Files: RDML 1.0 to 1.4 (.rdml, .rdm, .xml), or CSV with a header row, the
cycle (or temperature) in the first column and one column per well. Several
files are analysed one after the other (--jobs N: N at a time); their rows
go into one table.

Units: the amplification analysis has fixed levels set for raw instrument
readings (thousands to tens of thousands). Each plate (one run and target) is
scaled by a power of ten that brings its largest reading near 10,000;
thresholds and plots stay in the file's own units, Ct values in the file's
own cycle numbers. --scale none analyses the readings as they are, --scale F
multiplies them by F.

Outputs (--out, --plot) are written exactly as named, only once every file
has been analysed: a failed run leaves no file behind.

{input}

Exit status: 0 on success, 2 on bad input (one line on stderr)."""

INPUT = ("Input: only regular files are read, or - for standard input (once). What one file may hold is bounded "
         "({limits}); --limits NAME=SIZE,... or QUELMAR_LIMITS in the environment raises or lowers the bounds.")

EXAMPLES = """\
Examples, from the project root:
  python3 -m quelmar amplify data/rdml/stepone_std.rdml --plot amplification.png
  python3 -m quelmar amplify data/rdml/lc96_bACTXY.rdml --target FAM@bACT --out ct.csv
  python3 -m quelmar quantify data/rdml/BioRad_384.rdml --calibrator Placebo --plot rq.png
  python3 -m quelmar quantify data/rdml/BioRad_384.rdml --compare Placebo,"Compound A" --plot compare.png
  python3 -m quelmar references data/rdml/lc96_bACTXY.rdml --reference FAM@bACT,Hex@X,Cy5@IPC --plot m.png
  python3 -m quelmar amplify data/rdml/BioRad_qPCR_melt.rdml --target Eva --log --plot log.png
  python3 -m quelmar melt data/dyemelt.csv --plot melting.png
  python3 -m quelmar melt data/rdml/BioRad_qPCR_melt.rdml --summary --out tm.csv --plot melting.png
  python3 -m quelmar standard data/rdml/stepone_std.rdml --plot standard.png
  python3 -m quelmar report data/rdml/BioRad_384.rdml --calibrator Placebo --out report.html
  python3 -m quelmar flags

"""


class Parser(argparse.ArgumentParser):
    """argparse, with a bad option reported in one line like every other failure."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {printable(message)} (see {self.prog} --help)\n")


# -- the options -------------------------------------------------------------------

def _number(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None


def _jobs(text):
    try:
        n = int(text)
    except ValueError:
        n = 0
    if not 1 <= n <= MAX_JOBS:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to {MAX_JOBS}, not {text!r}")
    return n


def _amplification_options(p):
    p.add_argument("--threshold", type=_number, metavar="X",
                   help="read the linear Ct at X (file units) instead of the plate threshold (the window Cq keeps "
                        "its target's own threshold)")
    p.add_argument("--scale", default="auto", metavar="auto|none|F", help="unit scaling of each plate (default: auto)")
    p.add_argument("--max-ct", type=_number, metavar="CT",
                   help="flag a Ct past CT late-ct (always: a Ct in the last five cycles)")


def _ct_option(p):
    from ..analysis.settings import CT_KINDS, DEFAULT_CT
    p.add_argument("--ct", choices=CT_KINDS, default=DEFAULT_CT,
                   help="the Ct used: window (default), the window-of-linearity Cq, at a threshold inside each "
                        "target's log-linear phase with the signal read against each well's plateau (the most "
                        "precise on the bundled plates and files); linear, the library's threshold crossing; "
                        "sigmoid, from its fitted logistic")


def _amplify_arguments(p):
    _amplification_options(p)
    _ct_option(p)
    p.add_argument("--log", action="store_true", help="draw the curves on a logarithmic fluorescence axis")


def _melt_arguments(p):
    _melt_options(p)
    p.add_argument("--summary", action="store_true",
                   help="--out as CSV holds one row per well (main Tm, height, peaks, flags, range, resampling) "
                        "instead of one per peak; JSON holds both tables")


def _melt_options(p):
    from ..analysis.melting import EDGE, MAX_FWHM
    p.add_argument("--range", metavar="LO:HI",
                   help=f"seek peaks from LO to HI degrees (either may be left out). Default: chosen per well "
                        f"from its -dF/dT: the first and last {EDGE:g} degree are left out, and so is the "
                        f"low-temperature background below the first product-like peak (a falling slope, or a "
                        f"hump wider than any product); primer dimers and several products stay in")
    p.add_argument("--max-fwhm", type=_number, default=MAX_FWHM, metavar="DEG",
                   help=f"widest full width at half maximum of a product peak (default: {MAX_FWHM:g}; readings "
                        f"coarser than 0.1 degree widen peaks, which is allowed for)")


def _standard_arguments(p):
    _amplification_options(p)
    _ct_option(p)
    p.add_argument("--quantity", action="append", default=[], metavar="NAME=Q",
                   help="give wells named NAME (or NAME followed by a separator, e.g. NAME_1) the quantity Q; "
                        "repeat for each dilution (for CSV files, which carry no quantities)")


def _quantify_arguments(p):
    _amplification_options(p)
    _ct_option(p)
    _quantification_options(p, default="the first group of --compare")


def _references_arguments(p):
    _amplification_options(p)
    _ct_option(p)
    p.add_argument("--reference", metavar="GENE[,GENE...]",
                   help="the candidate reference genes, two or more (default: the file's targets of type ref)")
    _efficiency_option(p)


def _quantification_options(p, default):
    p.add_argument("--calibrator", metavar="SAMPLE",
                   help=f"the sample (or group, with a sheet's group column) every quantity is relative to (default: "
                        f"{default})")
    p.add_argument("--reference", metavar="GENE[,GENE...]",
                   help="reference genes (default: the file's targets of type ref)")
    _efficiency_option(p)
    p.add_argument("--error", default="ci95", choices=("ci95", "ci99", "sd", "2sd"),
                   help="error bars: Student-t 95 %% or 99 %% confidence interval (default ci95), or 1 or 2 SD; "
                        "fold changes of --compare get 99 %% intervals with ci99, else 95 %%")
    p.add_argument("--compare", metavar="A,B[,C...]|all",
                   help="test the groups (a sheet's group column or the file's) on their normalised relative "
                        "quantities, per target: two by Welch's t-test and a randomisation test, more by one-way "
                        "ANOVA and every pair; fold changes are B over A. Without groups, two samples are compared "
                        "through their wells (technical replicates). all: every group of the design")
    p.add_argument("--adjust", default="holm", choices=("holm", "bh"),
                   help="adjust the p-values over the targets by Holm's method (default) or Benjamini-Hochberg's")
    p.add_argument("--irc", metavar="SAMPLE[,SAMPLE...]",
                   help="inter-run calibrators, measured in every run: the runs of every file are brought onto "
                        "one scale and give one table (a sheet's irc column marks them too)")


def _efficiency_option(p):
    from ..analysis.settings import DEFAULT_EFFICIENCY
    p.add_argument("--efficiency", default=DEFAULT_EFFICIENCY, metavar="window|2|standard|wells|file|E|TARGET=E,...",
                   help="window (default): each target's mean efficiency in its window of linearity; 2: the "
                        "comparative Ct method, RQ = 2^-ddCt; standard: each target's efficiency from its standard "
                        "curve in the same file; wells: the mean of each well's own efficiency from its steepest "
                        "log-linear stretch (noisier, and biased low where the baseline drifts); file: the "
                        "efficiency the RDML file states for each target; E: one amplification factor for every "
                        "target; TARGET=E,...: per target (others 2). Any but 2 gives efficiency-corrected ratios "
                        "of E^-Ct")


def _report_arguments(p):
    _standard_arguments(p)
    _quantification_options(p, default="none, and no relative quantities unless --compare is given")
    _melt_options(p)


def _show_nothing(result, out, full):
    """The report is its page; nothing goes to stdout."""


# -- the text tables on stdout ------------------------------------------------------

def _flag_line(counts):
    return "flags: " + (", ".join(f"{n} {k}" for n, k in counts.items()) if counts else "none")


def _plate_size(result, run):
    """"; 8 x 12 plate" when the file says how large the run's plate is, else nothing."""
    geometry = result.geometry.get(run)
    return f"; {geometry.rows} x {geometry.columns} plate" if geometry is not None and geometry.rows else ""


def _show_amplify(result, out, full):
    from ..writing.writers import format_table
    if not full:
        return
    for p in result.plates:
        out.line()
        out.line(f"{os.path.basename(p.file)}  {p.label}: {len(p.wells)} wells, scale {p.scale:g}, "
                 f"threshold {p.threshold:.4g}{_plate_size(result, p.run)}")
        out.write(format_table(p.wells, ("well", "sample", "sample_type", "ct_linear", "ct_sigmoid", "ct_window",
                                         "efficiency_window", "n0", "file_cq", "window_note", "flags", "excluded"),
                               (6, 20, 5, -7, -7, -7, -6, -9, -8, 12, 5, 0),
                               dict(ct_linear=3, ct_sigmoid=3, ct_window=3, efficiency_window=3, n0=".3g", file_cq=2),
                               dict(sample_type="type", ct_linear="linear", ct_sigmoid="sigmoid", ct_window="window",
                                    efficiency_window="E", window_note="no window Cq")))
        out.line(f"window of linearity: mean efficiency {p.window_efficiency:.3f} (SD {p.window_efficiency_sd:.3f}, "
                 f"{p.window_wells} wells), threshold {p.window_threshold:.4g}"
                 + ("; the readings came with their baseline removed, and its zero is kept" if p.window_baseline_kept
                    else ""))
        out.line(_flag_line(p.flag_counts()))


def _show_melt(result, out, full):
    from ..writing.writers import format_table
    if not full:
        return
    for p in result.plates:
        rows = [c.summary for c in p.curves]
        resampled = sum(r.resampled for r in rows)
        out.line()
        out.line(f"{os.path.basename(p.file)}  {p.label}: {len(rows)} wells"
                 + (f", {resampled} resampled onto even steps" if resampled else "") + _plate_size(result, p.run))
        out.write(format_table(rows, ("well", "sample", "sample_type", "tm", "height", "peaks", "range_low",
                                      "range_high", "flags", "excluded"), (6, 20, 5, -6, -9, -5, -6, -6, 5, 0),
                               dict(tm=2, height=3, range_low=1, range_high=1),
                               dict(sample_type="type", range_low="from", range_high="to")))
        out.line(_flag_line(p.flag_counts()))


def _show_standard(result, out, full):
    from ..writing.writers import format_table
    for p in result.plates:
        f = p.fit
        if f is None:
            continue
        out.line(f"{os.path.basename(result.file)}  {p.label or 'plate'}: {f.n} wells, {f.quantities} quantities "
                 f"({f.quantity_low:g} to {f.quantity_high:g}), {f.ct_kind} Ct, slope {f.slope:.4f}, intercept "
                 f"{f.intercept:.3f}, efficiency {f.efficiency:.1f} %, R² {f.r_squared:.4f}"
                 f"{'  (' + f.warning + ')' if f.warning else ''}")
        if f.excluded:
            out.line(f"  left out of the fit: {', '.join(f.excluded)}")
        if full:
            out.write(format_table(p.wells, ("well", "sample", "role", "ct", "quantity", "flags", "excluded", "note"),
                                   (6, 20, 8, -7, -12, 5, 8, 0), dict(ct=3, quantity=4)) + "\n")


def _show_quantify(result, out, full):
    from ..writing.writers import format_table
    if not full:
        return
    for q in result.plates:
        out.line()
        out.line(f"{os.path.basename(q.file)}: relative quantities {q.label}; {q.method}, {q.error} error bars")
        out.write(format_table(q.rows, ("sample", "target", "n", "delta_ct", "delta_delta_ct", "rq", "rq_low",
                                        "rq_high", "efficiency", "flags", "excluded", "note"),
                               (16, 12, -3, -8, -14, -8, -8, -8, -10, 5, 8, 0),
                               dict(delta_ct=3, delta_delta_ct=3, rq=4, rq_low=4, rq_high=4, efficiency=3)))
        if q.calibration:
            out.line()
            out.line(f"inter-run calibration by {', '.join(q.calibrators)}: Cq offsets subtracted per run and "
                     f"target, factors E^-offset that quantities are divided by")
            out.write(format_table(q.calibration, ("file", "run", "target", "offset", "se", "factor", "factor_low",
                                                   "factor_high"), (24, 16, 12, -8, -7, -8, -10, -11),
                                   dict(offset=3, se=3, factor=4, factor_low=4, factor_high=4)))
        if q.comparison is not None:
            _show_comparison(q.comparison, out)


def _show_comparison(c, out):
    from ..writing.writers import format_table
    out.line()
    out.line(f"{os.path.basename(c.file)}: comparison of {c.label}; fold change of B over A with "
             f"{c.level * 100:g} % interval, Welch's t-test and REST's randomisation test, p adjusted by "
             f"{c.adjustment_name}")
    if c.anova:
        out.write(format_table(c.anova, ("target", "groups", "n", "f", "df_between", "df_within", "p", "p_adjusted",
                                         "significance", "note"), (12, 24, 10, -8, -10, -9, -10, -10, 4, 0),
                               dict(f=3, p=6, p_adjusted=6), dict(df_between="df1", df_within="df2",
                                                                 significance="")) + "\n")
    out.write(format_table(c.rows, ("target", "group_a", "group_b", "n_a", "n_b", "fold_change", "fold_low",
                                    "fold_high", "p", "p_adjusted", "p_randomisation", "significance", "note"),
                           (12, 14, 14, -3, -3, -11, -8, -9, -10, -10, -15, 4, 0),
                           dict(fold_change=4, fold_low=4, fold_high=4, p=6, p_adjusted=6, p_randomisation=4),
                           dict(group_a="A", group_b="B", significance="")))


def _show_references(result, out, full):
    from ..writing.writers import format_table
    for r in result.plates:
        out.line()
        out.line(f"{os.path.basename(r.file)}: {r.label}; {len(r.samples)} samples")
        for line in r.verdict:
            out.line(f"  {line}")
        if r.left_out:
            shown = "; ".join(r.left_out[:MAX_LEFT_OUT])
            more = f"; and {len(r.left_out) - MAX_LEFT_OUT} more" if len(r.left_out) > MAX_LEFT_OUT else ""
            out.line(f"  left out: {shown}{more}")
        if full:
            out.write(format_table(r.genes_table, ("gene", "m", "genorm_rank", "m_excluded", "normfinder",
                                                   "normfinder_rank"), (20, -7, -6, -10, -10, -10),
                                   dict(m=3, m_excluded=3, normfinder=3),
                                   dict(m="M", genorm_rank="rank", m_excluded="M (left)", normfinder_rank="rank")))
            if r.pairs_table:
                out.write(format_table(r.pairs_table, ("pair", "v", "below_cutoff"), (8, -7, 0), dict(v=3),
                                       dict(v="V", below_cutoff=f"below {r.v_cutoff:g}")))


def _show_standard_unknowns(result, out, full):
    from ..writing.writers import format_table
    _show_standard(result, out, full)
    unknowns = [u for p in result.plates for u in getattr(p, "unknowns", ())]
    if full and unknowns:
        level = unknowns[0].level
        out.line(f"unknowns per sample: the quantity at the mean Ct of its wells, {level * 100:g} % "
                 f"inverse-prediction interval")
        out.write(format_table(unknowns, ("sample", "target", "wells", "ct", "quantity", "quantity_low",
                                          "quantity_high", "inside", "note"), (20, 12, -5, -7, -12, -12, -12, 6, 0),
                               dict(ct=3, quantity=4, quantity_low=4, quantity_high=4),
                               dict(quantity_low="low", quantity_high="high", inside="range")) + "\n")


# -- the table of subcommands -----------------------------------------------------

@dataclass(frozen=True)
class Subcommand:
    """One job of the command.

    Attributes
    ----------
    name, help : str
    arguments : callable
        Adds the job's own options to its parser (the shared ones are added for every job).
    run : callable
        (path, AnalysisSettings) -> FileResult: the job of one file, run in a worker.
    columns : dict
        Table name -> row type; the first table is the one CSV and the text table hold.
    plot : callable, optional
        (plates, note) -> matplotlib figure.
    show : callable
        (FileResult, out, full) writes the text table; full is False when --out takes the table.
    writer : callable, optional
        (path, command, columns, header) -> the writer of --out, for a job whose output is not a table;
        --out is then required and ends in one of ``outputs``.
    combine : callable, optional
        (results, settings) -> one more FileResult made of every file's, or None: for a study of several
        runs joined by inter-run calibrators (``settings.irc``); the files' own results are then not written.
    keep : bool
        With ``combine``: the files' own results are written too, before the combined one (the report).
    rdml : bool
        --out may also be an RDML file: the input written back with the job's results.
    """

    name: str
    help: str
    arguments: object
    run: object
    columns: dict
    plot: object
    show: object
    writer: object = None
    outputs: tuple = ()
    combine: object = None
    keep: bool = False
    rdml: bool = False


#: Each subcommand's help, for the parser (which builds only the chosen one's options).
HELP = {
    "amplify": "Linear, sigmoid and window-of-linearity Ct, PCR efficiency, N0 and quality flags per well.",
    "melt": "Melting peaks per well: Tm, height and width of each fitted Gaussian, the main (product's) peak, and "
            "the melt quality flags. Unsorted, repeated, falling or unevenly spaced readings are first put on an "
            "even grid (the summary says how).",
    "standard": "Standard curve per target (slope, intercept, efficiency, R²) and the quantity of every unknown "
                "read off it: per well, and per sample at its wells' mean Ct with an inverse-prediction confidence "
                "interval. Standards without a Ct or flagged replicate-outlier are left out of the fit and named.",
    "quantify": "Relative quantities of every target in every sample against a calibrator, normalised to reference "
                "genes, with error bars; with --compare, tests between groups; with --irc, several runs and files "
                "on one scale in one table.",
    "references": "Stability of the candidate reference genes across the samples: geNorm's M and pairwise "
                  "variation V(n/n+1), NormFinder's stability value (with the groups of a design), and which genes "
                  "to normalise by.",
    "report": "One self-contained HTML page of each run: plate maps, curves, melts, standard curves with unknowns, "
              "reference-gene stability, relative quantities (with --calibrator), tests between groups "
              "(--compare), a study joined by inter-run calibrators (--irc), every flag and every table.",
    "flags": "The quality flags and what each means.",
}


class _LazyPlots:
    """:mod:`quelmar.writing.plots` as the table names it, imported only when a picture is drawn:
    matplotlib takes longer to load than most runs take, and most runs draw nothing."""

    def __getattr__(self, name):
        def draw(*args, **kwargs):
            from ..writing import plots
            return getattr(plots, name)(*args, **kwargs)
        draw.__name__ = name
        return draw


def _report_writer(*args):
    """The report's page writer, imported when a report is written."""
    from ..report.page import HtmlReport
    return HtmlReport(*args)


def _table():
    from ..results import (REPORT_TABLES, AmplificationWell, Finding, GroupAnova, GroupComparison, MeltPeak,
                           MeltWell, PairwiseVariation, ReferenceGene, RelativeQuantity, RunCalibration, StandardFit,
                           StandardWell, UnknownQuantity, columns_of)
    from . import jobs
    plots = _LazyPlots()

    def cols(**tables):
        return {name: columns_of(t) for name, t in tables.items()}
    return {c.name: c for c in (
        Subcommand("amplify", HELP["amplify"], _amplify_arguments, jobs.amplify, cols(wells=AmplificationWell),
                   plots.amplify, _show_amplify, rdml=True),
        Subcommand("melt", HELP["melt"], _melt_arguments, jobs.melt, cols(peaks=MeltPeak, wells=MeltWell), plots.melt,
                   _show_melt, rdml=True),
        Subcommand("standard", HELP["standard"], _standard_arguments, jobs.standard,
                   cols(wells=StandardWell, fits=StandardFit, unknowns=UnknownQuantity), plots.standard,
                   _show_standard_unknowns),
        Subcommand("quantify", HELP["quantify"], _quantify_arguments, jobs.quantify,
                   cols(quantities=RelativeQuantity, comparisons=GroupComparison, anova=GroupAnova,
                        calibration=RunCalibration), plots.quantify, _show_quantify,
                   combine=jobs.quantify_study_result),
        Subcommand("references", HELP["references"], _references_arguments, jobs.references,
                   cols(genes=ReferenceGene, pairs=PairwiseVariation, verdict=Finding), plots.references,
                   _show_references),
        Subcommand("report", HELP["report"], _report_arguments, jobs.report, REPORT_TABLES, None, _show_nothing,
                   _report_writer, (".html",), combine=jobs.report_study, keep=True),
    )}


_COMMANDS = None


def commands():
    """The table of subcommands, name -> :class:`Subcommand` (built on first use)."""
    global _COMMANDS
    if _COMMANDS is None:
        _COMMANDS = _table()
    return _COMMANDS


def _limits_text():
    """The default limits as --limits spells them: "file 256M, ..., members 10000"."""
    from ..common.limits import Limits, format_size
    default = Limits()
    return ", ".join(f"{name} {format_size(getattr(default, key))}" for name, key in Limits.NAMES.items())


def _epilog():
    import textwrap
    return EPILOG.format(input=textwrap.fill(INPUT.format(limits=_limits_text()), EPILOG_WIDTH))


def _chosen(argv):
    """The subcommand ``argv`` names: its first word that is no option (the command's own options are
    only -h and --help), or None."""
    return next((a for a in argv if not a.startswith("-")), None)


def _parser(chosen=None, helping=True):
    """The command's parser; only the ``chosen`` subcommand gets its options (each job's options import
    its analyses), the others are listed by name and help; the examples and notes that end a help
    text only when ``helping``."""
    epilog = _epilog() if helping else None
    p = Parser(prog=PROG, description="qPCR analysis of RDML and CSV files with libQuelmarAlg.",
               epilog=EXAMPLES + epilog if helping else None, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)
    for name, text in HELP.items():
        s = sub.add_parser(name, help=text, description=text, epilog=None if name == "flags" else epilog,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        if name == chosen and name != "flags":
            _job_arguments(s, commands()[name])
    return p


def _job_arguments(s, c):
    """The options of the job of :class:`Subcommand` ``c`` on its parser ``s``."""
    s.add_argument("files", nargs="+", metavar="FILE", help="RDML or CSV file(s)")
    s.add_argument("--target", metavar="NAME", help="only this target (an id, or the start of one)")
    s.add_argument("--samples", metavar="SHEET",
                   help="a CSV sample sheet (columns well, sample, target, type, optional quantity, group, "
                        "exclude) whose annotations override the file's")
    s.add_argument("--exclude", action="append", metavar="WELL[:TARGET],...",
                   help="leave these wells out of standard curves and relative quantities (every target of "
                        "the well, or only TARGET); the tables list them with the reason")
    s.add_argument("--keep", action="append", metavar="FLAG[,FLAG...]",
                   help=f"wells with this flag are not excluded for it (flags that exclude: {', '.join(EXCLUDING)})")
    c.arguments(s)
    if c.writer:
        s.add_argument("--out", metavar="PATH", help=f"the file to write ({' or '.join(c.outputs)}); required")
    else:
        s.add_argument("--out", metavar="PATH", help="write the table as .csv or .json (every table) instead of stdout"
                       + ("; .rdml: the input file (one) as RDML 1.3 with the results" if c.rdml else ""))
    if c.plot:
        s.add_argument("--plot", metavar="PNG", help="write a picture (.png, .svg or .pdf)")
    else:
        s.set_defaults(plot=None)
    s.add_argument("--jobs", "-j", type=_jobs, default=1, metavar="N", help="analyse N files at a time")
    s.add_argument("--limits", metavar="NAME=SIZE[,...]",
                   help="what one input may hold, over QUELMAR_LIMITS and the defaults: file, document "
                        "(inflated), readings, wells, token, depth, line, members; SIZE with K, M or G, "
                        "e.g. file=1G,document=2G")
    s.add_argument("--quiet", "-q", action="store_true", help="no progress or warnings on stderr")


# -- running the files ------------------------------------------------------------

class Progress:
    """One progress line on stderr, shown only once the work takes more than a moment."""

    def __init__(self, quiet):
        self.quiet, self.start, self.shown = quiet, time.monotonic(), 0.0
        self.tty = sys.stderr.isatty()

    def __call__(self, text):
        now = time.monotonic()
        if self.quiet or now - self.start < 0.5 or (not self.tty and now - self.shown < 2.0):
            return
        self.shown = now
        text = printable(text)  # it names a file
        sys.stderr.write(f"\r\033[K{text}" if self.tty else f"{text}\n")
        sys.stderr.flush()

    def done(self):
        if self.shown and self.tty:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
        self.shown = 0.0


class Failure(Exception):
    """A file that could not be analysed: the one line to show."""


def describe(error, path):
    """One line for a failure, naming the file (as the messages show it: every byte of a name that is not
    UTF-8, and every control character, written as its escape)."""
    path = STDIN_NAME if path == STDIN else printable(path)
    if isinstance(error, OSError) and error.strerror:
        text = f"{error.filename or path}: {error.strerror}"
    elif isinstance(error, MemoryError):
        text = f"{path}: out of memory"
    elif isinstance(error, (QuelmarError, ValueError)):
        from .options import command_words
        text = command_words(error)
    else:
        text = f"{type(error).__name__}: {error}"
    text = printable(" ".join(text.split()))
    return text if path in text or os.path.basename(path) in text else f"{path}: {text}"


def _work(name, path, settings):
    """Analyse one file; in a worker, so every failure comes back as its line.

    Warnings (numpy's on a NaN or an overflow) are not shown: the analyses
    find what matters in their results, and a failure is one line.
    """
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return commands()[name].run(path, settings)
    except Exception as e:  # noqa: BLE001 - every failure becomes one line naming the file
        if os.environ.get("QUELMAR_TRACEBACK"):
            raise
        return Failure(describe(e, path))


def analyse(name, files, settings, jobs, progress):
    """The results of every file, in order, as they are done; raises :class:`Failure` at the first failure."""
    label = f"{PROG} {name}"
    if jobs == 1 or len(files) == 1:
        for k, path in enumerate(files, 1):
            progress(f"{label}: file {k}/{len(files)}, {os.path.basename(path)}")
            result = _work(name, path, settings)
            if isinstance(result, Failure):
                raise result
            yield result
        return
    yield from _in_workers(name, files, settings, min(jobs, len(files)), progress, label)


def _size(path):
    """A file's size in bytes, the measure of its work; 0 for what is no regular file (refused in its turn)."""
    try:
        return os.stat(path).st_size if path != STDIN else 0
    except (OSError, ValueError):
        return 0


def _in_workers(name, files, settings, jobs, progress, label):
    """analyse() in worker processes (:mod:`.workers`): one file per worker at a time, results in input order.

    A worker that dies (killed for memory, a crash in the library) fails the
    run naming its file, rather than leaving it waiting.
    """
    from .workers import WorkerDied, in_workers
    work = functools.partial(_work, name, settings=settings)
    try:
        for done, result in enumerate(in_workers(work, files, jobs, local=lambda path: path == STDIN, size=_size), 1):
            progress(f"{label}: {done}/{len(files)} files done")
            if isinstance(result, Failure):
                raise result
            yield result
    except WorkerDied as e:
        raise Failure(f"{printable(e.item)}: the worker analysing it ended abruptly (out of memory?)") from None


def run(args, progress):
    """Analyse every file and write the outputs; the warnings to show on success."""
    from ..binding import core
    from ..writing.writers import (PLOT_SUFFIXES, RDML_SUFFIX, TABLE_SUFFIXES, Stdout, TableWriter, check_destination,
                                   save_figure)
    from .options import settings_from, settings_record, settings_table
    command = commands()[args.command]
    inputs = list(args.files) + ([args.samples] if args.samples else [])
    outputs = command.outputs or TABLE_SUFFIXES + ((RDML_SUFFIX,) if command.rdml else ())
    if inputs.count(STDIN) > 1:
        raise ValueError(f"{STDIN} (standard input) is named {inputs.count(STDIN)} times; it can be read only once")
    settings = settings_from(args)
    as_rdml = bool(args.out) and args.out.lower().endswith(RDML_SUFFIX)
    if args.out:
        check_destination("--out", args.out, outputs, inputs)
    elif command.writer:
        raise ValueError(f"{command.name} writes a page: give --out PATH{outputs[0]}")
    if as_rdml:
        if len(args.files) != 1:
            raise ValueError(f"--out {args.out}: an RDML output holds one input file's runs, not {len(args.files)}")
        settings = replace(settings, keep_source=True)
    if args.plot:
        check_destination("--plot", args.plot, PLOT_SUFFIXES, inputs)  # never --out's: the suffixes differ
        if command.plot is None:
            raise ValueError(f"{args.command} has no plot")
        import matplotlib  # noqa: F401 - missing matplotlib is found before the work, not after
    header = dict(library_version=core.version(), settings=settings_record(args))
    if command.writer:
        header["command_line"] = [PROG] + [encodable(a) for a in args.argv]
        header["settings_table"] = settings_table(header["settings"])
    tables = command.columns
    if getattr(args, "summary", False):  # melt --summary: the per-well table is the one CSV holds
        tables = {"wells": tables["wells"], **tables}
    if settings.compare and "comparisons" in tables:  # quantify --compare: the tests are what CSV holds
        tables = {"comparisons": tables["comparisons"], **tables}
    if command.name == "quantify" and not (settings.calibrator or settings.compare):
        raise ValueError("quantify needs --calibrator SAMPLE, or --compare A,B[,...] (whose first group is then the "
                         "calibrator)")
    stdout, plates, total, warnings, pending = Stdout(), [], 0, [], []
    if as_rdml:
        from ..writing.rdml import RdmlWriter  # only a run that writes RDML waits for it
    writer_type = command.writer or (RdmlWriter if as_rdml else TableWriter)
    results = _results(command, args, settings, progress)
    writer = None
    try:
        # Held: a stop right after the writer made its file would not find it to remove. A stop held
        # here arrives as the block ends, inside the try, where the file is known.
        with signals.held():
            writer = writer_type(args.out, command.name, tables, header) if args.out else None
        for result in results:
            if writer:
                writer.add(result)
            command.show(result, stdout, not args.out)
            if not args.out:
                for note in result.notes:
                    stdout.line(f"note: {os.path.basename(result.file)}: {note}")
            total += len(result.plates)
            if args.plot:
                plates += result.plates[:MAX_PANELS - len(plates)]
            warnings += result.warnings
        progress.done()
        if args.plot and not plates:
            raise ValueError(f"{args.command}: nothing to plot")
        if args.plot:
            note = f"the first {len(plates)} of {total} plates" if total > len(plates) else ""
            options = dict(log=True) if getattr(args, "log", False) else {}
            save_figure(command.plot(plates, note, **options), args.plot, commit=False, pending=pending)
        stopping.check()  # a stop that Python could not raise where it arrived
        with signals.held():  # every output, or none
            if writer:
                writer.commit()
                warnings += [f"{args.out}: {note}" for note in getattr(writer, "notes", ())]
                writer = None
            for f in pending:
                f.commit()
            pending = []
    finally:
        results.close()  # workers ended, whichever way the run ends
        if writer:
            writer.discard()
        for f in pending:
            f.discard()
    stdout.release(sys.stdout)
    return warnings


def _results(command, args, settings, progress):
    """Every file's result as it is done; with inter-run calibrators, the study made of them all (after
    the files' own, for a job that keeps them)."""
    files = analyse(command.name, list(args.files), settings, args.jobs, progress)
    if not (settings.irc and command.combine):
        yield from files
        return
    done = []
    try:
        for result in files:
            done.append(result)
            if command.keep:
                yield result
    finally:
        files.close()  # workers ended, however this generator is left
    progress(f"{PROG} {command.name}: joining {len(done)} file{'s' if len(done) != 1 else ''} into one study")
    try:
        combined = command.combine(done, settings)
    except QuelmarError as e:
        from .options import command_words
        raise Failure(command_words(e)) from None
    if combined is not None:
        yield combined


def _print_flags():
    width = max(len(n) for n in VOCABULARY)
    for f in VOCABULARY.values():
        print(f"{f.name:<{width}}  {f.analysis:<13}  {f.explanation}")


def main(argv=None):
    """Run the command; returns the exit status (0, or 2 on bad input)."""
    words = list(sys.argv[1:] if argv is None else argv)
    try:
        args = _parser(_chosen(words), helping=bool({"-h", "--help"} & set(words))).parse_args(words)
    except SystemExit as e:  # --help, or a bad option already reported in one line
        return e.code
    if args.command == "flags":
        try:
            _print_flags()
        except BrokenPipeError:  # | head
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    args.argv = words
    progress = Progress(args.quiet)
    try:
        with terminable(), _printable_warnings():
            warnings = run(args, progress)
    except Terminated as e:  # outputs in progress removed and workers ended on the way out
        progress.done()
        return e.status
    except BrokenPipeError:  # the reader of stdout has seen enough (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        progress.done()
        return 130
    except Failure as e:
        problem = str(e)
    except Exception as e:  # noqa: BLE001 - options, outputs, the library: one line each
        if os.environ.get("QUELMAR_TRACEBACK"):
            raise
        problem = _option_problem(e)
    else:
        if not args.quiet:
            for w in warnings:
                print(f"{PROG}: warning: {printable(w)}", file=sys.stderr)
        return 0
    progress.done()
    print(f"{PROG}: {printable(problem)}", file=sys.stderr)
    return 2


@contextlib.contextmanager
def _printable_warnings():
    """Python's warnings (matplotlib's on a glyph its font lacks) shown with every control character
    as its escape: their text may quote a name from a file."""
    shown = warnings.showwarning

    def show(message, category, filename, lineno, file=None, line=None):
        text = warnings.formatwarning(message, category, filename, lineno, line)
        (file or sys.stderr).write("".join(printable(t) + "\n" for t in text.splitlines()))
    warnings.showwarning = show
    try:
        yield
    finally:
        warnings.showwarning = shown


def _option_problem(error):
    if isinstance(error, ImportError):  # matplotlib for --plot
        return f"{error} (Debian: apt-get install python3-matplotlib)"
    if isinstance(error, OSError) and error.filename:
        return f"{error.filename}: {error.strerror}"
    return " ".join(str(error).split()) or type(error).__name__
