"""A corpus of hostile inputs for the readers and the command, made on the spot,
and a runner that reads each in a fresh process under a memory cap and a time
limit.

    /usr/bin/python3 tests/python/hostile_corpus.py [--command] [--memory MB] [--timeout S] [--keep DIR]

prints, for the readers (and with ``--command`` for ``quelmar amplify`` and
``quelmar melt`` on every input), the inputs tried, the clean refusals, the
files read, tracebacks, hangs, signals and the peak memory of one run, then
every run that was not clean. The exit status is 1 when any run ended in a
traceback, a hang or a signal, or read a file that must be refused.

Every input is made here from a few lines of code: zips flagged encrypted or
with an unknown compression method, corrupt deflate data, zip bombs, damaged
and oversized directories, XML with a byte-order mark, unknown or foreign
encodings, huge tokens, billion laughs, external entities, deep nesting,
readings out of range, CSV fields over the csv module's limit, repeated and
shuffled cycles, FIFOs, devices, directories and standard input.
"""
import argparse
import codecs
import os
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
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MiB = 1 << 20
MEMORY = 1 << 30
TIMEOUT = 60.0

READER = r"""
import sys
sys.path.insert(0, sys.argv[1])
from quelmar.errors import ReaderError
from quelmar.kinds import guess_kind, read_plate
from quelmar.limits import Limits
try:
    plate = read_plate(sys.argv[2], limits=Limits().parse(sys.argv[3]))
except ReaderError as e:
    print(e)
    sys.exit(2)
print(guess_kind(plate).name, len(plate.wells), *plate.notes, sep="\n")
"""


# -- making the inputs ---------------------------------------------------------------

def rdml(reacts=None, head="", version="1.2", runs=None, declaration=""):
    """An RDML document as text: one sample, one target, reactions in one run."""
    if reacts is None:
        reacts = [react(1), react(2)]
    runs = runs if runs is not None else [("e", "r", reacts)]
    body = "".join(f'<experiment id="{e}"><run id="{r}"><pcrFormat><rows>8</rows><columns>12</columns>'
                   f'<rowLabel>ABC</rowLabel><columnLabel>123</columnLabel></pcrFormat>{"".join(rs)}</run></experiment>'
                   for e, r, rs in runs)
    return (f'{declaration}<rdml version="{version}" xmlns="http://www.rdml.org">{head}'
            f'<sample id="s"><type>unkn</type></sample><target id="T"><type>toi</type><dyeId id="FAM"/></target>'
            f'{body}</rdml>')


def react(rid, cycles=(1, 2, 3, 4), fluor=None, tag="adp", axis="cyc"):
    """One reaction of one target with its data points."""
    fluor = fluor if fluor is not None else [str(100.0 * c) for c in range(1, len(cycles) + 1)]
    points = "".join(f"<{tag}><{axis}>{c}</{axis}><fluor>{f}</fluor></{tag}>" for c, f in zip(cycles, fluor))
    return f'<react id="{rid}"><sample id="s"/><data><tar id="T"/><cq>2.5</cq>{points}</data></react>'


def zipped(members, method=zipfile.ZIP_DEFLATED):
    """A zip archive (bytes) of {name: bytes or str}."""
    path = Path(tempfile.mkdtemp()) / "z.zip"
    with zipfile.ZipFile(path, "w", method) as z:
        for name, content in members.items():
            z.writestr(name, content)
    data = path.read_bytes()
    shutil.rmtree(path.parent)
    return data


def patch_zip(data, flags=None, method=None, size=None):
    """Set the flag bits, compression method or inflated size in every header."""
    out = bytearray(data)
    for signature, at_flags, at_method, at_size in ((b"PK\x03\x04", 6, 8, 22), (b"PK\x01\x02", 8, 10, 24)):
        start = out.find(signature)
        while start >= 0:
            if flags is not None:
                out[start + at_flags:start + at_flags + 2] = struct.pack("<H", flags)
            if method is not None:
                out[start + at_method:start + at_method + 2] = struct.pack("<H", method)
            if size is not None:
                out[start + at_size:start + at_size + 4] = struct.pack("<I", size)
            start = out.find(signature, start + 4)
    return bytes(out)


def zeros_deflated(mebibytes):
    """Raw deflate data of ``mebibytes`` MiB of zeros, made without inflating them all."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = c.compress(bytes(MiB)) + c.flush(zlib.Z_FULL_FLUSH)
    return block * mebibytes + c.flush()


def bomb(mebibytes, declared):
    """A zip whose one member, rdml_data.xml, inflates to ``mebibytes`` MiB of zeros
    and declares ``declared`` bytes."""
    name = b"rdml_data.xml"
    payload = zeros_deflated(mebibytes)
    crc = 0
    local = struct.pack("<4s5H3I2H", b"PK\x03\x04", 20, 0, 8, 0, 0x21, crc, len(payload), declared, len(name), 0)
    central = struct.pack("<4s6H3I5H2I", b"PK\x01\x02", 20, 20, 0, 8, 0, 0x21, crc, len(payload), declared,
                          len(name), 0, 0, 0, 0, 0, 0)
    offset = len(local) + len(name) + len(payload)
    directory = central + name
    end = struct.pack("<4s4H2IH", b"PK\x05\x06", 0, 0, 1, 1, len(directory), offset, 0)
    return local + name + payload + directory + end


def sample_csv(rows=((1, 10.0, 20.0), (2, 11.0, 21.0), (3, 12.0, 22.0), (4, 13.0, 23.0)), header="Cycle,A1,A2"):
    return header + "\n" + "".join(",".join(str(v) for v in row) + "\n" for row in rows)


@dataclass
class Case:
    """One crafted input.

    Attributes
    ----------
    name : str
    make : callable
        make(directory, context) -> the path to read (or "-"), writing the file.
    expect : str
        "refuse", "read" or "either".
    message : str
        A text the refusal must contain.
    stdin : callable or None
        stdin(directory) -> bytes fed through a pipe, or a path opened as standard input.
    limits : str
        Settings for :meth:`quelmar.limits.Limits.parse`.
    """

    name: str
    make: object
    expect: str
    message: str = ""
    stdin: object = None
    limits: str = ""
    tags: tuple = field(default_factory=tuple)


def _file(name, content):
    def make(directory, _context):
        path = Path(directory) / name
        data = content() if callable(content) else content
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return str(path)
    return make


def _fifo(directory, _context):
    path = Path(directory) / "fifo.rdml"
    if not path.exists():
        os.mkfifo(path)
    return str(path)

def _socket_file(directory, context):
    path = Path(directory) / "socket.csv"
    if not path.exists():
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(path))
        context.setdefault("keep", []).append(s)
    return str(path)


def _sparse(directory, _context):
    path = Path(directory) / "sparse.xml"
    with open(path, "wb") as f:
        f.truncate(1 << 30)
    return str(path)


def _symlink_zero(directory, _context):
    path = Path(directory) / "zero.rdml"
    if not path.is_symlink():
        path.symlink_to("/dev/zero")
    return str(path)


def _entity_file(directory, context):
    """An external entity naming a FIFO: a parser that opened it would wait forever."""
    fifo = _fifo(directory, context)
    doc = (f'<?xml version="1.0"?><!DOCTYPE rdml [<!ENTITY x SYSTEM "file://{fifo}">]>'
           + rdml(head="<id>&x;</id>"))
    return _file("entity_file.xml", doc)(directory, context)


def _entity_url(directory, context):
    """An external entity and a DTD on a local port that is listened on: nothing may connect."""
    server = context.get("server")
    if server is None:
        server = context["server"] = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(8)
        server.setblocking(False)
    port = server.getsockname()[1]
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
    order = [3, 1, 4, 2]
    return rdml([react(1, cycles=order, fluor=[str(10.0 * c) for c in order])])


def _two_documents():
    return zipped({"a.xml": rdml(), "b.xml": rdml()})


def _big_member_count():
    path = Path(tempfile.mkdtemp()) / "z.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("rdml_data.xml", rdml())
        for i in range(20_000):
            z.writestr(f"m{i}", b"")
    data = path.read_bytes()
    shutil.rmtree(path.parent)
    return data


def _damaged_directory():
    data = bytearray(zipped({"rdml_data.xml": rdml()}))
    at = data.find(b"PK\x01\x02")
    data[at + 4:at + 40] = b"\xff" * 36
    return bytes(data)


def _corrupt_deflate():
    data = bytearray(zipped({"rdml_data.xml": rdml() * 20}))
    at = data.find(b"rdml_data.xml") + len("rdml_data.xml")
    for k in range(at + 10, at + 60, 3):
        data[k] ^= 0x5A
    return bytes(data)


def _gbk():
    return rdml(declaration='<?xml version="1.0" encoding="GBK"?>').replace(
        '<sample id="s"><type>unkn</type></sample>', '<sample id="s"><type>unkn</type><description>样品</description>'
                                                     '</sample>').encode("gbk")


def _nested(depth):
    return "<rdml version='1.2'>" + "<a>" * depth + "</a>" * depth + "</rdml>"


CASES = [
    # zip archives
    Case("zip valid", _file("valid.rdml", lambda: zipped({"rdml_data.xml": rdml()})), "read"),
    Case("zip encrypted flag", _file("encrypted.rdml", lambda: patch_zip(zipped({"rdml_data.xml": rdml()}), flags=1)),
         "refuse", "encrypted"),
    Case("zip compression method 99", _file("aes.rdml", lambda: patch_zip(zipped({"rdml_data.xml": rdml()}),
                                                                              method=99)),
         "refuse", "compression method 99"),
    Case("zip corrupt deflate", _file("corrupt.rdml", _corrupt_deflate), "refuse", "damaged zip archive"),
    Case("zip bomb, honest size", _file("bomb.rdml", lambda: bomb(1024, 1 << 30)), "refuse", "inflated size"),
    Case("zip bomb, size understated", _file("bomb_lie.rdml", lambda: bomb(1024, 4096)), "refuse"),
    Case("zip bomb under a low limit", _file("bomb_small.rdml", lambda: bomb(8, 8 * MiB)), "refuse",
         "inflated size", limits="document=1M"),
    Case("zip ../ member names", _file("dotdot.rdml", lambda: zipped({"../../../tmp/rdml_data.xml": rdml(),
                                                                        "../evil.xml": "<x/>"})), "read"),
    Case("zip damaged directory", _file("directory.rdml", _damaged_directory), "refuse"),
    Case("zip truncated", _file("truncated.rdml", lambda: zipped({"rdml_data.xml": rdml() * 5})[:300]), "refuse",
         "damaged zip archive"),
    Case("zip 20,000 members", _file("members.rdml", _big_member_count), "refuse", "members"),
    Case("zip without members", _file("empty.rdml", lambda: zipped({})), "refuse", "no RDML document"),
    Case("zip member name not UTF-8", _file("badname.rdml", lambda: zipped({"rdml_\xe9.xml": rdml()}).replace(
        "\xe9".encode(), b"\xff\xfe")), "refuse", "damaged zip archive"),
    Case("zip two documents, one run id", _file("two_docs.rdml", _two_documents), "read"),
    # XML documents
    Case("XML UTF-8 byte-order mark", _file("bom8.xml", codecs.BOM_UTF8 + rdml().encode()), "read"),
    Case("XML UTF-16LE byte-order mark", _file("bom16.xml", codecs.BOM_UTF16_LE + rdml().encode("utf-16-le")),
         "read"),
    Case("XML UTF-16BE byte-order mark in a zip",
         _file("bom16be.rdml", lambda: zipped({"rdml_data.xml": codecs.BOM_UTF16_BE + rdml().encode("utf-16-be")})),
         "read"),
    Case("XML declared GBK", _file("gbk.xml", _gbk), "read"),
    Case("XML unknown encoding", _file("unknown.xml", rdml(declaration='<?xml version="1.0" encoding="x-qpcr"?>')),
         "refuse", "encoding 'x-qpcr'"),
    Case("XML UTF-32 byte-order mark", _file("utf32.xml", codecs.BOM_UTF32_LE + rdml().encode("utf-32-le")), "read"),
    Case("XML 64 MiB comment", _file("comment.xml", lambda: rdml(head="<!--" + "x" * (64 * MiB) + "-->")),
         "refuse", "processing instruction longer"),
    Case("XML 64 MiB attribute", _file("attribute.xml", lambda: rdml(head=f'<id a="{"x" * (64 * MiB)}"/>')),
         "refuse", "processing instruction longer"),
    Case("XML 64 MiB processing instruction", _file("pi.xml", lambda: rdml(head="<?pi " + "x" * (64 * MiB) + "?>")),
         "refuse", "processing instruction longer"),
    Case("XML 8 MiB text of a kept element",
         _file("text.xml", lambda: rdml().replace("<type>unkn</type>", f"<description>{'x' * 8 * MiB}</description>"
                                                  "<type>unkn</type>")), "refuse", "has a text longer"),
    Case("XML 64 MiB text of an ignored element", _file("ignored.xml", lambda: rdml(head=f"<id>{'x' * 64 * MiB}</id>")),
         "read"),
    Case("XML file of 1 GiB (sparse)", _sparse, "refuse", "the file"),
    Case("XML billion laughs", _file("laughs.xml", _laughs), "refuse", "DOCTYPE"),
    Case("XML external entity (a FIFO)", _entity_file, "refuse", "DOCTYPE"),
    Case("XML external entity and DTD (a local port)", _entity_url, "refuse", "DOCTYPE"),
    Case("XML nesting 100,000 deep", _file("deep.xml", _nested(100_000)), "refuse", "deep"),
    Case("XML 200,000 reactions", _file("reacts.xml", lambda: rdml(
        ['<react id="{0}"><sample id="s"/></react>'.format(i) for i in range(1, 200_001)])), "refuse", "react"),
    Case("XML not well-formed", _file("broken.xml", rdml()[:-20]), "refuse", "not well-formed"),
    Case("XML only a declaration", _file("decl.xml", '<?xml version="1.0"?>'), "refuse"),
    Case("XML root not rdml", _file("root.xml", "<html><body/></html>"), "refuse", "not <rdml>"),
    Case("RDML readings 1e-305", _file("tiny.xml", rdml([react(1, fluor=["1e-305"] * 4)])), "refuse", "range"),
    Case("RDML readings 1e305", _file("huge.xml", rdml([react(1, fluor=["1e305"] * 4)])), "refuse", "range"),
    Case("RDML reading NaN", _file("nan.xml", rdml([react(1, fluor=["1", "NaN", "2", "3"])])), "refuse", "finite"),
    Case("RDML reading -INF", _file("inf.xml", rdml([react(1, fluor=["1", "-INF", "2", "3"])])), "refuse", "finite"),
    Case("RDML reading 1e999", _file("overflow.xml", rdml([react(1, fluor=["1", "1e999", "2", "3"])])), "refuse",
         "finite"),
    Case("RDML cycle NaN", _file("cycnan.xml", rdml([react(1, cycles=("1", "nan", "3", "4"))])), "refuse", "finite"),
    Case("RDML repeated cycle", _file("repeat.xml", rdml([react(1, cycles=(1, 2, 2, 3))])), "refuse", "two <adp>"),
    Case("RDML shuffled cycles", _file("shuffled.xml", _shuffled), "read"),
    Case("RDML descending cycles", _file("descending.xml", rdml([react(1, cycles=(4, 3, 2, 1))])), "read"),
    Case("RDML two runs with one id", _file("runs.xml", rdml(runs=[("e1", "r", [react(1)]), ("e2", "r", [react(1)])])),
         "read"),
    Case("RDML number of 5,000 digits", _file("digits.xml", rdml([react(1, fluor=["9" * 5000] * 4)])), "refuse"),
    Case("RDML suffix, CSV inside", _file("csv.rdml", sample_csv()), "refuse", "not an RDML file"),
    # CSV
    Case("CSV valid", _file("valid.csv", sample_csv()), "read"),
    Case("CSV field over 131,072 characters",
         _file("field.csv", lambda: sample_csv() + '"' + "1" * 200_000 + '",1,1\n'), "refuse", "field longer"),
    Case("CSV line over 4 MiB", _file("line.csv", lambda: "Cycle," + ",".join(["A"] * (3 * MiB))), "refuse", "line 1"),
    Case("CSV NUL bytes", _file("nul.csv", sample_csv() + "5,\0,1\n"), "refuse", "not a number"),
    Case("CSV ragged rows", _file("ragged.csv", sample_csv() + "5,1\n"), "refuse", "fields where the header"),
    Case("CSV text in a reading", _file("text.csv", sample_csv() + "5,x,1\n"), "refuse", "not a number"),
    Case("CSV NaN reading", _file("nan.csv", sample_csv() + "5,nan,1\n"), "refuse", "finite"),
    Case("CSV inf reading", _file("inf.csv", sample_csv() + "5,1,-inf\n"), "refuse", "finite"),
    Case("CSV readings 1e-305", _file("tiny.csv", sample_csv(((1, 1e-305, 1e-305), (2, 2e-305, 1e-305),
                                                               (3, 3e-305, 1e-305)))), "refuse", "range"),
    Case("CSV readings 1e305", _file("huge.csv", sample_csv() + "5,1e305,1\n"), "refuse", "range"),
    Case("CSV repeated cycle", _file("repeat.csv", sample_csv() + "4,1,1\n"), "refuse", "repeats a cycle"),
    Case("CSV shuffled cycles", _file("shuffled.csv", sample_csv(((3, 30, 3), (1, 10, 1), (4, 40, 4), (2, 20, 2)))),
         "read"),
    Case("CSV descending cycles", _file("descending.csv", sample_csv(((4, 4, 4), (3, 3, 3), (2, 2, 2), (1, 1, 1)))),
         "read"),
    Case("CSV cycles 101 to 140", _file("offset.csv", sample_csv([(c, c, c) for c in range(101, 141)])), "read"),
    Case("CSV empty", _file("empty.csv", b""), "refuse", "header row"),
    Case("CSV header only", _file("header.csv", "Cycle,A1\n"), "refuse", "header row"),
    Case("CSV UTF-16 with tabs", _file("utf16.csv", codecs.BOM_UTF16_LE + sample_csv().replace(",", "\t").encode(
        "utf-16-le")), "read"),
    Case("CSV Latin-1 header", _file("latin1.csv", sample_csv(((60, 1, 2), (60.5, 1, 2), (61, 1, 2), (61.5, 1, 2)),
                                                              header="Temp (\xb0C),A1,A2").encode("latin-1")), "read"),
    Case("CSV binary junk", _file("junk.csv", bytes(range(256)) * 64), "refuse"),
    Case("CSV 300,000 columns", _file("columns.csv", lambda: "Cycle," + ",".join(f"W{i}" for i in range(300_000))
                                      + "\n"), "refuse", "columns"),
    Case("CSV not a plate", _file("norris.csv", "y,x\n0.1,0.2\n338.8,337.4\n118.1,118.2\n888.0,884.6\n"), "refuse",
         "not a plate"),
    Case("CSV past the readings limit", _file("readings.csv", lambda: sample_csv([(c, c, c) for c in range(1, 5001)])),
         "refuse", "readings", limits="readings=10000"),
    # what is not a regular file
    Case("a FIFO", _fifo, "refuse", "FIFO"),
    Case("/dev/zero", lambda d, c: "/dev/zero", "refuse", "character device"),
    Case("a symbolic link to /dev/zero", _symlink_zero, "refuse", "character device"),
    Case("a directory", lambda d, c: str(d), "refuse", "directory"),
    Case("a socket", _socket_file, "refuse", "socket"),
    Case("a missing file", lambda d, c: str(Path(d) / "missing.rdml"), "refuse", "No such file"),
    Case("standard input from /dev/zero", lambda d, c: "-", "refuse", "standard input",
         stdin=lambda d: "/dev/zero"),
    Case("standard input, a CSV through a pipe", lambda d, c: "-", "read", stdin=lambda d: sample_csv().encode()),
    Case("standard input, an RDML zip through a pipe", lambda d, c: "-", "read",
         stdin=lambda d: zipped({"rdml_data.xml": rdml()})),
]


# -- running them ------------------------------------------------------------------------

@dataclass
class Outcome:
    """How one run ended.

    Attributes
    ----------
    kind : str
        "read" (exit 0), "refused" (exit 2), "traceback", "signal" or "hang".
    code : int or None
    out, err : str
    peak : int
        Peak resident memory in KiB.
    seconds : float
    """

    kind: str
    code: object
    out: str
    err: str
    peak: int
    seconds: float


def run(argv, *, stdin=None, memory=MEMORY, timeout=TIMEOUT, cwd=None):
    """Run ``argv`` under an address-space cap and a time limit.

    Parameters
    ----------
    stdin : bytes, str or None
        Bytes written through a pipe, or a path opened as standard input.
    """
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        os.setsid()

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        feed, pipe, source = None, None, subprocess.DEVNULL
        if isinstance(stdin, bytes):
            read_end, pipe = os.pipe()
            source = read_end
        elif stdin is not None:
            source = open(stdin, "rb")
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdin=source, stdout=out, stderr=err, preexec_fn=limit, cwd=cwd)
        if isinstance(stdin, bytes):
            os.close(read_end)
            feed = threading.Thread(target=_write_all, args=(pipe, stdin), daemon=True)
            feed.start()
        elif stdin is not None:
            source.close()
        status, usage, hung = _wait(proc, timeout)
        seconds = time.monotonic() - start
        if feed is not None:
            feed.join(1.0)
        out.seek(0)
        err.seek(0)
        text_out, text_err = (f.read().decode("utf-8", "replace") for f in (out, err))
    code = os.waitstatus_to_exitcode(status)
    proc.returncode = code
    if hung:
        kind = "hang"
    elif code < 0:
        kind = "signal"
    elif code == 0:
        kind = "read"
    elif code == 2 and "Traceback" not in text_err:
        kind = "refused"
    else:
        kind = "traceback"
    return Outcome(kind, None if hung else code, text_out, text_err, usage.ru_maxrss, seconds)


def _write_all(fd, data):
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
    except (BrokenPipeError, OSError):
        pass


def _wait(proc, timeout):
    deadline, hung = time.monotonic() + timeout, False
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            return status, usage, hung
        if time.monotonic() > deadline and not hung:
            hung = True
            os.killpg(proc.pid, signal.SIGKILL)
        time.sleep(0.005)


def prepare(case, directory, context):
    """Make the case's input: (path to read, standard input)."""
    return case.make(directory, context), (case.stdin(directory) if case.stdin else None)


def read_case(case, prepared, **options):
    """Run the readers on one prepared case in a fresh process."""
    path, stdin = prepared
    return run([sys.executable, "-c", READER, str(ROOT), path, case.limits], stdin=stdin, **options)


def command_case(case, prepared, subcommand, **options):
    """Run ``python3 -m quelmar SUBCOMMAND FILE`` on one prepared case in a fresh process."""
    path, stdin = prepared
    env_limits = ["env", f"QUELMAR_LIMITS={case.limits}"] if case.limits else []
    return run([*env_limits, sys.executable, "-m", "quelmar", subcommand, path, "--quiet"], stdin=stdin, cwd=ROOT,
               **options)


def verdict(case, outcome):
    """None when the outcome is what the case allows, else why not."""
    if outcome.kind in ("traceback", "signal", "hang"):
        return outcome.kind
    if case.expect == "refuse" and outcome.kind != "refused":
        return "read a file that must be refused"
    if case.expect == "read" and outcome.kind != "read":
        return "refused a file that must be read"
    if outcome.kind == "refused" and case.message and case.message not in outcome.out + outcome.err:
        return f"refused without {case.message!r}"
    return None


def _summary(title, results):
    kinds = [o.kind for _, o in results]
    peak = max((o.peak for _, o in results), default=0)
    slowest = max(results, key=lambda r: r[1].seconds)
    print(f"{title}: {len(results)} inputs tried, {kinds.count('refused')} clean refusals, {kinds.count('read')} read, "
          f"{kinds.count('traceback')} tracebacks, {kinds.count('hang')} hangs, {kinds.count('signal')} signals; "
          f"peak memory {peak / 1024:.0f} MiB; slowest {slowest[1].seconds:.1f} s ({slowest[0].name})")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--command", action="store_true", help="also run quelmar amplify and melt on every input")
    p.add_argument("--memory", type=int, default=MEMORY >> 20, help="address-space cap in MiB (default 1024)")
    p.add_argument("--timeout", type=float, default=TIMEOUT, help="seconds per run (default 60)")
    p.add_argument("--keep", metavar="DIR", help="make the inputs in DIR and keep them")
    p.add_argument("--verbose", "-v", action="store_true", help="one line per run: outcome, seconds, MiB, message")
    args = p.parse_args(argv)
    options = dict(memory=args.memory << 20, timeout=args.timeout)
    directory = args.keep or tempfile.mkdtemp(prefix="quelmar-hostile-")
    os.makedirs(directory, exist_ok=True)
    context, failures, tables = {}, [], []
    try:
        prepared = [prepare(case, directory, context) for case in CASES]
        runs = [("readers", lambda c, p: read_case(c, p, **options))]
        if args.command:
            runs += [(f"quelmar {s}", lambda c, p, s=s: command_case(c, p, s, **options)) for s in ("amplify", "melt")]
        for title, runner in runs:
            results = []
            for case, made in zip(CASES, prepared):
                outcome = runner(case, made)
                results.append((case, outcome))
                if args.verbose:
                    last = (outcome.err.strip() or outcome.out.strip()).splitlines()[-1:] or [""]
                    print(f"{title:>15} | {case.name:<45} | {outcome.kind:<9} {outcome.seconds:5.1f} s "
                          f"{outcome.peak / 1024:5.0f} MiB | {last[0][:150]}", flush=True)
            tables.append((title, results))
            strict = title == "readers"
            for case, outcome in results:
                why = verdict(case, outcome) if strict else (
                    outcome.kind if outcome.kind in ("traceback", "signal", "hang") else None)
                if why:
                    last = (outcome.err.strip().splitlines() or outcome.out.strip().splitlines() or [""])[-1]
                    failures.append(f"{title}: {case.name}: {why}: {last[:200]}")
        for title, results in tables:
            _summary(title, results)
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
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
