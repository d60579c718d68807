#!/usr/bin/python3
"""Compares the ABI of a built libQuelmarAlg.so with its committed baseline.

The baseline, abi/<soname>.abi, is libabigail's description (abidw) of the
exported functions and every type they reach, as the public header declares
them. The comparison (abidiff) sorts every difference:

- none: the ABI is the baseline's;
- compatible (an added function, say): reported, and the check passes; the
  baseline takes it in at the next --update;
- incompatible (a removed function, a changed parameter type, a record field
  moved or resized): the check fails. Hosts built against the baseline would
  break at run time, so such a change needs a new major version: the version
  in CMakeLists.txt, whose major number is the soname's, and a new baseline for
  the new soname, made with --update, all in one change.

--update writes the baseline of the library's soname, and refuses to replace a
baseline by an incompatible one: the only way past an incompatible change is
a new major version, hence a new soname and a baseline of its own.

Usage:
  check_abi.py [--update] [--baseline-dir DIR] [--headers-dir DIR]
               [--version X.Y.Z] LIBRARY
LIBRARY must carry debug information (scripts/check_abi.sh builds one).
Exit status 0 when compatible, 1 when not, 2 when the check could not run.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# abidiff's exit status is a set of bits.
ABIDIFF_ERROR = 1
ABIDIFF_USAGE_ERROR = 2
ABIDIFF_ABI_CHANGE = 4
ABIDIFF_ABI_INCOMPATIBLE_CHANGE = 8

# What abidw keeps: the exported interface and the public types it reaches,
# without the machine's paths (the corpus, the compilation folder, source
# locations), so that any checkout makes the same baseline.
ABIDW_OPTIONS = ["--drop-private-types", "--exported-interfaces-only", "--no-corpus-path", "--no-comp-dir-path",
                 "--no-show-locs"]
VERSION_NOTE = re.compile(r"<!-- QuelmarAlg (\d+)\.(\d+)\.(\d+):")


class CheckError(Exception):
    """The check could not run (exit status 2)."""


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        found = re.search(r"project\(QuelmarAlg VERSION (\d+\.\d+\.\d+)", cmake.read())
    if not found:
        raise CheckError("no project version in CMakeLists.txt")
    return found.group(1)


def describe(library, headers_dir, out):
    """abidw's description of the library, written to out; returns its soname."""
    run = subprocess.run(["abidw", "--headers-dir", headers_dir, *ABIDW_OPTIONS, "--out-file", out, library],
                         capture_output=True, text=True)
    if run.returncode != 0:
        raise CheckError(f"abidw {library}: {run.stderr.strip() or run.returncode}")
    with open(out, encoding="utf-8") as xml:
        text = xml.read()
    if "<function-decl" not in text:
        raise CheckError(f"{library} has no debug information: abidw found no function types")
    soname = re.search(r"<abi-corpus [^>]*soname='([^']+)'", text)
    if not soname:
        raise CheckError(f"{library} has no soname")
    return soname.group(1)


def compare(baseline, current):
    """(abidiff's exit status, its report)."""
    run = subprocess.run(["abidiff", "--no-corpus-path", baseline, current], capture_output=True, text=True)
    # abidiff reads a damaged file as an empty one, and may then find nothing to report.
    if run.returncode & (ABIDIFF_ERROR | ABIDIFF_USAGE_ERROR) or run.stderr.strip():
        raise CheckError(f"abidiff {baseline} {current}: {run.stderr.strip() or run.returncode}")
    return run.returncode, run.stdout.strip()


def show(path):
    """A path as the reader knows it: from the checkout when inside it."""
    inside = os.path.relpath(path, ROOT)
    return path if inside.startswith("..") else inside


def breaks_hosts(report):
    """Whether abidiff's report removes or changes anything.

    abidiff flags removed symbols as incompatible by its exit status, but a
    changed type (a parameter, a record field) only as "a change", the same as
    an added function. Only additions leave every host working, so anything
    reported removed or changed (harmless changes, such as a renamed
    parameter, are filtered out by abidiff and not counted) fails.
    """
    for line in report.splitlines():
        if "changes summary:" in line:
            counts = dict((kind, int(n)) for n, kind in re.findall(r"(\d+) (Removed|Changed)\b", line))
            if counts.get("Removed", 0) or counts.get("Changed", 0):
                return True
    return "SONAME changed" in report or "architecture changed" in report


def baseline_version(path):
    with open(path, encoding="utf-8") as xml:
        found = VERSION_NOTE.search(xml.readline() + xml.readline())
    if not found:
        raise CheckError(f"{path} does not say which version it describes")
    return tuple(int(part) for part in found.groups())


def write_baseline(current, path, version):
    # The note goes inside the root element: abidiff knows a file by its first tag.
    with open(current, encoding="utf-8") as xml:
        root, rest = xml.read().split("\n", 1)
    with open(path, "w", encoding="utf-8") as out:
        out.write(root + "\n")
        out.write(f"  <!-- QuelmarAlg {version}: the ABI hosts are built against, written by scripts/check_abi.py -->\n")
        out.write(rest)


def check(args):
    version = args.version or project_version()
    major = int(version.split(".")[0])
    with tempfile.TemporaryDirectory() as work:
        current = os.path.join(work, "current.abi")
        soname = describe(args.library, args.headers_dir, current)
        print(f"{os.path.basename(args.library)}: soname {soname}, version {version}")
        if not soname.endswith(f".so.{major}"):
            print(f"FAIL: the soname {soname} does not carry the major version {major}")
            return 1
        baseline = os.path.join(args.baseline_dir, soname + ".abi")
        if not os.path.exists(baseline):
            if args.update:
                write_baseline(current, baseline, version)
                print(f"new baseline {show(baseline)} for the new soname")
                return 0
            print(f"FAIL: no baseline {show(baseline)}: a new major version makes its own with --update")
            return 1
        made_at = baseline_version(baseline)
        if made_at[0] != major:
            print(f"FAIL: {show(baseline)} describes version {'.'.join(map(str, made_at))}, "
                  f"not major version {major}")
            return 1
        status, report = compare(baseline, current)
        if status & ABIDIFF_ABI_INCOMPATIBLE_CHANGE or breaks_hosts(report):
            print(report)
            print(f"FAIL: incompatible with the baseline of {soname} ({show(baseline)}). Hosts built "
                  "against it would break: undo the change, or raise the major version in CMakeLists.txt (the "
                  "soname follows) and make the new soname's baseline with --update, together.")
            return 1
        if status & ABIDIFF_ABI_CHANGE:
            print(report)
            print(f"compatible changes against {show(baseline)} (reported, not failed)")
        else:
            print(f"abidiff {show(baseline)} {os.path.basename(args.library)}: exit {status}, no change reported")
            print(f"ABI identical to {show(baseline)}")
        if args.update:
            if made_at > tuple(int(part) for part in version.split(".")):
                print(f"FAIL: the baseline describes {'.'.join(map(str, made_at))}, newer than {version}")
                return 1
            write_baseline(current, baseline, version)
            print(f"baseline {show(baseline)} rewritten for {version}")
        return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--update", action="store_true", help="write the baseline (compatible changes only)")
    parser.add_argument("--baseline-dir", default=os.path.join(ROOT, "abi"))
    parser.add_argument("--headers-dir", default=os.path.join(ROOT, "include"))
    parser.add_argument("--version", help="the library's version (default: CMakeLists.txt's)")
    parser.add_argument("library")
    args = parser.parse_args()
    try:
        return check(args)
    except CheckError as error:
        print(f"check_abi: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
