"""The ``quelmar`` command: amplification, melting and standard curves of
RDML and CSV files, as a table, CSV or JSON, and plots."""
import argparse
import csv
import json
import math
import os
import sys
import time
import zipfile

PROG = "quelmar"

EPILOG = """\
Files: RDML 1.0 to 1.4 (.rdml, .rdm, .xml), or CSV with a header row, the
cycle (or temperature) in the first column and one column per well.

Units: the amplification analysis has fixed levels set for raw instrument
readings (thousands to tens of thousands). Each plate (one run and target) is
scaled by a power of ten that brings its largest reading near 10,000;
thresholds and plots stay in the file's own units. --scale none analyses the
readings as they are, --scale F multiplies them by F.

Exit status: 0 on success, 2 on bad input (one line on stderr)."""


EXAMPLES = """\
Examples, from the project root:
  python3 -m quelmar amplify data/rdml/stepone_std.rdml --plot amplification.png
  python3 -m quelmar amplify data/rdml/lc96_bACTXY.rdml --target FAM@bACT --out ct.csv
  python3 -m quelmar melt data/dyemelt.csv --plot melting.png
  python3 -m quelmar melt data/rdml/BioRad_qPCR_melt.rdml --range 65:95 --max-fwhm 8
  python3 -m quelmar standard data/rdml/stepone_std.rdml --plot standard.png

"""


def _parser():
    p = argparse.ArgumentParser(prog=PROG, description="qPCR analysis of RDML and CSV files with libQuelmarAlg.",
                                epilog=EXAMPLES + EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help_text, scale=True):
        c = sub.add_parser(name, help=help_text, description=help_text, epilog=EPILOG,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        c.add_argument("files", nargs="+", metavar="FILE", help="RDML or CSV file(s)")
        c.add_argument("--target", metavar="NAME", help="only this target (an id, or the start of one)")
        if scale:
            c.add_argument("--threshold", type=float, metavar="X",
                           help="read the linear Ct at X (file units) instead of the plate threshold")
            c.add_argument("--scale", default="auto", metavar="auto|none|F",
                           help="unit scaling of each plate (default: auto)")
        c.add_argument("--out", metavar="PATH", help="write the results as CSV or JSON (by the suffix)")
        c.add_argument("--plot", metavar="PNG", help="write a plot")
        c.add_argument("--quiet", "-q", action="store_true", help="no progress on stderr")
        return c

    command("amplify", "Threshold, linear and sigmoid Ct per well.")
    m = command("melt", "Melting peaks per well: Tm, height and width of each fitted Gaussian.", scale=False)
    m.add_argument("--range", metavar="LO:HI", help="only the readings from LO to HI degrees (default: all)")
    m.add_argument("--max-fwhm", type=float, default=5.0, metavar="DEG",
                   help="widest full width at half maximum of a product peak (default: 5)")
    s = command("standard", "Standard curve of the wells with quantities: slope, intercept, efficiency, R².")
    s.add_argument("--quantity", action="append", default=[], metavar="NAME=Q",
                   help="give wells named NAME (or NAME followed by a separator, e.g. NAME_1) the quantity Q; "
                        "repeat for each dilution (for CSV files, which carry no quantities)")
    return p


class InputError(Exception):
    """Bad input found by the command itself."""


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
        sys.stderr.write(f"\r\033[K{text}" if self.tty else f"{text}\n")
        sys.stderr.flush()

    def done(self):
        if self.shown and self.tty:
            sys.stderr.write("\r\033[K")


def read_file(path, kind):
    """Read an RDML or CSV file by its content (a zip, or XML) or else as CSV."""
    from .csvplate import read_csv
    from .rdml import read_rdml
    with open(path, "rb") as f:
        head = f.read(64).lstrip()
    if zipfile.is_zipfile(path) or head.startswith(b"<") or path.lower().endswith((".rdml", ".rdm")):
        return read_rdml(path)
    return read_csv(path, kind)


def _fmt(value, digits=3):
    return "" if value is None or (isinstance(value, float) and math.isnan(value)) else \
        (f"{value:.{digits}f}" if isinstance(value, float) else str(value))


# -- the three analyses -------------------------------------------------------

def amplify(args, progress):
    """Rows per well and one summary per plate."""
    from .analysis import analyze_amplification
    from .units import parse_scale, plate_scale
    fixed = parse_scale(args.scale)
    plates, rows = [], []
    for path in args.files:
        groups = [g for g in read_file(path, "amplification").groups(args.target)]
        for k, g in enumerate(groups, 1):
            cycles, curves, wells = g.amplification()
            if not wells:
                continue
            progress(f"{PROG} amplify: {os.path.basename(path)}, plate {k}/{len(groups)} ({len(wells)} wells)")
            scale = plate_scale(curves) if fixed is None else fixed
            threshold = None if args.threshold is None else args.threshold * scale
            r = analyze_amplification(curves * scale, threshold=threshold)
            plate = dict(file=path, run=g.run, target=g.target, label=g.label, wells=len(wells), scale=scale,
                         threshold=r.threshold / scale, cycles=cycles, result=r, well_list=wells)
            plates.append(plate)
            for i, w in enumerate(wells):
                rows.append(dict(well=w.name, sample=w.sample, sample_type=w.sample_type, target=w.target,
                                 run=w.run, threshold=plate["threshold"], scale=scale,
                                 ct_linear=float(r.ct_linear[i]), ct_sigmoid=float(r.ct_sigmoid[i]),
                                 flags=r.flags[i], file_cq=w.cq, quantity=w.quantity, file=path))
    if not plates:
        raise InputError(f"{', '.join(args.files)}: no amplification data" +
                         (f" for target {args.target!r}" if args.target else ""))
    return plates, rows


def melt(args, progress):
    from .analysis import analyze_melt
    from .errors import QuelmarError
    lo, hi = -math.inf, math.inf
    if args.range:
        try:
            lo, hi = (float(v) if v else d for v, d in zip(args.range.split(":"), (-math.inf, math.inf)))
        except ValueError:
            raise InputError(f"--range {args.range!r}: expected LO:HI in degrees") from None
    plates, rows = [], []
    for path in args.files:
        for g in read_file(path, "melting").groups(args.target):
            wells = [w for w in g.wells if w.melt_fluor is not None]
            results = []
            for i, w in enumerate(wells):
                progress(f"{PROG} melt: {os.path.basename(path)}, {g.label}, well {i + 1}/{len(wells)}")
                try:
                    keep = (w.melt_temperature >= lo) & (w.melt_temperature <= hi)
                    m = analyze_melt(w.melt_temperature[keep], w.melt_fluor[keep], fwhm=(0.3, args.max_fwhm))
                except QuelmarError as e:
                    print(f"{PROG}: {path}: well {w.name}: no peaks ({e.english})", file=sys.stderr)
                    continue
                results.append((w, m))
                for k in range(m.tm.size):
                    rows.append(dict(well=w.name, sample=w.sample, target=w.target, run=w.run, peak=k + 1,
                                     tm=float(m.tm[k]), height=float(m.height[k]), width=float(m.width[k]),
                                     file=path))
            if wells:
                plates.append(dict(file=path, label=g.label, target=g.target, results=results))
    if not plates:
        raise InputError(f"{', '.join(args.files)}: no melting data" +
                         (f" for target {args.target!r}" if args.target else ""))
    return plates, rows


def _quantities(args):
    table = []
    for item in args.quantity:
        name, _, q = item.partition("=")
        try:
            table.append((name, float(q)))
        except ValueError:
            raise InputError(f"--quantity {item!r}: expected NAME=NUMBER") from None
    return table


def _assign(well, table):
    """The quantity given for the well's name by --quantity, else the file's."""
    for prefix, q in table:
        if well.name == prefix or (well.name.startswith(prefix) and not well.name[len(prefix)].isalnum()):
            return q
    return well.quantity


def standard(args, progress):
    from .analysis import standard_curve
    table = _quantities(args)
    plates, _ = amplify(args, progress)
    fits, rows = [], []
    for p in plates:
        q = [_assign(w, table) for w in p["well_list"]]
        ct = p["result"].ct_linear
        usable = [i for i in range(len(q)) if q[i] > 0 and math.isfinite(ct[i])]
        if len(usable) < 2:
            continue
        fit = standard_curve([q[i] for i in usable], [ct[i] for i in usable])
        fits.append(dict(p, fit=fit, quantities=[q[i] for i in usable], ct=[float(ct[i]) for i in usable]))
        rows.append(dict(target=p["target"], run=p["run"], slope=fit.slope, intercept=fit.intercept,
                         efficiency=fit.efficiency, r_squared=fit.r_squared, n=fit.n, scale=p["scale"],
                         threshold=p["threshold"], file=p["file"]))
    if not fits:
        raise InputError(f"{', '.join(args.files)}: no wells with a quantity and a Ct" +
                         ("" if table else " (CSV files carry no quantities: give them with --quantity NAME=Q)"))
    return fits, rows


# -- output ----------------------------------------------------------------------

COLUMNS = {
    "amplify": ["well", "sample", "sample_type", "target", "run", "threshold", "scale", "ct_linear", "ct_sigmoid",
                "flags", "file_cq", "quantity", "file"],
    "melt": ["well", "sample", "target", "run", "peak", "tm", "height", "width", "file"],
    "standard": ["target", "run", "slope", "intercept", "efficiency", "r_squared", "n", "scale", "threshold", "file"],
}


def write_out(path, command, rows):
    columns = COLUMNS[command]
    if path.lower().endswith(".json"):
        clean = [{c: (None if isinstance(r[c], float) and math.isnan(r[c]) else r[c]) for c in columns} for r in rows]
        with open(path, "w") as f:
            json.dump(clean, f, indent=1)
            f.write("\n")
    elif path.lower().endswith(".csv"):
        with open(path, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(columns)
            for r in rows:
                w.writerow(["" if isinstance(r[c], float) and math.isnan(r[c]) else r[c] for c in columns])
    else:
        raise InputError(f"--out {path}: the suffix must be .csv or .json")


def print_table(command, plates, rows):
    out = sys.stdout
    if command == "amplify":
        for p in plates:
            print(f"\n{os.path.basename(p['file'])}  {p['label']}: {p['wells']} wells, scale {p['scale']:g}, "
                  f"threshold {p['threshold']:.4g}", file=out)
            print(f"{'well':<6} {'sample':<20} {'type':<5} {'ct_linear':>9} {'ct_sigmoid':>10} {'file_cq':>8}  flags",
                  file=out)
            for r in (r for r in rows if r["file"] == p["file"] and r["run"] == p["run"]
                      and r["target"] == p["target"]):
                print(f"{r['well']:<6} {r['sample'][:20]:<20} {r['sample_type'][:5]:<5} {_fmt(r['ct_linear']):>9} "
                      f"{_fmt(r['ct_sigmoid']):>10} {_fmt(r['file_cq'], 2):>8}  {r['flags']}", file=out)
    elif command == "melt":
        print(f"{'well':<12} {'target':<20} {'peak':>4} {'tm':>7} {'height':>10} {'width':>7}", file=out)
        for r in rows:
            print(f"{r['well'][:12]:<12} {r['target'][:20]:<20} {r['peak']:>4} {r['tm']:7.2f} {r['height']:10.4g} "
                  f"{r['width']:7.3f}", file=out)
    else:
        for r in rows:
            print(f"{os.path.basename(r['file'])}  {r['target'] or 'plate'}: {r['n']} wells, slope {r['slope']:.4f}, "
                  f"intercept {r['intercept']:.3f}, efficiency {r['efficiency']:.1f} %, R² {r['r_squared']:.4f}",
                  file=out)


def main(argv=None):
    """Run the command; returns the exit status (0, or 2 on bad input)."""
    from .errors import QuelmarError
    args = _parser().parse_args(argv)
    progress = Progress(args.quiet)
    try:
        plates, rows = {"amplify": amplify, "melt": melt, "standard": standard}[args.command](args, progress)
        progress.done()
        # Files first: a reader that closes stdout early (| head) must not
        # cost the plot.
        if args.plot:
            from . import plots
            getattr(plots, args.command)(plates, args.plot)
        if args.out:
            write_out(args.out, args.command, rows)
        else:
            print_table(args.command, plates, rows)
        return 0
    except BrokenPipeError:  # the reader of stdout has seen enough (| head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except QuelmarError as e:  # a library failure names no file: say which
        problem = f"{', '.join(args.files)}: {e}" if e.code is not None else str(e)
    except (InputError, ValueError) as e:
        problem = str(e)
    except ImportError as e:  # matplotlib for --plot
        problem = f"{e} (Debian: apt-get install python3-matplotlib)"
    except KeyboardInterrupt:
        return 130
    except OSError as e:
        problem = f"{e.filename}: {e.strerror}" if e.filename else str(e)
    progress.done()
    print(f"{PROG}: {problem}", file=sys.stderr)
    return 2
