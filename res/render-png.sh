#!/usr/bin/env bash
# Renders the PNG copies of the icon and the picture from their SVG sources (needs rsvg-convert,
# Debian package librsvg2-bin). Qt reads SVG only with its optional SVG plugin, so the window uses
# these copies when the plugin is missing.
set -euo pipefail
cd "$(dirname "$0")"
for size in 32 64 256; do
    rsvg-convert -w "$size" -h "$size" kalvo.svg -o "kalvo-$size.png"
done
rsvg-convert -w 1000 -h 400 device.svg -o device.png
