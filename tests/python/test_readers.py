"""The RDML and CSV readers on the bundled files (checked against the XML
itself) and on malformed files."""
import re
import zipfile

import numpy as np
import pytest
from conftest import DATA

from quelmar.csvplate import read_csv
from quelmar.errors import ReaderError
from quelmar.rdml import read_rdml

RDML = DATA / "rdml"


@pytest.mark.parametrize("name, member, version, wells, targets, cycles, quantities", [
    ("BioRad_qPCR_melt", "BioRad_qPCR_melt.xml", "1.1", 60, {"EvaGreen": 30, "Cy5": 10, "Cy5-2": 10, "Cy5-2_rr": 10},
     41, set()),
    ("lc96_bACTXY", "rdml_data.xml", "1.1", 384, {"FAM@bACT": 16, "Hex@X": 16, "Texas Red@Y": 16, "Cy5@IPC": 16},
     50, set()),
    ("stepone_std", "rdml_data.xml", "1.0", 24, {"RNase P": 24}, 40, {625.0, 1250.0, 2500.0, 5000.0, 10000.0}),
])
def test_bundled_rdml(name, member, version, wells, targets, cycles, quantities):
    plate = read_rdml(RDML / f"{name}.rdml")
    assert plate.format == f"RDML {version}" and len(plate.wells) == wells
    for target, count in targets.items():
        assert sum(w.target == target for w in plate.wells) == count
    assert {w.cycles.size for w in plate.wells} == {cycles}
    assert {w.quantity for w in plate.wells if np.isfinite(w.quantity)} == quantities
    # The Cq of every data element, read from the XML text in document order.
    xml = zipfile.ZipFile(RDML / f"{name}.rdml").read(member).decode("utf-8")
    cqs = [float(m.group(1)) if m.group(1) else np.nan
           for m in re.finditer(r"<data>(?:(?!</data>).)*?(?:<cq>([^<]*)</cq>|</data>)", xml, re.S)]
    expected = [c if 0 < c < cycles else np.nan for c in cqs]
    assert np.array_equal([w.cq for w in plate.wells], expected, equal_nan=True)


def test_bundled_rdml_details():
    biorad = read_rdml(RDML / "BioRad_qPCR_melt.rdml")
    a1 = biorad.wells[0]
    assert (a1.name, a1.sample, a1.sample_type, a1.dye, a1.cq) == ("A1", "Alm12", "pos", "FAM", 27.7514537682101)
    assert a1.fluor[0] == -3.38871894099566 and a1.melt_temperature.size == 61 and biorad.dyes == ["FAM", "Cy5"]
    lc96 = read_rdml(RDML / "lc96_bACTXY.rdml")
    assert [w.name for w in lc96.wells[::4]][:13] == [f"A{i}" for i in range(1, 13)] + ["B1"]
    assert lc96.wells[-1].name == "H12" and len(lc96.targets) == 8
    assert sum(np.isfinite(w.cq) for w in lc96.wells) == 320  # 58 wells say 100 for "none"
    std = read_rdml(RDML / "stepone_std.rdml")
    assert [w.name for w in std.wells[:3]] == ["A1", "A2", "A3"] and std.wells[0].sample_type == "ntc"


def _rdml(version="1.2", ns=' xmlns="http://www.rdml.org"', reacts=None, head=""):
    reacts = reacts if reacts is not None else [_react(1), _react(2)]
    return (f'<rdml version="{version}"{ns}>{head}<sample id="s"><type>unkn</type></sample>'
            f'<target id="T"><type>toi</type><dyeId id="FAM"/></target><experiment id="e"><run id="r">'
            f'<pcrFormat><rows>8</rows><columns>12</columns><rowLabel>ABC</rowLabel><columnLabel>123</columnLabel>'
            f'</pcrFormat>{"".join(reacts)}</run></experiment></rdml>')


def _react(rid, points=((1, "1.0"), (2, "2.0"), (3, "4.0")), target="T", cq="2.5"):
    adp = "".join(f"<adp><cyc>{c}</cyc><fluor>{f}</fluor></adp>" for c, f in points)
    return f'<react id="{rid}"><sample id="s"/><data><tar id="{target}"/><cq>{cq}</cq>{adp}</data></react>'


def _write(tmp_path, content, members=None):
    path = tmp_path / "plate.rdml"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        with zipfile.ZipFile(path, "w") as z:
            for member, text in (members or {"rdml_data.xml": content}).items():
                z.writestr(member, text)
    return path


def test_versions_namespaces_and_per_target_sample_data(tmp_path):
    head = ('<sample id="q"><type targetId="T">std</type><type>unkn</type>'
            '<quantity targetId="T"><value>100</value><unit>cop</unit></quantity></sample>')
    doc = _rdml("1.3", ns="", head=head).replace('<sample id="s"/>', '<sample id="q"/>')
    well = read_rdml(_write(tmp_path, doc)).wells[1]
    assert (well.name, well.sample_type, well.quantity, well.cq, well.fluor.tolist()) == ("A2", "std", 100, 2.5,
                                                                                         [1, 2, 4])
    plain = tmp_path / "plain.xml"
    plain.write_text(_rdml("1.4", reacts=[_react(13)]))
    assert read_rdml(plain).wells[0].name == "B1"


@pytest.mark.parametrize("content, problem", [
    (b"hello, world\n", "not an RDML file"),
    ({"other.xml": "<foo/>"}, "no RDML document in the archive (members: other.xml)"),
    ({"rdml_data.xml": "<rdml version='1.1'><oops></rdml>"}, "rdml_data.xml is not well-formed XML"),
    (_rdml("2.0"), "<rdml> has unknown version '2.0'"),
    (_rdml(reacts=[_react(1), _react(2, points=((1, "1"), (2, "2")))]), "run 'r', well A2, target 'T' has 2 cycles"),
    (_rdml(reacts=[_react(1, points=((1, "1"), (2, "abc")))]), "react 1, data 'T', adp 2 <fluor> 'abc' is not a number"),
    (_rdml(reacts=[_react(1, points=((1, "1"), (2, "2"), (2, "3")))]), "data 'T' has two <adp> with cyc 2"),
    (_rdml(reacts=[_react(1, points=((1, "1"), (2, "")))]), "adp 2 has no <fluor>"),
    (_rdml(reacts=[_react(1, target="U")]), "data 'U' refers to a target the file does not define"),
    (_rdml(reacts=[_react(1), _react(1)]), "react 1 appears twice"),
    (_rdml(reacts=[_react(97)]), "react 97 lies outside the 8 x 12 plate"),
])
def test_malformed_rdml(tmp_path, content, problem):
    path = _write(tmp_path, *((None, content) if isinstance(content, dict) else (content,)))
    with pytest.raises(ReaderError) as caught:
        read_rdml(path)
    assert str(path) in str(caught.value) and problem in str(caught.value)


def test_csv_plates():
    amp = read_csv(DATA / "dil4reps94.csv")
    assert len(amp.wells) == 375 and amp.wells[0].name == "F15_1" and amp.wells[0].cycles.tolist() == \
        list(range(1, 46))
    melt = read_csv(DATA / "dyemelt.csv", "melting")
    assert [w.name for w in melt.wells] == ["EvaGreen", "SybrGreen.I", "Syto13"]
    assert melt.wells[2].melt_temperature[-1] == 94.375 and melt.wells[0].melt_temperature[-1] == 94.875


@pytest.mark.parametrize("text, problem", [
    ("Cycles,A1\n", "needs a header row"),
    ("Cycles,A1,A2\n1,2,3\n2,3\n", "line 3 has 2 fields where the header has 3"),
    ("Cycles,A1\n1,x\n", "line 2, column 'A1': 'x' is not a number"),
    ("Cycles,A1\n1,2\n1,3\n", "column 'Cycles' repeats a cycle"),
])
def test_malformed_csv(tmp_path, text, problem):
    path = tmp_path / "plate.csv"
    path.write_text(text)
    with pytest.raises(ReaderError, match=re.escape(problem)) as caught:
        read_csv(path)
    assert str(path) in str(caught.value)
