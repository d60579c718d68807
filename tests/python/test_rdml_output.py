"""RDML written back: every bundled RDML file (and constructed ones the bundled
files do not cover) analysed, written as RDML 1.3 by ``--out results.rdml``,
checked against the bundled RDML 1.3 schema with xmllint, read back through
the project's own reader, and compared with the input as read and with the
analysis: the same wells, samples and readings to the last bit, the analysed
Ct as the file's Cq, the exclusions and the notes."""
import math
import shutil
import subprocess
import zipfile

import numpy as np
import pytest
from conftest import DATA

from quelmar.command.cli import main
from quelmar.command.jobs import amplify, melt
from quelmar.analysis.settings import AnalysisSettings
from quelmar.reading.kinds import read_plate
from quelmar.reading.rdml import read_rdml
from quelmar.writing.rdml import written_efficiency

RDML = DATA / "rdml"
SCHEMA = RDML / "schema" / "RDML_v1_3_REC.xsd"
XMLLINT = shutil.which("xmllint")
BUNDLED = sorted(p.name for p in RDML.glob("*.rdml"))
#: What the input and the written file must agree on, well by well.
KEPT = ("name", "run", "target", "dye", "sample", "sample_type", "group", "biological_replicate")
READINGS = ("cycles", "fluor", "melt_temperature", "melt_fluor")


def valid(path):
    """Unzip the written file and have xmllint check it against the RDML 1.3 schema."""
    if XMLLINT is None:
        pytest.skip("xmllint (Debian libxml2-utils) is not installed")
    with zipfile.ZipFile(path) as z:
        assert z.namelist() == ["rdml_data.xml"]
        member = path.parent / (path.name + ".xml")
        member.write_bytes(z.read("rdml_data.xml"))
    done = subprocess.run([XMLLINT, "--noout", "--nonet", "--schema", str(SCHEMA), str(member)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    return member.read_text(encoding="utf-8")


def same_wells(before, after, unlike=()):
    """The wells agree but those named in ``unlike``, where the input holds what RDML 1.3 cannot."""
    assert len(before.wells) == len(after.wells)
    for a, b in zip(before.wells, after.wells):
        if a.name in unlike:
            continue
        assert [getattr(a, k) for k in KEPT] == [getattr(b, k) for k in KEPT]
        assert np.array_equal(a.quantity, b.quantity, equal_nan=True) and a.quantity_unit == b.quantity_unit
        for k in READINGS:
            x, y = getattr(a, k), getattr(b, k)
            assert (x is None) == (y is None) and (x is None or np.array_equal(x, y)), (a.name, k)


@pytest.mark.parametrize("name", BUNDLED)
def test_amplify_written_as_rdml_is_valid_and_reads_back_to_the_same_numbers(tmp_path, name, capsys):
    out = tmp_path / "results.rdml"
    assert main(["amplify", str(RDML / name), "--out", str(out), "--quiet"]) == 0
    valid(out)
    before, after = read_rdml(RDML / name), read_rdml(out)
    same_wells(before, after)
    assert after.format == "RDML 1.3" and after.runs == before.runs and after.dyes[:len(before.dyes)] == before.dyes
    assert {s: a["annotations"] for s, a in after.samples.items()} == \
        {s: a["annotations"] for s, a in before.samples.items()}
    assert [r.experiment for r in after.run_info.values()] == [r.experiment for r in before.run_info.values()]
    result = amplify(str(RDML / name), AnalysisSettings())
    kind = {p.ct_kind for p in result.plates}.pop()
    rows = {(r.run, r.well, r.target): r for r in result.tables["wells"]}
    for w in after.wells:
        row = rows[w.run, w.name, w.target]
        ct = getattr(row, f"ct_{kind}")
        assert np.array_equal(w.cq, ct if 0 < ct < w.cycles[-1] else math.nan, equal_nan=True)
        assert np.array_equal(w.file_efficiency, written_efficiency(row, kind), equal_nan=True)
        assert all(f in w.file_note for f in row.flags)
    # Analysed again, the written file gives the same Ct: its readings are the input's.
    again = amplify(str(out), AnalysisSettings())
    for k in ("linear", "sigmoid", kind):
        assert np.array_equal([getattr(r, f"ct_{k}") for r in again.tables["wells"]],
                              [getattr(r, f"ct_{k}") for r in result.tables["wells"]], equal_nan=True)


def test_melt_written_as_rdml_keeps_the_cq_and_adds_the_melting_temperature(tmp_path):
    source = RDML / "BioRad_qPCR_melt.rdml"
    out = tmp_path / "melt.rdml"
    assert main(["melt", str(source), "--out", str(out), "--quiet"]) == 0
    valid(out)
    before, after = read_rdml(source), read_rdml(out)
    same_wells(before, after)
    tm = {(r.run, r.well, r.target): r.tm for r in melt(str(source), AnalysisSettings()).tables["wells"]}
    assert [w.cq for w in after.wells] == [w.cq for w in before.wells]
    assert np.array_equal([w.file_tm for w in after.wells], [tm[w.run, w.name, w.target] for w in after.wells],
                          equal_nan=True)


def _document(version="1.3", samples="", reacts="", run_extra="", pcr_format=None, targets=None):
    pcr_format = pcr_format or ("<rows>8</rows><columns>12</columns><rowLabel>ABC</rowLabel>"
                                "<columnLabel>123</columnLabel>")
    targets = targets or '<target id="T"><type>toi</type><dyeId id="FAM"/></target>'
    return (f'<rdml version="{version}" xmlns="http://www.rdml.org"><dye id="FAM"/>{samples}{targets}'
            f'<experiment id="e"><run id="r">{run_extra}<pcrFormat>{pcr_format}</pcrFormat>{reacts}</run>'
            f'</experiment></rdml>')


def _react(rid, sample, extra="", melt=(), targets=("T",)):
    points = [100.0 + 1000.0 / (1 + math.exp(-(c - 20))) for c in range(1, 41)]
    adp = "".join(f"<adp><cyc>{c}</cyc><fluor>{f!r}</fluor></adp>" for c, f in enumerate(points, 1))
    mdp = "".join(f"<mdp><tmp>{t}</tmp><fluor>{f}</fluor></mdp>" for t, f in melt)
    data = "".join(f'<data><tar id="{t}"/><cq>20.1</cq>{extra}{adp}{mdp}</data>' for t in targets)
    return f'<react id="{rid}"><sample id="{sample}"/>{data}</react>'


def _sample(sid, body):
    return f'<sample id="{sid}">{body}</sample>'


def _write(path, text):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("rdml_data.xml", text)
    return path


def test_what_the_bundled_files_lack_survives_the_round_trip(tmp_path, capsys):
    annotation = "".join(f"<annotation><property>{p}</property><value>{v}</value></annotation>"
                         for p, v in (("Condition", "treated"), ("Biological replicate", "2"), ("sex", "F")))
    samples = (_sample("a\x01b", f"<description>mouse &amp; rat</description>{annotation}<type>unkn</type>")
               + _sample("d10", "<type>std</type><quantity><value>10</value><unit>dil</unit></quantity>")
               + _sample("d&#9;3 &quot;&lt;&#13;",
                         "<type>std</type><quantity><value>3</value><unit>dil</unit></quantity>")
               + _sample("odd", "<type>weird</type>"))
    melt = [(t, 5.0 - 0.01 * t) for t in (60.0, 60.5, 60.5, 61.0, 61.5)]
    reacts = (_react(1, "a\x01b", "<excl>bubble; pipetting</excl><note>checked</note>", melt=melt)
              + _react(2, "d10", "<excl/>") + _react(14, "d&#9;3 &quot;&lt;&#13;") + _react(96, "odd"))
    source = _write(tmp_path / "in.rdml", _document(samples=samples, reacts=reacts,
                                                    run_extra="<runDate>yesterday</runDate>").replace("\x01", "&#1;"))
    out = tmp_path / "out.rdml"
    with pytest.raises(Exception):  # XML 1.0 has no character 1, even as a reference: the input is refused
        read_rdml(source)
    source = _write(tmp_path / "in.rdml", _document(samples=samples.replace("\x01", "\u0301"),
                                                    reacts=reacts.replace("\x01", "\u0301"),
                                                    run_extra="<runDate>yesterday</runDate>"))
    assert main(["amplify", str(source), "--out", str(out)]) == 0
    text = valid(out)
    before, after = read_rdml(source), read_rdml(out)
    same_wells(before, after, unlike=("A1", "H12"))  # readings at one temperature, an unknown sample type
    assert [w.file_exclusion for w in after.wells] == [("bubble", "pipetting"), (), None, None]
    assert [w.name for w in after.wells] == ["A1", "A2", "B2", "H12"] and after.wells[2].sample == 'd\t3 "<\r'
    assert after.samples["a\u0301b"]["annotations"] == {"Condition": "treated", "Biological replicate": "2",
                                                         "sex": "F"}
    assert [(w.quantity, w.quantity_unit) for w in after.wells[1:3]] == [(0.1, "dil"), (1 / 3, "dil")]
    assert "<value>3</value>" not in text and "<value>3.0</value>" in text and "mouse &amp; rat" in text
    assert after.wells[0].file_note.endswith("input Cq 20.1; input note: checked")
    assert [w.sample_type for w in after.wells] == ["unkn", "std", "std", "unkn"]
    warnings = capsys.readouterr().err
    assert "sample types RDML does not know (weird) written as unkn" in warnings
    assert "its date 'yesterday' is not an xs:dateTime; left out" in warnings
    assert "1 melting readings at a temperature read before merged into their mean" in warnings
    assert after.wells[0].melt_temperature.tolist() == [60.0, 60.5, 61.0, 61.5]


def test_sample_sheet_annotations_and_per_target_types_are_written(tmp_path):
    targets = ('<target id="T"><type>toi</type><dyeId id="FAM"/></target>'
               '<target id="R"><type>ref</type><dyeId id="FAM"/></target>')
    source = _write(tmp_path / "in.rdml", _document(samples=_sample("s", "<type>unkn</type>"),
                                                    reacts=_react(1, "s", targets=("T", "R")), targets=targets))
    sheet = tmp_path / "sheet.csv"
    sheet.write_text("well,sample,target,type,group\nA1,s,R,ntc,control\nA1,s,T,,control\n")
    out = tmp_path / "out.rdml"
    assert main(["amplify", str(source), "--samples", str(sheet), "--out", str(out), "--quiet"]) == 0
    valid(out)
    after = read_rdml(out)
    assert [(w.target, w.sample_type, w.group) for w in after.wells] == [("T", "unkn", "control"),
                                                                          ("R", "ntc", "control")]
    assert after.samples["s"]["annotations"] == {"group": "control"}


@pytest.mark.parametrize("pcr_format, ids, names", [
    # 1.0's well labels as ids and no numbers: the positions become numbers.
    ("96-well plate", ("A1", "B3", "H12"), ["A1", "B3", "H12"]),
    # Rows counted by number: the file's own labels are kept.
    ("<rows>8</rows><columns>12</columns><rowLabel>123</rowLabel><columnLabel>123</columnLabel>", ("1", "14", "96"),
     ["1-1", "2-2", "8-12"]),
    # A rotor: reactions in one column keep their numbers as names.
    ("72 wells (rotor)", ("1", "2", "72"), ["1", "2", "72"]),
])
def test_reaction_ids_give_the_wells_back_their_names(tmp_path, pcr_format, ids, names):
    reacts = "".join(_react(i, "s") for i in ids)
    source = _write(tmp_path / "in.rdml", _document("1.1", samples=_sample("s", "<type>unkn</type>"), reacts=reacts,
                                                    pcr_format=pcr_format))
    out = tmp_path / "out.rdml"
    assert main(["amplify", str(source), "--out", str(out), "--quiet"]) == 0
    valid(out)
    assert [w.name for w in read_rdml(source).wells] == names == [w.name for w in read_rdml(out).wells]


def test_a_csv_plate_becomes_one_run_of_named_samples(tmp_path, capsys):
    out = tmp_path / "out.rdml"
    assert main(["amplify", str(DATA / "dil4reps94.csv"), "--out", str(out)]) == 0
    valid(out)
    before, after = read_plate(DATA / "dil4reps94.csv"), read_rdml(out)
    assert [w.sample for w in after.wells] == [w.name for w in before.wells]
    assert all(np.array_equal(a.fluor, b.fluor) for a, b in zip(before.wells, after.wells))
    assert "its well names are no plate positions; written as reactions 1 to 375" in capsys.readouterr().err


@pytest.mark.parametrize("args, problem", [
    (["amplify", "A", "B", "--out", "x.rdml"], "an RDML output holds one input file's runs, not 2"),
    (["quantify", "A", "--calibrator", "x", "--out", "x.rdml"], "the name must end in .csv or .json"),
])
def test_what_rdml_cannot_hold_is_refused_before_the_work(tmp_path, capsys, args, problem):
    args = [str(RDML / "BioRad_384.rdml") if a in "AB" else str(tmp_path / a) if a.endswith(".rdml") else a
            for a in args]
    assert main(args) == 2
    assert problem in capsys.readouterr().err and not (tmp_path / "x.rdml").exists()
