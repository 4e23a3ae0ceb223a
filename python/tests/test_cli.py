"""Fault: the command exits with the wrong status, prints more than one
line on a failure, or leaves a partial or half-replaced output behind."""
import hashlib
import json
import signal
import subprocess
import sys
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

import denoisers
from denoisers import cli
from conftest import phantom, run_cli


@pytest.fixture
def image(tmp_path):
    _, noisy = phantom(shape=(12, 10, 9))
    path = tmp_path / "in.nii.gz"
    nib.save(nib.Nifti1Image(np.stack([noisy, noisy * 2], -1).astype(np.float32),
                             np.diag([2.0, 2.0, 2.0, 1.0])), str(path))
    return path


def test_success_writes_image_and_sidecar(image, tmp_path):
    out = tmp_path / "out.nii.gz"
    done = run_cli("denoise", image, out, "--sigma", "5", "--noise", "rician",
                   "--method", "quillon", "--threads", "2")
    assert done.returncode == 0, done.stderr
    assert nib.load(str(out)).shape == (12, 10, 9, 2)
    meta = json.loads((tmp_path / "out.json").read_text())
    assert meta["NoiseSigma"] == [5.0, 5.0] and meta["NoiseModel"] == "rician"
    assert meta["Method"] == "quillon" and meta["SoftwareVersion"] == denoisers.__version__
    assert meta["SourceSHA256"] == hashlib.sha256(image.read_bytes()).hexdigest()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []

    done = run_cli("sigma", image, "--json")
    assert done.returncode == 0
    sigmas = json.loads(done.stdout)["sigma"]
    assert len(sigmas) == 2 and sigmas[1] == 2 * sigmas[0]
    assert len(run_cli("sigma", image).stdout.splitlines()) == 2
    # The default method is auto, and the sidecar says so.
    assert run_cli("denoise", image, out, "--sigma", "5", "--quiet").returncode == 0
    meta = json.loads((tmp_path / "out.json").read_text())
    assert meta["Method"] == "auto" and meta["Parameters"]["radius"] is None
    # The console script is the same command.
    script = Path(sys.executable).with_name("denoisers")
    assert subprocess.run([str(script), "--version"], capture_output=True).returncode == 0


def _one_line_failure(done, status):
    assert done.returncode == status, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr


def test_usage_errors_exit_2_and_failures_exit_1(image, tmp_path):
    out = tmp_path / "out.nii.gz"
    for args in ([], ["denoise", image], ["denoise", image, out, "--noise", "poisson"],
                 ["denoise", image, out, "--sigma", "-1"], ["denoise", image, out, "--bogus"],
                 ["denoise", image, tmp_path / "out.img"], ["frobnicate"]):
        _one_line_failure(run_cli(*args), 2)

    text = tmp_path / "text.nii"
    text.write_text("not an image")
    other_grid = tmp_path / "mask.nii.gz"
    nib.save(nib.Nifti1Image(np.ones((12, 10, 9), np.uint8), np.eye(4)), str(other_grid))
    other_shape = tmp_path / "mask2.nii.gz"
    nib.save(nib.Nifti1Image(np.ones((12, 10, 8), np.uint8), np.diag([2.0, 2, 2, 1])),
             str(other_shape))
    for args in (["denoise", tmp_path / "missing.nii", out], ["denoise", text, out],
                 ["denoise", image, out, "--mask", other_grid],
                 ["denoise", image, out, "--mask", other_shape],
                 ["denoise", image, tmp_path / "no_such_dir" / "out.nii"]):
        _one_line_failure(run_cli(*args), 1)
    assert not out.exists()


def test_failed_write_leaves_the_old_output_whole(image, tmp_path, monkeypatch):
    out = tmp_path / "out.nii.gz"
    out.write_bytes(b"previous result")
    (tmp_path / "out.json").write_text("{}")

    def broken_save(img, path):
        Path(path).write_bytes(b"half a file")
        raise OSError("disk full")

    monkeypatch.setattr(nib, "save", broken_save)
    assert cli.main(["denoise", str(image), str(out), "--quiet"]) == 1
    assert out.read_bytes() == b"previous result"
    assert (tmp_path / "out.json").read_text() == "{}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.nii.gz", "out.json", "out.nii.gz"]


def test_interrupted_run_writes_nothing(tmp_path):
    big = tmp_path / "big.nii"
    vol = np.random.default_rng(0).random((110, 110, 110, 4)).astype(np.float32) * 100
    nib.save(nib.Nifti1Image(vol, np.eye(4)), str(big))
    out = tmp_path / "out.nii"
    child = subprocess.Popen([sys.executable, "-m", "denoisers", "denoise", str(big), str(out),
                              "--sigma", "10", "--radius", "6"],
                             stderr=subprocess.PIPE, text=True)
    try:
        # The progress bar's first line shows the work has started.
        child.stderr.read(1)
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=300)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.nii"]
