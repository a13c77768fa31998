#!/usr/bin/env bash
# The Windows download, from a cross build: kalvo-updater-<version>-win64.zip (the program, the
# README and the licence in one folder) and kalvo-updater-<version>-win64-setup.exe (an installer
# with a Start-menu entry and an uninstaller, made with makensis of Debian's nsis).
#   scripts/package-windows.sh [--check] [BUILD_DIR]     (default build-win)
# The files go into BUILD_DIR/package. --check then installs the program under wine (prefix as in
# scripts/wine-run.sh), runs it, and uninstalls it again, checking what each step leaves.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
check=0
if [ "${1:-}" = --check ]; then
    check=1
    shift
fi
build=${1:-build-win}
exe=$build/bin/kalvo-updater.exe
if [ ! -f "$exe" ]; then
    echo "package-windows: $exe not found: build the Windows program first" >&2
    exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ]; then
    echo "package-windows: no project version in $build/CMakeCache.txt" >&2
    exit 1
fi
name=kalvo-updater-$version-win64
out=$(cd "$build" && pwd)/package
stage=$out/$name
rm -rf "$stage" "$out/$name.zip" "$out/$name-setup.exe"
mkdir -p "$stage"
cp "$exe" "$stage/"
# Notepad of older Windows shows LF-only text as one line.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
crlf README.md "$stage/README.txt"
licence=""
for f in LICENSE LICENSE.txt LICENSE.md COPYING; do
    if [ -f "$f" ]; then
        licence=$f
        break
    fi
done
if [ -n "$licence" ]; then
    crlf "$licence" "$stage/LICENSE.txt"
else
    echo "package-windows: warning: no licence file (LICENSE) in the project; packaged without" >&2
fi
(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
# makensis works in the script's folder: every path it gets is absolute.
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" \
    -DICON="$root/res/kalvo.ico" "$root/scripts/package-windows.nsi"
echo "package-windows: $out/$name.zip, $out/$name-setup.exe"
[ "$check" = 1 ] || exit 0

# ---------------------------------------------------------------------------------------------
fail() {
    echo "package-windows: FAILED: $*" >&2
    exit 1
}
want=$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
got=$(unzip -Z1 "$out/$name.zip" | grep -v '/$' | sed "s|^$name/||" | sort)
[ "$want" = "$got" ] || fail "the zip holds $(echo $got), not $(echo $want)"

prefix=${KALVO_WINEPREFIX:-${TMPDIR:-/tmp}/kalvo-wine-$(id -u)}
wine_run() { KALVO_WINE_TIMEOUT=${KALVO_WINE_TIMEOUT:-120} "$root/scripts/wine-run.sh" "$@"; }
wine_run "$out/$name-setup.exe" /S
dir=$(find "$prefix/drive_c/users" -type d -path '*/AppData/Local/Programs/Kalvo Updater' | head -n 1)
[ -n "$dir" ] && [ -f "$dir/kalvo-updater.exe" ] || fail "the installer put no program in place"
menu=$(find "$prefix/drive_c/users" -type f -path '*/Start Menu/Programs/Zorvik Tool/Zorvik Tool.lnk')
[ -n "$menu" ] || fail "no Start-menu entry"
[ -f "$dir/uninstall.exe" ] || fail "no uninstaller"
shown=$(wine_run "$dir/kalvo-updater.exe" --version | tr -d '\r')
[ "$shown" = "kalvo-updater $version (Zorvik Tool v$version)" ] || fail "installed program says: $shown"
wine_run reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KalvoUpdater' \
    /v DisplayVersion | grep -q "$version" || fail "not among the installed programs"

# A payload the user put beside the program survives the uninstaller.
echo sample >"$dir/flagdata.bin"
wine_run "$dir/uninstall.exe" /S
# The uninstaller runs from a copy of itself and returns at once.
for _ in $(seq 100); do
    [ -f "$dir/kalvo-updater.exe" ] || [ -f "$menu" ] || break
    sleep 0.2
done
[ ! -f "$dir/kalvo-updater.exe" ] && [ ! -f "$dir/uninstall.exe" ] || fail "the uninstaller left the program"
[ ! -f "$menu" ] || fail "the uninstaller left the Start-menu entry"
[ -f "$dir/flagdata.bin" ] || fail "the uninstaller removed the user's payload file"
rm -rf "$dir"
echo "package-windows: zip, install, Start-menu entry, uninstall: ok"
