#!/usr/bin/env bash
# The main job: builds both filters and denoises a synthetic noisy volume.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
/usr/bin/python3 scripts/demo.py build out/demo
