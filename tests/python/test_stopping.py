"""A run stopped by a signal leaves nothing behind: no worker process, no
partial output (the hostile corpus's stops, each the real command in its own
process, stopped once its output is being written and its workers are busy)."""
import subprocess
import sys

import pytest
from conftest import DATA, ROOT

import hostile_corpus as hc


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return hc.stop_inputs(str(tmp_path_factory.mktemp("stops")))


@pytest.mark.parametrize("stop", hc.STOPS, ids=[s.name for s in hc.STOPS])
def test_a_stopped_run_leaves_no_worker_and_no_partial_file(inputs, tmp_path, stop):
    assert hc.stop_run(stop, inputs, str(tmp_path / "out")) is None


def test_a_signal_ignored_by_the_caller_stays_ignored(tmp_path):
    """nohup's SIGHUP stays ignored, and the handlers are the caller's again after a run."""
    code = ("import signal, sys; sys.path.insert(0, sys.argv[1]); signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
            "from quelmar.command.cli import main\n"
            "status = main(['amplify', sys.argv[2], '--out', sys.argv[3], '-q'])\n"
            "print(status, signal.getsignal(signal.SIGHUP) == signal.SIG_IGN, "
            "signal.getsignal(signal.SIGTERM) == signal.SIG_DFL)")
    done = subprocess.run([sys.executable, "-c", code, str(ROOT), str(DATA / "rdml" / "stepone_std.rdml"),
                           str(tmp_path / "ct.csv")], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["0", "True", "True"], done.stderr
