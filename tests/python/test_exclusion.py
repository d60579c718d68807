"""Exclusion as data: every path that leaves a well out (the file's <excl>, a
sample sheet's exclude column, --exclude, a flag that excludes, and --keep
against it), what the standard curve and the relative quantities then use,
and how the reasons are written."""
import json
import re
import zipfile

import numpy as np
import pytest
from synthetic import richards, write_plate, write_sheet

from quelmar.command.cli import main
from quelmar.common import exclusion
from quelmar.common.exclusion import Reason
from quelmar.reading.rdml import read_rdml

STEPONE = "data/rdml/stepone_std.rdml"


def with_excl(path, excluded):
    """The bundled StepOne file with an <excl> after the Cq of each react named in ``excluded`` (id -> text)."""
    with zipfile.ZipFile(STEPONE) as z:
        xml = z.read("rdml_data.xml").decode("utf-8")
    for react, text in excluded.items():
        xml, n = re.subn(rf'(<react id="{react}">.*?</cq>)', lambda m: m.group(1) + f"<excl>{text}</excl>", xml,
                         count=1, flags=re.S)
        assert n == 1, react
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("rdml_data.xml", xml)
    return str(path)


def _json(tmp_path, *args):
    out = tmp_path / "out.json"
    assert main(list(args) + ["--out", str(out), "-q"]) == 0
    return json.loads(out.read_text())


def _fit(standards):
    """Slope and intercept of Ct on log10 quantity, by numpy, from (quantity, ct) pairs."""
    q, ct = np.array(standards).T
    return np.polyfit(np.log10(q), ct, 1)


# -- the model ------------------------------------------------------------------------------

@pytest.mark.parametrize("cell, expected", [
    ("", None), ("  ", None),                                    # empty: the file's word stands
    ("no", False), ("No", False), ("0", False), ("keep", False),  # kept in, whatever the file says
    ("yes", Reason("sheet")), ("x", Reason("sheet")), ("1", Reason("sheet")),
    ("pipetting error", Reason("sheet", "pipetting error")),
    ("  bubble,  seen  ", Reason("sheet", "bubble, seen")),
])
def test_sheet_cells(cell, expected):
    assert exclusion.from_sheet(cell) == expected


@pytest.mark.parametrize("reasons, expected", [
    (None, ()), ((), (Reason("file"),)), (("outlier",), (Reason("file", "outlier"),)),
    (("bubble", "  late  well "), (Reason("file", "bubble"), Reason("file", "late well"))),
])
def test_file_exclusions(reasons, expected):
    assert exclusion.from_file(reasons) == expected


def test_reasons_are_listed_in_source_order_once_and_never_joined_by_a_comma():
    reasons = [Reason("flag", "tm-outlier"), Reason("file", "bubble, seen"), Reason("user"),
               Reason("flag", "tm-outlier")]
    assert exclusion.describe(reasons) == "file: bubble, seen; user; flag: tm-outlier"
    assert exclusion.describe(()) == ""
    with pytest.raises(ValueError):
        Reason("whim")


# -- the file's own exclusions ------------------------------------------------------------------

def test_the_files_excl_leaves_standards_out_of_the_curve(tmp_path):
    path = with_excl(tmp_path / "excl.rdml", {"B2": "bubble", "C6": "", "B4": "smear;late", "B5": "false"})
    wells = {w.name: w for w in read_rdml(path).wells}
    assert wells["B2"].file_exclusion == ("bubble",) and wells["C6"].file_exclusion == ()
    assert wells["B3"].file_exclusion is None
    document = _json(tmp_path, "standard", path)
    rows = {r["well"]: r for r in document["wells"]}
    assert rows["B2"]["excluded"] == "file: bubble" and rows["C6"]["excluded"] == "file"
    assert rows["B4"]["excluded"] == "file: smear; file: late" and rows["B5"]["excluded"] == ""  # "false": kept
    fit = document["fits"][0]
    used = [(r["quantity"], r["ct"]) for r in document["wells"] if r["role"] == "standard" and not r["excluded"]]
    assert fit["n"] == len(used) == 12
    assert np.allclose([fit["slope"], fit["intercept"]], _fit(used), rtol=1e-9)
    assert fit["excluded"] == ["B2 (file: bubble)", "B4 (file: smear; file: late)", "C6 (file)"]


def test_a_sheet_overrides_the_file_both_ways_and_an_excluded_unknown_gets_no_quantity(tmp_path):
    path = with_excl(tmp_path / "excl.rdml", {"B2": "bubble", "A4": "edge well"})
    sheet = write_sheet(tmp_path / "sheet.csv", [("B2", "", "", "", "no"), ("B3", "", "", "", "smeared")],
                        header="well,sample,target,type,exclude")
    rows = {r["well"]: r for r in _json(tmp_path, "standard", path, "--samples", sheet)["wells"]}
    assert rows["B2"]["excluded"] == "" and rows["B3"]["excluded"] == "sheet: smeared"
    assert rows["A4"]["excluded"] == "file: edge well" and rows["A4"]["quantity"] is None
    assert rows["A5"]["quantity"] > 0


# -- the user's list and the flags ----------------------------------------------------------------

def test_exclude_names_wells_and_targets_and_refuses_a_well_the_file_lacks(tmp_path, capsys):
    rows = {r["well"]: r for r in _json(tmp_path, "amplify", STEPONE, "--exclude", "b02,C6:RNase P",
                                        "--exclude", "A4")["wells"]}
    assert {w for w, r in rows.items() if r["excluded"]} == {"B2", "C6", "A4"}
    assert rows["B2"]["excluded"] == "user"
    assert main(["amplify", STEPONE, "--exclude", "Z9", "-q"]) == 2
    assert "--exclude names well 'Z9', which is not in the file" in capsys.readouterr().err
    assert main(["amplify", STEPONE, "--exclude", "B2:GAPDH", "-q"]) == 2
    assert main(["amplify", STEPONE, "--keep", "low-tm", "-q"]) == 2
    assert "only a flag that excludes a well can keep it" in capsys.readouterr().err


@pytest.fixture
def outlier_plate(tmp_path):
    """Two samples in triplicate and a reference gene; one well of S1 runs two cycles late."""
    columns, sheet = {}, []
    for k, (sample, target, x0) in enumerate([("cal", "T", 22.0), ("cal", "T", 22.05), ("cal", "T", 21.95),
                                              ("S1", "T", 20.0), ("S1", "T", 20.05), ("S1", "T", 22.0),
                                              ("cal", "R", 18.0), ("cal", "R", 18.05), ("cal", "R", 17.95),
                                              ("S1", "R", 18.0), ("S1", "R", 18.02), ("S1", "R", 17.98)]):
        well = f"{'AB'[k // 6]}{k % 6 + 1}"
        columns[well] = richards(x0)
        sheet.append((well, sample, target, "unkn"))
    return write_plate(tmp_path / "plate.csv", columns), write_sheet(tmp_path / "sheet.csv", sheet)


def test_a_replicate_outlier_is_excluded_unless_kept(outlier_plate, tmp_path):
    csv, sheet = outlier_plate
    base = ["quantify", csv, "--samples", sheet, "--calibrator", "cal", "--reference", "R", "--ct", "linear",
            "--efficiency", "2"]
    out = _json(tmp_path, *base)
    row = next(r for r in out["quantities"] if r["sample"] == "S1")
    assert row["n"] == 2 and row["excluded"] == ["A6 T (flag: replicate-outlier)"]
    assert row["delta_delta_ct"] == pytest.approx(-2.0, abs=0.1)
    kept = next(r for r in _json(tmp_path, *base, "--keep", "replicate-outlier")["quantities"] if r["sample"] == "S1")
    assert kept["n"] == 3 and kept["excluded"] == []
    assert kept["delta_delta_ct"] > row["delta_delta_ct"] + 0.5
    # An excluded well is nobody's replicate: with A6 out by hand, its group has no outlier left to find.
    by_hand = _json(tmp_path, "amplify", csv, "--samples", sheet, "--exclude", "A6", "--ct", "linear")["wells"]
    assert [(r["well"], r["excluded"]) for r in by_hand if r["excluded"]] == [("A6", "user")]
