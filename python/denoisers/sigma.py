"""The noise level of a volume or a series, for denoise() when no sigma is
given.

The C++ estimator (noise_sigma/noise_sigma.h, the one behind the
``noise_sigma`` MEX file, through the same contract) makes two independent
estimates of each 3-D volume and checks one against the other:

- background: under Rician noise, the noise-only voxels of the air around
  the object, fitted to the Rayleigh law (on data with integer values, at
  the edges of the value grid's bins);
- tissue: the median of the finest Haar coefficients of the object's flat
  blocks (flat inside and around), corrected for the Rician bias of each
  block's SNR, for the lag-1 correlation of the noise, and for the rounding
  of data on a value grid.

The background's sigma is used when its fit passes its checks (enough
voxels, moments of a Rayleigh law), else the tissue's. The volumes of a 4-D
series share one noise level: by default one sigma is pooled for all of
them (the median of the volumes' estimates weighted by the samples behind
each, or, when lower but not below half of it, the fit to the differences
between consecutive volumes: "repeats"), and a volume too small for an
estimate of its own takes it too.

What the estimate warns of (an estimate of 0, one below the data's value
step, background and tissue more than 25% apart, noise correlated above
0.3, a volume's own estimate far from the series') is raised as a
``DenoiseWarning`` naming the volumes. The README's "Estimating sigma"
section has the measured accuracy.
"""
import math
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import _core
from .filters import as_volumes, thread_cap
from .run_warnings import DenoiseWarning
from .sigma_map import VARYING, noise_variation

MIN_BLOCKS = _core.MIN_BLOCKS
# A volume whose own estimate is further than this factor from the series'
# pooled one is warned of.
FAR_FROM_SERIES = 2.0


def estimate_sigmas(vol, rician=True, threads=None, coils=1):
    """sigma of each 3-D volume of a 3-D or 4-D array (volumes along the
    last axis), each on its own, as a list of floats: the values
    ``noise_sigma(vol, rician, coils)`` of the MEX file returns for the same
    doubles. threads: at most this many worker threads (None: what the
    process may use); the bits never depend on it. coils: the receive
    channels of a sum-of-squares magnitude (1 to 64, rician only); sigma is
    then each channel's. Raises ValueError for a volume with fewer than
    MIN_BLOCKS whole 2x2x2 blocks of finite, non-zero voxels, or for a bad
    coils (noise_sigma:coils). estimate_noise pools a series and says how it
    was estimated."""
    arr = as_volumes(vol, "estimate_sigma: vol must be a 3-D or 4-D array of real numbers")
    return _core.noise_sigma(arr, bool(rician), thread_cap(threads, "estimate_sigma"), coils)


def estimate_sigma(vol, rician=True, threads=None, coils=1):
    """The noise standard deviation of one 3-D volume, in its own units.

    vol: a 3-D array of any real dtype and order; NaN and infinite voxels
    are ignored. rician: True for magnitude images (Rician noise), False for
    Gaussian noise. coils: as estimate_sigmas'. Returns 0.0 for a constant
    volume; raises ValueError for one with too little data (see
    estimate_sigmas). A 4-D series takes
    estimate_noise (one pooled sigma) or estimate_sigmas (one each).
    """
    if np.ndim(vol) != 3:
        raise ValueError(f"estimate_sigma takes one 3-D volume, got {np.ndim(vol)} dimensions; "
                         "estimate_noise or estimate_sigmas take a series")
    return estimate_sigmas(vol, rician, threads, coils)[0]


@dataclass
class VolumeNoise:
    """How one volume's sigma was estimated. sigma is NaN for a volume too
    small for an estimate of its own."""
    sigma: float
    estimator: str       # "background", "tissue", "repeats" (a series), "constant" or "none"
    confidence: str      # "high", "medium" or "low"
    background: float    # the background's estimate; NaN when there is no air to fit
    tissue: float        # the tissue's estimate; NaN when no block was flat
    correlation: float   # the largest lag-1 correlation of the noise over the three axes
    step: float          # the step of the data's value grid; 0 for none
    samples: int         # the voxels or blocks the estimate rests on
    warnings: int        # the core's warning bits

    @classmethod
    def from_core(cls, d):
        return cls(sigma=d["sigma"], estimator=d["estimator"], confidence=d["confidence"],
                   background=d["background"], tissue=d["tissue"],
                   correlation=d["correlation"], step=d["step"], samples=d["samples"],
                   warnings=d["warnings"])

    def record(self):
        """A JSON-ready dict (NaN as None)."""
        def clean(x):
            return None if isinstance(x, float) and math.isnan(x) else x
        return {"Sigma": clean(self.sigma), "Estimator": self.estimator,
                "Confidence": self.confidence, "Background": clean(self.background),
                "Tissue": clean(self.tissue), "Correlation": round(self.correlation, 4),
                "ValueStep": self.step, "Samples": self.samples}


@dataclass
class NoiseEstimate:
    """The noise of a volume or series: ``sigmas`` (one per volume, what the
    filters use), the series' ``pooled`` estimate, each volume's own, and
    the warnings raised for it."""
    sigmas: list
    pooled: VolumeNoise
    volumes: list
    per_volume: bool
    warnings: list = field(default_factory=list)
    # The 90th over the 10th percentile of local estimates over the (first)
    # volume: near 1 for uniform noise; NaN when not measured.
    variation: float = math.nan
    sample_shape: tuple = None  # the voxels the estimate read, when not the whole volume
    # With background_mask=True, the voxels the background estimate took as
    # air (uint8 of the input's shape; all 0 in a volume without air found).
    background_mask: np.ndarray = None

    @property
    def estimator(self):
        return self.pooled.estimator

    @property
    def confidence(self):
        return self.pooled.confidence

    def record(self):
        """What the sidecar records."""
        record = {"Pooled": not self.per_volume, **self.pooled.record()}
        if len(self.volumes) > 1:
            record["PerVolume"] = [v.record() for v in self.volumes]
        return record


def _numbers(volumes):
    """Volume numbers as text, from 0 as `denoisers sigma` prints them and
    numpy indexes them, runs shortened: "volumes 0-2, 6"."""
    runs, start = [], None
    for i, v in enumerate(volumes):
        if start is None:
            start = v
        if i + 1 == len(volumes) or volumes[i + 1] != v + 1:
            runs.append(f"{start}" if start == v else f"{start}-{v}")
            start = None
    return ("volume " if len(volumes) == 1 else "volumes ") + ", ".join(runs)


def _messages(volumes, sigmas, per_volume, pooled):
    """The warnings of a series' estimates, each naming its volumes."""
    kinds = {}

    def note(kind, t):
        kinds.setdefault(kind, []).append(t)

    for t, v in enumerate(volumes):
        if v.warnings & _core.WARN_ZERO:
            note("zero", t)
        if v.warnings & _core.WARN_BELOW_STEP:
            note("step", t)
        if v.warnings & _core.WARN_DISAGREE:
            note("disagree", t)
        if v.warnings & _core.WARN_CORRELATED:
            note("correlated", t)
        if v.estimator == "none":
            note("small", t)
        elif v.estimator != "constant" and pooled.sigma > 0 and v.sigma > 0 and (
                max(v.sigma, pooled.sigma) > FAR_FROM_SERIES * min(v.sigma, pooled.sigma)):
            note("far", t)
    texts = {
        "zero": "the noise estimate is 0 although the data vary: nothing would be denoised; "
                "give sigma",
        "step": "the noise estimate is below the step between the data's values: noise this "
                "small cannot be told from the rounding, and the estimate is a guess",
        "disagree": f"the background (air) and the tissue give sigmas more than "
                    f"{100 * _core.DISAGREEMENT:.0f}% apart; the background's is used (it "
                    "holds noise alone)",
        "correlated": f"the noise of neighbouring voxels correlates above "
                      f"{_core.MOST_CORRELATION:g} (interpolated or filtered data?): the "
                      "filters assume white noise and remove less of it",
        "small": "too small for an estimate of its own: the series' pooled sigma is used",
        "far": f"its own estimate is more than {FAR_FROM_SERIES:g} times away from the "
               "series' pooled one" + (
                   ", and is used: check it, or pool (drop --sigma-per-volume / per_volume)"
                   if per_volume else
                   ", which it is given: if its noise differs from the other volumes', "
                   "estimate per volume (--sigma-per-volume, per_volume=True)"),
    }
    out = []
    for kind, numbers in kinds.items():
        detail = ""
        if kind in ("zero", "step", "disagree", "correlated", "far") and len(numbers) == 1:
            v = volumes[numbers[0]]
            detail = {"zero": "", "step": f" (sigma {v.sigma:.3g}, step {v.step:g})",
                      "disagree": f" (background {v.background:.4g}, tissue {v.tissue:.4g})",
                      "correlated": f" (lag-1 correlation {v.correlation:.2f})",
                      "far": f" ({v.sigma:.4g} against {pooled.sigma:.4g})"}[kind]
        where = _numbers(numbers) if len(volumes) > 1 else "the volume"
        out.append(f"noise: {where}: {texts[kind]}{detail}")
    return out


def estimate_noise(vol, rician=True, per_volume=False, threads=None, background_mask=False,
                   coils=1):
    """The noise of a 3-D volume or a 4-D series, with how it was found.

    Returns a NoiseEstimate: ``sigmas`` has one sigma per volume, the
    series' pooled one for all of them (or, with per_volume=True, each
    volume's own; a volume too small for its own takes the pooled one),
    ``pooled`` and ``volumes`` the estimates behind them (estimator,
    confidence, background and tissue estimates, correlation, value step).
    Each warning is raised as a DenoiseWarning and kept in ``warnings``.
    background_mask=True also keeps, in ``background_mask``, the voxels the
    background estimate took as air (one byte per voxel). coils: as
    estimate_sigmas' (the background is fitted to the central chi law of
    2 * coils degrees of freedom, the tissue corrected for it). Raises
    ValueError when the whole series holds too little data.
    """
    arr = as_volumes(vol, "estimate_noise: vol must be a 3-D or 4-D array of real numbers")
    cap = thread_cap(threads, "estimate_noise")
    result = _core.noise_sigma_series(arr, bool(rician), cap, bool(background_mask), coils)
    return _noise(result, per_volume, arr[..., 0] if arr.ndim == 4 else arr, rician, cap, coils)


def estimate_noise_streamed(read_volume, count, rician=True, per_volume=False, threads=None,
                            coils=1):
    """estimate_noise() of a series of `count` volumes that read_volume(t)
    returns one at a time, each a float64 Fortran-ordered 3-D array (a
    file's volumes: the series is never in memory at once; the estimate
    asks for them in order, and again from the first for a second look).
    The same estimate, bit for bit, as of the whole series."""
    cap = thread_cap(threads, "estimate_noise")
    result = _core.noise_sigma_streamed(read_volume, count, bool(rician), cap, coils)
    return _noise(result, per_volume, read_volume(0), rician, cap, coils)


def _noise(result, per_volume, first, rician, cap, coils):
    """The NoiseEstimate of the core's series result (with the background
    mask when it carries one), its warnings raised; `first`: the series'
    first volume, where the noise's variation is measured."""
    pooled = VolumeNoise.from_core(result[0])
    volumes = [VolumeNoise.from_core(d) for d in result[1]]
    if per_volume:
        sigmas = [v.sigma if v.estimator != "none" else pooled.sigma for v in volumes]
    else:
        sigmas = [pooled.sigma] * len(volumes)
    messages = _messages(volumes, sigmas, per_volume, pooled)
    variation = noise_variation(first, bool(rician), cap, coils)
    if variation > VARYING:
        messages.append(
            f"noise: its level varies across the image (local estimates {variation:.2f} times "
            "apart, 90th to 10th percentile): one sigma fits it nowhere, and the denoising is "
            "too weak where the noise is strong and too strong where it is weak; estimate a "
            "map instead (--sigma-map auto, sigma=\"auto\")")
    for m in messages:
        warnings.warn(m, DenoiseWarning, stacklevel=3)
    return NoiseEstimate(sigmas, pooled, volumes, per_volume, messages, variation=variation,
                         background_mask=result[2] if len(result) > 2 else None)
