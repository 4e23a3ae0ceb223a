#!/usr/bin/env bash
# Builds the release tree and runs every benchmark: the whole calls of both
# filters on the T1 volume against the peer (times, peak memory, PSNR),
# then the micro-benchmarks. Takes a few minutes; the figures depend on how
# busy the machine is, so the load is printed with them.
#
# Environment: BENCH_BUILD_DIR (default build), BENCH_WORK_DIR (default
# out/bench), BENCH_RUNS (runs per filter, default 5), BENCH_PEER_RUNS
# (default 3), BENCH_NO_PEER=1 to leave the peer out.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-build}
work=${BENCH_WORK_DIR:-out/bench}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target quillon tessary mexrun micro_bench

echo "== machine"
lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Core\(s\) per socket|L2 cache|L3 cache):' \
  | sed 's/  */ /g'
echo "vector flags: $(grep -o -w -E 'sse2|avx|avx2|fma|avx512f|avx512dq|avx512vl' /proc/cpuinfo \
  | sort -u | tr '\n' ' ')"
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "== whole calls on the T1 volume, and the peer"
peer=()
[ "${BENCH_NO_PEER:-0}" = 1 ] && peer=(--no-peer)
/usr/bin/python3 bench/pipeline.py "$build" "$work" --runs "${BENCH_RUNS:-5}" \
  --peer-runs "${BENCH_PEER_RUNS:-3}" "${peer[@]}"

echo
echo "== micro-benchmarks (CPU time per block or pair, one thread)"
"$build/bench/micro_bench" --volume="$work" --benchmark_min_time=0.5
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
