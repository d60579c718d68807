#!/usr/bin/python3
"""Where users wait on the command, timed in one run:

    bench/command.py [--python EXE] [--before PATH] [--rounds N] [--autogroup-nice N]

- start-up: ``python3 -m quelmar flags`` (under the first python3 on PATH,
  as a user types it, and under /usr/bin/python3), beside the bare interpreter
  starting (``python3 -c pass``), which no change here can make faster;
- ``quelmar amplify`` on the bundled 384-well RDML file, start to finish;
- 20 files (the bundled RDML files, repeated) through ``amplify --out`` with
  ``--jobs 1`` and ``--jobs 2``, and the ratio; beside it what two processors
  give at best here: the 20 files in two halves, two ``--jobs 1`` commands
  at once (no coordination at all), against one command on all 20;
- ``quelmar.analyze_melt`` (in one process, the call alone): 5,000 to 20,000
  readings, the most it analyses (the smoothing's cost grows with the square
  of their number), and 80,000, refused at once, then put on the grid the
  refusal points to and analysed.

Every figure is the wall time of a whole process, the best of ``--rounds``
runs (the least disturbed by the machine's other work), with the variants
alternated round by round; the load average is printed with them.

On a machine shared by several sessions, Linux's autogroup scheduler gives
each session one share of the processors, however many processes it runs:
while other sessions keep both processors busy, a second worker only splits
this session's share, and --jobs 2 cannot be faster. ``--autogroup-nice N``
(Linux, as root for N below 0) runs the benchmark in a session of its own
with that autogroup priority, as the only user of a machine would be. With
``--before PATH`` (a checkout whose ``quelmar`` package and ``build/`` library
are used as they are) the same runs are timed for it too, alternated with this
tree's. The goals: flags at most 0.2 s, amplify at most 0.4 s, --jobs 2 at
least 1.6 times as fast as --jobs 1. Not a test: nothing here fails on a goal.
"""
import argparse
import datetime
import glob
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
FLAGS_GOAL, AMPLIFY_GOAL, JOBS_GOAL = 0.2, 0.4, 1.6
FILES = 20
PLATE_384 = os.path.join("data", "rdml", "BioRad_384.rdml")
#: Marks the benchmark run again in a session of its own.
SESSION = "QUELMAR_BENCH_SESSION"


def wall(argv, cwd):
    """Seconds of one run of ``argv`` (a list of them: run at once, until the last ends); each must succeed."""
    together = argv if isinstance(argv[0], list) else [argv]
    start = time.perf_counter()
    runs = [subprocess.Popen(a, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for a in together]
    errors = [r.communicate()[1] for r in runs]
    seconds = time.perf_counter() - start
    for a, r, e in zip(together, runs, errors):
        if r.returncode != 0:
            sys.exit(f"bench/command.py: {' '.join(a)} failed in {cwd}: {e.decode()[-500:]}")
    return seconds


def best(runs, rounds):
    """{name: best seconds} of every named run, the runs alternated round by round."""
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, (argv, cwd) in runs.items():
            times[name].append(wall(argv, cwd))
    return {name: min(t) for name, t in times.items()}


def inputs(folder):
    """FILES copies of the bundled RDML files, in turn."""
    bundled = sorted(glob.glob(os.path.join(ROOT, "data", "rdml", "*.rdml")))
    paths = []
    for k in range(FILES):
        source = bundled[k % len(bundled)]
        paths.append(os.path.join(folder, f"{k:02d}-{os.path.basename(source)}"))
        shutil.copyfile(source, paths[-1])
    return paths


#: Times analyze_melt on one sigmoid melt read at N readings from 60 to 95 degrees, printing a line per N.
MELT = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
from quelmar.analysis.melting import MAX_MELT_READINGS, analyze_melt, even_grid
def melt(n):
    t = np.linspace(60.0, 95.0, n)
    return t, 1000.0 + 20000.0 / (1.0 + np.exp((t - 82.0) / 0.6))
analyze_melt(*melt(1000))
for n in (5000, 10000, MAX_MELT_READINGS):
    start = time.perf_counter()
    tm = analyze_melt(*melt(n)).tm
    print(f"analyze_melt {n:,} readings: {time.perf_counter() - start:.3f} s (Tm {tm[0]:.3f})")
t, f = melt(80000)
start = time.perf_counter()
try:
    analyze_melt(t, f)
    print("analyze_melt 80,000 readings: analysed")
except ValueError as e:
    print(f"analyze_melt 80,000 readings: refused in {time.perf_counter() - start:.4f} s: {e}")
start = time.perf_counter()
grid = even_grid(t, f)
tm = analyze_melt(grid.temperature, grid.fluorescence).tm
print(f"even_grid then analyze_melt, 80,000 readings: {time.perf_counter() - start:.3f} s "
      f"({grid.temperature.size} readings, Tm {tm[0]:.3f})")
"""


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--python", default=shutil.which("python3") or sys.executable,
                   help="the python3 a user types (default: the first on PATH)")
    p.add_argument("--before", metavar="PATH", help="a checkout to time beside this tree")
    p.add_argument("--rounds", type=int, default=7, help="runs per figure, the best kept (default 7)")
    p.add_argument("--autogroup-nice", type=int, metavar="N", help="run in a session of its own with this priority")
    args = p.parse_args(argv)
    if args.autogroup_nice is not None and not os.environ.get(SESSION):
        again = [sys.executable, os.path.abspath(__file__), *(argv if argv is not None else sys.argv[1:])]
        return subprocess.run(again, start_new_session=True, env={**os.environ, SESSION: "1"}).returncode
    if args.autogroup_nice is not None:
        with open("/proc/self/autogroup", "w") as f:
            f.write(str(args.autogroup_nice))
    trees = {"this tree": ROOT, **({"before": os.path.abspath(args.before)} if args.before else {})}
    system = "/usr/bin/python3"
    print(f"quelmar command speed, {datetime.datetime.now():%Y-%m-%d %H:%M}, {platform.machine()}, "
          f"{os.cpu_count()} processors, load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    session = f"; session autogroup nice {args.autogroup_nice}" if args.autogroup_nice is not None else ""
    print(f"python3: {args.python}; best of {args.rounds} runs, wall time of the whole process{session}\n")
    with tempfile.TemporaryDirectory(prefix="quelmar-bench-") as folder:
        files = inputs(folder)
        out = os.path.join(folder, "out.csv")
        runs = {"python3 -c pass": ([args.python, "-c", "pass"], ROOT),
                f"{system} -c pass": ([system, "-c", "pass"], ROOT)}
        for tree, where in trees.items():
            runs[f"flags, python3 ({tree})"] = ([args.python, "-m", "quelmar", "flags"], where)
            runs[f"flags, {system} ({tree})"] = ([system, "-m", "quelmar", "flags"], where)
            runs[f"amplify 384 wells ({tree})"] = ([system, "-m", "quelmar", "amplify", PLATE_384, "--out", out], where)
            for jobs in (1, 2):
                runs[f"{FILES} files, --jobs {jobs} ({tree})"] = (
                    [system, "-m", "quelmar", "amplify", *files, "--jobs", str(jobs), "--out", out, "-q"], where)
        # What two processors give here at best: the files in two halves, two commands at once.
        runs[f"{FILES} files, two halves at once"] = (
            [[system, "-m", "quelmar", "amplify", *files[k::2], "--out", os.path.join(folder, f"{k}.csv"), "-q"]
             for k in (0, 1)], ROOT)
        times = best(runs, args.rounds)
    width = max(map(len, times))
    for name, seconds in times.items():
        print(f"{name:<{width}}  {seconds:7.3f} s")
    print()
    ceiling = times[f"{FILES} files, --jobs 1 (this tree)"] / times[f"{FILES} files, two halves at once"]
    print(f"two processors give at most {ceiling:.2f} times the speed of one here (two halves at once against "
          f"--jobs 1)")
    for tree in trees:
        ratio = times[f"{FILES} files, --jobs 1 ({tree})"] / times[f"{FILES} files, --jobs 2 ({tree})"]
        flags = times[f"flags, python3 ({tree})"]
        amplify = times[f"amplify 384 wells ({tree})"]
        print(f"{tree}: flags {flags:.3f} s (goal {FLAGS_GOAL} s{', met' if flags <= FLAGS_GOAL else ''}); "
              f"amplify {amplify:.3f} s (goal {AMPLIFY_GOAL} s{', met' if amplify <= AMPLIFY_GOAL else ''}); "
              f"--jobs 2 {ratio:.2f} times as fast as --jobs 1 "
              f"(goal {JOBS_GOAL}{', met' if ratio >= JOBS_GOAL else ''})")
    print()
    sys.stdout.flush()
    subprocess.run([system, "-c", MELT, ROOT], check=True)
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
