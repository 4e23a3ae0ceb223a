"""Denoises a synthetic head-like volume with Rician noise and prints how far
each stage is from the clean volume.

Usage: demo.py BUILD_DIR OUT_DIR
"""
import subprocess
import sys
import time
from pathlib import Path

import numpy as np


def phantom(shape):
    """Nested ellipsoids with a few small spheres, values from 0 to 220."""
    z, y, x = np.meshgrid(*[np.linspace(-1, 1, n) for n in shape], indexing="ij")
    r = lambda a, b, c: (x / a) ** 2 + (y / b) ** 2 + (z / c) ** 2
    vol = np.zeros(shape)
    vol[r(0.9, 0.8, 0.85) <= 1] = 70.0
    vol[r(0.8, 0.7, 0.75) <= 1] = 140.0
    vol[r(0.55, 0.5, 0.5) <= 1] = 220.0
    for cx, cy, cz, rad, val in [(0.3, 0.2, 0.1, 0.12, 90.0), (-0.35, -0.1, 0.2, 0.1, 180.0),
                                 (0.0, 0.45, -0.3, 0.08, 40.0)]:
        vol[(x - cx) ** 2 + (y - cy) ** 2 + (z - cz) ** 2 <= rad ** 2] = val
    return vol


def run(build, mex, args, outputs):
    cmd = [str(build / "mexrun"), str(build / mex), *map(str, args)]
    for o in outputs:
        cmd += ["-o", str(o)]
    start = time.perf_counter()
    subprocess.run(cmd, check=True)
    return time.perf_counter() - start


def main():
    build, out = Path(sys.argv[1]), Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    clean = phantom((96, 96, 72))
    sigma = 0.05 * clean.max()
    rng = np.random.default_rng(2024)
    noisy = np.sqrt((clean + rng.normal(0, sigma, clean.shape)) ** 2
                    + rng.normal(0, sigma, clean.shape) ** 2)
    np.save(out / "clean.npy", clean)
    np.save(out / "noisy.npy", noisy)

    t_q = run(build, "quillon.mexa64", [out / "noisy.npy", sigma, 1],
              [out / "quillon.npy", out / "quillon_first.npy"])
    t_t = run(build, "tessary.mexa64",
              [out / "noisy.npy", 3, 1, sigma, out / "quillon.npy", 1], [out / "tessary.npy"])

    head = clean > 0.1 * clean.max()
    peak = clean.max()

    def report(name, vol, seconds=None):
        err = vol - clean
        rmse = np.sqrt(np.mean(err ** 2))
        psnr = 20 * np.log10(peak / np.sqrt(np.mean(err[head] ** 2)))
        timing = f"{seconds:6.2f} s" if seconds is not None else "       "
        print(f"{name:<28} RMSE {rmse:7.3f}   PSNR(head) {psnr:6.2f} dB   {timing}")

    print(f"volume {clean.shape}, Rician noise sigma = {sigma:.1f}")
    report("noisy", noisy)
    report("quillon, first estimate", np.load(out / "quillon_first.npy"))
    report("quillon", np.load(out / "quillon.npy"), t_q)
    report("tessary (guided by quillon)", np.load(out / "tessary.npy"), t_t)
    print(f"volumes saved in {out}/")


if __name__ == "__main__":
    main()
