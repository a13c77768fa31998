#!/usr/bin/env bash
# The station window on a virtual display (Xvfb) with three simulated devices at the real line
# rate, the second pulled in the middle of its firmware, photographed once that row has failed.
#   scripts/screenshot-station.sh [BUILD_DIR] [OUT]    (default build, docs/screenshot-station.png)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-docs/screenshot-station.png}
work=$(mktemp -d /tmp/station.XXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
tests/e2e/payloads.py write "$work"
rm "$work/audioHead.bin" "$work/flagdata.bin"
ports=()
for i in 1 2 3; do
    fault=()
    [ "$i" = 2 ] && fault=(--hangup-after 700)
    "$build/bin/kalvo-devsim" "${fault[@]}" --report "$work/dev$i.json" >"$work/dev$i.out" &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$work/dev$i.out" ] && break; sleep 0.1; done
    ports+=(--port "$(head -1 "$work/dev$i.out")")
done
xvfb-run -a -s "-screen 0 900x220x24" bash -c '
    "$1" --station "${@:4}" --payload-dir "$2" --record "$2/record.csv" &
    station=$!
    # The second row fails after about 2 s; the others are still writing.
    for _ in $(seq 200); do grep -q ",2,/" "$2/record.csv" 2>/dev/null && break; sleep 0.1; done
    sleep 1
    import -window root "$3"
    kill -TERM $station
    wait $station || true
' shot "$build/bin/kalvo-updater" "$work" "$PWD/$out" "${ports[@]}"
echo "screenshot-station: $out"
