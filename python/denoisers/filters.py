"""The two filters with the MEX files' arithmetic, on numpy arrays.

Given the same doubles, ``quillon`` and ``tessary`` return the bits that
``quillon.mexa64`` and ``tessary.mexa64`` return, and they take what those
take: a volume [rows, cols, slices] (a 2-D array is one slice), or a series of
volumes along the fourth and later axes, each filtered on its own with its
own sigma (and, under Rician noise, its own largest value sizing the bias
table). Any real integer or float dtype is read as doubles. The MEX
functions' contract checks every call (the binding hands it the arguments as
they are), so a refusal carries the MEX identifier in front of the gateway's
message, as in ``ValueError("quillon:sigma: sigma (input 2) must be ...")``:
TypeError when an argument is not the kind of value its input takes,
ValueError when its value is wrong.
"""
import numpy as np

from . import _core


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


def quillon(vol, sigma, rician=True, return_first=False, table_largest=None, coils=None):
    """Block-DCT denoising: ``quillon(noisy, sigma, rician)`` of the MEX file.

    vol: 3-D array, or more dimensions for a series of volumes; any real
    integer or float dtype, C or Fortran order (a float64 Fortran-ordered
    array is read in place). sigma: the noise standard deviation in the
    voxels' units, one for all volumes or one per volume. rician: the MEX
    flag (True/1 for Rician noise, False/0 for Gaussian; truncated to a
    32-bit integer as the MEX file does). Returns the float64 result in
    Fortran order, and with return_first=True also the first (hard-threshold)
    estimate. table_largest: the value that sizes the Rician bias table in
    place of the volume's own largest value (one for all volumes or one per
    volume); None or a negative value keeps the volume's own. A piece of a
    larger volume gives the whole volume's largest value here, so that it is
    corrected with the same table as in the whole-volume call. coils: the
    MEX file's optional fourth input, the receive channels of a
    sum-of-squares magnitude (1 to 64; sigma is each channel's; None or 1:
    one coil, the Rician table).
    """
    return _core.quillon(vol, sigma, rician, return_first, table_largest, coils=coils)


def tessary(vol, radius, sigma, guide, rician=True, coils=None):
    """Guided non-local means: ``tessary(noisy, radius, 1, sigma, guide, rician)``
    of the MEX file.

    vol and guide: arrays of one shape (3-D, a 2-D slice, or more dimensions
    for a series of volumes), any real integer or float dtype, either order.
    radius: the search radius (truncated to an integer). sigma: one for all
    volumes or one per volume. rician: the MEX flag, narrowed to one byte as
    the Linux MEX file does. The usual guide is ``quillon(vol, sigma,
    rician)``. coils: the optional seventh input, as quillon's (the bias
    removed is 2 * coils * sigma^2). Returns the float64 result in Fortran
    order.
    """
    return _core.tessary(vol, radius, sigma, guide, rician, coils=coils)
