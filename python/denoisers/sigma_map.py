"""A map of the noise level across the field of view, for scans whose noise
varies (parallel imaging's g-factor, coil sensitivities), and its use by
denoise().

The map is made from the scalar estimator itself (denoisers.sigma, the C++
core): the volume is cut into tiles of about TILE voxels a side and each
tile gets its own estimate (the Rayleigh fit where a tile holds air, the
tissue's wavelet estimate elsewhere). A tile far from its neighbourhood's
median (a fit caught on a dark structure) takes that median, tiles without
an estimate (too little data, a constant zero background) are filled from
their neighbours, the tile values are smoothed lightly and interpolated
linearly to every voxel (and carried on past the outermost tile centres). So the map is smooth by construction: it follows noise that
changes over some tiles, not from voxel to voxel.
"""
import math
import os
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from . import _core
from .filters import as_volumes, thread_cap, volumes_of

TILE = 24  # voxels a side: some 1700 2x2x2 blocks per tile, a few percent error each
# A tile further than this from its neighbourhood's median is taken for a
# stray fit.
STRAY = 0.25
# The check of a scalar estimate against noise that varies reads every
# VARIATION_EVERY-th tile along each axis (an eighth of them: 0.12 CPU
# seconds on the Colin27 T1, a fifth of the scalar estimate's, some 3% of
# a denoise call) and compares the 90th percentile of their estimates with
# the 10th. Fitted on bench/varying_noise.py's brains: with
# uniform Rician noise of 1 to 10% the ratio was 1.02 to 1.39 (the highest
# at 1% on the Colin27 head, where tissue and air tiles differ by a few
# percent each way), 1.12 to 1.19 for 4 and 8 coils, 1.19 on integer data;
# with noise varying 1x to 3x (a ramp, an off-centre bump) 1.79 to 2.53.
VARIATION_EVERY = 2
VARYING = 1.6
# Fewer tiles with an estimate than this tell nothing about a variation.
VARIATION_TILES = 8


def _edges(n):
    count = max(1, round(n / TILE))
    return np.linspace(0, n, count + 1).round().astype(int)


def _tile_value(estimate):
    """A tile's sigma from its estimate, NaN for none. Within a tile, "air"
    whose noise correlates (above the estimator's limit) is dark tissue
    (ventricles, bone) read as background: the tile takes its tissue
    estimate instead."""
    sigma = estimate["sigma"]
    if estimate["estimator"] == "background" and estimate["warnings"] & _core.WARN_CORRELATED:
        sigma = estimate["tissue"]
    elif estimate["estimator"] not in ("background", "tissue", "repeats"):
        return np.nan
    return sigma if sigma > 0.0 else np.nan  # NaN stays NaN


def _tile_sigmas(data, rician, cap, coils, every=1):
    """The estimate of each tile of a 3-D volume or a 4-D series (pooled
    over its volumes), NaN where there is none; and the tiles' centres.
    every: only every every-th tile along each axis is estimated (the
    others are NaN).
    Each tile is estimated on one thread, several tiles at once. When the
    volume's values lie on no value grid, the tiles' search for one (a
    third of their time) is skipped."""
    edges = [_edges(n) for n in data.shape[:3]]
    off_grid = _core.value_step(data) == 0.0
    grid = np.full([len(e) - 1 for e in edges], np.nan)

    def estimate(ijk):
        i, j, k = ijk
        tile = data[edges[0][i]:edges[0][i + 1], edges[1][j]:edges[1][j + 1],
                    edges[2][k]:edges[2][k + 1]]
        try:
            pooled, _ = _core.noise_sigma_series(np.asfortranarray(tile), rician, 1, False, coils,
                                                 off_grid)
        except ValueError as e:  # too few non-zero blocks: a tile of zeros
            if "noise_sigma:small" in str(e):
                return
            raise
        grid[i, j, k] = _tile_value(pooled)

    chosen = [ijk for ijk in np.ndindex(grid.shape) if all(x % every == 0 for x in ijk)]
    with ThreadPoolExecutor(max_workers=cap or len(os.sched_getaffinity(0))) as pool:
        list(pool.map(estimate, chosen))
    centres = [(e[:-1] + e[1:] - 1) / 2.0 for e in edges]
    return grid, centres


def _smoothed(grid):
    """The tile estimates with a stray one replaced by its neighbourhood's
    median, their holes filled, and smoothed over about half a tile."""
    from scipy import ndimage

    known = np.isfinite(grid)
    if not known.any():
        return None
    # Each known tile against the median of the known tiles around it
    # (NaN-aware): one fit caught on a dark structure cannot bend the map.
    padded = np.pad(np.where(known, grid, np.nan), 1, mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, (3, 3, 3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        local = np.nanmedian(windows.reshape(grid.shape + (27,)), axis=-1)
    stray = known & (np.abs(grid / np.where(known, local, 1.0) - 1.0) > STRAY)
    values = np.where(known, np.where(stray, local, grid), 0.0)
    weights = known.astype(np.float64)
    # Normalised smoothing: holes take their neighbours' weighted mean; a
    # hole too far from any estimate takes the median of them all. Half a
    # tile keeps most of the peak of a bump a few tiles wide.
    width = 0.5
    while True:
        num = ndimage.gaussian_filter(values, width, mode="nearest")
        den = ndimage.gaussian_filter(weights, width, mode="nearest")
        filled = den > 1e-3
        if filled.all() or width > max(grid.shape):
            break
        width *= 2.0
    return np.where(filled, num / np.where(filled, den, 1.0), np.median(values[known]))


def _tile_position(n, centres):
    """Each voxel's position along one axis in tile units (0 at the first
    centre), carried on linearly past the outer centres."""
    x = np.arange(n, dtype=np.float64)
    if len(centres) == 1:
        return np.zeros(n)
    t = np.interp(x, centres, np.arange(len(centres), dtype=np.float64))
    first = (x - centres[0]) / (centres[1] - centres[0])
    last = len(centres) - 1 + (x - centres[-1]) / (centres[-1] - centres[-2])
    return np.where(x < centres[0], first, np.where(x > centres[-1], last, t))


def _weights(position, count):
    """The linear interpolation along one axis as a matrix: voxel x takes
    (1 - f) of grid point i and f of i + 1, where position[x] = i + f
    (i kept inside the grid of `count` points)."""
    i = np.clip(np.floor(position).astype(int), 0, count - 2)
    f = position - i
    w = np.zeros((len(position), count))
    rows = np.arange(len(position))
    w[rows, i] = 1.0 - f
    w[rows, i + 1] = f
    return w


def _map_of(data, rician, cap, coils):
    """One map of the spatial shape of data (3-D, or 4-D pooled)."""
    shape = data.shape[:3]
    grid, centres = _tile_sigmas(data, rician, cap, coils)
    smooth = _smoothed(grid)
    if smooth is None:
        raise ValueError("estimate_sigma_map: no tile of the volume holds enough data for a "
                         "noise estimate")
    # Trilinear interpolation between the tile centres, on the grid padded
    # by one tile of linear extrapolation (2 g[0] - g[1]) for the voxels
    # past the outermost centres (half a tile at most), kept above half the
    # smallest tile value. On a grid it is three linear interpolations, one
    # axis after another: a few small matrix products instead of a lookup
    # per voxel, the last one writing the Fortran-ordered map directly (the
    # transpose of its C-ordered result).
    padded = np.pad(smooth, 1, mode="reflect", reflect_type="odd")
    w = [_weights(_tile_position(n, c) + 1.0, g)
         for n, c, g in zip(shape, centres, padded.shape)]
    slab = np.tensordot(w[2], padded, axes=([1], [2]))               # (k, a, b)
    slab = np.tensordot(slab, w[1], axes=([2], [1])).transpose(0, 2, 1)  # (k, j, a)
    out = np.tensordot(slab, w[0], axes=([2], [1])).T                  # (i, j, k)
    return np.maximum(out, 0.5 * smooth.min(), out=out)


def noise_variation(volume, rician, cap, coils):
    """How far the noise level varies over a 3-D float64 Fortran-ordered
    volume: the 90th over the 10th percentile of the estimates of an
    eighth of its tiles; NaN when too few of them hold an estimate."""
    grid, _ = _tile_sigmas(volume, rician, cap, coils, every=VARIATION_EVERY)
    values = grid[np.isfinite(grid)]
    if values.size < VARIATION_TILES:
        return math.nan
    low, high = np.percentile(values, [10, 90])
    return float(high / low)


def estimate_sigma_map(vol, rician=True, per_volume=False, threads=None, coils=1):
    """A smooth map of the noise standard deviation over the field of view.

    vol: a 3-D volume, or a 4-D series (volumes along the last axis); any
    real dtype. rician: True for magnitude images. For a series the map is
    one, pooled over the volumes (which share their coils and so their noise
    pattern), of the spatial shape; per_volume=True gives one map per
    volume, of vol's shape. threads: as for estimate_sigma. coils: the
    receive channels of a sum-of-squares magnitude (as estimate_sigma's):
    the map is then of each channel's sigma.

    The map's median is close to the scalar estimate (estimate_sigma) when
    the noise is uniform, within the tiles' few percent. A map is only as
    fine as its tiles (TILE voxels): noise that changes faster than that
    comes out smoothed. Raises ValueError when no tile holds enough data.
    """
    data = as_volumes(vol, "estimate_sigma_map: vol must be a 3-D or 4-D array of real numbers")
    cap = thread_cap(threads, "estimate_sigma_map")
    if per_volume and data.ndim == 4:
        return np.stack([_map_of(v, bool(rician), cap, coils) for v in volumes_of(data)],
                        axis=3)
    return _map_of(data, bool(rician), cap, coils)


class MapUse:
    """How a noise map enters denoise(): each volume is multiplied by
    median/map, which leaves noise of the median's sigma wherever the map
    is right, denoised at that one sigma, and divided by it again. A
    constant map's factor is exactly 1, so its call has the scalar call's
    bits.

    The volume's passes cost some 5% of a quillon call on a T1 volume, so
    each is made once: the map is taken in the volumes' (Fortran) order,
    its range is read in one pass that also finds NaN and infinity, its
    median from a view in memory order, and a 3-D map's factor is made
    once for every volume of a series."""

    def __init__(self, sigma_map, shape, source):
        m = np.asfortranarray(sigma_map, dtype=np.float64)
        if m.shape != shape[:3] and m.shape != shape:
            raise ValueError(f"denoise: the sigma map's shape {m.shape} differs from the "
                             f"volume's {shape[:3]}")
        low, high = (float(m.min()), float(m.max())) if m.size else (math.nan, math.nan)
        if not (math.isfinite(low) and math.isfinite(high) and low > 0.0):
            raise ValueError("denoise: a sigma map must be finite and above 0 everywhere "
                             "(fill voxels without an estimate with a neighbour's value)")
        self.map, self.source, self.range = m, source, [low, high]
        count = 1 if m.ndim == 3 else m.shape[3]
        self.medians = [float(np.median(self.of(t).ravel(order="K"))) for t in range(count)]
        self._shared = self._factor(0) if m.ndim == 3 else None

    def of(self, t):
        return self.map if self.map.ndim == 3 else self.map[..., t]

    def median(self, t):
        return self.medians[0] if self.map.ndim == 3 else self.medians[t]

    def _factor(self, t):
        return np.divide(self.median(t), self.of(t))

    def flattened(self, v, t):
        """v with its noise made uniform at median(t) (a new array, the
        caller's to change), and the factor a result is divided by to take
        it back."""
        factor = self._shared if self._shared is not None else self._factor(t)
        return np.multiply(v, factor, order="F"), factor

    def record(self):
        """What the sidecar and the result record about the map."""
        medians = self.medians
        return {"File": self.source, "Median": medians[0] if len(medians) == 1 else medians,
                "Range": self.range}


def sigma_map_argument(sigma, shape):
    """Whether denoise()'s sigma is a map (an array of the volume's spatial
    shape, or of its whole shape) rather than one sigma or one per volume."""
    return np.ndim(sigma) >= 3 and math.prod(np.shape(sigma)) > 1 and len(shape) >= 3

