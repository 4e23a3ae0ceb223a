"""The command `denoisers` (also `python3 -m denoisers`).

    denoisers denoise IN.nii[.gz] OUT.nii[.gz] [--sigma S] [--noise rician|gaussian]
              [--method quillon|quillon+tessary] [--mask MASK.nii[.gz]] [--threads N]
              [--keep-dtype] [--quiet]
    denoisers denoise IN OUT --chunks N [--scheduler ADDRESS] [...]   (NIfTI or zarr,
              chunk by chunk on dask, for volumes larger than memory)
    denoisers sigma IN.nii[.gz] [--noise rician|gaussian] [--json]

Exit status: 0 on success, 2 on a usage error, 1 on any other failure, with
one line on stderr saying what went wrong.
"""
import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

from . import __version__
from . import chunked, chunked_io, nifti
from .pipeline import METHODS, denoise
from .sigma import estimate_sigmas

_NIFTI_SUFFIXES = (".nii", ".nii.gz")


class _Parser(argparse.ArgumentParser):
    """argparse with its error as one line (and exit status 2)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: usage error: {message}\n")


def _positive_float(text):
    value = float(text)
    if not (np.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def _parser():
    parser = _Parser(prog="denoisers", description="Denoise 3-D and 4-D MRI NIfTI volumes.")
    parser.add_argument("--version", action="version", version=f"denoisers {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    d = commands.add_parser("denoise", help="denoise a NIfTI file into another")
    d.add_argument("input", help="input NIfTI file (.nii or .nii.gz), 3-D or 4-D")
    d.add_argument("output", help="output NIfTI file (.nii or .nii.gz); a JSON sidecar is "
                   "written beside it")
    d.add_argument("--sigma", type=_positive_float,
                   help="noise standard deviation in the image's units (default: estimated "
                   "per volume)")
    d.add_argument("--noise", choices=("rician", "gaussian"), default="rician",
                   help="noise model (default: rician, for magnitude images)")
    d.add_argument("--method", choices=METHODS, default=METHODS[0],
                   help=f"filters to apply (default: {METHODS[0]})")
    d.add_argument("--radius", type=int, default=3, help="tessary's search radius (default: 3)")
    d.add_argument("--mask", help="NIfTI mask on the image's grid: voxels outside keep their "
                   "input value")
    d.add_argument("--threads", type=_positive_int,
                   help="worker threads (default: what the process may use)")
    d.add_argument("--keep-dtype", action="store_true",
                   help="write the input's data type (integers rounded and clipped, under the "
                   "input's scaling) instead of float32")
    d.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    d.add_argument("--chunks", type=_positive_int,
                   help="denoise chunk by chunk on dask, in cubes of N voxels, from disk to "
                   "disk (IN and OUT may then also be zarr stores, NAME.zarr; the default for "
                   "zarr: its own chunks)")
    d.add_argument("--scheduler", metavar="ADDRESS",
                   help="run the chunks on this dask.distributed scheduler (tcp://HOST:PORT) "
                   "instead of this process's threads")

    s = commands.add_parser("sigma", help="print the noise level of each volume")
    s.add_argument("input", help="input NIfTI file (.nii or .nii.gz), 3-D or 4-D")
    s.add_argument("--noise", choices=("rician", "gaussian"), default="rician")
    s.add_argument("--json", action="store_true", help="print a JSON object")
    return parser


def _volumes(data):
    if data.ndim == 3:
        return [data]
    if data.ndim == 4:
        return [data[..., t] for t in range(data.shape[3])]
    raise nifti.NiftiError(f"the image has {data.ndim} dimensions; 3-D or 4-D are denoised")


def _run_sigma(args):
    _, data = nifti.load(args.input)
    rician = args.noise == "rician"
    _volumes(data)  # 3-D or 4-D only, with the command's own message
    sigmas = estimate_sigmas(data, rician)
    if args.json:
        print(json.dumps({"sigma": sigmas, "noise": args.noise}))
    else:
        for t, s in enumerate(sigmas):
            print(f"volume {t}: sigma {s:.6g}")
    return 0


def _sidecar(args, sigma, sigma_source, source_sha256):
    return {
        "Description": "Denoised with denoisers",
        "Sources": [args.input],
        "SourceSHA256": source_sha256,
        "NoiseModel": args.noise,
        "NoiseSigma": np.atleast_1d(sigma).tolist(),
        "NoiseSigmaSource": sigma_source,
        "Method": args.method,
        "Parameters": {"radius": args.radius if "tessary" in args.method else None,
                       "mask": args.mask, "keep_dtype": args.keep_dtype},
        "SoftwareName": "denoisers",
        "SoftwareVersion": __version__,
    }


def _summary(args, shape, sigma, seconds):
    if not args.quiet:
        sigmas = ", ".join(f"{s:.4g}" for s in np.atleast_1d(sigma))
        print(f"denoisers: {args.output}: {shape} {args.method}, sigma {sigmas}, "
              f"{seconds:.1f} s", file=sys.stderr)


def _is_chunked(args):
    return (args.chunks is not None or args.scheduler is not None
            or chunked_io.is_zarr(args.input) or chunked_io.is_zarr(args.output))


def _run_chunked(args, parser):
    """IN to OUT chunk by chunk on dask: on this process's threads, or on the
    dask.distributed scheduler at args.scheduler."""
    if args.mask or args.keep_dtype or args.threads:
        parser.error("--mask, --keep-dtype and --threads are not available with chunks")
    if not (args.output.endswith(_NIFTI_SUFFIXES) or chunked_io.is_zarr(args.output)):
        parser.error(f"the output must end in .nii, .nii.gz or .zarr: {args.output}")
    folder = Path(args.output.rstrip("/")).resolve().parent
    if not folder.is_dir():
        raise nifti.NiftiError(f"{args.output}: the folder {folder} does not exist")
    client = None
    if args.scheduler:
        from distributed import Client  # only this path needs it
        client = Client(args.scheduler, timeout="30s")
    try:
        start = time.perf_counter()
        arr, img, affine = chunked_io.open_volume(args.input, args.chunks)
        rician = args.noise == "rician"
        sigma, source = args.sigma, "given"
        if sigma is None:
            # The estimate needs its voxels in memory: a central cube stands
            # for the volume (all of it, when the volume is that small).
            sample = chunked_io.central_cube(arr)
            sigma = estimate_sigma(sample, rician)
            source = ("estimated" if sample.shape == arr.shape else
                      f"estimated on the central {'x'.join(map(str, sample.shape))} voxels")
        out = chunked.denoise(arr, sigma, rician, args.method, args.radius)
        progress = None
        if not args.quiet and client is None:
            from dask.diagnostics import ProgressBar
            progress = ProgressBar(out=sys.stderr)
            progress.register()
        try:
            sha = None if chunked_io.is_zarr(args.input) else nifti.sha256(args.input)
            chunked_io.save_volume(out, args.output, img, affine,
                                   _sidecar(args, sigma, source, sha))
        finally:
            if progress is not None:
                progress.unregister()
        _summary(args, arr.shape, sigma, time.perf_counter() - start)
    finally:
        if client is not None:
            client.close()
    return 0


def _run_denoise(args, parser):
    if args.radius < 0:
        parser.error(f"--radius must be >= 0, got {args.radius}")
    if _is_chunked(args):
        return _run_chunked(args, parser)
    if not args.output.endswith(_NIFTI_SUFFIXES):
        parser.error(f"the output must end in .nii or .nii.gz: {args.output}")
    folder = Path(args.output).resolve().parent
    if not folder.is_dir():
        raise nifti.NiftiError(f"{args.output}: the folder {folder} does not exist")
    img, data = nifti.load(args.input)
    _volumes(data)  # the rank check, before any work
    mask = nifti.load_mask(args.mask, img) if args.mask else None
    rician = args.noise == "rician"
    start = time.perf_counter()
    out, sigma = denoise(data, sigma=args.sigma, rician=rician, method=args.method,
                         radius=args.radius, mask=mask, threads=args.threads,
                         progress=not args.quiet)
    seconds = time.perf_counter() - start
    out_img, clipped = nifti.output_image(img, out, args.keep_dtype)
    sidecar = _sidecar(args, sigma, "given" if args.sigma is not None else "estimated",
                       nifti.sha256(args.input))
    if args.keep_dtype:
        sidecar["ClippedVoxels"] = clipped
    nifti.save_with_sidecar(out_img, args.output, sidecar)
    _summary(args, out.shape, sigma, seconds)
    if clipped:
        print(f"denoisers: {clipped} voxels clipped to the range of {img.get_data_dtype()}",
              file=sys.stderr)
    return 0


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "sigma":
            return _run_sigma(args)
        return _run_denoise(args, parser)
    except KeyboardInterrupt:
        print("denoisers: interrupted; nothing written", file=sys.stderr)
        return 130
    except Exception as e:  # any failure is one line, never a traceback
        print(f"denoisers: error: {e}", file=sys.stderr)
        return 1
