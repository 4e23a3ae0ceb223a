"""How much anatomy the residual (input minus denoised) holds: the number
that tells a sigma too high, which flattens anatomy, from a right one.

Noise removed from a voxel is independent of its neighbours' noise, so the
residual's mean over a block of B voxels varies B times less than the
residual itself. Anatomy taken away is not: it is alike over neighbouring
voxels, and keeps its variance in the block means. The score is the ratio

    B * var(block means of r) / var(r)

over the blocks of 6x6x6 voxels that lie wholly in tissue: 1 for white
noise, below 1 for the filters' residual at the right sigma (the noise they
leave is smooth, so the part they remove is rougher than white noise), and
well above it as anatomy enters. bench/residual_structure.py fits the
thresholds on two brains at 3% and 9% Rician noise (the README has the
table): with quillon+tessary the score is at most 0.55 at the right sigma
and at least 1.36 at twice it; with quillon alone 0.46 and 0.60; with auto
0.49 and 1.20. Larger
blocks part the two further than 3x3x3 or 4x4x4 blocks do (anatomy is
alike over more voxels than the filters' leftover noise is).

Tissue means voxels whose denoised value is above 2 sigma (there magnitude
noise is near Gaussian and without bias: the Rician floor of the background
would read as structure; when sigma is so high that little is, above the
upper quartile of the image), whose input is not exactly 0 (the zero
background of a brain-extracted image) and whose residual is not exactly 0
(voxels a mask kept as they were). Noise that is itself correlated across
voxels also raises the score, at any sigma (with quillon+tessary 1.39 at
the right sigma for a lag-1 correlation of 0.58, with auto 0.82): the
warning says so.
"""
import numpy as np

# Above these the residual holds anatomy (bench/residual_structure.py): each
# filter leaves noise of its own smoothness, so each has its own.
THRESHOLDS = {"quillon+tessary": 0.87, "quillon": 0.53, "auto": 0.77}
BLOCK = 6
MIN_BLOCKS = 64  # fewer whole blocks of tissue than this: no score
_TISSUE_SIGMAS = 2.0


def block_means(vol, k=BLOCK):
    """Means of the whole k x k x k blocks of a 3-D array (float64; a
    boolean array gives each block's share of set voxels)."""
    s = [n // k * k for n in vol.shape]
    cut = vol[: s[0], : s[1], : s[2]]
    return cut.reshape(s[0] // k, k, s[1] // k, k, s[2] // k, k).mean(axis=(1, 3, 5),
                                                                      dtype=np.float64)


def voxel_sample(vol, limit):
    """At least about `limit` voxels of a 3-D array on a regular grid (the
    same voxels for any two arrays of one shape, whatever their memory
    order), flat: enough for a histogram or percentiles at a fraction of a
    pass over the volume."""
    return _strided(vol, limit).ravel()


def _strided(vol, limit):
    """voxel_sample's voxels as a 3-D view (no copy)."""
    step = max(1, int((np.size(vol) / limit) ** (1 / 3)))
    return np.asarray(vol)[::step, ::step, ::step]


def tissue_level(noisy, denoised, sigma):
    """The denoised value above which a voxel counts as tissue: 2 sigma, or
    the upper quartile of the non-zero voxels when sigma is so high that 2
    sigma would leave almost none."""
    level = _TISSUE_SIGMAS * sigma
    signal, kept = _strided(denoised, 200_000), _strided(noisy, 200_000) != 0
    size = int(np.count_nonzero(kept))
    # The quartile lies at or above the sorted sample's element
    # floor(0.75 (size - 1)); when fewer voxels than that are at or below
    # 2 sigma it is above 2 sigma, and the sort is not needed.
    if size and np.count_nonzero((signal <= level) & kept) < int(0.75 * (size - 1)):
        return level
    sample = signal.ravel()[kept.ravel()]
    quartile = float(np.percentile(sample, 75)) if sample.size else 0.0
    return min(level, quartile)


def all_set(mask, k=BLOCK):
    """Whether every voxel of each whole k x k x k block of a 3-D boolean
    array is set (block_means(mask) == 1, without its float sums): taken
    over the transpose when that is the contiguous view, so nothing is
    copied."""
    s = [n // k * k for n in mask.shape]
    if mask.flags.f_contiguous and not mask.flags.c_contiguous:
        t = mask.T[: s[2], : s[1], : s[0]]
        return t.reshape(s[2] // k, k, s[1] // k, k, s[0] // k, k).all(axis=(1, 3, 5)).T
    cut = mask[: s[0], : s[1], : s[2]]
    return cut.reshape(s[0] // k, k, s[1] // k, k, s[2] // k, k).all(axis=(1, 3, 5))


def structure_score(noisy, denoised, sigma):
    """The score of one 3-D volume denoised with `sigma`, or None when it
    has fewer than MIN_BLOCKS whole blocks of tissue (or sigma is 0)."""
    if not sigma > 0 or min(np.shape(noisy)) < BLOCK:
        return None
    noisy = np.asarray(noisy)
    denoised = np.asarray(denoised)
    r = np.subtract(noisy, denoised, dtype=np.float32)  # half the memory traffic
    tissue = (denoised > tissue_level(noisy, denoised, sigma)) & (noisy != 0) & (r != 0)
    whole = all_set(tissue)
    if np.count_nonzero(whole) < MIN_BLOCKS:
        return None
    means = block_means(r)[whole]
    squares = block_means(r * r)[whole]
    centre = means.mean()
    spread = squares.mean() - centre * centre
    if not spread > 0:
        return None
    return float(BLOCK**3 * np.mean((means - centre) ** 2) / spread)


def structure_scores(noisy, denoised, sigmas):
    """The score of each volume of a 3-D or 4-D pair (volumes along the last
    axis), one sigma per volume."""
    if np.ndim(noisy) == 3:
        return [structure_score(noisy, denoised, sigmas[0])]
    return [structure_score(noisy[..., t], denoised[..., t], s) for t, s in enumerate(sigmas)]


def threshold(method):
    return THRESHOLDS.get(method, min(THRESHOLDS.values()))


def structure_warning(scores, method):
    """The warning for the volumes whose score passes the method's
    threshold, or None."""
    limit = threshold(method)
    high = [(t, s) for t, s in enumerate(scores) if s is not None and s > limit]
    if not high:
        return None
    where = ("" if len(scores) == 1 else
             "volume" + ("s " if len(high) > 1 else " ") + ", ".join(str(t) for t, _ in high)
             + ": ")
    worst = max(s for _, s in high)
    return (f"{where}the residual holds structure (score {worst:.2f} > {limit:g}): "
            "sigma may be too high and flatten anatomy, or the noise is correlated across "
            "voxels; look at the residual")
