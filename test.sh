#!/bin/sh
# Builds and runs the whole test suite: formatting and clang-tidy; the tests of the plain build
# (helgrind included), of a Clang build, of an unoptimised build (the pi tests), and under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer; then the pi
# programs' estimates in every build type of both compilers and on aarch64 under qemu-user.
# PRESETS="default" runs only the plain build's tests.
set -eu
cd "$(dirname "$0")"
scripts/prerequisites.sh test

werror=""
[ -n "${CI:-}" ] && werror="-DCD_WERROR=ON" # warnings are errors in CI

stage() { echo "== $1 ($(date +%T))"; }
for preset in ${PRESETS:-default clang debug asan tsan}; do
    stage "$preset"
    cmake --preset "$preset" $werror >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    [ "$preset" = default ] && scripts/lint.sh build
    ctest --preset "$preset"
done
if [ -z "${PRESETS:-}" ]; then
    stage "estimates of every build"
    scripts/portability.sh build
fi
stage done
