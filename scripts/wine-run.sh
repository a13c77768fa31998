#!/usr/bin/env bash
# Runs a Windows program under wine in a prefix of its own (the cross build's
# CMAKE_CROSSCOMPILING_EMULATOR: ctest and the test discovery call it). Without arguments it
# only makes the prefix.
#   KALVO_WINEPREFIX   the prefix (default: a folder of this user's under the temp directory)
#   KALVO_WINE_TIMEOUT seconds before the run is killed (default 600)
set -euo pipefail
prefix=${KALVO_WINEPREFIX:-${TMPDIR:-/tmp}/kalvo-wine-$(id -u)}
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No prompts for the .NET and HTML engines.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

mkdir -p "$prefix"
# ctest runs tests in parallel: the first one makes the prefix, the others wait for it.
if [ ! -f "$prefix/.kalvo-ready" ]; then
    (
        flock 9
        if [ ! -f "$prefix/.kalvo-ready" ]; then
            timeout 300 wineboot -i >/dev/null 2>&1 || true
            timeout 60 wineserver -w || true
            touch "$prefix/.kalvo-ready"
        fi
    ) 9>"$prefix/.kalvo-lock"
fi
# Without a program: only make the prefix.
[ $# -gt 0 ] || exit 0

# Wine starts its own helpers (wineserver, services, winedevice.exe) from the first program of a
# session, and they inherit its output: the caller (ctest) would wait for them to close it. So
# the program writes into files here, passed on when it ends.
out=$(mktemp "${TMPDIR:-/tmp}/kalvo-wine-out.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/kalvo-wine-err.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
rc=0
timeout -k 10 "${KALVO_WINE_TIMEOUT:-600}" wine "$@" >"$out" 2>"$err" || rc=$?
cat "$err" >&2
cat "$out"
exit "$rc"
