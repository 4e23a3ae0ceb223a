#!/usr/bin/env bash
# Checks an Octave .mex file: it exports exactly mexFunction and mexVersion
# (symbol version MEX), links Octave's interpreter library and none of the
# stand-in host's libraries, and shares the C++ runtime instead of carrying
# a static copy (Octave's errors unwind through it).
set -euo pipefail
file=$1
status=0

exports=$(nm -D --defined-only --with-symbol-versions "$file" | awk '$2 != "A" {print $3}' | sort)
expected=$'mexFunction@@MEX\nmexVersion@@MEX'
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports of $file:"; echo "$exports"; status=1
fi

needed=$(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}')
grep -q '^liboctinterp\.so' <<<"$needed" || { echo "$file does not link liboctinterp"; status=1; }
grep -q '^libstdc++\.so' <<<"$needed" || { echo "$file does not share libstdc++"; status=1; }
if grep -E '^lib(mx|mex|mat)\.so$' <<<"$needed"; then
  echo "$file links the stand-in host"; status=1
fi
[ $status -eq 0 ] && echo "$file: exports and dependencies as required"
exit $status
