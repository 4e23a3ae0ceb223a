"""The noise level estimator's accuracy benchmark: sigma-hat / sigma of
noise_sigma and of the peers (dipy's and scikit-image's estimate_sigma) on
the Colin27 T1, its brain-extracted version and three phantoms, with Rician
and Gaussian noise at 1 to 9% of each volume's maximum; the PSNR of quillon
run with the estimated sigma against the true one; and the estimator's time
on the 181x217x181 volume.

Usage: noise_sigma_accuracy.py BUILD_DIR WORK_DIR [--no-peers] [--no-psnr]

Run it with Debian's /usr/bin/python3 (numpy, scipy, nibabel, dipy and
scikit-image come from Debian's packages). The plug-ins are called through
BUILD_DIR/mexrun, so only the build tree is needed.
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

TEMPLATES = Path("/usr/share/mricron/templates")
LEVELS = (1, 3, 5, 7, 9)  # percent of the volume's maximum
SEED = 20261209


def load_template(name):
    import nibabel

    return np.asarray(nibabel.load(str(TEMPLATES / name)).dataobj, dtype=np.float64)


def phantom(n=128, seed=3):
    """A head-like ellipsoid: scalp, two brain tissues with texture, a dark
    core, smooth edges and an exactly zero background. Returns it with the
    mask of the head."""
    from scipy import ndimage

    rng = np.random.default_rng(seed)
    z, y, x = np.mgrid[:n, :n, :n] / (n - 1) * 2 - 1
    head = (x / 0.8) ** 2 + (y / 0.9) ** 2 + (z / 0.75) ** 2 < 1
    brain = (x / 0.7) ** 2 + (y / 0.8) ** 2 + (z / 0.65) ** 2 < 1
    fine = ndimage.gaussian_filter(rng.standard_normal((n, n, n)), 2.0)
    coarse = ndimage.gaussian_filter(rng.standard_normal((n, n, n)), 4.0)
    fine /= fine.std()
    coarse /= coarse.std()
    img = np.zeros((n, n, n))
    img[head] = 60.0
    white = brain & (coarse > 0.2)
    img[brain & ~white] = 120.0
    img[white] = 180.0
    img[(x / 0.15) ** 2 + ((y - 0.1) / 0.3) ** 2 + (z / 0.2) ** 2 < 1] = 30.0
    img = ndimage.gaussian_filter(img + np.where(head, 8.0 * fine, 0.0), 0.6)
    img[~head] = 0.0
    return np.clip(img, 0.0, None), head


def test_volumes():
    """(name, clean volume, mask to zero after the noise or None)."""
    ch2 = load_template("ch2.nii.gz")
    bet = load_template("ch2bet.nii.gz")
    ph, head = phantom()
    lo = np.argwhere(head).min(0) + 10
    hi = np.argwhere(head).max(0) - 10
    return [
        ("Colin27 T1", ch2, None),
        # Skull stripping comes after the scan: noise, then the background set to 0.
        ("Colin27 T1, brain-extracted", bet, bet > 0),
        ("phantom, noisy background", ph, None),
        ("phantom, zero background", ph, head),
        ("phantom, cropped to the head", ph[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]].copy(), None),
    ]


def add_noise(clean, sigma, rician, rng):
    real = clean + rng.normal(0.0, sigma, clean.shape)
    if not rician:
        return real
    imag = rng.normal(0.0, sigma, clean.shape)
    return np.sqrt(real * real + imag * imag)


def mexrun(build, mex, args, outputs, work):
    files = [work / f"out{k}.npy" for k in range(outputs)]
    cmd = [str(build / "mexrun"), str(build / mex), *map(str, args)]
    for f in files:
        cmd += ["-o", str(f)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"mexrun {mex} failed: {done.stderr.strip()}")
    return [np.load(f) for f in files]


def estimate(build, work, noisy_file, rician):
    return float(mexrun(build, "noise_sigma.mexa64", [noisy_file, int(rician)], 1, work)[0].ravel()[0])


def peers(noisy):
    from dipy.denoise.noise_estimate import estimate_sigma as dipy_sigma
    from skimage.restoration import estimate_sigma as skimage_sigma

    return (float(dipy_sigma(noisy, N=0)[0]), float(dipy_sigma(noisy, N=1)[0]),
            float(skimage_sigma(noisy)))


def psnr(out, clean):
    """Over the head (voxels above 10% of the clean maximum), with the clean
    maximum as the peak, as in the demo."""
    head = clean > 0.1 * clean.max()
    mse = np.mean((out[head] - clean[head]) ** 2)
    return 10.0 * np.log10(clean.max() ** 2 / mse)


def quillon_psnr(build, work, noisy_file, sigma, rician, clean):
    out = mexrun(build, "quillon.mexa64", [noisy_file, repr(sigma), int(rician)], 1, work)[0]
    return psnr(out, clean)


def estimator_seconds(build, noisy_file, runs=5):
    """The fastest call less the fastest load: a call with one input loads
    the volume in the runner exactly as a full call does, then stops at the
    argument check."""
    def fastest(args):
        best = float("inf")
        for _ in range(runs):
            start = time.perf_counter()
            subprocess.run([str(build / "mexrun"), str(build / "noise_sigma.mexa64"), *args,
                            "-o", str(noisy_file.with_name("sigma.npy"))], capture_output=True)
            best = min(best, time.perf_counter() - start)
        return best

    call = fastest([str(noisy_file), "1"])
    load = fastest([str(noisy_file)])
    return call - load, call, load


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("work", type=Path)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--no-psnr", action="store_true")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    noisy_file = args.work / "noisy.npy"
    rng = np.random.default_rng(SEED)

    head = (f"{'volume':30s} {'noise':8s} {'%':>2s}  {'ours':>5s} {'dipy0':>5s} {'dipy1':>5s} "
            f"{'skim':>5s}  {'PSNR true':>9s} {'PSNR est':>8s} {'loss':>5s}")
    print(head)
    print("-" * len(head))
    worst = {}
    for name, clean, mask in test_volumes():
        for rician in (True, False):
            for level in LEVELS:
                sigma = level / 100.0 * clean.max()
                noisy = add_noise(clean, sigma, rician, rng)
                if mask is not None:
                    noisy = np.where(mask, noisy, 0.0)
                np.save(noisy_file, noisy)
                ours = estimate(args.build, args.work, noisy_file, rician)
                cells = [ours / sigma]
                cells += [p / sigma for p in peers(noisy)] if not args.no_peers else [np.nan] * 3
                line = (f"{name:30s} {'Rician' if rician else 'Gaussian':8s} {level:2d}  "
                        + " ".join(f"{c:5.3f}" for c in cells))
                if not args.no_psnr:
                    true_db = quillon_psnr(args.build, args.work, noisy_file, sigma, rician, clean)
                    est_db = quillon_psnr(args.build, args.work, noisy_file, ours, rician, clean)
                    line += f"  {true_db:9.2f} {est_db:8.2f} {true_db - est_db:5.2f}"
                print(line, flush=True)
                if level >= 2:
                    worst[name] = max(worst.get(name, 0.0), abs(ours / sigma - 1.0))

    print()
    print("largest |sigma-hat/sigma - 1| of ours from 3% up: "
          + ", ".join(f"{n} {w:.3f}" for n, w in worst.items()))
    ch2 = test_volumes()[0][1]
    # Fortran order, as the runner holds it: no reordering in the loading time.
    np.save(noisy_file, np.asfortranarray(add_noise(ch2, 0.05 * ch2.max(), True, rng)))
    seconds, call, load = estimator_seconds(args.build, noisy_file)
    print(f"noise_sigma on {'x'.join(map(str, ch2.shape))}, Rician: {seconds:.3f} s "
          f"(fastest of 5 runner calls {call:.3f} s, less the runner's loading {load:.3f} s)")


if __name__ == "__main__":
    main()
