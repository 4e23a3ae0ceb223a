"""The worker processes of `denoisers bids --nprocs N`.

This process hands each worker one job at a time over its own pipe, and so
always knows which job each worker holds:

- A worker that dies (killed, or chosen by the out-of-memory killer) fails
  the one job it held, with the signal that ended it; a new worker takes
  its place and the run goes on.
- An interruption stops the run at once: no job is handed out after it, the
  workers unwind their job (removing its temporary files) and end, and a
  worker that has not ended within GRACE seconds is killed and its job's
  temporaries removed from here.
- A worker ends when this process dies, even by SIGKILL: it asks the kernel
  for a SIGTERM when its parent ends (PR_SET_PDEATHSIG, Linux); elsewhere
  it ends at its next job, when its pipe reads the end of file.

Workers are spawned, fresh interpreters that are this process's own
children (a forkserver's children outlive this process with the server),
and share nothing with its threads. Only pipes pass between the processes:
no semaphore is left for the resource tracker to warn about.
"""
import collections
import ctypes
import multiprocessing
import os
import signal
import time
from multiprocessing.connection import wait

GRACE = 10.0  # seconds a worker has to unwind its job after a stop
POLL = 0.1  # seconds between looks for a signal while waiting
_PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>

# What a worker is doing: "idle" (a signal ends it at once), "busy" with a
# job (a signal unwinds the job) or "cleaning" up after one (it goes on).
_state = "idle"
_stop_asked = False


def _die_with_parent(parent):
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
    except (OSError, AttributeError):  # not Linux: the pipe's end stops us
        pass
    if os.getppid() != parent:  # the parent died before the request
        os._exit(1)


def _in_finaliser(frame):
    while frame is not None:
        if frame.f_code.co_name == "__del__":
            return True
        frame = frame.f_back
    return False


def _on_signal(signum, frame):
    global _stop_asked
    _stop_asked = True
    if _state == "busy":
        if _in_finaliser(frame):
            # Python prints and drops what a finaliser raises: an alarm
            # comes back here once the finaliser has returned.
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            return
        raise KeyboardInterrupt  # unwinds through the writes, which remove their temporaries
    if _state == "idle":
        os._exit(128 + signum)


def _serve(conn, parent, setup, work, cleanup):
    """A worker's life: setup(), then jobs from conn, one at a time, until
    None or the pipe's end."""
    global _state
    _die_with_parent(parent)
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGALRM):
        signal.signal(s, _on_signal)
    setup()
    while True:
        try:
            # Polled, not blocked on: a signal that the kernel gives another
            # thread (tqdm's monitor, the cores' workers) leaves a blocked
            # read asleep, and its handler runs only once this thread runs
            # Python again.
            while not conn.poll(POLL):
                pass
            job = conn.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        try:
            _state = "busy"
            result = work(job)
            if _stop_asked:  # a signal came as the job ended
                raise KeyboardInterrupt
            _state = "idle"
        except KeyboardInterrupt:
            _state = "cleaning"
            cleanup(job)  # what a write made before its own clean-up was armed
            os._exit(130)
        conn.send(result)


class _Worker:
    def __init__(self, context, setup, work, cleanup):
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_serve, daemon=True,
                                       args=(child, os.getpid(), setup, work, cleanup))
        self.process.start()
        child.close()
        self.job = None
        self.started = 0.0

    def give(self, job):
        self.job, self.started = job, time.perf_counter()
        try:
            self.conn.send(job)
        except OSError:  # it died already: its sentinel says so
            pass

    def result(self):
        """The job's result, or None when the worker died without one."""
        try:
            return self.conn.recv() if self.conn.poll() else None
        except (EOFError, OSError):
            return None


def _death(exitcode):
    if exitcode is not None and exitcode < 0:
        name = signal.Signals(-exitcode).name
        cause = " (as the out-of-memory killer does)" if -exitcode == signal.SIGKILL else ""
        return f"its worker process was killed by {name}{cause} before it finished"
    return f"its worker process exited with status {exitcode} before it finished"


def _stop(workers, cleanup, interrupt=True):
    """Asks every worker to stop (SIGTERM, or with interrupt=False the end of
    its jobs), waits GRACE seconds in all for them to end, kills what is
    left and removes its job's temporaries."""
    for w in workers:
        if not interrupt:
            w.give(None)
            w.job = None
        elif w.process.is_alive():
            w.process.terminate()
    deadline = time.monotonic() + GRACE
    for w in workers:
        while True:
            try:
                w.process.join(max(0.0, deadline - time.monotonic()))
                break
            except KeyboardInterrupt:  # a second Ctrl-C: the stop is under way
                continue
        if w.process.is_alive():
            w.process.kill()
            w.process.join()
        if w.job is not None:
            cleanup(w.job)
        w.conn.close()


def results(jobs, nprocs, setup, work, cleanup):
    """Yields (job, work(job)) as each job finishes in one of nprocs worker
    processes, each of which calls setup() first. The three are
    module-level functions or partials of them (the workers import them by
    name); work returns (status, detail, seconds). A job whose worker died
    gives ('failed', reason, seconds) after cleanup(job) here."""
    context = multiprocessing.get_context("spawn")
    queue = collections.deque(jobs)
    workers = []
    try:
        while True:
            while queue:
                idle = next((w for w in workers if w.job is None), None)
                if idle is None and len(workers) < nprocs:
                    idle = _Worker(context, setup, work, cleanup)
                    workers.append(idle)
                if idle is None:
                    break
                idle.give(queue.popleft())
            busy = [w for w in workers if w.job is not None]
            if not busy:
                break
            ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy], POLL))
            for w in busy:
                if w.conn not in ready and w.process.sentinel not in ready:
                    continue
                job, result = w.job, w.result()
                if result is None:
                    w.process.join()
                    cleanup(job)
                    result = ("failed", _death(w.process.exitcode),
                              time.perf_counter() - w.started)
                    workers.remove(w)
                    w.conn.close()
                w.job = None
                yield job, result
    except BaseException:
        _stop(workers, cleanup)
        raise
    _stop(workers, cleanup, interrupt=False)
