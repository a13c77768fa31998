#!/usr/bin/env bash
# The long fault campaign: the seeded runs of the fault suite's campaign (the terminal face against
# the simulated device, payloads and faults drawn from each seed), many more of them.
#   scripts/campaign.sh [runs, default 300] [first seed, default 2112] [build dir, default build]
# Prints the counts by fault and exit code; fails when any run broke a rule (the failing seeds are
# named, and each replays alone with KALVO_CAMPAIGN_RUNS=1 KALVO_CAMPAIGN_SEED=<seed>).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
seed=${2:-2112}
build=${3:-build}
for n in "$runs" "$seed"; do
    case "$n" in ''|*[!0-9]*) echo "campaign.sh: runs and seed are whole numbers, not '$n'" >&2; exit 64;; esac
done
bin="$build/bin/test_faults"
[ -x "$bin" ] || { echo "campaign.sh: $bin not built (cmake --build $build)" >&2; exit 64; }
start=$(date +%s)
status=0
KALVO_CAMPAIGN_RUNS=$runs KALVO_CAMPAIGN_SEED=$seed "$bin" --gtest_filter='Campaign.*' \
    --gtest_brief=1 > "$build/campaign.log" 2>&1 || status=$?
grep -E '^campaign:' "$build/campaign.log" || true
grep -E '^.*seed [0-9]+: ' "$build/campaign.log" | sort -u | head -20 || true
echo "campaign.sh: $runs runs from seed $seed in $(( $(date +%s) - start )) s, exit $status (log: $build/campaign.log)"
exit "$status"
