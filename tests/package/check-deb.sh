#!/usr/bin/env bash
# Builds the Debian package from a build directory and checks what a user gets: the program, its
# man page, icon and menu entry, its licence and changelog, a Depends line that pulls in Qt and a
# CJK font, and (where lintian is installed) nothing lintian reports as an error or a warning.
# Usage: check-deb.sh BUILD_DIR CPACK. Exit 77 (skipped) without the Debian tools.
set -euo pipefail
build=$1
cpack=$2
for tool in dpkg-deb dpkg-shlibdeps "$cpack"; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool not found"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
debs=("$out"/kalvo-updater_*_amd64.deb)
[ -f "${debs[0]}" ] || { echo "no kalvo-updater_<version>_amd64.deb in:"; ls "$out"; exit 1; }
deb=${debs[0]}
fail=0
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for want in 'fonts-noto-cjk | fonts-wqy-microhei' 'libqt6widgets6' 'libqt6gui6' 'libqt6core6' 'libc6'; do
    case "$depends" in
        *"$want"*) ;;
        *) echo "Depends lacks: $want"; fail=1 ;;
    esac
done
files=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for want in ./usr/bin/kalvo-updater ./usr/share/man/man1/kalvo-updater.1.gz \
            ./usr/share/applications/kalvo-updater.desktop \
            ./usr/share/icons/hicolor/scalable/apps/kalvo-updater.svg \
            ./usr/share/icons/hicolor/256x256/apps/kalvo-updater.png \
            ./usr/share/doc/kalvo-updater/copyright ./usr/share/doc/kalvo-updater/changelog.Debian.gz; do
    grep -qxF "$want" <<<"$files" || { echo "package lacks: $want"; fail=1; }
done
# Nothing of the build or the tests goes to the user.
if grep -E 'test_|devsim|bench|\.a$' <<<"$files"; then
    echo "package carries build outputs"; fail=1
fi
if command -v lintian >/dev/null; then
    # Overrides only in the package's own file, each with its reason.
    rc=0
    lintian --fail-on error,warning "$deb" >"$out/lintian.log" 2>&1 || rc=$?
    grep -v 'running with root privileges' "$out/lintian.log" || true
    [ "$rc" = 0 ] || { echo "lintian: not clean"; fail=1; }
else
    echo "lintian not installed: not run"
fi
exit $fail
