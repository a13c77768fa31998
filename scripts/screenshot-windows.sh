#!/usr/bin/env bash
# The native window's tests under wine on a virtual display (Xvfb), one of them photographing the
# window in the middle of an update with its system menu open.
#   scripts/screenshot-windows.sh [--docs] [BUILD_DIR]     (default build-win)
# The picture goes to BUILD_DIR/screenshot-windows.png, with --docs also to
# docs/screenshot-windows.png. Wine's prefix as in scripts/wine-run.sh (KALVO_WINEPREFIX).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
docs=0
if [ "${1:-}" = --docs ]; then
    docs=1
    shift
fi
build=${1:-build-win}
test=$build/bin/test_win32.exe
if [ ! -f "$test" ]; then
    echo "screenshot-windows: $test not found: build the Windows tests first" >&2
    exit 1
fi
build=$(cd "$build" && pwd)
test=$build/bin/test_win32.exe
prefix=${KALVO_WINEPREFIX:-${TMPDIR:-/tmp}/kalvo-wine-$(id -u)}
export KALVO_WINEPREFIX=$prefix
wine_run() { KALVO_WINE_TIMEOUT=${KALVO_WINE_TIMEOUT:-300} "$root/scripts/wine-run.sh" "$@"; }

# Without a window manager, wine draws the window frames itself.
wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
# The menus' face, Tahoma, has no Chinese. Windows links its UI faces to its own Chinese fonts;
# wine gives a process with the UTF-8 code page (the program's manifest asks for it) no font
# linking, so the menus take a face with Chinese directly.
menu_font=$(/usr/bin/python3 -c '
import struct
face = "WenQuanYi Micro Hei".encode("utf-16-le").ljust(64, b"\0")
print((struct.pack("<5l8B", -11, 0, 0, 0, 400, 0, 0, 0, 1, 0, 0, 0, 0x22) + face).hex())')
wine_run reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v MenuFont /t REG_BINARY \
    /d "$menu_font" /f >/dev/null
# Debian's wine does not look for its own fonts (fonts-wine: Tahoma, and Marlett for the frame's
# buttons) where fonts-wine puts them.
for font in /usr/share/wine/fonts/*.ttf; do
    [ -f "$font" ] && ln -sf "$font" "$prefix/drive_c/windows/Fonts/"
done
# The registry is read when wine starts, and the display is taken by the first window: a fresh
# wineserver for the runs on the virtual display.
WINEPREFIX=$prefix timeout 30 wineserver -k || true

shot=$build/screenshot-windows.png
rm -f "$shot"
xvfb-run -a -s "-screen 0 1024x768x24" env KALVO_SCREENSHOT="Z:${shot//\//\\}" \
    "$root/scripts/wine-run.sh" "$test"
WINEPREFIX=$prefix timeout 30 wineserver -k || true
if [ ! -f "$shot" ]; then
    echo "screenshot-windows: no screenshot was taken" >&2
    exit 1
fi
if [ "$docs" = 1 ]; then
    cp "$shot" docs/screenshot-windows.png
fi
echo "screenshot-windows: $shot"
