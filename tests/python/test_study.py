"""The publication statistics through the command: reference stability,
comparisons, a study of two RDML runs with a planted offset that inter-run
calibration recovers, and unknowns with intervals on the bundled StepOne
plate; each against what was planted in the crafted files or worked out
independently."""
import json
import math
import random
import re

import pytest

from quelmar.command.cli import main

CYCLES = 40
BACKGROUND, AMPLITUDE, STEEPNESS = 100.0, 10000.0, 0.7
#: Midpoint of each sample's curve per gene in the first run; IRCs, two samples, and their genes. All late
#: enough for a flat baseline over the first cycles.
LEVELS = {"irc1": {"T": 24.0, "R": 22.0}, "irc2": {"T": 28.0, "R": 25.0},
          "a": {"T": 26.0, "R": 22.0}, "b": {"T": 29.0, "R": 22.5}}
PLANTED = 1.8  # every T curve of run 2 later by this many cycles


def _curve(midpoint):
    return [BACKGROUND + AMPLITUDE / (1.0 + math.exp(-STEEPNESS * (k - midpoint))) for k in range(1, CYCLES + 1)]


def _run_file(path, run, shift, seed, samples=("irc1", "irc2", "a", "b"), groups=None):
    """An RDML document of one run: three wells per sample and gene, T moved by ``shift`` cycles."""
    rng = random.Random(seed)
    reacts, well = [], 0
    for sample in samples:
        for gene, midpoint in LEVELS[sample[:4] if sample.startswith("irc") else sample[0]].items():
            for _ in range(3):
                well += 1
                m = midpoint + (shift if gene == "T" else 0.0) + rng.gauss(0.0, 0.04)
                points = "".join(f"<adp><cyc>{k}</cyc><fluor>{f!r}</fluor></adp>"
                                 for k, f in enumerate(_curve(m), 1))
                reacts.append(f'<react id="{well}"><sample id="{sample}"/><data><tar id="{gene}"/>{points}</data>'
                              f'</react>')
    kinds = "".join(f'<sample id="{s}"><type>unkn</type></sample>' for s in samples)
    targets = '<target id="T"><type>toi</type></target><target id="R"><type>ref</type></target>'
    path.write_text(f'<rdml version="1.2" xmlns="http://www.rdml.org">{kinds}{targets}<experiment id="e">'
                    f'<run id="{run}"><pcrFormat><rows>8</rows><columns>12</columns><rowLabel>ABC</rowLabel>'
                    f'<columnLabel>123</columnLabel></pcrFormat>{"".join(reacts)}</run></experiment></rdml>')
    return str(path)


def _json(tmp_path, capsys, *argv):
    out = tmp_path / "out.json"
    code = main([*argv, "--out", str(out), "--quiet"])
    assert code == 0, capsys.readouterr().err
    return json.loads(out.read_text())


def _table(doc, name):
    table = doc["tables"][name] if "tables" in doc else doc[name]
    return [dict(zip(table["columns"], row)) for row in table["rows"]] if "columns" in table else table


def test_a_study_of_two_runs_recovers_the_planted_offset_and_gives_one_table(tmp_path, capsys):
    one = _run_file(tmp_path / "run1.rdml", "plate1", 0.0, 1)
    two = _run_file(tmp_path / "run2.rdml", "plate2", PLANTED, 2)
    # One threshold for both runs, so that the offset is the planted one alone (the plates' own thresholds
    # differ a little, which calibration absorbs too, but then it is not known beforehand).
    doc = _json(tmp_path, capsys, "quantify", one, two, "--calibrator", "a", "--irc", "irc1,irc2", "--threshold",
                "1000", "--ct", "linear")
    calibration = {(r["run"], r["target"]): r for r in _table(doc, "calibration")}
    assert calibration["plate2", "T"]["offset"] - calibration["plate1", "T"]["offset"] == pytest.approx(PLANTED,
                                                                                                       abs=0.05)
    assert abs(calibration["plate2", "R"]["offset"] - calibration["plate1", "R"]["offset"]) < 0.05
    rows = _table(doc, "quantities")
    b = next(r for r in rows if r["sample"] == "b" and r["target"] == "T")
    # The study agrees with run 1 alone, where nothing was moved: run 2's wells came onto its scale.
    alone = _json(tmp_path, capsys, "quantify", one, "--calibrator", "a", "--threshold", "1000", "--ct", "linear")
    b_alone = next(r for r in _table(alone, "quantities") if r["sample"] == "b" and r["target"] == "T")
    assert b["rq"] == pytest.approx(b_alone["rq"], rel=0.04) and b["n"] == 2 * b_alone["n"]
    assert len({r["file"] for r in rows}) == 1  # one table for the study
    # a's wells from both runs pool into one sample: calibrated, their spread is the wells' noise alone.
    a = next(r for r in rows if r["sample"] == "irc2" and r["target"] == "T")
    assert a["n"] == 6 and a["rq_high"] / a["rq_low"] < 1.3


def test_a_calibrator_missing_from_a_run_is_refused_naming_it(tmp_path, capsys):
    one = _run_file(tmp_path / "run1.rdml", "plate1", 0.0, 1)
    two = _run_file(tmp_path / "run2.rdml", "plate2", PLANTED, 2, samples=("irc1", "a", "b"))
    assert main(["quantify", one, two, "--calibrator", "a", "--irc", "irc1,irc2", "--quiet"]) == 2
    err = capsys.readouterr().err
    assert "run 'plate2 of" in err and "no Cq for inter-run calibrator 'irc2'" in err


def test_groups_from_a_sheet_are_compared_with_biological_replicates(tmp_path, capsys):
    rng = random.Random(5)
    samples = {f"ctl{k}": 0.0 for k in range(4)} | {f"trt{k}": -2.0 for k in range(4)}
    reacts, sheet, well = [], ["well,sample,target,type,group"], 0
    for sample, effect in samples.items():
        level = rng.uniform(-2, 2)
        for gene, midpoint in (("T", 24.0 + effect), ("R", 18.0)):
            for _ in range(2):
                well += 1
                m = midpoint + level + rng.gauss(0.0, 0.1)
                points = "".join(f"<adp><cyc>{k}</cyc><fluor>{f!r}</fluor></adp>" for k, f in enumerate(_curve(m), 1))
                reacts.append(f'<react id="{well}"><sample id="{sample}"/><data><tar id="{gene}"/>{points}</data>'
                              f'</react>')
                sheet.append(f"{'ABCDEFGH'[(well - 1) // 12]}{(well - 1) % 12 + 1},{sample},{gene},unkn,"
                             f"{sample[:3]}")
    path = tmp_path / "design.rdml"
    kinds = "".join(f'<sample id="{s}"><type>unkn</type></sample>' for s in samples)
    path.write_text(f'<rdml version="1.2" xmlns="http://www.rdml.org">{kinds}<target id="T"><type>toi</type>'
                    f'</target><target id="R"><type>ref</type></target><experiment id="e"><run id="r"><pcrFormat>'
                    f'<rows>8</rows><columns>12</columns><rowLabel>ABC</rowLabel><columnLabel>123</columnLabel>'
                    f'</pcrFormat>{"".join(reacts)}</run></experiment></rdml>')
    (tmp_path / "sheet.csv").write_text("\n".join(sheet) + "\n")
    doc = _json(tmp_path, capsys, "quantify", str(path), "--samples", str(tmp_path / "sheet.csv"),
                "--compare", "ctl,trt", "--ct", "linear")
    row = _table(doc, "comparisons")[0]
    assert row["replicates"] == "biological" and (row["n_a"], row["n_b"]) == (4, 4)
    assert row["fold_change"] == pytest.approx(4.0, rel=0.25) and row["p"] < 0.001
    assert row["p_randomisation"] == pytest.approx(2 / 70)  # 8 samples into 4 + 4: only the two extremes
    assert row["significance"] == "***"


def test_references_on_the_bundled_lc96_file(tmp_path, capsys):
    doc = _json(tmp_path, capsys, "references", "data/rdml/lc96_bACTXY.rdml", "--ct", "linear")
    genes = {r["gene"]: r for r in _table(doc, "genes")}
    assert set(genes) == {"FAM@bACT", "Hex@X", "Texas Red@Y", "Cy5@IPC"}  # the dye channels of empty wells left out
    assert genes["Texas Red@Y"]["genorm_rank"] == 4
    verdict = [r["text"] for r in _table(doc, "verdict")]
    assert any("too few to choose" in v for v in verdict)


def test_references_need_two_candidates(capsys):
    assert main(["references", "data/rdml/BioRad_384.rdml", "--quiet"]) == 2
    assert "name them with --reference" in capsys.readouterr().err


def test_stepone_unknowns_have_intervals_that_hold_their_wells(tmp_path, capsys):
    doc = _json(tmp_path, capsys, "standard", "data/rdml/stepone_std.rdml")
    fit = _table(doc, "fits")[0]
    assert (fit["quantity_low"], fit["quantity_high"], fit["excluded"]) == (625.0, 10000.0, [])
    unknowns = {u["sample"]: u for u in _table(doc, "unknowns")}
    wells = _table(doc, "wells")
    for sample, u in unknowns.items():
        per_well = [w["quantity"] for w in wells if w["sample"] == sample]
        geometric = math.exp(sum(math.log(q) for q in per_well) / len(per_well))
        assert u["wells"] == 3 and u["inside"]
        assert u["quantity"] == pytest.approx(geometric, rel=1e-9)
        assert u["quantity_low"] < min(per_well) * 1.02 and u["quantity_high"] > max(per_well) * 0.98


def test_excluded_standards_leave_the_fit_and_are_named(tmp_path, capsys):
    whole = _table(_json(tmp_path, capsys, "standard", "data/rdml/BioRad_384.rdml", "--ct", "linear"), "fits")[0]
    doc = _json(tmp_path, capsys, "standard", "data/rdml/BioRad_384.rdml", "--ct", "linear", "--exclude", "F1,G2")
    fit = _table(doc, "fits")[0]
    assert fit["n"] == whole["n"] - 2 and [x.split()[0] for x in fit["excluded"]] == ["F1", "G2"]
    assert fit["slope"] != whole["slope"] and (fit["quantity_low"], fit["quantity_high"]) == (1000.0, 100000.0)


@pytest.mark.parametrize("argv, message", [
    (["quantify", "data/rdml/BioRad_384.rdml"], "quantify needs --calibrator SAMPLE, or --compare"),
    (["quantify", "data/rdml/BioRad_384.rdml", "--compare", "Placebo,Nothing"], "sample 'Nothing' is not in the file"),
    (["quantify", "data/rdml/BioRad_384.rdml", "--compare", "all"], "comparing all groups needs a design"),
    (["quantify", "data/rdml/BioRad_384.rdml", "--compare", "Placebo"], "--compare 'Placebo': expected two or more"),
    (["quantify", "data/rdml/BioRad_384.rdml", "--compare", "Placebo,Compound A,Compound A/B"],
     "more than two samples can be compared only as groups"),
    (["quantify", "data/rdml/BioRad_384.rdml", "--calibrator", "Placebo", "--irc", "nobody"],
     "inter-run calibrator 'nobody' is in no file"),
])
def test_what_cannot_be_compared_or_calibrated_is_refused_in_one_line(argv, message, capsys):
    assert main(argv + ["--quiet"]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


@pytest.mark.parametrize("cell, problem", [("maybe", "irc 'maybe' is neither yes nor no"),
                                           ("yes", "an inter-run calibrator (irc) needs its sample named")])
def test_the_sheets_irc_column_is_checked(tmp_path, cell, problem):
    from quelmar.common.errors import ReaderError
    from quelmar.reading.samplesheet import read_sample_sheet
    sheet = tmp_path / "sheet.csv"
    sheet.write_text(f"well,sample,target,type,irc\nA1,,T,unkn,{cell}\n")
    with pytest.raises(ReaderError, match=re.escape(problem)):
        read_sample_sheet(str(sheet))
    sheet.write_text("well,sample,target,type,irc\nA1,c1,T,unkn,yes\nA2,c2,T,unkn,\nA3,c1,R,unkn,X\n")
    assert read_sample_sheet(str(sheet)).calibrators() == ("c1",)


def test_the_report_holds_the_study_its_comparison_and_the_stability(tmp_path, capsys):
    one = _run_file(tmp_path / "run1.rdml", "plate1", 0.0, 1)
    two = _run_file(tmp_path / "run2.rdml", "plate2", PLANTED, 2)
    page = tmp_path / "report.html"
    code = main(["report", one, two, "--calibrator", "a", "--irc", "irc1,irc2", "--compare", "a,b", "--out",
                 str(page), "--quiet"])
    assert code == 0, capsys.readouterr().err
    html = page.read_text()
    assert html.count('<section class="file"') == 2 and html.count('<section class="file study"') == 1
    for title in ("Inter-run calibration", "Comparison of groups", "study of 2 files"):
        assert title in html
    assert '"columns":["file","run","target","efficiency","offset"' in html
    assert main(["report", "data/rdml/lc96_bACTXY.rdml", "--ct", "linear", "--out", str(page), "--quiet"]) == 0
    html = page.read_text()
    assert "Reference genes" in html and "geNorm over 2 samples" in html


def test_an_rdml_files_annotations_are_the_design_and_its_biological_replicates(tmp_path, capsys):
    # Three animals per group, each measured as two samples (two extractions): the annotations say which
    # samples are one animal, and the test counts animals, not extractions.
    rng = random.Random(11)
    samples, reacts, well = {}, [], 0
    for group, effect in (("control", 0.0), ("treated", -2.0)):
        for animal in range(1, 4):
            level = rng.uniform(-1, 1)
            for extraction in "ab":
                samples[f"{group[:3]}{animal}{extraction}"] = (group, str(animal), effect, level)
    for sample, (group, animal, effect, level) in samples.items():
        for gene, midpoint in (("T", 24.0 + effect), ("R", 18.0)):
            well += 1
            m = midpoint + level + rng.gauss(0.0, 0.1)
            points = "".join(f"<adp><cyc>{k}</cyc><fluor>{f!r}</fluor></adp>" for k, f in enumerate(_curve(m), 1))
            reacts.append(f'<react id="{well}"><sample id="{sample}"/><data><tar id="{gene}"/>{points}</data>'
                          f'</react>')
    kinds = "".join(f'<sample id="{s}"><annotation><property>Condition</property><value>{g}</value></annotation>'
                    f'<annotation><property>Biological replicate</property><value>{a}</value></annotation>'
                    f'<type>unkn</type></sample>' for s, (g, a, _, _) in samples.items())
    path = tmp_path / "annotated.rdml"
    path.write_text(f'<rdml version="1.2" xmlns="http://www.rdml.org">{kinds}<target id="T"><type>toi</type>'
                    f'</target><target id="R"><type>ref</type></target><experiment id="e"><run id="r"><pcrFormat>'
                    f'<rows>8</rows><columns>12</columns><rowLabel>ABC</rowLabel><columnLabel>123</columnLabel>'
                    f'</pcrFormat>{"".join(reacts)}</run></experiment></rdml>')
    doc = _json(tmp_path, capsys, "quantify", str(path), "--compare", "control,treated", "--ct", "linear")
    row = _table(doc, "comparisons")[0]
    assert row["replicates"] == "biological" and (row["n_a"], row["n_b"]) == (3, 3)
    assert row["fold_change"] == pytest.approx(4.0, rel=0.25)
    assert row["p_randomisation"] == pytest.approx(2 / 20)  # 6 animals into 3 + 3: only the two extremes
    assert main(["quantify", str(path), "--compare", "control,treated", "--ct", "linear"]) == 0
    assert "samples con1a, con1b are one biological replicate ('1' of group 'control')" in capsys.readouterr().out


def test_samples_pool_by_biological_replicate_only_within_a_group():
    from types import SimpleNamespace

    from quelmar.analysis.levels import collect

    def well(sample, group, replicate, ct):
        return SimpleNamespace(target="T", sample=sample, sample_type="unkn", group=group, well="A1",
                               biological_replicate=replicate, excluded="", ct_linear=ct)
    levels = collect([well("x1", "x", "1", 20.0), well("x2", "x", "1", 22.0), well("y1", "y", "1", 25.0),
                      well("z1", "", "1", 30.0), well("z2", "", "1", 31.0)], ["T"], "linear")
    assert levels.cq == {"x1 + x2": {"T": [20.0, 22.0]}, "y1": {"T": [25.0]}, "z1": {"T": [30.0]},
                         "z2": {"T": [31.0]}}
    assert levels.groups["x1 + x2"] == "x" and len(levels.pooled) == 1
