#!/usr/bin/env bash
# Builds the release tree and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The filters' unit, gateway and end-to-end suites again under every
# instruction set this processor runs, forced for the whole process.
for isa in scalar sse2 avx2 avx512; do
  [ "$isa" = scalar ] || grep -qw "${isa/avx512/avx512f}" /proc/cpuinfo || continue
  echo "== DENOISERS_ISA=$isa"
  DENOISERS_ISA=$isa ctest --test-dir build --output-on-failure -j"$(nproc)" \
    -R '^(Quillon|Tessary|Filter)' -E 'MexFile|NoSharedCode'
done

# The Python package: reinstalled into .venv from these sources (an
# incremental CMake build), then its tests, which compare with the MEX files
# of build/ through build/mexrun. pytest exits 5 when it collects no test,
# which fails this script like any other failure.
if [ ! -x .venv/bin/python ]; then
  echo "test: no .venv; run bash scripts/setup.sh first" >&2
  exit 1
fi
.venv/bin/pip install --quiet --root-user-action=ignore --no-build-isolation --no-index . >/dev/null
.venv/bin/python -m pytest -q -p no:cacheprovider python/tests

# The Windows x64 build from the same sources, cross-compiled; its tests
# run under wine and compare its results with the Linux build's above.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  cmake -S . -B build-win64 --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DDENOISERS_LINUX_BUILD="$PWD/build" >/dev/null
  cmake --build build-win64 -j"$(nproc)"
  ctest --test-dir build-win64 --output-on-failure -j"$(nproc)"
else
  echo "test: no MinGW-w64 cross compiler (scripts/setup.sh installs it): Windows build skipped"
fi

# The reliability runs (README, Reliability): the suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer,
# then each gateway fuzzed for 30 seconds. A report fails the script.
bash scripts/sanitize.sh asan tsan
bash scripts/fuzz.sh 30
