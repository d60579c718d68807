"""A run stopped by a signal leaves nothing behind: no worker process, no
partial output. Each run is the real command in its own process, stopped
once its output is being written (and, with --jobs, its workers are busy)."""
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from conftest import DATA, ROOT

FILES = 12
#: Seconds to wait for the run to get going, and for it to end once told.
START, END = 60.0, 30.0


def children(pid):
    """The processes whose parent is ``pid``, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    paths = []
    for k in range(FILES):
        paths.append(str(folder / f"plate{k:02d}.rdml"))
        shutil.copyfile(DATA / "rdml" / "lc96_bACTXY.rdml", paths[-1])
    return paths


def _started(process, out, jobs):
    """Wait until the output is being written and, with workers, every worker exists; their pids."""
    deadline = time.monotonic() + START
    while time.monotonic() < deadline and process.poll() is None:
        workers = children(process.pid)
        if any(n.endswith(".part") for n in os.listdir(out)) and len(workers) >= (jobs if jobs > 1 else 0):
            return workers
        time.sleep(0.02)
    pytest.fail("the run ended or did not get going before it could be stopped")


@pytest.mark.parametrize("jobs, stop, status", [
    (2, signal.SIGTERM, 128 + signal.SIGTERM),
    (1, signal.SIGTERM, 128 + signal.SIGTERM),
    (2, signal.SIGHUP, 128 + signal.SIGHUP),
    (2, signal.SIGINT, 130),
    (1, signal.SIGINT, 130),
], ids=["SIGTERM with workers", "SIGTERM alone", "SIGHUP with workers", "SIGINT with workers", "SIGINT alone"])
def test_a_stopped_run_leaves_no_worker_and_no_partial_file(inputs, tmp_path, jobs, stop, status):
    out = tmp_path / "out"
    out.mkdir()
    process = subprocess.Popen([sys.executable, "-m", "quelmar", "amplify", *inputs, "--jobs", str(jobs),
                                "--out", str(out / "ct.json"), "--plot", str(out / "ct.png"), "--quiet"],
                               cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    workers = _started(process, out, jobs)
    process.send_signal(stop)
    stdout, stderr = process.communicate(timeout=END)
    assert process.returncode == status, stderr.decode()
    assert stdout == b"" and b"Traceback" not in stderr
    deadline = time.monotonic() + END
    while any(running(w) for w in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [w for w in workers if running(w)] == []
    assert os.listdir(out) == []


def test_workers_end_with_a_parent_killed_outright(inputs, tmp_path):
    """SIGKILL cannot be caught: the kernel ends the workers (Linux's parent-death signal)."""
    out = tmp_path / "out"
    out.mkdir()
    process = subprocess.Popen([sys.executable, "-m", "quelmar", "amplify", *inputs, "--jobs", "2",
                                "--out", str(out / "ct.csv"), "--quiet"], cwd=ROOT)
    workers = _started(process, out, 2)
    process.kill()
    process.wait(END)
    deadline = time.monotonic() + END
    while any(running(w) for w in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert [w for w in workers if running(w)] == []


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
