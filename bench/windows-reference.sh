#!/usr/bin/env bash
# The benchmark's reference update (512 KiB firmware in 16-byte records, 1 MiB camera database,
# 1 MiB sounds, 256 KiB radar firmware) by the Linux program and by the Windows program under
# wine, one after the other on the same machine, each against a fresh simulated device
# (kalvo-devsim, 256000 baud wire time emulated) on a pseudo-terminal that the wine prefix maps
# to COM9. Prints each payload's time and its ratio to the wire bound; about six minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${KALVO_LINUX_BUILD:-build}
win=${KALVO_WINDOWS_BUILD:-build-win}
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-bench-win-XXXXXX")
export KALVO_WINEPREFIX=$work/wine WINEPREFIX=$work/wine WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
dev=""
cleanup() {
    if [ -n "$dev" ]; then kill "$dev" 2>/dev/null || true; fi
    timeout 30 wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

tests/e2e/payloads.py write "$work" --reference
scripts/wine-run.sh "$win/bin/kalvo-updater.exe" --version
wineserver -p </dev/null >/dev/null 2>&1 || true

run() {  # label, port the program opens, payload directory as it names it, command...
    local label=$1 port=$2 dir=$3
    shift 3
    "$linux/bin/kalvo-devsim" --until-complete --quiet-ms 1500 --timeout 900 \
        --expect firmware,edog,music,radar --report "$work/$label.json" >"$work/$label.tty" &
    dev=$!
    local tty=""
    for _ in $(seq 100); do
        tty=$(head -n 1 "$work/$label.tty" 2>/dev/null || true)
        [ -n "$tty" ] && break
        sleep 0.05
    done
    ln -sfn "$tty" "$WINEPREFIX/dosdevices/com9"
    [ "$port" = pty ] && port=$tty
    bench/time_update.py "$label" timeout 900 "$@" --headless --port "$port" \
        --payload-dir "$dir" | tee -a "$work/times.jsonl"
    wait "$dev"
    dev=""
    tests/e2e/payloads.py check "$work" "$work/$label.json"
}

run linux pty "$work" "$linux/bin/kalvo-updater"
run windows COM9 "Z:${work//\//\\}" wine "$win/bin/kalvo-updater.exe"

# Wire bounds of this set (both directions, 10 bits per byte), as kalvo-bench-update reports them.
/usr/bin/python3 - "$work/times.jsonl" <<'PY'
import json, sys
bound = {"firmware": 51.20, "edog": 41.07, "music": 41.07, "radar": 10.35}
runs = [json.loads(l) for l in open(sys.argv[1])]
print("| payload | wire bound | " + " | ".join(r["label"] + ": measured, ratio" for r in runs) + " |")
print("|---|---|" + "---|" * len(runs))
for name in list(bound) + ["overall"]:
    b = sum(bound.values()) if name == "overall" else bound[name]
    cells = []
    for r in runs:
        t = sum(r["seconds"].values()) if name == "overall" else r["seconds"].get(name)
        cells.append("%.2f s, %.3f" % (t, b / t) if t else "-")
    print("| %s | %.2f s | %s |" % (name, b, " | ".join(cells)))
PY
