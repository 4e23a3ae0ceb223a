"""Fault: `denoisers bids` killed in the middle (SIGTERM or SIGINT) leaves
a temporary or half-written file, exits 0, or cannot be resumed into the
uninterrupted run's result."""
import signal
import sys

from bids_data import counts, interrupt, mini, partials, reference, tree  # noqa: F401
from conftest import run_cli


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

