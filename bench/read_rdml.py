#!/usr/bin/python3
"""How long reading RDML takes, and the command that waits on it.

    bench/read_rdml.py [--rounds N] [--command-rounds N] [--cached] [FILE...]

Prints, for every bundled RDML file (or the files named):
- the reader alone, in this process: the fastest and the median of N reads
  of the whole file (zip, XML, readings checked and sorted), in wall time
  and in the process's CPU time;
- the command a user waits on, each run a fresh process: ``python3 -m
  quelmar amplify FILE --quiet`` on the largest of them, beside ``python3 -m
  quelmar flags`` (start-up alone, no file read), fastest and median wall
  time of N runs, and the fastest CPU time (user and system) of the process.

Where the environment forbids Python to cache compiled modules
(PYTHONDONTWRITEBYTECODE, as in some CI images) every command compiles the
package again; ``--cached`` lets the commands cache them (in __pycache__
folders of the tree) and warms them once, as an installed package runs.

The goal for the largest bundled file (lc96_bACTXY.rdml: 96 wells in four
dyes, 384 curves, 2.6 MB of XML) is amplify in at most 0.4 s of wall time,
start-up included. A loaded machine stretches every figure, the wall times
most (other processes take turns on the cores); the CPU times stay nearer an
idle machine's wall times, and the fastest of several runs is the one to
compare. Not a test: nothing here fails on a goal.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from quelmar.reading.rdml import read_rdml  # noqa: E402 - after the path is set

#: The wall-time goal of ``amplify`` on the largest bundled file, in seconds.
GOAL = 0.4


def reads(path, rounds):
    wall, cpu = [], []
    for _ in range(rounds):
        start, start_cpu = time.perf_counter(), time.process_time()
        plate = read_rdml(path)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return wall, cpu, plate


def _children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def command(args, rounds, environment):
    wall, cpu = [], []
    for _ in range(rounds):
        start, start_cpu = time.perf_counter(), _children_cpu()
        done = subprocess.run([sys.executable, "-m", "quelmar", *args], cwd=ROOT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=environment)
        wall.append(time.perf_counter() - start)
        cpu.append(_children_cpu() - start_cpu)
        if done.returncode:
            sys.exit(f"quelmar {' '.join(args)} failed: {done.stderr.decode(errors='replace').strip()}")
    return wall, cpu


def ms(seconds):
    return f"{seconds * 1000:8.1f} ms"


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("files", nargs="*", help="RDML files (default: every bundled one)")
    p.add_argument("--rounds", type=int, default=20, help="reads of each file (default 20)")
    p.add_argument("--command-rounds", type=int, default=10, help="runs of each command (default 10)")
    p.add_argument("--cached", action="store_true", help="let the commands cache compiled modules (warmed once)")
    args = p.parse_args(argv)
    files = [Path(f) for f in args.files] or sorted((ROOT / "data" / "rdml").glob("*.rdml"))
    environment = dict(os.environ)
    if args.cached:
        environment.pop("PYTHONDONTWRITEBYTECODE", None)
    cache = "forbidden" if environment.get("PYTHONDONTWRITEBYTECODE") else "allowed"
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; python {sys.version.split()[0]}; "
          f"the commands' bytecode cache {cache}")
    print(f"{'file':<24} {'size':>9} {'wells':>6} {'readings':>9} {'fastest':>11} {'median':>11} {'CPU':>11}")
    for f in files:
        wall, cpu, plate = reads(f, args.rounds)
        numbers = sum(w.fluor.size * 2 if w.fluor is not None else 0 for w in plate.wells) + \
            sum(w.melt_fluor.size * 2 if w.melt_fluor is not None else 0 for w in plate.wells)
        print(f"{f.name:<24} {f.stat().st_size:>9,} {len(plate.wells):>6} {numbers:>9,} {ms(min(wall))} "
              f"{ms(statistics.median(wall))} {ms(min(cpu))}")
    largest = max(files, key=lambda f: f.stat().st_size)
    if args.cached:
        command(["amplify", str(largest), "--quiet"], 1, environment)
    print(f"\nthe command, {args.command_rounds} fresh processes each:")
    for label, argv_ in (("flags (start-up)", ["flags"]), (f"amplify {largest.name}", ["amplify", str(largest),
                                                                                         "--quiet"])):
        wall, cpu = command(argv_, args.command_rounds, environment)
        print(f"{label:<34} fastest {ms(min(wall))}  median {ms(statistics.median(wall))}  CPU {ms(min(cpu))}")
    print(f"goal: amplify on {largest.name} in at most {GOAL:g} s of wall time")


if __name__ == "__main__":
    main()
