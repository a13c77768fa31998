#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need (skipped when present):
# dpkg-dev makes the Debian package and lintian checks it, the CJK font shows the device's Chinese
# messages.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      clang libclang-rt-14-dev clang-format qt6-base-dev srecord binutils-arm-none-eabi
      python3 python3-intelhex xvfb xauth dpkg-dev lintian fonts-wqy-microhei)
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
