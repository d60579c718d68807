"""The command on bundled and constructed files: its CSV and JSON parsed back
against the analyses, its plots, and what the hostile corpus does not reach:
options refused in one line, several files (in workers), outputs never
overwriting an input or left half written, limits and standard input across
workers."""
import csv
import io
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA, ROOT
from synthetic import CYCLES, richards, write_plate

from quelmar.analysis.amplification import analyze_amplification
from quelmar.analysis.settings import AnalysisSettings
from quelmar.common.flags import VOCABULARY
from quelmar.command.cli import main
from quelmar.command.options import _refused, command_words
from quelmar.common.errors import InputError, Named, OptionError
from quelmar.reading.rdml import read_rdml

STEPONE = str(DATA / "rdml" / "stepone_std.rdml")
BIORAD384 = str(DATA / "rdml" / "BioRad_384.rdml")
DYEMELT = str(DATA / "dyemelt.csv")


def _csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def _json(path):
    return json.loads(open(path).read(), parse_constant=lambda token: pytest.fail(f"not JSON: {token}"))


def _fails(args, capsys, problem):
    assert main(args) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1 and problem in captured.err, captured.err
    return captured.err


def test_amplify_tables_are_the_analysis_in_the_files_units(tmp_path, capsys):
    out = tmp_path / "ct.csv"
    assert main(["amplify", STEPONE, "--out", str(out), "--quiet"]) == 0 and capsys.readouterr() == ("", "")
    rows = _csv(out)
    cycles, curves, wells = read_rdml(STEPONE).groups()[0].amplification()
    expected = analyze_amplification(curves * 1e4)
    assert np.array_equal([float(r["ct_linear"] or "nan") for r in rows], expected.ct_linear, equal_nan=True)
    assert [r["flags"] for r in rows][:4] == [""] * 4 and \
        float(rows[0]["threshold"]) == expected.threshold / 1e4
    assert [r["file_cq"] for r in rows[:4]] == ["", "", "", "28.96287"]  # the NTC's 40.0 means no Cq
    assert all(1.7 < float(r["efficiency"]) < 1.9 for r in rows[3:])
    document = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, "--scale", "1e4", "--threshold", "0.2", "--out", str(document)]) == 0
    doc = _json(document)
    assert {r["threshold"] for r in doc["wells"]} == {0.2}
    assert sum(r["ct_linear"] is not None for r in doc["wells"]) == 21
    assert doc["command"] == "amplify" and doc["files"] == [STEPONE] and doc["settings"]["threshold"] == 0.2
    assert main(["amplify", STEPONE, "--scale", "none", "--out", str(document)]) == 0
    # Unscaled, nothing reaches the low-signal level; negative controls are not flagged for it.
    assert all(("low-signal" in r["flags"]) == (r["sample_type"] != "ntc") and r["ct_linear"] is None
               for r in _json(document)["wells"])


@pytest.mark.parametrize("args, magic", [
    (["melt", DYEMELT], b"\x89PNG"), (["standard", STEPONE], b"<?xml"),
    (["amplify", str(DATA / "rdml" / "BioRad_qPCR_melt.rdml"), "--log"], b"%PDF"),
    (["quantify", BIORAD384, "--calibrator", "Placebo"], b"\x89PNG"),
])
def test_every_plot_in_its_format(tmp_path, args, magic):
    plot = tmp_path / ("plot" + {b"\x89PNG": ".png", b"<?xml": ".svg", b"%PDF": ".pdf"}[magic])
    assert main(args + ["--plot", str(plot), "-q"]) == 0 and plot.read_bytes().startswith(magic)


def test_standard_reads_the_unknowns_off_the_fit(tmp_path, capsys):
    out = tmp_path / "std.json"
    assert main(["standard", STEPONE, "--out", str(out), "--ct", "sigmoid"]) == 0
    document, line = _json(out), capsys.readouterr().out
    (fit,) = document["fits"]
    assert f"efficiency {fit['efficiency']:.1f} %" in line and fit["ct_kind"] == "sigmoid" and fit["n"] == 15
    unknowns = [w for w in document["wells"] if w["role"] == "unknown"]
    assert len(unknowns) == 6 and {w["role"] for w in document["wells"][:3]} == {"control"}
    for w in unknowns:
        assert w["quantity"] == pytest.approx(10 ** ((w["ct"] - fit["intercept"]) / fit["slope"]), rel=1e-12)
    args = ["standard", str(DATA / "dil4reps94.csv"), "--quiet"]
    for name, q in (("F15", 15000), ("F150", 1500), ("F1500", 150), ("F15000", 15)):
        args += ["--quantity", f"{name}={q}"]  # F15 must not take F150's wells
    assert main(args) == 0 and "375 wells, 4 quantities" in capsys.readouterr().out
    assert main(["standard", BIORAD384, "--out", str(out), "-q"]) == 0  # GAPDH has standards, the others none
    document = _json(out)
    assert {w["target"] for w in document["wells"]} == {"GAPDH"} and "Brain, Liver, Kidney" in \
        document["inputs"][0]["notes"][0]


def test_by_default_quantify_uses_the_window_cq_and_each_targets_window_efficiency(tmp_path):
    rq, ct = tmp_path / "rq.json", tmp_path / "ct.json"
    assert main(["quantify", BIORAD384, "--calibrator", "Placebo", "--out", str(rq), "-q"]) == 0
    assert main(["amplify", BIORAD384, "--out", str(ct)]) == 0
    wells = _json(ct)["wells"]
    efficiency = {w["target"]: w["target_efficiency"] for w in wells}
    kept = {}
    for w in wells:
        if w["ct_window"] is not None and "replicate-outlier" not in w["flags"]:
            kept.setdefault((w["sample"], w["target"]), []).append(w["ct_window"])

    def log_ratio(sample, target):  # log10 of the target's geometric mean E^-Cq over the reference's
        return (np.mean([-c * np.log10(efficiency[target]) for c in kept[sample, target]])
                - np.mean([-c * np.log10(efficiency["Liver"]) for c in kept[sample, "Liver"]]))
    for row in _json(rq)["quantities"]:
        assert row["method"] == "efficiency-corrected" and row["efficiency"] == efficiency[row["target"]]
        want = 10 ** (log_ratio(row["sample"], row["target"]) - log_ratio("Placebo", row["target"]))
        assert row["rq"] == pytest.approx(want, rel=1e-9)


def test_quantify_a_real_file_and_recompute_a_row_from_amplify(tmp_path):
    rq, ct = tmp_path / "rq.json", tmp_path / "ct.json"
    assert main(["quantify", BIORAD384, "--calibrator", "Placebo", "--ct", "linear", "--efficiency", "2",
                 "--out", str(rq), "-q"]) == 0
    assert main(["amplify", BIORAD384, "--ct", "linear", "--out", str(ct)]) == 0
    rows = {(r["sample"], r["target"]): r for r in _json(rq)["quantities"]}
    assert set(rows) == {(s, t) for s in ("Placebo", "Compound A", "Compound A/B") for t in ("Brain", "Kidney")}
    kept = {}
    for w in _json(ct)["wells"]:
        if w["ct_linear"] is not None and "replicate-outlier" not in w["flags"]:
            kept.setdefault((w["sample"], w["target"]), []).append(w["ct_linear"])

    def delta(sample, target):
        return np.mean(kept[sample, target]) - np.mean(kept[sample, "Liver"])
    for (sample, target), row in rows.items():
        ddct = delta(sample, target) - delta("Placebo", target)
        assert row["rq"] == pytest.approx(2 ** -ddct, rel=1e-9) and row["reference"] == ["Liver"]


def _plate(tmp_path, **x0):
    return write_plate(tmp_path / "plate.csv", {k: richards(v) for k, v in x0.items()})


@pytest.mark.parametrize("args, problem", [
    (["amplify", "missing.rdml"], "missing.rdml: No such file or directory"),
    (["amplify", STEPONE, "--target", "GAPDH"], "target 'GAPDH' is not in the file"),
    (["amplify", STEPONE, "--scale", "-3"], "--scale must be auto, none or a positive number"),
    (["amplify", STEPONE, "--out", "ct.txt"], "the name must end in .csv or .json"),
    (["amplify", STEPONE, "--plot", "/dev/full"], "--plot /dev/full: the name must end in .png or .svg or .pdf"),
    (["amplify", STEPONE, "--jobs", "0"], "argument --jobs/-j: expected a whole number from 1 to 64"),
    (["report", STEPONE], "give --out PATH.html"),
    (["report", STEPONE, "--out", "r.csv"], "--out r.csv: the name must end in .html"),
    (["report", STEPONE, "--out", "r.html", "--plot", "p.png"], "unrecognized arguments: --plot"),
    (["amplify", STEPONE, "--bogus"], "unrecognized arguments: --bogus"),
    (["melt", STEPONE], "holds amplification data of 24 wells, cycles 1 to 40 (40 readings per well), not melting"),
    (["amplify", DYEMELT], "median step 0.125 °C), not amplification data; `quelmar melt` reads it"),
    (["melt", DYEMELT, "--max-fwhm", "0"], "--max-fwhm must be a width in degrees above 0.3"),
    (["melt", DYEMELT, "--range", "90:70"], "--range must be LO:HI with LO below HI"),
    (["melt", DYEMELT, "--range", "a:b"], "--range 'a:b': expected LO:HI"),
    (["melt", DYEMELT, "--range", "1e308:"], "--range must lie within -1e+06 to 1e+06 degrees"),
    (["amplify", STEPONE, "--scale", "1e-320"], "--scale must lie between 1e-300 and 1e+300, not 9.99989e-321"),
    (["amplify", STEPONE, "--scale", "1e200"], "RNase P: at scale 1e+200 the readings reach 2.84e+200; the analysis "
                                               "takes readings up to 1e+100"),
    (["amplify", STEPONE, "--scale", "1e99", "--threshold", "1e300"], "--threshold 1e+300 overflows at scale 1e+99"),
    (["standard", str(DATA / "rdml" / "lc96_bACTXY.rdml")], "no wells with a quantity and a Ct"),
    (["standard", STEPONE, "--quantity", "STD=inf"], "expected NAME=Q with a positive quantity"),
    (["quantify", STEPONE, "--calibrator", "pop1_RNase P"], "no reference gene"),
    (["quantify", STEPONE, "--calibrator", "x", "--reference", "RNase P"], "no target to quantify besides"),
    (["quantify", STEPONE, "--calibrator", "x", "--efficiency", "0.5"], "--efficiency '0.5': expected 2"),
    (["quantify", str(DATA / "rdml" / "test_rdml.rdml"), "--calibrator", "Kidney_BCL2", "--reference", "HPRT1"],
     "no relative quantity can be computed (e.g. Lung_CDKN1B, CDKN1B: no well of HPRT1)"),
    (["amplify", "x.csv", "--limits", "files=1M"], "--limits: limit 'files=1M': expected NAME=SIZE with NAME one of"),
    (["amplify", "x.csv", "--limits", "file=0"], "--limits: limit file: '0' is not a positive size"),
    (["amplify", STEPONE, "--samples", "/dev/zero"], "/dev/zero: is a character device"),
    (["amplify", "-", "-"], "- (standard input) is named 2 times; it can be read only once"),
    (["amplify", "-", "--samples", "-"], "- (standard input) is named 2 times"),
] + [(["amplify", STEPONE, f"--threshold={t}"], "--threshold must be a positive number") for t in
     ("-5", "0", "nan", "inf")])
def test_bad_input_is_one_line_and_status_2(args, problem, capsys):
    _fails(args + ["--quiet"], capsys, problem)


def test_bad_limits_in_the_environment_are_found_before_any_file(capsys, monkeypatch):
    monkeypatch.setenv("QUELMAR_LIMITS", "depth=deep")
    _fails(["amplify", "missing.csv", "-q"], capsys, "QUELMAR_LIMITS: limit depth: 'deep' is not a positive size")


@pytest.mark.parametrize("quantities, problem", [
    ({"A": 100, "B": 100}, "needs at least two distinct quantities with a Ct (has 1: 100)"),
    ({"A": 100}, "needs at least two distinct quantities"),
    ({"A": 100, "C": 10}, "the standard curve is flat"),  # A and C amplify alike
    ({"A": 1000, "B": 100, "D": 10}, None),               # D has no Ct: a curve of two, R² 1
])
def test_degenerate_standard_curves_are_refused(tmp_path, capsys, quantities, problem):
    plate = write_plate(tmp_path / "plate.csv", {"A_1": richards(20), "B_1": richards(23), "C_1": richards(20),
                                                 "D_1": richards(None)})
    args = ["standard", plate, "-q"] + [f"--quantity={k}={q}" for k, q in quantities.items()]
    if problem:
        _fails(args, capsys, problem)
    else:
        assert main(args) == 0 and "2 quantities" in capsys.readouterr().out


def test_warnings_follow_success_only(tmp_path, capsys):
    plate = _plate(tmp_path, A_1=20, B_1=25, C_1=26)
    args = ["standard", plate, "--quantity", "A=1000", "--quantity", "B=100", "--quantity", "C=10"]
    assert main(args) == 0
    err = capsys.readouterr().err
    assert err.startswith("quelmar: warning: ") and err.count("\n") == 1 and "below 0.98" in err
    _fails(args[:2] + [str(tmp_path / "missing.csv")] + args[2:], capsys, "missing.csv: No such file or directory")


def test_a_bad_file_among_several_writes_nothing_and_keeps_old_outputs(tmp_path, capsys):
    out, plot = tmp_path / "ct.csv", tmp_path / "ct.png"
    out.write_text("an earlier result\n")
    bad = tmp_path / "bad.csv"
    bad.write_text("Cycle,A1\n1,2\n2,x\n")
    for jobs in ("1", "2"):
        _fails(["amplify", STEPONE, str(bad), STEPONE, "--out", str(out), "--plot", str(plot), "--jobs", jobs, "-q"],
               capsys, f"{bad}: line 3, column 'A1': 'x' is not a number")
        assert out.read_text() == "an earlier result\n" and sorted(os.listdir(tmp_path)) == ["bad.csv", "ct.csv"]


@pytest.mark.parametrize("output", [["--out", "plate.csv"], ["--plot", "link.png"], ["--out", "sheet.csv"]])
def test_an_output_equal_to_an_input_is_refused(tmp_path, capsys, monkeypatch, output):
    _plate(tmp_path, A1=20)
    (tmp_path / "sheet.csv").write_text("well,sample,target,type\nA1,s,T,unkn\n")
    os.symlink("plate.csv", tmp_path / "link.png")  # an output reached through a link is still the input
    before = {p: open(tmp_path / p).read() for p in ("plate.csv", "sheet.csv")}
    monkeypatch.chdir(tmp_path)
    _fails(["amplify", "./plate.csv", "--samples", "sheet.csv", *output, "-q"], capsys, "is an input of this run")
    assert {p: open(tmp_path / p).read() for p in before} == before


def test_a_failed_write_names_the_output_and_leaves_nothing(tmp_path, capsys, monkeypatch):
    import quelmar.writing.writers

    def full(fd):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(quelmar.writing.writers.os, "fsync", full)
    out = tmp_path / "ct.json"
    _fails(["amplify", STEPONE, "--out", str(out), "-q"], capsys, f"{out}: No space left on device")
    assert os.listdir(tmp_path) == []


def test_many_files_in_parallel_and_from_standard_input_give_one_table(tmp_path, monkeypatch):
    files = [STEPONE, str(DATA / "rdml" / "BioRad_qPCR_melt.rdml"), STEPONE]
    one, two = tmp_path / "one.csv", tmp_path / "two.csv"
    assert main(["amplify", *files, "--out", str(one), "-q"]) == 0
    assert main(["amplify", *files, "--out", str(two), "--jobs", "3", "-q"]) == 0
    assert one.read_text() == two.read_text() and len(_csv(one)) == 24 + 60 + 24
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(open(STEPONE, "rb").read())))
    out = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, "-", "--jobs", "2", "--out", str(out), "-q"]) == 0  # read here, not in a worker
    document = _json(out)
    assert document["files"] == [STEPONE, "<stdin>"] and len(document["wells"]) == 48
    assert [w["ct_linear"] for w in document["wells"][:24]] == [w["ct_linear"] for w in document["wells"][24:]]


def _die_on_second(path, settings):
    if path.endswith("second.rdml"):
        os._exit(9)  # as a worker killed for its memory would
    from quelmar.command.jobs import amplify
    return amplify(path, settings)


def test_a_worker_that_dies_fails_the_run_naming_its_file(tmp_path, capsys, monkeypatch):
    import dataclasses
    from quelmar.command import cli
    table = dict(cli.commands())
    monkeypatch.setattr(cli, "_COMMANDS", {**table, "amplify": dataclasses.replace(table["amplify"],
                                                                                   run=_die_on_second)})
    second = tmp_path / "second.rdml"
    second.write_bytes(open(STEPONE, "rb").read())
    err = _fails(["amplify", STEPONE, str(second), STEPONE, "--jobs", "2", "--out", str(tmp_path / "ct.csv"), "-q"],
                 capsys, f"{second}")
    assert "ended abruptly" in err and os.listdir(tmp_path) == ["second.rdml"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_limits_reach_every_reader_and_worker(tmp_path, capsys, monkeypatch, jobs):
    plate = _plate(tmp_path, A1=20)
    _fails(["amplify", plate, STEPONE, "--limits", "file=4K", "--jobs", jobs, "-q"], capsys,
           f"{STEPONE}: the file (8.54 KiB) is over the limit of 4 KiB")
    monkeypatch.setenv("QUELMAR_LIMITS", "file=4K")
    _fails(["amplify", plate, STEPONE, "--jobs", jobs, "-q"], capsys, "over the limit of 4 KiB")
    assert main(["amplify", plate, STEPONE, "--limits", "file=1M", "--jobs", jobs, "-q"]) == 0  # the option wins


def test_a_fifo_as_sample_sheet_is_refused_before_it_is_opened(tmp_path, capsys):
    sheet = str(tmp_path / "sheet.csv")
    os.mkfifo(sheet)  # opened for reading, it would wait for a writer forever
    _fails(["amplify", STEPONE, "--samples", sheet, "-q"], capsys, f"{sheet}: is a FIFO")


def test_notes_plate_geometry_and_the_flags(tmp_path, capsys):
    order = np.random.default_rng(1).permutation(40)
    shuffled = write_plate(tmp_path / "shuffled.csv", {"A1": richards(20)[order]}, CYCLES[order])
    assert main(["amplify", STEPONE, shuffled, "-q"]) == 0
    text = capsys.readouterr().out
    assert "RNase P: 24 wells, scale 10000, threshold 0.08803; 6 x 8 plate\n" in text
    assert "note: shuffled.csv: the rows were sorted by column 'Cycle': the file lists them out of cycle " \
           "order\n" in text
    out = tmp_path / "ct.json"
    assert main(["amplify", STEPONE, shuffled, "--out", str(out), "-q"]) == 0
    inputs = _json(out)["inputs"]
    assert inputs[0] == {"file": STEPONE, "notes": [], "geometry": {"Run001": {
        "rows": 6, "columns": 8, "how": "the reaction ids (A1 to C8): the smallest standard plate holding them"}}}
    assert inputs[1]["geometry"] == {} and "sorted by column 'Cycle'" in inputs[1]["notes"][0]
    assert main(["flags"]) == 0
    listed = capsys.readouterr().out
    assert listed.count("\n") == len(VOCABULARY) == 16 and "ntc-amplified" in listed and "single-well" in listed


def test_module_runs_from_the_root_under_a_python_without_numpy(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    run = subprocess.run([str(venv / "bin" / "python3"), "-m", "quelmar", "amplify", STEPONE, "--quiet"], cwd=ROOT,
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == "" and "RNase P: 24 wells, scale 10000" in run.stdout


@pytest.mark.parametrize("argv, heavy", [
    (["flags"], ()),
    (["--help"], ()),
    (["amplify", STEPONE, "-q"], ("numpy",)),  # and not matplotlib, nor the report's writer, without --plot
])
def test_a_run_imports_only_what_it_needs(argv, heavy):
    code = ("import io, sys, contextlib; sys.path.insert(0, sys.argv[1]); from quelmar.__main__ import start\n"
            "sys.argv = ['quelmar'] + sys.argv[2:]\n"
            "with contextlib.redirect_stdout(io.StringIO()):\n"
            "    try:\n        start()\n    except SystemExit:\n        pass\n"
            "print(*[m for m in ('numpy', 'matplotlib', 'quelmar.report.page') "
            "if m in sys.modules])")
    run = subprocess.run([sys.executable, "-c", code, str(ROOT), *argv], capture_output=True, text=True, timeout=120)
    assert run.stdout.split() == [m for m in heavy], run.stderr


def test_what_needs_no_numpy_runs_where_it_starts_and_nothing_starts_twice(tmp_path):
    """flags and --help run in an interpreter without numpy; an interpreter already started in place of
    another (the mark in its environment) that lacks numpy says what to install instead of starting a third."""
    from quelmar.__main__ import AGAIN
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    python, again = str(venv / "bin" / "python3"), dict(os.environ, **{AGAIN: "1"})
    for argv in (["flags"], ["--help"]):
        run = subprocess.run([python, "-m", "quelmar", *argv], cwd=ROOT, capture_output=True, text=True, env=again)
        assert run.returncode == 0 and run.stderr == "" and ("ntc-amplified" in run.stdout or "COMMAND" in run.stdout)
    run = subprocess.run([python, "-m", "quelmar", "amplify", STEPONE], cwd=ROOT, capture_output=True, text=True,
                         env=again)
    assert run.returncode == 2 and run.stdout == "" and run.stderr.count("\n") == 1
    assert "has no numpy or lxml; run /usr/bin/python3 -m quelmar" in run.stderr


@pytest.mark.parametrize("settings, api, command", [
    (dict(threshold=-1.0), "threshold must be a positive number, not -1.0", "--threshold must be a positive"),
    (dict(max_ct=math.nan), "max_ct must be a positive number, not nan", "--max-ct must be a positive"),
    (dict(scale=1e301), "scale must lie between 1e-300 and 1e+300", "--scale must lie between"),
    (dict(max_fwhm=0.1), "max_fwhm must be a width in degrees above 0.3", "--max-fwhm must be a width"),
    (dict(efficiency="7"), "efficiency '7': expected 2, standard", "--efficiency '7': expected 2, standard"),
    (dict(melt_range=(90.0, 80.0)), "melt_range must run from a lower to a higher temperature, not (90, 80)",
     "--range must be LO:HI with LO below HI, not 90:80"),
    (dict(quantities=(("STD", -1.0),)), "quantities ('STD', -1.0): expected a well name and a positive quantity",
     "--quantity STD=-1.0: expected NAME=Q with a positive quantity"),
])
def test_the_analyses_name_settings_and_the_command_names_options(settings, api, command):
    with pytest.raises(OptionError) as caught:
        AnalysisSettings(**settings).check()
    assert str(caught.value).startswith(api) and "--" not in str(caught.value)
    assert _refused(AnalysisSettings(**settings), caught.value).startswith(command)


def test_a_message_with_a_setting_inside_keeps_its_parts_whatever_the_names_hold():
    error = InputError("{x}.csv: ", Named("efficiency"), " names '{0}', which is not a target")
    assert str(error) == "{x}.csv: efficiency names '{0}', which is not a target"
    assert command_words(error) == "{x}.csv: --efficiency names '{0}', which is not a target"
    assert command_words(ValueError("plain")) == "plain"
