"""The expected speed-up of quillon's passes past eight threads.

Each pass cuts its block-start slices into 8 slabs; with 8 * B threads each
slab's block-start columns are cut into B bands run as a wavefront: a band
starts a row (a start slice) once the band on its left has finished that
row and the band on its right has done the first three columns of the row
before. This model counts each band's work per row on a real volume, in
blocks (a block that holds no positive value is skipped, at a twentieth of
a block's cost), replays the wavefront's waits, and prints the critical
path of a pass and the speed-up over one core at 16, 32 and 64 cores (the
per-voxel stages around the passes split over any number of threads and
are left out). Usage:

    .venv/bin/python bench/wavefront_model.py [--clean]

--clean models the template as it is (its zero background skipped);
without it the volume carries 3% Rician noise, as a scan does, and every
block works.
"""
import argparse

import nibabel as nib
import numpy as np
from scipy import ndimage

TEMPLATE = "/usr/share/mricron/templates/ch2.nii.gz"
SLABS = 8
LEAST_BAND_COLUMNS = 8
HEAD = 3
SKIP_COST = 0.05


def block_costs(volume):
    """cost[r0, c0, s0] of every block start: 1, or SKIP_COST for a block
    whose largest value is not positive."""
    largest = ndimage.maximum_filter(volume, size=4, origin=(-2, -2, -2), mode="nearest")
    starts = largest[:-3, :-3, :-3]
    return np.where(starts > 0.0, 1.0, SKIP_COST)


def slab_bounds(slices):
    d = slices - 4
    return [(k * d // SLABS, d if k == SLABS - 1 else (k + 1) * d // SLABS - 1)
            for k in range(SLABS)]


def pass_time(costs, bands):
    """The wavefront's critical path over the slabs (each slab's bands on
    threads of their own), in blocks."""
    rows_of_blocks, columns, slices = costs.shape
    per_column = costs.sum(axis=0)  # [c0, s0]
    edges = [b * columns // bands for b in range(bands + 1)]
    longest = 0.0
    for first, last in slab_bounds(slices + 3):
        finish = np.zeros(bands)   # each band's finish of its previous row
        heads = np.zeros(bands)    # each band's finish of its first columns, previous row
        for s0 in range(first, last + 1):
            new_finish, new_heads = np.zeros(bands), np.zeros(bands)
            for b in range(bands):
                start = finish[b]
                if b > 0:
                    start = max(start, new_finish[b - 1])
                if b + 1 < bands:
                    start = max(start, heads[b + 1])
                work = per_column[edges[b]:edges[b + 1], s0]
                new_heads[b] = start + work[:HEAD].sum()
                new_finish[b] = start + work.sum()
            finish, heads = new_finish, new_heads
        longest = max(longest, finish.max())
    return longest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clean", action="store_true")
    args = parser.parse_args()
    volume = np.asanyarray(nib.load(TEMPLATE).dataobj).astype(np.float64)
    if not args.clean:
        rng = np.random.default_rng(1)
        sigma = 0.03 * volume.max()
        volume = np.hypot(volume + rng.normal(0, sigma, volume.shape),
                          rng.normal(0, sigma, volume.shape))
    costs = block_costs(volume)
    total = costs.sum()
    print(f"{'x'.join(map(str, volume.shape))} voxels, "
          f"{'the template as it is' if args.clean else '3% Rician noise'}: "
          f"{costs.size} block starts, {total:.0f} block costs per pass")
    print(f"{'cores':>5s} {'bands':>5s} {'critical path':>14s} {'speed-up':>8s} {'efficiency':>10s}")
    for cores in (1, 8, 16, 32, 64):
        threads = min(cores, SLABS)
        bands = max(1, min(cores // SLABS, costs.shape[1] // LEAST_BAND_COLUMNS))
        if cores < SLABS:
            path = total / cores  # slabs shared by the threads, as lanes
        else:
            path = pass_time(costs, bands)
        print(f"{cores:5d} {bands:5d} {path:14.0f} {total / path:8.1f} "
              f"{total / path / max(cores, threads):10.0%}")


if __name__ == "__main__":
    main()
