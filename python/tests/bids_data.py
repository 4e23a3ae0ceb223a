"""A mini BIDS dataset for the tests: three participants, one with two
sessions, each with a T1w and a small 4-D dwi with its bval and bvec."""
import json
import os
import subprocess
import time
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

from conftest import phantom, run_cli

SHAPE = (24, 24, 16)
SESSIONS = {"01": [None], "02": ["a", "b"], "03": [None]}


def write_image(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    nib.save(nib.Nifti1Image(np.asarray(data, np.float32), np.diag([2.0, 2.0, 2.5, 1.0])),
             str(path))


def make_dataset(root, sigma=6.0, shape=SHAPE):
    """Writes the dataset under root; returns root. Every image has its own
    noise (a seed of its own), at the given sigma."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    (root / "dataset_description.json").write_text(
        json.dumps({"Name": "mini", "BIDSVersion": "1.8.0"}))
    # Sidecars by inheritance: the dataset's for every T1w, one subject's own.
    (root / "T1w.json").write_text(json.dumps({"RepetitionTime": 2.3, "EchoTime": 0.003}))
    (root / "sub-01/anat").mkdir(parents=True)
    (root / "sub-01/anat/sub-01_T1w.json").write_text(
        json.dumps({"EchoTime": 0.0029, "AcquisitionTime": "10:02:00"}))
    seed = 0
    for subject, sessions in SESSIONS.items():
        for session in sessions:
            folder = root / f"sub-{subject}" / (f"ses-{session}" if session else "")
            stem = f"sub-{subject}" + (f"_ses-{session}" if session else "")
            seed += 1
            write_image(folder / "anat" / f"{stem}_T1w.nii.gz",
                        phantom(shape, sigma=sigma, seed=seed)[1])
            volumes = [phantom(shape, sigma=sigma, seed=100 + 3 * seed + k)[1] * (1.0 - 0.3 * k)
                       for k in range(3)]
            write_image(folder / "dwi" / f"{stem}_dwi.nii.gz", np.stack(volumes, -1))
            (folder / "dwi" / f"{stem}_dwi.bval").write_text("0 1000 1000\n")
            (folder / "dwi" / f"{stem}_dwi.bvec").write_text("0 1 0\n0 0 1\n0 0 0\n")
    return root


def tree(root):
    """{relative path: bytes} of every file under root."""
    root = Path(root)
    return {p.relative_to(root).as_posix(): p.read_bytes()
            for p in sorted(root.rglob("*")) if p.is_file()}


def partials(root):
    """Temporary files left under root."""
    return sorted(p.name for p in Path(root).rglob("*.partial*"))


@pytest.fixture(scope="session")
def mini(tmp_path_factory):
    return make_dataset(tmp_path_factory.mktemp("bids") / "raw")


@pytest.fixture(scope="session")
def reference(mini, tmp_path_factory):
    """`denoisers bids` on the mini dataset, uninterrupted, in one process:
    {relative path: bytes}."""
    out = tmp_path_factory.mktemp("reference") / "out"
    done = run_cli("bids", mini, out, "participant")
    assert done.returncode == 0, done.stderr + done.stdout
    return tree(out)


def counts(stdout):
    """(files, done, skipped, failed) from the summary table."""
    lines = stdout.splitlines()
    row = lines[[k for k, line in enumerate(lines) if line.split()[:1] == ["files"]][0] + 1]
    return tuple(int(x) for x in row.split()[:4])


def start(command, **kwargs):
    """command as a process in a session of its own, so that a signal to its
    process group reaches it and its children, never pytest."""
    return subprocess.Popen([str(c) for c in command], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True, **kwargs)


def wait_for_images(child, out, images):
    """Waits until `images` denoised images are in out (or the child ends)."""
    deadline = time.monotonic() + 300
    while (len(list(Path(out).rglob("sub-*.nii.gz"))) < images
           and child.poll() is None and time.monotonic() < deadline):
        time.sleep(0.02)


def interrupt(command, out, images, sig, group=False, **kwargs):
    """Runs command, sends it sig (to its whole process group, as a
    terminal's Ctrl-C does, when group) once `images` denoised images are
    in out, and returns the finished process (its stdout and stderr read,
    `seconds` from the signal to its end)."""
    child = start(command, **kwargs)
    try:
        wait_for_images(child, out, images)
        sent = time.monotonic()
        if group:
            os.killpg(child.pid, sig)
        else:
            child.send_signal(sig)
        child.stdout_text, child.stderr_text = child.communicate(timeout=600)
        child.seconds = time.monotonic() - sent
    finally:
        child.kill()
    return child


def descendants(pid):
    """The live processes below pid: children, their children, and so on."""
    parents = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            state, ppid = stat.read_text().rsplit(")", 1)[1].split()[:2]
        except (OSError, ValueError):
            continue
        if state != "Z":
            parents.setdefault(int(ppid), []).append(int(stat.parent.name))
    found, todo = [], [pid]
    while todo:
        kids = parents.get(todo.pop(), [])
        found += kids
        todo += kids
    return found


def alive(pids):
    """Those of pids that are still running (not gone, not zombies)."""
    living = []
    for pid in pids:
        try:
            state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            continue
        if state != "Z":
            living.append(pid)
    return living
