#!/usr/bin/env bash
# Checks that a built Windows MEX file loads on any Windows x64 machine with
# the host: it is a 64-bit DLL, exports exactly mexFunction, and imports
# nothing but system DLLs and the host's libmx/libmex/libmat (no MinGW
# runtime DLL such as libstdc++-6, libgcc_s_seh-1 or libwinpthread-1).
set -euo pipefail
file=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0

dump=$("$objdump" -p "$file")

grep -q '^Magic[[:space:]]*020b' <<<"$dump" || { echo "$file is not a PE32+ (x64) image"; status=1; }
sed -n '/^Characteristics/,/^$/p' <<<"$dump" | grep -qw DLL || { echo "$file is not a DLL"; status=1; }

# The export table lists its names after "[Ordinal/Name Pointer] Table".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' \
  <<<"$dump" | sort)
if [ "$exports" != "mexFunction" ]; then
  echo "unexpected exports of $file:"; echo "$exports"; status=1
fi

imports=$(awk '$1 == "DLL" && $2 == "Name:" {print $3}' <<<"$dump")
allowed='^(KERNEL32\.dll|msvcrt\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|libmx\.dll|libmex\.dll|libmat\.dll)$'
while read -r lib; do
  [ -n "$lib" ] || continue
  if ! [[ ${lib,,} =~ ${allowed,,} ]]; then
    echo "unexpected run-time dependency of $file: $lib"; status=1
  fi
done <<<"$imports"
grep -qx 'libmx.dll' <<<"$imports" || { echo "$file does not import libmx.dll"; status=1; }

[ $status -eq 0 ] && echo "$file: exports and imports as required ($(tr '\n' ' ' <<<"$imports"))"
exit $status
