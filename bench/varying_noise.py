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
- dipy: dipy's classic nlmeans with the same estimated map, a column of
  its own per case (--dipy; slow).

Each case also prints the variation the scalar estimate checks (the 90th
over the 10th percentile of an eighth of the map's tiles, warned of above
1.6), beside the same on uniform noise of the same base.

Then the times on the Colin27 ramp, best of three: the map's estimate
(target under 1 s on two cores), and a call with a given map against the
scalar call (their ratio, target within 1.10) for quillon and auto, with
the processes' CPU seconds beside the wall-clock ones and the machine's
load average, since the wall clock of a shared machine is noisy.

Coils: the Colin27 T1 as the root sum of squares of N = 4 and 8 channels
(the signal spread evenly over them, complex Gaussian noise of 3% of the
maximum in each): the per-channel sigma estimated with coils=N against
the true one (target within 5%), and denoised with the per-channel sigma
given (coils=1 and coils=N) and estimated (coils=N): the mean output in
the background (true signal 0), in units of sigma, and the PSNR over the
head.

Usage: .venv/bin/python bench/varying_noise.py [--dipy] [--brains ch2 inia19] [--skip-maps]
       .venv/bin/python bench/varying_noise.py --times
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


def row(name, method, clean, noisy, base, true_map, estimated):
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


def dipy_column(name, clean, noisy, estimated):
    """dipy's classic nlmeans, which takes a 3-D sigma array: our map."""
    from dipy.denoise.nlmeans import nlmeans
    start = time.perf_counter()
    out = nlmeans(noisy, sigma=estimated, rician=True)
    print(f"{name:14s} dipy nlmeans       with the estimated map {psnr(clean, out):6.2f} "
          f"({time.perf_counter() - start:.0f} s)", flush=True)


def best_of(runs, call):
    """The least wall-clock and CPU seconds of `runs` calls."""
    wall = cpu = np.inf
    for _ in range(runs):
        w, c = time.perf_counter(), time.process_time()
        call()
        wall, cpu = min(wall, time.perf_counter() - w), min(cpu, time.process_time() - c)
    return wall, cpu


def timings(noisy, true_map):
    load = os.getloadavg()[0]
    wall, cpu = best_of(3, lambda: denoisers.estimate_sigma_map(noisy))
    print(f"times (load average {load:.1f} on {os.cpu_count()} cores): map estimate "
          f"{wall:.2f} s ({cpu:.2f} s CPU)", flush=True)
    for method in ("quillon", "auto"):
        calls = {label: best_of(3, lambda s=sigma: denoisers.denoise(noisy, sigma=s, method=method))
                 for label, sigma in (("scalar", float(np.median(true_map))), ("map", true_map))}
        (ws, cs), (wm, cm) = calls["scalar"], calls["map"]
        print(f"  {method:8s} with a scalar {ws:.2f} s ({cs:.2f} CPU), with a map {wm:.2f} s "
              f"({cm:.2f} CPU): ratio {wm / ws:.3f} ({cm / cs:.3f} CPU)", flush=True)
    print(f"  load average after: {os.getloadavg()[0]:.1f}", flush=True)


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
        estimate = denoisers.estimate_noise(noisy, coils=n)
        one = denoisers.estimate_sigma(noisy)
        print(f"ch2, {n} coils, sigma {sigma:.3g} per channel: noisy background "
              f"{noisy[air].mean() / sigma:.2f} sigma, PSNR {psnr(clean, noisy):.2f}; estimated "
              f"per channel {estimate.sigmas[0]:.4g} ({estimate.sigmas[0] / sigma - 1:+.1%}, "
              f"{estimate.estimator}; tissue {estimate.pooled.tissue / sigma - 1:+.1%}), with "
              f"one coil's law {one:.4g} ({one / sigma - 1:+.1%})", flush=True)
        for method in METHODS:
            text = []
            for c, s in ((1, sigma), (n, sigma), (n, None)):
                out = denoisers.denoise(noisy, sigma=s, method=method, coils=c)[0]
                given = "given" if s is not None else "estimated"
                text.append(f"coils={c} sigma {given}: background {out[air].mean() / sigma:.2f} "
                            f"sigma, PSNR {psnr(clean, out):.2f}")
            print(f"  {method:16s} " + "; ".join(text), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dipy", action="store_true", help="also dipy's classic nlmeans")
    parser.add_argument("--brains", nargs="+", default=list(BRAINS), choices=list(BRAINS))
    parser.add_argument("--skip-maps", action="store_true", help="the coils part only")
    parser.add_argument("--times", action="store_true", help="the times part only")
    args = parser.parse_args()
    warnings.simplefilter("ignore", denoisers.DenoiseWarning)
    rng = np.random.default_rng(SEED)
    if args.times:
        clean = np.asarray(nib.load(f"{TEMPLATES}/{BRAINS['ch2']}").dataobj, dtype=np.float64)
        true_map = np.asfortranarray(0.03 * clean.max() * profile(clean.shape, "ramp"))
        timings(rician(clean, true_map, rng), true_map)
        return
    coils_rows(rng)
    for brain in ([] if args.skip_maps else args.brains):
        clean = np.asarray(nib.load(f"{TEMPLATES}/{BRAINS[brain]}").dataobj, dtype=np.float64)
        base = 0.03 * clean.max()
        uniform = denoisers.estimate_noise(rician(clean, base, rng)).variation
        for kind in ("ramp", "bump"):
            true_map = np.asfortranarray(base * profile(clean.shape, kind))
            noisy = rician(clean, true_map, rng)
            estimated = denoisers.estimate_sigma_map(noisy)
            variation = denoisers.estimate_noise(noisy).variation
            err = np.abs(estimated / true_map - 1.0)
            print(f"{brain} {kind}: base sigma {base:.3g}; estimated map median "
                  f"{np.median(estimated):.3g} (true {np.median(true_map):.3g}), relative "
                  f"error median {np.median(err):.3f}, 95th percentile "
                  f"{np.percentile(err, 95):.3f}; variation {variation:.2f} (uniform "
                  f"{uniform:.2f})", flush=True)
            for method in METHODS:
                row(f"{brain} {kind}", method, clean, noisy, base, true_map, estimated)
            if args.dipy:
                dipy_column(f"{brain} {kind}", clean, noisy, estimated)
            if brain == "ch2" and kind == "ramp":
                timings(noisy, true_map)


if __name__ == "__main__":
    main()
