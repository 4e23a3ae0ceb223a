"""The command `denoisers` (also `python3 -m denoisers`).

    denoisers denoise IN.nii[.gz] OUT.nii[.gz] [--sigma S [S ...] | --sigma-map FILE|auto]
              [--sigma-per-volume] [--coils N]
              [--noise rician|gaussian] [--method auto|quillon|quillon+tessary]
              [--mask MASK.nii[.gz]] [--threads N] [--keep-dtype] [--magnitude] [--force]
              [--report PAGE.html] [--strict] [--quiet]
    denoisers denoise IN OUT --chunks N [--scheduler ADDRESS] [...]   (NIfTI or zarr,
              chunk by chunk on dask, for volumes larger than memory)
    denoisers sigma IN.nii[.gz] [--noise rician|gaussian] [--sigma-per-volume] [--coils N]
              [--magnitude] [--json] [--strict] [--map MAP.nii[.gz]]
    denoisers bids BIDS_DIR OUTPUT_DIR participant [--participant-label L ...]
              [--suffix S ...] [--method M] [--nprocs N] [--skip-bids-validation]
              [--report]

Exit status: 0 on success, 2 on a usage error, 1 on any other failure (for
bids: when any image failed), 3 with --strict when anything was warned of
(the outputs are written all the same), 130 on Ctrl-C and 143 on SIGTERM,
with one line on stderr saying what went wrong; 141 when the reader of the
output went away (a broken pipe), quietly. Warnings (a doubtful estimated
sigma, a volume that came back mostly zero, naming the volumes) go to
stderr as "denoisers: warning:" lines and into the sidecar's "Warnings".
"""
import argparse
import json
import os
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np

from .version import version
from . import nifti, series_file
from .bids import SUFFIXES
from .files import denoise_file, sidecar, sigma_source, volumes
from .pipeline import CHOICES, DEFAULT_METHOD, DEFAULT_RADIUS, METHODS
from .run_warnings import STRICT_EXIT, collected
from .sigma import estimate_noise, estimate_noise_streamed
from .sigma_map import estimate_sigma_map

_NIFTI_SUFFIXES = (".nii", ".nii.gz")


class _Parser(argparse.ArgumentParser):
    """argparse with its error as one line (and exit status 2)."""

    def error(self, message):
        self.exit(2, f"{self.prog}: usage error: {message}\n")


class _Version(argparse.Action):
    """--version, the version looked up only when asked for."""

    def __call__(self, parser, namespace, values, option_string=None):
        parser.exit(message=f"denoisers {version()}\n")


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
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="show the program's version number and exit")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    d = commands.add_parser("denoise", help="denoise a NIfTI file into another")
    d.add_argument("input", help="input NIfTI file (.nii or .nii.gz), 3-D or 4-D")
    d.add_argument("output", help="output NIfTI file (.nii or .nii.gz); a JSON sidecar is "
                   "written beside it")
    d.add_argument("--sigma", type=_positive_float, nargs="+", metavar="S",
                   help="noise standard deviation in the image's units: one value, or one per "
                   "volume of a 4-D image (default: estimated, one pooled over the volumes)")
    d.add_argument("--sigma-map", metavar="FILE|auto",
                   help="noise that varies across the image: a NIfTI map of sigma on the "
                   "image's grid (one 3-D map, or one per volume), or 'auto' to estimate one "
                   "(as `denoisers sigma --map` does); the image is made uniform by the map, "
                   "denoised at its median and scaled back")
    d.add_argument("--sigma-per-volume", action="store_true",
                   help="estimate each volume's sigma (or map) on its own instead of one for "
                   "the series")
    d.add_argument("--coils", type=_positive_int, default=1,
                   help="receive channels summed in squares into the magnitude (1 to 64; "
                   "default 1): the noise law becomes non-central chi with 2N degrees of "
                   "freedom, and sigma (given or estimated) is each channel's")
    d.add_argument("--strict", action="store_true",
                   help="exit with status 3 when anything is warned of (a doubtful estimated "
                   "sigma, for instance); the output is written all the same")
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
    d.add_argument("--report", metavar="PAGE.html",
                   help="also write a page to look at: input and output mosaics, the "
                   "residual and its histogram against the noise law, the run's facts")
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
    d.add_argument("--input-sidecar", action="append", metavar="JSON",
                   help="a JSON sidecar of the input whose acquisition fields (EchoTime, "
                   "RepetitionTime, PhaseEncodingDirection, ...) the output's sidecar carries; "
                   "repeat it for inherited ones, the most general first (default: IN.json "
                   "beside the input, when there is one)")
    d.add_argument("--magnitude", action="store_true",
                   help="denoise the magnitude of a complex image (refused otherwise)")
    d.add_argument("--force", action="store_true",
                   help="let the output replace the input")

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
    b.add_argument("--report", action="store_true",
                   help="also write a page per image (sub-<label>/figures/), a page per "
                   "subject (sub-<label>.html) and an index of every image (index.html)")

    s = commands.add_parser("sigma", help="print the noise level of each volume")
    s.add_argument("input", help="input NIfTI file (.nii or .nii.gz), 3-D or 4-D")
    s.add_argument("--noise", choices=("rician", "gaussian"), default="rician")
    s.add_argument("--sigma-per-volume", action="store_true",
                   help="give each volume's own estimate as its sigma, not the series' pooled one")
    s.add_argument("--magnitude", action="store_true",
                   help="the magnitude of a complex image (refused otherwise)")
    s.add_argument("--coils", type=_positive_int, default=1,
                   help="receive channels summed in squares into the magnitude (1 to 64; "
                   "default 1): the estimate (and map) is each channel's sigma")
    s.add_argument("--json", action="store_true", help="print a JSON object")
    s.add_argument("--map", metavar="MAP.nii[.gz]",
                   help="also write a smooth map of sigma over the field of view (pooled over "
                   "a series; with --sigma-per-volume, one per volume), float32 on the "
                   "image's grid, with a JSON sidecar")
    s.add_argument("--strict", action="store_true",
                   help="exit with status 3 when anything is warned of")
    return parser


def _run_sigma(args):
    if args.map and not args.map.endswith(_NIFTI_SUFFIXES):
        raise nifti.NiftiError(f"the map must end in .nii or .nii.gz: {args.map}")
    rician = args.noise == "rician"
    img = nifti.open_image(args.input)
    if not args.map and series_file.streams(img, None, None):  # a series, volume by volume
        series = series_file.Volumes(args.input, img)
        try:
            with collected() as run:
                estimate = estimate_noise_streamed(series, series.count, rician,
                                                   per_volume=args.sigma_per_volume,
                                                   coils=args.coils)
        finally:
            series.close()
    else:
        img, data = nifti.load(args.input, args.magnitude)
        volumes(data)  # 3-D or 4-D only, with the command's own message
        with collected() as run:
            estimate = estimate_noise(data, rician, per_volume=args.sigma_per_volume,
                                      coils=args.coils)
            if args.map:
                _write_map(args, img, data, rician)
    if args.json:
        print(json.dumps({"sigma": estimate.sigmas, "noise": args.noise, "coils": args.coils,
                          "estimate": estimate.record(), "warnings": run.messages}))
    else:
        for t, (s, v) in enumerate(zip(estimate.sigmas, estimate.volumes)):
            own = "" if args.sigma_per_volume or len(estimate.volumes) == 1 else (
                f" (its own estimate {v.sigma:.6g})")
            print(f"volume {t}: sigma {s:.6g}{own}")
        p = estimate.pooled
        print(f"estimated from the {p.estimator}, confidence {p.confidence}: background "
              f"{p.background:.6g}, tissue {p.tissue:.6g}, correlation {p.correlation:.2f}")
    run.report()
    return run.exit_status(args.strict)


def _write_map(args, img, data, rician):
    noise_map = estimate_sigma_map(data, rician, per_volume=args.sigma_per_volume,
                                   coils=args.coils)
    out_img, _ = nifti.output_image(img, noise_map, keep_dtype=False)
    nifti.save_with_sidecar(out_img, args.map, {
        "Description": "Noise standard deviation map estimated with denoisers",
        "Sources": [args.input], "NoiseModel": args.noise, "NoiseCoils": args.coils,
        "Pooled": data.ndim == 4 and not args.sigma_per_volume,
        "Median": float(np.median(noise_map)),
        "Range": [float(noise_map.min()), float(noise_map.max())],
        "SoftwareName": "denoisers", "SoftwareVersion": version()})


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
    if (args.mask or args.keep_dtype or args.threads or args.sigma_per_volume or args.magnitude
            or args.report or args.sigma_map or args.coils != 1):
        parser.error("--mask, --keep-dtype, --threads, --sigma-per-volume, --sigma-map, "
                     "--coils, --magnitude and --report are not available with chunks")
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
        import logging
        from distributed import Client  # only this path needs it
        client = Client(args.scheduler, timeout="30s")
        logging.getLogger("asyncio").addFilter(_without_all_exit)
    try:
        start = time.perf_counter()
        arr, img, affine = chunked_io.open_volume(args.input)
        sha = None if img is None else arr.sha256
        rician = args.noise == "rician"
        sigma, estimate = _given_sigma(args, 1, parser), None
        with collected() as run:
            if sigma is None:
                estimate = chunked.estimate_noise(arr, rician)
                sigma = estimate.sigmas[0]
        source = sigma_source(args.sigma, False, 1)
        if estimate is not None and estimate.sample_shape != arr.shape:
            source += f", on {'x'.join(map(str, estimate.sample_shape))} voxels spread over the volume"
        out = chunked.denoise(arr, sigma, rician, args.method, args.radius,
                              chunks=args.chunks)
        progress = None
        if not args.quiet and client is None:
            from dask.diagnostics import ProgressBar
            progress = ProgressBar(out=sys.stderr)
            progress.register()
        try:
            chunked_io.save_volume(out, args.output, img, affine,
                                   sidecar(args.input if args.source is None else args.source, sha,
                                           noise=args.noise, sigma=sigma, sigma_source=source,
                                           method=args.method, radius=args.radius,
                                           mask=args.mask, keep_dtype=args.keep_dtype,
                                           estimate=estimate, warnings=run.messages))
        finally:
            if progress is not None:
                progress.unregister()
        _summary(args, arr.shape, sigma, time.perf_counter() - start)
        run.report()
    except KeyboardInterrupt:
        if client is not None:
            # The futures the interrupted client leaves behind fail as the
            # process ends (AllExit, or the close's own timeout on a busy
            # machine), each with a note after our one line: nothing the
            # user can act on, so they stay quiet to the end.
            logging.getLogger("asyncio").addFilter(_nothing_unretrieved)
        raise
    finally:
        if client is not None:
            client.close()
            logging.getLogger("asyncio").removeFilter(_without_all_exit)
    return run.exit_status(args.strict)


def _given_sigma(args, count, parser):
    """--sigma as denoise takes it: None (estimate), one value, or one per
    volume of a series of `count` (None: unknown yet, any number)."""
    if args.sigma is None:
        return None
    if len(args.sigma) == 1:
        return args.sigma[0]
    if count is not None and len(args.sigma) != count:
        parser.error(f"--sigma takes one value or one per volume ({count}); got "
                     f"{len(args.sigma)}")
    return args.sigma


def _without_all_exit(record):
    """Whether to log an asyncio record: not distributed's AllExit, the way
    its client stops waiting for a result. A client closed in the middle of
    a computation (an interruption) leaves one "Task exception was never
    retrieved" with it for every chunk it was waiting for."""
    error = record.exc_info[1] if record.exc_info else None
    return type(error).__name__ != "AllExit"


def _nothing_unretrieved(record):
    """Whether to log an asyncio record once a cluster run is interrupted:
    not the "exception was never retrieved" notes of its abandoned futures."""
    return "exception was never retrieved" not in record.getMessage()


def _same_file(a, b):
    a, b = Path(a.rstrip("/")), Path(b.rstrip("/"))
    try:
        return a.samefile(b)
    except OSError:  # the output does not exist yet
        return a.resolve() == b.resolve()


def _run_denoise(args, parser):
    if args.radius is not None and args.radius < 0:
        parser.error(f"--radius must be >= 0, got {args.radius}")
    if not args.force and _same_file(args.input, args.output):
        parser.error(f"the output is the input ({args.output}): it would replace the raw "
                     "data (--force to do so)")
    if _is_chunked(args):
        return _run_chunked(args, parser)
    args.method = args.method or DEFAULT_METHOD
    if not args.output.endswith(_NIFTI_SUFFIXES):
        parser.error(f"the output must end in .nii or .nii.gz: {args.output}")
    if args.sigma is not None and args.sigma_per_volume:
        parser.error("--sigma-per-volume estimates sigma: it does not go with --sigma")
    if args.sigma is not None and args.sigma_map is not None:
        parser.error("--sigma and --sigma-map exclude each other")
    if args.sigma_map not in (None, "auto") and args.sigma_per_volume:
        parser.error("--sigma-per-volume estimates a map: it does not go with a map file")
    if args.report and not Path(args.report).resolve().parent.is_dir():
        parser.error(f"the report's folder does not exist: {args.report}")
    sigma = _given_sigma(args, None, parser)
    if isinstance(sigma, list):
        shape = nifti.open_image(args.input).shape
        _given_sigma(args, shape[3] if len(shape) == 4 else 1, parser)
    done = denoise_file(args.input, args.output, sigma=sigma, noise=args.noise,
                        method=args.method, radius=args.radius, mask=args.mask,
                        threads=args.threads, keep_dtype=args.keep_dtype,
                        progress=not args.quiet, source_name=args.source,
                        per_volume=args.sigma_per_volume, magnitude=args.magnitude,
                        source_sidecars=args.input_sidecar, report=args.report,
                        sigma_map=args.sigma_map, coils=args.coils)
    _summary(args, done["shape"], done["sigma"], done["seconds"])
    if done["clipped"]:
        print(f"denoisers: {done['clipped']} voxels clipped to the range of {done['dtype']}",
              file=sys.stderr)
    for warning in done["warnings"]:
        print(f"denoisers: warning: {args.output}: {warning}", file=sys.stderr)
    return STRICT_EXIT if args.strict and done["warnings"] else 0


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
            status = _run_sigma(args)
        elif args.command == "bids":
            from . import bids_app  # its workers and pages: only this command needs them
            status = bids_app.main(args)
        else:
            status = _run_denoise(args, parser)
        sys.stdout.flush()  # a broken pipe shows here, not at the interpreter's exit
        return status
    except KeyboardInterrupt as e:
        print("denoisers: interrupted; no partial file left", file=sys.stderr)
        return 143 if isinstance(e, _Terminated) else 130
    except BrokenPipeError:
        # The reader of stdout is gone (`denoisers sigma F | head -1`): nothing
        # more to say, and nothing for the exit's flush to fail on.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except Exception as e:  # any failure is one line, never a traceback
        print(f"denoisers: error: {e}", file=sys.stderr)
        return 1
    finally:
        if main_thread:
            signal.signal(signal.SIGTERM, previous)
