#!/bin/sh
# Builds the ten programs and the tour, then runs the tour: every program in turn, its lines
# stamped with their arrival times. Arguments go to the tour (e.g. ./demo.sh junction).
set -eu
cd "$(dirname "$0")"
scripts/prerequisites.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target demos >/dev/null
exec build/bin/concurrency-tour "$@"
