#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), builds, and runs every test: the normal
# build, the Windows build under wine, a second build of the downloads that must give the same
# bytes, then AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

run_build() {  # dir, extra cmake args...
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DKALVO_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # A test that fails is run once more on its own and counts only if it fails again: the
    # window and timing tests run two at a time on two cores, and a stall there is not a fault of
    # the program. Both runs are in the log.
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 --repeat until-pass:2)
}

# The normal build is the user's build (Release, -O3), where GCC finds warnings that -O2 misses;
# the sanitizer builds keep the default build type with its debug information.
run_build build -DCMAKE_BUILD_TYPE=Release
# The Windows program, cross-built and tested under wine (scripts/test-windows.sh).
if [ "${KALVO_SKIP_WINDOWS:-0}" != 1 ]; then
    KALVO_LINUX_BUILD=build bash scripts/test-windows.sh
fi
# The downloads of this commit built once more elsewhere give the same bytes.
if [ "${KALVO_SKIP_REPRODUCIBLE:-0}" != 1 ]; then
    if [ "${KALVO_SKIP_WINDOWS:-0}" != 1 ]; then
        bash scripts/check-reproducible.sh --against build build-win
    else
        bash scripts/check-reproducible.sh --against build -
    fi
fi
if [ "${KALVO_SKIP_SANITIZERS:-0}" != 1 ]; then
    run_build build-asan -DKALVO_SANITIZE=address,undefined -DKALVO_QT=OFF -DKALVO_BENCH=OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        run_build build-tsan -DKALVO_SANITIZE=thread -DKALVO_QT=OFF -DKALVO_BENCH=OFF
fi
# A short fuzzing run of every target (clang, libFuzzer); any crash fails the run.
if [ -f scripts/fuzz.sh ] && [ "${KALVO_SKIP_FUZZ:-0}" != 1 ]; then
    bash scripts/fuzz.sh "${KALVO_FUZZ_SECONDS:-20}"
fi
