#!/bin/bash
# The README's two commands as a new user meets them: on minimal Debian 12 roots that have
# nothing but what `mmdebstrap --variant=minbase` puts there, each case in a fresh clone of the
# commit under test (HEAD; uncommitted changes are not part of it). One line per case says what
# ran and whether it held; the log of a case that failed follows it.
#   scripts/from-nothing.sh        (as root, with mmdebstrap; keeps nothing behind)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "from-nothing.sh: needs root, to make and enter Debian roots" >&2; exit 1; }
command -v mmdebstrap >/dev/null || { echo "from-nothing.sh: needs mmdebstrap: apt-get install mmdebstrap" >&2; exit 1; }
repo=$PWD
commit=$(git rev-parse HEAD)
work=$(mktemp -d "${TMPDIR:-/tmp}/from-nothing.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$work/apt-cache"
programs="dartpi-serial dartpi-threads junction boxoffice-sem boxoffice-mutex boxoffice-race"
programs="$programs spawn-pause spawn-words spawn-count spawn-nowait"

# One base root, unpacked afresh for each case; the downloaded packages are shared between them.
mmdebstrap --quiet --variant=minbase bookworm "$work/base.tar" >"$work/base.log" 2>&1 || {
    cat "$work/base.log" >&2
    exit 1
}

# Runs the shell commands `script` as root in /src, a clone, inside a new root with `packages`
# added: in mount and PID namespaces of its own, so nothing mounted for it, and nothing it left
# running, outlives it. It is called under `if`, where `set -e` does not act: every step checks.
in_root() {
    local root=$work/root packages=$1 script=$2
    rm -rf --one-file-system "$root" || return 1
    mkdir "$root" || return 1
    tar -C "$root" -xf "$work/base.tar" || return 1
    cp /etc/resolv.conf "$root/etc/resolv.conf" || return 1
    git clone --quiet --no-local "$repo" "$root/src" || return 1
    git -C "$root/src" checkout --quiet "$commit" || return 1
    {
        echo "set -e"
        [ -z "$packages" ] ||
            echo "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages >/dev/null"
        echo "cd /src"
        echo "$script"
    } >"$root/case.sh" || return 1
    unshare --mount --propagation private --pid --fork --mount-proc sh -ec '
        mount -t proc proc "$1/proc"
        mount --rbind /dev "$1/dev" # the pseudo-terminals
        mount --rbind /sys "$1/sys"
        mount --bind "$2" "$1/var/cache/apt/archives"
        exec chroot "$1" sh /case.sh' sh "$root" "$work/apt-cache"
}

# The tour on a terminal, as a person sees it: each of the ten programs shown and ended.
tour_on_a_terminal() {
    cat <<SCRIPT
script -qefc '$1' /tmp/tour.log >/dev/null </dev/null
sed 's/\x1b\[[0-9;]*m//g; s/\r\$//' /tmp/tour.log >/tmp/tour.txt
for program in $programs; do
    grep -qx "== \$program ==" /tmp/tour.txt || { echo "\$program is not in the tour"; exit 1; }
done
ended=\$(grep -cE '^ +[+][0-9.]+s  (exit status 0|ended by signal INT)\$' /tmp/tour.txt || true)
[ "\$ended" -eq 10 ] || { echo "\$ended of 10 programs ended as they should"; exit 1; }
SCRIPT
}

installed() {
    cat <<SCRIPT
cmake --install build --prefix /tmp/installed >/dev/null
for program in $programs concurrency-tour; do
    test -x /tmp/installed/bin/\$program || { echo "\$program was not installed"; exit 1; }
    test -f /tmp/installed/share/man/man1/\$program.1 || { echo "no page for \$program"; exit 1; }
done
SCRIPT
}

status=0
# Prints the case's line, and its log when it did not hold.
run_case() {
    local what=$1 started=$SECONDS
    if in_root "$2" "$3" >"$work/case.log" 2>&1; then
        printf '%-72s held (%ds)\n' "$what" $((SECONDS - started))
    else
        printf '%-72s FAILED (%ds)\n' "$what" $((SECONDS - started))
        tail -n 60 "$work/case.log"
        status=1
    fi
}

run_case "bare root: ./demo.sh on a terminal, then cmake --install" "" \
    "$(tour_on_a_terminal ./demo.sh)
$(installed)"
run_case "root with GoogleTest, GoogleMock, Benchmark: ./demo.sh, make build" \
    "libgtest-dev libgmock-dev libbenchmark-dev" \
    "$(tour_on_a_terminal ./demo.sh)
make build"
run_case "bare root: PRESETS=default ./test.sh" "" "PRESETS=default ./test.sh"
exit $status
