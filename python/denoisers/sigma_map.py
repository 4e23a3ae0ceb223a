"""A map of the noise level across the field of view, for scans whose noise
varies (parallel imaging's g-factor, coil sensitivities), and its use by
denoise().

The map is made from the scalar estimator itself (denoisers.sigma, the C++
core): the volume is cut into tiles of about TILE voxels a side and each
tile gets its own estimate (the Rayleigh fit where a tile holds air, the
tissue's wavelet estimate elsewhere). Tiles without an estimate (too little
data, a constant zero background) are filled from their neighbours, the
tile values are median-filtered against a stray fit and smoothed, and the
result is interpolated to every voxel, held constant beyond the outermost
tile centres. So the map is smooth by construction: it follows noise that
changes over some tiles, not from voxel to voxel.
"""
import math
import warnings

import numpy as np

from . import _core
from .filters import as_volumes, thread_cap, volumes_of

TILE = 24  # voxels a side: some 1700 2x2x2 blocks per tile, a few percent error each


def _edges(n):
    count = max(1, round(n / TILE))
    return np.linspace(0, n, count + 1).round().astype(int)


def _tile_sigmas(data, rician, cap):
    """The estimate of each tile of a 3-D volume or a 4-D series (pooled
    over its volumes), NaN where there is none; and the tiles' centres."""
    edges = [_edges(n) for n in data.shape[:3]]
    grid = np.full([len(e) - 1 for e in edges], np.nan)
    for i, j, k in np.ndindex(grid.shape):
        tile = data[edges[0][i]:edges[0][i + 1], edges[1][j]:edges[1][j + 1],
                    edges[2][k]:edges[2][k + 1]]
        try:
            pooled, _ = _core.noise_sigma_series(np.asfortranarray(tile), rician, cap)
        except ValueError:  # too few non-zero blocks: a tile of zeros
            continue
        if pooled["estimator"] in ("background", "tissue") and pooled["sigma"] > 0.0:
            grid[i, j, k] = pooled["sigma"]
    centres = [(e[:-1] + e[1:] - 1) / 2.0 for e in edges]
    return grid, centres


def _smoothed(grid):
    """The tile estimates with their holes filled, a stray one replaced by
    its neighbourhood's median, and smoothed over about a tile."""
    from scipy import ndimage

    known = np.isfinite(grid)
    if not known.any():
        return None
    # A neighbourhood's median of the known tiles (NaN-aware) for each known
    # tile: one fit caught on a dark structure cannot bend the map.
    padded = np.pad(np.where(known, grid, np.nan), 1, mode="edge")
    windows = np.lib.stride_tricks.sliding_window_view(padded, (3, 3, 3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        local = np.nanmedian(windows.reshape(grid.shape + (27,)), axis=-1)
    values = np.where(known, local, 0.0)
    weights = known.astype(np.float64)
    # Normalised smoothing: holes take their neighbours' weighted mean; a
    # hole too far from any estimate takes the median of them all.
    width = 1.0
    while True:
        num = ndimage.gaussian_filter(values, width, mode="nearest")
        den = ndimage.gaussian_filter(weights, width, mode="nearest")
        filled = den > 1e-3
        if filled.all() or width > max(grid.shape):
            break
        width *= 2.0
    out = np.where(filled, num / np.where(filled, den, 1.0), np.median(local[known]))
    return out


def _map_of(data, rician, cap):
    """One map of the spatial shape of data (3-D, or 4-D pooled)."""
    from scipy import ndimage

    shape = data.shape[:3]
    grid, centres = _tile_sigmas(data, rician, cap)
    smooth = _smoothed(grid)
    if smooth is None:
        raise ValueError("estimate_sigma_map: no tile of the volume holds enough data for a "
                         "noise estimate")
    # Each voxel's position in tile units (clamped: constant beyond the
    # outermost centres), then trilinear interpolation between the centres.
    axes = [np.clip(np.interp(np.arange(n), c, np.arange(len(c))), 0, len(c) - 1)
            for n, c in zip(shape, centres)]
    coords = np.meshgrid(*axes, indexing="ij", sparse=True)
    coords = [np.broadcast_to(c, shape) for c in coords]
    out = ndimage.map_coordinates(smooth, coords, order=1, mode="nearest")
    return np.asfortranarray(out, dtype=np.float64)


def estimate_sigma_map(vol, rician=True, per_volume=False, threads=None):
    """A smooth map of the noise standard deviation over the field of view.

    vol: a 3-D volume, or a 4-D series (volumes along the last axis); any
    real dtype. rician: True for magnitude images. For a series the map is
    one, pooled over the volumes (which share their coils and so their noise
    pattern), of the spatial shape; per_volume=True gives one map per
    volume, of vol's shape. threads: as for estimate_sigma.

    The map's median is close to the scalar estimate (estimate_sigma) when
    the noise is uniform, within the tiles' few percent. A map is only as
    fine as its tiles (TILE voxels): noise that changes faster than that
    comes out smoothed. Raises ValueError when no tile holds enough data.
    """
    data = as_volumes(vol, "estimate_sigma_map: vol must be a 3-D or 4-D array of real numbers")
    cap = thread_cap(threads, "estimate_sigma_map")
    if per_volume and data.ndim == 4:
        return np.stack([_map_of(v, bool(rician), cap) for v in volumes_of(data)], axis=3)
    return _map_of(data, bool(rician), cap)


class MapUse:
    """How a noise map enters denoise(): each volume is multiplied by
    median/map, which leaves noise of the median's sigma wherever the map
    is right, denoised at that one sigma, and multiplied back."""

    def __init__(self, sigma_map, shape, source):
        m = np.asarray(sigma_map, dtype=np.float64)
        if m.shape != shape[:3] and m.shape != shape:
            raise ValueError(f"denoise: the sigma map's shape {m.shape} differs from the "
                             f"volume's {shape[:3]}")
        if not np.all(np.isfinite(m)) or m.min() <= 0.0:
            raise ValueError("denoise: a sigma map must be finite and above 0 everywhere "
                             "(fill voxels without an estimate with a neighbour's value)")
        self.map, self.source = m, source

    def of(self, t):
        return self.map if self.map.ndim == 3 else self.map[..., t]

    def median(self, t):
        return float(np.median(self.of(t)))

    def flattened(self, v, t):
        """v with its noise made uniform at median(t), and the factor that
        takes a result back."""
        back = self.of(t) / self.median(t)
        return v / back, back

    def record(self):
        """What the sidecar and the result record about the map."""
        medians = [self.median(t) for t in range(1 if self.map.ndim == 3 else self.map.shape[3])]
        return {"File": self.source, "Median": medians[0] if len(medians) == 1 else medians,
                "Range": [float(self.map.min()), float(self.map.max())]}


def sigma_map_argument(sigma, shape):
    """Whether denoise()'s sigma is a map (an array of the volume's spatial
    shape, or of its whole shape) rather than one sigma or one per volume."""
    return np.ndim(sigma) >= 3 and math.prod(np.shape(sigma)) > 1 and len(shape) >= 3

