#!/usr/bin/python3
"""The ABI guard against changes planted in a throwaway copy of the header.

For every case, a copy of include/QuelmarAlg.h is changed, and a stand-in
library is built from it in a temporary folder: every export of the copy
defined with an empty body, compiled with debug information as C++ like the
library, under the soname the case gives. scripts/check_abi.py then compares
it with the committed baseline (abi/), and must fail exactly on the
incompatible changes; tests/abi/layout.c must stop compiling on a moved field.
The unchanged header is the control: its stand-in has the library's ABI.

With --dll, the same for the Windows DLL's export table instead: a built
QuelmarAlg.dll against copies of the baseline that promise one function more
(the DLL lost it: scripts/check_dll.py must fail) or one fewer (the DLL added
it: reported, not failed).

Usage: planted_changes.py [--cxx C++ COMPILER] [--cc C COMPILER]
       planted_changes.py --dll QuelmarAlg.dll --objdump OBJDUMP
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HEADER = os.path.join(ROOT, "include", "QuelmarAlg.h")
CHECK = os.path.join(ROOT, "scripts", "check_abi.py")
CHECK_DLL = os.path.join(ROOT, "scripts", "check_dll.py")
LAYOUT = os.path.join(ROOT, "tests", "abi", "layout.c")


def replace(old, new):
    def plant(text):
        if old not in text:
            raise AssertionError(f"the header no longer holds {old!r}")
        return text.replace(old, new, 1)
    return plant


def swap_lines(first, second):
    """The two adjacent field lines starting with first and second, swapped."""
    def plant(text):
        lines = text.split("\n")
        at = next(i for i, line in enumerate(lines) if line.strip().startswith(first))
        if not lines[at + 1].strip().startswith(second):
            raise AssertionError(f"{first!r} is not followed by {second!r}")
        lines[at], lines[at + 1] = lines[at + 1], lines[at]
        return "\n".join(lines)
    return plant


def unchanged(text):
    return text


ADDED = "QUELMARALG_API int alg_planted_addition(double* values, size_t count);\n\n#ifdef __cplusplus\n} /* extern"

# name, change to the header, soname, version, check_abi.py's expected exit status, extra flags,
# whether layout.c still compiles
CASES = [
    ("unchanged header", unchanged, "libQuelmarAlg.so.1", "1.1.1", 0, [], True),
    ("record field moved (reserved1 after third_value)", swap_lines("double reserved1;", "double third_value;"),
     "libQuelmarAlg.so.1", "1.1.1", 1, [], False),
    ("parameter type changed (half_window int to long)",
     replace("size_t count, int half_window);", "size_t count, long half_window);"),
     "libQuelmarAlg.so.1", "1.1.1", 1, [], True),
    ("record field resized (sigmoid_steepness double to float)",
     replace("double sigmoid_steepness;", "float sigmoid_steepness;"),
     "libQuelmarAlg.so.1", "1.1.1", 1, [], False),
    # The functions take RqOptions as a pointer to its first field: no export
    # reaches the record, and layout.c alone holds its layout.
    ("record no export reaches changed (RqOptions.sdMultiple to double)",
     replace("int32_t sdMultiple;", "double sdMultiple;"), "libQuelmarAlg.so.1", "1.1.1", 0, [], False),
    ("export removed (alg_calc_standard)",
     replace("QUELMARALG_API int alg_calc_standard(", "int alg_calc_standard_withdrawn("),
     "libQuelmarAlg.so.1", "1.1.1", 1, [], True),
    ("export added: compatible, reported", replace("\n#ifdef __cplusplus\n} /* extern", "\n" + ADDED),
     "libQuelmarAlg.so.1", "1.2.0", 0, [], True),
    ("soname raised without a baseline", unchanged, "libQuelmarAlg.so.2", "2.0.0", 1, [], True),
    ("soname not following the version", unchanged, "libQuelmarAlg.so.1", "2.0.0", 1, [], True),
    ("incompatible baseline refused by --update", replace("size_t count, int half_window);",
                                                          "size_t count, long half_window);"),
     "libQuelmarAlg.so.1", "1.1.1", 1, ["--update"], True),
    ("incompatible change with version, soname and new baseline together",
     replace("size_t count, int half_window);", "size_t count, long half_window);"),
     "libQuelmarAlg.so.2", "2.0.0", 0, ["--update"], True),
]


def stand_in(header, folder, soname, cxx):
    """A library defining every export of header with an empty body; its path."""
    text = re.sub(r"/\*.*?\*/", " ", open(header, encoding="utf-8").read(), flags=re.S)
    lines = ['#include "QuelmarAlg.h"']
    for ret, name, params in re.findall(r"QUELMARALG_API\s+([^;{(]*?)\b(\w+)\s*\(([^)]*)\)\s*;", text):
        body = 'return "";' if "char" in ret else "return 0;"
        lines.append(f"QUELMARALG_API {ret.strip()} {name}({' '.join(params.split())}) {{ {body} }}")
    source = os.path.join(folder, "stand_in.cpp")
    with open(source, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")
    library = os.path.join(folder, "libQuelmarAlg.so")
    subprocess.run([cxx, "-std=c++17", "-g", "-O0", "-shared", "-fPIC", "-fvisibility=hidden",
                    "-DQUELMARALG_BUILDING", f"-ffile-prefix-map={folder}/=", "-I", folder,
                    f"-Wl,-soname,{soname}", "-o", library, source], check=True)
    return library


def baseline_file():
    """The committed baseline of the current major version."""
    major = re.search(r"project\(QuelmarAlg VERSION (\d+)\.", open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    return os.path.join(ROOT, "abi", f"libQuelmarAlg.so.{major}.abi")


def dll_cases(dll, objdump):
    """(passed, failed) of the export table against planted baselines."""
    original = open(baseline_file(), encoding="utf-8").read()
    first = re.search(r"    <elf-symbol name='(\w+)'[^\n]*\n", original)
    cases = [
        ("baseline as committed", original, 0, "as required"),
        ("a function the DLL no longer exports", original.replace(
            first.group(0), first.group(0) + first.group(0).replace(first.group(1), "alg_planted_withdrawn"), 1),
         1, "not exported (incompatible): alg_planted_withdrawn"),
        ("a function added since the baseline", original.replace(first.group(0), "", 1), 0,
         f"added since (compatible): {first.group(1)}"),
    ]
    passed = failed = 0
    for name, text, expected, says in cases:
        with tempfile.TemporaryDirectory(prefix="quelmaralg-abi.") as folder:
            baseline = os.path.join(folder, "planted.abi")
            with open(baseline, "w", encoding="utf-8") as out:
                out.write(text)
            run = subprocess.run([sys.executable, CHECK_DLL, "--objdump", objdump, "--header", HEADER,
                                  "--abi-baseline", baseline, dll], capture_output=True, text=True)
            ok = run.returncode == expected and says in run.stdout + run.stderr
            passed += ok
            failed += not ok
            print(f"{'PASS' if ok else 'FAIL'} DLL, {name}: exit {run.returncode}")
            if not ok:
                print(run.stdout + run.stderr)
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cxx", default="g++")
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--dll")
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    args = parser.parse_args()
    if args.dll:
        passed, failed = dll_cases(args.dll, args.objdump)
        print(f"{passed} passed, {failed} failed")
        return 1 if failed else 0
    original = open(HEADER, encoding="utf-8").read()
    passed = failed = 0
    for name, plant, soname, version, expected, flags, layout_compiles in CASES:
        with tempfile.TemporaryDirectory(prefix="quelmaralg-abi.") as folder:
            include = os.path.join(folder, "include")
            baselines = os.path.join(folder, "abi")
            os.makedirs(include)
            shutil.copytree(os.path.join(ROOT, "abi"), baselines)
            header = os.path.join(include, "QuelmarAlg.h")
            with open(header, "w", encoding="utf-8") as out:
                out.write(plant(original))
            library = stand_in(header, include, soname, args.cxx)
            before = {f: open(os.path.join(baselines, f), "rb").read() for f in os.listdir(baselines)}
            run = subprocess.run([sys.executable, CHECK, "--baseline-dir", baselines, "--headers-dir", include,
                                  "--version", version, *flags, library], capture_output=True, text=True)
            layout = subprocess.run([args.cc, "-std=c99", "-fsyntax-only", "-I", include, LAYOUT],
                                    capture_output=True, text=True)
            after = {f: open(os.path.join(baselines, f), "rb").read() for f in os.listdir(baselines)}
            problems = []
            if run.returncode != expected:
                problems.append(f"check_abi.py exited {run.returncode}, expected {expected}")
            if (layout.returncode == 0) != layout_compiles:
                problems.append("layout.c " + ("did not compile" if layout_compiles else "compiled"))
            if run.returncode != 0 and after != before:
                problems.append("a failed check changed the baselines")
            if "--update" in flags and run.returncode == 0 and f"{soname}.abi" not in after:
                problems.append(f"no baseline written for {soname}")
            verdict = "FAIL" if problems else "PASS"
            passed += not problems
            failed += bool(problems)
            summary = [line for line in run.stdout.splitlines() if line.startswith(("FAIL:", "ABI identical",
                                                                                    "compatible", "new baseline"))]
            print(f"{verdict} {name}: {'; '.join(problems) or (summary[-1] if summary else 'ok')}")
            if problems:
                print(run.stdout + run.stderr)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
