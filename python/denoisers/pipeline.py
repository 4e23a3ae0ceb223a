"""denoise(): the filters in any units, with sigma estimated when not given."""
import math

import numpy as np
from tqdm import tqdm

from . import _core
from .filters import as_volumes, thread_cap, volumes_of
from .filters import per_volume as _one_per_volume
from .output_checks import check_negative_magnitudes
from .sigma import estimate_noise

METHODS = ("quillon+tessary", "quillon")

# The filters truncate coefficient magnitudes and local-mean differences to
# integers before comparing them with multiples of sigma, and the Rician
# bias table steps through values in tenths: they were made for data whose
# sigma is some units, not fractions of one, and their results change with
# the units. Each volume is therefore scaled so that sigma becomes
# WORKING_SIGMA (measured best on real brains), capped so that the largest
# value stays where the Rician table is small and cheap to build. Neither
# sigma, 2.7 sigma nor tessary's gate sigma/3 is near an integer there, so
# the last bit of a voxel cannot flip a comparison of a whole region. The scale
# is a quotient of the volume's own sigma and largest value: a power-of-two
# change of units changes it by exactly that power (division is correctly
# rounded), so the result is exactly the scaled one, and any other factor
# reaches the same working volume up to the last bit of each voxel.
WORKING_SIGMA = 12.5
_LARGEST_WORKING_VALUE = 2.0**22  # Rician table of 8 * 2**23 entries at most


class Working:
    """The affine map of a volume into the filters' working range and back,
    fixed by the volume as a whole: its smallest and largest values, sigma
    and the noise model. Gaussian data may be negative or sit on any
    baseline: the filters see it from its minimum up, which also makes a
    constant added to the input come out added to the result; Rician
    magnitudes keep their zero. sigma 0 declares no noise: the map is the
    identity, and the filters give the volume back. A chunk of a volume
    (denoisers.chunked) goes through the whole volume's map, so every voxel
    gets the whole call's bits."""

    def __init__(self, smallest, largest, sigma, rician):
        self.offset = 0.0 if rician or sigma == 0.0 else smallest
        self.flag = 1.0 if rician else 0.0
        low, high = smallest - self.offset, largest - self.offset
        magnitude = max(abs(low), abs(high))
        self.scale, self.sigma = 1.0, sigma
        if sigma != 0.0:
            self.scale, self.sigma = WORKING_SIGMA / sigma, WORKING_SIGMA
            if magnitude > 0.0 and magnitude * self.scale > _LARGEST_WORKING_VALUE:
                self.scale = _LARGEST_WORKING_VALUE / magnitude
                self.sigma = sigma * self.scale
        if not (math.isfinite(self.scale) and self.scale > 0.0):
            raise ValueError(f"denoise: sigma {sigma} cannot be mapped to the filters' range "
                             f"for this volume (largest value {magnitude})")
        # The largest working value, as quillon would find it in the whole
        # working volume: x -> (x - offset) * scale never decreases, so the
        # largest input maps to it. Counted from 0, as the core counts.
        self.table_largest = max(0.0, self._forward(largest))

    def _forward(self, x):
        shifted = x - self.offset if self.offset != 0.0 else x
        return shifted * self.scale

    def into(self, block):
        return np.asfortranarray(self._forward(np.asarray(block, dtype=np.float64)))

    def into_own(self, x):
        """into() in place, on a float64 volume no one else holds."""
        if self.offset != 0.0:
            np.subtract(x, self.offset, out=x)
        return np.multiply(x, self.scale, out=x)

    def back(self, out, dtype, scaled=False):
        """out (float64, ours to change) in the input's units and dtype;
        scaled: out is already divided by the scale."""
        if not scaled:
            out /= self.scale
        if self.offset != 0.0:
            out += self.offset
        return out.astype(dtype, copy=False)


def _grown(mask, width):
    """mask with every voxel within `width` voxels (a cube) of a set one set,
    as Fortran-ordered bytes."""
    grown = mask.copy()
    for axis in range(3):
        n = grown.shape[axis]
        source = grown.copy()
        for d in range(1, min(width, n - 1) + 1):
            ahead = [slice(None)] * 3
            behind = [slice(None)] * 3
            ahead[axis], behind[axis] = slice(d, None), slice(None, n - d)
            grown[tuple(ahead)] |= source[tuple(behind)]
            grown[tuple(behind)] |= source[tuple(ahead)]
    return np.asfortranarray(grown, dtype=np.uint8)


def _masks_for(mask, method, radius):
    """The cores' masks of one volume: tessary's is the mask; quillon's, when
    its result guides tessary, also holds every voxel whose guide value
    tessary reads for a masked voxel (the search radius, plus one for the
    guide's local means)."""
    if mask is None:
        return None, None
    own = np.asfortranarray(mask, dtype=np.uint8)
    if method == "quillon":
        return own, None
    return _grown(mask, radius + 1), own


def _denoise_volume(v, sigma, rician, method, radius, step, threads=0, mask=None):
    """One 3-D float64 volume in its own units; step() after each pass.
    Voxels outside mask hold unspecified values."""
    w = Working(float(v.min()) if v.size else 0.0, float(v.max()) if v.size else 0.0,
                sigma, rician)
    work = w.into(v)
    quillon_mask, tessary_mask = _masks_for(mask, method, radius)
    out = _core.quillon(work, w.sigma, w.flag, False, w.table_largest, threads=threads,
                        mask=quillon_mask)
    step(1)
    if method == "quillon+tessary":
        out = _core.tessary(work, float(radius), w.sigma, out, w.flag, threads=threads,
                            mask=tessary_mask)
        step(1)
    return w.back(out, np.float64)


def _passes(method):
    return method.split("+")


class Denoised(tuple):
    """denoise()'s result: unpacks as ``(denoised, sigma)``; ``noise`` is
    the NoiseEstimate behind an estimated sigma (None when sigma was given)."""

    def __new__(cls, denoised, sigma, noise):
        self = super().__new__(cls, (denoised, sigma))
        self.noise = noise
        return self

    @property
    def denoised(self):
        return self[0]

    @property
    def sigma(self):
        return self[1]


def denoise(vol, sigma=None, rician=True, method="quillon+tessary", radius=3, mask=None,
            threads=None, progress=False, per_volume=False):
    """Denoises a 3-D volume, or each volume of a 4-D series, in any units.

    Returns ``(denoised, sigma)``: the denoised array, and the sigma used
    (a float for 3-D input, an array of one value per volume for 4-D). The
    result's ``noise`` attribute holds how an estimated sigma was found
    (denoisers.NoiseEstimate: estimator, confidence, each volume's own
    estimate, warnings); warnings are also raised as DenoiseWarning.

    vol: 3-D array, or 4-D with the volumes along the last axis; any real
        float or integer dtype, any order. The output keeps a float input's
        dtype; integer input gives float64. Voxels must be finite (outside
        a mask they may not be, and come back unchanged). Under the Rician
        model a volume of which more than 1% is below -3 sigma is refused
        (it is not a magnitude image: use rician=False), and one with fewer
        such voxels warned of.
    sigma: the noise standard deviation in the voxels' units (one value, or
        one per volume); None estimates it (estimate_noise): one sigma pooled
        over the volumes of a series, which share one noise level. 0
        returns the input unchanged.
    per_volume: with sigma None, estimate each volume's sigma on its own
        instead of pooling them (a volume too small for its own estimate
        takes the pooled one).
    rician: True for magnitude images (Rician noise; the result is never
        negative), False for Gaussian noise (negative data such as
        difference or phase images works, and adding a constant to the input
        adds it to the result).
    method: "quillon+tessary" (quillon's result guides tessary, the default)
        or "quillon" alone.
    radius: tessary's search radius in voxels.
    mask: boolean array of the spatial shape (or of vol's shape): voxels
        outside keep their input value; inside, the result is that of the
        unmasked call, bit for bit. The filters skip the blocks and pairs
        that cannot reach a masked voxel, so the time falls with the masked
        share (the README's Speed section has figures).
    threads: at most this many worker threads, for the filters and for
        estimating sigma; None is what the process may use (its CPU
        affinity, and DENOISERS_THREADS when set). The bits never depend on
        it.
    progress: a tqdm progress bar on stderr, per volume for 4-D input and
        per pass for 3-D.

    Units do not matter: each volume is scaled so that its sigma becomes the
    filters' working sigma, and back. Multiplying vol and sigma by 2**k
    multiplies the result by exactly 2**k; any other factor gives the same
    result up to rounding.

    Measured with the true sigma: Rician noise added at a percentage of the
    maximum (fixed seed) to the Colin27 T1 (ch2, 181x217x181, values 0 to
    254) and to its skull-stripped version with a zero background (ch2bet,
    0 to 133); PSNR in dB over the head (the voxels above 10% of the clean
    maximum, that maximum as the peak):

        volume, noise    noisy   quillon   quillon+tessary
        ch2, 3%          30.48    38.16        38.02
        ch2, 5%          26.08    35.46        35.43
        ch2bet, 3%       30.47    36.38        36.46
        ch2bet, 5%       26.04    33.24        33.87

    On the whole head quillon alone is as good (within 0.15 dB); on the
    stripped brain the pipeline gains 0.1 dB at 3% and 0.6 dB at 5%.
    quillon alone takes under half the pipeline's time: in process on an
    idle 2-core machine 1.1 s against 2.5 s on this volume (the README's
    Speed section); bench/python_overhead.py measures it through Python.
    """
    arr = np.asarray(vol)
    message = "denoise: vol must be a 3-D or 4-D array of real numbers"
    data = as_volumes(arr, message)
    out_dtype = arr.dtype if arr.dtype.kind == "f" else np.dtype(np.float64)
    if method not in METHODS:
        raise ValueError(f"denoise: method must be one of {', '.join(METHODS)}; got {method!r}")
    if isinstance(radius, bool) or not isinstance(radius, (int, np.integer)) or radius < 0:
        raise ValueError(f"denoise: radius must be a non-negative integer; got {radius!r}")
    cap = thread_cap(threads, "denoise")
    mask = _check_mask(mask, data.shape)
    # Any NaN or infinity shows in an extreme; only then are they counted.
    # Outside a mask such voxels come back as they were (the filters and the
    # estimate see 0 there); anywhere else they are refused.
    source = data
    if data.size and not (math.isfinite(data.min()) and math.isfinite(data.max())):
        broken = ~np.isfinite(data)
        where = ""
        if mask is not None:
            broken_inside = broken & (mask if mask.shape == data.shape else
                                      np.broadcast_to(mask[..., None], data.shape))
            where = "inside the mask "
        else:
            broken_inside = broken
        bad = np.count_nonzero(broken_inside)
        if bad:
            raise ValueError(f"denoise: {bad} voxels {where}are not finite numbers "
                             "(NaN or infinite)")
        data = data.copy(order="K")
        data[broken] = 0.0

    vols = volumes_of(data)
    noise = None
    if sigma is None:
        noise = estimate_noise(data, rician, per_volume=per_volume, threads=threads)
        sigmas = noise.sigmas
    else:
        sigmas = _one_per_volume(sigma, len(vols), "denoise: sigma must be a number.")
        for s in sigmas:
            if not (math.isfinite(s) and s >= 0.0):
                raise ValueError(f"denoise: sigma must be finite and not negative; got {s}")

    if rician:
        check_negative_magnitudes(vols, sigmas, data.ndim == 4)

    total = len(vols) if data.ndim == 4 else len(_passes(method))
    used = []
    results = []
    with tqdm(total=total, disable=not progress, unit="volume" if data.ndim == 4 else "pass",
              desc="denoise", leave=False) as bar:
        for t, v in enumerate(vols):
            s = sigmas[t]
            used.append(s)
            step = (lambda n: None) if data.ndim == 4 else bar.update
            m = None if mask is None else (mask if mask.ndim == 3 else mask[..., t])
            results.append(_denoise_volume(v, s, rician, method, radius, step, cap, m))
            if data.ndim == 4:
                bar.update(1)

    if data.ndim == 3:
        out = results[0]
    else:
        out = np.empty(data.shape, dtype=np.float64, order="F")
        for t, r in enumerate(results):
            out[..., t] = r
    if mask is not None:
        outside = ~mask if mask.shape == out.shape else np.broadcast_to(
            ~mask[..., None], out.shape)
        out[outside] = source[outside]
    out = out.astype(out_dtype, copy=False)
    return Denoised(out, used[0] if data.ndim == 3 else np.array(used), noise)


def _check_mask(mask, shape):
    if mask is None:
        return None
    m = np.asarray(mask)
    if m.dtype.kind not in "biu":
        raise TypeError(f"denoise: mask must be a boolean array; got dtype {m.dtype}")
    if m.shape != shape[:3] and m.shape != shape:
        raise ValueError(f"denoise: mask shape {m.shape} differs from the volume's "
                         f"{shape[:3]}")
    return m.astype(bool)
