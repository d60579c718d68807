"""The writers on typed rows (CSV, JSON stitched from spools, atomic files,
the text table) and the mapping of the library's Ct onto the file's cycles."""
import json
import math
import os
from dataclasses import dataclass

import numpy as np
import pytest

from quelmar.analysis.amplification import to_file_cycles
from quelmar.results import FileResult
from quelmar.writing.writers import AtomicFile, OutputError, TableWriter, check_destination, format_table


@dataclass
class Row:
    well: str
    ct: float
    flags: tuple


@pytest.mark.parametrize("cycles, ct, expected", [
    ([1, 2, 3, 4, 5], [2.3, np.nan], [2.3, np.nan]),
    ([0, 1, 2, 3, 4], [2.3], [1.3]),
    ([101, 102, 103, 104, 105], [2.3], [102.3]),
    ([1, 2, 4, 8], [2.5, 3.25, 0.5, 5.0], [3.0, 5.0, 0.5, 12.0]),  # uneven: interpolated, extrapolated at the ends
])
def test_ct_on_the_files_cycles(cycles, ct, expected):
    assert to_file_cycles(ct, np.array(cycles, dtype=float)) == pytest.approx(expected, abs=1e-12, nan_ok=True)
    ct = np.array([17.348297564060103, 0.1 + 0.2])
    assert to_file_cycles(ct, np.arange(1.0, 41.0)) is ct  # cycles 1, 2, ...: the library's Ct bit for bit


@pytest.mark.parametrize("suffix", [".json", ".csv"])
def test_tables_written_whole_on_commit(tmp_path, suffix):
    path = tmp_path / f"out{suffix}"
    w = TableWriter(str(path), "amplify", {"wells": ("well", "ct", "flags"), "extra": ("well",)}, {"v": "1"})
    w.add(FileResult(command="amplify", file="a.rdml", plates=[],
                     tables={"wells": [Row("A1", 20.5, ("no-ct", "late-ct")), Row("A2", math.nan, ())], "extra": []}))
    w.add(FileResult(command="amplify", file="b.rdml", plates=[],
                     tables={"wells": [Row("B1", math.inf, ())], "extra": [Row("X", 1.0, ())]}))
    assert not path.exists()
    w.commit()
    if suffix == ".csv":  # the main table
        assert path.read_text().splitlines() == ["well,ct,flags", 'A1,20.5,"no-ct,late-ct"', "A2,,", "B1,inf,"]
        return
    doc = json.loads(path.read_text(), parse_constant=lambda t: pytest.fail(f"not JSON: {t}"))
    assert doc["files"] == ["a.rdml", "b.rdml"] and doc["v"] == "1" and doc["command"] == "amplify"
    assert doc["wells"] == [{"well": "A1", "ct": 20.5, "flags": ["no-ct", "late-ct"]},
                            {"well": "A2", "ct": None, "flags": []}, {"well": "B1", "ct": None, "flags": []}]
    assert doc["extra"] == [{"well": "X"}] and "late-ct" in doc["flags"]


def test_an_atomic_file_appears_whole_or_not_at_all(tmp_path):
    path = tmp_path / "out.csv"
    path.write_text("old")
    f = AtomicFile(str(path))
    f.file.write("new")
    assert path.read_text() == "old"
    f.discard()
    assert os.listdir(tmp_path) == ["out.csv"] and path.read_text() == "old"
    umask = os.umask(0o027)
    try:
        f = AtomicFile(str(path))
        f.file.write("new")
        f.commit()
    finally:
        os.umask(umask)
    assert path.read_text() == "new" and os.stat(path).st_mode & 0o777 == 0o640


@pytest.mark.parametrize("name, problem", [
    ("out", "must end in .csv or .json"), ("out.csv.png", "must end in .csv or .json"),
    ("in.csv", "is an input of this run"), ("sub/out.csv", "no such folder"), ("dir.csv", "not a regular file"),
])
def test_destinations_refused(tmp_path, name, problem):
    (tmp_path / "in.csv").write_text("x")
    (tmp_path / "dir.csv").mkdir()
    with pytest.raises(OutputError, match=problem):
        check_destination("--out", str(tmp_path / name), (".csv", ".json"), [str(tmp_path / "in.csv")])
    check_destination("--out", str(tmp_path / "OUT.CSV"), (".csv", ".json"), [str(tmp_path / "in.csv")])


def test_text_table_columns_grow_to_their_values():
    text = format_table([Row("A1", 20.5, ("no-ct",)), Row("A12345678", math.nan, ()), Row("x" * 50, 1.0, ())],
                        ("well", "ct", "flags"), (6, -7, 0), {"ct": 2}, {"flags": "why"})
    assert text.splitlines() == ["well" + " " * 36 + "       ct  why", "A1" + " " * 38 + "    20.50  no-ct",
                                 "A12345678", "x" * 39 + "~     1.00"]
