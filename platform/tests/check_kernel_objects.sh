#!/usr/bin/env bash
# The kernels built for wider instruction sets must define nothing that the
# linker could merge with a baseline copy (weak or unique symbols, as inline
# functions and template instances give): the baseline code would then run
# their instructions on a processor that may lack them.
# Usage: check_kernel_objects.sh OBJECT...
set -euo pipefail
status=0
for object in "$@"; do
  shared=$(nm -C --defined-only "$object" | awk '$2 ~ /^[WVui]$/' || true)
  if [ -n "$shared" ]; then
    echo "$object defines symbols that may be shared with other objects:" >&2
    echo "$shared" >&2
    status=1
  fi
done
[ "$#" -gt 0 ] || { echo "no objects given" >&2; exit 2; }
exit $status
