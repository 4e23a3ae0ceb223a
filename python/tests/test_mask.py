"""Fault: a mask changes voxels inside it, or loses the input outside it."""
import numpy as np

import denoisers
from conftest import phantom


def test_mask_keeps_outside_and_inside_bits():
    _, noisy = phantom()
    mask = np.zeros(noisy.shape, bool)
    mask[3:12, 4:15, 2:9] = True
    for method in ("quillon", "quillon+tessary"):
        full, _ = denoisers.denoise(noisy, 6.0, method=method)
        masked, _ = denoisers.denoise(noisy, 6.0, method=method, mask=mask)
        assert np.array_equal(masked[mask], full[mask])
        assert np.array_equal(masked[~mask], noisy[~mask])
    # A 3-D mask serves every volume of a series; integer masks are taken.
    series = np.stack([noisy, noisy + 5.0], axis=-1)
    out, _ = denoisers.denoise(series, [6.0, 6.0], mask=mask.astype(np.uint8), method="quillon")
    assert np.array_equal(out[~mask], series[~mask])
