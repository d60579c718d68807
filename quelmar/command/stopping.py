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

from ..common import signals

#: The signals a run unwinds on, besides SIGINT (Python's KeyboardInterrupt).
TERMINATING = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))
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


#: The stopping signal received during the run, if any: an exception raised where Python cannot
#: pass it on (a finalizer, a fork hook) is only printed, so the run looks again before it commits.
_received = None


def _stopped(signum):
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def _stop(signum, _frame):
    global _received
    _received = signum
    # Unwinding runs cleanup; a second signal must not interrupt that cleanup.
    for s in TERMINATING + (signal.SIGINT,):
        if signal.getsignal(s) == _stop:
            signal.signal(s, signal.SIG_IGN)
    raise _stopped(signum)


def check():
    """Raise :class:`Terminated` (KeyboardInterrupt for SIGINT) if a stopping signal arrived during the run
    and was swallowed."""
    if _received is not None:
        raise _stopped(_received)


#: Whether a run is terminable now: a process forked meanwhile is a worker and must not inherit _stop.
_taken = False
_hooked = False


def _leave_signals_to_parent():
    """A worker's dispositions: an interrupt ignored, a termination ending it at once."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for s in TERMINATING:
        signal.signal(s, signal.SIG_DFL)


def _forked():
    # From the fork itself, not from the worker's first step: a signal in between would otherwise
    # unwind the child's start-up with a traceback. The parent held the signals back across the fork.
    if _taken:
        _leave_signals_to_parent()
        signal.pthread_sigmask(signal.SIG_UNBLOCK, signals.STOPPING)


@contextlib.contextmanager
def terminable():
    """Within it, SIGTERM and SIGHUP raise :class:`Terminated` and SIGINT KeyboardInterrupt, each
    remembered for :func:`check` (in the main thread only; elsewhere, and for a signal ignored or
    handled otherwise on entry, nothing changes); the handlers are restored on leaving.
    A process forked meanwhile leaves every signal to its parent (:func:`start_worker`)."""
    global _taken, _hooked, _received
    _received = None
    if not _hooked and hasattr(os, "register_at_fork"):
        os.register_at_fork(after_in_child=_forked)
        _hooked = True
    previous = {}
    try:
        for s in TERMINATING:
            if signal.getsignal(s) == signal.SIG_DFL:
                previous[s] = signal.signal(s, _stop)
        # An interrupt is taken too, only to be remembered: Python drops a KeyboardInterrupt raised in
        # a finalizer after printing it, and the run would then end as if never interrupted.
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            previous[signal.SIGINT] = signal.signal(signal.SIGINT, _stop)
    except ValueError:  # not the main thread: signals are not ours to take
        pass
    taken, _taken = _taken, bool(previous) or _taken
    try:
        yield
    finally:
        _taken = taken
        for s, handler in previous.items():
            signal.signal(s, handler)


def start_worker(parent):
    """A worker process's first step: the parent (pid ``parent``) decides what signals mean."""
    _leave_signals_to_parent()
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
