"""Files analysed in worker processes, one file per worker at a time, the
largest first of those within a window, the results handed back in the
order of the files.

Each worker has a pipe of its own to the parent, and the parent keeps no copy
of a worker's end: a worker that dies, even halfway through sending a result,
is seen at once (its pipe ends, its process sentinel fires) and named by the
file it was given. Stopping (a failure, an interrupt, SIGTERM) ends every
worker and waits for each, so none is left running. Workers are forked
where the platform can (the parent's imports and library come with them) and
started once for the whole run.
"""
import multiprocessing
import os
from collections import deque
from multiprocessing.connection import wait

from ..common import signals
from .stopping import start_worker

#: Files handed out ahead of the one whose result is due, per worker: results wait in memory
#: only until their turn comes, and a worker never waits for work while one result is late.
WINDOW_PER_WORKER = 3
#: Files a worker holds at once: one, so that none waits behind a large file while another worker
#: is idle (measured on 20 bundled files: holding a second was no faster, and slower at the end).
AHEAD = 1
#: Seconds a worker is given to end after SIGTERM before it is killed.
GRACE = 5.0


class WorkerDied(Exception):
    """A worker ended without handing back its result (killed for memory, a crash in the library)."""

    def __init__(self, item):
        super().__init__(item)
        self.item = item


def _serve(connection, parent, work):
    """A worker's life: the parent's items in, ``work(item)`` out, until the pipe closes."""
    start_worker(parent)
    while True:
        try:
            item = connection.recv()
        except (EOFError, OSError):
            return
        connection.send(work(item))


class _Worker:
    def __init__(self, context, work):
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, os.getpid(), work), daemon=True)
        # The parent's fork hooks would swallow a signal's exception; the child takes its own first.
        with signals.held():
            self.process.start()
        theirs.close()  # only the worker holds its end: its death ends the pipe
        self.given = deque()  # the items it holds, in the order it works on them

    def stop(self):
        if self.process.is_alive():
            self.process.terminate()

    def join(self):
        self.process.join(GRACE)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.connection.close()


def _context():
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("fork" if "fork" in methods else None)


def in_workers(work, items, count, local=lambda item: False, size=lambda item: 0):
    """``work(item)`` of every item in ``count`` worker processes, yielded in the items' order.

    ``work`` must be picklable where processes are spawned rather than forked.
    Items for which ``local(item)`` is true are worked on here (standard
    input is this process's: a worker's is closed). Of the items within the
    window, the largest by ``size(item)`` is handed out first: a large file
    left to the end would keep one worker busy while the others wait.

    Raises
    ------
    WorkerDied
        For the item of a worker that ended without its result.
    """
    items = list(items)
    sizes = [size(item) for item in items]
    context = _context()
    workers = []
    try:
        workers = [_Worker(context, work) for _ in range(min(count, len(items)))]
        results, waiting, due = {}, deque(range(len(items))), 0
        window = WINDOW_PER_WORKER * len(workers)
        while due < len(items):
            _hand_out(workers, items, sizes, waiting, due + window, work, local, results)
            if due in results:
                yield results.pop(due)
                due += 1
                continue
            busy = [w for w in workers if w.given]
            ready = wait([w.connection for w in busy] + [w.process.sentinel for w in busy])
            for w in busy:
                if w.connection in ready or w.process.sentinel in ready:
                    try:
                        result = w.connection.recv()
                    except (EOFError, OSError):
                        raise WorkerDied(items[w.given[0]]) from None
                    results[w.given.popleft()] = result
    finally:
        for w in workers:
            w.stop()
        for w in workers:
            w.join()


def _hand_out(workers, items, sizes, waiting, limit, work, local, results):
    """Give the least loaded worker the largest item waiting before ``limit``, until each holds AHEAD
    items; items to be worked on here are, in their turn."""
    while waiting and waiting[0] < limit:
        if local(items[waiting[0]]):
            k = waiting.popleft()
            results[k] = work(items[k])
            continue
        w = min(workers, key=lambda w: len(w.given))
        if len(w.given) >= AHEAD:
            return
        within = [k for k in waiting if k < limit and not local(items[k])]
        k = max(within, key=lambda k: sizes[k])
        waiting.remove(k)
        w.connection.send(items[k])
        w.given.append(k)
