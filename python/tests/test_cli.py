"""Fault: the command exits with the wrong status, prints more than one
line on a failure or a wrong cause, leaves a partial or half-replaced
output behind, or passes a ruined volume silently."""
import hashlib
import json
import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

import denoisers
from denoisers import cli, gzip_io
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

    done = run_cli("sigma", image, "--json", "--sigma-per-volume")
    assert done.returncode == 0
    sigmas = json.loads(done.stdout)["sigma"]
    assert len(sigmas) == 2 and sigmas[1] == 2 * sigmas[0]
    # By default one pooled sigma for the series, each volume's own beside it.
    pooled = json.loads(run_cli("sigma", image, "--json").stdout)
    assert pooled["sigma"][0] == pooled["sigma"][1] in sigmas
    assert [v["Sigma"] for v in pooled["estimate"]["PerVolume"]] == sigmas
    assert len(run_cli("sigma", image).stdout.splitlines()) == 3
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

    def broken_write(writer, data):
        writer._file.write(b"half a file")
        raise OSError("disk full")

    monkeypatch.setattr(gzip_io.Writer, "write", broken_write)
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


def test_a_volume_that_comes_back_mostly_zero_is_named(tmp_path):
    """A sigma far above a volume's noise (here 1000 times) zeroes it: the
    command warns, naming the volume, and the sidecar records it."""
    _, noisy = phantom(shape=(16, 14, 12), sigma=6.0)
    source = tmp_path / "series.nii.gz"
    nib.save(nib.Nifti1Image(np.stack([noisy, noisy / 1000.0], -1).astype(np.float32),
                             np.eye(4)), str(source))
    done = run_cli("denoise", source, tmp_path / "out.nii.gz", "--sigma", "6", "--quiet")
    assert done.returncode == 0, done.stderr
    warnings = json.loads((tmp_path / "out.json").read_text())["Warnings"]
    assert len(warnings) == 1 and warnings[0].startswith("volume 1 came back 100.0% zero")
    assert done.stderr.splitlines() == [f"denoisers: warning: {tmp_path / 'out.nii.gz'}: "
                                        f"{warnings[0]}"]


MEMORY_LIMIT_CHILD = """
import resource, sys
import numpy as np
import denoisers
vol = np.random.default_rng(0).random((40, 40, 40)) + 1.0
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
# Room for the volume's buffers, not for one thread's stack of 1 GiB.
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
for call in (lambda: denoisers.estimate_sigma(vol), lambda: denoisers.quillon(vol, 5.0)):
    try:
        call()
        print("no error")
    except Exception as e:
        print(str(e).split(":")[:2])
"""


def test_a_thread_that_lacks_memory_is_reported_as_memory():
    """Under an address-space limit the threads' stacks are what does not
    fit: the error names memory, not a limit of threads."""
    def large_stacks():  # the default thread stack follows RLIMIT_STACK
        resource.setrlimit(resource.RLIMIT_STACK, (1 << 30, 1 << 30))
    done = subprocess.run([sys.executable, "-c", MEMORY_LIMIT_CHILD], capture_output=True,
                          text=True, preexec_fn=large_stacks, env={**os.environ,
                                                                    "DENOISERS_THREADS": "2"})
    assert done.stdout.splitlines() == ["['noise_sigma', 'memory']", "['quillon', 'memory']"], \
        done.stdout + done.stderr


def test_guards_a_new_user_meets(image, tmp_path):
    out = tmp_path / "out.nii.gz"
    # A complex image is refused, or its magnitude denoised when asked.
    _, noisy = phantom(shape=(12, 10, 9))
    parts = noisy * np.exp(1j * np.linspace(0, 3, noisy.size).reshape(noisy.shape))
    complex_image = tmp_path / "complex.nii"
    nib.save(nib.Nifti1Image(parts.astype(np.complex64), np.eye(4)), str(complex_image))
    _one_line_failure(run_cli("denoise", complex_image, out, "--sigma", "5"), 1)
    assert run_cli("denoise", complex_image, out, "--sigma", "5", "--magnitude").returncode == 0
    expected, _ = denoisers.denoise(np.abs(parts.astype(np.complex64)).astype(np.float64), 5.0)
    assert np.array_equal(nib.load(str(out)).get_fdata(), expected.astype(np.float32))
    assert "InputMagnitude" in json.loads((tmp_path / "out.json").read_text())

    # The input as its own output is refused unless --force.
    _one_line_failure(run_cli("denoise", image, tmp_path / "." / image.name), 2)
    # A truncated file's read error names it.
    truncated = tmp_path / "truncated.nii.gz"
    truncated.write_bytes(image.read_bytes()[:-200])
    done = run_cli("denoise", truncated, out)
    _one_line_failure(done, 1)
    assert str(truncated) in done.stderr
    # A reader that goes away ends the command quietly.
    child = subprocess.Popen([sys.executable, "-m", "denoisers", "sigma", str(image)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()
    assert child.wait(timeout=120) == 141 and child.stderr.read() == b""

    # The input's sidecar gives its acquisition fields to the output's.
    (tmp_path / "in.json").write_text(json.dumps({"EchoTime": 0.03, "PatientName": "x"}))
    assert run_cli("denoise", image, out, "--sigma", "5").returncode == 0
    meta = json.loads((tmp_path / "out.json").read_text())
    assert meta["EchoTime"] == 0.03 and "PatientName" not in meta

    # Data a magnitude image cannot be: refused beyond 1% of the voxels
    # below -3 sigma, warned of below that (the filters clip them to zero).
    with pytest.raises(ValueError, match="rician=False"):
        denoisers.denoise(noisy - noisy.mean(), 5.0)
    few = noisy.copy()
    few.flat[:3] = -100.0
    with pytest.warns(denoisers.DenoiseWarning, match="3 voxels"):
        denoisers.denoise(few, 5.0)
    # Non-finite voxels outside a mask come back as they were; inside, refused.
    holed = noisy.copy()
    holed[0, 0, 0] = np.nan
    mask = np.ones(noisy.shape, bool)
    mask[0, 0, 0] = False
    kept, _ = denoisers.denoise(holed, 5.0, mask=mask)
    assert np.isnan(kept[0, 0, 0]) and np.isfinite(kept[mask]).all()
    with pytest.raises(ValueError, match="1 voxels inside the mask"):
        denoisers.denoise(holed, 5.0, mask=~mask | mask)
