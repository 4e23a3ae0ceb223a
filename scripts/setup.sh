#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, from Debian's
# packages. Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  build-essential cmake g++ binutils        # compiler, linker, nm/objdump for the export checks
  libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
  clang-14 libclang-rt-14-dev llvm-14       # libFuzzer and its sanitizers; llvm-symbolizer for reports
  python3 python3-numpy                     # the demo's sample volume and summary
  octave octave-dev                         # the Octave host: octave-cli, mkoctfile, its MEX headers
  mricron-data python3-nibabel              # the main demo's T1 brain volume and its NIfTI reader
  python3-dipy time                         # the benchmark's peer denoiser; GNU time for peak memory
  python3-skimage python3-scipy             # the noise benchmark's peer and phantoms; the reports' noise law
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev  # the Windows x64 cross build
  wine wine64                               # runs the Windows build's tests
  python3-dev pybind11-dev python3-venv python3-pip python3-setuptools  # the Python package's build
  python3-tqdm python3-pytest python3-matplotlib  # its progress bars; its tests; its reports and the demo's picture
  libdeflate0                               # the .nii.gz outputs' deflate, three times zlib's speed
  chromium                                  # the report test opens a page in a headless browser
  python3-dask python3-distributed python3-zarr  # chunked denoising of volumes beyond memory
  python3-bids-validator snakemake          # denoisers bids' name checks; the cohort workflow (workflow/Snakefile)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all packages present"

# The Python package, into .venv: a virtual environment on Debian's own
# interpreter that sees Debian's numpy, nibabel, tqdm, dipy and pytest. The
# build runs CMake (setup.py) and needs nothing from outside.
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
.venv/bin/pip install --quiet --root-user-action=ignore --no-build-isolation --no-index . >/dev/null
echo "setup: the Python package denoisers is installed in .venv (.venv/bin/denoisers)"
