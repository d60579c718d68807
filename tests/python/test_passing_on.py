"""What the package passes on of text from files: to a terminal (controls as
their escapes), to a spreadsheet (formulas neutralised, numbers kept), to
JSON and CSV (a file name that is not UTF-8), to matplotlib (no mathematics);
and the page's CSV download made by its own script, the same as --out."""
import csv
import json
import math
import os
import re
import shutil
import subprocess

import pytest
from conftest import ROOT

from quelmar.command.cli import main
from quelmar.common.text import encodable, printable
from quelmar.results import FileResult
from quelmar.writing.plots import _literal
from quelmar.writing.writers import TableWriter, dumps, format_table, spreadsheet_cell


@pytest.mark.parametrize("text, shown", [
    ("A1 liver-1", "A1 liver-1"),
    ("样品 82 °C", "样品 82 °C"),                      # other scripts and symbols stay
    ("\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"),               # clear the screen
    ("ok\rFORGED", "ok\\rFORGED"),                      # overwrite the row
    ("a\nb", "a\\nb"),                                  # a row of its own
    ("x\x08\x08", "x\\x08\\x08"),                       # back over text
    ("\x9b31m", "\\x9b31m"),                            # C1's one-byte CSI
    ("\u202egnp", "\\u202egnp"),                        # shown backwards
    ("tab\there", "tab\\there"),
    ("b\udcffd", "b\\xffd"),                            # a byte of a file name that was not UTF-8
    ("\ud800", "\\ud800"),                              # any other lone surrogate
    ("back\\slash", "back\\slash"),
])
def test_printable_shows_every_control_as_its_escape(text, shown):
    assert printable(text) == shown
    assert printable(shown) == shown  # nothing left to act on


def test_encodable_escapes_only_what_utf8_cannot_hold():
    assert encodable("a\x1b\tb") == "a\x1b\tb" and encodable("b\udcffd") == "b\\xffd"
    assert encodable("b\udcffd", backslash="\\\\") == "b\\\\xffd"
    assert json.loads(dumps({"file": "b\udcffd\x1b"})) == {"file": "b\\xffd\x1b"}  # JSON that reads back


@pytest.mark.parametrize("cell, written", [
    ("=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"), ("@SUM(A1)", "'@SUM(A1)"), ("+1+1", "'+1+1"),
    ("-2+3", "'-2+3"), ("\tx", "'\tx"), ("\rx", "'\rx"), ("-", "'-"),
    ("-5", "-5"), ("-5.25", "-5.25"), ("+1.5e3", "+1.5e3"), ("-1E-300", "-1E-300"), ("-inf", "-inf"),
    (".5", ".5"), ("A1", "A1"), ("x=1", "x=1"), (" =1", " =1"), ("", ""),
    ("b\udcffd", "b\\xffd"),
])
def test_a_spreadsheet_runs_no_cell_and_numbers_stay_numbers(cell, written):
    assert spreadsheet_cell(cell) == written


def test_the_csv_table_neutralises_names_but_not_values(tmp_path):
    from dataclasses import dataclass

    @dataclass
    class Row:
        well: str
        ct: float
    path = tmp_path / "t.csv"
    w = TableWriter(str(path), "amplify", {"wells": ("well", "ct")})
    w.add(FileResult(command="amplify", file="a.csv", plates=[],
                     tables={"wells": [Row("=1+1", -2.5), Row("-3", math.nan), Row("@x", 1e-300)]}))
    w.commit()
    with open(path, newline="", encoding="utf-8") as f:
        assert list(csv.reader(f)) == [["well", "ct"], ["'=1+1", "-2.5"], ["-3", ""], ["'@x", "1e-300"]]


def test_the_text_table_keeps_one_line_per_row_and_its_columns():
    from dataclasses import dataclass

    @dataclass
    class Row:
        well: str
        sample: str
    text = format_table([Row("A1", "ok\rA9 forged"), Row("A\n2", "\x1b[2J")], ("well", "sample"), (4, 0), {})
    assert text.splitlines() == ["well  sample", "A1    ok\\rA9 forged", "A\\n2  \\x1b[2J"]


@pytest.mark.parametrize("name", ["$\\undefinedcmd$", "$x^2$ and $5", "a\\$b", "50 $ each"])
def test_plot_text_is_drawn_as_it_is(name, tmp_path):
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots()
    ax.set_title(_literal(name))
    ax.plot([0, 1], [0, 1], label=_literal(name))
    ax.legend()
    fig.savefig(tmp_path / "t.png")  # mathematics would fail here on \undefinedcmd
    assert ax.get_title() == _literal(name) and not ax.title._preprocess_math(ax.get_title())[1]
    assert ax.title._preprocess_math(ax.get_title())[0] == name
    plt.close(fig)


@pytest.mark.skipif(shutil.which("node") is None, reason="Node.js runs the page's script here")
def test_the_pages_csv_download_is_the_commands_csv(tmp_path):
    """report.js's csvText, run by Node.js on the page's own table, gives --out's bytes."""
    plate = tmp_path / "names.csv"
    names = ["=cmd|' /C calc'!A0", "@SUM(A1)", "-5", "+1+1"]
    rows = [[k] + [100 + 1e4 / (1 + math.exp(-0.7 * (k - 20)))] * len(names) for k in range(1, 41)]
    with open(plate, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([["Cycle"] + names] + rows)
    page, table = tmp_path / "r.html", tmp_path / "t.csv"
    assert main(["report", str(plate), "--out", str(page), "-q"]) == 0
    assert main(["amplify", str(plate), "--out", str(table), "-q"]) == 0
    html = page.read_text(encoding="utf-8")
    key = re.search(r'data-source="(table\d+)" data-file="[^"]*-amplification\.csv"', html).group(1)
    island = re.search(f'<script type="application/json" id="{key}">(.*?)</script>', html, re.S).group(1)
    script = ("const fs = require('fs'), vm = require('vm'), c = {};"
              "vm.runInNewContext(fs.readFileSync(process.argv[1], 'utf8').split('\\n(function () {')[0], c);"
              "process.stdout.write(c.csvText(JSON.parse(fs.readFileSync(0, 'utf8'))));")
    made = subprocess.run(["node", "-e", script, os.path.join(ROOT, "quelmar", "report", "report.js")],
                          input=island.encode(), capture_output=True, check=True)
    assert made.stdout == table.read_bytes() and b"'=cmd" in made.stdout


@pytest.mark.parametrize("name, drawn", [("\x1b[2J B1", "\\x1b[2J B1"), ("s1\rA9", "s1\\rA9"), ("\x9b31m", "\\x9b31m")])
def test_plot_text_draws_control_characters_as_their_escapes_and_misses_no_glyph(name, drawn, tmp_path):
    import warnings

    import matplotlib.pyplot as plt
    fig, ax = plt.subplots()
    ax.set_title(_literal(name))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a missing glyph's warning would quote the character itself
        fig.savefig(tmp_path / "t.png")
    assert ax.title._preprocess_math(ax.get_title())[0] == drawn
    plt.close(fig)


def test_a_warning_quoting_a_name_reaches_the_terminal_as_escapes(capsys):
    import warnings

    from quelmar.command.cli import _printable_warnings
    with _printable_warnings(), warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.warn("Glyph 27 (\x1b[2J) missing from current font.")
    err = capsys.readouterr().err
    assert "Glyph 27 (\\x1b[2J) missing" in err and "\x1b" not in err
