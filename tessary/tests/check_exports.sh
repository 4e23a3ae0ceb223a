#!/bin/sh
# A MEX file of this host exports its gateway and version query, both with
# symbol version MEX, and depends on nothing but the C runtime and the
# host's libraries: the C++ runtime is linked in.
set -eu
file=$1

exports=$(nm -D --defined-only "$file" | awk '
  $2 == "A" && $3 == "MEX" { next }   # the version definition itself
  { print $2, $3 }' | sort)
expected="T mexFunction@@MEX
T mexVersion@@MEX"
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports of $file:"
  echo "$exports"
  exit 1
fi

for lib in $(objdump -p "$file" | awk '$1 == "NEEDED" { print $2 }'); do
  case $lib in
    libc.so.6 | libm.so.6 | libpthread.so.0 | ld-linux-x86-64.so.2 | libmx.so | libmex.so | libmat.so) ;;
    *)
      echo "unexpected dependency of $file: $lib"
      exit 1
      ;;
  esac
done
echo "exports and dependencies of $file are as expected"
