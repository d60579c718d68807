"""The wheel's two needs beyond pyproject.toml: libQuelmarAlg and
libQuelmarAlgWol inside the package, and a platform tag (py3-none-<platform>: any Python 3, no Python ABI,
one machine's library).

The core library is QUELMARALG_WHEEL_LIBRARY when set (scripts/package.sh
passes the release build's; libQuelmarAlgWol is taken from beside it),
otherwise both are built here with CMake into build-wheel/library (libraries
only, Release). They go in as quelmar/libQuelmarAlg.so.1 and
quelmar/libQuelmarAlgWol.so.1, where the package looks first after
QUELMARALG_LIBRARY (quelmar/binding/_lib.py). setuptools works in
build-wheel/ (setup.cfg), away from CMake's build folders.
"""
import os
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))
WORK = os.path.join(ROOT, "build-wheel")
SONAME = "libQuelmarAlg.so.1"
WOL_SONAME = "libQuelmarAlgWol.so.1"
# Fixed modes, whatever the checkout's umask: the wheel records them.
FILE_MODE, LIBRARY_MODE = 0o644, 0o755


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return re.search(r"project\(QuelmarAlg VERSION (\d+\.\d+\.\d+)", cmake.read()).group(1)


def libraries():
    """{soname: path} of the two libraries the wheel carries."""
    given = os.environ.get("QUELMARALG_WHEEL_LIBRARY")
    if given:
        if not os.path.isfile(given):
            raise SystemExit(f"QUELMARALG_WHEEL_LIBRARY={given}: no such file")
        wol = os.path.join(os.path.dirname(given), os.path.basename(given).replace("libQuelmarAlg.", "libQuelmarAlgWol."))
        if not os.path.isfile(wol):
            raise SystemExit(f"QUELMARALG_WHEEL_LIBRARY={given}: no {os.path.basename(wol)} beside it")
        return {SONAME: given, WOL_SONAME: wol}
    build = os.path.join(WORK, "library")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUELMARALG_BUILD_TESTS=OFF",
                    "-DQUELMARALG_BUILD_EXAMPLES=OFF", "-DQUELMARALG_BUILD_BENCHMARKS=OFF",
                    "-DQUELMARALG_INSTALL_PYTHON=OFF"], check=True)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "QuelmarAlg", "QuelmarAlgWol"], check=True)
    return {SONAME: os.path.join(build, SONAME), WOL_SONAME: os.path.join(build, WOL_SONAME)}


class BuildWithLibrary(build_py):
    def run(self):
        # setuptools keeps its build folder between runs: a module removed from
        # the sources must not come back from an earlier build.
        shutil.rmtree(os.path.join(self.build_lib, "quelmar"), ignore_errors=True)
        super().run()
        target = os.path.join(self.build_lib, "quelmar")
        carried = libraries()
        for soname, path in carried.items():
            shutil.copyfile(path, os.path.join(target, soname))
        for folder, _, files in os.walk(self.build_lib):
            for name in files:
                os.chmod(os.path.join(folder, name), LIBRARY_MODE if name in carried else FILE_MODE)


class WithLibrary(Distribution):
    """Says the package holds compiled code, so that it installs as one piece
    at the wheel's root (platlib) rather than as pure Python."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


os.makedirs(WORK, exist_ok=True)
setup(version=project_version(), distclass=WithLibrary,
      cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})
