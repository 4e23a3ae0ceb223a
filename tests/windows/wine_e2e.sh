#!/usr/bin/env bash
# End-to-end runs of the Windows MEX files through mexrun.exe under wine,
# each compared byte for byte with the Linux build's output on the same
# input files:
#   wine_e2e.sh CASE WIN_BUILD LINUX_BUILD
# CASE: quillon-gaussian, quillon-rician, tessary-rician, tessary-flag256,
# noise-sigma, errors. Exit 0 when the case passes.
set -euo pipefail
case_name=$1
win=$(cd "$2" && pwd)
lin=$(cd "$3" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

work=$win/wine-e2e/$case_name
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }

# Small volumes keep wine's share of the test time low; the shapes are odd
# so that the slabs and block edges are uneven.
python3 - <<'PY'
# Plain Python, so that any python3 on the path will do.
import random, struct
rng = random.Random(7)
r, c, s = 23, 19, 17
values = []
for z in range(s):  # column-major: rows vary fastest
    for y in range(c):
        for x in range(r):
            clean = 40.0 + 2.0 * x + (60.0 if (x - 11) ** 2 + (y - 9) ** 2 + (z - 8) ** 2 < 36 else 0.0)
            values.append(abs(clean + rng.gauss(0.0, 6.0)))
header = "{'descr': '<f8', 'fortran_order': True, 'shape': (%d, %d, %d), }" % (r, c, s)
header += " " * (63 - (10 + len(header)) % 64) + "\n"
with open("noisy.npy", "wb") as f:
    f.write(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1"))
    f.write(struct.pack("<%dd" % len(values), *values))
PY

linux_run() { "$lin/mexrun" "$@"; }
wine_run() { "$here/wine_run.sh" "$win/mexrun.exe" "$@"; }

# Runs MEX base name NAME with ARGS on both builds, writing TAG-linux-k.npy
# and TAG-win-k.npy for each of OUTPUTS outputs, and compares them.
same_bits() {
  local tag=$1 name=$2 outputs=$3
  shift 3
  local lin_out=() win_out=() k
  for ((k = 1; k <= outputs; k++)); do
    lin_out+=(-o "$tag-linux-$k.npy")
    win_out+=(-o "$tag-win-$k.npy")
  done
  linux_run "$lin/$name.mexa64" "$@" "${lin_out[@]}" || fail "Linux $name $* exited $?"
  wine_run "$win/$name.mexw64" "$@" "${win_out[@]}" || fail "wine $name $* exited $?"
  for ((k = 1; k <= outputs; k++)); do
    cmp -s "$tag-linux-$k.npy" "$tag-win-$k.npy" ||
      fail "$name $* output $k differs between Linux and Windows"
  done
  echo "$name $*: $outputs output(s) identical on Linux and Windows"
}

# Runs the Windows build expecting exit status STATUS and TEXT on stderr.
expect_error() {
  local status=$1 text=$2
  shift 2
  local got=0
  wine_run "$@" 2>err.txt >/dev/null || got=$?
  [ "$got" -eq "$status" ] || fail "$* exited $got, expected $status: $(tr -d '\r' <err.txt)"
  grep -q -- "$text" err.txt || fail "$*: no '$text' in: $(tr -d '\r' <err.txt)"
  echo "$*: exit $status with '$text'"
}

case $case_name in
  quillon-gaussian) same_bits q0 quillon 2 noisy.npy 6 0 ;;
  quillon-rician) same_bits q1 quillon 2 noisy.npy 6 1 ;;
  tessary-rician)
    # The way users chain the two: quillon's result guides tessary.
    linux_run "$lin/quillon.mexa64" noisy.npy 6 1 -o guide.npy
    same_bits t1 tessary 1 noisy.npy 2 1 6 guide.npy 1
    ;;
  tessary-flag256)
    # 256 narrows to 0 (Gaussian) on Linux and Windows alike.
    same_bits t256 tessary 1 noisy.npy 2 2 6 noisy.npy 256
    linux_run "$lin/tessary.mexa64" noisy.npy 2 2 6 noisy.npy 0 -o t0-linux.npy
    cmp -s t256-win-1.npy t0-linux.npy || fail "flag 256 is not the Gaussian path on Windows"
    ;;
  noise-sigma)
    same_bits n1 noise_sigma 1 noisy.npy 1
    same_bits n0 noise_sigma 1 noisy.npy 0
    ;;
  errors)
    expect_error 1 "noise_sigma:volume" "$win/noise_sigma.mexw64" 5 1 -o x.npy
    expect_error 1 "quillon:nargin" "$win/quillon.mexw64" noisy.npy 6 -o x.npy
    expect_error 1 "tessary:sigma" "$win/tessary.mexw64" noisy.npy 2 1 nan noisy.npy 1 -o x.npy
    expect_error 2 "cannot load MEX file" "$win/missing.mexw64" 1 -o x.npy
    [ ! -e x.npy ] || fail "a failed call wrote its output"
    ;;
  *) fail "unknown case" ;;
esac
