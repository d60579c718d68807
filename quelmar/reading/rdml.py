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
read before (in another experiment or document) is renamed, with a note. Two
reactions of one run that name one well (ids "A1" and "1", or "01" and "1")
are refused: which of them holds the well cannot be told.

Sample annotations (RDML 1.2 on: property and value) are kept per sample; the
first property of the file that names a biological group (``condition``,
``group``, ...; see GROUP_PROPERTIES) gives each well its ``group``, and one
that names a biological replicate its ``biological_replicate``. A quantity
keeps its unit; a dilution (unit ``dil``) becomes the relative quantity
1/dilution. A target's stated amplification efficiency is read as a factor
per cycle (``targets[id]["efficiency"]``, NaN where none; the number as
written is ``stated_efficiency``), from a percentage where an instrument
writes one.

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
import functools
import lzma
import math
import re
import struct
import zipfile
import zlib
from array import array
from collections import Counter
from dataclasses import dataclass

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
    "sample": {"type", "quantity", "description", "annotation"},
    "annotation": {"property", "value"},
    "quantity": {"value", "unit"},
    "target": {"type", "dyeId", "amplificationEfficiency"},
    "experiment": {"run"},
    "run": {"pcrFormat", "react", "instrument", "runDate", "dataCollectionSoftware"},
    "dataCollectionSoftware": {"name", "version"},
    "pcrFormat": {"rows", "columns", "rowLabel", "columnLabel"},
    "react": {"sample", "data"},
    "data": {"tar", "cq", "ampEff", "meltTemp", "excl", "note", "adp", "mdp"},
}
# Elements whose text is read.
_TEXT = {"type", "description", "value", "unit", "property", "rows", "columns", "rowLabel", "columnLabel",
         "pcrFormat", "dyeId", "amplificationEfficiency", "sample", "tar", "cq", "ampEff", "meltTemp", "excl",
         "note", "instrument", "runDate", "name", "version"}
# Data points, folded into arrays of their data element as they end: tag -> (axis, reading).
_POINTS = {"adp": ("cyc", "fluor"), "mdp": ("tmp", "fluor")}
# Elements counted against limits.wells, each kind apart: (parent, element).
_COUNTED = {("rdml", "dye"), ("rdml", "sample"), ("rdml", "target"), ("rdml", "experiment"), ("experiment", "run"),
            ("run", "react"), ("react", "data")}
# Kept elements other than points, per limits.wells.
_NODES_PER_WELL = 8

#: Sample annotations read as the sample's biological group, then as its
#: biological replicate: the first of these properties that a sample of the
#: file uses (compared without case, spaces, dots, hyphens and underscores).
GROUP_PROPERTIES = ("group", "condition", "biologicalgroup", "experimentalgroup", "treatment", "samplegroup")
REPLICATE_PROPERTIES = ("biologicalreplicate", "bioreplicate", "biorep", "replicate")
#: A target's amplificationEfficiency is the factor per cycle (1.95 for 95 %)
#: up to this; from PERCENT_RANGE's low end to its high end it is read as a
#: percentage, as some instruments write it (93.9 for 1.939); anything else,
#: and 0 (which instruments write for "not determined"), gives none.
FOLD_MAX = 3.0
PERCENT_RANGE = (50.0, 200.0)
#: The quantity unit of a dilution: 10 is a 1:10 dilution, relative quantity 0.1.
DILUTION = "dil"

#: What some writers put into ``<excl>`` to say "not excluded", although the
#: element's presence alone excludes; read as included, with a note.
_INCLUDED = {"false", "no", "0"}
#: ``<excl>`` texts that exclude without giving a reason.
_EXCLUDED = {"true", "yes", "1"}

_ZIP_ERRORS = (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, lzma.LZMAError, EOFError, NotImplementedError,
               RuntimeError, ValueError, struct.error, OverflowError, UnicodeError, OSError)


# -- the document, read into the few elements that matter ------------------------------

class _Node:
    """An element kept from the document: tag, attributes, kept children, text, and its parent for messages."""

    __slots__ = ("tag", "attrs", "children", "parts", "size", "points", "parent", "started")

    def __init__(self, tag, attrs, text, parent):
        self.tag, self.attrs, self.children, self.parent = tag, attrs, [], parent
        self.parts, self.size, self.points, self.started = ([] if text else None), 0, None, False

    def get(self, key, default=None):
        return self.attrs.get(key, default)

    def find(self, tag):
        return next((c for c in self.children if c.tag == tag), None)

    def findall(self, tag):
        return [c for c in self.children if c.tag == tag]

    @property
    def text(self):
        return "".join(self.parts) if self.parts else None


#: Where data elements lie below each element that holds them: the path from its finished children.
_DATA_BELOW = {"rdml": ("experiment", "run", "react", "data"), "experiment": ("run", "react", "data"),
               "run": ("react", "data"), "react": ("data",)}


def _branches(kind, p):
    """The location paths, below an element of ``kind``, of every element kept but points, from its children."""
    out = []
    for child in sorted(_KEEP.get(kind, ()) - _POINTS.keys()):
        out.append(f"{p}{child}")
        out += [f"{p}{child}/{below}" for below in _branches(child, p)]
    return out


@dataclass(frozen=True)
class _Query:
    """The XPaths that take what is kept of the finished children of one kind of element at once.

    ``kept``: every kept element below them but points, in document order;
    ``points``: per kind of point, a :class:`_PointQuery`.
    """

    kept: object
    points: dict


@dataclass(frozen=True)
class _PointQuery:
    """The XPaths that take the finished points of one kind below an element at once.

    ``total``: how many there are; ``data``: the data elements that hold them
    (None: the element is a data element itself, still being read); ``each``:
    how many one of those holds; ``axis`` and ``reading``: the text of every
    point's first value of each, in document order; ``markup``: whether a
    value holds an element, and ``markup_all`` whether it holds anything but
    text (a comment too: asked only of documents that have one). Without
    markup a value has one text node or none, so texts as many as points
    are one per point, and each data element's are the next as many as it
    has points.
    """

    total: object
    data: object
    each: object
    axis: object
    reading: object
    markup: object
    markup_all: object


@functools.lru_cache(maxsize=None)
def _queries(uri):
    """Per kind of kept element, its :class:`_Query` for a namespace (``$every``: the last child too)."""
    p, spaces = ("r:", {"r": uri}) if uri else ("", None)

    def xpath(expression):
        return _xml.etree().XPath(expression, namespaces=spaces, smart_strings=False)
    finished = "*[position() < last() + $every]"
    out = {}
    for kind in _KEEP:
        first = [b.split("/", 1) for b in _branches(kind, p)]
        kept = " | ".join(f"{finished}[self::{head}]" + (f"/{rest[0]}" if rest else "") for head, *rest in first)
        points = {}
        if kind in _DATA_BELOW or kind == "data":
            data = None  # a data element still being read
            if kind in _DATA_BELOW:
                head, *rest = [f"{p}{step}" for step in _DATA_BELOW[kind]]
                data = f"{finished}[self::{head}]" + "".join(f"/{step}" for step in rest)
            for tag, (axis, reading) in _POINTS.items():
                own = f"{data}/{p}{tag}" if data else f"{finished}[self::{p}{tag}]"
                points[tag] = _PointQuery(
                    xpath(f"count({own})"), xpath(data) if data else None,
                    xpath(f"count({p}{tag})") if data else xpath(f"count({finished}[self::{p}{tag}])"),
                    xpath(f"{own}/{p}{axis}[1]/text()"), xpath(f"{own}/{p}{reading}[1]/text()"),
                    xpath(f"boolean({own}/*/*)"), xpath(f"boolean({own}/*/node()[not(self::text())])"))
        out[kind] = _Query(xpath(kept) if kept else None, points)
    return out


class _Builder:
    """Takes the finished parts of one document as the parser hands them over:
    keeps the elements that matter as nodes, folds the data points into
    arrays, and counts against the limits.

    Whatever is finished below one element is taken at once, by a few XPaths
    evaluated in C: one for the kept elements, two per kind of data point for
    the texts of their values (each data element followed by its points'),
    converted in one pass; no Python runs per point, nor per element that is
    not kept.
    """

    def __init__(self, doc, limits):
        self.doc, self.limits = doc, limits
        self.root, self.ns, self.queries = None, None, None
        self.nodes, self.counts, self.elements, self.readings = {}, Counter(), 0, 0
        self.data = []  # every data element, in document order, for the checks of their points
        self.comments = False  # whether the document has a comment or processing instruction

    def comment(self):
        """A comment or processing instruction: held in the tree until it is cut (or to the end, beside the
        root), so counted with the elements read."""
        self.comments = True
        self.elements += 1
        if self.elements > _NODES_PER_WELL * self.limits.wells:
            self.doc.fail_limit("the number of elements read", _NODES_PER_WELL * self.limits.wells, "wells")

    def begin(self, root, uri):
        self.ns, self.queries = uri, _queries(uri)
        self.root = self.nodes[root] = _Node("rdml", dict(root.attrib), False, None)

    def open(self, path):
        """A node for each element of the path that is kept and has none yet; returns where on the path
        a data point still being read starts (nothing in it may be cut before its data element takes
        it whole), or the path's length."""
        parent = None
        for k, element in enumerate(path):
            node = self.nodes.get(element)
            if node is None:
                if parent is None:
                    break
                local = _xml.local_name(element.tag)
                if _xml.namespace(element.tag) != self.ns or local not in _KEEP.get(parent.tag, ()):
                    break
                if local in _POINTS:
                    return k
                node = self.nodes[element] = self._node(element, local, parent)
            parent = node
        return len(path)

    def _node(self, element, local, parent):
        self.elements += 1
        if self.elements > _NODES_PER_WELL * self.limits.wells:
            self.doc.fail_limit("the number of elements read", _NODES_PER_WELL * self.limits.wells, "wells")
        if (parent.tag, local) in _COUNTED:
            self.counts[local] += 1
            if self.counts[local] > self.limits.wells:
                self.doc.fail_limit(f"the number of <{local}> elements", self.limits.wells, "wells")
        attributes = dict(element.attrib)
        if any(len(v) > self.limits.token_bytes for v in attributes.values()):
            self.doc.fail(f"<{local}>", f"has an attribute longer than the limit of "
                                       f"{describe_size(self.limits.token_bytes)} {how_to_raise('token')}")
        return _Node(local, attributes, local in _TEXT, parent)

    def done(self, element, depth, every):
        """Take what is kept of the element's finished children (its last too when ``every``), which are then cut."""
        node = self.nodes.get(element)
        if node is None or not (len(element) > 1 or (every and len(element))):  # nothing kept, or nothing finished
            return
        query = self.queries.get(node.tag)
        finished = []
        if query is not None:
            if query.kept is not None:
                finished = self._kept(element, node, query.kept(element, every=every))
            for tag, paths in query.points.items():
                self._points(element, node, tag, paths, every, {e: n for e, n in finished if n.tag == "data"})
        for e, n in finished:
            if n.parts is not None:
                self._text(n, ([] if n.started else [e.text]) + [c.tail for c in e])
            elif n.tag == "data":
                self.data.append(n)
        if node.parts is not None and len(element) > 1:  # the text between the children that are cut
            self._text(node, ([] if node.started else [element.text]) + [c.tail for c in element[:-1]])
            node.started = True

    def _kept(self, element, node, found):
        """Nodes for the kept elements found (document order: a parent before its children), as children
        of their parents' nodes; those that were open before carry on with the nodes they had."""
        made, out = {element: node}, []
        for e in found:
            parent = made.get(e.getparent())
            if parent is None:  # below an element that is not kept: a kept name in the wrong place
                continue
            n = self.nodes.pop(e, None) or self._node(e, _xml.local_name(e.tag), parent)
            parent.children.append(n)
            made[e] = n
            out.append((e, n))
        return out

    def _text(self, node, parts):
        for part in parts:
            if part:
                node.parts.append(part)
                node.size += len(part)
        if node.size > self.limits.token_bytes:
            self.doc.fail(f"<{node.tag}>", f"has a text longer than the limit of "
                                           f"{describe_size(self.limits.token_bytes)} {how_to_raise('token')}")

    def where(self, node):
        """The location of a data element (or what holds it), for messages."""
        found = {}
        while node is not None:
            found.setdefault(node.tag, node)
            node = node.parent
        run, react, data = found.get("run"), found.get("react"), found.get("data")
        parts = [f"run {run.get('id', '')!r}" if run else "", f"react {react.get('id', '')}" if react else "",
                 f"data {self.doc.ref(data, 'tar')!r}" if data else ""]
        return ", ".join(p for p in parts if p)

    def _points(self, element, node, tag, query, every, datas):
        """The finished points of one kind below ``element`` (of ``element`` itself when it is a data
        element still being read), appended to the arrays of their data elements' nodes."""
        n = int(query.total(element, every=every))
        if not n:
            return
        if query.data is None:
            holders = [(element, node, n)]
        else:
            holders = [(e, datas[e], int(query.each(e))) for e in query.data(element, every=every) if e in datas]
        axis, reading = query.axis(element, every=every), query.reading(element, every=every)
        markup = query.markup_all if self.comments else query.markup
        whole = len(axis) == n == len(reading) == sum(h[2] for h in holders) and not markup(element, every=every)
        start = 0
        for e, data, count in holders:
            if not count:
                continue
            try:
                if not whole:
                    raise ValueError
                values = (array("d", map(float, axis[start:start + count])),
                          array("d", map(float, reading[start:start + count])))
            except ValueError:
                values = self._points_one_by_one(e, data, tag, every if e is element else 1)
            start += count
            self._append(data, tag, values)

    def _append(self, data, tag, values):
        if data.points is None:
            data.points = {}
        columns = data.points.setdefault(tag, (array("d"), array("d")))
        columns[0].extend(values[0])
        columns[1].extend(values[1])
        self.readings += 2 * len(values[0])
        if self.readings > self.limits.readings:
            self.doc.fail_limit("the number of readings", self.limits.readings, "readings")

    def _points_one_by_one(self, element, data, tag, every):
        """The points of one data element read one by one, for the message on the first that cannot be read."""
        keys = _POINTS[tag]
        values = array("d"), array("d")
        name = f"{{{self.ns}}}{tag}" if self.ns else tag
        points = [c for c in element.iterchildren(name)]
        if not every and points and points[-1] is element[-1]:
            points.pop()
        before = len(data.points[tag][0]) if data.points and tag in data.points else 0
        for index, point in enumerate(points, before + 1):
            where = f"{self.where(data)}, {tag} {index}"
            for key, column in zip(keys, values):
                child = point.find(f"{{{self.ns}}}{key}" if self.ns else key)
                text = "".join(child.xpath("text()")).strip() if child is not None else ""
                if not text:
                    self.doc.fail(where, f"has no <{key}>")
                try:
                    column.append(float(text))
                except ValueError:
                    self.doc.fail(where, f"<{key}> {text[:40]!r} is not a number")
        return values

    def finish(self):
        """Every data element's points as arrays in axis order, (axis, reading) per tag, each checked:
        all points of the document at once, one data element at a time only where one is out of order."""
        for tag in _POINTS:
            data = [d for d in self.data if d.points and tag in d.points]
            if not data:
                continue
            sizes = np.array([len(d.points[tag][0]) for d in data])
            ends = np.cumsum(sizes)
            axis, reading = (np.concatenate([np.frombuffer(d.points[tag][k], dtype=np.float64) for d in data])
                             for k in (0, 1))
            for values, check, key in ((axis, bad_axis, _POINTS[tag][0]), (reading, bad_reading, "fluor")):
                i, why = first_bad(values, check)
                if i is not None:
                    k = int(np.searchsorted(ends, i, side="right"))
                    self.doc.fail(f"{self.where(data[k])}, {tag} {i - (ends[k] - sizes[k]) + 1}",
                                  f"<{key}> {float(values[i])!r} {why}")
            rises = np.diff(axis) > 0
            rises[ends[:-1] - 1] = True  # from one data element to the next
            unsorted = set(np.searchsorted(ends, np.flatnonzero(~rises), side="right").tolist())
            for k, d in enumerate(data):
                a, r = axis[ends[k] - sizes[k]:ends[k]].copy(), reading[ends[k] - sizes[k]:ends[k]].copy()
                if k in unsorted:
                    a, r = self._sorted(d, tag, a, r)
                d.points[tag] = (a, r)

    def _sorted(self, data, tag, axis, reading):
        order, repeated = sort_axis(axis)
        # Two readings at one temperature are kept: the melt analysis merges them.
        if repeated is not None and tag != "mdp":
            self.doc.fail(self.where(data), f"has two <{tag}> with {_POINTS[tag][0]} {repeated:g}")
        if order is None:
            return axis, reading
        self.doc.resorted[tag] += 1
        return axis[order], reading[order]


class _Doc:
    """One document of the file: where errors point, and navigation."""

    def __init__(self, path, member, limits):
        self.path, self.member, self.limits = path, member, limits
        self.resorted, self.included, self.dilutions = Counter(), 0, 0

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
    """The root of an RDML document as kept elements, or None when the root is not <rdml>; and the root's name."""
    builder = _Builder(doc, doc.limits)
    root = _xml.parse(chunks, builder, doc.limits, doc.fail_document)
    if builder.root is None:
        return None, root
    builder.finish()
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
    path : str, bytes, path-like or quelmar.common.limits.Source
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
        resorted, origins, included, dilutions = Counter(), {}, 0, 0
        for doc, root in _documents(source, source.limits):
            _read_document(doc, root, plate, origins)
            resorted += doc.resorted
            included += doc.included
            dilutions += doc.dilutions
    for tag, count in sorted(resorted.items()):
        noun = "cycle" if tag == "adp" else "temperature"
        plate.notes.append(f"{count} data element{'s' if count > 1 else ''} listed {tag} readings out of {noun} "
                           f"order; they were sorted")
    if included:
        plate.notes.append(f"{included} data element{'s' if included > 1 else ''} hold <excl> with a text that means "
                           f"\"not excluded\" ({', '.join(sorted(_INCLUDED))}); read as included")
    if dilutions:
        plate.notes.append(f"{dilutions} well{'s' if dilutions > 1 else ''} give their quantity as a dilution (unit "
                           f"{DILUTION}: 10 is 1:10); read as the relative quantity 1/dilution")
    return plate


def _read_document(doc, root, plate, origins):
    version = root.get("version")
    if version not in VERSIONS:
        doc.fail("<rdml>", f"has unknown version {version!r} (known: {', '.join(VERSIONS)})")
    plate.format = f"RDML {version}"
    plate.dyes += [d.get("id", "") for d in root.findall("dye")]
    samples = {s.get("id"): s for s in root.findall("sample")}
    for t in root.findall("target"):
        tid = t.get("id")
        stated = doc.number(t, "amplificationEfficiency", f"target {tid!r}")
        plate.targets[tid] = {"type": doc.text(t, "type"), "dye": doc.ref(t, "dyeId"),
                              "efficiency": stated_efficiency(stated), "stated_efficiency": stated}
    for sid, s in samples.items():
        plate.samples[sid] = {"type": doc.text(s, "type", "unkn"), "description": doc.text(s, "description"),
                              "annotations": _annotations(doc, plate, sid, s),
                              "quantities": _quantities(doc, sid, s)}
    _annotated(plate, samples)
    for experiment in root.findall("experiment"):
        for run in experiment.findall("run"):
            _read_run(doc, plate, samples, experiment.get("id", ""), run, origins)


def stated_efficiency(value):
    """The amplification factor per cycle that a target's amplificationEfficiency states, or NaN."""
    if 1.0 < value <= FOLD_MAX:
        return value
    if PERCENT_RANGE[0] <= value <= PERCENT_RANGE[1]:
        return 1.0 + value / 100.0
    return math.nan


def _annotations(doc, plate, sid, sample):
    """The sample's annotations, property -> value, in file order; a repeated property keeps its first value."""
    out = {}
    for a in sample.findall("annotation"):
        prop, value = doc.text(a, "property"), doc.text(a, "value")
        if not prop:
            continue
        if prop in out:
            plate.notes.append(f"sample {sid!r} annotates {prop!r} twice; its first value {out[prop]!r} is kept")
            continue
        out[prop] = value
    return out


def _quantities(doc, sid, sample):
    """The sample's quantities as written, target id (None for every target) -> (value, unit)."""
    out = {}
    for q in sample.findall("quantity"):
        out.setdefault(q.get("targetId"), (doc.number(q, "value", f"sample {sid!r}, quantity"), doc.text(q, "unit")))
    return out


def _normal_property(name):
    return re.sub(r"[\s._-]+", "", name.lower())


def _annotated(plate, samples):
    """Each sample's biological group and replicate, from the first annotation property of the file that names them."""
    for key, properties in (("group", GROUP_PROPERTIES), ("biological_replicate", REPLICATE_PROPERTIES)):
        used = {}
        for sid in samples:
            for prop in plate.samples[sid]["annotations"]:
                used.setdefault(_normal_property(prop), prop)
        chosen = next((used[p] for p in properties if p in used), None)
        found = 0
        for sid in samples:
            value = next((v for p, v in plate.samples[sid]["annotations"].items()
                          if chosen is not None and _normal_property(p) == _normal_property(chosen)), "")
            plate.samples[sid][key] = value
            plate.samples[sid][f"{key}_property"] = chosen or ""
            found += bool(value)
        if found:
            noun = "group" if key == "group" else "biological replicate"
            plate.notes.append(f"the samples' {noun} is read from their annotation {chosen!r} ({found} of "
                               f"{len(samples)} samples)")


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
    plate.run_info[rid] = _run_info(doc, experiment, run)
    reacts = run.findall("react")
    geometry = _geometry(doc, run.find("pcrFormat"), [r.get("id", "") for r in reacts])
    plate.geometry[rid] = geometry
    namer = _well_namer(doc, run, geometry, where)
    seen, named, wells = set(), {}, []
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
        # Two ids for one well ("A1" and "1", or "01" and "1"): which of them holds the well cannot be told.
        other = named.setdefault(name, react_id)
        if other != react_id:
            doc.fail(at, f"is well {name}, as react {other} is")
        for data in react.findall("data"):
            target = doc.ref(data, "tar")
            here = f"{at}, data {target!r}"
            if target not in plate.targets:
                doc.fail(here, "refers to a target the file does not define")
            if target in targets:
                doc.fail(here, "appears twice")
            targets.add(target)
            wells.append(_well(doc, plate, sample, sample_id, name, rid, target, data, here))
            wells[-1].react = react_id
    _check_cycles(doc, where, wells)
    plate.wells += wells


def _run_info(doc, experiment, run):
    def words(element, name):
        return " ".join(doc.text(element, name).split()) if element is not None else ""
    software, fmt = run.find("dataCollectionSoftware"), run.find("pcrFormat")
    name, version = words(software, "name"), words(software, "version")
    return RunInfo(words(run, "instrument"), words(run, "runDate"), " ".join(filter(None, (name, version))),
                   experiment=experiment, id=run.get("id", ""), row_label=words(fmt, "rowLabel"),
                   column_label=words(fmt, "columnLabel"), software_name=name, software_version=version)


def _well(doc, plate, sample, sample_id, name, rid, target, data, here):
    about = plate.samples[sample_id]
    well = Well(name, run=rid, target=target, dye=plate.targets[target]["dye"], sample=sample_id,
                group=about["group"], biological_replicate=about["biological_replicate"])
    kind = _per_target(doc, sample, "type", target)
    well.sample_type = "unkn" if kind is None or not kind.text else kind.text.strip()
    quantity = _per_target(doc, sample, "quantity", target)  # not data/quantity: that is a result
    if quantity is not None:
        _quantity(doc, plate, well, quantity, f"{here}, quantity")
    well.file_exclusion = _exclusion(doc, data)
    points = data.points or {}
    if "adp" in points:
        well.cycles, well.fluor = points["adp"]
    if "mdp" in points:
        well.melt_temperature, well.melt_fluor = points["mdp"]
    cq = doc.number(data, "cq", here)
    last = well.cycles[-1] if well.cycles is not None else math.inf
    well.cq = cq if 0 < cq < last else math.nan
    well.file_efficiency = doc.number(data, "ampEff", here)
    well.file_tm = doc.number(data, "meltTemp", here)
    well.file_note = doc.text(data, "note")
    return well


def _quantity(doc, plate, well, quantity, where):
    """The well's quantity and unit; a dilution becomes its relative quantity."""
    value = doc.number(quantity, "value", where)
    well.quantity_unit = doc.text(quantity, "unit")
    if math.isinf(value):
        plate.notes.append(f"sample {well.sample!r}: the quantity {value:g} was read as none")
        value = math.nan
    if well.quantity_unit == DILUTION and math.isfinite(value):
        doc.dilutions += 1
        value = 1.0 / value if value > 0.0 else math.nan
    well.quantity = value


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
