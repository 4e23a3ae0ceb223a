"""denoise(): the filters in any units, with sigma estimated when not given."""
import math

import numpy as np

from . import _core, auto
from .filters import as_volumes, thread_cap, volumes_of
from .filters import per_volume as _one_per_volume
from .output_checks import check_negative_magnitudes
from .progress import PassBar
from .sigma import estimate_noise
from .sigma_map import MapUse, estimate_sigma_map, sigma_map_argument

# The filter chains, which chunked runs take too; denoise() also takes
# "auto" (auto.py), its default.
METHODS = ("quillon+tessary", "quillon")
CHOICES = ("auto",) + METHODS
DEFAULT_METHOD = "auto"
DEFAULT_RADIUS = 3  # tessary's, in quillon+tessary

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


def denoise_volume(v, sigma, rician, method, radius, bar, threads=0, mask=None, coils=1,
                   own=False, extremes=None):
    """One 3-D float64 volume in its own units, shown on bar (a PassBar).
    Voxels outside mask hold unspecified values. own: v is a Fortran-ordered
    float64 volume no one else holds, taken into the working range in place.
    extremes: v's (smallest, largest) value when the caller has them."""
    if extremes is None:
        extremes = (float(v.min()), float(v.max())) if v.size else (0.0, 0.0)
    w = Working(*extremes, sigma, rician)
    work = w.into_own(v) if own else w.into(v)
    method = method_run(method, coils)
    if method == "auto":
        chosen = auto.settings(work, w.sigma, rician, radius)
        masks = _masks_for(mask, "quillon+tessary" if chosen.weight > 0.0 else "quillon",
                           chosen.radius)
        return w.back(auto.filter_working(work, w.sigma, rician, chosen, bar, threads, masks),
                      np.float64)
    radius = DEFAULT_RADIUS if radius is None else radius
    quillon_mask, tessary_mask = _masks_for(mask, method, radius)
    out = _core.quillon(work, w.sigma, w.flag, False, w.table_largest, threads=threads,
                        mask=quillon_mask, coils=coils, progress=bar.hook)
    bar.pass_done()
    if method == "quillon+tessary":
        out = _core.tessary(work, float(radius), w.sigma, out, w.flag, threads=threads,
                            mask=tessary_mask, coils=coils, progress=bar.hook)
        bar.pass_done()
    return w.back(out, np.float64)


def method_run(method, coils):
    """The method a call runs: auto's single correction is one coil's law,
    so with several coils it runs quillon+tessary."""
    return "quillon+tessary" if method == "auto" and coils != 1 else method


def passes(method):
    return ["quillon", "tessary"] if method == "auto" else method.split("+")


class Denoised(tuple):
    """denoise()'s result: unpacks as ``(denoised, sigma)``; ``noise`` is
    the NoiseEstimate behind an estimated sigma (None when sigma was given);
    ``sigma_map`` what a noise map's call used (its "File": "given" or
    "estimated", "Median", "Range"), None for a scalar sigma, and
    ``noise_map`` the map itself; ``coils`` the receive coils the noise law
    was taken for."""

    def __new__(cls, denoised, sigma, noise, sigma_map=None, coils=1, noise_map=None):
        self = super().__new__(cls, (denoised, sigma))
        self.noise = noise
        self.sigma_map = sigma_map
        self.noise_map = noise_map
        self.coils = coils
        return self

    @property
    def denoised(self):
        return self[0]

    @property
    def sigma(self):
        return self[1]


def denoise(vol, sigma=None, rician=True, method=DEFAULT_METHOD, radius=None, mask=None,
            threads=None, progress=False, per_volume=False, coils=1, background_mask=False):
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
        returns the input unchanged. For noise that varies across the image,
        a map: an array of the volume's spatial shape (or of vol's whole
        shape, one map per volume), finite and above 0, such as
        estimate_sigma_map() makes; "auto" estimates that map (pooled over
        a series, or per volume with per_volume=True) and uses it. The
        returned sigma is then the map's median.
    per_volume: with sigma None, estimate each volume's sigma on its own
        instead of pooling them (a volume too small for its own estimate
        takes the pooled one).
    rician: True for magnitude images (Rician noise; the result is never
        negative), False for Gaussian noise (negative data such as
        difference or phase images works, and adding a constant to the input
        adds it to the result).
    method: "auto" (the default) chooses the filters and their settings
        from the volume, by the rule below; "quillon+tessary" (quillon's
        result guides tessary) and "quillon" alone give the MEX filters'
        results.
    radius: tessary's search radius in voxels; None is 3, or auto's choice.
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
        per pass for 3-D, moving within each pass as the filters report it.
    coils: for a sum-of-squares magnitude of several receive channels
        (Rician noise only), their number, 1 to 64; sigma is then each
        channel's noise. quillon's bias table follows the non-central chi
        law with 2 * coils degrees of freedom and tessary removes
        2 * coils * sigma^2. 1 (one coil) is the Rician case, bit for bit.
        sigma estimated (None or "auto") is each channel's too: the
        estimators fit the coils' law. method="auto" then runs
        quillon+tessary, since its own correction is one coil's.
    background_mask: with sigma estimated, keep the voxels the estimator
        took as air in the result's ``noise.background_mask`` (for a report).

    A map is used by making the noise uniform: each volume is multiplied by
    median(map) / map, denoised at the median, and the result multiplied by
    map / median(map). Where the map varies slowly (over many voxels, as the
    g-factor and coil profiles do) the scaled magnitude is locally a Rician
    magnitude of sigma median(map) around a scaled signal, which is what the
    filters assume. It fails where the map changes within a filter's reach
    (4 voxels for quillon's blocks, the search radius plus one for tessary):
    an edge in the map leaves a step of noise level that the filters smooth
    across, and structures there come out scaled by a blend of the two
    factors. A map of one value gives the scalar call's bits exactly.

    Units do not matter: each volume is scaled so that its sigma becomes the
    filters' working sigma, and back. Multiplying vol and sigma by 2**k
    multiplies the result by exactly 2**k; any other factor gives the same
    result up to rounding.

    method="auto" reads two figures of each noisy volume from its means
    over 4x4x4 blocks (cleared of the Rician bias, or taken from their
    0.1th percentile under Gaussian noise): the noise level, sigma over
    their 99.9th percentile in percent, and the background share, the
    share of them below a tenth of that percentile. It then runs quillon
    with its thresholds at `factor` times the usual; under Rician noise
    quillon averages its blocks uncorrected and the bias is removed once
    from the average, voxel by voxel (up to 0.4 dB better at 9% noise than
    correcting each block). tessary (radius 3) follows, guided by that
    result, and the two are mixed: (1 - weight) * quillon + weight *
    tessary (with weight 0 tessary does not run). The two err differently
    (whole blocks against single voxels), so the mix beats both. weight
    and factor come from the noise level, linearly between these points
    and held beyond the ends:

        background share   noise %   weight   factor
        below 0.6 (head)      1.3     0.15     1.15
                              3.8     0.4      1.0
                             11.6     0.4      1.0
        0.6 or more           1.1     0.0      1.15
        (stripped brain)      3.4     0.5      1.15
                              5.5     0.8      1.0
                              7.7     0.9      1.0

    The rule is fitted on this table (bench/quality_sweep.py): noise of a
    law (R Rician, G Gaussian) added at a percentage of the maximum, fixed
    seed, to the Colin27 T1 (ch2, 181x217x181, values 0 to 254) and to its
    skull-stripped brain with a zero background (ch2bet, 0 to 133), every
    filter given the true sigma; PSNR in dB over the head (the voxels above
    10% of the clean maximum, that maximum as the peak). "best @w": the
    best mix and its weight, with quillon's thresholds as usual (factor 1)
    and at 1.15 times:

        volume, noise   noise %  share  best @w (1)  best @w (1.15)   auto  quillon  q+tessary
        ch2, R 1%         1.29   0.43   44.02 @0.1   44.22 @0.2      44.23  44.00    43.40
        ch2, R 3%         3.86   0.43   38.34 @0.4   38.31 @0.3      38.34  38.16    38.01
        ch2, R 5%         6.44   0.42   35.69 @0.4   35.53 @0.4      35.69  35.45    35.42
        ch2, R 7%         9.02   0.42   33.91 @0.4   33.69 @0.4      33.91  33.60    33.66
        ch2, R 9%        11.59   0.42   32.54 @0.4   32.31 @0.4      32.54  32.17    32.28
        ch2, G 1%         1.28   0.43   43.99 @0.1   44.21 @0.1      44.21  43.98    43.38
        ch2, G 3%         3.81   0.42   38.35 @0.4   38.33 @0.3      38.35  38.21    38.04
        ch2, G 5%         6.28   0.42   35.79 @0.4   35.66 @0.4      35.79  35.63    35.54
        ch2, G 7%         8.72   0.41   34.07 @0.4   33.88 @0.4      34.07  33.92    33.85
        ch2, G 9%        11.11   0.41   32.81 @0.4   32.60 @0.4      32.81  32.68    32.59
        ch2bet, R 1%      1.12   0.73   42.65 @0.0   42.87 @0.0      42.87  42.64    42.11
        ch2bet, R 3%      3.36   0.73   36.62 @0.5   36.78 @0.5      36.78  36.38    36.47
        ch2bet, R 5%      5.58   0.73   33.93 @0.8   33.96 @0.8      33.93  33.25    33.86
        ch2bet, R 7%      7.82   0.73   32.24 @0.9   32.09 @0.9      32.24  31.03    32.21
        ch2bet, R 9%     10.01   0.73   30.81 @0.9   30.52 @0.9      30.81  29.51    30.78
        ch2bet, G 1%      1.11   0.73   42.64 @0.0   42.86 @0.0      42.86  42.64    42.10
        ch2bet, G 3%      3.31   0.73   36.62 @0.5   36.79 @0.5      36.79  36.43    36.46
        ch2bet, G 5%      5.47   0.73   33.94 @0.7   33.97 @0.7      33.93  33.52    33.86
        ch2bet, G 7%      7.59   0.73   32.18 @0.8   32.09 @0.9      32.18  31.42    32.16
        ch2bet, G 9%      9.67   0.73   30.86 @0.9   30.51 @0.9      30.86  29.89    30.85

    auto is above the better named chain in every case, by 0.01 to 0.33
    dB; it costs about what quillon+tessary costs, or quillon's time where
    weight is 0 (the README's Quality section compares it with dipy).
    quillon alone takes under half quillon+tessary's time: in
    process on an idle 2-core machine 1.1 s against 2.5 s on this volume
    (the README's Speed section); bench/python_overhead.py measures it
    through Python.
    """
    arr = np.asarray(vol)
    message = "denoise: vol must be a 3-D or 4-D array of real numbers"
    data = as_volumes(arr, message)
    out_dtype = arr.dtype if arr.dtype.kind == "f" else np.dtype(np.float64)
    if method not in CHOICES:
        raise ValueError(f"denoise: method must be one of {', '.join(CHOICES)}; got {method!r}")
    if radius is not None and (isinstance(radius, bool) or not isinstance(radius, (int, np.integer))
                               or radius < 0):
        raise ValueError(f"denoise: radius must be a non-negative integer or None; "
                         f"got {radius!r}")
    cap = thread_cap(threads, "denoise")
    mask = check_mask(mask, data.shape)
    inside = None if mask is None else (
        mask if mask.shape == data.shape else np.broadcast_to(mask[..., None], data.shape))
    # Outside a mask NaN and infinite voxels come back as they were (the
    # filters and the estimate see 0 there); anywhere else they are refused.
    source = data
    data, extremes = finite_extremes(data, inside)

    vols = volumes_of(data)
    noise = None
    noise_map = None
    if isinstance(sigma, str):
        if sigma != "auto":
            raise ValueError(f"denoise: sigma must be a number, a map or \"auto\"; got {sigma!r}")
        noise_map = MapUse(estimate_sigma_map(data, rician, per_volume, threads, coils),
                           data.shape, "estimated")
    elif sigma is not None and sigma_map_argument(sigma, data.shape):
        noise_map = MapUse(sigma, data.shape, "given")
    if noise_map is not None:
        sigmas = [noise_map.median(t) for t in range(len(vols))]
    elif sigma is None:
        noise = estimate_noise(data, rician, per_volume=per_volume, threads=threads,
                               background_mask=background_mask, coils=coils)
        sigmas = noise.sigmas
    else:
        sigmas = given_sigmas(sigma, len(vols))

    if rician:
        check_negative_magnitudes(vols, sigmas, data.ndim == 4)

    used = []
    results = []
    with PassBar(progress, len(vols) if data.ndim == 4 else 1,
                 len(passes(method_run(method, coils)))) as bar:
        for t, v in enumerate(vols):
            s = sigmas[t]
            used.append(s)
            m = None if mask is None else (mask if mask.ndim == 3 else mask[..., t])
            if noise_map is None:
                results.append(denoise_volume(v, s, rician, method, radius, bar, cap, m,
                                               coils, extremes=extremes if data.ndim == 3
                                               else None))
            else:
                flat, factor = noise_map.flattened(v, t)
                flat = denoise_volume(flat, s, rician, method, radius, bar, cap, m, coils,
                                      own=True)
                results.append(np.divide(flat, factor, out=flat))
            bar.volume_done()

    if data.ndim == 3:
        out = results[0]
    else:
        out = np.empty(data.shape, dtype=np.float64, order="F")
        for t, r in enumerate(results):
            out[..., t] = r
    if mask is not None:
        outside = ~inside
        out[outside] = source[outside]
    out = out.astype(out_dtype, copy=False)
    return Denoised(out, used[0] if data.ndim == 3 else np.array(used), noise,
                    None if noise_map is None else noise_map.record(), coils,
                    None if noise_map is None else noise_map.map)


def finite_voxels(data, inside):
    """data, or a copy with its NaN and infinite voxels set to 0 when every
    one of them lies outside the mask (inside: the voxels the mask keeps,
    None for no mask); ValueError when any lies inside."""
    return finite_extremes(data, inside)[0]


def finite_extremes(data, inside):
    """finite_voxels(data, inside), and the (smallest, largest) value of
    what it returns, which the filters' working units need next: found
    once, as any NaN or infinity shows in an extreme, and only then are
    they counted."""
    if not data.size:
        return data, (0.0, 0.0)
    extremes = (float(data.min()), float(data.max()))
    if math.isfinite(extremes[0]) and math.isfinite(extremes[1]):
        return data, extremes
    broken = ~np.isfinite(data)
    where = "" if inside is None else "inside the mask "
    bad = np.count_nonzero(broken if inside is None else broken & inside)
    if bad:
        raise ValueError(f"denoise: {bad} voxels {where}are not finite numbers "
                         "(NaN or infinite)")
    data = data.copy(order="K")
    data[broken] = 0.0
    return data, (float(data.min()), float(data.max()))


def given_sigmas(sigma, count):
    """A given sigma as one float per volume of `count`, each checked."""
    sigmas = _one_per_volume(sigma, count, "denoise: sigma must be a number.")
    for s in sigmas:
        if not (math.isfinite(s) and s >= 0.0):
            raise ValueError(f"denoise: sigma must be finite and not negative; got {s}")
    return sigmas


def check_mask(mask, shape):
    if mask is None:
        return None
    m = np.asarray(mask)
    if m.dtype.kind not in "biu":
        raise TypeError(f"denoise: mask must be a boolean array; got dtype {m.dtype}")
    if m.shape != shape[:3] and m.shape != shape:
        raise ValueError(f"denoise: mask shape {m.shape} differs from the volume's "
                         f"{shape[:3]}")
    return m.astype(bool)
