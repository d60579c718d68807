"""Where the package looks for the library, in a fresh interpreter each time."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import ROOT

from quelmar import core


def _run(cwd, extra_env=None):
    env = {k: v for k, v in os.environ.items() if k not in ("QUELMARALG_LIBRARY", "PYTHONPATH")}
    env.update(extra_env or {})
    return subprocess.run([sys.executable, "-c", "import quelmar; print(quelmar.LIBRARY_PATH)"], cwd=cwd, env=env,
                          capture_output=True, text=True)


def _installed_copy(tmp_path, libdir):
    shutil.copytree(ROOT / "quelmar", tmp_path / "quelmar", ignore=shutil.ignore_patterns("__pycache__"))
    (tmp_path / "quelmar" / "_installed_libdir.py").write_text(f"LIBDIR = {str(libdir)!r}\n")


def test_an_installed_copy_uses_the_libdir_written_at_install(tmp_path):
    libdir = Path(core.LIBRARY_PATH).resolve().parent
    _installed_copy(tmp_path, libdir)
    run = _run(tmp_path)
    assert run.returncode == 0 and run.stdout.strip() == str(libdir / "libQuelmarAlg.so.1")


def test_a_copy_carrying_the_library_inside_the_package_uses_it_first(tmp_path):
    _installed_copy(tmp_path, tmp_path / "elsewhere")
    shutil.copyfile(core.LIBRARY_PATH, tmp_path / "quelmar" / "libQuelmarAlg.so.1")
    run = _run(tmp_path)
    assert run.returncode == 0 and run.stdout.strip() == str(tmp_path / "quelmar" / "libQuelmarAlg.so.1")


def test_the_environment_variable_is_the_only_place_tried_when_set(tmp_path):
    run = _run(ROOT, {"QUELMARALG_LIBRARY": str(tmp_path / "nowhere.so")})
    assert run.returncode != 0 and "LibraryNotFoundError" in run.stderr
    tried = run.stderr.split("Tried:")[1]
    assert f"{tmp_path / 'nowhere.so'} (QUELMARALG_LIBRARY=" in tried and "build" not in tried
    assert _run(ROOT, {"QUELMARALG_LIBRARY": core.LIBRARY_PATH}).stdout.strip() == core.LIBRARY_PATH


def test_one_error_names_every_place_tried(tmp_path):
    _installed_copy(tmp_path, tmp_path / "lib")
    run = _run(tmp_path, {"LD_LIBRARY_PATH": ""})
    if run.returncode == 0:  # a libQuelmarAlg.so.1 installed system-wide answers the last place
        assert run.stdout.strip() == "libQuelmarAlg.so.1"
        return
    tried = run.stderr.split("Tried:")[1]
    for place in (str(tmp_path / "build" / "libQuelmarAlg.so"), str(tmp_path / "lib" / "libQuelmarAlg.so.1"),
                  "libQuelmarAlg.so.1 (the system loader"):
        assert place in tried
