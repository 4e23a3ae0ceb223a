"""One NIfTI file denoised into another, with its JSON sidecar: the work of
`denoisers denoise`, shared by `denoisers bids` so that both write the same
bytes for the same input."""
import glob
import time
from pathlib import Path

import numpy as np

from . import __version__
from . import nifti
from .pipeline import DEFAULT_METHOD, DEFAULT_RADIUS, denoise


def volumes(data):
    """The 3-D volumes of a 3-D or 4-D image (anything else is refused)."""
    if data.ndim == 3:
        return [data]
    if data.ndim == 4:
        return [data[..., t] for t in range(data.shape[3])]
    raise nifti.NiftiError(f"the image has {data.ndim} dimensions; 3-D or 4-D are denoised")


def remove_stale_temporaries(target):
    """Removes what a killed writer of target left behind: the temporaries
    that nifti.save_with_sidecar and bids.copy_atomically make beside it
    ('.NAME.<random>.partial...'), which an interruption that could not be
    handled (SIGKILL, a power cut) leaves in place."""
    target = Path(target)
    for stale in target.parent.glob(f".{glob.escape(target.name)}.*.partial*"):
        stale.unlink(missing_ok=True)


def sidecar(source_name, source_sha256, *, noise, sigma, sigma_source, method, radius, mask,
            keep_dtype):
    """The JSON sidecar of an output: what it came from and how it was made."""
    if method == "quillon":
        radius = None
    elif method != "auto" and radius is None:  # auto chooses its own unless given one
        radius = DEFAULT_RADIUS
    return {
        "Description": "Denoised with denoisers",
        "Sources": [source_name],
        "SourceSHA256": source_sha256,
        "NoiseModel": noise,
        "NoiseSigma": np.atleast_1d(sigma).tolist(),
        "NoiseSigmaSource": sigma_source,
        "Method": method,
        "Parameters": {"radius": radius, "mask": mask, "keep_dtype": keep_dtype},
        "SoftwareName": "denoisers",
        "SoftwareVersion": __version__,
    }


def denoise_file(source, output, *, sigma=None, noise="rician", method=DEFAULT_METHOD,
                 radius=None, mask=None, threads=None, keep_dtype=False, progress=False,
                 source_name=None):
    """Denoises the NIfTI file `source` into `output` and writes the sidecar
    beside it, both atomically. `source_name` is what the sidecar's
    Sources records (default: the path as given). Returns a dict: sigma
    (one per volume), seconds (the denoising alone), clipped, shape, dtype.
    Raises NiftiError or ValueError with a one-line reason."""
    folder = Path(output).resolve().parent
    if not folder.is_dir():
        raise nifti.NiftiError(f"{output}: the folder {folder} does not exist")
    for target in (output, nifti.sidecar_path(output)):
        remove_stale_temporaries(target)
    img, data = nifti.load(source)
    volumes(data)  # the rank check, before any work
    mask_data = nifti.load_mask(mask, img) if mask else None
    start = time.perf_counter()
    out, used = denoise(data, sigma=sigma, rician=noise == "rician", method=method,
                        radius=radius, mask=mask_data, threads=threads, progress=progress)
    seconds = time.perf_counter() - start
    out_img, clipped = nifti.output_image(img, out, keep_dtype)
    record = sidecar(str(source) if source_name is None else source_name, nifti.sha256(source),
                     noise=noise, sigma=used,
                     sigma_source="given" if sigma is not None else "estimated", method=method,
                     radius=radius, mask=None if mask is None else str(mask),
                     keep_dtype=keep_dtype)
    if keep_dtype:
        record["ClippedVoxels"] = clipped
    nifti.save_with_sidecar(out_img, output, record)
    return {"sigma": np.atleast_1d(used).tolist(), "seconds": seconds, "clipped": clipped,
            "shape": out.shape, "dtype": img.get_data_dtype()}
