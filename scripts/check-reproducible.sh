#!/usr/bin/env bash
# Two builds of the same commit, in two different directories at two different times, give the
# same bytes: kalvo-updater.exe and kalvo-updater.com, the Windows zip and installer, and the
# Debian package. Each build is made from `git archive` of HEAD, without ccache (a cached object
# would hide a build path that the compiler writes into it).
#   scripts/check-reproducible.sh [--linux-only | --windows-only]
#   scripts/check-reproducible.sh --against LINUX_BUILD WINDOWS_BUILD
# --against takes the test suite's own builds of this checkout (configured as scripts/test.sh and
# scripts/test-windows.sh do) as the first build, so that CI builds the program once more only
# ("-" for WINDOWS_BUILD: the Linux package only); a checkout with changes is skipped.
# The downloads of the second build and their SHA256SUMS are left in build-repro/downloads.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux=1 windows=1 against_linux="" against_windows=""
case "${1:-}" in
    --linux-only) windows=0 ;;
    --windows-only) linux=0 ;;
    --against)
        against_linux=$(cd "$2" && pwd)
        if [ "$3" = - ]; then windows=0; else against_windows=$(cd "$3" && pwd); fi
        if ! git diff --quiet HEAD --; then
            echo "check-reproducible: SKIPPED: the checkout has changes, its builds are not HEAD's"
            exit 0
        fi
        ;;
    "") ;;
    *) echo "usage: $0 [--linux-only | --windows-only | --against LINUX_BUILD WINDOWS_BUILD]" >&2
       exit 64 ;;
esac
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export CCACHE_DISABLE=1
unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER
jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-repro-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Builds the downloads of one source tree: build_downloads SRC LINUX_BUILD WINDOWS_BUILD OUT
build_downloads() {
    local src=$1 lb=$2 wb=$3 dest=$4
    mkdir -p "$dest"
    if [ "$linux" = 1 ]; then
        if [ ! -f "$lb/CMakeCache.txt" ]; then
            cmake -S "$src" -B "$lb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVO_TESTS=OFF \
                -DKALVO_BENCH=OFF >/dev/null
            cmake --build "$lb" -j "$jobs" --target kalvo-updater kalvo-manpage kalvo-changelog \
                >"$work/build.log" || { tail -n 30 "$work/build.log"; return 1; }
        fi
        cpack -G DEB --config "$lb/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
            { cat "$work/cpack.log"; return 1; }
        mv "$work"/cpack/kalvo-updater_*.deb "$dest/"
        rm -rf "$work/cpack"
    fi
    if [ "$windows" = 1 ]; then
        if [ ! -f "$wb/CMakeCache.txt" ]; then
            cmake -S "$src" -B "$wb" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
                -DKALVO_TESTS=OFF >/dev/null
            cmake --build "$wb" -j "$jobs" --target kalvo-updater kalvo-updater-console \
                >"$work/build.log" || { tail -n 30 "$work/build.log"; return 1; }
        fi
        cp "$wb/bin/kalvo-updater.exe" "$wb/bin/kalvo-updater.com" "$dest/"
        (cd "$src" && bash scripts/package-windows.sh "$wb" >/dev/null)
        cp "$wb"/package/*.zip "$wb"/package/*-setup.exe "$dest/"
    fi
}

git archive --format=tar HEAD >"$work/src.tar"
if [ -n "$against_linux" ]; then
    echo "check-reproducible: first build: $against_linux and $against_windows"
    build_downloads "$root" "$against_linux" "$against_windows" "$work/one"
else
    mkdir -p "$work/one/src"
    tar -xf "$work/src.tar" -C "$work/one/src"
    echo "check-reproducible: first build in $work/one"
    build_downloads "$work/one/src" "$work/one/src/build" "$work/one/src/build-win" "$work/one/out"
    mv "$work/one/out"/* "$work/one/"
fi
# The second: another directory, another depth, other build directory names.
second=$work/second-tree/kalvo-source
mkdir -p "$second"
tar -xf "$work/src.tar" -C "$second"
echo "check-reproducible: second build in $second"
build_downloads "$second" "$second/out-linux" "$second/out-windows" "$work/two"

differ=0
for f in "$work"/two/*; do
    name=$(basename "$f")
    if cmp -s "$f" "$work/one/$name"; then
        echo "same bytes: $name  $(sha256sum <"$f" | cut -c1-16)..."
    else
        echo "DIFFERENT:  $name"
        differ=1
    fi
done
mkdir -p build-repro
rm -rf build-repro/downloads
cp -r "$work/two" build-repro/downloads
(cd build-repro/downloads && sha256sum -- * >SHA256SUMS)
echo "check-reproducible: downloads and SHA256SUMS in build-repro/downloads"
[ "$differ" = 0 ] || { echo "check-reproducible: the builds differ (diffoscope shows where)"; exit 1; }
