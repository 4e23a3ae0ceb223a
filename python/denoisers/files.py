"""One NIfTI file denoised into another, with its JSON sidecar: the work of
`denoisers denoise`, shared by `denoisers bids` so that both write the same
bytes for the same input."""
import glob
import importlib
import json
import shutil
import threading
import warnings as _warnings
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from .version import version
from . import nifti, series_file
from .output_checks import mostly_zero_volumes
from .pipeline import DEFAULT_METHOD, DEFAULT_RADIUS, denoise, method_run
from .residual import structure_scores, structure_warning
from .run_warnings import DenoiseWarning, collected


def volumes(data):
    """The 3-D volumes of a 3-D or 4-D image (anything else is refused)."""
    if data.ndim == 3:
        return [data]
    if data.ndim == 4:
        return [data[..., t] for t in range(data.shape[3])]
    raise nifti.NiftiError(f"the image has {data.ndim} dimensions; 3-D or 4-D are denoised")


def remove_stale_temporaries(target):
    """Removes what a killed writer of target left behind: the temporaries
    that nifti.save_with_sidecar, bids.copy_atomically and
    chunked_io.save_volume make beside it ('.NAME.<random>.partial...',
    files or zarr folders), which an interruption that could not be handled
    (SIGKILL, a power cut) leaves in place."""
    target = Path(target)
    for stale in target.parent.glob(f".{glob.escape(target.name)}.*.partial*"):
        if stale.is_dir() and not stale.is_symlink():  # a zarr store's
            shutil.rmtree(stale, ignore_errors=True)
        else:
            stale.unlink(missing_ok=True)


# The fields of an input's sidecar that describe its acquisition and so
# stay true of the denoised image, carried into the output's sidecar.
ACQUISITION_FIELDS = (
    "Manufacturer", "ManufacturersModelName", "MagneticFieldStrength", "ReceiveCoilName",
    "ReceiveCoilActiveElements", "ScanningSequence", "SequenceVariant", "ScanOptions",
    "SequenceName", "PulseSequenceType", "MRAcquisitionType", "EchoTime", "RepetitionTime",
    "InversionTime", "FlipAngle", "EchoTrainLength", "PhaseEncodingDirection",
    "EffectiveEchoSpacing", "TotalReadoutTime", "SliceTiming", "SliceEncodingDirection",
    "SliceThickness", "MultibandAccelerationFactor", "ParallelReductionFactorInPlane",
    "ParallelAcquisitionTechnique", "PartialFourier", "PixelBandwidth", "DwellTime",
    "ImagingFrequency", "TaskName")


def acquisition(source_sidecars):
    """The ACQUISITION_FIELDS of the JSON files source_sidecars, merged in
    order (a later file overrides an earlier one)."""
    merged = {}
    for path in source_sidecars:
        try:
            merged.update(json.loads(Path(path).read_text()))
        except (OSError, ValueError) as e:
            raise nifti.NiftiError(f"{path}: not a readable JSON sidecar ({e})") from None
    return {k: merged[k] for k in ACQUISITION_FIELDS if k in merged}


def sidecar(source_name, source_sha256, *, noise, sigma, sigma_source, method, radius, mask,
            keep_dtype, estimate=None, warnings=(), sigma_map=None, coils=1):
    """The JSON sidecar of an output: what it came from, how it was made,
    how an estimated sigma was found (estimate: a NoiseEstimate), the noise
    map used (sigma_map: its file, median and range; None for "scalar") and
    what the run warned of."""
    if method == "quillon":
        radius = None
    elif method != "auto" and radius is None:  # auto chooses its own unless given one
        radius = DEFAULT_RADIUS
    record = {
        "Description": "Denoised with denoisers",
        "Sources": [source_name],
        "SourceSHA256": source_sha256,
        "NoiseModel": noise,
        "NoiseCoils": coils,
        "NoiseSigma": np.atleast_1d(sigma).tolist(),
        "NoiseSigmaSource": sigma_source,
        "NoiseSigmaMap": "scalar" if sigma_map is None else sigma_map,
        "Method": method,
        "Parameters": {"radius": radius, "mask": mask, "keep_dtype": keep_dtype},
        "SoftwareName": "denoisers",
        "SoftwareVersion": version(),
    }
    if estimate is not None:
        record["NoiseEstimate"] = estimate.record()
    record["Warnings"] = list(warnings)
    return record


def sigma_source(sigma, per_volume, count, sigma_map=None):
    """How NoiseSigmaSource names where the sigma came from."""
    if sigma_map is not None:
        return f"the median of the {'estimated' if sigma_map == 'auto' else 'given'} sigma map"
    if sigma is not None:
        return "given"
    if count > 1:
        return "estimated per volume" if per_volume else f"estimated, pooled over {count} volumes"
    return "estimated"


def _map_record(used, path):
    """The sidecar's NoiseSigmaMap of a call with a map: its file (or
    "estimated"), median and range."""
    if used is None:
        return None
    return {**used, "File": "estimated" if path == "auto" else str(path)}


def _air(estimate):
    """The estimator's background mask for the page, when it found air."""
    air = None if estimate is None else estimate.background_mask
    return air if air is not None and air.any() else None


def denoise_file(source, output, *, sigma=None, noise="rician", method=DEFAULT_METHOD,
                 radius=None, mask=None, threads=None, keep_dtype=False, progress=False,
                 source_name=None, per_volume=False, magnitude=False, source_sidecars=None,
                 report=None, sigma_map=None, coils=1):
    """Denoises the NIfTI file `source` into `output` and writes the sidecar
    beside it, both atomically, and the report page to the path `report`
    when given. `source_name` is what the sidecar's Sources records
    (default: the path as given). per_volume: estimate each volume's sigma
    on its own, not one for the series. magnitude: denoise the modulus of
    complex voxels (refused otherwise). source_sidecars: the input's JSON
    sidecars, whose acquisition fields the output's sidecar carries
    (default: IN.json beside the input, when there is one). sigma_map: a
    NIfTI noise map on the input's grid, or "auto" to estimate one (in place
    of sigma). coils: the receive channels of a sum-of-squares magnitude
    (sigma then each channel's; see denoise). Returns a dict:
    sigma (one per volume), seconds (the denoising alone), clipped, shape,
    dtype, warnings (the DenoiseWarning messages, also in the sidecar's
    Warnings). Raises NiftiError or ValueError with a one-line reason."""
    method = method_run(method, coils)  # as denoise() runs it, so the sidecar says so
    if report:  # its libraries (scipy, Pillow) load while the filters run
        threading.Thread(target=importlib.import_module, args=(f"{__package__}.report",),
                         daemon=True).start()
    folder = Path(output).resolve().parent
    if not folder.is_dir():
        raise nifti.NiftiError(f"{output}: the folder {folder} does not exist")
    for target in (output, nifti.sidecar_path(output)):
        remove_stale_temporaries(target)
    if source_sidecars is None:
        source_sidecars = [p for p in [nifti.sidecar_path(source)] if p.is_file()]
    carried = acquisition(source_sidecars)
    rician = noise == "rician"

    def record(used, estimate, messages, scores, clipped, source_sha256, map_used=None):
        made = sidecar(str(source) if source_name is None else source_name, source_sha256,
                       noise=noise, sigma=used,
                       sigma_source=sigma_source(sigma, per_volume, np.size(used), sigma_map),
                       method=method, radius=radius, mask=None if mask is None else str(mask),
                       keep_dtype=keep_dtype, estimate=estimate, warnings=messages,
                       sigma_map=_map_record(map_used, sigma_map), coils=coils)
        if keep_dtype:
            made["ClippedVoxels"] = clipped
        made.update(carried)
        if nifti.is_complex(img):
            made["InputMagnitude"] = "the magnitude of the input's complex voxels was denoised"
        made["ResidualStructure"] = scores
        return made

    img = nifti.open_image(source)
    if series_file.streams(img, sigma_map, report):
        return _denoise_streamed(series_file.Volumes(source, img), output, record,
                                 sigma=sigma, rician=rician, method=method, radius=radius,
                                 mask=nifti.load_mask(mask, img) if mask else None,
                                 threads=threads, keep_dtype=keep_dtype, progress=progress,
                                 per_volume=per_volume, coils=coils)
    # Beside the work: the input's digest, then the checks of the result
    # while the main thread converts and writes it.
    with ThreadPoolExecutor(1, thread_name_prefix="denoisers-side") as side:
        digest = side.submit(nifti.sha256, source)
        img, data = nifti.load(source, magnitude)
        volumes(data)  # the rank check, before any work
        mask_data = nifti.load_mask(mask, img) if mask else None
        if sigma_map is not None and sigma_map != "auto":
            sigma = nifti.load_sigma_map(sigma_map, img)
        elif sigma_map is not None:
            sigma = sigma_map
        start = time.perf_counter()
        with collected() as run:
            result = denoise(data, sigma=sigma, rician=rician, method=method,
                             radius=radius, mask=mask_data, threads=threads, progress=progress,
                             per_volume=per_volume, coils=coils, background_mask=bool(report))
            out, used = result
            seconds = time.perf_counter() - start
            sigmas = np.atleast_1d(used).tolist()
            checks = side.submit(lambda: (mostly_zero_volumes(data, out, used),
                                          structure_scores(data, out, sigmas)))
            out_img, clipped = nifti.output_image(img, out, keep_dtype)

            def checked():  # once the image is written
                mostly_zero, scores = checks.result()
                _warn_checks(mostly_zero, scores, method)
                return record(used, result.noise, run.messages, scores, clipped,
                              digest.result(), result.sigma_map)

            nifti.save_with_sidecar(out_img, output, checked, threads)
    scores = checks.result()[1]
    if report:
        from .report import write_report
        written = json.loads(nifti.sidecar_path(output).read_text())  # with the output's digest
        write_report(report, data, out, {**written, "Seconds": round(seconds, 3)},
                     sigmas=sigmas, scores=scores, affine=img.affine, noise=noise,
                     coils=coils, sigma_map=result.noise_map, title=Path(output).name,
                     background=_air(result.noise))
    return {"sigma": sigmas, "seconds": seconds, "clipped": clipped,
            "shape": out.shape, "dtype": img.get_data_dtype(), "warnings": run.messages}


def _warn_checks(mostly_zero, scores, method):
    """The warnings of the checks of a result, in the order the sidecar
    lists them: the volumes that came back mostly zero, then the residual's
    structure."""
    for message in mostly_zero:
        _warnings.warn(message, DenoiseWarning)
    anatomy = structure_warning(scores, method)
    if anatomy:
        _warnings.warn(anatomy, DenoiseWarning)


def _denoise_streamed(series, output, record, *, sigma, rician, method, **options):
    """denoise_file() of a 4-D series volume by volume (series_file): the
    same output, sidecar and warnings, with a few volumes in memory."""
    start = time.perf_counter()
    with collected() as run:
        def finished(facts):
            # The warnings raised after the volumes, as the whole-series path
            # raises them, before the sidecar records them all.
            _warn_checks(facts["mostly_zero"], facts["scores"], method)
            return record(np.array(facts["sigma"]), facts["noise"], run.messages,
                          facts["scores"], facts["clipped"], facts["source_sha256"])

        facts = series_file.denoise_series(series, output, sigma=sigma, rician=rician,
                                           method=method, record=finished, **options)
    return {"sigma": facts["sigma"], "seconds": time.perf_counter() - start,
            "clipped": facts["clipped"], "shape": series.img.shape,
            "dtype": series.img.get_data_dtype(), "warnings": run.messages}
