#!/bin/sh
# Builds and runs the whole test suite: the plain build, then under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer. PRESETS="default" runs only the first.
set -eu
cd "$(dirname "$0")"
scripts/prerequisites.sh test

werror=""
[ -n "${CI:-}" ] && werror="-DCD_WERROR=ON" # warnings are errors in CI

for preset in ${PRESETS:-default asan tsan}; do
    echo "== $preset"
    cmake --preset "$preset" $werror >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset"
done
