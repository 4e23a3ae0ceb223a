"""What a sigma map gains when the noise varies across the image, and what
the coils option gains on sum-of-squares magnitudes.

Two brains from Debian's mricron-data: the Colin27 T1 (ch2, 181x217x181,
a whole head in air) and the INIA19 macaque T1 template (inia19-t1-brain,
168x206x128, skull-stripped, a zero background). Each gets Rician noise
whose sigma varies smoothly from 1x to 3x of 3% of its maximum, in two
shapes: a ramp along the first axis and an off-centre Gaussian bump. For
each method (quillon, quillon+tessary) the PSNR over the head (the voxels
above 10% of the clean maximum, that maximum as the peak) of:

- default: denoise() with its estimated scalar sigma;
- best scalar: the best of five scalar sigmas, 1x to 3x the base in halves;
- auto: the map estimate_sigma_map makes, which sigma="auto" uses;
- true map: the true map given;
- dipy: dipy's classic nlmeans with the same estimated map (--dipy; slow).

Then the times on the Colin27 ramp: the map's estimate, and a call with a
given map against the scalar call (their ratio). The machine's load is
printed with them.

Coils: the Colin27 T1 as the root sum of squares of N = 4 and 8 channels
(the signal spread evenly over them, complex Gaussian noise of 3% of the
maximum in each), denoised with the per-channel sigma given: the mean
output in the background (true signal 0), in units of sigma, and the PSNR
over the head, with coils=N against coils=1.

Usage: .venv/bin/python bench/varying_noise.py [--dipy] [--brains ch2 inia19] [--skip-maps]
"""
import argparse
import os
import time
import warnings

import nibabel as nib
import numpy as np

import denoisers

TEMPLATES = "/usr/share/mricron/templates"
BRAINS = {"ch2": "ch2.nii.gz", "inia19": "inia19-t1-brain.nii.gz"}
FACTORS = (1.0, 1.5, 2.0, 2.5, 3.0)
METHODS = ("quillon", "quillon+tessary")
SEED = 20261210


def profile(shape, kind):
    """1 to 3 across the field of view: a ramp along the first axis, or a
    bump centred off the middle."""
    axes = [np.linspace(0, 1, n) for n in shape]
    if kind == "ramp":
        return np.broadcast_to(1.0 + 2.0 * axes[0][:, None, None], shape).copy()
    x, y, z = np.meshgrid(*axes, indexing="ij", sparse=True)
    r2 = ((x - 0.35) / 0.25) ** 2 + ((y - 0.6) / 0.25) ** 2 + ((z - 0.5) / 0.25) ** 2
    return 1.0 + 2.0 * np.exp(-r2 / 2.0)


def psnr(clean, x):
    head = clean > 0.1 * clean.max()
    return 10.0 * np.log10(clean.max() ** 2 / np.mean((x[head] - clean[head]) ** 2))


def rician(clean, sigma, rng):
    return np.asfortranarray(np.hypot(clean + sigma * rng.standard_normal(clean.shape),
                                      sigma * rng.standard_normal(clean.shape)))


def row(name, method, clean, noisy, base, true_map, estimated, with_dipy):
    scores = {"default": psnr(clean, denoisers.denoise(noisy, method=method)[0])}
    scalars = [psnr(clean, denoisers.denoise(noisy, sigma=base * f, method=method)[0])
               for f in FACTORS]
    best = int(np.argmax(scalars))
    scores[f"best scalar ({FACTORS[best]:g}x)"] = scalars[best]
    scores["auto"] = psnr(clean, denoisers.denoise(noisy, sigma=estimated, method=method)[0])
    scores["true map"] = psnr(clean, denoisers.denoise(noisy, sigma=true_map, method=method)[0])
    text = "  ".join(f"{k} {v:6.2f}" for k, v in scores.items())
    print(f"{name:14s} {method:16s} noisy {psnr(clean, noisy):6.2f}  {text}  "
          f"auto-true {scores['auto'] - scores['true map']:+.2f}  "
          f"auto-default {scores['auto'] - scores['default']:+.2f}", flush=True)
    if with_dipy and method == METHODS[0]:
        from dipy.denoise.nlmeans import nlmeans
        out = nlmeans(noisy, sigma=estimated, rician=True)
        print(f"{name:14s} dipy nlmeans with the estimated map: {psnr(clean, out):6.2f}",
              flush=True)


def timings(noisy, true_map):
    start = time.perf_counter()
    denoisers.estimate_sigma_map(noisy)
    estimate = time.perf_counter() - start
    calls = {}
    for label, sigma in (("scalar", float(np.median(true_map))), ("map", true_map)):
        best = np.inf
        for _ in range(2):
            start = time.perf_counter()
            denoisers.denoise(noisy, sigma=sigma, method="quillon")
            best = min(best, time.perf_counter() - start)
        calls[label] = best
    print(f"times (load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores): map "
          f"estimate {estimate:.2f} s; quillon with a scalar {calls['scalar']:.2f} s, with a map "
          f"{calls['map']:.2f} s (ratio {calls['map'] / calls['scalar']:.3f})")


def sum_of_squares(clean, coils, sigma, rng):
    share = clean / np.sqrt(coils)
    total = np.zeros(clean.shape)
    for _ in range(coils):
        total += (share + sigma * rng.standard_normal(clean.shape)) ** 2
        total += (sigma * rng.standard_normal(clean.shape)) ** 2
    return np.asfortranarray(np.sqrt(total))


def coils_rows(rng):
    clean = np.asarray(nib.load(f"{TEMPLATES}/{BRAINS['ch2']}").dataobj, dtype=np.float64)
    sigma = 0.03 * clean.max()
    air = clean == 0
    for n in (4, 8):
        noisy = sum_of_squares(clean, n, sigma, rng)
        print(f"ch2, {n} coils, sigma {sigma:.3g} per channel: noisy background "
              f"{noisy[air].mean() / sigma:.2f} sigma, PSNR {psnr(clean, noisy):.2f}", flush=True)
        for method in METHODS:
            text = []
            for c in (1, n):
                out = denoisers.denoise(noisy, sigma=sigma, method=method, coils=c)[0]
                text.append(f"coils={c}: background {out[air].mean() / sigma:.2f} sigma, "
                            f"PSNR {psnr(clean, out):.2f}")
            print(f"  {method:16s} " + "; ".join(text), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dipy", action="store_true", help="also dipy's classic nlmeans")
    parser.add_argument("--brains", nargs="+", default=list(BRAINS), choices=list(BRAINS))
    parser.add_argument("--skip-maps", action="store_true", help="the coils part only")
    args = parser.parse_args()
    warnings.simplefilter("ignore", denoisers.DenoiseWarning)
    rng = np.random.default_rng(SEED)
    coils_rows(rng)
    for brain in ([] if args.skip_maps else args.brains):
        clean = np.asarray(nib.load(f"{TEMPLATES}/{BRAINS[brain]}").dataobj, dtype=np.float64)
        base = 0.03 * clean.max()
        for kind in ("ramp", "bump"):
            true_map = np.asfortranarray(base * profile(clean.shape, kind))
            noisy = rician(clean, true_map, rng)
            estimated = denoisers.estimate_sigma_map(noisy)
            err = np.abs(estimated / true_map - 1.0)
            print(f"{brain} {kind}: base sigma {base:.3g}; estimated map median "
                  f"{np.median(estimated):.3g} (true {np.median(true_map):.3g}), relative "
                  f"error median {np.median(err):.3f}, 95th percentile "
                  f"{np.percentile(err, 95):.3f}", flush=True)
            for method in METHODS:
                row(f"{brain} {kind}", method, clean, noisy, base, true_map, estimated,
                    args.dipy)
            if brain == "ch2" and kind == "ramp":
                timings(noisy, true_map)


if __name__ == "__main__":
    main()
