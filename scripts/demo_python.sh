#!/usr/bin/env bash
# The Python package and its command on a real brain: writes the Colin27 T1
# with added Rician noise as NIfTI, denoises it with `denoisers denoise`
# (sigma estimated), prints a PSNR table against dipy's nlmeans with
# seconds, and saves out/demo-python/middle_axial.png.
# Run `bash scripts/setup.sh` first (it makes .venv with the package).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x .venv/bin/denoisers ]; then
  echo "demo_python: no .venv/bin/denoisers; run bash scripts/setup.sh first" >&2
  exit 1
fi
exec .venv/bin/python scripts/demo_python.py out/demo-python "$@"
