"""quillon's Rician correction against small changes of sigma: the PSNR of
quillon.mexa64 (Rician flag on) over the head of the Colin27 T1's central
96^3 voxels, with Rician noise of 1% and 2% of the maximum, run with sigma
times 0.990 to 1.010 in steps of 0.0005. A result that jumps between
neighbouring factors shows a bias table whose entries depend on the last
bits of sigma; the flag off is printed for reference.

Usage: rician_table_sigma.py BUILD_DIR WORK_DIR

Run it with Debian's /usr/bin/python3; the plug-in is called through
BUILD_DIR/mexrun.
"""
import argparse
from pathlib import Path

import numpy as np

from noise_sigma_accuracy import SEED, add_noise, load_template, mexrun, psnr

FACTORS = np.round(np.arange(0.990, 1.01001, 0.0005), 4)
LEVELS = (1, 2)  # percent of the maximum


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("work", type=Path)
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    ch2 = load_template("ch2.nii.gz")
    lo = [(n - 96) // 2 for n in ch2.shape]
    clean = ch2[lo[0]:lo[0] + 96, lo[1]:lo[1] + 96, lo[2]:lo[2] + 96].copy()
    rng = np.random.default_rng(SEED)
    noisy_file = args.work / "noisy.npy"
    print(f"{'noise':>5s} {'factor':>7s} {'sigma':>8s} {'PSNR on':>8s} {'PSNR off':>8s}")
    for level in LEVELS:
        sigma = level / 100.0 * ch2.max()
        noisy = add_noise(clean, sigma, True, rng)
        np.save(noisy_file, np.asfortranarray(noisy))
        on = []
        for f in FACTORS:
            s = sigma * f
            out = [psnr(mexrun(args.build, "quillon.mexa64", [noisy_file, repr(s), flag], 1,
                               args.work)[0], clean) for flag in (1, 0)]
            on.append(out[0])
            print(f"{level:4d}% {f:7.4f} {s:8.4f} {out[0]:8.3f} {out[1]:8.3f}", flush=True)
        print(f"{level}% noise, noisy input {psnr(noisy, clean):.2f} dB: PSNR with the "
              f"Rician flag from {min(on):.3f} to {max(on):.3f} dB, a spread of "
              f"{max(on) - min(on):.3f} dB over factors {FACTORS[0]} to {FACTORS[-1]}\n")


if __name__ == "__main__":
    main()
