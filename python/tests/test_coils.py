"""Sum-of-squares magnitudes of several receive coils: the filters' coils
input (one coil is today's bits), the bias it removes, and the package and
command line passing it on or refusing what they cannot do with it."""
import json

import nibabel as nib
import numpy as np
import pytest

import denoisers
from conftest import phantom, run_cli

SHAPE = (40, 36, 28)


def _sum_of_squares(coils, sigma=6.0, seed=5):
    """The phantom's signal spread evenly over `coils` channels, each with
    complex Gaussian noise of sigma, and their root sum of squares."""
    clean, _ = phantom(shape=SHAPE, sigma=0.0)
    rng = np.random.default_rng(seed)
    share = clean / np.sqrt(coils)
    total = sum((share + sigma * rng.standard_normal(SHAPE)) ** 2
                + (sigma * rng.standard_normal(SHAPE)) ** 2 for _ in range(coils))
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
    for sigma in (None, "auto"):
        with pytest.raises(ValueError, match="needs sigma"):
            denoisers.denoise(noisy, sigma=sigma, coils=8)


def test_the_command_records_its_coils_and_refuses_them_without_sigma(tmp_path):
    _, noisy = _sum_of_squares(4)
    image, out = tmp_path / "in.nii.gz", tmp_path / "out.nii.gz"
    nib.save(nib.Nifti1Image(noisy.astype(np.float32), np.eye(4)), str(image))
    done = run_cli("denoise", image, out, "--quiet", "--method", "quillon", "--sigma", "6",
                   "--coils", "4")
    assert done.returncode == 0, done.stderr
    assert json.loads((tmp_path / "out.json").read_text())["NoiseCoils"] == 4
    done = run_cli("denoise", image, out, "--quiet", "--coils", "4")
    assert done.returncode == 2 and "--coils needs --sigma" in done.stderr
