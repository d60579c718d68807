"""The RDML and CSV readers on the bundled files (checked against the XML
itself) and on malformed files; geometry, what the instrument wrote of its runs,
file kinds, axes, sorted readings and the reading limits. Encodings, byte-order
marks, standard input and runs sharing an id are the hostile corpus's."""
import io
import os
import re
import zipfile

import numpy as np
import pytest
from conftest import DATA

from quelmar.command.jobs import refusal
from quelmar.common.errors import NotAPlate, ReaderError
from quelmar.common.limits import Limits, Source, parse_size
from quelmar.reading.csvplate import read_csv
from quelmar.reading.kinds import guess_kind, read_plate
from quelmar.reading.rdml import read_rdml
from quelmar.reading.readers import classify_axis

RDML = DATA / "rdml"


@pytest.mark.parametrize("name, member, version, wells, targets, cycles, quantities", [
    ("BioRad_qPCR_melt", "BioRad_qPCR_melt.xml", "1.1", 60, {"EvaGreen": 30, "Cy5": 10, "Cy5-2": 10, "Cy5-2_rr": 10},
     41, set()),
    ("lc96_bACTXY", "rdml_data.xml", "1.1", 384, {"FAM@bACT": 16, "Hex@X": 16, "Texas Red@Y": 16, "Cy5@IPC": 16},
     50, set()),
    ("stepone_std", "rdml_data.xml", "1.0", 24, {"RNase P": 24}, 40, {625.0, 1250.0, 2500.0, 5000.0, 10000.0}),
    ("BioRad_384", "bio_rad_384.xml", "1.1", 48, {"Brain": 12, "Liver": 12, "Kidney": 12, "GAPDH": 12}, 40,
     {1000.0, 10000.0, 100000.0}),
    ("test_rdml", "rdml_data.xml", "1.2", 48, {"HPRT1": 12, "CDKN1B": 12, "BCL2": 12, "PGK1": 12}, 40, set()),
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
    assert std.run_info["Run001"].instrument == "Applied Biosystems StepOne™ Instrument"
    runs = biorad.run_info  # instrument and software of every run, no date
    assert list(runs) == ["Amp Step 3_FAM", "Amp Step 3_Cy5"] and {r.date for r in runs.values()} == {""}
    assert all(r.instrument.startswith('Block Type "96FX"') for r in runs.values())
    assert runs["Amp Step 3_FAM"].software.startswith("BioRadCFXManager.exe 3.0.1224.1015.")


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


def test_exclusions_are_read_per_well_with_their_reasons(tmp_path):
    texts = [None, "bad replicate; suspicious melt;", "", "  true ", "False", "No", "wrong product"]
    reacts = [_react(k + 1, target="T").replace("</cq>", "</cq>" if t is None else f"</cq><excl>{t}</excl>")
              for k, t in enumerate(texts)]
    plate = read_rdml(_write(tmp_path, _rdml(reacts=reacts)))
    assert [w.file_exclusion for w in plate.wells] == [
        None, ("bad replicate", "suspicious melt"), (), (), None, None, ("wrong product",)]
    assert plate.notes == ['2 data elements hold <excl> with a text that means "not excluded" (0, false, no); '
                           'read as included']
    assert all(w.file_exclusion is None for w in read_rdml(RDML / "BioRad_384.rdml").wells)


def test_sample_annotations_give_groups_and_biological_replicates(tmp_path):
    def sample(sid, *annotations):
        return (f'<sample id="{sid}">' + "".join(f"<annotation><property>{p}</property><value>{v}</value></annotation>"
                                                for p, v in annotations) + "<type>unkn</type></sample>")
    head = (sample("c1", ("Sex", "F"), ("Condition", "control"), ("Biological replicate", "1"))
            + sample("t1", ("condition", "treated"), ("Treatment", "drug"), ("condition", "placebo"))
            + sample("x"))
    reacts = [_react(k + 1).replace('<sample id="s"/>', f'<sample id="{s}"/>') for k, s in enumerate(("c1", "t1", "x"))]
    plate = read_rdml(_write(tmp_path, _rdml("1.3", reacts=reacts, head=head)))
    assert [(w.group, w.biological_replicate) for w in plate.wells] == [("control", "1"), ("treated", ""), ("", "")]
    assert plate.samples["c1"]["annotations"] == {"Sex": "F", "Condition": "control", "Biological replicate": "1"}
    assert plate.notes == ["sample 't1' annotates 'condition' twice; its first value 'treated' is kept",
                           "the samples' group is read from their annotation 'Condition' (2 of 4 samples)",
                           "the samples' biological replicate is read from their annotation 'Biological "
                           "replicate' (1 of 4 samples)"]


@pytest.mark.parametrize("stated, efficiency", [
    ("1.95", 1.95), ("2.025608", 2.025608), ("3", 3.0), ("93.9", 1.939), ("50", 1.5), ("200", 3.0), ("0", np.nan),
    ("-1", np.nan), ("1", np.nan), ("0.95", np.nan), ("3.01", np.nan), ("250", np.nan), (None, np.nan),
])
def test_target_efficiencies_as_factors_per_cycle(tmp_path, stated, efficiency):
    doc = _rdml()
    if stated is not None:
        doc = doc.replace("<type>toi</type>", f"<type>toi</type><amplificationEfficiency>{stated}"
                                              f"</amplificationEfficiency>")
    plate = read_rdml(_write(tmp_path, doc))
    assert np.isclose(plate.targets["T"]["efficiency"], efficiency, rtol=1e-15, equal_nan=True)
    assert np.array_equal(plate.targets["T"]["stated_efficiency"], float(stated or "nan"), equal_nan=True)


def test_quantities_keep_their_unit_and_dilutions_become_relative_quantities(tmp_path):
    head = "".join(f'<sample id="{s}"><type>std</type><quantity><value>{v}</value><unit>{u}</unit></quantity>'
                   f'</sample>' for s, v, u in (("d10", 10, "dil"), ("d100", 100, "dil"), ("c", 5000, "cop")))
    reacts = [_react(k + 1).replace('<sample id="s"/>', f'<sample id="{s}"/>') for k, s in enumerate(("d10", "d100",
                                                                                                      "c"))]
    plate = read_rdml(_write(tmp_path, _rdml(reacts=reacts, head=head)))
    assert [(w.quantity, w.quantity_unit) for w in plate.wells] == [(0.1, "dil"), (0.01, "dil"), (5000, "cop")]
    assert plate.notes == ["2 wells give their quantity as a dilution (unit dil: 10 is 1:10); read as the relative "
                           "quantity 1/dilution"]
    assert read_rdml(RDML / "stepone_std.rdml").targets["RNase P"]["efficiency"] == 1.9391181


@pytest.mark.parametrize("content, problem", [
    ({"other.xml": "<foo/>"}, "no RDML document in the archive (members: other.xml)"),
    (_rdml("2.0"), "<rdml> has unknown version '2.0'"),
    (_rdml(reacts=[_react(1), _react(2, points=((1, "1"), (2, "2")))]), "run 'r', well A2, target 'T' has 2 cycles"),
    (_rdml(reacts=[_react(1, points=((1, "1"), (2, "abc")))]), "react 1, data 'T', adp 2 <fluor> 'abc' is not a number"),
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


@pytest.mark.parametrize("name, rows, columns, how", [
    ("BioRad_384", 16, 24, "pcrFormat's rows and columns"),
    ("test_rdml", 8, 12, "pcrFormat's text '96-well plate; A1-H12'"),
    ("stepone_std", 6, 8, "the reaction ids (A1 to C8)"),
])
def test_plate_geometry_and_how_it_was_found(name, rows, columns, how):
    plate = read_rdml(RDML / f"{name}.rdml")
    (geometry,) = plate.geometry.values()
    assert (geometry.rows, geometry.columns) == (rows, columns) and geometry.how.startswith(how)


def test_free_text_pcr_format_with_well_label_ids():
    plate = read_rdml(RDML / "test_rdml.rdml")
    assert [w.name for w in plate.wells[:13:4]] == ["A1", "A5", "A9", "B1"] and plate.wells[-1].name == "D12"
    assert plate.wells[0].sample_type == "ntc" and np.isnan(plate.wells[0].cq)  # 40.0 on a 40-cycle run
    assert plate.targets["PGK1"]["dye"] == "FAM2" and plate.dyes == ["FAM", "FAM2", "VIC", "ROX"]


@pytest.mark.parametrize("text, rows, columns", [
    ("384-well plate", 16, 24), ("72 wells (rotor)", 1, 72), ("wells A1 to P24", 16, 24), ("free format", 8, 12),
])
def test_geometry_from_pcr_format_text(tmp_path, text, rows, columns):
    doc = _rdml(reacts=[_react("A1"), _react("H12")]).replace(
        "<rows>8</rows><columns>12</columns>", text)
    geometry = read_rdml(_write(tmp_path, doc)).geometry["r"]
    assert (geometry.rows, geometry.columns) == (rows, columns)


KINDS = {"dil4reps94.csv": "amplification", "dyemelt.csv": "melting", "nist_norris.csv": "none",
         "lievens1.csv": "amplification",
         "reps384.csv": "amplification", "BioRad_384.rdml": "amplification", "BioRad_qPCR_melt.rdml": "both",
         "lc96_bACTXY.rdml": "amplification", "stepone_std.rdml": "amplification", "test_rdml.rdml": "amplification"}


def test_every_bundled_file_has_its_kind_told():
    files = sorted(DATA.glob("*.csv")) + sorted(RDML.glob("*.rdml"))
    assert {f.name for f in files} == set(KINDS)
    for f in files:
        kind = guess_kind(f)
        assert kind.name == KINDS[f.name] and "\n" not in kind.description and len(kind.description) < 400
    melt, table = guess_kind(DATA / "dyemelt.csv"), guess_kind(DATA / "nist_norris.csv")
    assert refusal(melt, "melt") is None and "temperatures 72.66 to 94.88 °C" in melt.description
    assert "no subcommand reads it" in refusal(table, "report") and "'y', 'x'" in table.description
    assert refusal(guess_kind(DATA / "reps384.csv"), "melting") == (
        "holds amplification data of 379 wells, cycles 1 to 45 (45 readings per well), not melting data; "
        "`quelmar amplify`, `quelmar standard`, `quelmar quantify` or `quelmar references` reads it")
    with pytest.raises(NotAPlate):
        read_plate(DATA / "nist_norris.csv")


@pytest.mark.parametrize("values, name, kind", [
    (range(0, 40), "Cycle", "amplification"), (range(1, 41), "", "amplification"),
    (range(101, 141), "", "amplification"), (range(40, 0, -1), "", "amplification"),
    (range(35, 96), "", "melting"), (60 + np.cumsum(np.r_[0, np.full(40, 0.07), np.full(20, 0.31)]), "", "melting"),
    ([65.1, 65.0, 65.3, 65.2, 65.5], "X", "melting"), (np.linspace(95, 60, 70), "Temperature (°C)", "melting"),
    ([0.1, 338.8, 118.1, 888.0], "y", None), ([1, 2, 3, 4], "Temp", None), ([1.5, 2.5, 3.5], "Cycles", None),
    ([1, 2], "", None), ([], "", None),
])
def test_axis_told_by_name_and_values(values, name, kind):
    assert classify_axis(np.asarray(values, dtype=float), name).kind == kind


def test_readings_sorted_with_their_cycles_and_the_file_cycles_kept(tmp_path):
    path = tmp_path / "plate.csv"
    path.write_text("Cycle,A1,A2\n103,3,30\n101,1,10\n104,4,40\n102,2,20\n")
    plate = read_csv(path)
    assert plate.wells[0].cycles.tolist() == [101, 102, 103, 104] and plate.wells[1].fluor.tolist() == [10, 20, 30, 40]
    assert plate.notes == ["the rows were sorted by column 'Cycle': the file lists them out of cycle order"]
    path.write_text("T0,A,T1,B\n61,1,70,7\n60,0,71,8\n62,2,69,6\n")
    melt = read_csv(path)
    assert [w.melt_temperature.tolist() for w in melt.wells] == [[60, 61, 62], [69, 70, 71]]
    assert [w.melt_fluor.tolist() for w in melt.wells] == [[0, 1, 2], [6, 7, 8]] and len(melt.notes) == 2
    points = ((3, "30"), (1, "10"), (2, "20"))
    mdp = "".join(f"<mdp><tmp>{t}</tmp><fluor>{f}</fluor></mdp>" for t, f in ((62, 2), (61, 1), (60, 0)))
    doc = _rdml(reacts=[_react(1, points=points).replace("</data>", mdp + "</data>")])
    well = read_rdml(_write(tmp_path, doc)).wells[0]
    assert well.cycles.tolist() == [1, 2, 3] and well.fluor.tolist() == [10, 20, 30]
    assert well.melt_temperature.tolist() == [60, 61, 62] and well.melt_fluor.tolist() == [0, 1, 2]


@pytest.mark.parametrize("name", ["BioRad_qPCR_melt", "lc96_bACTXY", "BioRad_384"])
def test_every_reading_is_the_one_a_whole_document_parse_gives(name):
    """The streamed parse, cut after every chunk, against the standard library's parse of the whole document."""
    import xml.etree.ElementTree as ET
    with zipfile.ZipFile(RDML / f"{name}.rdml") as z:
        member = next(n for n in z.namelist() if n in ("rdml_data.xml", "bio_rad_384.xml", "BioRad_qPCR_melt.xml"))
        root = ET.fromstring(z.read(member))
    ns = {"r": "http://www.rdml.org"}
    expected = []
    for data in root.iterfind("r:experiment/r:run/r:react/r:data", ns):
        for tag, axis in (("adp", "cyc"), ("mdp", "tmp")):
            pairs = sorted((float(p.find(f"r:{axis}", ns).text), float(p.find("r:fluor", ns).text))
                           for p in data.iterfind(f"r:{tag}", ns))
            expected.append(pairs)
    plate = read_rdml(RDML / f"{name}.rdml")
    got = []
    for w in plate.wells:
        for axis, reading in ((w.cycles, w.fluor), (w.melt_temperature, w.melt_fluor)):
            got.append([] if axis is None else list(zip(axis.tolist(), reading.tolist())))
    assert got == expected


def _long_data(points, value=lambda k: f"{k * 1.5!r}"):
    adp = "".join(f"<adp><cyc>{k}</cyc><fluor>{value(k)}</fluor></adp>" for k in range(1, points + 1))
    return _rdml(reacts=[f'<react id="1"><sample id="s"/><data><tar id="T"/>{adp}</data></react>'])


@pytest.mark.parametrize("value, reading", [
    (lambda k: f"{k * 1.5!r}", lambda k: k * 1.5),
    (lambda k: f" {k}<!-- a comment -->5 ", lambda k: float(f"{k}5")),  # text around markup is one value
    (lambda k: f"<![CDATA[{k}]]>.25", lambda k: k + 0.25),
    (lambda k: f"&#{ord(str(k)[0])};{str(k)[1:]}", lambda k: float(k)),
    (lambda k: f"{k}<x/>.5<!---->", lambda k: k + 0.5),  # an element inside is passed over, its text read
], ids=["plain", "comment", "CDATA", "character reference", "element"])
def test_points_across_many_chunks_keep_every_value(tmp_path, value, reading):
    """6000 points in one data element span many of the parser's chunks; every cut falls somewhere inside it."""
    plate = read_rdml(_write(tmp_path, _long_data(6000, value)))
    assert plate.wells[0].cycles.tolist() == list(range(1, 6001))
    assert plate.wells[0].fluor.tolist() == [reading(k) for k in range(1, 6001)]


def test_a_kept_text_cut_by_the_chunks_is_read_whole(tmp_path):
    words = "".join(f"word{k} <!-- {k} --> " for k in range(20000))
    doc = _rdml().replace('<sample id="s"><type>unkn</type>', f'<sample id="s"><description>{words}</description>'
                                                                f'<type>unkn</type>')
    plate = read_rdml(_write(tmp_path, doc), limits=Limits(token_bytes=1 << 20))
    assert plate.samples["s"]["description"] == "".join(f"word{k}  " for k in range(20000)).strip()


@pytest.mark.parametrize("doc, limits, problem", [
    # The bundled files nest 7 deep (rdml, experiment, run, react, data, adp, cyc).
    (RDML / "stepone_std.rdml", Limits(depth=6), "nests elements more than 6 deep"),
    (RDML / "stepone_std.rdml", Limits(depth=1), "nests elements more than 1 deep"),
    ("<rdml version='1.2'>" + "<a>" * 70 + "</a>" * 70 + "</rdml>", Limits(), "nests elements more than 64 deep"),
    (_rdml(head="<!--" + "x" * 5000 + "-->"), Limits(token_bytes=4096), "comment or processing instruction longer"),
    (_rdml(head="<?pi " + "x" * 5000 + "?>"), Limits(token_bytes=4096), "comment or processing instruction longer"),
    (_rdml().replace('<sample id="s">', f'<sample id="{"s" * 5000}">'), Limits(token_bytes=4096),
     "<sample> has an attribute longer than the limit of 4 KiB"),
    (_long_data(3).replace("<cyc>2</cyc>", "<cyc>2</cyc>" + "<v/>" * 40000), Limits(),
     "has a data point of more than 1024 nodes"),
    (_rdml(head="<!---->" * 900), Limits(wells=100), "the number of elements read is over the limit of 800"),
    (_long_data(3).replace("<cyc>2</cyc>", ""), Limits(), "react 1, data 'T', adp 2 has no <cyc>"),
    (_long_data(3).replace("<fluor>3.0</fluor>", "<fluor>3<x/>a</fluor>"), Limits(), "adp 2 <fluor> '3a' is not"),
], ids=lambda v: v.split(" (")[0][:40] if isinstance(v, str) else None)
def test_the_parse_keeps_its_limits(tmp_path, doc, limits, problem):
    path = doc if isinstance(doc, type(RDML)) else _write(tmp_path, doc)
    with pytest.raises(ReaderError) as caught:
        read_rdml(path, limits=limits)
    assert problem in str(caught.value)
    if isinstance(doc, type(RDML)):
        assert len(read_rdml(path, limits=Limits(depth=7)).wells) == 24


@pytest.mark.parametrize("ids, problem", [
    (("A1", "1"), "react 1 is well A1, as react A1 is"),
    (("01", "1"), "react 1 is well A1, as react 01 is"),
    (("B1", "13"), "react 13 is well B1, as react B1 is"),
])
def test_two_reactions_naming_one_well_are_refused(tmp_path, ids, problem):
    with pytest.raises(ReaderError, match=problem):
        read_rdml(_write(tmp_path, _rdml(reacts=[_react(i) for i in ids])))


def test_a_csv_line_past_the_limit_is_refused_wherever_it_lies(tmp_path):
    path = tmp_path / "plate.csv"
    rows = "".join(f"{c},{c * 10}\n" for c in range(1, 41))
    path.write_text(f"Cycle,A1\n{rows}" + "41," + "0" * 995 + "\n")
    assert len(read_csv(path, limits=Limits(line_bytes=1000)).wells) == 1  # 999 characters
    path.write_text(f"Cycle,A1\n{rows[:40]}" + "x" * 2000 + f"\n{rows[40:]}")
    with pytest.raises(ReaderError, match="line 10 is over the limit of 1,000 characters"):
        read_csv(path, limits=Limits(line_bytes=1000))


def test_a_file_named_in_bytes_that_are_not_utf8_is_read_and_named(tmp_path):
    path = bytes(tmp_path) + b"/plate\xff.csv"
    with open(path, "wb") as f:
        f.write(b"Cycle,A1\n" + b"".join(b"%d,%d\n" % (c, 100 + c) for c in range(1, 41)))
    assert len(read_plate(path).wells) == 1 and read_plate(os.fsdecode(path)).path == os.fsdecode(path)
    with open(path, "ab") as f:
        f.write(b"41,x\n")
    with pytest.raises(ReaderError) as caught:
        read_plate(path)
    # Written as the byte it was, as every message and output of the command writes it.
    assert str(caught.value) == f"{tmp_path}/plate\\xff.csv: line 42, column 'A1': 'x' is not a number"


def test_limits_are_named_in_the_refusal(tmp_path, monkeypatch):
    assert Limits().parse("file=512M, document=1g,readings=1000") == Limits(
        file_bytes=512 << 20, document_bytes=1 << 30, readings=1000)
    assert parse_size("64KiB") == 65536
    for bad in ("file", "size=1M", "file=0", "file=-1", "file=1T", "file=" + "9" * 30):
        with pytest.raises(ValueError):
            Limits().parse(bad)
    with pytest.raises(ValueError):
        Limits(depth=0)
    small = Limits(file_bytes=1000)
    with pytest.raises(ReaderError, match=r"reps384.csv: the file \(.*\) is over the limit of 1000 bytes"):
        read_plate(DATA / "reps384.csv", limits=small)
    with pytest.raises(ReaderError, match=r"rdml_data.xml: its inflated size \(.*\) is over the limit of 64 KiB"):
        read_plate(RDML / "stepone_std.rdml", limits=Limits(document_bytes=65536))
    monkeypatch.setenv("QUELMAR_LIMITS", "wells=10")
    with pytest.raises(ReaderError, match="wells=..."):
        read_plate(RDML / "stepone_std.rdml")
    monkeypatch.setenv("QUELMAR_LIMITS", "bogus=1")
    with pytest.raises(ReaderError, match="QUELMAR_LIMITS"):
        read_plate(RDML / "stepone_std.rdml")


def test_a_refusal_stays_on_one_line(tmp_path):
    path = tmp_path / "two\nlines.csv"
    path.write_text("Cycle,A1\n1,x\n")
    with pytest.raises(ReaderError) as caught:
        read_csv(path)
    assert "\n" not in str(caught.value) and "two\\nlines.csv" in str(caught.value)


def test_elements_of_other_namespaces_and_unknown_ones_are_passed_over(tmp_path):
    vendor = '<v:extra xmlns:v="urn:vendor"><v:cyc>9</v:cyc><fluor>99</fluor></v:extra>'
    doc = _rdml(reacts=[_react(1)]).replace("<adp><cyc>1</cyc>", f"<adp>{vendor}<cyc>1</cyc><note><b/></note>", 1)
    doc = doc.replace("<cq>", f"{vendor}<cq>").replace("<sample id=\"s\"><type>", "<sample id=\"s\"><v:type "
                                                          "xmlns:v=\"urn:vendor\">ntc</v:type><type>")
    well = read_rdml(_write(tmp_path, doc)).wells[0]
    assert well.cycles.tolist() == [1, 2, 3] and well.fluor.tolist() == [1, 2, 4] and well.sample_type == "unkn"


def test_a_failing_disk_is_the_readers_error_too():
    class Failing(io.BytesIO):
        def readinto(self, buffer):
            raise OSError(5, "Input/output error")

    for name in ("plate.csv", "plate.rdml"):
        with pytest.raises(ReaderError, match=f"{name}: cannot be read \\(Input/output error\\)"):
            read_plate(Source(name, Failing(b"Cycle,A1\n1,2\n"), Limits()))
