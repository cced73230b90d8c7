#!/usr/bin/env bash
# wine-stress.sh: runs many Wine sessions of the shipped driver and tool while every core is
# kept busy, and reports how many failed. A session fails when the launcher exits non-zero or
# when its output differs from the first session's of the same architecture.
#
#   scripts/wine-stress.sh [--sessions N] [--board DIR] [--arch i686|amd64|both] [--no-load]
#
# Default: 200 sessions of Boards/nct6776, both architectures in turn, with one busy loop per
# core beside them. The launcher's log (steps it had to repeat) is reported at the end.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sessions=200 board=$root/Boards/nct6776 arches=(i686 amd64) load=1
while [ $# -gt 0 ]; do
    case $1 in
    --sessions) sessions=$2; shift 2 ;;
    --board) board=$2; shift 2 ;;
    --arch) [ "$2" = both ] || arches=("$2"); shift 2 ;;
    --no-load) load=0; shift ;;
    *) echo "usage: $0 [--sessions N] [--board DIR] [--arch i686|amd64|both] [--no-load]" >&2; exit 2 ;;
    esac
done

work=$(mktemp -d "${TMPDIR:-/tmp}/wine-stress.XXXXXX") || exit 1
busy=()
cleanup() {
    [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export KWOTARV_WINE_LOG=$work/launcher.log
: >"$KWOTARV_WINE_LOG"
printf '%s\n' "read" "read --json" "info" "ioctl IOCTL_HWM_GET_CHANNEL_VALUES --input 00000000 --output-length 64" \
    >"$work/commands"

if [ "$load" = 1 ]; then
    for _ in $(seq "$(nproc)"); do
        (while :; do :; done) &
        busy+=($!)
    done
fi

failed=0
started=$(date +%s)
for n in $(seq "$sessions"); do
    arch=${arches[$(((n - 1) % ${#arches[@]}))]}
    out=$work/$n
    if ! "$root/scripts/kwotarv-wine" --arch "$arch" --board "$board" --batch "$work/commands" \
        --batch-out "$out" >"$out.log" 2>&1; then
        failed=$((failed + 1))
        echo "session $n ($arch) failed:" >&2
        sed 's/^/    /' "$out.log" >&2
        continue
    fi
    # Everything the commands printed, and the port traces, must match the first session.
    reference=$work/reference-$arch
    summary=$work/$n.summary
    (cd "$out" && cat ./*.status ./*.out ./*.err ./*.trace) >"$summary"
    if [ ! -f "$reference" ]; then
        mv "$summary" "$reference"
    elif ! cmp -s "$summary" "$reference"; then
        failed=$((failed + 1))
        echo "session $n ($arch) answered differently from the first $arch session" >&2
    fi
    rm -rf "$out" "$out.log" "$summary"
    if [ $((n % 20)) -eq 0 ]; then
        echo "$n sessions, $failed failed, load $(cut -d' ' -f1 /proc/loadavg), $(($(date +%s) - started)) s"
    fi
done

retries=$(grep -c . "$KWOTARV_WINE_LOG")
echo "$sessions sessions with $(nproc) busy cores: $failed failed; the launcher repeated $retries step(s)"
[ "$retries" = 0 ] || sed 's/^/    /' "$KWOTARV_WINE_LOG"
[ "$failed" = 0 ]
