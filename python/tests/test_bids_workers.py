"""Fault: with --nprocs, one dead worker fails the images of the others,
Ctrl-C takes a minute per worker and lets workers start new images, the
workers outlive a killed command, or stderr fills with noise on the way."""
import contextlib
import os
import signal
import sys
import time

import pytest

from bids_data import alive, counts, descendants, interrupt, make_dataset, partials, start, \
    wait_for_images
from conftest import run_cli

INTERRUPTED = "denoisers: interrupted; no partial file left"


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    """Eight images that take a few seconds each on a loaded machine."""
    return make_dataset(tmp_path_factory.mktemp("cohort") / "raw", shape=(128, 128, 96))


def command(raw, out):
    return [sys.executable, "-m", "denoisers", "bids", raw, out, "participant", "--nprocs", "2"]


def workers(pid):
    """The processes below pid that denoise: those without children of their
    own, other than multiprocessing's resource tracker."""
    found = []
    for p in descendants(pid):
        try:
            line = open(f"/proc/{p}/cmdline", "rb").read()
        except OSError:
            continue
        if b"resource_tracker" not in line and not descendants(p):
            found.append(p)
    return found


def cpu_ticks(pid):
    try:
        return sum(map(int, open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[11:13]))
    except OSError:
        return -1


def test_ctrl_c_stops_every_worker_at_once_and_quietly(tmp_path, cohort):
    # A terminal's Ctrl-C reaches the whole group; `kill -INT` the command alone.
    for group in (True, False):
        out = tmp_path / f"group-{group}"
        child = interrupt(command(cohort, out), out, 1, signal.SIGINT, group=group)
        print(f"SIGINT to the {'group' if group else 'command'}: ended after "
              f"{child.seconds:.2f} s")
        assert child.returncode == 130, child.stderr_text
        # Before, 60 s per worker (the second worker only after the first).
        assert child.seconds < 10.0
        assert child.stderr_text.strip() == INTERRUPTED  # no traceback, no leaked semaphore
        assert partials(out) == [] and alive(descendants(child.pid)) == []


def test_a_killed_worker_fails_its_own_image_alone(tmp_path, cohort):
    out = tmp_path / "out"
    child = start(command(cohort, out))
    try:
        wait_for_images(child, out, 1)
        # A worker inside an image (its CPU time grows), killed as the
        # out-of-memory killer kills.
        victim = None
        while victim is None and child.poll() is None:
            before = {p: cpu_ticks(p) for p in workers(child.pid)}
            time.sleep(0.3)
            victim = next((p for p, t in before.items() if cpu_ticks(p) > t >= 0), None)
        os.kill(victim, signal.SIGKILL)
        stdout, stderr = child.communicate(timeout=600)
    finally:
        child.kill()
    assert child.returncode == 1, stdout + stderr
    assert counts(stdout) == (8, 7, 0, 1), stdout
    failed = [line for line in stdout.splitlines() if line.startswith("failed: ")]
    assert len(failed) == 1 and "killed by SIGKILL" in failed[0]
    assert partials(out) == []
    done = run_cli("bids", cohort, out, "participant", "--nprocs", "2")
    assert done.returncode == 0 and counts(done.stdout) == (8, 1, 7, 0), done.stdout


def test_workers_end_with_a_killed_command(tmp_path, cohort):
    out = tmp_path / "out"
    child = start(command(cohort, out))
    try:
        wait_for_images(child, out, 1)
        below = descendants(child.pid)
        assert len(workers(child.pid)) == 2
        child.kill()
        child.communicate(timeout=60)
        deadline = time.monotonic() + 20
        while alive(below) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert alive(below) == []  # before, they finished the queue and waited forever
        assert partials(out) == []  # each removed its temporaries on the way out
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(child.pid, signal.SIGKILL)  # its session: whatever outlived it
