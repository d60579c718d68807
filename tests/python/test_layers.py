"""The package's layers: imports point down the README's table, and importing
loads neither the library nor anything a layer does not need."""
import importlib.util
import json
import os
import subprocess
import sys
import textwrap

import pytest
from conftest import DATA, ROOT

from quelmar.common import flags

_found = importlib.util.spec_from_file_location("check_python_layers", ROOT / "scripts" / "check_python_layers.py")
layers = importlib.util.module_from_spec(_found)
_found.loader.exec_module(layers)


def test_every_import_points_down():
    problems, count = layers.check(str(ROOT))
    assert problems == [] and count > 50


def _tree(root, table, files):
    (root / "README.md").write_text("# x\n\n| Python layer | modules | what | may import |\n|---|---|---|---|\n" +
                                    "".join(f"| {row} |\n" for row in table))
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))


def test_the_check_finds_every_kind_of_import_that_does_not_point_down(tmp_path):
    _tree(tmp_path, ["base | `quelmar/base` | x | —", "mid | `quelmar/mid`, `quelmar/glue.py` | x | base",
                     "side | `quelmar/side` | x | base", "top | `quelmar/top` | x | every layer above",
                     "package | `quelmar/__init__.py` | x | every layer above"], {
        "quelmar/__init__.py": "",
        "quelmar/base/__init__.py": "",
        "quelmar/base/low.py": """\
            def later():
                from ..mid import work  # put off, and still upward
                return work
            """,
        "quelmar/mid/__init__.py": "from . import work\n",
        "quelmar/mid/work.py": "from ..base import low\nfrom quelmar.side import other\nimport quelmar.glue\n",
        "quelmar/glue.py": "from .top import run\n",
        "quelmar/side/__init__.py": "",
        "quelmar/side/other.py": "import os\nfrom quelmar.base.low import later\n",
        "quelmar/top/__init__.py": "",
        "quelmar/top/run.py": "from ..mid import work\nfrom ..side import other\nfrom .. import stray\n",
        "quelmar/stray.py": "",
    })
    problems, _ = layers.check(str(tmp_path))
    assert sorted(problems) == [
        "quelmar/base/low.py:2: the base layer may not import quelmar.mid.work (mid)",
        "quelmar/glue.py:1: the mid layer may not import quelmar.top.run (top)",
        "quelmar/mid/work.py:2: the mid layer may not import quelmar.side.other (side)",
        "quelmar/stray.py: in no layer of the README table",
        "quelmar/top/run.py:3: imports quelmar.stray, which is in no layer",
    ]


def test_the_table_may_not_let_a_layer_import_one_below_it(tmp_path):
    _tree(tmp_path, ["base | `quelmar/base` | x | top", "top | `quelmar/top` | x | base, nowhere"],
          {"quelmar/base/a.py": ""})
    problems, _ = layers.check(str(tmp_path))
    assert problems == ["README: the base layer may import top, which is not above it",
                        "README: the top layer may import nowhere, which is no layer"]


# Run in a fresh interpreter, where nothing has been imported yet; prints what it saw as JSON.
_IMPORTS = """
import ctypes, json, sys
opened = []
_init = ctypes.CDLL.__init__
def spy(self, name, *args, **kwargs):
    opened.append(str(name))
    return _init(self, name, *args, **kwargs)
ctypes.CDLL.__init__ = spy

import quelmar
seen = {"bare": sorted(m for m in ("numpy", "matplotlib") if m in sys.modules)}
import quelmar.common.errors, quelmar.common.flags, quelmar.common.limits, quelmar.common.positions
seen["common"] = sorted(m for m in ("numpy", "matplotlib") if m in sys.modules)
vocabulary = dict(quelmar.common.flags.VOCABULARY)
import quelmar.analysis.amplification, quelmar.analysis.quantify, quelmar.analysis.melting, quelmar.report.page
import quelmar.command.cli
import quelmar.reading.kinds, quelmar.reading.samplesheet, quelmar.results, quelmar.writing.writers
seen["command"] = sorted(m for m in ("matplotlib",) if m in sys.modules)
plate = quelmar.read_plate(sys.argv[1])
sheet = quelmar.reading.samplesheet.read_sample_sheet(sys.argv[2])
from quelmar.binding import _lib
seen.update(wells=len(plate.wells), sheet=len(sheet.rows), opened=opened, loaded=_lib._loaded is not None,
            mapped="QuelmarAlg" in open("/proc/self/maps").read(),
            vocabulary_kept=quelmar.common.flags.VOCABULARY == vocabulary)
try:
    quelmar.version()
except quelmar.LibraryNotFoundError as e:
    seen["first_call"] = str(e)
print(json.dumps(seen))
"""


def test_importing_the_package_loads_no_library_and_changes_nothing(tmp_path):
    sheet = tmp_path / "sheet.csv"
    sheet.write_text("well,sample,target,type\nA1,x,,unkn\n")
    nowhere = tmp_path / "no" / "libQuelmarAlg.so"
    env = dict(os.environ, QUELMARALG_LIBRARY=str(nowhere), PYTHONPATH=str(ROOT))
    run = subprocess.run([sys.executable, "-c", _IMPORTS, str(DATA / "rdml" / "stepone_std.rdml"), str(sheet)],
                         env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout)
    assert seen["bare"] == [] and seen["common"] == [] and seen["command"] == []
    assert (seen["wells"], seen["sheet"]) == (24, 1)  # read without a library
    assert seen["opened"] == [] and not seen["loaded"] and not seen["mapped"] and seen["vocabulary_kept"]
    assert str(nowhere) in seen["first_call"]  # the first call is where the library is looked for


def test_the_flag_vocabulary_is_declared_whole():
    analyses = [f.analysis for f in flags.VOCABULARY.values()]
    assert len(flags.VOCABULARY) == 16 and analyses == ["amplification"] * 9 + ["melting"] * 5 + ["result"] * 2
    assert flags.MELT_FLAGS == ("no-peak", "ntc-peak", "extra-peak", "tm-outlier", "low-tm")
    assert flags.EXCLUDING == ("replicate-outlier", "tm-outlier")
    # Every level an explanation quotes is the constant's own value.
    assert f"{flags.PRODUCT_RISE_SHARE:.0%}" in flags.explain("ntc-amplified")
    assert f"{flags.LATE_CT_SHARE:.0%}" in flags.explain("late-ct")
    assert f"{flags.EFFICIENCY_FLOOR:.0%}" in flags.explain("efficiency-outlier")
    with pytest.raises(ValueError, match="declared twice"):
        flags._vocabulary(flags.VOCABULARY["no-ct"], flags.VOCABULARY["no-ct"])
