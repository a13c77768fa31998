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
# The Windows program's icon (resource 128): every size Explorer and the task bar ask for.
for size in 16 48; do
    rsvg-convert -w "$size" -h "$size" kalvo.svg -o "/tmp/kalvo-$size.png"
done
/usr/bin/convert /tmp/kalvo-16.png kalvo-32.png /tmp/kalvo-48.png kalvo-64.png kalvo-256.png kalvo.ico
rm -f /tmp/kalvo-16.png /tmp/kalvo-48.png
