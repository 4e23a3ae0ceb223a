"""The two filters with the MEX files' arithmetic, on numpy arrays.

Given the same doubles, ``quillon`` and ``tessary`` return the bits that
``quillon.mexa64`` and ``tessary.mexa64`` return. A 4-D array is a series of
3-D volumes along its last axis, each filtered on its own with its own sigma
(and, under Rician noise, its own largest value sizing the bias table).
Errors carry the MEX identifier in front of the gateway's message, as in
``ValueError("quillon:sigma: sigma (input 2) must be ...")``.
"""
import numpy as np

from . import _core

_QUILLON_VOLUME = ("quillon:volume: The noisy volume (input 1) must be a real, full double "
                   "array of three dimensions [rows, cols, slices].")
_QUILLON_SIGMA = ("quillon:sigma: sigma (input 2) must be a real numeric scalar: the noise "
                  "standard deviation, in the units of the voxel values.")
_QUILLON_RICIAN = ("quillon:rician: The Rician flag (input 3) must be a real numeric scalar: "
                   "1 for Rician noise, 0 for Gaussian noise.")
_TESSARY_VOLUME = ("tessary:volume: Input 1 (the noisy volume) must be a real, full double "
                   "array of three dimensions (or two, for one slice).")
_TESSARY_GUIDE = ("tessary:guide: Input 5 (the guide) must be a real, full double array of "
                  "three dimensions (or two, for one slice).")


def _tessary_scalar(input_number, name):
    return f"tessary:scalar: Input {input_number} ({name}) must be a real numeric scalar."


def as_volumes(vol, message):
    """Returns vol as a float64, Fortran-ordered 3-D or 4-D array: vol itself
    when it already is one, else one converted copy. Any real integer or
    float dtype is taken; other dtypes raise TypeError, other ranks
    ValueError, both with ``message``."""
    arr = np.asarray(vol)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{message} (got dtype {arr.dtype})")
    if arr.ndim not in (3, 4):
        raise ValueError(f"{message} (got {arr.ndim} dimensions; a 4-D array is a series of "
                         "volumes along its last axis)")
    return np.asfortranarray(arr, dtype=np.float64)


def scalar(value, message):
    """A real number from a Python or numpy scalar (or a one-element array)."""
    arr = np.asarray(value)
    if arr.dtype.kind not in "biuf" or arr.size != 1:
        raise TypeError(message)
    return float(arr.reshape(()))


def per_volume(value, count, message):
    """One float per volume: a scalar for all of them, or one value each."""
    arr = np.asarray(value)
    if arr.dtype.kind not in "biuf":
        raise TypeError(message)
    if arr.size == 1:
        return [float(arr.reshape(()))] * count
    if arr.ndim == 1 and arr.size == count:
        return [float(x) for x in arr]
    raise ValueError(f"{message} For a 4-D array give one value, or one per volume "
                     f"({count}); got {arr.size}.")


def thread_cap(threads, caller):
    """threads as the cores' cap: 0 for None (what the process may use),
    else the positive integer given, held within C++'s int."""
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"{caller}: threads must be a positive integer or None; got {threads!r}")
    return int(min(threads, 1 << 16))


def volumes_of(arr):
    """The 3-D volumes of a 3-D or 4-D Fortran-ordered array, as views."""
    if arr.ndim == 3:
        return [arr]
    return [arr[..., t] for t in range(arr.shape[3])]


def quillon(vol, sigma, rician=True, return_first=False, table_largest=None):
    """Block-DCT denoising: ``quillon(noisy, sigma, rician)`` of the MEX file.

    vol: 3-D array, or 4-D as a series of volumes; any real integer or float
    dtype, C or Fortran order (a float64 Fortran-ordered array is read in
    place). sigma: the noise standard deviation in the voxels' units, one for
    all volumes or one per volume. rician: the MEX flag (True/1 for Rician
    noise, False/0 for Gaussian; truncated to a 32-bit integer as the MEX
    file does). Returns the float64 result in Fortran order, and with
    return_first=True also the first (hard-threshold) estimate.
    table_largest: the value that sizes the Rician bias table in place of
    the volume's own largest value (one for all volumes or one per volume);
    None or a negative value keeps the volume's own. A piece of a larger
    volume gives the whole volume's largest value here, so that it is
    corrected with the same table as in the whole-volume call.
    """
    arr = as_volumes(vol, _QUILLON_VOLUME)
    flag = scalar(rician, _QUILLON_RICIAN)
    vols = volumes_of(arr)
    sigmas = ([scalar(sigma, _QUILLON_SIGMA)] if arr.ndim == 3
              else per_volume(sigma, len(vols), _QUILLON_SIGMA))
    message = "quillon: table_largest must be a real number."
    largest = [-1.0] * len(vols) if table_largest is None else (
        [scalar(table_largest, message)] if arr.ndim == 3
        else per_volume(table_largest, len(vols), message))
    results = [_core.quillon(v, s, flag, return_first, m)
               for v, s, m in zip(vols, sigmas, largest)]
    if arr.ndim == 3:
        return results[0]
    if return_first:
        return (_stack([r[0] for r in results], arr.shape),
                _stack([r[1] for r in results], arr.shape))
    return _stack(results, arr.shape)


def tessary(vol, radius, sigma, guide, rician=True):
    """Guided non-local means: ``tessary(noisy, radius, 1, sigma, guide, rician)``
    of the MEX file.

    vol and guide: arrays of one shape (3-D, or 4-D as a series of volumes),
    any real integer or float dtype, either order. radius: the search radius
    (truncated to an integer). sigma: one for all volumes or one per volume.
    rician: the MEX flag, narrowed to one byte as the Linux MEX file does.
    The usual guide is ``quillon(vol, sigma, rician)``. Returns the float64
    result in Fortran order.
    """
    arr = as_volumes(vol, _TESSARY_VOLUME)
    radius = scalar(radius, _tessary_scalar(2, "search radius"))
    guide_arr = as_volumes(guide, _TESSARY_GUIDE)
    flag = scalar(rician, _tessary_scalar(6, "Rician flag"))
    if guide_arr.shape != arr.shape:
        raise ValueError("tessary:guideSize: Input 5 (the guide) must have the dimensions of "
                         f"input 1: {'x'.join(map(str, arr.shape))}, got "
                         f"{'x'.join(map(str, guide_arr.shape))}.")
    vols = volumes_of(arr)
    message = _tessary_scalar(4, "sigma")
    sigmas = [scalar(sigma, message)] if arr.ndim == 3 else per_volume(sigma, len(vols), message)
    results = [_core.tessary(v, radius, s, g, flag)
               for v, s, g in zip(vols, sigmas, volumes_of(guide_arr))]
    return results[0] if arr.ndim == 3 else _stack(results, arr.shape)


def _stack(volumes, shape):
    out = np.empty(shape, dtype=np.float64, order="F")
    for t, v in enumerate(volumes):
        out[..., t] = v
    return out
