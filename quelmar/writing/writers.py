"""Writing the command's results: CSV and JSON tables, the text table on
stdout, and the rule every output follows.

Every file is written to a temporary file in the folder of its destination
and renamed onto it only when the whole run has succeeded, so a failed run
leaves no half-written file and never touches an existing one. A
destination is written exactly as named: its suffix must say its format
(nothing is appended), it must not be one of the inputs, and it must not be
something other than a regular file (a device, a folder, a pipe).

Rows are written as they arrive, one file at a time, so memory does not grow
with the number of inputs: CSV straight into the temporary file, JSON into
one spool per table that is stitched together at the end.

Names come from strangers. A CSV cell that a spreadsheet would take for a
formula (one that starts with ``=``, ``+``, ``-``, ``@``, a tab or a carriage
return, and is not a number) is written after a ``'``, which spreadsheets read
as "this is text" (OWASP's guidance on CSV injection). The text table shows
every control character as its escape (:func:`quelmar.common.text.printable`).
"""
import contextlib
import csv
import json
import os
import re
import stat
import tempfile

from ..common import flags as _flags
from ..common import signals
from ..common.errors import OutputError
from ..common.text import encodable, printable
from ..results import cell, text

TABLE_SUFFIXES = (".csv", ".json")
#: The input written back with its results (:mod:`quelmar.writing.rdml`).
RDML_SUFFIX = ".rdml"
PLOT_SUFFIXES = (".png", ".svg", ".pdf")

#: What a spreadsheet may read as the start of a formula, and the cells that are numbers all the same.
#: The report's script (``report.js``, ``spreadsheetCell``) applies the same two patterns.
FORMULA_START = "=+-@\t\r"
NUMBER = re.compile(r"[-+]?((\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|inf)")
#: What a spreadsheet reads as "text follows" and does not show.
TEXT_MARK = "'"


def spreadsheet_cell(value):
    """A CSV cell as written: text that a spreadsheet would run as a formula gets a leading ``'``,
    numbers (a negative one too) stay numbers."""
    value = encodable(value)
    if value[:1] and value[0] in FORMULA_START and not NUMBER.fullmatch(value):
        return TEXT_MARK + value
    return value


def _same(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_destination(option, path, suffixes, inputs):
    """Refuse a destination before any work is done (see the module docstring)."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in suffixes:
        raise OutputError(f"{option} {path}: the name must end in {' or '.join(suffixes)} "
                          f"(the file is written exactly as named)")
    for source in inputs:
        if source != "-" and _same(path, source):
            raise OutputError(f"{option} {path}: is an input of this run; it would be overwritten")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputError(f"{option} {path}: no such folder {folder}")
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    except OSError as e:
        raise OutputError(f"{option} {path}: {e.strerror}") from None
    if not stat.S_ISREG(mode):
        raise OutputError(f"{option} {path}: exists and is not a regular file")


@contextlib.contextmanager
def naming(path):
    """A failed write (a full disk, a vanished folder) names the destination, not a temporary file."""
    try:
        yield
    except OSError as e:
        raise OSError(e.errno, e.strerror or str(e), path) from None


class AtomicFile:
    """A temporary file beside ``path`` that becomes ``path`` on :meth:`commit`."""

    def __init__(self, path, binary=False):
        self.path = path
        folder = os.path.dirname(os.path.abspath(path))
        self.temp = self.file = None
        # Held: a stop between creating the file and knowing its name would leave it behind; one
        # delivered as the hold ends finds the name known and the file removed.
        try:
            with naming(path), signals.held():
                fd, self.temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
                try:
                    umask = os.umask(0)
                    os.umask(umask)
                    os.fchmod(fd, 0o666 & ~umask)
                    self.file = os.fdopen(fd, "wb" if binary else "w",
                                          **({} if binary else dict(encoding="utf-8", newline="")))
                except BaseException:
                    os.close(fd)
                    raise
        except BaseException:
            if self.temp is not None:
                self.discard()
            raise

    def commit(self):
        with naming(self.path):
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
            os.replace(self.temp, self.path)

    def discard(self):
        if self.file is not None and not self.file.closed:
            self.file.close()
        try:
            os.unlink(self.temp)
        except FileNotFoundError:
            pass


class TableWriter:
    """The results of a run as CSV (the main table) or JSON (every table), written as they arrive.

    Parameters
    ----------
    path : str
        Ends in .csv or .json.
    command : str
    tables : dict
        Table name -> columns, the main table first.
    header : dict, optional
        Extra top-level members of the JSON document (library version, settings).
    """

    def __init__(self, path, command, tables, header=None):
        self.command, self.tables, self.header = command, dict(tables), dict(header or {})
        self.json = path.lower().endswith(".json")
        self.files, self.inputs, self.spools = [], [], {}
        self.out = AtomicFile(path)
        try:
            if self.json:
                self.counts = dict.fromkeys(self.tables, 0)
                for name in self.tables:
                    self.spools[name] = tempfile.TemporaryFile("w+", encoding="utf-8")
            else:
                self.main, self.columns = next(iter(self.tables.items()))
                self.csv = csv.writer(self.out.file)
                self.csv.writerow(self.columns)
        except BaseException:  # a stop, or a full disk: the caller never gets a writer to discard
            self.discard()
            raise

    def add(self, result):
        """Write the rows of one :class:`~quelmar.results.FileResult`."""
        with naming(self.out.path):
            self._add(result)

    def _add(self, result):
        self.files.append(result.file)
        geometry = {run: dict(rows=g.rows, columns=g.columns, how=g.how) for run, g in result.geometry.items()}
        self.inputs.append(dict(file=result.file, geometry=geometry, notes=list(result.notes)))
        if not self.json:
            for row in result.tables.get(self.main, ()):
                self.csv.writerow([spreadsheet_cell(text(getattr(row, c))) for c in self.columns])
            return
        for name, columns in self.tables.items():
            spool = self.spools[name]
            for row in result.tables.get(name, ()):
                spool.write(",\n  " if self.counts[name] else "\n  ")
                spool.write(dumps({c: cell(getattr(row, c)) for c in columns}))
                self.counts[name] += 1

    def commit(self):
        if self.json:
            with naming(self.out.path):
                self._stitch()
        self.out.commit()

    def discard(self):
        self.out.discard()
        for spool in self.spools.values():
            spool.close()

    def _stitch(self):
        f = self.out.file
        head = dict(command=self.command, **self.header, files=self.files, inputs=self.inputs,
                    flags={n: flag.explanation for n, flag in _flags.VOCABULARY.items()})
        f.write("{\n")
        for key, value in head.items():
            f.write(f"{dumps(key)}: {dumps(value)},\n")
        for k, (name, spool) in enumerate(self.spools.items()):
            f.write(f"{dumps(name)}: [")
            spool.seek(0)
            while True:
                chunk = spool.read(1 << 16)
                if not chunk:
                    break
                f.write(chunk)
            spool.close()
            f.write(("\n]" if self.counts[name] else "]") + (",\n" if k + 1 < len(self.spools) else "\n"))
        f.write("}\n")


def dumps(value):
    """Strict JSON: a NaN or an infinity that slipped through is an error, never a bare token.

    Lone surrogates (bytes of a name that were not UTF-8) appear only inside strings, where
    their escape needs its backslash escaped.
    """
    return encodable(json.dumps(cell(value), allow_nan=False, ensure_ascii=False), backslash="\\\\")


class Stdout:
    """The text table, kept until the run has succeeded (a spool: memory stays bounded).

    :meth:`line` takes text from files (names, notes), :meth:`write` what
    :func:`format_table` made of it.
    """

    def __init__(self):
        self.spool = tempfile.SpooledTemporaryFile(max_size=1 << 20, mode="w+", encoding="utf-8")

    def write(self, s):
        self.spool.write(s)

    def line(self, s=""):
        """One line, every control character in it shown as its escape."""
        self.spool.write(printable(s) + "\n")

    def release(self, stream):
        self.spool.seek(0)
        while True:
            chunk = self.spool.read(1 << 16)
            if not chunk:
                break
            stream.write(chunk)
        stream.flush()
        self.spool.close()


def save_figure(fig, path, commit=True, pending=None):
    """Save a matplotlib figure exactly at path, in the format of its suffix, through an :class:`AtomicFile`.

    With ``commit=False`` the file is returned uncommitted, for a run that
    writes several outputs and renames them only once all are ready; given a
    list ``pending``, the file is put in it as soon as it exists, so that a run
    stopped while the picture is drawn knows what to remove.
    """
    import matplotlib.pyplot as plt
    with signals.held():
        out = AtomicFile(path, binary=True)
        if pending is not None:
            pending.append(out)
    try:
        with naming(path):
            fig.savefig(out.file, format=os.path.splitext(path)[1][1:].lower(), dpi=110)
    except BaseException:
        out.discard()
        raise
    finally:
        plt.close(fig)
    if commit:
        out.commit()
    return out


#: The widest a column of the text table grows to hold its longest value; longer values are cut.
MAX_COLUMN = 40


def format_table(rows, columns, widths, digits, headers=None):
    """Plain text columns: a header line and one line per row.

    ``widths``: the least width of each column (positive left-aligns,
    negative right-aligns, 0 leaves the last column free); a column grows to
    hold its longest value up to :data:`MAX_COLUMN`, and a value longer still
    is cut, ending in "~". ``digits``: decimals per float column;
    ``headers``: a shorter heading per column. Cells are made
    :func:`~quelmar.common.text.printable`: a name cannot move the cursor, clear the
    screen or start a row of its own.
    """
    heads = [(headers or {}).get(c, c) for c in columns]
    cells = [[printable(text(getattr(r, c), digits.get(c))) for c in columns] for r in rows]
    sizes = [0 if w == 0 else max([abs(w), len(h)] + [min(len(row[k]), MAX_COLUMN) for row in cells])
             for k, (h, w) in enumerate(zip(heads, widths))]

    def line(values):
        out = []
        for v, w, size in zip(values, widths, sizes):
            if size and len(v) > size:
                v = v[:size - 1] + "~"
            out.append(v if not size else f"{v:<{size}}" if w > 0 else f"{v:>{size}}")
        return "  ".join(out).rstrip() + "\n"
    return line(heads) + "".join(line(row) for row in cells)
