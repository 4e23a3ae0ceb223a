#!/usr/bin/env bash
# Checks that a built MEX file loads anywhere: it exports exactly mexFunction
# and mexVersion, both with symbol version MEX, and needs at run time nothing
# beyond the C, math and thread libraries and the host's own libraries.
set -euo pipefail
file=$1
status=0

case $file in
  *.mexw64) exec "$(dirname "$0")/check_mexw64_file.sh" "$file" ;;
  *.mexmaci64)
    # macOS: a Mach-O bundle exporting _mexFunction alone, needing only the
    # system's C, C++ and thread libraries and the host's.
    otool -hv "$file" | grep -q BUNDLE || { echo "$file is not a Mach-O bundle"; status=1; }
    exports=$(nm -gU "$file" | awk '$3 != "__mh_bundle_header" {print $3}' | sort)
    [ "$exports" = "_mexFunction" ] || { echo "unexpected exports of $file:"; echo "$exports"; status=1; }
    allowed='^((@rpath/)?lib(mx|mex|mat)\.dylib|/usr/lib/libc\+\+\.1\.dylib|/usr/lib/libSystem\.B\.dylib)$'
    while read -r lib; do
      [[ $lib =~ $allowed ]] || { echo "unexpected run-time dependency of $file: $lib"; status=1; }
    done < <(otool -L "$file" | tail -n +2 | awk '{print $1}')
    [ $status -eq 0 ] && echo "$file: exports and dependencies as required"
    exit $status
    ;;
esac

exports=$(nm -D --defined-only --with-symbol-versions "$file" | awk '$2 != "A" {print $3}' | sort)
expected=$'mexFunction@@MEX\nmexVersion@@MEX'
if [ "$exports" != "$expected" ]; then
  echo "unexpected exports of $file:"; echo "$exports"; status=1
fi

allowed='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|ld-linux-x86-64\.so\.2|libmx\.so|libmex\.so|libmat\.so)$'
while read -r lib; do
  if ! [[ $lib =~ $allowed ]]; then echo "unexpected run-time dependency of $file: $lib"; status=1; fi
done < <(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}')

for lib in libmx.so libmex.so libmat.so; do
  objdump -p "$file" | grep -q "NEEDED *$lib\$" || { echo "$file does not link $lib"; status=1; }
done
[ $status -eq 0 ] && echo "$file: exports and dependencies as required"
exit $status
