"""A corpus of hostile inputs for the readers and the command, made on the spot
(zips flagged encrypted or bombs, damaged archives, unknown encodings, huge
tokens, billion laughs, external entities, deep nesting, readings out of range,
shuffled, falling and repeated cycles and temperatures, two reactions naming
one well, limits set low, names that are not UTF-8, oversized sample sheets,
FIFOs, devices, standard input), each read in a fresh process under a memory cap and a time
limit:

    /usr/bin/python3 tests/python/hostile_corpus.py [--command] [--subcommands A,B] [--memory MB]
                                                     [--timeout S] [--workers N] [--keep DIR] [-v]

prints per reader (and with ``--command`` per subcommand) the inputs tried,
clean refusals, correct reads, tracebacks, hangs, signals and the peak memory,
then every run that was neither a clean refusal (exit 2, one line naming the
file, no output left behind) nor a correct read (exit 0 with the result the
input was made to give: Ct in the file's own cycle numbers, Tm 82.00, the
standard curve's slope, the relative quantity, and a report page holding
them). Exit status 1 when any run was neither.

What the command passes on is judged too: names that would act on a terminal
(escapes, carriage returns, backspaces) reach it only as their escapes, names
a spreadsheet would run as formulas go into CSV after a quote, names with
``$`` are drawn as they are, a file name that is not UTF-8 is named with its
bytes escaped, and options that would silently change or drop a result (a
threshold below every curve, a group named like a sample, a quantity given
twice or for no well) are refused. Calls of the Python API that the library
would refuse in its own words (or not at all) are refused naming the problem,
and with ``--command`` runs stopped by SIGTERM, SIGHUP, SIGINT and SIGKILL
must leave no worker process and (but for SIGKILL) no partial file.
"""
import argparse
import codecs
import csv
import io
import json
import math
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MiB = 1 << 20
MEMORY = 1 << 30
TIMEOUT = 60.0

READER = r"""
import sys
sys.path.insert(0, sys.argv[1])
from quelmar.common.errors import ReaderError
from quelmar.common.limits import Limits
from quelmar.reading.kinds import guess_kind, read_plate
from quelmar.reading.samplesheet import read_sample_sheet
try:
    limits = Limits().parse(sys.argv[3])
    sheet = read_sample_sheet(sys.argv[4], limits=limits) if sys.argv[4] else None
    plate = read_plate(sys.argv[2], limits=limits)
    if sheet is not None:
        sheet.apply(plate)
except ReaderError as e:
    print(e)
    sys.exit(2)
print(guess_kind(plate).name, len(plate.wells), *plate.notes, sep="\n")
"""

# -- making the inputs ---------------------------------------------------------------

#: Every crafted amplification curve: BACKGROUND + AMPLITUDE / (1 + exp(-STEEPNESS (k - midpoint)))
#: at its k-th cycle, counted from 1 in ascending order whatever numbers the file gives its cycles.
CYCLES = 40
BACKGROUND, AMPLITUDE, STEEPNESS = 100.0, 10000.0, 0.7
#: The midpoint of each well's curve: A2 is a tenfold dilution of A1 (log2(10) cycles later), A3 and A4
#: a reference gene; other wells are at A1's.
MIDPOINTS = {"A1": 20.0, "A2": 20.0 + math.log2(10.0), "A3": 18.0, "A4": 18.0}
#: Every crafted melt: MELT_BASE + MELT_DROP / (1 + exp((T - TM) / MELT_WIDTH)), whose -dF/dT peaks at TM.
TM, MELT_BASE, MELT_DROP, MELT_WIDTH = 82.0, 1000.0, 20000.0, 0.6
TEMPERATURES = [65.0 + 0.5 * k for k in range(61)]
#: The standards of the crafted RDML documents: s1 in A1, s2 in A2.
QUANTITIES = {"s1": 1000.0, "s2": 100.0}
SAMPLES = "".join(f'<sample id="{s}"><type>std</type><quantity><value>{q:g}</value><unit>cop</unit></quantity>'
                  f'</sample>' for s, q in QUANTITIES.items())
TARGETS = '<target id="T"><type>toi</type><dyeId id="FAM"/></target>'


def amplification(midpoint, n=CYCLES):
    return [BACKGROUND + AMPLITUDE / (1.0 + math.exp(-STEEPNESS * (k - midpoint))) for k in range(1, n + 1)]


def melt_curve(temperatures):
    return [MELT_BASE + MELT_DROP / (1.0 + math.exp((float(t) - TM) / MELT_WIDTH)) for t in temperatures]


def by_rank(axis, values):
    """``values``, given in ascending order of ``axis``, in the order the axis lists them."""
    try:
        numbers = [float(a) for a in axis]
    except ValueError:
        return list(values)[:len(axis)]
    if any(math.isnan(x) for x in numbers):
        return list(values)[:len(axis)]
    out = [0.0] * len(numbers)
    for rank, i in enumerate(sorted(range(len(numbers)), key=numbers.__getitem__)):
        out[i] = values[rank]
    return out


def shuffled(values, seed=7):
    values = list(values)
    random.Random(seed).shuffle(values)
    return values


def rdml(reacts=None, head="", version="1.2", runs=None, declaration="", samples=SAMPLES, targets=TARGETS):
    """An RDML document as text: two standards, one target, reactions in one run (A1, A2, ...)."""
    reacts = [react(1), react(2, sample="s2")] if reacts is None else reacts
    body = "".join(f'<experiment id="{e}"><run id="{r}"><pcrFormat><rows>8</rows><columns>12</columns>'
                   f'<rowLabel>ABC</rowLabel><columnLabel>123</columnLabel></pcrFormat>{"".join(rs)}</run></experiment>'
                   for e, r, rs in (runs if runs is not None else [("e", "r", reacts)]))
    return f'{declaration}<rdml version="{version}" xmlns="http://www.rdml.org">{head}{samples}{targets}{body}</rdml>'


def react(rid, cycles=None, fluor=None, tag="adp", axis="cyc", sample="s1", target="T"):
    """One reaction of one target: the curve of the well its id names (A1 for 1), or the crafted melt."""
    if cycles is None:
        cycles = range(1, CYCLES + 1) if tag == "adp" else TEMPERATURES
    if fluor is None:
        fluor = (by_rank(cycles, amplification(MIDPOINTS.get(f"A{rid}", MIDPOINTS["A1"]), len(cycles)))
                 if tag == "adp" else melt_curve(cycles))
    points = "".join(f"<{tag}><{axis}>{c}</{axis}><fluor>{f if isinstance(f, str) else repr(f)}</fluor></{tag}>"
                     for c, f in zip(cycles, fluor))
    return f'<react id="{rid}"><sample id="{sample}"/><data><tar id="{target}"/><cq>2.5</cq>{points}</data></react>'


def zipped(members, method=zipfile.ZIP_DEFLATED):
    """A zip archive (bytes) of {name: bytes or str}."""
    path = Path(tempfile.mkdtemp()) / "z.zip"
    with zipfile.ZipFile(path, "w", method) as z:
        for name, content in members.items():
            z.writestr(name, content)
    data = path.read_bytes()
    shutil.rmtree(path.parent)
    return data


def patch_zip(data, flags=None, method=None):
    """Set the flag bits or the compression method in every header."""
    out = bytearray(data)
    for signature, at_flags, at_method in ((b"PK\x03\x04", 6, 8), (b"PK\x01\x02", 8, 10)):
        for m in re.finditer(re.escape(signature), bytes(out)):
            for at, value in ((at_flags, flags), (at_method, method)):
                if value is not None:
                    out[m.start() + at:m.start() + at + 2] = struct.pack("<H", value)
    return bytes(out)


def bomb(mebibytes, declared):
    """A zip whose one member, rdml_data.xml, inflates to ``mebibytes`` MiB of zeros and declares
    ``declared`` bytes; made without inflating them."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    payload = (c.compress(bytes(MiB)) + c.flush(zlib.Z_FULL_FLUSH)) * mebibytes + c.flush()
    name = b"rdml_data.xml"
    local = struct.pack("<4s5H3I2H", b"PK\x03\x04", 20, 0, 8, 0, 0x21, 0, len(payload), declared, len(name), 0)
    central = struct.pack("<4s6H3I5H2I", b"PK\x01\x02", 20, 20, 0, 8, 0, 0x21, 0, len(payload), declared,
                          len(name), 0, 0, 0, 0, 0, 0)
    end = struct.pack("<4s4H2IH", b"PK\x05\x06", 0, 0, 1, 1, len(central) + len(name),
                      len(local) + len(name) + len(payload), 0)
    return local + name + payload + central + name + end


def sample_csv(rows=None, header="Cycle,A1,A2", cycles=None):
    """A CSV plate: the curves of A1 and A2 over ``cycles`` (1 to 40, in the order given), or ``rows``."""
    if rows is None:
        cycles = list(cycles if cycles is not None else range(1, CYCLES + 1))
        rows = zip(cycles, *(by_rank(cycles, amplification(MIDPOINTS[w], len(cycles))) for w in ("A1", "A2")))
    return header + "\n" + "".join(",".join(str(v) for v in row) + "\n" for row in rows)


def melt_csv(temperatures=TEMPERATURES, header="Temperature,A1,A2"):
    """A CSV melt: two wells with the crafted melt read at ``temperatures``, in that order."""
    f = melt_curve(temperatures)
    return sample_csv(list(zip(temperatures, f, f)), header)


def _uneven():
    t = [65.0]
    for step in shuffled([0.3, 0.7] * 30, seed=3):
        t.append(round(t[-1] + step, 6))
    return t


def _reference_genes():
    """Two unknowns, a target and a reference gene: RQ of u2 against u1 is 2^-(log2 10), a tenth."""
    samples = '<sample id="u1"><type>unkn</type></sample><sample id="u2"><type>unkn</type></sample>'
    targets = TARGETS + '<target id="R"><type>ref</type><dyeId id="HEX"/></target>'
    return rdml([react(1, sample="u1"), react(2, sample="u2"), react(3, sample="u1", target="R"),
                 react(4, sample="u2", target="R")], samples=samples, targets=targets)


@dataclass
class Case:
    """One crafted input: ``make(directory, context)`` writes it and returns the path to read (or "-",
    with ``stdin(directory)`` the bytes piped in or a path opened as standard input), and ``sheet``,
    made the same way, a sample sheet to read with it (the file a refusal then names); ``expect`` is
    "refuse" (with ``message`` in the line), "read" or "either"; ``limits`` the --limits.

    A file that is read holds ``holds`` data (amplification or melting), is read by the subcommands
    ``reads`` (default: amplify or melt, by what it holds) and refused by the others, with
    ``refusals[subcommand]`` (default: "not ... data" for the other kind) in their line. Its Ct
    values are the curves' plus ``shift`` (the file's first cycle less one), every main Tm is ``tm``
    (NaN: no peak), and ``plates`` (when not 0) is the number of run and target plates.

    The command gets ``options`` besides the file (a tuple, or ``options(directory)`` for one that
    names files made there), and only the subcommands ``only`` (default: every one) run it. Each
    job writes its JSON document, unless ``output`` says it writes ".csv" (--out), ".png" (--plot)
    or "stdout" (its text table); ``check(case, subcommand, outcome, out)`` then judges what a run
    that read the file wrote (the report is always checked as a page). A refusal names the file,
    or with ``option_refusal`` the option.
    """

    name: str
    make: object
    expect: str
    message: str = ""
    stdin: object = None
    limits: str = ""
    tags: tuple = ()
    holds: str = "amplification"
    reads: tuple = None
    refusals: dict = field(default_factory=dict)
    shift: float = 0.0
    tm: float = TM
    plates: int = 0
    sheet: object = None
    options: object = ()
    output: str = ""
    check: object = None
    only: tuple = None
    option_refusal: bool = False

    @property
    def readers(self):
        return self.reads if self.reads is not None else ("amplify",) if self.holds == "amplification" else ("melt",)


def _file(name, content):
    def make(directory, _context):
        path = Path(directory) / name
        data = content() if callable(content) else content
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return str(path)
    return make


def _special(name, create):
    """A path made once by ``create(path, context)`` (a FIFO, a socket, a link, a sparse file)."""
    def make(directory, context):
        path = Path(directory) / name
        if not (path.exists() or path.is_symlink()):
            create(path, context)
        return str(path)
    return make


def _bind(path, context):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    context.setdefault("keep", []).append(s)


_fifo = _special("fifo.rdml", lambda path, _: os.mkfifo(path))


def _entity_file(directory, context):
    """An external entity naming a FIFO: a parser that opened it would wait forever."""
    doc = f'<?xml version="1.0"?><!DOCTYPE rdml [<!ENTITY x SYSTEM "file://{_fifo(directory, context)}">]>'
    return _file("entity_file.xml", doc + rdml(head="<id>&x;</id>"))(directory, context)


def _entity_url(directory, context):
    """An external entity and a DTD on a local port that is listened on: nothing may connect."""
    if "server" not in context:
        server = context["server"] = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        server.setblocking(False)
    port = context["server"].getsockname()[1]
    doc = (f'<?xml version="1.0"?><!DOCTYPE rdml SYSTEM "http://127.0.0.1:{port}/rdml.dtd" '
           f'[<!ENTITY x SYSTEM "http://127.0.0.1:{port}/x">]>' + rdml(head="<id>&x;</id>"))
    return _file("entity_url.xml", doc)(directory, context)


def connections(context):
    """How many connections were made to the listening port of the entity case."""
    server, count = context.get("server"), 0
    while server is not None:
        try:
            server.accept()[0].close()
        except BlockingIOError:
            break
        count += 1
    return count


def _laughs():
    entities = '<!ENTITY a0 "ha">' + "".join(f'<!ENTITY a{i} "{f"&a{i - 1};" * 10}">' for i in range(1, 10))
    return f'<?xml version="1.0"?><!DOCTYPE rdml [{entities}]>' + rdml(head="<id>&a9;</id>")


def _shuffled():
    return rdml([react(1, cycles=shuffled(range(1, CYCLES + 1))),
                 react(2, cycles=shuffled(range(1, CYCLES + 1), 5), sample="s2")])


def _many_members():
    return zipped({"rdml_data.xml": rdml(), **{f"m{i}": b"" for i in range(20_000)}}, zipfile.ZIP_STORED)


def _damaged(data, find, at, length, value=None):
    """``data`` with ``length`` bytes changed from ``at`` bytes after ``find``: set to 0xff, or XORed with 0x5a."""
    out = bytearray(data)
    start = out.find(find) + at
    for k in range(start, start + length, 1 if value is not None else 3):
        out[k] = value if value is not None else out[k] ^ 0x5A
    return bytes(out)


def _gbk():
    return rdml(declaration='<?xml version="1.0" encoding="GBK"?>').replace(
        '<sample id="s1"><type>std</type>', '<sample id="s1"><description>样品</description><type>std</type>'
    ).encode("gbk")


#: Rows of the crafted large sample sheet (about 87 MB).
SHEET_ROWS = 2_500_000


def _big_sheet(path, _context):
    """A sample sheet of SHEET_ROWS rows, one well each, written a block at a time."""
    with open(path, "w") as f:
        f.write("well,sample,target,type,quantity,group\n")
        for start in range(0, SHEET_ROWS, 100_000):
            f.write("".join(f"W{k:07d},sample-{k:07d},GAPDH,unkn,,group-{k % 97:02d}\n"
                            for k in range(start, min(start + 100_000, SHEET_ROWS))))


#: Subcommands that read the standards of the crafted RDML documents.
STANDARD = ("amplify", "standard")
#: How standard refuses a document without two standards of different quantities.
TWO_DISTINCT = "two distinct quantities"

CASES = [
    # zip archives
    Case("zip valid", _file("valid.rdml", lambda: zipped({"rdml_data.xml": rdml()})), "read", reads=STANDARD,
         tags=("command",)),
    Case("zip encrypted flag", _file("encrypted.rdml", lambda: patch_zip(zipped({"rdml_data.xml": rdml()}), flags=1)),
         "refuse", "encrypted"),
    Case("zip compression method 99", _file("aes.rdml", lambda: patch_zip(zipped({"rdml_data.xml": rdml()}),
                                                                              method=99)),
         "refuse", "compression method 99"),
    Case("zip corrupt deflate", _file("corrupt.rdml", lambda: _damaged(zipped({"rdml_data.xml": rdml() * 20}),
                                                                       b"rdml_data.xml", 23, 50)),
         "refuse", "damaged zip archive"),
    Case("zip bomb, honest size", _file("bomb.rdml", lambda: bomb(1024, 1 << 30)), "refuse", "inflated size",
         tags=("command",)),
    Case("zip bomb, size understated", _file("bomb_lie.rdml", lambda: bomb(1024, 4096)), "refuse",
         tags=("command",)),
    Case("zip bomb under a low limit", _file("bomb_small.rdml", lambda: bomb(8, 8 * MiB)), "refuse",
         "inflated size", limits="document=1M", tags=("command",)),
    Case("zip ../ member names", _file("dotdot.rdml", lambda: zipped({"../../../tmp/rdml_data.xml": rdml(),
                                                                        "../evil.xml": "<x/>"})), "read",
         reads=STANDARD),
    Case("zip damaged directory", _file("directory.rdml", lambda: _damaged(zipped({"rdml_data.xml": rdml()}),
                                                                           b"PK\x01\x02", 4, 36, 0xFF)), "refuse"),
    Case("zip truncated", _file("truncated.rdml", lambda: zipped({"rdml_data.xml": rdml() * 5})[:300]), "refuse",
         "damaged zip archive"),
    Case("zip 20,000 members", _file("members.rdml", _many_members), "refuse", "members"),
    Case("zip without members", _file("empty.rdml", lambda: zipped({})), "refuse", "no RDML document"),
    Case("zip member name not UTF-8", _file("badname.rdml", lambda: zipped({"rdml_\xe9.xml": rdml()}).replace(
        "\xe9".encode(), b"\xff\xfe")), "refuse", "damaged zip archive"),
    Case("zip two documents, one run id", _file("two_docs.rdml", lambda: zipped({"a.xml": rdml(), "b.xml": rdml()})),
         "read", reads=STANDARD, plates=2,
         tags=("command",)),
    # XML documents
    Case("XML UTF-8 byte-order mark", _file("bom8.xml", codecs.BOM_UTF8 + rdml().encode()), "read", reads=STANDARD,
         tags=("command",)),
    Case("XML UTF-16LE byte-order mark", _file("bom16.xml", codecs.BOM_UTF16_LE + rdml().encode("utf-16-le")),
         "read", reads=STANDARD),
    Case("XML UTF-16BE byte-order mark in a zip",
         _file("bom16be.rdml", lambda: zipped({"rdml_data.xml": codecs.BOM_UTF16_BE + rdml().encode("utf-16-be")})),
         "read", reads=STANDARD),
    Case("XML declared GBK", _file("gbk.xml", _gbk), "read", reads=STANDARD),
    Case("XML unknown encoding", _file("unknown.xml", rdml(declaration='<?xml version="1.0" encoding="x-qpcr"?>')),
         "refuse", "encoding 'x-qpcr'"),
    Case("XML UTF-32 byte-order mark", _file("utf32.xml", codecs.BOM_UTF32_LE + rdml().encode("utf-32-le")), "read",
         reads=STANDARD),
    Case("XML 64 MiB comment", _file("comment.xml", lambda: rdml(head="<!--" + "x" * (64 * MiB) + "-->")),
         "refuse", "processing instruction longer", tags=("command",)),
    Case("XML 64 MiB attribute", _file("attribute.xml", lambda: rdml(head=f'<id a="{"x" * (64 * MiB)}"/>')),
         "refuse", "processing instruction longer"),
    Case("XML 64 MiB processing instruction", _file("pi.xml", lambda: rdml(head="<?pi " + "x" * (64 * MiB) + "?>")),
         "refuse", "processing instruction longer"),
    Case("XML 8 MiB text of a kept element",
         _file("text.xml", lambda: rdml().replace("<type>std</type>", f"<description>{'x' * 8 * MiB}</description>"
                                                  "<type>std</type>", 1)), "refuse", "has a text longer"),
    Case("XML 64 MiB text of an ignored element", _file("ignored.xml", lambda: rdml(head=f"<id>{'x' * 64 * MiB}</id>")),
         "refuse", "has a text longer than 10,000,000 characters"),
    Case("XML 8 MiB text of an ignored element", _file("ignored8.xml", lambda: rdml(head=f"<id>{'x' * 8 * MiB}</id>")),
         "read", reads=STANDARD),
    Case("XML file of 1 GiB (sparse)",
         _special("sparse.xml", lambda path, _: (path.touch(), os.truncate(path, 1 << 30))),
         "refuse", "the file", tags=("command",)),
    Case("XML billion laughs", _file("laughs.xml", _laughs), "refuse", "DOCTYPE", tags=("command",)),
    Case("XML external entity (a FIFO)", _entity_file, "refuse", "DOCTYPE", tags=("command",)),
    Case("XML external entity and DTD (a local port)", _entity_url, "refuse", "DOCTYPE"),
    Case("XML nesting 100,000 deep", _file("deep.xml", "<rdml version='1.2'>" + "<a>" * 100_000 + "</a>" * 100_000
                                           + "</rdml>"), "refuse", "deep"),
    Case("XML 200,000 reactions", _file("reacts.xml", lambda: rdml(
        ['<react id="{0}"><sample id="s1"/></react>'.format(i) for i in range(1, 200_001)])), "refuse", "react"),
    Case("XML not well-formed", _file("broken.xml", rdml()[:-20]), "refuse", "not well-formed"),
    Case("XML only a declaration", _file("decl.xml", '<?xml version="1.0"?>'), "refuse"),
    Case("XML root not rdml", _file("root.xml", "<html><body/></html>"), "refuse", "not <rdml>"),
    # RDML content
    Case("RDML readings 1e-305", _file("tiny.xml", rdml([react(1, fluor=["1e-305"] * 4)])), "refuse", "range",
         tags=("command",)),
    Case("RDML readings 1e305", _file("huge.xml", rdml([react(1, fluor=["1e305"] * 4)])), "refuse", "range"),
    Case("RDML reading NaN", _file("nan.xml", rdml([react(1, fluor=["1", "NaN", "2", "3"])])), "refuse", "finite"),
    Case("RDML reading -INF", _file("inf.xml", rdml([react(1, fluor=["1", "-INF", "2", "3"])])), "refuse", "finite"),
    Case("RDML reading 1e999", _file("overflow.xml", rdml([react(1, fluor=["1", "1e999", "2", "3"])])), "refuse",
         "finite"),
    Case("RDML cycle NaN", _file("cycnan.xml", rdml([react(1, cycles=("1", "nan", "3", "4"))])), "refuse", "finite"),
    Case("RDML repeated cycle", _file("repeat.xml", rdml([react(1, cycles=(1, 2, 2, 3))])), "refuse", "two <adp>"),
    Case("RDML shuffled cycles", _file("shuffled.xml", _shuffled), "read", reads=STANDARD, tags=("command",)),
    Case("RDML descending cycles", _file("descending.xml", rdml([react(1, cycles=range(CYCLES, 0, -1)),
                                                                 react(2, cycles=range(CYCLES, 0, -1), sample="s2")])),
         "read", reads=STANDARD),
    Case("RDML cycles 0 to 39", _file("zero.xml", rdml([react(1, cycles=range(CYCLES)),
                                                        react(2, cycles=range(CYCLES), sample="s2")])),
         "read", reads=STANDARD, shift=-1.0, tags=("command",)),
    Case("RDML two runs with one id", _file("runs.xml", rdml(runs=[("e1", "r", [react(1)]), ("e2", "r", [react(1)])])),
         "read", plates=2, refusals=dict(standard=TWO_DISTINCT), tags=("command",)),
    Case("RDML one quantity infinite", _file("qinf.xml", rdml(samples=SAMPLES.replace(">1000<", ">INF<"))), "read",
         refusals=dict(standard=TWO_DISTINCT)),
    Case("RDML equal quantities", _file("qsame.xml", rdml(samples=SAMPLES.replace(">100<", ">1000<"))), "read",
         refusals=dict(standard=TWO_DISTINCT), tags=("command",)),
    Case("RDML target and reference gene", _file("reference.xml", _reference_genes), "read",
         reads=("amplify", "quantify"), tags=("command",)),
    Case("RDML melt", _file("melt.xml", rdml([react(1, tag="mdp", axis="tmp"), react(2, tag="mdp", axis="tmp")])),
         "read", holds="melting", tags=("command",)),
    Case("RDML melt, shuffled temperatures",
         _file("meltshuffled.xml", rdml([react(1, cycles=shuffled(TEMPERATURES), tag="mdp", axis="tmp")])),
         "read", holds="melting"),
    Case("RDML melt, every temperature twice", _file("melttwice.xml", rdml([react(
        1, cycles=sorted(TEMPERATURES * 2), tag="mdp", axis="tmp")])), "read", holds="melting", tags=("command",)),
    Case("RDML number of 5,000 digits", _file("digits.xml", rdml([react(1, fluor=["9" * 5000] * 4)])), "refuse"),
    Case("RDML suffix, CSV inside", _file("csv.rdml", sample_csv()), "refuse", "not an RDML file"),
    Case("RDML reactions A1 and 1 in one run", _file("twoids.xml", rdml([react("A1"), react(1, sample="s2")])),
         "refuse", "react 1 is well A1, as react A1 is", tags=("command",)),
    Case("RDML 7 deep under --limits depth=1", _file("depth.xml", rdml()), "refuse", "nests elements more than 1 deep",
         limits="depth=1", tags=("command",)),
    Case("RDML a data point spanning chunks", _file("point.xml", lambda: rdml([react(1).replace(
        "<cyc>2</cyc>", "<cyc>2</cyc>" + "<v/>" * 40_000)])), "refuse", "data point of more than"),
    # CSV
    Case("CSV valid", _file("valid.csv", sample_csv()), "read", tags=("command",)),
    Case("CSV field over 131,072 characters",
         _file("field.csv", lambda: sample_csv() + '"' + "1" * 200_000 + '",1,1\n'), "refuse", "field longer",
         tags=("command",)),
    Case("CSV line over 4 MiB", _file("line.csv", lambda: "Cycle," + ",".join(["A"] * (3 * MiB))), "refuse", "line 1"),
    Case("CSV line of 60,000 characters under --limits line=1000",
         _file("longline.csv", lambda: sample_csv(header="Cycle,A1," + "A" * 60_000)), "refuse",
         "line 1 is over the limit of 1,000 characters", limits="line=1000", tags=("command",)),
    Case("CSV named in bytes that are not UTF-8", _file("plate\udcff\udcfe.csv", sample_csv()), "read",
         tags=("command",)),
    Case("CSV named in bytes that are not UTF-8, refused", _file("bad\udcff.csv", sample_csv() + "41,x,1\n"),
         "refuse", "not a number", tags=("command",)),
    # sample sheets
    Case("sample sheet of 2.5 million rows (87 MB)", _file("sheeted.csv", sample_csv()), "refuse",
         "the number of rows (more than 100,000) is over the limit of 100,000", sheet=_special("big.csv", _big_sheet),
         tags=("command",)),
    Case("sample sheet with a 60,000-character line under --limits line=1000", _file("sheeted2.csv", sample_csv()),
         "refuse", "is over the limit of 1,000 characters", limits="line=1000",
         sheet=_file("longsheet.csv", "well,sample,target,type\nA1," + "s" * 60_000 + ",,unkn\n")),
    Case("sample sheet not UTF-8", _file("sheeted3.csv", sample_csv()), "refuse", "is not UTF-8 text",
         sheet=_file("latin1.csv", "well,sample,target,type\nA1,f\xf6tus,,unkn\n".encode("latin-1"))),
    Case("CSV NUL bytes", _file("nul.csv", sample_csv() + "41,\0,1\n"), "refuse", "not a number"),
    Case("CSV ragged rows", _file("ragged.csv", sample_csv() + "41,1\n"), "refuse", "fields where the header"),
    Case("CSV text in a reading", _file("text.csv", sample_csv() + "41,x,1\n"), "refuse", "not a number"),
    Case("CSV NaN reading", _file("nan.csv", sample_csv() + "41,nan,1\n"), "refuse", "finite"),
    Case("CSV inf reading", _file("inf.csv", sample_csv() + "41,1,-inf\n"), "refuse", "finite"),
    Case("CSV readings 1e-305", _file("tiny.csv", sample_csv(((1, 1e-305, 1e-305), (2, 2e-305, 1e-305),
                                                               (3, 3e-305, 1e-305)))), "refuse", "range"),
    Case("CSV readings 1e305", _file("huge.csv", sample_csv() + "41,1e305,1\n"), "refuse", "range"),
    Case("CSV repeated cycle", _file("repeat.csv", sample_csv() + "4,1,1\n"), "refuse", "repeats a cycle",
         tags=("command",)),
    Case("CSV shuffled cycles", _file("shuffled.csv", sample_csv(cycles=shuffled(range(1, CYCLES + 1)))), "read",
         tags=("command",)),
    Case("CSV descending cycles", _file("descending.csv", sample_csv(cycles=range(CYCLES, 0, -1))), "read",
         tags=("command",)),
    Case("CSV cycles 101 to 140", _file("offset.csv", sample_csv(cycles=range(101, 101 + CYCLES))), "read",
         shift=100.0, tags=("command",)),
    Case("CSV of 5 cycles", _file("five.csv", sample_csv(cycles=range(1, 6))), "read", reads=(),
         refusals=dict(amplify="needs at least 10"), tags=("command",)),
    Case("CSV empty", _file("empty.csv", b""), "refuse", "header row"),
    Case("CSV header only", _file("header.csv", "Cycle,A1\n"), "refuse", "header row"),
    Case("CSV UTF-16 with tabs", _file("utf16.csv", codecs.BOM_UTF16_LE + sample_csv().replace(",", "\t").encode(
        "utf-16-le")), "read"),
    Case("CSV Latin-1 header", _file("latin1.csv", melt_csv(header="Temp (\xb0C),A1,A2").encode("latin-1")), "read",
         holds="melting"),
    Case("CSV binary junk", _file("junk.csv", bytes(range(256)) * 64), "refuse"),
    Case("CSV 300,000 columns", _file("columns.csv", lambda: "Cycle," + ",".join(f"W{i}" for i in range(300_000))
                                      + "\n"), "refuse", "columns"),
    Case("CSV not a plate", _file("norris.csv", "y,x\n0.1,0.2\n338.8,337.4\n118.1,118.2\n888.0,884.6\n"), "refuse",
         "not a plate", tags=("command",)),
    Case("CSV past the readings limit", _file("readings.csv", lambda: sample_csv([(c, c, c) for c in range(1, 5001)])),
         "refuse", "readings", limits="readings=10000", tags=("command",)),
    # melts
    Case("CSV melt", _file("melt.csv", melt_csv()), "read", holds="melting", tags=("command",)),
    Case("CSV melt, shuffled temperatures", _file("meltshuffled.csv", melt_csv(shuffled(TEMPERATURES))), "read",
         holds="melting", tags=("command",)),
    Case("CSV melt, falling ramp", _file("meltfalling.csv", melt_csv(TEMPERATURES[::-1])), "read", holds="melting",
         tags=("command",)),
    Case("CSV melt, uneven steps", _file("melteven.csv", melt_csv(_uneven())), "read", holds="melting"),
    Case("CSV melt, every temperature twice", _file("melttwice.csv", melt_csv(sorted(TEMPERATURES * 2))), "read",
         holds="melting"),
    Case("CSV melt without a peak", _file("meltnone.csv", sample_csv(  # a straight fall and a flat line
        [(t, MELT_BASE + 20.0 * (95.0 - t), MELT_BASE) for t in TEMPERATURES], "Temperature,A1,A2")),
         "read", holds="melting", tm=math.nan, tags=("command",)),
    Case("CSV melt of 3 readings", _file("meltshort.csv", melt_csv(TEMPERATURES[30:33])), "read", holds="melting",
         reads=(), refusals=dict(melt="could not be analysed"), tags=("command",)),
    Case("CSV melt of 300,000 readings", _file("meltlong.csv", lambda: melt_csv([60.0 + 1e-4 * k
                                                                                for k in range(300_000)])),
         "read", holds="melting", reads=(), refusals=dict(melt="at most 20000"), tags=("command",)),
    # what is not a regular file
    Case("a FIFO", _fifo, "refuse", "FIFO", tags=("command",)),
    Case("/dev/zero", lambda d, c: "/dev/zero", "refuse", "character device", tags=("command",)),
    Case("a symbolic link to /dev/zero", _special("zero.rdml", lambda path, _: path.symlink_to("/dev/zero")), "refuse",
         "character device"),
    Case("a directory", lambda d, c: str(d), "refuse", "directory"),
    Case("a socket", _special("socket.csv", _bind), "refuse", "socket"),
    Case("a missing file", lambda d, c: str(Path(d) / "missing.rdml"), "refuse", "No such file"),
    Case("standard input from /dev/zero", lambda d, c: "-", "refuse", "standard input",
         stdin=lambda d: "/dev/zero", tags=("command",)),
    Case("standard input, a CSV through a pipe", lambda d, c: "-", "read", stdin=lambda d: sample_csv().encode(),
         tags=("command",)),
    Case("standard input, an RDML zip through a pipe", lambda d, c: "-", "read",
         stdin=lambda d: zipped({"rdml_data.xml": rdml()}), reads=STANDARD, tags=("command",)),
]


# -- what the command passes on: terminals, spreadsheets, plots, options -------------------------

def named_csv(names, melt=False):
    """A CSV plate of one well per name (the header), each with A1's crafted curve or the crafted melt."""
    if melt:
        rows = [(t, *[f] * len(names)) for t, f in zip(TEMPERATURES, melt_curve(TEMPERATURES))]
    else:
        rows = [(k, *[f] * len(names)) for k, f in enumerate(amplification(MIDPOINTS["A1"]), 1)]
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows([("Temperature" if melt else "Cycle", *names), *rows])
    return out.getvalue()


#: Names a terminal acts on: clear the screen, back over text, reverse it, a C1 CSI.
TERMINAL_NAMES = ("\x1b[2J\x1b[H", "B1\x08\x08x", "\u202egnp", "\x9b31mC1")
#: Sample names (XML character references) that start a row of their own or overwrite one.
ROW_NAMES = ("s1\rA9  forged  99.999", "s2\nA10 forged", "s3\tx")


def _row_names():
    ids = [n.replace("\r", "&#13;").replace("\n", "&#10;").replace("\t", "&#9;") for n in ROW_NAMES]
    samples = "".join(f'<sample id="{i}"><type>unkn</type></sample>' for i in ids)
    return rdml([react(k + 1, sample=i) for k, i in enumerate(ids)], samples=samples)
#: Names a spreadsheet would run, and two that are numbers and stay so.
FORMULA_NAMES = ("=cmd|' /C calc'!A0", "@SUM(A1)", "+1+1", "-2+3", "-5", "+1.5e3")
#: Names matplotlib would read as mathematics, one with a command it does not know.
MATH_NAMES = ("$\\undefinedcmd$", "$x^2$ and $5")
#: Reference gene names (RDML target ids) that act on a terminal, a spreadsheet or matplotlib: what XML
#: can carry of each (no C0 control but tab, newline and carriage return).
GENE_NAMES = ("R\rforged  0.000", "=cmd|' /C calc'!A0", "$\\undefinedcmd$ \u202egnp \x9b31m")


def _genes():
    """Three reference genes in three samples, each gene's Ct a little apart in every sample."""
    def attribute(name):
        return '"' + name.replace("&", "&amp;").replace("<", "&lt;").replace('"', "&quot;").replace("\r", "&#13;") + '"'
    targets = "".join(f'<target id={attribute(g)}><type>ref</type><dyeId id="FAM"/></target>' for g in GENE_NAMES)
    samples = "".join(f'<sample id="u{k}"><type>unkn</type></sample>' for k in range(1, 4))
    reacts = []
    for s in range(1, 4):
        for k, g in enumerate(GENE_NAMES):
            well = len(reacts) + 1
            curve = amplification(18.0 + 0.3 * s * (k + 1) + 0.1 * k)
            reacts.append(react(well, sample=f"u{s}", fluor=curve).replace('<tar id="T"/>',
                                                                           f"<tar id={attribute(g)}/>"))
    return rdml(reacts, samples=samples, targets=targets)


#: A file name that is not UTF-8, with an escape sequence in it too.
BYTES_NAME = os.fsdecode(b"plate\xff\x1b[2J.csv")


def _quiet_terminal(case, subcommand, outcome, out):
    """The text table shows every name, each control character in it as its escape."""
    if subcommand == "report":
        return None
    if CONTROLS.search(outcome.out):
        return f"a control character reached the terminal: {CONTROLS.search(outcome.out).group()!r}"
    wanted = ["".join(c if c.isprintable() else repr(c)[1:-1] for c in n) for n in case.check_names]
    missing = [w for w in wanted if w not in outcome.out]
    return f"the table does not show {missing[0]!r}" if missing else None


#: What a spreadsheet may read as a formula, and what is a number all the same (as the command writes them).
FORMULA_START = re.compile("^[=+\\-@\t\r]")
NUMBER = re.compile(r"[-+]?((\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|inf)")


def spreadsheet_text(rows):
    """CSV as a spreadsheet may open it safely: a cell that would start a formula gets a leading '."""
    out = io.StringIO()
    writer = csv.writer(out)
    for k, row in enumerate(rows):
        writer.writerow(row if k == 0 else ["'" + v if FORMULA_START.match(v) and not NUMBER.fullmatch(v) else v
                                            for v in row])
    return out.getvalue()


def _csv_safe(case, subcommand, outcome, out):
    """--out CSV: no cell a spreadsheet would run, numbers kept; the page's download the same as --out."""
    if subcommand == "report":
        return _download_safe(out)
    with open(out, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    cells = [v for row in rows[1:] for v in row]
    unsafe = [v for v in cells if FORMULA_START.match(v) and not NUMBER.fullmatch(v)]
    if unsafe:
        return f"a cell a spreadsheet would run: {unsafe[0]!r}"
    names = sorted(row[0] for row in rows[1:])
    expected = sorted("'" + n if FORMULA_START.match(n) and not NUMBER.fullmatch(n) else n for n in case.check_names)
    return None if names == expected else f"names written as {names}, not {expected}"


#: The report's script, whose CSV download is checked where Node.js is at hand.
REPORT_SCRIPT = ROOT / "quelmar" / "report" / "report.js"
NODE_CSV = """const fs = require("fs"), vm = require("vm"), context = {};
vm.runInNewContext(fs.readFileSync(process.argv[1], "utf8").split("\\n(function () {")[0], context);
process.stdout.write(context.csvText(JSON.parse(fs.readFileSync(0, "utf8"))));"""


def _download_safe(page):
    """Each table's CSV download, made by the page's own script, is what a spreadsheet may open safely."""
    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        return None
    with open(page, encoding="utf-8") as f:
        html = f.read()
    for island in re.findall(r'<script type="application/json" id="table\d+">(.*?)</script>', html, re.S):
        table = json.loads(island)
        made = subprocess.run([node, "-e", NODE_CSV, str(REPORT_SCRIPT)], input=island.encode(), capture_output=True,
                              timeout=60)
        want, got = spreadsheet_text([table["columns"], *table["rows"]]), made.stdout.decode("utf-8")
        if made.returncode != 0 or got != want:
            return f"the page's CSV download differs from what a spreadsheet may open safely: {got[:200]!r}"
    return None


def _drawn(case, subcommand, outcome, out):
    """The picture was drawn (matplotlib reading a name as mathematics would have ended the run)."""
    return None if subcommand == "report" or os.path.getsize(out) > 1000 else "an empty picture"


def _escaped_file_name(case, subcommand, outcome, out):
    """The outputs name the file with its byte that is not UTF-8 escaped (\\xff); the text table
    shows the escape sequence as its escape too, JSON writes it as JSON does."""
    if out is None:
        return None if r"plate\xff\x1b[2J.csv" in outcome.out else "the table does not show the file's name escaped"
    with open(out, encoding="utf-8") as f:
        if subcommand == "report":
            return None if "plate\\xff" in f.read() else "the page does not name the file with its byte escaped"
        files = json.load(f)["files"]
    return None if files[0].endswith("plate\\xff\x1b[2J.csv") else f"the file is written as {files[0]!r}"


def _sheet(name, text, *more):
    """Options naming a sample sheet made in the case's folder, and ``more``."""
    def options(directory):
        path = os.path.join(directory, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return ("--samples", path, *more)
    return options


#: Where the command takes quantities: the standard curve and the report.
WITH_QUANTITIES = ("standard", "report")
#: Every subcommand that reads amplification data.
AMPLIFYING = ("amplify", "standard", "quantify", "report")
BELOW_CURVES = "lies below where the curves start"
#: A sample sheet that names the group of u1's wells like the other sample, u2, which is in no group.
GROUP_LIKE_SAMPLE = "well,sample,target,type,group\nA1,u1,,,u2\nA3,u1,,,u2\n"


@dataclass
class NamedCase(Case):
    """A case whose wells carry ``check_names`` (for the checks of what the command writes)."""

    check_names: tuple = ()


CASES += [
    NamedCase("CSV well names with terminal controls", _file("terminal.csv", named_csv(TERMINAL_NAMES)), "read",
              output="stdout", check=_quiet_terminal, check_names=TERMINAL_NAMES, tags=("command",)),
    NamedCase("RDML sample names that start or overwrite a row", _file("rows.xml", _row_names), "read",
              output="stdout", check=_quiet_terminal, check_names=ROW_NAMES, tags=("command",)),
    NamedCase("CSV melt, well names with terminal controls",
              _file("terminalmelt.csv", named_csv(TERMINAL_NAMES, melt=True)), "read", holds="melting",
              output="stdout", check=_quiet_terminal, check_names=TERMINAL_NAMES, tags=("command",)),
    NamedCase("CSV well names like spreadsheet formulas", _file("formulas.csv", named_csv(FORMULA_NAMES)), "read",
              output=".csv", check=_csv_safe, check_names=FORMULA_NAMES, only=("amplify", "report"),
              tags=("command",)),
    Case("CSV well names with $ drawn", _file("math.csv", named_csv(MATH_NAMES)), "read", output=".png",
         check=_drawn, only=("amplify", "report"), tags=("command",)),
    Case("CSV melt, well names with $ drawn", _file("mathmelt.csv", named_csv(MATH_NAMES, melt=True)), "read",
         holds="melting", output=".png", check=_drawn, only=("melt",), tags=("command",)),
    NamedCase("RDML reference genes named to act on a terminal", _file("genes.xml", _genes), "read",
              reads=("references",), output="stdout", check=_quiet_terminal, check_names=GENE_NAMES,
              only=("references",), tags=("command",)),
    NamedCase("RDML reference genes named like spreadsheet formulas", _file("genesformulas.xml", _genes), "read",
              reads=("references",), output=".csv", check=_csv_safe, check_names=GENE_NAMES, only=("references",),
              tags=("command",)),
    Case("RDML reference genes with $ drawn", _file("genesmath.xml", _genes), "read", reads=("references",),
         output=".png", check=_drawn, only=("references",), tags=("command",)),
    Case("file name not UTF-8, with an escape", _file(BYTES_NAME, sample_csv()), "read", check=_escaped_file_name,
         tags=("command",)),
    Case("file name not UTF-8, in the table", _file(BYTES_NAME, sample_csv()), "read", output="stdout",
         check=_escaped_file_name, only=("amplify",), tags=("command",)),
    Case("threshold below every curve", _file("threshold.csv", sample_csv()), "read", reads=(),
         options=("--threshold", "1e-300"), refusals=dict.fromkeys(AMPLIFYING, BELOW_CURVES), only=AMPLIFYING,
         tags=("command",)),
    Case("RDML group named like a sample", _file("groups.xml", _reference_genes), "read",
         options=_sheet("groups.csv", GROUP_LIKE_SAMPLE), reads=("amplify",),
         refusals=dict(quantify="has the name of a sample in no group"), only=("amplify", "quantify", "report"),
         tags=("command",)),
    Case("CSV quantities by well", _file("quantities.csv", sample_csv()), "read", reads=("standard",),
         options=("--quantity", "A1=1000", "--quantity", "A2=100"), only=WITH_QUANTITIES, tags=("command",)),
    Case("CSV one well given two quantities", _file("twice.csv", sample_csv()), "read", reads=(),
         options=("--quantity", "A1=1000", "--quantity", "A1=10"), only=WITH_QUANTITIES, option_refusal=True,
         refusals=dict.fromkeys(WITH_QUANTITIES, "gives 'A1' two quantities"), tags=("command",)),
    Case("CSV a quantity for no well", _file("nowell.csv", sample_csv()), "read", reads=(),
         options=("--quantity", "A1=1000", "--quantity", "A2=100", "--quantity", "Z9=10"), only=WITH_QUANTITIES,
         refusals=dict.fromkeys(WITH_QUANTITIES, "'Z9' names no well"), tags=("command",)),
]


# -- the Python API: what its wrappers refuse before the library sees it ---------------------------

API = r"""
import sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import quelmar
from quelmar.common.errors import QuelmarError
CURVES = np.tile(100.0 + 1e4 / (1.0 + np.exp(-0.7 * (np.arange(1.0, 41.0) - 20.0))), (3, 1))
TEMPERATURES = np.linspace(65.0, 95.0, 61)
MELT = 1000.0 + 20000.0 / (1.0 + np.exp((TEMPERATURES - 82.0) / 0.6))
try:
    exec(sys.argv[2])
except (ValueError, TypeError, QuelmarError) as e:
    print(type(e).__name__, e)
    sys.exit(2)
"""


@dataclass
class ApiCase:
    """A call of the Python API that must be refused (a ValueError, TypeError or QuelmarError) with
    ``message`` in its text, in a fresh process under the caps; ``code`` has CURVES (3 logistic wells
    of 40 cycles), TEMPERATURES and MELT (the crafted melt) at hand."""

    name: str
    code: str
    message: str


API_CASES = [
    ApiCase("amplification, a NaN reading", "c = CURVES.copy(); c[1, 5] = np.nan; quelmar.analyze_amplification(c)",
            "well 1 has a reading that is not a finite number"),
    ApiCase("amplification, a negative threshold", "quelmar.analyze_amplification(CURVES, threshold=-5)",
            "threshold must be a positive number"),
    ApiCase("amplification, a threshold below every curve", "quelmar.analyze_amplification(CURVES, threshold=1e-300)",
            "lies below where the curves start"),
    ApiCase("amplification, 5 cycles", "quelmar.analyze_amplification(CURVES[:, :5])", "needs at least 10"),
    ApiCase("melt, falling temperatures", "quelmar.analyze_melt(TEMPERATURES[::-1], MELT[::-1])",
            "temperatures must ascend"),
    ApiCase("melt, a NaN reading", "m = MELT.copy(); m[7] = np.nan; quelmar.analyze_melt(TEMPERATURES, m)",
            "fluorescence reading 8 is not a finite number"),
    ApiCase("melt, peak_width 0", "quelmar.analyze_melt(TEMPERATURES, MELT, peak_width=0)",
            "peak_width must be a positive number"),
    ApiCase("melt, a NaN FWHM bound", "quelmar.analyze_melt(TEMPERATURES, MELT, fwhm=(0.3, float('nan')))",
            "fwhm must run from"),
    ApiCase("melt, 80,000 readings", "t = np.linspace(60.0, 95.0, 80000); "
            "quelmar.analyze_melt(t, 1000.0 + 20000.0 / (1.0 + np.exp((t - 82.0) / 0.6)))", "at most 20000"),
    ApiCase("replicate statistics, a NaN Ct", "quelmar.replicate_statistics([20.0, np.nan], [[18.0, 18.5]])",
            "value 2 is not a finite number"),
]


def api_case(case, **options):
    """Run one API call in a fresh process."""
    return run([sys.executable, "-c", API, str(ROOT), case.code], **options)


def api_verdict(case, outcome):
    """None when the call was refused with its message, else why not."""
    if outcome.kind != "refused":
        return f"{outcome.kind}, not a refusal"
    return None if case.message in outcome.out else f"refused without {case.message!r}"


# -- signals: a run told to stop leaves no worker and no partial file ---------------------------------

@dataclass
class Stop:
    """``signal`` sent to ``python3 -m quelmar melt`` on STOP_FILES crafted 96-well melts with ``jobs``
    workers, once its outputs are being written (and its workers busy); ``status`` the exit status.
    SIGKILL cannot be caught: then only the workers are checked (the kernel ends them)."""

    name: str
    jobs: int
    signal: int
    status: int


STOPS = [Stop("SIGTERM with workers", 2, signal.SIGTERM, 128 + signal.SIGTERM),
         Stop("SIGTERM alone", 1, signal.SIGTERM, 128 + signal.SIGTERM),
         Stop("SIGHUP with workers", 2, signal.SIGHUP, 128 + signal.SIGHUP),
         Stop("SIGINT with workers", 2, signal.SIGINT, 130),
         Stop("SIGINT alone", 1, signal.SIGINT, 130),
         Stop("SIGKILL with workers", 2, signal.SIGKILL, -signal.SIGKILL)]
STOP_FILES, STOP_WELLS = 12, 96
#: Seconds for a run to get going, and for it (and its workers) to end once told.
STOP_START, STOP_END = 60.0, 30.0


def stop_inputs(directory):
    """The melts a stopped run reads (made once per folder)."""
    names = [f"W{k}" for k in range(STOP_WELLS)]
    text = named_csv(names, melt=True)
    paths = [os.path.join(directory, f"stop{k:02d}.csv") for k in range(STOP_FILES)]
    for path in paths:
        if not os.path.exists(path):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    return paths


def children(pid):
    """The processes whose parent is ``pid`` (from /proc)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            if parent == pid:
                found.append(int(entry))
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


#: Runs started for one stop: on a quick, quiet machine a run can commit its outputs between two looks for
#: its partial files, which says nothing about stopping, so that run is done again.
STOP_ATTEMPTS = 3
NOT_STOPPED = "the run ended, or did not get going, before it could be stopped"


def stop_run(stop, inputs, out):
    """Stop one run as ``stop`` says; None when it ended as it should and left nothing behind, else why not."""
    for attempt in range(STOP_ATTEMPTS):
        folder = os.path.join(out, f"attempt{attempt}")
        outcome = _stop_once(stop, inputs, folder)
        if outcome != NOT_STOPPED:
            return outcome
        shutil.rmtree(folder, ignore_errors=True)
    return outcome


def _stop_once(stop, inputs, out):
    os.makedirs(out, exist_ok=True)
    argv = [sys.executable, "-m", "quelmar", "melt", *inputs, "--jobs", str(stop.jobs), "--quiet",
            "--out", os.path.join(out, "tm.json"), "--plot", os.path.join(out, "tm.png")]
    # The signal acts as it would from a terminal, even where this runs in the background (which ignores SIGINT).
    process = subprocess.Popen(argv, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(stop.signal, signal.SIG_DFL)
                               if stop.signal != signal.SIGKILL else None)
    try:
        deadline, workers = time.monotonic() + STOP_START, None
        while time.monotonic() < deadline and process.poll() is None:
            found = children(process.pid)
            if any(n.endswith(".part") for n in os.listdir(out)) and len(found) >= (stop.jobs if stop.jobs > 1 else 0):
                workers = found
                break
            time.sleep(0.02)
        if workers is None:
            return NOT_STOPPED
        process.send_signal(stop.signal)
        stdout, stderr = process.communicate(timeout=STOP_END)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    deadline = time.monotonic() + STOP_END
    while any(alive(w) for w in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    if any(alive(w) for w in workers):
        return f"workers left running: {[w for w in workers if alive(w)]}"
    if process.returncode != stop.status:
        return f"exit status {process.returncode}, not {stop.status}: {stderr.decode()[-300:]}"
    if stop.signal != signal.SIGKILL:
        if stdout or b"Traceback" in stderr:
            return f"it wrote {(stdout + stderr)[-300:]!r}"
        if os.listdir(out):
            return f"left behind {os.listdir(out)}"
    return None


# -- running them ------------------------------------------------------------------------

@dataclass
class Outcome:
    """How one run ended: ``kind`` "read" (exit 0), "refused" (exit 2), "traceback", "signal" or "hang";
    ``peak`` the peak resident memory in KiB."""

    kind: str
    code: object
    out: str
    err: str
    peak: int
    seconds: float


def run(argv, *, stdin=None, memory=MEMORY, timeout=TIMEOUT, cwd=None):
    """Run ``argv`` under an address-space cap and a time limit; ``stdin`` is bytes written through a
    pipe, or a path opened as standard input."""
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        os.setsid()

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        feed, source = None, subprocess.DEVNULL
        if isinstance(stdin, bytes):
            source, pipe = os.pipe()
            feed = threading.Thread(target=_write_all, args=(pipe, stdin), daemon=True)
        elif stdin is not None:
            source = os.open(stdin, os.O_RDONLY)
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdin=source, stdout=out, stderr=err, preexec_fn=limit, cwd=cwd)
        if stdin is not None:
            os.close(source)
        if feed is not None:
            feed.start()
        deadline, hung = start + timeout, False
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline and not hung:
                hung = True
                os.killpg(proc.pid, signal.SIGKILL)
            time.sleep(0.005)
        seconds = time.monotonic() - start
        if feed is not None:
            feed.join(1.0)
        out.seek(0)
        err.seek(0)
        text_out, text_err = (f.read().decode("utf-8", "replace") for f in (out, err))
    code = proc.returncode = os.waitstatus_to_exitcode(status)
    kind = ("hang" if hung else "signal" if code < 0 else "read" if code == 0 else
            "refused" if code == 2 and "Traceback" not in text_err else "traceback")
    return Outcome(kind, None if hung else code, text_out, text_err, usage.ru_maxrss, seconds)


def _write_all(fd, data):
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except OSError:  # the reader stopped early
        pass


def prepare(case, directory, context):
    """Make the case's input: (path to read, standard input, sample sheet or None)."""
    return (case.make(directory, context), (case.stdin(directory) if case.stdin else None),
            case.sheet(directory, context) if case.sheet else None)


def named(prepared):
    """The file a refusal of a prepared case names, as messages show it (a name that is not UTF-8
    with its odd bytes escaped)."""
    path = prepared[2] or prepared[0]
    if path == "-":
        return "<stdin>"
    sys.path.insert(0, str(ROOT))
    from quelmar.common.errors import ReaderError
    return ReaderError(path, "").path


def read_case(case, prepared, **options):
    """Run the readers on one prepared case in a fresh process."""
    path, stdin, sheet = prepared
    return run([sys.executable, "-c", READER, str(ROOT), path, case.limits, sheet or ""], stdin=stdin, **options)


def _judged(outcome, expect, message, text):
    """Why an outcome is not what was expected ("refuse", "read" or "either"), or None."""
    if outcome.kind in ("traceback", "signal", "hang"):
        return outcome.kind
    if expect == "refuse" and outcome.kind != "refused":
        return "read a file that must be refused"
    if expect == "read" and outcome.kind != "read":
        return "refused a file that must be read"
    if outcome.kind == "refused" and message and message not in text:
        return f"refused without {message!r}"
    return None


def verdict(case, outcome):
    """None when the readers' outcome is what the case allows, else why not."""
    why = _judged(outcome, case.expect, case.message, outcome.out + outcome.err)
    held = outcome.out.split("\n")[0]
    if why is None and outcome.kind == "read" and case.expect == "read" and held not in (case.holds, "both"):
        return f"read as {held!r} data, not {case.holds}"
    return why


# -- the command ---------------------------------------------------------------------------

#: The options each subcommand needs besides the file (``--out`` is added for those with a check below).
#: The checks recompute each crafted curve's linear Ct and the comparative method from it.
SUBCOMMANDS = {"amplify": [], "melt": [], "standard": ["--ct", "linear"],
               "quantify": ["--calibrator", "u1", "--ct", "linear", "--efficiency", "2"],
               "report": ["--calibrator", "u1", "--ct", "linear", "--efficiency", "2"], "references": []}
#: What each subcommand's --out is; a table (JSON) unless named.
OUTPUTS = {"report": ".html"}
#: The data each reads; a subcommand not named here (one added later) is held only to refusing
#: what every reader refuses, in one line naming the file, and to never failing otherwise.
NEEDS = {"amplify": "amplification", "standard": "amplification", "quantify": "amplification", "melt": "melting"}
#: How far a melting temperature may lie from the crafted one.
TM_TOLERANCE = 0.005
#: Relative difference allowed between a result and the same arithmetic done here.
SAME = 1e-9


def output(directory, k, subcommand, case=None):
    """Where run ``k`` of a subcommand writes: its page, its --out (JSON unless the case says CSV),
    its --plot (a case's ".png"), or None for its text table."""
    suffix = OUTPUTS.get(subcommand) or (case.output if case is not None and case.output else ".json")
    return None if suffix == "stdout" else os.path.join(directory, f"{k}-{subcommand}{suffix}")


def run_by(case, subcommand):
    """Whether the command runs the case with this subcommand."""
    return case.only is None or subcommand in case.only


def command_case(case, prepared, subcommand, out=None, **options):
    """Run ``python3 -m quelmar SUBCOMMAND FILE`` on one prepared case in a fresh process."""
    path, stdin, sheet = prepared
    extra = case.options(os.path.dirname(path)) if callable(case.options) else case.options
    argv = [sys.executable, "-m", "quelmar", subcommand, path, "--quiet", *SUBCOMMANDS.get(subcommand, ()), *extra]
    argv += ["--limits", case.limits] if case.limits else []
    argv += [("--plot" if str(out).endswith(".png") else "--out"), str(out)] if out else []
    argv += ["--samples", sheet] if sheet else []
    return run(argv, stdin=stdin, cwd=ROOT, **options)


def expectation(case, subcommand):
    """("read", "refuse" or "either", and the text a refusal must hold) for a subcommand on a case."""
    if case.expect != "read":
        return case.expect, case.message
    if subcommand in case.readers:
        return "read", ""
    if subcommand == "report":  # a page of whatever a job reads; refused where each job refuses
        return ("read", "") if case.readers else ("refuse", next(iter(case.refusals.values()), ""))
    if subcommand not in NEEDS:
        return "either", ""
    need = NEEDS[subcommand]
    return "refuse", case.refusals.get(subcommand, "" if need == case.holds else f"not {need} data")


#: What may not reach a terminal: C0 controls but the newline, DEL and C1 controls.
CONTROLS = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")


def command_verdict(case, subcommand, outcome, path, out=None):
    """None when the command's run is a clean refusal or a correct read, else why not; ``path`` is
    the file the refusal names, as :func:`named` gives it."""
    lines = outcome.err.splitlines()
    why = _judged(outcome, *expectation(case, subcommand), lines[0] if lines else "")
    if why is None and CONTROLS.search(outcome.err):
        why = "a control character reached the terminal (stderr)"
    if why or outcome.kind != "refused":
        return why or _checked(case, subcommand, outcome, out)
    named_by = "quelmar: " if case.option_refusal else f"quelmar: {path}: "
    if outcome.out or len(lines) != 1 or not lines[0].startswith(named_by):
        return f"the refusal is not one line naming the {'option' if case.option_refusal else 'file'}"
    return "a refused run left its output behind" if out is not None and os.path.exists(out) else None


def _checked(case, subcommand, outcome, out):
    """What a run that read the file wrote, checked: the job's JSON (or page), then the case's own check."""
    if out is not None and not os.path.exists(out):
        return "a run that succeeded wrote no output"
    problem = None
    if subcommand == "report":
        problem = check_report(case, page_tables(out))
    elif not case.output and subcommand in CHECKS:
        problem = _checked_json(case, subcommand, out)
    return problem or (case.check(case, subcommand, outcome, out) if case.check else None)


def _checked_json(case, subcommand, out):
    try:
        with open(out, encoding="utf-8") as f:
            document = json.loads(f.read(), parse_constant=lambda token: _not_json(token))
    except ValueError as e:
        return f"the JSON output is not strict JSON ({e})"
    return CHECKS[subcommand](case, document)


def _not_json(token):
    raise ValueError(f"{token} is not JSON")


_REFERENCE = {}


def reference_ct(midpoints):
    """The linear Ct of a plate of crafted curves with cycles 1 to 40, as the library gives it."""
    if midpoints not in _REFERENCE:
        sys.path.insert(0, str(ROOT))
        import numpy as np
        from quelmar.analysis.amplification import analyze_amplification
        from quelmar.analysis.units import plate_scale
        curves = np.array([amplification(m) for m in midpoints])
        _REFERENCE[midpoints] = analyze_amplification(curves * plate_scale(curves)).ct_linear.tolist()
    return _REFERENCE[midpoints]


def _close(got, want):
    if got is None or want is None or not math.isfinite(want):
        return got is None and (want is None or not math.isfinite(want))
    return abs(got - want) <= SAME * max(1.0, abs(want))


def _plate_ct(rows):
    """Each row's well -> the Ct its crafted curve gives on the plate of these rows."""
    ct = reference_ct(tuple(MIDPOINTS.get(r["well"], MIDPOINTS["A1"]) for r in rows))
    return {r["well"]: c for r, c in zip(rows, ct)}


def check_amplify(case, document):
    first, last = 1 + case.shift, CYCLES + case.shift
    for row in document["wells"]:  # a Ct is a crossing within the run, or none
        for kind in ("ct_linear", "ct_sigmoid", "ct_window"):
            if row.get(kind) is not None and not first <= row[kind] <= last:
                return f"well {row['well']}: {kind} {row[kind]} outside the run's cycles {first:g} to {last:g}"
    plates = {}
    for row in document["wells"]:
        plates.setdefault((row["run"], row["target"]), []).append(row)
    if case.plates and len(plates) != case.plates:
        return f"{len(plates)} plates where the file has {case.plates}"
    for rows in plates.values():
        expected = _plate_ct(rows)
        for row in rows:
            if not _close(row["ct_linear"], expected[row["well"]] + case.shift):
                return f"well {row['well']}: Ct {row['ct_linear']} where the curve gives {expected[row['well']]}"
    return None


def check_melt(case, document):
    for row in document["wells"]:
        if math.isnan(case.tm):
            if row["tm"] is not None or "no-peak" not in row["flags"]:
                return f"well {row['well']}: Tm {row['tm']}, flags {row['flags']}, where it has no peak"
        elif row["tm"] is None or abs(row["tm"] - case.tm) > TM_TOLERANCE:
            return f"well {row['well']}: Tm {row['tm']} where the melt is at {case.tm:.2f}"
    return None


def check_standard(case, document):
    for fit in document["fits"]:
        ct = _plate_ct([w for w in document["wells"] if (w["run"], w["target"]) == (fit["run"], fit["target"])])
        want = (ct["A2"] - ct["A1"]) / (math.log10(QUANTITIES["s2"]) - math.log10(QUANTITIES["s1"]))
        if not abs(fit["slope"] - want) <= SAME * abs(want):
            return f"{fit['target']}: slope {fit['slope']} where the Ct give {want}"
    return None


def check_quantify(case, document):
    row = next((r for r in document["quantities"] if (r["sample"], r["target"]) == ("u2", "T")), None)
    if row is None:
        return "no relative quantity of u2 and T"
    target, reference = (_plate_ct([dict(well=w) for w in wells]) for wells in (("A1", "A2"), ("A3", "A4")))
    want = 2.0 ** -((target["A2"] - reference["A4"]) - (target["A1"] - reference["A3"]))
    return None if _close(row["rq"], want) else f"RQ {row['rq']} where the Ct give {want}"


#: The page's tables and the members of each job's JSON document they stand for.
PAGE_TABLES = {"amplify": {"wells": "amplification"}, "melt": {"wells": "melting wells"},
               "standard": {"fits": "standard curves", "wells": "standard wells"},
               "quantify": {"quantities": "relative quantities"}}
#: Columns of the page's tables the checks read as numbers.
PAGE_NUMBERS = {"ct_linear", "ct_sigmoid", "ct_window", "tm", "slope", "rq"}


def page_tables(path):
    """The tables a report page carries as JSON (each cell as the CSV writer writes it), by name."""
    with open(path, encoding="utf-8") as f:
        html = f.read()
    names = {name.replace(" ", "-"): name for job in PAGE_TABLES.values() for name in job.values()}
    tables = {}
    for key, source in re.findall(r'<div class="table" data-source="(table\d+)" data-file="([^"]*)\.csv"', html):
        name = next((names[n] for n in names if source.endswith("-" + n)), None)
        island = re.search(f'<script type="application/json" id="{key}">(.*?)</script>', html, re.S)
        if name is not None and island is not None:
            table = json.loads(island.group(1))
            tables[name] = [{c: (v.split(",") if v else []) if c == "flags" else
                             (float(v) if v else None) if c in PAGE_NUMBERS else v
                             for c, v in zip(table["columns"], row)} for row in table["rows"]]
    return tables


def check_report(case, tables):
    """The page holds, for every job that reads the case, the tables that job gives, checked as its output."""
    for job in case.readers:
        missing = [name for name in PAGE_TABLES[job].values() if name not in tables]
        if missing:
            return f"the page has no {missing[0]} table"
        problem = CHECKS[job](case, {key: tables[name] for key, name in PAGE_TABLES[job].items()})
        if problem:
            return f"the page's {job} tables: {problem}"
    return None


CHECKS = {"amplify": check_amplify, "melt": check_melt, "standard": check_standard, "quantify": check_quantify,
          "report": check_report}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--command", action="store_true", help="also run the subcommands of quelmar on every input")
    p.add_argument("--subcommands", metavar="A,B", help="with --command: these (default: every one that reads files)")
    p.add_argument("--memory", type=int, default=MEMORY >> 20, help="address-space cap in MiB (default 1024)")
    p.add_argument("--timeout", type=float, default=TIMEOUT, help="seconds per run (default 60)")
    p.add_argument("--workers", type=int, default=2, help="runs at a time (default 2)")
    p.add_argument("--keep", metavar="DIR", help="make the inputs in DIR and keep them")
    p.add_argument("--verbose", "-v", action="store_true", help="one line per run: outcome, seconds, MiB, message")
    args = p.parse_args(argv)
    options = dict(memory=args.memory << 20, timeout=args.timeout)
    directory = args.keep or tempfile.mkdtemp(prefix="quelmar-hostile-")
    os.makedirs(directory, exist_ok=True)
    outputs = tempfile.mkdtemp(prefix="quelmar-hostile-out-")
    context, failures, tables = {}, [], []
    try:
        prepared = [prepare(case, directory, context) for case in CASES]

        def reader(k):
            outcome = read_case(CASES[k], prepared[k], **options)
            return outcome, verdict(CASES[k], outcome)

        def subcommand(name):
            def one(k):
                out = output(outputs, k, name, CASES[k]) if name in CHECKS or CASES[k].output else None
                outcome = command_case(CASES[k], prepared[k], name, out, **options)
                why = command_verdict(CASES[k], name, outcome, named(prepared[k]), out)
                if out and os.path.exists(out):
                    os.unlink(out)
                return outcome, why
            return one
        everything = list(range(len(CASES)))
        plan = [("readers", reader, everything)]
        if args.command:
            if args.subcommands:
                names = [s.strip() for s in args.subcommands.split(",") if s.strip()]
            else:
                sys.path.insert(0, str(ROOT))
                from quelmar.command.cli import commands
                names = [name for name in commands() if name in SUBCOMMANDS]  # flags reads no file
            plan += [(f"quelmar {s}", subcommand(s), [k for k in everything if run_by(CASES[k], s)]) for s in names]
        with ThreadPoolExecutor(max(1, args.workers)) as pool:
            for title, runner, chosen in plan:
                results = list(zip([CASES[k] for k in chosen], pool.map(runner, chosen)))
                for case, (outcome, why) in results:
                    last = ((outcome.err.strip() or outcome.out.strip()).splitlines() or [""])[-1]
                    if args.verbose:
                        print(f"{title:>16} | {case.name:<45} | {outcome.kind:<9} {outcome.seconds:5.1f} s "
                              f"{outcome.peak / 1024:5.0f} MiB | {last[:150]}", flush=True)
                    if why:
                        failures.append(f"{title}: {case.name}: {why}: {last[:200]}")
                tables.append((title, [(c, o, w) for c, (o, w) in results]))
        for title, results in tables:
            kinds, clean = [o.kind for _, o, _ in results], [o.kind for _, o, why in results if why is None]
            slowest = max(results, key=lambda r: r[1].seconds)
            print(f"{title}: {len(results)} inputs tried, {clean.count('refused')} clean refusals, "
                  f"{clean.count('read')} correct reads, {kinds.count('traceback')} tracebacks, {kinds.count('hang')} "
                  f"hangs, {kinds.count('signal')} signals, {sum(w is not None for _, _, w in results)} not clean; "
                  f"peak memory {max(o.peak for _, o, _ in results) / 1024:.0f} MiB; "
                  f"slowest {slowest[1].seconds:.1f} s ({slowest[0].name})")
        with ThreadPoolExecutor(max(1, args.workers)) as pool:
            calls = list(zip(API_CASES, pool.map(lambda c: api_case(c, **options), API_CASES)))
        refused = [c for c, o in calls if api_verdict(c, o) is None]
        failures += [f"API: {c.name}: {api_verdict(c, o)}: {o.out.strip()[-200:]}" for c, o in calls
                     if api_verdict(c, o) is not None]
        print(f"API: {len(calls)} calls tried, {len(refused)} refused naming the problem, "
              f"{len(calls) - len(refused)} not")
        if args.command:
            inputs = stop_inputs(directory)
            stopped = [(stop, stop_run(stop, inputs, os.path.join(outputs, f"stop{k}"))) for k, stop in enumerate(STOPS)]
            failures += [f"stopped by {stop.name}: {why}" for stop, why in stopped if why]
            print(f"signals: {len(stopped)} runs stopped, {sum(w is None for _, w in stopped)} left no worker and no "
                  f"partial file, {sum(w is not None for _, w in stopped)} not")
        made = connections(context)
        if made:
            failures.append(f"{made} connection(s) to the entity server")
        for line in failures:
            print("  " + line)
    finally:
        for s in context.get("keep", []) + ([context["server"]] if "server" in context else []):
            s.close()
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)
        shutil.rmtree(outputs, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
