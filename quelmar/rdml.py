"""Reader for RDML 1.0 to 1.4, the MIQE data exchange format.

An RDML file is a zip archive of one or more XML documents (an uncompressed
XML document is accepted too). The RDML document is ``rdml_data.xml``, or
every member whose root element is ``rdml``; instrument makers add documents
of their own, which are ignored.

The differences between versions that matter here: in 1.0 a reaction id is
the well label itself ("A1") and ``pcrFormat`` is a text, from 1.1 on the id
is a number counted row by row over ``pcrFormat``'s rows and columns; a
target names its dye as text (1.0) or as an ``id`` attribute (1.1 on); from
1.3 on a sample may carry a type and a quantity per target. A well's quantity
is its sample's reference quantity; the quantity that 1.0 puts into each
reaction's data is the instrument's result, and is not read.

The file's own Cq is NaN where the file has none, where it is negative (the
schema's "not available" is -1) and where it lies past the last cycle of the
curve, which instruments write for "undetermined" (the LightCycler 96 writes
100 for a 50-cycle run).

Malformed input raises :class:`~quelmar.errors.ReaderError` naming the file
and the element; a plate is never returned partly read.
"""
import math
import xml.etree.ElementTree as ET
import zipfile

import numpy as np

from .errors import ReaderError
from .plate import PlateFile, Well

VERSIONS = ("1.0", "1.1", "1.2", "1.3", "1.4")


def _documents(path):
    """(member name, root element) of every RDML document in the file."""
    try:
        if not zipfile.is_zipfile(path):
            with open(path, "rb") as f:
                head = f.read(512).lstrip()
            if not head.startswith(b"<"):
                raise ReaderError(path, "not an RDML file (neither a zip archive nor an XML document)")
            root = _parse(path, None, path)
            if _local(root.tag) != "rdml":
                raise ReaderError(path, f"the XML document's root is <{_local(root.tag)}>, not <rdml>")
            return [(None, root)]
        with zipfile.ZipFile(path) as z:
            names = [n for n in z.namelist() if n.lower().endswith(".xml")]
            if "rdml_data.xml" in names:
                names = ["rdml_data.xml"]
            docs = []
            for n in names:
                root = _parse(path, n, z.open(n))
                if _local(root.tag) == "rdml":
                    docs.append((n, root))
    except zipfile.BadZipFile as e:
        raise ReaderError(path, f"damaged zip archive ({e})") from None
    if not docs:
        raise ReaderError(path, f"no RDML document in the archive (members: {', '.join(names) or 'none'})")
    return docs


def _parse(path, member, source):
    try:
        return ET.parse(source).getroot()
    except ET.ParseError as e:
        raise ReaderError(path, f"{member or 'document'} is not well-formed XML ({e})") from None


def _local(tag):
    return tag.rsplit("}", 1)[-1]


class _Doc:
    """Navigation in one document, in the namespace of its root element."""

    def __init__(self, path, member, root):
        self.path, self.member = path, member
        self.ns = root.tag[:root.tag.index("}") + 1] if root.tag.startswith("{") else ""

    def all(self, element, name):
        return element.findall(self.ns + name)

    def text(self, element, name, default=""):
        child = element.find(self.ns + name)
        return default if child is None or child.text is None else child.text.strip()

    def ref(self, element, name):
        """An id reference: the ``id`` attribute (1.1 on) or the text (1.0)."""
        child = element.find(self.ns + name)
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
            self.fail(where, f"<{name}> {value!r} is not a number")

    def fail(self, where, problem):
        raise ReaderError(self.path, f"{(self.member + ': ') if self.member else ''}{where} {problem}")


def _row_label(index):
    """0 -> A, 25 -> Z, 26 -> AA, as plates of more than 26 rows count on."""
    label = ""
    index += 1
    while index:
        index, r = divmod(index - 1, 26)
        label = chr(65 + r) + label
    return label


def _well_namer(doc, run, where):
    """A function from a react id to a well name, from the run's pcrFormat."""
    fmt = run.find(doc.ns + "pcrFormat")
    if fmt is None or len(fmt) == 0:  # 1.0: the ids are the labels
        return lambda rid: rid
    try:
        rows, columns = int(doc.text(fmt, "rows")), int(doc.text(fmt, "columns"))
    except ValueError:
        doc.fail(where, "has a pcrFormat whose rows or columns are not integers")
    row_label, column_label = doc.text(fmt, "rowLabel"), doc.text(fmt, "columnLabel")

    def name(rid):
        if not rid.isdigit() or rows <= 0 or columns <= 1 or row_label != "ABC" or column_label != "123":
            return rid
        index = int(rid) - 1
        if not 0 <= index < rows * columns:
            doc.fail(f"{where}, react {rid}", f"lies outside the {rows} x {columns} plate")
        return f"{_row_label(index // columns)}{index % columns + 1}"
    return name


def _points(doc, data, tag, keys, where):
    """The data points ``tag`` (adp or mdp) of a data element as one array per key."""
    points = doc.all(data, tag)
    values = np.empty((len(keys), len(points)))
    for i, p in enumerate(points):
        for k, key in enumerate(keys):
            values[k, i] = doc.number(p, key, f"{where}, {tag} {i + 1}", required=True)
    first = values[0]
    order = np.argsort(first, kind="stable")
    if np.any(np.diff(first[order]) == 0):
        dup = first[order][np.flatnonzero(np.diff(first[order]) == 0)[0]]
        doc.fail(where, f"has two <{tag}> with {keys[0]} {dup:g}")
    return values[:, order]


def _per_target(doc, sample, tag, target):
    """The sample's ``tag`` elements (type or quantity) for a target: the one
    naming the target, else the one naming none."""
    items = doc.all(sample, tag)
    for item in items:
        if item.get("targetId") == target:
            return item
    return next((i for i in items if i.get("targetId") is None), None)


def read_rdml(path):
    """Read an RDML file.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    PlateFile
        One :class:`~quelmar.plate.Well` per reaction and target, in file order.

    Raises
    ------
    ReaderError
        For a file that is not RDML or holds malformed data.
    """
    path = str(path)
    plate = PlateFile(path, "RDML")
    for member, root in _documents(path):
        doc = _Doc(path, member, root)
        version = root.get("version")
        if version not in VERSIONS:
            doc.fail("<rdml>", f"has unknown version {version!r} (known: {', '.join(VERSIONS)})")
        plate.format = f"RDML {version}"
        plate.dyes += [d.get("id", "") for d in doc.all(root, "dye")]
        samples = {s.get("id"): s for s in doc.all(root, "sample")}
        for t in doc.all(root, "target"):
            plate.targets[t.get("id")] = {"type": doc.text(t, "type"), "dye": doc.ref(t, "dyeId")}
        for sid, s in samples.items():
            plate.samples[sid] = {"type": doc.text(s, "type", "unkn"), "description": doc.text(s, "description")}
        for experiment in doc.all(root, "experiment"):
            for run in doc.all(experiment, "run"):
                _read_run(doc, plate, samples, run)
    return plate


def _read_run(doc, plate, samples, run):
    rid = run.get("id", "")
    where = f"run {rid!r}"
    plate.runs.append(rid)
    namer = _well_namer(doc, run, where)
    seen, wells = set(), []
    for react in doc.all(run, "react"):
        react_id = react.get("id", "")
        at = f"{where}, react {react_id}"
        if react_id in seen:
            doc.fail(at, "appears twice")
        seen.add(react_id)
        sample_id = doc.ref(react, "sample")
        if sample_id not in samples:
            doc.fail(at, f"refers to sample {sample_id!r}, which the file does not define")
        sample, name, targets = samples[sample_id], namer(react_id), set()
        for data in doc.all(react, "data"):
            target = doc.ref(data, "tar")
            here = f"{at}, data {target!r}"
            if target not in plate.targets:
                doc.fail(here, "refers to a target the file does not define")
            if target in targets:
                doc.fail(here, "appears twice")
            targets.add(target)
            well = Well(name, run=rid, target=target, dye=plate.targets[target]["dye"], sample=sample_id)
            kind = _per_target(doc, sample, "type", target)
            well.sample_type = "unkn" if kind is None or not kind.text else kind.text.strip()
            quantity = _per_target(doc, sample, "quantity", target)  # not data/quantity: that is a result
            if quantity is not None:
                well.quantity = doc.number(quantity, "value", f"{here}, quantity")
            adp = _points(doc, data, "adp", ("cyc", "fluor"), here)
            if adp.shape[1]:
                well.cycles, well.fluor = adp
            mdp = _points(doc, data, "mdp", ("tmp", "fluor"), here)
            if mdp.shape[1]:
                well.melt_temperature, well.melt_fluor = mdp
            cq = doc.number(data, "cq", here)
            last = well.cycles[-1] if well.cycles is not None else math.inf
            well.cq = cq if 0 < cq < last else math.nan
            wells.append(well)
    _check_cycles(doc, where, wells)
    plate.wells += wells


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

