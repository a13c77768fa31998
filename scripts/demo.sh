#!/usr/bin/env bash
# Installs what the build needs (Debian 12, as root), builds, and updates the built-in simulated
# device at the real line speed in the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DKALVO_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)" --target kalvo-updater
exec build/bin/kalvo-updater --simulate --headless "$@"
