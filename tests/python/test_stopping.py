"""A run stopped by a signal leaves nothing behind: no worker process, no
partial output (the hostile corpus's stops, each the real command in its own
process, stopped once its output is being written and its workers are busy)."""
import os
import signal
import subprocess
import sys

import pytest
from conftest import DATA, ROOT

import hostile_corpus as hc
from quelmar.command.stopping import Terminated, check, terminable


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


@pytest.mark.parametrize("signum, raised", [(signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, Terminated)])
def test_a_stop_python_drops_in_a_finalizer_is_raised_before_the_outputs_commit(monkeypatch, signum, raised):
    """Python prints and drops an exception raised in __del__; the run must still end as stopped."""
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)

    class StoppedWhileCollected:
        def __del__(self):
            os.kill(os.getpid(), signum)
            for _ in range(1000):  # the handler runs between two bytecodes, here
                pass

    with terminable():
        StoppedWhileCollected()  # collected at once: the stop lands in its finalizer and is dropped
        with pytest.raises(raised):
            check()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
