"""The noise level of one 3-D volume, for denoise() when no sigma is given.

A stand-in until the C++ estimator replaces it, chosen to be simple and
robust rather than the last word in accuracy:

1. A 3-D high-pass: each interior voxel minus the mean of its six face
   neighbours. For white noise of deviation sigma this residual has the
   deviation sigma * sqrt(7/6); smooth anatomy leaves almost nothing in it.
2. Only voxels that are non-zero together with their six neighbours count,
   so the zero background of a skull-stripped or masked volume (no noise at
   all) does not pull the estimate down.
3. sigma = MAD(residual) / 0.6745 / sqrt(7/6): the median absolute
   deviation ignores the minority of voxels on edges.
4. Rician correction: in the dark background of a magnitude image the noise
   is Rayleigh distributed and narrower than sigma, so with rician=True the
   estimate is repeated over the voxels whose local mean exceeds four times
   the first estimate, where Rician noise is close to Gaussian of deviation
   sigma; twice, as the first estimate was low.
5. Edges still leak anatomy into the residual, and in a small or detailed
   volume they are no minority. The final MAD is therefore taken over the
   flattest 30% of the voxels kept so far: those with the smallest gradient
   of the 3x3x3 box-smoothed volume, where the residual is almost pure
   noise. On the Colin27 T1 with Rician noise of 3% and 5% the estimate is
   3.6% and 0.8% high (6.0% and 2.1% on its skull-stripped version).

Every step is exact under a power-of-two scaling, so scaling the volume by
2**k scales the estimate by exactly 2**k.
"""
import numpy as np

_MAD_TO_SIGMA = 1.0 / 0.6744897501960817  # 1 / Phi^-1(3/4)
_RESIDUAL_GAIN = np.sqrt(7.0 / 6.0)


def _residual_and_local_mean(vol):
    """The high-pass residual and the seven-voxel mean at interior voxels,
    and whether each such voxel and its neighbours are all non-zero."""
    c = vol[1:-1, 1:-1, 1:-1]
    neighbours = (vol[:-2, 1:-1, 1:-1], vol[2:, 1:-1, 1:-1], vol[1:-1, :-2, 1:-1],
                  vol[1:-1, 2:, 1:-1], vol[1:-1, 1:-1, :-2], vol[1:-1, 1:-1, 2:])
    total = np.zeros_like(c)
    nonzero = c != 0
    for n in neighbours:
        total += n
        nonzero &= n != 0
    residual = c - total / 6.0
    local_mean = (total + c) / 7.0
    return residual, local_mean, nonzero


def _box3(vol):
    """The 3x3x3 box mean, borders repeated."""
    for axis in range(3):
        p = np.moveaxis(np.pad(vol, [(1, 1) if a == axis else (0, 0) for a in range(3)],
                               mode="edge"), axis, 0)
        vol = np.moveaxis((p[:-2] + p[1:-1] + p[2:]) / 3.0, 0, axis)
    return vol


def _smooth_gradient(vol):
    """|d/dx| + |d/dy| + |d/dz| of the box-smoothed volume, at interior voxels."""
    smooth = _box3(vol)
    c = smooth[1:-1, 1:-1, 1:-1]
    return (np.abs(smooth[2:, 1:-1, 1:-1] - c) + np.abs(smooth[1:-1, 2:, 1:-1] - c)
            + np.abs(smooth[1:-1, 1:-1, 2:] - c))


# Medians over more voxels than this read an even sample of them: a million
# residuals pin sigma far below the estimator's own bias, at a fraction of
# the time.
_SAMPLE = 1 << 20


def _sample(values):
    return values[:: -(-values.size // _SAMPLE)] if values.size > _SAMPLE else values


def _mad_sigma(residual):
    if residual.size == 0:
        return 0.0
    residual = _sample(residual)
    med = np.median(residual)
    return float(np.median(np.abs(residual - med)) * _MAD_TO_SIGMA / _RESIDUAL_GAIN)


def estimate_sigma(vol, rician=True):
    """The noise standard deviation of one 3-D volume, in its own units.

    vol: a 3-D array of finite numbers. rician: True for magnitude images
    (Rician noise), False for Gaussian noise. Returns 0.0 for a volume with
    no interior voxels that are non-zero together with their neighbours, or
    no measurable noise.
    """
    vol = np.asarray(vol, dtype=np.float64)
    if vol.ndim != 3:
        raise ValueError(f"estimate_sigma takes one 3-D volume, got {vol.ndim} dimensions")
    if min(vol.shape) < 3:
        return 0.0
    residual, local_mean, nonzero = _residual_and_local_mean(vol)
    kept = nonzero
    sigma = _mad_sigma(residual[kept])
    if rician:
        for _ in range(2):
            bright = nonzero & (local_mean > 4.0 * sigma)
            if not bright.any() or sigma == 0.0:
                break
            kept = bright
            sigma = _mad_sigma(residual[kept])
    if not kept.any():
        return 0.0
    gradient = _smooth_gradient(vol)
    flat = kept & (gradient <= np.quantile(_sample(gradient[kept]), 0.3))
    return _mad_sigma(residual[flat])
