"""Sample sheets: a CSV plate given everything RDML carries, an RDML file's
annotations overridden, and every mistake refused in one line with status 2."""
import json
import math

import numpy as np
import pytest
from conftest import DATA
from synthetic import richards, write_plate, write_sheet

from quelmar.command.cli import main
from quelmar.common.errors import ReaderError
from quelmar.common.limits import Limits
from quelmar.reading.csvplate import read_csv
from quelmar.reading.samplesheet import read_sample_sheet

STEPONE = str(DATA / "rdml" / "stepone_std.rdml")
HEADER = "well,sample,target,type,quantity,group"


def test_a_sheet_gives_a_csv_plate_samples_targets_and_groups(tmp_path):
    sheet = read_sample_sheet(write_sheet(tmp_path / "s.csv", [("a01", "x", "T", "STD", "100", "g")], HEADER))
    plate = read_csv(write_plate(tmp_path / "p.csv", {"A1": richards(20), "A2": richards(21)}))
    sheet.apply(plate)
    a1, a2 = plate.wells
    assert (a1.sample, a1.target, a1.sample_type, a1.quantity, a1.group) == ("x", "T", "std", 100.0, "g")
    assert (a2.sample, a2.target, a2.sample_type, a2.group) == ("", "", "", "") and math.isnan(a2.quantity)


def test_quantify_a_csv_plate_through_its_sheet(tmp_path):
    """Gene T in wells A1-A6, R in B1-B6; sample c1 of group ctrl in the first three, t1 of treated in the others."""
    columns, rows = {}, []
    for k, x0 in enumerate([22.0, 22.1, 21.9, 24.0, 24.1, 23.9]):
        columns[f"A{k + 1}"], columns[f"B{k + 1}"] = richards(x0, seed=k), richards(18.0 + 0.05 * k, seed=10 + k)
        sample, group = ("c1", "ctrl") if k < 3 else ("t1", "treated")
        rows += [(f"A{k + 1}", sample, "T", "unkn", "", group), (f"B{k + 1}", sample, "R", "unkn", "", group)]
    plate, sheet = write_plate(tmp_path / "plate.csv", columns), write_sheet(tmp_path / "sheet.csv", rows, HEADER)
    out, ct = tmp_path / "rq.json", {}
    assert main(["quantify", plate, "--samples", sheet, "--calibrator", "ctrl", "--reference", "R",
                 "--ct", "linear", "--efficiency", "2", "--out", str(out), "-q"]) == 0
    rows = {r["sample"]: r for r in json.loads(out.read_text())["quantities"]}
    assert main(["amplify", plate, "--samples", sheet, "--out", str(tmp_path / "ct.json"), "-q"]) == 0
    for w in json.loads((tmp_path / "ct.json").read_text())["wells"]:
        ct.setdefault((w["group"], w["target"]), []).append(w["ct_linear"])

    def delta(group):
        return sum(ct[group, "T"]) / 3 - sum(ct[group, "R"]) / 3
    # Two cycles later in the treated group: about a quarter, with the reference unchanged.
    assert set(rows) == {"ctrl", "treated"} and rows["treated"]["rq"] == pytest.approx(0.25, rel=0.15)
    assert rows["treated"]["rq"] == pytest.approx(2 ** -(delta("treated") - delta("ctrl")), rel=1e-12)
    assert rows["treated"]["pooled"] == ["t1"] and rows["ctrl"]["rq"] == 1.0


def test_a_sheet_overrides_an_rdml_files_annotations(tmp_path, capsys):
    sheet = write_sheet(tmp_path / "s.csv", [("A4", "renamed", "RNase P", "ntc")])
    out = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, "--samples", sheet, "--out", str(out), "-q"]) == 0
    a4 = json.loads(out.read_text())["wells"][3]
    assert (a4["well"], a4["sample"], a4["sample_type"], a4["flags"][0]) == ("A4", "renamed", "ntc", "ntc-amplified")


@pytest.mark.parametrize("header, rows, problem", [
    ("well,sample,type", [("A1", "x", "unkn")], "has no column target"),
    ("well,sample,target,type,qantity", [("A1", "x", "T", "unkn", "1")], "unknown column 'qantity'"),
    ("well,sample,target,type,well", [("A1", "x", "T", "unkn", "A2")], "has the column 'well' twice"),
    ("well,sample,target,type", [("Z9", "x", "T", "unkn")], "line 2: well 'Z9' is not in"),
    ("well,sample,target,type", [("A1", "x", "T", "unkn"), ("A1", "y", "T", "unkn")],
     "lines 2 and 3 both describe well 'A1' target 'T'"),
    ("well,sample,target,type", [("A1", "x", "T", "unkn"), ("A01", "y", "U", "unkn")],
     "lines 2 and 3 both describe well A1"),
    ("well,sample,target,type", [("A1", "x", "T", "sample")], "line 2: type 'sample' is not one of unkn, std"),
    ("well,sample,target,type,quantity", [("A1", "x", "T", "std", "-5")], "line 2: quantity '-5' is not a positive"),
    ("well,sample,target,type", [("A1", "x", "T")], "line 2 has 3 fields where the header has 4"),
    ("well,sample,target,type", [], "has a header but no wells"),
])
def test_sheet_mistakes_are_one_line_and_status_2(tmp_path, capsys, header, rows, problem):
    plate = write_plate(tmp_path / "plate.csv", {"A1": richards(20), "A2": richards(21)})
    sheet = write_sheet(tmp_path / "sheet.csv", rows, header)
    out = tmp_path / "ct.csv"
    assert main(["amplify", plate, "--samples", sheet, "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and problem in err and str(sheet) in err and not out.exists()


def test_rdml_rows_may_name_one_target_of_a_multiplex_well(tmp_path):
    lc96 = str(DATA / "rdml" / "lc96_bACTXY.rdml")
    sheet = write_sheet(tmp_path / "s.csv", [("D3", "std-1", "Hex@X", "std"), ("D3", "ipc-1", "Cy5@IPC", "pos")])
    out = tmp_path / "ct.json"
    assert main(["amplify", lc96, "--samples", sheet, "--out", str(out), "-q"]) == 0
    d3 = {r["target"]: r["sample"] for r in json.loads(out.read_text())["wells"] if r["well"] == "D3"}
    assert d3["Hex@X"] == "std-1" and d3["Cy5@IPC"] == "ipc-1" and d3["FAM@bACT"] != "std-1"
    bad = write_sheet(tmp_path / "b.csv", [("D3", "x", "GAPDH", "unkn")])
    assert main(["amplify", lc96, "--samples", bad, "-q"]) == 2


def test_efficiencies_from_the_files_standard_curves(tmp_path, capsys):
    """Dilutions of a target amplifying by 1.9 per cycle, ten-fold apart: log(10)/log(1.9) cycles."""
    columns, rows, step = {}, [], np.log(10) / np.log(1.9)
    for gene, e, x0 in (("T", 1.9, 20.0), ("R", 2.0, 18.0)):
        for k, q in enumerate((1e5, 1e4, 1e3)):
            well = f"{gene}{k}"
            columns[well] = richards(x0 + k * (step if gene == "T" else np.log(10) / np.log(2)), e, seed=k)
            rows.append((well, f"std{k}", gene, "std", q, ""))
        for s, shift in (("cal", 0.0), ("s", 1.0)):
            for r in range(3):
                columns[f"{gene}{s}{r}"] = richards(x0 + 3 + (shift if gene == "T" else 0.0) + 0.05 * r, e, seed=r)
                rows.append((f"{gene}{s}{r}", s, gene, "unkn", "", ""))
    plate = write_plate(tmp_path / "plate.csv", columns)
    sheet = write_sheet(tmp_path / "sheet.csv", rows, HEADER)
    fits, rq = tmp_path / "std.json", tmp_path / "rq.json"
    assert main(["standard", plate, "--samples", sheet, "--out", str(fits), "-q"]) == 0
    slope = {f["target"]: f["slope"] for f in json.loads(fits.read_text())["fits"]}
    assert main(["quantify", plate, "--samples", sheet, "--reference", "R", "--calibrator", "cal",
                 "--efficiency", "standard", "--out", str(rq)]) == 0
    row = {r["sample"]: r for r in json.loads(rq.read_text())["quantities"]}["s"]
    assert row["efficiency"] == pytest.approx(10 ** (-1 / slope["T"]), rel=1e-12)
    assert row["reference_efficiency"] == [pytest.approx(10 ** (-1 / slope["R"]), rel=1e-12)]
    assert row["efficiency"] == pytest.approx(1.9, abs=0.05) and row["method"] == "efficiency-corrected"


@pytest.mark.parametrize("text, limits, problem", [
    ("well,sample,target,type\n" + "".join(f"W{k},s,,unkn\n" for k in range(4)), Limits(wells=3),
     "the number of rows (more than 3) is over the limit of 3 (raise it with QUELMAR_LIMITS=wells=...)"),
    ("well,sample,target,type\n\n" + "".join(f"W{k},s,,unkn\n\n" for k in range(3)), Limits(wells=3), None),
    ("well,sample,target,type\nA1," + "s" * 2000 + ",,unkn\n", Limits(line_bytes=1000),
     "line 2 is over the limit of 1,000 characters"),
    ("well,sample,target,type\nA1," + "s" * 900 + ",,unkn\n", Limits(line_bytes=1000), None),
    (b"well,sample,target,type\nA1,f\xf6tus,,unkn\n", Limits(), "is not UTF-8 text"),
    ('well,sample,target,type\nA1,"two\nlines",,unkn\nA2,"' + "x" * 200_000 + '",,unkn\n', Limits(),
     "is not a CSV file (line 4: field larger than field limit"),
])
def test_a_sheet_is_read_as_a_stream_within_the_limits(tmp_path, text, limits, problem):
    path = tmp_path / "sheet.csv"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    if problem is None:
        assert len(read_sample_sheet(path, limits=limits).rows) in (1, 3)
        return
    with pytest.raises(ReaderError) as caught:
        read_sample_sheet(path, limits=limits)
    assert str(caught.value).startswith(f"{path}: ") and problem in str(caught.value)
