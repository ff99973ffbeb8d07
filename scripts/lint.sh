#!/bin/sh
# Fails on unformatted code, on warnings about the manual pages, and on clang-tidy warnings in
# the project's own files.
#   scripts/lint.sh [build-dir]   (a configured build with compile_commands.json; default build)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
files=$(git ls-files '*.cpp' '*.h' '*.inc')

echo "== clang-format"
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files

echo "== manual pages"
mandoc -T lint -W warning man/*.1
for page in man/*.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
done

echo "== clang-tidy"
# shellcheck disable=SC2086
echo $files | tr ' ' '\n' | grep '\.cpp$' |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>&1 |
    grep -v -E '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' |
    tee "$build/clang-tidy.log"
if grep -q -E 'warning:|error:' "$build/clang-tidy.log"; then
    echo "clang-tidy found problems (above)" >&2
    exit 1
fi
