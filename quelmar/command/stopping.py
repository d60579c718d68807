"""How a run of the command stops when it is told to.

SIGTERM (a service manager, ``kill``, a batch system's time limit) and SIGHUP
(the terminal closed) end a process without unwinding it: the outputs being
written would stay behind as ``.NAME.part`` files, and worker processes would
wait forever for work from a parent that is gone. While a run lasts, both
signals therefore unwind it as an interrupt does (:class:`Terminated`): every
output in progress is removed and the workers are ended before the command
exits with 128 + the signal's number. A signal the caller had set to be
ignored (``nohup``) stays ignored.

Workers leave every signal to their parent: an interrupt is ignored, a
termination ends them at once, and on Linux the kernel ends them when the
parent ends, however it ended (even by SIGKILL).
"""
import contextlib
import os
import signal

#: The signals a run unwinds on, besides SIGINT (Python's KeyboardInterrupt).
STOPPING = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))
#: prctl's option that has the kernel send a signal to a process when its parent ends.
PR_SET_PDEATHSIG = 1


class Terminated(BaseException):
    """A stopping signal arrived: unwinds the run like KeyboardInterrupt, past ``except Exception``."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    @property
    def status(self):
        """The exit status a shell gives a process ended by this signal."""
        return 128 + self.signum


def _stop(signum, _frame):
    # Unwinding runs cleanup; a second signal must not interrupt that cleanup.
    for s in STOPPING:
        signal.signal(s, signal.SIG_IGN)
    raise Terminated(signum)


@contextlib.contextmanager
def terminable():
    """Within it, SIGTERM and SIGHUP raise :class:`Terminated` (in the main thread only; elsewhere,
    and for a signal ignored on entry, nothing changes); the handlers are restored on leaving."""
    previous = {}
    try:
        for s in STOPPING:
            if signal.getsignal(s) == signal.SIG_DFL:
                previous[s] = signal.signal(s, _stop)
    except ValueError:  # not the main thread: signals are not ours to take
        pass
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def start_worker(parent):
    """A worker process's first step: the parent (pid ``parent``) decides what signals mean."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for s in STOPPING:
        signal.signal(s, signal.SIG_DFL)
    _end_with_parent()
    if os.getppid() != parent:  # the parent ended before the kernel was told
        os._exit(1)


def _end_with_parent():
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):  # not Linux: the parent's cleanup alone ends its workers
        pass
