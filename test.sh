#!/bin/sh
# Builds and runs the whole test suite: formatting and clang-tidy; the tests of the plain build
# (helgrind included), of a Clang build, of an unoptimised build (the pi tests), and under
# AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer; then the pi
# programs' estimates in every build type of both compilers and on aarch64 under qemu-user; last,
# the README's two commands on bare Debian roots (scripts/from-nothing.sh).
# PRESETS="default" runs only the plain build's tests.
set -eu
cd "$(dirname "$0")"
# shellcheck disable=SC2086
scripts/prerequisites.sh test ${PRESETS:-}
# The last stage makes Debian roots and enters them: found out now, not forty minutes in.
if [ -z "${PRESETS:-}" ] && [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: the from-nothing stage needs root (or run PRESETS=\"default clang\" ./test.sh)" >&2
    exit 1
fi

werror=""
[ -n "${CI:-}" ] && werror="-DCD_WERROR=ON" # warnings are errors in CI

stage() { echo "== $1 ($(date +%T))"; }
for preset in ${PRESETS:-default clang debug asan tsan}; do
    stage "$preset"
    # Tests ON: a missing test dependency is an error here, never a quietly smaller suite.
    cmake --preset "$preset" -DCD_BUILD_TESTS=ON $werror >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    [ "$preset" = default ] && scripts/lint.sh build
    ctest --preset "$preset"
done
if [ -z "${PRESETS:-}" ]; then
    stage "estimates of every build"
    scripts/portability.sh build
    stage "from nothing"
    scripts/from-nothing.sh
fi
stage done
