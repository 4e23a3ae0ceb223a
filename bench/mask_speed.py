"""Masked against unmasked denoise() on the Colin27 T1 (181x217x181, Rician
noise at 3% of its maximum, sigma given): median wall seconds of each, and
their ratio, for brain masks of about a quarter and about a half of the
volume (the skull-stripped template's brain, and that brain grown until it
holds half the voxels). Also checks that the voxels inside hold the
unmasked bits.

Usage: .venv/bin/python bench/mask_speed.py [RUNS] [THREADS]
"""
import sys

import nibabel as nib
import numpy as np

import denoisers
from brain_timing import median_seconds, noisy_t1
from denoisers.pipeline import _grown

TEMPLATES = "/usr/share/mricron/templates/"


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else None
    clean, noisy, sigma = noisy_t1()
    brain = nib.load(TEMPLATES + "ch2bet.nii.gz").get_fdata() > 0
    half = brain
    while half.mean() < 0.5:
        half = _grown(half, 1).astype(bool)
    print(f"Colin27 T1 {clean.shape}, Rician sigma {sigma:.2f}, threads "
          f"{threads or 'all'}, median of {runs}")
    print(f"{'mask':<22}{'method':<18}{'unmasked s':>11}{'masked s':>10}{'ratio':>7}  inside")
    for name, mask in (("brain", brain), ("brain grown", half)):
        for method in ("quillon", "quillon+tessary"):
            def call(m=None):
                return denoisers.denoise(noisy, sigma, method=method, mask=m, threads=threads)[0]
            full, masked = call(), call(mask)
            same = np.array_equal(full[mask], masked[mask])
            t_full = median_seconds(call, runs)
            t_masked = median_seconds(lambda: call(mask), runs)
            print(f"{name + f' ({mask.mean():.0%})':<22}{method:<18}{t_full:>11.2f}"
                  f"{t_masked:>10.2f}{t_masked / t_full:>7.2f}  {'same bits' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
