"""Fault: calls from several Python threads at once interfere (state shared
between calls of a core), or a call holds the GIL while the core runs."""
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import denoisers
from conftest import phantom


def _calls():
    vols = [phantom(seed=s)[1] for s in range(4)]
    calls = []
    for i, v in enumerate(vols):
        calls.append(lambda v=v, i=i: denoisers.quillon(v, 4.0 + i, i % 2))
        calls.append(lambda v=v, i=i: denoisers.tessary(v, 1 + i % 3, 5.0, v, 1))
        calls.append(lambda v=v: denoisers.denoise(v, method="quillon+tessary")[0])
    return calls


def test_threads_at_once_give_the_bits_of_calls_in_turn():
    calls = _calls()
    expected = [c() for c in calls]
    # One thread per call, all released together, so the calls overlap.
    for _ in range(2):
        start = threading.Barrier(len(calls))
        with ThreadPoolExecutor(max_workers=len(calls)) as pool:
            results = list(pool.map(lambda c: (start.wait(), c())[1], calls))
        for got, want in zip(results, expected):
            assert np.array_equal(got, want)


def test_other_python_threads_run_during_a_call():
    _, noisy = phantom(shape=(70, 70, 70), seed=3)
    ticks = 0
    running = threading.Event()
    finished = threading.Event()

    def counter():
        nonlocal ticks
        running.set()
        while not finished.is_set():
            ticks += 1

    thread = threading.Thread(target=counter)
    thread.start()
    running.wait()
    before = ticks
    denoisers.tessary(noisy, 3, 6.0, noisy, 1)
    during = ticks - before
    finished.set()
    thread.join()
    assert during > 1000
