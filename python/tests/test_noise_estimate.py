"""Faults of an estimated sigma on real scans, through the package and the
command line: a series estimated volume by volume (and aborted by one small
volume), the chunked path estimating on a part of the volume, and a
doubtful estimate passed on in silence."""
import json

import nibabel as nib
import numpy as np
import pytest

import denoisers
from denoisers import chunked
from conftest import mexrun, phantom, run_cli


def _save(path, data):
    nib.save(nib.Nifti1Image(data.astype(np.float32), np.eye(4)), str(path))
    return path


def _correlated(shape, sigma, seed):
    """Rician magnitudes of noise filtered by [1 2 1] along each axis (lag-1
    correlation 2/3), of marginal sigma, on the phantom's signal."""
    clean, _ = phantom(shape=shape, sigma=0.0)
    rng = np.random.default_rng(seed)
    parts = []
    for _ in range(2):
        n = rng.standard_normal(shape)
        for axis in range(3):
            n = (np.roll(n, 1, axis) + 2 * n + np.roll(n, -1, axis)) / np.sqrt(6.0)
        parts.append(sigma * n)
    return np.sqrt((clean + parts[0]) ** 2 + parts[1] ** 2)


def test_a_series_is_pooled_and_sigma_is_one_or_one_per_volume(tmp_path):
    vols = [phantom(shape=(24, 26, 20), sigma=5.0, seed=s)[1] * f for s, f in ((1, 1.0), (2, 0.6))]
    cut = np.zeros_like(vols[0])
    cut[8:14, 8:14, 8:14] = vols[0][8:14, 8:14, 8:14]  # 27 blocks of data
    image = _save(tmp_path / "dwi.nii.gz", np.stack(vols + [cut], -1))
    out = tmp_path / "out.nii.gz"
    # The third volume has no estimate of its own and aborts nothing.
    done = run_cli("denoise", image, out, "--method", "quillon", "--quiet")
    assert done.returncode == 0, done.stderr
    meta = json.loads((tmp_path / "out.json").read_text())
    estimate = meta["NoiseEstimate"]
    assert meta["NoiseSigma"] == [estimate["Sigma"]] * 3 and estimate["Pooled"]
    assert meta["NoiseSigmaSource"] == "estimated, pooled over 3 volumes"
    own = [v["Sigma"] for v in estimate["PerVolume"]]
    assert own[2] is None and estimate["Sigma"] in own
    assert estimate["Estimator"] in ("background", "tissue") and estimate["Confidence"]

    done = run_cli("denoise", image, out, "--method", "quillon", "--quiet", "--sigma-per-volume")
    meta = json.loads((tmp_path / "out.json").read_text())
    assert meta["NoiseSigma"] == own[:2] + [estimate["Sigma"]]
    assert "volume 2: too small" in done.stderr
    for given, status in ((["4", "5", "6"], 0), (["4"], 0), (["4", "5"], 2)):
        done = run_cli("denoise", image, out, "--method", "quillon", "--quiet", "--sigma", *given)
        assert done.returncode == status, done.stderr
    assert json.loads((tmp_path / "out.json").read_text())["NoiseSigma"] == [4.0] * 3


def test_the_chunked_path_estimates_on_the_whole_volume(tmp_path):
    _, noisy = phantom(shape=(40, 36, 64), sigma=6.0, seed=3)
    whole = denoisers.estimate_noise(noisy)
    assert chunked.estimate_noise(noisy).sigmas == whole.sigmas
    spread = chunked.estimate_noise(noisy, budget=40 * 36 * 32)  # two slabs of 16 slices
    assert spread.sample_shape == (40, 36, 32)
    assert abs(spread.sigmas[0] / whole.sigmas[0] - 1.0) < 0.05
    image = _save(tmp_path / "in.nii", noisy)
    for extra in ([], ["--chunks", "16"]):
        out = tmp_path / f"out{len(extra)}.nii"
        done = run_cli("denoise", image, out, "--method", "quillon", "--quiet", *extra)
        assert done.returncode == 0, done.stderr
    sidecars = [json.loads((tmp_path / f"out{k}.json").read_text()) for k in (0, 2)]
    assert sidecars[0]["NoiseSigma"] == sidecars[1]["NoiseSigma"]


def test_doubtful_estimates_are_warned_recorded_and_fail_under_strict(tmp_path):
    image = _save(tmp_path / "in.nii.gz", _correlated((48, 48, 40), 6.0, 4))
    with pytest.warns(denoisers.DenoiseWarning, match="correlates above 0.3"):
        estimate = denoisers.estimate_noise(np.asarray(nib.load(str(image)).dataobj))
    assert estimate.pooled.correlation > 0.5 and estimate.warnings
    out = tmp_path / "out.nii.gz"
    for strict, status in (([], 0), (["--strict"], 3)):
        (tmp_path / "out.json").unlink(missing_ok=True)
        done = run_cli("denoise", image, out, "--method", "quillon", "--quiet", *strict)
        assert done.returncode == status, done.stderr
        assert f"denoisers: warning: {out}: noise: the volume: the noise of neighbouring" in done.stderr
        meta = json.loads((tmp_path / "out.json").read_text())
        assert meta["Warnings"] == estimate.warnings
    assert run_cli("sigma", image, "--strict").returncode == 3
    # Nothing to warn of: no warnings, exit 0 under --strict.
    quiet = _save(tmp_path / "white.nii.gz", phantom(shape=(48, 48, 40), sigma=6.0, seed=5)[1])
    done = run_cli("denoise", quiet, out, "--method", "quillon", "--quiet", "--strict")
    assert done.returncode == 0 and "warning" not in done.stderr
    assert json.loads((tmp_path / "out.json").read_text())["Warnings"] == []


def test_the_mex_diagnostics_are_the_packages(tmp_path):
    series = np.stack([phantom(shape=(20, 22, 18), sigma=s, seed=int(s))[1] for s in (3.0, 8.0)], -1)
    sigma, info = mexrun(tmp_path, "noise_sigma", series, 1, outputs=2)
    estimate = denoisers.estimate_noise(series, per_volume=True)
    assert list(sigma.ravel()) == estimate.sigmas
    assert info.shape == (9, 2) and list(info[0]) == [estimate.pooled.sigma] * 2
    names = ("none", "constant", "background", "tissue")
    for column, v in zip(info.T, estimate.volumes):
        assert names[int(column[1])] == v.estimator
        np.testing.assert_array_equal(column[[3, 4, 5, 6, 7, 8]],
                                      [v.background, v.tissue, v.correlation, v.step, v.samples,
                                       v.warnings])
