"""The command `denoisers` (also `python3 -m denoisers`).

    denoisers denoise IN.nii[.gz] OUT.nii[.gz] [--sigma S] [--noise rician|gaussian]
              [--method quillon|quillon+tessary] [--mask MASK.nii[.gz]] [--threads N]
              [--keep-dtype] [--quiet]
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

import numpy as np

from . import __version__
from . import bids_app, nifti
from .files import denoise_file, volumes
from .bids import SUFFIXES
from .pipeline import METHODS
from .sigma import estimate_sigma

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
    b.add_argument("--method", choices=METHODS, default=METHODS[0],
                   help=f"filters to apply (default: {METHODS[0]})")
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
    sigmas = [estimate_sigma(v, rician) for v in volumes(data)]
    if args.json:
        print(json.dumps({"sigma": sigmas, "noise": args.noise}))
    else:
        for t, s in enumerate(sigmas):
            print(f"volume {t}: sigma {s:.6g}")
    return 0


def _run_denoise(args, parser):
    if not args.output.endswith(_NIFTI_SUFFIXES):
        parser.error(f"the output must end in .nii or .nii.gz: {args.output}")
    if args.radius < 0:
        parser.error(f"--radius must be >= 0, got {args.radius}")
    done = denoise_file(args.input, args.output, sigma=args.sigma, noise=args.noise,
                        method=args.method, radius=args.radius, mask=args.mask,
                        threads=args.threads, keep_dtype=args.keep_dtype,
                        progress=not args.quiet, source_name=args.source)
    if not args.quiet:
        sigmas = ", ".join(f"{s:.4g}" for s in done["sigma"])
        print(f"denoisers: {args.output}: {done['shape']} {args.method}, sigma {sigmas}, "
              f"{done['seconds']:.1f} s", file=sys.stderr)
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
