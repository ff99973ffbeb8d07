#!/bin/sh
# Builds the nine programs and runs each in turn.
set -eu
cd "$(dirname "$0")"
scripts/prerequisites.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
for program in dartpi-serial dartpi-threads junction boxoffice-sem boxoffice-mutex \
               spawn-words spawn-count spawn-nowait; do
    echo "== $program"
    "build/bin/$program"
done
