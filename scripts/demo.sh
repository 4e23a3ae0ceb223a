#!/usr/bin/env bash
# The main job: builds both filters and, in Octave, denoises a real T1 brain
# volume (the template of Debian's mricron-data) with Rician noise added:
# a table of PSNR and seconds, and out/demo/middle_axial.png.
# `scripts/demo.sh --synthetic` runs the synthetic demo without Octave instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--synthetic" ]; then
  exec bash scripts/demo_synthetic.sh
fi
bash scripts/build.sh
if [ ! -f build/quillon.mex ] || [ ! -f build/tessary.mex ]; then
  echo "demo: build/quillon.mex and build/tessary.mex are missing: is Octave installed? (bash scripts/setup.sh)" >&2
  exit 1
fi

nifti=/usr/share/mricron/templates/ch2.nii.gz
volume=out/ch2.npy
mkdir -p out
# The NIfTI file is read once, by nibabel; Octave reads the cached .npy.
if [ ! -f "$volume" ] || [ "$nifti" -nt "$volume" ]; then
  /usr/bin/python3 octave/demo/nifti_to_npy.py "$nifti" "$volume"
fi
octave-cli --no-gui --norc --no-history --quiet \
  --eval "addpath('octave/demo'), denoise_brain('$PWD/build', '$volume', 'out/demo')"
