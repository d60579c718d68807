#!/usr/bin/python3
"""The library's speed in one run: the maths table, the plate and melt roads, the instruction counts.

    bench/run.py [--build DIR] [--ours REV|PATH] [--premaths REV|PATH] [--seconds S] [--rounds N]
                 [--no-callgrind]

Prints, one section after another:
- the maths functions against the C library's, ns per call
  (bench/maths_table.sh, where this tree has it);
- the plate road (a 384-well plate: threshold, linear and sigmoid Ct) and the
  melt road (one well: -dF/dT, detection, fit, filter) of bench/road_inputs.h,
  each build timed by bench_roads with the builds alternated in one process,
  and the SciPy peer of the melt road (bench/melting_scipy.py) alternated
  with it run by run;
- the instructions of one road under callgrind, where valgrind is installed:
  a count that a loaded machine does not disturb;
- the goals: the melt road at least 8 times as fast as the SciPy peer and no
  slower than the pre-maths build, the plate road at most 1.05 times its time.

"ours" is this tree's build in DIR (default build/, configured as Release if
new; QuelmarAlg and bench_roads are built there), or --ours: a library file,
a build folder holding libQuelmarAlg.so, or a git revision. A revision is
exported with git archive into the temporary folder (quelmar-bench/<commit>),
built there once with its tests, examples and benchmarks off, and reused on
later runs; the repository is not touched. --premaths names the build before
the correctly rounded maths the same way, for instance
`--premaths d4c67a2^1`. Timings are medians of the thread's CPU time; ratios
are medians of per-round ratios. Not a test: nothing here fails on a goal.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
LIBRARY = "libQuelmarAlg.so"
SCIPY_PEER = os.path.join(ROOT, "bench", "melting_scipy.py")
MATHS_TABLE = os.path.join(ROOT, "bench", "maths_table.sh")
MELT_GOAL_VS_SCIPY = 8.0
MELT_GOAL_VS_PREMATHS = 1.0
PLATE_GOAL_VS_PREMATHS = 1.05
ROADS = ("plate", "melt")
UNITS = {"plate": ("ms", 1e3), "melt": ("us", 1e6)}


class BenchError(Exception):
    pass


def run(command, **kwargs):
    """stdout of a command that must succeed."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)
    if done.returncode != 0:
        raise BenchError("%s failed (%d):\n%s%s" % (" ".join(command), done.returncode, done.stdout[-2000:],
                                                    done.stderr[-2000:]))
    return done.stdout


def build_tree(build):
    """Configures (if new) and builds the library and bench_roads in this tree."""
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"])
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
        kind = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", cache.read(), re.M)
    if kind is None or kind.group(1) not in ("Release", "RelWithDebInfo"):
        raise BenchError("%s is not an optimised build (Release or RelWithDebInfo)" % build)
    run(["cmake", "--build", build, "-j2", "--target", "QuelmarAlg", "bench_roads"])
    roads = os.path.join(build, "bench", "bench_roads")
    if not os.path.exists(roads):
        raise BenchError("%s has no bench/bench_roads (configured with QUELMARALG_BUILD_BENCHMARKS=OFF?)" % build)
    return os.path.join(build, LIBRARY), roads


def commit_of(revision):
    try:
        return run(["git", "-C", ROOT, "rev-parse", "--verify", "--quiet", revision + "^{commit}"]).strip()
    except BenchError:
        return None


def build_revision(commit):
    """The library of a commit, built once in the temporary folder."""
    home = os.path.join(tempfile.gettempdir(), "quelmar-bench", commit)
    library = os.path.join(home, "build", LIBRARY)
    if os.path.exists(library):
        return library
    source = os.path.join(home, "source")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(source)
    print("building %s in %s ..." % (commit[:12], home), file=sys.stderr)
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", commit], stdout=subprocess.PIPE)
    run(["tar", "-x", "-C", source], stdin=archive.stdout)
    if archive.wait() != 0:
        raise BenchError("git archive %s failed" % commit)
    run(["cmake", "-S", source, "-B", os.path.join(home, "build"), "-DCMAKE_BUILD_TYPE=Release",
         "-DQUELMARALG_BUILD_TESTS=OFF", "-DQUELMARALG_BUILD_EXAMPLES=OFF", "-DQUELMARALG_BUILD_BENCHMARKS=OFF"])
    run(["cmake", "--build", os.path.join(home, "build"), "-j2", "--target", "QuelmarAlg"])
    return library


def resolve(which):
    """(library path, description) of a library file, a build folder or a git revision."""
    if os.path.isfile(which):
        return os.path.abspath(which), which
    if os.path.isdir(which) and os.path.isfile(os.path.join(which, LIBRARY)):
        return os.path.abspath(os.path.join(which, LIBRARY)), which
    commit = commit_of(which)
    if commit is None:
        raise BenchError("%s is neither a library, a build folder holding %s, nor a git revision" % (which, LIBRARY))
    return build_revision(commit), "%s (%s)" % (which, summary_of(commit))


def summary_of(revision):
    """The abbreviated commit and the start of its subject."""
    line = run(["git", "-C", ROOT, "log", "-1", "--format=%h %s", revision]).strip()
    return line if len(line) <= 60 else line[:57].rstrip() + "..."


def describe_tree():
    try:
        head = summary_of("HEAD")
        dirty = run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"]).strip()
    except BenchError:
        return "this tree"
    return "this tree at %s%s" % (head, ", with uncommitted changes" if dirty else "")


def header(title):
    print()
    print("== %s ==" % title)


def maths_table(build):
    header("maths: ns per call on one thread, ours against the C library's")
    if not os.path.exists(MATHS_TABLE):
        print("(not in this tree: bench/maths_table.sh comes with the maths fast paths)")
        return
    try:
        print(run(["bash", MATHS_TABLE, build]).rstrip())
    except BenchError as error:
        print("(maths table failed: %s)" % str(error).splitlines()[0])


def time_roads(roads, builds, seconds, rounds, with_scipy):
    """{road: {label: (seconds, ratio to ours)}} and the SciPy peer's figures.

    The plate road is timed once; the melt road in `rounds` runs alternating
    with the SciPy peer, so that a load that comes and goes meets both."""
    libs = ["%s=%s" % (label, path) for label, path in builds]
    figures = {}
    found = {}
    plate = json.loads(run([roads, "--json", "--road", "plate", "--seconds", str(seconds)] + libs))["plate"]
    figures["plate"] = {b["label"]: (b["seconds"], b["ratio"]) for b in plate["builds"]}
    found["plate"] = {b["label"]: b["found"] for b in plate["builds"]}
    melt_runs, scipy_runs = [], []
    for _ in range(rounds):
        melt_runs.append(json.loads(run([roads, "--json", "--road", "melt", "--seconds", str(seconds / rounds)]
                                        + libs))["melt"])
        if with_scipy:
            scipy_runs.append(json.loads(run(["/usr/bin/python3", SCIPY_PEER, "--json", "--seconds",
                                              str(seconds / rounds)])))
    figures["melt"] = {}
    for label, _ in builds:
        per_run = [next(b for b in r["builds"] if b["label"] == label) for r in melt_runs]
        figures["melt"][label] = (statistics.median(b["seconds"] for b in per_run),
                                  statistics.median(b["ratio"] for b in per_run))
    found["melt"] = {b["label"]: b["found"] for b in melt_runs[-1]["builds"]}
    scipy = None
    if with_scipy:
        ours = [r["builds"][0]["seconds"] for r in melt_runs]
        scipy = {"seconds": statistics.median(s["seconds"] for s in scipy_runs),
                 "ratio": statistics.median(s["seconds"] / o for s, o in zip(scipy_runs, ours)),
                 "found": scipy_runs[-1]["found"], "evaluations": scipy_runs[-1]["evaluations"],
                 "versions": scipy_runs[-1]["versions"]}
    return figures, found, scipy


def print_roads(figures, found, scipy, scipy_note):
    header("roads: median thread CPU time per road, the builds alternated in one process")
    print("%-6s %-9s %12s %9s  %s" % ("road", "build", "time", "vs ours", "found"))
    for road in ROADS:
        unit, scale = UNITS[road]
        for label, (seconds, ratio) in figures[road].items():
            print("%-6s %-9s %9.1f %-2s %9.2f  %s" % (road, label, seconds * scale, unit, ratio, found[road][label]))
        if road == "melt":
            if scipy is not None:
                print("%-6s %-9s %9.1f %-2s %9.2f  %s (%d residual evaluations; %s)" % (
                    road, "scipy", scipy["seconds"] * scale, unit, scipy["ratio"], scipy["found"],
                    scipy["evaluations"], scipy["versions"]))
            else:
                print("%-6s %-9s (%s)" % (road, "scipy", scipy_note))


def count_instructions(roads, library, road):
    """Instructions of one road (after a warm-up run) under callgrind."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        run(["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=roads_counted_road",
             "--callgrind-out-file=" + out, roads, "--count", road, library])
        with open(out, encoding="utf-8") as data:
            totals = re.search(r"^(?:summary|totals):\s*(\d+)", data.read(), re.M)
    if totals is None:
        raise BenchError("no instruction count in callgrind's output")
    return int(totals.group(1))


def print_counts(counts, builds):
    header("instructions of one road under callgrind (after a warm-up run)")
    labels = [label for label, _ in builds]
    print("%-6s " % "road" + " ".join("%14s" % label for label in labels) +
          "".join("  %s/%s" % (labels[0], label) for label in labels[1:]))
    for road in ROADS:
        row = [counts[road][label] for label in labels]
        print("%-6s " % road + " ".join("%14s" % format(n, ",") for n in row) +
              "".join("  %*.3f" % (len(labels[0]) + len(label) + 1, row[0] / n) for label, n in
                      zip(labels[1:], row[1:])))


def print_goals(figures, counts, scipy):
    header("goals")

    def verdict(ok):
        return "met" if ok else "NOT met"

    if scipy is not None:
        print("melt:  ours %.2f times as fast as the SciPy peer (goal at least %g): %s" % (
            scipy["ratio"], MELT_GOAL_VS_SCIPY, verdict(scipy["ratio"] >= MELT_GOAL_VS_SCIPY)))
    if "premaths" not in figures["melt"]:
        print("plate, melt against the pre-maths build: not measured (--premaths REV|PATH)")
        return
    for road, goal in (("melt", MELT_GOAL_VS_PREMATHS), ("plate", PLATE_GOAL_VS_PREMATHS)):
        ratio = 1.0 / figures[road]["premaths"][1]
        text = "%-6s ours/premaths %.3f in time" % (road + ":", ratio)
        ok = ratio <= goal
        if counts:
            instructions = counts[road]["ours"] / counts[road]["premaths"]
            text += ", %.3f in instructions" % instructions
            ok = ok and instructions <= goal
        print("%s (goal at most %g): %s" % (text, goal, verdict(ok)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="this tree's build folder")
    parser.add_argument("--ours", help="time this library, build folder or revision as ours instead")
    parser.add_argument("--premaths", help="the build before the correctly rounded maths (e.g. d4c67a2^1)")
    parser.add_argument("--seconds", type=float, default=4.0, help="timing budget per road (default 4)")
    parser.add_argument("--rounds", type=int, default=3, help="melt runs alternated with SciPy (default 3)")
    parser.add_argument("--no-callgrind", action="store_true", help="leave out the instruction counts")
    args = parser.parse_args()
    try:
        library, roads = build_tree(os.path.abspath(args.build))
        ours = describe_tree()
        if args.ours:
            library, ours = resolve(args.ours)
        builds = [("ours", library)]
        premaths = None
        if args.premaths:
            path, premaths = resolve(args.premaths)
            builds.append(("premaths", path))

        try:
            load = "%.2f %.2f %.2f" % os.getloadavg()
        except OSError:
            load = "unknown"
        print("QuelmarAlg speed, %s, %s, %d processors, load average %s" % (
            datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), platform.processor() or platform.machine(),
            os.cpu_count() or 0, load))
        print("ours:     %s" % ours)
        print("premaths: %s" % (premaths or "not given (--premaths REV|PATH)"))

        maths_table(os.path.abspath(args.build))

        scipy_note = ""
        try:
            run(["/usr/bin/python3", "-c", "import numpy, scipy"])
            with_scipy = True
        except BenchError:
            with_scipy, scipy_note = False, "no SciPy for /usr/bin/python3 (Debian: python3-scipy)"
        figures, found, scipy = time_roads(roads, builds, args.seconds, max(1, args.rounds), with_scipy)
        print_roads(figures, found, scipy, scipy_note)

        counts = None
        if args.no_callgrind:
            pass
        elif shutil.which("valgrind") is None:
            header("instructions under callgrind")
            print("(valgrind is not installed)")
        else:
            counts = {road: {label: count_instructions(roads, path, road) for label, path in builds}
                      for road in ROADS}
            print_counts(counts, builds)
        print_goals(figures, counts, scipy)
    except BenchError as error:
        print("run.py: %s" % error, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
