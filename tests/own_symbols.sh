#!/bin/sh
# Fails when an object file defines an external symbol other than those named: a weak copy of a
# template or an inline function, compiled with that file's processor flags, could stand in for
# the copy every other file calls.
#   tests/own_symbols.sh NM OBJECT SYMBOL...   (symbols as `nm -C` shows them, e.g. 'avx2_path()')
set -eu
nm=$1 object=$2
shift 2
status=0
"$nm" -gC --defined-only "$object" | cut -d' ' -f3- >"${TMPDIR:-/tmp}/own_symbols.$$"
while IFS= read -r symbol; do
    own=no
    for name in "$@"; do [ "$symbol" = "$name" ] && own=yes; done
    if [ $own = no ]; then
        echo "$object defines $symbol" >&2
        status=1
    fi
done <"${TMPDIR:-/tmp}/own_symbols.$$"
rm -f "${TMPDIR:-/tmp}/own_symbols.$$"
exit $status
