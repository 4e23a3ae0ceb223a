"""Chunked denoising from disk to disk on a dask.distributed LocalCluster.

Builds a float32 zarr volume of the given shape from tiles of the Colin27 T1
(181x217x181) with Rician noise at 5% of its maximum (sigma 12.7, a seed per
chunk), then denoises it into another zarr store with `denoisers denoise
--chunks` semantics on a LocalCluster of 2 single-threaded workers, and
prints the wall time, the peak resident memory of the whole run (this
process, the scheduler, the nannies and the workers, summed at each sample)
and the voxels per second, beside the throughput of one whole-volume call on
the 181x217x181 volume in this process.

Usage: .venv/bin/python bench/chunked_zarr.py [--shape 1536 1536 1024] [--chunks 256]
           [--method quillon] [--dir DIR] [--keep]

The default shape is the full 1536x1536x1024 (2.4e9 voxels, 9.7 GB of
float32 on disk, twice that with the output); --shape 512 512 384 finishes in
a few minutes on a 2-core machine.
"""
import argparse
import shutil
import tempfile
import threading
import time
from pathlib import Path

import dask.array as da
import nibabel as nib
import numpy as np
import psutil
import zarr

import denoisers
from brain_timing import T1, median_seconds, noisy_t1
from denoisers import chunked

SIGMA = 12.7  # 5% of the T1's maximum (254)


def _tile_block(block_info=None, clean=None):
    """One chunk of the tiled volume with Rician noise, seeded by its place."""
    loc = block_info[None]["array-location"]
    index = np.ix_(*[np.arange(a, b) % n for (a, b), n in zip(loc, clean.shape)])
    truth = clean[index]
    rng = np.random.default_rng([a for a, _ in loc])
    n1 = rng.standard_normal(truth.shape) * SIGMA
    n2 = rng.standard_normal(truth.shape) * SIGMA
    return np.sqrt((truth + n1) ** 2 + n2 ** 2).astype(np.float32)


def build_volume(path, shape, chunks, clean):
    vol = da.map_blocks(_tile_block, chunks=da.core.normalize_chunks(chunks, shape),
                        dtype=np.float32, clean=clean, meta=np.empty((0, 0, 0), np.float32))
    da.to_zarr(vol, str(path), overwrite=True)


class PeakMemory:
    """Samples the summed resident memory of this process and its
    descendants every `every` seconds, in a thread, until stopped."""

    def __init__(self, every=0.25):
        self.every, self.peak, self._stop = every, 0, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        me = psutil.Process()
        while not self._stop.is_set():
            total = 0
            for p in [me] + me.children(recursive=True):
                try:
                    total += p.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total)
            time.sleep(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def single_call_rate(method, runs=3):
    """Voxels per second of one whole-volume call on the noisy T1, the
    median of `runs`."""
    _, noisy, sigma = noisy_t1(SIGMA / 254)
    seconds = median_seconds(lambda: denoisers.denoise(noisy, sigma=sigma, method=method), runs)
    return noisy.size / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shape", type=int, nargs=3, default=[1536, 1536, 1024])
    parser.add_argument("--chunks", type=int, default=256)
    parser.add_argument("--method", default="quillon", choices=denoisers.pipeline.METHODS)
    parser.add_argument("--dir", help="folder for the two zarr stores (default: a new "
                        "temporary folder under /tmp)")
    parser.add_argument("--keep", action="store_true", help="keep the stores")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    folder = Path(args.dir or tempfile.mkdtemp(prefix="chunked-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    src, dst = folder / "noisy.zarr", folder / "denoised.zarr"
    clean = nib.load(T1).get_fdata(dtype=np.float64)
    shape = tuple(args.shape)
    voxels = int(np.prod(shape))
    print(f"volume {'x'.join(map(str, shape))} float32 ({voxels:.3g} voxels, "
          f"{voxels * 4 / 1e9:.2f} GB), chunks {args.chunks}^3, {args.method}, "
          f"2 workers x 1 thread")
    # On the idle machine, before the cluster starts.
    single = single_call_rate(args.method)
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            start = time.perf_counter()
            build_volume(src, shape, args.chunks, clean)
            print(f"built {src} in {time.perf_counter() - start:.1f} s")
            with PeakMemory() as memory:
                start = time.perf_counter()
                # The zarr array itself: each chunk reads its own region.
                noisy = zarr.open_array(str(src), mode="r")
                out = chunked.denoise(noisy, SIGMA, True, args.method)
                da.to_zarr(out, str(dst), overwrite=True)
                seconds = time.perf_counter() - start
        rate = voxels / seconds
        print(f"denoised disk to disk in {seconds:.1f} s: {rate:.3g} voxels/s")
        print(f"peak resident memory of the run: {memory.peak / 2**30:.2f} GiB")
        print(f"one whole-volume call on 181x217x181 (median of 3): {single:.3g} voxels/s; "
              f"chunked/single = {rate / single:.2f}")
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
