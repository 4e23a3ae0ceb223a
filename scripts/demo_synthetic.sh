#!/usr/bin/env bash
# Without Octave: builds both filters and denoises a synthetic noisy volume
# through build/mexrun (the stand-in host); results in out/demo-synthetic/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
/usr/bin/python3 scripts/demo.py build out/demo-synthetic
