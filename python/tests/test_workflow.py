"""Fault: the Snakemake workflow writes other names or bytes than
`denoisers bids`, or an interrupted run cannot be finished into the same
result (snakemake's incomplete-output handling, --rerun-incomplete)."""
import signal
import subprocess
import sys

from bids_data import interrupt, mini, partials, reference, tree  # noqa: F401
from conftest import ROOT


def snakemake(mini, out, *extra):
    return [sys.executable, "-m", "snakemake", "-s", ROOT / "workflow" / "Snakefile",
            "--cores", "2", "--config", f"bids_dir={mini}", f"output_dir={out}", *extra]


def test_workflow_writes_the_bytes_of_denoisers_bids(tmp_path, mini, reference):
    out = tmp_path / "out"
    done = subprocess.run([str(c) for c in snakemake(mini, out)], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    assert tree(out) == reference


def test_interrupted_workflow_finishes_with_rerun_incomplete(tmp_path, mini, reference):
    out = tmp_path / "out"
    child = interrupt(snakemake(mini, out), out, 2, signal.SIGINT, cwd=tmp_path)
    assert child.returncode != 0, child.stderr_text[-3000:]
    done = subprocess.run([str(c) for c in snakemake(mini, out, "--rerun-incomplete")],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    assert tree(out) == reference and partials(out) == []
