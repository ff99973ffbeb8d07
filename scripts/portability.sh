#!/bin/bash
# Builds the pi programs every way the project supports and checks that each prints, under one
# frozen clock, exactly the estimates of the straightforward loop: GCC and Clang in each CMake
# build type (the kernel's tests and its symbol check run too), and a cross build for aarch64 run
# under qemu-user.
#   scripts/portability.sh [reference-build]   (a configured default build; default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
reference_build=${1:-build}
werror=()
[ -n "${CI:-}" ] && werror=(-DCD_WERROR=ON)

frozen=(env TZ=UTC faketime -f '2026-01-01 00:00:00')
estimates() { "${frozen[@]}" "$@" | grep estimated | sort; }

cmake --build "$reference_build" --target dartpi-serial-straightforward >/dev/null
expected=$(estimates "$reference_build/bench/dartpi-serial-straightforward")

# Prints one row: what was built, and whether both programs gave the expected estimates.
check() {
    local what=$1 runner=$2 dir=$3 verdict=yes
    for program in dartpi-serial dartpi-threads; do
        # shellcheck disable=SC2086
        [ "$(estimates $runner "$dir/bin/$program")" = "$expected" ] || verdict=NO
    done
    printf '%-42s %s\n' "$what" "$verdict"
    [ "$verdict" = yes ]
}

status=0
printf '%-42s %s\n' "build" "estimates identical"
for compiler in g++ clang++; do
    for type in Debug Release RelWithDebInfo MinSizeRel; do
        dir=build-matrix/$compiler-$type
        cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE="$type" \
            -DCD_BUILD_TESTS=ON -DCD_BUILD_BENCHMARKS=OFF "${werror[@]}" >/dev/null
        cmake --build "$dir" -j "$(nproc)" --target dartpi-serial dartpi-threads kernel_test \
            >/dev/null
        "$dir/tests/kernel_test" --gtest_brief=1 >/dev/null || {
            echo "$compiler $type: kernel tests failed" >&2
            status=1
        }
        # The per-processor objects define nothing but their entry points, whatever the build.
        ctest --test-dir "$dir" -R '^kernel_symbols/' --output-on-failure >/dev/null || {
            echo "$compiler $type: a per-processor object defines more than its entry point" >&2
            status=1
        }
        check "x86-64, $compiler, $type" "" "$dir" || status=1
    done
done

# aarch64: the generic vector path, emulated. faketime acts on the host side; -U LD_PRELOAD
# keeps it out of the guest.
cmake --preset aarch64 "${werror[@]}" >/dev/null
cmake --build --preset aarch64 -j "$(nproc)" --target dartpi-serial dartpi-threads >/dev/null
check "aarch64, g++ (qemu-user), RelWithDebInfo" \
    "qemu-aarch64 -U LD_PRELOAD -L /usr/aarch64-linux-gnu" build-aarch64 || status=1
exit $status
