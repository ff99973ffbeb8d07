#!/bin/sh
# Builds and runs the whole test suite: formatting and clang-tidy, then the tests of the plain
# build (helgrind included), then under AddressSanitizer with UndefinedBehaviorSanitizer, then
# under ThreadSanitizer. PRESETS="default" runs only the plain build's.
set -eu
cd "$(dirname "$0")"
scripts/prerequisites.sh test

werror=""
[ -n "${CI:-}" ] && werror="-DCD_WERROR=ON" # warnings are errors in CI

for preset in ${PRESETS:-default asan tsan}; do
    echo "== $preset"
    cmake --preset "$preset" $werror >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    [ "$preset" = default ] && scripts/lint.sh build
    ctest --preset "$preset"
done
