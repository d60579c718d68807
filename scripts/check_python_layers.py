#!/usr/bin/python3
"""Fails when a module of the Python package imports up a layer, or sideways.

The counterpart of check_layers.py for the package `quelmar`: its layers, the
folders and modules of each and what each may import are read from the table
of Python layers in README.md, so the table and the rule cannot drift apart.
Every import counts, at the top of a module or inside a function (an import
put off until first use is still a dependency), relative or absolute. A
layer may import its own modules and those of the layers it names; the table
itself may only name layers above the row (nothing points up).
Usage: check_python_layers.py [project root]
"""
import ast
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from readme_table import table_rows  # noqa: E402

PACKAGE = "quelmar"
HEADER = "Python layer"


def read_layers(root):
    """[(layer, [paths]) in table order] and {layer: set of layers it may import} from README.md.

    ``paths`` are folders or files relative to the root (``quelmar/common``,
    ``quelmar/results.py``). "every layer above" names every earlier row.
    """
    layers, allowed = [], {}
    for headings, cells in table_rows(root, HEADER):
        name, where, may = cells[0], cells[headings.index("modules")], cells[headings.index("may import")]
        paths = re.findall(r"`(%s[\w./]*)`" % PACKAGE, where)
        above = [layer for layer, _ in layers]
        if may.startswith("every layer above"):
            allowed[name] = set(above)
        else:
            allowed[name] = {m for m in re.split(r",\s*", may) if m and m not in ("—", "-")}
        layers.append((name, [p.rstrip("/") for p in paths]))
    return layers, allowed


def table_problems(layers, allowed):
    """Rows that let a layer import one below it in the table, or one the table does not have."""
    problems, above = [], set()
    for name, _ in layers:
        for other in sorted(allowed[name] - above):
            problems.append(f"README: the {name} layer may import {other}, which is "
                            f"{'not above it' if other in allowed else 'no layer'}")
        above.add(name)
    return problems


def layer_of(path, layers):
    """The layer of a file (relative path with /), by the longest folder or file of the table that holds it."""
    best, size = None, -1
    for name, paths in layers:
        for p in paths:
            if (path == p or path.startswith(p + "/")) and len(p) > size:
                best, size = name, len(p)
    return best


def module_path(root, module):
    """The file of a dotted module name, relative to the root: a package's __init__.py, else name.py."""
    base = module.replace(".", "/")
    if os.path.isfile(os.path.join(root, base, "__init__.py")):
        return base + "/__init__.py"
    return base + ".py"


def imports(root, path):
    """(line, module) of every import of the package in a file, relative ones resolved."""
    with open(os.path.join(root, path), encoding="utf-8") as source:
        tree = ast.parse(source.read(), path)
    package = path[:-3].split("/")[:-1]  # a module's package; an __init__.py's is its own folder
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(node.lineno, alias.name) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                anchor = package[:len(package) - node.level + 1]
                base = ".".join(anchor + ([node.module] if node.module else []))
            else:
                base = node.module
            for alias in node.names:
                candidate = f"{base}.{alias.name}"
                is_module = os.path.exists(os.path.join(root, candidate.replace(".", "/") + ".py")) or \
                    os.path.isdir(os.path.join(root, candidate.replace(".", "/")))
                found.append((node.lineno, candidate if is_module else base))
    return [(line, m) for line, m in dict.fromkeys(found) if m == PACKAGE or m.startswith(PACKAGE + ".")]


def check(root):
    """Every problem found: in the table itself, files in no layer, and imports the table does not allow."""
    layers, allowed = read_layers(root)
    if not layers:
        return [f"README.md has no table of {HEADER}s"], 0
    problems = table_problems(layers, allowed)
    count = 0
    for base, folders, files in os.walk(os.path.join(root, PACKAGE)):
        folders[:] = sorted(f for f in folders if f != "__pycache__")
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            path = os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/")
            layer = layer_of(path, layers)
            if layer is None:
                problems.append(f"{path}: in no layer of the README table")
                continue
            for line, module in imports(root, path):
                count += 1
                target = layer_of(module_path(root, module), layers)
                if target is None:
                    problems.append(f"{path}:{line}: imports {module}, which is in no layer")
                elif target != layer and target not in allowed[layer]:
                    problems.append(f"{path}:{line}: the {layer} layer may not import {module} ({target})")
    return problems, count


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems, count = check(root)
    for p in problems:
        print(p)
    print(f"check_python_layers: {count} imports, "
          f"{'%d problems' % len(problems) if problems else 'every import points down'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
