"""The command on bundled and constructed files: its CSV and JSON parsed back,
its plots, and under hostile use: one line with exit status 2 for every bad
input, nothing written by a failed run, no input overwritten, strict JSON,
Ct in the file's own cycle numbers."""
import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA, ROOT
from synthetic import CYCLES, richards, write_plate

from quelmar.analysis import analyze_amplification
from quelmar.cli import main
from quelmar.rdml import read_rdml

STEPONE = str(DATA / "rdml" / "stepone_std.rdml")
BIORAD384 = DATA / "rdml" / "BioRad_384.rdml"


def _csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def _strict(path):
    def refuse(token):
        raise ValueError(f"not JSON: {token}")
    return json.loads(open(path).read(), parse_constant=refuse)


def _fails(args, capsys, problem):
    assert main(args) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1 and problem in captured.err, captured.err
    return captured.err


def test_amplify_csv_parses_back_to_the_analysis(tmp_path, capsys):
    out = tmp_path / "ct.csv"
    assert main(["amplify", STEPONE, "--out", str(out), "--quiet"]) == 0
    rows = _csv(out)
    assert {"well", "sample", "target", "threshold", "ct_linear", "ct_sigmoid", "efficiency", "flags",
            "file_cq"} <= set(rows[0])
    cycles, curves, wells = read_rdml(STEPONE).groups()[0].amplification()
    expected = analyze_amplification(curves * 1e4)
    as_float = [float(r["ct_linear"]) if r["ct_linear"] else np.nan for r in rows]
    assert np.array_equal(as_float, expected.ct_linear, equal_nan=True)
    assert [r["flags"] for r in rows][:4] == ["no-growth"] * 3 + [""] and \
        float(rows[0]["threshold"]) == expected.threshold / 1e4
    assert [r["file_cq"] for r in rows[:4]] == ["", "", "", "28.96287"]  # the NTC's 40.0 means no Cq
    assert [r["well"] for r in rows[:3]] == ["A1", "A2", "A3"] and rows[0]["ct_linear"] == ""
    assert all(1.7 < float(r["efficiency"]) < 1.9 for r in rows[3:])
    assert capsys.readouterr() == ("", "")


def test_amplify_json_scale_and_threshold_options(tmp_path):
    out = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, "--scale", "none", "--out", str(out)]) == 0
    rows = _strict(out)["wells"]
    assert all(r["ct_linear"] is None and "low-signal" in r["flags"] and r["scale"] == 1.0 for r in rows)
    assert main(["amplify", STEPONE, "--scale", "1e4", "--threshold", "0.2", "--out", str(out)]) == 0
    document = _strict(out)
    assert {r["threshold"] for r in document["wells"]} == {0.2} and \
        sum(r["ct_linear"] is not None for r in document["wells"]) == 21
    assert document["command"] == "amplify" and document["files"] == [STEPONE] and document["settings"]["threshold"]


def test_melt_and_standard_tables_and_plots(tmp_path, capsys):
    out, png = tmp_path / "peaks.csv", tmp_path / "melt.png"
    assert main(["melt", str(DATA / "dyemelt.csv"), "--out", str(out), "--plot", str(png)]) == 0
    rows = _csv(out)
    assert {"well", "target", "peak", "tm", "height", "width"} <= set(rows[0])
    assert [float(r["tm"]) for r in rows if r["well"] == "EvaGreen"] == pytest.approx([77.2, 80.0, 82.3, 84.6],
                                                                                     abs=0.2)
    assert main(["standard", STEPONE, "--plot", str(tmp_path / "std.svg")]) == 0
    assert "15 wells, 5 quantities" in capsys.readouterr().out
    assert main(["amplify", str(DATA / "rdml" / "BioRad_qPCR_melt.rdml"), "--target", "Eva",
                 "--plot", str(tmp_path / "amp.pdf")]) == 0
    assert "EvaGreen: 30 wells, scale 100" in capsys.readouterr().out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and (tmp_path / "amp.pdf").read_bytes()[:4] == b"%PDF"
    assert b"<svg" in (tmp_path / "std.svg").read_bytes()[:400]


def test_standard_quantifies_the_unknowns_and_reports_the_fit(tmp_path, capsys):
    out = tmp_path / "std.json"
    assert main(["standard", STEPONE, "--out", str(out), "--ct", "sigmoid"]) == 0
    line = capsys.readouterr().out
    document = _strict(out)
    (fit,) = document["fits"]
    assert f"efficiency {fit['efficiency']:.1f} %" in line and fit["ct_kind"] == "sigmoid" and fit["n"] == 15
    unknowns = [w for w in document["wells"] if w["role"] == "unknown"]
    assert len(unknowns) == 6 and all(w["quantity"] is not None for w in unknowns)
    w = unknowns[0]
    assert w["quantity"] == pytest.approx(10 ** ((w["ct"] - fit["intercept"]) / fit["slope"]), rel=1e-12)
    assert {w["role"] for w in document["wells"][:3]} == {"control"}


def test_standard_of_a_csv_plate_with_quantities_by_name(capsys):
    args = ["standard", str(DATA / "dil4reps94.csv"), "--quiet"]
    for name, q in (("F15", 15000), ("F150", 1500), ("F1500", 150), ("F15000", 15)):
        args += ["--quantity", f"{name}={q}"]
    assert main(args) == 0
    line = capsys.readouterr().out
    assert "375 wells" in line and "efficiency" in line


@pytest.mark.skipif(not BIORAD384.exists(), reason="data/rdml/BioRad_384.rdml is not bundled in this tree")
def test_quantify_a_real_file_and_recompute_a_row_from_amplify(tmp_path, capsys):
    rq, ct, png = tmp_path / "rq.json", tmp_path / "ct.json", tmp_path / "rq.png"
    assert main(["quantify", str(BIORAD384), "--calibrator", "Placebo", "--out", str(rq), "--plot", str(png)]) == 0
    assert main(["amplify", str(BIORAD384), "--out", str(ct)]) == 0
    rows = {(r["sample"], r["target"]): r for r in _strict(rq)["quantities"]}
    assert set(rows) == {(s, t) for s in ("Placebo", "Compound A", "Compound A/B") for t in ("Brain", "Kidney")}
    kept = {}
    for w in _strict(ct)["wells"]:
        if w["ct_linear"] is not None and "replicate-outlier" not in w["flags"]:
            kept.setdefault((w["sample"], w["target"]), []).append(w["ct_linear"])

    def delta(sample, target):
        return np.mean(kept[sample, target]) - np.mean(kept[sample, "Liver"])
    for (sample, target), row in rows.items():
        ddct = delta(sample, target) - delta("Placebo", target)
        assert row["rq"] == pytest.approx(2 ** -ddct, rel=1e-9) and row["reference"] == ["Liver"]
    assert png.read_bytes()[:4] == b"\x89PNG"


# -- hostile use -------------------------------------------------------------------

@pytest.mark.parametrize("args, problem", [
    (["amplify", "missing.rdml"], "missing.rdml: No such file or directory"),
    (["amplify", str(DATA / "README.md")], "README.md: needs a header row"),
    (["amplify", STEPONE, "--target", "GAPDH"], "target 'GAPDH' is not in the file"),
    (["amplify", STEPONE, "--scale", "-3"], "--scale must be auto, none or a positive number"),
    (["amplify", STEPONE, "--out", "ct.txt"], "the name must end in .csv or .json"),
    (["amplify", STEPONE, "--plot", "ct"], "--plot ct: the name must end in .png or .svg or .pdf"),
    (["amplify", STEPONE, "--jobs", "0"], "argument --jobs/-j: expected a whole number from 1 to 64"),
    (["amplify", STEPONE, "--bogus"], "unrecognized arguments: --bogus"),
    (["melt", STEPONE], "not melting data; `quelmar amplify`"),
    (["melt", str(DATA / "dyemelt.csv"), "--max-fwhm", "0"], "--max-fwhm must be a width in degrees above 0.3"),
    (["melt", str(DATA / "dyemelt.csv"), "--range", "90:70"], "--range must be LO:HI with LO below HI"),
    (["melt", str(DATA / "dyemelt.csv"), "--range", "a:b"], "--range 'a:b': expected LO:HI"),
    (["standard", str(DATA / "rdml" / "lc96_bACTXY.rdml")], "no wells with a quantity and a Ct"),
    (["standard", STEPONE, "--quantity", "STD=inf"], "expected NAME=Q with a positive quantity"),
    (["quantify", STEPONE, "--calibrator", "pop1_RNase P"], "no reference gene"),
    (["quantify", STEPONE, "--calibrator", "x", "--reference", "RNase P"], "no target to quantify besides"),
    (["quantify", STEPONE, "--calibrator", "x", "--efficiency", "0.5"], "--efficiency '0.5': expected 2"),
] + [(["amplify", STEPONE, f"--threshold={t}"], "--threshold must be a positive number") for t in
     ("-5", "0", "nan", "inf", "-inf")])
def test_bad_input_is_one_line_and_status_2(args, problem, capsys):
    _fails(args + ["--quiet"], capsys, problem)


def test_a_bad_file_among_several_writes_nothing_and_keeps_old_outputs(tmp_path, capsys):
    out, plot = tmp_path / "ct.csv", tmp_path / "ct.png"
    out.write_text("an earlier result\n")
    bad = tmp_path / "bad.csv"
    bad.write_text("Cycle,A1\n1,2\n2,x\n")
    for jobs in ("1", "2"):
        _fails(["amplify", STEPONE, str(bad), STEPONE, "--out", str(out), "--plot", str(plot), "--jobs", jobs, "-q"],
               capsys, f"{bad}: line 3, column 'A1': 'x' is not a number")
        assert out.read_text() == "an earlier result\n" and not plot.exists()
        assert sorted(os.listdir(tmp_path)) == ["bad.csv", "ct.csv"]


@pytest.mark.parametrize("output", [["--out", "plate.csv"], ["--plot", "link.png"], ["--out", "sheet.csv"]])
def test_an_output_equal_to_an_input_is_refused(tmp_path, capsys, monkeypatch, output):
    write_plate(tmp_path / "plate.csv", {"A1": richards(20)})
    (tmp_path / "sheet.csv").write_text("well,sample,target,type\nA1,s,T,unkn\n")
    os.symlink("plate.csv", tmp_path / "link.png")  # an output reached through a link is still the input
    before = {p: open(tmp_path / p).read() for p in ("plate.csv", "sheet.csv")}
    monkeypatch.chdir(tmp_path)
    _fails(["amplify", "./plate.csv", "--samples", "sheet.csv", *output, "-q"], capsys, "is an input of this run")
    assert {p: open(tmp_path / p).read() for p in before} == before


def test_outputs_are_written_exactly_as_named(tmp_path, capsys):
    _fails(["amplify", STEPONE, "--plot", "/dev/full", "-q"], capsys, "the name must end in")
    assert not os.path.exists("/dev/full.png")
    _fails(["amplify", STEPONE, "--out", str(tmp_path), "-q"], capsys, "the name must end in")
    (tmp_path / "dir.csv").mkdir()
    _fails(["amplify", STEPONE, "--out", str(tmp_path / "dir.csv"), "-q"], capsys, "exists and is not a regular file")
    _fails(["amplify", STEPONE, "--out", str(tmp_path / "no" / "ct.csv"), "-q"], capsys, "no such folder")
    assert main(["amplify", STEPONE, "--plot", str(tmp_path / "Amp.PNG"), "-q"]) == 0
    assert sorted(os.listdir(tmp_path)) == ["Amp.PNG", "dir.csv"]


def test_json_is_strict_with_values_missing(tmp_path):
    plate = write_plate(tmp_path / "plate.csv", {"A1": richards(20), "A2": richards(None), "A3": np.full(40, 1e99)})
    out = tmp_path / "ct.json"
    assert main(["amplify", plate, "--out", str(out), "-q"]) == 0
    wells = _strict(out)["wells"]
    assert wells[1]["ct_linear"] is None and wells[1]["efficiency"] is None and "no-ct" in wells[1]["flags"]


@pytest.mark.parametrize("first, shift", [(1, 0.0), (0, -1.0), (101, 100.0)])
def test_ct_in_the_files_own_cycle_numbers_and_any_order(tmp_path, first, shift):
    columns = {"A1": richards(20), "A2": richards(26.5), "A3": richards(None)}
    reference = tmp_path / "reference.csv"
    main(["amplify", write_plate(tmp_path / "ref.csv", columns), "--out", str(reference), "-q"])
    cycles = np.arange(first, first + 40.0)
    ascending = write_plate(tmp_path / "up.csv", columns, cycles)
    descending = write_plate(tmp_path / "down.csv", {k: v[::-1] for k, v in columns.items()}, cycles[::-1])
    out = tmp_path / "ct.csv"
    expected = [float(r["ct_linear"]) + shift if r["ct_linear"] else None for r in _csv(reference)]
    for plate in (ascending, descending):
        assert main(["amplify", plate, "--out", str(out), "-q"]) == 0
        rows = _csv(out)
        assert [float(r["ct_linear"]) if r["ct_linear"] else None for r in rows] == pytest.approx(expected, abs=1e-9)
        assert [r["flags"] for r in rows] == [r["flags"] for r in _csv(reference)]


def test_repeated_cycles_are_refused(tmp_path, capsys):
    path = tmp_path / "plate.csv"
    path.write_text("Cycle,A1\n" + "".join(f"{c},{v}\n" for c, v in zip([1, 2, 3, 2, 5], [1, 2, 3, 4, 5])))
    _fails(["amplify", str(path), "-q"], capsys, "repeats a cycle")


@pytest.mark.parametrize("quantities, problem", [
    ({"A": 100, "B": 100}, "needs at least two distinct quantities with a Ct (has 1: 100)"),
    ({"A": 100}, "needs at least two distinct quantities"),
    ({"A": 100, "C": 10}, "the standard curve is flat"),
])
def test_degenerate_standard_curves_are_refused(tmp_path, capsys, quantities, problem):
    # A and C amplify alike: equal Ct for different quantities is a flat line.
    plate = write_plate(tmp_path / "plate.csv", {"A_1": richards(20), "B_1": richards(23), "C_1": richards(20),
                                                 "D_1": richards(None)})
    args = ["standard", plate, "-q"] + [f"--quantity={k}={q}" for k, q in quantities.items()]
    _fails(args, capsys, problem)


def test_warnings_follow_success_only(tmp_path, capsys):
    plate = write_plate(tmp_path / "plate.csv", {"A_1": richards(20), "B_1": richards(25), "C_1": richards(26)})
    args = ["standard", plate, "--quantity", "A=1000", "--quantity", "B=100", "--quantity", "C=10"]
    assert main(args) == 0
    err = capsys.readouterr().err
    assert err.startswith("quelmar: warning: ") and err.count("\n") == 1 and "below 0.98" in err
    _fails(args[:2] + [str(tmp_path / "missing.csv")] + args[2:], capsys, "missing.csv: No such file or directory")


def test_melt_fails_when_no_well_could_be_analysed_and_refuses_long_melts(tmp_path, capsys):
    t = np.array([80.0, 80.5, 81.0])
    short = write_plate(tmp_path / "short.csv", {"A1": np.array([3.0, 2.0, 1.0]), "A2": np.full(3, 5.0)}, t, axis="T")
    _fails(["melt", short, "-q"], capsys, "(2 could not be analysed)")
    long = write_plate(tmp_path / "long.csv", {"A1": np.linspace(2.0, 1.0, 20001)}, np.linspace(60, 95, 20001),
                       axis="T")
    _fails(["melt", long, "-q"], capsys, "20001 melting readings; at most 20000")


def test_many_files_in_parallel_give_the_same_table(tmp_path):
    files = [STEPONE, str(DATA / "rdml" / "BioRad_qPCR_melt.rdml"), STEPONE]
    one, two = tmp_path / "one.csv", tmp_path / "two.csv"
    assert main(["amplify", *files, "--out", str(one), "-q"]) == 0
    assert main(["amplify", *files, "--out", str(two), "--jobs", "3", "-q"]) == 0
    assert one.read_text() == two.read_text() and len(_csv(one)) == 24 + 60 + 24


def test_flags_subcommand_explains_the_vocabulary(capsys):
    assert main(["flags"]) == 0
    out = capsys.readouterr().out
    assert out.count("\n") == 12 and "ntc-amplified" in out and "replicate-outlier" in out and "low-tm" in out


def test_module_runs_from_the_root_under_a_python_without_numpy(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    run = subprocess.run([str(venv / "bin" / "python3"), "-m", "quelmar", "amplify", STEPONE, "--quiet"], cwd=ROOT,
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "" and "RNase P: 24 wells, scale 10000" in run.stdout


def test_a_failed_write_names_the_output_and_leaves_nothing(tmp_path, capsys, monkeypatch):
    import quelmar.writers

    def full(fd):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(quelmar.writers.os, "fsync", full)
    out = tmp_path / "ct.json"
    _fails(["amplify", STEPONE, "--out", str(out), "-q"], capsys, f"{out}: No space left on device")
    assert os.listdir(tmp_path) == []


def _die_on_second(path, settings):
    if path.endswith("second.rdml"):
        os._exit(9)  # as a worker killed for its memory would
    from quelmar.jobs import amplify
    return amplify(path, settings)


def test_a_worker_that_dies_fails_the_run_naming_its_file(tmp_path, capsys, monkeypatch):
    import dataclasses
    from quelmar import cli
    table = dict(cli.commands())
    monkeypatch.setattr(cli, "_COMMANDS", {**table, "amplify": dataclasses.replace(table["amplify"],
                                                                                   run=_die_on_second)})
    second = tmp_path / "second.rdml"
    second.write_bytes(open(STEPONE, "rb").read())
    err = _fails(["amplify", STEPONE, str(second), STEPONE, "--jobs", "2", "--out", str(tmp_path / "ct.csv"), "-q"],
                 capsys, f"{second}")
    assert "ended abruptly" in err
    assert os.listdir(tmp_path) == ["second.rdml"]


@pytest.mark.parametrize("column, problem", [
    (1e-322 * np.arange(1.0, 41.0), "line 2, column 'A1': 1e-322 lies outside the readings' range"),
    (np.where(CYCLES == 20, np.nan, 100.0 * CYCLES), "line 21, column 'A1': nan is not a finite number"),
])
def test_readings_the_analysis_cannot_take(tmp_path, capsys, column, problem):
    plate = write_plate(tmp_path / "plate.csv", {"A1": column})
    _fails(["amplify", plate, "-q"], capsys, problem)
