"""method="auto": the filters and their settings chosen per volume from its
noise level and what it looks like, by a rule fitted on
bench/quality_sweep.py (the rule is RULE below; it and the table it was
fitted on are in denoise()'s docstring).

The steps, in the filters' working units (pipeline.Working maps each
volume so that sigma is WORKING_SIGMA):

1. quillon. Under Rician noise its oracle pass averages the noisy blocks
   without correcting them (a negative flag), and the average is corrected
   once, voxel by voxel (_core.rician_mean): the per-block correction bends
   each block's residual noise into a bias, which costs up to 0.4 dB at
   noise of 9% of the maximum.
2. What the volume looks like, read from its means over 4x4x4 blocks (a
   cheap denoising): its noise level (sigma over their 99.9th percentile,
   in percent) and its background share (the share of them below a tenth
   of that level).
3. tessary guided by quillon's result, with the rule's radius, and the two
   results mixed: (1 - weight) * quillon + weight * tessary. The two err
   differently (blocks against single voxels), so the mix beats both.
   With weight 0, tessary does not run.
"""
from typing import NamedTuple

import numpy as np

from . import _core

# The rule: (noise level in percent, tessary's weight, quillon's threshold
# factor) at the points between which both are interpolated linearly (and
# held beyond the ends), one row per kind of volume. A volume whose
# background share is at least STRIPPED_SHARE is a skull-stripped brain
# (or anything else mostly dark).
RADIUS = 3
STRIPPED_SHARE = 0.6
RULE = {
    "head": ((1.3, 0.15, 1.15), (3.8, 0.4, 1.0), (11.6, 0.4, 1.0)),
    "stripped": ((1.1, 0.0, 1.15), (3.4, 0.5, 1.15), (5.5, 0.8, 1.0), (7.7, 0.9, 1.0)),
}


def look(volume, sigma, rician):
    """(noise level in percent, background share) of a noisy volume: its
    means over whole 4x4x4 blocks, from zero (under Rician noise, the true
    values whose expected magnitudes they are; under Gaussian noise, from
    their 0.1th percentile, as the data may sit on any baseline), sigma
    against their 99.9th percentile, and the share of them below a tenth
    of that percentile. Read from the input alone, so a mask changes
    nothing."""
    n = [s - s % 4 for s in volume.shape]
    if min(n) == 0:
        return 0.0, 0.0
    # Column-major, as the filters keep volumes: a block's 4 voxels along an
    # axis are its fastest index.
    means = volume[:n[0], :n[1], :n[2]].reshape(4, n[0] // 4, 4, n[1] // 4, 4, n[2] // 4,
                                                  order="F").mean(axis=(0, 2, 4))
    if rician:
        means = _core.rician_mean(np.asfortranarray(means), sigma)
    else:
        means -= np.percentile(means, 0.1)
    level = float(np.percentile(means, 99.9))
    if not level > 0.0:
        return float("inf"), 1.0
    return 100.0 * sigma / level, float(np.count_nonzero(means < 0.1 * level)) / means.size


class Settings(NamedTuple):
    radius: int  # tessary's search radius
    weight: float  # tessary's share of the result; 0: tessary does not run
    factor: float  # quillon's thresholds over the usual (2.7 sigma and sigma)


def choose(noise, background):
    """The Settings for a volume of this look."""
    row = RULE["stripped" if background >= STRIPPED_SHARE else "head"]
    levels, weights, factors = zip(*row)
    return Settings(RADIUS, float(np.interp(noise, levels, weights)),
                    float(np.interp(noise, levels, factors)))


def settings(work, sigma, rician, radius=None):
    """The rule's Settings for a noisy volume in working units, with
    radius in place of the rule's when given."""
    chosen = choose(*look(work, sigma, rician))
    return chosen if radius is None else chosen._replace(radius=radius)


def filter_working(work, sigma, rician, chosen, bar, threads=0, masks=(None, None)):
    """The filters of auto on a volume in working units, with the Settings
    chosen, shown on bar (a progress.PassBar: two passes). masks: the
    cores' (quillon, tessary) masks."""
    quillon_mask, tessary_mask = masks
    # With a flag of 0 or below quillon reads sigma for its thresholds alone.
    thresholds = chosen.factor * sigma
    if rician:
        averaged = _core.quillon(work, thresholds, -1.0, False, threads=threads,
                                 mask=quillon_mask, progress=bar.hook)
        guide = _core.rician_mean(averaged, sigma, threads=threads)
        del averaged
    else:
        guide = _core.quillon(work, thresholds, 0.0, False, threads=threads, mask=quillon_mask,
                              progress=bar.hook)
    bar.pass_done()
    if chosen.weight > 0.0:
        t = _core.tessary(work, float(chosen.radius), sigma, guide, 1.0 if rician else 0.0,
                          threads=threads, mask=tessary_mask, progress=bar.hook)
        # guide + weight * (t - guide), in place.
        t -= guide
        t *= chosen.weight
        guide += t
    bar.pass_done()
    return guide
