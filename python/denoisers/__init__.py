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
import importlib

# Each name is imported from its module when first asked for, so that the
# command (launch.py) can start reading its input before numpy and nibabel
# load; `from denoisers import denoise` and denoisers.denoise work as ever.
_FROM = {
    "quillon": "filters", "tessary": "filters", "denoise": "pipeline",
    "DenoiseWarning": "run_warnings", "NoiseEstimate": "sigma", "estimate_noise": "sigma",
    "estimate_sigma": "sigma", "estimate_sigmas": "sigma", "estimate_sigma_map": "sigma_map",
}


def __getattr__(name):
    if name == "__version__":  # looked up when asked for (version.py)
        from .version import version
        return version()
    if name not in _FROM:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_FROM[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_FROM) | {"__version__"})


__all__ = ["quillon", "tessary", "denoise", "estimate_noise", "estimate_sigma", "estimate_sigmas",
           "estimate_sigma_map", "NoiseEstimate", "DenoiseWarning", "__version__"]
