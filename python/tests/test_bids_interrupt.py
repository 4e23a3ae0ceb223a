"""Fault: `denoisers bids` killed in the middle (SIGTERM or SIGINT) leaves
a temporary or half-written file, exits 0, or cannot be resumed into the
uninterrupted run's result."""
import signal
import sys

import pytest

from bids_data import counts, interrupt, mini, partials, reference, tree  # noqa: F401
from conftest import run_cli
from denoisers import bids_app


def test_killed_run_leaves_no_temporary_and_resumes_to_the_same_result(tmp_path, mini,
                                                                         reference):
    for sig, status, nprocs in ((signal.SIGTERM, 143, "2"), (signal.SIGINT, 130, "1")):
        out = tmp_path / sig.name
        command = [sys.executable, "-m", "denoisers", "bids", mini, out, "participant",
                   "--nprocs", nprocs]
        child = interrupt(command, out, 2, sig)
        assert child.returncode == status, child.stdout_text + child.stderr_text
        assert "interrupted" in child.stderr_text and partials(out) == []
        done = run_cli("bids", mini, out, "participant", "--nprocs", nprocs)
        assert done.returncode == 0, done.stdout + done.stderr
        assert counts(done.stdout)[2] >= 2  # what was finished is kept
        assert tree(out) == reference


def test_a_second_signal_does_not_cut_a_workers_clean_up_short(monkeypatch):
    # The pool sends a second SIGTERM to every worker once one has exited.
    saved = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    monkeypatch.setattr(bids_app, "_busy", True)
    try:
        with pytest.raises(KeyboardInterrupt):
            bids_app._worker_signal(signal.SIGTERM, None)
        assert all(signal.getsignal(s) == signal.SIG_IGN for s in saved)
    finally:
        for s, handler in saved.items():
            signal.signal(s, handler)
