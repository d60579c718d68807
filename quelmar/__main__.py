"""``python3 -m quelmar``: the command, under an interpreter that has numpy and lxml.

The first python3 on PATH may be one built apart from the system's packages
(numpy, matplotlib, lxml). What needs neither (``quelmar flags``, ``--help``)
runs in it as it is. Anything else runs in it when it finds numpy and lxml,
and otherwise in /usr/bin/python3, started in its place (exec, never a second
process), with the same arguments, working directory and this package first
on its path; when that one lacks them too it says in one line what to
install.
"""
import os
import sys

SYSTEM_PYTHON = "/usr/bin/python3"
#: Marks the interpreter started in place of the first, which must not start another.
AGAIN = "QUELMAR_STARTED_AGAIN"
#: What an analysis needs beside the standard library (lxml: the RDML reader's parser).
NEEDED = ("numpy", "lxml")


def needs_packages(argv):
    """Whether the command line runs an analysis (everything but flags, and help without a subcommand)."""
    word = next((a for a in argv if not a.startswith("-")), None)
    return word is not None and word != "flags"


def has_packages():
    # Found, not imported: the command imports them when it needs them.
    import importlib.util
    return all(importlib.util.find_spec(name) is not None for name in NEEDED)


def _system_python():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code = (f"import sys; sys.path.insert(0, {here!r}); sys.argv[0] = 'quelmar'; "
            "from quelmar.__main__ import start; sys.exit(start())")
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(SYSTEM_PYTHON, [SYSTEM_PYTHON, "-c", code, *sys.argv[1:]], {**os.environ, AGAIN: "1"})


def start():
    """Run the command here, or in the system's interpreter when this one lacks numpy or lxml; the exit status."""
    argv = sys.argv[1:]
    again = os.environ.pop(AGAIN, None)
    if needs_packages(argv) and not has_packages():
        if not again and os.access(SYSTEM_PYTHON, os.X_OK):  # a venv's python3 may be the same binary
            _system_python()
        sys.stderr.write(f"quelmar: {sys.executable} has no numpy or lxml; run {SYSTEM_PYTHON} -m quelmar "
                         f"(after: apt-get install python3-numpy python3-matplotlib python3-lxml)\n")
        return 2
    from quelmar.command.cli import main
    return main(argv)


if __name__ == "__main__":
    sys.exit(start())
