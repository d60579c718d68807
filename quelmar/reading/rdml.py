"""Reader for RDML 1.0 to 1.4, the MIQE data exchange format.

An RDML file is a zip archive of one or more XML documents (an uncompressed
XML document is accepted too, with or without a byte-order mark). The RDML
document is ``rdml_data.xml``, or every member whose root element is
``rdml``; instrument makers add documents of their own, which are ignored.

The differences between versions that matter here: in 1.0 a reaction id is
the well label itself ("A1") and ``pcrFormat`` is a text, from 1.1 on the id
is a number counted row by row over ``pcrFormat``'s rows and columns (some
files keep 1.0's text and labels, e.g. "96-well plate; A1-H12"); a target
names its dye as text (1.0) or as an ``id`` attribute (1.1 on); from 1.3 on a
sample may carry a type and a quantity per target. A well's quantity is its
sample's reference quantity; the quantity that 1.0 puts into each reaction's
data is the instrument's result, and is not read. The plate geometry of each
run, and how it was found, is in ``PlateRead.geometry``.

Readings keep the file's own cycle numbers and temperatures, sorted ascending
when the file lists them in another order (a note says so); a repeated cycle
is refused, a repeated temperature kept for the melt analysis to merge. Runs are kept apart: a run whose id repeats one
read before (in another experiment or document) is renamed, with a note.

A data element's ``<excl>`` excludes its well: ``Well.file_exclusion`` holds
the reasons it gives (none for an empty element, or "true"); the "false", "no"
or "0" that some writers put there is read as included, with a note.

The file's own Cq is NaN where the file has none, where it is negative (the
schema's "not available" is -1) and where it lies past the last cycle of the
curve, which instruments write for "undetermined" (the LightCycler 96 writes
100 for a 50-cycle run).

The file is read as a stream within :class:`~quelmar.common.limits.Limits`. Malformed
input, and input past a limit, raises :class:`~quelmar.common.errors.ReaderError`
naming the file and the element or the limit; a plate is never returned
partly read.
"""
import lzma
import math
import re
import struct
import zipfile
import zlib
from array import array
from collections import Counter

import numpy as np

from . import _xml
from ..common.errors import ReaderError
from ..common.limits import default_limits, describe_size, how_to_raise, open_input, over_problem, read_bounded
from ..common.positions import STANDARD_PLATES, position, row_index, row_label, smallest_plate
from .plate import Well
from .readers import Geometry, PlateRead, RunInfo, bad_axis, bad_reading, first_bad, sort_axis

VERSIONS = ("1.0", "1.1", "1.2", "1.3", "1.4")

#: Zip compression methods read: stored, deflate, bzip2, LZMA.
COMPRESSIONS = {zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA}
#: Bytes of central directory allowed per member of the archive.
DIRECTORY_BYTES_PER_MEMBER = 1024
#: Member names listed in a message at most.
NAMES_SHOWN = 10

# The elements read, by parent; everything else is skipped unread.
_KEEP = {
    "rdml": {"dye", "sample", "target", "experiment"},
    "sample": {"type", "quantity", "description"},
    "quantity": {"value"},
    "target": {"type", "dyeId"},
    "experiment": {"run"},
    "run": {"pcrFormat", "react", "instrument", "runDate", "dataCollectionSoftware"},
    "dataCollectionSoftware": {"name", "version"},
    "pcrFormat": {"rows", "columns", "rowLabel", "columnLabel"},
    "react": {"sample", "data"},
    "data": {"tar", "cq", "excl", "adp", "mdp"},
}
# Elements whose text is read.
_TEXT = {"type", "description", "value", "rows", "columns", "rowLabel", "columnLabel", "pcrFormat", "dyeId",
         "sample", "tar", "cq", "excl", "instrument", "runDate", "name", "version"}
# Data points, folded into arrays of their data element as they end: tag -> (axis, reading).
_POINTS = {"adp": ("cyc", "fluor"), "mdp": ("tmp", "fluor")}
# Elements counted against limits.wells, each kind apart: (parent, element).
_COUNTED = {("rdml", "dye"), ("rdml", "sample"), ("rdml", "target"), ("rdml", "experiment"), ("experiment", "run"),
            ("run", "react"), ("react", "data")}
# Kept elements other than points, per limits.wells.
_NODES_PER_WELL = 8

#: What some writers put into ``<excl>`` to say "not excluded", although the
#: element's presence alone excludes; read as included, with a note.
_INCLUDED = {"false", "no", "0"}
#: ``<excl>`` texts that exclude without giving a reason.
_EXCLUDED = {"true", "yes", "1"}

_ZIP_ERRORS = (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, lzma.LZMAError, EOFError, NotImplementedError,
               RuntimeError, ValueError, struct.error, OverflowError, UnicodeError, OSError)


# -- the document, read into the few elements that matter ------------------------------

class _Node:
    """An element kept from the document: tag, attributes, kept children, text."""

    __slots__ = ("tag", "attrs", "children", "parts", "size", "points")

    def __init__(self, tag, attrs, text):
        self.tag, self.attrs, self.children = tag, attrs, []
        self.parts, self.size, self.points = ([] if text else None), 0, None

    def get(self, key, default=None):
        return self.attrs.get(key, default)

    def find(self, tag):
        return next((c for c in self.children if c.tag == tag), None)

    def findall(self, tag):
        return [c for c in self.children if c.tag == tag]

    @property
    def text(self):
        return "".join(self.parts) if self.parts else None


class _Builder:
    """Receives one document's events: keeps the elements that matter, folds
    the data points into arrays as they come, and counts against the limits.

    Data points are the bulk of a file and take a short road: no element is
    made for them, the texts of their two values are collected as they come.
    """

    skip = None  # set by _xml.parse

    def __init__(self, doc, limits):
        self.doc, self.limits = doc, limits
        self.stack, self.root, self.root_tag, self.ns = [], None, None, None
        self.counts, self.kept, self.readings = Counter(), 0, 0
        self.point, self.point_tag, self.field, self.parts, self.size = None, None, None, None, 0

    def start(self, tag, attrs):
        cut = tag.rfind("}")
        uri, local = (tag[:cut], tag[cut + 1:]) if cut >= 0 else ("", tag)
        stack = self.stack
        if self.point is not None:  # in a data point: its values, each once
            if self.field is None and uri == self.ns and local in _POINTS[self.point_tag] and local not in self.point:
                self.field, self.parts, self.size = local, [], 0
            else:
                self.skip(len(stack) + 2 + (self.field is not None))
            return
        if not stack:
            self.root_tag = local
            if local != "rdml":
                raise _xml.Stop
            self.ns, self.root = uri, _Node(local, attrs, False)
            stack.append(self.root)
            return
        parent = stack[-1]
        if uri != self.ns or local not in _KEEP.get(parent.tag, ()):
            self.skip(len(stack) + 1)
        elif local in _POINTS:
            self.point, self.point_tag = {}, local
        else:
            self._count(parent.tag, local)
            stack.append(_Node(local, attrs, local in _TEXT))

    def _count(self, parent, local):
        self.kept += 1
        if self.kept > _NODES_PER_WELL * self.limits.wells:
            self.doc.fail_limit("the number of elements read", _NODES_PER_WELL * self.limits.wells, "wells")
        if (parent, local) in _COUNTED:
            self.counts[local] += 1
            if self.counts[local] > self.limits.wells:
                self.doc.fail_limit(f"the number of <{local}> elements", self.limits.wells, "wells")

    def end(self, _tag):
        if self.field is not None:
            self.point[self.field] = "".join(self.parts)
            self.field = self.parts = None
            return
        if self.point is not None:
            self._point(self.stack[-1])
            self.point = None
            return
        node = self.stack.pop()
        if not self.stack:
            return
        if node.tag == "data":
            self._finish_data(node)
        self.stack[-1].children.append(node)

    def text(self, data):
        if self.parts is not None:
            node_tag, self.size = self.field, self.size + len(data)
            self.parts.append(data)
        elif self.point is None and self.stack and self.stack[-1].parts is not None:
            node = self.stack[-1]
            node_tag, node.size = node.tag, node.size + len(data)
            node.parts.append(data)
            self.size = node.size
        else:
            return
        if self.size > self.limits.token_bytes:
            self.doc.fail(f"<{node_tag}>", f"has a text longer than the limit of "
                                           f"{describe_size(self.limits.token_bytes)} {how_to_raise('token')}")

    def where(self):
        """The location of the innermost data element being read, for messages."""
        run = next((n for n in self.stack if n.tag == "run"), None)
        react = next((n for n in self.stack if n.tag == "react"), None)
        data = next((n for n in reversed(self.stack) if n.tag == "data"), None)
        parts = [f"run {run.get('id', '')!r}" if run else "", f"react {react.get('id', '')}" if react else "",
                 f"data {self.doc.ref(data, 'tar')!r}" if data else ""]
        return ", ".join(p for p in parts if p)

    def _point(self, data):
        tag, keys = self.point_tag, _POINTS[self.point_tag]
        if data.points is None:
            data.points = {}
        columns = data.points.get(tag)
        if columns is None:
            columns = data.points[tag] = (array("d"), array("d"))
        try:
            axis, reading = float(self.point[keys[0]]), float(self.point[keys[1]])
        except (KeyError, ValueError):
            self._bad_point(tag, keys, len(columns[0]) + 1)
        columns[0].append(axis)
        columns[1].append(reading)
        self.readings += 2
        if self.readings > self.limits.readings:
            self.doc.fail_limit("the number of readings", self.limits.readings, "readings")

    def _bad_point(self, tag, keys, index):
        where = f"{self.where()}, {tag} {index}"
        for key in keys:
            text = self.point.get(key, "").strip()
            if not text:
                self.doc.fail(where, f"has no <{key}>")
            try:
                float(text)
            except ValueError:
                self.doc.fail(where, f"<{key}> {text[:40]!r} is not a number")
        self.doc.fail(where, "cannot be read")

    def _finish_data(self, data):
        """The data element's points as sorted arrays, (axis, reading) per tag."""
        if not data.points:
            return
        self.stack.append(data)  # for where()
        for tag, columns in data.points.items():
            axis, reading = (np.frombuffer(c, dtype=np.float64).copy() for c in columns)
            for values, check, key in ((axis, bad_axis, _POINTS[tag][0]), (reading, bad_reading, "fluor")):
                i, why = first_bad(values, check)
                if i is not None:
                    self.doc.fail(f"{self.where()}, {tag} {i + 1}", f"<{key}> {float(values[i])!r} {why}")
            order, repeated = sort_axis(axis)
            # Two readings at one temperature are kept: the melt analysis merges them.
            if repeated is not None and tag != "mdp":
                self.doc.fail(self.where(), f"has two <{tag}> with {_POINTS[tag][0]} {repeated:g}")
            if order is not None:
                axis, reading = axis[order], reading[order]
                self.doc.resorted[tag] += 1
            data.points[tag] = (axis, reading)
        self.stack.pop()


class _Doc:
    """One document of the file: where errors point, and navigation."""

    def __init__(self, path, member, limits):
        self.path, self.member, self.limits = path, member, limits
        self.resorted, self.included = Counter(), 0

    def text(self, element, name, default=""):
        child = element.find(name)
        return default if child is None or child.text is None else child.text.strip()

    def ref(self, element, name):
        """An id reference: the ``id`` attribute (1.1 on) or the text (1.0)."""
        child = element.find(name)
        if child is None:
            return ""
        return child.get("id", (child.text or "").strip())

    def number(self, element, name, where, required=False):
        value = self.text(element, name, None)
        if value is None or value == "":
            if required:
                self.fail(where, f"has no <{name}>")
            return math.nan
        try:
            return float(value)
        except ValueError:
            self.fail(where, f"<{name}> {value[:40]!r} is not a number")

    def fail(self, where, problem):
        prefix = f"{self.member}: " if self.member else ""
        raise ReaderError(self.path, f"{prefix}{where} {problem}" if where else f"{prefix}{problem}")

    def fail_document(self, problem):
        raise ReaderError(self.path, f"{self.member or 'the document'} {problem}")

    def fail_limit(self, what, limit, setting):
        self.fail("", over_problem(what, f"{limit:,}", setting))


def _parse_document(doc, chunks):
    """The root of an RDML document as kept elements, or None when the root is not <rdml>."""
    builder = _Builder(doc, doc.limits)
    complete = _xml.parse(chunks, builder, doc.limits, doc.fail_document)
    if not complete:
        return None, builder.root_tag
    if builder.root is None:
        doc.fail_document("holds no element")
    return builder.root, "rdml"


# -- the file: a zip archive or one XML document ------------------------------------

def _documents(source, limits):
    """(member name or None, document, root) of every RDML document in the file."""
    name, stream = source.name, source.stream()
    try:
        is_zip = zipfile.is_zipfile(stream)
    except _ZIP_ERRORS:
        is_zip = False
    if not is_zip:
        head = source.head()
        if head.startswith(b"PK\x03\x04"):
            raise ReaderError(name, "damaged zip archive (its directory is missing: a truncated file?)")
        if not _xml.looks_like_xml(head):
            raise ReaderError(name, "not an RDML file (neither a zip archive nor an XML document)")
        doc = _Doc(name, None, limits)
        root, tag = _parse_document(doc, read_bounded(source.stream(), limits.document_bytes, name,
                                                      "the XML document", "document"))
        if root is None:
            raise ReaderError(name, f"the XML document's root is <{tag}>, not <rdml>")
        return [(doc, root)]
    _check_directory(source, limits)
    member, names, docs = None, [], []
    try:
        with zipfile.ZipFile(source.stream()) as z:
            infos = [i for i in z.infolist() if not i.is_dir() and i.filename.lower().endswith(".xml")]
            names = [i.filename for i in infos]
            chosen = [i for i in infos if i.filename == "rdml_data.xml"] or infos
            for info in chosen:
                member = info.filename
                doc = _Doc(name, member, limits)
                _check_member(doc, info, limits)
                with z.open(info) as f:
                    root, _ = _parse_document(doc, read_bounded(f, limits.document_bytes, name,
                                                                f"member {member!r} inflated", "document"))
                if root is not None:
                    docs.append((doc, root))
    except _ZIP_ERRORS as e:
        raise ReaderError(name, _zip_problem(member, e)) from None
    if not docs:
        shown = ", ".join(names[:NAMES_SHOWN]) + (f" and {len(names) - NAMES_SHOWN} more" if len(names) > NAMES_SHOWN
                                                  else "")
        raise ReaderError(name, f"no RDML document in the archive (members: {shown or 'none'})")
    return docs


def _zip_problem(member, error):
    at = f"member {member!r}: " if member else ""
    if isinstance(error, (zlib.error, lzma.LZMAError, EOFError)) or (member and isinstance(error, OSError)):
        return f"damaged zip archive ({at}corrupt compressed data: {error or 'it ends early'})"
    return f"damaged zip archive ({at}{error or type(error).__name__})"


def _check_member(doc, info, limits):
    if info.flag_bits & 0x1:
        doc.fail("", "is encrypted; an RDML file is read without a password")
    if info.compress_type not in COMPRESSIONS:
        doc.fail("", f"uses zip compression method {info.compress_type}, which is not read "
                     "(stored, deflate, bzip2 and LZMA are)")
    if info.file_size > limits.document_bytes:
        doc.fail("", over_problem(f"its inflated size ({describe_size(info.file_size)})",
                                  describe_size(limits.document_bytes), "document"))


def _check_directory(source, limits):
    """Refuse an archive whose central directory lists more members than the
    limit, before the zip module reads every entry into memory."""
    stream = source.stream()
    size = stream.seek(0, 2)
    tail = min(size, 22 + 0xFFFF + 20)
    stream.seek(size - tail)
    data = stream.read(tail)
    at = data.rfind(b"PK\x05\x06")
    if at < 0 or at + 22 > len(data):
        return
    entries, directory = struct.unpack("<HI", data[at + 10:at + 16])
    if (entries == 0xFFFF or directory == 0xFFFFFFFF) and at >= 20 and data[at - 20:at - 16] == b"PK\x06\x07":
        offset = struct.unpack("<Q", data[at - 12:at - 4])[0]
        if offset + 56 <= size:
            stream.seek(offset)
            record = stream.read(56)
            if record[:4] == b"PK\x06\x06":
                entries, directory = struct.unpack("<QQ", record[32:48])
    if entries > limits.members:
        raise ReaderError(source.name, over_problem(f"the archive's {entries:,} members", f"{limits.members:,}",
                                                    "members"))
    if directory > limits.members * DIRECTORY_BYTES_PER_MEMBER:
        raise ReaderError(source.name, over_problem(f"the archive's directory ({describe_size(directory)})",
                                                    describe_size(limits.members * DIRECTORY_BYTES_PER_MEMBER),
                                                    "members"))


# -- plates and wells ------------------------------------------------------------------

_WELLS_IN_TEXT = re.compile(r"(\d{1,4})\s*-?\s*wells?\b", re.IGNORECASE)
_RANGE_IN_TEXT = re.compile(r"\b([A-Z]{1,2})(\d{1,3})\s*(?:-|–|to|:)\s*([A-Z]{1,2})(\d{1,3})\b")
_PLATE_SIDE_MAX = 1000
FROM_FORMAT = "pcrFormat's rows and columns"


def _positive(text):
    return int(text) if text.isdigit() and len(text) <= 6 and 0 < int(text) <= _PLATE_SIDE_MAX else None


def _geometry(doc, fmt, react_ids):
    """The run's plate geometry, from pcrFormat's numbers, its text, or the reaction ids."""
    if fmt is not None:
        rows, columns = _positive(doc.text(fmt, "rows")), _positive(doc.text(fmt, "columns"))
        if rows and columns:
            return Geometry(rows, columns, FROM_FORMAT)
        text = " ".join((fmt.text or "").split())
        count = _WELLS_IN_TEXT.search(text)
        if count and int(count.group(1)) > 0:
            n = int(count.group(1))
            return Geometry(*STANDARD_PLATES.get(n, (1, n)), f"pcrFormat's text {text[:60]!r}")
        span = _RANGE_IN_TEXT.search(text)
        if span:
            rows = row_index(span.group(3)) - row_index(span.group(1)) + 1
            columns = int(span.group(4)) - int(span.group(2)) + 1
            if 0 < rows <= _PLATE_SIDE_MAX and 0 < columns <= _PLATE_SIDE_MAX:
                return Geometry(rows, columns, f"pcrFormat's text {text[:60]!r}")
    places = [position(r) for r in react_ids]
    if places and all(places):
        rows = max(r for r, _ in places) + 1
        columns = max(c for _, c in places) + 1
        if columns:
            first, last = react_ids[0], react_ids[-1]
            return Geometry(*smallest_plate(rows, columns),
                            f"the reaction ids ({first} to {last}): the smallest standard plate holding them")
    return Geometry(0, 0, "pcrFormat gives no rows and columns, and the reaction ids are not well labels")


def _well_namer(doc, run, geometry, where):
    """A function from a react id to a well name."""
    fmt = run.find("pcrFormat")
    rows, columns = geometry.rows, geometry.columns
    if fmt is None or geometry.how != FROM_FORMAT or columns <= 1:
        return lambda rid: rid  # 1.0 and its heirs: the ids are the labels
    rows_as, columns_as = doc.text(fmt, "rowLabel"), doc.text(fmt, "columnLabel")
    row_name = (lambda i: str(i + 1)) if rows_as == "123" else row_label
    column_name = row_label if columns_as == "ABC" else (lambda j: str(j + 1))
    joiner = "-" if rows_as == "123" and columns_as != "ABC" else ""

    def name(rid):
        if not rid.isdigit() or len(rid) > 9:
            return rid
        index = int(rid) - 1
        if not 0 <= index < rows * columns:
            doc.fail(f"{where}, react {rid}", f"lies outside the {rows} x {columns} plate")
        return f"{row_name(index // columns)}{joiner}{column_name(index % columns)}"
    return name


def _per_target(doc, sample, tag, target):
    """The sample's ``tag`` elements (type or quantity) for a target: the one
    naming the target, else the one naming none."""
    items = sample.findall(tag)
    for item in items:
        if item.get("targetId") == target:
            return item
    return next((i for i in items if i.get("targetId") is None), None)


def read_rdml(path, *, limits=None):
    """Read an RDML file.

    Parameters
    ----------
    path : str, path-like or quelmar.common.limits.Source
        A regular file, or ``-`` for standard input.
    limits : quelmar.common.limits.Limits, optional
        Default: :meth:`~quelmar.common.limits.Limits.from_env`.

    Returns
    -------
    quelmar.reading.readers.PlateRead
        One :class:`~quelmar.reading.plate.Well` per reaction and target, in file
        order; ``geometry`` and ``run_info`` per run, and ``notes``.

    Raises
    ------
    ReaderError
        For a file that is not RDML, holds malformed data, or passes a limit.
    """
    with open_input(path, default_limits(limits)) as source:
        plate = PlateRead(source.name, "RDML")
        resorted, origins, included = Counter(), {}, 0
        for doc, root in _documents(source, source.limits):
            _read_document(doc, root, plate, origins)
            resorted += doc.resorted
            included += doc.included
    for tag, count in sorted(resorted.items()):
        noun = "cycle" if tag == "adp" else "temperature"
        plate.notes.append(f"{count} data element{'s' if count > 1 else ''} listed {tag} readings out of {noun} "
                           f"order; they were sorted")
    if included:
        plate.notes.append(f"{included} data element{'s' if included > 1 else ''} hold <excl> with a text that means "
                           f"\"not excluded\" ({', '.join(sorted(_INCLUDED))}); read as included")
    return plate


def _read_document(doc, root, plate, origins):
    version = root.get("version")
    if version not in VERSIONS:
        doc.fail("<rdml>", f"has unknown version {version!r} (known: {', '.join(VERSIONS)})")
    plate.format = f"RDML {version}"
    plate.dyes += [d.get("id", "") for d in root.findall("dye")]
    samples = {s.get("id"): s for s in root.findall("sample")}
    for t in root.findall("target"):
        plate.targets[t.get("id")] = {"type": doc.text(t, "type"), "dye": doc.ref(t, "dyeId")}
    for sid, s in samples.items():
        plate.samples[sid] = {"type": doc.text(s, "type", "unkn"), "description": doc.text(s, "description")}
    for experiment in root.findall("experiment"):
        for run in experiment.findall("run"):
            _read_run(doc, plate, samples, experiment.get("id", ""), run, origins)


def _run_id(doc, plate, experiment, run, origins):
    """The run's id, made unique in the plate: a repeated id gets in brackets
    what tells it from the run read before (experiment or document), or a number."""
    rid = run.get("id", "")
    first = origins.setdefault(rid, (experiment, doc.member))
    if rid not in plate.runs:
        return rid
    candidates = [f"{rid} ({experiment})" if experiment != first[0] else None,
                  f"{rid} ({doc.member})" if doc.member and doc.member != first[1] else None]
    new = next((c for c in candidates if c and c not in plate.runs), None)
    k = 2
    while new is None:
        new = f"{rid} #{k}" if f"{rid} #{k}" not in plate.runs else None
        k += 1
    place = f"experiment {experiment!r}" + (f" of {doc.member}" if doc.member else "")
    plate.notes.append(f"run {rid!r} of {place} repeats the id of a run read before; read as run {new!r}")
    return new


def _read_run(doc, plate, samples, experiment, run, origins):
    rid = _run_id(doc, plate, experiment, run, origins)
    where = f"run {run.get('id', '')!r}"
    plate.runs.append(rid)
    plate.run_info[rid] = _run_info(doc, run)
    reacts = run.findall("react")
    geometry = _geometry(doc, run.find("pcrFormat"), [r.get("id", "") for r in reacts])
    plate.geometry[rid] = geometry
    namer = _well_namer(doc, run, geometry, where)
    seen, wells = set(), []
    for react in reacts:
        react_id = react.get("id", "")
        at = f"{where}, react {react_id}"
        if react_id in seen:
            doc.fail(at, "appears twice")
        seen.add(react_id)
        sample_id = doc.ref(react, "sample")
        if sample_id not in samples:
            doc.fail(at, f"refers to sample {sample_id!r}, which the file does not define")
        sample, name, targets = samples[sample_id], namer(react_id), set()
        for data in react.findall("data"):
            target = doc.ref(data, "tar")
            here = f"{at}, data {target!r}"
            if target not in plate.targets:
                doc.fail(here, "refers to a target the file does not define")
            if target in targets:
                doc.fail(here, "appears twice")
            targets.add(target)
            wells.append(_well(doc, plate, sample, sample_id, name, rid, target, data, here))
    _check_cycles(doc, where, wells)
    plate.wells += wells


def _run_info(doc, run):
    def words(element, name):
        return " ".join(doc.text(element, name).split()) if element is not None else ""
    software = run.find("dataCollectionSoftware")
    return RunInfo(words(run, "instrument"), words(run, "runDate"),
                   " ".join(filter(None, (words(software, "name"), words(software, "version")))))


def _well(doc, plate, sample, sample_id, name, rid, target, data, here):
    well = Well(name, run=rid, target=target, dye=plate.targets[target]["dye"], sample=sample_id)
    kind = _per_target(doc, sample, "type", target)
    well.sample_type = "unkn" if kind is None or not kind.text else kind.text.strip()
    quantity = _per_target(doc, sample, "quantity", target)  # not data/quantity: that is a result
    if quantity is not None:
        well.quantity = doc.number(quantity, "value", f"{here}, quantity")
        if math.isinf(well.quantity):
            plate.notes.append(f"sample {sample_id!r}: the quantity {well.quantity:g} was read as none")
            well.quantity = math.nan
    well.file_exclusion = _exclusion(doc, data)
    points = data.points or {}
    if "adp" in points:
        well.cycles, well.fluor = points["adp"]
    if "mdp" in points:
        well.melt_temperature, well.melt_fluor = points["mdp"]
    cq = doc.number(data, "cq", here)
    last = well.cycles[-1] if well.cycles is not None else math.inf
    well.cq = cq if 0 < cq < last else math.nan
    return well


def _exclusion(doc, data):
    """The reasons of the data element's ``<excl>`` (a tuple, maybe empty), or None when it has none."""
    element = data.find("excl")
    if element is None:
        return None
    text = (element.text or "").strip()
    if text.lower() in _INCLUDED:
        doc.included += 1
        return None
    if text.lower() in _EXCLUDED:
        return ()
    return tuple(r for r in (part.strip() for part in text.split(";")) if r)


def _check_cycles(doc, where, wells):
    """Every well of one target in a run has the same cycles, or none has any."""
    first = {}
    for w in wells:
        ref = first.setdefault(w.target, w)
        if (ref.cycles is None) != (w.cycles is None):
            doc.fail(f"{where}, well {w.name}, target {w.target!r}",
                     "has amplification data where other wells of the target have none, or the reverse")
        if w.cycles is not None and not np.array_equal(ref.cycles, w.cycles):
            doc.fail(f"{where}, well {w.name}, target {w.target!r}",
                     f"has {w.cycles.size} cycles ({w.cycles[0]:g} to {w.cycles[-1]:g}) where well {ref.name} "
                     f"has {ref.cycles.size} ({ref.cycles[0]:g} to {ref.cycles[-1]:g})")
