#!/usr/bin/python3
"""How often each quality flag fires on the bundled runs: per file, the wells
flagged per kind and the share of wells flagged, per plate (run and target)
the largest share one flag takes, and the excluded wells with their reasons.

The flags' levels are calibrated against these figures (see
quelmar/common/flags.py): no flag should fire on more than 15 % of a healthy
target's wells. Run from the project root, or from another checkout to
compare:

    /usr/bin/python3 tools/flag_census.py [--ct linear|sigmoid|window] [FILE...]
    PYTHONPATH=../other /usr/bin/python3 tools/flag_census.py
"""
import collections
import dataclasses
import glob
import os
import sys
import tempfile

if not os.environ.get("PYTHONPATH"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from quelmar.analysis.settings import AnalysisSettings  # noqa: E402
from quelmar.command import jobs  # noqa: E402
from quelmar.reading.kinds import guess_kind, read_plate  # noqa: E402
from quelmar.reading.samplesheet import read_sample_sheet  # noqa: E402

FILES = sorted(glob.glob("data/rdml/*.rdml")) + ["data/dil4reps94.csv", "data/reps384.csv", "data/dyemelt.csv"]
#: The replicates of the bundled CSV plates, which name none: the dilution before the "_", or one sample.
SAMPLES = {"dil4reps94.csv": lambda column: column.split("_")[0], "reps384.csv": lambda column: "replicate"}


def sheet_for(path, folder):
    """A sample sheet naming the replicates of a bundled CSV plate (None for other files)."""
    name = SAMPLES.get(os.path.basename(path))
    if name is None:
        return None
    sheet = os.path.join(folder, "sheet.csv")
    with open(sheet, "w") as f:
        f.write("well,sample,target,type\n")
        f.writelines(f"{w.name},{name(w.name)},,unkn\n" for w in read_plate(path).wells)
    return read_sample_sheet(sheet)


def census(rows, label):
    """Print one analysis' table: wells flagged per kind, and per plate the commonest flag's share."""
    if not rows:
        return
    counts = collections.Counter(f for r in rows for f in r.flags)
    flagged = sum(1 for r in rows if r.flags)
    kinds = ", ".join(f"{k} {n}" for k, n in counts.most_common()) or "none"
    print(f"  {label}: {len(rows)} wells, {flagged} flagged ({flagged / len(rows):.0%}): {kinds}")
    plates = collections.defaultdict(list)
    for r in rows:
        plates[(r.run, r.target)].append(r)
    for (run, target), wells in plates.items():
        top = collections.Counter(f for r in wells for f in r.flags).most_common(1)
        if top:
            name, n = top[0]
            print(f"    {target[:28]:<28} {len(wells):>4} wells, most: {name} {n} ({n / len(wells):.0%})")


def main(files, ct=None):
    base = AnalysisSettings() if ct is None else dataclasses.replace(AnalysisSettings(), ct=ct)
    for path in files:
        kind = guess_kind(read_plate(path)).name
        print(path)
        excluded = {}
        if kind in ("amplification", "both"):
            rows = jobs.amplify(path, base).tables["wells"]
            census(rows, "amplification")
            with tempfile.TemporaryDirectory() as folder:
                sheet = sheet_for(path, folder)
                if sheet is not None:
                    settings = dataclasses.replace(base, samples=sheet)
                    census(jobs.amplify(path, settings).tables["wells"], "replicates named")
            excluded.update({(r.run, r.target, r.well): r.excluded for r in rows if getattr(r, "excluded", "")})
        if kind in ("melting", "both"):
            rows = jobs.melt(path, base).tables["wells"]
            census(rows, "melting")
            excluded.update({(r.run, r.target, r.well): r.excluded for r in rows if getattr(r, "excluded", "")})
        for (run, target, well), why in excluded.items():
            print(f"    excluded {well} {target[:28]} ({why})")


if __name__ == "__main__":
    arguments = sys.argv[1:]
    kind = None
    if arguments[:1] == ["--ct"]:
        kind, arguments = arguments[1], arguments[2:]
    main(arguments or FILES, kind)
