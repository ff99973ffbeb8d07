#!/bin/sh
# Makes sure what a build needs is installed: installs it with apt when we are root on a machine
# that has apt, otherwise prints the one apt-get line that would, and fails.
#   scripts/prerequisites.sh demo               a C++ compiler, CMake and make: all the demo needs
#   scripts/prerequisites.sh test [PRESET...]   also what the tests of those presets need
#                                               (default: all of them, and the from-nothing check)
set -eu

missing=""
need_command() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need_file() { [ -e "$1" ] || missing="$missing $2"; }

need_command g++ g++
need_command cmake cmake
need_command make make
if [ "${1:-demo}" = test ]; then
    shift
    need_file /usr/include/gtest/gtest.h libgtest-dev
    need_file /usr/include/nlohmann/json.hpp nlohmann-json3-dev
    need_file /usr/include/benchmark/benchmark.h libbenchmark-dev
    need_command faketime faketime
    need_command fiu-run fiu-utils
    need_command valgrind valgrind
    need_command git git # the lint checks the files git tracks
    need_command clang-format clang-format
    need_command clang-tidy clang-tidy
    need_command mandoc mandoc
    need_command man man-db
    presets=${*:-all}
    case " $presets " in *" clang "* | *" all "*) need_command clang++ clang ;; esac
    if [ "$presets" = all ]; then
        need_command aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
        need_command qemu-aarch64 qemu-user
        need_command mmdebstrap mmdebstrap
    fi
fi

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing:$missing" >&2
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    exit 0
fi

echo "Missing prerequisites. Install them with:" >&2
echo "  sudo apt-get install -y$missing" >&2
exit 1
