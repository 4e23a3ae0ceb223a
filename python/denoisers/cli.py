"""The command `denoisers` (also `python3 -m denoisers`).

    denoisers denoise IN.nii[.gz] OUT.nii[.gz] [--sigma S] [--noise rician|gaussian]
              [--method auto|quillon|quillon+tessary] [--mask MASK.nii[.gz]] [--threads N]
              [--keep-dtype] [--quiet]
    denoisers denoise IN OUT --chunks N [--scheduler ADDRESS] [...]   (NIfTI or zarr,
              chunk by chunk on dask, for volumes larger than memory)
    denoisers sigma IN.nii[.gz] [--noise rician|gaussian] [--json]
    denoisers bids BIDS_DIR OUTPUT_DIR participant [--participant-label L ...]
              [--suffix S ...] [--method M] [--nprocs N] [--skip-bids-validation]

Exit status: 0 on success, 2 on a usage error, 1 on any other failure (for
bids: when any image failed), 130 on Ctrl-C and 143 on SIGTERM, with one
line on stderr saying what went wrong.
"""
import argparse
import json
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np

from . import __version__
from . import bids_app, nifti
from .bids import SUFFIXES
from .files import denoise_file, sidecar, volumes
from .pipeline import CHOICES, DEFAULT_METHOD, DEFAULT_RADIUS, METHODS
from .sigma import estimate_sigma, estimate_sigmas

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
    d.add_argument("--method", choices=CHOICES,
                   help=f"filters to apply (default: {DEFAULT_METHOD}, which chooses them and "
                   f"their settings from each volume's noise level and look; with chunks: "
                   f"{METHODS[0]})")
    d.add_argument("--radius", type=int,
                   help="tessary's search radius (default: 3, or auto's choice)")
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
    d.add_argument("--source", help="how the sidecar's Sources names the input (default: "
                   "the input path as given), e.g. a BIDS URI")

    b = commands.add_parser("bids", help="denoise a BIDS dataset into a derivative dataset")
    b.add_argument("bids_dir", help="the BIDS dataset")
    b.add_argument("output_dir", help="the derivative dataset (made if missing)")
    b.add_argument("analysis_level", choices=("participant",))
    b.add_argument("--participant-label", nargs="+", metavar="LABEL",
                   help="these participants only (01 or sub-01; default: all)")
    b.add_argument("--suffix", nargs="+", default=list(SUFFIXES),
                   help=f"images of these suffixes (default: {' '.join(SUFFIXES)})")
    b.add_argument("--method", choices=CHOICES, default=DEFAULT_METHOD,
                   help=f"filters to apply (default: {DEFAULT_METHOD})")
    b.add_argument("--nprocs", type=_positive_int, default=1,
                   help="images denoised at once, each in its own process, the cores' "
                   "threads shared among them (default: 1)")
    b.add_argument("--skip-bids-validation", action="store_true",
                   help="take images whose names bids_validator refuses")

    s = commands.add_parser("sigma", help="print the noise level of each volume")
    s.add_argument("input", help="input NIfTI file (.nii or .nii.gz), 3-D or 4-D")
    s.add_argument("--noise", choices=("rician", "gaussian"), default="rician")
    s.add_argument("--json", action="store_true", help="print a JSON object")
    return parser


def _run_sigma(args):
    _, data = nifti.load(args.input)
    rician = args.noise == "rician"
    volumes(data)  # 3-D or 4-D only, with the command's own message
    sigmas = estimate_sigmas(data, rician)
    if args.json:
        print(json.dumps({"sigma": sigmas, "noise": args.noise}))
    else:
        for t, s in enumerate(sigmas):
            print(f"volume {t}: sigma {s:.6g}")
    return 0


def _summary(args, shape, sigma, seconds):
    if not args.quiet:
        sigmas = ", ".join(f"{s:.4g}" for s in np.atleast_1d(sigma))
        print(f"denoisers: {args.output}: {shape} {args.method}, sigma {sigmas}, "
              f"{seconds:.1f} s", file=sys.stderr)


def _is_chunked(args):
    return (args.chunks is not None or args.scheduler is not None
            or nifti.is_zarr(args.input) or nifti.is_zarr(args.output))


def _run_chunked(args, parser):
    """IN to OUT chunk by chunk on dask: on this process's threads, or on the
    dask.distributed scheduler at args.scheduler."""
    from . import chunked, chunked_io  # dask and zarr: half a second to import
    if args.mask or args.keep_dtype or args.threads:
        parser.error("--mask, --keep-dtype and --threads are not available with chunks")
    if args.method == "auto":
        parser.error("--method auto is not available with chunks: choose quillon or "
                     "quillon+tessary")
    args.method = args.method or METHODS[0]
    args.radius = DEFAULT_RADIUS if args.radius is None else args.radius
    if not (args.output.endswith(_NIFTI_SUFFIXES) or nifti.is_zarr(args.output)):
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
        arr, img, affine = chunked_io.open_volume(args.input)
        rician = args.noise == "rician"
        sigma, source = args.sigma, "given"
        if sigma is None:
            # The estimate needs its voxels in memory: a central cube stands
            # for the volume (all of it, when the volume is that small).
            sample = chunked_io.central_cube(arr)
            sigma = estimate_sigma(sample, rician)
            source = ("estimated" if sample.shape == arr.shape else
                      f"estimated on the central {'x'.join(map(str, sample.shape))} voxels")
        out = chunked.denoise(arr, sigma, rician, args.method, args.radius,
                              chunks=args.chunks)
        progress = None
        if not args.quiet and client is None:
            from dask.diagnostics import ProgressBar
            progress = ProgressBar(out=sys.stderr)
            progress.register()
        try:
            sha = None if nifti.is_zarr(args.input) else nifti.sha256(args.input)
            chunked_io.save_volume(out, args.output, img, affine,
                                   sidecar(args.input if args.source is None else args.source, sha,
                                           noise=args.noise, sigma=sigma, sigma_source=source,
                                           method=args.method, radius=args.radius,
                                           mask=args.mask, keep_dtype=args.keep_dtype))
        finally:
            if progress is not None:
                progress.unregister()
        _summary(args, arr.shape, sigma, time.perf_counter() - start)
    finally:
        if client is not None:
            client.close()
    return 0


def _run_denoise(args, parser):
    if args.radius is not None and args.radius < 0:
        parser.error(f"--radius must be >= 0, got {args.radius}")
    if _is_chunked(args):
        return _run_chunked(args, parser)
    args.method = args.method or DEFAULT_METHOD
    if not args.output.endswith(_NIFTI_SUFFIXES):
        parser.error(f"the output must end in .nii or .nii.gz: {args.output}")
    done = denoise_file(args.input, args.output, sigma=args.sigma, noise=args.noise,
                        method=args.method, radius=args.radius, mask=args.mask,
                        threads=args.threads, keep_dtype=args.keep_dtype,
                        progress=not args.quiet, source_name=args.source)
    _summary(args, done["shape"], done["sigma"], done["seconds"])
    if done["clipped"]:
        print(f"denoisers: {done['clipped']} voxels clipped to the range of {done['dtype']}",
              file=sys.stderr)
    return 0


class _Terminated(KeyboardInterrupt):
    """SIGTERM, taken like Ctrl-C: the writes under way remove their
    temporary files as the exception passes."""


def _terminated(signum, frame):
    raise _Terminated


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    # Signal handlers belong to the main thread (a caller may run us in another).
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminated) if main_thread else None
    try:
        if args.command == "sigma":
            return _run_sigma(args)
        if args.command == "bids":
            return bids_app.main(args)
        return _run_denoise(args, parser)
    except KeyboardInterrupt as e:
        print("denoisers: interrupted; no partial file left", file=sys.stderr)
        return 143 if isinstance(e, _Terminated) else 130
    except Exception as e:  # any failure is one line, never a traceback
        print(f"denoisers: error: {e}", file=sys.stderr)
        return 1
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
