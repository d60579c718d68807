#!/usr/bin/python3
"""Rewrites a case file with the outputs the library gives now:

    /usr/bin/python3 tests/cases/pin.py build/tests/cases/cases_test tests/cases/pinned.txt

Each case of the file loses its old "code" and "=>" lines and gets the ones
the cases program prints with QUELMAR_PRINT_OUTPUTS set, after its inputs.
(A file whose cases were written this way is rewritten byte for byte.)
"""
import os
import subprocess
import sys

program, path = sys.argv[1], sys.argv[2]
printed = subprocess.run([program], env=dict(os.environ, QUELMAR_PRINT_OUTPUTS="1"),
                         stdout=subprocess.PIPE, check=True).stdout.decode("gbk")
outputs, name = {}, None
for line in printed.splitlines():
    if line.startswith("case "):
        name = line[5:]
        outputs[name] = []
    elif name is not None:
        outputs[name].append(line.rstrip() if line.startswith("code") else line)

def close(lines, name):
    """Puts the outputs of case `name` after its inputs, before the comments
    and blank lines that lead to the next case."""
    end = len(lines)
    while end > 0 and (not lines[end - 1].strip() or lines[end - 1].startswith("#")):
        end -= 1
    lines[end:end] = outputs.get(name, [])


lines, name = [], None
with open(path, encoding="utf-8") as old:
    for line in old.read().splitlines():
        word = line.split(" ", 1)[0]
        if word in ("code", "=>"):
            continue
        if word == "case":
            close(lines, name)
            name = line[5:]
        lines.append(line)
close(lines, name)
with open(path, "w", encoding="utf-8") as new:
    new.write("\n".join(lines) + "\n")
