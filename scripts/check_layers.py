#!/usr/bin/python3
"""Fails when an include in src/ points up a layer.

The layers, their folders and what each may include are read from the
Layout table of README.md, so the table and the rule cannot drift apart.
Every exports.cpp belongs to the boundary layer, whichever folder it is in;
the public headers (QuelmarAlg.h, QuelmarAlgWol.h) may be included by the boundary alone.
Usage: check_layers.py [project root]
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from readme_table import table_rows  # noqa: E402

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
PUBLIC_HEADER = "QuelmarAlg.h"
# Every public header counts as the one above: only the boundary sees them.
PUBLIC_HEADERS = {PUBLIC_HEADER, "QuelmarAlgWol.h"}


def read_layers():
    """{folder: layer} and {layer: set of layers it may include} from README.md."""
    folders, allowed = {}, {}
    for headings, cells in table_rows(ROOT, "layer"):
        layer, where, may = cells[0], cells[headings.index("folder")], cells[headings.index("may include")]
        for folder in re.findall(r"`src/(\w+)`", where):
            folders[folder] = layer
        allowed[layer] = {name for name in re.split(r",\s*", may) if name in allowed or name == layer}
        if may.startswith("every layer above"):
            allowed[layer] = set(allowed) | {PUBLIC_HEADER}
    return folders, allowed


def main():
    folders, allowed = read_layers()
    if not folders:
        print("check_layers: no layer table in README.md")
        return 1
    problems = []
    src = os.path.join(ROOT, "src")
    for base, _, files in sorted(os.walk(src)):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(base, name)
            rel = os.path.relpath(path, ROOT)
            folder = os.path.relpath(base, src).split(os.sep)[0]
            if folder not in folders:
                problems.append("%s: folder src/%s is no layer of the README table" % (rel, folder))
                continue
            layer = "boundary" if name == "exports.cpp" else folders[folder]
            with open(path, encoding="utf-8") as source:
                for no, line in enumerate(source, 1):
                    m = re.match(r'\s*#\s*include\s*"([^"]+)"', line)
                    if not m:
                        continue
                    target = m.group(1)
                    if target in PUBLIC_HEADERS:
                        to = PUBLIC_HEADER
                    elif target.split("/")[0] in folders:
                        to = folders[target.split("/")[0]]
                    else:
                        problems.append("%s:%d: %s is in no layer" % (rel, no, target))
                        continue
                    if to != layer and to not in allowed.get(layer, ()):
                        problems.append("%s:%d: the %s layer may not include %s (%s)" % (rel, no, layer, target, to))
    for p in problems:
        print(p)
    print("check_layers: %d layers, %s" % (len(allowed), "%d includes point up" % len(problems) if problems else "every include points down"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
