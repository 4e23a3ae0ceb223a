#!/usr/bin/env bash
# Builds the tree under the sanitizers and runs its tests there:
#   build-asan  AddressSanitizer + UndefinedBehaviorSanitizer (and the leak
#               checker): the whole suite, unit to end-to-end through mexrun.
#   build-tsan  ThreadSanitizer: the whole suite again, for the workers of
#               every pass, the stand-in host's locks and mexrun's calls.
# The first report of any of them aborts the process it is in, which fails
# its test, and a failed test fails this script.
#
# Usage: scripts/sanitize.sh [asan|tsan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(asan tsan)

# abort_on_error: a report ends the process with SIGABRT, which no test can
# take for an expected exit status (mexrun's 1 and 2 are meaningful).
#
# detect_stack_use_after_return=1: a host error leaves the gateway by
# longjmp from mexErrMsgIdAndTxt back into the stand-in host's Call, past
# the gateway's frames. The runtime's longjmp interceptor unpoisons the real
# stack it skips, and the skipped frames on the fake stack of this check are
# reclaimed once the stack pointer is above them again, so the check stays
# on without false reports (gcc's default compiles it in, off until asked).
#
# allocator_may_return_null=1 (here and for the thread checker): the
# stand-in host's tests ask for impossible sizes on purpose, to see
# mxMalloc's out-of-memory error; the sanitizer's allocator then returns
# null as the C library's does, instead of aborting. max_allocation_size_mb
# does the same past 4 GB: the one test that reserves a 16 GB volume (to
# reach the voxel limit) is then skipped, as on a machine without the
# memory, instead of the thread checker zeroing every page of it.
export ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:allocator_may_return_null=1:max_allocation_size_mb=4096:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="abort_on_error=1:halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="abort_on_error=1:halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1:max_allocation_size_mb=4096"
if command -v llvm-symbolizer >/dev/null 2>&1; then
  export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
elif [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

# Tests that do not apply to a sanitized tree: the export, dependency and
# object-structure checks read what the release files link, and a sanitized
# file links the sanitizer's runtime by design; Octave loads the MEX files
# into its own uninstrumented interpreter, which would need the runtime
# preloaded (and a run under a virtual-memory limit, which the sanitizers'
# shadow memory cannot live with).
skip='ExportsAndDependencies$|NoSharedCodeInWideObjects$|^Octave'

for suite in "${suites[@]}"; do
  case $suite in
    asan) sanitizers=address,undefined ;;
    tsan) sanitizers=thread ;;
    *) echo "sanitize: unknown suite $suite (asan, tsan)" >&2; exit 2 ;;
  esac
  dir=build-$suite
  echo "== $suite: building $dir (-DDENOISERS_SANITIZE=$sanitizers)"
  # Only what the tests run: no benchmarks, and no Octave files (a false
  # mkoctfile path, which cmake/Octave.cmake takes for Octave missing).
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDENOISERS_SANITIZE="$sanitizers" \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DOCTAVE_MKOCTFILE=OFF >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $suite: running the tests"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" -E "$skip"
done
