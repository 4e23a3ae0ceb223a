"""Fault: denoise() depends on the units or the baseline of the data (the
filters' integer truncations see raw values), or changes the dtype."""
import numpy as np
import pytest

import denoisers
from conftest import phantom, psnr


@pytest.mark.parametrize("method", ["auto", "quillon", "quillon+tessary"])
def test_units_do_not_matter(method):
    clean, noisy = phantom()
    base, _ = denoisers.denoise(noisy, 6.0, method=method)
    estimated, sigma = denoisers.denoise(noisy, method=method)
    # A power of two: exactly the scaled result, estimated sigma included.
    for k in (-20, -1, 3, 30):
        f = 2.0**k
        out, used = denoisers.denoise(noisy * f, 6.0 * f, method=method)
        assert used == 6.0 * f and np.array_equal(out, base * f)
        out, used = denoisers.denoise(noisy * f, method=method)
        assert used == sigma * f and np.array_equal(out, estimated * f)
    # Any factor: the same quality. Without the mapping, data in [0, 1]
    # loses most of its structure.
    reference = psnr(clean, base)
    for f in (1e-3, 0.37, 7.1, 1e6):
        out, _ = denoisers.denoise(noisy * f, 6.0 * f, method=method)
        assert abs(psnr(clean * f, out) - reference) < 0.02, f
    small = noisy / noisy.max()
    raw = denoisers.quillon(small, 6.0 / noisy.max(), 1)
    assert psnr(clean, raw * noisy.max()) < reference - 1.0


def test_gaussian_noise_on_negative_data_and_shifted_baselines():
    clean, noisy = phantom(rician=False)
    centred = noisy - 80.0  # half the voxels negative
    out, _ = denoisers.denoise(centred, 6.0, rician=False)
    assert psnr(clean, out + 80.0) > psnr(clean, noisy) + 2.0
    assert out.min() < 0.0
    for c in (-1e4, 3.5, 1e4):
        shifted, _ = denoisers.denoise(centred + c, 6.0, rician=False)
        np.testing.assert_allclose(shifted - c, out, rtol=0, atol=1e-9 * max(1.0, abs(c)))


def test_output_dtype_and_sigma_per_volume():
    _, noisy = phantom()
    out32, s = denoisers.denoise(noisy.astype(np.float32), 6.0, method="quillon")
    assert out32.dtype == np.float32 and s == 6.0
    out_int, _ = denoisers.denoise(np.round(noisy).astype(np.uint16), 6.0, method="quillon")
    assert out_int.dtype == np.float64
    series = np.stack([noisy, 2.0 * noisy], axis=-1)
    out4, sigmas = denoisers.denoise(series, method="quillon", per_volume=True)
    assert out4.shape == series.shape and sigmas.shape == (2,)
    assert sigmas[1] == 2.0 * sigmas[0]
    assert np.array_equal(out4[..., 1], 2.0 * out4[..., 0])


def test_estimated_sigma_is_close():
    for true_sigma, rician in ((4.0, True), (9.0, True), (6.0, False)):
        _, noisy = phantom(shape=(40, 44, 36), sigma=true_sigma, rician=rician)
        assert abs(denoisers.estimate_sigma(noisy, rician) / true_sigma - 1.0) < 0.15


def test_bad_arguments_are_refused():
    _, noisy = phantom(shape=(6, 7, 5))
    bad = noisy.copy()
    bad[1, 1, 1] = np.nan
    for call in (lambda: denoisers.denoise(bad, 3.0),
                 lambda: denoisers.denoise(noisy, -1.0),
                 lambda: denoisers.denoise(noisy, 3.0, method="tessary"),
                 lambda: denoisers.denoise(noisy, 3.0, radius=-1),
                 lambda: denoisers.denoise(noisy, 3.0, threads=0),
                 lambda: denoisers.denoise(noisy, 3.0, mask=np.ones((6, 7, 4), bool))):
        with pytest.raises(ValueError):
            call()
    same, s = denoisers.denoise(noisy, 0.0)  # no noise: nothing to remove
    assert s == 0.0 and np.array_equal(same, noisy)
