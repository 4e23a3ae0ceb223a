"""The noise level estimator's accuracy panel: sigma-hat / sigma of
noise_sigma (ours) and of the peers (dipy's estimate_sigma with N=0 and
N=1, and PIESNO where there is air to find) on cases that each have a truth
of their own:

- noise of a known law added to volumes from Debian's packages (the Colin27
  T1 of mricron-data, whole and brain-extracted): white Rician and
  Gaussian noise, the T1 rounded to integers, block-averaged to 4 mm,
  spatially correlated noise (white noise smoothed, then scaled to a known
  marginal sigma), and a diffusion-like series (the signal decays volume by
  volume, one sigma: ours is the pooled sigma);
- real scans shipped with Debian's python3-dipy and python3-nibabel, whose
  truth is the Rayleigh fit (by moments) of air slabs at the edges of the
  field of view, chosen by hand, or the differences of two repeated
  volumes, std(v1 - v2) / sqrt(2) in tissue of high SNR.

Then the estimator's time on the 181x217x181 T1 (the MEX call less the
runner's loading), and, with --sweep, the older sweep of noise levels.

Usage: noise_sigma_accuracy.py BUILD_DIR WORK_DIR [--no-peers] [--sweep]

Run it with Debian's /usr/bin/python3 (numpy, scipy, nibabel and dipy come
from Debian's packages). The MEX file is called through BUILD_DIR/mexrun,
so only the build tree is needed.
"""
import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

TEMPLATES = Path("/usr/share/mricron/templates")
DIPY_DATA = Path("/usr/lib/python3/dist-packages/dipy/data/files")
NIBABEL_DATA = Path("/usr/lib/python3/dist-packages/nibabel/tests/data")
LEVELS = (1, 3, 5, 7, 9)  # percent of the volume's maximum, for --sweep
SEED = 20261209
ESTIMATORS = {0: "none", 1: "constant", 2: "background", 3: "tissue"}
CONFIDENCE = ("low", "medium", "high")


def load(path):
    import nibabel

    return np.asarray(nibabel.load(str(path)).dataobj, dtype=np.float64)


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


def add_noise(clean, sigma, rician, rng, width=0.0):
    """clean with noise of marginal sigma, white or smoothed by a Gaussian
    of `width` voxels (each part scaled back to sigma)."""
    from scipy import ndimage

    def part():
        n = rng.standard_normal(clean.shape)
        if width > 0.0:
            n = ndimage.gaussian_filter(n, width, mode="wrap")
            n /= n.std()
        return sigma * n

    real = clean + part()
    return np.sqrt(real * real + part() ** 2) if rician else real


def coarse(v, f=4):
    s = [n // f * f for n in v.shape]
    v = v[:s[0], :s[1], :s[2]]
    return v.reshape(s[0] // f, f, s[1] // f, f, s[2] // f, f).mean((1, 3, 5))


def mexrun(build, mex, args, outputs, work):
    files = [work / f"out{k}.npy" for k in range(outputs)]
    cmd = [str(build / "mexrun"), str(build / mex), *map(str, args)]
    for f in files:
        cmd += ["-o", str(f)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"mexrun {mex} failed: {done.stderr.strip()}")
    return [np.load(f) for f in files]


def ours(build, work, data, rician):
    """(pooled sigma, estimator, confidence, largest correlation) from the
    MEX file's second output."""
    path = work / "noisy.npy"
    np.save(path, np.asfortranarray(data))
    sigma, info = mexrun(build, "noise_sigma.mexa64", [path, int(rician)], 2, work)
    info = info.reshape(9, -1)
    estimator = ESTIMATORS[int(info[1, 0])]
    # A series' pooled sigma is one of its volumes' own, or else the fit to
    # the differences between its volumes.
    if info.shape[1] > 1 and info[0, 0] not in np.ravel(sigma):
        estimator = "repeats"
    return (float(info[0, 0]), estimator, CONFIDENCE[int(info[2, 0])], float(np.max(info[5])))


def dipy_sigma(data, n):
    from dipy.denoise.noise_estimate import estimate_sigma

    return float(np.median(estimate_sigma(data, N=n)))


def piesno_sigma(data):
    """PIESNO (one coil) on the repetitions along the last axis of a 4-D
    series, or on a lone volume as one repetition; the median of its
    per-slice estimates."""
    from dipy.denoise.noise_estimate import piesno

    series = data if data.ndim == 4 else data[..., None]
    return float(np.median(piesno(series, N=1)))


def rayleigh_truth(volume, region, step=1.0):
    """sigma of the air in `region` by the Rayleigh law's moments, E[M^2] =
    2 sigma^2, less the rounding's step^2 / 12 (exactly-zero voxels, a
    masked part, left out)."""
    m = volume[region]
    m = m[m != 0]
    return float(np.sqrt((np.mean(m * m) - step * step / 12.0) / 2.0))


def repeat_truth(series):
    """std(v1 - v2) / sqrt(2) over the brighter half of the tissue."""
    a, b = series[..., 0], series[..., 1]
    mean = 0.5 * (a + b)
    tissue = mean > np.median(mean[mean > 0])
    return float(np.std((a - b)[tissue]) / np.sqrt(2.0))


def diffusion_series(clean, sigma, rng, volumes=24):
    """The signal of a diffusion-like series: S0 * exp(-b D), D higher where
    the T1 is darker (fluid), b from 0 to 3000 s/mm^2, Rician noise sigma."""
    tissue = clean / clean.max()
    diffusivity = 0.7e-3 + 2.3e-3 * (1.0 - tissue) ** 2
    out = []
    for b in np.linspace(0.0, 3000.0, volumes):
        out.append(add_noise(clean * np.exp(-b * diffusivity), sigma, True, rng))
    return np.stack(out, -1)


def cases(rng):
    """(name, data, rician, truth, target, PIESNO applies: a series, or a
    real b0 with air around the head; a lone structural volume is not what
    it is made for, and it reads 4 to 100 times the truth there)."""
    ch2 = load(TEMPLATES / "ch2.nii.gz")
    bet = load(TEMPLATES / "ch2bet.nii.gz")
    top, top_bet = ch2.max(), bet.max()

    def stripped(sigma, width=0.0):
        # Skull stripping comes after the scan: noise, then the background set to 0.
        return np.where(bet > 0, add_noise(bet, sigma, True, rng, width), 0.0)

    c4 = coarse(ch2)
    c2 = coarse(ch2, 2)
    out = [
        ("T1, Rician 2%", add_noise(ch2, 0.02 * top, True, rng), True, 0.02 * top, 0.03, False),
        ("T1, Rician 5%", add_noise(ch2, 0.05 * top, True, rng), True, 0.05 * top, 0.03, False),
        ("T1, Gaussian 3%", add_noise(ch2, 0.03 * top, False, rng), False, 0.03 * top, 0.03, False),
        ("T1 brain-extracted, Rician 2%", stripped(0.02 * top_bet), True, 0.02 * top_bet, 0.03, False),
        ("T1 brain-extracted, Rician 5%", stripped(0.05 * top_bet), True, 0.05 * top_bet, 0.03, False),
        ("T1 integer, Rician 0.5 step", np.round(add_noise(ch2, 0.5, True, rng)), True, 0.5, 0.1, False),
        ("T1 integer, Rician 2 steps", np.round(add_noise(ch2, 2.0, True, rng)), True, 2.0, 0.1, False),
        ("T1 at 4 mm, Rician 3%", add_noise(c4, 0.03 * c4.max(), True, rng), True, 0.03 * c4.max(),
         0.1, False),
        ("T1, correlated 0.45, Rician 3%", add_noise(ch2, 0.03 * top, True, rng, 0.6), True,
         0.03 * top, 0.1, False),
        ("T1, correlated 0.68, Rician 3%", add_noise(ch2, 0.03 * top, True, rng, 0.8), True,
         0.03 * top, 0.1, False),
        ("T1 brain-extr., corr. 0.45, Ric. 3%", stripped(0.03 * top_bet, 0.6), True,
         0.03 * top_bet, 0.1, False),
        ("diffusion-like series, 24 x 2 mm", diffusion_series(c2, 0.03 * c2.max(), rng), True,
         0.03 * c2.max(), 0.05, True),
    ]
    aniso = load(DIPY_DATA / "aniso_vox.nii.gz")
    air = np.zeros(aniso.shape, bool)
    air[:7] = air[51:] = True
    out.append(("real b0, 4x4x5 mm (dipy aniso_vox)", aniso, True, rayleigh_truth(aniso, air),
                0.1, True))
    s0 = load(DIPY_DATA / "S0_10slices.nii.gz")[..., 0]
    air = np.zeros(s0.shape, bool)
    air[:20] = air[108:] = True
    out.append(("real b0, 2 mm (dipy S0_10slices)", s0, True, rayleigh_truth(s0, air), 0.1, True))
    fmri = load(NIBABEL_DATA / "example4d.nii.gz")
    out.append(("real EPI, 2 repeats (nibabel example4d)", fmri, True, repeat_truth(fmri), 0.1,
                False))
    return out


def panel(args, rng):
    head = (f"{'case':38s} {'truth':>7s}  {'ours':>5s} {'dipy0':>5s} {'dipy1':>5s} {'piesno':>6s}"
            f"  {'target':>6s}  estimate used")
    print(head)
    print("-" * (len(head) + 12))
    met = 0
    all_cases = cases(rng)
    for name, data, rician, truth, target, piesno_applies in all_cases:
        sigma, estimator, confidence, correlation = ours(args.build, args.work, data, rician)
        cells = [sigma / truth]
        if args.no_peers:
            cells += [np.nan] * 3
        else:
            cells += [dipy_sigma(data, 0) / truth, dipy_sigma(data, 1) / truth]
            cells.append(piesno_sigma(data) / truth if piesno_applies else np.nan)
        ok = abs(sigma / truth - 1.0) <= target
        met += ok
        text = " ".join(f"{c:5.3f}" if np.isfinite(c) else "    -" for c in cells[:3])
        text += f" {cells[3]:6.3f}" if np.isfinite(cells[3]) else "      -"
        print(f"{name:38s} {truth:7.3f}  {text}  {100 * target:4.0f}% {'ok' if ok else 'MISSED'}"
              f"  {estimator}, {confidence}, corr. {correlation:.2f}", flush=True)
    print(f"\ntargets met: {met} of {len(all_cases)}")

    # The per-volume scatter that pooling removes, on a small real series.
    dwi = load(DIPY_DATA / "small_101D.nii.gz")
    path = args.work / "noisy.npy"
    np.save(path, np.asfortranarray(dwi))
    sigma, info = mexrun(args.build, "noise_sigma.mexa64", [path, 1], 2, args.work)
    own = sigma.ravel()
    print(f"real diffusion series 6x10x10x102 (dipy small_101D): own estimates "
          f"{own.min():.2f} to {own.max():.2f}, coefficient of variation "
          f"{own.std() / own.mean():.2f}; pooled sigma {info.reshape(9, -1)[0, 0]:.2f}")


def estimator_seconds(build, noisy_file, runs=5):
    """The fastest call less the fastest load, in seconds of the clock and
    of processor time (all threads, user and system: what a loaded machine
    does not inflate): a call with one input loads the volume in the
    runner exactly as a full call does, then stops at the argument check."""
    import resource

    def fastest(args):
        best, best_cpu = float("inf"), float("inf")
        for _ in range(runs):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run([str(build / "mexrun"), str(build / "noise_sigma.mexa64"), *args,
                            "-o", str(noisy_file.with_name("sigma.npy"))], capture_output=True)
            best = min(best, time.perf_counter() - start)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            best_cpu = min(best_cpu, after.ru_utime + after.ru_stime - before.ru_utime -
                           before.ru_stime)
        return best, best_cpu

    call, call_cpu = fastest([str(noisy_file), "1"])
    load_only, load_cpu = fastest([str(noisy_file)])
    return call - load_only, call_cpu - load_cpu, call, load_only


def sweep(args, rng):
    """The older table: Rician and Gaussian noise at 1 to 9% of the maximum
    on the T1, its brain-extracted version and the phantom in three
    settings."""
    ch2 = load(TEMPLATES / "ch2.nii.gz")
    bet = load(TEMPLATES / "ch2bet.nii.gz")
    ph, head = phantom()
    lo = np.argwhere(head).min(0) + 10
    hi = np.argwhere(head).max(0) - 10
    volumes = [("Colin27 T1", ch2, None), ("Colin27 T1, brain-extracted", bet, bet > 0),
               ("phantom, noisy background", ph, None), ("phantom, zero background", ph, head),
               ("phantom, cropped to the head", ph[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]].copy(),
                None)]
    print(f"\n{'volume':30s} {'noise':8s} {'%':>2s}  {'ours':>5s}")
    for name, clean, mask in volumes:
        for rician in (True, False):
            for level in LEVELS:
                sigma = level / 100.0 * clean.max()
                noisy = add_noise(clean, sigma, rician, rng)
                if mask is not None:
                    noisy = np.where(mask, noisy, 0.0)
                estimate = ours(args.build, args.work, noisy, rician)[0]
                print(f"{name:30s} {'Rician' if rician else 'Gaussian':8s} {level:2d}  "
                      f"{estimate / sigma:5.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("work", type=Path)
    parser.add_argument("--no-peers", action="store_true")
    parser.add_argument("--sweep", action="store_true")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(SEED)
    panel(args, rng)

    ch2 = load(TEMPLATES / "ch2.nii.gz")
    noisy_file = args.work / "noisy.npy"
    # Fortran order, as the runner holds it: no reordering in the loading time.
    np.save(noisy_file, np.asfortranarray(add_noise(ch2, 0.05 * ch2.max(), True, rng)))
    seconds, cpu, call, load_only = estimator_seconds(args.build, noisy_file)
    print(f"noise_sigma on {'x'.join(map(str, ch2.shape))}, Rician: {seconds:.3f} s, "
          f"{cpu:.3f} s of processor time (fastest of 5 runner calls {call:.3f} s, less the "
          f"runner's loading {load_only:.3f} s); load average {os.getloadavg()[0]:.1f}")
    if args.sweep:
        sweep(args, rng)


if __name__ == "__main__":
    main()
