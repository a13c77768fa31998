#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer, every
# library instrumented for coverage) in build-fuzz and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target, default 30] [target ...]
# A crash input is kept under fuzz/crashes/<target>/ and the script fails. Copy such an input to
# fuzz/regressions/<target>/ once the fault is mended: the fault suite replays those in CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(frames hex receive options queue)
case "$secs" in ''|*[!0-9]*) echo "fuzz.sh: seconds must be a whole number, not '$secs'" >&2; exit 64;; esac

cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKALVO_FUZZ=ON -DKALVO_TESTS=OFF -DKALVO_BENCH=OFF -DKALVO_QT=OFF \
    -DKALVO_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
cmake --build build-fuzz --target "${targets[@]/#/fuzz_}"

# Longest input per target. A frame is at most 255 bytes and the receive buffers are pruned far
# below this, so longer inputs only repeat states already reached while every run gets slower;
# 4 KiB holds the longest real exchange (a whole read-out block, over 2 KiB of frames) and more.
max_len() {
    case "$1" in
        frames|receive) echo 4096 ;;
        *) echo 8192 ;;
    esac
}

status=0
for t in "${targets[@]}"; do
    crashes=fuzz/crashes/$t
    work=build-fuzz/corpus/$t  # new inputs found on the way; the seeds stay as they are
    mkdir -p "$crashes" "$work"
    echo "== fuzz_$t for ${secs}s"
    # Recording where each block was allocated was a fifth of every run; a crash input is run
    # once more below with those stacks for the report.
    if ! ASAN_OPTIONS=malloc_context_size=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        build-fuzz/bin/fuzz_"$t" "$work" "fuzz/corpus/$t" -max_total_time="$secs" \
        -max_len="$(max_len "$t")" \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$crashes/" -print_final_stats=1 \
        2>build-fuzz/fuzz_"$t".log; then
        status=1
        echo "fuzz_$t FAILED; input kept in $crashes/:" >&2
        ls "$crashes" >&2
        tail -n 40 build-fuzz/fuzz_"$t".log >&2
        sed -n 's/^.*Test unit written to //p' build-fuzz/fuzz_"$t".log | while read -r input; do
            [ -f "$input" ] || continue
            echo "== $input again, with allocation stacks:" >&2
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build-fuzz/bin/fuzz_"$t" "$input" \
                2>&1 | tail -n 60 >&2 || true
        done
    fi
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
        build-fuzz/fuzz_"$t".log || true
done
exit $status
