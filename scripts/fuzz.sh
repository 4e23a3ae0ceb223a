#!/usr/bin/env bash
# Builds the gateways' libFuzzer targets with clang, under AddressSanitizer
# and UndefinedBehaviorSanitizer (build-fuzz), and runs each for a bounded
# time from the seed corpus in fuzz/corpus/<target>. A broken call rule, a
# sanitizer report, a leak, a call slower than 10 s or a crash fails the
# run; the input that did it is left in build-fuzz/artifacts/.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
jobs=$(nproc)
cxx=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ not found (scripts/setup.sh installs it)" >&2
  exit 1
fi

dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDENOISERS_SANITIZE=address,undefined -DDENOISERS_FUZZ=ON -DDENOISERS_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DOCTAVE_MKOCTFILE=OFF >/dev/null
cmake --build "$dir" -j"$jobs" --target quillon_fuzzer tessary_fuzzer noise_sigma_fuzzer

# As in scripts/sanitize.sh, but with smaller fake stacks: every call starts
# its workers afresh, and mapping a full-size fake stack for each thread
# took a third of a quillon call's time.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:max_uar_stack_size_log=16:allocator_may_return_null=1"
export UBSAN_OPTIONS="abort_on_error=1:halt_on_error=1:print_stacktrace=1"
[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] && export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

status=0
summary=()
for target in quillon tessary noise_sigma; do
  corpus=$dir/corpus/$target  # new inputs go here; the repository's seeds are only read
  mkdir -p "$corpus" "$dir/artifacts"
  log=$dir/fuzz-$target.log
  echo "== fuzz: $target for ${seconds}s"
  if "$dir/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
      "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    grep -v "^Threads cannot be created" "$log" | tail -60
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$target: ${runs:-?} executions in ${seconds}s, $result")
done
printf 'fuzz: %s\n' "${summary[@]}"
exit $status
