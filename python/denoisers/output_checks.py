"""Checks that catch a plausible-looking wrong answer: of an input against
the noise model, and of a denoised result."""
import warnings as _warnings

import numpy as np

from .run_warnings import DenoiseWarning

# A volume is reported when at least this share of its output is zero and
# it kept under half of the input's non-zero voxels. A whole head keeps
# about 70% of its voxels non-zero and a brain in its field of view some
# 25%; a volume denoised with a sigma many times too high comes back all
# but entirely zero. A volume already zero around a mask is not reported.
MOSTLY_ZERO = 0.95

# A magnitude image is never negative; noise-floor corrections leave a few
# voxels just under zero. Below -NEGATIVE_SIGMAS sigma a voxel is negative
# beyond the noise, and more than NEGATIVE_SHARE of such voxels means the
# data are not magnitudes (the Rician filters would clip them all to zero).
NEGATIVE_SIGMAS = 3.0
NEGATIVE_SHARE = 0.01


def check_negative_magnitudes(volumes, sigmas, series, first=0):
    """Refuses (ValueError) a volume of which more than NEGATIVE_SHARE is
    negative beyond the noise, and warns (DenoiseWarning) of one with fewer
    such voxels: under the Rician model the filters clip them to zero.
    volumes: the 3-D volumes, sigmas one each, series whether they are the
    volumes of a 4-D input (to name them, from number `first`)."""
    for t, (v, s) in enumerate(zip(volumes, sigmas), first):
        if s > 0.0:
            judge_negatives(int(np.count_nonzero(v < -NEGATIVE_SIGMAS * s)), v.size,
                            f"volume {t}" if series else "the volume", stacklevel=4)


def judge_negatives(below, size, name, stacklevel=3):
    """The rule of check_negative_magnitudes for a volume `name` of `size`
    voxels of which `below` are under -NEGATIVE_SIGMAS sigma."""
    if below == 0:
        return
    share = below / size
    text = (f"{name}: {below} voxels ({share:.2%}) are below -{NEGATIVE_SIGMAS:g} sigma, "
            "which a magnitude image never is")
    if share > NEGATIVE_SHARE:
        raise ValueError(f"denoise: {text}: denoise such data with rician=False "
                         "(--noise gaussian)")
    _warnings.warn(f"{text}: the Rician model clips them to zero", DenoiseWarning,
                   stacklevel=stacklevel)


def mostly_zero_volumes(noisy, denoised, sigma, number=None):
    """Warnings (a list of one line each) for the volumes of `denoised`
    (3-D, or 4-D with the volumes along the last axis) that came back
    mostly zero from a `noisy` that was not: the symptom of a sigma far
    above the noise. Volumes are numbered from 0, as `denoisers sigma`
    prints them; number: a 3-D pair's number in its series (None: not of
    a series). sigma: the value used, one or one per volume."""
    noisy, denoised = np.asarray(noisy), np.asarray(denoised)
    count = 1 if denoised.ndim == 3 else denoised.shape[3]
    sigmas = np.broadcast_to(np.atleast_1d(sigma), (count,))
    warnings = []
    for t in range(count):
        before = noisy if denoised.ndim == 3 else noisy[..., t]
        after = denoised if denoised.ndim == 3 else denoised[..., t]
        kept, had = np.count_nonzero(after), np.count_nonzero(before)
        zero = 1.0 - kept / max(after.size, 1)
        if zero >= MOSTLY_ZERO and kept < 0.5 * had:
            name = ("the volume" if number is None else f"volume {number}") if (
                denoised.ndim == 3) else f"volume {t}"
            warnings.append(f"{name} came back {zero:.1%} zero (the input "
                            f"{1.0 - had / before.size:.1%}): its sigma {sigmas[t]:.4g} is "
                            "probably far above its noise")
    return warnings

