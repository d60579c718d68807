"""``python3 -m quelmar``: the command, under an interpreter that has numpy and lxml.

The first python3 on PATH may be one built apart from the system's packages
(numpy, matplotlib, lxml). Then the command runs itself again under /usr/bin/python3
when that one has numpy, with the same arguments, working directory and this
package first on its path; otherwise it says in one line what to run.
"""
import os
import subprocess
import sys

SYSTEM_PYTHON = "/usr/bin/python3"


def _has_numpy():
    try:
        import lxml  # noqa: F401 - the package alone: its parser is loaded when a file is read
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def _rerun():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # Only an interpreter that imports numpy is run, so this cannot loop.
    if (os.access(SYSTEM_PYTHON, os.X_OK)
            and subprocess.run([SYSTEM_PYTHON, "-c", "import lxml, numpy"], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL).returncode == 0):
        code = (f"import sys; sys.path.insert(0, {here!r}); sys.argv[0] = 'quelmar'; "
                "from quelmar.command.cli import main; sys.exit(main())")
        sys.stdout.flush()
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, "-c", code, *sys.argv[1:]])
    sys.stderr.write(f"quelmar: {sys.executable} has no numpy or lxml; run {SYSTEM_PYTHON} -m quelmar "
                     f"(after: apt-get install python3-numpy python3-matplotlib python3-lxml)\n")
    sys.exit(2)


if __name__ == "__main__":
    if not _has_numpy():
        _rerun()
    from quelmar.command.cli import main
    sys.exit(main())
