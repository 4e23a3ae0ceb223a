"""denoise() for dask arrays: a volume of any size, one chunk at a time.

Each chunk is filtered together with a halo of its neighbours, wide enough
that every voxel of the chunk sees exactly what it sees in the whole-volume
call, and the halo is cut off again:

- quillon averages every 4x4x4 block that holds a voxel, so its first
  estimate of a voxel reads the input up to three voxels away, and its
  second pass reads the first estimate up to three further: 6 voxels.
- tessary weighs the voxels within the search radius by their guide values
  and by the local means of the guide, which reach one voxel further:
  radius + 1 voxels, on the noisy volume and the guide alike. The guide is
  itself the chunked quillon result, so its halo voxels are exact too.

At the faces of the volume no halo is added, so the filters meet the same
edges as in the whole-volume call. What the whole call derives from the
volume as a whole (the smallest value under Gaussian noise, the largest
magnitude that caps the working scale, and the largest working value that
sizes quillon's Rician table) is computed first, over all chunks, and handed
to every chunk. So is where the chunk lies along the slices: the cores then
cut their worker slabs where the whole call cuts them, and every voxel
receives its additions in the whole call's order. tessary takes the
centres of a column in groups of eight rows, aligned with the volume's
first row, so its chunks start at multiples of eight rows (chunk boundaries and
the halo along the rows are rounded to them). The result is then
denoisers.denoise's, bit for bit.

A dask array's chunks take their halos from their neighbours
(dask.array.map_overlap): a chunk waits for its neighbours' input, so a band
of the volume a few chunks thick is in memory at once. An array that reads
any region when sliced (a zarr array, a NIfTI file's voxels) is read region
by region instead: each chunk's task reads its own region with its halo,
filters it and cuts the halo off, so no task waits for another and memory
stays at a few chunks however large the volume. With tessary such a task
runs quillon on a region wide enough for the guide to be exact in tessary's
whole halo (tessary's halo plus quillon's 6 voxels) instead of reading the
neighbours' guide.

Nothing here depends on the scheduler: the graph runs on dask's threads, on
processes, or on a dask.distributed cluster, and a lost chunk is simply
computed again with the same bits.
"""
import itertools
import math
from functools import partial

import dask
import dask.base
import dask.highlevelgraph
import dask.array as da
import numpy as np

from . import _core, sigma as _sigma
from .output_checks import NEGATIVE_SIGMAS, judge_negatives
from .pipeline import METHODS, Working

QUILLON_HALO = 6
# tessary takes a column's centres in groups of ROW_GRID rows, aligned with
# the whole volume's first row, on every instruction set.
ROW_GRID = 8


def tessary_halo(radius):
    """The halo tessary needs: the search radius plus the local mean's one
    voxel."""
    return radius + 1


def _up(n, step):
    return -(-n // step) * step


def tessary_depth(radius):
    """tessary's halo per axis: along the rows, rounded up to ROW_GRID."""
    width = tessary_halo(radius)
    return {0: _up(width, ROW_GRID), 1: width, 2: width}


def halo(method, radius):
    """The widest halo any stage of `method` needs, per axis, in voxels."""
    if "tessary" not in method:
        return {axis: QUILLON_HALO for axis in range(3)}
    return {axis: max(QUILLON_HALO, d) for axis, d in tessary_depth(radius).items()}


def enlarged_chunks(chunks, width):
    """The chunk sizes of each axis with every chunk smaller than the axis's
    `width` (a number, or a dict by axis) merged into its neighbour (the one
    before it, or the one after the first), so that a halo of that many
    voxels comes from the next chunk alone. An axis shorter than its width
    becomes one chunk."""
    result = []
    for axis, sizes in enumerate(chunks):
        least = width[axis] if isinstance(width, dict) else width
        merged = []
        for n in sizes:
            if merged and (n < least or merged[-1] < least):
                merged[-1] += n
            else:
                merged.append(n)
        result.append(tuple(merged))
    return tuple(result)


def on_row_grid(sizes):
    """Chunk sizes along the rows whose boundaries fall on multiples of
    ROW_GRID: each inner boundary moves down to one (a chunk that would
    vanish joins its neighbour)."""
    bounds, total = [], 0
    for n in sizes[:-1]:
        total += n
        b = total // ROW_GRID * ROW_GRID
        if b > (bounds[-1] if bounds else 0):
            bounds.append(b)
    end = sum(sizes)
    edges = [0] + [b for b in bounds if b < end] + [end]
    return tuple(edges[k + 1] - edges[k] for k in range(len(edges) - 1))


def _first_slice(block_id, slice_chunks, depth):
    """The whole volume's slice where a chunk with its halo starts."""
    k = block_id[2]
    return sum(slice_chunks[:k]) - (depth if k > 0 else 0)


def _quillon_block(block, w, slices, block_id=None):
    """quillon of one chunk with its halo, in working units, cut into the
    whole call's slabs. slices: the slice axis's chunk sizes."""
    return _core.quillon(w.into(block), w.sigma, w.flag, False, w.table_largest,
                         whole_slices=sum(slices),
                         first_slice=_first_slice(block_id, slices, QUILLON_HALO))


def _finish_block(out, w, dtype):
    return w.back(np.array(out, dtype=np.float64, order="F"), dtype)


def _tessary_block(block, guide, w, radius, dtype, slices, block_id=None):
    """tessary of one chunk with its halo, guided by the chunked quillon
    result (working units), back in the input's units."""
    out = _core.tessary(w.into(block), float(radius), w.sigma,
                        np.asfortranarray(guide, dtype=np.float64), w.flag,
                        whole_slices=sum(slices),
                        first_slice=_first_slice(block_id, slices, tessary_halo(radius)))
    return w.back(out, dtype)


def _reach(method, radius):
    """How far around a chunk a region-read task reads, per axis: quillon's
    halo, plus tessary's when quillon must make tessary's guide there."""
    if "tessary" not in method:
        return {axis: QUILLON_HALO for axis in range(3)}
    return {axis: d + QUILLON_HALO for axis, d in tessary_depth(radius).items()}


_DIRECTIONS = [d for d in itertools.product((-1, 0, 1), repeat=3) if d != (0, 0, 0)]


def _side(d, start, stop, width):
    """Along one axis, the voxels of [start, stop) that a neighbour in
    direction d (-1 before, +1 after, 0 beside) reads, `width` deep."""
    return slice(start, stop) if d == 0 else (
        slice(start, min(stop, start + width)) if d < 0 else slice(max(start, stop - width), stop))


# The edge of the tiles _copy moves at a time: a 64x64 tile of doubles
# across the two axes that swap their strides fits the cache twice over.
_TILE = 64


def _copy(target, source):
    """target[...] = source, tile by tile across the first and last axes.
    A zarr region comes in C order and the filters take Fortran order: one
    strided copy of the whole region runs across memory on one side or the
    other and costs three times as much."""
    for i in range(0, source.shape[0], _TILE):
        for k in range(0, source.shape[2], _TILE):
            target[i:i + _TILE, :, k:k + _TILE] = source[i:i + _TILE, :, k:k + _TILE]


def _faces(source, loc, width):
    """What the neighbours of the chunk at loc read of it: for each
    direction, the chunk's voxels within `width` of that face, edge or
    corner. The chunk is read once and only these thin pieces are kept, so a
    chunk's neighbours never hold the whole of it."""
    chunk = np.asarray(source[tuple(slice(a, b) for a, b in loc)])
    pieces = []
    for d in _DIRECTIONS:
        index = tuple(_side(d[a], 0, loc[a][1] - loc[a][0], width[a]) for a in range(3))
        pieces.append(chunk[index].copy())
    return pieces


def _region_block(source, loc, neighbours, w, method, radius, dtype):
    """The whole filtering of the chunk at loc: its own voxels read from
    source, its halo assembled from the neighbours' faces (one list of
    pieces per direction, None past the volume); back in the input's units."""
    shape = source.shape
    width = _reach(method, radius)
    lo = [max(0, loc[a][0] - width[a]) for a in range(3)]
    hi = [min(shape[a], loc[a][1] + width[a]) for a in range(3)]
    x = np.empty([hi[a] - lo[a] for a in range(3)], dtype=np.float64, order="F")
    own = tuple(slice(loc[a][0] - lo[a], loc[a][1] - lo[a]) for a in range(3))
    _copy(x[own], np.asarray(source[tuple(slice(a, b) for a, b in loc)]))
    for d, pieces in zip(_DIRECTIONS, neighbours):
        if pieces is None:
            continue
        # The neighbour in direction d keeps what it gives us under -d.
        piece = pieces[_DIRECTIONS.index(tuple(-v for v in d))]
        index = tuple(own[a] if d[a] == 0 else slice(0, own[a].start) if d[a] < 0
                      else slice(own[a].stop, hi[a] - lo[a]) for a in range(3))
        x[index] = piece
    x = w.into_own(x)
    out = _core.quillon(x, w.sigma, w.flag, False, w.table_largest,
                        whole_slices=shape[2], first_slice=lo[2])
    if "tessary" in method:
        depth = tessary_depth(radius)
        t_lo = [max(0, loc[a][0] - depth[a]) for a in range(3)]
        t_hi = [min(shape[a], loc[a][1] + depth[a]) for a in range(3)]
        inner = tuple(slice(t_lo[a] - lo[a], t_hi[a] - lo[a]) for a in range(3))
        out = _core.tessary(np.asfortranarray(x[inner]), float(radius), w.sigma,
                            np.asfortranarray(out[inner]), w.flag,
                            whole_slices=shape[2], first_slice=t_lo[2])
        lo = t_lo
    keep = tuple(slice(loc[a][0] - lo[a], loc[a][1] - lo[a]) for a in range(3))
    return w.back(np.divide(out[keep], w.scale, order="F"), dtype, scaled=True)


def _by_regions(source, chunks, w, method, radius, dtype):
    """The lazy result over `chunks` (each at least the reach deep), each
    chunk read once for itself and once for its neighbours' halos."""
    width = _reach(method, radius)
    token = dask.base.tokenize(source.shape, chunks, w.__dict__, method, radius, dtype,
                               getattr(source, "path", None) or id(source))
    faces, name = "chunked-faces-" + token, "chunked-denoise-" + token
    starts = [np.cumsum((0,) + c) for c in chunks]
    grid = [range(len(c)) for c in chunks]
    graph = {}
    for idx in itertools.product(*grid):
        loc = [(int(starts[a][idx[a]]), int(starts[a][idx[a] + 1])) for a in range(3)]
        graph[(faces,) + idx] = (_faces, source, loc, width)
        near = []
        for d in _DIRECTIONS:
            n = tuple(i + v for i, v in zip(idx, d))
            inside = all(0 <= n[a] < len(chunks[a]) for a in range(3))
            near.append((faces,) + n if inside else None)
        graph[(name,) + idx] = (_region_block, source, loc, near, w, method, radius, dtype)
    hlg = dask.highlevelgraph.HighLevelGraph.from_collections(name, graph, dependencies=[])
    return da.Array(hlg, name, chunks, dtype=dtype, meta=np.empty((0, 0, 0), dtype))


def _check(arr, sigma, method, radius):
    if arr.ndim != 3:
        raise ValueError(f"chunked.denoise: the array must be 3-D; got {arr.ndim} dimensions "
                         "(denoise the volumes of a series one by one)")
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"chunked.denoise: the array must hold real numbers; got {arr.dtype}")
    if method not in METHODS:
        raise ValueError(f"chunked.denoise: method must be one of {', '.join(METHODS)}; "
                         f"got {method!r}")
    if isinstance(radius, bool) or not isinstance(radius, (int, np.integer)) or radius < 0:
        raise ValueError(f"chunked.denoise: radius must be a non-negative integer; got {radius!r}")
    sigma = float(sigma)
    if not (math.isfinite(sigma) and sigma >= 0.0):
        raise ValueError(f"chunked.denoise: sigma must be finite and not negative; got {sigma}")
    return sigma


# The estimate of sigma reads at most this many voxels at once (1 GiB of
# doubles): the whole volume when it holds no more, else slabs of
# SIGMA_SLAB slices spread evenly over it.
SIGMA_BUDGET = 1 << 27
SIGMA_SLAB = 16


def _region(array, index):
    part = array[index]
    return np.asarray(part.compute() if isinstance(part, da.Array) else part, dtype=np.float64)


def estimate_noise(array, rician=True, budget=SIGMA_BUDGET):
    """The noise of a 3-D volume too large for one call, as
    denoisers.estimate_noise gives it for the whole volume: that very call
    when the volume holds at most `budget` voxels, else the same call on
    slabs of SIGMA_SLAB slices spread evenly over the volume, side by side
    (each slab starts at an even slice, so the estimator's 2x2x2 blocks are
    the whole volume's). The NoiseEstimate's sample_shape is what was read.

    array: anything chunked.denoise takes (a dask array, or an array that
    reads any region when sliced)."""
    shape = tuple(array.shape)
    plane = shape[0] * shape[1]
    slices = shape[2]
    if plane * slices <= budget or slices <= SIGMA_SLAB:
        sample = _region(array, (slice(None),) * 3)
    else:
        count = max(1, min(budget // (plane * SIGMA_SLAB), slices // SIGMA_SLAB))
        last = (slices - SIGMA_SLAB) // 2
        starts = [2 * (last * k // max(1, count - 1)) for k in range(count)] if count > 1 \
            else [2 * (last // 2)]
        sample = np.concatenate([_region(array, (slice(None), slice(None),
                                                 slice(s, s + SIGMA_SLAB))) for s in starts],
                                axis=2)
    estimate = _sigma.estimate_noise(np.asfortranarray(sample), rician)
    estimate.sample_shape = sample.shape
    return estimate


def value_range(arr, sigma, rician):
    """(smallest, largest) of a dask array, computed now in one pass; raises
    ValueError when a voxel is NaN or infinite (either then shows). Under
    the Rician model the same pass counts the voxels negative beyond the
    noise, judged as denoisers.denoise judges them."""
    below = (arr < -NEGATIVE_SIGMAS * sigma).sum() if rician else 0
    smallest, largest, below = dask.compute(arr.min(), arr.max(), below)
    smallest, largest = float(smallest), float(largest)
    if not (math.isfinite(smallest) and math.isfinite(largest)):
        raise ValueError("chunked.denoise: the volume holds voxels that are not finite "
                         "numbers (NaN or infinite)")
    judge_negatives(int(below), arr.size, "the volume", stacklevel=4)
    return smallest, largest


def denoise(array, sigma, rician=True, method="quillon", radius=3, chunks=None):
    """Denoises a 3-D volume chunk by chunk; returns a lazy dask array.

    array: a dask array (the result has its shape and chunks), or an array
        that reads any region when sliced, such as a zarr array or a
        chunked_io NIfTI reader (the result has `chunks`, by default the
        array's own or 256^3). From the latter each chunk reads its own
        region with its halo, and memory stays at a few chunks however large
        the volume; a dask array's chunks take their halos from their
        neighbours, which holds a band of the volume in memory. A numpy
        array is taken as a dask array of `chunks`.

    The arguments are those of denoisers.denoise for one volume (sigma must
    be given: the estimate needs the whole volume), and so is the result,
    bit for bit: a float input keeps its dtype, an integer input gives
    float64. The volume's smallest and largest
    values are computed at once, before the lazy array is returned, on the
    current scheduler (a dask.distributed client, if one is active).

    Chunks smaller than the halo (6 voxels for quillon, radius + 1 for
    tessary, along the rows rounded up to 8) are merged into a neighbour
    for the filtering, and with tessary the boundaries along the rows move
    to multiples of 8; the result is given back in the input's chunks.
    """
    regions = not isinstance(array, (da.Array, np.ndarray))
    if isinstance(array, da.Array):
        arr = array
    else:
        arr = da.from_array(array, chunks=chunks or getattr(array, "chunks", None) or 256,
                            asarray=not regions)
    sigma = _check(arr, sigma, method, radius)
    dtype = arr.dtype if arr.dtype.kind == "f" else np.dtype(np.float64)
    if sigma == 0.0 or arr.size == 0:
        return arr.astype(dtype)
    w = Working(*value_range(arr, sigma, rician), sigma, rician)

    radius = int(radius)
    work_chunks = arr.chunks
    if "tessary" in method:
        work_chunks = (on_row_grid(work_chunks[0]),) + work_chunks[1:]
    if regions:
        work_chunks = enlarged_chunks(work_chunks, _reach(method, radius))
        out = _by_regions(array, work_chunks, w, method, radius, dtype)
        return out.rechunk(arr.chunks) if work_chunks != arr.chunks else out
    work_chunks = enlarged_chunks(work_chunks, halo(method, radius))
    src = arr.rechunk(work_chunks) if work_chunks != arr.chunks else arr
    slices = work_chunks[2]
    guide = da.map_overlap(partial(_quillon_block, w=w, slices=slices), src,
                           depth=QUILLON_HALO, boundary="none", dtype=np.float64,
                           allow_rechunk=False)
    if "tessary" in method:
        out = da.map_overlap(partial(_tessary_block, w=w, radius=radius, dtype=dtype,
                                     slices=slices),
                             src, guide, depth=tessary_depth(radius), boundary="none",
                             dtype=dtype, allow_rechunk=False)
    else:
        out = guide.map_blocks(partial(_finish_block, w=w, dtype=dtype), dtype=dtype)
    return out.rechunk(arr.chunks) if work_chunks != arr.chunks else out
