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
  python3-skimage python3-scipy             # the noise benchmark's second peer; its phantoms' filters
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev  # the Windows x64 cross build
  wine wine64                               # runs the Windows build's tests
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
