"""What the Python benchmarks on the Colin27 T1 share: the volume with
Rician noise, and the median wall time of a call."""
import statistics
import time

import nibabel as nib
import numpy as np

T1 = "/usr/share/mricron/templates/ch2.nii.gz"


def noisy_t1(fraction=0.03, seed=0):
    """(clean, noisy, sigma): the T1 (181x217x181) and it with Rician noise
    of sigma = fraction of its maximum, Fortran-ordered."""
    clean = nib.load(T1).get_fdata()
    sigma = fraction * clean.max()
    rng = np.random.default_rng(seed)
    noisy = np.asfortranarray(np.sqrt((clean + sigma * rng.standard_normal(clean.shape)) ** 2
                                      + (sigma * rng.standard_normal(clean.shape)) ** 2))
    return clean, noisy, sigma


def median_seconds(call, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)
