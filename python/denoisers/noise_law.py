"""The law a voxel's noise follows, and what it predicts for the residual
(input minus denoised): the curve the report draws over the residual's
histogram.

A magnitude image summed over N receive coils (root of the sum of squares)
is non-central chi with 2N degrees of freedom: each coil adds a complex
Gaussian of standard deviation sigma per channel to its share of the
signal nu. Its density at a magnitude m >= 0,

    p(m) = m^N / (sigma^2 nu^(N-1)) exp(-(m^2 + nu^2) / (2 sigma^2)) I_{N-1}(m nu / sigma^2),

is the Rician one for N = 1, and at nu = 0 the central chi,

    p(m) = 2 m^(2N-1) / ((2 sigma^2)^N (N-1)!) exp(-m^2 / (2 sigma^2)),

the Rayleigh law for N = 1. Both are evaluated in logarithms, with the
exponentially scaled Bessel function, so that a signal of hundreds of
sigmas neither overflows nor loses the density.
"""
import math

import numpy as np
from scipy.special import gammaln, ive

_QUANTILES = 64  # signal levels the residual's mixture is sampled at
_LARGE_Z = 1e7


def ncchi_pdf(m, nu, sigma, coils=1):
    """Density of the magnitude m (array) for a true signal nu >= 0, noise
    sigma > 0 per channel and `coils` receive coils (2*coils degrees of
    freedom; 1 is Rician)."""
    m = np.asarray(m, dtype=np.float64)
    n = int(coils)
    if n < 1 or not sigma > 0:
        raise ValueError(f"ncchi_pdf: coils must be >= 1 and sigma > 0; got {coils}, {sigma}")
    out = np.zeros_like(m)
    pos = m > 0
    mp = m[pos]
    s2 = sigma * sigma
    if nu <= 0:
        log_p = (math.log(2.0) + (2 * n - 1) * np.log(mp) - n * math.log(2.0 * s2)
                 - gammaln(n) - mp * mp / (2.0 * s2))
    else:
        z = mp * nu / s2
        log_bessel = _log_ive(n - 1, z)
        # exp(-(m^2 + nu^2)/(2 s2)) I(z) = exp(-(m - nu)^2/(2 s2)) ive(z)
        log_p = (n * np.log(mp) - math.log(s2) - (n - 1) * math.log(nu)
                 - (mp - nu) ** 2 / (2.0 * s2) + log_bessel)
    out[pos] = np.exp(log_p)
    return out


def _log_ive(order, z):
    """log(I_order(z) exp(-z)) for z >= 0. Past _LARGE_Z, where scipy's ive
    may return NaN, the first terms of its expansion in 1/z, which are exact
    to double precision there."""
    out = np.empty_like(z)
    large = z > _LARGE_Z
    with np.errstate(divide="ignore"):  # ive underflows to 0 only far in a tail
        out[~large] = np.log(ive(order, z[~large]))
    zl = z[large]
    out[large] = -0.5 * np.log(2.0 * math.pi * zl) + np.log1p(-(4.0 * order * order - 1.0)
                                                               / (8.0 * zl))
    return out


def residual_density(r, signal, sigma, noise="rician", coils=1):
    """The density of the residual m - nu at the values r (array) that the
    noise law predicts when the denoised values `signal` (any array of the
    voxels concerned) are the true signal: a Gaussian of sigma for Gaussian
    noise; for magnitude noise, the mixture over the voxels of the
    non-central chi law at each one's signal, sampled at _QUANTILES levels
    of the signal's distribution."""
    r = np.asarray(r, dtype=np.float64)
    if noise == "gaussian":
        return np.exp(-r * r / (2.0 * sigma * sigma)) / (sigma * math.sqrt(2.0 * math.pi))
    levels = np.quantile(np.asarray(signal, dtype=np.float64),
                         (np.arange(_QUANTILES) + 0.5) / _QUANTILES)
    total = np.zeros_like(r)
    for nu in np.maximum(levels, 0.0):
        total += ncchi_pdf(r + nu, nu, sigma, coils)
    return total / len(levels)
