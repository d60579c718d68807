"""The command on bundled files: its CSV and JSON parsed back, its plots, and
one line with exit status 2 for bad input."""
import csv
import json
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA, ROOT

from quelmar.analysis import analyze_amplification
from quelmar.cli import main
from quelmar.rdml import read_rdml

STEPONE = str(DATA / "rdml" / "stepone_std.rdml")


def _csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_amplify_csv_parses_back_to_the_analysis(tmp_path, capsys):
    out = tmp_path / "ct.csv"
    assert main(["amplify", STEPONE, "--out", str(out), "--quiet"]) == 0
    rows = _csv(out)
    assert {"well", "sample", "target", "threshold", "ct_linear", "ct_sigmoid", "flags", "file_cq"} <= set(rows[0])
    cycles, curves, wells = read_rdml(STEPONE).groups()[0].amplification()
    expected = analyze_amplification(curves * 1e4)
    as_float = [float(r["ct_linear"]) if r["ct_linear"] else np.nan for r in rows]
    assert np.array_equal(as_float, expected.ct_linear, equal_nan=True)
    assert [r["flags"] for r in rows][:4] == ["no-growth"] * 3 + [""] and float(rows[0]["threshold"]) == expected.threshold / 1e4
    assert [r["file_cq"] for r in rows[:4]] == ["", "", "", "28.96287"]  # the NTC's 40.0 means no Cq
    assert [r["well"] for r in rows[:3]] == ["A1", "A2", "A3"] and rows[0]["ct_linear"] == ""
    assert capsys.readouterr().err == ""


def test_amplify_json_scale_and_threshold_options(tmp_path):
    out = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, "--scale", "none", "--out", str(out)]) == 0
    rows = json.loads(out.read_text())["wells"]
    assert all(r["ct_linear"] is None and "low-signal" in r["flags"] and r["scale"] == 1.0 for r in rows)
    assert main(["amplify", STEPONE, "--scale", "1e4", "--threshold", "0.2", "--out", str(out)]) == 0
    rows = json.loads(out.read_text())["wells"]
    assert {r["threshold"] for r in rows} == {0.2} and sum(r["ct_linear"] is not None for r in rows) == 21


def test_melt_and_standard_tables_and_plots(tmp_path, capsys):
    out, png = tmp_path / "peaks.csv", tmp_path / "melt.png"
    assert main(["melt", str(DATA / "dyemelt.csv"), "--out", str(out), "--plot", str(png)]) == 0
    rows = _csv(out)
    assert {"well", "target", "peak", "tm", "height", "width"} <= set(rows[0])
    assert [float(r["tm"]) for r in rows if r["well"] == "EvaGreen"] == pytest.approx([77.2, 80.0, 82.3, 84.6],
                                                                                     abs=0.2)
    assert main(["standard", STEPONE, "--plot", str(tmp_path / "std.png")]) == 0
    assert "15 wells" in capsys.readouterr().out
    assert main(["amplify", str(DATA / "rdml" / "BioRad_qPCR_melt.rdml"), "--target", "Eva",
                 "--plot", str(tmp_path / "amp.png")]) == 0
    assert "EvaGreen: 30 wells, scale 100" in capsys.readouterr().out
    for name in ("melt", "std", "amp"):
        assert (tmp_path / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_standard_of_a_csv_plate_with_quantities_by_name(capsys):
    args = ["standard", str(DATA / "dil4reps94.csv"), "--quiet"]
    for name, q in (("F15", 15000), ("F150", 1500), ("F1500", 150), ("F15000", 15)):
        args += ["--quantity", f"{name}={q}"]
    assert main(args) == 0
    line = capsys.readouterr().out
    assert "375 wells" in line and "efficiency" in line


@pytest.mark.parametrize("args, problem", [
    (["amplify", "missing.rdml"], "missing.rdml: No such file or directory"),
    (["amplify", str(DATA / "README.md")], "README.md: needs a header row"),
    (["amplify", STEPONE, "--target", "GAPDH"], "target 'GAPDH' is not in the file"),
    (["amplify", STEPONE, "--scale", "-3"], "--scale must be auto, none or a positive number"),
    (["amplify", STEPONE, "--out", "ct.txt"], "the name must end in .csv or .json"),
    (["melt", STEPONE], "no melting data"),
    (["standard", str(DATA / "rdml" / "lc96_bACTXY.rdml")], "no wells with a quantity and a Ct"),
])
def test_bad_input_is_one_line_and_status_2(args, problem, capsys):
    assert main(args + ["--quiet"]) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1 and problem in captured.err


def test_module_runs_from_the_root_under_a_python_without_numpy(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    run = subprocess.run([str(venv / "bin" / "python3"), "-m", "quelmar", "amplify", STEPONE, "--quiet"], cwd=ROOT,
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "" and "RNase P: 24 wells, scale 10000" in run.stdout
