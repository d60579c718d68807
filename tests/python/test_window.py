"""The window-of-linearity Cq through the toolkit: the binding's records and
its own last error, where it finds its library, and the bundled instrument
files against the instrument's own Cq and stored efficiency."""
import math
import os
import re
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from quelmar.analysis.settings import AnalysisSettings
from quelmar.binding import core, wol
from quelmar.command import jobs
from quelmar.common.errors import InvalidArgumentError

ROOT = Path(__file__).resolve().parents[2]
RDML = ROOT / "data" / "rdml"


def test_the_records_lie_as_the_header_says():
    header = (ROOT / "include" / "QuelmarAlgWol.h").read_text()
    for dtype, struct in ((wol.WELL_DTYPE, "WolWell"), (wol.TARGET_DTYPE, "WolTarget")):
        body = re.search(r"typedef struct %s \{(.*?)\} %s;" % (struct, struct), header, re.S).group(1)
        fields = re.findall(r"(?:double|int32_t) (\w+)(?:\[\d+\])?;\s*/\*\s*(\d+)", body)
        assert dtype.itemsize == 96 and [(n, int(o)) for n, o in fields] == [
            (n, dtype.fields[n][1]) for n in dtype.names]
    assert set(wol.REASONS) == {int(v) for v in re.findall(r"#define WOL_WELL_\w+ (\d+)", header)}


def test_its_last_error_is_its_own():
    with pytest.raises(InvalidArgumentError):
        wol.analyse(np.ones((1, 5)))
    assert wol.last_error() != b"" and core.last_error() == b""
    core.increasing(0.0, 1.0, 3)
    assert wol.last_error() != b""
    wol.analyse(np.ones((1, 20)))
    assert wol.last_error() == b"" and wol.version() == core.version()


def _lookup(env):
    code = "from quelmar.binding import wol; print(wol.library_path())"
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True,
                          env={**os.environ, **env})


def test_it_is_found_beside_the_core_library_or_where_its_own_variable_says(tmp_path):
    beside = _lookup({"QUELMARALG_LIBRARY": core.LIBRARY_PATH})
    assert beside.stdout.strip() == os.path.join(os.path.dirname(core.LIBRARY_PATH), "libQuelmarAlgWol.so")
    nowhere = _lookup({"QUELMARALG_WOL_LIBRARY": str(tmp_path / "nowhere.so")})
    assert nowhere.returncode != 0 and "LibraryNotFoundError" in nowhere.stderr
    tried = nowhere.stderr.split("Tried:")[1]
    assert str(tmp_path / "nowhere.so") in tried and "build" not in tried


def _amplified(name, ct="window"):
    return jobs.amplify(str(RDML / name), AnalysisSettings(ct=ct)).plates


def _replicate_sd(plates, kind):
    """Median SD over the replicate groups (run, target, sample, quantity) with two values or more."""
    groups = {}
    for p in plates:
        for w in p.wells:
            if w.sample_type not in ("ntc", "nac", "ntp", "nrt"):
                value = w.file_cq if kind == "file" else getattr(w, f"ct_{kind}")
                groups.setdefault((w.run, w.target, w.sample, w.quantity), []).append(value)
    sds = [statistics.stdev(v) for v in ([x for x in g if math.isfinite(x)] for g in groups.values()) if len(v) > 1]
    return statistics.median(sds)


@pytest.mark.parametrize("name", ["BioRad_384.rdml", "stepone_std.rdml", "test_rdml.rdml"])
def test_on_instrument_files_replicates_agree_as_well_and_cq_follow_the_instruments(name):
    plates = _amplified(name)
    assert _replicate_sd(plates, "window") <= _replicate_sd(plates, "file") + 0.03
    new, own = [], []
    for p in plates:
        both = [(w.ct_window, w.file_cq) for w in p.wells if math.isfinite(w.ct_window) and math.isfinite(w.file_cq)]
        mean_new, mean_own = (statistics.mean(v) for v in zip(*both))
        new += [a - mean_new for a, _ in both]
        own += [b - mean_own for _, b in both]
        assert all(math.isfinite(w.ct_window) == (w.window_note == "") for w in p.wells)
    assert np.corrcoef(new, own)[0, 1] >= 0.99  # within targets: each target has its own threshold


def test_the_stepone_standard_curve_over_the_window_cq_gives_the_files_efficiency():
    # The file stores 93.9 % from the instrument's standard curve; its curves still rise at the
    # run's end, so every well is read against one plateau and the spacing of the Cq is kept.
    result = jobs.standard(str(RDML / "stepone_std.rdml"), AnalysisSettings(ct="window"))
    fit = result.tables["fits"][0]
    plate = result.plates[0].amplification
    assert fit.ct_kind == "window" and fit.efficiency == pytest.approx(93.9, abs=3.0) and fit.r_squared > 0.99
    assert plate.window_efficiency == pytest.approx(1.939, abs=0.03) and plate.window_wells >= 18


def test_wells_without_a_window_cq_say_why():
    plates = _amplified("stepone_std.rdml")
    notes = {w.well: w.window_note for p in plates for w in p.wells}
    assert notes["A1"] == notes["A2"] == "no amplification" and notes["A4"] == ""
    assert all(w.n0 > 0 and w.efficiency_window > 1 for p in plates for w in p.wells if not w.window_note)


def test_readings_with_their_baseline_removed_keep_its_zero():
    # The Bio-Rad exports come with the instrument's baseline removed; the others are raw or normalised.
    for path in sorted(RDML.glob("*.rdml")):
        plates = _amplified(path.name)
        kept = {p.window_baseline_kept for p in plates if p.window_wells > 0}
        assert kept == {path.name.startswith("BioRad")}, path.name
    # Their ground is bent (a few RFU above zero, then below it before the rise): a line fitted to it
    # lies about 10 RFU under zero at the window's foot, which took the efficiencies down to 1.82-1.88
    # and cost one GAPDH well (H1) its Cq. Kept at zero, every well has a Cq and each target's mean
    # efficiency is within 0.1 of the file's 2.0256 (GAPDH's standard curve).
    plates = _amplified("BioRad_384.rdml")
    assert all(w.window_note == "" for p in plates for w in p.wells)
    assert all(p.window_efficiency == pytest.approx(2.0256, abs=0.1) for p in plates)
