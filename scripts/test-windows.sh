#!/usr/bin/env bash
# The Windows program: cross-built with mingw-w64, its tests run under wine, then end-to-end runs
# in which kalvo-updater.exe under wine updates the simulated device, which runs natively on a
# pseudo-terminal that the wine prefix maps to COM9: a whole update (every payload checked byte
# for byte) and the device-error, silence and hang-up rows with their exit codes.
# Uses kalvo-devsim of the Linux build ($KALVO_LINUX_BUILD, default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/deps-windows.sh
jobs=$(nproc)
linux=${KALVO_LINUX_BUILD:-build}
win=${KALVO_WINDOWS_BUILD:-build-win}

work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-win-XXXXXX")
export KALVO_WINEPREFIX=$work/wine
dev=""
cleanup() {
    if [ -n "$dev" ]; then kill "$dev" 2>/dev/null || true; fi
    # An idle wineserver and its winedevice.exe would keep running after us.
    if [ -d "$KALVO_WINEPREFIX" ]; then WINEPREFIX=$KALVO_WINEPREFIX timeout 30 wineserver -k || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -x "$linux/bin/kalvo-devsim" ]; then
    cmake -S . -B "$linux" -G Ninja -DKALVO_WERROR=ON >/dev/null
    cmake --build "$linux" -j "$jobs" --target kalvo-devsim
fi
# The prefix first: the test discovery after each link runs under a time limit. Then one
# wineserver for every run that follows (once the booting one has ended): each wine process then
# starts in a fraction of the time.
scripts/wine-run.sh
WINEPREFIX=$KALVO_WINEPREFIX timeout 60 wineserver -w || true
WINEPREFIX=$KALVO_WINEPREFIX wineserver -p </dev/null >/dev/null 2>&1 || true
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKALVO_WERROR=ON >/dev/null
cmake --build "$win" -j "$jobs"

echo "== tests under wine"
# As in scripts/test.sh, a failed test is run once more before it counts (a wine process was
# seen killed from outside right after its test had passed).
(cd "$win" && ctest --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2)
KALVO_WINE_TIMEOUT=30 scripts/wine-run.sh "$win/bin/kalvo-updater.exe" --version

echo "== end to end: kalvo-updater.exe under wine, kalvo-devsim on COM9"
pay=$work/payloads
mkdir -p "$pay"
tests/e2e/payloads.py write "$pay"
winpay="Z:${pay//\//\\}"
failed=0

row() {  # name, expected exit code, kalvo-devsim options...
    local name=$1 want=$2
    shift 2
    "$root/$linux/bin/kalvo-devsim" --timeout 150 --report "$work/$name.json" "$@" \
        >"$work/$name.tty" &
    dev=$!
    local tty=""
    for _ in $(seq 100); do
        tty=$(head -n 1 "$work/$name.tty" 2>/dev/null || true)
        [ -n "$tty" ] && break
        sleep 0.05
    done
    ln -sfn "$tty" "$KALVO_WINEPREFIX/dosdevices/com9"
    local start=$SECONDS rc=0
    KALVO_WINE_TIMEOUT=150 scripts/wine-run.sh "$win/bin/kalvo-updater.exe" --headless \
        --port COM9 --payload-dir "$winpay" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
    # A complete run ends the device by itself once the line is quiet; the others are told to.
    [ "$want" = 0 ] || kill "$dev" 2>/dev/null || true
    wait "$dev" || true
    dev=""
    local verdict="ok"
    [ "$rc" = "$want" ] || verdict="FAILED: exit code $rc, expected $want"
    if [ "$verdict" = ok ] && [ "$want" = 0 ] &&
        ! tests/e2e/payloads.py check "$pay" "$work/$name.json"; then
        verdict="FAILED: the device did not receive the payloads intact"
    fi
    echo "$name: exit code $rc, $((SECONDS - start)) s: $verdict"
    if [ "$verdict" != ok ]; then
        failed=$((failed + 1))
        tail -n 20 "$work/$name.out" "$work/$name.err" || true
    fi
}

row update 0 --until-complete --quiet-ms 1500 --expect firmware,edog,music,radar
row device-error 1 --error-at 8
row silence 2 --silence-after 8
row hang-up 2 --hangup-after 8

# --list-ports: a port that wine maps onto a pseudo-terminal is listed once, by its own name, with
# its kind ("COM12  pseudo-terminal (wine: /dev/pts/N)  opens"); wine lists a port mapped through
# its registry only after its server starts again.
list_ports() {
    "$root/$linux/bin/kalvo-devsim" --timeout 60 >"$work/list.tty" &
    dev=$!
    local tty=""
    for _ in $(seq 100); do
        tty=$(head -n 1 "$work/list.tty" 2>/dev/null || true)
        [ -n "$tty" ] && break
        sleep 0.05
    done
    rm -f "$KALVO_WINEPREFIX/dosdevices/com12"
    WINEPREFIX=$KALVO_WINEPREFIX timeout 30 wine reg add 'HKLM\Software\Wine\Ports' /v COM12 \
        /t REG_SZ /d "$tty" /f >/dev/null 2>&1 || true
    WINEPREFIX=$KALVO_WINEPREFIX timeout 30 wineserver -k || true
    local out
    out=$(KALVO_WINE_TIMEOUT=60 scripts/wine-run.sh "$win/bin/kalvo-updater.exe" --list-ports || true)
    kill "$dev" 2>/dev/null || true
    wait "$dev" || true
    dev=""
    local line
    line=$(grep -F COM12 <<<"$out" || true)
    if [ "$(grep -o COM12 <<<"$out" | wc -l)" = 1 ] && grep -qF "pseudo-terminal (wine: $tty)" <<<"$line"; then
        echo "list-ports: $line: ok"
    else
        echo "list-ports: FAILED: COM12 not listed once as a pseudo-terminal:"
        echo "$out"
        failed=$((failed + 1))
    fi
}
list_ports

total=5
echo "e2e: $((total - failed)) passed, $failed failed"
[ "$failed" = 0 ]

# The native window and the download, where the tree has them (ui/win32/).
if [ -f scripts/screenshot-windows.sh ] || [ -f scripts/package-windows.sh ]; then
    echo "== the window under Xvfb, and the download"
    if [ -f scripts/screenshot-windows.sh ]; then bash scripts/screenshot-windows.sh "$win"; fi
    if [ -f scripts/package-windows.sh ]; then bash scripts/package-windows.sh --check "$win"; fi
fi

echo "== planted DLLs beside the program and the installer, the window program's subsystem"
setup=$(ls "$win"/package/kalvo-updater-*-win64-setup.exe 2>/dev/null | head -n 1 || true)
bash tests/package/planted-dll.sh "$win" ${setup:+"$setup"}
