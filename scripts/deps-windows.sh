#!/usr/bin/env bash
# Installs the Debian 12 packages the Windows build and its tests under wine need (skipped when
# present): the mingw-w64 cross compilers, wine, GoogleTest's sources, fonts for wine's windows
# (CJK, Tahoma and Marlett, Arial's metrics), Xvfb and imagemagick for the screenshot, nsis for
# the installer. With the recommended packages:
# wine draws its windows with the X libraries and fonts among them.
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest fonts-wqy-microhei
      fonts-wine fonts-liberation xvfb xauth imagemagick nsis cmake ninja-build)
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
