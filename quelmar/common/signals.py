"""Signals held back across a step that must not be cut in two.

A signal whose handler raises can land between creating a file and
recording its name (the file is then never removed), or inside a hook where
Python cannot pass the exception on. :func:`held` defers the signals that stop
a run (interrupt, termination, hang-up) until the step is done; they are
delivered on leaving, where their handlers can act.
"""
import contextlib
import signal

#: The signals that stop a run.
STOPPING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


@contextlib.contextmanager
def held():
    """Within it, the stopping signals wait (where the platform can hold them back)."""
    try:
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)
    except (AttributeError, ValueError, OSError):
        yield
        return
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
