"""Fault: the Snakemake workflow writes other names or bytes than
`denoisers bids`, stops the cohort at one bad file when run as the README
says, cannot finish an interrupted run (--rerun-incomplete), asks a cluster
for a fixed memory whatever the image, or takes a participant label or an
output folder that the command would not."""
import gzip
import re
import shlex
import shutil
import signal
import subprocess
import sys

import nibabel as nib

from bids_data import interrupt, make_dataset, mini, partials, reference, tree  # noqa: F401
from conftest import ROOT, run_cli
from denoisers import bids

SNAKEFILE = ROOT / "workflow" / "Snakefile"


def readme_command(raw, out):
    """The README's laptop command for workflow/Snakefile, with RAW and OUT
    filled in and the optional settings left out."""
    text = (ROOT / "README.md").read_text()
    block = re.search(r"^ {4}\.venv/bin/python -m snakemake -s workflow/Snakefile --cores"
                      r".*?(?<!\\)\n", text, re.M | re.S).group(0)
    words = shlex.split(re.sub(r"\[[^]]*\]", "", block.replace("\\\n", " ")))
    words = [w.replace("RAW", str(raw)).replace("OUT", str(out)) for w in words[1:]]
    return [sys.executable] + [str(SNAKEFILE) if w == "workflow/Snakefile" else w for w in words]


def snakemake(raw, out, *extra):
    return [sys.executable, "-m", "snakemake", "-s", SNAKEFILE, "--cores", "2",
            "--config", f"bids_dir={raw}", f"output_dir={out}", *extra]


def run(command, cwd):
    return subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True)


def test_readme_command_writes_the_bytes_of_denoisers_bids_past_a_bad_file(tmp_path, mini,
                                                                           reference):
    raw, out = tmp_path / "raw", tmp_path / "out"
    shutil.copytree(mini, raw)
    (raw / "sub-01/anat/sub-01_T1w.nii.gz").write_bytes(b"\x1f\x8b not gzip")
    done = run(readme_command(raw, out), tmp_path)
    assert done.returncode != 0, done.stderr[-3000:]
    made = tree(out)
    made.pop("dataset_description.json")
    assert made == {k: v for k, v in reference.items()
                    if "sub-01_desc-denoised_T1w" not in k and k != "dataset_description.json"}


def test_interrupted_workflow_finishes_with_rerun_incomplete(tmp_path, mini, reference):
    out = tmp_path / "out"
    child = interrupt(snakemake(mini, out), out, 2, signal.SIGINT, cwd=tmp_path)
    assert child.returncode != 0, child.stderr_text[-3000:]
    done = run(snakemake(mini, out, "--rerun-incomplete"), tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    assert tree(out) == reference and partials(out) == []


def test_each_job_asks_for_the_memory_of_its_image(tmp_path):
    raw = make_dataset(tmp_path / "raw")
    # A series of 60 volumes of 128x128x80: its header alone, as planning reads.
    series = raw / "sub-03/dwi/sub-03_dwi.nii.gz"
    header = nib.Nifti1Header()
    header.set_data_shape((128, 128, 80, 60))
    header.set_data_offset(352)
    with gzip.open(series, "wb") as f:
        header.write_to(f)
    done = run(snakemake(raw, tmp_path / "out", "participant_label=sub-03", "-n",
                         "--profile", ROOT / "workflow/profiles/slurm"), tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    asked = dict(re.findall(r"input: \S+/(sub-03_\w+)\.nii\.gz\b.*\n(?:.*\n)*?"
                            r"\s+resources: mem_mb=(\d+)", done.stdout))
    assert asked == {"sub-03_T1w": str(bids.memory_mb(raw / "sub-03/anat/sub-03_T1w.nii.gz")),
                     "sub-03_dwi": str(bids.memory_mb(series))}
    assert int(asked["sub-03_dwi"]) > 25 * 128 * 128 * 80 * 60 / 1e6  # 25 bytes a voxel


def test_labels_and_output_folders_as_the_command_takes_them(tmp_path, mini):
    # --config reads 01 as the number 1.
    done = run(snakemake(mini, tmp_path / "out", "participant_label=01", "-n"), tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    planned = set(re.findall(r"input: \S+/(sub-\w+)\.nii\.gz", done.stdout))
    assert planned == {"sub-01_T1w", "sub-01_dwi"}

    # Never into the raw dataset, but its derivatives/ folder is fine.
    for out in (mini, mini / "sub-01"):
        done = run(snakemake(mini, out, "-n"), tmp_path)
        assert done.returncode != 0 and "must not lie in the BIDS dataset" in done.stdout + done.stderr
        done = run_cli("bids", mini, out, "participant")
        assert done.returncode == 1 and "must not lie in the BIDS dataset" in done.stderr
    assert run(snakemake(mini, mini / "derivatives/denoised", "-n"), tmp_path).returncode == 0
    assert not (mini / "sub-01/anat/sub-01_desc-denoised_T1w.nii.gz").exists()
