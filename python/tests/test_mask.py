"""Fault: a mask changes voxels inside it, or loses the input outside it.

The cores skip the work no masked voxel depends on; for the pipeline that
includes the guide voxels tessary reads around a masked voxel, so a guide
mask grown too little shows here as changed bits."""
import numpy as np

import denoisers
from conftest import phantom


def test_mask_keeps_outside_and_inside_bits():
    _, noisy = phantom()
    box = np.zeros(noisy.shape, bool)
    box[3:12, 4:15, 2:9] = True
    scatter = np.random.default_rng(2).random(noisy.shape) < 0.02
    for mask in (box, scatter):
        for method, radius in (("quillon", 3), ("quillon+tessary", 3), ("quillon+tessary", 1),
                               ("auto", None)):
            full, _ = denoisers.denoise(noisy, 6.0, method=method, radius=radius)
            masked, _ = denoisers.denoise(noisy, 6.0, method=method, radius=radius, mask=mask)
            assert np.array_equal(masked[mask], full[mask])
            assert np.array_equal(masked[~mask], noisy[~mask])
    # A 3-D mask serves every volume of a series, a 4-D one each its own;
    # integer masks are taken.
    series = np.stack([noisy, noisy + 5.0], axis=-1)
    full, _ = denoisers.denoise(series, [6.0, 6.0])
    for mask in (box.astype(np.uint8), np.stack([box, scatter], axis=-1)):
        out, _ = denoisers.denoise(series, [6.0, 6.0], mask=mask)
        inside = np.broadcast_to(mask.astype(bool) if mask.ndim == 4 else mask[..., None] != 0,
                                 series.shape)
        assert np.array_equal(out[~inside], series[~inside])
        assert np.array_equal(out[inside], full[inside])
