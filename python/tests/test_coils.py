"""Sum-of-squares magnitudes of several receive coils: the filters' coils
input (one coil is today's bits), the bias it removes, the estimators'
per-channel sigma, and the package and command line passing it on."""
import json
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

import denoisers
from conftest import phantom, run_cli

SHAPE = (40, 36, 28)
TEMPLATE = Path("/usr/share/mricron/templates/ch2.nii.gz")  # Debian's mricron-data


def _sum_of_squares(coils, sigma=6.0, seed=5, clean=None):
    """The signal (the phantom's by default) spread evenly over `coils`
    channels, each with complex Gaussian noise of sigma, and their root sum
    of squares."""
    if clean is None:
        clean, _ = phantom(shape=SHAPE, sigma=0.0)
    rng = np.random.default_rng(seed)
    share = clean / np.sqrt(coils)
    total = sum((share + sigma * rng.standard_normal(clean.shape)) ** 2
                + (sigma * rng.standard_normal(clean.shape)) ** 2 for _ in range(coils))
    return clean, np.sqrt(total)


def test_coils_change_the_bias_and_one_coil_changes_nothing():
    clean, noisy = _sum_of_squares(8)
    g = denoisers.quillon(noisy, 6.0, 1)
    assert np.array_equal(g, denoisers.quillon(noisy, 6.0, 1, coils=1))
    assert np.array_equal(denoisers.tessary(noisy, 2, 6.0, g, 1),
                          denoisers.tessary(noisy, 2, 6.0, g, 1, coils=1))
    # The background (true signal 0) sits near 3.9 sigma for eight coils:
    # the one-coil law leaves most of that floor, the eight-coil law not.
    air = clean == 0
    one = denoisers.denoise(noisy, sigma=6.0)
    eight = denoisers.denoise(noisy, sigma=6.0, coils=8)
    assert eight.coils == 8
    # auto's own correction is one coil's: with eight it runs the chain.
    chain = denoisers.denoise(noisy, sigma=6.0, coils=8, method="quillon+tessary")
    assert np.array_equal(eight.denoised, chain.denoised)
    assert eight.denoised[air].mean() < 6.0 < one.denoised[air].mean()
    with pytest.raises(ValueError, match="quillon:coils"):
        denoisers.quillon(noisy, 6.0, 1, coils=65)
    with pytest.raises(ValueError, match="tessary:coils"):
        denoisers.tessary(noisy, 2, 6.0, g, 0, coils=2)
    for call in (denoisers.estimate_sigma, denoisers.estimate_sigma_map):
        with pytest.raises(ValueError, match="noise_sigma:coils"):
            call(noisy, coils=65)


def test_the_command_records_its_coils(tmp_path):
    _, noisy = _sum_of_squares(4)
    image, out = tmp_path / "in.nii.gz", tmp_path / "out.nii.gz"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(image))
    done = run_cli("denoise", image, out, "--quiet", "--method", "quillon", "--sigma", "6",
                   "--coils", "4")
    assert done.returncode == 0, done.stderr
    assert json.loads((tmp_path / "out.json").read_text())["NoiseCoils"] == 4


def test_the_estimators_read_each_channels_sigma_of_four_and_eight_coils(tmp_path):
    # The Colin27 T1 at 2 mm, a whole head in air: the background's chi law
    # and the tissue's correction for N each hold the per-channel sigma.
    clean = np.asarray(nib.load(TEMPLATE).dataobj, dtype=np.float64)[::2, ::2, ::2]
    sigma = 0.03 * clean.max()
    for n in (4, 8):
        _, noisy = _sum_of_squares(n, sigma, seed=n, clean=clean)
        noise = denoisers.estimate_noise(noisy, coils=n)
        assert noise.estimator == "background"
        assert abs(noise.sigmas[0] / sigma - 1.0) < 0.05, n
        # The tissue's is as close as one coil's at 2 mm (some 6% high).
        assert abs(noise.pooled.tissue / sigma - 1.0) < 0.1, n
        # One coil's law misreads it.
        assert abs(denoisers.estimate_sigma(noisy) / sigma - 1.0) > 0.2, n
        # Brain-extracted, the darkest tissue passes for chi air but is set aside.
        brain = denoisers.estimate_noise(np.where(clean > 0.15 * clean.max(), noisy, 0), coils=n)
        assert brain.estimator == "tissue" and abs(brain.sigmas[0] / sigma - 1.0) < 0.1, n
    # A series: the repeats' Gaussian differences do not hold for 8 coils.
    series = np.stack([noisy, _sum_of_squares(8, sigma, seed=80, clean=clean)[1]], axis=3)
    pooled = denoisers.estimate_noise(series, coils=8)
    assert pooled.estimator == "background" and abs(pooled.sigmas[0] / sigma - 1.0) < 0.05
    # The map's tiles are mostly tissue.
    assert abs(np.median(denoisers.estimate_sigma_map(noisy, coils=8)) / sigma - 1.0) < 0.1
    image, out = tmp_path / "in.nii.gz", tmp_path / "out.nii.gz"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(image))
    done = run_cli("sigma", image, "--json", "--coils", "8")
    assert done.returncode == 0, done.stderr
    assert abs(json.loads(done.stdout)["sigma"][0] / sigma - 1.0) < 0.05
    done = run_cli("denoise", image, out, "--quiet", "--method", "quillon", "--coils", "8")
    assert done.returncode == 0, done.stderr
    sidecar = json.loads((tmp_path / "out.json").read_text())
    assert sidecar["NoiseCoils"] == 8
