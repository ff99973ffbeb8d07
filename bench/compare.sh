#!/bin/bash
# Times dartpi-serial with the fast kernel against the same program built with the
# straightforward loop alone, and dartpi-threads against dartpi-serial, after checking under one
# frozen clock that all three print the same estimates. The timed runs go without faketime: its
# wrapper costs some 13 ms of processor time of its own, which is not the programs' (the work is
# the same whatever the seed: the same points are thrown and tested).
#   bench/compare.sh [build-dir] [runs]      (defaults: build, 10)
set -euo pipefail
build=${1:-build}
runs=${2:-10}
frozen=(env TZ=UTC faketime -f '2026-01-01 00:00:00')
declare -A program=([straightforward]="$build/bench/dartpi-serial-straightforward"
                    [serial]="$build/bin/dartpi-serial" [threads]="$build/bin/dartpi-threads")
names=(straightforward serial threads)

estimates() { "${frozen[@]}" "$1" | grep estimated | sort; }
reference=$(estimates "${program[straightforward]}")
for name in serial threads; do
    [ "$(estimates "${program[$name]}")" = "$reference" ] ||
        { echo "dartpi-$name: estimates differ from the straightforward loop" >&2; exit 1; }
done

# Median over the runs of wall and processor (user + system) seconds.
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
declare -A wall cpu
TIMEFORMAT='%3R %3U %3S'
for name in "${names[@]}"; do
    samples=$(for ((i = 0; i < runs; i++)); do
        { time "${program[$name]}" >/dev/null; } 2>&1
    done)
    wall[$name]=$(awk '{print $1}' <<<"$samples" | median)
    cpu[$name]=$(awk '{print $2 + $3}' <<<"$samples" | median)
done

printf '%-32s %10s %10s   (median of %d runs)\n' program wall-s cpu-s "$runs"
for name in "${names[@]}"; do
    printf '%-32s %10.3f %10.3f\n' "dartpi-$name" "${wall[$name]}" "${cpu[$name]}"
done
awk -v a="${cpu[straightforward]}" -v b="${cpu[serial]}" \
    'BEGIN {printf "processor time, straightforward / fast:  %.1fx\n", a / b}'
awk -v a="${wall[threads]}" -v b="${wall[serial]}" \
    'BEGIN {printf "wall time, dartpi-threads / dartpi-serial: %.2f\n", a / b}'
echo "estimates identical to the straightforward loop: yes"
