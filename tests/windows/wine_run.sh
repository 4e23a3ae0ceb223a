#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine, quietly and without
# a display: wine_run.sh PROGRAM.exe ARG...
#
# The wine prefix lives in the build tree of the program (next to its
# CMakeCache.txt) unless WINEPREFIX is set, so builds do not share state and
# a clean build starts afresh. Creating a prefix takes a few seconds; it is
# done once, under a lock, since ctest may start several programs at once.
set -euo pipefail
program=$1
shift

wine_bin=$(command -v wine || command -v wine64 || true)
if [ -z "$wine_bin" ]; then
  echo "wine_run: wine is not installed" >&2
  exit 2
fi

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$program")" && pwd)
  export WINEPREFIX=$dir/wine-prefix
fi
export WINEARCH=win64
export WINEDEBUG=-all
# No .NET or HTML engine: nothing here needs them, and wine would offer to
# install them on first run.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine_bin" wineboot -i >/dev/null 2>&1 || true
      wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi

exec "$wine_bin" "$program" "$@"
