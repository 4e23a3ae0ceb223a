"""3-D MRI denoising for numpy arrays and NIfTI files.

- ``quillon``, ``tessary``: the two filters with the MEX files' arithmetic,
  bit for bit (denoisers.filters).
- ``denoise``: the user-level call, any units, sigma estimated when not
  given (denoisers.pipeline).
- ``estimate_noise``: the noise of a volume or a series (one pooled sigma),
  with how it was estimated and its warnings; ``estimate_sigma``,
  ``estimate_sigmas``: the noise level of one volume, or of each volume of
  a series on its own (denoisers.sigma, the C++ estimator).
- ``estimate_sigma_map``: a smooth map of the noise level over the field
  of view, for noise that varies; ``denoise(vol, sigma=MAP)`` or
  ``sigma="auto"`` uses one (denoisers.sigma_map).
- ``chunked.denoise``: the same on a dask array, chunk by chunk with exact
  halos, for volumes beyond one call or one machine (denoisers.chunked).
- The command ``denoisers`` (or ``python3 -m denoisers``) for NIfTI files
  and zarr stores (denoisers.cli).
"""
from .filters import quillon, tessary
from .pipeline import denoise
from .run_warnings import DenoiseWarning
from .sigma import NoiseEstimate, estimate_noise, estimate_sigma, estimate_sigmas
from .sigma_map import estimate_sigma_map
from .version import version as _version


def __getattr__(name):  # __version__ is looked up when asked for (version.py)
    if name == "__version__":
        return _version()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["quillon", "tessary", "denoise", "estimate_noise", "estimate_sigma", "estimate_sigmas",
           "estimate_sigma_map", "NoiseEstimate", "DenoiseWarning", "__version__"]
