#!/usr/bin/env bash
# The Windows download, from a cross build: kalvo-updater-<version>-win64.zip (the program, its
# console twin, the README for the person updating a device, the licence and the third-party
# notices in one folder) and kalvo-updater-<version>-win64-setup.exe (an installer with a
# Start-menu entry and an uninstaller, made with makensis of Debian's nsis), with SHA256SUMS.
#   scripts/package-windows.sh [--check] [BUILD_DIR]     (default build-win)
# The files go into BUILD_DIR/package; the same commit gives the same bytes (time stamps from
# SOURCE_DATE_EPOCH, else the last commit). --check then installs the program under wine (prefix
# as in scripts/wine-run.sh), runs it, and uninstalls it again, checking what each step leaves.
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
for f in "$exe" "$build/bin/kalvo-updater.com"; do
    if [ ! -f "$f" ]; then
        echo "package-windows: $f not found: build the Windows program first" >&2
        exit 1
    fi
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ]; then
    echo "package-windows: no project version in $build/CMakeCache.txt" >&2
    exit 1
fi
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
name=kalvo-updater-$version-win64
out=$(cd "$build" && pwd)/package
stage=$out/$name
rm -rf "$stage" "$out/$name.zip" "$out/$name-setup.exe" "$out/SHA256SUMS"
mkdir -p "$stage"
cp "$exe" "$build/bin/kalvo-updater.com" "$stage/"
# Notepad of older Windows shows LF-only text as one line, and takes text without a byte-order
# mark for the ANSI code page.
crlf() { { printf '\xef\xbb\xbf'; sed 's/\r*$/\r/' "$1"; } >"$2"; }
crlf res/windows/README.txt "$stage/README.txt"
crlf LICENSE "$stage/LICENSE.txt"
crlf res/windows/THIRD-PARTY-NOTICES.txt "$stage/THIRD-PARTY-NOTICES.txt"
touch -d "@$epoch" "$stage" "$stage"/*
# The zip: entries in name order, one time stamp, no owner or permission of the build machine.
python3 - "$out/$name.zip" "$stage" "$epoch" <<'PY'
import os, sys, time, zipfile
path, stage, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]
top = os.path.basename(stage)
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    entry = zipfile.ZipInfo(top + "/", stamp)
    entry.external_attr = 0o40755 << 16 | 0x10
    z.writestr(entry, b"")
    for name in sorted(os.listdir(stage)):
        entry = zipfile.ZipInfo(top + "/" + name, stamp)
        entry.external_attr = 0o100644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(stage, name), "rb") as f:
            z.writestr(entry, f.read())
PY
# makensis works in the script's folder: every path it gets is absolute.
makensis -V2 -INPUTCHARSET UTF8 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" \
    -DICON="$root/res/kalvo.ico" "$root/scripts/package-windows.nsi"
(cd "$out" && sha256sum "$name.zip" "$name-setup.exe" >SHA256SUMS)
echo "package-windows: $out/$name.zip, $out/$name-setup.exe, $out/SHA256SUMS"
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
# The Start-menu entry carries the program's name, as the window's title does.
title=$(sed -n 's/^CAPTION "\(.*\) v[0-9.]*"$/\1/p' res/kalvo-dialogs.rc | head -n 1)
[ -n "$title" ] || fail "no window title in res/kalvo-dialogs.rc"
menu=$(find "$prefix/drive_c/users" -type f -path "*/Start Menu/Programs/$title/$title.lnk")
[ -n "$menu" ] || fail "no Start-menu entry named $title"
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
