"""Fits and checks the threshold of the residual's structure score
(denoisers.residual): the score of each brain denoised with the right
sigma, the estimated one (the command's default), and 2x and 3x too high, on the Colin27 T1 and its
brain-extracted version at Rician noise of 3% and 9% of the maximum, for
each method. Also, for comparison, the correlation between the residual's
local energy and the output's gradient magnitude (on 4x4x4 blocks of tissue),
and one volume whose noise is correlated across voxels at the right sigma
(the case the score cannot tell from anatomy).

Usage: .venv/bin/python bench/residual_structure.py
"""
import numpy as np
from scipy import ndimage

from denoisers import denoise
from denoisers.residual import THRESHOLDS, block_means, structure_score
from noise_sigma_accuracy import SEED, TEMPLATES, add_noise, load

LEVELS = (3, 9)
FACTORS = (1, 2, 3)
METHODS = ("quillon+tessary", "quillon", "auto")


def brains():
    """(name, clean, zero-background mask or None); the brain-extracted one
    gets its zero background back after the noise, as a stripping would."""
    bet = load(TEMPLATES / "ch2bet.nii.gz")
    return [("Colin27 T1", load(TEMPLATES / "ch2.nii.gz"), None),
            ("Colin27 T1, brain-extracted", bet, bet > 0)]


def energy_gradient_correlation(noisy, out, sigma, k=4):
    """The correlation, over k^3 blocks of tissue, between the residual's
    mean square and the output's mean gradient magnitude."""
    r = (noisy - out).astype(np.float32)
    gradient = np.sqrt(sum(g * g for g in np.gradient(out.astype(np.float32))))
    tissue = block_means((out > 2 * sigma) & (noisy != 0), k) == 1
    return float(np.corrcoef(block_means(r * r, k)[tissue],
                             block_means(gradient, k)[tissue])[0, 1])


def residual_sd_ratio(noisy, out, sigma):
    tissue = (out > 2 * sigma) & (noisy != 0)
    return float(np.std((noisy - out)[tissue]) / sigma)


def correlated(clean, sigma, rng):
    """Rician noise whose Gaussian channels are smoothed (a Gaussian kernel
    of 0.7 voxels) and scaled back to sigma: lag-1 correlation about 0.6."""
    channels = []
    for _ in range(2):
        n = ndimage.gaussian_filter(rng.normal(0.0, 1.0, clean.shape), 0.7)
        channels.append(n * (sigma / n.std()))
    lag1 = float(np.corrcoef(channels[0][1:].ravel(), channels[0][:-1].ravel())[0, 1])
    return np.sqrt((clean + channels[0]) ** 2 + channels[1] ** 2), lag1


def main():
    rng = np.random.default_rng(SEED)
    print(f"{'volume':29} {'noise':>5} {'method':15} {'sigma':>6} {'score':>6} "
          f"{'resid sd':>8} {'energy-grad':>11}")
    scores = {(m, f): [] for m in METHODS for f in ("est",) + FACTORS}
    for name, clean, keep in brains():
        for level in LEVELS:
            sigma = level / 100 * clean.max()
            noisy = add_noise(clean, sigma, True, rng)
            if keep is not None:
                noisy[~keep] = 0.0
            noisy = np.asfortranarray(noisy)
            for method in METHODS:
                for f in ("est",) + FACTORS:  # est: estimated, as the command does by default
                    out, used = denoise(noisy, None if f == "est" else sigma * f, method=method)
                    s = structure_score(noisy, out, used)
                    scores[method, f].append(s)
                    label = f"{used / sigma:.3f}x" if f == "est" else f"{f}x"
                    print(f"{name:29} {level:4}% {method:15} {label:>6} {s:6.3f} "
                          f"{residual_sd_ratio(noisy, out, used):8.3f} "
                          f"{energy_gradient_correlation(noisy, out, used):11.3f}",
                          flush=True)
    print()
    for method in METHODS:
        right, double, triple = (scores[method, f] for f in FACTORS)
        right = right + scores[method, "est"]
        print(f"{method}: right or estimated sigma at most {max(right):.3f}; 2x too high "
              f"at least "
              f"{min(double):.3f}, 3x at least {min(triple):.3f}; geometric midpoint "
              f"{np.sqrt(max(right) * min(double)):.3f}; threshold {THRESHOLDS[method]:g} "
              + ("separates every case" if max(right) < THRESHOLDS[method] < min(double)
                 else "DOES NOT SEPARATE"))

    clean = load(TEMPLATES / "ch2.nii.gz")
    sigma = 0.03 * clean.max()
    noisy, lag1 = correlated(clean, sigma, rng)
    out, _ = denoise(np.asfortranarray(noisy), sigma, method="quillon+tessary")
    print(f"\ncorrelated noise (lag-1 correlation {lag1:.2f}), Colin27 T1, 3%, right sigma, "
          f"quillon+tessary: "
          f"score {structure_score(noisy, out, sigma):.3f}")


if __name__ == "__main__":
    main()
